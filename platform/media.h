#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace qx {

// The platform's rational time: value / timescale seconds. The invalid time
// has every field 0.
struct MediaTime {
  static constexpr std::uint32_t kValid = 1u << 0;
  static constexpr std::uint32_t kHasBeenRounded = 1u << 1;
  static constexpr std::uint32_t kPositiveInfinity = 1u << 2;
  static constexpr std::uint32_t kNegativeInfinity = 1u << 3;
  static constexpr std::uint32_t kIndefinite = 1u << 4;

  std::int64_t value = 0;
  std::int32_t timescale = 0;
  std::uint32_t flags = 0;
  std::int64_t epoch = 0;

  static constexpr MediaTime invalid() { return {}; }
  static constexpr MediaTime make(std::int64_t value, std::int32_t timescale) { return {value, timescale, kValid, 0}; }
  // Host media clock times are nanoseconds.
  static constexpr std::int32_t kHostTimescale = 1'000'000'000;
  static constexpr MediaTime fromHostNanos(std::int64_t ns) { return make(ns, kHostTimescale); }

  // Valid and numeric (not infinite or indefinite), with a positive timescale.
  bool isNumeric() const {
    return (flags & kValid) && !(flags & (kPositiveInfinity | kNegativeInfinity | kIndefinite)) && timescale > 0;
  }
  bool isValid() const { return (flags & kValid) != 0; }
  double seconds() const;

  friend bool operator==(const MediaTime&, const MediaTime&) = default;
};

// Compares two numeric times exactly (cross-multiplied in 128 bits): <0, 0, >0.
int compare(const MediaTime& a, const MediaTime& b);
// a + b for numeric times, expressed in a's timescale (rounded toward zero).
MediaTime addSeconds(const MediaTime& a, double seconds);

// An NV12 picture (8-bit 4:2:0, luma plane then interleaved CbCr plane),
// BT.709 video range. Owned by whoever holds the last reference; capture
// backends hand them out from a fixed pool, so holding one keeps a pool slot.
class PixelBuffer {
 public:
  PixelBuffer(int width, int height);
  PixelBuffer(const PixelBuffer&) = delete;
  PixelBuffer& operator=(const PixelBuffer&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  // Plane 0: luma, width x height. Plane 1: CbCr pairs, (width/2) pairs x height/2.
  std::uint8_t* plane(int index) { return data_.data() + (index == 0 ? 0 : planeOffset1_); }
  const std::uint8_t* plane(int index) const { return data_.data() + (index == 0 ? 0 : planeOffset1_); }
  int stride(int index) const { return index == 0 ? strideY_ : strideUV_; }

 private:
  int width_;
  int height_;
  int strideY_;
  int strideUV_;
  std::size_t planeOffset1_;
  std::vector<std::uint8_t> data_;
};
using PixelBufferRef = std::shared_ptr<PixelBuffer>;

// Sample layout of an audio buffer as the source delivers it.
enum class SampleFormat { s16, s32, f32, f64, u8 };

struct AudioFormat {
  SampleFormat sampleFormat = SampleFormat::f32;
  int sampleRate = 48000;
  int channels = 2;
  bool interleaved = true;
  friend bool operator==(const AudioFormat&, const AudioFormat&) = default;
};

// PCM audio in the source's own format. Interleaved buffers use planes[0];
// planar ones have one plane per channel.
struct AudioBuffer {
  AudioFormat format;
  int frameCount = 0;
  std::vector<std::vector<std::uint8_t>> planes;
  MediaTime presentationTime;
};

std::size_t bytesPerSample(SampleFormat f);

}  // namespace qx
