#include "capture/options.h"
#include "capture/session_kind.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace qx {
namespace {

Options parse(std::vector<std::string> args) { return parseArgs(args); }

constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
constexpr auto kMin = std::numeric_limits<std::int64_t>::min();

TEST(ParseArgs, NoArgumentsGiveTheDefaults) {
  const Options o = parse({});
  EXPECT_EQ(o.fps, 30);
  EXPECT_EQ(o.bitrate, 8'000'000);
  EXPECT_EQ(o.maxWidth, 1920);
  EXPECT_EQ(o.display, 0);
  EXPECT_EQ(o.rc, "vbr");
  EXPECT_EQ(o.audioFD, -1);
  EXPECT_EQ(o.peakMax, 0);
  EXPECT_TRUE(o.lowLatency);
  EXPECT_TRUE(o.ltr);
}

TEST(ParseArgs, EveryOptionSetsItsField) {
  const Options o = parse({"--fps", "60", "--bitrate", "12M", "--max-width", "1280", "--display", "2", "--rc", "CBR",
                           "--audio-fd", "3", "--peak-max", "20m", "--low-latency", "false", "--ltr", "0"});
  Options want;
  want.fps = 60;
  want.bitrate = 12'000'000;
  want.maxWidth = 1280;
  want.display = 2;
  want.rc = "cbr";
  want.audioFD = 3;
  want.peakMax = 20'000'000;
  want.lowLatency = false;
  want.ltr = false;
  EXPECT_EQ(o, want);
}

TEST(ParseArgs, IntegerOptionsClampAtTheirFloor) {
  EXPECT_EQ(parse({"--fps", "0"}).fps, 1);
  EXPECT_EQ(parse({"--fps", "-5"}).fps, 1);
  EXPECT_EQ(parse({"--max-width", "-1"}).maxWidth, 0);
  EXPECT_EQ(parse({"--display", "-3"}).display, 0);
  // Printed as given: large values are not clamped here.
  EXPECT_EQ(parse({"--fps", "9223372036854775807"}).fps, kMax);
  EXPECT_EQ(parse({"--display", "+7"}).display, 7);
}

TEST(ParseArgs, IntegerGrammarIsStrictAndLocaleFree) {
  for (const char* bad : {"abc", "", " 5", "5 ", "5x", "1e3", "1.0", "+", "-", "0x10", "9223372036854775808", "٣"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(parse({"--fps", bad}).fps, 30);
    EXPECT_EQ(parse({"--max-width", bad}).maxWidth, 1920);
    EXPECT_EQ(parse({"--display", bad}).display, 0);
  }
}

TEST(ParseArgs, AudioDescriptorMustFit32Bits) {
  EXPECT_EQ(parse({"--audio-fd", "3"}).audioFD, 3);
  EXPECT_EQ(parse({"--audio-fd", "-1"}).audioFD, -1);
  EXPECT_EQ(parse({"--audio-fd", "-7"}).audioFD, -7);  // negative turns audio off, kept unclamped
  EXPECT_EQ(parse({"--audio-fd", "2147483647"}).audioFD, 2147483647);
  EXPECT_EQ(parse({"--audio-fd", "2147483648"}).audioFD, -1);
  EXPECT_EQ(parse({"--audio-fd", "-2147483649"}).audioFD, -1);
  EXPECT_EQ(parse({"--audio-fd", "abc"}).audioFD, -1);
}

TEST(ParseArgs, RejectedValueIsExaminedAsTheNextArgument) {
  // 'abc' is skipped as unknown, the scan goes on.
  Options o = parse({"--fps", "abc", "--bitrate", "5m"});
  EXPECT_EQ(o.fps, 30);
  EXPECT_EQ(o.bitrate, 5'000'000);

  // The rejected value is itself an option and takes its own value.
  o = parse({"--fps", "--max-width", "100"});
  EXPECT_EQ(o.fps, 30);
  EXPECT_EQ(o.maxWidth, 100);

  o = parse({"--audio-fd", "--display", "1"});
  EXPECT_EQ(o.audioFD, -1);
  EXPECT_EQ(o.display, 1);
}

TEST(ParseArgs, AlwaysConsumingOptionsSwallowTheNextArgument) {
  // "--fps" is taken as the bitrate text (fallback value), and "10" is then skipped.
  Options o = parse({"--bitrate", "--fps", "10"});
  EXPECT_EQ(o.bitrate, 8'000'000);
  EXPECT_EQ(o.fps, 30);

  o = parse({"--rc", "--ltr", "false"});
  EXPECT_EQ(o.rc, "--ltr");
  EXPECT_TRUE(o.ltr);
}

TEST(ParseArgs, OptionStandingLastIsIgnored) {
  EXPECT_EQ(parse({"--fps"}).fps, 30);
  EXPECT_EQ(parse({"--peak-max"}).peakMax, 0);
  EXPECT_EQ(parse({"--rc"}).rc, "vbr");
  EXPECT_TRUE(parse({"--ltr"}).ltr);
  EXPECT_EQ(parse({"--fps", "10", "--bitrate"}).bitrate, 8'000'000);
}

TEST(ParseArgs, UnknownArgumentsAreSkippedOneByOne) {
  // Names are case-sensitive and exact; "--FPS" and "-fps" are unknown, so
  // the numbers after them are skipped as unknown too.
  Options o = parse({"--FPS", "10", "-fps", "11", "--fps=12", "extra", "--list-displays", "--fps", "13"});
  EXPECT_EQ(o.fps, 13);
}

TEST(ParseArgs, LaterOccurrenceWins) {
  Options o = parse({"--fps", "10", "--rc", "cbr", "--fps", "20", "--rc", "VBR", "--fps", "bad"});
  EXPECT_EQ(o.fps, 20);
  EXPECT_EQ(o.rc, "vbr");
}

TEST(ParseArgs, RateControlIsLowerCasedWithFullUnicode) {
  EXPECT_EQ(parse({"--rc", "CBR"}).rc, "cbr");
  EXPECT_EQ(parse({"--rc", "\u212A"}).rc, "k");  // Kelvin sign
  EXPECT_EQ(parse({"--rc", "ÀBÇ"}).rc, "àbç");
  EXPECT_EQ(parse({"--rc", " Low "}).rc, " low ");  // no trimming
  EXPECT_EQ(parse({"--rc", ""}).rc, "");
}

TEST(ParseArgs, BooleanIsFalseOnlyForExactFalseOrZero) {
  for (const char* falsy : {"false", "0"}) {
    SCOPED_TRACE(falsy);
    EXPECT_FALSE(parse({"--ltr", falsy}).ltr);
    EXPECT_FALSE(parse({"--low-latency", falsy}).lowLatency);
  }
  for (const char* truthy : {"no", "FALSE", "False", "off", "", "00", " 0", "true", "1"}) {
    SCOPED_TRACE(truthy);
    EXPECT_TRUE(parse({"--ltr", truthy}).ltr);
    EXPECT_TRUE(parse({"--low-latency", truthy}).lowLatency);
  }
}

TEST(WantsDisplayList, FoundAnywhereIncludingValuePositions) {
  using V = std::vector<std::string>;
  EXPECT_TRUE(wantsDisplayList(V{"--list-displays"}));
  EXPECT_TRUE(wantsDisplayList(V{"--fps", "10", "--list-displays"}));
  EXPECT_TRUE(wantsDisplayList(V{"--fps", "--list-displays"}));
  EXPECT_TRUE(wantsDisplayList(V{"--rc", "--list-displays"}));
  EXPECT_FALSE(wantsDisplayList(V{}));
  EXPECT_FALSE(wantsDisplayList(V{"--list-displays=1", "--LIST-DISPLAYS", "list-displays"}));
}

struct BitrateCase {
  const char* text;
  std::int64_t want;
};

TEST(ParseBitrate, Notation) {
  const BitrateCase cases[] = {
      {"2.5m", 2'500'000},
      {"8M", 8'000'000},
      {" 6m ", 6'000'000},
      {"1.5M", 1'500'000},
      {"750K", 750'000},
      {"500k", 500'000},
      {"-2.5m", -2'500'000},
      {".5m", 500'000},
      {"1e3k", 1'000'000},
      {"1E1M", 10'000'000},
      {"+3k", 3'000},
      {"0m", 0},
      {"-1", -1},
      {"0", 0},
      {"24000000", 24'000'000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parseBitrate(c.text), c.want);
  }
}

TEST(ParseBitrate, UnparsableScaledNumberIsZero) {
  for (const char* text : {"xm", "km", "m", "k", "7 m", "1,5m", "0x10m", "mm", "--5m"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(parseBitrate(text), 0);
  }
}

TEST(ParseBitrate, AnythingElseIsTheDefault) {
  for (const char* text : {"", "   ", "abc", "1.5", "8 000", "99999999999999999999", "0x10", "8g", "١٢"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(parseBitrate(text), 8'000'000);
  }
}

TEST(ParseBitrate, TrimsUnicodeHorizontalSpaceOnly) {
  EXPECT_EQ(parseBitrate("\t8m\t"), 8'000'000);
  EXPECT_EQ(parseBitrate("\u00A08m\u3000"), 8'000'000);  // no-break and ideographic space
  EXPECT_EQ(parseBitrate("\u20035k\u202F"), 5'000);      // em space, narrow no-break space
  // A line feed is not horizontal space: it stays and spoils the number.
  EXPECT_EQ(parseBitrate("\n8m"), 0);
  EXPECT_EQ(parseBitrate("8m\n"), 8'000'000);  // ends in a line feed, not "m": the fallback
}

TEST(ParseBitrate, LowerCasesWithFullUnicode) {
  EXPECT_EQ(parseBitrate("5\u212A"), 5'000);  // Kelvin sign lower-cases to "k"
  EXPECT_EQ(parseBitrate("2M"), 2'000'000);
}

// Scaled values outside the signed 64-bit range clamp to it; words like inf
// and nan are not numbers.
TEST(ParseBitrate, OutOfRangeScaledValuesClamp) {
  EXPECT_EQ(parseBitrate("1e300m"), kMax);
  EXPECT_EQ(parseBitrate("-1e300m"), kMin);
  EXPECT_EQ(parseBitrate("1e400k"), kMax);
  EXPECT_EQ(parseBitrate("9223372036854.775807m"), kMax);
  EXPECT_EQ(parseBitrate("1e-400m"), 0);
  EXPECT_EQ(parseBitrate("infm"), 0);
  EXPECT_EQ(parseBitrate("-infm"), 0);
  EXPECT_EQ(parseBitrate("nanm"), 0);
  EXPECT_EQ(parseBitrate("NaNK"), 0);
  EXPECT_EQ(parseBitrate("9223372036854775807"), kMax);
  EXPECT_EQ(parseBitrate("-9223372036854775808"), kMin);
}

// Long spellings whose double under- or overflows: the magnitude, not the
// exponent's sign, decides between 0 and saturation.
TEST(ParseBitrate, LongDecimalsTruncateTowardZeroOrSaturate) {
  const std::string zeros(330, '0');
  const struct {
    std::string text;
    std::int64_t want;
  } cases[] = {
      {"0." + zeros + "1m", 0},       {"-0." + zeros + "1k", 0},
      {"." + zeros + "9e5m", 0},      {"1" + zeros + "m", kMax},
      {"-1" + zeros + "e-10k", kMin}, {"0." + zeros + "1e400m", kMax},  // 1e69: representable, then saturated
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 12));
    EXPECT_EQ(parseBitrate(c.text), c.want);
  }
}

TEST(ParseBitrate, SharedByBothBitrateOptions) {
  const Options o = parse({"--bitrate", " 1.5M ", "--peak-max", "abc"});
  EXPECT_EQ(o.bitrate, 1'500'000);
  EXPECT_EQ(o.peakMax, 8'000'000);
}

TEST(SessionKind, WaylandWhenEitherVariableSaysSo) {
  struct Case {
    const char* waylandDisplay;
    const char* sessionType;
    SessionKind kind;
  };
  const Case cases[] = {
      {nullptr, nullptr, SessionKind::x11},
      {"", "x11", SessionKind::x11},
      {"wayland-0", nullptr, SessionKind::wayland},
      {nullptr, "wayland", SessionKind::wayland},
      {"", "tty", SessionKind::x11},
  };
  for (const auto& c : cases) EXPECT_EQ(sessionKind(c.waylandDisplay, c.sessionType), c.kind);
}

}  // namespace
}  // namespace qx
