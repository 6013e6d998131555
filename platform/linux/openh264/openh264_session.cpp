#include "platform/linux/openh264/openh264_session.h"

#include <pthread.h>
#include <wels/codec_api.h>

#include <algorithm>
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

#include "platform/linux/openh264/h264_syntax.h"
#include "platform/linux/openh264/ltr_marks.h"
#include "platform/linux/x264/session_job.h"
#include "platform/linux/x264/x264_settings.h"

namespace qx {

namespace {

using namespace session_status;
using Settings = x264::SessionSettings;

struct EncoderCloser {
  void operator()(ISVCEncoder* e) const {
    e->Uninitialize();
    WelsDestroySVCEncoder(e);
  }
};
using EncoderHandle = std::unique_ptr<ISVCEncoder, EncoderCloser>;

// Presentation times handed to the encoder, in its unit (milliseconds).
constexpr std::int64_t kTicksPerSecond = 1000;

using session_job::Job;
using session_job::mergeInto;

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

Rate rateFor(const x264::RateSettings& r) {
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

class OpenH264Session final : public CompressionSession {
 public:
  OpenH264Session(CompressionSessionParams params, OpenH264SessionOptions options)
      : width_(params.width),
        height_(params.height),
        output_(std::move(params.output)),
        options_(std::move(options)),
        marks_(options_.ackTimeout) {
    if (!options_.now) {
      options_.now = [] { return std::chrono::steady_clock::now().time_since_epoch(); };
    }
  }

  ~OpenH264Session() override {
    {
      std::lock_guard g(m_);
      stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  std::int32_t setProperty(std::string_view key, const PropertyValue& value) override {
    std::lock_guard g(m_);
    if (key == session_key::kEnableLTR) {
      const auto* on = std::get_if<bool>(&value);
      if (!on) return kInvalidParameter;
      if (prepared_) return kPropertyReadOnly;
      ltr_ = *on;
      return kOk;
    }
    Settings next = desired_;
    const std::int32_t status = x264::applyProperty(next, key, value, prepared_);
    if (status != kOk) return status;
    desired_ = std::move(next);
    if (prepared_) {
      rateDirty_ = true;
      wake_.notify_all();
    }
    return kOk;
  }

  std::int32_t prepare() override {
    std::unique_lock lk(m_);
    if (prepared_) return openStatus_;
    prepared_ = true;
    const Settings settings = desired_;
    lk.unlock();
    const std::int32_t status = open(settings);
    lk.lock();
    openStatus_ = status;
    if (status == kOk) thread_ = std::thread([this] { run(); });
    return status;
  }

  std::int32_t encode(PixelBufferRef buffer, MediaTime pts, const std::optional<FrameOptions>& options) override {
    if (!buffer || buffer->width() != width_ || buffer->height() != height_) return kInvalidParameter;
    std::lock_guard g(m_);
    if (!prepared_ || openStatus_ != kOk) return kSessionInvalid;
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
    done_.wait(lk, [&] { return (queue_.empty() && !busy_) || stop_; });
  }

 private:
  std::int32_t open(const Settings& settings) {
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
    p.iMultipleThreadIdc = 1;
    p.uiIntraPeriod = static_cast<unsigned>(std::max(0, x264::keyframeInterval(settings, 0)));
    p.eSpsPpsIdStrategy = CONSTANT_ID;
    p.bPrefixNalAddingCtrl = false;
    p.bEnableSSEI = false;
    p.bEnableLongTermReference = ltr_;
    p.iLTRRefNum = ltr_ ? 2 : 0;
    p.iLtrMarkPeriod = options_.ltrMarkPeriod;
    p.bIsLosslessLink = false;
    p.iEntropyCodingModeFlag =
        settings.profile == x264::Profile::baseline ? 0 : 1;  // CABAC for main and high, as the profile allows

    SSpatialLayerConfig& layer = p.sSpatialLayers[0];
    layer.iVideoWidth = width_;
    layer.iVideoHeight = height_;
    layer.fFrameRate = p.fMaxFrameRate;
    layer.iSpatialBitrate = p.iTargetBitrate;
    layer.iMaxSpatialBitrate = p.iMaxBitrate;
    layer.sSliceArgument.uiSliceMode = SM_SINGLE_SLICE;
    switch (settings.profile) {
      case x264::Profile::baseline: layer.uiProfileIdc = PRO_BASELINE; break;
      case x264::Profile::main: layer.uiProfileIdc = PRO_MAIN; break;
      case x264::Profile::high:
      case x264::Profile::constrainedHigh: layer.uiProfileIdc = PRO_HIGH; break;
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

  // Encoder thread.
  void run() {
    pthread_setname_np(pthread_self(), "qx-openh264");
    std::unique_lock lk(m_);
    for (;;) {
      wake_.wait(lk, [&] { return stop_ || rateDirty_ || !queue_.empty(); });
      if (stop_) break;
      if (rateDirty_) {
        rateDirty_ = false;
        const x264::RateSettings rate = desired_.rate;
        lk.unlock();
        reconfigure(rate);
        lk.lock();
        continue;
      }
      Job job = std::move(queue_.front());
      queue_.pop_front();
      busy_ = true;
      lk.unlock();
      encodeOne(job);
      job.buffer.reset();
      lk.lock();
      busy_ = false;
      done_.notify_all();
    }
    done_.notify_all();
  }

  void reconfigure(const x264::RateSettings& settings) {
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

  void sendFeedback(const openh264::MarkingFeedback& feedback) {
    SLTRMarkingFeedback f{};
    f.uiFeedbackType = feedback.success ? LTR_MARKING_SUCCESS : LTR_MARKING_FAILED;
    f.uiIDRPicId = feedback.idrPicId;
    f.iLTRFrameNum = feedback.frameNum;
    f.iLayerId = 0;
    encoder_->SetOption(ENCODER_LTR_MARKING_FEEDBACK, &f);
  }

  void encodeOne(const Job& job) {
    const std::chrono::nanoseconds now = options_.now();
    if (ltr_) {
      for (std::int64_t token : job.options.acknowledgedTokens) {
        if (auto feedback = marks_.acknowledge(token)) sendFeedback(*feedback);
      }
      if (auto failed = marks_.expire(now)) sendFeedback(*failed);
    }

    std::int64_t millis = session_job::toTicks(job.pts, kTicksPerSecond);
    if (lastMillis_ && millis <= *lastMillis_) millis = *lastMillis_ + 1;
    lastMillis_ = millis;

    bool keyframe = job.options.forceKeyframe ||
                    x264::keyframeDueByDuration(opened_, lastKeyMillis_, millis, kTicksPerSecond) ||
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
    if (coded && refresh && !coded->keyframe && !marks_.predictsOnlyFromAcknowledged(coded->firstSlice)) {
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
  };

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
          if (!haveSlice) {
            auto slice = syntax_.parseSlice(nal);
            if (!slice) return std::nullopt;  // unreadable output cannot be tracked
            coded.firstSlice = *slice;
            coded.keyframe = slice->idr;
            haveSlice = true;
          }
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

  std::mutex m_;
  std::condition_variable wake_;
  std::condition_variable done_;
  Settings desired_;               // m_
  bool ltr_ = false;               // m_ until prepare; then fixed
  bool prepared_ = false;          // m_
  std::int32_t openStatus_ = kOk;  // m_
  bool rateDirty_ = false;         // m_
  bool busy_ = false;              // m_
  bool stop_ = false;              // m_
  std::deque<Job> queue_;          // m_

  // Encoder thread only (and prepare, before the thread starts).
  EncoderHandle encoder_;
  Settings opened_;
  x264::RateSettings appliedRate_;
  Rate rate_;
  openh264::LtrMarks marks_;
  h264::ParameterSetTable syntax_;
  std::vector<std::uint8_t> newSps_, newPps_;
  std::vector<std::vector<std::uint8_t>> parameterSets_;
  std::vector<std::uint8_t> chroma_;
  std::optional<std::int64_t> lastMillis_;
  std::optional<std::int64_t> lastKeyMillis_;

  std::thread thread_;
};

}  // namespace

CompressionSessionFactory openh264SessionFactory(const OpenH264SessionOptions& options) {
  return [options](CompressionSessionParams params) {
    CompressionSessionCreateResult result;
    if (params.width <= 0 || params.height <= 0 || params.width % 2 != 0 || params.height % 2 != 0 || !params.output) {
      result.status = kInvalidParameter;
      return result;
    }
    result.status = kOk;
    result.session = std::make_unique<OpenH264Session>(std::move(params), options);
    return result;
  };
}

CompressionSessionFactory chooseSessionFactory(CompressionSessionFactory withLongTermReferences,
                                               CompressionSessionFactory fallback) {
  return [ltr = std::move(withLongTermReferences), other = std::move(fallback)](CompressionSessionParams params) {
    const bool wantsLtr = params.encoderRequest && params.encoderRequest->enableLowLatencyRateControl &&
                          params.encoderRequest->longTermReferences;
    return wantsLtr ? ltr(std::move(params)) : other(std::move(params));
  };
}

}  // namespace qx
