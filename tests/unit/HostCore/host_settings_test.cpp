#include "HostCore/HostSettings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace qx {
namespace {

HostSettings withListen(std::string listen) {
  HostSettings s;
  s.listen = std::move(listen);
  return s;
}

struct ListenCase {
  const char* listen;
  std::optional<std::int64_t> port;
  std::optional<std::string> bindHost;
  bool valid;
};

TEST(HostSettingsListen, PortBindHostAndValidation) {
  const ListenCase cases[] = {
      {":8771", 8771, std::nullopt, true},
      {"127.0.0.1:9000", 9000, "127.0.0.1", true},
      {"[::1]:8771", 8771, "::1", true},
      {"[::]:8771", 8771, std::nullopt, true},
      {"0.0.0.0:8771", 8771, std::nullopt, true},
      {"::1:8771", 8771, "::1", true},  // last colon splits an unbracketed IPv6 host
      {"8771", std::nullopt, std::nullopt, false},
      {"host:", std::nullopt, "host", false},
      {":0", 0, std::nullopt, false},
      {":65536", 65536, std::nullopt, false},
      {":65535", 65535, std::nullopt, true},
      {":1", 1, std::nullopt, true},
      {":+80", 80, std::nullopt, true},
      {":-1", -1, std::nullopt, false},
      {":80a", std::nullopt, std::nullopt, false},
      {": 80", std::nullopt, std::nullopt, false},
      {":99999999999999999999", std::nullopt, std::nullopt, false},  // does not fit, must not wrap
      {"anything:8771", 8771, "anything", true},
      {"[[::1]]:80", 80, "::1", true},
      {"[]:80", 80, std::nullopt, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.listen);
    const HostSettings s = withListen(c.listen);
    EXPECT_EQ(s.port(), c.port);
    EXPECT_EQ(s.bindHost(), c.bindHost);
    EXPECT_EQ(s.validationError(), c.valid ? std::nullopt : std::optional(SettingsError::badListen));
  }
}

TEST(HostSettingsEquality, CanonicallyEquivalentTextsAreEqual) {
  HostSettings precomposed;
  precomposed.bitrate = "caf\xC3\xA9";  // U+00E9
  HostSettings decomposed;
  decomposed.bitrate = "cafe\xCC\x81";  // e + U+0301
  EXPECT_EQ(precomposed, decomposed);

  HostSettings other = precomposed;
  other.rateControl = "cbr";
  EXPECT_NE(precomposed, other);
  other = precomposed;
  other.fps = 31;
  EXPECT_NE(precomposed, other);
  other = precomposed;
  other.audio = false;
  EXPECT_NE(precomposed, other);
}

TEST(HostSettingsJson, DefaultsEncodeAsTheSixMembers) {
  const auto json = HostSettings{}.toJson();
  EXPECT_NE(json.find("\"listen\":\":8771\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"audio\":true"), std::string::npos) << json;
  EXPECT_NE(json.find("\"fps\":30"), std::string::npos) << json;
  EXPECT_NE(json.find("\"bitrate\":\"24M\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"maxWidth\":1920"), std::string::npos) << json;
  EXPECT_NE(json.find("\"rateControl\":\"vbr\""), std::string::npos) << json;
  EXPECT_EQ(json.find(' '), std::string::npos) << "compact form expected: " << json;
}

TEST(HostSettingsJson, RoundTripGivesAnEqualValue) {
  const HostSettings values[] = {
      HostSettings{},
      HostSettings{"[::1]:9000", false, -5, "8 M \"q\"", 0, "caf\xC3\xA9"},
      HostSettings{"x:1", true, INT64_MIN, "", INT64_MAX, "\xE4\xBA\x94"},
  };
  for (const auto& v : values) {
    const auto back = HostSettings::fromJson(v.toJson());
    ASSERT_TRUE(back.has_value()) << v.toJson();
    EXPECT_EQ(*back, v);
  }
}

TEST(HostSettingsJson, ReadsMembersInAnyOrderAndIgnoresUnknownOnes) {
  const auto s = HostSettings::fromJson(
      R"({"rateControl":"cbr","maxWidth":0,"extra":[1,2],"bitrate":"8M","fps":60,"audio":false,"listen":":1"})");
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(*s, (HostSettings{":1", false, 60, "8M", 0, "cbr"}));
}

TEST(HostSettingsJson, IntegerMembersMustBeExactAndFit64Bits) {
  const auto withFps = [](const std::string& fps) {
    return HostSettings::fromJson(R"({"listen":":8771","audio":true,"fps":)" + fps +
                                  R"(,"bitrate":"24M","maxWidth":1920,"rateControl":"vbr"})");
  };
  EXPECT_EQ(withFps("30.0").value().fps, 30);
  EXPECT_EQ(withFps("3e1").value().fps, 30);
  EXPECT_EQ(withFps("-0.0").value().fps, 0);
  EXPECT_EQ(withFps("9223372036854775807").value().fps, INT64_MAX);
  EXPECT_EQ(withFps("-9223372036854775808").value().fps, INT64_MIN);
  EXPECT_FALSE(withFps("1e999999999999999999"));  // overflows the JSON reader itself
  // Decided on the text, not on a rounded double.
  EXPECT_EQ(withFps("9007199254740993.0").value().fps, 9007199254740993);
  EXPECT_EQ(withFps("-9223372036854775808.0").value().fps, INT64_MIN);
  EXPECT_EQ(withFps("92233720368547758070e-1").value().fps, INT64_MAX);
  EXPECT_EQ(withFps("0.000e999999999999999999").value().fps, 0);
  EXPECT_EQ(withFps("1200E-2").value().fps, 12);
  for (const char* bad : {"29.97", "12.5", "9223372036854775808", "18446744073709551615", "1e19", "-1e19",
                          "9223372036854775808.0", "-9223372036854775809.0", "1e-400", "30.0000000000000000001",
                          "123456789012345678901234567890", "\"30\"", "true", "null", "[30]"}) {
    SCOPED_TRACE(bad);
    std::string error;
    EXPECT_FALSE(HostSettings::fromJson(R"({"listen":":8771","audio":true,"fps":)" + std::string(bad) +
                                            R"(,"bitrate":"24M","maxWidth":1920,"rateControl":"vbr"})",
                                        &error));
    EXPECT_NE(error.find("fps"), std::string::npos) << error;
  }
}

TEST(HostSettingsJson, FailsAsAWholeOnMissingOrMistypedMembers) {
  const char* bad[] = {
      R"({"listen":":8771","audio":true,"fps":30,"bitrate":"24M","maxWidth":1920})",  // no rateControl
      R"({"listen":8771,"audio":true,"fps":30,"bitrate":"24M","maxWidth":1920,"rateControl":"vbr"})",
      R"({"listen":":8771","audio":1,"fps":30,"bitrate":"24M","maxWidth":1920,"rateControl":"vbr"})",
      R"({"listen":":8771","audio":true,"fps":30,"bitrate":null,"maxWidth":1920,"rateControl":"vbr"})",
      R"({"listen":":8771","audio":true,"fps":30,"bitrate":"24M","maxWidth":1920.5,"rateControl":"vbr"})",
      R"([":8771",true,30,"24M",1920,"vbr"])",
      R"({"listen":":8771","audio":true,"fps":30,"bitrate":"24M","maxWidth":1920,"rateControl":"vbr"} x)",
      "",
      "{\"listen\":\"\xFF\",\"audio\":true,\"fps\":30,\"bitrate\":\"24M\",\"maxWidth\":1920,\"rateControl\":\"vbr\"}",
  };
  for (const char* json : bad) {
    SCOPED_TRACE(json);
    std::string error;
    EXPECT_FALSE(HostSettings::fromJson(json, &error).has_value());
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace qx
