#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <utility>
#include <string>
#include <vector>

#include "nxFakeServerEngine.h"
#include "nxTestWatchdog.h"
#include "nxsrServerEngineTableTestSupport.h"
#include "plString.h"

namespace {

using nxtest::ServerEngineFixture;
using platform::toUtf8;

// A cursor source that records the names it is asked for and answers a
// cursor for the tables of its own (fake) engine.
class RecordingCursorSource : public TnxInterfacedObject, public InxServerDatabaseCursorSource {
 public:
  RecordingCursorSource(TnxAbstractDatabase* aOwnDatabase, bool* aGone)
      : ownDatabase_(aOwnDatabase), gone_(aGone) {}
  ~RecordingCursorSource() override {
    if (gone_) *gone_ = true;
  }
  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override {
    if (aIID == InxServerDatabaseCursorSource::IID || aIID == InxDatabaseCursorSource::IID) {
      *aObj = static_cast<InxServerDatabaseCursorSource*>(this);
      AddRef();
      return nxS_OK;
    }
    return TnxInterfacedObject::QueryInterface(aIID, aObj);
  }
  std::int32_t AddRef() override { return TnxInterfacedObject::AddRef(); }
  std::int32_t Release() override { return TnxInterfacedObject::Release(); }

  TnxResult CursorOpen(TnxServerDatabase* aDatabase, TnxAbstractCursor*& aCursor, const nxString& aTableName,
                       const nxString&, TnxOpenMode aOpenMode, TnxShareMode aShareMode, std::uint32_t aTimeout,
                       const nxString& aIndexName, std::int32_t aIndexID) override {
    asked.push_back(toUtf8(aTableName));
    askedBy = aDatabase;
    if (!ownDatabase_) return 10024;
    return ownDatabase_->CursorOpen(aCursor, aTableName, u"", aOpenMode, aShareMode, aTimeout, aIndexName, aIndexID,
                                    false, {}, 500, nullptr);
  }

  std::vector<std::string> asked;
  TnxServerDatabase* askedBy = nullptr;

 private:
  TnxAbstractDatabase* ownDatabase_;
  bool* gone_;
};

// A source that does not offer the server's open operation.
class ForeignCursorSource : public TnxInterfacedObject, public InxDatabaseCursorSource {
 public:
  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override {
    return TnxInterfacedObject::QueryInterface(aIID, aObj);
  }
  std::int32_t AddRef() override { return TnxInterfacedObject::AddRef(); }
  std::int32_t Release() override { return TnxInterfacedObject::Release(); }
};

// An engine, one session and one database on "/data/db".
class DatabaseServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = fixture_.Started();
    fixture_.Fs().makeDirectory("/data/db");
    TnxAbstractSession* session = nullptr;
    ASSERT_EQ(engine_->SessionOpen(session, u"user", u"pw", u"test", 0), 0);
    session_ = static_cast<TnxServerSession*>(session);
    TnxAbstractDatabase* db = nullptr;
    ASSERT_EQ(session_->DatabaseOpen(db, u"Path", u"/data/db", nullptr, omReadWrite, smShared, 0), 0);
    db_ = static_cast<TnxServerDatabase*>(db);
  }
  void TearDown() override {
    if (db_) platform::TObject::free(db_);
  }
  // The public open, which offers a name the folder lacks to the sources.
  TnxResult OpenCursor(const nxString& aName, TnxAbstractCursor*& aCursor) {
    return db_->CursorOpen(aCursor, aName, u"", omReadOnly, smShared, 0, u"", -1, false, {}, 500, nullptr);
  }

  ServerEngineFixture fixture_;
  TnxServerEngine* engine_ = nullptr;
  TnxServerSession* session_ = nullptr;
  TnxServerDatabase* db_ = nullptr;
};

// A fake engine with a table "ghost" in "/src", opened as a database: the
// cursors the answering source hands out.
class GhostTables {
 public:
  GhostTables() {
    engine_ = platform::create<TnxFakeServerEngine>();
    TnxOwned<TnxServerDataDict> dict(nxtest::tableDictionary());
    engine_->feStore.AddTable(u"/src", u"ghost", *dict);
    EXPECT_EQ(engine_->SessionOpen(session_, u"source", u"pw", u"test", 0), 0);
    EXPECT_EQ(session_->DatabaseOpen(database_, u"Path", u"/src", nullptr, omReadWrite, smShared, 0), 0);
  }
  ~GhostTables() {
    TnxAbstractServerObject::Free(session_);
    platform::TObject::free(engine_);
  }
  GhostTables(const GhostTables&) = delete;
  GhostTables& operator=(const GhostTables&) = delete;
  TnxAbstractDatabase* Database() const { return database_; }

 private:
  TnxFakeServerEngine* engine_ = nullptr;
  TnxAbstractSession* session_ = nullptr;
  TnxAbstractDatabase* database_ = nullptr;
};

TEST_F(DatabaseServicesTest, CursorSourcesAnswerNamesTheFolderLacksInOrderUntilUnregistered) {
  GhostTables ghosts;
  TnxIntfPtr<RecordingCursorSource> silent(platform::create<RecordingCursorSource>(nullptr, nullptr));
  TnxIntfPtr<RecordingCursorSource> answering(platform::create<RecordingCursorSource>(ghosts.Database(), nullptr));
  TnxIntfPtr<InxDatabaseCursorSourceControl> silentControl, answeringControl;
  ASSERT_EQ(db_->RegisterCursorSource(silent.get(), silentControl), 0);
  ASSERT_EQ(db_->RegisterCursorSource(answering.get(), answeringControl), 0);
  ASSERT_TRUE(silentControl);
  EXPECT_EQ(db_->CursorSourceCount(), 2);

  // The folder lacks the table; the sources are asked in order of registration.
  TnxServerBaseTable* table = nullptr;
  bool readOnly = false;
  EXPECT_EQ(db_->sdGetTable(table, u"ghost", u"", false, readOnly, false, false), 10024);
  TnxAbstractCursor* cursor = nullptr;
  ASSERT_EQ(OpenCursor(u"ghost", cursor), 0);
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(cursor->Database(), ghosts.Database());
  platform::TObject::free(cursor);
  EXPECT_EQ(silent->asked, std::vector<std::string>{"ghost"});
  EXPECT_EQ(answering->asked, std::vector<std::string>{"ghost"});
  EXPECT_EQ(silent->askedBy, db_);
  // Nobody answers: the folder's failure comes back.
  EXPECT_EQ(OpenCursor(u"nowhere", cursor), 10024);
  EXPECT_EQ(cursor, nullptr);
  EXPECT_EQ(silent->asked, (std::vector<std::string>{"ghost", "nowhere"}));

  // After Unregister the source is asked no more; a second Unregister does nothing.
  auto* control = static_cast<InxServerDatabaseCursorSourceControl*>(silentControl.get());
  EXPECT_EQ(control->Unregister(), 0);
  EXPECT_EQ(control->Unregister(), 0);
  EXPECT_EQ(db_->CursorSourceCount(), 1);
  ASSERT_EQ(OpenCursor(u"ghost", cursor), 0);
  platform::TObject::free(cursor);
  EXPECT_EQ(silent->asked.size(), 2u);
  EXPECT_EQ(answering->asked.size(), 3u);

  // Releasing the control unregisters too.
  answeringControl.reset();
  EXPECT_EQ(db_->CursorSourceCount(), 0);
  EXPECT_EQ(OpenCursor(u"ghost", cursor), 10024);
  EXPECT_EQ(cursor, nullptr);
  EXPECT_EQ(answering->asked.size(), 3u);
  EXPECT_EQ(db_->CursorCount(), 0);
}

TEST_F(DatabaseServicesTest, CursorSourcesEndWithTheDatabase) {
  bool gone = false;
  TnxIntfPtr<InxDatabaseCursorSourceControl> control;
  {
    TnxIntfPtr<RecordingCursorSource> source(platform::create<RecordingCursorSource>(nullptr, &gone));
    ASSERT_EQ(db_->RegisterCursorSource(source.get(), control), 0);
  }
  EXPECT_FALSE(gone);  // the registration holds the source
  platform::TObject::free(std::exchange(db_, nullptr));
  EXPECT_TRUE(gone);
  EXPECT_EQ(static_cast<InxServerDatabaseCursorSourceControl*>(control.get())->Unregister(), 0);
}

TEST_F(DatabaseServicesTest, SourceWithoutTheOpenOperationIsRefused) {
  TnxIntfPtr<ForeignCursorSource> foreign(platform::create<ForeignCursorSource>());
  TnxIntfPtr<InxDatabaseCursorSourceControl> control;
  EXPECT_EQ(db_->RegisterCursorSource(foreign.get(), control), 12289);
  EXPECT_EQ(db_->RegisterCursorSource(nullptr, control), 12289);
  EXPECT_FALSE(control);
  EXPECT_EQ(db_->CursorSourceCount(), 0);
}

TEST_F(DatabaseServicesTest, ChangedTablesTwiceWithoutChangesReportNothingTheSecondTime) {
  TnxOwned<platform::TStringList> tables(platform::create<platform::TStringList>());
  ASSERT_EQ(db_->GetChangedTables(*tables), 0);
  ASSERT_EQ(db_->GetChangedTables(*tables), 0);
  EXPECT_EQ(tables->count(), 0);
  EXPECT_EQ(db_->LastCheckLSN(), engine_->BufferManager()->CurrentLSN());
  // Inside a transaction the check stops just before the transaction's LSN.
  ASSERT_EQ(db_->TransactionStart(false, false), 0);
  auto* context = static_cast<TnxServerTransContext*>(db_->TransContext());
  ASSERT_NE(context->Transaction(), nullptr);
  ASSERT_EQ(db_->GetChangedTables(*tables), 0);
  EXPECT_EQ(db_->LastCheckLSN(), context->Transaction()->btLSN - 1);
  EXPECT_EQ(tables->count(), 0);
  ASSERT_EQ(db_->TransactionRollback(), 0);
}

TEST_F(DatabaseServicesTest, ChangedTablesNameEachChangedTableOfTheCursorsOnce) {
  TnxServerFolder* folder = db_->Folder();
  for (const char16_t* name : {u"counted", u"quiet"}) {
    TnxOwned<TnxServerDataDict> dict(nxtest::tableDictionary(true));
    dict->AddAutoIncDescriptor();
    ASSERT_EQ(folder->sfTableBuild(false, name, u"", false, dict.get(), tsPersistent), 0);
  }
  std::vector<TnxAbstractCursor*> cursors;
  for (const char16_t* name : {u"counted", u"quiet", u"counted"}) {
    TnxAbstractCursor* cursor = nullptr;
    ASSERT_EQ(db_->CursorOpen(cursor, name, u"", omReadWrite, smShared, 0, u"", -1, false, {}, 500, nullptr), 0)
        << toUtf8(nxtest::pendingMessage());
    cursors.push_back(cursor);
  }
  TnxOwned<platform::TStringList> tables(platform::create<platform::TStringList>());
  ASSERT_EQ(db_->GetChangedTables(*tables), 0);
  tables->clear();
  // A committed change of "counted" (its auto-increment value) through the first cursor.
  ASSERT_EQ(static_cast<TnxServerTableCursor*>(cursors[0])->AutoIncSet(7), 0);
  ASSERT_EQ(db_->GetChangedTables(*tables), 0);
  ASSERT_EQ(tables->count(), 1);
  EXPECT_EQ(toUtf8(tables->strings(0)), "counted");
  tables->clear();
  ASSERT_EQ(db_->GetChangedTables(*tables), 0);
  EXPECT_EQ(tables->count(), 0);
  for (TnxAbstractCursor* cursor : cursors) TnxAbstractServerObject::Free(cursor);
}

TEST_F(DatabaseServicesTest, StructureGenerationRisesWhenTheFolderTablesChangeElsewhere) {
  TnxServerFolder* folder = db_->Folder();
  std::int32_t last = db_->StructureGeneration();
  EXPECT_EQ(db_->StructureGeneration(), last);
  const std::vector<std::pair<const char*, std::function<TnxResult()>>> changes = {
      {"built",
       [&] {
         TnxOwned<TnxServerDataDict> dict(nxtest::tableDictionary());
         return folder->sfTableBuild(false, u"t", u"", false, dict.get(), tsPersistent);
       }},
      {"renamed", [&] { return folder->sfTableRename(u"t", u"u", {}, false); }},
      {"deleted", [&] { return folder->sfTableDelete(u"u", {}, false); }},
  };
  for (const auto& [what, change] : changes) {
    ASSERT_EQ(change(), 0) << what << ": " << toUtf8(nxtest::pendingMessage());
    EXPECT_EQ(db_->StructureGeneration(), last + 1) << what;
    EXPECT_EQ(db_->StructureGeneration(), last + 1) << what;  // seen once
    last = db_->StructureGeneration();
  }
}

TEST_F(DatabaseServicesTest, DebugInfoNamesAliasFolderAndModes) {
  auto container = nxCreateExceptionDataContainer(u"ExceptionData", db_, {});
  db_->AddDebugInfo(container, false);
  const std::string text = toUtf8(container->ToString());
  for (const char* part : {"Alias", "Folder: /data/db/", "OpenMode: omReadWrite", "ShareMode: smShared", "Timeout"})
    EXPECT_NE(text.find(part), std::string::npos) << part << " in " << text;
}

TEST_F(DatabaseServicesTest, CreateInstanceForTheFolderAndTheDatabaseItself) {
  const platform::Guid iid = InxAbstractServerObject41100::IID;
  auto self = [](TnxAbstractServerObject* aObject) {
    return static_cast<void*>(static_cast<InxAbstractServerObject41100*>(aObject));
  };
  struct Case {
    const char16_t* name;
    platform::Guid classID;
    std::int32_t result;
    void* expected;
  } cases[] = {
      {u"<Folder>", nxServerObjectSelfClassID, nxS_OK, self(db_->Folder())},
      {u"<folder>.<Self>", nxServerObjectSelfClassID, nxS_OK, self(db_->Folder())},
      {u"<FOLDER>", nxServerDatabaseSelfClassID, nxE_NOINTERFACE, nullptr},
      {u"<Self>", nxServerObjectSelfClassID, nxS_OK, self(db_)},
      {u"<Self>", nxServerDatabaseSelfClassID, nxS_OK, self(db_)},
      {u"<Database>", nxServerDatabaseSelfClassID, nxS_OK, self(db_)},
  };
  for (const Case& c : cases) {
    void* intf = reinterpret_cast<void*>(1);
    EXPECT_EQ(db_->CreateInstanceFor(c.name, c.classID, nullptr, iid, &intf), c.result) << toUtf8(c.name);
    EXPECT_EQ(intf, c.expected) << toUtf8(c.name);
    if (intf) static_cast<InxInterface*>(intf)->Release();
  }
  // The database's own class id answers only interfaces the database has.
  void* intf = nullptr;
  EXPECT_EQ(db_->CreateInstanceFor(u"<Self>", nxServerDatabaseSelfClassID, nullptr, InxTableMapper::IID, &intf),
            nxE_NOINTERFACE);
  EXPECT_EQ(intf, nullptr);
}

TEST_F(DatabaseServicesTest, LockTablesHoldsTheFolderTablesAgainstOtherThreads) {
  nxtest::Watchdog watchdog;
  TnxPadlock* padlock = db_->Folder()->TablesPadlockForTest();
  auto tryElsewhere = [&] {
    return std::async(std::launch::async, [padlock] {
             if (!padlock->TryLock()) return false;
             padlock->Unlock();
             return true;
           }).get();
  };
  db_->sadLockTables();
  EXPECT_FALSE(tryElsewhere());
  db_->sadUnlockTables();
  EXPECT_TRUE(tryElsewhere());
}

TEST_F(DatabaseServicesTest, OptionUnsetOnTheDatabaseComesFromTheFolderThenTheSession) {
  ASSERT_EQ(session_->OptionSet(u"Level", u"session"), 0);
  nxString value;
  ASSERT_EQ(db_->OptionGetEffective(u"Level", value), 0);
  EXPECT_EQ(toUtf8(value), "session");
  ASSERT_EQ(db_->Folder()->OptionSet(u"Level", u"folder"), 0);
  ASSERT_EQ(db_->OptionGetEffective(u"Level", value), 0);
  EXPECT_EQ(toUtf8(value), "folder");
  ASSERT_EQ(db_->OptionSet(u"Level", u"database"), 0);
  ASSERT_EQ(db_->OptionGetEffective(u"Level", value), 0);
  EXPECT_EQ(toUtf8(value), "database");
  EXPECT_NE(db_->OptionGetEffective(u"Nowhere", value), 0);

  // The effective list merges the folder's options in: each name once, the
  // nearest value winning.
  ASSERT_EQ(db_->Folder()->OptionSet(u"FolderOnly", u"f"), 0);
  TnxOwned<platform::TStringList> list(platform::create<platform::TStringList>());
  ASSERT_EQ(db_->OptionListEffective(*list), 0);
  EXPECT_EQ(toUtf8(list->values(u"Level")), "database");
  EXPECT_EQ(toUtf8(list->values(u"FolderOnly")), "f");
  int levels = 0;
  for (int i = 0; i < list->count(); ++i) levels += platform::sameTextAscii(list->names(i), u"Level") ? 1 : 0;
  EXPECT_EQ(levels, 1);
}

}  // namespace
