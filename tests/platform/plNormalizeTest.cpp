#include "plErrors.h"
#include "plNormalize.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

struct MapCase {
  Lcid lcid;
  std::uint32_t flags;
  std::u16string in;
  std::u16string out;
};

TEST(PlatformNormalize, LocaleMapping) {
  const MapCase cases[] = {
      {1033, LCMAP_UPPERCASE, u"straße", u"STRAßE"},  // one-to-one: ß stays
      {1033, LCMAP_LOWERCASE, u"ÀÉÎ ΣΑ", u"àéî σα"},
      {1041, LCMAP_UPPERCASE, u"ａｂｃabc", u"ＡＢＣABC"},
      {1041, LCMAP_LOWERCASE, u"日本ＡＢＣ", u"日本ａｂｃ"},
      {1033, LCMAP_UPPERCASE, u"a\U00010428", u"A\U00010400"},  // Deseret, outside the BMP
      {1055, LCMAP_UPPERCASE, u"i", u"I"},
      {1055, LCMAP_UPPERCASE | LCMAP_LINGUISTIC_CASING, u"iı", u"İI"},
      {1055, LCMAP_LOWERCASE | LCMAP_LINGUISTIC_CASING, u"Iİ", u"ıi"},
      {1033, LCMAP_UPPERCASE | LCMAP_LINGUISTIC_CASING, u"i", u"I"},
      {1041, LCMAP_HIRAGANA, u"カタカナヴヽ", u"かたかなゔゝ"},
      {1041, LCMAP_KATAKANA, u"ひらがなabc", u"ヒラガナabc"},
      {1041, LCMAP_KATAKANA | LCMAP_UPPERCASE, u"ひらがなabc", u"ヒラガナABC"},
      {0, LCMAP_LOWERCASE, u"ABC", u"abc"},
      {1033, LCMAP_LOWERCASE, u"", u""},
  };
  for (const auto& c : cases) EXPECT_EQ(lcMapString(c.lcid, c.flags, c.in), c.out) << toUtf8(c.in) << " " << c.flags;
}

TEST(PlatformNormalize, LocaleMappingRejectsBadFlagsAndLocales) {
  const std::uint32_t bad[] = {0,
                               LCMAP_SORTKEY,
                               LCMAP_SORTKEY | LCMAP_LOWERCASE,
                               LCMAP_LOWERCASE | LCMAP_UPPERCASE,
                               LCMAP_HIRAGANA | LCMAP_KATAKANA,
                               LCMAP_LINGUISTIC_CASING,
                               LCMAP_LINGUISTIC_CASING | LCMAP_HIRAGANA,
                               LCMAP_LOWERCASE | 0x800};
  for (std::uint32_t f : bad) EXPECT_THROW(lcMapString(1033, f, u"a"), OsError) << f;
  EXPECT_THROW(lcMapString(0x12345, LCMAP_LOWERCASE, u"a"), OsError);
}

struct FoldCase {
  std::uint32_t flags;
  std::u16string in;
  std::u16string out;
};

TEST(PlatformNormalize, FoldString) {
  const FoldCase cases[] = {
      {MAP_PRECOMPOSED, u"e\u0301a\u0308", u"éä"},
      {MAP_COMPOSITE, u"éä", u"e\u0301a\u0308"},
      {MAP_COMPOSITE, u"が", u"か\u3099"},
      {MAP_PRECOMPOSED, u"か\u3099", u"が"},
      {MAP_PRECOMPOSED, u"\uF929\u212B", u"\uF929\u212B"},  // singletons stay
      {MAP_COMPOSITE, u"\uF929", u"\uF929"},
      {MAP_FOLDDIGITS, u"x١٢٣１２３", u"x123123"},
      {MAP_FOLDCZONE, u"ＡＢＣ！", u"ABC!"},
      {MAP_FOLDCZONE, u"ｶﾀｶﾅ", u"カタカナ"},
      {MAP_FOLDCZONE | MAP_PRECOMPOSED, u"ﾊﾟﾝ", u"パン"},
      {MAP_FOLDCZONE, u"①", u"①"},  // outside the compatibility zone
      {MAP_FOLDCZONE | MAP_FOLDDIGITS, u"１ａ", u"1a"},
      {MAP_PRECOMPOSED, u"", u""},
      // Text already in the asked form comes back as it is.
      {MAP_PRECOMPOSED, u"Database7", u"Database7"},
      {MAP_COMPOSITE, u"database7", u"database7"},
      {MAP_PRECOMPOSED, u"データベース、暗号化", u"データベース、暗号化"},
      {MAP_PRECOMPOSED, u"a\xD800" u"b", u"a\xD800" u"b"},  // an unpaired surrogate
      {MAP_PRECOMPOSED, u"e\u0301\u212Be\u0301", u"é\u212Bé"},
      {MAP_COMPOSITE, u"é\u212B", u"e\u0301\u212B"},
  };
  for (const auto& c : cases) EXPECT_EQ(foldString(c.flags, c.in), c.out) << toUtf8(c.in) << " " << c.flags;
}

TEST(PlatformNormalize, FoldStringRejectsBadFlags) {
  for (std::uint32_t f : {0u, MAP_PRECOMPOSED | MAP_COMPOSITE, 0x2000u, MAP_FOLDDIGITS | 0x1u})
    EXPECT_THROW(foldString(f, u"a"), OsError) << f;
}

TEST(PlatformNormalize, CharLowerWorksUnitByUnit) {
  std::u16string s = u"ABC Ä Ω ＡＢ\xD801\xDC00";
  charLower(s.data(), s.size());
  EXPECT_EQ(s, u"abc ä ω ａｂ\xD801\xDC00");  // surrogate pairs untouched
  EXPECT_EQ(charLower(u"MiXeD"), u"mixed");
}

TEST(PlatformNormalize, WidthAndKanaFolding) {
  EXPECT_EQ(foldWidth(u"ｶﾞｷﾞｸﾞ ﾊﾟ ｱｲｳ ＡＢＣ　x"), u"ガギグ パ アイウ ABC x");
  EXPECT_EQ(foldWidth(u"ﾞ"), u"\u3099");  // a lone voiced mark stays a mark
  EXPECT_EQ(katakanaToHiragana(u"アイウヴヵヶヽヾヷｱ"), u"あいうゔゕゖゝゞヷｱ");
}

}  // namespace
