#include "plFormatSettings.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

namespace {

FormatSettings makeJapanese() {
  FormatSettings fs;
  fs.DecimalSeparator = u'.';
  fs.ThousandSeparator = u',';
  fs.DateSeparator = u'/';
  fs.TimeSeparator = u':';
  fs.ListSeparator = u',';
  fs.ShortDateFormat = u"yyyy/mm/dd";
  fs.LongDateFormat = u"yyyy\"年\"m\"月\"d\"日\"";
  fs.ShortTimeFormat = u"hh:nn";
  fs.LongTimeFormat = u"hh:nn:ss";
  fs.TimeAMString = u"午前";
  fs.TimePMString = u"午後";
  fs.CurrencyString = u"\u00A5";
  fs.CurrencyFormat = 0;
  fs.NegCurrFormat = 1;
  fs.CurrencyDecimals = 0;
  fs.TwoDigitYearCenturyWindow = 50;
  static const char16_t* const months[12] = {u"1月", u"2月", u"3月",  u"4月",  u"5月",  u"6月",
                                             u"7月", u"8月", u"9月", u"10月", u"11月", u"12月"};
  for (int i = 0; i < 12; ++i) fs.ShortMonthNames[i] = fs.LongMonthNames[i] = months[i];
  static const char16_t* const shortDays[7] = {u"日", u"月", u"火", u"水", u"木", u"金", u"土"};
  for (int i = 0; i < 7; ++i) {
    fs.ShortDayNames[i] = shortDays[i];
    fs.LongDayNames[i] = UnicodeString(shortDays[i]) + u"曜日";
  }
  return fs;
}

FormatSettings makeInvariant() {
  FormatSettings fs;
  fs.DecimalSeparator = u'.';
  fs.ThousandSeparator = u',';
  fs.DateSeparator = u'/';
  fs.TimeSeparator = u':';
  fs.ListSeparator = u',';
  fs.ShortDateFormat = u"mm/dd/yyyy";
  fs.LongDateFormat = u"dddd, dd mmmm yyyy";
  fs.ShortTimeFormat = u"hh:nn";
  fs.LongTimeFormat = u"hh:nn:ss";
  fs.TimeAMString = u"AM";
  fs.TimePMString = u"PM";
  fs.CurrencyString = u"\u00A4";
  fs.CurrencyFormat = 0;
  fs.NegCurrFormat = 0;
  fs.CurrencyDecimals = 2;
  fs.TwoDigitYearCenturyWindow = 50;
  static const char16_t* const longMonths[12] = {u"January", u"February", u"March",     u"April",
                                                 u"May",     u"June",     u"July",      u"August",
                                                 u"September", u"October", u"November", u"December"};
  for (int i = 0; i < 12; ++i) {
    fs.LongMonthNames[i] = longMonths[i];
    fs.ShortMonthNames[i] = fs.LongMonthNames[i].substr(0, 3);
  }
  static const char16_t* const longDays[7] = {u"Sunday",   u"Monday", u"Tuesday", u"Wednesday",
                                              u"Thursday", u"Friday", u"Saturday"};
  for (int i = 0; i < 7; ++i) {
    fs.LongDayNames[i] = longDays[i];
    fs.ShortDayNames[i] = fs.LongDayNames[i].substr(0, 3);
  }
  return fs;
}

// Replaced settings are kept alive: readers may still hold a reference.
std::mutex gDefaultMutex;
std::atomic<const FormatSettings*> gDefault{nullptr};

}  // namespace

const FormatSettings& japaneseFormatSettings() {
  static const FormatSettings fs = makeJapanese();
  return fs;
}

const FormatSettings& invariantFormatSettings() {
  static const FormatSettings fs = makeInvariant();
  return fs;
}

const FormatSettings& defaultFormatSettings() {
  const FormatSettings* p = gDefault.load(std::memory_order_acquire);
  return p ? *p : japaneseFormatSettings();
}

void setDefaultFormatSettings(const FormatSettings& settings) {
  static std::vector<std::unique_ptr<FormatSettings>> kept;
  std::lock_guard<std::mutex> lock(gDefaultMutex);
  kept.push_back(std::make_unique<FormatSettings>(settings));
  gDefault.store(kept.back().get(), std::memory_order_release);
}

}  // namespace platform
