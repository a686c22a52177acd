// Fixed-width and auxiliary types shared by every engine layer, and the
// protocol version.
//
// Protocol version: every thread works at nxCurrentProtocolVersion unless its
// own nxThreadVersionOverride is non-zero. The override is per thread, starts
// at 0 in every thread and is never shared, so the two version functions are
// safe from any thread.
#pragma once

#include <cstdint>
#include <vector>

#include "plObject.h"
#include "plString.h"

using TnxResult = std::uint32_t;
using PnxResult = TnxResult*;

using TnxWord16 = std::uint16_t;
using TnxWord32 = std::uint32_t;
using TnxInt32 = std::int32_t;
using TnxInt64 = std::int64_t;

using PnxBoolean = bool*;
using PnxWord32 = TnxWord32*;
using PnxInt32 = TnxInt32*;
using PnxInt64 = TnxInt64*;
static_assert(sizeof(bool) == 1, "records store Booleans as one byte");

// The engine's `string`: UTF-16.
using nxString = platform::UnicodeString;

// Type of an open-ended trailing member: declare it [[no_unique_address]] so
// it marks the end of the fixed part without taking space.
struct TnxNullType {};

// Raw buffers addressed element by element from 0; no bound is known.
using TnxByteArray = std::uint8_t[];
using PnxByteArray = std::uint8_t*;
using TnxPointerArray = void*[];
using PnxPointerArray = void**;

using TnxDynDoubleArray = std::vector<double>;
using TnxDynObjectArray = std::vector<platform::TObject*>;  // not owned
// Users include plVariant.h; the element type stays incomplete here so
// that every engine header does not pull in the variant machinery.
namespace platform {
class Variant;
}
using TnxDynVariantArray = std::vector<platform::Variant>;
using TnxUnicodeStrings = std::vector<nxString>;

// Counted UTF-16 buffer: its size is the number of code units, no terminator.
// A type of its own (not nxString) so overloads can tell the two apart.
using TnxWideString = std::vector<char16_t>;

using TnxBaseID = std::uint32_t;
using TnxSessionID = std::uint32_t;

using TnxThreadPriority = std::int8_t;  // -15 .. 15

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

// The version this engine speaks and writes.
inline constexpr TnxWord32 nxCurrentProtocolVersion = 47501;

// A lower peer version imposed on the calling thread; 0 = none. constinit
// lets every access skip the thread-local init wrapper (which the null-pointer
// sanitizer also misreports).
extern thread_local constinit TnxWord32 nxThreadVersionOverride;

// The calling thread's override when set, else nxCurrentProtocolVersion.
std::int32_t nxGetThreadVersion();
// min(nxGetThreadVersion(), nxCurrentProtocolVersion).
std::int32_t nxGetThreadMinVersion();
