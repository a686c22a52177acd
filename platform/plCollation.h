// Locale-aware comparison keyed by Windows locale ids and CompareString
// flags, over ICU collators; sort keys consistent with it; the collation
// version that stands in for GetNLSVersion.
//
// Results are -1, 0, 1 (less, equal, greater: the platform's 1, 2, 3 minus 2).
// A failure (unknown locale, unknown flag) throws OsError(EINVAL); it is never
// a result.
//
// How the flags act: the collator of the locale compares at full strength
// (everything that differs counts, canonically equivalent text is equal);
// each flag first folds away one kind of difference from both texts:
//   NORM_IGNORECASE      simple lower case
//   NORM_IGNORENONSPACE  canonical decomposition, nonspacing marks removed
//                        (accents, and the kana voicing marks: が = か)
//   NORM_IGNORESYMBOLS   punctuation, symbols and separators removed
//   NORM_IGNOREKANATYPE  katakana as hiragana
//   NORM_IGNOREWIDTH     half-width and full-width forms as ordinary ones
// Word sort (without SORT_STRINGSORT): hyphen and apostrophe (and their
// full-width forms) do not take part in the main comparison, so "co-op" sorts
// next to "coop"; texts equal without them are ordered by those characters'
// positions afterwards (none first, then an earlier position first).
// SORT_STRINGSORT: they are ordinary symbols, sorting before letters and digits.
//
// Sort keys: byte strings without zero bytes whose unsigned byte order
// (memcmp, shorter prefix first) equals compareString's order for the same
// locale and flags.
//
// Thread safety: every function may be called from any thread. Collators are
// built once per locale under a mutex, kept for the process's life, and used
// through const ICU calls, which are safe to share; each thread remembers the
// ones it used, so comparing takes no lock.
#pragma once

#include "plGuid.h"
#include "plLocale.h"
#include "plString.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

inline constexpr std::uint32_t NORM_IGNORECASE = 0x00000001;
inline constexpr std::uint32_t NORM_IGNORENONSPACE = 0x00000002;
inline constexpr std::uint32_t NORM_IGNORESYMBOLS = 0x00000004;
inline constexpr std::uint32_t SORT_STRINGSORT = 0x00001000;
inline constexpr std::uint32_t NORM_IGNOREKANATYPE = 0x00010000;
inline constexpr std::uint32_t NORM_IGNOREWIDTH = 0x00020000;

// CompareStringW.
int compareString(Lcid lcid, std::uint32_t flags, UnicodeStringView a, UnicodeStringView b);

// CompareStringA: both texts are in the locale's ANSI code page (for a locale
// without one, the system ANSI code page).
int compareStringA(Lcid lcid, std::uint32_t flags, std::string_view a, std::string_view b);

// LCMapString with LCMAP_SORTKEY and the given compare flags.
std::string sortKey(Lcid lcid, std::uint32_t flags, UnicodeStringView text);

// GetNLSVersion for string comparison: the collation version of a locale.
// nlsVersion and definedVersion pack ICU's collator version and the Unicode
// version (4 bytes, first byte highest); effectiveLocale is the locale after
// convertDefaultLocale; customVersion is zero.
struct NlsVersion {
  std::uint32_t nlsVersion = 0;
  std::uint32_t definedVersion = 0;
  Lcid effectiveLocale = 0;
  Guid customVersion{};

  bool operator==(const NlsVersion&) const = default;
};
NlsVersion nlsVersion(Lcid lcid);

}  // namespace platform
