#include "HostCore/HostVersion.h"

#include <algorithm>
#include <string>

#include "common/numbers.h"
#include "common/text.h"

namespace qx::HostVersion {

std::optional<std::vector<std::int64_t>> parse(std::string_view text) {
  const std::string trimmed = trimHorizontalWhitespace(text);
  std::vector<std::string_view> pieces;
  std::string_view rest = trimmed;
  while (true) {
    const auto dot = rest.find('.');
    pieces.push_back(rest.substr(0, dot));
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
    if (pieces.size() > 4) return std::nullopt;
  }
  if (pieces.size() < 2 || pieces.size() > 4) return std::nullopt;

  std::vector<std::int64_t> numbers;
  numbers.reserve(pieces.size());
  for (std::string_view piece : pieces) {
    const auto value = parseDecimalInt64(piece);
    // Written exactly as plain decimal: refuses signs and leading zeros.
    if (!value || *value < 0 || std::to_string(*value) != piece) return std::nullopt;
    numbers.push_back(*value);
  }
  return numbers;
}

bool isNewer(std::string_view a, std::string_view than) {
  const auto left = parse(a);
  const auto right = parse(than);
  if (!left || !right) return false;
  const std::size_t n = std::max(left->size(), right->size());
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t x = i < left->size() ? (*left)[i] : 0;
    const std::int64_t y = i < right->size() ? (*right)[i] : 0;
    if (x != y) return x > y;
  }
  return false;
}

}  // namespace qx::HostVersion
