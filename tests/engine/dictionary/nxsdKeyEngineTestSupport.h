// Shared by the key engine tests: a table with a fields descriptor, key
// descriptors under it, record buffers and the engines made from them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "nxllUtils.h"
#include "nxsdDataDictionary.h"
#include "nxsdFilterEngineCallback.h"
#include "nxsdKeyEngineComp.h"
#include "plCodePage.h"

namespace nxsdkeytest {

// The data dictionary above the fields and keys.
class KeyTable : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  KeyTable() : TnxDictionaryItem(nullptr) {}
  bool IsDataDictionary() const override { return true; }
  std::int32_t NextItemID() override { return ++nextID; }
  std::int32_t DictionaryVersion() const override { return version; }
  bool DictionaryUsesByteOrderForWideString() const override { return byteOrderForWide; }
  bool FindRelatedDescriptorOfType(const platform::ClassInfo& aType, TnxDictionaryItem*& aDescriptor,
                                   TnxDictionaryItem* aFrom) override {
    if (fields && aType.inheritsFrom(TnxFieldsDescriptor::staticClassInfo())) {
      aDescriptor = fields;
      return true;
    }
    return TnxDictionaryItem::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
  }
  TnxFieldsDescriptor* fields = nullptr;
  std::int32_t nextID = 0;
  std::int32_t version = 4;
  bool byteOrderForWide = true;
};

struct ObjectFree {
  void operator()(platform::TObject* aObject) const { platform::TObject::free(aObject); }
};
template <class T>
using Owned = std::unique_ptr<T, ObjectFree>;

class KeyEngineTest : public ::testing::Test {
 protected:
  KeyTable table;
  std::vector<TnxDictionaryItem*> keys;  // freed before the fields

  void SetUp() override {
    nxllUtilsInitialize();
    nxsdDataDictionaryInitialize(std::span<const nxString>());  // key and filter engines too
    table.fields = platform::create<TnxFieldsDescriptor>(&table);
  }
  void TearDown() override {
    for (auto it = keys.rbegin(); it != keys.rend(); ++it) platform::TObject::free(*it);
    platform::TObject::free(table.fields);
    table.fields = nullptr;
    nxsdDataDictionaryFinalize();
    nxllUtilsFinalize();
  }

  std::int32_t AddField(const nxString& aName, TnxFieldType aType, std::int32_t aUnits = 0, std::int32_t aDecPl = 0) {
    return table.fields->AddField(aName, u"", aType, aUnits, aDecPl, false)->Number();
  }
  template <class T = TnxCompKeyDescriptor>
  T* NewKey() {
    T* k = platform::create<T>(&table);
    keys.push_back(k);
    return k;
  }
  static Owned<TnxCompKeyEngine> Engine(TnxBaseKeyDescriptor* aKey) {
    return Owned<TnxCompKeyEngine>(static_cast<TnxCompKeyEngine*>(TnxBaseKeyEngine::CreateFor(aKey)));
  }

  // A record buffer with every field NULL.
  std::vector<std::uint8_t> NewRecord() const {
    std::vector<std::uint8_t> r(static_cast<std::size_t>(table.fields->RecordLength()) + 8, 0);
    table.fields->InitRecord(r.data());
    return r;
  }
  std::uint8_t* FieldPtr(std::vector<std::uint8_t>& aRecord, std::int32_t aField) const {
    return aRecord.data() + table.fields->Fields(aField)->fdOffset;
  }
  void SetRaw(std::vector<std::uint8_t>& aRecord, std::int32_t aField, const void* aValue, std::size_t aSize) const {
    std::uint8_t* p = FieldPtr(aRecord, aField);
    std::memset(p, 0, static_cast<std::size_t>(table.fields->Fields(aField)->fdLength));
    std::memcpy(p, aValue, aSize);
    table.fields->SetRecordFieldNull(aField, aRecord.data(), false);
  }
  template <class T>
  void Set(std::vector<std::uint8_t>& aRecord, std::int32_t aField, T aValue) const {
    SetRaw(aRecord, aField, &aValue, sizeof aValue);
  }
  void SetShort(std::vector<std::uint8_t>& aRecord, std::int32_t aField, const std::string& aBytes) const {
    std::string s(1, static_cast<char>(aBytes.size()));
    s += aBytes;
    SetRaw(aRecord, aField, s.data(), s.size());
  }
  void SetNull(std::vector<std::uint8_t>& aRecord, std::int32_t aField, const std::string& aBytes) const {
    SetRaw(aRecord, aField, aBytes.c_str(), aBytes.size() + 1);
  }
  void SetWide(std::vector<std::uint8_t>& aRecord, std::int32_t aField, const std::u16string& aText) const {
    SetRaw(aRecord, aField, aText.c_str(), (aText.size() + 1) * 2);
  }
  void SetNullField(std::vector<std::uint8_t>& aRecord, std::int32_t aField) const {
    table.fields->SetRecordFieldNull(aField, aRecord.data(), true);
  }
};

}  // namespace nxsdkeytest
