#pragma once

#include <memory>

#include "capture/encoder_port.h"
#include "video/annexb_writer.h"
#include "video/h264_encoder.h"

namespace qx {

// The session's H264Encoder behind the engine's encoder port.
class H264EncoderPort final : public VideoEncoderPort {
 public:
  explicit H264EncoderPort(std::unique_ptr<H264Encoder> encoder) : encoder_(std::move(encoder)) {}

  void encode(const PixelBufferRef& pixelBuffer, const MediaTime& pts) override { encoder_->encode(pixelBuffer, pts); }
  bool recoveryPending() override { return encoder_->recoveryPending(); }
  void requestKeyframe() override { encoder_->requestKeyframe(); }
  void requestRefresh() override { encoder_->requestRefresh(); }
  void acknowledge(std::int64_t token) override { encoder_->acknowledge(token); }
  void setBitrate(std::int64_t bitsPerSecond) override { encoder_->setBitrate(bitsPerSecond); }

 private:
  std::unique_ptr<H264Encoder> encoder_;
};

// Creates H264Encoders writing to `writer`. `writer` and whatever `deps`
// refers to must outlive every encoder made.
EncoderFactory h264EncoderFactory(AnnexBWriter& writer, H264EncoderDeps deps);

}  // namespace qx
