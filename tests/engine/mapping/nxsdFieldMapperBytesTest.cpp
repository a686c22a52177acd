// Byte-array and FmtBCD mappers: one table of cases through the matrix.
#include "nxsdFieldMapperBytes.h"
#include "nxsdFieldMapperTestSupport.h"
#include "nxsdFmtBcd.h"

namespace {

using namespace fmtest;

// A FmtBCD field's stored bytes: aText at precision aPrecision and scale aScale.
Bytes bcd(const char16_t* aText, int aPrecision, int aScale) {
  TnxFmtBcd v{}, out{};
  nxStrToBcd(aText, v, u'.');
  EXPECT_EQ(nxNormalizeBcd(v, out, aPrecision, aScale), 0) << platform::toUtf8(nxString(aText));
  Bytes b(static_cast<std::size_t>((aPrecision + 1) / 2 + 2));
  std::memcpy(b.data(), &out, b.size());
  return b;
}
F fmt(int aPrecision, int aScale) { return {nxtFmtBCD, aPrecision, aScale}; }

using BytesTest = MapperTest;

TEST_F(BytesTest, ByteArraysAndFormattedDecimals) {
  const Bytes ten{'a', 'b', 0, 'c', 'd', 'e', 'f', 'g', 'h', 'i'};
  checkRows({
      // Byte arrays.
      {"4 bytes into 8 keep the last 4", {nxtByteArray, 4}, Bytes{1, 2, 3, 4}, {nxtByteArray, 8}, Fail, 0,
       Bytes{1, 2, 3, 4, kFill, kFill, kFill, kFill}},
      {"8 bytes into 4 under best fit", {nxtByteArray, 8}, Bytes{1, 2, 3, 4, 5, 6, 7, 8}, {nxtByteArray, 4}, Best, 0,
       Bytes{1, 2, 3, 4}},
      {"16 bytes into a GUID", {nxtByteArray, 16}, Bytes(16, 7), {nxtGuid}, Fail, 0, Bytes(16, 7)},
      {"leading zero byte: empty ShortString", {nxtByteArray, 4}, Bytes{0, 'x', 'y', 'z'}, {nxtShortString, 20}, Best,
       0, Bytes{0}},
      {"leading zero byte: empty NullString", {nxtByteArray, 4}, Bytes{0, 'x', 'y', 'z'}, {nxtNullString, 20}, Fail,
       0, Bytes{0}},
      {"leading zero byte: empty WideString", {nxtByteArray, 4}, Bytes{0, 'x'}, {nxtWideString, 20}, Fail, 0,
       Bytes{0, 0}},
      {"leading zero byte, converting", {nxtByteArray, 4, 0, 1252}, Bytes{0, 'x'}, {nxtNullString, 20, 0, 932}, Fail,
       0, Bytes{0}},
      {"10 raw bytes into a ShortString of 20", {nxtByteArray, 10}, ten, {nxtShortString, 20}, Fail, 0,
       Bytes{10, 'a', 'b', 0, 'c', 'd', 'e', 'f', 'g', 'h', 'i'}},
      {"10 raw bytes into a NullString of 4, best fit", {nxtByteArray, 10}, Bytes{'a', 'b', 'c', 'd', 'e'},
       {nxtNullString, 3}, Best, 0, Bytes{'a', 'b', 'c', 0}},
      {"1252 text read into a WideString", {nxtByteArray, 4, 0, 1252}, Bytes{'c', 'a', 'f', 0xE9},
       {nxtWideString, 10}, Fail, 0, wstr(u"café")},
      {"1252 text into a 932 ShortString", {nxtByteArray, 3, 0, 1252}, Bytes{'a', 'b', 'c'},
       {nxtShortString, 10, 0, 932}, Fail, 0, sstr("abc")},
      {"converting into a ShortString too short, checking", {nxtByteArray, 6, 0, 1252}, Bytes{'a', 'b', 'c', 'd', 'e', 'f'},
       {nxtShortString, 3, 0, 932}, Fail, nxErrInvalidFieldXform, Bytes{0}},
      {"converting into a ShortString too short, best fit", {nxtByteArray, 6, 0, 1252},
       Bytes{'a', 'b', 'c', 'd', 'e', 'f'}, {nxtShortString, 3, 0, 932}, Best, 0, sstr("abc")},
      {"WideString best fit keeps what fits", {nxtByteArray, 6}, Bytes{'a', 'b', 'c', 'd', 'e', 'f'},
       {nxtWideString, 2}, Best, 0, wstr(u"ab")},

      // Into FmtBCD.
      {"Int32 12345 into (4,0), checking", {nxtInt32}, i32(12345), fmt(4, 0), Fail, nxErrInvalidFieldXform, none()},
      {"Int32 12345 into (4,0), best fit clamps", {nxtInt32}, i32(12345), fmt(4, 0), Best, 0, bcd(u"9999", 4, 0)},
      {"Int32 -12345 into (4,1), best fit keeps the sign", {nxtInt32}, i32(-12345), fmt(4, 1), Best, 0,
       bcd(u"-999.9", 4, 1)},
      {"Int32 12345 into (10,2)", {nxtInt32}, i32(12345), fmt(10, 2), Fail, 0, bcd(u"12345.00", 10, 2)},
      {"Word32 4294967295", {nxtWord32}, u32(4294967295u), fmt(12, 0), Fail, 0, bcd(u"4294967295", 12, 0)},
      {"Double 2.5 into (5,2)", {nxtDouble}, f64(2.5), fmt(5, 2), Fail, 0, bcd(u"2.50", 5, 2)},
      {"Single 0.1 through its text", {nxtSingle}, f32(0.1f), fmt(20, 15), Fail, 0,
       bcd(u"0.100000001490116", 20, 15)},
      {"Double 2.125 into one decimal, checking", {nxtDouble}, f64(2.125), fmt(5, 1), Fail, nxErrInvalidFieldXform,
       none()},
      {"Double 2.125 into one decimal, best fit cuts", {nxtDouble}, f64(2.125), fmt(5, 1), Best, 0,
       bcd(u"2.1", 5, 1)},
      {"Extended 1.25", {nxtExtended}, ext(1.25L), fmt(6, 3), Fail, 0, bcd(u"1.250", 6, 3)},
      {"Extended with 19 digits", {nxtExtended}, ext(0.1L), fmt(25, 24), Fail, 0,
       bcd(u"0.100000000000000000000000", 25, 24)},
      {"Currency 1.2345", {nxtCurrency}, i64(12345), fmt(6, 4), Fail, 0, bcd(u"1.2345", 6, 4)},
      {"Currency 1.2345 into two decimals, best fit", {nxtCurrency}, i64(12345), fmt(3, 2), Best, 0,
       bcd(u"1.23", 3, 2)},

      // From FmtBCD.
      {"12.5 into Int32, checking", fmt(5, 1), bcd(u"12.5", 5, 1), {nxtInt32}, Fail, nxErrInvalidFieldXform, none()},
      {"12.5 into Int32, best fit", fmt(5, 1), bcd(u"12.5", 5, 1), {nxtInt32}, Best, 0, i32(12)},
      {"-1 into Byte, checking", fmt(3, 0), bcd(u"-1", 3, 0), {nxtByte}, Fail, nxErrInvalidFieldXform, none()},
      {"-1 into Byte, best fit", fmt(3, 0), bcd(u"-1", 3, 0), {nxtByte}, Best, 0, u8(0)},
      {"300 into Byte, best fit", fmt(3, 0), bcd(u"300", 3, 0), {nxtByte}, Best, 0, u8(255)},
      {"-300 into Int8, best fit", fmt(3, 0), bcd(u"-300", 3, 0), {nxtInt8}, Best, 0, i8(-128)},
      {"12345678901 into Int64", fmt(11, 0), bcd(u"12345678901", 11, 0), {nxtInt64}, Fail, 0, i64(12345678901)},
      {"0.1 into Single, checking", fmt(5, 1), bcd(u"0.1", 5, 1), {nxtSingle}, Fail, 0, f32(0.1f)},
      {"123456.789 into Single, checking", fmt(9, 3), bcd(u"123456.789", 9, 3), {nxtSingle}, Fail,
       nxErrInvalidFieldXform, f32(123456.789f)},
      {"0.5 into Double, checking", fmt(9, 3), bcd(u"0.5", 9, 3), {nxtDouble}, Fail, 0, f64(0.5)},
      {"123456.789 into Double, checking: not exact", fmt(9, 3), bcd(u"123456.789", 9, 3), {nxtDouble}, Fail,
       nxErrInvalidFieldXform, f64(123456.789)},
      {"123456.789 into Double, best fit", fmt(9, 3), bcd(u"123456.789", 9, 3), {nxtDouble}, Best, 0,
       f64(123456.789)},
      {"-2.5 into Extended", fmt(5, 1), bcd(u"-2.5", 5, 1), {nxtExtended}, Fail, 0, ext(-2.5L)},
      {"1.23456 into Currency, checking", fmt(8, 5), bcd(u"1.23456", 8, 5), {nxtCurrency}, Fail,
       nxErrInvalidFieldXform, none()},
      {"1.23456 into Currency, best fit", fmt(8, 5), bcd(u"1.23456", 8, 5), {nxtCurrency}, Best, 0, i64(12346)},
      {"1.2345 into BCD", fmt(8, 5), bcd(u"1.2345", 8, 5), {nxtBCD, 10, 4}, Fail, 0, i64(12345)},
      {"(10,2) into (10,2) copies", fmt(10, 2), bcd(u"-12.34", 10, 2), fmt(10, 2), Fail, 0, bcd(u"-12.34", 10, 2)},
      {"(10,2) into (5,1), checking", fmt(10, 2), bcd(u"12.34", 10, 2), fmt(5, 1), Fail, nxErrInvalidFieldXform,
       none()},
      {"(10,2) into (5,1), best fit", fmt(10, 2), bcd(u"12.34", 10, 2), fmt(5, 1), Best, 0, bcd(u"12.3", 5, 1)},
      {"(10,2) into (5,1), exact", fmt(10, 2), bcd(u"12.30", 10, 2), fmt(5, 1), Fail, 0, bcd(u"12.3", 5, 1)},
      {"(10,2) into (3,1), best fit clamps", fmt(10, 2), bcd(u"-1234.5", 10, 2), fmt(3, 1), Best, 0,
       bcd(u"-99.9", 3, 1)},
  });
}

TEST_F(BytesTest, CheckingCellsThatCouldLoseBytesHaveNoMapper) {
  EXPECT_FALSE(mapOnce({nxtByteArray, 8}, Bytes(8, 1), {nxtByteArray, 4}, Fail).found);
  EXPECT_FALSE(mapOnce({nxtByteArray, 15}, Bytes(15, 1), {nxtGuid}, Fail).found);
  EXPECT_FALSE(mapOnce({nxtByteArray, 20}, Bytes(20, 1), {nxtShortString, 19}, Fail).found);
  EXPECT_FALSE(mapOnce({nxtByteArray, 10}, Bytes(10, 1), {nxtWideString, 9}, Fail).found);
  EXPECT_TRUE(mapOnce({nxtByteArray, 10}, Bytes(10, 1), {nxtWideString, 10}, Fail).found);
  EXPECT_FALSE(mapOnce({nxtByteArray, 4}, Bytes(4, 1), {nxtInt32}, Best).found);
  EXPECT_FALSE(mapOnce(fmt(5, 0), bcd(u"1", 5, 0), {nxtBoolean}, Best).found);
}

TEST_F(BytesTest, AStoredValueThatIsNoPackedDecimalGives10002) {
  Bytes broken(6, 0);
  broken[0] = 99;
  EXPECT_EQ(mapOnce(fmt(8, 0), broken, {nxtInt32}, Best).result, nxErrInvalidFieldXform);
  EXPECT_EQ(mapOnce(fmt(8, 0), broken, fmt(10, 0), Best).result, nxErrInvalidFieldXform);
}

}  // namespace
