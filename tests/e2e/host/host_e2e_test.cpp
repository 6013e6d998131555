// The installed bundle, moved to a folder with spaces and brackets, run as a
// user runs it: QuorvexHost starts the stand-in server, which streams the real
// helper's capture of a private Xvfb to a client; every way the host ends
// takes the server with it.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/e2e/server/http_client.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/x_server.h"

namespace qx::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Children of `parent` whose executable is `exe`.
std::vector<int> childrenRunning(int parent, const fs::path& exe) {
  std::vector<int> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code ec;
    if (fs::read_symlink(entry.path() / "exe", ec) != exe) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line((std::istreambuf_iterator<char>(stat)), {});
    const auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    std::string state;
    int ppid = 0;
    rest >> state >> ppid;
    if (ppid == parent && state != "Z") found.push_back(std::stoi(name));
  }
  return found;
}

bool gone(int pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

template <class Pred>
bool waitFor(Pred pred, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

class HostEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    installDir = new TempDir;
    const std::string prefix = installDir->path() + "/my apps [1]";
    Process::Options install;
    install.args = {findOnPath("cmake"), "--install", buildPath(""), "--prefix", prefix};
    const RunResult r = run(install);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
  }
  static void TearDownTestSuite() { delete installDir; }

  HostEndToEnd() : x(XServer::xvfb(640, 480)) {
    const fs::path config = home.path() + "/config/Quorvex";
    fs::create_directories(config);
    std::ofstream(config / "QuorvexHost.conf")
        << "[General]\nconfigured=true\nhostSettings=\"{\\\"listen\\\":\\\"127.0.0.1:0\\\",\\\"audio\\\":false,"
           "\\\"fps\\\":15,\\\"bitrate\\\":\\\"2M\\\",\\\"maxWidth\\\":640,\\\"rateControl\\\":\\\"vbr\\\"}\"\n";
    std::ofstream(config / "token") << token;
    ::chmod((config / "token").c_str(), 0600);
  }

  static fs::path macOS() { return fs::path(installDir->path()) / "my apps [1]/Quorvex Host.app/Contents/MacOS"; }
  std::string log() const { return readFile(home.path() + "/state/Quorvex/host.log"); }

  std::unique_ptr<Process> startHost() {
    Process::Options o;
    o.args = {(macOS() / "QuorvexHost").string()};
    o.pipeStdin = false;
    o.setEnv = {{"DISPLAY", x->display()},
                {"HOME", home.path()},
                {"XDG_CONFIG_HOME", home.path() + "/config"},
                {"XDG_STATE_HOME", home.path() + "/state"},
                {"XDG_CACHE_HOME", home.path() + "/cache"},
                {"XDG_RUNTIME_DIR", home.path()}};
    // No session bus: the keyring is unreachable and the token file is used.
    o.unsetEnv = {"DBUS_SESSION_BUS_ADDRESS", "WAYLAND_DISPLAY"};
    return std::make_unique<Process>(std::move(o));
  }

  // The server's port once it listens and the helper captures.
  int waitForStreaming() {
    static const std::string listening = "listening on 127.0.0.1:";
    int port = 0;
    EXPECT_TRUE(waitFor(
        [&] {
          const std::string text = log();
          const auto at = text.find(listening);
          if (at == std::string::npos || text.find("capturing") == std::string::npos) return false;
          port = std::atoi(text.c_str() + at + listening.size());
          return true;
        },
        30s))
        << log();
    return port;
  }

  static TempDir* installDir;
  const std::string token = "k3bq8nw2rt5xyz7a";
  TempDir home;
  std::unique_ptr<XServer> x;
};
TempDir* HostEndToEnd::installDir = nullptr;

TEST_F(HostEndToEnd, StreamsToAClientAndStopsTheServerOnSigterm) {
  auto host = startHost();
  const int port = waitForStreaming();
  ASSERT_NE(port, 0);
  EXPECT_EQ(httpRequest(port, "GET", "/stream.h264")->status, 401);
  HttpStream stream(port, "/stream.h264?token=" + token);
  EXPECT_EQ(stream.status(), 200);
  EXPECT_TRUE(stream.readAtLeast(1000, 10s));
  EXPECT_TRUE(waitFor([&] { return log().find("connected clients: 1") != std::string::npos; }, 5s));

  const std::vector<int> servers = childrenRunning(host->pid(), macOS() / "quorvex-webrtc-server");
  ASSERT_EQ(servers.size(), 1u);
  host->signal(SIGTERM);
  EXPECT_EQ(host->wait(5s), 0);
  EXPECT_TRUE(gone(servers[0]));
}

TEST_F(HostEndToEnd, ServerEndsWhenTheHostIsKilled) {
  auto host = startHost();
  ASSERT_NE(waitForStreaming(), 0);
  const std::vector<int> servers = childrenRunning(host->pid(), macOS() / "quorvex-webrtc-server");
  ASSERT_EQ(servers.size(), 1u);
  host->signal(SIGKILL);
  host->wait(5s);
  // Reparented after the kill; its parent-death signal ends it.
  EXPECT_TRUE(waitFor([&] { return gone(servers[0]); }, 5s));
}

}  // namespace
}  // namespace qx::test
