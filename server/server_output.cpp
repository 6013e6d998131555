#include "server/server_output.h"

#include "common/log.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>

namespace qx::server {

namespace {

// Room for several thousand ordinary lines behind a full pipe.
constexpr std::size_t maxQueuedOutput = 256 * 1024;
// Written in one go at most, so one write never holds many lines hostage.
constexpr std::size_t maxWrite = 64 * 1024;

ServerOutput* current = nullptr;

}  // namespace

ServerOutput::ServerOutput(boost::asio::io_context& io) : queue_(maxQueuedOutput), watch_(io) {
  boost::system::error_code ec;
  int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (fd >= 0) watch_.assign(fd, ec);
  if (fd >= 0 && ec) ::close(fd);
  if (watch_.is_open()) {
    savedFlags_ = ::fcntl(STDOUT_FILENO, F_GETFL);
    if (savedFlags_ != -1) ::fcntl(STDOUT_FILENO, F_SETFL, savedFlags_ | O_NONBLOCK);
  }
  current = this;
}

ServerOutput::~ServerOutput() {
  current = nullptr;
  if (savedFlags_ != -1) ::fcntl(STDOUT_FILENO, F_SETFL, savedFlags_);
  if (broken_) return;
  while (!pending_.empty() || !queue_.empty()) {
    if (pending_.empty()) pending_ = *queue_.take();
    if (!writeFully(STDOUT_FILENO, pending_.data(), pending_.size())) return;
    pending_.clear();
  }
  if (auto notice = queue_.take()) (void)writeFully(STDOUT_FILENO, notice->data(), notice->size());
}

void ServerOutput::print(std::string line) {
  if (broken_) return;
  queue_.push(std::move(line));
  if (!waiting_) writeSome();
}

void ServerOutput::writeSome() {
  for (;;) {
    while (pending_.size() < maxWrite) {
      auto line = queue_.take();
      if (!line) break;
      pending_ += *line;
    }
    if (pending_.empty()) return;
    ssize_t n = ::write(STDOUT_FILENO, pending_.data(), pending_.size());
    if (n > 0) {
      pending_.erase(0, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && watch_.is_open()) {
      waiting_ = true;
      watch_.async_wait(boost::asio::posix::descriptor_base::wait_write, [this](boost::system::error_code ec) {
        waiting_ = false;
        if (!ec) writeSome();
      });
      return;
    }
    // The reader is gone: nothing will ever read the rest.
    broken_ = true;
    pending_.clear();
    while (queue_.take()) {
    }
    return;
  }
}

void printLine(std::string line) {
  if (current != nullptr) {
    current->print(std::move(line));
    return;
  }
  line.push_back('\n');
  (void)writeFully(STDOUT_FILENO, line.data(), line.size());
}

}  // namespace qx::server
