#include "HostCore/LocalAddress.h"

#include <algorithm>
#include <memory>
#include <set>

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "common/numbers.h"

namespace qx {

std::optional<LocalAddress::Kind> LocalAddress::classify(std::string_view ip) {
  std::vector<std::int64_t> numbers;
  while (!ip.empty()) {
    const auto dot = ip.find('.');
    const std::string_view piece = ip.substr(0, dot);
    ip = dot == std::string_view::npos ? std::string_view() : ip.substr(dot + 1);
    if (piece.empty()) continue;
    const auto value = parseDecimalInt64(piece);
    if (value && *value >= 0 && *value <= 255) numbers.push_back(*value);
  }
  if (numbers.size() != 4) return std::nullopt;
  const std::int64_t a = numbers[0];
  const std::int64_t b = numbers[1];
  switch (a) {
    case 0: return std::nullopt;
    case 10: return Kind::lan;
    case 100: return b >= 64 && b <= 127 ? Kind::tailnet : Kind::other;
    case 127: return std::nullopt;
    case 169: return b == 254 ? std::nullopt : std::optional(Kind::other);
    case 172: return b >= 16 && b <= 31 ? Kind::lan : Kind::other;
    case 192: return b == 168 ? Kind::lan : Kind::other;
    default: return Kind::other;
  }
}

std::vector<LocalAddress> LocalAddress::rank(const std::vector<std::string>& ips) {
  std::vector<LocalAddress> out;
  std::set<std::string_view> seen;
  for (const std::string& ip : ips) {
    if (!seen.insert(ip).second) continue;
    if (const auto kind = classify(ip)) out.push_back(LocalAddress{ip, *kind});
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const LocalAddress& x, const LocalAddress& y) { return x.kind < y.kind; });
  return out;
}

std::vector<LocalAddress> LocalAddress::current() {
  ifaddrs* raw = nullptr;
  if (getifaddrs(&raw) != 0) return {};
  const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> list(raw, &freeifaddrs);
  std::vector<std::string> found;
  for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
    if ((entry->ifa_flags & IFF_UP) == 0 || entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET)
      continue;
    char host[1025];
    if (getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof(host), nullptr, 0, NI_NUMERICHOST) != 0)
      continue;
    found.emplace_back(host);
  }
  return rank(found);
}

}  // namespace qx
