#include "host/ui/DesktopNotifications.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QVariantMap>

#include "HostCore/RestartBackoff.h"
#include "host/HostController.h"
#include "host/HostTexts.h"
#include "host/SettingsStore.h"
#include "host/UpdateFlow.h"

namespace qx::host {
namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");

bool serviceAvailable(const QDBusConnection& bus) {
  QDBusConnectionInterface* names = bus.interface();
  if (names == nullptr) return false;
  if (names->isServiceRegistered(service)) return true;
  const QDBusReply<QStringList> activatable = names->activatableServiceNames();
  return activatable.isValid() && activatable.value().contains(service);
}

}  // namespace

bool notifyDesktop(const SettingsStore& settings, const std::string& text) {
  if (!settings.showNotifications()) return false;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || !serviceAvailable(bus)) return false;
  QDBusMessage call = QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/Notifications"), service,
                                                     QStringLiteral("Notify"));
  QVariantMap hints;
  hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("com.quorvex.host"));
  call << QStringLiteral("Quorvex Host") << 0U << QStringLiteral("com.quorvex.host") << QStringLiteral("Quorvex Host")
       << QString::fromStdString(text) << QStringList() << hints << -1;
  // No answer is awaited: a slow notification daemon must not stall the host.
  return bus.send(call);
}

ControllerNotifications::ControllerNotifications(HostController& host, const SettingsStore& settings, TimeSource& clock,
                                                 QObject* parent)
    : QObject(parent), host_(host), settings_(settings), clock_(clock) {
  connect(&host_, &HostController::connectedClientsChanged, this, [this] {
    if (deviceSeen_ || host_.connectedClients() <= 0) return;
    deviceSeen_ = true;
    notifyDesktop(settings_, texts::deviceConnectedNotice(host_.chinese()));
  });
  connect(&host_, &HostController::runStateChanged, this, &ControllerNotifications::runStateChanged);
}

void ControllerNotifications::runStateChanged() {
  const RunState& state = host_.runState();
  if (state.is<RunState::Running>()) {
    runningSince_ = clock_.now();
    return;
  }
  if (!state.is<RunState::Waiting>()) {
    // Stopped by request or not startable: a new streak begins.
    restartsInARow_ = 0;
    return;
  }
  // A run as long as the back-off's healthy one ends the streak.
  if (restartsInARow_ > 0 &&
      clock_.now() - runningSince_ >= std::chrono::duration<double>(RestartBackoff::healthyAfter)) {
    restartsInARow_ = 0;
  }
  if (++restartsInARow_ == failingRestart) notifyDesktop(settings_, texts::keepsStoppingNotice(host_.chinese()));
}

UpdateNotifications::UpdateNotifications(UpdateFlow& updates, const SettingsStore& settings, bool chinese,
                                         QObject* parent)
    : QObject(parent), updates_(updates), settings_(settings), zh_(chinese) {
  connect(&updates_, &UpdateFlow::checkFoundUpdate, this, [this](const QString& version, bool userInitiated) {
    // The checks repeat every few hours; a version is told once, and not at
    // all when the user's own check prompted for it.
    if (version == knownVersion_) return;
    knownVersion_ = version;
    if (!userInitiated) notifyDesktop(settings_, texts::updateAvailableNotice(version.toStdString(), zh_));
  });
}

void UpdateNotifications::justUpdated() {
  notifyDesktop(settings_, texts::updatedNotice(updates_.currentVersion(), zh_));
}

}  // namespace qx::host
