// Save without a window: the controller's applySettings against the recording
// rig. The order of the outside calls, what is stored, and what a later Save
// repeats.

#include <gtest/gtest.h>

#include "host/HostController.h"
#include "tests/unit/host/host_rig.h"

namespace qx::test {
namespace {

using host::SettingsEdit;

TEST(ApplySettings, SaveOrder) {
  HostSettings stored;
  stored.bitrate = "12M";  // values the window's pickers do not offer
  stored.maxWidth = 3840;
  stored.fps = 60;
  stored.rateControl = "cbr";
  HostRig rig({.settings = stored});
  rig.store.setAutoCheckUpdates(false);
  QObject::connect(rig.host.get(), &host::HostController::settingsChanged, [&rig] { rig.note("settings published"); });

  SettingsEdit edit = rig.host->settingsEdit();
  EXPECT_EQ(edit.settings, stored);
  EXPECT_FALSE(edit.loginItem);  // configured: what the desktop reports
  EXPECT_FALSE(edit.autoCheckUpdates);
  EXPECT_EQ(edit.token, std::nullopt);
  edit.settings.listen = ":0";
  EXPECT_FALSE(rig.host->applySettings(edit));
  EXPECT_TRUE(rig.events.empty()) << "an address without a port saves nothing";

  edit.settings.listen = ":9000";
  edit.settings.audio = false;
  edit.token = " \tnew token \t ";
  edit.loginItem = true;
  edit.autoCheckUpdates = true;
  ASSERT_TRUE(rig.host->applySettings(edit));
  EXPECT_EQ(rig.events,
            (std::vector<std::string>{"settings published @:8771", "token 'new token' @:9000", "login item on @:9000",
                                      "update checks scheduled @:9000", "server launched @:9000"}));
  HostSettings expected = stored;
  expected.listen = ":9000";
  expected.audio = false;
  EXPECT_EQ(rig.store.load(), expected);
  EXPECT_EQ(rig.host->settings(), expected);
  EXPECT_TRUE(rig.store.autoCheckUpdates());

  // The login item is set on every Save, update checks are rescheduled only
  // when their switch changed, and an absent token (unread, not edited) is
  // left as stored.
  for (const std::optional<std::string>& token :
       {std::optional<std::string>("new token"), std::optional<std::string>()}) {
    rig.events.clear();
    SettingsEdit again = rig.host->settingsEdit();
    EXPECT_TRUE(again.loginItem);
    again.token = token;
    ASSERT_TRUE(rig.host->applySettings(again));
    rig.launcher.end({host::ProcessEnd::Reason::signal, 15});  // the restart's stop completes
    std::vector<std::string> expectedEvents = {"settings published @:9000", "login item on @:9000",
                                               "server launched @:9000"};
    if (token) expectedEvents.insert(expectedEvents.begin() + 1, "token 'new token' @:9000");
    EXPECT_EQ(rig.events, expectedEvents);
    EXPECT_EQ(rig.launcher.last().request.environment.at("QUORVEX_HOST_TOKEN"), "new token");
  }
}

}  // namespace
}  // namespace qx::test
