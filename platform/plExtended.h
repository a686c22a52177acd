// The 80-bit x87 extended-precision value as it is stored on disk and in
// streams: 10 bytes, little-endian; bytes 0-7 the 64-bit significand with its
// explicit integer bit, bytes 8-9 the sign (bit 15) and the exponent biased
// by 16383. Conversions are done on the bits, so they are exact and do not
// depend on the compiler's long double.
// Thread safety: plain values.
#pragma once

#include <array>
#include <cstdint>

namespace platform {

struct Extended {
  std::array<std::uint8_t, 10> bytes{};

  // Exact: every double is an extended value (denormals are normalised).
  static Extended fromDouble(double v);
  // Nearest double, ties to even; results below the smallest denormal become
  // (signed) zero. A finite value above the double range raises RangeError.
  // NaN payloads keep their top bits; unnormals (exponent set, integer bit
  // clear), which the x87 refuses as operands, give a NaN.
  double toDouble() const;

  // The same bits as the x86 long double (64-bit significand).
  static Extended fromLongDouble(long double v);
  long double toLongDouble() const;

  std::uint64_t significand() const;
  std::uint16_t signExponent() const;
  static Extended fromParts(std::uint16_t signExponent, std::uint64_t significand);

  bool operator==(const Extended&) const = default;
};
static_assert(sizeof(Extended) == 10);

}  // namespace platform
