// Index framework: the indices engine that keeps every index of a table up
// to date (insert, delete and update of keys with undo), the index engine
// base with its registry, the per-operation header access of one index, the
// key-violation message, index paths with their positions and bookmarks, the
// bulk-builder bases and the reader of index blocks.
//
// Index blocks ("NXIH", little-endian): 0 signature, 4 block number, 8 LSN,
// 16 u64 ident counter (incremented on every fetch for change), 24 previous
// leaf, 28 next leaf, 32 u16 first used slot, 34 u16 count, 36 kind (0
// index header, 1 internal node, 2 leaf), 37 index number, 40 entries.
//
// One writer per table at a time: the key buffers and the current-operation
// fields are shared per indices engine. Readers work through index paths.
#pragma once

#include <cstdint>
#include <vector>

#include "nxsdFilterEngineBase.h"
#include "nxsdKeyEngineBase.h"
#include "nxsrSubEngineBase.h"

NX_DECLARE_EXCEPTION(EnxBaseIndicesEngineException, EnxBaseSubEngineException)
NX_DECLARE_EXCEPTION(EnxBaseIndexEngineException, EnxBaseSubEngineException)
NX_DECLARE_EXCEPTION(EnxBaseBulkBuilder, EnxBaseException)
NX_DECLARE_EXCEPTION(EnxBaseIndexBulkBuilder, EnxBaseBulkBuilder)

class TnxBaseIndicesEngine;
class TnxBaseIndexEngine;
class TnxBaseIndexPath;
class TnxBaseBulkBuilder;

namespace nxIdx {
inline constexpr std::uint32_t Ident = 16, PrevLeaf = 24, NextLeaf = 28, First = 32, Count = 34, Kind = 36,
                               IndexNumber = 37, Entries = 40;
inline constexpr std::uint8_t KindHeader = 0, KindInternal = 1, KindLeaf = 2;
inline constexpr std::uint32_t NoBlock = 0xFFFFFFFFu;
// Index header block: 40 key lengths (256 x u16), 552 key counts, 1576
// roots, 2600 page counts (256 x u32 each).
inline constexpr std::uint32_t KeyLen = 40, KeyCount = 552, Root = 1576, PageCount = 2600, HeaderSize = 3584;
inline constexpr std::int32_t MaxIndices = 256;
}  // namespace nxIdx

inline constexpr TnxRefNr nxNoRefNr = 0x7FFFFFFFFFFFFFFF;

// Reads an index block: 15409 for a number outside the file, 15424 when it
// is no "NXIH" block of that number; a fetch for change bumps the ident
// counter. aRelease receives the block's release method.
PnxBlock nxReadIndexBlock(TnxBaseTransaction* aTrans, TnxBlockAccess* aAccess, TnxBaseFileHeaderAccess* aHeader,
                          std::int32_t aID, bool aMarkDirty, TnxBlockNumber aBlockNumber, TnxReleaseMethod& aRelease);
// The same against a used-block count read before.
PnxBlock nxReadIndexBlock(TnxBaseTransaction* aTrans, TnxBlockAccess* aAccess, std::uint32_t aUsedBlocks,
                          std::int32_t aID, bool aMarkDirty, TnxBlockNumber aBlockNumber, TnxReleaseMethod& aRelease);

enum TnxKeyErrorType : std::uint8_t { etInsert, etDelete, etModifyDelete, etModifyInsert, etBulkCreate };

struct TnxRangeInfo {
  const void* riKey = nullptr;
  std::int32_t riFieldCount = 0;
  std::int32_t riPartitial = 0;
  bool riExclusive = false;
  bool riValid = false;
};

// ---- Header access of one index --------------------------------------------------

class TnxBaseIndexHeaderAccess : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseIndexHeaderAccess(TnxBaseTransaction* aTrans, TnxBaseIndexEngine* aIndex, bool aFileMarkDirty,
                           bool aIndexMarkDirty, std::int32_t aFieldCount, std::int32_t aPartialLen);
  ~TnxBaseIndexHeaderAccess() override;

  virtual TnxBlockNumber GetIndexRoot() = 0;
  virtual void SetIndexRoot(TnxBlockNumber aValue) = 0;
  virtual std::uint32_t GetIndexPageCount() = 0;
  virtual void SetIndexPageCount(std::uint32_t aValue) = 0;
  virtual std::uint32_t GetIndexKeyCount() = 0;
  virtual void SetIndexKeyCount(std::uint32_t aValue) = 0;
  virtual TnxLSN GetIndexLSN() = 0;

  TnxBaseFileHeaderAccess* FileHeader();
  void SetCompareDate(std::int32_t aFieldCount, std::int32_t aPartialLen) {
    bhaFieldCount = aFieldCount;
    bhaPartialLen = aPartialLen;
  }

  TnxBaseTransaction* bhaTrans;
  bool bhaFileMarkDirty;
  bool bhaIndexMarkDirty;
  std::int32_t bhaID;
  TnxBaseIndexEngine* bhaIndex;
  TnxBaseFileHeaderAccess* bhaFileHeader = nullptr;
  std::int32_t bhaFieldCount;
  std::int32_t bhaPartialLen;

 private:
  // Told that a header may change while this lives (index part dirty).
  bool bhaChanging = false;
};

// Class function of an indices engine class: its header access.
using TnxIndexHeaderAccessCreate = TnxBaseIndexHeaderAccess* (*)(TnxBaseTransaction*, TnxBaseIndexEngine*, bool, bool,
                                                                 std::int32_t, std::int32_t);

// ---- Bulk builders ---------------------------------------------------------------

class TnxBaseBulkBuilder : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  virtual TnxResult InsertKey(const TnxRefNr* aRefNr, PnxRecordBuffer aRecord, TnxBaseTransaction* aTrans) = 0;
  virtual TnxResult Finalize(TnxBaseTransaction* aTrans) = 0;
};

class TnxBulkBuilderHub : public TnxBaseBulkBuilder {
  PL_CLASS_INFO_DECL()
 public:
  TnxBulkBuilderHub(TnxBaseTransaction* aTrans, TnxBaseIndicesEngine* aEngine);
  ~TnxBulkBuilderHub() override;
  TnxResult InsertKey(const TnxRefNr* aRefNr, PnxRecordBuffer aRecord, TnxBaseTransaction* aTrans) override;
  TnxResult Finalize(TnxBaseTransaction* aTrans) override;

  std::vector<TnxBaseBulkBuilder*> bbhBulkBuilders;  // owned
};

class TnxBaseIndexBulkBuilder : public TnxBaseBulkBuilder {
  PL_CLASS_INFO_DECL()
 public:
  // 15511 when the index is not empty.
  TnxBaseIndexBulkBuilder(TnxBaseTransaction* aTrans, TnxBaseIndexEngine* aIndexEngine);

  TnxBaseIndexEngine* bibbIndexEngine;
  TnxBaseKeyEngine* bibbKeyEngine;
  std::int32_t bibbRefNrOffest;
};

class TnxDefaultIndexBulkBuilder : public TnxBaseIndexBulkBuilder {
  PL_CLASS_INFO_DECL()
 public:
  TnxDefaultIndexBulkBuilder(TnxBaseTransaction* aTrans, TnxBaseIndexEngine* aIndexEngine);
  ~TnxDefaultIndexBulkBuilder() override;
  TnxResult InsertKey(const TnxRefNr* aRefNr, PnxRecordBuffer aRecord, TnxBaseTransaction* aTrans) override;
  TnxResult Finalize(TnxBaseTransaction*) override { return 0; }

  PnxKeyBuffer dibbKey = nullptr;
};

// ---- Index engines ---------------------------------------------------------------

// Class-level functions of an index engine class (beside nxSubEngineFuncs).
struct TnxIndexEngineClassFuncs {
  TnxBaseIndexEngine* (*create)(TnxBaseIndicesEngine* aIndicesEngine, TnxIndexDescriptor* aDescriptor,
                                TnxBaseKeyEngine* aKeyEngine);
};

class TnxBaseIndexEngine : public TnxBaseSubEngine {
  PL_CLASS_INFO_DECL()
 public:
  // Takes ownership of aKeyEngine.
  TnxBaseIndexEngine(TnxBaseIndicesEngine* aIndicesEngine, TnxIndexDescriptor* aDescriptor,
                     TnxBaseKeyEngine* aKeyEngine);
  ~TnxBaseIndexEngine() override;

  static TnxClassList& GetList();
  static void CheckDictionary(TnxBaseTableDescriptor*) {}
  // A descriptor inside a table must have a valid key descriptor.
  static void CheckEngineDescriptor(TnxDictionaryItem* aDescriptor);
  // Finds the class (15503 "index") and runs its descriptor check.
  static void CheckValidBaseFromDescriptor(TnxIndexDescriptor* aDescriptor);
  static TnxBaseIndexEngine* CreateEngine(TnxBaseIndicesEngine* aIndicesEngine, TnxBaseKeyEngine* aKeyEngine,
                                          TnxIndexDescriptor* aDescriptor);
  // Module start-up of an engine class: the short name and the constructor.
  static void RegisterIndexEngine(const platform::ClassInfo& aClass, std::string_view aShortName,
                                  const TnxIndexEngineClassFuncs& aFuncs);
  static void UnregisterIndexEngine(const platform::ClassInfo& aClass);

  virtual TnxBaseIndexPath* CreateIndexPath() = 0;
  TnxBaseIndexHeaderAccess* CreateHeaderAccess(TnxBaseTransaction* aTrans, bool aFileMarkDirty, bool aIndexMarkDirty,
                                               std::int32_t aFieldCount, std::int32_t aPartialLen);
  // The header values a search reads, as aTrans sees them: kept by the
  // transaction between operations, or without a transaction by the engine
  // until the next commit, rollback or file change. False while aTrans
  // changes a header: then the caller reads the header itself.
  struct HeaderValues {
    TnxBlockNumber hvRoot = 0;
    std::uint32_t hvPageCount = 0;
    std::uint32_t hvKeyCount = 0;
    std::uint32_t hvUsedBlocks = 0;  // of the index file
  };
  bool ReadHeaderValues(TnxBaseTransaction* aTrans, HeaderValues& aValues);
  virtual void ValidateIndexPath(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath) = 0;
  virtual TnxBaseBulkBuilder* CreateBulkBuilder(TnxBaseTransaction* aTrans);

  virtual void DeleteAllKeys(TnxBaseTransaction* aTrans) = 0;
  // After RemoveIndex moved this index to a lower number: nodes that carry
  // the number learn the new one.
  virtual void IndexNumberChanged(TnxBaseTransaction*) {}
  virtual bool DeleteKey(TnxBaseTransaction* aTrans, const void* aKey, TnxRefNr aRefNr, TnxRefNr aCacheRefNr,
                         TnxBaseIndexPath* aPath) = 0;
  virtual bool InsertKey(TnxBaseTransaction* aTrans, const void* aKey, TnxRefNr aRefNr, TnxRefNr aCacheRefNr,
                         TnxBaseIndexPath* aPath) = 0;
  virtual bool FindKey(TnxBaseTransaction* aTrans, const void* aKey, std::int32_t aFieldCount,
                       std::int32_t aPartialLen, TnxRefNr aRefNr, TnxBaseIndexPath* aPath,
                       TnxSearchKeyAction aAction, TnxBaseFilterEngine* aKeyFilter) = 0;
  virtual bool NextKey(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath, TnxBaseFilterEngine* aKeyFilter) = 0;
  virtual bool PrevKey(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath, TnxBaseFilterEngine* aKeyFilter) = 0;
  virtual void GetKeyCount(TnxBaseTransaction* aTrans, std::uint32_t& aCount) = 0;
  virtual void Iterate(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath, PnxRecordBuffer aData,
                       const TnxKeyIterator& aKeyIterator, const TnxRecordIterator& aRecIterator, void* aCookie,
                       const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter,
                       TnxBaseFilterEngine* aKeyFilter, bool aKeepPosition) = 0;
  virtual void IterateBackward(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath, PnxRecordBuffer aData,
                               const TnxKeyIterator& aKeyIterator, const TnxRecordIterator& aRecIterator,
                               void* aCookie, const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd,
                               TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter, bool aKeepPosition) = 0;
  virtual TnxResult RecNoGet(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath, const TnxRangeInfo& aRangeStart,
                             const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter,
                             TnxBaseFilterEngine* aKeyFilter, std::uint32_t& aRecNo, bool aFlipOrder) = 0;
  virtual TnxResult RecNoSet(TnxBaseTransaction* aTrans, std::uint32_t aRecNo, TnxBaseIndexPath* aPath,
                             const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd,
                             TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter, bool aFlipOrder) = 0;
  virtual TnxResult EstimateRecordCount(TnxBaseTransaction* aTrans, const TnxRangeInfo& aRangeStart,
                                        const TnxRangeInfo& aRangeEnd, std::uint32_t& aRecordCount,
                                        bool aFlipOrder) = 0;
  // Prepares the key-violation message (pending for 9729) and answers 9729.
  TnxResult GetKeyError(TnxKeyErrorType aErrorType, const void* aKey, TnxRefNr aRefNr);
  virtual std::int64_t SeqAccessLookup(TnxBaseTransaction*, TnxRefNr, TnxBaseIndexPath*) { return 0; }

  TnxBaseIndicesEngine* bieIndicesEngine;
  TnxOwned<TnxBaseKeyEngine> bieKeyEngine;
  TnxOwned<TnxBookmarkHandler> bieBookmarkHandler;
  TnxBlockAccess* bieIndexFile = nullptr;
  TnxIndexDescriptor* bieDescriptor;
  std::int32_t bieIndexNumber;
  nxString bieIndexName;
  bool bieDups;
  bool bieDupsNullOnly;
  bool bieKeysAreRefs;
  std::int32_t bieMaxFieldCount;
  std::int32_t bieRefNrOffset;

 private:
  // The committed header values read last without a transaction, at the
  // buffer manager's header epoch (0: none); readers on any thread share them.
  TnxLazyPadlock bieKeptPadlock;
  std::uint64_t bieKeptEpoch = 0;
  HeaderValues bieKept;
};

// ---- Indices engines -------------------------------------------------------------

struct TnxIndicesEngineClassFuncs {
  TnxBaseIndicesEngine* (*create)(TnxBaseIndicesDescriptor* aDescriptor, const TnxBlockAccessArray& aFiles,
                                  TnxBaseRecordEngine* aRecordEngine, TnxBaseTransaction* aTrans,
                                  bool aAddToExisting);
};

class TnxBaseIndicesEngine : public TnxBaseSubEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseIndicesEngine(TnxBaseIndicesDescriptor* aDescriptor, const TnxBlockAccessArray& aFiles,
                       TnxBaseRecordEngine* aRecordEngine);
  ~TnxBaseIndicesEngine() override;

  static TnxClassList& GetList();
  static void CheckDictionary(TnxBaseTableDescriptor* aTable);
  // Every index descriptor through its engine class.
  static void CheckEngineDescriptor(TnxDictionaryItem* aDescriptor);
  static void CheckValidBaseFromDescriptor(TnxBaseIndicesDescriptor* aDescriptor);
  // Nil for a nil descriptor; 15503 "indices" for an unknown name.
  static TnxBaseIndicesEngine* CreateEngine(TnxBaseIndicesDescriptor* aDescriptor, const TnxBlockAccessArray& aFiles,
                                            TnxBaseRecordEngine* aRecordEngine, TnxBaseTransaction* aTrans,
                                            bool aAddToExisting);
  static TnxBaseIndicesEngine* CreateEngine(TnxBaseTableDescriptor* aDescriptor, const TnxBlockAccessArray& aFiles,
                                            TnxBaseRecordEngine* aRecordEngine, TnxBaseTransaction* aTrans,
                                            bool aAddToExisting);
  static TnxBaseIndicesEngine* CreateEngine(TnxBaseIndicesDescriptor* aDescriptor, const TnxBlockAccessArray& aFiles,
                                            TnxBaseTransaction* aTrans, bool aAddToExisting);
  static void RegisterIndicesEngine(const platform::ClassInfo& aClass, std::string_view aShortName,
                                    const TnxIndicesEngineClassFuncs& aFuncs);
  static void UnregisterIndicesEngine(const platform::ClassInfo& aClass);

  virtual void InitIndexHeader(TnxBaseTransaction* aTrans, std::int32_t aIndex) = 0;
  virtual void RemoveIndexHeader(TnxBaseTransaction* aTrans, std::int32_t aIndex) = 0;
  virtual TnxIndexHeaderAccessCreate HeaderAccessClass() = 0;
  virtual TnxBaseBulkBuilder* CreateBulkBuilder(TnxBaseTransaction* aTrans);

  TnxResult InsertKeys(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PnxRecordBuffer aRecord, TnxBaseIndexPath* aPath);
  TnxResult DeleteKeys(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PnxRecordBuffer aRecord, TnxBaseIndexPath* aPath);
  TnxResult UpdateKeys(TnxBaseTransaction* aTrans, TnxRefNr aOldRefNr, PnxRecordBuffer aOldRecord,
                       TnxRefNr aNewRefNr, PnxRecordBuffer aNewRecord, TnxBaseIndexPath* aPath);
  void AddIndex(TnxBaseTransaction* aTrans, std::int32_t aIndex);
  void RemoveIndex(TnxBaseTransaction* aTrans, std::int32_t aIndex);

  TnxBaseIndexEngine* biseGetIndex(std::int32_t aInx) const { return biseIndices.at(static_cast<std::size_t>(aInx)); }
  TnxBlockAccess* biseGetFile(std::int32_t aInx) const { return biseFiles.at(static_cast<std::size_t>(aInx)); }
  std::int32_t IndexCount() const { return static_cast<std::int32_t>(biseIndices.size()); }
  std::int32_t FileCount() const { return static_cast<std::int32_t>(biseFiles.size()); }

  TnxBaseIndicesDescriptor* biseDescriptor;
  TnxBlockAccessArray biseFiles;
  std::vector<TnxBaseIndexEngine*> biseIndices;  // owned
  TnxBaseRecordEngine* biseRecordEngine;
  TnxBaseIndexEngine* biseSeqIndexEngine = nullptr;
  bool biseIsCache = false;
  std::int32_t biseRefNrOffset = -1;
  bool biseKeysAllocated = false;
  std::vector<PnxKeyBuffer> biseNewKeys, biseOldKeys;
  std::vector<bool> biseNewKeysValid, biseOldKeysValid;
  std::vector<std::int32_t> biseComp;
  TnxBaseTransaction* biseCurrentTrans = nullptr;
  TnxRefNr biseCurrentRefNr = nxNoRefNr;
  TnxRefNr biseCurrentCacheRefNr = nxNoRefNr;
  const void* biseCurrentKey = nullptr;
  bool biseNLSVersionChanged = false;

 protected:
  // Creates the index engines (construction step of the subclasses).
  void CreateIndexEngines();
  void AddIndexEngine(TnxIndexDescriptor* aDescriptor);
  void AllocKeys();
  void FreeKeys() noexcept;

 private:
  TnxRefNr CacheRefNrOf(PnxRecordBuffer aRecord) const;
  void SetCurrent(TnxRefNr aRefNr, TnxRefNr aCacheRefNr, const void* aKey) {
    biseCurrentRefNr = aRefNr;
    biseCurrentCacheRefNr = aCacheRefNr;
    biseCurrentKey = aKey;
  }
  void ResetCurrent() noexcept;
};

// ---- Index paths -----------------------------------------------------------------

class TnxBaseIndexPath : public TnxPersistent {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseIndexPath(TnxBaseIndexEngine* aIndexEngine);
  ~TnxBaseIndexPath() override;

  static TnxBaseIndexPath* CreateStandalone();
  TnxBaseIndexPath* Duplicate();
  void Assign(TnxPersistent* aSource) override;

  virtual void Clear();
  virtual void SetToEof();
  virtual void SetToBof();
  virtual void SetToCrackBefore();
  virtual void SetToCrackAfter();
  virtual void SetToDeleted();
  virtual TnxResult SetToRecord(PnxRecordBuffer aRecord, TnxRefNr aRefNr);
  virtual bool IsOnKey() const { return Position == ippOnKey; }
  virtual bool IsOnCrack() const { return Position == ippOnCrackBefore || Position == ippOnCrackAfter; }
  virtual bool IsEof() const { return Position == ippEof; }
  virtual bool IsBof() const { return Position == ippBof; }
  virtual bool IsDeleted() const { return Deleted; }
  virtual TnxResult CheckCurrentState() const;
  virtual TnxResult GetBookmark(std::uint8_t* aBookmark, std::int32_t aSize, bool aIsCache);
  virtual TnxResult CheckBookmark(const std::uint8_t* aBookmark, std::int32_t aSize);
  virtual TnxResult CompareBookmarks(const std::uint8_t* aBookmark1, const std::uint8_t* aBookmark2,
                                     std::int32_t aSize, std::int32_t& aCompResult);
  virtual TnxResult SetToBookmark(const std::uint8_t* aBookmark, std::int32_t aSize, bool aIsCache);
  virtual TnxResult BookmarkAsVariant(const std::uint8_t* aBookmark, std::int32_t aSize, platform::Variant& aVariant);
  std::int32_t GetBookmarkSize() const { return bipBookmarkHandler->BookmarkSize(); }

  TnxBaseIndexEngine* bipIndexEngine;
  TnxBookmarkHandler* bipBookmarkHandler;
  TnxRefNr RefNr = 0;
  TnxRefNr CacheRefNr = 0;
  bool KeyValid = false;
  PnxKeyBuffer Key = nullptr;
  TnxIndexPathPosition Position = ippUnknown;
  bool Deleted = false;

 protected:
  // The virtual constructor of a path class (Duplicate).
  virtual TnxBaseIndexPath* NewOfSameClass();
};

// Module start-up: the indices and index families.
void nxsrIndexEngineBaseInitialize();
void nxsrIndexEngineBaseFinalize();
