#pragma once

#include <sys/types.h>
#include <optional>
#include <string>
#include <vector>

#include "common/fd.h"

namespace qx::server {

// The descriptor number the helper's audio pipe gets in the child.
inline constexpr int helperAudioFd = 3;

// The capture helper as a child process. Its standard input, output and
// error are pipes; with audio its descriptor `helperAudioFd` is the write end
// of a fourth pipe. The parent's ends are close-on-exec and handed out to
// the caller, who reads and writes them; reaping is the caller's job too
// (it watches SIGCHLD), so the destructor neither kills nor waits.
struct HelperProcess {
  pid_t pid = -1;
  UniqueFd input;   // write: control lines
  UniqueFd output;  // read: Annex B stream
  UniqueFd errors;  // read: diagnostic lines
  UniqueFd audio;   // read: length-prefixed Opus packets; empty without audio
};

struct SpawnError {
  std::string message;
};

// Starts `args` (args[0] looked up on PATH when it has no slash) with
// `environment` ("NAME=value" entries) as its whole environment, the default
// signal dispositions and an empty signal mask. `withAudio` creates the audio
// pipe; the caller must then have put "--audio-fd 3" in `args`.
[[nodiscard]] std::optional<HelperProcess> spawnHelper(const std::vector<std::string>& args,
                                                       const std::vector<std::string>& environment, bool withAudio,
                                                       SpawnError& error);

}  // namespace qx::server
