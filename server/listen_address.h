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

// Reads the listen address exactly as the host's settings do (port after the
// last ':', host before it with brackets stripped), so every address the
// settings accept is served. Absent for what the settings refuse, except port
// 0, which lets the system choose.
std::optional<ListenAddress> parseListenAddress(std::string_view text);

// "host:port", with brackets around IPv6 hosts, for log lines.
std::string formatEndpoint(std::string_view host, std::uint16_t port);

}  // namespace qx::server
