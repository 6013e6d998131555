#include "common/numbers.h"

#include <gtest/gtest.h>
#include <cmath>

namespace qx {
namespace {

TEST(DecimalInt, AcceptsSignsAndDigitsOnly) {
  EXPECT_EQ(parseDecimalInt64("42"), 42);
  EXPECT_EQ(parseDecimalInt64("+7"), 7);
  EXPECT_EQ(parseDecimalInt64("-0"), 0);
  EXPECT_EQ(parseDecimalInt64("007"), 7);
  for (const char* bad : {"", "+", "-", " 1", "1 ", "1k", "0x10", "1.0", "--1", "+-1", "\xd9\xa3"})
    EXPECT_FALSE(parseDecimalInt64(bad).has_value()) << bad;
}

TEST(DecimalInt, RejectsOverflowInsteadOfWrapping) {
  EXPECT_EQ(parseDecimalInt64("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(parseDecimalInt64("-9223372036854775808"), INT64_MIN);
  EXPECT_FALSE(parseDecimalInt64("9223372036854775808"));
  EXPECT_FALSE(parseDecimalInt64("-9223372036854775809"));
  EXPECT_EQ(parseDecimalInt32("2147483647"), INT32_MAX);
  EXPECT_EQ(parseDecimalInt32("-2147483648"), INT32_MIN);
  EXPECT_FALSE(parseDecimalInt32("2147483648"));
}

TEST(DecimalDouble, ParsesWholeTextOnly) {
  EXPECT_EQ(parseDecimalDouble("2.5"), 2.5);
  EXPECT_EQ(parseDecimalDouble("-1e3"), -1000.0);
  EXPECT_EQ(parseDecimalDouble(".5"), 0.5);
  EXPECT_EQ(parseDecimalDouble("+5."), 5.0);
  for (const char* bad : {"", "x", "1.5x", "inf", "nan", "-inf", " 1", "0x1p3", "e5"})
    EXPECT_FALSE(parseDecimalDouble(bad).has_value()) << bad;
}

TEST(DecimalDouble, HugeExponentsAreInfiniteNotErrors) {
  EXPECT_TRUE(std::isinf(*parseDecimalDouble("1e400")));
  EXPECT_LT(*parseDecimalDouble("-1e400"), 0);
  EXPECT_EQ(*parseDecimalDouble("1e-400"), 0.0);
}

TEST(Saturating, ClampsInsteadOfOverflowing) {
  EXPECT_EQ(saturatingTruncate(2.9), 2);
  EXPECT_EQ(saturatingTruncate(-2.9), -2);
  EXPECT_EQ(saturatingTruncate(NAN), 0);
  EXPECT_EQ(saturatingTruncate(1e300), INT64_MAX);
  EXPECT_EQ(saturatingTruncate(-1e300), INT64_MIN);
  EXPECT_EQ(saturatingTruncate(9223372036854775808.0), INT64_MAX);
  EXPECT_EQ(saturatingMul(INT64_MAX, 2), INT64_MAX);
  EXPECT_EQ(saturatingMul(INT64_MIN, 2), INT64_MIN);
  EXPECT_EQ(saturatingMul(-4, 3), -12);
  EXPECT_EQ(saturatingAdd(INT64_MAX, 1), INT64_MAX);
  EXPECT_EQ(saturatingAdd(INT64_MIN, -1), INT64_MIN);
  EXPECT_EQ(clampToInt32(INT64_MAX), INT32_MAX);
  EXPECT_EQ(clampToInt32(-5), -5);
}

}  // namespace
}  // namespace qx
