#include "server/media_server.h"

#include "server/connection_limits.h"
#include "server/http_session.h"
#include "server/listen_address.h"
#include "server/sdp_offer.h"
#include "server/server.h"

#include <boost/asio/ip/v6_only.hpp>

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

namespace qx::server {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

// A failed accept (out of descriptors or memory) leaves the connection queued,
// so an immediate retry would fail the same way and spin.
constexpr auto acceptRetryDelay = 200ms;

// The UDP ports WebRTC uses unless QUORVEX_WEBRTC_PORTS ("A-B") says
// otherwise; the README names them for firewalls.
constexpr std::pair<int, int> defaultWebrtcPorts{47100, 47199};

// This computer's own addresses, loopback included, for ICE: the host lists
// the same interfaces to the user. IPv6 link-local addresses need a scope
// that browsers do not send back, so they are left out.
std::vector<std::string> interfaceAddresses() {
  std::vector<std::string> addresses;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return {"127.0.0.1"};
  for (auto* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || (entry->ifa_flags & IFF_UP) == 0) continue;
    if (entry->ifa_addr->sa_family == AF_INET) {
      asio::ip::address_v4::bytes_type bytes{};
      std::memcpy(bytes.data(), &reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr, 4);  // NOLINT
      addresses.push_back(asio::ip::address_v4(bytes).to_string());
    } else if (entry->ifa_addr->sa_family == AF_INET6) {
      asio::ip::address_v6::bytes_type bytes{};
      std::memcpy(bytes.data(), &reinterpret_cast<sockaddr_in6*>(entry->ifa_addr)->sin6_addr, 16);  // NOLINT
      asio::ip::address_v6 address(bytes);
      if (!address.is_link_local()) addresses.push_back(address.to_string());
    }
  }
  ::freeifaddrs(list);
  return addresses;
}

// Contents/MacOS/<server> -> Contents/Resources/viewer
std::filesystem::path findViewerDirectory() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return exe.parent_path().parent_path() / "Resources" / "viewer";
}

}  // namespace

Server::Server(asio::io_context& io, const ServeOptions& options, const ServerEnvironment& environment)
    : io_(io),
      options_(options),
      environment_(environment),
      acceptor_(io),
      signals_(io, SIGTERM, SIGINT, SIGCHLD),
      acceptTimer_(io),
      idrTimer_(io),
      helper_(io, HelperLink::Handlers{
                      [this](const AccessUnit& unit) { distribute(unit.bytes, unit.keyframe, true); },
                      [this](const std::shared_ptr<const std::string>& frame) { distribute(frame, true, false); },
                      [this] { finishIfDone(); }}) {}

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

void Server::startWebrtc() {
  viewerDirectory_ = findViewerDirectory();
  WebrtcViewers::Config config;
  beast::error_code ec;
  auto local = acceptor_.local_endpoint(ec).address();
  if (local.is_v6() && local.to_v6().is_v4_mapped()) local = local.to_v6().to_v4();
  // A listen address naming one IP keeps ICE to that address too.
  config.iceAddresses =
      !ec && !local.is_unspecified() ? std::vector<std::string>{local.to_string()} : interfaceAddresses();
  config.udpPorts = defaultWebrtcPorts;
  if (const char* ports = std::getenv("QUORVEX_WEBRTC_PORTS"); ports != nullptr) {
    if (auto range = parsePortRange(ports)) {
      config.udpPorts = *range;
    } else {
      logLine(std::string("ignoring QUORVEX_WEBRTC_PORTS=") + ports + " (expected A-B within 1024-65535)");
    }
  }
  // The helper's x264 codes Constrained Baseline; OpenH264, asked for by
  // name and only with long-term references, codes (Constrained) High.
  const char* backend = std::getenv("QX_H264_BACKEND");
  config.defaultProfile =
      options_.ltr && backend != nullptr && std::string_view(backend) == "openh264" ? "640c1f" : "42e01f";
  config.tokenRequired = environment_.token && !environment_.token->empty();
  config.audio = options_.captureAudio;
  if (auto args = helperArguments(options_, std::nullopt)) input_ = InputHub::create(io_, *args);
  viewers_ = std::make_unique<WebrtcViewers>(
      io_, std::move(config), [this](const std::string& line) { return sendControl(line) == ControlResult::sent; },
      [this] { reportClients(); }, input_.get());
}

bool Server::startHelper() {
  // SIGCHLD is watched before the child exists so its end cannot be missed.
  waitForSignal();
  return helper_.start(options_);
}

int Server::exitStatus() const {
  if (stopping_ || !helper_.status()) return 0;
  int status = *helper_.status();
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
  auto session = std::make_shared<HttpSession>(*this, std::move(socket), ConnectionSlot(openConnections_), id);
  waitingSessions_[id] = session;
  session->start();
}

void Server::requestReceived(WaitingConnections::Id id) {
  waiting_.remove(id);
  waitingSessions_.erase(id);
}

ControlResult Server::sendControl(const std::string& line) {
  if (line != "idr" || !helper_.acceptsControl()) return helper_.sendControl(line);
  if (idr_.request(IdrThrottle::Clock::now())) return helper_.sendControl(line);
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
  (void)helper_.sendControl("idr");
}

void Server::waitForSignal() {
  signals_.async_wait([this](beast::error_code ec, int sig) {
    if (ec) return;
    if (sig == SIGCHLD) {
      helper_.reap();
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
  if (!helper_.stop()) finishIfDone();
}

void Server::finishIfDone() {
  if (finished_ || !helper_.done()) return;
  finished_ = true;
  helper_.flushErrors();
  if (viewers_) viewers_->endAll();
  for (const auto& client : std::set<std::shared_ptr<StreamClient>>(clients_)) client->close();
  io_.stop();
}

void Server::distribute(const std::shared_ptr<const std::string>& bytes, bool keyframe, bool video) {
  if (viewers_) {
    if (video) {
      viewers_->video(AccessUnit{bytes, keyframe});
    } else {
      viewers_->audio(bytes);
    }
  }
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
      std::make_shared<StreamClient>(std::move(socket), std::move(slot), options_.maxClientBuffer, video,
                                     [this](const std::shared_ptr<StreamClient>& gone) { removeClient(gone); });
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
  if (viewers_) count += viewers_->count();
  if (count == reportedClients_) return;
  reportedClients_ = count;
  printLine("connected clients: " + std::to_string(count));
}

namespace {

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
  server.startWebrtc();
  if (!server.startHelper()) return 1;
  // Counted once everything long-lived is open: the rest is for clients.
  const auto limit = openFileLimit();
  server.limitConnections(maxConnections(limit, openDescriptorsBelow(limit)));
  io.run();
  return server.exitStatus();
}

}  // namespace qx::server
