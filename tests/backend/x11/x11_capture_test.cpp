#include "platform/linux/x11/x11_capture_service.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "platform/linux/x11/nv12_converter.h"
#include "tests/backend/x11/x_drawing.h"
#include "tests/support/x_server.h"

namespace qx {
namespace {

using namespace std::chrono_literals;
using test::XDrawing;
using test::XServer;

// Collects frames and stops; can keep every frame it got (holding pool slots).
class Receiver final : public StreamOutput, public StreamDelegate {
 public:
  explicit Receiver(bool keepFrames = false) : keep_(keepFrames) {}

  void didOutputSampleBuffer(CaptureStream&, const SampleBuffer& sample, StreamOutputType type) override {
    std::lock_guard lock(mutex_);
    ++count_;
    lastType_ = type;
    last_ = sample;
    pts_.push_back(sample.presentationTime.value);
    if (keep_) held_.push_back(sample.imageBuffer);
    cv_.notify_all();
  }

  void didStopWithError(CaptureStream&, const PlatformError& error) override {
    std::lock_guard lock(mutex_);
    stopError_ = error;
    cv_.notify_all();
  }

  // Waits until at least `n` frames came in.
  bool waitFrames(int n, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return count_ >= n; });
  }
  bool waitStop(std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return stopError_.has_value(); });
  }
  int count() {
    std::lock_guard lock(mutex_);
    return count_;
  }
  SampleBuffer last() {
    std::lock_guard lock(mutex_);
    return last_;
  }
  std::deque<std::int64_t> pts() {
    std::lock_guard lock(mutex_);
    return pts_;
  }
  std::optional<PlatformError> stopError() {
    std::lock_guard lock(mutex_);
    return stopError_;
  }
  void releaseFrames() {
    std::lock_guard lock(mutex_);
    held_.clear();
    last_ = {};
  }

 private:
  const bool keep_;
  std::mutex mutex_;
  std::condition_variable cv_;
  int count_ = 0;
  StreamOutputType lastType_ = StreamOutputType::audio;
  SampleBuffer last_;
  std::deque<std::int64_t> pts_;
  std::deque<PixelBufferRef> held_;
  std::optional<PlatformError> stopError_;
};

// Delivers on the capture thread itself; enough for tests.
TaskRunner inlineQueue() {
  return [](std::function<void()> task) { task(); };
}

ShareableDisplay onlyDisplay(X11CaptureService& service) {
  auto content = service.shareableContent();
  EXPECT_TRUE(std::holds_alternative<ShareableContent>(content));
  if (!std::holds_alternative<ShareableContent>(content)) return {};
  const auto& displays = std::get<ShareableContent>(content).displays;
  EXPECT_EQ(displays.size(), 1u);
  return displays.empty() ? ShareableDisplay{} : displays.front();
}

StreamConfiguration configOf(std::int64_t w, std::int64_t h, int fps = 30, int depth = 5) {
  StreamConfiguration c;
  c.width = w;
  c.height = h;
  c.minimumFrameInterval = MediaTime::make(1, fps);
  c.showsCursor = false;
  c.queueDepth = depth;
  return c;
}

// Starts a stream and waits for its completion; the error, if any.
std::optional<PlatformError> start(CaptureStream& stream) {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::optional<PlatformError> result;
  stream.startCapture([&](std::optional<PlatformError> error) {
    std::lock_guard lock(m);
    result = std::move(error);
    done = true;
    cv.notify_all();
  });
  std::unique_lock lock(m);
  if (!cv.wait_for(lock, 10s, [&] { return done; })) return PlatformError{"test", -1, "no completion"};
  return result;
}

std::shared_ptr<CaptureStream> running(X11CaptureService& service, const ShareableDisplay& display,
                                       const StreamConfiguration& config, const std::shared_ptr<Receiver>& receiver) {
  auto stream = service.createStream(ContentFilter{display}, config, receiver);
  EXPECT_FALSE(stream->addStreamOutput(receiver, StreamOutputType::screen, inlineQueue()).has_value());
  auto error = start(*stream);
  EXPECT_FALSE(error.has_value()) << (error ? error->description : "");
  return stream;
}

int lumaAt(const SampleBuffer& s, int x, int y) { return s.imageBuffer->plane(0)[y * s.imageBuffer->stride(0) + x]; }
std::pair<int, int> chromaAt(const SampleBuffer& s, int x, int y) {
  const std::uint8_t* p = s.imageBuffer->plane(1) + (y / 2) * s.imageBuffer->stride(1) + (x / 2) * 2;
  return {p[0], p[1]};
}

std::int64_t hostNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

class X11CaptureOnXvfb : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = XServer::xvfb(640, 480);
    drawing_ = std::make_unique<XDrawing>(server_->display());
    drawing_->fill(0, 0, 640, 480, 0x000000);
    service_ = std::make_unique<X11CaptureService>(server_->display());
    display_ = onlyDisplay(*service_);
  }

  std::unique_ptr<XServer> server_;
  std::unique_ptr<XDrawing> drawing_;
  std::unique_ptr<X11CaptureService> service_;
  ShareableDisplay display_;
};

TEST_F(X11CaptureOnXvfb, ListsTheScreenAsOneDisplayInPoints) {
  EXPECT_NE(display_.displayID, 0u);
  EXPECT_EQ(display_.width, 640);
  EXPECT_EQ(display_.height, 480);
}

TEST_F(X11CaptureOnXvfb, FirstFrameAtStartThenOnlyWhenTheScreenChanges) {
  auto receiver = std::make_shared<Receiver>();
  const std::int64_t before = hostNow();
  auto stream = running(*service_, display_, configOf(640, 480), receiver);

  // A still desktop still gets its first frame, complete and on the host clock.
  ASSERT_TRUE(receiver->waitFrames(1));
  SampleBuffer first = receiver->last();
  EXPECT_EQ(first.numSamples, 1);
  ASSERT_TRUE(first.attachments.has_value());
  ASSERT_EQ(first.attachments->size(), 1u);
  EXPECT_EQ(std::get<std::int64_t>(first.attachments->front().at(std::string(kFrameInfoStatus))),
            static_cast<std::int64_t>(FrameStatus::complete));
  ASSERT_NE(first.imageBuffer, nullptr);
  EXPECT_EQ(first.presentationTime.timescale, MediaTime::kHostTimescale);
  EXPECT_GE(first.presentationTime.value, before);
  EXPECT_LE(first.presentationTime.value, hostNow());

  // Nothing changes: nothing more arrives.
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(receiver->count(), 1);

  drawing_->fill(100, 100, 50, 50, 0xffffff);
  ASSERT_TRUE(receiver->waitFrames(2));
  SampleBuffer second = receiver->last();
  EXPECT_EQ(lumaAt(second, 120, 120), 235);
  EXPECT_EQ(lumaAt(second, 10, 10), 16);
  EXPECT_GT(second.presentationTime.value, first.presentationTime.value);
}

TEST_F(X11CaptureOnXvfb, KnownFillsArriveAsBt709VideoRange) {
  auto receiver = std::make_shared<Receiver>();
  auto stream = running(*service_, display_, configOf(640, 480), receiver);
  ASSERT_TRUE(receiver->waitFrames(1));
  struct Case {
    std::uint32_t rgb;
    int y, cb, cr;
  };
  // Y = 16 + 219 (0.2126 R + 0.7152 G + 0.0722 B), chroma likewise from the BT.709 matrix.
  const Case cases[] = {
      {0xff0000, 63, 102, 240}, {0x00ff00, 173, 42, 26}, {0x0000ff, 32, 240, 118}, {0x808080, 126, 128, 128}};
  int expected = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rgb);
    drawing_->fill(0, 0, 640, 480, c.rgb);
    ASSERT_TRUE(receiver->waitFrames(++expected));
    // A fill may be caught half drawn; the next frame then has the rest.
    if (receiver->waitFrames(expected + 1, 200ms)) expected = receiver->count();
    SampleBuffer s = receiver->last();
    EXPECT_NEAR(lumaAt(s, 320, 240), c.y, 2);
    EXPECT_NEAR(chromaAt(s, 320, 240).first, c.cb, 2);
    EXPECT_NEAR(chromaAt(s, 320, 240).second, c.cr, 2);
  }
}

TEST_F(X11CaptureOnXvfb, ScalesToTheConfiguredSize) {
  drawing_->fill(0, 0, 320, 480, 0xffffff);
  auto receiver = std::make_shared<Receiver>();
  auto stream = running(*service_, display_, configOf(320, 240), receiver);
  ASSERT_TRUE(receiver->waitFrames(1));
  SampleBuffer s = receiver->last();
  ASSERT_EQ(s.imageBuffer->width(), 320);
  ASSERT_EQ(s.imageBuffer->height(), 240);
  EXPECT_EQ(lumaAt(s, 80, 120), 235);
  EXPECT_EQ(lumaAt(s, 240, 120), 16);
  EXPECT_EQ(lumaAt(s, 156, 120), 235);
  EXPECT_EQ(lumaAt(s, 163, 120), 16);
}

TEST_F(X11CaptureOnXvfb, FramesComeAtMostEveryMinimumInterval) {
  auto receiver = std::make_shared<Receiver>();
  auto stream = running(*service_, display_, configOf(640, 480, 5), receiver);
  std::atomic<bool> drawing{true};
  std::thread painter([&] {
    XDrawing d(server_->display());
    for (std::uint32_t i = 0; drawing; ++i) {
      d.fill(0, 0, 64, 64, (i % 2) ? 0xffffff : 0x202020);
      std::this_thread::sleep_for(5ms);
    }
  });
  ASSERT_TRUE(receiver->waitFrames(5, 10s));
  drawing = false;
  painter.join();
  const auto pts = receiver->pts();
  for (std::size_t i = 1; i < pts.size(); ++i) {
    EXPECT_GE(pts[i] - pts[i - 1], 195'000'000) << "frame " << i;  // 1/5 s, timer slack aside
  }
}

TEST_F(X11CaptureOnXvfb, SkipsGrabsWhileEveryBufferIsHeldDownstream) {
  auto receiver = std::make_shared<Receiver>(/*keepFrames=*/true);
  auto stream = running(*service_, display_, configOf(640, 480, 60, 2), receiver);
  ASSERT_TRUE(receiver->waitFrames(1));
  drawing_->fill(0, 0, 10, 10, 0xffffff);
  ASSERT_TRUE(receiver->waitFrames(2));
  // Both buffers held: changes now produce nothing.
  drawing_->fill(0, 0, 10, 10, 0x00ff00);
  EXPECT_FALSE(receiver->waitFrames(3, 500ms));
  // Once released, the pending change is captured without new damage.
  receiver->releaseFrames();
  ASSERT_TRUE(receiver->waitFrames(3));
  EXPECT_EQ(lumaAt(receiver->last(), 5, 5), 173);
}

// Frames refreshed only where the screen changed must equal a conversion of
// the whole screen, whichever pool buffer comes round and whatever the scale.
TEST_F(X11CaptureOnXvfb, PartialUpdatesGiveTheFramesOfAWholeGrab) {
  struct Size {
    int width, height;
  };
  for (const Size size : {Size{640, 480}, Size{320, 240}, Size{480, 360}, Size{800, 600}}) {
    SCOPED_TRACE(testing::Message() << size.width << "x" << size.height);
    std::mt19937 random(static_cast<unsigned>(size.width));
    for (int i = 0; i < 200; ++i) {  // texture, so that moves show
      drawing_->fill(static_cast<int>(random() % 620), static_cast<int>(random() % 460), 20, 20, random() & 0xffffff);
    }
    auto receiver = std::make_shared<Receiver>();
    auto stream = running(*service_, display_, configOf(size.width, size.height, 60, 3), receiver);
    x11::Nv12Converter reference(640, 480, size.width, size.height);
    for (int round = 0; round < 8; ++round) {
      SCOPED_TRACE(testing::Message() << "round " << round);
      for (int step = 0, steps = 1 + static_cast<int>(random() % 6); step < steps; ++step) {
        const int x = static_cast<int>(random() % 600), y = static_cast<int>(random() % 440);
        const int w = 1 + static_cast<int>(random() % 150), h = 1 + static_cast<int>(random() % 100);
        switch (random() % 3) {
          case 0: drawing_->fill(x, y, w, h, random() & 0xffffff); break;
          case 1: drawing_->fill(x, y, 1 + w / 30, 1 + h / 30, random() & 0xffffff); break;
          default: drawing_->copy(x, y, w, h, x + static_cast<int>(random() % 21) - 10, y - 3); break;
        }
      }
      // Settled: no frame for a while after the last change.
      for (int seen = -1; seen != receiver->count();) {
        seen = receiver->count();
        std::this_thread::sleep_for(250ms);
      }
      const auto screen = drawing_->pixels(640, 480);
      PixelBuffer expected(size.width, size.height);
      reference.convert(screen.data(), 640 * 4, expected);
      const PixelBuffer& got = *receiver->last().imageBuffer;
      for (int plane = 0; plane < 2; ++plane) {
        const int rows = plane == 0 ? size.height : size.height / 2;
        for (int row = 0; row < rows; ++row) {
          ASSERT_EQ(0, std::memcmp(got.plane(plane) + row * got.stride(plane),
                                   expected.plane(plane) + row * expected.stride(plane), size.width))
              << "plane " << plane << " row " << row;
        }
      }
    }
  }
}

TEST_F(X11CaptureOnXvfb, StartFailsForADisplayThatIsGone) {
  auto receiver = std::make_shared<Receiver>();
  ShareableDisplay gone = display_;
  gone.displayID += 4242;
  auto stream = service_->createStream(ContentFilter{gone}, configOf(640, 480), receiver);
  ASSERT_FALSE(stream->addStreamOutput(receiver, StreamOutputType::screen, inlineQueue()).has_value());
  auto error = start(*stream);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->domain, kX11CaptureErrorDomain);
  EXPECT_NE(error->description.find("no longer connected"), std::string::npos) << error->description;
  EXPECT_FALSE(receiver->waitFrames(1, 200ms));
}

TEST_F(X11CaptureOnXvfb, RefusesAudioOutputsAndSecondStarts) {
  auto receiver = std::make_shared<Receiver>();
  auto stream = service_->createStream(ContentFilter{display_}, configOf(640, 480), receiver);
  EXPECT_TRUE(stream->addStreamOutput(receiver, StreamOutputType::audio, inlineQueue()).has_value());
  ASSERT_FALSE(stream->addStreamOutput(receiver, StreamOutputType::screen, inlineQueue()).has_value());
  EXPECT_FALSE(start(*stream).has_value());
  EXPECT_TRUE(start(*stream).has_value());
}

TEST_F(X11CaptureOnXvfb, StartRefusesWhatItCannotHonour) {
  struct Case {
    const char* text;
    void (*change)(StreamConfiguration&);
  };
  const Case cases[] = {
      {"only with BT.709", [](StreamConfiguration& c) { c.colorMatrix = ColorMatrix::itu601; }},
      {"only in 420v", [](StreamConfiguration& c) { c.pixelFormat = 0x42475241; }},
      {"the pointer", [](StreamConfiguration& c) { c.showsCursor = true; }},
      {"no audio source", [](StreamConfiguration& c) { c.capturesAudio = true; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    StreamConfiguration config = configOf(640, 480);
    c.change(config);
    auto receiver = std::make_shared<Receiver>();
    auto stream = service_->createStream(ContentFilter{display_}, config, receiver);
    ASSERT_FALSE(stream->addStreamOutput(receiver, StreamOutputType::screen, inlineQueue()).has_value());
    auto error = start(*stream);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->domain, kX11CaptureErrorDomain);
    EXPECT_NE(error->description.find(c.text), std::string::npos) << error->description;
    EXPECT_FALSE(receiver->waitFrames(1, 100ms));
  }
}

TEST_F(X11CaptureOnXvfb, BrokenConnectionStopsTheStreamThroughTheDelegate) {
  auto receiver = std::make_shared<Receiver>();
  auto stream = running(*service_, display_, configOf(640, 480), receiver);
  ASSERT_TRUE(receiver->waitFrames(1));
  drawing_.reset();
  server_.reset();  // the X server goes away
  ASSERT_TRUE(receiver->waitStop());
  EXPECT_EQ(receiver->stopError()->description, "X connection broken");
}

TEST_F(X11CaptureOnXvfb, StreamMayBeReleasedInsideItsOwnStopCallback) {
  // What the engine does: drop its stream as soon as it is told it stopped.
  struct Dropper final : StreamDelegate {
    std::mutex m;
    std::condition_variable cv;
    std::shared_ptr<CaptureStream> stream;
    bool stopped = false;
    void didStopWithError(CaptureStream&, const PlatformError&) override {
      std::lock_guard lock(m);
      stream.reset();
      stopped = true;
      cv.notify_all();
    }
  };
  auto dropper = std::make_shared<Dropper>();
  auto receiver = std::make_shared<Receiver>();
  auto stream = service_->createStream(ContentFilter{display_}, configOf(640, 480), dropper);
  ASSERT_FALSE(stream->addStreamOutput(receiver, StreamOutputType::screen, inlineQueue()).has_value());
  ASSERT_FALSE(start(*stream).has_value());
  {
    std::lock_guard lock(dropper->m);
    dropper->stream = std::move(stream);
  }
  ASSERT_TRUE(receiver->waitFrames(1));
  drawing_.reset();
  server_.reset();
  std::unique_lock lock(dropper->m);
  ASSERT_TRUE(dropper->cv.wait_for(lock, 10s, [&] { return dropper->stopped; }));
  EXPECT_EQ(dropper->stream, nullptr);
}

TEST(X11CaptureWithoutAServer, ConnectFailureNamesTheDisplayTakenFromTheEnvironment) {
  ::setenv("DISPLAY", ":65002", 1);
  X11CaptureService service;
  auto receiver = std::make_shared<Receiver>();
  auto stream = service.createStream(ContentFilter{ShareableDisplay{1, 640, 480}}, configOf(640, 480), receiver);
  ASSERT_FALSE(stream->addStreamOutput(receiver, StreamOutputType::screen, inlineQueue()).has_value());
  auto error = start(*stream);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->description, "cannot connect to X display \":65002\"");
}

// The id of a monitor the test created with `xrandr --setmonitor`.
DisplayID monitorID(const std::string& display, const char* name) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  xcb_intern_atom_reply_t* reply =
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
  const DisplayID id = reply ? reply->atom : 0;
  std::free(reply);
  xcb_disconnect(c);
  return id;
}

TEST(X11CaptureOnDummyXorg, OnlyChangesOnTheCapturedMonitorProduceFrames) {
  if (test::findOnPath("xrandr").empty()) GTEST_SKIP() << "xrandr not installed";
  auto server = XServer::dummyXorg(1024, 768);
  ASSERT_EQ(server->runClient({"xrandr", "--setmonitor", "QXLEFT", "512/135x768/203+0+0", "none"}).status, 0);
  ASSERT_EQ(server->runClient({"xrandr", "--setmonitor", "QXRIGHT", "512/135x768/203+512+0", "none"}).status, 0);
  X11CaptureService service(server->display());
  auto content = service.shareableContent();
  ASSERT_TRUE(std::holds_alternative<ShareableContent>(content));
  const DisplayID left = monitorID(server->display(), "QXLEFT");
  std::optional<ShareableDisplay> display;
  for (const auto& d : std::get<ShareableContent>(content).displays) {
    if (d.displayID == left) display = d;
  }
  ASSERT_TRUE(display.has_value());
  EXPECT_EQ(display->width, 512);

  XDrawing drawing(server->display());
  drawing.fill(0, 0, 1024, 768, 0x000000);
  auto receiver = std::make_shared<Receiver>();
  auto stream = running(service, *display, configOf(512, 768), receiver);
  ASSERT_TRUE(receiver->waitFrames(1));
  std::this_thread::sleep_for(100ms);
  const int settled = receiver->count();

  drawing.fill(700, 100, 100, 100, 0xffffff);  // right monitor only
  EXPECT_FALSE(receiver->waitFrames(settled + 1, 400ms));
  drawing.fill(100, 100, 100, 100, 0xffffff);  // ours
  ASSERT_TRUE(receiver->waitFrames(settled + 1));
  EXPECT_EQ(lumaAt(receiver->last(), 150, 150), 235);
  EXPECT_EQ(lumaAt(receiver->last(), 450, 150), 16);
}

TEST(X11CaptureOnDummyXorg, ScreenResizeStopsAndARestartCapturesTheNewRectangleAtTheOldSize) {
  if (test::findOnPath("xrandr").empty()) GTEST_SKIP() << "xrandr not installed";
  auto server = XServer::dummyXorg(1024, 768);
  X11CaptureService service(server->display());
  auto content = service.shareableContent();
  ASSERT_TRUE(std::holds_alternative<ShareableContent>(content));
  const auto displays = std::get<ShareableContent>(content).displays;
  ASSERT_FALSE(displays.empty());
  const ShareableDisplay display = displays.front();

  auto receiver = std::make_shared<Receiver>();
  auto stream = running(service, display, configOf(1024, 768), receiver);
  ASSERT_TRUE(receiver->waitFrames(1)) << server->state();

  auto result = server->runClient({"xrandr", "--output", "DUMMY0", "--mode", "800x600"});
  ASSERT_EQ(result.status, 0) << result.err << server->state();
  ASSERT_TRUE(receiver->waitStop()) << server->state();
  EXPECT_EQ(receiver->stopError()->description, "X screen configuration changed");
  stream.reset();

  // Same filter (found again by id), same configured size.
  auto again = std::make_shared<Receiver>();
  auto restarted = running(service, display, configOf(1024, 768), again);
  ASSERT_TRUE(again->waitFrames(1)) << server->state();
  EXPECT_EQ(again->last().imageBuffer->width(), 1024);
  EXPECT_EQ(again->last().imageBuffer->height(), 768);
}

}  // namespace
}  // namespace qx
