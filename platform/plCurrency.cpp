#include "plCurrency.h"

#include "plDecimal.h"
#include "plErrors.h"

#include <cfenv>
#include <cmath>
#include <limits>

namespace platform {


Currency Currency::fromInt64(std::int64_t units) {
  constexpr std::int64_t kLimit = std::numeric_limits<std::int64_t>::max() / kScale;
  if (units > kLimit || units < -kLimit) throw RangeError("Currency value out of range");
  return Currency{units * kScale};
}

Currency Currency::fromLongDouble(long double v) {
  if (!std::isfinite(v)) throw RangeError("Currency value out of range");
  // nearbyint follows the default rounding mode: nearest, ties to even.
  const long double scaled = std::nearbyint(v * kScale);
  if (scaled >= 9223372036854775808.0L || scaled < -9223372036854775808.0L)
    throw RangeError("Currency value out of range");
  return Currency{static_cast<std::int64_t>(scaled)};
}

// Scaled in 80-bit extended precision (x87 long double), so values written
// by Windows-compatible clients convert to the same cents, then rounded to
// the nearest integer with ties to even.
Currency Currency::fromDouble(double v) { return fromLongDouble(v); }

std::int64_t Currency::roundToInt64() const {
  std::int64_t q = value / kScale;
  const std::int64_t r = value % kScale;  // same sign as value
  const std::int64_t ar = r < 0 ? -r : r;
  if (ar > kScale / 2 || (ar == kScale / 2 && (q & 1) != 0)) q += value < 0 ? -1 : 1;
  return q;
}

UnicodeString currToStr(Currency c, const FormatSettings& fs) {
  const bool neg = c.value < 0;
  std::uint64_t mag = neg ? 0 - static_cast<std::uint64_t>(c.value) : static_cast<std::uint64_t>(c.value);
  const std::uint64_t whole = mag / 10000;
  std::uint64_t frac = mag % 10000;
  UnicodeString out;
  if (neg) out += u'-';
  for (char ch : std::to_string(whole)) out += static_cast<char16_t>(ch);
  if (frac != 0) {
    out += fs.DecimalSeparator;
    char buf[5];
    for (int i = 3; i >= 0; --i) {
      buf[i] = static_cast<char>('0' + frac % 10);
      frac /= 10;
    }
    int n = 4;
    while (n > 0 && buf[n - 1] == '0') --n;
    for (int i = 0; i < n; ++i) out += static_cast<char16_t>(buf[i]);
  }
  return out;
}

UnicodeString currToStr(Currency c) { return currToStr(c, defaultFormatSettings()); }

bool tryStrToCurr(UnicodeStringView text, Currency& out, const FormatSettings& fs) {
  detail::Decimal d;
  if (!detail::parseDecimal(text, fs.DecimalSeparator, d) || d.special != detail::Decimal::Finite)
    return false;
  std::int64_t raw = 0;
  if (!detail::decimalToScaledInt(d, 4, raw)) return false;
  out = Currency{raw};
  return true;
}

Currency strToCurr(UnicodeStringView text, const FormatSettings& fs) {
  Currency c;
  if (!tryStrToCurr(text, c, fs))
    throw ConvertError("'" + toUtf8(text) + "' is not a valid floating point value");
  return c;
}

Currency strToCurr(UnicodeStringView text) { return strToCurr(text, defaultFormatSettings()); }

}  // namespace platform
