#include "nxllBde.h"
#include "nxsdFieldMapperTestSupport.h"

namespace {

using namespace fmtest;

constexpr TnxResult X = nxErrInvalidFieldXform;

using CharsTest = MapperTest;

TEST_F(CharsTest, DigitsIntoNumbers) {
  checkRows({
      {"7 to Int32", {nxtChar}, chr('7'), {nxtInt32}, Fail, 0, i32(7)},
      {"7 to Int32, best fit", {nxtChar}, chr('7'), {nxtInt32}, Best, 0, i32(7)},
      {"A to Int32", {nxtChar}, chr('A'), {nxtInt32}, Fail, X, none()},
      {"A to Int32, best fit", {nxtChar}, chr('A'), {nxtInt32}, Best, 0, i32(0)},
      {"5 to Currency", {nxtChar}, chr('5'), {nxtCurrency}, Fail, 0, i64(50000)},
      {"9 to BCD", {nxtWideChar}, wch(u'9'), {nxtBCD, 4, 0}, Fail, 0, i64(90000)},
      {"3 to Double", {nxtWideChar}, wch(u'3'), {nxtDouble}, Fail, 0, f64(3)},
      {"3 to Extended", {nxtChar}, chr('3'), {nxtExtended}, Fail, 0, ext(3)},
      {"8 to Word16", {nxtChar}, chr('8'), {nxtWord16}, Fail, 0, u16(8)},
      {"x to Int64", {nxtWideChar}, wch(u'x'), {nxtInt64}, Fail, X, none()},
  });
}

TEST_F(CharsTest, BooleanLetters) {
  checkRows({
      {"Y", {nxtChar}, chr('Y'), {nxtBoolean}, Fail, 0, u8(0xFF)},
      {"Y, best fit", {nxtChar}, chr('Y'), {nxtBoolean}, Best, 0, u8(0xFF)},
      {"y", {nxtChar}, chr('y'), {nxtBoolean}, Fail, X, none()},
      {"y, best fit", {nxtChar}, chr('y'), {nxtBoolean}, Best, 0, u8(0xFF)},
      {"N", {nxtChar}, chr('N'), {nxtBoolean}, Fail, 0, u8(0)},
      {"F, best fit", {nxtChar}, chr('F'), {nxtBoolean}, Best, 0, u8(0)},
      {"WideChar Y, best fit", {nxtWideChar}, wch(u'Y'), {nxtBoolean}, Best, 0, u8(0)},
      {"WideChar Y", {nxtWideChar}, wch(u'Y'), {nxtBoolean}, Fail, X, none()},
      {"WideChar 1", {nxtWideChar}, wch(u'1'), {nxtBoolean}, Fail, 0, u8(0xFF)},
      {"WideChar 2", {nxtWideChar}, wch(u'2'), {nxtBoolean}, Fail, X, none()},
  });
}

TEST_F(CharsTest, CharactersAndStrings) {
  checkRows({
      {"Char to ByteArray", {nxtChar}, chr('q'), {nxtByteArray, 3}, Fail, 0, Bytes{'q', kFill, kFill}},
      {"WideChar to ByteArray", {nxtWideChar}, wch(u'あ'), {nxtByteArray, 3}, Fail, 0, Bytes{0x42, 0x30, kFill}},
      {"Char to Char", {nxtChar}, chr('\xE9'), {nxtChar}, Fail, 0, chr('\xE9')},
      {"Char 1252 to Char 850", {nxtChar, 0, 0, 1252}, chr('\xE9'), {nxtChar, 0, 0, 850}, Fail, 0, chr('\x82')},
      // § needs two bytes in 932.
      {"Char 1252 to Char 932", {nxtChar, 0, 0, 1252}, chr('\xA7'), {nxtChar, 0, 0, 932}, Best, X, none()},
      {"Char to ShortString", {nxtChar}, chr('a'), {nxtShortString, 3}, Fail, 0, sstr("a")},
      {"Char 1252 to NullString 850", {nxtChar, 0, 0, 1252}, chr('\xE9'), {nxtNullString, 3, 0, 850}, Fail, 0,
       nstr("\x82")},
      {"Char 1252 to ShortString 932(1)", {nxtChar, 0, 0, 1252}, chr('\xA7'), {nxtShortString, 1, 0, 932}, Fail,
       X, none()},
      {"Char 1252 to ShortString 932(1), best fit", {nxtChar, 0, 0, 1252}, chr('\xA7'),
       {nxtShortString, 1, 0, 932}, Best, 0, sstr("")},
      {"Char 932 to WideChar", {nxtChar, 0, 0, 1252}, chr('\xE9'), {nxtWideChar}, Fail, 0, wch(u'é')},
      {"Char to WideString", {nxtChar, 0, 0, 1252}, chr('\xE9'), {nxtWideString, 2}, Fail, 0, wstr(u"é")},
      {"WideChar to Char", {nxtWideChar}, wch(u'é'), {nxtChar, 0, 0, 1252}, Fail, 0, chr('\xE9')},
      {"WideChar to Char 932", {nxtWideChar}, wch(u'あ'), {nxtChar, 0, 0, 932}, Fail, 0, chr('\x82')},
      {"WideChar to WideChar", {nxtWideChar}, wch(u'あ'), {nxtWideChar}, Fail, 0, wch(u'あ')},
      {"WideChar to WideString", {nxtWideChar}, wch(u'あ'), {nxtWideString, 1}, Fail, 0, wstr(u"あ")},
      {"WideChar to ShortString 932(1)", {nxtWideChar}, wch(u'あ'), {nxtShortString, 1, 0, 932}, Fail, X, none()},
      {"WideChar to ShortString 932(1), best fit", {nxtWideChar}, wch(u'あ'), {nxtShortString, 1, 0, 932}, Best, 0,
       sstr("")},
      {"WideChar to NullString 932(2)", {nxtWideChar}, wch(u'あ'), {nxtNullString, 2, 0, 932}, Fail, 0,
       nstr("\x82\xA0")},
  });
}

TEST_F(CharsTest, AZeroCharacter) {
  checkRows({
      // Without conversion the zero byte is the one character.
      {"to ShortString", {nxtChar}, chr(0), {nxtShortString, 3}, Fail, 0, Bytes{1, 0}},
      {"to ShortString converting", {nxtChar, 0, 0, 1252}, chr(0), {nxtShortString, 3, 0, 850}, Fail, 0, sstr("")},
      {"to WideChar", {nxtChar}, chr(0), {nxtWideChar}, Fail, 0, wch(0)},
      {"to WideString", {nxtChar}, chr(0), {nxtWideString, 2}, Fail, 0, wstr(u"")},
      {"WideChar to ShortString", {nxtWideChar}, wch(0), {nxtShortString, 2}, Fail, 0, sstr("")},
      {"WideChar to Char", {nxtWideChar}, wch(0), {nxtChar}, Fail, 0, chr(0)},
  });
}

TEST_F(CharsTest, PairsWithoutMapper) {
  EXPECT_FALSE(mapOnce({nxtChar}, chr('1'), {nxtGuid}, Best).found);
  EXPECT_FALSE(mapOnce({nxtChar}, chr('1'), {nxtDate}, Best).found);
  EXPECT_FALSE(mapOnce({nxtWideChar}, wch(u'1'), {nxtBlobMemo}, Best).found);
  // Numeric targets need no instance.
  const Mapped m = mapOnce({nxtChar}, chr('1'), {nxtInt32}, Fail);
  EXPECT_TRUE(m.found);
  EXPECT_FALSE(m.hasInstance);
}

}  // namespace
