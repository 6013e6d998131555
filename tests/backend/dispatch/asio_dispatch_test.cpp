#include "platform/linux/asio/asio_dispatch.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace qx {
namespace {

using namespace std::chrono_literals;

// Collects values from queue threads and lets the test wait for a count.
struct Collector {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<int> values;
  std::vector<std::string> threadNames;

  void add(int v) {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    std::lock_guard lock(mutex);
    values.push_back(v);
    threadNames.emplace_back(name);
    cv.notify_all();
  }
  bool waitFor(std::size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, timeout, [&] { return values.size() >= n; });
  }
};

TEST(AsioDispatch, RunsPostsInOrderOnOneNamedThread) {
  AsioQueueFactory factory;
  auto queue = factory.makeSerialQueue("com.example.sample", "qv-sample-and-more-than-15");
  EXPECT_EQ(queue->label(), "com.example.sample");
  Collector c;
  for (int i = 0; i < 100; ++i) queue->post([&c, i] { c.add(i); });
  ASSERT_TRUE(c.waitFor(100, 5s));
  for (int i = 0; i < 100; ++i) EXPECT_EQ(c.values[static_cast<std::size_t>(i)], i);
  EXPECT_EQ(c.threadNames.front(), "qv-sample-and-m");
}

TEST(AsioDispatch, DelayedWorkRunsAfterItsDelayAndAfterEarlierDeadlines) {
  AsioQueueFactory factory;
  SystemClock clock;
  auto queue = factory.makeSerialQueue("q", "qv-test");
  Collector c;
  const auto start = clock.monotonicNow();
  std::chrono::nanoseconds ranAt{};
  queue->postAfter(120ms, [&] {
    ranAt = clock.monotonicNow();
    c.add(2);
  });
  queue->postAfter(20ms, [&] { c.add(1); });
  ASSERT_TRUE(c.waitFor(2, 5s));
  EXPECT_EQ(c.values, (std::vector<int>{1, 2}));
  EXPECT_GE(ranAt - start, 120ms);
}

TEST(AsioDispatch, TimerRepeatsUntilCancelled) {
  AsioQueueFactory factory;
  auto queue = factory.makeSerialQueue("q", "qv-timer");
  Collector c;
  std::atomic<int> ticks{0};
  auto handle = queue->startTimer(10ms, 10ms, 1ms, [&] { c.add(++ticks); });
  ASSERT_TRUE(c.waitFor(3, 5s));
  handle->cancel();
  // A tick may be running while cancel() is called; after a quiet post it cannot start again.
  Collector fence;
  queue->post([&] { fence.add(0); });
  ASSERT_TRUE(fence.waitFor(1, 5s));
  const int after = ticks.load();
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(ticks.load(), after);
}

TEST(AsioDispatch, DroppingTheHandleKeepsTheTimerRunning) {
  AsioQueueFactory factory;
  auto queue = factory.makeSerialQueue("q", "qv-timer");
  Collector c;
  int n = 0;
  {
    (void)queue->startTimer(5ms, 5ms, 0ms, [&] { c.add(++n); });
  }
  EXPECT_TRUE(c.waitFor(3, 5s));
}

TEST(AsioDispatch, DestroyingAQueueWithPendingWorkIsSafe) {
  AsioQueueFactory factory;
  std::atomic<int> ran{0};
  {
    auto queue = factory.makeSerialQueue("q", "qv-gone");
    queue->postAfter(10s, [&] { ran.fetch_add(1); });
    (void)queue->startTimer(10s, 1s, 0ms, [&] { ran.fetch_add(1); });
  }
  EXPECT_EQ(ran.load(), 0);
}

TEST(AsioDispatch, AQueueMayBeReleasedByItsOwnWorkItem) {
  AsioQueueFactory factory;
  auto queue = std::shared_ptr<SerialQueue>(factory.makeSerialQueue("q", "qv-self"));
  Collector c;
  SerialQueue* raw = queue.get();
  raw->post([&c, owner = std::move(queue)]() mutable {
    owner.reset();  // the last owner goes away on the queue's own thread
    c.add(1);
  });
  EXPECT_TRUE(c.waitFor(1, 5s));
}

TEST(SystemClock, HostAndMonotonicClocksShareOneBase) {
  SystemClock clock;
  const auto mono = clock.monotonicNow().count();
  const auto host = clock.hostNanos();
  EXPECT_LT(std::llabs(host - mono), 50'000'000);
  const auto before = clock.hostNanos();
  clock.sleepFor(5ms);
  EXPECT_GE(clock.hostNanos() - before, 5'000'000);
}

}  // namespace
}  // namespace qx
