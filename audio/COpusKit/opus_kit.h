/* Plain-argument bridge to libopus' variadic control call, so C++ code never
 * calls a variadic function with a request code it could get wrong. */
#ifndef QX_COPUSKIT_OPUS_KIT_H
#define QX_COPUSKIT_OPUS_KIT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct OpusEncoder;

/* Sets the target bitrate of `enc` (not null) in bits per second. Returns the
 * library's result code (0 = OPUS_OK). */
int32_t qx_opus_encoder_set_bitrate(struct OpusEncoder* enc, int32_t bitrate);

#ifdef __cplusplus
}
#endif

#endif
