// The helper on a real headless Wayland desktop (sway, xdg-desktop-portal-wlr, PipeWire), run inside
// it by tests/support/wayland/session.sh: the display list, the permission the host's "Allow…"
// stores, a stream that shows the desktop, recovery from a portal backend that dies, and idle frames.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "platform/linux/host/wayland_permissions.h"
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

// The host's "Allow…", as its settings window runs it: the probe reads allowed only afterwards.
void allow() {
  qx::host::WaylandPermissionProbe probe;
  ASSERT_FALSE(probe.screenRecording());
  ASSERT_EQ(qx::host::grantScreenCast(), "");
  ASSERT_TRUE(probe.screenRecording());
}

// Whether the portal's permission store still holds a screen-cast grant under `token`.
bool portalKnows(const std::string& token) {
  return qx::test::run(command({"/usr/bin/busctl", "--user", "call", "org.freedesktop.impl.portal.PermissionStore",
                                "/org/freedesktop/impl/portal/PermissionStore",
                                "org.freedesktop.impl.portal.PermissionStore", "Lookup", "ss", "screencast", token}))
             .status == 0;
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

  // A stored token the desktop refuses outright is dropped: the user is asked to allow again, not kept waiting.
  ASSERT_TRUE(qx::wayland::storeScreencastToken("not a token"));
  Process refused(command({helper(), "--audio", "false"}));
  EXPECT_EQ(refused.wait(8s), 2) << refused.err();
  EXPECT_FALSE(qx::wayland::loadScreencastToken().has_value());
}

// Video-range BT.709 Y, U and V of an sRGB colour, as the helper's encoder receives them.
struct Yuv {
  int y, u, v;
};

// The picture at (x, y) within a tolerance that covers chroma subsampling and the encoder's loss.
void expectColourAt(const qx::test::h264::Frame& f, int x, int y, Yuv want, const char* what) {
  const auto chroma = static_cast<std::size_t>((y / 2) * ((f.width + 1) / 2) + x / 2);
  EXPECT_NEAR(f.y[static_cast<std::size_t>(y * f.width + x)], want.y, 6) << what;
  EXPECT_NEAR(f.u[chroma], want.u, 6) << what;
  EXPECT_NEAR(f.v[chroma], want.v, 6) << what;
}

// A client of a known colour (#E0C040), pinned by the desktop's rule for "qx-test-" windows.
Process showImage() {
  const std::string image = std::string(std::getenv("QX_WAYLAND_HOME")) + "/qx-test-image.png";
  EXPECT_EQ(qx::test::run(command({"/usr/bin/ffmpeg", "-y", "-loglevel", "error", "-f", "lavfi", "-i",
                                   "color=c=0xE0C040:s=200x140", "-frames:v", "1", image}))
                .status,
            0);
  return Process(command({"/usr/bin/weston-image", image}, false));
}

TEST_F(WaylandCapture, StreamsTheDesktopAndKeepsTheNewPermission) {
  allow();
  const auto granted = qx::wayland::loadScreencastToken().value_or("");
  Process client = showImage();
  std::this_thread::sleep_for(500ms);
  std::string err;
  const auto frames = capture(3s, &err);
  ASSERT_GE(frames.size(), 2u) << err;
  const auto& f = frames.back();
  ASSERT_EQ(f.width, 640);
  ASSERT_EQ(f.height, 360);
  expectColourAt(f, 620, 340, {69, 159, 111}, "the background, #204080");
  expectColourAt(f, 200, 150, {179, 69, 147}, "the client, #E0C040");
  // The portal hands a token it knows back unchanged, and a new one for a token it does not know.
  EXPECT_EQ(qx::wayland::loadScreencastToken(), granted) << "the start did not send the stored token";
  const std::string neverIssued = "0b5e55ed-0000-4000-8000-000000000001";
  ASSERT_TRUE(qx::wayland::storeScreencastToken(neverIssued));
  capture(1s);
  const auto kept = qx::wayland::loadScreencastToken().value_or(neverIssued);
  EXPECT_NE(kept, neverIssued) << "the token the start returned was not stored";
  EXPECT_TRUE(portalKnows(kept));
}

TEST_F(WaylandCapture, AStillScreenGetsIdleFramesAndADeadPortalBackendIsReestablished) {
  allow();
  Process p(command({helper(), "--audio", "false", "--fps", "30"}));
  ASSERT_TRUE(p.pumpUntil([&] { return p.err().find("capturing ") != std::string::npos; }, 10s)) << p.err();
  // The compositor sends a picture only after a change: one change, then nothing moves.
  Process client = showImage();
  ASSERT_TRUE(p.pumpUntil([&] { return !p.out().empty(); }, 5s)) << p.err();
  p.pumpUntil([] { return false; }, 500ms);
  p.takeOut();
  p.pumpUntil([] { return false; }, 2200ms);
  EXPECT_GE(qx::test::h264::splitAccessUnits(p.out()).size(), 1u) << "no idle re-submission";

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

// GNOME's compositor: "Allow…" shows the desktop's dialog (a test helper accepts it through the
// accessibility bus, as a person would click it), then the helper streams with the kept grant.
TEST(WaylandGnome, EveryAllowShowsTheDialogAndTheHelperThenStreamsWithoutOne) {
  qx::wayland::removeScreencastToken();
  // The second click asks again although a grant is kept: the person may pick another screen.
  for (const char* click : {"first", "second"}) {
    std::string granted = "not answered";
    std::thread allowing([&] { granted = qx::host::grantScreenCast(); });
    const auto accepted = qx::test::run(
        command({"/usr/bin/python3", std::string(std::getenv("QX_WAYLAND_BIN")) + "/accept_screencast_dialog.py"}),
        20s);
    if (accepted.status != 0) {
      allowing.detach();  // still waiting for an answer that will not come
      FAIL() << click << " Allow: " << accepted.err;
    }
    allowing.join();
    ASSERT_EQ(granted, "") << click << " Allow";
  }
  std::string err;
  const auto frames = capture(3s, &err);
  ASSERT_GE(frames.size(), 1u) << err;
  EXPECT_EQ(frames.back().width, 640);
  EXPECT_EQ(frames.back().height, 360);
}
