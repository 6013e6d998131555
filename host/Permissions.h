#pragma once

// The two permission requests of the menu and the settings window. The first
// request of each kind shows the desktop's prompt, later ones open its settings
// page; "askedScreenRecording" and "askedAccessibility" remember which. On X11
// neither a prompt nor a page exists, so the desktop hooks do nothing there,
// while the once-only flags still apply.

#include <functional>
#include <string>

#include "host/SettingsStore.h"

namespace qx::host {

class Permissions {
 public:
  struct Desktop {
    std::function<void()> promptScreenRecording;
    std::function<void()> promptAccessibility;
    std::function<void(const std::string& anchor)>
        openSettingsPage;  // "Privacy_ScreenCapture", "Privacy_Accessibility"
  };

  Permissions(SettingsStore& settings, Desktop desktop);

  void requestScreenRecording();
  void requestAccessibility();

 private:
  SettingsStore& settings_;
  Desktop desktop_;
};

}  // namespace qx::host
