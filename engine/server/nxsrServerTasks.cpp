#include "nxsrServerTasks.h"

#include <algorithm>
#include <utility>

#include "nxllException.h"
#include "nxsrServerEngine.h"
#include "nxsrTimeoutHandling.h"
#include "nxsrEncryptionEngineBase.h"
#include "plOs.h"

PL_CLASS_INFO_IMPL(TnxServerTaskInfo, TnxSqlAbstractTaskInfo, "TnxServerTaskInfo", nullptr)
PL_CLASS_INFO_IMPL(TnxServerDoNothingTaskInfo, TnxServerTaskInfo, "TnxServerDoNothingTaskInfo", nullptr)
PL_CLASS_INFO_IMPL(TnxServerTaskThread, TnxInitThread, "TnxServerTaskThread", nullptr)
PL_CLASS_INFO_IMPL(TnxServerGetRecCountTaskInfo, TnxServerTaskInfo, "TnxServerGetRecCountTaskInfo", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseServerRebuildIndexTaskInfo, TnxServerTaskInfo, "TnxBaseServerRebuildIndexTaskInfo", nullptr)
PL_CLASS_INFO_IMPL(TnxServerRebuildIndexTaskInfo, TnxBaseServerRebuildIndexTaskInfo, "TnxServerRebuildIndexTaskInfo",
                   nullptr)
PL_CLASS_INFO_IMPL(TnxServerVerifyChecksumTaskInfo, TnxServerTaskInfo, "TnxServerVerifyChecksumTaskInfo", nullptr)

namespace {

constexpr TnxResult kUpdateAborted = 13062;
constexpr TnxResult kCorruptHeader = 8961;
constexpr TnxWord32 kVerifyDeadlineMs = 86400000;  // 24 hours
constexpr std::uint32_t kStartWaitMs = 2000;
constexpr std::uint32_t kExecutingPollMs = 100;
// Above this many records the percentage is computed on values scaled down
// by 128, so that the product stays within 32 bits.
constexpr TnxWord32 kScaleThreshold = 16777216;

}  // namespace

// ---- Task information ------------------------------------------------------------

TnxServerTaskInfo::TnxServerTaskInfo(TnxServerSession* aSession, TnxWord32 aTotalRecords,
                                     platform::ThreadPriority aThreadPriority)
    : TnxSqlAbstractTaskInfo(aSession), stiThreadPriority(aThreadPriority) {
  stiStartEvt = platform::create<TnxEvent>();
  stiPadlock = platform::create<TnxPadlock>();
  stiStatus.tsTotalRecs = aTotalRecords;
  stiStatus.tsStartTime = platform::tickCount32();
}

TnxServerTaskInfo::~TnxServerTaskInfo() {
  // Also reached without PrepareDestroy when a subclass constructor failed;
  // then no thread was ever started.
  stiWaitForThread();
  if (stiRunFreed && stiOnOwnThread()) *stiRunFreed = true;
  platform::TObject::free(std::exchange(stiPadlock, nullptr));
  platform::TObject::free(std::exchange(stiStartEvt, nullptr));
}

void TnxServerTaskInfo::PrepareDestroy() {
  TnxSqlAbstractTaskInfo::PrepareDestroy();  // cancels
  stiWaitForThread();
}

bool TnxServerTaskInfo::stiOnOwnThread() const {
  return stiRunThread.load(std::memory_order_acquire) == platform::currentThreadId();
}

void TnxServerTaskInfo::stiWaitForThread() {
  while (stiExecuting.load(std::memory_order_acquire) && !stiOnOwnThread()) {
    stiCancelled.store(true, std::memory_order_release);
    platform::sleepMs(kExecutingPollMs);
  }
}

TnxResult TnxServerTaskInfo::GetStatus(bool& aCompleted, TnxTaskStatus& aStatus) {
  try {
    {
      TnxPadlockGuard guard(*stiPadlock);
      aCompleted = stiStatus.tsFinished;
      aStatus = stiStatus;
    }
    if (aStatus.tsErrorCode != 0)
      EnxBaseException::SetLastConvertedException(aStatus.tsErrorCode, aStatus.tsErrorMessage);
    return 0;
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

TnxResult TnxServerTaskInfo::Cancel() {
  try {
    if (stiCancelled.load(std::memory_order_acquire)) return 0;
    TnxPadlockGuard guard(*stiPadlock);
    if (stiCancelled.load(std::memory_order_acquire)) return 0;
    stiCancelled.store(true, std::memory_order_release);
    stiStatus.tsErrorCode = kUpdateAborted;
    stiStatus.tsErrorMessage.clear();
    stiStatus.tsSnapshotTime = platform::tickCount32();
    stiStatus.tsFinished = true;
    return 0;
  } catch (...) {
    return asoConvertException(std::current_exception());
  }
}

bool TnxServerTaskInfo::MakeSnapshot(TnxWord32 aRecordsRead, TnxWord32 aRecordsWritten, TnxResult aErrorCode) {
  if (stiCancelled.load(std::memory_order_acquire)) return true;
  TnxResult lastCode = 0;
  nxString lastMessage;
  EnxBaseException::GetLastConvertedException(lastCode, lastMessage);
  TnxPadlockGuard guard(*stiPadlock);
  // A cancel that came in meanwhile keeps its status.
  if (stiCancelled.load(std::memory_order_acquire)) return true;
  stiStatus.tsRecsRead = aRecordsRead;
  stiStatus.tsRecsWritten = aRecordsWritten;
  stiStatus.tsErrorCode = aErrorCode;
  if (lastCode == aErrorCode)
    stiStatus.tsErrorMessage = std::move(lastMessage);
  else
    stiStatus.tsErrorMessage.clear();
  stiStatus.tsSnapshotTime = platform::tickCount32();
  const TnxWord32 total = stiStatus.tsTotalRecs;
  TnxWord32 percent = 0;
  if (aRecordsRead < kScaleThreshold) {
    if (total != 0) percent = aRecordsRead * 100 / total;
  } else if ((total >> 7) != 0) {
    percent = (aRecordsRead >> 7) * 100 / (total >> 7);
  }
  stiStatus.tsPercentDone = static_cast<std::uint8_t>(std::min<TnxWord32>(100, percent));
  return false;
}

void TnxServerTaskInfo::MarkFinished() {
  TnxPadlockGuard guard(*stiPadlock);
  stiStatus.tsFinished = true;
}

void TnxServerTaskInfo::Start() {
  auto* engine = static_cast<TnxServerEngine*>(Session()->ServerEngine());
  // Raised before the thread exists: a free that comes before Execute began
  // must still wait for the thread.
  stiExecuting.store(true, std::memory_order_release);
  TnxServerTaskThread* thread = nullptr;
  try {
    thread = platform::create<TnxServerTaskThread>(this);
  } catch (...) {
    // The failed thread has been joined: nobody runs Execute.
    stiExecuting.store(false, std::memory_order_release);
    throw;
  }
  engine->seAddTaskThread(thread);
  stiStartEvt->WaitForQuietly(kStartWaitMs);
}

void TnxServerTaskInfo::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer,
                                     bool aIncludeChildren) {
  TnxSqlAbstractTaskInfo::AddDebugInfo(aContainer, aIncludeChildren);
  aContainer->AddBoolean(u"Cancelled", Cancelled());
  aContainer->AddBoolean(u"Executing", Executing());
}

// ---- The frame of one Execute ----------------------------------------------------

TnxServerTaskRun::TnxServerTaskRun(TnxServerTaskInfo* aTaskInfo, bool aSignalStart) : run_(aTaskInfo) {
  run_->stiRunFreed = &freed_;
  run_->stiRunThread.store(platform::currentThreadId(), std::memory_order_release);
  run_->stiExecuting.store(true, std::memory_order_release);
  if (aSignalStart) Started();
}

void TnxServerTaskRun::Started() { run_->stiStartEvt->SignalEvent(); }

TnxServerTaskRun::~TnxServerTaskRun() {
  if (freed_) return;
  try {
    run_->MarkFinished();
  } catch (...) {
    // The flag below must be cleared whatever happens, or a free waits for ever.
  }
  run_->stiRunFreed = nullptr;
  run_->stiRunThread.store(0, std::memory_order_release);
  run_->stiExecuting.store(false, std::memory_order_release);
}

// ---- Do-nothing task -------------------------------------------------------------

TnxServerDoNothingTaskInfo::TnxServerDoNothingTaskInfo(TnxServerSession* aSession, TnxWord32 aResult)
    : TnxServerTaskInfo(aSession, aResult) {
  MakeSnapshot(aResult, aResult, 0);
  MarkFinished();
}

// ---- Record count ----------------------------------------------------------------

TnxServerGetRecCountTaskInfo::TnxServerGetRecCountTaskInfo(TnxRecordCountOption aOption, TnxWord32 aRecordCount,
                                                           TnxServerTableCursor* aCursor)
    : TnxServerTaskInfo(static_cast<TnxServerSession*>(aCursor->Session()), aRecordCount),
      rciDatabase(aCursor->ServerDatabase()),
      rciCursor(aCursor),
      rciOption(aOption) {
  nxAssert(aCursor->TaskInfo() == nullptr, "nxsrServerTasks: the cursor has a record count task already");
  aCursor->SetTaskInfo(this);
}

TnxServerGetRecCountTaskInfo::~TnxServerGetRecCountTaskInfo() {
  if (TnxServerTableCursor* cursor = std::exchange(rciCursor, nullptr)) {
    nxAssert(cursor->TaskInfo() == this, "nxsrServerTasks: the cursor names another record count task");
    cursor->SetTaskInfo(nullptr);
  }
}

void TnxServerGetRecCountTaskInfo::atiCursorGoes() {
  // A count that is over keeps its result.
  if (Executing()) Cancel();
  stiWaitForThread();
  rciCursor = nullptr;
  rciDatabase = nullptr;
}

void TnxServerGetRecCountTaskInfo::Execute() {
  TnxServerTaskRun run(this, false);
  TnxWord32 count = 0;
  TnxResult result = 0;
  // A local reference: the unlock below may run the session's failed
  // cleanup, which can free this task and its cursor.
  TnxIntfPtr<InxSimpleLock> lock(rciCursor ? rciCursor->SessionLock() : nullptr);
  bool locked = false;
  {
    struct Release {
      TnxIntfPtr<InxSimpleLock>& lock;
      bool& locked;
      ~Release() {
        if (!locked) return;
        try {
          TnxResult ignored = 0;
          lock->Unlock(ignored);
        } catch (...) {
          // A lost lock cannot be mended from the task's thread.
        }
      }
    } release{lock, locked};
    try {
      if (lock) {
        lock->Lock();
        locked = true;
      }
    } catch (...) {
      result = asoConvertException(std::current_exception());
    }
    run.Started();
    if (locked) {
      try {
        result = rciCount(count);
      } catch (...) {
        result = asoConvertException(std::current_exception());
      }
    }
    MakeSnapshot(count, count, result);
    MarkFinished();
  }
}

TnxResult TnxServerGetRecCountTaskInfo::rciCount(TnxWord32& aCount) {
  constexpr TnxResult kFilterTimedOut = 15444;
  TnxServerTableCursor* cursor = rciCursor;
  if (!cursor) return kUpdateAborted;
  const TnxWord32 step = std::max<TnxWord32>(1, stiStatus.tsTotalRecs / 100);
  TnxOwned<TnxBaseIndexPath> saved(cursor->stcIndexPath->Duplicate());
  const bool takeOff =
      rciOption == rcoTotalRecordCount || rciOption == rcoTotalKeyCount || rciOption == rcoRangedKeyCount;
  struct Restore {
    TnxServerTableCursor* cursor;
    TnxBaseIndexPath* saved;
    bool takenOff;
    TnxBaseFilterEngine* filter;
    TnxBaseFilterEngine* keyFilter;
    ~Restore() {
      cursor->stcIndexPath->Assign(saved);
      if (takenOff) {
        cursor->sbcFilter = filter;
        cursor->sbcKeyFilter = keyFilter;
      }
    }
  } restore{cursor, saved.get(), takeOff, nullptr, nullptr};
  if (takeOff) {
    restore.filter = std::exchange(cursor->sbcFilter, nullptr);
    restore.keyFilter = std::exchange(cursor->sbcKeyFilter, nullptr);
  }
  aCount = 0;
  cursor->stcIndexPath->SetToBof();
  TnxResult result = 0;
  for (;;) {
    result = cursor->sbcRecordGetNext(nxltNoLock, nullptr);
    if (result != 0 && result != kFilterTimedOut) break;
    if (result == 0) ++aCount;
    if (aCount % step == 0 && MakeSnapshot(aCount, aCount, 0)) {
      result = kUpdateAborted;
      break;
    }
  }
  return result == nxErrEOF ? 0 : result;
}

// ---- Index rebuild -----------------------------------------------------------------

namespace {

TnxWord32 tableRecordCount(TnxServerTableCursor* aCursor) {
  std::uint32_t count = 0;
  aCursor->Table()->RecordEngine()->GetRecordCount(nullptr, count);
  return count;
}

// Frees a task's cursor and the private database behind it.
void freeCursorAndDatabase(TnxServerTableCursor*& aCursor) {
  TnxServerTableCursor* cursor = std::exchange(aCursor, nullptr);
  if (!cursor) return;
  TnxServerDatabase* database = cursor->ServerDatabase();
  TnxAbstractServerObject::Free(cursor);
  TnxAbstractServerObject::Free(database);
}

}  // namespace

TnxBaseServerRebuildIndexTaskInfo::TnxBaseServerRebuildIndexTaskInfo(TnxServerTableCursor* aCursor,
                                                                     std::int32_t aIndexID)
    : TnxServerTaskInfo(static_cast<TnxServerSession*>(aCursor->Session()), tableRecordCount(aCursor)),
      riiDatabase(aCursor->ServerDatabase()),
      riiCursor(aCursor),
      riiIndexID(aIndexID) {}

void TnxBaseServerRebuildIndexTaskInfo::Execute() {
  TnxServerTaskRun run(this);
  riiError = 0;
  riiRecordsRead = riiRecordsWritten = 0;
  riiTransactionStarted = false;
  TnxServerTableCursor* cursor = riiCursor;
  try {
    riiError = cursor->sbcTransactionStart(false, false, false, false, false, cursor->IsResultSet || cursor->IsUnnamed);
    riiTransactionStarted = riiError == 0;
    if (riiError == 0) riiError = cursor->sbcBeginContentLock(true, false, false);
    if (riiError == 0) {
      TnxBaseTransaction* trans = cursor->GetActiveTrans();
      TnxBaseIndexEngine* index = cursor->Table()->IndicesEngine()->biseGetIndex(riiIndexID);
      index->DeleteAllKeys(trans);
      // Record order: the pass reads the records as stored.
      cursor->sbcSwitchToIndex(nxString(), -1, porFalse);
      cursor->sbcSetToBegin();
      TnxOwned<TnxBaseBulkBuilder> bulk(index->CreateBulkBuilder(trans));
      std::vector<std::uint8_t> buffer(
          static_cast<std::size_t>(cursor->Table()->TableDescriptor()->FieldsDescriptor()->RecordLength()) + 16);
      PnxRecordBuffer slot = buffer.data();
      const TnxResult walked = cursor->sbcIterate(
          &slot, nullptr,
          [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
            ++riiRecordsRead;
            const TnxRefNr refNr = aRefNr;
            if (const TnxResult inserted = bulk->InsertKey(&refNr, aRecord, trans)) {
              riiError = inserted;
              return rirStop;
            }
            if (riiRecordsRead % 10 == 0 && MakeSnapshot(riiRecordsRead, riiRecordsWritten, 0)) {
              riiError = kUpdateAborted;
              return rirStop;
            }
            return rirContinue;
          },
          false, nullptr, false);
      if (riiError == 0 && walked != 0 && walked != nxErrEOF) riiError = walked;
      if (riiError == 0) riiError = bulk->Finalize(trans);
      if (riiError == 0) {
        riiError = cursor->sbcTransactionCommit();
        if (riiError == 0) {
          riiTransactionStarted = false;
          riiRecordsWritten = riiRecordsRead;
        }
      }
    }
  } catch (...) {
    const TnxResult converted = asoConvertException(std::current_exception());
    if (riiError == 0) riiError = converted;
  }
  if (riiError != 0 && riiTransactionStarted) {
    try {
      cursor->sbcTransactionRollback();
    } catch (...) {
      // The failure that led here is what the status reports.
    }
    riiTransactionStarted = false;
  }
  if (MakeSnapshot(riiRecordsRead, riiRecordsWritten, 0) && riiError == 0) riiError = kUpdateAborted;
  try {
    riiAfterWork();
  } catch (...) {
    if (riiError == 0) riiError = asoConvertException(std::current_exception());
  }
  MakeSnapshot(riiRecordsRead, riiRecordsWritten, riiError);
}

TnxServerRebuildIndexTaskInfo::~TnxServerRebuildIndexTaskInfo() { freeCursorAndDatabase(riiCursor); }

void TnxServerRebuildIndexTaskInfo::riiAfterWork() {
  freeCursorAndDatabase(riiCursor);
  riiDatabase = nullptr;
}

// ---- Checksum verification -------------------------------------------------------

TnxServerVerifyChecksumTaskInfo::TnxServerVerifyChecksumTaskInfo(TnxServerTableCursor* aCursor, bool aRaw,
                                                                 bool aForceRecheck)
    : TnxServerTaskInfo(static_cast<TnxServerSession*>(aCursor->Session()), 0),
      vctiRaw(aRaw),
      vctiForceRecheck(aForceRecheck),
      vctiCursor(aCursor) {
  TnxServerRootTable* table = aCursor->Table()->Root();
  TnxWord32 total = 0;
  for (std::int32_t i = 0; i < table->FileCount(); ++i) {
    TnxBaseFile* file = table->Files(i);
    vctiFiles.push_back(file);
    if (file) total += file->UsedBlocks();
  }
  stiStatus.tsTotalRecs = total;
}

TnxServerVerifyChecksumTaskInfo::~TnxServerVerifyChecksumTaskInfo() { freeCursorAndDatabase(vctiCursor); }

void TnxServerVerifyChecksumTaskInfo::Execute() {
  TnxServerTaskRun run(this);
  TnxWord32 count = 0;
  TnxResult error = 0;
  nxEnterTimeoutNesting();
  struct LeaveNesting {
    ~LeaveNesting() { nxLeaveTimeoutNesting(); }
  } leave;
  nxSetTimeout(kVerifyDeadlineMs, true);
  try {
    for (TnxBaseFile* file : vctiFiles) {
      if (!file) continue;
      error = vctiVerifyFile(file, count);
      if (error != 0 || Cancelled()) break;
      MakeSnapshot(count, count, error);
    }
  } catch (...) {
    error = asoConvertException(std::current_exception());
  }
  MakeSnapshot(count, count, error);
}

TnxResult TnxServerVerifyChecksumTaskInfo::vctiVerifyFile(TnxBaseFile* aFile, TnxWord32& aCount) {
  const TnxWord32 used = aFile->UsedBlocks();
  std::vector<std::uint8_t> checksum(aFile->CheckSumSize(), 0);
  if (checksum.empty() || (aFile->CheckSumVerified() && !vctiForceRecheck)) {
    aCount += used;
    return 0;
  }
  struct Walk {
    TnxBaseFile* file;
    TnxBaseEncryptionEngine* engine;
    std::vector<std::uint8_t>* checksum;
    TnxWord32 used;
    bool unreadable = false;
  } walk{aFile, aFile->EncryptionEngine(), &checksum, used};
  TnxResult error = 0;
  try {
    if (vctiRaw) {
      TnxBlockIterator iterator;
      iterator.Object = &walk;
      iterator.Code = [](void* aObject, void*, TnxBlockNumber aBlockNr, PnxBlock aBlock) {
        auto& w = *static_cast<Walk*>(aObject);
        if (aBlockNr >= w.used) return birStop;
        if (aBlockNr == 0) return birContinue;
        if (!aBlock) {
          w.unreadable = true;
          return birStop;
        }
        w.engine->beeAddChecksumForBlock(static_cast<const std::uint8_t*>(static_cast<const void*>(aBlock)),
                                         w.file->BlockBytes(), aBlockNr, *w.checksum);
        return birContinue;
      };
      aFile->IterateBlocksRaw(nullptr, iterator);
    } else {
      TnxBlockCookieIterator iterator;
      iterator.Object = &walk;
      iterator.Code = [](void* aObject, void*, TnxBlockNumber aBlockNr, const std::vector<std::uint8_t>& aCookie,
                         PnxBlock aBlock) {
        auto& w = *static_cast<Walk*>(aObject);
        if (aBlockNr >= w.used) return birStop;
        if (aBlockNr == 0) return birContinue;
        if (!aBlock) {
          w.unreadable = true;
          return birStop;
        }
        w.engine->beeAddChecksumForCookie(aCookie, aBlockNr, *w.checksum);
        return birContinue;
      };
      aFile->IterateBlockCookies(nullptr, iterator);
    }
  } catch (...) {
    error = asoConvertException(std::current_exception());
  }
  aCount += used;
  // A block that cannot be read cannot match the stored checksum.
  if (error == 0 && walk.unreadable) error = kCorruptHeader;
  if (error == 0) {
    const bool equal = checksum == aFile->Checksum();
    aFile->SetCheckSumVerified(equal);
    if (!equal) error = kCorruptHeader;
  }
  return error;
}

// ---- Task thread -----------------------------------------------------------------

TnxServerTaskThread::TnxServerTaskThread(TnxServerTaskInfo* aTaskInfo)
    : TnxInitThread(aTaskInfo->ThreadPriority()), sttTaskInfo(aTaskInfo) {}

void TnxServerTaskThread::DoBeforeExecute() { sttTaskInfo->Init(); }

void TnxServerTaskThread::InnerExecute() {
  nxSetTimeout(0, false);
  nxEnterTimeoutNesting();
  struct LeaveNesting {
    ~LeaveNesting() { nxLeaveTimeoutNesting(); }
  } leave;
  // After Execute the task information may be gone already.
  std::exchange(sttTaskInfo, nullptr)->Execute();
}

void TnxServerTaskThread::DoAfterExecute() {
  TnxInitThread::DoAfterExecute();
  sttEnded.store(true, std::memory_order_release);
}

// ---- The engine's task threads ---------------------------------------------------

void TnxServerEngine::seAddTaskThread(TnxServerTaskThread* aThread) {
  TnxPadlockGuard guard(*seTaskThreadsPadlock);
  seTaskThreads.push_back(aThread);
}

void TnxServerEngine::seFreeTaskThreads(bool aAll) {
  if (!seTaskThreadsPadlock) return;
  std::vector<TnxServerTaskThread*> gone;
  {
    TnxPadlockGuard guard(*seTaskThreadsPadlock);
    auto keep = std::partition(seTaskThreads.begin(), seTaskThreads.end(),
                               [aAll](TnxServerTaskThread* aThread) { return !aAll && !aThread->Ended(); });
    gone.assign(keep, seTaskThreads.end());
    seTaskThreads.erase(keep, seTaskThreads.end());
  }
  // Outside the padlock: freeing joins the thread.
  for (TnxServerTaskThread* thread : gone) platform::TObject::free(thread);
}

std::int32_t TnxServerEngine::TaskThreadCount() const {
  TnxPadlockGuard guard(*seTaskThreadsPadlock);
  return static_cast<std::int32_t>(seTaskThreads.size());
}
