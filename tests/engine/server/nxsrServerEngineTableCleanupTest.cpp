#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "nxTestWatchdog.h"
#include "nxsrServerEngineTableTestSupport.h"
#include "plDateTime.h"

namespace {

using nxtest::ServerTableTest;
using nxtest::tableDictionary;

std::atomic<platform::DateTime> gTableClock{46000.0};
platform::DateTime tableClock() { return gTableClock.load(); }
constexpr platform::DateTime kTableHour = 1.0 / 24.0;
constexpr platform::DateTime kTableSecond = 1.0 / 86400.0;

nxString tableName(int aNumber) { return u"T" + platform::fromUtf8(std::to_string(aNumber)); }

class TableCleanupTest : public ServerTableTest {
 protected:
  TableCleanupTest() {
    gTableClock = 46000.0;
    platform::setNowSource(&tableClock);
  }
  ~TableCleanupTest() override { platform::setNowSource(nullptr); }

  // Builds aCount tables and lets each join the inactive list, one second
  // apart, oldest first.
  void IdleTables(int aCount) {
    for (int i = 0; i < aCount; ++i) {
      ASSERT_EQ(Build(tableName(i), tableDictionary()), 0);
      TnxResult result = 0;
      TnxServerRootTable* table = Open(tableName(i), result);
      ASSERT_EQ(result, 0);
      table->srtCursorOpened();
      table->srtCursorClosed();
      Drop(table);
      gTableClock = gTableClock + kTableSecond;
    }
  }
  TnxServerRootTable* Find(int aNumber) {
    folder_->LockTables();
    TnxServerRootTable* table = folder_->sfFindTable(tableName(aNumber));
    folder_->UnlockTables();
    return table;
  }
  // Runs aBody while another thread holds aPadlock.
  template <class Body>
  void WhileTablesHeld(TnxPadlock& aPadlock, Body&& aBody) {
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
};

TEST_F(TableCleanupTest, MoreThan256InactiveTablesDropTo256OldestFirst) {
  IdleTables(257);
  ASSERT_EQ(engine_->InactiveTableCount(), 257);
  engine_->Tick();
  EXPECT_EQ(engine_->InactiveTableCount(), 256);
  EXPECT_EQ(folder_->OpenTableCount(), 256);
  EXPECT_EQ(Find(0), nullptr);
  EXPECT_NE(Find(1), nullptr);
}

TEST_F(TableCleanupTest, TableIsFreedOnlyWhenIdleLongerThanTwentyHours) {
  struct Case {
    const char* name;
    platform::DateTime idle;
    bool freed;
  } cases[] = {
      {"exactly 20 h", 20 * kTableHour, false},
      {"20 h and a second", 20 * kTableHour + kTableSecond, true},
      {"an hour", kTableHour, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const platform::DateTime start = gTableClock;
    IdleTables(1);
    gTableClock = start + c.idle;
    engine_->Tick();
    TnxServerRootTable* table = Find(0);
    EXPECT_EQ(table == nullptr, c.freed);
    if (table) {
      EXPECT_TRUE(table->InInactiveList());
      EXPECT_EQ(folder_->sfTableDelete(tableName(0), {}, false), 0);
    } else {
      EXPECT_EQ(folder_->sfTableDelete(tableName(0), {}, false), 0);
    }
    EXPECT_EQ(engine_->InactiveTableCount(), 0);
  }
}

TEST_F(TableCleanupTest, TableInUseIsOnlyTakenOffTheList) {
  IdleTables(1);
  TnxServerRootTable* table = Find(0);
  ASSERT_NE(table, nullptr);
  table->sbtLockIsInactive.fetch_add(1);  // somebody is about to use it
  gTableClock = gTableClock + 21 * kTableHour;
  engine_->Tick();
  EXPECT_EQ(Find(0), table);
  EXPECT_FALSE(table->InInactiveList());
  Drop(table);
}

TEST_F(TableCleanupTest, BusyPadlocksEndTheTickAndCloseInactiveRetries) {
  nxtest::Watchdog watchdog;
  IdleTables(3);
  gTableClock = gTableClock + 21 * kTableHour;
  WhileTablesHeld(*engine_->seFoldersPadlockForTest(), [&] {
    engine_->Tick();
    EXPECT_EQ(engine_->InactiveTableCount(), 3);
  });
  WhileTablesHeld(*folder_->TablesPadlockForTest(), [&] {
    engine_->Tick();
    EXPECT_EQ(engine_->InactiveTableCount(), 3);
    EXPECT_EQ(folder_->sfCloseInactiveTables(), 10241);
    EXPECT_EQ(engine_->seCloseInactiveTables(), 0);
    EXPECT_EQ(engine_->TableCount(), 3);
  });
  EXPECT_EQ(engine_->seCloseInactiveTables(), 0);
  EXPECT_EQ(folder_->OpenTableCount(), 0);
  EXPECT_EQ(engine_->InactiveTableCount(), 0);
  EXPECT_EQ(engine_->TableCount(), 0);
}

TEST_F(TableCleanupTest, ExclusiveCommitStillFlushingKeepsTheTable) {
  nxtest::Watchdog watchdog;
  IdleTables(1);
  TnxServerRootTable* table = Find(0);
  ASSERT_NE(table, nullptr);
  gTableClock = gTableClock + 21 * kTableHour;
  WhileTablesHeld(*table->CommitPadlock(), [&] {
    EXPECT_FALSE(table->srtIsInactive(false, false, 0));
    engine_->Tick();
    EXPECT_EQ(Find(0), table);
  });
  // The commit padlock and the content portal go together in a commit.
  table->srtBeginExclusiveCommit();
  table->srtEndExclusiveCommit(nullptr);
  table->srtUnlockCommit();
  EXPECT_TRUE(table->srtIsInactive(false, false, 0));
  EXPECT_EQ(engine_->seCloseInactiveTables(), 0);
  EXPECT_EQ(Find(0), nullptr);
}

TEST_F(TableCleanupTest, ClosingIdleTablesNeverFreesATableInUse) {
  nxtest::Watchdog watchdog;
  constexpr int kTables = 6;
  constexpr int kThreads = 4;
  constexpr int kRounds = 300;
  // Users go on until tables were closed under them and opened again often.
  constexpr int kReopens = 3 * kTables;
  constexpr int kMaxRounds = 200000;
  for (int i = 0; i < kTables; ++i) ASSERT_EQ(Build(tableName(i), tableDictionary()), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::atomic<int> opened{0};
  std::thread cleaner([&] {
    while (!stop.load()) {
      gTableClock = gTableClock + 21 * kTableHour;
      engine_->Tick();
      folder_->sfCloseInactiveTables();
    }
  });
  std::vector<std::thread> users;
  for (int t = 0; t < kThreads; ++t) {
    users.emplace_back([&, t] {
      nxSetTimeout(0, true);
      std::mt19937 random(static_cast<unsigned>(t) + 1);
      for (int round = 0; round < kRounds || (opened.load() < kReopens && round < kMaxRounds); ++round) {
        const nxString name = tableName(static_cast<int>(random() % kTables));
        // Taken as a database takes it: found or opened under the padlock,
        // the usage counter raised before the padlock is left.
        folder_->LockTables();
        TnxServerRootTable* table = folder_->sfFindTable(name);
        if (!table) {
          table = platform::create<TnxServerRootTable>(folder_, name, omReadWrite, smShared, tsPersistent);
          bool readOnly = false;
          if (table->srtOpenFiles(nullptr, {}, false, TnxFileAttributes{}, readOnly) != 0) {
            platform::TObject::free(table);
            folder_->UnlockTables();
            failures.fetch_add(1);
            continue;
          }
          opened.fetch_add(1);
        }
        table->sbtLockIsInactive.fetch_add(1);
        folder_->UnlockTables();
        table->srtCursorOpened();
        if (table->Destroying() || !table->RecordEngine() || table->sbtCurrentLSN(nullptr) <= 0)
          failures.fetch_add(1);
        if (random() % 2) std::this_thread::yield();
        table->srtCursorClosed();
        table->sbtLockIsInactive.fetch_sub(1);
      }
    });
  }
  for (std::thread& user : users) user.join();
  stop = true;
  cleaner.join();
  EXPECT_EQ(failures.load(), 0);
  // Tables were closed under the users' feet and opened again.
  EXPECT_GE(opened.load(), kReopens);
  EXPECT_EQ(engine_->seCloseInactiveTables(), 0);
  EXPECT_EQ(folder_->OpenTableCount(), 0);
  EXPECT_EQ(engine_->InactiveTableCount(), 0);
  EXPECT_EQ(engine_->TableCount(), 0);
}

}  // namespace
