// quorvex-webrtc-server: serves the capture helper's stream over HTTP and
// doubles as the updater ("update check", "update download").

#include "HostCore/UpdateRequest.h"
#include "common/fd.h"
#include "server/command_line.h"
#include "server/media_server.h"
#include "server/updates.h"
#include "signature/bundle_signature.h"

#include <unistd.h>
#include <array>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <variant>

namespace {

void printLine(std::string line) {
  line.push_back('\n');
  (void)qx::writeFully(STDOUT_FILENO, line.data(), line.size());
}

// The version of the bundle this executable runs from
// (Contents/MacOS/<exe> -> Contents/Info.plist), else "dev".
std::string currentVersion() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "dev";
  return qx::signature::installedVersion(exe.parent_path().parent_path() / "Info.plist");
}

int runUpdater(const qx::server::UpdateOptions& options) {
  std::optional<std::string> dir;
  if (options.download) dir = options.dir;
  auto report = qx::server::runUpdate(options.url, currentVersion(), dir,
                                      [](std::string_view line) { printLine("updater: " + std::string(line)); });
  printLine(report.encode());
  return 0;
}

double wallClockSeconds() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  auto commandLine = qx::server::parseCommandLine(args);
  if (auto* error = std::get_if<qx::server::CommandLineError>(&commandLine)) {
    std::string text = "quorvex-webrtc-server: " + error->message + "\n" + qx::server::usageLine() + "\n";
    (void)qx::writeFully(STDERR_FILENO, text.data(), text.size());
    return 2;
  }
  if (std::holds_alternative<qx::server::HelpRequest>(commandLine)) {
    printLine(qx::server::usageLine());
    return 0;
  }
  if (auto* update = std::get_if<qx::server::UpdateOptions>(&commandLine)) return runUpdater(*update);

  qx::server::ServerEnvironment environment;
  if (const char* token = std::getenv("QUORVEX_HOST_TOKEN"); token != nullptr && token[0] != '\0') {
    environment.token = token;
  }
  if (auto caches = qx::UpdateRequest::cachesDirectory([](const char* name) { return std::getenv(name); })) {
    environment.cachesDir = caches->string();
  }
  environment.now = wallClockSeconds;
  std::array<char, HOST_NAME_MAX + 1> name{};
  if (::gethostname(name.data(), name.size() - 1) == 0) environment.machineName = name.data();
  return qx::server::runServer(std::get<qx::server::ServeOptions>(commandLine), environment);
}
