#include "common/log.h"

#include <unistd.h>
#include <cerrno>
#include <string>

namespace qx {

void logErr(std::string_view message) {
  std::string line;
  line.reserve(message.size() + 20);
  line.append("quorvex-screencap: ").append(message).push_back('\n');
  // One write call: a short write to a pipe of this size does not happen in
  // practice, and retrying would split the line anyway.
  ssize_t n;
  do {
    n = ::write(STDERR_FILENO, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
}

LogFn stderrLog() {
  return [](std::string_view m) { logErr(m); };
}

}  // namespace qx
