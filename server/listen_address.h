#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qx::server {

// Where the server listens. An empty host means every interface.
struct ListenAddress {
  std::string host;  // without brackets for IPv6 literals
  std::uint16_t port = 0;

  bool operator==(const ListenAddress&) const = default;
};

// Reads ":port", "host:port" or "[v6]:port". The port is 0 to 65535 in plain
// decimal (0 lets the system choose). Absent for anything else, including a
// bare IPv6 literal without brackets, which would be ambiguous.
std::optional<ListenAddress> parseListenAddress(std::string_view text);

// "host:port", with brackets around IPv6 hosts, for log lines.
std::string formatEndpoint(std::string_view host, std::uint16_t port);

}  // namespace qx::server
