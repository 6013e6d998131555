#include "server/input/viewer_state.h"

#include <algorithm>

namespace qx::server::input {

bool RateLimiter::allow(unsigned cost, Clock::time_point now) {
  if (now > last_) {
    const double elapsed = std::chrono::duration<double>(now - last_).count();
    tokens_ = std::min(burst_, tokens_ + elapsed * perSecond_);
    last_ = now;
  }
  if (static_cast<double>(cost) > tokens_) return false;
  tokens_ -= cost;
  return true;
}

std::uint32_t HeldInputs::keyUp(const std::string& code) {
  const auto it = keys_.find(code);
  if (it == keys_.end()) return 0;
  const std::uint32_t pressed = it->second;
  keys_.erase(it);
  return pressed;
}

bool HeldInputs::holdsPressed(std::uint32_t pressed) const {
  return std::any_of(keys_.begin(), keys_.end(), [pressed](const auto& k) { return k.second == pressed; });
}

std::vector<std::uint32_t> HeldInputs::pressed() const {
  std::set<std::uint32_t> unique;
  for (const auto& k : keys_) unique.insert(k.second);
  return {unique.begin(), unique.end()};
}

}  // namespace qx::server::input
