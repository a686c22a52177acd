#include "nxsrServerTasks.h"

#include <algorithm>
#include <utility>

#include "nxllException.h"
#include "nxsrServerEngine.h"
#include "nxsrTimeoutHandling.h"
#include "plOs.h"

PL_CLASS_INFO_IMPL(TnxServerTaskInfo, TnxSqlAbstractTaskInfo, "TnxServerTaskInfo", nullptr)
PL_CLASS_INFO_IMPL(TnxServerDoNothingTaskInfo, TnxServerTaskInfo, "TnxServerDoNothingTaskInfo", nullptr)
PL_CLASS_INFO_IMPL(TnxServerTaskThread, TnxInitThread, "TnxServerTaskThread", nullptr)

namespace {

constexpr TnxResult kUpdateAborted = 13062;
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
  while (stiExecuting.load(std::memory_order_acquire)) {
    stiCancelled.store(true, std::memory_order_release);
    platform::sleepMs(kExecutingPollMs);
  }
  platform::TObject::free(std::exchange(stiPadlock, nullptr));
  platform::TObject::free(std::exchange(stiStartEvt, nullptr));
}

void TnxServerTaskInfo::PrepareDestroy() {
  TnxSqlAbstractTaskInfo::PrepareDestroy();  // cancels
  while (stiExecuting.load(std::memory_order_acquire)) {
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

TnxServerTaskRun::TnxServerTaskRun(TnxServerTaskInfo* aTaskInfo) : run_(aTaskInfo) {
  run_->stiExecuting.store(true, std::memory_order_release);
  run_->stiStartEvt->SignalEvent();
}

TnxServerTaskRun::~TnxServerTaskRun() {
  try {
    run_->MarkFinished();
  } catch (...) {
    // The flag below must be cleared whatever happens, or a free waits for ever.
  }
  run_->stiExecuting.store(false, std::memory_order_release);
}

// ---- Do-nothing task -------------------------------------------------------------

TnxServerDoNothingTaskInfo::TnxServerDoNothingTaskInfo(TnxServerSession* aSession, TnxWord32 aResult)
    : TnxServerTaskInfo(aSession, aResult) {
  MakeSnapshot(aResult, aResult, 0);
  MarkFinished();
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
