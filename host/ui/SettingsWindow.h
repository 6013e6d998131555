#pragma once

// The settings window: the listen address and token, the picture and sound
// options, the two permissions, the login item and the update options. Edits
// stay in the window until "Save and Start" hands them to the controller's
// applySettings; Cancel and Escape drop them. The title-bar close button and
// Ctrl+W only hide the window, so its edits come back with the next show();
// Ctrl+Q quits. The token arrives from the controller when the keyring
// answers; until then, and when it could not be read, an untouched field keeps
// the stored token.
// Main thread only.

#include <QDialog>
#include <QPointer>
#include <functional>

#include "host/HostController.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace qx::host {

class Permissions;
class UpdateFlow;
class PermissionRow;

class SettingsView : public QDialog {
  Q_OBJECT

 public:
  // Everything here must outlive the view.
  struct Services {
    HostController& host;
    UpdateFlow& updates;
    Permissions& permissions;
  };

  // `onDone` runs after Save, on Cancel and on Escape.
  SettingsView(Services services, std::function<void()> onDone, QWidget* parent = nullptr);
  ~SettingsView() override;

  // Escape and Cancel.
  void reject() override;

 protected:
  // The title-bar close button hides; QDialog would reject.
  void closeEvent(QCloseEvent* event) override;
  // The "Quit" button shows while no tray offers the menu.
  void showEvent(QShowEvent* event) override;

 private:
  QWidget* buildForm();
  QWidget* buildBottomBar();
  void renderValidity();
  void renderViewerAddress();
  void renderPermissions();
  void renderUpdates();
  void tokenArrived(const TokenRead& read);
  void save();

  Services services_;
  std::function<void()> onDone_;
  bool zh_ = false;
  bool wayland_ = false;

  // The edited copy; fps and rate control are saved back as loaded. Its token
  // stays absent until the stored one arrived or the user edited the field.
  SettingsEdit edit_;
  bool tokenEdited_ = false;
  QLabel* viewer_ = nullptr;  // the viewer's address, selectable

  QLineEdit* listen_ = nullptr;
  QLineEdit* token_ = nullptr;
  QComboBox* bitrate_ = nullptr;
  QComboBox* maxWidth_ = nullptr;
  QCheckBox* audio_ = nullptr;
  PermissionRow* screenRecording_ = nullptr;
  PermissionRow* accessibility_ = nullptr;
  QCheckBox* loginItem_ = nullptr;
  QCheckBox* notifications_ = nullptr;
  QLabel* currentVersion_ = nullptr;
  QLabel* latestVersion_ = nullptr;
  QCheckBox* autoCheck_ = nullptr;
  QPushButton* checkNow_ = nullptr;
  QPushButton* updateNow_ = nullptr;
  QLabel* invalid_ = nullptr;
  QPushButton* quit_ = nullptr;
  QPushButton* save_ = nullptr;
};

// Holds the one settings window of the application.
class SettingsWindow {
 public:
  explicit SettingsWindow(SettingsView::Services services);
  ~SettingsWindow();
  SettingsWindow(const SettingsWindow&) = delete;
  SettingsWindow& operator=(const SettingsWindow&) = delete;

  // Brings the existing window to the front as it was left (also after its
  // close button), or builds a fresh one from the current values.
  void show();

 private:
  void forget();

  SettingsView::Services services_;
  QPointer<SettingsView> window_;
};

}  // namespace qx::host
