// Format settings: the locale-dependent separators, patterns and names that
// number, currency and date-time texts use. Every conversion takes the
// settings explicitly; the overloads without them use the process default.
// Thread safety: the predefined settings are immutable after first use;
// the process default is replaced only at start-up (or in tests), before
// other threads read it.
#pragma once

#include "plString.h"

#include <array>

namespace platform {

struct FormatSettings {
  char16_t DecimalSeparator = u'.';
  char16_t ThousandSeparator = u',';
  char16_t DateSeparator = u'/';
  char16_t TimeSeparator = u':';
  char16_t ListSeparator = u',';
  UnicodeString ShortDateFormat;
  UnicodeString LongDateFormat;
  UnicodeString ShortTimeFormat;
  UnicodeString LongTimeFormat;
  UnicodeString TimeAMString;
  UnicodeString TimePMString;
  UnicodeString CurrencyString;
  // 0 "$1", 1 "1$", 2 "$ 1", 3 "1 $".
  std::uint8_t CurrencyFormat = 0;
  // 0 "($1)" .. 15 "(1 $)", the sixteen negative currency layouts.
  std::uint8_t NegCurrFormat = 1;
  std::uint8_t CurrencyDecimals = 2;
  // Two-digit years fall into the 100 years that end this many years after
  // the current one; 0 means "the current century".
  std::uint16_t TwoDigitYearCenturyWindow = 50;
  std::array<UnicodeString, 12> ShortMonthNames;
  std::array<UnicodeString, 12> LongMonthNames;
  // Index 0 is Sunday.
  std::array<UnicodeString, 7> ShortDayNames;
  std::array<UnicodeString, 7> LongDayNames;
};

// Japanese (locale 1041) settings: yyyy/mm/dd, hh:nn:ss, yen without decimals.
const FormatSettings& japaneseFormatSettings();
// Settings of the invariant locale (127): mm/dd/yyyy, hh:nn:ss, English names.
const FormatSettings& invariantFormatSettings();

// The settings of a locale id (GetLocaleFormatSettings): 1041 and the
// system and user default ids give japaneseFormatSettings(), 127 the
// invariant ones; any other locale takes its separators and its short date
// and long time patterns from ICU (years always with four digits). Unknown
// ids: OsError(EINVAL).
FormatSettings localeFormatSettings(std::uint32_t lcid);

// The process default; starts as japaneseFormatSettings().
const FormatSettings& defaultFormatSettings();
void setDefaultFormatSettings(const FormatSettings& settings);

}  // namespace platform
