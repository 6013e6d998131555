#pragma once

// Texts and rules of the tray icon, its menu and the settings window, English
// and Chinese side by side. Pure functions of the values the controller and
// the update flow publish, so every text and rule is checked without a
// display; the widgets in host/ui only show what these return.
//
// The warning and arrow signs (⚠, ⬆, ⬇) are always followed by U+FE0E, the
// text-presentation selector, so panels do not draw them as colour emoji;
// ●, ○ and ✓ never are.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "HostCore/HostOutputScanner.h"
#include "HostCore/HostSettings.h"
#include "HostCore/LocalAddress.h"
#include "HostCore/UpdateCheck.h"
#include "host/HostServices.h"
#include "host/RunState.h"
#include "host/UpdatePhase.h"

namespace qx::host {

namespace menu {

using Problem = HostOutputScanner::Problem;

// Whole seconds until `until`, rounded up and never below 1, so a restart
// that is already due reads "1s".
std::int64_t countdownSeconds(TimePoint now, TimePoint until);

// The menu's first line: a problem first, otherwise the run state.
std::string statusLine(const std::optional<Problem>& problem, const RunState& state, std::int64_t connectedClients,
                       const HostSettings& settings, TimePoint now, bool zh);

// The tray icon's tooltip: the name, then the status line.
std::string tooltip(const std::string& statusLine);

std::string kindLabel(LocalAddress::Kind kind, bool zh);
// Address, ':', port, three spaces, kind label.
std::string addressRow(const LocalAddress& address, std::int64_t port, bool zh);
// Address rows are shown while the server runs and the listen port is known.
bool showsAddresses(const RunState& state, const HostSettings& settings);

// The icon rule, and the icon it picks.
bool needsAttention(const std::optional<Problem>& problem, bool screenRecording, const RunState& state);
enum class TrayIcon { attention, update, display };
TrayIcon trayIcon(bool needsAttention, bool updateAvailable);
// Freedesktop icon-theme name, and the SVG shipped in the bundle's
// Contents/Resources for themes that lack it.
std::string themeIconName(TrayIcon icon);
std::string fallbackIconFile(TrayIcon icon);

// The second menu item, by update phase; absent when nothing is shown.
struct UpdateItem {
  enum class Action { none, promptUpdate, checkForUpdates };
  std::string text;
  Action action = Action::none;  // none: a plain text line
  friend bool operator==(const UpdateItem&, const UpdateItem&) = default;
};
std::optional<UpdateItem> updateItem(const UpdatePhase& phase, const std::optional<UpdateCheck>& availableUpdate,
                                     bool zh);

// Permission rows: a text line when allowed, an "Allow…" button otherwise.
std::string screenRecordingRow(bool allowed, bool zh);
std::string accessibilityRow(bool allowed, bool zh);
std::string relaunchHint(bool zh);
std::string settings(bool zh);
std::string showLog(bool zh);
std::string launchAtLogin(bool zh);
std::string version(const std::string& currentVersion);
std::string checkForUpdates(bool zh);
// "Check for Updates…" and "Check Now" wait while the flow is busy with a
// check, a download or an install; a failed update can be retried.
bool checkEnabled(const UpdatePhase& phase);
std::string restartService(bool zh);
std::string uninstall(bool zh);
std::string quit(bool zh);
// Logged once when the desktop has no tray to show the icon in.
std::string noSystemTray();

}  // namespace menu

namespace form {

std::string windowTitle(bool zh);

std::string connectionSection(bool zh);
std::string listenAddress(bool zh);
std::string token(bool zh);
std::string tokenPlaceholder(bool zh);
// While the keyring has not answered yet.
std::string tokenReadingPlaceholder(bool zh);
// The keyring could not be read: the stored token stays unless one is typed.
std::string tokenUnreadablePlaceholder(bool zh);
std::string generate(bool zh);
std::string connectionFooter(bool zh);

std::string pictureSection(bool zh);
std::string bitrate(bool zh);
std::string maxWidth(bool zh);
std::string sendAudio(bool zh);

std::string permissionsSection(bool zh);
std::string screenRecording(bool zh);
std::string accessibility(bool zh);
std::string allowed(bool zh);
std::string allow(bool zh);
std::string permissionsFooter(bool zh);

std::string launchAtLogin(bool zh);

std::string updatesSection(bool zh);
std::string currentVersion(bool zh);
std::string latestVersion(bool zh);
std::string checkAutomatically(bool zh);
std::string checkNow(bool zh);
std::string updateNow(bool zh);
std::string updatesFooter(bool zh);

std::string invalidListen(bool zh);
std::string cancel(bool zh);
std::string saveAndStart(bool zh);

// Picker options: the stored value and how it is shown.
template <class Value>
struct Option {
  Value value;
  std::string label;
};
// "8M", "16M", "24M", shown as "8Mbps"...
std::vector<Option<std::string>> bitrateOptions();
// 0 ("Native"), 1280, 1920, 2560.
std::vector<Option<std::int64_t>> maxWidthOptions(bool zh);
// The option holding `stored`; absent when it is not offered, so the picker
// selects nothing and the stored value is saved back untouched.
template <class Value>
std::optional<std::size_t> optionIndex(const std::vector<Option<Value>>& options, const Value& stored) {
  for (std::size_t i = 0; i < options.size(); ++i) {
    if (options[i].value == stored) return i;
  }
  return std::nullopt;
}

// The same rule as HostSettings::validationError: a port within 1..65535.
bool listenValid(const HostSettings& settings);
// Spaces and tabs only; a line break typed into the token is kept.
std::string trimSpacesAndTabs(std::string_view text);
// A first setup proposes the login item.
bool initialLoginItem(bool configured, bool loginItemEnabled);
// "Update Now…" waits only for a download or an install.
bool updateNowEnabled(const UpdatePhase& phase);

}  // namespace form
}  // namespace qx::host
