#pragma once

#include <sys/types.h>
#include <optional>
#include <string>
#include <vector>

namespace qx::server {

// Owns a pipe end; closes it on destruction.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor();
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  int release();
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// The descriptor number the helper's audio pipe gets in the child.
inline constexpr int helperAudioFd = 3;

// The capture helper as a child process. Its standard input, output and
// error are pipes; with audio its descriptor `helperAudioFd` is the write end
// of a fourth pipe. The parent's ends are close-on-exec and handed out to
// the caller, who reads and writes them; reaping is the caller's job too
// (it watches SIGCHLD), so the destructor neither kills nor waits.
struct HelperProcess {
  pid_t pid = -1;
  FileDescriptor input;   // write: control lines
  FileDescriptor output;  // read: Annex B stream
  FileDescriptor errors;  // read: diagnostic lines
  FileDescriptor audio;   // read: length-prefixed Opus packets; empty without audio
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
