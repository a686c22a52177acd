// Little-endian 32-bit words in byte buffers, as the cipher and the
// encryption engine's key blocks store them.
#pragma once

#include <cstdint>

namespace nxbyteorder {

inline std::uint32_t loadLE(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

inline void storeLE(std::uint8_t* p, std::uint32_t v) {
  p[0] = std::uint8_t(v);
  p[1] = std::uint8_t(v >> 8);
  p[2] = std::uint8_t(v >> 16);
  p[3] = std::uint8_t(v >> 24);
}

}  // namespace nxbyteorder
