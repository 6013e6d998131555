#pragma once

// What every part of the running server shares: its output lines and the
// connection slots that bound the number of open clients.

#include "server/server_output.h"

#include <cstddef>
#include <memory>
#include <string>
#include <utility>

namespace qx::server {

inline void logLine(const std::string& message) { printLine("quorvex-webrtc-server: " + message); }

// One of the server's limited connection slots, counted while it lives.
class ConnectionSlot {
 public:
  explicit ConnectionSlot(std::shared_ptr<std::size_t> open) : open_(std::move(open)) { ++*open_; }
  ~ConnectionSlot() { release(); }
  ConnectionSlot(ConnectionSlot&& other) noexcept = default;
  ConnectionSlot& operator=(ConnectionSlot&&) = delete;
  ConnectionSlot(const ConnectionSlot&) = delete;
  ConnectionSlot& operator=(const ConnectionSlot&) = delete;

  void release() {
    if (open_) --*open_;
    open_.reset();
  }

 private:
  // Shared, so a connection that outlives the server (its handlers are
  // destroyed with the io_context) still counts into valid memory.
  std::shared_ptr<std::size_t> open_;
};

}  // namespace qx::server
