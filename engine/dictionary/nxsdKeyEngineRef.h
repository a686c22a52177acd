// The key engine of TnxRefKeyDescriptor: the record reference itself.
//
// Key layout (stored in index pages), 8 bytes: the record reference
// (TnxRefNr), signed 64-bit little-endian. Keys order as signed numbers, so
// the index is in reference number order. One pseudo field "RefNr"
// (nxtInt64). The record's contents are never read; the key's filter may
// still keep a record out.
#pragma once

#include <array>

#include "nxsdKeyEngineBase.h"

class TnxRefKeyEngine : public TnxBaseKeyEngine {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxRefKeyEngine(TnxBaseKeyDescriptor* aDescriptor);
  // The descriptor must be a TnxRefKeyDescriptor.
  static void CheckValidDescriptor(TnxBaseKeyDescriptor* aDescriptor);

  bool GetFieldForFilter(std::int32_t aField, const char* aName, const void* aData, std::uint16_t& aType,
                         std::uint16_t& aSize, bool& aIsNull, const void*& aValue,
                         std::uint16_t& aCodePage) override;
  std::int32_t GetFieldFromName(const nxString& aFieldName) override;
  std::int32_t GetFieldCount() override { return 1; }
  InxFieldDescriptor* GetFieldDescriptor(std::int32_t aIndex) override;
  std::int32_t GetFieldsOffset() override { return 0; }

  void ClearKey(void* aKey) override;
  // The key is aRefNr; 1 when the key's filter rejects the record.
  TnxResult BuildKey(const void* aRecord, void* aKey, TnxRefNr aRefNr, bool aIgnoreFilter) override;
  using TnxBaseKeyEngine::CompareKey;
  using TnxBaseKeyEngine::CompareRecord;
  TValueRelationship CompareKey(const void* aKey1, const void* aKey2, std::int32_t aFieldCount,
                                std::int32_t aPartialLen) override;
  // The two reference numbers.
  TValueRelationship CompareRecord(const void* aRecord1, TnxRefNr aRefNr1, const void* aRecord2, TnxRefNr aRefNr2,
                                   std::int32_t aFieldCount, std::int32_t aPartialLen) override;
  // 9999 outside -1 .. 0.
  platform::Variant KeyAsVariant(const void* aKey, std::int32_t aField) override;

 private:
  std::array<TnxKeyPseudoField, 1> rkeFields;
};

void nxsdKeyEngineRefInitialize();
void nxsdKeyEngineRefFinalize();
