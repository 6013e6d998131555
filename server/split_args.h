#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qx::server {

// Splits a command line into words the way a POSIX shell separates words,
// without any expansion: runs of spaces, tabs and line feeds separate words;
// text between apostrophes or between double quotes is kept literally (quotes
// removed) and may join adjacent text into one word; a backslash is an
// ordinary character, because the host's quoting never escapes anything.
// Absent when a quote is left open. An empty pair of quotes is an empty word.
std::optional<std::vector<std::string>> splitArgs(std::string_view command);

}  // namespace qx::server
