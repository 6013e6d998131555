#pragma once

// The seams of the update flow that reach off the main thread: work handed to
// a worker thread, the updater run and the bundle verification it carries.
// Production implementations live in platform/linux/host; tests pass fakes
// from tests/fakes/.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qx::host {

// Runs blocking work off the main thread. `job` runs on a worker thread; the
// function it returns then runs on the main thread. Neither runs inside `run`.
// A continuation still pending when the owner is destroyed never runs.
class BackgroundWork {
 public:
  using Continuation = std::function<void()>;
  virtual ~BackgroundWork() = default;
  virtual void run(std::function<Continuation()> job) = 0;
};

// What one updater run gave: the launch error's description, or its standard
// output and termination status (the exit status, or the signal number).
struct UpdaterOutput {
  std::optional<std::string> launchError;
  std::string output;
  int status = 0;
};

// Runs `program` with `arguments` to its end: standard output to a pipe read
// to its end, standard error to the null device, standard input and the
// environment inherited. Blocking; called on a worker thread, so it must not
// touch main-thread state.
using UpdaterCommand =
    std::function<UpdaterOutput(const std::string& program, const std::vector<std::string>& arguments)>;

// Checks a downloaded application bundle's signature and that its version is
// exactly `version`. None when acceptable, otherwise the message to show.
// Called on a worker thread.
using BundleVerifier =
    std::function<std::optional<std::string>(const std::filesystem::path& app, const std::string& version)>;

}  // namespace qx::host
