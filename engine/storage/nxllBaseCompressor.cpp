// The compressor table (empty) and the abstract compressor.
#include "nxllBaseCompressor.h"

#include <array>

namespace {

std::uint32_t baseCompress(const void* aSource, void* aTarget, std::uint32_t aSourceSize, std::uint32_t aTargetSize) {
  return TnxBaseCompressor::Compress(aSource, aTarget, aSourceSize, aTargetSize);
}
void baseUncompress(const void* aSource, void* aTarget, std::uint32_t aSourceSize, std::uint32_t aTargetSize) {
  TnxBaseCompressor::Uncompress(aSource, aTarget, aSourceSize, aTargetSize);
}
constexpr TnxCompressorClassFuncs kBaseFuncs{&baseCompress, &baseUncompress};

// Index 0 is unused: CompressType 0 names no compressor.
std::array<TnxBaseCompressorClass, 256> gCompressors{};

}  // namespace

PL_CLASS_INFO_IMPL_TABLE(TnxBaseCompressor, TnxObject, "TnxBaseCompressor", nullptr,
                         platform::bindClassTable(kBaseFuncs))

std::uint32_t TnxBaseCompressor::Compress(const void*, void*, std::uint32_t, std::uint32_t) {
  nxAssertionFailed("Compress of TnxBaseCompressor", "nxllBaseCompressor", __LINE__);
}

void TnxBaseCompressor::Uncompress(const void*, void*, std::uint32_t, std::uint32_t) {
  nxAssertionFailed("Uncompress of TnxBaseCompressor", "nxllBaseCompressor", __LINE__);
}

TnxBaseCompressorClass nxGetCompressor(std::uint8_t aCompressType) { return gCompressors[aCompressType]; }

const TnxCompressorClassFuncs& nxCompressorFuncs(TnxBaseCompressorClass aClass) {
  const auto* funcs = aClass ? aClass->table<TnxCompressorClassFuncs>() : nullptr;
  nxAssert(funcs != nullptr, "Compressor class without class functions");
  return *funcs;
}

void nxRegisterCompressor(std::uint8_t aCompressType, TnxBaseCompressorClass aClass) {
  nxAssert(aCompressType != 0, "CompressType 0 names no compressor");
  gCompressors[aCompressType] = aClass;
}
