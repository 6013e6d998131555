#pragma once

#include <string>

#include "platform/compression_session.h"

namespace qx {

struct X264SessionOptions {
  // Preset for sessions created with the low-latency request (tune
  // zerolatency, sliced threads): the fastest preset whose SSIM stays within
  // 0.01 of veryfast's at 8 Mbit/s on a 1080p desktop-like moving picture
  // (bench/encode: scrolling text, a sliding window, a cursor). ultrafast
  // came within 0.0014 at less than half of veryfast's CPU time.
  std::string lowLatencyPreset = "ultrafast";
  // Preset for the classic session (no zerolatency tune, but sliced threads
  // and no lookahead as well, so each frame also comes out at once).
  std::string classicPreset = "veryfast";
  // Frames that may wait for the encoder thread; when full, the oldest waiting
  // frame is dropped and its options move to the new one.
  int queueDepth = 2;
  // Reference pictures kept for loss recovery (fewer where a picture is too
  // large for level 5.1). D - 1 frames is how far behind the newest picture
  // the acknowledged one may be when a refresh is asked for (16: half a
  // second at 30 fps); past that a refresh becomes an IDR. Costs memory,
  // not search time.
  int recoveryDpb = 16;
  // Tell x264 which macroblocks did not change since the previous picture,
  // so it skips them without analysing them.
  bool skipUnchanged = true;
};

// A compression-session factory on libx264. Each session encodes on its own
// thread ("qx-x264"), which also runs the output callback. x264 itself is
// opened by prepare(), once the properties are known; a failure to open is
// reported there. With EnableLTR on, loss recovery works without long-term
// references: every picture is a short-term reference in a deep DPB and
// carries a token; acknowledged tokens name pictures a refresh may predict
// from, and a frame asking for an LTR refresh makes x264 forget the pictures
// after the newest acknowledged one and predict from it (checked slice by
// slice; else, or when none is held, it comes out as an IDR). Of the two
// keyframe limits, whichever comes first forces an IDR: MaxKeyFrameInterval
// in frames, MaxKeyFrameIntervalDuration in presentation time.
[[nodiscard]] CompressionSessionFactory x264SessionFactory(const X264SessionOptions& options = {});

}  // namespace qx
