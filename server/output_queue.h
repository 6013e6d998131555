#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace qx::server {

// True for the lines the host acts on, which are never dropped: the client
// count, an install request, a port already taken, and the helper's
// permission and "capturing" lines.
bool hostReactsTo(std::string_view line);

// The server's output lines waiting to be written, bounded so that a reader
// that falls behind costs lines, never memory or a stalled server. Past
// `maxBytes` a line is dropped unless the host reacts to it; of several
// waiting client counts only the newest stays. Once there is room again, one
// line says how many were dropped.
class OutputQueue {
 public:
  explicit OutputQueue(std::size_t maxBytes) : maxBytes_(maxBytes) {}

  // `line` without its line feed.
  void push(std::string line);
  // The next line to write, with its line feed; absent when none waits.
  std::optional<std::string> take();
  bool empty() const { return lines_.empty(); }

 private:
  void append(std::string line);
  void noteDropped();

  std::size_t maxBytes_;
  std::size_t bytes_ = 0;
  std::size_t dropped_ = 0;
  std::deque<std::string> lines_;
};

}  // namespace qx::server
