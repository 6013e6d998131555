#include "platform/linux/host/posix_bundle_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace qx::host {
namespace {

namespace fs = std::filesystem;

std::error_code lastError() { return {errno, std::generic_category()}; }

// A descriptor closed on every way out.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports the error a close may carry (a delayed write error).
  std::error_code close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 ? std::error_code() : lastError();
  }

 private:
  int fd_;
};

std::error_code writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return lastError();
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace

std::error_code PosixBundleFiles::makeDirectory(const fs::path& path) {
  if (::mkdir(path.c_str(), 0755) != 0) return lastError();
  // mkdir applies the umask; a bundle's folders are 0755 whatever it is.
  if (::chmod(path.c_str(), 0755) != 0) return lastError();
  return {};
}

std::error_code PosixBundleFiles::copyFile(const fs::path& from, const fs::path& to) {
  // O_NONBLOCK: a FIFO swapped in opens at once and is then refused.
  Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  if (in.get() < 0) return lastError();
  struct stat info = {};
  if (::fstat(in.get(), &info) != 0) return lastError();
  if (!S_ISREG(info.st_mode)) return std::make_error_code(std::errc::not_supported);
  // Only the owner's execute bit is signed: no other bit of the download's
  // mode (setuid, group or other write) may reach the installed bundle.
  const mode_t mode = (info.st_mode & S_IXUSR) != 0 ? 0755 : 0644;
  Fd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (out.get() < 0) return lastError();
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return lastError();
    }
    if (std::error_code ec = writeAll(out.get(), buffer, static_cast<std::size_t>(n))) return ec;
  }
  if (::fchmod(out.get(), mode) != 0) return lastError();
  if (::fsync(out.get()) != 0) return lastError();
  return out.close();
}

std::error_code PosixBundleFiles::makeLink(const fs::path& target, const fs::path& link) {
  if (::symlink(target.c_str(), link.c_str()) != 0) return lastError();
  return {};
}

std::error_code PosixBundleFiles::syncDirectory(const fs::path& dir) {
  Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return lastError();
  if (::fsync(fd.get()) != 0) return lastError();
  return fd.close();
}

std::error_code PosixBundleFiles::exchange(const fs::path& a, const fs::path& b) {
  if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0) return lastError();
  return {};
}

std::error_code PosixBundleFiles::rename(const fs::path& from, const fs::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return lastError();
  return {};
}

std::error_code PosixBundleFiles::removeAll(const fs::path& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
  return ec;
}

}  // namespace qx::host
