// Loss recovery on x264: which picture a refresh predicts from, and the
// check of what a refresh slice really references.

#include "platform/linux/x264/reference_window.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace qx::x264 {
namespace {

h264::SliceHeader picture(int frameNum, bool idr = false) {
  h264::SliceHeader s;
  s.idr = idr;
  s.frameNum = frameNum;
  return s;
}

// Pictures 0..n-1 after an IDR, pts 100 apart; their tokens.
std::vector<std::int64_t> pictures(ReferenceWindow& w, int n) {
  std::vector<std::int64_t> tokens;
  for (int i = 0; i < n; ++i) tokens.push_back(w.onPicture(picture(i, i == 0), 100 * i));
  return tokens;
}

TEST(ReferenceWindow, RefreshPlanFromTheNewestAcknowledgedPictureStillHeld) {
  struct Case {
    const char* name;
    int dpb;
    int count;
    std::vector<int> acked;  // picture indices; -1: a token never issued
    std::optional<RefreshPlan> plan;
  };
  const Case cases[] = {
      {"nothing acknowledged", 16, 5, {}, std::nullopt},
      {"the newest: nothing to forget", 16, 5, {4}, RefreshPlan{std::nullopt, 4}},
      {"an older one: forget from the next", 16, 5, {1}, RefreshPlan{200, 1}},
      {"the newest of several, in any order", 16, 5, {3, 1}, RefreshPlan{400, 3}},
      {"the oldest the window holds", 4, 8, {4}, RefreshPlan{500, 4}},
      {"slid out of the window", 4, 8, {3}, std::nullopt},
      {"a token never issued", 16, 3, {-1}, std::nullopt},
  };
  for (const Case& c : cases) {
    ReferenceWindow w(c.dpb);
    const auto tokens = pictures(w, c.count);
    for (int i : c.acked) w.acknowledge(i < 0 ? tokens.back() + 1 : tokens[static_cast<std::size_t>(i)]);
    EXPECT_EQ(w.refreshPlan(), c.plan) << c.name;
  }
}

TEST(ReferenceWindow, RefreshAndIdrVoidWhatCannotBeBuiltOn) {
  ReferenceWindow w(16);
  const auto tokens = pictures(w, 6);
  w.acknowledge(tokens[2]);
  ASSERT_EQ(w.refreshPlan(), (RefreshPlan{300, 2}));
  const std::int64_t refresh = w.onPicture(picture(6), 600, 2);
  w.acknowledge(tokens[4]);  // skipped by the refresh: the receiver may lack it
  EXPECT_EQ(w.refreshPlan(), (RefreshPlan{300, 2}));
  w.acknowledge(refresh);
  EXPECT_EQ(w.refreshPlan(), (RefreshPlan{std::nullopt, 6}));
  (void)w.onPicture(picture(0, true), 700);
  w.acknowledge(refresh);  // from before the IDR
  EXPECT_EQ(w.refreshPlan(), std::nullopt);
}

TEST(ReferenceWindow, RefreshSliceReferencesOnlyTheAcknowledgedPicture) {
  auto slice = [](int type, int frameNum, int refs, std::vector<h264::RefPicListModification> mods = {}) {
    h264::SliceHeader s = picture(frameNum);
    s.sliceType = type;
    s.maxFrameNum = 16;
    s.numRefIdxL0Active = refs;
    s.list0 = std::move(mods);
    return s;
  };
  struct Case {
    const char* name;
    h264::SliceHeader slice;
    int from;
    bool ok;
  };
  const Case cases[] = {
      {"default list: the previous picture", slice(h264::kSliceP, 5, 1), 4, true},
      {"default list, another picture", slice(h264::kSliceP, 5, 1), 3, false},
      {"subtracted", slice(h264::kSliceP, 5, 1, {{0, 2}}), 2, true},
      {"subtracted across the wrap", slice(h264::kSliceP, 1, 1, {{0, 3}}), 13, true},
      {"added", slice(h264::kSliceP, 5, 1, {{1, 10}}), 0, true},
      {"end of modifications", slice(h264::kSliceP, 5, 1, {{3, 0}}), 4, true},
      {"a long-term picture", slice(h264::kSliceP, 5, 1, {{2, 0}}), 4, false},
      {"two references", slice(h264::kSliceP, 5, 2, {{0, 0}}), 4, false},
      {"intra", slice(h264::kSliceI, 5, 0), 4, true},
      {"bi-predicted", slice(h264::kSliceB, 5, 1), 4, false},
      {"an IDR", picture(0, true), 0, false},
  };
  for (const Case& c : cases) EXPECT_EQ(predictsOnlyFrom(c.slice, c.from), c.ok) << c.name;
}

}  // namespace
}  // namespace qx::x264
