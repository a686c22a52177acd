#include <cmath>
#include <limits>

#include "nxllBde.h"
#include "nxsdFieldMapperTestSupport.h"

namespace {

using namespace fmtest;

constexpr TnxResult X = nxErrInvalidFieldXform;

using FloatsTest = MapperTest;

TEST_F(FloatsTest, FloatsIntoIntegersRoundHalfToEvenOrRefuse) {
  checkRows({
      {"3.7 to Int32", {nxtDouble}, f64(3.7), {nxtInt32}, Fail, X, none()},
      {"3.7 to Int32, best fit", {nxtDouble}, f64(3.7), {nxtInt32}, Best, 0, i32(4)},
      {"2.5 to Int32, best fit", {nxtDouble}, f64(2.5), {nxtInt32}, Best, 0, i32(2)},
      {"3.5 to Int32, best fit", {nxtDouble}, f64(3.5), {nxtInt32}, Best, 0, i32(4)},
      {"-2.5 to Int32, best fit", {nxtDouble}, f64(-2.5), {nxtInt32}, Best, 0, i32(-2)},
      {"-1e10 to Int32, best fit", {nxtDouble}, f64(-1e10), {nxtInt32}, Best, 0, i32(INT32_MIN)},
      {"-1e10 to Int32", {nxtDouble}, f64(-1e10), {nxtInt32}, Fail, X, none()},
      {"300 to Byte, best fit", {nxtSingle}, f32(300), {nxtByte}, Best, 0, u8(255)},
      {"42 to Word32", {nxtExtended}, ext(42), {nxtWord32}, Fail, 0, u32(42)},
      {"1e19 to Int64, best fit", {nxtDouble}, f64(1e19), {nxtInt64}, Best, 0, i64(INT64_MAX)},
      {"NaN to Int32", {nxtDouble}, f64(std::numeric_limits<double>::quiet_NaN()), {nxtInt32}, Fail, X, none()},
  });
}

TEST_F(FloatsTest, BooleanTargetsUseTheResolutionOfTheSourceType) {
  checkRows({
      {"Double 5e-14 is False", {nxtDouble}, f64(5e-14), {nxtBoolean}, Fail, 0, u8(0)},
      {"Double 5e-14 is False, best fit", {nxtDouble}, f64(5e-14), {nxtBoolean}, Best, 0, u8(0)},
      {"Single 0.00005 is False", {nxtSingle}, f32(0.00005f), {nxtBoolean}, Fail, 0, u8(0)},
      {"Double 1 is True", {nxtDouble}, f64(1), {nxtBoolean}, Fail, 0, u8(0xFF)},
      // The byte is written before the refusal.
      {"Double 0.5", {nxtDouble}, f64(0.5), {nxtBoolean}, Fail, X, u8(0xFF)},
      {"Double 0.5, best fit", {nxtDouble}, f64(0.5), {nxtBoolean}, Best, 0, u8(0xFF)},
      {"Extended 1e-15 is not False", {nxtExtended}, ext(1e-15L), {nxtBoolean}, Fail, X, u8(0xFF)},
  });
}

TEST_F(FloatsTest, CurrencyTargetsComputeInExtendedPrecision) {
  checkRows({
      {"1.5", {nxtDouble}, f64(1.5), {nxtCurrency}, Fail, 0, i64(15000)},
      // 0.1 x 10000 keeps a fraction of about 5.6e-14 in extended precision.
      {"0.1", {nxtDouble}, f64(0.1), {nxtCurrency}, Fail, X, none()},
      {"0.1, best fit", {nxtDouble}, f64(0.1), {nxtCurrency}, Best, 0, i64(1000)},
      {"1e20, best fit", {nxtDouble}, f64(1e20), {nxtCurrency}, Best, 0, i64(INT64_MAX)},
      {"-1e20, best fit", {nxtDouble}, f64(-1e20), {nxtCurrency}, Best, 0, i64(-INT64_MAX)},
      {"1e20", {nxtDouble}, f64(1e20), {nxtCurrency}, Fail, X, none()},
  });
  // Round(x * 10000), halves to even, from the exact decimal value of each
  // double (Python decimal, ROUND_HALF_EVEN). A double product would turn
  // 5e-05 into exactly 0.5 and round it to 0.
  const std::pair<double, std::int64_t> frozen[] = {
      {5e-05, 1},          {0.00015, 1},         {0.00025, 3},      {1.00005, 10001},   {2.00015, 20002},
      {12345.67885, 123456789}, {-5e-05, -1},    {-2.00025, -20002}, {0.12345, 1235},   {1.5, 15000},
      {2.5, 25000},
  };
  for (const auto& [x, raw] : frozen) {
    SCOPED_TRACE(x);
    const Mapped m = mapOnce({nxtDouble}, f64(x), {nxtCurrency}, Best);
    EXPECT_EQ(m.result, 0);
    EXPECT_EQ(m.target, i64(raw));
  }
}

TEST_F(FloatsTest, FloatTargetsWidenExactlyAndNarrowWithLimits) {
  const float maxF = std::numeric_limits<float>::max();
  checkRows({
      {"Single 0.1 to Double is exact", {nxtSingle}, f32(0.1f), {nxtDouble}, Fail, 0, f64(double(0.1f))},
      {"Double 0.1 to Extended is exact", {nxtDouble}, f64(0.1), {nxtExtended}, Fail, 0, ext(static_cast<long double>(0.1))},
      {"-1e300 to Single, best fit", {nxtDouble}, f64(-1e300), {nxtSingle}, Best, 0, f32(-maxF)},
      {"-1e300 to Single", {nxtDouble}, f64(-1e300), {nxtSingle}, Fail, X, none()},
      {"1e-40 to Single", {nxtDouble}, f64(1e-40), {nxtSingle}, Fail, X, none()},
      {"1e-40 to Single, best fit", {nxtDouble}, f64(1e-40), {nxtSingle}, Best, 0, f32(float(1e-40))},
      {"0 to Single", {nxtDouble}, f64(0), {nxtSingle}, Fail, 0, f32(0)},
      {"Extended 1e400 to Double", {nxtExtended}, ext(1e400L), {nxtDouble}, Fail, X, none()},
      {"Extended 1e400 to Double, best fit", {nxtExtended}, ext(1e400L), {nxtDouble}, Best, 0,
       f64(std::numeric_limits<double>::max())},
      {"Extended 1/3 to Double rounds", {nxtExtended}, ext(1.0L / 3), {nxtDouble}, Fail, 0, f64(1.0 / 3)},
  });
}

TEST_F(FloatsTest, DoubleIntoDateTimeIsATimeStamp) {
  // Noon on 2023-01-01: day 738521.
  checkRows({
      {"44927.5", {nxtDouble}, f64(44927.5), {nxtDateTime}, Fail, 0, f64(63808257600000.0)},
      {"0 is 1899-12-30", {nxtDouble}, f64(0), {nxtDateTime}, Fail, 0, f64(693594.0 * 86400000)},
      {"beyond 9999-12-31", {nxtDouble}, f64(1e9), {nxtDateTime}, Best, X, none()},
  });
}

TEST_F(FloatsTest, CharacterStringAndByteArrayTargets) {
  checkRows({
      {"7 to Char", {nxtDouble}, f64(7), {nxtChar}, Fail, 0, chr('7')},
      {"7.5 to Char", {nxtDouble}, f64(7.5), {nxtChar}, Fail, X, none()},
      {"7.5 to Char, best fit", {nxtDouble}, f64(7.5), {nxtChar}, Best, 0, chr('7')},
      {"-3 to WideChar, best fit", {nxtSingle}, f32(-3), {nxtWideChar}, Best, 0, wch(u'-')},
      {"Single 0.1 to ShortString", {nxtSingle}, f32(0.1f), {nxtShortString, 20}, Fail, 0,
       sstr("0.100000001490116")},
      {"1234.5 into 5 units", {nxtDouble}, f64(1234.5), {nxtShortString, 5}, Fail, X, none()},
      {"1234.5 into 5 units, best fit", {nxtDouble}, f64(1234.5), {nxtShortString, 5}, Best, 0, sstr("1234.")},
      {"1e300 to WideString", {nxtDouble}, f64(1e300), {nxtWideString, 10}, Fail, 0, wstr(u"1E300")},
      {"Single to ByteArray(4)", {nxtSingle}, f32(1.5f), {nxtByteArray, 4}, Fail, 0, f32(1.5f)},
      {"Extended to ByteArray(12)", {nxtExtended}, ext(2.5L), {nxtByteArray, 12}, Fail, 0, ext(2.5L)},
  });
  EXPECT_FALSE(mapOnce({nxtSingle}, f32(1), {nxtByteArray, 3}, Fail).found);
  EXPECT_FALSE(mapOnce({nxtExtended}, ext(1), {nxtByteArray, 9}, Best).found);
}

TEST_F(FloatsTest, TextsFollowTheTargetLocale) {
  // German (1031) writes a decimal comma; no locale is the system default.
  checkRows({
      {"comma", {nxtDouble}, f64(1234.5), {nxtNullString, 20, 0, 0, 1031}, Fail, 0, nstr("1234,5")},
      {"point", {nxtDouble}, f64(1234.5), {nxtNullString, 20}, Fail, 0, nstr("1234.5")},
      {"currency comma", {nxtCurrency}, i64(12345), {nxtWideString, 20, 0, 0, 1031}, Fail, 0, wstr(u"1,2345")},
  });
}

TEST_F(FloatsTest, CurrencySourcesUseRawBounds) {
  checkRows({
      {"12.5 to Int32", {nxtCurrency}, i64(125000), {nxtInt32}, Fail, X, none()},
      {"12.5 to Int32, best fit", {nxtCurrency}, i64(125000), {nxtInt32}, Best, 0, i32(12)},
      {"127.9 to Int8", {nxtCurrency}, i64(1279000), {nxtInt8}, Fail, X, none()},
      {"127.9 to Int8, best fit", {nxtCurrency}, i64(1279000), {nxtInt8}, Best, 0, i8(127)},
      {"126.6 to Int8, best fit", {nxtCurrency}, i64(1266000), {nxtInt8}, Best, 0, i8(127)},
      {"-0.4 to Byte, best fit", {nxtCurrency}, i64(-4000), {nxtByte}, Best, 0, u8(0)},
      {"42 to Word32", {nxtBCD, 10, 2}, i64(420000), {nxtWord32}, Fail, 0, u32(42)},
      {"2 to Boolean", {nxtCurrency}, i64(20000), {nxtBoolean}, Fail, X, u8(0xFF)},
      {"2 to Boolean, best fit", {nxtCurrency}, i64(20000), {nxtBoolean}, Best, 0, u8(0xFF)},
      {"1 to Boolean", {nxtCurrency}, i64(10000), {nxtBoolean}, Fail, 0, u8(0xFF)},
      {"0.5 to Int64", {nxtCurrency}, i64(5000), {nxtInt64}, Fail, X, none()},
      {"0.5 to Int64, best fit", {nxtCurrency}, i64(5000), {nxtInt64}, Best, 0, i64(0)},
      {"1.25 to Double", {nxtCurrency}, i64(12500), {nxtDouble}, Fail, 0, f64(1.25)},
      {"min to Currency", {nxtCurrency}, i64(INT64_MIN), {nxtCurrency}, Fail, 0, i64(-INT64_MAX)},
      {"5 to Char", {nxtCurrency}, i64(50000), {nxtChar}, Fail, 0, chr('5')},
      {"12 to Char", {nxtCurrency}, i64(120000), {nxtChar}, Fail, X, none()},
      {"12 to Char, best fit", {nxtCurrency}, i64(120000), {nxtChar}, Best, 0, chr('1')},
      {"min to ShortString(16)", {nxtCurrency}, i64(INT64_MIN), {nxtShortString, 16}, Fail, 0,
       sstr("-922337203685478")},
      {"to ByteArray(8)", {nxtCurrency}, i64(-2), {nxtByteArray, 8}, Fail, 0, i64(-2)},
  });
  // Round(v), halves to even (Python decimal).
  const std::pair<std::int64_t, std::int32_t> frozen[] = {{25000, 2},  {35000, 4},  {-25000, -2}, {-35000, -4},
                                                          {24999, 2},  {25001, 3},  {1265999, 127}, {125000, 12}};
  for (const auto& [raw, value] : frozen) {
    SCOPED_TRACE(raw);
    EXPECT_EQ(mapOnce({nxtCurrency}, i64(raw), {nxtInt32}, Best).target, i32(value));
  }
  EXPECT_FALSE(mapOnce({nxtCurrency}, i64(1), {nxtByteArray, 7}, Fail).found);
}

TEST_F(FloatsTest, CurrencyIntoBcdCutsFractionsAndClampsIntegers) {
  checkRows({
      {"into BCD(20,4) copies", {nxtCurrency}, i64(123456789), {nxtBCD, 20, 4}, Fail, 0, i64(123456789)},
      {"1234.5678 into (6,2)", {nxtCurrency}, i64(12345678), {nxtBCD, 6, 2}, Fail, X, none()},
      {"1234.5678 into (6,2), best fit", {nxtCurrency}, i64(12345678), {nxtBCD, 6, 2}, Best, 0, i64(12345600)},
      {"123456.7 into (6,2)", {nxtCurrency}, i64(1234567000), {nxtBCD, 6, 2}, Fail, X, none()},
      {"123456.7 into (6,2), best fit", {nxtCurrency}, i64(1234567000), {nxtBCD, 6, 2}, Best, 0, i64(99999900)},
      {"-123456.7 into (6,2), best fit", {nxtCurrency}, i64(-1234567000), {nxtBCD, 6, 2}, Best, 0,
       i64(-99999900)},
      {"-1234.5678 into (6,2), best fit", {nxtBCD, 8, 4}, i64(-12345678), {nxtBCD, 6, 2}, Best, 0, i64(-12345600)},
      {"1234.56 into (6,2)", {nxtCurrency}, i64(12345600), {nxtBCD, 6, 2}, Fail, 0, i64(12345600)},
      {"Double 12.345 into (6,2), best fit", {nxtDouble}, f64(12.345), {nxtBCD, 6, 2}, Best, 0, i64(123400)},
      {"Double 12.345 into (6,2)", {nxtDouble}, f64(12.345), {nxtBCD, 6, 2}, Fail, X, none()},
      {"Double 99999.5 into (6,2), best fit", {nxtDouble}, f64(99999.5), {nxtBCD, 6, 2}, Best, 0, i64(99999900)},
  });
}

TEST_F(FloatsTest, CurrencyIntoBcdAgainstDecimalArithmetic) {
  // Python decimal: the value cut toward zero to the scale, and beyond the
  // integer digits of the precision the largest value it holds, signed.
  struct BcdRow {
    std::int64_t raw;
    std::int32_t precision, scale;
    std::int64_t bestFit;
    bool loses;
  };
  const BcdRow frozen[] = {
      {842950LL, 19, 4, 842950LL, false},
      {7316LL, 6, 2, 7300LL, true},
      {31474259662410000LL, 13, 0, 31474259662410000LL, false},
      {-653397LL, 3, 0, -650000LL, true},
      {24LL, 1, 1, 0LL, true},
      {2146509353LL, 15, 0, 2146500000LL, true},
      {-77584279168393LL, 9, 0, -9999999990000LL, true},
      {1700LL, 2, 2, 1700LL, false},
      {6560LL, 10, 0, 0LL, true},
      {-981LL, 1, 0, 0LL, true},
      {877820LL, 15, 3, 877820LL, false},
      {-79689136907284LL, 9, 1, -999999999000LL, true},
  };
  for (const BcdRow& r : frozen) {
    SCOPED_TRACE(r.raw);
    const F target{nxtBCD, r.precision, r.scale};
    const Mapped best = mapOnce({nxtCurrency}, i64(r.raw), target, Best);
    EXPECT_EQ(best.result, 0);
    EXPECT_EQ(best.target, i64(r.bestFit));
    const Mapped check = mapOnce({nxtCurrency}, i64(r.raw), target, Fail);
    EXPECT_EQ(check.result, r.loses ? X : 0);
    if (!r.loses) {
      EXPECT_EQ(check.target, i64(r.bestFit));
    }
  }
}

}  // namespace
