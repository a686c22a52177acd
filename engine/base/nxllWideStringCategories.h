// Unicode character categories of UTF-16 code units.
//
// The category table is embedded in the program (generated at build time, in
// the record format below) and expanded into a per-code-unit lookup table on
// the first query.
// Thread safety: nxWideCharInCategories may be called from any thread; the
// lookup table is built once under a lock and read without one afterwards.
// Resource layout (little-endian), records up to the end of the data:
//   byte category; int32 n; n x (int32 rngStart, int32 rngStop)
// Code points above U+FFFF in the resource never affect a lookup.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

// Values 0..29: general categories; 30..46: bidirectional classes (B is
// recorded under ccSeparatorParagraph); 47: has a decomposition mapping;
// 54: assigned. 16 and 48..53 are never filled.
enum TnxCharacterCategory : std::uint8_t {
  ccLetterUppercase,
  ccLetterLowercase,
  ccLetterTitlecase,
  ccMarkNonSpacing,
  ccMarkSpacingCombining,
  ccMarkEnclosing,
  ccNumberDecimalDigit,
  ccNumberLetter,
  ccNumberOther,
  ccSeparatorSpace,
  ccSeparatorLine,
  ccSeparatorParagraph,
  ccOtherControl,
  ccOtherFormat,
  ccOtherSurrogate,
  ccOtherPrivate,
  ccOtherUnassigned,
  ccLetterModifier,
  ccLetterOther,
  ccPunctuationConnector,
  ccPunctuationDash,
  ccPunctuationOpen,
  ccPunctuationClose,
  ccPunctuationInitialQuote,
  ccPunctuationFinalQuote,
  ccPunctuationOther,
  ccSymbolMath,
  ccSymbolCurrency,
  ccSymbolModifier,
  ccSymbolOther,
  ccLeftToRight,
  ccLeftToRightEmbedding,
  ccLeftToRightOverride,
  ccRightToLeft,
  ccRightToLeftArabic,
  ccRightToLeftEmbedding,
  ccRightToLeftoverride,
  ccPopDirectionalFormat,
  ccEuropeanNumber,
  ccEuropeanNumberSeparator,
  ccEuropeanNumberTerminator,
  ccArabicNumber,
  ccCommonNumberSeparator,
  ccBoundaryNeutral,
  ccSegmentSeparator,
  ccWhiteSpace,
  ccOtherNeutrals,
  ccComposed,
  ccNonBreaking,
  ccSymmetric,
  ccHexDigit,
  ccQuotationMark,
  ccMirroring,
  ccSpaceOther,
  ccAssigned,
};

inline constexpr int nxCharacterCategoryCount = 55;

// Set of categories in 7 bytes: bit n is bit n mod 8 of byte n div 8.
struct TnxCharacterCategories {
  std::uint8_t Bits[7] = {};

  constexpr TnxCharacterCategories() = default;
  constexpr TnxCharacterCategories(std::initializer_list<TnxCharacterCategory> aList) {
    for (TnxCharacterCategory c : aList) include(c);
  }
  constexpr void include(TnxCharacterCategory c) {
    Bits[c / 8] = static_cast<std::uint8_t>(Bits[c / 8] | (1u << (c % 8)));
  }
  constexpr bool contains(TnxCharacterCategory c) const { return (Bits[c / 8] >> (c % 8)) & 1u; }
  constexpr bool intersects(const TnxCharacterCategories& aOther) const {
    for (int i = 0; i < 7; ++i)
      if (Bits[i] & aOther.Bits[i]) return true;
    return false;
  }
  constexpr bool empty() const { return !intersects(all()); }
  static constexpr TnxCharacterCategories all() {
    TnxCharacterCategories s;
    for (int i = 0; i < nxCharacterCategoryCount; ++i) s.include(static_cast<TnxCharacterCategory>(i));
    return s;
  }
  constexpr bool operator==(const TnxCharacterCategories&) const = default;
};
static_assert(sizeof(TnxCharacterCategories) == 7);

struct TnxRange {
  std::int32_t rngStart;
  std::int32_t rngStop;  // inclusive
};
using TnxRangeArray = std::vector<TnxRange>;
using TnxCategoriesArray = std::vector<TnxCharacterCategories>;

// True when aChar belongs to at least one of aCategories. Builds the lookup
// table on first use; a malformed embedded table throws platform::RangeError
// (and the next call tries again).
bool nxWideCharInCategories(char16_t aChar, const TnxCharacterCategories& aCategories);

// The embedded category table in the resource layout above.
std::span<const std::uint8_t> nxUnicodeCategoriesResource();
