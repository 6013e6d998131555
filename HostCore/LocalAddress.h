#pragma once

// The machine's usable IPv4 addresses, ranked for display: overlay-network
// addresses first, then private LAN ones, then the rest; loopback, link-local
// and 0.0.0.0/8 are dropped. Nothing is stored between calls; every function
// may run on any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qx {

struct LocalAddress {
  // Ordered by raw value: tailnet < lan < other.
  enum class Kind : std::int64_t {
    tailnet = 0,  // 100.64.0.0/10, where overlay networks place their members
    lan = 1,      // 10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16
    other = 2,
  };

  std::string ip;  // dotted decimal, as the system formats it
  Kind kind = Kind::other;

  // This machine's addresses from the interface list (up, IPv4, formatted
  // numerically), ranked. Empty when the list cannot be read. Never fails.
  static std::vector<LocalAddress> current();

  // The kind of a dotted IPv4 text, or absent when it is excluded or not four
  // numbers 0..255. Pieces between dots that do not read as such numbers are
  // skipped, and empty pieces dropped, before counting.
  static std::optional<Kind> classify(std::string_view ip);

  // `ips` de-duplicated (first occurrence counts, even when excluded), without
  // excluded addresses, stably sorted by kind.
  static std::vector<LocalAddress> rank(const std::vector<std::string>& ips);

  friend bool operator==(const LocalAddress&, const LocalAddress&) = default;
};

}  // namespace qx
