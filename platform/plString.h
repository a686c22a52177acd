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
// The one implementation of this folding in the system: use it, do not copy it.
int compareTextAscii(UnicodeStringView a, UnicodeStringView b);  // -1, 0 or 1
bool sameTextAscii(UnicodeStringView a, UnicodeStringView b);
// One unit's ASCII upper case (for comparisons of other shapes).
constexpr char16_t upperAscii(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; }
constexpr unsigned char upperAscii(unsigned char c) {
  return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 32) : c;
}
// The same for 8-bit names (class names, bytes compared unsigned).
int compareTextAscii(std::string_view a, std::string_view b);
bool sameTextAscii(std::string_view a, std::string_view b);

// Strict conversions at the edges: ill-formed input throws ConvertError.
std::string toUtf8(UnicodeStringView s);
UnicodeString fromUtf8(std::string_view s);

}  // namespace platform
