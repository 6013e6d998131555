// The host controller against fake services and a manual clock: launch
// preconditions, supervision with back-off, stop and restart orders, output
// lines, the poll, and the arguments it hands the server.

#include "host/HostController.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QSettings>

#include <fstream>

#include "host/SettingsStore.h"
#include "host/TokenStore.h"
#include "tests/fakes/fake_host_services.h"
#include "tests/fakes/fake_keyring.h"
#include "tests/support/temp_dir.h"

namespace qx::host {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::Eq;
using ::testing::HasSubstr;
using Problem = HostOutputScanner::Problem;
using namespace std::chrono_literals;

std::string caseName(const RunState& s) {
  if (auto* w = s.get<RunState::Waiting>()) return "waiting(" + w->lastExit + ")";
  if (auto* f = s.get<RunState::Failed>()) return "failed(" + f->message + ")";
  if (s.is<RunState::NotConfigured>()) return "notConfigured";
  if (s.is<RunState::Stopped>()) return "stopped";
  return "running";
}

class ControllerTest : public ::testing::Test {
 public:  // the table below arranges cases through the fixture
  ControllerTest()
      : macOS(std::filesystem::path(dir.path()) / "Quorvex Host.app/Contents/MacOS"),
        settings(QString::fromStdString(dir.path() + "/QuorvexHost.conf")),
        tokens(keyring, std::filesystem::path(dir.path()) / "token") {
    std::filesystem::create_directories(macOS);
    std::ofstream(macOS / "quorvex-webrtc-server") << "#!/bin/sh\n";
    ::chmod((macOS / "quorvex-webrtc-server").c_str(), 0755);
    settings.save(HostSettings{});
    keyring.item = "tok";
  }

  HostController& make() {
    HostController::Services services{
        clock, clock,      launcher,   settings,           tokens, probe, [this] { return addresses; },
        {},    &loginItem, &systemLog, [this] { ++quits; }};
    controller = std::make_unique<HostController>(
        services, HostController::Paths{macOS, macOS.parent_path().parent_path(), dir.path() + "/host.log"},
        HostController::Identity{{{"HOME", "/home/u"}}, 77, 1000, false});
    QObject::connect(controller.get(), &HostController::runStateChanged,
                     [this] { states.push_back(caseName(controller->runState())); });
    return *controller;
  }

  void crash(int status = 1) { launcher.end({ProcessEnd::Reason::exit, status}); }
  double waitSeconds() const {
    return Seconds(controller->runState().get<RunState::Waiting>()->until - clock.now()).count();
  }

  qx::test::TempDir dir;
  std::filesystem::path macOS;
  fake::ManualClock clock;
  fake::FakeLauncher launcher;
  fake::FakeKeyring keyring;
  fake::FakePermissionProbe probe;
  fake::FakeLoginItem loginItem;
  fake::FakeSystemLog systemLog;
  SettingsStore settings;
  TokenStore tokens;
  std::vector<LocalAddress> addresses{{"192.168.1.5", LocalAddress::Kind::lan}};
  int quits = 0;
  std::unique_ptr<HostController> controller;
  std::vector<std::string> states;
};

TEST_F(ControllerTest, LaunchesWithTokenAfterSweepingStrayServers) {
  HostController& c = make();
  c.start();
  ASSERT_EQ(launcher.launches.size(), 1u);
  const LaunchRequest& r = launcher.last().request;
  EXPECT_EQ(r.program, (macOS / "quorvex-webrtc-server").string());
  EXPECT_EQ(r.environment.at("QUORVEX_HOST_TOKEN"), "tok");
  EXPECT_EQ(r.environment.at("HOME"), "/home/u");
  ASSERT_EQ(launcher.runs.size(), 1u);
  EXPECT_EQ(launcher.runs[0].first, "pkill");
  EXPECT_THAT(launcher.runs[0].second, ElementsAre("-U", "1000", "-f", strayServerPattern(r.program)));
  EXPECT_THAT(states, ElementsAre("running"));

  c.start();  // already running: nothing at all
  EXPECT_EQ(launcher.launches.size(), 1u);
  EXPECT_THAT(states, ElementsAre("running"));
}

TEST_F(ControllerTest, RefusesToLaunchWithoutPreconditions) {
  struct Case {
    const char* name;
    std::function<void(ControllerTest&)> arrange;
    std::string state;
  };
  const std::vector<Case> cases = {
      {"never configured", [](ControllerTest& t) { std::filesystem::remove(t.dir.path() + "/QuorvexHost.conf"); },
       "notConfigured"},
      {"server missing", [](ControllerTest& t) { std::filesystem::remove(t.macOS / "quorvex-webrtc-server"); },
       "failed(Incomplete install: quorvex-webrtc-server missing)"},
      {"server not executable", [](ControllerTest& t) { ::chmod((t.macOS / "quorvex-webrtc-server").c_str(), 0644); },
       "failed(Incomplete install: quorvex-webrtc-server missing)"},
      {"keyring fails, no token file", [](ControllerTest& t) { t.keyring.failing = true; },
       "failed(Couldn't read the access token from the keyring)"},
      {"launch error", [](ControllerTest& t) { t.launcher.failWith = "No such file or directory"; },
       "failed(No such file or directory)"},
  };
  for (const Case& k : cases) {
    ControllerTest& t = *this;
    t.states.clear();
    t.settings.save(HostSettings{});
    std::ofstream(t.macOS / "quorvex-webrtc-server", std::ios::app).flush();
    ::chmod((t.macOS / "quorvex-webrtc-server").c_str(), 0755);
    t.keyring.failing = false;
    t.launcher.failWith.clear();
    k.arrange(t);
    HostController& c = t.make();
    c.start();
    EXPECT_THAT(t.states, ElementsAre(k.state)) << k.name;
    EXPECT_TRUE(t.launcher.launches.empty()) << k.name;
  }
}

TEST_F(ControllerTest, CrashLoopBacksOffAndAHealthyRunResets) {
  HostController& c = make();
  c.start();
  std::vector<double> waits;
  for (int i = 0; i < 7; ++i) {
    crash();
    waits.push_back(waitSeconds());
    clock.advance(Seconds(waits.back()));
  }
  EXPECT_THAT(waits, ElementsAre(1, 2, 4, 8, 16, 30, 30));
  EXPECT_EQ(launcher.launches.size(), 8u);
  clock.advance(61s);
  launcher.end({ProcessEnd::Reason::signal, 9});
  EXPECT_EQ(waitSeconds(), 1);
  EXPECT_EQ(states.back(), "waiting(killed by signal 9)");
  EXPECT_EQ(states[1], "waiting(exit code 1)");
}

TEST_F(ControllerTest, RestartWhileRunningStopsThenLaunchesAtOnce) {
  HostController& c = make();
  c.start();
  crash();
  clock.advance(1s);  // one failure counted, second server running
  states.clear();
  c.restart();
  EXPECT_EQ(launcher.last().process->terminations, 1);
  launcher.end({ProcessEnd::Reason::signal, 15});
  EXPECT_THAT(states, ElementsAre("stopped", "running"));
  EXPECT_EQ(launcher.launches.size(), 3u);
  crash();  // the back-off was reset by the restart
  EXPECT_EQ(waitSeconds(), 1);
}

TEST_F(ControllerTest, StaleEndNoticeIsIgnored) {
  HostController& c = make();
  c.start();
  crash();
  clock.advance(1s);
  states.clear();
  launcher.end({ProcessEnd::Reason::exit, 0}, 0);  // the first server, reported again
  EXPECT_TRUE(states.empty());
  EXPECT_TRUE(c.runState().is<RunState::Running>());
}

TEST_F(ControllerTest, StartDuringPendingRestartLaunchesOnceAtOnce) {
  HostController& c = make();
  c.start();
  crash();
  c.start();
  EXPECT_EQ(launcher.launches.size(), 2u);
  clock.advance(5s);  // the cancelled restart never fires
  EXPECT_EQ(launcher.launches.size(), 2u);
}

TEST_F(ControllerTest, StopTerminatesAndKillsAfterThreeSeconds) {
  HostController& c = make();
  c.stop();
  EXPECT_THAT(states, ElementsAre("stopped"));  // nothing ran: at once
  c.start();
  launcher.last().process->exitsOnTerminate = false;
  c.stop();
  clock.advance(2.9s);
  EXPECT_EQ(launcher.last().process->kills, 0);
  EXPECT_TRUE(c.runState().is<RunState::Running>());
  clock.advance(0.2s);
  EXPECT_EQ(launcher.last().process->kills, 1);
  launcher.end({ProcessEnd::Reason::signal, 9});
  EXPECT_EQ(states.back(), "stopped");
}

TEST_F(ControllerTest, StopAndWaitPollsThenKillsAndLeavesStateAlone) {
  HostController& c = make();
  c.start();
  auto& process = *launcher.last().process;
  process.exitsOnTerminate = false;
  c.stopAndWait();
  EXPECT_EQ(process.terminations, 1);
  EXPECT_EQ(process.waits, 20);
  EXPECT_EQ(process.kills, 1);
  EXPECT_TRUE(c.runState().is<RunState::Running>());
}

TEST_F(ControllerTest, OutputLinesSetProblemAndClientsUntilTheNextLaunch) {
  HostController& c = make();
  c.start();
  launcher.print("connected clients: 2\nlisten: address already ");
  EXPECT_EQ(c.connectedClients(), 0);  // lines are handled on the next loop turn
  clock.drain();
  EXPECT_EQ(c.connectedClients(), 2);
  launcher.print("in use\n");
  clock.drain();
  EXPECT_EQ(c.problem(), Problem::portInUse);
  crash();
  EXPECT_EQ(c.connectedClients(), 0);
  EXPECT_EQ(c.problem(), Problem::portInUse);
  clock.advance(1s);
  EXPECT_EQ(c.problem(), std::nullopt);
  std::ifstream log(dir.path() + "/host.log");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(log), {}),
            "connected clients: 2\nlisten: address already in use\n");
}

TEST_F(ControllerTest, DeviceInstallRequestIsHandedOn) {
  HostController& c = make();
  int requests = 0;
  QObject::connect(&c, &HostController::deviceUpdateRequested, [&] { ++requests; });
  c.start();
  launcher.print("[update] install requested 1.2.0\n");
  clock.drain();
  EXPECT_EQ(requests, 1);
}

TEST_F(ControllerTest, UpdateURLArgumentFollowsAutomaticChecks) {
  auto updateArgs = [this](bool autoCheck, const char* overrideURL) {
    settings.setAutoCheckUpdates(autoCheck);
    QSettings(settings.path(), QSettings::IniFormat).setValue("updateURL", overrideURL);
    launcher.launches.clear();
    make().start();
    std::vector<std::string> found;
    for (const std::string& a : launcher.last().request.arguments)
      if (a.starts_with("--update-url")) found.push_back(a);
    return found;
  };
  EXPECT_THAT(updateArgs(false, "http://127.0.0.1:9/feed"), ElementsAre("--update-url="));
  EXPECT_THAT(updateArgs(true, ""), ElementsAre());
  EXPECT_THAT(updateArgs(true, "http://127.0.0.1:9/feed"), ElementsAre("--update-url=http://127.0.0.1:9/feed"));
}

TEST_F(ControllerTest, PollRepublishesPermissionsAndChangedAddressesOnly) {
  HostController& c = make();
  int addressChanges = 0, screenChanges = 0;
  QObject::connect(&c, &HostController::addressesChanged, [&] { ++addressChanges; });
  QObject::connect(&c, &HostController::screenRecordingChanged, [&] { ++screenChanges; });
  clock.advance(4s);
  EXPECT_EQ(screenChanges, 2);
  EXPECT_EQ(addressChanges, 0);
  addresses.push_back({"100.64.0.9", LocalAddress::Kind::tailnet});
  probe.screen = false;
  clock.advance(2s);
  EXPECT_EQ(addressChanges, 1);
  EXPECT_FALSE(c.screenRecording());
  EXPECT_EQ(c.addresses().size(), 2u);
}

TEST_F(ControllerTest, RelaunchWaitsForThisProcessThenQuits) {
  HostController& c = make();
  c.relaunchApp();
  ASSERT_EQ(launcher.detached.size(), 1u);
  EXPECT_EQ(launcher.detached[0].first, "/bin/sh");
  EXPECT_THAT(launcher.detached[0].second,
              ElementsAre("-c", relaunchScript, macOS.parent_path().parent_path().string(), "77"));
  EXPECT_EQ(quits, 1);
}

TEST_F(ControllerTest, LoginItemPublishesWhatTheDesktopReports) {
  HostController& c = make();
  loginItem.approvalPending = true;
  c.setLoginItem(true);
  EXPECT_FALSE(c.loginItemEnabled());
  loginItem.error = "read-only file system";
  c.setLoginItem(false);
  EXPECT_THAT(systemLog.lines, ElementsAre("Quorvex Host: login item unregister failed: read-only file system"));
}

// The keyring answers when it can (an unlock prompt, a paused service): the
// launch waits for the read, and nothing else waits with it.
TEST_F(ControllerTest, LaunchWaitsForTheTokenReadWhichStopAndRestartDrop) {
  struct Case {
    const char* name;
    std::function<void(HostController&)> meanwhile;
    std::vector<std::string> states;  // after the keyring answered
    std::size_t launches;
    int reads;
  };
  const std::vector<Case> cases = {
      {"a second start", [](HostController& c) { c.start(); }, {"running"}, 1, 1},
      {"stop", [](HostController& c) { c.stop(); }, {"stopped"}, 0, 1},
      {"stopAndWait", [](HostController& c) { c.stopAndWait(); }, {}, 0, 1},
      {"restart reads again", [](HostController& c) { c.restart(); }, {"running"}, 1, 2},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    states.clear();
    launcher.launches.clear();
    keyring.reads = 0;
    keyring.holding = true;
    HostController& c = make();
    c.start();
    k.meanwhile(c);
    EXPECT_TRUE(launcher.launches.empty());
    if (k.states != std::vector<std::string>{"stopped"}) {
      EXPECT_TRUE(states.empty()) << "runState stays as it was";
    }
    keyring.answerAll();
    EXPECT_EQ(states, k.states);
    EXPECT_EQ(launcher.launches.size(), k.launches);
    EXPECT_EQ(keyring.reads, k.reads);
  }
}

// Save stores the token before the restart it causes reads it, whether a
// server was running or only a read was outstanding.
TEST_F(ControllerTest, SaveWritesTheTokenBeforeTheRestartReadsIt) {
  for (const bool running : {true, false}) {
    SCOPED_TRACE(running);
    keyring.item = "old";
    launcher.launches.clear();
    HostController& c = make();
    if (running) c.start();
    keyring.holding = true;
    if (!running) c.start();  // its read waits
    SettingsEdit edit = c.settingsEdit();
    edit.token = "new";
    ASSERT_TRUE(c.applySettings(edit));
    if (running) launcher.end({ProcessEnd::Reason::signal, 15});
    keyring.answerAll();
    keyring.holding = false;
    EXPECT_EQ(launcher.launches.size(), running ? 2u : 1u);
    EXPECT_EQ(launcher.last().request.environment.at("QUORVEX_HOST_TOKEN"), "new");
  }
}

// No secret service answering: tried again on the back-off delays, the state
// and its text kept, until one answers. A dismissed unlock prompt is not
// shown again unasked; Restart Service asks.
TEST_F(ControllerTest, UnreadableKeyringRetriesUnlessTheUserDismissedThePrompt) {
  keyring.failing = true;
  HostController& c = make();
  c.start();
  std::vector<int> readsAt;
  for (double at : {0.9, 0.2, 1.9, 4.0}) {  // 0.9, 1.1, 3.0, 7.0 s
    clock.advance(Seconds(at));
    readsAt.push_back(keyring.reads);
  }
  EXPECT_THAT(readsAt, ElementsAre(1, 2, 3, 4));
  EXPECT_THAT(states, Each(Eq("failed(Couldn't read the access token from the keyring)")));
  keyring.failing = false;
  clock.advance(8s);
  EXPECT_EQ(states.back(), "running");

  keyring.failing = true;
  keyring.failure = Keyring::Status::refused;
  states.clear();
  HostController& again = make();
  again.start();
  clock.advance(120s);
  EXPECT_EQ(keyring.reads, 6);
  EXPECT_THAT(states, ElementsAre("failed(The keyring stayed locked; choose Restart Service to unlock it and start)"));
  keyring.failing = false;
  again.restart();
  EXPECT_EQ(states.back(), "running");
}

TEST(StrayServerPattern, EscapesEveryRegexMetacharacter) {
  EXPECT_EQ(strayServerPattern("/a b/[x]+(y)/s.v"), "^/a b/\\[x\\]\\+\\(y\\)/s\\.v --listen");
  EXPECT_EQ(strayServerPattern("/p$^|?*{}\\"), "^/p\\$\\^\\|\\?\\*\\{\\}\\\\ --listen");
}

}  // namespace
}  // namespace qx::host
