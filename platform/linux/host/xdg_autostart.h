#pragma once

// The login item as an XDG autostart entry: a desktop entry in
// $XDG_CONFIG_HOME/autostart that the session starts at login. Registered means
// the entry is there, parses, is not hidden or switched off, and starts this
// bundle's QuorvexHost, so an entry left behind by a moved copy reads as off,
// and switching off leaves such an entry alone.

#include <filesystem>
#include <optional>
#include <string>

#include "host/HostServices.h"

namespace qx::host {

// The text of the autostart entry that starts the bundle `bundle` through
// desktop::launchCommand; absent when its path cannot be written into an
// entry (see desktop::execWord). `icon` is the entry's icon file; empty leaves
// the key out.
std::optional<std::string> autostartEntry(const std::filesystem::path& bundle, const std::filesystem::path& icon);

// True when `entryText` is an entry a desktop would act on at login and its
// Exec starts `executable` (the same path, or one naming the same file).
bool autostartStarts(const std::string& entryText, const std::filesystem::path& executable);

// When the desktop entry `entryFile` starts `bundle` in an older form (the
// plain path, or through /bin/sh without putting a moved bundle back), its
// Exec is rewritten as desktop::launchCommand(bundle), every other line kept.
// True when it was rewritten. Another bundle's entry is left alone.
bool refreshLaunchEntry(const std::filesystem::path& entryFile, const std::filesystem::path& bundle);

class XdgAutostart final : public LoginItemService {
 public:
  // `entryFile` is the entry (production: defaultEntryFile()); `bundle` the
  // "... .app" directory whose Contents/MacOS/QuorvexHost is started.
  XdgAutostart(std::filesystem::path entryFile, std::filesystem::path bundle);

  // $XDG_CONFIG_HOME (default ~/.config) + "/autostart/com.quorvex.host.desktop".
  static std::filesystem::path defaultEntryFile();

  bool enabled() override;
  // On: writes the entry afresh (atomically), pointing at this bundle. Off:
  // removes it when it starts this bundle; an entry that is already gone, or
  // that starts another copy, is no error.
  std::optional<std::string> setEnabled(bool on) override;
  // At start-up: refreshLaunchEntry on the entry.
  bool refresh();

 private:
  std::filesystem::path entryFile_;
  std::filesystem::path bundle_;
};

}  // namespace qx::host
