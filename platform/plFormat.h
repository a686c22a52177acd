// Text formatting of the runtime library over UTF-16: Format with its
// directives and the float-to-text and text-to-float conversions.
//
// format(u"%s [$%x/%d]", {text, code, code}) understands
//   "%" [index ":"] ["-"] [width] ["." precision] type
// with the types d u x (upper-case hex) e f g n m s p, index/width/precision
// given as digits or "*" (taken from the next integer argument), and "%%".
// A directive that does not match its argument, or an ill-formed directive,
// raises ConvertError "Format '<fmt>' invalid or incompatible with argument";
// a missing argument raises ConvertError "No argument for format '<fmt>'".
// Thread safety: no shared state; the overloads without settings read the
// process default format settings.
#pragma once

#include "plCurrency.h"
#include "plExtended.h"
#include "plFormatSettings.h"
#include "plString.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <span>
#include <variant>

namespace platform {

// One argument of format(). Owns its text so argument lists may be kept.
class FormatArg {
 public:
  enum class Kind { Int32, Int64, UInt64, Double, Extended, Currency, UString, AString, Pointer };

  FormatArg(int v) : kind_(Kind::Int32), v_(static_cast<std::int64_t>(v)) {}
  FormatArg(unsigned v) : kind_(Kind::Int64), v_(static_cast<std::int64_t>(v)) {}
  FormatArg(long v) : kind_(Kind::Int64), v_(static_cast<std::int64_t>(v)) {}
  FormatArg(long long v) : kind_(Kind::Int64), v_(static_cast<std::int64_t>(v)) {}
  FormatArg(unsigned long v) : kind_(Kind::UInt64), v_(static_cast<std::uint64_t>(v)) {}
  FormatArg(unsigned long long v) : kind_(Kind::UInt64), v_(static_cast<std::uint64_t>(v)) {}
  FormatArg(double v) : kind_(Kind::Double), v_(static_cast<long double>(v)) {}
  FormatArg(long double v) : kind_(Kind::Extended), v_(v) {}
  FormatArg(const platform::Extended& v) : kind_(Kind::Extended), v_(v.toLongDouble()) {}
  FormatArg(platform::Currency v) : kind_(Kind::Currency), v_(v.value) {}
  FormatArg(const UnicodeString& v) : kind_(Kind::UString), v_(v) {}
  FormatArg(UnicodeString&& v) : kind_(Kind::UString), v_(std::move(v)) {}
  FormatArg(UnicodeStringView v) : kind_(Kind::UString), v_(UnicodeString(v)) {}
  FormatArg(const char16_t* v) : kind_(Kind::UString), v_(UnicodeString(v ? v : u"")) {}
  FormatArg(char16_t v) : kind_(Kind::UString), v_(UnicodeString(1, v)) {}
  FormatArg(const AnsiString& v) : kind_(Kind::AString), v_(v) {}
  // Plain 8-bit text in the system ANSI code page.
  FormatArg(const char* v) : kind_(Kind::AString), v_(AnsiString{v ? v : "", 0}) {}
  FormatArg(const void* v) : kind_(Kind::Pointer), v_(reinterpret_cast<std::uint64_t>(v)) {}
  FormatArg(bool) = delete;

  Kind kind() const { return kind_; }
  std::int64_t asInt64() const { return std::get<std::int64_t>(v_); }
  std::uint64_t asUInt64() const { return std::get<std::uint64_t>(v_); }
  long double asFloat() const { return std::get<long double>(v_); }
  const UnicodeString& asUString() const { return std::get<UnicodeString>(v_); }
  const AnsiString& asAString() const { return std::get<AnsiString>(v_); }

 private:
  Kind kind_;
  std::variant<std::int64_t, std::uint64_t, long double, UnicodeString, AnsiString> v_;
};

UnicodeString format(const FormatSettings& fs, UnicodeStringView fmt, std::span<const FormatArg> args);
UnicodeString format(UnicodeStringView fmt, std::span<const FormatArg> args);
inline UnicodeString format(const FormatSettings& fs, UnicodeStringView fmt,
                            std::initializer_list<FormatArg> args) {
  return format(fs, fmt, std::span<const FormatArg>(args.begin(), args.size()));
}
inline UnicodeString format(UnicodeStringView fmt, std::initializer_list<FormatArg> args) {
  return format(fmt, std::span<const FormatArg>(args.begin(), args.size()));
}

enum class FloatFormat { General, Exponent, Fixed, Number, Currency };

// precision: significant digits (1..18). digits: General/Exponent - minimum
// exponent digits (0..4); Fixed/Number/Currency - digits after the point (0..18).
// Texts for special values: "NAN", "INF", "-INF".
UnicodeString floatToStrF(long double v, FloatFormat format, int precision, int digits,
                          const FormatSettings& fs);
// General format, 15 significant digits: "0.3", "1E20", "1.5E-10".
UnicodeString floatToStr(long double v, const FormatSettings& fs);
UnicodeString floatToStr(long double v);
UnicodeString currToStrF(Currency c, FloatFormat format, int digits, const FormatSettings& fs);

// Decimal digits of a float: value = 0.Digits * 10^Exponent. At most
// `precision` (1..18) significant digits and `decimals` digits after the
// point, rounded half away from zero, trailing zeros dropped. Zero has
// Exponent 0 and no digits; NaN has Exponent -32768, infinities 32767.
struct FloatRec {
  std::int16_t Exponent = 0;
  bool Negative = false;
  std::string Digits;
};
FloatRec floatToDecimal(long double v, int precision, int decimals);

// [spaces][sign](digits | $hex | 0xhex)[spaces]. The 32-bit form reads hex
// text up to $FFFFFFFF as a bit pattern ($FFFFFFFF is -1), as the 64-bit
// form does for 16 hex digits.
bool tryStrToInt(UnicodeStringView text, std::int32_t& out);
bool tryStrToInt64(UnicodeStringView text, std::int64_t& out);
// ConvertError "'<text>' is not a valid integer value".
std::int32_t strToInt(UnicodeStringView text);
std::int64_t strToInt64(UnicodeStringView text);

// [spaces][sign]digits[separator digits][E[sign]digits][spaces] with the
// settings' decimal separator (no thousand separators), or INF/NAN. Values
// beyond the target's range are refused; tiny values become 0.
bool tryStrToFloat(UnicodeStringView text, double& out, const FormatSettings& fs);
bool tryStrToFloat(UnicodeStringView text, long double& out, const FormatSettings& fs);
// ConvertError "'<text>' is not a valid floating point value".
double strToFloat(UnicodeStringView text, const FormatSettings& fs);
double strToFloat(UnicodeStringView text);

}  // namespace platform
