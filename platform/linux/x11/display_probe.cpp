#include "platform/linux/x11/display_probe.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include <xcb/xcb.h>

namespace qx::x11 {

namespace {

// Connects a fresh stream socket to `address`, waiting at most 3 s.
bool accepts(int family, const sockaddr* address, socklen_t length) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  bool connected = ::connect(fd, address, length) == 0;
  if (!connected && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    connected = ::poll(&p, 1, 3000) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
  }
  ::close(fd);
  return connected;
}

bool localSocketListens(const std::string& path, bool abstract) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t offset = abstract ? 1 : 0;  // the abstract name starts with a NUL byte
  if (path.size() + offset >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path + offset, path.data(), path.size());
  const auto length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
  return accepts(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), length);
}

bool tcpListens(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  bool listening = false;
  for (addrinfo* a = found; a != nullptr && !listening; a = a->ai_next) {
    listening = accepts(a->ai_family, a->ai_addr, a->ai_addrlen);
  }
  ::freeaddrinfo(found);
  return listening;
}

}  // namespace

std::string displayInUse(const std::string& displayName) {
  if (!displayName.empty()) return displayName;
  const char* env = std::getenv("DISPLAY");
  return env != nullptr ? env : "";
}

bool displayListens(const std::string& displayName) {
  const std::string name = displayInUse(displayName);
  if (name.empty()) return false;
  if (name.front() == '/') {  // a socket path, display number after the last colon
    return localSocketListens(name.substr(0, name.rfind(':')), false);
  }
  char* rawHost = nullptr;
  int display = 0;
  if (xcb_parse_display(name.c_str(), &rawHost, &display, nullptr) == 0) return false;
  std::string host = rawHost != nullptr ? rawHost : "";
  std::free(rawHost);
  if (const auto slash = host.find('/'); slash != std::string::npos) host.erase(0, slash + 1);  // "tcp/host"
  if (host.empty() || host == "unix") {
    const std::string path = "/tmp/.X11-unix/X" + std::to_string(display);
    return localSocketListens(path, true) || localSocketListens(path, false);
  }
  return tcpListens(host, 6000 + display);
}

}  // namespace qx::x11
