#pragma once

// The helper's stages timed one by one in this process with the product's
// own classes, at a mode's sizes: a full-screen MIT-SHM grab, the BGRX to
// NV12 conversion (and scaling), the x264 session with loss recovery (the
// default path) and the OpenH264 session with long-term references, each
// with the helper's low-latency settings, and writing an access unit to a
// pipe.

#include <cstdint>
#include <string>

#include "bench/pipeline/content.h"

namespace qx::bench {

struct EncodeFigures {
  double cpuMs = 0;   // CPU of the session's threads
  double wallMs = 0;  // encode() to the output callback
  double accessUnitBytes = 0;
};

struct StageFigures {
  double grabWallMs = 0;    // request to reply
  double grabServerMs = 0;  // X server CPU per grab
  double convertMs = 0;     // thread CPU
  EncodeFigures openh264;   // long-term references on OpenH264
  EncodeFigures x264;       // the default path: recovery on x264
  double writeCpuMs = 0;    // thread CPU
  double writeWallMs = 0;
  int frames = 0;
};

// `content` is a fresh copy of the mode's content, stepped from its first
// frame; `frames` are timed per stage after a warm-up. The grab reads
// whatever is on `display`'s screen.
StageFigures measureStages(const std::string& display, int serverPid, Content& content, int outWidth, int outHeight,
                           int fps, std::int64_t bitrate, int frames);

}  // namespace qx::bench
