#include "server/command_line.h"
#include "HostCore/HostLaunch.h"
#include "server/listen_address.h"
#include "server/split_args.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace qx::server {
namespace {

using ::testing::ElementsAre;
using Words = std::vector<std::string>;

TEST(SplitArgs, SeparatesAndQuotesLikeAShellWithoutExpansion) {
  struct Case {
    const char* command;
    Words words;
  };
  const Case cases[] = {
      {"a b  c", {"a", "b", "c"}},
      {"  \ta\tb\n", {"a", "b"}},
      {"'/opt/my app/helper' --fps 30", {"/opt/my app/helper", "--fps", "30"}},
      {"\"it's here\" x", {"it's here", "x"}},
      {"'say \"hi\"'", {"say \"hi\""}},
      {"pre'fix mid'post", {"prefix midpost"}},      // quotes join with adjacent text
      {"'' x", {"", "x"}},                           // an empty quoted word is kept
      {"a\\ b", {"a\\", "b"}},                       // backslash is literal, not an escape
      {"'$HOME' *.txt ~", {"$HOME", "*.txt", "~"}},  // nothing is expanded
      {"", {}},
  };
  for (const auto& c : cases) {
    auto words = splitArgs(c.command);
    ASSERT_TRUE(words.has_value()) << c.command;
    EXPECT_EQ(*words, c.words) << c.command;
  }
}

TEST(SplitArgs, AnOpenQuoteIsRefused) {
  EXPECT_FALSE(splitArgs("'abc"));
  EXPECT_FALSE(splitArgs("a \"b c"));
  EXPECT_FALSE(splitArgs("\"it's"));
}

TEST(SplitArgs, EveryPathTheHostCanQuoteSurvivesTheRoundTrip) {
  const std::string paths[] = {
      "/opt/app/quorvex-screencap",
      "/home/ann/My Apps/Quorvex Host.app/Contents/MacOS/quorvex-screencap",
      "/home/o'brien/it's here/quorvex-screencap",
      "/tmp/quote\"in\"name",
      "/tmp/back\\slash and\ttab",
      "/tmp/  leading and trailing  ",
      "/tmp/$(rm -rf ~)/`x`/*",
  };
  for (const auto& path : paths) {
    std::string command = HostLaunch::quoteForSplitArgs(path) + " --fps 30";
    auto words = splitArgs(command);
    ASSERT_TRUE(words.has_value()) << command;
    EXPECT_THAT(*words, ElementsAre(path, "--fps", "30")) << command;
  }
}

TEST(CommandLine, ReadsWhatTheHostLaunchesWith) {
  HostSettings settings;
  settings.bitrate = "8M";
  auto args = HostLaunch::arguments(settings, "/opt/my app/quorvex-screencap", std::string(), false);
  auto parsed = parseCommandLine(args);
  auto* options = std::get_if<ServeOptions>(&parsed);
  ASSERT_NE(options, nullptr);
  EXPECT_EQ(options->listen, ":8771");
  EXPECT_TRUE(options->captureAudio);
  EXPECT_EQ(options->updateURL, std::optional<std::string>(""));
  EXPECT_FALSE(options->ltr);

  auto helper = helperArguments(*options, 3);
  ASSERT_TRUE(helper.has_value());
  EXPECT_THAT(*helper, ElementsAre("/opt/my app/quorvex-screencap", "--fps", "30", "--bitrate", "8M", "--max-width",
                                   "1920", "--rc", "vbr", "--audio-fd", "3", "--ltr", "false"));
}

TEST(CommandLine, DefaultsWhenOptionalArgumentsAreMissing) {
  auto parsed = parseCommandLine({"--capture-cmd", "helper --fps 30"});
  auto* options = std::get_if<ServeOptions>(&parsed);
  ASSERT_NE(options, nullptr);
  EXPECT_EQ(options->listen, ":8771");
  EXPECT_FALSE(options->captureAudio);
  EXPECT_FALSE(options->updateURL.has_value());
  EXPECT_TRUE(options->ltr);
  auto helper = helperArguments(*options, std::nullopt);
  ASSERT_TRUE(helper.has_value());
  EXPECT_THAT(*helper, ElementsAre("helper", "--fps", "30"));
}

TEST(CommandLine, AcceptsValuesInlineOrSeparate) {
  auto parsed = parseCommandLine({"--listen=127.0.0.1:9000", "--capture=exec", "--capture-cmd=x", "--ltr", "true",
                                  "--update-url", "file:///feed", "--max-client-buffer=131072"});
  auto* options = std::get_if<ServeOptions>(&parsed);
  ASSERT_NE(options, nullptr);
  EXPECT_EQ(options->listen, "127.0.0.1:9000");
  EXPECT_EQ(options->captureCommand, "x");
  EXPECT_TRUE(options->ltr);
  EXPECT_EQ(options->updateURL, std::optional<std::string>("file:///feed"));
  EXPECT_EQ(options->maxClientBuffer, 131072u);
}

TEST(CommandLine, ErrorsNameTheProblem) {
  struct Case {
    Words args;
    const char* mentions;
  };
  const Case cases[] = {
      {{"--capture-cmd", "x", "--frobnicate"}, "--frobnicate"},
      {{"--capture-cmd", "x", "--capture-audio=yes"}, "--capture-audio=yes"},
      {{"--capture-cmd", "x", "--ltr=maybe"}, "maybe"},
      {{"--capture-cmd", "x", "--capture", "screen"}, "screen"},
      {{"--capture-cmd", "x", "--listen"}, "--listen"},
      {{"--capture-cmd", "x", "--max-client-buffer=10"}, "--max-client-buffer"},
      {{"--listen", ":8771"}, "--capture-cmd"},
      {{"update"}, "update"},
      {{"update", "install"}, "install"},
      {{"update", "check", "--dir", "/tmp"}, "--dir"},
      {{"update", "download"}, "--dir"},
      {{"update", "download", "--dir="}, "--dir"},
      {{"update", "check", "--url"}, "--url"},
  };
  for (const auto& c : cases) {
    auto parsed = parseCommandLine(c.args);
    auto* error = std::get_if<CommandLineError>(&parsed);
    ASSERT_NE(error, nullptr) << c.args.back();
    EXPECT_THAT(error->message, ::testing::HasSubstr(c.mentions));
  }
  EXPECT_THAT(usageLine(), ::testing::StartsWith("usage: quorvex-webrtc-server "));
}

TEST(CommandLine, UpdaterCommands) {
  auto check = parseCommandLine({"update", "check"});
  ASSERT_TRUE(std::holds_alternative<UpdateOptions>(check));
  EXPECT_FALSE(std::get<UpdateOptions>(check).download);
  EXPECT_FALSE(std::get<UpdateOptions>(check).url.has_value());

  auto download = parseCommandLine({"update", "download", "--dir", "/tmp/d", "--url", "/srv/feed"});
  ASSERT_TRUE(std::holds_alternative<UpdateOptions>(download));
  const auto& options = std::get<UpdateOptions>(download);
  EXPECT_TRUE(options.download);
  EXPECT_EQ(options.dir, "/tmp/d");
  EXPECT_EQ(options.url, std::optional<std::string>("/srv/feed"));
}

TEST(CommandLine, HelperCommandThatCannotRunIsAbsent) {
  ServeOptions options;
  for (const char* command : {"", "   ", "'unclosed", "'' --fps 30"}) {
    options.captureCommand = command;
    EXPECT_FALSE(helperArguments(options, std::nullopt).has_value()) << command;
  }
}

// The host passes its listen setting on unchanged, so the server must read
// it by the same rules: whatever the settings accept is served.
TEST(ListenAddress, ReadLikeTheHostSettings) {
  struct Case {
    const char* text;
    std::optional<ListenAddress> address;
  };
  const Case cases[] = {
      {":8771", ListenAddress{"", 8771}},
      {"127.0.0.1:0", ListenAddress{"127.0.0.1", 0}},  // 0: the system picks a port
      {"[::1]:8771", ListenAddress{"::1", 8771}},
      {"::1:8771", ListenAddress{"::1", 8771}},  // IPv6 without brackets
      {"[fe80::1%eth0]:80", ListenAddress{"fe80::1%eth0", 80}},
      {":+80", ListenAddress{"", 80}},
      {":08771", ListenAddress{"", 8771}},
      {"0.0.0.0:8771", ListenAddress{"", 8771}},
      {"[127.0.0.1]:80", ListenAddress{"127.0.0.1", 80}},
      {"8771", std::nullopt},
      {"host:", std::nullopt},
      {":65536", std::nullopt},
      {":-1", std::nullopt},
      {":8771 ", std::nullopt},
      {"[::1]8771", std::nullopt},
      {":99999999999", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parseListenAddress(c.text), c.address) << c.text;
}

TEST(ListenAddress, FormatsIpv6WithBrackets) {
  EXPECT_EQ(formatEndpoint("::1", 80), "[::1]:80");
  EXPECT_EQ(formatEndpoint("127.0.0.1", 80), "127.0.0.1:80");
  EXPECT_EQ(formatEndpoint("", 8771), ":8771");
}

}  // namespace
}  // namespace qx::server
