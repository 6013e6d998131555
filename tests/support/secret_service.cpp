#include "tests/support/secret_service.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <stdexcept>

namespace qx::test {

using namespace std::chrono_literals;

std::unique_ptr<SecretService> SecretService::start() {
  auto service = std::unique_ptr<SecretService>(new SecretService());
  service->dir_ = std::make_unique<TempDir>();
  const TempDir& dir = *service->dir_;
  writeFile(dir.file("bus.conf"),
            "<busconfig><type>session</type><listen>unix:path=" + dir.file("bus") +
                "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
                "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>");
  service->bus_ =
      service->launch({"dbus-daemon", "--config-file=" + dir.file("bus.conf"), "--nofork", "--print-address=1"});
  Process& bus = *service->bus_;
  if (!bus.pumpUntil([&] { return bus.out().find('\n') != std::string::npos; }, 10s))
    throw std::runtime_error("dbus-daemon did not start: " + bus.err());

  service->env_ = {{"DBUS_SESSION_BUS_ADDRESS", bus.out().substr(0, bus.out().find('\n'))},
                   {"XDG_RUNTIME_DIR", dir.file("run")},
                   {"HOME", dir.path()},
                   {"XDG_DATA_HOME", dir.file("data")}};
  for (const char* sub : {"run", "data"}) std::filesystem::create_directory(dir.file(sub));
  std::filesystem::permissions(dir.file("run"), std::filesystem::perms::owner_all);
  service->keyring_ = service->launch({"gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"});
  service->keyring_->writeStdin("test-password");
  service->keyring_->closeStdin();

  // Ready once the "default" alias names the login collection.
  Process::Options alias;
  alias.args = {findOnPath("dbus-send"),
                "--session",
                "--print-reply",
                "--dest=org.freedesktop.secrets",
                "/org/freedesktop/secrets",
                "org.freedesktop.Secret.Service.ReadAlias",
                "string:default"};
  alias.setEnv = service->env_;
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (run(alias, 5s).out.find("/collection/login") == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline)
      throw std::runtime_error("gnome-keyring did not start: " + service->keyring_->err());
    service->keyring_->pump(100ms);
  }
  return service;
}

SecretService::~SecretService() {
  for (Process* p : {keyring_.get(), bus_.get()}) {
    if (!p) continue;
    p->signal(SIGCONT);
    p->signal(SIGTERM);
    if (!p->wait(5s)) p->signal(SIGKILL);
  }
}

void SecretService::pause() { keyring_->signal(SIGSTOP); }
void SecretService::resume() { keyring_->signal(SIGCONT); }

std::unique_ptr<Process> SecretService::launch(std::vector<std::string> args) const {
  const std::string program = findOnPath(args[0]);
  if (program.empty()) throw std::runtime_error(args[0] + " not installed");
  args[0] = program;
  Process::Options options;
  options.args = std::move(args);
  options.setEnv = env_;
  options.unsetEnv = {"DISPLAY", "DBUS_SESSION_BUS_ADDRESS"};
  return std::make_unique<Process>(std::move(options));
}

}  // namespace qx::test
