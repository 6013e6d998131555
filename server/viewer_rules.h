#pragma once

#include <chrono>

namespace qx::server {

// When a WebRTC viewer's session ends by itself: no connection within 15 s of
// the answer, or 10 s with the connection failed or disconnected, so a phone
// that sleeps without saying goodbye does not hold a viewer slot.
class ViewerLifetime {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr auto connectTimeout = std::chrono::seconds(15);
  static constexpr auto lostTimeout = std::chrono::seconds(10);

  enum class Link { pending, up, down };

  explicit ViewerLifetime(Clock::time_point answered) : deadline_(answered + connectTimeout) {}

  // A change of the ICE connection: pending (new, checking), up (connected,
  // completed) or down (failed, disconnected).
  void link(Link state, Clock::time_point now) {
    if (state == Link::up) {
      everUp_ = true;
      down_ = false;
      deadline_ = Clock::time_point::max();
    } else if (state == Link::down && everUp_ && !down_) {
      down_ = true;
      deadline_ = now + lostTimeout;
    }
  }

  // The session ends at this moment unless the link changes first.
  Clock::time_point deadline() const { return deadline_; }
  bool expired(Clock::time_point now) const { return now >= deadline_; }

 private:
  Clock::time_point deadline_;
  bool everUp_ = false;
  bool down_ = false;
};

// Keyframe requests from viewers (PLI/FIR) become at most one "idr" line per
// frame from the helper: requests before the next frame share the line.
class KeyframeRequests {
 public:
  // True when this request must be sent on.
  bool request() {
    if (pending_) return false;
    pending_ = true;
    return true;
  }
  void frameArrived() { pending_ = false; }

 private:
  bool pending_ = false;
};

}  // namespace qx::server
