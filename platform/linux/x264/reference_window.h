#pragma once

// Loss recovery on x264 without long-term references: every picture is a
// short-term reference kept in a deep DPB, every picture carries a token, and
// a refresh tells x264 to forget the pictures after the newest acknowledged
// one (x264_encoder_invalidate_reference), so it predicts from that one. This
// is the bookkeeping, read back from the slice headers x264 writes. Plain
// state, so tests need no encoder.

#include <cstdint>
#include <deque>
#include <optional>

#include "platform/linux/h264/h264_syntax.h"

namespace qx::x264 {

// What a refresh needs from the encoder.
struct RefreshPlan {
  // The pts of the first picture after the acknowledged one, from which on
  // x264 is to forget; none when the acknowledged picture is the newest.
  std::optional<std::int64_t> invalidateFrom;
  int frameNum = 0;  // of the acknowledged picture
  friend bool operator==(const RefreshPlan&, const RefreshPlan&) = default;
};

class ReferenceWindow {
 public:
  // `dpbSize`: the reference pictures the decoder holds (the SPS's
  // max_num_ref_frames); older ones slide out.
  explicit ReferenceWindow(int dpbSize) : dpbSize_(dpbSize) {}

  // A coded picture came out (its first slice, its pts). Returns its token.
  // `refreshFrom`: it is a refresh from the picture with that frame_num, so
  // the pictures between the two can no longer be built on.
  std::int64_t onPicture(const h264::SliceHeader& first, std::int64_t pts,
                         std::optional<int> refreshFrom = std::nullopt);

  // The receiver decoded the picture with `token`; unknown, void (before an
  // IDR, slid out, forgotten by a refresh) and older tokens change nothing.
  void acknowledge(std::int64_t token);

  // A refresh from the newest acknowledged picture while the decoder still
  // holds it; none means a keyframe has to repair instead.
  [[nodiscard]] std::optional<RefreshPlan> refreshPlan() const;

 private:
  struct Picture {
    std::int64_t token = 0;
    std::int64_t pts = 0;
    int frameNum = 0;
    bool usable = true;  // false once a refresh skipped it
  };

  const int dpbSize_;
  std::int64_t nextToken_ = 1;
  // The decoder's reference pictures since the last IDR, oldest first.
  std::deque<Picture> held_;
  std::optional<std::int64_t> acknowledged_;  // newest acknowledged token
};

// Whether every reference of a refresh slice is the picture with
// `frameNum`: an I slice, or a P slice with one list-0 entry that is that
// short-term picture. Without a list modification the entry is the newest
// reference, which here (every picture a reference, no gaps) is the previous
// picture.
[[nodiscard]] bool predictsOnlyFrom(const h264::SliceHeader& slice, int frameNum);

}  // namespace qx::x264
