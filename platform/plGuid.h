// GUIDs in the platform's memory order: Data1..Data3 little-endian integers,
// Data4 as bytes.
//
// Text form: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (38 characters, upper-case
// hexadecimal on output, either case accepted on input). Text that is not of
// that form throws ConvertError "'%s' is not a valid GUID value".
// Ordering: the 16 bytes compared unsigned in memory order.
// Thread safety: every function may be called from any thread.
#pragma once

#include "plString.h"

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

struct Guid {
  std::uint32_t D1;
  std::uint16_t D2;
  std::uint16_t D3;
  std::uint8_t D4[8];

  bool operator==(const Guid&) const = default;
};
static_assert(sizeof(Guid) == 16);

std::strong_ordering operator<=>(const Guid& a, const Guid& b);

// A random (version 4, RFC 4122 variant) GUID from the kernel's random source
// (CoCreateGuid); a failing source throws OsError.
Guid newGuid();

UnicodeString guidToString(const Guid& g);
std::string guidToAnsiString(const Guid& g);

Guid stringToGuid(UnicodeStringView text);
Guid stringToGuid(std::string_view text);

}  // namespace platform
