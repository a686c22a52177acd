#include "plDateTime.h"

#include "plErrors.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>

namespace platform {

namespace {

constexpr int kMonthDays[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                                   {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};

// Day number (0001-01-01 = 1) of a valid date.
std::int32_t dayNumber(int y, int m, int d) {
  const bool leap = isLeapYear(y);
  int days = d;
  for (int i = 0; i < m - 1; ++i) days += kMonthDays[leap][i];
  const int p = y - 1;
  return p * 365 + p / 4 - p / 100 + p / 400 + days;
}

void splitDayNumber(std::int32_t number, int& y, int& m, int& d) {
  int n = number - 1;  // days since 0001-01-01
  int y400 = n / 146097;
  n %= 146097;
  int y100 = n / 36524;
  if (y100 == 4) y100 = 3;  // last day of a 400-year cycle
  n -= y100 * 36524;
  const int y4 = n / 1461;
  n %= 1461;
  int y1 = n / 365;
  if (y1 == 4) y1 = 3;  // last day of a leap cycle
  n -= y1 * 365;
  y = y400 * 400 + y100 * 100 + y4 * 4 + y1 + 1;
  const bool leap = isLeapYear(y);
  m = 1;
  while (n >= kMonthDays[leap][m - 1]) n -= kMonthDays[leap][m++ - 1];
  d = n + 1;
}

DateTime systemNow() {
  const auto tp = std::chrono::system_clock::now();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(tp.time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  localtime_r(&secs, &tm);
  return combineDateTime(encodeDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday),
                         encodeTime(tm.tm_hour, tm.tm_min, tm.tm_sec > 59 ? 59 : tm.tm_sec,
                                    static_cast<int>(ms % 1000)));
}

std::atomic<NowSource> gNowSource{nullptr};

}  // namespace

bool isLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int daysInMonth(int year, int month) {
  if (month < 1 || month > 12) return 0;
  return kMonthDays[isLeapYear(year)][month - 1];
}

bool tryEncodeDate(int year, int month, int day, DateTime& out) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month))
    return false;
  out = static_cast<DateTime>(dayNumber(year, month, day) - kDateDelta);
  return true;
}

DateTime encodeDate(int year, int month, int day) {
  DateTime r;
  if (!tryEncodeDate(year, month, day, r)) throw ConvertError("Invalid argument to date encode");
  return r;
}

bool tryEncodeTime(int hour, int min, int sec, int msec, DateTime& out) {
  if (hour < 0 || hour > 23 || min < 0 || min > 59 || sec < 0 || sec > 59 || msec < 0 || msec > 999)
    return false;
  out = static_cast<DateTime>(((hour * 60 + min) * 60 + sec) * 1000 + msec) / kMSecsPerDay;
  return true;
}

DateTime encodeTime(int hour, int min, int sec, int msec) {
  DateTime r;
  if (!tryEncodeTime(hour, min, sec, msec, r)) throw ConvertError("Invalid argument to time encode");
  return r;
}

DateTime combineDateTime(DateTime date, DateTime time) {
  return date < 0 ? date - std::fabs(time) : date + std::fabs(time);
}

DateTime encodeDateTime(int year, int month, int day, int hour, int min, int sec, int msec) {
  return combineDateTime(encodeDate(year, month, day), encodeTime(hour, min, sec, msec));
}

TimeStamp dateTimeToTimeStamp(DateTime dt) {
  if (!std::isfinite(dt) || std::fabs(dt) > 3000000.0) throw RangeError("Invalid date-time value");
  const long long total = std::llround(std::fabs(dt) * kMSecsPerDay);
  long long days = total / kMSecsPerDay;
  if (dt < 0) days = -days;
  TimeStamp ts;
  ts.time = static_cast<std::int32_t>(total % kMSecsPerDay);
  const long long number = days + kDateDelta;
  if (number < 1 || number > kMaxDateNumber) throw RangeError("Invalid date-time value");
  ts.date = static_cast<std::int32_t>(number);
  return ts;
}

DateTime timeStampToDateTime(const TimeStamp& ts) {
  if (ts.date < 1 || ts.date > kMaxDateNumber || ts.time < 0 || ts.time >= kMSecsPerDay)
    throw RangeError("Invalid time stamp");
  return combineDateTime(static_cast<DateTime>(ts.date - kDateDelta),
                         static_cast<DateTime>(ts.time) / kMSecsPerDay);
}

void decodeDate(DateTime dt, int& year, int& month, int& day) {
  splitDayNumber(dateTimeToTimeStamp(dt).date, year, month, day);
}

void decodeTime(DateTime dt, int& hour, int& min, int& sec, int& msec) {
  int t = dateTimeToTimeStamp(dt).time;
  msec = t % 1000;
  t /= 1000;
  sec = t % 60;
  t /= 60;
  min = t % 60;
  hour = t / 60;
}

void decodeDateTime(DateTime dt, int& year, int& month, int& day, int& hour, int& min, int& sec,
                    int& msec) {
  decodeDate(dt, year, month, day);
  decodeTime(dt, hour, min, sec, msec);
}

int dayOfWeek(DateTime dt) {
  // Day number 1 (0001-01-01) was a Monday.
  return dateTimeToTimeStamp(dt).date % 7 + 1;
}

DateTime incMonth(DateTime dt, int months) {
  const TimeStamp ts = dateTimeToTimeStamp(dt);
  int y, m, d;
  splitDayNumber(ts.date, y, m, d);
  long long total = static_cast<long long>(y) * 12 + (m - 1) + months;
  const int ny = static_cast<int>(total / 12);
  const int nm = static_cast<int>(total % 12) + 1;
  if (ny < 1 || ny > 9999) throw RangeError("Invalid date-time value");
  const int nd = d > daysInMonth(ny, nm) ? daysInMonth(ny, nm) : d;
  return combineDateTime(encodeDate(ny, nm, nd), static_cast<DateTime>(ts.time) / kMSecsPerDay);
}

DateTime now() {
  const NowSource src = gNowSource.load(std::memory_order_acquire);
  return src ? src() : systemNow();
}

DateTime currentDate() { return static_cast<DateTime>(dateTimeToTimeStamp(now()).date - kDateDelta); }

DateTime currentTime() { return static_cast<DateTime>(dateTimeToTimeStamp(now()).time) / kMSecsPerDay; }

void setNowSource(NowSource source) { gNowSource.store(source, std::memory_order_release); }

// ---------------------------------------------------------------- formatting

namespace {

char16_t upper(char16_t c) { return upperAscii(c); }

void appendNumber(UnicodeString& out, int value, int minDigits) {
  std::string s = std::to_string(value);
  for (int i = static_cast<int>(s.size()); i < minDigits; ++i) out += u'0';
  for (char c : s) out += static_cast<char16_t>(c);
}

bool startsWithNoCase(UnicodeStringView s, std::size_t pos, UnicodeStringView word) {
  if (pos + word.size() > s.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i)
    if (upper(s[pos + i]) != upper(word[i])) return false;
  return true;
}

struct Fields {
  int year, month, day, hour, min, sec, msec, dow;
  bool hasTime;
};

// Whether an am/pm, a/p or ampm token follows, which selects the 12-hour clock.
bool hasAmPmAfter(UnicodeStringView f, std::size_t pos) {
  char16_t quote = 0;
  for (std::size_t i = pos; i < f.size(); ++i) {
    const char16_t c = f[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == u'"' || c == u'\'') {
      quote = c;
    } else if (startsWithNoCase(f, i, u"am/pm") || startsWithNoCase(f, i, u"a/p") ||
               startsWithNoCase(f, i, u"ampm")) {
      return true;
    }
  }
  return false;
}

void formatInto(UnicodeString& out, UnicodeStringView f, const Fields& v, const FormatSettings& fs,
                int depth) {
  if (depth > 2) return;
  char16_t lastToken = 0;
  bool use12 = false;
  std::size_t i = 0;
  auto count = [&](char16_t letter) {
    std::size_t n = 1;
    while (i + n < f.size() && upper(f[i + n]) == letter) ++n;
    return n;
  };
  while (i < f.size()) {
    const char16_t c = f[i];
    const char16_t t = upper(c);
    std::size_t n = 1;
    switch (t) {
      case u'Y':
        n = count(u'Y');
        if (n <= 2) appendNumber(out, v.year % 100, 2);
        else appendNumber(out, v.year, 4);
        break;
      case u'M':
        n = count(u'M');
        if (lastToken == u'H') {
          appendNumber(out, v.min, n >= 2 ? 2 : 0);
        } else if (n <= 2) {
          appendNumber(out, v.month, n == 2 ? 2 : 0);
        } else {
          out += n == 3 ? fs.ShortMonthNames[v.month - 1] : fs.LongMonthNames[v.month - 1];
        }
        break;
      case u'D':
        n = count(u'D');
        switch (n) {
          case 1: appendNumber(out, v.day, 0); break;
          case 2: appendNumber(out, v.day, 2); break;
          case 3: out += fs.ShortDayNames[v.dow - 1]; break;
          case 4: out += fs.LongDayNames[v.dow - 1]; break;
          case 5: formatInto(out, fs.ShortDateFormat, v, fs, depth + 1); break;
          default: formatInto(out, fs.LongDateFormat, v, fs, depth + 1); break;
        }
        break;
      case u'H': {
        n = count(u'H');
        use12 = hasAmPmAfter(f, i + n);
        int h = v.hour;
        if (use12) {
          h %= 12;
          if (h == 0) h = 12;
        }
        appendNumber(out, h, n >= 2 ? 2 : 0);
        break;
      }
      case u'N':
        n = count(u'N');
        appendNumber(out, v.min, n >= 2 ? 2 : 0);
        break;
      case u'S':
        n = count(u'S');
        appendNumber(out, v.sec, n >= 2 ? 2 : 0);
        break;
      case u'Z':
        n = count(u'Z');
        appendNumber(out, v.msec, n >= 2 ? 3 : 0);
        break;
      case u'T':
        n = count(u'T');
        formatInto(out, n == 1 ? fs.ShortTimeFormat : fs.LongTimeFormat, v, fs, depth + 1);
        break;
      case u'C':
        formatInto(out, fs.ShortDateFormat, v, fs, depth + 1);
        if (v.hasTime) {
          out += u' ';
          formatInto(out, fs.LongTimeFormat, v, fs, depth + 1);
        }
        break;
      case u'A': {
        const bool pm = v.hour >= 12;
        if (startsWithNoCase(f, i, u"am/pm")) {
          const UnicodeStringView src = f.substr(i + (pm ? 3 : 0), 2);
          out += src;
          n = 5;
        } else if (startsWithNoCase(f, i, u"a/p")) {
          out += f[i + (pm ? 2 : 0)];
          n = 3;
        } else if (startsWithNoCase(f, i, u"ampm")) {
          out += pm ? fs.TimePMString : fs.TimeAMString;
          n = 4;
        } else {
          out += c;
        }
        break;
      }
      case u'/': out += fs.DateSeparator; break;
      case u':': out += fs.TimeSeparator; break;
      case u'"':
      case u'\'': {
        std::size_t j = i + 1;
        while (j < f.size() && f[j] != c) out += f[j++];
        n = j - i + (j < f.size() ? 1 : 0);
        break;
      }
      default: out += c; break;
    }
    if (t >= u'A' && t <= u'Z') lastToken = t;
    i += n;
  }
}

}  // namespace

UnicodeString formatDateTime(UnicodeStringView pattern, DateTime dt, const FormatSettings& fs) {
  const TimeStamp ts = dateTimeToTimeStamp(dt);
  Fields v{};
  splitDayNumber(ts.date, v.year, v.month, v.day);
  int t = ts.time;
  v.msec = t % 1000;
  t /= 1000;
  v.sec = t % 60;
  t /= 60;
  v.min = t % 60;
  v.hour = t / 60;
  v.dow = ts.date % 7 + 1;
  v.hasTime = ts.time != 0;
  UnicodeString out;
  formatInto(out, pattern.empty() ? UnicodeStringView(u"c") : pattern, v, fs, 0);
  return out;
}

UnicodeString formatDateTime(UnicodeStringView pattern, DateTime dt) {
  return formatDateTime(pattern, dt, defaultFormatSettings());
}

UnicodeString dateToStr(DateTime dt, const FormatSettings& fs) { return formatDateTime(u"ddddd", dt, fs); }
UnicodeString timeToStr(DateTime dt, const FormatSettings& fs) { return formatDateTime(u"tt", dt, fs); }
UnicodeString dateTimeToStr(DateTime dt, const FormatSettings& fs) { return formatDateTime(u"c", dt, fs); }
UnicodeString dateToStr(DateTime dt) { return dateToStr(dt, defaultFormatSettings()); }
UnicodeString timeToStr(DateTime dt) { return timeToStr(dt, defaultFormatSettings()); }
UnicodeString dateTimeToStr(DateTime dt) { return dateTimeToStr(dt, defaultFormatSettings()); }

// ------------------------------------------------------------------- parsing

namespace {

struct Scanner {
  UnicodeStringView s;
  std::size_t pos = 0;

  void skipSpaces() {
    while (pos < s.size() && s[pos] == u' ') ++pos;
  }
  bool atEnd() {
    skipSpaces();
    return pos >= s.size();
  }
  // Up to four digits; digitCount reports how many were read.
  bool number(int& value, int& digitCount) {
    skipSpaces();
    value = 0;
    digitCount = 0;
    while (pos < s.size() && digitCount < 4 && s[pos] >= u'0' && s[pos] <= u'9') {
      value = value * 10 + (s[pos++] - u'0');
      ++digitCount;
    }
    return digitCount > 0;
  }
  bool ch(char16_t c) {
    skipSpaces();
    if (pos < s.size() && s[pos] == c) {
      ++pos;
      return true;
    }
    return false;
  }
  bool word(UnicodeStringView w) {
    skipSpaces();
    if (w.empty() || !startsWithNoCase(s, pos, w)) return false;
    pos += w.size();
    return true;
  }
};

enum class DateOrder { MDY, DMY, YMD };

DateOrder dateOrder(UnicodeStringView f) {
  char16_t quote = 0;
  for (char16_t c : f) {
    if (quote) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == u'"' || c == u'\'') {
      quote = c;
      continue;
    }
    switch (upper(c)) {
      case u'Y': return DateOrder::YMD;
      case u'M': return DateOrder::MDY;
      case u'D': return DateOrder::DMY;
      default: break;
    }
  }
  return DateOrder::YMD;
}

int currentYear() {
  int y, m, d;
  decodeDate(now(), y, m, d);
  return y;
}

bool scanDate(Scanner& sc, DateTime& out, const FormatSettings& fs) {
  int n1, n2, n3 = 0, l1, l2, l3 = 0;
  if (!sc.number(n1, l1) || !sc.ch(fs.DateSeparator) || !sc.number(n2, l2)) return false;
  const DateOrder order = dateOrder(fs.ShortDateFormat);
  int y, m, d, yearDigits;
  if (sc.ch(fs.DateSeparator)) {
    if (!sc.number(n3, l3)) return false;
    switch (order) {
      case DateOrder::MDY: m = n1, d = n2, y = n3, yearDigits = l3; break;
      case DateOrder::DMY: d = n1, m = n2, y = n3, yearDigits = l3; break;
      default: y = n1, m = n2, d = n3, yearDigits = l1; break;
    }
    if (yearDigits <= 2) {
      // Place the two-digit year in the window that ends `window` years ahead.
      int cur = currentYear() - fs.TwoDigitYearCenturyWindow;
      y += cur - cur % 100;
      if (fs.TwoDigitYearCenturyWindow > 0 && y < cur) y += 100;
    }
  } else {
    y = currentYear();
    if (order == DateOrder::DMY) d = n1, m = n2;
    else m = n1, d = n2;
  }
  return tryEncodeDate(y, m, d, out);
}

bool scanAmPm(Scanner& sc, const FormatSettings& fs, int& ampm) {
  if (sc.word(fs.TimeAMString) || sc.word(u"AM")) {
    ampm = 1;
    return true;
  }
  if (sc.word(fs.TimePMString) || sc.word(u"PM")) {
    ampm = 2;
    return true;
  }
  return false;
}

bool scanTime(Scanner& sc, DateTime& out, const FormatSettings& fs) {
  int ampm = 0;
  scanAmPm(sc, fs, ampm);
  int h, n = 0, s = 0, z = 0, digits;
  if (!sc.number(h, digits)) return false;
  bool haveMinutes = false;
  if (sc.ch(fs.TimeSeparator)) {
    if (!sc.number(n, digits)) return false;
    haveMinutes = true;
    if (sc.ch(fs.TimeSeparator)) {
      if (!sc.number(s, digits)) return false;
      if (sc.ch(fs.DecimalSeparator) && !sc.number(z, digits)) return false;
    }
  }
  if (ampm == 0) scanAmPm(sc, fs, ampm);
  if (!haveMinutes && ampm == 0) return false;
  if (ampm != 0) {
    if (h > 12) return false;
    if (ampm == 1 && h == 12) h = 0;
    else if (ampm == 2 && h < 12) h += 12;
  }
  return tryEncodeTime(h, n, s, z, out);
}

[[noreturn]] void invalid(UnicodeStringView text, const char* what) {
  throw ConvertError("'" + toUtf8(text) + "' is not a valid " + what);
}

}  // namespace

bool tryStrToDate(UnicodeStringView text, DateTime& out, const FormatSettings& fs) {
  Scanner sc{text};
  DateTime d;
  if (!scanDate(sc, d, fs) || !sc.atEnd()) return false;
  out = d;
  return true;
}

bool tryStrToTime(UnicodeStringView text, DateTime& out, const FormatSettings& fs) {
  Scanner sc{text};
  DateTime t;
  if (!scanTime(sc, t, fs) || !sc.atEnd()) return false;
  out = t;
  return true;
}

bool tryStrToDateTime(UnicodeStringView text, DateTime& out, const FormatSettings& fs) {
  Scanner sc{text};
  DateTime d, t = 0;
  if (scanDate(sc, d, fs)) {
    if (!sc.atEnd() && (!scanTime(sc, t, fs) || !sc.atEnd())) return false;
    out = combineDateTime(d, t);
    return true;
  }
  return tryStrToTime(text, out, fs);
}

DateTime strToDate(UnicodeStringView text, const FormatSettings& fs) {
  DateTime r;
  if (!tryStrToDate(text, r, fs)) invalid(text, "date");
  return r;
}

DateTime strToTime(UnicodeStringView text, const FormatSettings& fs) {
  DateTime r;
  if (!tryStrToTime(text, r, fs)) invalid(text, "time");
  return r;
}

DateTime strToDateTime(UnicodeStringView text, const FormatSettings& fs) {
  DateTime r;
  if (!tryStrToDateTime(text, r, fs)) invalid(text, "date and time");
  return r;
}

DateTime strToDate(UnicodeStringView text) { return strToDate(text, defaultFormatSettings()); }
DateTime strToTime(UnicodeStringView text) { return strToTime(text, defaultFormatSettings()); }
DateTime strToDateTime(UnicodeStringView text) { return strToDateTime(text, defaultFormatSettings()); }

}  // namespace platform
