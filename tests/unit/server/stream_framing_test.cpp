#include "server/stream_framing.h"

#include <gtest/gtest.h>

namespace qx::server {
namespace {

const std::string startCode("\x00\x00\x00\x01", 4);
const std::string delimiter("\x00\x00\x00\x01\x09\xF0", 6);

std::string keyframeUnit(const std::string& tag) {
  return startCode + "\x67SPS" + startCode + "\x68PPS" + startCode + "\x65" + tag + delimiter;
}
std::string deltaUnit(const std::string& tag) { return startCode + "\x41" + tag + delimiter; }

std::vector<AccessUnit> feed(AccessUnitSplitter& splitter, const std::string& bytes, std::size_t chunk) {
  std::vector<AccessUnit> units;
  for (std::size_t at = 0; at < bytes.size(); at += chunk) {
    for (auto& unit : splitter.push(std::string_view(bytes).substr(at, chunk))) units.push_back(unit);
  }
  return units;
}

TEST(AccessUnitSplitter, CutsAfterEachDelimiterWhateverTheChunking) {
  const std::string units[] = {keyframeUnit("frame0"), deltaUnit("frame1"), deltaUnit("frame2"),
                               keyframeUnit("frame3")};
  std::string stream;
  for (const auto& unit : units) stream += unit;
  for (std::size_t chunk : {1u, 2u, 3u, 5u, 7u, 64u, 4096u}) {
    AccessUnitSplitter splitter;
    auto got = feed(splitter, stream, chunk);
    ASSERT_EQ(got.size(), 4u) << "chunk " << chunk;
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(*got[i].bytes, units[i]) << "chunk " << chunk << " unit " << i;
    }
    EXPECT_TRUE(got[0].keyframe);
    EXPECT_FALSE(got[1].keyframe);
    EXPECT_FALSE(got[2].keyframe);
    EXPECT_TRUE(got[3].keyframe);
    EXPECT_EQ(splitter.pendingBytes(), 0u);
  }
}

TEST(AccessUnitSplitter, AUnitIsHeldUntilItsDelimiterIsComplete) {
  AccessUnitSplitter splitter;
  std::string unit = deltaUnit("x");
  EXPECT_TRUE(splitter.push(unit.substr(0, unit.size() - 1)).empty());  // delimiter payload missing
  auto got = splitter.push(unit.substr(unit.size() - 1));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(*got[0].bytes, unit);
}

TEST(AccessUnitSplitter, ThreeByteStartCodesCountToo) {
  AccessUnitSplitter splitter;
  std::string unit = std::string("\x00\x00\x01\x65idr\x00\x00\x01\x09\xF0", 12);
  auto got = splitter.push(unit);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0].keyframe);
  EXPECT_EQ(*got[0].bytes, unit);
}

// A trailing delimiter reaching the RTP packetiser became a picture of its own
// to the browser, which then decoded nothing but keyframes.
TEST(LengthBeforeTrailingDelimiter, CutsOnlyADelimiterThatEndsTheUnit) {
  const std::string slice = startCode + "\x41slice";
  const struct {
    std::string unit;
    std::size_t length;
  } cases[] = {
      {slice + delimiter, slice.size()},
      {slice + std::string("\x00\x00\x01\x09\xF0", 5), slice.size()},
      {slice, slice.size()},
      {delimiter + slice, delimiter.size() + slice.size()},
      {slice + startCode + "\x41\x09", slice.size() + 6},  // a slice whose last byte is 9
      {std::string("\x01\x09\xF0", 3), 3},
  };
  for (const auto& c : cases) EXPECT_EQ(lengthBeforeTrailingDelimiter(c.unit), c.length);
}

TEST(AccessUnitSplitter, KeyframeFlagDoesNotLeakIntoTheNextUnit) {
  AccessUnitSplitter splitter;
  // The IDR header and the following unit arrive in separate pieces.
  std::string stream = keyframeUnit("k") + deltaUnit("d");
  auto first = splitter.push(stream.substr(0, 20));
  auto rest = splitter.push(stream.substr(20));
  first.insert(first.end(), rest.begin(), rest.end());
  ASSERT_EQ(first.size(), 2u);
  EXPECT_TRUE(first[0].keyframe);
  EXPECT_FALSE(first[1].keyframe);
}

TEST(AccessUnitSplitter, AStreamWithoutDelimitersIsBoundedInMemory) {
  AccessUnitSplitter splitter;
  std::string chunk(1u << 20, 'x');
  chunk.replace(0, 5, std::string("\x00\x00\x00\x01\x41", 5));
  for (int i = 0; i < 40; ++i) EXPECT_TRUE(splitter.push(chunk).empty());
  EXPECT_LE(splitter.pendingBytes(), AccessUnitSplitter::maxPending);
  EXPECT_GT(splitter.discardedBytes(), 0u);
  // It recovers once delimiters come back.
  auto got = splitter.push(delimiter + deltaUnit("after"));
  EXPECT_FALSE(got.empty());
  EXPECT_EQ(*got.back().bytes, deltaUnit("after"));
}

TEST(OpusFrameSplitter, YieldsWholeFramesAcrossChunks) {
  std::string stream;
  std::vector<std::string> frames;
  for (std::size_t length : {1u, 300u, 0u, 1500u}) {
    std::string frame;
    frame.push_back(static_cast<char>(length >> 8));
    frame.push_back(static_cast<char>(length & 0xFF));
    frame.append(length, 'p');
    frames.push_back(frame);
    stream += frame;
  }
  for (std::size_t chunk : {1u, 3u, 299u, 10000u}) {
    OpusFrameSplitter splitter;
    std::vector<std::string> got;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      for (auto& frame : splitter.push(std::string_view(stream).substr(at, chunk))) got.push_back(*frame);
    }
    EXPECT_EQ(got, frames) << "chunk " << chunk;
  }
}

TEST(SendQueue, RefusesPastItsBoundButAlwaysTakesOneBuffer) {
  SendQueue queue(100);
  EXPECT_TRUE(queue.push(std::make_shared<const std::string>(250, 'a')));  // empty queue: taken
  EXPECT_FALSE(queue.push(std::make_shared<const std::string>(1, 'b')));
  queue.pop();
  EXPECT_TRUE(queue.empty());
  EXPECT_TRUE(queue.push(std::make_shared<const std::string>(60, 'c')));
  EXPECT_TRUE(queue.push(std::make_shared<const std::string>(40, 'd')));
  EXPECT_FALSE(queue.push(std::make_shared<const std::string>(1, 'e')));
  EXPECT_EQ(queue.bytes(), 100u);
  queue.pop();
  EXPECT_EQ(queue.bytes(), 40u);
  EXPECT_EQ(*queue.front(), std::string(40, 'd'));
  EXPECT_TRUE(queue.push(std::make_shared<const std::string>(60, 'f')));
}

}  // namespace
}  // namespace qx::server
