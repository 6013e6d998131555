#pragma once

// Strict readers for members of a parsed JSON object, shared by the settings,
// the updater report and the device request. Internal to HostCore: it names
// nlohmann/json, which stays out of the public headers.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qx::hostcore_json {

// Parses the whole text as one JSON value. Absent on any syntax error,
// trailing text or invalid UTF-8. A number whose text denotes an exact integer
// fitting int64 ("30.0", "3e1") is stored as an integer, decided on the text
// rather than on a rounded double.
std::optional<nlohmann::json> parse(std::string_view text);

// The value of an integer JSON number that fits a signed 64-bit integer (for
// values from `parse`: 30, 30.0 and 3e1 give 30; 29.97, 9223372036854775808,
// 1e19 and 1e-400 give absent). Non-numbers give absent.
std::optional<std::int64_t> exactInt64(const nlohmann::json& value);

// Compact serialisation that never throws: invalid UTF-8 inside strings is
// written as U+FFFD. Besides the control characters, U+0085, U+2028 and U+2029
// are escaped too: readers that split lines there (the updater report's) must
// see the whole object on one line.
std::string dumpCompact(const nlohmann::json& value);

}  // namespace qx::hostcore_json
