#include "nxsdDateTimeParser.h"

#include <string>

#include "plErrors.h"

namespace {

std::u16string_view unquote(std::u16string_view aText) {
  if (!aText.empty() && aText.front() == u'\'' && aText.back() == u'\'')
    return aText.size() < 2 ? std::u16string_view() : aText.substr(1, aText.size() - 2);
  return aText;
}

bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// aCount digits from aStart (from 0); any other character refuses the text.
bool readNumber(std::u16string_view aText, std::size_t aStart, std::size_t aCount, int& aValue) {
  aValue = 0;
  for (std::size_t i = aStart; i < aStart + aCount; ++i) {
    if (!isDigit(aText[i])) return false;
    aValue = aValue * 10 + (aText[i] - u'0');
  }
  return true;
}

struct DateParts {
  int year = 0, month = 0, day = 0;
};
struct TimeParts {
  int hour = 0, minute = 0, second = 0, msec = 0;
};

// YYYY-MM-DD, unquoted.
bool readDate(std::u16string_view t, DateParts& d) {
  return t.size() == 10 && t[4] == u'-' && t[7] == u'-' && readNumber(t, 0, 4, d.year) &&
         readNumber(t, 5, 2, d.month) && readNumber(t, 8, 2, d.day);
}

// HH:MM:SS or HH:MM:SS.mmm, unquoted.
bool readTime(std::u16string_view t, TimeParts& p) {
  if (t.size() != 8 && t.size() != 12) return false;
  if (t[2] != u':' || t[5] != u':') return false;
  if (!readNumber(t, 0, 2, p.hour) || !readNumber(t, 3, 2, p.minute) || !readNumber(t, 6, 2, p.second))
    return false;
  p.msec = 0;
  // A long text without "." in its place keeps 0 milliseconds, as stored
  // literals of that form always have.
  return t.size() == 8 || t[8] != u'.' || readNumber(t, 9, 3, p.msec);
}

bool splitDateTime(std::u16string_view t, DateParts& d, TimeParts& p) {
  return (t.size() == 19 || t.size() == 23) && t[10] == u' ' && readDate(t.substr(0, 10), d) &&
         readTime(t.substr(11), p);
}

std::string utf8(std::u16string_view aText) {
  std::string s;
  try {
    s = platform::toUtf8(aText);
  } catch (const platform::ConvertError&) {
    s = "?";  // a text with a broken surrogate still gets its message
  }
  return s;
}

[[noreturn]] void raiseNotValid(std::u16string_view aText, const char* aWhat) {
  throw platform::ConvertError("'" + utf8(aText) + "' is not a valid " + aWhat);
}

bool tryEncode(const DateParts& d, platform::DateTime& out) {
  return platform::tryEncodeDate(d.year, d.month, d.day, out);
}
bool tryEncode(const TimeParts& p, platform::DateTime& out) {
  return platform::tryEncodeTime(p.hour, p.minute, p.second, p.msec, out);
}

}  // namespace

int nxDigitsToInt(std::u16string_view aText, int aStart, int aCount) {
  int result = 0;
  for (int i = aStart - 1; i < aStart - 1 + aCount; ++i)
    if (i >= 0 && static_cast<std::size_t>(i) < aText.size() && isDigit(aText[i]))
      result = result * 10 + (aText[i] - u'0');
  return result;
}

bool nxIsValidDateStr(std::u16string_view aText) {
  DateParts d;
  platform::DateTime dt;
  return readDate(unquote(aText), d) && tryEncode(d, dt);
}

platform::DateTime nxDateStrToDate(std::u16string_view aText) {
  DateParts d;
  if (!readDate(unquote(aText), d)) raiseNotValid(aText, "date");
  return platform::encodeDate(d.year, d.month, d.day);
}

bool nxTryISODateStrToDate(std::u16string_view aText, platform::DateTime& aDate) {
  const std::u16string_view t = unquote(aText);
  int year = 0, week = 0, weekDay = 0;
  if (t.size() != 10 || t[4] != u'-' || t[8] != u'-' || (t[5] != u'W' && t[5] != u'w') ||
      !readNumber(t, 0, 4, year) || !readNumber(t, 6, 2, week) || !readNumber(t, 9, 1, weekDay))
    return false;
  if (year < 1 || week < 1 || weekDay < 1 || weekDay > 7) return false;
  // Week 1 holds 4 January; the year has 53 weeks when 28 December is in week 53.
  platform::DateTime jan4, dec28;
  if (!platform::tryEncodeDate(year, 1, 4, jan4) || !platform::tryEncodeDate(year, 12, 28, dec28)) return false;
  auto isoWeekDay = [](platform::DateTime dt) { return (platform::dayOfWeek(dt) + 5) % 7 + 1; };  // 1 = Monday
  const double monday1 = jan4 - (isoWeekDay(jan4) - 1);
  const int weeks = static_cast<int>((dec28 - (isoWeekDay(dec28) - 1) - monday1) / 7) + 1;
  if (week > weeks) return false;
  const double result = monday1 + (week - 1) * 7 + (weekDay - 1);
  platform::DateTime first, last;
  platform::tryEncodeDate(1, 1, 1, first);
  platform::tryEncodeDate(9999, 12, 31, last);
  if (result < first || result > last) return false;
  aDate = result;
  return true;
}

bool nxIsValidTimeStr(std::u16string_view aText) {
  TimeParts p;
  platform::DateTime dt;
  return readTime(unquote(aText), p) && tryEncode(p, dt);
}

platform::DateTime nxTimeStrToTime(std::u16string_view aText) {
  TimeParts p;
  if (!readTime(unquote(aText), p)) raiseNotValid(aText, "time");
  return platform::encodeTime(p.hour, p.minute, p.second, p.msec);
}

bool nxIsValidDateTimeStr(std::u16string_view aText) {
  DateParts d;
  TimeParts p;
  platform::DateTime a, b;
  return splitDateTime(unquote(aText), d, p) && tryEncode(d, a) && tryEncode(p, b);
}

platform::DateTime nxDateTimeStrToDateTime(std::u16string_view aText) {
  DateParts d;
  TimeParts p;
  if (!splitDateTime(unquote(aText), d, p)) raiseNotValid(aText, "date and time");
  return platform::combineDateTime(platform::encodeDate(d.year, d.month, d.day),
                                   platform::encodeTime(p.hour, p.minute, p.second, p.msec));
}

platform::DateTime nxVarToDate(const platform::Variant& aValue) {
  const nxString text = platform::varToStr(aValue);
  if (!nxIsValidDateStr(text)) throw platform::RuntimeError("Invalid date format " + utf8(text));
  return nxDateStrToDate(text);
}

platform::DateTime nxVarToTime(const platform::Variant& aValue) {
  const nxString text = platform::varToStr(aValue);
  if (!nxIsValidTimeStr(text)) throw platform::RuntimeError("Invalid time format " + utf8(text));
  return nxTimeStrToTime(text);
}

platform::DateTime nxVarToDateTime(const platform::Variant& aValue) {
  const nxString text = platform::varToStr(aValue);
  if (!nxIsValidDateTimeStr(text)) throw platform::RuntimeError("Invalid date/time format " + utf8(text));
  return nxDateTimeStrToDateTime(text);
}
