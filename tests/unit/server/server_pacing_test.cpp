#include "server/idr_throttle.h"
#include "server/waiting_connections.h"

#include <gtest/gtest.h>

#include <vector>

namespace qx::server {
namespace {

using namespace std::chrono_literals;

TEST(IdrThrottle, AtMostOneKeyframePerWindowAndNoRequestLost) {
  // Requests at these times (ms) against a clock stepped every 10 ms.
  struct Case {
    const char* what;
    std::vector<int> requests;
    std::vector<int> sent;
  };
  const Case cases[] = {
      {"one request", {0}, {0}},
      {"two far apart", {0, 600}, {0, 600}},
      {"one inside the window waits for its end", {0, 100}, {0, 500}},
      {"several inside one window make one", {0, 100, 200, 499}, {0, 500}},
      {"a flood", {0, 50, 100, 150, 500, 550, 700, 1000, 1010}, {0, 500, 1000, 1500}},
      {"right at the end of the window", {0, 500}, {0, 500}},
      {"after a quiet spell at once again", {0, 100, 2000}, {0, 500, 2000}},
  };
  for (const auto& c : cases) {
    IdrThrottle throttle;
    const auto origin = IdrThrottle::Clock::time_point() + 1h;
    std::vector<int> sent;
    std::size_t next = 0;
    for (int ms = 0; ms <= 3000; ms += 10) {
      const auto now = origin + std::chrono::milliseconds(ms);
      if (throttle.poll(now)) sent.push_back(ms);
      for (; next < c.requests.size() && c.requests[next] == ms; ++next) {
        if (throttle.request(now)) sent.push_back(ms);
        EXPECT_GT(throttle.due().value_or(now + 1ms), now) << c.what;
      }
    }
    EXPECT_EQ(sent, c.sent) << c.what;
    EXPECT_FALSE(throttle.due()) << c.what;
  }
}

TEST(WaitingConnections, AtHalfTheCapTheOldestWaitingOneMakesRoom) {
  WaitingConnections waiting;
  std::vector<WaitingConnections::Id> closed;
  for (WaitingConnections::Id id = 0; id < 6; ++id) {
    if (auto oldest = waiting.add(id, 8)) closed.push_back(*oldest);
  }
  EXPECT_EQ(closed, (std::vector<WaitingConnections::Id>{0, 1}));
  waiting.remove(3);  // sent its request: a slot among the waiting frees up
  EXPECT_FALSE(waiting.add(6, 8));
  EXPECT_EQ(waiting.add(7, 8), std::optional<WaitingConnections::Id>(2));
  EXPECT_EQ(waiting.size(), 4u);

  // A tiny cap still lets one wait and never closes the newcomer.
  WaitingConnections tiny;
  EXPECT_FALSE(tiny.add(0, 1));
  EXPECT_EQ(tiny.add(1, 1), std::optional<WaitingConnections::Id>(0));
  EXPECT_EQ(tiny.add(2, 0), std::optional<WaitingConnections::Id>(1));
}

}  // namespace
}  // namespace qx::server
