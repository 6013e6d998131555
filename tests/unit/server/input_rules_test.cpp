#include <gtest/gtest.h>

#include <string>

#include "server/input/input_message.h"
#include "server/input/keysyms.h"
#include "server/input/pointer_mapping.h"
#include "server/input/viewer_state.h"

namespace qx::server::input {
namespace {

TEST(ViewerMessage, ReadsEachKind) {
  struct Case {
    const char* json;
    ViewerMessage expected;
  };
  const Case cases[] = {
      {R"({"type":"pointer","x":0.5,"y":0.25})", PointerMove{0.5, 0.25}},
      {R"({"type":"pointer","x":0,"y":1})", PointerMove{0, 1}},
      {R"({"type":"button","button":2,"down":true,"x":1,"y":0.5})", ButtonEvent{2, true, PointerMove{1, 0.5}}},
      {R"({"type":"button","button":0,"down":false})", ButtonEvent{0, false, std::nullopt}},
      {R"({"type":"wheel","dx":-20,"dy":3})", WheelEvent{-20, 3}},
      {R"({"type":"wheel","dy":-1})", WheelEvent{0, -1}},
      {R"({"type":"key","key":"A","code":"KeyA","down":true,"extra":[1]})", KeyEvent{"A", "KeyA", true}},
      {R"({"type":"key","key":"Enter","down":false})", KeyEvent{"Enter", "", false}},
      {R"({"type":"text","text":"a你😀"})", TextEvent{U"a你😀"}},
  };
  for (const auto& c : cases) EXPECT_EQ(parseViewerMessage(c.json), std::optional(c.expected)) << c.json;
}

TEST(ViewerMessage, DropsWhatIsOutOfBounds) {
  const std::string longKey(kMaxKeyBytes + 1, 'k');
  const std::string longText(kMaxTextChars + 1, 't');
  const std::string cases[] = {
      R"({"type":"pointer","x":1.0001,"y":0})",
      R"({"type":"pointer","x":-0.0001,"y":0})",
      R"({"type":"pointer","x":1e999,"y":0})",
      R"({"type":"pointer","x":"0.5","y":0})",
      R"({"type":"pointer","x":0.5})",
      R"({"type":"button","button":3,"down":true})",
      R"({"type":"button","button":18446744073709551615,"down":true})",
      R"({"type":"button","button":0.0,"down":true})",
      R"({"type":"button","button":0,"down":1})",
      R"({"type":"button","button":0,"down":true,"x":0.5})",
      R"({"type":"wheel","dy":21})",
      R"({"type":"wheel","dy":1.5})",
      R"({"type":"key","key":"","down":true})",
      R"({"type":"key","key":")" + longKey + R"(","down":true})",
      R"({"type":"text","text":")" + longText + R"("})",
      R"({"type":"gamepad"})",
      R"(["pointer",0.5,0.5])",
      R"({"type":"pointer","x":0.5,"y":0.5)",
      "{\"type\":\"text\",\"text\":\"\xff\"}",
      R"({"type":"pointer","x":0.5,"y":0.5,"pad":")" + std::string(kMaxMessageBytes, ' ') + R"("})",
  };
  for (const auto& c : cases) EXPECT_EQ(parseViewerMessage(c), std::nullopt) << c.substr(0, 80);
}

TEST(RateLimiter, BurstThenSteadyRate) {
  const auto t0 = RateLimiter::Clock::time_point{};
  RateLimiter limit(1000, 200, t0);
  EXPECT_TRUE(limit.allow(150, t0));
  EXPECT_FALSE(limit.allow(51, t0));  // refused takes nothing...
  EXPECT_TRUE(limit.allow(50, t0));   // ...so the rest still fits
  EXPECT_FALSE(limit.allow(1, t0));
  EXPECT_FALSE(limit.allow(11, t0 + std::chrono::milliseconds(10)));
  EXPECT_TRUE(limit.allow(10, t0 + std::chrono::milliseconds(10)));
  // A long pause refills only up to the burst.
  EXPECT_FALSE(limit.allow(201, t0 + std::chrono::hours(1)));
  EXPECT_TRUE(limit.allow(200, t0 + std::chrono::hours(1)));
}

TEST(HeldInputs, KeysFollowTheirCodeNotTheirName) {
  HeldInputs held;
  held.keyDown("ShiftLeft", 50);
  held.keyDown("KeyA", 38);
  held.keyDown("Numpad1", 38);
  held.buttonDown(0);
  EXPECT_EQ(held.pressed(), (std::vector<std::uint32_t>{38, 50}));
  EXPECT_EQ(held.keyUp("KeyA"), 38u);
  EXPECT_TRUE(held.holdsPressed(38));  // still down through Numpad1
  EXPECT_EQ(held.keyUp("KeyA"), 0u);
  EXPECT_TRUE(held.buttonUp(0));
  EXPECT_FALSE(held.buttonUp(0));
  EXPECT_EQ(held.buttons(), std::vector<int>{});
}

TEST(Keysyms, NamedKeysAndCharacters) {
  struct Case {
    const char* key;
    const char* code;
    Keysym expected;
  };
  const Case cases[] = {
      {"Enter", "Enter", 0xff0d},
      {"Backspace", "", 0xff08},
      {"ArrowDown", "", 0xff54},
      {"F1", "F1", 0xffbe},
      {"F12", "", 0xffc9},
      {"F0", "", 0},
      {"F25", "", 0},
      {"Fn", "Fn", 0},
      {"F", "KeyF", 'F'},
      {"Shift", "ShiftLeft", 0xffe1},
      {"Shift", "ShiftRight", 0xffe2},
      {"Control", "ControlRight", 0xffe4},
      {"Meta", "MetaLeft", 0xffeb},
      {"a", "KeyA", 'a'},
      {" ", "Space", 0x20},
      {"é", "", 0xe9},
      {"€", "", 0x10020ac},
      {"你", "", 0x1004f60},
      {"😀", "", 0x101f600},
      {"ab", "", 0},
      {"Unidentified", "", 0},
      {"Dead", "", 0},
      {"\x7f", "", 0},
      {"\xe4\xbd", "", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(keysymForDomKey(c.key, c.code), c.expected) << c.key;
  EXPECT_EQ(keysymForCharacter(U'\n'), 0xff0du);
  EXPECT_EQ(keysymForCharacter(U'\x1b'), 0u);
  EXPECT_EQ(keysymForCharacter(0xfffe), 0u);
}

TEST(PointerMapping, RelativePositionsLandOnTheCapturedMonitor) {
  const MonitorRect right{1920, 0, 1280, 720};
  struct Case {
    double x, y;
    RootPoint expected;
  };
  const Case cases[] = {
      {0, 0, {1920, 0}},
      {1, 1, {3199, 719}},
      {0.5, 0.5, {2560, 360}},
      {0.99999, 0, {3199, 0}},
  };
  for (const auto& c : cases) EXPECT_EQ(toRoot(right, c.x, c.y), c.expected) << c.x << "," << c.y;
  for (const RootPoint p : {RootPoint{1920, 0}, RootPoint{2000, 300}, RootPoint{3199, 719}}) {
    const auto rel = relativeOf(right, p);
    EXPECT_TRUE(rel.inside);
    EXPECT_EQ(toRoot(right, rel.x, rel.y), p);
  }
  EXPECT_FALSE(relativeOf(right, {1919, 10}).inside);
  EXPECT_FALSE(relativeOf(right, {3200, 10}).inside);
}

TEST(PointerMapping, CursorPixelsBecomeStraightAlphaBase64) {
  // Opaque red, half-transparent white (premultiplied 0x80), fully transparent.
  const std::uint32_t argb[] = {0xffff0000, 0x80808080, 0x00000000};
  EXPECT_EQ(straightRgba(argb), std::string("\xff\x00\x00\xff\xff\xff\xff\x80\x00\x00\x00\x00", 12));
  EXPECT_EQ(base64(""), "");
  EXPECT_EQ(base64("f"), "Zg==");
  EXPECT_EQ(base64("fo"), "Zm8=");
  EXPECT_EQ(base64("foob\xff"), "Zm9vYv8=");
}

}  // namespace
}  // namespace qx::server::input
