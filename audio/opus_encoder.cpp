#include "audio/opus_encoder.h"

#include <opus.h>

#include "audio/COpusKit/opus_kit.h"

namespace qx {

std::variant<std::unique_ptr<OpusEncoder>, AudioError> OpusEncoder::create(std::int32_t sampleRate,
                                                                           std::int32_t channels,
                                                                           std::int32_t bitrate) {
  int error = OPUS_OK;
  ::OpusEncoder* enc = opus_encoder_create(sampleRate, channels, OPUS_APPLICATION_AUDIO, &error);
  if (enc == nullptr || error != OPUS_OK) {
    if (enc != nullptr) opus_encoder_destroy(enc);
    if (error == OPUS_OK) error = OPUS_ALLOC_FAIL;  // no state but no code: say why
    return AudioError{std::string(kAudioErrorDomain), error, "opus_encoder_create failed: " + std::to_string(error)};
  }
  // A refused bitrate leaves the library's default in place; nothing to report.
  (void)qx_opus_encoder_set_bitrate(enc, bitrate);
  return std::unique_ptr<OpusEncoder>(new OpusEncoder(enc, sampleRate, channels));
}

OpusEncoder::~OpusEncoder() { opus_encoder_destroy(enc_); }

}  // namespace qx
