#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "HostCore/HostVersion.h"
#include "HostCore/UpdateCheck.h"
#include "HostCore/UpdateRequest.h"

namespace qx {
namespace {

using Versions = std::optional<std::vector<std::int64_t>>;

TEST(HostVersionParse, AcceptsTwoToFourPlainDecimalComponents) {
  EXPECT_EQ(HostVersion::parse("1.2"), Versions({1, 2}));
  EXPECT_EQ(HostVersion::parse(" 1.2.3 "), Versions({1, 2, 3}));
  EXPECT_EQ(HostVersion::parse("\t0.0.10.9223372036854775807"), Versions({0, 0, 10, INT64_MAX}));
  EXPECT_EQ(HostVersion::parse("1.2\xE2\x80\x83"), Versions({1, 2}));  // em space is horizontal white space
}

TEST(HostVersionParse, RefusesEverythingElse) {
  for (const char* bad : {"1",
                          "1.2.3.4.5",
                          "1..2",
                          "01.2",
                          "+1.2",
                          "1.+2",
                          "-0.1",
                          "1.-0",
                          "00.1",
                          "1.2-beta",
                          "x1.2",
                          "",
                          ".",
                          "1.",
                          ".1",
                          "1.2\n",
                          "\n1.2",
                          "1 .2",
                          "1.9223372036854775808",
                          "1.2.3.4.",
                          "\xEF\xBC\x91.2" /* fullwidth 1 */}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(HostVersion::parse(bad).has_value());
  }
}

TEST(HostVersionIsNewer, ComparesNumericallyWithMissingComponentsAsZero) {
  EXPECT_TRUE(HostVersion::isNewer("1.10", "1.9"));
  EXPECT_FALSE(HostVersion::isNewer("1.9", "1.10"));
  EXPECT_TRUE(HostVersion::isNewer("1.2.1", "1.2"));
  EXPECT_FALSE(HostVersion::isNewer("1.2", "1.2.0"));
  EXPECT_FALSE(HostVersion::isNewer("1.2.0", "1.2"));
  EXPECT_FALSE(HostVersion::isNewer("1.2.3", "1.2.3"));
  EXPECT_TRUE(HostVersion::isNewer("2.0", "1.99.99.99"));
  EXPECT_FALSE(HostVersion::isNewer("1.2", "1.2.0.1"));
  EXPECT_FALSE(HostVersion::isNewer("2.0", "abc"));
  EXPECT_FALSE(HostVersion::isNewer("abc", "1.0"));
}

TEST(UpdateCheckDecode, ReadsTheLastNonBlankLine) {
  const auto r = UpdateCheck::decode("checking...\n{\"current\":\"1.2.0\",\"available\":false}\n");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, UpdateCheck("1.2.0", std::nullopt, false, std::nullopt));
  EXPECT_FALSE(r->platform || r->latest || r->notes || r->size || r->path || r->error);

  EXPECT_TRUE(UpdateCheck::decode("log\n{\"current\":\"1\",\"available\":true}\n\n   \t\n"));
  EXPECT_FALSE(UpdateCheck::decode("{\"current\":\"1\",\"available\":true}\nlater log line\n"));
  // Earlier lines are never tried.
  EXPECT_FALSE(UpdateCheck::decode("{\"current\":\"1\",\"available\":true}\n{broken\n"));
  EXPECT_FALSE(UpdateCheck::decode(""));
  EXPECT_FALSE(UpdateCheck::decode("\n \t\r\n"));
}

TEST(UpdateCheckDecode, SplitsAtEveryLineTerminator) {
  const std::string report = "{\"current\":\"1\",\"available\":true}";
  for (const char* sep : {"\n", "\v", "\f", "\r", "\r\n", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"}) {
    SCOPED_TRACE(testing::PrintToString(std::string(sep)));
    EXPECT_TRUE(UpdateCheck::decode("progress 50%" + std::string(sep) + report));
    EXPECT_FALSE(UpdateCheck::decode(report + sep + "trailing log"));
  }
  // Invalid bytes become U+FFFD and do not join or split lines.
  EXPECT_TRUE(UpdateCheck::decode("bad \xFF\xFE bytes\n" + report));
  const auto r = UpdateCheck::decode("{\"current\":\"1\",\"available\":true,\"error\":\"x\xFFy\"}");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->error, "x\xEF\xBF\xBDy");
  // A trailing invalid byte stays on the report's line and spoils it.
  EXPECT_FALSE(UpdateCheck::decode(report + "\xC2"));
}

TEST(UpdateCheckDecode, OptionalMembersAndTypes) {
  const auto full = UpdateCheck::decode(
      R"({"current":"1.0","platform":"linux","latest":"1.1","notes":{"en":"Fixes","zh":"修复"},)"
      R"("size":3e3,"available":true,"path":"/tmp/a.app","error":null,"unknown":{"x":[1,{"y":[]},"z"]},"current":"1.0"})");
  ASSERT_TRUE(full.has_value());
  EXPECT_EQ(full->platform, "linux");
  EXPECT_EQ(full->latest, "1.1");
  EXPECT_EQ(full->notes, (std::map<std::string, std::string>{{"en", "Fixes"}, {"zh", "修复"}}));
  EXPECT_EQ(full->size, 3000);
  EXPECT_EQ(full->path, "/tmp/a.app");
  EXPECT_FALSE(full->error.has_value());

  const auto nulls = UpdateCheck::decode(
      R"({"current":"1","available":false,"platform":null,"latest":null,"notes":null,"size":null,"path":null})");
  ASSERT_TRUE(nulls.has_value());
  EXPECT_EQ(*nulls, UpdateCheck("1", std::nullopt, false, std::nullopt));

  for (const char* bad : {
           R"({"current":"1"})",
           R"({"available":true})",
           R"({"current":"1","available":"true"})",
           R"({"current":1,"available":true})",
           R"({"current":"1","available":true,"size":12.5})",
           R"({"current":"1","available":true,"size":9223372036854775808})",
           R"({"current":"1","available":true,"size":"12"})",
           R"({"current":"1","available":true,"notes":{"en":"a","zh":null}})",
           R"({"current":"1","available":true,"notes":["a"]})",
           R"({"current":"1","available":true,"latest":1.1})",
           R"({"current":"1","available":true,"path":false})",
           R"(["current","available"])",
       }) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(UpdateCheck::decode(bad).has_value());
  }
}

TEST(UpdateCheckEncode, RoundTripsThroughDecode) {
  UpdateCheck r("1.2.0", "1.3.0", true, std::nullopt);
  r.platform = "linux-x86_64";
  r.notes = std::map<std::string, std::string>{{"en", "a\nb"}, {"zh", ""}};
  r.size = -1;
  r.path = "/cache/Quorvex Host.app";
  const std::string line = r.encode();
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(UpdateCheck::decode("log line\n" + line + "\n"), r);
  const UpdateCheck minimal("1", std::nullopt, false, "no feed");
  EXPECT_EQ(UpdateCheck::decode(minimal.encode()), minimal);
}

// Every terminator `decode` splits at must be escaped by `encode`, in each
// text member, or the report is cut in two and cannot be read back.
TEST(UpdateCheckEncode, EscapesEveryLineTerminatorDecodeKnows) {
  for (const char* sep : {"\n", "\v", "\f", "\r", "\r\n", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"}) {
    SCOPED_TRACE(testing::PrintToString(std::string(sep)));
    const std::string text = "Fixes" + std::string(sep) + "More fixes";
    UpdateCheck r("1.2.0", "1.3.0", true, text);
    r.notes = std::map<std::string, std::string>{{"en", text}};
    r.path = "/cache/" + text + ".app";
    r.platform = text;
    EXPECT_EQ(UpdateCheck::decode(r.encode() + "\n"), r);
  }
}

TEST(UpdateCheckNotes, ChoosesByLanguageWithoutReplacingAnEmptyChoice) {
  UpdateCheck r("1", std::nullopt, true, std::nullopt);
  EXPECT_EQ(notes(r, true), std::nullopt);
  r.notes = std::map<std::string, std::string>{{"en", "Fixes"}};
  EXPECT_EQ(notes(r, true), "Fixes");
  EXPECT_EQ(notes(r, false), "Fixes");
  r.notes = std::map<std::string, std::string>{{"en", "Fixes"}, {"zh", ""}};
  EXPECT_EQ(notes(r, true), std::nullopt);
  EXPECT_EQ(notes(r, false), "Fixes");
  r.notes = std::map<std::string, std::string>{{"en", "Fixes"}, {"zh", "修复"}};
  EXPECT_EQ(notes(r, true), "修复");
  EXPECT_EQ(notes(r, false), "Fixes");
  r.notes = std::map<std::string, std::string>{};
  EXPECT_EQ(notes(r, false), std::nullopt);
  r.notes = std::map<std::string, std::string>{{"fr", "Corrections"}};
  EXPECT_EQ(notes(r, false), std::nullopt);
}

TEST(UpdateRequestVersion, FreshnessWindowReachesBothWays) {
  const double now = 1'800'000'000.5;
  const auto request = [](const char* version, double at) { return UpdateRequest::encode(version, at); };
  EXPECT_EQ(UpdateRequest::version(request("1.4.0", now - 119), now), "1.4.0");
  EXPECT_EQ(UpdateRequest::version(request("1.4.0", now - 120), now), "1.4.0");
  EXPECT_EQ(UpdateRequest::version(request("1.4.0", now + 120), now), "1.4.0");
  EXPECT_EQ(UpdateRequest::version(request("1.4.0", now - 121), now), std::nullopt);
  EXPECT_EQ(UpdateRequest::version(request("1.4.0", now + 121), now), std::nullopt);
  EXPECT_EQ(UpdateRequest::version(request("1.4.0", 1e308), now), std::nullopt);
}

TEST(UpdateRequestVersion, RefusesMalformedRequests) {
  const double now = 1000;
  EXPECT_EQ(UpdateRequest::version(R"({"version":"2.0","at":1000,"from":"phone"})", now), "2.0");
  EXPECT_EQ(UpdateRequest::version(R"({"at":999.25,"version":" 2.0 "})", now), " 2.0 ");
  for (const char* bad :
       {R"({"version":"latest","at":1000})", R"({"version":"2.0"})", R"({"at":1000})",
        R"({"version":"2.0","at":"1000"})", R"({"version":2.0,"at":1000})", R"({"version":"2.0","at":null})",
        R"(["2.0",1000])", "", "not json", "{\"version\":\"2.0\",\"at\":1000,\"x\":\"\xFF\"}"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(UpdateRequest::version(bad, now), std::nullopt);
  }
}

TEST(UpdateRequestUrl, AppendsTheFileNameToTheCachesDirectory) {
  EXPECT_EQ(UpdateRequest::url("/home/u/.cache"),
            std::filesystem::path("/home/u/.cache/com.quorvex.host/update-request.json"));
  EXPECT_EQ(UpdateRequest::url("/home/u/.cache/"),
            std::filesystem::path("/home/u/.cache/com.quorvex.host/update-request.json"));
}

// One rule for the host and the server, which meet in this folder.
TEST(UpdateRequestCachesDirectory, AnAbsoluteXdgCacheHomeElseAnAbsoluteHome) {
  const struct {
    const char* xdg;
    const char* home;
    std::optional<std::filesystem::path> caches;
  } cases[] = {
      {"/x/cache", "/home/a", "/x/cache"},
      {"/x/cache", nullptr, "/x/cache"},
      {nullptr, "/home/a", "/home/a/.cache"},
      {"relative", "/home/a", "/home/a/.cache"},
      {"", "/home/a", "/home/a/.cache"},
      {"relative", "home/a", std::nullopt},
      {"", "", std::nullopt},
      {nullptr, nullptr, std::nullopt},
  };
  for (const auto& c : cases) {
    const auto getenv = [&c](const char* name) { return std::string_view(name) == "XDG_CACHE_HOME" ? c.xdg : c.home; };
    EXPECT_EQ(UpdateRequest::cachesDirectory(getenv), c.caches)
        << (c.xdg ? c.xdg : "(unset)") << " " << (c.home ? c.home : "(unset)");
  }
}

}  // namespace
}  // namespace qx
