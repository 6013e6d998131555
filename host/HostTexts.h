#pragma once

// Every text the host shows, English and Chinese side by side, one small
// function per text. The language is decided once per process by
// `isChinese`; the functions themselves take it as an argument so each text
// can be checked without a desktop.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "HostCore/HostSettings.h"
#include "host/HostServices.h"

namespace qx::host {

// Chinese when the first preferred UI language begins with "zh"; English
// otherwise, also for an empty list.
bool chineseFor(const std::vector<std::string>& preferredLanguages);

// The process's choice, from the desktop's preferred UI languages, made at the
// first call and kept.
bool isChinese();

namespace texts {

std::string incompleteInstall(bool zh);
// How an unrequested end is described: "exit code 1", "killed by signal 9".
std::string processEnd(const ProcessEnd& end, bool zh);
std::string keyringUnreadable(bool zh);
// The keyring kept the token locked (its unlock prompt was dismissed); it is
// not asked again until the user says so.
std::string keyringLocked(bool zh);
// The bundle sits in a folder whose path holds both ' and ", which the
// capture command cannot carry.
std::string unquotableInstallPath(bool zh);

// The one notice of a login-item start on a desktop without a tray.
std::string noTrayNotice(bool zh);
// Desktop notifications.
std::string updateAvailableNotice(const std::string& version, bool zh);
std::string updatedNotice(const std::string& version, bool zh);
std::string keepsStoppingNotice(bool zh);
std::string deviceConnectedNotice(bool zh);
std::string showNotifications(bool zh);

// The token field.
std::string showToken(bool zh);
// Before the viewer's address in the settings window.
std::string openOnPhone(bool zh);
std::string tokenTooLong(bool zh);

// Why a permission row reads "Not allowed" on X11.
std::string xServerRefused(bool zh);
std::string noXtest(bool zh);

}  // namespace texts

// Where a phone's browser opens the viewer: "http://" + the address the server listens on when it names
// one, else the first of this computer's ranked addresses, + ":" + the port + "/". Absent without a
// usable port or an address.
std::optional<std::string> viewerAddress(const HostSettings& settings, const std::vector<LocalAddress>& addresses);

// Wayland when WAYLAND_DISPLAY is set or XDG_SESSION_TYPE says so; X11 otherwise.
bool waylandSession(std::string_view waylandDisplay, std::string_view sessionType);
// The same, from this process's environment.
bool waylandSession();

namespace texts {}  // namespace texts
}  // namespace qx::host
