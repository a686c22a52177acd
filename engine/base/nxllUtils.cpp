#include "nxllUtils.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>

#include "nxllBde.h"
#include "nxllLockedFuncs.h"
#include "nxllSync.h"
#include "nxllFastFillChar.h"
#include "nxllWideString.h"
#include "plCaseFold.h"
#include "plCodePage.h"
#include "plCollation.h"
#include "plCommandLine.h"
#include "plFile.h"
#include "plHandle.h"
#include "plFormat.h"
#include "plLocale.h"
#include "plMemoryStatus.h"
#include "plSync.h"

namespace {

template <class T>
std::int8_t compare3(const T& a, const T& b) {
  return a < b ? -1 : b < a ? 1 : 0;
}

nxString decimal(std::int64_t aValue) {
  const std::string s = std::to_string(aValue);
  return nxString(s.begin(), s.end());
}

platform::AnsiString toAnsi(const nxString& aText) { return platform::unicodeToAnsi(aText); }

}  // namespace

// ---------------------------------------------------------------------------
// Identifiers

const std::u16string_view nxValidIdentifierChars =
    u" !#$%&()+-.0123456789@ABCDEFGHIJKLMNOPQRSTUVWXYZ[]^_abcdefghijklmnopqrstuvwxyz{}~";

bool nxIsValidIdentifierChar(char16_t c) {
  if (c < 0x20 || c > 0x7E) return false;
  switch (c) {
    case u'"':
    case u'\'':
    case u'*':
    case u',':
    case u'/':
    case u':':
    case u';':
    case u'<':
    case u'=':
    case u'>':
    case u'?':
    case u'\\':
    case u'`':
    case u'|':
      return false;
    default:
      return true;
  }
}

TnxResult nxValidateIdentifier(const nxString& aName, TnxResult aErrorCode, bool aAllowEmpty, bool aAllowReserved) {
  auto fail = [&](const nxString& aReason) {
    return EnxBaseException::nxSetMessage(aErrorCode, nxGetOrgPlaceholder() + aReason);
  };
  if (aName.empty()) return aAllowEmpty ? 0 : fail(u" Empty string is not allowed.");
  if (aName.front() == u' ' || aName.back() == u' ') return fail(u" Leading/trailing spaces are not allowed.");
  if (aName.size() > nxMaxIdentifierLength) return fail(u" Maximum length of 128 characters has been exceeded.");
  for (char16_t c : aName)
    // The character is the user's: escaped, so a '<' or '!' cannot form a marker.
    if (!nxIsValidIdentifierChar(c))
      return fail(u" \"" + nxEscapeMarkers(nxString(1, c)) + u"\" is not a valid character.");
  if (aName.front() == u'$' && !aAllowReserved) return fail(u" Reserved Identifier not allowed.");
  return 0;
}

nxString nxMakeValidIdentifier(nxString aName) {
  if (aName.size() > nxMaxIdentifierLength) aName.resize(nxMaxIdentifierLength);
  std::size_t i = 0;
  while (i < aName.size() && aName[i] == u' ') aName[i++] = u'_';
  for (; i < aName.size(); ++i)
    if (!nxIsValidIdentifierChar(aName[i])) aName[i] = u'_';
  for (std::size_t j = aName.size(); j > 0 && aName[j - 1] == u' '; --j) aName[j - 1] = u'_';
  return aName;
}

// ---------------------------------------------------------------------------
// Comparisons

std::int8_t nxCompareByte(std::uint8_t a, std::uint8_t b) { return compare3(a, b); }
std::int8_t nxCompareWord(std::uint16_t a, std::uint16_t b) { return compare3(a, b); }
std::int8_t nxCompareCardinal(std::uint32_t a, std::uint32_t b) { return compare3(a, b); }
std::int8_t nxCompareShortInt(std::int8_t a, std::int8_t b) { return compare3(a, b); }
std::int8_t nxCompareSmallInt(std::int16_t a, std::int16_t b) { return compare3(a, b); }
std::int8_t nxCompareInteger(std::int32_t a, std::int32_t b) { return compare3(a, b); }
std::int8_t nxCompareInt64(std::int64_t a, std::int64_t b) { return compare3(a, b); }
std::int8_t nxCompareInt64Ref(const std::int64_t& a, const std::int64_t& b) { return compare3(a, b); }
std::int8_t nxCompareObject(const void* a, const void* b) {
  return compare3(reinterpret_cast<std::uintptr_t>(a), reinterpret_cast<std::uintptr_t>(b));
}
std::int8_t nxComparePointer(const void* a, const void* b) { return nxCompareObject(a, b); }
std::int8_t nxCompareSingle(float a, float b) { return compare3(a, b); }
std::int8_t nxCompareDouble(double a, double b) { return compare3(a, b); }

std::int8_t nxCompareBytes(const void* a, const void* b, std::size_t aCount) {
  if (aCount == 0) return 0;
  const int r = std::memcmp(a, b, aCount);
  return r < 0 ? -1 : r > 0 ? 1 : 0;
}

std::int8_t nxCompareByteArrays(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  const std::size_t common = a.size() < b.size() ? a.size() : b.size();
  if (common > 0)
    if (const auto r = nxCompareBytes(a.data(), b.data(), common)) return r;
  return compare3(static_cast<std::int32_t>(a.size()), static_cast<std::int32_t>(b.size()));
}

namespace {

template <bool kFold>
std::int8_t compareShort(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t aMax) {
  const std::uint8_t la = a[0] < aMax ? a[0] : aMax;
  const std::uint8_t lb = b[0] < aMax ? b[0] : aMax;
  const std::uint8_t n = la < lb ? la : lb;
  for (std::uint8_t i = 1; i <= n; ++i) {
    std::uint8_t x = a[i], y = b[i];
    if (kFold) {
      x = platform::upperAscii(x);
      y = platform::upperAscii(y);
    }
    if (x != y) return x < y ? -1 : 1;
  }
  return compare3(la, lb);
}

template <bool kFold>
int strLCompW(const char16_t* a, const char16_t* b, std::size_t aMaxLen) {
  for (std::size_t i = 0; i < aMaxLen; ++i) {
    char16_t x = a[i], y = b[i];
    if (kFold) {
      x = platform::upperAscii(x);
      y = platform::upperAscii(y);
    }
    if (x != y) return static_cast<int>(x) - static_cast<int>(y);
    if (x == 0) break;
  }
  return 0;
}

std::u16string_view zview(const char16_t* p) { return p ? std::u16string_view(p) : std::u16string_view(); }

}  // namespace

std::int8_t nxCompareShortStr(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t aMax) {
  return compareShort<false>(a, b, aMax);
}
std::int8_t nxCompareShortText(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t aMax) {
  return compareShort<true>(a, b, aMax);
}

std::int8_t nxLocaleCompareStr(const char16_t* a, const char16_t* b) {
  return static_cast<std::int8_t>(platform::compareString(platform::systemDefaultLocale(), 0, zview(a), zview(b)));
}
std::int8_t nxLocaleCompareText(const char16_t* a, const char16_t* b) {
  return static_cast<std::int8_t>(
      platform::compareString(platform::systemDefaultLocale(), platform::NORM_IGNORECASE, zview(a), zview(b)));
}

int nxStrLCompW(const char16_t* a, const char16_t* b, std::size_t aMaxLen) { return strLCompW<false>(a, b, aMaxLen); }
int nxStrLICompW(const char16_t* a, const char16_t* b, std::size_t aMaxLen) { return strLCompW<true>(a, b, aMaxLen); }

bool nxSameByteArrays(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}
bool nxSameGUID(const platform::Guid& a, const platform::Guid& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool nxStartsWith(const nxString& a, const nxString& b) { return a.starts_with(b); }

// ---------------------------------------------------------------------------
// Bit arrays

namespace {
std::size_t bitBytes(std::int32_t aBitCount) {
  return aBitCount <= 0 ? 0 : (static_cast<std::size_t>(aBitCount) + 7) / 8;
}
}  // namespace

void nxClearAllBits(void* aBits, std::int32_t aBitCount) {
  nxFillChar(aBits, static_cast<std::ptrdiff_t>(bitBytes(aBitCount)), 0);
}

void nxSetAllBits(void* aBits, std::int32_t aBitCount) {
  nxFillChar(aBits, static_cast<std::ptrdiff_t>(bitBytes(aBitCount)), 0xFF);
}

// Bit i of word i / 32 is bit i % 8 of byte i / 8 on a little-endian machine,
// so single bits are reached through their byte and never read past the
// (n + 7) / 8 bytes the array occupies.
void nxClearBit(void* aBits, std::int32_t aBit) {
  static_cast<std::uint8_t*>(aBits)[aBit >> 3] &= static_cast<std::uint8_t>(~(1u << (aBit & 7)));
}

void nxSetBit(void* aBits, std::int32_t aBit) {
  static_cast<std::uint8_t*>(aBits)[aBit >> 3] |= static_cast<std::uint8_t>(1u << (aBit & 7));
}

bool nxIsBitSet(const void* aBits, std::int32_t aBit) {
  return (static_cast<const std::uint8_t*>(aBits)[aBit >> 3] >> (aBit & 7)) & 1;
}

std::int32_t nxFindFirstClearBit(const void* aBits, std::int32_t aBitCount) {
  const auto* bytes = static_cast<const std::uint8_t*>(aBits);
  const std::size_t total = bitBytes(aBitCount);
  for (std::size_t at = 0; at < total; at += 4) {
    std::uint32_t word = 0xFFFFFFFFu;
    std::memcpy(&word, bytes + at, total - at < 4 ? total - at : 4);  // a short last word reads as set
    if (word == 0xFFFFFFFFu) continue;
    const std::int32_t bit = static_cast<std::int32_t>(at * 8) + __builtin_ctz(~word);
    return bit < aBitCount ? bit : -1;
  }
  return -1;
}

void nxOrBits(void* aDest, const void* aSource, std::int32_t aBitCount) {
  auto* d = static_cast<std::uint8_t*>(aDest);
  const auto* s = static_cast<const std::uint8_t*>(aSource);
  const std::size_t n = bitBytes(aBitCount);
  for (std::size_t i = 0; i < n; ++i) d[i] |= s[i];
}

// ---------------------------------------------------------------------------
// UTF-16 text routines

void nxCharLower(nxString& aText) { platform::toLowerSimple(aText); }

const char16_t* nxStrPosW(const char16_t* a, const char16_t* b) {
  if (!a || !b || !*b) return nullptr;
  const std::u16string_view text(a), sub(b);
  if (sub.size() > text.size()) return nullptr;
  const auto at = text.find(sub);
  return at == std::u16string_view::npos ? nullptr : a + at;
}

int nxCompareSubStrW(const char16_t* a, const char16_t* b) { return nxStrPosW(a, b) ? 0 : -1; }

void nxStrPLCopy(const nxString& aText, char16_t* aBuffer, std::size_t aMaxLen) {
  if (!aBuffer) return;
  const std::size_t n = aText.size() < aMaxLen ? aText.size() : aMaxLen;
  std::memcpy(aBuffer, aText.data(), n * sizeof(char16_t));
  aBuffer[n] = 0;
}

void nxSplitAtCharSet(const nxString& aText, const TnxAnsiCharSet& aSet, nxString& aLeft, nxString& aRight) {
  for (std::size_t i = 0; i < aText.size(); ++i) {
    const char16_t c = aText[i];
    if (c < 256 && aSet.test(c)) {
      aRight = aText.substr(i + 1);
      aLeft = aText.substr(0, i);
      return;
    }
  }
  aLeft = aText;
  aRight.clear();
}

void nxAnsiToWideChars(const char* aSource, char16_t* aDest, std::size_t aCount) {
  for (std::size_t i = 0; i < aCount; ++i) aDest[i] = static_cast<unsigned char>(aSource[i]);
}

void nxSwapByteOrder(char16_t* aText, std::size_t aCount) {
  for (std::size_t i = 0; i < aCount; ++i) aText[i] = static_cast<char16_t>((aText[i] >> 8) | (aText[i] << 8));
}

// ---------------------------------------------------------------------------
// Hashes

std::uint32_t nxElfHash(const void* aData, std::size_t aCount) {
  const auto* p = static_cast<const std::uint8_t*>(aData);
  std::uint32_t h = 0;
  for (std::size_t i = 0; i < aCount; ++i) {
    h = (h << 4) + p[i];
    const std::uint32_t g = h & 0xF0000000u;
    if (g) {
      h ^= g >> 24;
      h &= ~g;
    }
  }
  return h;
}

std::uint32_t nxElfHashStr(const nxString& s) {
  if (s.empty()) return 0;
  std::vector<std::uint8_t> bytes;
  bytes.reserve(s.size() * 2);
  for (char16_t c : s) {
    bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return nxElfHash(bytes.data(), bytes.size());
}

// ---------------------------------------------------------------------------
// Names and the command line

bool nxIsValidFileName(const nxString& s) {
  return !s.empty() && s.find_first_of(u"\"*./:<>?\\|") == nxString::npos;
}

bool nxFindCmdLineSwitch(const nxString& aSwitch, std::span<const nxString> aArguments) {
  for (const nxString& arg : aArguments) {
    if (arg.size() != aSwitch.size() + 1 || (arg[0] != u'-' && arg[0] != u'/')) continue;
    if (platform::compareFoldCase(platform::UnicodeStringView(arg).substr(1), aSwitch) == 0) return true;
  }
  return false;
}

bool nxFindCmdLineSwitch(const nxString& aSwitch) {
  std::vector<nxString> args;
  for (const std::string& arg : platform::commandLineArguments()) {
    try {
      args.push_back(platform::fromUtf8(arg));
    } catch (const platform::ConvertError&) {
      // An argument that is not UTF-8 cannot be a switch we look for.
    }
  }
  return nxFindCmdLineSwitch(aSwitch, args);
}

// ---------------------------------------------------------------------------
// Text conversions

const platform::FormatSettings& nxInvariantFormatSettings() { return platform::invariantFormatSettings(); }

nxString nxIntToStr(std::int32_t aValue) { return decimal(aValue); }
platform::AnsiString nxIntToAnsiStr(std::int32_t aValue) { return toAnsi(nxIntToStr(aValue)); }
nxString nxInt64ToStr(std::int64_t aValue) { return decimal(aValue); }
platform::AnsiString nxInt64ToAnsiStr(std::int64_t aValue) { return toAnsi(nxInt64ToStr(aValue)); }

std::int32_t nxAnsiStrToIntDef(const platform::AnsiString& aText, std::int32_t aDefault) {
  const std::string& s = aText.bytes;
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  int base = 10;
  if (i < s.size() && s[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= s.size()) return aDefault;
  std::int64_t value = 0;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return aDefault;
    value = value * base + digit;
    if (value > 0xFFFFFFFFll) return aDefault;
  }
  if (base == 16) {
    // Hexadecimal covers the 32-bit pattern: $FFFFFFFF is -1.
    std::int32_t v = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    return negative ? static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(v)) : v;
  }
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return aDefault;
  return static_cast<std::int32_t>(value);
}

nxString nxFloatToStr(long double aValue, const platform::FormatSettings& aSettings) {
  return platform::floatToStr(aValue, aSettings);
}
platform::AnsiString nxFloatToAnsiStr(long double aValue, const platform::FormatSettings& aSettings) {
  return toAnsi(nxFloatToStr(aValue, aSettings));
}
nxString nxTimeToStr(platform::DateTime aValue, const platform::FormatSettings& aSettings) {
  return platform::timeToStr(aValue, aSettings);
}
platform::AnsiString nxTimeToAnsiStr(platform::DateTime aValue, const platform::FormatSettings& aSettings) {
  return toAnsi(nxTimeToStr(aValue, aSettings));
}
nxString nxDateToStr(platform::DateTime aValue, const platform::FormatSettings& aSettings) {
  return platform::dateToStr(aValue, aSettings);
}
platform::AnsiString nxDateToAnsiStr(platform::DateTime aValue, const platform::FormatSettings& aSettings) {
  return toAnsi(nxDateToStr(aValue, aSettings));
}
nxString nxDateTimeToStr(platform::DateTime aValue, const platform::FormatSettings& aSettings) {
  return platform::dateTimeToStr(aValue, aSettings);
}
platform::AnsiString nxDateTimeToAnsiStr(platform::DateTime aValue, const platform::FormatSettings& aSettings) {
  return toAnsi(nxDateTimeToStr(aValue, aSettings));
}
nxString nxGUIDToStr(const platform::Guid& aGuid) { return platform::guidToString(aGuid); }
platform::AnsiString nxGUIDToAnsiStr(const platform::Guid& aGuid) { return toAnsi(nxGUIDToStr(aGuid)); }

nxString nxTrimTrailingLines(const nxString& aText) {
  std::vector<nxString> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= aText.size(); ++i) {
    if (i == aText.size() || aText[i] == u'\r' || aText[i] == u'\n') {
      if (i == aText.size() && start == i) break;  // no empty line after a final break
      lines.push_back(aText.substr(start, i - start));
      if (i < aText.size() && aText[i] == u'\r' && i + 1 < aText.size() && aText[i + 1] == u'\n') ++i;
      start = i + 1;
    }
  }
  auto blank = [](const nxString& s) {
    for (char16_t c : s)
      if (c > u' ') return false;
    return true;
  };
  while (!lines.empty() && blank(lines.back())) lines.pop_back();
  if (lines.empty()) return {};
  if (lines.size() == 1) {
    nxString line = lines[0];
    while (!line.empty() && line.back() <= u' ') line.pop_back();
    return line;
  }
  nxString out;
  for (const nxString& line : lines) out += line + u"\r\n";
  return out + u"\r\n";
}

platform::TimeStamp nxMakeTimeStamp(std::int32_t aDate, std::int32_t aTime) {
  platform::TimeStamp ts;
  ts.date = aDate;
  ts.time = aTime;
  return ts;
}

// ---------------------------------------------------------------------------
// Operating-system errors

namespace {

// The system's text for an error without trailing blanks, control
// characters and full stops.
nxString systemMessage(int aOsError) {
  char buffer[256];
  const char* text = strerror_r(aOsError, buffer, sizeof buffer);
  std::string s = text ? text : "";
  while (!s.empty() && (static_cast<unsigned char>(s.back()) <= ' ' || s.back() == '.')) s.pop_back();
  try {
    return platform::fromUtf8(s);
  } catch (const platform::ConvertError&) {
    return decimal(aOsError);
  }
}

}  // namespace

void nxRaiseOSError(int aOsError, TnxResult aCode, const nxString& aAction) {
  errno = aOsError;
  throw nxCreateOSErrorException<EnxBaseException>(aCode, {}, aAction);
}

TnxResult nxRaiseLastOSErrorEx(bool aSilent, const nxString& aAction, TnxResult aCode) {
  const int error = errno;
  if (!aSilent) nxRaiseOSError(error, aCode, aAction);
  if (error != 0) throw EnxSilentAbort();
  return 0;
}

void nxRaiseLastOSError(const nxString& aAction, TnxResult aCode) { nxRaiseOSError(errno, aCode, aAction); }

void nxRaiseLastOSErrorUnknown() { nxRaiseOSError(errno, 0, u"[unknown]"); }

bool nxOSCheck(bool aResult, const nxString& aAction) {
  if (!aResult) nxRaiseLastOSError(aAction, 0);
  return aResult;
}

// ---------------------------------------------------------------------------
// Handles

namespace {

[[noreturn]] void raiseLastOSErrorPlain() {
  const int error = errno;
  throw platform::OsError(error, platform::toUtf8(systemMessage(error)));
}

}  // namespace

void nxCloseHandleAndNil(int& aHandle) {
  const int handle = __atomic_exchange_n(&aHandle, 0, __ATOMIC_SEQ_CST);
  if (handle == 0 || handle == -1) return;
  if (!platform::closeHandle(handle)) raiseLastOSErrorPlain();
}

void nxSignalCloseHandleAndNil(int& aHandle) {
  const int handle = __atomic_exchange_n(&aHandle, 0, __ATOMIC_SEQ_CST);
  if (handle == 0 || handle == -1) return;
  if (!platform::signalEventHandle(handle)) {
    const int error = errno;
    platform::closeHandle(handle);
    errno = error;
    raiseLastOSErrorPlain();
  }
  if (!platform::closeHandle(handle)) raiseLastOSErrorPlain();
}

std::int32_t nxCallDestroyHook(platform::TObject*) { return nxE_NOTIMPL; }

// ---------------------------------------------------------------------------
// Memory

bool nxGlobalMemoryStatusEx(TnxMemoryStatusEx& aStatus) {
  platform::MemoryFigures figures;
  if (!platform::systemMemoryFigures(figures)) return false;
  aStatus = {};
  aStatus.dwLength = sizeof(TnxMemoryStatusEx);
  aStatus.ullTotalPhys = figures.totalPhysical;
  aStatus.ullAvailPhys = figures.availablePhysical;
  aStatus.ullTotalPageFile = figures.totalPhysical + figures.totalSwap;
  aStatus.ullAvailPageFile = figures.availablePhysical + figures.availableSwap;
  aStatus.ullTotalVirtual = 1ull << 47;  // the user address space of x86-64
  aStatus.ullAvailVirtual = aStatus.ullTotalVirtual;
  if (aStatus.ullTotalPhys)
    aStatus.dwMemoryLoad =
        static_cast<std::uint32_t>(100 - aStatus.ullAvailPhys * 100 / aStatus.ullTotalPhys);
  return true;
}

// ---------------------------------------------------------------------------
// Locales and code pages

namespace {

int compareNames(platform::UnicodeStringView a, platform::UnicodeStringView b) {
  return platform::compareFoldCase(a, b);
}

struct LocaleName {
  std::int32_t id;
  std::u16string_view name;
};

constexpr LocaleName kLocaleNames[] = {
    {1078, u"Afrikaans"},
    {1052, u"Albanian"},
    {5121, u"Arabic (Algeria)"},
    {15361, u"Arabic (Bahrain)"},
    {3073, u"Arabic (Egypt)"},
    {2049, u"Arabic (Iraq)"},
    {11265, u"Arabic (Jordan)"},
    {13313, u"Arabic (Kuwait)"},
    {12289, u"Arabic (Lebanon)"},
    {4097, u"Arabic (Libya)"},
    {6145, u"Arabic (Morocco)"},
    {8193, u"Arabic (Oman)"},
    {16385, u"Arabic (Qatar)"},
    {1025, u"Arabic (Saudi Arabia)"},
    {10241, u"Arabic (Syria)"},
    {7169, u"Arabic (Tunisia)"},
    {14337, u"Arabic (U.A.E.)"},
    {9217, u"Arabic (Yemen)"},
    {1067, u"Armenian"},
    {2092, u"Azeri (Cyrillic)"},
    {1068, u"Azeri (Latin)"},
    {1069, u"Basque"},
    {1059, u"Belarusian"},
    {1026, u"Bulgarian"},
    {1027, u"Catalan"},
    {3076, u"Chinese (Hong Kong S.A.R.) Stroke Count"},
    {5124, u"Chinese (Macau S.A.R.) Pronunciation"},
    {136196, u"Chinese (Macau S.A.R.) Stroke Count"},
    {2052, u"Chinese (PRC) Pronunciation"},
    {133124, u"Chinese (PRC) Stroke Count"},
    {4100, u"Chinese (Singapore) Pronunciation"},
    {135172, u"Chinese (Singapore) Stroke Count"},
    {197636, u"Chinese (Taiwan) Bopomofo"},
    {1028, u"Chinese (Taiwan) Stroke Count"},
    {1050, u"Croatian"},
    {1029, u"Czech"},
    {1030, u"Danish"},
    {1125, u"Divehi"},
    {2067, u"Dutch (Belgium)"},
    {1043, u"Dutch (Netherlands)"},
    {3081, u"English (Australia)"},
    {10249, u"English (Belize)"},
    {4105, u"English (Canada)"},
    {9225, u"English (Caribbean)"},
    {6153, u"English (Ireland)"},
    {8201, u"English (Jamaica)"},
    {5129, u"English (New Zealand)"},
    {13321, u"English (Philippines)"},
    {7177, u"English (South Africa)"},
    {11273, u"English (Trinidad)"},
    {2057, u"English (United Kingdom)"},
    {1033, u"English (United States)"},
    {12297, u"English (Zimbabwe)"},
    {1061, u"Estonian"},
    {1080, u"Faroese"},
    {1065, u"Farsi"},
    {1035, u"Finnish"},
    {2060, u"French (Belgium)"},
    {3084, u"French (Canada)"},
    {1036, u"French (France)"},
    {5132, u"French (Luxembourg)"},
    {6156, u"French (Monaco)"},
    {4108, u"French (Switzerland)"},
    {1071, u"FYRO Macedonian"},
    {1110, u"Galician"},
    {66615, u"Georgian Modern"},
    {1079, u"Georgian Traditional"},
    {3079, u"German (Austria)"},
    {1031, u"German (Germany) Dictionary"},
    {66567, u"German (Germany) Phone Book (DIN)"},
    {5127, u"German (Liechtenstein)"},
    {4103, u"German (Luxembourg)"},
    {2055, u"German (Switzerland)"},
    {1032, u"Greek"},
    {1095, u"Gujarati"},
    {1037, u"Hebrew"},
    {1081, u"Hindi"},
    {1038, u"Hungarian"},
    {66574, u"Hungarian Technical"},
    {1039, u"Icelandic"},
    {1057, u"Indonesian"},
    {1040, u"Italian (Italy)"},
    {2064, u"Italian (Switzerland)"},
    {1041, u"Japanese XJIS"},
    {1099, u"Kannada"},
    {1087, u"Kazakh"},
    {1111, u"Konkani"},
    {1042, u"Korean Dictionary"},
    {1088, u"Kyrgyz (Cyrillic)"},
    {1062, u"Latvian"},
    {1063, u"Lithuanian"},
    {2110, u"Malay (Brunei Darussalam)"},
    {1086, u"Malay (Malaysia)"},
    {1102, u"Marathi"},
    {1104, u"Mongolian (Cyrillic)"},
    {1044, u"Norwegian (Bokmal)"},
    {2068, u"Norwegian (Nynorsk)"},
    {1045, u"Polish"},
    {1046, u"Portuguese (Brazil)"},
    {2070, u"Portuguese (Portugal)"},
    {1094, u"Punjabi"},
    {1048, u"Romanian"},
    {1049, u"Russian"},
    {1103, u"Sanskrit"},
    {3098, u"Serbian (Cyrillic)"},
    {2074, u"Serbian (Latin)"},
    {1051, u"Slovak"},
    {1060, u"Slovenian"},
    {11274, u"Spanish (Argentina)"},
    {16394, u"Spanish (Bolivia)"},
    {13322, u"Spanish (Chile)"},
    {9226, u"Spanish (Colombia)"},
    {5130, u"Spanish (Costa Rica)"},
    {7178, u"Spanish (Dominican Republic)"},
    {12298, u"Spanish (Ecuador)"},
    {17418, u"Spanish (El Salvador)"},
    {4106, u"Spanish (Guatemala)"},
    {18442, u"Spanish (Honduras)"},
    {3082, u"Spanish (International Sort) International"},
    {2058, u"Spanish (Mexico)"},
    {19466, u"Spanish (Nicaragua)"},
    {6154, u"Spanish (Panama)"},
    {15370, u"Spanish (Paraguay)"},
    {10250, u"Spanish (Peru)"},
    {20490, u"Spanish (Puerto Rico)"},
    {1034, u"Spanish (Traditional Sort) Traditional"},
    {14346, u"Spanish (Uruguay)"},
    {8202, u"Spanish (Venezuela)"},
    {1089, u"Swahili"},
    {1053, u"Swedish"},
    {2077, u"Swedish (Finland)"},
    {1114, u"Syriac"},
    {1097, u"Tamil"},
    {1092, u"Tatar"},
    {1098, u"Telugu"},
    {1054, u"Thai"},
    {1055, u"Turkish"},
    {1058, u"Ukrainian"},
    {1056, u"Urdu"},
    {2115, u"Uzbek (Cyrillic)"},
    {1091, u"Uzbek (Latin)"},
    {1066, u"Vietnamese"},
};

nxString trimmed(nxString s) {
  while (!s.empty() && s.back() <= u' ') s.pop_back();
  std::size_t i = 0;
  while (i < s.size() && s[i] <= u' ') ++i;
  return s.substr(i);
}

nxString localeName(platform::Lcid aLocale) {
  for (const LocaleName& e : kLocaleNames)
    if (e.id == static_cast<std::int32_t>(aLocale)) return nxString(e.name);
  nxString name = platform::localeLanguageName(aLocale);
  const nxString sort = platform::localeSortName(aLocale);
  if (!sort.empty() && compareNames(sort, u"Default") != 0) name += u" " + sort;
  return trimmed(name);
}

// A catalogue built once on first use (tested before and after taking its
// padlock, which is created on first use too), read without the lock
// afterwards.
struct Catalogue {
  std::atomic<TnxNameIdList*> list{nullptr};  // owned
  TnxLazyPadlock lock;

  template <class Build>
  const TnxNameIdList& get(Build aBuild) {
    if (TnxNameIdList* l = list.load(std::memory_order_acquire)) return *l;
    TnxPadlockGuard guard(lock);
    if (TnxNameIdList* l = list.load(std::memory_order_acquire)) return *l;
    auto built = std::make_unique<TnxNameIdList>();
    aBuild(*built);
    list.store(built.get(), std::memory_order_release);
    return *built.release();
  }
  // Module end: no other thread uses the catalogue any more.
  void release() {
    delete list.exchange(nullptr);
    lock.Reset();
  }
};

Catalogue gLocales;
Catalogue gCodePages;

}  // namespace

std::int32_t TnxNameIdList::IndexOfName(platform::UnicodeStringView aName) const {
  std::size_t lo = 0, hi = entries_.size();
  while (lo < hi) {
    const std::size_t mid = (lo + hi) / 2;
    const int r = compareNames(entries_[mid].name, aName);
    if (r == 0) return static_cast<std::int32_t>(mid);
    if (r < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  return -1;
}

std::int32_t TnxNameIdList::IndexOfId(std::int32_t aId) const {
  for (std::size_t i = 0; i < entries_.size(); ++i)
    if (entries_[i].id == aId) return static_cast<std::int32_t>(i);
  return -1;
}

void TnxNameIdList::Add(nxString aName, std::int32_t aId) {
  std::size_t lo = 0, hi = entries_.size();
  while (lo < hi) {
    const std::size_t mid = (lo + hi) / 2;
    const int r = compareNames(entries_[mid].name, aName);
    if (r == 0) return;  // the first entry of a name wins
    if (r < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(lo), Entry{std::move(aName), aId});
}

std::int32_t nxGetThreadAnsiCodePage() {
  // The platform has no per-thread locale: the client's code page is the
  // process ANSI code page, the one source every reader of it shares, so a
  // change of it reaches them all at once.
  return platform::ansiCodePage();
}

const TnxNameIdList& nxGetLocaleList() {
  return gLocales.get([](TnxNameIdList& l) {
    for (platform::Lcid id : platform::systemLocales()) {
      try {
        l.Add(localeName(id), static_cast<std::int32_t>(id));
      } catch (const platform::OsError&) {
        // A locale the system lists but cannot describe is left out.
      }
    }
  });
}

nxString nxCodePageNameFromInfo(platform::UnicodeStringView aInfoName) {
  const auto open = aInfoName.find(u'(');
  if (open == platform::UnicodeStringView::npos) return nxString(aInfoName);
  const auto close = aInfoName.find(u')', open + 1);
  if (close == platform::UnicodeStringView::npos) return nxString(aInfoName.substr(open + 1));
  return nxString(aInfoName.substr(open + 1, close - open - 1));
}

const TnxNameIdList& nxGetCodePageList() {
  return gCodePages.get([](TnxNameIdList& l) {
    for (std::uint16_t cp : platform::systemCodePages()) {
      try {
        l.Add(nxCodePageNameFromInfo(platform::fromUtf8(platform::codePageInfo(cp).name)), cp);
      } catch (const platform::OsError&) {
        // Left out, as a code page whose information cannot be read.
      }
    }
  });
}

bool nxIsValidLocale(std::int32_t aLocale) { return nxGetLocaleList().IndexOfId(aLocale) >= 0; }
bool nxIsValidCodePage(std::int32_t aCodePage) { return nxGetCodePageList().IndexOfId(aCodePage) >= 0; }

std::int32_t nxLocaleFromName(platform::UnicodeStringView aName) {
  const auto& l = nxGetLocaleList();
  const auto i = l.IndexOfName(aName);
  return i < 0 ? -1 : l.Ids(i);
}

std::int32_t nxCodePageFromName(platform::UnicodeStringView aName) {
  const auto& l = nxGetCodePageList();
  const auto i = l.IndexOfName(aName);
  return i < 0 ? -1 : l.Ids(i);
}

nxString nxLocaleToName(std::int32_t aLocale) {
  const auto& l = nxGetLocaleList();
  const auto i = l.IndexOfId(aLocale);
  return i < 0 ? u"<Unknown>" : l.Names(i);
}

nxString nxCodePageToName(std::int32_t aCodePage) {
  const auto& l = nxGetCodePageList();
  const auto i = l.IndexOfId(aCodePage);
  return i < 0 ? u"<Unknown>" : l.Names(i);
}

void nxGetNLSVersionInfo(std::int32_t aLocale, TNLSVersionInfoEx& aInfo) {
  aInfo = {};
  aInfo.dwEffectiveId = static_cast<std::uint32_t>(aLocale);
  try {
    const platform::NlsVersion v = platform::nlsVersion(static_cast<platform::Lcid>(aLocale));
    aInfo.dwNLSVersionInfoSize = sizeof(TNLSVersionInfoEx);
    aInfo.dwNLSVersion = v.nlsVersion;
    aInfo.dwDefinedVersion = v.definedVersion;
    aInfo.dwEffectiveId = v.effectiveLocale;
    aInfo.guidCustomVersion = v.customVersion;
  } catch (const platform::OsError&) {
    // An unknown locale has no version; the record stays zero.
  }
  if (!nxIsValidLocale(static_cast<std::int32_t>(aInfo.dwEffectiveId))) aInfo.dwEffectiveId = 0;
}

// ---------------------------------------------------------------------------
// Files

bool nxGetFileIdentity(int aHandle, TnxFileIdentity& aIdentity) {
  platform::FileIdentityInfo info;
  if (!platform::fileIdentityOf(aHandle, info)) return false;
  std::memset(aIdentity.bytes, 0, sizeof aIdentity.bytes);
  std::memcpy(aIdentity.bytes + 0, &info.birthFileTime, 8);
  std::memcpy(aIdentity.bytes + 8, &info.device, 8);
  std::memcpy(aIdentity.bytes + 16, &info.inode, 8);
  return true;
}

bool nxGetFileObjectID(int, std::uint8_t (&aBuffer)[64]) {
  std::memset(aBuffer, 0, sizeof aBuffer);
  return false;
}

// ---------------------------------------------------------------------------
// Other routines

std::int32_t nxVarArrayLength(const platform::Variant& v) { return v.arrayHighBound() - v.arrayLowBound() + 1; }

void nxUnicodeStringsAssign(const nxString& s, TnxUnicodeStrings& a) {
  a.clear();
  if (!s.empty()) a.push_back(s);
}

void nxUnicodeStringsAppend(const nxString& s, TnxUnicodeStrings& a) { a.push_back(s); }

nxString nxUnicodeStringsExtract(TnxUnicodeStrings& a, std::int32_t aIndex) {
  if (aIndex < 0 || static_cast<std::size_t>(aIndex) >= a.size())
    throw platform::RangeError("Range check error");
  nxString s = std::move(a[static_cast<std::size_t>(aIndex)]);
  a.erase(a.begin() + aIndex);
  return s;
}

void nxUnicodeStringsToStrings(const TnxUnicodeStrings& a, platform::TStringList& aStrings) {
  aStrings.beginUpdate();
  try {
    aStrings.clear();
    for (const nxString& s : a) aStrings.add(s);
  } catch (...) {
    aStrings.endUpdate();
    throw;
  }
  aStrings.endUpdate();
}

void nxStringsToArray(const platform::TStringList& aStrings, TnxUnicodeStrings& a) {
  a.clear();
  a.reserve(static_cast<std::size_t>(aStrings.count()));
  for (int i = 0; i < aStrings.count(); ++i) a.push_back(aStrings.strings(i));
}

// ---------------------------------------------------------------------------
// Start-up

namespace {
TnxUseCount gUtilsUseCount{0};
}

namespace {
constexpr TnxModuleDependency kUtilsDeps[] = {{nxllFastFillCharInitialize, nxllFastFillCharFinalize}};
}

void nxllUtilsInitialize() {
  nxUseCountStart(gUtilsUseCount, kUtilsDeps, [] { nxDefaultCodePage = platform::CP_THREAD_ACP; });
}

void nxllUtilsFinalize() {
  nxUseCountFinish(gUtilsUseCount, kUtilsDeps, [] {
    gLocales.release();
    gCodePages.release();
  });
}
