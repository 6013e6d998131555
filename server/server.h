#pragma once

#include "server/helper_link.h"
#include "server/idr_throttle.h"
#include "server/media_server.h"
#include "server/server_io.h"
#include "server/stream_client.h"
#include "server/waiting_connections.h"
#include "server/webrtc_viewers.h"

#include <utility>  // Boost 1.74 asio uses std::exchange without including it

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>

namespace qx::server {

class HttpSession;

// The running server: the listening socket, the helper, the signals and the
// fan-out to the stream clients. Everything on one io_context thread.
class Server {
 public:
  Server(boost::asio::io_context& io, const ServeOptions& options, const ServerEnvironment& environment);

  [[nodiscard]] bool listen();
  [[nodiscard]] bool startHelper();
  // The WebRTC viewers and remote input; without GStreamer's elements offers
  // are answered 503 and the rest works as before.
  void startWebrtc();
  // Connections past `count` are answered 503 and closed.
  void limitConnections(std::size_t count) { maxConnections_ = count; }
  int exitStatus() const;

  // Used by request sessions.
  const ServerEnvironment& environment() const { return environment_; }
  bool audioEnabled() const { return options_.captureAudio; }
  // "idr" goes through the keyframe throttle; every other line is written.
  ControlResult sendControl(const std::string& line);
  void addClient(boost::asio::ip::tcp::socket socket, ConnectionSlot slot, bool video, std::string header);
  // A session that received its request (or failed) no longer waits for it.
  void requestReceived(WaitingConnections::Id id);
  WebrtcViewers* viewers() { return viewers_.get(); }
  const std::filesystem::path& viewerDirectory() const { return viewerDirectory_; }

 private:
  void sendHeldKeyframe();
  void acceptNext();
  void admit(boost::asio::ip::tcp::socket socket);
  void waitForSignal();
  void stop();
  void finishIfDone();
  void removeClient(const std::shared_ptr<StreamClient>& client);
  void reportClients();
  void distribute(const std::shared_ptr<const std::string>& bytes, bool keyframe, bool video);

  boost::asio::io_context& io_;
  const ServeOptions& options_;
  const ServerEnvironment& environment_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::signal_set signals_;
  boost::asio::steady_timer acceptTimer_;
  boost::asio::steady_timer idrTimer_;
  HelperLink helper_;

  std::shared_ptr<std::size_t> openConnections_ = std::make_shared<std::size_t>(0);
  std::size_t maxConnections_ = 0;
  WaitingConnections waiting_;
  std::map<WaitingConnections::Id, std::weak_ptr<HttpSession>> waitingSessions_;
  WaitingConnections::Id nextSessionId_ = 0;
  IdrThrottle idr_;
  bool acceptFailing_ = false;
  bool stopping_ = false;
  bool finished_ = false;

  std::set<std::shared_ptr<StreamClient>> clients_;
  std::unique_ptr<InputHub> input_;
  std::unique_ptr<WebrtcViewers> viewers_;
  std::filesystem::path viewerDirectory_;
  std::size_t reportedClients_ = 0;
};

}  // namespace qx::server
