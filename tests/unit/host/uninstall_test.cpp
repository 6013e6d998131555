// Uninstall in a temporary home: Cancel touches nothing; Uninstall stops the
// server, removes the login item and the menu registration of this bundle,
// with the box checked also the settings, the token and the two host logs
// (nothing else), trashes the bundle (only a Quorvex Host bundle, only into
// the home trash, with a notice otherwise) and quits.

#include "host/Uninstall.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QSettings>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "host/HostController.h"
#include "host/SettingsStore.h"
#include "host/TokenStore.h"
#include "tests/fakes/fake_host_services.h"
#include "tests/fakes/fake_keyring.h"
#include "tests/support/temp_dir.h"

namespace qx::host {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ScriptedAlerts final : public Alerts {
 public:
  Answer show(const Alert& alert) override {
    shown.push_back(alert);
    return answer;
  }
  Answer answer;
  std::vector<Alert> shown;
};

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class UninstallTest : public ::testing::Test {
 public:
  explicit UninstallTest(const std::string& bundleName = "apps/Quorvex Host.app")
      : home(dir.path()),
        bundle(home / bundleName),
        settings(QString::fromStdString((home / "config/Quorvex/QuorvexHost.conf").string())),
        tokens(keyring, home / "config/Quorvex/token"),
        menu{home / "data/applications/com.quorvex.host.desktop",
             {home / "data/icons/hicolor/scalable/apps/com.quorvex.host.svg"}} {
    fs::create_directories(bundle / "Contents/MacOS");
    for (const char* d : {"config/Quorvex", "state/Quorvex", "data/applications", "data/icons/hicolor/scalable/apps"}) {
      fs::create_directories(home / d);
    }
    std::ofstream(bundle / "Contents/MacOS/quorvex-webrtc-server") << "#!/bin/sh\n";
    std::ofstream(bundle / "Contents/MacOS/QuorvexHost") << "#!/bin/sh\n";
    std::ofstream(bundle / "Contents/Info.plist") << plist("com.quorvex.host");
    fs::permissions(bundle / "Contents/MacOS/quorvex-webrtc-server", fs::perms::owner_all);
    settings.save(HostSettings{});
    keyring.item = "tok";
    qx::test::writeFile((home / "config/Quorvex/token").string(), "tok");
    for (const char* f : {"config/Quorvex/other.conf", "state/Quorvex/host.log", "state/Quorvex/host.log.1",
                          "state/Quorvex/host.log.2", "state/Quorvex/notes.txt"}) {
      qx::test::writeFile((home / f).string(), "x");
    }
    registerMenuEntry(bundle);
    qx::test::writeFile(menu.icons[0].string(), "<svg/>");

    HostController::Services services{clock, clock, launcher,   settings,   tokens, probe,
                                      {},    {},    &loginItem, &systemLog, [] {}};
    controller = std::make_unique<HostController>(
        services, HostController::Paths{bundle / "Contents/MacOS", bundle, home / "state/Quorvex/host.log"},
        HostController::Identity{{}, 1, 1000, false});
    controller->start();  // a running server
  }

  static std::string plist(const std::string& identifier) {
    return "<plist><dict><key>CFBundleIdentifier</key><string>" + identifier + "</string></dict></plist>\n";
  }

  void registerMenuEntry(const fs::path& forBundle) {
    qx::test::writeFile(menu.entry.string(), "[Desktop Entry]\nType=Application\nName=Quorvex Host\nExec=\"" +
                                                 (forBundle / "Contents/MacOS/QuorvexHost").string() + "\"\n");
  }

  void uninstall(Alerts::Answer answer, std::function<bool(const fs::path&)> trash = {}) {
    alerts.answer = answer;
    if (!trash)
      trash = [this](const fs::path& p) {
        trashed.push_back(p);
        return false;  // a failed move still quits
      };
    Uninstaller uninstaller(*controller, {alerts, loginItem, settings, tokens, trash, [this] { ++quits; }}, menu);
    uninstaller.run();
  }

  // Every file under the home, relative to it.
  std::vector<std::string> files() const {
    std::vector<std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(home)) {
      if (e.is_regular_file()) found.push_back(fs::relative(e.path(), home).string());
    }
    std::sort(found.begin(), found.end());
    return found;
  }

  qx::test::TempDir dir;
  fs::path home;
  fs::path bundle;
  fake::ManualClock clock;
  fake::FakeLauncher launcher;
  fake::FakeKeyring keyring;
  fake::FakePermissionProbe probe;
  fake::FakeLoginItem loginItem;
  fake::FakeSystemLog systemLog;
  SettingsStore settings;
  TokenStore tokens;
  MenuRegistration menu;
  ScriptedAlerts alerts;
  std::unique_ptr<HostController> controller;
  std::vector<fs::path> trashed;
  int quits = 0;
};

TEST_F(UninstallTest, AlertTextsInBothLanguages) {
  const Alerts::Alert en = uninstallAlert(false);
  EXPECT_EQ(en.title, "Uninstall Quorvex Host?");
  EXPECT_EQ(en.text, "This stops the remote-control service, removes the login item and moves the app to the Trash.");
  EXPECT_EQ(en.checkbox, "Also delete settings, token and logs");
  EXPECT_THAT(en.buttons, ElementsAre("Uninstall", "Cancel"));
  const Alerts::Alert zh = uninstallAlert(true);
  EXPECT_EQ(zh.title, "卸载 Quorvex Host？");
  EXPECT_EQ(zh.text, "将停止远控服务、取消登录时启动，并把 App 移到废纸篓。");
  EXPECT_EQ(zh.checkbox, "同时删除设置、令牌和日志");
  EXPECT_THAT(zh.buttons, ElementsAre("卸载", "取消"));
}

TEST_F(UninstallTest, CancelLeavesEverything) {
  const std::vector<std::string> before = files();
  uninstall({1, true});
  ASSERT_EQ(alerts.shown.size(), 1u);
  EXPECT_EQ(alerts.shown[0].title, "Uninstall Quorvex Host?");
  EXPECT_EQ(files(), before);
  EXPECT_EQ(keyring.item, "tok");
  EXPECT_THAT(loginItem.requests, IsEmpty());
  EXPECT_EQ(launcher.last().process->terminations, 0);
  EXPECT_THAT(trashed, IsEmpty());
  EXPECT_EQ(quits, 0);
}

TEST_F(UninstallTest, UncheckedKeepsSettingsTokenAndLogs) {
  uninstall({0, false});
  EXPECT_EQ(launcher.last().process->terminations, 1);
  EXPECT_THAT(loginItem.requests, ElementsAre(false));
  EXPECT_THAT(
      files(),
      ElementsAre("apps/Quorvex Host.app/Contents/Info.plist", "apps/Quorvex Host.app/Contents/MacOS/QuorvexHost",
                  "apps/Quorvex Host.app/Contents/MacOS/quorvex-webrtc-server", "config/Quorvex/QuorvexHost.conf",
                  "config/Quorvex/other.conf", "config/Quorvex/token", "state/Quorvex/host.log",
                  "state/Quorvex/host.log.1", "state/Quorvex/host.log.2", "state/Quorvex/notes.txt"));
  EXPECT_EQ(keyring.item, "tok");
  EXPECT_TRUE(settings.configured());
  EXPECT_THAT(trashed, ElementsAre(bundle));
  EXPECT_EQ(quits, 1);
}

TEST_F(UninstallTest, CheckedAlsoDeletesSettingsTokenAndTheTwoLogsIntoTheRealTrash) {
  // QFile::moveToTrash picks the home trash for a file on the home's volume.
  ScopedEnv homeEnv("HOME", home.string());
  ScopedEnv dataEnv("XDG_DATA_HOME", (home / "data").string());
  // A second handle on the settings file with a write not yet synced: it must
  // not bring the file back when it goes.
  auto pending = std::make_unique<QSettings>(settings.path(), QSettings::IniFormat);
  pending->setValue("autoCheckUpdates", "false");

  uninstall({0, true}, &Uninstaller::moveToTrash);
  pending.reset();

  EXPECT_FALSE(keyring.item);
  EXPECT_THAT(files(), ElementsAre("config/Quorvex/other.conf", "data/Trash/files/Quorvex Host.app/Contents/Info.plist",
                                   "data/Trash/files/Quorvex Host.app/Contents/MacOS/QuorvexHost",
                                   "data/Trash/files/Quorvex Host.app/Contents/MacOS/quorvex-webrtc-server",
                                   "data/Trash/info/Quorvex Host.app.trashinfo", "state/Quorvex/host.log.2",
                                   "state/Quorvex/notes.txt"));
  EXPECT_FALSE(fs::exists(bundle));
  EXPECT_EQ(quits, 1);
}

TEST_F(UninstallTest, MenuEntryOfAnotherCopyStays) {
  registerMenuEntry(home / "elsewhere/Quorvex Host.app");
  uninstall({0, false});
  EXPECT_TRUE(fs::exists(menu.entry));
  EXPECT_TRUE(fs::exists(menu.icons[0]));
  EXPECT_EQ(quits, 1);
}

TEST_F(UninstallTest, TrashCreatesAMissingDataFolderNotFilesInTheWorkingFolder) {
  ScopedEnv homeEnv("HOME", home.string());
  ScopedEnv dataEnv("XDG_DATA_HOME", (home / "new data").string());
  const fs::path previous = fs::current_path();
  fs::current_path(home);  // a desktop launch starts in $HOME
  uninstall({0, false}, &Uninstaller::moveToTrash);
  fs::current_path(previous);

  EXPECT_TRUE(fs::exists(home / "new data/Trash/files/Quorvex Host.app/Contents/MacOS/QuorvexHost"));
  EXPECT_TRUE(fs::exists(home / "new data/Trash/info/Quorvex Host.app.trashinfo"));
  for (const char* d : {"new data/Trash", "new data/Trash/files", "new data/Trash/info"})
    EXPECT_EQ(fs::status(home / d).permissions(), fs::perms::owner_all) << d;
  EXPECT_FALSE(fs::exists(home / "files"));
  EXPECT_FALSE(fs::exists(home / "info"));
  EXPECT_THAT(alerts.shown, ::testing::SizeIs(1));  // the confirmation only
}

// A folder that is not this program's bundle, or that cannot be trashed,
// stays with a notice; every other step still runs.
TEST(UninstallFolderKept, NoticeNamesTheFolderAndEveryOtherStepRuns) {
  struct Row {
    const char* name;
    std::string bundle;  // under the home
    std::function<void(const fs::path&)> change;
    std::optional<bool> trash;  // the trash's answer; absent: the folder is not handed to it
    bool zh;
    std::string notice;  // without the path; empty: none
  };
  const std::string notOurs = "The program's folder was left in place because it is not a Quorvex Host bundle: ";
  const std::string notTrashed = "The program's folder could not be moved to the Trash and was left in place: ";
  const auto none = [](const fs::path&) {};
  const std::vector<Row> rows = {
      {"a bundle", "apps/Quorvex Host.app", none, true, false, ""},
      {"a bundle the trash refuses", "apps/Quorvex Host.app", none, false, false, notTrashed},
      {"a bundle the trash refuses, Chinese", "apps/Quorvex Host.app", none, false, true,
       "无法将程序所在的文件夹移到废纸篓，已保留在原处："},
      {"an unpacked tree", "tools/qx", none, std::nullopt, false, notOurs},
      {"an unpacked tree, Chinese", "tools/qx", none, std::nullopt, true,
       "程序所在的文件夹不是 Quorvex Host 应用包，已保留在原处："},
      {"another identifier", "apps/Quorvex Host.app",
       [](const fs::path& b) {
         std::ofstream(b / "Contents/Info.plist") << "<plist><dict><key>CFBundleIdentifier</key>"
                                                     "<string>org.other</string></dict></plist>";
       },
       std::nullopt, false, notOurs},
      {"no Info.plist", "apps/Quorvex Host.app", [](const fs::path& b) { fs::remove(b / "Contents/Info.plist"); },
       std::nullopt, false, notOurs},
      {"no QuorvexHost", "apps/Quorvex Host.app",
       [](const fs::path& b) { fs::remove(b / "Contents/MacOS/QuorvexHost"); }, std::nullopt, false, notOurs},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    struct Rig : UninstallTest {
      explicit Rig(const std::string& b) : UninstallTest(b) {}
      void TestBody() override {}
    } r(row.bundle);
    row.change(r.bundle);
    r.controller = std::make_unique<HostController>(
        HostController::Services{
            r.clock, r.clock, r.launcher, r.settings, r.tokens, r.probe, {}, {}, &r.loginItem, &r.systemLog, [] {}},
        HostController::Paths{r.bundle / "Contents/MacOS", r.bundle, r.home / "state/Quorvex/host.log"},
        HostController::Identity{{}, 1, 1000, row.zh});
    r.uninstall({0, false}, [&](const fs::path& p) {
      r.trashed.push_back(p);
      return row.trash.value_or(false);
    });
    // Only this program's bundle is handed to the trash.
    EXPECT_EQ(r.trashed.size(), row.trash ? 1u : 0u);
    EXPECT_TRUE(fs::exists(r.bundle));
    ASSERT_EQ(r.alerts.shown.size(), row.notice.empty() ? 1u : 2u);
    for (const Alerts::Alert& a : r.alerts.shown) EXPECT_TRUE(a.warning) << a.title;
    if (!row.notice.empty()) {
      EXPECT_EQ(r.alerts.shown[1].title, row.notice + r.bundle.string());
      EXPECT_THAT(r.alerts.shown[1].buttons, ElementsAre(row.zh ? "好" : "OK"));
    }
    EXPECT_THAT(r.loginItem.requests, ElementsAre(false));
    EXPECT_FALSE(fs::exists(r.menu.entry));
    EXPECT_EQ(r.quits, 1);
  }
}

}  // namespace
}  // namespace qx::host
