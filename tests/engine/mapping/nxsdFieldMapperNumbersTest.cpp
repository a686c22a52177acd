#include "nxllBde.h"
#include "nxsdFieldMapperTestSupport.h"

namespace {

using namespace fmtest;

constexpr TnxResult X = nxErrInvalidFieldXform;

using NumbersTest = MapperTest;

TEST_F(NumbersTest, IntegerTargetsNarrowClampAndWiden) {
  checkRows({
      {"Int8 -1 to Byte", {nxtInt8}, i8(-1), {nxtByte}, Fail, X, none()},
      {"Int8 -1 to Byte, best fit", {nxtInt8}, i8(-1), {nxtByte}, Best, 0, u8(0)},
      {"Int32 300 to Int8", {nxtInt32}, i32(300), {nxtInt8}, Fail, X, none()},
      {"Int32 300 to Int8, best fit", {nxtInt32}, i32(300), {nxtInt8}, Best, 0, i8(127)},
      {"Int32 -40000 to Int16, best fit", {nxtInt32}, i32(-40000), {nxtInt16}, Best, 0, i16(-32768)},
      {"Word32 3e9 to Int32, best fit", {nxtWord32}, u32(3000000000u), {nxtInt32}, Best, 0, i32(2147483647)},
      {"Word32 3e9 to Int32", {nxtWord32}, u32(3000000000u), {nxtInt32}, Fail, X, none()},
      {"Int8 -1 to Int64 sign-extends", {nxtInt8}, i8(-1), {nxtInt64}, Fail, 0, i64(-1)},
      {"Byte 255 to Int16 zero-extends", {nxtByte}, u8(255), {nxtInt16}, Fail, 0, i16(255)},
      {"Int64 -1 to AutoInc, best fit", {nxtInt64}, i64(-1), {nxtAutoInc}, Best, 0, u32(0)},
      {"Int64 2^40 to RecRev, best fit", {nxtInt64}, i64(1LL << 40), {nxtRecRev}, Best, 0, u32(4294967295u)},
      {"Int64 2^40 to Word32", {nxtInt64}, i64(1LL << 40), {nxtWord32}, Fail, X, none()},
      {"Int16 -1 to Word16, best fit", {nxtInt16}, i16(-1), {nxtWord16}, Best, 0, u16(0)},
      {"RefNr to Int64", {nxtRefNr}, i64(-77), {nxtInt64}, Fail, 0, i64(-77)},
      {"RefNr to RefNr", {nxtRefNr}, i64(1234567890123), {nxtRefNr}, Fail, 0, i64(1234567890123)},
  });
}

TEST_F(NumbersTest, BooleanCharAndFloatTargets) {
  checkRows({
      {"Int32 1 to Boolean", {nxtInt32}, i32(1), {nxtBoolean}, Fail, 0, u8(0xFF)},
      {"Int32 0 to Boolean", {nxtInt32}, i32(0), {nxtBoolean}, Fail, 0, u8(0)},
      {"Int32 2 to Boolean", {nxtInt32}, i32(2), {nxtBoolean}, Fail, X, none()},
      {"Int32 2 to Boolean, best fit", {nxtInt32}, i32(2), {nxtBoolean}, Best, 0, u8(0xFF)},
      {"Int64 2^32 to Boolean", {nxtInt64}, i64(4294967296LL), {nxtBoolean}, Fail, X, none()},
      {"Int16 7 to Char", {nxtInt16}, i16(7), {nxtChar}, Fail, 0, chr('7')},
      {"Int16 10 to Char", {nxtInt16}, i16(10), {nxtChar}, Fail, X, none()},
      {"Int16 10 to Char, best fit", {nxtInt16}, i16(10), {nxtChar}, Best, 0, chr('1')},
      {"Int8 -5 to Char, best fit", {nxtInt8}, i8(-5), {nxtChar}, Best, 0, chr('-')},
      {"Int64 4294967301 to WideChar", {nxtInt64}, i64(4294967301LL), {nxtWideChar}, Fail, X, none()},
      {"Word16 3 to WideChar", {nxtWord16}, u16(3), {nxtWideChar}, Fail, 0, wch(u'3')},
      {"Word32 max to Single rounds", {nxtWord32}, u32(4294967295u), {nxtSingle}, Fail, 0, f32(4294967296.0f)},
      {"Int64 2^53+1 to Double rounds", {nxtInt64}, i64((1LL << 53) + 1), {nxtDouble}, Fail, 0,
       f64(9007199254740992.0)},
      {"Int64 2^53+1 to Extended is exact", {nxtInt64}, i64((1LL << 53) + 1), {nxtExtended}, Fail, 0,
       ext(9007199254740993.0L)},
  });
}

TEST_F(NumbersTest, CurrencyAndBcdTargets) {
  checkRows({
      {"Int32 -7 to Currency", {nxtInt32}, i32(-7), {nxtCurrency}, Fail, 0, i64(-70000)},
      {"Int64 max to Currency clamps", {nxtInt64}, i64(INT64_MAX), {nxtCurrency}, Fail, 0,
       i64(9223372036854770000LL)},
      {"Int64 min to Currency clamps, best fit", {nxtInt64}, i64(INT64_MIN), {nxtCurrency}, Best, 0,
       i64(-9223372036854770000LL)},
      {"Int8 to BCD(5,2) directly", {nxtInt8}, i8(-128), {nxtBCD, 5, 2}, Fail, 0, i64(-1280000)},
      {"Int16 12345 to BCD(4,0)", {nxtInt16}, i16(12345), {nxtBCD, 4, 0}, Fail, X, none()},
      // Best fit clamps to the largest value the precision holds.
      {"Int16 12345 to BCD(4,0), best fit", {nxtInt16}, i16(12345), {nxtBCD, 4, 0}, Best, 0, i64(99990000)},
      {"Int16 -12345 to BCD(4,0), best fit", {nxtInt16}, i16(-12345), {nxtBCD, 4, 0}, Best, 0, i64(-99990000)},
      {"Int16 1234 to BCD(4,0)", {nxtInt16}, i16(1234), {nxtBCD, 4, 0}, Fail, 0, i64(12340000)},
      {"Int32 123 to BCD(5,2)", {nxtInt32}, i32(123), {nxtBCD, 5, 2}, Fail, 0, i64(1230000)},
      {"Int64 123 to BCD(5,2)", {nxtInt64}, i64(123), {nxtBCD, 5, 2}, Fail, 0, i64(1230000)},
      {"Int64 1000 to BCD(5,2)", {nxtInt64}, i64(1000), {nxtBCD, 5, 2}, Fail, X, none()},
      {"Int64 1000 to BCD(5,2), best fit", {nxtInt64}, i64(1000), {nxtBCD, 5, 2}, Best, 0, i64(9999900)},
      // Beyond the currency range: the packed decimal fits the precision,
      // the stored form does not.
      {"Int64 1e15 to BCD(20,4)", {nxtInt64}, i64(1000000000000000LL), {nxtBCD, 20, 4}, Fail, X, none()},
      {"Int64 -1e15 to BCD(20,4), best fit", {nxtInt64}, i64(-1000000000000000LL), {nxtBCD, 20, 4}, Best, 0,
       i64(-INT64_MAX)},
  });
}

TEST_F(NumbersTest, StringTargetsChooseTheRoutineByTheSampleText) {
  checkRows({
      {"Int32 min into 11 units", {nxtInt32}, i32(INT32_MIN), {nxtShortString, 11}, Fail, 0, sstr("-2147483648")},
      {"Int32 12345 into 5 units", {nxtInt32}, i32(12345), {nxtShortString, 5}, Fail, 0, sstr("12345")},
      {"Int32 123456 into 5 units", {nxtInt32}, i32(123456), {nxtShortString, 5}, Fail, X, none()},
      {"Int32 123456 into 5 units, best fit", {nxtInt32}, i32(123456), {nxtShortString, 5}, Best, 0, sstr("12345")},
      {"Int16 12345 into WideString(4)", {nxtInt16}, i16(12345), {nxtWideString, 4}, Fail, X, none()},
      {"Int16 12345 into WideString(4), best fit", {nxtInt16}, i16(12345), {nxtWideString, 4}, Best, 0,
       wstr(u"1234")},
      {"Word32 into NullString", {nxtWord32}, u32(4294967295u), {nxtNullString, 10}, Fail, 0, nstr("4294967295")},
      {"RefNr into WideString", {nxtRefNr}, i64(-42), {nxtWideString, 20}, Fail, 0, wstr(u"-42")},
  });
  // The sample text fits: the truncating routine is taken.
  const Mapped fits = mapOnce({nxtInt32}, i32(INT32_MIN), {nxtShortString, 11}, Fail);
  EXPECT_TRUE(fits.hasInstance);
}

TEST_F(NumbersTest, ByteArrayTargetsCopyTheStoredBytes) {
  EXPECT_FALSE(mapOnce({nxtInt32}, i32(1), {nxtByteArray, 3}, Fail).found);
  const Mapped m = mapOnce({nxtInt32}, i32(0x01020304), {nxtByteArray, 8}, Fail);
  ASSERT_TRUE(m.found);
  EXPECT_EQ(m.target, (Bytes{4, 3, 2, 1, kFill, kFill, kFill, kFill}));
  EXPECT_TRUE(mapOnce({nxtInt8}, i8(1), {nxtByteArray, 1}, Fail).found);
}

TEST_F(NumbersTest, BooleanSourcesFollowTheirTable) {
  // A True stored as 0xFF reads as -1 where the target is signed or
  // floating, as 255 in Byte, Int16 and Int32, as 1 in Word16 and Word32.
  checkRows({
      {"0xFF to Boolean", {nxtBoolean}, u8(0xFF), {nxtBoolean}, Fail, 0, u8(0xFF)},
      {"0xFF to Byte", {nxtBoolean}, u8(0xFF), {nxtByte}, Fail, 0, u8(255)},
      {"0xFF to Int8", {nxtBoolean}, u8(0xFF), {nxtInt8}, Fail, 0, i8(-1)},
      {"0xFF to Int16", {nxtBoolean}, u8(0xFF), {nxtInt16}, Fail, 0, i16(255)},
      {"0xFF to Int32", {nxtBoolean}, u8(0xFF), {nxtInt32}, Fail, 0, i32(255)},
      {"0xFF to Int64", {nxtBoolean}, u8(0xFF), {nxtInt64}, Fail, 0, i64(-1)},
      {"0xFF to Word16", {nxtBoolean}, u8(0xFF), {nxtWord16}, Fail, 0, u16(1)},
      {"0xFF to Word32", {nxtBoolean}, u8(0xFF), {nxtWord32}, Fail, 0, u32(1)},
      {"0xFF to Double", {nxtBoolean}, u8(0xFF), {nxtDouble}, Fail, 0, f64(-1)},
      {"0xFF to Extended", {nxtBoolean}, u8(0xFF), {nxtExtended}, Fail, 0, ext(-1)},
      {"0xFF to Currency", {nxtBoolean}, u8(0xFF), {nxtCurrency}, Fail, 0, i64(-10000)},
      {"1 to Currency", {nxtBoolean}, u8(1), {nxtCurrency}, Fail, 0, i64(10000)},
      {"1 to BCD", {nxtBoolean}, u8(1), {nxtBCD, 4, 2}, Fail, 0, i64(10000)},
      {"5 to ByteArray", {nxtBoolean}, u8(5), {nxtByteArray, 2}, Fail, 0, Bytes{0xFF, kFill}},
      {"0 to ByteArray", {nxtBoolean}, u8(0), {nxtByteArray, 1}, Fail, 0, u8(0)},
      {"1 to Char", {nxtBoolean}, u8(1), {nxtChar}, Fail, 0, chr('1')},
      {"0 to WideChar", {nxtBoolean}, u8(0), {nxtWideChar}, Fail, 0, wch(u'0')},
      {"1 to ShortString", {nxtBoolean}, u8(1), {nxtShortString, 3}, Fail, 0, sstr("1")},
      {"0 to NullString", {nxtBoolean}, u8(0), {nxtNullString, 3}, Fail, 0, nstr("0")},
      {"1 to WideString", {nxtBoolean}, u8(1), {nxtWideString, 3}, Fail, 0, wstr(u"1")},
  });
}

}  // namespace
