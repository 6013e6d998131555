#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "capture/encoder_port.h"
#include "common/fd.h"

namespace qx {

// The parent's requests, one per line on standard input.
struct KeyframeRequest {
  friend bool operator==(const KeyframeRequest&, const KeyframeRequest&) = default;
};
struct RefreshRequest {
  friend bool operator==(const RefreshRequest&, const RefreshRequest&) = default;
};
struct AckRequest {
  std::int64_t token = 0;
  friend bool operator==(const AckRequest&, const AckRequest&) = default;
};
struct BitrateRequest {
  std::int64_t bitsPerSecond = 0;
  friend bool operator==(const BitrateRequest&, const BitrateRequest&) = default;
};
using ControlCommand = std::variant<KeyframeRequest, RefreshRequest, AckRequest, BitrateRequest>;

// Classifies one line (without its terminator). Matching is exact and
// case-sensitive; only the bitrate's number may be surrounded by horizontal
// white space. Absent for anything that is not a command.
std::optional<ControlCommand> parseControlLine(std::string_view line);

// Cuts a byte stream into lines ended by LF or CR LF (a lone CR stays in the
// line). Bytes after the last terminator wait for more input or finish().
// A line longer than kMaxLine bytes (terminator not counted) is dropped
// whole, silently, and splitting resumes after its line feed, so a sender
// that never ends a line cannot grow the buffer without bound.
class LineSplitter {
 public:
  static constexpr std::size_t kMaxLine = 4096;

  std::vector<std::string> feed(std::string_view bytes);
  // The unterminated last line, if any bytes are left.
  std::optional<std::string> finish();

 private:
  std::string pending_;
  bool discarding_ = false;  // inside an over-long line: skip to its line feed
};

// Applies one command to the encoder.
void applyControlCommand(const ControlCommand& command, VideoEncoderPort& encoder);

// Ends the process with a status; tests record it instead.
using ExitFn = std::function<void(int status)>;

// Reads control lines from `fd` on its own thread and applies them to the
// encoder (held strongly for the reader's life). At end of input, or a read
// error, it calls `exitProcess(0)` right after the last line. The destructor
// stops the reader without calling exitProcess (the fd is not closed; it
// belongs to the caller).
class ControlChannel {
 public:
  ControlChannel(int fd, std::shared_ptr<VideoEncoderPort> encoder, ExitFn exitProcess);
  ~ControlChannel();
  ControlChannel(const ControlChannel&) = delete;
  ControlChannel& operator=(const ControlChannel&) = delete;

 private:
  void run();

  int fd_;
  std::shared_ptr<VideoEncoderPort> encoder_;
  ExitFn exitProcess_;
  UniqueFd wakeRead_;
  UniqueFd wakeWrite_;
  std::thread thread_;
};

}  // namespace qx
