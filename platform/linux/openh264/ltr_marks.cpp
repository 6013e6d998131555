#include "platform/linux/openh264/ltr_marks.h"

#include <iterator>

namespace qx::openh264 {

std::optional<std::int64_t> LtrMarks::onPicture(const h264::SliceHeader& slice, std::chrono::nanoseconds now) {
  const std::int64_t token = ++pictures_;
  lastFrameNum_ = slice.frameNum;
  std::optional<Mark> mark;
  if (slice.idr) {
    // Every reference is gone, and with it every token handed out before.
    pending_.reset();
    acknowledged_.clear();
    idrPicId_ = static_cast<unsigned>(slice.idrPicId);
    if (slice.longTermReference) mark = Mark{token, idrPicId_, slice.frameNum, slice.frameNum, 0, now, true};
  } else if (slice.nalRefIdc != 0 && slice.adaptiveMarking) {
    for (const h264::Mmco& op : slice.mmcos) {
      switch (op.op) {
        case 2: dropSlot(op.longTermPicNum); break;
        case 3: {
          // The previous picture becomes long-term; this picture carries the mark.
          const int maxFrameNum = slice.maxFrameNum > 0 ? slice.maxFrameNum : 1;
          const int picNum = slice.frameNum - (op.differenceOfPicNumsMinus1 + 1);
          const int marked = ((picNum % maxFrameNum) + maxFrameNum) % maxFrameNum;
          dropSlot(op.longTermFrameIdx);
          mark = Mark{token, idrPicId_, slice.frameNum, marked, op.longTermFrameIdx, now, false};
          break;
        }
        case 4:
          for (auto it = acknowledged_.begin(); it != acknowledged_.end();) {
            it = it->first >= op.maxLongTermFrameIdxPlus1 ? acknowledged_.erase(it) : std::next(it);
          }
          if (pending_ && pending_->longTermFrameIdx >= op.maxLongTermFrameIdxPlus1) pending_.reset();
          break;
        case 5:
          pending_.reset();
          acknowledged_.clear();
          break;
        case 6:
          dropSlot(op.longTermFrameIdx);
          mark = Mark{token, idrPicId_, slice.frameNum, slice.frameNum, op.longTermFrameIdx, now, false};
          break;
        default: break;
      }
    }
  }
  if (!mark) return std::nullopt;
  pending_ = mark;
  return token;
}

void LtrMarks::dropSlot(int longTermFrameIdx) {
  acknowledged_.erase(longTermFrameIdx);
  if (pending_ && pending_->longTermFrameIdx == longTermFrameIdx) pending_.reset();
}

std::optional<MarkingFeedback> LtrMarks::acknowledge(std::int64_t token) {
  if (!pending_ || pending_->token != token) return std::nullopt;
  const Mark mark = *pending_;
  pending_.reset();
  acknowledged_[mark.longTermFrameIdx] = mark;
  // The encoder knows the mark by the picture that became long-term.
  return MarkingFeedback{true, mark.idrPicId, mark.markedFrameNum};
}

std::optional<MarkingFeedback> LtrMarks::expire(std::chrono::nanoseconds now) {
  // An IDR's own mark is not waited for: the encoder marks the next picture
  // in any case, so it is never reported as failed.
  if (!pending_ || pending_->fromIdr || now - pending_->at < ackTimeout_) return std::nullopt;
  const Mark mark = *pending_;
  pending_.reset();
  return MarkingFeedback{false, mark.idrPicId, mark.markedFrameNum};
}

std::optional<RecoveryRequest> LtrMarks::recoveryRequest() const {
  const Mark* newest = nullptr;
  for (const auto& [idx, mark] : acknowledged_) {
    if (!newest || mark.token > newest->token) newest = &mark;
  }
  if (!newest) return std::nullopt;
  return RecoveryRequest{newest->idrPicId, newest->frameNum, lastFrameNum_};
}

bool LtrMarks::predictsOnlyFromAcknowledged(const h264::SliceHeader& slice) const {
  if (slice.idr || slice.sliceType != 0 || slice.numRefIdxL0Active != 1 || slice.list0.empty()) return false;
  const h264::RefPicListModification& first = slice.list0.front();
  return first.idc == 2 && acknowledged_.contains(first.value);
}

}  // namespace qx::openh264
