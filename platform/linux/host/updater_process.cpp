#include "platform/linux/host/updater_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/fd.h"

extern char** environ;

namespace qx::host {
namespace {

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

struct FileActions {
  posix_spawn_file_actions_t actions;
  FileActions() { posix_spawn_file_actions_init(&actions); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
};

}  // namespace

UpdaterOutput runUpdaterProcess(const std::string& program, const std::vector<std::string>& arguments) {
  UpdaterOutput result;
  // Close-on-exec, so no other child the host starts meanwhile keeps the
  // write end open and the read below never ends.
  int fds[2] = {-1, -1};
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    result.launchError = std::strerror(errno);
    return result;
  }
  Pipe pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
  FileActions files;
  posix_spawn_file_actions_adddup2(&files.actions, pipe.write.get(), STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&files.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

  std::vector<char*> argv;
  std::string program0 = program;
  std::vector<std::string> args = arguments;
  argv.push_back(program0.data());
  for (std::string& argument : args) argv.push_back(argument.data());
  argv.push_back(nullptr);

  pid_t pid = 0;
  if (const int error = ::posix_spawn(&pid, program.c_str(), &files.actions, nullptr, argv.data(), environ);
      error != 0) {
    result.launchError = std::strerror(error);
    return result;
  }
  pipe.write.reset();

  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(pipe.read.get(), buffer, sizeof buffer);
    if (n > 0) {
      result.output.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
  return result;
}

}  // namespace qx::host
