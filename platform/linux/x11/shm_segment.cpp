#include "platform/linux/x11/shm_segment.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include "platform/linux/x11/xcb_handles.h"

namespace qx::x11 {

ShmSegment::ShmSegment(xcb_connection_t* c, std::size_t size, Access access) : conn_(c) {
  const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (id < 0) return;
  void* addr = shmat(id, nullptr, access == Access::readOnly ? SHM_RDONLY : 0);
  if (addr == reinterpret_cast<void*>(-1)) {
    shmctl(id, IPC_RMID, nullptr);
    return;
  }
  const xcb_shm_seg_t seg = xcb_generate_id(c);
  XcbReply<xcb_generic_error_t> error(
      xcb_request_check(c, xcb_shm_attach_checked(c, seg, static_cast<std::uint32_t>(id), 0)));
  shmctl(id, IPC_RMID, nullptr);
  if (error) {
    shmdt(addr);
    return;
  }
  addr_ = static_cast<std::uint8_t*>(addr);
  seg_ = seg;
}

ShmSegment::~ShmSegment() {
  if (!addr_) return;
  xcb_shm_detach(conn_, seg_);
  xcb_flush(conn_);
  shmdt(addr_);
}

}  // namespace qx::x11
