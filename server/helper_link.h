#pragma once

#include "server/command_line.h"
#include "server/stream_framing.h"

#include <utility>  // Boost 1.74 asio uses std::exchange without including it

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <sys/types.h>
#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace qx::server {

// What became of a control line.
enum class ControlResult { sent, noHelper, dropped };

// The capture helper as seen from the server: its pipes, its control lines,
// its error lines passed on to standard output, and its end. Everything on
// the server's one io_context thread.
class HelperLink {
 public:
  struct Handlers {
    std::function<void(const AccessUnit&)> video;
    std::function<void(const std::shared_ptr<const std::string>&)> audio;
    std::function<void()> changed;  // the helper ended, or its error output did
  };

  HelperLink(boost::asio::io_context& io, Handlers handlers);

  // Spawns the helper; false (with a line printed) when that fails. SIGCHLD
  // must be watched by then, with `reap` called on each.
  [[nodiscard]] bool start(const ServeOptions& options);
  void reap();
  // SIGTERM, the end of its input, and SIGKILL 2 s later. False when there is
  // no helper left to stop.
  bool stop();
  // Queues one control line for the helper's input. A helper that does not
  // read loses lines past a bound (logged).
  ControlResult sendControl(const std::string& line);
  bool acceptsControl() const { return input_.is_open(); }

  // The helper has ended and its last error lines are through (or no helper
  // was ever started).
  bool done() const;
  // Passes on what is left of an unfinished error line.
  void flushErrors() { passErrorLines(true); }
  // The raw wait status once reaped.
  std::optional<int> status() const { return status_; }

 private:
  void readOutput();
  void readErrors();
  void readAudio();
  void writeInput();
  void passErrorLines(bool atEnd);

  Handlers handlers_;
  boost::asio::posix::stream_descriptor input_;
  boost::asio::posix::stream_descriptor output_;
  boost::asio::posix::stream_descriptor errors_;
  boost::asio::posix::stream_descriptor audioPipe_;
  boost::asio::steady_timer killTimer_;
  boost::asio::steady_timer graceTimer_;

  pid_t pid_ = -1;
  std::optional<int> status_;
  bool stopping_ = false;
  bool errorsDone_ = false;

  std::array<char, 65536> outputBuffer_{};
  std::array<char, 16384> errorBuffer_{};
  std::array<char, 16384> audioBuffer_{};
  std::string errorLine_;
  std::deque<std::string> pendingInput_;
  bool writingInput_ = false;

  AccessUnitSplitter video_;
  OpusFrameSplitter audio_;
};

}  // namespace qx::server
