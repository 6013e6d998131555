#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "capture/display_power.h"
#include "tests/fakes/fake_display_power.h"
#include "tests/fakes/manual_dispatch.h"

namespace qx {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

class DisplayPowerTest : public ::testing::Test {
 protected:
  fake::ManualClock clock;
  fake::FakeDisplayPower service{clock};
  std::vector<std::string> lines;
  DisplayPower power{service, clock, [this](std::string_view l) { lines.emplace_back(l); }};
};

TEST_F(DisplayPowerTest, HoldOnTakesTheNamedAssertionQuietly) {
  power.holdOn();
  EXPECT_THAT(service.assertionNames(), ElementsAre("Quorvex remote session"));
  EXPECT_TRUE(lines.empty());
}

TEST_F(DisplayPowerTest, RefusedAssertionIsReportedWithItsStatus) {
  service.setAssertionStatus(-536870201);
  power.holdOn();
  EXPECT_THAT(lines, ElementsAre("display keep-on assertion failed: -536870201"));
}

TEST_F(DisplayPowerTest, AwakeDisplayNeedsNoWaking) {
  power.wake(1, "session start", 3.0);
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(service.activityCount(), 0);
  EXPECT_EQ(clock.sleepCount(), 0);
}

TEST_F(DisplayPowerTest, DisplayThatWakesReportsHowLongItTook) {
  service.sleepFor(1, 400ms);
  power.wake(1, "session start", 3.0);
  EXPECT_THAT(lines, ElementsAre("display asleep (session start); woke it in 400 ms"));
  EXPECT_EQ(service.activityCount(), 1);
  EXPECT_EQ(clock.sleepCount(), 8);  // polled every 50 ms
}

TEST_F(DisplayPowerTest, DisplayThatStaysAsleepIsReportedAfterTheTimeout) {
  service.sleepFor(1, -1ns);
  power.wake(1, "stream stopped", 3.0);
  EXPECT_THAT(lines, ElementsAre("display asleep (stream stopped); still off after 3000 ms"));
}

TEST_F(DisplayPowerTest, ActivityDeclarationsReuseOneAssertion) {
  service.sleepFor(1, -1ns);
  power.declareActivity();
  power.declareActivity();
  power.wake(1, "stream stopped", 0.1);
  EXPECT_THAT(service.activityIDsSeen(), ElementsAre(0u, 99u, 99u));
  EXPECT_THAT(service.activityNames(), ::testing::Each(std::string("Quorvex remote session")));
}

TEST_F(DisplayPowerTest, OnlyTheAskedDisplayCounts) {
  service.sleepFor(2, -1ns);
  power.wake(1, "session start", 3.0);
  EXPECT_TRUE(lines.empty());
  EXPECT_TRUE(power.isAsleep(2));
}

}  // namespace
}  // namespace qx
