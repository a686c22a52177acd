// Base64 over 8-bit strings (bytes in a std::string), as the exception data's
// transport form uses it.
//
// StrToBase64 pads the input with zero bytes to at least 3 bytes and then to
// a multiple of 3, encodes in the standard way and replaces as many trailing
// characters by "=" as bytes were added; so the empty input gives "A===" and
// every other input gives standard Base64.
// Base64ToStr refuses a text shorter than 4 characters or whose length is not
// a multiple of 4 (platform::RuntimeError "Base64ToStr: illegal input
// length!"); a character outside the alphabet, "=" included, counts as the
// value 61; as many bytes as there are trailing "=" are dropped at the end.
// Thread safety: no state.
#pragma once

#include <string>
#include <string_view>

std::string StrToBase64(std::string_view aBytes);
std::string Base64ToStr(std::string_view aText);
