#include "server/http_rules.h"
#include "server/sdp_offer.h"
#include "server/viewer_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>

namespace qx::server {
namespace {

// A browser's receive-only offer, cut to what the checks read; `video` and
// `audio` are the formats of each section.
std::string offer(const std::string& video, const std::string& audio = "",
                  const std::string& videoDirection = "recvonly") {
  std::string sdp =
      "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\na=group:BUNDLE 0 1 2\r\n"
      "a=fingerprint:sha-256 AA:BB\r\na=ice-ufrag:abcd\r\na=ice-pwd:0123456789abcdef012345\r\n"
      "m=video 9 UDP/TLS/RTP/SAVPF 96 97 98 99 35 128\r\na=mid:0\r\na=" +
      videoDirection + "\r\n" + video;
  if (!audio.empty()) sdp += "m=audio 9 UDP/TLS/RTP/SAVPF 111 9\r\na=mid:1\r\na=recvonly\r\n" + audio;
  sdp += "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\na=mid:2\r\n";
  return sdp;
}

std::string h264(int pt, const std::string& profile, int mode = 1) {
  return "a=rtpmap:" + std::to_string(pt) + " H264/90000\r\na=fmtp:" + std::to_string(pt) +
         " level-asymmetry-allowed=1;packetization-mode=" + std::to_string(mode) + ";profile-level-id=" + profile +
         "\r\n";
}

TEST(Offer, PicksTheStreamProfileElseTheClosestOffered) {
  const std::string chromium = h264(96, "42001f") + h264(97, "42e01f") + h264(98, "4d001f");
  struct Case {
    std::string video;
    const char* stream;
    int pt;
    const char* signalled;
  };
  const Case cases[] = {
      {chromium + h264(99, "640c1f"), "640c1f", 99, "640c1f"},  // the real profile when offered
      {chromium, "640c1f", 98, "4d001f"},                       // High: Main decoders come closest
      {chromium, "42e01f", 97, "42e01f"},
      {chromium, "42c028", 97, "42e01f"},  // Constrained Baseline, flags set otherwise, other level
      {h264(96, "42001f") + h264(97, "42E01F"), "42e01f", 97, "42e01f"},     // hex case ignored
      {h264(96, "42001f") + h264(97, "640032"), "42e01f", 96, "42001f"},     // Baseline before High
      {h264(96, "640032") + h264(97, "4d001f"), "640c1f", 96, "640032"},     // same profile, other level
      {h264(96, "42e01f", 0) + h264(97, "4d001f"), "42e01f", 97, "4d001f"},  // mode 0 is never picked
      {"a=rtpmap:35 H264/90000\r\na=fmtp:35 packetization-mode=1;profile-level-id=42e01f\r\n" + h264(98, "4d001f"),
       "42e01f", 98, "4d001f"},  // payload types under 96 are never picked
  };
  for (const auto& c : cases) {
    auto result = checkOffer(offer(c.video), c.stream);
    ASSERT_TRUE(std::holds_alternative<OfferedMedia>(result)) << c.video << std::get<OfferRefusal>(result).reason;
    const auto& media = std::get<OfferedMedia>(result);
    EXPECT_EQ(media.videoPayloadType, c.pt) << c.video;
    EXPECT_EQ(media.offeredProfile, c.signalled) << c.video;
    EXPECT_EQ(media.mid, "0");
    EXPECT_TRUE(media.dataChannel);
  }
}

TEST(Offer, OpusTakenOnlyWithADynamicPayloadType) {
  struct Case {
    std::string audio;
    std::optional<int> pt;
  };
  const Case cases[] = {
      {"a=rtpmap:111 opus/48000/2\r\na=rtpmap:9 G722/8000\r\n", 111},
      {"a=rtpmap:9 opus/48000/2\r\n", std::nullopt},
      {"a=rtpmap:111 PCMU/8000\r\n", std::nullopt},
  };
  for (const auto& c : cases) {
    auto result = checkOffer(offer(h264(96, "42e01f"), c.audio), "42e01f");
    ASSERT_TRUE(std::holds_alternative<OfferedMedia>(result)) << c.audio;
    EXPECT_EQ(std::get<OfferedMedia>(result).opusPayloadType, c.pt) << c.audio;
  }
}

TEST(Offer, PlayoutDelayExtensionOnlyWithAOneByteIdOfTheVideoSection) {
  const std::string uri = kPlayoutDelayUri;
  struct Case {
    std::string video, audio;
    std::optional<int> id;
  };
  const Case cases[] = {
      {"a=extmap:5 " + uri + "\r\n", "", 5},
      {"a=extmap:14/recvonly " + uri + "\r\n", "", 14},
      {"a=extmap:15 " + uri + "\r\n", "", std::nullopt},  // two-byte ids are not written
      {"a=extmap:0 " + uri + "\r\n", "", std::nullopt},
      {"a=extmap:x " + uri + "\r\n", "", std::nullopt},
      {"a=extmap:5 " + uri + "-other\r\n", "", std::nullopt},
      {"", "a=rtpmap:111 opus/48000/2\r\na=extmap:5 " + uri + "\r\n", std::nullopt},  // audio's is not video's
  };
  for (const auto& c : cases) {
    auto result = checkOffer(offer(h264(96, "42e01f") + c.video, c.audio), "42e01f");
    ASSERT_TRUE(std::holds_alternative<OfferedMedia>(result)) << c.video;
    EXPECT_EQ(std::get<OfferedMedia>(result).playoutDelayExtension, c.id) << c.video << c.audio;
  }
}

TEST(Offer, RefusedWithAReason) {
  const std::string good = offer(h264(96, "42e01f"));
  std::string noFingerprint = good;
  noFingerprint.erase(noFingerprint.find("a=fingerprint"), std::string("a=fingerprint:sha-256 AA:BB\r\n").size());
  std::string noMid = good;
  noMid.erase(noMid.find("a=mid:0"), std::string("a=mid:0\r\n").size());
  const std::string cases[] = {
      "",
      "hello",
      "v=1\r\n",
      noFingerprint,
      noMid,
      offer(h264(96, "42e01f", 0)),
      offer(h264(96, "42e01f"), "", "sendonly"),
      offer(h264(96, "42e01f"), "", "inactive"),
      offer("a=rtpmap:96 VP8/90000\r\n"),
      offer(h264(96, "xyz123")),
      offer(h264(128, "42e01f")),
  };
  for (const auto& sdp : cases) {
    auto result = checkOffer(sdp, "42e01f");
    ASSERT_TRUE(std::holds_alternative<OfferRefusal>(result)) << sdp;
    EXPECT_FALSE(std::get<OfferRefusal>(result).reason.empty());
  }
}

TEST(Offer, StreamProfileReadFromTheSps) {
  using namespace std::string_literals;
  EXPECT_EQ(profileOfAccessUnit("\0\0\0\1\x09\x10\0\0\0\1\x67\x64\x0c\x1f\xac"s), "640c1f");
  EXPECT_EQ(profileOfAccessUnit("\0\0\1\x67\x42\xe0\x1e"s), "42e01e");
  EXPECT_EQ(profileOfAccessUnit("\0\0\0\1\x65\x88\x84"s), std::nullopt);  // no SPS
  EXPECT_EQ(profileOfAccessUnit("\0\0\1\x67\x42"s), std::nullopt);        // cut short
  EXPECT_EQ(profileName("640c1f"), "constrained-high");
  EXPECT_EQ(profileName("42e01f"), "constrained-baseline");
  EXPECT_EQ(profileName("4d001f"), "main");
}

TEST(Route, WhepAndPageRules) {
  const std::optional<std::string> token = std::string("t0k");
  struct Case {
    const char* method;
    const char* target;
    const char* authorization;
    RouteDecision expected;
  };
  const Case cases[] = {
      {"POST", "/whep", "Bearer t0k", {200, Endpoint::whep}},
      {"POST", "/whep", "", {401, std::nullopt}},
      {"PATCH", "/whep", "Bearer t0k", {405, std::nullopt}},
      {"PATCH", "/whep/0123abcd", "Bearer t0k", {405, std::nullopt}},
      {"DELETE", "/whep/0123abcd", "Bearer t0k", {200, Endpoint::whepSession}},
      {"DELETE", "/whep/0123abcd", "", {401, std::nullopt}},
      {"OPTIONS", "/whep", "", {200, Endpoint::preflight}},
      {"OPTIONS", "/whep/0123abcd", "", {200, Endpoint::preflight}},
      {"OPTIONS", "/control", "", {401, std::nullopt}},
      {"GET", "/", "", {200, Endpoint::page}},
      {"GET", "/viewer.js?v=2", "", {200, Endpoint::page}},
      {"GET", "/.hidden.js", "", {401, std::nullopt}},
      {"GET", "/../secret.js", "", {401, std::nullopt}},
      {"GET", "/stream.h264", "", {401, std::nullopt}},
      {"POST", "/", "", {401, std::nullopt}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(route(c.method, c.target, c.authorization, token, true), c.expected) << c.method << " " << c.target;
  }
  EXPECT_EQ(pageFile("/"), "index.html");
  EXPECT_TRUE(isSdpContentType("application/SDP; charset=utf-8"));
  EXPECT_FALSE(isSdpContentType("text/plain"));
  EXPECT_EQ(parsePortRange("47100-47199"), std::make_pair(47100, 47199));
  for (const char* bad : {"", "47100", "80-90", "50000-40000", "1-2-3", "47100-70000"}) {
    EXPECT_EQ(parsePortRange(bad), std::nullopt) << bad;
  }
}

TEST(ViewerLifetime, EndsWithoutConnectionOrAfterTenSecondsLost) {
  using Link = ViewerLifetime::Link;
  const auto t0 = ViewerLifetime::Clock::time_point{} + std::chrono::hours(1);
  auto at = [&](int ms) { return t0 + std::chrono::milliseconds(ms); };

  ViewerLifetime never(t0);
  never.link(Link::pending, at(1'000));
  never.link(Link::down, at(2'000));  // failing before it ever came up keeps the first deadline
  EXPECT_FALSE(never.expired(at(14'999)));
  EXPECT_TRUE(never.expired(at(15'000)));

  ViewerLifetime lost(t0);
  lost.link(Link::up, at(1'000));
  EXPECT_FALSE(lost.expired(at(60'000)));
  lost.link(Link::down, at(60'000));
  lost.link(Link::down, at(65'000));  // still down: the clock is not restarted
  EXPECT_FALSE(lost.expired(at(69'999)));
  EXPECT_TRUE(lost.expired(at(70'000)));

  ViewerLifetime back(t0);
  back.link(Link::up, at(1'000));
  back.link(Link::down, at(2'000));
  back.link(Link::up, at(11'000));
  EXPECT_FALSE(back.expired(at(100'000)));
}

TEST(KeyframeRequests, SeveralViewersWithinOneFrameMakeOneLine) {
  KeyframeRequests requests;
  EXPECT_TRUE(requests.request());
  EXPECT_FALSE(requests.request());
  EXPECT_FALSE(requests.request());
  requests.frameArrived();
  EXPECT_TRUE(requests.request());
}

}  // namespace
}  // namespace qx::server
