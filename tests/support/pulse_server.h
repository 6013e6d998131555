#pragma once

#include <map>
#include <memory>
#include <string>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace qx::test {

// A private PulseAudio server for one test: one null sink "qxnull" (the
// default sink, so its monitor is what a recorder of system audio hears), a
// unix socket in a temporary directory, anonymous access, no real sound card,
// no D-Bus. Works as root. Stopped on destruction.
class PulseServer {
 public:
  // Throws std::runtime_error when pulseaudio is missing or does not come up.
  static std::unique_ptr<PulseServer> start();
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  // Stops the server (clients see it go away); startAgain brings it back on
  // the same socket, as a sound server that restarts. Throws like start().
  void stop();
  void startAgain();

  // "unix:/path/to/socket", for PULSE_SERVER.
  const std::string& serverString() const { return server_; }
  // The environment a client of this server needs (PULSE_SERVER and private
  // runtime/home directories, so nothing falls back to a user's own server).
  std::map<std::string, std::string> clientEnv() const;
  // Sets clientEnv() in this process (for libpulse clients inside the test).
  void exportToThisProcess() const;
  // Runs a pulse client tool (pactl, pacat, ...) against this server.
  RunResult runClient(std::vector<std::string> args) const;

 private:
  PulseServer() = default;
  void launch();

  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<Process> process_;
  std::string server_;
};

}  // namespace qx::test
