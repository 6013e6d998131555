#include "server/listen_address.h"

namespace qx::server {

namespace {

std::optional<std::uint16_t> parsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  if (text.size() > 1 && text.front() == '0') return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

}  // namespace

std::optional<ListenAddress> parseListenAddress(std::string_view text) {
  ListenAddress address;
  std::string_view portText;
  if (!text.empty() && text.front() == '[') {
    auto close = text.find(']');
    if (close == std::string_view::npos || close == 1) return std::nullopt;
    if (close + 1 >= text.size() || text[close + 1] != ':') return std::nullopt;
    address.host = std::string(text.substr(1, close - 1));
    if (address.host.find(':') == std::string::npos) return std::nullopt;
    portText = text.substr(close + 2);
  } else {
    auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    auto host = text.substr(0, colon);
    if (host.find(':') != std::string_view::npos) return std::nullopt;
    if (host.find_first_of(" \t[]") != std::string_view::npos) return std::nullopt;
    address.host = std::string(host);
    portText = text.substr(colon + 1);
  }
  auto port = parsePort(portText);
  if (!port) return std::nullopt;
  address.port = *port;
  return address;
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
