#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <future>
#include <thread>
#include <string>
#include <vector>

#include "nxsdDataDictionaryRefInt.h"
#include "nxsdDefaultValueEngine.h"
#include "nxsrServerEngineTableTestSupport.h"
#include "nxTestWatchdog.h"
#include "plString.h"

namespace {

using nxtest::ServerEngineFixture;

// What the protocol did, in order: "deadline", "prim(locked)" and the like.
std::vector<std::string>& cursorProtocolLog() {
  static std::vector<std::string> log;
  return log;
}

bool recordingSetTimeout(TnxWord32, bool) {
  cursorProtocolLog().push_back("deadline");
  return true;
}

// A table cursor whose primitives record whether the session lock is held
// and then do what the test asks.
class ProbeCursor : public TnxServerTableCursor {
 public:
  using TnxServerTableCursor::TnxServerTableCursor;
  std::function<TnxResult()> action = [] { return TnxResult(0); };

  TnxResult Probe(const char* aName) {
    auto* lock = static_cast<TnxSimpleLock*>(SessionLock());
    cursorProtocolLog().push_back(std::string(aName) + (lock->LockCountOfCurrentThread() > 0 ? "(locked)" : "(free)"));
    return action();
  }
  TnxResult sbcGetIndexID(std::int32_t&) override { return Probe("GetIndexID"); }
  TnxResult sbcRecordGet(TnxLockType, PnxRecordBuffer) override { return Probe("RecordGet"); }
  TnxResult sbcSetToCursor(TnxAbstractCursor*) override { return Probe("SetToCursor"); }
  TnxResult sbcBlobWrite(const TnxRecID&, std::int32_t, TnxBlobNr, std::uint32_t, std::uint32_t,
                         const void*) override {
    return Probe("BlobWrite");
  }
  TnxResult sbcAutoIncSet(std::uint32_t) override { return Probe("AutoIncSet"); }
  TnxResult sbcChangePassword(const nxString&) override { return Probe("ChangePassword"); }
  TnxResult sbcRecordInsertBatch(TnxMemoryStream*) override { return Probe("RecordInsertBatch"); }
  TnxResult sbcTableStreamWrite(const nxString&, TStream&, bool) override { return Probe("TableStreamWrite"); }
  TnxResult sbcSetToBegin() override { return Probe("SetToBegin"); }
  TnxResult sbcRecordGetForKey(std::int32_t, std::int32_t, bool, const void*, PnxRecordBuffer, bool, bool) override {
    return Probe("RecordGetForKey");
  }
  TnxResult sbcRecordGetForKeyBatch(std::int32_t, TnxRecordGetBatchExOptions, TnxBatchStreamAccess*&,
                                    const TnxDataSetKeyBufferArray&, bool, bool) override {
    return Probe("RecordGetForKeyBatch");
  }
  // The dictionary the cursor reports, when set before the cursor is made.
  static inline TnxDataDictionary* reportedDictionary = nullptr;
  TnxDataDictionary* Get_Dictionary() override {
    return reportedDictionary ? reportedDictionary : TnxServerTableCursor::Get_Dictionary();
  }
  void MarkWriteOnly(TnxResult aResult, const nxString& aMessage) {
    sbcIsWriteOnly = true;
    sbcWriteOnlyResult = aResult;
    sbcWriteOnlyResultMessage = aMessage;
  }
  TnxResult sbcRecNoGet(std::uint32_t&, bool) override { return Probe("RecNoGet"); }
  TnxResult sbcAutoIncGet(std::uint32_t&) override { return Probe("AutoIncGet"); }
  TnxLockPresent sbcTableIsLocked(TnxLockType) override {
    Probe("TableIsLocked");
    return lpNotAtAll;
  }
  TnxResult sbcDuplicate(TnxOpenMode, TnxAbstractCursor*&, bool) override { return Probe("Duplicate"); }
  TnxResult sbcRangeSet(std::int32_t, std::int32_t, bool, const void*, bool, std::int32_t, std::int32_t, bool,
                        const void*, bool) override {
    return Probe("RangeSet");
  }
  TnxResult sbcRangeReset() override {
    if (recordReset) return Probe("RangeReset");
    return 0;
  }
  // The content lock is only recorded; beginResult is its answer.
  TnxResult sbcBeginContentLock(bool aExclusive, bool aConditional, bool aInternal) override {
    if (!recordContentLock) return TnxServerTableCursor::sbcBeginContentLock(aExclusive, aConditional, aInternal);
    auto* lock = static_cast<TnxSimpleLock*>(SessionLock());
    cursorProtocolLog().push_back(lock->LockCountOfCurrentThread() > 0 ? "begin(locked)" : "begin(free)");
    return beginResult;
  }
  void sbcEndContentLock() override {
    if (!recordContentLock) return TnxServerTableCursor::sbcEndContentLock();
    auto* lock = static_cast<TnxSimpleLock*>(SessionLock());
    cursorProtocolLog().push_back(lock->LockCountOfCurrentThread() > 0 ? "end(locked)" : "end(free)");
  }
  bool recordReset = false;
  bool recordContentLock = false;
  TnxResult beginResult = 0;
};

// One session with a database on "/data/db" whose tables are built through
// the folder on the fault file system.
class ServerCursorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nxSetTimeout(0, true);
    engine_ = fixture_.Started();
    fixture_.Fs().makeDirectory("/data/db");
    session_ = Session();
    db_ = Database(session_, omReadWrite);
  }
  void TearDown() override {
    nxSetTimeoutHook.store(&nxDefaultSetTimeoutHook);
    for (auto it = sessions_.rbegin(); it != sessions_.rend(); ++it) TnxAbstractServerObject::Free(*it);
  }
  TnxServerSession* Session() {
    TnxAbstractSession* session = nullptr;
    EXPECT_EQ(engine_->SessionOpen(session, u"user", u"pw", u"test", 0), 0);
    sessions_.push_back(session);
    return static_cast<TnxServerSession*>(session);
  }
  TnxServerDatabase* Database(TnxAbstractSession* aSession, TnxOpenMode aMode) {
    TnxAbstractDatabase* db = nullptr;
    EXPECT_EQ(aSession->DatabaseOpen(db, u"Path", u"/data/db", nullptr, aMode, smShared, 0), 0);
    return static_cast<TnxServerDatabase*>(db);
  }
  void Build(const nxString& aName, TnxServerDataDict* aDict) {
    TnxOwned<TnxServerDataDict> dict(aDict);
    ASSERT_EQ(db_->Folder()->sfTableBuild(false, aName, u"", false, dict.get(), tsPersistent), 0);
  }
  TnxResult Open(TnxServerDatabase* aDb, const nxString& aName, TnxOpenMode aMode, TnxShareMode aShare,
                 TnxServerTableCursor*& aCursor, const nxString& aIndex = u"", std::uint32_t aFilterTimeout = 500) {
    TnxAbstractCursor* cursor = nullptr;
    const TnxResult result =
        aDb->CursorOpen(cursor, aName, u"", aMode, aShare, 0, aIndex, -1, false, {}, aFilterTimeout, nullptr);
    aCursor = static_cast<TnxServerTableCursor*>(cursor);
    if (result != 0) {
      EXPECT_EQ(cursor, nullptr);
    }
    return result;
  }
  TnxServerTableCursor* Open(const nxString& aName, TnxOpenMode aMode = omReadWrite,
                             TnxShareMode aShare = smShared) {
    TnxServerTableCursor* cursor = nullptr;
    EXPECT_EQ(Open(db_, aName, aMode, aShare, cursor), 0);
    return cursor;
  }
  // A probe cursor on table aName (built before).
  ProbeCursor* Probe(const nxString& aName, TnxOpenMode aMode = omReadWrite) {
    TnxServerBaseTable* table = nullptr;
    bool readOnly = false;
    EXPECT_EQ(db_->sdGetTable(table, aName, u"", false, readOnly, false, false), 0);
    return platform::create<ProbeCursor>(db_, table, 0, aMode, smShared, nxString(), -1, false, false);
  }
  TnxSimpleLock* Lock() { return static_cast<TnxSimpleLock*>(db_->SessionLock()); }

  ServerEngineFixture fixture_;
  TnxServerEngine* engine_ = nullptr;
  std::vector<TnxAbstractSession*> sessions_;
  TnxServerSession* session_ = nullptr;
  TnxServerDatabase* db_ = nullptr;
};

// ---- The protocol ------------------------------------------------------------------

TEST_F(ServerCursorTest, ConvertingAndNonConvertingRowsAroundDeadlineAndLock) {
  Build(u"qbnk", nxtest::tableDictionary(true));
  ProbeCursor* probe = Probe(u"qbnk");
  nxSetTimeoutHook.store(&recordingSetTimeout);
  std::int32_t id = 0;

  cursorProtocolLog().clear();
  EXPECT_EQ(probe->GetIndexID(id), 0);
  EXPECT_EQ(cursorProtocolLog(), (std::vector<std::string>{"deadline", "GetIndexID(locked)"}));
  EXPECT_EQ(Lock()->LockCountOfCurrentThread(), 0);

  // A converting row: the engine exception becomes its code.
  probe->action = []() -> TnxResult { throw EnxServerEngineException(8709, u"probe"); };
  EXPECT_EQ(probe->GetIndexID(id), 8709);
  EXPECT_EQ(Lock()->LockCountOfCurrentThread(), 0);
  // A non-converting row lets the exception through; the lock still goes.
  EXPECT_THROW(probe->RecordGet(nxltNoLock, nullptr), EnxServerEngineException);
  EXPECT_EQ(Lock()->LockCountOfCurrentThread(), 0);

  // A cancel during the primitive turns 0 into 15461.
  probe->action = [&] {
    Lock()->Failed(false, false);
    return TnxResult(0);
  };
  EXPECT_EQ(probe->GetIndexID(id), nxErrTimeout);
  EXPECT_NE(platform::toUtf8(nxtest::pendingMessage()).find("Processing cancelled"), std::string::npos);

  // SetToCursor with itself and RecNoSupported: no deadline, no lock.
  cursorProtocolLog().clear();
  EXPECT_EQ(probe->SetToCursor(probe), 0);
  EXPECT_EQ(probe->RecNoSupported(), 0);
  EXPECT_TRUE(cursorProtocolLog().empty());
  TnxAbstractServerObject::Free(probe);
}

// Each kind of row of the operation table around a primitive that raises:
// the deadline first, then the lock, the content lock inside it, the range
// reset before the unlock; converting rows answer the code, the others let
// the exception through; the lock is free afterwards either way.
TEST_F(ServerCursorTest, EveryRowKindKeepsTheOrderOfDeadlineLockAndPrimitive) {
  Build(u"qbnk", nxtest::tableDictionary(true));
  ProbeCursor* probe = Probe(u"qbnk");
  probe->recordReset = true;
  probe->recordContentLock = true;
  nxSetTimeoutHook.store(&recordingSetTimeout);
  TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
  std::uint32_t value = 0;
  std::int32_t id = 0;
  TnxLockPresent present = lpYesByAnother;
  TnxAbstractCursor* duplicate = nullptr;
  using Log = std::vector<std::string>;
  struct Row {
    const char* kind;
    std::function<TnxResult()> call;
    bool converts;
    Log log;
  };
  const std::vector<Row> rows = {
      {"plain", [&] { return probe->GetIndexID(id); }, true, {"deadline", "GetIndexID(locked)"}},
      {"plain, read-only refused", [&] { return probe->AutoIncSet(5); }, true, {"deadline", "AutoIncSet(locked)"}},
      {"procedure", [&] { return probe->SetToBegin(); }, true, {"deadline", "SetToBegin(locked)"}},
      {"content lock",
       [&] { return probe->RecNoGet(value, false); },
       true,
       {"deadline", "begin(locked)", "RecNoGet(locked)", "end(locked)"}},
      {"content lock, value as result",
       [&] { return probe->AutoIncGet(value, false); },
       true,
       {"deadline", "begin(locked)", "AutoIncGet(locked)", "end(locked)"}},
      {"range reset on failure",
       [&] { return probe->RangeSet(0, 0, false, nullptr, true, 0, 0, false, nullptr, true); },
       true,
       {"deadline", "RangeSet(locked)", "RangeReset(locked)"}},
      {"lock state answered",
       [&] { return probe->TableIsLocked(nxltNoLock, present); },
       true,
       {"deadline", "TableIsLocked(locked)"}},
      {"not converting", [&] { return probe->RecordGet(nxltNoLock, nullptr); }, false, {"deadline", "RecordGet(locked)"}},
      {"not converting, read-only refused",
       [&] { return probe->RecordInsertBatch(stream.get()); },
       false,
       {"deadline", "RecordInsertBatch(locked)"}},
      {"stream, read-only refused",
       [&] { return probe->TableStreamWrite(u"s", *stream); },
       false,
       {"deadline", "TableStreamWrite(locked)"}},
      {"duplicate", [&] { return probe->Duplicate(omReadOnly, duplicate); }, false, {"deadline", "Duplicate(locked)"}},
  };
  probe->action = []() -> TnxResult { throw EnxServerEngineException(8709, u"probe"); };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.kind);
    cursorProtocolLog().clear();
    if (row.converts) {
      EXPECT_EQ(row.call(), 8709);
    } else {
      EXPECT_THROW(row.call(), EnxServerEngineException);
    }
    EXPECT_EQ(cursorProtocolLog(), row.log);
    EXPECT_EQ(Lock()->LockCountOfCurrentThread(), 0);
  }
  EXPECT_EQ(present, lpNotAtAll);

  // A content lock that fails is the answer; neither primitive nor end runs.
  probe->action = [] { return TnxResult(0); };
  probe->beginResult = 10245;
  cursorProtocolLog().clear();
  EXPECT_EQ(probe->RecNoGet(value, false), 10245);
  EXPECT_EQ(cursorProtocolLog(), (Log{"deadline", "begin(locked)"}));

  probe->recordReset = false;
  probe->recordContentLock = false;
  TnxAbstractServerObject::Free(probe);
}

TEST_F(ServerCursorTest, ExceptionOfTakingTheLockReachesTheCaller) {
  nxtest::Watchdog watchdog;
  Build(u"qbnk", nxtest::tableDictionary(true));
  ProbeCursor* probe = Probe(u"qbnk");
  cursorProtocolLog().clear();
  // Another thread holds the session: taking the lock raises 8455.
  std::promise<void> held, done;
  std::thread holder([&] {
    Lock()->Lock();
    held.set_value();
    done.get_future().wait();
    TnxResult result = 0;
    Lock()->Unlock(result);
  });
  held.get_future().wait();
  std::int32_t id = 0;
  TnxResult raised = 0;
  try {
    probe->GetIndexID(id);
  } catch (const EnxBaseException& e) {
    raised = e.ErrorCode();
  }
  done.set_value();
  holder.join();
  EXPECT_EQ(raised, 8455);
  EXPECT_TRUE(cursorProtocolLog().empty());
  TnxAbstractServerObject::Free(probe);
}

TEST_F(ServerCursorTest, ReadOnlyRefusalsComeBeforeDeadlineAndLock) {
  Build(u"qbnk", nxtest::tableDictionary(true));
  ProbeCursor* probe = Probe(u"qbnk", omReadOnly);
  nxSetTimeoutHook.store(&recordingSetTimeout);
  cursorProtocolLog().clear();
  TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
  const std::vector<std::pair<const char*, std::function<TnxResult()>>> rows = {
      {"BlobWrite", [&] { return probe->BlobWrite(TnxRecID{1, 0}, 2, 1, 0, 0, nullptr); }},
      {"TableStreamWrite", [&] { return probe->TableStreamWrite(u"s", *stream); }},
      {"ChangePassword", [&] { return probe->ChangePassword(u"x"); }},
      {"RecordInsertBatch", [&] { return probe->RecordInsertBatch(stream.get()); }},
      {"AutoIncSet", [&] { return probe->AutoIncSet(5); }},
  };
  for (const auto& [name, call] : rows) EXPECT_EQ(call(), nxErrTableReadOnly) << name;
  EXPECT_TRUE(cursorProtocolLog().empty());
  TnxAbstractServerObject::Free(probe);
}

// The write-only rows refuse before the deadline and the lock with the
// cursor's code and message; without a code the primitive answers.
TEST_F(ServerCursorTest, WriteOnlyRefusalsComeBeforeDeadlineAndLock) {
  Build(u"qbnk", nxtest::tableDictionary(true));
  ProbeCursor* probe = Probe(u"qbnk");
  nxSetTimeoutHook.store(&recordingSetTimeout);
  probe->action = [] { return TnxResult(nxErrRecordNotFound); };
  std::uint8_t key[16] = {};
  TnxBatchStreamAccess* access = nullptr;
  const TnxDataSetKeyBufferArray keys;
  const std::vector<std::pair<const char*, std::function<TnxResult()>>> rows = {
      {"RecordGetForKey", [&] { return probe->RecordGetForKey(1, 0, true, key, nullptr, true, true); }},
      {"RecordGetForKeyBatch", [&] { return probe->RecordGetForKeyBatch(0, {}, access, keys, true, true); }},
  };
  probe->MarkWriteOnly(nxErrInsufficientRights, u"probe: write only");
  for (const auto& [name, call] : rows) {
    SCOPED_TRACE(name);
    cursorProtocolLog().clear();
    EXPECT_EQ(call(), nxErrInsufficientRights);
    EXPECT_EQ(platform::toUtf8(nxtest::pendingMessage()), "probe: write only");
    EXPECT_TRUE(cursorProtocolLog().empty());
  }
  probe->MarkWriteOnly(0, u"");
  for (const auto& [name, call] : rows) {
    SCOPED_TRACE(name);
    cursorProtocolLog().clear();
    EXPECT_EQ(call(), nxErrRecordNotFound);
    EXPECT_EQ(cursorProtocolLog(), (std::vector<std::string>{"deadline", std::string(name) + "(locked)"}));
  }
  TnxAbstractServerObject::Free(probe);
}

namespace {

// aDict written in the oldest layout: the version-2 layout of old clients
// with the version byte set to 1 and without the aligned record length.
std::vector<std::uint8_t> versionOneStream(TnxServerDataDict* aDict) {
  auto bytesOf = [](TnxMemoryStream& aStream) {
    const auto* data = static_cast<const std::uint8_t*>(aStream.Memory());
    return std::vector<std::uint8_t>(data, data + aStream.Size());
  };
  TnxMemoryStream written;
  aDict->WriteToStream(written, nxOldDictionaryClientVersion - 1);
  std::vector<std::uint8_t> bytes = bytesOf(written);
  // The signature ident (tag, length, text), then the version as a tagged byte.
  const std::size_t version = 2 + std::size_t{bytes.at(1)} + 1;
  EXPECT_EQ(bytes.at(version), 2);
  bytes.at(version) = 1;
  TnxMemoryStream pieces;
  {
    TnxWriter writer(pieces);
    writer.WriteInteger(aDict->FieldsDescriptor()->LogicalRecordLength());
    writer.WriteIdent(u"CustomDescriptor");
    writer.FlushBuffer();
  }
  const std::vector<std::uint8_t> tail = bytesOf(pieces);
  const auto at = std::search(bytes.begin(), bytes.end(), tail.begin(), tail.end());
  EXPECT_NE(at, bytes.end());
  const std::size_t alignLength = tail.size() - 2 - std::char_traits<char>::length("CustomDescriptor");
  if (at != bytes.end()) bytes.erase(at, at + static_cast<std::ptrdiff_t>(alignLength));
  return bytes;
}

}  // namespace

// A cursor whose table reports a dictionary of version 1 (read from a
// stream in the oldest layout) is read-only with 12040.
TEST_F(ServerCursorTest, VersionOneDictionaryGivesReadOnlyCursors) {
  Build(u"qbnk", nxtest::tableDictionary(false));
  TnxOwned<TnxServerDataDict> modern(nxtest::tableDictionary(false));
  const std::vector<std::uint8_t> bytes = versionOneStream(modern.get());
  TnxOwned<TnxServerDataDict> old(platform::create<TnxServerDataDict>());
  {
    TnxMemoryStream stream;
    stream.WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    stream.SetPosition(0);
    old->ReadFromStream(stream, u"qbnk");
  }
  ASSERT_EQ(old->Version(), 1);
  ProbeCursor::reportedDictionary = old.get();
  ProbeCursor* outdated = Probe(u"qbnk");
  ProbeCursor* readOnly = Probe(u"qbnk", omReadOnly);
  ProbeCursor::reportedDictionary = modern.get();
  ProbeCursor* current = Probe(u"qbnk");
  ProbeCursor::reportedDictionary = nullptr;

  EXPECT_TRUE(outdated->IsReadOnly());
  EXPECT_EQ(outdated->ReadOnlyResult(), nxErrHigherTableLevel);
  nxSetTimeoutHook.store(&recordingSetTimeout);
  cursorProtocolLog().clear();
  EXPECT_EQ(outdated->AutoIncSet(5), nxErrHigherTableLevel);
  EXPECT_EQ(platform::toUtf8(nxtest::pendingMessage()),
            "Table format outdated. Table must be packed to enable write access");
  EXPECT_TRUE(cursorProtocolLog().empty());
  // Opened read-only, the cursor keeps its own refusal.
  EXPECT_EQ(readOnly->ReadOnlyResult(), nxErrTableReadOnly);
  EXPECT_FALSE(current->IsReadOnly());
  for (ProbeCursor* cursor : {outdated, readOnly, current}) TnxAbstractServerObject::Free(cursor);
}

// ---- Cursor open ---------------------------------------------------------------------

TEST_F(ServerCursorTest, OpenNameRulesAndReadOnlyDatabase) {
  Build(u"qbnk", nxtest::tableDictionary(true));
  TnxServerTableCursor* cursor = nullptr;
  const std::int32_t before = engine_->CursorCount();
  EXPECT_EQ(Open(db_, u"", omReadWrite, smShared, cursor), nxErrNoSuchTable);
  EXPECT_EQ(Open(db_, u"qbnk::b", omReadWrite, smShared, cursor), nxErrInvalidTableName);
  EXPECT_EQ(Open(db_, u"missing", omReadWrite, smShared, cursor), nxErrNoSuchTable);
  TnxAbstractCursor* cacheCursor = nullptr;
  EXPECT_EQ(db_->CursorCacheOpen(cacheCursor, u"qbnk", u"", omReadOnly, smShared, 0, u"", -1, true, {}, 500), 9221);
  EXPECT_EQ(platform::toUtf8(nxtest::pendingMessage()), "Database does not support opening of cache cursors");
  EXPECT_EQ(cacheCursor, nullptr);
  TnxServerDatabase* readOnlyDb = Database(session_, omReadOnly);
  EXPECT_EQ(Open(readOnlyDb, u"qbnk", omReadWrite, smShared, cursor), nxErrDatabaseReadOnly);
  EXPECT_EQ(engine_->CursorCount(), before);
  ASSERT_EQ(Open(readOnlyDb, u"qbnk", omReadOnly, smShared, cursor), 0);
  EXPECT_EQ(cursor->FilterTimeout(), 500u);
  TnxServerTableCursor* other = nullptr;
  ASSERT_EQ(Open(db_, u"qbnk", omReadOnly, smShared, other, u"", 1234), 0);
  EXPECT_EQ(other->FilterTimeout(), 1234u);
}

TEST_F(ServerCursorTest, ReadOnlyRootRefusesWritableCursors) {
  Build(u"qbnk", nxtest::tableDictionary(true));
  ASSERT_EQ(db_->Folder()->sfCloseInactiveTables(), 0);
  fixture_.Fs().setReadOnly("/data/db/qbnk.nx1", true);
  TnxServerTableCursor* cursor = nullptr;
  // The file opens read-only: the cursor is read-only, refused as such.
  ASSERT_EQ(Open(db_, u"qbnk", omReadWrite, smShareRead, cursor), 0);
  EXPECT_TRUE(cursor->IsReadOnly());
  EXPECT_EQ(cursor->AutoIncSet(3), nxErrTableReadOnly);
}

struct ShareCase {
  TnxOpenMode firstMode;
  TnxShareMode firstShare;
  TnxOpenMode newMode;
  TnxShareMode newShare;
  bool conflict;
};

TEST_F(ServerCursorTest, ShareMatrixAcrossDatabases) {
  Build(u"qbnk", nxtest::tableDictionary(true));
  TnxServerDatabase* otherDb = Database(Session(), omReadWrite);
  const ShareCase cases[] = {
      {omReadOnly, smExclusive, omReadOnly, smShared, true},   {omReadOnly, smShared, omReadOnly, smExclusive, true},
      {omReadOnly, smShared, omReadWrite, smShared, false},    {omReadWrite, smShared, omReadWrite, smShared, false},
      {omReadOnly, smShareRead, omReadWrite, smShared, true},  {omReadOnly, smShareRead, omReadOnly, smShared, false},
      {omReadWrite, smShared, omReadOnly, smShareRead, true},  {omReadOnly, smShared, omReadOnly, smShareRead, false},
      {omReadOnly, smShareRead, omReadWrite, smShareRead, true},
  };
  for (const ShareCase& c : cases) {
    TnxServerTableCursor* first = nullptr;
    ASSERT_EQ(Open(db_, u"qbnk", c.firstMode, c.firstShare, first), 0);
    TnxServerTableCursor* second = nullptr;
    const std::int32_t count = engine_->CursorCount();
    EXPECT_EQ(Open(otherDb, u"qbnk", c.newMode, c.newShare, second), c.conflict ? nxErrNoExclusiveAccess : 0)
        << int(c.firstMode) << int(c.firstShare) << int(c.newMode) << int(c.newShare);
    // A refused open leaves no cursor behind.
    EXPECT_EQ(engine_->CursorCount(), count + (c.conflict ? 0 : 1));
    TnxAbstractServerObject::Free(second);
    TnxAbstractServerObject::Free(first);
  }
}

TEST_F(ServerCursorTest, IdleCursorThatClosesOnRequestMakesRoom) {
  Build(u"qbnk", nxtest::tableDictionary(true));
  TnxServerTableCursor* idle = Open(u"qbnk");
  ASSERT_NE(idle, nullptr);
  int asked = 0;
  idle->SetOnRequestClose(nxCreateRequestCloseHandler([&](platform::TObject* aSender) {
    ++asked;
    TnxAbstractServerObject::Free(static_cast<TnxServerTableCursor*>(aSender));
  }));
  TnxServerDatabase* otherDb = Database(Session(), omReadWrite);
  TnxServerTableCursor* exclusive = nullptr;
  ASSERT_EQ(Open(otherDb, u"qbnk", omReadWrite, smExclusive, exclusive), 0);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(exclusive->Table()->CursorCount(), 1);
}

// ---- Construction -------------------------------------------------------------------

TEST_F(ServerCursorTest, UnknownIndexFallsBackToTheDefaultThenToRecordOrder) {
  TnxServerDataDict* dict = nxtest::tableDictionary(true);
  dict->IndicesDescriptor()->SetDefaultIndex(0);
  Build(u"withdefault", dict);
  TnxServerDataDict* plain = nxtest::tableDictionary(false);
  plain->RemoveIndicesDescriptor();
  Build(u"nodefault", plain);
  TnxServerTableCursor* cursor = nullptr;
  ASSERT_EQ(Open(db_, u"withdefault", omReadWrite, smShared, cursor, u"NoSuchIndex"), 0);
  std::int32_t id = -5;
  EXPECT_EQ(cursor->GetIndexID(id), 0);
  EXPECT_EQ(id, 0);
  ASSERT_EQ(Open(db_, u"nodefault", omReadWrite, smShared, cursor, u"NoSuchIndex"), 0);
  EXPECT_EQ(cursor->GetIndexID(id), 0);
  EXPECT_EQ(id, -1);
  std::vector<std::uint8_t> key(64), record(cursor->RecordLength() + 4);
  EXPECT_EQ(cursor->BuildKey(record.data(), key.data(), false), nxErrNoAssociatedIndex);
  ASSERT_NE(cursor->IndexPath(), nullptr);
}

TEST_F(ServerCursorTest, InsertOptionsFollowTheCursorOptions) {
  Build(u"qbnk", nxtest::tableDictionary(true));
  TnxServerTableCursor* cursor = Open(u"qbnk");
  EXPECT_TRUE(cursor->InsertOptions().contains(ioValidate));
  ASSERT_EQ(cursor->OptionSet(u"INSERT_OPTIONS_VALIDATE", u"false"), 0);
  EXPECT_FALSE(cursor->InsertOptions().contains(ioValidate));
  ASSERT_EQ(cursor->OptionSet(u"insert_options_validate", u"TRUE"), 0);
  EXPECT_TRUE(cursor->InsertOptions().contains(ioValidate));
  ASSERT_EQ(cursor->OptionSet(u"OTHER", u"false"), 0);
  EXPECT_TRUE(cursor->InsertOptions().contains(ioSetDefault));
}

TEST_F(ServerCursorTest, UnsetOptionIsReadFromTheTableThenTheDatabase) {
  Build(u"qbnk", nxtest::tableDictionary(true));
  TnxServerTableCursor* cursor = Open(u"qbnk");
  ASSERT_EQ(db_->OptionSet(u"Level", u"database"), 0);
  nxString value;
  EXPECT_EQ(cursor->OptionGetEffective(u"Level", value), 0);
  EXPECT_EQ(platform::toUtf8(value), "database");
  ASSERT_EQ(cursor->Table()->OptionSet(u"Level", u"table"), 0);
  EXPECT_EQ(cursor->OptionGetEffective(u"Level", value), 0);
  EXPECT_EQ(platform::toUtf8(value), "table");
}

TEST_F(ServerCursorTest, PathsAndKeyTest) {
  Build(u"qbnk", nxtest::tableDictionary(true));
  TnxServerTableCursor* cursor = nullptr;
  ASSERT_EQ(Open(db_, u"qbnk", omReadWrite, smShared, cursor, u"ByID"), 0);
  EXPECT_EQ(cursor->SavePath(), 0);
  EXPECT_EQ(cursor->SavePath(), 0);
  EXPECT_EQ(cursor->RestorePath(), 0);
  EXPECT_EQ(cursor->RestorePath(), nxErrNoCurrentRecord);
  platform::Variant bad(u"not a number");
  EXPECT_FALSE(cursor->sacHasKey(0, bad));
  EXPECT_EQ(cursor->SelfRefNr() >> 32, 0x7FFFFFFFu);
  TnxServerTableCursor* other = Open(u"qbnk");
  EXPECT_NE(cursor->SelfRefNr(), other->SelfRefNr());
}

// ---- Result sets --------------------------------------------------------------------

TEST_F(ServerCursorTest, ResultSetTableLivesAsLongAsItsCursors) {
  TnxOwned<TnxServerDataDict> dict(nxtest::tableDictionary(true));
  dict->FilesDescriptor()->Files(0)->SetBlockSize(nxbs16k);
  const std::int32_t tables = db_->Folder()->OpenTableCount();
  auto* first = static_cast<TnxServerTableCursor*>(db_->sadCreateResultSet(dict.get(), 0));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(dict->FilesDescriptor()->Files(0)->BlockSize(), nxbs4k);
  EXPECT_TRUE(first->IsUnnamed);
  EXPECT_EQ(db_->Folder()->OpenTableCount(), tables + 1);
  auto* second = platform::create<TnxServerTableCursor>(db_, first->Table(), 0, omReadWrite, smShared, nxString(),
                                                         -1, false, true);
  TnxAbstractServerObject::Free(first);
  EXPECT_EQ(db_->Folder()->OpenTableCount(), tables + 1);
  TnxAbstractServerObject::Free(second);
  EXPECT_EQ(db_->Folder()->OpenTableCount(), tables);
}

// ---- Auto-increment and lock failures -------------------------------------------------------

TEST_F(ServerCursorTest, AutoIncSetAndGet) {
  TnxServerDataDict* dict = nxtest::tableDictionary(true);
  dict->AddAutoIncDescriptor();
  Build(u"counted", dict);
  Build(u"plain", nxtest::tableDictionary(true));
  TnxServerTableCursor* counted = Open(u"counted");
  ASSERT_EQ(counted->AutoIncSet(41), 0);
  std::uint32_t value = 0;
  ASSERT_EQ(counted->AutoIncGet(value, false), 0);
  EXPECT_EQ(value, 41u);

  TnxServerTableCursor* plain = Open(u"plain");
  EXPECT_EQ(plain->AutoIncSet(3), nxErrNotSupported);
  EXPECT_EQ(platform::toUtf8(nxtest::pendingMessage()), "AutoIncSet is only supported for tables with autoinc engines");
  std::int32_t level = -5;
  EXPECT_EQ(db_->TransactionGetLevel(level), nxErrNoTransaction);
}

TEST_F(ServerCursorTest, LockFailureMessageNamesReasonAndTable) {
  TnxServerDataDict* dict = nxtest::tableDictionary(true);
  dict->AddAutoIncDescriptor();
  Build(u"counted", dict);
  TnxServerTableCursor* holder = Open(u"counted");
  ASSERT_EQ(holder->TableLockAcquire(nxltReadLock) == 0 ||
                holder->Table()->Locks()->GetReadLock(nullptr, holder->LockCursor(), false, nullptr) < lrConflictUnknown,
            true);
  struct Row {
    bool sameSession;
    TnxResult code;
  } rows[] = {{false, nxErrFileLocked}, {true, nxErrLockConflict}};
  for (const Row& row : rows) {
    TnxServerDatabase* db = row.sameSession ? db_ : Database(Session(), omReadWrite);
    TnxServerTableCursor* cursor = nullptr;
    ASSERT_EQ(Open(db, u"counted", omReadWrite, smShared, cursor), 0);
    EXPECT_EQ(cursor->AutoIncSet(7), row.code);
    const std::string message = platform::toUtf8(nxtest::pendingMessage());
    EXPECT_EQ(message.rfind("<[!Org!]>\r\r", 0), 0u) << message;
    EXPECT_NE(message.find("\r\rTableName: counted"), std::string::npos) << message;
    EXPECT_NE(message.find(platform::toUtf8(nxEncodeCustomInfo(u"TableName", u"counted"))), std::string::npos);
    TnxAbstractServerObject::Free(cursor);
  }
}

// ---- Transactions for BLOB reads and client defaults -----------------------------------------

TEST_F(ServerCursorTest, SnapshotTransactionForBlobReads) {
  Build(u"qbnk", nxtest::tableDictionary(true));
  TnxServerTableCursor* cursor = Open(u"qbnk");
  EXPECT_TRUE(cursor->acSnapshotRequiredForBlobRead(TnxRecID{}, 0, 0, false));
  EXPECT_EQ(cursor->acTransactionRollbackForBlobReadSnapshoted(), nxErrNoTransaction);
  ASSERT_EQ(cursor->acTransactionStartForBlobReadSnapshoted(), 0);
  EXPECT_TRUE(cursor->sbcActiveTransStates().contains(tsSnapshot));
  EXPECT_TRUE(cursor->sbcActiveTransStates().contains(tsForBlobRead));
  EXPECT_FALSE(cursor->acSnapshotRequiredForBlobRead(TnxRecID{}, 0, 0, false));
  EXPECT_EQ(cursor->acTransactionRollbackForBlobReadSnapshoted(), 0);
  EXPECT_EQ(cursor->GetActiveTrans(), nullptr);
  // A transaction of the user's is not the cursor's to end.
  ASSERT_EQ(db_->TransactionStart(false, false), 0);
  EXPECT_EQ(cursor->acTransactionRollbackForBlobReadSnapshoted(), nxErrNoTransaction);
  EXPECT_EQ(db_->TransactionRollback(), 0);
}

TEST_F(ServerCursorTest, RecordBufferClearAppliesClientDefaults) {
  TnxServerDataDict* dict = nxtest::tableDictionary(true);
  TnxFieldDescriptor* id = dict->FieldsDescriptor()->Fields(0);
  auto* def = static_cast<TnxConstDefaultValueDescriptor*>(
      id->AddDefaultValue(&TnxConstDefaultValueDescriptor::staticClassInfo()));
  def->SetAsVariant(platform::Variant(std::int32_t(77)));
  def->SetApplyAt(nxApplyAtBit(aaClient));
  Build(u"qbnk", dict);
  TnxServerTableCursor* cursor = Open(u"qbnk");
  PnxRecordBuffer buffer = cursor->RecordBufferAlloc();
  cursor->RecordBufferClear(buffer);
  EXPECT_EQ(cursor->GetFieldAsVariantSelf(buffer, 0).toInt32(), 77);
  cursor->RecordBufferFree(buffer);
}

TEST_F(ServerCursorTest, TableStatsCountDistinctDatabasesAndSessions) {
  Build(u"qbnk", nxtest::tableDictionary(true));
  TnxServerTableCursor* first = Open(u"qbnk");
  Open(u"qbnk");
  TnxServerDatabase* sameSession = Database(session_, omReadWrite);
  TnxServerTableCursor* cursor = nullptr;
  ASSERT_EQ(Open(sameSession, u"qbnk", omReadOnly, smShared, cursor), 0);
  ASSERT_EQ(Open(Database(Session(), omReadWrite), u"qbnk", omReadOnly, smShared, cursor), 0);
  TnxServerTableStats stats;
  first->Table()->sbtGetStats(nullptr, stats);
  EXPECT_EQ(stats.OpenCursors, 4);
  EXPECT_EQ(stats.Databases, 3);
  EXPECT_EQ(stats.Sessions, 2);
}

TEST_F(ServerCursorTest, NextLsnOnlyInsideATransactionAndRaisesIt) {
  Build(u"qbnk", nxtest::tableDictionary(true));
  TnxServerTableCursor* cursor = Open(u"qbnk");
  TnxLSN lsn = 0;
  EXPECT_FALSE(cursor->GetNextLSN(lsn));
  ASSERT_EQ(db_->TransactionStart(false, false), 0);
  ASSERT_TRUE(cursor->GetNextLSN(lsn));
  EXPECT_GT(lsn, 0u);
  TnxBaseTransaction* trans = cursor->GetActiveTrans();
  EXPECT_GE(trans->btLSN, lsn);
  EXPECT_GE(trans->TransLevel()->tlLSN, lsn);
  EXPECT_EQ(db_->TransactionRollback(), 0);
}

// Records the actions it hears.
class RecordingCursorExtender : public TnxBaseEngineExtender {
 public:
  RecordingCursorExtender(TnxExtendableServerObject* aObject, std::vector<TnxEngineAction>& aHeard)
      : TnxBaseEngineExtender(nullptr, aObject, TnxEngineActions{eaRecordInsert}), heard_(aHeard) {}
  TnxResult Notify(TnxEngineAction aAction, bool, TnxEngineArgs) override {
    heard_.push_back(aAction);
    return 0;
  }

 private:
  std::vector<TnxEngineAction>& heard_;
};

TEST_F(ServerCursorTest, ReferentialIntegrityAnswersBeforeTheExtenders) {
  TnxServerDataDict* master = nxtest::tableDictionary(true);
  Build(u"customers", master);
  TnxServerDataDict* detail = nxtest::tableDictionary(false);
  detail->RemoveIndicesDescriptor();
  TnxReferenceDescriptor* ref = nxEnsureRefIntegrityDescriptor(detail)->AddReference();
  static_cast<TnxTableTargetCursorDescriptor*>(ref->TargetCursor())->SetTableName(u"customers");
  ref->SetTargetIndex(u"ByID");
  static_cast<TnxFieldSourceDescriptor*>(ref->AddSource())->SetFieldNumber(0);
  ref->AddAction(&TnxTargetRequiredActionDescriptor::staticClassInfo());
  Build(u"details", detail);
  TnxServerTableCursor* cursor = Open(u"details");
  ASSERT_NE(cursor->RefIntEngine(), nullptr);
  std::vector<TnxEngineAction> heard;
  auto* extender = platform::create<RecordingCursorExtender>(cursor, heard);
  PnxRecordBuffer record = cursor->RecordBufferAlloc();
  cursor->SetFieldAsVariantSelf(record, 0, platform::Variant(std::int32_t(9)));
  const platform::FormatArg args[] = {0, static_cast<const void*>(record), 1};
  const TnxResult result = cursor->NotifyExtenders(eaRecordInsert, false, args);
  // No customer 9: the engine's refusal is the answer, with its message, and
  // no extender hears the insert.
  EXPECT_EQ(result, 9733);
  EXPECT_EQ(platform::toUtf8(nxtest::pendingMessage()),
            "Referential Integrity Violation. details(ID) -> customers(ID): <[!Org!]>");
  EXPECT_TRUE(heard.empty());
  // A phase the engine does not check reaches the extenders.
  EXPECT_EQ(cursor->NotifyExtenders(eaRecordInsert, true, args), 0);
  EXPECT_EQ(heard, std::vector<TnxEngineAction>{eaRecordInsert});
  cursor->RecordBufferFree(record);
  platform::TObject::free(extender);
}

}  // namespace
