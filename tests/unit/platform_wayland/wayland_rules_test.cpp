#include <gtest/gtest.h>

#include "platform/linux/wayland/screencast_token.h"
#include "platform/linux/wayland/wayland_outputs.h"

namespace qx::wayland {
namespace {

TEST(WaylandOutputs, IdsFollowNamesAndOrderFollowsPosition) {
  EXPECT_EQ(outputId("HDMI-A-1"), outputId("HDMI-A-1"));
  EXPECT_NE(outputId("HDMI-A-1"), outputId("HDMI-A-2"));
  EXPECT_NE(outputId(""), 0u);

  std::vector<Output> outputs{{"right", 1920, 0, 1280, 1024, 1280, 1024},
                              {"below", 0, 1080, 1920, 1080, 3840, 2160},
                              {"main", 0, 0, 1920, 1080, 3840, 2160}};
  sortOutputs(outputs);
  EXPECT_EQ(outputs[0].name, "main");
  EXPECT_EQ(outputs[1].name, "below");
  EXPECT_EQ(outputs[2].name, "right");
}

TEST(WaylandOutputs, AGrantedStreamIsMatchedByPositionPreferringItsSize) {
  const std::vector<Output> outputs{{"mirror", 0, 0, 1280, 720, 1280, 720},
                                    {"main", 0, 0, 1920, 1080, 1920, 1080},
                                    {"side", 1920, 0, 1280, 1024, 1280, 1024}};
  EXPECT_EQ(outputAt(outputs, 0, 0, 1920, 1080)->name, "main");
  EXPECT_EQ(outputAt(outputs, 0, 0, 800, 600)->name, "mirror") << "the position alone when no size matches";
  EXPECT_EQ(outputAt(outputs, 1920, 0, 0, 0)->name, "side");
  EXPECT_FALSE(outputAt(outputs, 5, 5, 1920, 1080).has_value());
}

TEST(ScreencastToken, PathFromTheStateFolderNeverRelative) {
  struct Case {
    const char* state;
    const char* home;
    std::optional<std::string> path;
  };
  const Case cases[] = {
      {"/s", "/h", "/s/Quorvex/screencast-token"},
      {nullptr, "/h", "/h/.local/state/Quorvex/screencast-token"},
      {"relative", "/h", "/h/.local/state/Quorvex/screencast-token"},
      {"", "/h", "/h/.local/state/Quorvex/screencast-token"},
      {nullptr, "relative", std::nullopt},
      {nullptr, nullptr, std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(screencastTokenPath(c.state, c.home), c.path) << (c.state ? c.state : "(unset)");
}

}  // namespace
}  // namespace qx::wayland
