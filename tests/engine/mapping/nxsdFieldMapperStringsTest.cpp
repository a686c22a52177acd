#include "nxllBde.h"
#include "nxTestWatchdog.h"
#include "nxsdFieldMapperTestSupport.h"

namespace {

using namespace fmtest;

constexpr TnxResult X = nxErrInvalidFieldXform;

using StringsTest = MapperTest;

// Code pages as field attributes.
F sstrF(std::int32_t aUnits, std::uint16_t aCodePage = 0, bool aFixed = false) {
  return {nxtShortString, aUnits, aFixed ? aUnits : 0, aCodePage};
}
F nstrF(std::int32_t aUnits, std::uint16_t aCodePage = 0, bool aFixed = false) {
  return {nxtNullString, aUnits, aFixed ? aUnits : 0, aCodePage};
}
F wstrF(std::int32_t aUnits, bool aFixed = false) { return {nxtWideString, aUnits, aFixed ? aUnits : 0}; }

TEST_F(StringsTest, CopiesCutOrRefuseByCapacity) {
  checkRows({
      {"exactly the units", sstrF(5), sstr("abcd"), sstrF(4), Fail, 0, sstr("abcd")},
      {"one more than the units", sstrF(5), sstr("abcde"), sstrF(4), Fail, X, none()},
      {"one more, best fit", sstrF(5), sstr("abcde"), sstrF(4), Best, 0, sstr("abcd")},
      {"ShortString into a wider one", sstrF(5), sstr("abcde"), sstrF(9), Fail, 0, sstr("abcde")},
      {"NullString, one more", nstrF(5), nstr("abcde"), nstrF(4), Fail, X, none()},
      {"NullString, best fit", nstrF(5), nstr("abcde"), nstrF(4), Best, 0, nstr("abcd")},
      {"ShortString to NullString", sstrF(5), sstr("abc"), nstrF(5), Fail, 0, nstr("abc")},
      {"NullString to ShortString, best fit", nstrF(6), nstr("abcdef"), sstrF(2), Best, 0, sstr("ab")},
  });
}

TEST_F(StringsTest, CodePagesDecideConversion) {
  checkRows({
      // é of 1252 is 0x82 in 850.
      {"1252 to 850", sstrF(3, 1252), sstr("\xE9"), sstrF(3, 850), Fail, 0, sstr("\x82")},
      {"1252 to 850, NullString", nstrF(3, 1252), nstr("x\xE9"), nstrF(3, 850), Best, 0, nstr("x\x82")},
      // A code page of 0 on one side: the bytes as they are.
      {"1252 to none", sstrF(3, 1252), sstr("\xE9"), sstrF(3), Fail, 0, sstr("\xE9")},
      {"none to 850", sstrF(3), sstr("\xE9"), sstrF(3, 850), Fail, 0, sstr("\xE9")},
      // The same single-byte code page on both sides: the bytes as they are,
      // even those the code page leaves undefined (0x81, 0x8D in 1252) that a
      // trip through UTF-16 would turn into the default character.
      {"1252 to 1252", sstrF(4, 1252), sstr("\x81\xE9\x8D"), sstrF(4, 1252), Fail, 0, sstr("\x81\xE9\x8D")},
      {"850 to 850, NullString, best fit", nstrF(3, 850), nstr("\x82\xFF"), nstrF(3, 850), Best, 0,
       nstr("\x82\xFF")},
      // A character 932 lacks becomes its default character.
      {"1252 to 932, unmappable", sstrF(3, 1252), sstr("a\xE9"), sstrF(3, 932), Fail, 0, sstr("a?")},
      // The same double-byte code page, shorter target: never split.
      {"932 shorter, best fit", sstrF(4, 932), sstr("a\x82\xA0"), sstrF(2, 932), Best, 0, sstr("a")},
      {"932 shorter", sstrF(4, 932), sstr("a\x82\xA0"), sstrF(2, 932), Fail, X, sstr("")},
      {"932 NullString shorter, best fit", nstrF(4, 932), nstr("\x82\xA0\x82\xA2"), nstrF(3, 932), Best, 0,
       nstr("\x82\xA0")},
      {"932 shorter, fits", sstrF(4, 932), sstr("\x82\xA0"), sstrF(2, 932), Fail, 0, sstr("\x82\xA0")},
      {"932 longer target copies", sstrF(2, 932), sstr("\x82\xA0"), sstrF(4, 932), Fail, 0, sstr("\x82\xA0")},
  });
}

TEST_F(StringsTest, WideAndEightBitTexts) {
  checkRows({
      {"Wide to 932, best fit", wstrF(4), wstr(u"日本"), sstrF(3, 932), Best, 0, sstr("\x93\xFA")},
      {"Wide to 932", wstrF(4), wstr(u"日本"), sstrF(3, 932), Fail, X, sstr("")},
      {"Wide to 932 NullString", wstrF(4), wstr(u"日本"), nstrF(4, 932), Fail, 0, nstr("\x93\xFA\x96\x7B")},
      {"Wide cut to units, best fit", wstrF(6), wstr(u"abcdef"), nstrF(3, 1252), Best, 0, nstr("abc")},
      {"932 to Wide", sstrF(4, 932), sstr("\x93\xFA\x96\x7B"), wstrF(5), Fail, 0, wstr(u"日本")},
      {"1252 to Wide", nstrF(3, 1252), nstr("\xE9"), wstrF(3), Fail, 0, wstr(u"é")},
      {"8-bit to narrow Wide", sstrF(3), sstr("abc"), wstrF(2), Fail, X, wstr(u"")},
      {"8-bit to narrow Wide, best fit", sstrF(3), sstr("abc"), wstrF(2), Best, 0, wstr(u"ab")},
      {"Wide into a narrower one", wstrF(2), wstr(u"AB"), wstrF(1), Fail, X, none()},
      {"Wide into a narrower one, best fit", wstrF(2), wstr(u"AB"), wstrF(1), Best, 0, wstr(u"A")},
      {"Wide into a wider one", wstrF(2), wstr(u"AB"), wstrF(5), Fail, 0, wstr(u"AB")},
  });
  EXPECT_FALSE(mapOnce(wstrF(2), wstr(u"AB"), wstrF(5), Fail).hasInstance);
  EXPECT_TRUE(mapOnce(wstrF(5), wstr(u"AB"), wstrF(2), Fail).hasInstance);
}

TEST_F(StringsTest, TrailingSpacesGoOnlyFromANonFixedSourceIntoAFixedTarget) {
  checkRows({
      {"into fixed", sstrF(5), sstr("AB  "), sstrF(5, 0, true), Fail, 0, sstr("AB")},
      {"into non-fixed", sstrF(5), sstr("AB  "), sstrF(5), Fail, 0, sstr("AB  ")},
      {"fixed source", sstrF(5, 0, true), sstr("AB  "), sstrF(5, 0, true), Fail, 0, sstr("AB  ")},
      {"cut then trimmed, best fit", nstrF(6), nstr("AB    "), nstrF(3, 0, true), Best, 0, nstr("AB")},
      {"trimmed then fits", nstrF(6), nstr("AB    "), nstrF(3, 0, true), Fail, 0, nstr("AB")},
      {"converting", sstrF(5, 1252), sstr("\xE9  "), sstrF(5, 850, true), Fail, 0, sstr("\x82")},
      {"Wide into fixed", wstrF(5), wstr(u"AB  "), wstrF(5, true), Fail, 0, wstr(u"AB")},
      {"Wide into fixed 8-bit", wstrF(5), wstr(u"AB  "), sstrF(5, 1252, true), Fail, 0, sstr("AB")},
      {"8-bit into fixed Wide", sstrF(5), sstr("AB  "), wstrF(5, true), Fail, 0, wstr(u"AB")},
      {"only spaces", wstrF(5), wstr(u"   "), wstrF(2, true), Fail, 0, wstr(u"")},
  });
}

TEST_F(StringsTest, AnEmptySourceGivesAnEmptyTargetUnderEveryRoutine) {
  for (Mode mode : {Fail, Best}) {
    checkRows({
        {"convert", sstrF(5, 1252), sstr(""), sstrF(3, 850), mode, 0, sstr("")},
        {"copy", nstrF(5), nstr(""), sstrF(3), mode, 0, sstr("")},
        {"Wide to 8-bit", wstrF(5), wstr(u""), nstrF(3, 932), mode, 0, nstr("")},
        {"8-bit to Wide", nstrF(5), nstr(""), wstrF(3), mode, 0, wstr(u"")},
        {"Wide to Wide", wstrF(5), wstr(u""), wstrF(3), mode, 0, wstr(u"")},
    });
  }
}

TEST_F(StringsTest, AFailedConversionRaisesTheOsErrorNamingTheRoutine) {
  // A code page the platform does not know.
  nxtest::expectCode(
      [] { mapOnce(sstrF(5, 12345), sstr("a"), sstrF(5, 1252), Fail); }, nxErrOsUnknown,
      u"TnxShortStringToShortStringMapper.ToShortStringConvertCheck/MultiByteToWideChar");
  nxtest::expectCode([] { mapOnce(wstrF(5), wstr(u"a"), nstrF(5, 12345), Best); }, nxErrOsUnknown,
                     u"TnxWideStringToAnsiStringMapper.ToNullStringConvert/WideCharToMultiByte");
}

}  // namespace

namespace {

// Routines keep their scratch per thread: mappings of one set-up running on
// several threads at once give every thread its own correct values.
TEST_F(StringsTest, MappingsRunOnSeveralThreadsAtOnce) {
  nxtest::Watchdog watchdog;
  FieldPtr source = makeField(nstrF(40, 1252), u"S");
  FieldPtr target = makeField(wstrF(40), u"T");
  FieldPtr narrow = makeField(sstrF(40, 850), u"N");
  TnxMappingMethod toWide, toNarrow;
  TnxOwned<TnxBaseFieldMapper> wideMapper(
      TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, nullptr, toWide));
  TnxOwned<TnxBaseFieldMapper> narrowMapper(
      TnxBaseFieldMapper::CreateMapper(*source, nullptr, *narrow, nullptr, nullptr, toNarrow));
  ASSERT_TRUE(toWide.Assigned() && toNarrow.Assigned());
  nxtest::runThreads(4, [&](int aIndex) {
    for (int i = 0; i < 2000; ++i) {
      std::string text(1, '\xE9');
      text.append(std::to_string(aIndex * 100000 + i));
      const Bytes value = nstr(text);
      Bytes wide(static_cast<std::size_t>(target->fdLength), 0), eight(static_cast<std::size_t>(narrow->fdLength), 0);
      ASSERT_EQ(toWide(value.data(), wide.data()), 0);
      ASSERT_EQ(toNarrow(value.data(), eight.data()), 0);
      std::u16string expected = u"é";
      for (char c : text.substr(1)) expected.push_back(static_cast<char16_t>(c));
      const Bytes w = wstr(expected);
      ASSERT_EQ(Bytes(wide.begin(), wide.begin() + static_cast<std::ptrdiff_t>(w.size())), w);
      ASSERT_EQ(eight[0], text.size());
      ASSERT_EQ(eight[1], 0x82);
    }
  });
}

}  // namespace
