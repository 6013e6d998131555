#pragma once

#include "capture/audio_port.h"
#include "common/log.h"
#include "platform/audio_converter.h"
#include "platform/dispatch.h"

namespace qx {

// The capture engine's audio path: each call makes an AudioMuxer on the
// descriptor and starts it; the engine keeps the sink (and so the muxer) for
// the life of the process. A failed start becomes the engine's start error.
// The arguments must outlive every sink made.
AudioSinkFactory muxingAudioSinkFactory(AudioConverterFactory& converters, QueueFactory& queues, const Clock& clock,
                                        LogFn log);

}  // namespace qx
