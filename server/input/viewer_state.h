#pragma once

// Per-viewer bookkeeping: how fast a viewer may inject, and what it holds
// down, so that a viewer who leaves mid-press leaves nothing stuck.

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace qx::server::input {

// A token bucket: `perSecond` events on average, bursts up to `burst`. The
// caller supplies the time, so tests step it.
class RateLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  RateLimiter(double perSecond, double burst, Clock::time_point now)
      : perSecond_(perSecond), burst_(burst), tokens_(burst), last_(now) {}

  // True when `cost` events fit now; they are then taken from the bucket. A
  // refused message takes nothing.
  bool allow(unsigned cost, Clock::time_point now);

 private:
  double perSecond_;
  double burst_;
  double tokens_;
  Clock::time_point last_;
};

// The buttons and keys one viewer holds down. A key is known by the browser's
// `code` (the physical key), because its `key` changes with the modifiers
// between press and release; the value is what was pressed for it.
class HeldInputs {
 public:
  void buttonDown(int button) { buttons_.insert(button); }
  // True when the button was held.
  bool buttonUp(int button) { return buttons_.erase(button) > 0; }
  bool holdsButton(int button) const { return buttons_.contains(button); }

  void keyDown(const std::string& code, std::uint32_t pressed) { keys_[code] = pressed; }
  // What was pressed for `code`; 0 when nothing is held for it.
  std::uint32_t keyUp(const std::string& code);
  bool holdsCode(const std::string& code) const { return keys_.contains(code); }
  bool holdsPressed(std::uint32_t pressed) const;

  std::vector<int> buttons() const { return {buttons_.begin(), buttons_.end()}; }
  // Each pressed value once, even when several codes pressed it.
  std::vector<std::uint32_t> pressed() const;

 private:
  std::set<int> buttons_;
  std::map<std::string, std::uint32_t> keys_;
};

}  // namespace qx::server::input
