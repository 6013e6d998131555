#include "server/waiting_connections.h"

#include <algorithm>

namespace qx::server {

std::optional<WaitingConnections::Id> WaitingConnections::add(Id id, std::size_t cap) {
  std::optional<Id> evicted;
  if (!waiting_.empty() && waiting_.size() >= std::max<std::size_t>(cap / 2, 1)) {
    evicted = *waiting_.begin();
    waiting_.erase(waiting_.begin());
  }
  waiting_.insert(id);
  return evicted;
}

void WaitingConnections::remove(Id id) { waiting_.erase(id); }

}  // namespace qx::server
