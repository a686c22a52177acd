#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "nxExpectCode.h"
#include "nxTestWatchdog.h"
#include "nxllStreams.h"
#include "nxseJournalEngine.h"
#include "nxsrFileHandling.h"
#include "nxsrServerEngineTestSupport.h"
#include "plOs.h"
#include "plString.h"

namespace {

using nxtest::ServerEngineFixture;
using platform::toUtf8;

// Gives the tests the engine's sizing and its stream parts.
class ProbeEngine : public TnxServerEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxServerEngine::TnxServerEngine;
  TnxServerEngineSizing Sizing() const { return seComputeSizing(); }
  // The engine's stream with the format version and journal class name
  // replaced.
  void SaveWith(TnxWriter& aWriter, std::int32_t aVersion, const nxString& aJournalClass,
                const std::vector<nxString>& aOptions) {
    TnxBaseServerEngine::SaveSettingsToStream(aWriter);
    aWriter.WriteInteger(aVersion);
    aWriter.WriteString(u"Streamed");
    aWriter.WriteInteger(std::int32_t{77});
    aWriter.WriteInteger(std::int32_t{3});
    aWriter.WriteString(u"/data");
    aWriter.WriteString(aJournalClass);
    aWriter.WriteListBegin();
    for (const nxString& option : aOptions) aWriter.WriteString(option);
    aWriter.WriteListEnd();
  }
};
PL_CLASS_INFO_IMPL(ProbeEngine, TnxServerEngine, "ProbeEngine", nullptr)

// A registered class that is no journal engine.
class NotAJournal : public TnxObject {
  PL_CLASS_INFO_DECL()
};
PL_CLASS_INFO_IMPL(NotAJournal, TnxObject, "NotAJournal", nullptr)

struct NotAJournalRegistered {
  NotAJournalRegistered() { platform::registerClass(NotAJournal::staticClassInfo()); }
  ~NotAJournalRegistered() { platform::unregisterClass(NotAJournal::staticClassInfo()); }
};

// Catches a component exception and answers its text ("" when none).
template <class F>
std::string raisedText(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

constexpr const char* kMustBeInactive = "This component must be inactive when performing this operation.";

// ---- Sizing ------------------------------------------------------------------------

TEST(ServerEngineSizing, CacheBudgetFollowsTheMachinesMemoryUnlessSet) {
  ServerEngineFixture fixture;
  struct Case {
    std::uint64_t memoryMB;
    std::int32_t maxRAM;
    std::int32_t budget;
  } cases[] = {
      {4096, -1, 2048}, {8192, -1, 6144}, {16384, -1, 13108}, {8192, 0, 6144}, {8192, 500, 500}, {1024, 1, 1},
  };
  for (const Case& c : cases) {
    nxtest::fakeTotalMemoryMB() = c.memoryMB;
    auto* engine = fixture.Engine<ProbeEngine>();
    engine->SetMaxRAM(c.maxRAM);
    EXPECT_EQ(engine->Sizing().MaxRAM, c.budget) << c.memoryMB << " MB, MaxRAM " << c.maxRAM;
  }
}

TEST(ServerEngineSizing, TemporaryStorageIsTheSmallestThirdOfSpaceAndFileSize) {
  ServerEngineFixture fixture;
  constexpr std::uint64_t MB = 1048576;
  struct Case {
    std::int32_t maxRAM;
    std::uint64_t freeBytes;
    const char* fsType;
    std::int32_t size;
  } cases[] = {
      {16, 3000 * MB, "ext4", 160},       // 10 x budget
      {500, 300 * MB, "ext4", 100},       // free space div 3 MB
      {1000, 100000 * MB, "vfat", 1365},  // largest file (4 GB - 2) div 3 MB
      {16, 2 * MB, "vfat", 0},            // less than 3 MB free
  };
  for (const Case& c : cases) {
    fixture.Fs().setFreeSpace(c.freeBytes);
    fixture.Fs().setFileSystemType(c.fsType);
    auto* engine = fixture.Engine<ProbeEngine>();
    engine->SetMaxRAM(c.maxRAM);
    EXPECT_EQ(engine->Sizing().TempStoreSize, c.size) << c.maxRAM << " " << c.freeBytes << " " << c.fsType;
  }
  // A size that is set is taken as it is; a failing free-space probe gives 0.
  auto* engine = fixture.Engine<ProbeEngine>();
  engine->SetTempStoreSize(7);
  EXPECT_EQ(engine->Sizing().TempStoreSize, 7);
  fixture.Fs().setFreeSpace(0, EIO);
  engine = fixture.Engine<ProbeEngine>();
  engine->SetMaxRAM(16);
  EXPECT_EQ(engine->Sizing().TempStoreSize, 0);
}

TEST(ServerEngineSizing, BlankTempStorePathUsesTheTemporaryFolder) {
  ServerEngineFixture fixture;
  auto* engine = fixture.Engine<ProbeEngine>();
  engine->SetTempStorePath(u" \t ");
  EXPECT_EQ(engine->Sizing().TempFolder, nxTempFolder());
  engine->SetTempStorePath(u"  /data\n");
  EXPECT_EQ(engine->Sizing().TempFolder, u"/data");
}

TEST(ServerEngineSizing, TheBufferManagerGetsTheBudgetUnderItsOwnCapAndTheSize) {
  ServerEngineFixture fixture;
  struct Case {
    std::uint64_t memoryMB;
    std::int32_t maxRAM;
    std::int32_t tempStoreSize;
    std::int32_t cached;
    const char* tempStore;
  } cases[] = {{8192, 500, 4, 500, "TnxChunkedTempStorage"},
               {8192, 5000, 0, 1536, "TnxNullTempStorage"},
               {1000, 900, 4, 800, "TnxChunkedTempStorage"}};
  for (const Case& c : cases) {
    nxtest::fakeTotalMemoryMB() = c.memoryMB;
    TnxServerEngine* engine = fixture.Engine();
    engine->SetMaxRAM(c.maxRAM);
    engine->SetTempStoreSize(c.tempStoreSize);
    EXPECT_EQ(engine->BufferManager(), nullptr);
    engine->SetState(nxsStopped);
    ASSERT_NE(engine->BufferManager(), nullptr);
    EXPECT_EQ(engine->BufferManager()->MaxRAM(), c.cached) << c.memoryMB << " " << c.maxRAM;
    EXPECT_EQ(engine->BufferManager()->TempStore()->classInfo().name, c.tempStore);
    engine->SetActive(false);
    EXPECT_EQ(engine->BufferManager(), nullptr);
  }
}

TEST(ServerEngineSizing, AStartThatCannotMakeTheTemporaryStorageLeavesNothingBehind) {
  ServerEngineFixture fixture;
  TnxServerEngine* engine = fixture.Engine();
  engine->SetMaxRAM(16);
  engine->SetTempStoreSize(4);
  fixture.Fs().failNext(platform::FaultFileSystem::Op::open, 1, ENOSPC);  // the storage's unnamed file
  EXPECT_THROW(engine->SetActive(true), EnxBaseException);
  // The failed start's debug information reports the rows of an unused
  // cache, which opens storages of its own after the failed one.
  EXPECT_GE(fixture.Fs().operationCount(platform::FaultFileSystem::Op::open), 1u);
  EXPECT_EQ(engine->State(), nxsInactive);
  EXPECT_EQ(engine->BufferManager(), nullptr);
  engine->SetActive(true);
  EXPECT_EQ(engine->State(), nxsStarted);
}

// ---- Log-in and settings -----------------------------------------------------------

TEST(ServerEngineSessions, OpenNeedsAStartedEngineAndAcceptsAnyUserUnlessSecure) {
  ServerEngineFixture fixture;
  TnxServerEngine* engine = fixture.Engine();
  TnxAbstractSession* session = nullptr;
  EXPECT_NE(raisedText([&] { engine->SessionOpen(session, u"u", u"p", u"", 0); })
                .find("This component must be started when performing this operation."),
            std::string::npos);
  engine->SetState(nxsStopped);
  EXPECT_NE(raisedText([&] { engine->SessionOpen(session, u"u", u"p", u"", 0); }).find("must be started"),
            std::string::npos);
  engine->SetActive(true);

  for (const char16_t* user : {u"", u"anybody", u"admin"}) {
    ASSERT_EQ(engine->SessionOpenEx(session, user, u"whatever", u"here", 0, 47000), 0);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->UserName(), user);
    EXPECT_EQ(session->ClientVersion(), 47000);
    EXPECT_NE(dynamic_cast<TnxServerSession*>(session), nullptr);
  }
  EXPECT_EQ(engine->SessionCount(), 3);
  engine->SetActive(false);
  EXPECT_EQ(engine->SessionCount(), 0);

  TnxServerEngineOptions secure;
  secure.include(seoIsSecure);
  engine->SetOptions(secure);
  engine->SetActive(true);
  session = reinterpret_cast<TnxAbstractSession*>(16);
  EXPECT_EQ(engine->SessionOpen(session, u"admin", u"secret", u"", 0), 10036);
  EXPECT_EQ(session, nullptr);
  EXPECT_EQ(engine->SessionCount(), 0);
}

TEST(ServerEngineSettings, ChangeOnlyWhileInactive) {
  ServerEngineFixture fixture;
  TnxServerEngine* engine = fixture.Engine();
  std::function<void()> setters[] = {
      [&] { engine->SetMaxRAM(12); },
      [&] { engine->SetTempStorePath(u"/data"); },
      [&] { engine->SetTempStoreSize(3); },
      [&] { engine->SetServerName(u"Other"); },
      [&] { engine->SetOptions({seoReadOnly}); },
      [&] { engine->SetTableExtension(u"nx2"); },
      [&] { engine->SetAliasHandler(nullptr); },
      [&] { engine->SetSqlEngine(nullptr); },
  };
  engine->SetMaxRAM(16);
  engine->SetTempStoreSize(0);
  for (TnxState state : {nxsStopped, nxsStarted}) {
    engine->SetState(state);
    for (auto& set : setters) EXPECT_NE(raisedText(set).find(kMustBeInactive), std::string::npos) << int(state);
  }
  EXPECT_EQ(engine->TableExtension(), u"nx1");
  EXPECT_NE(engine->AliasHandler(), nullptr);
  engine->SetActive(false);
  for (auto& set : setters) EXPECT_EQ(raisedText(set), "");
  EXPECT_EQ(engine->TableExtension(), u"nx2");
}

TEST(ServerEngineSettings, TableExtensionFollowsTheIdentifierRules) {
  ServerEngineFixture fixture;
  TnxServerEngine* engine = fixture.Engine();
  struct Case {
    const char16_t* value;
    const char* reason;
  } cases[] = {
      {u"", " Empty string is not allowed."},
      {u" nx", " Leading/trailing spaces are not allowed."},
      {u"n|x", "is not a valid character."},
  };
  for (const Case& c : cases) {
    nxtest::expectCode([&] { engine->SetTableExtension(c.value); }, 10042);
    EXPECT_NE(raisedText([&] { engine->SetTableExtension(c.value); }).find(c.reason), std::string::npos)
        << toUtf8(c.value);
    EXPECT_EQ(engine->TableExtension(), u"nx1");
  }
  engine->SetTableExtension(u"dat");
  EXPECT_EQ(engine->TableExtension(), u"dat");
}

// ---- Linked components -------------------------------------------------------------

std::vector<std::string>& sqlLog() {
  static std::vector<std::string> log;
  return log;
}

class RecordingSqlEngine : public TnxBaseSqlEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseSqlEngine::TnxBaseSqlEngine;
  TnxServerEngine* engine = nullptr;
  void PrepareShutdown() override {
    sqlLog().push_back("PrepareShutdown sessions=" + std::to_string(engine->SessionCount()));
  }
  TnxResult StatementAlloc(TnxAbstractDatabase*, TnxAbstractStatement*& aStatement, TnxWord32) override {
    aStatement = nullptr;
    return 12289;
  }

 protected:
  void scStarting() override {
    sqlLog().push_back(std::string("starting, engine ") + (engine->State() == nxsStarted ? "started" : "not started"));
  }
};
PL_CLASS_INFO_IMPL(RecordingSqlEngine, TnxBaseSqlEngine, "RecordingSqlEngine", nullptr)

TEST(ServerEngineComponents, TheSqlEngineStartsFirstAndHearsOfTheShutdownBeforeTheSessionsGo) {
  ServerEngineFixture fixture;
  sqlLog().clear();
  TnxServerEngine* engine = fixture.Engine();
  engine->SetMaxRAM(16);
  engine->SetTempStoreSize(0);
  auto* sql = platform::create<RecordingSqlEngine>(nullptr);
  sql->engine = engine;
  engine->SetSqlEngine(sql);
  EXPECT_TRUE(engine->DependsOn(sql));
  EXPECT_FALSE(engine->DependsOn(nullptr));

  engine->SetActive(true);
  EXPECT_EQ(sql->State(), nxsStarted);
  TnxAbstractSession* session = nullptr;
  ASSERT_EQ(engine->SessionOpen(session, u"u", u"p", u"", 0), 0);
  engine->SetState(nxsStopped);
  EXPECT_EQ(sqlLog(), (std::vector<std::string>{"starting, engine not started", "PrepareShutdown sessions=1"}));
  EXPECT_EQ(engine->SessionCount(), 0);

  // Freeing the SQL engine makes the engine inactive and clears the link.
  engine->SetActive(true);
  platform::TObject::free(sql);
  EXPECT_EQ(engine->SqlEngine(), nullptr);
  EXPECT_EQ(engine->State(), nxsInactive);
  EXPECT_FALSE(engine->CleanupThreadRunning());
}

TEST(ServerEngineComponents, TheAliasHandlerIsNamedAfterTheEngineAndGoingAwayClearsIt) {
  ServerEngineFixture fixture;
  TnxServerEngine* engine = fixture.Engine();
  TnxBaseAliasHandler* handler = engine->AliasHandler();
  ASSERT_NE(dynamic_cast<TnxSimpleAliasHandler*>(handler), nullptr);
  EXPECT_EQ(handler->DisplayName(), u"Aliases");
  engine->SetName(u"Engine1");
  EXPECT_EQ(handler->Name(), u"Engine1_AliasHandler");
  engine->SetName(u"");
  EXPECT_EQ(handler->Name(), u"");

  auto* other = platform::create<TnxSimpleAliasHandler>(nullptr);
  engine->SetAliasHandler(other);
  platform::TObject::free(handler);  // no longer the engine's
  EXPECT_EQ(engine->AliasHandler(), other);
  EXPECT_EQ(other->DisplayName(), u"Aliases");

  engine->SetMaxRAM(16);
  engine->SetTempStoreSize(0);
  engine->SetActive(true);
  platform::TObject::free(other);
  EXPECT_EQ(engine->AliasHandler(), nullptr);
  EXPECT_EQ(engine->State(), nxsInactive);
}

TEST(ServerEngineComponents, InstancesByName) {
  ServerEngineFixture fixture;
  TnxServerEngine* engine = fixture.Started();
  void* out = &out;
  EXPECT_EQ(engine->CreateInstanceFor(nullptr, u"<Registry>", {}, nullptr, {}, &out), nxE_NOTIMPL);
  EXPECT_EQ(out, nullptr);
  out = &out;
  EXPECT_EQ(engine->CreateInstanceFor(nullptr, u"<AliasHandler>", {}, nullptr, {}, &out), nxE_NOTIMPL);
  EXPECT_EQ(out, nullptr);
}

// ---- Configuration -----------------------------------------------------------------

TEST(ServerEngineConfiguration, SaveThenLoadRestoresTheSettingsThroughTheMask) {
  ServerEngineFixture fixture;
  TnxServerEngine* saved = fixture.Engine();
  saved->SetServerName(u"Srv");
  saved->SetMaxRAM(300);
  saved->SetTempStorePath(u"/data");
  saved->SetTempStoreSize(5);
  saved->SetOptions({seoReadOnly, seoIsSecure, seoKeepSessionStats});
  nxtest::MapConfiguration config;
  config.values[u"OptionsCount"] = platform::Variant(5);
  config.values[u"Options5"] = platform::Variant(u"seoInMemOnly");
  saved->SaveConfig(config);
  EXPECT_EQ(config.values[u"Options"].toInt32(), 1 | 32 | 256);
  EXPECT_EQ(config.values[u"OptionsCount"].toInt32(), 3);
  EXPECT_EQ(config.values[u"Options1"].toString(), u"seoReadOnly");
  EXPECT_EQ(config.values[u"Options3"].toString(), u"seoKeepSessionStats");
  EXPECT_EQ(config.values[u"Options5"].toString(), u"");
  EXPECT_EQ(config.values[u"NewOptionsLogic"].toInt32(), 1);
  EXPECT_EQ(config.values[u"MaxRAM"].toInt32(), 300);
  EXPECT_EQ(config.values[u"JournalEngineClass"].toString(), u"Tnx1xRollbackJournalEngine");
  EXPECT_EQ(config.values[u"ServerEngine Version"].toString(), saved->Version());

  // The numbered names disagree with the mask: the mask wins.
  config.values[u"Options1"] = platform::Variant(u"seoInMemOnly");
  TnxServerEngine* loaded = fixture.Engine();
  loaded->LoadConfig(config);
  EXPECT_EQ(loaded->ServerName(), u"Srv");
  EXPECT_EQ(loaded->MaxRAM(), 300);
  EXPECT_EQ(loaded->TempStorePath(), u"/data");
  EXPECT_EQ(loaded->TempStoreSize(), 5);
  EXPECT_TRUE((loaded->Options() == TnxServerEngineOptions{seoReadOnly, seoIsSecure, seoKeepSessionStats}));
}

TEST(ServerEngineConfiguration, NumberedOptionNamesLoadWithoutTheNewLogic) {
  ServerEngineFixture fixture;
  nxtest::MapConfiguration config;
  config.values[u"OptionsCount"] = platform::Variant(3);
  config.values[u"Options1"] = platform::Variant(u"SEOREADONLY");
  config.values[u"Options2"] = platform::Variant(u"seoNoSuchOption");
  config.values[u"Options3"] = platform::Variant(u"seoCloseInactiveTables");
  config.values[u"Options"] = platform::Variant(511);
  TnxServerEngine* engine = fixture.Engine();
  engine->SetOptions({seoInMemOnly});
  engine->LoadConfig(config);
  EXPECT_TRUE((engine->Options() == TnxServerEngineOptions{seoReadOnly, seoCloseInactiveTables}));
}

TEST(ServerEngineConfiguration, OnlyARegisteredJournalClassBecomesTheDefault) {
  ServerEngineFixture fixture;
  NotAJournalRegistered registered;
  TnxServerEngine* engine = fixture.Engine();
  struct Case {
    const char16_t* name;
    const char* expected;
  } cases[] = {
      {u"Tnx1xCommitJournalEngine", "Tnx1xCommitJournalEngine"},
      {u"NoSuchJournalEngine", "Tnx1xCommitJournalEngine"},
      {u"NotAJournal", "Tnx1xCommitJournalEngine"},
      {u"tnx1xjournalengine", "Tnx1xJournalEngine"},
  };
  for (const Case& c : cases) {
    nxtest::MapConfiguration config;
    config.values[u"JournalEngineClass"] = platform::Variant(c.name);
    engine->LoadConfig(config);
    EXPECT_EQ(nxGetDefaultJournalEngineClass()->name, c.expected) << toUtf8(c.name);
  }
  nxSetDefaultJournalEngineClass(&Tnx1xRollbackJournalEngine::staticClassInfo());
}

TEST(ServerEngineConfiguration, SettingsStreamRoundTripsAndRefusesOtherVersions) {
  ServerEngineFixture fixture;
  auto* saved = fixture.Engine<ProbeEngine>();
  saved->SetName(u"Engine");
  saved->SetServerName(u"Srv");
  saved->SetMaxRAM(321);
  saved->SetTempStoreSize(9);
  saved->SetTempStorePath(u"/data");
  saved->SetOptions({seoForceFailSafe, seoCloseAllWhenInactive});
  TnxMemoryStream stream;
  {
    TnxWriter writer(stream);
    saved->SaveSettingsToStream(writer);
  }
  auto* loaded = fixture.Engine<ProbeEngine>();
  loaded->SetName(u"Engine");
  stream.SetPosition(0);
  {
    TnxReader reader(stream);
    loaded->LoadSettingsFromStream(reader);
  }
  EXPECT_EQ(loaded->ServerName(), u"Srv");
  EXPECT_EQ(loaded->MaxRAM(), 321);
  EXPECT_EQ(loaded->TempStoreSize(), 9);
  EXPECT_EQ(loaded->TempStorePath(), u"/data");
  EXPECT_TRUE((loaded->Options() == TnxServerEngineOptions{seoForceFailSafe, seoCloseAllWhenInactive}));

  auto loadWith = [&](std::int32_t aVersion, const nxString& aJournal, const std::vector<nxString>& aOptions) {
    TnxMemoryStream s;
    {
      TnxWriter writer(s);
      saved->SaveWith(writer, aVersion, aJournal, aOptions);
    }
    s.SetPosition(0);
    TnxReader reader(s);
    loaded->LoadSettingsFromStream(reader);
  };
  nxtest::expectCode([&] { loadWith(2, u"Tnx1xJournalEngine", {}); }, 15498);
  EXPECT_THROW(loadWith(1, u"NoSuchJournalEngine", {}), platform::ClassNotFound);
  // A registered class that is no journal engine changes nothing.
  NotAJournalRegistered registered;
  loadWith(1, u"NotAJournal", {u"seoInMemOnly", u"seoUnknown", u"seoVerifyTableNames"});
  EXPECT_EQ(nxGetDefaultJournalEngineClass(), &Tnx1xRollbackJournalEngine::staticClassInfo());
  EXPECT_TRUE((loaded->Options() == TnxServerEngineOptions{seoInMemOnly, seoVerifyTableNames}));
  EXPECT_EQ(loaded->MaxRAM(), 77);
  loadWith(1, u"Tnx1xCommitJournalEngine", {});
  EXPECT_EQ(nxGetDefaultJournalEngineClass(), &Tnx1xCommitJournalEngine::staticClassInfo());
  nxSetDefaultJournalEngineClass(&Tnx1xRollbackJournalEngine::staticClassInfo());
}

TEST(ServerEngineConfiguration, SettingsListAndDisplayValuesInOrder) {
  ServerEngineFixture fixture;
  TnxServerEngine* engine = fixture.Engine();
  nxtest::VectorSettings settings;
  engine->GetConfigSettings(settings);
  std::vector<std::string> names;
  for (TnxBaseSetting* s : settings.items) names.push_back(toUtf8(s->Name()));
  EXPECT_EQ(names, (std::vector<std::string>{"Active", "EventLogEnabled", "ServerName", "MaxRam", "TempStoreSize",
                                             "TempStorePath", "JournalEngineClass", "Options", "ActiveOptions",
                                             "ServerEngine Version"}));
  EXPECT_EQ(settings.items[3]->Max().toInt32(), 131072);
  EXPECT_EQ(settings.items[3]->Min().toInt32(), -1);
  EXPECT_EQ(settings.items[2]->DefaultValue().toString(), u"DazavAV");
  EXPECT_EQ(settings.items[8]->_Label(), u"Active Options");
  EXPECT_EQ(settings.items[7]->SettingType(), nxstMultiOption);

  EXPECT_EQ(engine->GetDisplayOnlyValue(u"ActiveOptions"), u"SecureServer, NX_PROTECT_SERVER_ON_CRITICAL_ERROR");
  EXPECT_EQ(engine->GetDisplayOnlyValue(u"ServerEngine Version"), engine->Version());
}

TEST(ServerEngineStatistics, CaptionsAndValuesComeInOrder) {
  ServerEngineFixture fixture;
  TnxServerEngine* engine = fixture.Engine();
  engine->SetMaxRAM(16);
  engine->SetTempStoreSize(0);
  platform::TStringList captions, values;
  engine->GetStatsCaptions(captions);
  engine->GetStatsValues(values);
  EXPECT_EQ(captions.count(), values.count());
  const int sessions = captions.indexOf(u"Sessions");
  ASSERT_GE(sessions, 0);
  const char16_t* expected[] = {u"Sessions", u"Databases", u"Transaction Contexts", u"Cursors", u"Statements",
                                u"Executing Statements", u"Executed Statements", u"Active Folders",
                                u"Inactive Folders", u"Active Tables", u"Inactive Tables", u"AWE Edition"};
  for (int i = 0; i < 12; ++i) EXPECT_EQ(captions.strings(sessions + i), expected[i]);

  engine->SetActive(true);
  TnxAbstractSession* a = nullptr;
  TnxAbstractSession* b = nullptr;
  ASSERT_EQ(engine->SessionOpen(a, u"a", u"", u"", 0), 0);
  ASSERT_EQ(engine->SessionOpen(b, u"b", u"", u"", 0), 0);
  engine->seExecutedStatements.store(1234);
  platform::TStringList started;
  engine->GetStatsValues(started);
  EXPECT_EQ(started.count(), captions.count());
  EXPECT_EQ(started.strings(sessions), u"2");
  EXPECT_EQ(started.strings(sessions + 6), nxFormatInt64(1234));
  EXPECT_EQ(started.strings(sessions + 7), u"0");
  engine->SetState(nxsStopped);
  platform::TStringList stopped;
  engine->GetStatsValues(stopped);
  EXPECT_EQ(stopped.strings(sessions), u"0");
  EXPECT_EQ(stopped.strings(sessions + 6), u"0");
}

// The rows of an inactive engine are those its cache will have: with or
// without temporary storage, as its settings say.
TEST(ServerEngineStatistics, RowsBeforeAndAfterActivationAgreeForEveryTemporaryStorageSize) {
  struct Case {
    std::int32_t tempStoreSize;
    const char16_t* lastCaption;
  };
  for (const Case& c : {Case{0, u"Temporary Storage Used Size"}, Case{8, u"Temporary Storage Total Read"},
                        Case{-1, u"Temporary Storage Total Read"}}) {
    SCOPED_TRACE(c.tempStoreSize);
    ServerEngineFixture fixture;
    TnxServerEngine* engine = fixture.Engine();
    engine->SetMaxRAM(16);
    engine->SetTempStoreSize(c.tempStoreSize);
    platform::TStringList captions, values;
    engine->GetStatsCaptions(captions);
    engine->GetStatsValues(values);
    EXPECT_EQ(values.count(), captions.count());
    ASSERT_GT(captions.count(), 0);
    EXPECT_EQ(captions.strings(captions.count() - 1), c.lastCaption);
    engine->SetActive(true);
    platform::TStringList activeCaptions, activeValues;
    engine->GetStatsCaptions(activeCaptions);
    engine->GetStatsValues(activeValues);
    EXPECT_EQ(activeCaptions.count(), captions.count());
    EXPECT_EQ(activeValues.count(), captions.count());
    EXPECT_EQ(activeCaptions.strings(activeCaptions.count() - 1), c.lastCaption);
    engine->SetActive(false);
  }
}

// ---- Life cycle --------------------------------------------------------------------

std::vector<std::string>& freedSessions() {
  static std::vector<std::string> freed;
  return freed;
}

class RecordingSession : public TnxServerSession {
  PL_CLASS_INFO_DECL()
 public:
  using TnxServerSession::TnxServerSession;
  ~RecordingSession() override { freedSessions().push_back(toUtf8(UserName())); }
};
PL_CLASS_INFO_IMPL(RecordingSession, TnxServerSession, "RecordingSession", nullptr)

class RecordingEngine : public TnxServerEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxServerEngine::TnxServerEngine;

 protected:
  TnxSessionFactory seSessionClass() override {
    return [](TnxServerEngine* aEngine, TnxWord32 aTimeout, const nxString& aUserName, const nxString& aPassword,
              const nxString& aConnectedFrom, std::int32_t aClientVersion) -> TnxServerSession* {
      return platform::create<RecordingSession>(aEngine, aTimeout, aUserName, aPassword, aConnectedFrom,
                                                aClientVersion);
    };
  }
};
PL_CLASS_INFO_IMPL(RecordingEngine, TnxServerEngine, "RecordingEngine", nullptr)

TEST(ServerEngineLifeCycle, StartStopStartFreesSessionsNewestFirstAndResetsTheCounters) {
  nxtest::Watchdog watchdog;
  ServerEngineFixture fixture;
  freedSessions().clear();
  auto* engine = fixture.Engine<RecordingEngine>();
  engine->SetMaxRAM(16);
  engine->SetTempStoreSize(0);
  for (int round = 0; round < 2; ++round) {
    engine->SetActive(true);
    EXPECT_TRUE(engine->CleanupThreadRunning());
    for (const char16_t* user : {u"first", u"second", u"third"}) {
      TnxAbstractSession* session = nullptr;
      ASSERT_EQ(engine->SessionOpen(session, user, u"", u"", 0), 0);
    }
    EXPECT_EQ(engine->SessionCount(), 3);
    engine->seExecutedStatements.store(5);
    // Let the cleanup thread tick while sessions are open.
    platform::sleepMs(1100);
    if (round == 0)
      engine->SetState(nxsStopped);
    else
      engine->SetActive(false);
    EXPECT_FALSE(engine->CleanupThreadRunning());
    EXPECT_EQ(freedSessions(), (std::vector<std::string>{"third", "second", "first"}));
    freedSessions().clear();
    EXPECT_EQ(engine->SessionCount(), 0);
    EXPECT_EQ(engine->DatabaseCount(), 0);
    EXPECT_EQ(engine->TransContextCount(), 0);
    EXPECT_EQ(engine->CursorCount(), 0);
    EXPECT_EQ(engine->StatementCount(), 0);
    EXPECT_EQ(engine->FolderCount(), 0);
    EXPECT_EQ(engine->TableCount(), 0);
    EXPECT_EQ(engine->seExecutedStatements.load(), 0);
  }
  EXPECT_EQ(engine->State(), nxsInactive);
}

TEST(ServerEngineLifeCycle, EachEngineHasItsOwnGuid) {
  ServerEngineFixture fixture;
  TnxServerEngine* a = fixture.Engine();
  TnxServerEngine* b = fixture.Engine();
  EXPECT_NE(a->ServerGuid(), platform::Guid{});
  EXPECT_NE(a->ServerGuid(), b->ServerGuid());
  EXPECT_EQ(a->ServerGuid().D3 >> 12, 4);
}

}  // namespace
