#pragma once
// xdg-desktop-portal through libportal, on a GLib main context run by a thread of its own, so no
// caller needs a GLib main loop. The screen cast and the idle inhibitor share one portal connection.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace qx::wayland {

class PortalClient {
 public:
  // What a started screen cast gives: a PipeWire connection, the stream's node and where it sits.
  struct Grant {
    int pipewireFd = -1;  // owned by the receiver
    std::uint32_t node = 0;
    std::int32_t x = 0, y = 0, width = 0, height = 0;
    std::string restoreToken;  // empty when the portal returned none
  };
  enum class Failure {
    refused,      // the user or the desktop said no, or a token was no longer honoured in time
    unavailable,  // no portal, or it cannot cast screens
  };
  struct Error {
    Failure failure = Failure::unavailable;
    std::string message;
  };
  using StartResult = std::variant<Grant, Error>;

  PortalClient();
  ~PortalClient();
  PortalClient(const PortalClient&) = delete;
  PortalClient& operator=(const PortalClient&) = delete;

  // Creates a screen-cast session for one monitor (cursor hidden, persistent grant) and starts it,
  // blocking the caller until the portal answers. With a `timeout`, a start that has not answered
  // by then is cancelled, which takes down any dialog the desktop showed, and fails as refused.
  // One session at a time; a new start closes the previous one. `closed` runs on the portal's
  // thread when the desktop ends the session (the user stopped sharing), never after close().
  StartResult startScreenCast(const std::optional<std::string>& restoreToken,
                              std::optional<std::chrono::milliseconds> timeout, std::function<void()> closed);
  // Ends the current session, if any. Blocks until done.
  void closeScreenCast();

  // Asks the desktop not to go idle (screen blanking) for as long as this object lives. Blocks until
  // the portal answers; false when it refused or is not there.
  bool inhibitIdle(const std::string& reason);

  struct Impl;  // the portal thread's state

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace qx::wayland
