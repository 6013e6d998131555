#pragma once

// Version numbers of the host application: 2 to 4 non-negative decimal
// integers joined by ".", without signs or leading zeros ("1.2", "1.10.0").
// Pure functions; safe on any thread.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace qx::HostVersion {

// The components of `text`, or absent when it is not a version. Spaces and
// tabs around the text are ignored; line feeds are not. '+1', '01', '00',
// '-0', empty components and components beyond int64 are refused.
std::optional<std::vector<std::int64_t>> parse(std::string_view text);

// True only when both texts are versions and `a` is strictly newer than
// `than`. Missing trailing components count as 0, so "1.2" equals "1.2.0".
bool isNewer(std::string_view a, std::string_view than);

}  // namespace qx::HostVersion
