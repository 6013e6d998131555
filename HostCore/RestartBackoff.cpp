#include "HostCore/RestartBackoff.h"

#include <algorithm>
#include <cmath>

#include "common/numbers.h"

namespace qx {

double RestartBackoff::nextDelay(double afterRunOf) {
  const std::int64_t n = afterRunOf >= healthyAfter ? 0 : failures_;
  failures_ = saturatingAdd(n, 1);
  // 2^n overflows to infinity for huge n, which the cap absorbs.
  return std::min(std::ldexp(1.0, static_cast<int>(std::min<std::int64_t>(n, 64))), maxDelay);
}

}  // namespace qx
