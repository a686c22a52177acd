// Locales keyed by Windows locale ids (LCIDs), mapped to ICU locales.
//
// The system and user default locale is 1041 (ja-JP). An LCID carries a sort
// id in bits 16..19 (0x10407 German phone book); such alternate sorts map to
// ICU collation keywords ("de_DE@collation=phonebook"). The pseudo ids 0
// (neutral), 0x400 (user default) and 0x800 (system default) and neutral
// language ids (0x11 = Japanese) become real ids through convertDefaultLocale.
// 127 is the invariant locale (ICU root).
//
// Failures: an id that maps to no locale throws OsError(EINVAL).
// Thread safety: every function may be called from any thread.
#pragma once

#include "plString.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using Lcid = std::uint32_t;

inline constexpr Lcid LOCALE_NEUTRAL = 0x0000;
inline constexpr Lcid LOCALE_USER_DEFAULT = 0x0400;
inline constexpr Lcid LOCALE_SYSTEM_DEFAULT = 0x0800;
inline constexpr Lcid LOCALE_INVARIANT = 0x007F;

Lcid systemDefaultLocale();  // 1041
Lcid userDefaultLocale();    // 1041

// ConvertDefaultLocale: pseudo ids and neutral language ids become real ids;
// any other id is answered unchanged.
Lcid convertDefaultLocale(Lcid lcid);

// The ICU locale of an id (after convertDefaultLocale), e.g. "ja_JP", "" for
// the invariant locale. Unknown ids: OsError(EINVAL).
std::string localeToIcu(Lcid lcid);
// The id of an ICU locale name ("ja_JP", "de_DE@collation=phonebook"); 0 when unknown.
Lcid localeFromIcu(std::string_view icuName);

// The installed locales, alternate sorts included (EnumSystemLocales), ascending.
std::vector<Lcid> systemLocales();
bool isValidLocale(Lcid lcid);  // one of systemLocales()

// LOCALE_IDEFAULTANSICODEPAGE: the locale's ANSI code page; 0 for locales that
// have only Unicode text (Hindi, Georgian, ...). Unknown ids: OsError(EINVAL).
std::uint16_t localeAnsiCodePage(Lcid lcid);

// LOCALE_SLANGUAGE and LOCALE_SSORTNAME in English, e.g. "German (Germany)" and
// "Phonebook Sort Order"; the sort name is "Default" for the default sort.
UnicodeString localeLanguageName(Lcid lcid);
UnicodeString localeSortName(Lcid lcid);

}  // namespace platform
