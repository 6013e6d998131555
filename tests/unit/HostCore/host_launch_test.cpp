#include "HostCore/HostLaunch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace qx {
namespace {

using ::testing::ElementsAre;

TEST(HostLaunchArguments, DefaultsWithAudioAndNoUpdateUrl) {
  EXPECT_THAT(
      HostLaunch::arguments(HostSettings{}, "/opt/app/quorvex-screencap", std::nullopt, true),
      ElementsAre("--listen", ":8771", "--capture", "exec", "--capture-cmd",
                  "'/opt/app/quorvex-screencap' --fps 30 --bitrate 24M --max-width 1920 --rc vbr", "--capture-audio"));
}

TEST(HostLaunchArguments, EmptyUpdateUrlIsKeptAndLtrOffIsAppended) {
  HostSettings s;
  s.audio = false;
  const auto args = HostLaunch::arguments(s, "/opt/app/quorvex-screencap", std::string(), false);
  ASSERT_EQ(args.size(), 8u);
  EXPECT_EQ(args[6], "--update-url=");
  EXPECT_EQ(args[7], "--ltr=false");
}

TEST(HostLaunchArguments, AllOptionsInOrderAndTextsVerbatim) {
  const HostSettings s{"[::1]:9000", true, -3, "8 M", 0, "low latency"};
  EXPECT_THAT(HostLaunch::arguments(s, "/Apps/Quorvex Host.app/Contents/MacOS/quorvex-screencap",
                                    std::string("file:///feed"), false),
              ElementsAre("--listen", "[::1]:9000", "--capture", "exec", "--capture-cmd",
                          "'/Apps/Quorvex Host.app/Contents/MacOS/quorvex-screencap' --fps -3 --bitrate 8 M "
                          "--max-width 0 --rc low latency",
                          "--capture-audio", "--update-url=file:///feed", "--ltr=false"));
}

TEST(HostLaunchQuoting, ApostropheSelectsDoubleQuotesAndNothingIsEscaped) {
  EXPECT_EQ(HostLaunch::quoteForSplitArgs("/a b/c"), "'/a b/c'");
  EXPECT_EQ(HostLaunch::quoteForSplitArgs("/Bob's apps/x"), "\"/Bob's apps/x\"");
  EXPECT_EQ(HostLaunch::quoteForSplitArgs("/a\"b"), "'/a\"b'");
  EXPECT_EQ(HostLaunch::quoteForSplitArgs("/a\\b $x"), "'/a\\b $x'");
  EXPECT_EQ(HostLaunch::quoteForSplitArgs(""), "''");
  // Both kinds of quote: wrapped unchanged, but flagged as unrepresentable.
  EXPECT_EQ(HostLaunch::quoteForSplitArgs("a'b\"c"), "\"a'b\"c\"");
  EXPECT_FALSE(HostLaunch::isQuotable("a'b\"c"));
  EXPECT_TRUE(HostLaunch::isQuotable("a'b"));
  EXPECT_TRUE(HostLaunch::isQuotable("a\"b"));
}

TEST(HostLaunchEnvironment, TokenSetOrRemovedAndHostAppForced) {
  const HostLaunch::Environment base = {
      {"PATH", "/usr/bin"}, {"QUORVEX_HOST_TOKEN", "inherited"}, {"QUORVEX_HOST_APP", "0"}};

  const auto withoutToken = HostLaunch::environment(base, "");
  EXPECT_EQ(withoutToken, (HostLaunch::Environment{{"PATH", "/usr/bin"}, {"QUORVEX_HOST_APP", "1"}}));

  const auto withToken = HostLaunch::environment(base, "s3cret");
  EXPECT_EQ(withToken, (HostLaunch::Environment{
                           {"PATH", "/usr/bin"}, {"QUORVEX_HOST_TOKEN", "s3cret"}, {"QUORVEX_HOST_APP", "1"}}));

  EXPECT_EQ(HostLaunch::environment({}, "t"),
            (HostLaunch::Environment{{"QUORVEX_HOST_TOKEN", "t"}, {"QUORVEX_HOST_APP", "1"}}));
}

}  // namespace
}  // namespace qx
