#pragma once

#include <functional>
#include <memory>
#include <variant>

#include "platform/capture_service.h"

namespace qx {

// Receives the capture stream's audio buffers, on the audio sample queue, one
// at a time. Trouble with a single buffer is the sink's own business.
class AudioSink {
 public:
  virtual ~AudioSink() = default;
  virtual void ingest(const SampleBuffer& sample) = 0;
};

// Creates and starts the audio path on descriptor `fd`; the error when it
// cannot start (its description is printed after "start failed: ").
using AudioSinkFactory = std::function<std::variant<std::shared_ptr<AudioSink>, PlatformError>(int fd)>;

}  // namespace qx
