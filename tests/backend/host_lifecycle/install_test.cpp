// scripts/install.sh in a temporary home whose data folder has quotes, `$`,
// `%` and backslashes in its path: the bundle lands in place complete, the menu
// entry validates and starts it with the same Exec words the login item uses,
// a second install replaces the first, and uninstall removes what the install
// registered and trashes the bundle. A build pinning the test key is refused
// unless asked for.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "host/DesktopEntry.h"
#include "host/HostController.h"
#include "host/SettingsStore.h"
#include "host/TokenStore.h"
#include "host/Uninstall.h"
#include "tests/fakes/fake_host_services.h"
#include "tests/fakes/fake_keyring.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace qx::host {
namespace {

namespace fs = std::filesystem;
using qx::test::readFile;
using qx::test::writeFile;

class InstallTest : public ::testing::Test {
 protected:
  InstallTest() : home(dir.path()), data(home / "da\"ta 'q' $x %y \\z"), bundle(data / "quorvex/Quorvex Host.app") {}

  qx::test::RunResult install(std::vector<std::string> args) {
    qx::test::Process::Options o;
    o.args = {qx::test::findOnPath("bash"), qx::test::sourcePath("scripts/install.sh"), "--no-build"};
    o.args.insert(o.args.end(), args.begin(), args.end());
    o.setEnv = {{"HOME", home.string()}, {"XDG_DATA_HOME", data.string()}};
    return qx::test::run(o, std::chrono::seconds(120));
  }

  // Files and folders under the install folder other than the bundle.
  std::vector<std::string> strays() const {
    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(data / "quorvex")) {
      if (e.path() != bundle) found.push_back(e.path().filename());
    }
    return found;
  }

  qx::test::TempDir dir;
  fs::path home;
  fs::path data;
  fs::path bundle;
};

TEST_F(InstallTest, InstallsRegistersAndUninstallRemovesWhatItRegistered) {
  for (int round = 0; round < 2; ++round) {  // the second replaces the first
    // The test builds pin the TEST-ONLY update key, which the installer refuses without the flag.
    const qx::test::RunResult r = install({"--test-key", qx::test::buildPath("")});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err.find("error"), std::string::npos) << r.err;
    EXPECT_TRUE(strays().empty());
  }
  const fs::path program = bundle / "Contents/MacOS/QuorvexHost";
  EXPECT_EQ(::access(program.c_str(), X_OK), 0);
  EXPECT_TRUE(fs::exists(bundle / "Contents/MacOS/quorvex-webrtc-server"));
  EXPECT_TRUE(fs::exists(bundle / "Contents/Info.plist"));

  const fs::path entry = data / "applications/com.quorvex.host.desktop";
  const fs::path icon = data / "icons/hicolor/scalable/apps/com.quorvex.host.svg";
  qx::test::Process::Options validate;
  validate.args = {qx::test::findOnPath("desktop-file-validate"), entry.string()};
  const qx::test::RunResult v = qx::test::run(validate);
  EXPECT_EQ(v.status, 0) << v.out << v.err;
  const auto fields = desktop::parseEntry(readFile(entry.string()));
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->at("Name"), "Quorvex Host");
  EXPECT_EQ(fields->at("Icon"), "com.quorvex.host");
  EXPECT_EQ(fields->at("Exec"), desktop::execValue(desktop::launchCommand(bundle)));
  EXPECT_EQ(readFile(icon.string()), readFile(qx::test::sourcePath("host/resources/com.quorvex.host.svg")));

  // The application's own uninstall finds what the script registered.
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);
  fake::ManualClock clock;
  fake::FakeLauncher launcher;
  fake::FakeKeyring keyring;
  fake::FakePermissionProbe probe;
  fake::FakeLoginItem loginItem;
  SettingsStore settings(QString::fromStdString((home / "QuorvexHost.conf").string()));
  TokenStore tokens(keyring, home / "token");
  HostController controller({clock, clock, launcher, settings, tokens, probe, {}, {}, &loginItem, nullptr, [] {}},
                            {bundle / "Contents/MacOS", bundle, home / "host.log"}, {{}, 1, 1000, false});
  struct UninstallAnswer final : Alerts {
    Answer show(const Alert&) override { return {0, false}; }
  } alerts;
  int quits = 0;
  Uninstaller(controller, {alerts, loginItem, settings, tokens, &Uninstaller::moveToTrash, [&] { ++quits; }},
              MenuRegistration::defaults())
      .run();
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_FALSE(fs::exists(icon));
  EXPECT_FALSE(fs::exists(bundle));
  EXPECT_TRUE(fs::exists(data / "Trash/files/Quorvex Host.app/Contents/MacOS/QuorvexHost"));
  EXPECT_EQ(quits, 1);
}

TEST_F(InstallTest, BuildPinningTheTestKeyNeedsTheFlag) {
  // A build tree whose tool reports the test key as pinned and whose install
  // rules are the real build's.
  const fs::path fakeBuild = home / "build";
  fs::create_directories(fakeBuild / "tools");
  writeFile((fakeBuild / "cmake_install.cmake").string(),
            "include(\"" + qx::test::buildPath("cmake_install.cmake") + "\")\n");
  const std::string tool = qx::test::buildPath("tools/quorvex-bundle");
  const std::string testKey = qx::test::sourcePath("tests/keys/TEST-ONLY-update-key.pub");
  writeFile((fakeBuild / "tools/quorvex-bundle").string(), "#!/bin/sh\nif [ \"$1\" = pinned-key-id ]; then exec '" +
                                                               tool + "' key-id '" + testKey + "'; fi\nexec '" + tool +
                                                               "' \"$@\"\n");
  fs::permissions(fakeBuild / "tools/quorvex-bundle", fs::perms::owner_all);

  const qx::test::RunResult refused = install({fakeBuild.string()});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("pins the TEST-ONLY update key"), std::string::npos) << refused.err;
  EXPECT_FALSE(fs::exists(data / "quorvex"));
  EXPECT_FALSE(fs::exists(data / "applications"));

  const qx::test::RunResult accepted = install({"--test-key", fakeBuild.string()});
  EXPECT_EQ(accepted.status, 0) << accepted.err;
  EXPECT_TRUE(fs::exists(bundle / "Contents/MacOS/QuorvexHost"));
}

}  // namespace
}  // namespace qx::host
