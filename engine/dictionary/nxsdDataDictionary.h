// Dictionary items: the nodes of a table's data dictionary tree, the file and
// files descriptors, the base of named custom descriptors, the locale
// descriptor and the items that carry one.
//
// Ownership: an item is owned by the object that created it (its container);
// containers free their parts. diChilds only lists the items that named this
// item as parent; it never owns them. An item detaches itself from its
// parent when freed, so a parent must outlive its children or free them.
// Create with platform::create<T>(aParent, ...), destroy with
// platform::TObject::free.
//
// Read-only: every change first calls CheckReadOnly, which asks the nearest
// enclosing data dictionary (an item whose IsDataDictionary answers true).
// The data dictionary class itself lives above this module and overrides the
// dictionary hooks (IsDataDictionary, CheckReadOnly, NextItemID,
// DictionaryUsableBlockSize).
//
// Streams: every descriptor writes the item part, an Integer version of its
// own, then its fields, in the tagged encoding of TnxWriter. The client
// version given to a writer decides the layout (below 20000 the old one).
//
// Thread safety: items are not locked. A dictionary shared between threads is
// read-only and in cached mode. The assign depth and the stripped-information
// flag are per thread. The only lazily written field, a locale descriptor's
// present collation version, is installed by compare-and-exchange.
//
// Registries: the file, files, custom and locale descriptor families each own
// a registry; nxsdDataDictionaryInitialize registers this module's classes and
// reads the "Disable30900LocaleFixes" switch, nxsdDataDictionaryFinalize
// unregisters them.
#pragma once

#include <atomic>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "nxllComponent.h"
#include "nxllException.h"
#include "nxllList.h"
#include "nxllMemoryManager.h"
#include "nxllRegisterableEngine.h"
#include "nxllStreams.h"
#include "nxllTypes.h"
#include "nxllUtils.h"
#include "nxsdFilterDescriptorBase.h"
#include "nxsdTypes.h"
#include "plVariant.h"
#include "plStringList.h"

// ---------------------------------------------------------------------------
// Exceptions

NX_DECLARE_EXCEPTION(EnxBaseDictionaryException, EnxBaseException)
NX_DECLARE_EXCEPTION(EnxDictionaryItemException, EnxBaseDictionaryException)
NX_DECLARE_EXCEPTION(EnxFileDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxFilesDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxLocaleDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxBaseIndicesDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxMainIndicesDescriptorException, EnxBaseIndicesDescriptorException)
NX_DECLARE_EXCEPTION(EnxInternalIndicesDescriptorException, EnxBaseIndicesDescriptorException)
NX_DECLARE_EXCEPTION(EnxFieldsDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxBaseDefaultValueDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxConstDefaultValueDescriptorException, EnxBaseDefaultValueDescriptorException)
NX_DECLARE_EXCEPTION(EnxBaseFieldValidationDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxMinMaxValidationDescriptorException, EnxBaseFieldValidationDescriptorException)
NX_DECLARE_EXCEPTION(EnxNoChangeValidationDescriptorException, EnxBaseFieldValidationDescriptorException)
NX_DECLARE_EXCEPTION(EnxSqlCheckValidationDescriptorException, EnxBaseFieldValidationDescriptorException)
NX_DECLARE_EXCEPTION(EnxFieldValidationsDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxLocaleizedDictionaryItemException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxFieldDescriptorException, EnxLocaleizedDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxKeyFieldDescriptorException, EnxLocaleizedDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxTextKeyFieldDescriptorException, EnxKeyFieldDescriptorException)
NX_DECLARE_EXCEPTION(EnxExtTextKeyFieldDescriptorException, EnxTextKeyFieldDescriptorException)
NX_DECLARE_EXCEPTION(EnxBaseKeyDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxRefKeyDescriptorException, EnxBaseKeyDescriptorException)
NX_DECLARE_EXCEPTION(EnxInt64KeyDescriptorException, EnxBaseKeyDescriptorException)
NX_DECLARE_EXCEPTION(EnxBlobCacheKeyDescriptorException, EnxBaseKeyDescriptorException)
NX_DECLARE_EXCEPTION(EnxCompKeyDescriptorException, EnxBaseKeyDescriptorException)
NX_DECLARE_EXCEPTION(EnxNoNullCompKeyDescriptorException, EnxCompKeyDescriptorException)
NX_DECLARE_EXCEPTION(EnxIndexDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxBaseBlockHeapDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxBaseHeapDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxBaseRecordDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxHeapRecordDescriptorException, EnxBaseRecordDescriptorException)
NX_DECLARE_EXCEPTION(EnxBaseRecordCompressionDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxBaseBlobDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxHeapBlobDescriptorException, EnxBaseBlobDescriptorException)
NX_DECLARE_EXCEPTION(EnxBaseAutoIncDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxAdvAutoIncDescriptorException, EnxBaseAutoIncDescriptorException)
NX_DECLARE_EXCEPTION(EnxBaseStreamDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxBaseCustomDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxCustomDescsDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxTablesDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxBaseTableDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxNestedTableDescriptorException, EnxBaseTableDescriptorException)
NX_DECLARE_EXCEPTION(EnxDataDictionaryException, EnxDictionaryItemException)

// ---------------------------------------------------------------------------
// Client versions that decide stream layouts

inline constexpr std::int32_t nxOldDictionaryClientVersion = 20000;  // below: the old layout
inline constexpr std::int32_t nxLocaleFixesClientVersion = 30900;    // from: locale version 2
inline constexpr std::int32_t nxInProcessCopyClientVersion = 47501;  // in-process copies

// The "Disable30900LocaleFixes" switch: set once at start-up, never cleared.
extern std::atomic<bool> nxDisable30900LocaleFixes;

// Per-thread state of the module.
// Above 0 while Assign reads a copied stream.
std::int32_t nxsdAssignDepth();
// Raised by writers that drop information for an old client.
bool nxsdStrippedInformation();
void nxsdSetStrippedInformation(bool aValue);

// The renumbering rule for a held position after a change of positions
// (aOld -1 = insertion, aNew -1 = removal). Answers whether aPos changed.
bool nxsdAdjustPosition(std::int32_t& aPos, std::int32_t aOld, std::int32_t aNew);

// ---------------------------------------------------------------------------
// TnxDictionaryItem

class TnxDictionaryItem;
enum TnxIteratorResult : std::uint8_t { irContinue = 0, irStop = 1 };
using TnxDictionaryItemIterator = std::function<TnxIteratorResult(TnxDictionaryItem* aItem, void* aCookie)>;

class TnxDictionaryItem : public TnxBaseRegisterableDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxDictionaryItem(TnxPersistent* aParent);
  ~TnxDictionaryItem() override;

  // --- properties
  TnxPersistent* DirectParent() const { return diParent; }
  TnxPersistent* GetOwner() const { return diParent; }
  // The parent when it is an item, else nil.
  TnxDictionaryItem* ParentItem() const;
  std::int32_t ID() const { return diID; }
  void SetID(std::int32_t aValue) { diID = aValue; }
  const nxString& ConstraintName() const { return diConstraintName; }
  void SetConstraintName(const nxString& aName);
  bool CacheActive() const { return diCacheActive; }
  bool HasCustomStrings() const { return diCustomStrings && !diCustomStrings->empty(); }
  // Created on first access.
  platform::TStringList& CustomStrings();
  // Checks read-only; nil frees the list.
  void SetCustomStrings(const platform::TStringList* aStrings);
  std::int32_t ChildCount() const { return diChilds ? diChilds->Count() : 0; }
  TnxDictionaryItem* Childs(std::int32_t aIndex) const {
    return static_cast<TnxDictionaryItem*>(diChilds->Items(aIndex));
  }

  // --- virtual operations
  virtual void CheckReadOnly();
  virtual void ActivateCache();
  virtual void DeactivateCache();
  virtual void AttachChild(TnxDictionaryItem* aItem);
  virtual void DetachChild(TnxDictionaryItem* aItem);
  virtual void RegisterConstraintName(TnxDictionaryItem* aItem, const nxString& aName);
  virtual void UnregisterConstraintName(TnxDictionaryItem* aItem, const nxString& aName);
  virtual void HandleFieldChange(bool /*aBefore*/, std::int32_t /*aOld*/, std::int32_t /*aNew*/) {}
  virtual void HandleFileChange(bool /*aBefore*/, std::int32_t /*aOld*/, std::int32_t /*aNew*/) {}
  virtual void HandleIndexChange(bool /*aBefore*/, std::int32_t /*aOld*/, std::int32_t /*aNew*/) {}
  virtual bool IsCompatibleClass(const TnxDictionaryItem* aItem) const;
  virtual bool OwnRequiresPack() { return false; }
  virtual void Clear(bool aNotify);
  virtual bool FindRelatedDescriptorOfType(const platform::ClassInfo& aType, TnxDictionaryItem*& aDescriptor,
                                           TnxDictionaryItem* aFrom);
  virtual void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion);
  virtual void LoadFromReader(TnxReader& aReader);
  virtual void CheckValid(bool aForBuild);
  virtual bool IsEqual(const TnxDictionaryItem* aItem) const;
  virtual bool References(const TnxDictionaryItem* /*aItem*/) const { return false; }

  // Copies an item of exactly this class through a stream (client 47501);
  // this item keeps its own ID. Other sources: the base assignment.
  void Assign(TnxPersistent* aSource) override;

  // --- dictionary hooks (the data dictionary overrides them)
  virtual bool IsDataDictionary() const { return false; }
  // The next ID of the dictionary; 0 without one.
  virtual std::int32_t NextItemID() { return 0; }
  // Usable bytes of a block of aBlockSize; the base answers 12289.
  virtual std::int32_t DictionaryUsableBlockSize(TnxBlockSize aBlockSize);
  // The stream version of the data dictionary (1 .. 5); 0 for an item that is none.
  virtual std::int32_t DictionaryVersion() const { return 0; }

  // --- searches
  bool FindParentOfType(const platform::ClassInfo& aType, TnxPersistent*& aParent) const;
  // 8712 "No Parent of type %s could be found".
  TnxPersistent* GetParentOfType(const platform::ClassInfo& aType) const;
  // 8712 "No related Descriptor of type %s could be found".
  TnxDictionaryItem* GetRelatedDescriptorOfType(const platform::ClassInfo& aType);
  // The nearest data dictionary up the owner chain (this item included), nil when none.
  TnxDictionaryItem* FindDataDictionary() const;

  TnxIteratorResult IterateReferencing(const TnxDictionaryItemIterator& aIterator, void* aCookie,
                                       const TnxDictionaryItem* aItem, bool aRecursive);
  bool RequiresPack();

  // File change subscriptions with the related files descriptor (nothing
  // when there is none).
  void RegisterFileChanges();
  void UnregisterFileChanges();

  // The class registered under aName in T's family, nil when none.
  template <class T>
  static const platform::ClassInfo* FindDescriptorClass(std::string_view aName) {
    return TnxDescriptorClass<T>::FindDescriptorClass(aName);
  }

 protected:
  void beforeDestruction() override;

 private:
  TnxPersistent* diParent;
  TnxSortedList* diChilds = nullptr;
  std::unique_ptr<platform::TStringList> diCustomStrings;
  std::int32_t diID = 0;
  nxString diConstraintName;
  bool diCacheActive = false;
  bool diDetached = false;
};

// ---------------------------------------------------------------------------
// Files

class TnxFileDescriptor;
// Class-level virtual constructor of the file descriptor family.
struct TnxFileDescriptorClassFuncs {
  TnxFileDescriptor* (*create)(TnxPersistent* aParent, const nxString& aExtension);
};
template <class T>
inline constexpr TnxFileDescriptorClassFuncs nxFileDescriptorFuncs{
    [](TnxPersistent* aParent, const nxString& aExtension) -> TnxFileDescriptor* {
      return platform::create<T>(aParent, aExtension);
    }};

class TnxFileDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  TnxFileDescriptor(TnxPersistent* aParent, const nxString& aExtension);
  static TnxClassList& GetList();
  // Builds a descriptor of aClass (which must carry the family's table);
  // other classes: 15499.
  static TnxFileDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent,
                                          const nxString& aExtension);

  const nxString& Extension() const { return fdExtension; }
  const nxString& Desc() const { return fdDesc; }
  void SetDesc(const nxString& aValue);
  TnxBlockSize BlockSize() const { return fdBlockSize; }
  void SetBlockSize(TnxBlockSize aValue);
  std::int32_t BlockSizeBytes() const;
  // 4096 .. 65536; other counts: 10004 "%d is not a valid BlockSize".
  void SetBlockSizeBytes(std::int32_t aValue);
  TnxGrowSize InitialSize() const { return fdInitialSize; }
  void SetInitialSize(TnxGrowSize aValue);
  TnxGrowSize GrowSize() const { return fdGrowSize; }
  void SetGrowSize(TnxGrowSize aValue);
  std::int32_t Number() const { return fdNumber; }
  std::int32_t UsableBlockSize() const;
  nxString FileID();
  void SetFileID(const nxString& aValue);

  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 private:
  friend class TnxFilesDescriptor;
  nxString fdExtension;
  nxString fdDesc;
  TnxBlockSize fdBlockSize = nxbs4k;
  TnxGrowSize fdInitialSize = 4;
  TnxGrowSize fdGrowSize = 1;
  std::int32_t fdNumber = 0;
};

class TnxFilesDescriptor;
struct TnxFilesDescriptorClassFuncs {
  TnxFilesDescriptor* (*create)(TnxPersistent* aParent);
};
template <class T>
inline constexpr TnxFilesDescriptorClassFuncs nxFilesDescriptorFuncs{
    [](TnxPersistent* aParent) -> TnxFilesDescriptor* { return platform::create<T>(aParent); }};

class TnxFilesDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxFilesDescriptor(TnxPersistent* aParent);
  ~TnxFilesDescriptor() override;
  static TnxClassList& GetList();
  // Builds a descriptor of aClass (which must carry the family's table);
  // other classes: 15499.
  static TnxFilesDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent);

  std::int32_t FileCount() const { return static_cast<std::int32_t>(FileDescriptor.size()); }
  TnxFileDescriptor* Files(std::int32_t aIndex) const { return FileDescriptor.at(static_cast<std::size_t>(aIndex)); }

  // aClass nil: TnxFileDescriptor.
  TnxFileDescriptor* AddFile(const nxString& aExtension, TnxBlockSize aBlockSize, const nxString& aDesc,
                             const platform::ClassInfo* aClass = nullptr);
  TnxFileDescriptor* InsertFileAt(std::int32_t aInx, const nxString& aExtension, TnxBlockSize aBlockSize,
                                  const nxString& aDesc, const platform::ClassInfo* aClass = nullptr);
  void MoveFile(std::int32_t aFrom, std::int32_t aTo);
  void RemoveFile(std::int32_t aInx);
  void RenameFile(std::int32_t aInx, const nxString& aNewExtension);
  void RenameFile(const nxString& aOldExtension, const nxString& aNewExtension);
  // -1 when none.
  std::int32_t GetFileFromExt(const nxString& aFileExt) const;

  void AddFileChangeNotify(TnxDictionaryItem* aItem);
  void RemoveFileChangeNotify(TnxDictionaryItem* aItem);
  void NotifyFileChange(bool aBefore, std::int32_t aOld, std::int32_t aNew);

  void Clear(bool aNotify) override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;

 private:
  void Renumber(std::int32_t aFrom);
  void FreeFiles() noexcept;

  TnxSortedList* fidFileChangeNotifies = nullptr;
  std::vector<TnxFileDescriptor*> FileDescriptor;  // owned
};

// ---------------------------------------------------------------------------
// Named custom descriptors

class TnxBaseCustomDescriptor;
struct TnxCustomDescriptorClassFuncs {
  TnxBaseCustomDescriptor* (*create)(TnxPersistent* aParent, const nxString& aName);
};
template <class T>
inline constexpr TnxCustomDescriptorClassFuncs nxCustomDescriptorFuncs{
    [](TnxPersistent* aParent, const nxString& aName) -> TnxBaseCustomDescriptor* {
      return platform::create<T>(aParent, aName);
    }};

class TnxBaseCustomDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  // 10068 unless aName is a valid identifier (reserved names allowed).
  TnxBaseCustomDescriptor(TnxPersistent* aParent, const nxString& aName);
  static TnxClassList& GetList();
  // Builds a descriptor of aClass (which must carry the family's table);
  // other classes: 15499.
  static TnxBaseCustomDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent,
                                                const nxString& aName);

  const nxString& Name() const { return bcdName; }

  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 private:
  static const nxString& CheckedName(const nxString& aName);
  nxString bcdName;
};

// ---------------------------------------------------------------------------
// Locales

class TnxLocaleDescriptor;
struct TnxLocaleDescriptorClassFuncs {
  TnxLocaleDescriptor* (*create)(TnxPersistent* aParent);
};
template <class T>
inline constexpr TnxLocaleDescriptorClassFuncs nxLocaleDescriptorFuncs{
    [](TnxPersistent* aParent) -> TnxLocaleDescriptor* { return platform::create<T>(aParent); }};

// Compare flags of the five options.
inline constexpr std::uint32_t nxNORM_IGNORENONSPACE = 0x2;
inline constexpr std::uint32_t nxNORM_IGNORESYMBOLS = 0x4;
inline constexpr std::uint32_t nxSORT_STRINGSORT = 0x1000;
inline constexpr std::uint32_t nxNORM_IGNOREKANATYPE = 0x10000;
inline constexpr std::uint32_t nxNORM_IGNOREWIDTH = 0x20000;

class TnxLocaleDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  // The system default locale, no options, no override, no version records.
  explicit TnxLocaleDescriptor(TnxPersistent* aParent);
  ~TnxLocaleDescriptor() override;
  static TnxClassList& GetList();
  static TnxLocaleDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent);

  std::uint32_t Locale() const { return ldLocale; }
  // Checks read-only; a non-zero id goes through ConvertDefaultLocale.
  void SetLocale(std::uint32_t aValue);
  std::uint32_t Flags() const;
  void SetFlags(std::uint32_t aValue);
  bool IgnoreKanaType() const { return ldIgnoreKanaType; }
  void SetIgnoreKanaType(bool aValue) { ldIgnoreKanaType = aValue; }
  bool IgnoreNonSpace() const { return ldIgnoreNonSpace; }
  void SetIgnoreNonSpace(bool aValue) { ldIgnoreNonSpace = aValue; }
  bool IgnoreSymbols() const { return ldIgnoreSymbols; }
  void SetIgnoreSymbols(bool aValue) { ldIgnoreSymbols = aValue; }
  bool IgnoreWidth() const { return ldIgnoreWidth; }
  void SetIgnoreWidth(bool aValue) { ldIgnoreWidth = aValue; }
  bool UseStringSort() const { return ldUseStringSort; }
  void SetUseStringSort(bool aValue) { ldUseStringSort = aValue; }
  std::uint16_t OverrideStorageCodepage() const { return ldOverrideStorageCodepage; }
  void SetOverrideStorageCodepage(std::uint16_t aValue) { ldOverrideStorageCodepage = aValue; }
  std::uint16_t StorageCodepage() const;
  std::uint16_t CompareCodepage() const;
  bool IsDefaultStringLiteralLocale() const { return ldIsDefaultStringLiteralLocale; }
  void SetIsDefaultStringLiteralLocale(bool aValue) { ldIsDefaultStringLiteralLocale = aValue; }
  bool CurrentLocaleVersionEqualToBuildVersion();
  // The stream version last read (0 before any read).
  std::int32_t Version() const { return ldVersion; }
  // The collation version recorded at build, nil when none.
  const TNLSVersionInfoEx* BuildVersionInfo() const { return ldNLSVersionInfoBuild; }

  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  virtual bool IsCompareable(const TnxLocaleDescriptor* aLocaleDescriptor) const;

 private:
  void FreeBuildVersion() noexcept;
  TNLSVersionInfoEx& BuildVersion();

  std::int32_t ldVersion = 0;
  std::uint32_t ldLocale = 0;
  bool ldIgnoreKanaType = false;
  bool ldIgnoreNonSpace = false;
  bool ldIgnoreSymbols = false;
  bool ldIgnoreWidth = false;
  bool ldUseStringSort = false;
  std::uint16_t ldOverrideStorageCodepage = 0;
  bool ldIsDefaultStringLiteralLocale = false;
  TNLSVersionInfoEx* volatile ldNLSVersionInfoCurrent = nullptr;  // owned, installed once
  TNLSVersionInfoEx* ldNLSVersionInfoBuild = nullptr;             // owned
};

class TnxLocalizedDictionaryItem : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  using TnxDictionaryItem::TnxDictionaryItem;
  ~TnxLocalizedDictionaryItem() override;

  TnxLocaleDescriptor* LocaleDescriptor() const { return ldiLocaleDescriptor; }
  // aLocaleClass nil: TnxLocaleDescriptor.
  TnxLocaleDescriptor* AddLocaleDescriptor(const platform::ClassInfo* aLocaleClass = nullptr);
  void RemoveLocaleDescriptor();
  std::uint16_t UsedStorageCodePage();

  void ActivateCache() override;
  bool FindRelatedDescriptorOfType(const platform::ClassInfo& aType, TnxDictionaryItem*& aDescriptor,
                                   TnxDictionaryItem* aFrom) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  virtual TnxLocaleDescriptor* UsedLocaleDescriptor();
  virtual TnxLocaleDescriptor* FindInheritedLocaleDescriptor();
  virtual void SaveLocaleToWriter(TnxWriter& aWriter, std::int32_t aClientVersion);
  virtual void LoadLocaleFromReader(TnxReader& aReader);

 protected:
  void beforeDestruction() override;

 private:
  TnxLocaleDescriptor* ldiLocaleDescriptor = nullptr;  // owned
  TnxLocaleDescriptor* ldiCachedLocaleDescriptor = nullptr;
  std::uint16_t ldiCachedStorageCodePage = 0;
};


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

  const platform::ClassInfo* CachedEngineClass() const { return bdvCachedEngineClass; }
  void SetCachedEngineClass(const platform::ClassInfo* aClass) { bdvCachedEngineClass = aClass; }
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
  const platform::ClassInfo* bdvCachedEngineClass = nullptr;
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
  const platform::ClassInfo* fsdCachedEngineClass = nullptr;

 protected:
  void beforeDestruction() override;

 private:
  void RangeCheck(std::int32_t aField) const;
  // NB after a list change: the dictionary's version decides (8712 without one).
  void UpdateAlignForDictionary();
  void RecomputeOffsets(std::int32_t aFrom);
  void FreeFields() noexcept;
  void FillSpecialFieldsInfo(TnxSpecialFieldsInfo& aInfo, bool aRebuildHash);
  bool HasSpecial(TnxSpecialFieldType aKind, std::int32_t& aField);
  std::uint8_t* FieldAddress(std::int32_t aField, void* aData) const {
    return static_cast<std::uint8_t*>(aData) + Fields(aField)->fdOffset;
  }

  std::int32_t fsdCachedGetRecordLength = 0;
  TnxMemoryPool fsdRecordAllocator;
  TnxSortedList* fsdFieldChangeNotifies = nullptr;
  std::vector<TnxFieldDescriptor*> fsdFieldHashList;
  PnxSpecialFieldsInfo fsdCachedSpecialFieldsInfo = nullptr;
  PnxDiffCompressorInfo volatile fsdCachedDiffCompressorInfo = nullptr;
  std::vector<TnxFieldDescriptor*> FieldDescriptor;  // owned
};


// ---------------------------------------------------------------------------
// Storage engine descriptors: they only name the engines of the storage layer
// and the file and header section those use. Heap, block-heap and
// compression parts belong to the descriptor above them. Record, BLOB and
// auto-increment descriptors follow file moves of the related files
// descriptor and refuse the removal of their own file (15502).

// Virtual constructor of every storage descriptor family; classes without a
// header section ignore it.
struct TnxStorageDescriptorClassFuncs {
  TnxDictionaryItem* (*create)(TnxPersistent* aParent, const std::string& aHeaderSection);
};
template <class T>
inline constexpr TnxStorageDescriptorClassFuncs nxStorageDescriptorFuncs{
    [](TnxPersistent* aParent, const std::string& aHeaderSection) -> TnxDictionaryItem* {
      if constexpr (std::is_constructible_v<T, TnxPersistent*, const std::string&>)
        return platform::create<T>(aParent, aHeaderSection);
      else
        return platform::create<T>(aParent);
    }};

using TnxAutoIncStepRange = std::uint32_t;  // 1 .. 4294967295

class TnxBaseBlockHeapDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseBlockHeapDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}
  static TnxClassList& GetList();
  const nxString& BlockHeapEngine() const { return bbhdBlockHeapEngine; }
  void SetBlockHeapEngine(const nxString& aValue) { bbhdBlockHeapEngine = aValue; }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 private:
  nxString bbhdBlockHeapEngine = u"nx1xDefault";
};

class TnxBaseHeapDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseHeapDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}
  ~TnxBaseHeapDescriptor() override;
  static TnxClassList& GetList();
  const nxString& HeapEngine() const { return bhdHeapEngine; }
  void SetHeapEngine(const nxString& aValue) { bhdHeapEngine = aValue; }
  TnxBaseBlockHeapDescriptor* BlockHeapDescriptor() const { return bhdBlockHeapDescriptor; }
  // aClass nil: TnxBaseBlockHeapDescriptor.
  TnxBaseBlockHeapDescriptor* AddBlockHeapDescriptor(const platform::ClassInfo* aClass = nullptr);
  void RemoveBlockHeapDescriptor();
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;

 private:
  nxString bhdHeapEngine = u"nx1xDefault";
  TnxBaseBlockHeapDescriptor* bhdBlockHeapDescriptor = nullptr;  // owned
};

class TnxBaseRecordCompressionDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseRecordCompressionDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}
  static TnxClassList& GetList();
  const nxString& RecordCompressionEngine() const { return brcdRecordCompressionEngine; }
  void SetRecordCompressionEngine(const nxString& aValue);
  // The custom string "CompressType"; 0 removes it.
  std::uint8_t CompressType();
  void SetCompressType(std::uint8_t aValue);
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 private:
  nxString brcdRecordCompressionEngine = u"Smart";
};

// The file number part shared by the record, BLOB and auto-increment
// descriptors (subscribed to file changes while alive).
class TnxFileStorageDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  TnxFileStorageDescriptor(TnxPersistent* aParent, const std::string& aHeaderSection);
  ~TnxFileStorageDescriptor() override;
  const std::string& HeaderSection() const { return fsHeaderSection; }
  std::int32_t FileNumber() const { return fsFileNumber; }
  // 9999 "Invalid file number: %d" outside the related files.
  void SetFileNumber(std::int32_t aValue);
  void HandleFileChange(bool aBefore, std::int32_t aOld, std::int32_t aNew) override;
  void CheckValid(bool aForBuild) override;

 protected:
  void beforeDestruction() override;
  // The engine kind named in the removal refusal ("a record engine", ...).
  virtual const char16_t* EngineKindText() const = 0;
  [[noreturn]] virtual void Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const = 0;
  void CheckFileNumber(std::int32_t aValue) const;
  std::int32_t fsFileNumber = 0;

 private:
  void Unsubscribe() noexcept;
  std::string fsHeaderSection;
  bool fsSubscribed = false;
};

class TnxBaseRecordDescriptor : public TnxFileStorageDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxFileStorageDescriptor::TnxFileStorageDescriptor;
  static TnxClassList& GetList();
  static TnxBaseRecordDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent,
                                                const std::string& aHeaderSection);
  const nxString& RecordEngine() const { return brdRecordEngine; }
  void SetRecordEngine(const nxString& aValue);
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  const char16_t* EngineKindText() const override { return u"a record engine"; }
  [[noreturn]] void Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const override;

 private:
  nxString brdRecordEngine = u"nx1xDefault";
};

class TnxHeapRecordDescriptor : public TnxBaseRecordDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseRecordDescriptor::TnxBaseRecordDescriptor;
  ~TnxHeapRecordDescriptor() override;
  TnxBaseHeapDescriptor* HeapDescriptor() const { return hrdHeapDescriptor; }
  TnxBaseRecordCompressionDescriptor* RecordCompressionDescriptor() const { return hrdRecordCompressionDescriptor; }
  TnxBaseHeapDescriptor* AddHeapDescriptor(const platform::ClassInfo* aClass = nullptr);
  void RemoveHeapDescriptor();
  TnxBaseRecordCompressionDescriptor* AddRecordCompressionDescriptor(const platform::ClassInfo* aClass = nullptr);
  void RemoveRecordCompressionDescriptor();
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;

 private:
  TnxBaseHeapDescriptor* hrdHeapDescriptor = nullptr;                             // owned
  TnxBaseRecordCompressionDescriptor* hrdRecordCompressionDescriptor = nullptr;  // owned
};

class TnxBaseBlobDescriptor : public TnxFileStorageDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxFileStorageDescriptor::TnxFileStorageDescriptor;
  static TnxClassList& GetList();
  static TnxBaseBlobDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent,
                                              const std::string& aHeaderSection);
  const nxString& BlobEngine() const { return bbdBlobEngine; }
  void SetBlobEngine(const nxString& aValue);
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  const char16_t* EngineKindText() const override { return u"a blob engine"; }
  [[noreturn]] void Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const override;

 private:
  nxString bbdBlobEngine = u"nx1xDefault";
};

class TnxHeapBlobDescriptor : public TnxBaseBlobDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseBlobDescriptor::TnxBaseBlobDescriptor;
  ~TnxHeapBlobDescriptor() override;
  TnxBaseHeapDescriptor* HeapDescriptor() const { return hbdHeapDescriptor; }
  TnxBaseHeapDescriptor* AddHeapDescriptor(const platform::ClassInfo* aClass = nullptr);
  void RemoveHeapDescriptor();
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;

 private:
  TnxBaseHeapDescriptor* hbdHeapDescriptor = nullptr;  // owned
};

class TnxBaseAutoIncDescriptor : public TnxFileStorageDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxFileStorageDescriptor::TnxFileStorageDescriptor;
  static TnxClassList& GetList();
  static TnxBaseAutoIncDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent,
                                                 const std::string& aHeaderSection);
  const nxString& AutoIncEngine() const { return baidAutoIncEngine; }
  void SetAutoIncEngine(const nxString& aValue);
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  const char16_t* EngineKindText() const override { return u"an autoinc engine"; }
  [[noreturn]] void Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const override;

 private:
  nxString baidAutoIncEngine = u"nx1xDefault";
};

class TnxAdvAutoIncDescriptor : public TnxBaseAutoIncDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseAutoIncDescriptor::TnxBaseAutoIncDescriptor;
  std::uint32_t InitialValue() const { return aaidInitialValue; }
  void SetInitialValue(std::uint32_t aValue);
  TnxAutoIncStepRange Step() const { return aaidStep; }
  void SetStep(TnxAutoIncStepRange aValue);
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 private:
  std::uint32_t aaidInitialValue = 1;
  TnxAutoIncStepRange aaidStep = 1;
};

class TnxBaseStreamDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseStreamDescriptor(TnxPersistent* aParent, const std::string& aHeaderSection)
      : TnxDictionaryItem(aParent), bsdHeaderSection(aHeaderSection) {}
  static TnxClassList& GetList();
  const std::string& HeaderSection() const { return bsdHeaderSection; }
  const nxString& StreamEngine() const { return bsdStreamEngine; }
  void SetStreamEngine(const nxString& aValue);
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 private:
  nxString bsdStreamEngine = u"nx1xDefault";
  std::string bsdHeaderSection;
};

// ---------------------------------------------------------------------------
// Key descriptors: what the key of an index is. The optional filter (owned)
// keeps records it rejects out of the index. KeyLen is the key's length in
// bytes.

struct TnxKeyDescriptorClassFuncs {
  TnxDictionaryItem* (*create)(TnxPersistent* aParent);
};
template <class T>
inline constexpr TnxKeyDescriptorClassFuncs nxKeyDescriptorFuncs{
    [](TnxPersistent* aParent) -> TnxDictionaryItem* { return platform::create<T>(aParent); }};

class TnxBaseKeyDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseKeyDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}
  ~TnxBaseKeyDescriptor() override;
  static TnxClassList& GetList();
  // 15499 "%s class is not supported: %s" ("KeyDescriptor") for a class
  // outside the family.
  static TnxBaseKeyDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent);

  TnxBaseFilterDescriptor* Filter() const { return Filter_; }
  // Takes ownership; frees the filter held before.
  void SetFilter(TnxBaseFilterDescriptor* aFilter);

  virtual bool IsValidForTable(TnxDictionaryItem* /*aTable*/) { return true; }
  virtual std::uint32_t KeyLen() = 0;
  virtual bool CanContainNulls() { return true; }

  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;

 private:
  TnxBaseFilterDescriptor* Filter_ = nullptr;
};

// Single-value keys: the base part, then Integer 1.
class TnxSimpleKeyDescriptor : public TnxBaseKeyDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseKeyDescriptor::TnxBaseKeyDescriptor;
  bool CanContainNulls() override { return false; }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;

 protected:
  [[noreturn]] virtual void RaiseIncompatible() const = 0;
};

// The record's reference number.
class TnxRefKeyDescriptor : public TnxSimpleKeyDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxSimpleKeyDescriptor::TnxSimpleKeyDescriptor;
  std::uint32_t KeyLen() override { return 8; }

 protected:
  [[noreturn]] void RaiseIncompatible() const override;
};

// A signed 64-bit value.
class TnxInt64KeyDescriptor : public TnxSimpleKeyDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxSimpleKeyDescriptor::TnxSimpleKeyDescriptor;
  std::uint32_t KeyLen() override { return 8; }

 protected:
  [[noreturn]] void RaiseIncompatible() const override;
};

// The key of a client BLOB cache table.
class TnxBlobCacheKeyDescriptor : public TnxSimpleKeyDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxSimpleKeyDescriptor::TnxSimpleKeyDescriptor;
  std::uint32_t KeyLen() override { return 28; }

 protected:
  [[noreturn]] void RaiseIncompatible() const override;
};

// ---------------------------------------------------------------------------
// Key fields and composite keys. A key field names one field of the related
// fields descriptor by number and follows that descriptor's renumbering
// (it subscribes to field changes and vetoes the removal of its field with
// 15502). nxKeyFieldOfOwnerField instead means the field descriptor the key
// field hangs under. A composite key caches its length until a key field
// changes.

enum TnxNullBehaviour : std::uint8_t { nbTop, nbBottom, nbAsAscend, nbFilterNull, nbFilterNonNull };
inline constexpr const char16_t* nxNullBehaviourNames[] = {u"nbTop", u"nbBottom", u"nbAsAscend", u"nbFilterNull",
                                                           u"nbFilterNonNull"};
inline constexpr std::int32_t nxKeyFieldOfOwnerField = INT32_MIN;

class TnxKeyFieldDescriptor;
struct TnxKeyFieldDescriptorClassFuncs {
  TnxKeyFieldDescriptor* (*create)(TnxPersistent* aParent, std::int32_t aFieldNumber);
};
template <class T>
inline constexpr TnxKeyFieldDescriptorClassFuncs nxKeyFieldDescriptorFuncs{
    [](TnxPersistent* aParent, std::int32_t aFieldNumber) -> TnxKeyFieldDescriptor* {
      return platform::create<T>(aParent, aFieldNumber);
    }};

class TnxKeyFieldDescriptor : public TnxLocalizedDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  TnxKeyFieldDescriptor(TnxPersistent* aParent, std::int32_t aFieldNumber);
  ~TnxKeyFieldDescriptor() override;
  static TnxClassList& GetList();
  // 15499 "%s class is not supported: %s" ("KeyFieldDescriptor").
  static TnxKeyFieldDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent,
                                              std::int32_t aFieldNumber);

  std::int32_t FieldNumber() const { return kfdFieldNumber; }
  void SetFieldNumber(std::int32_t aValue);
  const nxString& Desc() const { return kfdDesc; }
  void SetDesc(const nxString& aValue) { CheckReadOnly(); kfdDesc = aValue; }
  const nxString& KeyFieldEngine() const { return kfdKeyFieldEngine; }
  void SetKeyFieldEngine(const nxString& aValue) { CheckReadOnly(); kfdKeyFieldEngine = aValue; }
  bool Ascend() const { return kfdAscend; }
  void SetAscend(bool aValue) { CheckReadOnly(); kfdAscend = aValue; }
  std::int32_t OverrideLengthBytes() const { return kfdOverrideLengthBytes; }
  void SetOverrideLengthBytes(std::int32_t aValue);
  std::int32_t OverrideLengthChars() const { return kfdOverrideLengthChars; }
  void SetOverrideLengthChars(std::int32_t aValue);
  TnxNullBehaviour NullBehaviour() const { return kfdNullBehaviour; }
  void SetNullBehaviour(TnxNullBehaviour aValue) { CheckReadOnly(); kfdNullBehaviour = aValue; }

  // The field referred to; nil when there is none (a number outside the
  // related fields descriptor included).
  TnxFieldDescriptor* Field();
  std::int32_t KeyLength();
  std::int32_t KeyChars();

  virtual bool IsValidForTable(TnxDictionaryItem* aTable);
  virtual bool CanContainNulls();

  void HandleFieldChange(bool aBefore, std::int32_t aOld, std::int32_t aNew) override;
  bool OwnRequiresPack() override;
  TnxLocaleDescriptor* FindInheritedLocaleDescriptor() override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;
  // Whether an old client's stream can carry an own locale descriptor.
  virtual bool OldStreamHoldsLocale() const { return false; }

 private:
  void KeyLengthChanged();
  void Unsubscribe() noexcept;

  std::int32_t kfdFieldNumber;
  nxString kfdDesc;
  nxString kfdKeyFieldEngine;
  bool kfdAscend = true;
  std::int32_t kfdOverrideLengthBytes = 0;
  std::int32_t kfdOverrideLengthChars = 0;
  TnxNullBehaviour kfdNullBehaviour = nbTop;
  TnxFieldsDescriptor* kfdSubscribedTo = nullptr;
};

class TnxTextKeyFieldDescriptor : public TnxKeyFieldDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxKeyFieldDescriptor::TnxKeyFieldDescriptor;
  bool IgnoreCase() const { return tkfIgnoreCase; }
  void SetIgnoreCase(bool aValue) { CheckReadOnly(); tkfIgnoreCase = aValue; }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 private:
  bool tkfIgnoreCase = false;
};

// Streams its own locale a second time, in the old form for old clients.
class TnxExtTextKeyFieldDescriptor : public TnxTextKeyFieldDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxTextKeyFieldDescriptor::TnxTextKeyFieldDescriptor;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;

 protected:
  bool OldStreamHoldsLocale() const override { return true; }
};

class TnxCompKeyDescriptor : public TnxBaseKeyDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxCompKeyDescriptor(TnxPersistent* aParent) : TnxBaseKeyDescriptor(aParent) {}
  ~TnxCompKeyDescriptor() override;

  std::int32_t KeyFieldCount() const { return static_cast<std::int32_t>(ckdKeyFields.size()); }
  TnxKeyFieldDescriptor* ckdGetKeyField(std::int32_t aIndex) const {
    return ckdKeyFields[static_cast<std::size_t>(aIndex)];
  }
  TnxKeyFieldDescriptor* KeyFields(std::int32_t aIndex) const { return ckdGetKeyField(aIndex); }
  static const platform::ClassInfo& DefaultKeyFieldClass();

  // aClass nil: DefaultKeyFieldClass. The name forms look the number up in
  // the related fields descriptor (8712 without one; -1 when unknown).
  virtual TnxKeyFieldDescriptor* Add(std::int32_t aFieldNumber, const platform::ClassInfo* aClass = nullptr);
  TnxKeyFieldDescriptor* Add(const nxString& aFieldName, const platform::ClassInfo* aClass = nullptr);
  virtual TnxKeyFieldDescriptor* Insert(std::int32_t aInx, std::int32_t aFieldNumber,
                                        const platform::ClassInfo* aClass = nullptr);
  TnxKeyFieldDescriptor* Insert(std::int32_t aInx, const nxString& aFieldName,
                                const platform::ClassInfo* aClass = nullptr);
  void Delete(std::int32_t aInx);
  void Move(std::int32_t aFrom, std::int32_t aTo);
  // Drops the cached length; key fields call it when they change.
  void KeyLenChanged() { ckdKeyLen = -1; }

  bool IsValidForTable(TnxDictionaryItem* aTable) override;
  std::uint32_t KeyLen() override;
  bool CanContainNulls() override;
  void Clear(bool aNotify) override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;
  // Bytes of the null bitmap that starts a key.
  virtual std::int32_t NullBitmapBytes() const { return (KeyFieldCount() + 7) / 8; }

 private:
  void FreeKeyFields() noexcept;
  std::int32_t FieldNumberOf(const nxString& aFieldName);

  std::vector<TnxKeyFieldDescriptor*> ckdKeyFields;  // owned
  std::int32_t ckdKeyLen = -1;
};

// A composite key without the null bitmap: every field must be non-NULL.
class TnxNoNullCompKeyDescriptor : public TnxCompKeyDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxCompKeyDescriptor::TnxCompKeyDescriptor;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;

 protected:
  std::int32_t NullBitmapBytes() const override { return 0; }
};

// ---------------------------------------------------------------------------
// Index descriptors: name, index engine, file and duplicates rule of an
// index; each owns its key descriptor. The index follows the renumbering of
// the files descriptor and vetoes the removal of its file (15502). Name, file
// number and key class are streamed by the indices list, not here.

enum TnxIndexDups : std::uint8_t { idNone, idNull, idAll };

class TnxIndexDescriptor;
struct TnxIndexDescriptorClassFuncs {
  TnxIndexDescriptor* (*create)(TnxPersistent* aParent, const nxString& aName, std::int32_t aFileNumber,
                                const platform::ClassInfo* aKeyClass);
};
template <class T>
inline constexpr TnxIndexDescriptorClassFuncs nxIndexDescriptorFuncs{
    [](TnxPersistent* aParent, const nxString& aName, std::int32_t aFileNumber,
       const platform::ClassInfo* aKeyClass) -> TnxIndexDescriptor* {
      return platform::create<T>(aParent, aName, aFileNumber, aKeyClass);
    }};

class TnxIndexDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  // aKeyClass nil: TnxCompKeyDescriptor. An invalid name: 10022.
  TnxIndexDescriptor(TnxPersistent* aParent, const nxString& aName, std::int32_t aFileNumber,
                     const platform::ClassInfo* aKeyClass = nullptr);
  ~TnxIndexDescriptor() override;
  static TnxClassList& GetList();
  // Without a parent; Number() is aNumber.
  static TnxIndexDescriptor* CreateStandalone(std::int32_t aNumber, const nxString& aName, std::int32_t aFileNumber,
                                              const platform::ClassInfo* aKeyClass = nullptr,
                                              const platform::ClassInfo* aClass = nullptr);
  // Reads what SaveStandalone wrote; unknown classes: 15499.
  static TnxIndexDescriptor* CreateStandaloneFromReader(TnxReader& aReader);
  void SaveStandalone(TnxWriter& aWriter, std::int32_t aVersion);

  const nxString& Name() const { return idName; }
  const nxString& IndexEngine() const { return idIndexEngine; }
  void SetIndexEngine(const nxString& aValue) { CheckReadOnly(); idIndexEngine = aValue; }
  const nxString& Desc() const { return idDesc; }
  void SetDesc(const nxString& aValue) { CheckReadOnly(); idDesc = aValue; }
  std::int32_t FileNumber() const { return idFileNumber; }
  void SetFileNumber(std::int32_t aValue) { idFileNumber = aValue; }
  TnxBaseKeyDescriptor* KeyDescriptor() const { return idKeyDescriptor; }
  TnxIndexDups Dups() const { return idDups; }
  void SetDups(TnxIndexDups aValue) { CheckReadOnly(); idDups = aValue; }
  std::int32_t Number() const { return idNumber; }
  void SetNumber(std::int32_t aValue) { idNumber = aValue; }
  // The related files descriptor's file; nil without one or outside it.
  TnxFileDescriptor* IndexFile();

  virtual bool IsValidForTable(TnxDictionaryItem* aTable);
  virtual void MakeIndexCacheable();

  void HandleFileChange(bool aBefore, std::int32_t aOld, std::int32_t aNew) override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;

 private:
  void Unsubscribe() noexcept;

  nxString idName;
  nxString idIndexEngine = u"nx1xDefault";
  nxString idDesc;
  std::int32_t idFileNumber;
  TnxBaseKeyDescriptor* idKeyDescriptor = nullptr;  // owned
  TnxIndexDups idDups = idNone;
  std::int32_t idNumber = 0;
  TnxFilesDescriptor* idSubscribedTo = nullptr;
};

// ---------------------------------------------------------------------------
// Start-up and finalisation (counted). aArguments: the command line to search
// for the switch; without, the program's own.
void nxsdDataDictionaryInitialize();
void nxsdDataDictionaryInitialize(std::span<const nxString> aArguments);
void nxsdDataDictionaryFinalize();

// The families built on the items above.
#include "nxsdDataDictionaryIndices.h"
#include "nxsdDataDictionaryTables.h"
