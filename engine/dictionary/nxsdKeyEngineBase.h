// Key engines: build the key of an index from a record buffer, compare keys
// with keys and with records, turn keys back into record fields and render
// them for messages. One engine exists per user of keys (index, sort, ...),
// made from a key descriptor by its class name ("...Descriptor" becomes
// "...Engine") in the key engine family.
//
// Keys are untyped blocks of KeyLength bytes from the engine's pool. A key is
// at most 65535 bytes long (the length is 16 bits wherever it is stored);
// longer keys are refused with 15494 when an engine is made or a descriptor
// checked.
//
// A key engine also answers InxFieldsSource over key buffers, so a filter
// reads key fields as it reads record fields.
//
// Thread safety: an engine never changes after construction and has no lock;
// its operations may run on several threads at once. Its filter engine is
// used under the caller's control.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "nxllComponent.h"
#include "nxllException.h"
#include "nxllMemoryManager.h"
#include "nxllOwners.h"
#include "nxllRegisterableEngine.h"
#include "nxsdDataDictionary.h"
#include "nxsdFilterEngineBase.h"
#include "nxsdKeyFieldEngineBase.h"
#include "nxsdTypes.h"
#include "plVariant.h"

NX_DECLARE_EXCEPTION(EnxBaseKeyEngineException, EnxBaseException)

class TnxBaseKeyEngine;

inline constexpr std::uint32_t nxMaxKeyLength = 65535;

// Class-level operations of a key engine class.
struct TnxKeyEngineClassFuncs {
  TnxBaseKeyEngine* (*create)(TnxBaseKeyDescriptor* aDescriptor);
  void (*checkValidDescriptor)(TnxBaseKeyDescriptor* aDescriptor);
  bool (*supportsReindex)();
};
template <class T>
inline constexpr TnxKeyEngineClassFuncs nxKeyEngineFuncs{
    [](TnxBaseKeyDescriptor* aDescriptor) -> TnxBaseKeyEngine* { return platform::create<T>(aDescriptor); },
    &T::CheckValidDescriptor, &T::SupportsReindex};

class TnxBaseKeyEngine : public TnxBaseRegisterableEngine, public InxFieldsSource {
  PL_CLASS_INFO_DECL()
 public:
  // 15494 for a key above 65535 bytes. With a filter in the descriptor, an
  // active filter engine over the table's fields.
  explicit TnxBaseKeyEngine(TnxBaseKeyDescriptor* aDescriptor);
  ~TnxBaseKeyEngine() override;
  TnxBaseKeyEngine(const TnxBaseKeyEngine&) = delete;
  TnxBaseKeyEngine& operator=(const TnxBaseKeyEngine&) = delete;
  static TnxClassList& GetList();

  // 15503 "Unknown Key engine: "<name>"".
  static TnxBaseKeyEngine* CreateFor(TnxBaseKeyDescriptor* aDescriptor);
  // aKeyEngine nil first; 15503 with the same text pending when unknown.
  static TnxResult TryCreateFor(TnxBaseKeyDescriptor* aDescriptor, TnxBaseKeyEngine*& aKeyEngine);
  // 15494 for a key above 65535 bytes; 15503 when unknown; then the class's check.
  static void CheckValidBaseFromDescriptor(TnxBaseKeyDescriptor* aDescriptor);
  static void CheckValidDescriptor(TnxBaseKeyDescriptor* /*aDescriptor*/) {}
  static bool SupportsReindex() { return true; }

  TnxBaseKeyDescriptor* KeyDescriptor() const { return bkeKeyDescriptor; }
  std::uint16_t KeyLength() const { return bkeKeyLength; }
  TnxBaseFilterEngine* Filter() const { return bkeFilter.get(); }
  bool NLSVersionChanged() const { return bkeNLSVersionChanged; }
  bool ContainsExtended() const { return bkeContainsExtended; }
  std::int32_t FieldsOffset() { return GetFieldsOffset(); }
  std::int32_t MaxFieldCount() { return GetFieldCount(); }

  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aFlag) override;

  // --- InxFieldsSource (the key engines keep no reference count)
  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override;
  std::int32_t AddRef() override { return -1; }
  std::int32_t Release() override { return -1; }
  platform::Variant GetFieldAsVariant(const void* aKey, std::int32_t aField) override;
  bool BlobsSupported() override { return false; }
  platform::TObject* GetCursor() override { return nullptr; }
  virtual std::int32_t GetKeyFieldOffset(std::int32_t /*aIndex*/) { return -1; }

  // --- keys
  PnxKeyBuffer AllocKey();
  void FreeKey(PnxKeyBuffer& aKey);
  void CopyKey(const void* aFrom, void* aTo) const;
  virtual void ClearKey(void* aKey) = 0;
  // 0 built; 1 the record lies outside the key's filter ("Key has been
  // filtered"; aKey may hold part of a key); 9986 for a nil record.
  virtual TnxResult BuildKey(const void* aRecord, void* aKey, TnxRefNr aRefNr, bool aIgnoreFilter) = 0;
  virtual TnxResult KeyToRecord(const void* aKey, void* aRecord);

  // The first aFieldCount key fields, the last of them on its first
  // aPartialLen characters (0, 0: the whole key).
  virtual TValueRelationship CompareKey(const void* aKey1, const void* aKey2, std::int32_t aFieldCount,
                                        std::int32_t aPartialLen) = 0;
  TValueRelationship CompareKey(const void* aKey1, const void* aKey2) { return CompareKey(aKey1, aKey2, 0, 0); }
  // The base builds the record's key (filter ignored) and raises the build
  // result when it is not 0.
  virtual TValueRelationship CompareKeyToRecord(const void* aKey, const void* aRecord, TnxRefNr aRefNr,
                                                std::int32_t aFieldCount, std::int32_t aPartialLen);
  TValueRelationship CompareKeyToRecord(const void* aKey, const void* aRecord, TnxRefNr aRefNr) {
    return CompareKeyToRecord(aKey, aRecord, aRefNr, 0, 0);
  }
  virtual TValueRelationship CompareRecord(const void* aRecord1, TnxRefNr aRefNr1, const void* aRecord2,
                                           TnxRefNr aRefNr2, std::int32_t aFieldCount, std::int32_t aPartialLen);
  TValueRelationship CompareRecord(const void* aRecord1, TnxRefNr aRefNr1, const void* aRecord2, TnxRefNr aRefNr2) {
    return CompareRecord(aRecord1, aRefNr1, aRecord2, aRefNr2, 0, 0);
  }
  TValueRelationship CompareRecord(const void* aRecord1, const void* aRecord2) {
    return CompareRecord(aRecord1, 0, aRecord2, 0, 0, 0);
  }

  // aField -1: every field (a variant array from two fields on).
  virtual platform::Variant KeyAsVariant(const void* aKey, std::int32_t aField) = 0;
  // "NULL, 7": fields joined by ", ", texts quoted; "" when rendering fails.
  nxString KeyAsString(const void* aKey);
  // Each field under its name; every failure is swallowed.
  void KeyAsExceptionData(const void* aKey, const TnxIntfPtr<InxExceptionDataContainer>& aContainer);
  virtual bool KeyContainsNulls(const void* /*aKey*/) { return false; }

 protected:
  TnxBaseKeyDescriptor* bkeKeyDescriptor;  // not owned
  std::uint16_t bkeKeyLength = 0;
  TnxMemoryPool bkeMemoryPool;
  TnxOwned<TnxBaseFilterEngine> bkeFilter;
  bool bkeNLSVersionChanged = false;
  bool bkeContainsExtended = false;

 private:
  // A key from the pool, returned whatever happens.
  class ScopedKey;
};

// A key field that is no record field (a reference, a token, ...): its
// descriptor and where it lies in the key. Kept by its engine; no
// reference count.
class TnxKeyPseudoField final : public InxFieldDescriptor {
 public:
  TnxKeyPseudoField(const nxString& aName, TnxFieldType aType, std::int32_t aUnits, std::int32_t aOffset,
                    TnxLocaleDescriptor* aLocale = nullptr)
      : kpfName(aName), kpfType(aType), kpfUnits(aUnits), kpfOffset(aOffset), kpfLocale(aLocale) {}
  std::int32_t Offset() const { return kpfOffset; }

  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override;
  std::int32_t AddRef() override { return -1; }
  std::int32_t Release() override { return -1; }
  nxString GetFieldName() override { return kpfName; }
  TnxFieldType GetFieldType() override { return kpfType; }
  std::int32_t GetFieldUnits() override { return kpfUnits; }
  std::int32_t GetFieldDecPl() override { return 0; }
  TnxLocaleDescriptor* GetFieldLocaleDescriptor() override { return kpfLocale; }
  std::uint16_t GetFieldStorageCodePage() override { return 0; }

 private:
  nxString kpfName;
  TnxFieldType kpfType;
  std::int32_t kpfUnits;
  std::int32_t kpfOffset;
  TnxLocaleDescriptor* kpfLocale;
};

// The field source over pseudo fields. FromName: case ignored, -1 when
// unknown. ForFilter: aName (when given) chooses the field; False outside
// the fields; otherwise the field's type, size 0, code page 0, null
// without data and its address in aData.
std::int32_t nxPseudoFieldFromName(std::span<TnxKeyPseudoField> aFields, std::string_view aName);
bool nxPseudoFieldForFilter(std::span<TnxKeyPseudoField> aFields, std::int32_t aField, const char* aName,
                            const void* aData, std::uint16_t& aType, std::uint16_t& aSize, bool& aIsNull,
                            const void*& aValue, std::uint16_t& aCodePage);

// Module start-up and finalisation of the key engine family.
void nxsdKeyEngineBaseInitialize();
void nxsdKeyEngineBaseFinalize();
