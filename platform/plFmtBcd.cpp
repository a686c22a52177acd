#include "plFmtBcd.h"

#include "plDecimal.h"
#include "plErrors.h"

namespace platform {

void FmtBcd::setDigit(int i, int d) {
  std::uint8_t& b = Fraction[i / 2];
  b = (i & 1) ? static_cast<std::uint8_t>((b & 0xF0) | d) : static_cast<std::uint8_t>((b & 0x0F) | (d << 4));
}

bool FmtBcd::isValid() const {
  if (Precision < 1 || Precision > 64 || scale() > Precision) return false;
  for (int i = 0; i < 64; ++i)
    if (digit(i) > 9) return false;
  return true;
}


UnicodeString bcdToStr(const FmtBcd& v, const FormatSettings& fs) {
  const detail::Decimal d = detail::bcdToDecimal(v);
  if (d.digits.empty()) return u"0";
  UnicodeString out;
  if (d.negative) out += u'-';
  const int n = static_cast<int>(d.digits.size());
  if (d.exponent <= 0) {
    out += u'0';
    out += fs.DecimalSeparator;
    out.append(static_cast<std::size_t>(-d.exponent), u'0');
    out.append(d.digits.begin(), d.digits.end());
    return out;
  }
  for (int i = 0; i < d.exponent; ++i) out += static_cast<char16_t>(i < n ? d.digits[i] : '0');
  if (n > d.exponent) {
    out += fs.DecimalSeparator;
    out.append(d.digits.begin() + d.exponent, d.digits.end());
  }
  return out;
}

UnicodeString bcdToStr(const FmtBcd& v) { return bcdToStr(v, defaultFormatSettings()); }

bool tryStrToBcd(UnicodeStringView text, FmtBcd& out, const FormatSettings& fs) {
  detail::Decimal d;
  if (!detail::parseDecimal(text, fs.DecimalSeparator, d)) return false;
  return detail::decimalToBcd(d, out);
}

FmtBcd strToBcd(UnicodeStringView text, const FormatSettings& fs) {
  FmtBcd r;
  if (!tryStrToBcd(text, r, fs)) throw ConvertError("'" + toUtf8(text) + "' is not a valid BCD value");
  return r;
}

FmtBcd strToBcd(UnicodeStringView text) { return strToBcd(text, defaultFormatSettings()); }

bool tryBcdToCurr(const FmtBcd& v, Currency& out) {
  if (!v.isValid()) return false;
  std::int64_t raw;
  if (!detail::decimalToScaledInt(detail::bcdToDecimal(v), 4, raw)) return false;
  out = Currency::fromRaw(raw);
  return true;
}

bool currToBcd(Currency c, FmtBcd& out, int precision, int decimals) {
  if (precision < 1 || precision > 64 || decimals < 0 || decimals > precision) return false;
  const bool negative = c.value < 0;
  std::uint64_t mag = negative ? 0 - static_cast<std::uint64_t>(c.value) : static_cast<std::uint64_t>(c.value);
  // Digits of mag with four implied decimals, aligned to the record's scale.
  std::string digits = std::to_string(mag);
  if (digits.size() < 5) digits.insert(0, 5 - digits.size(), '0');
  const int intLen = static_cast<int>(digits.size()) - 4;
  std::string intPart = digits.substr(0, intLen);
  std::string frac = digits.substr(intLen);
  const std::size_t lead = intPart.find_first_not_of('0');
  intPart = lead == std::string::npos ? std::string() : intPart.substr(lead);
  if (static_cast<int>(intPart.size()) > precision - decimals) return false;
  frac.resize(static_cast<std::size_t>(decimals), '0');
  const std::string all = std::string(static_cast<std::size_t>(precision - decimals) - intPart.size(), '0') + intPart + frac;
  FmtBcd r;
  for (int i = 0; i < precision; ++i) r.setDigit(i, all[i] - '0');
  r.Precision = static_cast<std::uint8_t>(precision);
  r.SignSpecialPlaces = static_cast<std::uint8_t>(decimals | (negative ? 0x80 : 0));
  out = r;
  return true;
}

}  // namespace platform
