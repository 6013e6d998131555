#pragma once

#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qx::server {

// Remote input and the pointer overlay for WebRTC viewers. Every call on the server's io_context thread;
// `send` is called on that thread only.
class InputHub {
 public:
  using Send = std::function<void(std::string json)>;
  // displayName: the X display the helper captures ($DISPLAY of the server); captureArgs: the helper's
  // command line (its --display picks the monitor, with the helper's own monitor rules).
  static std::unique_ptr<InputHub> create(boost::asio::io_context& io, std::vector<std::string> captureArgs);
  virtual ~InputHub() = default;
  virtual void viewerJoined(std::uint64_t viewer, Send send) = 0;  // channel open; viewer passed the token check
  virtual void message(std::uint64_t viewer, std::string_view json) = 0;
  virtual void viewerLeft(std::uint64_t viewer) = 0;  // keys and buttons still down are released
};

}  // namespace qx::server
