#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qx {

// The clocks the logic reads, injected so tests can step time instead of
// sleeping. All methods are callable from any thread.
class Clock {
 public:
  virtual ~Clock() = default;
  // Steady time for delays, time-outs and elapsed-time checks.
  virtual std::chrono::nanoseconds monotonicNow() const = 0;
  // The host media clock in nanoseconds: the time base capture backends stamp
  // frames with (CLOCK_MONOTONIC on Linux), so captured and re-submitted
  // frames compare directly.
  virtual std::int64_t hostNanos() const = 0;
  // Calendar time, for "when did this last happen" bookkeeping only.
  virtual std::chrono::system_clock::time_point wallNow() const = 0;
  // Blocks the calling thread for `duration` (a manual clock advances
  // instead). Only for waits the logic itself asks for, such as polling a
  // display that is waking up.
  virtual void sleepFor(std::chrono::nanoseconds duration) = 0;

  double hostSeconds() const { return static_cast<double>(hostNanos()) / 1e9; }
};

// A repeating timer; cancel() stops further ticks (a tick already running
// finishes). Destroying the handle does NOT cancel the timer, so a timer that
// should live for the whole process can simply drop it. Thread-safe.
class TimerHandle {
 public:
  virtual ~TimerHandle() = default;
  virtual void cancel() = 0;
};

// A serial queue: work items run one at a time, in the order they become due,
// on the queue's own thread. post/postAfter/startTimer are callable from any
// thread, including the queue's own. Work posted to a queue that is being
// destroyed may be dropped without running.
class SerialQueue {
 public:
  virtual ~SerialQueue() = default;

  virtual const std::string& label() const = 0;
  virtual void post(std::function<void()> work) = 0;
  // Runs `work` once, `delay` (monotonic) after now.
  virtual void postAfter(std::chrono::nanoseconds delay, std::function<void()> work) = 0;
  // Runs `tick` first at now + firstDelay, then every `period`. `leeway` is how
  // late a tick may run when that saves wake-ups; ticks missed while the
  // queue was busy are coalesced into one, not replayed.
  [[nodiscard]] virtual std::shared_ptr<TimerHandle> startTimer(std::chrono::nanoseconds firstDelay,
                                                                std::chrono::nanoseconds period,
                                                                std::chrono::nanoseconds leeway,
                                                                std::function<void()> tick) = 0;
};

// Makes serial queues. `label` is the queue's descriptive name; `threadName`
// names its thread (Linux keeps 15 bytes, e.g. "qv-sample").
class QueueFactory {
 public:
  virtual ~QueueFactory() = default;
  [[nodiscard]] virtual std::unique_ptr<SerialQueue> makeSerialQueue(std::string label, std::string threadName) = 0;
};

}  // namespace qx
