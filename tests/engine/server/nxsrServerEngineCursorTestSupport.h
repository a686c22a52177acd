// Test support of the table cursors: a started engine with sessions on one
// folder ("/data/db" on the fault file system, or an in-memory folder), and
// cursors opened through the database's public CursorOpen.
#pragma once

#include <gtest/gtest.h>

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

}  // namespace nxtest
