// The helper with "--audio-fd" end to end: a private sound server plays a
// tone into its null sink, the helper records the sink's monitor under Xvfb,
// and the test decodes the length-prefixed Opus packets it writes.

#include <gtest/gtest.h>
#include <opus.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "tests/backend/audio/tone.h"
#include "tests/support/process.h"
#include "tests/support/pulse_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/x_server.h"

namespace qx {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Reads frames (2-byte big-endian length, then the packet) from a pipe on
// its own thread, noting when each whole frame arrived.
class FrameReader {
 public:
  explicit FrameReader(int fd) : fd_(fd), thread_([this] { run(); }) {}
  ~FrameReader() { stop(); }

  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  struct Frame {
    std::vector<std::uint8_t> packet;
    SteadyClock::time_point arrived;
  };
  std::vector<Frame> frames() {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  std::size_t leftoverBytes() {
    std::lock_guard lock(mutex_);
    return bytes_.size();
  }

 private:
  void run() {
    std::uint8_t buf[8192];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) return;
      const auto now = SteadyClock::now();
      std::lock_guard lock(mutex_);
      bytes_.insert(bytes_.end(), buf, buf + n);
      for (;;) {
        if (bytes_.size() < 2) break;
        const std::size_t length = (std::size_t{bytes_[0]} << 8) | bytes_[1];
        if (bytes_.size() < 2 + length) break;
        frames_.push_back(
            {std::vector<std::uint8_t>(bytes_.begin() + 2, bytes_.begin() + 2 + static_cast<long>(length)), now});
        bytes_.erase(bytes_.begin(), bytes_.begin() + 2 + static_cast<long>(length));
      }
    }
  }

  const int fd_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::uint8_t> bytes_;  // guarded by mutex_
  std::vector<Frame> frames_;        // guarded by mutex_
  std::thread thread_;
};

std::string helperPath() { return test::bundleProgram("quorvex-screencap"); }

test::Process::Options helperOptions(const test::XServer& x, std::map<std::string, std::string> env,
                                     std::vector<std::string> extraArgs) {
  test::Process::Options opts;
  opts.args = {helperPath(), "--fps", "10", "--max-width", "320"};
  opts.args.insert(opts.args.end(), extraArgs.begin(), extraArgs.end());
  opts.setEnv = std::move(env);
  opts.setEnv["DISPLAY"] = x.display();
  return opts;
}

TEST(HelperAudioTest, TonePlayedIntoTheSinkArrivesAsWhole20msStereoOpusPackets) {
  auto pulse = test::PulseServer::start();
  auto x = test::XServer::xvfb(640, 480);
  int audio[2];
  ASSERT_EQ(::pipe2(audio, O_CLOEXEC), 0);

  auto opts = helperOptions(*x, pulse->clientEnv(), {"--audio-fd", "3"});
  opts.extraFds = {{3, audio[1]}};
  test::Process helper(std::move(opts));
  ::close(audio[1]);
  FrameReader reader(audio[0]);

  ASSERT_TRUE(helper.pumpUntil([&] { return helper.err().find("capturing ") != std::string::npos; }, 20s))
      << helper.err();
  EXPECT_NE(helper.err().find("quorvex-screencap: audio: muxing system audio \u2192 Opus 48k stereo (fd 3)\n"),
            std::string::npos)
      << helper.err();

  test::TempDir dir;
  const std::string wav = dir.file("tone.wav");
  test::writeFile(wav, test::wavS16(test::sineS16(1000, 44100, 10 * 44100), 44100, 2));
  test::Process::Options play;
  play.args = {test::findOnPath("paplay"), wav};
  play.setEnv = pulse->clientEnv();
  play.pipeStdin = false;
  test::Process player(std::move(play));

  // Keep the video flowing (the helper blocks on a full standard output).
  const auto until = SteadyClock::now() + 9s;
  while (SteadyClock::now() < until) {
    helper.pump(100ms);
    (void)helper.takeOut();
  }
  reader.stop();
  const auto frames = reader.frames();
  EXPECT_EQ(reader.leftoverBytes() > 1502, false) << "more than a frame of unparsed bytes";

  // Pacing: one packet per 20 ms of captured audio, as it is captured.
  ASSERT_GE(frames.size(), 100u);
  const double span = std::chrono::duration<double>(frames.back().arrived - frames.front().arrived).count();
  ASSERT_GE(span, 5.0);
  const double perSecond = static_cast<double>(frames.size() - 1) / span;
  EXPECT_NEAR(perSecond, 50.0, 5.0) << frames.size() << " packets over " << span << " s";

  // Every packet: one 20-ms stereo frame that decodes at 48 kHz.
  int error = 0;
  OpusDecoder* decoder = opus_decoder_create(48000, 2, &error);
  ASSERT_EQ(error, OPUS_OK);
  std::vector<float> pcm;
  std::vector<float> out(5760 * 2);
  for (const auto& f : frames) {
    ASSERT_LE(f.packet.size(), 1500u);
    ASSERT_FALSE(f.packet.empty());
    EXPECT_EQ(opus_packet_get_nb_frames(f.packet.data(), static_cast<opus_int32>(f.packet.size())), 1);
    EXPECT_EQ(opus_packet_get_samples_per_frame(f.packet.data(), 48000), 960);
    EXPECT_EQ(opus_packet_get_nb_channels(f.packet.data()), 2);
    int n = opus_decode_float(decoder, f.packet.data(), static_cast<opus_int32>(f.packet.size()), out.data(), 5760, 0);
    ASSERT_EQ(n, 960);
    pcm.insert(pcm.end(), out.begin(), out.begin() + 2 * n);
  }
  opus_decoder_destroy(decoder);

  // The tone: skip silence and the first 200 ms of it, measure one second.
  std::size_t start = 0;
  while (start < pcm.size() && std::abs(pcm[start]) < 0.1f) ++start;
  start = (start / 2 + 9600) * 2;
  ASSERT_LT(start + 48000 * 2, pcm.size()) << "no second of tone in " << pcm.size() / 2 << " frames";
  auto window = std::span<const float>(pcm).subspan(start, 48000 * 2);
  const double tone = test::toneFrequency(window, 2, 48000);
  EXPECT_NEAR(tone, 1000.0, 10.0);
  std::printf("%zu packets over %.2f s (%.2f/s), tone %.2f Hz\n", frames.size(), span, perSecond, tone);
  auto right = window.subspan(1);
  EXPECT_NEAR(test::toneFrequency(right, 2, 48000), 1000.0, 10.0);

  // A reader that goes away: audio writes fail silently, the video goes on.
  ::close(audio[0]);
  (void)helper.takeOut();
  const auto after = SteadyClock::now() + 3s;
  std::size_t video = 0;
  while (SteadyClock::now() < after) {
    helper.pump(100ms);
    video += helper.takeOut().size();
  }
  EXPECT_GT(video, 0u) << "no video after the audio reader went away";
  EXPECT_FALSE(helper.wait(0ms).has_value()) << helper.err();

  helper.closeStdin();
  auto status = helper.wait(10s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0) << helper.err();
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A sound server missing at start, then started, stopped and started again:
// the video never stops, one line per change, and the audio comes back.
TEST(HelperAudioTest, VideoOutlivesTheSoundServerAndAudioComesBack) {
  auto pulse = test::PulseServer::start();
  pulse->stop();
  auto x = test::XServer::xvfb(640, 480);
  int audio[2];
  ASSERT_EQ(::pipe2(audio, O_CLOEXEC), 0);
  auto opts = helperOptions(*x, pulse->clientEnv(), {"--audio-fd", "3"});
  opts.extraFds = {{3, audio[1]}};
  test::Process helper(std::move(opts));
  ::close(audio[1]);
  FrameReader reader(audio[0]);
  auto videoBytesFor = [&](std::chrono::milliseconds d) {
    std::size_t bytes = helper.takeOut().size();
    for (const auto until = SteadyClock::now() + d; SteadyClock::now() < until;) {
      helper.pump(100ms);
      bytes += helper.takeOut().size();
    }
    return bytes;
  };
  auto audioGrows = [&] {
    const std::size_t before = reader.frames().size();
    return helper.pumpUntil(
        [&] {
          (void)helper.takeOut();
          return reader.frames().size() >= before + 25;
        },
        15s);
  };

  ASSERT_TRUE(helper.pumpUntil([&] { return helper.err().find("capturing ") != std::string::npos; }, 20s))
      << helper.err();
  EXPECT_GT(videoBytesFor(3s), 0u);
  EXPECT_EQ(count(helper.err(), "audio: no system audio: no sound server reachable"), 1u) << helper.err();
  EXPECT_TRUE(reader.frames().empty());

  pulse->startAgain();
  ASSERT_TRUE(audioGrows()) << helper.err();
  EXPECT_EQ(count(helper.err(), "audio: system audio is back"), 1u) << helper.err();

  pulse->stop();
  EXPECT_GT(videoBytesFor(3s), 0u) << "no video while the sound server is away";
  EXPECT_EQ(count(helper.err(), "audio: system audio stopped: "), 1u) << helper.err();
  pulse->startAgain();
  ASSERT_TRUE(audioGrows()) << helper.err();
  EXPECT_EQ(count(helper.err(), "audio: system audio is back"), 2u) << helper.err();
  EXPECT_EQ(count(helper.err(), "audio: no system audio"), 1u) << helper.err();

  helper.closeStdin();
  auto status = helper.wait(10s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0) << helper.err();
}

TEST(HelperAudioTest, StandardDescriptorsAndReadOnlyOnesAreRefused) {
  auto x = test::XServer::xvfb(640, 480);
  const std::pair<std::string, std::string> cases[] = {
      {"1", "start failed: audio descriptor 1 is the standard output"},
      {"0", "start failed: audio descriptor 0 is the standard input"},
      {"3", "start failed: audio descriptor 3 is not open for writing"},
      {"500", "start failed: audio descriptor 500 is not open"},
  };
  for (const auto& [fd, text] : cases) {
    int audio[2];
    ASSERT_EQ(::pipe2(audio, O_CLOEXEC), 0);
    auto opts = helperOptions(*x, {}, {"--audio-fd", fd});
    opts.extraFds = {{3, audio[0]}};  // the read end: not writable
    test::Process helper(std::move(opts));
    auto status = helper.wait(20s);
    ::close(audio[0]);
    ::close(audio[1]);
    ASSERT_TRUE(status.has_value()) << fd;
    EXPECT_EQ(*status, 1) << fd;
    EXPECT_NE(helper.err().find(text), std::string::npos) << helper.err();
  }
}

}  // namespace
}  // namespace qx
