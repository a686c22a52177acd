#include <gtest/gtest.h>

#include "nxsrServerEngineTableTestSupport.h"

namespace {

using nxtest::ServerTableTest;
using nxtest::tableDictionary;

TEST_F(ServerTableTest, BuiltTableHasItsFilesAndOpensWithItsTree) {
  ASSERT_EQ(Build(u"qbnk", tableDictionary(true, true, {u"qzrecord", u"other"})), 0) << platform::toUtf8(nxtest::pendingMessage());
  EXPECT_TRUE(Exists("/data/qbnk.nx1"));
  // A persistent table is closed once built.
  EXPECT_EQ(folder_->OpenTableCount(), 0);
  TnxResult result = 0;
  TnxServerRootTable* table = Open(u"qbnk", result);
  ASSERT_EQ(result, 0) << platform::toUtf8(nxtest::pendingMessage());
  EXPECT_EQ(table->ChildCount(), 2);
  EXPECT_NE(table->RecordEngine(), nullptr);
  EXPECT_NE(table->IndicesEngine(), nullptr);
  EXPECT_NE(table->BlobEngine(), nullptr);
  Drop(table);
}

}  // namespace
