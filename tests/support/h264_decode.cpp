#include "tests/support/h264_decode.h"

#include <wels/codec_api.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace qx::test::h264 {

namespace {

constexpr int kAudType = 9;
constexpr int kSeiType = 6;
constexpr int kUserDataUnregistered = 5;
constexpr std::string_view kLtrUuid = "QuorvexLTRmeta01";

struct Nal {
  std::size_t start = 0;    // first byte of the start code
  std::size_t payload = 0;  // first byte after the start code (the NAL header)
};

// Start codes (3- or 4-byte) in `bytes`, in order.
std::vector<Nal> findNals(std::string_view bytes) {
  std::vector<Nal> nals;
  for (std::size_t i = 0; i + 2 < bytes.size(); ++i) {
    if (bytes[i] != 0 || bytes[i + 1] != 0 || bytes[i + 2] != 1) continue;
    const std::size_t start = (i > 0 && bytes[i - 1] == 0) ? i - 1 : i;
    nals.push_back({start, i + 3});
    i += 2;
  }
  return nals;
}

int typeAt(std::string_view bytes, std::size_t at) { return static_cast<unsigned char>(bytes[at]) & 0x1F; }

// The RBSP of a NAL unit: emulation prevention bytes (00 00 03) removed.
std::string unescape(std::string_view nal) {
  std::string out;
  out.reserve(nal.size());
  int zeros = 0;
  for (char c : nal) {
    if (zeros >= 2 && c == 3) {
      zeros = 0;
      continue;
    }
    zeros = c == 0 ? zeros + 1 : 0;
    out.push_back(c);
  }
  return out;
}

// Reads an SEI payload type or size (a run of 0xFF bytes plus a last byte).
std::optional<std::size_t> seiNumber(std::string_view rbsp, std::size_t& at) {
  std::size_t value = 0;
  while (at < rbsp.size()) {
    const auto byte = static_cast<unsigned char>(rbsp[at++]);
    value += byte;
    if (byte != 0xFF) return value;
  }
  return std::nullopt;
}

std::optional<std::string> ltrTextOfSei(std::string_view rbsp) {
  std::size_t at = 1;  // after the NAL header
  // A message needs at least two bytes; the rest is the trailing 0x80.
  while (at + 1 < rbsp.size()) {
    const auto type = seiNumber(rbsp, at);
    const auto size = seiNumber(rbsp, at);
    if (!type || !size || *size > rbsp.size() - at) return std::nullopt;
    const std::string_view payload = rbsp.substr(at, *size);
    at += *size;
    if (*type == kUserDataUnregistered && payload.size() >= kLtrUuid.size() && payload.starts_with(kLtrUuid)) {
      return std::string(payload.substr(kLtrUuid.size()));
    }
  }
  return std::nullopt;
}

void copyPlane(const std::uint8_t* src, int stride, int width, int height, std::vector<std::uint8_t>& out) {
  out.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  for (int row = 0; row < height; ++row) {
    std::memcpy(out.data() + static_cast<std::size_t>(row) * static_cast<std::size_t>(width),
                src + static_cast<std::ptrdiff_t>(row) * stride, static_cast<std::size_t>(width));
  }
}

Frame copyI420(int width, int height, const std::uint8_t* const planes[3], const int strides[3]) {
  Frame f;
  f.width = width;
  f.height = height;
  const int cw = (width + 1) / 2;
  const int ch = (height + 1) / 2;
  copyPlane(planes[0], strides[0], width, height, f.y);
  copyPlane(planes[1], strides[1], cw, ch, f.u);
  copyPlane(planes[2], strides[2], cw, ch, f.v);
  return f;
}

// Size of the access unit without the delimiter at its end. OpenH264 takes a
// delimiter for the start of the next access unit and then holds the picture
// back; DecodeFrameNoDelay already marks the end of this one.
std::size_t withoutClosingDelimiter(std::string_view unit) {
  const std::vector<Nal> nals = findNals(unit);
  if (nals.empty() || nals.back().payload >= unit.size() || typeAt(unit, nals.back().payload) != kAudType) {
    return unit.size();
  }
  return nals.back().start;
}

}  // namespace

std::vector<std::string> splitAccessUnits(std::string_view bytes) {
  std::vector<std::string> units;
  std::size_t begin = 0;
  for (const Nal& nal : findNals(bytes)) {
    if (nal.payload >= bytes.size() || typeAt(bytes, nal.payload) != kAudType) continue;
    // The delimiter is two bytes: header and primary_pic_type with the stop bit.
    const std::size_t end = nal.payload + 2;
    if (end > bytes.size()) break;
    units.emplace_back(bytes.substr(begin, end - begin));
    begin = end;
  }
  return units;
}

std::vector<int> nalTypes(std::string_view bytes) {
  std::vector<int> types;
  for (const Nal& nal : findNals(bytes)) {
    if (nal.payload < bytes.size()) types.push_back(typeAt(bytes, nal.payload));
  }
  return types;
}

std::optional<std::string> ltrSeiText(std::string_view accessUnit) {
  const std::vector<Nal> nals = findNals(accessUnit);
  for (std::size_t i = 0; i < nals.size(); ++i) {
    if (nals[i].payload >= accessUnit.size() || typeAt(accessUnit, nals[i].payload) != kSeiType) continue;
    const std::size_t end = i + 1 < nals.size() ? nals[i + 1].start : accessUnit.size();
    if (auto text = ltrTextOfSei(unescape(accessUnit.substr(nals[i].payload, end - nals[i].payload)))) return text;
  }
  return std::nullopt;
}

std::vector<Frame> decodeWithLibavcodec(std::span<const std::string> accessUnits) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (codec == nullptr) throw std::runtime_error("libavcodec has no H.264 decoder");
  auto freeContext = [](AVCodecContext* c) { avcodec_free_context(&c); };
  std::unique_ptr<AVCodecContext, decltype(freeContext)> ctx(avcodec_alloc_context3(codec), freeContext);
  auto freePacket = [](AVPacket* p) { av_packet_free(&p); };
  std::unique_ptr<AVPacket, decltype(freePacket)> packet(av_packet_alloc(), freePacket);
  auto freeFrame = [](AVFrame* f) { av_frame_free(&f); };
  std::unique_ptr<AVFrame, decltype(freeFrame)> frame(av_frame_alloc(), freeFrame);
  if (!ctx || !packet || !frame) throw std::runtime_error("libavcodec: out of memory");
  ctx->thread_count = 1;
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) throw std::runtime_error("libavcodec: cannot open the decoder");

  std::vector<Frame> frames;
  auto drain = [&] {
    while (avcodec_receive_frame(ctx.get(), frame.get()) == 0) {
      const AVPixelFormat format = static_cast<AVPixelFormat>(frame->format);
      if (format != AV_PIX_FMT_YUV420P && format != AV_PIX_FMT_YUVJ420P) {
        throw std::runtime_error("libavcodec: unexpected pixel format " + std::to_string(frame->format));
      }
      const std::uint8_t* planes[3] = {frame->data[0], frame->data[1], frame->data[2]};
      const int strides[3] = {frame->linesize[0], frame->linesize[1], frame->linesize[2]};
      frames.push_back(copyI420(frame->width, frame->height, planes, strides));
      av_frame_unref(frame.get());
    }
  };
  // The parser-less decoder reads past the end of a packet, hence the padding.
  std::vector<std::uint8_t> buffer;
  for (const std::string& unit : accessUnits) {
    buffer.assign(unit.begin(), unit.end());
    buffer.resize(unit.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    packet->data = buffer.data();
    packet->size = static_cast<int>(unit.size());
    (void)avcodec_send_packet(ctx.get(), packet.get());
    drain();
  }
  avcodec_send_packet(ctx.get(), nullptr);
  drain();
  return frames;
}

std::vector<Frame> decodeWithOpenH264(std::span<const std::string> accessUnits) {
  ISVCDecoder* raw = nullptr;
  if (WelsCreateDecoder(&raw) != 0 || raw == nullptr) throw std::runtime_error("OpenH264: cannot create a decoder");
  auto destroy = [](ISVCDecoder* d) {
    d->Uninitialize();
    WelsDestroyDecoder(d);
  };
  std::unique_ptr<ISVCDecoder, decltype(destroy)> decoder(raw, destroy);
  int quiet = WELS_LOG_QUIET;
  decoder->SetOption(DECODER_OPTION_TRACE_LEVEL, &quiet);
  SDecodingParam param{};
  param.sVideoProperty.eVideoBsType = VIDEO_BITSTREAM_AVC;
  param.eEcActiveIdc = ERROR_CON_SLICE_COPY;
  if (decoder->Initialize(&param) != 0) throw std::runtime_error("OpenH264: cannot initialise the decoder");

  std::vector<Frame> frames;
  auto take = [&](std::uint8_t* const dst[3], const SBufferInfo& info) {
    if (info.iBufferStatus != 1) return;
    const SSysMEMBuffer& b = info.UsrData.sSystemBuffer;
    const std::uint8_t* planes[3] = {dst[0], dst[1], dst[2]};
    const int strides[3] = {b.iStride[0], b.iStride[1], b.iStride[1]};
    frames.push_back(copyI420(b.iWidth, b.iHeight, planes, strides));
  };
  for (const std::string& unit : accessUnits) {
    const std::size_t size = withoutClosingDelimiter(unit);
    std::uint8_t* dst[3] = {};
    SBufferInfo info{};
    (void)decoder->DecodeFrameNoDelay(reinterpret_cast<const unsigned char*>(unit.data()), static_cast<int>(size), dst,
                                      &info);
    take(dst, info);
  }
  int remaining = 0;
  decoder->GetOption(DECODER_OPTION_NUM_OF_FRAMES_REMAINING_IN_BUFFER, &remaining);
  for (int i = 0; i < remaining; ++i) {
    std::uint8_t* dst[3] = {};
    SBufferInfo info{};
    decoder->FlushFrame(dst, &info);
    take(dst, info);
  }
  return frames;
}

}  // namespace qx::test::h264
