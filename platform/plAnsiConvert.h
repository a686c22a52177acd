// Conversions between 8-bit text (with its code page) and UTF-16 for the
// runtime layer (variants, Format arguments). ASCII text and UTF-8 (code
// page 65001) convert here; every other code page goes through hooks that
// the code-page module installs at start-up. Without a hook, non-ASCII text
// in such a code page raises ConvertError.
// Thread safety: hooks are installed once at start-up, before other threads.
#pragma once

#include "plString.h"

namespace platform {

// Both hooks receive a resolved code page (never 0) and raise ConvertError
// for text that the code page cannot express.
using AnsiToUnicodeHook = UnicodeString (*)(std::string_view bytes, std::uint16_t codePage);
using UnicodeToAnsiHook = std::string (*)(UnicodeStringView text, std::uint16_t codePage);
void setAnsiConversionHooks(AnsiToUnicodeHook toUnicode, UnicodeToAnsiHook toAnsi);

// Code page 0 stands for ansiCodePage().
UnicodeString ansiToUnicode(const AnsiString& text);
AnsiString unicodeToAnsi(UnicodeStringView text, std::uint16_t codePage);

}  // namespace platform
