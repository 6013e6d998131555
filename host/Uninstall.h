#pragma once

// The tray's "Uninstall Quorvex Host…": asks first, then stops the server,
// removes the login item, optionally the settings, the token and the host
// logs, always the application-menu entry and icons the installer registered
// for this bundle, moves the bundle to the desktop's trash and quits. Every
// housekeeping error is ignored. Only a folder that is a Quorvex Host bundle
// is trashed; a folder that is not, or that cannot be trashed, stays where it
// is with a notice, and the application still quits.

#include <filesystem>
#include <functional>
#include <vector>

#include "host/HostServices.h"

namespace qx::host {

class HostController;
class SettingsStore;
class TokenStore;

// The confirmation with its checkbox, a warning; buttons "Uninstall" (first), "Cancel".
Alerts::Alert uninstallAlert(bool zh);

// Why the program's folder stayed where it was.
enum class FolderKept { notABundle, notTrashed };
// The notice (a warning) followed by the folder's path; one button, "OK".
Alerts::Alert folderKeptAlert(FolderKept why, const std::filesystem::path& folder, bool zh);

// True when `folder`'s name ends in ".app", it holds Contents/MacOS/QuorvexHost
// and its Contents/Info.plist names the identifier "com.quorvex.host".
bool isHostBundle(const std::filesystem::path& folder);

// What scripts/install.sh registers in the desktop's application menu.
struct MenuRegistration {
  std::filesystem::path entry;               // the menu entry, whose Exec names its bundle
  std::vector<std::filesystem::path> icons;  // the icons installed with it

  // Under $XDG_DATA_HOME (default ~/.local/share): applications/com.quorvex.host.desktop
  // and icons/hicolor/scalable/apps/com.quorvex.host.svg.
  static MenuRegistration defaults();
};

class Uninstaller {
 public:
  struct Services {
    Alerts& alerts;
    LoginItemService& loginItem;
    SettingsStore& settings;
    TokenStore& tokens;
    // Moves a file or folder to the trash (production: moveToTrash below).
    std::function<bool(const std::filesystem::path&)> moveToTrash;
    // Ends the application; its quit path runs stopAndWait again, harmlessly.
    std::function<void()> quit;
  };

  // `controller` supplies the language, the bundle and the log path, and stops
  // the server; it must outlive this object.
  Uninstaller(HostController& controller, Services services, MenuRegistration menu);

  // The whole flow; returns after Cancel, or once quit was requested.
  void run();

  // Moves `path` into the home trash ($XDG_DATA_HOME/Trash, by default
  // ~/.local/share/Trash), created first with files/ and info/ (mode 0700) so
  // that QFile::moveToTrash never falls back to the working folder. True only
  // when the moved item lies in that trash; one that landed elsewhere is put
  // back.
  static bool moveToTrash(const std::filesystem::path& path);

 private:
  void removeSettings();
  void removeMenuRegistration();

  HostController& controller_;
  Services services_;
  MenuRegistration menu_;
};

}  // namespace qx::host
