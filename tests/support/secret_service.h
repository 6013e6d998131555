#pragma once

#include <map>
#include <memory>
#include <string>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace qx::test {

// A private Secret Service for one test: a session bus that activates nothing
// and gnome-keyring on it, its login collection created and unlocked from a
// password on standard input (an empty password would create none). Runtime,
// home and data directories are private. Stopped on destruction.
class SecretService {
 public:
  // Throws std::runtime_error when a tool is missing or the keyring does not come up.
  static std::unique_ptr<SecretService> start();
  ~SecretService();
  SecretService(const SecretService&) = delete;
  SecretService& operator=(const SecretService&) = delete;

  // DBUS_SESSION_BUS_ADDRESS and the private directories.
  const std::map<std::string, std::string>& clientEnv() const { return env_; }

  // A stopped daemon still receives calls and answers none until resumed.
  void pause();
  void resume();

 private:
  SecretService() = default;
  std::unique_ptr<Process> launch(std::vector<std::string> args) const;

  std::unique_ptr<TempDir> dir_;
  std::map<std::string, std::string> env_;
  std::unique_ptr<Process> bus_;
  std::unique_ptr<Process> keyring_;
};

}  // namespace qx::test
