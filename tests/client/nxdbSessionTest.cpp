#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "nxClientTestKit.h"
#include "nxTestWatchdog.h"
#include "nxdb.h"

namespace {

// OnLogin handler answering a fixed result and counting its calls.
struct LoginAnswer {
  bool answer = true;
  int calls = 0;
  void OnLogin(TnxBaseSession*, nxString& aUserName, nxString&, bool& aResult) {
    ++calls;
    aUserName = u"someone";
    aResult = answer;
  }
};

class ClientSession : public ::testing::Test {
 protected:
  nxtest::ClientTestKit kit;
};

TEST_F(ClientSession, LoginRetriesOnASecureEngine) {
  struct Case {
    const char* what;
    std::int32_t retries;
    int handler;  // 0 none, 1 answers True, 2 answers False
    int attempts, beeps, loginCalls;
  };
  const Case cases[] = {
      {"no retries", 0, 1, 1, 0, 0},
      {"three retries, handler True", 3, 1, 4, 3, 3},
      {"handler False", 3, 2, 1, 1, 1},
      {"no handler, no hook", 3, 0, 1, 1, 0},
  };
  kit.engine->Close();
  kit.engine->SetOptions(TnxServerEngineOptions{seoIsSecure});
  kit.engine->Open();
  for (const Case& c : cases) {
    kit.engine->sessionOpens = 0;
    nxtest::beepCount() = 0;
    LoginAnswer answer;
    answer.answer = c.handler == 1;
    kit.session->SetPasswordRetries(c.retries);
    kit.session->SetOnLogin(c.handler ? TnxLoginEvent::Of<&LoginAnswer::OnLogin>(&answer) : TnxLoginEvent());
    EXPECT_EQ(nxtest::clientErrorMessage([&] { kit.session->Open(); }),
              u"DazavAV: nxSession1: Unknown user name or password. [$2734/10036]")
        << c.what;
    EXPECT_EQ(kit.engine->sessionOpens, c.attempts) << c.what;
    EXPECT_EQ(nxtest::beepCount(), c.beeps) << c.what;
    EXPECT_EQ(answer.calls, c.loginCalls) << c.what;
    EXPECT_FALSE(kit.session->Active()) << c.what;
    EXPECT_EQ(kit.session->AbstractSession(), nullptr) << c.what;
    EXPECT_EQ(kit.engine->SessionCount(), 0) << c.what;
  }
}

TEST_F(ClientSession, OpensWithTheEffectiveTimeoutAndTheClientLocale) {
  kit.session->SetClientLocaleAsDefault(true);
  kit.session->Open();
  ASSERT_NE(kit.session->AbstractSession(), nullptr);
  EXPECT_EQ(kit.session->AbstractSession()->Timeout(), 10000u);
  nxString locale;
  EXPECT_EQ(kit.session->AbstractSession()->OptionGet(u"SQL_DEFAULT_LOCALE", locale), 0u);
  EXPECT_EQ(locale, u"1041");
  EXPECT_EQ(kit.engine->SessionCount(), 1);
  kit.session->SetTimeout(2500);
  EXPECT_EQ(kit.session->AbstractSession()->Timeout(), 2500u);
  kit.session->Close();
  EXPECT_EQ(kit.engine->SessionCount(), 0);
}

TEST_F(ClientSession, NoEngineIs15465) {
  kit.session->SetServerEngine(nullptr);
  EXPECT_EQ(nxtest::clientErrorCode([&] { kit.session->Open(); }), 15465u);
  EXPECT_FALSE(kit.session->Active());
}

TEST_F(ClientSession, DefaultSessionsOfOneThread) {
  auto* second = platform::create<TnxSession>(nullptr);
  second->SetServerEngine(kit.engine);
  kit.session->SetDefault(true);
  second->SetDefault(true);
  EXPECT_FALSE(kit.session->Default());
  EXPECT_TRUE(second->Default());
  EXPECT_EQ(TnxBaseSession::DefaultSession(), second);

  // Another thread has its own default (none) and may not read ours.
  TnxResult other = 0;
  TnxBaseSession* otherDefault = kit.session;
  std::thread([&] {
    otherDefault = TnxBaseSession::DefaultSession();
    other = nxtest::clientErrorCode([&] { (void)second->Default(); });
  }).join();
  EXPECT_EQ(otherDefault, nullptr);
  EXPECT_EQ(other, 8455u);

  platform::TObject::free(second);
  EXPECT_EQ(TnxBaseSession::DefaultSession(), nullptr);
}

TEST_F(ClientSession, ThreadsEndingWhileTheirDefaultSessionsAreFreed) {
  nxtest::Watchdog watchdog;
  for (int round = 0; round < 20; ++round) {
    constexpr int kThreads = 4;
    std::vector<TnxSession*> sessions;
    for (int i = 0; i < kThreads; ++i) sessions.push_back(platform::create<TnxSession>(nullptr));
    std::atomic<int> ready{0};
    std::atomic<bool> freed{false};
    std::atomic<int> staleDefaults{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
      threads.emplace_back([&, s = sessions[static_cast<std::size_t>(i)], keep = i % 2 == 0] {
        s->SetDefault(true);
        ready.fetch_add(1);
        // Half the threads end at once, while their sessions are being freed;
        // the others look at their default once the session is gone.
        if (!keep) return;
        while (!freed.load()) std::this_thread::yield();
        if (TnxBaseSession::DefaultSession() != nullptr) staleDefaults.fetch_add(1);
      });
    while (ready.load() < kThreads) std::this_thread::yield();
    for (TnxSession* s : sessions) platform::TObject::free(s);
    freed.store(true);
    for (auto& t : threads) t.join();
    EXPECT_EQ(staleDefaults.load(), 0) << "round " << round;
  }
  EXPECT_EQ(TnxBaseSession::DefaultSession(), nullptr);
}

TEST_F(ClientSession, ImplicitDatabasesAndAliases) {
  kit.session->Open();
  ASSERT_EQ(kit.session->AddAliasEx(u"Data", u"/data", true), 0u);
  TnxDatabase* db = kit.session->OpenDatabase(u"Data");
  EXPECT_TRUE(db->Active());
  EXPECT_TRUE(db->Implicit());
  EXPECT_EQ(kit.session->OpenDatabase(u"DATA"), db);
  EXPECT_EQ(kit.session->FindDatabase(u"data"), db);

  // TableExists for an alias without a database asks the engine session and
  // makes no component (the engine database answers existence in a later
  // step; until then its refusal answers False).
  ASSERT_EQ(kit.session->AddAliasEx(u"Other", u"/data", true), 0u);
  EXPECT_FALSE(kit.session->TableExists(u"Other", u"T2", u""));
  EXPECT_EQ(kit.session->FindDatabase(u"Other"), nullptr);

  platform::TStringList names;
  names.add(u"Data");
  names.add(u"Elsewhere");
  EXPECT_EQ(kit.session->GetAliasNamesEx(&names, false), 0u);
  EXPECT_EQ(names.count(), 3);
  EXPECT_EQ(names.strings(2), u"Other");
  EXPECT_EQ(kit.session->GetAliasNamesEx(nullptr, false), 9986u);

  EXPECT_EQ(kit.session->AddAliasEx(u"", u"/data", true), 10067u);
  EXPECT_EQ(kit.session->AddAliasEx(u"Third", u"", true), 9986u);
  EXPECT_TRUE(kit.session->IsAlias(u"Data"));
  EXPECT_FALSE(kit.session->IsAlias(u"Nope"));
}

TEST_F(ClientSession, ForwardingNeedsAStartedSession) {
  EXPECT_EQ(nxtest::clientErrorMessage([&] { kit.session->PasswordAdd(u"x"); }),
            u"DazavAV: nxSession1: This component must be started when performing this operation. [no error code]");
  // The checks of the arguments come first.
  EXPECT_EQ(kit.session->AddAliasEx(u"A", u"", true), 9986u);
}

TEST_F(ClientSession, DestroyingTheSessionStopsItsDatabasesAndFreesTheImplicitOnes) {
  TnxDatabase* db = kit.Database();
  db->Open();
  ASSERT_EQ(kit.session->AddAliasEx(u"Data", u"/data", true), 0u);
  TnxDatabase* implicit = kit.session->OpenDatabase(u"Data");
  ASSERT_NE(implicit, nullptr);
  EXPECT_EQ(kit.engine->DatabaseCount(), 2);
  platform::TObject::free(std::exchange(kit.session, nullptr));
  EXPECT_FALSE(db->Active());
  EXPECT_EQ(db->Session(), nullptr);
  EXPECT_EQ(kit.engine->DatabaseCount(), 0);
  EXPECT_EQ(kit.engine->SessionCount(), 0);
}

}  // namespace
