// The versioned variable record engine ("VariableVersioned" in the record
// family): the variable record engine with a 16-bit flag word whose bits 8
// to 15 hold the layout version a record was written in, so that fields
// can be appended to a table without rewriting its records. Version v has
// the fields 0 .. OriginalFieldCount - 1 + v; the current version is
// FieldCount - OriginalFieldCount. A record of an older version is widened
// when it is read: its null bitmap moves to the current place, the new
// fields' bytes are zero and their null bits set.
//
// Record segment: u16 flags (bit 0 moved body, 1 raw, 2 forward reference,
// 3 padded, 4-7 zero, 8-15 version), then the payload of at least 10 bytes;
// a forward reference is 10 bytes (flags 4, version 0, then the u64 body
// reference). Everything else (header section, heap, walks, record numbers,
// references, errors) is the variable record engine's.
//
// Only the "Compressor" record compression is admitted, and this system
// registers no compressor class: creating the engine for a table that
// passed the check ends in 'Unknown CompressType "%d"'. A table with more
// than 255 appended fields has no version that fits 8 bits and is refused.
#pragma once

#include <cstdint>
#include <vector>

#include "nxseRecordEngineVariable.h"

NX_DECLARE_EXCEPTION(EnxVariableVersionedRecordEngineException, EnxVariableRecordEngineException)

class TnxVariableVersionedRecordEngine : public TnxVariableRecordEngine {
  PL_CLASS_INFO_DECL()
 public:
  struct FieldInfo {
    std::int32_t fiFieldsLength = 0;
    std::int32_t fiNullBitsOffset = 0;
    std::int32_t fiNullBitsSize = 0;
    std::int32_t fiClearBytesCount = 0;
  };

  // 10004 for a layout version above 255; otherwise as the variable engine.
  TnxVariableVersionedRecordEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans,
                                   const TnxBlockAccessArray& aFiles);

  // The variable engine's checks, a "Compressor" record compression
  // descriptor (10004 otherwise) and at most 255 appended fields (10004).
  static void CheckEngineDescriptor(TnxDictionaryItem* aTable);

  // True for a field that is neither required nor defaulted nor validated:
  // older records can show it NULL.
  bool CanAddField(TnxFieldDescriptor* aFieldDesc) override;
  // 12289: not offered by this engine.
  void ReplaceAllRecords(TnxBaseTransaction* aTrans, const TnxGetRecordCallback& aCallback) override;

  TnxFieldsDescriptor* reFieldsDescriptor = nullptr;
  std::int32_t reOriginalFieldCount = 0;
  std::int32_t reFieldCount = 0;
  std::int32_t reCurrentVersion = 0;
  std::uint16_t reCurrentVersionFlags = 0;
  std::int32_t reCurrentFieldsLength = 0;
  std::int32_t reCurrentNullBitsOffset = 0;
  std::int32_t reCurrentNullBitsSize = 0;
  std::vector<FieldInfo> reFieldInfos;

 protected:
  std::uint16_t WriteFlags() const override { return reCurrentVersionFlags; }
  std::uint32_t RawLength(std::uint16_t aFlags) const override;
  void AfterDecode(TnxRefNr aRefNr, std::uint16_t aFlags, PnxRecordBuffer aRecord) override;
};

// Registers the engine under "VariableVersioned" (module start-up) and
// removes it.
void nxseRecordEngineVariableVersionedInitialize();
void nxseRecordEngineVariableVersionedFinalize();
