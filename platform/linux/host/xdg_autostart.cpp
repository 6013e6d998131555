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
namespace {

std::optional<std::string> readEntry(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Replaces `file` in one step; the error's text, or none.
std::optional<std::string> writeEntry(const fs::path& file, const std::string& text) {
  QSaveFile out(QFile::decodeName(file.c_str()));
  if (!out.open(QIODevice::WriteOnly) || out.write(text.data(), static_cast<qint64>(text.size())) < 0 ||
      !out.commit()) {
    return out.errorString().toStdString();
  }
  return std::nullopt;
}

fs::path executableOf(const fs::path& bundle) { return bundle / "Contents/MacOS/QuorvexHost"; }

}  // namespace

std::optional<std::string> autostartEntry(const fs::path& bundle, const fs::path& icon) {
  const std::optional<std::string> exec = desktop::execValue(desktop::launchCommand(bundle));
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

bool refreshLaunchEntry(const fs::path& entryFile, const fs::path& bundle) {
  const std::optional<std::string> text = readEntry(entryFile);
  if (!text || !desktop::execStarts(*text, executableOf(bundle))) return false;
  const std::vector<std::string> current = desktop::launchCommand(bundle);
  const auto entry = desktop::parseEntry(*text);
  if (desktop::parseExec(entry->at("Exec")) == current) return false;
  const std::optional<std::string> exec = desktop::execValue(current);
  const std::optional<std::string> updated = exec ? desktop::withExec(*text, *exec) : std::nullopt;
  return updated && !writeEntry(entryFile, *updated);
}

XdgAutostart::XdgAutostart(fs::path entryFile, fs::path bundle)
    : entryFile_(std::move(entryFile)), bundle_(std::move(bundle)) {}

fs::path XdgAutostart::defaultEntryFile() {
  const QDir config(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
  return config.absoluteFilePath(QStringLiteral("autostart/com.quorvex.host.desktop")).toStdString();
}

bool XdgAutostart::enabled() {
  const std::optional<std::string> text = readEntry(entryFile_);
  return text && autostartStarts(*text, executableOf(bundle_));
}

std::optional<std::string> XdgAutostart::setEnabled(bool on) {
  if (!on) {
    // Another copy's entry is not ours to remove; for this copy it is off.
    const std::optional<std::string> text = readEntry(entryFile_);
    if (!text || !desktop::execStarts(*text, executableOf(bundle_))) return std::nullopt;
    std::error_code ec;
    fs::remove(entryFile_, ec);
    if (ec) return ec.message();
    return std::nullopt;
  }
  const std::optional<std::string> text = autostartEntry(bundle_, bundle_ / "Contents/Resources/com.quorvex.host.svg");
  if (!text) return "the application's path cannot be written into an autostart entry";
  std::error_code ec;
  fs::create_directories(entryFile_.parent_path(), ec);
  return writeEntry(entryFile_, *text);
}

bool XdgAutostart::refresh() { return refreshLaunchEntry(entryFile_, bundle_); }

}  // namespace qx::host
