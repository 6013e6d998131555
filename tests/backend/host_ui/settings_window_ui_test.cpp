// The settings window on a real X server with a window manager: validation on
// every keystroke, the Save order, Cancel and Escape, the title-bar close that
// only hides, the keyboard, the no-tray Quit, desktop notifications as a test
// notification service receives them, and screenshots in both languages on a
// light and a dark palette.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QStyleFactory>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <iostream>

#include "host/HostTexts.h"
#include "host/MenuTexts.h"
#include "host/Uninstall.h"
#include "host/ui/DesktopNotifications.h"
#include "host/ui/MessageBoxAlerts.h"
#include "host/ui/SettingsWindow.h"
#include "tests/backend/host_ui/ui_desktop.h"
#include "tests/unit/host/host_rig.h"

namespace qx::test {
namespace {

using namespace std::chrono_literals;
using host::SettingsView;
using host::SettingsWindow;

// Counts the quit requests the application receives (automatic ones included).
struct QuitWatch : QObject {
  int quits = 0;
  bool eventFilter(QObject* target, QEvent* event) override {
    if (target == qApp && event->type() == QEvent::Quit) ++quits;
    return false;
  }
};
QuitWatch* quitWatch = nullptr;
UiDesktop* desktop = nullptr;

struct Window {
  HostRig& rig;
  SettingsWindow holder;

  explicit Window(HostRig& r) : rig(r), holder({*r.host, *r.flow, *r.permissions}) {
    QObject::connect(r.host.get(), &host::HostController::settingsChanged, [&r] { r.note("settings published"); });
  }

  // Shows the window; the view on screen.
  SettingsView* show() {
    holder.show();
    SettingsView* shown = nullptr;
    EXPECT_TRUE(waitUntil([&] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* v = qobject_cast<SettingsView*>(w); v && v->isVisible()) shown = v;
      }
      return shown && shown->windowHandle()->isExposed();
    }));
    return shown;
  }
};

template <class W>
W* part(QWidget* view, const char* name) {
  W* w = view->findChild<W*>(name);
  EXPECT_NE(w, nullptr) << name;
  return w;
}

void retype(QLineEdit* field, const QString& text) {
  field->setFocus();
  field->selectAll();
  QTest::keyClick(field, Qt::Key_Backspace);
  QTest::keyClicks(field, text);
}

TEST(SettingsWindow, ValidationFollowsEveryKeystroke) {
  HostRig rig;
  Window window(rig);
  SettingsView* view = window.show();
  auto* listen = part<QLineEdit>(view, "listen");
  auto* message = part<QLabel>(view, "invalidListen");
  auto* save = part<QPushButton>(view, "save");
  EXPECT_FALSE(message->isVisible());

  retype(listen, "");
  const std::vector<std::pair<Qt::Key, bool>> keystrokes = {
      {Qt::Key_Colon, false},    {Qt::Key_8, true}, {Qt::Key_7, true},
      {Qt::Key_7, true},         {Qt::Key_1, true}, {Qt::Key_1, false} /* 87711 */,
      {Qt::Key_Backspace, true},
  };
  for (const auto& [key, valid] : keystrokes) {
    QTest::keyClick(listen, key);
    SCOPED_TRACE(listen->text().toStdString());
    EXPECT_EQ(save->isEnabled(), valid);
    EXPECT_EQ(message->isVisible(), !valid);
  }
  EXPECT_EQ(listen->text(), ":8771");

  // Return saves only a valid address.
  for (const char* bad : {":0", "8771", "host:", ":-1"}) {
    retype(listen, bad);
    QTest::keyClick(listen, Qt::Key_Return);
  }
  EXPECT_TRUE(view->isVisible());
  EXPECT_TRUE(rig.events.empty());
  retype(listen, ":9000");
  QTest::keyClick(listen, Qt::Key_Return);
  EXPECT_FALSE(view->isVisible());
  EXPECT_EQ(rig.store.load().listen, ":9000");
}

TEST(SettingsWindow, SaveOrder) {
  HostSettings stored;
  stored.bitrate = "12M";  // neither is offered by the pickers
  stored.maxWidth = 3840;
  stored.fps = 60;
  stored.rateControl = "cbr";
  HostRig rig({.settings = stored});
  rig.store.setAutoCheckUpdates(false);
  Window window(rig);
  SettingsView* view = window.show();
  EXPECT_EQ(part<QComboBox>(view, "bitrate")->currentIndex(), -1);
  EXPECT_EQ(part<QComboBox>(view, "maxWidth")->currentIndex(), -1);
  EXPECT_EQ(part<QLineEdit>(view, "token")->text(), "abc123");
  EXPECT_FALSE(part<QCheckBox>(view, "loginItem")->isChecked());  // configured: what the desktop reports

  retype(part<QLineEdit>(view, "listen"), ":9000");
  part<QLineEdit>(view, "token")->setText(" \tnew token \t ");  // pasted: a typed Tab moves the focus
  part<QCheckBox>(view, "audio")->click();
  part<QCheckBox>(view, "loginItem")->click();
  part<QCheckBox>(view, "autoCheck")->click();
  EXPECT_TRUE(rig.events.empty()) << "nothing leaves the window before Save";
  part<QPushButton>(view, "save")->click();

  EXPECT_EQ(rig.events,
            (std::vector<std::string>{"settings published @:8771", "token 'new token' @:9000", "login item on @:9000",
                                      "update checks scheduled @:9000", "server launched @:9000"}));
  HostSettings expected = stored;
  expected.listen = ":9000";
  expected.audio = false;
  EXPECT_EQ(rig.store.load(), expected);
  EXPECT_EQ(rig.host->settings(), expected);
  EXPECT_TRUE(rig.store.autoCheckUpdates());
  EXPECT_FALSE(view->isVisible());

  // A fresh window from the saved values. (What later Saves repeat is the
  // controller's: ApplySettings.SaveOrder.)
  SettingsView* again = window.show();
  EXPECT_EQ(part<QLineEdit>(again, "listen")->text(), ":9000");
  EXPECT_EQ(part<QLineEdit>(again, "token")->text(), "new token");
}

// A keyring that cannot be read: the field says so, and Save keeps the stored
// token until the field is edited; an edited empty field then means no token.
TEST(SettingsWindow, UnreadableTokenIsKeptUntilEdited) {
  for (bool zh : {false, true}) {
    HostRig rig({.chinese = zh, .token = std::nullopt});
    Window window(rig);
    SettingsView* view = window.show();
    auto* token = part<QLineEdit>(view, "token");
    EXPECT_EQ(token->text(), "");
    EXPECT_EQ(token->placeholderText().toStdString(), host::form::tokenUnreadablePlaceholder(zh));
    if (!zh) std::cout << "screenshot: " << screenshot("settings-token-unreadable-en", view->frameGeometry()) << "\n";
    part<QPushButton>(view, "save")->click();
    EXPECT_EQ(std::count_if(rig.events.begin(), rig.events.end(), [](auto& e) { return e.starts_with("token"); }), 0);

    SettingsView* again = window.show();
    retype(part<QLineEdit>(again, "token"), "x");
    QTest::keyClick(part<QLineEdit>(again, "token"), Qt::Key_Backspace);
    EXPECT_EQ(part<QLineEdit>(again, "token")->placeholderText().toStdString(), host::form::tokenPlaceholder(zh));
    part<QPushButton>(again, "save")->click();
    EXPECT_EQ(std::count(rig.events.begin(), rig.events.end(), "token removed @:8771"), 1);
  }
}

TEST(SettingsWindow, CancelAndEscapeSaveNothing) {
  HostRig rig({.configured = false});
  Window window(rig);
  for (bool escape : {false, true}) {
    SettingsView* view = window.show();
    EXPECT_EQ(part<QLineEdit>(view, "listen")->text(), ":8771");
    EXPECT_TRUE(part<QCheckBox>(view, "loginItem")->isChecked());  // a first setup proposes it
    retype(part<QLineEdit>(view, "listen"), ":7000");
    if (escape) {
      QTest::keyClick(view, Qt::Key_Escape);
    } else {
      part<QPushButton>(view, "cancel")->click();
    }
    EXPECT_FALSE(view->isVisible());
  }
  EXPECT_TRUE(rig.events.empty());
  EXPECT_FALSE(rig.store.configured());
}

// The title-bar close hides the window and nothing else: the host keeps
// running, and the next show brings back the same window with its edits.
TEST(SettingsWindow, CloseButtonOnlyHides) {
  HostRig rig;
  Window window(rig);
  SettingsView* view = window.show();
  retype(part<QLineEdit>(view, "listen"), ":7000");
  const int quitsBefore = quitWatch->quits;
  closeLikeWindowManager(view->winId());
  ASSERT_TRUE(waitUntil([&] { return !view->isVisible(); }));
  spin(300ms);
  EXPECT_EQ(quitWatch->quits, quitsBefore);
  EXPECT_TRUE(rig.events.empty());
  EXPECT_EQ(window.show(), view);
  EXPECT_EQ(part<QLineEdit>(view, "listen")->text(), ":7000");
}

// "Check Now", "Update Now…" and the permission rows act at once and follow
// the controller.
TEST(SettingsWindow, ButtonsActWithoutSave) {
  ::setenv("WAYLAND_DISPLAY", "wayland-test", 1);  // where a permission can be requested
  HostRig rig({.accessibility = false});
  Window window(rig);
  SettingsView* view = window.show();
  ::unsetenv("WAYLAND_DISPLAY");
  auto* checkNow = part<QPushButton>(view, "checkNow");
  auto* updateNow = part<QPushButton>(view, "updateNow");
  EXPECT_FALSE(updateNow->isVisible());
  rig.updater.replies["check"] = {std::nullopt, UpdateCheck("1.4.2", "1.5.0", true, std::nullopt).encode() + "\n", 0};
  checkNow->click();
  EXPECT_FALSE(checkNow->isEnabled());  // checking
  rig.alerts.answer = 1;                // "Later" at the prompt a user's check ends with
  rig.background.runAll();
  EXPECT_TRUE(updateNow->isVisible());
  EXPECT_TRUE(updateNow->isEnabled());
  rig.alerts.answer = 0;  // "Update": downloading until the updater answers
  updateNow->click();
  EXPECT_FALSE(updateNow->isEnabled());

  auto* screen = part<QWidget>(view, "screenRecording");
  auto* access = part<QWidget>(view, "accessibility");
  EXPECT_TRUE(part<QLabel>(screen, "allowed")->isVisible());
  EXPECT_FALSE(part<QPushButton>(screen, "allow")->isVisible());
  part<QPushButton>(access, "allow")->click();
  part<QPushButton>(access, "allow")->click();
  EXPECT_EQ(rig.desktopRequests, (std::vector<std::string>{"prompt accessibility", "page Privacy_Accessibility"}));
  rig.probe.access = true;
  rig.probe.screen = false;
  rig.refresh();
  EXPECT_TRUE(part<QLabel>(access, "allowed")->isVisible());
  EXPECT_TRUE(part<QPushButton>(screen, "allow")->isVisible());
  EXPECT_TRUE(rig.events.empty());
}

// Minimised by the window manager, the window comes back, raised and focused,
// when it is shown again (from the menu or a second start).
TEST(SettingsWindow, MinimisedWindowComesBack) {
  HostRig rig;
  Window window(rig);
  SettingsView* view = window.show();
  // The window manager is asked for a title and a close button, and for no
  // minimising: flags, functions, decorations.
  const std::vector<std::uint32_t> hints = windowProperty(view->winId(), "_MOTIF_WM_HINTS");
  ASSERT_GE(hints.size(), 3u);
  constexpr std::uint32_t functionsGiven = 1, decorationsGiven = 2, minimizeFunction = 1 << 3, closeFunction = 1 << 5,
                          titleDecoration = 1 << 3, minimizeDecoration = 1 << 5;
  EXPECT_EQ(hints[0] & (functionsGiven | decorationsGiven), functionsGiven | decorationsGiven);
  EXPECT_EQ(hints[1] & (minimizeFunction | closeFunction), closeFunction);
  EXPECT_EQ(hints[2] & (minimizeDecoration | titleDecoration), titleDecoration);
  Process::Options minimise;
  minimise.args = {findOnPath("xdotool"), "windowminimize", std::to_string(view->winId())};
  run(std::move(minimise));
  ASSERT_TRUE(waitUntil([&] { return view->isMinimized(); })) << "the window manager did not minimise it";
  EXPECT_EQ(window.show(), view);
  EXPECT_TRUE(waitUntil([&] { return !view->isMinimized() && view->isActiveWindow(); }));
}

// Return and Space press the focused button; Return in a text field saves.
TEST(SettingsWindow, KeysPressTheFocusedButton) {
  struct Case {
    const char* focus;
    Qt::Key key;
    bool saves;
  };
  for (const Case& c : {Case{"cancel", Qt::Key_Return, false}, Case{"cancel", Qt::Key_Space, false},
                        Case{"token", Qt::Key_Return, true}, Case{"listen", Qt::Key_Enter, true}}) {
    SCOPED_TRACE(std::string(c.focus) + " " + std::to_string(c.key));
    HostRig rig;
    Window window(rig);
    SettingsView* view = window.show();
    auto* target = part<QWidget>(view, c.focus);
    target->setFocus();
    QTest::keyClick(target, c.key);
    EXPECT_TRUE(waitUntil([&] { return !view->isVisible(); }));
    EXPECT_EQ(!rig.events.empty(), c.saves);
  }
}

// Every alert: the application icon, the warning sign when it warns, over the
// window the host shows, wide enough for its whole window title, and buttons
// with Qt's roles so the desktop orders them.
TEST(SettingsWindow, AlertsLookAsTheyShould) {
  struct Row {
    std::string name;
    host::Alerts::Alert alert;
    bool overWindow;
    QMessageBox::Icon icon;
  };
  const std::vector<Row> rows = {
      {"alert", host::uninstallAlert(false), true, QMessageBox::Warning},
      {"alert-folder-kept", host::folderKeptAlert(host::FolderKept::notTrashed, "/opt/q.app", true), false,
       QMessageBox::Warning},
      {"alert-short", {"OK?", "", {"OK"}, {}}, false, QMessageBox::Information},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    HostRig rig;
    Window window(rig);
    SettingsView* view = row.overWindow ? window.show() : nullptr;
    QTimer::singleShot(800ms, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      EXPECT_FALSE(box->windowIcon().isNull());
      EXPECT_EQ(box->icon(), row.icon);
      EXPECT_EQ(box->parentWidget(), view);
      // Room in the title bar for the title and the window manager's buttons.
      EXPECT_GE(box->width(), box->fontMetrics().horizontalAdvance(box->windowTitle()) + 120);
      auto* text = box->findChild<QLabel*>("qt_msgbox_label");
      EXPECT_TRUE(text->wordWrap() || text->width() >= text->sizeHint().width()) << "the text is cut";
      for (QAbstractButton* b : box->buttons()) {
        EXPECT_EQ(box->buttonRole(b), b->text().toStdString() == row.alert.buttons.front() ? QMessageBox::AcceptRole
                                                                                           : QMessageBox::RejectRole);
      }
      const QRect area = view ? box->frameGeometry().united(view->frameGeometry()) : box->frameGeometry();
      std::cout << "screenshot: " << screenshot(row.name, area) << "\n";
      box->close();
    });
    host::MessageBoxAlerts().show(row.alert);
  }
}

// Tab visits only visible controls and comes back round; the default button
// looks different once it has the focus.
TEST(SettingsWindow, TabChainHasNoInvisibleStop) {
  HostRig rig;
  Window window(rig);
  SettingsView* view = window.show();
  auto* save = part<QPushButton>(view, "save");
  const QImage unfocused = save->grab().toImage();
  save->setFocus();
  spin(100ms);
  EXPECT_NE(save->grab().toImage(), unfocused) << "focus does not show on the default button";
  QTest::keyClick(save, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), part<QWidget>(view, "listen"));
  for (int i = 0; i < 30 && QApplication::focusWidget() != save; ++i) {
    QWidget* at = QApplication::focusWidget();
    EXPECT_FALSE(qobject_cast<QScrollArea*>(at)) << "a stop without a visible control";
    EXPECT_TRUE(at->isVisible()) << at->objectName().toStdString();
    QTest::keyClick(at, Qt::Key_Tab);
  }
  EXPECT_EQ(QApplication::focusWidget(), save);
}

// On X11 a row that is not allowed names the reason instead of a button that
// cannot help; the "allow once / relaunch" footer belongs to Wayland.
TEST(SettingsWindow, PermissionRowsBySession) {
  const std::string footer = host::form::permissionsFooter(false);
  struct Case {
    bool wayland, screen, access;
    std::string screenReason, accessReason;
  };
  for (const Case& c :
       {Case{false, false, false, "The X server refused the connection", "The X server refused the connection"},
        Case{false, true, false, "", "The X server has no XTEST extension"}, Case{true, false, false, "", ""}}) {
    SCOPED_TRACE(c.wayland);
    if (c.wayland) ::setenv("WAYLAND_DISPLAY", "wayland-test", 1);
    HostRig rig({.screenRecording = c.screen, .accessibility = c.access});
    Window window(rig);
    SettingsView* view = window.show();
    ::unsetenv("WAYLAND_DISPLAY");
    for (auto [row, reason] : {std::pair{"screenRecording", c.screenReason}, {"accessibility", c.accessReason}}) {
      auto* r = part<QWidget>(view, row);
      if (r->findChild<QLabel*>("allowed")->isVisible()) continue;
      EXPECT_EQ(part<QLabel>(r, "reason")->isVisible() ? part<QLabel>(r, "reason")->text().toStdString() : "", reason);
      EXPECT_EQ(part<QPushButton>(r, "allow")->isVisible(), reason.empty());
    }
    bool footerShown = false;
    for (QLabel* l : view->findChildren<QLabel*>()) footerShown |= l->text().toStdString() == footer;
    EXPECT_EQ(footerShown, c.wayland);
  }
}

// The token is masked until "Show"; a paste over the field's limit is refused
// with a message rather than cut.
TEST(SettingsWindow, TokenMaskedAndOverlongPasteRefused) {
  HostRig rig;
  Window window(rig);
  SettingsView* view = window.show();
  auto* token = part<QLineEdit>(view, "token");
  auto* message = part<QLabel>(view, "invalidListen");
  EXPECT_EQ(token->echoMode(), QLineEdit::Password);
  part<QPushButton>(view, "showToken")->click();
  EXPECT_EQ(token->echoMode(), QLineEdit::Normal);
  for (int length : {32768, 40000, 32767}) {
    QGuiApplication::clipboard()->setText(QString(length, 'a'));
    token->selectAll();
    token->paste();
    SCOPED_TRACE(length);
    EXPECT_EQ(part<QPushButton>(view, "save")->isEnabled(), length <= 32767);
    EXPECT_EQ(message->isVisible(), length > 32767);
    if (length > 32767) {
      EXPECT_EQ(message->text(), "The token is too long (at most 32767 characters)");
    }
  }
}

// Records Notify calls as a notification daemon receives them, on the
// session bus while it exists.
struct NotificationService : QDBusVirtualObject {
  QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "notification-service");
  std::vector<QString> bodies;
  NotificationService() {
    EXPECT_TRUE(bus.registerVirtualObject("/org/freedesktop/Notifications", this));
    EXPECT_TRUE(bus.registerService("org.freedesktop.Notifications"));
  }
  ~NotificationService() override {
    bus.unregisterService("org.freedesktop.Notifications");
    QDBusConnection::disconnectFromBus("notification-service");
  }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() != "Notify") return false;
    bodies.push_back(message.arguments().value(4).toString());
    connection.send(message.createReply(QVariant::fromValue(static_cast<uint>(bodies.size()))));
    return true;
  }
  QString introspect(const QString&) const override { return {}; }
  // What arrived once `count` bodies did and a little more time passed.
  std::vector<QString> received(std::size_t count) {
    EXPECT_TRUE(waitUntil([&] { return bodies.size() >= count; }));
    spin(200ms);
    return bodies;
  }
};

// A device's first connection and a server that stops a third time in a row
// are notified, each once; the check box and a missing service silence them.
TEST(SettingsWindow, NotificationsThroughTheSessionBus) {
  HostRig rig;
  host::fake::ManualClock& clock = rig.clock;
  EXPECT_FALSE(host::notifyDesktop(rig.store, "nobody listens")) << "no service yet";
  NotificationService service;

  host::ControllerNotifications notifications(*rig.host, rig.store, clock);
  rig.startServer();
  for (const char* line : {"connected clients: 1", "connected clients: 0", "connected clients: 2"}) {
    rig.serverPrints(line);
  }
  for (int end = 0; end < 4; ++end) {
    rig.launcher.end({host::ProcessEnd::Reason::exit, 1});
    clock.advance(std::chrono::seconds(31));
  }
  EXPECT_EQ(service.received(2),
            (std::vector<QString>{"A device connected.", "The service keeps stopping. See Show Log."}));

  Window window(rig);
  SettingsView* view = window.show();
  auto* box = part<QCheckBox>(view, "showNotifications");
  EXPECT_TRUE(box->isChecked());
  box->click();
  part<QPushButton>(view, "save")->click();
  EXPECT_FALSE(rig.store.showNotifications());
  EXPECT_FALSE(host::notifyDesktop(rig.store, "silenced"));

  // What the service received, drawn for a look.
  QLabel shown("<b>Quorvex Host</b><br>" + service.bodies.front());
  shown.setWindowFlags(Qt::ToolTip);
  shown.setMargin(12);
  shown.show();
  ASSERT_TRUE(waitUntil([&] { return shown.windowHandle()->isExposed(); }));
  spin(200ms);
  std::cout << "screenshot: " << screenshot("notification", shown.frameGeometry()) << "\n";
}

// An update a scheduled check finds is told once per version, and not when
// the user's own check prompted for it; the start after an install tells the
// version now running.
TEST(SettingsWindow, UpdateNotifications) {
  NotificationService service;
  for (bool zh : {false, true}) {
    service.bodies.clear();
    HostRig rig({.chinese = zh});
    host::UpdateNotifications notifications(*rig.flow, rig.store, zh);
    rig.alerts.answer = 1;  // "Later" at the prompt of the user's check
    for (auto [version, user] :
         {std::pair{"1.5.0", false}, {"1.5.0", false}, {"1.6.0", true}, {"1.6.0", false}, {"1.7.0", false}}) {
      rig.updater.replies["check"] = {std::nullopt, UpdateCheck("1.4.2", version, true, std::nullopt).encode() + "\n",
                                      0};
      rig.flow->checkForUpdates(user);
      rig.background.runAll();
    }
    notifications.justUpdated();
    const std::vector<QString> expected =
        zh ? std::vector<QString>{"Quorvex Host 1.5.0 已可更新。", "Quorvex Host 1.7.0 已可更新。",
                                  "Quorvex Host 已更新到 1.4.2。"}
           : std::vector<QString>{"Quorvex Host 1.5.0 is available.", "Quorvex Host 1.7.0 is available.",
                                  "Quorvex Host was updated to 1.4.2."};
    EXPECT_EQ(service.received(3), expected);
  }
}

QPalette darkPalette() {
  QPalette p;
  const QColor window(0x31, 0x36, 0x3b), base(0x23, 0x26, 0x29), text(0xef, 0xf0, 0xf1);
  p.setColor(QPalette::Window, window);
  p.setColor(QPalette::WindowText, text);
  p.setColor(QPalette::Base, base);
  p.setColor(QPalette::AlternateBase, window);
  p.setColor(QPalette::Text, text);
  p.setColor(QPalette::Button, window);
  p.setColor(QPalette::ButtonText, text);
  p.setColor(QPalette::Highlight, QColor(0x3d, 0xae, 0xe9));
  p.setColor(QPalette::HighlightedText, Qt::white);
  p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x80));
  p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x80, 0x80));
  return p;
}

TEST(SettingsWindow, Screenshots) {
  const QPalette light = QApplication::palette();
  for (bool dark : {false, true}) {
    QApplication::setPalette(dark ? darkPalette() : light);
    for (bool zh : {false, true}) {
      HostRig rig({.chinese = zh, .configured = !zh, .screenRecording = zh});
      Window window(rig);
      SettingsView* view = window.show();
      EXPECT_EQ(view->size(), QSize(480, 760));
      if (!zh) retype(part<QLineEdit>(view, "listen"), ":0");  // shows the red message
      spin(300ms);
      const std::string name = std::string("settings-") + (zh ? "zh" : "en") + (dark ? "-dark" : "");
      std::cout << "screenshot: " << screenshot(name, view->frameGeometry()) << "\n";
    }
  }
  QApplication::setPalette(light);
}

// Quitting last: the application is on its way out afterwards.

// Ctrl+W hides like the close button (the edits stay); Ctrl+Q quits.
TEST(SettingsWindow, CtrlWHidesAndCtrlQQuits) {
  HostRig rig;
  Window window(rig);
  SettingsView* view = window.show();
  retype(part<QLineEdit>(view, "listen"), ":7000");
  QTest::keyClick(part<QLineEdit>(view, "listen"), Qt::Key_W, Qt::ControlModifier);
  EXPECT_TRUE(waitUntil([&] { return !view->isVisible(); }));
  EXPECT_EQ(window.show(), view);
  EXPECT_EQ(part<QLineEdit>(view, "listen")->text(), ":7000");
  const int quitsBefore = quitWatch->quits;
  QTest::keyClick(part<QLineEdit>(view, "listen"), Qt::Key_Q, Qt::ControlModifier);
  EXPECT_TRUE(waitUntil([&] { return quitWatch->quits == quitsBefore + 1; }));
  EXPECT_TRUE(rig.events.empty());
}

// While no tray offers the menu, the bottom bar has a Quit button.
TEST(SettingsWindow, QuitButtonWhileThereIsNoTray) {
  for (bool tray : {false, true}) {
    if (tray) desktop->startTray();
    ASSERT_TRUE(waitUntil([&] { return QSystemTrayIcon::isSystemTrayAvailable() == tray; }));
    HostRig rig;
    Window window(rig);
    SettingsView* view = window.show();
    auto* quit = part<QPushButton>(view, "quit");
    EXPECT_EQ(quit->isVisible(), !tray);
    if (tray) continue;
    const int quitsBefore = quitWatch->quits;
    quit->click();
    EXPECT_TRUE(waitUntil([&] { return quitWatch->quits == quitsBefore + 1; }));
  }
}

}  // namespace
}  // namespace qx::test

int main(int argc, char** argv) {
  qx::test::runInOwnSessionBus(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  qx::test::UiDesktop desktop(1280, 1024);
  desktop.startWindowManager();
  qx::test::desktop = &desktop;
  QApplication app(argc, argv);
  QApplication::setWindowIcon(
      QIcon(QString::fromStdString(qx::test::sourcePath("host/resources/com.quorvex.host.svg"))));
  qx::test::QuitWatch watch;
  app.installEventFilter(&watch);
  qx::test::quitWatch = &watch;
  // Inside the event loop, as in the application, so a window closing can
  // trigger the automatic quit this suite checks for.
  int result = 1;
  QTimer::singleShot(0, [&] {
    result = RUN_ALL_TESTS();
    QApplication::exit(result);
  });
  QApplication::exec();
  return result;
}
