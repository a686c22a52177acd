#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "nxseJournalEngine.h"
#include "nxsrServerEngineTestSupport.h"

namespace {

using nxtest::ServerEngineFixture;

constexpr std::int64_t kSecondNs = 1000000000;

std::vector<std::uint8_t> folderLsnBytes(std::uint64_t aValue, std::size_t aSize = 8) {
  std::vector<std::uint8_t> bytes(aSize, 0);
  for (std::size_t i = 0; i < aSize && i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(aValue >> (8 * i));
  return bytes;
}

// A table file of which only the header LSN (offset 8) matters here.
std::vector<std::uint8_t> folderTableWithLsn(std::int64_t aLSN) {
  std::vector<std::uint8_t> bytes(64, 0);
  for (int i = 0; i < 8; ++i) bytes[8 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(aLSN >> (8 * i));
  return bytes;
}

std::int64_t folderStoredLsn(platform::FaultFileSystem& aFs, const std::string& aPath) {
  std::vector<std::uint8_t> data;
  if (!aFs.contents(aPath, data) || data.size() != 8) return -1;
  std::int64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | data[static_cast<std::size_t>(i)];
  return value;
}

class ServerFolderTest : public ::testing::Test {
 protected:
  TnxServerFolder* NewFolder(TnxServerEngine* aEngine, const nxString& aPath) {
    return platform::create<TnxServerFolder>(aEngine, aPath, false);
  }
  ServerEngineFixture fx;
};

TEST_F(ServerFolderTest, PathDecidesInMemoryAndFoldersRegisterWithTheEngine) {
  TnxServerEngine* engine = fx.Started();
  struct Case {
    const char16_t* path;
    bool inMem;
  } cases[] = {{u"/data", false}, {u"", true}, {u"#mem", true}};
  for (const Case& c : cases) {
    TnxServerFolder* folder = NewFolder(engine, c.path);
    EXPECT_EQ(folder->InMemOnly(), c.inMem) << platform::toUtf8(c.path);
    EXPECT_FALSE(folder->ReadOnly());
    EXPECT_EQ(engine->FindFolder(c.path), folder);
    EXPECT_EQ(engine->FolderCount(), 1);
    platform::TObject::free(folder);
    EXPECT_EQ(engine->FindFolder(c.path), nullptr);
    EXPECT_EQ(engine->FolderCount(), 0);
  }
  // An in-memory folder never makes a configuration file.
  std::vector<std::uint8_t> data;
  EXPECT_FALSE(fx.Fs().contents("#mem/nxTrans.cfg", data));
}

TEST_F(ServerFolderTest, ReadOnlyEngineOptionMakesFileFoldersReadOnly) {
  TnxServerEngine* engine = fx.Engine();
  engine->SetOptions(TnxServerEngineOptions{seoReadOnly});
  engine->SetMaxRAM(16);
  engine->SetTempStoreSize(0);
  engine->SetActive(true);
  TnxServerFolder* files = NewFolder(engine, u"/data");
  TnxServerFolder* memory = NewFolder(engine, u"#m");
  EXPECT_TRUE(files->ReadOnly());
  EXPECT_FALSE(memory->ReadOnly());
  // Nothing is written to a read-only folder.
  std::vector<std::uint8_t> data;
  EXPECT_FALSE(fx.Fs().contents("/data/nxTrans.cfg", data));
}

TEST_F(ServerFolderTest, InactiveListLinksFoldersInOrderAndCloseInactiveFreesOnlyIdleOnes) {
  TnxServerEngine* engine = fx.Started();
  TnxServerFolder* a = NewFolder(engine, u"#a");
  TnxServerFolder* b = NewFolder(engine, u"#b");
  TnxServerFolder* c = NewFolder(engine, u"#c");
  for (TnxServerFolder* f : {a, b, c}) f->sfUpdateInactive();
  EXPECT_EQ(engine->InactiveFolderCount(), 3);
  // Leaving from the middle keeps the list whole.
  b->sfDatabaseOpened();
  b->sfUpdateInactive();
  EXPECT_FALSE(b->InInactiveList());
  EXPECT_EQ(engine->InactiveFolderCount(), 2);
  a->sfAddToInactiveFolders();  // already listed: no change
  EXPECT_EQ(engine->InactiveFolderCount(), 2);
  platform::TObject::free(a);
  EXPECT_EQ(engine->InactiveFolderCount(), 1);
  EXPECT_TRUE(c->InInactiveList());

  EXPECT_EQ(engine->seCloseInactiveFolders(), 0);
  EXPECT_EQ(engine->FindFolder(u"#c"), nullptr);
  EXPECT_EQ(engine->FindFolder(u"#b"), b);
  EXPECT_EQ(engine->InactiveFolderCount(), 0);
  b->sfDatabaseClosed();
}

TEST_F(ServerFolderTest, TableExistsListAndUniqueNameFollowTheFolder) {
  fx.Fs().putFile("/data/T.nx1", folderTableWithLsn(1));
  fx.Fs().putFile("/data/T1.NX1", folderTableWithLsn(1));
  fx.Fs().putFile("/data/notes.txt", {1});
  fx.Fs().makeDirectory("/data/dir.nx1");
  fx.Fs().putFile("/data/###mem.nx1", folderTableWithLsn(1));
  TnxServerEngine* engine = fx.Started();
  TnxServerFolder* files = NewFolder(engine, u"/data");
  TnxServerFolder* memory = NewFolder(engine, u"#mem");
  struct Case {
    TnxServerFolder* folder;
    const char16_t* name;
    TnxResult expected;
  } cases[] = {
      {files, u"T", 0},           {files, u"T.nx1", 0},      {files, u"T.NX1", 0},
      {files, u"t1", 0},  // the disk spells it "T1.NX1"
      {files, u"T2", 8712},       {files, u"dir", 8712},     {files, u"notes", 8712},
      {files, u"###mem", 8712},   {files, u"a:b", 8712},     {memory, u"T", 8712},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.folder->sfTableExists(c.name), c.expected) << platform::toUtf8(c.name);

  nxString unique;
  ASSERT_EQ(files->sfTableMakeUniqueName(u"T", unique), 0);
  EXPECT_EQ(platform::toUtf8(unique), "T2");
  ASSERT_EQ(files->sfTableMakeUniqueName(u"U", unique), 0);
  EXPECT_EQ(platform::toUtf8(unique), "U");

  platform::TStringList* list = platform::create<platform::TStringList>();
  list->add(u"stale");
  ASSERT_EQ(files->sfTableGetList(*list), 0);
  std::vector<std::string> names;
  for (int i = 0; i < list->count(); ++i) names.push_back(platform::toUtf8(list->strings(i)));
  EXPECT_EQ(names, (std::vector<std::string>{"###mem", "T", "T1"}));
  ASSERT_EQ(memory->sfTableGetList(*list), 0);
  EXPECT_EQ(list->count(), 0);
  platform::TObject::free(list);
}

TEST_F(ServerFolderTest, PersistentTableNamesRefuseFileNameCharacters) {
  for (const char16_t* bad : {u"", u"a\"b", u"a*", u"a.b", u"a:b", u"a/b", u"a<", u"a>", u"a?", u"a\\b", u"a|b"})
    EXPECT_FALSE(TnxServerFolder::sfIsValidTableName(bad, tsPersistent)) << platform::toUtf8(bad);
  EXPECT_TRUE(TnxServerFolder::sfIsValidTableName(u"Order Lines", tsPersistent));
  EXPECT_TRUE(TnxServerFolder::sfIsValidTableName(u"a:b", tsTempGlobal));
  EXPECT_FALSE(TnxServerFolder::sfIsValidTableName(u"", tsTempGlobal));
}

TEST_F(ServerFolderTest, MovingTableFilesIsAllOrNothingAndNeverReplaces) {
  TnxServerEngine* engine = fx.Started();
  TnxServerFolder* folder = NewFolder(engine, u"/data");
  const std::vector<nxString> extensions{u"nx1", u"nx2", u"nx3"};
  const auto putTable = [&](const std::string& aName) {
    for (const char* ext : {".nx1", ".nx2", ".nx3"}) fx.Fs().putFile("/data/" + aName + ext, {7});
  };
  const auto has = [&](const std::string& aFile) {
    std::vector<std::uint8_t> data;
    return fx.Fs().contents("/data/" + aFile, data);
  };
  struct Case {
    const char* name;
    int failingRename;  // 0: none
    bool targetMainExists;
    bool moves;
  } cases[] = {
      {"all files move", 0, false, true},
      {"second file cannot move", 2, false, false},
      {"third file cannot move", 3, false, false},
      {"target exists", 0, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    putTable("Old");
    if (c.targetMainExists) fx.Fs().putFile("/data/New.nx1", {9});
    if (c.failingRename) fx.Fs().failNext(platform::FaultFileSystem::Op::rename, c.failingRename);
    bool raised = false;
    try {
      folder->sfMoveTableFiles(u"Old.nx1", u"New", extensions);
    } catch (const EnxBaseException& e) {
      raised = true;
      EXPECT_EQ(e.ErrorCode(), 15394);
    }
    EXPECT_EQ(raised, !c.moves);
    for (const char* ext : {".nx1", ".nx2", ".nx3"}) {
      EXPECT_EQ(has(std::string("Old") + ext), !c.moves) << ext;
      if (!c.targetMainExists) {
        EXPECT_EQ(has(std::string("New") + ext), c.moves) << ext;
      }
    }
    if (c.targetMainExists) {
      std::vector<std::uint8_t> data;
      ASSERT_TRUE(fx.Fs().contents("/data/New.nx1", data));
      EXPECT_EQ(data, std::vector<std::uint8_t>{9});  // not replaced
    }
    fx.Fs().clearFailures();
    for (const char* base : {"Old", "New"})
      for (const char* ext : {".nx1", ".nx2", ".nx3"}) fx.Fs().remove(std::string("/data/") + base + ext);
  }
}

// ---- The folder's LSN file ----------------------------------------------------------

TEST_F(ServerFolderTest, InMemoryFolderStartsAtOneWithoutFile) {
  TnxServerEngine* engine = fx.Started();
  NewFolder(engine, u"#mem");
  EXPECT_EQ(engine->BufferManager()->CurrentLSN(), 1);
}

TEST_F(ServerFolderTest, CurrentStoredValueSeedsAndIsWrittenBackAdvanced) {
  fx.Fs().putFile("/data/nxTrans.cfg", folderLsnBytes(500));
  fx.Fs().putFile("/data/t.nx1", folderTableWithLsn(40));
  TnxServerEngine* engine = fx.Started();
  TnxServerFolder* folder = NewFolder(engine, u"/data");
  EXPECT_FALSE(folder->ReadOnly());
  // The counter is raised before the file is written: the file never holds
  // a value that was already handed out.
  EXPECT_EQ(engine->BufferManager()->CurrentLSN(), 501);
  EXPECT_EQ(folderStoredLsn(fx.Fs(), "/data/nxTrans.cfg"), 501);
  const TnxLSN next = engine->BufferManager()->NextLSN();
  EXPECT_EQ(next, 502);
  platform::TObject::free(folder);
  EXPECT_EQ(folderStoredLsn(fx.Fs(), "/data/nxTrans.cfg"), 503);
}

TEST_F(ServerFolderTest, SeedIgnoresWrongSizedOrStaleFilesAndNeverFallsBelowHeaders) {
  struct Case {
    const char* name;
    std::size_t cfgSize;
    std::uint64_t stored;
    std::int64_t tableAgeNs;  // table file time minus the configuration file's
    std::int64_t headerLSN;
    TnxLSN expectedSeed;
  } cases[] = {
      {"seven bytes", 7, 1000, 0, 40, 41},
      {"nine bytes", 9, 1000, 0, 40, 41},
      {"table newer beyond slack", 8, 1000, 1876 * kSecondNs + 1, 300, 301},
      {"table newer by exactly slack", 8, 1000, 1876 * kSecondNs, 300, 1000},
      // A value that outlived a crash lies below what the tables hold.
      {"stored below the headers", 8, 5, 0, 90, 91},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServerEngineFixture local;
    local.Fs().setClock(100 * kSecondNs);
    local.Fs().putFile("/data/nxTrans.cfg", folderLsnBytes(c.stored, c.cfgSize));
    local.Fs().setClock(100 * kSecondNs + c.tableAgeNs);
    local.Fs().putFile("/data/t.nx1", folderTableWithLsn(c.headerLSN));
    local.Fs().putFile("/data/other.txt", folderTableWithLsn(1000000));  // not a table file
    TnxServerEngine* engine = local.Started();
    platform::create<TnxServerFolder>(engine, u"/data", false);
    // Seed, then one LSN taken for the saved value.
    EXPECT_EQ(engine->BufferManager()->CurrentLSN(), c.expectedSeed + 1);
    EXPECT_EQ(folderStoredLsn(local.Fs(), "/data/nxTrans.cfg"), c.expectedSeed + 1);
  }
}

TEST_F(ServerFolderTest, CrashBeforeFolderIsFreedNeverRepeatsLsns) {
  fx.Fs().putFile("/data/nxTrans.cfg", folderLsnBytes(5));
  fx.Fs().putFile("/data/t.nx1", folderTableWithLsn(10));
  TnxServerEngine* first = fx.Started();
  platform::create<TnxServerFolder>(first, u"/data", false);
  // Commits of this run raise the header LSN well past the saved value.
  TnxLSN written = 0;
  for (int i = 0; i < 50; ++i) written = first->BufferManager()->NextLSN();
  fx.Fs().putFile("/data/t.nx1", folderTableWithLsn(written));
  // The process dies with the folder still open: its file handles are gone.
  fx.Fs().crash();
  TnxServerEngine* second = fx.Started();
  TnxServerFolder* folder = platform::create<TnxServerFolder>(second, u"/data", false);
  EXPECT_FALSE(folder->ReadOnly());
  EXPECT_GT(second->BufferManager()->NextLSN(), written);
  EXPECT_GT(folderStoredLsn(fx.Fs(), "/data/nxTrans.cfg"), written);
}

TEST_F(ServerFolderTest, ConfigFileHeldExclusivelyMakesFolderReadOnly) {
  fx.Fs().putFile("/data/nxTrans.cfg", folderLsnBytes(7));
  platform::FileId held = -1;
  ASSERT_EQ(fx.Fs().open("/data/nxTrans.cfg", {platform::FileAccess::readWrite, platform::FileShare::none, false, false},
                         held),
            0);
  TnxServerEngine* engine = fx.Started();
  TnxServerFolder* folder = NewFolder(engine, u"/data");
  EXPECT_TRUE(folder->ReadOnly());
  EXPECT_EQ(folder->TransManager()->stmCreateJournal(3), nullptr);
  fx.Fs().close(held);
}

TEST_F(ServerFolderTest, JournalFactoryNamesFileByNumberOrAnswersNil) {
  TnxServerEngine* engine = fx.Started();
  TnxServerFolder* files = NewFolder(engine, u"/data");
  TnxServerFolder* memory = NewFolder(engine, u"#m");
  TnxBaseJournalEngine* journal = files->TransManager()->stmCreateJournal(42);
  ASSERT_NE(journal, nullptr);
  EXPECT_EQ(platform::toUtf8(journal->bjeFileName), "/data/42.n$2");
  platform::TObject::free(journal);
  EXPECT_EQ(memory->TransManager()->stmCreateJournal(42), nullptr);
  const platform::ClassInfo* previous = nxGetDefaultJournalEngineClass();
  nxSetDefaultJournalEngineClass(nullptr);
  EXPECT_EQ(files->TransManager()->stmCreateJournal(42), nullptr);
  nxSetDefaultJournalEngineClass(previous);
}

}  // namespace
