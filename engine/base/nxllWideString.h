// Wide strings and code pages: the counted UTF-16 buffer TnxWideString, its
// conversions to and from the engine's strings and 8-bit text or bytes in a
// Windows code page, quoting, scanning and the locale mapping used for case
// mapping. The Unicode categories live in nxllWideStringCategories.
//
// Code page 0 means nxDefaultCodePage (only its low 16 bits count); empty
// input gives empty output. 8-bit text is a std::string of raw bytes (no code
// page of its own: the caller's aCodePage says what they are in).
//
// Failures: a code page the platform does not know, or a failing mapping,
// raises the engine's OS error exception (EnxBaseException, code 11047,
// OSError and the "Action" info set) with the text "Operating system error
// in <action>: <cause> ($<hex>/<code>)", the action naming the routine, the
// platform call and the step (1 = measuring, 2 = converting), e.g.
// "nxStringToWideString/MultiByteToWideChar/1".
//
// Thread safety: all conversions are stateless. nxDefaultCodePage and
// nxWideLCMapString are written only at start-up, before other threads run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "nxllTypes.h"
#include "plString.h"

// The code page that code page 0 stands for. 3 is the calling thread's ANSI
// code page (the utility module's start-up value on current systems).
extern TnxWord32 nxDefaultCodePage;

TnxWideString nxWideStringFromStr(platform::UnicodeStringView aText);
nxString nxWideStringToStr(const TnxWideString& aText);

// 8-bit text in aCodePage to UTF-16: as a TnxWideString, or (the second
// name) as the engine's string.
TnxWideString nxStringToWideString(std::string_view aText, TnxWord32 aCodePage);
nxString nxStringToWideStr(std::string_view aText, TnxWord32 aCodePage);

// UTF-16 to 8-bit text in aCodePage.
std::string nxWideStringToString(const TnxWideString& aWide, TnxWord32 aCodePage);
std::string nxWideStringToString(platform::UnicodeStringView aWide, TnxWord32 aCodePage);

// UTF-16 to the bytes of its 8-bit text in aCodePage.
std::vector<std::uint8_t> nxWideStringToBytes(platform::UnicodeStringView aWide, TnxWord32 aCodePage);
std::vector<std::uint8_t> nxWideStringToBytes(const TnxWideString& aWide, TnxWord32 aCodePage);

// aLength bytes of 8-bit text in aCodePage to UTF-16.
TnxWideString nxBytesToWideString(const void* aBuffer, std::size_t aLength, TnxWord32 aCodePage);
// aCount UTF-16 units to the bytes or the text of their 8-bit form.
std::vector<std::uint8_t> nxWideStringBufferToBytes(const char16_t* aBuffer, std::size_t aCount,
                                                    TnxWord32 aCodePage);
std::string nxWideStringBufferToString(const char16_t* aBuffer, std::size_t aCount, TnxWord32 aCodePage);

TnxWideString nxWideStringConcat(const TnxWideString& a, const TnxWideString& b);
TnxWideString nxWideStringAppendChar(const TnxWideString& a, char16_t aChar);

// aQuote, the text with every aQuote doubled, aQuote: it's -> 'it''s'.
nxString nxWideQuotedStr(platform::UnicodeStringView aText, char16_t aQuote);

// Zero-terminated UTF-16: the first aChar (the terminator itself for 0), or
// nullptr when absent; the terminator.
const char16_t* nxWideStrScan(const char16_t* aText, char16_t aChar);
char16_t* nxWideStrScan(char16_t* aText, char16_t aChar);
const char16_t* nxWideStrEnd(const char16_t* aText);
char16_t* nxWideStrEnd(char16_t* aText);

// The text mapped by the platform's locale mapping (LCMapString flags such as
// LCMAP_UPPERCASE). The W form maps UTF-16 directly; the A form maps the
// text's 8-bit form in the locale's ANSI code page (characters that code page
// lacks are lost). nxWideLCMapString is the one chosen at start-up (W).
nxString nxWideLCMapStringW(platform::UnicodeStringView aText, std::uint32_t aLocale, std::uint32_t aFlags);
nxString nxWideLCMapStringA(platform::UnicodeStringView aText, std::uint32_t aLocale, std::uint32_t aFlags);
using TnxWideLCMapStringFunc = nxString (*)(platform::UnicodeStringView, std::uint32_t, std::uint32_t);
extern TnxWideLCMapStringFunc nxWideLCMapString;

// The locale's ANSI code page; nxDefaultCodePage for a locale the platform
// does not know. Locales with Unicode text only answer 0.
TnxWord32 nxLocaleAnsiCodePage(std::uint32_t aLocale);
