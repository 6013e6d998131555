#include "platform/linux/pulse/swr_converter.h"

#include <climits>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace qx {

namespace {

struct SwrDeleter {
  void operator()(SwrContext* ctx) const { swr_free(&ctx); }
};
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;

AVSampleFormat toAv(SampleFormat format, bool interleaved) {
  switch (format) {
    case SampleFormat::u8: return interleaved ? AV_SAMPLE_FMT_U8 : AV_SAMPLE_FMT_U8P;
    case SampleFormat::s16: return interleaved ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S16P;
    case SampleFormat::s32: return interleaved ? AV_SAMPLE_FMT_S32 : AV_SAMPLE_FMT_S32P;
    case SampleFormat::f32: return interleaved ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_FLTP;
    case SampleFormat::f64: return interleaved ? AV_SAMPLE_FMT_DBL : AV_SAMPLE_FMT_DBLP;
  }
  return AV_SAMPLE_FMT_NONE;
}

class SwrConverter final : public AudioConverter {
 public:
  SwrConverter(const AudioFormat& input, SwrPtr ctx) : input_(input), ctx_(std::move(ctx)) {}

  const AudioFormat& inputFormat() const override { return input_; }

  std::optional<std::size_t> convert(const AudioBuffer& buffer, std::span<float> out) override {
    if (buffer.format != input_ || buffer.frameCount < 0) return std::nullopt;
    const std::size_t planes = input_.interleaved ? 1 : static_cast<std::size_t>(input_.channels);
    const std::size_t planeBytes = static_cast<std::size_t>(buffer.frameCount) * bytesPerSample(input_.sampleFormat) *
                                   (input_.interleaved ? static_cast<std::size_t>(input_.channels) : 1);
    if (buffer.planes.size() != planes) return std::nullopt;
    inputs_.clear();
    for (const auto& plane : buffer.planes) {
      if (plane.size() < planeBytes) return std::nullopt;
      inputs_.push_back(plane.data());
    }
    const std::size_t capacity = std::min<std::size_t>(out.size() / 2, INT_MAX);
    std::uint8_t* output[1] = {reinterpret_cast<std::uint8_t*>(out.data())};
    // Frames beyond `capacity` stay buffered inside the resampler.
    int produced = swr_convert(ctx_.get(), output, static_cast<int>(capacity), inputs_.data(), buffer.frameCount);
    if (produced < 0) return std::nullopt;
    return static_cast<std::size_t>(produced);
  }

 private:
  AudioFormat input_;
  SwrPtr ctx_;
  std::vector<const std::uint8_t*> inputs_;
};

}  // namespace

std::unique_ptr<AudioConverter> SwrConverterFactory::make(const AudioFormat& input) {
  if (input.sampleRate < 1 || input.channels < 1 || input.channels > 64) return nullptr;
  const AVSampleFormat inFormat = toAv(input.sampleFormat, input.interleaved);
  if (inFormat == AV_SAMPLE_FMT_NONE) return nullptr;

  AVChannelLayout inLayout{};
  av_channel_layout_default(&inLayout, input.channels);
  AVChannelLayout outLayout = AV_CHANNEL_LAYOUT_STEREO;
  SwrContext* raw = nullptr;
  int status = swr_alloc_set_opts2(&raw, &outLayout, AV_SAMPLE_FMT_FLT, kConverterOutputFormat.sampleRate, &inLayout,
                                   inFormat, input.sampleRate, 0, nullptr);
  av_channel_layout_uninit(&inLayout);
  SwrPtr ctx(raw);
  if (status < 0 || !ctx || swr_init(ctx.get()) < 0) return nullptr;
  return std::make_unique<SwrConverter>(input, std::move(ctx));
}

}  // namespace qx
