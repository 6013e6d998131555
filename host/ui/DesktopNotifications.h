#pragma once

// Desktop notifications through org.freedesktop.Notifications on the session
// bus, for what a user should learn without opening the menu: a device that
// connects for the first time since start, a server that keeps stopping, an
// update that is available or was installed. The
// "showNotifications" preference turns them off; without a notification
// service (running or startable by the bus) nothing is sent. Main thread only.

#include <QObject>
#include <string>

#include "host/HostServices.h"

namespace qx::host {

class HostController;
class SettingsStore;
class UpdateFlow;

// Sends one notification, if the preference allows and a service is there.
// Returns whether it was sent.
bool notifyDesktop(const SettingsStore& settings, const std::string& text);

// Watches the controller and notifies its events.
class ControllerNotifications : public QObject {
  Q_OBJECT

 public:
  ControllerNotifications(HostController& host, const SettingsStore& settings, TimeSource& clock,
                          QObject* parent = nullptr);

  // The restart in a row that is reported.
  static constexpr int failingRestart = 3;

 private:
  void runStateChanged();

  HostController& host_;
  const SettingsStore& settings_;
  TimeSource& clock_;
  bool deviceSeen_ = false;
  int restartsInARow_ = 0;
  TimePoint runningSince_{};
};

// Tells of updates: a version a scheduled check found, once per version (a
// check the user started answers with its own prompt), and, at the start that
// follows an install, the version now running.
class UpdateNotifications : public QObject {
  Q_OBJECT

 public:
  UpdateNotifications(UpdateFlow& updates, const SettingsStore& settings, bool chinese, QObject* parent = nullptr);

  // This process is the relaunch after an installed update.
  void justUpdated();

 private:
  UpdateFlow& updates_;
  const SettingsStore& settings_;
  bool zh_ = false;
  QString knownVersion_;  // the last version found, told or prompted for
};

}  // namespace qx::host
