#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qx::test {

// A child process with pipes on its standard input, output and error, for
// tests that run the real programs. The destructor kills and reaps it.
class Process {
 public:
  struct Options {
    std::vector<std::string> args;              // args[0] is the program path
    std::map<std::string, std::string> setEnv;  // added to / replacing the environment
    std::vector<std::string> unsetEnv;          // removed from the environment
    bool pipeStdin = true;
    std::vector<std::pair<int, int>> extraFds;  // {fd in child, fd in parent}: dup2'ed in the child
  };

  explicit Process(Options options);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  int pid() const { return pid_; }
  int stdinFd() const { return stdin_; }
  int stdoutFd() const { return stdout_; }
  int stderrFd() const { return stderr_; }

  void writeStdin(const std::string& text);
  void closeStdin();
  void closeStdout();
  void signal(int sig);

  // Reads what is available on stdout / stderr into the accumulated buffers,
  // waiting at most `timeout` for something to arrive.
  void pump(std::chrono::milliseconds timeout);
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }
  std::string takeOut();

  // Pumps until `pred` holds or the deadline passes; returns pred's last value.
  template <class Pred>
  bool pumpUntil(Pred pred, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
      auto now = std::chrono::steady_clock::now();
      if (now >= deadline) return false;
      pump(std::min(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now),
                    std::chrono::milliseconds(50)));
    }
    return true;
  }

  // Waits for the process to end, pumping its output. Exit status (or 128 +
  // signal number); absent on time-out.
  std::optional<int> wait(std::chrono::milliseconds timeout);

 private:
  int pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
  std::optional<int> status_;
  std::string out_;
  std::string err_;
};

// Runs a program to completion (stdin closed), collecting its output.
struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};
RunResult run(Process::Options options, std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Path of a built executable (QX_BUILD_DIR from ctest, else the working directory).
std::string buildPath(const std::string& relative);
// Path of a program inside the build tree's application bundle.
std::string bundleProgram(const std::string& name);
// Path inside the source tree (QX_SOURCE_DIR from ctest).
std::string sourcePath(const std::string& relative);
// Live (not zombie) processes whose parent is `parent` and whose executable is `exe`.
std::vector<int> childrenRunning(int parent, const std::string& exe);
// True once `pid` no longer exists (a zombie still exists).
bool gone(int pid);

// Polls `pred` every 50 ms until it holds or `timeout` passes; returns its last value.
template <class Pred>
bool waitFor(Pred pred, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// Absolute path of a program found on PATH, or empty.
std::string findOnPath(const std::string& program);
// True when `program` is found on PATH.
bool onPath(const std::string& program);

}  // namespace qx::test
