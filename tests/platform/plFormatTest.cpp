#include "plFormat.h"

#include "plDateTime.h"
#include "plErrors.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace platform;

namespace {

const FormatSettings& ja() { return japaneseFormatSettings(); }

FormatSettings european() {
  FormatSettings fs = invariantFormatSettings();
  fs.DecimalSeparator = u',';
  fs.ThousandSeparator = u'.';
  fs.CurrencyString = u"EUR";
  fs.CurrencyFormat = 3;
  fs.NegCurrFormat = 8;
  fs.CurrencyDecimals = 2;
  return fs;
}

void expectInvalid(UnicodeStringView fmt, std::initializer_list<FormatArg> args) {
  try {
    format(ja(), fmt, args);
    ADD_FAILURE() << "no error for " << toUtf8(fmt);
  } catch (const ConvertError& e) {
    EXPECT_EQ(std::string(e.what()), "Format '" + toUtf8(fmt) + "' invalid or incompatible with argument");
  }
}

}  // namespace

TEST(PlatformFormat, EngineMessageLayout) {
  EXPECT_EQ(format(u"DazavAV: %s [$%x/%d]", {u"Key violation", 0x2601, 9729}),
            u"DazavAV: Key violation [$2601/9729]");
  EXPECT_EQ(format(u"DazavAV: %s [$%x/%d]", {UnicodeString(u"At beginning of table."), 8705, 8705}),
            u"DazavAV: At beginning of table. [$2201/8705]");
  EXPECT_EQ(format(u"%s [no error code]", {AnsiString{"plain", 0}}), u"plain [no error code]");
  EXPECT_EQ(format(u"Unknown %s engine: \"%s\"", {u"Filter", "TnxFooEngine"}),
            u"Unknown Filter engine: \"TnxFooEngine\"");
}

TEST(PlatformFormat, IntegerDirectives) {
  struct {
    const char16_t* fmt;
    FormatArg arg;
    const char16_t* expected;
  } cases[] = {
      {u"%d", -42, u"-42"},
      {u"%5d|", 42, u"   42|"},
      {u"%-5d|", 42, u"42   |"},
      {u"%.4d", 42, u"0042"},
      {u"%.4d", -42, u"-0042"},
      {u"%6.3d|", 7, u"   007|"},
      {u"%x", 0xABCDEF, u"ABCDEF"},
      {u"%X", 255, u"FF"},
      {u"%.4x", 10, u"000A"},
      {u"%x", -1, u"FFFFFFFF"},
      {u"%x", std::int64_t{-1}, u"FFFFFFFFFFFFFFFF"},
      {u"%u", -1, u"4294967295"},
      {u"%d", std::numeric_limits<std::int64_t>::min(), u"-9223372036854775808"},
      {u"%d", std::numeric_limits<std::uint64_t>::max(), u"18446744073709551615"},
      {u"%d", 3000000000u, u"3000000000"},
      {u"%%d", 1, u"%d"},
  };
  for (const auto& c : cases) {
    if (UnicodeStringView(c.fmt) == u"%%d") {
      EXPECT_EQ(format(ja(), c.fmt, {}), c.expected);
      continue;
    }
    EXPECT_EQ(format(ja(), c.fmt, {c.arg}), c.expected) << toUtf8(c.fmt);
  }
}

TEST(PlatformFormat, FloatDirectives) {
  const FormatSettings eu = european();
  struct {
    const char16_t* fmt;
    FormatArg arg;
    const FormatSettings* fs;
    const char16_t* expected;
  } cases[] = {
      {u"%0.4f", 4.7501, &ja(), u"4.7501"},
      {u"%f", 2.0, &ja(), u"2.00"},
      {u"%.0f", 2.5, &ja(), u"3"},    // digit rounding is half away from zero
      {u"%.0f", -2.5, &ja(), u"-3"},
      {u"%.2f", 1.005, &ja(), u"1.00"},  // 1.005 is slightly below in binary
      {u"%.1f", -0.04, &ja(), u"0.0"},    // no sign on a zero result
      {u"%.3f", 1e-10, &ja(), u"0.000"},
      {u"%8.2f|", 3.14159, &ja(), u"    3.14|"},
      {u"%.0n", 1234567.0, &ja(), u"1,234,567"},
      {u"%.0n", -1234567.0, &ja(), u"-1,234,567"},
      {u"%n", 1234.5, &eu, u"1.234,50"},
      {u"%.0n", 999.0, &ja(), u"999"},
      // A 64-bit count passed as extended prints exactly.
      {u"%.0n", static_cast<long double>(std::numeric_limits<std::int64_t>::max()), &ja(),
       u"9,223,372,036,854,775,807"},
      {u"%e", 1.0, &ja(), u"1.00000000000000E+000"},
      {u"%.3e", -12345.0, &ja(), u"-1.23E+004"},
      {u"%.2e", 0.000123, &ja(), u"1.2E-004"},
      {u"%g", 0.1 + 0.2, &ja(), u"0.3"},
      {u"%g", 1e20, &ja(), u"1E20"},
      {u"%.3g", 1234.0, &ja(), u"1.23E3"},
      {u"%m", 1234.0, &ja(), u"\u00A51,234"},
      {u"%m", -1234.5, &ja(), u"-\u00A51,235"},
      {u"%m", -1234.5, &eu, u"-1.234,50 EUR"},
      {u"%m", Currency::fromRaw(12345), &eu, u"1,23 EUR"},  // 1.2345 rounded to the currency decimals
      {u"%.4f", Currency::fromRaw(-5), &ja(), u"-0.0005"},
      {u"%.2f", std::numeric_limits<double>::infinity(), &ja(), u"INF"},
      {u"%f", std::nan(""), &ja(), u"NAN"},
      {u"%.1f", 1e20, &ja(), u"1E20"},  // beyond 15 integer digits: scientific
  };
  for (const auto& c : cases) EXPECT_EQ(format(*c.fs, c.fmt, {c.arg}), c.expected) << toUtf8(c.fmt);
}

TEST(PlatformFormat, StringsPointersIndexesAndStars) {
  EXPECT_EQ(format(u"[%8s][%-8s][%.3s]", {u"abc", u"abc", u"abcdef"}), u"[     abc][abc     ][abc]");
  EXPECT_EQ(format(u"%1:s %0:s %s", {u"a", u"b"}), u"b a b");
  EXPECT_EQ(format(u"%0:s-%0:-3s|", {u"x"}), u"x-x  |");
  EXPECT_EQ(format(u"%*d|%-*d|%.*f", {5, 42, 4, 7, 3, 3.14159}), u"   42|7   |3.142");
  EXPECT_EQ(format(u"%s", {u'Z'}), u"Z");
  EXPECT_EQ(format(u"%p", {reinterpret_cast<const void*>(std::uintptr_t{0x1234ABCD})}), u"000000001234ABCD");
  EXPECT_EQ(format(u"no directives", {}), u"no directives");
  EXPECT_EQ(format(u"日本語 %s", {u"テキスト"}), u"日本語 テキスト");
}

TEST(PlatformFormat, MismatchesAndMissingArgumentsAreErrors) {
  expectInvalid(u"%d", {1.5});
  expectInvalid(u"%f", {1});  // integers are not floats
  expectInvalid(u"%s", {7});
  expectInvalid(u"%x", {u"7"});
  expectInvalid(u"%p", {7});
  expectInvalid(u"%y", {7});
  expectInvalid(u"abc %", {7});
  expectInvalid(u"%5", {7});
  expectInvalid(u"%*d", {u"5", 7});
  try {
    format(u"%s and %s", {u"one"});
    FAIL();
  } catch (const ConvertError& e) {
    EXPECT_STREQ(e.what(), "No argument for format '%s and %s'");
  }
  EXPECT_THROW(format(u"%2:s", {u"a", u"b"}), ConvertError);
}

TEST(PlatformFormat, FloatToStrAndBack) {
  struct {
    double v;
    const char16_t* text;
  } cases[] = {
      {0, u"0"},
      {0.1, u"0.1"},
      {-2.5, u"-2.5"},
      {1.0 / 3, u"0.333333333333333"},
      {100, u"100"},
      {123456789012345.0, u"123456789012345"},
      {1e15, u"1E15"},
      {0.0001, u"0.0001"},
      {0.00001, u"1E-5"},
      {1.5e-10, u"1.5E-10"},
      {-1.7976931348623157e308, u"-1.79769313486232E308"},
      {std::numeric_limits<double>::infinity(), u"INF"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(floatToStr(c.v, ja()), c.text) << c.v;
    // The text reads back to a value with the same text (15 digits do not always round-trip a double).
    double back;
    if (tryStrToFloat(c.text, back, ja())) {
      EXPECT_EQ(floatToStr(back, ja()), c.text);
    }
  }
  EXPECT_EQ(strToFloat(u"0.1", ja()), 0.1);
  EXPECT_EQ(strToFloat(u"-1.5E-10", ja()), -1.5e-10);
  EXPECT_EQ(floatToStr(2.5, european()), u"2,5");
  EXPECT_EQ(floatToStrF(1234.5678, FloatFormat::Fixed, 15, 2, ja()), u"1234.57");
  EXPECT_EQ(floatToStrF(1234.5678, FloatFormat::Number, 15, 1, ja()), u"1,234.6");
  EXPECT_EQ(floatToStrF(1234.5678, FloatFormat::Exponent, 4, 2, ja()), u"1.235E+03");

  // Parsing: separators of the settings, exponent, spaces; everything else refused.
  EXPECT_EQ(strToFloat(u" 1,5e3 ", european()), 1500.0);
  EXPECT_EQ(strToFloat(u"-.5", ja()), -0.5);
  EXPECT_EQ(strToFloat(u"1e-400", ja()), 0.0);
  EXPECT_TRUE(std::isnan(strToFloat(u"nan", ja())));
  const char16_t* bad[] = {u"", u"1,5", u"1.2.3", u"1e", u"abc", u"1 000", u"0x10", u"1e400", u"--1"};
  for (const char16_t* text : bad) {
    double out = 7;
    EXPECT_FALSE(tryStrToFloat(text, out, ja())) << toUtf8(text);
    EXPECT_EQ(out, 7);
  }
  try {
    strToFloat(u"12a", ja());
    FAIL();
  } catch (const ConvertError& e) {
    EXPECT_STREQ(e.what(), "'12a' is not a valid floating point value");
  }
}

TEST(PlatformFormat, IntegerTextAndDigitRecords) {
  struct {
    const char16_t* text;
    bool ok;
    std::int32_t value;
  } ints[] = {
      {u"42", true, 42},          {u" -42 ", true, -42},   {u"$FF", true, 255},
      {u"0x7fffffff", true, INT32_MAX}, {u"$FFFFFFFF", true, -1}, {u"2147483648", false, 0},
      {u"-2147483648", true, INT32_MIN}, {u"1.5", false, 0},     {u"", false, 0},
      {u"$", false, 0},           {u"12a", false, 0},      {u"+7", true, 7},
  };
  for (const auto& c : ints) {
    std::int32_t v = 0;
    EXPECT_EQ(tryStrToInt(c.text, v), c.ok) << toUtf8(c.text);
    if (c.ok) {
      EXPECT_EQ(v, c.value) << toUtf8(c.text);
    }
  }
  EXPECT_EQ(strToInt64(u"-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(strToInt64(u"$FFFFFFFFFFFFFFFF"), -1);
  EXPECT_THROW(strToInt64(u"9223372036854775808"), ConvertError);

  FloatRec r = floatToDecimal(-123.456, 15, 2);
  EXPECT_EQ(r.Exponent, 3);
  EXPECT_TRUE(r.Negative);
  EXPECT_EQ(r.Digits, "12346");
  r = floatToDecimal(0.0012345, 3, 9999);
  EXPECT_EQ(r.Exponent, -2);
  EXPECT_EQ(r.Digits, "123");
  r = floatToDecimal(1000.0, 15, 0);
  EXPECT_EQ(r.Exponent, 4);
  EXPECT_EQ(r.Digits, "1");
  r = floatToDecimal(0.004, 15, 2);
  EXPECT_EQ(r.Exponent, 0);
  EXPECT_EQ(r.Digits, "");
  EXPECT_EQ(floatToDecimal(std::nan(""), 15, 2).Exponent, -32768);
  EXPECT_EQ(floatToDecimal(-std::numeric_limits<double>::infinity(), 15, 2).Exponent, 32767);
}

TEST(PlatformFormat, FormatSettingsOfALocaleId) {
  // The system default and Japanese ids give the Japanese settings.
  for (std::uint32_t id : {0x800u, 0x400u, 1041u}) {
    const FormatSettings fs = localeFormatSettings(id);
    EXPECT_EQ(fs.ShortDateFormat, u"yyyy/mm/dd");
    EXPECT_EQ(fs.LongTimeFormat, u"hh:nn:ss");
  }
  EXPECT_EQ(localeFormatSettings(127).ShortDateFormat, u"mm/dd/yyyy");
  const FormatSettings de = localeFormatSettings(1031);
  EXPECT_EQ(de.DecimalSeparator, u',');
  EXPECT_EQ(de.ThousandSeparator, u'.');
  EXPECT_EQ(de.DateSeparator, u'.');
  EXPECT_EQ(de.ShortDateFormat, u"dd/mm/yyyy");
  EXPECT_EQ(de.LongTimeFormat, u"hh:nn:ss");
  const FormatSettings sv = localeFormatSettings(1053);
  EXPECT_EQ(sv.DateSeparator, u'-');
  EXPECT_EQ(sv.ShortDateFormat, u"yyyy/mm/dd");
  // A German date written and read back with the settings.
  const DateTime d = encodeDate(2023, 1, 31);
  EXPECT_EQ(dateToStr(d, de), u"31.01.2023");
  DateTime back = 0;
  ASSERT_TRUE(tryStrToDate(u"31.01.2023", back, de));
  EXPECT_EQ(back, d);
  EXPECT_THROW(localeFormatSettings(0x7FFF), OsError);
}
