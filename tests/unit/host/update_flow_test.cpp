// The update flow on the real controller with fake services: the phase table
// row by row, what a check shows by who started it, device requests, the
// updater's command lines and reports, the summary line and the schedule.

#include "host/UpdateFlow.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QLocale>
#include <QSettings>
#include <fstream>

#include "HostCore/UpdateRequest.h"
#include "host/HostController.h"
#include "host/SettingsStore.h"
#include "host/TokenStore.h"
#include "platform/linux/host/posix_bundle_files.h"
#include "platform/linux/host/updater_process.h"
#include "tests/fakes/fake_host_services.h"
#include "tests/fakes/fake_keyring.h"
#include "tests/fakes/fake_update_services.h"
#include "tests/support/temp_dir.h"

namespace qx::host {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::chrono_literals;

void makeBundle(const fs::path& bundle, const std::string& version) {
  fs::create_directories(bundle / "Contents/MacOS");
  std::ofstream(bundle / "Contents/Info.plist")
      << "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
         "<string>com.quorvex.host</string><key>CFBundleShortVersionString</key><string>"
      << version << "</string></dict></plist>\n";
  std::ofstream(bundle / "Contents/MacOS/quorvex-webrtc-server") << "#!/bin/sh\n";
  ::chmod((bundle / "Contents/MacOS/quorvex-webrtc-server").c_str(), 0755);
}

std::string phaseName(const UpdatePhase& p) {
  switch (p.state) {
    case UpdatePhase::Case::idle: return "idle";
    case UpdatePhase::Case::checking: return "checking";
    case UpdatePhase::Case::downloading: return "downloading(" + p.text + ")";
    case UpdatePhase::Case::installing: return "installing(" + p.text + ")";
    case UpdatePhase::Case::failed: return "failed(" + p.text + ")";
  }
  return "?";
}

UpdaterOutput printed(const UpdateCheck& report) {
  return {std::nullopt, "updater: working\n" + report.encode() + "\n", 0};
}

// A controller running its server, the flow on top, and a newer bundle that
// the fake updater "downloads".
struct Rig {
  explicit Rig(bool zh = false, const std::string& bundleName = "Quorvex Host.app", bool withCaches = true)
      : bundle(fs::path(dir.path()) / "apps" / bundleName),
        newApp(fs::path(dir.path()) / "download/Quorvex Host.app"),
        settings(QString::fromStdString(dir.path() + "/QuorvexHost.conf")),
        tokens(keyring, fs::path(dir.path()) / "token") {
    makeBundle(bundle, "1.2.0");
    makeBundle(newApp, "1.3.0");
    settings.save(HostSettings{});
    keyring.item = "tok";
    controller = std::make_unique<HostController>(
        HostController::Services{
            clock, clock, launcher, settings, tokens, probe, {}, {}, nullptr, &log, [this] { ++quits; }},
        HostController::Paths{bundle / "Contents/MacOS", bundle, dir.path() + "/host.log"},
        HostController::Identity{{}, 77, 1000, zh});
    flow = std::make_unique<UpdateFlow>(*controller,
                                        UpdateFlow::Services{clock, wall, background, updater.command(),
                                                             [this](const fs::path& app, const std::string& version) {
                                                               verified.emplace_back(app, version);
                                                               return verifier ? verifier(app) : verdict;
                                                             },
                                                             alerts, log, files, settings},
                                        withCaches ? std::optional(fs::path(dir.path()) / "cache") : std::nullopt);
    QObject::connect(flow.get(), &UpdateFlow::updatePhaseChanged,
                     [this] { phases.push_back(phaseName(flow->updatePhase())); });
    UpdateCheck offer("1.2.0", "1.3.0", true, std::nullopt);
    offer.notes = std::map<std::string, std::string>{{"en", "Fixes"}, {"zh", "修复"}};
    updater.replies["check"] = printed(offer);
    UpdateCheck download("1.2.0", "1.3.0", true, std::nullopt);
    download.path = newApp.string();
    updater.replies["download"] = printed(download);
    controller->start();
  }

  std::string bundleVersion() const { return qx::test::readFile((bundle / "Contents/Info.plist").string()); }

  qx::test::TempDir dir;
  fs::path bundle, newApp;
  fake::ManualClock clock;
  fake::FakeLauncher launcher;
  fake::FakeKeyring keyring;
  fake::FakePermissionProbe probe;
  fake::FakeSystemLog log;
  SettingsStore settings;
  TokenStore tokens;
  fake::ManualWallClock wall;
  fake::FakeBackgroundWork background;
  fake::FakeUpdater updater;
  fake::FakeAlerts alerts;
  PosixBundleFiles realFiles;
  fake::StepBundleFiles files{realFiles};
  std::optional<std::string> verdict;
  std::function<std::optional<std::string>(const fs::path&)> verifier;  // instead of `verdict` when set
  std::vector<std::pair<fs::path, std::string>> verified;
  int quits = 0;
  std::unique_ptr<HostController> controller;
  std::unique_ptr<UpdateFlow> flow;
  std::vector<std::string> phases;
};

TEST(UpdateFlow, FollowsThePhaseTable) {
  struct Row {
    const char* name;
    std::function<void(Rig&)> script;
    std::vector<std::string> phases;
    std::vector<std::string> logged;
    const char* bundleName = "Quorvex Host.app";
  };
  const auto check = [](Rig& r) { r.flow->checkForUpdates(false); };
  const auto install = [](Rig& r) { r.flow->installUpdate(); };
  // Reaches the phase through the flow's own paths: a download the updater
  // has not answered yet, or one whose bundle fails verification with `x`.
  const auto whileDownloading = [](auto then) {
    return [then](Rig& r) {
      r.flow->installUpdate();
      then(r);
    };
  };
  const auto afterFailure = [](auto then) {
    return [then](Rig& r) {
      r.verdict = "x";
      r.flow->installUpdate();
      r.background.runAll();
      r.verdict.reset();
      then(r);
    };
  };
  const auto downloading = [](UpdateCheck report) {
    return [report](Rig& r) {
      r.updater.replies["download"] = printed(report);
      r.flow->installUpdate();
    };
  };
  UpdateCheck noLatest("1.2.0", std::nullopt, true, std::nullopt);
  noLatest.path = "/somewhere/Quorvex Host.app";
  const std::string notWritable = "failed(The app's folder isn't writable; run the installer to update)";
  const std::string relaunching = "Quorvex Host: updated to 1.3.0; relaunching";
  const std::string replaceError = "Couldn't replace the app: " + std::make_error_code(std::errc::io_error).message();
  std::vector<Row> rows = {
      {"a check reads the report", check, {"checking", "idle"}, {}},
      {"a check whose updater cannot start",
       [](Rig& r) {
         r.updater.replies["check"] = {"No such file or directory", "", 0};
         r.flow->checkForUpdates(false);
       },
       {"checking", "idle"},
       {"Quorvex Host: update check failed: No such file or directory"}},
      {"a check after a failure",
       afterFailure(check),
       {"downloading()", "failed(x)", "checking", "idle"},
       {"Quorvex Host: update failed: x"}},
      {"a check while checking",
       [](Rig& r) {
         r.flow->checkForUpdates(false);
         r.flow->checkForUpdates(true);
       },
       {"checking", "idle"},
       {}},
      {"a check while downloading", whileDownloading(check), {"downloading()", "installing(1.3.0)"}, {relaunching}},
      {"a check while installing",
       [](Rig& r) {
         r.files.atStep = {1, [&r] { r.flow->checkForUpdates(false); }};  // inside the replacement
         r.flow->installUpdate();
       },
       {"downloading()", "installing(1.3.0)"},
       {relaunching}},
      {"an install without a check", install, {"downloading()", "installing(1.3.0)"}, {relaunching}},
      {"an install after a check, and one more while downloading",
       [](Rig& r) {
         r.flow->checkForUpdates(false);
         r.background.runAll();
         r.flow->installUpdate();
         r.flow->installUpdate();
       },
       {"checking", "idle", "downloading(1.3.0)", "installing(1.3.0)"},
       {relaunching}},
      {"a check that ends while an install has started",
       [](Rig& r) {
         r.flow->checkForUpdates(false);
         r.flow->installUpdate();
         r.background.runNext();  // the check's report
       },
       {"checking", "downloading()", "idle", "installing(1.3.0)"},
       {relaunching}},
      {"an install after a failure",
       afterFailure(install),
       {"downloading()", "failed(x)", "downloading(1.3.0)", "installing(1.3.0)"},
       {"Quorvex Host: update failed: x", relaunching}},
      {"a bundle without the extension", install, {notWritable}, {}, "Quorvex Host"},
      {"a bundle with another extension", install, {notWritable}, {}, "Quorvex Host.apps"},
      {"the download's updater error",
       downloading(UpdateCheck("1.2.0", "1.3.0", true, "disk full")),
       {"downloading()", "failed(disk full)"},
       {"Quorvex Host: update failed: disk full"}},
      {"a download without path",
       downloading(UpdateCheck("1.2.0", "1.3.0", true, std::nullopt)),
       {"downloading()", "failed(The download returned no app)"},
       {"Quorvex Host: update failed: The download returned no app"}},
      {"a download without latest",
       downloading(noLatest),
       {"downloading()", "failed(The download returned no app)"},
       {"Quorvex Host: update failed: The download returned no app"}},
      {"a bundle that fails verification",
       [](Rig& r) {
         r.verdict = "The update's signature is invalid (-10)";
         r.flow->installUpdate();
       },
       {"downloading()", "failed(The update's signature is invalid (-10))"},
       {"Quorvex Host: update failed: The update's signature is invalid (-10)"}},
      {"a copy beside the bundle that fails",
       [](Rig& r) {
         r.files.failAt = 2;  // making the staged copy's directory
         r.flow->installUpdate();
       },
       {"downloading()", "failed(" + replaceError + ")"},
       {"Quorvex Host: update failed: " + replaceError}},
      {"a failed replacement",
       [](Rig& r) {
         r.files.failOn = "exchange";
         r.flow->installUpdate();
       },
       {"downloading()", "installing(1.3.0)", "failed(" + replaceError + ")"},
       {"Quorvex Host: update failed: " + replaceError}},
  };
  if (::geteuid() != 0) {  // root may write anywhere
    rows.push_back({"a folder that isn't writable",
                    [](Rig& r) {
                      const fs::path folder = r.bundle.parent_path();
                      ::chmod(folder.c_str(), 0555);
                      r.flow->installUpdate();
                      ::chmod(folder.c_str(), 0755);
                    },
                    {notWritable},
                    {}});
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Rig r(false, row.bundleName);
    row.script(r);
    r.background.runAll();
    EXPECT_EQ(r.phases, row.phases);
    EXPECT_EQ(r.log.lines, row.logged);
    // The server is stopped exactly when the flow itself goes on to install.
    const bool replacing = std::find(row.phases.begin() + 1, row.phases.end(), "installing(1.3.0)") != row.phases.end();
    EXPECT_EQ(r.launcher.launches.at(0).process->terminations, replacing ? 1 : 0);
  }
}

TEST(UpdateFlow, ReplacesVerifiedBundleAndRelaunches) {
  Rig r;
  r.flow->installUpdate();
  r.background.runAll();
  EXPECT_THAT(r.verified, ElementsAre(std::pair(stagedBundlePath(r.bundle), std::string("1.3.0"))));
  EXPECT_NE(r.bundleVersion().find("1.3.0"), std::string::npos);
  ASSERT_EQ(r.launcher.detached.size(), 1u);
  // The new process learns it follows an install.
  EXPECT_THAT(r.launcher.detached[0].second,
              ElementsAre("-c", relaunchScript, r.bundle.string(), "77", updatedArgument));
  EXPECT_EQ(r.quits, 1);
}

TEST(UpdateFlow, InstallsTheCopyItVerifiedNotTheDownload) {
  for (const bool accepted : {true, false}) {
    SCOPED_TRACE(accepted ? "accepted" : "refused");
    Rig r;
    const std::string server = "Contents/MacOS/quorvex-webrtc-server";
    r.verifier = [&](const fs::path& app) {
      const std::string verifiedContent = qx::test::readFile((app / server).string());
      // The download changes once the copy was verified.
      std::ofstream(r.newApp / server, std::ios::app) << "echo unverified\n";
      EXPECT_EQ(verifiedContent, "#!/bin/sh\n");
      return accepted ? std::nullopt : std::optional<std::string>("The update's signature is invalid (-10)");
    };
    r.flow->installUpdate();
    r.background.runAll();
    EXPECT_EQ(qx::test::readFile((r.bundle / server).string()), "#!/bin/sh\n");
    EXPECT_NE(r.bundleVersion().find(accepted ? "1.3.0" : "1.2.0"), std::string::npos);
    EXPECT_FALSE(fs::exists(stagedBundlePath(r.bundle)));
    EXPECT_EQ(r.launcher.launches.at(0).process->terminations, accepted ? 1 : 0);
  }
}

TEST(UpdateFlow, AFailedReplacementLeavesTheBundleAndStartsTheServerOnceTheOldOneEnded) {
  Rig r;
  r.files.failOn = "exchange";
  r.flow->installUpdate();
  r.background.runAll();
  EXPECT_EQ(r.launcher.launches.size(), 1u);  // the stopped server is not yet handled
  r.launcher.end({ProcessEnd::Reason::signal, 15});
  r.clock.drain();
  EXPECT_EQ(r.launcher.launches.size(), 2u);
  EXPECT_TRUE(r.controller->runState().is<RunState::Running>());
  EXPECT_NE(r.bundleVersion().find("1.2.0"), std::string::npos);
  EXPECT_EQ(r.quits, 0);
}

TEST(UpdateFlow, OnlyAUserCheckShowsSomething) {
  struct Row {
    const char* name;
    bool zh;
    bool user;
    std::optional<UpdaterOutput> reply;  // default: 1.3.0 offered with notes
    int answer;
    std::vector<std::string> alert;  // title, text, buttons...; empty: none shown
    bool updated;                    // `update` and `lastUpdateCheck` set
    std::size_t updaterRuns;
  };
  const std::string promptText =
      "You have 1.2.0. Remote control pauses for a few seconds while the app updates and reopens; settings and "
      "permissions are kept.\n\nFixes";
  const UpdaterOutput upToDate = printed(UpdateCheck("1.2.0", "1.2.0", false, std::nullopt));
  const UpdaterOutput silent{std::nullopt, "", 3};
  const std::vector<std::string> prompt = {"Update Quorvex Host to 1.3.0?", promptText, "Update", "Later"};
  // clang-format off
  const std::vector<Row> rows = {
      {"automatic, update offered", false, false, {}, 0, {}, true, 1},
      {"user, update offered, later", false, true, {}, 1, prompt, true, 1},
      {"user, update offered, update", false, true, {}, 0, prompt, true, 2},
      {"user, Chinese", true, true, {}, 1,
       {"更新 Quorvex Host 到 1.3.0？",
        "当前版本 1.2.0。更新时远控会中断十几秒，之后 App 自动重新打开，设置和权限都保留。\n\n修复", "更新", "稍后"},
       true, 1},
      {"user, up to date", false, true, upToDate, 0,
       {"You're up to date", "Quorvex Host 1.2.0 is the latest version.", "OK"}, true, 1},
      {"user, up to date, Chinese", true, true, upToDate, 0,
       {"已是最新版本", "Quorvex Host 1.2.0 是最新版本。", "好"}, true, 1},
      {"user, updater silent", false, true, silent, 0,
       {"Couldn't check for updates", "The updater returned nothing (exit code 3)", "OK", "(warning)"}, false, 1},
      {"user, updater silent, Chinese", true, true, silent, 0,
       {"检查更新失败", "更新程序没有返回结果（退出码 3）", "好", "(warning)"}, false, 1},
      {"automatic, updater silent", false, false, silent, 0, {}, false, 1},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Rig r(row.zh);
    if (row.reply) r.updater.replies["check"] = *row.reply;
    r.alerts.answer = row.answer;
    r.flow->checkForUpdates(row.user);
    r.background.runAll();
    std::vector<std::string> shown;
    for (const Alerts::Alert& a : r.alerts.shown) {
      shown.insert(shown.end(), {a.title, a.text});
      shown.insert(shown.end(), a.buttons.begin(), a.buttons.end());
      if (a.warning) shown.push_back("(warning)");
    }
    EXPECT_EQ(shown, row.alert);
    EXPECT_EQ(r.flow->update().has_value(), row.updated);
    EXPECT_EQ(r.flow->lastUpdateCheck(), row.updated ? std::optional(r.wall.at) : std::nullopt);
    EXPECT_EQ(r.updater.calls.size(), row.updaterRuns);
  }
}

TEST(UpdateFlow, DeviceRequestsInstallWhenFreshAndAreAlwaysDeleted) {
  struct Row {
    const char* name;
    std::optional<std::string> file;
    bool installs;
  };
  const double now = 1'700'000'000;
  const std::vector<Row> rows = {
      {"fresh", UpdateRequest::encode("1.3.0", now - 119), true},
      {"121 s old", UpdateRequest::encode("1.3.0", now - 121), false},
      {"not a version", UpdateRequest::encode("latest", now), false},
      {"no file", std::nullopt, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Rig r;
    const fs::path file = UpdateRequest::url(fs::path(r.dir.path()) / "cache");
    if (row.file) {
      fs::create_directories(file.parent_path());
      qx::test::writeFile(file.string(), *row.file);
    }
    r.launcher.print("[update] install requested 1.3.0\n");
    r.clock.drain();
    r.background.runAll();
    EXPECT_FALSE(fs::exists(file));
    EXPECT_THAT(r.alerts.shown, IsEmpty());
    ASSERT_EQ(r.updater.calls.size(), row.installs ? 1u : 0u);
    if (!row.installs) continue;
    EXPECT_EQ(r.updater.calls[0].second.at(1), "download");
    EXPECT_EQ(r.log.lines.at(0), "Quorvex Host: a device asked to install 1.3.0");
  }
}

TEST(UpdateFlow, WithoutACachesFolderNothingIsDownloadedOrRead) {
  Rig r(false, "Quorvex Host.app", false);
  r.launcher.print("[update] install requested 1.3.0\n");
  r.clock.drain();
  r.flow->installUpdate();
  r.background.runAll();
  EXPECT_THAT(r.updater.calls, IsEmpty());
  EXPECT_THAT(r.phases, ElementsAre("failed(There is no caches folder to download into (neither HOME nor "
                                    "XDG_CACHE_HOME is an absolute path))"));
}

TEST(UpdateFlow, UpdaterCommandLinesPutTheURLOverrideLast) {
  for (const std::string url : {"", "file:///srv/feed"}) {
    SCOPED_TRACE(url);
    Rig r;
    if (!url.empty())
      QSettings(r.settings.path(), QSettings::IniFormat).setValue("updateURL", QString::fromStdString(url));
    r.flow->checkForUpdates(false);
    r.background.runAll();
    r.flow->installUpdate();
    r.background.runAll();
    std::vector<std::string> check = {"update", "check"};
    std::vector<std::string> download = {"update", "download", "--dir", r.flow->downloadDirectory().string()};
    if (!url.empty())
      for (auto* args : {&check, &download}) args->insert(args->end(), {"--url", url});
    ASSERT_EQ(r.updater.calls.size(), 2u);
    EXPECT_EQ(r.updater.calls[0].first, (r.bundle / "Contents/MacOS/quorvex-webrtc-server").string());
    EXPECT_EQ(r.updater.calls[0].second, check);
    EXPECT_EQ(r.updater.calls[1].second, download);
  }
}

TEST(UpdateFlow, UpdaterProcessGivesStandardOutputOnlyAndTheStatus) {
  const UpdaterOutput run = runUpdaterProcess("/bin/sh", {"-c", "echo report; echo noise >&2; kill -9 $$"});
  EXPECT_EQ(run.launchError, std::nullopt);
  EXPECT_EQ(run.output, "report\n");
  EXPECT_EQ(run.status, 9);
  EXPECT_EQ(runUpdaterProcess("/bin/sh", {"-c", "exit 3"}).status, 3);
  EXPECT_EQ(runUpdaterProcess("/nonexistent/updater", {}).launchError, "No such file or directory");
}

TEST(UpdateFlow, SummaryLine) {
  const WallTime at = WallTime(std::chrono::seconds(1'700'000'000));
  const QTime local = QDateTime::fromSecsSinceEpoch(1'700'000'000).time();
  const std::string time = QLocale::system().toString(local, QLocale::ShortFormat).toStdString();
  struct Row {
    UpdatePhase phase;
    bool offered;
    bool checked;
    std::string english, chinese;
  };
  const std::vector<Row> rows = {
      {UpdatePhase::failed("disk full"), true, true, "Update failed: disk full", "更新失败：disk full"},
      {UpdatePhase::checking(), true, true, "Checking…", "正在检查…"},
      {UpdatePhase::downloading("1.3.0"), false, false, "Downloading 1.3.0…", "正在下载 1.3.0…"},
      {UpdatePhase::installing("1.3.0"), false, false, "Installing 1.3.0…", "正在安装 1.3.0…"},
      {UpdatePhase::idle(), true, true, "1.3.0 (available)", "1.3.0（可以更新）"},
      {UpdatePhase::idle(), false, true, "Up to date (checked " + time + ")", "已是最新（" + time + " 检查）"},
      {UpdatePhase::idle(), false, false, "Not checked yet", "尚未检查"},
  };
  for (const bool zh : {false, true}) {
    for (const Row& row : rows) {
      const std::optional<UpdateCheck> offer =
          row.offered ? std::optional(UpdateCheck("1.2.0", "1.3.0", true, std::nullopt)) : std::nullopt;
      EXPECT_EQ(updateSummary(row.phase, offer, row.checked ? std::optional(at) : std::nullopt, zh),
                zh ? row.chinese : row.english);
    }
  }
  // The flow's own line: nothing checked yet.
  Rig r;
  EXPECT_EQ(r.flow->updateSummary(), "Not checked yet");
  EXPECT_EQ(r.flow->currentVersion(), "1.2.0");
}

TEST(UpdateFlow, ScheduleClearsLeftoversAndChecksAfter10sThenEvery6h) {
  Rig r;
  const fs::path leftovers[] = {r.flow->downloadDirectory() / "Quorvex Host.app",
                                r.bundle.parent_path() / ".Quorvex Host.app.new"};
  for (const fs::path& p : leftovers) fs::create_directories(p);
  r.updater.replies["download"] = printed(UpdateCheck("1.2.0", "1.3.0", true, "disk full"));
  r.flow->installUpdate();  // downloading until the updater answers
  r.flow->scheduleUpdateChecks();
  for (const fs::path& p : leftovers) EXPECT_TRUE(fs::exists(p)) << "kept while downloading: " << p;

  r.background.runAll();  // the download failed
  r.updater.calls.clear();
  r.flow->scheduleUpdateChecks();
  for (const fs::path& p : leftovers) EXPECT_FALSE(fs::exists(p)) << p;
  EXPECT_TRUE(fs::exists(r.bundle));
  // Both schedules' first checks are due at 10 s; the second finds the first running.
  r.clock.advance(9.9s);
  EXPECT_THAT(r.updater.calls, IsEmpty());
  r.clock.advance(0.1s);
  r.background.runAll();
  EXPECT_EQ(r.updater.calls.size(), 1u);
  r.clock.advance(21600s);
  r.background.runAll();
  EXPECT_EQ(r.updater.calls.size(), 2u);
  EXPECT_THAT(r.alerts.shown, IsEmpty());

  r.settings.setAutoCheckUpdates(false);
  r.flow->scheduleUpdateChecks();
  r.clock.advance(100000s);
  r.background.runAll();
  EXPECT_EQ(r.updater.calls.size(), 2u);
}

}  // namespace
}  // namespace qx::host
