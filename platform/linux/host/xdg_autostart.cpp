#include "platform/linux/host/xdg_autostart.h"

#include <QDir>
#include <QSaveFile>
#include <QStandardPaths>
#include <fstream>
#include <iterator>
#include <system_error>

#include "host/DesktopEntry.h"

namespace qx::host {
namespace fs = std::filesystem;

std::optional<std::string> autostartEntry(const fs::path& executable, const fs::path& icon) {
  const std::optional<std::string> exec = desktop::execValue(desktop::launchCommand(executable.string()));
  if (!exec) return std::nullopt;
  std::string text =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Quorvex Host\n"
      "Exec=" +
      *exec + "\n";
  // An icon whose path an entry cannot hold is only cosmetic: left out.
  if (!icon.empty() && desktop::execWord(icon.string())) text += "Icon=" + desktop::escapeString(icon.string()) + "\n";
  text +=
      "Terminal=false\n"
      "X-GNOME-Autostart-enabled=true\n";
  return text;
}

bool autostartStarts(const std::string& entryText, const fs::path& executable) {
  const auto entry = desktop::parseEntry(entryText);
  if (!entry) return false;
  auto value = [&](const std::string& key) -> std::string {
    const auto found = entry->find(key);
    return found == entry->end() ? std::string() : found->second;
  };
  if (value("Hidden") == "true" || value("X-GNOME-Autostart-enabled") == "false") return false;
  return desktop::execStarts(entryText, executable);
}

XdgAutostart::XdgAutostart(fs::path entryFile, fs::path bundle)
    : entryFile_(std::move(entryFile)), bundle_(std::move(bundle)) {}

fs::path XdgAutostart::defaultEntryFile() {
  const QDir config(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
  return config.absoluteFilePath(QStringLiteral("autostart/com.quorvex.host.desktop")).toStdString();
}

fs::path XdgAutostart::executable() const { return bundle_ / "Contents/MacOS/QuorvexHost"; }

bool XdgAutostart::enabled() {
  std::ifstream in(entryFile_, std::ios::binary);
  if (!in) return false;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return autostartStarts(text, executable());
}

std::optional<std::string> XdgAutostart::setEnabled(bool on) {
  if (!on) {
    std::error_code ec;
    fs::remove(entryFile_, ec);
    if (ec) return ec.message();
    return std::nullopt;
  }
  const std::optional<std::string> text =
      autostartEntry(executable(), bundle_ / "Contents/Resources/com.quorvex.host.svg");
  if (!text) return "the application's path cannot be written into an autostart entry";
  std::error_code ec;
  fs::create_directories(entryFile_.parent_path(), ec);
  QSaveFile file(QFile::decodeName(entryFile_.c_str()));
  if (!file.open(QIODevice::WriteOnly) || file.write(text->data(), static_cast<qint64>(text->size())) < 0 ||
      !file.commit()) {
    return file.errorString().toStdString();
  }
  return std::nullopt;
}

}  // namespace qx::host
