#pragma once

#include <cstddef>
#include <cstdint>

namespace qx::server {

// Descriptors kept free besides the client connections: one to accept a
// connection past the cap and answer it 503, two for the files written while
// serving (the install request and its temporary).
inline constexpr std::size_t spareDescriptors = 3;

// How many client connections may be open at once, so that accepting never
// runs out of descriptors: what the soft RLIMIT_NOFILE `openFileLimit` leaves
// after the `descriptorsInUse` already open (standard streams, the helper's
// pipes, the listening socket, the event loop's own) and the spares. 0 when
// nothing is left: then every connection is refused.
std::size_t maxConnections(std::uint64_t openFileLimit, std::size_t descriptorsInUse);

}  // namespace qx::server
