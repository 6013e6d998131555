#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

struct OpusEncoder;  // libopus' encoder state; the library header stays out of ours

namespace qx {

inline constexpr std::string_view kAudioErrorDomain = "quorvex-screencap.audio";

// A failure of the audio path's setup. `code` is the library's or the
// system's code, `description` the text shown after "start failed: ".
struct AudioError {
  std::string domain;
  int code = 0;
  std::string description;
};

// Owns one libopus encoder state. Not copyable or movable: the muxer holds
// the only instance. Thread-compatible: one thread at a time may encode.
class OpusEncoder {
 public:
  // Creates the state with OPUS_APPLICATION_AUDIO and sets the bitrate (a
  // bitrate the library refuses is not reported). Fails with the library's
  // negative error code and "opus_encoder_create failed: <code>".
  [[nodiscard]] static std::variant<std::unique_ptr<OpusEncoder>, AudioError> create(std::int32_t sampleRate,
                                                                                     std::int32_t channels,
                                                                                     std::int32_t bitrate);
  ~OpusEncoder();
  OpusEncoder(const OpusEncoder&) = delete;
  OpusEncoder& operator=(const OpusEncoder&) = delete;

  // Never null; owned by this object.
  ::OpusEncoder* enc() const { return enc_; }
  std::int32_t sampleRate() const { return sampleRate_; }
  std::int32_t channels() const { return channels_; }

 private:
  OpusEncoder(::OpusEncoder* enc, std::int32_t sampleRate, std::int32_t channels)
      : enc_(enc), sampleRate_(sampleRate), channels_(channels) {}

  ::OpusEncoder* enc_;
  std::int32_t sampleRate_;
  std::int32_t channels_;
};

}  // namespace qx
