#include "server/connection_limits.h"

#include <algorithm>
#include <limits>

namespace qx::server {

std::size_t maxConnections(std::uint64_t openFileLimit, std::size_t descriptorsInUse) {
  const std::uint64_t kept = static_cast<std::uint64_t>(descriptorsInUse) + spareDescriptors;
  if (openFileLimit <= kept) return 0;
  return static_cast<std::size_t>(
      std::min<std::uint64_t>(openFileLimit - kept, std::numeric_limits<std::size_t>::max()));
}

}  // namespace qx::server
