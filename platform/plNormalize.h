// Text mappings keyed the way the platform's services are: locale mapping
// (LCMapString without sort keys), FoldString, CharLower, and the width and
// kana foldings that collation builds on. All over ICU.
//
// Case mapping is the simple one-to-one mapping (lengths stay the same; "ß"
// stays "ß" in upper case); with LCMAP_LINGUISTIC_CASING the Turkish and Azeri
// dotted and dotless i apply for those locales.
// FoldString composes and decomposes only combining sequences: characters
// whose canonical decomposition is a single character (CJK compatibility
// ideographs, U+212B ANGSTROM SIGN) are kept as they are.
//
// Failures: bad flags or an unknown locale throw OsError(EINVAL).
// Thread safety: every function may be called from any thread.
#pragma once

#include "plLocale.h"
#include "plString.h"

#include <cstddef>
#include <cstdint>

namespace platform {

// LCMapString flags.
inline constexpr std::uint32_t LCMAP_LOWERCASE = 0x00000100;
inline constexpr std::uint32_t LCMAP_UPPERCASE = 0x00000200;
inline constexpr std::uint32_t LCMAP_SORTKEY = 0x00000400;  // see sortKey() in plCollation.h
inline constexpr std::uint32_t LCMAP_HIRAGANA = 0x00100000;
inline constexpr std::uint32_t LCMAP_KATAKANA = 0x00200000;
inline constexpr std::uint32_t LCMAP_LINGUISTIC_CASING = 0x01000000;

// FoldString flags.
inline constexpr std::uint32_t MAP_FOLDCZONE = 0x10;    // compatibility zone U+F900..U+FFEF to standard forms
inline constexpr std::uint32_t MAP_PRECOMPOSED = 0x20;  // compose combining sequences
inline constexpr std::uint32_t MAP_COMPOSITE = 0x40;    // decompose precomposed characters
inline constexpr std::uint32_t MAP_FOLDDIGITS = 0x80;   // every decimal digit to 0..9

// LCMapString with any combination of lower or upper case (optionally
// linguistic) and hiragana or katakana. LCMAP_SORTKEY, unknown flags, no
// mapping at all, or contradicting pairs: OsError(EINVAL).
UnicodeString lcMapString(Lcid lcid, std::uint32_t flags, UnicodeStringView text);

// FoldString: flags 0, unknown flags or MAP_PRECOMPOSED with MAP_COMPOSITE: OsError(EINVAL).
UnicodeString foldString(std::uint32_t flags, UnicodeStringView text);

// CharLowerW: simple lower case, unit by unit (surrogates untouched).
void charLower(char16_t* text, std::size_t length);
UnicodeString charLower(UnicodeStringView text);

// Half-width and full-width forms to their ordinary forms (ｶﾞ -> ガ, Ａ -> A,
// U+3000 -> U+0020).
UnicodeString foldWidth(UnicodeStringView text);
// Full-width katakana to hiragana where there is one (ア -> あ, ヴ -> ゔ).
UnicodeString katakanaToHiragana(UnicodeStringView text);

}  // namespace platform
