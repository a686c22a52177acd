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
    TnxAbstractSession* session = nullptr;
    ASSERT_EQ(engine_->SessionOpen(session, u"user", u"pw", u"test", 0), 0);
    TnxAbstractDatabase* db = nullptr;
    ASSERT_EQ(session->DatabaseOpen(db, u"Path", u"/data/db", nullptr, omReadWrite, smShared, 0), 0);
    db_ = static_cast<TnxServerDatabase*>(db);
  }
  void TearDown() override { platform::TObject::free(db_); }
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

TEST_F(DatabaseTableLookupTest, CacheTableThroughPlainDatabase) {
  Build(u"qbnk", nxtest::tableDictionary());
  TnxServerBaseTable* table = nullptr;
  bool readOnly = false;
  EXPECT_EQ(db_->sdGetTable(table, u"qbnk", u"", false, readOnly, false, true), 9221);
  EXPECT_EQ(table, nullptr);
  EXPECT_EQ(platform::toUtf8(nxtest::pendingMessage()), "Table has conflicting cache mode");
}

}  // namespace
