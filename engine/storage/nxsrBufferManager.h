// The buffer manager, block handles, nested transactions with their block
// copies and commit, the table file base with its header-format registry.
//
// Every storage engine reads and changes table files block by block through
// one TnxBufferManager: it keeps one TnxReadOnlyBlock per block anybody has
// touched (the committed image plus a chain of per-level private copies,
// TnxModifiedBlock), hands out pinned images with a release method, and runs
// transactions: a nested commit folds a level's copies into the level below,
// a top-level commit writes the journal first, makes the newest copies the
// committed images, stamps block 0 of every touched file with the
// transaction's LSN and queues the changed blocks with the file, which writes
// them in a safe order (new blocks first, block 0 last) when the flush list
// is flushed. A failed flush sets the process-wide fatal-error latch; from
// then on every top-level commit and every flush refuses with 15443.
//
// Thread safety: the manager's padlock (re-entrant) guards every block
// object, the per-file lookup structures, the transactions' block and file
// lists and the levels' copies. It is released only while one block is read
// from disk (other threads wanting that block wait on its loading event),
// around a wait for such a load, and while a flush list writes. Pins, the
// read/write statistics and the latch are atomics: releasing a pin needs no
// lock. One transaction is driven by one thread at a time.
// Ownership: the manager owns its temporary storage; a file owns its
// encryption engine and header access factory; a transaction owns its levels'
// copies and its journal until a commit hands the journal to the flush list.
// Every image handed out stays valid until its release method is called.
// Cache: the mapped images count against the budget (MaxRAM) in recency and
// frequency lists whose budgets adapt; the trim drops the oldest clean
// committed images (read again when needed) and parks transaction copies and
// other images that cannot be read again in the temporary storage when it
// has room. Snapshot transactions read past committed images that commits
// keep for them as block snapshots.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "nxllBase.h"
#include "nxllComponent.h"
#include "nxllHandleTable.h"
#include "nxllList.h"
#include "nxllSync.h"
#include "nxsrEncryptionEngineBase.h"
#include "nxsrTemporaryStorageBase.h"
#include "nxsrTypes.h"
#include "plDateTime.h"

class TnxBufferManager;
class TnxBlockObject;
class TnxFileSnapShotLink;
class TnxBlockSnapShot;
class TnxBlockSnapShotLink;
class TnxBaseFile;
class TnxBaseTransaction;
class TnxBaseTransactionLevel;
class TnxReadOnlyBlock;
class TnxModifiedBlock;
class TnxBlockAccess;
class TnxBaseFileHeaderAccess;
class TnxBaseFileHeaderAccessFactory;
class TnxBaseJournalEngine;
class TnxBaseReplicationLog;
class TnxFlushList;
class TnxDataDictionary;

NX_DECLARE_EXCEPTION(EnxBaseFileException, EnxServerOSException)
NX_DECLARE_EXCEPTION(EnxFileHeaderAccessException, EnxServerException)
NX_DECLARE_EXCEPTION(EnxBaseJournalEngineException, EnxBaseException)

// ---- Release methods ------------------------------------------------------------

// The method that comes with every pinned image: called with the caller's
// image variable, it sets the variable to nil and unpins the block.
struct TnxReleaseMethod {
  void (*Code)(void* aObject, PnxBlock& aBlock) = nullptr;
  void* Object = nullptr;

  explicit operator bool() const { return Code != nullptr; }
  void operator()(PnxBlock& aBlock) const { Code(Object, aBlock); }
  void Clear() { *this = {}; }
};

// Calls aMethod (when set) with aBlock and clears the method.
inline void nxReleaseBlock(TnxReleaseMethod& aMethod, PnxBlock& aBlock) {
  const TnxReleaseMethod m = aMethod;
  aMethod.Clear();
  if (m)
    m(aBlock);
  else
    aBlock = nullptr;
}

// A pinned image owned by a scope: pinned on construction, released when
// the owner goes or on Release(), moved with the owner. HandOver gives the
// pin to a caller that keeps it (and releases it with the method it gets).
class TnxPinnedBlock {
 public:
  TnxPinnedBlock() = default;
  // Pins through aPin, a call that answers the image and fills the release
  // method it is given. Delegating, so that a pin made before aPin throws
  // is still released.
  template <class TPin>
    requires std::is_invocable_r_v<PnxBlock, TPin, TnxReleaseMethod&>
  explicit TnxPinnedBlock(TPin&& aPin) : TnxPinnedBlock() {
    pbBlock = std::forward<TPin>(aPin)(pbRelease);
  }
  // Owns a pin made elsewhere.
  TnxPinnedBlock(PnxBlock aBlock, const TnxReleaseMethod& aRelease) : pbRelease(aRelease), pbBlock(aBlock) {}
  TnxPinnedBlock(TnxPinnedBlock&& aOther) noexcept
      : pbRelease(std::exchange(aOther.pbRelease, {})), pbBlock(std::exchange(aOther.pbBlock, nullptr)) {}
  TnxPinnedBlock& operator=(TnxPinnedBlock&& aOther) noexcept {
    if (this != &aOther) {
      Release();
      pbRelease = std::exchange(aOther.pbRelease, {});
      pbBlock = std::exchange(aOther.pbBlock, nullptr);
    }
    return *this;
  }
  TnxPinnedBlock(const TnxPinnedBlock&) = delete;
  TnxPinnedBlock& operator=(const TnxPinnedBlock&) = delete;
  ~TnxPinnedBlock() { Release(); }

  PnxBlock Block() const { return pbBlock; }
  explicit operator bool() const { return pbBlock != nullptr; }
  // Releases the pin held now, then pins through aPin.
  template <class TPin>
    requires std::is_invocable_r_v<PnxBlock, TPin, TnxReleaseMethod&>
  PnxBlock Pin(TPin&& aPin) {
    Release();
    pbBlock = std::forward<TPin>(aPin)(pbRelease);
    return pbBlock;
  }
  void Release() { nxReleaseBlock(pbRelease, pbBlock); }
  // The caller keeps the pin: aRelease gets the method; the owner is empty.
  PnxBlock HandOver(TnxReleaseMethod& aRelease) {
    aRelease = std::exchange(pbRelease, {});
    return std::exchange(pbBlock, nullptr);
  }

 private:
  TnxReleaseMethod pbRelease;
  PnxBlock pbBlock = nullptr;
};

// Releases many pins at once (index engines pin many blocks per operation).
// Items (block variable and release method) come from a pool.
class TnxReleaseList : public TnxList {
  PL_CLASS_INFO_DECL()
 public:
  TnxReleaseList() = default;
  ~TnxReleaseList() override;

  // Takes the pin: when the list cannot grow, the pin is released before
  // the failure is raised.
  void Add(PnxBlock aBlock, const TnxReleaseMethod& aMethod);
  // Calls every item's release method and clears the list.
  void Release();
  std::int32_t Count() const { return static_cast<std::int32_t>(rlCount + rlMore.size()); }
  // Rises with every Release: a block added before is no longer pinned by
  // this list once it moved.
  std::uint64_t Generation() const { return rlGeneration; }

 private:
  using TnxList::Add;  // items are blocks with their release methods only
  struct Item {
    PnxBlock block;
    TnxReleaseMethod method;
  };
  // A descent holds a few blocks: those stay inline, no allocation per
  // block; the rest goes to a vector that keeps its room between uses.
  static constexpr std::size_t kInline = 16;
  std::array<Item, kInline> rlInline{};
  std::size_t rlCount = 0;
  std::vector<Item> rlMore;
  std::uint64_t rlGeneration = 0;
};

// ---- Cache blocks and block objects -------------------------------------------

enum TnxCacheBlockState : std::uint8_t { cbsStored, cbsAllocated, cbsMapped };
enum TnxEvictResult : std::uint8_t { erNone, erThis, erMany };
enum TnxWasBulkLoaded : std::uint8_t { wblNo, wblYes, wblYesTrigger };

// One block image in memory, or parked in the temporary storage (stored):
// Block() maps a stored image back. The mapped images of a manager are
// counted in its page counter (4 KB pages).
class TnxCacheBlock : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  // A mapped image of the size class; zero-filled when asked.
  TnxCacheBlock(TnxBlockSizeAll aSize, TnxBaseTempStorage* aTempStore, bool aZero);
  // A mapped copy of aSource.
  explicit TnxCacheBlock(TnxCacheBlock& aSource);
  ~TnxCacheBlock() override;

  // The image, mapped back first when stored. REQUIRES: the padlock when
  // the image may be stored.
  PnxBlock Block() {
    if (cbState != cbsMapped) MapBack();
    return cbBlock;
  }
  std::uint32_t Bytes() const { return nxBlockBytes(cbSize); }
  // A mapped image goes to the temporary storage when it has room for it.
  bool Evict();
  // Counts the mapped image in aPages (moving it from the previous counter).
  void SetPageCounter(std::atomic<std::int64_t>* aPages);
  // Frees aImage, or retires it while readers pin it. REQUIRES: the padlock
  // when it may be pinned.
  static void Dispose(TnxCacheBlock* aImage);

  TnxBaseTempStorage* cbTempStore;
  TnxBlockSizeAll cbSize;
  TnxCacheBlockState cbState = cbsStored;
  TnxMapableBlockHandle cbHandle = 0;
  std::int32_t cbTempNum = -1;
  bool cbWriteProtected = false;  // a flag only: no memory protection
  // A stored transaction copy that passed the block check before it was
  // parked; it cannot change until it is mapped back, so a commit need not
  // read it back to check it again.
  bool cbChecked = false;
  PnxBlock cbBlock = nullptr;
  std::atomic<std::int64_t>* cbPages = nullptr;
  // The object that owns the image: refiled when the image is mapped back.
  TnxBlockObject* cbOwner = nullptr;
  // Readers' pins on this image (each also pins cbPinBlock). An image that
  // leaves its owner while pinned is retired, not freed or overwritten:
  // its last release frees it, so a reader never sees it change.
  std::atomic<std::int32_t> cbPins{0};
  TnxReadOnlyBlock* cbPinBlock = nullptr;  // set once, before the first pin
  bool cbRetired = false;                  // changed under the padlock

 private:
  void MapBack();
};

// Base of every object that owns a cache block. Every object with a mapped
// image sits in one resident list of the manager (recency, or frequency once
// its hit counter reached the ceiling); an object whose image went down
// after hits is tracked as a ghost of the state it left, and its return
// moves budget towards the list it comes back to.
class TnxBlockObject : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBlockObject(TnxBufferManager* aBufferManager) : boBufferManager(aBufferManager) {}
  ~TnxBlockObject() override;

  virtual void Validate(PnxBlock aBlock);
  virtual TnxEvictResult CheckedEvict(bool aForce) = 0;
  virtual void CacheBlockNeeded();

  // Frees the own image and takes aCacheBlock; the lists are updated
  // (counted as an access or eviction when aCountIt).
  void SetCacheBlock(TnxCacheBlock* aCacheBlock, bool aCountIt = false);
  // Detaches and answers the image.
  TnxCacheBlock* ReleaseCacheBlock(bool aCountIt = false);
  // The own image becomes a copy of aSource's (loaded first when needed).
  void CopyFrom(TnxBlockObject& aSource);
  // Takes over aSource's image.
  void MoveFrom(TnxBlockObject& aSource);
  // Parks the image in the temporary storage when it has room.
  bool Evict();
  // Counts an access: the object moves to the newest end of its list.
  void CountAccess() { UpdateBlockList(true); }
  // Files the object in the lists of its image's state. REQUIRES: the padlock.
  void UpdateBlockList(bool aCountIt);

  TnxBufferManager* boBufferManager;
  TnxCacheBlock* boCacheBlock = nullptr;
  // Links per state: of the resident list of that state, or of its ghost list.
  TnxBlockObject* boBlockNext[3] = {};
  TnxBlockObject* boBlockPrev[3] = {};
  std::uint8_t boBlockTracked = 0;      // bit per state: a ghost there
  std::uint8_t boBlockTrackedFreq = 0;  // bit per state: in the frequency ghost list
  TnxCacheBlockState boBlockState = cbsStored;  // the resident list (stored: none)
  bool boBlockFreqUse = false;
  TnxWasBulkLoaded boWasBulkLoaded = wblNo;
  TnxBlockSizeAll boBlockSize = nxbs4k;
  std::uint32_t boBlockCacheHit[3] = {};
  std::uint32_t boBlockCacheEvict[3] = {};

 private:
  void UnlinkFromLists();
};

// The manager's object for one block of one file.
class TnxReadOnlyBlock : public TnxBlockObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxReadOnlyBlock(TnxBufferManager* aBufferManager, TnxBaseFile* aFile, TnxBlockNumber aBlockNum, bool aNew);
  ~TnxReadOnlyBlock() override;

  void Validate(PnxBlock aBlock) override;
  TnxEvictResult CheckedEvict(bool aForce) override;
  // Loads the committed image from the file. REQUIRES: the padlock, held once.
  void CacheBlockNeeded() override;

  // The image as aTrans sees it, pinned. REQUIRES: the padlock.
  PnxBlock Block(TnxBaseTransaction* aTrans, bool aMarkDirty, TnxReleaseMethod& aReleaseMethod);
  // The release method of a pin without an image of its own (the shared
  // all-zero block, a wait, a write).
  static void Release(void* aObject, PnxBlock& aBlock);
  // The release method of a pinned image: aObject is its TnxCacheBlock.
  static void ReleaseImage(void* aObject, PnxBlock& aBlock);
  TnxReleaseMethod ReleaseMethod() { return {&TnxReadOnlyBlock::Release, this}; }
  void Pin() { robRefCount.fetch_add(1, std::memory_order_acq_rel); }
  // Drops one pin; the last one frees an orphan. Answers whether the block
  // was freed. REQUIRES: the padlock.
  bool UnpinLocked();
  // Waits for another thread's load of the block, pinned so that no
  // eviction frees it meanwhile. REQUIRES: the padlock, held once.
  void WaitForLoad();

  void MakeDirty(TnxBaseTransaction* aTrans);
  bool Commit(bool aForce, bool aIsWTCommit);
  void Rollback();
  void RollbackTransLevel(TnxBaseTransactionLevel* aLevel);
  // A queued write that will not happen: the committed image is dropped so
  // that the block is read from disk again.
  void RollbackUnwritten();
  bool IsDirty() const { return robTrans != nullptr; }
  bool HasImage() const { return boCacheBlock != nullptr; }

  TnxBaseFile* robFile;
  TnxReadOnlyBlock* robFileNext = nullptr;
  TnxReadOnlyBlock* robFilePrev = nullptr;
  TnxBlockNumber robBlockNum;
  TnxLSN robLastLSN = 0;
  std::atomic<std::int32_t> robRefCount{0};
  bool robNew;
  // Cleared by the flush outside the padlock once the image is on disk.
  std::atomic<bool> robUnwritten{false};
  InxManualEventRef robLoading;
  std::int32_t robWaiting = 0;  // threads waiting for robLoading
  TnxReadOnlyBlock* robInUseNext = nullptr;
  TnxReadOnlyBlock* robInUsePrev = nullptr;
  TnxBaseTransaction* robTrans = nullptr;
  TnxReadOnlyBlock* robTransNext = nullptr;
  TnxReadOnlyBlock* robTransPrev = nullptr;
  TnxModifiedBlock* robBlockListTail = nullptr;
  // Snapshot images of the block and the links of snapshot transactions
  // to them (by snapshot ID).
  std::vector<TnxBlockSnapShotLink*> robSnapShotLinks;
  TnxBlockSnapShotLink* robSnapShotLinkHead = nullptr;
  TnxBlockSnapShotLink* robSnapShotLinkTail = nullptr;
  std::uint32_t robSnapShotCounter = 0;  // the file's counter when last snapshotted
  TnxBlockSnapShot* robSnapShotBlockHead = nullptr;
  TnxBlockSnapShot* robSnapShotBlockTail = nullptr;
  std::vector<std::uint8_t> robEncryptionCookie;
  bool HasSnapShots() const { return robSnapShotLinkHead || robSnapShotBlockHead; }
  // Frees every link to the block's snapshots (and so the snapshots).
  // REQUIRES: the padlock.
  void FreeSnapShots();
  // Unlinked from its file while pinned: freed by its last release.
  std::atomic<bool> robOrphaned{false};
  std::atomic<bool> robFreeClaimed{false};

  // Frees an orphan once (its last release and the orphaning may race).
  void FreeIfOrphanDone();

 private:
  friend class TnxBufferManager;
  void UnlinkFromTransaction();
};

// One transaction level's private copy of one block.
class TnxModifiedBlock : public TnxBlockObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxModifiedBlock(TnxReadOnlyBlock* aReadOnlyBlock, TnxBaseTransactionLevel* aTransLevel);
  ~TnxModifiedBlock() override;

  // Checks the image before parking it (see cbChecked).
  TnxEvictResult CheckedEvict(bool aForce) override;
  // The image must be checked before it is committed: it is neither
  // discarded nor parked after a passed check.
  bool NeedsCheck() const;
  PnxBlock mbGetBlock(bool aMarkDirty);
  void Discard();
  void DecreaseTransLevel();

  TnxModifiedBlock* mbTransLevelPrev = nullptr;
  TnxModifiedBlock* mbTransLevelNext = nullptr;
  TnxReadOnlyBlock* mbReadOnlyBlock;
  TnxModifiedBlock* mbPrev;
  TnxBaseTransactionLevel* mbTransLevel = nullptr;
  bool mbDiscarded = false;

 private:
  void LinkToLevel(TnxBaseTransactionLevel* aLevel);
  void UnlinkFromLevel();
};

// An evictable private work area of an engine, named by a handle (slot and
// generation of the manager's handle table), never by its address.
class TnxScratchBlock : public TnxBlockObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxScratchBlock(TnxBufferManager* aBufferManager, TnxBlockSizeAll aSize);
  TnxEvictResult CheckedEvict(bool aForce) override;

  std::int32_t sbRefCount = 0;
};
using TnxScratchBlockHandle = std::uint32_t;

// ---- Snapshots ----------------------------------------------------------------------

// One snapshot transaction's view of one file: made when the transaction
// first reads the file (or a commit over several files needs it).
class TnxFileSnapShotLink : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  // REQUIRES: the padlock; the file has no link for the transaction's ID.
  TnxFileSnapShotLink(TnxBaseFile* aFile, TnxBaseTransaction* aTrans);
  ~TnxFileSnapShotLink() override;

  TnxBaseFile* fsslFile;
  TnxFileSnapShotLink* fsslFilePrev = nullptr;
  TnxFileSnapShotLink* fsslFileNext = nullptr;
  std::uint32_t fsslFileCounter = 0;
  std::uint32_t fsslUsedBlocks = 0;
  TnxBaseTransaction* fsslTrans;
  TnxFileSnapShotLink* fsslTransPrev = nullptr;
  TnxFileSnapShotLink* fsslTransNext = nullptr;
};

// A past committed image of a block, kept while a snapshot transaction
// links to it.
class TnxBlockSnapShot : public TnxBlockObject {
  PL_CLASS_INFO_DECL()
 public:
  // Takes over the block's committed image (loaded first when needed).
  explicit TnxBlockSnapShot(TnxReadOnlyBlock* aBlock);
  ~TnxBlockSnapShot() override;
  TnxEvictResult CheckedEvict(bool aForce) override;
  // The image, counting an access.
  PnxBlock Block();

  std::int32_t bssLinkRefCount = 0;
  TnxReadOnlyBlock* bssReadOnlyBlock;
  TnxBlockSnapShot* bssBlockNext = nullptr;
  TnxBlockSnapShot* bssBlockPrev = nullptr;
};

// Ties one snapshot transaction to one block snapshot.
class TnxBlockSnapShotLink : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxBlockSnapShotLink(TnxBlockSnapShot* aBlockSnapShot, TnxBaseTransaction* aSnapShotTrans);
  // Releases the snapshot (freed with its last link).
  ~TnxBlockSnapShotLink() override;

  TnxBlockSnapShot* bsslBlockSnapShot;
  TnxReadOnlyBlock* bsslBlock;
  TnxBlockSnapShotLink* bsslBlockPrev = nullptr;
  TnxBlockSnapShotLink* bsslBlockNext = nullptr;
  TnxBaseTransaction* bsslTrans;
  TnxBlockSnapShotLink* bsslTransPrev = nullptr;
  TnxBlockSnapShotLink* bsslTransNext = nullptr;
};

// ---- Block containers (per-file lookup) ----------------------------------------

// One node of a file's four-level lookup: 256 entries (containers, or blocks
// at the leaves). An in-memory layout only.
struct TnxBlockContainer {
  TnxBlockContainer* bcNext;
  TnxBlockContainer* bcPrev;
  void* bcBlocks[256];
  std::uint16_t bcCount;
};

// ---- Transactions -------------------------------------------------------------

class TnxBaseTransactionLevel : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseTransactionLevel(TnxBaseTransaction* aTransaction);
  ~TnxBaseTransactionLevel() override;
  // Asserts that no copy and no lock is left.
  void beforeDestruction() override;

  // False when a pseudo-level ended (nothing else to do).
  bool StopNested();
  void MarkCorrupted();
  void MarkDeadlock();
  void MarkNoMoreNested() { tlState.include(tlsNoMoreNested); }

  std::int32_t Level() const { return tlLevel + tlNestingCount; }
  std::int32_t BlockCount() const { return tlBlockCount; }
  TnxTransactionLevelStates State() const { return tlState; }
  std::int32_t LockCount() const { return tlLockCount; }

  TnxBaseTransactionLevel* tlPrev;
  TnxBaseTransaction* tlTransaction;
  platform::DateTime tlStartTime;
  TnxLSN tlStartLSN;
  TnxLSN tlLSN;
  TnxModifiedBlock* tlModifiedBlocksHead = nullptr;
  TnxModifiedBlock* tlModifiedBlocksTail = nullptr;
  std::int32_t tlLevel;
  std::int32_t tlBlockCount = 0;
  std::int32_t tlLockCount = 0;
  std::int32_t tlNestingCount = 0;
  TnxTransactionLevelStates tlState;
};

// Class-level function of a transaction class: its level class.
using TnxTransLevelFactory = TnxBaseTransactionLevel* (*)(TnxBaseTransaction* aTransaction);

// A stack of nesting levels; the owner (the server) derives Commit and
// Rollback and frees each level after committing or rolling it back.
class TnxBaseTransaction : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  // Starts level 0. A snapshot transaction (aIsSnapshot) gets a snapshot ID
  // and reads every file as it was when it first looked at it.
  TnxBaseTransaction(TnxBufferManager* aBufferManager, platform::TObject* aOwningSession, bool aIsSnapshot,
                     bool aFailSafe);
  ~TnxBaseTransaction() override;
  void afterConstruction() override;

  virtual TnxTransLevelFactory TransLevelClass();
  virtual void Failed() { btState.include(tsFailed); }
  virtual void StartNested(bool aForce);
  virtual TnxResult Commit() = 0;
  virtual TnxResult Rollback() = 0;

  bool Nested() const;
  bool IsLocked() const;
  void Lock();
  void Unlock();
  void MarkCorrupted();
  void MarkDeadlock();
  void MarkNoMoreNested();
  TnxResult CheckState() const;

  TnxTransactionStates State() const { return btState; }
  TnxBaseJournalEngine* Journal() const { return btJournal; }
  // Takes ownership of aJournal (the previous one is freed).
  void SetJournal(TnxBaseJournalEngine* aJournal);
  TnxBaseTransactionLevel* TransLevel() const { return btTransLevelsTail; }
  std::int32_t BlockCount() const { return btBlockCount; }
  platform::TObject* OwningSession() const { return btOwningSession; }

  TnxBufferManager* btBufferManager;
  platform::TObject* btOwningSession;
  TnxTransactionStates btState;
  platform::DateTime btStartTime = 0;
  TnxLSN btStartLSN = 0;
  TnxLSN btLSN = 0;
  TnxBaseJournalEngine* btJournal = nullptr;
  std::int32_t btSnapshotID = -1;
  TnxFileSnapShotLink* btFileSnapShotLinksHead = nullptr;
  TnxFileSnapShotLink* btFileSnapShotLinksTail = nullptr;
  TnxBlockSnapShotLink* btBlockSnapShotLinksHead = nullptr;
  TnxBlockSnapShotLink* btBlockSnapShotLinksTail = nullptr;
  bool IsSnapshot() const { return btIsSnapshot; }
  // Frees every block snapshot link, then every file snapshot link.
  // REQUIRES: the padlock.
  void FreeSnapShotLinks();
  TnxBaseTransactionLevel* btTransLevelsTail = nullptr;
  TnxReadOnlyBlock* btTransBlockListHead = nullptr;
  TnxReadOnlyBlock* btTransBlockListTail = nullptr;
  std::int32_t btBlockCount = 0;
  TnxBaseFile* btTransFileListHead = nullptr;
  TnxBaseFile* btTransFileListTail = nullptr;
  bool btWriteThroughCommit = false;

  // ---- header values kept between operations (the transaction's thread)
  // A search reads a few values from its file's headers; the transaction
  // keeps them while they cannot have changed: no header of its own changed
  // since (counted by the header accesses that may change one) and no
  // commit, rollback or file change anywhere (the buffer manager's epoch).
  struct HeaderStamp {
    std::uint64_t hsEpoch = 0;
    std::uint64_t hsOwn = 0;
    bool operator==(const HeaderStamp&) const = default;
  };
  struct HeaderValues {
    std::uint32_t hvValue[4] = {};
  };
  // Taken before the values are read, and kept with them.
  HeaderStamp CurrentHeaderStamp() const;
  // False while a header of this transaction may be changing, or without
  // values kept for aOwner and aKey at aStamp.
  bool FindHeaderValues(const void* aOwner, std::int64_t aKey, const HeaderStamp& aStamp, HeaderValues& aValues) const;
  void KeepHeaderValues(const void* aOwner, std::int64_t aKey, const HeaderStamp& aStamp, const HeaderValues& aValues);
  bool ChangingHeader() const { return btHeaderWriters > 0; }
  // A header access that may change a header begins and ends.
  void BeginHeaderChange() { ++btHeaderWriters; }
  void EndHeaderChange() {
    --btHeaderWriters;
    ++btHeaderStamp;
  }

 private:
  bool btIsSnapshot;
  struct KeptHeaderValues {
    const void* khOwner = nullptr;
    std::int64_t khKey = 0;
    HeaderStamp khStamp;
    HeaderValues khValues;
  };
  static constexpr std::size_t kKeptHeaderValues = 8;
  KeptHeaderValues btKeptHeaders[kKeptHeaderValues];
  std::size_t btKeptHeadersNext = 0;
  std::int32_t btHeaderWriters = 0;
  std::uint64_t btHeaderStamp = 0;
};

template <class T>
TnxBaseTransactionLevel* nxCreateTransLevel(TnxBaseTransaction* aTransaction) {
  return platform::create<T>(aTransaction);
}

// The server's transaction manager base (its padlock and snapshot list).
class TnxBaseTransactionMgr : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseTransactionMgr(TnxBufferManager* aBufferManager);
  ~TnxBaseTransactionMgr() override;

  TnxPadlock* btmPadlock;
  TnxBufferManager* btmBufferManager;
  TnxBaseTransaction* btmSnapShotListHead = nullptr;
  TnxBaseTransaction* btmSnapShotListTail = nullptr;
};

// ---- Journal and replication bases ---------------------------------------------

class TnxBaseJournalEngine : public TnxPersistent {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseJournalEngine(const nxString& aFileName) : bjeFileName(aFileName) {}

  virtual void PrepareJournal() = 0;
  virtual void AddBlock(TnxBaseTransaction* aTrans, TnxReadOnlyBlock* aBlock) = 0;
  virtual void FinalizeJournal() = 0;
  // After the table files are durable: makes sure the journal can no longer
  // be replayed. Raises when that cannot be made sure.
  virtual void RetireJournal() {}
  // After a failed flush: lets go of the journal's file without deleting
  // it, so that recovery finds it.
  virtual void KeepJournalFile() {}

  nxString bjeFileName;
};

class TnxBaseReplicationLog : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  virtual void BeginTrans(TnxLSN aLSN) = 0;
  virtual void EndTrans() = 0;
  virtual void BeginFile(const nxString& aAlias, const nxString& aTable, const nxString& aFile,
                         TnxBlockSize aBlockSize) = 0;
  virtual void EndFile() = 0;
  virtual void WriteBlock(TnxBlockNumber aBlockNumber, TnxLSN aOldLSN, const std::uint8_t* aBlock) = 0;
};

// The files a top-level commit hands to the file layer.
class TnxFlushList : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxFlushList();
  ~TnxFlushList() override;

  // Stamps block 0 of every changed file with the transaction's LSN and
  // lists the files. On a failure every file drops its queued writes.
  void Prepare(TnxBaseTransaction* aTrans, bool aIsWTCommit);
  // Writes the listed files. 15443 once the fatal-error latch is set; a
  // failure sets the latch.
  void Flush(bool aForceFailSafe);
  std::int32_t Count() const { return static_cast<std::int32_t>(flList.size()); }

  TnxLSN flLSN = 0;
  std::vector<TnxBaseFile*> flList;
  TnxBaseJournalEngine* flJournal = nullptr;        // owned once handed over
  TnxBaseReplicationLog* flReplicationLog = nullptr;  // not owned
};

// ---- Header access bases and the factory registry --------------------------------

// The per-format header access of one block access within one transaction.
class TnxBaseFileHeaderAccess : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseFileHeaderAccess(TnxBaseTransaction* aTrans, bool aMarkDirty, TnxBlockAccess* aBlockAccess);
  ~TnxBaseFileHeaderAccess() override;
  // Loads the header block (LoadHeader) for the transaction given to the
  // constructor.
  void afterConstruction() override;

  virtual std::uint32_t UsedBlocks() = 0;
  virtual std::uint32_t AvailableBlocks() = 0;
  virtual void LoadHeader(TnxBaseTransaction* aTrans);
  virtual PnxBlock GetNewBlock(TnxBaseTransaction* aTrans, std::int32_t aID, TnxReleaseMethod& aReleaseMethod) = 0;
  virtual void DeleteBlock(TnxBaseTransaction* aTrans, PnxBlock aBlock) = 0;
  virtual std::uint16_t RegisterHeaderSection(const nxString& aName, std::uint8_t aSize, bool aCreate,
                                              bool aOverwrite) = 0;
  virtual void ChangePassword(const nxString& aNewPassword);

  void MarkDirty(TnxBaseTransaction* aTrans);
  TnxBlockAccess* BlockAccess() const { return bfhaBlockAccess; }
  bool IsDirty() const { return bfhaIsDirty; }
  TnxLSN CurrentLSN() const { return nxBlockHeader(Header)->bchLSN; }

  TnxBaseFile* bfhaHeaderFile;
  bool bfhaIsDirty;
  TnxReleaseMethod bfhaRelease;
  TnxBlockAccess* bfhaBlockAccess;
  TnxBaseFileHeaderAccess* bfhaMainHeader = nullptr;
  PnxBlock Header = nullptr;

 private:
  TnxBaseTransaction* bfhaCreateTrans;
  // The transaction told that a header of it may change while this lives.
  TnxBaseTransaction* bfhaChangingTrans = nullptr;
  void BeginChange(TnxBaseTransaction* aTrans);
};

// Class-level functions of a header access class.
struct TnxFileHeaderAccessClassFuncs {
  TnxBaseFileHeaderAccess* (*create)(TnxBaseTransaction* aTrans, bool aMarkDirty, TnxBlockAccess* aBlockAccess);
};
template <class T>
inline constexpr TnxFileHeaderAccessClassFuncs nxFileHeaderAccessFuncs{
    [](TnxBaseTransaction* aTrans, bool aMarkDirty, TnxBlockAccess* aBlockAccess) -> TnxBaseFileHeaderAccess* {
      return platform::create<T>(aTrans, aMarkDirty, aBlockAccess);
    }};

class TnxBaseFileHeaderAccessFactory;

// Class-level functions of a factory class: the virtual constructor (a
// non-zero signature formats a new block 0 in aHeader, zero reads an
// existing one into the file's fields) and the class functions.
struct TnxFileHeaderAccessFactoryClassFuncs {
  TnxBaseFileHeaderAccessFactory* (*create)(const TnxBlockSignature& aSignature, TnxBaseFile* aFile, PnxBlock aHeader);
  void (*validateDictionary)(TnxDataDictionary* aDataDictionary, bool aForBuild);
  std::int32_t (*additionalReservedSpace)();
};
template <class T>
inline constexpr TnxFileHeaderAccessFactoryClassFuncs nxFileHeaderAccessFactoryFuncs{
    [](const TnxBlockSignature& aSignature, TnxBaseFile* aFile, PnxBlock aHeader) -> TnxBaseFileHeaderAccessFactory* {
      return platform::create<T>(aSignature, aFile, aHeader);
    },
    &T::ValidateDictionary, &T::AdditionalReservedSpace};

inline constexpr TnxBlockSignature nxNoSignature{0, 0, 0, 0};

class TnxBaseFileHeaderAccessFactory : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseFileHeaderAccessFactory(const TnxBlockSignature& aSignature, TnxBaseFile* aFile, PnxBlock aHeader);

  // A class carrying nxFileHeaderAccessFuncs.
  virtual const platform::ClassInfo& HeaderAccessClass() = 0;
  static void ValidateDictionary(TnxDataDictionary* aDataDictionary, bool aForBuild);
  static std::int32_t AdditionalReservedSpace() { return 0; }
  virtual void SetupTableChecksum(PnxBlock aHeader, bool aIsNew);
  virtual TnxBaseFileHeaderAccess* CreateFileHeaderAccess(TnxBaseTransaction* aTrans, bool aMarkDirty,
                                                          TnxBlockAccess* aBlockAccess);
  // 8962 unless the block number field is aBlockNum (or 0 for aID 0).
  virtual void VerifyID(const std::uint8_t* aBlock, TnxBlockNumber aBlockNum, std::int32_t aID);
  // 8962 unless the block number field is aBlockNum.
  virtual void ValidateBlock(const std::uint8_t* aBlock, TnxBlockNumber aBlockNum);
  virtual std::int32_t GetID(const std::uint8_t* aBlock);
  virtual std::uint32_t GetUsedBlocks(const std::uint8_t* aHeader) = 0;
  virtual std::uint8_t* GetEncryptionEngineHeader(PnxBlock aHeader);
  virtual std::uint8_t* GetTableChecksum(PnxBlock aHeader);
  virtual std::int32_t GetAdditionalReservedSpace();

  // ---- registry (start-up and shutdown only); aClass carries
  // nxFileHeaderAccessFactoryFuncs
  static void Register(const platform::ClassInfo& aClass, const TnxBlockSignature& aSignature);
  static void UnRegister(const platform::ClassInfo& aClass);
  // aSignature nxNoSignature: the first 4 bytes of aHeader. 15414 without a
  // registry, 9992 for an unknown signature.
  static TnxBaseFileHeaderAccessFactory* CreateFactory(const TnxBlockSignature& aSignature, PnxBlock aHeader,
                                                       TnxBaseFile* aFile);
  static void CheckValid(TnxDataDictionary* aDataDictionary, bool aForBuild);
  // A header format is registered for aSignature.
  static bool HasSignature(const TnxBlockSignature& aSignature);
  static std::int32_t GetAdditionalReservedSpace(const TnxBlockSignature& aSignature);

  TnxBaseFile* bfhafFile;
};

[[noreturn]] void nxRaiseBlockMismatch(TnxBlockNumber aExpected, TnxBlockNumber aFound, const nxString& aFileName);

// LSNs stay below 2^62, far beyond any count of commits: a stored LSN at or
// above it is damage, and the counter never passes it (it must never
// overflow a signed 64-bit value).
inline constexpr TnxLSN nxLSNLimit = TnxLSN{1} << 62;
// Raises 8962 when aLSN, read from block aBlockNum of aFileName, is at or
// above nxLSNLimit.
void nxCheckStoredLSN(TnxLSN aLSN, TnxBlockNumber aBlockNum, const nxString& aFileName);

// ---- Block access --------------------------------------------------------------

// A storage engine's handle on one file.
class TnxBlockAccess : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxBlockAccess(TnxBaseFile* aFile, TnxBlockAccess* aMain, const nxString& aBaseName, std::int32_t aID);

  // The manager's GetBlock; then the owner ID check (the block is released
  // when it fails).
  PnxBlock GetBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber, bool aMarkDirty,
                    TnxReleaseMethod& aReleaseMethod, std::int32_t aID);
  void DirtyBlock(TnxBlockNumber aBlockNumber, TnxBaseTransaction* aTrans, PnxBlock& aModifiableBlock);
  // The caller frees it.
  TnxBaseFileHeaderAccess* HeaderAccess(TnxBaseTransaction* aTrans, bool aMarkDirty);
  bool ValidBlock(TnxBlockNumber aBlockNumber, TnxBaseTransaction* aTrans);
  bool ValidBlock(TnxBlockNumber aBlockNumber, TnxBaseFileHeaderAccess* aHeaderAccess);
  void ChangePassword(TnxBaseTransaction* aTrans, const nxString& aNewPassword);
  TnxLSN baGetCurrentLSN(TnxBaseTransaction* aTrans);

  nxString fiName() const;
  std::uint32_t fiBlockSizeBytes() const;
  TnxBlockNumber HeaderBlock() const { return baHeaderBlock; }
  const nxString& BaseName() const { return baBaseName; }

  TnxBaseFile* baFile;
  TnxBlockNumber baHeaderBlock = 0;
  std::int32_t baID;
  TnxBlockAccess* baMain;
  nxString baBaseName;
};

// ---- Files ----------------------------------------------------------------------

// One physical file of blocks as the buffer manager sees it. Made only by
// Alloc; the concrete I/O lives in the file classes (nxsrFileImplWin32).
class TnxBaseFile : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseFile();
  ~TnxBaseFile() override;

  // An instance of TableFileInfoClass (aForTable) or DefaultFileInfoClass.
  static TnxBaseFile* Alloc(bool aForTable, const nxString& aName, TnxBufferManager* aBufMgr);
  // Classes with an argument-less factory; set at start-up when empty.
  static std::atomic<const platform::ClassInfo*> DefaultFileInfoClass;
  static std::atomic<const platform::ClassInfo*> TableFileInfoClass;

  virtual nxString ExpandRelativeFileName(const nxString& aFileName);
  virtual void CloseFile() = 0;
  virtual bool FileIsOpen() = 0;
  virtual void PrepareFlushFile() = 0;
  virtual void FlushFile(bool aFailSafe, TnxBaseReplicationLog* aReplicationLog) = 0;
  virtual void OpenFile(TnxOpenMode aOpenMode, TnxShareMode aShareMode, bool aWriteThru, bool aCreateFile) = 0;
  virtual std::int64_t PositionFileEOF() = 0;
  virtual std::int64_t FileSize() = 0;
  virtual std::uint32_t ReadFile(std::uint32_t aToRead, void* aBuffer) = 0;
  virtual void ReadFileExact(std::uint32_t aToRead, void* aBuffer) = 0;
  virtual std::uint32_t ReadFileAt(std::uint32_t aToRead, void* aBuffer, std::int64_t aOffset) = 0;
  virtual void ReadFileExactAt(std::uint32_t aToRead, void* aBuffer, std::int64_t aOffset) = 0;
  virtual void WriteFileExact(std::uint32_t aToWrite, const void* aBuffer) = 0;
  virtual void WriteFileExactAt(std::uint32_t aToWrite, const void* aBuffer, std::int64_t aOffset) = 0;
  virtual std::int64_t CalcMaxFileSize() = 0;
  virtual void ReadDecryptFileExactAt(std::uint32_t aToRead, void* aBuffer, std::vector<std::uint8_t>& aCookie,
                                      std::int64_t aOffset) = 0;
  virtual void WriteEncryptFileExactAt(std::uint32_t aToWrite, void* aBuffer, std::vector<std::uint8_t>& aCookie,
                                       std::int64_t aOffset) = 0;
  virtual void ReadBlock(TnxReadOnlyBlock* aBlock) = 0;
  virtual void WriteBlock(TnxReadOnlyBlock* aBlock) = 0;
  virtual void RollbackUnwritten() = 0;
  // After a failed flush: the queued writes are forgotten (the journal keeps
  // what recovery needs) and the file is marked failed.
  virtual void AbandonUnwritten() = 0;
  virtual nxString GetFileID();

  nxString FileName() const;
  bool IsTemporary() const { return fiAttributes.contains(nxfaTemporary); }
  std::uint32_t BlockBytes() const { return nxBlockBytes(fiBlockSize); }
  std::int64_t PhysicalBlockCount();
  // Blocks the manager holds for this file (all of a temporary file).
  // REQUIRES: the padlock.
  std::int64_t CachedBlockCount() const;
  TnxResult AddHeader(TnxBaseTransaction* aTrans, const TnxUnicodeStrings& aPasswords,
                      const TnxBlockSignature& aSignature);
  TnxResult ReadHeader(const TnxUnicodeStrings& aPasswords, bool& aIsReadOnly);
  void fiUpdateTableChecksum(PnxBlock aHeader);
  TnxBlockIteratorResult IterateBlocks(void* aCookie, const TnxBlockIterator& aIterator);
  TnxBlockIteratorResult IterateBlocksRaw(void* aCookie, const TnxBlockIterator& aIterator);
  TnxBlockIteratorResult IterateBlockCookies(void* aCookie, const TnxBlockCookieIterator& aIterator);
  // Sets fiName and fiPath (the folder, absolute, with a trailing '/').
  void SetName(const nxString& aName);

  bool HasSnapShotFlag(std::int32_t aID) const {
    const auto byte = static_cast<std::size_t>(aID) / 8;
    return byte < fiSnapShotFlags.size() && (fiSnapShotFlags[byte] >> (aID % 8) & 1) != 0;
  }
  // Frees the remaining links. REQUIRES: the padlock.
  void FreeSnapShotLinks();

  // Read access for the engines above the buffer manager.
  TnxBaseTransaction* Trans() const { return fiTrans; }
  TnxBaseFile* TransNext() const { return fiTransNext; }
  const nxString& Name() const { return fiName; }
  const nxString& Path() const { return fiPath; }
  TnxOpenMode OpenMode() const { return fiOpenMode; }
  TnxShareMode ShareMode() const { return fiShareMode; }
  bool WriteThru() const { return fiWriteThru; }
  bool IsLink() const { return fiIsLink; }
  const TnxBlockSignature& HeaderSignature() const { return fiHeaderSignature; }
  const nxString& EncryptionEngineName() const { return fiEncryptionEngineName; }
  const nxString& StreamEngineName() const { return fiStreamEngineName; }
  std::int32_t VadurVersion() const { return fiVadurVersion; }
  std::uint32_t CheckSumSize() const { return fiCheckSumSize; }
  // Set by a checksum verification that found the stored checksum right.
  bool CheckSumVerified() const { return fiCheckSumVerified; }
  void SetCheckSumVerified(bool aValue) { fiCheckSumVerified = aValue; }
  const std::vector<std::uint8_t>& Checksum() const { return fiChecksum; }
  const TnxFileAttributes& Attributes() const { return fiAttributes; }
  bool ForServer() const { return fiForServer; }
  TnxBaseEncryptionEngine* EncryptionEngine() const { return fiEncryptionEngine; }
  TnxBufferManager* BufMgr() const { return fiBufMgr; }
  TnxBaseFileHeaderAccessFactory* HeaderAccessFactory() const { return fiHeaderAccessFactory; }
  TnxBlockSize BlockSize() const { return fiBlockSize; }
  // Usable bytes of a block (the header's figure; BlockBytes less the reserve).
  std::uint32_t BlockSizeBytes() const { return fiBlockSizeBytes; }
  std::uint32_t MaxBlocks() const { return fiMaxBlocks; }
  std::uint32_t UsedBlocks() const { return fiUsedBlocks; }
  std::uint32_t TransUsedBlocks() const { return fiTransUsedBlocks; }
  // The used blocks as aTrans sees them: its own count while it holds the file.
  std::uint32_t UsedBlocksFor(const TnxBaseTransaction* aTrans) const {
    return aTrans && fiTrans == aTrans ? fiTransUsedBlocks : fiUsedBlocks;
  }
  std::uint32_t InitialSize() const { return fiInitialSize; }
  std::uint32_t GrowSize() const { return fiGrowSize; }
  std::int32_t MaxID() const { return fiMaxID; }
  TnxReadOnlyBlock* BlockZero() const { return fiBlockZero; }
  bool WriteFailed() const { return fiWriteFailed; }

  // Set before the file is added to its manager (the table's set-up).
  void SetBlockSize(TnxBlockSize aValue) { fiBlockSize = aValue; }
  void SetVadurVersion(std::int32_t aValue) { fiVadurVersion = aValue; }
  void SetEncryptionEngineName(const nxString& aValue) { fiEncryptionEngineName = aValue; }
  void SetStreamEngineName(const nxString& aValue) { fiStreamEngineName = aValue; }
  void SetAttributes(const TnxFileAttributes& aValue) { fiAttributes = aValue; }
  void SetForServer(bool aValue) { fiForServer = aValue; }
  void SetTempStore(TnxBaseTempStorage* aValue) { fiTempStore = aValue; }
  void SetSnapshotBlockCount(std::atomic<std::int32_t>* aValue) { fiSnapshotBlockCount = aValue; }
  void SetLogTable(const nxString& aValue) { fiLogTable = aValue; }
  void SetGrowth(std::uint32_t aInitialSize, std::uint32_t aGrowSize) {
    fiInitialSize = aInitialSize;
    fiGrowSize = aGrowSize;
  }
  // The highest owner ID a block of the file may carry.
  void SetMaxID(std::int32_t aValue) { fiMaxID = aValue; }
  // Set by the header access from block 0 (or when it writes a new one).
  void SetBlockSizeBytes(std::uint32_t aValue) { fiBlockSizeBytes = aValue; }
  void SetUsedBlocks(std::uint32_t aValue) { fiUsedBlocks = aValue; }
  void SetCheckSumSize(std::uint32_t aValue) { fiCheckSumSize = aValue; }
  void SetChecksum(std::vector<std::uint8_t> aValue) { fiChecksum = std::move(aValue); }
  // A block appended by the holding transaction.
  void SetTransUsedBlocks(std::uint32_t aValue) { fiTransUsedBlocks = aValue; }

 protected:
  // For the file classes: the on-disk spelling of the name, and the state
  // of an open.
  void SetOnDiskName(const nxString& aName) { fiName = aName; }
  void SetIsLink(bool aValue) { fiIsLink = aValue; }
  void SetOpened(TnxOpenMode aOpenMode, TnxShareMode aShareMode, bool aWriteThru) {
    fiOpenMode = aOpenMode;
    fiShareMode = aShareMode;
    fiWriteThru = aWriteThru;
  }
  // A flush failed: the disk image waits for recovery.
  void SetWriteFailed() { fiWriteFailed = true; }
  // The table checksum an encrypting write brings up to date.
  std::vector<std::uint8_t>& ChecksumToUpdate() { return fiChecksum; }
  const nxString& LogAlias() const { return fiLogAlias; }
  const nxString& LogTable() const { return fiLogTable; }
  const nxString& LogFile() const { return fiLogFile; }

 private:
  // The buffer manager's own classes and functions keep the file's lists,
  // links and counts.
  friend class TnxBufferManager;
  friend class TnxReadOnlyBlock;
  friend class TnxModifiedBlock;
  friend class TnxBlockAccess;
  friend class TnxFlushList;
  friend class TnxFileSnapShotLink;
  friend class TnxBlockSnapShot;
  friend class TnxBaseFileHeaderAccess;
  friend class TnxBaseFileHeaderAccessFactory;
  friend void nxDetachFileFromTransaction(TnxBaseFile* aFile);
  friend void nxsrSnapShotBeforeCommit(TnxReadOnlyBlock* aBlock);
  friend std::uint32_t nxsrUsedBlocksOf(TnxBaseFile* aFile, const std::uint8_t* aHeader);

  // The lookup's containers, on the file's list.
  TnxBlockContainer* NewContainer();
  void FreeContainer(TnxBlockContainer* aContainer);

  // Transaction links.
  TnxBaseTransaction* fiTrans = nullptr;
  TnxBaseTransactionLevel* fiTransLevel = nullptr;
  TnxBaseFile* fiTransNext = nullptr;
  TnxBaseFile* fiTransPrev = nullptr;
  // Snapshot links: a bit and a link per snapshot ID that looked at the
  // file; the counter moves whenever a link is made or freed.
  std::vector<std::uint8_t> fiSnapShotFlags;
  std::vector<TnxFileSnapShotLink*> fiSnapShotLinks;
  TnxFileSnapShotLink* fiSnapShotLinkHead = nullptr;
  TnxFileSnapShotLink* fiSnapShotLinkTail = nullptr;
  std::uint32_t fiSnapShotCounter = 0;

  nxString fiName;
  nxString fiPath;
  TnxOpenMode fiOpenMode = omNone;
  TnxShareMode fiShareMode = smExclusive;
  bool fiWriteThru = false;
  bool fiIsLink = false;
  TnxBlockSignature fiHeaderSignature = nxNoSignature;
  nxString fiEncryptionEngineName;
  nxString fiStreamEngineName;
  std::int32_t fiVadurVersion = 0;
  std::uint32_t fiCheckSumSize = 0;
  std::vector<std::uint8_t> fiChecksum;
  bool fiCheckSumVerified = false;
  TnxFileAttributes fiAttributes;
  bool fiForServer = false;
  TnxBaseEncryptionEngine* fiEncryptionEngine = nullptr;  // owned
  TnxBaseTempStorage* fiTempStore = nullptr;              // the manager's
  TnxBufferManager* fiBufMgr = nullptr;
  TnxBaseFileHeaderAccessFactory* fiHeaderAccessFactory = nullptr;  // owned
  TnxBlockSize fiBlockSize = nxbs4k;
  std::uint32_t fiBlockSizeBytes = 0;
  std::uint32_t fiMaxBlocks = 0;
  std::uint32_t fiUsedBlocks = 0;
  std::uint32_t fiTransUsedBlocks = 0;
  std::uint32_t fiInitialSize = 1;
  std::uint32_t fiGrowSize = 1;
  TnxReadOnlyBlock* fiBlockListHead = nullptr;
  TnxReadOnlyBlock* fiBlockListTail = nullptr;
  TnxReadOnlyBlock* fiBlockZero = nullptr;
  TnxBlockContainer* fiBlockContainerList = nullptr;
  TnxBlockContainer* fiBlocks[256] = {};
  std::atomic<std::int32_t>* fiSnapshotBlockCount = nullptr;
  std::int32_t fiMaxID = 0x7FFFFFFF;
  nxString fiLogAlias, fiLogTable, fiLogFile;
  // fiUsedBlocks before the commit whose writes are queued; restored when
  // those writes are dropped.
  std::uint32_t fiUsedBlocksBeforeCommit = 0;
  // A flush of the file failed: its disk image waits for recovery.
  bool fiWriteFailed = false;

  TnxBlockIteratorResult Iterate(void* aCookie, bool aDecrypt,
                                 TnxBlockIteratorResult (*aCall)(const void* aIterator, void* aCookie,
                                                                 TnxBlockNumber aBlockNr,
                                                                 const std::vector<std::uint8_t>& aBlockCookie,
                                                                 PnxBlock aBlock),
                                 const void* aIterator);
};

// ---- The buffer manager --------------------------------------------------------------

class TnxBufferManager : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  // Without aDefaultTempStore the manager starts with no temporary storage,
  // for a caller that sets its own size at once (no scratch file is made).
  explicit TnxBufferManager(const nxString& aTempDir, bool aDefaultTempStore = true);
  ~TnxBufferManager() override;
  // Asserts that every file was removed.
  void beforeDestruction() override;

  void Lock() { bmPadlock->Lock(); }
  void Unlock() { bmPadlock->Unlock(); }
  bool TryLock() { return bmPadlock->TryLock(); }
  TnxPadlock& Padlock() { return *bmPadlock; }

  TnxResult AddFile(TnxBaseFile* aFile, TnxBaseTransaction* aTrans, const TnxUnicodeStrings& aPasswords,
                    bool aMarkHeaderDirty, TnxReleaseMethod& aReleaseMethod, PnxBlock& aBlock, bool& aIsReadOnly);
  void RemoveFile(TnxBaseFile* aFile);
  PnxBlock GetBlock(TnxBaseFile* aFile, TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber, bool aMarkDirty,
                    TnxReleaseMethod& aReleaseMethod);
  PnxBlock AddBlock(TnxBaseFile* aFile, TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber,
                    TnxReleaseMethod& aReleaseMethod);
  void DirtyBlock(TnxBaseFile* aFile, TnxBlockNumber aBlockNumber, TnxBaseTransaction* aTrans,
                  PnxBlock& aModifiableBlock);
  void DiscardBlock(TnxBaseFile* aFile, TnxBlockNumber aBlockNumber, TnxBaseTransaction* aTrans);

  // Changes with every commit, rollback, file added or removed: header
  // values a transaction kept at another epoch may be out of date.
  std::uint64_t HeaderEpoch() const { return bmHeaderEpoch.load(std::memory_order_acquire); }

  // A top-level commit refuses with 15443 once the fatal-error latch is set,
  // before anything is journaled or committed.
  void CommitTransaction(TnxBaseTransaction* aTrans, TnxFlushList* aFlushList, bool aIsWTCommit);
  void RollbackTransaction(TnxBaseTransaction* aTrans);
  void RollbackTransactionLevel(TnxBaseTransactionLevel* aTransLevel);

  // Refuses (8962) to reach nxLSNLimit: journals are named and ordered by LSN.
  TnxLSN NextLSN();
  // Raises the current LSN to aValue; never lowers it; 8962 for an LSN at or
  // above nxLSNLimit.
  void SetNextLSN(TnxLSN aValue);
  TnxLSN CurrentLSN();

  std::int32_t MaxRAM();
  // The cache budget in MB: at most 1536 and 80 % of the machine's memory.
  void SetMaxRAM(std::int32_t aValue);
  // Bytes the SQL engine may still use: the smaller of free virtual and
  // physical memory less the unused cache budget and a reserve; never below 0.
  std::int64_t AvailableRAM();
  // Page budget of the mapped recency (or frequency) list; the two move
  // with the ghost hits, their sum stays.
  std::int32_t MaxPages(bool aFrequency = false) const { return bmMaxPages[cbsMapped][aFrequency]; }
  std::int64_t MappedBudget() const { return std::int64_t{bmMaxPages[cbsMapped][0]} + bmMaxPages[cbsMapped][1]; }
  // Pages of one list: [state][frequency][resident, else ghost].
  std::int64_t ListPages(TnxCacheBlockState aState, bool aFrequency, bool aResident) const {
    return bmBlockListCount[aState][aFrequency][aResident];
  }
  std::int64_t ResidentPages(TnxCacheBlockState aState) const {
    return bmBlockListCount[aState][0][1] + bmBlockListCount[aState][1][1];
  }
  // Mapped pages of all images now.
  std::int64_t MappedPages() const { return bmMappedPages.load(std::memory_order_relaxed); }

  // Scratch blocks: evictable while unlocked; a lookup asserts a live handle.
  TnxScratchBlockHandle CreateScratchBlock(TnxBlockSizeAll aSize);
  void* LockScratchBlock(TnxScratchBlockHandle aHandle);
  void UnlockScratchBlock(TnxScratchBlockHandle aHandle, void* aPointer);
  void FreeScratchBlock(TnxScratchBlockHandle aHandle);
  std::int64_t TempStoreSize();
  void SetTempStoreSize(std::int64_t aMegabytes);
  TnxBaseTempStorage* TempStore() const { return bmTempStore; }
  void GetStatsCaptions(platform::TStringList& aList);
  void GetStatsValues(platform::TStringList& aList);
  static void GetStatsValuesStatic(platform::TStringList& aList);

  // The cache trim: drops or parks the oldest images while the mapped
  // pages exceed the budget. An unforced pass stops after 150 ms of
  // evictions; a pass that freed nothing blocks unforced passes for 1000 ms.
  // REQUIRES: the padlock.
  void bmRemoveExcessBlocks(bool aForceMapped, bool aForceAllocated);
  // The trim once a flush has written the committed images: until then they
  // could not be dropped, so an earlier failed pass says nothing.
  void TrimAfterFlush();
  // A trim while a commit or flush walks more blocks than the cache holds.
  void TrimIfOverBudget() {
    if (MappedPages() > MappedBudget()) TrimAfterFlush();
  }
  // The cached block, nil when none; waits for a load by another thread.
  // REQUIRES: the padlock.
  TnxReadOnlyBlock* bmFindBlock(TnxBaseFile* aFile, TnxBlockNumber aBlockNumber);
  // The same without waiting for a load. REQUIRES: the padlock.
  TnxReadOnlyBlock* bmFindBlockNoWait(TnxBaseFile* aFile, TnxBlockNumber aBlockNumber);
  TnxReadOnlyBlock* bmCreateReadOnlyBlock(TnxBaseFile* aFile, TnxBlockNumber aBlockNumber, bool aNew);
  // Unlinks a block from its file and the in-use list. REQUIRES: the padlock.
  void bmRemoveBlockFromFile(TnxReadOnlyBlock* aBlock);
  // Unlinks and frees it. REQUIRES: the padlock, no pin.
  void bmFreeBlock(TnxReadOnlyBlock* aBlock);
  std::int32_t InUseCount();

  TnxPadlock* bmPadlock;
  std::int32_t bmMaxRAM = 10;
  nxString bmTempDir;
  TnxBaseTempStorage* bmTempStore = nullptr;
  TnxReadOnlyBlock* bmInUseListHead = nullptr;
  TnxReadOnlyBlock* bmInUseListTail = nullptr;
  TnxCacheBlockState bmCacheIsColdCheckState = cbsAllocated;
  bool bmCacheIsCold = true;
  std::int64_t bmTransCommitCount = 0;
  std::int64_t bmTransRollbackCount = 0;
  std::int64_t bmTransNestedCommitCount = 0;
  std::int64_t bmTransNestedRollbackCount = 0;
  std::int64_t bmTransDeadlockCount = 0;
  std::int64_t bmTransCorruptedCount = 0;
  TnxLSN bmCurrentLSN = 0;
  std::int32_t bmActiveSnapShotCount = 0;
  std::vector<std::uint8_t> bmSnapShotFlags;         // bit set of snapshot IDs in use
  std::vector<TnxBaseTransaction*> bmSnapShotTrans;  // by snapshot ID
  // Gives a snapshot transaction the lowest free ID (one more flag byte when
  // all are taken). REQUIRES: the padlock.
  void bmAddSnapShotTrans(TnxBaseTransaction* aTrans);
  void bmRemoveSnapShotTrans(TnxBaseTransaction* aTrans);
  // A snapshot reader that looked at one file of a commit keeps the old
  // state of every file of it. REQUIRES: the padlock.
  void bmSnapShotCrossFile(TnxBaseTransaction* aTrans);
  std::atomic<std::int64_t> bmBlocksRead{0};
  std::atomic<std::int64_t> bmBlocksWritten{0};
  TnxBaseReplicationLog* bmReplicationLog = nullptr;  // owned; none in this system
  std::atomic<std::int64_t> bmMappedPages{0};
  // The cache lists, [state][frequency][resident], head the oldest.
  TnxBlockObject* bmBlockListHead[3][2][2] = {};
  TnxBlockObject* bmBlockListTail[3][2][2] = {};
  std::int64_t bmBlockListCount[3][2][2] = {};  // 4 KB pages
  std::int32_t bmMaxPages[3][2] = {{0, 0}, {0, 0}, {1280, 1280}};
  std::uint64_t bmLastCheckFailed[3] = {};
  std::int64_t bmBlockCacheHit[3][2][2] = {};  // [state][frequency][bulk]
  std::int64_t bmBlockCacheEvict[3][2][2] = {};
  std::uint64_t bmChunkEmergency = 0;
  std::int32_t bmEmergencyCountdown = 64;
  // Raised under the padlock after the change is in place (see HeaderEpoch).
  void bmHeadersChanged() { bmHeaderEpoch.fetch_add(1, std::memory_order_acq_rel); }

 private:
  std::atomic<std::uint64_t> bmHeaderEpoch{1};
  void bmRemoveExcessUsedBlocks(TnxCacheBlockState aState, bool aForce);
  friend class TnxBlockObject;
  void bmListAppend(TnxBlockObject* aObject, TnxCacheBlockState aState, bool aFrequency, bool aResident);
  void bmListUnlink(TnxBlockObject* aObject, TnxCacheBlockState aState, bool aFrequency, bool aResident);
  void bmFreeScratchBlocks();
  TnxScratchBlock* ScratchBlock(TnxScratchBlockHandle aHandle);
  std::unique_ptr<TnxHandleTable> bmScratchHandles;  // made on first use
  std::vector<TnxScratchBlock*> bmScratchList;   // owned
  friend class TnxReadOnlyBlock;
  void InsertIntoFile(TnxReadOnlyBlock* aBlock);
  void CommitTopLevel(TnxBaseTransaction* aTrans, TnxFlushList* aFlushList, bool aIsWTCommit);
  void CheckBlocksBeforeCommit(TnxBaseTransaction* aTrans);
  void CommitNested(TnxBaseTransaction* aTrans);
  void RollbackLevelBlocks(TnxBaseTransactionLevel* aLevel);
  void RollbackAllBlocks(TnxBaseTransaction* aTrans);
  void DetachFiles(TnxBaseTransaction* aTrans, TnxBaseTransactionLevel* aOnlyLevel);
};

// Module start-up: pools, the default file classes. Finalisation frees the
// header-format registry.
void nxsrBufferManagerInitialize();
void nxsrBufferManagerFinalize();

// Detaches a file from its transaction. REQUIRES: the padlock.
void nxDetachFileFromTransaction(TnxBaseFile* aFile);
