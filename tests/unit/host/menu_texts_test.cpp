#include "host/MenuTexts.h"

#include <gtest/gtest.h>

#include <chrono>

#include "host/Contrast.h"
#include "host/HostTexts.h"
#include "host/NoTray.h"

namespace qx::host {
namespace {

using namespace std::chrono_literals;
using menu::Problem;

const TimePoint now = TimePoint{} + 1000s;

HostSettings listening(std::string listen) {
  HostSettings s;
  s.listen = std::move(listen);
  return s;
}

TEST(StatusLine, EveryStateInBothLanguages) {
  struct Case {
    std::optional<Problem> problem;
    RunState state;
    std::int64_t clients;
    std::string listen;
    std::string en;
    std::string zh;
  };
  const std::vector<Case> cases = {
      {Problem::screenRecordingDenied, RunState::running(), 1, ":8771",
       "\u26A0\uFE0E No Screen Recording permission: capture fails", "\u26A0\uFE0E 没有屏幕录制权限，无法采集画面"},
      // A problem outranks the restart countdown.
      {Problem::portInUse, RunState::waiting(now + 4s, "exit code 1"), 0, "127.0.0.1:9000",
       "\u26A0\uFE0E Port 9000 is in use (is another program using it?)",
       "\u26A0\uFE0E 端口 9000 被占用（是否有其他程序在用？）"},
      {Problem::portInUse, RunState::stopped(), 0,
       "host:", "\u26A0\uFE0E Port 0 is in use (is another program using it?)",
       "\u26A0\uFE0E 端口 0 被占用（是否有其他程序在用？）"},
      {std::nullopt, RunState::waiting(now + 2300ms, "killed by signal 9"), 0, ":8771",
       "○ Service exited (killed by signal 9), restarting in 3s", "○ 服务已退出（killed by signal 9），3 秒后重启"},
      {std::nullopt, RunState::failed("Incomplete install"), 0, ":8771", "\u26A0\uFE0E Incomplete install",
       "\u26A0\uFE0E Incomplete install"},
      {std::nullopt, RunState::notConfigured(), 0, ":8771", "○ Not set up yet", "○ 尚未完成设置"},
      {std::nullopt, RunState::stopped(), 3, ":8771", "○ Stopped", "○ 已停止"},
      {std::nullopt, RunState::running(), 0, ":8771", "● Running · waiting for a device", "● 运行中 · 等待连接"},
      {std::nullopt, RunState::running(), 1, ":8771", "● Running · 1 device connected", "● 运行中 · 1 台设备已连接"},
      {std::nullopt, RunState::running(), 2, ":8771", "● Running · 2 devices connected", "● 运行中 · 2 台设备已连接"},
      {std::nullopt, RunState::running(), -1, ":8771", "● Running · -1 devices connected",
       "● 运行中 · -1 台设备已连接"},
  };
  for (const Case& c : cases) {
    const HostSettings settings = listening(c.listen);
    EXPECT_EQ(menu::statusLine(c.problem, c.state, c.clients, settings, now, false), c.en);
    EXPECT_EQ(menu::statusLine(c.problem, c.state, c.clients, settings, now, true), c.zh);
  }
}

TEST(StatusLine, CountdownRoundsUpAndNeverShowsLessThanOneSecond) {
  const std::vector<std::pair<Clock::duration, std::int64_t>> cases = {
      {-5s, 1}, {0s, 1}, {1ns, 1}, {200ms, 1}, {1s, 1}, {1s + 1ns, 2}, {2300ms, 3}, {30s, 30},
  };
  for (const auto& [left, seconds] : cases) {
    EXPECT_EQ(menu::countdownSeconds(now, now + left), seconds) << left.count();
  }
  EXPECT_EQ(menu::statusLine(std::nullopt, RunState::waiting(now - 3s, "exit code 0"), 0, {}, now, false),
            "○ Service exited (exit code 0), restarting in 1s");
}

TEST(AddressRows, KindLabelsAndRowText) {
  using Kind = LocalAddress::Kind;
  const std::vector<std::tuple<Kind, std::string, std::string>> cases = {
      {Kind::tailnet, "tailnet · click to copy", "Quorvex · 点按复制"},
      {Kind::lan, "LAN · click to copy", "局域网 · 点按复制"},
      {Kind::other, "click to copy", "点按复制"},
  };
  for (const auto& [kind, en, zh] : cases) {
    EXPECT_EQ(menu::kindLabel(kind, false), en);
    EXPECT_EQ(menu::kindLabel(kind, true), zh);
  }
  EXPECT_EQ(menu::addressRow({"192.168.1.20", Kind::lan}, 8771, false), "192.168.1.20:8771   LAN · click to copy");
}

TEST(AddressRows, ShownOnlyWhileRunningWithAKnownPort) {
  EXPECT_TRUE(menu::showsAddresses(RunState::running(), listening(":8771")));
  EXPECT_TRUE(menu::showsAddresses(RunState::running(), listening(":0")));  // known, even if invalid
  EXPECT_FALSE(menu::showsAddresses(RunState::running(), listening("8771")));
  EXPECT_FALSE(menu::showsAddresses(RunState::waiting(now, "exit code 1"), listening(":8771")));
  EXPECT_FALSE(menu::showsAddresses(RunState::stopped(), listening(":8771")));
}

TEST(UpdateItem, ByPhase) {
  using Action = menu::UpdateItem::Action;
  const UpdateCheck offered("1.0", "1.2", true, std::nullopt);
  const UpdateCheck unnamed("1.0", std::nullopt, true, std::nullopt);
  struct Case {
    UpdatePhase phase;
    std::optional<UpdateCheck> available;
    std::optional<menu::UpdateItem> en;
    std::string zh;
  };
  const std::vector<Case> cases = {
      {UpdatePhase::downloading("1.2"), offered,
       menu::UpdateItem{"\u2B07\uFE0E Downloading update 1.2\u2026", Action::none},
       "\u2B07\uFE0E 正在下载更新 1.2\u2026"},
      {UpdatePhase::installing("1.2"), std::nullopt,
       menu::UpdateItem{"\u2B07\uFE0E Installing update 1.2\u2026", Action::none},
       "\u2B07\uFE0E 正在安装更新 1.2\u2026"},
      {UpdatePhase::failed("no space"), offered,
       menu::UpdateItem{"\u26A0\uFE0E Update failed: no space", Action::promptUpdate},
       "\u26A0\uFE0E 更新失败：no space"},
      {UpdatePhase::failed("no space"), std::nullopt,
       menu::UpdateItem{"\u26A0\uFE0E Update failed: no space", Action::checkForUpdates},
       "\u26A0\uFE0E 更新失败：no space"},
      {UpdatePhase::idle(), offered, menu::UpdateItem{"\u2B06\uFE0E Update to 1.2\u2026", Action::promptUpdate},
       "\u2B06\uFE0E 更新到 1.2\u2026"},
      {UpdatePhase::checking(), offered, menu::UpdateItem{"\u2B06\uFE0E Update to 1.2\u2026", Action::promptUpdate},
       "\u2B06\uFE0E 更新到 1.2\u2026"},
      {UpdatePhase::idle(), unnamed, std::nullopt, ""},
      {UpdatePhase::checking(), std::nullopt, std::nullopt, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(menu::updateItem(c.phase, c.available, false), c.en);
    const auto zh = menu::updateItem(c.phase, c.available, true);
    EXPECT_EQ(zh ? zh->text : "", c.zh);
  }
}

TEST(UpdateItem, CheckingWaitsForTheFlowButAFailureCanBeRetried) {
  EXPECT_TRUE(menu::checkEnabled(UpdatePhase::idle()));
  EXPECT_TRUE(menu::checkEnabled(UpdatePhase::failed("x")));
  EXPECT_FALSE(menu::checkEnabled(UpdatePhase::checking()));
  EXPECT_FALSE(menu::checkEnabled(UpdatePhase::downloading("1.2")));
  EXPECT_FALSE(menu::checkEnabled(UpdatePhase::installing("1.2")));
  EXPECT_TRUE(form::updateNowEnabled(UpdatePhase::checking()));
  EXPECT_FALSE(form::updateNowEnabled(UpdatePhase::downloading("")));
  EXPECT_FALSE(form::updateNowEnabled(UpdatePhase::installing("")));
}

TEST(TrayIcon, AttentionThenUpdateThenDisplay) {
  const RunState running = RunState::running();
  EXPECT_FALSE(menu::needsAttention(std::nullopt, true, running));
  EXPECT_TRUE(menu::needsAttention(Problem::portInUse, true, running));
  EXPECT_TRUE(menu::needsAttention(std::nullopt, false, running));
  EXPECT_TRUE(menu::needsAttention(std::nullopt, true, RunState::stopped()));
  EXPECT_TRUE(menu::needsAttention(std::nullopt, true, RunState::waiting(now, "exit code 1")));

  using menu::TrayIcon;
  EXPECT_EQ(menu::trayIcon(true, true), TrayIcon::attention);
  EXPECT_EQ(menu::trayIcon(false, true), TrayIcon::update);
  EXPECT_EQ(menu::trayIcon(false, false), TrayIcon::display);
}

// Still no tray a few seconds in: a start the user made opens the window, a
// login or update start only notifies; a first setup shows its window anyway.
TEST(NoTray, WhatAStartShowsInstead) {
  struct Row {
    bool tray, unattended, configured;
    NoTrayStep step;
  };
  for (const Row& r : {Row{true, false, true, NoTrayStep::none}, Row{true, true, true, NoTrayStep::none},
                       Row{false, false, true, NoTrayStep::showSettings}, Row{false, true, true, NoTrayStep::notify},
                       Row{false, false, false, NoTrayStep::none}, Row{false, true, false, NoTrayStep::none}}) {
    EXPECT_EQ(noTrayStep(r.tray, r.unattended, r.configured), r.step) << r.tray << r.unattended << r.configured;
  }
}

TEST(Language, ChineseWhenTheFirstPreferredLanguageIsChinese) {
  EXPECT_TRUE(chineseFor({"zh-Hans-CN", "en-US"}));
  EXPECT_TRUE(chineseFor({"zh"}));
  EXPECT_FALSE(chineseFor({"en-US", "zh-Hans-CN"}));
  EXPECT_FALSE(chineseFor({}));
  EXPECT_FALSE(chineseFor({"z"}));
}

TEST(Session, WaylandWhenEitherVariableSaysSo) {
  EXPECT_TRUE(waylandSession("wayland-0", ""));
  EXPECT_TRUE(waylandSession("", "wayland"));
  EXPECT_FALSE(waylandSession("", "x11"));
  EXPECT_FALSE(waylandSession("", ""));
}

TEST(ViewerAddress, TheListenAddressWhenItNamesOneElseTheFirstRankedAddress) {
  const std::vector<LocalAddress> ranked{{"192.168.1.20", LocalAddress::Kind::lan},
                                         {"10.0.0.3", LocalAddress::Kind::lan}};
  struct Case {
    std::string listen;
    std::vector<LocalAddress> addresses;
    std::optional<std::string> address;
  };
  const Case cases[] = {
      {":8771", ranked, "http://192.168.1.20:8771/"},
      {"0.0.0.0:9000", ranked, "http://192.168.1.20:9000/"},
      {"127.0.0.1:8771", ranked, "http://127.0.0.1:8771/"},
      {"[fe80::1]:8771", ranked, "http://[fe80::1]:8771/"},
      {":8771", {}, std::nullopt},
      {"8771", ranked, std::nullopt},
  };
  for (const auto& c : cases) {
    HostSettings settings;
    settings.listen = c.listen;
    EXPECT_EQ(viewerAddress(settings, c.addresses), c.address) << c.listen;
  }
}

// The fixed colours of old read under 4.5:1; moved, they reach it on light and
// dark windows, and a colour that already does is kept.
TEST(Contrast, TextColoursReachFourAndAHalfOnLightAndDarkWindows) {
  EXPECT_NEAR(contrastRatio({0, 0, 0}, {255, 255, 255}), 21.0, 1e-9);
  EXPECT_NEAR(contrastRatio({0x1e, 0x8e, 0x3e}, {0xef, 0xef, 0xef}), 3.7, 0.1);
  const Rgb green{0x1e, 0x8e, 0x3e}, red{0xd0, 0, 0};
  for (const Rgb background : {Rgb{255, 255, 255}, Rgb{0xef, 0xef, 0xef}, Rgb{0x31, 0x36, 0x3b}, Rgb{0x20, 0x20, 0x20},
                               Rgb{0x80, 0x80, 0x80}}) {
    for (const Rgb wanted : {green, red}) {
      const Rgb shown = readableOn(wanted, background);
      EXPECT_GE(contrastRatio(shown, background), 4.5) << int(background.r) << " " << int(wanted.r);
      EXPECT_LT(contrastRatio(shown, background), 6.0) << "moved farther than needed";
    }
  }
  EXPECT_EQ(readableOn({0, 0x60, 0}, {255, 255, 255}), (Rgb{0, 0x60, 0}));
}

TEST(Texts, MendedAndComposedTexts) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {menu::screenRecordingRow(true, false), "✓ Screen Recording"},
      {menu::screenRecordingRow(false, true), "\u26A0\uFE0E 屏幕录制：未授权，去授权…"},
      {menu::accessibilityRow(false, false), "\u26A0\uFE0E Accessibility (remote input): not allowed — Allow…"},
      {menu::accessibilityRow(true, true), "✓ 辅助功能（远程键鼠）"},
      {menu::version("1.4.2"), "Quorvex Host 1.4.2"},
      {form::connectionFooter(false),
       "Enter the same token in the iOS app's WebRTC remote control. Empty means no check: any device that can reach "
       "this computer can control it."},
      {form::connectionFooter(true),
       "iOS 端「WebRTC 远控」里填写相同的令牌。留空表示不验证，任何能连到本机的设备都能控制它。"},
      {form::permissionsFooter(false),
       "Both must be allowed once on this computer. Screen Recording applies after Quorvex Host relaunches."},
      {form::permissionsFooter(true), "两项都需要在本机允许一次。允许屏幕录制后，需重启 Quorvex Host 才生效。"},
      {form::updatesFooter(false),
       "When a new version is out, the tray menu and connected iPhone/iPad ask first, then it downloads and installs "
       "itself, keeping settings and permissions."},
      {form::updatesFooter(true),
       "有新版本时，托盘菜单和连着的 iPhone/iPad 都会提示，同意后自动下载安装，设置和权限都保留。"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(text, expected);
}

// ⚠, ⬆ and ⬇ carry U+FE0E everywhere; ●, ○ and ✓ never do.
TEST(Texts, VariationSelectorsExactly) {
  std::vector<std::string> all;
  for (bool zh : {false, true}) {
    for (bool on : {false, true}) {
      all.push_back(menu::screenRecordingRow(on, zh));
      all.push_back(menu::accessibilityRow(on, zh));
    }
    for (const auto& p :
         {std::optional<Problem>(), std::optional(Problem::portInUse), std::optional(Problem::screenRecordingDenied)}) {
      for (const RunState& s : {RunState::running(), RunState::stopped(), RunState::notConfigured(),
                                RunState::failed("x"), RunState::waiting(now, "y")}) {
        all.push_back(menu::statusLine(p, s, 1, {}, now, zh));
      }
    }
    const UpdateCheck offered("1", "2", true, std::nullopt);
    for (const UpdatePhase& phase :
         {UpdatePhase::idle(), UpdatePhase::downloading("2"), UpdatePhase::installing("2"), UpdatePhase::failed("z")}) {
      all.push_back(menu::updateItem(phase, offered, zh)->text);
    }
  }
  const std::string selector = "\uFE0E";
  for (const std::string& text : all) {
    for (const char* sign : {"\u26A0", "\u2B06", "\u2B07"}) {
      for (auto at = text.find(sign); at != std::string::npos; at = text.find(sign, at + 1)) {
        EXPECT_EQ(text.substr(at + 3, 3), selector) << text;
      }
    }
    for (const char* sign : {"●", "○", "✓"}) {
      const auto at = text.find(sign);
      if (at == std::string::npos) continue;
      EXPECT_EQ(text.substr(at + 3, 1), " ") << text;
    }
  }
}

TEST(SettingsForm, PickersKeepAStoredValueThatIsNotOffered) {
  const auto bitrates = form::bitrateOptions();
  ASSERT_EQ(bitrates.size(), 3u);
  EXPECT_EQ(bitrates[0].label, "8Mbps");
  EXPECT_EQ(bitrates[2].label, "24Mbps");
  EXPECT_EQ(form::optionIndex(bitrates, std::string("16M")), 1u);
  EXPECT_EQ(form::optionIndex(bitrates, std::string("12M")), std::nullopt);

  const auto widths = form::maxWidthOptions(true);
  ASSERT_EQ(widths.size(), 4u);
  EXPECT_EQ(widths[0].label, "原始分辨率");
  EXPECT_EQ(form::maxWidthOptions(false)[0].label, "Native");
  EXPECT_EQ(widths[3].label, "2560");
  EXPECT_EQ(form::optionIndex(widths, std::int64_t{0}), 0u);
  EXPECT_EQ(form::optionIndex(widths, std::int64_t{3840}), std::nullopt);
}

TEST(SettingsForm, TokenTrimmingAndFirstSetup) {
  EXPECT_EQ(form::trimSpacesAndTabs(" \t abc \t"), "abc");
  EXPECT_EQ(form::trimSpacesAndTabs("abc\n"), "abc\n");
  EXPECT_EQ(form::trimSpacesAndTabs(" \t "), "");
  EXPECT_TRUE(form::initialLoginItem(false, false));
  EXPECT_FALSE(form::initialLoginItem(true, false));
}

}  // namespace
}  // namespace qx::host
