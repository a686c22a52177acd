// The key engine of TnxInt64KeyDescriptor: a signed 64-bit value.
//
// Key layout (stored in index pages), 8 bytes: the value, signed 64-bit
// little-endian, taken from the first 8 bytes of the buffer given as record.
// Keys order as signed numbers. One pseudo field "Int64" (nxtInt64). No
// filter applies.
#pragma once

#include <array>

#include "nxsdKeyEngineBase.h"

class TnxInt64KeyEngine : public TnxBaseKeyEngine {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxInt64KeyEngine(TnxBaseKeyDescriptor* aDescriptor);
  // The descriptor must be a TnxInt64KeyDescriptor.
  static void CheckValidDescriptor(TnxBaseKeyDescriptor* aDescriptor);

  bool GetFieldForFilter(std::int32_t aField, const char* aName, const void* aData, std::uint16_t& aType,
                         std::uint16_t& aSize, bool& aIsNull, const void*& aValue,
                         std::uint16_t& aCodePage) override;
  std::int32_t GetFieldFromName(const nxString& aFieldName) override;
  std::int32_t GetFieldCount() override { return 1; }
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
  // 9999 outside -1 .. 0.
  platform::Variant KeyAsVariant(const void* aKey, std::int32_t aField) override;

 private:
  std::array<TnxKeyPseudoField, 1> ikeFields;
};

void nxsdKeyEngineInt64Initialize();
void nxsdKeyEngineInt64Finalize();
