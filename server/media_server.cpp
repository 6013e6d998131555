#include "server/media_server.h"

#include "common/fd.h"
#include "server/connection_limits.h"
#include "server/helper_process.h"
#include "server/http_rules.h"
#include "server/idr_throttle.h"
#include "server/listen_address.h"
#include "server/request_source.h"
#include "server/server_output.h"
#include "server/stream_framing.h"
#include "server/updates.h"
#include "server/waiting_connections.h"

#include <utility>  // Boost 1.74 asio uses std::exchange without including it

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <string_view>

extern char** environ;

namespace qx::server {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

void logLine(const std::string& message) { printLine("quorvex-webrtc-server: " + message); }

// Lines of the helper's standard error longer than this are passed on in
// pieces, so a helper that never ends its line cannot grow memory.
constexpr std::size_t maxHelperLine = 64 * 1024;
// Control lines queued for a helper that does not read its input.
constexpr std::size_t maxPendingControlLines = 256;
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
// A failed accept (out of descriptors or memory) leaves the connection queued,
// so an immediate retry would fail the same way and spin.
constexpr auto acceptRetryDelay = 200ms;

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

class Server;
class Session;

// What became of a control line.
enum class ControlResult { sent, noHelper, dropped };

// One streaming client (/stream.h264 or /audio.opus). Runs on the server's
// one thread; handlers hold a shared pointer so the object outlives them.
class StreamClient : public std::enable_shared_from_this<StreamClient> {
 public:
  StreamClient(Server& server, tcp::socket socket, ConnectionSlot slot, std::size_t maxBytes, bool video)
      : server_(server), socket_(std::move(socket)), slot_(std::move(slot)), queue_(maxBytes), video_(video) {}

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

  Server& server_;
  tcp::socket socket_;
  ConnectionSlot slot_;
  SendQueue queue_;
  bool video_;
  bool writing_ = false;
  bool closed_ = false;
  std::array<char, 512> discard_{};
};

class Server {
 public:
  Server(asio::io_context& io, const ServeOptions& options, const ServerEnvironment& environment)
      : io_(io),
        options_(options),
        environment_(environment),
        acceptor_(io),
        signals_(io, SIGTERM, SIGINT, SIGCHLD),
        helperInput_(io),
        helperOutput_(io),
        helperErrors_(io),
        helperAudio_(io),
        killTimer_(io),
        graceTimer_(io),
        acceptTimer_(io),
        idrTimer_(io) {}

  [[nodiscard]] bool listen();
  [[nodiscard]] bool startHelper();
  // Connections past `count` are answered 503 and closed.
  void limitConnections(std::size_t count) { maxConnections_ = count; }
  int exitStatus() const;

  // Used by request sessions.
  const ServerEnvironment& environment() const { return environment_; }
  bool audioEnabled() const { return options_.captureAudio; }
  // "idr" goes through the keyframe throttle; every other line is written.
  ControlResult sendControl(const std::string& line);
  void addClient(tcp::socket socket, ConnectionSlot slot, bool video, std::string header);
  void removeClient(const std::shared_ptr<StreamClient>& client);
  // A session that received its request (or failed) no longer waits for it.
  void requestReceived(WaitingConnections::Id id);

 private:
  ControlResult writeControl(const std::string& line);
  void sendHeldKeyframe();
  void acceptNext();
  void admit(tcp::socket socket);
  void waitForSignal();
  void readOutput();
  void readErrors();
  void readAudio();
  void writeInput();
  void passErrorLines(bool atEnd);
  void stop();
  void reap();
  void finishIfDone();
  void reportClients();
  void distribute(const std::shared_ptr<const std::string>& bytes, bool keyframe, bool video);

  asio::io_context& io_;
  const ServeOptions& options_;
  const ServerEnvironment& environment_;
  tcp::acceptor acceptor_;
  asio::signal_set signals_;
  asio::posix::stream_descriptor helperInput_;
  asio::posix::stream_descriptor helperOutput_;
  asio::posix::stream_descriptor helperErrors_;
  asio::posix::stream_descriptor helperAudio_;
  asio::steady_timer killTimer_;
  asio::steady_timer graceTimer_;
  asio::steady_timer acceptTimer_;
  asio::steady_timer idrTimer_;

  std::shared_ptr<std::size_t> openConnections_ = std::make_shared<std::size_t>(0);
  std::size_t maxConnections_ = 0;
  WaitingConnections waiting_;
  std::map<WaitingConnections::Id, std::weak_ptr<Session>> waitingSessions_;
  WaitingConnections::Id nextSessionId_ = 0;
  IdrThrottle idr_;
  bool acceptFailing_ = false;

  pid_t helperPid_ = -1;
  std::optional<int> helperStatus_;  // raw wait status once reaped
  bool stopping_ = false;
  bool errorsDone_ = false;
  bool finished_ = false;

  std::array<char, 65536> outputBuffer_{};
  std::array<char, 16384> errorBuffer_{};
  std::array<char, 16384> audioBuffer_{};
  std::string errorLine_;
  std::deque<std::string> pendingInput_;
  bool writingInput_ = false;

  AccessUnitSplitter video_;
  OpusFrameSplitter audio_;
  std::set<std::shared_ptr<StreamClient>> clients_;
  std::size_t reportedClients_ = 0;
};

// One HTTP request on a fresh connection. Non-stream answers close the
// connection afterwards; stream requests hand the socket to a StreamClient.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Server& server, tcp::socket socket, ConnectionSlot slot, WaitingConnections::Id id)
      : server_(server), stream_(std::move(socket)), slot_(std::move(slot)), id_(id) {}

  void start() {
    parser_.body_limit(maxRequestBody);
    parser_.header_limit(maxRequestHeader);
    stream_.expires_after(requestDeadline);
    http::async_read(stream_, buffer_, parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRequest(ec); });
  }

  // Closed to make room while still waiting for its request; the slot is free
  // at once.
  void evict() {
    slot_.release();
    beast::error_code ignored;
    stream_.socket().close(ignored);
  }

 private:
  static std::optional<std::string_view> header(const http::request<http::string_body>& request, http::field name) {
    auto at = request.find(name);
    if (at == request.end()) return std::nullopt;
    return std::string_view(at->value().data(), at->value().size());
  }

  void onRequest(beast::error_code ec) {
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
    if (!requestSourceAllowed({header(request, http::field::host), header(request, http::field::origin)},
                              server_.environment().machineName)) {
      respond(http::status::forbidden, "requests from web pages and other host names are refused\n");
      return;
    }
    auto decision =
        route(std::string_view(request.method_string().data(), request.method_string().size()),
              std::string_view(request.target().data(), request.target().size()),
              std::string_view(request[http::field::authorization].data(), request[http::field::authorization].size()),
              server_.environment().token, server_.audioEnabled());
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

  void requestInstall(const std::string& body) {
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

  void respond(http::status status, std::string body) {
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

  void drain() {
    stream_.async_read_some(asio::buffer(discard_), [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (!ec) self->drain();
    });
  }

  Server& server_;
  beast::tcp_stream stream_;
  ConnectionSlot slot_;
  WaitingConnections::Id id_;
  beast::flat_buffer buffer_;
  http::request_parser<http::string_body> parser_;
  std::array<char, 4096> discard_{};
};

// Past the cap: answered at once and closed, so a refusal never holds a slot.
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

void StreamClient::start(std::string header) {
  (void)queue_.push(std::make_shared<const std::string>(std::move(header)));
  writeNext();
  watchForClose();
}

bool StreamClient::send(std::shared_ptr<const std::string> buffer) {
  if (closed_) return true;
  if (!queue_.push(std::move(buffer))) return false;
  writeNext();
  return true;
}

void StreamClient::close() {
  if (closed_) return;
  closed_ = true;
  beast::error_code ignored;
  socket_.shutdown(tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  slot_.release();
}

void StreamClient::writeNext() {
  if (writing_ || closed_ || queue_.empty()) return;
  writing_ = true;
  auto buffer = queue_.front();
  asio::async_write(socket_, asio::buffer(*buffer),
                    [self = shared_from_this(), buffer](beast::error_code ec, std::size_t) {
                      self->writing_ = false;
                      if (ec) {
                        self->fail();
                        return;
                      }
                      if (self->closed_) return;
                      self->queue_.pop();
                      self->writeNext();
                    });
}

// Stream clients send nothing after their request; a read completing means
// the client went away (or misbehaves), and either way it is dropped.
void StreamClient::watchForClose() {
  socket_.async_read_some(asio::buffer(discard_), [self = shared_from_this()](beast::error_code ec, std::size_t) {
    if (self->closed_) return;
    if (!ec) logLine(std::string("dropping a ") + (self->video_ ? "stream" : "audio") + " client that sent data");
    self->fail();
  });
}

void StreamClient::fail() {
  if (closed_) return;
  close();
  server_.removeClient(shared_from_this());
}

bool Server::listen() {
  auto address = parseListenAddress(options_.listen);
  if (!address) {
    logLine("invalid listen address: " + options_.listen +
            " (expected :PORT, HOST:PORT or [V6]:PORT with PORT from 1 to 65535, or 0 for any free port)");
    return false;
  }
  beast::error_code ec;
  tcp::endpoint endpoint;
  bool anyInterface = address->host.empty();
  if (anyInterface) {
    endpoint = tcp::endpoint(tcp::v6(), address->port);
  } else if (auto literal = asio::ip::make_address(address->host, ec); !ec) {
    endpoint = tcp::endpoint(literal, address->port);
  } else {
    tcp::resolver resolver(io_);
    auto results = resolver.resolve(address->host, std::to_string(address->port), ec);
    if (ec || results.empty()) {
      logLine("cannot resolve " + address->host + ": " + ec.message());
      return false;
    }
    endpoint = results.begin()->endpoint();
  }
  acceptor_.open(endpoint.protocol(), ec);
  if (ec && anyInterface) {
    // No IPv6 on this machine: every IPv4 interface instead.
    endpoint = tcp::endpoint(tcp::v4(), address->port);
    ec.clear();
    acceptor_.open(endpoint.protocol(), ec);
  }
  if (ec) {
    logLine("cannot open a socket: " + ec.message());
    return false;
  }
  // The helper must not inherit the listening socket.
  ::fcntl(acceptor_.native_handle(), F_SETFD, FD_CLOEXEC);
  if (anyInterface && endpoint.protocol() == tcp::v6()) acceptor_.set_option(asio::ip::v6_only(false), ec);
  acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
  acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec == asio::error::address_in_use) {
    // Lower case on purpose: the host looks for exactly this text.
    logLine("cannot listen on " + options_.listen + ": address already in use");
    return false;
  }
  if (ec) {
    logLine("cannot listen on " + options_.listen + ": " + ec.message());
    return false;
  }
  auto local = acceptor_.local_endpoint(ec);
  std::string host = anyInterface ? std::string() : local.address().to_string();
  logLine("listening on " + formatEndpoint(host, local.port()) + " (GET /stream.h264" +
          (options_.captureAudio ? ", GET /audio.opus" : "") + ")");
  acceptNext();
  return true;
}

bool Server::startHelper() {
  // SIGCHLD is watched before the child exists so its end cannot be missed.
  waitForSignal();
  auto args = helperArguments(options_, options_.captureAudio ? std::optional<int>(helperAudioFd) : std::nullopt);
  if (!args) {
    logLine("cannot split --capture-cmd (empty, or an unclosed quote): " + options_.captureCommand);
    return false;
  }
  SpawnError error;
  auto helper = spawnHelper(*args, helperEnvironment(environ), options_.captureAudio, error);
  if (!helper) {
    logLine(error.message);
    return false;
  }
  helperPid_ = helper->pid;
  helperInput_.assign(helper->input.release());
  helperOutput_.assign(helper->output.release());
  helperErrors_.assign(helper->errors.release());
  readOutput();
  readErrors();
  if (helper->audio) {
    helperAudio_.assign(helper->audio.release());
    readAudio();
  }
  reap();  // in case it ended before the handler was waiting
  return true;
}

int Server::exitStatus() const {
  if (stopping_ || !helperStatus_) return 0;
  int status = *helperStatus_;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

void Server::acceptNext() {
  acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || finished_) return;
    if (ec && ec != asio::error::connection_aborted) {
      if (!acceptFailing_) logLine("cannot accept connections: " + ec.message() + "; retrying");
      acceptFailing_ = true;
      acceptTimer_.expires_after(acceptRetryDelay);
      acceptTimer_.async_wait([this](beast::error_code timerEc) {
        if (!timerEc && !finished_) acceptNext();
      });
      return;
    }
    if (!ec) {
      acceptFailing_ = false;
      admit(std::move(socket));
    }
    acceptNext();
  });
}

void Server::admit(tcp::socket socket) {
  // The helper must not inherit client connections.
  ::fcntl(socket.native_handle(), F_SETFD, FD_CLOEXEC);
  const auto id = nextSessionId_++;
  if (auto oldest = waiting_.add(id, maxConnections_)) {
    if (auto session = waitingSessions_[*oldest].lock()) session->evict();
    waitingSessions_.erase(*oldest);
  }
  if (*openConnections_ >= maxConnections_) {
    requestReceived(id);
    refuseBusy(std::move(socket));
    return;
  }
  auto session = std::make_shared<Session>(*this, std::move(socket), ConnectionSlot(openConnections_), id);
  waitingSessions_[id] = session;
  session->start();
}

void Server::requestReceived(WaitingConnections::Id id) {
  waiting_.remove(id);
  waitingSessions_.erase(id);
}

void Server::waitForSignal() {
  signals_.async_wait([this](beast::error_code ec, int sig) {
    if (ec) return;
    if (sig == SIGCHLD) {
      reap();
    } else {
      logLine(std::string("stopping on ") + (sig == SIGTERM ? "SIGTERM" : "SIGINT"));
      stop();
    }
    if (!finished_) waitForSignal();
  });
}

void Server::stop() {
  if (stopping_) return;
  stopping_ = true;
  if (helperPid_ > 0 && !helperStatus_) {
    ::kill(helperPid_, SIGTERM);
    beast::error_code ignored;
    helperInput_.close(ignored);  // the helper also ends at the end of its input
    killTimer_.expires_after(2s);
    killTimer_.async_wait([this](beast::error_code ec) {
      if (ec || helperStatus_) return;
      logLine("capture helper ignored SIGTERM; killing it");
      ::kill(helperPid_, SIGKILL);
    });
  } else {
    finishIfDone();
  }
}

void Server::reap() {
  if (helperPid_ <= 0 || helperStatus_) return;
  int status = 0;
  pid_t pid = ::waitpid(helperPid_, &status, WNOHANG);
  if (pid != helperPid_) return;
  helperStatus_ = status;
  killTimer_.cancel();
  if (!stopping_) {
    if (WIFEXITED(status)) {
      logLine("capture helper exited with status " + std::to_string(WEXITSTATUS(status)));
    } else if (WIFSIGNALED(status)) {
      logLine("capture helper ended by signal " + std::to_string(WTERMSIG(status)));
    }
  }
  // Its last error lines may still be in the pipe; wait for them briefly in
  // case a grandchild keeps the pipe open.
  graceTimer_.expires_after(1s);
  graceTimer_.async_wait([this](beast::error_code ec) {
    if (ec) return;
    errorsDone_ = true;
    finishIfDone();
  });
  finishIfDone();
}

void Server::finishIfDone() {
  if (finished_) return;
  bool helperGone = helperPid_ <= 0 || helperStatus_.has_value();
  if (!helperGone || (helperPid_ > 0 && !errorsDone_)) return;
  finished_ = true;
  passErrorLines(true);
  for (const auto& client : std::set<std::shared_ptr<StreamClient>>(clients_)) client->close();
  io_.stop();
}

ControlResult Server::sendControl(const std::string& line) {
  if (line != "idr" || !helperInput_.is_open()) return writeControl(line);
  if (idr_.request(IdrThrottle::Clock::now())) return writeControl(line);
  if (auto due = idr_.due()) {
    idrTimer_.expires_at(*due);
    idrTimer_.async_wait([this](beast::error_code ec) {
      if (!ec) sendHeldKeyframe();
    });
  }
  return ControlResult::sent;
}

void Server::sendHeldKeyframe() {
  if (finished_ || !idr_.poll(IdrThrottle::Clock::now())) return;
  (void)writeControl("idr");
}

ControlResult Server::writeControl(const std::string& line) {
  if (!helperInput_.is_open()) return ControlResult::noHelper;
  if (pendingInput_.size() >= maxPendingControlLines) {
    logLine("capture helper is not reading its input; control line dropped: " + line);
    return ControlResult::dropped;
  }
  pendingInput_.push_back(line + "\n");
  writeInput();
  return ControlResult::sent;
}

void Server::writeInput() {
  if (writingInput_ || pendingInput_.empty() || !helperInput_.is_open()) return;
  writingInput_ = true;
  asio::async_write(helperInput_, asio::buffer(pendingInput_.front()), [this](beast::error_code ec, std::size_t) {
    writingInput_ = false;
    if (ec) {
      pendingInput_.clear();
      beast::error_code ignored;
      helperInput_.close(ignored);
      return;
    }
    pendingInput_.pop_front();
    writeInput();
  });
}

void Server::readOutput() {
  helperOutput_.async_read_some(asio::buffer(outputBuffer_), [this](beast::error_code ec, std::size_t n) {
    if (ec) return;  // end of the stream: the helper is ending, SIGCHLD follows
    for (auto& unit : video_.push(std::string_view(outputBuffer_.data(), n))) {
      distribute(unit.bytes, unit.keyframe, true);
    }
    readOutput();
  });
}

void Server::readAudio() {
  helperAudio_.async_read_some(asio::buffer(audioBuffer_), [this](beast::error_code ec, std::size_t n) {
    if (ec) return;
    for (auto& frame : audio_.push(std::string_view(audioBuffer_.data(), n))) distribute(frame, true, false);
    readAudio();
  });
}

void Server::readErrors() {
  helperErrors_.async_read_some(asio::buffer(errorBuffer_), [this](beast::error_code ec, std::size_t n) {
    if (ec) {
      passErrorLines(true);
      errorsDone_ = true;
      finishIfDone();
      return;
    }
    errorLine_.append(errorBuffer_.data(), n);
    passErrorLines(false);
    readErrors();
  });
}

void Server::passErrorLines(bool atEnd) {
  std::size_t start = 0;
  for (;;) {
    auto newline = errorLine_.find('\n', start);
    if (newline == std::string::npos) break;
    std::size_t end = newline > start && errorLine_[newline - 1] == '\r' ? newline - 1 : newline;
    printLine(errorLine_.substr(start, end - start));
    start = newline + 1;
  }
  errorLine_.erase(0, start);
  while (errorLine_.size() >= maxHelperLine) {
    printLine(errorLine_.substr(0, maxHelperLine));
    errorLine_.erase(0, maxHelperLine);
  }
  if (atEnd && !errorLine_.empty()) {
    printLine(errorLine_);
    errorLine_.clear();
  }
}

void Server::distribute(const std::shared_ptr<const std::string>& bytes, bool keyframe, bool video) {
  std::vector<std::shared_ptr<StreamClient>> slow;
  for (const auto& client : clients_) {
    if (client->video() != video) continue;
    if (client->waitingForKeyframe) {
      if (!keyframe) continue;
      client->waitingForKeyframe = false;
    }
    if (!client->send(bytes)) slow.push_back(client);
  }
  for (const auto& client : slow) {
    logLine(std::string("dropping a slow ") + (video ? "stream" : "audio") + " client");
    client->close();
    removeClient(client);
  }
}

void Server::addClient(tcp::socket socket, ConnectionSlot slot, bool video, std::string header) {
  auto client =
      std::make_shared<StreamClient>(*this, std::move(socket), std::move(slot), options_.maxClientBuffer, video);
  clients_.insert(client);
  client->start(std::move(header));
  if (video) {
    // Start the newcomer at a fresh keyframe instead of waiting a whole GOP.
    (void)sendControl("idr");
    reportClients();
  }
}

void Server::removeClient(const std::shared_ptr<StreamClient>& client) {
  if (clients_.erase(client) == 0) return;
  if (client->video()) reportClients();
}

void Server::reportClients() {
  std::size_t count = 0;
  for (const auto& client : clients_) count += client->video() ? 1 : 0;
  if (count == reportedClients_) return;
  reportedClients_ = count;
  printLine("connected clients: " + std::to_string(count));
}

// The soft limit on descriptor numbers.
std::uint64_t openFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return limit.rlim_cur;
}

// Open descriptors with numbers below `limit` (only those take numbers new
// descriptors could have). Above 65536 the headroom is ample; not counted.
std::size_t openDescriptorsBelow(std::uint64_t limit) {
  const int end = static_cast<int>(std::min<std::uint64_t>(limit, 65536));
  std::size_t open = 0;
  for (int fd = 0; fd < end; ++fd) open += ::fcntl(fd, F_GETFD) != -1 ? 1 : 0;
  return open;
}

}  // namespace

int runServer(const ServeOptions& options, const ServerEnvironment& environment) {
  asio::io_context io;
  ServerOutput output(io);
  Server server(io, options, environment);
  if (!server.listen()) return 1;
  if (!server.startHelper()) return 1;
  // Counted once everything long-lived is open: the rest is for clients.
  const auto limit = openFileLimit();
  server.limitConnections(maxConnections(limit, openDescriptorsBelow(limit)));
  io.run();
  return server.exitStatus();
}

}  // namespace qx::server
