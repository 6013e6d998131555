#pragma once

// Include only from .cpp files of this folder: it pulls in xcb.

#include <cstddef>
#include <cstdint>

#include <xcb/shm.h>
#include <xcb/xcb.h>

namespace qx::x11 {

// A System V shared memory segment attached here and to the X server, which
// writes grabs into it. Marked for removal at once, so it disappears when both
// sides detach, even if this process dies. The connection must outlive it.
class ShmSegment {
 public:
  enum class Access { readOnly, readWrite };

  // Check ok(): the segment may be missing (no memory, or the server refused it).
  ShmSegment(xcb_connection_t* c, std::size_t size, Access access);
  ~ShmSegment();
  ShmSegment(const ShmSegment&) = delete;
  ShmSegment& operator=(const ShmSegment&) = delete;

  bool ok() const { return addr_ != nullptr; }
  xcb_shm_seg_t seg() const { return seg_; }
  std::uint8_t* data() const { return addr_; }

 private:
  xcb_connection_t* conn_;
  std::uint8_t* addr_ = nullptr;
  xcb_shm_seg_t seg_ = 0;
};

}  // namespace qx::x11
