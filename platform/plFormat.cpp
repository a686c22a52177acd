#include "plFormat.h"

#include "plCodePage.h"
#include "plDecimal.h"
#include "plErrors.h"
#include "plTextInt.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace platform {

using detail::Decimal;

namespace {

void appendAscii(UnicodeString& out, std::string_view s) {
  for (char c : s) out += static_cast<char16_t>(c);
}

UnicodeString special(const Decimal& d) {
  switch (d.special) {
    case Decimal::NaN: return u"NAN";
    case Decimal::PosInf: return u"INF";
    case Decimal::NegInf: return u"-INF";
    default: return {};
  }
}

void appendExponent(UnicodeString& out, int e, bool alwaysSign, int minDigits) {
  out += u'E';
  if (e < 0) out += u'-';
  else if (alwaysSign) out += u'+';
  std::string s = std::to_string(e < 0 ? -e : e);
  for (int i = static_cast<int>(s.size()); i < minDigits; ++i) out += u'0';
  appendAscii(out, s);
}

// Digits of a rounded decimal in general form (shortest of fixed/scientific).
UnicodeString generalText(Decimal d, int precision, int expDigits, const FormatSettings& fs) {
  roundSignificant(d, precision);
  if (d.digits.empty()) return u"0";
  UnicodeString out;
  if (d.negative) out += u'-';
  const int n = static_cast<int>(d.digits.size());
  if (d.exponent > precision || d.exponent < -3) {
    out += static_cast<char16_t>(d.digits[0]);
    if (n > 1) {
      out += fs.DecimalSeparator;
      appendAscii(out, std::string_view(d.digits).substr(1));
    }
    appendExponent(out, d.exponent - 1, false, expDigits);
    return out;
  }
  if (d.exponent <= 0) {
    out += u'0';
    out += fs.DecimalSeparator;
    for (int i = 0; i < -d.exponent; ++i) out += u'0';
    appendAscii(out, d.digits);
    return out;
  }
  for (int i = 0; i < d.exponent; ++i) out += static_cast<char16_t>(i < n ? d.digits[i] : '0');
  if (n > d.exponent) {
    out += fs.DecimalSeparator;
    appendAscii(out, std::string_view(d.digits).substr(d.exponent));
  }
  return out;
}

UnicodeString exponentText(Decimal d, int precision, int expDigits, const FormatSettings& fs) {
  roundSignificant(d, precision);
  UnicodeString out;
  if (d.negative && !d.digits.empty()) out += u'-';
  const int e = d.digits.empty() ? 0 : d.exponent - 1;
  d.digits.resize(precision, '0');
  out += static_cast<char16_t>(d.digits[0]);
  if (precision > 1) {
    out += fs.DecimalSeparator;
    appendAscii(out, std::string_view(d.digits).substr(1));
  }
  appendExponent(out, e, true, expDigits);
  return out;
}

// The number without sign: integer part (grouped when asked) and `decimals` digits.
UnicodeString fixedDigits(const Decimal& d, int decimals, bool grouped, const FormatSettings& fs) {
  UnicodeString intPart;
  const int n = static_cast<int>(d.digits.size());
  if (d.exponent <= 0) {
    intPart.push_back(u'0');
  } else {
    for (int i = 0; i < d.exponent; ++i) {
      if (grouped && i > 0 && (d.exponent - i) % 3 == 0 && fs.ThousandSeparator != 0)
        intPart += fs.ThousandSeparator;
      intPart += static_cast<char16_t>(i < n ? d.digits[i] : '0');
    }
  }
  if (decimals > 0) {
    intPart += fs.DecimalSeparator;
    for (int k = 0; k < decimals; ++k) {
      const int idx = d.exponent + k;
      intPart += static_cast<char16_t>(idx >= 0 && idx < n ? d.digits[idx] : '0');
    }
  }
  return intPart;
}

UnicodeString currencyText(const UnicodeString& number, bool negative, const FormatSettings& fs) {
  const UnicodeString& c = fs.CurrencyString;
  if (!negative) {
    switch (fs.CurrencyFormat) {
      case 1: return number + c;
      case 2: return c + u" " + number;
      case 3: return number + u" " + c;
      default: return c + number;
    }
  }
  switch (fs.NegCurrFormat) {
    case 0: return u"(" + c + number + u")";
    case 2: return c + u"-" + number;
    case 3: return c + number + u"-";
    case 4: return u"(" + number + c + u")";
    case 5: return u"-" + number + c;
    case 6: return number + u"-" + c;
    case 7: return number + c + u"-";
    case 8: return u"-" + number + u" " + c;
    case 9: return u"-" + c + u" " + number;
    case 10: return number + u" " + c + u"-";
    case 11: return c + u" " + number + u"-";
    case 12: return c + u" -" + number;
    case 13: return number + u"- " + c;
    case 14: return u"(" + c + u" " + number + u")";
    case 15: return u"(" + number + u" " + c + u")";
    default: return u"-" + c + number;
  }
}

UnicodeString decimalText(Decimal d, FloatFormat format, int precision, int digits,
                          const FormatSettings& fs) {
  if (d.special != Decimal::Finite) return special(d);
  precision = std::clamp(precision, 1, 19);
  switch (format) {
    case FloatFormat::General: return generalText(d, precision, std::clamp(digits, 0, 4), fs);
    case FloatFormat::Exponent: return exponentText(d, precision, std::clamp(digits, 0, 4), fs);
    default: break;
  }
  digits = std::clamp(digits, 0, 18);
  // One rounding at whichever comes first: the precision or the decimals.
  if (d.exponent + digits < precision) roundDecimals(d, digits);
  else roundSignificant(d, precision);
  if (d.exponent > precision) return generalText(d, precision, 0, fs);
  const bool negative = d.negative && !d.digits.empty();
  const UnicodeString number = fixedDigits(d, digits, format != FloatFormat::Fixed, fs);
  if (format == FloatFormat::Currency) return currencyText(number, negative, fs);
  return negative ? u"-" + number : number;
}

// Decimal digits of an unsigned value in base 10 or 16, zero-padded to minDigits.
UnicodeString unsignedText(std::uint64_t v, bool hex, int minDigits) {
  char buf[32];
  int n = 0;
  do {
    const unsigned d = static_cast<unsigned>(hex ? v % 16 : v % 10);
    buf[n++] = static_cast<char>(d < 10 ? '0' + d : 'A' + d - 10);
    v = hex ? v / 16 : v / 10;
  } while (v != 0);
  UnicodeString out;
  for (int i = n; i < minDigits; ++i) out += u'0';
  while (n > 0) out += static_cast<char16_t>(buf[--n]);
  return out;
}

// Decimal or hexadecimal ($ or 0x) integer text; false when it is not one or
// does not fit 64 bits.
bool parseIntText(UnicodeStringView s, std::int64_t& out, bool& hex) {
  std::size_t i = 0, n = s.size();
  while (i < n && isTextBlank(s[i])) ++i;
  while (n > i && isTextBlank(s[n - 1])) --n;
  bool neg = false;
  if (i < n && (s[i] == u'-' || s[i] == u'+')) neg = s[i++] == u'-';
  unsigned base = 10;
  hex = false;
  if (i < n && s[i] == u'$') {
    base = 16;
    ++i;
  } else if (i + 1 < n && s[i] == u'0' && (s[i + 1] == u'x' || s[i + 1] == u'X')) {
    base = 16;
    i += 2;
  }
  if (i >= n) return false;
  hex = base == 16;
  unsigned __int128 v = 0;
  for (; i < n; ++i) {
    const char16_t c = s[i];
    unsigned d;
    if (c >= u'0' && c <= u'9') d = c - u'0';
    else if (base == 16 && c >= u'a' && c <= u'f') d = c - u'a' + 10;
    else if (base == 16 && c >= u'A' && c <= u'F') d = c - u'A' + 10;
    else return false;
    v = v * base + d;
    if (v > (static_cast<unsigned __int128>(1) << 64)) return false;
  }
  if (base == 16 && !neg && v <= std::numeric_limits<std::uint64_t>::max()) {
    // Hex text is a bit pattern: $FFFFFFFFFFFFFFFF is -1.
    out = static_cast<std::int64_t>(static_cast<std::uint64_t>(v));
    return true;
  }
  const unsigned __int128 limit = static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max()) + (neg ? 1 : 0);
  if (v > limit) return false;
  out = neg ? static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(v)) : static_cast<std::int64_t>(v);
  return true;
}


class Formatter {
 public:
  Formatter(const FormatSettings& fs, UnicodeStringView fmt, std::span<const FormatArg> args)
      : fs_(fs), fmt_(fmt), args_(args) {}

  UnicodeString run() {
    UnicodeString out;
    std::size_t i = 0;
    while (i < fmt_.size()) {
      const std::size_t pct = fmt_.find(u'%', i);
      if (pct == UnicodeStringView::npos) {
        out.append(fmt_.substr(i));
        break;
      }
      out.append(fmt_.substr(i, pct - i));
      p_ = pct + 1;
      directive(out);
      i = p_;
    }
    return out;
  }

 private:
  [[noreturn]] void invalid() const {
    throw ConvertError("Format '" + toUtf8(fmt_) + "' invalid or incompatible with argument");
  }

  const FormatArg& nextArg() {
    if (argIndex_ >= args_.size()) throw ConvertError("No argument for format '" + toUtf8(fmt_) + "'");
    return args_[argIndex_++];
  }

  char16_t peek() const { return p_ < fmt_.size() ? fmt_[p_] : 0; }
  static bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

  // Digits or "*"; -1 when neither is present.
  long number() {
    if (peek() == u'*') {
      ++p_;
      const FormatArg& a = nextArg();
      if (a.kind() != FormatArg::Kind::Int32 && a.kind() != FormatArg::Kind::Int64) invalid();
      const std::int64_t v = a.asInt64();
      return v < 0 ? 0 : (v > 1000000 ? 1000000 : v);
    }
    if (!isDigit(peek())) return -1;
    long v = 0;
    while (isDigit(peek())) {
      v = v * 10 + (fmt_[p_++] - u'0');
      if (v > 1000000) invalid();
    }
    return v;
  }

  void directive(UnicodeString& out) {
    if (peek() == u'%') {
      ++p_;
      out += u'%';
      return;
    }
    bool left = false;
    long width = -1, precision = -1;
    long first = number();
    if (first >= 0 && peek() == u':') {
      ++p_;
      argIndex_ = static_cast<std::size_t>(first);
      first = -1;
    }
    if (first >= 0) {
      width = first;
    } else {
      if (peek() == u'-') {
        left = true;
        ++p_;
      }
      width = number();
    }
    if (peek() == u'.') {
      ++p_;
      precision = number();
      if (precision < 0) precision = 0;
    }
    if (p_ >= fmt_.size()) invalid();
    const char16_t type = fmt_[p_++];
    UnicodeString text = convert(type >= u'a' && type <= u'z' ? static_cast<char16_t>(type - 32) : type,
                                 precision);
    if (width > 0 && static_cast<long>(text.size()) < width) {
      const UnicodeString pad(static_cast<std::size_t>(width) - text.size(), u' ');
      text = left ? text + pad : pad + text;
    }
    out += text;
  }

  UnicodeString convert(char16_t type, long precision) {
    using K = FormatArg::Kind;
    switch (type) {
      case u'D':
      case u'U':
      case u'X': {
        const FormatArg& a = nextArg();
        const int minDigits = static_cast<int>(precision < 0 ? 0 : std::min(precision, 64L));
        bool negative = false;
        std::uint64_t mag;
        switch (a.kind()) {
          case K::Int32:
          case K::Int64: {
            const std::int64_t v = a.asInt64();
            if (type == u'D') {
              negative = v < 0;
              mag = negative ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
            } else {
              // Unsigned and hex show the two's complement of the argument's width.
              mag = a.kind() == K::Int32 ? static_cast<std::uint32_t>(v) : static_cast<std::uint64_t>(v);
            }
            break;
          }
          case K::UInt64: mag = a.asUInt64(); break;
          default: invalid();
        }
        UnicodeString s = unsignedText(mag, type == u'X', minDigits);
        return negative ? u"-" + s : s;
      }
      case u'E':
      case u'F':
      case u'G':
      case u'N':
      case u'M': {
        const FormatArg& a = nextArg();
        Decimal d;
        int sig;
        switch (a.kind()) {
          case K::Double:
            d = detail::decimalFromLongDouble(a.asFloat());
            sig = 15;
            break;
          case K::Extended:
            // 19 digits: a 64-bit count passed as extended prints exactly ("%.0n").
            d = detail::decimalFromLongDouble(a.asFloat());
            sig = 19;
            break;
          case K::Currency:
            d = detail::decimalFromScaled(a.asInt64(), 4);
            sig = 19;
            break;
          default: invalid();
        }
        const int prec = static_cast<int>(precision);
        switch (type) {
          case u'E': return decimalText(d, FloatFormat::Exponent, precision < 0 ? 15 : std::min(prec, sig), 3, fs_);
          case u'G': return decimalText(d, FloatFormat::General, precision < 0 ? 15 : std::min(prec, sig), 0, fs_);
          case u'F': return decimalText(d, FloatFormat::Fixed, sig, precision < 0 ? 2 : prec, fs_);
          case u'N': return decimalText(d, FloatFormat::Number, sig, precision < 0 ? 2 : prec, fs_);
          default:
            return decimalText(d, FloatFormat::Currency, sig, precision < 0 ? fs_.CurrencyDecimals : prec, fs_);
        }
      }
      case u'S': {
        const FormatArg& a = nextArg();
        UnicodeString s;
        if (a.kind() == K::UString) s = a.asUString();
        else if (a.kind() == K::AString) s = ansiToUnicode(a.asAString());
        else invalid();
        if (precision >= 0 && static_cast<std::size_t>(precision) < s.size()) s.resize(precision);
        return s;
      }
      case u'P': {
        const FormatArg& a = nextArg();
        if (a.kind() != K::Pointer) invalid();
        return unsignedText(a.asUInt64(), true, 16);
      }
      default: invalid();
    }
  }

  const FormatSettings& fs_;
  UnicodeStringView fmt_;
  std::span<const FormatArg> args_;
  std::size_t argIndex_ = 0;
  std::size_t p_ = 0;
};

}  // namespace

UnicodeString format(const FormatSettings& fs, UnicodeStringView fmt, std::span<const FormatArg> args) {
  return Formatter(fs, fmt, args).run();
}

UnicodeString format(UnicodeStringView fmt, std::span<const FormatArg> args) {
  return format(defaultFormatSettings(), fmt, args);
}

UnicodeString floatToStrF(long double v, FloatFormat format, int precision, int digits,
                          const FormatSettings& fs) {
  return decimalText(detail::decimalFromLongDouble(v), format, std::clamp(precision, 1, 18), digits, fs);
}

UnicodeString floatToStr(long double v, const FormatSettings& fs) {
  return floatToStrF(v, FloatFormat::General, 15, 0, fs);
}

UnicodeString floatToStr(long double v) { return floatToStr(v, defaultFormatSettings()); }

UnicodeString currToStrF(Currency c, FloatFormat format, int digits, const FormatSettings& fs) {
  return decimalText(detail::decimalFromScaled(c.value, 4), format, 19, digits, fs);
}

bool tryStrToInt64(UnicodeStringView text, std::int64_t& out) {
  bool hex;
  return parseIntText(text, out, hex);
}

bool tryStrToInt(UnicodeStringView text, std::int32_t& out) {
  std::int64_t v;
  bool hex;
  if (!parseIntText(text, v, hex)) return false;
  // Hex text up to $FFFFFFFF is a 32-bit pattern.
  if (hex && v > INT32_MAX && v <= static_cast<std::int64_t>(UINT32_MAX)) v = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
  if (v < INT32_MIN || v > INT32_MAX) return false;
  out = static_cast<std::int32_t>(v);
  return true;
}

std::int64_t strToInt64(UnicodeStringView text) {
  std::int64_t v;
  if (!tryStrToInt64(text, v)) throw ConvertError("'" + toUtf8(text) + "' is not a valid integer value");
  return v;
}

std::int32_t strToInt(UnicodeStringView text) {
  std::int32_t v;
  if (!tryStrToInt(text, v)) throw ConvertError("'" + toUtf8(text) + "' is not a valid integer value");
  return v;
}

FloatRec floatToDecimal(long double v, int precision, int decimals) {
  Decimal d = detail::decimalFromLongDouble(v);
  FloatRec r;
  r.Negative = d.negative;
  switch (d.special) {
    case Decimal::NaN: r.Exponent = -32768; return r;
    case Decimal::PosInf:
    case Decimal::NegInf: r.Exponent = 32767; return r;
    case Decimal::Finite: break;
  }
  precision = std::clamp(precision, 1, 18);
  if (d.exponent + decimals < precision) detail::roundDecimals(d, decimals);
  else detail::roundSignificant(d, precision);
  if (d.digits.empty()) {
    r.Exponent = 0;
    return r;
  }
  r.Exponent = static_cast<std::int16_t>(d.exponent);
  r.Digits = d.digits;
  return r;
}

bool tryStrToFloat(UnicodeStringView text, long double& out, const FormatSettings& fs) {
  Decimal d;
  if (!detail::parseDecimal(text, fs.DecimalSeparator, d)) return false;
  const long double v = detail::decimalToLongDouble(d);
  if (d.special == Decimal::Finite && std::isinf(v)) return false;
  out = v;
  return true;
}

bool tryStrToFloat(UnicodeStringView text, double& out, const FormatSettings& fs) {
  Decimal d;
  if (!detail::parseDecimal(text, fs.DecimalSeparator, d)) return false;
  double v;
  if (d.special == Decimal::Finite && !d.digits.empty()) {
    // Straight to double: going through long double could round twice.
    std::string s = d.negative ? "-0." : "0.";
    s += d.digits;
    s += 'e';
    s += std::to_string(d.exponent);
    v = std::strtod(s.c_str(), nullptr);
    if (std::isinf(v)) return false;
  } else {
    v = static_cast<double>(detail::decimalToLongDouble(d));
  }
  out = v;
  return true;
}

double strToFloat(UnicodeStringView text, const FormatSettings& fs) {
  double v;
  if (!tryStrToFloat(text, v, fs))
    throw ConvertError("'" + toUtf8(text) + "' is not a valid floating point value");
  return v;
}

double strToFloat(UnicodeStringView text) { return strToFloat(text, defaultFormatSettings()); }

}  // namespace platform
