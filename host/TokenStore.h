#pragma once

// The access token devices present to the media server. It lives in the
// desktop's secret service; when that cannot take it, in a file readable only
// by the user. A token the user saves is never silently dropped, and a keyring
// that fails never reads as "no token" (the server would then run unprotected).

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace qx::host {

// One secret item (service "com.quorvex.host", account "client-token") in the
// desktop's secret service. Calls return at once and never wait on the
// service; each answer is delivered on the calling (main) thread, possibly
// inside the call, in call order, and never once the keyring is destroyed. An
// answer may take as long as the service (or a user at its unlock prompt)
// takes.
class Keyring {
 public:
  // failed: no secret service answered, or it broke. refused: it answered but
  // kept the item locked (the user dismissed its unlock prompt).
  enum class Status { ok, notFound, failed, refused };
  struct ReadResult {
    Status status = Status::failed;
    std::string secret;  // UTF-8, set when status is ok
  };
  using ReadDone = std::function<void(ReadResult)>;
  using Done = std::function<void(Status)>;

  virtual ~Keyring() = default;
  virtual void read(ReadDone done) = 0;
  virtual void write(const std::string& secret, Done done) = 0;
  virtual void remove(Done done) = 0;  // notFound counts as removed
};

// What a load found.
struct TokenRead {
  // The stored token, "" when none is stored. Absent when the keyring failed
  // and no fallback file exists: the caller must not start without a token.
  std::optional<std::string> token;
  // Absent because the keyring refused (a dismissed unlock prompt): asking
  // again by itself would only nag the user.
  bool refused = false;
};

class TokenStore {
 public:
  // `fallbackFile` is used when the keyring fails; production passes
  // defaultFallbackFile().
  TokenStore(Keyring& keyring, std::filesystem::path fallbackFile);

  // $XDG_CONFIG_HOME (default ~/.config) + "/Quorvex/token".
  static std::filesystem::path defaultFallbackFile();

  // Operations run one after another in call order, each after the previous
  // one's keyring answers, so a load after a save reads what was saved. Every
  // `done` runs on the main thread (possibly inside the call) unless the store
  // is destroyed first.

  void load(std::function<void(TokenRead)> done);
  // Replaces the stored token; "" removes it from both places. In the keyring
  // when it works (then the file is removed), else in the file (mode 0600,
  // written atomically). False only when neither could take it.
  void save(std::string token, std::function<void(bool)> done = {});
  // Removes the token from the keyring and the file (uninstall).
  void removeAll(std::function<void()> done = {});

  // 16 characters from "abcdefghijkmnpqrstuvwxyz23456789", uniform
  // (rejection sampling on the system's secure random source).
  static std::string random();

 private:
  struct Queue;
  using Operation = std::function<void(Queue&, std::function<void()> finished)>;
  void enqueue(Operation operation);

  std::shared_ptr<Queue> queue_;
};

}  // namespace qx::host
