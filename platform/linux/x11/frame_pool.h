#pragma once

#include <cstddef>
#include <memory>

#include "platform/media.h"

namespace qx::x11 {

// A fixed set of equally sized NV12 buffers handed out by reference. A buffer
// returns to the pool when its last reference is dropped, on whatever thread
// that happens; buffers may outlive the pool. Thread-safe.
class FramePool {
 public:
  FramePool(std::size_t depth, int width, int height);
  ~FramePool();
  FramePool(const FramePool&) = delete;
  FramePool& operator=(const FramePool&) = delete;

  // A free buffer, or null when every buffer is still held.
  PixelBufferRef acquire();

  std::size_t depth() const;
  std::size_t freeCount() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace qx::x11
