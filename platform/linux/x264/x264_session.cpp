#include "platform/linux/x264/x264_session.h"

#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

extern "C" {
#include <x264.h>
}

#include "platform/linux/h264/encoder_shell.h"
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

using h264::Job;

// libx264 as the encoder shell's step.
class X264Step final : public h264::EncodeStep {
 public:
  X264Step(CompressionSessionParams& params, X264SessionOptions options)
      : width_(params.width),
        height_(params.height),
        lowLatency_(params.encoderRequest && params.encoderRequest->enableLowLatencyRateControl),
        output_(std::move(params.output)),
        options_(std::move(options)) {}

  std::int32_t open(const h264::SessionSettings& settings) override {
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
    param_.i_keyint_max = h264::keyframeInterval(settings, X264_KEYINT_MAX_INFINITE);
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
      case h264::Profile::baseline: profile = "baseline"; break;
      case h264::Profile::main: profile = "main"; break;
      case h264::Profile::high:
      case h264::Profile::constrainedHigh: profile = "high"; break;
    }
    if (x264_param_apply_profile(&param_, profile) < 0) return kEncoderMalfunction;
    appliedRate_ = settings.rate;
    opened_ = settings;
    encoder_.reset(x264_encoder_open(&param_));
    if (!encoder_) return kEncoderMalfunction;
    x264_encoder_parameters(encoder_.get(), &param_);
    return readHeaders() ? kOk : kEncoderMalfunction;
  }

  void reconfigure(const h264::RateSettings& rate) override {
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

  void encode(const Job& job) override {
    x264_picture_t pic;
    x264_picture_init(&pic);
    pic.img.i_csp = X264_CSP_NV12;
    pic.img.i_plane = 2;
    for (int p = 0; p < 2; ++p) {
      // x264 copies the picture in x264_encoder_encode and never writes to it.
      pic.img.plane[p] = const_cast<std::uint8_t*>(std::as_const(*job.buffer).plane(p));
      pic.img.i_stride[p] = job.buffer->stride(p);
    }
    std::int64_t ticks = h264::toTicks(job.pts, kTimebase);
    if (lastTicks_ && ticks <= *lastTicks_) ticks = *lastTicks_ + 1;  // x264 needs increasing pts
    lastTicks_ = ticks;
    pic.i_pts = ticks;
    if (job.options.forceKeyframe || job.options.forceLTRRefresh ||
        h264::keyframeDueByDuration(opened_, lastKeyTicks_, ticks, kTimebase)) {
      pic.i_type = X264_TYPE_IDR;
      lastKeyTicks_ = ticks;
    }
    pending_[ticks] = job.pts;
    encodeAndEmit(&pic);
  }

  // x264 cannot take frames after a flush, so a drain that had delayed
  // frames ends the session.
  bool drain() override {
    bool any = false;
    while (x264_encoder_delayed_frames(encoder_.get()) > 0) {
      any = true;
      if (!encodeAndEmit(nullptr)) break;
    }
    return any;
  }

 private:
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

  x264_param_t param_{};
  X264Handle encoder_;
  h264::RateSettings appliedRate_;
  h264::SessionSettings opened_;  // as of open; only the rate changes later
  std::optional<std::int64_t> lastKeyTicks_;
  std::vector<std::vector<std::uint8_t>> parameterSets_;
  std::map<std::int64_t, MediaTime> pending_;
  std::optional<std::int64_t> lastTicks_;
};

}  // namespace

CompressionSessionFactory x264SessionFactory(const X264SessionOptions& options) {
  return h264::encoderShellFactory({.threadName = "qx-x264", .queueDepth = options.queueDepth},
                                   [options](CompressionSessionParams& params) -> std::unique_ptr<h264::EncodeStep> {
                                     return std::make_unique<X264Step>(params, options);
                                   });
}

}  // namespace qx
