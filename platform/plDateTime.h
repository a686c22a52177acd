// Date-time values as the runtime library keeps them: a double counting days
// since 1899-12-30 (day 0), with the time of day as the fraction. Values
// before 1899-12-30 are negative and their fraction still moves away from
// zero: -1.25 is 1899-12-29 06:00 (date part truncated toward zero, time part
// the absolute fraction). Valid dates are 0001-01-01 to 9999-12-31.
// Thread safety: all functions are free of shared state except the "now"
// source, which tests replace before other threads run.
#pragma once

#include "plFormatSettings.h"
#include "plString.h"

#include <cstdint>

namespace platform {

using DateTime = double;

// Days from 0001-01-01 (day 1) to 1899-12-30.
constexpr std::int32_t kDateDelta = 693594;
constexpr std::int32_t kMSecsPerDay = 86400000;
// 9999-12-31 in the day-number form of TimeStamp::date.
constexpr std::int32_t kMaxDateNumber = 3652059;

// A date-time split into whole milliseconds of the day and the day number
// counted from 0001-01-01 = 1.
struct TimeStamp {
  std::int32_t time = 0;
  std::int32_t date = 0;
  bool operator==(const TimeStamp&) const = default;
};

bool isLeapYear(int year);
int daysInMonth(int year, int month);  // 0 for a month outside 1..12

bool tryEncodeDate(int year, int month, int day, DateTime& out);
// ConvertError "Invalid argument to date encode" for an invalid date.
DateTime encodeDate(int year, int month, int day);
bool tryEncodeTime(int hour, int min, int sec, int msec, DateTime& out);
// ConvertError "Invalid argument to time encode".
DateTime encodeTime(int hour, int min, int sec, int msec);
// The date plus the time, the time moving away from zero before 1899-12-30.
DateTime combineDateTime(DateTime date, DateTime time);
DateTime encodeDateTime(int year, int month, int day, int hour, int min, int sec, int msec);

// The value is first rounded to whole milliseconds. A value whose date lies
// outside 0001-01-01..9999-12-31 (or is not finite) raises RangeError.
TimeStamp dateTimeToTimeStamp(DateTime dt);
DateTime timeStampToDateTime(const TimeStamp& ts);  // RangeError for invalid stamps
void decodeDate(DateTime dt, int& year, int& month, int& day);
void decodeTime(DateTime dt, int& hour, int& min, int& sec, int& msec);
void decodeDateTime(DateTime dt, int& year, int& month, int& day, int& hour, int& min, int& sec,
                    int& msec);

// 1 = Sunday .. 7 = Saturday.
int dayOfWeek(DateTime dt);
// Moves by whole months; the day is clipped to the target month's length
// (2024-01-31 + 1 month = 2024-02-29); the time of day is kept.
DateTime incMonth(DateTime dt, int months = 1);

// Local wall-clock time, from the replaceable source.
DateTime now();
DateTime currentDate();  // now() without the time
DateTime currentTime();  // now() without the date
using NowSource = DateTime (*)();
// nullptr restores the system clock.
void setNowSource(NowSource source);

// Pattern letters (any case): d dd ddd dddd ddddd dddddd, m mm mmm mmmm (minutes
// after h/hh), yy yyyy, h hh, n nn, s ss, z zzz, t tt, c, am/pm a/p ampm,
// "/" date separator, ":" time separator, '...' and "..." literals.
UnicodeString formatDateTime(UnicodeStringView pattern, DateTime dt, const FormatSettings& fs);
UnicodeString formatDateTime(UnicodeStringView pattern, DateTime dt);
UnicodeString dateToStr(DateTime dt, const FormatSettings& fs);      // ShortDateFormat
UnicodeString timeToStr(DateTime dt, const FormatSettings& fs);      // LongTimeFormat
UnicodeString dateTimeToStr(DateTime dt, const FormatSettings& fs);  // "c"
UnicodeString dateToStr(DateTime dt);
UnicodeString timeToStr(DateTime dt);
UnicodeString dateTimeToStr(DateTime dt);

// Parsing follows the order of year, month and day in ShortDateFormat and
// the DateSeparator/TimeSeparator/DecimalSeparator; spaces around the parts
// are allowed, any other character is refused. Two numbers give day and
// month of the current year; a year of one or two digits is placed by
// TwoDigitYearCenturyWindow. Times: h:n[:s[.z]] with optional AM/PM text.
bool tryStrToDate(UnicodeStringView text, DateTime& out, const FormatSettings& fs);
bool tryStrToTime(UnicodeStringView text, DateTime& out, const FormatSettings& fs);
bool tryStrToDateTime(UnicodeStringView text, DateTime& out, const FormatSettings& fs);
// ConvertError "'%s' is not a valid date" / "... time" / "... date and time".
DateTime strToDate(UnicodeStringView text, const FormatSettings& fs);
DateTime strToTime(UnicodeStringView text, const FormatSettings& fs);
DateTime strToDateTime(UnicodeStringView text, const FormatSettings& fs);
DateTime strToDate(UnicodeStringView text);
DateTime strToTime(UnicodeStringView text);
DateTime strToDateTime(UnicodeStringView text);

}  // namespace platform
