#pragma once

#include "server/server_io.h"
#include "server/stream_framing.h"

#include <utility>  // Boost 1.74 asio uses std::exchange without including it

#include <boost/asio/ip/tcp.hpp>

#include <array>
#include <functional>
#include <memory>
#include <string>

namespace qx::server {

// One streaming client (/stream.h264 or /audio.opus). Runs on the server's
// one thread; handlers hold a shared pointer so the object outlives them.
class StreamClient : public std::enable_shared_from_this<StreamClient> {
 public:
  // Called once when the client goes away or fails a write.
  using Gone = std::function<void(const std::shared_ptr<StreamClient>&)>;

  StreamClient(boost::asio::ip::tcp::socket socket, ConnectionSlot slot, std::size_t maxBytes, bool video, Gone gone)
      : socket_(std::move(socket)), slot_(std::move(slot)), queue_(maxBytes), video_(video), gone_(std::move(gone)) {}

  bool video() const { return video_; }
  bool waitingForKeyframe = true;

  void start(std::string header);
  // False when the client's queue is full: the caller drops the client.
  [[nodiscard]] bool send(std::shared_ptr<const std::string> buffer);
  void close();

 private:
  void writeNext();
  void watchForClose();
  void fail();

  boost::asio::ip::tcp::socket socket_;
  ConnectionSlot slot_;
  SendQueue queue_;
  bool video_;
  Gone gone_;
  bool writing_ = false;
  bool closed_ = false;
  std::array<char, 512> discard_{};
};

}  // namespace qx::server
