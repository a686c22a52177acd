#include "nxsdNativeVariantConverter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "nxllException.h"
#include "nxsdFmtBcd.h"
#include "plErrors.h"
#include "plExtended.h"

namespace {

using platform::Variant;
using Bytes = std::vector<std::uint8_t>;

Bytes hex(const char* aText) {
  Bytes b;
  for (const char* p = aText; *p;) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    b.push_back(static_cast<std::uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
    p += 2;
  }
  return b;
}

template <typename T>
Bytes bytesOf(T v) {
  Bytes b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}

Variant bcdVar(const char16_t* aText) {
  TnxFmtBcd b;
  nxStrToBcd(aText, b);
  return nxBcdToVariant(b);
}

// Same kind and same text, or the same bytes for byte arrays.
::testing::AssertionResult sameVariant(const Variant& a, const Variant& b) {
  if (a.type() != b.type())
    return ::testing::AssertionFailure() << "type " << a.type() << " vs " << b.type();
  if (a.isByteArray()) {
    const Bytes x(a.bytes().begin(), a.bytes().end()), y(b.bytes().begin(), b.bytes().end());
    return x == y ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "bytes differ";
  }
  const std::string x = platform::toUtf8(platform::varToStr(a)), y = platform::toUtf8(platform::varToStr(b));
  return x == y ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "'" << x << "' vs '" << y << "'";
}

std::string what(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

struct RoundTrip {
  const char* name;
  TnxFieldType type;
  TnxWord32 codePage;
  int units, decimals;
  std::size_t length;
  Variant in;
  Bytes stored;  // the field buffer after the store
  Variant out;   // read back
  Bytes param;   // nxVariantToBytes
};

const std::u16string kJapanese = u"日本語ﾃｽﾄ①";
const char* const kJapaneseSjis = "93FA 967B 8CEA C3 BD C4 8740";  // 11 bytes

std::vector<RoundTrip> roundTrips() {
  const double dateTime = (739361.0 * 86400000) + 43200000;  // 2025-04-20 12:00
  const Bytes sjis = hex(kJapaneseSjis);
  Bytes shortSjis = {11};
  shortSjis.insert(shortSjis.end(), sjis.begin(), sjis.end());
  Bytes nullSjis = sjis;
  nullSjis.push_back(0);
  Bytes wide(kJapanese.size() * 2 + 2, 0);
  std::memcpy(wide.data(), kJapanese.data(), kJapanese.size() * 2);
  Bytes extendedOne = hex("0000000000000080FF3F");
  return {
      {"Boolean true", nxtBoolean, 0, 0, 0, 1, Variant(true), hex("01"), Variant(true), hex("FF")},
      {"Boolean false", nxtBoolean, 0, 0, 0, 1, Variant(false), hex("00"), Variant(false), hex("00")},
      {"Char 932", nxtChar, 932, 1, 0, 1, Variant(u"A"), hex("41"), Variant(u"A"), hex("41")},
      {"Char cp0 kana", nxtChar, 0, 1, 0, 1, Variant(u"ｱ"), hex("B1"), Variant(u"ｱ"), hex("B1")},
      {"Char 1252", nxtChar, 1252, 1, 0, 1, Variant(u"\u00E9"), hex("E9"), Variant(u"\u00E9"), hex("E9")},
      {"Char cp0 integer", nxtChar, 0, 1, 0, 1, Variant(0x141), hex("41"), Variant(u"A"), hex("41")},
      {"WideChar", nxtWideChar, 0, 1, 0, 2, Variant(u"語"), hex("9E8A"), Variant(u"語"), hex("9E8A")},
      {"Byte", nxtByte, 0, 3, 0, 1, Variant(200), hex("C8"), Variant::fromByte(200), hex("C8")},
      {"Byte fraction", nxtByte, 0, 3, 0, 1, Variant(2.9), hex("02"), Variant::fromByte(2), hex("02")},
      {"Word16", nxtWord16, 0, 5, 0, 2, Variant(65535), hex("FFFF"), Variant::fromWord(65535), hex("FFFF")},
      {"Word16 -0.5", nxtWord16, 0, 5, 0, 2, Variant(-0.5), hex("0000"), Variant::fromWord(0), hex("0000")},
      {"Word32 high", nxtWord32, 0, 10, 0, 4, Variant(4000000000.0), hex("00286BEE"), Variant(4000000000.0),
       hex("00286BEE")},
      {"Word32 low", nxtWord32, 0, 10, 0, 4, Variant(7), hex("07000000"), Variant(7), hex("07000000")},
      {"Int8", nxtInt8, 0, 3, 0, 1, Variant(-128), hex("80"), Variant::fromShortInt(-128), hex("80")},
      {"Int16", nxtInt16, 0, 5, 0, 2, Variant(-2), hex("FEFF"), Variant::fromSmallint(-2), hex("FEFF")},
      {"Int32", nxtInt32, 0, 10, 0, 4, Variant(-1), hex("FFFFFFFF"), Variant(-1), hex("FFFFFFFF")},
      {"Int32 from text", nxtInt32, 0, 10, 0, 4, Variant(u"-7.9"), hex("F9FFFFFF"), Variant(-7), hex("F9FFFFFF")},
      {"Int64", nxtInt64, 0, 20, 0, 8, Variant(0x0102030405060708LL), hex("0807060504030201"),
       Variant(0x0102030405060708LL), hex("0807060504030201")},
      {"Int64 currency", nxtInt64, 0, 20, 0, 8, Variant(platform::Currency::fromRaw(-129999)),
       hex("F4FFFFFFFFFFFFFF"), Variant(-12LL), {}},
      {"RefNr", nxtRefNr, 0, 20, 0, 8, Variant(-2LL), hex("FEFFFFFFFFFFFFFF"), Variant(-2LL), hex("FEFFFFFFFFFFFFFF")},
      {"AutoInc", nxtAutoInc, 0, 10, 0, 4, Variant(4294967295LL), hex("FFFFFFFF"), Variant(4294967295.0),
       hex("FFFFFFFF")},
      {"RecRev", nxtRecRev, 0, 10, 0, 4, Variant(5), hex("05000000"), Variant(5), hex("05000000")},
      {"Single", nxtSingle, 0, 0, 0, 4, Variant(1.5), hex("0000C03F"), Variant(1.5), hex("0000C03F")},
      {"Double", nxtDouble, 0, 0, 0, 8, Variant(0.1), hex("9A9999999999B93F"), Variant(0.1), hex("9A9999999999B93F")},
      {"Extended", nxtExtended, 0, 0, 0, 10, Variant(1.0), extendedOne, Variant(1.0), extendedOne},
      {"Extended from BCD", nxtExtended, 0, 0, 0, 10, bcdVar(u"1"), extendedOne, Variant(1.0), extendedOne},
      {"Currency", nxtCurrency, 0, 20, 4, 8, Variant(platform::Currency::fromRaw(12345)), hex("3930000000000000"),
       Variant(platform::Currency::fromRaw(12345)), hex("3930000000000000")},
      {"Date", nxtDate, 0, 0, 0, 4, Variant::fromDate(45767), hex("21480B00"), Variant::fromDate(45767),
       hex("21480B00")},
      {"Time", nxtTime, 0, 0, 0, 4, Variant::fromDate(0.5), hex("002E9302"), Variant::fromDate(0.5), hex("002E9302")},
      {"DateTime", nxtDateTime, 0, 0, 0, 8, Variant::fromDate(45767.5), bytesOf(dateTime), Variant::fromDate(45767.5),
       bytesOf(dateTime)},
      {"DateTime 1899-12-30", nxtDateTime, 0, 0, 0, 8, Variant::fromDate(0), bytesOf(693594.0 * 86400000),
       Variant::fromDate(0), bytesOf(693594.0 * 86400000)},
      {"ByteArray", nxtByteArray, 0, 4, 0, 4, Variant::byteArray(hex("010203")), hex("01020300"),
       Variant::byteArray(hex("01020300")), hex("010203")},
      {"ByteArray empty", nxtByteArray, 0, 4, 0, 4, Variant::byteArray({}), hex("00000000"),
       Variant::byteArray(hex("00000000")), {}},
      {"ShortString 932", nxtShortString, 932, 11, 0, 12, Variant(kJapanese), shortSjis, Variant(kJapanese), shortSjis},
      {"ShortString cp0", nxtShortString, 0, 11, 0, 12, Variant(kJapanese), shortSjis, Variant(kJapanese), shortSjis},
      {"NullString 932", nxtNullString, 932, 11, 0, 12, Variant(kJapanese), nullSjis, Variant(kJapanese), nullSjis},
      {"NullString cp0", nxtNullString, 0, 11, 0, 12, Variant(kJapanese), nullSjis, Variant(kJapanese), nullSjis},
      {"NullString from 8-bit", nxtNullString, 0, 11, 0, 12,
       Variant(platform::AnsiString{std::string(sjis.begin(), sjis.end()), 932}), nullSjis, Variant(kJapanese),
       nullSjis},
      {"NullString from bytes", nxtNullString, 932, 11, 0, 12, Variant::byteArray(sjis), nullSjis, Variant(kJapanese),
       {}},
      {"BlobMemo 932", nxtBlobMemo, 932, 0, 0, 12, Variant(kJapanese), nullSjis, Variant(kJapanese), nullSjis},
      {"WideString", nxtWideString, 0, 7, 0, 16, Variant(kJapanese), wide, Variant(kJapanese), wide},
      {"BlobWideMemo", nxtBlobWideMemo, 0, 0, 0, 16, Variant(kJapanese), wide, Variant(kJapanese), wide},
      {"Guid", nxtGuid, 0, 0, 0, 16, Variant(u"{01234567-89ab-CDEF-0123-456789ABCDEF}"),
       hex("67452301 AB89 EFCD 0123456789ABCDEF"), Variant(u"{01234567-89AB-CDEF-0123-456789ABCDEF}"),
       hex("67452301 AB89 EFCD 0123456789ABCDEF")},
      {"BCD", nxtBCD, 0, 10, 2, 8, Variant(123.456), bytesOf<std::int64_t>(1234500),
       Variant(platform::Currency::fromRaw(1234500)), bytesOf<std::int64_t>(1234500)},
      {"BCD from text", nxtBCD, 0, 10, 2, 8, Variant(u"-7.259"), bytesOf<std::int64_t>(-72500),
       Variant(platform::Currency::fromRaw(-72500)), bytesOf<std::int64_t>(-72500)},
      {"FmtBCD", nxtFmtBCD, 0, 5, 2, 5, Variant(u"-123.456"), hex("05 82 12 34 50"), bcdVar(u"-123.45"),
       hex("05 82 12 34 50")},
      {"FmtBCD from BCD", nxtFmtBCD, 0, 4, 1, 4, bcdVar(u"2.5"), hex("04 01 00 25"), bcdVar(u"2.5"),
       hex("04 01 00 25")},
  };
}

TEST(nxsdNativeVariantConverter, RoundTripsEveryType) {
  for (const RoundTrip& c : roundTrips()) {
    SCOPED_TRACE(c.name);
    Bytes buf(c.length, 0xAA);
    nxVariantToFieldBuffer(c.type, c.codePage, c.units, c.decimals, c.in, buf.data(), buf.size());
    EXPECT_EQ(buf, c.stored);
    Variant out;
    nxFieldBufferToVariant(c.type, c.codePage, c.units, c.decimals, buf.data(), buf.size(), out);
    EXPECT_TRUE(sameVariant(out, c.out));
    if (!c.param.empty()) {
      Bytes param(3, 0xEE);  // not cleared on entry: must still come out exact
      nxVariantToBytes(c.type, c.codePage, c.units, c.decimals, c.in, param);
      EXPECT_EQ(param, c.param);
    }
  }
}

TEST(nxsdNativeVariantConverter, CharFieldWithoutCodePageReadsInTheCodePageItWasWrittenIn) {
  // Bytes above $7F are system ANSI (932) text, not code points.
  const struct {
    std::uint8_t byte;
    std::u16string text;
  } cases[] = {{0xB1, u"ｱ"}, {0xDF, u"ﾟ"}, {0x5C, u"\\"}, {0x00, std::u16string(1, u'\0')}};
  for (const auto& c : cases) {
    Variant out;
    nxFieldBufferToVariant(nxtChar, 0, 1, 0, &c.byte, 1, out);
    EXPECT_EQ(out.toString(), c.text) << int(c.byte);
    std::uint8_t back = 0xAA;
    if (c.byte) {
      nxVariantToFieldBuffer(nxtChar, 0, 1, 0, out, &back, 1);
      EXPECT_EQ(back, c.byte);
    }
  }
}

TEST(nxsdNativeVariantConverter, NarrowIntegersAreRangeChecked) {
  const struct {
    TnxFieldType type;
    Variant value;
    const char* shown;
  } cases[] = {
      {nxtByte, Variant(300), "300"},          {nxtByte, Variant(-1), "-1"},
      {nxtByte, Variant(true), "-1"},          {nxtWord16, Variant(65536), "65536"},
      {nxtWord16, Variant(-1.5), "-1"},        {nxtInt8, Variant(128), "128"},
      {nxtInt8, Variant(-129), "-129"},        {nxtInt16, Variant(32768), "32768"},
      {nxtInt16, Variant(u"-40000"), "-40000"}, {nxtWord32, Variant(-1), "-1"},
      {nxtWord32, Variant(4294967296LL), "4294967296"}, {nxtInt32, Variant(2147483648.0), "2147483648"},
      {nxtByte, bcdVar(u"256.5"), "256"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.shown) + " into type " + std::to_string(c.type));
    const std::string want = std::string("Value out of range for the target column type: ") + c.shown;
    std::uint8_t buf[8] = {};
    EXPECT_EQ(what([&] { nxVariantToFieldBuffer(c.type, 0, 0, 0, c.value, buf, sizeof buf); }), want);
    EXPECT_THROW(nxVariantToFieldBuffer(c.type, 0, 0, 0, c.value, buf, sizeof buf), platform::RangeError);
    // Parameter bytes narrow exactly as the store does (not 300 -> 44).
    Bytes param;
    EXPECT_EQ(what([&] { nxVariantToBytes(c.type, 0, 0, 0, c.value, param); }), want);
  }
}

TEST(nxsdNativeVariantConverter, RangeCheckFunctions) {
  const struct {
    bool (*check)(bool, std::int64_t);
    std::int64_t low, high;
  } cases[] = {
      {nxCheckByteRange, 0, 255},         {nxCheckWord16Range, 0, 65535},
      {nxCheckWord32Range, 0, 4294967295}, {nxCheckInt8Range, -128, 127},
      {nxCheckInt16Range, -32768, 32767}, {nxCheckInt32Range, -2147483648LL, 2147483647},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(c.check(true, c.low));
    EXPECT_TRUE(c.check(true, c.high));
    EXPECT_FALSE(c.check(false, c.low - 1));
    EXPECT_FALSE(c.check(false, c.high + 1));
    EXPECT_THROW(c.check(true, c.high + 1), platform::RangeError);
  }
}

TEST(nxsdNativeVariantConverter, TextWidth) {
  const struct {
    const char* name;
    TnxFieldType type;
    TnxWord32 codePage;
    int decimals;
    std::size_t length;
    Variant value;
    const char* error;   // without aTruncate
    Bytes truncated;     // with aTruncate; empty: the same error
  } cases[] = {
      {"null cp0", nxtNullString, 0, 0, 4, Variant(u"abcdef"),
       "Source string data is too wide (6) for the target field (3)", hex("61626300")},
      {"null 932", nxtNullString, 932, 0, 4, Variant(u"abcdef"),
       "Source string data is too wide for the target field (3)", hex("61626300")},
      // With a field code page truncation keeps characters, and their bytes must fit.
      {"null 932 characters", nxtNullString, 932, 0, 4, Variant(u"aｱbc"),
       "Source string data is too wide for the target field (3)", hex("61B16200")},
      {"null 932 double-byte", nxtNullString, 932, 0, 4, Variant(u"日本語"),
       "Source string data is too wide for the target field (3)", {}},
      {"null cp0 double-byte", nxtNullString, 0, 0, 4, Variant(u"aｱ日本"),
       "Source string data is too wide (6) for the target field (3)", hex("61B10000")},
      {"null utf8", nxtNullString, 65001, 0, 4, Variant(u"a\u00E9\u00E9"),
       "Source string data is too wide for the target field (3)", {}},
      // A short string in a field code page, or of UTF-16 text, must fit whole.
      {"short 932", nxtShortString, 932, 0, 4, Variant(u"ab日"),
       "Source string data is too wide for the target field (3)", {}},
      {"short 932 spaces count", nxtShortString, 932, 0, 4, Variant(u"ab  "),
       "Source string data is too wide for the target field (3)", {}},
      {"short cp0 8-bit", nxtShortString, 0, 0, 4, Variant(platform::AnsiString{"abcd", 0}),
       "Source string data is too wide (4) for the target field (3)", hex("03616263")},
      {"short cp0 text", nxtShortString, 0, 0, 4, Variant(u"ab日"),
       "Source string data is too wide for the target field (3)", {}},
      {"short cp0 fixed text", nxtShortString, 0, 2, 4, Variant(u"abcd"),
       "Source string data is too wide (4) for the target field (3)", hex("03616263")},
      {"wide", nxtWideString, 0, 0, 8, Variant(u"abcd"),
       "Source string data is too wide (8) for the target field (6)", hex("6100620063000000")},
      {"wide surrogate pair", nxtWideString, 0, 0, 8, Variant(u"ab\U0001F600"),
       "Source string data is too wide (8) for the target field (6)", hex("6100620000000000")},
      {"byte array", nxtByteArray, 0, 0, 2, Variant::byteArray(hex("010203")),
       "Source string data is too wide (3) for the target field (2)", hex("0102")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes buf(c.length, 0xAA);
    EXPECT_EQ(what([&] { nxVariantToFieldBuffer(c.type, c.codePage, 0, c.decimals, c.value, buf.data(), buf.size()); }),
              c.error);
    const auto truncating = [&] {
      nxVariantToFieldBufferEx(platform::defaultFormatSettings(), c.type, c.codePage, true, buf.size(), buf.data(),
                               c.value, c.decimals, 0);
    };
    if (c.truncated.empty())
      EXPECT_EQ(what(truncating), c.error);
    else {
      truncating();
      EXPECT_EQ(buf, c.truncated);
    }
  }
}

TEST(nxsdNativeVariantConverter, TrailingSpacesAndFixedWidth) {
  const struct {
    const char* name;
    TnxFieldType type;
    int decimals;
    std::size_t length;
    Variant value;
    Bytes stored;
    std::u16string readBack;  // with the same decimals
  } cases[] = {
      {"wide spaces do not fit", nxtWideString, 0, 8, Variant(u"abc  "), hex("6100620063000000"), u"abc"},
      {"wide fixed", nxtWideString, 3, 8, Variant(u"abc  "), hex("6100620063000000"), u"abc"},
      {"wide fixed pads", nxtWideString, 5, 12, Variant(u"abc"), hex("610062006300000000000000"), u"abc  "},
      {"wide spaces that fit stay", nxtWideString, 0, 12, Variant(u"ab "), hex("610062002000000000000000"), u"ab "},
      {"null spaces do not fit", nxtNullString, 0, 4, Variant(u"abc   "), hex("61626300"), u"abc"},
      {"null fixed", nxtNullString, 4, 5, Variant(u"ab  "), hex("6162000000"), u"ab  "},
      {"null stops at zero char", nxtNullString, 0, 6, Variant(std::u16string(u"ab\0cd", 5)), hex("616200000000"),
       u"ab"},
      {"short fixed", nxtShortString, 4, 5, Variant(u"ab  "), hex("0261620000"), u"ab  "},
      {"short spaces do not fit", nxtShortString, 0, 4, Variant(u"ab   "), hex("03616220"), u"ab "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes buf(c.length, 0xAA);
    nxVariantToFieldBuffer(c.type, 0, 0, c.decimals, c.value, buf.data(), buf.size());
    EXPECT_EQ(buf, c.stored);
    Variant out;
    nxFieldBufferToVariant(c.type, 0, 0, c.decimals, buf.data(), buf.size(), out);
    EXPECT_EQ(out.toString(), c.readBack);
  }
  Variant out;
  nxFieldBufferToVariant(nxtWideString, 0, 0, 5, hex("6100620063000000").data(), 8, out);
  EXPECT_EQ(out.toString(), u"abc  ");
}

TEST(nxsdNativeVariantConverter, BlobBuffersReadAsByteArrays) {
  const Bytes buf = hex("0102030405060708");
  for (TnxFieldType type : {nxtBlob, nxtBlobGraphic}) {
    Variant out;
    nxFieldBufferToVariant(type, 0, 0, 0, buf.data(), buf.size(), out);
    EXPECT_TRUE(sameVariant(out, Variant::byteArray(buf)));
  }
}

TEST(nxsdNativeVariantConverter, ShortStringLengthByteBeyondTheField) {
  const Bytes buf = hex("C8 41 42 43");  // claims 200 bytes in a 4-byte field
  Variant out;
  nxFieldBufferToVariant(nxtShortString, 932, 3, 0, buf.data(), buf.size(), out);
  EXPECT_EQ(out.toString(), u"ABC");
}

TEST(nxsdNativeVariantConverter, CharacterFormat) {
  const std::string kInvalid = "DazavAV: Invalid char format (length must be exactly 1) [no error code]";
  const struct {
    TnxFieldType type;
    TnxWord32 codePage;
    Variant value;
  } cases[] = {
      {nxtWideChar, 0, Variant(u"ab")}, {nxtWideChar, 0, Variant(u"")},      {nxtChar, 932, Variant(u"日")},
      {nxtChar, 932, Variant(u"ab")},   {nxtChar, 0, Variant(u"日")},        {nxtChar, 0, Variant(1.5)},
      {nxtChar, 0, Variant(u"")},       {nxtWideChar, 0, Variant(u"\U0001F600")},
  };
  for (const auto& c : cases) {
    std::uint8_t buf[2] = {};
    EXPECT_EQ(what([&] { nxVariantToFieldBuffer(c.type, c.codePage, 1, 0, c.value, buf, sizeof buf); }), kInvalid);
    try {
      nxVariantToFieldBuffer(c.type, c.codePage, 1, 0, c.value, buf, sizeof buf);
      ADD_FAILURE() << "no exception";
    } catch (const EnxBaseException& e) {
      EXPECT_EQ(e.ErrorCode(), 0u);
      EXPECT_FALSE(e.HasCustomInfos());
    }
  }
}

TEST(nxsdNativeVariantConverter, Timestamps) {
  double ms = 0;
  EXPECT_EQ(what([&] { nxVariantToFieldBuffer(nxtDateTime, 0, 0, 0, Variant(0), &ms, 8); }),
            "0 (zero) is not a valid timestamp");
  Bytes param;
  EXPECT_EQ(what([&] { nxVariantToBytes(nxtDateTime, 0, 0, 0, Variant(0.0), param); }),
            "0 (zero) is not a valid timestamp");
  // A date of 1899-12-30 is not a numeric zero.
  nxVariantToFieldBuffer(nxtDateTime, 0, 0, 0, Variant::fromDate(0), &ms, 8);
  EXPECT_EQ(ms, 693594.0 * 86400000);
  // Only small integer to currency and byte to 64-bit integer count as numeric zeros.
  for (const Variant& zero : {Variant::fromShortInt(0), Variant(std::uint64_t{0})}) {
    SCOPED_TRACE(zero.type());
    ms = -1;
    nxVariantToFieldBuffer(nxtDateTime, 0, 0, 0, zero, &ms, 8);
    EXPECT_EQ(ms, 693594.0 * 86400000);
  }
  for (const Variant& zero : {Variant::fromSmallint(0), Variant::fromByte(0), Variant::fromWord(0),
                              Variant(platform::Currency::fromRaw(0)), Variant(0LL), Variant(0u)})
    EXPECT_EQ(what([&] { nxVariantToFieldBuffer(nxtDateTime, 0, 0, 0, zero, &ms, 8); }),
              "0 (zero) is not a valid timestamp");

  // Text in the store follows the format settings; parameter text is the fixed form.
  nxVariantToFieldBuffer(nxtDateTime, 0, 0, 0, Variant(u"2025/04/20 12:00:00"), &ms, 8);
  EXPECT_EQ(ms, 739361.0 * 86400000 + 43200000);
  nxVariantToBytes(nxtDateTime, 0, 0, 0, Variant(u"2025-04-20 12:00:00"), param);
  EXPECT_EQ(param, bytesOf(739361.0 * 86400000 + 43200000));
  EXPECT_THROW(nxVariantToBytes(nxtDateTime, 0, 0, 0, Variant(u"2025/04/20 12:00:00"), param),
               platform::RuntimeError);
  nxVariantToBytes(nxtDate, 0, 0, 0, Variant(u"'2025-04-20'"), param);
  EXPECT_EQ(param, hex("21480B00"));
  nxVariantToBytes(nxtTime, 0, 0, 0, Variant(u"12:00:00.001"), param);
  EXPECT_EQ(param, bytesOf<std::int32_t>(43200001));

  const std::int32_t day = 693595;
  Variant out;
  nxFieldBufferToVariant(nxtDate, 0, 0, 0, &day, 4, out);
  EXPECT_EQ(out.type(), platform::varDate);
  EXPECT_EQ(out.toDateTime(), 1.0);  // 1899-12-31
}

TEST(nxsdNativeVariantConverter, PackedDecimalIntoOtherTypes) {
  const struct {
    TnxFieldType type;
    const char16_t* value;
    Bytes stored;
  } cases[] = {
      {nxtBoolean, u"-1.5", hex("00")},  {nxtBoolean, u"2.5", hex("01")},
      {nxtBoolean, u"0", hex("00")},     {nxtByte, u"255.9", hex("FF")},
      {nxtInt64, u"-99.9", hex("9DFFFFFFFFFFFFFF")}, {nxtCurrency, u"1.23456", bytesOf<std::int64_t>(12346)},
      {nxtBCD, u"-0.00005", bytesOf<std::int64_t>(0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(platform::toUtf8(c.value));
    Bytes buf(c.stored.size(), 0xAA);
    nxVariantToFieldBuffer(c.type, 0, 10, 2, bcdVar(c.value), buf.data(), buf.size());
    EXPECT_EQ(buf, c.stored);
  }
}

TEST(nxsdNativeVariantConverter, NullsAndEmpties) {
  Bytes param = hex("0102");
  nxVariantToBytes(nxtInt32, 0, 0, 0, Variant::null(), param);
  EXPECT_TRUE(param.empty());
  param = hex("0102");
  nxVariantToBytes(nxtBlob, 0, 0, 0, Variant(1), param);
  EXPECT_EQ(param, hex("0102"));  // left as it was given
  nxVariantToBytes(nxtByteArray, 0, 0, 0, Variant(u"text"), param);
  EXPECT_TRUE(param.empty());
  nxVariantToBytes(nxtNullString, 932, 0, 0, Variant(u""), param);
  EXPECT_EQ(param, hex("00"));
  nxVariantToBytes(nxtShortString, 932, 0, 0, Variant(u""), param);
  EXPECT_EQ(param, hex("00"));
  nxVariantToBytes(nxtWideString, 0, 0, 0, Variant(u"ab"), param);
  EXPECT_EQ(param, hex("610062000000"));

  EXPECT_TRUE(nxVarIsNullOrEmpty(Variant()));
  EXPECT_TRUE(nxVarIsNullOrEmpty(Variant::null()));
  EXPECT_FALSE(nxVarIsNullOrEmpty(Variant(0)));
  EXPECT_FALSE(nxVarIsNullOrEmpty(Variant(u"")));

  // A non-byte-array into a byte array field leaves it cleared.
  Bytes buf(3, 0xAA);
  nxVariantToFieldBuffer(nxtByteArray, 0, 3, 0, Variant(5), buf.data(), buf.size());
  EXPECT_EQ(buf, hex("000000"));
  // A null into a value field is refused, never stored as something.
  EXPECT_THROW(nxVariantToFieldBuffer(nxtInt32, 0, 0, 0, Variant::null(), buf.data(), 4), platform::VariantTypeError);
}

TEST(nxsdNativeVariantConverter, ParameterBytesSpecifics) {
  Bytes param;
  nxVariantToBytes(nxtShortString, 0, 0, 0, Variant(std::u16string(255, u'x')), param);
  EXPECT_EQ(param.size(), 256u);
  EXPECT_EQ(param[0], 255);
  EXPECT_EQ(what([&] { nxVariantToBytes(nxtShortString, 0, 0, 0, Variant(std::u16string(129, u'日')), param); }),
            "Source string data is too wide (258) for the target field (255)");
  nxVariantToBytes(nxtNullString, 0, 0, 3, Variant(u"ab  "), param);
  EXPECT_EQ(param, hex("616200"));
  // Long words are range-checked too, not wrapped to a negative number.
  EXPECT_EQ(what([&] { nxVariantToBytes(nxtInt32, 0, 0, 0, Variant(4000000000u), param); }),
            "Value out of range for the target column type: 4000000000");
  nxVariantToBytes(nxtFmtBCD, 0, 3, 1, Variant(12.34), param);
  EXPECT_EQ(param, hex("03 01 12 30"));
}

TEST(nxsdNativeVariantConverter, ExtendedHoldsLargeIntegersExactly) {
  const struct {
    Variant value;
    long double want;
  } cases[] = {
      {Variant(9007199254740993LL), 9007199254740993.0L},  // 2^53 + 1: no double holds it
      {Variant(std::numeric_limits<long long>::max()), 9223372036854775807.0L},
      {Variant(std::uint64_t{18446744073709551615u}), 18446744073709551615.0L},
      {Variant(platform::Currency::fromRaw(9007199254740993LL)), 9007199254740993.0L / 10000.0L},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.type());
    platform::Extended e;
    nxVariantToFieldBuffer(nxtExtended, 0, 0, 0, c.value, e.bytes.data(), e.bytes.size());
    EXPECT_EQ(e.toLongDouble(), c.want);
    Bytes param;
    nxVariantToBytes(nxtExtended, 0, 0, 0, c.value, param);
    EXPECT_EQ(param, Bytes(e.bytes.begin(), e.bytes.end()));
  }
}

TEST(nxsdNativeVariantConverter, VarBytesToString) {
  nxString text;
  nxVarBytesToString(Variant::byteArray(hex("41 42 00 FF")), text);
  EXPECT_EQ(text, std::u16string(u"AB\0\u00FF", 4));
  EXPECT_THROW(nxVarBytesToString(Variant(u"AB"), text), platform::VariantTypeError);
}

TEST(nxsdNativeVariantConverter, TypesNotConvertedAreInternalErrors) {
  std::uint8_t buf[16] = {};
  Variant out;
  for (int type : {int(nxtInterval), 32, 127}) {
    SCOPED_TRACE(type);
    EXPECT_THROW(nxFieldBufferToVariant(static_cast<TnxFieldType>(type), 0, 0, 0, buf, 8, out),
                 platform::RuntimeError);
    EXPECT_THROW(nxVariantToFieldBuffer(static_cast<TnxFieldType>(type), 0, 0, 0, Variant(1), buf, 8),
                 platform::RuntimeError);
    Bytes param = hex("01");
    EXPECT_THROW(nxVariantToBytes(static_cast<TnxFieldType>(type), 0, 0, 0, Variant(1), param),
                 platform::RuntimeError);
    EXPECT_TRUE(param.empty());
  }
  EXPECT_THROW(nxVariantToFieldBuffer(nxtBlob, 0, 0, 0, Variant(1), buf, 8), platform::RuntimeError);
  // The high bit of the type code does not count.
  nxVariantToFieldBuffer(static_cast<TnxFieldType>(0x80 | nxtByte), 0, 0, 0, Variant(7), buf, 1);
  EXPECT_EQ(buf[0], 7);
  // A buffer shorter than the type is refused before anything is written.
  EXPECT_THROW(nxVariantToFieldBuffer(nxtInt64, 0, 0, 0, Variant(1), buf, 4), platform::RuntimeError);
  EXPECT_THROW(nxFieldBufferToVariant(nxtGuid, 0, 0, 0, buf, 15, out), platform::RuntimeError);
}

TEST(nxsdNativeVariantConverter, UnknownCodePageNamesTheStep) {
  // The engine's OS error exception: code 11047, the action, the OS error.
  const auto osError = [](const std::function<void()>& f) -> EnxBaseException {
    try {
      f();
    } catch (const EnxBaseException& e) {
      return e;
    }
    ADD_FAILURE() << "no exception";
    return EnxBaseException(u"none");
  };
  const Bytes buf = hex("41 00");
  Variant out;
  std::uint8_t b[4];
  const struct {
    std::function<void()> call;
    std::u16string action;
  } cases[] = {
      {[&] { nxFieldBufferToVariant(nxtNullString, 12345, 1, 0, buf.data(), buf.size(), out); },
       u"VariantFromNullStringPtr/MultiByteToWideChar/1"},
      {[&] { nxVariantToFieldBuffer(nxtNullString, 12345, 3, 0, Variant(u"a"), b, 4); },
       u"NullStringToBuffer/WideCharToMultiByte"},
      {[&] { nxVariantToFieldBuffer(nxtChar, 12345, 1, 0, Variant(u"a"), b, 1); },
       u"AnsiCharToBuffer/WideCharToMultiByte"},
  };
  for (const auto& c : cases) {
    const EnxBaseException e = osError(c.call);
    EXPECT_EQ(e.ErrorCode(), 11047u);
    EXPECT_NE(e.OSError(), 0u);
    EXPECT_EQ(e.CustomInfos().values(u"Action"), c.action);
    const std::string m = platform::toUtf8(e.Message());
    EXPECT_EQ(m.rfind("DazavAV: Operating system error in " + platform::toUtf8(c.action) + ": ", 0), 0u) << m;
    EXPECT_TRUE(m.ends_with(" [$2B27/11047]")) << m;
  }
}

}  // namespace
