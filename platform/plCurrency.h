// Currency: a signed 64-bit count of ten-thousandths (four fixed decimals).
// Conversions from floating point and from text round to the nearest
// ten-thousandth with ties to even; values beyond the 64-bit range raise
// RangeError (numbers) or ConvertError (text).
// Thread safety: plain values; the functions keep no state.
#pragma once

#include "plFormatSettings.h"
#include "plString.h"

#include <compare>
#include <cstdint>

namespace platform {

struct Currency {
  std::int64_t value = 0;  // ten-thousandths

  static constexpr std::int64_t kScale = 10000;

  static constexpr Currency fromRaw(std::int64_t raw) { return Currency{raw}; }
  static Currency fromInt64(std::int64_t units);  // RangeError beyond +-922337203685477
  static Currency fromDouble(double v);           // ties to even; RangeError out of range
  static Currency fromLongDouble(long double v);
  double toDouble() const { return static_cast<double>(value) / kScale; }
  long double toLongDouble() const { return static_cast<long double>(value) / kScale; }
  // Whole units, rounded with ties to even (the runtime's Round).
  std::int64_t roundToInt64() const;
  // Whole units, truncated toward zero.
  std::int64_t truncToInt64() const { return value / kScale; }

  friend constexpr bool operator==(Currency, Currency) = default;
  friend constexpr auto operator<=>(Currency a, Currency b) { return a.value <=> b.value; }
};

// Shortest text: "1.5", "-0.0001", "922337203685477.5807".
UnicodeString currToStr(Currency c, const FormatSettings& fs);
UnicodeString currToStr(Currency c);

// Decimal text with optional sign, decimal separator and exponent; surrounding
// spaces allowed. Digits beyond four decimals round with ties to even.
bool tryStrToCurr(UnicodeStringView text, Currency& out, const FormatSettings& fs);
Currency strToCurr(UnicodeStringView text, const FormatSettings& fs);
Currency strToCurr(UnicodeStringView text);

}  // namespace platform
