#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "nxTestWatchdog.h"
#include "nxseJournalEngine.h"
#include "nxsrServerEngineTableTestSupport.h"
#include "plString.h"

namespace {

using nxtest::ServerTableTest;
using nxtest::tableDictionary;
using platform::toUtf8;
using TxClock = std::chrono::steady_clock;

// How soon a woken or refused request must be back. The aim is 50 ms; the
// bound allows for a loaded machine. The waits in these tests run to
// deadlines of 1.5 s and more, so a missed wake-up or a wait that should
// not have happened shows as seconds.
constexpr double kTxPromptMs = 250.0;

double txMsBetween(TxClock::time_point aFrom, TxClock::time_point aTo) {
  return std::chrono::duration<double, std::milli>(aTo - aFrom).count();
}

// A cursor as the content locks see it: its context, its root table and
// its reason object.
class ContentTestCursor : public TnxServerTransLinkCursor {
 public:
  ContentTestCursor(TnxServerTransContext* aContext, TnxServerRootTable* aTable)
      : context_(aContext), table_(aTable) {}
  TnxAbstractTransContext* sbcTransContext() override { return context_; }
  TnxResult sbcBeginContentLock(bool aExclusive, bool aConditional, bool) override {
    TnxServerTransaction* trans = context_->Transaction();
    if (!trans) return aExclusive ? 10257 : 0;
    return sbcBeginTransContentLock(trans, table_, aExclusive, aConditional, &reason);
  }
  TnxResult Shared() { return sbcBeginContentLock(false, false, false); }
  TnxResult Exclusive() { return sbcBeginContentLock(true, false, false); }
  std::vector<std::string> Reason() const {
    std::vector<std::string> lines;
    for (int i = 0; i < reason.count(); ++i) lines.push_back(toUtf8(reason.strings(i)));
    return lines;
  }

  TnxLockFailureReason reason;

 private:
  TnxServerTransContext* context_;
  TnxServerRootTable* table_;
};

// Persistent tables built through the folder and opened, and sessions each
// with a transaction context.
class TransactionTest : public ServerTableTest {
 protected:
  void SetUp() override {
    ServerTableTest::SetUp();
    for (const char16_t* name : {u"t1", u"t2", u"t3"}) {
      ASSERT_EQ(Build(name, tableDictionary(true)), 0) << toUtf8(nxtest::pendingMessage());
      TnxResult result = 0;
      tables_.push_back(Open(name, result));
      ASSERT_EQ(result, 0);
    }
  }
  void TearDown() override {
    cursors_.clear();
    for (TnxAbstractTransContext* c : contexts_) platform::TObject::free(c);
    for (TnxServerRootTable* t : tables_) Drop(t);
    ServerTableTest::TearDown();
  }
  TnxAbstractSession* Session() {
    TnxAbstractSession* session = nullptr;
    EXPECT_EQ(engine_->SessionOpen(session, u"user", u"pw", u"test", 0), 0);
    return session;
  }
  TnxServerTransContext* Context(TnxAbstractSession* aSession, TnxWord32 aTimeout = 300) {
    TnxAbstractTransContext* context = nullptr;
    EXPECT_EQ(aSession->TransContextCreate(context, aTimeout), 0);
    contexts_.push_back(context);
    return static_cast<TnxServerTransContext*>(context);
  }
  ContentTestCursor* Cursor(TnxServerTransContext* aContext, int aTable = 0) {
    cursors_.push_back(std::make_unique<ContentTestCursor>(aContext, tables_.at(static_cast<std::size_t>(aTable))));
    return cursors_.back().get();
  }
  TnxServerRootTable* Table(int aIndex = 0) { return tables_.at(static_cast<std::size_t>(aIndex)); }
  std::int32_t GrantedCount(int aTable = 0) {
    TnxTransLinksGuard guard(Table(aTable));
    std::int32_t n = 0;
    for (auto* l = Table(aTable)->srtTransLinksGrantedHead; l; l = l->TableNext()) ++n;
    return n;
  }
  bool Waiting(int aTable = 0) {
    TnxTransLinksGuard guard(Table(aTable));
    return Table(aTable)->srtTransLinksPendingHead || Table(aTable)->srtTransLinksPendingUpgrade;
  }
  void WaitUntilWaiting(int aTable = 0) {
    while (!Waiting(aTable)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  static std::int32_t Level(TnxServerTransContext* aContext) {
    std::int32_t level = -1;
    return aContext->TransactionGetLevel(level) == 0 ? level : -1;
  }

  std::vector<TnxServerRootTable*> tables_;
  std::vector<TnxAbstractTransContext*> contexts_;
  std::vector<std::unique_ptr<ContentTestCursor>> cursors_;
};

// ---- transactions ---------------------------------------------------------------------

TEST_F(TransactionTest, WithoutTransactionEveryOperationAnswers10257) {
  TnxServerTransContext* context = Context(Session());
  std::int32_t level = 7;
  TnxTransactionInfo info;
  info.tiLevel = 5;
  info.tiLevels.resize(2);
  EXPECT_EQ(context->TransactionCommit(), 10257);
  EXPECT_EQ(context->TransactionRollback(), 10257);
  EXPECT_EQ(context->TransactionCorrupted(), 10257);
  EXPECT_EQ(context->TransactionGetLevel(level), 10257);
  EXPECT_EQ(context->TransactionGetInfo(info, false), 10257);
  EXPECT_EQ(info.tiLevel, 0);
  EXPECT_TRUE(info.tiLevels.empty());
}

TEST_F(TransactionTest, InfoAtLevelTwoHasThreeLevelRecords) {
  TnxServerTransContext* context = Context(Session());
  for (int i = 0; i < 3; ++i) ASSERT_EQ(context->TransactionStart(false, false), 0);
  TnxTransactionInfo info;
  ASSERT_EQ(context->TransactionGetInfo(info, false), 0);
  EXPECT_EQ(info.tiLevel, 2);
  ASSERT_EQ(info.tiLevels.size(), 3u);
  for (std::int32_t i = 0; i < 3; ++i) EXPECT_EQ(info.tiLevels[static_cast<std::size_t>(i)].tliLevel, i);
  EXPECT_LE(info.tiLevels[0].tliStartLSN, info.tiLevels[2].tliStartLSN);
  for (int i = 2; i >= 0; --i) {
    EXPECT_EQ(Level(context), i);
    ASSERT_EQ(context->TransactionCommit(), 0);
  }
  EXPECT_EQ(context->Transaction(), nullptr);
}

TEST_F(TransactionTest, NoMoreNestedLevelsOnlyCountAndTheirRollbackCorruptsTheLevel) {
  TnxServerTransContext* context = Context(Session());
  ASSERT_EQ(context->stcTransactionStart(false, false, false, true, false, false), 0);
  ASSERT_EQ(context->TransactionStart(false, false), 0);
  EXPECT_EQ(Level(context), 1);
  EXPECT_EQ(context->Transaction()->TransLevel()->tlLevel, 0);
  ASSERT_EQ(context->TransactionCommit(), 0);  // the pseudo-level
  EXPECT_EQ(Level(context), 0);
  ASSERT_EQ(context->TransactionStart(false, false), 0);
  ASSERT_EQ(context->TransactionRollback(), 0);
  EXPECT_EQ(context->TransactionCommit(), 15443);
  ASSERT_EQ(context->TransactionRollback(), 0);
  EXPECT_EQ(context->Transaction(), nullptr);
  // A forced nested start makes a real level.
  ASSERT_EQ(context->stcTransactionStart(false, false, false, true, false, false), 0);
  ASSERT_EQ(context->stcTransactionStart(false, false, false, false, true, false), 0);
  EXPECT_EQ(context->Transaction()->TransLevel()->tlLevel, 1);
  context->atcForceRollback();
  EXPECT_EQ(context->Transaction(), nullptr);
}

TEST_F(TransactionTest, LevelInUseRefusesCommitAndRollbackWith8455) {
  TnxServerTransContext* context = Context(Session());
  ASSERT_EQ(context->TransactionStart(false, false), 0);
  context->Transaction()->Lock();
  EXPECT_EQ(context->TransactionCommit(), 8455);
  EXPECT_EQ(toUtf8(nxtest::pendingMessage()).rfind("The current transaction level is in use. Can't commit or rollback", 0),
            0u);
  EXPECT_EQ(context->TransactionRollback(), 8455);
  context->Transaction()->Unlock();
  EXPECT_EQ(context->TransactionRollback(), 0);
}

TEST_F(TransactionTest, FailedContextRefusesWith15443AndForcedRollbackLeavesNoTransaction) {
  TnxServerTransContext* context = Context(Session());
  ASSERT_EQ(context->TransactionStart(false, false), 0);
  ASSERT_EQ(context->TransactionStart(false, false), 0);
  ASSERT_EQ(Cursor(context)->Exclusive(), 0);
  context->atcForceRollback();
  EXPECT_EQ(context->Transaction(), nullptr);
  EXPECT_EQ(GrantedCount(), 0);
  context->Failed();
  EXPECT_EQ(context->TransactionStart(false, false), 15443);
  EXPECT_EQ(context->Transaction(), nullptr);
}

TEST_F(TransactionTest, CorruptedLevelRefusesCommitUntilRolledBack) {
  TnxServerTransContext* context = Context(Session());
  ASSERT_EQ(context->TransactionStart(false, false), 0);
  ASSERT_EQ(context->TransactionCorrupted(), 0);
  EXPECT_EQ(context->TransactionCommit(), 15443);
  EXPECT_EQ(context->TransactionStart(false, false), 15443);
  EXPECT_EQ(context->TransactionRollback(), 0);
  EXPECT_EQ(context->Transaction(), nullptr);
}

TEST_F(TransactionTest, NestedCommitMovesLinksToTheParentAndTopCommitReleasesThem) {
  TnxServerTransContext* context = Context(Session());
  ContentTestCursor* cursor = Cursor(context);
  ASSERT_EQ(context->TransactionStart(false, false), 0);
  ASSERT_EQ(context->TransactionStart(false, false), 0);
  ASSERT_EQ(cursor->Exclusive(), 0);
  TnxServerTransactionLevelTableLink* link = cursor->TransLink();
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->Level()->tlLevel, 1);
  ASSERT_EQ(context->TransactionCommit(), 0);
  EXPECT_EQ(cursor->TransLink(), link);
  EXPECT_EQ(link->Level()->tlLevel, 0);
  EXPECT_EQ(context->Transaction()->CurrentLevel()->LinkCount(), 1);
  EXPECT_EQ(GrantedCount(), 1);
  ASSERT_EQ(context->TransactionCommit(), 0);
  EXPECT_EQ(cursor->TransLink(), nullptr);
  EXPECT_EQ(GrantedCount(), 0);
}

TEST_F(TransactionTest, RolledBackNestedUpgradeRestoresTheSharedLinkAndItsCursors) {
  TnxServerTransContext* context = Context(Session());
  ContentTestCursor* first = Cursor(context);
  ContentTestCursor* second = Cursor(context);
  ASSERT_EQ(context->TransactionStart(false, false), 0);
  ASSERT_EQ(first->Shared(), 0);
  ASSERT_EQ(second->Shared(), 0);
  TnxServerTransactionLevelTableLink* shared = first->TransLink();
  EXPECT_EQ(second->TransLink(), shared);  // one link per transaction and table
  ASSERT_EQ(context->TransactionStart(false, false), 0);
  ASSERT_EQ(first->Exclusive(), 0);
  TnxServerTransactionLevelTableLink* upgrade = first->TransLink();
  EXPECT_NE(upgrade, shared);
  EXPECT_EQ(upgrade->Level()->tlLevel, 1);
  EXPECT_EQ(shared->ConvertTo(), upgrade);
  ASSERT_EQ(second->Exclusive(), 0);  // follows the upgrade
  EXPECT_EQ(second->TransLink(), upgrade);
  ASSERT_EQ(context->TransactionRollback(), 0);
  EXPECT_EQ(first->TransLink(), shared);
  EXPECT_EQ(second->TransLink(), shared);
  EXPECT_FALSE(shared->Exclusive());
  EXPECT_EQ(shared->ConvertTo(), nullptr);
  EXPECT_EQ(context->Transaction()->LinkFor(Table()), shared);
  EXPECT_EQ(GrantedCount(), 1);
  ASSERT_EQ(context->TransactionCommit(), 0);
  EXPECT_EQ(GrantedCount(), 0);
}

TEST_F(TransactionTest, NestedUpgradeCommittedReplacesTheSharedLink) {
  TnxServerTransContext* context = Context(Session());
  ContentTestCursor* cursor = Cursor(context);
  ASSERT_EQ(context->TransactionStart(false, false), 0);
  ASSERT_EQ(cursor->Shared(), 0);
  ASSERT_EQ(context->TransactionStart(false, false), 0);
  ASSERT_EQ(cursor->Exclusive(), 0);
  ASSERT_EQ(context->TransactionCommit(), 0);
  TnxServerTransactionLevelTableLink* link = cursor->TransLink();
  EXPECT_TRUE(link->Exclusive());
  EXPECT_EQ(link->ConvertFrom(), nullptr);
  EXPECT_EQ(context->Transaction()->CurrentLevel()->LinkCount(), 1);
  ASSERT_EQ(context->TransactionCommit(), 0);
}

TEST_F(TransactionTest, StartWithCursorsLocksEachOrRollsBackTheNewLevel) {
  TnxAbstractSession* a = Session();
  TnxServerTransContext* context = Context(a);
  TnxServerTransContext* other = Context(Session());
  ContentTestCursor* first = Cursor(context, 0);
  ContentTestCursor* second = Cursor(context, 1);
  // A cursor of another context: nothing starts.
  ContentTestCursor* foreign = Cursor(other, 0);
  TnxServerTransLinkCursor* withForeign[] = {first, foreign};
  EXPECT_EQ(context->stcTransactionStartWith(false, false, withForeign, false, false, false, false), 9990);
  EXPECT_EQ(context->Transaction(), nullptr);
  TnxAbstractCursor* none[] = {nullptr};
  EXPECT_EQ(context->TransactionStartWith(false, false, none), 9990);
  EXPECT_EQ(context->Transaction(), nullptr);

  // The second table is held by another transaction: the new level goes.
  ASSERT_EQ(other->TransactionStart(false, false), 0);
  ASSERT_EQ(Cursor(other, 1)->Shared(), 0);
  ASSERT_EQ(context->TransactionStart(false, false), 0);
  TnxServerTransLinkCursor* both[] = {first, second};
  nxSetTimeout(0, true);
  EXPECT_EQ(context->stcTransactionStartWith(false, false, both, false, false, false, false), 10249);
  EXPECT_EQ(Level(context), 0);
  EXPECT_EQ(first->TransLink(), nullptr);
  EXPECT_EQ(GrantedCount(0), 0);
  ASSERT_EQ(other->TransactionCommit(), 0);
  EXPECT_EQ(context->stcTransactionStartWith(false, false, both, false, false, false, false), 0);
  EXPECT_EQ(Level(context), 1);
  EXPECT_TRUE(first->TransLink()->Exclusive());
  EXPECT_TRUE(second->TransLink()->Exclusive());
  ASSERT_EQ(context->TransactionRollback(), 0);
  ASSERT_EQ(context->TransactionRollback(), 0);
}

// ---- content locks ----------------------------------------------------------------------

TEST_F(TransactionTest, SharedReadersShareAndExclusiveWaitsUntilBothCommit) {
  nxtest::Watchdog watchdog;
  TnxServerTransContext* a = Context(Session());
  TnxServerTransContext* b = Context(Session());
  TnxServerTransContext* c = Context(Session());
  ContentTestCursor* ca = Cursor(a);
  ContentTestCursor* cb = Cursor(b);
  ContentTestCursor* cc = Cursor(c);
  ASSERT_EQ(a->TransactionStart(false, false), 0);
  ASSERT_EQ(b->TransactionStart(false, false), 0);
  ASSERT_EQ(ca->Shared(), 0);
  ASSERT_EQ(cb->Shared(), 0);
  EXPECT_EQ(GrantedCount(), 2);
  auto writer = std::async(std::launch::async, [&] {
    EXPECT_EQ(c->TransactionStart(false, false), 0);
    nxSetTimeout(3000, true);
    const TnxResult result = cc->Exclusive();
    return std::make_pair(result, TxClock::now());
  });
  WaitUntilWaiting();
  ASSERT_EQ(a->TransactionCommit(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(Waiting());
  const TxClock::time_point released = TxClock::now();
  ASSERT_EQ(b->TransactionCommit(), 0);
  auto [result, granted] = writer.get();
  EXPECT_EQ(result, 0);
  EXPECT_LT(txMsBetween(released, granted), kTxPromptMs);
  EXPECT_TRUE(cc->TransLink()->Exclusive());
  EXPECT_EQ(GrantedCount(), 1);
  ASSERT_EQ(c->TransactionCommit(), 0);
}

TEST_F(TransactionTest, UpgradeInPlaceWhenAloneAndInTheSlotBesideAnotherReader) {
  nxtest::Watchdog watchdog;
  TnxServerTransContext* a = Context(Session());
  TnxServerTransContext* b = Context(Session());
  ContentTestCursor* ca = Cursor(a);
  ContentTestCursor* cb = Cursor(b);
  ASSERT_EQ(a->TransactionStart(false, false), 0);
  ASSERT_EQ(ca->Shared(), 0);
  TnxServerTransactionLevelTableLink* link = ca->TransLink();
  ASSERT_EQ(ca->Exclusive(), 0);
  EXPECT_EQ(ca->TransLink(), link);
  EXPECT_TRUE(link->Exclusive());
  ASSERT_EQ(a->TransactionCommit(), 0);

  ASSERT_EQ(a->TransactionStart(false, false), 0);
  ASSERT_EQ(b->TransactionStart(false, false), 0);
  ASSERT_EQ(ca->Shared(), 0);
  ASSERT_EQ(cb->Shared(), 0);
  auto upgrader = std::async(std::launch::async, [&] {
    nxSetTimeout(3000, true);
    return ca->Exclusive();
  });
  while (true) {
    TnxTransLinksGuard guard(Table());
    if (Table()->srtTransLinksPendingUpgrade) break;
  }
  // A second upgrade on the table: deadlock, its level rolled back.
  nxSetTimeout(3000, true);
  const TxClock::time_point start = TxClock::now();
  EXPECT_EQ(cb->Exclusive(), 10255);
  EXPECT_LT(txMsBetween(start, TxClock::now()), kTxPromptMs);
  EXPECT_EQ(cb->TransLink(), nullptr);
  EXPECT_EQ(upgrader.get(), 0);  // b's shared link went with the rollback
  EXPECT_TRUE(ca->TransLink()->Exclusive());
  EXPECT_EQ(b->TransactionStart(false, false), 10255);
  EXPECT_EQ(b->TransactionCommit(), 10255);
  EXPECT_EQ(b->Transaction()->CheckState(), 10255);
  EXPECT_EQ(b->TransactionRollback(), 0);
  EXPECT_EQ(b->Transaction(), nullptr);
  ASSERT_EQ(a->TransactionCommit(), 0);
}

TEST_F(TransactionTest, RequestMeetingItsOwnSessionFailsAtOnce) {
  nxtest::Watchdog watchdog;
  TnxAbstractSession* session = Session();
  TnxServerTransContext* first = Context(session);
  TnxServerTransContext* second = Context(session);
  ContentTestCursor* c1 = Cursor(first);
  ContentTestCursor* c2 = Cursor(second);
  const std::string table = "t1";
  struct Case {
    bool holderExclusive;
    bool requestExclusive;
    std::string line;
  };
  const Case cases[] = {
      {true, false,
       "The requested shared transaction lock for table \"t1\" could not be granted due to a conflicting exclusive "
       "transaction lock.<[--!LockError.Type=transaction!--]><[--!LockError.RequestExclusive=0!--]>"
       "<[--!LockError.ConflictExclusive=1!--]><[--!LockError.ConflictMultiple=0!--]>"},
      {false, true,
       "The requested exclusive transaction lock for table \"t1\" could not be granted due to a conflicting shared "
       "transaction lock.<[--!LockError.Type=transaction!--]><[--!LockError.RequestExclusive=1!--]>"
       "<[--!LockError.ConflictExclusive=0!--]><[--!LockError.ConflictMultiple=0!--]>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ASSERT_EQ(first->TransactionStart(false, false), 0);
    ASSERT_EQ(c.holderExclusive ? c1->Exclusive() : c1->Shared(), 0);
    ASSERT_EQ(second->TransactionStart(false, false), 0);
    nxSetTimeout(2000, true);
    const TxClock::time_point start = TxClock::now();
    EXPECT_EQ(c.requestExclusive ? c2->Exclusive() : c2->Shared(), 10249);
    EXPECT_LT(txMsBetween(start, TxClock::now()), kTxPromptMs);
    EXPECT_EQ(c2->Reason(), (std::vector<std::string>{c.line, "", "<[--!LockError.SameSession=1!--]>"}));
    EXPECT_TRUE(c2->reason.SameSession);
    EXPECT_EQ(c2->TransLink(), nullptr);
    ASSERT_EQ(second->TransactionRollback(), 0);
    ASSERT_EQ(first->TransactionCommit(), 0);
  }
}

TEST_F(TransactionTest, ConflictWithoutTimeToWaitFailsAtOnceWithTheOtherSessionNamed) {
  nxtest::Watchdog watchdog;
  TnxAbstractSession* holderSession = Session();
  TnxServerTransContext* holder = Context(holderSession);
  TnxServerTransContext* requester = Context(Session());
  ContentTestCursor* ch = Cursor(holder);
  ContentTestCursor* cr = Cursor(requester);
  ASSERT_EQ(holder->TransactionStart(false, false), 0);
  ASSERT_EQ(ch->Exclusive(), 0);
  ASSERT_EQ(requester->TransactionStart(false, false), 0);
  for (TnxWord32 timeout : {TnxWord32{0}, TnxWord32{5}}) {
    nxSetTimeout(timeout, true);
    const TxClock::time_point start = TxClock::now();
    EXPECT_EQ(cr->Shared(), 10249);
    EXPECT_LT(txMsBetween(start, TxClock::now()), kTxPromptMs);
  }
  platform::TStringList info;
  holderSession->GetUserInfo(info);
  std::vector<std::string> expected = {
      "The requested shared transaction lock for table \"t1\" could not be granted due to a conflicting exclusive "
      "transaction lock.<[--!LockError.Type=transaction!--]><[--!LockError.RequestExclusive=0!--]>"
      "<[--!LockError.ConflictExclusive=1!--]><[--!LockError.ConflictMultiple=0!--]>",
      "", "The conflict occurred with the following session:"};
  for (int i = 0; i < info.count(); ++i) expected.push_back(toUtf8(info.strings(i)));
  EXPECT_EQ(cr->Reason(), expected);
  EXPECT_FALSE(cr->reason.SameSession);
  // A conditional request does not wait either.
  nxSetTimeout(2000, true);
  EXPECT_EQ(cr->sbcBeginContentLock(false, true, false), 10249);
  EXPECT_FALSE(Waiting());
  ASSERT_EQ(requester->TransactionRollback(), 0);
  ASSERT_EQ(holder->TransactionCommit(), 0);
}

TEST_F(TransactionTest, SnapshotLinksNeverConflict) {
  TnxServerTransContext* writer = Context(Session());
  TnxServerTransContext* reader = Context(Session());
  ContentTestCursor* cw = Cursor(writer);
  ContentTestCursor* cr = Cursor(reader);
  ASSERT_EQ(writer->TransactionStart(false, false), 0);
  ASSERT_EQ(cw->Exclusive(), 0);
  ASSERT_EQ(reader->TransactionStart(false, true), 0);
  nxSetTimeout(0, true);
  ASSERT_EQ(cr->Shared(), 0);
  EXPECT_TRUE(cr->TransLink()->Snapshot());
  EXPECT_EQ(cr->Exclusive(), 10763);
  EXPECT_EQ(GrantedCount(), 1);
  ASSERT_EQ(reader->TransactionCommit(), 0);
  ASSERT_EQ(writer->TransactionCommit(), 0);
}

TEST_F(TransactionTest, SharedRequestBesideAWaitingExclusiveIsGrantedAtOnce) {
  nxtest::Watchdog watchdog;
  TnxServerTransContext* a = Context(Session());
  TnxServerTransContext* b = Context(Session());
  TnxServerTransContext* c = Context(Session());
  ContentTestCursor* ca = Cursor(a);
  ContentTestCursor* cc = Cursor(c);
  ASSERT_EQ(a->TransactionStart(false, false), 0);
  ASSERT_EQ(ca->Shared(), 0);
  auto writer = std::async(std::launch::async, [&] {
    EXPECT_EQ(c->TransactionStart(false, false), 0);
    nxSetTimeout(3000, true);
    return cc->Exclusive();
  });
  WaitUntilWaiting();
  ASSERT_EQ(b->TransactionStart(false, false), 0);
  nxSetTimeout(0, true);
  EXPECT_EQ(Cursor(b)->Shared(), 0);
  EXPECT_EQ(GrantedCount(), 2);
  ASSERT_EQ(a->TransactionCommit(), 0);
  ASSERT_EQ(b->TransactionCommit(), 0);
  EXPECT_EQ(writer.get(), 0);
  ASSERT_EQ(c->TransactionCommit(), 0);
}

TEST_F(TransactionTest, DeadlockHandlingRunsWithoutLinkPadlockHeld) {
  TnxServerTransContext* context = Context(Session());
  ASSERT_EQ(context->TransactionStart(false, false), 0);
  ASSERT_EQ(Cursor(context)->Shared(), 0);
  {
    TnxTransLinksGuard guard(Table());
    EXPECT_TRUE(srtTransLinksPadlockHeld());
    try {
      context->Transaction()->CurrentLevel()->stlDeadlock();
      ADD_FAILURE() << "no assertion";
    } catch (const std::exception& e) {
      EXPECT_NE(std::string(e.what()).find("link padlock held"), std::string::npos) << e.what();
    }
    EXPECT_EQ(context->Transaction()->CheckState(), 0);
  }
  EXPECT_FALSE(srtTransLinksPadlockHeld());
  ASSERT_EQ(context->TransactionRollback(), 0);
}

TEST_F(TransactionTest, NestedChangesFoldIntoTheParentOrGoWithTheRollback) {
  TnxServerTransContext* context = Context(Session());
  ContentTestCursor* cursor = Cursor(context);
  std::vector<std::uint8_t> record(static_cast<std::size_t>(Table()->FieldsDescriptor()->RecordLength()) + 16, 0);
  auto add = [&] {
    TnxRefNr refNr = 0;
    Table()->RecordEngine()->AddRecord(context->Transaction(), refNr, record.data());
  };
  auto count = [&] {
    std::uint32_t n = 0;
    Table()->RecordEngine()->GetRecordCount(context->Transaction(), n);
    return static_cast<int>(n);
  };
  ASSERT_EQ(context->TransactionStart(false, false), 0);
  ASSERT_EQ(context->TransactionStart(false, false), 0);
  ASSERT_EQ(cursor->Exclusive(), 0);
  add();
  ASSERT_EQ(context->TransactionStart(false, false), 0);
  add();
  EXPECT_EQ(count(), 2);
  ASSERT_EQ(context->TransactionRollback(), 0);
  EXPECT_EQ(count(), 1);
  ASSERT_EQ(context->TransactionCommit(), 0);
  EXPECT_EQ(count(), 1);
  EXPECT_EQ(GrantedCount(), 1);
  ASSERT_EQ(context->TransactionCommit(), 0);
  EXPECT_EQ(GrantedCount(), 0);
  ASSERT_EQ(context->TransactionStart(false, false), 0);
  EXPECT_EQ(count(), 1);
  ASSERT_EQ(context->TransactionRollback(), 0);
}

// ---- journals --------------------------------------------------------------------------

TEST_F(TransactionTest, CommitOfAPersistentTableWritesItsJournalFirstAndRemovesIt) {
  TnxServerTransContext* context = Context(Session());
  ContentTestCursor* cursor = Cursor(context);
  ASSERT_EQ(context->TransactionStart(false, false), 0);
  ASSERT_EQ(cursor->Exclusive(), 0);
  TnxServerTransaction* trans = context->Transaction();
  std::vector<std::uint8_t> record(static_cast<std::size_t>(Table()->FieldsDescriptor()->RecordLength()) + 16, 0);
  TnxRefNr refNr = 0;
  Table()->RecordEngine()->AddRecord(trans, refNr, record.data());
  const TnxLSN lsn = trans->btLSN;
  fx.Fs().clearRecords();
  ASSERT_EQ(context->TransactionCommit(), 0);
  const auto writes = fx.Fs().writes();
  ASSERT_FALSE(writes.empty());
  // Written under its writing name, then renamed to the journal's name.
  const std::string journal = "/data/" + std::to_string(lsn) + ".n$2";
  const std::string writing = journal + ".tmp";
  EXPECT_EQ(writes.front().path, writing);
  // The journal holds the before-images (beyond its header) before the
  // first table block is written; once the table is durable it is retired.
  std::size_t firstTable = writes.size();
  for (std::size_t i = 0; i < writes.size() && firstTable == writes.size(); ++i)
    if (writes[i].path == "/data/t1.nx1") firstTable = i;
  ASSERT_LT(firstTable, writes.size());
  std::size_t imageBytes = 0;
  for (std::size_t i = 0; i < firstTable; ++i)
    if (writes[i].path == writing) imageBytes += writes[i].count;
  EXPECT_GT(imageBytes, 4096u);
  EXPECT_FALSE(Exists(journal));
  EXPECT_FALSE(Exists(writing));
}

TEST_F(TransactionTest, NoJournalForMemoryTablesOrWithoutDefaultClass) {
  TnxServerTransContext* context = Context(Session());
  ContentTestCursor* cursor = Cursor(context);
  const platform::ClassInfo* previous = nxGetDefaultJournalEngineClass();
  nxSetDefaultJournalEngineClass(nullptr);
  ASSERT_EQ(context->TransactionStart(false, false), 0);
  ASSERT_EQ(cursor->Exclusive(), 0);
  std::vector<std::uint8_t> record(static_cast<std::size_t>(Table()->FieldsDescriptor()->RecordLength()) + 16, 0);
  TnxRefNr refNr = 0;
  Table()->RecordEngine()->AddRecord(context->Transaction(), refNr, record.data());
  fx.Fs().clearRecords();
  ASSERT_EQ(context->TransactionCommit(), 0);
  nxSetDefaultJournalEngineClass(previous);
  for (const auto& w : fx.Fs().writes()) EXPECT_EQ(w.path.find(".n$2"), std::string::npos) << w.path;
}

// ---- stress ------------------------------------------------------------------------------

// Readers of one table all upgrading at the same moment: the first takes the
// upgrade slot and every other one is a deadlock, never a second upgrade in
// the slot, however their looks at the slot interleave.
TEST_F(TransactionTest, UpgradesStartedTogetherLeaveOneUpgradeAndDeadlockTheRest) {
  constexpr int kReaders = 6;
  constexpr int kRounds = 500;
  std::vector<TnxServerTransContext*> contexts;
  std::vector<ContentTestCursor*> cursors;
  for (int i = 0; i < kReaders; ++i) {
    contexts.push_back(Context(Session()));
    cursors.push_back(Cursor(contexts.back()));
  }
  std::barrier sync(kReaders);
  std::atomic<int> granted{0}, deadlocked{0};
  std::vector<std::string> faults(kReaders);
  nxtest::runThreads(kReaders, [&](int aIndex) {
    const auto i = static_cast<std::size_t>(aIndex);
    TnxServerTransContext* context = contexts[i];
    for (int round = 0; round < kRounds; ++round) {
      try {
        if (faults[i].empty()) {
          if (context->TransactionStart(false, false) != 0 || cursors[i]->Shared() != 0) faults[i] = "no shared lock";
        }
        sync.arrive_and_wait();
        if (faults[i].empty()) {
          nxSetTimeout(5000, true);
          const TnxResult result = cursors[i]->Exclusive();
          if (result == 0) {
            ++granted;
          } else if (result == 10255) {
            ++deadlocked;
          } else {
            faults[i] = "upgrade gave " + std::to_string(result);
          }
        }
      } catch (const std::exception& e) {
        faults[i] = e.what();
      }
      try {
        while (context->Transaction()) context->TransactionRollback();
      } catch (const std::exception& e) {
        if (faults[i].empty()) faults[i] = e.what();
      }
      sync.arrive_and_wait();
    }
  });
  for (const std::string& fault : faults) EXPECT_EQ(fault, "");
  EXPECT_EQ(granted.load(), kRounds);
  EXPECT_EQ(deadlocked.load(), kRounds * (kReaders - 1));
  TnxTransLinksGuard guard(Table());
  EXPECT_EQ(Table()->srtTransLinksGrantedHead, nullptr);
  EXPECT_EQ(Table()->srtTransLinksPendingUpgrade, nullptr);
}

TEST_F(TransactionTest, StressOfSharedExclusiveAndUpgradeRequestsEndsCleanly) {
  nxtest::Watchdog watchdog;
  constexpr int kThreads = 8;
  std::vector<TnxServerTransContext*> contexts;
  for (int i = 0; i < kThreads; ++i) contexts.push_back(Context(Session()));
  std::atomic<bool> bad{false};
  std::atomic<TnxResult> unexpected{0};
  std::atomic<int> grants{0}, timeouts{0}, deadlocks{0};
  const auto until = TxClock::now() + std::chrono::milliseconds(2500);
  auto checkInvariant = [&](TnxServerRootTable* aTable) {
    TnxTransLinksGuard guard(aTable);
    std::int32_t count = 0;
    bool exclusive = false;
    for (auto* l = aTable->srtTransLinksGrantedHead; l; l = l->TableNext()) {
      ++count;
      exclusive = exclusive || l->Exclusive();
      if (l->State() != ttlsGranted) bad = true;
    }
    if (exclusive && count != 1) bad = true;
  };
  nxtest::runThreads(kThreads, [&](int aIndex) {
    std::mt19937 random(static_cast<unsigned>(aIndex) * 7919u + 1u);
    TnxServerTransContext* context = contexts[static_cast<std::size_t>(aIndex)];
    std::vector<std::unique_ptr<ContentTestCursor>> cursors;
    for (int t = 0; t < 3; ++t) cursors.push_back(std::make_unique<ContentTestCursor>(context, Table(t)));
    while (TxClock::now() < until) {
      if (const TnxResult start = context->TransactionStart(false, false)) {
        unexpected = start;
        bad = true;
        break;
      }
      const int depth = static_cast<int>(random() % 3);
      for (int d = 0; d < depth; ++d) context->TransactionStart(false, false);
      bool failed = false;
      for (int step = 0; step < 3 && !failed; ++step) {
        ContentTestCursor& cursor = *cursors[random() % 3];
        nxSetTimeout(100 + random() % 200, true);
        const int kind = static_cast<int>(random() % 3);
        TnxResult result = kind == 0 ? cursor.Shared() : kind == 1 ? cursor.Exclusive() : cursor.Shared();
        if (kind == 2 && result == 0) result = cursor.Exclusive();  // upgrade
        if (result == 0) {
          ++grants;
          checkInvariant(cursor.TransLink()->Table());
        } else if (result == 10249) {
          ++timeouts;
        } else if (result == 10255) {
          ++deadlocks;
          failed = true;
        } else {
          unexpected = result;
          bad = true;
          failed = true;
        }
      }
      const bool commit = !failed && random() % 2 == 0;
      while (context->Transaction()) {
        const TnxResult end = commit ? context->TransactionCommit() : context->TransactionRollback();
        if (end != 0 && end != 10255) {
          unexpected = end;
          bad = true;
          context->TransactionRollback();
        }
        if (end == 10255) context->TransactionRollback();
      }
    }
  });
  EXPECT_FALSE(bad.load()) << "unexpected code " << unexpected.load();
  EXPECT_GT(grants.load(), 0);
  for (int t = 0; t < 3; ++t) {
    TnxTransLinksGuard guard(Table(t));
    EXPECT_EQ(Table(t)->srtTransLinksGrantedHead, nullptr);
    EXPECT_EQ(Table(t)->srtTransLinksPendingHead, nullptr);
    EXPECT_EQ(Table(t)->srtTransLinksPendingUpgrade, nullptr);
  }
  std::printf("stress: %d grants, %d time-outs, %d deadlocks\n", grants.load(), timeouts.load(), deadlocks.load());
}

}  // namespace
