#pragma once

// The host keeps itself up to date through the media server's updater
// commands: scheduled and on-demand checks, the prompt, the download, the
// signature and version check, the replacement of the running bundle and the
// relaunch, and installs that a connected device asks for. Owns and publishes
// the update state (`update`, `updatePhase`, `lastUpdateCheck`): each
// assignment emits its change signal, also when the value is equal.
// Main thread only; the updater run and the verification run off it, through
// `BackgroundWork`, and only plain values cross.

#include <QObject>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HostCore/UpdateCheck.h"
#include "host/BundleReplacement.h"
#include "host/HostServices.h"
#include "host/UpdatePhase.h"
#include "host/UpdateServices.h"

namespace qx::host {

class HostController;
class SettingsStore;

// The report one updater run stands for: its decoded output, or, when it
// could not be launched or printed no report, one made up with `current`,
// `available` false and the error.
UpdateCheck updaterReport(const UpdaterOutput& run, const std::string& currentVersion, bool chinese);

// The settings window's line for the update state: the phase when not idle,
// else the offered version, else the time of the last check.
std::string updateSummary(const UpdatePhase& phase, const std::optional<UpdateCheck>& available,
                          const std::optional<WallTime>& lastCheck, bool chinese);

class UpdateFlow : public QObject {
  Q_OBJECT

 public:
  // Every service must outlive the flow, except what the background work
  // carries: the updater command and the verifier are copied into it, and
  // `files`, used there to copy the download, must outlive the background
  // work too.
  struct Services {
    Scheduler& scheduler;
    WallClock& wallClock;
    BackgroundWork& background;
    UpdaterCommand runUpdater;
    BundleVerifier verify;
    Alerts& alerts;
    SystemLog& systemLog;
    BundleFiles& files;
    SettingsStore& settings;
  };

  // `cachesDirectory` holds the download directory and the device request
  // file; production passes UpdateRequest::cachesDirectory, the rule the
  // server writes requests by. Without one, installing fails with a message
  // and device requests are not read. The running bundle's version is read
  // here, once. Device requests the controller reports are handled from
  // construction on.
  UpdateFlow(HostController& controller, Services services, std::optional<std::filesystem::path> cachesDirectory,
             QObject* parent = nullptr);
  ~UpdateFlow() override;

  void scheduleUpdateChecks();
  void checkForUpdates(bool userInitiated);
  void promptUpdate();
  void installUpdate();
  void deviceRequestedUpdate();

  // The last report of a check or download; none before the first.
  const std::optional<UpdateCheck>& update() const { return update_; }
  const UpdatePhase& updatePhase() const { return updatePhase_; }
  const std::optional<WallTime>& lastUpdateCheck() const { return lastUpdateCheck_; }
  // `update` when it says an update is available.
  std::optional<UpdateCheck> availableUpdate() const;
  // The running bundle's CFBundleShortVersionString, or "dev".
  std::string currentVersion() const;
  // One line for the settings window.
  std::string updateSummary() const;

  // Where downloads go: the caches + "com.quorvex.host/updates"; empty
  // without a caches folder.
  std::filesystem::path downloadDirectory() const;

 signals:
  void updateChanged();
  void updatePhaseChanged();
  void lastUpdateCheckChanged();
  // A check found `version` available; emitted at every such check, after
  // `update` was published and before a check the user started prompts.
  void checkFoundUpdate(const QString& version, bool userInitiated);

 private:
  void setUpdate(std::optional<UpdateCheck> update);
  void setUpdatePhase(UpdatePhase phase);
  void setLastUpdateCheck(std::optional<WallTime> at);
  void runUpdateCommand(std::vector<std::string> arguments, std::function<void(UpdateCheck)> done);
  void checkEnded(bool userInitiated, UpdateCheck report);
  void downloaded(UpdateCheck result);
  void verified(const UpdateCheck& result, const std::optional<std::string>& verdict);
  void updateFailed(const std::string& message);
  void startServerAgain();
  // Runs `work` on this flow later, unless it is gone by then.
  std::function<void()> weakly(std::function<void(UpdateFlow&)> work);

  HostController& controller_;
  Services services_;
  std::optional<std::filesystem::path> caches_;
  std::string currentVersion_;
  std::optional<UpdateCheck> update_;
  UpdatePhase updatePhase_;
  std::optional<WallTime> lastUpdateCheck_;
  std::shared_ptr<ScheduledWork> updateTimer_;
  QMetaObject::Connection restartWhenStopped_;
  // Callbacks hold this weakly and do nothing once the flow is gone.
  std::shared_ptr<UpdateFlow*> self_;
};

}  // namespace qx::host
