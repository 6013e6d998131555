#include "server/input/keysyms.h"

#include <array>
#include <utility>

namespace qx::server::input {
namespace {

struct Named {
  std::string_view key;
  Keysym keysym;
};

constexpr std::array<Named, 26> kNamed{{
    {"Enter", 0xff0d},      {"Backspace", 0xff08}, {"Tab", 0xff09},         {"Escape", 0xff1b},
    {"Delete", 0xffff},     {"Insert", 0xff63},    {"Home", 0xff50},        {"End", 0xff57},
    {"PageUp", 0xff55},     {"PageDown", 0xff56},  {"ArrowLeft", 0xff51},   {"ArrowUp", 0xff52},
    {"ArrowRight", 0xff53}, {"ArrowDown", 0xff54}, {"CapsLock", 0xffe5},    {"NumLock", 0xff7f},
    {"ScrollLock", 0xff14}, {"Pause", 0xff13},     {"PrintScreen", 0xff61}, {"ContextMenu", 0xff67},
    {"AltGraph", 0xfe03},   {"Clear", 0xff0b},     {"Help", 0xff6a},        {"Cancel", 0xff69},
    {"Select", 0xff60},     {"Execute", 0xff62},
}};

// Left and right variants: the side comes from `code` ("ShiftRight").
struct Sided {
  std::string_view key;
  Keysym left;
  Keysym right;
};

constexpr std::array<Sided, 5> kSided{{
    {"Shift", 0xffe1, 0xffe2},
    {"Control", 0xffe3, 0xffe4},
    {"Alt", 0xffe9, 0xffea},
    {"Meta", 0xffeb, 0xffec},  // the Windows/Command key: Super on X
    {"OS", 0xffeb, 0xffec},
}};

// Decodes `s` when it holds exactly one UTF-8 code point.
char32_t singleCodePoint(std::string_view s) {
  if (s.empty()) return 0;
  const auto b = static_cast<unsigned char>(s[0]);
  const std::size_t len = b < 0x80 ? 1 : (b & 0xe0) == 0xc0 ? 2 : (b & 0xf0) == 0xe0 ? 3 : (b & 0xf8) == 0xf0 ? 4 : 0;
  if (len == 0 || s.size() != len) return 0;
  char32_t cp = len == 1 ? b : len == 2 ? (b & 0x1f) : len == 3 ? (b & 0x0f) : (b & 0x07);
  for (std::size_t i = 1; i < len; ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if ((c & 0xc0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3f);
  }
  return cp;
}

}  // namespace

Keysym keysymForCharacter(char32_t c) {
  if (c == U'\n' || c == U'\r') return 0xff0d;
  if (c == U'\t') return 0xff09;
  if (c < 0x20 || (c >= 0x7f && c < 0xa0)) return 0;
  if (c >= 0xd800 && c <= 0xdfff) return 0;
  if (c > 0x10ffff || (c & 0xfffe) == 0xfffe || (c >= 0xfdd0 && c <= 0xfdef)) return 0;
  if (c <= 0xff) return c;
  return 0x01000000 + c;
}

Keysym keysymForDomKey(std::string_view key, std::string_view code) {
  for (const auto& n : kNamed) {
    if (n.key == key) return n.keysym;
  }
  for (const auto& s : kSided) {
    if (s.key == key) return code.ends_with("Right") ? s.right : s.left;
  }
  if (key.size() >= 2 && key.size() <= 3 && key[0] == 'F') {
    int n = 0;
    for (char c : key.substr(1)) {
      if (c < '0' || c > '9') return 0;
      n = n * 10 + (c - '0');
    }
    if (n >= 1 && n <= 24 && key[1] != '0') return 0xffbe + static_cast<Keysym>(n - 1);
  }
  const char32_t c = singleCodePoint(key);
  if (c == 0 || c < 0x20) return 0;  // a key name we do not know, or a control character
  return keysymForCharacter(c);
}

}  // namespace qx::server::input
