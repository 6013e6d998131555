#include "HostCore/JsonFields.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace qx::hostcore_json {

namespace {

// The value of a JSON number text ("-?int(.frac)?(e[+-]?exp)?") when it denotes
// an integer exactly and fits int64: "30.0", "3e1" and "-9223372036854775808.0"
// do; "29.97", "1e-400" and "30.0000000000000000001" do not.
std::optional<std::int64_t> exactIntegerText(std::string_view text) {
  std::size_t i = 0;
  const bool negative = i < text.size() && text[i] == '-';
  if (negative) ++i;
  std::string digits;  // integer and fraction digits, without the point
  std::int64_t exponent = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) digits += text[i];
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      digits += text[i];
      --exponent;
    }
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool expNegative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) expNegative = text[i++] == '-';
    std::int64_t e = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
      e = std::min<std::int64_t>(e * 10 + (text[i] - '0'), 1'000'000'000);
    exponent += expNegative ? -e : e;
  }
  if (i != text.size() || digits.empty()) return std::nullopt;

  const auto firstNonZero = digits.find_first_not_of('0');
  if (firstNonZero == std::string::npos) return 0;
  digits.erase(0, firstNonZero);
  while (digits.back() == '0') {
    digits.pop_back();
    ++exponent;
  }
  if (exponent < 0 || static_cast<std::int64_t>(digits.size()) + exponent > 19) return std::nullopt;
  digits.append(static_cast<std::size_t>(exponent), '0');
  // At most 19 digits: fits unsigned 64 bits.
  std::uint64_t magnitude = 0;
  for (char c : digits) magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
  constexpr std::uint64_t kMaxMagnitude = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (!negative) {
    if (magnitude > kMaxMagnitude) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > kMaxMagnitude + 1) return std::nullopt;
  if (magnitude == kMaxMagnitude + 1) return std::numeric_limits<std::int64_t>::min();
  return -static_cast<std::int64_t>(magnitude);
}

// Builds the document like nlohmann's own parser, except that a number
// written with a fraction or exponent that denotes an exact int64 is stored as
// an integer: the double it would otherwise become may have lost the exactness
// (1e-400 reads as 0.0, 9007199254740993.0 as ...992.0).
class DomBuilder {
 public:
  explicit DomBuilder(nlohmann::json& root) : root_(root) {}

  bool null() { return put(nullptr); }
  bool boolean(bool v) { return put(v); }
  bool number_integer(std::int64_t v) { return put(v); }
  bool number_unsigned(std::uint64_t v) { return put(v); }
  bool number_float(double v, const std::string& text) {
    if (const auto exact = exactIntegerText(text)) return put(*exact);
    return put(v);
  }
  bool string(std::string& v) { return put(std::move(v)); }
  bool binary(nlohmann::json::binary_t& v) { return put(nlohmann::json::binary(std::move(v))); }
  bool key(std::string& k) {
    key_ = std::move(k);
    return true;
  }
  bool start_object(std::size_t) { return open(nlohmann::json::object()); }
  bool start_array(std::size_t) { return open(nlohmann::json::array()); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  template <typename Exception>
  bool parse_error(std::size_t, const std::string&, const Exception&) {
    return false;
  }

 private:
  nlohmann::json& place(nlohmann::json v) {
    if (stack_.empty()) {
      root_ = std::move(v);
      return root_;
    }
    nlohmann::json& top = *stack_.back();
    if (top.is_array()) {
      top.push_back(std::move(v));
      return top.back();
    }
    nlohmann::json& slot = top[key_];  // a repeated key keeps the last value
    slot = std::move(v);
    return slot;
  }
  bool put(nlohmann::json v) {
    place(std::move(v));
    return true;
  }
  // Containers are filled in place; a parent is not touched while a child is
  // open, so the pointers on the stack stay valid.
  bool open(nlohmann::json v) {
    stack_.push_back(&place(std::move(v)));
    return true;
  }
  bool close() {
    stack_.pop_back();
    return true;
  }

  nlohmann::json& root_;
  std::vector<nlohmann::json*> stack_;
  std::string key_;
};

}  // namespace

std::optional<nlohmann::json> parse(std::string_view text) {
  nlohmann::json root;
  DomBuilder builder(root);
  try {
    if (!nlohmann::json::sax_parse(text.begin(), text.end(), &builder)) return std::nullopt;
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
  return root;
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
  // `parse` already stored every number text that denotes an exact int64 as
  // an integer; what remains as a float is a fraction or out of range.
  return std::nullopt;
}

std::string dumpCompact(const nlohmann::json& value) {
  const std::string raw = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  // The output is valid UTF-8 and ASCII outside strings, and these lead
  // bytes cannot be continuation bytes, so each match is that character.
  std::string out;
  out.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const auto b = static_cast<unsigned char>(raw[i]);
    if (b == 0xC2 && i + 1 < raw.size() && static_cast<unsigned char>(raw[i + 1]) == 0x85) {
      out += "\\u0085";
      i += 1;
    } else if (b == 0xE2 && i + 2 < raw.size() && static_cast<unsigned char>(raw[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(raw[i + 2]) == 0xA8 || static_cast<unsigned char>(raw[i + 2]) == 0xA9)) {
      out += static_cast<unsigned char>(raw[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out += raw[i];
    }
  }
  return out;
}

}  // namespace qx::hostcore_json
