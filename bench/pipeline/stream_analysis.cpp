#include "bench/pipeline/stream_analysis.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace qx::bench {

OutputRecorder::OutputRecorder(int fd) : fd_(fd), thread_([this] { run(); }) {}

OutputRecorder::~OutputRecorder() { stop(); }

void OutputRecorder::stop() {
  done_ = true;
  if (thread_.joinable()) thread_.join();
}

void OutputRecorder::run() {
  std::vector<char> buf(1 << 20);
  while (!done_) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = read(fd_, buf.data(), buf.size());
    if (n <= 0) break;
    const auto now = Steady::now();
    bytes_.append(buf.data(), static_cast<std::size_t>(n));
    arrivals_.push_back({bytes_.size(), now});
    total_ = bytes_.size();
  }
}

std::vector<Picture> splitPictures(const std::string& bytes, const std::vector<OutputRecorder::Arrival>& arrivals) {
  auto arrivalOf = [&](std::size_t offset) {
    const auto it = std::upper_bound(arrivals.begin(), arrivals.end(), offset,
                                     [](std::size_t o, const OutputRecorder::Arrival& a) { return o < a.end; });
    return it == arrivals.end() ? arrivals.back().at : it->at;
  };
  struct Nal {
    std::size_t start;    // first byte of the start code
    std::size_t payload;  // the NAL header
  };
  std::vector<Nal> nals;
  for (std::size_t i = 0; i + 3 < bytes.size(); ++i) {
    if (bytes[i] != 0 || bytes[i + 1] != 0 || bytes[i + 2] != 1) continue;
    nals.push_back({i > 0 && bytes[i - 1] == 0 ? i - 1 : i, i + 3});
    i += 2;
  }
  std::vector<Picture> pictures;
  std::size_t begin = 0, lastSliceEnd = 0;
  bool haveSlice = false;
  for (std::size_t k = 0; k < nals.size(); ++k) {
    const int type = bytes[nals[k].payload] & 0x1f;
    const std::size_t end = k + 1 < nals.size() ? nals[k + 1].start : bytes.size();
    const bool slice = type == 1 || type == 5;
    // first_mb_in_slice == 0 is the single bit '1' after the header.
    const bool firstSlice = slice && nals[k].payload + 1 < bytes.size() && (bytes[nals[k].payload + 1] & 0x80) != 0;
    const bool startsUnit = firstSlice || type == 9 || type == 7 || type == 8 || type == 6;
    if (startsUnit && haveSlice) {
      pictures.push_back({begin, nals[k].start, arrivalOf(lastSliceEnd - 1)});
      begin = nals[k].start;
      haveSlice = false;
    }
    if (slice) {
      haveSlice = true;
      lastSliceEnd = end;
    }
  }
  if (haveSlice) pictures.push_back({begin, bytes.size(), arrivalOf(lastSliceEnd - 1)});
  return pictures;
}

LumaDecoder::LumaDecoder() {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (codec == nullptr) throw std::runtime_error("libavcodec has no H.264 decoder");
  ctx_ = avcodec_alloc_context3(codec);
  packet_ = av_packet_alloc();
  frame_ = av_frame_alloc();
  if (!ctx_ || !packet_ || !frame_) throw std::runtime_error("libavcodec: out of memory");
  ctx_->thread_count = 1;
  ctx_->flags |= AV_CODEC_FLAG_LOW_DELAY;
  if (avcodec_open2(ctx_, codec, nullptr) < 0) throw std::runtime_error("libavcodec: cannot open the decoder");
}

LumaDecoder::~LumaDecoder() {
  av_frame_free(&frame_);
  av_packet_free(&packet_);
  avcodec_free_context(&ctx_);
}

void LumaDecoder::decode(std::string_view unit, const FrameFn& frame) {
  // The parser-less decoder reads past the end of a packet, hence the padding.
  buffer_.assign(unit.begin(), unit.end());
  buffer_.resize(unit.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  packet_->data = buffer_.data();
  packet_->size = static_cast<int>(unit.size());
  (void)avcodec_send_packet(ctx_, packet_);
  while (avcodec_receive_frame(ctx_, frame_) == 0) {
    frame(frame_->data[0], frame_->linesize[0], frame_->width, frame_->height);
    av_frame_unref(frame_);
  }
}

ReferenceLuma::ReferenceLuma(int srcWidth, int srcHeight, int dstWidth, int dstHeight, Matrix matrix)
    : srcHeight_(srcHeight),
      dstWidth_(dstWidth),
      y_(static_cast<std::size_t>(dstWidth) * static_cast<std::size_t>(dstHeight)),
      u_(y_.size() / 4 + dstWidth),
      v_(y_.size() / 4 + dstWidth) {
  sws_ = sws_getContext(srcWidth, srcHeight, AV_PIX_FMT_BGR0, dstWidth, dstHeight, AV_PIX_FMT_YUV420P,
                        SWS_AREA | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
  if (!sws_) throw std::runtime_error("libswscale refused the reference conversion");
  const int* coefficients = sws_getCoefficients(matrix == Matrix::bt709 ? SWS_CS_ITU709 : SWS_CS_ITU601);
  // Source full range (RGB), destination video range.
  sws_setColorspaceDetails(sws_, coefficients, 1, coefficients, 0, 0, 1 << 16, 1 << 16);
}

ReferenceLuma::~ReferenceLuma() { sws_freeContext(sws_); }

const std::uint8_t* ReferenceLuma::convert(const std::uint8_t* bgrx, int stride) {
  const std::uint8_t* src[4] = {bgrx, nullptr, nullptr, nullptr};
  const int srcStride[4] = {stride, 0, 0, 0};
  std::uint8_t* dst[4] = {y_.data(), u_.data(), v_.data(), nullptr};
  const int dstStride[4] = {dstWidth_, (dstWidth_ + 1) / 2, (dstWidth_ + 1) / 2, 0};
  sws_scale(sws_, src, srcStride, 0, srcHeight_, dst, dstStride);
  return y_.data();
}

double lumaSsim(const std::uint8_t* a, int aStride, const std::uint8_t* b, int bStride, int width, int height,
                Rect exclude) {
  // Sums over 4x4 blocks, each 8x8 window adding four of them.
  const int bw = width / 4, bh = height / 4;
  struct Sums {
    std::int64_t s1 = 0, s2 = 0, ss = 0, s12 = 0;
  };
  std::vector<Sums> blocks(static_cast<std::size_t>(bw) * static_cast<std::size_t>(bh));
  for (int by = 0; by < bh; ++by) {
    for (int bx = 0; bx < bw; ++bx) {
      Sums& s = blocks[static_cast<std::size_t>(by) * bw + bx];
      for (int y = by * 4; y < by * 4 + 4; ++y) {
        const std::uint8_t* ra = a + static_cast<std::ptrdiff_t>(y) * aStride;
        const std::uint8_t* rb = b + static_cast<std::ptrdiff_t>(y) * bStride;
        for (int x = bx * 4; x < bx * 4 + 4; ++x) {
          const int pa = ra[x], pb = rb[x];
          s.s1 += pa;
          s.s2 += pb;
          s.ss += pa * pa + pb * pb;
          s.s12 += pa * pb;
        }
      }
    }
  }
  constexpr double c1 = (0.01 * 255) * (0.01 * 255), c2 = (0.03 * 255) * (0.03 * 255);
  double total = 0;
  long long windows = 0;
  for (int by = 0; by + 1 < bh; ++by) {
    for (int bx = 0; bx + 1 < bw; ++bx) {
      const int x = bx * 4, y = by * 4;
      if (x < exclude.x + exclude.width && x + 8 > exclude.x && y < exclude.y + exclude.height && y + 8 > exclude.y) {
        continue;
      }
      Sums w;
      for (const Sums* s :
           {&blocks[static_cast<std::size_t>(by) * bw + bx], &blocks[static_cast<std::size_t>(by) * bw + bx + 1],
            &blocks[static_cast<std::size_t>(by + 1) * bw + bx],
            &blocks[static_cast<std::size_t>(by + 1) * bw + bx + 1]}) {
        w.s1 += s->s1;
        w.s2 += s->s2;
        w.ss += s->ss;
        w.s12 += s->s12;
      }
      const double m1 = w.s1 / 64.0, m2 = w.s2 / 64.0;
      const double variances = w.ss / 64.0 - m1 * m1 - m2 * m2, covariance = w.s12 / 64.0 - m1 * m2;
      total += (2 * m1 * m2 + c1) * (2 * covariance + c2) / ((m1 * m1 + m2 * m2 + c1) * (variances + c2));
      ++windows;
    }
  }
  return windows > 0 ? total / static_cast<double>(windows) : 0.0;
}

StreamFigures analyse(const OutputRecorder& output, const ScreenFeeder& feeder, Window window, Content& reference,
                      ReferenceLuma& luma, int outWidth, int outHeight) {
  StreamFigures f;
  f.framesPut = feeder.framesPutBetween(window.from, window.to);
  const std::string& bytes = output.bytes();
  if (bytes.empty()) return f;
  const std::vector<Picture> pictures = splitPictures(bytes, output.arrivals());
  for (const Picture& p : pictures) {
    if (p.arrived >= window.from && p.arrived < window.to) {
      ++f.pictures;
      f.bytes += p.end - p.begin;
    }
  }
  const Rect counter = frame_counter::area(outWidth);
  std::set<int> seen;
  double ssimSum = 0;
  LumaDecoder decoder;
  for (const Picture& p : pictures) {
    decoder.decode(std::string_view(bytes).substr(p.begin, p.end - p.begin),
                   [&](const std::uint8_t* y, int stride, int width, int height) {
                     const std::optional<int> n = frame_counter::read(y, stride, width, height);
                     if (!n) {
                       ++f.unreadable;
                       return;
                     }
                     // A repeat shows nothing new; only a frame's first appearance counts.
                     if (!seen.insert(*n).second) return;
                     const std::optional<Steady::time_point> put = feeder.putTime(*n);
                     if (!put || *put < window.from || *put >= window.to) return;
                     ++f.framesMatched;
                     f.latenciesMs.push_back(std::chrono::duration<double, std::milli>(p.arrived - *put).count());
                     if (width != outWidth || height != outHeight || *n <= reference.frame()) return;
                     reference.advanceTo(*n);
                     ssimSum += lumaSsim(y, stride, luma.convert(reference.pixels(), reference.stride()), outWidth,
                                         outWidth, outHeight, counter);
                     ++f.ssimFrames;
                   });
  }
  if (f.ssimFrames > 0) f.ssim = ssimSum / f.ssimFrames;
  return f;
}

}  // namespace qx::bench
