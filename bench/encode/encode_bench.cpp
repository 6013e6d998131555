// Encodes 1920x1080 at 30 fps (a moving desktop-like picture, fed in real
// time; then the noisy pattern for comparison) through H264Encoder on x264
// with loss recovery first (the helper's default path), then beside it on
// OpenH264 with long-term references (QX_H264_BACKEND=openh264) and on x264
// without recovery (`--ltr false`) for each mode and low-latency preset,
// and prints:
// median and p99 latency from submission until the access unit is written,
// CPU time per frame, the achieved bitrate against the 8 Mbit/s target, the
// largest quarter-second and one-second windows against the data-rate
// limits, and the SSIM of the decoded stream against the source (ffmpeg).
// Then, per backend, the bytes of a refresh frame (pictures acknowledged up
// to five frames before it, as after a loss, then "ltr-refresh") against an
// IDR forced on the same content.
//
// Usage: bench_encode [frames [directory [levers|flood|invalidate]]]   (default
// 150 frames; the streams and the raw source are kept in `directory` when
// given, "-" for none; "levers" compares OpenH264's settings instead of x264's
// presets; "flood" asks for a keyframe before every frame at 2 Mbit/s, through
// the server's keyframe throttle and without it, and prints the largest 2 s
// window against the target; "invalidate" weighs x264 with reference
// invalidation as the recovery path: CPU per frame with deeper DPBs beside
// the default path, then a simulated loss, decoded with and without the lost
// frames)

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <x264.h>
}

#include "platform/dispatch.h"
#include "platform/linux/openh264/openh264_session.h"
#include "platform/linux/x264/x264_session.h"
#include "platform/linux/x264/x264_settings.h"
#include "server/idr_throttle.h"
#include "tests/backend/video/nv12_pattern.h"
#include "tests/support/h264_decode.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "video/h264_encoder.h"
#include "video/rate_control.h"

namespace {

using namespace qx;
using Steady = std::chrono::steady_clock;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFps = 30;
constexpr std::int64_t kBitrate = 8'000'000;
constexpr int kDistinctFrames = 60;  // the source loops over these
constexpr std::int64_t kFloodBitrate = 2'000'000;

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
        if (afterOutput) afterOutput(*s);
        std::lock_guard g(m_);
        samples_.push_back({s->presentationTime.value, s->data ? s->data->size() : 0, !s->notSync.value_or(false)});
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
  struct Sample {
    std::int64_t pts;
    std::size_t bytes;
    bool keyframe;
  };
  std::vector<Sample> samples() {
    std::lock_guard g(m_);
    return samples_;
  }
  // Runs on the session's thread after each sample was written.
  std::function<void(const EncodedSample&)> afterOutput;
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
  std::vector<Sample> samples_;
};

// The most bytes in any window of `seconds` of presentation time (host nanoseconds).
std::size_t largestWindow(const std::vector<TimedSessions::Sample>& samples, double seconds) {
  const auto span = static_cast<std::int64_t>(seconds * 1e9);
  std::size_t best = 0;
  std::size_t sum = 0;
  std::size_t first = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    sum += samples[i].bytes;
    while (samples[i].pts - samples[first].pts >= span) sum -= samples[first++].bytes;
    best = std::max(best, sum);
  }
  return best;
}

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
  const char* preset;                 // x264's; none for OpenH264
  bool recovery = false;              // x264 with loss recovery; OpenH264 always has it
  OpenH264SessionOptions openh264{};  // the product's defaults unless a lever is being measured
};

bool withRecovery(const Mode& m) { return m.recovery || m.preset == nullptr; }

// The helper's default path.
const Mode kDefault{"default", true, "ultrafast", true};

Mode openh264Mode(const char* name, const std::function<void(OpenH264SessionOptions&)>& lever) {
  Mode m{name, true, nullptr};
  lever(m.openh264);
  return m;
}

H264EncoderConfig configFor(bool lowLatency, bool ltr, std::int64_t bitrate = kBitrate) {
  return {.width = kWidth,
          .height = kHeight,
          .fps = kFps,
          .bitrate = bitrate,
          .rc = "vbr",
          .peakMax = 0,
          .lowLatency = lowLatency,
          .ltr = ltr};
}

CompressionSessionFactory factoryFor(const Mode& mode, int queueDepth) {
  if (!mode.preset) {
    OpenH264SessionOptions options = mode.openh264;
    options.queueDepth = queueDepth;
    return openh264SessionFactory(options);
  }
  return x264SessionFactory({.lowLatencyPreset = mode.preset, .classicPreset = mode.preset, .queueDepth = queueDepth});
}

// A client asking for a keyframe before every frame (many clients joining, or
// one sending "idr" to /control in a loop) at 2 Mbit/s. The helper serves a
// request at its next frame; the server forwards at most one per throttle
// window. Times are presentation times, so a busy machine does not change
// which frames become keyframes.
void keyframeFlood(const std::vector<Mode>& modes, const std::vector<PixelBufferRef>& source, int frames) {
  std::printf("%-24s %-10s %-12s %9s %10s %16s\n", "mode", "preset", "throttle", "keyframes", "Mbit/s",
              "max 2 s Mbit/s");
  for (const Mode& mode : modes) {
    // Without requests first: what the encoder makes of the content at this
    // rate on its own.
    for (const char* requests : {"no requests", "500 ms", "none"}) {
      const bool asked = requests != std::string("no requests");
      const bool throttled = requests == std::string("500 ms");
      SystemClock clock;
      const int fd = ::open("/dev/null", O_WRONLY);
      AnnexBWriter writer(fd);
      TimedSessions sessions(factoryFor(mode, 1'000'000));
      auto encoder = H264Encoder::create(configFor(mode.lowLatency, withRecovery(mode), kFloodBitrate), writer,
                                         {sessions.factory(), &clock, [](std::string_view) {}});
      if (!encoder) std::exit(1);
      sessions.afterOutput = [&encoder](const EncodedSample& s) {
        if (s.ltrToken) encoder->acknowledge(*s.ltrToken);
      };
      server::IdrThrottle throttle;
      for (int i = 0; i < frames; ++i) {
        const std::int64_t pts = std::int64_t{i} * 1'000'000'000 / kFps;
        const server::IdrThrottle::Clock::time_point now{std::chrono::nanoseconds(pts)};
        const bool sent = throttled ? throttle.request(now) : asked;
        if (sent || (throttled && throttle.poll(now))) encoder->requestKeyframe();
        encoder->encode(source[static_cast<std::size_t>(i % kDistinctFrames)], MediaTime::fromHostNanos(pts));
      }
      sessions.completeFrames();
      sessions.afterOutput = nullptr;
      const auto samples = sessions.samples();
      std::size_t bytes = 0;
      int keyframes = 0;
      for (const auto& s : samples) {
        bytes += s.bytes;
        keyframes += s.keyframe ? 1 : 0;
      }
      const double worst = static_cast<double>(largestWindow(samples, 2.0)) * 8.0 / 2.0 / 1e6;
      std::printf("%-24s %-10s %-12s %9d %10.2f %9.2f (%.2fx)\n", mode.name, mode.preset ? mode.preset : "-", requests,
                  keyframes, static_cast<double>(bytes) * 8.0 / (static_cast<double>(frames) / kFps) / 1e6, worst,
                  worst * 1e6 / static_cast<double>(kFloodBitrate));
      std::fflush(stdout);
      encoder.reset();
      ::close(fd);
    }
  }
}

// x264 driven directly, set up as the session of `--ltr false` sets it up
// (ultrafast, zerolatency, sliced threads, no B-frames, the encoder's rate
// settings at 8 Mbit/s), but with `refs` pictures searched and a DPB of
// `dpb`, so x264_encoder_invalidate_reference can be called between frames.
struct X264Direct {
  x264_t* h = nullptr;
  int level = 0;
  X264Direct(const X264Direct&) = delete;
  ~X264Direct() { x264_encoder_close(h); }

  X264Direct(int refs, int dpb) {
    x264_param_t p;
    x264_param_default_preset(&p, "ultrafast", "zerolatency");
    p.i_width = kWidth;
    p.i_height = kHeight;
    p.i_csp = X264_CSP_NV12;
    p.i_log_level = X264_LOG_NONE;
    p.i_threads = X264_THREADS_AUTO;
    p.b_sliced_threads = 1;
    p.i_bframe = 0;  // intra refresh stays off, as by default
    p.i_nal_hrd = X264_NAL_HRD_NONE;
    p.i_scenecut_threshold = 0;
    p.i_keyint_max = X264_KEYINT_MAX_INFINITE;
    p.i_keyint_min = 1;
    p.b_vfr_input = 0;
    p.i_fps_num = kFps;
    p.i_fps_den = 1;
    p.i_timebase_num = 1;
    p.i_timebase_den = kFps;
    p.b_annexb = 1;  // the session writes length prefixes and converts; the same bytes otherwise
    p.b_repeat_headers = 1;
    const auto limits = rate_control::limitsFor(kBitrate, 0);
    h264::RateSettings rate;
    rate.averageBitrate = kBitrate;
    rate.dataRateLimits = {{limits.windowBytes, 0.25}, {limits.peakBytes, 1.0}};
    rate.maxFrameQP = static_cast<int>(rate_control::kMaxFrameQP);
    const auto r = x264::mapRate(rate);
    p.rc.i_rc_method = X264_RC_CRF;
    p.rc.f_rf_constant = static_cast<float>(r.rateFactor);
    p.rc.i_vbv_max_bitrate = r.vbvMaxKbps;
    p.rc.i_vbv_buffer_size = r.vbvBufferKbit;
    if (r.qpMax) p.rc.i_qp_max = *r.qpMax;
    if (x264_param_apply_profile(&p, "high") < 0) std::exit(1);
    p.i_frame_reference = refs;
    p.i_dpb_size = dpb;
    if (!(h = x264_encoder_open(&p))) std::exit(1);
    x264_encoder_parameters(h, &p);
    level = p.i_level_idc;
  }
  // One access unit, Annex B; `type` gets x264's frame type.
  std::string encode(const PixelBuffer& f, std::int64_t pts, bool idr, int* type = nullptr) {
    x264_picture_t in;
    x264_picture_t out;
    x264_picture_init(&in);
    x264_picture_init(&out);
    in.img.i_csp = X264_CSP_NV12;
    in.img.i_plane = 2;
    for (int p = 0; p < 2; ++p) {
      in.img.plane[p] = const_cast<std::uint8_t*>(f.plane(p));
      in.img.i_stride[p] = f.stride(p);
    }
    in.i_pts = pts;
    if (idr) in.i_type = X264_TYPE_IDR;
    x264_nal_t* nals = nullptr;
    int count = 0;
    const int size = x264_encoder_encode(h, &nals, &count, &in, &out);
    if (size < 0) std::exit(1);
    if (type) *type = out.i_type;
    return size > 0 ? std::string(reinterpret_cast<const char*>(nals[0].p_payload), static_cast<std::size_t>(size))
                    : std::string();
  }
};

struct Dpb {
  const char* name;
  int refs;
  int dpb;
};
constexpr Dpb kDpbs[] = {{"refs 1 (--ltr false)", 1, 0}, {"refs 2", 2, 0},         {"refs 3", 3, 0}, {"refs 4", 4, 0},
                         {"refs 1, dpb 4", 1, 4},        {"refs 1, dpb 16", 1, 16}};

void invalidationSpike(const std::vector<PixelBufferRef>& source, const std::string& sourcePath, int frames,
                       const std::function<std::string(const std::string&)>& file, const char* name) {
  const auto pic = [&](int i) -> const PixelBuffer& { return *source[static_cast<std::size_t>(i % kDistinctFrames)]; };
  std::printf("%-28s %9s %10s %8s %6s\n", "path", "cpu all", "Mbit/s", "SSIM", "level");
  const auto report = [&](const std::string& label, double cpuMs, const std::string& out, int level) {
    const int fd = ::open(out.c_str(), O_RDONLY);
    const off_t bytes = ::lseek(fd, 0, SEEK_END);
    ::close(fd);
    std::printf("%-28s %9.2f %10.2f %8s %6s\n", label.c_str(), cpuMs / frames,
                static_cast<double>(bytes) * 8.0 / (static_cast<double>(frames) / kFps) / 1e6,
                ssimOf(out, sourcePath, frames).c_str(), level ? std::to_string(level).c_str() : "-");
    std::fflush(stdout);
  };
  // The two product paths as the helper runs them, every frame encoded.
  for (const Mode& mode :
       {kDefault, Mode{"openh264", true, nullptr}, Mode{"x264 session, --ltr false", true, "ultrafast"}}) {
    const std::string out =
        file(std::string(name) + "-inv-" + (mode.preset ? (mode.recovery ? "default" : "x264") : "openh264") + ".h264");
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    SystemClock clock;
    AnnexBWriter writer(fd);
    TimedSessions sessions(factoryFor(mode, 1'000'000));
    auto encoder = H264Encoder::create(configFor(true, withRecovery(mode)), writer,
                                       {sessions.factory(), &clock, [](std::string_view) {}});
    if (!encoder) std::exit(1);
    sessions.afterOutput = [&encoder](const EncodedSample& s) {
      if (s.ltrToken) encoder->acknowledge(*s.ltrToken);
    };
    const double cpu0 = processCpuSeconds();
    for (int i = 0; i < frames; ++i)
      encoder->encode(source[static_cast<std::size_t>(i % kDistinctFrames)],
                      MediaTime::fromHostNanos(std::int64_t{i} * 1'000'000'000 / kFps));
    sessions.completeFrames();
    const double cpuMs = (processCpuSeconds() - cpu0) * 1000.0;
    sessions.afterOutput = nullptr;
    encoder.reset();
    ::close(fd);
    report(mode.name, cpuMs, out, 0);
  }
  for (const Dpb& d : kDpbs) {
    X264Direct x(d.refs, d.dpb);
    const std::string out =
        file(std::string(name) + "-inv-" + std::to_string(d.refs) + "-" + std::to_string(d.dpb) + ".h264");
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    AnnexBWriter writer(fd);
    const double cpu0 = processCpuSeconds();
    for (int i = 0; i < frames; ++i) {
      const std::string unit = x.encode(pic(i), i, false);
      writer.write({reinterpret_cast<const std::uint8_t*>(unit.data()), unit.size()});
    }
    const double cpuMs = (processCpuSeconds() - cpu0) * 1000.0;
    ::close(fd);
    report(std::string("x264 direct, ") + d.name, cpuMs, out, x.level);
  }
  // The loss: frames k+1..k+m never arrive; the client acknowledged k. The
  // refresh (after invalidating from k+1) and four P frames after it are
  // decoded without the lost frames and compared with the complete stream's.
  constexpr std::size_t k = 40;
  constexpr std::size_t kAfter = 4;
  std::printf("loss after acknowledged frame %zu: m frames lost, refresh = frame %zu + m + 1\n", k, k);
  for (const Dpb& d : kDpbs) {
    // The path as it is, without invalidation, shows that the comparison
    // catches a frame predicted from a lost picture.
    const bool control = d.refs == 1 && d.dpb == 0;
    for (std::size_t m = 1; m <= (control ? 1 : 5); ++m) {
      X264Direct x(d.refs, d.dpb);
      std::vector<std::string> units;
      int refreshType = 0;
      for (std::size_t i = 0; i <= k + m + kAfter + 1; ++i) {
        if (i == k + m + 1 && !control && x264_encoder_invalidate_reference(x.h, k + 1) < 0) std::exit(1);
        int type = 0;
        units.push_back(
            x.encode(pic(static_cast<int>(i)), static_cast<std::int64_t>(i), i == k + m + kAfter + 1, &type));
        if (i == k + m + 1) refreshType = type;
      }
      std::vector<std::string> received(units.begin(), units.begin() + k + 1);
      received.insert(received.end(), units.begin() + static_cast<std::ptrdiff_t>(k + m + 1),
                      units.begin() + static_cast<std::ptrdiff_t>(k + m + kAfter + 1));
      // The last kAfter pictures decoded without the lost frames against the
      // refresh and its followers decoded from everything, by both decoders.
      const auto identical = [&](auto decode) {
        const auto full = decode(std::span<const std::string>(units));
        const auto lossy = decode(std::span<const std::string>(received));
        int same = 0;
        for (std::size_t j = 0; j < kAfter && lossy.size() >= kAfter && full.size() > k + m + kAfter; ++j)
          same += lossy[lossy.size() - kAfter + j] == full[k + m + 1 + j] ? 1 : 0;
        return same;
      };
      std::size_t p = 0;
      for (std::size_t i = k - 9; i <= k; ++i) p += units[i].size();
      const std::size_t refresh = units[k + m + 1].size();
      const std::size_t idr = units.back().size();
      std::printf(
          "  %-16s m=%zu: refresh %-3s %6zu B, IDR %6zu B (%.2f), P %6zu B; refresh and after identical: "
          "libavcodec %d, OpenH264 %d of %zu\n",
          d.name, m, refreshType == X264_TYPE_P ? "P" : "IDR", refresh, idr,
          static_cast<double>(refresh) / static_cast<double>(idr), p / 10, identical(test::h264::decodeWithLibavcodec),
          identical(test::h264::decodeWithOpenH264), kAfter);
      std::fflush(stdout);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::max(30, std::atoi(argv[1])) : 150;
  test::TempDir tmp;
  const std::string keep = argc > 2 && std::string(argv[2]) != "-" ? argv[2] : "";
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

  // "levers": OpenH264's settings one at a time against its defaults, in
  // place of x264's presets.
  const bool levers = argc > 3 && std::string(argv[3]) == "levers";
  const bool flood = argc > 3 && std::string(argv[3]) == "flood";
  const bool invalidate = argc > 3 && std::string(argv[3]) == "invalidate";
  using Options = OpenH264SessionOptions;
  std::vector<Mode> modes = {kDefault, {"openh264", true, nullptr}};
  if (levers) {
    // Each lever on its own, from the settings before they were chosen: one
    // thread, adaptive quantisation and background detection on.
    const auto was = [](Options& o) {
      o.threads = 1;
      o.adaptiveQuant = o.backgroundDetection = true;
    };
    modes.push_back(openh264Mode("oh-was", was));
    modes.push_back(openh264Mode("oh-was-medium", [&](Options& o) {
      was(o);
      o.complexity = Options::Complexity::medium;
    }));
    modes.push_back(openh264Mode("oh-was-noaq-nobg", [&](Options& o) {
      was(o);
      o.adaptiveQuant = o.backgroundDetection = false;
    }));
    modes.push_back(openh264Mode("oh-was-cavlc", [&](Options& o) {
      was(o);
      o.cabac = false;
    }));
    modes.push_back(openh264Mode("oh-cavlc", [](Options& o) { o.cabac = false; }));
    modes.push_back(openh264Mode("oh-was-2thr", [&](Options& o) {
      was(o);
      o.threads = 2;
    }));
  } else {
    modes.insert(modes.end(), {{"low-latency", true, "ultrafast"},
                               {"low-latency", true, "superfast"},
                               {"low-latency", true, "veryfast"},
                               {"classic", false, "veryfast"}});
  }
  std::printf("1920x1080 @ %d fps, %d frames%s, target %.1f Mbit/s, %u hardware threads\n", kFps, frames,
              flood ? ", a keyframe asked for before each" : " fed in real time",
              static_cast<double>(flood ? kFloodBitrate : kBitrate) / 1e6, std::thread::hardware_concurrency());
  const Source sources[] = {{"screen", test::Pattern::screen}, {"noisy", test::Pattern::noisy}};
  for (const Source& src : sources) {
    const std::string sourcePath = file(std::string(src.name) + ".nv12");
    const std::vector<PixelBufferRef> source = makeSource(src.pattern, sourcePath);
    std::printf("\n%s pattern%s\n", src.name,
                src.pattern == test::Pattern::screen
                    ? " (scrolling text, a sliding gradient window, a cursor: what the presets are chosen on)"
                    : " (fresh noise in every frame: no screen looks like this; for comparison only)");
    if (invalidate) {
      invalidationSpike(source, sourcePath, frames, file, src.name);
      continue;
    }
    if (flood) {
      keyframeFlood({kDefault, {"openh264", true, nullptr}, {"low-latency", true, "ultrafast"}}, source, frames);
      continue;
    }
    std::printf("%-24s %-10s %9s %9s %11s %9s %12s %8s %13s %13s\n", "mode", "preset", "p50 ms", "p99 ms", "cpu ms/fr",
                "cpu all", "Mbit/s", "SSIM", "max 0.25 s", "max 1 s");
    std::vector<std::pair<const char*, double>> lowLatencySsim;
    for (const Mode& mode : modes) {
      const H264EncoderConfig config = configFor(mode.lowLatency, withRecovery(mode));
      SystemClock clock;
      // Pass 1, real time: latency and CPU. A frame that arrives while two
      // wait is dropped, as in production.
      std::vector<double> lat;
      double cpuMs = 0;
      {
        const int fd = ::open("/dev/null", O_WRONLY);
        AnnexBWriter writer(fd);
        TimedSessions sessions(factoryFor(mode, 2));
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
      // Pass 2, every frame encoded (nothing dropped): bitrate, windows and SSIM.
      std::pair<std::size_t, std::size_t> windows;
      double allCpuMs = 0;
      const std::string out =
          file(std::string(src.name) + "-" + mode.name + "-" + (mode.preset ? mode.preset : "openh264") + ".h264");
      const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      {
        AnnexBWriter writer(fd);
        TimedSessions sessions(factoryFor(mode, 1'000'000));
        auto encoder = H264Encoder::create(config, writer, {sessions.factory(), &clock, [](std::string_view) {}});
        if (!encoder) return 1;
        // A receiver that decodes everything acknowledges every mark.
        sessions.afterOutput = [&encoder](const EncodedSample& s) {
          if (s.ltrToken) encoder->acknowledge(*s.ltrToken);
        };
        // CPU per frame again with nothing dropped: steadier than the real-time
        // pass's on a busy machine, where drops change what is encoded.
        const double cpu0 = processCpuSeconds();
        for (int i = 0; i < frames; ++i) {
          encoder->encode(source[static_cast<std::size_t>(i % kDistinctFrames)],
                          MediaTime::fromHostNanos(std::int64_t{i} * 1'000'000'000 / kFps));
        }
        sessions.completeFrames();
        allCpuMs = (processCpuSeconds() - cpu0) * 1000.0 / frames;
        const auto samples = sessions.samples();
        windows = {largestWindow(samples, 0.25), largestWindow(samples, 1.0)};
        sessions.afterOutput = nullptr;
      }
      const off_t bytes = ::lseek(fd, 0, SEEK_END);
      ::close(fd);
      const std::string ssim = ssimOf(out, sourcePath, frames);
      const auto limits = rate_control::limitsFor(kBitrate, 0);
      std::printf(
          "%-24s %-10s %9.2f %9.2f %11.2f %9.2f %6.2f/%-5.2f %8s %6zu/%-6lld %7zu/%-7lld  (%zu of %d frames out in "
          "real "
          "time)\n",
          mode.name, mode.preset ? mode.preset : "-", percentile(lat, 0.5), percentile(lat, 0.99),
          cpuMs / static_cast<double>(lat.size()), allCpuMs,
          static_cast<double>(bytes) * 8.0 / (static_cast<double>(frames) / kFps) / 1e6,
          static_cast<double>(kBitrate) / 1e6, ssim.c_str(), windows.first / 1000,
          static_cast<long long>(limits.windowBytes / 1000), windows.second / 1000,
          static_cast<long long>(limits.peakBytes / 1000), lat.size(), frames);
      std::fflush(stdout);
      if (mode.lowLatency && mode.preset && !mode.recovery && ssim != "n/a")
        lowLatencySsim.emplace_back(mode.preset, std::strtod(ssim.c_str(), nullptr));
    }
    // A refresh after acknowledged marks against an IDR on the same content,
    // each frame waited for as a receiver in real time would.
    std::vector<Mode> refreshModes = {kDefault, openh264Mode("openh264", [](Options&) {})};
    if (levers) {
      refreshModes.push_back(modes[2]);
    } else {
      refreshModes.push_back({"low-latency", true, "ultrafast"});
      refreshModes.push_back(openh264Mode("openh264", [](Options& o) { o.ltrMarkPeriod = 30; }));
      refreshModes.push_back(openh264Mode("openh264", [](Options& o) { o.ltrMarkPeriod = 3; }));
    }
    for (const Mode& mode : refreshModes) {
      // The age of the newest acknowledged mark decides the cost, so the
      // refresh comes at several distances from the marks.
      std::vector<double> ratios;
      for (const int refreshAt : {64, 67, 70, 73}) {
        const H264EncoderConfig config = configFor(true, true);
        SystemClock clock;
        const int fd = ::open("/dev/null", O_WRONLY);
        AnnexBWriter writer(fd);
        TimedSessions sessions(factoryFor(mode, 2));
        auto encoder = H264Encoder::create(config, writer, {sessions.factory(), &clock, [](std::string_view) {}});
        if (!encoder) return 1;
        // Acknowledged up to five frames before the refresh: the frames
        // after that were lost, or their acknowledgements are on the way.
        const std::int64_t lastAcknowledged = std::int64_t{refreshAt - 5} * 1'000'000'000 / kFps;
        sessions.afterOutput = [&encoder, lastAcknowledged](const EncodedSample& s) {
          if (s.ltrToken && s.presentationTime.value <= lastAcknowledged) encoder->acknowledge(*s.ltrToken);
        };
        const int idrAt = refreshAt + 10;
        for (int i = 0; i < refreshAt + 20; ++i) {
          if (i == refreshAt) encoder->requestRefresh();
          if (i == idrAt) encoder->requestKeyframe();
          encoder->encode(source[static_cast<std::size_t>(i % kDistinctFrames)],
                          MediaTime::fromHostNanos(std::int64_t{i} * 1'000'000'000 / kFps));
          sessions.completeFrames();
        }
        sessions.afterOutput = nullptr;
        const auto samples = sessions.samples();
        const auto at = [&](int i) {
          const std::int64_t pts = std::int64_t{i} * 1'000'000'000 / kFps;
          for (const auto& s : samples) {
            if (s.pts == pts) return s;
          }
          return TimedSessions::Sample{pts, 0, false};
        };
        std::size_t predicted = 0;
        for (int i = refreshAt - 10; i < refreshAt; ++i) predicted += at(i).bytes;
        const auto refresh = at(refreshAt);
        const auto idr = at(idrAt);
        std::printf(
            "%s, refresh at frame %d: %zu KB (%s), IDR %zu KB, ordinary P frame %zu KB on average; refresh/IDR %.2f\n",
            mode.preset
                ? (mode.recovery ? "x264 (default)" : "x264, --ltr false")
                : (std::string(mode.name) + ", marks every " + std::to_string(mode.openh264.ltrMarkPeriod)).c_str(),
            refreshAt, refresh.bytes / 1000, refresh.keyframe ? "an IDR: nothing acknowledged held" : "predicted",
            idr.bytes / 1000, predicted / 10 / 1000,
            static_cast<double>(refresh.bytes) / static_cast<double>(idr.bytes));
        ratios.push_back(static_cast<double>(refresh.bytes) / static_cast<double>(idr.bytes));
        encoder.reset();
        ::close(fd);
      }
      std::sort(ratios.begin(), ratios.end());
      std::printf("  refresh/IDR over %zu positions: min %.2f, median %.2f, max %.2f\n", ratios.size(), ratios.front(),
                  (ratios[(ratios.size() - 1) / 2] + ratios[ratios.size() / 2]) / 2, ratios.back());
    }
    // The rule: the fastest preset whose SSIM stays within 0.01 of
    // veryfast's (the presets above run fastest first).
    if (!levers && src.pattern == test::Pattern::screen) {
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
