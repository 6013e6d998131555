#pragma once

// A real HostController, UpdateFlow and Permissions over fakes, for the tray,
// settings-window and settings-save tests: a manual clock, a launcher that starts nothing,
// stores in a temporary folder, a bundle with the shipped tray icons and a
// version. Calls that reach outside (keyring writes, login item, update-check
// scheduling, server launches) are written to `events` in order, each tagged
// with the listen address stored by then.

#include <memory>
#include <string>
#include <vector>

#include "HostCore/LocalAddress.h"
#include "host/HostController.h"
#include "host/Permissions.h"
#include "host/SettingsStore.h"
#include "host/TokenStore.h"
#include "host/UpdateFlow.h"
#include "platform/linux/host/posix_bundle_files.h"
#include "tests/fakes/fake_host_services.h"
#include "tests/fakes/fake_update_services.h"
#include "tests/support/temp_dir.h"

namespace qx::test {

class HostRig {
 public:
  struct Options {
    bool chinese = false;
    bool configured = true;  // a saved setup
    HostSettings settings{};
    std::optional<std::string> token = "abc123";  // absent: the keyring fails
    bool screenRecording = true;
    bool accessibility = true;
    std::vector<LocalAddress> addresses = {{"100.101.102.103", LocalAddress::Kind::tailnet},
                                           {"192.168.1.20", LocalAddress::Kind::lan}};
  };
  explicit HostRig(Options options);
  HostRig();
  ~HostRig();

  // Starts the (fake) server: running, no devices.
  void startServer();
  // One line of server output, handled as the controller would on the main loop.
  void serverPrints(const std::string& line);
  // The 2 s refresh: permissions and addresses read again.
  void refresh();

  // The log of outside calls.
  std::vector<std::string> events;
  void note(const std::string& what);

  TempDir dir;
  std::filesystem::path bundle;
  host::fake::ManualClock clock;
  host::fake::FakeLauncher launcher;
  host::SettingsStore store;
  host::fake::FakePermissionProbe probe;
  std::vector<LocalAddress> addresses;
  host::fake::FakeSystemLog systemLog;
  std::vector<std::string> desktopRequests;  // the permission hooks that ran
  // The update flow's: checks and downloads run when the test says.
  host::fake::FakeBackgroundWork background;
  host::fake::FakeUpdater updater;
  host::fake::FakeAlerts alerts;

  std::unique_ptr<host::HostController> host;
  std::unique_ptr<host::UpdateFlow> flow;
  std::unique_ptr<host::Permissions> permissions;
  std::unique_ptr<host::TokenStore> tokens;

 private:
  class Recorder;
  std::unique_ptr<Recorder> recorder_;
  host::fake::ManualWallClock wall_;
  host::PosixBundleFiles files_;
};

}  // namespace qx::test
