// Dictionary items: the nodes of a table's data dictionary tree, the file and
// files descriptors, the base of named custom descriptors, the locale
// descriptor and the items that carry one. Part of nxsdDataDictionary:
// include nxsdDataDictionary.h, not this header.
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
// a registry, filled at the module's start-up.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "nxllComponent.h"
#include "nxllException.h"
#include "nxllList.h"
#include "nxllMemoryManager.h"
#include "nxllOwners.h"
#include "nxllRegisterableEngine.h"
#include "nxllStreams.h"
#include "nxllTypes.h"
#include "nxllUtils.h"
#include "nxsdTypes.h"
#include "plStringList.h"

// ---------------------------------------------------------------------------
// Exceptions

NX_DECLARE_EXCEPTION(EnxBaseDictionaryException, EnxBaseException)
NX_DECLARE_EXCEPTION(EnxDictionaryItemException, EnxBaseDictionaryException)
NX_DECLARE_EXCEPTION(EnxFileDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxFilesDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxLocaleDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxLocaleizedDictionaryItemException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxBaseCustomDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxCustomDescsDescriptorException, EnxDictionaryItemException)

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
  // Whether wide keys without a locale compare by code unit; an item that
  // holds no flag answers as a new dictionary would.
  virtual bool DictionaryUsesByteOrderForWideString() const { return !nxDisable30900LocaleFixes.load(); }

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
  TnxOwned<TnxSortedList> diChilds;
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

  TnxOwned<TnxSortedList> fidFileChangeNotifies;
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
  std::atomic<TNLSVersionInfoEx*> ldNLSVersionInfoCurrent{nullptr};  // owned, installed once
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
