#include "nxseSortEngineMerge.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "nxllLockedFuncs.h"
#include "nxllMemoryManager.h"
#include "nxsdKeyEngineBase.h"
#include "nxsdServerEngineStatement.h"
#include "nxsrTimeoutHandling.h"

NX_IMPLEMENT_EXCEPTION(EnxMergeSortEngineException, EnxBaseSortEngineException)

PL_CLASS_INFO_IMPL_TABLE(TnxMergeSortEngine, TnxBaseSortEngine, "TnxMergeSortEngine", nullptr,
                         platform::bindClassTable(nxSortEngineFuncs<TnxMergeSortEngine>))

namespace {

constexpr std::uint32_t kPassCheckEvery = 1000;
constexpr std::uint32_t kPartitionCheckEvery = 100;

// Frees a block of the engine's memory manager when the scope ends.
struct TnxMemBlock {
  explicit TnxMemBlock(std::size_t aSize) : data(static_cast<std::uint8_t*>(nxGetMem(aSize))) {}
  ~TnxMemBlock() { nxFreeMem(data); }
  TnxMemBlock(const TnxMemBlock&) = delete;
  TnxMemBlock& operator=(const TnxMemBlock&) = delete;
  std::uint8_t* data;
};

// One transaction level around the writes of a run: without it every
// insert starts and commits a transaction of its own. Rolled back unless
// committed.
class TnxRunTransaction {
 public:
  explicit TnxRunTransaction(TnxAbstractDatabase* aDB) : db_(aDB) {}
  ~TnxRunTransaction() { Rollback(); }
  TnxRunTransaction(const TnxRunTransaction&) = delete;
  TnxRunTransaction& operator=(const TnxRunTransaction&) = delete;
  // Inside a transaction of the caller the writes join it, as single
  // inserts would.
  TnxResult Start() {
    std::int32_t level = 0;
    if (db_->TransactionGetLevel(level) == 0) return 0;
    const TnxResult result = db_->TransactionStart(false, false);
    started_ = result == 0;
    return result;
  }
  TnxResult Commit() {
    if (!started_) return 0;
    started_ = false;
    const TnxResult result = db_->TransactionCommit();
    // A failed commit leaves the level for the rollback.
    if (result != 0) started_ = true;
    return result;
  }
  void Rollback() noexcept {
    if (!started_) return;
    started_ = false;
    try {
      db_->TransactionRollback();
    } catch (...) {
    }
  }

 private:
  TnxAbstractDatabase* db_;
  bool started_ = false;
};

}  // namespace

TnxMergeSortEngine::TnxMergeSortEngine(TnxAbstractDatabase* aDB, TnxDataDictionary* aDict,
                                       TnxIndexDescriptor* aIndexDesc)
    : TnxBaseSortEngine(aDB, aDict, aIndexDesc) {
  nxAssert(platform::objectAs<TnxSqlAbstractDatabase>(aDB) != nullptr, "The sorter's database makes no result sets");
  msMaxRecCount = msBufferSize / bsRecLenBuf;
  try {
    msBuffer = static_cast<std::uint8_t*>(nxGetMem(msBufferSize));
    msRecBuffer = static_cast<std::uint8_t*>(nxGetMem(bsRecLenBuf));
    msBufferRefs = static_cast<std::uint32_t*>(nxGetMem(std::size_t(msMaxRecCount) * sizeof(std::uint32_t)));
    for (TnxMergeRun& run : msMergeCursor) run.record = static_cast<std::uint8_t*>(nxGetMem(bsRecLenBuf));
  } catch (...) {
    for (TnxMergeRun& run : msMergeCursor) nxFreeMem(run.record);
    nxFreeMem(msBufferRefs);
    nxFreeMem(msRecBuffer);
    nxFreeMem(msBuffer);
    throw;
  }
}

TnxMergeSortEngine::~TnxMergeSortEngine() {
  msMergeCursorCount = 0;
  for (TnxSqlAbstractCursor* cursor : msCursorList) msFreeRun(cursor);
  msCursorList.clear();
  msFreeExhausted();
  for (TnxMergeRun& run : msMergeCursor) nxFreeMem(run.record);
  nxFreeMem(msBufferRefs);
  nxFreeMem(msRecBuffer);
  nxFreeMem(msBuffer);
}

int TnxMergeSortEngine::msCompare(const void* aRecord1, const void* aRecord2) const {
  return bsKeyEngine->CompareRecord(aRecord1, aRecord2);
}

// ---- Putting --------------------------------------------------------------------------------

TnxResult TnxMergeSortEngine::Put(PnxRecordBuffer aRecord) {
  nxAssert(msState != nxspGetting, "Put after the sorter started reading");
  msState = nxspPutting;
  if (msRecCount == msMaxRecCount) {
    msSortBuffer();
    const TnxResult result = msSpill();
    if (result != 0) return result;
    msBufferOffset = 0;
  }
  std::memcpy(msBuffer + msBufferOffset, aRecord, bsRecLen);
  msBufferOffset += bsRecLenBuf;
  ++msRecCount;
  ++msTotalCount;
  return 0;
}

void TnxMergeSortEngine::msSortBuffer() {
  if (msRecCount == 0) return;
  for (std::uint32_t i = 0; i < msRecCount; ++i) msBufferRefs[i] = i;
  // Signed bounds: a scan may step one below the part's low end.
  struct Part {
    std::int64_t lo, hi;
  } stack[32];
  int depth = 0;
  stack[depth++] = {0, std::int64_t(msRecCount) - 1};
  std::uint32_t* refs = msBufferRefs;
  const auto rec = [&](std::int64_t aEntry) { return msBuffer + std::size_t(refs[aEntry]) * bsRecLenBuf; };
  const auto less = [&](std::int64_t a, std::int64_t b) { return msCompare(rec(a), rec(b)) < 0; };
  while (depth > 0) {
    auto [lo, hi] = stack[--depth];
    while (lo < hi) {
      const std::int64_t mid = lo + ((hi - lo + 1) >> 1);
      std::int64_t pivotPos = mid;
      std::int64_t i = lo;
      std::int64_t j = hi;
      if (hi - lo + 1 > 15) {
        // Median of three; lo and hi then bound the scans.
        if (less(mid, lo)) std::swap(refs[mid], refs[lo]);
        if (less(hi, lo)) std::swap(refs[hi], refs[lo]);
        if (less(hi, mid)) std::swap(refs[hi], refs[mid]);
        std::swap(refs[mid], refs[hi - 1]);
        pivotPos = hi - 1;
        i = lo + 1;
        j = hi - 2;
      }
      // The pivot is held by its slot: swaps of entries leave it alone.
      const std::uint8_t* pivot = rec(pivotPos);
      std::uint32_t repetitions = 0;
      do {
        while (msCompare(rec(i), pivot) < 0) ++i;
        while (msCompare(pivot, rec(j)) < 0) --j;
        if (i < j) {
          std::swap(refs[i], refs[j]);
          ++i;
          --j;
        } else if (i == j) {
          ++i;
          --j;
        }
        if (++repetitions % kPartitionCheckEvery == 0) nxCheckTimeout();
      } while (j >= i);
      // Push the larger part, go on with the smaller: the stack stays shallow.
      if (j - lo < hi - i) {
        if (hi - i > 0) stack[depth++] = {i, hi};
        hi = j;
      } else {
        if (j - lo > 0) stack[depth++] = {lo, j};
        lo = i;
      }
    }
  }
}

TnxSqlAbstractCursor* TnxMergeSortEngine::msCreateRunCursor() {
  auto* db = static_cast<TnxSqlAbstractDatabase*>(bsDB);
  TnxSqlAbstractCursor* cursor = db->sadCreateResultSet(bsDictNoIdx, std::uint32_t(nxRemainingTimeout()));
  if (!cursor) throw EnxMergeSortEngineException(nxErrNotSupported);
  return cursor;
}

void TnxMergeSortEngine::msFreeRun(TnxSqlAbstractCursor* aCursor) noexcept {
  TnxAbstractServerObject::Free(aCursor);
}

void TnxMergeSortEngine::msFreeExhausted() noexcept {
  for (TnxSqlAbstractCursor* cursor : msExhausted) msFreeRun(cursor);
  msExhausted.clear();
}

TnxResult TnxMergeSortEngine::msSpill() {
  TnxSqlAbstractCursor* cursor = msCreateRunCursor();
  TnxResult result = 0;
  try {
    TnxRunTransaction trans(bsDB);
    result = trans.Start();
    for (std::uint32_t i = 0; result == 0 && i < msRecCount; ++i)
      result = cursor->RecordInsert(nxltNoLock, msSlot(i), nullptr);
    if (result == 0) result = trans.Commit();
  } catch (...) {
    msFreeRun(cursor);
    throw;
  }
  if (result != 0) {
    msFreeRun(cursor);
    return result;
  }
  msCursorList.push_back(cursor);
  msRecCount = 0;
  return 0;
}

// ---- Merging --------------------------------------------------------------------------------

TnxResult TnxMergeSortEngine::msStartGetting() {
  if (msState == nxspGetting) return 0;
  msRunIndex = msRecCount;
  msState = nxspGetting;
  if (msTotalCount == 0) return nxErrEOF;
  msSortBuffer();
  if (msCursorList.empty()) {
    msRunIndex = 0;
    return 0;
  }
  if (const TnxResult result = msSpill(); result != 0) return result;
  msRunIndex = 0;
  while (msCursorList.size() > std::size_t(msMergeWidth)) {
    msOpenMerge();
    msOutputCursor = msCreateRunCursor();
    msCursorList.push_back(msOutputCursor);
    std::uint32_t written = 0;
    // Committed every in-memory run's worth of records: a pass's changes
    // never pile up in one transaction.
    // A run table read in the open level cannot go before the level ends:
    // exhausted runs are freed after each commit.
    TnxRunTransaction trans(bsDB);
    msDeferFree = true;
    struct EndDefer {
      TnxMergeSortEngine* engine;
      ~EndDefer() {
        engine->msDeferFree = false;
      }
    } endDefer{this};
    while (msMergeNext(msRecBuffer)) {
      if (written % kPassCheckEvery == 0) nxCheckTimeout();
      if (written % msMaxRecCount == 0) {
        TnxResult result = trans.Commit();
        msFreeExhausted();
        if (result == 0) result = trans.Start();
        if (result != 0) throw EnxMergeSortEngineException(result);
      }
      ++written;
      const TnxResult result = msOutputCursor->RecordInsert(nxltNoLock, msRecBuffer, nullptr);
      if (result != 0) throw EnxMergeSortEngineException(result);
    }
    if (const TnxResult result = trans.Commit(); result != 0) throw EnxMergeSortEngineException(result);
    msFreeExhausted();
    msOutputCursor = nullptr;
  }
  msOpenMerge();
  return 0;
}

void TnxMergeSortEngine::msOpenMerge() {
  msMergeCursorCount = 0;
  // Runs that are empty from the start leave at once; the copy keeps the
  // walk independent of the list.
  std::vector<TnxSqlAbstractCursor*> runs(msCursorList.begin(),
                                          msCursorList.begin() + std::min<std::ptrdiff_t>(msMergeWidth,
                                                                                          msCursorList.size()));
  for (TnxSqlAbstractCursor* cursor : runs) {
    TnxMergeRun& run = msMergeCursor[msMergeCursorCount];
    run.cursor = cursor;
    ++msMergeCursorCount;
    TnxResult result = cursor->SetToBegin();
    if (result == 0) result = cursor->RecordGetNext(nxltNoLock, run.record);
    if (result == nxErrEOF) {
      --msMergeCursorCount;
      std::erase(msCursorList, cursor);
      msFreeRun(cursor);
    } else if (result != 0) {
      throw EnxMergeSortEngineException(result);
    }
  }
}

int TnxMergeSortEngine::msMergeWinner() const {
  if (msMergeCursorCount == 0) return -1;
  int winner = 0;
  // Only a strictly smaller record displaces the candidate.
  for (int i = 1; i < msMergeCursorCount; ++i)
    if (msCompare(msMergeCursor[i].record, msMergeCursor[winner].record) < 0) winner = i;
  return winner;
}

void TnxMergeSortEngine::msMergeAdvance(int aPos) {
  TnxMergeRun& run = msMergeCursor[aPos];
  const TnxResult result = run.cursor->RecordGetNext(nxltNoLock, run.record);
  if (result == 0) return;
  if (result != nxErrEOF) throw EnxMergeSortEngineException(result);
  TnxSqlAbstractCursor* exhausted = run.cursor;
  // The last position moves into the gap; the buffers swap with it.
  TnxMergeRun& last = msMergeCursor[msMergeCursorCount - 1];
  std::swap(run, last);
  last.cursor = nullptr;
  --msMergeCursorCount;
  std::erase(msCursorList, exhausted);
  if (msDeferFree) {
    msExhausted.push_back(exhausted);
  } else {
    msFreeRun(exhausted);
  }
}

bool TnxMergeSortEngine::msMergeNext(void* aRecord) {
  const int winner = msMergeWinner();
  if (winner < 0) return false;
  if (aRecord) std::memcpy(aRecord, msMergeCursor[winner].record, bsRecLen);
  msMergeAdvance(winner);
  return true;
}

// ---- Reading --------------------------------------------------------------------------------

TnxResult TnxMergeSortEngine::Get(PnxRecordBuffer aRecord) {
  if (const TnxResult result = msStartGetting(); result != 0) return result;
  if (msMergeCursorCount > 0) return msMergeNext(aRecord) ? 0 : nxErrEOF;
  if (msRunIndex >= msRecCount) return nxErrEOF;
  if (aRecord) std::memcpy(aRecord, msSlot(msRunIndex), bsRecLen);
  ++msRunIndex;
  return 0;
}

bool TnxMergeSortEngine::msDeliver(PPnxRecordBuffer aData, bool aCopy, std::uint8_t* aRecord,
                                   const TnxRecordIterator& aIterator, void* aCookie) {
  if (aCopy) std::memcpy(*aData, aRecord, bsRecLen);
  else *aData = aRecord;
  return aIterator(aCookie, 0, *aData) != rirStop;
}

bool TnxMergeSortEngine::Iterate(PPnxRecordBuffer aData, bool* aKeyChanged, const TnxRecordIterator& aIterator,
                                 void* aCookie) {
  PnxRecordBuffer own = nullptr;
  PPnxRecordBuffer data = aData ? aData : &own;
  const bool copy = *data != nullptr;
  // The engine's copies must not outlive the call in the caller's pointer.
  struct Reset {
    PPnxRecordBuffer data;
    bool copy;
    ~Reset() {
      if (!copy) *data = nullptr;
    }
  } reset{data, copy};
  const TnxResult started = msStartGetting();
  if (started == nxErrEOF) return false;
  if (started != 0) throw EnxMergeSortEngineException(started);
  bool delivered = false;
  if (msMergeCursorCount == 0) {
    for (; msRunIndex < msRecCount;) {
      const std::uint32_t entry = msRunIndex++;
      std::uint8_t* record = msSlot(entry);
      if (aKeyChanged) *aKeyChanged = entry == 0 || msCompare(msSlot(entry - 1), record) != 0;
      if (!msDeliver(data, copy, record, aIterator, aCookie)) return false;
      delivered = true;
    }
    return delivered;
  }
  // Two alternating copies: the record delivered before and the new one.
  TnxMemBlock first(bsRecLenBuf);
  TnxMemBlock second(bsRecLenBuf);
  std::uint8_t* buffers[2] = {first.data, second.data};
  int current = 0;
  while (msMergeNext(buffers[current])) {
    if (aKeyChanged) *aKeyChanged = !delivered || msCompare(buffers[current ^ 1], buffers[current]) != 0;
    if (!msDeliver(data, copy, buffers[current], aIterator, aCookie)) return false;
    delivered = true;
    current ^= 1;
  }
  return delivered;
}

bool TnxMergeSortEngine::IterateSameKey(PPnxRecordBuffer aData, const TnxRecordIterator& aIterator, void* aCookie) {
  PnxRecordBuffer own = nullptr;
  PPnxRecordBuffer data = aData ? aData : &own;
  const bool copy = *data != nullptr;
  struct Reset {
    PPnxRecordBuffer data;
    bool copy;
    ~Reset() {
      if (!copy) *data = nullptr;
    }
  } reset{data, copy};
  const TnxResult started = msStartGetting();
  if (started == nxErrEOF) return false;
  if (started != 0) throw EnxMergeSortEngineException(started);
  bool delivered = false;
  if (msMergeCursorCount == 0) {
    while (msRunIndex < msRecCount) {
      std::uint8_t* record = msSlot(msRunIndex);
      // The first record of another key stays for the next read.
      if (delivered && msCompare(msSlot(msRunIndex - 1), record) != 0) break;
      ++msRunIndex;
      if (!msDeliver(data, copy, record, aIterator, aCookie)) return false;
      delivered = true;
    }
    return delivered;
  }
  // msRecBuffer keeps the record delivered last; the winner is looked at
  // before its run advances.
  for (int winner = msMergeWinner(); winner >= 0; winner = msMergeWinner()) {
    if (delivered && msCompare(msRecBuffer, msMergeCursor[winner].record) != 0) break;
    std::memcpy(msRecBuffer, msMergeCursor[winner].record, bsRecLen);
    msMergeAdvance(winner);
    if (!msDeliver(data, copy, msRecBuffer, aIterator, aCookie)) return false;
    delivered = true;
  }
  return delivered;
}

// ---- Start-up -------------------------------------------------------------------------------

namespace {
TnxUseCount gSortEngineMergeStarts{0};
}

void nxseSortEngineMergeInitialize() {
  TnxCountedStart started(gSortEngineMergeStarts);
  if (!started) return;
  const platform::ClassInfo* none = nullptr;
  nxDefaultSortEngineClass.compare_exchange_strong(none, &TnxMergeSortEngine::staticClassInfo());
}

void nxseSortEngineMergeFinalize() {
  if (!nxUseCountLeave(gSortEngineMergeStarts)) return;
  const platform::ClassInfo* ours = &TnxMergeSortEngine::staticClassInfo();
  nxDefaultSortEngineClass.compare_exchange_strong(ours, nullptr);
}
