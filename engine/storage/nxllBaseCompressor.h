// Compressor classes chosen by number (CompressType 1 to 255) for the
// "Compressor" record compression engine. Nothing registers a compressor in
// this system: every entry of the table is nil, and a table that names one
// cannot be opened. The table is written only by start-up code.
#pragma once

#include <cstdint>

#include "nxllBase.h"
#include "nxllException.h"

// Class-level operations of a compressor class.
struct TnxCompressorClassFuncs {
  // The bytes written to aTarget (at most aTargetSize).
  std::uint32_t (*compress)(const void* aSource, void* aTarget, std::uint32_t aSourceSize, std::uint32_t aTargetSize);
  void (*uncompress)(const void* aSource, void* aTarget, std::uint32_t aSourceSize, std::uint32_t aTargetSize);
};

class TnxBaseCompressor : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  // Assertion failures: a concrete compressor overrides both.
  static std::uint32_t Compress(const void* aSource, void* aTarget, std::uint32_t aSourceSize,
                                std::uint32_t aTargetSize);
  static void Uncompress(const void* aSource, void* aTarget, std::uint32_t aSourceSize, std::uint32_t aTargetSize);
};

// A compressor class: its class information carries TnxCompressorClassFuncs.
using TnxBaseCompressorClass = const platform::ClassInfo*;

// The class registered for aCompressType (1 to 255), nil when none.
TnxBaseCompressorClass nxGetCompressor(std::uint8_t aCompressType);
const TnxCompressorClassFuncs& nxCompressorFuncs(TnxBaseCompressorClass aClass);
// Enters aClass (carrying TnxCompressorClassFuncs) for aCompressType 1 to
// 255; nil removes the entry. Start-up code only.
void nxRegisterCompressor(std::uint8_t aCompressType, TnxBaseCompressorClass aClass);
