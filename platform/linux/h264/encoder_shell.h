#pragma once

// What every H.264 compression session shares: a bounded queue in front of
// one encoder thread, the property rules, prepare, completion and shutdown.
// A backend supplies only the encode step.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/compression_session.h"
#include "platform/linux/h264/session_job.h"
#include "platform/linux/h264/session_settings.h"

namespace qx::h264 {

// One backend's encoder. The shell calls open() once from prepare, before its
// thread starts, and everything else but ownProperty() on that thread, so a
// step needs no lock of its own. The step calls the session's output
// callback itself.
class EncodeStep {
 public:
  virtual ~EncodeStep() = default;

  // A property the backend answers itself, before the shared rules; empty for
  // any other key. Runs under the shell's lock, so it may keep the value for
  // open().
  virtual std::optional<std::int32_t> ownProperty(std::string_view /*key*/, const PropertyValue& /*value*/,
                                                  bool /*prepared*/) {
    return std::nullopt;
  }
  // Opens the encoder with the settings as of prepare; a session_status value.
  virtual std::int32_t open(const SessionSettings& settings) = 0;
  // Rate settings changed since the last call (or open), between frames.
  virtual void reconfigure(const RateSettings& rate) = 0;
  // One frame in; whatever comes out goes to the output callback.
  virtual void encode(const Job& job) = 0;
  // At completeFrames, once the queue is empty: hands on frames the encoder
  // still holds. True when the encoder takes no further frames after that.
  virtual bool drain() { return false; }
};

struct ShellOptions {
  const char* threadName = "qx-h264";
  // Frames that may wait for the encoder thread; when full, the oldest waiting
  // frame is dropped and its options move to the new one.
  int queueDepth = 2;
};

// Makes a backend's step for checked parameters; it may take the output
// callback out of them.
using EncodeStepMaker = std::function<std::unique_ptr<EncodeStep>(CompressionSessionParams& params)>;

// A factory of sessions that run the step made by `makeStep`: it refuses odd,
// empty sizes and a missing output callback with kInvalidParameter.
[[nodiscard]] CompressionSessionFactory encoderShellFactory(ShellOptions options, EncodeStepMaker makeStep);

}  // namespace qx::h264
