#pragma once

// Long-term references as OpenH264 uses them, read back from its own output:
// the encoder reports neither which picture it marked nor what a recovery
// frame predicted from, so both are taken from the slice headers it writes.
// Plain state, stepped with the time passed in, so tests need no encoder.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>

#include "platform/linux/h264/h264_syntax.h"

namespace qx::openh264 {

// What the encoder is told about a mark (ENCODER_LTR_MARKING_FEEDBACK).
struct MarkingFeedback {
  bool success = false;
  unsigned idrPicId = 0;
  // The frame_num of the picture that became long-term: the one carrying the
  // mark for an IDR or MMCO 6, the one before it for MMCO 3. Any other value
  // is ignored by the encoder without a word.
  int frameNum = 0;
  friend bool operator==(const MarkingFeedback&, const MarkingFeedback&) = default;
};

// What the encoder is asked for a refresh (ENCODER_LTR_RECOVERY_REQUEST).
struct RecoveryRequest {
  unsigned idrPicId = 0;
  // The frame_num of the picture that carried the acknowledged mark: a lower
  // value makes the encoder follow the refresh with an IDR.
  int lastCorrectFrameNum = 0;
  // The frame_num of the newest picture sent.
  int currentFrameNum = 0;
  friend bool operator==(const RecoveryRequest&, const RecoveryRequest&) = default;
};

class LtrMarks {
 public:
  // Without an answer within `ackTimeout` a mark is reported as failed: the
  // encoder waits for one mark at a time and would never mark again.
  explicit LtrMarks(std::chrono::nanoseconds ackTimeout = std::chrono::seconds(1)) : ackTimeout_(ackTimeout) {}

  // A coded picture came out; `slice` is its first slice. Returns the token
  // the picture carries when it marks a long-term reference. Tokens count
  // pictures, so they stay unique across IDRs and frame_num wraps, where
  // (idr_pic_id, frame_num) pairs repeat.
  std::optional<std::int64_t> onPicture(const h264::SliceHeader& slice, std::chrono::nanoseconds now);

  // The receiver decoded the picture that carried `token`. Returns what to
  // tell the encoder; nothing for a token it no longer waits for (older
  // marks, marks from before an IDR, marks already given up on).
  std::optional<MarkingFeedback> acknowledge(std::int64_t token);

  // The mark still unanswered `ackTimeout` after it came out, as a failure.
  std::optional<MarkingFeedback> expire(std::chrono::nanoseconds now);

  // The request for a refresh from the newest acknowledged picture that is
  // still held; none when there is none (a keyframe must repair instead).
  std::optional<RecoveryRequest> recoveryRequest() const;

  // Whether a refresh frame predicts from nothing but an acknowledged
  // long-term picture: a P slice whose only list-0 entry is put there by a
  // modification naming one.
  bool predictsOnlyFromAcknowledged(const h264::SliceHeader& slice) const;

  bool waitingForAnswer() const { return pending_.has_value(); }

 private:
  struct Mark {
    std::int64_t token = 0;
    unsigned idrPicId = 0;
    int frameNum = 0;        // of the picture that carried the mark
    int markedFrameNum = 0;  // of the picture that became long-term
    int longTermFrameIdx = 0;
    std::chrono::nanoseconds at{};
    bool fromIdr = false;
  };
  void dropSlot(int longTermFrameIdx);

  const std::chrono::nanoseconds ackTimeout_;
  std::int64_t pictures_ = 0;
  unsigned idrPicId_ = 0;
  int lastFrameNum_ = 0;
  // The mark the encoder waits to hear about.
  std::optional<Mark> pending_;
  // Acknowledged pictures still in the decoder's long-term slots, by index.
  std::map<int, Mark> acknowledged_;
};

}  // namespace qx::openh264
