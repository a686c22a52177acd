// Decimal digit strings shared by the number, currency, BCD and variant
// conversions: a value as sign, significant digits and a decimal exponent.
// Internal to the runtime layer. Thread safety: no state.
#pragma once

#include "plString.h"

#include <cstdint>
#include <string>

namespace platform {
struct FmtBcd;
}

namespace platform::detail {

struct Decimal {
  enum Special { Finite, NaN, PosInf, NegInf };
  Special special = Finite;
  bool negative = false;
  // Significant digits without leading or trailing zeros; empty means zero.
  std::string digits;
  // The value is 0.d1d2d3... times 10 to this power.
  int exponent = 0;

  bool isZero() const { return special == Finite && digits.empty(); }
};

// The value rounded (exactly) to 20 significant digits.
Decimal decimalFromLongDouble(long double v);
Decimal decimalFromInt64(std::int64_t v);
Decimal decimalFromUInt64(std::uint64_t v, bool negative = false);
// A fixed-point integer: raw / 10^scale.
Decimal decimalFromScaled(std::int64_t raw, int scale);

// Keeps at most `significant` digits, rounding half away from zero (the
// digit-record rounding of the float-to-text conversion). significant <= 0
// keeps nothing but may round up to a single 1 one place higher.
void roundSignificant(Decimal& d, int significant);
// Rounds half away from zero to `decimals` digits after the point.
void roundDecimals(Decimal& d, int decimals);

// Text: [spaces][+|-]digits[sep digits][(E|e)[+|-]digits][spaces], at least
// one digit; or INF, -INF, NAN in any letter case.
bool parseDecimal(UnicodeStringView text, char16_t separator, Decimal& out);

// round(value * 10^scale), ties to even; false when it leaves the 64-bit range.
bool decimalToScaledInt(const Decimal& d, int scale, std::int64_t& out);

// round(value), ties to even; false when negative (below -0.5) or beyond 64 bits.
bool decimalToUInt64(const Decimal& d, std::uint64_t& out);

// Nearest long double; +-inf for values beyond its range.
long double decimalToLongDouble(const Decimal& d);

// -1, 0, 1; finite values only (digit strings compare as written).
int compareDecimal(const Decimal& a, const Decimal& b);

// RangeError "BCD overflow" for an invalid record.
Decimal bcdToDecimal(const FmtBcd& v);
// False for special values and for more than 64 integer digits; surplus
// fraction digits are cut.
bool decimalToBcd(const Decimal& d, FmtBcd& out);

}  // namespace platform::detail
