// The controller on the real QProcess launcher and Qt timers, supervising a
// small program that stands in for the media server inside a bundle whose
// path holds spaces and regex metacharacters.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <cstdlib>
#include <filesystem>

#include "host/HostController.h"
#include "host/SettingsStore.h"
#include "host/TokenStore.h"
#include "platform/linux/host/qprocess_launcher.h"
#include "platform/linux/host/qt_scheduler.h"
#include "tests/fakes/fake_host_services.h"
#include "tests/fakes/fake_keyring.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace qx::host {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qx::test::readFile;

QCoreApplication& app() {
  static int argc = 1;
  static char name[] = "host_process_test";
  static char* argv[] = {name, nullptr};
  static auto* instance = new QCoreApplication(argc, argv);
  return *instance;
}

// Runs the event loop until `pred` holds or `timeout` passes.
template <class Pred>
bool spinUntil(Pred pred, std::chrono::milliseconds timeout) {
  QTimer tick;
  tick.start(10);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    app().processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

qx::test::Process::Options detachedInput(std::vector<std::string> args) {
  qx::test::Process::Options options;
  options.args = std::move(args);
  options.pipeStdin = false;
  return options;
}

// The real launcher, with every end it reports recorded.
class RecordingLauncher final : public ProcessLauncher {
 public:
  LaunchResult launch(const LaunchRequest& request, Callbacks callbacks) override {
    auto ended = std::move(callbacks.ended);
    callbacks.ended = [this, ended](ServerProcess& p, ProcessEnd end) {
      ends.push_back(end);
      ended(p, end);
    };
    return real.launch(request, std::move(callbacks));
  }
  void runAndWait(const std::string& program, const std::vector<std::string>& arguments) override {
    real.runAndWait(program, arguments);
  }
  bool startDetached(const std::string& program, const std::vector<std::string>& arguments) override {
    return real.startDetached(program, arguments);
  }
  QProcessLauncher real;
  std::vector<ProcessEnd> ends;
};

class HostProcessTest : public ::testing::Test {
 protected:
  HostProcessTest()
      : bundle(fs::path(dir.path()) / "odd [dir] +1" / "Quorvex Host.app"),
        macOS(bundle / "Contents/MacOS"),
        settings(QString::fromStdString(dir.file("QuorvexHost.conf"))),
        tokens(keyring, dir.file("token")) {
    app();
    fs::create_directories(macOS);
    fs::copy_file(qx::test::buildPath("tests/backend/host/fake_host_server"), server());
    settings.save(HostSettings{});
    keyring.item = "tok";
  }
  ~HostProcessTest() override {
    if (controller) controller->stopAndWait();
  }

  fs::path server() const { return macOS / "quorvex-webrtc-server"; }

  HostController& make(HostLaunch::Environment environment) {
    HostController::Services services{clock, scheduler, launcher, settings, tokens, probe,
                                      {},    {},        nullptr,  nullptr,  {}};
    controller = std::make_unique<HostController>(
        services, HostController::Paths{macOS, bundle, dir.file("state/Quorvex/host.log")},
        HostController::Identity{std::move(environment), ::getpid(), ::getuid(), false});
    return *controller;
  }

  bool logHas(const std::string& text) const {
    return readFile(dir.file("state/Quorvex/host.log")).find(text) != std::string::npos;
  }

  qx::test::TempDir dir;
  fs::path bundle;
  fs::path macOS;
  SteadyTimeSource clock;
  QtScheduler scheduler;
  RecordingLauncher launcher;
  fake::FakeKeyring keyring;
  fake::FakePermissionProbe probe;
  SettingsStore settings;
  TokenStore tokens;
  std::unique_ptr<HostController> controller;
};

TEST_F(HostProcessTest, OutputReachesTheLogByteForByteAndTheScannerByLine) {
  HostController& c = make({{"QX_FAKE_LINES", "connected clients: 1\\nodd \\x bytes\\r\\n"}});
  c.start();
  ASSERT_TRUE(spinUntil([&] { return c.connectedClients() == 1 && logHas("ready\n"); }, 5s));
  EXPECT_EQ(readFile(dir.file("state/Quorvex/host.log")), "connected clients: 1\nodd \xff bytes\r\nready\n");
}

TEST_F(HostProcessTest, StopAndWaitEndsAPoliteServerQuicklyWithoutKill) {
  HostController& c = make({});
  c.start();
  ASSERT_TRUE(spinUntil([&] { return logHas("ready"); }, 5s));
  const auto begin = std::chrono::steady_clock::now();
  c.stopAndWait();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);
  ASSERT_TRUE(spinUntil([&] { return c.runState().is<RunState::Stopped>(); }, 2s));
  EXPECT_THAT(launcher.ends, ::testing::ElementsAre(ProcessEnd{ProcessEnd::Reason::signal, SIGTERM}));
}

TEST_F(HostProcessTest, StubbornServerIsKilledByStopAndWaitAndByStop) {
  HostController& c = make({{"QX_FAKE_STUBBORN", "1"}});
  c.start();
  ASSERT_TRUE(spinUntil([&] { return logHas("ready"); }, 5s));
  auto begin = std::chrono::steady_clock::now();
  c.stopAndWait();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2500ms);
  ASSERT_TRUE(spinUntil([&] { return c.runState().is<RunState::Stopped>(); }, 2s));

  c.start();
  ASSERT_TRUE(spinUntil([&] { return c.runState().is<RunState::Running>() && logHas("ready\nready"); }, 5s));
  begin = std::chrono::steady_clock::now();
  c.stop();
  ASSERT_TRUE(spinUntil([&] { return c.runState().is<RunState::Stopped>(); }, 5s));
  const auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(took, 2900ms);
  EXPECT_LT(took, 4s);
  const ProcessEnd killed{ProcessEnd::Reason::signal, SIGKILL};
  EXPECT_THAT(launcher.ends, ::testing::ElementsAre(killed, killed));
}

TEST_F(HostProcessTest, StrayServerIsEndedBeforeLaunchButUpdaterRunSurvives) {
  qx::test::Process stray(detachedInput({server().string(), "--listen", ":8771"}));
  qx::test::Process updater(detachedInput({server().string(), "update", "check"}));
  ASSERT_TRUE(stray.pumpUntil([&] { return stray.out().find("ready") != std::string::npos; }, 5s));
  ASSERT_TRUE(updater.pumpUntil([&] { return updater.out().find("ready") != std::string::npos; }, 5s));

  make({}).start();
  EXPECT_EQ(stray.wait(3s), 128 + SIGTERM);
  EXPECT_EQ(updater.wait(300ms), std::nullopt);
  EXPECT_TRUE(controller->runState().is<RunState::Running>());
}

TEST_F(HostProcessTest, UnrequestedEndIsRestartedAfterOneSecond) {
  HostController& c = make({{"QX_FAKE_EXIT", "3"}});
  c.start();
  ASSERT_TRUE(spinUntil([&] { return c.runState().is<RunState::Waiting>(); }, 5s));
  EXPECT_EQ(c.runState().get<RunState::Waiting>()->lastExit, "exit code 3");
  ASSERT_TRUE(spinUntil([&] { return launcher.ends.size() == 2; }, 5s));
}

TEST_F(HostProcessTest, RelaunchStartsOneNewHostAfterTheOldOneEnded) {
  // The bundle's QuorvexHost records whether the old host was still alive.
  const std::string record = dir.file("relaunched");
  qx::test::writeFile(
      (macOS / "QuorvexHost").string(),
      "#!/bin/sh\nif kill -0 \"$QX_OLD_PID\" 2>/dev/null; then echo alive \"$@\"; else echo gone \"$@\"; fi >> \"" +
          record + "\"\n");
  fs::permissions(macOS / "QuorvexHost", fs::perms::owner_all);
  qx::test::Process oldHost(detachedInput({"/bin/sleep", "0.5"}));
  ::setenv("QX_OLD_PID", std::to_string(oldHost.pid()).c_str(), 1);

  HostController::Services services{clock, scheduler, launcher, settings, tokens, probe,
                                    {},    {},        nullptr,  nullptr,  [] {}};
  HostController c(services, HostController::Paths{macOS, bundle, dir.file("host.log")},
                   HostController::Identity{{}, oldHost.pid(), ::getuid(), false});
  c.relaunchUpdated();
  EXPECT_EQ(oldHost.wait(3s), 0);  // reaped, so `kill -0` sees it gone
  ASSERT_TRUE(spinUntil([&] { return fs::exists(record); }, 5s));
  spinUntil([] { return false; }, 1500ms);  // time for a second start, which must not come
  EXPECT_EQ(readFile(record), "gone --updated\n");
}

}  // namespace
}  // namespace qx::host
