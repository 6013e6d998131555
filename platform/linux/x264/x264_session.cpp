#include "platform/linux/x264/x264_session.h"

#include <algorithm>
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
#include "platform/linux/h264/h264_syntax.h"
#include "platform/linux/x264/reference_window.h"
#include "platform/linux/x264/unchanged_blocks.h"
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

static_assert(x264::UnchangedBlocks::kConstant == X264_MBINFO_CONSTANT);

// The largest DPB a picture of `width` x `height` may have at level 5.1
// (MaxDpbMbs 184320), the highest level common decoders take, capped at
// the 16 the syntax allows and `wanted`; at least 1.
int dpbFrames(std::int32_t width, std::int32_t height, int wanted) {
  const std::int64_t mbs = std::int64_t{(width + 15) / 16} * ((height + 15) / 16);
  const std::int64_t fit = mbs > 0 ? 184'320 / mbs : 16;
  return static_cast<int>(std::clamp<std::int64_t>(std::min<std::int64_t>(fit, wanted), 1, 16));
}

// Sets constraint_set4 and constraint_set5 (progressive, no B slices) in an
// SPS: Constrained High, which x264 codes but never signals. The flags sit
// in the third byte, between two non-zero bytes, so no escaping changes.
void signalConstrainedHigh(std::vector<std::uint8_t>& sps) {
  if (sps.size() > 3 && sps[1] == 100) sps[2] = static_cast<std::uint8_t>(sps[2] | 0x0C);
}

// What one call to x264_encoder_encode gave.
struct Coded {
  std::vector<std::uint8_t> data;  // length-prefixed NAL units
  bool keyframe = false;
  std::int64_t pts = 0;
  std::vector<h264::SliceHeader> slices;  // read only with recovery on
};

// libx264 as the encoder shell's step.
class X264Step final : public h264::EncodeStep {
 public:
  X264Step(CompressionSessionParams& params, X264SessionOptions options)
      : width_(params.width),
        height_(params.height),
        lowLatency_(params.encoderRequest && params.encoderRequest->enableLowLatencyRateControl),
        output_(std::move(params.output)),
        options_(std::move(options)) {}

  std::optional<std::int32_t> ownProperty(std::string_view key, const PropertyValue& value, bool prepared) override {
    return h264::recoveryProperty(key, value, prepared, recovery_);
  }

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
    if (options_.skipUnchanged) {
      param_.analyse.b_mb_info = 1;
      unchanged_.emplace(width_, height_);
    }
    if (recovery_) {
      // One picture searched, as without recovery, but a deep DPB: the older
      // pictures stay for a refresh to predict from, at no search cost.
      param_.i_frame_reference = 1;
      param_.i_dpb_size = dpbFrames(width_, height_, options_.recoveryDpb);
      param_.b_intra_refresh = 0;
    }
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
    if (!readHeaders()) return kEncoderMalfunction;
    if (settings.profile == h264::Profile::constrainedHigh) signalConstrainedHigh(parameterSets_[0]);
    if (recovery_) {
      for (const auto& set : parameterSets_) {
        const auto nal = h264::nalUnit(set);
        if (!nal || !syntax_.add(*nal)) return kEncoderMalfunction;
      }
      const h264::Sps* sps = syntax_.sps(0);
      if (!sps) return kEncoderMalfunction;
      window_.emplace(sps->maxNumRefFrames);
    }
    return kOk;
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
    const std::int64_t ticks = nextTicks(job.pts);
    pic.i_pts = ticks;
    if (window_) {
      for (std::int64_t token : job.options.acknowledgedTokens) window_->acknowledge(token);
    }
    bool keyframe = job.options.forceKeyframe || h264::keyframeDueByDuration(opened_, lastKeyTicks_, ticks, kTimebase);
    std::optional<x264::RefreshPlan> plan;
    if (!keyframe && job.options.forceLTRRefresh) {
      if (window_) plan = window_->refreshPlan();
      // Nothing acknowledged is left to predict from: an IDR repairs as much.
      if (plan && plan->invalidateFrom &&
          x264_encoder_invalidate_reference(encoder_.get(), *plan->invalidateFrom) < 0) {
        plan.reset();
      }
      keyframe = !plan;
    }
    if (keyframe) {
      pic.i_type = X264_TYPE_IDR;
      lastKeyTicks_ = ticks;
    }
    pending_[ticks] = job.pts;
    // A refresh predicts from an older picture than the previous one, to
    // which "unchanged" refers (x264 would not skip there either).
    if (unchanged_ && unchanged_->mark(*job.buffer) && !keyframe && !plan) pic.prop.mb_info = unchanged_->flags();
    std::optional<Coded> coded = code(&pic);
    pic.prop.mb_info = nullptr;
    if (!coded && unchanged_) unchanged_->reset();  // x264 did not take it: nothing is known unchanged
    if (coded && plan && !coded->keyframe &&
        !std::ranges::all_of(coded->slices, [&](const auto& s) { return x264::predictsOnlyFrom(s, plan->frameNum); })) {
      // x264 predicted from another picture than the acknowledged one: the
      // receiver could not decode it, so the same picture goes out as an IDR
      // instead and the refused one is never sent.
      pending_.erase(ticks);
      pic.i_pts = nextTicks(job.pts);
      pic.i_type = X264_TYPE_IDR;
      pending_[pic.i_pts] = job.pts;
      coded = code(&pic);
    }
    if (coded) emit(std::move(*coded), plan ? std::optional(plan->frameNum) : std::nullopt);
  }

  // x264 cannot take frames after a flush, so a drain that had delayed
  // frames ends the session.
  bool drain() override {
    bool any = false;
    while (x264_encoder_delayed_frames(encoder_.get()) > 0) {
      any = true;
      std::optional<Coded> coded = code(nullptr);
      if (!coded) break;
      emit(std::move(*coded), std::nullopt);
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

  // A strictly increasing pts for `pts`, as x264 needs.
  std::int64_t nextTicks(MediaTime pts) {
    std::int64_t ticks = h264::toTicks(pts, kTimebase);
    if (lastTicks_ && ticks <= *lastTicks_) ticks = *lastTicks_ + 1;
    lastTicks_ = ticks;
    return ticks;
  }

  // Encodes `in` (null: drains a delayed frame). Empty data when nothing came
  // out of this call; none when x264 failed (reported to the output), or when
  // recovery is on and its slices cannot be read back (then they cannot be
  // tracked, and the frame is dropped like a failed one).
  std::optional<Coded> code(x264_picture_t* in) {
    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_picture_t out;
    x264_picture_init(&out);
    const int size = x264_encoder_encode(encoder_.get(), &nals, &count, in, &out);
    if (size < 0) {
      if (in) pending_.erase(in->i_pts);
      output_(kEncoderMalfunction, nullptr);
      return std::nullopt;
    }
    Coded coded;
    if (size == 0 || count == 0) return coded;
    // x264 keeps a frame's NAL units contiguous, each after its 4-byte size.
    coded.data.assign(nals[0].p_payload, nals[0].p_payload + size);
    coded.keyframe = out.b_keyframe != 0;
    coded.pts = out.i_pts;
    if (window_) {
      for (const h264::NalUnit& nal : h264::splitLengthPrefixed(coded.data)) {
        if (nal.type != h264::kNalSlice && nal.type != h264::kNalIdrSlice) continue;
        auto slice = syntax_.parseSlice(nal);
        if (!slice) {
          coded.slices.clear();
          break;
        }
        coded.slices.push_back(*slice);
      }
      if (coded.slices.empty()) {
        pending_.erase(out.i_pts);
        output_(kEncoderMalfunction, nullptr);
        return std::nullopt;
      }
    }
    return coded;
  }

  // Hands a coded frame to the output callback. `refreshFrom`: the frame_num
  // a refresh was planned from.
  void emit(Coded coded, std::optional<int> refreshFrom) {
    if (coded.data.empty()) return;
    EncodedSample sample;
    sample.data = std::move(coded.data);
    sample.notSync = !coded.keyframe;
    if (coded.keyframe) lastKeyTicks_ = coded.pts;  // also those x264 placed by itself
    sample.parameterSets = parameterSets_;
    if (window_) {
      sample.ltrToken =
          window_->onPicture(coded.slices.front(), coded.pts, coded.keyframe ? std::nullopt : refreshFrom);
    }
    if (auto it = pending_.find(coded.pts); it != pending_.end()) {
      sample.presentationTime = it->second;
      pending_.erase(it);
    } else {
      sample.presentationTime = MediaTime::make(coded.pts, static_cast<std::int32_t>(kTimebase));
    }
    output_(kOk, &sample);
  }

  const std::int32_t width_;
  const std::int32_t height_;
  const bool lowLatency_;
  const CompressionOutputCallback output_;
  const X264SessionOptions options_;

  bool recovery_ = false;  // set under the shell's lock until prepare; then fixed
  x264_param_t param_{};
  X264Handle encoder_;
  h264::RateSettings appliedRate_;
  h264::SessionSettings opened_;  // as of open; only the rate changes later
  std::optional<std::int64_t> lastKeyTicks_;
  std::vector<std::vector<std::uint8_t>> parameterSets_;
  std::map<std::int64_t, MediaTime> pending_;
  std::optional<std::int64_t> lastTicks_;
  std::optional<x264::UnchangedBlocks> unchanged_;  // with skipUnchanged
  h264::ParameterSetTable syntax_;                  // recovery only
  std::optional<x264::ReferenceWindow> window_;     // recovery only
};

}  // namespace

CompressionSessionFactory x264SessionFactory(const X264SessionOptions& options) {
  return h264::encoderShellFactory({.threadName = "qx-x264", .queueDepth = options.queueDepth},
                                   [options](CompressionSessionParams& params) -> std::unique_ptr<h264::EncodeStep> {
                                     return std::make_unique<X264Step>(params, options);
                                   });
}

}  // namespace qx
