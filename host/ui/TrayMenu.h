#pragma once

// The tray icon and its menu: the host's everyday interface. Renders the
// controller and the update flow through the rules of host/MenuTexts.h and
// calls their operations; it keeps no state of its own beyond the widgets.
//
// The menu is built once and updated in place on every change the controller
// publishes (including the 2 s refresh, which advances the restart
// countdown); the address rows are rebuilt only when the addresses change, so
// an open menu never moves under the pointer. Main thread only.

#include <QObject>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "host/MenuTexts.h"

class QAction;
class QIcon;
class QMenu;
class QSystemTrayIcon;

namespace qx::host {

class Clipboard;
class HostController;
class Permissions;
class UpdateFlow;

class TrayMenu : public QObject {
  Q_OBJECT

 public:
  // Everything here must outlive the menu.
  struct Services {
    HostController& host;
    UpdateFlow& updates;
    Permissions& permissions;
    TimeSource& clock;  // for the restart countdown
    Clipboard& clipboard;
    SystemLog* systemLog = nullptr;  // the one no-tray line; may be null
  };
  struct Actions {
    std::function<void()> openSettings;
    std::function<void()> uninstall;
    std::function<void()> quit;  // ends the application through its quit path
  };

  TrayMenu(Services services, Actions actions, QObject* parent = nullptr);
  ~TrayMenu() override;

  // Shows the icon whether or not a tray exists: a panel that starts later
  // embeds it when it appears. Without a tray, says so once in the system log.
  void show();

 private:
  void build();
  void render();
  void rebuildAddresses();
  void runUpdateItem();
  QIcon iconFor(menu::TrayIcon icon) const;

  Services services_;
  Actions actions_;
  bool zh_ = false;

  std::unique_ptr<QMenu> menu_;
  QSystemTrayIcon* tray_ = nullptr;  // child of this object
  QAction* status_ = nullptr;
  QAction* update_ = nullptr;
  std::vector<QAction*> addressRows_;
  QAction* addressesEnd_ = nullptr;  // the separator the rows stand before
  QAction* screenRecording_ = nullptr;
  QAction* accessibility_ = nullptr;
  QAction* relaunch_ = nullptr;
  QAction* loginItem_ = nullptr;
  QAction* version_ = nullptr;
  QAction* check_ = nullptr;

  std::optional<menu::UpdateItem> updateItem_;
  std::optional<menu::TrayIcon> shownIcon_;
  bool noTrayLogged_ = false;
};

}  // namespace qx::host
