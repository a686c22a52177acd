// Variant: the runtime library's tagged value through which defaults,
// validations, filters, key engines and parameters pass single values.
// Type codes are the Windows-compatible variant type codes (varXxx below),
// which stored data and clients carry; arrays are
// one-dimensional with bounds and carry varArray | element type (byte arrays
// are varArray | varByte and keep their bytes contiguous).
//
// Conversion table (rows: source kind; result when converting to a target):
//   empty       -> 0, 0.0, "", False, date 0, BCD 0
//   null        -> VariantTypeError for every value kind (varToStr gives "")
//   integers    -> integers: exact, RangeError outside the target's range;
//                  floats/currency/date/BCD: the value (currency range-checked);
//                  boolean: <> 0; string: decimal digits
//   single/double, date
//               -> integers: rounded to nearest, ties to even, then range-checked;
//                  currency: rounded to 4 decimals, ties to even, range-checked;
//                  single: RangeError beyond its range; boolean: <> 0;
//                  string: floatToStr (date: dateTimeToStr); BCD: via 15-digit text
//   currency    -> integers: rounded, ties to even, range-checked; string: currToStr
//   boolean     -> True is -1, False 0 as a number (so True into an unsigned kind
//                  is a RangeError); string "True"/"False"
//   strings     -> integers: decimal or $hex/0x hex text, else float text rounded;
//                  floats/currency/BCD: decimal text with the format settings;
//                  date: strToDateTime; boolean: "True"/"False" (any case) or a
//                  number <> 0; unreadable text raises ConvertError
//   FmtBcd      -> like a float, but exactly (currency, integers, text)
//   arrays      -> VariantTypeError for every scalar kind
//   error       -> VariantTypeError for every value kind
// 8-bit strings convert through their code page (plCodePage).
//
// Ownership: a Variant owns its value; copies are independent (array
// payloads are shared until one copy changes them).
// Thread safety: one Variant must not be changed while another thread uses
// it; distinct Variants (also copies of one another) are independent.
#pragma once

#include "plCurrency.h"
#include "plDateTime.h"
#include "plFmtBcd.h"
#include "plFormatSettings.h"
#include "plString.h"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace platform {

using VarType = std::uint16_t;
constexpr VarType varEmpty = 0x0000;  // unassigned
constexpr VarType varNull = 0x0001;
constexpr VarType varSmallint = 0x0002;
constexpr VarType varInteger = 0x0003;
constexpr VarType varSingle = 0x0004;
constexpr VarType varDouble = 0x0005;
constexpr VarType varCurrency = 0x0006;
constexpr VarType varDate = 0x0007;
constexpr VarType varOleStr = 0x0008;
constexpr VarType varError = 0x000A;  // an error code; the empty parameter is one
constexpr VarType varBoolean = 0x000B;
constexpr VarType varVariant = 0x000C;  // element type of arrays of variants
constexpr VarType varShortInt = 0x0010;
constexpr VarType varByte = 0x0011;
constexpr VarType varWord = 0x0012;
constexpr VarType varLongWord = 0x0013;
constexpr VarType varInt64 = 0x0014;
constexpr VarType varUInt64 = 0x0015;
constexpr VarType varString = 0x0100;   // 8-bit text with its code page
constexpr VarType varUString = 0x0102;  // UTF-16 text
constexpr VarType varFmtBcd = 0x010F;   // the formatted-BCD custom type
constexpr VarType varTypeMask = 0x0FFF;
constexpr VarType varArray = 0x2000;

// "Integer", "UnicodeString", "Array Byte", ... as in conversion messages.
std::string varTypeAsText(VarType type);

enum class VarRelationship { LessThan = -1, Equal = 0, GreaterThan = 1, NotEqual = 2 };

class Variant {
 public:
  Variant() = default;  // empty (unassigned)
  Variant(bool v);
  Variant(int v);                 // varInteger
  Variant(unsigned v);            // varLongWord
  Variant(long v);                // varInt64
  Variant(long long v);           // varInt64
  Variant(unsigned long v);       // varUInt64
  Variant(unsigned long long v);  // varUInt64
  Variant(float v);
  Variant(double v);
  Variant(Currency v);
  Variant(const UnicodeString& v);  // varUString
  Variant(UnicodeString&& v);
  Variant(UnicodeStringView v);
  Variant(const char16_t* v);
  Variant(const AnsiString& v);  // varString
  Variant(const FmtBcd& v);      // varFmtBcd
  Variant(const char*) = delete;  // say which string kind is meant

  static Variant null();
  static Variant fromShortInt(std::int8_t v);
  static Variant fromSmallint(std::int16_t v);
  static Variant fromByte(std::uint8_t v);
  static Variant fromWord(std::uint16_t v);
  static Variant fromLongWord(std::uint32_t v);
  static Variant fromDate(DateTime v);
  static Variant fromOleStr(UnicodeStringView v);
  // The value standing for an omitted parameter: varError with the
  // "parameter not found" code.
  static Variant emptyParam();

  // Array of highBound - lowBound + 1 elements of elementType (varVariant or
  // a scalar kind), each empty or zero. RangeError when highBound < lowBound - 1.
  static Variant createArray(std::int32_t lowBound, std::int32_t highBound, VarType elementType);
  // varArray | varByte, bounds 0 .. size - 1.
  static Variant byteArray(std::span<const std::uint8_t> bytes);

  VarType type() const { return type_; }
  bool isEmpty() const { return type_ == varEmpty; }
  bool isNull() const { return type_ == varNull; }
  bool isNullOrEmpty() const { return type_ == varEmpty || type_ == varNull; }
  bool isEmptyParam() const;
  bool isArray() const { return (type_ & varArray) != 0; }
  bool isByteArray() const { return type_ == (varArray | varByte); }
  bool isString() const { return type_ == varOleStr || type_ == varUString || type_ == varString; }
  // Integer, float, currency, date and BCD kinds (not Boolean).
  bool isNumeric() const;

  // Arrays (VariantTypeError for other kinds; RangeError for an index
  // outside the bounds). Put converts the value to the element type.
  std::int32_t arrayLowBound() const;
  std::int32_t arrayHighBound() const;
  Variant arrayGet(std::int32_t index) const;
  void arrayPut(std::int32_t index, const Variant& value);
  // Changes the high bound, keeping the elements that remain.
  void arrayRedim(std::int32_t highBound);
  // The bytes of a byte array.
  std::span<const std::uint8_t> bytes() const;
  std::span<std::uint8_t> mutableBytes();

  // Raw access for the matching kind (no conversion).
  const UnicodeString& ustring() const;  // varOleStr, varUString
  const AnsiString& astring() const;     // varString
  const FmtBcd& fmtBcd() const;          // varFmtBcd

  // Conversions by the table above; the forms without settings use the
  // process default format settings.
  std::int64_t toInt64() const;
  std::int32_t toInt32() const;
  std::int16_t toInt16() const;
  std::int8_t toInt8() const;
  std::uint8_t toUInt8() const;
  std::uint16_t toUInt16() const;
  std::uint32_t toUInt32() const;
  std::uint64_t toUInt64() const;
  double toDouble() const;
  float toSingle() const;
  Currency toCurrency() const;
  DateTime toDateTime() const;
  bool toBoolean() const;
  UnicodeString toString() const;
  FmtBcd toFmtBcd() const;

  std::int64_t toInt64(const FormatSettings& fs) const;
  std::uint64_t toUInt64(const FormatSettings& fs) const;
  double toDouble(const FormatSettings& fs) const;
  Currency toCurrency(const FormatSettings& fs) const;
  DateTime toDateTime(const FormatSettings& fs) const;
  bool toBoolean(const FormatSettings& fs) const;
  UnicodeString toString(const FormatSettings& fs) const;
  FmtBcd toFmtBcd(const FormatSettings& fs) const;
  // 8-bit text in codePage (0 = the system ANSI code page).
  AnsiString toAnsiString(std::uint16_t codePage) const;

  // The value as another kind (VarAsType); empty and null stay as they are
  // when asked for themselves, otherwise the table applies.
  Variant asType(VarType type, const FormatSettings& fs) const;
  Variant asType(VarType type) const;

 private:
  struct ArrayData;
  std::int64_t toRangedInt(std::int64_t lo, std::int64_t hi, VarType target, const FormatSettings& fs) const;
  [[noreturn]] void castError(VarType target) const;
  const ArrayData& array() const;
  ArrayData& mutableArray();

  VarType type_ = varEmpty;
  union {
    std::int64_t i;
    std::uint64_t u;
    double d;
    bool b;
  } s_{};
  UnicodeString ustr_;
  AnsiString astr_;
  FmtBcd bcd_;
  std::shared_ptr<ArrayData> array_;
};

// Text of the value, "" for null.
UnicodeString varToStr(const Variant& v);
// Value comparison: null equals only null, empty only empty, an error only
// the same error; texts compare by
// UTF-16 code units; a text against a number compares as numbers; arrays are
// equal when bounds and elements are.
VarRelationship varCompareValue(const Variant& a, const Variant& b);
bool operator==(const Variant& a, const Variant& b);

}  // namespace platform
