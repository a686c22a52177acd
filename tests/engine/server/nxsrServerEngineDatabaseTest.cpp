#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "nxExpectCode.h"
#include "nxseJournalEngine.h"
#include "nxsrServerEngineTestSupport.h"
#include "plString.h"

// A journal class that records the folders it is asked to check.
class DatabaseTestRecordingJournal : public Tnx1xJournalEngine {
  PL_CLASS_INFO_DECL()
 public:
  using Tnx1xJournalEngine::Tnx1xJournalEngine;
  static void Check(const nxString&, const nxString& aPath) { checked().push_back(platform::toUtf8(aPath)); }
  static std::vector<std::string>& checked() {
    static std::vector<std::string> paths;
    return paths;
  }
};
PL_CLASS_INFO_IMPL_TABLE(DatabaseTestRecordingJournal, Tnx1xJournalEngine, "DatabaseTestRecordingJournal", nullptr,
                         platform::bindClassTable(nxJournalEngineFuncs<DatabaseTestRecordingJournal>))

namespace {

using nxtest::ServerEngineFixture;
using platform::toUtf8;

// A started engine, one session and the databases a test opens (freed
// before the engine).
class DatabaseOpenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = fixture_.Started();
    TnxAbstractSession* session = nullptr;
    ASSERT_EQ(engine_->SessionOpen(session, u"user", u"pw", u"test", 0), 0);
    session_ = static_cast<TnxServerSession*>(session);
    fixture_.Fs().makeDirectory("/data/db");
  }
  void TearDown() override {
    for (auto it = opened_.rbegin(); it != opened_.rend(); ++it) platform::TObject::free(*it);
  }
  TnxResult Open(const nxString& aType, const nxString& aAlias, TnxOpenMode aMode = omReadWrite,
                 TnxShareMode aShare = smShared, bool aCache = false, TnxServerDatabase** aOut = nullptr) {
    TnxAbstractDatabase* db = nullptr;
    const TnxResult result = aCache ? session_->DatabaseCacheOpen(db, aType, aAlias, nullptr, aMode, aShare, 0)
                                    : session_->DatabaseOpen(db, aType, aAlias, nullptr, aMode, aShare, 0);
    if (result != 0) {
      EXPECT_EQ(db, nullptr);
    } else {
      opened_.push_back(db);
    }
    if (aOut) *aOut = static_cast<TnxServerDatabase*>(db);
    return result;
  }
  std::string PathOf(TnxServerDatabase* aDb) {
    nxString path;
    EXPECT_EQ(aDb->GetPath(path), 0);
    return toUtf8(path);
  }

  ServerEngineFixture fixture_;
  TnxServerEngine* engine_ = nullptr;
  TnxServerSession* session_ = nullptr;
  std::vector<TnxAbstractDatabase*> opened_;
};

TEST_F(DatabaseOpenTest, PathsResolveToOneFolderPerDirectory) {
  fixture_.Fs().setCurrentFolder("/data");
  struct Case {
    const char16_t* type;
    const char16_t* alias;
    const char* path;
  } cases[] = {
      {u"Path", u"/data/db", "/data/db/"},
      {u"PATH", u" /data/db/ ", "/data/db/"},
      {u"path", u"db", "/data/db/"},
      {u"Path", u"./x/../db", "/data/db/"},
  };
  fixture_.Fs().makeDirectory("/data/x");
  for (const Case& c : cases) {
    TnxServerDatabase* db = nullptr;
    ASSERT_EQ(Open(c.type, c.alias, omReadOnly, smShared, false, &db), 0) << toUtf8(c.alias);
    EXPECT_EQ(PathOf(db), c.path);
  }
  EXPECT_EQ(engine_->FolderCount(), 1);
  // A directory differing in case is another folder.
  fixture_.Fs().makeDirectory("/data/DB");
  ASSERT_EQ(Open(u"Path", u"/data/DB", omReadOnly), 0);
  EXPECT_EQ(engine_->FolderCount(), 2);
}

TEST_F(DatabaseOpenTest, RefusalsOfTheAlias) {
  platform::FileOpenOptions create;
  create.create = true;
  platform::FileId file = -1;
  ASSERT_EQ(fixture_.Fs().open("/data/file.txt", create, file), 0);
  ASSERT_EQ(fixture_.Fs().close(file), 0);
  EXPECT_EQ(Open(u"Path", u"/data/file.txt"), 10018);
  EXPECT_EQ(Open(u"Path", u"/data/missing"), 10018);
  EXPECT_EQ(Open(u"Name", u"nosuch"), 10014);
  EXPECT_EQ(Open(u"Alias", u"x"), 12289);
  nxtest::expectCode([] { throw EnxBaseException(12289); }, 12289, u"AliasType 'Alias' not supported");
  EXPECT_EQ(engine_->FolderCount(), 0);
}

TEST_F(DatabaseOpenTest, InMemoryFolderNeedsNoDirectory) {
  TnxServerDatabase* db = nullptr;
  ASSERT_EQ(Open(u"Path", u"#x", omReadWrite, smShared, false, &db), 0);
  EXPECT_TRUE(db->Folder()->InMemOnly());
  EXPECT_EQ(PathOf(db), "#x");
}

TEST_F(DatabaseOpenTest, NamedAliasOpensItsPath) {
  ASSERT_EQ(session_->AliasAdd(u"Main", u"/data/db", false), 0);
  TnxServerDatabase* db = nullptr;
  ASSERT_EQ(Open(u"Name", u"main", omReadOnly, smShared, false, &db), 0);
  EXPECT_EQ(PathOf(db), "/data/db/");
  nxString alias;
  EXPECT_EQ(db->GetAlias(alias), 0);
  EXPECT_EQ(toUtf8(alias), "main");
}

TEST_F(DatabaseOpenTest, CacheModeConflict) {
  ASSERT_EQ(Open(u"Path", u"/data/db"), 0);
  EXPECT_EQ(Open(u"Path", u"/data/db", omReadWrite, smShared, true), 9219);
  nxtest::expectCode([] { throw EnxBaseException(9219); }, 9219, u"Folder already open with conflicting cache mode");
}

TEST_F(DatabaseOpenTest, ShareMatrix) {
  struct Step {
    TnxOpenMode mode;
    TnxShareMode share;
    TnxResult expected;
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;
  } cases[] = {
      {"exclusive refuses later opens",
       {{omReadWrite, smExclusive, 0}, {omReadOnly, smShared, 10253}, {omReadOnly, smShareRead, 10253}}},
      {"exclusive refused beside any", {{omReadOnly, smShared, 0}, {omReadOnly, smExclusive, 10253}}},
      {"two read-only share-read coexist", {{omReadOnly, smShareRead, 0}, {omReadOnly, smShareRead, 0}}},
      {"writable shared fails beside share-read", {{omReadOnly, smShareRead, 0}, {omReadWrite, smShared, 10253}}},
      {"read-only shared beside share-read", {{omReadOnly, smShareRead, 0}, {omReadOnly, smShared, 0}}},
      {"share-read fails beside writable", {{omReadWrite, smShared, 0}, {omReadOnly, smShareRead, 10253}}},
      {"write-only counts as writable", {{omWriteOnly, smShared, 0}, {omReadOnly, smShareRead, 10253}}},
      {"two writable shared", {{omReadWrite, smShared, 0}, {omReadWrite, smShared, 0}}},
  };
  for (const Case& c : cases) {
    for (const Step& s : c.steps) EXPECT_EQ(Open(u"Path", u"/data/db", s.mode, s.share), s.expected) << c.what;
    for (auto it = opened_.rbegin(); it != opened_.rend(); ++it) platform::TObject::free(*it);
    opened_.clear();
  }
}

TEST_F(DatabaseOpenTest, FailedOpenLeavesFolderInactive) {
  TnxServerDatabase* db = nullptr;
  ASSERT_EQ(Open(u"Path", u"/data/db", omReadWrite, smExclusive, false, &db), 0);
  TnxServerFolder* folder = db->Folder();
  EXPECT_FALSE(folder->InInactiveList());
  EXPECT_EQ(Open(u"Path", u"/data/db"), 10253);
  EXPECT_FALSE(folder->InInactiveList());
  platform::TObject::free(db);
  opened_.clear();
  EXPECT_TRUE(folder->InInactiveList());
  EXPECT_EQ(Open(u"Path", u"/data/db", omReadOnly, smShared, true), 9219);
  EXPECT_TRUE(folder->InInactiveList());
}

TEST_F(DatabaseOpenTest, FreeSpaceInKB) {
  TnxServerDatabase* db = nullptr;
  ASSERT_EQ(Open(u"Path", u"/data/db", omReadOnly, smShared, false, &db), 0);
  fixture_.Fs().setFreeSpace(10 * 1024 + 1023);
  std::int64_t kb = 0;
  EXPECT_EQ(db->GetFreespace(kb), 0);
  EXPECT_EQ(kb, 10);
  fixture_.Fs().setFreeSpace(0, EIO);
  EXPECT_EQ(db->GetFreespace(kb), 11047);
}

TEST_F(DatabaseOpenTest, StructureGenerationFollowsTheFolder) {
  TnxServerDatabase* a = nullptr;
  TnxServerDatabase* b = nullptr;
  ASSERT_EQ(Open(u"Path", u"/data/db", omReadWrite, smShared, false, &a), 0);
  ASSERT_EQ(Open(u"Path", u"/data/db", omReadWrite, smShared, false, &b), 0);
  const std::int32_t before = b->StructureGeneration();
  a->sdStructureChanged(false);
  EXPECT_EQ(b->StructureGeneration(), before);
  a->sdStructureChanged(true);
  EXPECT_EQ(b->StructureGeneration(), before + 1);
  EXPECT_EQ(b->StructureGeneration(), before + 1);
}

TEST_F(DatabaseOpenTest, MissingRootTable) {
  TnxServerDatabase* db = nullptr;
  ASSERT_EQ(Open(u"Path", u"/data/db", omReadWrite, smShared, false, &db), 0);
  TnxServerBaseTable* table = nullptr;
  bool readOnly = false;
  EXPECT_EQ(db->sdGetTable(table, u"qbnk:qzrecord", u"", false, readOnly, false, false), 10024);
  nxtest::expectCode([] { throw EnxBaseException(10024); }, 10024, u" Root table \"qbnk\" not found");
  EXPECT_EQ(table, nullptr);
}

TEST_F(DatabaseOpenTest, NoSqlEngine) {
  TnxServerDatabase* db = nullptr;
  ASSERT_EQ(Open(u"Path", u"/data/db", omReadWrite, smShared, false, &db), 0);
  TnxSqlParamList params;
  TnxAbstractCursor* cursor = nullptr;
  TnxStatementExecDirectPhase phase = sedFree;
  EXPECT_EQ(db->StatementExecDirect(1000, stQuery, u"rows 3", nullptr, params, nullptr, cursor, omReadOnly, nullptr,
                                    nullptr, phase),
            12289);
  EXPECT_EQ(phase, sedAlloc);
  EXPECT_EQ(db->StatementCount(), 0);
}

TEST_F(DatabaseOpenTest, JournalCheckedOncePerFolderWithFiles) {
  const platform::ClassInfo* previous = nxGetDefaultJournalEngineClass();
  nxSetDefaultJournalEngineClass(&DatabaseTestRecordingJournal::staticClassInfo());
  DatabaseTestRecordingJournal::checked().clear();
  fixture_.Fs().makeDirectory("/data/other");
  EXPECT_EQ(Open(u"Path", u"#mem"), 0);
  EXPECT_EQ(Open(u"Path", u"/data/db"), 0);
  EXPECT_EQ(Open(u"Path", u"/data/db", omReadOnly), 0);
  EXPECT_EQ(Open(u"Path", u"/data/other"), 0);
  nxSetDefaultJournalEngineClass(previous);
  EXPECT_EQ(DatabaseTestRecordingJournal::checked(), (std::vector<std::string>{"/data/db/", "/data/other/"}));
}

}  // namespace
