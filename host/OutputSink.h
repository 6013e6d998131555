#pragma once

// Receives the media server's merged output, appends every byte to the host
// log (rotating it past 10 MiB into one ".1" backup) and cuts it into lines for
// a callback. One sink per server launch; one caller at a time.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "common/fd.h"

namespace qx::host {

class OutputSink {
 public:
  // A line delivered is cut at its first 64 KiB; the rest up to the next line
  // feed reaches only the log.
  static constexpr std::size_t maxLineBytes = 64 * 1024;

  using LineCallback = std::function<void(const std::string& line)>;

  // Opens (creating directories and the file) `log` at its end.
  OutputSink(std::filesystem::path log, LineCallback onLine);
  ~OutputSink();
  OutputSink(const OutputSink&) = delete;
  OutputSink& operator=(const OutputSink&) = delete;

  // One chunk as read from the pipe (not empty). Every byte goes to the log; a
  // failed write (full disk) never stops line delivery. Each complete line is
  // delivered without its line feed, invalid UTF-8 replaced by U+FFFD, a
  // carriage return before the line feed kept.
  void consume(std::string_view chunk);

  // End of the stream: closes the log. A final line without a line feed is
  // logged but never delivered.
  void close();

  // $XDG_STATE_HOME (default ~/.local/state) + "/Quorvex/host.log".
  static std::filesystem::path defaultLogPath();

 private:
  void open();

  std::filesystem::path url_;
  LineCallback onLine_;
  UniqueFd fd_;
  std::int64_t written_ = 0;
  std::string pending_;
  bool discarding_ = false;  // past the line cap, dropping until the next line feed
};

}  // namespace qx::host
