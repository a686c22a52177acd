// The database's index rebuild and checksum verification on real tables:
// refusals that leave nothing behind, the rebuilt keys, the synchronous path
// of the SQL layer with a cancel that keeps the old keys, and the checksum
// walk with a test encryption engine that keeps a file checksum.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "nxExpectCode.h"
#include "nxTestWatchdog.h"
#include "nxsrEncryptionEngineBase.h"
#include "nxsrServerEngineCursorTestSupport.h"
#include "nxsrServerTasks.h"

namespace {

using nxtest::CursorTableTest;

// Codes nothing and keeps a 4-byte file checksum whose blocks add nothing,
// so the stored value of a sound file is all zeros; counts the blocks added.
class ChecksumPlainEngine : public TnxBaseEncryptionEngine {
  PL_CLASS_INFO_DECL()
 public:
  ChecksumPlainEngine(const nxString& aName, const TnxUnicodeStrings& aPasswords, bool aForServer, bool aCreating,
                      void* aHeader)
      : TnxBaseEncryptionEngine(aName, aPasswords, aForServer, aCreating, aHeader) {}
  void CodeBlock(const std::uint8_t* aIn, std::uint8_t* aOut, std::uint32_t, std::uint32_t aLen) override {
    std::memcpy(aOut, aIn, aLen);
  }
  void DecodeBlock(std::uint8_t*, std::uint32_t, std::uint32_t) override {}
  void beeAddChecksumForBlock(const std::uint8_t*, std::uint32_t, std::uint64_t aBlockNr,
                              std::vector<std::uint8_t>&) override {
    EXPECT_GT(aBlockNr, 0u) << "block 0 is the header";
    ++blocksAdded;
  }
  void beeAddChecksumForCookie(const std::vector<std::uint8_t>&, std::uint64_t aBlockNr,
                               std::vector<std::uint8_t>&) override {
    EXPECT_GT(aBlockNr, 0u) << "block 0 is the header";
    ++cookiesAdded;
  }
  static std::int32_t beeChecksumSize() { return 4; }
  static inline std::atomic<int> blocksAdded{0};
  static inline std::atomic<int> cookiesAdded{0};
};
PL_CLASS_INFO_IMPL_TABLE(ChecksumPlainEngine, TnxBaseEncryptionEngine, "ChecksumPlainEngine", nullptr,
                         platform::bindClassTable(nxEncryptionEngineFuncs<ChecksumPlainEngine>))

class TaskDatabaseTest : public CursorTableTest {
 protected:
  static TnxTaskStatus WaitFinished(TnxAbstractTaskInfo* aTask) {
    TnxTaskStatus status{};
    for (;;) {
      bool completed = false;
      EXPECT_EQ(aTask->GetStatus(completed, status), 0u);
      if (completed) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // The status reads finished a moment before the thread lets go.
    while (static_cast<TnxServerTaskInfo*>(aTask)->Executing())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return status;
  }
  // The keys of index ByGrp (index 1), counted through a fresh cursor.
  std::uint32_t GrpKeyCount() {
    TnxServerTableCursor* cursor = Open(db_, u"ByGrp");
    std::uint32_t count = 0;
    EXPECT_EQ(cursor->GetRecordCountEx(rcoTotalKeyCount, count, false), 0u);
    // Walk them too: a count in the header alone would not show lost keys.
    std::uint32_t walked = 0;
    std::vector<std::uint8_t> record = Record(cursor);
    EXPECT_EQ(cursor->SetToBegin(), 0u);
    while (cursor->RecordGetNext(nxltNoLock, record.data()) == 0) ++walked;
    EXPECT_EQ(walked, count);
    TnxAbstractServerObject::Free(cursor);
    return count;
  }
  void WipeGrpKeys() {
    TnxServerTableCursor* cursor = Open(db_);
    auto* context = static_cast<TnxServerTransContext*>(db_->TransContext());
    ASSERT_EQ(context->stcTransactionStart(false, false, false, false, false, true), 0u);
    ASSERT_EQ(cursor->sbcBeginContentLock(true, false, false), 0u);
    cursor->Table()->IndicesEngine()->biseGetIndex(1)->DeleteAllKeys(context->Transaction());
    ASSERT_EQ(context->stcTransactionCommit(), 0u);
    TnxAbstractServerObject::Free(cursor);
  }
};

TEST_F(TaskDatabaseTest, RebuildRefusalsLeaveNoTaskCursorOrDatabase) {
  Fill(10);
  TnxAbstractDatabase* readOnly = nullptr;
  ASSERT_EQ(db_->Session()->DatabaseOpen(readOnly, u"Path", u"/data/db", nullptr, omReadOnly, smShared, 0), 0u);
  struct Case {
    TnxAbstractDatabase* db;
    const char16_t* table;
    const char16_t* index;
    std::int32_t id;
    TnxResult code;
  } cases[] = {
      {db_, u"bt", u"NoSuch", -1, 9997},
      {db_, u"bt", u"", 2, 9997},     // two indices
      {db_, u"bt", u"", -1, 9997},
      {db_, u"bt", u" ByGrp", 1, 10022},
      {db_, u"", u"", 0, 10024},
      {readOnly, u"bt", u"ByGrp", -1, 10501},
  };
  const std::int32_t databases = db_->Session()->DatabaseCount();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << platform::toUtf8(c.table) << " " << platform::toUtf8(c.index) << " " << c.id);
    TnxAbstractTaskInfo* task = reinterpret_cast<TnxAbstractTaskInfo*>(1);
    EXPECT_EQ(c.db->TableRebuildIndex(c.table, u"", c.index, c.id, task), c.code);
    EXPECT_EQ(task, nullptr);
    EXPECT_EQ(db_->Session()->DatabaseCount(), databases);
    EXPECT_EQ(db_->Session()->TaskInfoCount(), 0);
  }
  EXPECT_EQ(engine_->TaskThreadCount(), 0);
  // Nothing kept the table: an exclusive cursor opens.
  TnxAbstractCursor* exclusive = nullptr;
  EXPECT_EQ(db_->CursorOpen(exclusive, u"bt", u"", omReadWrite, smExclusive, 0, u"ByID", -1, false, {}, 500, nullptr),
            0u);
  TnxAbstractServerObject::Free(exclusive);
}

TEST_F(TaskDatabaseTest, RebuildByNameOrNumberRefillsTheIndexInItsThread) {
  nxtest::Watchdog watchdog;
  Fill(100);
  struct Case {
    const char16_t* name;
    std::int32_t id;
  } cases[] = {{u"ByGrp", -1}, {u"", 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(platform::toUtf8(c.name));
    WipeGrpKeys();
    ASSERT_EQ(GrpKeyCount(), 0u);
    TnxAbstractTaskInfo* task = nullptr;
    ASSERT_EQ(db_->TableRebuildIndex(u"bt", u"", c.name, c.id, task), 0u);
    ASSERT_NE(platform::objectAs<TnxServerRebuildIndexTaskInfo>(task), nullptr);
    const TnxTaskStatus status = WaitFinished(task);
    EXPECT_EQ(status.tsErrorCode, 0u);
    EXPECT_EQ(status.tsTotalRecs, 100u);
    EXPECT_EQ(status.tsRecsRead, 100u);
    EXPECT_EQ(status.tsRecsWritten, 100u);
    EXPECT_EQ(status.tsPercentDone, 100);
    TnxAbstractServerObject::Free(task);
    EXPECT_EQ(GrpKeyCount(), 100u);
  }
}

TEST_F(TaskDatabaseTest, SqlPathRunsRebuildInTheCallersThreadAndACancelKeepsTheOldKeys) {
  Fill(100);
  struct Case {
    bool cancel;
    TnxResult code;
    TnxWord32 written;
  } cases[] = {{false, 0, 100}, {true, 13062, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cancel);
    ASSERT_EQ(GrpKeyCount(), 100u);
    TnxServerTableCursor* cursor = Open(db_);
    auto* task = platform::create<TnxBaseServerRebuildIndexTaskInfo>(cursor, 1);
    if (c.cancel) {
      ASSERT_EQ(task->Cancel(), 0u);
    }
    task->Execute();
    bool completed = false;
    TnxTaskStatus status{};
    ASSERT_EQ(task->GetStatus(completed, status), 0u);
    EXPECT_TRUE(completed);
    EXPECT_FALSE(task->Executing());
    EXPECT_EQ(status.tsErrorCode, c.code);
    EXPECT_EQ(status.tsRecsWritten, c.written);
    TnxAbstractServerObject::Free(task);
    TnxAbstractServerObject::Free(cursor);
    // Rolled back: every old key is still there.
    EXPECT_EQ(GrpKeyCount(), 100u);
  }
}

class ChecksumTaskTest : public TaskDatabaseTest {
 protected:
  void SetUp() override {
    TaskDatabaseTest::SetUp();
    TnxBaseEncryptionEngine::Register(ChecksumPlainEngine::staticClassInfo(), u"ChecksumPlain", false, 1);
    // Records in file 0, their index in file 1.
    TnxOwned<TnxServerDataDict> dict(nxtest::tableDictionary());
    dict->FilesDescriptor()->AddFile(u"idx", nxbs4k, u"");
    TnxMainIndicesDescriptor* indices = dict->EnsureIndicesDescriptor();
    indices->RemoveIndex(u"Sequential Access Index");
    platform::objectAs<TnxCompKeyDescriptor>(indices->AddIndex(u"ByID", 1, idNone, u"")->KeyDescriptor())->Add(0);
    dict->SetEncryptionEngine(u"ChecksumPlain");
    ASSERT_EQ(db_->Folder()->sfTableBuild(false, u"ct", u"", false, dict.get(), tsPersistent), 0u);
    TnxAbstractCursor* cursor = nullptr;
    ASSERT_EQ(db_->CursorOpen(cursor, u"ct", u"", omReadWrite, smShared, 0, u"ByID", -1, false, {}, 500, nullptr),
              0u);
    auto* table = static_cast<TnxServerTableCursor*>(cursor);
    std::vector<std::uint8_t> record = Record(table);
    for (std::int32_t id = 1; id <= 300; ++id) {
      SetRecord(table, record, {id, "checked", std::nullopt});
      ASSERT_EQ(cursor->RecordInsert(nxltNoLock, record.data(), nullptr), 0u);
    }
    TnxAbstractServerObject::Free(cursor);
  }
  void TearDown() override {
    TaskDatabaseTest::TearDown();
    TnxBaseEncryptionEngine::Unregister(ChecksumPlainEngine::staticClassInfo());
  }
  // aWork with the files of "ct" (through a cursor freed afterwards).
  template <class Work>
  void WithFiles(Work&& aWork) {
    TnxAbstractCursor* cursor = nullptr;
    ASSERT_EQ(db_->CursorOpen(cursor, u"ct", u"", omReadOnly, smShared, 0, u"", -1, false, {}, 500, nullptr), 0u);
    TnxServerRootTable* root = static_cast<TnxServerTableCursor*>(cursor)->Table()->Root();
    ASSERT_EQ(root->FileCount(), 2);
    aWork(root->Files(0), root->Files(1));
    TnxAbstractServerObject::Free(cursor);
  }
  TnxTaskStatus Verify(bool aRaw, bool aForce) {
    TnxAbstractTaskInfo* task = nullptr;
    EXPECT_EQ(db_->TableVerifyChecksum(u"ct", u"", aRaw, aForce, task), 0u);
    if (!task) return {};
    const TnxTaskStatus status = WaitFinished(task);
    TnxAbstractServerObject::Free(task);
    return status;
  }
  static int Added(bool aRaw) {
    return aRaw ? ChecksumPlainEngine::blocksAdded.load() : ChecksumPlainEngine::cookiesAdded.load();
  }
};

TEST_F(TaskDatabaseTest, ShippedEnginesKeepNoChecksumAndAreRefused) {
  TnxAbstractTaskInfo* task = nullptr;
  EXPECT_EQ(db_->TableVerifyChecksum(u"bt", u"", true, false, task), 12289u);
  EXPECT_EQ(task, nullptr);
  nxtest::expectCode([] { throw EnxBaseException(12289); }, 12289,
                     u"Table bt is not using an encryption engine that supports file checksums.");
  EXPECT_EQ(db_->Session()->TaskInfoCount(), 0);
}

TEST_F(ChecksumTaskTest, VerifiedFilesAreNotReadAgainUnlessForced) {
  nxtest::Watchdog watchdog;
  for (bool raw : {true, false}) {
    SCOPED_TRACE(raw ? "raw blocks" : "block cookies");
    TnxWord32 used0 = 0, used1 = 0;
    WithFiles([&](TnxBaseFile* aMain, TnxBaseFile* aBlobs) {
      aMain->SetCheckSumVerified(false);
      aBlobs->SetCheckSumVerified(false);
      used0 = aMain->UsedBlocks();
      used1 = aBlobs->UsedBlocks();
    });
    ASSERT_GT(used0, 1u);
    ASSERT_GT(used1, 1u);
    const int before = Added(raw);
    TnxTaskStatus status = Verify(raw, false);
    EXPECT_EQ(status.tsErrorCode, 0u);
    EXPECT_EQ(status.tsTotalRecs, used0 + used1);
    EXPECT_EQ(status.tsRecsRead, used0 + used1);
    EXPECT_EQ(Added(raw) - before, static_cast<int>(used0 - 1 + used1 - 1)) << "every block but the headers";
    WithFiles([&](TnxBaseFile* aMain, TnxBaseFile* aBlobs) {
      EXPECT_TRUE(aMain->CheckSumVerified());
      EXPECT_TRUE(aBlobs->CheckSumVerified());
    });

    const int second = Added(raw);
    status = Verify(raw, false);
    EXPECT_EQ(status.tsErrorCode, 0u);
    EXPECT_EQ(status.tsRecsRead, used0 + used1) << "all blocks count as done";
    EXPECT_EQ(Added(raw), second) << "a verified file is not read again";

    status = Verify(raw, true);
    EXPECT_EQ(status.tsErrorCode, 0u);
    EXPECT_EQ(Added(raw) - second, static_cast<int>(used0 - 1 + used1 - 1));
  }
}

TEST_F(ChecksumTaskTest, MismatchEndsWith8961AndLeavesLaterFilesUnchecked) {
  nxtest::Watchdog watchdog;
  TnxWord32 used0 = 0;
  std::vector<std::uint8_t> stored;
  WithFiles([&](TnxBaseFile* aMain, TnxBaseFile* aBlobs) {
    aMain->SetCheckSumVerified(false);
    aBlobs->SetCheckSumVerified(false);
    used0 = aMain->UsedBlocks();
    stored = aMain->Checksum();
    aMain->SetChecksum({1, 0, 0, 0});
  });
  const int before = Added(true);
  const TnxTaskStatus status = Verify(true, false);
  EXPECT_EQ(status.tsErrorCode, 8961u);
  EXPECT_EQ(status.tsRecsRead, used0);
  EXPECT_EQ(Added(true) - before, static_cast<int>(used0 - 1)) << "only the first file was walked";
  WithFiles([&](TnxBaseFile* aMain, TnxBaseFile* aBlobs) {
    EXPECT_FALSE(aMain->CheckSumVerified());
    EXPECT_FALSE(aBlobs->CheckSumVerified());
    aMain->SetChecksum(stored);
  });
}

}  // namespace
