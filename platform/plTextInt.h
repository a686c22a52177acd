// Text helpers shared by the platform library's own files.
#pragma once

namespace platform {

// The blanks a number or date text may carry around it.
inline bool isTextBlank(char16_t c) { return c == u' ' || c == u'\t'; }

}  // namespace platform
