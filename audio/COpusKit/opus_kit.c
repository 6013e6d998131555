#include "audio/COpusKit/opus_kit.h"

#include <opus.h>

int32_t qx_opus_encoder_set_bitrate(struct OpusEncoder* enc, int32_t bitrate) {
  return opus_encoder_ctl(enc, OPUS_SET_BITRATE(bitrate));
}
