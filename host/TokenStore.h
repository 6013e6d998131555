#pragma once

// The access token devices present to the media server. It lives in the
// desktop's secret service; when that cannot take it, in a file readable only
// by the user. A token the user saves is never silently dropped, and a keyring
// that fails never reads as "no token" (the server would then run unprotected).

#include <filesystem>
#include <optional>
#include <string>

namespace qx::host {

// One secret item (service "com.quorvex.host", account "client-token") in the
// desktop's secret service. Calls block the caller for at most the
// implementation's time limit and never run a nested event loop on it.
class Keyring {
 public:
  enum class Status { ok, notFound, failed };
  struct ReadResult {
    Status status = Status::failed;
    std::string secret;  // UTF-8, set when status is ok
  };
  virtual ~Keyring() = default;
  virtual ReadResult read() = 0;
  virtual Status write(const std::string& secret) = 0;
  virtual Status remove() = 0;  // notFound counts as removed
};

class TokenStore {
 public:
  // `fallbackFile` is used when the keyring fails; production passes
  // defaultFallbackFile().
  TokenStore(Keyring& keyring, std::filesystem::path fallbackFile);

  // $XDG_CONFIG_HOME (default ~/.config) + "/Quorvex/token".
  static std::filesystem::path defaultFallbackFile();

  // The stored token, "" when none is stored. Absent when the keyring failed
  // and no fallback file exists: the caller must not start without a token.
  std::optional<std::string> load();
  // Replaces the stored token; "" removes it from both places. In the keyring
  // when it works (then the file is removed), else in the file (mode 0600,
  // written atomically). False only when neither could take it.
  bool save(const std::string& token);
  // Removes the token from the keyring and the file (uninstall).
  void removeAll();

  // 16 characters from "abcdefghijkmnpqrstuvwxyz23456789", uniform
  // (rejection sampling on the system's secure random source).
  static std::string random();

 private:
  Keyring& keyring_;
  std::filesystem::path file_;
};

}  // namespace qx::host
