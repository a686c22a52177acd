#include <limits>

#include "nxllBde.h"
#include "nxsdFieldMapperTestSupport.h"
#include "plDateTime.h"
#include "plGuid.h"

namespace {

using namespace fmtest;

constexpr TnxResult X = nxErrInvalidFieldXform;

class TextsTest : public MapperTest {
 protected:
  void SetUp() override {
    MapperTest::SetUp();
    platform::setNowSource([] { return platform::encodeDateTime(2023, 1, 1, 12, 0, 0, 0); });
  }
  void TearDown() override {
    platform::setNowSource(nullptr);
    MapperTest::TearDown();
  }
};

const F kShort{nxtShortString, 40};
const F kNull{nxtNullString, 40};
const F kWide{nxtWideString, 40};

TEST_F(TextsTest, BooleanWords) {
  checkRows({
      {"yes", kShort, sstr("yes"), {nxtBoolean}, Fail, 0, u8(0xFF)},
      {"TRUE", kNull, nstr("TRUE"), {nxtBoolean}, Fail, 0, u8(0xFF)},
      {"no", kShort, sstr("no"), {nxtBoolean}, Fail, 0, u8(0)},
      {"f", kWide, wstr(u"f"), {nxtBoolean}, Fail, 0, u8(0)},
      {"maybe", kShort, sstr("maybe"), {nxtBoolean}, Fail, X, none()},
      {"maybe, best fit", kShort, sstr("maybe"), {nxtBoolean}, Best, 0, u8(0)},
      {"leading space", kShort, sstr(" True"), {nxtBoolean}, Fail, X, none()},
      {"1, best fit", kWide, wstr(u"1"), {nxtBoolean}, Best, 0, u8(0xFF)},
  });
}

TEST_F(TextsTest, IntegersRefuseOrClampWhatTheTargetCannotHold) {
  checkRows({
      {"12ab", kShort, sstr("12ab"), {nxtInt32}, Fail, X, none()},
      {"12ab, best fit", kShort, sstr("12ab"), {nxtInt32}, Best, 0, i32(12)},
      {"$FF", kShort, sstr("$FF"), {nxtInt32}, Fail, 0, i32(255)},
      {"0x10", kNull, nstr("0x10"), {nxtInt16}, Fail, 0, i16(16)},
      {"  -42", kWide, wstr(u"  -42"), {nxtInt8}, Fail, 0, i8(-42)},
      {"trailing space", kShort, sstr("42 "), {nxtInt32}, Fail, X, none()},
      // Out of range: refused under checking, clamped under best fit.
      {"70000 to Int16", kShort, sstr("70000"), {nxtInt16}, Fail, X, none()},
      {"70000 to Int16, best fit", kShort, sstr("70000"), {nxtInt16}, Best, 0, i16(32767)},
      {"300 to Byte", kNull, nstr("300"), {nxtByte}, Fail, X, none()},
      {"300 to Byte, best fit", kNull, nstr("300"), {nxtByte}, Best, 0, u8(255)},
      {"-1 to Word32, best fit", kShort, sstr("-1"), {nxtWord32}, Best, 0, u32(0)},
      // Text that is no number at all: checking refuses it for Byte as for
      // every other integer type, rather than storing 0 and answering success
      // (a made-up value reported as a good conversion); best fit still
      // stores 0.
      {"abc to Byte", kShort, sstr("abc"), {nxtByte}, Fail, X, none()},
      {"abc to Byte, best fit", kShort, sstr("abc"), {nxtByte}, Best, 0, u8(0)},
      {"4294967295 to AutoInc", kWide, wstr(u"4294967295"), {nxtAutoInc}, Fail, 0, u32(4294967295u)},
      {"int64 max", kShort, sstr("9223372036854775807"), {nxtInt64}, Fail, 0, i64(INT64_MAX)},
      {"beyond int64", kShort, sstr("9223372036854775808"), {nxtInt64}, Fail, X, none()},
      {"beyond int64, best fit", kShort, sstr("-99999999999999999999"), {nxtInt64}, Best, 0, i64(INT64_MIN)},
      {"empty", kShort, sstr(""), {nxtInt32}, Fail, X, none()},
  });
}

TEST_F(TextsTest, FloatsTakeThePointWhateverTheLocale) {
  const F german{nxtShortString, 20, 0, 0, 1031};
  checkRows({
      {"1.5E3", kShort, sstr("1.5E3"), {nxtDouble}, Fail, 0, f64(1500)},
      {"1,5", kShort, sstr("1,5"), {nxtDouble}, Fail, X, none()},
      {"1,5 in German", german, sstr("1,5"), {nxtDouble}, Fail, X, none()},
      {"1.5 in German", german, sstr("1.5"), {nxtDouble}, Fail, 0, f64(1.5)},
      {"-.25e-1", kWide, wstr(u"-.25e-1"), {nxtExtended}, Fail, 0, ext(-0.025L)},
      {"0.1 to Single", kNull, nstr("0.1"), {nxtSingle}, Fail, 0, f32(0.1f)},
      {"1e39 to Single", kNull, nstr("1e39"), {nxtSingle}, Fail, X, none()},
      {"1e", kNull, nstr("1e"), {nxtDouble}, Fail, X, none()},
      {"junk, best fit", kNull, nstr("x"), {nxtDouble}, Best, 0, f64(0)},
  });
}

TEST_F(TextsTest, CurrencyAndBcd) {
  checkRows({
      {"1.23456 rounds", kShort, sstr("1.23456"), {nxtCurrency}, Fail, 0, i64(12346)},
      {"0.00005 rounds up", kShort, sstr("0.00005"), {nxtCurrency}, Fail, 0, i64(1)},
      {"1e20", kShort, sstr("1e20"), {nxtCurrency}, Fail, X, none()},
      {"1e20, best fit", kShort, sstr("1e20"), {nxtCurrency}, Best, 0, i64(INT64_MAX)},
      {"junk, best fit", kShort, sstr("?"), {nxtCurrency}, Best, 0, i64(0)},
      {"12.34567 to BCD(10,4)", kShort, sstr("12.34567"), {nxtBCD, 10, 4}, Fail, X, none()},
      {"12.34567 to BCD(10,4), best fit", kShort, sstr("12.34567"), {nxtBCD, 10, 4}, Best, 0, i64(123456)},
      {"-7.5 to BCD(4,2)", kWide, wstr(u"-7.5"), {nxtBCD, 4, 2}, Fail, 0, i64(-75000)},
      {"123 to BCD(4,2), best fit", kNull, nstr("123"), {nxtBCD, 4, 2}, Best, 0, i64(999900)},
      {"1e3 to BCD", kNull, nstr("1e3"), {nxtBCD, 10, 2}, Fail, X, none()},
      {"1e3 to BCD, best fit", kNull, nstr("1e3"), {nxtBCD, 10, 2}, Best, 0, i64(0)},
  });
}

TEST_F(TextsTest, DatesAndTimesInTheSourceLocale) {
  // No locale: the system default (yyyy/mm/dd, hh:nn:ss).
  checkRows({
      {"date", kShort, sstr("2023/01/01"), {nxtDate}, Fail, 0, i32(738521)},
      {"date in Swedish", {nxtShortString, 20, 0, 0, 1053}, sstr("2023-01-01"), {nxtDate}, Fail, 0, i32(738521)},
      {"0001/01/01", kShort, sstr("0001/01/01"), {nxtDate}, Fail, X, none()},
      {"bad date, best fit", kShort, sstr("2023/13/01"), {nxtDate}, Best, 0, i32(1)},
      {"13:45:00", kWide, wstr(u"13:45:00"), {nxtTime}, Fail, 0, i32(49500000)},
      {"25:00", kShort, sstr("25:00"), {nxtTime}, Fail, X, none()},
      {"25:00, best fit", kShort, sstr("25:00"), {nxtTime}, Best, 0, i32(0)},
      {"date and time", kNull, nstr("2023/01/01 12:00:00"), {nxtDateTime}, Fail, 0, f64(63808257600000.0)},
      {"bad date-time", kNull, nstr("yesterday"), {nxtDateTime}, Fail, X, none()},
      {"bad date-time, best fit", kNull, nstr("yesterday"), {nxtDateTime}, Best, 0, f64(86400000)},
  });
}

TEST_F(TextsTest, GuidsCharactersAndBytes) {
  const std::string text = "{12345678-9ABC-DEF0-1122-334455667788}";
  const Bytes guid = bytesOf(platform::stringToGuid(std::string_view(text)));
  checkRows({
      {"GUID", kShort, sstr(text), {nxtGuid}, Fail, 0, guid},
      {"GUID from Wide", kWide, wstr(std::u16string(text.begin(), text.end())), {nxtGuid}, Best, 0, guid},
      {"bad GUID", kShort, sstr("{1234}"), {nxtGuid}, Fail, X, none()},
      {"bad GUID, best fit", kNull, nstr("{1234}"), {nxtGuid}, Best, 0, Bytes(16, 0)},
      {"Char", kShort, sstr("xyz"), {nxtChar}, Fail, 0, chr('x')},
      {"Char of empty", kShort, sstr(""), {nxtChar}, Fail, 0, chr(0)},
      {"Char from Wide", kWide, wstr(u"Qz"), {nxtChar}, Fail, 0, chr('Q')},
      {"WideChar", kShort, sstr("xyz"), {nxtWideChar}, Fail, 0, wch(u'x')},
      {"WideChar from two units", kWide, wstr(u"AB"), {nxtWideChar}, Fail, X, none()},
      {"WideChar from two units, best fit", kWide, wstr(u"AB"), {nxtWideChar}, Best, 0, wch(u'A')},
      {"WideChar from one unit", kWide, wstr(u"A"), {nxtWideChar}, Fail, 0, wch(u'A')},
      {"ByteArray too long", kShort, sstr("abcdef"), {nxtByteArray, 4}, Fail, X, none()},
      {"ByteArray, best fit", kShort, sstr("abcdef"), {nxtByteArray, 4}, Best, 0, Bytes{'a', 'b', 'c', 'd'}},
      {"ByteArray shorter", kShort, sstr("ab"), {nxtByteArray, 4}, Fail, 0, Bytes{'a', 'b', kFill, kFill}},
      {"ByteArray from Wide", kWide, wstr(u"a"), {nxtByteArray, 4}, Fail, 0, Bytes{'a', 0, kFill, kFill}},
  });
}

TEST_F(TextsTest, CodePagesOfTheText) {
  // A 932 source longer than its target decodes through its code page; an
  // empty value reads as it does without conversion.
  const F sjis{nxtShortString, 20, 0, 932};
  checkRows({
      {"empty to Int32", sjis, sstr(""), {nxtInt32, 0, 0, 932}, Fail, X, none()},
      {"empty to Char", sjis, sstr(""), {nxtChar, 0, 0, 932}, Fail, 0, chr(0)},
      {"empty to WideChar", sjis, sstr(""), {nxtWideChar, 0, 0, 932}, Fail, 0, wch(0)},
      {"digits", sjis, sstr("42"), {nxtInt32, 0, 0, 932}, Fail, 0, i32(42)},
      // Char between code pages: é of 1252 is 0x82 in 850.
      {"Char 1252 to 850", {nxtShortString, 5, 0, 1252}, sstr("\xE9"), {nxtChar, 0, 0, 850}, Fail, 0, chr('\x82')},
      {"Char without conversion", {nxtShortString, 5, 0, 1252}, sstr("\xE9"), {nxtChar}, Fail, 0, chr('\xE9')},
      {"WideChar of 932", sjis, sstr("\x82\xA0"), {nxtWideChar}, Fail, 0, wch(u'あ')},
  });
}

}  // namespace
