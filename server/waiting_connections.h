#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>

namespace qx::server {

// Keeps connections that have not sent a whole request from holding every
// slot: at most half of the cap may wait for their request, and a newcomer
// past that closes the oldest waiting one. So a client that does send its
// request always finds a slot, however many idle connections arrive.
class WaitingConnections {
 public:
  using Id = std::uint64_t;

  // `id` (greater than every earlier one) starts waiting for its request with
  // `cap` slots in all. Returns the
  // connection to close to make room, if any (never `id` itself).
  [[nodiscard]] std::optional<Id> add(Id id, std::size_t cap);
  // `id` sent its request or went away.
  void remove(Id id);
  std::size_t size() const { return waiting_.size(); }

 private:
  std::set<Id> waiting_;  // oldest first
};

}  // namespace qx::server
