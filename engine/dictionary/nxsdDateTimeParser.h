// The fixed text forms of dates, times and timestamps used by SQL literals
// and casts:
//   date       YYYY-MM-DD
//   week date  YYYY-Www-D   (ISO 8601; D 1 = Monday .. 7 = Sunday)
//   time       HH:MM:SS or HH:MM:SS.mmm
//   timestamp  YYYY-MM-DD HH:MM:SS[.mmm]
// Each may be enclosed in single quotes, which are removed first. Every
// number position must hold a digit: '2024-1a-05' and '12:34:56x789' are
// refused (not read as month 1 or 0 milliseconds).
// Values are the runtime's date-time (platform::DateTime: days since
// 1899-12-30); validity is that of the runtime's date and time encoding
// (years 1..9999, real calendar days, 0-23:0-59:0-59.0-999).
//
// Failures: the unchecked conversions (nxDateStrToDate, nxTimeStrToTime,
// nxDateTimeStrToDateTime) raise platform::ConvertError for text of the wrong
// form or an impossible value; the variant forms raise platform::RuntimeError
// "Invalid date format %s" (time, date/time likewise) for text that fails the
// matching check.
// Thread safety: pure functions.
#pragma once

#include <string_view>

#include "nxllTypes.h"
#include "plDateTime.h"
#include "plVariant.h"

// The decimal value of the digits among the aCount characters from aStart
// (counted from 1); other characters are skipped.
int nxDigitsToInt(std::u16string_view aText, int aStart, int aCount);

bool nxIsValidDateStr(std::u16string_view aText);
platform::DateTime nxDateStrToDate(std::u16string_view aText);
bool nxTryISODateStrToDate(std::u16string_view aText, platform::DateTime& aDate);

bool nxIsValidTimeStr(std::u16string_view aText);
platform::DateTime nxTimeStrToTime(std::u16string_view aText);

bool nxIsValidDateTimeStr(std::u16string_view aText);
// The date plus the time; before 1899-12-30 the time moves the value away
// from zero ('1899-12-29 06:00:00' is -1.25).
platform::DateTime nxDateTimeStrToDateTime(std::u16string_view aText);

// The variant's text in the forms above.
platform::DateTime nxVarToDate(const platform::Variant& aValue);
platform::DateTime nxVarToTime(const platform::Variant& aValue);
platform::DateTime nxVarToDateTime(const platform::Variant& aValue);
