#pragma once

// Desktop notifications through org.freedesktop.Notifications on the session
// bus, for what a user should learn without opening the menu: a device that
// connects for the first time since start, a server that keeps stopping. The
// "showNotifications" preference turns them off; without a notification
// service (running or startable by the bus) nothing is sent. Main thread only.

#include <QObject>
#include <string>

#include "host/HostServices.h"

namespace qx::host {

class HostController;
class SettingsStore;

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

}  // namespace qx::host
