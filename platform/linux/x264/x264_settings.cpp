#include "platform/linux/x264/x264_settings.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qx::x264 {

namespace {

int toKbps(double bitsPerSecond) {
  const double kbps = std::floor(bitsPerSecond / 1000.0);
  if (!(kbps >= 1.0)) return 1;
  return kbps >= static_cast<double>(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max()
                                                                      : static_cast<int>(kbps);
}

}  // namespace

RateMapping mapRate(const h264::RateSettings& rate) {
  RateMapping m;
  m.qpMax = rate.maxFrameQP;
  if (rate.constantBitrate) {
    m.method = RateMethod::abr;
    m.bitrateKbps = toKbps(static_cast<double>(*rate.constantBitrate));
    m.vbvMaxKbps = m.bitrateKbps;
    m.vbvBufferKbit = std::max(1, m.bitrateKbps / 4);
    m.filler = true;
    return m;
  }
  if (!rate.averageBitrate) return m;
  m.method = RateMethod::cappedQuality;
  m.rateFactor = kCappedRateFactor;
  const double average = static_cast<double>(*rate.averageBitrate);
  double lowestRate = average;
  double bufferBits = average;
  double shortest = std::numeric_limits<double>::infinity();
  for (const auto& [bytes, seconds] : rate.dataRateLimits) {
    const double bits = static_cast<double>(bytes) * 8.0;
    lowestRate = std::min(lowestRate, bits / seconds);
    if (seconds < shortest) {
      shortest = seconds;
      bufferBits = bits / 2.0;
    }
  }
  m.vbvMaxKbps = toKbps(lowestRate);
  m.vbvBufferKbit = toKbps(bufferBits);
  return m;
}

}  // namespace qx::x264
