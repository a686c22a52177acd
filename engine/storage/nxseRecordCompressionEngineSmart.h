// The "Smart" record compression engine: drops null fields and the string
// bytes behind each terminator.
//
// Format: the first (F + 7) div 8 bytes of the null bitmap (F fields), then
// every non-null field in field order: a short string as its length byte
// and characters, a null string up to and including its zero byte, a wide
// string up to and including its zero character, any other type as its
// fdLength bytes. The format stores no lengths of its own, so decoding
// trusts nothing: every value must lie inside the input and inside its
// field, and the input must be used up exactly (8962 otherwise). A string
// that has no terminator inside its field has no encoding: such a record is
// stored raw (CompressRecord answers 0).
#pragma once

#include <cstdint>

#include "nxsrRecordCompressionEngineBase.h"

NX_DECLARE_EXCEPTION(EnxSmartRecordCompressionEngineException, EnxBaseRecordCompressionEngineException)

class TnxSmartRecordCompressionEngine : public TnxBaseRecordCompressionEngine {
  PL_CLASS_INFO_DECL()
 public:
  // REQUIRES: aDescriptor belongs to a table (its fields are encoded).
  TnxSmartRecordCompressionEngine(TnxBaseRecordCompressionDescriptor* aDescriptor, std::int32_t aTableVersion);

  std::uint16_t CompressRecord(const std::uint8_t* aSource, std::uint8_t* aTarget) override;
  void DecompressRecord(const std::uint8_t* aSource, std::uint16_t aSize, std::uint8_t* aTarget) override;

  TnxFieldsDescriptor* srceFieldsDescriptor;

 private:
  [[noreturn]] void RaiseCorrupt(std::int32_t aField);
};

// Registers the engine under "Smart" (module start-up) and removes it.
void nxseRecordCompressionEngineSmartInitialize();
void nxseRecordCompressionEngineSmartFinalize();
