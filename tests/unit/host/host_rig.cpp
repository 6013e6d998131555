#include "tests/unit/host/host_rig.h"

#include <sys/stat.h>

#include <filesystem>

#include "tests/support/process.h"

namespace qx::test {

namespace fs = std::filesystem;

// The outside calls, written to the rig's event log.
class HostRig::Recorder {
  HostRig& rig_;

 public:
  explicit Recorder(HostRig& rig) : rig_(rig) {}

  // Answers inside each call, like a keyring that is unlocked.
  struct Keyring final : host::Keyring {
    HostRig& rig;
    std::optional<std::string> item;
    bool failing = false;
    explicit Keyring(HostRig& r) : rig(r) {}
    void read(ReadDone done) override {
      if (failing) return done({Status::failed, {}});
      done(item ? ReadResult{Status::ok, *item} : ReadResult{Status::notFound, {}});
    }
    void write(const std::string& secret, Done done) override {
      rig.note("token '" + secret + "'");
      item = secret;
      done(Status::ok);
    }
    void remove(Done done) override {
      rig.note("token removed");
      item.reset();
      done(Status::ok);
    }
  };

  struct LoginItem final : host::LoginItemService {
    HostRig& rig;
    bool on = false;
    explicit LoginItem(HostRig& r) : rig(r) {}
    bool enabled() override { return on; }
    std::optional<std::string> setEnabled(bool value) override {
      rig.note(value ? "login item on" : "login item off");
      on = value;
      return std::nullopt;
    }
  };

  // Only the update checks repeat with hours between runs.
  struct Scheduler final : host::Scheduler {
    HostRig& rig;
    explicit Scheduler(HostRig& r) : rig(r) {}
    std::shared_ptr<host::ScheduledWork> after(std::chrono::milliseconds delay, std::function<void()> work) override {
      return rig.clock.after(delay, std::move(work));
    }
    std::shared_ptr<host::ScheduledWork> every(std::chrono::milliseconds interval,
                                               std::function<void()> work) override {
      if (interval >= std::chrono::hours(1)) rig.note("update checks scheduled");
      return rig.clock.every(interval, std::move(work));
    }
    void post(std::function<void()> work) override { rig.clock.post(std::move(work)); }
  };

  struct Launcher final : host::ProcessLauncher {
    HostRig& rig;
    explicit Launcher(HostRig& r) : rig(r) {}
    LaunchResult launch(const host::LaunchRequest& request, Callbacks callbacks) override {
      rig.note("server launched");
      return rig.launcher.launch(request, std::move(callbacks));
    }
    void runAndWait(const std::string& program, const std::vector<std::string>& arguments) override {
      rig.launcher.runAndWait(program, arguments);
    }
    bool startDetached(const std::string& program, const std::vector<std::string>& arguments) override {
      rig.note("detached " + program);
      return rig.launcher.startDetached(program, arguments);
    }
  };

  Keyring keyring{rig_};
  LoginItem loginItem{rig_};
  Scheduler scheduler{rig_};
  Launcher launcher{rig_};
};

HostRig::HostRig() : HostRig(Options{}) {}

HostRig::HostRig(Options options)
    : bundle(fs::path(dir.path()) / "Quorvex Host.app"),
      store(QString::fromStdString(dir.file("QuorvexHost.conf"))),
      addresses(options.addresses),
      recorder_(std::make_unique<Recorder>(*this)) {
  const fs::path macOS = bundle / "Contents/MacOS";
  const fs::path resources = bundle / "Contents/Resources";
  fs::create_directories(macOS);
  fs::create_directories(resources);
  // Never run (the launcher is a fake); only its presence is checked.
  writeFile((macOS / "quorvex-webrtc-server").string(), "#!/bin/sh\n");
  ::chmod((macOS / "quorvex-webrtc-server").c_str(), 0755);
  writeFile((bundle / "Contents/Info.plist").string(),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
            "\t<key>CFBundleShortVersionString</key>\n\t<string>1.4.2</string>\n</dict>\n</plist>\n");
  for (const char* icon : {"tray-attention.svg", "tray-update.svg", "tray-display.svg"}) {
    fs::copy_file(sourcePath(std::string("host/resources/") + icon), resources / icon);
  }

  if (options.configured) store.save(options.settings);
  probe.screen = options.screenRecording;
  probe.access = options.accessibility;
  recorder_->keyring.item = options.token;
  recorder_->keyring.failing = !options.token.has_value();
  tokens = std::make_unique<host::TokenStore>(recorder_->keyring, dir.file("token"));

  host::HostController::Services services{
      .clock = clock,
      .scheduler = recorder_->scheduler,
      .launcher = recorder_->launcher,
      .settings = store,
      .tokens = *tokens,
      .permissions = probe,
      .addresses = [this] { return addresses; },
      .openFile = [this](const std::string& path) { note("open " + path); },
      .loginItem = &recorder_->loginItem,
      .systemLog = &systemLog,
      .quitApplication = [this] { note("quit"); },
  };
  host = std::make_unique<host::HostController>(
      services, host::HostController::Paths{.macOSDir = macOS, .bundle = bundle, .log = dir.file("host.log")},
      host::HostController::Identity{.environment = {}, .pid = 4242, .uid = 1000, .chinese = options.chinese});

  flow = std::make_unique<host::UpdateFlow>(
      *host,
      host::UpdateFlow::Services{
          .scheduler = recorder_->scheduler,
          .wallClock = wall_,
          .background = background,
          .runUpdater = updater.command(),
          .verify = [](const fs::path&, const std::string&) { return std::optional<std::string>(); },
          .alerts = alerts,
          .systemLog = systemLog,
          .files = files_,
          .settings = store,
      },
      fs::path(dir.file("caches")));
  permissions = std::make_unique<host::Permissions>(
      store, host::Permissions::Desktop{
                 .promptScreenRecording = [this] { desktopRequests.push_back("prompt screen recording"); },
                 .promptAccessibility = [this] { desktopRequests.push_back("prompt accessibility"); },
                 .openSettingsPage = [this](const std::string& anchor) { desktopRequests.push_back("page " + anchor); },
             });
}

HostRig::~HostRig() {
  permissions.reset();
  flow.reset();
  host.reset();
  tokens.reset();
}

// Tagged with the listen address stored at that moment ("-": no setup saved).
void HostRig::note(const std::string& what) {
  events.push_back(what + " @" + (store.configured() ? store.load().listen : "-"));
}

void HostRig::startServer() { host->start(); }

void HostRig::serverPrints(const std::string& line) {
  launcher.print(line + "\n");
  clock.drain();
}

void HostRig::refresh() { clock.advance(std::chrono::seconds(2)); }

}  // namespace qx::test
