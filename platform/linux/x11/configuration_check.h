#pragma once

// What the capture backends that convert to NV12 themselves (X11, Wayland) can honour of a stream
// configuration. Audio comes in the source's own format, which the consumer converts; this process
// plays nothing, so its own audio is never in the recording.

#include <optional>
#include <string>

#include "platform/capture_service.h"

namespace qx {

// Why a stream with `config` cannot start, or nothing when every value is honoured.
inline std::optional<std::string> unsupportedConfiguration(const StreamConfiguration& config, bool hasAudioSource) {
  if (config.pixelFormat != kPixelFormat420v)
    return "cannot capture in pixel format " + std::to_string(config.pixelFormat) +
           ", only in 420v (NV12, video range)";
  if (config.colorMatrix != ColorMatrix::itu709) return "cannot capture with the BT.601 matrix, only with BT.709";
  if (config.showsCursor) return "cannot capture the pointer: it is never drawn";
  if (config.capturesAudio && !hasAudioSource) return "cannot capture audio: no audio source was given";
  if (config.capturesAudio && (config.sampleRate <= 0 || config.channelCount <= 0))
    return "cannot capture audio at " + std::to_string(config.sampleRate) + " Hz and " +
           std::to_string(config.channelCount) + " channels";
  return std::nullopt;
}

}  // namespace qx
