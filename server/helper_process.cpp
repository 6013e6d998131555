#include "server/helper_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace qx::server {

namespace {

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

bool makePipe(Pipe& pipe) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  pipe.read = UniqueFd(fds[0]);
  pipe.write = UniqueFd(fds[1]);
  return true;
}

// posix_spawn's attribute and file-action objects with their destroy calls.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

std::optional<HelperProcess> spawnHelper(const std::vector<std::string>& args,
                                         const std::vector<std::string>& environment, bool withAudio,
                                         SpawnError& error) {
  if (args.empty()) {
    error.message = "empty capture command";
    return std::nullopt;
  }
  Pipe in, out, err, audio;
  if (!makePipe(in) || !makePipe(out) || !makePipe(err) || (withAudio && !makePipe(audio))) {
    error.message = std::string("pipe: ") + std::strerror(errno);
    return std::nullopt;
  }
  SpawnSetup setup;
  // dup2 onto the standard numbers clears close-on-exec on the copies; glibc
  // also clears it when source and target are the same number.
  posix_spawn_file_actions_adddup2(&setup.actions, in.read.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&setup.actions, out.write.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&setup.actions, err.write.get(), STDERR_FILENO);
  if (withAudio) posix_spawn_file_actions_adddup2(&setup.actions, audio.write.get(), helperAudioFd);

  // The server ignores SIGPIPE and catches SIGTERM/SIGCHLD; the helper must
  // start with the defaults.
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGCHLD, SIGHUP}) sigaddset(&defaults, sig);
  sigset_t emptyMask;
  sigemptyset(&emptyMask);
  posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
  posix_spawnattr_setsigmask(&setup.attributes, &emptyMask);
  posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  envp.reserve(environment.size() + 1);
  for (const auto& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0], &setup.actions, &setup.attributes, argv.data(), envp.data());
  if (rc != 0) {
    error.message = "cannot start " + args[0] + ": " + std::strerror(rc);
    return std::nullopt;
  }
  HelperProcess helper;
  helper.pid = pid;
  helper.input = std::move(in.write);
  helper.output = std::move(out.read);
  helper.errors = std::move(err.read);
  if (withAudio) helper.audio = std::move(audio.read);
  return helper;
}

}  // namespace qx::server
