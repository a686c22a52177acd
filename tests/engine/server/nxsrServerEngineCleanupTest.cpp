#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "nxTestWatchdog.h"
#include "nxsrServerEngineTestSupport.h"
#include "plDateTime.h"

namespace {

using nxtest::ServerEngineFixture;

// The tick, reachable from the tests.
class TickingEngine : public TnxServerEngine {
 public:
  using TnxServerEngine::TnxServerEngine;
  void Tick() { seCleanupTimerTick(nullptr); }
};

std::atomic<platform::DateTime> gCleanupClock{45000.0};
platform::DateTime cleanupClock() { return gCleanupClock.load(); }
constexpr platform::DateTime kCleanupHour = 1.0 / 24.0;
constexpr platform::DateTime kCleanupSecond = 1.0 / 86400.0;

class ServerCleanupTest : public ::testing::Test {
 protected:
  ServerCleanupTest() {
    gCleanupClock = 45000.0;
    platform::setNowSource(&cleanupClock);
  }
  ~ServerCleanupTest() override { platform::setNowSource(nullptr); }

  TickingEngine* StartedEngine() {
    auto* engine = fx.Engine<TickingEngine>();
    engine->SetMaxRAM(16);
    engine->SetTempStoreSize(0);
    engine->SetActive(true);
    return engine;
  }
  // An idle in-memory folder on the engine's inactive list.
  TnxServerFolder* IdleFolder(TnxServerEngine* aEngine, int aNumber) {
    auto* folder = platform::create<TnxServerFolder>(aEngine, u"#f" + platform::fromUtf8(std::to_string(100 + aNumber)),
                                                     false);
    folder->sfUpdateInactive();
    return folder;
  }
  // Runs aBody while another thread holds aPadlock.
  template <class Body>
  void WhileHeldElsewhere(TnxPadlock& aPadlock, Body&& aBody) {
    std::mutex m;
    std::condition_variable cv;
    bool held = false, release = false;
    std::thread holder([&] {
      TnxPadlockGuard guard(aPadlock);
      std::unique_lock<std::mutex> lock(m);
      held = true;
      cv.notify_all();
      cv.wait(lock, [&] { return release; });
    });
    {
      std::unique_lock<std::mutex> lock(m);
      cv.wait(lock, [&] { return held; });
    }
    aBody();
    {
      std::lock_guard<std::mutex> lock(m);
      release = true;
    }
    cv.notify_all();
    holder.join();
  }

  ServerEngineFixture fx;
};

TEST_F(ServerCleanupTest, MoreThanSixteenInactiveFoldersDropToSixteenOldestFirst) {
  TickingEngine* engine = StartedEngine();
  for (int i = 0; i < 17; ++i) {
    IdleFolder(engine, i);
    gCleanupClock = gCleanupClock + kCleanupSecond;
  }
  ASSERT_EQ(engine->InactiveFolderCount(), 17);
  engine->Tick();
  EXPECT_EQ(engine->InactiveFolderCount(), 16);
  EXPECT_EQ(engine->FolderCount(), 16);
  EXPECT_EQ(engine->FindFolder(u"#f100"), nullptr);
  EXPECT_NE(engine->FindFolder(u"#f101"), nullptr);
}

TEST_F(ServerCleanupTest, FolderIsFreedOnlyWhenIdleLongerThanSixteenHours) {
  struct Case {
    const char* name;
    platform::DateTime idle;
    bool freed;
  } cases[] = {
      {"exactly 16 h", 16 * kCleanupHour, false},
      {"16 h and a second", 16 * kCleanupHour + kCleanupSecond, true},
      {"an hour", kCleanupHour, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TickingEngine* engine = StartedEngine();
    const platform::DateTime start = gCleanupClock;
    TnxServerFolder* folder = IdleFolder(engine, 0);
    gCleanupClock = start + c.idle;
    engine->Tick();
    EXPECT_EQ(engine->FindFolder(u"#f100") == nullptr, c.freed);
    if (!c.freed) {
      EXPECT_TRUE(folder->InInactiveList());
    }
  }
}

TEST_F(ServerCleanupTest, FolderInUseIsOnlyTakenOffTheList) {
  TickingEngine* engine = StartedEngine();
  TnxServerFolder* folder = IdleFolder(engine, 0);
  folder->sfDatabaseOpened();  // a database arrived without the list being told
  gCleanupClock = gCleanupClock + 17 * kCleanupHour;
  engine->Tick();
  EXPECT_EQ(engine->FindFolder(u"#f100"), folder);
  EXPECT_FALSE(folder->InInactiveList());
  folder->sfDatabaseClosed();
}

TEST_F(ServerCleanupTest, BusyFolderListEndsTheTickAtOnce) {
  nxtest::Watchdog watchdog;
  TickingEngine* engine = StartedEngine();
  for (int i = 0; i < 17; ++i) IdleFolder(engine, i);
  gCleanupClock = gCleanupClock + 17 * kCleanupHour;
  WhileHeldElsewhere(*engine->seFoldersPadlockForTest(), [&] { engine->Tick(); });
  EXPECT_EQ(engine->InactiveFolderCount(), 17);
  engine->Tick();
  EXPECT_EQ(engine->InactiveFolderCount(), 0);
  EXPECT_EQ(engine->FolderCount(), 0);
}

TEST_F(ServerCleanupTest, BusyTablePadlockGives10241AndTheEngineCallZeroAfterRetries) {
  nxtest::Watchdog watchdog;
  TickingEngine* engine = StartedEngine();
  TnxServerFolder* folder = platform::create<TnxServerFolder>(engine, u"#busy", false);
  EXPECT_EQ(folder->sfCloseInactiveTables(), 0);
  WhileHeldElsewhere(*folder->TablesPadlockForTest(), [&] {
    EXPECT_EQ(folder->sfCloseInactiveTables(), 10241);
    EXPECT_EQ(engine->seCloseInactiveTables(), 0);
  });
}

TEST_F(ServerCleanupTest, CloseInactiveFoldersFreesEveryIdleFolderAndKeepsBusyOnes) {
  TickingEngine* engine = StartedEngine();
  for (int i = 0; i < 5; ++i) IdleFolder(engine, i);
  TnxServerFolder* busy = engine->FindFolder(u"#f102");
  busy->sfDatabaseOpened();
  EXPECT_EQ(engine->seCloseInactiveFolders(), 0);
  EXPECT_EQ(engine->FolderCount(), 1);
  EXPECT_EQ(engine->FindFolder(u"#f102"), busy);
  busy->sfDatabaseClosed();
}

}  // namespace
