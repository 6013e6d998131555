// Which picture carries a long-term mark, what an acknowledgement tells the
// encoder, and which refresh frames a receiver can decode.

#include "platform/linux/openh264/ltr_marks.h"

#include <gtest/gtest.h>

namespace qx::openh264 {
namespace {

using namespace std::chrono_literals;

h264::SliceHeader idr(int idrPicId, bool longTerm = true) {
  h264::SliceHeader s{};
  s.idr = true;
  s.nalRefIdc = 3;
  s.nalUnitType = 5;
  s.sliceType = 2;
  s.idrPicId = idrPicId;
  s.longTermReference = longTerm;
  s.maxFrameNum = 16;
  return s;
}

h264::SliceHeader p(int frameNum, std::vector<h264::Mmco> mmcos = {}) {
  h264::SliceHeader s{};
  s.nalRefIdc = 2;
  s.nalUnitType = 1;
  s.sliceType = 0;
  s.frameNum = frameNum;
  s.numRefIdxL0Active = 1;
  s.adaptiveMarking = !mmcos.empty();
  s.mmcos = std::move(mmcos);
  s.maxFrameNum = 16;
  return s;
}

h264::Mmco longTermCurrent(int idx) { return h264::Mmco{.op = 6, .longTermFrameIdx = idx}; }
h264::Mmco longTermPrevious(int idx) { return h264::Mmco{.op = 3, .longTermFrameIdx = idx}; }

h264::SliceHeader refreshFrom(int longTermPicNum, int frameNum = 9) {
  h264::SliceHeader s = p(frameNum);
  s.list0 = {{2, longTermPicNum}};
  return s;
}

TEST(LtrMarks, MarksGetTokensAndAcknowledgementsConfirmThem) {
  LtrMarks marks;
  const auto first = marks.onPicture(idr(7), 0ms);
  ASSERT_TRUE(first);
  EXPECT_FALSE(marks.onPicture(p(1), 33ms));
  EXPECT_FALSE(marks.recoveryRequest()) << "nothing is acknowledged yet";
  EXPECT_FALSE(marks.acknowledge(*first + 1));
  EXPECT_EQ(marks.acknowledge(*first), (MarkingFeedback{true, 7, 0}));
  EXPECT_FALSE(marks.acknowledge(*first)) << "answered once only";

  const auto second = marks.onPicture(p(2, {longTermCurrent(1)}), 66ms);
  ASSERT_TRUE(second);
  EXPECT_NE(*second, *first);
  EXPECT_EQ(marks.acknowledge(*second), (MarkingFeedback{true, 7, 2}));
  marks.onPicture(p(3), 99ms);
  // The newest acknowledged picture is the one to refresh from.
  EXPECT_EQ(marks.recoveryRequest(), (RecoveryRequest{7, 2, 3}));
}

TEST(LtrMarks, ADelayedMarkBelongsToThePictureThatCarriesIt) {
  LtrMarks marks;
  marks.onPicture(idr(1, false), 0ms);
  marks.onPicture(p(1), 33ms);
  const auto token = marks.onPicture(p(2, {longTermPrevious(0)}), 66ms);
  ASSERT_TRUE(token);
  // The encoder knows it by the picture made long-term; a refresh names the carrier.
  EXPECT_EQ(marks.acknowledge(*token), (MarkingFeedback{true, 1, 1}));
  marks.onPicture(p(3), 99ms);
  EXPECT_EQ(marks.recoveryRequest(), (RecoveryRequest{1, 2, 3}));
}

TEST(LtrMarks, AnIdrVoidsEveryTokenBeforeIt) {
  LtrMarks marks;
  const auto acked = marks.onPicture(idr(1), 0ms);
  marks.acknowledge(*acked);
  const auto pending = marks.onPicture(p(1, {longTermCurrent(1)}), 33ms);
  marks.onPicture(idr(2, false), 66ms);
  EXPECT_FALSE(marks.acknowledge(*pending));
  EXPECT_FALSE(marks.recoveryRequest());
  EXPECT_FALSE(marks.predictsOnlyFromAcknowledged(refreshFrom(0)));
}

TEST(LtrMarks, TokensStayDistinctAcrossAFrameNumWrap) {
  LtrMarks marks;
  marks.onPicture(idr(1, false), 0ms);
  const auto before = marks.onPicture(p(5, {longTermCurrent(0)}), 33ms);
  // Sixteen pictures later frame_num is 5 again; the old mark was never
  // answered and this one replaces it.
  const auto after = marks.onPicture(p(5, {longTermCurrent(0)}), 600ms);
  ASSERT_TRUE(before && after);
  EXPECT_NE(*before, *after);
  EXPECT_FALSE(marks.acknowledge(*before));
  EXPECT_TRUE(marks.acknowledge(*after));
  // A delayed mark across the wrap names the picture before frame_num 0.
  const auto wrapped = marks.onPicture(p(0, {longTermPrevious(1)}), 700ms);
  EXPECT_EQ(marks.acknowledge(*wrapped), (MarkingFeedback{true, 1, 15}));
}

TEST(LtrMarks, AnUnansweredMarkFailsAfterTheTimeout) {
  LtrMarks marks(1s);
  marks.onPicture(idr(3), 0ms);
  EXPECT_FALSE(marks.expire(5s)) << "the encoder does not wait for an IDR's mark";
  marks.onPicture(p(1), 33ms);
  const auto token = marks.onPicture(p(2, {longTermPrevious(1)}), 100ms);
  EXPECT_FALSE(marks.expire(1099ms));
  EXPECT_EQ(marks.expire(1100ms), (MarkingFeedback{false, 3, 1}));
  EXPECT_FALSE(marks.waitingForAnswer());
  EXPECT_FALSE(marks.expire(5s));
  EXPECT_FALSE(marks.acknowledge(*token)) << "a late answer is not passed on";
}

TEST(LtrMarks, OnlyARefreshFromAnAcknowledgedPictureCounts) {
  LtrMarks marks;
  marks.acknowledge(*marks.onPicture(idr(1), 0ms));
  marks.onPicture(p(1, {longTermCurrent(1)}), 33ms);  // coded, never answered

  h264::SliceHeader twoRefs = refreshFrom(0);
  twoRefs.numRefIdxL0Active = 2;
  h264::SliceHeader shortTerm = p(9);
  shortTerm.list0 = {{0, 0}};
  h264::SliceHeader intra = refreshFrom(0);
  intra.sliceType = 2;
  const struct {
    const char* what;
    h264::SliceHeader slice;
    bool decodable;
  } cases[] = {
      {"from the acknowledged picture", refreshFrom(0), true},
      {"from the unanswered mark", refreshFrom(1), false},
      {"with a second reference beside it", twoRefs, false},
      {"from a short-term picture", shortTerm, false},
      {"without any modification", p(9), false},
      {"an I slice", intra, false},
  };
  for (const auto& c : cases) EXPECT_EQ(marks.predictsOnlyFromAcknowledged(c.slice), c.decodable) << c.what;

  // A new mark in the acknowledged picture's slot replaces it in the decoder.
  marks.onPicture(p(2, {longTermCurrent(0)}), 66ms);
  EXPECT_FALSE(marks.predictsOnlyFromAcknowledged(refreshFrom(0)));
  EXPECT_FALSE(marks.recoveryRequest());
}

}  // namespace
}  // namespace qx::openh264
