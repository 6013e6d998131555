// The token store on a real Secret Service (a private session bus with an
// unlocked gnome-keyring, started before the application object), on no
// secret service at all, and the X11 permission probe on Xvfb.

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <stdexcept>

#include "host/TokenStore.h"
#include "platform/linux/host/qtkeychain_keyring.h"
#include "platform/linux/host/x11_permission_probe.h"
#include "tests/support/process.h"
#include "tests/support/secret_service.h"
#include "tests/support/temp_dir.h"
#include "tests/support/x_server.h"

namespace qx::host {
namespace {

using namespace std::chrono_literals;
using Status = Keyring::Status;

test::SecretService* service = nullptr;  // set by main, except in the no-service child

TEST(SecretServiceKeyring, TokenRoundTripsThroughTheKeyringAndNotTheFile) {
  ASSERT_NE(service, nullptr);
  test::TempDir dir;
  QtKeychainKeyring keyring;
  TokenStore tokens(keyring, dir.file("token"));
  EXPECT_EQ(keyring.read().status, Status::notFound);
  test::writeFile(dir.file("token"), "stale");
  for (const std::string token : {"tok-\u00E9-1", "tok-2", ""}) {
    ASSERT_TRUE(tokens.save(token));
    EXPECT_FALSE(std::filesystem::exists(dir.file("token")));
    EXPECT_EQ(QtKeychainKeyring().read().status, token.empty() ? Status::notFound : Status::ok);
    EXPECT_EQ(tokens.load(), token);
  }
}

TEST(SecretServiceKeyring, UnansweredCallTimesOutAsFailureAndItsLateResultIsDropped) {
  ASSERT_NE(service, nullptr);
  test::TempDir dir;
  QtKeychainKeyring keyring;
  ASSERT_EQ(keyring.write("kept"), Status::ok);
  service->pause();
  QtKeychainKeyring impatient(1s);
  EXPECT_EQ(impatient.read().status, Status::failed);
  EXPECT_EQ(TokenStore(impatient, dir.file("token")).load(), std::nullopt);  // unknown, not "no token"
  service->resume();
  const Keyring::ReadResult later = keyring.read();
  EXPECT_EQ(later.status, Status::ok);
  EXPECT_EQ(later.secret, "kept");
  EXPECT_EQ(keyring.remove(), Status::ok);
}

// The parent runs this test again in a child whose bus address leads nowhere:
// the secret-service client keeps its first bus for the whole process.
TEST(NoSecretService, TokenFallsBackToAPrivateFileAndReadsBack) {
  if (service) {
    test::TempDir dir;
    test::Process::Options options;
    options.args = {std::filesystem::read_symlink("/proc/self/exe"), "--gtest_filter=NoSecretService.*"};
    options.setEnv = {{"QX_NO_SECRET_SERVICE", "1"},
                      {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir.file("no-bus")},
                      {"XDG_CONFIG_HOME", dir.path()}};
    const test::RunResult child = test::run(std::move(options), 60s);
    EXPECT_EQ(child.status, 0) << child.out << child.err;
    struct stat info {};
    ASSERT_EQ(::stat(dir.file("Quorvex/token").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    return;
  }
  QtKeychainKeyring keyring(5s);
  TokenStore tokens(keyring, TokenStore::defaultFallbackFile());
  EXPECT_EQ(keyring.read().status, Status::failed);
  ASSERT_TRUE(tokens.save("fallback-token"));
  EXPECT_EQ(test::readFile(TokenStore::defaultFallbackFile()), "fallback-token");
  EXPECT_EQ(tokens.load(), "fallback-token");
}

void setEnv(const char* name, const std::optional<std::string>& value) {
  value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
}

TEST(X11PermissionProbe, ScreenRecordingNeedsAnX11SessionAndInputNeedsXtest) {
  auto x = test::XServer::xvfb(640, 480);
  struct Case {
    std::optional<std::string> display, sessionType, waylandDisplay;
    bool screenRecording, accessibility;
  };
  const auto none = std::nullopt;
  for (const Case& c : std::vector<Case>{{x->display(), "x11", none, true, true},
                                         {x->display(), "x11", "wayland-0", false, true},
                                         {x->display(), "wayland", none, false, true},
                                         {none, "x11", none, false, false}}) {
    setEnv("DISPLAY", c.display);
    setEnv("XDG_SESSION_TYPE", c.sessionType);
    setEnv("WAYLAND_DISPLAY", c.waylandDisplay);
    X11PermissionProbe probe;
    EXPECT_EQ(probe.screenRecording(), c.screenRecording) << c.sessionType.value() << c.waylandDisplay.value_or("");
    EXPECT_EQ(probe.accessibility(), c.accessibility) << c.display.value_or("no display");
  }
  // One connection is kept; once its server is gone the probe connects anew.
  setEnv("DISPLAY", x->display());
  X11PermissionProbe probe;
  ASSERT_TRUE(probe.screenRecording());
  x.reset();
  EXPECT_FALSE(probe.screenRecording());
  x = test::XServer::xvfb(640, 480);
  setEnv("DISPLAY", x->display());
  EXPECT_TRUE(probe.screenRecording());
  EXPECT_TRUE(probe.accessibility());
}

}  // namespace
}  // namespace qx::host

int main(int argc, char** argv) {
  testing::InitGoogleMock(&argc, argv);
  // No desktop of the machine's own may steer QtKeychain to another backend.
  for (const char* name : {"DISPLAY", "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION"}) ::unsetenv(name);
  std::unique_ptr<qx::test::SecretService> service;
  if (!std::getenv("QX_NO_SECRET_SERVICE")) {
    try {
      service = qx::test::SecretService::start();
    } catch (const std::exception& e) {
      std::cerr << "secret service: " << e.what() << "\n";
      return 1;
    }
    for (const auto& [name, value] : service->clientEnv()) ::setenv(name.c_str(), value.c_str(), 1);
    qx::host::service = service.get();
  }
  QCoreApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
