// Encodes 1920x1080 at 30 fps (a moving desktop-like picture, fed in real
// time; then the noisy pattern for comparison) through H264Encoder on x264,
// for each mode and low-latency preset, and prints:
// median and p99 latency from submission until the access unit is written,
// CPU time per frame, the achieved bitrate against the 8 Mbit/s target, and
// the SSIM of the decoded stream against the source (ffmpeg).
//
// Usage: bench_encode [frames [directory]]   (default 150 frames; the
// streams and the raw source are kept in `directory` when given)

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch.h"
#include "platform/linux/x264/x264_session.h"
#include "tests/backend/video/nv12_pattern.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "video/h264_encoder.h"

namespace {

using namespace qx;
using Steady = std::chrono::steady_clock;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFps = 30;
constexpr std::int64_t kBitrate = 8'000'000;
constexpr int kDistinctFrames = 60;  // the source loops over these

class SystemClock final : public qx::Clock {
 public:
  std::chrono::nanoseconds monotonicNow() const override { return Steady::now().time_since_epoch(); }
  std::int64_t hostNanos() const override { return monotonicNow().count(); }
  std::chrono::system_clock::time_point wallNow() const override { return std::chrono::system_clock::now(); }
  void sleepFor(std::chrono::nanoseconds d) override { std::this_thread::sleep_for(d); }
};

// Wraps the x264 factory to time each frame from encode() until the output
// callback (which writes the access unit) has returned.
class TimedSessions {
 public:
  explicit TimedSessions(CompressionSessionFactory inner) : inner_(std::move(inner)) {}

  CompressionSessionFactory factory() {
    return [this](CompressionSessionParams params) {
      auto downstream = std::move(params.output);
      params.output = [this, downstream](std::int32_t status, const EncodedSample* s) {
        downstream(status, s);
        if (!s) return;
        const auto done = Steady::now();
        std::lock_guard g(m_);
        if (auto it = submitted_.find(s->presentationTime.value); it != submitted_.end()) {
          latenciesMs_.push_back(std::chrono::duration<double, std::milli>(done - it->second).count());
          submitted_.erase(it);
        }
      };
      auto result = inner_(std::move(params));
      if (result.session) {
        inner_session_ = result.session.get();
        result.session = std::make_unique<Session>(std::move(result.session), this);
      }
      return result;
    };
  }
  std::vector<double> latencies() {
    std::lock_guard g(m_);
    return latenciesMs_;
  }
  void completeFrames() { inner_session_->completeFrames(); }

 private:
  class Session final : public CompressionSession {
   public:
    Session(std::unique_ptr<CompressionSession> inner, TimedSessions* owner)
        : inner_(std::move(inner)), owner_(owner) {}
    std::int32_t setProperty(std::string_view k, const PropertyValue& v) override { return inner_->setProperty(k, v); }
    std::int32_t prepare() override { return inner_->prepare(); }
    std::int32_t encode(PixelBufferRef b, MediaTime pts, const std::optional<FrameOptions>& o) override {
      {
        std::lock_guard g(owner_->m_);
        owner_->submitted_[pts.value] = Steady::now();
      }
      return inner_->encode(std::move(b), pts, o);
    }
    void completeFrames() override { inner_->completeFrames(); }

   private:
    std::unique_ptr<CompressionSession> inner_;
    TimedSessions* owner_;
  };

  CompressionSessionFactory inner_;
  CompressionSession* inner_session_ = nullptr;
  std::mutex m_;
  std::map<std::int64_t, Steady::time_point> submitted_;
  std::vector<double> latenciesMs_;
};

double processCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto idx = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(idx, v.size() - 1)];
}

// Decodes `stream` to raw NV12 first: compared straight from the elementary
// stream, the decoder's timestamps do not line up with the raw source's.
std::string ssimOf(const std::string& stream, const std::string& source, int frames) {
  const std::string decoded = stream + ".nv12";
  test::Process::Options decode;
  // clang-format off
  decode.args = {"/usr/bin/ffmpeg", "-nostdin", "-v", "quiet", "-f", "h264", "-i", stream,
                 "-f", "rawvideo", "-pix_fmt", "nv12", "-y", decoded};
  // clang-format on
  test::run(decode, std::chrono::minutes(5));
  test::Process::Options compare;
  const std::string size = std::to_string(kWidth) + "x" + std::to_string(kHeight);
  // clang-format off
  compare.args = {"/usr/bin/ffmpeg", "-nostdin", "-nostats", "-v", "info",
                  "-f", "rawvideo", "-framerate", "30", "-pix_fmt", "nv12", "-s", size, "-i", decoded,
                  "-stream_loop", "-1", "-f", "rawvideo", "-framerate", "30", "-pix_fmt", "nv12", "-s", size, "-i", source,
                  "-frames:v", std::to_string(frames), "-lavfi", "[0:v][1:v]ssim=shortest=1", "-f", "null", "-"};
  // clang-format on
  auto r = test::run(compare, std::chrono::minutes(5));
  ::unlink(decoded.c_str());
  const auto at = r.err.rfind("All:");
  if (at == std::string::npos) return "n/a";
  return r.err.substr(at + 4, r.err.find(' ', at + 4) - at - 4);
}

struct Source {
  const char* name;
  test::Pattern pattern;
};

struct Mode {
  const char* name;
  bool lowLatency;
  const char* preset;
};

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::max(30, std::atoi(argv[1])) : 150;
  test::TempDir tmp;
  const std::string keep = argc > 2 ? argv[2] : "";
  const auto file = [&](const std::string& name) { return keep.empty() ? tmp.file(name) : keep + "/" + name; };
  const auto makeSource = [&](test::Pattern pattern, const std::string& path) {
    std::vector<PixelBufferRef> pictures;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    for (int i = 0; i < kDistinctFrames; ++i) {
      auto f = test::patternFrame(kWidth, kHeight, i, pattern);
      for (int p = 0; p < 2; ++p) {
        const int rows = p == 0 ? kHeight : kHeight / 2;
        for (int r = 0; r < rows; ++r) {
          if (::write(fd, f->plane(p) + static_cast<std::ptrdiff_t>(r) * f->stride(p), kWidth) != kWidth) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            std::exit(1);
          }
        }
      }
      pictures.push_back(std::move(f));
    }
    ::close(fd);
    return pictures;
  };

  const Mode modes[] = {{"low-latency", true, "ultrafast"},
                        {"low-latency", true, "superfast"},
                        {"low-latency", true, "veryfast"},
                        {"classic", false, "veryfast"}};
  std::printf("1920x1080 @ %d fps, %d frames fed in real time, target %.1f Mbit/s, %u hardware threads\n", kFps, frames,
              static_cast<double>(kBitrate) / 1e6, std::thread::hardware_concurrency());
  const Source sources[] = {{"screen", test::Pattern::screen}, {"noisy", test::Pattern::noisy}};
  for (const Source& src : sources) {
    const std::string sourcePath = file(std::string(src.name) + ".nv12");
    const std::vector<PixelBufferRef> source = makeSource(src.pattern, sourcePath);
    std::printf("\n%s pattern%s\n", src.name,
                src.pattern == test::Pattern::screen
                    ? " (scrolling text, a sliding gradient window, a cursor: what the presets are chosen on)"
                    : " (fresh noise in every frame: no screen looks like this; for comparison only)");
    std::printf("%-12s %-10s %9s %9s %11s %12s %8s\n", "mode", "preset", "p50 ms", "p99 ms", "cpu ms/fr", "Mbit/s",
                "SSIM");
    std::vector<std::pair<const char*, double>> lowLatencySsim;
    for (const Mode& mode : modes) {
      const H264EncoderConfig config{.width = kWidth,
                                     .height = kHeight,
                                     .fps = kFps,
                                     .bitrate = kBitrate,
                                     .rc = "vbr",
                                     .peakMax = 0,
                                     .lowLatency = mode.lowLatency,
                                     .ltr = false};
      SystemClock clock;
      // Pass 1, real time: latency and CPU. A frame that arrives while two
      // wait is dropped, as in production.
      std::vector<double> lat;
      double cpuMs = 0;
      {
        const int fd = ::open("/dev/null", O_WRONLY);
        AnnexBWriter writer(fd);
        TimedSessions sessions(
            x264SessionFactory({.lowLatencyPreset = mode.preset, .classicPreset = mode.preset, .queueDepth = 2}));
        auto encoder = H264Encoder::create(config, writer, {sessions.factory(), &clock, [](std::string_view) {}});
        if (!encoder) return 1;
        const double cpu0 = processCpuSeconds();
        const auto start = Steady::now();
        for (int i = 0; i < frames; ++i) {
          std::this_thread::sleep_until(start + std::chrono::nanoseconds(std::int64_t{i} * 1'000'000'000 / kFps));
          encoder->encode(source[static_cast<std::size_t>(i % kDistinctFrames)],
                          MediaTime::fromHostNanos(std::int64_t{i} * 1'000'000'000 / kFps));
        }
        sessions.completeFrames();
        cpuMs = (processCpuSeconds() - cpu0) * 1000.0;
        lat = sessions.latencies();
        encoder.reset();
        ::close(fd);
      }
      // Pass 2, every frame encoded (nothing dropped): bitrate and SSIM.
      const std::string out = file(std::string(src.name) + "-" + mode.name + "-" + mode.preset + ".h264");
      const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      {
        AnnexBWriter writer(fd);
        TimedSessions sessions(x264SessionFactory(
            {.lowLatencyPreset = mode.preset, .classicPreset = mode.preset, .queueDepth = 1'000'000}));
        auto encoder = H264Encoder::create(config, writer, {sessions.factory(), &clock, [](std::string_view) {}});
        if (!encoder) return 1;
        for (int i = 0; i < frames; ++i) {
          encoder->encode(source[static_cast<std::size_t>(i % kDistinctFrames)],
                          MediaTime::fromHostNanos(std::int64_t{i} * 1'000'000'000 / kFps));
        }
        sessions.completeFrames();
      }
      const off_t bytes = ::lseek(fd, 0, SEEK_END);
      ::close(fd);
      const std::string ssim = ssimOf(out, sourcePath, frames);
      std::printf("%-12s %-10s %9.2f %9.2f %11.2f %6.2f/%-5.2f %8s   (%zu of %d frames out in real time)\n", mode.name,
                  mode.preset, percentile(lat, 0.5), percentile(lat, 0.99), cpuMs / static_cast<double>(lat.size()),
                  static_cast<double>(bytes) * 8.0 / (static_cast<double>(frames) / kFps) / 1e6,
                  static_cast<double>(kBitrate) / 1e6, ssim.c_str(), lat.size(), frames);
      std::fflush(stdout);
      if (mode.lowLatency && ssim != "n/a")
        lowLatencySsim.emplace_back(mode.preset, std::strtod(ssim.c_str(), nullptr));
    }
    // The rule: the fastest preset whose SSIM stays within 0.01 of
    // veryfast's (the presets above run fastest first).
    if (src.pattern == test::Pattern::screen) {
      const auto reference = std::find_if(lowLatencySsim.begin(), lowLatencySsim.end(),
                                          [](const auto& p) { return p.first == std::string("veryfast"); });
      if (reference == lowLatencySsim.end()) {
        std::printf("no low-latency preset chosen: veryfast has no SSIM\n");
      } else {
        for (const auto& [preset, value] : lowLatencySsim) {
          if (value >= reference->second - 0.01) {
            std::printf("low-latency preset by the rule: %s\n", preset);
            break;
          }
        }
      }
    }
  }
  return 0;
}
