#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "nxExpectCode.h"
#include "nxllStreams.h"
#include "nxsdDataDictionary.h"
#include "nxsrIndexEngineBase.h"
#include "nxsrServerEngineTestSupport.h"
#include "plString.h"

namespace {

using nxtest::ServerEngineFixture;
using platform::toUtf8;

// A started engine and one session of it.
class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override { Open(fixture_.Started()); }
  void Open(TnxServerEngine* aEngine) {
    engine_ = aEngine;
    TnxAbstractSession* session = nullptr;
    ASSERT_EQ(engine_->SessionOpen(session, u"user", u"pw", u"test", 0), 0);
    session_ = static_cast<TnxServerSession*>(session);
  }
  std::vector<std::string> Aliases() {
    std::vector<TnxOwned<TnxAliasDescriptor>> list;
    EXPECT_EQ(session_->AliasGetList(list), 0);
    std::vector<std::string> result;
    for (auto& d : list) result.push_back(toUtf8(d->adAlias) + "=" + toUtf8(d->adPath));
    return result;
  }
  bool IsFolder(const char* aPath) {
    platform::PathInfo info;
    return fixture_.Fs().pathInfo(aPath, info) == 0 && info.isDirectory;
  }

  ServerEngineFixture fixture_;
  TnxServerEngine* engine_ = nullptr;
  TnxServerSession* session_ = nullptr;
};

// Records the notifications that reach it.
class NotificationRecorder : public TnxComponent {
  PL_CLASS_INFO_DECL()
 public:
  using TnxComponent::TnxComponent;
  void ProcessNotification(TnxComponent* aSender, TnxNotifyOp aOp, void* aParam) override {
    ops.push_back(aOp);
    TnxComponent::ProcessNotification(aSender, aOp, aParam);
  }
  std::vector<int> ops;
};
PL_CLASS_INFO_IMPL(NotificationRecorder, TnxComponent, "NotificationRecorder", nullptr)

// ---- Aliases -----------------------------------------------------------------------

TEST_F(SessionTest, AliasOperationsFollowTheNameAndListRules) {
  ASSERT_EQ(session_->AliasAdd(u"Data", u"/data", false), 0);
  struct Case {
    const char* what;
    std::function<TnxResult()> call;
    TnxResult code;
  } cases[] = {
      {"add empty name", [&] { return session_->AliasAdd(u"", u"/data", false); }, 10067},
      {"add bad name", [&] { return session_->AliasAdd(u"a|b", u"/data", false); }, 10067},
      {"add other case", [&] { return session_->AliasAdd(u"DATA", u"/data", false); }, 10009},
      {"delete empty name", [&] { return session_->AliasDelete(u""); }, 10014},
      {"delete absent", [&] { return session_->AliasDelete(u"Nothing"); }, 10014},
      {"modify empty name", [&] { return session_->AliasModify(u"", u"X", u"", false); }, 10014},
      {"modify to other case", [&] { return session_->AliasModify(u"Data", u"DATA", u"", false); }, 10009},
      {"modify absent", [&] { return session_->AliasModify(u"Nothing", u"", u"/data", false); }, 10014},
      {"get path of empty name", [] { return TnxResult{10014}; }, 10014},
  };
  for (const Case& c : cases) EXPECT_EQ(c.call(), c.code) << c.what;
  nxString path = u"stale";
  EXPECT_EQ(session_->AliasGetPath(u"", path), 10014);
  EXPECT_EQ(path, u"");
  EXPECT_EQ(session_->AliasGetPath(u"dAtA", path), 0);
  EXPECT_EQ(path, u"/data");
  EXPECT_EQ(Aliases(), (std::vector<std::string>{"Data=/data"}));

  // An empty new path keeps the old one; an empty new name keeps the name.
  EXPECT_EQ(session_->AliasModify(u"Data", u"Renamed", u"", false), 0);
  EXPECT_EQ(Aliases(), (std::vector<std::string>{"Renamed=/data"}));
  EXPECT_EQ(session_->AliasModify(u"Renamed", u"", u"/tmp", false), 0);
  EXPECT_EQ(session_->AliasModify(u"renamed", u"renamed", u"", false), 0);
  EXPECT_EQ(Aliases(), (std::vector<std::string>{"Renamed=/tmp"}));
  EXPECT_EQ(session_->AliasDelete(u"RENAMED"), 0);
  EXPECT_EQ(Aliases(), std::vector<std::string>{});
}

TEST_F(SessionTest, EnforcedPathsAreMadeWithTheirParents) {
  EXPECT_EQ(session_->AliasAdd(u"Deep", u"/data/a/b/c", true), 0);
  EXPECT_TRUE(IsFolder("/data/a/b"));
  EXPECT_TRUE(IsFolder("/data/a/b/c"));
  EXPECT_EQ(session_->AliasAdd(u"Loose", u"/data/x/y", false), 0);
  EXPECT_FALSE(IsFolder("/data/x"));

  fixture_.Fs().putFile("/data/file", {1, 2, 3});
  EXPECT_EQ(session_->AliasAdd(u"Blocked", u"/data/file/sub", true), 9219);
  EXPECT_EQ(session_->AliasModify(u"Loose", u"", u"/data/file/sub", true), 9219);
  // A failed rename keeps the alias.
  EXPECT_EQ(session_->AliasModify(u"Loose", u"Moved", u"/data/file/sub", true), 9219);
  EXPECT_EQ(Aliases(), (std::vector<std::string>{"Deep=/data/a/b/c", "Loose=/data/x/y"}));
  EXPECT_EQ(session_->AliasModify(u"Loose", u"", u"/data/m/n", true), 0);
  EXPECT_TRUE(IsFolder("/data/m/n"));
  EXPECT_EQ(Aliases(), (std::vector<std::string>{"Deep=/data/a/b/c", "Loose=/data/m/n"}));
}

TEST_F(SessionTest, AliasListLeavesOutNamesTheRulesRefuse) {
  TnxBaseAliasHandler* handler = engine_->AliasHandler();
  ASSERT_EQ(handler->Add(u"good", u"/data", false), 0);
  ASSERT_EQ(handler->Add(u"bad|name", u"/data", false), 0);
  ASSERT_EQ(handler->Add(u" padded", u"/data", false), 0);
  ASSERT_EQ(handler->Add(u"Also", u"/tmp", false), 0);
  EXPECT_EQ(Aliases(), (std::vector<std::string>{"Also=/tmp", "good=/data"}));
}

TEST_F(SessionTest, AliasChangesAreBroadcastFromTheHandler) {
  auto* recorder = platform::create<NotificationRecorder>(nullptr);
  engine_->AliasHandler()->LinkDependent(recorder);
  EXPECT_EQ(session_->AliasAdd(u"One", u"/data", false), 0);
  EXPECT_EQ(session_->AliasAdd(u"One", u"/data", false), 10009);
  EXPECT_EQ(session_->AliasDelete(u"Two"), 10014);
  nxString path;
  EXPECT_EQ(session_->AliasGetPath(u"One", path), 0);
  EXPECT_EQ(std::count(recorder->ops.begin(), recorder->ops.end(), 8), 3);
  platform::TObject::free(recorder);
}

TEST(ServerSessionAliases, WithoutAHandlerEveryAliasOperationAnswers12289) {
  ServerEngineFixture fixture;
  TnxServerEngine* engine = fixture.Engine();
  engine->SetAliasHandler(nullptr);
  engine->SetMaxRAM(16);
  engine->SetTempStoreSize(0);
  engine->SetActive(true);
  TnxAbstractSession* opened = nullptr;
  ASSERT_EQ(engine->SessionOpen(opened, u"u", u"", u"", 0), 0);
  auto* session = static_cast<TnxServerSession*>(opened);
  nxString path;
  std::vector<TnxOwned<TnxAliasDescriptor>> list;
  struct Case {
    const char16_t* operation;
    std::function<TnxResult()> call;
  } cases[] = {
      {u"AliasAdd", [&] { return session->AliasAdd(u"A", u"/data", false); }},
      {u"AliasDelete", [&] { return session->AliasDelete(u"A"); }},
      {u"AliasModify", [&] { return session->AliasModify(u"A", u"B", u"", false); }},
      {u"AliasGetList", [&] { return session->AliasGetList(list); }},
      {u"AliasGetPath", [&] { return session->AliasGetPath(u"A", path); }},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.call(), 12289) << toUtf8(c.operation);
    nxtest::expectCode([] { throw EnxBaseException(12289); }, 12289,
                       nxString(c.operation) + u" requires an AliasHandler");
  }
  // The name rules come first.
  EXPECT_EQ(session->AliasAdd(u"", u"/data", false), 10067);
}

// ---- The alias handler's configuration ---------------------------------------------

TEST(ServerAliasHandler, LoaderReportsBadNamesAndMissingFoldersLineByLine) {
  ServerEngineFixture fixture;
  auto* handler = platform::create<TnxSimpleAliasHandler>(nullptr);
  ASSERT_EQ(handler->Add(u"Old", u"/data", false), 0);
  nxtest::ErrorsConfiguration server;
  nxtest::MapConfiguration config(&server);
  config.values[u"Aliases"] =
      platform::Variant(u"Good=/data;bad|x=/data;Missing=/nowhere;Mem=#memory;Empty=; sp=/tmp");
  handler->LoadConfig(config);
  EXPECT_EQ(toUtf8(server.Errors()),
            "ERROR: AliasName \"bad|x\" is not valid. Alias has not been activated in the server engine.\r\n"
            "WARNING: Database folder for \"Missing\" does not exist: \"/nowhere\r\n"
            "ERROR: AliasName \" sp\" is not valid. Alias has not been activated in the server engine.\r\n");
  std::vector<TnxOwned<TnxAliasDescriptor>> list;
  ASSERT_EQ(handler->GetList(list), 0);
  std::vector<std::string> names;
  for (auto& d : list) names.push_back(toUtf8(d->adAlias) + "=" + toUtf8(d->adPath));
  EXPECT_EQ(names, (std::vector<std::string>{"Empty=", "Good=/data", "Mem=#memory", "Missing=/nowhere"}));

  nxtest::MapConfiguration saved;
  handler->SaveConfig(saved);
  EXPECT_EQ(toUtf8(saved.values[u"Aliases"].toString()), "Empty=;Good=/data;Mem=#memory;Missing=/nowhere");

  nxtest::VectorSettings settings;
  handler->GetConfigSettings(settings);
  ASSERT_EQ(settings.items.size(), 1u);
  EXPECT_EQ(settings.items[0]->Name(), u"Aliases");
  EXPECT_EQ(settings.items[0]->SettingType(), nxstAliases);
  platform::TObject::free(handler);
}

TEST(ServerAliasHandler, SettingsStreamWritesTheAliasesBackwardAndReadsThemBack) {
  ServerEngineFixture fixture;
  auto* handler = platform::create<TnxSimpleAliasHandler>(nullptr);
  handler->SetName(u"Handler");
  ASSERT_EQ(handler->Add(u"B", u"/data", false), 0);
  ASSERT_EQ(handler->Add(u"A", u"/tmp", false), 0);
  TnxMemoryStream stream;
  {
    TnxWriter writer(stream);
    handler->SaveSettingsToStream(writer);
  }
  stream.SetPosition(0);
  {
    TnxReader reader(stream);
    EXPECT_EQ(reader.ReadInteger(), 1);
    EXPECT_EQ(reader.ReadString(), u"Handler");
    EXPECT_EQ(reader.ReadInteger(), 1);
    reader.ReadListBegin();
    std::vector<std::string> pairs;
    while (!reader.EndOfList()) pairs.push_back(toUtf8(reader.ReadString()));
    EXPECT_EQ(pairs, (std::vector<std::string>{"B", "/data", "A", "/tmp"}));
  }
  auto* loaded = platform::create<TnxSimpleAliasHandler>(nullptr);
  loaded->SetName(u"Handler");
  ASSERT_EQ(loaded->Add(u"Gone", u"/tmp", false), 0);
  stream.SetPosition(0);
  {
    TnxReader reader(stream);
    loaded->LoadSettingsFromStream(reader);
  }
  nxString path;
  EXPECT_EQ(loaded->GetPath(u"a", path), 0);
  EXPECT_EQ(path, u"/tmp");
  EXPECT_TRUE(loaded->IsAlias(u"B"));
  EXPECT_FALSE(loaded->IsAlias(u"Gone"));

  TnxMemoryStream bad;
  {
    TnxWriter writer(bad);
    writer.WriteInteger(std::int32_t{1});
    writer.WriteString(u"Handler");
    writer.WriteInteger(std::int32_t{2});
    writer.WriteListBegin();
    writer.WriteListEnd();
  }
  bad.SetPosition(0);
  nxtest::expectCode(
      [&] {
        TnxReader reader(bad);
        loaded->LoadSettingsFromStream(reader);
      },
      15498);
  platform::TObject::free(handler);
  platform::TObject::free(loaded);
}

// ---- Passwords, locale, class lists ------------------------------------------------

TEST_F(SessionTest, PasswordsAreUniqueByExactText) {
  struct Step {
    const char* what;
    std::function<TnxResult()> call;
    TnxResult code;
  } steps[] = {
      {"add empty", [&] { return session_->PasswordAdd(u""); }, 9986},
      {"add", [&] { return session_->PasswordAdd(u"secret"); }, 0},
      {"add twice", [&] { return session_->PasswordAdd(u"secret"); }, 10009},
      {"add other case", [&] { return session_->PasswordAdd(u"SECRET"); }, 0},
      {"remove empty", [&] { return session_->PasswordRemove(u""); }, 9986},
      {"remove never added", [&] { return session_->PasswordRemove(u"other"); }, 8712},
      {"remove", [&] { return session_->PasswordRemove(u"secret"); }, 0},
      {"remove again", [&] { return session_->PasswordRemove(u"secret"); }, 8712},
  };
  for (const Step& s : steps) EXPECT_EQ(s.call(), s.code) << s.what;
  EXPECT_EQ(session_->Passwords(), std::vector<nxString>{u"SECRET"});
  EXPECT_EQ(session_->ssBuildPasswords(u"", u"t", u"given"), (std::vector<nxString>{u"SECRET", u"given"}));
  EXPECT_EQ(session_->ssBuildPasswords(u"", u"t", u""), std::vector<nxString>{u"SECRET"});
  EXPECT_EQ(session_->PasswordRemoveAll(), 0);
  EXPECT_TRUE(session_->Passwords().empty());
}

TEST(ServerSessionLocale, DefaultLiteralLocaleComesFromTheOptionOnce) {
  ServerEngineFixture fixture;
  TnxServerEngine* engine = fixture.Started();
  struct Case {
    const char16_t* value;  // nullptr: option absent
    std::uint32_t locale;   // 0: no descriptor
  } cases[] = {{u"1041", 1041}, {u"0", 0}, {u"x", 0}, {u"-5", 0}, {nullptr, 0}};
  for (const Case& c : cases) {
    TnxAbstractSession* session = nullptr;
    ASSERT_EQ(engine->SessionOpen(session, u"u", u"", u"", 0), 0);
    if (c.value) {
      ASSERT_EQ(session->OptionSet(u"SQL_DEFAULT_LOCALE", c.value), 0);
    }
    TnxLocaleDescriptor* first = session->ClientDefaultLocale();
    const std::string what = c.value ? toUtf8(c.value) : "absent";
    if (c.locale == 0) {
      EXPECT_EQ(first, nullptr) << what;
    } else {
      ASSERT_NE(first, nullptr);
      EXPECT_EQ(first->Locale(), c.locale);
      EXPECT_TRUE(first->IsDefaultStringLiteralLocale());
    }
    // Looked at once: a later option does not change the answer.
    ASSERT_EQ(session->OptionSet(u"SQL_DEFAULT_LOCALE", u"1033"), 0);
    EXPECT_EQ(session->ClientDefaultLocale(), first);
    TnxAbstractServerObject::Free(session);
  }
}

TEST_F(SessionTest, RegisteredClassListsLeaveOutCacheIndexEngines) {
  platform::TStringList first, second;
  first.add(u"left over");
  ASSERT_EQ(session_->GetRegisteredClassList(setIndexEngines, first), 0);
  ASSERT_EQ(session_->GetRegisteredClassList(setIndexEngines, second), 0);
  EXPECT_GT(first.count(), 0);
  EXPECT_TRUE(first.equals(second));
  for (int i = 0; i < first.count(); ++i) {
    std::string name = toUtf8(first.strings(i));
    for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_EQ(name.find("cache"), std::string::npos) << name;
  }
  // The registry itself keeps its cache engines.
  bool registryHasCache = false;
  for (const auto& entry : nxRegisteredClassesIn(TnxBaseIndexEngine::GetList(), true))
    if (entry.name.find("Cache") != std::string::npos) registryHasCache = true;
  EXPECT_TRUE(registryHasCache);

  for (TnxClassListType type : {setAutoIncEngines, setBlobEngines, setEncryptionEngines, setDefaultDescriptors,
                                setValidationDescriptors, setRecordDescriptors}) {
    platform::TStringList list;
    EXPECT_EQ(session_->GetRegisteredClassList(type, list), 0) << int(type);
    EXPECT_GT(list.count(), 0) << int(type);
  }
  platform::TStringList list;
  list.add(u"left over");
  EXPECT_EQ(session_->GetRegisteredClassList(static_cast<TnxClassListType>(40), list), 8712);
  EXPECT_EQ(list.count(), 0);
}

TEST_F(SessionTest, DatabasesAndContextsAreNotYetSupportedAndKickFailsTheSession) {
  TnxAbstractDatabase* database = reinterpret_cast<TnxAbstractDatabase*>(16);
  EXPECT_EQ(session_->DatabaseOpen(database, u"Path", u"/data", nullptr, omReadWrite, smShared, 0), 12289);
  EXPECT_EQ(database, nullptr);
  TnxAbstractTransContext* context = reinterpret_cast<TnxAbstractTransContext*>(16);
  EXPECT_EQ(session_->TransContextCreate(context, 0), 12289);
  EXPECT_EQ(context, nullptr);
  EXPECT_EQ(session_->CloseInactiveFolders(), 0);
  EXPECT_EQ(session_->CloseInactiveTables(), 0);

  EXPECT_EQ(session_->PasswordAdd(u"before"), 0);
  session_->Kick();
  nxtest::expectCode([&] { session_->PasswordAdd(u"after"); }, 9990);
  EXPECT_EQ(session_->Passwords(), std::vector<nxString>{u"before"});
}

}  // namespace
