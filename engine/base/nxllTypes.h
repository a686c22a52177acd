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
