#include "server/http_session.h"

#include "server/http_rules.h"
#include "server/server.h"
#include "server/updates.h"

#include <chrono>
#include <optional>
#include <string_view>

namespace qx::server {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

constexpr std::size_t maxRequestBody = 64 * 1024;
constexpr std::size_t maxRequestHeader = 16 * 1024;
// A connection that has not sent its whole request by then is dropped, so idle
// connections cannot hold the slots for long.
constexpr auto requestDeadline = 5s;
constexpr auto responseDeadline = 10s;
// After an answer the client's remaining input is read and discarded for at
// most this long before closing: closing with unread input would reset the
// connection, and the client could lose the answer.
constexpr auto lingerDeadline = 2s;

struct Refusal {
  http::status status;
  const char* body;
};

// The answer to a request the parser refused. Absent when there is no one to
// answer: the client went away, or sent nothing complete in time.
std::optional<Refusal> refusalForParseError(const beast::error_code& ec) {
  if (ec == http::error::body_limit) return Refusal{http::status::payload_too_large, "request body too large\n"};
  if (ec == http::error::header_limit) {
    return Refusal{http::status::request_header_fields_too_large, "request header too large\n"};
  }
  if (ec.category() != beast::error_code(http::error::bad_method).category()) return std::nullopt;
  if (ec == http::error::end_of_stream || ec == http::error::partial_message || ec == http::error::short_read) {
    return std::nullopt;
  }
  return Refusal{http::status::bad_request, "malformed request\n"};
}

// Transfer-Encoding with Content-Length, or without chunked last, leaves the
// request's length ambiguous (the parser refuses only some of these forms).
bool ambiguousLength(const http::request<http::string_body>& request) {
  if (request.count(http::field::transfer_encoding) == 0) return false;
  return request.count(http::field::content_length) != 0 || !request.chunked();
}

std::string_view view(beast::string_view text) { return {text.data(), text.size()}; }

}  // namespace

void HttpSession::start() {
  parser_.body_limit(maxRequestBody);
  parser_.header_limit(maxRequestHeader);
  stream_.expires_after(requestDeadline);
  http::async_read(stream_, buffer_, parser_,
                   [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRequest(ec); });
}

void HttpSession::onRequest(beast::error_code ec) {
  if (ec) {
    if (auto refusal = refusalForParseError(ec)) respond(refusal->status, refusal->body);
    return;
  }
  const auto& request = parser_.get();
  if (ambiguousLength(request)) {
    respond(http::status::bad_request, "Transfer-Encoding must be chunked and without Content-Length\n");
    return;
  }
  auto decision = route(view(request.method_string()), view(request.target()),
                        view(request[http::field::authorization]), server_.environment().token, server_.audioEnabled());
  if (decision.status != 200 || !decision.endpoint) {
    respond(static_cast<http::status>(decision.status), "");
    return;
  }
  switch (*decision.endpoint) {
    case Endpoint::index:
      respond(http::status::ok,
              "quorvex-webrtc-server\n"
              "GET /stream.h264   H.264 Annex B stream, starting at a keyframe\n"
              "GET /audio.opus    Opus packets, each after a 2-byte big-endian length\n"
              "POST /control      one of: idr, ltr-refresh, ltr-ack N, bitrate N\n"
              "POST /update/install  {\"version\": \"1.2.3\"}\n");
      return;
    case Endpoint::stream:
    case Endpoint::audio: {
      bool video = *decision.endpoint == Endpoint::stream;
      std::string header =
          "HTTP/1.1 200 OK\r\nContent-Type: " + std::string(video ? "video/h264" : "application/octet-stream") +
          "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
      stream_.expires_never();
      server_.addClient(stream_.release_socket(), std::move(slot_), video, std::move(header));
      return;
    }
    case Endpoint::control: {
      auto line = controlLine(request.body());
      if (!line) {
        respond(http::status::bad_request, "expected one of: idr, ltr-refresh, ltr-ack N, bitrate N\n");
        return;
      }
      if (!server_.sendControl(*line)) {
        respond(http::status::service_unavailable, "capture helper is not running\n");
        return;
      }
      respond(http::status::no_content, "");
      return;
    }
    case Endpoint::updateInstall: requestInstall(request.body()); return;
  }
}

void HttpSession::requestInstall(const std::string& body) {
  auto version = installRequestVersion(body);
  if (!version) {
    respond(http::status::bad_request, "expected {\"version\": \"<version>\"}\n");
    return;
  }
  const auto& env = server_.environment();
  if (!env.cachesDir) {
    logLine("cannot record install request: no caches directory (HOME unset)");
    respond(http::status::internal_server_error, "no caches directory\n");
    return;
  }
  // The host reads the file when it sees the line, so the file comes first.
  if (auto error = writeUpdateRequest(*env.cachesDir, *version, env.now())) {
    logLine("cannot record install request: " + *error);
    respond(http::status::internal_server_error, "cannot record the request\n");
    return;
  }
  printLine("[update] install requested " + *version);
  respond(http::status::accepted, "install requested " + *version + "\n");
}

void HttpSession::respond(http::status status, std::string body) {
  auto response = std::make_shared<http::response<http::string_body>>(status, 11);
  response->set(http::field::server, "quorvex-webrtc-server");
  response->set(http::field::content_type, "text/plain; charset=utf-8");
  if (status == http::status::unauthorized) response->set(http::field::www_authenticate, "Bearer");
  response->keep_alive(false);
  if (status != http::status::no_content) {
    response->body() = std::move(body);
    response->prepare_payload();
  }
  stream_.expires_after(responseDeadline);
  http::async_write(stream_, *response, [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
    if (ec) return;
    beast::error_code ignored;
    self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    self->stream_.expires_after(lingerDeadline);  // one deadline for the whole drain
    self->drain();
  });
}

void HttpSession::drain() {
  stream_.async_read_some(asio::buffer(discard_), [self = shared_from_this()](beast::error_code ec, std::size_t) {
    if (!ec) self->drain();
  });
}

// The answer fits the fresh socket's empty send buffer; what the client sent
// already is read first so that closing does not reset the connection.
void refuseBusy(tcp::socket socket) {
  static constexpr std::string_view body = "too many connections\n";
  static const std::string answer =
      "HTTP/1.1 503 Service Unavailable\r\nServer: quorvex-webrtc-server\r\n"
      "Content-Type: text/plain; charset=utf-8\r\nRetry-After: 5\r\nConnection: close\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
  beast::error_code ignored;
  socket.non_blocking(true, ignored);
  socket.write_some(asio::buffer(answer.data(), answer.size()), ignored);
  socket.shutdown(tcp::socket::shutdown_send, ignored);
  std::array<char, 4096> discard{};
  for (int i = 0; i < 16; ++i) {
    beast::error_code ec;
    socket.read_some(asio::buffer(discard), ec);
    if (ec) break;
  }
  socket.close(ignored);
}

}  // namespace qx::server
