#include "server/request_source.h"

#include <arpa/inet.h>
#include <algorithm>
#include <array>
#include <cctype>
#include <string>

namespace qx::server {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool isPort(std::string_view text) {
  return !text.empty() && text.size() <= 5 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isAddress(int family, std::string_view text) {
  if (text.empty() || text.size() >= 64) return false;
  std::array<unsigned char, 16> address{};
  return ::inet_pton(family, std::string(text).c_str(), address.data()) == 1;
}

// The name in a Host header without its port; absent when malformed.
std::optional<std::string_view> hostName(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    auto close = host.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view rest = host.substr(close + 1);
    if (!rest.empty() && (rest.front() != ':' || !isPort(rest.substr(1)))) return std::nullopt;
    return host.substr(0, close + 1);
  }
  auto colon = host.find(':');
  if (colon == std::string_view::npos) return host;
  if (!isPort(host.substr(colon + 1))) return std::nullopt;
  return host.substr(0, colon);
}

bool nameAllowed(std::string_view name, std::string_view machineName) {
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
    std::string_view inner = name.substr(1, name.size() - 2);
    return isAddress(AF_INET6, inner.substr(0, inner.find('%')));
  }
  if (isAddress(AF_INET, name) || equalsIgnoringCase(name, "localhost")) return true;
  if (machineName.empty()) return false;
  constexpr std::string_view local = ".local";
  if (name.size() > local.size() && equalsIgnoringCase(name.substr(name.size() - local.size()), local)) {
    if (equalsIgnoringCase(name.substr(0, name.size() - local.size()), machineName)) return true;
  }
  return equalsIgnoringCase(name, machineName);
}

}  // namespace

bool requestSourceAllowed(const RequestSource& source, std::string_view machineName) {
  if (source.host) {
    auto name = hostName(*source.host);
    if (!name || !nameAllowed(*name, machineName)) return false;
  }
  if (!source.origin) return true;
  constexpr std::string_view scheme = "http://";
  return source.host && source.origin->size() == scheme.size() + source.host->size() &&
         equalsIgnoringCase(source.origin->substr(0, scheme.size()), scheme) &&
         equalsIgnoringCase(source.origin->substr(scheme.size()), *source.host);
}

}  // namespace qx::server
