#pragma once

// Owning a file descriptor, and writing all of a buffer to one.

#include <cstddef>
#include <utility>

namespace qx {

// Owns one descriptor (or none, -1) and closes it on every way out. Movable,
// not copyable.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] bool valid() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }
  // Closes the one held (its error ignored) and holds `fd` instead.
  void reset(int fd = -1);
  // Closes now and returns close's result (0, or -1 with errno: a delayed
  // write error shows up here); 0 when nothing was held.
  int close();

 private:
  int fd_ = -1;
};

// Writes all of `data` to `fd`, retrying on EINTR and after partial writes.
// Returns false on any other error, with errno as the write left it (the
// caller decides whether that is fatal).
bool writeFully(int fd, const void* data, std::size_t size);

}  // namespace qx
