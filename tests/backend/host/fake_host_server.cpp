// Stands in for the media server in the host's process tests. Behaviour comes
// from the environment the host passes on:
//   QX_FAKE_LINES     printed at start ("\n", "\r", "\x" stand for LF, CR, 0xFF), then it waits
//   QX_FAKE_STUBBORN  "1": ignore SIGTERM (printed "ready" says it is ignored)
//   QX_FAKE_EXIT      exit at once with this status after printing
// It also records its arguments, one per line, in QX_FAKE_ARGS_FILE when set.

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
  if (const char* file = std::getenv("QX_FAKE_ARGS_FILE")) {
    std::ofstream out(file, std::ios::app);
    for (int i = 1; i < argc; ++i) out << argv[i] << '\n';
  }
  if (const char* stubborn = std::getenv("QX_FAKE_STUBBORN"); stubborn && std::string(stubborn) == "1")
    std::signal(SIGTERM, SIG_IGN);
  const std::string given = std::getenv("QX_FAKE_LINES") ? std::getenv("QX_FAKE_LINES") : "";
  std::string lines;
  for (std::size_t i = 0; i < given.size(); ++i) {
    if (given.compare(i, 2, "\\n") == 0) {
      lines += '\n';
      ++i;
    } else if (given.compare(i, 2, "\\r") == 0) {
      lines += '\r';
      ++i;
    } else if (given.compare(i, 2, "\\x") == 0) {
      lines += '\xff';
      ++i;
    } else {
      lines += given[i];
    }
  }
  lines += "ready\n";
  [[maybe_unused]] ssize_t n = ::write(STDOUT_FILENO, lines.data(), lines.size());
  if (const char* status = std::getenv("QX_FAKE_EXIT")) return std::atoi(status);
  for (;;) ::pause();
}
