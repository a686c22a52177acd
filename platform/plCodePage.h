// Conversion between 8-bit text in a Windows code page and UTF-16, keyed by
// the Windows code-page number (932, 1252, 65001, ...), over ICU converters.
//
// Behaviour is that of the platform's conversion with flags 0 and no default
// character given:
// - Encoding: a character without an exact code takes a best-fit code where
//   there is one, else the default character '?' (UTF-8: an unpaired surrogate
//   becomes U+FFFD). Best fits: for 932 the platform's for the JIS-style
//   characters (U+301C WAVE DASH -> 81 60, U+2212 -> 81 7C, U+2016 -> 81 61,
//   U+00A2/A3/AC -> 81 91/81 92/81 CA, U+00A5 -> 5C, U+203E -> 7E); for other
//   code pages the fallback mappings of ICU's tables (U+FF41 -> 'a' in 1252),
//   which cover less than the platform's best-fit tables.
// - Decoding: an undefined or ill-formed byte sequence becomes the code page's
//   Unicode default character: U+30FB for 932 (as the platform), U+FFFD for
//   every other code page. 932 also keeps the platform's private single bytes
//   80, A0, FD, FE, FF <-> U+0080, U+F8F0, U+F8F1..U+F8F3 so they round-trip.
// - 932 maps bytes 00-7F and U+0000-U+007F to themselves in both directions
//   (ICU's table would swap U+001A, U+001C and U+007F).
// - Code pages 0 and 3 mean the system ANSI code page (ansiCodePage()).
// - Empty input gives empty output.
//
// Failures throw: an unknown code page OsError(EINVAL); output that does not
// fit the caller's capacity InsufficientBuffer (callers that shorten and retry
// catch exactly that one).
//
// Thread safety: every function may be called from any thread; converters are
// kept per thread.
#pragma once

#include "plErrors.h"
#include "plString.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

inline constexpr std::uint32_t CP_ACP = 0;         // system ANSI code page
inline constexpr std::uint32_t CP_THREAD_ACP = 3;  // ANSI code page of the calling thread (= system)
inline constexpr std::uint32_t CP_UTF16LE = 1200;
inline constexpr std::uint32_t CP_UTF8 = 65001;

// The output did not fit the given capacity.
class InsufficientBuffer : public OsError {
 public:
  InsufficientBuffer();
};

// What the platform reports for a code page (GetCPInfo / GetCPInfoEx).
struct CodePageInfo {
  std::uint16_t codePage = 0;
  std::uint32_t maxCharSize = 1;  // bytes of the longest character
  char defaultChar = '?';
  char16_t unicodeDefaultChar = u'?';
  // Lead-byte ranges as inclusive pairs, at most 5, terminated by {0, 0}.
  std::array<std::uint8_t, 12> leadByte{};
  std::string name;  // e.g. "932   (ANSI/OEM - Japanese Shift-JIS)"

  bool isLeadByte(std::uint8_t b) const;
};

// The code page that 0 and 3 stand for is resolved; any other number is kept.
std::uint16_t resolveCodePage(std::uint32_t codePage);

bool isValidCodePage(std::uint32_t codePage);
CodePageInfo codePageInfo(std::uint32_t codePage);  // unknown: OsError(EINVAL)
std::vector<std::uint16_t> systemCodePages();        // ascending

// MultiByteToWideChar: capacity 0 answers the number of UTF-16 units needed;
// otherwise converts into dst and answers the number written.
std::size_t multiByteToWide(std::uint32_t codePage, std::string_view src, char16_t* dst,
                            std::size_t capacity);

// WideCharToMultiByte: capacity 0 answers the number of bytes needed;
// otherwise converts into dst and answers the number written. usedDefaultChar
// (optional) tells whether some character became the default character.
std::size_t wideToMultiByte(std::uint32_t codePage, UnicodeStringView src, char* dst,
                            std::size_t capacity, bool* usedDefaultChar = nullptr);

UnicodeString decodeText(std::string_view bytes, std::uint32_t codePage);
std::string encodeText(UnicodeStringView text, std::uint32_t codePage);

// AnsiString helpers: the string's own code page (0 = ansiCodePage()).
UnicodeString ansiToUnicode(const AnsiString& s);
AnsiString unicodeToAnsi(UnicodeStringView text, std::uint16_t codePage = 0);

}  // namespace platform
