#include "HostCore/UpdateRequest.h"

#include <cmath>

#include "HostCore/HostVersion.h"
#include "HostCore/JsonFields.h"

namespace qx::UpdateRequest {

std::optional<std::filesystem::path> cachesDirectory(const std::function<const char*(const char*)>& getenv) {
  const char* xdg = getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::filesystem::path(xdg);
  const char* home = getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::filesystem::path(home) / ".cache";
  return std::nullopt;
}

std::filesystem::path url(const std::filesystem::path& cachesDirectory) {
  return cachesDirectory / std::filesystem::path(relativePath);
}

std::string encode(std::string_view version, double at) {
  return hostcore_json::dumpCompact(nlohmann::json{{"version", std::string(version)}, {"at", at}});
}

std::optional<std::string> version(std::string_view bytes, double now) {
  const auto parsed = hostcore_json::parse(bytes);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  const auto v = parsed->find("version");
  const auto at = parsed->find("at");
  if (v == parsed->end() || !v->is_string() || at == parsed->end() || !at->is_number()) return std::nullopt;
  std::string text = v->get<std::string>();
  if (!HostVersion::parse(text)) return std::nullopt;
  // A NaN `now` compares false here and refuses the request.
  if (!(std::fabs(now - at->get<double>()) <= maxAge)) return std::nullopt;
  return text;
}

}  // namespace qx::UpdateRequest
