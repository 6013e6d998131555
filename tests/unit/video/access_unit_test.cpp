#include "video/access_unit.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "video/annexb_writer.h"

namespace qx {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kStart{0, 0, 0, 1};
const Bytes kAud{0, 0, 0, 1, 0x09, 0xF0};

struct ConversionCase {
  const char* name;
  Bytes input;
  Bytes expected;
  std::size_t units;
};

TEST(LengthPrefixConversion, StopRules) {
  const ConversionCase cases[] = {
      {"empty", {}, {}, 0},
      {"two units", {0, 0, 0, 2, 0x65, 0x88, 0, 0, 0, 1, 0x41}, concat({kStart, {0x65, 0x88}, kStart, {0x41}}), 2},
      {"zero length stops", {0, 0, 0, 1, 0x41, 0, 0, 0, 0, 0, 0, 0, 1, 0x41}, concat({kStart, {0x41}}), 1},
      {"length past end stops", {0, 0, 0, 1, 0x41, 0, 0, 0, 5, 0x41, 0x42}, concat({kStart, {0x41}}), 1},
      {"trailing partial length field ignored", {0, 0, 0, 1, 0x41, 0, 0}, concat({kStart, {0x41}}), 1},
      // A length near 2^32 must not wrap the bounds check.
      {"huge length", {0xFF, 0xFF, 0xFF, 0xFF, 0x41}, {}, 0},
      {"exactly fills", {0, 0, 0, 3, 1, 2, 3}, concat({kStart, {1, 2, 3}}), 1},
  };
  for (const auto& c : cases) {
    Bytes out;
    EXPECT_EQ(access_unit::appendLengthPrefixedAsStartCodes(c.input, out), c.units) << c.name;
    EXPECT_EQ(out, c.expected) << c.name;
  }
}

EncodedSample sample(Bytes data, std::optional<bool> notSync) {
  EncodedSample s;
  s.data = std::move(data);
  s.notSync = notSync;
  s.parameterSets = std::vector<Bytes>{{0x67, 0x42}, {0x68, 0xCE}};
  return s;
}

TEST(AccessUnitBytes, KeyframeCarriesParameterSetsThenSliceThenDelimiter) {
  const auto s = sample({0, 0, 0, 2, 0x65, 0xB8}, false);
  Bytes out;
  access_unit::appendFrame(s, access_unit::isKeyframe(s), *s.data, out);
  EXPECT_EQ(out, concat({kStart, {0x67, 0x42}, kStart, {0x68, 0xCE}, kStart, {0x65, 0xB8}, kAud}));
}

TEST(AccessUnitBytes, NonKeyframeHasNoParameterSets) {
  const auto s = sample({0, 0, 0, 2, 0x41, 0x9A}, true);
  Bytes out;
  access_unit::appendFrame(s, access_unit::isKeyframe(s), *s.data, out);
  EXPECT_EQ(out, concat({kStart, {0x41, 0x9A}, kAud}));
}

TEST(AccessUnitBytes, MalformedLengthKeepsEarlierUnitsAndStillCloses) {
  const auto s = sample({0, 0, 0, 1, 0x41, 0, 0, 0, 0}, true);
  Bytes out;
  access_unit::appendFrame(s, false, *s.data, out);
  EXPECT_EQ(out, concat({kStart, {0x41}, kAud}));
}

TEST(AccessUnitBytes, KeyframeFlagAndParameterSetRules) {
  EXPECT_TRUE(access_unit::isKeyframe(sample({}, std::nullopt)));  // no attachment
  EXPECT_TRUE(access_unit::isKeyframe(sample({}, false)));
  EXPECT_FALSE(access_unit::isKeyframe(sample({}, true)));

  auto s = sample({}, false);
  s.parameterSets = std::vector<Bytes>{{0x67}, {}, {0x68}};  // unreadable middle set is skipped
  EXPECT_EQ(access_unit::parameterSets(s), (std::vector<Bytes>{{0x67}, {0x68}}));
  s.parameterSets.reset();
  EXPECT_TRUE(access_unit::parameterSets(s).empty());
}

Bytes seiFor(const std::string& text) {
  Bytes b{0, 0, 0, 1, 0x06, 0x05, static_cast<std::uint8_t>(16 + text.size())};
  const std::string uuid = "QuorvexLTRmeta01";
  b.insert(b.end(), uuid.begin(), uuid.end());
  b.insert(b.end(), text.begin(), text.end());
  b.push_back(0x80);
  return b;
}

TEST(LtrSei, TextShapesAndLengths) {
  EXPECT_EQ(access_unit::ltrSEI(12, false), seiFor("ltr=12"));
  EXPECT_EQ(access_unit::ltrSEI(12, false)[6], 22);
  EXPECT_EQ(access_unit::ltrSEI(std::nullopt, true), seiFor("refresh"));
  EXPECT_EQ(access_unit::ltrSEI(std::nullopt, true)[6], 23);
  EXPECT_EQ(access_unit::ltrSEI(3, true), seiFor("ltr=3 refresh"));
  EXPECT_EQ(access_unit::ltrSEI(3, true)[6], 29);
  EXPECT_EQ(access_unit::ltrSEI(-4, false), seiFor("ltr=-4"));
}

TEST(LtrSei, LongestTokenFitsOneSizeByteAndHasNoZeroPairs) {
  const auto sei = access_unit::ltrSEI(std::numeric_limits<std::int64_t>::min(), true);
  EXPECT_EQ(sei, seiFor("ltr=-9223372036854775808 refresh"));
  EXPECT_EQ(sei[6], 48);
  // Emulation prevention is never needed after the start code.
  for (std::size_t i = 4; i + 1 < sei.size(); ++i) {
    EXPECT_FALSE(sei[i] == 0 && sei[i + 1] == 0) << "at " << i;
  }
}

}  // namespace
}  // namespace qx
