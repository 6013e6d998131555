#include "capture/h264_encoder_port.h"

namespace qx {

EncoderFactory h264EncoderFactory(AnnexBWriter& writer, H264EncoderDeps deps) {
  return [&writer, deps = std::move(deps)](const EncoderParams& p) -> std::shared_ptr<VideoEncoderPort> {
    H264EncoderConfig config{p.width, p.height, p.fps, p.bitrate, p.rc, p.peakMax, p.lowLatency, p.ltr};
    auto encoder = H264Encoder::create(config, writer, deps);
    if (!encoder) return nullptr;
    return std::make_shared<H264EncoderPort>(std::move(encoder));
  };
}

}  // namespace qx
