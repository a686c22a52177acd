#include "nxllWideString.h"

#include <cerrno>

#include "nxllBde.h"
#include "nxllException.h"
#include "plCodePage.h"
#include "plErrors.h"
#include "plLocale.h"
#include "plNormalize.h"

TnxWord32 nxDefaultCodePage = platform::CP_THREAD_ACP;
TnxWideLCMapStringFunc nxWideLCMapString = nxWideLCMapStringW;

namespace {

// A refused conversion or mapping: the engine's OS error exception (11047)
// with the action naming the routine and the call.
[[noreturn]] void nxllRaiseOsError(const char* aAction, const platform::OsError& aCause) {
  const nxString action = platform::fromUtf8(aAction);
  errno = aCause.code();  // the exception reads the thread's last OS error
  throw nxCreateOSErrorException(nxErrOsUnknown, {}, action);
}

std::uint32_t conversionCodePage(TnxWord32 aCodePage) {
  return (aCodePage == 0 ? nxDefaultCodePage : aCodePage) & 0xFFFF;
}

// Measure, size, convert, compare: the two steps fail with their own action.
template <typename Out>
Out decode(std::string_view aText, TnxWord32 aCodePage, const char* aMeasure, const char* aConvert) {
  Out out;
  if (aText.empty()) return out;
  const std::uint32_t cp = conversionCodePage(aCodePage);
  std::size_t n = 0;
  try {
    n = platform::multiByteToWide(cp, aText, nullptr, 0);
  } catch (const platform::OsError& e) {
    nxllRaiseOsError(aMeasure, e);
  }
  out.resize(n);
  std::size_t written = 0;
  try {
    written = platform::multiByteToWide(cp, aText, out.data(), n);
  } catch (const platform::OsError& e) {
    nxllRaiseOsError(aConvert, e);
  }
  nxAssert(written == out.size(), "converted length differs from measured length");
  return out;
}

template <typename Out>
Out encode(platform::UnicodeStringView aText, TnxWord32 aCodePage, const char* aMeasure,
           const char* aConvert) {
  Out out;
  if (aText.empty()) return out;
  const std::uint32_t cp = conversionCodePage(aCodePage);
  std::size_t n = 0;
  try {
    n = platform::wideToMultiByte(cp, aText, nullptr, 0);
  } catch (const platform::OsError& e) {
    nxllRaiseOsError(aMeasure, e);
  }
  out.resize(n);
  std::size_t written = 0;
  try {
    written = platform::wideToMultiByte(cp, aText, reinterpret_cast<char*>(out.data()), n);
  } catch (const platform::OsError& e) {
    nxllRaiseOsError(aConvert, e);
  }
  nxAssert(written == out.size(), "converted length differs from measured length");
  return out;
}

platform::UnicodeStringView view(const TnxWideString& a) { return {a.data(), a.size()}; }

constexpr const char* kToWide1 = "nxStringToWideString/MultiByteToWideChar/1";
constexpr const char* kToWide2 = "nxStringToWideString/MultiByteToWideChar/2";
constexpr const char* kToString1 = "nxWideStringToString/WideCharToMultiByte/1";
constexpr const char* kToString2 = "nxWideStringToString/WideCharToMultiByte/2";

}  // namespace

TnxWideString nxWideStringFromStr(platform::UnicodeStringView aText) {
  return TnxWideString(aText.begin(), aText.end());
}

nxString nxWideStringToStr(const TnxWideString& aText) { return nxString(view(aText)); }

TnxWideString nxStringToWideString(std::string_view aText, TnxWord32 aCodePage) {
  return decode<TnxWideString>(aText, aCodePage, kToWide1, kToWide2);
}

nxString nxStringToWideStr(std::string_view aText, TnxWord32 aCodePage) {
  return decode<nxString>(aText, aCodePage, kToWide1, kToWide2);
}

std::string nxWideStringToString(const TnxWideString& aWide, TnxWord32 aCodePage) {
  return encode<std::string>(view(aWide), aCodePage, kToString1, kToString2);
}

std::string nxWideStringToString(platform::UnicodeStringView aWide, TnxWord32 aCodePage) {
  return encode<std::string>(aWide, aCodePage, kToString1, kToString2);
}

std::vector<std::uint8_t> nxWideStringToBytes(platform::UnicodeStringView aWide, TnxWord32 aCodePage) {
  return encode<std::vector<std::uint8_t>>(aWide, aCodePage, kToString1, kToString2);
}

std::vector<std::uint8_t> nxWideStringToBytes(const TnxWideString& aWide, TnxWord32 aCodePage) {
  return encode<std::vector<std::uint8_t>>(view(aWide), aCodePage, kToString1, kToString2);
}

TnxWideString nxBytesToWideString(const void* aBuffer, std::size_t aLength, TnxWord32 aCodePage) {
  if (aLength == 0) return {};
  return decode<TnxWideString>(std::string_view(static_cast<const char*>(aBuffer), aLength), aCodePage,
                               "nxBytesToWideString/MultiByteToWideChar/1",
                               "nxBytesToWideString/MultiByteToWideChar/2");
}

std::vector<std::uint8_t> nxWideStringBufferToBytes(const char16_t* aBuffer, std::size_t aCount,
                                                    TnxWord32 aCodePage) {
  if (aCount == 0) return {};
  return encode<std::vector<std::uint8_t>>(platform::UnicodeStringView(aBuffer, aCount), aCodePage,
                                           "nxWideStringBufferToBytes/WideCharToMultiByte/1",
                                           "nxWideStringBufferToBytes/WideCharToMultiByte/2");
}

std::string nxWideStringBufferToString(const char16_t* aBuffer, std::size_t aCount, TnxWord32 aCodePage) {
  if (aCount == 0) return {};
  return encode<std::string>(platform::UnicodeStringView(aBuffer, aCount), aCodePage,
                             "nxWideStringBufferToString/WideCharToMultiByte/1",
                             "nxWideStringBufferToString/WideCharToMultiByte/2");
}

TnxWideString nxWideStringConcat(const TnxWideString& a, const TnxWideString& b) {
  TnxWideString r;
  r.reserve(a.size() + b.size());
  r.insert(r.end(), a.begin(), a.end());
  r.insert(r.end(), b.begin(), b.end());
  return r;
}

TnxWideString nxWideStringAppendChar(const TnxWideString& a, char16_t aChar) {
  TnxWideString r = a;
  r.push_back(aChar);
  return r;
}

nxString nxWideQuotedStr(platform::UnicodeStringView aText, char16_t aQuote) {
  nxString r;
  r.reserve(aText.size() + 2);
  r.push_back(aQuote);
  for (char16_t c : aText) {
    r.push_back(c);
    if (c == aQuote) r.push_back(aQuote);
  }
  r.push_back(aQuote);
  return r;
}

const char16_t* nxWideStrScan(const char16_t* aText, char16_t aChar) {
  for (;; ++aText) {
    if (*aText == aChar) return aText;
    if (*aText == 0) return nullptr;
  }
}

char16_t* nxWideStrScan(char16_t* aText, char16_t aChar) {
  return const_cast<char16_t*>(nxWideStrScan(static_cast<const char16_t*>(aText), aChar));
}

const char16_t* nxWideStrEnd(const char16_t* aText) {
  while (*aText) ++aText;
  return aText;
}

char16_t* nxWideStrEnd(char16_t* aText) {
  return const_cast<char16_t*>(nxWideStrEnd(static_cast<const char16_t*>(aText)));
}

nxString nxWideLCMapStringW(platform::UnicodeStringView aText, std::uint32_t aLocale, std::uint32_t aFlags) {
  if (aText.empty()) return {};
  try {
    return platform::lcMapString(aLocale, aFlags, aText);
  } catch (const platform::OsError& e) {
    nxllRaiseOsError("nxWideLCMapStringW", e);
  }
}

nxString nxWideLCMapStringA(platform::UnicodeStringView aText, std::uint32_t aLocale, std::uint32_t aFlags) {
  if (aText.empty()) return {};
  const TnxWord32 cp = nxLocaleAnsiCodePage(aLocale);
  // Only what the 8-bit form can carry reaches the mapping.
  const nxString narrowed = nxStringToWideStr(nxWideStringToString(aText, cp), cp);
  nxString mapped;
  try {
    mapped = platform::lcMapString(aLocale, aFlags, narrowed);
  } catch (const platform::OsError& e) {
    nxllRaiseOsError("nxWideLCMapStringA", e);
  }
  return nxStringToWideStr(nxWideStringToString(mapped, cp), cp);
}

TnxWord32 nxLocaleAnsiCodePage(std::uint32_t aLocale) {
  try {
    return platform::localeAnsiCodePage(aLocale);
  } catch (const platform::OsError&) {
    return nxDefaultCodePage;
  }
}
