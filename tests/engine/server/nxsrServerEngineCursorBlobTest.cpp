#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "nxllStreams.h"
#include "nxsrBlobHandlerCaching.h"
#include "nxsrBlobHandlerPassthrough.h"
#include "nxsrServerEngineTableTestSupport.h"
#include "nxTestWatchdog.h"
#include "plString.h"

namespace {

using nxtest::ServerEngineFixture;

constexpr std::int32_t kInProcess = 47501;
constexpr std::int32_t kOldClient = 10000;
// Fields of the BLOB tables.
constexpr std::int32_t kMemo = 2;
constexpr std::int32_t kPic = 3;

// "ID" (unique index "ByID"), "Name", BLOB fields "Memo" and "Pic"; with
// aSimple the simple BLOB engine, else the segmented one; aCacheable adds
// the insert-LSN and reference fields and the "$BlobNrCounter" index.
TnxServerDataDict* blobDictionary(bool aSimple, bool aCacheable = false) {
  TnxServerDataDict* dict = nxtest::tableDictionary(true);
  dict->FieldsDescriptor()->AddField(u"Memo", u"", nxtBlobMemo, 0, 0, false);
  dict->FieldsDescriptor()->AddField(u"Pic", u"", nxtBlob, 0, 0, false);
  if (aSimple) {
    dict->AddBlobDescriptor(&TnxBaseBlobDescriptor::staticClassInfo())->SetBlobEngine(u"nx1xSimple");
  } else {
    auto* blob = platform::objectAs<TnxHeapBlobDescriptor>(dict->AddBlobDescriptor());
    blob->AddHeapDescriptor()->AddBlockHeapDescriptor();
  }
  if (aCacheable) dict->MakeCacheable(true);
  return dict;
}

std::string text(const TnxMemoryStream& aStream) {
  return std::string(static_cast<const char*>(aStream.Memory()), static_cast<std::size_t>(
                                                                      const_cast<TnxMemoryStream&>(aStream).Size()));
}

class CursorBlobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nxSetTimeout(0, true);
    engine_ = fixture_.Started();
    fixture_.Fs().makeDirectory("/data/db");
    db_ = NewDatabase(kOldClient);
    Build(u"seg", blobDictionary(false));
    Build(u"smp", blobDictionary(true));
    Build(u"cch", blobDictionary(false, true));
    Build(u"plain", nxtest::tableDictionary(true));
  }
  void TearDown() override {
    nxsrBlobCopyReadTestHook.store(nullptr);
    for (auto it = sessions_.rbegin(); it != sessions_.rend(); ++it) TnxAbstractServerObject::Free(*it);
  }
  void Build(const nxString& aName, TnxServerDataDict* aDict) {
    TnxOwned<TnxServerDataDict> dict(aDict);
    ASSERT_EQ(db_->Folder()->sfTableBuild(false, aName, u"", false, dict.get(), tsPersistent), 0);
  }
  TnxServerDatabase* NewDatabase(std::int32_t aClientVersion) {
    TnxAbstractSession* session = nullptr;
    EXPECT_EQ(engine_->SessionOpenEx(session, u"user", u"pw", u"test", 0, aClientVersion), 0);
    sessions_.push_back(session);
    TnxAbstractDatabase* db = nullptr;
    EXPECT_EQ(session->DatabaseOpen(db, u"Path", u"/data/db", nullptr, omReadWrite, smShared, 0), 0);
    return static_cast<TnxServerDatabase*>(db);
  }
  TnxServerTableCursor* Open(TnxServerDatabase* aDb, const nxString& aTable, TnxShareMode aShare = smShared,
                             TnxResult aExpect = 0) {
    TnxAbstractCursor* cursor = nullptr;
    EXPECT_EQ(aDb->CursorOpen(cursor, aTable, u"", omReadWrite, aShare, 0, u"", -1, false, {}, 500, nullptr),
              aExpect);
    return static_cast<TnxServerTableCursor*>(cursor);
  }
  TnxServerTransContext* Context(TnxServerDatabase* aDb) {
    return static_cast<TnxServerTransContext*>(aDb->TransContext());
  }
  TnxFieldsDescriptor* Fields(TnxServerTableCursor* aCursor) {
    return aCursor->Table()->TableDescriptor()->FieldsDescriptor();
  }

  // Stored records through the engines in a transaction of aCursor's
  // database: one per entry of aMemos ("" leaves Memo NULL, "<zero>" holds
  // number 0, "<empty>" an empty BLOB, "<gone>" a deleted BLOB's number),
  // Pic always NULL. Answers the references; aNumbers the Memo BLOB numbers.
  std::vector<TnxRecID> Fill(TnxServerTableCursor* aCursor, const std::vector<std::string>& aMemos,
                             std::vector<TnxBlobNr>& aNumbers) {
    std::vector<TnxRecID> ids;
    TnxServerTransContext* context = Context(static_cast<TnxServerDatabase*>(aCursor->Database()));
    EXPECT_EQ(context->stcTransactionStart(false, false, false, false, false, true), 0);
    EXPECT_EQ(aCursor->sbcBeginContentLock(true, false, false), 0);
    TnxBaseTransaction* trans = context->Transaction();
    TnxFieldsDescriptor* fields = Fields(aCursor);
    TnxSpecialFieldsInfo* sfi = aCursor->SFI();
    std::vector<std::uint8_t> record(static_cast<std::size_t>(fields->RecordLength()) + 16, 0);
    std::int32_t id = static_cast<std::int32_t>(nextID_);
    for (const std::string& memo : aMemos) {
      ++id;
      fields->InitRecord(record.data());
      fields->SetRecordField(0, record.data(), &id);
      TnxBlobNr number = 0;
      if (memo == "<zero>") {
        fields->SetRecordField(kMemo, record.data(), &number);
      } else if (memo == "<empty>") {
        aCursor->Table()->BlobEngine()->AddBlob(trans, number);
        fields->SetRecordField(kMemo, record.data(), &number);
      } else if (memo == "<gone>") {
        // A number whose BLOB was deleted: every access to it fails.
        aCursor->Table()->BlobEngine()->AddBlob(trans, number);
        aCursor->Table()->BlobEngine()->Write(trans, number, 0, 4, "gone");
        aCursor->Table()->BlobEngine()->DeleteBlob(trans, number);
        fields->SetRecordField(kMemo, record.data(), &number);
      } else if (!memo.empty()) {
        aCursor->Table()->BlobEngine()->AddBlob(trans, number);
        aCursor->Table()->BlobEngine()->Write(trans, number, 0, static_cast<std::uint32_t>(memo.size()),
                                              memo.data());
        fields->SetRecordField(kMemo, record.data(), &number);
      }
      aNumbers.push_back(number);
      const TnxLSN insertLSN = 1000 + id;
      // Cacheable tables: distinct LSNs and the reference field.
      for (const TnxSpecialFieldType kind : {sftInsertLSN, sftModifyLSN})
        if (sfi && sfi->sfiOffsets[kind] >= 0) std::memcpy(record.data() + sfi->sfiOffsets[kind], &insertLSN, 8);
      TnxRefNr refNr = 0;
      aCursor->Table()->RecordEngine()->AddRecord(trans, refNr, record.data());
      EXPECT_EQ(aCursor->Table()->IndicesEngine()->InsertKeys(trans, refNr, record.data(), nullptr), 0);
      ids.push_back(TnxRecID{refNr, sfi && sfi->sfiOffsets[sftInsertLSN] >= 0 ? insertLSN : 0});
    }
    nextID_ = id;
    EXPECT_EQ(context->stcTransactionCommit(), 0);
    return ids;
  }
  // The whole BLOB through the public read; "!<code>" on failure.
  std::string Read(TnxAbstractCursor* aCursor, const TnxRecID& aRecID, std::int32_t aField, TnxBlobNr aNr,
                   bool aReadOrg = false, PnxNewBlobNr aNew = nullptr) {
    TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
    const TnxResult result = aCursor->BlobRead(aRecID, aField, aNr, 0, 0x7FFFFFFF, *stream, aReadOrg, aNew);
    if (result != 0) return "!" + std::to_string(result);
    return text(*stream);
  }

  ServerEngineFixture fixture_;
  TnxServerEngine* engine_ = nullptr;
  std::vector<TnxAbstractSession*> sessions_;
  TnxServerDatabase* db_ = nullptr;
  std::int32_t nextID_ = 0;
};

// ---- Handlers ---------------------------------------------------------------------------

TEST_F(CursorBlobTest, EachCursorGetsTheHandlerItsTableAndClientCallFor) {
  TnxServerDatabase* current = NewDatabase(kInProcess);
  struct Row {
    TnxServerDatabase* db;
    const char16_t* table;
    const platform::ClassInfo* handler;
  };
  const Row rows[] = {
      {current, u"plain", &TnxNullBlobHandler::staticClassInfo()},
      {current, u"seg", &TnxCachingBlobHandler::staticClassInfo()},
      {db_, u"plain", &TnxNullBlobHandler::staticClassInfo()},
      {db_, u"seg", &TnxPassthroughBlobHandler::staticClassInfo()},
      {db_, u"smp", &TnxPassthroughBlobHandler::staticClassInfo()},
  };
  for (const Row& row : rows) {
    TnxServerTableCursor* cursor = Open(row.db, row.table);
    ASSERT_NE(cursor, nullptr);
    ASSERT_NE(cursor->BlobHandler(), nullptr);
    EXPECT_EQ(&cursor->BlobHandler()->classInfo(), row.handler) << platform::toUtf8(row.table);
  }
  // A result set changes its BLOBs at once.
  TnxOwned<TnxServerDataDict> dict(blobDictionary(false));
  TnxServerTableCursor* resultSet = TnxServerTableCursor::CreateResultSet(current, dict.get(), 0);
  EXPECT_EQ(&resultSet->BlobHandler()->classInfo(), &TnxPassthroughBlobHandler::staticClassInfo());
  TnxAbstractServerObject::Free(resultSet);
}

TEST_F(CursorBlobTest, ATableWithoutBlobFieldsRefusesBlobOperationsByName) {
  TnxServerTableCursor* cursor = Open(NewDatabase(kInProcess), u"plain");
  TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
  EXPECT_EQ(cursor->BlobRead(nxNullRecID, -1, 1, 0, 10, *stream, false, nullptr), nxErrNotSupported);
  EXPECT_EQ(nxtest::pendingMessage(), u"BlobRead not supported by TnxNullBlobHandler");
  TnxBlobNr number = 0;
  EXPECT_EQ(cursor->sbcBlobCreate(nxNullRecID, -1, number), nxErrNotSupported);
  EXPECT_EQ(nxtest::pendingMessage(), u"BlobCreate not supported by TnxNullBlobHandler");
  std::uint16_t count = 5;
  TnxBlobNr numbers[5];
  EXPECT_EQ(cursor->stcGetBlobs(nullptr, false, count, numbers), 0);
  EXPECT_EQ(count, 0);
}

TEST_F(CursorBlobTest, APassthroughCursorRefusesReadsOfTheOldContent) {
  TnxServerTableCursor* cursor = Open(db_, u"seg");
  std::vector<TnxBlobNr> numbers;
  const std::vector<TnxRecID> ids = Fill(cursor, {"stored"}, numbers);
  EXPECT_EQ(Read(cursor, ids[0], kMemo, numbers[0], true), "!12289");
  EXPECT_EQ(nxtest::pendingMessage(), u"BlobRead with aReadOld = True is not supported by TnxPassthroughBlobHandler");
  std::uint32_t length = 0;
  EXPECT_EQ(cursor->BlobGetLength(ids[0], kMemo, numbers[0], length, true, nullptr), nxErrNotSupported);
  EXPECT_EQ(nxtest::pendingMessage(),
            u"BlobGetLength with aReadOld = True is not supported by TnxPassthroughBlobHandler");
  EXPECT_EQ(Read(cursor, ids[0], kMemo, numbers[0]), "stored");
}

TEST_F(CursorBlobTest, PassthroughReplaceOnNumberZeroCreatesOnlyForData) {
  for (const char16_t* table : {u"seg", u"smp"}) {
    TnxServerTableCursor* cursor = Open(db_, table);
    TnxBlobNr number = 0;
    ASSERT_EQ(cursor->sbcBlobReplace(nxNullRecID, kMemo, number, 0, nullptr), 0);
    EXPECT_EQ(number, 0u);
    ASSERT_EQ(cursor->sbcBlobReplace(nxNullRecID, kMemo, number, 5, "hello"), 0);
    ASSERT_NE(number, 0u);
    EXPECT_EQ(Read(cursor, nxNullRecID, kMemo, number), "hello");
    // A shorter replacement leaves no tail of the old content.
    ASSERT_EQ(cursor->sbcBlobReplace(nxNullRecID, kMemo, number, 2, "hi"), 0);
    EXPECT_EQ(Read(cursor, nxNullRecID, kMemo, number), "hi");
    ASSERT_EQ(cursor->sbcBlobReplace(nxNullRecID, kMemo, number, 0, nullptr), 0);
    EXPECT_EQ(Read(cursor, nxNullRecID, kMemo, number), "");
  }
}

TEST_F(CursorBlobTest, GetBlobsStopsAtTheCapacityWithTheCountSoFar) {
  TnxServerTableCursor* cursor = Open(db_, u"seg");
  TnxFieldsDescriptor* fields = Fields(cursor);
  std::vector<std::uint8_t> record(static_cast<std::size_t>(fields->RecordLength()), 0);
  fields->InitRecord(record.data());
  const TnxBlobNr memo = 7, pic = 9;
  fields->SetRecordField(kMemo, record.data(), &memo);
  fields->SetRecordField(kPic, record.data(), &pic);
  TnxBlobNr numbers[2] = {};
  std::uint16_t count = 1;
  EXPECT_EQ(cursor->BlobHandler()->GetBlobs(nullptr, record.data(), nullptr, count, numbers), nxErrOutOfRange);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(numbers[0], memo);
  count = 2;
  EXPECT_EQ(cursor->BlobHandler()->GetBlobs(nullptr, record.data(), nullptr, count, numbers), 0);
  EXPECT_EQ(count, 2);
  // Only the second BLOB field is marked.
  const TnxMarkedBlobsByBlobIdx marked{2};
  count = 2;
  EXPECT_EQ(cursor->BlobHandler()->GetBlobs(nullptr, record.data(), &marked, count, numbers), 0);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(numbers[0], pic);
  count = 2;
  EXPECT_EQ(cursor->BlobHandler()->GetBlobs(nullptr, nullptr, nullptr, count, numbers), nxErrInvalidParam);
}

// ---- Verification -------------------------------------------------------------------------

TEST_F(CursorBlobTest, AStaleNumberReadsTheRecordsCurrentBlobOnlyWithANewNumberRecord) {
  TnxServerTableCursor* cursor = Open(NewDatabase(kInProcess), u"seg");
  std::vector<TnxBlobNr> numbers;
  const std::vector<TnxRecID> ids = Fill(cursor, {"first", "second"}, numbers);
  // The number of record 2's BLOB, named with record 1.
  TnxNewBlobNr renumbered{0, false};
  EXPECT_EQ(Read(cursor, ids[0], kMemo, numbers[1], false, &renumbered), "first");
  EXPECT_TRUE(renumbered.nbnSet);
  EXPECT_EQ(renumbered.nbnBlobNr, numbers[0]);
  std::uint32_t length = 0;
  renumbered = {0, false};
  EXPECT_EQ(cursor->BlobGetLength(ids[0], kMemo, numbers[1], length, false, &renumbered), 0);
  EXPECT_EQ(length, 5u);
  EXPECT_TRUE(renumbered.nbnSet);
  // The current number itself: no redirect.
  renumbered = {0, true};
  EXPECT_EQ(Read(cursor, ids[0], kMemo, numbers[0], false, &renumbered), "first");
  EXPECT_FALSE(renumbered.nbnSet);

  struct Row {
    TnxRecID id;
    std::int32_t field;
    TnxBlobNr number;
    std::string expected;
  };
  const Row rows[] = {
      {ids[0], kMemo, numbers[1], "!13058"},       // stale, nobody to tell
      {ids[0], kMemo, 0, "!10030"},                // no number where a record is named
      {TnxRecID{0, 0}, kMemo, numbers[1], "second"},  // record not stored yet: no check
      {ids[0], -1, numbers[1], "second"},          // no field: no check
      {ids[1], kMemo, numbers[1], "second"},
  };
  for (const Row& row : rows)
    EXPECT_EQ(Read(cursor, row.id, row.field, row.number), row.expected)
        << row.id.ridRefNr << " " << row.field << " " << row.number;
}

TEST_F(CursorBlobTest, WritesNamingAGoneOrReusedRecordAreRefused) {
  TnxServerDatabase* db = NewDatabase(kInProcess);
  TnxServerTableCursor* cursor = Open(db, u"cch");
  std::vector<TnxBlobNr> numbers;
  const std::vector<TnxRecID> ids = Fill(cursor, {"one", "two"}, numbers);
  ASSERT_NE(ids[0].ridInsertLSN, 0);
  // The same RefNr with another InsertLSN: a record that reused the slot.
  const TnxRecID reused{ids[0].ridRefNr, ids[0].ridInsertLSN + 1};
  EXPECT_EQ(cursor->BlobWrite(reused, kMemo, numbers[0], 0, 1, "x"), nxErrKeyOrRecDeleted);
  // Record 2 deleted through the engines.
  TnxServerTransContext* context = Context(db);
  ASSERT_EQ(context->stcTransactionStart(false, false, false, false, false, true), 0);
  ASSERT_EQ(cursor->sbcBeginContentLock(true, false, false), 0);
  cursor->Table()->RecordEngine()->DeleteRecord(context->Transaction(), ids[1].ridRefNr);
  ASSERT_EQ(context->stcTransactionCommit(), 0);
  EXPECT_EQ(cursor->BlobWrite(ids[1], kMemo, numbers[1], 0, 1, "x"), nxErrKeyOrRecDeleted);
  // Nothing was written.
  EXPECT_EQ(Read(cursor, nxNullRecID, -1, numbers[0]), "one");
  EXPECT_EQ(Read(cursor, nxNullRecID, -1, numbers[1]), "two");
  EXPECT_EQ(cursor->BlobWrite(ids[0], kMemo, numbers[0], 0, 1, "O"), 0);
  EXPECT_EQ(Read(cursor, ids[0], kMemo, numbers[0]), "One");
  EXPECT_EQ(Read(cursor, ids[0], kMemo, numbers[0], true), "one");
}

TEST_F(CursorBlobTest, FreeingAnEmptyBlobDeletesItAndSaysSo) {
  TnxServerTableCursor* cursor = Open(db_, u"seg");
  TnxBlobNr empty = 0, full = 0;
  ASSERT_EQ(cursor->BlobCreate(nxNullRecID, kMemo, empty), 0);
  ASSERT_EQ(cursor->BlobCreate(nxNullRecID, kMemo, full), 0);
  ASSERT_EQ(cursor->BlobWrite(nxNullRecID, kMemo, full, 0, 4, "data"), 0);
  EXPECT_EQ(cursor->BlobFree(nxNullRecID, kMemo, empty), nxErrBlobModified);
  EXPECT_EQ(cursor->BlobFree(nxNullRecID, kMemo, full), 0);
  EXPECT_EQ(Read(cursor, nxNullRecID, kMemo, full), "data");
  // A number the named record does not hold (a caching cursor does not
  // vouch for it).
  TnxServerTableCursor* caching = Open(NewDatabase(kInProcess), u"seg");
  std::vector<TnxBlobNr> numbers;
  const std::vector<TnxRecID> ids = Fill(caching, {"kept"}, numbers);
  EXPECT_EQ(caching->BlobFree(ids[0], kMemo, full), nxErrSegmentDeleted);
}

TEST_F(CursorBlobTest, ALinkIsCreatedOnlyInsideAUserTransaction) {
  TnxServerTableCursor* cursor = Open(db_, u"seg");
  TnxBlobNr link = 0;
  EXPECT_EQ(cursor->sbcBlobCreateLink(nxNullRecID, kMemo, u"smp", 1, link), nxErrNoTransaction);
}

TEST_F(CursorBlobTest, ASharedWriteWaitsForNoOtherCursorsTableLock) {
  TnxServerTableCursor* writer = Open(db_, u"seg");
  TnxServerTableCursor* locker = Open(NewDatabase(kOldClient), u"seg");
  TnxBlobNr number = 0;
  ASSERT_EQ(writer->BlobCreate(nxNullRecID, kMemo, number), 0);
  ASSERT_EQ(locker->TableLockAcquire(nxltWriteLock), 0);
  EXPECT_EQ(writer->BlobWrite(nxNullRecID, kMemo, number, 0, 3, "abc"), nxErrFileLocked);
  ASSERT_EQ(locker->TableLockRelease(nxltWriteLock, true), 0);
  EXPECT_EQ(writer->BlobWrite(nxNullRecID, kMemo, number, 0, 3, "abc"), 0);
  EXPECT_EQ(Read(writer, nxNullRecID, kMemo, number), "abc");
}

// ---- Copies ------------------------------------------------------------------------------

std::vector<std::pair<std::uint32_t, std::uint32_t>> gCopyReads;
void recordCopyRead(std::uint32_t aOffset, std::uint32_t aLen) { gCopyReads.emplace_back(aOffset, aLen); }

TEST_F(CursorBlobTest, CopiesMoveAtMostOneMegabytePerRead) {
  TnxServerTableCursor* source = Open(db_, u"seg");
  TnxServerTableCursor* target = Open(db_, u"smp");
  constexpr std::uint32_t kMB = 1024 * 1024;
  std::string big(3 * kMB, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 23);
  TnxBlobNr number = 0;
  ASSERT_EQ(source->BlobReplace(nxNullRecID, kMemo, number, static_cast<std::uint32_t>(big.size()), big.data()), 0);

  TnxServerTransContext* context = Context(db_);
  ASSERT_EQ(context->stcTransactionStart(false, false, false, false, false, true), 0);
  ASSERT_EQ(target->sbcBeginContentLock(true, false, false), 0);
  nxsrBlobCopyReadTestHook.store(recordCopyRead);
  struct Row {
    std::int64_t limit;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> reads;
    std::size_t length;
  };
  const Row rows[] = {
      {-1, {{0, kMB}, {kMB, kMB}, {2 * kMB, kMB}, {3 * kMB, kMB}}, 3 * kMB},
      {1000, {{0, 1000}}, 1000},
      {0, {}, 0},
  };
  for (const Row& row : rows) {
    gCopyReads.clear();
    TnxBlobNr copy = 0;
    ASSERT_EQ(target->sbcBlobCopyPrim(source, kMemo, number, kMemo, copy, row.limit), 0) << row.limit;
    EXPECT_EQ(gCopyReads, row.reads) << row.limit;
    EXPECT_EQ(Read(target, nxNullRecID, -1, copy), big.substr(0, row.length)) << row.limit;
  }
  // Content into an existing BLOB is cut to what was copied.
  TnxBlobNr existing = 0;
  target->Table()->BlobEngine()->AddBlob(context->Transaction(), existing);
  target->Table()->BlobEngine()->Write(context->Transaction(), existing, 0, 5000, big.data() + 7);
  ASSERT_EQ(target->sbcBlobCopyContentPrim(source, kMemo, number, kMemo, existing, 1000), 0);
  EXPECT_EQ(Read(target, nxNullRecID, -1, existing), big.substr(0, 1000));
  nxsrBlobCopyReadTestHook.store(nullptr);
  ASSERT_EQ(context->stcTransactionCommit(), 0);
}

TEST_F(CursorBlobTest, AFileBlobIsCopiedAsAReferenceOrNotAtAll) {
  TnxServerTableCursor* source = Open(db_, u"seg");
  TnxServerTableCursor* target = Open(db_, u"seg");
  TnxBlobNr file = 0;
  ASSERT_EQ(source->BlobCreateFile(nxNullRecID, kMemo, u"outside.bin", file), 0);
  TnxServerTransContext* context = Context(db_);
  ASSERT_EQ(context->stcTransactionStart(false, false, false, false, false, true), 0);
  ASSERT_EQ(target->sbcBeginContentLock(true, false, false), 0);
  TnxBlobNr copy = 0;
  EXPECT_EQ(target->sbcBlobCopyPrim(source, kMemo, file, kMemo, copy, 10), nxErrReadOnlyField);
  ASSERT_EQ(target->sbcBlobCopyPrim(source, kMemo, file, kMemo, copy, -1), 0);
  nxString name;
  EXPECT_TRUE(target->Table()->BlobEngine()->IsFileBlob(context->Transaction(), copy, name));
  EXPECT_EQ(name, u"outside.bin");
  ASSERT_EQ(target->sbcBlobCopyPrim(source, kMemo, file, kMemo, copy, 0), 0);
  EXPECT_FALSE(target->Table()->BlobEngine()->IsFileBlob(context->Transaction(), copy, name));
  ASSERT_EQ(context->stcTransactionCommit(), 0);
}

// ---- Batches -----------------------------------------------------------------------------

std::vector<std::uint8_t> bytes(const std::string& aText) { return {aText.begin(), aText.end()}; }

TEST_F(CursorBlobTest, ABatchAppliesAllEntriesOrNone) {
  // A batch names its record by RefNr and InsertLSN.
  TnxServerTableCursor* cursor = Open(NewDatabase(kInProcess), u"cch");
  std::vector<TnxBlobNr> numbers;
  const std::vector<TnxRecID> ids = Fill(cursor, {"stored", "other"}, numbers);
  std::vector<std::uint8_t> replyMemory(sizeof(TnxBlobBatchReply) + 4 * sizeof(TnxBlobBatchReplyEntry));
  auto* reply = reinterpret_cast<TnxBlobBatchReply*>(replyMemory.data());

  // A new BLOB (number 0), then one naming another record's BLOB, then a
  // change of the record's own.
  TnxBlobBatchRequest failing{ids[0],
                              {{0, 1, cbsiCreated, u"", bytes("new"), static_cast<std::uint16_t>(kPic)},
                               {numbers[1], 2, cbsiModified, u"", bytes("xx"), static_cast<std::uint16_t>(kMemo)},
                               {numbers[0], 3, cbsiModified, u"", bytes("zz"), static_cast<std::uint16_t>(kMemo)}}};
  EXPECT_EQ(cursor->BlobBatchProcess(failing, reply), nxErrBlobModified);
  EXPECT_EQ(reply->bbrpCount, 1);
  const TnxBlobNr rolledBack = reply->bbrpEntries[0].bbrpeBlobNr;
  EXPECT_NE(rolledBack, 0u);
  EXPECT_EQ(Read(cursor, nxNullRecID, -1, numbers[0]), "stored");
  EXPECT_EQ(Read(cursor, nxNullRecID, -1, numbers[1]), "other");

  TnxBlobBatchRequest good{ids[0],
                           {{0, 1, cbsiCreated, u"", bytes("new"), static_cast<std::uint16_t>(kPic)},
                            {numbers[0], 3, cbsiModified, u"", bytes("zz"), static_cast<std::uint16_t>(kMemo)}}};
  ASSERT_EQ(cursor->BlobBatchProcess(good, reply), 0);
  EXPECT_EQ(reply->bbrpCount, 2);
  ASSERT_NE(reply->bbrpEntries[0].bbrpeBlobNr, 0u);
  EXPECT_EQ(Read(cursor, nxNullRecID, -1, reply->bbrpEntries[0].bbrpeBlobNr), "new");
  EXPECT_EQ(reply->bbrpEntries[1].bbrpeBlobNr, numbers[0]);
  EXPECT_EQ(Read(cursor, ids[0], kMemo, numbers[0]), "zz");
  // An empty request does nothing.
  EXPECT_EQ(cursor->BlobBatchProcess(TnxBlobBatchRequest{ids[0], {}}, reply), 0);
}

// ---- Snapshot reads -----------------------------------------------------------------------

TEST_F(CursorBlobTest, ASnapshotReadEndsWithTheShortPiece) {
  TnxServerTableCursor* cursor = Open(db_, u"seg");
  std::vector<TnxBlobNr> numbers;
  const std::vector<TnxRecID> ids = Fill(cursor, {"0123456789"}, numbers);
  TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
  TnxBlobReadSnapshotState state = brssRequestStart;
  std::uint32_t total = 0;
  ASSERT_EQ(cursor->BlobReadSnapshoted(ids[0], kMemo, numbers[0], 0, 4, *stream, false, state, &total, nullptr), 0);
  EXPECT_EQ(state, brssStarted);
  EXPECT_EQ(total, 10u);
  EXPECT_TRUE(Context(db_)->Transaction() != nullptr);
  ASSERT_EQ(cursor->BlobReadSnapshoted(ids[0], kMemo, numbers[0], 4, 4, *stream, false, state, &total, nullptr), 0);
  EXPECT_EQ(state, brssStarted);
  ASSERT_EQ(cursor->BlobReadSnapshoted(ids[0], kMemo, numbers[0], 8, 4, *stream, false, state, &total, nullptr), 0);
  EXPECT_EQ(state, brssClosed);
  EXPECT_EQ(Context(db_)->Transaction(), nullptr);
  EXPECT_EQ(text(*stream), "0123456789");
  for (const TnxBlobReadSnapshotState refused : {brssFailedToStart, brssFailedToClose, brssClosed}) {
    state = refused;
    EXPECT_EQ(cursor->BlobReadSnapshoted(ids[0], kMemo, numbers[0], 0, 4, *stream, false, state, &total, nullptr),
              nxErrInvalidParam);
  }
  // Inside a transaction no snapshot is needed.
  ASSERT_EQ(Context(db_)->stcTransactionStart(false, false, false, false, false, true), 0);
  state = brssRequestStart;
  ASSERT_EQ(cursor->BlobReadSnapshoted(ids[0], kMemo, numbers[0], 0, 4, *stream, false, state, &total, nullptr), 0);
  EXPECT_EQ(state, brssUnneccesary);
  ASSERT_EQ(Context(db_)->stcTransactionCommit(), 0);
}

// ---- Links -------------------------------------------------------------------------------

TEST_F(CursorBlobTest, LinkReadsShareOneCursorUntilTheTableAsksItToClose) {
  TnxServerTableCursor* cursor = Open(db_, u"smp");
  std::vector<TnxBlobNr> numbers;
  Fill(cursor, {"linked"}, numbers);
  TnxBlobLinkHandler* links = db_->BlobLinkHandler();
  ASSERT_NE(links, nullptr);
  for (int i = 0; i < 2; ++i) {
    TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
    ASSERT_EQ(links->BlobLinkRead(u"smp", numbers[0], 0, 100, *stream), 0);
    EXPECT_EQ(text(*stream), "linked");
  }
  std::uint32_t length = 0;
  ASSERT_EQ(links->BlobLinkGetLength(u"SMP", numbers[0], length), 0);
  EXPECT_EQ(length, 6u);
  EXPECT_EQ(links->CursorCount(), 1u);

  // An exclusive open elsewhere asks the idle link cursor to close (the
  // test's own cursor must go first).
  TnxAbstractServerObject::Free(cursor);
  TnxServerDatabase* other = NewDatabase(kOldClient);
  TnxServerTableCursor* exclusive = Open(other, u"smp", smExclusive);
  ASSERT_NE(exclusive, nullptr);
  EXPECT_EQ(links->CursorCount(), 0u);
  TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
  EXPECT_EQ(links->BlobLinkRead(u"smp", numbers[0], 0, 100, *stream), nxErrNoExclusiveAccess);
  EXPECT_EQ(links->CursorCount(), 0u);
  TnxAbstractServerObject::Free(exclusive);
  ASSERT_EQ(links->BlobLinkRead(u"smp", numbers[0], 0, 100, *stream), 0);
  EXPECT_EQ(links->CursorCount(), 1u);
}

}  // namespace

// ---- The caching handler ------------------------------------------------------------------

class CachingBlobTest : public CursorBlobTest {
 protected:
  // aCursor on the record with aID (read without lock) into aRecord.
  void Locate(TnxServerTableCursor* aCursor, std::int32_t aID, std::vector<std::uint8_t>& aRecord) {
    aRecord.assign(static_cast<std::size_t>(Fields(aCursor)->RecordLength()) + 16, 0);
    ASSERT_EQ(aCursor->SetToBegin(), 0);
    while (aCursor->RecordGetNext(nxltNoLock, aRecord.data()) == 0) {
      std::int32_t id = 0;
      std::memcpy(&id, aRecord.data() + Fields(aCursor)->Fields(0)->fdOffset, 4);
      if (id == aID) return;
    }
    FAIL() << "no record " << aID;
  }
  TnxBlobNr Memo(TnxServerTableCursor* aCursor, const std::vector<std::uint8_t>& aRecord, std::int32_t aField = kMemo) {
    if (Fields(aCursor)->IsRecordFieldNull(aField, aRecord.data())) return 0;
    TnxBlobNr number = 0;
    std::memcpy(&number, aRecord.data() + Fields(aCursor)->Fields(aField)->fdOffset, sizeof(number));
    return number;
  }
  // aRead on a thread of its own (another session's cursor).
  std::string ReadElsewhere(TnxServerTableCursor* aCursor, const TnxRecID& aRecID, TnxBlobNr aNr) {
    std::string content;
    std::thread reader([&] { content = Read(aCursor, aRecID, kMemo, aNr); });
    reader.join();
    return content;
  }
  bool Pending(TnxServerTableCursor* aCursor) { return aCursor->BlobHandler()->NeedNested(); }
};

TEST_F(CachingBlobTest, OthersReadTheStoredContentUntilTheRecordIsModified) {
  nxtest::Watchdog watchdog;
  // "seg" keeps no counters; "cch" (version 47005 with "$BlobNrCounter") does.
  for (const char16_t* table : {u"seg", u"cch"}) {
    SCOPED_TRACE(platform::toUtf8(table));
    TnxServerTableCursor* a = Open(NewDatabase(kInProcess), table);
    TnxServerTableCursor* b = Open(NewDatabase(kInProcess), table);
    std::vector<TnxBlobNr> numbers;
    const std::vector<TnxRecID> ids = Fill(a, {"old content"}, numbers);
    const TnxBlobNr stored = numbers[0];
    std::vector<std::uint8_t> record;
    Locate(a, nextID_, record);
    ASSERT_EQ(a->BlobWrite(ids[0], kMemo, stored, 0, 3, "NEW"), 0);
    EXPECT_EQ(Read(a, ids[0], kMemo, stored), "NEW content");
    EXPECT_EQ(Read(a, ids[0], kMemo, stored, true), "old content");
    EXPECT_EQ(ReadElsewhere(b, ids[0], stored), "old content");
    EXPECT_TRUE(Pending(a));

    ASSERT_EQ(a->RecordModify(record.data(), true, nullptr), 0);
    EXPECT_FALSE(Pending(a));
    std::vector<std::uint8_t> after;
    Locate(b, nextID_, after);
    const TnxBlobNr now = Memo(b, after);
    TnxBlobNr advanced = stored;
    a->Table()->BlobEngine()->IncBlobNr(advanced);
    EXPECT_EQ(now, advanced);
    if (platform::toUtf8(table) == "seg")
      EXPECT_EQ(now, stored);
    else
      EXPECT_NE(now, stored);
    EXPECT_EQ(ReadElsewhere(b, ids[0], now), "NEW content");
    EXPECT_EQ(Read(a, ids[0], kMemo, now), "NEW content");
  }
}

TEST_F(CachingBlobTest, ABlobTruncatedToNothingGoesWithTheModify) {
  TnxServerTableCursor* a = Open(NewDatabase(kInProcess), u"seg");
  std::vector<TnxBlobNr> numbers;
  const std::vector<TnxRecID> ids = Fill(a, {"content"}, numbers);
  std::vector<std::uint8_t> record;
  Locate(a, nextID_, record);
  ASSERT_EQ(a->BlobTruncate(ids[0], kMemo, numbers[0], 0), 0);
  EXPECT_EQ(Read(a, ids[0], kMemo, numbers[0]), "");
  EXPECT_EQ(Read(a, ids[0], kMemo, numbers[0], true), "content");
  ASSERT_EQ(a->RecordModify(record.data(), true, nullptr), 0);
  std::vector<std::uint8_t> after;
  Locate(a, nextID_, after);
  EXPECT_EQ(Memo(a, after), 0u);
  EXPECT_TRUE(Fields(a)->IsRecordFieldNull(kMemo, after.data()));
  EXPECT_EQ(Read(a, nxNullRecID, -1, numbers[0]).substr(0, 1), "!");
  EXPECT_FALSE(Pending(a));
}

TEST_F(CachingBlobTest, ACancelledBlobIsDeletedAndItsPlaceGetsTheNextNumber) {
  for (const char16_t* table : {u"seg", u"cch"}) {
    SCOPED_TRACE(platform::toUtf8(table));
    TnxServerTableCursor* a = Open(NewDatabase(kInProcess), table);
    TnxBlobNr first = 0;
    ASSERT_EQ(a->BlobCreate(nxNullRecID, kMemo, first), 0);
    ASSERT_EQ(a->BlobWrite(nxNullRecID, kMemo, first, 0, 5, "draft"), 0);
    ASSERT_EQ(a->BlobsCancel(0), 0);
    EXPECT_FALSE(Pending(a));
    EXPECT_EQ(Read(a, nxNullRecID, -1, first).substr(0, 1), "!");
    if (platform::toUtf8(table) != "cch") continue;
    TnxBlobNr second = 0;
    ASSERT_EQ(a->BlobCreate(nxNullRecID, kMemo, second), 0);
    const TnxBlobNr mask = a->Table()->BlobEngine()->bbeBlobNrMask;
    ASSERT_EQ(second & mask, first & mask) << "the engine places the new BLOB elsewhere";
    TnxBlobNr advanced = first;
    a->Table()->BlobEngine()->IncBlobNr(advanced);
    EXPECT_NE(second, first);
    EXPECT_EQ(second, advanced);
    ASSERT_EQ(a->BlobsCancel(0), 0);
  }
}

TEST_F(CachingBlobTest, AModifyNamingAForeignBlobFailsWhileEntriesArePending) {
  TnxServerDatabase* db = NewDatabase(kInProcess);
  TnxServerTableCursor* a = Open(db, u"seg");
  std::vector<TnxBlobNr> numbers;
  const std::vector<TnxRecID> ids = Fill(a, {"mine", "foreign"}, numbers);
  std::vector<std::uint8_t> record;
  Locate(a, nextID_ - 1, record);
  TnxBlobNr pending = 0;
  ASSERT_EQ(a->BlobCreate(nxNullRecID, kPic, pending), 0);
  Fields(a)->SetRecordField(kMemo, record.data(), &numbers[1]);
  TnxServerTransContext* context = Context(db);
  ASSERT_EQ(context->stcTransactionStart(false, false, false, false, false, true), 0);
  EXPECT_EQ(a->RecordModify(record.data(), true, nullptr), nxErrBlobGeneral);
  ASSERT_NE(context->Transaction(), nullptr);
  EXPECT_EQ(context->Transaction()->CheckState(), 0) << "the failed change had a level of its own";
  ASSERT_EQ(context->stcTransactionCommit(), 0);
  std::vector<std::uint8_t> after;
  Locate(a, nextID_ - 1, after);
  EXPECT_EQ(Memo(a, after), numbers[0]);
  EXPECT_EQ(Read(a, ids[0], kMemo, numbers[0]), "mine");
  // Without pending entries the same change is not the handler's concern.
  ASSERT_EQ(a->BlobsCancel(0), 0);
  Fields(a)->SetRecordField(kMemo, after.data(), &numbers[1]);
  EXPECT_EQ(a->RecordModify(after.data(), true, nullptr), 0);
}

TEST_F(CachingBlobTest, AnInsertStoresNullForACreatedButUnwrittenBlob) {
  TnxServerTableCursor* a = Open(NewDatabase(kInProcess), u"seg");
  TnxServerTableCursor* b = Open(NewDatabase(kInProcess), u"seg");
  TnxBlobNr empty = 0, written = 0;
  ASSERT_EQ(a->BlobCreate(nxNullRecID, kMemo, empty), 0);
  ASSERT_EQ(a->BlobCreate(nxNullRecID, kPic, written), 0);
  ASSERT_EQ(a->BlobWrite(nxNullRecID, kPic, written, 0, 4, "blob"), 0);
  std::vector<std::uint8_t> record(static_cast<std::size_t>(Fields(a)->RecordLength()) + 16, 0);
  Fields(a)->InitRecord(record.data());
  const std::int32_t id = 77;
  Fields(a)->SetRecordField(0, record.data(), &id);
  Fields(a)->SetRecordField(kMemo, record.data(), &empty);
  Fields(a)->SetRecordField(kPic, record.data(), &written);
  ASSERT_EQ(a->RecordInsert(nxltNoLock, record.data(), nullptr), 0);
  EXPECT_FALSE(Pending(a));
  std::vector<std::uint8_t> stored;
  Locate(b, id, stored);
  EXPECT_TRUE(Fields(b)->IsRecordFieldNull(kMemo, stored.data()));
  EXPECT_EQ(Memo(b, stored, kPic), written);
  EXPECT_EQ(Read(b, nxNullRecID, -1, written), "blob");
}

TEST_F(CachingBlobTest, APendingDeletionCannotBeDeletedAgainButCanBeFreed) {
  TnxServerTableCursor* a = Open(NewDatabase(kInProcess), u"seg");
  std::vector<TnxBlobNr> numbers;
  const std::vector<TnxRecID> ids = Fill(a, {"stored"}, numbers);
  ASSERT_EQ(a->BlobDelete(ids[0], kMemo, numbers[0]), 0);
  EXPECT_EQ(a->BlobDelete(ids[0], kMemo, numbers[0]), nxErrBlobGeneral);
  EXPECT_EQ(Read(a, ids[0], kMemo, numbers[0]), "!" + std::to_string(nxErrBlobGeneral));
  bool modified = false;
  EXPECT_EQ(a->BlobModified(ids[0], kMemo, numbers[0], modified), 0);
  EXPECT_TRUE(modified);
  EXPECT_EQ(a->BlobFree(ids[0], kMemo, numbers[0]), 0);
  EXPECT_FALSE(Pending(a));
  EXPECT_EQ(Read(a, ids[0], kMemo, numbers[0]), "stored");
}

TEST_F(CachingBlobTest, CancellingOneRecordsBlobsKeepsAnotherRecords) {
  TnxServerTableCursor* a = Open(NewDatabase(kInProcess), u"seg");
  std::vector<TnxBlobNr> numbers;
  const std::vector<TnxRecID> ids = Fill(a, {"first", "second"}, numbers);
  ASSERT_EQ(a->BlobWrite(ids[0], kMemo, numbers[0], 0, 1, "F"), 0);
  ASSERT_EQ(a->BlobWrite(ids[1], kMemo, numbers[1], 0, 1, "S"), 0);
  TnxBlobNr fresh = 0;
  ASSERT_EQ(a->BlobCreate(nxNullRecID, kPic, fresh), 0);
  ASSERT_EQ(a->BlobWrite(nxNullRecID, kPic, fresh, 0, 3, "new"), 0);
  std::vector<std::uint8_t> record;
  Locate(a, nextID_ - 1, record);
  ASSERT_EQ(a->RecordLockRelease(false, true), 0);
  EXPECT_EQ(Read(a, ids[0], kMemo, numbers[0]), "first");
  EXPECT_EQ(Read(a, ids[1], kMemo, numbers[1]), "Second");
  EXPECT_EQ(Read(a, nxNullRecID, -1, fresh).substr(0, 1), "!");
  EXPECT_TRUE(Pending(a));
}

// ---- BLOB blocks of batch reads ------------------------------------------------------------

using Bytes = std::vector<std::uint8_t>;

void putU32(Bytes& aBytes, std::uint32_t aValue) {
  for (int i = 0; i < 4; ++i) aBytes.push_back(static_cast<std::uint8_t>(aValue >> (8 * i)));
}
void putU64(Bytes& aBytes, std::uint64_t aValue) {
  for (int i = 0; i < 8; ++i) aBytes.push_back(static_cast<std::uint8_t>(aValue >> (8 * i)));
}

TEST_F(CursorBlobTest, BatchReadsCarryEachBlobAsABlockBehindItsRecord) {
  TnxServerTableCursor* reader = Open(db_, u"seg");
  std::vector<TnxBlobNr> numbers;
  Fill(reader, {"0123456789", "", "<empty>", "<zero>", "<gone>"}, numbers);
  // The records as the cursor reads them.
  std::vector<Bytes> records;
  const std::size_t length = static_cast<std::size_t>(Fields(reader)->RecordLength());
  ASSERT_EQ(reader->SetToBegin(), 0);
  Bytes record(length + 16, 0);
  while (reader->RecordGetNext(nxltNoLock, record.data()) == 0) records.emplace_back(record.begin(), record.begin() + length);
  ASSERT_EQ(records.size(), 5u);
  const std::int32_t memoAt = Fields(reader)->Fields(kMemo)->fdOffset;

  struct Row {
    bool numbers;
    bool onlyMarked;
    bool skipData;
  };
  const Row rows[] = {{false, false, false}, {true, false, false}, {true, true, false}, {false, false, true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.numbers) + std::to_string(row.onlyMarked) + std::to_string(row.skipData));
    TnxServerTableCursor* cursor = Open(db_, u"seg");
    if (row.skipData) cursor->AddCursorOption(acoSkipReadingBlobDataForBatch);
    TnxRecordGetBatchExOptions options{};
    options.include(gboSetToBeginOrEnd);
    options.include(gboBlobs);
    if (row.numbers) options.include(gboBlobNrs);
    if (row.onlyMarked) options.include(gboBlobsOnlyMarked);
    TnxBatchStreamAccess* access = nullptr;
    ASSERT_EQ(cursor->RecordGetBatch(-1, options, access, 0, true), 0);
    TnxOwned<TnxBatchStreamAccess> owned(access);
    const auto* memory = static_cast<const std::uint8_t*>(access->Stream()->Memory());
    const Bytes stream(memory, memory + access->Stream()->Size());

    Bytes expected;
    putU32(expected, nxErrEOF);
    putU32(expected, 5);
    for (std::size_t i = 0; i < records.size(); ++i) {
      Bytes entry = records[i];
      Bytes blocks;
      const std::size_t entryStart = expected.size();
      if (!row.onlyMarked) {
        switch (i) {
          case 0: {  // 10 bytes
            const std::uint64_t blockAt = entryStart + 4 + entry.size();
            putU32(blocks, 10);
            const std::string data = "0123456789";
            if (row.skipData)
              blocks.resize(blocks.size() + 10);  // unread: compared apart
            else
              blocks.insert(blocks.end(), data.begin(), data.end());
            if (row.numbers) putU64(blocks, numbers[0]);
            std::memcpy(entry.data() + memoAt, &blockAt, 8);
            break;
          }
          case 2:  // empty: NULL
          case 3:  // number 0: NULL
            Fields(reader)->SetRecordFieldNull(kMemo, entry.data(), true);
            break;
          case 4: {  // the length fails: an error block
            const std::uint64_t blockAt = entryStart + 4 + entry.size();
            putU32(blocks, 0x80000004u);
            blocks.resize(blocks.size() + 4);
            std::memcpy(entry.data() + memoAt, &blockAt, 8);
            break;
          }
          default:
            break;
        }
      }
      putU32(expected, static_cast<std::uint32_t>(entry.size() + blocks.size()));
      expected.insert(expected.end(), entry.begin(), entry.end());
      expected.insert(expected.end(), blocks.begin(), blocks.end());
    }
    ASSERT_EQ(stream.size(), expected.size());
    // The error code and unread bytes are compared apart.
    std::size_t errorAt = 0;
    if (!row.onlyMarked) {
      errorAt = expected.size() - 4;
      std::uint32_t code = 0;
      std::memcpy(&code, stream.data() + errorAt, 4);
      EXPECT_NE(code, 0u);
      std::memcpy(expected.data() + errorAt, &code, 4);
      if (row.skipData) {
        const std::size_t dataAt = 8 + 4 + records[0].size() + 4;
        std::memcpy(expected.data() + dataAt, stream.data() + dataAt, 10);
      }
    }
    EXPECT_EQ(stream, expected);
  }
}
