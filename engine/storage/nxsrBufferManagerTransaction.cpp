// Transactions, levels, commit, rollback and the flush list.
#include <algorithm>
#include <vector>

#include "nxsrBufferManagerInt.h"

PL_CLASS_INFO_IMPL(TnxBaseTransactionLevel, TnxObject, "TnxBaseTransactionLevel", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseTransaction, TnxObject, "TnxBaseTransaction", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseTransactionMgr, TnxObject, "TnxBaseTransactionMgr", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseJournalEngine, TnxPersistent, "TnxBaseJournalEngine", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseReplicationLog, TnxObject, "TnxBaseReplicationLog", nullptr)
PL_CLASS_INFO_IMPL(TnxFlushList, TnxObject, "TnxFlushList", nullptr)

namespace {

// Journals of failed flushes: kept (their files stay for recovery) for the
// life of the process.
struct RetainedJournals {
  std::vector<TnxBaseJournalEngine*> journals;
  // Their files were let go of: freeing them deletes nothing.
  ~RetainedJournals() {
    for (TnxBaseJournalEngine* journal : journals) platform::TObject::free(journal);
  }
};
std::vector<TnxBaseJournalEngine*>& retainedJournals() {
  static RetainedJournals retained;
  return retained.journals;
}

[[noreturn]] void raiseFatal() { throw EnxServerException(nxErrTransactionCorrupt, nxsrFatalErrorMessage); }

}  // namespace

// ---- Levels ----------------------------------------------------------------------------

TnxBaseTransactionLevel::TnxBaseTransactionLevel(TnxBaseTransaction* aTransaction)
    : tlPrev(aTransaction->btTransLevelsTail),
      tlTransaction(aTransaction),
      tlStartTime(platform::now()),
      tlStartLSN(aTransaction->btBufferManager->NextLSN()),
      tlLSN(tlStartLSN),
      tlLevel(tlPrev ? tlPrev->tlLevel + 1 : 0) {
  aTransaction->btTransLevelsTail = this;
}

TnxBaseTransactionLevel::~TnxBaseTransactionLevel() {
  if (tlTransaction->btTransLevelsTail == this) tlTransaction->btTransLevelsTail = tlPrev;
}

void TnxBaseTransactionLevel::beforeDestruction() {
  nxAssert(tlBlockCount == 0, "Transaction level freed with modified blocks");
  nxAssert(tlLockCount == 0, "Transaction level freed while locked");
}

bool TnxBaseTransactionLevel::StopNested() {
  if (tlNestingCount > 0) {
    --tlNestingCount;
    return false;
  }
  return true;
}

void TnxBaseTransactionLevel::MarkCorrupted() {
  for (TnxBaseTransactionLevel* l = tlTransaction->btTransLevelsTail; l && l != this; l = l->tlPrev)
    l->tlState.include(tlsCorrupted);
  if (tlState.contains(tlsCorrupted)) return;
  tlState.include(tlsCorrupted);
  {
    TnxPadlockGuard guard(tlTransaction->btBufferManager->Padlock());
    ++tlTransaction->btBufferManager->bmTransCorruptedCount;
  }
  nxsrCountSessionStats(sscTransCorrupted, 1);
}

void TnxBaseTransactionLevel::MarkDeadlock() {
  for (TnxBaseTransactionLevel* l = tlTransaction->btTransLevelsTail; l && l != this; l = l->tlPrev)
    l->tlState.include(tlsDeadlocked);
  if (tlState.contains(tlsDeadlocked)) return;
  tlState.include(tlsDeadlocked);
  {
    TnxPadlockGuard guard(tlTransaction->btBufferManager->Padlock());
    ++tlTransaction->btBufferManager->bmTransDeadlockCount;
  }
  nxsrCountSessionStats(sscTransDeadlock, 1);
}

// ---- Transactions -------------------------------------------------------------------------

TnxBaseTransaction::TnxBaseTransaction(TnxBufferManager* aBufferManager, platform::TObject* aOwningSession,
                                       bool aIsSnapshot, bool aFailSafe)
    : btBufferManager(aBufferManager), btOwningSession(aOwningSession), btIsSnapshot(aIsSnapshot) {
  (void)aFailSafe;  // the owner sets tsFailsafe
}

void TnxBaseTransaction::afterConstruction() {
  if (btIsSnapshot) {
    btState.include(tsSnapshot);
    TnxPadlockGuard guard(btBufferManager->Padlock());
    btBufferManager->bmAddSnapShotTrans(this);
  }
  StartNested(false);
  btStartTime = btTransLevelsTail->tlStartTime;
  btStartLSN = btTransLevelsTail->tlStartLSN;
  btLSN = btTransLevelsTail->tlLSN;
}

TnxBaseTransaction::~TnxBaseTransaction() {
  if (btIsSnapshot && btSnapshotID >= 0) {
    TnxPadlockGuard guard(btBufferManager->Padlock());
    FreeSnapShotLinks();
    btBufferManager->bmRemoveSnapShotTrans(this);
  }
  // A transaction dropped without commit or rollback (an exception passed
  // its owner) gives its copies back: left linked to freed levels, they
  // would be touched again when their file is removed.
  while (btTransLevelsTail) {
    if (btTransLevelsTail->tlBlockCount > 0) {
      try {
        btBufferManager->RollbackTransaction(this);
      } catch (...) {
        // Nothing more to give back than the level's own copies.
      }
    }
    platform::TObject::discard(btTransLevelsTail);
  }
  platform::TObject::free(btJournal);
}

TnxTransLevelFactory TnxBaseTransaction::TransLevelClass() { return &nxCreateTransLevel<TnxBaseTransactionLevel>; }

void TnxBaseTransaction::StartNested(bool aForce) {
  if (!aForce && btTransLevelsTail && btTransLevelsTail->tlState.contains(tlsNoMoreNested)) {
    ++btTransLevelsTail->tlNestingCount;
    return;
  }
  TransLevelClass()(this);
}

bool TnxBaseTransaction::Nested() const {
  return btTransLevelsTail && (btTransLevelsTail->tlLevel > 0 || btTransLevelsTail->tlNestingCount > 0);
}

bool TnxBaseTransaction::IsLocked() const {
  return btTransLevelsTail && btTransLevelsTail->tlLockCount > 0 && btTransLevelsTail->tlNestingCount == 0;
}

void TnxBaseTransaction::Lock() { ++btTransLevelsTail->tlLockCount; }

void TnxBaseTransaction::Unlock() {
  nxAssert(btTransLevelsTail->tlLockCount > 0, "Transaction level unlocked more often than locked");
  --btTransLevelsTail->tlLockCount;
}

void TnxBaseTransaction::MarkCorrupted() {
  if (btTransLevelsTail) btTransLevelsTail->MarkCorrupted();
}
void TnxBaseTransaction::MarkDeadlock() {
  if (btTransLevelsTail) btTransLevelsTail->MarkDeadlock();
}
void TnxBaseTransaction::MarkNoMoreNested() {
  if (btTransLevelsTail) btTransLevelsTail->MarkNoMoreNested();
}

TnxResult TnxBaseTransaction::CheckState() const {
  if (btState.contains(tsFailed)) return 15443;
  if (!btTransLevelsTail) return 0;
  if (btTransLevelsTail->tlState.contains(tlsDeadlocked)) return 10255;
  if (btTransLevelsTail->tlState.contains(tlsCorrupted)) return 15443;
  return 0;
}

void TnxBaseTransaction::SetJournal(TnxBaseJournalEngine* aJournal) {
  if (aJournal == btJournal) return;
  platform::TObject::free(std::exchange(btJournal, aJournal));
}

TnxBaseTransactionMgr::TnxBaseTransactionMgr(TnxBufferManager* aBufferManager)
    : btmPadlock(platform::create<TnxPadlock>(false)), btmBufferManager(aBufferManager) {}

TnxBaseTransactionMgr::~TnxBaseTransactionMgr() { platform::TObject::free(btmPadlock); }

// ---- Commit and rollback ------------------------------------------------------------------

void nxDetachFileFromTransaction(TnxBaseFile* aFile) {
  TnxBaseTransaction* trans = aFile->fiTrans;
  if (!trans) return;
  if (aFile->fiTransPrev)
    aFile->fiTransPrev->fiTransNext = aFile->fiTransNext;
  else
    trans->btTransFileListHead = aFile->fiTransNext;
  if (aFile->fiTransNext)
    aFile->fiTransNext->fiTransPrev = aFile->fiTransPrev;
  else
    trans->btTransFileListTail = aFile->fiTransPrev;
  aFile->fiTransNext = aFile->fiTransPrev = nullptr;
  aFile->fiTrans = nullptr;
  aFile->fiTransLevel = nullptr;
}

void TnxBufferManager::DetachFiles(TnxBaseTransaction* aTrans, TnxBaseTransactionLevel* aOnlyLevel) {
  for (TnxBaseFile* file = aTrans->btTransFileListHead; file;) {
    TnxBaseFile* next = file->fiTransNext;
    if (!aOnlyLevel || file->fiTransLevel == aOnlyLevel) nxDetachFileFromTransaction(file);
    file = next;
  }
}

TnxBaseTransaction::HeaderStamp TnxBaseTransaction::CurrentHeaderStamp() const {
  return {btBufferManager->HeaderEpoch(), btHeaderStamp};
}

bool TnxBaseTransaction::FindHeaderValues(const void* aOwner, std::int64_t aKey, const HeaderStamp& aStamp,
                                          HeaderValues& aValues) const {
  if (ChangingHeader()) return false;
  for (const KeptHeaderValues& kept : btKeptHeaders)
    if (kept.khOwner == aOwner && kept.khKey == aKey && kept.khStamp == aStamp) {
      aValues = kept.khValues;
      return true;
    }
  return false;
}

void TnxBaseTransaction::KeepHeaderValues(const void* aOwner, std::int64_t aKey, const HeaderStamp& aStamp,
                                          const HeaderValues& aValues) {
  if (ChangingHeader() || aStamp.hsOwn != btHeaderStamp) return;
  KeptHeaderValues* slot = nullptr;
  for (KeptHeaderValues& kept : btKeptHeaders)
    if (kept.khOwner == aOwner && kept.khKey == aKey) slot = &kept;
  if (!slot) {
    slot = &btKeptHeaders[btKeptHeadersNext];
    btKeptHeadersNext = (btKeptHeadersNext + 1) % kKeptHeaderValues;
  }
  *slot = {aOwner, aKey, aStamp, aValues};
}

void TnxBufferManager::CommitTransaction(TnxBaseTransaction* aTrans, TnxFlushList* aFlushList, bool aIsWTCommit) {
  if (!aTrans) return;
  TnxPadlockGuard guard(*bmPadlock);
  TnxHeadersChangedOnExit changed{*this};
  TnxBaseTransactionLevel* level = aTrans->btTransLevelsTail;
  nxAssert(level != nullptr, "Commit of a transaction without a level");
  if (level->Level() == 0) {
    // Before anything is journaled: the journal of a commit after a failed
    // flush would hold that flush's after-images as before-images.
    if (nxsrFatalErrorIsSet()) raiseFatal();
    CommitTopLevel(aTrans, aFlushList, aIsWTCommit);
  } else if (!aIsWTCommit) {
    CommitNested(aTrans);
  }
  bmRemoveExcessBlocks(true, true);
}

void TnxBufferManager::CommitNested(TnxBaseTransaction* aTrans) {
  TnxBaseTransactionLevel* level = aTrans->btTransLevelsTail;
  ++bmTransNestedCommitCount;
  nxsrCountSessionStats(sscTransNestedCommit, 1);
  for (TnxModifiedBlock* copy = level->tlModifiedBlocksHead; copy;) {
    TnxModifiedBlock* next = copy->mbTransLevelNext;
    copy->mbReadOnlyBlock->Commit(false, false);
    copy = next;
  }
  for (TnxBaseFile* file = aTrans->btTransFileListHead; file; file = file->fiTransNext)
    if (file->fiTransLevel == level) file->fiTransLevel = level->tlPrev;
}

void TnxBufferManager::CommitTopLevel(TnxBaseTransaction* aTrans, TnxFlushList* aFlushList, bool aIsWTCommit) {
  if (!aTrans->State().contains(tsSnapshot)) {
    ++bmTransCommitCount;
    nxsrCountSessionStats(sscTransCommit, 1);
  }
  for (TnxBaseFile* file = aTrans->btTransFileListHead; file; file = file->fiTransNext)
    file->fiUsedBlocksBeforeCommit = file->fiUsedBlocks;
  CheckBlocksBeforeCommit(aTrans);
  if (TnxBaseJournalEngine* journal = aTrans->btJournal) {
    journal->PrepareJournal();
    std::uint32_t n = 0;
    for (TnxReadOnlyBlock* block = aTrans->btTransBlockListHead; block; block = block->robTransNext) {
      if (!block->robFile->IsTemporary()) journal->AddBlock(aTrans, block);
      // The images the journal brought back go out again as it proceeds.
      if ((++n & 63) == 0) TrimIfOverBudget();
    }
    journal->FinalizeJournal();
  }
  // With snapshot readers about, committing must not free the padlock
  // halfway (a reader starting then would take a part of this commit for
  // its state): the committed images the commit hands to snapshots, block
  // 0 of every file included, are loaded first, until a pass finds them all.
  for (bool loaded = true; loaded;) {
    loaded = false;
    bmSnapShotCrossFile(aTrans);
    if (bmActiveSnapShotCount == 0) break;
    auto need = [&loaded](TnxReadOnlyBlock* aBlock) {
      if (!aBlock || !(aBlock->robLoading || (!aBlock->robNew && !aBlock->boCacheBlock))) return;
      aBlock->CacheBlockNeeded();
      loaded = true;
    };
    for (TnxReadOnlyBlock* block = aTrans->btTransBlockListHead; block; block = block->robTransNext) need(block);
    for (TnxBaseFile* file = aTrans->btTransFileListHead; file; file = file->fiTransNext)
      if (!file->IsTemporary()) need(file->fiBlockZero);
  }
  TnxOwned<TnxFlushList> own;
  TnxFlushList* list = aFlushList;
  if (!list) {
    own.reset(platform::create<TnxFlushList>());
    list = own.get();
  }
  list->flReplicationLog = bmReplicationLog;
  for (TnxReadOnlyBlock* block = aTrans->btTransBlockListHead; block;) {
    TnxReadOnlyBlock* next = block->robTransNext;
    block->Commit(false, aIsWTCommit);
    // A queued image cannot be dropped before the flush; parked it comes
    // back when the flush writes it, so memory stays within the budget.
    if (block->boCacheBlock && block->robRefCount.load(std::memory_order_acquire) == 0 &&
        MappedPages() > MappedBudget())
      block->Evict();
    block = next;
  }
  if (aTrans->btJournal) {
    platform::TObject::free(list->flJournal);
    list->flJournal = std::exchange(aTrans->btJournal, nullptr);
  }
  list->Prepare(aTrans, aIsWTCommit);
  if (own) own->Flush(false);
}

void TnxBufferManager::CheckBlocksBeforeCommit(TnxBaseTransaction* aTrans) {
  // Blocks are committed one by one: a block refused half-way would leave
  // the ones before it committed and queued. So every image the commit
  // will take is checked first; a refusal leaves the transaction whole, to
  // be rolled back.
  // Images read back for it go out again as the check proceeds.
  std::uint32_t n = 0;
  for (TnxReadOnlyBlock* block = aTrans->btTransBlockListHead; block; block = block->robTransNext) {
    TnxModifiedBlock* newest = block->robBlockListTail;
    if (!newest || !newest->NeedsCheck()) continue;
    block->Validate(newest->boCacheBlock->Block());
    if ((++n & 63) == 0) TrimIfOverBudget();
  }
  // Block 0 of every file is stamped with the commit's LSN from its
  // committed image when the transaction did not change it.
  for (TnxBaseFile* file = aTrans->btTransFileListHead; file; file = file->fiTransNext) {
    TnxReadOnlyBlock* zero = file->fiBlockZero;
    if (file->IsTemporary() || !zero || zero->robTrans == aTrans) continue;
    if (!zero->boCacheBlock) zero->CacheBlockNeeded();
    if (zero->boCacheBlock) zero->Validate(zero->boCacheBlock->Block());
  }
}

void TnxBufferManager::RollbackLevelBlocks(TnxBaseTransactionLevel* aLevel) {
  for (TnxModifiedBlock* copy = aLevel->tlModifiedBlocksHead; copy;) {
    TnxModifiedBlock* next = copy->mbTransLevelNext;
    copy->mbReadOnlyBlock->RollbackTransLevel(aLevel);
    copy = next;
  }
}

void TnxBufferManager::RollbackAllBlocks(TnxBaseTransaction* aTrans) {
  for (TnxReadOnlyBlock* block = aTrans->btTransBlockListHead; block;) {
    TnxReadOnlyBlock* next = block->robTransNext;
    while (TnxModifiedBlock* newest = block->robBlockListTail) {
      const bool last = newest->mbPrev == nullptr;
      block->RollbackTransLevel(newest->mbTransLevel);  // may free the block after the last copy
      if (last) break;
    }
    block = next;
  }
}

void TnxBufferManager::RollbackTransaction(TnxBaseTransaction* aTrans) {
  if (!aTrans) return;
  TnxPadlockGuard guard(*bmPadlock);
  TnxHeadersChangedOnExit changed{*this};
  TnxBaseTransactionLevel* level = aTrans->btTransLevelsTail;
  nxAssert(level != nullptr, "Rollback of a transaction without a level");
  if (level->tlLevel > 0) {
    ++bmTransNestedRollbackCount;
    nxsrCountSessionStats(sscTransNestedRollback, 1);
    RollbackLevelBlocks(level);
    DetachFiles(aTrans, level);
  } else {
    if (!aTrans->State().contains(tsSnapshot)) {
      ++bmTransRollbackCount;
      nxsrCountSessionStats(sscTransRollback, 1);
    }
    aTrans->SetJournal(nullptr);
    RollbackAllBlocks(aTrans);
    DetachFiles(aTrans, nullptr);
    bmRemoveExcessBlocks(true, true);
  }
  if (nxIsMemoryEmergency()) bmRemoveExcessBlocks(true, nxGetForceAllocated());
}

void TnxBufferManager::RollbackTransactionLevel(TnxBaseTransactionLevel* aTransLevel) {
  TnxPadlockGuard guard(*bmPadlock);
  TnxHeadersChangedOnExit changed{*this};
  TnxBaseTransaction* trans = aTransLevel->tlTransaction;
  if (aTransLevel->tlLevel > 0) {
    RollbackLevelBlocks(aTransLevel);
    DetachFiles(trans, aTransLevel);
  } else {
    RollbackAllBlocks(trans);
    DetachFiles(trans, nullptr);
    bmRemoveExcessBlocks(true, true);
  }
}

// ---- Flush list -------------------------------------------------------------------------------

TnxFlushList::TnxFlushList() { flList.reserve(32); }

TnxFlushList::~TnxFlushList() { platform::TObject::free(flJournal); }

void TnxFlushList::Prepare(TnxBaseTransaction* aTrans, bool aIsWTCommit) {
  flLSN = aTrans->btLSN;
  TnxBufferManager* manager = aTrans->btBufferManager;
  TnxPadlockGuard guard(manager->Padlock());
  try {
    for (TnxBaseFile* file = aTrans->btTransFileListHead; file; file = file->fiTransNext) {
      if (file->IsTemporary()) continue;
      TnxReadOnlyBlock* zero = file->fiBlockZero;
      if (zero) {
        if (zero->robLastLSN < aTrans->btLSN) {
          zero->MakeDirty(aTrans);
          TnxReleaseMethod release;
          PnxBlock image = zero->Block(aTrans, true, release);
          nxBlockHeader(image)->bchLSN = aTrans->btLSN;
          nxReleaseBlock(release, image);
          zero->Commit(false, aIsWTCommit);
          nxAssert(zero->robLastLSN == aTrans->btLSN, "Block 0 does not carry the commit's LSN");
        }
      } else {
        TnxReleaseMethod release;
        PnxBlock image = manager->GetBlock(file, aTrans, 0, true, release);
        nxBlockHeader(image)->bchLSN = aTrans->btLSN;
        nxReleaseBlock(release, image);
        file->fiBlockZero->Commit(false, aIsWTCommit);
      }
      if (std::find(flList.begin(), flList.end(), file) == flList.end()) flList.push_back(file);
    }
  } catch (...) {
    // Memory goes back to what the disk holds: queued writes are dropped
    // (their blocks are read again) and the used-block counts restored.
    for (TnxBaseFile* file = aTrans->btTransFileListHead; file; file = file->fiTransNext) {
      file->RollbackUnwritten();
      file->fiUsedBlocks = file->fiUsedBlocksBeforeCommit;
      file->fiTransUsedBlocks = file->fiUsedBlocksBeforeCommit;
    }
    flList.clear();
    throw;
  }
  if (!aIsWTCommit) {
    for (TnxBaseFile* file = aTrans->btTransFileListHead; file;) {
      TnxBaseFile* next = file->fiTransNext;
      nxDetachFileFromTransaction(file);
      file = next;
    }
  }
}

void TnxFlushList::Flush(bool aForceFailSafe) {
  bool began = false;
  try {
    if (nxsrFatalErrorIsSet()) raiseFatal();
    if (flReplicationLog) {
      flReplicationLog->BeginTrans(flLSN);
      began = true;
    }
    for (TnxBaseFile* file : flList) file->PrepareFlushFile();
    const bool failSafe = aForceFailSafe || flJournal != nullptr;
    for (TnxBaseFile* file : flList) file->FlushFile(failSafe, flReplicationLog);
    // The commit stands only once its journal can no longer undo it.
    if (flJournal) flJournal->RetireJournal();
  } catch (...) {
    nxsrSetFatalError();
    // What the files did not write is left to recovery: the queues go, so
    // that the files can still be closed.
    for (TnxBaseFile* file : flList) {
      if (!file->fiBufMgr) {
        file->AbandonUnwritten();
        continue;
      }
      TnxPadlockGuard guard(file->fiBufMgr->Padlock());
      file->AbandonUnwritten();
    }
    // The journal's file must stay for recovery.
    if (flJournal) {
      flJournal->KeepJournalFile();
      retainedJournals().push_back(std::exchange(flJournal, nullptr));
    }
    if (began) flReplicationLog->EndTrans();
    throw;
  }
  if (flReplicationLog) flReplicationLog->EndTrans();
  platform::TObject::free(std::exchange(flJournal, nullptr));
  TnxBufferManager* trimmed = nullptr;
  for (TnxBaseFile* file : flList)
    if (file->fiBufMgr != trimmed) (trimmed = file->fiBufMgr)->TrimAfterFlush();
}
