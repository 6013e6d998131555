#pragma once

#include <map>
#include <memory>
#include <string>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace qx::test {

// A private session bus whose only activatable service is the accessibility
// bus, so programs on it can be read by assistive tools while nothing else
// (a keyring above all) is started. Stopped on destruction, together with the
// accessibility bus it started.
class SessionBus {
 public:
  // Throws std::runtime_error when dbus-daemon or the accessibility bus is missing.
  static std::unique_ptr<SessionBus> withAccessibility();
  ~SessionBus();
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;

  // DBUS_SESSION_BUS_ADDRESS, for the programs that use this bus.
  const std::map<std::string, std::string>& clientEnv() const { return env_; }

 private:
  SessionBus() = default;

  std::unique_ptr<TempDir> dir_;
  std::map<std::string, std::string> env_;
  std::unique_ptr<Process> daemon_;
};

}  // namespace qx::test
