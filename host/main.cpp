// QuorvexHost: supervises the media server for the signed-in user. The
// controller starts the server when the setup has been saved, restarts it
// when it ends on its own, and stops it on every way of quitting.

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QIcon>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>
#include <csignal>
#include <cstdlib>
#include <filesystem>

#include "HostCore/LocalAddress.h"
#include "HostCore/UpdateRequest.h"
#include "host/HostController.h"
#include "host/HostTexts.h"
#include "host/NoTray.h"
#include "host/OutputSink.h"
#include "host/SettingsStore.h"
#include "host/TokenStore.h"
#include "platform/linux/host/qprocess_launcher.h"
#include "platform/linux/host/qt_scheduler.h"
#include "platform/linux/host/qtkeychain_keyring.h"
#include "platform/linux/host/wayland_permissions.h"
#include "platform/linux/host/x11_permission_probe.h"
// Updates
#include "host/UpdateFlow.h"
#include "host/UpdateTexts.h"
#include "host/ui/MessageBoxAlerts.h"
#include "platform/linux/host/posix_bundle_files.h"
#include "platform/linux/host/syslog_system_log.h"
#include "platform/linux/host/system_wall_clock.h"
#include "platform/linux/host/thread_work.h"
#include "platform/linux/host/updater_process.h"
#include "signature/bundle_signature.h"
// Tray menu
#include "host/Permissions.h"
#include "host/ui/Clipboard.h"
#include "host/ui/DesktopNotifications.h"
#include "host/ui/SettingsWindow.h"
#include "host/ui/TrayMenu.h"
// Lifecycle
#include "host/Uninstall.h"
#include "platform/linux/host/single_instance.h"
#include "platform/linux/host/xdg_autostart.h"

namespace {

int signalPipe[2] = {-1, -1};

void onQuitSignal(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &byte, 1);
}

// SIGTERM, SIGINT and SIGHUP quit through the event loop, so the server is stopped on
// the same path as every other way of quitting.
void quitOnSignals(QApplication& app) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
  QObject::connect(notifier, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
  struct sigaction action = {};
  action.sa_handler = onQuitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  // The end of a desktop session often arrives as a hangup.
  sigaction(SIGHUP, &action, nullptr);
}

qx::HostLaunch::Environment systemEnvironment() {
  qx::HostLaunch::Environment environment;
  const QProcessEnvironment system = QProcessEnvironment::systemEnvironment();
  for (const QString& name : system.keys()) environment[name.toStdString()] = system.value(name).toStdString();
  return environment;
}

}  // namespace

int main(int argc, char** argv) {
  // Taken once: a later swap of the bundle must not change what this process
  // believes it runs from.
  std::error_code ec;
  const std::filesystem::path macOSDir = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();

  QApplication app(argc, argv);
  QCoreApplication::setOrganizationName("Quorvex");
  QCoreApplication::setApplicationName("QuorvexHost");
  // The desktop matches the windows to the menu entry by this name.
  QGuiApplication::setDesktopFileName(QStringLiteral("com.quorvex.host"));
  const bool autostarted = QCoreApplication::arguments().contains(QStringLiteral("--autostart"));
  const bool updated = QCoreApplication::arguments().contains(QString::fromLatin1(qx::host::updatedArgument));
  // A tray application: closing an alert or the settings window must not quit.
  QApplication::setQuitOnLastWindowClosed(false);
  quitOnSignals(app);

  // One instance per user: a second start asks the first to show its window
  // and ends before it starts anything, a server above all.
  qx::host::SingleInstance instance(qx::host::SingleInstance::defaultDirectory());
  switch (instance.claim()) {
    case qx::host::SingleInstance::Outcome::handedOver:
    case qx::host::SingleInstance::Outcome::noAnswer: return 0;
    case qx::host::SingleInstance::Outcome::first:
    case qx::host::SingleInstance::Outcome::unguarded: break;
  }

  qx::host::SteadyTimeSource clock;
  qx::host::QtScheduler scheduler;
  qx::host::QProcessLauncher launcher;
  qx::host::SettingsStore settings(qx::host::SettingsStore::defaultPath());
  qx::host::QtKeychainKeyring keyring;
  qx::host::TokenStore tokens(keyring, qx::host::TokenStore::defaultFallbackFile());
  // A Wayland session grants screen capture through its portal; X11 through the connection itself.
  const bool wayland = qx::host::waylandSession();
  qx::host::X11PermissionProbe x11Permissions;
  qx::host::WaylandPermissionProbe waylandPermissions;
  qx::host::PermissionProbe& permissions =
      wayland ? static_cast<qx::host::PermissionProbe&>(waylandPermissions) : x11Permissions;
  qx::host::SyslogSystemLog systemLog;
  const std::filesystem::path bundle = macOSDir.parent_path().parent_path();
  qx::host::XdgAutostart autostart(qx::host::XdgAutostart::defaultEntryFile(), bundle);
  // Entries an older version wrote start the bundle without putting back one
  // that a crash during an update left moved aside.
  autostart.refresh();
  qx::host::refreshLaunchEntry(qx::host::MenuRegistration::defaults().entry, bundle);

  qx::host::HostController::Services services{
      .clock = clock,
      .scheduler = scheduler,
      .launcher = launcher,
      .settings = settings,
      .tokens = tokens,
      .permissions = permissions,
      .addresses = [] { return qx::LocalAddress::current(); },
      .openFile = [](const std::string& path) { QProcess::startDetached("xdg-open", {QString::fromStdString(path)}); },
      .loginItem = &autostart,
      .systemLog = &systemLog,
      .quitApplication = [] { QCoreApplication::quit(); },
  };
  qx::host::HostController::Paths paths{
      .macOSDir = macOSDir,
      .bundle = bundle,
      .log = qx::host::OutputSink::defaultLogPath(),
  };
  qx::host::HostController::Identity identity{
      .environment = systemEnvironment(),
      .pid = ::getpid(),
      .uid = ::getuid(),
      .chinese = qx::host::isChinese(),
  };
  qx::host::HostController controller(services, paths, identity);
  QObject::connect(&app, &QCoreApplication::aboutToQuit, &controller, [&controller] { controller.stopAndWait(); });

  // ---- Updates: the flow and its services ----
  qx::host::SystemWallClock wallClock;
  qx::host::ThreadWork background;
  qx::host::MessageBoxAlerts alerts;
  // Used by background work, whose threads may outlive main's scope.
  static qx::host::PosixBundleFiles bundleFiles;
  const std::optional<qx::signature::PublicKey> updateKey = qx::signature::pinnedUpdateKey();
  const bool chinese = identity.chinese;
  qx::host::UpdateFlow updates(
      controller,
      {
          .scheduler = scheduler,
          .wallClock = wallClock,
          .background = background,
          .runUpdater = qx::host::runUpdaterProcess,
          .verify =
              [updateKey, chinese](const std::filesystem::path& downloaded, const std::string& version) {
                return qx::host::verifyBundle(downloaded, version, updateKey, chinese);
              },
          .alerts = alerts,
          .systemLog = systemLog,
          .files = bundleFiles,
          .settings = settings,
      },
      qx::UpdateRequest::cachesDirectory([](const char* name) { return std::getenv(name); }));
  // ---- end of updates ----

  // ---- Tray menu: where a user starts a check ----
  // X11 has neither a permission prompt nor a settings page to open. On Wayland every "Allow…" for
  // screen recording shows the portal's dialog again (off the main thread: a person answers it, in
  // their own time); the poll then sees the stored grant. Remote input has no grant there yet.
  const auto grantScreenCast = [&background, &systemLog] {
    background.run([&systemLog]() -> qx::host::BackgroundWork::Continuation {
      std::string error = qx::host::grantScreenCast();
      return [&systemLog, error = std::move(error)] {
        if (!error.empty()) systemLog.write("screen recording not granted: " + error);
      };
    });
  };
  qx::host::Permissions permissionRequests(
      settings, wayland ? qx::host::Permissions::Desktop{grantScreenCast, [] {},
                                                         [grantScreenCast](const std::string& anchor) {
                                                           if (anchor == "Privacy_ScreenCapture") grantScreenCast();
                                                         }}
                        : qx::host::Permissions::Desktop{[] {}, [] {}, [](const std::string&) {}});
  qx::host::SettingsWindow settingsWindow({controller, updates, permissionRequests});
  qx::host::QtClipboard clipboard;
  qx::host::Uninstaller uninstaller(controller,
                                    {.alerts = alerts,
                                     .loginItem = autostart,
                                     .settings = settings,
                                     .tokens = tokens,
                                     .moveToTrash = &qx::host::Uninstaller::moveToTrash,
                                     .quit = [] { QCoreApplication::quit(); }},
                                    qx::host::MenuRegistration::defaults());
  QApplication::setWindowIcon(
      QIcon::fromTheme(QStringLiteral("com.quorvex.host"),
                       QIcon(QString::fromStdString((bundle / "Contents/Resources/com.quorvex.host.svg").string()))));
  qx::host::ControllerNotifications notifications(controller, settings, clock);
  qx::host::UpdateNotifications updateNotifications(updates, settings, chinese);
  qx::host::TrayMenu tray({controller, updates, permissionRequests, clock, clipboard, &systemLog},
                          {.openSettings = [&settingsWindow] { settingsWindow.show(); },
                           .uninstall = [&uninstaller] { uninstaller.run(); },
                           .quit = [] { QCoreApplication::quit(); }});
  tray.show();
  QObject::connect(&instance, &qx::host::SingleInstance::showRequested, &app,
                   [&settingsWindow] { settingsWindow.show(); });
  // ---- end of tray menu ----

  // Start-up order: read "configured" before start, which without a setup only
  // publishes notConfigured; the window then asks for one. Update checks are
  // scheduled either way.
  const bool configured = settings.configured();
  controller.start();
  if (!configured) settingsWindow.show();
  // Without a tray a started host would be invisible: a start the user did
  // not make says so once, any other start opens the settings window.
  QTimer::singleShot(
      qx::host::noTrayGrace, &app, [&settingsWindow, &settings, autostarted, updated, configured, chinese] {
        switch (qx::host::noTrayStep(QSystemTrayIcon::isSystemTrayAvailable(), autostarted || updated, configured)) {
          case qx::host::NoTrayStep::none: break;
          case qx::host::NoTrayStep::notify:
            qx::host::notifyDesktop(settings, qx::host::texts::noTrayNotice(chinese));
            break;
          case qx::host::NoTrayStep::showSettings: settingsWindow.show(); break;
        }
      });
  if (updated) updateNotifications.justUpdated();
  updates.scheduleUpdateChecks();
  return QCoreApplication::exec();
}
