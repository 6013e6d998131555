// The token store on a real Secret Service (a private session bus with an
// unlocked gnome-keyring, started before the application object), the
// controller on that service paused, on no secret service at all, and the
// X11 permission probe on Xvfb.

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <stdexcept>

#include "host/HostController.h"
#include "host/SettingsStore.h"
#include "host/TokenStore.h"
#include "platform/linux/host/qtkeychain_keyring.h"
#include "platform/linux/host/x11_permission_probe.h"
#include "tests/fakes/fake_host_services.h"
#include "tests/support/process.h"
#include "tests/support/secret_service.h"
#include "tests/support/temp_dir.h"
#include "tests/support/x_server.h"

namespace qx::host {
namespace {

using namespace std::chrono_literals;
using Status = Keyring::Status;

test::SecretService* service = nullptr;  // set by main, except in the no-service child

// Runs the event loop until `call`'s answer arrives (at most 30 s).
template <class T>
T await(const std::function<void(std::function<void(T)>)>& call) {
  std::optional<T> answer;
  QEventLoop loop;
  call([&](T value) {
    answer = std::move(value);
    loop.quit();
  });
  if (!answer) {
    QTimer::singleShot(30s, &loop, &QEventLoop::quit);
    loop.exec();
  }
  if (!answer) throw std::runtime_error("the keyring did not answer");
  return *answer;
}

Keyring::ReadResult read(Keyring& keyring) {
  return await<Keyring::ReadResult>([&](auto done) { keyring.read(done); });
}
std::optional<std::string> load(TokenStore& tokens) {
  return await<TokenRead>([&](auto done) { tokens.load(done); }).token;
}
bool save(TokenStore& tokens, const std::string& token) {
  return await<bool>([&](auto done) { tokens.save(token, done); });
}

TEST(SecretServiceKeyring, TokenRoundTripsThroughTheKeyringAndNotTheFile) {
  ASSERT_NE(service, nullptr);
  test::TempDir dir;
  QtKeychainKeyring keyring;
  TokenStore tokens(keyring, dir.file("token"));
  EXPECT_EQ(read(keyring).status, Status::notFound);
  test::writeFile(dir.file("token"), "stale");
  for (const std::string token : {"tok-\u00E9-1", "tok-2", ""}) {
    ASSERT_TRUE(save(tokens, token));
    EXPECT_FALSE(std::filesystem::exists(dir.file("token")));
    QtKeychainKeyring other;
    EXPECT_EQ(read(other).status, token.empty() ? Status::notFound : Status::ok);
    EXPECT_EQ(load(tokens), token);
  }
}

// While the service answers nothing, the controller's start only leaves a
// read outstanding: the main loop keeps turning, runState stays, and the
// server is launched once the service answers.
TEST(SecretServiceKeyring, PausedServiceLeavesTheMainThreadFreeAndTheLaunchWaits) {
  ASSERT_NE(service, nullptr);
  test::TempDir dir;
  QtKeychainKeyring keyring;
  TokenStore tokens(keyring, dir.file("token"));
  ASSERT_TRUE(save(tokens, "kept"));
  SettingsStore settings(QString::fromStdString(dir.file("QuorvexHost.conf")));
  settings.save(HostSettings{});
  const std::filesystem::path macOS = dir.file("Quorvex Host.app/Contents/MacOS");
  std::filesystem::create_directories(macOS);
  test::writeFile((macOS / "quorvex-webrtc-server").string(), "#!/bin/sh\n");
  ::chmod((macOS / "quorvex-webrtc-server").c_str(), 0755);
  fake::ManualClock clock;
  fake::FakeLauncher launcher;
  fake::FakePermissionProbe probe;
  HostController controller({clock, clock, launcher, settings, tokens, probe, {}, {}, nullptr, nullptr, [] {}},
                            {macOS, macOS.parent_path().parent_path(), dir.file("host.log")}, {{}, 1, 1000, false});

  service->pause();
  controller.start();
  controller.start();
  // A 20 ms timer on the main loop for 1.5 s: late ticks would show a wait.
  QElapsedTimer elapsed;
  elapsed.start();
  qint64 last = 0, longestGap = 0;
  int ticks = 0;
  QEventLoop loop;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    longestGap = std::max(longestGap, elapsed.elapsed() - last);
    last = elapsed.elapsed();
    if (++ticks == 75) loop.quit();
  });
  tick.start(20);
  loop.exec();
  tick.stop();
  EXPECT_LT(longestGap, 200);
  EXPECT_TRUE(controller.runState().is<RunState::Stopped>());
  EXPECT_TRUE(launcher.launches.empty());

  service->resume();
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (!launcher.launches.empty() || elapsed.elapsed() > 60'000) loop.quit();
  });
  poll.start(50);
  loop.exec();
  ASSERT_EQ(launcher.launches.size(), 1u);
  EXPECT_EQ(launcher.last().request.environment.at("QUORVEX_HOST_TOKEN"), "kept");
  EXPECT_TRUE(controller.runState().is<RunState::Running>());
  EXPECT_TRUE(save(tokens, ""));
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
  QtKeychainKeyring keyring;
  TokenStore tokens(keyring, TokenStore::defaultFallbackFile());
  EXPECT_EQ(read(keyring).status, Status::failed);
  ASSERT_TRUE(save(tokens, "fallback-token"));
  EXPECT_EQ(test::readFile(TokenStore::defaultFallbackFile()), "fallback-token");
  EXPECT_EQ(load(tokens), "fallback-token");
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
