// Private to nxdbConversion: what its files share. Engine record fields are
// packed without alignment, so multi-byte values go through memcpy.
#pragma once

#include <cstddef>
#include <cstring>

#include "nxdbConversion.h"

namespace nxdbconv {

template <class T>
inline T load(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class T>
inline void store(void* p, const T& v) {
  std::memcpy(p, &v, sizeof v);
}

// Bytes before the first zero among the first aMax bytes (aMax when none).
inline std::size_t boundedLength(const char* aText, std::size_t aMax) {
  const void* zero = std::memchr(aText, 0, aMax);
  return zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - aText) : aMax;
}

}  // namespace nxdbconv
