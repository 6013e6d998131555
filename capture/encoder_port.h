#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/media.h"

namespace qx {

// What the capture session needs from the video encoder: frames in, requests
// from the control channel, and whether a keyframe or refresh is waiting.
// encode/recoveryPending run on the sample queue; the four requests come from
// the control channel's thread, so implementations must take them under their
// own lock (setBitrate is not serialised with encode).
class VideoEncoderPort {
 public:
  virtual ~VideoEncoderPort() = default;
  virtual void encode(const PixelBufferRef& pixelBuffer, const MediaTime& pts) = 0;
  virtual bool recoveryPending() = 0;
  virtual void requestKeyframe() = 0;
  virtual void requestRefresh() = 0;
  virtual void acknowledge(std::int64_t token) = 0;
  virtual void setBitrate(std::int64_t bitsPerSecond) = 0;
};

// Everything the encoder is created with, sizes already even.
struct EncoderParams {
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t fps = 30;
  std::int64_t bitrate = 0;
  std::string rc;
  std::int64_t peakMax = 0;
  bool lowLatency = true;
  bool ltr = true;
};

// Creates the session's encoder, writing to the engine's stream writer; null
// when the encoder cannot be created (it has already logged why).
using EncoderFactory = std::function<std::shared_ptr<VideoEncoderPort>(const EncoderParams& params)>;

}  // namespace qx
