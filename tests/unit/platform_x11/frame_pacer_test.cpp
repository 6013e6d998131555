#include "platform/linux/x11/frame_pacer.h"

#include <gtest/gtest.h>

#include <optional>
#include <utility>

namespace qx::x11 {
namespace {

using namespace std::chrono_literals;
using Time = FramePacer::Clock::time_point;

constexpr auto kInterval = std::chrono::nanoseconds(1'000'000'000 / 30);

TEST(FramePacer, ScreenChangingAllTheTimeGetsAtMostOneGrabPerIntervalOnAverage) {
  FramePacer pacer(kInterval);
  const Time start{1h};
  EXPECT_LE(pacer.earliest(), start);
  Time at = start, last = start;
  int grabs = 0;
  while (at < start + 300 * kInterval) {
    pacer.grabbed(at);
    ++grabs;
    last = at;
    at = pacer.earliest();
    ASSERT_GE(at - last, kInterval - 4ms);
  }
  EXPECT_LE(grabs, 300 + 1);
  EXPECT_GE(grabs, 300);
}

// Content changing at exactly the frame rate, first grabbed late: the lag
// must not stay.
TEST(FramePacer, ALatePhaseIsCaughtUp) {
  for (const auto lag : {1ms, 16ms, 30ms}) {
    SCOPED_TRACE(lag.count());
    FramePacer pacer(kInterval);
    const Time start{1h};
    pacer.grabbed(start + lag);
    std::chrono::nanoseconds behind = lag;
    for (int frame = 1; frame <= 12; ++frame) {
      const Time changed = start + frame * kInterval;
      const Time grab = std::max(changed, pacer.earliest());
      pacer.grabbed(grab);
      behind = grab - changed;
    }
    EXPECT_EQ(behind, 0ns);
  }
}

// A compositor's buffers at exactly the frame rate, grabbed late at first (which spends the credit),
// then one extra buffer between two: the buffers after it must not wait.
TEST(FramePacer, PacedBuffersAreNotHeldBehindAnExtraOne) {
  FramePacer pacer(kInterval);
  const Time start{1h};
  std::optional<Time> due;  // the timer for a held buffer
  std::chrono::nanoseconds wait{};
  auto arrive = [&](Time at) {
    if (due && *due <= at) pacer.grabbed(*std::exchange(due, std::nullopt));
    const Time out = pacer.deliveryFor(at);
    if (out <= at) return pacer.grabbed(at), void(wait = 0ns);
    due = std::min(out, due.value_or(out));
    wait = *due - at;
  };
  pacer.grabbed(start + 30ms);
  for (int frame = 1; frame <= 40; ++frame) {
    if (frame == 20) arrive(start + frame * kInterval - 17ms);
    arrive(start + frame * kInterval);
  }
  EXPECT_EQ(wait, 0ns);
}

}  // namespace
}  // namespace qx::x11
