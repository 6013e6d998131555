#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

namespace qx {

// Parses an optional '+' or '-' followed by one or more ASCII digits and
// nothing else. Ignores the locale. Absent when the text has any other form or
// the value does not fit T.
std::optional<std::int64_t> parseDecimalInt64(std::string_view text);
std::optional<std::int32_t> parseDecimalInt32(std::string_view text);

// Parses a floating-point decimal number (fraction and exponent allowed, no
// hex, no "inf"/"nan" words) that must consume the whole text. Ignores the
// locale. A magnitude too large for a double reads as an infinity, one too
// small as 0, however many digits spell it.
std::optional<double> parseDecimalDouble(std::string_view text);

// Converts a double to int64 truncating toward zero; NaN gives 0, values
// outside the range clamp to it.
std::int64_t saturatingTruncate(double value);

// Saturating 64-bit arithmetic for values that come from outside.
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b);
std::int64_t saturatingMul(std::int64_t a, std::int64_t b);

// Clamps a 64-bit value into the 32-bit range.
constexpr std::int32_t clampToInt32(std::int64_t v) {
  if (v > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (v < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(v);
}

}  // namespace qx
