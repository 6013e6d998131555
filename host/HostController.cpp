#include "host/HostController.h"

#include <unistd.h>

#include <chrono>
#include <string_view>
#include <utility>

#include "HostCore/HostLaunch.h"
#include "host/HostTexts.h"
#include "host/MenuTexts.h"
#include "host/OutputSink.h"
#include "host/SettingsStore.h"
#include "host/TokenStore.h"

namespace qx::host {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds pollInterval{2000};
constexpr milliseconds killCheckDelay{3000};
constexpr milliseconds stopAndWaitStep{100};
constexpr int stopAndWaitSteps = 20;

bool isExecutableFile(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string strayServerPattern(const std::string& serverPath) {
  static constexpr std::string_view metacharacters = "\\^$.|?*+()[]{}";
  std::string pattern = "^";
  for (char c : serverPath) {
    if (metacharacters.find(c) != std::string_view::npos) pattern += '\\';
    pattern += c;
  }
  return pattern + " --listen";
}

HostController::HostController(Services services, Paths paths, Identity identity, QObject* parent)
    : QObject(parent),
      services_(std::move(services)),
      paths_(std::move(paths)),
      identity_(std::move(identity)),
      screenRecording_(services_.permissions.screenRecording()),
      accessibility_(services_.permissions.accessibility()),
      addresses_(services_.addresses ? services_.addresses() : std::vector<LocalAddress>{}),
      loginItemEnabled_(services_.loginItem && services_.loginItem->enabled()),
      settings_(services_.settings.load()),
      startedAt_(services_.clock.now()),
      self_(std::make_shared<HostController*>(this)) {
  std::weak_ptr<HostController*> weak = self_;
  pollTimer_ = services_.scheduler.every(pollInterval, [weak] {
    if (auto self = weak.lock()) (*self)->refresh();
  });
}

HostController::~HostController() {
  if (pollTimer_) pollTimer_->cancel();
  cancelRestart();
}

std::filesystem::path HostController::serverPath() const { return paths_.macOSDir / "quorvex-webrtc-server"; }

void HostController::cancelRestart() {
  if (restartWork_) restartWork_->cancel();
}

void HostController::start() {
  if (process_ || pendingLaunch_ != 0) return;
  cancelRestart();
  restartWork_.reset();

  if (!services_.settings.configured()) {
    setRunState(RunState::notConfigured());
    return;
  }
  const std::filesystem::path server = serverPath();
  if (!isExecutableFile(server)) {
    setRunState(RunState::failed(texts::incompleteInstall(identity_.chinese)));
    return;
  }
  const std::string screencap = (paths_.macOSDir / "quorvex-screencap").string();
  if (!HostLaunch::isQuotable(screencap)) {
    // The capture command could not carry this path to the helper intact.
    setRunState(RunState::failed(texts::unquotableInstallPath(identity_.chinese)));
    return;
  }
  const std::uint64_t serial = ++launches_;
  pendingLaunch_ = serial;
  std::weak_ptr<HostController*> weak = self_;
  services_.tokens.load([weak, serial](TokenRead read) {
    if (auto self = weak.lock()) (*self)->tokenRead(serial, std::move(read));
  });
}

void HostController::tokenRead(std::uint64_t serial, TokenRead read) {
  if (serial != pendingLaunch_) return;  // dropped by stop or restart
  pendingLaunch_ = 0;
  if (read.token) {
    keyringBackoff_.reset();
    launchServer(*read.token);
    return;
  }
  // A keyring that cannot be read must not start an unprotected server.
  setRunState(RunState::failed(read.refused ? texts::keyringLocked(identity_.chinese)
                                            : texts::keyringUnreadable(identity_.chinese)));
  // A prompt the user dismissed is not shown again unasked (Restart Service or
  // Save do); a keyring that did not answer may appear later in the session.
  if (read.refused) return;
  const double delay = keyringBackoff_.nextDelay(0);
  scheduleStart(milliseconds(static_cast<std::int64_t>(delay * 1000.0)));
}

void HostController::scheduleStart(milliseconds delay) {
  std::weak_ptr<HostController*> weak = self_;
  restartWork_ = services_.scheduler.after(delay, [weak] {
    if (auto self = weak.lock()) (*self)->start();
  });
}

void HostController::launchServer(const std::string& token) {
  const std::filesystem::path server = serverPath();
  const std::string screencap = (paths_.macOSDir / "quorvex-screencap").string();
  killStrayHosts();

  std::optional<std::string> updateURL = std::string();
  if (services_.settings.autoCheckUpdates()) updateURL = services_.settings.updateURLOverride();
  LaunchRequest request;
  request.program = server.string();
  request.arguments = HostLaunch::arguments(settings_, screencap, updateURL, services_.settings.ltr());
  request.environment = HostLaunch::environment(identity_.environment, token);

  std::weak_ptr<HostController*> weak = self_;
  Scheduler& scheduler = services_.scheduler;
  auto sink = std::make_shared<OutputSink>(paths_.log, [weak, &scheduler](const std::string& line) {
    scheduler.post([weak, line] {
      if (auto self = weak.lock()) (*self)->handle(line);
    });
  });
  ProcessLauncher::Callbacks callbacks;
  callbacks.output = [sink](std::string_view bytes) { sink->consume(bytes); };
  callbacks.outputEnded = [sink] { sink->close(); };
  callbacks.ended = [weak](ServerProcess& ended, ProcessEnd end) {
    if (auto self = weak.lock()) (*self)->hostExited(ended, end);
  };

  ProcessLauncher::LaunchResult result = services_.launcher.launch(request, std::move(callbacks));
  if (auto* error = std::get_if<std::string>(&result)) {
    setRunState(RunState::failed(*error));
    return;
  }
  process_ = std::get<std::shared_ptr<ServerProcess>>(std::move(result));
  sink_ = std::move(sink);
  startedAt_ = services_.clock.now();
  scanner_.hostStarted();
  setProblem(std::nullopt);
  setConnectedClients(0);
  setRunState(RunState::running());
}

void HostController::killStrayHosts() {
  services_.launcher.runAndWait("pkill",
                                {"-U", std::to_string(identity_.uid), "-f", strayServerPattern(serverPath().string())});
}

void HostController::handle(const std::string& line) {
  if (!scanner_.scan(line)) return;
  setProblem(scanner_.problem());
  setConnectedClients(scanner_.connectedClients());
  if (scanner_.takeUpdateRequest()) emit deviceUpdateRequested();
}

void HostController::hostExited(ServerProcess& ended, ProcessEnd end) {
  if (!process_ || process_.get() != &ended) return;
  process_.reset();
  sink_.reset();
  setConnectedClients(0);

  if (stopping_) {
    stopping_ = false;
    setRunState(RunState::stopped());
    if (startAfterStop_) {
      startAfterStop_ = false;
      start();
    }
    return;
  }

  const std::string lastExit = texts::processEnd(end, identity_.chinese);
  const double ranFor = Seconds(services_.clock.now() - startedAt_).count();
  const double delay = backoff_.nextDelay(ranFor);
  const auto delayMs = milliseconds(static_cast<std::int64_t>(delay * 1000.0));
  setRunState(RunState::waiting(services_.clock.now() + delayMs, lastExit));
  scheduleStart(delayMs);
}

void HostController::stop() {
  cancelRestart();
  restartWork_.reset();
  pendingLaunch_ = 0;
  if (process_ && process_->isRunning()) {
    stopping_ = true;
    process_->terminate();
    services_.scheduler.after(killCheckDelay, [process = process_] {
      if (process->isRunning()) process->kill();
    });
    return;
  }
  setRunState(RunState::stopped());
}

void HostController::stopAndWait() {
  cancelRestart();
  pendingLaunch_ = 0;
  if (!process_ || !process_->isRunning()) return;
  stopping_ = true;
  process_->terminate();
  for (int i = 0; i < stopAndWaitSteps && process_->isRunning(); ++i) process_->waitForFinished(stopAndWaitStep);
  if (process_->isRunning()) process_->kill();
}

void HostController::restart() {
  backoff_.reset();
  keyringBackoff_.reset();
  if (process_ && process_->isRunning()) {
    startAfterStop_ = true;
    stop();
    return;
  }
  // A read begun earlier may have been queued before a token Save just wrote.
  pendingLaunch_ = 0;
  start();
}

void HostController::refresh() {
  screenRecording_ = services_.permissions.screenRecording();
  emit screenRecordingChanged();
  accessibility_ = services_.permissions.accessibility();
  emit accessibilityChanged();
  if (!services_.addresses) return;
  std::vector<LocalAddress> current = services_.addresses();
  if (current != addresses_) {
    addresses_ = std::move(current);
    emit addressesChanged();
  }
}

void HostController::openLog() {
  if (services_.openFile) services_.openFile(paths_.log.string());
}

void HostController::relaunchApp() { relaunch({}); }

void HostController::relaunchUpdated() { relaunch({updatedArgument}); }

void HostController::relaunch(const std::vector<std::string>& arguments) {
  std::vector<std::string> script = {"-c", relaunchScript, paths_.bundle.string(), std::to_string(identity_.pid)};
  script.insert(script.end(), arguments.begin(), arguments.end());
  services_.launcher.startDetached("/bin/sh", script);
  if (services_.quitApplication) services_.quitApplication();
}

void HostController::setLoginItem(bool on) {
  if (!services_.loginItem) return;
  if (auto error = services_.loginItem->setEnabled(on); error && services_.systemLog)
    services_.systemLog->write("Quorvex Host: login item " + std::string(on ? "register" : "unregister") +
                               " failed: " + *error);
  setLoginItemEnabled(services_.loginItem->enabled());
}

SettingsEdit HostController::settingsEdit() const {
  return {.settings = settings_,
          .token = std::nullopt,
          .loginItem = form::initialLoginItem(services_.settings.configured(), loginItemEnabled_),
          .autoCheckUpdates = services_.settings.autoCheckUpdates(),
          .showNotifications = services_.settings.showNotifications()};
}

void HostController::readToken(std::function<void(TokenRead)> done) { services_.tokens.load(std::move(done)); }

bool HostController::applySettings(SettingsEdit edit) {
  if (!form::listenValid(edit.settings)) return false;
  setSettings(edit.settings);
  services_.settings.save(edit.settings);
  if (edit.token) services_.tokens.save(form::trimSpacesAndTabs(*edit.token));
  setLoginItem(edit.loginItem);
  if (edit.autoCheckUpdates != services_.settings.autoCheckUpdates()) {
    services_.settings.setAutoCheckUpdates(edit.autoCheckUpdates);
    emit autoCheckUpdatesChanged();
  }
  services_.settings.setShowNotifications(edit.showNotifications);
  restart();
  return true;
}

void HostController::setRunState(RunState state) {
  runState_ = std::move(state);
  emit runStateChanged();
}

void HostController::setProblem(std::optional<Problem> problem) {
  problem_ = problem;
  emit problemChanged();
}

void HostController::setConnectedClients(qint64 count) {
  connectedClients_ = count;
  emit connectedClientsChanged();
}

void HostController::setSettings(HostSettings settings) {
  settings_ = std::move(settings);
  emit settingsChanged();
}

void HostController::setLoginItemEnabled(bool enabled) {
  loginItemEnabled_ = enabled;
  emit loginItemEnabledChanged();
}

}  // namespace qx::host
