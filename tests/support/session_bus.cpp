#include "tests/support/session_bus.h"

#include <csignal>
#include <filesystem>
#include <stdexcept>

namespace qx::test {

using namespace std::chrono_literals;

std::unique_ptr<SessionBus> SessionBus::withAccessibility() {
  const std::string activation = "/usr/share/dbus-1/services/org.a11y.Bus.service";
  if (!std::filesystem::exists(activation)) throw std::runtime_error("at-spi2-core not installed");
  const std::string program = findOnPath("dbus-daemon");
  if (program.empty()) throw std::runtime_error("dbus-daemon not installed");

  auto bus = std::unique_ptr<SessionBus>(new SessionBus());
  bus->dir_ = std::make_unique<TempDir>();
  const TempDir& dir = *bus->dir_;
  std::filesystem::create_directory(dir.file("services"));
  std::filesystem::copy_file(activation, dir.file("services/org.a11y.Bus.service"));
  std::filesystem::create_directory(dir.file("run"));
  std::filesystem::permissions(dir.file("run"), std::filesystem::perms::owner_all);
  writeFile(dir.file("bus.conf"),
            "<busconfig><type>session</type><listen>unix:path=" + dir.file("bus") +
                "</listen><auth>EXTERNAL</auth><servicedir>" + dir.file("services") +
                "</servicedir><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>");
  Process::Options options;
  options.args = {program, "--config-file=" + dir.file("bus.conf"), "--nofork", "--print-address=1"};
  // What it activates keeps its files in these private folders.
  options.setEnv = {{"HOME", dir.path()}, {"XDG_RUNTIME_DIR", dir.file("run")}};
  options.unsetEnv = {"DBUS_SESSION_BUS_ADDRESS"};
  bus->daemon_ = std::make_unique<Process>(std::move(options));
  Process& daemon = *bus->daemon_;
  if (!daemon.pumpUntil([&] { return daemon.out().find('\n') != std::string::npos; }, 10s))
    throw std::runtime_error("dbus-daemon did not start: " + daemon.err());
  bus->env_ = {{"DBUS_SESSION_BUS_ADDRESS", daemon.out().substr(0, daemon.out().find('\n'))}};
  return bus;
}

SessionBus::~SessionBus() {
  // The accessibility bus launcher ends when its session bus goes away.
  daemon_->signal(SIGTERM);
  if (!daemon_->wait(5s)) daemon_->signal(SIGKILL);
}

}  // namespace qx::test
