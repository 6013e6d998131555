#include "platform/linux/asio/asio_dispatch.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <thread>

namespace qx {

namespace {

namespace asio = boost::asio;
using std::chrono::nanoseconds;
using std::chrono::steady_clock;

class AsioTimer final : public TimerHandle {
 public:
  void cancel() override { cancelled.store(true); }
  std::atomic<bool> cancelled{false};
};

// Lives inside the handler chain: the io_context owns it through the pending
// wait and releases it when the timer is cancelled or the context goes away.
struct TimerState {
  TimerState(asio::io_context& io, nanoseconds p, std::function<void()> t, std::shared_ptr<AsioTimer> h)
      : timer(io), period(p), tick(std::move(t)), handle(std::move(h)) {}
  asio::steady_timer timer;
  nanoseconds period;
  std::function<void()> tick;
  std::shared_ptr<AsioTimer> handle;
};

void armTimer(const std::shared_ptr<TimerState>& state) {
  state->timer.async_wait([state](const boost::system::error_code& error) {
    if (error || state->handle->cancelled.load()) return;
    state->tick();
    if (state->handle->cancelled.load()) return;
    // Fixed-rate schedule; ticks missed while the queue was busy collapse
    // into the next one instead of firing back to back.
    auto next = state->timer.expiry() + state->period;
    const auto now = steady_clock::now();
    if (next <= now && state->period.count() > 0) {
      const auto behind = now - next;
      next += (behind / state->period + 1) * state->period;
    }
    state->timer.expires_at(next);
    armTimer(state);
  });
}

class AsioQueue final : public SerialQueue {
 public:
  AsioQueue(std::string label, std::string threadName)
      : label_(std::move(label)), io_(std::make_shared<asio::io_context>()), guard_(asio::make_work_guard(*io_)) {
    threadName.resize(std::min<std::size_t>(threadName.size(), 15));
    // The thread shares the context, so a queue destroyed by one of its own
    // work items can let the thread finish on its own.
    thread_ = std::thread([io = io_, name = std::move(threadName)] {
      pthread_setname_np(pthread_self(), name.c_str());
      io->run();
    });
  }

  ~AsioQueue() override {
    guard_.reset();
    io_->stop();
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else if (thread_.joinable()) {
      thread_.join();
    }
  }

  const std::string& label() const override { return label_; }

  void post(std::function<void()> work) override { asio::post(*io_, std::move(work)); }

  void postAfter(nanoseconds delay, std::function<void()> work) override {
    auto timer = std::make_shared<asio::steady_timer>(*io_, delay);
    timer->async_wait([timer, work = std::move(work)](const boost::system::error_code& error) {
      if (!error) work();
    });
  }

  std::shared_ptr<TimerHandle> startTimer(nanoseconds firstDelay, nanoseconds period, nanoseconds /*leeway*/,
                                          std::function<void()> tick) override {
    // Asio timers have no leeway; firing on time is within any leeway.
    auto handle = std::make_shared<AsioTimer>();
    auto state = std::make_shared<TimerState>(*io_, period, std::move(tick), handle);
    state->timer.expires_after(firstDelay);
    // Arm on the queue's thread: steady_timer is not safe to use from two threads.
    asio::post(*io_, [state] { armTimer(state); });
    return handle;
  }

 private:
  std::string label_;
  std::shared_ptr<asio::io_context> io_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::thread thread_;
};

}  // namespace

std::chrono::nanoseconds SystemClock::monotonicNow() const {
  return std::chrono::duration_cast<nanoseconds>(steady_clock::now().time_since_epoch());
}

std::int64_t SystemClock::hostNanos() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::chrono::system_clock::time_point SystemClock::wallNow() const { return std::chrono::system_clock::now(); }

void SystemClock::sleepFor(nanoseconds duration) { std::this_thread::sleep_for(duration); }

std::unique_ptr<SerialQueue> AsioQueueFactory::makeSerialQueue(std::string label, std::string threadName) {
  return std::make_unique<AsioQueue>(std::move(label), std::move(threadName));
}

}  // namespace qx
