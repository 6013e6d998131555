#include "video/h264_encoder.h"

#include <limits>
#include <string>
#include <utility>

#include "common/numbers.h"
#include "video/access_unit.h"
#include "video/rate_control.h"

namespace qx {

namespace {

std::string decimal(std::int32_t status) { return std::to_string(status); }

bool fitsInt32(std::int64_t v) {
  return v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max();
}

}  // namespace

H264Encoder::H264Encoder(const H264EncoderConfig& config, AnnexBWriter& writer, H264EncoderDeps deps)
    : writer_(writer),
      clock_(*deps.clock),
      log_(std::move(deps.log)),
      fps_(config.fps),
      rc_(config.rc),
      peakMax_(config.peakMax),
      ltrRequested_(config.ltr),
      currentBitrate_(config.bitrate),
      lastKeyframeAt_(deps.clock->monotonicNow()),
      statWindowStart_(deps.clock->monotonicNow()) {}

H264Encoder::~H264Encoder() { session_.reset(); }

std::unique_ptr<H264Encoder> H264Encoder::create(const H264EncoderConfig& config, AnnexBWriter& writer,
                                                 H264EncoderDeps deps) {
  CompressionSessionFactory makeSession = std::move(deps.makeSession);
  std::unique_ptr<H264Encoder> encoder(new H264Encoder(config, writer, std::move(deps)));
  const LogFn& log = encoder->log_;

  if (!fitsInt32(config.width) || !fitsInt32(config.height)) {
    log("VTCompressionSessionCreate failed: " + decimal(session_status::kInvalidParameter));
    return nullptr;
  }
  H264Encoder* self = encoder.get();
  auto params = [&](std::optional<EncoderRequest> request) {
    CompressionSessionParams p;
    p.width = static_cast<std::int32_t>(config.width);
    p.height = static_cast<std::int32_t>(config.height);
    p.encoderRequest = request;
    p.output = [self](std::int32_t status, const EncodedSample* sample) { self->onOutput(status, sample); };
    return p;
  };

  CompressionSessionCreateResult created;
  bool haveResult = false;
  if (config.lowLatency) {
    created =
        makeSession(params(EncoderRequest{.enableLowLatencyRateControl = true, .longTermReferences = config.ltr}));
    if (created.status == session_status::kOk && created.session) {
      encoder->lowLatency_ = true;
      haveResult = true;
    } else {
      log("low-latency rate control unavailable (" + decimal(created.status) + "): using the classic encoder");
      // A session that came back with an error is not trusted, and a second
      // attempt beside it is not made.
      if (created.session) {
        log("VTCompressionSessionCreate failed: " + decimal(created.status));
        return nullptr;
      }
    }
  }
  if (!haveResult) created = makeSession(params(std::nullopt));
  if (created.status != session_status::kOk || !created.session) {
    log("VTCompressionSessionCreate failed: " + decimal(created.status));
    return nullptr;
  }
  if (!encoder->configure(std::move(created.session))) return nullptr;
  return encoder;
}

bool H264Encoder::configure(std::unique_ptr<CompressionSession> session) {
  session_ = std::move(session);
  {
    std::lock_guard guard(rateLock_);
    (void)set(session_key::kRealTime, true);
    (void)set(session_key::kProfileLevel, std::string(lowLatency_ ? session_value::kProfileConstrainedHighAutoLevel
                                                                  : session_value::kProfileHighAutoLevel));
    (void)set(session_key::kAllowFrameReordering, false);
    (void)set(session_key::kColorPrimaries, std::string(session_value::kITU_R_709_2));
    (void)set(session_key::kTransferFunction, std::string(session_value::kITU_R_709_2));
    (void)set(session_key::kYCbCrMatrix, std::string(session_value::kITU_R_709_2));
    if (!lowLatency_) {
      (void)set(session_key::kMaxKeyFrameInterval, saturatingMul(fps_, 30));
      (void)set(session_key::kMaxKeyFrameIntervalDuration, 30.0);
    }
    (void)set(session_key::kExpectedFrameRate, fps_);
    if (ltrRequested_ && lowLatency_) ltrEnabled_ = set(session_key::kEnableLTR, true) == session_status::kOk;
    applyRateControl(currentBitrate_.load());
  }
  // A session that cannot start encoding would only drop every frame, so this
  // is a creation failure rather than an ignored status.
  if (const std::int32_t status = session_->prepare(); status != session_status::kOk) {
    log_("VTCompressionSessionPrepareToEncodeFrames failed: " + decimal(status));
    session_.reset();
    return false;
  }
  log_(std::string("encoder: ") + (lowLatency_ ? "low-latency rate control" : "classic real-time") + ", LTR recovery " +
       (ltrEnabled_ ? "on" : "off"));
  return true;
}

std::int32_t H264Encoder::set(std::string_view key, const PropertyValue& value) {
  if (!session_) return -1;
  const std::int32_t status = session_->setProperty(key, value);
  if (status == session_status::kOk) return status;
  if (rejectedKeys_.emplace(key).second) {
    log_("VT property " + std::string(key) + " rejected: " + decimal(status));
  }
  return status;
}

void H264Encoder::applyRateControl(std::int64_t bitrate) {
  if (!session_) return;
  if (rc_ == "cbr") {
    // Deliberately unlogged: not every session knows this key.
    (void)session_->setProperty(session_key::kConstantBitRate, bitrate);
    return;
  }
  const rate_control::DataRateLimits limits = rate_control::limitsFor(bitrate, peakMax_);
  (void)set(session_key::kAverageBitRate, bitrate);
  (void)set(session_key::kDataRateLimits, std::vector<PropertyNumber>{limits.windowBytes, 0.25, limits.peakBytes, 1.0});
  (void)set(session_key::kMaxAllowedFrameQP, rate_control::kMaxFrameQP);
}

void H264Encoder::setBitrate(std::int64_t bitrate) {
  const std::int64_t applied = rate_control::clampRequested(bitrate);
  std::lock_guard guard(rateLock_);
  currentBitrate_.store(applied);
  applyRateControl(applied);
}

void H264Encoder::requestKeyframe() {
  std::lock_guard guard(forceKeyLock_);
  forceKeyframe_ = true;
}

void H264Encoder::requestRefresh() {
  std::lock_guard guard(forceKeyLock_);
  if (ltrEnabled_) {
    pendingRefresh_ = true;
  } else {
    forceKeyframe_ = true;
  }
}

void H264Encoder::acknowledge(std::int64_t token) {
  std::lock_guard guard(forceKeyLock_);
  pendingAcks_.push_back(token);
}

bool H264Encoder::recoveryPending() {
  std::lock_guard guard(forceKeyLock_);
  return forceKeyframe_ || pendingRefresh_;
}

std::chrono::nanoseconds H264Encoder::lastKeyframeAt() {
  std::lock_guard guard(forceKeyLock_);
  return lastKeyframeAt_;
}

void H264Encoder::encode(PixelBufferRef buffer, MediaTime pts) {
  if (!session_) return;
  FrameOptions options;
  {
    std::lock_guard guard(forceKeyLock_);
    options.forceKeyframe = forceKeyframe_;
    forceKeyframe_ = false;
    if (lowLatency_) {
      const auto now = clock_.monotonicNow();
      if (now - lastKeyframeAt_ >= kKeyframeInterval) {
        lastKeyframeAt_ = now;
        options.forceKeyframe = true;
      }
    }
    // A keyframe repairs everything a refresh would, so it takes its place.
    options.forceLTRRefresh = pendingRefresh_ && !options.forceKeyframe;
    pendingRefresh_ = false;
    options.acknowledgedTokens = std::exchange(pendingAcks_, {});
    if (options.forceLTRRefresh) refreshPTS_ = pts.value;
  }
  {
    std::lock_guard guard(statsLock_);
    // Frames the encoder dropped never come out; emptying keeps the map small.
    if (submitAt_.size() > kMaxPendingSubmissions) submitAt_.clear();
    submitAt_[pts.value] = clock_.monotonicNow();
  }
  // A refused frame is simply lost; the next one carries on.
  (void)session_->encode(std::move(buffer), pts, options.empty() ? std::nullopt : std::optional(std::move(options)));
}

void H264Encoder::onOutput(std::int32_t status, const EncodedSample* sample) {
  if (status != session_status::kOk || sample == nullptr) return;
  handleEncoded(*sample);
}

void H264Encoder::handleEncoded(const EncodedSample& sample) {
  if (!sample.dataReady || !sample.data) return;
  const bool keyframe = access_unit::isKeyframe(sample);
  const std::int64_t value = sample.presentationTime.value;
  bool refresh = false;
  {
    std::lock_guard guard(forceKeyLock_);
    if (keyframe) lastKeyframeAt_ = clock_.monotonicNow();
    if (refreshPTS_ && *refreshPTS_ == value) {
      refreshPTS_.reset();
      refresh = !keyframe;
    }
  }
  std::vector<std::uint8_t> unit;
  unit.reserve(sample.data->size() + 128);
  if (ltrEnabled_ && (sample.ltrToken || refresh)) {
    const auto sei = access_unit::ltrSEI(sample.ltrToken, refresh);
    unit.insert(unit.end(), sei.begin(), sei.end());
  }
  access_unit::appendFrame(sample, keyframe, *sample.data, unit);
  writer_.write(unit);
  recordStats(static_cast<std::int64_t>(unit.size()), keyframe, value);
}

void H264Encoder::recordStats(std::int64_t bytes, bool keyframe, std::int64_t pts) {
  std::string line;
  {
    std::lock_guard guard(statsLock_);
    const auto now = clock_.monotonicNow();
    if (auto it = submitAt_.find(pts); it != submitAt_.end()) {
      stats_.addLatency(std::chrono::duration<double, std::milli>(now - it->second).count());
      submitAt_.erase(it);
    }
    stats_.addFrame(bytes, keyframe);
    const double elapsed = std::chrono::duration<double>(now - statWindowStart_).count();
    if (elapsed < 1.0) return;
    line = formatStatsLine(stats_, elapsed, currentBitrate_.load());
    stats_ = StatsWindow{};
    statWindowStart_ = now;
  }
  log_(line);
}

}  // namespace qx
