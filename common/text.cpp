#include "common/text.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace qx {

bool isHorizontalWhitespace(char32_t c) {
  return c == U'\t' || u_charType(static_cast<UChar32>(c)) == U_SPACE_SEPARATOR;
}

namespace {

// Decodes the code point starting at byte i; advances i. Invalid -> U+FFFD.
UChar32 nextCodePoint(std::string_view s, std::size_t& i) {
  UChar32 c;
  int32_t idx = static_cast<int32_t>(i);
  U8_NEXT(reinterpret_cast<const uint8_t*>(s.data()), idx, static_cast<int32_t>(s.size()), c);
  i = static_cast<std::size_t>(idx);
  return c < 0 ? 0xFFFD : c;
}

}  // namespace

std::string trimHorizontalWhitespace(std::string_view utf8) {
  std::size_t begin = 0;
  std::size_t end = 0;  // one past the last non-white code point
  bool seen = false;
  std::size_t i = 0;
  while (i < utf8.size()) {
    std::size_t start = i;
    UChar32 c = nextCodePoint(utf8, i);
    if (!isHorizontalWhitespace(static_cast<char32_t>(c))) {
      if (!seen) begin = start;
      seen = true;
      end = i;
    }
  }
  if (!seen) return {};
  return std::string(utf8.substr(begin, end - begin));
}

std::string toLowerFull(std::string_view utf8) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
  u.toLower(icu::Locale::getRoot());
  std::string out;
  u.toUTF8String(out);
  return out;
}

std::string replaceInvalidUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t start = i;
    UChar32 c;
    int32_t idx = static_cast<int32_t>(i);
    U8_NEXT(reinterpret_cast<const uint8_t*>(bytes.data()), idx, static_cast<int32_t>(bytes.size()), c);
    i = static_cast<std::size_t>(idx);
    if (c < 0)
      out.append("\xEF\xBF\xBD");
    else
      out.append(bytes.substr(start, i - start));
  }
  return out;
}

}  // namespace qx
