#include "plVariant.h"

#include "plCodePage.h"
#include "plDecimal.h"
#include "plErrors.h"
#include "plFormat.h"
#include "plTextInt.h"

#include <cfloat>
#include <cmath>
#include <limits>

namespace platform {

using detail::Decimal;

struct Variant::ArrayData {
  std::int32_t low = 0;
  VarType element = varVariant;
  std::vector<Variant> items;        // every element kind but bytes
  std::vector<std::uint8_t> bytes;   // byte arrays

  std::size_t size() const { return element == varByte ? bytes.size() : items.size(); }
};

namespace {

enum class Cat { Empty, Null, Error, Int, UInt, Float, Date, Curr, Bool, Str, Bcd, Array };

Cat category(VarType t) {
  if (t & varArray) return Cat::Array;
  switch (t) {
    case varEmpty: return Cat::Empty;
    case varNull: return Cat::Null;
    case varError: return Cat::Error;
    case varSmallint:
    case varInteger:
    case varShortInt:
    case varByte:
    case varWord:
    case varLongWord:
    case varInt64: return Cat::Int;
    case varUInt64: return Cat::UInt;
    case varSingle:
    case varDouble: return Cat::Float;
    case varDate: return Cat::Date;
    case varCurrency: return Cat::Curr;
    case varBoolean: return Cat::Bool;
    case varOleStr:
    case varUString:
    case varString: return Cat::Str;
    case varFmtBcd: return Cat::Bcd;
    default: return Cat::Array;  // unknown kinds convert to nothing
  }
}

bool isScalarElement(VarType t) {
  switch (t) {
    case varSmallint: case varInteger: case varSingle: case varDouble: case varCurrency:
    case varDate: case varOleStr: case varBoolean: case varVariant: case varShortInt:
    case varByte: case varWord: case varLongWord: case varInt64: case varUInt64:
      return true;
    default:
      return false;
  }
}

[[noreturn]] void overflow(VarType target) {
  throw RangeError("Variant overflow: value out of range for type (" + varTypeAsText(target) + ")");
}

[[noreturn]] void badText(UnicodeStringView text, const char* what) {
  throw ConvertError("'" + toUtf8(text) + "' is not a valid " + what);
}

UnicodeString trimmed(UnicodeStringView s) {
  std::size_t i = 0, n = s.size();
  while (i < n && isTextBlank(s[i])) ++i;
  while (n > i && isTextBlank(s[n - 1])) --n;
  return UnicodeString(s.substr(i, n - i));
}

double decimalToDouble(const Decimal& d) {
  if (d.special != Decimal::Finite || d.digits.empty()) return static_cast<double>(detail::decimalToLongDouble(d));
  std::string s = d.negative ? "-0." : "0.";
  s += d.digits;
  s += 'e';
  s += std::to_string(d.exponent);
  return std::strtod(s.c_str(), nullptr);
}

UnicodeString asciiText(const std::string& s) { return UnicodeString(s.begin(), s.end()); }

}  // namespace

std::string varTypeAsText(VarType type) {
  std::string base;
  switch (type & varTypeMask) {
    case varEmpty: base = "Empty"; break;
    case varNull: base = "Null"; break;
    case varSmallint: base = "Smallint"; break;
    case varInteger: base = "Integer"; break;
    case varSingle: base = "Single"; break;
    case varDouble: base = "Double"; break;
    case varCurrency: base = "Currency"; break;
    case varDate: base = "Date"; break;
    case varOleStr: base = "OleStr"; break;
    case varError: base = "Error"; break;
    case varBoolean: base = "Boolean"; break;
    case varVariant: base = "Variant"; break;
    case varShortInt: base = "ShortInt"; break;
    case varByte: base = "Byte"; break;
    case varWord: base = "Word"; break;
    case varLongWord: base = "Cardinal"; break;
    case varInt64: base = "Int64"; break;
    case varUInt64: base = "UInt64"; break;
    case varString: base = "String"; break;
    case varUString: base = "UnicodeString"; break;
    case varFmtBcd: base = "FMTBcdVariantType"; break;
    default: base = "$"; base += std::to_string(type & varTypeMask); break;
  }
  if (!(type & varArray)) return base;
  std::string r("Array ");
  r.append(base);
  return r;
}

// ------------------------------------------------------------- construction

Variant::Variant(bool v) : type_(varBoolean) { s_.b = v; }
Variant::Variant(int v) : type_(varInteger) { s_.i = v; }
Variant::Variant(unsigned v) : type_(varLongWord) { s_.i = v; }
Variant::Variant(long v) : type_(varInt64) { s_.i = v; }
Variant::Variant(long long v) : type_(varInt64) { s_.i = v; }
Variant::Variant(unsigned long v) : type_(varUInt64) { s_.u = v; }
Variant::Variant(unsigned long long v) : type_(varUInt64) { s_.u = v; }
Variant::Variant(float v) : type_(varSingle) { s_.d = v; }
Variant::Variant(double v) : type_(varDouble) { s_.d = v; }
Variant::Variant(Currency v) : type_(varCurrency) { s_.i = v.value; }
Variant::Variant(const UnicodeString& v) : type_(varUString), ustr_(v) {}
Variant::Variant(UnicodeString&& v) : type_(varUString), ustr_(std::move(v)) {}
Variant::Variant(UnicodeStringView v) : type_(varUString), ustr_(v) {}
Variant::Variant(const char16_t* v) : type_(varUString), ustr_(v ? v : u"") {}
Variant::Variant(const AnsiString& v) : type_(varString), astr_(v) {}
Variant::Variant(const FmtBcd& v) : type_(varFmtBcd), bcd_(v) {}

Variant Variant::null() {
  Variant v;
  v.type_ = varNull;
  return v;
}

// The code of an omitted parameter (DISP_E_PARAMNOTFOUND).
constexpr std::uint32_t kParamNotFound = 0x80020004u;

Variant Variant::emptyParam() {
  Variant v;
  v.type_ = varError;
  v.s_.u = kParamNotFound;
  return v;
}

bool Variant::isEmptyParam() const { return type_ == varError && s_.u == kParamNotFound; }

Variant Variant::fromShortInt(std::int8_t x) {
  Variant v;
  v.type_ = varShortInt;
  v.s_.i = x;
  return v;
}
Variant Variant::fromSmallint(std::int16_t x) {
  Variant v;
  v.type_ = varSmallint;
  v.s_.i = x;
  return v;
}
Variant Variant::fromByte(std::uint8_t x) {
  Variant v;
  v.type_ = varByte;
  v.s_.i = x;
  return v;
}
Variant Variant::fromWord(std::uint16_t x) {
  Variant v;
  v.type_ = varWord;
  v.s_.i = x;
  return v;
}
Variant Variant::fromLongWord(std::uint32_t x) { return Variant(static_cast<unsigned>(x)); }
Variant Variant::fromDate(DateTime x) {
  Variant v;
  v.type_ = varDate;
  v.s_.d = x;
  return v;
}
Variant Variant::fromOleStr(UnicodeStringView x) {
  Variant v(x);
  v.type_ = varOleStr;
  return v;
}

Variant Variant::createArray(std::int32_t lowBound, std::int32_t highBound, VarType elementType) {
  if (!isScalarElement(elementType))
    throw VariantTypeError("Invalid variant array element type (" + varTypeAsText(elementType) + ")");
  const std::int64_t count = static_cast<std::int64_t>(highBound) - lowBound + 1;
  if (count < 0 || count > (std::int64_t{1} << 28)) throw RangeError("Variant array bounds out of range");
  Variant v;
  v.type_ = static_cast<VarType>(varArray | elementType);
  auto data = std::make_shared<ArrayData>();
  data->low = lowBound;
  data->element = elementType;
  if (elementType == varByte) {
    data->bytes.assign(static_cast<std::size_t>(count), 0);
  } else {
    const Variant zero = elementType == varVariant ? Variant() : Variant().asType(elementType);
    data->items.assign(static_cast<std::size_t>(count), zero);
  }
  v.array_ = std::move(data);
  return v;
}

Variant Variant::byteArray(std::span<const std::uint8_t> bytes) {
  Variant v = createArray(0, static_cast<std::int32_t>(bytes.size()) - 1, varByte);
  v.mutableArray().bytes.assign(bytes.begin(), bytes.end());
  return v;
}

bool Variant::isNumeric() const {
  switch (category(type_)) {
    case Cat::Int: case Cat::UInt: case Cat::Float: case Cat::Date: case Cat::Curr: case Cat::Bcd:
      return true;
    default:
      return false;
  }
}

// ------------------------------------------------------------------- arrays

const Variant::ArrayData& Variant::array() const {
  if (!isArray() || !array_) throw VariantTypeError("Variant is not an array");
  return *array_;
}

Variant::ArrayData& Variant::mutableArray() {
  array();
  if (array_.use_count() > 1) array_ = std::make_shared<ArrayData>(*array_);
  return *array_;
}

std::int32_t Variant::arrayLowBound() const { return array().low; }

std::int32_t Variant::arrayHighBound() const {
  const ArrayData& a = array();
  return static_cast<std::int32_t>(a.low + static_cast<std::int64_t>(a.size()) - 1);
}

Variant Variant::arrayGet(std::int32_t index) const {
  const ArrayData& a = array();
  const std::int64_t k = static_cast<std::int64_t>(index) - a.low;
  if (k < 0 || k >= static_cast<std::int64_t>(a.size())) throw RangeError("Variant or safe array index out of bounds");
  if (a.element == varByte) return fromByte(a.bytes[k]);
  return a.items[k];
}

void Variant::arrayPut(std::int32_t index, const Variant& value) {
  {
    const ArrayData& a = array();
    const std::int64_t k = static_cast<std::int64_t>(index) - a.low;
    if (k < 0 || k >= static_cast<std::int64_t>(a.size())) throw RangeError("Variant or safe array index out of bounds");
  }
  // Convert before touching the array, so a failed put leaves it unchanged.
  const VarType element = array().element;
  if (element == varByte) {
    const std::uint8_t b = value.toUInt8();
    ArrayData& a = mutableArray();
    a.bytes[index - a.low] = b;
    return;
  }
  Variant converted = element == varVariant ? value : value.asType(element);
  ArrayData& a = mutableArray();
  a.items[index - a.low] = std::move(converted);
}

void Variant::arrayRedim(std::int32_t highBound) {
  ArrayData& a = mutableArray();
  const std::int64_t count = static_cast<std::int64_t>(highBound) - a.low + 1;
  if (count < 0 || count > (std::int64_t{1} << 28)) throw RangeError("Variant array bounds out of range");
  if (a.element == varByte) {
    a.bytes.resize(static_cast<std::size_t>(count), 0);
  } else {
    const Variant zero = a.element == varVariant ? Variant() : Variant().asType(a.element);
    a.items.resize(static_cast<std::size_t>(count), zero);
  }
}

std::span<const std::uint8_t> Variant::bytes() const {
  if (!isByteArray()) throw VariantTypeError("Variant is not a byte array");
  return array_->bytes;
}

std::span<std::uint8_t> Variant::mutableBytes() {
  if (!isByteArray()) throw VariantTypeError("Variant is not a byte array");
  return mutableArray().bytes;
}

const UnicodeString& Variant::ustring() const {
  if (type_ != varOleStr && type_ != varUString) castError(varUString);
  return ustr_;
}

const AnsiString& Variant::astring() const {
  if (type_ != varString) castError(varString);
  return astr_;
}

const FmtBcd& Variant::fmtBcd() const {
  if (type_ != varFmtBcd) castError(varFmtBcd);
  return bcd_;
}

// -------------------------------------------------------------- conversions

void Variant::castError(VarType target) const {
  throw VariantTypeError("Could not convert variant of type (" + varTypeAsText(type_) + ") into type (" +
                         varTypeAsText(target) + ")");
}

std::int64_t Variant::toRangedInt(std::int64_t lo, std::int64_t hi, VarType target,
                                  const FormatSettings& fs) const {
  std::int64_t v = 0;
  auto fromFloat = [&](double d) {
    const double r = std::nearbyint(d);  // ties to even
    if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0)) overflow(target);
    return static_cast<std::int64_t>(r);
  };
  switch (category(type_)) {
    case Cat::Empty: v = 0; break;
    case Cat::Int: v = s_.i; break;
    case Cat::UInt:
      if (s_.u > static_cast<std::uint64_t>(hi)) overflow(target);
      v = static_cast<std::int64_t>(s_.u);
      break;
    case Cat::Float:
    case Cat::Date: v = fromFloat(s_.d); break;
    case Cat::Curr: v = Currency::fromRaw(s_.i).roundToInt64(); break;
    case Cat::Bool: v = s_.b ? -1 : 0; break;
    case Cat::Str: {
      const UnicodeString text = toString(fs);
      if (!tryStrToInt64(text, v)) {
        double d;
        if (!tryStrToFloat(text, d, fs)) badText(text, "integer value");
        v = fromFloat(d);
      }
      break;
    }
    case Cat::Bcd:
      if (!detail::decimalToScaledInt(detail::bcdToDecimal(bcd_), 0, v)) overflow(target);
      break;
    default: castError(target);
  }
  if (v < lo || v > hi) overflow(target);
  return v;
}

std::int64_t Variant::toInt64(const FormatSettings& fs) const {
  return toRangedInt(std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(), varInt64, fs);
}
std::int64_t Variant::toInt64() const { return toInt64(defaultFormatSettings()); }
std::int32_t Variant::toInt32() const {
  return static_cast<std::int32_t>(toRangedInt(INT32_MIN, INT32_MAX, varInteger, defaultFormatSettings()));
}
std::int16_t Variant::toInt16() const {
  return static_cast<std::int16_t>(toRangedInt(INT16_MIN, INT16_MAX, varSmallint, defaultFormatSettings()));
}
std::int8_t Variant::toInt8() const {
  return static_cast<std::int8_t>(toRangedInt(INT8_MIN, INT8_MAX, varShortInt, defaultFormatSettings()));
}
std::uint8_t Variant::toUInt8() const {
  return static_cast<std::uint8_t>(toRangedInt(0, UINT8_MAX, varByte, defaultFormatSettings()));
}
std::uint16_t Variant::toUInt16() const {
  return static_cast<std::uint16_t>(toRangedInt(0, UINT16_MAX, varWord, defaultFormatSettings()));
}
std::uint32_t Variant::toUInt32() const {
  return static_cast<std::uint32_t>(toRangedInt(0, UINT32_MAX, varLongWord, defaultFormatSettings()));
}

std::uint64_t Variant::toUInt64(const FormatSettings& fs) const {
  switch (category(type_)) {
    case Cat::UInt: return s_.u;
    case Cat::Float:
    case Cat::Date: {
      const double r = std::nearbyint(s_.d);
      if (!(r >= 0 && r < 18446744073709551616.0)) overflow(varUInt64);
      return static_cast<std::uint64_t>(r);
    }
    case Cat::Str: {
      const UnicodeString text = toString(fs);
      std::int64_t v;
      if (tryStrToInt64(text, v)) {
        // Hex text is a bit pattern; signed decimal text must not be negative.
        const bool hex = text.find_first_of(u"$xX") != UnicodeString::npos;
        if (v < 0 && (!hex || text.find(u'-') != UnicodeString::npos)) overflow(varUInt64);
        return static_cast<std::uint64_t>(v);
      }
      // Decimal text above the signed range, or float text.
      Decimal d;
      if (!detail::parseDecimal(text, fs.DecimalSeparator, d) || d.special != Decimal::Finite)
        badText(text, "integer value");
      std::uint64_t u;
      if (!detail::decimalToUInt64(d, u)) overflow(varUInt64);
      return u;
    }
    default: {
      const std::int64_t v = toRangedInt(0, std::numeric_limits<std::int64_t>::max(), varUInt64, fs);
      return static_cast<std::uint64_t>(v);
    }
  }
}
std::uint64_t Variant::toUInt64() const { return toUInt64(defaultFormatSettings()); }

double Variant::toDouble(const FormatSettings& fs) const {
  switch (category(type_)) {
    case Cat::Empty: return 0;
    case Cat::Int: return static_cast<double>(s_.i);
    case Cat::UInt: return static_cast<double>(s_.u);
    case Cat::Float:
    case Cat::Date: return s_.d;
    case Cat::Curr: return Currency::fromRaw(s_.i).toDouble();
    case Cat::Bool: return s_.b ? -1.0 : 0.0;
    case Cat::Str: return strToFloat(toString(fs), fs);
    case Cat::Bcd: return decimalToDouble(detail::bcdToDecimal(bcd_));
    default: castError(varDouble);
  }
}
double Variant::toDouble() const { return toDouble(defaultFormatSettings()); }

float Variant::toSingle() const {
  const double d = toDouble();
  if (std::isfinite(d) && std::fabs(d) > FLT_MAX) overflow(varSingle);
  return static_cast<float>(d);
}

Currency Variant::toCurrency(const FormatSettings& fs) const {
  switch (category(type_)) {
    case Cat::Empty: return Currency{};
    case Cat::Int:
      try {
        return Currency::fromInt64(s_.i);
      } catch (const RangeError&) {
        overflow(varCurrency);
      }
    case Cat::UInt:
      if (s_.u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) overflow(varCurrency);
      try {
        return Currency::fromInt64(static_cast<std::int64_t>(s_.u));
      } catch (const RangeError&) {
        overflow(varCurrency);
      }
    case Cat::Float:
    case Cat::Date:
      try {
        return Currency::fromDouble(s_.d);
      } catch (const RangeError&) {
        overflow(varCurrency);
      }
    case Cat::Curr: return Currency::fromRaw(s_.i);
    case Cat::Bool: return Currency::fromInt64(s_.b ? -1 : 0);
    case Cat::Str: return strToCurr(toString(fs), fs);
    case Cat::Bcd: {
      std::int64_t raw;
      if (!detail::decimalToScaledInt(detail::bcdToDecimal(bcd_), 4, raw)) overflow(varCurrency);
      return Currency::fromRaw(raw);
    }
    default: castError(varCurrency);
  }
}
Currency Variant::toCurrency() const { return toCurrency(defaultFormatSettings()); }

DateTime Variant::toDateTime(const FormatSettings& fs) const {
  switch (category(type_)) {
    case Cat::Str: return strToDateTime(toString(fs), fs);
    case Cat::Null:
    case Cat::Array: castError(varDate);
    default: return toDouble(fs);
  }
}
DateTime Variant::toDateTime() const { return toDateTime(defaultFormatSettings()); }

bool Variant::toBoolean(const FormatSettings& fs) const {
  switch (category(type_)) {
    case Cat::Empty: return false;
    case Cat::Int: return s_.i != 0;
    case Cat::UInt: return s_.u != 0;
    case Cat::Float:
    case Cat::Date: return s_.d != 0;
    case Cat::Curr: return s_.i != 0;
    case Cat::Bool: return s_.b;
    case Cat::Str: {
      const UnicodeString text = trimmed(toString(fs));
      if (sameTextAscii(text, u"True")) return true;
      if (sameTextAscii(text, u"False")) return false;
      double d;
      if (!tryStrToFloat(text, d, fs)) badText(text, "boolean value");
      return d != 0;
    }
    case Cat::Bcd: return !detail::bcdToDecimal(bcd_).digits.empty();
    default: castError(varBoolean);
  }
}
bool Variant::toBoolean() const { return toBoolean(defaultFormatSettings()); }

UnicodeString Variant::toString(const FormatSettings& fs) const {
  switch (type_) {
    case varEmpty: return {};
    case varSmallint: case varInteger: case varShortInt: case varByte: case varWord:
    case varLongWord: case varInt64: return asciiText(std::to_string(s_.i));
    case varUInt64: return asciiText(std::to_string(s_.u));
    case varSingle: return floatToStrF(s_.d, FloatFormat::General, 7, 0, fs);
    case varDouble: return floatToStr(s_.d, fs);
    case varDate: return dateTimeToStr(s_.d, fs);
    case varCurrency: return currToStr(Currency::fromRaw(s_.i), fs);
    case varBoolean: return s_.b ? u"True" : u"False";
    case varOleStr: case varUString: return ustr_;
    case varString: return ansiToUnicode(astr_);
    case varFmtBcd: return bcdToStr(bcd_, fs);
    default: castError(varUString);
  }
}
UnicodeString Variant::toString() const { return toString(defaultFormatSettings()); }

FmtBcd Variant::toFmtBcd(const FormatSettings& fs) const {
  Decimal d;
  switch (category(type_)) {
    case Cat::Empty: break;
    case Cat::Int: d = detail::decimalFromInt64(s_.i); break;
    case Cat::UInt: d = detail::decimalFromUInt64(s_.u); break;
    case Cat::Float:
    case Cat::Date:
      // Through the 15-digit general text of the value, as the library does.
      d = detail::decimalFromLongDouble(s_.d);
      detail::roundSignificant(d, 15);
      break;
    case Cat::Curr: d = detail::decimalFromScaled(s_.i, 4); break;
    case Cat::Bool: d = detail::decimalFromInt64(s_.b ? -1 : 0); break;
    case Cat::Str: {
      const UnicodeString text = toString(fs);
      if (!detail::parseDecimal(text, fs.DecimalSeparator, d) || d.special != Decimal::Finite)
        badText(text, "BCD value");
      break;
    }
    case Cat::Bcd: return bcd_;
    default: castError(varFmtBcd);
  }
  FmtBcd r;
  if (!detail::decimalToBcd(d, r)) throw RangeError("BCD overflow");
  return r;
}
FmtBcd Variant::toFmtBcd() const { return toFmtBcd(defaultFormatSettings()); }

AnsiString Variant::toAnsiString(std::uint16_t codePage) const {
  const std::uint16_t cp = codePage == 0 ? ansiCodePage() : codePage;
  if (type_ == varString && (astr_.codePage == 0 ? ansiCodePage() : astr_.codePage) == cp) {
    AnsiString r = astr_;
    r.codePage = codePage;
    return r;
  }
  AnsiString r = unicodeToAnsi(toString(), cp);
  r.codePage = codePage;
  return r;
}

Variant Variant::asType(VarType type, const FormatSettings& fs) const {
  if (type == type_ && type != varString) return *this;
  if (type == varEmpty) return Variant();
  if (type == varNull) return null();
  if (type & varArray) {
    if (type == type_) return *this;
    castError(type);
  }
  if (type_ == varNull || isArray()) castError(type);
  switch (type) {
    case varSmallint: return fromSmallint(toInt16());
    case varInteger: return Variant(static_cast<int>(toRangedInt(INT32_MIN, INT32_MAX, varInteger, fs)));
    case varSingle: return Variant(toSingle());
    case varDouble: return Variant(toDouble(fs));
    case varCurrency: return Variant(toCurrency(fs));
    case varDate: return fromDate(toDateTime(fs));
    case varOleStr: return fromOleStr(toString(fs));
    case varBoolean: return Variant(toBoolean(fs));
    case varShortInt: return fromShortInt(toInt8());
    case varByte: return fromByte(toUInt8());
    case varWord: return fromWord(toUInt16());
    case varLongWord: return fromLongWord(toUInt32());
    case varInt64: return Variant(static_cast<long long>(toInt64(fs)));
    case varUInt64: return Variant(static_cast<unsigned long long>(toUInt64(fs)));
    case varString: return Variant(toAnsiString(type_ == varString ? astr_.codePage : 0));
    case varUString: return Variant(toString(fs));
    case varFmtBcd: return Variant(toFmtBcd(fs));
    default: castError(type);
  }
}
Variant Variant::asType(VarType type) const { return asType(type, defaultFormatSettings()); }

// --------------------------------------------------------------- comparison

UnicodeString varToStr(const Variant& v) { return v.isNull() ? UnicodeString() : v.toString(); }

namespace {

int sign3(long double a, long double b) { return a < b ? -1 : (a > b ? 1 : 0); }

VarRelationship rel(int c) {
  return c < 0 ? VarRelationship::LessThan : (c > 0 ? VarRelationship::GreaterThan : VarRelationship::Equal);
}

// Exact decimal of the exact kinds (integers, currency, BCD, Boolean).
bool exactDecimal(const Variant& v, Decimal& d) {
  switch (category(v.type())) {
    case Cat::Int:
    case Cat::Bool: d = detail::decimalFromInt64(v.toInt64()); return true;
    case Cat::UInt: d = detail::decimalFromUInt64(v.toUInt64()); return true;
    case Cat::Curr: d = detail::decimalFromScaled(v.toCurrency().value, 4); return true;
    case Cat::Bcd: d = detail::bcdToDecimal(v.fmtBcd()); return true;
    default: return false;
  }
}

}  // namespace

VarRelationship varCompareValue(const Variant& a, const Variant& b) {
  const Cat ca = category(a.type()), cb = category(b.type());
  if (ca == Cat::Array || cb == Cat::Array) {
    if (a.type() != b.type() || a.arrayLowBound() != b.arrayLowBound() ||
        a.arrayHighBound() != b.arrayHighBound())
      return VarRelationship::NotEqual;
    if (a.isByteArray())
      return std::equal(a.bytes().begin(), a.bytes().end(), b.bytes().begin()) ? VarRelationship::Equal
                                                                                : VarRelationship::NotEqual;
    for (std::int32_t i = a.arrayLowBound(); i <= a.arrayHighBound(); ++i)
      if (varCompareValue(a.arrayGet(i), b.arrayGet(i)) != VarRelationship::Equal) return VarRelationship::NotEqual;
    return VarRelationship::Equal;
  }
  if (ca == Cat::Null || cb == Cat::Null)
    return ca == cb ? VarRelationship::Equal : VarRelationship::NotEqual;
  if (ca == Cat::Empty || cb == Cat::Empty)
    return ca == cb ? VarRelationship::Equal : VarRelationship::NotEqual;
  if (ca == Cat::Error || cb == Cat::Error)
    return ca == cb && a.isEmptyParam() == b.isEmptyParam() ? VarRelationship::Equal : VarRelationship::NotEqual;
  if (ca == Cat::Str && cb == Cat::Str) return rel(a.toString().compare(b.toString()));
  if (ca == Cat::Bool && cb == Cat::Bool) return rel(int(a.toBoolean()) - int(b.toBoolean()));
  // A text against a date is read as a date-time.
  if ((ca == Cat::Date && cb == Cat::Str) || (ca == Cat::Str && cb == Cat::Date))
    return rel(sign3(a.toDateTime(), b.toDateTime()));
  Decimal da, db;
  if (exactDecimal(a, da) && exactDecimal(b, db)) return rel(detail::compareDecimal(da, db));
  const long double x = ca == Cat::Bcd ? detail::decimalToLongDouble(detail::bcdToDecimal(a.fmtBcd())) : a.toDouble();
  const long double y = cb == Cat::Bcd ? detail::decimalToLongDouble(detail::bcdToDecimal(b.fmtBcd())) : b.toDouble();
  if (std::isnan(x) || std::isnan(y)) return VarRelationship::NotEqual;
  return rel(sign3(x, y));
}

bool operator==(const Variant& a, const Variant& b) { return varCompareValue(a, b) == VarRelationship::Equal; }

}  // namespace platform
