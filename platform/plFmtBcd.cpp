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

}  // namespace platform
