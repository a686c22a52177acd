// String types of the system. The engine's `string` is UTF-16; 8-bit strings
// always carry the code page their bytes are in. UTF-8 appears only at the
// edges (files, terminal, GUI), through toUtf8/fromUtf8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

using UnicodeString = std::u16string;
using UnicodeStringView = std::u16string_view;

// Code page 0 means "the system ANSI code page" (ansiCodePage()).
struct AnsiString {
  std::string bytes;
  std::uint16_t codePage = 0;

  bool operator==(const AnsiString&) const = default;
};

// The system ANSI code page; 932 unless changed (tests, configuration).
std::uint16_t ansiCodePage();
void setAnsiCodePage(std::uint16_t codePage);

// Comparison that folds ASCII letters only, as identifiers, keywords and
// class names compare; other characters compare by code unit.
int compareTextAscii(UnicodeStringView a, UnicodeStringView b);  // -1, 0 or 1
bool sameTextAscii(UnicodeStringView a, UnicodeStringView b);

// Strict conversions at the edges: ill-formed input throws ConvertError.
std::string toUtf8(UnicodeStringView s);
UnicodeString fromUtf8(std::string_view s);

}  // namespace platform
