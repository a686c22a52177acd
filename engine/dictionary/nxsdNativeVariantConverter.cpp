#include "nxsdNativeVariantConverter.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "nxllBde.h"
#include "nxllException.h"
#include "nxsdDateTimeParser.h"
#include "nxsdFmtBcd.h"
#include "plCodePage.h"
#include "plCurrency.h"
#include "plDateTime.h"
#include "plErrors.h"
#include "plExtended.h"
#include "plFormat.h"
#include "plGuid.h"

using platform::Variant;

namespace {

// Operating-system failure of a code-page conversion: the engine's OS error
// exception (11047) with the action naming the routine and the call.
[[noreturn]] void raiseOsError(const char* aAction, const platform::OsError& aCause) {
  const nxString action = platform::fromUtf8(aAction);
  errno = aCause.code();  // the exception reads the thread's last OS error
  throw nxCreateOSErrorException(nxErrOsUnknown, {}, action);
}

[[noreturn]] void raiseInvalidChar() { throw EnxBaseException(u"Invalid char format (length must be exactly 1)"); }

[[noreturn]] void internalError(int aType) {
  throw platform::RuntimeError("Assertion failed: field type " + std::to_string(aType) +
                               " is not converted (nxsdNativeVariantConverter)");
}

[[noreturn]] void raiseTooWide(std::size_t aSize, std::size_t aRoom) {
  throw platform::RangeError("Source string data is too wide (" + std::to_string(aSize) +
                             ") for the target field (" + std::to_string(aRoom) + ")");
}

[[noreturn]] void raiseTooWideRoom(std::size_t aRoom) {
  throw platform::RangeError("Source string data is too wide for the target field (" + std::to_string(aRoom) + ")");
}

[[noreturn]] void raiseOutOfRange(const std::string& aValue) {
  throw platform::RangeError("Value out of range for the target column type: " + aValue);
}

bool checkRange(bool aRaise, std::int64_t aValue, std::int64_t aLow, std::int64_t aHigh) {
  if (aValue >= aLow && aValue <= aHigh) return true;
  if (aRaise) raiseOutOfRange(std::to_string(aValue));
  return false;
}

// Storage bytes of the fixed-size types; 0 for the others.
std::size_t fixedSize(int aType) {
  switch (aType) {
    case nxtBoolean: case nxtChar: case nxtByte: case nxtInt8: return 1;
    case nxtWideChar: case nxtWord16: case nxtInt16: return 2;
    case nxtWord32: case nxtInt32: case nxtAutoInc: case nxtRecRev: case nxtSingle: case nxtDate:
    case nxtTime: return 4;
    case nxtInt64: case nxtRefNr: case nxtDouble: case nxtCurrency: case nxtBCD: case nxtDateTime: return 8;
    case nxtExtended: return 10;
    case nxtGuid: return 16;
    default: return 0;
  }
}

void requireLength(int aType, std::size_t aLength) {
  if (aLength < fixedSize(aType)) internalError(aType);
}

std::uint32_t codePageOf(TnxWord32 aCodePage) {
  return aCodePage == 0 ? platform::ansiCodePage() : (aCodePage & 0xFFFF);
}

bool isUtf16Text(const Variant& v) { return v.type() == platform::varOleStr || v.type() == platform::varUString; }
bool isText(const Variant& v) { return isUtf16Text(v) || v.type() == platform::varString; }
bool isBcd(const Variant& v) { return v.type() == platform::varFmtBcd; }

// ---- 8-bit text ----------------------------------------------------------

nxString decode(std::string_view aBytes, std::uint32_t aCodePage, const char* aMeasure, const char* aConvert) {
  nxString out;
  if (aBytes.empty()) return out;
  std::size_t n = 0;
  try {
    n = platform::multiByteToWide(aCodePage, aBytes, nullptr, 0);
  } catch (const platform::OsError& e) {
    raiseOsError(aMeasure, e);
  }
  out.resize(n);
  try {
    out.resize(platform::multiByteToWide(aCodePage, aBytes, out.data(), n));
  } catch (const platform::OsError& e) {
    raiseOsError(aConvert, e);
  }
  return out;
}

std::string encode(platform::UnicodeStringView aText, std::uint32_t aCodePage, const char* aAction) {
  std::string out;
  if (aText.empty()) return out;
  try {
    out.resize(platform::wideToMultiByte(aCodePage, aText, nullptr, 0));
    out.resize(platform::wideToMultiByte(aCodePage, aText, out.data(), out.size()));
  } catch (const platform::OsError& e) {
    raiseOsError(aAction, e);
  }
  return out;
}

// The longest prefix of at most aRoom bytes that ends on a character boundary.
std::size_t wholeCharPrefix(std::string_view aBytes, std::uint32_t aCodePage, std::size_t aRoom) {
  if (aBytes.size() <= aRoom) return aBytes.size();
  if (aCodePage == platform::CP_UTF8) {
    std::size_t cut = aRoom;
    while (cut > 0 && (static_cast<std::uint8_t>(aBytes[cut]) & 0xC0) == 0x80) --cut;
    return cut;
  }
  const platform::CodePageInfo info = platform::codePageInfo(aCodePage);
  if (info.maxCharSize != 2) return aRoom;
  std::size_t i = 0;
  while (i < aRoom) {
    const std::size_t step = info.isLeadByte(static_cast<std::uint8_t>(aBytes[i])) ? 2 : 1;
    if (i + step > aRoom) break;
    i += step;
  }
  return i;
}

nxString trimTrailingSpaces(nxString s) {
  while (!s.empty() && s.back() == u' ') s.pop_back();
  return s;
}

// Trailing spaces go while the text does not fit; they carry nothing.
void trimSpacesToFit(nxString& s, std::size_t aLimit) {
  while (s.size() >= aLimit && !s.empty() && s.back() == u' ') s.pop_back();
}

nxString padTo(nxString s, int aDecimals) {
  if (aDecimals > 0 && s.size() < static_cast<std::size_t>(aDecimals))
    s.append(static_cast<std::size_t>(aDecimals) - s.size(), u' ');
  return s;
}

nxString upToZero(const nxString& s) { return s.substr(0, s.find(u'\0')); }

// The text of a variant bound for an 8-bit or wide string field: byte arrays
// are 8-bit text in the system ANSI code page, UTF-16 texts end at their
// first zero character.
nxString textOf(const Variant& v, const platform::FormatSettings& fs) {
  if (v.isByteArray()) {
    const auto b = v.bytes();
    return decode(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()), platform::ansiCodePage(),
                  "NullStringToBuffer/MultiByteToWideChar/1", "NullStringToBuffer/MultiByteToWideChar/2");
  }
  if (isUtf16Text(v)) return upToZero(v.ustring());
  return v.toString(fs);
}

// 8-bit text of at most aRoom bytes for a null-terminated string (BLOB memo).
// With a field code page only the first aRoom characters are converted when
// truncating, and a text whose bytes still do not fit is refused; in the
// system code page the bytes are cut instead.
std::string fitNullText(const Variant& aValue, const platform::FormatSettings& fs, TnxWord32 aCodePage,
                        int aDecimals, std::size_t aLength, std::size_t aRoom, bool aTruncate) {
  const char* const kAction = "NullStringToBuffer/WideCharToMultiByte";
  std::string bytes;
  if (aCodePage == 0 && aValue.isByteArray()) {
    // Already 8-bit text in the system code page: kept byte for byte.
    const auto b = aValue.bytes();
    bytes.assign(reinterpret_cast<const char*>(b.data()), b.size());
    if (aDecimals > 0)
      while (!bytes.empty() && bytes.back() == ' ') bytes.pop_back();
  } else {
    nxString text = textOf(aValue, fs);
    if (aDecimals > 0)
      text = trimTrailingSpaces(std::move(text));
    else if (isUtf16Text(aValue))
      trimSpacesToFit(text, aLength);
    if (aCodePage != 0) {
      if (aTruncate && text.size() > aRoom) {
        std::size_t n = aRoom;
        if (n > 0 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;  // keep pairs whole
        text.resize(n);
      }
      bytes = encode(text, codePageOf(aCodePage), kAction);
      if (bytes.size() > aRoom) raiseTooWideRoom(aRoom);
      return bytes;
    }
    bytes = encode(text, platform::ansiCodePage(), kAction);
  }
  if (bytes.size() > aRoom) {
    if (!aTruncate) raiseTooWide(bytes.size(), aRoom);
    bytes.resize(wholeCharPrefix(bytes, platform::ansiCodePage(), aRoom));
  }
  return bytes;
}

// 8-bit text of at most aRoom bytes for a short string. Text bound for a field
// code page, and UTF-16 text in the system code page, must fit whole whatever
// aTruncate says; only other values in the system code page are cut.
std::string fitShortText(const Variant& aValue, const platform::FormatSettings& fs, TnxWord32 aCodePage,
                         int aDecimals, std::size_t aLength, std::size_t aRoom, bool aTruncate) {
  const char* const kAction = "ShortStringToBuffer/WideCharToMultiByte";
  std::string bytes;
  if (aCodePage != 0 || (isUtf16Text(aValue) && aDecimals <= 0)) {
    nxString text = textOf(aValue, fs);
    if (aDecimals > 0)
      text = trimTrailingSpaces(std::move(text));
    else if (aCodePage == 0)
      trimSpacesToFit(text, aLength);
    bytes = encode(text, codePageOf(aCodePage), kAction);
    if (bytes.size() > aRoom) raiseTooWideRoom(aRoom);
    return bytes;
  }
  if (aValue.isByteArray()) {
    const auto b = aValue.bytes();
    bytes.assign(reinterpret_cast<const char*>(b.data()), b.size());
    if (aDecimals > 0)
      while (!bytes.empty() && bytes.back() == ' ') bytes.pop_back();
  } else {
    nxString text = textOf(aValue, fs);
    if (aDecimals > 0) text = trimTrailingSpaces(std::move(text));
    bytes = encode(text, platform::ansiCodePage(), kAction);
  }
  if (bytes.size() > aRoom) {
    if (!aTruncate) raiseTooWide(bytes.size(), aRoom);
    bytes.resize(wholeCharPrefix(bytes, platform::ansiCodePage(), aRoom));
  }
  return bytes;
}

nxString wideTextFor(const Variant& aValue, const platform::FormatSettings& fs, int aDecimals, std::size_t aLength) {
  nxString text = textOf(aValue, fs);
  if (aDecimals > 0)
    text = trimTrailingSpaces(std::move(text));
  else
    while (!text.empty() && text.back() == u' ' && 2 * text.size() >= aLength) text.pop_back();
  return text;
}

// ---- Numbers -------------------------------------------------------------

std::int64_t truncToInt64(double d) {
  const double t = std::trunc(d);
  if (!(t >= -9223372036854775808.0 && t < 9223372036854775808.0)) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.0f", t);
    raiseOutOfRange(buf);
  }
  return static_cast<std::int64_t>(t);
}

TnxFmtBcd bcdOf(const Variant& v) { return nxVarToBcd(v); }

// The integer a narrow integer field takes: a packed decimal's integer part,
// otherwise the value as a float truncated toward zero.
std::int64_t integerValue(const Variant& v, const platform::FormatSettings& fs) {
  if (isBcd(v)) return nxBcdToInt64(bcdOf(v), true);
  return truncToInt64(v.toDouble(fs));
}

std::int64_t int64Value(const Variant& v, const platform::FormatSettings& fs) {
  switch (v.type()) {
    case platform::varFmtBcd: return nxBcdToInt64(bcdOf(v), true);
    case platform::varSingle:
    case platform::varDouble:
    case platform::varDate: return truncToInt64(v.toDouble(fs));
    case platform::varCurrency: return v.toCurrency(fs).value / platform::Currency::kScale;
    default: return v.toInt64(fs);
  }
}

bool isPlainNumber(const Variant& v) {
  switch (v.type()) {
    case platform::varSmallint: case platform::varInteger: case platform::varSingle: case platform::varDouble:
    case platform::varCurrency: case platform::varByte: case platform::varWord: case platform::varLongWord:
    case platform::varInt64: return true;
    default: return false;
  }
}

double floatValue(const Variant& v, const platform::FormatSettings& fs) {
  if (isPlainNumber(v) || isBcd(v)) return v.toDouble(fs);
  return platform::strToFloat(v.toString(fs), fs);
}

float singleValue(double d) {
  if (std::isfinite(d) && std::fabs(d) > FLT_MAX) throw platform::ArithmeticError("Floating point overflow");
  return static_cast<float>(d);
}

// Extended holds every 64-bit integer and currency exactly; a double does not.
platform::Extended extendedOfNumber(const Variant& v, const platform::FormatSettings& fs) {
  switch (v.type()) {
    case platform::varInt64: return platform::Extended::fromLongDouble(static_cast<long double>(v.toInt64(fs)));
    case platform::varUInt64: return platform::Extended::fromLongDouble(static_cast<long double>(v.toUInt64(fs)));
    case platform::varCurrency:
      return platform::Extended::fromLongDouble(static_cast<long double>(v.toCurrency(fs).value) / 10000.0L);
    default: return platform::Extended::fromDouble(v.toDouble(fs));
  }
}

platform::Extended extendedValue(const Variant& v, const platform::FormatSettings& fs) {
  if (isPlainNumber(v)) return extendedOfNumber(v, fs);
  long double ld = 0;
  if (isBcd(v)) {
    const nxString text = nxBcdToStr(bcdOf(v), fs.DecimalSeparator);
    if (!platform::tryStrToFloat(text, ld, fs)) throw platform::ConvertError("Could not convert FmtBCD to Extended");
    return platform::Extended::fromLongDouble(ld);
  }
  const nxString text = v.toString(fs);
  if (!platform::tryStrToFloat(text, ld, fs))
    throw platform::ConvertError("'" + platform::toUtf8(text) + "' is not a valid floating point value");
  return platform::Extended::fromLongDouble(ld);
}

std::int64_t currencyOfBcd(const Variant& v) {
  std::int64_t c = 0;
  if (!nxTryBcdToCurr(bcdOf(v), c)) nxRaiseBcdOverflow();
  return c;
}

bool isNumericZero(const Variant& v) {
  switch (v.type()) {
    case platform::varSmallint: case platform::varInteger: case platform::varSingle: case platform::varDouble:
    case platform::varCurrency: case platform::varByte: case platform::varWord: case platform::varLongWord:
    case platform::varInt64: return v.toDouble() == 0;
    default: return false;
  }
}

void checkTimestamp(const Variant& v) {
  if (isNumericZero(v)) throw platform::ConvertError("0 (zero) is not a valid timestamp");
}

double timeStampMSecs(platform::DateTime dt) {
  const platform::TimeStamp ts = platform::dateTimeToTimeStamp(dt);
  return static_cast<double>(ts.date) * platform::kMSecsPerDay + ts.time;
}

// memcpy and memset refuse null pointers even for no bytes; empty arrays and
// zero-length fields have them.
void copyBytes(void* aTarget, const void* aSource, std::size_t aCount) {
  if (aCount) std::memcpy(aTarget, aSource, aCount);
}
void clearBytes(void* aTarget, std::size_t aCount) {
  if (aCount) std::memset(aTarget, 0, aCount);
}

template <typename T>
void put(void* aBuffer, T aValue) {
  std::memcpy(aBuffer, &aValue, sizeof aValue);
}

template <typename T>
T get(const void* aBuffer) {
  T v;
  std::memcpy(&v, aBuffer, sizeof v);
  return v;
}

// ---- Characters ----------------------------------------------------------

std::uint8_t charByte(const Variant& aValue, const platform::FormatSettings& fs, TnxWord32 aCodePage) {
  std::string bytes;
  if (aCodePage != 0) {
    const nxString text = aValue.toString(fs);
    if (text.size() != 1) raiseInvalidChar();
    bytes = encode(text, codePageOf(aCodePage), "AnsiCharToBuffer/WideCharToMultiByte");
  } else if (isText(aValue)) {
    bytes = aValue.toAnsiString(platform::ansiCodePage()).bytes;
  } else if (aValue.type() == platform::varInteger) {
    bytes.push_back(static_cast<char>(aValue.toInt32() & 0xFF));
  }
  if (bytes.size() != 1) raiseInvalidChar();
  return static_cast<std::uint8_t>(bytes[0]);
}

char16_t wideChar(const Variant& aValue, const platform::FormatSettings& fs) {
  const nxString text = aValue.toString(fs);
  if (text.size() != 1) raiseInvalidChar();
  return text[0];
}

constexpr const char* kFromNull1 = "VariantFromNullStringPtr/MultiByteToWideChar/1";
constexpr const char* kFromNull2 = "VariantFromNullStringPtr/MultiByteToWideChar/2";

}  // namespace

// ---- Range checks --------------------------------------------------------

bool nxCheckByteRange(bool aRaise, std::int64_t aValue) { return checkRange(aRaise, aValue, 0, 255); }
bool nxCheckWord16Range(bool aRaise, std::int64_t aValue) { return checkRange(aRaise, aValue, 0, 65535); }
bool nxCheckWord32Range(bool aRaise, std::int64_t aValue) { return checkRange(aRaise, aValue, 0, 4294967295LL); }
bool nxCheckInt8Range(bool aRaise, std::int64_t aValue) { return checkRange(aRaise, aValue, -128, 127); }
bool nxCheckInt16Range(bool aRaise, std::int64_t aValue) { return checkRange(aRaise, aValue, -32768, 32767); }
bool nxCheckInt32Range(bool aRaise, std::int64_t aValue) {
  return checkRange(aRaise, aValue, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max());
}

bool nxVarIsNullOrEmpty(const Variant& aValue) { return aValue.isNullOrEmpty(); }

void nxVarBytesToString(const Variant& aValue, nxString& aText) {
  const auto b = aValue.bytes();
  aText.assign(b.begin(), b.end());
}

// ---- Buffer to variant ---------------------------------------------------

void nxFieldBufferToVariant(TnxFieldType aType, TnxWord32 aCodePage, int /*aUnits*/, int aDecimals,
                            const void* aBuffer, std::size_t aLength, Variant& aValue) {
  const int type = aType & 0x7F;
  requireLength(type, aLength);
  const auto* p = static_cast<const std::uint8_t*>(aBuffer);
  switch (type) {
    case nxtBoolean: aValue = Variant(p[0] != 0); break;
    case nxtChar: {
      // Read in the code page it was written in (system ANSI for 0).
      nxString s = p[0] == 0 ? nxString(1, u'\0')
                             : decode(std::string_view(reinterpret_cast<const char*>(p), 1), codePageOf(aCodePage),
                                      "VariantFromPAnsiChar/MultiByteToWideChar",
                                      "VariantFromPAnsiChar/MultiByteToWideChar");
      aValue = Variant(std::move(s));
      break;
    }
    case nxtWideChar: aValue = Variant(nxString(1, get<char16_t>(p))); break;
    case nxtByte: aValue = Variant::fromByte(p[0]); break;
    case nxtWord16: aValue = Variant::fromWord(get<std::uint16_t>(p)); break;
    case nxtWord32:
    case nxtAutoInc:
    case nxtRecRev: {
      const std::uint32_t v = get<std::uint32_t>(p);
      aValue = v < 2147483648u ? Variant(static_cast<int>(v)) : Variant(static_cast<double>(v));
      break;
    }
    case nxtInt8: aValue = Variant::fromShortInt(static_cast<std::int8_t>(p[0])); break;
    case nxtInt16: aValue = Variant::fromSmallint(get<std::int16_t>(p)); break;
    case nxtInt32: aValue = Variant(get<std::int32_t>(p)); break;
    case nxtInt64:
    case nxtRefNr: aValue = Variant(static_cast<long long>(get<std::int64_t>(p))); break;
    case nxtSingle: aValue = Variant(static_cast<double>(get<float>(p))); break;
    case nxtDouble: aValue = Variant(get<double>(p)); break;
    case nxtExtended: {
      platform::Extended e;
      copyBytes(e.bytes.data(), p, e.bytes.size());
      aValue = Variant(e.toDouble());
      break;
    }
    case nxtCurrency:
    case nxtBCD: aValue = Variant(platform::Currency::fromRaw(get<std::int64_t>(p))); break;
    case nxtDate: aValue = Variant::fromDate(get<std::int32_t>(p) - platform::kDateDelta); break;
    case nxtTime: aValue = Variant::fromDate(get<std::int32_t>(p) / static_cast<double>(platform::kMSecsPerDay)); break;
    case nxtDateTime: {
      const double ms = std::round(get<double>(p));
      if (!(std::fabs(ms) < 9e18)) throw platform::RangeError("Invalid timestamp");
      const auto whole = static_cast<std::int64_t>(ms);
      platform::TimeStamp ts;
      ts.date = static_cast<std::int32_t>(whole / platform::kMSecsPerDay);
      ts.time = static_cast<std::int32_t>(whole % platform::kMSecsPerDay);
      aValue = Variant::fromDate(platform::timeStampToDateTime(ts));
      break;
    }
    case nxtBlob:
    case nxtBlobGraphic:
    case nxtByteArray: aValue = Variant::byteArray({p, aLength}); break;
    case nxtNullString:
    case nxtBlobMemo: {
      const void* zero = aLength ? std::memchr(p, 0, aLength) : nullptr;
      const std::size_t n = zero ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - p) : aLength;
      aValue = Variant(padTo(decode(std::string_view(reinterpret_cast<const char*>(p), n), codePageOf(aCodePage),
                                    kFromNull1, kFromNull2),
                             aDecimals));
      break;
    }
    case nxtShortString: {
      // A length byte beyond the field reads only what the field holds.
      const std::size_t n = aLength == 0 ? 0 : std::min<std::size_t>(p[0], aLength - 1);
      aValue = Variant(padTo(decode(std::string_view(reinterpret_cast<const char*>(p + 1), n), codePageOf(aCodePage),
                                    kFromNull1, kFromNull2),
                             aDecimals));
      break;
    }
    case nxtWideString:
    case nxtBlobWideMemo: {
      nxString s;
      for (std::size_t i = 0; i + 1 < aLength; i += 2) {
        const char16_t c = get<char16_t>(p + i);
        if (c == 0) break;
        s.push_back(c);
      }
      aValue = Variant(padTo(std::move(s), aDecimals));
      break;
    }
    case nxtGuid: aValue = Variant(platform::guidToString(get<platform::Guid>(p))); break;
    case nxtFmtBCD: {
      TnxFmtBcd b{};
      copyBytes(&b, p, std::min(aLength, sizeof b));
      aValue = nxBcdToVariant(b);
      break;
    }
    default: internalError(type);
  }
}

// ---- Variant to buffer ---------------------------------------------------

void nxVariantToFieldBuffer(TnxFieldType aType, TnxWord32 aCodePage, int aUnits, int aDecimals, const Variant& aValue,
                            void* aBuffer, std::size_t aLength) {
  nxVariantToFieldBufferEx(platform::defaultFormatSettings(), aType, aCodePage, false, aLength, aBuffer, aValue,
                           aDecimals, aUnits);
}

void nxVariantToFieldBufferEx(const platform::FormatSettings& fs, TnxFieldType aType, TnxWord32 aCodePage,
                              bool aTruncate, std::size_t aLength, void* aBuffer, const Variant& aValue, int aDecimals,
                              int aUnits) {
  const int type = aType & 0x7F;
  requireLength(type, aLength);
  auto* p = static_cast<std::uint8_t*>(aBuffer);
  switch (type) {
    case nxtBoolean: {
      bool b;
      if (isBcd(aValue)) {
        const TnxFmtBcd v = bcdOf(aValue);
        b = (v.SignSpecialPlaces & 0x80) == 0 && nxBcdToStr(v) != u"0";
      } else {
        b = aValue.toBoolean(fs);
      }
      p[0] = b ? 1 : 0;
      break;
    }
    case nxtChar: p[0] = charByte(aValue, fs, aCodePage); break;
    case nxtWideChar: put(p, wideChar(aValue, fs)); break;
    case nxtByte: {
      const std::int64_t v = integerValue(aValue, fs);
      nxCheckByteRange(true, v);
      p[0] = static_cast<std::uint8_t>(v);
      break;
    }
    case nxtWord16: {
      const std::int64_t v = integerValue(aValue, fs);
      nxCheckWord16Range(true, v);
      put(p, static_cast<std::uint16_t>(v));
      break;
    }
    case nxtWord32: {
      const std::int64_t v = integerValue(aValue, fs);
      nxCheckWord32Range(true, v);
      put(p, static_cast<std::uint32_t>(v));
      break;
    }
    case nxtInt8: {
      const std::int64_t v = integerValue(aValue, fs);
      nxCheckInt8Range(true, v);
      p[0] = static_cast<std::uint8_t>(static_cast<std::int8_t>(v));
      break;
    }
    case nxtInt16: {
      const std::int64_t v = integerValue(aValue, fs);
      nxCheckInt16Range(true, v);
      put(p, static_cast<std::int16_t>(v));
      break;
    }
    case nxtInt32: {
      if (aValue.type() == platform::varInteger) {
        put(p, aValue.toInt32());
        break;
      }
      const std::int64_t v = integerValue(aValue, fs);
      nxCheckInt32Range(true, v);
      put(p, static_cast<std::int32_t>(v));
      break;
    }
    case nxtInt64:
    case nxtRefNr: put(p, int64Value(aValue, fs)); break;
    case nxtAutoInc:
    case nxtRecRev: {
      const std::int64_t v = isBcd(aValue) ? nxBcdToInt64(bcdOf(aValue), true) : aValue.toInt64(fs);
      put(p, static_cast<std::uint32_t>(v));
      break;
    }
    case nxtSingle: put(p, singleValue(floatValue(aValue, fs))); break;
    case nxtDouble: put(p, floatValue(aValue, fs)); break;
    case nxtExtended: put(p, extendedValue(aValue, fs)); break;
    case nxtCurrency: put(p, isBcd(aValue) ? currencyOfBcd(aValue) : aValue.toCurrency(fs).value); break;
    case nxtDate: put(p, platform::dateTimeToTimeStamp(aValue.toDateTime(fs)).date); break;
    case nxtTime: put(p, platform::dateTimeToTimeStamp(aValue.toDateTime(fs)).time); break;
    case nxtDateTime:
      checkTimestamp(aValue);
      put(p, timeStampMSecs(aValue.toDateTime(fs)));
      break;
    case nxtNullString:
    case nxtBlobMemo: {
      const std::size_t room = aLength == 0 ? 0 : aLength - 1;
      const std::string bytes = fitNullText(aValue, fs, aCodePage, aDecimals, aLength, room, aTruncate);
      clearBytes(p, aLength);
      copyBytes(p, bytes.data(), bytes.size());
      break;
    }
    case nxtShortString: {
      if (aLength == 0) internalError(type);
      const std::size_t room = std::min<std::size_t>(aLength - 1, 255);
      const std::string bytes = fitShortText(aValue, fs, aCodePage, aDecimals, aLength, room, aTruncate);
      clearBytes(p, aLength);
      p[0] = static_cast<std::uint8_t>(bytes.size());
      copyBytes(p + 1, bytes.data(), bytes.size());
      break;
    }
    case nxtWideString:
    case nxtBlobWideMemo: {
      nxString text = wideTextFor(aValue, fs, aDecimals, aLength);
      const std::size_t room = aLength < 2 ? 0 : aLength - 2;
      if (2 * text.size() > room) {
        if (!aTruncate) raiseTooWide(2 * text.size(), room);
        std::size_t n = room / 2;
        if (n > 0 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;  // keep pairs whole
        text.resize(n);
      }
      clearBytes(p, aLength);
      copyBytes(p, text.data(), 2 * text.size());
      break;
    }
    case nxtByteArray: {
      clearBytes(p, aLength);
      if (aValue.isByteArray()) {
        const auto b = aValue.bytes();
        if (b.size() > aLength && !aTruncate) raiseTooWide(b.size(), aLength);
        copyBytes(p, b.data(), std::min(b.size(), aLength));
      }
      break;
    }
    case nxtGuid: put(p, platform::stringToGuid(aValue.toString(fs))); break;
    case nxtBCD: {
      if (isBcd(aValue)) {
        put(p, currencyOfBcd(aValue));
      } else if (isText(aValue)) {
        put(p, nxVarToScaledCurr(Variant(platform::strToFloat(aValue.toString(fs), fs)), aUnits, aDecimals));
      } else {
        put(p, nxVarToScaledCurr(aValue, aUnits, aDecimals));
      }
      break;
    }
    case nxtFmtBCD: nxVariantToBcdBuffer(aValue, aUnits, aDecimals, p, aLength); break;
    default: internalError(type);
  }
}

// ---- Variant to bytes ----------------------------------------------------

void nxVariantToBytes(TnxFieldType aType, TnxWord32 aCodePage, int aUnits, int aDecimals, const Variant& aValue,
                      std::vector<std::uint8_t>& aBytes) {
  nxVariantToBytesEx(platform::defaultFormatSettings(), aType, aCodePage, aUnits, aDecimals, aValue, aBytes);
}

namespace {

template <typename T>
void setBytes(std::vector<std::uint8_t>& aBytes, T aValue) {
  aBytes.resize(sizeof aValue);
  std::memcpy(aBytes.data(), &aValue, sizeof aValue);
}

void setTextBytes(std::vector<std::uint8_t>& aBytes, std::string_view aText, std::size_t aPrefix = 0) {
  aBytes.resize(aPrefix + aText.size());
  copyBytes(aBytes.data() + aPrefix, aText.data(), aText.size());
}

}  // namespace

void nxVariantToBytesEx(const platform::FormatSettings& /*aFormatSettings*/, TnxFieldType aType, TnxWord32 aCodePage,
                        int aUnits, int aDecimals, const Variant& aValue, std::vector<std::uint8_t>& aBytes) {
  // Parameter bytes are always read with the process settings.
  const platform::FormatSettings& fs = platform::defaultFormatSettings();
  if (aValue.isNull()) {
    aBytes.clear();
    return;
  }
  const int type = aType & 0x7F;
  switch (type) {
    case nxtBoolean: setBytes(aBytes, static_cast<std::uint8_t>(aValue.toBoolean(fs) ? 0xFF : 0x00)); break;
    case nxtChar:
    case nxtWideChar:
    case nxtByte:
    case nxtInt8:
    case nxtWord16:
    case nxtInt16:
    case nxtWord32:
    case nxtInt32: {
      // Through the store, so narrowing is range-checked exactly as there.
      std::uint8_t buf[4];
      nxVariantToFieldBufferEx(fs, static_cast<TnxFieldType>(type), aCodePage, false, fixedSize(type), buf, aValue,
                               aDecimals, aUnits);
      aBytes.assign(buf, buf + fixedSize(type));
      break;
    }
    case nxtAutoInc:
    case nxtRecRev: setBytes(aBytes, static_cast<std::uint32_t>(aValue.toInt64(fs))); break;
    case nxtInt64:
    case nxtRefNr: setBytes(aBytes, isBcd(aValue) ? aValue.toInt64(fs) : int64Value(aValue, fs)); break;
    case nxtSingle: setBytes(aBytes, singleValue(aValue.toDouble(fs))); break;
    case nxtDouble: setBytes(aBytes, aValue.toDouble(fs)); break;
    case nxtExtended: setBytes(aBytes, extendedOfNumber(aValue, fs)); break;
    case nxtCurrency: setBytes(aBytes, aValue.toCurrency(fs).value); break;
    case nxtDate: {
      const platform::DateTime dt = isText(aValue) ? nxVarToDate(aValue) : aValue.toDateTime(fs);
      setBytes(aBytes, platform::dateTimeToTimeStamp(dt).date);
      break;
    }
    case nxtTime: {
      const platform::DateTime dt = isText(aValue) ? nxVarToTime(aValue) : aValue.toDateTime(fs);
      setBytes(aBytes, platform::dateTimeToTimeStamp(dt).time);
      break;
    }
    case nxtDateTime: {
      checkTimestamp(aValue);
      const platform::DateTime dt = isText(aValue) ? nxVarToDateTime(aValue) : aValue.toDateTime(fs);
      setBytes(aBytes, timeStampMSecs(dt));
      break;
    }
    case nxtBlob: break;
    case nxtNullString:
    case nxtBlobMemo: {
      nxString text = aValue.toString(fs);
      if (aDecimals > 0) text = trimTrailingSpaces(std::move(text));
      setTextBytes(aBytes, encode(text, codePageOf(aCodePage), "NullStringToBuffer/WideCharToMultiByte/1"));
      aBytes.push_back(0);
      break;
    }
    case nxtShortString: {
      nxString text = aValue.toString(fs);
      if (aDecimals > 0) text = trimTrailingSpaces(std::move(text));
      const std::string bytes = encode(text, codePageOf(aCodePage), "ShortStringToBuffer/WideCharToMultiByte/1");
      if (bytes.size() > 255) raiseTooWide(bytes.size(), 255);
      setTextBytes(aBytes, bytes, 1);
      aBytes[0] = static_cast<std::uint8_t>(bytes.size());
      break;
    }
    case nxtWideString:
    case nxtBlobWideMemo: {
      nxString text = aValue.toString(fs);
      if (aDecimals > 0) text = trimTrailingSpaces(std::move(text));
      aBytes.assign(2 * text.size() + 2, 0);
      copyBytes(aBytes.data(), text.data(), 2 * text.size());
      break;
    }
    case nxtByteArray:
      if (aValue.isByteArray()) {
        const auto b = aValue.bytes();
        aBytes.assign(b.begin(), b.end());
      } else {
        aBytes.clear();
      }
      break;
    case nxtGuid: setBytes(aBytes, platform::stringToGuid(aValue.toString(fs))); break;
    case nxtBCD: setBytes(aBytes, nxVarToScaledCurr(aValue, aUnits, aDecimals)); break;
    case nxtFmtBCD: {
      const std::size_t size = aUnits < 1 ? 0 : static_cast<std::size_t>((aUnits + 1) / 2 + 2);
      aBytes.assign(size, 0);
      nxVariantToBcdBuffer(aValue, aUnits, aDecimals, aBytes.data(), size);
      break;
    }
    default:
      aBytes.clear();
      internalError(type);
  }
}
