#include "tests/support/x_server.h"

#include <poll.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <stdexcept>

namespace qx::test {

std::unique_ptr<XServer> XServer::launch(std::vector<std::string> args, std::unique_ptr<TempDir> dir) {
  // The helper ignores SIGPIPE; so do its tests, so that a server that closes
  // a connection fails the test with a message instead of killing it.
  std::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
  args.push_back("-displayfd");
  args.push_back(std::to_string(fds[1]));
  Process::Options opts;
  opts.args = std::move(args);
  opts.pipeStdin = false;
  opts.extraFds = {{fds[1], fds[1]}};
  auto server = std::unique_ptr<XServer>(new XServer());
  server->dir_ = std::move(dir);
  server->process_ = std::make_unique<Process>(std::move(opts));
  ::close(fds[1]);

  // The server writes its display number and a line feed once it accepts clients.
  std::string number;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (number.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[32];
    ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    number.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  if (number.find('\n') == std::string::npos) {
    server->process_->pump(std::chrono::milliseconds(100));
    throw std::runtime_error("X server did not start: " + server->process_->err());
  }
  server->display_ = ":" + number.substr(0, number.find('\n'));
  return server;
}

std::unique_ptr<XServer> XServer::xvfb(int width, int height) {
  std::string bin = findOnPath("Xvfb");
  if (bin.empty()) throw std::runtime_error("Xvfb not installed");
  return launch({bin, "-screen", "0", std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten", "tcp",
                 "-noreset", "+extension", "RANDR"},
                nullptr);
}

std::unique_ptr<XServer> XServer::xvfbWithCookie(int width, int height) {
  std::string bin = findOnPath("Xvfb");
  if (bin.empty()) throw std::runtime_error("Xvfb not installed");
  auto dir = std::make_unique<TempDir>();
  const std::string auth = dir->file("auth");
  Process::Options add;
  add.args = {findOnPath("xauth"), "-f", auth, "add", ":0", ".", "5178ab8c37a5d58de24bd98c6fd7aec1"};
  if (run(std::move(add)).status != 0) throw std::runtime_error("xauth failed");
  return launch({bin, "-auth", auth, "-screen", "0", std::to_string(width) + "x" + std::to_string(height) + "x24",
                 "-nolisten", "tcp", "-noreset"},
                std::move(dir));
}

std::unique_ptr<XServer> XServer::dummyXorg(int width, int height) {
  std::string bin = findOnPath("Xorg");
  if (bin.empty()) throw std::runtime_error("Xorg not installed");
  auto dir = std::make_unique<TempDir>();
  std::string conf = dir->file("xorg.conf");
  writeFile(conf,
            "Section \"Device\"\n  Identifier \"dummy\"\n  Driver \"dummy\"\n  VideoRam 256000\nEndSection\n"
            "Section \"Monitor\"\n  Identifier \"monitor\"\n  HorizSync 5.0-1000.0\n  VertRefresh 5.0-200.0\n"
            "EndSection\n"
            "Section \"Screen\"\n  Identifier \"screen\"\n  Device \"dummy\"\n  Monitor \"monitor\"\n"
            "  DefaultDepth 24\n  SubSection \"Display\"\n    Depth 24\n    Virtual " +
                std::to_string(width) + " " + std::to_string(height) +
                "\n  EndSubSection\nEndSection\n"
                "Section \"ServerFlags\"\n  Option \"AutoAddDevices\" \"false\"\n  Option \"AutoEnableDevices\" "
                "\"false\"\nEndSection\n");
  std::string log = dir->file("xorg.log");
  return launch({bin, "-config", conf, "-logfile", log, "-noreset", "-nolisten", "tcp"}, std::move(dir));
}

XServer::~XServer() {
  if (process_) {
    process_->signal(SIGTERM);
    if (!process_->wait(std::chrono::seconds(5))) process_->signal(SIGKILL);
  }
}

RunResult XServer::runClient(std::vector<std::string> args) const {
  if (!args.empty() && args[0].find('/') == std::string::npos) args[0] = findOnPath(args[0]);
  Process::Options opts;
  opts.args = std::move(args);
  opts.setEnv["DISPLAY"] = display_;
  return run(std::move(opts));
}

std::string XServer::state() const {
  std::string out = process_ && process_->wait(std::chrono::milliseconds(0)) ? "X server exited" : "X server runs";
  if (dir_) {
    std::string log = readFile(dir_->file("xorg.log"));
    if (log.size() > 2000) log = log.substr(log.size() - 2000);
    out += "; log ends:\n" + log;
  }
  return out;
}

}  // namespace qx::test
