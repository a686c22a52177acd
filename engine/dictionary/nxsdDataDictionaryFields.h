// Field descriptors, their default values and the fields descriptor that
// lays out the record buffer. Part of nxsdDataDictionary: include
// nxsdDataDictionary.h, not this header.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "nxsdDataDictionaryItems.h"
#include "nxsdFilterDescriptorBase.h"
#include "plVariant.h"

// ---------------------------------------------------------------------------
// Exceptions

NX_DECLARE_EXCEPTION(EnxFieldsDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxBaseDefaultValueDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxConstDefaultValueDescriptorException, EnxBaseDefaultValueDescriptorException)
NX_DECLARE_EXCEPTION(EnxBaseFieldValidationDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxMinMaxValidationDescriptorException, EnxBaseFieldValidationDescriptorException)
NX_DECLARE_EXCEPTION(EnxNoChangeValidationDescriptorException, EnxBaseFieldValidationDescriptorException)
NX_DECLARE_EXCEPTION(EnxSqlCheckValidationDescriptorException, EnxBaseFieldValidationDescriptorException)
NX_DECLARE_EXCEPTION(EnxFieldValidationsDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxFieldDescriptorException, EnxLocaleizedDictionaryItemException)

// ---------------------------------------------------------------------------
// Fields and default values
//
// A field descriptor is owned by its fields descriptor, which keeps fdNumber,
// fdOffset and fdBlobIndex. The default value belongs to the field. The data
// members are public like the record layout they describe; change them only
// through the fields descriptor or follow a change with UpdateSetup.

class TnxFieldDescriptor;
class TnxFieldsDescriptor;
class TnxBaseDefaultValueDescriptor;
class TnxFieldValidationsDescriptor;
class TnxFieldsValidationsDescriptor;

enum TnxApplyAt : std::uint8_t { aaServer, aaClient };
using TnxApplyAtSet = std::uint8_t;  // bit per TnxApplyAt
inline constexpr TnxApplyAtSet nxApplyAtBit(TnxApplyAt a) { return static_cast<TnxApplyAtSet>(1u << a); }
inline constexpr TnxApplyAtSet nxApplyAtBoth = nxApplyAtBit(aaServer) | nxApplyAtBit(aaClient);

struct TnxDefaultValueDescriptorClassFuncs {
  TnxBaseDefaultValueDescriptor* (*create)(TnxPersistent* aParent);
};
template <class T>
inline constexpr TnxDefaultValueDescriptorClassFuncs nxDefaultValueDescriptorFuncs{
    [](TnxPersistent* aParent) -> TnxBaseDefaultValueDescriptor* { return platform::create<T>(aParent); }};

class TnxBaseDefaultValueDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  // The parent is the field; a BLOB field refuses every default (10001).
  explicit TnxBaseDefaultValueDescriptor(TnxPersistent* aParent);
  static TnxClassList& GetList();
  // 15499 for a class without the family's table.
  static TnxBaseDefaultValueDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent);

  // The engine class found for this descriptor; written while a read-only
  // dictionary is shared between threads, so kept atomic.
  const platform::ClassInfo* CachedEngineClass() const {
    return bdvCachedEngineClass.load(std::memory_order_acquire);
  }
  void SetCachedEngineClass(const platform::ClassInfo* aClass) {
    bdvCachedEngineClass.store(aClass, std::memory_order_release);
  }
  TnxApplyAtSet ApplyAt() const { return bdvApplyAt; }
  bool ApplyOnInsert() const { return bdvApplyOnInsert; }
  bool ApplyOnModify() const { return bdvApplyOnModify; }
  bool OverwriteNonNull() const { return bdvOverwriteNonNull; }
  virtual void SetApplyAt(TnxApplyAtSet aValue);
  virtual void SetApplyOnInsert(bool aValue);
  virtual void SetApplyOnModify(bool aValue);
  virtual void SetOverwriteNonNull(bool aValue);
  // Field types a default of this class cannot be put on.
  virtual TnxFieldTypes GetInvalidFieldTypes() const { return 0; }
  // The field above, nil when none.
  TnxFieldDescriptor* Field() const;

  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  std::atomic<const platform::ClassInfo*> bdvCachedEngineClass{nullptr};
  TnxApplyAtSet bdvApplyAt = nxApplyAtBoth;
  bool bdvApplyOnInsert = true;
  bool bdvApplyOnModify = false;
  bool bdvOverwriteNonNull = false;
};

// The value in the field's storage form, with the format it was made for.
class TnxConstDefaultValueDescriptor : public TnxBaseDefaultValueDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  // 8712 without a field above.
  explicit TnxConstDefaultValueDescriptor(TnxPersistent* aParent);
  TnxFieldTypes GetInvalidFieldTypes() const override { return nxBlobFieldTypes; }

  platform::Variant AsVariant();
  void SetAsVariant(const platform::Variant& aValue);
  const std::vector<std::uint8_t>& DefaultValue() const { return cdvDefaultValue; }
  // Re-fits the bytes to the field's present format; aConvert keeps the value
  // (10002 when it cannot be converted), else it is dropped.
  void FitToField(bool aConvert);

  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

  TnxFieldType cdvFieldType = nxtBoolean;
  std::uint16_t cdvFieldCodePage = 0;
  std::int32_t cdvFieldUnits = 0;
  std::int32_t cdvFieldDecPl = 0;
  std::int32_t cdvFieldLength = 0;

 private:
  TnxFieldDescriptor& RelatedField() const;
  std::vector<std::uint8_t> cdvDefaultValue;
};

class TnxCurrentDateTimeDefaultValueDescriptor : public TnxBaseDefaultValueDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseDefaultValueDescriptor::TnxBaseDefaultValueDescriptor;
  TnxFieldTypes GetInvalidFieldTypes() const override;
};

class TnxCurrentUserDefaultValueDescriptor : public TnxBaseDefaultValueDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseDefaultValueDescriptor::TnxBaseDefaultValueDescriptor;
  TnxFieldTypes GetInvalidFieldTypes() const override;
};

class TnxAutoGuidDefaultValueDescriptor : public TnxBaseDefaultValueDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseDefaultValueDescriptor::TnxBaseDefaultValueDescriptor;
  TnxFieldTypes GetInvalidFieldTypes() const override;
};

class TnxEmptyDefaultValueDescriptor : public TnxBaseDefaultValueDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseDefaultValueDescriptor::TnxBaseDefaultValueDescriptor;
  TnxFieldTypes GetInvalidFieldTypes() const override;
};

// Always applied on the server, on insert and over any value; ApplyOnModify
// decides between the modify-LSN and the insert-LSN field.
class TnxNextLSNDefaultValueDescriptor : public TnxBaseDefaultValueDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxNextLSNDefaultValueDescriptor(TnxPersistent* aParent);
  TnxFieldTypes GetInvalidFieldTypes() const override;
  void SetApplyAt(TnxApplyAtSet aValue) override;
  void SetApplyOnInsert(bool aValue) override;
  void SetOverwriteNonNull(bool aValue) override;
};

// A field as key field engines and filters see it, whatever its class. The
// implementers keep no reference count: the owner decides the lifetime.
class InxFieldDescriptor : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x6A1F3C52, 0x0D47, 0x4E8B, {0x9C, 0x21, 0x5B, 0x7E, 0x30, 0x44, 0xD1, 0x8A}};
  virtual nxString GetFieldName() = 0;
  virtual TnxFieldType GetFieldType() = 0;
  virtual std::int32_t GetFieldUnits() = 0;
  virtual std::int32_t GetFieldDecPl() = 0;
  // The used locale descriptor (own or inherited), nil when none.
  virtual TnxLocaleDescriptor* GetFieldLocaleDescriptor() = 0;
  virtual std::uint16_t GetFieldStorageCodePage() = 0;

 protected:
  ~InxFieldDescriptor() = default;
};

struct TnxFieldDescriptorClassFuncs {
  TnxFieldDescriptor* (*create)(TnxPersistent* aParent, const nxString& aName, const nxString& aDesc,
                                TnxFieldType aType, std::int32_t aUnits, std::int32_t aDecPl, bool aRequired);
};
template <class T>
inline constexpr TnxFieldDescriptorClassFuncs nxFieldDescriptorFuncs{
    [](TnxPersistent* aParent, const nxString& aName, const nxString& aDesc, TnxFieldType aType,
       std::int32_t aUnits, std::int32_t aDecPl, bool aRequired) -> TnxFieldDescriptor* {
      return platform::create<T>(aParent, aName, aDesc, aType, aUnits, aDecPl, aRequired);
    }};

class TnxFieldDescriptor : public TnxLocalizedDictionaryItem, public InxFieldDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  // 10038 unless aName is a valid identifier; units, decimals and the
  // required flag are normalised for the type and fdLength set.
  TnxFieldDescriptor(TnxPersistent* aParent, const nxString& aName, const nxString& aDesc, TnxFieldType aType,
                     std::int32_t aUnits, std::int32_t aDecPl, bool aRequired);
  ~TnxFieldDescriptor() override;
  static TnxClassList& GetList();
  // 15499 for a class without the family's table.
  static TnxFieldDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent,
                                           const nxString& aName, const nxString& aDesc, TnxFieldType aType,
                                           std::int32_t aUnits, std::int32_t aDecPl, bool aRequired);
  // The type's normalisation; nothing changes for a type value of 32 or more.
  static void SetupField(TnxFieldType aType, std::int32_t& aUnits, std::int32_t& aDecPl, bool& aRequired,
                         std::int32_t& aLength);
  void UpdateSetup();

  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override;
  std::int32_t AddRef() override { return -1; }
  std::int32_t Release() override { return -1; }
  nxString GetFieldName() override { return fdName; }
  TnxFieldType GetFieldType() override { return fdType; }
  std::int32_t GetFieldUnits() override { return fdUnits; }
  std::int32_t GetFieldDecPl() override { return fdDecPl; }
  TnxLocaleDescriptor* GetFieldLocaleDescriptor() override { return UsedLocaleDescriptor(); }
  std::uint16_t GetFieldStorageCodePage() override { return UsedStorageCodePage(); }

  const nxString& Name() const { return fdName; }
  std::int32_t Number() const { return fdNumber; }
  // 10038 for an invalid name, 10009 when the fields descriptor finds it
  // (this field included), 8712 without a fields descriptor.
  void ChangeName(const nxString& aNewName);

  TnxBaseDefaultValueDescriptor* DefaultValue() const { return fdDefaultValue; }
  // aClass nil: TnxConstDefaultValueDescriptor. Replaces the present one.
  TnxBaseDefaultValueDescriptor* AddDefaultValue(const platform::ClassInfo* aClass = nullptr);
  void RemoveDefaultValue();

  TnxFieldValidationsDescriptor* Validations() const { return fdValidations; }
  // aClass nil: TnxFieldValidationsDescriptor. Replaces the present one.
  TnxFieldValidationsDescriptor* AddValidations(const platform::ClassInfo* aClass = nullptr);
  TnxFieldValidationsDescriptor* EnsureValidations();
  void RemoveValidations();

  // nil: Null.
  platform::Variant fdGetBufferAsVariant(const void* aFieldBuffer);
  // Empty or Null zero-fill; a failed conversion leaves the buffer zeroed.
  void fdSetBufferAsVariant(void* aFieldBuffer, const platform::Variant& aValue);
  nxString ToString() const;
  virtual void MakeFieldCacheable();
  virtual bool IsValidForTable(TnxDictionaryItem* /*aTable*/) { return true; }

  // A field outside any dictionary.
  static TnxFieldDescriptor* CreateStandaloneFromReader(TnxReader& aReader);
  void SaveStandalone(TnxWriter& aWriter, std::int32_t aVersion);
  // The header the fields list and the standalone form put before the stream.
  void SaveHeader(TnxWriter& aWriter, std::int32_t aClientVersion);

  void Clear(bool aNotify) override;
  bool FindRelatedDescriptorOfType(const platform::ClassInfo& aType, TnxDictionaryItem*& aDescriptor,
                                   TnxDictionaryItem* aFrom) override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

  nxString fdName;
  std::int32_t fdNumber = 0;
  nxString fdNameLowerCase;
  TnxFieldDescriptor* fdSameHashNext = nullptr;
  nxString fdDesc;
  TnxFieldType fdType;
  std::int32_t fdUnits;
  std::int32_t fdDecPl;
  std::int32_t fdOffset = 0;
  std::int32_t fdLength = 0;
  TnxBaseDefaultValueDescriptor* fdDefaultValue = nullptr;  // owned
  TnxFieldValidationsDescriptor* fdValidations = nullptr;   // owned
  bool fdRequired;
  bool fdNoClientAccess = false;
  std::int32_t fdBlobIndex = -1;

 protected:
  void beforeDestruction() override;

 private:
  static const nxString& CheckedName(const nxString& aName);
};

// Reads a field header and builds the field of the named class (15499 with
// "FieldDescriptor" for an unknown class, 15498 for an unknown type name).
TnxFieldDescriptor* nxsdReadFieldHeader(TnxReader& aReader, TnxPersistent* aParent);
// The TnxFieldType of a value name; false when none.
bool nxsdFieldTypeFromName(const nxString& aName, TnxFieldType& aType);


// ---------------------------------------------------------------------------
// The fields of a table and the record buffer
//
// Record layout: the fields packed in order from offset 0 without alignment;
// LRL (fsdLogRecLen) is their sum; the null bitmap (bit i set = field i
// NULL, in 32-bit words, least significant bit first) starts at NB
// (fsdLogRecLenAlign) = LRL rounded up to a multiple of 4, or LRL itself
// under a version-1 dictionary; the record length RL is LRL rounded up to 4
// plus 4 bytes per 32 fields.
//
// Cached mode (a read-only dictionary shared by threads): RL, the record
// pool, the name hash and the special fields info are computed once; the
// diff information is installed once by compare-and-exchange. Outside it,
// every call computes afresh and the descriptor belongs to one thread.

struct TnxFieldsDescriptorClassFuncs {
  TnxFieldsDescriptor* (*create)(TnxPersistent* aParent);
};
template <class T>
inline constexpr TnxFieldsDescriptorClassFuncs nxFieldsDescriptorFuncs{
    [](TnxPersistent* aParent) -> TnxFieldsDescriptor* { return platform::create<T>(aParent); }};

// Filters read records through its InxFieldsSource (no reference count; no
// BLOB access, no cursor, fields at offset 0).
class TnxFieldsDescriptor : public TnxDictionaryItem, public InxFieldsSource {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxFieldsDescriptor(TnxPersistent* aParent);
  ~TnxFieldsDescriptor() override;
  static TnxClassList& GetList();
  static TnxFieldsDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent);

  std::int32_t FieldCount() const { return static_cast<std::int32_t>(FieldDescriptor.size()); }
  // Unchecked position.
  TnxFieldDescriptor* Fields(std::int32_t aIndex) const { return FieldDescriptor[static_cast<std::size_t>(aIndex)]; }
  std::int32_t LogicalRecordLength() const { return fsdLogRecLenAlign; }
  std::int32_t RecordLength() const;
  std::int32_t FieldsOffset() const { return 0; }
  // Pool of items of RL + 4 bytes.
  TnxMemoryPool RecordAllocator() const;
  std::int32_t OriginalFieldCount();
  void SetOriginalFieldCount(std::int32_t aValue);

  // --- record access; a field index outside the list: 9999
  void InitRecord(void* aData) const;
  bool IsRecordFieldNull(std::int32_t aField, const void* aData) const;
  bool IsRecordFieldNullFast(std::int32_t aField, const void* aData) const {
    const auto* bits = static_cast<const std::uint8_t*>(aData) + fsdLogRecLenAlign;
    return (bits[aField >> 3] >> (aField & 7)) & 1;
  }
  void SetRecordFieldNull(std::int32_t aField, void* aData, bool aIsNull) const;
  void SetRecordField(std::int32_t aField, void* aData, const void* aValue) const;
  void GetRecordField(std::int32_t aField, const void* aData, bool& aIsNull, void* aValue) const;
  bool GetRecordFieldForFilter(std::int32_t aField, const void* aData, TnxFieldType& aType, std::int32_t& aSize,
                               const void*& aValue) const;
  const void* GetRecordFieldForFilter(std::int32_t aField, const void* aData) const;
  platform::Variant fsdGetFieldByIndexAsVariant(const void* aRecordBuffer, std::int32_t aIndex);
  void fsdSetFieldByIndexAsVariant(void* aRecordBuffer, std::int32_t aIndex, const platform::Variant& aValue);
  platform::Variant fsdGetFieldByNameAsVariant(const void* aRecordBuffer, const nxString& aName);
  void fsdSetFieldByNameAsVariant(void* aRecordBuffer, const nxString& aName, const platform::Variant& aValue);
  nxString RecordBufferToString(const void* aRecordBuffer);

  // --- the list; aClass nil: TnxFieldDescriptor
  TnxFieldDescriptor* AddField(const nxString& aName, const nxString& aDesc, TnxFieldType aType,
                               std::int32_t aUnits, std::int32_t aDecPl, bool aRequired,
                               const platform::ClassInfo* aClass = nullptr);
  // A copy of aFieldDescriptor.
  TnxFieldDescriptor* AddField(TnxFieldDescriptor* aFieldDescriptor);
  TnxFieldDescriptor* InsertFieldAt(std::int32_t aInx, const nxString& aName, const nxString& aDesc,
                                    TnxFieldType aType, std::int32_t aUnits, std::int32_t aDecPl, bool aRequired,
                                    const platform::ClassInfo* aClass = nullptr);
  void MoveField(std::int32_t aFrom, std::int32_t aTo);
  void RemoveField(std::int32_t aInx);
  void UpdateSetupAndOffsets();
  // Table-level validations; aClass nil: TnxFieldsValidationsDescriptor.
  TnxFieldsValidationsDescriptor* Validations() const { return fsdValidations; }
  TnxFieldsValidationsDescriptor* AddValidations(const platform::ClassInfo* aClass = nullptr);
  TnxFieldsValidationsDescriptor* EnsureValidations();
  void RemoveValidations();
  void UpdateLogRecLenAlign();
  virtual void MakeFieldsCacheable();

  void AddFieldChangeNotify(TnxDictionaryItem* aItem);
  void RemoveFieldChangeNotify(TnxDictionaryItem* aItem);
  void fsdFieldChangeNotification(bool aBefore, std::int32_t aOldField, std::int32_t aNewField);
  void GetFields(platform::TStringList& aStrings) const;

  // --- lookups; -1 when none
  std::int32_t GetFieldFromName(const nxString& aFieldName) const;
  std::int32_t GetFieldFromNameFast(const nxString& aLowerName) const;
  bool HasAutoIncField(std::int32_t& aField) { return HasSpecial(sftAutoInc, aField); }
  bool HasAutoGuidField(std::int32_t& aField) { return HasSpecial(sftAutoGuid, aField); }
  bool HasRecRevField(std::int32_t& aField) { return HasSpecial(sftRecRev, aField); }
  bool HasRefNrField(std::int32_t& aField) { return HasSpecial(sftRefNr, aField); }
  bool HasModifyLSNField(std::int32_t& aField) { return HasSpecial(sftModifyLSN, aField); }
  bool HasInsertLSNField(std::int32_t& aField) { return HasSpecial(sftInsertLSN, aField); }
  bool HasBlobFields(TnxBlobFields& aBlobFields);
  // Nil: only whether there is one.
  bool HasBlobFields(TnxList* aBlobFields);
  bool HasSameFields(const TnxFieldsDescriptor* aSource, TnxList* aBlobFields);
  // Releases what aInfo holds, then shares the cached info or builds one.
  void GetSpecialFieldsInfo(PnxSpecialFieldsInfo& aInfo);
  // Releases what aDCI holds (unless it is the cached one), then shares or builds.
  void GetDiffCompressionInfo(PnxDiffCompressorInfo& aDCI);

  void ActivateCache() override;
  void DeactivateCache() override;
  void Clear(bool aNotify) override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

  // --- InxFieldsSource
  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override;
  std::int32_t AddRef() override { return -1; }
  std::int32_t Release() override { return -1; }
  // aName is ignored.
  bool GetFieldForFilter(std::int32_t aField, const char* aName, const void* aData, std::uint16_t& aType,
                         std::uint16_t& aSize, bool& aIsNull, const void*& aValue,
                         std::uint16_t& aCodePage) override;
  platform::Variant GetFieldAsVariant(const void* aRecordBuffer, std::int32_t aIndex) override {
    return fsdGetFieldByIndexAsVariant(aRecordBuffer, aIndex);
  }
  bool BlobsSupported() override { return false; }
  std::int32_t GetFieldFromName(const nxString& aFieldName) override {
    return std::as_const(*this).GetFieldFromName(aFieldName);
  }
  std::int32_t GetFieldCount() override { return FieldCount(); }
  InxFieldDescriptor* GetFieldDescriptor(std::int32_t aIndex) override;
  platform::TObject* GetCursor() override { return nullptr; }
  std::int32_t GetFieldsOffset() override { return 0; }

  std::int32_t fsdLogRecLen = 0;
  std::int32_t fsdLogRecLenAlign = 0;
  TnxFieldsValidationsDescriptor* fsdValidations = nullptr;  // owned
  // The table-level validations engine class found for this descriptor
  // (shared like bdvCachedEngineClass).
  const platform::ClassInfo* CachedEngineClass() const {
    return fsdCachedEngineClass.load(std::memory_order_acquire);
  }
  void SetCachedEngineClass(const platform::ClassInfo* aClass) {
    fsdCachedEngineClass.store(aClass, std::memory_order_release);
  }

 protected:
  void beforeDestruction() override;

 private:
  void RangeCheck(std::int32_t aField) const;
  // NB after a list change: the dictionary's version decides (8712 without one).
  void UpdateAlignForDictionary();
  void RecomputeOffsets(std::int32_t aFrom);
  void LoadFieldsFromReader(TnxReader& aReader);
  // Lengths, offsets, LRL and NB as the layout rule gives them, and a record
  // that fits the largest buffer (too long: 15498 while reading, else 10003).
  void CheckRecordLayout(bool aReading) const;
  void FreeFields() noexcept;
  void ReleaseCachedDiffCompressorInfo() noexcept;
  void FillSpecialFieldsInfo(TnxSpecialFieldsInfo& aInfo, bool aRebuildHash);
  bool HasSpecial(TnxSpecialFieldType aKind, std::int32_t& aField);
  std::uint8_t* FieldAddress(std::int32_t aField, void* aData) const {
    return static_cast<std::uint8_t*>(aData) + Fields(aField)->fdOffset;
  }

  std::int32_t fsdCachedGetRecordLength = 0;
  TnxMemoryPool fsdRecordAllocator;
  TnxOwned<TnxSortedList> fsdFieldChangeNotifies;
  std::vector<TnxFieldDescriptor*> fsdFieldHashList;
  PnxSpecialFieldsInfo fsdCachedSpecialFieldsInfo = nullptr;
  std::atomic<PnxDiffCompressorInfo> fsdCachedDiffCompressorInfo{nullptr};  // installed once
  std::atomic<const platform::ClassInfo*> fsdCachedEngineClass{nullptr};
  std::vector<TnxFieldDescriptor*> FieldDescriptor;  // owned
};
