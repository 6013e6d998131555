#include "video/encoder_stats.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "common/numbers.h"

namespace qx {

void StatsWindow::addFrame(std::int64_t size, bool keyframe) {
  bytes = saturatingAdd(bytes, size);
  frames += 1;
  maxFrame = std::max(maxFrame, size);
  if (keyframe) {
    idrs += 1;
    idrBytes = saturatingAdd(idrBytes, size);
  }
}

void StatsWindow::addLatency(double ms) {
  encSumMs += ms;
  encN += 1;
  encMaxMs = std::max(encMaxMs, ms);
}

std::string formatStatsLine(const StatsWindow& w, double elapsed, std::int64_t targetBitrate) {
  const std::int64_t out = saturatingTruncate(8.0 * static_cast<double>(w.bytes) / elapsed / 1000.0);
  const double fps = static_cast<double>(w.frames) / elapsed;
  const double avg = w.frames > 0 ? static_cast<double>(w.bytes) / static_cast<double>(w.frames) / 1024.0 : 0.0;
  const double maxKb = static_cast<double>(w.maxFrame) / 1024.0;
  const double idrKb = w.idrs >= 1 ? static_cast<double>(w.idrBytes) / static_cast<double>(w.idrs) / 1024.0 : 0.0;
  const std::int64_t target = targetBitrate / 1000;
  const double encAvg = w.encN >= 1 ? w.encSumMs / static_cast<double>(w.encN) : 0.0;
  char line[256];
  std::snprintf(line, sizeof line,
                "[stats] out=%" PRId64 "kbps fps=%.0f avg=%.1fKB max=%.1fKB idr=%" PRId64 " idr_kb=%.1f target=%" PRId64
                "kbps enc_ms=%.1f/%.1f",
                out, fps, avg, maxKb, w.idrs, idrKb, target, encAvg, w.encMaxMs);
  return line;
}

}  // namespace qx
