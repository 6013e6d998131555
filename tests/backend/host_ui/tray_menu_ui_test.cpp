// The tray icon and its menu on a real X server with a real tray (trayer):
// the icon is embedded, real clicks open the menu, its items follow the
// controller, and an address row puts only the address on the clipboard.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QImageReader>
#include <QMenu>
#include <QPainter>
#include <QScreen>
#include <QSystemTrayIcon>
#include <filesystem>
#include <iostream>

#include "host/Contrast.h"
#include "host/ui/Clipboard.h"
#include "host/ui/TrayMenu.h"
#include "tests/backend/host_ui/ui_desktop.h"
#include "tests/support/temp_dir.h"
#include "tests/unit/host/host_rig.h"

namespace qx::test {
namespace {

using namespace std::chrono_literals;

UiDesktop* desktop = nullptr;

struct Tray {
  HostRig& rig;
  host::QtClipboard clipboard;
  std::vector<std::string> actions;
  host::TrayMenu menu;

  explicit Tray(HostRig& r)
      : rig(r),
        menu({*r.host, *r.flow, *r.permissions, r.clock, clipboard, &r.systemLog},
             {[this] { actions.push_back("settings"); }, [this] { actions.push_back("uninstall"); },
              [this] { actions.push_back("quit"); }}) {}

  QSystemTrayIcon& icon() { return *menu.findChild<QSystemTrayIcon*>(); }
  bool embedded() { return !icon().geometry().isEmpty(); }

  // Shows the icon and waits until the tray has embedded it.
  void show() {
    desktop->startTray();
    menu.show();
    ASSERT_TRUE(waitUntil([&] { return embedded(); })) << "the tray never embedded the icon";
    spin(500ms);
  }

  // A real click on the icon; the menu it opens.
  QMenu* open(int button = 1) {
    QMenu* m = icon().contextMenu();
    click(icon().geometry().center(), button);
    EXPECT_TRUE(waitUntil([&] { return m->isVisible(); }))
        << "no menu after clicking the icon at " << icon().geometry().x() << "," << icon().geometry().y() << " "
        << icon().geometry().width() << "x" << icon().geometry().height();
    spin(200ms);  // painted, for the screenshots
    return m;
  }
};

// The visible items, in order: "(text)" for a disabled one, "[x] "/"[ ] "
// before a toggle, "---" for a separator.
QPalette darkPalette() {
  QPalette p;
  const QColor window(0x31, 0x36, 0x3b), text(0xef, 0xf0, 0xf1);
  for (auto role : {QPalette::Window, QPalette::Button, QPalette::Base}) p.setColor(role, window);
  for (auto role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text}) p.setColor(role, text);
  p.setColor(QPalette::Highlight, QColor(0x3d, 0xae, 0xe9));
  p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x90, 0x90, 0x90));
  p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x90, 0x90, 0x90));
  return p;
}

std::vector<std::string> items(QMenu* menu) {
  std::vector<std::string> shown;
  for (QAction* a : menu->actions()) {
    if (!a->isVisible()) continue;
    if (a->isSeparator()) {
      shown.push_back("---");
      continue;
    }
    std::string text = a->text().replace("&&", "&").toStdString();
    if (a->isCheckable()) text = (a->isChecked() ? "[x] " : "[ ] ") + text;
    shown.push_back(a->isEnabled() ? text : "(" + text + ")");
  }
  return shown;
}

QAction* itemStartingWith(QMenu* menu, const std::string& prefix) {
  for (QAction* a : menu->actions()) {
    if (a->isVisible() && a->text().toStdString().starts_with(prefix)) return a;
  }
  return nullptr;
}

const std::vector<std::string> commandsEn = {"---",
                                             "Settings…",
                                             "Show Log",
                                             "[ ] Launch at Login",
                                             "---",
                                             "(Quorvex Host 1.4.2)",
                                             "Check for Updates…",
                                             "---",
                                             "Restart Service",
                                             "Uninstall Quorvex Host…",
                                             "Quit"};

std::vector<std::string> join(std::vector<std::string> head, const std::vector<std::string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// First: before any tray exists, the icon is shown anyway, the system log
// says so once, and the tray that starts later embeds it.
TEST(TrayMenu, ShownBeforeTheTrayExistsAndEmbeddedWhenItAppears) {
  HostRig rig;
  Tray tray(rig);
  tray.menu.show();
  tray.menu.show();
  if (QSystemTrayIcon::isSystemTrayAvailable()) GTEST_SKIP() << "a tray was already running";
  EXPECT_EQ(rig.systemLog.lines,
            std::vector<std::string>{"Quorvex Host: no system tray; use Settings from the application menu"});
  desktop->startTray();
  EXPECT_TRUE(waitUntil([&] { return tray.embedded(); }));
  EXPECT_EQ(rig.systemLog.lines.size(), 1u);
}

TEST(TrayMenu, ItemsInOrderForEachState) {
  struct Case {
    std::string name;
    HostRig::Options options;
    std::function<void(HostRig&)> setUp;
    std::vector<std::string> expected;
    int button = 1;
    bool dark = false;
  };
  const auto running = [](HostRig& rig) {
    rig.startServer();
    rig.serverPrints("connected clients: 2");
  };
  const std::vector<std::string> addresses = {"100.101.102.103:8771   tailnet · click to copy",
                                              "192.168.1.20:8771   LAN · click to copy"};
  const std::vector<std::string> allowed = {"(✓ Screen Recording)", "(✓ Accessibility (remote input))"};
  const std::string warn = "\u26A0\uFE0E ";
  std::vector<Case> cases;
  cases.push_back(
      {"menu-running-en",
       {},
       running,
       join(join(join({"(● Running · 2 devices connected)"}, addresses), join({"---"}, allowed)), commandsEn),
       3});
  cases.push_back({"menu-running-zh",
                   {.chinese = true},
                   running,
                   {"(● 运行中 · 2 台设备已连接)", "100.101.102.103:8771   Quorvex · 点按复制",
                    "192.168.1.20:8771   局域网 · 点按复制", "---", "(✓ 屏幕录制)", "(✓ 辅助功能（远程键鼠）)", "---",
                    "设置…", "查看日志", "[ ] 登录时启动", "---", "(Quorvex Host 1.4.2)", "检查更新…", "---",
                    "重启服务", "卸载 Quorvex Host…", "退出"}});
  // The server ended over the port: the problem outranks the countdown, and
  // the addresses go with the running state.
  cases.push_back(
      {"menu-port-in-use-en",
       {},
       [](HostRig& rig) {
         rig.startServer();
         rig.serverPrints("listen tcp :8771: bind: address already in use");
         rig.launcher.end({host::ProcessEnd::Reason::exit, 1});
       },
       join(join({"(" + warn + "Port 8771 is in use (is another program using it?))", "---"}, allowed), commandsEn)});
  cases.push_back({"menu-no-screen-recording-en",
                   {.screenRecording = false},
                   [](HostRig& rig) {
                     rig.startServer();
                     rig.serverPrints("quorvex-screencap: Screen Recording permission missing");
                   },
                   join(join({"(" + warn + "No Screen Recording permission: capture fails)"}, addresses),
                        join({"---", warn + "Screen Recording: not allowed — Allow…",
                              "(✓ Accessibility (remote input))"},  // no relaunch on X11
                             commandsEn))});
  cases.push_back({"menu-not-set-up-en",
                   {.configured = false, .accessibility = false},
                   [](HostRig& rig) { rig.startServer(); },
                   join({"(○ Not set up yet)", "---", "(✓ Screen Recording)",
                         warn + "Accessibility (remote input): not allowed — Allow…"},
                        commandsEn)});
  cases.push_back({"menu-update-en",
                   {},
                   [&](HostRig& rig) {
                     running(rig);
                     rig.updater.replies["check"] = {
                         std::nullopt, UpdateCheck("1.4.2", "1.5.0", true, std::nullopt).encode() + "\n", 0};
                     rig.flow->checkForUpdates(false);
                     rig.background.runAll();
                   },
                   join(join(join({"(● Running · 2 devices connected)", "\u2B06\uFE0E Update to 1.5.0…"}, addresses),
                             join({"---"}, allowed)),
                        commandsEn)});

  // The two running menus again on a dark palette.
  for (int i = 0; i < 2; ++i) {
    cases.push_back(cases[i]);
    cases.back().name += "-dark";
    cases.back().dark = true;
  }
  const QPalette light = QApplication::palette();
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    QApplication::setPalette(c.dark ? darkPalette() : light);
    HostRig rig(c.options);
    Tray tray(rig);
    c.setUp(rig);
    tray.show();
    QMenu* menu = tray.open(c.button);
    EXPECT_EQ(items(menu), c.expected);
    // The tray menu has no keyboard focus: no shortcut labels that would do nothing.
    for (QAction* a : menu->actions()) EXPECT_TRUE(a->shortcut().isEmpty()) << a->text().toStdString();
    EXPECT_EQ(tray.icon().toolTip().toStdString(),
              "Quorvex Host — " + c.expected.front().substr(1, c.expected.front().size() - 2));
    if (c.name.starts_with("menu-running") || c.name == "menu-no-screen-recording-en") {
      const QRect area = menu->geometry().united(tray.icon().geometry()).adjusted(-24, 0, 24, 24);
      std::cout << "screenshot: " << screenshot(c.name, area & QApplication::primaryScreen()->geometry()) << "\n";
    }
    menu->hide();
  }
  QApplication::setPalette(light);
}

// The open menu follows the controller in place: the countdown advances on
// the 2 s refresh; address rows are rebuilt only when the addresses change.
TEST(TrayMenu, UpdatesInPlaceWhileOpen) {
  HostRig rig;
  Tray tray(rig);
  rig.startServer();
  tray.show();
  QMenu* menu = tray.open();
  QAction* status = menu->actions().front();
  QAction* tailnet = itemStartingWith(menu, "100.101.102.103:");
  ASSERT_NE(tailnet, nullptr);

  rig.refresh();
  EXPECT_EQ(itemStartingWith(menu, "100.101.102.103:"), tailnet);
  rig.addresses = {{"10.0.0.5", LocalAddress::Kind::lan}};
  rig.refresh();
  EXPECT_EQ(itemStartingWith(menu, "100.101.102.103:"), nullptr);
  EXPECT_NE(itemStartingWith(menu, "10.0.0.5:8771   LAN"), nullptr);

  // Three quick crashes: the third restart waits 4 s.
  for (int i = 0; i < 2; ++i) {
    rig.launcher.end({host::ProcessEnd::Reason::exit, 1});
    rig.clock.advance(std::chrono::seconds(1 << i));
  }
  // The 2 s refresh ticks at even seconds of the manual clock; the third
  // crash comes on one.
  rig.clock.advance(1s);
  rig.launcher.end({host::ProcessEnd::Reason::signal, 9});
  EXPECT_TRUE(menu->isVisible());
  EXPECT_EQ(menu->actions().front(), status);
  EXPECT_EQ(status->text().toStdString(), "○ Service exited (killed by signal 9), restarting in 4s");
  EXPECT_EQ(itemStartingWith(menu, "10.0.0.5:"), nullptr);
  rig.refresh();
  EXPECT_EQ(status->text().toStdString(), "○ Service exited (killed by signal 9), restarting in 2s");
  menu->hide();
}

TEST(TrayMenu, ChoosingAnAddressCopiesOnlyTheAddress) {
  HostRig rig;
  Tray tray(rig);
  rig.startServer();
  tray.show();
  QMenu* menu = tray.open();
  QAction* row = itemStartingWith(menu, "192.168.1.20:8771");
  ASSERT_NE(row, nullptr);
  click(menu->mapToGlobal(menu->actionGeometry(row).center()));
  ASSERT_TRUE(waitUntil([&] { return !menu->isVisible(); }));
  EXPECT_EQ(runBesideEventLoop({findOnPath("xclip"), "-o", "-selection", "clipboard"}), "192.168.1.20");
}

TEST(TrayMenu, ItemsCallTheirOperations) {
  ::setenv("WAYLAND_DISPLAY", "wayland-test", 1);  // the relaunch row is Wayland's
  HostRig rig({.screenRecording = false});
  Tray tray(rig);
  rig.startServer();
  rig.events.clear();
  QMenu* menu = tray.icon().contextMenu();
  const auto choose = [&](const std::string& prefix) {
    QAction* a = itemStartingWith(menu, prefix);
    ASSERT_NE(a, nullptr) << prefix;
    a->trigger();
  };

  choose("Launch at Login");
  EXPECT_TRUE(itemStartingWith(menu, "Launch at Login")->isChecked());  // what the desktop reports now
  choose("\u26A0\uFE0E Screen Recording");
  EXPECT_EQ(rig.desktopRequests, std::vector<std::string>{"prompt screen recording"});
  choose("Restart Service");
  rig.launcher.end({host::ProcessEnd::Reason::signal, 15});
  choose("Show Log");
  choose("Check for Updates…");
  EXPECT_FALSE(itemStartingWith(menu, "Check for Updates…")->isEnabled());  // checking
  choose("Settings…");
  choose("Uninstall Quorvex Host…");
  choose("Quit");
  EXPECT_EQ(tray.actions, (std::vector<std::string>{"settings", "uninstall", "quit"}));
  choose("Allowed in System Settings?");
  EXPECT_EQ(rig.events, (std::vector<std::string>{"login item on @:8771", "server launched @:8771",
                                                  "open " + rig.dir.file("host.log") + " @:8771",
                                                  "detached /bin/sh @:8771", "quit @:8771"}));
  ::unsetenv("WAYLAND_DISPLAY");
}

// The theme's symbolic icons follow the panel's colours: taken where the
// theme has one, the bundle's own otherwise.
TEST(TrayMenu, SymbolicThemeIconsWhereTheThemeHasThem) {
  TempDir themes;
  std::filesystem::create_directories(themes.file("t/scalable"));
  writeFile(themes.file("t/index.theme"),
            "[Icon Theme]\nName=t\nDirectories=scalable\n\n[scalable]\nSize=16\nMinSize=8\nMaxSize=512\n"
            "Type=Scalable\n");
  std::filesystem::copy_file(sourcePath("host/resources/tray-attention.svg"),
                             themes.file("t/scalable/dialog-warning-symbolic.svg"));
  const QStringList searchPaths = QIcon::themeSearchPaths();
  const QString theme = QIcon::themeName();
  QIcon::setThemeSearchPaths({QString::fromStdString(themes.path())});
  QIcon::setThemeName("t");
  HostRig rig;
  Tray tray(rig);
  EXPECT_EQ(tray.icon().icon().name(), "dialog-warning-symbolic");  // not running yet: attention
  rig.startServer();
  EXPECT_EQ(tray.icon().icon().name(), "");  // running: the theme has no display icon
  QIcon::setThemeSearchPaths(searchPaths);
  QIcon::setThemeName(theme);
}

// The fallback icons read on light and dark panels alike: on each, a good
// part of the icon, across its whole extent, stands 3:1 apart from the panel.
TEST(TrayMenu, FallbackIconsReadOnLightAndDarkPanels) {
  QImage sheet(3 * 64, 5 * 64, QImage::Format_ARGB32);  // the icons on each panel, for a look
  QPainter painter(&sheet);
  int column = 0;
  for (const char* file : {"tray-display.svg", "tray-attention.svg", "tray-update.svg"}) {
    QImageReader reader(QString::fromStdString(sourcePath("host/resources/") + file));
    reader.setScaledSize(QSize(48, 48));
    const QImage icon = reader.read().convertToFormat(QImage::Format_ARGB32);
    ASSERT_FALSE(icon.isNull()) << file << ": " << reader.errorString().toStdString();
    int row = 0;
    for (const QColor panel : {QColor(255, 255, 255), QColor(0xdd, 0xdd, 0xdd), QColor(0x44, 0x44, 0x44),
                               QColor(0x20, 0x20, 0x20), QColor(0, 0, 0)}) {
      painter.fillRect(column * 64, row * 64, 64, 64, panel);
      painter.drawImage(column * 64 + 8, row++ * 64 + 8, icon);
      SCOPED_TRACE(std::string(file) + " on " + panel.name().toStdString());
      const auto rgb = [](const QColor& c) {
        return host::Rgb{static_cast<std::uint8_t>(c.red()), static_cast<std::uint8_t>(c.green()),
                         static_cast<std::uint8_t>(c.blue())};
      };
      int opaque = 0, apart = 0;
      QRect opaqueBox, apartBox;
      for (int y = 0; y < icon.height(); ++y) {
        for (int x = 0; x < icon.width(); ++x) {
          const QColor c = icon.pixelColor(x, y);
          if (c.alphaF() < 0.5) continue;
          ++opaque;
          opaqueBox |= QRect(x, y, 1, 1);
          const auto mix = [&](int a, int b) { return static_cast<int>(a * c.alphaF() + b * (1 - c.alphaF())); };
          const QColor shown(mix(c.red(), panel.red()), mix(c.green(), panel.green()), mix(c.blue(), panel.blue()));
          if (host::contrastRatio(rgb(shown), rgb(panel)) < 3.0) continue;
          ++apart;
          apartBox |= QRect(x, y, 1, 1);
        }
      }
      EXPECT_GE(apart * 4, opaque) << apart << " of " << opaque;
      EXPECT_GE(apartBox.width() * 10, opaqueBox.width() * 9);
      EXPECT_GE(apartBox.height() * 10, opaqueBox.height() * 9);
    }
    ++column;
  }
  std::filesystem::create_directories(buildPath("screenshots"));
  const std::string shot = buildPath("screenshots/tray-icons.png");
  EXPECT_TRUE(sheet.save(QString::fromStdString(shot)));
  std::cout << "screenshot: " << shot << "\n";
}

}  // namespace
}  // namespace qx::test

int main(int argc, char** argv) {
  qx::test::runInOwnSessionBus(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  qx::test::UiDesktop desktop(1280, 800);
  qx::test::desktop = &desktop;
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
