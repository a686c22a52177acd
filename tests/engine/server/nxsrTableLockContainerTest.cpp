#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "nxTestWatchdog.h"
#include "nxllHandleTable.h"
#include "nxsrServerEngineTestSupport.h"
#include "nxsrTableLockContainer.h"
#include "nxsrTimeoutHandling.h"
#include "plString.h"

namespace {

using nxtest::ServerEngineFixture;
using platform::toUtf8;
using Clock = std::chrono::steady_clock;

const int kLockCursorKindTag = 0;

// A cursor as the container sees it: a handle-table id and a session.
class LockTestCursor {
 public:
  explicit LockTestCursor(TnxAbstractSession* aSession)
      : id_(nxHandleTable().Add(this, &kLockCursorKindTag)), session_(aSession) {}
  ~LockTestCursor() { nxHandleTable().Remove(id_, &kLockCursorKindTag); }
  LockTestCursor(const LockTestCursor&) = delete;
  LockTestCursor& operator=(const LockTestCursor&) = delete;
  TnxLockCursor Ref() const { return {id_, session_}; }
  operator TnxLockCursor() const { return Ref(); }

 private:
  TnxBaseID id_;
  TnxAbstractSession* session_;
};

// A transaction of the storage layer owned by a session; levels are
// simply dropped.
class LockTestTransaction : public TnxBaseTransaction {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseTransaction::TnxBaseTransaction;
  TnxResult Commit() override { return 0; }
  TnxResult Rollback() override { return 0; }
};
PL_CLASS_INFO_IMPL(LockTestTransaction, TnxBaseTransaction, "LockTestTransaction", nullptr)

// Three sessions (A, B, C) of one engine, cursors A1, A2 of A, B1 of B, C1
// of C, and a container. Deadlines are per thread: none unless a test sets one.
class LockContainerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = fixture_.Started();
    for (TnxAbstractSession** s : {&a_, &b_, &c_})
      ASSERT_EQ(engine_->SessionOpen(*s, u"user", u"pw", u"lock test", 0), 0);
    a1_ = std::make_unique<LockTestCursor>(a_);
    a2_ = std::make_unique<LockTestCursor>(a_);
    b1_ = std::make_unique<LockTestCursor>(b_);
    c1_ = std::make_unique<LockTestCursor>(c_);
    locks_ = platform::create<TnxTableLockContainer>();
    nxSetTimeout(0, true);
  }
  void TearDown() override {
    for (TnxBaseTransaction* t : trans_) platform::TObject::free(t);
    platform::TObject::free(locks_);
  }
  TnxBaseTransaction* Trans(TnxAbstractSession* aSession) {
    trans_.push_back(platform::create<LockTestTransaction>(engine_->BufferManager(), aSession, false, false));
    return trans_.back();
  }
  // The lines other sessions' user info adds to a reason.
  static std::vector<std::string> UserInfo(TnxAbstractSession* aSession) {
    platform::TStringList list;
    aSession->GetUserInfo(list);
    std::vector<std::string> lines;
    for (std::int32_t i = 0; i < list.count(); ++i) lines.push_back(toUtf8(list.strings(i)));
    return lines;
  }
  static std::vector<std::string> Lines(const TnxLockFailureReason& aReason) {
    std::vector<std::string> lines;
    for (std::int32_t i = 0; i < aReason.count(); ++i) lines.push_back(toUtf8(aReason.strings(i)));
    return lines;
  }

  ServerEngineFixture fixture_;
  TnxServerEngine* engine_ = nullptr;
  TnxAbstractSession* a_ = nullptr;
  TnxAbstractSession* b_ = nullptr;
  TnxAbstractSession* c_ = nullptr;
  std::unique_ptr<LockTestCursor> a1_, a2_, b1_, c1_;
  TnxTableLockContainer* locks_ = nullptr;
  std::vector<TnxBaseTransaction*> trans_;
};

std::string firstLine(const char* aRequest, const char* aConflict, const char* aRequestName,
                      const char* aResultName) {
  const bool multiple = std::string(aResultName).find("Multiple") != std::string::npos;
  return std::string("The requested content ") + aRequest + " could not be granted due to " +
         (multiple ? std::string("multiple ") + aConflict + " conflicts." : std::string("a ") + aConflict + " conflict.") +
         "<[--!LockError.Type=content!--]><[--!LockError.Request=" + aRequestName +
         "!--]><[--!LockError.Result=" + aResultName + "!--]>";
}

TEST_F(LockContainerTest, RequestAgainstExistingLocksGivesTheResultAndItsReason) {
  enum Who { A1, A2, B1 };
  enum Op { Write, Read, Record5, Record6 };
  struct Row {
    const char* name;
    std::vector<std::pair<Who, Op>> held;
    Who who;
    Op op;
    TnxLockResult result;
    const char* conflictKind;  // for the first line of a refusal
    Who conflictWith;          // A1/A2: same session, B1: other session
  };
  const std::vector<Row> rows = {
      {"write on nothing", {}, A1, Write, lrGrantedNew, nullptr, A1},
      {"write again by its holder", {{A1, Write}}, A1, Write, lrGrantedExisting, nullptr, A1},
      {"write against another session's write", {{B1, Write}}, A1, Write, lrConflictCursorWriteLock, "write lock", B1},
      {"write against a write of the same session", {{A2, Write}}, A1, Write, lrConflictCursorWriteLock, "write lock",
       A2},
      {"write over its own read lock", {{A1, Read}}, A1, Write, lrGrantedNew, nullptr, A1},
      {"write against one other read lock", {{B1, Read}}, A1, Write, lrConflictCursorReadLockSingle, "read lock", B1},
      {"write against its own and one other read lock", {{A1, Read}, {B1, Read}}, A1, Write,
       lrConflictCursorReadLockSingle, "read lock", B1},
      {"write against two other read locks", {{A2, Read}, {B1, Read}}, A1, Write, lrConflictCursorReadLockMultiple,
       "read lock", B1},
      {"write over its own record lock", {{A1, Record5}}, A1, Write, lrGrantedNew, nullptr, A1},
      {"write against one other record lock", {{B1, Record5}}, A1, Write, lrConflictCursorRecordLockSingle,
       "record lock", B1},
      {"write against two other record locks", {{B1, Record5}, {B1, Record6}}, A1, Write,
       lrConflictCursorRecordLockMultiple, "record lock", B1},
      {"read on nothing", {}, A1, Read, lrGrantedNew, nullptr, A1},
      {"read again", {{A1, Read}}, A1, Read, lrGrantedExisting, nullptr, A1},
      {"read beside other readers", {{B1, Read}}, A1, Read, lrGrantedNew, nullptr, A1},
      {"read under its own write lock", {{A1, Write}}, A1, Read, lrGrantedNew, nullptr, A1},
      {"read against another write lock", {{B1, Write}}, A1, Read, lrConflictCursorWriteLock, "write lock", B1},
      {"read against its own record lock", {{A1, Record5}}, A1, Read, lrConflictCursorRecordLockSingle,
       "record lock", A1},
      {"read against two record locks", {{B1, Record5}, {B1, Record6}}, A1, Read,
       lrConflictCursorRecordLockMultiple, "record lock", B1},
      {"record on nothing", {}, A1, Record5, lrGrantedNew, nullptr, A1},
      {"record again", {{A1, Record5}}, A1, Record5, lrGrantedExisting, nullptr, A1},
      {"record beside another cursor's record", {{B1, Record6}}, A1, Record5, lrGrantedNew, nullptr, A1},
      {"record held by another session", {{B1, Record5}}, A1, Record5, lrConflictCursorRecordLockSingle,
       "record lock", B1},
      {"record held by the same session", {{A2, Record5}}, A1, Record5, lrConflictCursorRecordLockSingle,
       "record lock", A2},
      {"record under the reader's own read lock", {{A1, Read}}, A1, Record5, lrConflictCursorReadLockSingle,
       "read lock", A1},
      {"record under two read locks", {{A1, Read}, {B1, Read}}, A1, Record5, lrConflictCursorReadLockMultiple,
       "read lock", A1},
      {"record under another write lock", {{B1, Write}}, A1, Record5, lrConflictCursorWriteLock, "write lock", B1},
      {"record under its own write lock", {{A1, Write}}, A1, Record5, lrGrantedNew, nullptr, A1},
  };
  const char* requestKinds[] = {"write lock", "read lock", "record lock", "record lock"};
  const char* requestNames[] = {"lrtWriteLock", "lrtReadLock", "lrtRecordLock", "lrtRecordLock"};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TnxTableLockContainer* locks = platform::create<TnxTableLockContainer>();
    LockTestCursor* cursors[] = {a1_.get(), a2_.get(), b1_.get()};
    auto take = [&](Who aWho, Op aOp, TnxLockFailureReason* aReason) {
      const TnxLockCursor c = *cursors[aWho];
      switch (aOp) {
        case Write:
          return locks->GetWriteLock(nullptr, c, false, aReason);
        case Read:
          return locks->GetReadLock(nullptr, c, false, aReason);
        case Record5:
          return locks->GetRecordLock(nullptr, c, 5, false, aReason);
        case Record6:
          return locks->GetRecordLock(nullptr, c, 6, false, aReason);
      }
      return lrConflictUnknown;
    };
    for (auto [who, op] : row.held) ASSERT_LT(take(who, op, nullptr), lrConflictUnknown);
    TnxLockFailureReason reason;
    reason.add(u"stale line");
    EXPECT_EQ(take(row.who, row.op, &reason), row.result);
    // Under several read locks a record request names the first entry (the
    // lower handle id), a write request the last other one (the higher id);
    // ids are reused, so either cursor may be it.
    Who conflictWith = row.conflictWith;
    if (row.result == lrConflictCursorReadLockMultiple && row.op >= Record5)
      conflictWith = a1_->Ref().lcID < b1_->Ref().lcID ? A1 : B1;
    if (row.result == lrConflictCursorReadLockMultiple && row.op == Write)
      conflictWith = a2_->Ref().lcID > b1_->Ref().lcID ? A2 : B1;
    if (row.result < lrConflictUnknown) {
      EXPECT_EQ(Lines(reason), std::vector<std::string>{"stale line"});
    } else {
      std::vector<std::string> expected = {
          firstLine(requestKinds[row.op], row.conflictKind, requestNames[row.op], toUtf8(nxLockResultName(row.result)).c_str()),
          ""};
      if (conflictWith == B1) {
        expected.push_back("The conflict occurred with the following session:");
        for (const std::string& line : UserInfo(b_)) expected.push_back(line);
      } else {
        expected.push_back("<[--!LockError.SameSession=1!--]>");
      }
      EXPECT_EQ(Lines(reason), expected);
      EXPECT_EQ(reason.SameSession, conflictWith != B1);
    }
    for (LockTestCursor* c : cursors) locks->ClearAllLocks(*c);
    platform::TObject::free(locks);
  }
}

TEST_F(LockContainerTest, WriteLockTakenThreeTimesNeedsThreeReleasesOrOneClear) {
  for (int i = 0; i < 3; ++i) ASSERT_LT(locks_->GetWriteLock(nullptr, *a1_, false, nullptr), lrConflictUnknown);
  EXPECT_FALSE(locks_->ReleaseWriteLock(*b1_));
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(locks_->ReleaseWriteLock(*a1_));
    EXPECT_EQ(locks_->IsWriteLocked(*b1_), lpYesByAnother);
  }
  EXPECT_TRUE(locks_->ReleaseWriteLock(*a1_));
  EXPECT_EQ(locks_->IsWriteLocked(*a1_), lpNotAtAll);
  EXPECT_FALSE(locks_->ReleaseWriteLock(*a1_));

  for (int i = 0; i < 3; ++i) ASSERT_LT(locks_->GetWriteLock(nullptr, *a1_, false, nullptr), lrConflictUnknown);
  ASSERT_EQ(locks_->GetReadLock(nullptr, *a1_, false, nullptr), lrGrantedNew);
  ASSERT_EQ(locks_->GetRecordLock(nullptr, *a1_, 7, false, nullptr), lrConflictCursorReadLockSingle);
  locks_->ClearCursorLocks(*a1_);
  EXPECT_EQ(locks_->IsWriteLocked(*a1_), lpNotAtAll);
  EXPECT_EQ(locks_->IsReadLocked(*a1_), lpNotAtAll);
  EXPECT_EQ(locks_->GetWriteLock(nullptr, *b1_, false, nullptr), lrGrantedNew);
}

TEST_F(LockContainerTest, LockPresenceAnswersByCursor) {
  EXPECT_EQ(locks_->IsRecordLocked(*a1_, 9), lpNotAtAll);
  ASSERT_EQ(locks_->GetRecordLock(nullptr, *b1_, 9, false, nullptr), lrGrantedNew);
  ASSERT_EQ(locks_->GetRecordLock(nullptr, *b1_, -3, false, nullptr), lrGrantedNew);  // signed order
  EXPECT_EQ(locks_->IsRecordLocked(*a1_, 9), lpYesByAnother);
  EXPECT_EQ(locks_->IsRecordLocked(*b1_, 9), lpYesByUs);
  EXPECT_EQ(locks_->IsRecordLocked(*b1_, static_cast<TnxRefNr>(-3)), lpYesByUs);
  EXPECT_FALSE(locks_->ReleaseRecordLock(*a1_, 9, nullptr));
  locks_->ClearRecordLocks(*b1_);
  EXPECT_EQ(locks_->IsRecordLocked(*a1_, 9), lpNotAtAll);

  EXPECT_EQ(locks_->IsReadLocked(*a1_), lpNotAtAll);
  ASSERT_EQ(locks_->GetReadLock(nullptr, *b1_, false, nullptr), lrGrantedNew);
  EXPECT_EQ(locks_->IsReadLocked(*a1_), lpYesByAnother);
  EXPECT_EQ(locks_->IsReadLocked(*b1_), lpYesByUs);
  ASSERT_EQ(locks_->GetReadLock(nullptr, *b1_, false, nullptr), lrGrantedExisting);
  EXPECT_TRUE(locks_->ReleaseReadLock(*b1_));
  EXPECT_EQ(locks_->IsReadLocked(*b1_), lpYesByUs);
  EXPECT_TRUE(locks_->ReleaseReadLock(*b1_));
  EXPECT_FALSE(locks_->ReleaseReadLock(*b1_));
}

TEST_F(LockContainerTest, ReleasedChangeKeepsOtherTransactionsOutUntilItsTransactionEnds) {
  TnxBaseTransaction* ta = Trans(a_);
  TnxBaseTransaction* tb = Trans(b_);
  ASSERT_EQ(locks_->GetRecordLock(ta, *a1_, 5, false, nullptr), lrGrantedNew);
  ASSERT_TRUE(locks_->ReleaseRecordLock(*a1_, 5, ta));
  EXPECT_EQ(locks_->BoundTransaction(), ta);

  TnxLockFailureReason reason;
  EXPECT_EQ(locks_->GetRecordLock(tb, *b1_, 6, false, &reason), lrConflictTransaction);
  std::vector<std::string> expected = {firstLine("record lock", "transaction", "lrtRecordLock", "lrConflictTransaction"),
                                       "", "The conflict occurred with the following session:"};
  for (const std::string& line : UserInfo(a_)) expected.push_back(line);
  EXPECT_EQ(Lines(reason), expected);
  EXPECT_EQ(locks_->GetReadLock(tb, *b1_, false, nullptr), lrConflictTransaction);
  EXPECT_EQ(locks_->GetWriteLock(tb, *b1_, false, nullptr), lrConflictTransaction);
  // Its own transaction goes on; a second cursor of the same session gets
  // the refusal at once, marked.
  EXPECT_EQ(locks_->GetRecordLock(ta, *a2_, 6, false, nullptr), lrGrantedNew);
  ASSERT_TRUE(locks_->ReleaseRecordLock(*a2_, 6, nullptr));
  TnxBaseTransaction* ta2 = Trans(a_);
  EXPECT_EQ(locks_->GetRecordLock(ta2, *a2_, 6, false, &reason), lrConflictTransaction);
  EXPECT_TRUE(reason.SameSession);

  locks_->EndTransaction(tb);  // not the bound one
  EXPECT_EQ(locks_->BoundTransaction(), ta);
  locks_->EndTransaction(ta);
  EXPECT_EQ(locks_->BoundTransaction(), nullptr);
  EXPECT_EQ(locks_->GetRecordLock(tb, *b1_, 6, false, nullptr), lrGrantedNew);
}

TEST_F(LockContainerTest, CorruptedLevelDoesNotBindTheContainer) {
  TnxBaseTransaction* ta = Trans(a_);
  ta->MarkCorrupted();
  ASSERT_EQ(locks_->GetRecordLock(ta, *a1_, 5, false, nullptr), lrGrantedNew);
  ASSERT_TRUE(locks_->ReleaseRecordLock(*a1_, 5, ta));
  EXPECT_EQ(locks_->BoundTransaction(), nullptr);
}

TEST_F(LockContainerTest, RefusalWithoutConflictingSessionSaysSo) {
  const TnxLockCursor orphan{4242, nullptr};
  ASSERT_EQ(locks_->GetWriteLock(nullptr, orphan, false, nullptr), lrGrantedNew);
  TnxLockFailureReason reason;
  EXPECT_EQ(locks_->GetReadLock(nullptr, *a1_, false, &reason), lrConflictCursorWriteLock);
  EXPECT_EQ(Lines(reason), (std::vector<std::string>{
                               firstLine("read lock", "write lock", "lrtReadLock", "lrConflictCursorWriteLock"), "",
                               "The conflict occurred with an unknown session.<[--!LockError.UnknownSession=1!--]>"}));
  EXPECT_FALSE(reason.SameSession);
  locks_->ClearAllLocks(orphan);
}

TEST_F(LockContainerTest, ExceptionDataListsLocksAndWaitingRequests) {
  ASSERT_EQ(locks_->GetReadLock(nullptr, *a1_, false, nullptr), lrGrantedNew);
  ASSERT_EQ(locks_->GetReadLock(nullptr, *a1_, false, nullptr), lrGrantedExisting);
  nxtest::Watchdog watchdog;
  auto waiter = std::async(std::launch::async, [&] {
    nxSetTimeout(2000, true);
    return locks_->GetRecordLock(nullptr, *b1_, 77, false, nullptr);
  });
  while (locks_->WaitingCount() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  TnxIntfPtr<InxExceptionDataContainer> data = nxCreateExceptionDataContainer(u"Locks", nullptr, {});
  locks_->GetExceptionData(data);
  const std::string dump = toUtf8(data->ToString());
  const std::string a1 = std::to_string(a1_->Ref().lcID);
  const std::string b1 = std::to_string(b1_->Ref().lcID);
  for (const std::string& part : {std::string("ActiveLocks"), std::string("TableLocks"), std::string("WriteLock"),
                                  std::string("ReadLocks"), std::string("RecordLocks"),
                                  std::string("WaitingLockRequest"), std::string("lrtRecordLock"), a1, b1,
                                  std::string("77")})
    EXPECT_NE(dump.find(part), std::string::npos) << part << "\n" << dump;
  ASSERT_TRUE(locks_->ReleaseReadLock(*a1_));
  ASSERT_TRUE(locks_->ReleaseReadLock(*a1_));
  EXPECT_EQ(waiter.get(), lrGrantedNew);
  EXPECT_EQ(locks_->WaitingCount(), 0);
}

// ---- waits on threads ------------------------------------------------------------

// How soon a woken or refused request must be back. The aim is 50 ms; the
// bound allows for a loaded machine. The waits in these tests run to
// deadlines of 1.5 s and more, so a missed wake-up or a wait that should
// not have happened shows as seconds.
constexpr double kLockPromptMs = 250.0;

double msBetween(Clock::time_point aFrom, Clock::time_point aTo) {
  return std::chrono::duration<double, std::milli>(aTo - aFrom).count();
}
double msSince(Clock::time_point aStart) { return msBetween(aStart, Clock::now()); }

TEST_F(LockContainerTest, WaitingRecordLockIsGrantedSoonAfterTheRelease) {
  nxtest::Watchdog watchdog;
  ASSERT_EQ(locks_->GetRecordLock(nullptr, *b1_, 5, false, nullptr), lrGrantedNew);
  auto waiter = std::async(std::launch::async, [&] {
    nxSetTimeout(3000, true);
    const TnxLockResult result = locks_->GetRecordLock(nullptr, *a1_, 5, false, nullptr);
    return std::make_pair(result, Clock::now());
  });
  while (locks_->WaitingCount() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const Clock::time_point released = Clock::now();
  ASSERT_TRUE(locks_->ReleaseRecordLock(*b1_, 5, nullptr));
  auto [result, granted] = waiter.get();
  EXPECT_EQ(result, lrGrantedNew);
  EXPECT_LT(msBetween(released, granted), kLockPromptMs);
}

TEST_F(LockContainerTest, ConflictComesBackAtOnceWithoutTimeToWait) {
  nxtest::Watchdog watchdog;
  ASSERT_EQ(locks_->GetRecordLock(nullptr, *b1_, 5, false, nullptr), lrGrantedNew);
  for (TnxWord32 timeout : {TnxWord32{0}, TnxWord32{4}, TnxWord32{5}}) {
    SCOPED_TRACE(timeout);
    nxSetTimeout(timeout, true);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(locks_->GetRecordLock(nullptr, *a1_, 5, false, nullptr), lrConflictCursorRecordLockSingle);
    EXPECT_LT(msSince(start), kLockPromptMs);
    EXPECT_EQ(locks_->WaitingCount(), 0);
  }
  // A conditional request never waits, deadline or not.
  nxSetTimeout(2000, true);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(locks_->GetRecordLock(nullptr, *a1_, 5, true, nullptr), lrConflictCursorRecordLockSingle);
  EXPECT_LT(msSince(start), kLockPromptMs);
}

TEST_F(LockContainerTest, SameSessionConflictIsAnsweredAtOnce) {
  nxtest::Watchdog watchdog;
  ASSERT_EQ(locks_->GetRecordLock(nullptr, *a2_, 5, false, nullptr), lrGrantedNew);
  nxSetTimeout(2000, true);
  TnxLockFailureReason reason;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(locks_->GetRecordLock(nullptr, *a1_, 5, false, &reason), lrConflictCursorRecordLockSingle);
  EXPECT_LT(msSince(start), kLockPromptMs);
  EXPECT_TRUE(reason.SameSession);
  EXPECT_EQ(Lines(reason).back(), "<[--!LockError.SameSession=1!--]>");
}

TEST_F(LockContainerTest, TimedOutWaitEndsWithTheConflict) {
  nxtest::Watchdog watchdog;
  ASSERT_EQ(locks_->GetWriteLock(nullptr, *b1_, false, nullptr), lrGrantedNew);
  nxSetTimeout(100, true);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(locks_->GetReadLock(nullptr, *a1_, false, nullptr), lrConflictCursorWriteLock);
  EXPECT_GE(msSince(start), 90.0);
  EXPECT_EQ(locks_->WaitingCount(), 0);
}

// A woken request that is still blocked hands the wake-up on: a record
// request whose blocker is gone does not sleep behind it.
TEST_F(LockContainerTest, StillBlockedWaiterPassesTheWakeUpOn) {
  nxtest::Watchdog watchdog;
  TnxBaseTransaction* tc = Trans(c_);
  TnxBaseTransaction* tb = Trans(b_);
  ASSERT_EQ(locks_->GetReadLock(tc, *c1_, false, nullptr), lrGrantedNew);
  auto writer = std::async(std::launch::async, [&] {
    nxSetTimeout(1500, true);
    return locks_->GetWriteLock(tb, *b1_, false, nullptr);
  });
  while (locks_->WaitingCount() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // The table now holds changes of a's transaction: the writer stays blocked
  // once the read lock goes, the record request of that transaction does not.
  TnxBaseTransaction* ta = Trans(a_);
  locks_->ReleaseRecordLock(*a2_, 1, ta);
  auto recorder = std::async(std::launch::async, [&] {
    nxSetTimeout(1500, true);
    const TnxLockResult result = locks_->GetRecordLock(ta, *a1_, 5, false, nullptr);
    return std::make_pair(result, Clock::now());
  });
  while (locks_->WaitingCount() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const Clock::time_point released = Clock::now();
  ASSERT_TRUE(locks_->ReleaseReadLock(*c1_));
  auto [result, granted] = recorder.get();
  EXPECT_EQ(result, lrGrantedNew);
  EXPECT_LT(msBetween(released, granted), kLockPromptMs);
  ASSERT_TRUE(locks_->ReleaseRecordLock(*a1_, 5, nullptr));
  locks_->EndTransaction(ta);
  EXPECT_EQ(writer.get(), lrGrantedNew);
  locks_->ClearAllLocks(*b1_);
}

}  // namespace
