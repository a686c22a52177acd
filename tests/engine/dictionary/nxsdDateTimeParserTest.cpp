#include "nxsdDateTimeParser.h"

#include <gtest/gtest.h>

#include <string>

#include "plErrors.h"

namespace {

std::string show(std::u16string_view s) { return platform::toUtf8(s); }

TEST(nxsdDateTimeParser, DatesGiveTheirDayNumbers) {
  const struct {
    std::u16string text;
    double day;
  } cases[] = {
      {u"2025-04-20", 45767},   {u"'2025-04-20'", 45767}, {u"1899-12-30", 0},
      {u"1899-12-31", 1},       {u"1899-12-29", -1},      {u"2000-01-01", 36526},
      {u"'2024-02-29'", 45351}, {u"0001-01-01", -693593}, {u"9999-12-31", 2958465},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(show(c.text));
    EXPECT_TRUE(nxIsValidDateStr(c.text));
    EXPECT_EQ(nxDateStrToDate(c.text), c.day);
    EXPECT_EQ(nxVarToDate(platform::Variant(c.text)), c.day);
  }
}

TEST(nxsdDateTimeParser, DatesRefused) {
  const std::u16string cases[] = {
      u"2023-02-29",  u"2024-1a-05", u"2024-01-0x", u"2O24-01-05", u"2024-13-01", u"2024-00-10",
      u"0000-01-01",  u"2024-01-5",  u"2024/01/05", u"'2024-01-05", u"2024-01-05'", u" 2024-01-05",
      u"2024-01-05 ", u"",           u"'",          u"''",          u"2024-+1-05", u"2024-01-32",
  };
  for (const auto& text : cases) {
    SCOPED_TRACE(show(text));
    EXPECT_FALSE(nxIsValidDateStr(text));
    EXPECT_THROW(nxDateStrToDate(text), platform::ConvertError);
    try {
      nxVarToDate(platform::Variant(text));
      ADD_FAILURE() << "no error";
    } catch (const platform::RuntimeError& e) {
      EXPECT_EQ(std::string(e.what()), "Invalid date format " + show(text));
    }
  }
}

TEST(nxsdDateTimeParser, DigitsToIntSkipsOtherCharacters) {
  EXPECT_EQ(nxDigitsToInt(u"2024-1a-05", 6, 2), 1);
  EXPECT_EQ(nxDigitsToInt(u"2024-1a-05", 1, 4), 2024);
  EXPECT_EQ(nxDigitsToInt(u"12", 2, 5), 2);  // past the end reads nothing
}

TEST(nxsdDateTimeParser, IsoWeekDates) {
  const struct {
    std::u16string text;
    int year, month, day;  // 0: refused
  } cases[] = {
      {u"2024-W01-1", 2024, 1, 1},  {u"'2020-W53-5'", 2021, 1, 1}, {u"2024-w01-7", 2024, 1, 7},
      {u"2026-W53-7", 2027, 1, 3},  {u"2021-W01-1", 2021, 1, 4},   {u"2008-W01-1", 2007, 12, 31},
      {u"2021-W53-1", 0, 0, 0},     {u"2024-W00-1", 0, 0, 0},      {u"2024-W01-0", 0, 0, 0},
      {u"2024-W01-8", 0, 0, 0},     {u"2024-X01-1", 0, 0, 0},      {u"2024-W1a-1", 0, 0, 0},
      {u"2024-W01", 0, 0, 0},       {u"0001-W01-1", 1, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(show(c.text));
    platform::DateTime dt = -1e9;
    const bool ok = nxTryISODateStrToDate(c.text, dt);
    if (c.year == 0) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(dt, -1e9);  // untouched
    } else {
      ASSERT_TRUE(ok);
      EXPECT_EQ(dt, platform::encodeDate(c.year, c.month, c.day));
    }
  }
}

TEST(nxsdDateTimeParser, Times) {
  const struct {
    std::u16string text;
    int h, n, s, ms;  // h < 0: refused
  } cases[] = {
      {u"12:34:56", 12, 34, 56, 0},  {u"12:34:56.789", 12, 34, 56, 789}, {u"'23:59:59.999'", 23, 59, 59, 999},
      {u"00:00:00", 0, 0, 0, 0},     {u"24:00:00", -1, 0, 0, 0},         {u"12:60:00", -1, 0, 0, 0},
      {u"12:00:60", -1, 0, 0, 0},    {u"12:34:56x789", 12, 34, 56, 0},     {u"12:34:56.78x", -1, 0, 0, 0},
      {u"1a:34:56", -1, 0, 0, 0},    {u"12:34:5", -1, 0, 0, 0},          {u"12-34-56", -1, 0, 0, 0},
      {u"12:34:56.7", -1, 0, 0, 0},  {u"", -1, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(show(c.text));
    if (c.h < 0) {
      EXPECT_FALSE(nxIsValidTimeStr(c.text));
      EXPECT_THROW(nxVarToTime(platform::Variant(c.text)), platform::RuntimeError);
    } else {
      EXPECT_TRUE(nxIsValidTimeStr(c.text));
      const platform::DateTime expected = platform::encodeTime(c.h, c.n, c.s, c.ms);
      EXPECT_EQ(nxTimeStrToTime(c.text), expected);
      EXPECT_EQ(nxVarToTime(platform::Variant(c.text)), expected);
    }
  }
  try {
    nxVarToTime(platform::Variant(u"25:00:00"));
    ADD_FAILURE();
  } catch (const platform::RuntimeError& e) {
    EXPECT_STREQ(e.what(), "Invalid time format 25:00:00");
  }
}

TEST(nxsdDateTimeParser, Timestamps) {
  const struct {
    std::u16string text;
    double value;
  } cases[] = {
      {u"1899-12-29 06:00:00", -1.25},
      {u"'2025-04-20 18:00:00'", 45767.75},
      {u"2025-04-20 00:00:00.000", 45767},
      {u"1899-12-30 12:00:00", 0.5},
      {u"2025-04-20 12:00:00x500", 45767.5},  // no "." in its place: 0 milliseconds
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(show(c.text));
    EXPECT_TRUE(nxIsValidDateTimeStr(c.text));
    EXPECT_EQ(nxDateTimeStrToDateTime(c.text), c.value);
    EXPECT_EQ(nxVarToDateTime(platform::Variant(c.text)), c.value);
  }
  EXPECT_DOUBLE_EQ(nxDateTimeStrToDateTime(u"2025-04-20 00:00:00.500"), 45767 + 500.0 / 86400000);

  const std::u16string refused[] = {
      u"2025-04-20T12:00:00", u"2025-04-20 24:00:00", u"2025-02-30 12:00:00", u"2025-04-20 12:00",
      u"2025-04-20", u"2025-04-2a 12:00:00", u"2025-04-20 12:00:00.5x0",
  };
  for (const auto& text : refused) {
    SCOPED_TRACE(show(text));
    EXPECT_FALSE(nxIsValidDateTimeStr(text));
    try {
      nxVarToDateTime(platform::Variant(text));
      ADD_FAILURE();
    } catch (const platform::RuntimeError& e) {
      EXPECT_EQ(std::string(e.what()), "Invalid date/time format " + show(text));
    }
  }
}

TEST(nxsdDateTimeParser, VariantsAreReadThroughTheirText) {
  // Not the fixed form: a date variant's text follows the format settings.
  EXPECT_THROW(nxVarToDate(platform::Variant::fromDate(45767)), platform::RuntimeError);
  EXPECT_THROW(nxVarToDate(platform::Variant::null()), platform::RuntimeError);
  EXPECT_EQ(nxVarToDate(platform::Variant(platform::AnsiString{"2025-04-20", 0})), 45767);
}

}  // namespace
