#pragma once

// Browser key names to X keysyms. Pure tables: which keycode carries a keysym
// is the X backend's business.

#include <cstdint>
#include <string_view>

namespace qx::server::input {

using Keysym = std::uint32_t;

// The keysym of a character: Latin-1 characters are their own keysym, the
// rest the Unicode keysym range (0x01000000 + code point). Return and Tab for
// line feed and tab; 0 for other control characters and non-characters.
Keysym keysymForCharacter(char32_t c);

// The keysym for a KeyboardEvent: a named key ("Enter", "ArrowLeft", "F5",
// "Shift" on the side `code` names, ...) or a single printed character; 0 for
// what cannot be typed ("Unidentified", "Dead", "Process", several characters).
Keysym keysymForDomKey(std::string_view key, std::string_view code);

}  // namespace qx::server::input
