#include "tests/support/pulse_server.h"

#include <sys/stat.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <stdexcept>

#include "tests/support/x_server.h"

namespace qx::test {

std::unique_ptr<PulseServer> PulseServer::start() {
  auto server = std::unique_ptr<PulseServer>(new PulseServer());
  server->dir_ = std::make_unique<TempDir>();
  server->server_ = "unix:" + server->dir_->file("native");
  ::mkdir(server->dir_->file("runtime").c_str(), 0700);
  server->launch();
  return server;
}

void PulseServer::launch() {
  std::string bin = findOnPath("pulseaudio");
  if (bin.empty()) throw std::runtime_error("pulseaudio not installed");
  Process::Options opts;
  opts.args = {bin,
               "-n",  // no default.pa: only the modules below
               "--daemonize=no",
               "--system=false",
               "--exit-idle-time=-1",
               "--disallow-exit",
               "--use-pid-file=false",
               "--log-target=stderr",
               "-L",
               "module-null-sink sink_name=qxnull",
               "-L",
               "module-native-protocol-unix auth-anonymous=1 socket=" + dir_->file("native")};
  opts.pipeStdin = false;
  opts.setEnv = clientEnv();
  opts.unsetEnv = {"PULSE_SERVER", "DBUS_SESSION_BUS_ADDRESS", "DISPLAY"};
  process_ = std::make_unique<Process>(std::move(opts));

  // Ready once a client can talk to it and the null sink is the default.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  std::string last;
  while (std::chrono::steady_clock::now() < deadline) {
    RunResult info = runClient({"pactl", "info"});
    if (info.status == 0 && info.out.find("Default Sink: qxnull") != std::string::npos) return;
    last = info.err;
    process_->pump(std::chrono::milliseconds(100));
    if (process_->wait(std::chrono::milliseconds(0))) break;  // it died
  }
  throw std::runtime_error("PulseAudio did not start: " + last + process_->err());
}

PulseServer::~PulseServer() { stop(); }

void PulseServer::stop() {
  if (!process_) return;
  process_->signal(SIGTERM);
  if (!process_->wait(std::chrono::seconds(5))) process_->signal(SIGKILL);
  process_.reset();
}

void PulseServer::startAgain() {
  stop();
  launch();
}

std::map<std::string, std::string> PulseServer::clientEnv() const {
  return {{"PULSE_SERVER", server_},
          {"PULSE_RUNTIME_PATH", dir_->file("runtime")},
          {"XDG_RUNTIME_DIR", dir_->file("runtime")},
          {"HOME", dir_->path()},
          {"PULSE_COOKIE", dir_->file("cookie")}};
}

void PulseServer::exportToThisProcess() const {
  for (const auto& [name, value] : clientEnv()) ::setenv(name.c_str(), value.c_str(), 1);
}

RunResult PulseServer::runClient(std::vector<std::string> args) const {
  if (!args.empty() && args[0].find('/') == std::string::npos) args[0] = findOnPath(args[0]);
  Process::Options opts;
  opts.args = std::move(args);
  opts.setEnv = clientEnv();
  return run(std::move(opts), std::chrono::seconds(10));
}

}  // namespace qx::test
