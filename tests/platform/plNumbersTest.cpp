// Currency, 80-bit extended and packed-decimal values.
#include "plCurrency.h"
#include "plErrors.h"
#include "plExtended.h"
#include "plFmtBcd.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cstddef>
#include <cmath>
#include <cstring>
#include <limits>

using namespace platform;

namespace {
const FormatSettings& ja() { return japaneseFormatSettings(); }

std::uint64_t bitsOf(double d) { return std::bit_cast<std::uint64_t>(d); }
}  // namespace

TEST(PlatformCurrency, RoundsTiesToEvenAndChecksRange) {
  struct {
    double v;
    std::int64_t raw;
  } cases[] = {
      // Binary doubles are never exact ties at the fourth decimal: 0.00015 lies
      // just below 1.5 ten-thousandths, 0.00025 just above 2.5.
      {1.5, 15000},          {0.00015, 1},        {0.00025, 3},
      {-0.00025, -3},        {123.45678, 1234568},
      {-2.00004999, -20000}, {922337203685477.0, 9223372036854770000},
  };
  for (const auto& c : cases) EXPECT_EQ(Currency::fromDouble(c.v).value, c.raw) << c.v;
  EXPECT_THROW(Currency::fromDouble(1e15), RangeError);
  EXPECT_THROW(Currency::fromDouble(std::nan("")), RangeError);
  EXPECT_THROW(Currency::fromInt64(922337203685478), RangeError);
  EXPECT_EQ(Currency::fromInt64(-922337203685477).value, -9223372036854770000);
  // Whole units with ties to even.
  EXPECT_EQ(Currency::fromRaw(25000).roundToInt64(), 2);
  EXPECT_EQ(Currency::fromRaw(35000).roundToInt64(), 4);
  EXPECT_EQ(Currency::fromRaw(-25001).roundToInt64(), -3);
  EXPECT_EQ(Currency::fromRaw(-29999).truncToInt64(), -2);
}

TEST(PlatformCurrency, TextBothWays) {
  struct {
    std::int64_t raw;
    const char16_t* text;
  } cases[] = {{15000, u"1.5"},
               {-1, u"-0.0001"},
               {0, u"0"},
               {std::numeric_limits<std::int64_t>::max(), u"922337203685477.5807"},
               {std::numeric_limits<std::int64_t>::min(), u"-922337203685477.5808"}};
  for (const auto& c : cases) {
    EXPECT_EQ(currToStr(Currency::fromRaw(c.raw), ja()), c.text);
    EXPECT_EQ(strToCurr(c.text, ja()).value, c.raw) << toUtf8(c.text);
  }
  // Digits beyond four decimals round ties to even, exactly (not through a double).
  EXPECT_EQ(strToCurr(u"0.00005", ja()).value, 0);
  EXPECT_EQ(strToCurr(u"0.00015", ja()).value, 2);
  EXPECT_EQ(strToCurr(u"0.000150001", ja()).value, 2);
  EXPECT_EQ(strToCurr(u"1.23456e2", ja()).value, 1234560);
  EXPECT_THROW(strToCurr(u"922337203685477.5808", ja()), ConvertError);
  EXPECT_THROW(strToCurr(u"1,5", ja()), ConvertError);
  EXPECT_THROW(strToCurr(u"", ja()), ConvertError);
}

TEST(PlatformExtended, ExactRoundTripsOfDoublesIncludingSpecials) {
  const double values[] = {0.0,
                           -0.0,
                           1.0,
                           -2.5,
                           0.1,
                           DBL_MAX,
                           -DBL_MAX,
                           DBL_MIN,
                           std::numeric_limits<double>::denorm_min(),
                           -std::numeric_limits<double>::denorm_min() * 12345,
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity()};
  for (double v : values) {
    const Extended e = Extended::fromDouble(v);
    // The bits agree with the processor's own widening.
    EXPECT_EQ(e, Extended::fromLongDouble(static_cast<long double>(v))) << v;
    EXPECT_EQ(bitsOf(e.toDouble()), bitsOf(v)) << v;
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(std::isnan(Extended::fromDouble(nan).toDouble()));
  EXPECT_TRUE(std::isnan(Extended::fromDouble(-nan).toDouble()));
  EXPECT_TRUE(std::signbit(Extended::fromDouble(-nan).toDouble()));
  // Byte layout: 1.0 is significand 8000000000000000, exponent 3FFF.
  const Extended one = Extended::fromDouble(1.0);
  const std::uint8_t expected[10] = {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F};
  EXPECT_EQ(std::memcmp(one.bytes.data(), expected, 10), 0);
}

TEST(PlatformExtended, NarrowingToDoubleRoundsAndChecksRange) {
  // Values that only the 80-bit format holds, checked against the processor.
  const long double values[] = {1.0L / 3,
                                -1.0L / 3,
                                static_cast<long double>(DBL_MAX) * 0.99999999999999999L,
                                1e-310L / 3,                     // double denormal range
                                static_cast<long double>(std::numeric_limits<double>::denorm_min()) / 2,  // tie -> 0
                                static_cast<long double>(std::numeric_limits<double>::denorm_min()) * 0.75L,
                                1e-4000L,                        // far below: zero
                                -1e-4000L,
                                static_cast<long double>(DBL_MIN) * (1 - 1e-17L)};  // rounds up to DBL_MIN
  for (long double v : values) {
    const double mine = Extended::fromLongDouble(v).toDouble();
    const double cpu = static_cast<double>(v);
    EXPECT_EQ(bitsOf(mine), bitsOf(cpu)) << static_cast<double>(v);
  }
  EXPECT_EQ(Extended::fromLongDouble(1e308L).toLongDouble(), 1e308L);
  EXPECT_THROW(Extended::fromLongDouble(1e309L).toDouble(), RangeError);
  EXPECT_THROW(Extended::fromLongDouble(-1e4000L).toDouble(), RangeError);
  // Slightly above DBL_MAX but rounding down to it is not an overflow.
  const long double justAbove = static_cast<long double>(DBL_MAX) * (1 + 1e-18L);
  EXPECT_EQ(Extended::fromLongDouble(justAbove).toDouble(), DBL_MAX);
  // An unnormal (exponent set, integer bit clear) is not a number.
  EXPECT_TRUE(std::isnan(Extended::fromParts(0x3FFF, 0x4000000000000000ULL).toDouble()));
  EXPECT_TRUE(std::isinf(Extended::fromParts(0xFFFF, 0x8000000000000000ULL).toDouble()));
}

TEST(PlatformFmtBcd, TextConversions) {
  struct {
    const char16_t* in;
    int precision, scale;
    bool negative;
    const char16_t* out;
  } cases[] = {
      {u"-007.5", 2, 1, true, u"-7.5"},  // leading zeros do not count
      {u"123.45", 5, 2, false, u"123.45"},
      {u"0.050", 2, 2, false, u"0.05"},
      {u"1e3", 4, 0, false, u"1000"},
      {u"0", 8, 2, false, u"0"},
      {u"-0.0001", 4, 4, true, u"-0.0001"},
  };
  for (const auto& c : cases) {
    FmtBcd b;
    ASSERT_TRUE(tryStrToBcd(c.in, b, ja())) << toUtf8(c.in);
    EXPECT_EQ(b.Precision, c.precision) << toUtf8(c.in);
    EXPECT_EQ(b.scale(), c.scale) << toUtf8(c.in);
    EXPECT_EQ(b.negative(), c.negative) << toUtf8(c.in);
    EXPECT_EQ(bcdToStr(b, ja()), c.out);
  }
  FmtBcd b = strToBcd(u"123.45", ja());
  EXPECT_EQ(b.Fraction[0], 0x12);
  EXPECT_EQ(b.Fraction[1], 0x34);
  EXPECT_EQ(b.Fraction[2], 0x50);
  // 64 digits at most: surplus fraction digits are cut, surplus integer digits refused.
  const UnicodeString longFraction = u"1." + UnicodeString(70, u'3');
  ASSERT_TRUE(tryStrToBcd(longFraction, b, ja()));
  EXPECT_EQ(b.Precision, 64);
  EXPECT_EQ(b.scale(), 63);
  EXPECT_FALSE(tryStrToBcd(UnicodeString(65, u'9'), b, ja()));
  EXPECT_FALSE(tryStrToBcd(u"1.2.3", b, ja()));
  EXPECT_THROW(strToBcd(u"+-1", ja()), ConvertError);
  FmtBcd invalid;
  EXPECT_THROW(bcdToStr(invalid, ja()), RangeError);
}

TEST(PlatformFmtBcd, LayoutAndCurrency) {
  // The record is laid out as the engine's packed decimal.
  static_assert(offsetof(FmtBcd, Precision) == 0);
  static_assert(offsetof(FmtBcd, SignSpecialPlaces) == 1);
  static_assert(offsetof(FmtBcd, Fraction) == 2);
  FmtBcd b;
  ASSERT_TRUE(currToBcd(Currency::fromRaw(-1234567), b));  // -123.4567
  EXPECT_EQ(b.Precision, 32);
  EXPECT_EQ(b.scale(), 4);
  EXPECT_TRUE(b.negative());
  EXPECT_EQ(bcdToStr(b, ja()), u"-123.4567");
  EXPECT_EQ(b.Fraction[12], 0x01);  // digit 25 (the hundreds) is the low nibble of byte 12
  ASSERT_TRUE(currToBcd(Currency::fromRaw(1234567), b, 5, 2));
  EXPECT_EQ(bcdToStr(b, ja()), u"123.45");  // surplus decimals cut
  EXPECT_FALSE(currToBcd(Currency::fromRaw(1234567), b, 4, 2));
  ASSERT_TRUE(currToBcd(Currency::fromRaw(std::numeric_limits<std::int64_t>::min()), b));
  EXPECT_EQ(bcdToStr(b, ja()), u"-922337203685477.5808");

  Currency c;
  ASSERT_TRUE(tryBcdToCurr(strToBcd(u"1.00005", ja()), c));
  EXPECT_EQ(c.value, 10000);  // tie -> even
  ASSERT_TRUE(tryBcdToCurr(strToBcd(u"1.00015", ja()), c));
  EXPECT_EQ(c.value, 10002);
  EXPECT_FALSE(tryBcdToCurr(strToBcd(u"922337203685477.5808", ja()), c));
  EXPECT_FALSE(tryBcdToCurr(FmtBcd{}, c));
}
