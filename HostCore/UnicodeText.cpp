#include "HostCore/UnicodeText.h"

#include <memory>

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace qx::hostcore_text {

namespace {

icu::UnicodeString fromUtf8(std::string_view s) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
}

}  // namespace

bool canonicallyEqual(std::string_view a, std::string_view b) {
  if (a == b) return true;
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  if (U_FAILURE(status)) return false;
  const icu::UnicodeString na = nfd->normalize(fromUtf8(a), status);
  const icu::UnicodeString nb = nfd->normalize(fromUtf8(b), status);
  if (U_FAILURE(status)) return false;
  return na == nb;
}

std::vector<Grapheme> graphemes(std::string_view utf8) {
  std::vector<Grapheme> out;
  const icu::UnicodeString text = fromUtf8(utf8);
  if (text.isEmpty()) return out;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !it) {
    // Without break data fall back to one cluster per scalar.
    for (int32_t i = 0; i < text.length();) {
      const UChar32 c = text.char32At(i);
      const int32_t next = text.moveIndex32(i, 1);
      Grapheme g;
      text.tempSubStringBetween(i, next).toUTF8String(g.text);
      g.first = static_cast<char32_t>(c);
      out.push_back(std::move(g));
      i = next;
    }
    return out;
  }
  it->setText(text);
  int32_t start = it->first();
  for (int32_t end = it->next(); end != icu::BreakIterator::DONE; start = end, end = it->next()) {
    Grapheme g;
    text.tempSubStringBetween(start, end).toUTF8String(g.text);
    g.first = static_cast<char32_t>(text.char32At(start));
    out.push_back(std::move(g));
  }
  return out;
}

bool isWhiteSpace(char32_t c) { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE) != 0; }

bool isNumeric(char32_t c) { return u_getIntPropertyValue(static_cast<UChar32>(c), UCHAR_NUMERIC_TYPE) != U_NT_NONE; }

}  // namespace qx::hostcore_text
