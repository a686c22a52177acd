// Test support of the table cursors: a started engine with sessions on one
// folder ("/data/db" on the fault file system, or an in-memory folder), and
// cursors opened through the database's public CursorOpen.
// CursorTableTest: a small table fixture: one started engine, one
// session (database and transaction context) per caller, a table "bt" of
//   ID   Int32, unique index "ByID" (index 0)
//   Name ShortString[20]
//   Grp  Int32, nullable, index "ByGrp" with duplicates (index 1)
// filled through the record and indices engines in a private transaction,
// so that the tests need no record insert of the cursor.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "nxsrServerEngineTableTestSupport.h"

namespace nxtest {

class CursorTestBase : public ::testing::Test {
 protected:
  // Starts the engine; a path beginning with "#" is an in-memory folder.
  void StartEngine(const nxString& aPath = u"/data/db") {
    nxSetTimeout(0, true);
    engine_ = fixture_.Started();
    path_ = aPath;
    if (aPath.empty() || aPath[0] != u'#') fixture_.Fs().makeDirectory(platform::toUtf8(aPath));
    db_ = NewDatabase();
  }
  void TearDown() override {
    for (auto it = sessions_.rbegin(); it != sessions_.rend(); ++it) TnxAbstractServerObject::Free(*it);
    sessions_.clear();
  }
  // A database of a new session on the folder.
  TnxServerDatabase* NewDatabase() {
    TnxAbstractSession* session = nullptr;
    EXPECT_EQ(engine_->SessionOpen(session, u"user", u"pw", u"test", 0), 0);
    sessions_.push_back(session);
    TnxAbstractDatabase* db = nullptr;
    EXPECT_EQ(session->DatabaseOpen(db, u"Path", path_, nullptr, omReadWrite, smShared, 0), 0);
    return static_cast<TnxServerDatabase*>(db);
  }
  TnxServerTableCursor* Open(TnxServerDatabase* aDb, const nxString& aIndex, std::uint32_t aTimeout = 0,
                             TnxOpenMode aMode = omReadWrite, TnxShareMode aShare = smShared,
                             const nxString& aTable = nxString()) {
    TnxAbstractCursor* cursor = nullptr;
    EXPECT_EQ(aDb->CursorOpen(cursor, aTable.empty() ? table_ : aTable, u"", aMode, aShare, aTimeout, aIndex, -1,
                              false, {}, 500, nullptr),
              0);
    return static_cast<TnxServerTableCursor*>(cursor);
  }
  // A zeroed record buffer of aCursor's table (with some slack).
  static std::vector<std::uint8_t> RecordOf(TnxServerTableCursor* aCursor) {
    return std::vector<std::uint8_t>(
        static_cast<std::size_t>(aCursor->Table()->TableDescriptor()->FieldsDescriptor()->RecordLength()) + 16, 0);
  }

  ServerEngineFixture fixture_;
  TnxServerEngine* engine_ = nullptr;
  std::vector<TnxAbstractSession*> sessions_;
  TnxServerDatabase* db_ = nullptr;
  nxString path_;
  nxString table_;
};

struct CursorTestRow {
  std::int32_t id;
  std::string name;
  std::optional<std::int32_t> grp;
};

inline TnxServerDataDict* cursorTestDictionary() {
  TnxServerDataDict* dict = tableDictionary(true);
  dict->FieldsDescriptor()->AddField(u"Grp", u"", nxtInt32, 0, 0, false);
  TnxIndexDescriptor* index = dict->EnsureIndicesDescriptor()->AddIndex(u"ByGrp", 0, idAll, u"");
  platform::objectAs<TnxCompKeyDescriptor>(index->KeyDescriptor())->Add(2);
  return dict;
}

class CursorTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nxSetTimeout(0, true);
    engine_ = fixture_.Started();
    fixture_.Fs().makeDirectory("/data/db");
    db_ = NewDatabase();
    TnxOwned<TnxServerDataDict> dict(cursorTestDictionary());
    ASSERT_EQ(db_->Folder()->sfTableBuild(false, u"bt", u"", false, dict.get(), tsPersistent), 0);
  }
  void TearDown() override {
    for (auto it = sessions_.rbegin(); it != sessions_.rend(); ++it) TnxAbstractServerObject::Free(*it);
  }
  TnxServerDatabase* NewDatabase() {
    TnxAbstractSession* session = nullptr;
    EXPECT_EQ(engine_->SessionOpen(session, u"user", u"pw", u"test", 0), 0);
    sessions_.push_back(session);
    TnxAbstractDatabase* db = nullptr;
    EXPECT_EQ(session->DatabaseOpen(db, u"Path", u"/data/db", nullptr, omReadWrite, smShared, 0), 0);
    return static_cast<TnxServerDatabase*>(db);
  }
  // aIndex empty: record order.
  TnxServerTableCursor* Open(TnxServerDatabase* aDb, const nxString& aIndex = u"ByID", std::uint32_t aTimeout = 0) {
    TnxAbstractCursor* cursor = nullptr;
    EXPECT_EQ(aDb->CursorOpen(cursor, u"bt", u"", omReadWrite, smShared, aTimeout, aIndex.empty() ? u"ByID" : aIndex,
                              -1, false, {}, 500, nullptr),
              0);
    auto* result = static_cast<TnxServerTableCursor*>(cursor);
    if (result && aIndex.empty()) {
      EXPECT_EQ(result->SwitchToIndex(u"", -1, porFalse), 0);
    }
    return result;
  }
  TnxFieldsDescriptor* Fields(TnxServerTableCursor* aCursor) {
    return aCursor->Table()->TableDescriptor()->FieldsDescriptor();
  }
  std::int32_t RecordLength(TnxServerTableCursor* aCursor) { return Fields(aCursor)->RecordLength(); }
  std::vector<std::uint8_t> Record(TnxServerTableCursor* aCursor) {
    return std::vector<std::uint8_t>(static_cast<std::size_t>(RecordLength(aCursor)) + 16, 0);
  }
  void SetRecord(TnxServerTableCursor* aCursor, std::vector<std::uint8_t>& aRecord, const CursorTestRow& aRow) {
    std::fill(aRecord.begin(), aRecord.end(), 0);
    TnxFieldsDescriptor* fields = Fields(aCursor);
    aCursor->RecordBufferClear(aRecord.data());
    fields->SetRecordField(0, aRecord.data(), &aRow.id);
    std::uint8_t name[21] = {};
    name[0] = static_cast<std::uint8_t>(aRow.name.size());
    std::memcpy(name + 1, aRow.name.data(), aRow.name.size());
    fields->SetRecordField(1, aRecord.data(), name);
    if (aRow.grp) fields->SetRecordField(2, aRecord.data(), &*aRow.grp);
  }
  // Adds the rows through the engines in a transaction of aDb's context.
  void AddRows(TnxServerDatabase* aDb, const std::vector<CursorTestRow>& aRows) {
    TnxServerTableCursor* cursor = Open(aDb);
    ASSERT_NE(cursor, nullptr);
    auto* context = static_cast<TnxServerTransContext*>(aDb->TransContext());
    ASSERT_EQ(context->stcTransactionStart(false, false, false, false, false, true), 0);
    ASSERT_EQ(cursor->sbcBeginContentLock(true, false, false), 0);
    TnxBaseTransaction* trans = context->Transaction();
    std::vector<std::uint8_t> record = Record(cursor);
    for (const CursorTestRow& row : aRows) {
      SetRecord(cursor, record, row);
      TnxRefNr refNr = 0;
      cursor->Table()->RecordEngine()->AddRecord(trans, refNr, record.data());
      ASSERT_EQ(cursor->Table()->IndicesEngine()->InsertKeys(trans, refNr, record.data(), nullptr), 0);
    }
    ASSERT_EQ(context->stcTransactionCommit(), 0);
    TnxAbstractServerObject::Free(cursor);
  }
  // IDs 1..aCount; Grp = ID % 3, null for every fifth ID.
  void Fill(std::int32_t aCount) {
    std::vector<CursorTestRow> rows;
    for (std::int32_t id = 1; id <= aCount; ++id)
      rows.push_back({id, "r" + std::to_string(id), id % 5 == 0 ? std::nullopt : std::optional<std::int32_t>(id % 3)});
    AddRows(db_, rows);
  }
  std::int32_t ID(TnxServerTableCursor* aCursor, const std::uint8_t* aRecord) {
    std::int32_t id = 0;
    std::memcpy(&id, aRecord + Fields(aCursor)->Fields(0)->fdOffset, 4);
    return id;
  }
  // A key of the cursor's active index built from a row.
  std::vector<std::uint8_t> Key(TnxServerTableCursor* aCursor, const CursorTestRow& aRow) {
    std::vector<std::uint8_t> record = Record(aCursor);
    SetRecord(aCursor, record, aRow);
    std::vector<std::uint8_t> key(1024, 0);
    EXPECT_EQ(aCursor->IndexEngine()->bieKeyEngine->BuildKey(record.data(), key.data(), 0, true), 0);
    return key;
  }

  ServerEngineFixture fixture_;
  TnxServerEngine* engine_ = nullptr;
  std::vector<TnxAbstractSession*> sessions_;
  TnxServerDatabase* db_ = nullptr;
};

// Switches a cursor's write-only state (no open mode gives it).
struct CursorWriteOnly : TnxServerTableCursor {
  static void Set(TnxServerTableCursor* aCursor, bool aValue, TnxResult aResult = 0) {
    aCursor->*(&CursorWriteOnly::sbcIsWriteOnly) = aValue;
    aCursor->*(&CursorWriteOnly::sbcWriteOnlyResult) = aResult;
  }
};

}  // namespace nxtest
