#include "platform/linux/x264/x264_session.h"

#include <pthread.h>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

extern "C" {
#include <x264.h>
}

#include "platform/linux/x264/session_job.h"
#include "platform/linux/x264/x264_settings.h"

namespace qx {

namespace {

using namespace session_status;

struct X264Closer {
  void operator()(x264_t* h) const { x264_encoder_close(h); }
};
using X264Handle = std::unique_ptr<x264_t, X264Closer>;

// Stream timestamps handed to x264 (and its VUI timing): the 90 kHz video clock.
constexpr std::int64_t kTimebase = 90'000;

using session_job::Job;
using session_job::mergeInto;

class X264Session final : public CompressionSession {
 public:
  X264Session(CompressionSessionParams params, X264SessionOptions options)
      : width_(params.width),
        height_(params.height),
        lowLatency_(params.encoderRequest && params.encoderRequest->enableLowLatencyRateControl),
        output_(std::move(params.output)),
        options_(std::move(options)) {}

  ~X264Session() override {
    {
      std::lock_guard g(m_);
      stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  std::int32_t setProperty(std::string_view key, const PropertyValue& value) override {
    std::lock_guard g(m_);
    x264::SessionSettings next = desired_;
    const std::int32_t status = x264::applyProperty(next, key, value, prepared_);
    if (status != kOk) return status;
    desired_ = std::move(next);
    if (prepared_) {
      // Applied by the encoder thread before its next frame: reconfiguring
      // during x264_encoder_encode is not allowed.
      settingsDirty_ = true;
      wake_.notify_all();
    }
    return kOk;
  }

  std::int32_t prepare() override {
    std::unique_lock lk(m_);
    if (prepared_) return openStatus_;
    prepared_ = true;
    x264::SessionSettings settings = desired_;
    lk.unlock();
    const std::int32_t status = open(settings);
    lk.lock();
    openStatus_ = status;
    if (status == kOk) {
      thread_ = std::thread([this] { run(); });
    }
    return status;
  }

  std::int32_t encode(PixelBufferRef buffer, MediaTime pts, const std::optional<FrameOptions>& options) override {
    if (!buffer || buffer->width() != width_ || buffer->height() != height_) return kInvalidParameter;
    std::lock_guard g(m_);
    if (!prepared_ || openStatus_ != kOk || finished_) return kSessionInvalid;
    Job job{std::move(buffer), pts, options.value_or(FrameOptions{})};
    if (static_cast<int>(queue_.size()) >= options_.queueDepth) {
      // The newest picture is the one worth encoding; a request carried by the
      // frame it replaces must not be lost with it.
      mergeInto(job.options, std::move(queue_.front().options));
      queue_.pop_front();
    }
    queue_.push_back(std::move(job));
    wake_.notify_all();
    return kOk;
  }

  void completeFrames() override {
    std::unique_lock lk(m_);
    if (!thread_.joinable()) return;
    flushRequested_ = true;
    wake_.notify_all();
    done_.wait(lk, [&] { return !flushRequested_ || stop_; });
  }

 private:
  std::int32_t open(const x264::SessionSettings& settings) {
    const bool ll = lowLatency_;
    if (x264_param_default_preset(&param_, ll ? options_.lowLatencyPreset.c_str() : options_.classicPreset.c_str(),
                                  ll ? "zerolatency" : nullptr) < 0) {
      return kEncoderMalfunction;
    }
    param_.i_width = width_;
    param_.i_height = height_;
    param_.i_csp = X264_CSP_NV12;
    param_.i_log_level = X264_LOG_NONE;
    param_.i_threads = X264_THREADS_AUTO;
    // Both modes are real-time encoders: sliced threads share each frame, so
    // it comes out of its own encode call. Frame threads would hold every
    // frame until threads - 1 more arrive, which on a still screen (one
    // frame per 2 s) delays a keyframe by many seconds.
    param_.b_sliced_threads = 1;
    if (!ll) {
      // Real time: no lookahead queue either (zerolatency sets the same).
      param_.rc.i_lookahead = 0;
      param_.i_sync_lookahead = 0;
      param_.rc.b_mb_tree = 0;
    }
    param_.i_bframe = 0;
    param_.b_open_gop = 0;
    param_.b_annexb = 0;
    param_.b_repeat_headers = 0;
    param_.b_aud = 0;
    // No HRD signalling: the parameter sets then do not depend on the rate.
    param_.i_nal_hrd = X264_NAL_HRD_NONE;
    param_.i_scenecut_threshold = 0;
    param_.i_keyint_max = x264::keyframeInterval(settings, X264_KEYINT_MAX_INFINITE);
    param_.i_keyint_min = 1;
    param_.vui.i_colorprim = 1;  // BT.709
    param_.vui.i_transfer = 1;
    param_.vui.i_colmatrix = 1;
    param_.vui.b_fullrange = 0;
    // Rate control by the expected frame rate: with timestamp-driven (VFR)
    // rate control x264 holds every frame back until the next one arrives.
    param_.b_vfr_input = 0;
    param_.i_timebase_num = 1;
    param_.i_timebase_den = kTimebase;
    if (settings.fpsIsInteger) {
      param_.i_fps_num = static_cast<std::uint32_t>(settings.fps);
      param_.i_fps_den = 1;
    } else {
      param_.i_fps_num = static_cast<std::uint32_t>(std::lround(settings.fps * 1000.0));
      param_.i_fps_den = 1000;
    }
    applyRate(param_, x264::mapRate(settings.rate));
    const char* profile = "high";
    switch (settings.profile) {
      case x264::Profile::baseline: profile = "baseline"; break;
      case x264::Profile::main: profile = "main"; break;
      case x264::Profile::high:
      case x264::Profile::constrainedHigh: profile = "high"; break;
    }
    if (x264_param_apply_profile(&param_, profile) < 0) return kEncoderMalfunction;
    appliedRate_ = settings.rate;
    opened_ = settings;
    encoder_.reset(x264_encoder_open(&param_));
    if (!encoder_) return kEncoderMalfunction;
    x264_encoder_parameters(encoder_.get(), &param_);
    return readHeaders() ? kOk : kEncoderMalfunction;
  }

  static void applyRate(x264_param_t& param, const x264::RateMapping& r) {
    if (r.method != x264::RateMethod::defaultQuality) {
      param.rc.i_rc_method = r.method == x264::RateMethod::abr ? X264_RC_ABR : X264_RC_CRF;
      param.rc.i_bitrate = r.bitrateKbps;
      if (r.method == x264::RateMethod::cappedQuality) param.rc.f_rf_constant = static_cast<float>(r.rateFactor);
      param.rc.i_vbv_max_bitrate = r.vbvMaxKbps;
      param.rc.i_vbv_buffer_size = r.vbvBufferKbit;
      param.rc.b_filler = r.filler ? 1 : 0;
    }
    if (r.qpMax) param.rc.i_qp_max = *r.qpMax;
  }

  // SPS and PPS without their length prefixes; x264's SEI is left out.
  // Read once, at open, before any frame is in flight.
  bool readHeaders() {
    x264_nal_t* nals = nullptr;
    int count = 0;
    if (x264_encoder_headers(encoder_.get(), &nals, &count) < 0) return false;
    std::vector<std::vector<std::uint8_t>> sets;
    for (int type : {NAL_SPS, NAL_PPS}) {
      for (int i = 0; i < count; ++i) {
        if (nals[i].i_type != type || nals[i].i_payload <= 4) continue;
        sets.emplace_back(nals[i].p_payload + 4, nals[i].p_payload + nals[i].i_payload);
      }
    }
    if (sets.size() != 2) return false;
    parameterSets_ = std::move(sets);
    return true;
  }

  // Encoder thread.
  void run() {
    pthread_setname_np(pthread_self(), "qx-x264");
    std::unique_lock lk(m_);
    for (;;) {
      wake_.wait(lk, [&] { return stop_ || settingsDirty_ || !queue_.empty() || flushRequested_; });
      if (stop_) break;
      if (settingsDirty_) {
        settingsDirty_ = false;
        const x264::RateSettings rate = desired_.rate;
        lk.unlock();
        reconfigure(rate);
        lk.lock();
        continue;
      }
      if (!queue_.empty()) {
        Job job = std::move(queue_.front());
        queue_.pop_front();
        lk.unlock();
        encodeOne(job);
        job.buffer.reset();
        lk.lock();
        continue;
      }
      if (flushRequested_) {
        lk.unlock();
        const bool hadDelayed = flush();
        lk.lock();
        if (hadDelayed) finished_ = true;  // x264 cannot take frames after a flush
        flushRequested_ = false;
        done_.notify_all();
      }
    }
    done_.notify_all();
  }

  void reconfigure(const x264::RateSettings& rate) {
    if (rate == appliedRate_) return;
    x264_param_t next = param_;
    applyRate(next, x264::mapRate(rate));
    if (x264_encoder_reconfig(encoder_.get(), &next) < 0) return;  // the previous settings stay
    x264_encoder_parameters(encoder_.get(), &param_);
    appliedRate_ = rate;
    // The parameter sets stay those read at open: without HRD signalling a
    // rate change leaves them as they were, and x264_encoder_headers would
    // write into the output of a frame that a frame thread is still encoding.
  }

  void encodeOne(const Job& job) {
    x264_picture_t pic;
    x264_picture_init(&pic);
    pic.img.i_csp = X264_CSP_NV12;
    pic.img.i_plane = 2;
    for (int p = 0; p < 2; ++p) {
      // x264 copies the picture in x264_encoder_encode and never writes to it.
      pic.img.plane[p] = const_cast<std::uint8_t*>(std::as_const(*job.buffer).plane(p));
      pic.img.i_stride[p] = job.buffer->stride(p);
    }
    std::int64_t ticks = session_job::toTicks(job.pts, kTimebase);
    if (lastTicks_ && ticks <= *lastTicks_) ticks = *lastTicks_ + 1;  // x264 needs increasing pts
    lastTicks_ = ticks;
    pic.i_pts = ticks;
    if (job.options.forceKeyframe || job.options.forceLTRRefresh ||
        x264::keyframeDueByDuration(opened_, lastKeyTicks_, ticks, kTimebase)) {
      pic.i_type = X264_TYPE_IDR;
      lastKeyTicks_ = ticks;
    }
    pending_[ticks] = job.pts;
    encodeAndEmit(&pic);
  }

  bool flush() {
    bool any = false;
    while (x264_encoder_delayed_frames(encoder_.get()) > 0) {
      any = true;
      if (!encodeAndEmit(nullptr)) break;
    }
    return any;
  }

  // Encodes `in` (null: drains a delayed frame) and hands whatever frame
  // comes out to the output callback. False when x264 failed.
  bool encodeAndEmit(x264_picture_t* in) {
    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_picture_t out;
    x264_picture_init(&out);
    const int size = x264_encoder_encode(encoder_.get(), &nals, &count, in, &out);
    if (size < 0) {
      if (in) pending_.erase(in->i_pts);
      output_(kEncoderMalfunction, nullptr);
      return false;
    }
    if (size == 0 || count == 0) return true;  // nothing came out for this call
    EncodedSample sample;
    // x264 keeps a frame's NAL units contiguous, each after its 4-byte size.
    sample.data.emplace(nals[0].p_payload, nals[0].p_payload + size);
    sample.notSync = out.b_keyframe == 0;
    if (out.b_keyframe) lastKeyTicks_ = out.i_pts;  // also those x264 placed by the frame limit
    sample.parameterSets = parameterSets_;
    if (auto it = pending_.find(out.i_pts); it != pending_.end()) {
      sample.presentationTime = it->second;
      pending_.erase(it);
    } else {
      sample.presentationTime = MediaTime::make(out.i_pts, static_cast<std::int32_t>(kTimebase));
    }
    output_(kOk, &sample);
    return true;
  }

  const std::int32_t width_;
  const std::int32_t height_;
  const bool lowLatency_;
  const CompressionOutputCallback output_;
  const X264SessionOptions options_;

  std::mutex m_;
  std::condition_variable wake_;
  std::condition_variable done_;
  x264::SessionSettings desired_;  // m_
  bool prepared_ = false;          // m_
  std::int32_t openStatus_ = kOk;  // m_
  bool settingsDirty_ = false;     // m_
  bool flushRequested_ = false;    // m_
  bool finished_ = false;          // m_
  bool stop_ = false;              // m_
  std::deque<Job> queue_;          // m_

  // Encoder thread only (and prepare, before the thread starts).
  x264_param_t param_{};
  X264Handle encoder_;
  x264::RateSettings appliedRate_;
  x264::SessionSettings opened_;  // as of open; only the rate changes later
  std::optional<std::int64_t> lastKeyTicks_;
  std::vector<std::vector<std::uint8_t>> parameterSets_;
  std::map<std::int64_t, MediaTime> pending_;
  std::optional<std::int64_t> lastTicks_;

  std::thread thread_;
};

}  // namespace

CompressionSessionFactory x264SessionFactory(const X264SessionOptions& options) {
  return [options](CompressionSessionParams params) {
    CompressionSessionCreateResult result;
    if (params.width <= 0 || params.height <= 0 || params.width % 2 != 0 || params.height % 2 != 0 || !params.output) {
      result.status = kInvalidParameter;
      return result;
    }
    result.status = kOk;
    result.session = std::make_unique<X264Session>(std::move(params), options);
    return result;
  };
}

}  // namespace qx
