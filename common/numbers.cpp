#include "common/numbers.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

namespace qx {

std::optional<std::int64_t> parseDecimalInt64(std::string_view text) {
  if (text.empty()) return std::nullopt;
  bool negative = false;
  std::size_t i = 0;
  if (text[0] == '+' || text[0] == '-') {
    negative = text[0] == '-';
    i = 1;
  }
  if (i == text.size()) return std::nullopt;
  // Accumulate toward the negative side so INT64_MIN parses.
  std::int64_t value = 0;
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    int digit = c - '0';
    if (value < (kMin + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (negative) return value;
  if (value == kMin) return std::nullopt;
  return -value;
}

std::optional<std::int32_t> parseDecimalInt32(std::string_view text) {
  auto v = parseDecimalInt64(text);
  if (!v || *v < std::numeric_limits<std::int32_t>::min() || *v > std::numeric_limits<std::int32_t>::max())
    return std::nullopt;
  return static_cast<std::int32_t>(*v);
}

namespace {

// Whether an unsigned decimal text (digits, an optional point, an optional
// exponent) denotes a value of 1 or more. Decided by the place of the leading
// significant digit plus the exponent, since neither alone tells: "0.000…01"
// has no exponent at all and "1000…0e-5" a negative one.
bool atLeastOne(std::string_view body) {
  const std::size_t e = body.find_first_of("eE");
  const std::string_view mantissa = body.substr(0, e);
  std::int64_t exponent = 0;
  if (e != std::string_view::npos) {
    std::string_view digits = body.substr(e + 1);
    const bool negative = !digits.empty() && digits[0] == '-';
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) digits.remove_prefix(1);
    constexpr std::int64_t kCap = 1'000'000'000'000'000;  // far beyond any double's exponent
    for (char c : digits) exponent = std::min(kCap, exponent * 10 + (c - '0'));
    if (negative) exponent = -exponent;
  }
  // The value is 0.d… x 10^(order + exponent), d being the leading significant digit.
  const std::size_t point = mantissa.find('.');
  const std::string_view whole = mantissa.substr(0, point);
  std::int64_t order = 0;
  if (const std::size_t first = whole.find_first_not_of('0'); first != std::string_view::npos) {
    order = static_cast<std::int64_t>(whole.size() - first);
  } else {
    const std::string_view fraction = point == std::string_view::npos ? std::string_view{} : mantissa.substr(point + 1);
    const std::size_t leading = fraction.find_first_not_of('0');
    if (leading == std::string_view::npos) return false;  // zero
    order = -static_cast<std::int64_t>(leading);
  }
  return order + exponent > 0;
}

}  // namespace

std::optional<double> parseDecimalDouble(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::string_view body = text;
  bool negative = false;
  if (body[0] == '+' || body[0] == '-') {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  // from_chars accepts "inf"/"nan"; a number must start with a digit or '.'.
  if (body.empty() || !(body[0] == '.' || (body[0] >= '0' && body[0] <= '9'))) return std::nullopt;
  double value = 0;
  auto [ptr, ec] = std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
  if (ptr != body.data() + body.size()) return std::nullopt;
  if (ec == std::errc::result_out_of_range) {
    // from_chars leaves value unchanged; report the infinite magnitude for an
    // overflow, 0 for an underflow.
    value = atLeastOne(body) ? HUGE_VAL : 0.0;
  } else if (ec != std::errc()) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

std::int64_t saturatingTruncate(double value) {
  if (std::isnan(value)) return 0;
  constexpr double kMax = 9223372036854775808.0;  // 2^63
  if (value >= kMax) return std::numeric_limits<std::int64_t>::max();
  if (value < -kMax) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);
}

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_add_overflow(a, b, &r))
    return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
  return r;
}

std::int64_t saturatingMul(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_mul_overflow(a, b, &r))
    return ((a < 0) != (b < 0)) ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
  return r;
}

}  // namespace qx
