// Private to the field mapper module: what the mapper families share (the
// target conventions for text, the packed-decimal store, stored forms that
// may sit at any offset of a record, code pages and format settings).
// Record fields are packed without alignment, so every multi-byte value is
// read and written through memcpy.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "nxllUtils.h"
#include "nxsdFieldMapper.h"
#include "nxsdFmtBcd.h"
#include "plCodePage.h"
#include "plDateTime.h"
#include "plFormatSettings.h"
#include "plGuid.h"

namespace nxfm {

template <class T>
inline T load(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class T>
inline void store(void* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

// The 10-byte x87 extended value.
inline long double loadExtended(const void* p) {
  long double v = 0;
  std::memcpy(&v, p, 10);
  return v;
}
inline void storeExtended(void* p, long double v) { std::memcpy(p, &v, 10); }

// Round to nearest, halves to even (the default rounding mode).
inline long double roundEven(long double x) { return std::nearbyintl(x); }

// a equals b within resolution r (the engine's float comparison).
inline bool sameValue(long double a, long double b, long double r) {
  const long double e = std::fmax(std::fmin(std::fabs(a), std::fabs(b)) * r, r);
  return std::fabs(a - b) <= e;
}
inline bool hasFraction(long double x) { return !sameValue(x - std::truncl(x), 0.0L, 1e-16L); }

inline bool isStringType(TnxFieldType t) {
  return t == nxtShortString || t == nxtNullString || t == nxtWideString;
}
inline bool isCharType(TnxFieldType t) { return t == nxtChar || t == nxtWideChar; }

// Characters a string target holds.
inline std::int32_t textCapacity(TnxFieldType aType, std::int32_t aLength) {
  return aType == nxtWideString ? aLength / 2 - 1 : aLength - 1;
}
// Rule of the sample text: every value fits when the sample is shorter than
// the storage length (half of it for WideString).
inline bool sampleFits(TnxFieldType aType, std::int32_t aLength, std::size_t aSampleLength) {
  const std::int64_t limit = aType == nxtWideString ? aLength / 2 : aLength;
  return static_cast<std::int64_t>(aSampleLength) < limit;
}

// Writes 8-bit text into a ShortString or NullString target: truncating
// (the first characters that fit) or testing (10002 when it does not fit,
// nothing written).
TnxResult putText8(void* aTarget, bool aShort, std::int32_t aLength, std::string_view aText, bool aTruncate);
TnxResult putText16(void* aTarget, std::int32_t aLength, std::u16string_view aText, bool aTruncate);

// Reads a source string bounded by its field's storage length (a value
// without its terminator ends at the field's end).
std::string_view readShort(const void* aSource, std::int32_t aLength);
std::string_view readNull(const void* aSource, std::int32_t aLength);
// Copies into aBuffer (WideString sources may sit at odd offsets).
std::u16string_view readWide(const void* aSource, std::int32_t aLength, std::u16string& aBuffer);
// The per-thread scratch for readWide.
std::u16string& wideScratch();

void writeShort(void* aTarget, const char* aBytes, std::size_t aCount);
void writeNull(void* aTarget, const char* aBytes, std::size_t aCount);
void writeWide(void* aTarget, const char16_t* aUnits, std::size_t aCount);

// Stores aValue at precision aPrecision and scale aScale as value x 10000.
// Dropped non-zero digits: 10002 when checking; best fit cuts fraction
// digits and clamps integer overflow to the largest magnitude that precision
// and scale (and the 64-bit stored form) hold, keeping the sign.
TnxResult storeBcd(const TnxFmtBcd& aValue, std::int32_t aPrecision, std::int32_t aScale, bool aBestFit,
                   void* aTarget);

// Format settings of a field's locale (2048 when it has none).
platform::FormatSettings fieldFormatSettings(TnxFieldDescriptor& aField);
inline std::uint16_t fieldCodePage(TnxFieldDescriptor& aField) { return aField.UsedStorageCodePage(); }
bool isMultiByteCodePage(std::uint16_t aCodePage);

// Raises the engine's OS error for a failed platform conversion, the action
// naming "<class>.<label>/<call>".
[[noreturn]] void raiseConversion(const platform::OsError& aError, const char* aClass, const char* aLabel,
                                  const char* aCall);

// Text of a float (15 significant digits).
inline std::string floatText8(long double x, const platform::FormatSettings& fs) {
  return nxFloatToAnsiStr(x, fs).bytes;
}
inline std::u16string floatText16(long double x, const platform::FormatSettings& fs) { return nxFloatToStr(x, fs); }

// Integer ranges of the numeric target types.
struct TnxIntRange {
  long double min;
  long double max;
};
inline TnxIntRange intRange(TnxFieldType t) {
  switch (t) {
    case nxtByte: return {0, 255};
    case nxtWord16: return {0, 65535};
    case nxtWord32:
    case nxtAutoInc:
    case nxtRecRev: return {0, 4294967295.0L};
    case nxtInt8: return {-128, 127};
    case nxtInt16: return {-32768, 32767};
    case nxtInt32: return {-2147483648.0L, 2147483647};
    default: return {-9223372036854775808.0L, 9223372036854775807.0L};
  }
}

// Bounds of the integer target types.
constexpr std::int64_t lowOf(TnxFieldType t) {
  switch (t) {
    case nxtInt8: return -128;
    case nxtInt16: return -32768;
    case nxtInt32: return -2147483648LL;
    case nxtInt64:
    case nxtRefNr: return std::numeric_limits<std::int64_t>::min();
    default: return 0;
  }
}
constexpr std::int64_t highOf(TnxFieldType t) {
  switch (t) {
    case nxtByte: return 255;
    case nxtWord16: return 65535;
    case nxtWord32:
    case nxtAutoInc:
    case nxtRecRev: return 4294967295LL;
    case nxtInt8: return 127;
    case nxtInt16: return 32767;
    case nxtInt32: return 2147483647;
    default: return std::numeric_limits<std::int64_t>::max();
  }
}

// Writes an integer value already within the target's range.
inline void storeInt(void* aTarget, TnxFieldType aType, std::int64_t aValue) {
  switch (aType) {
    case nxtByte:
    case nxtInt8: store(aTarget, static_cast<std::uint8_t>(aValue)); break;
    case nxtWord16:
    case nxtInt16: store(aTarget, static_cast<std::uint16_t>(aValue)); break;
    case nxtWord32:
    case nxtAutoInc:
    case nxtRecRev:
    case nxtInt32: store(aTarget, static_cast<std::uint32_t>(aValue)); break;
    default: store(aTarget, aValue); break;
  }
}

// The class-bound data part of a routine.
inline const void* classData(const platform::ClassInfo& aClass) { return &aClass; }

}  // namespace nxfm

// Registration rows of the families (nxsdFieldMapper.cpp calls them).
void nxsdFieldMapperRegisterNumbers();
void nxsdFieldMapperRegisterFloats();
void nxsdFieldMapperRegisterDates();
void nxsdFieldMapperRegisterStrings();
void nxsdFieldMapperRegisterTexts();
void nxsdFieldMapperRegisterChars();
void nxsdFieldMapperRegisterBytes();
// Registers aClass for aSource to the numeric types N, the strings and the
// characters (when aNumbersStringsChars), then to every type of aExtra.
void nxsdFieldMapperRegisterRow(const platform::ClassInfo& aClass, TnxFieldType aSource,
                                std::initializer_list<TnxFieldType> aExtra, bool aNumbersStringsChars);

namespace nxfm {

// Decodes 8-bit text into aBuffer (aCapacity units, more than 0); a text that
// does not fit and any other failure raise the OS error naming
// "<aClass>.<aLabel>/MultiByteToWideChar".
std::size_t decode(std::uint16_t aCodePage, std::string_view aText, char16_t* aBuffer, std::size_t aCapacity,
                   const char* aClass, const char* aLabel);
// Encodes UTF-16 text; false when it does not fit aCapacity bytes (aBuffer
// may then hold a part). Other failures raise the OS error.
bool encode(std::uint16_t aCodePage, std::u16string_view aText, char* aBuffer, std::size_t aCapacity,
            std::size_t& aCount, const char* aClass, const char* aLabel, const char* aCall = "WideCharToMultiByte");
// Best fit: drops characters from the end (a surrogate pair as one) until
// the rest fits; 0 bytes when not even one character fits.
std::size_t encodeFit(std::uint16_t aCodePage, std::u16string_view aText, char* aBuffer, std::size_t aCapacity,
                      const char* aClass, const char* aLabel);
// Per-thread work buffers of at least aCount units.
char16_t* wideWork(std::size_t aCount);
char* byteWork(std::size_t aCount);

inline std::u16string_view trimWide(std::u16string_view s) {
  while (!s.empty() && s.back() == u' ') s.remove_suffix(1);
  return s;
}
inline std::string_view trimBytes(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

}  // namespace nxfm
