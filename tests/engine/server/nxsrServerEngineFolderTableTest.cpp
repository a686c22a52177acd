#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nxsrServerEngineTableTestSupport.h"

namespace {

using nxtest::pendingMessage;
using nxtest::ServerTableTest;
using nxtest::tableDictionary;
using nxtest::twoFileDictionary;

std::string text(const nxString& aText) { return platform::toUtf8(aText); }

class FolderTableOpsTest : public ServerTableTest {
 protected:
  // Folder syncs a build of a two-file table takes, the last being its own.
  std::uint64_t syncsOfABuild() {
    const std::uint64_t before = fx.Fs().operationCount(platform::FaultFileSystem::Op::syncDirectory);
    EXPECT_EQ(Build(u"probe", twoFileDictionary()), 0);
    const std::uint64_t count = fx.Fs().operationCount(platform::FaultFileSystem::Op::syncDirectory) - before;
    EXPECT_EQ(folder_->sfTableDelete(u"probe", {}, false), 0);
    return count;
  }
};

TEST_F(FolderTableOpsTest, InMemoryFolderRefusesPersistentTablesAndListsOnlyOpenOnes) {
  TnxServerFolder* memory = platform::create<TnxServerFolder>(engine_, u"#mem", false);
  EXPECT_EQ(Build(u"T", tableDictionary(), u"", tsPersistent, memory), 12289);
  EXPECT_EQ(text(pendingMessage()), "TableScope tsPersistent is not supported for in-memory database");
  EXPECT_EQ(memory->sfTableExists(u"T"), 8712);
  ASSERT_EQ(Build(u"<g>", tableDictionary(true), u"", tsTempGlobal, memory), 0) << text(pendingMessage());
  ASSERT_EQ(Build(u"##d", tableDictionary(), u"", tsTempDatabase, memory), 0);
  platform::TStringList list;
  ASSERT_EQ(memory->sfTableGetList(list), 0);
  ASSERT_EQ(list.count(), 1);
  EXPECT_EQ(text(list.strings(0)), "<g>");
  // The dictionary of an unopened table of a memory folder is never found.
  TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
  EXPECT_EQ(memory->sfTableGetDictionary(u"T", {}, false, *dict), 10024);
  EXPECT_EQ(text(pendingMessage()), text(nxGetOrgPlaceholder()) + " Root table \"T\" not found");
  EXPECT_EQ(memory->sfTableGetDictionary(u"<g>", {}, false, *dict), 0);
  EXPECT_EQ(dict->FieldsDescriptor()->FieldCount(), 2);
  platform::TObject::free(memory);
  EXPECT_EQ(engine_->TableCount(), 0);
}

TEST_F(FolderTableOpsTest, BuildOverExistingTable) {
  ASSERT_EQ(Build(u"T", tableDictionary()), 0);
  const std::int32_t generation = folder_->StructureGeneration();
  EXPECT_EQ(Build(u"T", tableDictionary()), 13060);
  EXPECT_EQ(Build(u"t.x", tableDictionary()), 10039);
  EXPECT_EQ(Build(u"", tableDictionary()), 10039);
  // With overwrite a delete that fails leaves the table and answers 10763.
  TnxOwned<TnxServerDataDict> dict(tableDictionary(true));
  fx.Fs().failNext(platform::FaultFileSystem::Op::remove);
  EXPECT_EQ(folder_->sfTableBuild(true, u"T", u"", false, dict.get(), tsPersistent), 10763);
  EXPECT_TRUE(Exists("/data/T.nx1"));
  fx.Fs().clearFailures();
  EXPECT_EQ(folder_->sfTableBuild(true, u"T", u"", false, dict.get(), tsPersistent), 0);
  EXPECT_GT(folder_->StructureGeneration(), generation);
  TnxResult result = 0;
  TnxServerRootTable* table = Open(u"T", result);
  ASSERT_EQ(result, 0);
  EXPECT_NE(table->IndicesEngine(), nullptr);
  Drop(table);
}

TEST_F(FolderTableOpsTest, FailedBuildLeavesNoTableBehind) {
  // The second file cannot be created.
  fx.Fs().failNext(platform::FaultFileSystem::Op::open, 2);
  EXPECT_NE(Build(u"T", twoFileDictionary()), 0);
  fx.Fs().clearFailures();
  EXPECT_FALSE(Exists("/data/T.nx1"));
  EXPECT_FALSE(Exists("/data/T.blb"));
  EXPECT_EQ(folder_->OpenTableCount(), 0);
  EXPECT_EQ(engine_->TableCount(), 0);
  // A dictionary the engines refuse.
  TnxServerDataDict* bad = tableDictionary();
  bad->RecordDescriptor()->SetRecordEngine(u"NoSuchEngine");
  EXPECT_NE(Build(u"T", bad), 0);
  EXPECT_FALSE(Exists("/data/T.nx1"));
  EXPECT_EQ(Build(u"T", twoFileDictionary()), 0);
  EXPECT_TRUE(Exists("/data/T.blb"));
}

TEST_F(FolderTableOpsTest, BusyTableRefusesAndIdleOpenTableIsClosedFirst) {
  struct Case {
    const char* operation;
    TnxResult (*run)(TnxServerFolder*);
  } cases[] = {
      {"delete", [](TnxServerFolder* f) { return f->sfTableDelete(u"T", {}, false); }},
      {"empty", [](TnxServerFolder* f) { return f->sfTableEmpty(u"T", {}, false); }},
      {"build", [](TnxServerFolder* f) {
         TnxOwned<TnxServerDataDict> dict(tableDictionary());
         return f->sfTableBuild(true, u"T", u"", false, dict.get(), tsPersistent);
       }},
      {"rename", [](TnxServerFolder* f) { return f->sfTableRename(u"T", u"U", {}, false); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.operation);
    ASSERT_EQ(Build(u"T", tableDictionary()), 0);
    TnxResult result = 0;
    TnxServerRootTable* table = Open(u"T", result);
    ASSERT_EQ(result, 0);
    table->srtCursorOpened();
    Drop(table);
    EXPECT_EQ(c.run(folder_), 10031);
    EXPECT_EQ(folder_->sfFindTable(u"T"), table);
    table->srtCursorClosed();
    // Idle now: the operation closes it and goes on.
    EXPECT_EQ(c.run(folder_), 0) << text(pendingMessage());
    EXPECT_EQ(folder_->sfFindTable(u"T"), nullptr);
    folder_->sfTableDelete(u"T", {}, false);
    folder_->sfTableDelete(u"U", {}, false);
    EXPECT_FALSE(Exists("/data/T.nx1"));
  }
}

TEST_F(FolderTableOpsTest, EmptyRebuildsWithTheSameDictionaryAndPassword) {
  ASSERT_EQ(Build(u"T", tableDictionary(true), u"pw"), 0);
  EXPECT_NE(folder_->sfTableEmpty(u"T", {u"bad"}, false), 0);
  ASSERT_EQ(folder_->sfTableEmpty(u"T", {u"pw"}, false), 0) << text(pendingMessage());
  TnxResult result = 0;
  TnxServerRootTable* table = Open(u"T", result, {u"pw"});
  ASSERT_EQ(result, 0);
  EXPECT_EQ(text(table->Dictionary()->EncryptionEngine()), "nx1xDefault");
  EXPECT_NE(table->IndicesEngine(), nullptr);
  Drop(table);
}

TEST_F(FolderTableOpsTest, DeleteRemovesEveryFileOfTheTable) {
  ASSERT_EQ(Build(u"T", twoFileDictionary()), 0) << text(pendingMessage());
  EXPECT_TRUE(Exists("/data/T.nx1"));
  EXPECT_TRUE(Exists("/data/T.blb"));
  EXPECT_EQ(folder_->sfTableDelete(u"T", {}, false), 0);
  EXPECT_FALSE(Exists("/data/T.nx1"));
  EXPECT_FALSE(Exists("/data/T.blb"));
  EXPECT_EQ(folder_->sfTableDelete(u"T", {}, false), 10024);
  EXPECT_EQ(folder_->sfTableDelete(u"", {}, false), 10039);
}

TEST_F(FolderTableOpsTest, DeleteOfDamagedTableRemovesItsMainFileOnly) {
  ASSERT_EQ(Build(u"bad", tableDictionary()), 0);
  std::vector<std::uint8_t> data;
  ASSERT_TRUE(fx.Fs().contents("/data/bad.nx1", data));
  // The blocks after the header hold the dictionary stream.
  for (std::size_t at : {std::size_t{4096}, std::size_t{8192}, std::size_t{12288}})
    for (std::size_t i = at; i < at + 64 && i < data.size(); ++i) data[i] ^= 0xFF;
  fx.Fs().putFile("/data/bad.nx1", data);
  TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
  const TnxResult damaged = folder_->sfTableGetDictionary(u"bad", {}, false, *dict);
  EXPECT_TRUE(damaged >= 8960 && damaged <= 9215) << damaged;
  EXPECT_EQ(folder_->sfTableDelete(u"bad", {}, false), 0);
  EXPECT_FALSE(Exists("/data/bad.nx1"));
}

TEST_F(FolderTableOpsTest, DeleteThatCannotReadTheDictionaryDeletesNothing) {
  ASSERT_EQ(Build(u"S", twoFileDictionary(), u"pw"), 0);
  // A wrong password.
  const TnxResult wrong = folder_->sfTableDelete(u"S", {u"wrong"}, false);
  EXPECT_NE(wrong, 0);
  EXPECT_FALSE(wrong >= 8960 && wrong <= 9215) << wrong;
  EXPECT_TRUE(Exists("/data/S.nx1"));
  EXPECT_TRUE(Exists("/data/S.blb"));
  // A read failure of the disk.
  fx.Fs().failNext(platform::FaultFileSystem::Op::read);
  EXPECT_NE(folder_->sfTableDelete(u"S", {u"pw"}, false), 0);
  fx.Fs().clearFailures();
  EXPECT_TRUE(Exists("/data/S.nx1"));
  EXPECT_TRUE(Exists("/data/S.blb"));
  EXPECT_EQ(folder_->sfTableDelete(u"S", {u"pw"}, false), 0);
  EXPECT_FALSE(Exists("/data/S.nx1"));
  EXPECT_FALSE(Exists("/data/S.blb"));
}

TEST_F(FolderTableOpsTest, RenameMovesEveryFileOrNone) {
  ASSERT_EQ(Build(u"T", twoFileDictionary()), 0);
  // The second file cannot move: both stay under the old name.
  fx.Fs().failNext(platform::FaultFileSystem::Op::rename, 2);
  EXPECT_NE(folder_->sfTableRename(u"T", u"U", {}, false), 0);
  EXPECT_TRUE(Exists("/data/T.nx1"));
  EXPECT_TRUE(Exists("/data/T.blb"));
  EXPECT_FALSE(Exists("/data/U.nx1"));
  EXPECT_FALSE(Exists("/data/U.blb"));
  fx.Fs().clearFailures();
  // A file in the way of the second move is never replaced.
  fx.Fs().putFile("/data/U.blb", {1, 2, 3});
  EXPECT_EQ(folder_->sfTableRename(u"T", u"U", {}, false), 15394);
  std::vector<std::uint8_t> data;
  ASSERT_TRUE(fx.Fs().contents("/data/U.blb", data));
  EXPECT_EQ(data, (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_TRUE(Exists("/data/T.nx1"));
  fx.Fs().remove("/data/U.blb");
  // An existing table of the new name.
  ASSERT_EQ(Build(u"V", tableDictionary()), 0);
  EXPECT_EQ(folder_->sfTableRename(u"T", u"V", {}, false), 13060);
  EXPECT_EQ(folder_->sfTableRename(u"T", u"a:b", {}, false), 10039);
  ASSERT_EQ(folder_->sfTableRename(u"T", u"U", {}, false), 0);
  EXPECT_TRUE(Exists("/data/U.nx1"));
  EXPECT_TRUE(Exists("/data/U.blb"));
  TnxResult result = 0;
  TnxServerRootTable* table = Open(u"U", result);
  ASSERT_EQ(result, 0) << text(pendingMessage());
  Drop(table);
}

TEST_F(FolderTableOpsTest, RenameAndDeleteThatReportedSuccessSurviveACrash) {
  ASSERT_EQ(Build(u"T", twoFileDictionary()), 0);
  ASSERT_EQ(Build(u"S", twoFileDictionary()), 0);
  // What a crash leaves of the table's files before the rename.
  std::vector<std::uint8_t> main, blobs;
  ASSERT_TRUE(fx.Fs().durableContents("/data/T.nx1", main));
  ASSERT_TRUE(fx.Fs().durableContents("/data/T.blb", blobs));
  ASSERT_EQ(folder_->sfTableRename(u"T", u"U", {}, false), 0) << text(pendingMessage());
  ASSERT_EQ(folder_->sfTableDelete(u"S", {}, false), 0) << text(pendingMessage());
  fx.Fs().crash();
  for (const char* gone : {"/data/T.nx1", "/data/T.blb", "/data/S.nx1", "/data/S.blb"})
    EXPECT_FALSE(Exists(gone)) << gone;
  std::vector<std::uint8_t> data;
  ASSERT_TRUE(fx.Fs().contents("/data/U.nx1", data));
  EXPECT_EQ(data, main);
  ASSERT_TRUE(fx.Fs().contents("/data/U.blb", data));
  EXPECT_EQ(data, blobs);
}

// A folder sync that fails makes the operation fail, never report success
// over names a crash may undo.
TEST_F(FolderTableOpsTest, AFailedFolderSyncFailsTheOperation) {
  ASSERT_EQ(Build(u"T", twoFileDictionary()), 0);
  // Build: the new table's files go.
  fx.Fs().failNext(platform::FaultFileSystem::Op::syncDirectory,
                   static_cast<int>(syncsOfABuild()));
  EXPECT_EQ(Build(u"B", twoFileDictionary()), 9218);
  fx.Fs().clearFailures();
  EXPECT_NE(text(pendingMessage()).find("SyncFolder (\"/data\")"), std::string::npos) << text(pendingMessage());
  EXPECT_FALSE(Exists("/data/B.nx1"));
  EXPECT_FALSE(Exists("/data/B.blb"));
  // Rename: every file moves back.
  fx.Fs().failNext(platform::FaultFileSystem::Op::syncDirectory);
  EXPECT_EQ(folder_->sfTableRename(u"T", u"U", {}, false), 15394);
  fx.Fs().clearFailures();
  EXPECT_TRUE(Exists("/data/T.nx1"));
  EXPECT_TRUE(Exists("/data/T.blb"));
  EXPECT_FALSE(Exists("/data/U.nx1"));
  EXPECT_FALSE(Exists("/data/U.blb"));
  // Delete.
  fx.Fs().failNext(platform::FaultFileSystem::Op::syncDirectory);
  EXPECT_EQ(folder_->sfTableDelete(u"T", {}, false), 15393);
  fx.Fs().clearFailures();
}

TEST_F(FolderTableOpsTest, RenamingAnOpenTemporaryTableRenamesItInMemory) {
  TnxServerFolder* memory = platform::create<TnxServerFolder>(engine_, u"#mem", false);
  ASSERT_EQ(Build(u"<a>", tableDictionary(), u"", tsTempGlobal, memory), 0);
  EXPECT_EQ(memory->sfTableRename(u"<a>", u"<b>", {}, false), 0);
  memory->LockTables();
  TnxServerRootTable* table = memory->sfFindTable(u"<b>");
  EXPECT_EQ(memory->sfFindTable(u"<a>"), nullptr);
  memory->UnlockTables();
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(text(table->Name()), "<b>");
  EXPECT_EQ(text(table->Dictionary()->BaseName()), "<b>");
  platform::TObject::free(memory);
}

TEST_F(FolderTableOpsTest, DictionaryOfAnUnopenedTable) {
  ASSERT_EQ(Build(u"T", tableDictionary(false, false, {u"child"}), u"pw"), 0);
  TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
  nxString password;
  bool isLink = true;
  ASSERT_EQ(folder_->sfTableGetDictionary(u"t", {u"pw"}, false, *dict, &isLink, &password), 0);
  EXPECT_EQ(text(password), "pw");
  EXPECT_FALSE(isLink);
  EXPECT_EQ(dict->TablesDescriptor()->TableCount(), 1);
  // Nothing stays open for it.
  EXPECT_EQ(folder_->OpenTableCount(), 0);
  EXPECT_NE(folder_->sfTableGetDictionary(u"T", {u"no"}, false, *dict), 0);
  EXPECT_EQ(dict->FieldsDescriptor()->FieldCount(), 0);
  EXPECT_EQ(folder_->sfTableGetDictionary(u"missing", {}, false, *dict), 10024);
  EXPECT_EQ(text(pendingMessage()), text(nxGetOrgPlaceholder()) + " Root table \"missing\" not found");
  EXPECT_EQ(folder_->sfTableGetDictionary(u"a*b", {}, false, *dict), 10039);
}

TEST_F(FolderTableOpsTest, FolderIsInactiveOnlyWhileItsOpenTablesAre) {
  ASSERT_EQ(Build(u"T", tableDictionary()), 0);
  TnxResult result = 0;
  TnxServerRootTable* table = Open(u"T", result);
  ASSERT_EQ(result, 0);
  Drop(table);
  table->srtCursorOpened();
  EXPECT_FALSE(folder_->sfIsInactive(false, false));
  folder_->sfUpdateInactive();
  EXPECT_FALSE(folder_->InInactiveList());
  EXPECT_EQ(engine_->seCloseInactiveFolders(), 0);
  EXPECT_EQ(engine_->FindFolder(u"/data"), folder_);
  table->srtCursorClosed();
  EXPECT_TRUE(folder_->sfIsInactive(false, false));
  folder_->sfUpdateInactive();
  EXPECT_TRUE(folder_->InInactiveList());
  // Freeing the idle folder closes its table.
  EXPECT_EQ(engine_->seCloseInactiveFolders(), 0);
  EXPECT_EQ(engine_->FindFolder(u"/data"), nullptr);
  folder_ = nullptr;
  EXPECT_EQ(engine_->TableCount(), 0);
  EXPECT_EQ(engine_->InactiveTableCount(), 0);
}

TEST_F(FolderTableOpsTest, ReadOnlyFolderRefusesChanges) {
  platform::FileId held = -1;
  fx.Fs().makeDirectory("/data/ro");
  fx.Fs().putFile("/data/ro/nxTrans.cfg", std::vector<std::uint8_t>(8, 0));
  ASSERT_EQ(fx.Fs().open("/data/ro/nxTrans.cfg",
                         {platform::FileAccess::readWrite, platform::FileShare::none, false, false}, held),
            0);
  TnxServerFolder* readOnly = platform::create<TnxServerFolder>(engine_, u"/data/ro", false);
  ASSERT_TRUE(readOnly->ReadOnly());
  EXPECT_EQ(Build(u"T", tableDictionary(), u"", tsPersistent, readOnly), 10501);
  EXPECT_EQ(Build(u"<g>", tableDictionary(), u"", tsTempGlobal, readOnly), 10501);
  EXPECT_EQ(readOnly->sfTableDelete(u"T", {}, false), 10501);
  EXPECT_EQ(readOnly->sfTableEmpty(u"T", {}, false), 10501);
  EXPECT_EQ(readOnly->sfTableRename(u"T", u"U", {}, false), 10501);
  platform::TObject::free(readOnly);
  fx.Fs().close(held);
}

}  // namespace
