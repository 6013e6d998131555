#include "server/http_session.h"

#include "server/http_rules.h"
#include "server/request_source.h"
#include "server/server.h"
#include "server/updates.h"

#include "server/webrtc_viewers.h"

#include <chrono>
#include <fstream>
#include <iterator>
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

std::optional<std::string_view> header(const http::request<http::string_body>& request, http::field name) {
  auto at = request.find(name);
  if (at == request.end()) return std::nullopt;
  return view(at->value());
}

bool isWhepPath(std::string_view target) {
  auto path = target.substr(0, target.find('?'));
  return path == "/whep" || path.substr(0, 6) == "/whep/";
}

std::string_view contentTypeOf(std::string_view file) {
  auto dot = file.rfind('.');
  auto extension = dot == std::string_view::npos ? std::string_view{} : file.substr(dot + 1);
  if (extension == "html") return "text/html; charset=utf-8";
  if (extension == "css") return "text/css; charset=utf-8";
  if (extension == "js") return "text/javascript; charset=utf-8";
  if (extension == "svg") return "image/svg+xml";
  if (extension == "png") return "image/png";
  if (extension == "ico") return "image/x-icon";
  return "application/octet-stream";
}

constexpr std::string_view indexText =
    "quorvex-webrtc-server\n"
    "GET /stream.h264   H.264 Annex B stream, starting at a keyframe\n"
    "GET /audio.opus    Opus packets, each after a 2-byte big-endian length\n"
    "POST /whep         WebRTC viewer (WHEP): an SDP offer, answered with the SDP answer\n"
    "POST /control      one of: idr, ltr-refresh, ltr-ack N, bitrate N\n"
    "POST /update/install  {\"version\": \"1.2.3\"}\n";

}  // namespace

void HttpSession::start() {
  parser_.body_limit(maxRequestBody);
  parser_.header_limit(maxRequestHeader);
  stream_.expires_after(requestDeadline);
  http::async_read(stream_, buffer_, parser_,
                   [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRequest(ec); });
}

void HttpSession::evict() {
  slot_.release();
  beast::error_code ignored;
  stream_.socket().close(ignored);
}

void HttpSession::onRequest(beast::error_code ec) {
  server_.requestReceived(id_);
  if (ec) {
    if (auto refusal = refusalForParseError(ec)) respond(refusal->status, refusal->body);
    return;
  }
  const auto& request = parser_.get();
  if (ambiguousLength(request)) {
    respond(http::status::bad_request, "Transfer-Encoding must be chunked and without Content-Length\n");
    return;
  }
  // A standard WHEP player on another origin may use /whep when a token
  // guards it; every other cross-origin request stays refused.
  const auto& token = server_.environment().token;
  const bool corsAllowed = token && !token->empty() && isWhepPath(view(request.target()));
  const auto host = header(request, http::field::host);
  const auto origin = header(request, http::field::origin);
  if (!requestSourceAllowed({host, corsAllowed ? std::nullopt : origin}, server_.environment().machineName)) {
    respond(http::status::forbidden, "requests from web pages and other host names are refused\n");
    return;
  }
  auto decision = route(view(request.method_string()), view(request.target()),
                        view(request[http::field::authorization]), server_.environment().token, server_.audioEnabled());
  if (decision.status != 200 || !decision.endpoint) {
    respond(static_cast<http::status>(decision.status), "");
    return;
  }
  switch (*decision.endpoint) {
    case Endpoint::index: respond(http::status::ok, std::string(indexText)); return;
    case Endpoint::page: servePage(); return;
    case Endpoint::preflight: preflight(); return;
    case Endpoint::whep: offer(); return;
    case Endpoint::whepSession: endViewer(); return;
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
      switch (server_.sendControl(*line)) {
        case ControlResult::sent: respond(http::status::no_content, ""); return;
        case ControlResult::noHelper:
          respond(http::status::service_unavailable, "capture helper is not running\n");
          return;
        case ControlResult::dropped:
          respond(http::status::service_unavailable, "capture helper is not reading its input\n");
          return;
      }
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

void HttpSession::servePage() {
  auto file = pageFile(view(parser_.get().target()));
  std::ifstream in(server_.viewerDirectory() / *file, std::ios::binary);
  if (!in) {
    // Without the page (a build without its files) "/" still says what is here.
    if (*file == "index.html") {
      respond(http::status::ok, std::string(indexText));
    } else {
      respond(http::status::not_found, "");
    }
    return;
  }
  std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto answer = response(http::status::ok, std::move(body), contentTypeOf(*file));
  answer->set(http::field::cache_control, "no-cache");
  respond(answer);
}

// Cross-origin WHEP players are let in only when a token guards the
// endpoints; without one, any web page could otherwise drive the desktop.
void HttpSession::preflight() {
  auto answer = response(http::status::no_content, "");
  const auto& token = server_.environment().token;
  if (token && !token->empty()) {
    auto origin = parser_.get()[http::field::origin];
    answer->set(http::field::access_control_allow_origin, origin.empty() ? beast::string_view("*") : origin);
    answer->set(http::field::access_control_allow_methods, "POST, DELETE, OPTIONS");
    answer->set(http::field::access_control_allow_headers, "Authorization, Content-Type");
    answer->set(http::field::access_control_max_age, "600");
    answer->set(http::field::vary, "Origin");
  }
  respond(answer);
}

void HttpSession::offer() {
  const auto& request = parser_.get();
  if (!isSdpContentType(view(request[http::field::content_type]))) {
    respond(http::status::unsupported_media_type, "the offer must be Content-Type: application/sdp\n");
    return;
  }
  auto* viewers = server_.viewers();
  if (!viewers) {
    respond(http::status::service_unavailable, "WebRTC is not available on this server\n");
    return;
  }
  // Gathering takes a few hundred milliseconds; the answer comes from a
  // GStreamer callback, after the usual response deadline started.
  stream_.expires_never();
  viewers->offer(request.body(),
                 [self = shared_from_this()](int status, const std::string& location, std::string body) {
                   if (status != 201) {
                     self->respond(static_cast<http::status>(status), std::move(body));
                     return;
                   }
                   auto answer = self->response(http::status::created, std::move(body), "application/sdp");
                   answer->set(http::field::location, location);
                   self->respond(answer);
                 });
}

void HttpSession::endViewer() {
  auto* viewers = server_.viewers();
  std::string_view target = view(parser_.get().target());
  auto path = target.substr(0, target.find('?'));
  if (!viewers || !viewers->end(path)) {
    respond(http::status::not_found, "no such session\n");
    return;
  }
  respond(http::status::ok, "");
}

std::shared_ptr<http::response<http::string_body>> HttpSession::response(http::status status, std::string body,
                                                                         std::string_view contentType) {
  auto response = std::make_shared<http::response<http::string_body>>(status, 11);
  response->set(http::field::server, "quorvex-webrtc-server");
  response->set(http::field::content_type, beast::string_view(contentType.data(), contentType.size()));
  if (status == http::status::unauthorized) response->set(http::field::www_authenticate, "Bearer");
  response->keep_alive(false);
  if (status != http::status::no_content) {
    response->body() = std::move(body);
    response->prepare_payload();
  }
  return response;
}

void HttpSession::respond(http::status status, std::string body) { respond(response(status, std::move(body))); }

void HttpSession::respond(const std::shared_ptr<http::response<http::string_body>>& response) {
  // A cross-origin WHEP player may read the answer when a token guards it.
  const auto& token = server_.environment().token;
  auto origin = parser_.is_header_done() ? parser_.get()[http::field::origin] : beast::string_view();
  if (token && !token->empty() && !origin.empty() &&
      response->find(http::field::access_control_allow_origin) == response->end()) {
    response->set(http::field::access_control_allow_origin, origin);
    response->set(http::field::access_control_expose_headers, "Location");
    response->set(http::field::vary, "Origin");
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
