// GUIDs in the platform's memory order: Data1..Data3 little-endian integers,
// Data4 as bytes.
#pragma once

#include <cstdint>

namespace platform {

struct Guid {
  std::uint32_t D1;
  std::uint16_t D2;
  std::uint16_t D3;
  std::uint8_t D4[8];

  bool operator==(const Guid&) const = default;
};
static_assert(sizeof(Guid) == 16);

}  // namespace platform
