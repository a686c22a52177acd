#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nxClientTestKit.h"
#include "nxdb.h"

namespace {

class ClientDatabase : public ::testing::Test {
 protected:
  nxtest::ClientTestKit kit;
};

constexpr char16_t kMustBeInactive[] = u"This component must be inactive when performing this operation.";

TEST_F(ClientDatabase, AliasPathRules) {
  struct Case {
    nxString given, stored;
  };
  const Case cases[] = {
      {u"  /data/  ", u"/data"},  // trimmed, one delimiter dropped
      {u"\t/data\r\n", u"/data"},
      {u"/data//", u"/data/"},  // only one delimiter goes
      {u"/", u"/"},             // the root stays the root
      {u"//", u"/"},
      {u"rel/dir", u"rel/dir"},
  };
  TnxDatabase* db = kit.Make<TnxDatabase>(u"nxDatabase1");
  for (const Case& c : cases) {
    db->SetAliasPath(c.given);
    EXPECT_EQ(db->AliasPath(), c.stored) << std::string(c.given.begin(), c.given.end());
  }
}

TEST_F(ClientDatabase, AliasNameAndPathClearEachOther) {
  TnxDatabase* db = kit.Make<TnxDatabase>();
  db->SetAliasPath(u"/data");
  db->SetAliasName(u" Data ");
  EXPECT_EQ(db->AliasName(), u"Data");
  EXPECT_EQ(db->AliasPath(), u"");
  db->SetAliasPath(u"/data");
  EXPECT_EQ(db->AliasName(), u"");
  db->SetAliasName(u"");  // empty clears nothing else
  EXPECT_EQ(db->AliasPath(), u"/data");
}

TEST_F(ClientDatabase, AliasPathOfAnOpenDatabase) {
  kit.Fs().makeDirectory("/data/sub");
  TnxDatabase* db = kit.Database(u"nxDatabase1", u"/data/sub");
  db->Open();
  db->SetAliasPath(u"/DATA/SUB/");  // the same folder in other letter case
  EXPECT_TRUE(db->Active());
  EXPECT_EQ(db->AliasPath(), u"/DATA/SUB");
  EXPECT_EQ(nxtest::clientErrorMessage([&] { db->SetAliasPath(u"/data"); }),
            nxString(u"DazavAV: nxDatabase1: ") + kMustBeInactive + u" [no error code]");
  EXPECT_EQ(db->AliasPath(), u"/DATA/SUB");
  EXPECT_TRUE(db->Active());
}

// Records the order in which components reach the started and stopped states.
struct StateTrace {
  std::vector<std::string> events;
  void OnChanged(TnxComponent* aSender) {
    auto* c = static_cast<TnxStateComponent*>(aSender);
    const std::string name(aSender->Name().begin(), aSender->Name().end());
    events.push_back(name + (c->State() == nxsStarted ? "+" : "-"));
  }
};

TEST_F(ClientDatabase, OpeningStartsSessionContextDatabaseAndStoppingGoesBack) {
  StateTrace trace;
  auto* tc = kit.Make<TnxTransContext>(u"tc");
  TnxDatabase* db = kit.Database(u"db");
  db->SetTransContext(tc);
  for (TnxStateComponent* c : std::initializer_list<TnxStateComponent*>{kit.session, tc, db})
    c->SetOnStateChanged(TnxNotifyEvent::Of<&StateTrace::OnChanged>(&trace));
  db->Open();
  EXPECT_TRUE(db->Active());
  ASSERT_NE(db->AbstractDatabase(), nullptr);
  EXPECT_EQ(db->AbstractDatabase()->TransContext(), tc->AbstractTransContext());
  kit.session->Close();
  EXPECT_FALSE(db->Active());
  EXPECT_FALSE(tc->Active());
  // "-" is stopped or inactive: a start passes through stopped, a stop
  // through stopped to inactive, one step at a time.
  const std::vector<std::string> expected = {"nxSession1-", "tc-", "db-", "nxSession1+", "tc+", "db+",
                                             "db-",         "tc-", "nxSession1-", "db-", "tc-", "nxSession1-"};
  EXPECT_EQ(trace.events, expected);
  EXPECT_EQ(kit.engine->DatabaseCount(), 0);
  EXPECT_EQ(kit.engine->TransContextCount(), 0);
}

TEST_F(ClientDatabase, OpenRefusals) {
  TnxDatabase* first = kit.Database(u"first");
  first->SetExclusive(true);
  first->Open();
  TnxDatabase* second = kit.Database(u"second");
  EXPECT_EQ(nxtest::clientErrorCode([&] { second->Open(); }), 10253u);
  EXPECT_FALSE(second->Active());

  TnxDatabase* missing = kit.Database(u"missing", u"/nowhere");
  EXPECT_EQ(nxtest::clientErrorCode([&] { missing->Open(); }), 10018u);
  EXPECT_FALSE(missing->Active());

  TnxDatabase* neither = kit.Make<TnxDatabase>(u"neither");
  EXPECT_EQ(nxtest::clientErrorMessage([&] { neither->Open(); }),
            u"DazavAV: neither: AliasName or AliasPath must be specified [no error code]");
  TnxDatabase* orphan = kit.Make<TnxDatabase>(u"orphan");
  orphan->SetSession(nullptr);
  orphan->SetAliasPath(u"/data");
  EXPECT_EQ(nxtest::clientErrorMessage([&] { orphan->Open(); }),
            u"DazavAV: orphan: No owning session [no error code]");
  EXPECT_EQ(kit.engine->DatabaseCount(), 1);
}

TEST_F(ClientDatabase, ExistsAndPath) {
  TnxDatabase* bad = kit.Database(u"bad", u"/nowhere");
  EXPECT_FALSE(bad->Exists());
  EXPECT_FALSE(bad->Active());
  TnxDatabase* good = kit.Database(u"good", u"/data/");
  EXPECT_TRUE(good->Exists());
  EXPECT_FALSE(good->Active());
  EXPECT_EQ(good->Path(), u"/data");
  good->Open();
  EXPECT_EQ(good->GetPath(), good->Path());
  EXPECT_FALSE(good->Path().empty());
  TnxDatabase* none = kit.Make<TnxDatabase>(u"none");
  EXPECT_FALSE(none->Exists());
}

TEST_F(ClientDatabase, Transactions) {
  TnxDatabase* db = kit.Database();
  EXPECT_FALSE(db->InTransaction());  // closed: no error
  db->Open();
  EXPECT_FALSE(db->InTransaction());
  EXPECT_TRUE(db->TryStartTransaction());
  EXPECT_TRUE(db->InTransaction());
  EXPECT_FALSE(db->TryStartTransaction());
  db->Commit();
  EXPECT_FALSE(db->InTransaction());
  EXPECT_EQ(nxtest::clientErrorCode([&] { db->Commit(); }), 10257u);

  auto* tc = kit.Make<TnxTransContext>(u"tc");
  EXPECT_EQ(nxtest::clientErrorMessage([&] { (void)tc->InTransaction(); }),
            u"DazavAV: tc: This component must be started when performing this operation. [no error code]");
}

TEST_F(ClientDatabase, TwoDatabasesShareOneTransactionContext) {
  kit.Fs().makeDirectory("/data/b");
  auto* tc = kit.Make<TnxTransContext>(u"tc");
  TnxDatabase* a = kit.Database(u"a");
  TnxDatabase* b = kit.Database(u"b", u"/data/b");
  a->SetTransContext(tc);
  b->SetTransContext(tc);
  a->Open();
  b->Open();
  EXPECT_EQ(tc->DatabaseCount(), 2);
  a->StartTransaction();
  EXPECT_TRUE(b->InTransaction());
  EXPECT_TRUE(tc->InTransaction());
  b->Commit();
  EXPECT_FALSE(a->InTransaction());
  tc->StartTransaction();
  EXPECT_TRUE(a->InTransaction());
  a->Rollback();
  EXPECT_FALSE(b->InTransaction());
}

TEST_F(ClientDatabase, TimeoutsReachTheEngineObjects) {
  TnxDatabase* db = kit.Database();
  auto* tc = kit.Make<TnxTransContext>(u"tc");
  db->Open();
  tc->Open();
  EXPECT_EQ(db->soEffectiveTimeout(), 10000);
  kit.session->SetTimeout(1234);
  EXPECT_EQ(db->AbstractDatabase()->Timeout(), 1234u);
  EXPECT_EQ(tc->AbstractTransContext()->Timeout(), 1234u);
  db->SetTimeout(50);
  EXPECT_EQ(db->AbstractDatabase()->Timeout(), 50u);
  kit.session->SetTimeout(77);
  EXPECT_EQ(db->AbstractDatabase()->Timeout(), 50u);  // its own stays
  EXPECT_EQ(tc->AbstractTransContext()->Timeout(), 77u);

}

TEST_F(ClientDatabase, CacheDatabaseOpensThroughTheCacheOpenAndTakesItsTimeout) {
  kit.Fs().makeDirectory("/data/c");
  auto* cache = kit.Make<TnxCacheDatabase>(u"cache");
  cache->SetAliasPath(u"/data/c");
  cache->Open();
  ASSERT_NE(cache->AbstractDatabase(), nullptr);
  EXPECT_TRUE(cache->AbstractDatabase()->IsCacheDatabase());
  cache->SetTimeout(33);
  EXPECT_EQ(cache->AbstractDatabase()->Timeout(), 33u);
}

TEST_F(ClientDatabase, TimeoutWithoutSession) {
  TnxDatabase* db = kit.Make<TnxDatabase>();
  db->SetSession(nullptr);
  EXPECT_EQ(db->soEffectiveTimeout(), 10000);
}

TEST_F(ClientDatabase, TableOperationChecksComeBeforeAnyEngineCall) {
  TnxDatabase* db = kit.Database(u"nxDatabase1");  // stopped: an engine call could not even be made
  TnxDatabase* sameAlias = kit.Database(u"same");
  auto* otherSession = platform::create<TnxSession>(nullptr);
  auto* foreign = platform::create<TnxDatabase>(nullptr);
  foreign->SetSession(otherSession);
  TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
  TnxAbstractTaskInfo* task = nullptr;
  struct Case {
    const char* what;
    TnxResult code;
    TnxResult expected;
  };
  const Case cases[] = {
      {"AddFieldToTable empty name", db->AddFieldToTable(u"", u"", nullptr), 10039},
      {"AddFieldToTable nil descriptor", db->AddFieldToTable(u"T", u"", nullptr), 9986},
      {"BackupTableEx empty name", db->BackupTableEx(u"", u"", sameAlias, task), 10039},
      {"BackupTableEx nil target", db->BackupTableEx(u"T", u"", nullptr, task), 9986},
      {"BackupTableEx other session", db->BackupTableEx(u"T", u"", foreign, task), 10760},
      {"BackupTableEx same alias", db->BackupTableEx(u"T", u"", sameAlias, task), 15508},
      {"CreateTableEx nil dictionary", db->CreateTableEx(false, u"T", u"", nullptr), 9986},
      {"CreateTableEx empty name", db->CreateTableEx(false, u"", u"", dict.get()), 10039},
      {"GetDataDictionaryEx empty name", db->GetDataDictionaryEx(u"", u"", dict.get()), 10039},
      {"GetDataDictionaryEx nil dictionary", db->GetDataDictionaryEx(u"T", u"", nullptr), 9986},
      {"PackTableEx empty name", db->PackTableEx(u"", u"", task), 10039},
      {"ReIndexTableEx by name", db->ReIndexTableEx(u"", u"", u"ix", task), 10039},
      {"ReIndexTableEx by number", db->ReIndexTableEx(u"", u"", 1, task), 10039},
      {"RestructureTableEx empty name", db->RestructureTableEx(u"", u"", dict.get(), nullptr, task), 10039},
      {"RestructureTableEx nil dictionary", db->RestructureTableEx(u"T", u"", nullptr, nullptr, task), 9986},
      {"RecoverTableEx empty name", db->RecoverTableEx(u"", u"", task), nxCheckTableName(u"", true, false)},
      {"VerifyChecksumTableEx empty name", db->VerifyChecksumTableEx(u"", u"", false, false, task),
       nxCheckTableName(u"", true, false)},
  };
  for (const Case& c : cases) EXPECT_EQ(c.code, c.expected) << c.what;
  EXPECT_NE(nxCheckTableName(u"", true, false), 0u);
  EXPECT_EQ(task, nullptr);

  EXPECT_NO_THROW(db->DeleteTable(u"", u""));
  EXPECT_FALSE(db->TableExists(u""));
  EXPECT_EQ(nxtest::clientErrorCode([&] { db->EmptyTable(u"", u""); }), 10039u);
  EXPECT_EQ(nxtest::clientErrorCode([&] { db->RenameTable(u"", u"B", u""); }), 10039u);
  EXPECT_EQ(nxtest::clientErrorCode([&] { db->RenameTable(u"A", u"", u""); }), 10039u);
  EXPECT_EQ(nxtest::clientErrorCode([&] { db->GetTableNames(nullptr); }), 9986u);
  EXPECT_EQ(nxtest::clientErrorCode([&] { db->GetChangedTables(nullptr); }), 9986u);
  // Past the checks, a stopped database refuses.
  EXPECT_EQ(nxtest::clientErrorMessage([&] { (void)db->PackTableEx(u"T", u"", task); }),
            u"DazavAV: nxDatabase1: This component must be started when performing this operation. [no error code]");
  platform::TObject::free(foreign);
  platform::TObject::free(otherSession);
}

TEST_F(ClientDatabase, DeletingAMissingTableIsNoError) {
  TnxDatabase* db = kit.Database();
  db->Open();
  // The engine database refuses what it does not do yet with 12289; a
  // missing table (10024) is the one code the client lets pass.
  const TnxResult code = nxtest::clientErrorCode([&] { db->DeleteTable(u"Missing", u""); });
  EXPECT_TRUE(code == static_cast<TnxResult>(-1) || code == 12289u) << code;
}

TEST_F(ClientDatabase, TheDatabaseGoingAwayLeavesTheContextAndSession) {
  auto* tc = kit.Make<TnxTransContext>(u"tc");
  TnxDatabase* db = kit.Database();
  db->SetTransContext(tc);
  db->Open();
  EXPECT_EQ(kit.session->DatabaseCount(), 1);
  kit.Free(db);
  EXPECT_EQ(kit.session->DatabaseCount(), 0);
  EXPECT_EQ(tc->DatabaseCount(), 0);
  EXPECT_EQ(kit.engine->DatabaseCount(), 0);
  // The context going away makes a database inactive and forgets it.
  TnxDatabase* db2 = kit.Database(u"db2");
  db2->SetTransContext(tc);
  db2->Open();
  kit.Free(tc);
  EXPECT_FALSE(db2->Active());
  EXPECT_EQ(db2->TransContext(), nullptr);
}

TEST_F(ClientDatabase, DefaultDatabaseAndContextOfTheSession) {
  auto* tc = kit.Make<TnxTransContext>(u"tc");
  tc->SetDefault(true);
  EXPECT_EQ(kit.session->DefaultTransContext(), tc);
  TnxDatabase* db = kit.Make<TnxDatabase>(u"db");  // takes the session's default context
  EXPECT_EQ(db->TransContext(), tc);
  db->SetDefault(true);
  EXPECT_EQ(kit.session->DefaultDatabase(), db);
  kit.Free(db);
  EXPECT_EQ(kit.session->DefaultDatabase(), nullptr);
}

TEST_F(ClientDatabase, ImplicitDatabaseRefusesAliasChanges) {
  kit.session->Open();
  ASSERT_EQ(kit.session->AddAliasEx(u"Data", u"/data", true), 0u);
  TnxDatabase* db = kit.session->OpenDatabase(u"Data");
  EXPECT_EQ(nxtest::clientErrorMessage([&] { db->SetAliasPath(u"/data"); }),
            u"DazavAV: <unnamed TnxDatabase instance>: AliasName can't be changed for an implicit database [no error "
            u"code]");
  db->SetSession(nullptr);  // ignored
  EXPECT_EQ(db->Session(), kit.session);
}

// A dataset that only records what its cursor component asks of it.
class RecordingDataset : public TnxDataset {
 public:
  using TnxDataset::TnxDataset;
  int shutdowns = 0;
  void dsCursorShutdown() override { ++shutdowns; }

 protected:
  platform::TRecordBuffer AllocRecordBuffer() override { return nullptr; }
  void FreeRecordBuffer(platform::TRecordBuffer&) override {}
  platform::TGetResult GetRecord(platform::TRecordBuffer, platform::TGetMode, bool) override {
    return platform::grEOF;
  }
  void InternalOpen() override {}
  void InternalClose() override {}
  bool IsCursorOpen() const override { return false; }
  void InternalFirst() override {}
  void InternalLast() override {}
  void InternalSetToRecord(platform::TRecordBuffer) override {}
  void dsOpenEngineCursor() override {}
};

TEST_F(ClientDatabase, CursorComponentFollowsItsDatabase) {
  auto* ds = platform::create<RecordingDataset>(nullptr);
  auto* cursor = platform::create<TnxCursor>(ds);
  cursor->SetName(u"cr");
  EXPECT_EQ(nxtest::clientErrorMessage([&] { cursor->Open(); }),
            u"DazavAV: cr: DataSet cannot open its database [no error code]");
  TnxDatabase* db = kit.Database();
  cursor->SetDatabase(db);
  EXPECT_EQ(db->DataSetCount(), 1);
  EXPECT_EQ(db->DataSets(0), ds);
  cursor->Open();
  EXPECT_TRUE(db->Active());
  EXPECT_TRUE(kit.session->Active());
  db->Close();
  EXPECT_FALSE(cursor->Active());
  EXPECT_EQ(ds->shutdowns, 1);
  kit.Free(db);
  EXPECT_EQ(cursor->Database(), nullptr);
  platform::TObject::free(cursor);
  platform::TObject::free(ds);
}

}  // namespace

namespace {

TEST_F(ClientDatabase, TablesNeedingPackComeFromTheEngineExtension) {
  TnxDatabase* db = kit.Database(u"nxDatabase1");
  platform::TStringList list;
  EXPECT_EQ(nxtest::clientErrorMessage([&] { db->GetTablesNeedingPack(&list); }),
            u"DazavAV: nxDatabase1: This component must be started when performing this operation. [no error code]");
  db->Open();
  // The in-process engine database answers the extension; no table of a
  // fresh folder needs a pack, and the list is cleared.
  list.add(u"stale");
  db->GetTablesNeedingPack(&list);
  EXPECT_EQ(list.count(), 0);
}

TEST_F(ClientDatabase, ClosingInactiveLocalDatabasesClosesIdleImplicitOnes) {
  kit.session->Open();
  ASSERT_EQ(kit.session->AddAliasEx(u"Data", u"/data", true), 0u);
  TnxDatabase* implicit = kit.session->OpenDatabase(u"Data");
  TnxDatabase* own = kit.Database();
  own->Open();
  kit.session->CloseInactiveFolders();
  EXPECT_FALSE(implicit->Active());
  EXPECT_TRUE(own->Active());
}

}  // namespace
