#include "capture/displays.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/fakes/fake_display_service.h"

namespace qx {
namespace {

using test::FakeDisplayService;
using Ids = std::vector<DisplayID>;

// --- orderedDisplayIDs -------------------------------------------------------

TEST(OrderedDisplayIDs, MainDisplayMovesToTheFrontKeepingTheOthersInOrder) {
  FakeDisplayService fake;
  for (DisplayID id : {11u, 22u, 33u, 44u}) fake.addDisplay(id, 100, 100);

  fake.setMainDisplay(33);
  EXPECT_EQ(orderedDisplayIDs(fake), (Ids{33, 11, 22, 44}));
  fake.setMainDisplay(44);
  EXPECT_EQ(orderedDisplayIDs(fake), (Ids{44, 11, 22, 33}));
  fake.setMainDisplay(11);
  EXPECT_EQ(orderedDisplayIDs(fake), (Ids{11, 22, 33, 44}));
  // A main display that is not active leaves the platform order.
  fake.setMainDisplay(99);
  EXPECT_EQ(orderedDisplayIDs(fake), (Ids{11, 22, 33, 44}));
}

TEST(OrderedDisplayIDs, PlatformFailuresGiveAnEmptyList) {
  FakeDisplayService fake;
  fake.addDisplay(1, 100, 100);
  fake.setMainDisplay(1);

  fake.setCountFails(true);
  EXPECT_TRUE(orderedDisplayIDs(fake).empty());
  fake.setCountFails(false);

  fake.setListFails(true);
  EXPECT_TRUE(orderedDisplayIDs(fake).empty());

  FakeDisplayService none;
  none.setReportedCount(0u);
  EXPECT_TRUE(orderedDisplayIDs(none).empty());
  EXPECT_FALSE(none.lastListMax().has_value()) << "no fill after a count of 0";
}

TEST(OrderedDisplayIDs, KeepsAtMostAsManyAsCounted) {
  FakeDisplayService fake;
  for (DisplayID id : {1u, 2u, 3u}) fake.addDisplay(id, 100, 100);
  fake.setMainDisplay(3);

  // A display appeared between count and fill: the fill is asked for two.
  fake.setReportedCount(2u);
  EXPECT_EQ(orderedDisplayIDs(fake), (Ids{1, 2}));
  EXPECT_EQ(fake.lastListMax(), 2u);

  // A platform that overfills is cut back to the count before the main
  // display is looked for.
  fake.setListIgnoresMax(true);
  EXPECT_EQ(orderedDisplayIDs(fake), (Ids{1, 2}));

  // One disappeared: fewer than counted is fine.
  fake.setListIgnoresMax(false);
  fake.setReportedCount(5u);
  EXPECT_EQ(orderedDisplayIDs(fake), (Ids{3, 1, 2}));
}

// --- capture-display choice --------------------------------------------------

TEST(ChooseCaptureDisplay, IndexIntoTheOrderedListClamped) {
  const Ids ordered{7, 5, 9};
  const std::vector<ShareableDisplay> offered{{5, 1024, 768}, {7, 800, 600}, {9, 640, 480}};
  struct Case {
    std::int64_t display;
    DisplayID want;
  };
  for (const Case c : {Case{0, 7}, Case{1, 5}, Case{2, 9}, Case{3, 9}, Case{1000, 9},
                       Case{std::numeric_limits<std::int64_t>::max(), 9}, Case{-1, 7},
                       Case{std::numeric_limits<std::int64_t>::min(), 7}}) {
    SCOPED_TRACE(c.display);
    auto chosen = chooseCaptureDisplay(c.display, ordered, 7, offered);
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen->displayID, c.want);
  }
}

TEST(ChooseCaptureDisplay, ReturnsTheCaptureServicesEntry) {
  const std::vector<ShareableDisplay> offered{{5, 1024, 768}, {7, 800, 600}, {5, 1, 1}};
  auto chosen = chooseCaptureDisplay(1, Ids{7, 5}, 7, offered);
  ASSERT_TRUE(chosen);
  // The first matching entry, with its point size.
  EXPECT_EQ(chosen->displayID, 5u);
  EXPECT_EQ(chosen->width, 1024);
  EXPECT_EQ(chosen->height, 768);
}

TEST(ChooseCaptureDisplay, FallsBackToMainThenFirstOffered) {
  const std::vector<ShareableDisplay> offered{{4, 10, 10}, {7, 20, 20}};
  // No active displays: the main display is wanted.
  EXPECT_EQ(chooseCaptureDisplay(3, Ids{}, 7, offered)->displayID, 7u);
  // Wanted display not offered: the main display.
  EXPECT_EQ(chooseCaptureDisplay(1, Ids{7, 8}, 7, offered)->displayID, 7u);
  // Neither offered: the first offered display.
  EXPECT_EQ(chooseCaptureDisplay(0, Ids{8}, 9, offered)->displayID, 4u);
  EXPECT_EQ(chooseCaptureDisplay(0, Ids{}, 0, offered)->displayID, 4u);
  // Nothing offered at all.
  EXPECT_FALSE(chooseCaptureDisplay(0, Ids{7}, 7, {}).has_value());
}

// --- displayPixelSize --------------------------------------------------------

TEST(DisplayPixelSize, ModeFollowsThePointOrientation) {
  FakeDisplayService fake;
  fake.addDisplay(1, 1920, 1080, DisplayModeSize{2160, 3840});  // rotated, mode unrotated
  fake.addDisplay(2, 1080, 1920, DisplayModeSize{3840, 2160});  // the other way round
  fake.addDisplay(3, 1440, 900, DisplayModeSize{2880, 1800});   // same orientation
  fake.addDisplay(4, 1000, 1000, DisplayModeSize{1920, 1080});  // square points are not landscape
  fake.addDisplay(5, 1920, 1080, DisplayModeSize{1200, 1200});  // square mode is not landscape either

  EXPECT_EQ(displayPixelSize(fake, {1, 1920, 1080}), (PixelSize{3840, 2160}));
  EXPECT_EQ(displayPixelSize(fake, {2, 1080, 1920}), (PixelSize{2160, 3840}));
  EXPECT_EQ(displayPixelSize(fake, {3, 1440, 900}), (PixelSize{2880, 1800}));
  EXPECT_EQ(displayPixelSize(fake, {4, 1000, 1000}), (PixelSize{1080, 1920}));
  EXPECT_EQ(displayPixelSize(fake, {5, 1920, 1080}), (PixelSize{1200, 1200}));
}

TEST(DisplayPixelSize, PointSizeWhenModeUnusable) {
  FakeDisplayService fake;
  fake.addDisplay(1, 1920, 1080);
  fake.addDisplay(2, 1920, 1080, DisplayModeSize{0, 1080});
  fake.addDisplay(3, 1920, 1080, DisplayModeSize{3840, 0});
  fake.addDisplay(4, 1920, 1080, DisplayModeSize{-3840, -2160});
  for (DisplayID id : {1u, 2u, 3u, 4u, 99u}) {
    SCOPED_TRACE(id);
    // The capture service's point size wins, not the display service's.
    EXPECT_EQ(displayPixelSize(fake, {id, 1280, 720}), (PixelSize{1280, 720}));
  }
}

// --- listing -----------------------------------------------------------------

TEST(DisplayListJson, OneDisplay) {
  FakeDisplayService fake;
  fake.addDisplay(42, 1920, 1080, DisplayModeSize{3840, 2160});
  fake.setMainDisplay(42);
  EXPECT_EQ(displayListJson(fake), R"([{"height":1080,"index":0,"name":"Display 1","primary":true,"width":1920}])");
}

TEST(DisplayListJson, MainReportedSecondIsListedFirst) {
  FakeDisplayService fake;
  fake.addDisplay(5, 1024, 768);
  fake.addDisplay(9, 800, 600);
  fake.setMainDisplay(9);
  EXPECT_EQ(displayListJson(fake), R"([{"height":600,"index":0,"name":"Display 1","primary":true,"width":800},)"
                                   R"({"height":768,"index":1,"name":"Display 2","primary":false,"width":1024}])");
}

TEST(DisplayListJson, NamesCountPastNine) {
  FakeDisplayService fake;
  for (DisplayID id = 1; id <= 12; ++id) fake.addDisplay(id, id, id);
  fake.setMainDisplay(1);
  const auto list = nlohmann::json::parse(displayListJson(fake));
  ASSERT_EQ(list.size(), 12u);
  EXPECT_EQ(list[11]["name"], "Display 12");
  EXPECT_EQ(list[11]["index"], 11);
  EXPECT_EQ(list[11]["width"], 12);
}

TEST(DisplayListJson, NoPrimaryWhenMainDisplayIsNotActive) {
  FakeDisplayService fake;
  fake.addDisplay(5, 1024, 768);
  fake.setMainDisplay(0);
  EXPECT_EQ(displayListJson(fake), R"([{"height":768,"index":0,"name":"Display 1","primary":false,"width":1024}])");
}

TEST(DisplayListJson, FailuresAndNoDisplaysGiveAnEmptyArray) {
  FakeDisplayService fake;
  EXPECT_EQ(displayListJson(fake), "[]");
  fake.addDisplay(5, 1024, 768);
  fake.setCountFails(true);
  EXPECT_EQ(displayListJson(fake), "[]");
  fake.setCountFails(false);
  fake.setListFails(true);
  EXPECT_EQ(displayListJson(fake), "[]");
}

TEST(DisplayListJson, WorksWithoutCaptureAccess) {
  FakeDisplayService fake;
  fake.addDisplay(5, 1024, 768);
  fake.setMainDisplay(5);
  fake.setAccessGranted(false);
  EXPECT_NE(displayListJson(fake), "[]");
  EXPECT_EQ(fake.preflightCalls(), 0);
  EXPECT_EQ(fake.requestCalls(), 0);
}

}  // namespace
}  // namespace qx
