#pragma once

#include <chrono>
#include <functional>

#include "platform/compression_session.h"

namespace qx {

struct OpenH264SessionOptions {
  // Frames that may wait for the encoder thread; when full, the oldest waiting
  // frame is dropped and its options move to the new one.
  int queueDepth = 2;
  // A mark the receiver has not acknowledged in this time is reported to the
  // encoder as failed, so that it marks another picture.
  std::chrono::nanoseconds ackTimeout = std::chrono::seconds(1);
  // Frames between long-term marks (the encoder marks again only once the
  // previous mark was answered): the older the newest acknowledged picture,
  // the more a refresh from it costs. bench/encode at 1080p, 8 Mbit/s: a
  // refresh came to 0.23 of an IDR with 10 on both patterns, against 1.05
  // and 0.31 with the encoder's default of 30.
  unsigned ltrMarkPeriod = 10;
  // Encoder levers, chosen by bench/encode and bench/pipeline (figures in
  // docs/ltr-recovery.md): two threads, one slice each, for the latency; no
  // adaptive quantisation. Background detection stays: without it a desktop
  // costs twice the CPU and bytes. CAVLC is cheaper still but cannot hold the
  // rate on busy pictures.
  int threads = 2;
  enum class Complexity { low, medium, high };
  Complexity complexity = Complexity::low;
  bool adaptiveQuant = false;
  bool backgroundDetection = true;
  // Arithmetic coding where the profile allows it; off: CAVLC, cheaper to write.
  bool cabac = true;
  // Steady time for that timeout; steady_clock when empty.
  std::function<std::chrono::nanoseconds()> now;
};

// A compression-session factory on OpenH264, the backend with real long-term
// references. Each session encodes on its own thread ("qx-openh264"), which
// also runs the output callback.
//
// Properties answered with 0: RealTime, ProfileLevel (baseline, main, high;
// constrained high is coded as high without B-frames), AllowFrameReordering
// false, the three colour keys with ITU_R_709_2, MaxKeyFrameInterval,
// MaxKeyFrameIntervalDuration, ExpectedFrameRate, EnableLTR, AverageBitRate,
// ConstantBitRate, DataRateLimits, MaxAllowedFrameQP. Answered with
// kPropertyNotSupported: AllowFrameReordering true, other profiles or colour
// values, and unknown keys.
//
// With EnableLTR on, a sample whose picture marks a long-term reference
// carries a token; acknowledged tokens confirm the mark to the encoder, and a
// frame asking for an LTR refresh predicts only from the newest acknowledged
// picture. When there is none, or the encoder does not code it that way, the
// frame comes out as an IDR instead.
[[nodiscard]] CompressionSessionFactory openh264SessionFactory(const OpenH264SessionOptions& options = {});

}  // namespace qx
