#include "HostCore/JsonFields.h"

#include <cmath>
#include <limits>

namespace qx::hostcore_json {

std::optional<nlohmann::json> parse(std::string_view text) {
  nlohmann::json value = nlohmann::json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

std::optional<std::int64_t> exactInt64(const nlohmann::json& value) {
  if (value.is_number_unsigned()) {
    // nlohmann reads non-negative integers as unsigned; values above the signed
    // range must be refused rather than wrapped.
    const auto u = value.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    return static_cast<std::int64_t>(u);
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_float()) {
    const double d = value.get<double>();
    // [-2^63, 2^63): both bounds are exact doubles.
    constexpr double kTwo63 = 9223372036854775808.0;
    if (!std::isfinite(d) || d != std::trunc(d) || d < -kTwo63 || d >= kTwo63) return std::nullopt;
    return static_cast<std::int64_t>(d);
  }
  return std::nullopt;
}

std::string dumpCompact(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace qx::hostcore_json
