#pragma once

#include <memory>
#include <string>

#include "platform/dispatch.h"

namespace qx {

// The real clocks: monotonic and host time both read CLOCK_MONOTONIC (the
// clock capture backends stamp frames with), wall time the system clock.
class SystemClock final : public Clock {
 public:
  std::chrono::nanoseconds monotonicNow() const override;
  std::int64_t hostNanos() const override;
  std::chrono::system_clock::time_point wallNow() const override;
  void sleepFor(std::chrono::nanoseconds duration) override;
};

// Serial queues on Boost.Asio: one io_context and one named thread per queue.
// Destroying a queue stops its thread after the work item that is running
// (pending work is dropped); from another thread it waits for that item, from
// the queue's own thread (a work item releasing the last owner) it does not.
class AsioQueueFactory final : public QueueFactory {
 public:
  [[nodiscard]] std::unique_ptr<SerialQueue> makeSerialQueue(std::string label, std::string threadName) override;
};

}  // namespace qx
