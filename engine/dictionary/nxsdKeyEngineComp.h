// Composite key engines: the keys of TnxCompKeyDescriptor and
// TnxNoNullCompKeyDescriptor, one slot per key field (key field engines do
// the per-field work).
//
// Key layout (stored in index pages), n key fields, B = (n + 7) div 8:
//   0 .. B-1  null bitmap: bit i mod 8 of byte i div 8 is key field i;
//             1 = NULL; the unused high bits of the last byte are 1
//   B ..      the slots in key field order, packed; a NULL slot is all zero
// The no-null key has no bitmap: its slots start at byte 0.
//
// Null order: both NULL equal; a NULL sorts before a value unless the key
// field says nbBottom (or nbAsAscend on a descending field), whatever the
// field's direction; only values are compared in the field's direction.
//
// Records are compared with keys and with records field by field, without
// building whole keys.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "nxllOwners.h"
#include "nxsdKeyEngineBase.h"

class TnxCompKeyEngine : public TnxBaseKeyEngine {
  PL_CLASS_INFO_DECL()
 public:
  // aDescriptor must be a TnxCompKeyDescriptor with a fields descriptor.
  explicit TnxCompKeyEngine(TnxBaseKeyDescriptor* aDescriptor);
  // Every key field through its key field engine's check.
  static void CheckValidDescriptor(TnxBaseKeyDescriptor* aDescriptor);

  TnxCompositeKeyFieldEngine* GetKeyFieldEngine(std::int32_t aIndex) const {
    return ckeKeyFieldEngines[static_cast<std::size_t>(aIndex)].get();
  }
  std::int32_t KeyFieldCount() const { return ckeKeyFieldCount; }

  // --- InxFieldsSource over key buffers
  bool GetFieldForFilter(std::int32_t aField, const char* aName, const void* aData, std::uint16_t& aType,
                         std::uint16_t& aSize, bool& aIsNull, const void*& aValue,
                         std::uint16_t& aCodePage) override;
  // "Name", or "Name_Engine" for a key field with a key field engine.
  std::int32_t GetFieldFromName(const nxString& aFieldName) override;
  std::int32_t GetFieldCount() override { return ckeKeyFieldCount; }
  InxFieldDescriptor* GetFieldDescriptor(std::int32_t aIndex) override;
  std::int32_t GetFieldsOffset() override { return ckeKeyOffset; }
  std::int32_t GetKeyFieldOffset(std::int32_t aIndex) override;

  void ClearKey(void* aKey) override;
  TnxResult BuildKey(const void* aRecord, void* aKey, TnxRefNr aRefNr, bool aIgnoreFilter) override;
  TnxResult KeyToRecord(const void* aKey, void* aRecord) override;
  using TnxBaseKeyEngine::CompareKey;
  using TnxBaseKeyEngine::CompareKeyToRecord;
  using TnxBaseKeyEngine::CompareRecord;
  TValueRelationship CompareKey(const void* aKey1, const void* aKey2, std::int32_t aFieldCount,
                                std::int32_t aPartialLen) override;
  TValueRelationship CompareKeyToRecord(const void* aKey, const void* aRecord, TnxRefNr aRefNr,
                                        std::int32_t aFieldCount, std::int32_t aPartialLen) override;
  TValueRelationship CompareRecord(const void* aRecord1, TnxRefNr aRefNr1, const void* aRecord2, TnxRefNr aRefNr2,
                                   std::int32_t aFieldCount, std::int32_t aPartialLen) override;
  // 9999 for a field outside the key.
  platform::Variant KeyAsVariant(const void* aKey, std::int32_t aField) override;
  bool KeyContainsNulls(const void* aKey) override;

 protected:
  // The no-null form: no bitmap, no null handling.
  TnxCompKeyEngine(TnxBaseKeyDescriptor* aDescriptor, bool aNoNull);

  TnxFieldsDescriptor* ckeFieldsDescriptor = nullptr;
  std::vector<TnxOwned<TnxCompositeKeyFieldEngine>> ckeKeyFieldEngines;
  std::vector<TValueRelationship> ckeKeyFieldInvertNull;
  std::vector<std::pair<nxString, std::int32_t>> ckeKeyFieldNames;  // sorted, case ignored
  std::int32_t ckeKeyFieldCount = 0;
  std::int32_t ckeKeyOffset = 0;
  std::vector<std::int32_t> ckeKeyFieldOffset;
  bool ckeNoNull = false;
  // What comparing key with key needs per field, side by side.
  struct TnxKeySlot {
    TnxCKFECompare compare;
    const TnxCompositeKeyFieldEngine* engine;
    std::int32_t offset;
    TValueRelationship invertNull;
  };
  std::vector<TnxKeySlot> ckeSlots;
  // Where the record's null bitmap starts.
  std::int32_t ckeRecordNullOffset = 0;

 private:
  std::int32_t WholeFields(std::int32_t aFieldCount, std::int32_t aPartialLen) const;
  bool KeyFieldNull(const void* aKey, std::int32_t i) const {
    return !ckeNoNull && ((static_cast<const std::uint8_t*>(aKey)[i >> 3] >> (i & 7)) & 1);
  }
  bool RecordFieldNull(const void* aRecord, std::int32_t i) const {
    if (ckeNoNull) return false;
    const std::int32_t bit = ckeKeyFieldEngines[static_cast<std::size_t>(i)]->FieldNumber();
    return (static_cast<const std::uint8_t*>(aRecord)[ckeRecordNullOffset + (bit >> 3)] >> (bit & 7)) & 1;
  }
};

class TnxNoNullCompKeyEngine : public TnxCompKeyEngine {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxNoNullCompKeyEngine(TnxBaseKeyDescriptor* aDescriptor) : TnxCompKeyEngine(aDescriptor, true) {}
};

// Module start-up (registration of both engines) and finalisation.
void nxsdKeyEngineCompInitialize();
void nxsdKeyEngineCompFinalize();
