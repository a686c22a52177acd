#include "nxsqlCondExp.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>

#include "nxllLockedFuncs.h"
#include "nxsdDataDictionaryItems.h"
#include "plCodePage.h"
#include "plCollation.h"
#include "plFormat.h"
#include "plFormatSettings.h"

using platform::Variant;
using platform::VarType;

// ------------------------------------------------------------ type classes

namespace {

constexpr TnxFieldTypes bits(std::initializer_list<TnxFieldType> aTypes) {
  TnxFieldTypes s = 0;
  for (TnxFieldType t : aTypes) s |= nxFieldTypeBit(t);
  return s;
}
constexpr TnxFieldTypes range(TnxFieldType aFrom, TnxFieldType aTo) {
  TnxFieldTypes s = 0;
  for (int t = aFrom; t <= aTo; ++t) s |= nxFieldTypeBit(TnxFieldType(t));
  return s;
}

constexpr TnxFieldTypes kIntegerTypes = range(nxtByte, nxtAutoInc) | bits({nxtRecRev, nxtRefNr});
constexpr TnxFieldTypes kNumericTypes = range(nxtByte, nxtCurrency) | bits({nxtRecRev, nxtBCD, nxtFmtBCD, nxtRefNr});
constexpr TnxFieldTypes kStringTypes =
    bits({nxtChar, nxtWideChar, nxtBlobMemo, nxtShortString, nxtNullString, nxtWideString, nxtBlobWideMemo});
constexpr TnxFieldTypes kDateTimeTypes = range(nxtDate, nxtDateTime);
constexpr TnxFieldTypes kAdditiveTypes =
    range(nxtChar, nxtDateTime) | bits({nxtBlobMemo}) | range(nxtShortString, nxtRecRev) | range(nxtBCD, nxtRefNr);

}  // namespace

bool nxSqlIsIntegerType(TnxFieldType aType) { return nxFieldTypeIn(aType, kIntegerTypes); }
bool nxSqlIsNumericType(TnxFieldType aType) { return nxFieldTypeIn(aType, kNumericTypes); }
bool nxSqlIsStringType(TnxFieldType aType) { return nxFieldTypeIn(aType, kStringTypes); }
bool nxSqlIsStringOrBlobType(TnxFieldType aType) {
  return nxFieldTypeIn(aType, kStringTypes | bits({nxtBlob, nxtBlobGraphic}));
}
bool nxSqlIsDateTimeType(TnxFieldType aType) { return nxFieldTypeIn(aType, kDateTimeTypes); }
bool nxSqlIsAdditiveType(TnxFieldType aType) { return nxFieldTypeIn(aType, kAdditiveTypes); }
bool nxSqlIsAdditiveNonDateType(TnxFieldType aType) {
  return nxFieldTypeIn(aType, kAdditiveTypes & ~kDateTimeTypes);
}

// --------------------------------------------------------------- promotion

TnxFieldType nxSqlPromoteNumericType(TnxFieldType a, TnxFieldType b) {
  const bool intA = nxSqlIsIntegerType(a), intB = nxSqlIsIntegerType(b);
  if (intA && intB) return nxtInt64;
  if (a == b) return a;
  if (intA) return b;
  if (intB) return a;
  return nxtExtended;
}

TnxFieldType nxSqlPromoteStringType(TnxFieldType a, TnxFieldType b) {
  // Column order of the rows below.
  auto column = [](TnxFieldType t) -> int {
    switch (t) {
      case nxtChar: return 0;
      case nxtWideChar: return 1;
      case nxtBlobMemo: return 2;
      case nxtShortString: return 3;
      case nxtNullString: return 4;
      case nxtWideString: return 5;
      case nxtBlobWideMemo: return 6;
      default: return -1;
    }
  };
  static constexpr TnxFieldType kCharRow[7] = {nxtNullString, nxtWideString, nxtBlobMemo, nxtNullString,
                                               nxtNullString, nxtWideString, nxtBlobWideMemo};
  static constexpr TnxFieldType kShortRow[7] = {nxtShortString, nxtWideString, nxtBlobMemo, nxtShortString,
                                                nxtNullString,  nxtWideString, nxtBlobWideMemo};
  static constexpr TnxFieldType kWideRow[7] = {nxtWideString, nxtWideString, nxtBlobWideMemo, nxtWideString,
                                               nxtWideString, nxtWideString, nxtBlobWideMemo};
  static constexpr TnxFieldType kMemoRow[7] = {nxtBlobMemo, nxtWideString, nxtBlobMemo,    nxtBlobMemo,
                                               nxtBlobMemo, nxtBlobWideMemo, nxtBlobWideMemo};
  const int c = column(b);
  if (c < 0) return a;
  switch (a) {
    case nxtChar:
    case nxtNullString: return kCharRow[c];
    case nxtShortString: return kShortRow[c];
    case nxtWideChar:
    case nxtWideString: return kWideRow[c];
    case nxtBlobMemo: return kMemoRow[c];
    case nxtBlobWideMemo: return nxtBlobWideMemo;
    default: return a;
  }
}

TnxFieldType nxSqlPromoteType(TnxFieldType a, TnxFieldType b) {
  if (nxSqlIsNumericType(a) && nxSqlIsNumericType(b)) return nxSqlPromoteNumericType(a, b);
  if (nxSqlIsStringType(a) && nxSqlIsStringType(b)) return nxSqlPromoteStringType(a, b);
  return a;
}

InxSqlNativeField* nxSqlPickPromotedField(InxSqlNativeField* aFirst, InxSqlNativeField* aSecond) {
  const TnxFieldType t1 = aFirst->NativeFieldType(), t2 = aSecond->NativeFieldType();
  if (t1 == t2) return aFirst;
  if (nxSqlIsNumericType(t1) && nxSqlIsNumericType(t2))
    return nxSqlPromoteNumericType(t1, t2) != t1 ? aSecond : aFirst;
  if (nxSqlIsStringType(t1) && nxSqlIsStringType(t2)) return nxSqlPromoteStringType(t1, t2) != t1 ? aSecond : aFirst;
  return aFirst;
}

// ---------------------------------------------------------- module state

namespace {

TnxUseCount gCondExpUseCount{0};
double gFloatTolerance = 1e-10;
double gDateTolerance = 0;
platform::DateTime gLowestDate = 0;
platform::DateTime gHighestDate = 0;

void setConstants() {
  gFloatTolerance = 1e-10;
  gDateTolerance = platform::encodeTime(0, 0, 0, 2) - platform::encodeTime(0, 0, 0, 1);
  gLowestDate = platform::encodeDate(1, 1, 1);
  gHighestDate = platform::encodeDate(9999, 12, 31);
}

}  // namespace

double nxSqlFloatTolerance() { return gFloatTolerance; }
double nxSqlDateTolerance() { return gDateTolerance; }
platform::DateTime nxSqlLowestDate() { return gLowestDate; }
platform::DateTime nxSqlHighestDate() { return gHighestDate; }

void nxsqlCondExpInitialize() {
  static const TnxModuleDependency deps[] = {{nxsqlBaseInitialize, nxsqlBaseFinalize}};
  nxUseCountStart(gCondExpUseCount, deps, [] { setConstants(); });
}

void nxsqlCondExpFinalize() {
  static const TnxModuleDependency deps[] = {{nxsqlBaseInitialize, nxsqlBaseFinalize}};
  nxUseCountFinish(gCondExpUseCount, deps, [] {});
}

// ----------------------------------------------------------------- helpers

nxString nxSqlTrimTrailingBlanks(platform::UnicodeStringView S) {
  std::size_t n = S.size();
  while (n > 0 && S[n - 1] == u' ') --n;
  return nxString(S.substr(0, n));
}

platform::VarType nxSqlVarType(const Variant& V) { return V.type(); }

std::int32_t nxSqlFindChar(char16_t aUnit, platform::UnicodeStringView S) {
  const std::size_t i = S.find(aUnit);
  return i == platform::UnicodeStringView::npos ? 0 : std::int32_t(i + 1);
}

std::int32_t nxSqlFindSubstring(platform::UnicodeStringView aNeedle, platform::UnicodeStringView aHaystack) {
  if (aNeedle.empty()) return 1;
  if (aHaystack.size() < aNeedle.size()) return 0;
  const std::size_t i = aHaystack.find(aNeedle);
  return i == platform::UnicodeStringView::npos ? 0 : std::int32_t(i + 1);
}

namespace {

// Floor division with the remainder in 0 .. aBase - 1.
std::int64_t carryInto(std::int64_t& aValue, std::int64_t aBase) {
  std::int64_t carry = aValue / aBase;
  aValue %= aBase;
  if (aValue < 0) {
    aValue += aBase;
    --carry;
  }
  return carry;
}

}  // namespace

platform::DateTime nxSqlAddTimeParts(platform::DateTime aValue, std::int32_t aHours, std::int32_t aMinutes,
                                     std::int32_t aSeconds, std::int32_t aMilliseconds) {
  int h = 0, m = 0, s = 0, ms = 0;
  platform::decodeTime(aValue, h, m, s, ms);
  std::int64_t msec = ms + aMilliseconds % 1000;
  const std::int64_t secCarry = carryInto(msec, 1000);
  std::int64_t sec = s + aSeconds % 60 + secCarry;
  const std::int64_t minCarry = carryInto(sec, 60);
  std::int64_t min = m + aMinutes % 60 + aSeconds / 60 + minCarry;
  const std::int64_t hourCarry = carryInto(min, 60);
  std::int64_t hour = h + aHours % 24 + aMinutes / 60 + hourCarry;
  const std::int64_t dayCarry = carryInto(hour, 24);
  const std::int64_t days = aHours / 24 + dayCarry;
  return std::trunc(aValue) +
         platform::encodeTime(int(hour), int(min), int(sec), int(msec)) + double(days);
}

// ------------------------------------------------------------------ locales

bool nxSqlLocalesCompatible(const TnxLocaleDescriptor* aFirst, const TnxLocaleDescriptor* aSecond) {
  if (!aFirst || !aSecond) return true;
  if (aFirst->IsDefaultStringLiteralLocale() || aSecond->IsDefaultStringLiteralLocale()) return true;
  return aFirst->IsCompareable(aSecond);
}

bool nxSqlChooseLocale(TnxLocaleDescriptor* aFirst, TnxLocaleDescriptor* aSecond, TnxLocaleDescriptor*& aChosen) {
  if (!nxSqlLocalesCompatible(aFirst, aSecond)) return false;
  aChosen = aFirst && !aFirst->IsDefaultStringLiteralLocale() ? aFirst : aSecond;
  return true;
}

void nxSqlComparisonLocale(const TnxLocaleDescriptor* aFirst, const TnxLocaleDescriptor* aSecond,
                           std::uint32_t& aLocale, std::uint32_t& aFlags) {
  const TnxLocaleDescriptor* chosen = nullptr;
  if (aFirst && !aFirst->IsDefaultStringLiteralLocale())
    chosen = aFirst;
  else if (aSecond && !aSecond->IsDefaultStringLiteralLocale())
    chosen = aSecond;
  else
    chosen = aFirst ? aFirst : aSecond;
  aLocale = chosen ? chosen->Locale() : 0;
  aFlags = chosen ? chosen->Flags() : 0;
}

// --------------------------------------------------------------- comparison

namespace {

constexpr std::int32_t kLess = 0, kEqual = 1, kGreater = 2, kNullMet = 3;

template <class T>
std::int32_t threeWay(T a, T b) {
  return a < b ? kLess : (b < a ? kGreater : kEqual);
}

bool isUtf16(VarType t) { return t == platform::varOleStr || t == platform::varUString; }

// The UTF-16 text of a string value of any kind.
nxString textOf(const Variant& v) {
  if (v.type() == platform::varString) return platform::ansiToUnicode(v.astring());
  return v.ustring();
}

// Both UTF-16 kinds and decoded 8-bit text are one string kind here.
VarType kindOf(const Variant& v) {
  const VarType t = v.type();
  if (t & platform::varArray) return t;
  if (isUtf16(t) || t == platform::varString) return platform::varOleStr;
  return t & platform::varTypeMask;
}

bool isSmallInteger(VarType t) {
  switch (t) {
    case platform::varSmallint:
    case platform::varInteger:
    case platform::varShortInt:
    case platform::varByte:
    case platform::varWord:
    case platform::varLongWord:
    case platform::varInt64:
      return true;
    default:
      return false;
  }
}

std::int32_t compareBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  const std::size_t n = std::min(a.size(), b.size());
  const int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
  if (c != 0) return c < 0 ? kLess : kGreater;
  return threeWay(a.size(), b.size());
}

// ---- the generic ordering: numbers by exact value, strings by code units.

enum class NumKind { None, Integer, Currency, Float, Bcd };

NumKind numKind(VarType t) {
  switch (t) {
    case platform::varSmallint:
    case platform::varInteger:
    case platform::varShortInt:
    case platform::varByte:
    case platform::varWord:
    case platform::varLongWord:
    case platform::varInt64:
    case platform::varUInt64:
    case platform::varBoolean:
      return NumKind::Integer;
    case platform::varCurrency:
      return NumKind::Currency;
    case platform::varSingle:
    case platform::varDouble:
    case platform::varDate:
      return NumKind::Float;
    case platform::varFmtBcd:
      return NumKind::Bcd;
    default:
      return NumKind::None;
  }
}

// Integers and currency in ten-thousandths, exactly.
__int128 scaledOf(const Variant& v) {
  const VarType t = v.type();
  if (t == platform::varCurrency) return v.toCurrency().value;
  if (t == platform::varBoolean) return __int128(v.toBoolean() ? -1 : 0) * 10000;
  if (t == platform::varUInt64) return __int128(v.toUInt64()) * 10000;
  return __int128(v.toInt64()) * 10000;
}

// A decimal text "-123.45" as sign, integer digits and fraction digits
// without redundant zeros, compared by value.
struct DecimalText {
  bool negative = false;
  std::string integer;
  std::string fraction;
};

DecimalText decimalOf(const std::string& aText) {
  DecimalText d;
  std::size_t i = 0;
  if (i < aText.size() && (aText[i] == '-' || aText[i] == '+')) d.negative = aText[i++] == '-';
  const std::size_t dot = aText.find('.', i);
  d.integer = aText.substr(i, dot == std::string::npos ? std::string::npos : dot - i);
  if (dot != std::string::npos) d.fraction = aText.substr(dot + 1);
  d.integer.erase(0, std::min(d.integer.find_first_not_of('0'), d.integer.size()));
  while (!d.fraction.empty() && d.fraction.back() == '0') d.fraction.pop_back();
  if (d.integer.empty() && d.fraction.empty()) d.negative = false;
  return d;
}

std::int32_t compareDecimals(const DecimalText& a, const DecimalText& b) {
  if (a.negative != b.negative) return a.negative ? kLess : kGreater;
  std::int32_t magnitude = threeWay(a.integer.size(), b.integer.size());
  if (magnitude == kEqual) magnitude = threeWay(a.integer, b.integer);
  if (magnitude == kEqual) magnitude = threeWay(a.fraction, b.fraction);
  if (a.negative && magnitude != kEqual) magnitude = magnitude == kLess ? kGreater : kLess;
  return magnitude;
}

std::string decimalTextOf(const Variant& v) {
  const platform::FormatSettings& fs = platform::invariantFormatSettings();
  switch (numKind(v.type())) {
    case NumKind::Bcd:
      return platform::toUtf8(platform::bcdToStr(v.fmtBcd(), fs));
    case NumKind::Currency: {
      const __int128 s = scaledOf(v);
      const bool neg = s < 0;
      const unsigned __int128 m = neg ? -static_cast<unsigned __int128>(s) : static_cast<unsigned __int128>(s);
      const auto whole = static_cast<unsigned long long>(m / 10000);
      const auto frac = static_cast<unsigned>(m % 10000);
      char text[48];
      std::snprintf(text, sizeof text, "%s%llu.%04u", neg ? "-" : "", whole, frac);
      return text;
    }
    default: {
      const __int128 s = scaledOf(v) / 10000;
      char text[32];
      std::snprintf(text, sizeof text, "%s%llu", s < 0 ? "-" : "",
                    static_cast<unsigned long long>(s < 0 ? -s : s));
      return text;
    }
  }
}

long double floatOf(const Variant& v) {
  switch (numKind(v.type())) {
    case NumKind::Float:
      return v.toDouble();
    case NumKind::Currency:
      return v.toCurrency().toLongDouble();
    case NumKind::Bcd:
      return std::strtold(platform::toUtf8(platform::bcdToStr(v.fmtBcd(), platform::invariantFormatSettings())).c_str(),
                          nullptr);
    case NumKind::Integer:
      return v.type() == platform::varUInt64 ? static_cast<long double>(v.toUInt64())
                                             : static_cast<long double>(scaledOf(v) / 10000);
    default:
      return 0;
  }
}

std::int32_t compareNumbers(const Variant& a, const Variant& b) {
  const NumKind ka = numKind(a.type()), kb = numKind(b.type());
  if (ka == NumKind::Float || kb == NumKind::Float) {
    // Currency against a float compares in ten-thousandths, the currency side exactly.
    if (ka == NumKind::Currency && kb == NumKind::Float)
      return threeWay(static_cast<long double>(a.toCurrency().value), static_cast<long double>(b.toDouble()) * 10000);
    if (kb == NumKind::Currency && ka == NumKind::Float)
      return threeWay(static_cast<long double>(a.toDouble()) * 10000, static_cast<long double>(b.toCurrency().value));
    const long double x = floatOf(a), y = floatOf(b);
    if (std::isnan(x) || std::isnan(y)) return std::isnan(x) == std::isnan(y) ? kEqual : (std::isnan(x) ? kLess : kGreater);
    return threeWay(x, y);
  }
  if (ka == NumKind::Bcd || kb == NumKind::Bcd) return compareDecimals(decimalOf(decimalTextOf(a)), decimalOf(decimalTextOf(b)));
  return threeWay(scaledOf(a), scaledOf(b));
}

std::int32_t compareGeneric(const Variant& a, const Variant& b) {
  if (a.isNull() || b.isNull()) return kNullMet;
  if (a.isByteArray() && b.isByteArray()) return compareBytes(a.bytes(), b.bytes());
  if (a.isString() && b.isString()) return nxSqlCompareWideOrdinal(textOf(a), textOf(b));
  if (numKind(a.type()) != NumKind::None && numKind(b.type()) != NumKind::None) return compareNumbers(a, b);
  try {
    switch (platform::varCompareValue(a, b)) {
      case platform::VarRelationship::LessThan: return kLess;
      case platform::VarRelationship::Equal: return kEqual;
      case platform::VarRelationship::GreaterThan: return kGreater;
      default: break;
    }
  } catch (const platform::RuntimeError&) {
    // A text that is no number against a number: order by text below.
  }
  return nxSqlCompareWideOrdinal(platform::varToStr(a), platform::varToStr(b));
}

std::int32_t collate(std::uint32_t aLocale, std::uint32_t aFlags, const nxString& a, const nxString& b) {
  if (aLocale == 0) return nxSqlCompareWideOrdinal(a, b);
  return platform::compareString(aLocale, aFlags, a, b) + 1;
}

}  // namespace

std::int32_t nxSqlCompareWideOrdinal(platform::UnicodeStringView a, platform::UnicodeStringView b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return std::uint16_t(a[i]) < std::uint16_t(b[i]) ? kLess : kGreater;
  return threeWay(a.size(), b.size());
}

std::int32_t nxSqlCompareVariants(const Variant& aLeft, const Variant& aRight, std::uint32_t aLocale,
                                  std::uint32_t aFlags) {
  const VarType l = kindOf(aLeft), r = kindOf(aRight);
  if (l == r) {
    switch (l) {
      case platform::varSmallint:
      case platform::varInteger:
      case platform::varShortInt:
      case platform::varByte:
      case platform::varWord:
      case platform::varLongWord:
      case platform::varInt64:
        return threeWay(aLeft.toInt64(), aRight.toInt64());
      case platform::varSingle:
      case platform::varDouble:
      case platform::varDate: {
        const double x = aLeft.toDouble(), y = aRight.toDouble();
        if (std::isnan(x) || std::isnan(y)) break;
        return threeWay(x, y);
      }
      case platform::varOleStr:
        if (isUtf16(aLeft.type()) && isUtf16(aRight.type()))
          return collate(aLocale, aFlags, aLeft.ustring(), aRight.ustring());
        return collate(aLocale, aFlags, textOf(aLeft), textOf(aRight));
      case platform::varBoolean:
        // True is stored as all ones: it sorts above False.
        return threeWay(aLeft.toBoolean() ? 0xFFFF : 0, aRight.toBoolean() ? 0xFFFF : 0);
      default:
        break;
    }
  } else if (isSmallInteger(l) && isSmallInteger(r)) {
    return threeWay(aLeft.toInt64(), aRight.toInt64());
  }
  return compareGeneric(aLeft, aRight);
}

std::int32_t nxSqlCompareVariantsNullEqual(const Variant& aLeft, const Variant& aRight, std::uint32_t aLocale,
                                           std::uint32_t aFlags) {
  if (aLeft.isNull() && aRight.isNull()) return kEqual;
  return nxSqlCompareVariants(aLeft, aRight, aLocale, aFlags);
}

namespace {

bool applyRelOp(TnxSqlRelOp aRelOp, std::int32_t aResult) {
  switch (aRelOp) {
    case roEQ: return aResult == kEqual;
    case roLE: return aResult == kLess || aResult == kEqual;
    case roL: return aResult == kLess;
    case roG: return aResult == kGreater;
    case roGE: return aResult == kEqual || aResult == kGreater;
    default: return aResult == kLess || aResult == kGreater;
  }
}

// The bytes a value stands for in a byte comparison.
std::string bytesOf(const Variant& v) {
  if (v.isByteArray()) {
    const auto b = v.bytes();
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
  }
  return platform::encodeText(platform::varToStr(v), platform::ansiCodePage());
}

// Equality within the tolerance for the four tolerant pairs; nullopt otherwise.
std::optional<bool> tolerantEqual(const Variant& l, const Variant& r) {
  const VarType lt = l.type() & platform::varTypeMask, rt = r.type() & platform::varTypeMask;
  if (lt != rt) return std::nullopt;
  switch (lt) {
    case platform::varDouble:
      return std::fabs(l.toDouble() - r.toDouble()) < gFloatTolerance;
    case platform::varDate:
      return std::fabs(l.toDouble() - r.toDouble()) < gDateTolerance;
    case platform::varSingle:
      return std::fabs(static_cast<long double>(l.toSingle()) - static_cast<long double>(r.toSingle())) <
             gFloatTolerance;
    case platform::varCurrency:
      return std::fabs(static_cast<long double>(l.toCurrency().value - r.toCurrency().value) / 10000) <
             gFloatTolerance;
    default:
      return std::nullopt;
  }
}

bool evalRelOp(TnxSqlRelOp aRelOp, const Variant& l, const Variant& r, std::uint32_t aLocale, std::uint32_t aFlags) {
  const VarType lt = l.type() & platform::varTypeMask, rt = r.type() & platform::varTypeMask;
  switch (aRelOp) {
    case roEQ: {
      if (lt == platform::varBoolean && rt == platform::varInt64) return l.toBoolean() == (r.toInt64() == 1);
      if (rt == platform::varBoolean && lt == platform::varInt64) return r.toBoolean() == (l.toInt64() == 1);
      if (const auto eq = tolerantEqual(l, r)) return *eq;
      return nxSqlCompareVariants(l, r, aLocale, aFlags) == kEqual;
    }
    case roLE:
    case roL:
    case roG:
    case roGE:
      return applyRelOp(aRelOp, nxSqlCompareVariants(l, r, aLocale, aFlags));
    default: {
      if (const auto eq = tolerantEqual(l, r)) return !*eq;
      const std::int32_t c = nxSqlCompareVariants(l, r, aLocale, aFlags);
      return c == kLess || c == kGreater;
    }
  }
}

}  // namespace

bool nxSqlCompareByRelOp(TnxSqlRelOp aRelOp, const Variant& aLeft, const Variant& aRight,
                         TnxLocaleDescriptor* aLeftLocale, TnxLocaleDescriptor* aRightLocale, bool aLeftPadded,
                         bool aRightPadded, bool aSkipLocaleCheck) {
  if (aLeft.isNull() || aRight.isNull()) return false;
  if (aRelOp == roNone) nxAssertionFailed("roNone in a comparison", "nxsqlCondExp", __LINE__);
  // Binary values compare by their bytes: a collation would give control
  // characters no weight and make different values equal.
  if (aLeft.isByteArray() || aRight.isByteArray()) {
    const std::string a = bytesOf(aLeft), b = bytesOf(aRight);
    return applyRelOp(aRelOp, compareBytes({reinterpret_cast<const std::uint8_t*>(a.data()), a.size()},
                                           {reinterpret_cast<const std::uint8_t*>(b.data()), b.size()}));
  }
  if (!aSkipLocaleCheck && !nxSqlLocalesCompatible(aLeftLocale, aRightLocale))
    throw EnxInternalSQLException(u"Incompatible locales");
  std::uint32_t locale = 0, flags = 0;
  nxSqlComparisonLocale(aLeftLocale, aRightLocale, locale, flags);
  const bool trimLeft = aLeftPadded && aLeft.isString();
  const bool trimRight = aRightPadded && aRight.isString();
  if (!trimLeft && !trimRight) return evalRelOp(aRelOp, aLeft, aRight, locale, flags);
  const Variant l = trimLeft ? Variant(nxSqlTrimTrailingBlanks(textOf(aLeft))) : aLeft;
  const Variant r = trimRight ? Variant(nxSqlTrimTrailingBlanks(textOf(aRight))) : aRight;
  return evalRelOp(aRelOp, l, r, locale, flags);
}

// --------------------------------------------------------- native comparers

namespace {

template <class T>
T load(const std::uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// One comparer class per stored representation: Eq::equal(a, b, units).
template <class Eq>
class NativeComparer final : public TnxSqlNativeComparer {
 public:
  using TnxSqlNativeComparer::TnxSqlNativeComparer;
  const char* ClassName() const override { return Eq::kName; }
  TnxSqlTriStateBool Compare() override {
    const std::uint8_t *a, *b;
    if (FDirect) {
      const std::uint8_t* r1 = *A1.RecordBuffer;
      const std::uint8_t* r2 = *A2.RecordBuffer;
      if ((r1[A1.NullOffset] & A1.NullMask) | (r2[A2.NullOffset] & A2.NullMask)) return tsbUnknown;
      a = r1 + A1.FieldOffset;
      b = r2 + A2.FieldOffset;
    } else {
      if (F1->NativeIsNull() || F2->NativeIsNull()) return tsbUnknown;
      a = F1->NativeFieldBuffer();
      b = F2->NativeFieldBuffer();
    }
    return Eq::equal(a, b, FUnits) ? tsbTrue : tsbFalse;
  }
};

template <std::size_t kBytes>
struct BytesEq {
  static bool equal(const std::uint8_t* a, const std::uint8_t* b, std::size_t) {
    return std::memcmp(a, b, kBytes) == 0;
  }
};

#define NX_BYTES_COMPARER(Tag, Name, Bytes)     \
  struct Tag : BytesEq<Bytes> {                 \
    static constexpr const char* kName = #Name; \
  };
NX_BYTES_COMPARER(CharEq, TnxSqlCharComparer, 1)
NX_BYTES_COMPARER(WideCharEq, TnxSqlWideCharComparer, 2)
NX_BYTES_COMPARER(ByteEq, TnxSqlByteComparer, 1)
NX_BYTES_COMPARER(Word16Eq, TnxSqlWord16Comparer, 2)
NX_BYTES_COMPARER(Word32Eq, TnxSqlWord32Comparer, 4)
NX_BYTES_COMPARER(Int8Eq, TnxSqlInt8Comparer, 1)
NX_BYTES_COMPARER(Int16Eq, TnxSqlInt16Comparer, 2)
NX_BYTES_COMPARER(Int32Eq, TnxSqlInt32Comparer, 4)
NX_BYTES_COMPARER(Int64Eq, TnxSqlInt64Comparer, 8)
#undef NX_BYTES_COMPARER

struct BooleanEq {
  static constexpr const char* kName = "TnxSqlBooleanComparer";
  // Any non-zero byte is True.
  static bool equal(const std::uint8_t* a, const std::uint8_t* b, std::size_t) { return *a == *b || (*a & *b) != 0; }
};

struct ShortStringEq {
  static constexpr const char* kName = "TnxSqlShortStringComparer";
  // The length byte, then that many bytes (bounded by the fields' units).
  static bool equal(const std::uint8_t* a, const std::uint8_t* b, std::size_t aUnits) {
    if (a[0] != b[0]) return false;
    return std::memcmp(a + 1, b + 1, std::min<std::size_t>(a[0], aUnits)) == 0;
  }
};

struct NullStringEq {
  static constexpr const char* kName = "TnxSqlNullStringComparer";
  // Up to the first position where both hold the terminator; the shorter
  // field's terminator byte is the last one read.
  static bool equal(const std::uint8_t* a, const std::uint8_t* b, std::size_t aUnits) {
    for (std::size_t i = 0; i <= aUnits; ++i) {
      if (a[i] != b[i]) return false;
      if (a[i] == 0) return true;
    }
    return true;
  }
};

struct WideStringEq {
  static constexpr const char* kName = "TnxSqlWideStringComparer";
  static bool equal(const std::uint8_t* a, const std::uint8_t* b, std::size_t aUnits) {
    for (std::size_t i = 0; i <= aUnits; ++i) {
      const auto x = load<std::uint16_t>(a + 2 * i), y = load<std::uint16_t>(b + 2 * i);
      if (x != y) return false;
      if (x == 0) return true;
    }
    return true;
  }
};

template <class Eq>
std::unique_ptr<TnxSqlNativeComparer> make(InxSqlNativeField* aF1, InxSqlNativeField* aF2) {
  return std::make_unique<NativeComparer<Eq>>(aF1, aF2);
}

// "=" of two values of these fields trims or collates: bytes do not decide it.
bool collatedField(InxSqlNativeField* aField) {
  if (aField->NativeLocaleDesc()) return true;
  const TnxFieldType t = aField->NativeFieldType();
  return (t == nxtShortString || t == nxtNullString || t == nxtWideString) && aField->NativeDecimals() != 0;
}

}  // namespace

TnxSqlNativeComparer::TnxSqlNativeComparer(InxSqlNativeField* aF1, InxSqlNativeField* aF2)
    : F1(aF1),
      F2(aF2),
      FDirect(aF1->NativeAccess(A1) && aF2->NativeAccess(A2)),
      FUnits(std::size_t(std::max(std::min(aF1->NativeUnits(), aF2->NativeUnits()), 0))) {}

std::unique_ptr<TnxSqlNativeComparer> nxSqlNativeComparerFor(InxSqlNativeField* aF1, InxSqlNativeField* aF2) {
  const TnxFieldType type = aF1->NativeFieldType();
  if (type != aF2->NativeFieldType()) return nullptr;
  switch (type) {
    case nxtBoolean: return make<BooleanEq>(aF1, aF2);
    case nxtByte: return make<ByteEq>(aF1, aF2);
    case nxtWord16: return make<Word16Eq>(aF1, aF2);
    case nxtWord32:
    case nxtAutoInc:
    case nxtRecRev: return make<Word32Eq>(aF1, aF2);
    case nxtInt8: return make<Int8Eq>(aF1, aF2);
    case nxtInt16: return make<Int16Eq>(aF1, aF2);
    case nxtInt32: return make<Int32Eq>(aF1, aF2);
    case nxtInt64:
    case nxtRefNr: return make<Int64Eq>(aF1, aF2);
    default: break;
  }
  if (collatedField(aF1) || collatedField(aF2)) return nullptr;
  switch (type) {
    case nxtChar: return make<CharEq>(aF1, aF2);
    case nxtWideChar: return make<WideCharEq>(aF1, aF2);
    case nxtShortString: return make<ShortStringEq>(aF1, aF2);
    case nxtNullString: return make<NullStringEq>(aF1, aF2);
    case nxtWideString: return make<WideStringEq>(aF1, aF2);
    default: return nullptr;
  }
}
