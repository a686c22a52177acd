#include "plDecimal.h"

#include "plErrors.h"
#include "plFmtBcd.h"
#include "plTextInt.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace platform::detail {

namespace {

void trim(Decimal& d) {
  std::size_t lead = 0;
  while (lead < d.digits.size() && d.digits[lead] == '0') ++lead;
  if (lead == d.digits.size()) {
    d.digits.clear();
    d.exponent = 0;
    return;
  }
  d.digits.erase(0, lead);
  d.exponent -= static_cast<int>(lead);
  while (!d.digits.empty() && d.digits.back() == '0') d.digits.pop_back();
}

char16_t upper(char16_t c) { return upperAscii(c); }

}  // namespace

Decimal decimalFromLongDouble(long double v) {
  Decimal d;
  if (std::isnan(v)) {
    d.special = Decimal::NaN;
    return d;
  }
  if (std::isinf(v)) {
    d.special = v < 0 ? Decimal::NegInf : Decimal::PosInf;
    d.negative = v < 0;
    return d;
  }
  d.negative = std::signbit(v);
  if (v == 0) return d;
  char buf[64];
  // 20 significant digits, correctly rounded: enough for every 64-bit
  // integer held in an extended value and for the 18-digit float texts.
  std::snprintf(buf, sizeof buf, "%.19Le", std::fabs(v));
  const char* p = buf;
  d.digits += *p++;
  if (*p == '.') ++p;
  while (*p >= '0' && *p <= '9') d.digits += *p++;
  if (*p == 'e') d.exponent = std::atoi(p + 1) + 1;
  trim(d);
  return d;
}

Decimal decimalFromUInt64(std::uint64_t v, bool negative) {
  Decimal d;
  d.negative = negative;
  d.digits = std::to_string(v);
  d.exponent = static_cast<int>(d.digits.size());
  trim(d);
  return d;
}

Decimal decimalFromInt64(std::int64_t v) {
  return decimalFromUInt64(v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v), v < 0);
}

Decimal decimalFromScaled(std::int64_t raw, int scale) {
  Decimal d = decimalFromInt64(raw);
  if (!d.digits.empty()) d.exponent -= scale;
  return d;
}

void roundSignificant(Decimal& d, int significant) {
  if (d.special != Decimal::Finite || d.digits.empty()) return;
  if (significant >= static_cast<int>(d.digits.size())) return;
  if (significant < 0) {
    d.digits.clear();
    d.exponent = 0;
    return;
  }
  const bool up = d.digits[significant] >= '5';
  d.digits.resize(significant);
  if (up) {
    int i = significant - 1;
    while (i >= 0 && d.digits[i] == '9') d.digits[i--] = '0';
    if (i >= 0) {
      ++d.digits[i];
    } else {
      d.digits.insert(d.digits.begin(), '1');
      ++d.exponent;
    }
  }
  trim(d);
}

void roundDecimals(Decimal& d, int decimals) {
  if (d.special != Decimal::Finite || d.digits.empty()) return;
  const int keep = d.exponent + decimals;
  if (keep < 0) {
    d.digits.clear();
    d.exponent = 0;
    return;
  }
  if (keep == 0) {
    // Only the first digit decides: 0.5 rounds up to one unit in the last place.
    if (d.digits[0] >= '5') {
      d.digits = "1";
      d.exponent = 1 - decimals;
    } else {
      d.digits.clear();
      d.exponent = 0;
    }
    return;
  }
  roundSignificant(d, keep);
}

bool parseDecimal(UnicodeStringView text, char16_t separator, Decimal& out) {
  std::size_t i = 0, n = text.size();
  while (i < n && isTextBlank(text[i])) ++i;
  while (n > i && isTextBlank(text[n - 1])) --n;
  Decimal d;
  if (i < n && (text[i] == u'-' || text[i] == u'+')) d.negative = text[i++] == u'-';
  {
    UnicodeString word;
    for (std::size_t k = i; k < n; ++k) word += upper(text[k]);
    if (word == u"INF" || word == u"INFINITY") {
      d.special = d.negative ? Decimal::NegInf : Decimal::PosInf;
      out = d;
      return true;
    }
    if (word == u"NAN") {
      d.special = Decimal::NaN;
      out = d;
      return true;
    }
  }
  bool anyDigit = false, afterPoint = false;
  int pointPos = 0;
  for (; i < n; ++i) {
    const char16_t c = text[i];
    if (c >= u'0' && c <= u'9') {
      anyDigit = true;
      d.digits += static_cast<char>(c);
      if (!afterPoint) ++pointPos;
    } else if (c == separator && !afterPoint) {
      afterPoint = true;
    } else {
      break;
    }
  }
  if (!anyDigit) return false;
  long exp = 0;
  if (i < n && (text[i] == u'E' || text[i] == u'e')) {
    ++i;
    bool expNeg = false;
    if (i < n && (text[i] == u'-' || text[i] == u'+')) expNeg = text[i++] == u'-';
    bool expDigit = false;
    for (; i < n && text[i] >= u'0' && text[i] <= u'9'; ++i) {
      expDigit = true;
      if (exp < 100000) exp = exp * 10 + (text[i] - u'0');
    }
    if (!expDigit) return false;
    if (expNeg) exp = -exp;
  }
  if (i != n) return false;
  d.exponent = pointPos + static_cast<int>(exp);
  trim(d);
  out = d;
  return true;
}

namespace {

// |value| * 10^scale rounded with ties to even; false beyond 20 integer digits.
bool scaledMagnitude(const Decimal& d, int scale, unsigned __int128& mag) {
  mag = 0;
  if (d.digits.empty()) return true;
  // Integer digits of value * 10^scale: the first (exponent + scale) digits.
  const int intDigits = d.exponent + scale;
  if (intDigits > 20) return false;
  for (int k = 0; k < intDigits; ++k)
    mag = mag * 10 + (k < static_cast<int>(d.digits.size()) ? d.digits[k] - '0' : 0);
  if (intDigits >= 0 && intDigits < static_cast<int>(d.digits.size())) {
    const char first = d.digits[intDigits];
    const bool rest = d.digits.find_first_not_of('0', intDigits + 1) != std::string::npos;
    if (first > '5' || (first == '5' && (rest || (mag & 1) != 0))) ++mag;
  }
  return true;
}

}  // namespace

bool decimalToScaledInt(const Decimal& d, int scale, std::int64_t& out) {
  unsigned __int128 mag;
  if (d.special != Decimal::Finite || !scaledMagnitude(d, scale, mag)) return false;
  const unsigned __int128 limit = static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max()) +
                                  (d.negative ? 1 : 0);
  if (mag > limit) return false;
  out = d.negative ? static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(mag)) : static_cast<std::int64_t>(mag);
  return true;
}

bool decimalToUInt64(const Decimal& d, std::uint64_t& out) {
  unsigned __int128 mag;
  if (d.special != Decimal::Finite || !scaledMagnitude(d, 0, mag)) return false;
  if ((d.negative && mag != 0) || mag > std::numeric_limits<std::uint64_t>::max()) return false;
  out = static_cast<std::uint64_t>(mag);
  return true;
}

long double decimalToLongDouble(const Decimal& d) {
  switch (d.special) {
    case Decimal::NaN: return std::numeric_limits<long double>::quiet_NaN();
    case Decimal::PosInf: return std::numeric_limits<long double>::infinity();
    case Decimal::NegInf: return -std::numeric_limits<long double>::infinity();
    case Decimal::Finite: break;
  }
  if (d.digits.empty()) return d.negative ? -0.0L : 0.0L;
  std::string s = d.negative ? "-0." : "0.";
  s += d.digits;
  s += 'e';
  s += std::to_string(d.exponent);
  return std::strtold(s.c_str(), nullptr);
}

Decimal bcdToDecimal(const FmtBcd& v) {
  if (!v.isValid()) throw RangeError("BCD overflow");
  Decimal d;
  d.negative = v.negative();
  for (int i = 0; i < v.Precision; ++i) d.digits += static_cast<char>('0' + v.digit(i));
  d.exponent = v.Precision - v.scale();
  // Normalise: strip leading and trailing zeros.
  std::size_t lead = d.digits.find_first_not_of('0');
  if (lead == std::string::npos) {
    d.digits.clear();
    d.exponent = 0;
    return d;
  }
  d.digits.erase(0, lead);
  d.exponent -= static_cast<int>(lead);
  while (d.digits.back() == '0') d.digits.pop_back();
  return d;
}

bool decimalToBcd(const Decimal& d, FmtBcd& out) {
  if (d.special != Decimal::Finite) return false;
  FmtBcd r;
  if (d.digits.empty()) {
    r.Precision = 8;
    r.SignSpecialPlaces = 2;
    out = r;
    return true;
  }
  const int n = static_cast<int>(d.digits.size());
  const int intDigits = d.exponent > 0 ? d.exponent : 0;
  if (intDigits > 64) return false;
  int scale = n - d.exponent > 0 ? n - d.exponent : 0;
  if (intDigits + scale > 64) scale = 64 - intDigits;  // surplus fraction digits are cut
  const int precision = intDigits + scale;
  if (precision == 0) {
    // Every digit lay beyond the 64th decimal: the value is cut to zero.
    r.Precision = 8;
    r.SignSpecialPlaces = 2;
    out = r;
    return true;
  }
  // Digit k of the record has weight 10^(intDigits - 1 - k); in d it is index
  // k + d.exponent - intDigits.
  for (int k = 0; k < precision; ++k) {
    const int idx = k + d.exponent - intDigits;
    r.setDigit(k, idx >= 0 && idx < n ? d.digits[idx] - '0' : 0);
  }
  r.Precision = static_cast<std::uint8_t>(precision);
  r.SignSpecialPlaces = static_cast<std::uint8_t>(scale | (d.negative ? 0x80 : 0));
  out = r;
  return true;
}

int compareDecimal(const Decimal& a, const Decimal& b) {
  const int sa = a.digits.empty() ? 0 : (a.negative ? -1 : 1);
  const int sb = b.digits.empty() ? 0 : (b.negative ? -1 : 1);
  if (sa != sb) return sa < sb ? -1 : 1;
  if (sa == 0) return 0;
  int mag;
  if (a.exponent != b.exponent) {
    mag = a.exponent < b.exponent ? -1 : 1;
  } else {
    const int c = a.digits.compare(b.digits);
    mag = c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  return sa < 0 ? -mag : mag;
}

}  // namespace platform::detail
