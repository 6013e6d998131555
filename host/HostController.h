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
#include "host/HostServices.h"
#include "host/RunState.h"
#include "host/TokenStore.h"

namespace qx::host {

class OutputSink;
class SettingsStore;

// What the settings window edits, and what its Save hands back.
struct SettingsEdit {
  HostSettings settings;
  // Absent: keep the stored token (it could not be read and the field was not
  // edited). Spaces and tabs around it are dropped when it is stored.
  std::optional<std::string> token;
  bool loginItem = false;
  bool autoCheckUpdates = true;
  bool showNotifications = true;
};

// `^` + `serverPath` with every extended-regex metacharacter escaped +
// " --listen": matches a supervised server of this bundle, never an updater
// run of the same executable.
std::string strayServerPattern(const std::string& serverPath);

// The shell script behind `relaunchApp`: waits until process `$1` has ended,
// then one more second, then starts the bundle `$0`'s QuorvexHost with the
// arguments after `$1`. A bundle missing at that point was moved aside by an
// update that could not swap it atomically; the moved copy is put back first.
inline constexpr const char* relaunchScript =
    "while kill -0 \"$1\" 2>/dev/null; do sleep 0.1; done; sleep 1; shift; "
    "[ -e \"$0\" ] || mv \"${0%/*}/.Quorvex Host.app.old\" \"$0\"; exec \"$0/Contents/MacOS/QuorvexHost\" \"$@\"";

// What the relaunch after an installed update passes, so the new process can
// say which version now runs.
inline constexpr const char* updatedArgument = "--updated";

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

  // Reads the token (asynchronously) and launches the server when it comes.
  // While that read is outstanding runState stays as it was and a second
  // start does nothing; stop, stopAndWait and restart drop the launch.
  void start();
  void stop();
  void stopAndWait();
  void restart();
  void refresh();
  void openLog();
  void relaunchApp();
  // The same, after an update was installed: the new process gets `updatedArgument`.
  void relaunchUpdated();
  // Registers or unregisters the login item, logs a failure, and publishes
  // what the desktop reports afterwards (not what was asked).
  void setLoginItem(bool on);

  // The settings window's starting point: the published settings, the login
  // item (proposed at a first setup) and the update-check switch. The token
  // is absent; readToken brings it.
  SettingsEdit settingsEdit() const;
  // The stored token for the settings window; `done` runs on the main thread,
  // possibly inside this call.
  void readToken(std::function<void(TokenRead)> done);
  // Save, in this order: publishes and stores the settings, stores the token
  // (before the restart below reads it), sets the login item, stores the
  // update-check switch and, when it changed, emits autoCheckUpdatesChanged,
  // then restarts the server. Refuses (false) a listen address without a
  // usable port.
  bool applySettings(SettingsEdit edit);

  const RunState& runState() const { return runState_; }
  std::optional<Problem> problem() const { return problem_; }
  qint64 connectedClients() const { return connectedClients_; }
  bool screenRecording() const { return screenRecording_; }
  bool accessibility() const { return accessibility_; }
  const std::vector<LocalAddress>& addresses() const { return addresses_; }
  bool loginItemEnabled() const { return loginItemEnabled_; }
  const HostSettings& settings() const { return settings_; }

  const Paths& paths() const { return paths_; }
  bool chinese() const { return identity_.chinese; }

 signals:
  void runStateChanged();
  void problemChanged();
  void connectedClientsChanged();
  void screenRecordingChanged();
  void accessibilityChanged();
  void addressesChanged();
  void loginItemEnabledChanged();
  void settingsChanged();
  // A Save switched automatic update checks; the update flow reschedules them.
  void autoCheckUpdatesChanged();
  // The server printed a device's install request; the update flow reads the
  // request file itself.
  void deviceUpdateRequested();

 private:
  void relaunch(const std::vector<std::string>& arguments);
  void killStrayHosts();
  void handle(const std::string& line);
  void hostExited(ServerProcess& ended, ProcessEnd end);
  void tokenRead(std::uint64_t serial, TokenRead read);
  void launchServer(const std::string& token);
  void scheduleStart(std::chrono::milliseconds delay);
  void cancelRestart();
  void setRunState(RunState state);
  void setProblem(std::optional<Problem> problem);
  void setConnectedClients(qint64 count);
  void setSettings(HostSettings settings);
  void setLoginItemEnabled(bool enabled);
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

  std::shared_ptr<ServerProcess> process_;
  std::shared_ptr<OutputSink> sink_;
  TimePoint startedAt_;
  RestartBackoff backoff_;
  std::shared_ptr<ScheduledWork> restartWork_;
  bool stopping_ = false;
  bool startAfterStop_ = false;
  // The launch waiting for its token read (0: none); a newer number, or 0,
  // makes an earlier read's answer do nothing.
  std::uint64_t pendingLaunch_ = 0;
  std::uint64_t launches_ = 0;
  // Retries of a keyring that did not answer; apart from the server's own
  // back-off, which counts crashes.
  RestartBackoff keyringBackoff_;
  HostOutputScanner scanner_;
  std::shared_ptr<ScheduledWork> pollTimer_;
  // Callbacks hold this weakly and do nothing once the controller is gone.
  std::shared_ptr<HostController*> self_;
};

}  // namespace qx::host
