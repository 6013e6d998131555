#include "audio/audio_framing.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <csignal>
#include <numeric>
#include <thread>

namespace qx {
namespace {

std::vector<float> ramp(std::size_t n, float start = 0) {
  std::vector<float> v(n);
  std::iota(v.begin(), v.end(), start);
  return v;
}

TEST(PendingSamplesTest, CompletingAFrameDrainsEverything) {
  PendingSamples pending;
  std::vector<std::vector<float>> frames;
  auto collect = [&](std::span<const float> f) { frames.emplace_back(f.begin(), f.end()); };

  pending.append(ramp(1919));
  EXPECT_EQ(pending.drainWholeFrames(collect), 0u);
  EXPECT_EQ(pending.size(), 1919u);

  pending.append(std::vector<float>{1919.0f});
  EXPECT_EQ(pending.drainWholeFrames(collect), 1u);
  EXPECT_EQ(pending.size(), 0u);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], ramp(1920));
}

TEST(PendingSamplesTest, LargeBufferLeavesTheRemainderInOrder) {
  PendingSamples pending;
  std::vector<std::vector<float>> frames;
  auto collect = [&](std::span<const float> f) { frames.emplace_back(f.begin(), f.end()); };

  pending.append(ramp(5000));
  EXPECT_EQ(pending.drainWholeFrames(collect), 2u);
  EXPECT_EQ(pending.size(), 1160u);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].front(), 1920.0f);
  EXPECT_EQ(frames[1].back(), 3839.0f);

  // The leftover is the start of the next frame.
  pending.append(ramp(760, 5000));
  EXPECT_EQ(pending.drainWholeFrames(collect), 1u);
  EXPECT_EQ(frames[2], ramp(1920, 3840));
}

TEST(FrameOpusPacketTest, LengthIsTwoBytesBigEndian) {
  const std::vector<std::uint8_t> small{0xAA, 0xBB, 0xCC};
  EXPECT_EQ(frameOpusPacket(small), (std::vector<std::uint8_t>{0x00, 0x03, 0xAA, 0xBB, 0xCC}));

  std::vector<std::uint8_t> large(1500, 0x5A);
  auto frame = frameOpusPacket(large);
  ASSERT_EQ(frame.size(), 1502u);
  EXPECT_EQ(frame[0], 0x05);
  EXPECT_EQ(frame[1], 0xDC);
  EXPECT_EQ(frame[1501], 0x5A);
}

TEST(CaptureGapTrackerTest, ThresholdAndFirstDelivery) {
  CaptureGapTracker gaps;
  const std::uint64_t ms = 1'000'000;
  std::uint64_t t = 5'000 * ms;
  EXPECT_EQ(gaps.noteDelivery(t), std::nullopt);  // first delivery: nothing to compare with
  t += 59 * ms;
  EXPECT_EQ(gaps.noteDelivery(t), std::nullopt);
  t += 60 * ms;
  EXPECT_EQ(gaps.noteDelivery(t), "audio: capture gap 60ms");
  // A clock that steps back is no gap, and the next gap is measured from there.
  EXPECT_EQ(gaps.noteDelivery(t - 30 * ms), std::nullopt);
}

TEST(CaptureGapTrackerTest, ExactSequenceOf80_200_90_70) {
  CaptureGapTracker gaps;
  const std::uint64_t ms = 1'000'000;
  std::vector<std::string> lines;
  auto deliver = [&](std::uint64_t at) {
    if (auto line = gaps.noteDelivery(at)) lines.push_back(*line);
  };
  std::uint64_t t = 2'000 * ms;
  deliver(t);
  deliver(t += 80 * ms);  // first report at this time
  const std::uint64_t reported = t;
  deliver(t += 200 * ms);
  deliver(t += 90 * ms);
  // Keep delivering every 20 ms until just past the quiet period, then a 70 ms gap.
  while (t < reported + 10'000 * ms) deliver(t += 20 * ms);
  deliver(t += 70 * ms);
  deliver(t += 20 * ms);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "audio: capture gap 80ms");
  EXPECT_EQ(lines[1], "audio: capture gap 200ms (3 gaps \u226560ms since last report)");
}

TEST(CaptureGapTrackerTest, CountSuffixOnlyForTwoOrMoreGaps) {
  CaptureGapTracker gaps;
  const std::uint64_t ms = 1'000'000;
  std::vector<std::string> lines;
  auto deliver = [&](std::uint64_t at) {
    if (auto line = gaps.noteDelivery(at)) lines.push_back(*line);
  };
  std::uint64_t t = 3'000 * ms;
  deliver(t);
  deliver(t += 61 * ms);
  const std::uint64_t reported = t;
  deliver(t += 70 * ms);  // quiet period: counted
  while (t < reported + 10'000 * ms) deliver(t += 20 * ms);
  deliver(t += 65 * ms);  // two gaps since the report, the longest 70 ms
  while (t < reported + 30'000 * ms) deliver(t += 20 * ms);
  deliver(t += 62 * ms);  // alone after a quiet period: no count
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "audio: capture gap 61ms");
  EXPECT_EQ(lines[1], "audio: capture gap 70ms (2 gaps \u226560ms since last report)");
  EXPECT_EQ(lines[2], "audio: capture gap 62ms");
}

class WriteAllTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);  // as the helper does
    ASSERT_EQ(::pipe(fds_), 0);
  }
  void TearDown() override {
    for (int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }
  void closeReader() {
    ::close(fds_[0]);
    fds_[0] = -1;
  }
  int fds_[2] = {-1, -1};
};

TEST_F(WriteAllTest, NonBlockingDescriptorThatTakesLittleAtATime) {
  // A one-page pipe in non-blocking mode accepts at most what fits, then
  // EAGAIN; a slow reader takes 100 bytes at a time.
  ASSERT_GT(::fcntl(fds_[1], F_SETPIPE_SZ, 4096), 0);
  ASSERT_EQ(::fcntl(fds_[1], F_SETFL, O_NONBLOCK), 0);
  std::vector<std::uint8_t> data(64 * 1024);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + i / 256);

  std::vector<std::uint8_t> received;
  std::thread reader([&] {
    std::uint8_t buf[100];
    for (;;) {
      ssize_t n = ::read(fds_[0], buf, sizeof buf);
      if (n <= 0) break;
      received.insert(received.end(), buf, buf + n);
    }
  });
  EXPECT_EQ(writeAll(fds_[1], data), WriteOutcome::complete);
  ::close(fds_[1]);
  fds_[1] = -1;
  reader.join();
  EXPECT_EQ(received, data);
}

TEST_F(WriteAllTest, ClosedReaderOrDescriptorFailsBeforeAnyByte) {
  closeReader();
  const std::vector<std::uint8_t> frame{0, 3, 1, 2, 3};
  EXPECT_EQ(writeAll(fds_[1], frame), WriteOutcome::nothingWritten);

  ::close(fds_[1]);
  const int closed = fds_[1];
  fds_[1] = -1;
  EXPECT_EQ(writeAll(closed, frame), WriteOutcome::nothingWritten);
}

TEST_F(WriteAllTest, ReaderGoneInsideAFrameIsPartial) {
  ASSERT_GT(::fcntl(fds_[1], F_SETPIPE_SZ, 4096), 0);
  ASSERT_EQ(::fcntl(fds_[1], F_SETFL, O_NONBLOCK), 0);
  // More than the pipe holds: the first bytes go in, then the writer waits
  // for room until the reader goes away.
  std::vector<std::uint8_t> data(3 * 4096, 0x11);
  std::thread closer([&] {
    // Wait until the pipe is full, so the write has really started.
    int queued = 0;
    do {
      std::this_thread::yield();
      ASSERT_EQ(::ioctl(fds_[0], FIONREAD, &queued), 0);
    } while (queued < 4096);
    closeReader();
  });
  EXPECT_EQ(writeAll(fds_[1], data), WriteOutcome::partial);
  closer.join();
}

}  // namespace
}  // namespace qx
