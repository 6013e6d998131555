#include "server/helper_link.h"

#include "server/helper_process.h"
#include "server/server_io.h"

#include <boost/asio/write.hpp>

#include <sys/wait.h>
#include <chrono>
#include <csignal>

extern char** environ;

namespace qx::server {

namespace {

namespace asio = boost::asio;
using error_code = boost::system::error_code;
using namespace std::chrono_literals;

// Lines of the helper's standard error longer than this are passed on in
// pieces, so a helper that never ends its line cannot grow memory.
constexpr std::size_t maxHelperLine = 64 * 1024;
// Control lines queued for a helper that does not read its input.
constexpr std::size_t maxPendingControlLines = 256;

}  // namespace

HelperLink::HelperLink(asio::io_context& io, Handlers handlers)
    : handlers_(std::move(handlers)),
      input_(io),
      output_(io),
      errors_(io),
      audioPipe_(io),
      killTimer_(io),
      graceTimer_(io) {}

bool HelperLink::start(const ServeOptions& options) {
  auto args = helperArguments(options, options.captureAudio ? std::optional<int>(helperAudioFd) : std::nullopt);
  if (!args) {
    logLine("cannot split --capture-cmd (empty, or an unclosed quote): " + options.captureCommand);
    return false;
  }
  SpawnError error;
  auto helper = spawnHelper(*args, helperEnvironment(environ), options.captureAudio, error);
  if (!helper) {
    logLine(error.message);
    return false;
  }
  pid_ = helper->pid;
  input_.assign(helper->input.release());
  output_.assign(helper->output.release());
  errors_.assign(helper->errors.release());
  readOutput();
  readErrors();
  if (helper->audio.valid()) {
    audioPipe_.assign(helper->audio.release());
    readAudio();
  }
  reap();  // in case it ended before the handler was waiting
  return true;
}

bool HelperLink::done() const { return pid_ <= 0 || (status_.has_value() && errorsDone_); }

bool HelperLink::stop() {
  stopping_ = true;
  if (pid_ <= 0 || status_) return false;
  ::kill(pid_, SIGTERM);
  error_code ignored;
  input_.close(ignored);  // the helper also ends at the end of its input
  killTimer_.expires_after(2s);
  killTimer_.async_wait([this](error_code ec) {
    if (ec || status_) return;
    logLine("capture helper ignored SIGTERM; killing it");
    ::kill(pid_, SIGKILL);
  });
  return true;
}

void HelperLink::reap() {
  if (pid_ <= 0 || status_) return;
  int status = 0;
  pid_t pid = ::waitpid(pid_, &status, WNOHANG);
  if (pid != pid_) return;
  status_ = status;
  killTimer_.cancel();
  if (!stopping_) {
    if (WIFEXITED(status)) {
      logLine("capture helper exited with status " + std::to_string(WEXITSTATUS(status)));
    } else if (WIFSIGNALED(status)) {
      logLine("capture helper ended by signal " + std::to_string(WTERMSIG(status)));
    }
  }
  // Its last error lines may still be in the pipe; wait for them briefly in
  // case a grandchild keeps the pipe open.
  graceTimer_.expires_after(1s);
  graceTimer_.async_wait([this](error_code ec) {
    if (ec) return;
    errorsDone_ = true;
    handlers_.changed();
  });
  handlers_.changed();
}

ControlResult HelperLink::sendControl(const std::string& line) {
  if (!input_.is_open()) return ControlResult::noHelper;
  if (pendingInput_.size() >= maxPendingControlLines) {
    logLine("capture helper is not reading its input; control line dropped: " + line);
    return ControlResult::dropped;
  }
  pendingInput_.push_back(line + "\n");
  writeInput();
  return ControlResult::sent;
}

void HelperLink::writeInput() {
  if (writingInput_ || pendingInput_.empty() || !input_.is_open()) return;
  writingInput_ = true;
  asio::async_write(input_, asio::buffer(pendingInput_.front()), [this](error_code ec, std::size_t) {
    writingInput_ = false;
    if (ec) {
      pendingInput_.clear();
      error_code ignored;
      input_.close(ignored);
      return;
    }
    pendingInput_.pop_front();
    writeInput();
  });
}

void HelperLink::readOutput() {
  output_.async_read_some(asio::buffer(outputBuffer_), [this](error_code ec, std::size_t n) {
    if (ec) return;  // end of the stream: the helper is ending, SIGCHLD follows
    for (auto& unit : video_.push(std::string_view(outputBuffer_.data(), n))) handlers_.video(unit);
    readOutput();
  });
}

void HelperLink::readAudio() {
  audioPipe_.async_read_some(asio::buffer(audioBuffer_), [this](error_code ec, std::size_t n) {
    if (ec) return;
    for (auto& frame : audio_.push(std::string_view(audioBuffer_.data(), n))) handlers_.audio(frame);
    readAudio();
  });
}

void HelperLink::readErrors() {
  errors_.async_read_some(asio::buffer(errorBuffer_), [this](error_code ec, std::size_t n) {
    if (ec) {
      passErrorLines(true);
      errorsDone_ = true;
      handlers_.changed();
      return;
    }
    errorLine_.append(errorBuffer_.data(), n);
    passErrorLines(false);
    readErrors();
  });
}

void HelperLink::passErrorLines(bool atEnd) {
  std::size_t start = 0;
  for (;;) {
    auto newline = errorLine_.find('\n', start);
    if (newline == std::string::npos) break;
    std::size_t end = newline > start && errorLine_[newline - 1] == '\r' ? newline - 1 : newline;
    printLine(errorLine_.substr(start, end - start));
    start = newline + 1;
  }
  errorLine_.erase(0, start);
  while (errorLine_.size() >= maxHelperLine) {
    printLine(errorLine_.substr(0, maxHelperLine));
    errorLine_.erase(0, maxHelperLine);
  }
  if (atEnd && !errorLine_.empty()) {
    printLine(errorLine_);
    errorLine_.clear();
  }
}

}  // namespace qx::server
