#include "host/UpdateFlow.h"

#include <unistd.h>

#include <QDateTime>
#include <QLocale>
#include <chrono>
#include <fstream>
#include <iterator>
#include <utility>

#include "HostCore/UpdateRequest.h"
#include "host/HostController.h"
#include "host/SettingsStore.h"
#include "host/UpdateTexts.h"
#include "signature/bundle_signature.h"

namespace qx::host {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr milliseconds firstCheckDelay{10'000};
constexpr milliseconds checkInterval{21'600'000};

std::optional<std::string> readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

}  // namespace

UpdateCheck updaterReport(const UpdaterOutput& run, const std::string& currentVersion, bool chinese) {
  if (run.launchError) return UpdateCheck(currentVersion, std::nullopt, false, *run.launchError);
  if (std::optional<UpdateCheck> report = UpdateCheck::decode(run.output)) return *report;
  return UpdateCheck(currentVersion, std::nullopt, false, texts::updaterReturnedNothing(run.status, chinese));
}

UpdateFlow::UpdateFlow(HostController& controller, Services services, std::optional<fs::path> cachesDirectory,
                       QObject* parent)
    : QObject(parent),
      controller_(controller),
      services_(std::move(services)),
      caches_(std::move(cachesDirectory)),
      currentVersion_(signature::installedVersion(controller.paths().bundle / "Contents/Info.plist")),
      self_(std::make_shared<UpdateFlow*>(this)) {
  connect(&controller_, &HostController::deviceUpdateRequested, this, &UpdateFlow::deviceRequestedUpdate);
  connect(&controller_, &HostController::autoCheckUpdatesChanged, this, &UpdateFlow::scheduleUpdateChecks);
}

UpdateFlow::~UpdateFlow() {
  if (updateTimer_) updateTimer_->cancel();
  disconnect(restartWhenStopped_);
}

fs::path UpdateFlow::downloadDirectory() const { return caches_ ? *caches_ / "com.quorvex.host/updates" : fs::path(); }

std::function<void()> UpdateFlow::weakly(std::function<void(UpdateFlow&)> work) {
  return [weak = std::weak_ptr<UpdateFlow*>(self_), work = std::move(work)] {
    if (auto self = weak.lock()) work(**self);
  };
}

void UpdateFlow::scheduleUpdateChecks() {
  if (updateTimer_) updateTimer_->cancel();
  updateTimer_.reset();
  // Leftovers of an earlier attempt go at every launch, but never from under
  // a running install.
  if (!updatePhase_.busy()) {
    std::error_code ignored;
    if (caches_) fs::remove_all(downloadDirectory(), ignored);
    removeReplacementLeftovers(services_.files, controller_.paths().bundle);
  }
  if (!services_.settings.autoCheckUpdates()) return;
  services_.scheduler.after(firstCheckDelay, weakly([](UpdateFlow& flow) { flow.checkForUpdates(false); }));
  updateTimer_ =
      services_.scheduler.every(checkInterval, weakly([](UpdateFlow& flow) { flow.checkForUpdates(false); }));
}

void UpdateFlow::checkForUpdates(bool userInitiated) {
  const UpdatePhase& phase = updatePhase_;
  if (phase.busy() || phase.state == UpdatePhase::Case::checking) return;
  setUpdatePhase(UpdatePhase::checking());
  runUpdateCommand({"check"}, [weak = std::weak_ptr<UpdateFlow*>(self_), userInitiated](UpdateCheck report) {
    if (auto self = weak.lock()) (*self)->checkEnded(userInitiated, std::move(report));
  });
}

void UpdateFlow::checkEnded(bool userInitiated, UpdateCheck report) {
  // Also when an install started meanwhile: the check's own phase ends here.
  setUpdatePhase(UpdatePhase::idle());
  const bool zh = controller_.chinese();
  if (report.error) {
    services_.systemLog.write("Quorvex Host: update check failed: " + *report.error);
    if (userInitiated)
      services_.alerts.show({texts::checkFailedTitle(zh), *report.error, {texts::alertOK(zh)}, {}, true});
    return;
  }
  const bool available = report.available;
  const std::optional<std::string> latest = report.latest;
  setUpdate(std::move(report));
  setLastUpdateCheck(services_.wallClock.now());
  if (available && latest) emit checkFoundUpdate(QString::fromStdString(*latest), userInitiated);
  if (!userInitiated) return;
  if (available) {
    promptUpdate();
    return;
  }
  services_.alerts.show({texts::upToDateTitle(zh), texts::upToDateText(currentVersion_, zh), {texts::alertOK(zh)}, {}});
}

void UpdateFlow::runUpdateCommand(std::vector<std::string> arguments, std::function<void(UpdateCheck)> done) {
  arguments.insert(arguments.begin(), "update");
  if (std::optional<std::string> url = services_.settings.updateURLOverride()) {
    arguments.push_back("--url");
    arguments.push_back(*url);
  }
  std::string program = (controller_.paths().macOSDir / "quorvex-webrtc-server").string();
  // Only copies go to the worker; the answer comes back as a plain value.
  services_.background.run([command = services_.runUpdater, program = std::move(program),
                            arguments = std::move(arguments), current = currentVersion_, zh = controller_.chinese(),
                            done = std::move(done)]() mutable -> BackgroundWork::Continuation {
    UpdateCheck report = updaterReport(command(program, arguments), current, zh);
    return [done = std::move(done), report = std::move(report)]() mutable { done(std::move(report)); };
  });
}

void UpdateFlow::promptUpdate() {
  const std::optional<UpdateCheck> update = availableUpdate();
  if (!update || !update->latest) return;
  if (updatePhase_.busy()) return;
  const bool zh = controller_.chinese();
  std::string text = texts::updatePromptText(currentVersion_, zh);
  if (std::optional<std::string> releaseNotes = notes(*update, zh)) text += "\n\n" + *releaseNotes;
  const Alerts::Answer answer = services_.alerts.show(
      {texts::updatePromptTitle(*update->latest, zh), text, {texts::updateButton(zh), texts::laterButton(zh)}, {}});
  if (answer.button == 0) installUpdate();
}

void UpdateFlow::installUpdate() {
  if (updatePhase_.busy()) return;
  const fs::path bundle = controller_.paths().bundle;
  const fs::path parent = bundle.parent_path();
  if (bundle.extension() != ".app" || ::access(parent.c_str(), W_OK) != 0) {
    setUpdatePhase(UpdatePhase::failed(texts::folderNotWritable(controller_.chinese())));
    return;
  }
  if (!caches_) {
    setUpdatePhase(UpdatePhase::failed(texts::noCachesFolder(controller_.chinese())));
    return;
  }
  const std::optional<UpdateCheck> known = availableUpdate();
  setUpdatePhase(UpdatePhase::downloading(known && known->latest ? *known->latest : std::string()));
  runUpdateCommand({"download", "--dir", downloadDirectory().string()},
                   [weak = std::weak_ptr<UpdateFlow*>(self_)](UpdateCheck result) {
                     if (auto self = weak.lock()) (*self)->downloaded(std::move(result));
                   });
}

void UpdateFlow::downloaded(UpdateCheck result) {
  if (result.error) {
    updateFailed(*result.error);
    return;
  }
  if (!result.path || !result.latest) {
    updateFailed(texts::downloadReturnedNoApp(controller_.chinese()));
    return;
  }
  setUpdate(result);
  // The copy beside the bundle is what gets verified and then installed, so a
  // change to the download after this point cannot reach the bundle.
  fs::path app = *result.path;
  std::string version = *result.latest;
  services_.background.run([verify = services_.verify, &files = services_.files, bundle = controller_.paths().bundle,
                            app = std::move(app), version = std::move(version), zh = controller_.chinese(),
                            weak = std::weak_ptr<UpdateFlow*>(self_),
                            result = std::move(result)]() mutable -> BackgroundWork::Continuation {
    std::optional<std::string> verdict;
    if (std::error_code ec = stageBundle(files, bundle, app)) {
      verdict = texts::replaceFailed(zh) + ec.message();
    } else if ((verdict = verify(stagedBundlePath(bundle), version))) {
      files.removeAll(stagedBundlePath(bundle));
    }
    return [weak = std::move(weak), result = std::move(result), verdict = std::move(verdict)] {
      if (auto self = weak.lock()) (*self)->verified(result, verdict);
    };
  });
}

void UpdateFlow::verified(const UpdateCheck& result, const std::optional<std::string>& verdict) {
  if (verdict) {
    updateFailed(*verdict);
    return;
  }
  setUpdatePhase(UpdatePhase::installing(*result.latest));
  // The server's files are about to change under it.
  controller_.stopAndWait();
  if (std::error_code ec = installStagedBundle(services_.files, controller_.paths().bundle)) {
    updateFailed(texts::replaceFailed(controller_.chinese()) + ec.message());
    startServerAgain();
    return;
  }
  services_.systemLog.write("Quorvex Host: updated to " + *result.latest + "; relaunching");
  controller_.relaunchUpdated();
}

void UpdateFlow::updateFailed(const std::string& message) {
  services_.systemLog.write("Quorvex Host: update failed: " + message);
  setUpdatePhase(UpdatePhase::failed(message));
}

void UpdateFlow::startServerAgain() {
  // After stopAndWait the controller still holds the stopped server until
  // its end notice is handled; a start before that would do nothing.
  if (!controller_.runState().is<RunState::Running>()) {
    controller_.start();
    return;
  }
  disconnect(restartWhenStopped_);
  restartWhenStopped_ = connect(&controller_, &HostController::runStateChanged, this, [this] {
    if (controller_.runState().is<RunState::Running>()) return;
    disconnect(restartWhenStopped_);
    // Not from inside the controller's own state change.
    services_.scheduler.post(weakly([](UpdateFlow& flow) { flow.controller_.start(); }));
  });
}

void UpdateFlow::deviceRequestedUpdate() {
  if (!caches_) return;
  const fs::path file = UpdateRequest::url(*caches_);
  const std::optional<std::string> bytes = readFile(file);
  if (!bytes) return;
  std::error_code ignored;
  fs::remove(file, ignored);
  const double now = std::chrono::duration<double>(services_.wallClock.now().time_since_epoch()).count();
  const std::optional<std::string> version = UpdateRequest::version(*bytes, now);
  if (!version) return;
  services_.systemLog.write("Quorvex Host: a device asked to install " + *version);
  installUpdate();
}

std::optional<UpdateCheck> UpdateFlow::availableUpdate() const {
  if (update_ && update_->available) return update_;
  return std::nullopt;
}

std::string UpdateFlow::currentVersion() const { return currentVersion_; }

std::string UpdateFlow::updateSummary() const {
  return host::updateSummary(updatePhase_, availableUpdate(), lastUpdateCheck_, controller_.chinese());
}

std::string updateSummary(const UpdatePhase& phase, const std::optional<UpdateCheck>& available,
                          const std::optional<WallTime>& lastCheck, bool zh) {
  switch (phase.state) {
    case UpdatePhase::Case::failed: return texts::summaryFailed(phase.text, zh);
    case UpdatePhase::Case::checking: return texts::summaryChecking(zh);
    case UpdatePhase::Case::downloading: return texts::summaryDownloading(phase.text, zh);
    case UpdatePhase::Case::installing: return texts::summaryInstalling(phase.text, zh);
    case UpdatePhase::Case::idle: break;
  }
  if (available && available->latest) return texts::summaryAvailable(*available->latest, zh);
  if (lastCheck) {
    const auto ms = std::chrono::duration_cast<milliseconds>(lastCheck->time_since_epoch()).count();
    const QTime time = QDateTime::fromMSecsSinceEpoch(ms).time();
    return texts::summaryUpToDate(QLocale::system().toString(time, QLocale::ShortFormat).toStdString(), zh);
  }
  return texts::summaryNotChecked(zh);
}

void UpdateFlow::setUpdate(std::optional<UpdateCheck> update) {
  update_ = std::move(update);
  emit updateChanged();
}

void UpdateFlow::setUpdatePhase(UpdatePhase phase) {
  updatePhase_ = std::move(phase);
  emit updatePhaseChanged();
}

void UpdateFlow::setLastUpdateCheck(std::optional<WallTime> at) {
  lastUpdateCheck_ = at;
  emit lastUpdateCheckChanged();
}

}  // namespace qx::host
