#include "platform/linux/wayland/screencast_token.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "common/fd.h"

namespace qx::wayland {

namespace {

bool absolute(const char* p) { return p && p[0] == '/'; }

std::optional<std::string> pathFromEnvironment() {
  return screencastTokenPath(std::getenv("XDG_STATE_HOME"), std::getenv("HOME"));
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
  const UniqueFd fd(::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) return std::nullopt;
  std::string text;
  char buf[512];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || text.size() > 4096) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  if (text.empty()) return std::nullopt;
  return text;
}

bool storeScreencastToken(const std::string& token) {
  const auto path = pathFromEnvironment();
  if (!path || token.empty()) return false;
  makeFolders(*path);
  const std::string temp = *path + ".new";
  UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid()) return false;
  const bool ok =
      ::fchmod(fd.get(), 0600) == 0 && writeFully(fd.get(), token.data(), token.size()) && ::fsync(fd.get()) == 0;
  fd.reset();
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
