#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace qx::test {

namespace {

void setCloexec(int fd) { ::fcntl(fd, F_SETFD, FD_CLOEXEC); }

bool readSome(int& fd, std::string& into) {
  if (fd < 0) return false;
  char buf[65536];
  ssize_t n = ::read(fd, buf, sizeof buf);
  if (n > 0) {
    into.append(buf, static_cast<std::size_t>(n));
    return true;
  }
  if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
    ::close(fd);
    fd = -1;
  }
  return false;
}

}  // namespace

Process::Process(Options options) {
  int in[2] = {-1, -1}, out[2], err[2];
  // Close-on-exec, so no child (this one included) keeps the parent's ends open:
  // a leaked write end would hide end of input, a leaked read end a closed reader.
  if ((options.pipeStdin && ::pipe2(in, O_CLOEXEC) != 0) || ::pipe2(out, O_CLOEXEC) != 0 ||
      ::pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");

  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    std::string key = entry.substr(0, entry.find('='));
    if (options.setEnv.count(key)) continue;
    if (std::find(options.unsetEnv.begin(), options.unsetEnv.end(), key) != options.unsetEnv.end()) continue;
    envStore.push_back(entry);
  }
  for (auto& [k, v] : options.setEnv) envStore.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : envStore) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<char*> argv;
  for (auto& a : options.args) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    if (options.pipeStdin)
      ::dup2(in[0], 0);
    else {
      int null = ::open("/dev/null", O_RDONLY);
      ::dup2(null, 0);
    }
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (auto [child, parent] : options.extraFds) {
      if (child == parent)
        ::fcntl(parent, F_SETFD, 0);
      else
        ::dup2(parent, child);
    }
    ::signal(SIGPIPE, SIG_DFL);
    ::execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  if (options.pipeStdin) {
    ::close(in[0]);
    stdin_ = in[1];
    setCloexec(stdin_);
  }
  ::close(out[1]);
  ::close(err[1]);
  stdout_ = out[0];
  stderr_ = err[0];
  setCloexec(stdout_);
  setCloexec(stderr_);
  ::fcntl(stdout_, F_SETFL, O_NONBLOCK);
  ::fcntl(stderr_, F_SETFL, O_NONBLOCK);
}

Process::~Process() {
  if (!status_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int st;
    ::waitpid(pid_, &st, 0);
  }
  for (int fd : {stdin_, stdout_, stderr_})
    if (fd >= 0) ::close(fd);
}

void Process::writeStdin(const std::string& text) {
  if (stdin_ < 0) return;
  std::size_t off = 0;
  while (off < text.size()) {
    ssize_t n = ::write(stdin_, text.data() + off, text.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    off += static_cast<std::size_t>(n);
  }
}

void Process::closeStdin() {
  if (stdin_ >= 0) ::close(stdin_);
  stdin_ = -1;
}

void Process::closeStdout() {
  if (stdout_ >= 0) ::close(stdout_);
  stdout_ = -1;
}

void Process::signal(int sig) {
  if (!status_ && pid_ > 0) ::kill(pid_, sig);
}

void Process::pump(std::chrono::milliseconds timeout) {
  pollfd fds[2] = {{stdout_, POLLIN, 0}, {stderr_, POLLIN, 0}};
  if (stdout_ < 0 && stderr_ < 0) {
    if (timeout.count() > 0) ::poll(nullptr, 0, static_cast<int>(timeout.count()));
    return;
  }
  int r = ::poll(fds, 2, static_cast<int>(timeout.count()));
  if (r <= 0) return;
  if (fds[0].revents)
    while (readSome(stdout_, out_)) {
    }
  if (fds[1].revents)
    while (readSome(stderr_, err_)) {
    }
}

std::string Process::takeOut() {
  std::string r;
  r.swap(out_);
  return r;
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int st;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      // Collect what is left in the pipes.
      while (stdout_ >= 0 || stderr_ >= 0) pump(std::chrono::milliseconds(100));
      return status_;
    }
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return std::nullopt;
    pump(
        std::min(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now), std::chrono::milliseconds(20)));
  }
}

RunResult run(Process::Options options, std::chrono::milliseconds timeout) {
  options.pipeStdin = false;
  Process p(std::move(options));
  auto st = p.wait(timeout);
  RunResult r;
  r.status = st.value_or(-1);
  r.out = p.out();
  r.err = p.err();
  return r;
}

std::string buildPath(const std::string& relative) {
  const char* dir = std::getenv("QX_BUILD_DIR");
  return std::string(dir ? dir : ".") + "/" + relative;
}

std::string bundleProgram(const std::string& name) { return buildPath("Quorvex Host.app/Contents/MacOS/" + name); }

std::string sourcePath(const std::string& relative) {
  const char* dir = std::getenv("QX_SOURCE_DIR");
  return std::string(dir ? dir : "..") + "/" + relative;
}

std::string findOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  // Xorg's server binary lives outside PATH on Debian.
  std::string p = std::string(path ? path : "/usr/bin:/bin") + ":/usr/lib/xorg";
  std::size_t start = 0;
  while (start <= p.size()) {
    std::size_t end = p.find(':', start);
    if (end == std::string::npos) end = p.size();
    std::string candidate = p.substr(start, end - start) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

bool onPath(const std::string& program) { return !findOnPath(program).empty(); }

std::vector<int> childrenRunning(int parent, const std::string& exe) {
  std::vector<int> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path() / "exe", ec) != exe) continue;
    // After the command in parentheses, which may itself hold spaces: state, ppid.
    const std::string stat = readFile((entry.path() / "stat").string());
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 2));
    std::string state;
    int ppid = 0;
    rest >> state >> ppid;
    if (ppid == parent && state != "Z") found.push_back(std::stoi(name));
  }
  return found;
}

bool gone(int pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

}  // namespace qx::test
