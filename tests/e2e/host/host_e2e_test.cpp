// The installed bundle, moved to a folder with spaces and brackets, run as a
// user runs it: QuorvexHost starts the stand-in server, which streams the real
// helper's capture of a private Xvfb to a client; every way the host ends
// takes the server with it. A first start asks for the setup in its window,
// which the test fills in with the keyboard; the tray menu is then read over
// the accessibility bus, as a screen reader would.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/e2e/server/http_client.h"
#include "tests/support/process.h"
#include "tests/support/pulse_server.h"
#include "tests/support/session_bus.h"
#include "tests/support/temp_dir.h"
#include "tests/support/x_server.h"

namespace qx::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A loopback port nobody listens on now (the settings refuse port 0).
int freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
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

  HostEndToEnd() : x(XServer::xvfb(screenWidth, 600)) {}

  // A saved setup: the server starts at once.
  void saveSetup() {
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

  std::map<std::string, std::string> userEnv() const {
    std::map<std::string, std::string> env = {{"DISPLAY", x->display()},
                                              {"HOME", home.path()},
                                              {"XDG_CONFIG_HOME", home.path() + "/config"},
                                              {"XDG_STATE_HOME", home.path() + "/state"},
                                              {"XDG_CACHE_HOME", home.path() + "/cache"},
                                              {"XDG_RUNTIME_DIR", home.path()},
                                              {"QT_QPA_PLATFORM", "xcb"},
                                              {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1"}};
    if (bus) env.insert(bus->clientEnv().begin(), bus->clientEnv().end());
    if (sound) env["PULSE_SERVER"] = sound->serverString();
    return env;
  }

  std::unique_ptr<Process> startHost() {
    Process::Options o;
    o.args = {(macOS() / "QuorvexHost").string()};
    o.pipeStdin = false;
    o.setEnv = userEnv();
    // Without a bus of the test's own there is none: the keyring is
    // unreachable either way, and the token file is used.
    o.unsetEnv = {"WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP"};
    if (!bus) o.unsetEnv.push_back("DBUS_SESSION_BUS_ADDRESS");
    return std::make_unique<Process>(std::move(o));
  }

  RunResult xdotool(std::vector<std::string> args) const {
    args.insert(args.begin(), findOnPath("xdotool"));
    Process::Options o;
    o.args = std::move(args);
    o.setEnv = {{"DISPLAY", x->display()}};
    return run(o, 20s);
  }

  bool settingsWindowShown() const {
    return xdotool({"search", "--sync", "--onlyvisible", "--name", "^Quorvex Host Settings$"}).status == 0;
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

  static constexpr int screenWidth = 800;
  static TempDir* installDir;
  std::unique_ptr<SessionBus> bus;
  std::unique_ptr<PulseServer> sound;
  const std::string token = "k3bq8nw2rt5xyz7a";
  TempDir home;
  std::unique_ptr<XServer> x;
};
TempDir* HostEndToEnd::installDir = nullptr;

TEST_F(HostEndToEnd, StreamsToAClientAndStopsTheServerOnSigterm) {
  saveSetup();
  auto host = startHost();
  const int port = waitForStreaming();
  ASSERT_NE(port, 0);
  EXPECT_EQ(httpRequest(port, "GET", "/stream.h264")->status, 401);
  HttpStream stream(port, "/stream.h264?token=" + token);
  EXPECT_EQ(stream.status(), 200);
  EXPECT_TRUE(stream.readAtLeast(100, 10s));
  EXPECT_TRUE(waitFor([&] { return log().find("connected clients: 1") != std::string::npos; }, 5s));

  const std::vector<int> servers = childrenRunning(host->pid(), macOS() / "quorvex-webrtc-server");
  ASSERT_EQ(servers.size(), 1u);
  host->signal(SIGTERM);
  EXPECT_EQ(host->wait(5s), 0);
  EXPECT_TRUE(gone(servers[0]));
}

TEST_F(HostEndToEnd, ServerEndsWhenTheHostIsKilled) {
  saveSetup();
  auto host = startHost();
  ASSERT_NE(waitForStreaming(), 0);
  const std::vector<int> servers = childrenRunning(host->pid(), macOS() / "quorvex-webrtc-server");
  ASSERT_EQ(servers.size(), 1u);
  host->signal(SIGKILL);
  host->wait(5s);
  // Reparented after the kill; its parent-death signal ends it.
  EXPECT_TRUE(waitFor([&] { return gone(servers[0]); }, 5s));
}

TEST_F(HostEndToEnd, ServerEndsWhenTheXServerGoesAway) {
  saveSetup();
  auto host = startHost();
  ASSERT_NE(waitForStreaming(), 0);
  const std::vector<int> servers = childrenRunning(host->pid(), macOS() / "quorvex-webrtc-server");
  ASSERT_EQ(servers.size(), 1u);
  x.reset();
  // The host cannot go on without its display, and its server goes with it.
  EXPECT_TRUE(host->wait(10s).has_value());
  EXPECT_TRUE(waitFor([&] { return gone(servers[0]); }, 5s));
}

TEST_F(HostEndToEnd, ASecondStartShowsTheFirstOnesWindowAndEnds) {
  saveSetup();
  auto host = startHost();
  ASSERT_NE(waitForStreaming(), 0);
  ASSERT_FALSE(xdotool({"search", "--onlyvisible", "--name", "^Quorvex Host Settings$"}).status == 0);

  auto second = startHost();
  EXPECT_EQ(second->wait(10s), 0);
  EXPECT_TRUE(settingsWindowShown());
  EXPECT_EQ(childrenRunning(host->pid(), macOS() / "quorvex-webrtc-server").size(), 1u);
  EXPECT_TRUE(childrenRunning(second->pid(), macOS() / "quorvex-webrtc-server").empty());
}

TEST_F(HostEndToEnd, FirstSetupInTheWindowStartsTheServerAndTheMenuCountsTheDevice) {
  for (const char* tool : {"xdotool", "trayer"})
    if (!onPath(tool)) GTEST_SKIP() << tool << " not installed";
  try {
    bus = SessionBus::withAccessibility();
    // The first setup proposes sending system audio.
    sound = PulseServer::start();
  } catch (const std::exception& e) {
    GTEST_SKIP() << e.what();
  }
  Process::Options trayOptions;
  trayOptions.args = {findOnPath("trayer"),
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
  trayOptions.setEnv = {{"DISPLAY", x->display()}};
  trayOptions.pipeStdin = false;
  Process tray(std::move(trayOptions));

  auto host = startHost();
  ASSERT_TRUE(settingsWindowShown()) << host->err();
  EXPECT_TRUE(childrenRunning(host->pid(), macOS() / "quorvex-webrtc-server").empty());
  // The listen address has the focus with its text selected; Return saves.
  const std::string listen = "127.0.0.1:" + std::to_string(freePort());
  const RunResult typed = xdotool({"search", "--onlyvisible", "--name", "^Quorvex Host Settings$", "windowfocus",
                                   "--sync", "type", "--delay", "20", listen + "\t" + token});
  ASSERT_EQ(typed.status, 0) << typed.err;
  ASSERT_EQ(xdotool({"key", "Return"}).status, 0);

  const int port = waitForStreaming();
  ASSERT_NE(port, 0);
  HttpStream stream(port, "/stream.h264?token=" + token);
  ASSERT_EQ(stream.status(), 200);
  EXPECT_TRUE(stream.readAtLeast(100, 10s));
  ASSERT_TRUE(waitFor([&] { return log().find("connected clients: 1") != std::string::npos; }, 5s)) << log();
  EXPECT_TRUE(fs::exists(home.path() + "/config/autostart/com.quorvex.host.desktop"));

  // The menu is read once it has the keyboard focus; the state line comes first.
  Process::Options readerOptions;
  readerOptions.args = {buildPath("tests/qx-menu-reader")};
  readerOptions.setEnv = userEnv();
  Process reader(std::move(readerOptions));
  ASSERT_TRUE(reader.pumpUntil([&] { return reader.out() == "ready\n"; }, 10s)) << reader.err();
  ASSERT_EQ(xdotool({"mousemove", "--sync", std::to_string(screenWidth - 16), "16", "click", "1"}).status, 0);
  std::this_thread::sleep_for(500ms);
  ASSERT_EQ(xdotool({"key", "Down"}).status, 0);
  EXPECT_EQ(reader.wait(15s), 0) << reader.err();
  const std::string items = reader.out().substr(reader.out().find('\n') + 1);
  EXPECT_EQ(items.substr(0, items.find('\n')), "● Running · 1 device connected") << items;
  xdotool({"key", "Escape"});

  host->signal(SIGTERM);
  EXPECT_EQ(host->wait(10s), 0);
}

}  // namespace
}  // namespace qx::test
