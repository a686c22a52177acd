#include "plVariant.h"

#include "plCodePage.h"
#include "plErrors.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

using namespace platform;

namespace {

enum class Outcome { Ok, Range, Type, Convert };

template <typename F>
Outcome outcomeOf(F&& f) {
  try {
    f();
    return Outcome::Ok;
  } catch (const RangeError&) {
    return Outcome::Range;
  } catch (const VariantTypeError&) {
    return Outcome::Type;
  } catch (const ConvertError&) {
    return Outcome::Convert;
  }
}

const char* name(Outcome o) {
  switch (o) {
    case Outcome::Ok: return "ok";
    case Outcome::Range: return "RangeError";
    case Outcome::Type: return "VariantTypeError";
    default: return "ConvertError";
  }
}

Variant ansi(const char* s, std::uint16_t cp = 0) { return Variant(AnsiString{s, cp}); }

}  // namespace

TEST(PlatformVariant, KindsAndCodes) {
  EXPECT_EQ(Variant().type(), varEmpty);
  EXPECT_EQ(Variant::null().type(), varNull);
  EXPECT_EQ(Variant(1).type(), varInteger);
  EXPECT_EQ(Variant(std::int64_t{1}).type(), varInt64);
  EXPECT_EQ(Variant(std::uint64_t{1}).type(), varUInt64);
  EXPECT_EQ(Variant(1u).type(), varLongWord);
  EXPECT_EQ(Variant(1.5).type(), varDouble);
  EXPECT_EQ(Variant(1.5f).type(), varSingle);
  EXPECT_EQ(Variant(true).type(), varBoolean);
  EXPECT_EQ(Variant(Currency::fromRaw(1)).type(), varCurrency);
  EXPECT_EQ(Variant(u"x").type(), varUString);
  EXPECT_EQ(ansi("x").type(), varString);
  EXPECT_EQ(Variant::fromOleStr(u"x").type(), varOleStr);
  EXPECT_EQ(Variant::fromDate(1).type(), varDate);
  EXPECT_EQ(Variant::fromByte(1).type(), varByte);
  EXPECT_EQ(Variant(strToBcd(u"1.5", japaneseFormatSettings())).type(), varFmtBcd);
  EXPECT_EQ(Variant::byteArray({}).type(), varArray | varByte);
  EXPECT_EQ(varTypeAsText(varArray | varByte), "Array Byte");
  EXPECT_TRUE(Variant().isNullOrEmpty());
  EXPECT_TRUE(Variant::null().isNullOrEmpty());
  EXPECT_FALSE(Variant(0).isNullOrEmpty());
  EXPECT_EQ(Variant::emptyParam().type(), varError);
  EXPECT_TRUE(Variant::emptyParam().isEmptyParam());
  EXPECT_FALSE(Variant::emptyParam().isNullOrEmpty());
  EXPECT_FALSE(Variant().isEmptyParam());
  EXPECT_EQ(varTypeAsText(varError), "Error");
  // The empty parameter is no value: it converts to nothing.
  EXPECT_EQ(outcomeOf([] { (void)Variant::emptyParam().toInt64(); }), Outcome::Type);
  EXPECT_EQ(outcomeOf([] { (void)Variant::emptyParam().toString(); }), Outcome::Type);
  EXPECT_EQ(outcomeOf([] { (void)Variant::emptyParam().asType(varInteger); }), Outcome::Type);
}

TEST(PlatformVariant, IntegerConversionsCheckTheirRange) {
  using Conv = std::function<void(const Variant&)>;
  const Conv toByte = [](const Variant& v) { (void)v.toUInt8(); };
  const Conv toWord = [](const Variant& v) { (void)v.toUInt16(); };
  const Conv toInt = [](const Variant& v) { (void)v.toInt32(); };
  const Conv toShort = [](const Variant& v) { (void)v.toInt8(); };
  const Conv toU64 = [](const Variant& v) { (void)v.toUInt64(); };
  const Conv toI64 = [](const Variant& v) { (void)v.toInt64(); };
  struct {
    const char* what;
    Variant value;
    const Conv* conv;
    Outcome expected;
  } cases[] = {
      {"300 -> byte", Variant(300), &toByte, Outcome::Range},
      {"255 -> byte", Variant(255), &toByte, Outcome::Ok},
      {"-1 -> word", Variant(-1), &toWord, Outcome::Range},
      {"2^31 -> integer", Variant(std::int64_t{1} << 31), &toInt, Outcome::Range},
      {"-2^31 -> integer", Variant(-(std::int64_t{1} << 31)), &toInt, Outcome::Ok},
      {"128 -> shortint", Variant(128), &toShort, Outcome::Range},
      {"2^63 uint64 -> int64", Variant(std::uint64_t{1} << 63), &toI64, Outcome::Range},
      {"-1 -> uint64", Variant(-1), &toU64, Outcome::Range},
      {"255.5 double -> byte (rounds to 256)", Variant(255.5), &toByte, Outcome::Range},
      {"1e19 -> int64", Variant(1e19), &toI64, Outcome::Range},
      {"NaN -> integer", Variant(std::nan("")), &toInt, Outcome::Range},
      {"True -> byte (True is -1)", Variant(true), &toByte, Outcome::Range},
      {"'300' -> byte", Variant(u"300"), &toByte, Outcome::Range},
      {"'12x' -> integer", Variant(u"12x"), &toInt, Outcome::Convert},
      {"null -> integer", Variant::null(), &toInt, Outcome::Type},
      {"array -> integer", Variant::byteArray({}), &toInt, Outcome::Type},
      {"empty -> byte", Variant(), &toByte, Outcome::Ok},
      {"BCD 1e40 -> int64", Variant(strToBcd(u"1e40", japaneseFormatSettings())), &toI64, Outcome::Range},
  };
  for (const auto& c : cases) {
    const Outcome got = outcomeOf([&] { (*c.conv)(c.value); });
    EXPECT_EQ(got, c.expected) << c.what << ": got " << name(got);
  }
}

TEST(PlatformVariant, ConversionValues) {
  // Floats and currency round to nearest with ties to even.
  EXPECT_EQ(Variant(2.5).toInt32(), 2);
  EXPECT_EQ(Variant(3.5).toInt32(), 4);
  EXPECT_EQ(Variant(-2.5).toInt32(), -2);
  EXPECT_EQ(Variant(2.9).toInt32(), 3);
  EXPECT_EQ(Variant(Currency::fromRaw(25000)).toInt32(), 2);
  EXPECT_EQ(Variant(Currency::fromRaw(-35000)).toInt64(), -4);
  EXPECT_EQ(Variant(2.00005).toCurrency().value, 20000);  // binary value just below the tie
  EXPECT_EQ(Variant(1.00005).toCurrency().value, 10001);  // and just above
  EXPECT_EQ(Variant(-1.23456).toCurrency().value, -12346);
  EXPECT_EQ(outcomeOf([] { (void)Variant(1e16).toCurrency(); }), Outcome::Range);
  EXPECT_EQ(outcomeOf([] { (void)Variant(1e39).toSingle(); }), Outcome::Range);
  // Empty is zero, "" and False; null is refused for every value kind.
  EXPECT_EQ(Variant().toInt64(), 0);
  EXPECT_EQ(Variant().toDouble(), 0.0);
  EXPECT_EQ(Variant().toString(), u"");
  EXPECT_FALSE(Variant().toBoolean());
  EXPECT_EQ(outcomeOf([] { (void)Variant::null().toString(); }), Outcome::Type);
  EXPECT_EQ(outcomeOf([] { (void)Variant::null().toDouble(); }), Outcome::Type);
  EXPECT_EQ(outcomeOf([] { (void)Variant::null().toBoolean(); }), Outcome::Type);
  EXPECT_EQ(varToStr(Variant::null()), u"");
  // Booleans are -1 and 0 as numbers.
  EXPECT_EQ(Variant(true).toInt32(), -1);
  EXPECT_EQ(Variant(false).toDouble(), 0.0);
  EXPECT_EQ(Variant(true).toString(), u"True");
  // Large unsigned values stay exact.
  EXPECT_EQ(Variant(std::numeric_limits<std::uint64_t>::max()).toString(), u"18446744073709551615");
  EXPECT_EQ(Variant(u"18446744073709551615").toUInt64(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(Variant(u"$FFFFFFFFFFFFFFFF").toUInt64(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(Variant(u"2.5").toUInt64(), 2u);
  EXPECT_EQ(outcomeOf([] { (void)Variant(u"18446744073709551616").toUInt64(); }), Outcome::Range);
  EXPECT_EQ(outcomeOf([] { (void)Variant(u"-1").toUInt64(); }), Outcome::Range);
  EXPECT_EQ(Variant(4000000000u).toDouble(), 4000000000.0);
}

TEST(PlatformVariant, TextAndNumbersBothWays) {
  const FormatSettings& ja = japaneseFormatSettings();
  FormatSettings comma = invariantFormatSettings();
  comma.DecimalSeparator = u',';
  struct {
    Variant value;
    const char16_t* text;
  } toText[] = {
      {Variant(-42), u"-42"},
      {Variant(0.1), u"0.1"},
      {Variant(0.1f), u"0.1"},
      {Variant(1e20), u"1E20"},
      {Variant(Currency::fromRaw(15)), u"0.0015"},
      {Variant::fromDate(encodeDateTime(2025, 4, 20, 9, 5, 0, 0)), u"2025/04/20 09:05:00"},
      {Variant(strToBcd(u"-7.50", ja)), u"-7.5"},
      {ansi("abc"), u"abc"},
      {ansi("\xE6\x97\xA5", 65001), u"日"},
  };
  for (const auto& c : toText) EXPECT_EQ(c.value.toString(ja), c.text) << toUtf8(c.text);
  EXPECT_EQ(Variant(2.5).toString(comma), u"2,5");

  EXPECT_EQ(Variant(u" 42 ").toInt32(), 42);
  EXPECT_EQ(Variant(u"$FF").toInt32(), 255);
  EXPECT_EQ(Variant(u"0x10").toInt32(), 16);
  EXPECT_EQ(Variant(u"2.5").toInt32(), 2);  // float text, ties to even
  EXPECT_EQ(Variant(u"1.5").toDouble(ja), 1.5);
  EXPECT_EQ(Variant(u"1,5").toDouble(comma), 1.5);
  EXPECT_EQ(outcomeOf([&] { (void)Variant(u"1,5").toDouble(ja); }), Outcome::Convert);
  EXPECT_EQ(Variant(u"12.34567").toCurrency(ja).value, 123457);
  EXPECT_EQ(Variant(u"2025/04/20").toDateTime(ja), encodeDate(2025, 4, 20));
  EXPECT_EQ(outcomeOf([&] { (void)Variant(u"2025/13/20").toDateTime(ja); }), Outcome::Convert);
  EXPECT_TRUE(Variant(u"TRUE").toBoolean());
  EXPECT_FALSE(Variant(u"false").toBoolean());
  EXPECT_TRUE(Variant(u"2").toBoolean());
  EXPECT_EQ(outcomeOf([] { (void)Variant(u"yes").toBoolean(); }), Outcome::Convert);
  EXPECT_EQ(Variant(u"-0.250").toFmtBcd(ja).Precision, 2);
  EXPECT_EQ(outcomeOf([&] { (void)Variant(u"1.2.3").toFmtBcd(ja); }), Outcome::Convert);
  EXPECT_EQ(ansi("plain", 932).toString(), u"plain");
  EXPECT_EQ(Variant(u"日本").toAnsiString(65001).bytes, "\xE6\x97\xA5\xE6\x9C\xAC");
}

TEST(PlatformVariant, EightBitTextUsesItsCodePage) {
  EXPECT_EQ(ansi("\x93\xfa").toString(), u"日");  // code page 0 = the system's (932)
  const AnsiString a = Variant(u"日").toAnsiString(0);
  EXPECT_EQ(a.bytes, "\x93\xfa");
  EXPECT_EQ(Variant(u"日").asType(varString).astring().bytes, "\x93\xfa");
  EXPECT_EQ(ansi("\xe9", 1252).toString(), u"é");
}

TEST(PlatformVariant, FmtBcdValues) {
  const FormatSettings& ja = japaneseFormatSettings();
  const Variant bcd(strToBcd(u"12345678901234567890.1234", ja));
  // Exact where the target can hold it; through 15 digits for doubles.
  EXPECT_EQ(bcd.toString(ja), u"12345678901234567890.1234");
  EXPECT_EQ(outcomeOf([&] { (void)bcd.toCurrency(); }), Outcome::Range);
  EXPECT_EQ(Variant(strToBcd(u"-2.5", ja)).toInt64(), -2);
  EXPECT_EQ(Variant(strToBcd(u"123.45675", ja)).toCurrency().value, 1234568);
  EXPECT_EQ(Variant(0.1).toFmtBcd(ja).Precision, 1);  // 0.1, not 0.1000000000000000055
  EXPECT_EQ(bcdToStr(Variant(Currency::fromRaw(-12345)).toFmtBcd(ja), ja), u"-1.2345");
  EXPECT_EQ(bcdToStr(Variant(std::numeric_limits<std::int64_t>::min()).toFmtBcd(ja), ja),
            u"-9223372036854775808");
  EXPECT_EQ(outcomeOf([] { (void)Variant(std::numeric_limits<double>::infinity()).toFmtBcd(); }),
            Outcome::Range);
  EXPECT_EQ(Variant(strToBcd(u"2.5", ja)).toDouble(), 2.5);
  EXPECT_TRUE(Variant(strToBcd(u"0.001", ja)).toBoolean());
}

TEST(PlatformVariant, AsTypeFollowsTheTable) {
  EXPECT_EQ(Variant(300).asType(varDouble).type(), varDouble);
  EXPECT_EQ(Variant(u"17").asType(varByte).toUInt8(), 17);
  EXPECT_EQ(Variant(17).asType(varOleStr).ustring(), u"17");
  EXPECT_EQ(Variant(u"x").asType(varNull).type(), varNull);
  EXPECT_EQ(outcomeOf([] { (void)Variant(300).asType(varByte); }), Outcome::Range);
  EXPECT_EQ(outcomeOf([] { (void)Variant(-1).asType(varLongWord); }), Outcome::Range);
  EXPECT_EQ(outcomeOf([] { (void)Variant::null().asType(varInteger); }), Outcome::Type);
  EXPECT_EQ(outcomeOf([] { (void)Variant(1).asType(varArray | varByte); }), Outcome::Type);
  EXPECT_EQ(outcomeOf([] { (void)Variant::byteArray({}).asType(varUString); }), Outcome::Type);
  try {
    (void)Variant::null().toInt32();
    FAIL();
  } catch (const VariantTypeError& e) {
    EXPECT_STREQ(e.what(), "Could not convert variant of type (Null) into type (Integer)");
  }
}

TEST(PlatformVariant, ArraysOfBytesAndOfVariants) {
  const std::uint8_t raw[] = {0x41, 0x42, 0x00};
  Variant bytes = Variant::byteArray(raw);
  EXPECT_EQ(bytes.arrayLowBound(), 0);
  EXPECT_EQ(bytes.arrayHighBound(), 2);
  EXPECT_EQ(bytes.arrayGet(1).toUInt8(), 0x42);
  EXPECT_EQ(bytes.arrayGet(1).type(), varByte);
  // Copies are independent.
  Variant copy = bytes;
  copy.mutableBytes()[0] = 0x5A;
  copy.arrayPut(2, Variant(7));
  EXPECT_EQ(bytes.bytes()[0], 0x41);
  EXPECT_EQ(bytes.bytes()[2], 0);
  EXPECT_EQ(copy.bytes()[0], 0x5A);
  EXPECT_EQ(copy.bytes()[2], 7);
  // A put that does not fit leaves the array unchanged.
  EXPECT_EQ(outcomeOf([&] { copy.arrayPut(0, Variant(256)); }), Outcome::Range);
  EXPECT_EQ(copy.bytes()[0], 0x5A);
  EXPECT_EQ(outcomeOf([&] { (void)copy.arrayGet(3); }), Outcome::Range);
  EXPECT_EQ(outcomeOf([&] { (void)copy.arrayGet(-1); }), Outcome::Range);
  copy.arrayRedim(4);
  EXPECT_EQ(copy.bytes().size(), 5u);
  EXPECT_EQ(copy.bytes()[4], 0);

  Variant list = Variant::createArray(1, 3, varVariant);
  EXPECT_TRUE(list.arrayGet(1).isEmpty());
  list.arrayPut(1, Variant(u"a"));
  list.arrayPut(2, Variant::null());
  list.arrayPut(3, bytes);
  EXPECT_EQ(list.arrayGet(1).toString(), u"a");
  EXPECT_TRUE(list.arrayGet(2).isNull());
  EXPECT_TRUE(list.arrayGet(3).isByteArray());
  Variant ints = Variant::createArray(0, 1, varInteger);
  ints.arrayPut(0, Variant(u"12"));
  EXPECT_EQ(ints.arrayGet(0).type(), varInteger);
  EXPECT_EQ(outcomeOf([] { (void)Variant::createArray(0, -2, varByte); }), Outcome::Range);
  EXPECT_EQ(outcomeOf([] { (void)Variant::createArray(0, 1, varNull); }), Outcome::Type);
  EXPECT_EQ(outcomeOf([] { (void)Variant(1).bytes(); }), Outcome::Type);
}

TEST(PlatformVariant, Comparison) {
  const FormatSettings& ja = japaneseFormatSettings();
  struct {
    Variant a, b;
    VarRelationship expected;
  } cases[] = {
      {Variant(1), Variant(1.0), VarRelationship::Equal},
      {Variant(2), Variant(Currency::fromRaw(15000)), VarRelationship::GreaterThan},
      {Variant(std::uint64_t{1} << 63), Variant(std::int64_t{-1}), VarRelationship::GreaterThan},
      // Integers compare exactly, also beyond a double's 53 bits.
      {Variant(std::int64_t{(1LL << 53) + 1}), Variant(std::int64_t{1LL << 53}), VarRelationship::GreaterThan},
      {Variant(strToBcd(u"2.50", ja)), Variant(2.5), VarRelationship::Equal},
      {Variant(strToBcd(u"-1", ja)), Variant(Currency::fromRaw(-10000)), VarRelationship::Equal},
      {Variant(u"abc"), Variant(u"abd"), VarRelationship::LessThan},
      {Variant(u"B"), Variant(u"a"), VarRelationship::LessThan},  // code units, not letters
      {Variant(u"10"), Variant(9), VarRelationship::GreaterThan},  // text against number: numbers
      {Variant::null(), Variant::null(), VarRelationship::Equal},
      {Variant::null(), Variant(0), VarRelationship::NotEqual},
      {Variant(), Variant(), VarRelationship::Equal},
      {Variant(), Variant::null(), VarRelationship::NotEqual},
      {Variant::emptyParam(), Variant::emptyParam(), VarRelationship::Equal},
      {Variant::emptyParam(), Variant(), VarRelationship::NotEqual},
      {Variant(0), Variant::emptyParam(), VarRelationship::NotEqual},
      {Variant(std::nan("")), Variant(1.0), VarRelationship::NotEqual},
      {Variant(false), Variant(true), VarRelationship::LessThan},
      {Variant::fromDate(encodeDate(2025, 4, 20)), Variant(u"2025/04/21"), VarRelationship::LessThan},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(varCompareValue(cases[i].a, cases[i].b), cases[i].expected) << "case " << i;
  const std::uint8_t x[] = {1, 2}, y[] = {1, 3};
  EXPECT_TRUE(Variant::byteArray(x) == Variant::byteArray(x));
  EXPECT_FALSE(Variant::byteArray(x) == Variant::byteArray(y));
  EXPECT_EQ(outcomeOf([] { (void)varCompareValue(Variant(u"x"), Variant(1)); }), Outcome::Convert);
}
