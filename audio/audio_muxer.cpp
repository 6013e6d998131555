#include "audio/audio_muxer.h"

#include <fcntl.h>
#include <opus.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>
#include <cmath>
#include <string>

namespace qx {

namespace {

constexpr int kOutputRate = 48000;
constexpr int kOutputChannels = 2;
constexpr int kBitrate = 96000;
// Larger outputs than 10 s per buffer mean a malformed buffer, not audio.
constexpr double kMaxOutputFrames = 10.0 * kOutputRate;
constexpr int kMaxChannels = 64;
// One second of converted audio may wait for the encode queue.
constexpr std::size_t kMaxBacklogFloats = std::size_t{kOutputRate} * kOutputChannels;

// Gives the calling thread the best scheduling priority an unprivileged
// process may take: the nice ceiling RLIMIT_NICE grants (none by default).
// Real-time classes need privileges we do not assume.
void raiseThreadPriority() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NICE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
  long best = 20 - static_cast<long>(limit.rlim_cur);
  if (best < -20) best = -20;
  auto tid = static_cast<id_t>(::syscall(SYS_gettid));
  errno = 0;
  int current = ::getpriority(PRIO_PROCESS, tid);
  if (errno != 0 || best >= current) return;
  (void)::setpriority(PRIO_PROCESS, tid, static_cast<int>(best));
}

// The sample's frame count must agree with the PCM it carries, and the planes
// must hold that many frames: anything else is not safe to read.
bool wellFormed(const SampleBuffer& sample) {
  if (sample.numSamples < 1 || !sample.audioBuffer) return false;
  const AudioBuffer& b = *sample.audioBuffer;
  const AudioFormat& f = b.format;
  if (b.frameCount != sample.numSamples) return false;
  if (f.sampleRate < 1 || f.channels < 1 || f.channels > kMaxChannels) return false;
  const std::size_t bps = bytesPerSample(f.sampleFormat);
  if (bps == 0) return false;
  const auto frames = static_cast<std::size_t>(b.frameCount);
  const auto channels = static_cast<std::size_t>(f.channels);
  if (f.interleaved) return b.planes.size() == 1 && b.planes[0].size() >= frames * channels * bps;
  if (b.planes.size() != channels) return false;
  for (const auto& plane : b.planes) {
    if (plane.size() < frames * bps) return false;
  }
  return true;
}

std::optional<AudioError> refuseDescriptor(int fd) {
  auto fail = [fd](int code, const std::string& why) {
    return AudioError{std::string(kAudioErrorDomain), code, "audio descriptor " + std::to_string(fd) + " " + why};
  };
  static const char* const kStandard[] = {"input", "output", "error"};
  // The video stream, control lines and diagnostics live there; Opus frames
  // mixed into them would corrupt both.
  if (fd >= 0 && fd <= 2) return fail(EINVAL, std::string("is the standard ") + kStandard[fd]);
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return fail(errno, "is not open");
  if ((flags & O_PATH) != 0 || (flags & O_ACCMODE) == O_RDONLY) return fail(EBADF, "is not open for writing");
  return std::nullopt;
}

}  // namespace

AudioMuxer::AudioMuxer(int fd, AudioConverterFactory& converters, QueueFactory& queues, const Clock& clock, LogFn log)
    : fd_(fd),
      converters_(converters),
      clock_(clock),
      log_(std::move(log)),
      state_(std::make_shared<EncodeState>()),
      encodeQueue_(queues.makeSerialQueue("com.quorvex.screencap.audioencode", "qv-audioenc")) {
  state_->fd = fd;
  state_->log = log_;
  encodeQueue_->post(raiseThreadPriority);
}

AudioMuxer::~AudioMuxer() = default;

std::optional<AudioError> AudioMuxer::start() {
  if (auto refused = refuseDescriptor(fd_)) return refused;
  auto created = OpusEncoder::create(kOutputRate, kOutputChannels, kBitrate);
  if (auto* error = std::get_if<AudioError>(&created)) return *error;
  state_->encoder = std::move(std::get<std::unique_ptr<OpusEncoder>>(created));
  log_("audio: muxing system audio \u2192 Opus 48k stereo (fd " + std::to_string(fd_) + ")");
  return std::nullopt;
}

void AudioMuxer::ingest(const SampleBuffer& sample) {
  // First, so that every delivered buffer counts even when it is dropped.
  noteDelivery(static_cast<std::uint64_t>(clock_.monotonicNow().count()));
  if (!wellFormed(sample)) return;
  const AudioBuffer& buffer = *sample.audioBuffer;

  if (!converter_ || converter_->inputFormat() != buffer.format) {
    converter_ = converters_.make(buffer.format);
    if (!converter_) return;
  }

  const double capacity =
      std::trunc(static_cast<double>(buffer.frameCount) * (double{kOutputRate} / buffer.format.sampleRate)) + 1024;
  if (capacity > kMaxOutputFrames) return;
  converted_.resize(static_cast<std::size_t>(capacity) * kOutputChannels);

  // Never flushed: whatever the converter holds back comes out with the next buffer.
  std::optional<std::size_t> produced = converter_->convert(buffer, converted_);
  if (!produced || *produced == 0) return;

  const std::size_t floats = std::min(*produced * kOutputChannels, converted_.size());
  {
    std::lock_guard lock(state_->backlogMutex);
    std::vector<float>& backlog = state_->backlog;
    backlog.insert(backlog.end(), converted_.begin(), converted_.begin() + static_cast<std::ptrdiff_t>(floats));
    if (backlog.size() > kMaxBacklogFloats) {
      const std::size_t excess = backlog.size() - kMaxBacklogFloats;
      const std::size_t drop = (excess + kOpusFrameFloats - 1) / kOpusFrameFloats * kOpusFrameFloats;
      backlog.erase(backlog.begin(), backlog.begin() + static_cast<std::ptrdiff_t>(std::min(drop, backlog.size())));
    }
    if (state_->drainQueued) return;
    state_->drainQueued = true;
  }
  std::weak_ptr<EncodeState> weak = state_;
  encodeQueue_->post([weak] {
    if (auto state = weak.lock()) drainBacklog(*state);
  });
}

void AudioMuxer::drainBacklog(EncodeState& state) {
  std::vector<float> samples;
  {
    std::lock_guard lock(state.backlogMutex);
    samples.swap(state.backlog);
    state.drainQueued = false;
  }
  encodeWholeFrames(state, samples);
}

void AudioMuxer::encodeWholeFrames(EncodeState& state, std::span<const float> samples) {
  if (!state.encoder || state.stopped) return;
  state.pending.append(samples);
  state.pending.drainWholeFrames([&state](std::span<const float> frame) {
    if (state.stopped) return;
    unsigned char packet[kMaxOpusPacketBytes];
    opus_int32 length =
        opus_encode_float(state.encoder->enc(), frame.data(), static_cast<int>(kOpusFrameSamplesPerChannel), packet,
                          static_cast<opus_int32>(sizeof packet));
    if (length < 0) return;  // this 20 ms is skipped; the stream stays aligned
    std::vector<std::uint8_t> bytes = frameOpusPacket({packet, static_cast<std::size_t>(length)});
    if (writeAll(state.fd, bytes) == WriteOutcome::partial) {
      state.stopped = true;
      if (state.log) {
        state.log("audio: write to fd " + std::to_string(state.fd) + " failed inside a frame; audio output stopped");
      }
    }
  });
}

void AudioMuxer::noteDelivery(std::uint64_t nowNs) {
  if (auto line = gaps_.noteDelivery(nowNs)) log_(*line);
}

}  // namespace qx
