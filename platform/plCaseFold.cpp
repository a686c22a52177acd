#include "plCaseFold.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

namespace platform {

char16_t toLowerSimple(char16_t aUnit) {
  return U16_IS_SURROGATE(aUnit) ? aUnit : static_cast<char16_t>(u_tolower(aUnit));
}

void toLowerSimple(UnicodeString& aText) {
  for (char16_t& c : aText) c = toLowerSimple(c);
}

int compareFoldCase(UnicodeStringView a, UnicodeStringView b) {
  UErrorCode status = U_ZERO_ERROR;
  return u_strCaseCompare(a.data(), static_cast<int32_t>(a.size()), b.data(), static_cast<int32_t>(b.size()),
                          U_FOLD_CASE_DEFAULT, &status);
}

}  // namespace platform
