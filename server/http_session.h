#pragma once

#include "server/server_io.h"
#include "server/waiting_connections.h"

#include <utility>  // Boost 1.74 asio uses std::exchange without including it

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <array>
#include <memory>
#include <string>

namespace qx::server {

class Server;

// One HTTP request on a fresh connection. Non-stream answers close the
// connection afterwards; stream requests hand the socket to a StreamClient.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(Server& server, boost::asio::ip::tcp::socket socket, ConnectionSlot slot, WaitingConnections::Id id)
      : server_(server), stream_(std::move(socket)), slot_(std::move(slot)), id_(id) {}

  void start();
  // Closed to make room while still waiting for its request; the slot is free
  // at once.
  void evict();

 private:
  void onRequest(boost::beast::error_code ec);
  void requestInstall(const std::string& body);
  void respond(boost::beast::http::status status, std::string body);
  void respond(const std::shared_ptr<boost::beast::http::response<boost::beast::http::string_body>>& response);
  std::shared_ptr<boost::beast::http::response<boost::beast::http::string_body>> response(
      boost::beast::http::status status, std::string body, std::string_view contentType = "text/plain; charset=utf-8");
  void servePage();
  void preflight();
  void offer();
  void endViewer();
  void drain();

  Server& server_;
  boost::beast::tcp_stream stream_;
  ConnectionSlot slot_;
  WaitingConnections::Id id_;
  boost::beast::flat_buffer buffer_;
  boost::beast::http::request_parser<boost::beast::http::string_body> parser_;
  std::array<char, 4096> discard_{};
};

// Past the cap: answered at once and closed, so a refusal never holds a slot.
void refuseBusy(boost::asio::ip::tcp::socket socket);

}  // namespace qx::server
