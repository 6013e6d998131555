// The settings window on a real X server: validation on every keystroke, the
// Save order, Cancel and Escape, the title-bar close that only hides, and
// screenshots in both languages.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <iostream>

#include "host/MenuTexts.h"
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
  HostRig rig({.accessibility = false});
  Window window(rig);
  SettingsView* view = window.show();
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

TEST(SettingsWindow, Screenshots) {
  for (bool zh : {false, true}) {
    HostRig rig({.chinese = zh, .configured = !zh, .screenRecording = zh});
    Window window(rig);
    SettingsView* view = window.show();
    EXPECT_EQ(view->size(), QSize(480, 760));
    if (!zh) retype(part<QLineEdit>(view, "listen"), ":0");  // shows the red message
    spin(300ms);
    std::cout << "screenshot: " << screenshot(zh ? "settings-zh" : "settings-en", view->frameGeometry()) << "\n";
  }
}

}  // namespace
}  // namespace qx::test

int main(int argc, char** argv) {
  qx::test::runInOwnSessionBus(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  qx::test::UiDesktop desktop(1280, 1024);
  QApplication app(argc, argv);
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
