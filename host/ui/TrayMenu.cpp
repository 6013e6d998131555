#include "host/ui/TrayMenu.h"

#include <QAction>
#include <QCursor>
#include <QIcon>
#include <QMenu>
#include <QString>
#include <QSystemTrayIcon>

#include "host/HostController.h"
#include "host/HostTexts.h"
#include "host/Permissions.h"
#include "host/UpdateFlow.h"
#include "host/ui/Clipboard.h"

namespace qx::host {
namespace {

// Menu texts treat '&' as a mnemonic marker; messages from outside may hold one.
QString actionText(const std::string& text) { return QString::fromStdString(text).replace('&', "&&"); }

}  // namespace

TrayMenu::TrayMenu(Services services, Actions actions, QObject* parent)
    : QObject(parent),
      services_(services),
      actions_(std::move(actions)),
      zh_(services_.host.chinese()),
      menu_(std::make_unique<QMenu>()),
      tray_(new QSystemTrayIcon(this)) {
  build();
  tray_->setContextMenu(menu_.get());
  // Some trays report only a left click; it opens the same menu.
  connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) menu_->popup(QCursor::pos());
  });

  HostController& host = services_.host;
  for (auto changed :
       {&HostController::runStateChanged, &HostController::problemChanged, &HostController::connectedClientsChanged,
        &HostController::screenRecordingChanged, &HostController::accessibilityChanged,
        &HostController::loginItemEnabledChanged, &HostController::settingsChanged}) {
    connect(&host, changed, this, &TrayMenu::render);
  }
  for (auto changed :
       {&UpdateFlow::updateChanged, &UpdateFlow::updatePhaseChanged, &UpdateFlow::lastUpdateCheckChanged}) {
    connect(&services_.updates, changed, this, &TrayMenu::render);
  }
  connect(&host, &HostController::addressesChanged, this, [this] {
    rebuildAddresses();
    render();
  });
  rebuildAddresses();
  render();
}

TrayMenu::~TrayMenu() {
  // The icon goes first: it refers to the menu.
  delete tray_;
}

void TrayMenu::show() {
  tray_->show();
  if (QSystemTrayIcon::isSystemTrayAvailable() || noTrayLogged_) return;
  noTrayLogged_ = true;
  if (services_.systemLog) services_.systemLog->write(menu::noSystemTray());
}

void TrayMenu::build() {
  HostController& host = services_.host;
  QMenu& m = *menu_;

  status_ = m.addAction(QString());
  status_->setEnabled(false);
  update_ = m.addAction(QString());
  connect(update_, &QAction::triggered, this, &TrayMenu::runUpdateItem);
  addressesEnd_ = m.addSeparator();

  screenRecording_ = m.addAction(QString());
  connect(screenRecording_, &QAction::triggered, this, [this] {
    if (!services_.host.screenRecording()) services_.permissions.requestScreenRecording();
  });
  accessibility_ = m.addAction(QString());
  connect(accessibility_, &QAction::triggered, this, [this] {
    if (!services_.host.accessibility()) services_.permissions.requestAccessibility();
  });
  relaunch_ = m.addAction(actionText(menu::relaunchHint(zh_)));
  connect(relaunch_, &QAction::triggered, &host, &HostController::relaunchApp);
  m.addSeparator();

  QAction* settings = m.addAction(actionText(menu::settings(zh_)));
  connect(settings, &QAction::triggered, this, [this] {
    if (actions_.openSettings) actions_.openSettings();
  });
  connect(m.addAction(actionText(menu::showLog(zh_))), &QAction::triggered, &host, &HostController::openLog);
  loginItem_ = m.addAction(actionText(menu::launchAtLogin(zh_)));
  loginItem_->setCheckable(true);
  // `triggered`, not `toggled`: the check mark shows what the desktop reports,
  // set back by render() after the controller publishes it.
  connect(loginItem_, &QAction::triggered, this, [this](bool on) { services_.host.setLoginItem(on); });
  m.addSeparator();

  version_ = m.addAction(QString());
  version_->setEnabled(false);
  check_ = m.addAction(actionText(menu::checkForUpdates(zh_)));
  connect(check_, &QAction::triggered, this, [this] { services_.updates.checkForUpdates(true); });
  m.addSeparator();

  connect(m.addAction(actionText(menu::restartService(zh_))), &QAction::triggered, &host, &HostController::restart);
  connect(m.addAction(actionText(menu::uninstall(zh_))), &QAction::triggered, this, [this] {
    if (actions_.uninstall) actions_.uninstall();
  });
  QAction* quit = m.addAction(actionText(menu::quit(zh_)));
  connect(quit, &QAction::triggered, this, [this] {
    if (actions_.quit) actions_.quit();
  });
}

void TrayMenu::rebuildAddresses() {
  for (QAction* row : addressRows_) {
    menu_->removeAction(row);
    row->deleteLater();
  }
  addressRows_.clear();
  for (const LocalAddress& address : services_.host.addresses()) {
    auto* row = new QAction(menu_.get());
    connect(row, &QAction::triggered, this, [this, ip = address.ip] { services_.clipboard.copy(ip); });
    menu_->insertAction(addressesEnd_, row);
    addressRows_.push_back(row);
  }
}

void TrayMenu::render() {
  const HostController& host = services_.host;
  const HostSettings& settings = host.settings();

  const std::string status =
      menu::statusLine(host.problem(), host.runState(), host.connectedClients(), settings, services_.clock.now(), zh_);
  status_->setText(actionText(status));

  const std::optional<UpdateCheck> available = services_.updates.availableUpdate();
  updateItem_ = menu::updateItem(services_.updates.updatePhase(), available, zh_);
  update_->setVisible(updateItem_.has_value());
  if (updateItem_) {
    update_->setText(actionText(updateItem_->text));
    update_->setEnabled(updateItem_->action != menu::UpdateItem::Action::none);
  }

  const bool showAddresses = menu::showsAddresses(host.runState(), settings);
  const std::vector<LocalAddress>& addresses = host.addresses();
  for (std::size_t i = 0; i < addressRows_.size() && i < addresses.size(); ++i) {
    addressRows_[i]->setVisible(showAddresses);
    if (showAddresses) addressRows_[i]->setText(actionText(menu::addressRow(addresses[i], *settings.port(), zh_)));
  }

  // Allowed rows are plain text lines; missing ones are "Allow…" buttons.
  screenRecording_->setText(actionText(menu::screenRecordingRow(host.screenRecording(), zh_)));
  screenRecording_->setEnabled(!host.screenRecording());
  accessibility_->setText(actionText(menu::accessibilityRow(host.accessibility(), zh_)));
  accessibility_->setEnabled(!host.accessibility());
  // Only a Wayland portal grant waits for a relaunch.
  relaunch_->setVisible(!host.screenRecording() && waylandSession());

  loginItem_->setChecked(host.loginItemEnabled());
  version_->setText(actionText(menu::version(services_.updates.currentVersion())));
  check_->setEnabled(menu::checkEnabled(services_.updates.updatePhase()));

  const menu::TrayIcon icon = menu::trayIcon(
      menu::needsAttention(host.problem(), host.screenRecording(), host.runState()), available.has_value());
  if (icon != shownIcon_) {
    shownIcon_ = icon;
    tray_->setIcon(iconFor(icon));
  }
  tray_->setToolTip(QString::fromStdString(menu::tooltip(status)));
}

void TrayMenu::runUpdateItem() {
  if (!updateItem_) return;
  switch (updateItem_->action) {
    case menu::UpdateItem::Action::promptUpdate: services_.updates.promptUpdate(); break;
    case menu::UpdateItem::Action::checkForUpdates: services_.updates.checkForUpdates(true); break;
    case menu::UpdateItem::Action::none: break;
  }
}

QIcon TrayMenu::iconFor(menu::TrayIcon icon) const {
  const std::filesystem::path file =
      services_.host.paths().bundle / "Contents" / "Resources" / menu::fallbackIconFile(icon);
  // Monochrome icons follow the panel's colours; full-colour theme icons would not.
  const QString symbolic = QString::fromStdString(menu::themeIconName(icon) + "-symbolic");
  if (QIcon::hasThemeIcon(symbolic)) return QIcon::fromTheme(symbolic);
  return QIcon(QString::fromStdString(file.string()));
}

}  // namespace qx::host
