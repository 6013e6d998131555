#include "platform/linux/h264/session_settings.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qx::h264 {

namespace {

using namespace session_status;

std::optional<std::int64_t> asInt(const PropertyValue& v) {
  if (const auto* i = std::get_if<std::int64_t>(&v)) return *i;
  return std::nullopt;
}

std::optional<double> asNumber(const PropertyValue& v) {
  if (const auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
  if (const auto* d = std::get_if<double>(&v)) return *d;
  return std::nullopt;
}

const std::string* asString(const PropertyValue& v) { return std::get_if<std::string>(&v); }

bool streamShapingKey(std::string_view key) {
  namespace k = session_key;
  return key == k::kRealTime || key == k::kProfileLevel || key == k::kAllowFrameReordering ||
         key == k::kColorPrimaries || key == k::kTransferFunction || key == k::kYCbCrMatrix ||
         key == k::kMaxKeyFrameInterval || key == k::kMaxKeyFrameIntervalDuration || key == k::kExpectedFrameRate;
}

}  // namespace

std::int32_t applyProperty(SessionSettings& s, std::string_view key, const PropertyValue& value, bool prepared) {
  namespace k = session_key;
  if (prepared && streamShapingKey(key)) return kPropertyReadOnly;

  if (key == k::kRealTime) {
    // Both encoders are always driven in real time here; the flag is only checked.
    return std::holds_alternative<bool>(value) ? kOk : kInvalidParameter;
  }
  if (key == k::kProfileLevel) {
    const auto* text = asString(value);
    if (!text) return kInvalidParameter;
    if (*text == session_value::kProfileConstrainedHighAutoLevel) {
      s.profile = Profile::constrainedHigh;
    } else if (*text == session_value::kProfileHighAutoLevel) {
      s.profile = Profile::high;
    } else if (*text == "H264_Main_AutoLevel") {
      s.profile = Profile::main;
    } else if (*text == "H264_Baseline_AutoLevel") {
      s.profile = Profile::baseline;
    } else {
      return kPropertyNotSupported;
    }
    return kOk;
  }
  if (key == k::kAllowFrameReordering) {
    const auto* b = std::get_if<bool>(&value);
    if (!b) return kInvalidParameter;
    // Output is delivered in submission order; B-frames would break that.
    return *b ? kPropertyNotSupported : kOk;
  }
  if (key == k::kColorPrimaries || key == k::kTransferFunction || key == k::kYCbCrMatrix) {
    const auto* text = asString(value);
    if (!text) return kInvalidParameter;
    return *text == session_value::kITU_R_709_2 ? kOk : kPropertyNotSupported;
  }
  if (key == k::kMaxKeyFrameInterval) {
    const auto frames = asInt(value);
    if (!frames || *frames < 0) return kInvalidParameter;
    s.maxKeyFrameInterval = *frames;
    return kOk;
  }
  if (key == k::kMaxKeyFrameIntervalDuration) {
    const auto seconds = asNumber(value);
    if (!seconds || !(*seconds >= 0.0) || !std::isfinite(*seconds)) return kInvalidParameter;
    s.maxKeyFrameIntervalDuration = *seconds;
    return kOk;
  }
  if (key == k::kExpectedFrameRate) {
    const auto fps = asNumber(value);
    if (!fps || !(*fps > 0.0) || *fps > 1000.0) return kInvalidParameter;
    s.fps = *fps;
    s.fpsIsInteger = std::holds_alternative<std::int64_t>(value);
    return kOk;
  }
  if (key == k::kEnableLTR) {
    const auto* b = std::get_if<bool>(&value);
    if (!b) return kInvalidParameter;
    // Without long-term references "off" is what an encoder already does; a
    // backend that keeps them answers this key itself.
    return *b ? kPropertyNotSupported : kOk;
  }
  if (key == k::kAverageBitRate || key == k::kConstantBitRate) {
    const auto bps = asInt(value);
    if (!bps || *bps <= 0) return kInvalidParameter;
    // An open encoder keeps its rate-control method.
    const bool wasConstant = s.rate.constantBitrate.has_value();
    const bool wasSet = wasConstant || s.rate.averageBitrate.has_value();
    if (prepared && wasSet && wasConstant != (key == k::kConstantBitRate)) return kPropertyReadOnly;
    if (key == k::kAverageBitRate) {
      s.rate.averageBitrate = *bps;
      s.rate.constantBitrate.reset();
    } else {
      s.rate.constantBitrate = *bps;
      s.rate.averageBitrate.reset();
    }
    return kOk;
  }
  if (key == k::kDataRateLimits) {
    const auto* list = std::get_if<std::vector<PropertyNumber>>(&value);
    if (!list || list->empty() || list->size() % 2 != 0) return kInvalidParameter;
    std::vector<std::pair<std::int64_t, double>> limits;
    for (std::size_t i = 0; i < list->size(); i += 2) {
      const double bytes = toDouble((*list)[i]);
      const double seconds = toDouble((*list)[i + 1]);
      if (!(bytes >= 1.0) || !(seconds > 0.0) || !std::isfinite(bytes) || !std::isfinite(seconds)) {
        return kInvalidParameter;
      }
      limits.emplace_back(bytes >= 9.2e18 ? std::numeric_limits<std::int64_t>::max() : static_cast<std::int64_t>(bytes),
                          seconds);
    }
    s.rate.dataRateLimits = std::move(limits);
    return kOk;
  }
  if (key == k::kMaxAllowedFrameQP) {
    const auto qp = asInt(value);
    if (!qp || *qp < 1) return kInvalidParameter;
    s.rate.maxFrameQP = static_cast<int>(std::min<std::int64_t>(*qp, 51));
    return kOk;
  }
  return kPropertyNotSupported;
}

std::optional<std::int32_t> recoveryProperty(std::string_view key, const PropertyValue& value, bool prepared,
                                             bool& on) {
  if (key != session_key::kEnableLTR) return std::nullopt;
  const auto* b = std::get_if<bool>(&value);
  if (!b) return session_status::kInvalidParameter;
  if (prepared) return session_status::kPropertyReadOnly;
  on = *b;
  return session_status::kOk;
}

int keyframeInterval(const SessionSettings& s, int infinite) {
  double frames = std::numeric_limits<double>::infinity();
  if (s.maxKeyFrameInterval > 0) frames = static_cast<double>(s.maxKeyFrameInterval);
  if (s.maxKeyFrameIntervalDuration > 0.0) frames = std::min(frames, std::round(s.maxKeyFrameIntervalDuration * s.fps));
  if (!std::isfinite(frames) || frames >= static_cast<double>(infinite)) return infinite;
  return std::max(1, static_cast<int>(frames));
}

bool keyframeDueByDuration(const SessionSettings& s, std::optional<std::int64_t> lastKeyframe, std::int64_t ticks,
                           std::int64_t ticksPerSecond) {
  if (!(s.maxKeyFrameIntervalDuration > 0.0) || !lastKeyframe) return false;
  std::int64_t elapsed = 0;
  if (__builtin_sub_overflow(ticks, *lastKeyframe, &elapsed)) {
    elapsed =
        ticks > *lastKeyframe ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
  }
  return static_cast<double>(elapsed) >= s.maxKeyFrameIntervalDuration * static_cast<double>(ticksPerSecond);
}

}  // namespace qx::h264
