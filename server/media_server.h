#pragma once

#include "server/command_line.h"

#include <functional>
#include <optional>
#include <string>

namespace qx::server {

// What the server takes from its environment, gathered by main.
struct ServerEnvironment {
  std::optional<std::string> token;      // required from every client when non-empty
  std::optional<std::string> cachesDir;  // where device install requests go
  std::function<double()> now;           // wall clock, seconds since 1970
  std::string machineName;               // this computer's host name, accepted in Host headers
};

// Listens, starts the helper and serves clients on the calling thread until
// the helper ends or SIGTERM/SIGINT arrives (then the helper is stopped too:
// SIGTERM, SIGKILL after 2 s). Returns the process exit status: 1 when the
// listen address or the helper cannot be set up or the helper failed, 0
// after a clean stop or a helper that ended with status 0.
int runServer(const ServeOptions& options, const ServerEnvironment& environment);

}  // namespace qx::server
