#include "server/idr_throttle.h"

namespace qx::server {

bool IdrThrottle::request(Clock::time_point now) {
  if (kept_ || (lastSent_ && now - *lastSent_ < window)) {
    kept_ = true;
    return false;
  }
  lastSent_ = now;
  return true;
}

std::optional<IdrThrottle::Clock::time_point> IdrThrottle::due() const {
  if (!kept_) return std::nullopt;
  return *lastSent_ + window;
}

bool IdrThrottle::poll(Clock::time_point now) {
  if (!kept_ || now < *lastSent_ + window) return false;
  kept_ = false;
  lastSent_ = now;
  return true;
}

}  // namespace qx::server
