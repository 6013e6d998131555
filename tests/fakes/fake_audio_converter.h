#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/audio_converter.h"

namespace qx::fake {

// Converters that copy interleaved float stereo through unchanged (whatever
// the rate says), so tests know exactly which samples come out. Records what
// it was asked to do.
class FakeAudioConverterFactory final : public AudioConverterFactory {
 public:
  struct Record {
    std::vector<AudioFormat> made;        // one entry per converter made
    std::vector<std::size_t> capacities;  // output frames offered to each convert call
    int converts = 0;
  };

  std::unique_ptr<AudioConverter> make(const AudioFormat& input) override {
    record_->made.push_back(input);
    if (refuseAll) return nullptr;
    return std::make_unique<Converter>(input, record_, failConvert);
  }

  const Record& record() const { return *record_; }
  // Set before the converter is made.
  bool refuseAll = false;
  std::shared_ptr<bool> failConvert = std::make_shared<bool>(false);

 private:
  class Converter final : public AudioConverter {
   public:
    Converter(AudioFormat in, std::shared_ptr<Record> record, std::shared_ptr<bool> fail)
        : in_(in), record_(std::move(record)), fail_(std::move(fail)) {}
    const AudioFormat& inputFormat() const override { return in_; }
    std::optional<std::size_t> convert(const AudioBuffer& input, std::span<float> out) override {
      ++record_->converts;
      record_->capacities.push_back(out.size() / 2);
      if (*fail_ || in_.sampleFormat != SampleFormat::f32 || in_.channels != 2 || !in_.interleaved) {
        return std::nullopt;
      }
      std::size_t frames = std::min(static_cast<std::size_t>(input.frameCount), out.size() / 2);
      std::memcpy(out.data(), input.planes[0].data(), frames * 2 * sizeof(float));
      return frames;
    }

   private:
    AudioFormat in_;
    std::shared_ptr<Record> record_;
    std::shared_ptr<bool> fail_;
  };

  std::shared_ptr<Record> record_ = std::make_shared<Record>();
};

}  // namespace qx::fake
