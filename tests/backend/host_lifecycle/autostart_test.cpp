// The login item as a real autostart entry: it validates and, read by GLib's
// desktop launcher, starts bundles at awkward paths; `enabled` follows what a
// session would do with the file; enabling points a moved bundle's entry at it.

#include "platform/linux/host/xdg_autostart.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "host/DesktopEntry.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace qx::host {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qx::test::readFile;
using qx::test::writeFile;

class AutostartTest : public ::testing::Test {
 protected:
  // A bundle whose QuorvexHost writes the path it was started as to $QX_MARKER.
  fs::path makeBundle(const std::string& name) {
    const fs::path bundle = fs::path(dir.path()) / name;
    fs::create_directories(bundle / "Contents/MacOS");
    const fs::path program = bundle / "Contents/MacOS/QuorvexHost";
    writeFile(program.string(), "#!/bin/sh\nprintf '%s' \"$0\" > \"$QX_MARKER\"\n");
    fs::permissions(program, fs::perms::owner_all);
    return bundle;
  }

  // What GLib's launcher starts from the entry, as the path the program saw.
  std::string launchedBy(const fs::path& file) {
    const std::string marker = dir.file("marker");
    fs::remove(marker);
    qx::test::Process::Options o;
    o.args = {qx::test::findOnPath("gio"), "launch", file.string()};
    o.setEnv = {{"QX_MARKER", marker}};
    o.unsetEnv = {"DBUS_SESSION_BUS_ADDRESS"};
    const qx::test::RunResult r = qx::test::run(o);
    EXPECT_EQ(r.status, 0) << r.err;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!fs::exists(marker) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
    std::this_thread::sleep_for(50ms);  // the write after the create
    return readFile(marker);
  }

  qx::test::TempDir dir;
  const fs::path entry = fs::path(dir.path()) / "config/autostart/com.quorvex.host.desktop";
};

TEST_F(AutostartTest, EntryValidatesAndStartsBundlesAtAwkwardPaths) {
  ASSERT_TRUE(qx::test::onPath("desktop-file-validate"));
  ASSERT_TRUE(qx::test::onPath("gio"));
  for (const std::string name : {
           "Quorvex Host.app",
           "it's \"quoted\".app",
           "$HOME and `id`.app",
           "100% done %U.app",
           "back\\slash\\\\.app",
           "下载 (2)/Quorvex Host.app",
           "all \"'$%\\;&|<>*?#~ of them.app",
       }) {
    const fs::path bundle = makeBundle(name);
    XdgAutostart item(entry, bundle);
    ASSERT_EQ(item.setEnabled(true), std::nullopt) << name;
    EXPECT_TRUE(item.enabled()) << name;

    qx::test::Process::Options validate;
    validate.args = {qx::test::findOnPath("desktop-file-validate"), entry};
    const qx::test::RunResult v = qx::test::run(validate);
    EXPECT_EQ(v.status, 0) << name << "\n" << v.out << v.err << readFile(entry);
    EXPECT_EQ(v.out.find("error"), std::string::npos) << v.out;
    EXPECT_EQ(launchedBy(entry), (bundle / "Contents/MacOS/QuorvexHost").string()) << readFile(entry);
  }
}

TEST_F(AutostartTest, EnabledFollowsWhatTheSessionWouldDo) {
  const fs::path bundle = makeBundle("Quorvex Host.app");
  XdgAutostart item(entry, bundle);
  ASSERT_EQ(item.setEnabled(true), std::nullopt);
  const std::string written = readFile(entry);
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = written;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  struct Case {
    const char* name;
    std::optional<std::string> text;  // absent: no file
    bool enabled;
  };
  const std::vector<Case> cases = {
      {"as written", written, true},
      {"hidden", written + "Hidden=true\n", false},
      {"not hidden", written + "Hidden=false\n", true},
      {"switched off", replaced("X-GNOME-Autostart-enabled=true", "X-GNOME-Autostart-enabled=false"), false},
      {"another bundle", replaced("/Quorvex Host.app\"", "/Other.app\""), false},
      {"the plain form", "[Desktop Entry]\nExec=\"" + (bundle / "Contents/MacOS/QuorvexHost").string() + "\"\n", true},
      {"a key twice", written + "Name=again\n", false},
      {"not an entry", "just text\n", false},
      {"no file", std::nullopt, false},
  };
  for (const Case& c : cases) {
    fs::remove(entry);
    if (c.text) writeFile(entry.string(), *c.text);
    EXPECT_EQ(item.enabled(), c.enabled) << c.name;
  }
}

TEST_F(AutostartTest, EnablingPointsAtTheBundleAgainAndDisablingRemoves) {
  XdgAutostart old(entry, makeBundle("old/Quorvex Host.app"));
  XdgAutostart moved(entry, makeBundle("new place/Quorvex Host.app"));
  ASSERT_EQ(old.setEnabled(true), std::nullopt);
  EXPECT_FALSE(moved.enabled());
  ASSERT_EQ(moved.setEnabled(true), std::nullopt);
  EXPECT_TRUE(moved.enabled());
  EXPECT_FALSE(old.enabled());
  EXPECT_EQ(old.setEnabled(false), std::nullopt);  // not its entry: it stays
  EXPECT_TRUE(moved.enabled());

  EXPECT_EQ(moved.setEnabled(false), std::nullopt);
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_FALSE(moved.enabled());
  EXPECT_EQ(moved.setEnabled(false), std::nullopt);  // already gone
}

TEST_F(AutostartTest, StartUpRewritesOnlyThisBundlesOlderEntries) {
  const fs::path bundle = makeBundle("100% Quorvex Host.app");
  const std::string program = (bundle / "Contents/MacOS/QuorvexHost").string();
  const std::string other = (fs::path(dir.path()) / "Other.app/Contents/MacOS/QuorvexHost").string();
  auto entryWith = [](const std::vector<std::string>& argv) {
    return "[Desktop Entry]\nType=Application\nName=Quorvex Host\nExec=" + *desktop::execValue(argv) +
           "\nX-GNOME-Autostart-enabled=false\n";
  };
  const std::string current = entryWith(desktop::launchCommand(bundle));
  fs::create_directories(entry.parent_path());
  struct Case {
    const char* name;
    std::string text, after;
  };
  const std::vector<Case> cases = {
      {"plain", entryWith({program}), current},
      {"older shell form", entryWith({"/bin/sh", "-c", "exec \"$0\"", program}), current},
      {"current", current, current},
      {"another bundle", entryWith({other}), entryWith({other})},
  };
  for (const Case& c : cases) {
    writeFile(entry.string(), c.text);
    EXPECT_EQ(XdgAutostart(entry, bundle).refresh(), c.text != c.after) << c.name;
    EXPECT_EQ(readFile(entry.string()), c.after) << c.name;
  }
}

TEST_F(AutostartTest, UnwritableFolderIsReported) {
  fs::create_directories(entry.parent_path().parent_path());
  writeFile(entry.parent_path().string(), "a file where the folder belongs");
  XdgAutostart item(entry, makeBundle("Quorvex Host.app"));
  EXPECT_NE(item.setEnabled(true), std::nullopt);
  EXPECT_FALSE(item.enabled());
}

}  // namespace
}  // namespace qx::host
