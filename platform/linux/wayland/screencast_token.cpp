#include "platform/linux/wayland/screencast_token.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace qx::wayland {

namespace {

bool absolute(const char* p) { return p && p[0] == '/'; }

std::optional<std::string> pathFromEnvironment() {
  return screencastTokenPath(std::getenv("XDG_STATE_HOME"), std::getenv("HOME"));
}

bool writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void makeFolders(const std::string& file) {
  // Each missing parent, owner-only as the rest of the state folder.
  for (std::size_t slash = file.find('/', 1); slash != std::string::npos; slash = file.find('/', slash + 1))
    ::mkdir(file.substr(0, slash).c_str(), 0700);
}

}  // namespace

std::optional<std::string> screencastTokenPath(const char* xdgStateHome, const char* home) {
  if (absolute(xdgStateHome)) return std::string(xdgStateHome) + "/Quorvex/screencast-token";
  if (absolute(home)) return std::string(home) + "/.local/state/Quorvex/screencast-token";
  return std::nullopt;
}

std::optional<std::string> loadScreencastToken() {
  const auto path = pathFromEnvironment();
  if (!path) return std::nullopt;
  const int fd = ::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buf[512];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || text.size() > 4096) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  if (text.empty()) return std::nullopt;
  return text;
}

bool storeScreencastToken(const std::string& token) {
  const auto path = pathFromEnvironment();
  if (!path || token.empty()) return false;
  makeFolders(*path);
  const std::string temp = *path + ".new";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  const bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, token) && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok || ::rename(temp.c_str(), path->c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

void removeScreencastToken() {
  if (const auto path = pathFromEnvironment()) ::unlink(path->c_str());
}

}  // namespace qx::wayland
