#include "server/http_rules.h"

#include <gtest/gtest.h>

namespace qx::server {
namespace {

const std::optional<std::string> noToken;
const std::optional<std::string> token = std::string("s3cret/+=");

TEST(Route, ResourcesAndMethods) {
  struct Case {
    const char* method;
    const char* target;
    RouteDecision expected;
  };
  const Case cases[] = {
      {"GET", "/stream.h264", {200, Endpoint::stream}},
      {"GET", "/stream.h264?x=1", {200, Endpoint::stream}},
      {"GET", "/audio.opus", {200, Endpoint::audio}},
      {"POST", "/control", {200, Endpoint::control}},
      {"POST", "/update/install", {200, Endpoint::updateInstall}},
      {"GET", "/", {200, Endpoint::page}},
      {"POST", "/stream.h264", {405, std::nullopt}},
      {"GET", "/control", {405, std::nullopt}},
      {"get", "/stream.h264", {405, std::nullopt}},
      {"GET", "/stream.h264/", {404, std::nullopt}},
      {"GET", "/STREAM.H264", {404, std::nullopt}},
      {"GET", "/../stream.h264", {404, std::nullopt}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(route(c.method, c.target, "", noToken, true), c.expected) << c.method << " " << c.target;
  }
}

TEST(Route, AudioOnlyWhenCapturingAudio) { EXPECT_EQ(route("GET", "/audio.opus", "", noToken, false).status, 404); }

TEST(Route, TokenIsRequiredOnEveryPathWhenSet) {
  for (const char* target : {"/stream.h264", "/audio.opus", "/nothing-here"}) {
    EXPECT_EQ(route("GET", target, "", token, true).status, 401) << target;
  }
  EXPECT_EQ(route("POST", "/update/install", "", token, true).status, 401);
  EXPECT_EQ(route("POST", "/control", "Bearer wrong", token, true).status, 401);
  // An empty token stands for "no token stored".
  EXPECT_EQ(route("GET", "/stream.h264", "", std::optional<std::string>(""), true).status, 200);
}

TEST(Route, TokenAcceptedFromHeaderOrQuery) {
  EXPECT_EQ(route("GET", "/stream.h264", "Bearer s3cret/+=", token, true).status, 200);
  EXPECT_EQ(route("GET", "/stream.h264", "bearer s3cret/+=", token, true).status, 200);
  EXPECT_EQ(route("GET", "/stream.h264?token=s3cret%2F%2B%3D", "", token, true).status, 200);
  EXPECT_EQ(route("GET", "/stream.h264?a=1&token=s3cret/+=&b", "", token, true).status, 200);
  // A wrong header does not spoil a right query parameter and vice versa.
  EXPECT_EQ(route("GET", "/stream.h264?token=s3cret/+=", "Bearer nope", token, true).status, 200);
  EXPECT_EQ(route("GET", "/stream.h264?token=nope", "Bearer s3cret/+=", token, true).status, 200);
}

TEST(Route, NearMissesOfTheTokenAreRefused) {
  const char* headers[] = {
      "s3cret/+=",         "Bearer",          "Bearer ",         "Bearer s3cret/+", "Bearer s3cret/+==",
      "Bearer  s3cret/+=", "Basic s3cret/+=", "Bearer S3CRET/+="};
  for (const char* header : headers) {
    EXPECT_EQ(route("GET", "/stream.h264", header, token, true).status, 401) << header;
  }
  const char* targets[] = {
      "/stream.h264?token=",           "/stream.h264?token=s3cret%2F%2B", "/stream.h264?token=s3cret%2",
      "/stream.h264?tokens=s3cret/+=", "/stream.h264?Token=s3cret/+=",    "/stream.h264#token=s3cret/+="};
  for (const char* target : targets) {
    EXPECT_EQ(route("GET", target, "", token, true).status, 401) << target;
  }
}

TEST(ConstantTimeEquals, ComparesWholeTexts) {
  EXPECT_TRUE(constantTimeEquals("abc", "abc"));
  EXPECT_TRUE(constantTimeEquals("", ""));
  EXPECT_FALSE(constantTimeEquals("abc", "abd"));
  EXPECT_FALSE(constantTimeEquals("abc", "ab"));
  EXPECT_FALSE(constantTimeEquals("abc", "abcd"));
  EXPECT_FALSE(constantTimeEquals("abc", ""));
  EXPECT_FALSE(constantTimeEquals("", "a"));
  // A shorter given text must not match by its implicit zero padding.
  EXPECT_FALSE(constantTimeEquals(std::string("ab\0", 3), "ab"));
}

TEST(QueryParameter, DecodesAndRefusesBrokenEscapes) {
  EXPECT_EQ(queryParameter("/x?token=a%20b", "token"), std::optional<std::string>("a b"));
  EXPECT_EQ(queryParameter("/x?token", "token"), std::optional<std::string>(""));
  EXPECT_EQ(queryParameter("/x?a=1&token=2&token=3", "token"), std::optional<std::string>("2"));
  EXPECT_FALSE(queryParameter("/x", "token"));
  EXPECT_FALSE(queryParameter("/x?token=%zz", "token"));
  EXPECT_FALSE(queryParameter("/x?token=%4", "token"));
}

TEST(ControlLine, ForwardsOnlyTheKnownCommands) {
  struct Case {
    const char* body;
    std::optional<std::string> line;
  };
  const Case cases[] = {
      {"idr", "idr"},
      {"idr\n", "idr"},
      {"idr\r\n", "idr"},
      {"ltr-refresh", "ltr-refresh"},
      {"ltr-ack 42", "ltr-ack 42"},
      {"ltr-ack -7", "ltr-ack -7"},
      {"ltr-ack +7", "ltr-ack 7"},
      {"bitrate 5000000\n", "bitrate 5000000"},
      {"", std::nullopt},
      {"\n", std::nullopt},
      {"IDR", std::nullopt},
      {" idr", std::nullopt},
      {"idr ", std::nullopt},
      {"idr\n\n", std::nullopt},
      {"idr\nbitrate 1", std::nullopt},
      {"idr\rbitrate 1", std::nullopt},
      {"ltr-ack", std::nullopt},
      {"ltr-ack ", std::nullopt},
      {"ltr-ack  42", std::nullopt},
      {"ltr-ack 42 ", std::nullopt},
      {"ltr-ack 9223372036854775808", std::nullopt},
      {"bitrate 6m", std::nullopt},
      {"bitrate abc", std::nullopt},
      {"bitrate 5\nidr", std::nullopt},
      {"quit", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(controlLine(c.body), c.line) << "body: " << c.body;
  }
}

}  // namespace
}  // namespace qx::server
