// The key engine of TnxBlobCacheKeyDescriptor: the key of a client BLOB
// cache table.
//
// Key layout (stored in index pages), 28 bytes, little-endian; the buffer
// given as record starts with the same 28 bytes:
//   0-7   "BlobNr"   signed 64-bit  BLOB number
//   8-11  "FieldNo"  signed 32-bit  field number
//   12-19 "RefNr"    signed 64-bit  record reference
//   20-27 "InserLSN" signed 64-bit  insert LSN of that record version
// Keys compare field by field, signed, over the first aFieldCount fields
// (0: all four).
#pragma once

#include <array>

#include "nxsdKeyEngineBase.h"

class TnxBlobCacheKeyEngine : public TnxBaseKeyEngine {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBlobCacheKeyEngine(TnxBaseKeyDescriptor* aDescriptor);
  // The descriptor must be a TnxBlobCacheKeyDescriptor.
  static void CheckValidDescriptor(TnxBaseKeyDescriptor* aDescriptor);

  bool GetFieldForFilter(std::int32_t aField, const char* aName, const void* aData, std::uint16_t& aType,
                         std::uint16_t& aSize, bool& aIsNull, const void*& aValue,
                         std::uint16_t& aCodePage) override;
  std::int32_t GetFieldFromName(const nxString& aFieldName) override;
  std::int32_t GetFieldCount() override { return 4; }
  InxFieldDescriptor* GetFieldDescriptor(std::int32_t aIndex) override;
  std::int32_t GetFieldsOffset() override { return 0; }

  void ClearKey(void* aKey) override;
  // 9986 for a nil record.
  TnxResult BuildKey(const void* aRecord, void* aKey, TnxRefNr aRefNr, bool aIgnoreFilter) override;
  using TnxBaseKeyEngine::CompareKey;
  using TnxBaseKeyEngine::CompareKeyToRecord;
  using TnxBaseKeyEngine::CompareRecord;
  TValueRelationship CompareKey(const void* aKey1, const void* aKey2, std::int32_t aFieldCount,
                                std::int32_t aPartialLen) override;
  TValueRelationship CompareKeyToRecord(const void* aKey, const void* aRecord, TnxRefNr aRefNr,
                                        std::int32_t aFieldCount, std::int32_t aPartialLen) override;
  TValueRelationship CompareRecord(const void* aRecord1, TnxRefNr aRefNr1, const void* aRecord2, TnxRefNr aRefNr2,
                                   std::int32_t aFieldCount, std::int32_t aPartialLen) override;
  // 9999 outside -1 .. 3; a nil key: Null.
  platform::Variant KeyAsVariant(const void* aKey, std::int32_t aField) override;

 private:
  std::array<TnxKeyPseudoField, 4> bckeFields;
};

void nxsdKeyEngineBlobCacheInitialize();
void nxsdKeyEngineBlobCacheFinalize();
