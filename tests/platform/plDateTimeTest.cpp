#include "plDateTime.h"

#include "plErrors.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace platform;

namespace {

struct DayCase {
  int y, m, d;
  double number;
  int dow;  // 1 = Sunday
};

// Day numbers and weekdays computed independently (proleptic Gregorian calendar).
const DayCase kDays[] = {
    {1899, 12, 30, 0, 7},      {1900, 1, 1, 2, 2},       {2000, 1, 1, 36526, 7},
    {2025, 4, 20, 45767, 1},   {2024, 2, 29, 45351, 5},  {1899, 12, 29, -1, 6},
    {1600, 3, 1, -109511, 4},  {1, 1, 1, -693593, 2},    {9999, 12, 31, 2958465, 6},
};

DateTime fixedNow() { return encodeDateTime(2026, 3, 15, 10, 20, 30, 0); }

struct NowGuard {
  NowGuard() { setNowSource(&fixedNow); }
  ~NowGuard() { setNowSource(nullptr); }
  NowGuard(const NowGuard&) = delete;
  NowGuard& operator=(const NowGuard&) = delete;
};

FormatSettings isoSettings() {
  FormatSettings fs = japaneseFormatSettings();
  fs.ShortDateFormat = u"yyyy-mm-dd";
  fs.DateSeparator = u'-';
  return fs;
}

}  // namespace

TEST(PlatformDateTime, EncodeAndDecodeKnownDayNumbers) {
  for (const auto& c : kDays) {
    SCOPED_TRACE(testing::Message() << c.y << "-" << c.m << "-" << c.d);
    EXPECT_EQ(encodeDate(c.y, c.m, c.d), c.number);
    int y, m, d;
    decodeDate(c.number, y, m, d);
    EXPECT_EQ(y, c.y);
    EXPECT_EQ(m, c.m);
    EXPECT_EQ(d, c.d);
    EXPECT_EQ(dayOfWeek(c.number), c.dow);
    EXPECT_EQ(dateTimeToTimeStamp(c.number).date, static_cast<int>(c.number) + kDateDelta);
  }
}

TEST(PlatformDateTime, InvalidDatesAndTimesAreRefused) {
  const int bad[][3] = {{2023, 2, 29}, {2024, 13, 1}, {2024, 0, 1}, {2024, 1, 0}, {2024, 4, 31},
                        {1900, 2, 29}, {0, 1, 1},     {10000, 1, 1}};
  for (const auto& b : bad) {
    DateTime out = 123;
    EXPECT_FALSE(tryEncodeDate(b[0], b[1], b[2], out)) << b[0] << "-" << b[1] << "-" << b[2];
    EXPECT_EQ(out, 123);
    EXPECT_THROW(encodeDate(b[0], b[1], b[2]), ConvertError);
  }
  EXPECT_TRUE(isLeapYear(2000));
  EXPECT_FALSE(isLeapYear(1900));
  EXPECT_THROW(encodeTime(24, 0, 0, 0), ConvertError);
  EXPECT_THROW(encodeTime(0, 60, 0, 0), ConvertError);
  EXPECT_THROW(encodeTime(0, 0, 0, 1000), ConvertError);
  // Values outside 0001-01-01 .. 9999-12-31 cannot be decoded.
  int y, m, d;
  EXPECT_THROW(decodeDate(2958466, y, m, d), RangeError);
  EXPECT_THROW(decodeDate(-693594, y, m, d), RangeError);
  EXPECT_THROW(decodeDate(NAN, y, m, d), RangeError);
}

TEST(PlatformDateTime, TimeFractionsAndNegativeValues) {
  EXPECT_EQ(encodeTime(6, 0, 0, 0), 0.25);
  EXPECT_EQ(encodeTime(12, 0, 0, 0), 0.5);
  EXPECT_DOUBLE_EQ(encodeTime(23, 59, 59, 999), 86399999.0 / 86400000.0);
  // Before 1899-12-30 the time moves the value away from zero.
  EXPECT_EQ(encodeDateTime(1899, 12, 29, 6, 0, 0, 0), -1.25);
  int y, m, d, h, n, s, z;
  decodeDateTime(-1.25, y, m, d, h, n, s, z);
  EXPECT_EQ(y * 10000 + m * 100 + d, 18991229);
  EXPECT_EQ(h, 6);
  // -0.5 is still 1899-12-30, at noon.
  decodeDateTime(-0.5, y, m, d, h, n, s, z);
  EXPECT_EQ(y * 10000 + m * 100 + d, 18991230);
  EXPECT_EQ(h, 12);
  // Rounding to milliseconds carries into the next day.
  decodeDateTime(1.0 - 1e-10, y, m, d, h, n, s, z);
  EXPECT_EQ(d, 31);
  EXPECT_EQ(h * 3600000 + n * 60000 + s * 1000 + z, 0);
  decodeTime(encodeTime(13, 45, 7, 123), h, n, s, z);
  EXPECT_EQ((std::array<int, 4>{h, n, s, z}), (std::array<int, 4>{13, 45, 7, 123}));
  const TimeStamp ts = dateTimeToTimeStamp(-1.25);
  EXPECT_EQ(ts.date, kDateDelta - 1);
  EXPECT_EQ(ts.time, 6 * 3600000);
  EXPECT_EQ(timeStampToDateTime(ts), -1.25);
}

TEST(PlatformDateTime, IncMonthClipsToMonthEnds) {
  struct {
    int y, m, d, months, ey, em, ed;
  } cases[] = {
      {2024, 1, 31, 1, 2024, 2, 29},  {2023, 1, 31, 1, 2023, 2, 28},   {2024, 3, 31, -1, 2024, 2, 29},
      {2024, 12, 15, 1, 2025, 1, 15}, {2025, 1, 15, -13, 2023, 12, 15}, {2024, 5, 31, 4, 2024, 9, 30},
      {2024, 2, 29, 12, 2025, 2, 28},
  };
  for (const auto& c : cases) {
    const DateTime r = incMonth(encodeDateTime(c.y, c.m, c.d, 8, 30, 0, 0), c.months);
    int y, m, d, h, n, s, z;
    decodeDateTime(r, y, m, d, h, n, s, z);
    EXPECT_EQ(y * 10000 + m * 100 + d, c.ey * 10000 + c.em * 100 + c.ed) << c.y << "-" << c.m << "-" << c.d;
    EXPECT_EQ(h * 60 + n, 8 * 60 + 30);
  }
  EXPECT_THROW(incMonth(encodeDate(9999, 12, 1), 1), RangeError);
}

TEST(PlatformDateTime, NowComesFromTheInjectedSource) {
  {
    NowGuard guard;
    EXPECT_EQ(now(), fixedNow());
    EXPECT_EQ(currentDate(), encodeDate(2026, 3, 15));
    EXPECT_EQ(currentTime(), encodeTime(10, 20, 30, 0));
  }
  // The system clock again: some date after this code was written.
  EXPECT_GT(now(), encodeDate(2024, 1, 1));
}

TEST(PlatformDateTime, FormattingWithPatternLetters) {
  const FormatSettings& ja = japaneseFormatSettings();
  const FormatSettings& inv = invariantFormatSettings();
  const DateTime dt = encodeDateTime(2025, 4, 20, 14, 5, 9, 7);
  struct {
    const char16_t* pattern;
    const FormatSettings* fs;
    const char16_t* expected;
  } cases[] = {
      {u"yyyy/mm/dd hh:nn:ss.zzz", &ja, u"2025/04/20 14:05:09.007"},
      {u"yy-m-d h:n:s.z", &ja, u"25-4-20 14:5:9.7"},
      {u"hh:mm", &ja, u"14:05"},  // m after h is minutes
      {u"ddd dddd mmm mmmm", &inv, u"Sun Sunday Apr April"},
      {u"ddd", &ja, u"日"},
      {u"h:nn am/pm", &inv, u"2:05 pm"},
      {u"h:nn AM/PM", &inv, u"2:05 PM"},
      {u"h a/p", &inv, u"2 p"},
      {u"hh ampm", &ja, u"02 午後"},
      {u"c", &ja, u"2025/04/20 14:05:09"},
      {u"c", &inv, u"04/20/2025 14:05:09"},
      {u"t", &ja, u"14:05"},
      {u"tt", &ja, u"14:05:09"},
      {u"ddddd", &ja, u"2025/04/20"},
      {u"dddddd", &ja, u"2025年4月20日"},
      {u"dddddd", &inv, u"Sunday, 20 April 2025"},
      {u"'yyyy' \"mm\" yyyy", &ja, u"yyyy mm 2025"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(formatDateTime(c.pattern, dt, *c.fs), c.expected) << toUtf8(c.pattern);
  FormatSettings dots = ja;
  dots.DateSeparator = u'.';
  dots.TimeSeparator = u'-';
  EXPECT_EQ(formatDateTime(u"yyyy/mm/dd hh:nn", dt, dots), u"2025.04.20 14-05");
  // Midnight leaves the time out of "c"; 12 am/pm edges.
  EXPECT_EQ(dateTimeToStr(encodeDate(2025, 4, 20), ja), u"2025/04/20");
  EXPECT_EQ(formatDateTime(u"h am/pm", encodeTime(0, 0, 0, 0), inv), u"12 am");
  EXPECT_EQ(formatDateTime(u"h am/pm", encodeTime(12, 0, 0, 0), inv), u"12 pm");
  EXPECT_EQ(dateToStr(-1.25, ja), u"1899/12/29");
}

TEST(PlatformDateTime, ParsingRoundTripsAndRejects) {
  NowGuard guard;
  const FormatSettings& ja = japaneseFormatSettings();
  const FormatSettings iso = isoSettings();
  for (const DateTime dt : {encodeDateTime(2025, 4, 20, 14, 5, 9, 0), encodeDateTime(1, 1, 1, 0, 0, 1, 0),
                            encodeDateTime(9999, 12, 31, 23, 59, 59, 0), encodeDateTime(1850, 6, 1, 18, 0, 0, 0)}) {
    for (const FormatSettings* fs : {&ja, &invariantFormatSettings(), &iso}) {
      const UnicodeString text = dateTimeToStr(dt, *fs);
      EXPECT_EQ(strToDateTime(text, *fs), dt) << toUtf8(text);
      EXPECT_EQ(strToDate(dateToStr(dt, *fs), *fs), std::trunc(dt)) << toUtf8(text);
    }
  }
  EXPECT_EQ(strToDate(u" 2024 / 2 / 29 ", ja), encodeDate(2024, 2, 29));
  EXPECT_EQ(strToDate(u"5/6", ja), encodeDate(2026, 5, 6));  // month and day of this year
  EXPECT_EQ(strToDate(u"06/05/2024", invariantFormatSettings()), encodeDate(2024, 6, 5));
  // Two-digit years: window of 50 years before 2026 -> 1976..2075.
  EXPECT_EQ(strToDate(u"25/4/20", ja), encodeDate(2025, 4, 20));
  EXPECT_EQ(strToDate(u"76/1/1", ja), encodeDate(1976, 1, 1));
  EXPECT_EQ(strToDate(u"75/1/1", ja), encodeDate(2075, 1, 1));
  EXPECT_EQ(strToTime(u"14:05", ja), encodeTime(14, 5, 0, 0));
  EXPECT_EQ(strToTime(u"14:05:09.250", ja), encodeTime(14, 5, 9, 250));
  EXPECT_EQ(strToTime(u"2:05 PM", ja), encodeTime(14, 5, 0, 0));
  EXPECT_EQ(strToTime(u"午前12:30", ja), encodeTime(0, 30, 0, 0));
  EXPECT_EQ(strToDateTime(u"14:05", ja), encodeTime(14, 5, 0, 0));

  const char16_t* badDates[] = {u"2024-1a-05", u"2024-01-05x", u"2023-02-29", u"2024-13-01",
                                u"2024--01",   u"",            u"20245-01-01", u"2024-01-05 25:00"};
  for (const char16_t* text : badDates) {
    DateTime out;
    EXPECT_FALSE(tryStrToDateTime(text, out, iso)) << toUtf8(text);
    EXPECT_THROW(strToDate(text, iso), ConvertError) << toUtf8(text);
  }
  EXPECT_THROW(strToTime(u"12", ja), ConvertError);
  EXPECT_THROW(strToTime(u"13:00 PM", ja), ConvertError);
  EXPECT_THROW(strToTime(u"12:00:00:00", ja), ConvertError);
  try {
    strToDate(u"2024-1a-05", iso);
    FAIL();
  } catch (const ConvertError& e) {
    EXPECT_STREQ(e.what(), "'2024-1a-05' is not a valid date");
  }
}
