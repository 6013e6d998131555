#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch.h"

namespace qx::fake {

// A clock that moves only when told to. Monotonic and host time start at
// 1000 s (so "0" is never a plausible reading) and move together.
// sleepFor advances the clock instead of blocking. Thread-safe.
class ManualClock final : public Clock {
 public:
  std::chrono::nanoseconds monotonicNow() const override { return std::chrono::nanoseconds(now_.load()); }
  std::int64_t hostNanos() const override { return now_.load(); }
  std::chrono::system_clock::time_point wallNow() const override {
    return wallBase_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                           std::chrono::nanoseconds(now_.load() - kStart));
  }
  void sleepFor(std::chrono::nanoseconds duration) override {
    sleeps_.fetch_add(1);
    now_.fetch_add(duration.count());
  }

  void advance(std::chrono::nanoseconds d) { now_.fetch_add(d.count()); }
  void setNanos(std::int64_t ns) { now_.store(ns); }
  int sleepCount() const { return sleeps_.load(); }

  static constexpr std::int64_t kStart = 1'000'000'000'000;

 private:
  std::atomic<std::int64_t> now_{kStart};
  std::atomic<int> sleeps_{0};
  std::chrono::system_clock::time_point wallBase_{std::chrono::seconds(1'800'000'000)};
};

// Serial queues that run nothing on their own: the test calls runDue() or
// advance(), which run due work on the test's thread in order of due time
// (ties in order of posting), with the clock set to each item's due time.
// Timers ignore leeway and tick exactly on their period.
class ManualDispatch final : public QueueFactory {
 public:
  ManualDispatch() = default;
  ManualDispatch(const ManualDispatch&) = delete;
  ManualDispatch& operator=(const ManualDispatch&) = delete;

  ManualClock& clock() { return clock_; }

  std::unique_ptr<SerialQueue> makeSerialQueue(std::string label, std::string threadName) override {
    auto q = std::make_unique<Queue>(*this, std::move(label), std::move(threadName));
    std::lock_guard lock(mutex_);
    labels_.push_back(q->label());
    return q;
  }

  // Runs everything due now, including work that due work posts for now.
  // Returns the number of items run.
  int runDue() { return runUntil(clock_.hostNanos()); }

  // Moves the clock forward by `d`, running every item that falls due on the
  // way at its own due time.
  int advance(std::chrono::nanoseconds d) { return runUntil(clock_.hostNanos() + d.count()); }

  // Number of items waiting (timers count once per armed tick).
  std::size_t pending() const {
    std::lock_guard lock(mutex_);
    return items_.size();
  }
  std::vector<std::string> labels() const {
    std::lock_guard lock(mutex_);
    return labels_;
  }

 private:
  struct TimerState final : TimerHandle {
    void cancel() override { cancelled.store(true); }
    std::atomic<bool> cancelled{false};
  };

  struct Item {
    std::int64_t due;
    std::uint64_t seq;
    std::string queue;
    std::function<void()> work;
  };

  class Queue final : public SerialQueue {
   public:
    Queue(ManualDispatch& owner, std::string label, std::string threadName)
        : owner_(owner), label_(std::move(label)), threadName_(std::move(threadName)) {}
    const std::string& label() const override { return label_; }
    void post(std::function<void()> work) override { owner_.schedule(0, label_, std::move(work)); }
    void postAfter(std::chrono::nanoseconds delay, std::function<void()> work) override {
      owner_.schedule(delay.count(), label_, std::move(work));
    }
    std::shared_ptr<TimerHandle> startTimer(std::chrono::nanoseconds firstDelay, std::chrono::nanoseconds period,
                                            std::chrono::nanoseconds, std::function<void()> tick) override {
      auto state = std::make_shared<TimerState>();
      owner_.armTimer(label_, owner_.clock_.hostNanos() + firstDelay.count(), period.count(), state,
                      std::make_shared<std::function<void()>>(std::move(tick)));
      return state;
    }

   private:
    ManualDispatch& owner_;
    std::string label_;
    std::string threadName_;
  };

  void schedule(std::int64_t delay, const std::string& queue, std::function<void()> work) {
    std::lock_guard lock(mutex_);
    items_.push_back({clock_.hostNanos() + delay, seq_++, queue, std::move(work)});
  }

  void armTimer(const std::string& queue, std::int64_t due, std::int64_t period, std::shared_ptr<TimerState> state,
                std::shared_ptr<std::function<void()>> tick) {
    std::lock_guard lock(mutex_);
    items_.push_back({due, seq_++, queue, [this, queue, due, period, state, tick] {
                        if (state->cancelled.load()) return;
                        (*tick)();
                        if (state->cancelled.load()) return;
                        // Coalesce ticks that fell behind, as the real queues do.
                        std::int64_t next = due + period;
                        const std::int64_t now = clock_.hostNanos();
                        if (next <= now && period > 0) next += ((now - next) / period + 1) * period;
                        armTimer(queue, next, period, state, tick);
                      }});
  }

  int runUntil(std::int64_t limit) {
    int ran = 0;
    for (;;) {
      Item item;
      {
        std::lock_guard lock(mutex_);
        auto it = std::min_element(items_.begin(), items_.end(), [](const Item& a, const Item& b) {
          return a.due != b.due ? a.due < b.due : a.seq < b.seq;
        });
        if (it == items_.end() || it->due > limit) break;
        item = std::move(*it);
        items_.erase(it);
      }
      if (item.due > clock_.hostNanos()) clock_.setNanos(item.due);
      item.work();
      ++ran;
    }
    if (limit > clock_.hostNanos()) clock_.setNanos(limit);
    return ran;
  }

  ManualClock clock_;
  mutable std::mutex mutex_;
  std::vector<Item> items_;
  std::vector<std::string> labels_;
  std::uint64_t seq_ = 0;
};

}  // namespace qx::fake
