// The built quorvex-screencap streaming a private X server: the stream
// decodes at the expected size, follows the idle cadence on a still screen,
// obeys its control lines, survives a screen resize and wakes the display.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/x_painter.h"
#include "tests/support/x_server.h"

namespace qx {
namespace {

using namespace std::chrono_literals;
using test::Process;
using test::XServer;
using ::testing::HasSubstr;

constexpr std::string_view kPrefix = "quorvex-screencap: ";
constexpr std::string_view kCapturing = "quorvex-screencap: capturing ";

// Random squares all over the screen, so every frame has something new to encode.
test::XPainter::Round randomSquares() {
  return [rng = std::mt19937(42)](const test::XPainter::Fill& fill, int width, int height) mutable {
    for (int i = 0; i < 300; ++i) {
      const std::uint32_t rgb = rng() & 0xFFFFFF;
      fill(static_cast<int>(rng() % static_cast<unsigned>(width)),
           static_cast<int>(rng() % static_cast<unsigned>(height)), 48, 48, rgb);
    }
  };
}

// NAL unit types of an Annex B stream, in order.
std::vector<int> nalTypes(std::string_view bytes) {
  std::vector<int> types;
  for (std::size_t i = 0; i + 3 < bytes.size(); ++i) {
    if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) {
      types.push_back(static_cast<unsigned char>(bytes[i + 3]) & 0x1F);
      i += 3;
    }
  }
  return types;
}

// One access unit ends with each delimiter.
int accessUnits(std::string_view bytes) {
  int n = 0;
  for (int t : nalTypes(bytes)) n += t == 9;
  return n;
}

struct Probe {
  int width = 0;
  int height = 0;
  int frames = 0;
};

// Decodes the bytes with ffprobe (every frame) and reports size and count.
Probe probe(const std::string& bytes) {
  test::TempDir dir;
  const std::string path = dir.file("stream.h264");
  std::ofstream(path, std::ios::binary) << bytes;
  Process::Options o;
  o.args = {test::findOnPath("ffprobe"),
            "-v",
            "error",
            "-f",
            "h264",
            "-count_frames",
            "-select_streams",
            "v:0",
            "-show_entries",
            "stream=width,height,nb_read_frames",
            "-of",
            "default=noprint_wrappers=1",
            path};
  const auto r = test::run(std::move(o));
  Probe p;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    const int value = std::atoi(line.c_str() + eq + 1);
    if (key == "width") p.width = value;
    if (key == "height") p.height = value;
    if (key == "nb_read_frames") p.frames = value;
  }
  return p;
}

class Helper {
 public:
  Helper(const XServer& x, std::vector<std::string> args) {
    Process::Options o;
    o.args = {test::bundleProgram("quorvex-screencap")};
    o.args.insert(o.args.end(), args.begin(), args.end());
    o.setEnv["DISPLAY"] = x.display();
    process_ = std::make_unique<Process>(std::move(o));
  }

  Process& process() { return *process_; }
  const std::string& err() const { return process_->err(); }
  const std::string& out() const { return process_->out(); }

  bool waitForLine(std::string_view text, std::chrono::milliseconds timeout = 10s) {
    return process_->pumpUntil([&] { return process_->err().find(text) != std::string::npos; }, timeout);
  }
  // Collects output for `d` (the helper keeps running).
  void pumpFor(std::chrono::milliseconds d) {
    const auto until = std::chrono::steady_clock::now() + d;
    process_->pumpUntil([&] { return std::chrono::steady_clock::now() >= until; }, d + 1s);
  }

 private:
  std::unique_ptr<Process> process_;
};

TEST(CaptureStream, MovingScreenDecodesAtTheScreenSize) {
  auto x = XServer::xvfb(1920, 1080);
  test::XPainter content(x->display(), randomSquares(), 20ms);
  Helper h(*x, {"--fps", "30"});
  ASSERT_TRUE(h.waitForLine(kCapturing)) << h.err();
  EXPECT_THAT(h.err(), HasSubstr("capturing 1920x1080@30 bitrate 8000000 rc vbr (display 1920x1080 px, 1920x1080 pt)"));
  h.pumpFor(2s);
  const Probe p = probe(h.out());
  EXPECT_EQ(p.width, 1920);
  EXPECT_EQ(p.height, 1080);
  // A still screen gives at most two frames in 2 s; moving content must give
  // clearly more. Not 60: a loaded machine encodes fewer, which is no fault.
  EXPECT_GE(p.frames, 8) << "moving content for 2 s";
}

TEST(CaptureStream, LargeScreenIsScaledToTheWidthLimit) {
  auto x = XServer::xvfb(3840, 2160);
  test::XPainter content(x->display(), randomSquares(), 20ms);
  Helper h(*x, {"--max-width", "1920"});
  ASSERT_TRUE(h.waitForLine(kCapturing)) << h.err();
  EXPECT_THAT(h.err(), HasSubstr("capturing 1920x1080@30 bitrate 8000000 rc vbr (display 3840x2160 px, 3840x2160 pt)"));
  h.pumpFor(1500ms);
  const Probe p = probe(h.out());
  EXPECT_EQ(p.width, 1920);
  EXPECT_EQ(p.height, 1080);
  EXPECT_GE(p.frames, 5);
}

TEST(CaptureStream, StillScreenFollowsTheIdleCadence) {
  auto x = XServer::xvfb(1280, 720);
  Helper h(*x, {});
  ASSERT_TRUE(h.waitForLine(kCapturing)) << h.err();
  h.pumpFor(5s);
  // First frame, its confirm after 0.3 s, keep-alives at 2.3 s and 4.3 s.
  const int units = accessUnits(h.out());
  EXPECT_GE(units, 3);
  EXPECT_LE(units, 5);
  EXPECT_GE(probe(h.out()).frames, 3);
}

TEST(CaptureStream, IdrOnAStillScreenMakesTheNextFrameAnIdr) {
  auto x = XServer::xvfb(1280, 720);
  Helper h(*x, {});
  ASSERT_TRUE(h.waitForLine(kCapturing)) << h.err();
  h.pumpFor(1s);  // past the confirm frame, well before the first keep-alive
  const std::size_t before = h.out().size();
  const auto asked = std::chrono::steady_clock::now();
  h.process().writeStdin("idr\n");
  ASSERT_TRUE(h.process().pumpUntil([&] { return accessUnits(std::string_view(h.out()).substr(before)) >= 1; }, 3s));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
  std::vector<int> types = nalTypes(std::string_view(h.out()).substr(before));
  // The first slice after the request is an IDR slice (type 5), not a P slice (type 1).
  const auto slice = std::find_if(types.begin(), types.end(), [](int t) { return t == 1 || t == 5; });
  ASSERT_NE(slice, types.end());
  EXPECT_EQ(*slice, 5);
}

TEST(CaptureStream, BitrateLineLowersTheOutputRate) {
  auto x = XServer::xvfb(1280, 720);
  test::XPainter content(x->display(), randomSquares(), 20ms);
  Helper h(*x, {"--bitrate", "20m"});
  ASSERT_TRUE(h.waitForLine(kCapturing)) << h.err();
  h.pumpFor(1500ms);
  std::size_t mark = h.out().size();
  h.pumpFor(2s);
  const std::size_t high = h.out().size() - mark;
  h.process().writeStdin("bitrate 2000000\n");
  h.pumpFor(1s);
  mark = h.out().size();
  h.pumpFor(2s);
  const std::size_t low = h.out().size() - mark;
  EXPECT_LT(low * 2, high) << "before " << high << " bytes, after " << low << " bytes in 2 s";
}

TEST(CaptureStream, ClosingStandardInputExitsZero) {
  auto x = XServer::xvfb(640, 480);
  Helper h(*x, {});
  ASSERT_TRUE(h.waitForLine(kCapturing)) << h.err();
  h.process().closeStdin();
  EXPECT_EQ(h.process().wait(5s), std::optional<int>(0));
}

TEST(CaptureStream, ClosedStdoutReaderEndsTheHelperWithAnError) {
  auto x = XServer::xvfb(640, 480);
  test::XPainter content(x->display(), randomSquares(), 20ms);
  Helper h(*x, {});
  ASSERT_TRUE(h.waitForLine(kCapturing)) << h.err();
  h.process().closeStdout();
  const auto status = h.process().wait(10s);
  ASSERT_TRUE(status.has_value());
  EXPECT_NE(*status, 0);
}

TEST(CaptureStream, ScreenResizeReestablishesAtTheStartSize) {
  std::unique_ptr<XServer> x;
  try {
    x = XServer::dummyXorg(1024, 768);
  } catch (const std::exception& e) {
    GTEST_SKIP() << "no dummy Xorg: " << e.what();
  }
  Helper h(*x, {"--max-width", "0"});
  ASSERT_TRUE(h.waitForLine(kCapturing)) << h.err();
  EXPECT_THAT(h.err(), HasSubstr("capturing 1024x768@30"));
  h.pumpFor(500ms);
  const auto r = x->runClient({"xrandr", "--output", "DUMMY0", "--mode", "800x600"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(h.waitForLine("re-establishing (7 left)")) << h.err();
  const std::string stopLine = h.err().substr(h.err().find("stream stopped: "));
  EXPECT_THAT(stopLine, ::testing::StartsWith("stream stopped: "));
  EXPECT_THAT(stopLine, HasSubstr(" \u2014 re-establishing (7 left)"));
  // The new stream starts and keeps the size chosen at start.
  ASSERT_TRUE(h.process().pumpUntil(
      [&] {
        const auto first = h.err().find(kCapturing);
        return h.err().find(kCapturing, first + 1) != std::string::npos;
      },
      10s))
      << h.err();
  const std::size_t mark = h.out().size();
  h.pumpFor(3s);
  EXPECT_GE(accessUnits(std::string_view(h.out()).substr(mark)), 1);
  const Probe p = probe(h.out());
  EXPECT_EQ(p.width, 1024);
  EXPECT_EQ(p.height, 768);
  EXPECT_EQ(h.process().wait(0ms), std::nullopt) << "still running";
}

// Starts the test client that forces the screen saver on and holds it.
std::unique_ptr<Process> forceScreenSaver(const XServer& x) {
  Process::Options o;
  o.args = {test::buildPath("tests/qx-force-screensaver")};
  o.setEnv["DISPLAY"] = x.display();
  auto p = std::make_unique<Process>(std::move(o));
  p->pumpUntil([&] { return p->out().find("active") != std::string::npos; }, 5s);
  return p;
}

TEST(CaptureStream, ScreenSaverDuringTheCaptureIsWokenAndReported) {
  auto x = XServer::xvfb(640, 480);
  Helper h(*x, {});
  ASSERT_TRUE(h.waitForLine(kCapturing)) << h.err();
  auto saver = forceScreenSaver(*x);
  ASSERT_THAT(saver->out(), HasSubstr("active"));
  ASSERT_TRUE(h.waitForLine("display went to sleep during the session; waking it", 5s)) << h.err();
  ASSERT_TRUE(h.waitForLine("display on again", 5s)) << h.err();
  // One line per transition.
  h.pumpFor(1500ms);
  const std::string& err = h.err();
  EXPECT_EQ(err.find("waking it"), err.rfind("waking it"));
  EXPECT_EQ(err.find("display on again"), err.rfind("display on again"));
}

TEST(CaptureStream, ScreenSaverBeforeTheStartIsWokenFirst) {
  auto x = XServer::xvfb(640, 480);
  auto saver = forceScreenSaver(*x);
  ASSERT_THAT(saver->out(), HasSubstr("active"));
  Helper h(*x, {});
  ASSERT_TRUE(h.waitForLine(kCapturing)) << h.err();
  const std::string prefix = std::string(kPrefix) + "display asleep (session start); woke it in ";
  const auto at = h.err().find(prefix);
  ASSERT_NE(at, std::string::npos) << h.err();
  const std::string rest = h.err().substr(at + prefix.size());
  EXPECT_THAT(rest.substr(0, rest.find('\n')), ::testing::MatchesRegex("[0-9]+ ms"));
  EXPECT_LT(at, h.err().find(kCapturing));
}

}  // namespace
}  // namespace qx
