// Unicode case mapping of single code units and case-folded comparison, for
// names and switches that compare without regard to letter case in any
// script. (ASCII-only folding is platform::compareTextAscii in plString.h.)
// Thread safety: every function may be called from any thread.
#pragma once

#include "plString.h"

namespace platform {

// The simple lower case of a code unit; surrogates stay as they are.
char16_t toLowerSimple(char16_t aUnit);
// Lower case in place, unit by unit.
void toLowerSimple(UnicodeString& aText);

// Compares the full case foldings of a and b code point by code point:
// <0, 0 or >0.
int compareFoldCase(UnicodeStringView a, UnicodeStringView b);

}  // namespace platform
