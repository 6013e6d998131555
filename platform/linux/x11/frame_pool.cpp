#include "platform/linux/x11/frame_pool.h"

#include <mutex>
#include <vector>

namespace qx::x11 {

struct FramePool::State {
  std::mutex mutex;
  std::vector<std::unique_ptr<PixelBuffer>> buffers;  // guarded by mutex
  std::vector<bool> inUse;                            // guarded by mutex
};

FramePool::FramePool(std::size_t depth, int width, int height) : state_(std::make_shared<State>()) {
  state_->buffers.reserve(depth);
  for (std::size_t i = 0; i < depth; ++i) state_->buffers.push_back(std::make_unique<PixelBuffer>(width, height));
  state_->inUse.assign(depth, false);
}

FramePool::~FramePool() = default;

PixelBufferRef FramePool::acquire() {
  std::lock_guard lock(state_->mutex);
  for (std::size_t i = 0; i < state_->buffers.size(); ++i) {
    if (state_->inUse[i]) continue;
    state_->inUse[i] = true;
    // The deleter keeps the state alive, so a buffer released after the pool
    // is gone still finds its slot (and frees with it).
    std::shared_ptr<State> state = state_;
    return PixelBufferRef(state_->buffers[i].get(), [state, i](PixelBuffer*) {
      std::lock_guard relock(state->mutex);
      state->inUse[i] = false;
    });
  }
  return nullptr;
}

std::size_t FramePool::depth() const {
  std::lock_guard lock(state_->mutex);
  return state_->buffers.size();
}

std::size_t FramePool::freeCount() const {
  std::lock_guard lock(state_->mutex);
  std::size_t n = 0;
  for (bool used : state_->inUse) n += used ? 0 : 1;
  return n;
}

}  // namespace qx::x11
