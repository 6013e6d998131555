#include <fcntl.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <condition_variable>

#include "capture/control_channel.h"
#include "capture/h264_encoder_port.h"
#include "tests/fakes/fake_compression_session.h"
#include "tests/fakes/manual_dispatch.h"

namespace qx {
namespace {

using namespace std::chrono_literals;

TEST(ControlLine, RecognisesTheFourFormsExactly) {
  struct Case {
    std::string line;
    std::optional<ControlCommand> expected;
  };
  const Case cases[] = {
      {"idr", KeyframeRequest{}},
      {"ltr-refresh", RefreshRequest{}},
      {"ltr-ack 42", AckRequest{42}},
      {"ltr-ack -7", AckRequest{-7}},
      {"ltr-ack +9", AckRequest{9}},
      {"bitrate 5000000", BitrateRequest{5'000'000}},
      {"bitrate  5000000 ", BitrateRequest{5'000'000}},
      {"bitrate \t5000000\t", BitrateRequest{5'000'000}},
      {"bitrate \u00a05000000\u3000", BitrateRequest{5'000'000}},  // Unicode space separators
      {"bitrate 500000", BitrateRequest{500'000}},                 // the encoder clamps, not the parser
      // Not commands: case, surrounding spaces, missing or malformed numbers.
      {"IDR", std::nullopt},
      {" idr", std::nullopt},
      {"idr ", std::nullopt},
      {"idr\r", std::nullopt},
      {"ltr-refresh ", std::nullopt},
      {"ltr-ack", std::nullopt},
      {"ltr-ack ", std::nullopt},
      {"ltr-ack  42", std::nullopt},
      {"ltr-ack 42 ", std::nullopt},
      {"ltr-ack 99999999999999999999", std::nullopt},
      {"bitrate 6m", std::nullopt},
      {"bitrate ", std::nullopt},
      {"bitrate abc", std::nullopt},
      {"bitrate 1.5", std::nullopt},
      {"bitrate5000000", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parseControlLine(c.line), c.expected) << '"' << c.line << '"';
}

TEST(LineSplitter, EndsLinesAtLineFeedOrCarriageReturnLineFeed) {
  LineSplitter s;
  EXPECT_EQ(s.feed("idr\r\nltr-"), (std::vector<std::string>{"idr"}));
  EXPECT_EQ(s.feed("refresh\n\n"), (std::vector<std::string>{"ltr-refresh", ""}));
  // A lone carriage return belongs to the line.
  EXPECT_EQ(s.feed("a\rb\n"), (std::vector<std::string>{"a\rb"}));
  // A CR at the end of one chunk and the LF at the start of the next still pair up.
  EXPECT_EQ(s.feed("idr\r"), std::vector<std::string>{});
  EXPECT_EQ(s.feed("\n"), (std::vector<std::string>{"idr"}));
  EXPECT_EQ(s.finish(), std::nullopt);
  EXPECT_EQ(s.feed("bitrate 1"), std::vector<std::string>{});
  EXPECT_EQ(s.finish(), std::optional<std::string>("bitrate 1"));
  EXPECT_EQ(s.finish(), std::nullopt);
}

TEST(LineSplitter, DropsOverLongLinesAndResumesAfterTheirLineFeed) {
  const std::size_t max = LineSplitter::kMaxLine;
  const std::string full(max, 'x');
  struct Case {
    std::vector<std::string> chunks;
    std::vector<std::string> lines;
    std::optional<std::string> rest;
  };
  const Case cases[] = {
      {{full + "\n", full + "\r\n"}, {full, full}, std::nullopt},
      {{full + "\r", "\nidr"}, {full}, "idr"},
      {{full + "y\nidr\n"}, {"idr"}, std::nullopt},
      {{full + "\ry\nidr\n"}, {"idr"}, std::nullopt},
      // Never ended in one read: the rest of it is skipped too, up to its line feed.
      {{full, std::string(3 * max, 'y'), "y\r\nidr\nbitrate 1"}, {"idr"}, "bitrate 1"},
      {{full, "yy"}, {}, std::nullopt},
  };
  for (const auto& c : cases) {
    LineSplitter s;
    std::vector<std::string> lines;
    for (const auto& chunk : c.chunks) {
      for (auto& line : s.feed(chunk)) lines.push_back(std::move(line));
    }
    EXPECT_EQ(lines, c.lines) << &c - cases;
    EXPECT_EQ(s.finish(), c.rest) << &c - cases;
  }
}

// The real encoder over a fake session, driven through a pipe.
class ControlChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::pipe2(out_, O_NONBLOCK | O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(in_, O_CLOEXEC), 0);
    writer_ = std::make_unique<AnnexBWriter>(out_[1]);
    H264EncoderDeps deps;
    deps.makeSession = sessions_.factory();
    deps.clock = &dispatch_.clock();
    deps.log = [](std::string_view) {};
    encoder_ = h264EncoderFactory(*writer_, deps)(EncoderParams{64, 64, 30, 8'000'000, "vbr", 0, true, true});
    ASSERT_TRUE(encoder_);
  }
  void TearDown() override {
    closeInput();
    channel_.reset();
    encoder_.reset();
    ::close(in_[0]);
    ::close(out_[0]);
    ::close(out_[1]);
  }

  void open() {
    channel_ = std::make_unique<ControlChannel>(in_[0], encoder_, [this](int status) {
      std::lock_guard lock(mutex_);
      exits_.push_back(status);
      cv_.notify_all();
    });
  }
  void send(std::string_view text) {
    ASSERT_EQ(::write(in_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void closeInput() {
    if (in_[1] >= 0) ::close(in_[1]);
    in_[1] = -1;
  }
  // Waits (bounded) for the reader to end.
  std::vector<int> waitForExit() {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, 10s, [this] { return !exits_.empty(); });
    return exits_;
  }
  // The options the next encoded frame carries: what the channel left pending.
  FrameOptions nextFrameOptions() {
    encoder_->encode(std::make_shared<PixelBuffer>(64, 64), MediaTime::fromHostNanos(++frame_ * 33'000'000));
    const auto frames = sessions_.frames();
    return frames.back().options.value_or(FrameOptions{});
  }

  fake::ManualDispatch dispatch_;
  fake::FakeCompressionSessionFactory sessions_;
  int out_[2] = {-1, -1};
  int in_[2] = {-1, -1};
  std::unique_ptr<AnnexBWriter> writer_;
  std::shared_ptr<VideoEncoderPort> encoder_;
  std::unique_ptr<ControlChannel> channel_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<int> exits_;
  std::int64_t frame_ = 0;
};

TEST_F(ControlChannelTest, AppliesCommandsInOrderAndExitsZeroAtEndOfInput) {
  open();
  send("ltr-ack 42\r\nltr-ack  43\nIDR\n\nbitrate  5000000 \nltr-ack -7\nidr");  // last line unterminated
  closeInput();
  EXPECT_EQ(waitForExit(), std::vector<int>{0});
  const FrameOptions options = nextFrameOptions();
  EXPECT_TRUE(options.forceKeyframe);
  EXPECT_EQ(options.acknowledgedTokens, (std::vector<std::int64_t>{42, -7}));
  EXPECT_EQ(sessions_.lastValue(session_key::kAverageBitRate), PropertyValue{std::int64_t{5'000'000}});
}

TEST_F(ControlChannelTest, BitrateIsClampedByTheEncoderAndMalformedOnesIgnored) {
  open();
  send("bitrate 90000000\nbitrate 6m\nbitrate \n");
  closeInput();
  EXPECT_EQ(waitForExit(), std::vector<int>{0});
  EXPECT_EQ(sessions_.lastValue(session_key::kAverageBitRate), PropertyValue{std::int64_t{60'000'000}});
}

TEST_F(ControlChannelTest, RefreshAsksForLongTermReferenceRecovery) {
  open();
  send("ltr-refresh\n");
  closeInput();
  EXPECT_EQ(waitForExit(), std::vector<int>{0});
  EXPECT_TRUE(encoder_->recoveryPending());
}

TEST_F(ControlChannelTest, ClosingWithoutInputExitsZeroWithNothingPending) {
  open();
  closeInput();
  EXPECT_EQ(waitForExit(), std::vector<int>{0});
  EXPECT_FALSE(encoder_->recoveryPending());
}

TEST_F(ControlChannelTest, DestroyingTheReaderDoesNotEndTheProcess) {
  open();
  channel_.reset();  // returns although the input is still open
  std::lock_guard lock(mutex_);
  EXPECT_TRUE(exits_.empty());
}

}  // namespace
}  // namespace qx
