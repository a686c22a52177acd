#include "plExtended.h"

#include "plErrors.h"

#include <bit>
#include <cfloat>
#include <cstring>

namespace platform {

static_assert(LDBL_MANT_DIG == 64, "long double must be the x87 80-bit format");

std::uint64_t Extended::significand() const {
  std::uint64_t m;
  std::memcpy(&m, bytes.data(), 8);
  return m;
}

std::uint16_t Extended::signExponent() const {
  return static_cast<std::uint16_t>(bytes[8] | (bytes[9] << 8));
}

Extended Extended::fromParts(std::uint16_t signExponent, std::uint64_t significand) {
  Extended e;
  std::memcpy(e.bytes.data(), &significand, 8);
  e.bytes[8] = static_cast<std::uint8_t>(signExponent & 0xFF);
  e.bytes[9] = static_cast<std::uint8_t>(signExponent >> 8);
  return e;
}

Extended Extended::fromDouble(double v) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
  const std::uint16_t sign = (bits >> 63) ? 0x8000 : 0;
  const int de = static_cast<int>((bits >> 52) & 0x7FF);
  const std::uint64_t dm = bits & ((std::uint64_t{1} << 52) - 1);
  if (de == 0x7FF) {
    // Infinity keeps only the integer bit; a NaN keeps its payload.
    return fromParts(sign | 0x7FFF, (std::uint64_t{1} << 63) | (dm << 11));
  }
  if (de == 0) {
    if (dm == 0) return fromParts(sign, 0);
    // Denormal double: normalise, the extended exponent range holds it.
    const int lz = std::countl_zero(dm);
    const std::uint64_t m = dm << lz;
    const int unbiased = -1074 - lz + 63;
    return fromParts(static_cast<std::uint16_t>(sign | (unbiased + 16383)), m);
  }
  return fromParts(static_cast<std::uint16_t>(sign | (de - 1023 + 16383)),
                   (std::uint64_t{1} << 63) | (dm << 11));
}

double Extended::toDouble() const {
  const std::uint16_t se = signExponent();
  const std::uint64_t signBit = (se & 0x8000) ? (std::uint64_t{1} << 63) : 0;
  const int e = se & 0x7FFF;
  std::uint64_t m = significand();
  const std::uint64_t kQuietNaN = 0x7FF8000000000000ULL;
  if (e == 0x7FFF) {
    if ((m << 1) == 0) return std::bit_cast<double>(signBit | 0x7FF0000000000000ULL);
    std::uint64_t payload = (m >> 11) & ((std::uint64_t{1} << 52) - 1);
    if (payload == 0) payload = std::uint64_t{1} << 51;
    return std::bit_cast<double>(signBit | 0x7FF0000000000000ULL | payload);
  }
  if (m == 0) return std::bit_cast<double>(signBit);
  if (e != 0 && (m >> 63) == 0) return std::bit_cast<double>(signBit | kQuietNaN);
  // value = m * 2^E; denormal extended values use the minimum exponent.
  int E = (e == 0 ? 1 : e) - 16383 - 63;
  const int lz = std::countl_zero(m);
  m <<= lz;
  E -= lz;
  int unbiased = E + 63;
  auto overflow = [] { return RangeError("Extended value out of the double range"); };
  if (unbiased > 1023) throw overflow();
  if (unbiased >= -1022) {
    std::uint64_t mant = m >> 11;
    const std::uint64_t rem = m & 0x7FF;
    if (rem > 0x400 || (rem == 0x400 && (mant & 1))) ++mant;
    if (mant >> 53) {
      mant >>= 1;
      ++unbiased;
      if (unbiased > 1023) throw overflow();
    }
    return std::bit_cast<double>(signBit | (static_cast<std::uint64_t>(unbiased + 1023) << 52) |
                                 (mant & ((std::uint64_t{1} << 52) - 1)));
  }
  // Denormal result: f = round(m * 2^(E + 1074)).
  const int shift = -(E + 1074);
  std::uint64_t f;
  if (shift > 64) {
    f = 0;
  } else if (shift == 64) {
    f = m > (std::uint64_t{1} << 63) ? 1 : 0;
  } else {
    f = m >> shift;
    const std::uint64_t rem = m & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    if (rem > half || (rem == half && (f & 1))) ++f;
  }
  // A carry into bit 52 yields the smallest normal number, as encoded.
  return std::bit_cast<double>(signBit | f);
}

Extended Extended::fromLongDouble(long double v) {
  Extended e;
  std::memcpy(e.bytes.data(), &v, 10);
  return e;
}

long double Extended::toLongDouble() const {
  long double v = 0;
  std::memcpy(&v, bytes.data(), 10);
  return v;
}

}  // namespace platform
