// The whole-table tasks of the server database: pack, restructure, backup
// and recovery, on real tables of a started engine, each task polled to its
// end under the watchdog.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "nxTestWatchdog.h"
#include "nxsrFieldMapper.h"
#include "nxsrServerEngineCursorTestSupport.h"
#include "plString.h"

namespace {

// Fields of the task tables: "ID" Int32 (unique index "ByID"), "Name"
// ShortString[20]; with aAutoInc an auto-increment "AI".
TnxServerDataDict* taskDictionary(bool aAutoInc = false, const std::vector<nxString>& aNested = {}) {
  TnxServerDataDict* dict = nxtest::tableDictionary(true, false, aNested);
  if (aAutoInc) {
    dict->FieldsDescriptor()->AddField(u"AI", u"", nxtAutoInc, 0, 0, false);
    dict->AddAutoIncDescriptor();
  }
  return dict;
}

struct TaskRow {
  std::int32_t id;
  std::string name;
};

// Hears the folder's table renames.
class RenameListener : public TnxBaseEngineExtender {
 public:
  explicit RenameListener(TnxExtendableServerObject* aObject)
      : TnxBaseEngineExtender(nullptr, aObject, TnxEngineActions{eaTableRename}) {}
  TnxResult Notify(TnxEngineAction, bool aBefore, TnxEngineArgs aArgs) override {
    if (aBefore && aArgs.size() >= 2) {
      std::lock_guard<std::mutex> lock(mutex_);
      renames_.push_back(platform::toUtf8(aArgs[0].asUString()) + ">" + platform::toUtf8(aArgs[1].asUString()));
    }
    return 0;
  }
  std::vector<std::string> Renames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return renames_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> renames_;
};

class TableTaskTest : public nxtest::CursorTestBase {
 protected:
  void SetUp() override { StartEngine(); }

  TnxServerFolder* Folder(TnxServerDatabase* aDb = nullptr) { return (aDb ? aDb : db_)->Folder(); }
  void Build(const nxString& aName, TnxServerDataDict* aDict, TnxServerDatabase* aDb = nullptr,
             TnxTableScope aScope = tsPersistent) {
    TnxOwned<TnxServerDataDict> dict(aDict);
    ASSERT_EQ(Folder(aDb)->sfTableBuild(false, aName, u"", false, dict.get(), aScope), 0)
        << platform::toUtf8(nxtest::pendingMessage());
  }
  bool Exists(const nxString& aName, TnxServerDatabase* aDb = nullptr) {
    return Folder(aDb)->sfTableExists(aName) == 0;
  }
  // Through the database's primitive, so that working names ("$PACK") open too.
  TnxServerTableCursor* OpenTable(const nxString& aName, TnxServerDatabase* aDb = nullptr) {
    TnxAbstractCursor* opened = nullptr;
    const TnxResult result = (aDb ? aDb : db_)->sdCursorOpen(opened, aName, u"", false, omReadWrite, smShared, false,
                                                             0, u"", -1, false, false);
    EXPECT_EQ(result, 0) << platform::toUtf8(aName) << ": " << platform::toUtf8(nxtest::pendingMessage());
    auto* cursor = static_cast<TnxServerTableCursor*>(opened);
    if (cursor) {
      EXPECT_EQ(cursor->SwitchToIndex(u"", -1, porFalse), 0);
    }
    return cursor;
  }
  void SetRow(TnxServerTableCursor* aCursor, std::vector<std::uint8_t>& aRecord, const TaskRow& aRow) {
    TnxFieldsDescriptor* fields = aCursor->Table()->FieldsDescriptor();
    aCursor->RecordBufferClear(aRecord.data());
    fields->SetRecordField(0, aRecord.data(), &aRow.id);
    std::vector<std::uint8_t> name(static_cast<std::size_t>(fields->Fields(1)->fdLength), 0);
    name[0] = static_cast<std::uint8_t>(aRow.name.size());
    std::memcpy(name.data() + 1, aRow.name.data(), aRow.name.size());
    fields->SetRecordField(1, aRecord.data(), name.data());
  }
  // Rows through the cursor's insert (each in its own transaction).
  void Insert(const nxString& aName, const std::vector<TaskRow>& aRows, TnxServerDatabase* aDb = nullptr) {
    TnxServerTableCursor* cursor = OpenTable(aName, aDb);
    ASSERT_NE(cursor, nullptr);
    std::vector<std::uint8_t> record = RecordOf(cursor);
    for (const TaskRow& row : aRows) {
      SetRow(cursor, record, row);
      ASSERT_EQ(cursor->RecordInsert(nxltNoLock, record.data(), nullptr), 0)
          << platform::toUtf8(nxtest::pendingMessage());
    }
    TnxAbstractServerObject::Free(cursor);
  }
  static std::vector<TaskRow> Numbered(std::int32_t aFrom, std::int32_t aTo, const std::string& aPrefix = "r") {
    std::vector<TaskRow> rows;
    for (std::int32_t id = aFrom; id <= aTo; ++id) rows.push_back({id, aPrefix + std::to_string(id)});
    return rows;
  }
  // Every row in stored order.
  std::vector<TaskRow> Rows(const nxString& aName, TnxServerDatabase* aDb = nullptr) {
    std::vector<TaskRow> rows;
    TnxServerTableCursor* cursor = OpenTable(aName, aDb);
    if (!cursor) return rows;
    TnxFieldsDescriptor* fields = cursor->Table()->FieldsDescriptor();
    std::vector<std::uint8_t> record = RecordOf(cursor);
    EXPECT_EQ(cursor->SetToBegin(), 0);
    while (cursor->RecordGetNext(nxltNoLock, record.data()) == 0) {
      TaskRow row{};
      bool isNull = false;
      fields->GetRecordField(0, record.data(), isNull, &row.id);
      const std::uint8_t* name = record.data() + fields->Fields(1)->fdOffset;
      row.name.assign(reinterpret_cast<const char*>(name + 1), name[0]);
      rows.push_back(row);
    }
    TnxAbstractServerObject::Free(cursor);
    return rows;
  }
  std::set<std::int32_t> Ids(const nxString& aName, TnxServerDatabase* aDb = nullptr) {
    std::set<std::int32_t> ids;
    for (const TaskRow& row : Rows(aName, aDb)) ids.insert(row.id);
    return ids;
  }
  // Polls the task to its end and frees it; the final status.
  TnxTaskStatus Finish(TnxAbstractTaskInfo* aTask) {
    TnxTaskStatus status{};
    bool completed = false;
    while (aTask->GetStatus(completed, status) == 0 && !completed)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    TnxAbstractServerObject::Free(aTask);
    return status;
  }
  // Rows through the engines in one transaction: with aMemo a BLOB
  // "memo<id>" in field 2, without aKeys no index keys (so a duplicate of a
  // unique key gets in).
  void FillDirect(const nxString& aName, const std::vector<TaskRow>& aRows, bool aMemo, bool aKeys = true) {
    TnxServerTableCursor* cursor = OpenTable(aName);
    ASSERT_NE(cursor, nullptr);
    auto* context = static_cast<TnxServerTransContext*>(db_->TransContext());
    ASSERT_EQ(context->stcTransactionStart(false, false, false, false, false, true), 0);
    ASSERT_EQ(cursor->sbcBeginContentLock(true, false, false), 0);
    TnxBaseTransaction* trans = context->Transaction();
    TnxServerBaseTable* table = cursor->Table();
    std::vector<std::uint8_t> record = RecordOf(cursor);
    for (const TaskRow& row : aRows) {
      SetRow(cursor, record, row);
      if (aMemo) {
        const std::string memo = "memo" + std::to_string(row.id);
        TnxBlobNr number = 0;
        table->BlobEngine()->AddBlob(trans, number);
        table->BlobEngine()->Write(trans, number, 0, static_cast<std::uint32_t>(memo.size()), memo.data());
        table->FieldsDescriptor()->SetRecordField(2, record.data(), &number);
      }
      TnxRefNr refNr = 0;
      table->RecordEngine()->AddRecord(trans, refNr, record.data());
      if (aKeys) {
        ASSERT_EQ(table->IndicesEngine()->InsertKeys(trans, refNr, record.data(), nullptr), 0);
      }
    }
    ASSERT_EQ(context->stcTransactionCommit(), 0);
    TnxAbstractServerObject::Free(cursor);
  }
  // The memo of every row, by ID.
  std::map<std::int32_t, std::string> Memos(const nxString& aName) {
    std::map<std::int32_t, std::string> memos;
    TnxServerTableCursor* cursor = OpenTable(aName);
    TnxFieldsDescriptor* fields = cursor->Table()->FieldsDescriptor();
    std::vector<std::uint8_t> record = RecordOf(cursor);
    EXPECT_EQ(cursor->SetToBegin(), 0);
    while (cursor->RecordGetNext(nxltNoLock, record.data()) == 0) {
      std::int32_t id = 0;
      TnxBlobNr number = 0;
      bool isNull = false;
      fields->GetRecordField(0, record.data(), isNull, &id);
      fields->GetRecordField(2, record.data(), isNull, &number);
      if (isNull) {
        memos[id] = "<null>";
        continue;
      }
      TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
      const TnxResult read = cursor->BlobRead(nxNullRecID, 2, number, 0, 0x7FFFFFFF, *stream, false, nullptr);
      memos[id] = read != 0 ? "!" + std::to_string(read)
                            : std::string(static_cast<const char*>(stream->Memory()),
                                          static_cast<std::size_t>(stream->Size()));
    }
    TnxAbstractServerObject::Free(cursor);
    return memos;
  }
  // The record blocks of a closed table's main file (fixed-length records:
  // signature "NXDH"): their numbers.
  struct TableImage {
    std::vector<std::uint8_t> bytes;
    std::uint32_t blockBytes = 0;
    std::uint32_t usable = 0;
    std::vector<std::size_t> dataBlocks;
  };
  TableImage ReadImage(const std::string& aPath) {
    TableImage image;
    EXPECT_TRUE(fixture_.Fs().contents(aPath, image.bytes));
    image.blockBytes = 4096u << image.bytes[16];
    std::memcpy(&image.usable, image.bytes.data() + 20, 4);
    for (std::size_t n = 1; (n + 1) * image.blockBytes <= image.bytes.size(); ++n)
      if (std::memcmp(image.bytes.data() + n * image.blockBytes, "NXDH", 4) == 0) image.dataBlocks.push_back(n);
    return image;
  }
  // Closes the folder's idle tables, so their files can be changed.
  void CloseIdle(TnxServerDatabase* aDb = nullptr) { ASSERT_EQ(Folder(aDb)->sfCloseInactiveTables(), 0); }

  nxtest::Watchdog watchdog_;
};

// ---- Naming of nested targets ----------------------------------------------------------

TEST(RestructureNaming, MapToNamesTheTargetTable) {
  struct Case {
    const char16_t* path;
    const char16_t* mapTo;
    const char* target;
  } cases[] = {
      {u":A", u"", "T:A:."},       // the same path in the target
      {u":A", u".", "T:A:."},      // the same, said outright
      {u":A", u".x", "T:A:.x"},    // relative to the same path
      {u":A", u"x", "T:x"},        // straight under the target root
      {u":A:B", u"", "T:A:B:."},   // deeper levels keep their path
      {u":A:B", u"y", "T:y"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(platform::toUtf8(nxRestructureTargetName(u"T", c.path, c.mapTo)), c.target)
        << platform::toUtf8(nxString(c.path)) << " " << platform::toUtf8(nxString(c.mapTo));
}

// ---- Recovery mode ---------------------------------------------------------------------

TEST(RecoveryModeGuard, HoldsForItsScopeOnItsThreadOnly) {
  nxtest::Watchdog watchdog;
  ASSERT_FALSE(nxsrInRecoveryMode());
  {
    TnxRecoveryModeGuard outer;
    EXPECT_TRUE(nxsrInRecoveryMode());
    bool elsewhere = true;
    std::thread([&] { elsewhere = nxsrInRecoveryMode(); }).join();
    EXPECT_FALSE(elsewhere);
    {
      TnxRecoveryModeGuard inner;
      EXPECT_TRUE(nxsrInRecoveryMode());
    }
    // The inner scope gives back what it found.
    EXPECT_TRUE(nxsrInRecoveryMode());
  }
  EXPECT_FALSE(nxsrInRecoveryMode());
}

// ---- Pack ----------------------------------------------------------------------------------

TEST_F(TableTaskTest, PackKeepsRecordsAndCounterAndLeavesNoWorkingTable) {
  Build(u"T", taskDictionary(true));
  Insert(u"T", Numbered(1, 250));
  {
    // Holes for the pack to close: every third record goes.
    TnxServerTableCursor* cursor = OpenTable(u"T");
    std::vector<std::uint8_t> record = RecordOf(cursor);
    ASSERT_EQ(cursor->SetToBegin(), 0);
    std::int32_t n = 0;
    while (cursor->RecordGetNext(nxltNoLock, record.data()) == 0) {
      if (++n % 3 == 0) {
        ASSERT_EQ(cursor->RecordDelete(nullptr, 0), 0);
      }
    }
    TnxAbstractServerObject::Free(cursor);
  }
  const std::vector<TaskRow> before = Rows(u"T");
  std::uint32_t counterBefore = 0;
  {
    TnxServerTableCursor* cursor = OpenTable(u"T");
    ASSERT_EQ(cursor->sbcAutoIncGet(counterBefore), 0);
    TnxAbstractServerObject::Free(cursor);
  }
  ASSERT_EQ(counterBefore, 250u);

  TnxAbstractTaskInfo* task = nullptr;
  ASSERT_EQ(db_->TablePack(u"T", u"", task), 0) << platform::toUtf8(nxtest::pendingMessage());
  ASSERT_NE(task, nullptr);
  const TnxTaskStatus status = Finish(task);
  EXPECT_EQ(status.tsErrorCode, 0u) << platform::toUtf8(status.tsErrorMessage);
  EXPECT_TRUE(status.tsFinished);
  EXPECT_EQ(status.tsRecsRead, before.size());
  EXPECT_EQ(status.tsRecsWritten, before.size());

  const std::vector<TaskRow> after = Rows(u"T");
  ASSERT_EQ(after.size(), before.size());
  for (std::size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i].id, before[i].id);
    EXPECT_EQ(after[i].name, before[i].name);
  }
  TnxServerTableCursor* cursor = OpenTable(u"T");
  std::uint32_t counterAfter = 0;
  ASSERT_EQ(cursor->sbcAutoIncGet(counterAfter), 0);
  EXPECT_EQ(counterAfter, counterBefore);
  TnxAbstractServerObject::Free(cursor);
  EXPECT_FALSE(Exists(u"$PACK"));
  EXPECT_FALSE(Exists(u"$T_Backup"));
}

TEST_F(TableTaskTest, PackBesideLeftoversTakesNumberedWorkingAndBackupNames) {
  Build(u"T", taskDictionary());
  Build(u"$PACK", taskDictionary());
  Build(u"$T_Backup", taskDictionary());
  Insert(u"$PACK", {{7, "left"}});
  Insert(u"$T_Backup", {{8, "mine"}});
  Insert(u"T", Numbered(1, 20));
  auto* listener = platform::create<RenameListener>(Folder());
  TnxAbstractTaskInfo* task = nullptr;
  ASSERT_EQ(db_->TablePack(u"T", u"", task), 0);
  auto* restructure = platform::objectAs<TnxServerRestructureTaskInfo>(task);
  ASSERT_NE(restructure, nullptr);
  EXPECT_EQ(platform::toUtf8(restructure->Container()->TargetName()), "$PACK1");
  EXPECT_EQ(Finish(task).tsErrorCode, 0u);
  // The source steps aside under a free backup name, the copy takes its name.
  EXPECT_EQ(listener->Renames(), (std::vector<std::string>{"T>$T_Backup1", "$PACK1>T"}));
  platform::TObject::free(listener);
  EXPECT_EQ(Ids(u"T").size(), 20u);
  EXPECT_EQ(Ids(u"$PACK"), std::set<std::int32_t>{7});
  EXPECT_EQ(Ids(u"$T_Backup"), std::set<std::int32_t>{8});
  EXPECT_FALSE(Exists(u"$PACK1"));
  EXPECT_FALSE(Exists(u"$T_Backup1"));
}

TEST_F(TableTaskTest, PackOfATableOpenElsewhereLeavesNothing) {
  Build(u"T", taskDictionary());
  Insert(u"T", Numbered(1, 5));
  TnxServerDatabase* other = NewDatabase();
  TnxServerTableCursor* held = OpenTable(u"T", other);
  ASSERT_NE(held, nullptr);
  TnxAbstractTaskInfo* task = nullptr;
  EXPECT_EQ(db_->TablePack(u"T", u"", task), nxErrNoExclusiveAccess);
  EXPECT_EQ(task, nullptr);
  EXPECT_FALSE(Exists(u"$PACK"));
  TnxAbstractServerObject::Free(held);
  EXPECT_EQ(Ids(u"T").size(), 5u);
}

TEST_F(TableTaskTest, PackRefusals) {
  Build(u"T", taskDictionary());
  TnxAbstractSession* session = nullptr;
  ASSERT_EQ(engine_->SessionOpen(session, u"user", u"pw", u"ro", 0), 0);
  sessions_.push_back(session);
  TnxAbstractDatabase* readOnly = nullptr;
  ASSERT_EQ(session->DatabaseOpen(readOnly, u"Path", path_, nullptr, omReadOnly, smShared, 0), 0);
  struct Case {
    TnxAbstractDatabase* db;
    const char16_t* table;
    TnxResult code;
  } cases[] = {
      {readOnly, u"T", nxErrDatabaseReadOnly},
      {db_, u"Missing", 10024},
      {db_, u"", 10024},
      {db_, u"T:N", 10039},
  };
  for (const Case& c : cases) {
    TnxAbstractTaskInfo* task = reinterpret_cast<TnxAbstractTaskInfo*>(1);
    EXPECT_EQ(c.db->TablePack(c.table, u"", task), c.code) << platform::toUtf8(nxString(c.table));
    EXPECT_EQ(task, nullptr);
  }
  EXPECT_FALSE(Exists(u"$PACK"));
}

// A "##" table lives in the database's own map: the working table and the
// swap must be there too, and nothing reaches the folder.
TEST_F(TableTaskTest, PackOfADatabaseTemporaryTable) {
  {
    TnxOwned<TnxServerDataDict> dict(taskDictionary(true));
    ASSERT_EQ(db_->TableBuild(false, u"##T", u"", dict.get(), tsPersistent, false), 0)
        << platform::toUtf8(nxtest::pendingMessage());
  }
  Insert(u"##T", Numbered(1, 30));
  {
    TnxServerTableCursor* cursor = OpenTable(u"##T");
    std::vector<std::uint8_t> record = RecordOf(cursor);
    ASSERT_EQ(cursor->SetToBegin(), 0);
    std::int32_t n = 0;
    while (cursor->RecordGetNext(nxltNoLock, record.data()) == 0)
      if (++n % 2 == 0) {
        ASSERT_EQ(cursor->RecordDelete(nullptr, 0), 0);
      }
    TnxAbstractServerObject::Free(cursor);
  }
  const std::set<std::int32_t> before = Ids(u"##T");
  ASSERT_EQ(before.size(), 15u);
  TnxAbstractTaskInfo* task = nullptr;
  ASSERT_EQ(db_->TablePack(u"##T", u"", task), 0) << platform::toUtf8(nxtest::pendingMessage());
  const TnxTaskStatus status = Finish(task);
  EXPECT_EQ(status.tsErrorCode, 0u) << platform::toUtf8(status.tsErrorMessage);
  EXPECT_EQ(status.tsRecsWritten, 15u);
  EXPECT_EQ(Ids(u"##T"), before);
  TnxServerTableCursor* cursor = OpenTable(u"##T");
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(cursor->Table()->Root()->TableScope(), tsTempDatabase);
  std::uint32_t counter = 0;
  EXPECT_EQ(cursor->sbcAutoIncGet(counter), 0);
  EXPECT_EQ(counter, 30u);
  TnxAbstractServerObject::Free(cursor);
  EXPECT_NE(db_->sdTableExists(u"$PACK", u"", false), 0);
  EXPECT_FALSE(Exists(u"$PACK"));
  EXPECT_FALSE(Exists(u"##T"));
}

// ---- Restructure ------------------------------------------------------------------------

TEST_F(TableTaskTest, ContainerHasANodePerTableRootFirst) {
  Build(u"T", taskDictionary(false, {u"A", u"B"}));
  Build(u"U", taskDictionary(false, {u"A", u"B"}));
  TnxServerDatabase* privateDb = db_->sdOpenTaskDatabase(nullptr);
  TnxAbstractCursor* source = nullptr;
  TnxAbstractCursor* target = nullptr;
  ASSERT_EQ(
      privateDb->sdCursorOpen(source, u"T", u"", false, omReadOnly, smExclusive, false, 0, u"", -1, false, false), 0);
  ASSERT_EQ(
      privateDb->sdCursorOpen(target, u"U", u"", false, omReadWrite, smExclusive, false, 0, u"", -1, false, false), 0);
  auto* sourceCursor = static_cast<TnxServerTableCursor*>(source);
  auto* targetCursor = static_cast<TnxServerTableCursor*>(target);
  TnxOwned<TnxTableMapperDescriptor> mapper(platform::create<TnxTableMapperDescriptor>());
  mapper->MapAllTablesAndFieldsByName(sourceCursor->Table()->TableDescriptor(),
                                      targetCursor->Table()->TableDescriptor(), dlaFail);
  auto* container = platform::create<TnxServerRestructureContainer>(sourceCursor, mapper.get(), targetCursor);
  ASSERT_EQ(container->NodeCount(), 3);
  const char* sources[] = {"T", "T:A", "T:B"};
  const char* targets[] = {"U", "U:A", "U:B"};
  for (std::int32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(platform::toUtf8(container->Node(i)->SourceCursor()->Table()->FullName()), sources[i]);
    EXPECT_EQ(platform::toUtf8(container->Node(i)->TargetCursor()->Table()->FullName()), targets[i]);
  }
  EXPECT_EQ(container->Node(0)->SourceCursor(), sourceCursor);
  // The container owns the cursors and the private database.
  platform::TObject::free(container);
}

TEST_F(TableTaskTest, RestructureCopiesNestedTablesToTheirMappedTargets) {
  Build(u"T", taskDictionary(false, {u"A", u"B"}));
  Insert(u"T", Numbered(1, 12));
  auto fillNested = [&](const nxString& aName, std::int32_t aCount) {
    TnxServerTableCursor* cursor = OpenTable(aName);
    std::vector<std::uint8_t> record = RecordOf(cursor);
    for (std::int32_t v = 1; v <= aCount; ++v) {
      cursor->RecordBufferClear(record.data());
      cursor->Table()->FieldsDescriptor()->SetRecordField(0, record.data(), &v);
      ASSERT_EQ(cursor->RecordInsert(nxltNoLock, record.data(), nullptr), 0);
    }
    TnxAbstractServerObject::Free(cursor);
  };
  fillNested(u"T:A", 3);
  fillNested(u"T:B", 4);
  // The new layout: A stays A (empty MapTo), B goes into a new nested "C".
  TnxOwned<TnxServerDataDict> dict(taskDictionary(false, {u"A", u"C"}));
  TnxOwned<TnxTableMapperDescriptor> mapper(platform::create<TnxTableMapperDescriptor>());
  {
    TnxServerTableCursor* cursor = OpenTable(u"T");
    mapper->MapAllTablesAndFieldsByName(cursor->Table()->TableDescriptor(), dict.get(), dlaFail);
    TnxAbstractServerObject::Free(cursor);
  }
  ASSERT_EQ(mapper->TableCount(), 1);  // only "A" is in both
  mapper->Tables(0)->SetMapTo(u"");
  TnxBaseTableMapperDescriptor* b = mapper->AddTable(u"B", &TnxTableMapperDescriptor::staticClassInfo());
  b->SetMapTo(u"C");
  auto* fields =
      static_cast<TnxRecordMapperDescriptor*>(b->AddRecordMapper(TnxRecordMapperDescriptor::staticClassInfo()));
  fields->AddMapping(u"Value", u"Value", nullptr, dlaFail);

  TnxAbstractTaskInfo* task = nullptr;
  ASSERT_EQ(db_->TableRestructure(u"T", u"", dict.get(), mapper.get(), false, task), 0)
      << platform::toUtf8(nxtest::pendingMessage());
  const TnxTaskStatus status = Finish(task);
  EXPECT_EQ(status.tsErrorCode, 0u) << platform::toUtf8(status.tsErrorMessage);
  EXPECT_EQ(status.tsRecsWritten, 12u + 3u + 4u);
  EXPECT_EQ(Ids(u"T").size(), 12u);
  auto count = [&](const nxString& aName) {
    TnxServerTableCursor* cursor = OpenTable(aName);
    std::uint32_t n = 0;
    EXPECT_EQ(cursor->sbcGetRecordCount(rcoTotalRecordCount, n, false), 0);
    TnxAbstractServerObject::Free(cursor);
    return n;
  };
  EXPECT_EQ(count(u"T:A"), 3u);
  EXPECT_EQ(count(u"T:C"), 4u);
  EXPECT_FALSE(Exists(u"$REST"));
}

TEST_F(TableTaskTest, MapperFailingAtTheFifthRecordDeletesTheNewTable) {
  Build(u"T", taskDictionary());
  std::vector<TaskRow> rows = Numbered(1, 30, "ab");
  rows[4].name = "far too long";
  Insert(u"T", rows);
  // The new layout keeps three characters of a name: the fifth record loses data.
  TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
  dict->FieldsDescriptor()->AddField(u"ID", u"", nxtInt32, 0, 0, false);
  dict->FieldsDescriptor()->AddField(u"Name", u"", nxtShortString, 4, 0, false);
  TnxOwned<TnxTableMapperDescriptor> mapper(platform::create<TnxTableMapperDescriptor>());
  {
    TnxServerTableCursor* cursor = OpenTable(u"T");
    mapper->MapAllTablesAndFieldsByName(cursor->Table()->TableDescriptor(), dict.get(), dlaFail);
    TnxAbstractServerObject::Free(cursor);
  }
  TnxAbstractTaskInfo* task = nullptr;
  ASSERT_EQ(db_->TableRestructure(u"T", u"", dict.get(), mapper.get(), false, task), 0);
  const TnxTaskStatus status = Finish(task);
  EXPECT_EQ(status.tsErrorCode, 10002u);
  EXPECT_TRUE(status.tsFinished);
  EXPECT_EQ(status.tsRecsRead, 5u);
  EXPECT_EQ(status.tsRecsWritten, 0u);
  EXPECT_FALSE(Exists(u"$REST"));
  const std::vector<TaskRow> after = Rows(u"T");
  ASSERT_EQ(after.size(), rows.size());
  EXPECT_EQ(after[4].name, "far too long");
}

TEST_F(TableTaskTest, RestructureAndRecoverRefuseAChildPath) {
  Build(u"T", taskDictionary(false, {u"N"}));
  TnxOwned<TnxServerDataDict> dict(taskDictionary());
  TnxOwned<TnxTableMapperDescriptor> mapper(platform::create<TnxTableMapperDescriptor>());
  TnxAbstractTaskInfo* task = nullptr;
  EXPECT_EQ(db_->sdTableRestructure(u"T:N", u"", dict.get(), mapper.get(), task), nxErrInvalidParam);
  EXPECT_EQ(task, nullptr);
  EXPECT_EQ(db_->sdTableRecover(u"T:N", u"", task), nxErrInvalidParam);
  EXPECT_EQ(task, nullptr);
  EXPECT_FALSE(Exists(u"$REST"));
  EXPECT_FALSE(Exists(u"T:N_Recovered"));
}

// ---- In a memory-only folder ---------------------------------------------------------------

class TableTaskMemoryTest : public TableTaskTest {
 protected:
  void SetUp() override { StartEngine(u"#mem"); }
};

TEST_F(TableTaskMemoryTest, PackSwapsWithoutABackupName) {
  Build(u"<T>", taskDictionary(true), nullptr, tsTempGlobal);
  Insert(u"<T>", Numbered(1, 40));
  auto* listener = platform::create<RenameListener>(Folder());
  TnxAbstractTaskInfo* task = nullptr;
  ASSERT_EQ(db_->TablePack(u"<T>", u"", task), 0) << platform::toUtf8(nxtest::pendingMessage());
  EXPECT_EQ(Finish(task).tsErrorCode, 0u);
  EXPECT_EQ(listener->Renames(), std::vector<std::string>{"$PACK><T>"});
  platform::TObject::free(listener);
  EXPECT_EQ(Ids(u"<T>").size(), 40u);
  EXPECT_FALSE(Exists(u"$PACK"));
}

// ---- Backup ----------------------------------------------------------------------------------

TEST_F(TableTaskTest, BackupRefusals) {
  Build(u"T", taskDictionary());
  fixture_.Fs().makeDirectory("/data/other");
  auto openOn = [&](TnxAbstractSession* aSession, const nxString& aPath, TnxOpenMode aMode) {
    TnxAbstractDatabase* db = nullptr;
    EXPECT_EQ(aSession->DatabaseOpen(db, u"Path", aPath, nullptr, aMode, smShared, 0), 0);
    return db;
  };
  TnxAbstractSession* mine = db_->Session();
  TnxAbstractSession* stranger = nullptr;
  ASSERT_EQ(engine_->SessionOpen(stranger, u"user", u"pw", u"other", 0), 0);
  sessions_.push_back(stranger);
  struct Case {
    const char* what;
    TnxAbstractDatabase* target;
    TnxResult code;
  } cases[] = {
      {"same folder", openOn(mine, u"/data/db", omReadWrite), nxErrSameTable},
      {"other session", openOn(stranger, u"/data/other", omReadWrite), nxErrDifferentSessions},
      {"read-only target", openOn(mine, u"/data/other", omReadOnly), nxErrDatabaseReadOnly},
      {"no database", nullptr, nxErrInvalidParam},
  };
  for (const Case& c : cases) {
    TnxAbstractTaskInfo* task = nullptr;
    EXPECT_EQ(db_->TableBackup(u"T", u"", c.target, task), c.code) << c.what;
    EXPECT_EQ(task, nullptr) << c.what;
  }
  EXPECT_FALSE(Exists(u"T", static_cast<TnxServerDatabase*>(cases[1].target)));
}

TEST_F(TableTaskTest, BackupCopiesEveryRecordSeenInTheCallersTransaction) {
  Build(u"T", taskDictionary());
  Insert(u"T", Numbered(1, 60));
  fixture_.Fs().makeDirectory("/data/other");
  TnxAbstractDatabase* target = nullptr;
  ASSERT_EQ(db_->Session()->DatabaseOpen(target, u"Path", u"/data/other", nullptr, omReadWrite, smShared, 0), 0);
  auto* targetDb = static_cast<TnxServerDatabase*>(target);
  // A record of the caller's open transaction is part of the copy.
  ASSERT_EQ(db_->TransactionStart(false, false), 0);
  Insert(u"T", {{61, "uncommitted"}});
  TnxAbstractTaskInfo* task = nullptr;
  ASSERT_EQ(db_->TableBackup(u"T", u"", target, task), 0) << platform::toUtf8(nxtest::pendingMessage());
  const TnxTaskStatus status = Finish(task);
  EXPECT_EQ(status.tsErrorCode, 0u) << platform::toUtf8(status.tsErrorMessage);
  ASSERT_EQ(db_->TransactionRollback(), 0);
  std::set<std::int32_t> expected;
  for (std::int32_t id = 1; id <= 61; ++id) expected.insert(id);
  EXPECT_EQ(Ids(u"T", targetDb), expected);
  EXPECT_EQ(Ids(u"T").size(), 60u);
}

// The source's own streams go with the copy; its dictionary and its
// recorded name stay the target's.
TEST_F(TableTaskTest, BackupCopiesTheTablesStreamsButDictionaryAndName) {
  Build(u"T", taskDictionary());
  Insert(u"T", Numbered(1, 5));
  auto bytesOf = [](TnxMemoryStream& aStream) {
    return std::string(static_cast<const char*>(aStream.Memory()), static_cast<std::size_t>(aStream.Size()));
  };
  auto read = [&](TnxServerTableCursor* aCursor, const nxString& aName, TnxResult& aResult) {
    TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
    aResult = aCursor->sbcTableStreamRead(aName, *stream, true);
    return bytesOf(*stream);
  };
  const std::string extra("user\0bytes", 10);
  std::string staleName;
  std::string sourceDict;
  {
    TnxServerTableCursor* cursor = OpenTable(u"T");
    TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
    stream->Write(extra.data(), static_cast<std::int64_t>(extra.size()));
    stream->SetPosition(0);
    ASSERT_EQ(cursor->sbcTableStreamWrite(u"Extra", *stream, true), 0);
    TnxOwned<TnxMemoryStream> name(platform::create<TnxMemoryStream>());
    {
      TnxWriter writer(*name);
      writer.WriteString(u"Stale");
    }
    staleName = bytesOf(*name);
    name->SetPosition(0);
    ASSERT_EQ(cursor->sbcTableStreamWrite(u"$TableName", *name, true), 0);
    TnxResult result = 0;
    sourceDict = read(cursor, u"DICT", result);
    ASSERT_EQ(result, 0);
    TnxAbstractServerObject::Free(cursor);
  }
  fixture_.Fs().makeDirectory("/data/other");
  TnxAbstractDatabase* target = nullptr;
  ASSERT_EQ(db_->Session()->DatabaseOpen(target, u"Path", u"/data/other", nullptr, omReadWrite, smShared, 0), 0);
  TnxAbstractTaskInfo* task = nullptr;
  ASSERT_EQ(db_->TableBackup(u"T", u"", target, task), 0) << platform::toUtf8(nxtest::pendingMessage());
  const TnxTaskStatus status = Finish(task);
  ASSERT_EQ(status.tsErrorCode, 0u) << platform::toUtf8(status.tsErrorMessage);

  TnxServerTableCursor* copy = OpenTable(u"T", static_cast<TnxServerDatabase*>(target));
  ASSERT_NE(copy, nullptr);
  TnxResult result = 0;
  EXPECT_EQ(read(copy, u"Extra", result), extra);
  EXPECT_EQ(result, 0);
  // The copy's dictionary has no indices: the source's was not written over it.
  const std::string copyDict = read(copy, u"DICT", result);
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(copyDict.empty());
  EXPECT_NE(copyDict, sourceDict);
  const std::string copyName = read(copy, u"$TableName", result);
  EXPECT_TRUE(result != 0 || copyName != staleName);
  TnxAbstractServerObject::Free(copy);
}

// ---- Recovery ----------------------------------------------------------------------------

TEST_F(TableTaskTest, RecoveryRescuesReadableRecordsBesideAUsersTableOfTheTargetName) {
  Build(u"T", taskDictionary());
  FillDirect(u"T", Numbered(1, 600), false);
  // A second ID 7 without its key: readable, but the unique index refuses it.
  FillDirect(u"T", {{7, "twin"}}, false, false);
  Build(u"T_Recovered", taskDictionary());
  Insert(u"T_Recovered", {{999, "user"}});
  CloseIdle();
  TableImage image = ReadImage("/data/db/T.nx1");
  ASSERT_GE(image.dataBlocks.size(), 3u);
  // The middle block of records becomes garbage.
  const std::size_t damaged = image.dataBlocks[image.dataBlocks.size() / 2];
  std::fill_n(image.bytes.begin() + static_cast<std::ptrdiff_t>(damaged * image.blockBytes), image.blockBytes,
              std::uint8_t{0xA5});
  fixture_.Fs().putFile("/data/db/T.nx1", image.bytes);

  TnxAbstractTaskInfo* task = nullptr;
  ASSERT_EQ(db_->TableRecover(u"T", u"", task), 0) << platform::toUtf8(nxtest::pendingMessage());
  const TnxTaskStatus status = Finish(task);
  EXPECT_EQ(status.tsErrorCode, 0u) << platform::toUtf8(status.tsErrorMessage);
  EXPECT_EQ(platform::toUtf8(status.tsErrorMessage),
            "Records recovered into \"T_Recovered1\", failed records into \"T_Failed\"");
  EXPECT_EQ(status.tsRecsRead, static_cast<std::uint32_t>(image.bytes.size() / image.blockBytes));

  // The user's table is untouched.
  EXPECT_EQ(Ids(u"T_Recovered"), std::set<std::int32_t>{999});
  const std::vector<TaskRow> rescued = Rows(u"T_Recovered1");
  std::set<std::int32_t> ids;
  for (const TaskRow& row : rescued) {
    ids.insert(row.id);
    EXPECT_EQ(row.name, "r" + std::to_string(row.id));
  }
  EXPECT_EQ(ids.size(), rescued.size());
  EXPECT_TRUE(ids.contains(1));
  EXPECT_TRUE(ids.contains(600));
  EXPECT_LT(ids.size(), 600u);  // the garbage block's records are gone
  EXPECT_GT(ids.size(), 300u);
  const std::vector<TaskRow> failed = Rows(u"T_Failed");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].id, 7);
  EXPECT_EQ(failed[0].name, "twin");
  // The source is not changed.
  CloseIdle();
  std::vector<std::uint8_t> now;
  ASSERT_TRUE(fixture_.Fs().contents("/data/db/T.nx1", now));
  EXPECT_EQ(now, image.bytes);
}

TEST_F(TableTaskTest, RecoveryOfBlocksWithoutAKnownOwnerRecoversNothing) {
  Build(u"T", taskDictionary());
  FillDirect(u"T", Numbered(1, 200), false);
  CloseIdle();
  TableImage image = ReadImage("/data/db/T.nx1");
  ASSERT_FALSE(image.dataBlocks.empty());
  for (const std::size_t block : image.dataBlocks) {
    const std::int32_t stranger = 0x3FFFFFF0;
    std::memcpy(image.bytes.data() + block * image.blockBytes + image.usable, &stranger, 4);
  }
  fixture_.Fs().putFile("/data/db/T.nx1", image.bytes);
  TnxAbstractTaskInfo* task = nullptr;
  ASSERT_EQ(db_->TableRecover(u"T", u"", task), 0) << platform::toUtf8(nxtest::pendingMessage());
  const TnxTaskStatus status = Finish(task);
  EXPECT_EQ(status.tsErrorCode, 0u) << platform::toUtf8(status.tsErrorMessage);
  EXPECT_TRUE(Rows(u"T_Recovered").empty());
  EXPECT_TRUE(Rows(u"T_Failed").empty());
  // The source, opened for the recovery without its indices, opens whole again.
  TnxServerTableCursor* cursor = OpenTable(u"T");
  ASSERT_NE(cursor, nullptr);
  EXPECT_NE(cursor->Table()->IndicesEngine(), nullptr);
  TnxAbstractServerObject::Free(cursor);
}

std::atomic<TnxAbstractTaskInfo*> gTaskToCancel{nullptr};
std::atomic<int> gBlobCopies{0};

// The first BLOB copy of a task cancels it (once the starter knows the
// task).
void cancelOnFirstCopy(std::uint32_t, std::uint32_t) {
  if (gBlobCopies.fetch_add(1) != 0) return;
  TnxAbstractTaskInfo* task = nullptr;
  while (!(task = gTaskToCancel.load())) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  task->Cancel();
}

TEST_F(TableTaskTest, CancelledPackRollsBackAndLeavesTheSource) {
  Build(u"T", nxtest::tableDictionary(true, true));
  FillDirect(u"T", Numbered(1, 100), true);
  TnxAbstractTaskInfo* task = nullptr;
  gBlobCopies = 0;
  gTaskToCancel = nullptr;
  nxsrBlobCopyReadTestHook = &cancelOnFirstCopy;
  ASSERT_EQ(db_->TablePack(u"T", u"", task), 0) << platform::toUtf8(nxtest::pendingMessage());
  gTaskToCancel = task;
  const TnxTaskStatus status = Finish(task);
  nxsrBlobCopyReadTestHook = nullptr;
  EXPECT_EQ(status.tsErrorCode, nxErrUpdateAborted);
  // The copy stopped at its next report: not every record was read.
  EXPECT_LT(gBlobCopies.load(), 100);
  EXPECT_FALSE(Exists(u"$PACK"));
  EXPECT_FALSE(Exists(u"$T_Backup"));
  const std::map<std::int32_t, std::string> memos = Memos(u"T");
  EXPECT_EQ(memos.size(), 100u);
  for (const auto& [id, memo] : memos) EXPECT_EQ(memo, "memo" + std::to_string(id));
}

TEST_F(TableTaskTest, CancelledRecoveryKeepsWhatItRescued) {
  Build(u"T", nxtest::tableDictionary(true, true));
  FillDirect(u"T", Numbered(1, 400), true);
  TnxAbstractTaskInfo* task = nullptr;
  gBlobCopies = 0;
  gTaskToCancel = nullptr;
  nxsrBlobCopyReadTestHook = &cancelOnFirstCopy;
  ASSERT_EQ(db_->TableRecover(u"T", u"", task), 0) << platform::toUtf8(nxtest::pendingMessage());
  gTaskToCancel = task;
  const TnxTaskStatus status = Finish(task);
  nxsrBlobCopyReadTestHook = nullptr;
  EXPECT_EQ(status.tsErrorCode, nxErrUpdateAborted);
  EXPECT_TRUE(status.tsErrorMessage.empty());
  // The block in hand was finished and committed, with its BLOBs.
  const std::map<std::int32_t, std::string> memos = Memos(u"T_Recovered");
  EXPECT_GT(memos.size(), 0u);
  EXPECT_LT(memos.size(), 400u);
  for (const auto& [id, memo] : memos) EXPECT_EQ(memo, "memo" + std::to_string(id));
  EXPECT_TRUE(Rows(u"T_Failed").empty());
}

}  // namespace
