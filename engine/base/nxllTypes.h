// Fixed-width types shared by every engine layer.
#pragma once

#include <cstdint>

#include "plString.h"

using TnxResult = std::uint32_t;
using PnxResult = TnxResult*;

using TnxWord16 = std::uint16_t;
using TnxWord32 = std::uint32_t;
using TnxInt32 = std::int32_t;
using TnxInt64 = std::int64_t;

// The engine's `string`: UTF-16.
using nxString = platform::UnicodeString;

// Block sizes; 4 MB exists only for the memory manager.
enum TnxBlockSizeAll : std::uint8_t { nxbs4k, nxbs8k, nxbs16k, nxbs32k, nxbs64k, nxbs4M };
using TnxBlockSize = TnxBlockSizeAll;  // table files use nxbs4k..nxbs64k only

// Packed decimal: precision, sign (bit 7) and decimal places (bits 0-5),
// then 64 digit nibbles, high nibble first.
struct TnxFmtBcd {
  std::uint8_t Precision;
  std::uint8_t SignSpecialPlaces;
  std::uint8_t Fraction[32];
};
static_assert(sizeof(TnxFmtBcd) == 34);
