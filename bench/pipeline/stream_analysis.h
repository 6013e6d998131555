#pragma once

// What a pipeline delivered: its standard output recorded with arrival times,
// cut into pictures, decoded, and each picture matched to its source frame by
// the counter stamped into it.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/pipeline/content.h"
#include "bench/pipeline/screen_feeder.h"

struct AVCodecContext;
struct AVPacket;
struct AVFrame;
struct SwsContext;

namespace qx::bench {

// Reads a child's standard output on its own thread, keeping every byte and
// when each read returned.
class OutputRecorder {
 public:
  explicit OutputRecorder(int fd);
  ~OutputRecorder();
  OutputRecorder(const OutputRecorder&) = delete;
  OutputRecorder& operator=(const OutputRecorder&) = delete;

  // Stops reading; bytes() and arrivals() are complete afterwards.
  void stop();
  std::size_t bytesSoFar() const { return total_.load(); }

  struct Arrival {
    std::size_t end;  // bytes read so far, this read included
    Steady::time_point at;
  };
  const std::string& bytes() const { return bytes_; }
  const std::vector<Arrival>& arrivals() const { return arrivals_; }

 private:
  void run();

  int fd_;
  std::atomic<bool> done_{false};
  std::atomic<std::size_t> total_{0};
  std::string bytes_;
  std::vector<Arrival> arrivals_;
  std::thread thread_;
};

// One coded picture: the access unit's bytes [begin, end), and when the last
// byte of its last slice had been read (a delimiter or the next picture's
// headers may come much later, so the reader's wait for them does not count).
struct Picture {
  std::size_t begin = 0;
  std::size_t end = 0;
  Steady::time_point arrived;
};
std::vector<Picture> splitPictures(const std::string& bytes, const std::vector<OutputRecorder::Arrival>& arrivals);

// libavcodec's H.264 decoder, single-threaded and without output delay, fed
// one access unit at a time.
class LumaDecoder {
 public:
  LumaDecoder();
  ~LumaDecoder();
  LumaDecoder(const LumaDecoder&) = delete;
  LumaDecoder& operator=(const LumaDecoder&) = delete;

  using FrameFn = std::function<void(const std::uint8_t* luma, int stride, int width, int height)>;
  // Calls `frame` for each picture the unit gives back; undecodable input is skipped.
  void decode(std::string_view accessUnit, const FrameFn& frame);

 private:
  AVCodecContext* ctx_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  std::vector<std::uint8_t> buffer_;
};

enum class Matrix { bt601, bt709 };

// The luma a pipeline should have made of a source frame: BGRX to 4:2:0 video
// range in the pipeline's matrix, scaled by area averaging when the sizes
// differ, through libswscale.
class ReferenceLuma {
 public:
  ReferenceLuma(int srcWidth, int srcHeight, int dstWidth, int dstHeight, Matrix matrix);
  ~ReferenceLuma();
  ReferenceLuma(const ReferenceLuma&) = delete;
  ReferenceLuma& operator=(const ReferenceLuma&) = delete;

  // The luma plane, dstWidth bytes per row; valid until the next call.
  const std::uint8_t* convert(const std::uint8_t* bgrx, int stride);

 private:
  SwsContext* sws_ = nullptr;
  int srcHeight_, dstWidth_;
  std::vector<std::uint8_t> y_, u_, v_;
};

// Mean SSIM of two luma planes over 8x8 windows every 4 pixels (as x264 and
// ffmpeg compute it), leaving out windows that touch `exclude`.
double lumaSsim(const std::uint8_t* a, int aStride, const std::uint8_t* b, int bStride, int width, int height,
                Rect exclude);

struct StreamFigures {
  int pictures = 0;       // arrived in the window
  int framesPut = 0;      // source frames put in the window
  int framesMatched = 0;  // of those, seen in the output
  int unreadable = 0;     // decoded pictures whose counter did not read
  std::vector<double> latenciesMs;
  double ssim = 0;
  int ssimFrames = 0;
  std::size_t bytes = 0;  // arrived in the window
};

struct Window {
  Steady::time_point from;
  Steady::time_point to;
  double seconds() const { return std::chrono::duration<double>(to - from).count(); }
};

// Decodes the whole recording and pairs each source frame put in `window`
// with its first appearance in the output. `reference` is a fresh copy of the
// content on screen, only ever stepped forwards: recordings must be analysed
// in the order they were made.
StreamFigures analyse(const OutputRecorder& output, const ScreenFeeder& feeder, Window window, Content& reference,
                      ReferenceLuma& luma, int outWidth, int outHeight);

}  // namespace qx::bench
