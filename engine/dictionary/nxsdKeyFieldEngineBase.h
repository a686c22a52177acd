// Key field engines: how one field of a record becomes one slot of a
// composite key, how big the slot is and how two slots compare. The order
// these routines give is the order of every composite index on disk.
//
// Every decision (type, direction, locale, code pages, shortening) is taken
// once in the constructor and kept as plain function pointers; building or
// comparing a slot is one indirect call. The descending routines answer the
// exact opposite of the ascending ones.
//
// Orders we fixed: floating-point slots use a total order (NaN after every
// number ascending, NaN equal to NaN, -0 equal to +0). Locale comparisons of
// zero-terminated texts never read beyond the slot (or the record field) even
// when the terminator is missing.
//
// Registry: a process-wide list of (name, class), names unique without regard
// to letter case, guarded by a padlock created at start-up. Class-level
// operations (Register, CreateEngine, ...) take the padlock for their whole
// run; CreateEngine constructs under it.
//
// Thread safety: an engine never changes after construction; its routines
// may run on several threads at once (temporary slots come from the
// thread-safe pool or the stack).
#pragma once

#include <cstdint>
#include <string>

#include "nxllComponent.h"
#include "nxllException.h"
#include "nxllMemoryManager.h"
#include "nxsdDataDictionary.h"
#include "nxsdTypes.h"
#include "plDateTime.h"
#include "plVariant.h"

// -1 first is less, 0 equal, 1 first is greater.
using TValueRelationship = std::int8_t;

NX_DECLARE_EXCEPTION(EnxCompositeKeyFieldEngineException, EnxBaseException)

class TnxCompositeKeyFieldEngine;

// The routines an engine picks at construction; all take the engine itself.
using TnxCKFECompare = TValueRelationship (*)(const TnxCompositeKeyFieldEngine& aEngine, const void* a,
                                              const void* b);
using TnxCKFEPartialCompare = TValueRelationship (*)(const TnxCompositeKeyFieldEngine& aEngine, const void* a,
                                                     const void* b, std::int32_t aPartialLen);
using TnxCKFEBuildKey = void (*)(const TnxCompositeKeyFieldEngine& aEngine, const void* aField, void* aKey);
using TnxCKFEKeyToRecord = TnxResult (*)(const TnxCompositeKeyFieldEngine& aEngine, const void* aKey,
                                         void* aField);
using TnxCKFEKeyAsVariant = void (*)(const TnxCompositeKeyFieldEngine& aEngine, const void* aKey,
                                     platform::Variant& aValue);

// Partial lengths that stand for "the length of the first / second value".
inline constexpr std::int32_t nxPartialLenOfFirst = 0x7FFFFFFE;
inline constexpr std::int32_t nxPartialLenOfSecond = 0x7FFFFFFD;

// Class-level operations of a key field engine class.
struct TnxKeyFieldEngineClassFuncs {
  TnxCompositeKeyFieldEngine* (*create)(TnxKeyFieldDescriptor* aKeyFieldDescriptor);
  bool (*supportsFieldType)(TnxFieldType aFieldType);
};
template <class T>
inline constexpr TnxKeyFieldEngineClassFuncs nxKeyFieldEngineFuncs{
    [](TnxKeyFieldDescriptor* aKeyFieldDescriptor) -> TnxCompositeKeyFieldEngine* {
      return platform::create<T>(aKeyFieldDescriptor);
    },
    &T::SupportsFieldType};

class TnxCompositeKeyFieldEngine : public TnxPersistent, public InxFieldDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  // 12289 for a BLOB field; 8712 for a key field without its field.
  explicit TnxCompositeKeyFieldEngine(TnxKeyFieldDescriptor* aKeyFieldDescriptor)
      : TnxCompositeKeyFieldEngine(aKeyFieldDescriptor, true) {}
  TnxCompositeKeyFieldEngine(const TnxCompositeKeyFieldEngine&) = delete;
  TnxCompositeKeyFieldEngine& operator=(const TnxCompositeKeyFieldEngine&) = delete;

  // --- class operations (registry padlock held throughout)
  static void Register(const nxString& aName, const platform::ClassInfo& aClass);
  // Every entry of aClass or a descendant.
  static void Unregister(const platform::ClassInfo& aClass);
  // Comma-separated names in registry order; empty without a registry.
  static nxString RegisteredEngines();
  // 15503 "CompositeKeyFieldEngine "%s" is not registered".
  static TnxCompositeKeyFieldEngine* CreateEngine(TnxKeyFieldDescriptor* aKeyFieldDescriptor);
  static void CheckValidBase(TnxKeyFieldDescriptor* aKeyFieldDescriptor);
  static bool CheckSupportsFieldType(const nxString& aEngineName, TnxFieldType aFieldType);
  static bool SupportsFieldType(TnxFieldType aFieldType);
  // Builds an engine of aClass for the descriptor and frees it again.
  static void CheckValidDescriptor(const platform::ClassInfo& aClass, TnxKeyFieldDescriptor* aKeyFieldDescriptor);

  // --- InxFieldDescriptor (the key's own units and code page)
  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override;
  std::int32_t AddRef() override { return -1; }
  std::int32_t Release() override { return -1; }
  nxString GetFieldName() override { return ckfeFieldName; }
  TnxFieldType GetFieldType() override { return ckfeFieldType; }
  std::int32_t GetFieldUnits() override { return ckfeKeyUnits; }
  std::int32_t GetFieldDecPl() override { return ckfeFieldDecPl; }
  TnxLocaleDescriptor* GetFieldLocaleDescriptor() override { return ckfeLocaleDescriptor; }
  std::uint16_t GetFieldStorageCodePage() override { return ckfeCompareCodepage; }

  TnxFieldType FieldType() const { return ckfeFieldType; }
  std::int32_t FieldOffset() const { return ckfeFieldOffset; }
  std::int32_t FieldNumber() const { return ckfeFieldNumber; }
  std::int32_t KeyLength() const { return ckfeKeyLength; }
  bool NLSVersionChanged() const { return ckfeNLSVersionChanged; }

  // --- the chosen routines, called directly by the composite key engine
  TValueRelationship CompareKey(const void* a, const void* b) const { return fCompareKey(*this, a, b); }
  TValueRelationship CompareFieldDirect(const void* a, const void* b) const {
    return fCompareFieldDirect(*this, a, b);
  }
  TValueRelationship CompareKeyToFieldDirect(const void* aKey, const void* aField) const {
    return fCompareKeyToFieldDirect(*this, aKey, aField);
  }
  // The chosen key-key routine itself, for callers that keep it beside the slot.
  TnxCKFECompare CompareKeyRoutine() const { return fCompareKey; }
  bool HasPartialCompare() const { return fPartialCompareKey != nullptr; }
  // REQUIRES: HasPartialCompare().
  TValueRelationship PartialCompareKey(const void* a, const void* b, std::int32_t aPartialLen) const {
    return fPartialCompareKey(*this, a, b, aPartialLen);
  }
  TValueRelationship PartialCompareFieldDirect(const void* a, const void* b, std::int32_t aPartialLen) const {
    return fPartialCompareFieldDirect(*this, a, b, aPartialLen);
  }
  TValueRelationship PartialCompareKeyToFieldDirect(const void* aKey, const void* aField,
                                                    std::int32_t aPartialLen) const {
    return fPartialCompareKeyToFieldDirect(*this, aKey, aField, aPartialLen);
  }
  void BuildKey(const void* aField, void* aKey) const { fBuildKey(*this, aField, aKey); }
  // 12289 (nothing written) when the slot does not hold the record's bytes.
  TnxResult KeyToRecord(const void* aKey, void* aField) const { return fKeyToRecord(*this, aKey, aField); }
  void KeyAsVariant(const void* aKey, platform::Variant& aValue) const { fKeyAsVariant(*this, aKey, aValue); }

  // --- fields (read-only after construction)
  nxString ckfeFieldName;
  TnxFieldType ckfeFieldType = nxtBoolean;
  std::int32_t ckfeFieldDecPl = 0;
  std::int32_t ckfeFieldLength = 0;
  std::int32_t ckfeFieldOffset = 0;
  std::int32_t ckfeFieldNumber = 0;
  std::int32_t ckfeFieldUnits = 0;
  std::int32_t ckfeKeyChars = 0;
  std::int32_t ckfeKeyLength = 0;
  std::int32_t ckfeBuildKeyLength = 0;
  std::int32_t ckfeKeyUnits = 0;
  TnxMemoryPool ckfeAllocator;
  std::uint32_t ckfeLocale = 0;
  bool ckfeUseByteOrder = true;
  bool ckfeIgnoreCase = false;
  std::uint32_t ckfeCompareFlags = 0;
  TnxLocaleDescriptor* ckfeLocaleDescriptor = nullptr;
  std::uint16_t ckfeStorageCodepage = 0;
  std::uint16_t ckfeCompareCodepage = 0;
  bool ckfeStorageMultiByte = false;
  bool ckfeCompareMultiByte = false;
  bool ckfeNLSVersionChanged = false;
  bool ckfeTextKeyField = false;
  bool InvertNull = false;
  bool FilterNull = false;
  bool FilterNonNull = false;
  bool Ascend = true;
  bool KeySameAsRecordFormat = true;

 protected:
  // aKeySameAsRecordFormat: False for every variant class.
  TnxCompositeKeyFieldEngine(TnxKeyFieldDescriptor* aKeyFieldDescriptor, bool aKeySameAsRecordFormat);
  // For the variants: a new build routine; the direct routines then build too.
  void ReplaceBuildKey(TnxCKFEBuildKey aBuildKey);

  TnxCKFECompare fCompareKey = nullptr;
  TnxCKFECompare fCompareFieldDirect = nullptr;
  TnxCKFECompare fCompareKeyToFieldDirect = nullptr;
  TnxCKFEPartialCompare fPartialCompareKey = nullptr;
  TnxCKFEPartialCompare fPartialCompareFieldDirect = nullptr;
  TnxCKFEPartialCompare fPartialCompareKeyToFieldDirect = nullptr;
  TnxCKFEBuildKey fBuildKey = nullptr;
  TnxCKFEKeyToRecord fKeyToRecord = nullptr;
  TnxCKFEKeyAsVariant fKeyAsVariant = nullptr;

 private:
  void ChooseCompare();
  void ChooseBuild();
};

// Keeps only the digits '0'..'9' of a text field.
class TnxNumbersOnlyCKFE : public TnxCompositeKeyFieldEngine {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxNumbersOnlyCKFE(TnxKeyFieldDescriptor* aKeyFieldDescriptor);
  static bool SupportsFieldType(TnxFieldType aFieldType);
};

// A date-time cut to its day.
class TnxDateOnlyCKFE : public TnxCompositeKeyFieldEngine {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxDateOnlyCKFE(TnxKeyFieldDescriptor* aKeyFieldDescriptor);
  static bool SupportsFieldType(TnxFieldType aFieldType);
};

// A date-time cut to its day, then reshaped by ProcessTimeStamp.
class TnxDateOnlyProcessCKFE : public TnxCompositeKeyFieldEngine {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxDateOnlyProcessCKFE(TnxKeyFieldDescriptor* aKeyFieldDescriptor);
  static bool SupportsFieldType(TnxFieldType aFieldType);
  virtual void ProcessTimeStamp(const platform::TimeStamp& aIn, platform::TimeStamp& aOut) const;
};

class TnxDateOnlyWeekCKFE : public TnxDateOnlyProcessCKFE {
  PL_CLASS_INFO_DECL()
 public:
  using TnxDateOnlyProcessCKFE::TnxDateOnlyProcessCKFE;
  void ProcessTimeStamp(const platform::TimeStamp& aIn, platform::TimeStamp& aOut) const override;
};

class TnxDateOnlyMonthCKFE : public TnxDateOnlyProcessCKFE {
  PL_CLASS_INFO_DECL()
 public:
  using TnxDateOnlyProcessCKFE::TnxDateOnlyProcessCKFE;
  void ProcessTimeStamp(const platform::TimeStamp& aIn, platform::TimeStamp& aOut) const override;
};

class TnxDateOnlyYearCKFE : public TnxDateOnlyProcessCKFE {
  PL_CLASS_INFO_DECL()
 public:
  using TnxDateOnlyProcessCKFE::TnxDateOnlyProcessCKFE;
  void ProcessTimeStamp(const platform::TimeStamp& aIn, platform::TimeStamp& aOut) const override;
};

// Module start-up (padlock and the six registrations) and finalisation.
void nxsdKeyFieldEngineBaseInitialize();
void nxsdKeyFieldEngineBaseFinalize();
