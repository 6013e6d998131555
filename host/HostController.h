#pragma once

// The one object of the tray application that owns the media server: launches
// it with the user's settings and token, feeds its output to the host log and
// the scanner, restarts it with back-off when it ends on its own, stops it on
// request and at exit, and polls permissions and addresses every 2 s.
//
// Confined to the main thread. Every published property has a change signal
// that is emitted on every assignment, also when the value is equal; views
// re-render from the current values. All services come in through
// `Services`, so tests drive it with fakes and a manual clock.

#include <QObject>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HostCore/HostOutputScanner.h"
#include "HostCore/HostSettings.h"
#include "HostCore/LocalAddress.h"
#include "HostCore/RestartBackoff.h"
#include "HostCore/UpdateCheck.h"
#include "host/HostServices.h"
#include "host/RunState.h"
#include "host/UpdatePhase.h"

namespace qx::host {

class OutputSink;
class SettingsStore;
class TokenStore;

// `^` + `serverPath` with every extended-regex metacharacter escaped +
// " --listen": matches a supervised server of this bundle, never an updater
// run of the same executable.
std::string strayServerPattern(const std::string& serverPath);

// The shell script behind `relaunchApp`: waits until process `$1` has ended,
// then one more second, then starts the bundle `$0`'s QuorvexHost. A bundle
// missing at that point was moved aside by an update that could not swap it
// atomically; the moved copy is put back first.
inline constexpr const char* relaunchScript =
    "while kill -0 \"$1\" 2>/dev/null; do sleep 0.1; done; sleep 1; "
    "[ -e \"$0\" ] || mv \"${0%/*}/.Quorvex Host.app.old\" \"$0\"; exec \"$0/Contents/MacOS/QuorvexHost\"";

class HostController : public QObject {
  Q_OBJECT
  Q_PROPERTY(qx::host::RunState runState READ runState NOTIFY runStateChanged)
  Q_PROPERTY(std::optional<qx::HostOutputScanner::Problem> problem READ problem NOTIFY problemChanged)
  Q_PROPERTY(qint64 connectedClients READ connectedClients NOTIFY connectedClientsChanged)
  Q_PROPERTY(bool screenRecording READ screenRecording NOTIFY screenRecordingChanged)
  Q_PROPERTY(bool accessibility READ accessibility NOTIFY accessibilityChanged)
  Q_PROPERTY(std::vector<qx::LocalAddress> addresses READ addresses NOTIFY addressesChanged)
  Q_PROPERTY(bool loginItemEnabled READ loginItemEnabled NOTIFY loginItemEnabledChanged)
  Q_PROPERTY(qx::HostSettings settings READ settings NOTIFY settingsChanged)
  Q_PROPERTY(std::optional<qx::UpdateCheck> update READ update NOTIFY updateChanged)
  Q_PROPERTY(qx::host::UpdatePhase updatePhase READ updatePhase NOTIFY updatePhaseChanged)
  Q_PROPERTY(std::optional<qx::host::WallTime> lastUpdateCheck READ lastUpdateCheck NOTIFY lastUpdateCheckChanged)

 public:
  using Problem = HostOutputScanner::Problem;

  struct Services {
    TimeSource& clock;
    Scheduler& scheduler;
    ProcessLauncher& launcher;
    SettingsStore& settings;
    TokenStore& tokens;
    PermissionProbe& permissions;
    AddressSource addresses;
    FileOpener openFile;
    // The login item; null reads as not registered.
    LoginItemService* loginItem = nullptr;
    // System-log lines; may be null.
    SystemLog* systemLog = nullptr;
    // Ends the application (its quit path runs stopAndWait).
    std::function<void()> quitApplication;
  };

  struct Paths {
    std::filesystem::path macOSDir;  // holds quorvex-webrtc-server and quorvex-screencap
    std::filesystem::path bundle;    // the "... .app" directory
    std::filesystem::path log;       // the host log
  };

  struct Identity {
    HostLaunch::Environment environment;  // the server's base environment
    std::int64_t pid = 0;                 // this process, for the relaunch
    std::uint32_t uid = 0;                // this user, for the stray-server sweep
    bool chinese = false;                 // language of every text
  };

  HostController(Services services, Paths paths, Identity identity, QObject* parent = nullptr);
  ~HostController() override;

  void start();
  void stop();
  void stopAndWait();
  void restart();
  void refresh();
  void openLog();
  void relaunchApp();
  // Registers or unregisters the login item, logs a failure, and publishes
  // what the desktop reports afterwards (not what was asked).
  void setLoginItem(bool on);

  const RunState& runState() const { return runState_; }
  std::optional<Problem> problem() const { return problem_; }
  qint64 connectedClients() const { return connectedClients_; }
  bool screenRecording() const { return screenRecording_; }
  bool accessibility() const { return accessibility_; }
  const std::vector<LocalAddress>& addresses() const { return addresses_; }
  bool loginItemEnabled() const { return loginItemEnabled_; }
  const HostSettings& settings() const { return settings_; }
  const std::optional<UpdateCheck>& update() const { return update_; }
  const UpdatePhase& updatePhase() const { return updatePhase_; }
  const std::optional<WallTime>& lastUpdateCheck() const { return lastUpdateCheck_; }

  const Paths& paths() const { return paths_; }
  bool chinese() const { return identity_.chinese; }

  // Publishers for the flows built on the controller (settings window, update
  // flow, login item); each emits its change signal.
  void setSettings(HostSettings settings);
  void setLoginItemEnabled(bool enabled);
  void setUpdate(std::optional<UpdateCheck> update);
  void setUpdatePhase(UpdatePhase phase);
  void setLastUpdateCheck(std::optional<WallTime> at);

 signals:
  void runStateChanged();
  void problemChanged();
  void connectedClientsChanged();
  void screenRecordingChanged();
  void accessibilityChanged();
  void addressesChanged();
  void loginItemEnabledChanged();
  void settingsChanged();
  void updateChanged();
  void updatePhaseChanged();
  void lastUpdateCheckChanged();
  // The server printed a device's install request; the update flow reads the
  // request file itself.
  void deviceUpdateRequested();

 private:
  void killStrayHosts();
  void handle(const std::string& line);
  void hostExited(ServerProcess& ended, ProcessEnd end);
  void cancelRestart();
  void setRunState(RunState state);
  void setProblem(std::optional<Problem> problem);
  void setConnectedClients(qint64 count);
  std::filesystem::path serverPath() const;

  Services services_;
  Paths paths_;
  Identity identity_;

  RunState runState_;
  std::optional<Problem> problem_;
  qint64 connectedClients_ = 0;
  bool screenRecording_ = false;
  bool accessibility_ = false;
  std::vector<LocalAddress> addresses_;
  bool loginItemEnabled_ = false;
  HostSettings settings_;
  std::optional<UpdateCheck> update_;
  UpdatePhase updatePhase_;
  std::optional<WallTime> lastUpdateCheck_;

  std::shared_ptr<ServerProcess> process_;
  std::shared_ptr<OutputSink> sink_;
  TimePoint startedAt_;
  RestartBackoff backoff_;
  std::shared_ptr<ScheduledWork> restartWork_;
  bool stopping_ = false;
  bool startAfterStop_ = false;
  HostOutputScanner scanner_;
  std::shared_ptr<ScheduledWork> pollTimer_;
  // Callbacks hold this weakly and do nothing once the controller is gone.
  std::shared_ptr<HostController*> self_;
};

}  // namespace qx::host
