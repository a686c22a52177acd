// Task information and task threads: status arithmetic, cancel, the start
// protocol, and the waits that keep a thread from using a freed task.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "nxTestWatchdog.h"
#include "nxllException.h"
#include "nxsrServerEngineTableTestSupport.h"
#include "nxsrServerTasks.h"
#include "nxsrTimeoutHandling.h"

namespace {

using nxtest::ServerEngineFixture;
using nxtest::TickingServerEngine;

// A task whose Execute reports progress until it is cancelled or told to
// end, and records what its thread saw.
class LoopTaskInfo : public TnxServerTaskInfo {
 public:
  LoopTaskInfo(TnxServerSession* aSession, TnxWord32 aTotal) : TnxServerTaskInfo(aSession, aTotal) {}
  void Init() override { initInThread = std::this_thread::get_id(); }
  void Execute() override {
    TnxServerTaskRun run(this);
    executeInThread = std::this_thread::get_id();
    deadline = nxGetThreadDeadline();
    TnxWord32 done = 0;
    while (!stop.load()) {
      ++done;
      if (MakeSnapshot(done, done, 0)) {
        sawCancel.store(true);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    MakeSnapshot(done, done, 0);
    // The last thing before the frame clears the flag: a free that returned
    // early would let the test see this still false.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    leftExecute->store(true);
  }
  // Exposes the status counters for the percentage table.
  using TnxServerTaskInfo::MakeSnapshot;

  std::thread::id initInThread;
  std::thread::id executeInThread;
  std::int64_t deadline = 0;
  std::atomic<bool> stop{false};
  std::atomic<bool> sawCancel{false};
  std::atomic<bool>* leftExecute = nullptr;  // outlives the task
};

class ServerTasksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = fixture_.Engine<TickingServerEngine>();
    engine_->SetMaxRAM(16);
    engine_->SetTempStoreSize(0);
    engine_->SetActive(true);
    TnxAbstractSession* session = nullptr;
    ASSERT_EQ(engine_->SessionOpen(session, u"user", u"pw", u"test", 0), 0);
    session_ = static_cast<TnxServerSession*>(session);
  }
  void TearDown() override { TnxAbstractServerObject::Free(session_); }

  LoopTaskInfo* NewLoopTask(TnxWord32 aTotal = 100) {
    auto* task = platform::create<LoopTaskInfo>(session_, aTotal);
    task->leftExecute = &leftExecute_;
    return task;
  }
  static TnxTaskStatus Status(TnxServerTaskInfo* aTask, bool* aCompleted = nullptr) {
    bool completed = false;
    TnxTaskStatus status{};
    EXPECT_EQ(aTask->GetStatus(completed, status), 0u);
    EXPECT_EQ(completed, status.tsFinished);
    if (aCompleted) *aCompleted = completed;
    return status;
  }

  ServerEngineFixture fixture_;
  TickingServerEngine* engine_ = nullptr;
  TnxServerSession* session_ = nullptr;
  std::atomic<bool> leftExecute_{false};
};

TEST_F(ServerTasksTest, PercentDoneFollowsReadRecordsWithoutOverflow) {
  struct Case {
    TnxWord32 total, read;
    std::uint8_t percent;
  } cases[] = {
      {0, 0, 0},
      {0, 5000, 0},                    // no total: 0 % whatever was done
      {200, 50, 25},
      {3, 2, 66},                      // rounded down
      {100, 250, 100},                 // capped
      {20000000, 18000000, 90},        // scaled by 128 above 16777215
      {0xFFFFFFFFu, 0xFFFFFFFFu, 100}, // would overflow unscaled
      {100, 16777216, 0},              // scaled divisor 0: 0 %
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.read << " of " << c.total);
    LoopTaskInfo* task = NewLoopTask(c.total);
    EXPECT_FALSE(task->MakeSnapshot(c.read, c.read / 2, 0));
    const TnxTaskStatus status = Status(task);
    EXPECT_EQ(status.tsPercentDone, c.percent);
    EXPECT_EQ(status.tsRecsRead, c.read);
    EXPECT_EQ(status.tsRecsWritten, c.read / 2);
    EXPECT_EQ(status.tsTotalRecs, c.total);
    EXPECT_FALSE(status.tsFinished);
    TnxAbstractServerObject::Free(task);
  }
}

TEST_F(ServerTasksTest, CancelTwiceReportsFinishedAbortedAndIgnoresLaterProgress) {
  LoopTaskInfo* task = NewLoopTask();
  EnxBaseException::SetLastConvertedException(8706, u"left over");
  ASSERT_FALSE(task->MakeSnapshot(10, 10, 8706));
  EXPECT_EQ(Status(task).tsErrorMessage, u"left over");
  EXPECT_EQ(task->Cancel(), 0u);
  const TnxTaskStatus first = Status(task);
  EXPECT_EQ(task->Cancel(), 0u);
  EXPECT_TRUE(task->MakeSnapshot(90, 90, 0)) << "a cancelled task tells its thread to stop";
  task->MarkFinished();
  bool completed = false;
  const TnxTaskStatus status = Status(task, &completed);
  EXPECT_TRUE(completed);
  EXPECT_EQ(status.tsErrorCode, 13062u);
  EXPECT_EQ(status.tsErrorMessage, u"");
  EXPECT_EQ(status.tsRecsRead, 10u);
  EXPECT_EQ(status.tsSnapshotTime, first.tsSnapshotTime);
  TnxAbstractServerObject::Free(task);
}

TEST_F(ServerTasksTest, FailedTaskCodeAndTextBecomeThePollersLastConvertedException) {
  LoopTaskInfo* task = NewLoopTask();
  // The thread's last converted exception carries the text only when its
  // code is the one reported.
  EnxBaseException::SetLastConvertedException(8961, u"Corrupt table/index header. T");
  ASSERT_FALSE(task->MakeSnapshot(1, 1, 8961));
  EnxBaseException::SetLastConvertedException(0, u"");
  const TnxTaskStatus status = Status(task);
  EXPECT_EQ(status.tsErrorCode, 8961u);
  EXPECT_EQ(status.tsErrorMessage, u"Corrupt table/index header. T");
  TnxResult code = 0;
  nxString text;
  EnxBaseException::GetLastConvertedException(code, text);
  EXPECT_EQ(code, 8961u);
  EXPECT_EQ(text, u"Corrupt table/index header. T");

  EnxBaseException::SetLastConvertedException(9729, u"other");
  ASSERT_FALSE(task->MakeSnapshot(2, 2, 8961));
  EXPECT_EQ(Status(task).tsErrorMessage, u"") << "a text of another code is not taken";
  TnxAbstractServerObject::Free(task);
}

TEST_F(ServerTasksTest, DoNothingTaskIsFinishedWithItsResult) {
  auto* task = platform::create<TnxServerDoNothingTaskInfo>(session_, 42);
  bool completed = false;
  const TnxTaskStatus status = Status(task, &completed);
  EXPECT_TRUE(completed);
  EXPECT_EQ(status.tsTotalRecs, 42u);
  EXPECT_EQ(status.tsRecsRead, 42u);
  EXPECT_EQ(status.tsRecsWritten, 42u);
  EXPECT_EQ(status.tsErrorCode, 0u);
  EXPECT_EQ(status.tsPercentDone, 100);
  EXPECT_FALSE(task->Executing());
  TnxAbstractServerObject::Free(task);
}

TEST_F(ServerTasksTest, ThreadRunsInitAndExecuteWithoutDeadlineAndEndsWhenTold) {
  nxtest::Watchdog watchdog;
  nxSetTimeout(5000, true);
  LoopTaskInfo* task = NewLoopTask();
  task->Start();
  // The start protocol waited for the start event: Execute has begun.
  EXPECT_TRUE(task->Executing());
  task->stop.store(true);
  while (task->Executing()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_NE(task->initInThread, std::this_thread::get_id());
  EXPECT_EQ(task->initInThread, task->executeInThread);
  EXPECT_EQ(task->deadline, nxNoDeadline);
  bool completed = false;
  EXPECT_EQ(Status(task, &completed).tsErrorCode, 0u);
  EXPECT_TRUE(completed);
  EXPECT_FALSE(task->sawCancel.load());
  TnxAbstractServerObject::Free(task);
  // The ended thread goes on the next cleanup tick.
  for (int i = 0; i < 1000 && engine_->TaskThreadCount() > 0; ++i) {
    engine_->Tick();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(engine_->TaskThreadCount(), 0);
}

TEST_F(ServerTasksTest, FreeingRunningTaskBlocksUntilItsThreadLeftExecute) {
  nxtest::Watchdog watchdog;
  LoopTaskInfo* task = NewLoopTask();
  task->Start();
  std::atomic<bool>* left = task->leftExecute;
  TnxAbstractServerObject::Free(task);
  EXPECT_TRUE(left->load()) << "the free returned while the thread was still in Execute";
}

TEST_F(ServerTasksTest, SessionThatGoesCancelsAndWaitsForItsTasks) {
  nxtest::Watchdog watchdog;
  LoopTaskInfo* task = NewLoopTask();
  task->Start();
  TnxAbstractServerObject::Free(std::exchange(session_, nullptr));
  EXPECT_TRUE(leftExecute_.load());
}

TEST_F(ServerTasksTest, StoppingEngineJoinsEveryTaskThread) {
  nxtest::Watchdog watchdog;
  LoopTaskInfo* task = NewLoopTask();
  task->Start();
  ASSERT_EQ(engine_->TaskThreadCount(), 1);
  session_ = nullptr;  // the engine frees it
  engine_->SetActive(false);
  EXPECT_TRUE(leftExecute_.load());
  EXPECT_EQ(engine_->TaskThreadCount(), 0);
}

}  // namespace
