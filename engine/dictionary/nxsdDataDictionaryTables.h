// Table levels, nested tables and the data dictionary with its stream.
//
// A table level (TnxBaseTableDescriptor) owns its fields, custom
// descriptors and nested tables always, and optionally its record, BLOB,
// auto-increment descriptors and the main and internal indices lists. The
// data dictionary is the root table level; nested tables (T:A:B) are full
// table levels below a TnxTablesDescriptor.
//
// Dictionary stream ("DICT" in every table file), tagged values:
//   Ident "DazavAV", Integer version (1..5), 4 raw bytes header signature,
//   String encryption engine, then
//   v >= 3: [v >= 4: Boolean byte order for wide strings], Ident
//     "StreamDescriptor" + Boolean + class + stream, Ident "FilesDescriptor"
//     + True + class + stream, the table level, Ident "CurrentID" + Integer;
//   v <= 2 (old layout): engine names, record, BLOB, files, fields, indices,
//     LRL [and NB for v 2], custom descriptors;
//   Ident "DazavAV".
// The version written is the dictionary's, lowered for old clients (2 below
// 20000, 3 below 30900, 4 below 47005); writers that drop information for
// an old client raise the thread's stripped-information flag.
//
// Reading resets first and checks every count, class and version; a failed
// ReadFromStream leaves the default content. A read-only dictionary refuses
// every change with 15500; only a full reset (Clear) or destruction ends it.
// Dictionaries are not locked: one thread changes one, a shared one is
// read-only.
// Part of nxsdDataDictionary: include nxsdDataDictionary.h, not this header.
#pragma once

#include <map>

#include "nxsdDataDictionaryIndices.h"
#include "nxsdDataDictionaryStorage.h"

NX_DECLARE_EXCEPTION(EnxTablesDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxBaseTableDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxNestedTableDescriptorException, EnxBaseTableDescriptorException)
NX_DECLARE_EXCEPTION(EnxDataDictionaryException, EnxDictionaryItemException)

inline constexpr const char16_t* nxTableCachingStateNames[] = {u"tcsNone", u"tcsCacheable", u"tcsIsCache"};

inline constexpr TnxBlockSignature nxSignatureNX1{'N', 'X', '!', '1'};
inline constexpr TnxBlockSignature nxSignatureNX2{'N', 'X', '!', '2'};

class TnxBaseTableDescriptor;
class TnxTablesDescriptor;
class TnxNestedTableDescriptor;

struct TnxTableDescriptorClassFuncs {
  TnxNestedTableDescriptor* (*create)(TnxPersistent* aParent, const nxString& aName);
};
template <class T>
inline constexpr TnxTableDescriptorClassFuncs nxTableDescriptorFuncs{
    [](TnxPersistent* aParent, const nxString& aName) -> TnxNestedTableDescriptor* {
      return platform::create<T>(aParent, aName);
    }};

// Bytes of the record reference that leads every bookmark.
inline constexpr std::int32_t nxBookmarkHeaderSize = 24;

class TnxBaseTableDescriptor : public TnxLocalizedDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseTableDescriptor(TnxPersistent* aParent);
  ~TnxBaseTableDescriptor() override;
  // The nested-table family.
  static TnxClassList& GetList();

  TnxFieldsDescriptor* FieldsDescriptor() const { return tdFieldsDescriptor; }
  TnxCustomDescsDescriptor* CustomDescsDescriptor() const { return tdCustomDescsDescriptor; }
  TnxTablesDescriptor* TablesDescriptor() const { return tdTablesDescriptor; }
  TnxBaseRecordDescriptor* RecordDescriptor() const { return tdRecordDescriptor; }
  TnxBaseBlobDescriptor* BlobDescriptor() const { return tdBlobDescriptor; }
  TnxMainIndicesDescriptor* IndicesDescriptor() const { return tdIndicesDescriptor; }
  TnxInternalIndicesDescriptor* InternalIndicesDescriptor() const { return tdInternalIndicesDescriptor; }
  TnxBaseAutoIncDescriptor* AutoIncDescriptor() const { return tdAutoIncDescriptor; }
  TnxTableCachingState CachingState() const { return tdCachingState; }

  // Class nil: the family's default.
  TnxBaseRecordDescriptor* AddRecordDescriptor(const platform::ClassInfo* aRecordClass = nullptr);
  TnxBaseBlobDescriptor* AddBlobDescriptor(const platform::ClassInfo* aBlobClass = nullptr);
  TnxMainIndicesDescriptor* AddIndicesDescriptor(const platform::ClassInfo* aIndicesClass = nullptr);
  TnxInternalIndicesDescriptor* AddInternalIndicesDescriptor(
      const platform::ClassInfo* aInternalIndicesClass = nullptr);
  TnxBaseAutoIncDescriptor* AddAutoIncDescriptor(const platform::ClassInfo* aAutoIncClass = nullptr);
  void RemoveRecordDescriptor();
  void RemoveBlobDescriptor();
  void RemoveIndicesDescriptor();
  void RemoveInternalIndicesDescriptor();
  void RemoveAutoIncDescriptor();
  TnxMainIndicesDescriptor* EnsureIndicesDescriptor();
  TnxInternalIndicesDescriptor* EnsureInternalIndicesDescriptor();

  std::int32_t GetFieldFromName(const nxString& aFieldName) const;
  std::int32_t GetIndexFromName(const nxString& aIndexName) const;
  // 9999 "Index out of bounds: %d" without a main list or outside it.
  std::uint32_t tdGetKeyLen(std::int32_t aInx);
  // 24 without a main list.
  std::int32_t tdGetBookmarkSize(std::int32_t aInx);
  std::uint32_t MaxKeyLen();
  std::int32_t MaxBookmarkSize() { return static_cast<std::int32_t>(MaxKeyLen()) + nxBookmarkHeaderSize; }

  // "" this level, "." this level, ".." the enclosing one, else a nested
  // table; ":" separates the steps (10024 when a step fails).
  TnxBaseTableDescriptor* GetChild(const nxString& aChildName);
  TnxDictionaryItem* GetConstraintByName(const nxString& aName) const;
  void GetConstraints(platform::TStringList& aStrings) const;
  bool HasAnyRefNrField();
  // True when this level is cacheable or a cache copy and aState is tcsNone
  // or that state; else when a nested table answers True.
  bool HasCachingSupport(TnxTableCachingState aState);

  // --- client caching (a cacheable source and its cache copies)
  // Releases what aCacheableInfo holds and hands out a new info with the
  // special fields and the index numbers found; True when the table is
  // cacheable in the sense of aState.
  bool IsCacheable(PnxCacheableInfo& aCacheableInfo, TnxTableCachingState aState, bool aAcceptCachable);
  // Makes this level a cacheable source; aCanChange adds what is missing,
  // every addition marked "$Implicit=$Cacheable". 12289 on a cache copy and
  // when the table is still not cacheable.
  void MakeCacheable(bool aCanChange);
  // Turns this level and its nested tables into a cache copy; nested tables
  // that do not become one are removed. A table that is not cacheable fails
  // with 12289, or with aSilent is left at tcsNone (stripped all the same).
  void MarkAsInCache(bool aSilent);

  virtual void InternalClear(bool aBare, bool aNotify);
  virtual nxString btdFullName() const = 0;
  virtual void AssignOnlyFields(TnxBaseTableDescriptor* aSource);
  virtual bool IsIndexDescValid(TnxIndexDescriptor* aIndexDesc);
  virtual bool IsFieldDescValid(TnxFieldDescriptor* aFieldDesc);

  // A nested level's blocks are its dictionary's.
  std::int32_t DictionaryUsableBlockSize(TnxBlockSize aBlockSize) override;
  void ActivateCache() override;
  void RegisterConstraintName(TnxDictionaryItem* aItem, const nxString& aName) override;
  void UnregisterConstraintName(TnxDictionaryItem* aItem, const nxString& aName) override;
  void Clear(bool aNotify) override;
  bool FindRelatedDescriptorOfType(const platform::ClassInfo& aType, TnxDictionaryItem*& aDescriptor,
                                   TnxDictionaryItem* aFrom) override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

  void afterConstruction() override;

 protected:
  void beforeDestruction() override;
  // Frees every part, subscribers before what they listen to.
  void FreeParts() noexcept;
  [[noreturn]] static void Raise(TnxResult aCode);
  [[noreturn]] static void Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs);

 private:
  struct CaseLess {
    bool operator()(const nxString& a, const nxString& b) const;
  };
  template <class T>
  void FreePart(T*& aPart, bool aNotify);

  TnxFieldsDescriptor* tdFieldsDescriptor = nullptr;                   // owned
  TnxBaseBlobDescriptor* tdBlobDescriptor = nullptr;                   // owned
  TnxBaseRecordDescriptor* tdRecordDescriptor = nullptr;               // owned
  TnxMainIndicesDescriptor* tdIndicesDescriptor = nullptr;             // owned
  TnxInternalIndicesDescriptor* tdInternalIndicesDescriptor = nullptr; // owned
  TnxBaseAutoIncDescriptor* tdAutoIncDescriptor = nullptr;             // owned
  TnxCustomDescsDescriptor* tdCustomDescsDescriptor = nullptr;         // owned
  TnxTablesDescriptor* tdTablesDescriptor = nullptr;                   // owned
  TnxTableCachingState tdCachingState = tcsNone;
  std::unique_ptr<std::map<nxString, TnxDictionaryItem*, CaseLess>> tdConstraints;
  std::uint32_t tdMaxKeyLen = 0;
};

class TnxNestedTableDescriptor : public TnxBaseTableDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  // 10039 unless aName is a valid identifier.
  TnxNestedTableDescriptor(TnxPersistent* aParent, const nxString& aName);
  const nxString& Name() const { return ntdName; }
  nxString btdFullName() const override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 private:
  friend class TnxTablesDescriptor;
  nxString ntdName;
};

struct TnxTablesDescriptorClassFuncs {
  TnxTablesDescriptor* (*create)(TnxPersistent* aParent);
};
template <class T>
inline constexpr TnxTablesDescriptorClassFuncs nxTablesDescriptorFuncs{
    [](TnxPersistent* aParent) -> TnxTablesDescriptor* { return platform::create<T>(aParent); }};

class TnxTablesDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxTablesDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}
  ~TnxTablesDescriptor() override;
  static TnxClassList& GetList();
  static TnxTablesDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent);

  std::int32_t TableCount() const { return static_cast<std::int32_t>(TableDescriptor.size()); }
  TnxNestedTableDescriptor* Tables(std::int32_t aIndex) const {
    return TableDescriptor.at(static_cast<std::size_t>(aIndex));
  }
  // aClass nil: TnxNestedTableDescriptor.
  TnxNestedTableDescriptor* AddTable(const nxString& aName, const platform::ClassInfo* aClass = nullptr);
  void RemoveTable(std::int32_t aInx);
  void RemoveTable(const nxString& aName);
  std::int32_t GetTableIndexFromName(const nxString& aName) const;
  // 10024 when absent.
  TnxNestedTableDescriptor* GetTableDescriptorFromName(const nxString& aName) const;
  void RenameTable(const nxString& aOldName, const nxString& aNewName);
  void GetTables(platform::TStringList& aStrings) const;
  bool HasAnyRefNrField();
  bool HasCachingSupport(TnxTableCachingState aState);

  void Clear(bool aNotify) override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;

 private:
  void FreeTables() noexcept;
  std::vector<TnxNestedTableDescriptor*> TableDescriptor;  // owned
};

class TnxDataDictionary : public TnxBaseTableDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  // The default content (see Clear).
  TnxDataDictionary();
  ~TnxDataDictionary() override;

  const platform::Guid& Guid() const { return ddGuid; }
  void SetGuid(const platform::Guid& aValue) { ddGuid = aValue; }
  const platform::Guid& CacheGuid() const { return ddCacheGuid; }
  std::int32_t Version() const { return ddVersion; }
  std::int32_t CurrentID() const { return ddCurrentID; }
  // The storage layer sets and restores the counter around trial changes.
  void SetCurrentID(std::int32_t aValue) { ddCurrentID = aValue; }
  std::int32_t CacheCurrentID() const { return ddCacheCurrentID; }
  bool MissingInformation() const { return ddMissingInformation; }
  const nxString& BaseName() const { return ddBaseName; }
  void _BaseName(const nxString& aValue) { ddBaseName = aValue; }
  bool ReadOnly() const { return ddReadOnly; }
  TnxFilesDescriptor* FilesDescriptor() const { return ddFilesDescriptor; }
  TnxBaseStreamDescriptor* StreamDescriptor() const { return ddStreamDescriptor; }
  bool UseByteOrderForWideString() const { return ddUseByteOrderForWideString; }
  void SetUseByteOrderForWideString(bool aValue);
  const TnxBlockSignature& HeaderSignature() const { return HeaderSignature_; }
  void SetHeaderSignature(const TnxBlockSignature& aValue);
  const nxString& EncryptionEngine() const { return EncryptionEngine_; }
  void SetEncryptionEngine(const nxString& aValue);

  std::int32_t NextID();
  // aStreamClass nil: TnxBaseStreamDescriptor.
  TnxBaseStreamDescriptor* AddStreamDescriptor(const platform::ClassInfo* aStreamClass = nullptr);
  void RemoveStreamDescriptor();
  std::int32_t GetFileFromExt(const nxString& aFileExt) const;

  void WriteToStream(TStream& aStream, std::int32_t aClientVersion);
  // On failure the default content and the failure passed on.
  void ReadFromStream(TStream& aStream, const nxString& aBaseName);
  void WriteToWriter(TnxWriter& aWriter, std::int32_t aClientVersion);
  void ReadFromReader(TnxReader& aReader);
  void MakeReadOnly();
  // A new writable TnxDictionary equal to this one.
  TnxDataDictionary* Duplicate();
  // Turns the whole dictionary into that of a cache copy (not encrypted);
  // nothing when some level already is one.
  void MakeCache(bool aSilent);
  // Usable bytes of a block of aBlockSize.
  virtual std::int32_t UsableBlockSize(TnxBlockSize aBlockSize);

  // --- dictionary hooks of the item tree
  bool IsDataDictionary() const override { return true; }
  std::int32_t NextItemID() override { return NextID(); }
  std::int32_t DictionaryUsableBlockSize(TnxBlockSize aBlockSize) override { return UsableBlockSize(aBlockSize); }
  std::int32_t DictionaryVersion() const override { return ddVersion; }
  bool DictionaryUsesByteOrderForWideString() const override { return ddUseByteOrderForWideString; }
  // True while the dictionary checks what it has just read from a stream.
  bool DictionaryIsReading() const { return ddReading; }

  void Assign(TnxPersistent* aSource) override;
  void CheckReadOnly() override;
  bool OwnRequiresPack() override;
  void Clear(bool aNotify) override;
  bool FindRelatedDescriptorOfType(const platform::ClassInfo& aType, TnxDictionaryItem*& aDescriptor,
                                   TnxDictionaryItem* aFrom) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void InternalClear(bool aBare, bool aNotify) override;
  nxString btdFullName() const override { return ddBaseName; }
  void AssignOnlyFields(TnxBaseTableDescriptor* aSource) override;

  void afterConstruction() override;

 protected:
  void beforeDestruction() override;
  // For the storage layer's dictionary: leaves read-only and cached mode.
  void ForceOffReadOnly();

 private:
  void SetVersion(std::int32_t aValue);
  void StoreCustomStrings();
  void ApplyCustomStrings();
  void WriteOldLayout(TnxWriter& aWriter, std::int32_t aVersion, std::int32_t aClientVersion);
  void ReadOldLayout(TnxReader& aReader, std::int32_t aVersion);

  platform::Guid ddGuid{};
  platform::Guid ddCacheGuid{};
  std::int32_t ddVersion = 3;
  std::int32_t ddCurrentID = 0;
  std::int32_t ddCacheCurrentID = 0;
  bool ddMissingInformation = false;
  nxString ddBaseName;
  bool ddReadOnly = false;
  TnxFilesDescriptor* ddFilesDescriptor = nullptr;       // owned
  TnxBaseStreamDescriptor* ddStreamDescriptor = nullptr;  // owned
  bool ddUseByteOrderForWideString = true;
  bool ddReading = false;  // within ReadFromStream's check
  TnxBlockSignature HeaderSignature_ = nxSignatureNX2;
  nxString EncryptionEngine_;
};
