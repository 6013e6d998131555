#pragma once

// The services the host controller drives, as narrow interfaces: the server
// process and its launcher, delayed work on the main loop, the clock, the
// permission probe and the address list. Production implementations sit on Qt
// and the system (platform/linux/host/); tests pass fakes from
// tests/fakes/. Every call and every callback happens on the main thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "HostCore/HostLaunch.h"
#include "HostCore/LocalAddress.h"

namespace qx::host {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Seconds = std::chrono::duration<double>;

// Monotonic time for run lengths and restart deadlines.
class TimeSource {
 public:
  virtual ~TimeSource() = default;
  virtual TimePoint now() const = 0;
};

// Calendar time, for what is shown as a time of day or compared with time
// stamps written by other processes (the last update check, device requests).
using WallTime = std::chrono::system_clock::time_point;
class WallClock {
 public:
  virtual ~WallClock() = default;
  virtual WallTime now() const = 0;
};

// A scheduled piece of work; cancel() makes it never run (or stop repeating).
// Dropping the handle of one-shot work does not cancel it; repeating work
// stops with its handle.
class ScheduledWork {
 public:
  virtual ~ScheduledWork() = default;
  virtual void cancel() = 0;
};

// Delayed and repeating work on the main loop. Work never runs inside the
// call that schedules it.
class Scheduler {
 public:
  virtual ~Scheduler() = default;
  virtual std::shared_ptr<ScheduledWork> after(std::chrono::milliseconds delay, std::function<void()> work) = 0;
  virtual std::shared_ptr<ScheduledWork> every(std::chrono::milliseconds interval, std::function<void()> work) = 0;
  // Runs `work` soon, after everything posted before it, in the same queue as
  // the launcher's end notices, so an output line is handled before the end
  // of the process that printed it.
  virtual void post(std::function<void()> work) = 0;
};

// How a child process ended: an exit with a status, or a signal with its number.
struct ProcessEnd {
  enum class Reason { exit, signal };
  Reason reason = Reason::exit;
  int status = 0;
  friend bool operator==(const ProcessEnd&, const ProcessEnd&) = default;
};

// One launched server. Its identity (the object) is what the controller
// compares when an end is reported.
class ServerProcess {
 public:
  virtual ~ServerProcess() = default;
  virtual bool isRunning() const = 0;
  virtual void terminate() = 0;  // SIGTERM
  virtual void kill() = 0;       // SIGKILL
  // Blocks up to `timeout`; true once the process has ended. The end is still
  // reported through the launcher's `ended` callback afterwards, never inside
  // this call.
  virtual bool waitForFinished(std::chrono::milliseconds timeout) = 0;
  virtual std::int64_t pid() const = 0;
};

struct LaunchRequest {
  std::string program;
  std::vector<std::string> arguments;
  HostLaunch::Environment environment;
};

class ProcessLauncher {
 public:
  struct Callbacks {
    // Raw bytes of the merged standard output and error, in order, never empty.
    std::function<void(std::string_view)> output;
    // After the last output chunk: the output stream reached its end.
    std::function<void()> outputEnded;
    // The process ended; delivered queued on the main loop.
    std::function<void(ServerProcess&, ProcessEnd)> ended;
  };
  using LaunchResult = std::variant<std::shared_ptr<ServerProcess>, std::string>;

  virtual ~ProcessLauncher() = default;
  // Starts `request` with standard input from the null device and standard
  // output and error on one pipe. On failure returns the system's description.
  virtual LaunchResult launch(const LaunchRequest& request, Callbacks callbacks) = 0;
  // Runs a short program to its end, blocking; failures are ignored.
  virtual void runAndWait(const std::string& program, const std::vector<std::string>& arguments) = 0;
  // Starts a program that outlives this process; false when it cannot start.
  virtual bool startDetached(const std::string& program, const std::vector<std::string>& arguments) = 0;
};

// Whether the desktop grants the two things the helper and remote input need.
class PermissionProbe {
 public:
  virtual ~PermissionProbe() = default;
  virtual bool screenRecording() = 0;
  virtual bool accessibility() = 0;
};

// The machine's ranked local addresses (LocalAddress::current in production).
using AddressSource = std::function<std::vector<LocalAddress>()>;

// Opens a file with the desktop's default application.
using FileOpener = std::function<void(const std::string& path)>;

// Modal alerts, brought in front of other windows. `show` blocks until the
// user answers (a nested event loop in production).
class Alerts {
 public:
  struct Alert {
    std::string title;
    std::string text;
    std::vector<std::string> buttons;  // first is the default; at least one
    std::string checkbox;              // a checkbox with this title when not empty
    bool warning = false;              // warns: shown with the warning icon
  };
  struct Answer {
    int button = 0;        // index into `buttons`; 0 is the first (default) one
    bool checked = false;  // the checkbox's state
  };
  virtual ~Alerts() = default;
  virtual Answer show(const Alert& alert) = 0;
};

// The few lines the host writes to the system log ("Quorvex Host: ...").
class SystemLog {
 public:
  virtual ~SystemLog() = default;
  virtual void write(const std::string& line) = 0;
};

// The login item: registered or not, as the desktop sees it.
class LoginItemService {
 public:
  virtual ~LoginItemService() = default;
  // True when the desktop will start this bundle at login.
  virtual bool enabled() = 0;
  // Registers (true) or unregisters (false); the error's description on failure.
  virtual std::optional<std::string> setEnabled(bool on) = 0;
};

}  // namespace qx::host
