// The installed bundle, signed with the test key, updating itself: the test
// chooses "Check for Updates…" in the tray menu and answers the prompt with
// the keyboard, like a user; the stand-in updater offers a newer signed
// bundle from a local feed, whose modes were loosened after signing. The host
// swaps its bundle with the modes normalised, relaunches from it and the
// server runs again. A tampered bundle in the feed is refused and leaves
// the bundle, the host and its server as they were.
//
// The relaunch is detached from the host. This test process is a child
// subreaper, so the relaunched host becomes its child: it is found in /proc
// by its executable (the new bundle's QuorvexHost) and parent (this process),
// ended with SIGTERM, which stops its server, and reaped here.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/x_server.h"

namespace qx::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int screenWidth = 640;

std::string bundleVersion(const fs::path& bundle) {
  const std::string plist = readFile((bundle / "Contents/Info.plist").string());
  const auto key = plist.find("CFBundleShortVersionString");
  const auto open = plist.find("<string>", key) + 8;
  return plist.substr(open, plist.find("</string>", open) - open);
}

void setBundleVersion(const fs::path& bundle, const std::string& version) {
  std::string plist = readFile((bundle / "Contents/Info.plist").string());
  const auto open = plist.find("<string>", plist.find("CFBundleShortVersionString")) + 8;
  plist.replace(open, plist.find("</string>", open) - open, version);
  writeFile((bundle / "Contents/Info.plist").string(), plist);
}

RunResult bundleTool(std::vector<std::string> args) {
  args.insert(args.begin(), buildPath("tools/quorvex-bundle"));
  Process::Options options;
  options.args = std::move(args);
  return run(options);
}

void sign(const fs::path& bundle) {
  const RunResult r = bundleTool({"sign", "--key", sourcePath("tests/keys/TEST-ONLY-update-key.sec"), bundle});
  ASSERT_EQ(r.status, 0) << r.err;
}

RunResult xdotool(const XServer& x, std::vector<std::string> args) {
  args.insert(args.begin(), findOnPath("xdotool"));
  Process::Options options;
  options.args = std::move(args);
  options.setEnv = {{"DISPLAY", x.display()}};
  return run(options, 20s);
}

class UpdateEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    installed = new TempDir;
    Process::Options install;
    install.args = {findOnPath("cmake"), "--install", buildPath(""), "--prefix", installed->path()};
    const RunResult r = run(install);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
  }
  static void TearDownTestSuite() { delete installed; }

  void SetUp() override {
    const RunResult pinned = bundleTool({"pinned-key-id"});
    const RunResult test = bundleTool({"key-id", sourcePath("tests/keys/TEST-ONLY-update-key.pub")});
    if (pinned.status != 0 || pinned.out != test.out) GTEST_SKIP() << "this build does not pin the test update key";
    for (const char* tool : {"xdotool", "trayer"})
      if (!onPath(tool)) GTEST_SKIP() << tool << " not installed";

    const fs::path pristine = fs::path(installed->path()) / "Quorvex Host.app";
    fs::create_directories(bundle.parent_path());
    fs::create_directories(offered.parent_path());
    fs::copy(pristine, bundle, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    sign(bundle);
    fs::copy(pristine, offered, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    setBundleVersion(offered, "99.0");
    sign(offered);
    writeFile(home.path() + "/feed/manifest.json", R"({"latest": "99.0", "bundle": "Quorvex Host.app"})");

    const fs::path config = home.path() + "/config/Quorvex";
    fs::create_directories(config);
    std::ofstream(config / "QuorvexHost.conf")
        << "[General]\nconfigured=true\nautoCheckUpdates=false\nupdateURL=" << home.path() << "/feed\n"
        << "hostSettings=\"{\\\"listen\\\":\\\"127.0.0.1:0\\\",\\\"audio\\\":false,\\\"fps\\\":15,"
           "\\\"bitrate\\\":\\\"2M\\\",\\\"maxWidth\\\":640,\\\"rateControl\\\":\\\"vbr\\\"}\"\n";
    std::ofstream(config / "token") << "k3bq8nw2rt5xyz7a";
    ::chmod((config / "token").c_str(), 0600);

    x = XServer::xvfb(screenWidth, 480);
    Process::Options tray;
    tray.args = {findOnPath("trayer"),
                 "--edge",
                 "top",
                 "--align",
                 "right",
                 "--widthtype",
                 "request",
                 "--height",
                 "32",
                 "--SetDockType",
                 "false",
                 "--SetPartialStrut",
                 "false"};
    tray.setEnv = {{"DISPLAY", x->display()}};
    tray.pipeStdin = false;
    trayer = std::make_unique<Process>(std::move(tray));
  }

  void TearDown() override {
    // A relaunched host a failed test left running, and orphans that ended
    // meanwhile (a relaunched host's server).
    for (int pid : childrenRunning(::getpid(), macOS() / "QuorvexHost")) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
  }

  fs::path macOS() const { return bundle / "Contents/MacOS"; }
  std::string log() const { return readFile(home.path() + "/state/Quorvex/host.log"); }
  // The host's standard output and error, where its system-log lines are copied.
  std::string output() const { return home.path() + "/host.out"; }
  std::string printed() const { return readFile(output()); }
  std::size_t listening() const {
    std::size_t n = 0;
    const std::string text = log();
    for (auto at = text.find("listening on"); at != std::string::npos; at = text.find("listening on", at + 1)) ++n;
    return n;
  }

  void startHost() {
    Process::Options o;
    // Output to a file: the relaunched host inherits it and outlives the
    // pipes of this one.
    o.args = {"/bin/sh", "-c", "exec \"$0\" >>\"$1\" 2>&1", (macOS() / "QuorvexHost").string(), output()};
    o.pipeStdin = false;
    o.setEnv = {{"DISPLAY", x->display()},
                {"HOME", home.path()},
                {"XDG_CONFIG_HOME", home.path() + "/config"},
                {"XDG_STATE_HOME", home.path() + "/state"},
                {"XDG_CACHE_HOME", home.path() + "/cache"},
                {"XDG_RUNTIME_DIR", home.path()},
                {"QT_QPA_PLATFORM", "xcb"}};
    // No session bus: the token file is used and the tray is trayer's.
    o.unsetEnv = {"DBUS_SESSION_BUS_ADDRESS", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP"};
    host = std::make_unique<Process>(std::move(o));
    ASSERT_TRUE(host->pumpUntil([&] { return listening() == 1; }, 30s)) << log() << printed();
    servers = childrenRunning(host->pid(), macOS() / "quorvex-webrtc-server");
    ASSERT_EQ(servers.size(), 1u);
  }

  // "Check for Updates…" from the tray menu, then "Update" in the prompt.
  void checkAndAcceptTheUpdate() {
    // The icon stands alone at the right end of the tray. The menu's last
    // items are, from the bottom: Quit, Uninstall…, Restart Service, and
    // after a separator Check for Updates….
    // The icon's window, the host's only one so far, is mapped once the tray
    // has embedded it.
    ASSERT_EQ(xdotool(*x, {"search", "--sync", "--onlyvisible", "--class", "^QuorvexHost$"}).status, 0);
    ASSERT_EQ(xdotool(*x, {"mousemove", "--sync", std::to_string(screenWidth - 16), "16", "click", "1"}).status, 0);
    host->pump(500ms);
    ASSERT_EQ(xdotool(*x, {"key", "--delay", "100", "Up", "Up", "Up", "Up", "Return"}).status, 0);
    // The prompt: a box titled "Quorvex Host" whose default button is "Update".
    const RunResult found = xdotool(*x, {"search", "--sync", "--onlyvisible", "--name", "^Quorvex Host$"});
    ASSERT_EQ(found.status, 0) << found.err;
    const std::string box = found.out.substr(0, found.out.find('\n'));
    host->pump(500ms);
    ASSERT_EQ(xdotool(*x, {"windowfocus", "--sync", box, "key", "Return"}).status, 0) << printed();
  }

  static TempDir* installed;
  TempDir home;
  fs::path bundle = fs::path(home.path()) / "apps/Quorvex Host.app";
  fs::path offered = fs::path(home.path()) / "feed/Quorvex Host.app";
  std::unique_ptr<XServer> x;
  std::unique_ptr<Process> trayer;
  std::unique_ptr<Process> host;
  std::vector<int> servers;
};
TempDir* UpdateEndToEnd::installed = nullptr;

TEST_F(UpdateEndToEnd, InstallsTheNewerBundleAndRelaunchesFromIt) {
  // Only the owner's execute bit is signed: these still verify.
  const std::vector<std::pair<std::string, mode_t>> loosened = {
      {"Contents", 0777}, {"Contents/MacOS/quorvex-screencap", 04755}, {"Contents/Info.plist", 0666}};
  for (const auto& [path, mode] : loosened) ::chmod((offered / path).c_str(), mode);
  startHost();
  checkAndAcceptTheUpdate();
  ASSERT_EQ(host->wait(60s), 0) << printed();
  EXPECT_NE(printed().find("Quorvex Host: updated to 99.0; relaunching"), std::string::npos) << printed();

  EXPECT_EQ(bundleVersion(bundle), "99.0");
  std::vector<std::string> beside;
  for (const auto& entry : fs::directory_iterator(bundle.parent_path())) beside.push_back(entry.path().filename());
  EXPECT_EQ(beside, std::vector<std::string>{"Quorvex Host.app"});
  EXPECT_EQ(bundleTool({"verify", "--version", "99.0", bundle}).status, 0);
  const std::vector<std::pair<std::string, mode_t>> normalised = {
      {"Contents", 0755}, {"Contents/MacOS/quorvex-screencap", 0755}, {"Contents/Info.plist", 0644}};
  for (const auto& [path, mode] : normalised) {
    struct stat st = {};
    ASSERT_EQ(::lstat((bundle / path).c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 07777, mode) << path;
  }

  std::vector<int> relaunched;
  EXPECT_TRUE(host->pumpUntil(
      [&] { return !(relaunched = childrenRunning(::getpid(), macOS() / "QuorvexHost")).empty(); }, 30s));
  ASSERT_EQ(relaunched.size(), 1u);
  EXPECT_TRUE(host->pumpUntil([&] { return listening() == 2; }, 30s)) << log();
  const std::vector<int> newServers = childrenRunning(relaunched[0], macOS() / "quorvex-webrtc-server");
  ASSERT_EQ(newServers.size(), 1u);
  EXPECT_EQ(::kill(servers[0], 0), -1);  // the old server was stopped for the swap

  ::kill(relaunched[0], SIGTERM);
  int status = 0;
  EXPECT_EQ(::waitpid(relaunched[0], &status, 0), relaunched[0]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(host->pumpUntil([&] { return ::kill(newServers[0], 0) != 0; }, 5s));
}

TEST_F(UpdateEndToEnd, RefusesATamperedBundleAndKeepsEverythingRunning) {
  std::ofstream(offered / "Contents/MacOS/quorvex-screencap", std::ios::app) << '!';
  startHost();
  checkAndAcceptTheUpdate();
  EXPECT_TRUE(host->pumpUntil(
      [&] {
        return printed().find("Quorvex Host: update failed: The update's signature is invalid (-10)") !=
               std::string::npos;
      },
      30s))
      << printed();

  EXPECT_EQ(bundleVersion(bundle), bundleVersion(fs::path(installed->path()) / "Quorvex Host.app"));
  EXPECT_EQ(bundleTool({"verify", bundle}).status, 0);
  EXPECT_EQ(childrenRunning(host->pid(), macOS() / "quorvex-webrtc-server"), servers);
  EXPECT_EQ(listening(), 1u);
  host->signal(SIGTERM);
  EXPECT_EQ(host->wait(10s), 0);
  EXPECT_NE(::kill(servers[0], 0), 0);
}

}  // namespace
}  // namespace qx::test
