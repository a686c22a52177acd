// Standard texts of the engine result codes.
//
// The table is constant data (no start-up, no shared mutable state), so every
// function is safe from any thread at any time, including during start-up.
#pragma once

#include <span>
#include <string_view>

#include "nxllTypes.h"

// The standard text of aCode. The full 32-bit value is looked up; nothing is
// masked. 8944..8959 give "Cache is invalid: " followed by the text of the
// same code with bits 4-7 cleared; any other code without a row gives
// "Unknown (server exception object has unknown error code)".
nxString nxGetErrorString(TnxResult aCode);

struct TnxErrorStringEntry {
  TnxResult code;
  std::u16string_view text;
};

// The built-in rows, sorted by code without duplicates.
std::span<const TnxErrorStringEntry> nxErrorStringEntries();
