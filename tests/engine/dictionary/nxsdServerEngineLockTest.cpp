// Session lock, guarded call, time-out hooks, fatal latch and session
// statistics, with hooks that stand in for the storage layer's deadline
// routines and record what the lock does with them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "nxllBde.h"
#include "nxllException.h"
#include "nxsdServerEngine.h"
#include "plOs.h"
#include "plString.h"
#include "nxExpectCode.h"
#include "nxFakeServerEngine.h"
#include "nxTestWatchdog.h"

namespace {

// ---- Recording hooks ------------------------------------------------------------

thread_local std::atomic<bool> tCancelFlag{false};
std::atomic<int> gCancelFlagFetches{0};
std::vector<std::string> gHookTrace;  // the main thread's hook calls
std::atomic<bool> gTraceOn{false};
std::atomic<std::uint32_t> gTraceThread{0};

void trace(const std::string& aText) {
  if (gTraceOn && platform::currentThreadId() == gTraceThread) gHookTrace.push_back(aText);
}

bool recordSetTimeout(TnxWord32 aTimeout, bool aForce) {
  trace("timeout " + std::to_string(aTimeout) + (aForce ? " force" : ""));
  return true;
}
void recordEnterNesting() { trace("enter"); }
void recordLeaveNesting() { trace("leave"); }
std::atomic<bool>* recordCancelFlag() {
  ++gCancelFlagFetches;
  return &tCancelFlag;
}

void installRecordingHooks() {
  nxSetTimeoutHook = &recordSetTimeout;
  nxEnterTimeoutNestingHook = &recordEnterNesting;
  nxLeaveTimeoutNestingHook = &recordLeaveNesting;
  nxGetThreadCancelFlagHook = &recordCancelFlag;
}

nxString pendingMessage(TnxResult aCode) { return EnxBaseException(aCode).Message(); }

struct Cleanup {
  std::atomic<int> runs{0};
  std::atomic<std::uint32_t> thread{0};
  void Run(platform::TObject*) {
    ++runs;
    thread = platform::currentThreadId();
  }
};

class SessionLock : public ::testing::Test {
 protected:
  void SetUp() override {
    installRecordingHooks();
    gCancelFlagFetches = 0;
    gHookTrace.clear();
    gTraceThread = platform::currentThreadId();
    tCancelFlag = false;
    engine = platform::create<TnxFakeServerEngine>();
    session = platform::create<TnxFakeSession>(engine);
    stats = platform::create<TnxSessionStats>(u"learner", u"test");
    lockObject = platform::create<TnxSimpleLock>(TnxFailedCleanupEvent::Of<&Cleanup::Run>(&cleanup), stats);
    lock = TnxIntfPtr<InxSimpleLock>(static_cast<InxSimpleLock*>(lockObject));
    object = platform::create<TnxFakeTimeoutObject>(session, lock.get(), 5000);
  }
  void TearDown() override {
    gTraceOn = false;
    TnxAbstractServerObject::Free(object);
    lock.reset();
    TnxAbstractServerObject::Free(session);
    platform::TObject::free(engine);
    nxResetTimeoutHooks();
    nxFatalError = false;
  }

  // Runs aBody on another thread and waits for it.
  template <class F>
  static void onOtherThread(F&& aBody) {
    std::thread t(std::forward<F>(aBody));
    t.join();
  }

  Cleanup cleanup;
  TnxFakeServerEngine* engine = nullptr;
  TnxFakeSession* session = nullptr;
  TnxSessionStats* stats = nullptr;  // the process-wide list keeps it
  TnxSimpleLock* lockObject = nullptr;
  TnxIntfPtr<InxSimpleLock> lock;
  TnxFakeTimeoutObject* object = nullptr;
};

// ---- Exclusion ------------------------------------------------------------------

TEST_F(SessionLock, SecondThreadIsRefusedAtOnce) {
  nxtest::Watchdog watchdog;
  lock->Lock();
  onOtherThread([&] {
    const auto start = std::chrono::steady_clock::now();
    nxtest::expectCode([&] { lock->Lock(); }, nxErrReentered);
    // Through a public operation of an object of the same session too.
    nxtest::expectCode([&] { object->Call([] { return 0; }); }, nxErrReentered);
    nxtest::expectCode([&] { object->OptionSet(u"a", u"b"); }, nxErrReentered);
    // Not waiting for the holder: well under the time the holder keeps it.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    TnxResult result = 0;
    nxtest::expectCode([&] { lock->Unlock(result); }, nxErrReentered);
  });
  EXPECT_EQ(lockObject->LockCountOfCurrentThread(), 1);
  TnxResult result = 0;
  lock->Unlock(result);
  EXPECT_EQ(result, 0);
  // Free again: the other thread gets in.
  onOtherThread([&] { EXPECT_EQ(object->Call([] { return 0; }), 0); });
}

TEST_F(SessionLock, ManyThreadsNeverShareTheLock) {
  nxtest::Watchdog watchdog;
  std::atomic<int> inside{0}, overlaps{0}, entered{0}, refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        try {
          object->Call([&] {
            if (inside.fetch_add(1) != 0) ++overlaps;
            inside.fetch_sub(1);
            return 0;
          });
          ++entered;
        } catch (const EnxBaseException& e) {
          EXPECT_EQ(e.ErrorCode(), nxErrReentered);
          ++refused;
        }
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(overlaps, 0);
  EXPECT_EQ(entered + refused, 8 * 2000);
  EXPECT_GT(entered, 0);
  EXPECT_EQ(lockObject->LockCountOfCurrentThread(), 0);
  EXPECT_EQ(stats->Update()[sscCalls], entered.load());
}

TEST_F(SessionLock, ReentryTouchesStatisticsAndCancelFlagOnce) {
  tCancelFlag = true;  // the thread's own value, kept across the call
  lock->Lock();
  EXPECT_FALSE(tCancelFlag);  // the lock's (not failed) state while held
  lock->Lock();
  lock->Lock();
  EXPECT_EQ(gCancelFlagFetches, 1);
  EXPECT_EQ(TnxSessionStats::Current(), stats);
  EXPECT_EQ(lockObject->LockCountOfCurrentThread(), 3);
  TnxResult result = 0;
  lock->Unlock(result);
  lock->Unlock(result);
  EXPECT_EQ(TnxSessionStats::Current(), stats);
  EXPECT_FALSE(tCancelFlag);
  lock->Unlock(result);
  EXPECT_EQ(TnxSessionStats::Current(), nullptr);
  EXPECT_TRUE(tCancelFlag);
  EXPECT_EQ(stats->Update()[sscCalls], 1);
}

// ---- Cancelling -------------------------------------------------------------------

TEST_F(SessionLock, FailedDuringACallCancelsItOnce) {
  nxtest::Watchdog watchdog;
  bool flagSeen = false;
  const TnxResult result = object->Call([&] {
    onOtherThread([&] { lock->Failed(false, false); });
    // The storage layer's next time-out check sees this.
    flagSeen = tCancelFlag;
    return 0;
  });
  EXPECT_TRUE(flagSeen);
  EXPECT_EQ(result, nxErrTimeout);
  EXPECT_EQ(platform::toUtf8(pendingMessage(nxErrTimeout)),
            "DazavAV: Processing cancelled. Operation may have partially or fully succeeded [$3C65/15461]");
  EXPECT_FALSE(tCancelFlag);
  // A failing call keeps its own code; the next call runs normally.
  EXPECT_EQ(object->Call([] { return 0; }), 0);
  const TnxResult failing = object->Call([&] {
    lock->Failed(false, false);
    return nxErrObjectNotFound;
  });
  EXPECT_EQ(failing, nxErrObjectNotFound);
  EXPECT_EQ(object->Call([] { return 0; }), 0);
}

TEST_F(SessionLock, FailedWhenIdleRefusesTheNextCallOnce) {
  lock->Failed(false, false);
  nxtest::expectCode([&] { object->Call([] { return 0; }); }, nxErrTimeout, u"Processing cancelled [");
  EXPECT_EQ(object->Call([] { return 0; }), 0);
  EXPECT_EQ(cleanup.runs, 0);
  EXPECT_EQ(stats->Update()[sscCalls], 1);
}

TEST_F(SessionLock, PermanentFailureWhenIdleRunsTheCleanupAtOnceAndWaits) {
  nxtest::Watchdog watchdog;
  std::thread signaller;
  std::atomic<bool> signalled{false};
  struct Signalling {
    InxSimpleLock* lock = nullptr;
    std::thread* signaller;
    std::atomic<bool>* signalled;
    int runs = 0;
    void Run(platform::TObject* aSender) {
      ++runs;
      EXPECT_EQ(static_cast<InxSimpleLock*>(static_cast<TnxSimpleLock*>(aSender)), lock);
      *signaller = std::thread([this] {
        platform::sleepMs(50);
        *signalled = true;
        lock->SetFailedCleanupDone();
      });
    }
  } signalling{nullptr, &signaller, &signalled};
  auto* failing = platform::create<TnxSimpleLock>(TnxFailedCleanupEvent::Of<&Signalling::Run>(&signalling), nullptr);
  TnxIntfPtr<InxSimpleLock> failingLock(static_cast<InxSimpleLock*>(failing));
  signalling.lock = failingLock.get();
  failingLock->Failed(true, true);
  EXPECT_TRUE(signalled);  // returned only after the signal
  EXPECT_EQ(signalling.runs, 1);
  failingLock->Failed(true, false);
  failingLock->Failed(false, false);
  EXPECT_EQ(signalling.runs, 1);
  EXPECT_TRUE(failingLock->IsFailedPermanent());
  nxtest::expectCode([&] { failingLock->Lock(); }, nxErrInvalidHandle,
                     u"This session has been marked as permanently failed");
  signaller.join();
}

TEST_F(SessionLock, PermanentFailureDuringACallRunsTheCleanupAtTheFinalUnlock) {
  nxtest::Watchdog watchdog;
  lock->Lock();
  lock->Lock();
  onOtherThread([&] { lock->Failed(true, false); });
  EXPECT_TRUE(tCancelFlag);
  EXPECT_EQ(cleanup.runs, 0);
  TnxResult result = 0;
  lock->Unlock(result);
  EXPECT_EQ(cleanup.runs, 0);
  lock->Unlock(result);
  EXPECT_EQ(cleanup.runs, 1);
  EXPECT_EQ(cleanup.thread, platform::currentThreadId());
  EXPECT_EQ(result, 0);  // a permanent failure does not rewrite the result
  nxtest::expectCode([&] { object->Call([] { return 0; }); }, nxErrInvalidHandle,
                     u"This session has been marked as permanently failed");
  lock->Failed(true, false);
  EXPECT_EQ(cleanup.runs, 1);
}

TEST_F(SessionLock, PermanentFailureRacingWithEntriesRunsTheCleanupExactlyOnce) {
  nxtest::Watchdog watchdog;
  for (int round = 0; round < 50; ++round) {
    Cleanup counted;
    auto* raced = platform::create<TnxSimpleLock>(TnxFailedCleanupEvent::Of<&Cleanup::Run>(&counted), nullptr);
    TnxIntfPtr<InxSimpleLock> racedLock(static_cast<InxSimpleLock*>(raced));
    std::latch start(5);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&] {
        start.arrive_and_wait();
        for (int i = 0; i < 50; ++i) {
          try {
            racedLock->Lock();
            TnxResult result = 0;
            racedLock->Unlock(result);
          } catch (const EnxBaseException&) {
          }
        }
      });
    start.arrive_and_wait();
    racedLock->Failed(true, false);
    for (auto& t : threads) t.join();
    EXPECT_EQ(counted.runs, 1) << "round " << round;
    EXPECT_EQ(raced->LockCountOfCurrentThread(), 0);
  }
}

// ---- Fatal latch and hooks ------------------------------------------------------

TEST_F(SessionLock, FatalLatchRefusesEveryCall) {
  nxFatalError = true;
  nxtest::expectCode([&] { object->Call([] { return 0; }); }, nxErrTransactionCorrupt,
                     u"A fatal error has occurred. Server operations are suspended until the server is restarted. "
                     u"Check exception log at server for further information");
  EXPECT_EQ(lockObject->LockCountOfCurrentThread(), 0);
  nxFatalError = false;
  EXPECT_EQ(object->Call([] { return 0; }), 0);
}

TEST_F(SessionLock, GuardedCallOrderAndConversion) {
  gTraceOn = true;
  const TnxResult result = object->Call([&] {
    trace("work");
    EXPECT_EQ(lockObject->LockCountOfCurrentThread(), 1);
    return 0;
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(gHookTrace, (std::vector<std::string>{"timeout 5000", "enter", "work", "leave"}));
  // An exception of the work becomes the result; the lock is free afterwards.
  gHookTrace.clear();
  object->SetTimeout(0);
  const TnxResult failed = object->Call([&]() -> TnxResult {
    trace("work");
    throw EnxBaseException(nxErrInvalidTableName, u"no such thing");
  });
  EXPECT_EQ(failed, nxErrInvalidTableName);
  EXPECT_EQ(gHookTrace, (std::vector<std::string>{"timeout 0", "enter", "work", "leave"}));
  EXPECT_EQ(lockObject->LockCountOfCurrentThread(), 0);
  // A refused lock raises before the nesting is entered.
  gHookTrace.clear();
  lock->Failed(false, false);
  nxtest::expectCode([&] { object->Call([] { return 0; }); }, nxErrTimeout);
  EXPECT_EQ(gHookTrace, (std::vector<std::string>{"timeout 0"}));
}

TEST_F(SessionLock, DefaultHooksSetNoDeadlineAndHandOutNoFlag) {
  nxResetTimeoutHooks();
  EXPECT_EQ(nxGetThreadCancelFlagHook.load()(), nullptr);
  EXPECT_EQ(nxSetTimeoutHook.load(), &nxDefaultSetTimeoutHook);
  EXPECT_EQ(nxEnterTimeoutNestingHook.load(), &nxDefaultTimeoutNestingHook);
  EXPECT_EQ(nxLeaveTimeoutNestingHook.load(), &nxDefaultTimeoutNestingHook);
  tCancelFlag = false;
  // Without a flag a cancel still reaches the result at the unlock.
  const TnxResult result = object->Call([&] {
    onOtherThread([&] { lock->Failed(false, false); });
    return 0;
  });
  EXPECT_EQ(result, nxErrTimeout);
  EXPECT_FALSE(tCancelFlag);
  EXPECT_EQ(gCancelFlagFetches, 0);
}

// ---- Time-out object operations -------------------------------------------------

TEST_F(SessionLock, CloseRunsUnderTheLock) {
  nxtest::Watchdog watchdog;
  auto* other = platform::create<TnxFakeTimeoutObject>(session, lock.get(), 0);
  lock->Lock();
  onOtherThread([&] { EXPECT_EQ(TnxAbstractServerObject::Close(other), nxErrReentered); });
  EXPECT_FALSE(other->Destroying());
  TnxResult result = 0;
  lock->Unlock(result);
  EXPECT_EQ(TnxAbstractServerObject::Close(other), 0);
  EXPECT_EQ(lockObject->LockCountOfCurrentThread(), 0);
  EXPECT_EQ(TnxAbstractServerObject::Close(nullptr), 0);
}

TEST_F(SessionLock, ObjectClosedInsideItsOwnCallIsReleasedAfterTheUnlock) {
  auto* other = platform::create<TnxFakeTimeoutObject>(session, lock.get(), 0);
  bool flag = false;
  other->SetDestroyFlag(&flag);
  const TnxResult result = other->Call([&] {
    EXPECT_EQ(TnxAbstractServerObject::Close(other), 0);
    EXPECT_TRUE(flag);
    EXPECT_EQ(TnxAbstractServerObject::Close(other), nxErrReentered);
    return 0;
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(lockObject->LockCountOfCurrentThread(), 0);
}

TEST_F(SessionLock, OptionOperationsAndLastLocked) {
  EXPECT_EQ(object->OptionSet(u"Mode", u"fast"), 0);
  nxString value;
  EXPECT_EQ(object->OptionGet(u"Mode", value), 0);
  EXPECT_EQ(platform::toUtf8(value), "fast");
  EXPECT_EQ(object->OptionGetEffective(u"Missing", value), nxErrObjectNotFound);
  EXPECT_TRUE(value.empty());
  EXPECT_EQ(stats->Update()[sscCalls], 3);  // option operations are calls too
  const std::uint64_t before = platform::tickCount64();
  EXPECT_GE(object->LastLocked(), before - 1000);
  EXPECT_LE(object->LastLocked(), before);
  lock->Lock();
  platform::sleepMs(20);
  EXPECT_GE(object->LastLocked(), before + 5);  // now (at tick resolution), while held
  TnxResult result = 0;
  lock->Unlock(result);
  EXPECT_EQ(object->atoSessionRequest(7), 0);
  EXPECT_EQ(object->BeginTimeoutBatch(), -1);
  EXPECT_EQ(object->EndTimeoutBatch(), -1);
}

// ---- Statistics -------------------------------------------------------------------

TEST(SessionStats, CountOutsideACallChangesNothing) {
  auto* stats = platform::create<TnxSessionStats>(u"u", u"here");
  const TnxSessionStatsCounters before = stats->Update();
  TnxSessionStats::Count(sscBlocksRead, 5);
  EXPECT_EQ(stats->Update(), before);
  stats->CallStarted();
  TnxSessionStats::Count(sscBlocksRead, 5);
  TnxSessionStats::Count(sscStatements, 1);
  stats->CallEnded();
  TnxSessionStats::Count(sscBlocksRead, 5);
  const TnxSessionStatsCounters after = stats->Update();
  EXPECT_EQ(after[sscBlocksRead], 5);
  EXPECT_EQ(after[sscStatements], 1);
  EXPECT_EQ(after[sscCalls], 1);
  EXPECT_EQ(TnxSessionStats::Current(), nullptr);
}

TEST(SessionStats, UpdateDuringACallIncludesTheTimeSoFarAndTheEndAddsTheRest) {
  nxtest::Watchdog watchdog;
  auto* stats = platform::create<TnxSessionStats>(u"u", u"here");
  stats->CallStarted();
  platform::sleepMs(40);
  // A reader on another thread, as a monitoring tool would be.
  TnxSessionStatsCounters during{};
  const auto beforeRead = std::chrono::steady_clock::now();
  std::thread([&] { during = stats->Update(); }).join();
  const auto afterRead = std::chrono::steady_clock::now();
  EXPECT_GE(during[sscTime], 40);
  EXPECT_EQ(stats->CurrentThread(), platform::currentThreadId());
  // Spend 30 ms of CPU time inside the call.
  const std::uint64_t cpuStart = platform::threadCpuTimeNs();
  while (platform::threadCpuTimeNs() - cpuStart < 30'000'000 ||
         std::chrono::steady_clock::now() - afterRead < std::chrono::milliseconds(30)) {
  }
  stats->CallEnded();
  const auto end = std::chrono::steady_clock::now();
  const auto sinceRead = std::chrono::duration_cast<std::chrono::milliseconds>(end - beforeRead).count();
  const TnxSessionStatsCounters after = stats->Update();
  EXPECT_GE(after[sscTime], during[sscTime] + 30 - 1);
  EXPECT_LE(after[sscTime], during[sscTime] + sinceRead + 1);  // the first part is not counted twice
  EXPECT_GE(after[sscCycles] - during[sscCycles], 30'000'000);  // CPU nanoseconds of the busy part
  EXPECT_EQ(stats->CurrentThread(), 0u);
  EXPECT_EQ(stats->Update(), after);  // nothing runs any more
}

TEST(SessionStats, ListNumbersAndClose) {
  auto* first = platform::create<TnxSessionStats>(u"a", u"x");
  auto* second = platform::create<TnxSessionStats>(u"b", u"y");
  EXPECT_EQ(TnxSessionStats::Head(), second);
  EXPECT_EQ(second->Next(), first);
  EXPECT_EQ(second->SessionNumber(), first->SessionNumber() + 1);
  EXPECT_EQ(platform::toUtf8(second->UserName()), "b");
  EXPECT_EQ(platform::toUtf8(second->ConnectedFrom()), "y");
  EXPECT_GT(second->Started(), 0);
  second->CallStarted();
  second->SessionClosed();  // ends the running call
  EXPECT_EQ(TnxSessionStats::Current(), nullptr);
  EXPECT_GT(second->Closed(), 0);
  EXPECT_EQ(second->ExtClosed(), 0);
  const TnxSessionStatsCounters counters = second->Update();
  EXPECT_EQ(second->ExtClosed(), second->Closed());
  EXPECT_EQ(second->ExtCounters(), counters);
  // Closed: calls are no longer counted.
  second->CallStarted();
  second->CallEnded();
  EXPECT_EQ(second->Update()[sscCalls], 1);
}

TEST(SessionStats, TheLockClosesItsStatistics) {
  auto* stats = platform::create<TnxSessionStats>(u"u", u"here");
  {
    TnxIntfPtr<InxSimpleLock> lock(
        static_cast<InxSimpleLock*>(platform::create<TnxSimpleLock>(TnxFailedCleanupEvent(), stats)));
    lock->Lock();
    TnxResult result = 0;
    lock->Unlock(result);
    EXPECT_EQ(stats->Closed(), 0);
  }
  EXPECT_GT(stats->Closed(), 0);
  EXPECT_EQ(stats->Update()[sscCalls], 1);
}

}  // namespace
