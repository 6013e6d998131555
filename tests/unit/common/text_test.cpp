#include "common/text.h"

#include <gtest/gtest.h>

namespace qx {
namespace {

TEST(Trim, RemovesUnicodeSpaceSeparatorsAndTabsOnly) {
  EXPECT_EQ(trimHorizontalWhitespace(" \t6m\t "), "6m");
  // NO-BREAK SPACE, EM SPACE, IDEOGRAPHIC SPACE are space separators.
  EXPECT_EQ(trimHorizontalWhitespace("\xC2\xA0\xE2\x80\x83"
                                     "8m\xE3\x80\x80"),
            "8m");
  // Line feed and vertical tab are not horizontal white space.
  EXPECT_EQ(trimHorizontalWhitespace("\n8m\v"), "\n8m\v");
  EXPECT_EQ(trimHorizontalWhitespace(" a b "), "a b");
  EXPECT_EQ(trimHorizontalWhitespace(" \t "), "");
}

TEST(Lower, IsFullUnicodeLowerCasing) {
  EXPECT_EQ(toLowerFull("CBR"), "cbr");
  EXPECT_EQ(toLowerFull("8\xE2\x84\xAA"), "8k");    // KELVIN SIGN
  EXPECT_EQ(toLowerFull("\xC4\xB0"), "i\xCC\x87");  // I WITH DOT ABOVE lower-cases to two code points
  EXPECT_EQ(toLowerFull("\xCE\xA3"), "\xCF\x83");   // capital sigma alone
}

TEST(Utf8, InvalidSequencesBecomeReplacementCharacters) {
  EXPECT_EQ(replaceInvalidUtf8("a\xFF"
                               "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(replaceInvalidUtf8("\xE4\xBA\x94"), "\xE4\xBA\x94");
  EXPECT_EQ(replaceInvalidUtf8("\xC3"), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace qx
