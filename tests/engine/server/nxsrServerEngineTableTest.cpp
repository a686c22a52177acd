#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "nxsrServerEngineTableTestSupport.h"

namespace {

using nxtest::pendingMessage;
using nxtest::ServerTableTest;
using nxtest::tableDictionary;
using nxtest::twoFileDictionary;

std::string utf8(const nxString& aText) { return platform::toUtf8(aText); }

// A table with the special fields: "Rev" (record revision) and "Ref" (RefNr).
TnxServerDataDict* specialFieldsDictionary() {
  TnxServerDataDict* dict = tableDictionary();
  dict->FieldsDescriptor()->AddField(u"Rev", u"", nxtRecRev, 0, 0, false);
  dict->FieldsDescriptor()->AddField(u"Ref", u"", nxtRefNr, 0, 0, false);
  return dict;
}

// Commits and rolls back through the buffer manager as the server does.
class PasswordChangeTransaction : public TnxBaseTransaction {
  PL_CLASS_INFO_DECL()
 public:
  explicit PasswordChangeTransaction(TnxBufferManager* aManager) : TnxBaseTransaction(aManager, nullptr, false, false) {}
  TnxResult Commit() override {
    TnxBaseTransactionLevel* level = btTransLevelsTail;
    level->StopNested();
    TnxFlushList list;
    btBufferManager->CommitTransaction(this, &list, false);
    list.Flush(false);
    platform::TObject::free(level);
    return 0;
  }
  TnxResult Rollback() override {
    TnxBaseTransactionLevel* level = btTransLevelsTail;
    level->StopNested();
    btBufferManager->RollbackTransaction(this);
    platform::TObject::free(level);
    return 0;
  }
};
PL_CLASS_INFO_IMPL(PasswordChangeTransaction, TnxBaseTransaction, "PasswordChangeTransaction", nullptr)

class ServerRootTableTest : public ServerTableTest {};

TEST_F(ServerRootTableTest, BuiltTableOpensWithItsEnginesAndNestedTables) {
  ASSERT_EQ(Build(u"qbnk", tableDictionary(true, true, {u"qzrecord", u"other"})), 0) << utf8(pendingMessage());
  EXPECT_TRUE(Exists("/data/qbnk.nx1"));
  // A persistent table is closed once built.
  EXPECT_EQ(folder_->OpenTableCount(), 0);
  TnxResult result = 0;
  TnxServerRootTable* table = Open(u"qbnk", result);
  ASSERT_EQ(result, 0) << utf8(pendingMessage());
  EXPECT_EQ(table->ChildCount(), 2);
  EXPECT_NE(table->RecordEngine(), nullptr);
  EXPECT_NE(table->IndicesEngine(), nullptr);
  EXPECT_NE(table->BlobEngine(), nullptr);
  EXPECT_NE(table->Children(0)->RecordEngine(), nullptr);
  // Root and children each count with the engine.
  EXPECT_EQ(engine_->TableCount(), 3);
  // The name the table was built under is kept in the file.
  platform::TStringList streams;
  ASSERT_EQ(table->StreamEngine()->GetNamedStreamList(nullptr, streams), 0);
  int index = 0;
  EXPECT_TRUE(streams.find(u"$TableName", index));
  TnxServerTableStats stats;
  table->sbtGetStats(nullptr, stats);
  EXPECT_EQ(utf8(stats.MainFileName), "/data/qbnk.nx1");
  EXPECT_GT(stats.MainFileSize, 0);
  EXPECT_EQ(stats.FileVersion, table->Dictionary()->Version() < 5 ? 30000 : 47005);
  EXPECT_GE(stats.NamedStreams, 1);
  EXPECT_GT(table->sbtCurrentLSN(nullptr), 0);
  Drop(table);
  EXPECT_EQ(folder_->sfCloseInactiveTables(), 0);
  EXPECT_EQ(folder_->OpenTableCount(), 0);
  EXPECT_EQ(engine_->TableCount(), 0);
}

TEST_F(ServerRootTableTest, RecoveryModeOpensWithoutIndexEngines) {
  ASSERT_EQ(Build(u"t", tableDictionary(true)), 0);
  nxsrSetRecoveryMode(true);
  TnxResult result = 0;
  TnxServerRootTable* table = Open(u"t", result);
  nxsrSetRecoveryMode(false);
  ASSERT_EQ(result, 0);
  EXPECT_NE(table->RecordEngine(), nullptr);
  EXPECT_EQ(table->IndicesEngine(), nullptr);
  Drop(table);
}

TEST_F(ServerRootTableTest, TreeResolvesChildPathsAndNamesWhatIsMissing) {
  ASSERT_EQ(Build(u"qbnk", tableDictionary(false, false, {u"qzrecord"})), 0);
  TnxResult result = 0;
  TnxServerRootTable* root = Open(u"qbnk", result);
  ASSERT_EQ(result, 0);
  TnxServerBaseTable* child = root->Children(0);
  EXPECT_EQ(utf8(child->FullName()), "qbnk:qzrecord");
  EXPECT_EQ(child->Root(), root);
  EXPECT_EQ(child->Parent(), root);
  struct Case {
    TnxServerBaseTable* from;
    const char16_t* path;
    TnxServerBaseTable* expected;
    const char* message;
  } cases[] = {
      {root, u"qzrecord", child, nullptr},
      {root, u"QZRECORD", child, nullptr},
      {root, u"qzrecord:..", root, nullptr},
      {root, u".", root, nullptr},
      {root, u"", root, nullptr},
      {child, u"..", root, nullptr},
      {root, u"nothere", nullptr, " No child table called \"nothere\" in table \"qbnk\""},
      {root, u"..", nullptr, " No parent for table \"qbnk\""},
      {root, u"qzrecord:x", nullptr, " No child table called \"x\" in table \"qbnk:qzrecord\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(utf8(c.path));
    TnxServerBaseTable* found = root;
    const TnxResult code = c.from->GetChild(c.path, found);
    EXPECT_EQ(found, c.expected);
    if (c.message) {
      EXPECT_EQ(code, 10024);
      EXPECT_EQ(utf8(pendingMessage()), utf8(nxGetOrgPlaceholder()) + c.message);
    } else {
      EXPECT_EQ(code, 0);
    }
  }
  Drop(root);
}

TEST_F(ServerRootTableTest, InstancesByNameReachTheTableTheRootAndTheFolder) {
  ASSERT_EQ(Build(u"qbnk", tableDictionary(false, false, {u"qzrecord"})), 0);
  TnxResult result = 0;
  TnxServerRootTable* root = Open(u"qbnk", result);
  ASSERT_EQ(result, 0);
  TnxServerBaseTable* child = root->Children(0);
  const auto self = [](TnxAbstractServerObject* aObject) {
    return static_cast<void*>(static_cast<InxAbstractServerObject41100*>(aObject));
  };
  struct Case {
    TnxServerBaseTable* from;
    const char16_t* name;
    void* expected;
  } cases[] = {
      {child, u"<Table>", self(child)},
      {child, u"<Root>", self(root)},
      {child, u"<Table>.<Root>", self(root)},
      {root, u"<Folder>", self(folder_)},
      {child, u"<Folder>", nullptr},  // only a root reaches its folder
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(utf8(c.name));
    void* found = &found;
    const std::int32_t code = c.from->CreateInstanceFor(c.name, nxServerObjectSelfClassID, nullptr,
                                                        InxAbstractServerObject41100::IID, &found);
    EXPECT_EQ(code == nxS_OK, c.expected != nullptr) << code;
    EXPECT_EQ(found, c.expected);
  }
  Drop(root);
}

TEST_F(ServerRootTableTest, RecordRevisionAndRefNrChecks) {
  ASSERT_EQ(Build(u"t", specialFieldsDictionary()), 0);
  TnxResult result = 0;
  TnxServerRootTable* table = Open(u"t", result);
  ASSERT_EQ(result, 0);
  TnxFieldsDescriptor* fields = table->FieldsDescriptor();
  const auto size = static_cast<std::size_t>(fields->RecordLength());
  std::vector<std::uint8_t> stored(size), fresh(size);
  fields->InitRecord(stored.data());
  const auto setRev = [&](std::vector<std::uint8_t>& aRecord, std::uint32_t aValue) {
    fields->SetRecordField(2, aRecord.data(), &aValue);
  };
  const auto rev = [&](const std::vector<std::uint8_t>& aRecord) {
    std::uint32_t value = 0;
    bool isNull = true;
    fields->GetRecordField(2, aRecord.data(), isNull, &value);
    return value;
  };
  const auto setRef = [&](std::vector<std::uint8_t>& aRecord, std::int64_t aValue) {
    fields->SetRecordField(3, aRecord.data(), &aValue);
  };
  const auto ref = [&](const std::vector<std::uint8_t>& aRecord) {
    std::int64_t value = 0;
    bool isNull = true;
    fields->GetRecordField(3, aRecord.data(), isNull, &value);
    return isNull ? std::int64_t{-1} : value;
  };

  // Revisions: a null one starts at 0; the stored one must come back.
  table->sbtInitRecRev(stored.data());
  EXPECT_EQ(rev(stored), 0u);
  struct RevCase {
    std::uint32_t stored, sent;
    TnxResult code;
    std::uint32_t after;
  } revCases[] = {{7, 7, 0, 8}, {7, 6, 10259, 6}, {0xFFFFFFFFu, 0xFFFFFFFFu, 0, 0}};
  for (const RevCase& c : revCases) {
    setRev(stored, c.stored);
    fresh = stored;
    setRev(fresh, c.sent);
    EXPECT_EQ(table->sbtCheckRecRev(stored.data(), fresh.data(), false), c.code);
    EXPECT_EQ(rev(fresh), c.after);
  }
  // An insert takes its own value as the stored one.
  setRev(fresh, 41);
  EXPECT_EQ(table->sbtCheckRecRev(fresh.data(), fresh.data(), true), 0);
  EXPECT_EQ(rev(fresh), 42u);

  // RefNr: an insert takes the reference; a modify may not change it.
  table->sbtInitRefNr(fresh.data());
  EXPECT_EQ(ref(fresh), -1);
  EXPECT_EQ(table->sbtCheckRefNr(fresh.data(), fresh.data(), true, 5), 0);
  EXPECT_EQ(ref(fresh), 5);
  stored = fresh;
  EXPECT_EQ(table->sbtCheckRefNr(stored.data(), fresh.data(), false, 5), 0);
  setRef(fresh, 6);
  EXPECT_EQ(table->sbtCheckRefNr(stored.data(), fresh.data(), false, 5), 9996);
  EXPECT_EQ(utf8(pendingMessage()), "Invalid modify request. RefNr has changed.\r\nExpected: [5]\r\nFound: [6]");
  Drop(table);
}

TEST_F(ServerRootTableTest, LsnFieldsTakeTheNextLsnAndRefuseAStaleOne) {
  TnxServerDataDict* dict = tableDictionary();
  for (const auto& [name, onModify] : {std::pair{u"Modified", true}, std::pair{u"Inserted", false}}) {
    TnxFieldDescriptor* field = dict->FieldsDescriptor()->AddField(name, u"", nxtInt64, 0, 0, false);
    field->AddDefaultValue(&TnxNextLSNDefaultValueDescriptor::staticClassInfo())->SetApplyOnModify(onModify);
  }
  ASSERT_EQ(Build(u"t", dict), 0) << utf8(pendingMessage());
  TnxResult result = 0;
  TnxServerRootTable* table = Open(u"t", result);
  ASSERT_EQ(result, 0);
  TnxFieldsDescriptor* fields = table->FieldsDescriptor();
  const auto value = [&](const std::vector<std::uint8_t>& aRecord, std::int32_t aField) {
    std::int64_t v = 0;
    bool isNull = true;
    fields->GetRecordField(aField, aRecord.data(), isNull, &v);
    return v;
  };
  std::vector<std::uint8_t> stored(static_cast<std::size_t>(fields->RecordLength())), fresh;
  fields->InitRecord(stored.data());
  table->sbtInitLSNFields([] { return TnxLSN{0}; }, stored.data());
  EXPECT_EQ(value(stored, 2), 1);
  EXPECT_EQ(value(stored, 3), 1);
  table->sbtInitLSNFields([] { return TnxLSN{40}; }, stored.data());
  EXPECT_EQ(value(stored, 2), 40);
  fresh = stored;
  EXPECT_EQ(table->sbtCheckLSNFields([] { return TnxLSN{50}; }, stored.data(), false, fresh.data()), 0);
  EXPECT_EQ(value(fresh, 2), 50);
  EXPECT_EQ(value(fresh, 3), 40);
  // The record read before that change is stale now.
  std::vector<std::uint8_t> stale = stored;
  EXPECT_EQ(table->sbtCheckLSNFields({}, fresh.data(), false, stale.data()), 10259);
  stale = fresh;
  EXPECT_EQ(table->sbtCheckLSNFields({}, fresh.data(), false, stale.data()), 0);
  EXPECT_EQ(value(stale, 2), 51);
  Drop(table);
}

TEST_F(ServerRootTableTest, OpenTakesTheDiskSpellingOfTheName) {
  ASSERT_EQ(Build(u"QBNK", tableDictionary()), 0);
  TnxResult result = 0;
  TnxServerRootTable* table = Open(u"qbnk", result);
  ASSERT_EQ(result, 0) << utf8(pendingMessage());
  EXPECT_EQ(utf8(table->RootName()), "QBNK");
  EXPECT_EQ(utf8(table->FullName()), "QBNK");
  EXPECT_EQ(utf8(table->Dictionary()->BaseName()), "QBNK");
  EXPECT_EQ(folder_->sfFindTable(u"QBNK"), table);
  Drop(table);
}

TEST_F(ServerRootTableTest, PasswordWithoutEngineTakesTheFirstRegisteredAndGuardsTheFile) {
  // Of the three names only "nx1xDefault" is registered in this system.
  ASSERT_EQ(Build(u"secret", tableDictionary(), u"pw"), 0) << utf8(pendingMessage());
  TnxResult result = 0;
  EXPECT_EQ(Open(u"secret", result, {u"wrong"}), nullptr);
  EXPECT_NE(result, 0);
  TnxServerRootTable* table = Open(u"secret", result, {u"pw"});
  ASSERT_EQ(result, 0) << utf8(pendingMessage());
  EXPECT_EQ(utf8(table->Dictionary()->EncryptionEngine()), "nx1xDefault");
  EXPECT_EQ(utf8(table->ExtractPassword()), "pw");
  EXPECT_EQ(table->srtCheckPasswords({u"pw"}), 0);
  EXPECT_NE(table->srtCheckPasswords({u"wrong"}), 0);
  Drop(table);
}

TEST_F(ServerRootTableTest, ChangedPasswordOpensTheTableFromThenOn) {
  ASSERT_EQ(Build(u"secret", twoFileDictionary(), u"pw"), 0);
  TnxResult result = 0;
  TnxServerRootTable* table = Open(u"secret", result, {u"pw"});
  ASSERT_EQ(result, 0);
  {
    TnxOwned<PasswordChangeTransaction> trans(
        platform::create<PasswordChangeTransaction>(engine_->BufferManager()));
    ASSERT_EQ(table->srtChangePassword(trans.get(), u"new"), 0);
    trans->Commit();
  }
  Drop(table);
  ASSERT_EQ(folder_->sfCloseInactiveTables(), 0);
  EXPECT_EQ(Open(u"secret", result, {u"pw"}), nullptr);
  EXPECT_NE(result, 0);
  table = Open(u"secret", result, {u"new"});
  ASSERT_EQ(result, 0) << utf8(pendingMessage());
  EXPECT_EQ(utf8(table->ExtractPassword()), "new");
  Drop(table);
}

TEST_F(ServerRootTableTest, UnnamedTablesGetDistinctNames) {
  std::vector<std::string> names;
  for (int i = 0; i < 3; ++i) {
    folder_->LockTables();
    auto* table = platform::create<TnxServerRootTable>(folder_, u"", omReadWrite, smExclusive, tsTempUnnamed);
    names.push_back(utf8(table->RootName()));
    // Freed at once: the next one may take the same place in memory.
    platform::TObject::free(table);
    folder_->UnlockTables();
  }
  for (const std::string& name : names) EXPECT_EQ(name.rfind(" UnnamedTable_", 0), 0u) << name;
  EXPECT_NE(names[0], names[1]);
  EXPECT_NE(names[1], names[2]);
  EXPECT_NE(names[0], names[2]);
}

TEST_F(ServerRootTableTest, FileHeldByAnotherOpenGives10024WithTheTableName) {
  ASSERT_EQ(Build(u"qbnk", tableDictionary()), 0);
  platform::FileId held = -1;
  ASSERT_EQ(fx.Fs().open("/data/qbnk.nx1", {platform::FileAccess::readWrite, platform::FileShare::none, false, false},
                         held),
            0);
  TnxResult result = 0;
  EXPECT_EQ(Open(u"qbnk", result), nullptr);
  EXPECT_EQ(result, 10024);
  EXPECT_EQ(utf8(pendingMessage()), utf8(nxGetOrgPlaceholder()) + " Error opening files for root table \"qbnk\"");
  // The table object is gone from the folder; the file is untouched.
  EXPECT_EQ(folder_->OpenTableCount(), 0);
  fx.Fs().close(held);
  TnxServerRootTable* table = Open(u"qbnk", result);
  ASSERT_EQ(result, 0);
  Drop(table);
}

TEST_F(ServerRootTableTest, PersistentTableJoinsInactiveListAtItsLastCursor) {
  ASSERT_EQ(Build(u"t", tableDictionary()), 0);
  TnxResult result = 0;
  TnxServerRootTable* table = Open(u"t", result);
  ASSERT_EQ(result, 0);
  table->srtCursorOpened();
  table->srtCursorOpened();
  EXPECT_FALSE(table->srtIsInactive(true, true, 1));
  table->srtCursorClosed();
  EXPECT_FALSE(table->InInactiveList());
  table->srtCursorClosed();
  EXPECT_TRUE(table->InInactiveList());
  EXPECT_EQ(engine_->InactiveTableCount(), 1);
  table->srtCursorOpened();
  EXPECT_FALSE(table->InInactiveList());
  EXPECT_EQ(engine_->InactiveTableCount(), 0);
  table->srtCursorClosed();
  EXPECT_TRUE(table->srtIsInactive(false, false, 1));
  // Freed with the folder: it leaves the engine's list.
  Drop(table);
  platform::TObject::free(std::exchange(folder_, nullptr));
  EXPECT_EQ(engine_->InactiveTableCount(), 0);
  EXPECT_EQ(engine_->TableCount(), 0);
}

TEST_F(ServerRootTableTest, GlobalTemporaryTableStaysUnlessKeepInMemoryIsIgnored) {
  TnxServerFolder* memory = platform::create<TnxServerFolder>(engine_, u"#mem", false);
  ASSERT_EQ(Build(u"<g>", tableDictionary(), u"", tsTempGlobal, memory), 0) << utf8(pendingMessage());
  memory->LockTables();
  TnxServerRootTable* table = memory->sfFindTable(u"<g>");
  memory->UnlockTables();
  ASSERT_NE(table, nullptr);
  EXPECT_FALSE(table->srtIsInactive(false, false, 0));
  EXPECT_TRUE(table->srtIsInactive(true, false, 0));
  // The folder stays busy with it.
  memory->sfUpdateInactive();
  EXPECT_FALSE(memory->InInactiveList());
  EXPECT_EQ(memory->sfTableExists(u"<g>"), 0);
  EXPECT_EQ(memory->sfCloseInactiveTables(), 0);
  EXPECT_EQ(memory->sfFindTable(u"<g>"), table);
  EXPECT_EQ(memory->sfTableDelete(u"<g>", {}, false), 0);
  EXPECT_EQ(memory->sfTableExists(u"<g>"), 8712);
  platform::TObject::free(memory);
}

TEST_F(ServerRootTableTest, CrashAfterCommitsGivesNewEngineLsnsAboveEveryHeader) {
  for (const char16_t* name : {u"a", u"b", u"c"}) ASSERT_EQ(Build(name, tableDictionary(true, true)), 0);
  // The process dies with the folder open: "nxTrans.cfg" holds its start value.
  fx.Fs().crash();
  TnxLSN highest = 0;
  for (const char* path : {"/data/a.nx1", "/data/b.nx1", "/data/c.nx1"}) {
    std::vector<std::uint8_t> data;
    ASSERT_TRUE(fx.Fs().contents(path, data)) << path;
    ASSERT_GE(data.size(), 16u);
    TnxLSN lsn = 0;
    std::memcpy(&lsn, data.data() + 8, 8);
    highest = std::max(highest, lsn);
  }
  std::vector<std::uint8_t> config;
  ASSERT_TRUE(fx.Fs().contents("/data/nxTrans.cfg", config));
  TnxLSN stored = 0;
  std::memcpy(&stored, config.data(), 8);
  // Commits moved the headers past the stored value.
  ASSERT_GT(highest, stored);
  auto* second = fx.Engine<nxtest::TickingServerEngine>();
  second->SetMaxRAM(16);
  second->SetTempStoreSize(0);
  second->SetActive(true);
  TnxServerFolder* folder = platform::create<TnxServerFolder>(second, u"/data", false);
  EXPECT_FALSE(folder->ReadOnly());
  EXPECT_GT(second->BufferManager()->NextLSN(), highest);
  platform::TObject::free(folder);
}

}  // namespace
