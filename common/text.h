#pragma once

#include <string>
#include <string_view>

namespace qx {

// Unicode text helpers over UTF-8 (ICU underneath). Invalid UTF-8 sequences
// are treated as U+FFFD.

// True for the Unicode space separators (general category Zs) and tab.
bool isHorizontalWhitespace(char32_t c);

// Removes leading and trailing horizontal white space.
std::string trimHorizontalWhitespace(std::string_view utf8);

// Full Unicode lower-casing, locale independent (U+212A KELVIN SIGN -> "k").
std::string toLowerFull(std::string_view utf8);

// Replaces every invalid UTF-8 sequence with U+FFFD.
std::string replaceInvalidUtf8(std::string_view bytes);

}  // namespace qx
