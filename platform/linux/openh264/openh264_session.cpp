#include "platform/linux/openh264/openh264_session.h"

#include <wels/codec_api.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "platform/linux/h264/encoder_shell.h"
#include "platform/linux/h264/h264_syntax.h"
#include "platform/linux/openh264/ltr_marks.h"

namespace qx {

namespace {

using namespace session_status;
using Settings = h264::SessionSettings;

struct EncoderCloser {
  void operator()(ISVCEncoder* e) const {
    e->Uninitialize();
    WelsDestroySVCEncoder(e);
  }
};
using EncoderHandle = std::unique_ptr<ISVCEncoder, EncoderCloser>;

// Presentation times handed to the encoder, in its unit (milliseconds).
constexpr std::int64_t kTicksPerSecond = 1000;

using h264::Job;

int clampToInt(double v) {
  if (!(v >= 1.0)) return 1;
  return v >= 2.0e9 ? 2'000'000'000 : static_cast<int>(v);
}

// OpenH264's target and ceiling for the rate settings: the average bitrate
// with the lowest rate any data-rate window allows as the ceiling, or the
// constant bitrate as both.
struct Rate {
  int target = 0;
  int ceiling = 0;
  int maxQp = 51;
};

Rate rateFor(const h264::RateSettings& r) {
  Rate rate;
  if (r.maxFrameQP) rate.maxQp = std::clamp(*r.maxFrameQP, 1, 51);
  if (r.constantBitrate) {
    rate.target = rate.ceiling = clampToInt(static_cast<double>(*r.constantBitrate));
    return rate;
  }
  if (!r.averageBitrate) return rate;
  double lowest = static_cast<double>(*r.averageBitrate);
  for (const auto& [bytes, seconds] : r.dataRateLimits)
    lowest = std::min(lowest, static_cast<double>(bytes) * 8.0 / seconds);
  rate.target = clampToInt(static_cast<double>(*r.averageBitrate));
  rate.ceiling = std::max(rate.target, clampToInt(lowest));
  return rate;
}

// OpenH264 as the encoder shell's step.
class OpenH264Step final : public h264::EncodeStep {
 public:
  OpenH264Step(CompressionSessionParams& params, OpenH264SessionOptions options)
      : width_(params.width),
        height_(params.height),
        output_(std::move(params.output)),
        options_(std::move(options)),
        marks_(options_.ackTimeout) {
    if (!options_.now) {
      options_.now = [] { return std::chrono::steady_clock::now().time_since_epoch(); };
    }
  }

  std::optional<std::int32_t> ownProperty(std::string_view key, const PropertyValue& value, bool prepared) override {
    return h264::recoveryProperty(key, value, prepared, ltr_);
  }

  std::int32_t open(const Settings& settings) override {
    ISVCEncoder* raw = nullptr;
    if (WelsCreateSVCEncoder(&raw) != 0 || !raw) return kEncoderMalfunction;
    encoder_.reset(raw);
    int level = WELS_LOG_QUIET;
    encoder_->SetOption(ENCODER_OPTION_TRACE_LEVEL, &level);

    SEncParamExt p;
    encoder_->GetDefaultParams(&p);
    // Long-term references work only in the camera mode, and only with
    // scene-change detection off: the screen mode switches them off, and
    // scene changes turn a pan into a run of IDRs that wipe them.
    p.iUsageType = CAMERA_VIDEO_REAL_TIME;
    p.bEnableSceneChangeDetect = false;
    p.iPicWidth = width_;
    p.iPicHeight = height_;
    p.fMaxFrameRate = static_cast<float>(settings.fps);
    rate_ = rateFor(settings.rate);
    p.iRCMode = rate_.target > 0 ? RC_BITRATE_MODE : RC_QUALITY_MODE;
    p.iTargetBitrate = rate_.target > 0 ? rate_.target : 8'000'000;
    p.iMaxBitrate = rate_.ceiling > 0 ? rate_.ceiling : UNSPECIFIED_BIT_RATE;
    p.iMaxQp = rate_.maxQp;
    // A skipped frame would leave the receiver without the picture it waits
    // for (a refresh, a keyframe); the rate is kept by the ceiling instead.
    p.bEnableFrameSkip = false;
    p.iTemporalLayerNum = 1;
    p.iSpatialLayerNum = 1;
    const int threads = std::clamp(options_.threads, 1, 4);
    p.iMultipleThreadIdc = static_cast<unsigned short>(threads);
    p.iComplexityMode = options_.complexity == OpenH264SessionOptions::Complexity::low      ? LOW_COMPLEXITY
                        : options_.complexity == OpenH264SessionOptions::Complexity::medium ? MEDIUM_COMPLEXITY
                                                                                            : HIGH_COMPLEXITY;
    p.bEnableAdaptiveQuant = options_.adaptiveQuant;
    p.bEnableBackgroundDetection = options_.backgroundDetection;
    p.uiIntraPeriod = static_cast<unsigned>(std::max(0, h264::keyframeInterval(settings, 0)));
    p.eSpsPpsIdStrategy = CONSTANT_ID;
    p.bPrefixNalAddingCtrl = false;
    p.bEnableSSEI = false;
    p.bEnableLongTermReference = ltr_;
    p.iLTRRefNum = ltr_ ? 2 : 0;
    p.iLtrMarkPeriod = options_.ltrMarkPeriod;
    p.bIsLosslessLink = false;
    // CABAC for main and high, as the profile allows, unless asked not to.
    p.iEntropyCodingModeFlag = settings.profile != h264::Profile::baseline && options_.cabac ? 1 : 0;

    SSpatialLayerConfig& layer = p.sSpatialLayers[0];
    layer.iVideoWidth = width_;
    layer.iVideoHeight = height_;
    layer.fFrameRate = p.fMaxFrameRate;
    layer.iSpatialBitrate = p.iTargetBitrate;
    layer.iMaxSpatialBitrate = p.iMaxBitrate;
    if (threads > 1) {
      layer.sSliceArgument.uiSliceMode = SM_FIXEDSLCNUM_SLICE;
      layer.sSliceArgument.uiSliceNum = static_cast<unsigned>(threads);
    } else {
      layer.sSliceArgument.uiSliceMode = SM_SINGLE_SLICE;
    }
    switch (settings.profile) {
      case h264::Profile::baseline: layer.uiProfileIdc = PRO_BASELINE; break;
      case h264::Profile::main: layer.uiProfileIdc = PRO_MAIN; break;
      case h264::Profile::high:
      case h264::Profile::constrainedHigh: layer.uiProfileIdc = PRO_HIGH; break;
    }
    layer.uiLevelIdc = LEVEL_UNKNOWN;
    layer.bVideoSignalTypePresent = true;
    layer.uiVideoFormat = VF_UNDEF;
    layer.bFullRange = false;
    layer.bColorDescriptionPresent = true;
    layer.uiColorPrimaries = CP_BT709;
    layer.uiTransferCharacteristics = TRC_BT709;
    layer.uiColorMatrix = CM_BT709;

    if (encoder_->InitializeExt(&p) != cmResultSuccess) {
      encoder_.reset();
      return kEncoderMalfunction;
    }
    int format = videoFormatI420;
    encoder_->SetOption(ENCODER_OPTION_DATAFORMAT, &format);
    opened_ = settings;
    appliedRate_ = settings.rate;
    chroma_.assign(static_cast<std::size_t>(width_ / 2) * static_cast<std::size_t>(height_ / 2) * 2, 0);
    return kOk;
  }

  void reconfigure(const h264::RateSettings& settings) override {
    if (settings == appliedRate_) return;
    const Rate next = rateFor(settings);
    if (next.target > 0 && next.target != rate_.target) {
      SBitrateInfo info{SPATIAL_LAYER_ALL, next.target};
      encoder_->SetOption(ENCODER_OPTION_BITRATE, &info);
    }
    if (next.ceiling > 0 && next.ceiling != rate_.ceiling) {
      SBitrateInfo info{SPATIAL_LAYER_ALL, next.ceiling};
      encoder_->SetOption(ENCODER_OPTION_MAX_BITRATE, &info);
    }
    rate_ = next;
    appliedRate_ = settings;
  }

 private:
  void sendFeedback(const openh264::MarkingFeedback& feedback) {
    SLTRMarkingFeedback f{};
    f.uiFeedbackType = feedback.success ? LTR_MARKING_SUCCESS : LTR_MARKING_FAILED;
    f.uiIDRPicId = feedback.idrPicId;
    f.iLTRFrameNum = feedback.frameNum;
    f.iLayerId = 0;
    encoder_->SetOption(ENCODER_LTR_MARKING_FEEDBACK, &f);
  }

  void encode(const Job& job) override {
    const std::chrono::nanoseconds now = options_.now();
    if (ltr_) {
      for (std::int64_t token : job.options.acknowledgedTokens) {
        if (auto feedback = marks_.acknowledge(token)) sendFeedback(*feedback);
      }
      if (auto failed = marks_.expire(now)) sendFeedback(*failed);
    }

    std::int64_t millis = h264::toTicks(job.pts, kTicksPerSecond);
    if (lastMillis_ && millis <= *lastMillis_) millis = *lastMillis_ + 1;
    lastMillis_ = millis;

    bool keyframe = job.options.forceKeyframe ||
                    h264::keyframeDueByDuration(opened_, lastKeyMillis_, millis, kTicksPerSecond) ||
                    (job.options.forceLTRRefresh && !ltr_);
    bool refresh = false;
    if (!keyframe && job.options.forceLTRRefresh) {
      if (auto request = marks_.recoveryRequest()) {
        SLTRRecoverRequest r{};
        r.uiFeedbackType = LTR_RECOVERY_REQUEST;
        r.uiIDRPicId = request->idrPicId;
        r.iLastCorrectFrameNum = request->lastCorrectFrameNum;
        r.iCurrentFrameNum = request->currentFrameNum;
        r.iLayerId = 0;
        encoder_->SetOption(ENCODER_LTR_RECOVERY_REQUEST, &r);
        refresh = true;
      } else {
        keyframe = true;  // nothing acknowledged to refresh from
      }
    }

    SSourcePicture pic = picture(*job.buffer, millis);
    std::optional<Coded> coded = encodeFrame(pic, keyframe);
    if (coded && refresh && !coded->keyframe && !predictsOnlyFromAcknowledged(*coded)) {
      // The encoder chose another reference than an acknowledged one: the
      // receiver could not decode this, so the same picture goes out as an
      // IDR instead, and the refused frame is never sent.
      coded = encodeFrame(pic, true);
    }
    if (!coded || coded->data.empty()) {
      output_(coded ? kOk : kEncoderMalfunction, nullptr);  // failed, or skipped by the rate control
      return;
    }
    if (coded->keyframe) lastKeyMillis_ = millis;
    EncodedSample sample;
    sample.data = std::move(coded->data);
    sample.notSync = !coded->keyframe;
    if (ltr_) sample.ltrToken = marks_.onPicture(coded->firstSlice, now);
    sample.parameterSets = parameterSets_;
    sample.presentationTime = job.pts;
    output_(kOk, &sample);
  }

  SSourcePicture picture(const PixelBuffer& buffer, std::int64_t millis) {
    // The encoder takes I420 only: the interleaved chroma plane is split;
    // the luma plane is read where it is.
    const int cw = width_ / 2;
    const int ch = height_ / 2;
    std::uint8_t* u = chroma_.data();
    std::uint8_t* v = u + static_cast<std::size_t>(cw) * static_cast<std::size_t>(ch);
    const std::uint8_t* uv = buffer.plane(1);
    const int uvStride = buffer.stride(1);
    for (int y = 0; y < ch; ++y) {
      const std::uint8_t* row = uv + static_cast<std::ptrdiff_t>(y) * uvStride;
      std::uint8_t* uRow = u + static_cast<std::ptrdiff_t>(y) * cw;
      std::uint8_t* vRow = v + static_cast<std::ptrdiff_t>(y) * cw;
      for (int x = 0; x < cw; ++x) {
        uRow[x] = row[2 * x];
        vRow[x] = row[2 * x + 1];
      }
    }
    SSourcePicture pic{};
    pic.iColorFormat = videoFormatI420;
    pic.iPicWidth = width_;
    pic.iPicHeight = height_;
    // The encoder reads the source and never writes to it.
    pic.pData[0] = const_cast<std::uint8_t*>(buffer.plane(0));
    pic.iStride[0] = buffer.stride(0);
    pic.pData[1] = u;
    pic.pData[2] = v;
    pic.iStride[1] = pic.iStride[2] = cw;
    pic.uiTimeStamp = millis;
    return pic;
  }

  struct Coded {
    std::vector<std::uint8_t> data;  // length-prefixed slice NAL units
    bool keyframe = false;
    h264::SliceHeader firstSlice;
    std::vector<h264::SliceHeader> slices;  // every slice of the picture, the first included
  };

  // Each slice has its own reference list: one that predicts from another
  // picture breaks the refresh as surely as the first would.
  bool predictsOnlyFromAcknowledged(const Coded& coded) const {
    return std::all_of(coded.slices.begin(), coded.slices.end(),
                       [&](const h264::SliceHeader& s) { return marks_.predictsOnlyFromAcknowledged(s); });
  }

  // One frame through the encoder. Empty optional: it failed. A frame the
  // encoder skipped comes back with no data.
  std::optional<Coded> encodeFrame(SSourcePicture& pic, bool forceIdr) {
    if (forceIdr) encoder_->ForceIntraFrame(true);
    SFrameBSInfo info{};
    if (encoder_->EncodeFrame(&pic, &info) != cmResultSuccess) return std::nullopt;
    Coded coded;
    if (info.eFrameType == videoFrameTypeSkip || info.eFrameType == videoFrameTypeInvalid) return coded;
    bool haveSlice = false;
    for (int l = 0; l < info.iLayerNum; ++l) {
      const SLayerBSInfo& layer = info.sLayerInfo[l];
      const std::uint8_t* at = layer.pBsBuf;
      for (int n = 0; n < layer.iNalCount; ++n) {
        const std::span<const std::uint8_t> withStartCode(at, static_cast<std::size_t>(layer.pNalLengthInByte[n]));
        at += layer.pNalLengthInByte[n];
        for (const h264::NalUnit& nal : h264::splitAnnexB(withStartCode)) {
          if (nal.type == 7 || nal.type == 8) {
            syntax_.add(nal);
            if (nal.type == 7) newSps_.assign(nal.bytes.begin(), nal.bytes.end());
            if (nal.type == 8) newPps_.assign(nal.bytes.begin(), nal.bytes.end());
            continue;
          }
          if (nal.type != 1 && nal.type != 5) continue;  // no SEI or prefix units of the encoder's own
          auto slice = syntax_.parseSlice(nal);
          if (!slice) return std::nullopt;  // unreadable output cannot be tracked
          if (!haveSlice) {
            coded.firstSlice = *slice;
            coded.keyframe = slice->idr;
            haveSlice = true;
          }
          coded.slices.push_back(*slice);
          const auto size = static_cast<std::uint32_t>(nal.bytes.size());
          for (int shift = 24; shift >= 0; shift -= 8) coded.data.push_back(static_cast<std::uint8_t>(size >> shift));
          coded.data.insert(coded.data.end(), nal.bytes.begin(), nal.bytes.end());
        }
      }
    }
    if (!newSps_.empty() && !newPps_.empty()) parameterSets_ = {newSps_, newPps_};
    if (!haveSlice) return Coded{};
    return coded;
  }

  const std::int32_t width_;
  const std::int32_t height_;
  const CompressionOutputCallback output_;
  OpenH264SessionOptions options_;

  bool ltr_ = false;  // set under the shell's lock until prepare; then fixed
  EncoderHandle encoder_;
  Settings opened_;
  h264::RateSettings appliedRate_;
  Rate rate_;
  openh264::LtrMarks marks_;
  h264::ParameterSetTable syntax_;
  std::vector<std::uint8_t> newSps_, newPps_;
  std::vector<std::vector<std::uint8_t>> parameterSets_;
  std::vector<std::uint8_t> chroma_;
  std::optional<std::int64_t> lastMillis_;
  std::optional<std::int64_t> lastKeyMillis_;
};

}  // namespace

CompressionSessionFactory openh264SessionFactory(const OpenH264SessionOptions& options) {
  return h264::encoderShellFactory({.threadName = "qx-openh264", .queueDepth = options.queueDepth},
                                   [options](CompressionSessionParams& params) -> std::unique_ptr<h264::EncodeStep> {
                                     return std::make_unique<OpenH264Step>(params, options);
                                   });
}

}  // namespace qx
