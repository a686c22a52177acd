#include <gtest/gtest.h>

#include "nxsrServerEngineTableTestSupport.h"
#include "plString.h"

namespace {

using nxtest::ServerEngineFixture;

// One database on "/data/db" with tables built in its folder.
class DatabaseTableLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = fixture_.Started();
    fixture_.Fs().makeDirectory("/data/db");
    OpenDatabase();
  }
  void OpenDatabase() {
    TnxAbstractSession* session = nullptr;
    ASSERT_EQ(engine_->SessionOpen(session, u"user", u"pw", u"test", 0), 0);
    TnxAbstractDatabase* db = nullptr;
    ASSERT_EQ(session->DatabaseOpen(db, u"Path", u"/data/db", nullptr, omReadWrite, smShared, 0), 0);
    db_ = static_cast<TnxServerDatabase*>(db);
  }
  void TearDown() override { platform::TObject::free(db_); }
  // The engine restarted with aOptions, and the database opened again.
  void Restart(TnxServerEngineOptions aOptions) {
    platform::TObject::free(std::exchange(db_, nullptr));
    engine_->SetActive(false);
    engine_->SetOptions(aOptions);
    engine_->SetActive(true);
    OpenDatabase();
  }
  void Build(const nxString& aName, TnxServerDataDict* aDict) {
    TnxOwned<TnxServerDataDict> dict(aDict);
    ASSERT_EQ(db_->Folder()->sfTableBuild(false, aName, u"", false, dict.get(), tsPersistent), 0);
    ASSERT_EQ(db_->Folder()->sfCloseInactiveTables(), 0);
  }
  TnxResult Get(const nxString& aName, TnxServerBaseTable*& aTable, bool& aReadOnly) {
    return db_->sdGetTable(aTable, aName, u"", false, aReadOnly, false, false);
  }

  ServerEngineFixture fixture_;
  TnxServerEngine* engine_ = nullptr;
  TnxServerDatabase* db_ = nullptr;
};

TEST_F(DatabaseTableLookupTest, NestedNameOpensTheRootOnce) {
  Build(u"qbnk", nxtest::tableDictionary(false, false, {u"qzrecord"}));
  ASSERT_EQ(db_->Folder()->OpenTableCount(), 0);
  TnxServerBaseTable* child = nullptr;
  bool readOnly = true;
  ASSERT_EQ(Get(u"qbnk:qzrecord", child, readOnly), 0);
  ASSERT_NE(child, nullptr);
  EXPECT_FALSE(readOnly);
  EXPECT_EQ(platform::toUtf8(child->FullName()), "qbnk:qzrecord");
  EXPECT_EQ(db_->Folder()->OpenTableCount(), 1);
  TnxServerBaseTable* root = nullptr;
  ASSERT_EQ(Get(u"QBNK", root, readOnly), 0);
  EXPECT_EQ(root, db_->Folder()->sfFindTable(u"qbnk"));
  EXPECT_EQ(db_->Folder()->OpenTableCount(), 1);
}

TEST_F(DatabaseTableLookupTest, FileWithoutWritePermissionOpensReadOnly) {
  Build(u"qbnk", nxtest::tableDictionary());
  fixture_.Fs().setReadOnly("/data/db/qbnk.nx1", true);
  TnxServerBaseTable* table = nullptr;
  bool readOnly = false;
  ASSERT_EQ(Get(u"qbnk", table, readOnly), 0);
  EXPECT_TRUE(readOnly);
  EXPECT_EQ(static_cast<TnxServerRootTable*>(table)->OpenMode(), omReadOnly);
}

TEST_F(DatabaseTableLookupTest, FileHeldWithReadSharingReopensReadOnlyShared) {
  Build(u"qbnk", nxtest::tableDictionary());
  platform::FileOpenOptions reader;
  reader.access = platform::FileAccess::read;
  reader.share = platform::FileShare::read;
  platform::FileId held = -1;
  ASSERT_EQ(fixture_.Fs().open("/data/db/qbnk.nx1", reader, held), 0);
  TnxServerBaseTable* table = nullptr;
  bool readOnly = false;
  ASSERT_EQ(Get(u"qbnk", table, readOnly), 0) << platform::toUtf8(nxtest::pendingMessage());
  EXPECT_TRUE(readOnly);
  auto* root = static_cast<TnxServerRootTable*>(table);
  EXPECT_EQ(root->OpenMode(), omReadOnly);
  EXPECT_EQ(root->ShareMode(), smShareRead);
  EXPECT_EQ(fixture_.Fs().close(held), 0);
}

TEST_F(DatabaseTableLookupTest, StoredNameMismatchIsRefusedAndTheRootFreed) {
  Build(u"other", nxtest::tableDictionary());
  ASSERT_EQ(fixture_.Fs().rename("/data/db/other.nx1", "/data/db/qbnk.nx1"), 0);
  TnxServerBaseTable* table = nullptr;
  bool readOnly = false;
  // Without the option the stored name is not read.
  ASSERT_EQ(Get(u"qbnk", table, readOnly), 0);
  TnxServerEngineOptions options = engine_->Options();
  options.include(seoVerifyTableNames);
  Restart(options);
  ASSERT_EQ(db_->Folder()->OpenTableCount(), 0);
  EXPECT_EQ(Get(u"qbnk", table, readOnly), 10039);
  EXPECT_EQ(table, nullptr);
  EXPECT_EQ(platform::toUtf8(nxtest::pendingMessage()),
            "Table file name (\"qbnk\") does not match actual table name (\"other\")");
  EXPECT_EQ(db_->Folder()->OpenTableCount(), 0);
  // Internal lookups and matching names pass.
  EXPECT_EQ(db_->sdGetTable(table, u"qbnk", u"", false, readOnly, true, false), 0);
  ASSERT_EQ(db_->Folder()->sfCloseInactiveTables(), 0);
  Build(u"named", nxtest::tableDictionary());
  EXPECT_EQ(Get(u"NAMED", table, readOnly), 0);
}

TEST_F(DatabaseTableLookupTest, DatabaseMapIsAskedBeforeTheFolder) {
  Build(u"qbnk", nxtest::tableDictionary());
  // A table of this database only, mapped under the folder table's name.
  TnxOwned<TnxServerDataDict> dict(nxtest::tableDictionary(true));
  TnxServerRootTable* own = nullptr;
  ASSERT_EQ(db_->Folder()->sfTableCreate(u"", u"", false, dict.get(), tsTempUnnamed, own), 0);
  db_->Tables()->LockMappings().addObject(u"qbnk", own);
  db_->Tables()->UnlockMappings();
  TnxServerBaseTable* table = nullptr;
  bool readOnly = true;
  ASSERT_EQ(Get(u"QBNK", table, readOnly), 0);
  EXPECT_EQ(table, own);
  EXPECT_FALSE(readOnly);
  EXPECT_TRUE(db_->Tables()->IsMapped(u"Qbnk"));
  // The folder's file was not opened.
  EXPECT_EQ(db_->Folder()->OpenTableCount(), 1);
}

TEST_F(DatabaseTableLookupTest, CacheTableThroughPlainDatabase) {
  Build(u"qbnk", nxtest::tableDictionary());
  TnxServerBaseTable* table = nullptr;
  bool readOnly = false;
  EXPECT_EQ(db_->sdGetTable(table, u"qbnk", u"", false, readOnly, false, true), 9221);
  EXPECT_EQ(table, nullptr);
  EXPECT_EQ(platform::toUtf8(nxtest::pendingMessage()), "Table has conflicting cache mode");
}

}  // namespace
