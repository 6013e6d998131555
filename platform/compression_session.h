#pragma once

// The H.264 compression session: the boundary between the encoder logic
// (video/) and an encoder backend (platform/linux/x264, tests/fakes).
//
// Shape: create a session for a width and height, optionally asking for the
// low-latency rate controller; set named properties (each answers a status);
// prepare; submit NV12 frames with optional per-frame options; receive each
// encoded frame through the output callback on the session's own thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/media.h"

namespace qx {

// Status codes. 0 is success; everything else is a negative platform status
// that callers print in decimal.
namespace session_status {
inline constexpr std::int32_t kOk = 0;
// The backend cannot honour this key (or this value of it).
inline constexpr std::int32_t kPropertyNotSupported = -12900;
// The key is known but can no longer change (the session is prepared).
inline constexpr std::int32_t kPropertyReadOnly = -12901;
// A value of the wrong type or out of range; a bad argument to create/encode.
inline constexpr std::int32_t kInvalidParameter = -12902;
// No encoder matches the request (e.g. the low-latency rate controller).
inline constexpr std::int32_t kEncoderNotFound = -12908;
// The encoder failed to start or to encode.
inline constexpr std::int32_t kEncoderMalfunction = -12911;
// The session no longer accepts frames.
inline constexpr std::int32_t kSessionInvalid = -12903;
}  // namespace session_status

// Property keys, as their names are printed in log lines.
namespace session_key {
inline constexpr std::string_view kRealTime = "RealTime";                          // bool
inline constexpr std::string_view kProfileLevel = "ProfileLevel";                  // string, session_value
inline constexpr std::string_view kAllowFrameReordering = "AllowFrameReordering";  // bool
inline constexpr std::string_view kColorPrimaries = "ColorPrimaries";              // string
inline constexpr std::string_view kTransferFunction = "TransferFunction";          // string
inline constexpr std::string_view kYCbCrMatrix = "YCbCrMatrix";                    // string
inline constexpr std::string_view kMaxKeyFrameInterval = "MaxKeyFrameInterval";    // int64 frames
inline constexpr std::string_view kMaxKeyFrameIntervalDuration = "MaxKeyFrameIntervalDuration";  // double s
inline constexpr std::string_view kExpectedFrameRate = "ExpectedFrameRate";                      // int64 or double
inline constexpr std::string_view kEnableLTR = "EnableLTR";                                      // bool
inline constexpr std::string_view kConstantBitRate = "ConstantBitRate";                          // int64 bit/s
inline constexpr std::string_view kAverageBitRate = "AverageBitRate";                            // int64 bit/s
// A list of (bytes, seconds) pairs: at most `bytes` in any `seconds` window.
inline constexpr std::string_view kDataRateLimits = "DataRateLimits";
inline constexpr std::string_view kMaxAllowedFrameQP = "MaxAllowedFrameQP";  // int64
}  // namespace session_key

// String values of the keys above.
namespace session_value {
inline constexpr std::string_view kProfileConstrainedHighAutoLevel = "H264_ConstrainedHigh_AutoLevel";
inline constexpr std::string_view kProfileHighAutoLevel = "H264_High_AutoLevel";
inline constexpr std::string_view kITU_R_709_2 = "ITU_R_709_2";
}  // namespace session_value

// A property value: a boolean, an integer, a double, a string, or a list of
// numbers (integers and doubles mixed, as DataRateLimits needs).
using PropertyNumber = std::variant<std::int64_t, double>;
using PropertyValue = std::variant<bool, std::int64_t, double, std::string, std::vector<PropertyNumber>>;

// The numeric value of a number as a double.
inline double toDouble(const PropertyNumber& n) {
  return std::holds_alternative<std::int64_t>(n) ? static_cast<double>(std::get<std::int64_t>(n)) : std::get<double>(n);
}

// Per-frame options. An encode call without options passes std::nullopt.
struct FrameOptions {
  bool forceKeyframe = false;
  // This frame must predict only from acknowledged long-term references.
  bool forceLTRRefresh = false;
  // Long-term-reference tokens the receiver acknowledged, in arrival order.
  std::vector<std::int64_t> acknowledgedTokens;

  bool empty() const { return !forceKeyframe && !forceLTRRefresh && acknowledgedTokens.empty(); }
  friend bool operator==(const FrameOptions&, const FrameOptions&) = default;
};

// One encoded frame as the session delivers it.
struct EncodedSample {
  // False when the encoder delivered a sample whose data is not ready yet.
  bool dataReady = true;
  // The frame's NAL units, each preceded by a 4-byte big-endian length, in one
  // contiguous block. Absent when the sample has no data buffer.
  std::optional<std::vector<std::uint8_t>> data;
  // The "not sync" attachment: true for frames that are not keyframes. Absent
  // when the sample carries no such attachment (which means keyframe).
  std::optional<bool> notSync;
  // The token the encoder wants acknowledged when this frame is decoded.
  std::optional<std::int64_t> ltrToken;
  // The format description's H.264 parameter sets (SPS, then PPS), without
  // start codes or length prefixes. Absent when the sample has no format
  // description. An empty entry is a set that could not be read.
  std::optional<std::vector<std::vector<std::uint8_t>>> parameterSets;
  MediaTime presentationTime;
};

// Called once per encoded frame on the session's own thread (never on the
// caller of encode). `status` 0 and a non-null `sample` deliver a frame; a
// non-zero status or a null sample means the frame was dropped or failed.
// `sample` is valid only during the call.
using CompressionOutputCallback = std::function<void(std::int32_t status, const EncodedSample* sample)>;

class CompressionSession {
 public:
  virtual ~CompressionSession() = default;

  // Sets one property. Returns 0, kPropertyNotSupported for a key or value the
  // backend cannot honour, or another status. Thread: one caller at a time;
  // may run while frames are in flight (rate changes apply before the next
  // frame the encoder starts).
  [[nodiscard]] virtual std::int32_t setProperty(std::string_view key, const PropertyValue& value) = 0;

  // Lets the session allocate its resources after the properties are set.
  // A non-zero status means the session cannot encode.
  [[nodiscard]] virtual std::int32_t prepare() = 0;

  // Queues one frame. Never blocks on the encoder's work. `options` absent or
  // empty means none. Returns 0 when the frame was accepted. Thread: one
  // caller at a time (the capture sample queue).
  virtual std::int32_t encode(PixelBufferRef buffer, MediaTime pts, const std::optional<FrameOptions>& options) = 0;

  // Blocks until every frame submitted so far has been delivered through the
  // output callback or dropped. Must not be called from the output callback.
  virtual void completeFrames() = 0;
};

struct EncoderRequest {
  bool enableLowLatencyRateControl = false;
  // Long-term references will be asked for (EnableLTR), so a backend that
  // has them is preferred.
  bool longTermReferences = false;
};

struct CompressionSessionParams {
  std::int32_t width = 0;
  std::int32_t height = 0;
  // Absent: the default (classic) encoder.
  std::optional<EncoderRequest> encoderRequest;
  // Must stay callable until the session is destroyed; the session's
  // destructor returns only after the last call has returned.
  CompressionOutputCallback output;
};

// `session` is non-null when status is 0. A backend may also return a session
// together with a non-zero status; the caller decides what that means.
struct CompressionSessionCreateResult {
  std::int32_t status = session_status::kEncoderMalfunction;
  std::unique_ptr<CompressionSession> session;
};

using CompressionSessionFactory = std::function<CompressionSessionCreateResult(CompressionSessionParams params)>;

}  // namespace qx
