#include "host/OutputSink.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "HostCore/LogRotation.h"
#include "common/text.h"

namespace qx::host {
namespace {

std::filesystem::path homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return "/";
}

}  // namespace

OutputSink::OutputSink(std::filesystem::path log, LineCallback onLine)
    : url_(std::move(log)), onLine_(std::move(onLine)) {
  open();
}

OutputSink::~OutputSink() { close(); }

std::filesystem::path OutputSink::defaultLogPath() {
  // A relative XDG_STATE_HOME is not used, as desktops ignore relative XDG paths.
  std::filesystem::path state;
  if (const char* value = std::getenv("XDG_STATE_HOME"); value && *value == '/') {
    state = value;
  } else {
    state = homeDirectory() / ".local" / "state";
  }
  return state / "Quorvex" / "host.log";
}

void OutputSink::open() {
  std::error_code ignored;
  std::filesystem::create_directories(url_.parent_path(), ignored);
  LogRotation::rotateIfNeeded(url_, LogRotation::maxBytes);

  // The log holds whatever the server prints, so only the user may read it.
  fd_.reset(::open(url_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  written_ = 0;
  if (!fd_.valid()) return;
  const off_t end = ::lseek(fd_.get(), 0, SEEK_END);
  if (end > 0) written_ = end;
}

void OutputSink::close() { fd_.reset(); }

void OutputSink::consume(std::string_view chunk) {
  // A write error (a full disk, say) loses this chunk only: the caller keeps
  // delivering lines regardless.
  if (fd_.valid()) (void)writeFully(fd_.get(), chunk.data(), chunk.size());
  // Counted even when unwritten, so a sink without a file still retries
  // opening after every 10 MiB.
  written_ += static_cast<std::int64_t>(chunk.size());
  if (written_ > LogRotation::maxBytes) {
    close();
    LogRotation::rotateIfNeeded(url_, LogRotation::maxBytes);
    open();
  }

  while (!chunk.empty()) {
    const std::size_t lf = chunk.find('\n');
    const std::string_view piece = chunk.substr(0, lf);
    if (!discarding_) {
      const std::size_t room = maxLineBytes - pending_.size();
      pending_.append(piece.substr(0, room));
      discarding_ = piece.size() > room;
    }
    if (lf == std::string_view::npos) return;
    chunk.remove_prefix(lf + 1);

    const std::string line = replaceInvalidUtf8(pending_);
    pending_.clear();
    discarding_ = false;
    onLine_(line);
  }
}

}  // namespace qx::host
