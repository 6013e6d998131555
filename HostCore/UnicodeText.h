#pragma once

// Unicode rules HostCore needs beyond common/text.h (ICU underneath). Internal
// to HostCore. Invalid UTF-8 reads as U+FFFD.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qx::hostcore_text {

// True when the two texts are canonically equivalent (equal after NFD), so a
// precomposed "é" equals "e" followed by a combining acute accent.
bool canonicallyEqual(std::string_view a, std::string_view b);

// One extended grapheme cluster of a UTF-8 text: its bytes and its first
// Unicode scalar, which decides the cluster's character properties.
struct Grapheme {
  std::string text;
  char32_t first = 0;
};

// Splits a UTF-8 text into extended grapheme clusters, in order.
std::vector<Grapheme> graphemes(std::string_view utf8);

// Unicode White_Space property.
bool isWhiteSpace(char32_t c);

// Unicode numeric type other than none (decimal, digit or numeric), so "五"
// and "½" are numeric as well as "7".
bool isNumeric(char32_t c);

}  // namespace qx::hostcore_text
