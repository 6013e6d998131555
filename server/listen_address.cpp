#include "server/listen_address.h"

#include "HostCore/HostSettings.h"

namespace qx::server {

std::optional<ListenAddress> parseListenAddress(std::string_view text) {
  HostSettings settings;
  settings.listen = std::string(text);
  const auto port = settings.port();
  if (!port) return std::nullopt;
  // The settings refuse port 0; the server takes it as "any free port".
  if (*port != 0 && settings.validationError()) return std::nullopt;
  return ListenAddress{settings.bindHost().value_or(std::string()), static_cast<std::uint16_t>(*port)};
}

std::string formatEndpoint(std::string_view host, std::uint16_t port) {
  std::string out;
  if (host.find(':') != std::string_view::npos) {
    out = "[" + std::string(host) + "]";
  } else {
    out = std::string(host);
  }
  return out + ":" + std::to_string(port);
}

}  // namespace qx::server
