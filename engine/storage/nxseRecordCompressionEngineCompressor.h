// The "Compressor" record compression engine: hands the whole record to the
// compressor class that the descriptor's CompressType (1 to 255) selects
// (nxllBaseCompressor). No compressor is registered in this system, so
// creating the engine always fails with 'Unknown CompressType "%d"'.
#pragma once

#include <cstdint>

#include "nxllBaseCompressor.h"
#include "nxsrRecordCompressionEngineBase.h"

NX_DECLARE_EXCEPTION(EnxCompressorRecordCompressionEngineException, EnxBaseRecordCompressionEngineException)

class TnxCompressorRecordCompressionEngine : public TnxBaseRecordCompressionEngine {
  PL_CLASS_INFO_DECL()
 public:
  // 'Unknown CompressType "%d"' (no code) when the type selects no class.
  TnxCompressorRecordCompressionEngine(TnxBaseRecordCompressionDescriptor* aDescriptor, std::int32_t aTableVersion);

  std::uint16_t CompressRecord(const std::uint8_t* aSource, std::uint8_t* aTarget) override;
  void DecompressRecord(const std::uint8_t* aSource, std::uint16_t aSize, std::uint8_t* aTarget) override;

  TnxFieldsDescriptor* srceFieldsDescriptor;
  std::uint32_t srceRecordLength = 0;
  TnxBaseCompressorClass srceCompressor = nullptr;
};

// Registers the engine under "Compressor" (module start-up) and removes it.
void nxseRecordCompressionEngineCompressorInitialize();
void nxseRecordCompressionEngineCompressorFinalize();
