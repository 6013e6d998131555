#include "capture/audio_port.h"

namespace qx {

AudioSinkFactory unavailableAudioSinkFactory() {
  return [](int) -> std::variant<std::shared_ptr<AudioSink>, PlatformError> {
    return PlatformError{"quorvex-screencap", 4, "audio capture is not available in this build"};
  };
}

}  // namespace qx
