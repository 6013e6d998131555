#include "platform/linux/x11/x11_display_power.h"

#include <chrono>

#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/x_server.h"

namespace qx {
namespace {

using namespace std::chrono_literals;

// Keeps the screen saver forced on for as long as it lives.
std::unique_ptr<test::Process> forceScreenSaver(const test::XServer& server) {
  test::Process::Options options;
  options.args = {test::buildPath("tests/qx-force-screensaver")};
  options.setEnv = {{"DISPLAY", server.display()}};
  auto client = std::make_unique<test::Process>(options);
  const bool active = client->pumpUntil([&] { return client->out().find("active") != std::string::npos; }, 10s);
  EXPECT_TRUE(active) << client->err();
  return client;
}

TEST(X11DisplayPower, KeepAwakeAssertionIsTakenOnXvfb) {
  auto server = test::XServer::xvfb(320, 240);
  X11DisplayPowerService power(server->display());
  const auto first = power.createKeepAwakeAssertion("Quorvex remote session");
  EXPECT_EQ(first.status, 0);
  EXPECT_NE(first.id, 0u);
  EXPECT_NE(power.createKeepAwakeAssertion("Quorvex remote session").id, first.id);
}

TEST(X11DisplayPower, ForcedScreenSaverIsAsleepAndUserActivityWakesIt) {
  auto server = test::XServer::xvfb(320, 240);
  X11DisplayPowerService power(server->display());
  EXPECT_FALSE(power.isDisplayAsleep(0));

  auto client = forceScreenSaver(*server);
  EXPECT_TRUE(power.isDisplayAsleep(0));

  std::uint32_t activityID = 0;
  EXPECT_EQ(power.declareUserActivity("Quorvex remote session", activityID), 0);
  EXPECT_NE(activityID, 0u);
  EXPECT_FALSE(power.isDisplayAsleep(0));

  // Asleep again: the next declaration reuses the same id.
  client.reset();
  client = forceScreenSaver(*server);
  EXPECT_TRUE(power.isDisplayAsleep(0));
  const std::uint32_t firstID = activityID;
  EXPECT_EQ(power.declareUserActivity("Quorvex remote session", activityID), 0);
  EXPECT_EQ(activityID, firstID);
  EXPECT_FALSE(power.isDisplayAsleep(0));
}

TEST(X11DisplayPower, WithoutAServerEverythingFailsQuietly) {
  X11DisplayPowerService power(":9999");
  EXPECT_NE(power.createKeepAwakeAssertion("x").status, 0);
  std::uint32_t id = 0;
  EXPECT_NE(power.declareUserActivity("x", id), 0);
  EXPECT_EQ(id, 0u);
  EXPECT_FALSE(power.isDisplayAsleep(0));
}

}  // namespace
}  // namespace qx
