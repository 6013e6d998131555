// The helper on a real headless Wayland desktop (sway, xdg-desktop-portal-wlr, PipeWire), run inside
// it by tests/support/wayland/session.sh: the display list, the stored screen-cast permission, a
// stream that shows the desktop, recovery from a portal backend that dies, and idle frames.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "platform/linux/wayland/portal_client.h"
#include "platform/linux/wayland/screencast_token.h"
#include "tests/support/h264_decode.h"
#include "tests/support/process.h"

namespace {

using namespace std::chrono_literals;
using qx::test::Process;

Process::Options command(std::vector<std::string> args, bool pipeStdin = true) {
  Process::Options o;
  o.args = std::move(args);
  o.pipeStdin = pipeStdin;
  return o;
}

std::string helper() { return std::string(std::getenv("QX_WAYLAND_BIN")) + "/quorvex-screencap"; }

// What the host's "Allow…" does: one portal session whose grant is stored.
void grantScreenCast() {
  qx::wayland::PortalClient portal;
  auto result = portal.startScreenCast(std::nullopt, 10s, nullptr);
  auto* grant = std::get_if<qx::wayland::PortalClient::Grant>(&result);
  ASSERT_NE(grant, nullptr) << std::get<qx::wayland::PortalClient::Error>(result).message;
  ::close(grant->pipewireFd);
  ASSERT_TRUE(qx::wayland::storeScreencastToken(grant->restoreToken));
  portal.closeScreenCast();
}

// Runs the helper for `duration` with its input held open, returning its decoded pictures.
std::vector<qx::test::h264::Frame> capture(std::chrono::milliseconds duration, std::string* err = nullptr) {
  Process p(command({helper(), "--audio", "false", "--fps", "30"}));
  p.pumpUntil([] { return false; }, duration);
  p.signal(SIGTERM);
  p.wait(3s);
  if (err) *err = p.err();
  const auto units = qx::test::h264::splitAccessUnits(p.out());
  return qx::test::h264::decodeWithLibavcodec(units);
}

int count(const std::string& text, const std::string& word) {
  int n = 0;
  for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
  return n;
}

class WaylandCapture : public ::testing::Test {
 protected:
  void SetUp() override { qx::wayland::removeScreencastToken(); }
};

TEST_F(WaylandCapture, ListsTheOutputAsOnX11AndRefusesToStartWithoutAStoredPermission) {
  Process list(command({helper(), "--list-displays"}));
  ASSERT_EQ(list.wait(5s), 0);
  EXPECT_EQ(list.out(), R"([{"height":360,"index":0,"name":"Display 1","primary":true,"width":640}])");

  const auto started = std::chrono::steady_clock::now();
  Process run(command({helper(), "--audio", "false"}));
  EXPECT_EQ(run.wait(5s), 2);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s) << "no dialog, no waiting";
  EXPECT_NE(run.err().find("Screen Recording permission missing"), std::string::npos);
}

TEST_F(WaylandCapture, StreamsTheDesktopAndKeepsTheNewPermission) {
  grantScreenCast();
  // Loosened here, so a rewrite shows: the helper stores each token it gets back, owner-only.
  const std::string tokenFile = std::string(std::getenv("HOME")) + "/.local/state/Quorvex/screencast-token";
  ASSERT_EQ(::chmod(tokenFile.c_str(), 0644), 0);
  // An animated client keeps the compositor sending frames.
  Process smoke(command({"/usr/bin/weston-smoke"}, false));
  std::string err;
  const auto frames = capture(3s, &err);
  ASSERT_GE(frames.size(), 2u) << err;
  EXPECT_EQ(frames.back().width, 640);
  EXPECT_EQ(frames.back().height, 360);
  // The background (#204080) far from the client: BT.709 video range Y 69, U 159, V 111.
  const auto& f = frames.back();
  const int x = 620, y = 340;
  EXPECT_NEAR(f.y[static_cast<std::size_t>(y * f.width + x)], 69, 6);
  EXPECT_NEAR(f.u[static_cast<std::size_t>((y / 2) * ((f.width + 1) / 2) + x / 2)], 159, 6);
  EXPECT_NEAR(f.v[static_cast<std::size_t>((y / 2) * ((f.width + 1) / 2) + x / 2)], 111, 6);
  struct stat st {};
  ASSERT_EQ(::stat(tokenFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "the token the start returned replaced the stored one";
  EXPECT_TRUE(qx::wayland::loadScreencastToken().has_value());
}

TEST_F(WaylandCapture, AStillScreenGetsIdleFramesAndADeadPortalBackendIsReestablished) {
  grantScreenCast();
  Process p(command({helper(), "--audio", "false", "--fps", "30"}));
  ASSERT_TRUE(p.pumpUntil([&] { return p.err().find("capturing ") != std::string::npos; }, 10s)) << p.err();
  p.pumpUntil([] { return false; }, 2500ms);
  // Nothing moves: the first picture, then idle re-submissions.
  EXPECT_GE(qx::test::h264::splitAccessUnits(p.out()).size(), 2u);

  Process status(command({"/usr/bin/busctl", "--user", "status", "org.freedesktop.impl.portal.desktop.wlr"}));
  ASSERT_EQ(status.wait(5s), 0);
  const std::string text = "\n" + status.out();
  const auto at = text.find("\nPID=");
  ASSERT_NE(at, std::string::npos) << status.out();
  ASSERT_EQ(::kill(std::stoi(text.substr(at + 5)), SIGKILL), 0);
  EXPECT_TRUE(p.pumpUntil([&] { return count(p.err(), "capturing ") >= 2; }, 15s)) << p.err();
  EXPECT_NE(p.err().find("re-establishing"), std::string::npos);
  p.signal(SIGTERM);
  p.wait(3s);
}

}  // namespace
