#include "host/Permissions.h"

namespace qx::host {
namespace {

// The flag is set before acting, so a prompt that never returns or a crash
// still counts as asked.
void request(SettingsStore& settings, const QString& flagKey, const std::function<void()>& prompt,
             const std::function<void(const std::string&)>& openPage, const std::string& anchor) {
  const bool asked = settings.flag(flagKey);
  settings.setFlag(flagKey, true);
  if (!asked) {
    if (prompt) prompt();
  } else if (openPage) {
    openPage(anchor);
  }
}

}  // namespace

Permissions::Permissions(SettingsStore& settings, Desktop desktop)
    : settings_(settings), desktop_(std::move(desktop)) {}

void Permissions::requestScreenRecording() {
  request(settings_, QStringLiteral("askedScreenRecording"), desktop_.promptScreenRecording, desktop_.openSettingsPage,
          "Privacy_ScreenCapture");
}

void Permissions::requestAccessibility() {
  request(settings_, QStringLiteral("askedAccessibility"), desktop_.promptAccessibility, desktop_.openSettingsPage,
          "Privacy_Accessibility");
}

}  // namespace qx::host
