#include "plFormatSettings.h"

#include "plErrors.h"
#include "plLocale.h"

#include <unicode/datefmt.h>
#include <unicode/dcfmtsym.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>

#include <cerrno>

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

UnicodeString fromIcuText(const icu::UnicodeString& s) {
  return UnicodeString(reinterpret_cast<const char16_t*>(s.getBuffer()), static_cast<std::size_t>(s.length()));
}

// An ICU date or time pattern in our pattern letters; the first character
// that is not a letter and not quoted becomes the separator found.
UnicodeString fromIcuPattern(const icu::UnicodeString& aPattern, char16_t& aSeparator, bool aDate) {
  const UnicodeString p = fromIcuText(aPattern);
  UnicodeString out;
  bool separatorSeen = false;
  for (std::size_t i = 0; i < p.size();) {
    const char16_t c = p[i];
    std::size_t n = 1;
    while (i + n < p.size() && p[i + n] == c) ++n;
    const bool letter = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
    if (c == u'\'') {
      const std::size_t end = p.find(u'\'', i + 1);
      const std::size_t stop = end == UnicodeString::npos ? p.size() : end + 1;
      out.append(u"\"").append(p.substr(i + 1, stop - i - 2)).append(u"\"");
      i = stop;
      continue;
    }
    if (!letter) {
      if (!separatorSeen && c != u' ') {
        aSeparator = c;
        separatorSeen = true;
      }
      out.append(1, c == aSeparator ? (aDate ? u'/' : u':') : c);
      i += 1;
      continue;
    }
    switch (c) {
      case u'y': out.append(u"yyyy"); break;
      case u'M': out.append(n >= 4 ? u"mmmm" : n == 3 ? u"mmm" : n == 2 ? u"mm" : u"m"); break;
      case u'd': out.append(n >= 2 ? u"dd" : u"d"); break;
      case u'H':
      case u'h':
      case u'k':
      case u'K': out.append(n >= 2 ? u"hh" : u"h"); break;
      case u'm': out.append(n >= 2 ? u"nn" : u"n"); break;
      case u's': out.append(n >= 2 ? u"ss" : u"s"); break;
      case u'a': out.append(u"ampm"); break;
      default: break;  // era, zone and the rest have no letter of ours
    }
    i += n;
  }
  while (!out.empty() && out.back() == u' ') out.pop_back();
  while (!out.empty() && out.front() == u' ') out.erase(0, 1);
  return out;
}

FormatSettings makeFromIcu(const std::string& aIcuName) {
  FormatSettings fs = makeInvariant();
  const icu::Locale loc(aIcuName.c_str());
  UErrorCode err = U_ZERO_ERROR;
  const icu::DecimalFormatSymbols sym(loc, err);
  if (U_SUCCESS(err)) {
    const UnicodeString dec = fromIcuText(sym.getConstSymbol(icu::DecimalFormatSymbols::kDecimalSeparatorSymbol));
    const UnicodeString grp = fromIcuText(sym.getConstSymbol(icu::DecimalFormatSymbols::kGroupingSeparatorSymbol));
    if (dec.size() == 1) fs.DecimalSeparator = dec[0];
    if (grp.size() == 1) fs.ThousandSeparator = grp[0];
  }
  std::unique_ptr<icu::DateFormat> date(icu::DateFormat::createDateInstance(icu::DateFormat::kShort, loc));
  if (auto* sdf = dynamic_cast<icu::SimpleDateFormat*>(date.get())) {
    icu::UnicodeString pattern;
    sdf->toPattern(pattern);
    fs.ShortDateFormat = fromIcuPattern(pattern, fs.DateSeparator, true);
  }
  std::unique_ptr<icu::DateFormat> time(icu::DateFormat::createTimeInstance(icu::DateFormat::kMedium, loc));
  if (auto* sdf = dynamic_cast<icu::SimpleDateFormat*>(time.get())) {
    icu::UnicodeString pattern;
    sdf->toPattern(pattern);
    fs.LongTimeFormat = fromIcuPattern(pattern, fs.TimeSeparator, false);
  }
  return fs;
}

}  // namespace

FormatSettings localeFormatSettings(std::uint32_t lcid) {
  const Lcid real = convertDefaultLocale(lcid);
  if (real == 1041) return japaneseFormatSettings();
  if (real == LOCALE_INVARIANT) return invariantFormatSettings();
  return makeFromIcu(localeToIcu(real));  // unknown ids raise here
}

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
