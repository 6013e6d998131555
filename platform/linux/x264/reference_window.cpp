#include "platform/linux/x264/reference_window.h"

#include <algorithm>

namespace qx::x264 {

std::int64_t ReferenceWindow::onPicture(const h264::SliceHeader& first, std::int64_t pts,
                                        std::optional<int> refreshFrom) {
  if (first.idr) {
    held_.clear();
    acknowledged_.reset();
  } else if (refreshFrom) {
    // The pictures after the refresh's base still fill decoder slots, but
    // the receiver may not have them: nothing builds on them again.
    auto base = std::ranges::find_if(held_, [&](const Picture& p) { return p.usable && p.frameNum == *refreshFrom; });
    if (base != held_.end()) {
      for (auto it = base + 1; it != held_.end(); ++it) it->usable = false;
    }
    if (acknowledged_ &&
        std::ranges::none_of(held_, [&](const Picture& p) { return p.usable && p.token == *acknowledged_; })) {
      acknowledged_.reset();
    }
  }
  const std::int64_t token = nextToken_++;
  held_.push_back({.token = token, .pts = pts, .frameNum = first.frameNum});
  while (static_cast<int>(held_.size()) > dpbSize_) held_.pop_front();
  return token;
}

void ReferenceWindow::acknowledge(std::int64_t token) {
  if (acknowledged_ && token <= *acknowledged_) return;
  if (std::ranges::any_of(held_, [&](const Picture& p) { return p.usable && p.token == token; })) {
    acknowledged_ = token;
  }
}

std::optional<RefreshPlan> ReferenceWindow::refreshPlan() const {
  if (!acknowledged_) return std::nullopt;
  // A picture slid out of the window is gone from the decoder too.
  auto it = std::ranges::find_if(held_, [&](const Picture& p) { return p.token == *acknowledged_; });
  if (it == held_.end()) return std::nullopt;
  RefreshPlan plan{.invalidateFrom = std::nullopt, .frameNum = it->frameNum};
  if (it + 1 != held_.end()) plan.invalidateFrom = (it + 1)->pts;
  return plan;
}

bool predictsOnlyFrom(const h264::SliceHeader& slice, int frameNum) {
  if (slice.idr || slice.fieldPic) return false;
  if (slice.sliceType == h264::kSliceI) return true;
  if (slice.sliceType != h264::kSliceP || slice.numRefIdxL0Active != 1 || slice.maxFrameNum <= 0) return false;
  const int max = slice.maxFrameNum;
  int picNum = slice.frameNum - 1;  // the default list: the previous picture first
  if (!slice.list0.empty() && slice.list0.front().idc != 3) {
    const h264::RefPicListModification& m = slice.list0.front();
    if (m.idc == 0) {
      picNum = slice.frameNum - (m.value + 1);
    } else if (m.idc == 1) {
      picNum = slice.frameNum + (m.value + 1);
    } else {
      return false;  // long-term: none here
    }
  }
  return ((picNum % max) + max) % max == frameNum;
}

}  // namespace qx::x264
