#include "audio/audio_muxer.h"
#include "audio/muxer_audio_sink.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <opus.h>

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <string>

#include "tests/fakes/fake_audio_converter.h"
#include "tests/fakes/manual_dispatch.h"

namespace qx {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr AudioFormat kStereo48k{SampleFormat::f32, 48000, 2, true};

SampleBuffer audioSample(const AudioFormat& format, int frames, double toneHz = 1000, int startFrame = 0) {
  auto buffer = std::make_shared<AudioBuffer>();
  buffer->format = format;
  buffer->frameCount = frames;
  std::vector<float> samples(static_cast<std::size_t>(frames) * 2);
  for (int i = 0; i < frames; ++i) {
    float v = static_cast<float>(0.5 * std::sin(2 * M_PI * toneHz * (startFrame + i) / format.sampleRate));
    samples[2 * static_cast<std::size_t>(i)] = v;
    samples[2 * static_cast<std::size_t>(i) + 1] = v;
  }
  buffer->planes.emplace_back(reinterpret_cast<const std::uint8_t*>(samples.data()),
                              reinterpret_cast<const std::uint8_t*>(samples.data() + samples.size()));
  SampleBuffer sample;
  sample.numSamples = frames;
  sample.audioBuffer = std::move(buffer);
  return sample;
}

// Reads every complete length-prefixed frame waiting on a non-blocking pipe.
std::vector<std::vector<std::uint8_t>> readFrames(int fd) {
  std::vector<std::uint8_t> bytes;
  std::uint8_t buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    bytes.insert(bytes.end(), buf, buf + n);
  }
  std::vector<std::vector<std::uint8_t>> frames;
  std::size_t at = 0;
  while (at + 2 <= bytes.size()) {
    std::size_t length = (std::size_t{bytes[at]} << 8) | bytes[at + 1];
    EXPECT_LE(at + 2 + length, bytes.size()) << "truncated frame";
    if (at + 2 + length > bytes.size()) break;
    frames.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at + 2),
                        bytes.begin() + static_cast<std::ptrdiff_t>(at + 2 + length));
    at += 2 + length;
  }
  EXPECT_EQ(at, bytes.size()) << "bytes after the last whole frame";
  return frames;
}

class AudioMuxerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);
    ASSERT_EQ(::pipe2(fds_, O_NONBLOCK), 0);
  }
  void TearDown() override {
    for (int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }
  std::unique_ptr<AudioMuxer> makeMuxer(int fd) {
    return std::make_unique<AudioMuxer>(fd, converters_, dispatch_, dispatch_.clock(),
                                        [this](std::string_view line) { lines_.emplace_back(line); });
  }

  int fds_[2] = {-1, -1};
  fake::ManualDispatch dispatch_;
  fake::FakeAudioConverterFactory converters_;
  std::vector<std::string> lines_;
};

TEST_F(AudioMuxerTest, StartLogsAndPacketsAreWhole20msOpusFrames) {
  auto muxer = makeMuxer(fds_[1]);
  ASSERT_EQ(muxer->start(), std::nullopt);
  EXPECT_THAT(lines_,
              ElementsAre("audio: muxing system audio \u2192 Opus 48k stereo (fd " + std::to_string(fds_[1]) + ")"));
  EXPECT_THAT(dispatch_.labels(), ElementsAre("com.quorvex.screencap.audioencode"));

  muxer->ingest(audioSample(kStereo48k, 2500));  // 5000 floats: two frames, 1160 left
  dispatch_.runDue();
  auto frames = readFrames(fds_[0]);
  ASSERT_EQ(frames.size(), 2u);

  muxer->ingest(audioSample(kStereo48k, 380, 1000, 2500));  // 1160 + 760 = 1920: one more
  dispatch_.runDue();
  auto more = readFrames(fds_[0]);
  ASSERT_EQ(more.size(), 1u);
  frames.push_back(more[0]);

  int error = 0;
  OpusDecoder* decoder = opus_decoder_create(48000, 2, &error);
  ASSERT_EQ(error, OPUS_OK);
  for (const auto& packet : frames) {
    ASSERT_LE(packet.size(), 1500u);
    EXPECT_EQ(opus_packet_get_nb_channels(packet.data()), 2);
    float pcm[5760 * 2];
    EXPECT_EQ(opus_decode_float(decoder, packet.data(), static_cast<opus_int32>(packet.size()), pcm, 5760, 0), 960);
  }
  opus_decoder_destroy(decoder);
}

TEST_F(AudioMuxerTest, RefusesDescriptorsItMustNotWriteTo) {
  struct Case {
    int fd;
    const char* text;
  };
  const int closedFd = ::dup(fds_[1]);
  ::close(closedFd);
  for (const Case& c :
       {Case{0, "audio descriptor 0 is the standard input"}, Case{1, "audio descriptor 1 is the standard output"},
        Case{2, "audio descriptor 2 is the standard error"}, Case{fds_[0], "is not open for writing"},
        Case{closedFd, "is not open"}}) {
    auto muxer = makeMuxer(c.fd);
    auto error = muxer->start();
    ASSERT_TRUE(error.has_value()) << c.fd;
    EXPECT_EQ(error->domain, "quorvex-screencap.audio");
    EXPECT_THAT(error->description, HasSubstr(c.text));
  }
  EXPECT_TRUE(lines_.empty());
}

TEST_F(AudioMuxerTest, NothingIsWrittenWithoutAStartedEncoder) {
  auto muxer = makeMuxer(fds_[1]);
  muxer->ingest(audioSample(kStereo48k, 4800));
  dispatch_.runDue();
  EXPECT_TRUE(readFrames(fds_[0]).empty());
}

TEST_F(AudioMuxerTest, ConverterIsReplacedOnlyWhenTheFormatChanges) {
  auto muxer = makeMuxer(fds_[1]);
  ASSERT_EQ(muxer->start(), std::nullopt);
  const AudioFormat stereo44k{SampleFormat::f32, 44100, 2, true};
  muxer->ingest(audioSample(kStereo48k, 480));
  muxer->ingest(audioSample(kStereo48k, 480));
  muxer->ingest(audioSample(stereo44k, 441));
  muxer->ingest(audioSample(stereo44k, 441));
  muxer->ingest(audioSample(kStereo48k, 480));
  const auto& record = converters_.record();
  ASSERT_EQ(record.made.size(), 3u);
  EXPECT_EQ(record.made[0], kStereo48k);
  EXPECT_EQ(record.made[1], stereo44k);
  EXPECT_EQ(record.made[2], kStereo48k);
  // Output room: truncate(n x 48000 / rate) + 1024 frames.
  EXPECT_THAT(record.capacities, ElementsAre(1504u, 1504u, 1504u, 1504u, 1504u));
  muxer->ingest(audioSample(stereo44k, 1000));
  EXPECT_EQ(record.capacities.back(), 1088u + 1024u);
}

TEST_F(AudioMuxerTest, DroppedBuffersStillCountForGapDetection) {
  auto muxer = makeMuxer(fds_[1]);
  ASSERT_EQ(muxer->start(), std::nullopt);
  lines_.clear();
  muxer->ingest(audioSample(kStereo48k, 480));
  const int converts = converters_.record().converts;

  dispatch_.clock().advance(std::chrono::milliseconds(100));
  SampleBuffer empty;  // no frames, no PCM
  muxer->ingest(empty);
  EXPECT_THAT(lines_, ElementsAre("audio: capture gap 100ms"));

  dispatch_.clock().advance(std::chrono::milliseconds(20));
  SampleBuffer lying = audioSample(kStereo48k, 480);
  lying.numSamples = 960;  // claims more frames than it carries
  muxer->ingest(lying);
  auto shortPlane = std::make_shared<AudioBuffer>(*audioSample(kStereo48k, 480).audioBuffer);
  shortPlane->planes[0].resize(100);
  SampleBuffer truncated;
  truncated.numSamples = 480;
  truncated.audioBuffer = shortPlane;
  muxer->ingest(truncated);
  EXPECT_EQ(converters_.record().converts, converts) << "malformed buffers must not reach the converter";
  EXPECT_EQ(lines_.size(), 1u);
}

TEST_F(AudioMuxerTest, ConversionFailuresQueueNothing) {
  auto muxer = makeMuxer(fds_[1]);
  ASSERT_EQ(muxer->start(), std::nullopt);
  dispatch_.runDue();
  *converters_.failConvert = true;
  muxer->ingest(audioSample(kStereo48k, 4800));
  EXPECT_EQ(dispatch_.pending(), 0u);

  converters_.refuseAll = true;
  muxer->ingest(audioSample(AudioFormat{SampleFormat::s16, 8000, 1, true}, 80));
  EXPECT_EQ(dispatch_.pending(), 0u);
}

TEST_F(AudioMuxerTest, WorkQueuedBeforeTheMuxerIsGoneIsDropped) {
  auto muxer = makeMuxer(fds_[1]);
  ASSERT_EQ(muxer->start(), std::nullopt);
  muxer->ingest(audioSample(kStereo48k, 4800));
  ASSERT_GT(dispatch_.pending(), 0u);
  muxer.reset();
  dispatch_.runDue();
  EXPECT_TRUE(readFrames(fds_[0]).empty());
}

TEST_F(AudioMuxerTest, AReaderThatWentAwayDoesNotStopIngest) {
  auto muxer = makeMuxer(fds_[1]);
  ASSERT_EQ(muxer->start(), std::nullopt);
  ::close(fds_[0]);
  fds_[0] = -1;
  for (int i = 0; i < 5; ++i) muxer->ingest(audioSample(kStereo48k, 960, 1000, i * 960));
  dispatch_.runDue();
  EXPECT_EQ(converters_.record().converts, 5);
  EXPECT_EQ(dispatch_.pending(), 0u);
}

TEST_F(AudioMuxerTest, AStalledEncodeQueueCostsTheOldestAudioNotMemory) {
  auto muxer = makeMuxer(fds_[1]);
  ASSERT_EQ(muxer->start(), std::nullopt);
  dispatch_.runDue();
  // Three seconds arrive while the encode queue is stuck: two of silence, then one of tone.
  for (int i = 0; i < 150; ++i) muxer->ingest(audioSample(kStereo48k, 960, i < 100 ? 0 : 1000, i * 960));
  EXPECT_EQ(dispatch_.pending(), 1u) << "one drain waits, not one task per buffer";
  dispatch_.runDue();
  const auto frames = readFrames(fds_[0]);
  ASSERT_EQ(frames.size(), 50u);
  int error = 0;
  OpusDecoder* decoder = opus_decoder_create(48000, 2, &error);
  ASSERT_EQ(error, OPUS_OK);
  std::size_t loud = 0;
  for (const auto& packet : frames) {
    float pcm[960 * 2];
    ASSERT_EQ(opus_decode_float(decoder, packet.data(), static_cast<opus_int32>(packet.size()), pcm, 960, 0), 960);
    loud += static_cast<std::size_t>(std::count_if(pcm, pcm + 1920, [](float v) { return std::abs(v) > 0.1f; }));
  }
  opus_decoder_destroy(decoder);
  EXPECT_GT(loud, 50u * 1920 / 2) << "the newest second, the tone, is what is kept";
}

TEST_F(AudioMuxerTest, SinkFactoryStartsTheMuxerOrReportsWhyNot) {
  AudioSinkFactory factory = muxingAudioSinkFactory(converters_, dispatch_, dispatch_.clock(),
                                                    [this](std::string_view line) { lines_.emplace_back(line); });
  auto refused = factory(1);
  ASSERT_TRUE(std::holds_alternative<PlatformError>(refused));
  EXPECT_EQ(std::get<PlatformError>(refused).domain, "quorvex-screencap.audio");
  EXPECT_EQ(std::get<PlatformError>(refused).description, "audio descriptor 1 is the standard output");

  auto made = factory(fds_[1]);
  ASSERT_TRUE(std::holds_alternative<std::shared_ptr<AudioSink>>(made));
  std::get<std::shared_ptr<AudioSink>>(made)->ingest(audioSample(kStereo48k, 960));
  dispatch_.runDue();
  EXPECT_EQ(readFrames(fds_[0]).size(), 1u);
  EXPECT_EQ(lines_.size(), 1u);  // the start line
}

}  // namespace
}  // namespace qx
