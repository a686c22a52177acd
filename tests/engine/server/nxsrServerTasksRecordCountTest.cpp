// The asynchronous record count of a table cursor on a real table: the
// finished answers, the background count with its progress, what the count
// leaves of the cursor, the session lock it holds, and a cursor that goes
// while its count runs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "nxExpectCode.h"
#include "nxTestWatchdog.h"
#include "nxsrServerEngineCursorTestSupport.h"
#include "nxsrServerTasks.h"

namespace {

using nxtest::CursorTableTest;
using nxtest::CursorTestRow;
using Bytes = std::vector<std::uint8_t>;

// What the record filter of a count sees, running in the count's thread.
struct CountProbe {
  TnxServerTableCursor* cursor = nullptr;
  std::int32_t modulo = 1;              // IDs that pass: ID % modulo == 0
  std::int32_t sleepMs = 0;
  std::atomic<bool> started{false};
  std::atomic<bool> hold{false};        // the first call waits while set
  std::vector<TnxWord32> readSoFar;     // the task's tsRecsRead at each call
};

bool countFilter(void* aCookie, const void* aRecord) {
  auto* probe = static_cast<CountProbe*>(aCookie);
  std::int32_t id = 0;
  std::memcpy(&id, static_cast<const std::uint8_t*>(aRecord) +
                       probe->cursor->Table()->TableDescriptor()->FieldsDescriptor()->Fields(0)->fdOffset,
              4);
  if (auto* task = static_cast<TnxServerTaskInfo*>(probe->cursor->TaskInfo())) {
    bool completed = false;
    TnxTaskStatus status{};
    task->GetStatus(completed, status);
    probe->readSoFar.push_back(status.tsRecsRead);
  }
  probe->started.store(true);
  while (probe->hold.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (probe->sleepMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(probe->sleepMs));
  return id % probe->modulo == 0;
}

class RecordCountTaskTest : public CursorTableTest {
 protected:
  TnxServerTableCursor* OpenFiltered(CountProbe& aProbe, TnxServerDatabase* aDb = nullptr) {
    TnxServerTableCursor* cursor = Open(aDb ? aDb : db_);
    aProbe.cursor = cursor;
    TnxFilterID id = 0;
    EXPECT_EQ(cursor->FilterAddCallback(&aProbe, countFilter, id, true), 0);
    return cursor;
  }
  static TnxTaskStatus WaitFinished(TnxAbstractTaskInfo* aTask) {
    TnxTaskStatus status{};
    for (;;) {
      bool completed = false;
      EXPECT_EQ(aTask->GetStatus(completed, status), 0u);
      if (completed) return status;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  // The cursor's current ID (RecordGet).
  std::int32_t CurrentID(TnxServerTableCursor* aCursor) {
    Bytes record = Record(aCursor);
    EXPECT_EQ(aCursor->RecordGet(nxltNoLock, record.data()), 0);
    return ID(aCursor, record.data());
  }
};

TEST_F(RecordCountTaskTest, KnownCountsComeAsFinishedTasksWithoutAThread) {
  Fill(30);
  struct Case {
    TnxRecordCountOption option;
    bool filter;
    TnxWord32 count;
  } cases[] = {
      {rcoTotalRecordCount, true, 30},         // whatever the filters
      {rcoTotalRecordCount, false, 30},
      {rcoTotalKeyCount, true, 30},            // the key count ignores filters
      {rcoRangedKeyCount, false, 30},          // no range, no filter
      {rcoClientFilteredKeyCount, false, 30},  // nothing to filter
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "option " << int{c.option} << " filter " << c.filter);
    CountProbe probe;
    probe.modulo = 2;
    TnxServerTableCursor* cursor = c.filter ? OpenFiltered(probe) : Open(db_);
    TnxAbstractTaskInfo* task = nullptr;
    ASSERT_EQ(cursor->GetRecordCountExAsync(c.option, task), 0u);
    ASSERT_NE(task, nullptr);
    EXPECT_NE(platform::objectAs<TnxServerDoNothingTaskInfo>(task), nullptr);
    bool completed = false;
    TnxTaskStatus status{};
    ASSERT_EQ(task->GetStatus(completed, status), 0u);
    EXPECT_TRUE(completed);
    EXPECT_EQ(status.tsRecsRead, c.count);
    EXPECT_EQ(status.tsTotalRecs, c.count);
    EXPECT_EQ(status.tsErrorCode, 0u);
    EXPECT_TRUE(probe.readSoFar.empty()) << "no record was read";
    EXPECT_EQ(engine_->TaskThreadCount(), 0);
    TnxAbstractServerObject::Free(task);
    EXPECT_EQ(cursor->TaskInfo(), nullptr);
    TnxAbstractServerObject::Free(cursor);
  }
}

TEST_F(RecordCountTaskTest, FilteredCountRunsInBackgroundAndLeavesCursorAsItWas) {
  nxtest::Watchdog watchdog;
  Fill(200);
  struct Case {
    TnxRecordCountOption option;
    bool range;
    TnxWord32 count;
  } cases[] = {
      {rcoClientFilteredKeyCount, false, 66},  // IDs divisible by 3
      {rcoServerFilteredKeyCount, false, 66},
      {rcoClientFilteredKeyCount, true, 3},    // 5..14: 6, 9, 12
      {rcoRangedKeyCount, true, 10},           // the range, filter taken off
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "option " << int{c.option} << " range " << c.range);
    CountProbe probe;
    probe.modulo = 3;
    TnxServerTableCursor* cursor = OpenFiltered(probe);
    if (c.range) {
      const Bytes low = Key(cursor, {5, "", 0});
      const Bytes high = Key(cursor, {14, "", 0});
      ASSERT_EQ(cursor->RangeSet(0, 0, true, low.data(), true, 0, 0, true, high.data(), true), 0);
    }
    Bytes record = Record(cursor);
    ASSERT_EQ(cursor->SetToBegin(), 0);
    ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), 0);
    ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), 0);
    const std::int32_t before = CurrentID(cursor);
    const std::size_t filterCalls = probe.readSoFar.size();

    TnxAbstractTaskInfo* task = nullptr;
    ASSERT_EQ(cursor->GetRecordCountExAsync(c.option, task), 0u);
    ASSERT_NE(platform::objectAs<TnxServerGetRecCountTaskInfo>(task), nullptr);
    EXPECT_EQ(cursor->TaskInfo(), task);
    const TnxTaskStatus status = WaitFinished(task);
    EXPECT_EQ(status.tsErrorCode, 0u);
    EXPECT_EQ(status.tsRecsRead, c.count);
    EXPECT_EQ(status.tsPercentDone, c.count * 100 / 200);  // of the key count
    if (c.option == rcoRangedKeyCount) {
      EXPECT_EQ(probe.readSoFar.size(), filterCalls) << "filter taken off";
    }
    // The task is finished; the lock is the client's again.
    while (static_cast<TnxServerTaskInfo*>(task)->Executing()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(CurrentID(cursor), before);
    const std::size_t calls = probe.readSoFar.size();
    ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), 0);
    EXPECT_GT(probe.readSoFar.size(), calls) << "the filter is still active";
    EXPECT_EQ(ID(cursor, record.data()) % 3, 0);
    TnxAbstractServerObject::Free(task);
    EXPECT_EQ(cursor->TaskInfo(), nullptr);
    TnxAbstractServerObject::Free(cursor);
  }
}

TEST_F(RecordCountTaskTest, ProgressIsReportedEveryHundredthOfTheTotal) {
  nxtest::Watchdog watchdog;
  struct Case {
    std::int32_t records;
    TnxWord32 step;
  } cases[] = {{50, 1}, {1000, 10}};
  std::int32_t filled = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.records << " records");
    std::vector<CursorTestRow> rows;
    for (std::int32_t id = filled + 1; id <= c.records; ++id) rows.push_back({id, "r", std::nullopt});
    AddRows(db_, rows);
    filled = c.records;
    CountProbe probe;
    TnxServerTableCursor* cursor = OpenFiltered(probe);
    probe.readSoFar.clear();
    TnxAbstractTaskInfo* task = nullptr;
    ASSERT_EQ(cursor->GetRecordCountExAsync(rcoClientFilteredKeyCount, task), 0u);
    EXPECT_EQ(WaitFinished(task).tsRecsRead, static_cast<TnxWord32>(c.records));
    // While deciding on record i the last report is of the records before
    // it, rounded down to the step.
    ASSERT_EQ(probe.readSoFar.size(), static_cast<std::size_t>(c.records));
    for (std::size_t i = 0; i < probe.readSoFar.size(); ++i)
      ASSERT_EQ(probe.readSoFar[i], static_cast<TnxWord32>(i) / c.step * c.step) << "record " << i + 1;
    TnxAbstractServerObject::Free(task);
    TnxAbstractServerObject::Free(cursor);
  }
}

TEST_F(RecordCountTaskTest, CountHoldsTheSessionLockWhileOtherSessionsWrite) {
  nxtest::Watchdog watchdog;
  Fill(100);
  CountProbe probe;
  probe.hold.store(true);
  TnxServerTableCursor* cursor = OpenFiltered(probe);
  TnxServerTableCursor* sameSession = Open(db_);
  TnxAbstractTaskInfo* task = nullptr;
  ASSERT_EQ(cursor->GetRecordCountExAsync(rcoClientFilteredKeyCount, task), 0u);
  while (!probe.started.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // The count's thread owns the session lock: the session's calls are kept
  // out (the lock refuses a second thread at once instead of queueing it).
  std::uint32_t count = 0;
  nxtest::expectCode([&] { sameSession->GetRecordCount(count, false); }, nxErrReentered);
  probe.hold.store(false);
  probe.sleepMs = 1;

  // Another session writes and commits while the count walks.
  TnxServerDatabase* other = NewDatabase();
  TnxServerTableCursor* writer = Open(other, u"ByID", 10000);
  Bytes record = Record(writer);
  SetRecord(writer, record, {1001, "new", 1});
  ASSERT_EQ(other->TransactionStart(false, false), 0);
  EXPECT_EQ(writer->RecordInsert(nxltNoLock, record.data(), nullptr), 0);
  EXPECT_EQ(other->TransactionCommit(), 0);

  const TnxTaskStatus status = WaitFinished(task);
  EXPECT_EQ(status.tsErrorCode, 0u);
  EXPECT_GE(status.tsRecsRead, 100u);
  while (static_cast<TnxServerTaskInfo*>(task)->Executing()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(sameSession->GetRecordCount(count, false), 0u);
  EXPECT_EQ(count, 101u);
  TnxAbstractServerObject::Free(task);
}

TEST_F(RecordCountTaskTest, CursorFreedWhileCountingLeavesAnAbortedTaskFreedOnceByItsOwner) {
  nxtest::Watchdog watchdog;
  Fill(500);
  CountProbe probe;
  probe.sleepMs = 1;
  TnxServerTableCursor* cursor = OpenFiltered(probe);
  TnxAbstractTaskInfo* task = nullptr;
  ASSERT_EQ(cursor->GetRecordCountExAsync(rcoClientFilteredKeyCount, task), 0u);
  while (!probe.started.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  TnxAbstractServerObject::Free(cursor);
  auto* count = static_cast<TnxServerGetRecCountTaskInfo*>(task);
  EXPECT_FALSE(count->Executing()) << "the cursor went before the thread left Execute";
  EXPECT_EQ(count->Cursor(), nullptr);
  bool completed = false;
  TnxTaskStatus status{};
  ASSERT_EQ(task->GetStatus(completed, status), 0u);
  EXPECT_TRUE(completed);
  EXPECT_EQ(status.tsErrorCode, 13062u);
  EXPECT_LT(status.tsRecsRead, 500u);
  // The owner frees it, once; the sanitizer build sees a second free or a
  // read of freed memory.
  TnxAbstractServerObject::Free(task);
}

TEST_F(RecordCountTaskTest, FinishedCountKeepsItsResultWhenTheCursorGoesFirst) {
  nxtest::Watchdog watchdog;
  Fill(20);
  CountProbe probe;
  probe.modulo = 2;
  TnxServerTableCursor* cursor = OpenFiltered(probe);
  TnxAbstractTaskInfo* task = nullptr;
  ASSERT_EQ(cursor->GetRecordCountExAsync(rcoClientFilteredKeyCount, task), 0u);
  EXPECT_EQ(WaitFinished(task).tsRecsRead, 10u);
  while (static_cast<TnxServerTaskInfo*>(task)->Executing()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  TnxAbstractServerObject::Free(cursor);
  const TnxTaskStatus status = WaitFinished(task);
  EXPECT_EQ(status.tsErrorCode, 0u);
  EXPECT_EQ(status.tsRecsRead, 10u);
  TnxAbstractServerObject::Free(task);
}

}  // namespace
