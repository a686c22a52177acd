#include "nxsdFmtBcd.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "nxllBde.h"
#include "plCurrency.h"
#include "plFmtBcd.h"
#include "plFormat.h"
#include "plFormatSettings.h"

namespace {

constexpr int kMaxDigits = 64;

int scaleOf(const TnxFmtBcd& b) { return b.SignSpecialPlaces & 0x3F; }
bool isNegative(const TnxFmtBcd& b) { return (b.SignSpecialPlaces & 0x80) != 0; }

int digitAt(const TnxFmtBcd& b, int i) {
  const std::uint8_t byte = b.Fraction[i / 2];
  return (i % 2 == 0) ? byte >> 4 : byte & 0x0F;
}

void setDigit(TnxFmtBcd& b, int i, int d) {
  std::uint8_t& byte = b.Fraction[i / 2];
  byte = (i % 2 == 0) ? static_cast<std::uint8_t>((byte & 0x0F) | (d << 4))
                      : static_cast<std::uint8_t>((byte & 0xF0) | d);
}

TnxFmtBcd zeroBcd(int aPrecision, int aScale) {
  TnxFmtBcd b{};
  b.Precision = static_cast<std::uint8_t>(aPrecision);
  b.SignSpecialPlaces = static_cast<std::uint8_t>(aScale);
  return b;
}

bool validShape(int aPrecision, int aScale) {
  return aPrecision >= 1 && aPrecision <= kMaxDigits && aScale >= 0 && aScale <= aPrecision;
}

// The runtime's formatted-BCD record has the same layout.
platform::FmtBcd toRuntime(const TnxFmtBcd& aValue) {
  platform::FmtBcd b;
  b.Precision = aValue.Precision;
  b.SignSpecialPlaces = aValue.SignSpecialPlaces;
  std::memcpy(b.Fraction, aValue.Fraction, sizeof b.Fraction);
  return b;
}

TnxFmtBcd fromRuntime(const platform::FmtBcd& aValue) {
  TnxFmtBcd b;
  b.Precision = aValue.Precision;
  b.SignSpecialPlaces = aValue.SignSpecialPlaces;
  std::memcpy(b.Fraction, aValue.Fraction, sizeof b.Fraction);
  return b;
}

std::string narrow(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

}  // namespace

NX_IMPLEMENT_EXCEPTION(EnxBcdException, EnxBaseException)
NX_IMPLEMENT_EXCEPTION(EnxBcdOverflow, EnxBcdException)

void nxRaiseBcdOverflow() { throw EnxBcdOverflow(nxErrOutOfRange, u"BCD overflow"); }

TnxBcdLoss nxNormalizeBcd(const TnxFmtBcd& aSource, TnxFmtBcd& aTarget, int aPrecision, int aScale) {
  if (!validShape(aPrecision, aScale) || aSource.Precision > kMaxDigits) nxRaiseBcdOverflow();
  const int ps = aSource.Precision;
  const int shift = (aPrecision - aScale) - (ps - scaleOf(aSource));
  TnxFmtBcd t = zeroBcd(aPrecision, aScale);
  t.SignSpecialPlaces = static_cast<std::uint8_t>(aScale | (aSource.SignSpecialPlaces & 0xC0));
  TnxBcdLoss loss = 0;
  for (int i = 0; i < ps; ++i) {
    const int d = digitAt(aSource, i);
    const int j = shift + i;
    if (j < 0) {
      if (d) loss |= nxBcdLossHigh;
    } else if (j >= aPrecision) {
      if (d) loss |= nxBcdLossLow;
    } else {
      setDigit(t, j, d);
    }
  }
  aTarget = t;
  return loss;
}

void nxNormalizeBcdChecked(const TnxFmtBcd& aSource, int aPrecision, int aScale, TnxFmtBcd& aTarget,
                           TnxBcdLoss aAllowedLoss) {
  if (nxNormalizeBcd(aSource, aTarget, aPrecision, aScale) & ~aAllowedLoss) nxRaiseBcdOverflow();
}

TnxBcdLoss nxCurrToBcd(TnxFmtBcd& aTarget, int aPrecision, int aScale, std::int64_t aValue) {
  // The runtime's conversion into precision 32, scale 4 holds every currency value.
  platform::FmtBcd wide;
  if (!platform::currToBcd(platform::Currency::fromRaw(aValue), wide, 32, 4)) nxRaiseBcdOverflow();
  return nxNormalizeBcd(fromRuntime(wide), aTarget, aPrecision, aScale);
}

void nxCurrToBcdChecked(int aPrecision, int aScale, TnxBcdLoss aAllowedLoss, TnxFmtBcd& aTarget,
                        std::int64_t aValue) {
  if (nxCurrToBcd(aTarget, aPrecision, aScale, aValue) & ~aAllowedLoss) nxRaiseBcdOverflow();
}

std::int64_t nxBcdToInt64(const TnxFmtBcd& aValue, bool aTruncate) {
  TnxFmtBcd v = aValue;
  if (aTruncate && scaleOf(v) > 0) nxNormalizeBcd(aValue, v, aValue.Precision, 0);
  std::string text = narrow(nxBcdToStr(v, u'.'));
  // Trailing fraction zeros say nothing about the value: 0.00 reads as 0.
  if (text.find('.') != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
    if (text == "-0") text = "0";
  }
  std::int64_t result = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, result);
  if (ec != std::errc() || ptr != end)
    throw platform::ConvertError("'" + text + "' is not a valid integer value");
  return result;
}

void nxFloatRecToBcd(const TnxFloatRec& aFloatRec, TnxFmtBcd& aTarget) {
  const int n = static_cast<int>(strnlen(aFloatRec.Digits, sizeof aFloatRec.Digits));
  if (n == 0) {
    aTarget = zeroBcd(8, 2);
    return;
  }
  const int e = aFloatRec.Exponent;
  const int leadingZeros = e < 0 ? -e : 0;
  const int trailingZeros = e > n ? e - n : 0;
  if (leadingZeros + n + trailingZeros > kMaxDigits) nxRaiseBcdOverflow();
  const int precision = leadingZeros + n + trailingZeros;
  const int scale = e < n ? n - e : 0;
  TnxFmtBcd t = zeroBcd(precision, scale);
  for (int i = 0; i < n; ++i) {
    const char c = aFloatRec.Digits[i];
    if (c < '0' || c > '9') nxRaiseBcdOverflow();
    setDigit(t, leadingZeros + i, c - '0');
  }
  if (aFloatRec.Negative) t.SignSpecialPlaces |= 0x80;
  aTarget = t;
}

nxString nxBcdToStr(const TnxFmtBcd& aValue) {
  return nxBcdToStr(aValue, platform::defaultFormatSettings().DecimalSeparator);
}

nxString nxBcdToStr(const TnxFmtBcd& aValue, char16_t aSeparator) {
  const int p = aValue.Precision;
  const int s = scaleOf(aValue);
  // A scale above the precision has no place for its point: refused as well.
  if (!validShape(p, s)) throw EBcdOverflowException("BCD overflow");
  const int intDigits = p - s;
  char16_t buf[kMaxDigits + 3];  // sign, "0", point and 64 digits
  int len = 1;                     // buf[0] is kept for the sign
  for (int i = 0; i < p; ++i) {
    const int d = digitAt(aValue, i);
    if (i == intDigits) {
      if (len == 1) buf[len++] = u'0';
      buf[len++] = aSeparator;
    }
    if (i < intDigits && len == 1 && d == 0) continue;
    buf[len++] = static_cast<char16_t>(u'0' + d);
  }
  if (intDigits > 0 && intDigits < p) {
    while (len > 2 && buf[len - 1] == u'0') --len;
    if (buf[len - 1] == aSeparator) --len;
  }
  int start = 1;
  if (len == 1)
    buf[len++] = u'0';
  else if (isNegative(aValue))
    buf[start = 0] = u'-';
  const std::u16string_view text(buf + start, static_cast<std::size_t>(len - start));
  if (text == u"-0" || text == u"0.0" || text == u"-0.0") return u"0";
  return nxString(text);
}

bool nxTryStrToBcd(std::u16string_view aText, TnxFmtBcd& aValue, char16_t aSeparator) {
  if (aText.empty() || aText == u"0") {
    aValue = zeroBcd(8, 2);
    return true;
  }
  // Only an optional leading minus, digits and one separator, with a digit.
  int separators = 0;
  bool anyDigit = false;
  for (std::size_t i = 0; i < aText.size(); ++i) {
    const char16_t c = aText[i];
    if (c >= u'0' && c <= u'9')
      anyDigit = true;
    else if (c == aSeparator)
      ++separators;
    else if (!(c == u'-' && i == 0))
      return false;
  }
  if (!anyDigit || separators > 1) return false;

  std::size_t pos = 0;
  bool negative = false;
  while (pos < aText.size() && aText[pos] == u'0') ++pos;
  if (pos < aText.size() && aText[pos] == u'-') {
    negative = true;
    ++pos;
    if (pos < aText.size() && aText[pos] == u'0') ++pos;
  }
  std::u16string_view rest = aText.substr(pos);
  const std::size_t sep = rest.find(aSeparator);
  if (rest.size() > kMaxDigits) {
    // Only fraction digits may be cut; more integer digits cannot be held.
    if (sep == std::u16string_view::npos || sep >= kMaxDigits) return false;
    rest = rest.substr(0, kMaxDigits);
  }
  const int digits = static_cast<int>(rest.size()) - (sep != std::u16string_view::npos ? 1 : 0);
  if (digits == 0) {
    aValue = zeroBcd(10, 2);
    return true;
  }
  const int scale = sep != std::u16string_view::npos ? static_cast<int>(rest.size() - sep - 1) : 0;
  TnxFmtBcd t = zeroBcd(digits, scale);
  int j = 0;
  for (char16_t c : rest)
    if (c != aSeparator) setDigit(t, j++, c - u'0');
  if (negative) t.SignSpecialPlaces |= 0x80;
  aValue = t;
  return true;
}

void nxStrToBcd(std::u16string_view aText, TnxFmtBcd& aValue) {
  nxStrToBcd(aText, aValue, platform::defaultFormatSettings().DecimalSeparator);
}

void nxStrToBcd(std::u16string_view aText, TnxFmtBcd& aValue, char16_t aSeparator) {
  if (!nxTryStrToBcd(aText, aValue, aSeparator))
    throw EBcdException(narrow(aText) + " is not a valid BCD value");
}

TnxFmtBcd nxDoubleToBcd(double aValue) {
  // Through the general text with the process's settings: a value whose text
  // takes the exponent form (1E20, 1.5E-7) is no BCD text and is refused.
  TnxFmtBcd result;
  nxStrToBcd(platform::floatToStr(static_cast<long double>(aValue)), result);
  return result;
}

double nxBcdToDouble(const TnxFmtBcd& aValue) {
  const std::string text = narrow(nxBcdToStr(aValue, u'.'));
  double result = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, result);
  if (ec != std::errc() || ptr != end)
    throw platform::ConvertError("'" + text + "' is not a valid floating point value");
  return result;
}

bool nxTryBcdToCurr(const TnxFmtBcd& aValue, std::int64_t& aCurrency) {
  const int p = aValue.Precision;
  if (p == 0 || p > kMaxDigits) return false;
  TnxFmtBcd v = aValue;
  // A scale above the precision stands for leading fraction zeros: written
  // out, the record has a shape the runtime accepts and the same value.
  if (scaleOf(v) > p) nxNormalizeBcd(aValue, v, scaleOf(aValue), scaleOf(aValue));
  platform::Currency c;
  if (!platform::tryBcdToCurr(toRuntime(v), c)) return false;
  aCurrency = c.value;
  return true;
}

void nxBcdToBcdBuffer(const TnxFmtBcd& aValue, int aPrecision, int aScale, void* aBuffer, std::size_t aSize) {
  if (aPrecision < 1 || aSize < static_cast<std::size_t>((aPrecision + 1) / 2 + 2)) nxRaiseBcdOverflow();
  TnxFmtBcd t;
  nxNormalizeBcdChecked(aValue, aPrecision, aScale, t, nxBcdLossLow);
  std::memcpy(aBuffer, &t, aSize < sizeof t ? aSize : sizeof t);
}

std::int64_t nxCurrToScaledCurr(std::int64_t aCurrency, double aAsFloat, int aPrecision, int aScale) {
  std::int64_t c = aCurrency;
  if (aScale >= 0 && aScale <= 3) {
    std::int64_t m = 1;
    for (int i = 0; i < 4 - aScale; ++i) m *= 10;
    c -= c % m;  // truncates toward zero
  }
  const int d = aPrecision - aScale;
  if (d <= 0) nxRaiseBcdOverflow();
  if (d < 15) {
    std::int64_t limit = 1;
    for (int i = 0; i < d; ++i) limit *= 10;
    const std::int64_t integerPart = c / 10000;
    if (integerPart >= limit || integerPart <= -limit) nxRaiseBcdOverflow();
  } else if (!(std::fabs(aAsFloat * 10000.0) < 9223372036854775807.0)) {
    nxRaiseBcdOverflow();
  }
  return c;
}

platform::Variant nxBcdToVariant(const TnxFmtBcd& aValue) { return platform::Variant(toRuntime(aValue)); }

TnxFmtBcd nxVarToBcd(const platform::Variant& aValue) {
  return fromRuntime(aValue.type() == platform::varFmtBcd ? aValue.fmtBcd() : aValue.toFmtBcd());
}

void nxVariantToBcdBuffer(const platform::Variant& aValue, int aPrecision, int aScale, void* aBuffer,
                          std::size_t aSize) {
  // The room is checked before the variant is looked at.
  if (aPrecision < 1 || aSize < static_cast<std::size_t>((aPrecision + 1) / 2 + 2)) nxRaiseBcdOverflow();
  nxBcdToBcdBuffer(nxVarToBcd(aValue), aPrecision, aScale, aBuffer, aSize);
}

std::int64_t nxVarToScaledCurr(const platform::Variant& aValue, int aPrecision, int aScale) {
  const std::int64_t c = aValue.toCurrency().value;
  // The float is needed only where the integer digits exceed what is checked exactly.
  const double asFloat = aPrecision - aScale >= 15 ? aValue.toDouble() : 0.0;
  return nxCurrToScaledCurr(c, asFloat, aPrecision, aScale);
}

void nxFmtBcdUnaryOp(platform::Variant& aRight, int aOperator) {
  if (aOperator != nxVarOpNegate) throw platform::VariantTypeError("Invalid variant operation");
  TnxFmtBcd v = nxVarToBcd(aRight);
  v.SignSpecialPlaces ^= 0x80;
  aRight = nxBcdToVariant(v);
}
