// The database's operations on whole tables, run on real tables of the
// server engine in a folder with files and in an in-memory folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "nxllStreams.h"
#include "nxsrServerEngineCursorTestSupport.h"
#include "plString.h"

namespace {

using nxtest::tableDictionary;

std::string utf8(const nxString& aText) { return platform::toUtf8(aText); }

// A dictionary with an index on the string field "Name".
TnxServerDataDict* nameIndexDictionary() {
  TnxServerDataDict* dict = tableDictionary();
  TnxIndexDescriptor* index = dict->EnsureIndicesDescriptor()->AddIndex(u"ByName", 0, idAll, u"");
  platform::objectAs<TnxCompKeyDescriptor>(index->KeyDescriptor())->Add(1);
  return dict;
}

class DatabaseTablesTest : public nxtest::CursorTestBase, public ::testing::WithParamInterface<const char16_t*> {
 protected:
  void SetUp() override { StartEngine(GetParam()); }
  bool OnDisk() const { return path_[0] != u'#'; }

  // Builds aName through the database (the dictionary taken over).
  TnxResult Build(TnxServerDatabase* aDb, const nxString& aName, TnxServerDataDict* aDict = nullptr,
                  bool aOverWrite = false, const nxString& aPassword = u"", bool aAllowSystem = false) {
    TnxOwned<TnxServerDataDict> dict(aDict ? aDict : tableDictionary(true));
    return aDb->TableBuild(aOverWrite, aName, aPassword, dict.get(), tsPersistent, aAllowSystem);
  }
  TnxServerTableCursor* OpenTable(TnxServerDatabase* aDb, const nxString& aName, const nxString& aPassword = u"",
                                  TnxResult aExpected = 0) {
    TnxAbstractCursor* cursor = nullptr;
    EXPECT_EQ(aDb->CursorOpen(cursor, aName, aPassword, omReadWrite, smShared, 0, u"", -1, true, {}, 500, nullptr),
              aExpected)
        << utf8(aName);
    return static_cast<TnxServerTableCursor*>(cursor);
  }
  std::set<std::string> List(TnxServerDatabase* aDb) {
    TnxOwned<platform::TStringList> list(platform::create<platform::TStringList>());
    EXPECT_EQ(aDb->TableGetList(*list), 0);
    std::set<std::string> names;
    for (int i = 0; i < list->count(); ++i) names.insert(utf8(list->strings(i)));
    return names;
  }
  bool Exists(TnxServerDatabase* aDb, const nxString& aName) {
    bool exists = true;
    EXPECT_EQ(aDb->TableExists(aName, u"", exists, true), 0) << utf8(aName);
    return exists;
  }
  void Insert(TnxServerTableCursor* aCursor, std::int32_t aID) {
    std::vector<std::uint8_t> record = RecordOf(aCursor);
    TnxFieldsDescriptor* fields = aCursor->Table()->FieldsDescriptor();
    aCursor->RecordBufferClear(record.data());
    fields->SetRecordField(0, record.data(), &aID);
    ASSERT_EQ(aCursor->RecordInsert(nxltNoLock, record.data(), nullptr), 0);
  }
  std::uint32_t Count(TnxServerDatabase* aDb, const nxString& aName, const nxString& aPassword = u"") {
    TnxServerTableCursor* cursor = OpenTable(aDb, aName, aPassword);
    if (!cursor) return ~0u;
    std::uint32_t count = 0;
    cursor->Table()->RecordEngine()->GetRecordCount(nullptr, count);
    TnxAbstractServerObject::Free(cursor);
    return count;
  }
  // The first string of the table's "$TableName" stream, read from its
  // file when the table is not in use.
  std::string StoredName(const nxString& aName) {
    EXPECT_EQ(db_->Folder()->sfCloseInactiveTables(), 0);
    TnxServerBaseTable* table = nullptr;
    bool readOnly = false;
    EXPECT_EQ(db_->sdGetTable(table, aName, u"", false, readOnly, true, false), 0) << utf8(aName);
    if (!table) return "<no table>";
    TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
    if (table->Root()->StreamEngine()->ReadNamedStream(nullptr, u"$TableName", *stream) != 0) return "<no stream>";
    stream->SetPosition(0);
    TnxReader reader(*stream);
    return utf8(reader.ReadString());
  }
  // Gives the "ByName" key field a collation locale recorded as built under
  // 1033 but now naming 1041 (in the table's file too, when it has one), so
  // that the dictionary requires a pack.
  void MakeStale(const nxString& aName) {
    TnxServerTableCursor* cursor = OpenTable(db_, aName);
    ASSERT_NE(cursor, nullptr);
    TnxServerRootTable* root = cursor->Table()->Root();
    TnxServerDataDict* live = root->Dictionary();
    live->ForceOffReadOnly();
    TnxIndexDescriptor* index = live->IndicesDescriptor()->GetDescriptorFromName(u"ByName");
    ASSERT_NE(index, nullptr);
    TnxLocaleDescriptor* locale =
        platform::objectAs<TnxCompKeyDescriptor>(index->KeyDescriptor())->KeyFields(0)->AddLocaleDescriptor();
    locale->SetLocale(1033);
    locale->CheckValid(true);
    locale->SetLocale(1041);
    if (OnDisk()) {
      auto* context = static_cast<TnxServerTransContext*>(db_->TransContext());
      ASSERT_EQ(context->stcTransactionStart(false, false, false, false, false, true), 0);
      ASSERT_EQ(cursor->sbcBeginContentLock(true, false, false), 0);
      live->WriteToFile(root->StreamEngine(), context->Transaction(), 47501);
      ASSERT_EQ(context->stcTransactionCommit(), 0);
    } else {
      live->ForceOnReadOnly();
    }
    ASSERT_TRUE(live->RequiresPack());
    TnxAbstractServerObject::Free(cursor);
    ASSERT_EQ(db_->Folder()->sfCloseInactiveTables(), 0);
  }
  std::vector<std::string> NeedingPack(TnxServerDatabase* aDb) {
    void* found = nullptr;
    EXPECT_EQ(aDb->CreateInstanceFor(u"<Self>", nxAbstractDatabase31000ClassID, nullptr,
                                     InxAbstractDatabase31000::IID, &found),
              nxS_OK);
    if (!found) return {};
    std::vector<std::string> names;
    for (const nxString& name : static_cast<InxAbstractDatabase31000*>(found)->GetTablesNeedingPack())
      names.push_back(utf8(name));
    return names;
  }
};

TEST_P(DatabaseTablesTest, DoubleHashTableIsSeenOnlyByItsDatabase) {
  ASSERT_EQ(Build(db_, u"##t"), 0) << utf8(nxtest::pendingMessage());
  TnxServerDatabase* other = NewDatabase();
  EXPECT_EQ(List(db_).count("##t"), 1u);
  EXPECT_EQ(List(other).count("##t"), 0u);
  EXPECT_TRUE(Exists(db_, u"##t"));
  EXPECT_FALSE(Exists(other, u"##t"));
  OpenTable(other, u"##t", u"", nxErrNoSuchTable);
  // The other database's own "##t" is another table.
  ASSERT_EQ(Build(other, u"##t"), 0);
  TnxServerTableCursor* mine = OpenTable(db_, u"##t");
  ASSERT_NE(mine, nullptr);
  Insert(mine, 1);
  TnxAbstractServerObject::Free(mine);
  EXPECT_EQ(Count(db_, u"##t"), 1u);
  EXPECT_EQ(Count(other, u"##t"), 0u);
  // Other "#" forms are the folder's.
  ASSERT_EQ(Build(db_, u"###g"), 0);
  EXPECT_TRUE(Exists(other, u"###g"));
}

TEST_P(DatabaseTablesTest, BuildingAnExistingNameIsRefusedOrReplacesIt) {
  ASSERT_EQ(Build(db_, u"##t"), 0);
  ASSERT_EQ(Build(db_, u"plain"), 0);
  struct Row {
    const char16_t* name;
  };
  for (const Row& row : {Row{u"##t"}, Row{u"plain"}}) {
    SCOPED_TRACE(utf8(row.name));
    EXPECT_EQ(Build(db_, row.name), nxErrTableExists);
    TnxServerTableCursor* cursor = OpenTable(db_, row.name);
    ASSERT_NE(cursor, nullptr);
    Insert(cursor, 7);
    EXPECT_EQ(Build(db_, row.name, nullptr, true), nxErrTableOpen);
    // The open table was left as it was.
    std::uint32_t count = 0;
    cursor->Table()->RecordEngine()->GetRecordCount(nullptr, count);
    EXPECT_EQ(count, 1u);
    TnxAbstractServerObject::Free(cursor);
    EXPECT_EQ(Build(db_, row.name, nullptr, true), 0);
    EXPECT_EQ(Count(db_, row.name), 0u);
  }
  EXPECT_EQ(Build(db_, u""), nxErrInvalidTableName);
  EXPECT_EQ(Build(db_, u"$sys"), nxErrInvalidTableName);
  EXPECT_EQ(Build(db_, u"$sys", nullptr, false, u"", true), 0);
  EXPECT_EQ(db_->TableBuild(false, u"x", u"", nullptr, tsPersistent, false), nxErrInvalidParam);
}

TEST_P(DatabaseTablesTest, RenameRefusesTakenNamesAndRecordsTheNewName) {
  ASSERT_EQ(Build(db_, u"##a"), 0);
  ASSERT_EQ(Build(db_, u"##b"), 0);
  ASSERT_EQ(Build(db_, u"plain"), 0);
  ASSERT_EQ(Build(db_, u"taken"), 0);
  struct Row {
    const char16_t* from;
    const char16_t* to;
    TnxResult result;
  };
  const Row rows[] = {
      {u"##a", u"##b", nxErrTableExists},    // in the map
      {u"##a", u"plain", nxErrTableExists},  // in the folder
      {u"plain", u"taken", nxErrTableExists},
      {u"##a", u"##c", 0},
      {u"plain", u"other", 0},
      {u"##c", u"mine", 0},  // a database table may take an ordinary name
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(utf8(row.from) + " -> " + utf8(row.to));
    const std::int32_t generation = db_->StructureGeneration();
    EXPECT_EQ(db_->TableRename(row.from, row.to, u""), row.result) << utf8(nxtest::pendingMessage());
    if (row.result != 0) continue;
    EXPECT_EQ(StoredName(row.to), utf8(row.to));
    EXPECT_FALSE(Exists(db_, row.from));
    EXPECT_TRUE(Exists(db_, row.to));
    EXPECT_GT(db_->StructureGeneration(), generation);
  }
  const std::set<std::string> names = List(db_);
  EXPECT_EQ(names, (std::set<std::string>{"##b", "mine", "other", "taken"}));
  EXPECT_EQ(db_->TableRename(u"other", u"a:b", u""), nxErrInvalidTableName);
  EXPECT_EQ(db_->TableRename(u"", u"x", u""), nxErrNoSuchTable);
}

TEST_P(DatabaseTablesTest, ExistsAnswersFalseForUnknownAndEmptyNames) {
  ASSERT_EQ(Build(db_, u"qbnk", tableDictionary(false, false, {u"qzrecord"})), 0);
  ASSERT_EQ(Build(db_, u"##t"), 0);
  struct Row {
    const char16_t* name;
    bool exists;
  };
  const Row rows[] = {{u"", false},         {u"nothere", false},        {u"qbnk", true},
                      {u"QBNK", true},      {u"qbnk:qzrecord", true},   {u"qbnk:nothere", false},
                      {u"##t", true},       {u"##t:child", false},      {u"nothere:child", false}};
  for (const Row& row : rows) EXPECT_EQ(Exists(db_, row.name), row.exists) << utf8(row.name);
  bool exists = true;
  EXPECT_EQ(db_->TableExists(u"$sys", u"", exists, false), nxErrInvalidTableName);
}

TEST_P(DatabaseTablesTest, DictionaryOfMapAndFolderTables) {
  ASSERT_EQ(Build(db_, u"##t", tableDictionary(false, false, {u"inner"})), 0);
  ASSERT_EQ(Build(db_, u"plain", tableDictionary(true)), 0);
  EXPECT_EQ(db_->TableGetDictionary(u"plain", u"", nullptr), nxErrInvalidParam);
  for (const char16_t* name : {u"##t", u"plain"}) {
    TnxOwned<TnxDataDictionary> dict(platform::create<TnxDataDictionary>());
    ASSERT_EQ(db_->TableGetDictionary(name, u"", dict.get()), 0) << utf8(name);
    EXPECT_EQ(dict->FieldsDescriptor()->FieldCount(), 2);
    EXPECT_EQ(utf8(dict->FieldsDescriptor()->Fields(1)->Name()), "Name");
  }
  TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
  EXPECT_EQ(db_->TableGetDictionary(u"nothere", u"", dict.get()), nxErrNoSuchTable);
  EXPECT_EQ(db_->TableGetDictionary(u"plain:child", u"", dict.get()), nxErrInvalidTableName);
}

TEST_P(DatabaseTablesTest, ListShowsSystemTablesOnlyWithSystemAccess) {
  ASSERT_EQ(Build(db_, u"plain"), 0);
  ASSERT_EQ(Build(db_, u"$sys", nullptr, false, u"", true), 0);
  ASSERT_EQ(Build(db_, u"##t"), 0);
  // Leaving "$sys" out refuses nothing: the thread's message stays.
  EnxBaseException::SetLastConvertedException(0, u"");
  EXPECT_EQ(List(db_), (std::set<std::string>{"##t", "plain"}));
  EXPECT_EQ(utf8(nxtest::pendingMessage()), "");
  ASSERT_EQ(db_->OptionSet(u"ALLOWSYSTEMTABLEACCESS", u"1"), 0);
  EXPECT_EQ(List(db_), (std::set<std::string>{"##t", "$sys", "plain"}));
  // The list is cleared first.
  TnxOwned<platform::TStringList> list(platform::create<platform::TStringList>());
  list->add(u"stale");
  ASSERT_EQ(db_->TableGetList(*list), 0);
  EXPECT_EQ(list->indexOf(u"stale"), -1);
}

TEST_P(DatabaseTablesTest, ReadOnlyDatabaseRefusesChanges) {
  ASSERT_EQ(Build(db_, u"plain"), 0);
  ASSERT_EQ(Build(db_, u"##t"), 0);
  TnxAbstractDatabase* opened = nullptr;
  ASSERT_EQ(db_->Session()->DatabaseOpen(opened, u"Path", path_, nullptr, omReadOnly, smShared, 0), 0);
  auto* readOnly = static_cast<TnxServerDatabase*>(opened);
  TnxOwned<TnxServerDataDict> dict(tableDictionary());
  struct Row {
    const char* what;
    std::function<TnxResult()> call;
  };
  const Row rows[] = {
      {"build", [&] { return readOnly->TableBuild(false, u"new", u"", dict.get(), tsPersistent, false); }},
      {"build ##", [&] { return readOnly->TableBuild(false, u"##new", u"", dict.get(), tsPersistent, false); }},
      {"delete", [&] { return readOnly->TableDelete(u"plain", u""); }},
      {"empty", [&] { return readOnly->TableEmpty(u"plain", u""); }},
      {"rename", [&] { return readOnly->TableRename(u"plain", u"other", u""); }},
      {"password", [&] { return readOnly->TableChangePassword(u"plain", u"", u"pw"); }},
  };
  for (const Row& row : rows) EXPECT_EQ(row.call(), nxErrDatabaseReadOnly) << row.what;
  EXPECT_TRUE(Exists(readOnly, u"plain"));
  EXPECT_EQ(List(readOnly).count("new"), 0u);
  std::uint32_t value = 1;
  EXPECT_EQ(readOnly->TableAutoIncGet(u"plain", u"", value), 0);
}

TEST_P(DatabaseTablesTest, DeleteRemovesMapAndFolderTablesButNotOpenOnes) {
  ASSERT_EQ(Build(db_, u"##t"), 0);
  ASSERT_EQ(Build(db_, u"plain"), 0);
  for (const char16_t* name : {u"##t", u"plain"}) {
    SCOPED_TRACE(utf8(name));
    TnxServerTableCursor* cursor = OpenTable(db_, name);
    EXPECT_EQ(db_->TableDelete(name, u""), nxErrTableOpen);
    TnxAbstractServerObject::Free(cursor);
    const std::int32_t generation = db_->StructureGeneration();
    EXPECT_EQ(db_->TableDelete(name, u""), 0);
    EXPECT_GT(db_->StructureGeneration(), generation);
    EXPECT_FALSE(Exists(db_, name));
    EXPECT_EQ(db_->TableDelete(name, u""), nxErrNoSuchTable);
  }
  EXPECT_TRUE(List(db_).empty());
}

// A database table emptied twice in a row: each time the old table goes
// once, and the new one has its dictionary and password.
TEST_P(DatabaseTablesTest, EmptyingADatabaseTableKeepsDictionaryAndPassword) {
  ASSERT_EQ(Build(db_, u"##t", tableDictionary(true, false, {u"inner"}), false, u"secret"), 0);
  TnxServerTableCursor* cursor = OpenTable(db_, u"##t", u"secret");
  ASSERT_NE(cursor, nullptr);
  Insert(cursor, 1);
  Insert(cursor, 2);
  EXPECT_EQ(db_->TableEmpty(u"##t", u"secret"), nxErrTableOpen);
  TnxAbstractServerObject::Free(cursor);
  EXPECT_EQ(Count(db_, u"##t", u"secret"), 2u);
  EXPECT_NE(db_->TableEmpty(u"##t", u"wrong"), 0);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(db_->TableEmpty(u"##t", u"secret"), 0);
    cursor = OpenTable(db_, u"##t", u"secret");
    ASSERT_NE(cursor, nullptr);
    std::uint32_t count = 9;
    cursor->Table()->RecordEngine()->GetRecordCount(nullptr, count);
    EXPECT_EQ(count, 0u);
    TnxServerRootTable* root = cursor->Table()->Root();
    EXPECT_EQ(utf8(root->ExtractPassword()), "secret");
    EXPECT_EQ(root->TableScope(), tsTempDatabase);
    EXPECT_EQ(utf8(root->FullName()), "##t");
    EXPECT_EQ(utf8(root->Dictionary()->BaseName()), "##t");
    EXPECT_EQ(root->Dictionary()->FieldsDescriptor()->FieldCount(), 2);
    EXPECT_NE(root->Dictionary()->IndicesDescriptor()->GetIndexFromName(u"ByID"), -1);
    EXPECT_EQ(root->ChildCount(), 1);
    Insert(cursor, 3);
    TnxAbstractServerObject::Free(cursor);
  }
  EXPECT_EQ(Count(db_, u"##t", u"secret"), 1u);
  OpenTable(db_, u"##t", u"wrong", nxErrInvalidPassword);
  EXPECT_EQ(List(db_), (std::set<std::string>{"##t"}));
}

TEST_P(DatabaseTablesTest, EmptyingAFolderTable) {
  ASSERT_EQ(Build(db_, u"plain"), 0);
  TnxServerTableCursor* cursor = OpenTable(db_, u"plain");
  Insert(cursor, 1);
  EXPECT_EQ(db_->TableEmpty(u"plain", u""), nxErrTableOpen);
  TnxAbstractServerObject::Free(cursor);
  EXPECT_EQ(db_->TableEmpty(u"plain", u""), 0);
  EXPECT_EQ(Count(db_, u"plain"), 0u);
  EXPECT_EQ(db_->TableEmpty(u"nothere", u""), nxErrNoSuchTable);
  EXPECT_EQ(db_->TableEmpty(u"a:b", u""), nxErrInvalidTableName);
}

TEST_P(DatabaseTablesTest, AutoIncValueAndPasswordThroughACursor) {
  TnxServerDataDict* dict = tableDictionary(true);
  dict->AddAutoIncDescriptor();
  ASSERT_EQ(Build(db_, u"plain", dict), 0);
  TnxServerTableCursor* cursor = OpenTable(db_, u"plain");
  ASSERT_EQ(cursor->AutoIncSet(41), 0);
  TnxAbstractServerObject::Free(cursor);
  std::uint32_t value = 0;
  EXPECT_EQ(db_->TableAutoIncGet(u"plain", u"", value), 0);
  EXPECT_EQ(value, 41u);
  EXPECT_EQ(db_->TableAutoIncGet(u"nothere", u"", value), nxErrNoSuchTable);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(db_->TableChangePassword(u"nothere", u"", u"pw"), nxErrNoSuchTable);
  EXPECT_EQ(db_->TableChangePassword(u"a:b", u"", u"pw"), nxErrInvalidTableName);
}

// After a changed password the next open needs the new one, of a table
// still open and of one read again from its file.
TEST_P(DatabaseTablesTest, ChangedPasswordIsTheOneTheNextOpenNeeds) {
  for (const char16_t* name : {u"##t", u"plain"}) {
    SCOPED_TRACE(utf8(name));
    ASSERT_EQ(Build(db_, name, tableDictionary(true), false, u"old"), 0) << utf8(nxtest::pendingMessage());
    EXPECT_EQ(db_->TableChangePassword(name, u"wrong", u"new"), nxErrInvalidPassword);
    ASSERT_EQ(db_->TableChangePassword(name, u"old", u"new"), 0) << utf8(nxtest::pendingMessage());
    for (const bool reread : {false, true}) {
      SCOPED_TRACE(reread);
      if (reread) {
        ASSERT_EQ(db_->Folder()->sfCloseInactiveTables(), 0);
      }
      OpenTable(db_, name, u"old", nxErrInvalidPassword);
      TnxServerTableCursor* cursor = OpenTable(db_, name, u"new");
      ASSERT_NE(cursor, nullptr);
      Insert(cursor, reread ? 2 : 1);
      TnxAbstractServerObject::Free(cursor);
    }
    EXPECT_EQ(Count(db_, name, u"new"), 2u);
  }
}

// Adding an index writes the dictionary of a "##" table to its unnamed
// file; the database and its users still see the table's own name.
TEST_P(DatabaseTablesTest, DatabaseTableKeepsItsNameAfterAnAddedIndex) {
  ASSERT_EQ(Build(db_, u"##t"), 0);
  TnxOwned<TnxServerDataDict> holder(nameIndexDictionary());
  TnxIndexDescriptor* byName = holder->IndicesDescriptor()->GetDescriptorFromName(u"ByName");
  ASSERT_EQ(db_->TableAddIndex(u"##t", u"", byName, false), 0) << utf8(nxtest::pendingMessage());
  TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
  ASSERT_EQ(db_->TableGetDictionary(u"##t", u"", dict.get()), 0);
  EXPECT_EQ(utf8(dict->BaseName()), "##t");
  EXPECT_NE(dict->IndicesDescriptor()->GetIndexFromName(u"ByName"), -1);
  TnxServerTableCursor* cursor = OpenTable(db_, u"##t");
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(utf8(cursor->Table()->Root()->Dictionary()->BaseName()), "##t");
  TnxAbstractServerObject::Free(cursor);
}

TEST_P(DatabaseTablesTest, TablesNeedingPackWithAndWithoutSystemAccess) {
  ASSERT_EQ(Build(db_, u"plain", nameIndexDictionary()), 0);
  ASSERT_EQ(Build(db_, u"stale", nameIndexDictionary()), 0);
  ASSERT_EQ(Build(db_, u"$stale", nameIndexDictionary(), false, u"", true), 0);
  ASSERT_EQ(Build(db_, u"##stale", nameIndexDictionary()), 0);
  EXPECT_TRUE(NeedingPack(db_).empty());
  MakeStale(u"stale");
  MakeStale(u"$stale");
  MakeStale(u"##stale");
  std::vector<std::string> names = NeedingPack(db_);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"##stale", "stale"}));
  ASSERT_EQ(db_->OptionSet(u"ALLOWSYSTEMTABLEACCESS", u"1"), 0);
  names = NeedingPack(db_);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"##stale", "$stale", "stale"}));
  // Another database sees the folder's tables only.
  EXPECT_EQ(NeedingPack(NewDatabase()), (std::vector<std::string>{"stale"}));
}

TEST_P(DatabaseTablesTest, IterationVisitsEveryDictionaryOnce) {
  ASSERT_EQ(Build(db_, u"plain"), 0);
  ASSERT_EQ(Build(db_, u"busy", tableDictionary(false, false, {u"inner"})), 0);
  ASSERT_EQ(Build(db_, u"##mine"), 0);
  ASSERT_EQ(Build(db_, u"$sys", nullptr, false, u"", true), 0);
  TnxServerTableCursor* busy = OpenTable(db_, u"busy:inner");
  ASSERT_NE(busy, nullptr);
  struct Row {
    bool allowSystem;
    std::set<std::string> names;
  };
  for (const Row& row : {Row{false, {"##mine", "busy", "plain"}}, Row{true, {"##mine", "$sys", "busy", "plain"}}}) {
    std::map<std::string, int> visits;
    int cookie = 0;
    const TnxIteratorResult result = db_->sdIterateDictionaries(
        [&](TnxDataDictionary* aDict, const nxString& aName, void* aCookie) {
          EXPECT_EQ(aCookie, &cookie);
          EXPECT_EQ(aDict->FieldsDescriptor()->FieldCount(), 2);
          ++visits[utf8(aName)];
          return irContinue;
        },
        row.allowSystem, false, &cookie);
    EXPECT_EQ(result, irContinue);
    std::set<std::string> seen;
    for (const auto& [name, count] : visits) {
      EXPECT_EQ(count, 1) << name;
      seen.insert(name);
    }
    EXPECT_EQ(seen, row.names);
  }
  int calls = 0;
  EXPECT_EQ(db_->sdIterateDictionaries(
                [&](TnxDataDictionary*, const nxString&, void*) {
                  ++calls;
                  return irStop;
                },
                false, false, nullptr),
            irStop);
  EXPECT_EQ(calls, 1);
  TnxAbstractServerObject::Free(busy);
}

INSTANTIATE_TEST_SUITE_P(Folder, DatabaseTablesTest, ::testing::Values(u"/data/db", u"#mem"),
                         [](const ::testing::TestParamInfo<const char16_t*>& aInfo) {
                           return aInfo.param[0] == u'#' ? std::string("InMemory") : std::string("OnDisk");
                         });

}  // namespace
