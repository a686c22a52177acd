// The formatted-BCD value of the runtime library: a packed decimal of up to
// 64 digits. Layout (34 bytes, the same as the engine's TnxFmtBcd):
//   byte 0  Precision         number of digits, 1..64
//   byte 1  SignSpecialPlaces bit 7 negative, bit 6 special flag (carried
//                             along), bits 0-5 scale (digits after the point)
//   2..33   Fraction          digits, most significant first, two per byte,
//                             high nibble first; unused nibbles are 0
// Text and currency conversions of the runtime live here; the engine's
// packed-decimal module builds its currency conversions on these and keeps
// its own text rules (they differ from the runtime's) and arithmetic.
// Thread safety: plain values.
#pragma once

#include "plCurrency.h"
#include "plFormatSettings.h"
#include "plString.h"

#include <cstdint>

namespace platform {

struct FmtBcd {
  std::uint8_t Precision = 0;
  std::uint8_t SignSpecialPlaces = 0;
  std::uint8_t Fraction[32] = {};

  int scale() const { return SignSpecialPlaces & 0x3F; }
  bool negative() const { return (SignSpecialPlaces & 0x80) != 0; }
  int digit(int i) const { return (i & 1) ? Fraction[i / 2] & 0x0F : Fraction[i / 2] >> 4; }
  void setDigit(int i, int d);
  // Precision 1..64, scale <= precision, every nibble a decimal digit.
  bool isValid() const;
};
static_assert(sizeof(FmtBcd) == 34);

// Decimal text with trailing fraction zeros left out: "-7.5", "0.05", "120".
// An invalid value raises RangeError "BCD overflow".
UnicodeString bcdToStr(const FmtBcd& v, const FormatSettings& fs);
UnicodeString bcdToStr(const FmtBcd& v);
// [spaces][sign]digits[separator digits][E[sign]digits][spaces]. Fraction
// digits beyond 64 digits in all are cut off; more than 64 integer digits
// make the text invalid. Zero is precision 8, scale 2.
bool tryStrToBcd(UnicodeStringView text, FmtBcd& out, const FormatSettings& fs);
// ConvertError "'<text>' is not a valid BCD value".
FmtBcd strToBcd(UnicodeStringView text, const FormatSettings& fs);
FmtBcd strToBcd(UnicodeStringView text);

// The value as currency, rounded to four decimals with ties to even; false
// for an invalid record or a value outside the currency range.
bool tryBcdToCurr(const FmtBcd& v, Currency& out);
// The currency value with exactly `precision` digits of which `decimals`
// (0..4 keep the value exact down to that many decimals, surplus digits are
// cut) follow the point; false when its integer digits do not fit.
bool currToBcd(Currency c, FmtBcd& out, int precision = 32, int decimals = 4);

}  // namespace platform
