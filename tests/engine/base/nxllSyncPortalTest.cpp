#include "nxllSyncPortal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "nxllException.h"
#include "nxTestWatchdog.h"
#include "plOs.h"

namespace {

constexpr std::int32_t kFree = 0xFFFF;

template <class F>
bool eventually(F aCondition) {
  for (int i = 0; i < 2000; ++i) {
    if (aCondition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return aCondition();
}

// A hang ends the process with the test's name instead of blocking the suite.
void runThreads(int aCount, const std::function<void(int)>& aBody) {
  nxtest::runThreads(aCount, aBody, std::chrono::milliseconds(10000));
}

// A portal freed at the end of the test, which runs under a watchdog.
class Portal : public ::testing::Test {
 protected:
  nxtest::Watchdog watchdog;
  TnxOwned<TnxInternalReadWritePortal> portal = nxCreateOwned<TnxInternalReadWritePortal>();
};

}  // namespace

TEST_F(Portal, NestedReadsCountOnce) {
  portal->BeginRead();
  EXPECT_EQ(portal->PortalCount(), kFree - 1);
  portal->BeginRead();
  EXPECT_EQ(portal->PortalCount(), kFree - 1);
  portal->EndRead();
  EXPECT_EQ(portal->PortalCount(), kFree - 1);
  portal->EndRead();
  EXPECT_EQ(portal->PortalCount(), kFree);
}

TEST_F(Portal, ReaderUpgradesAndItsReadStaysCounted) {
  portal->BeginRead();
  portal->BeginRead();
  EXPECT_TRUE(portal->BeginWrite());  // nobody else wrote meanwhile
  EXPECT_EQ(portal->PortalCount(), -1);
  EXPECT_EQ(portal->WriterID(), platform::currentThreadId());
  portal->EndWrite();
  EXPECT_EQ(portal->PortalCount(), kFree - 1);
  EXPECT_EQ(portal->WriterID(), 0u);
  portal->EndRead();
  portal->EndRead();
  EXPECT_EQ(portal->PortalCount(), kFree);
}

TEST_F(Portal, WriterReadsAndWritesAgainWithoutWaiting) {
  EXPECT_TRUE(portal->BeginWrite());
  EXPECT_EQ(portal->PortalCount(), 0);
  portal->BeginRead();
  EXPECT_EQ(portal->PortalCount(), 0);  // the writer's read takes no slot
  EXPECT_TRUE(portal->BeginWrite());
  portal->EndWrite();
  portal->EndRead();
  EXPECT_EQ(portal->WriterID(), platform::currentThreadId());
  portal->EndWrite();
  EXPECT_EQ(portal->PortalCount(), kFree);
}

TEST_F(Portal, ReadsAndWritesOfOneThreadMayEndInAnyOrder) {
  // Write, read, end the write, end the read: the read outlives the write.
  portal->BeginWrite();
  portal->BeginRead();
  portal->EndWrite();
  EXPECT_EQ(portal->PortalCount(), kFree - 1);  // now an ordinary reader
  bool otherWrote = false;
  std::thread other([&] {
    portal->BeginWrite();
    otherWrote = true;
    portal->EndWrite();
  });
  ASSERT_TRUE(eventually([&] { return portal->WaitingWriters() == 1; }));
  EXPECT_FALSE(otherWrote);  // excluded by the remaining read
  portal->EndRead();
  other.join();
  EXPECT_TRUE(otherWrote);
  EXPECT_EQ(portal->PortalCount(), kFree);

  // Read, upgrade, end the read, end the write.
  portal->BeginRead();
  portal->BeginWrite();
  portal->EndRead();
  EXPECT_EQ(portal->PortalCount(), 0);
  portal->EndWrite();
  EXPECT_EQ(portal->PortalCount(), kFree);
  runThreads(1, [&](int) {
    portal->BeginWrite();  // would wait forever on a leaked slot
    portal->EndWrite();
  });
}

TEST_F(Portal, MisuseIsReported) {
  try {
    portal->EndRead();
    FAIL() << "no assertion failure";
  } catch (const platform::AssertionFailed& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("TnxInternalReadWritePortal.EndRead without BeginRead"), std::string::npos) << text;
    EXPECT_NE(text.find("(nxllSyncPortal, line "), std::string::npos) << text;
  }
  EXPECT_THROW(portal->EndRead(), platform::AssertionFailed);
  EXPECT_THROW(portal->EndWrite(), platform::AssertionFailed);
  portal->BeginWrite();
  std::thread([&] { EXPECT_THROW(portal->EndWrite(), platform::AssertionFailed); }).join();
  portal->EndWrite();
  EXPECT_EQ(portal->PortalCount(), kFree);
}

TEST_F(Portal, ReadersShareThePortal) {
  std::atomic<int> inside{0};
  runThreads(4, [&](int) {
    TnxPortalReadGuard read(*portal);
    ++inside;
    // Every reader stays until all four are inside together.
    ASSERT_TRUE(eventually([&] { return inside == 4; }));
  });
  EXPECT_EQ(portal->PortalCount(), kFree);
}

TEST_F(Portal, WriterPreferenceHoldsNewReadersBack) {
  std::atomic<bool> releaseReaders{false};
  std::atomic<int> readersIn{0};
  std::atomic<int> step{0};
  int writerStep = -1;
  int lateReaderStep = -1;
  bool nestedReadDidNotWait = false;

  std::vector<std::thread> threads;
  for (int r = 0; r < 2; ++r)
    threads.emplace_back([&, r] {
      portal->BeginRead();
      ++readersIn;
      while (!releaseReaders) std::this_thread::yield();
      if (r == 0) {
        portal->BeginRead();  // nested read while the writer waits
        nestedReadDidNotWait = true;
        portal->EndRead();
      }
      portal->EndRead();
    });
  ASSERT_TRUE(eventually([&] { return readersIn == 2; }));

  threads.emplace_back([&] {
    const bool alone = portal->BeginWrite();
    writerStep = step++;
    EXPECT_TRUE(alone);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    portal->EndWrite();
  });
  ASSERT_TRUE(eventually([&] { return portal->WaitingWriters() == 1; }));

  threads.emplace_back([&] {
    portal->BeginRead();  // must wait for the writer, though readers are inside
    lateReaderStep = step++;
    portal->EndRead();
  });
  ASSERT_TRUE(eventually([&] { return portal->WaitingReaders() == 1; }));
  EXPECT_EQ(step, 0);  // nobody got past the readers yet

  releaseReaders = true;
  for (auto& t : threads) t.join();
  EXPECT_TRUE(nestedReadDidNotWait);
  EXPECT_EQ(writerStep, 0);
  EXPECT_EQ(lateReaderStep, 1);
  EXPECT_EQ(portal->PortalCount(), kFree);
}

TEST_F(Portal, CompetingUpgradesOneWinsTheOtherLearnsOfIt) {
  std::atomic<int> readersIn{0};
  std::atomic<bool> secondGo{false};
  bool first = false;
  bool second = false;
  std::thread t1([&] {
    portal->BeginRead();
    ++readersIn;
    while (readersIn < 2) std::this_thread::yield();
    first = portal->BeginWrite();  // waits: t2 still reads
    portal->EndWrite();
    portal->EndRead();
  });
  std::thread t2([&] {
    portal->BeginRead();
    ++readersIn;
    while (!secondGo) std::this_thread::yield();
    second = portal->BeginWrite();  // gets in first: t1 gave its slot back
    portal->EndWrite();
    portal->EndRead();
  });
  ASSERT_TRUE(eventually([&] { return portal->WaitingWriters() == 1; }));
  secondGo = true;
  t1.join();
  t2.join();
  EXPECT_TRUE(second);
  EXPECT_FALSE(first);  // another writer came in between
  EXPECT_EQ(portal->PortalCount(), kFree);
}

TEST_F(Portal, ReadersOrOneWriterUnderLoadWithoutLostWakeUps) {
  std::atomic<int> readers{0};
  std::atomic<int> writers{0};
  std::atomic<int> violations{0};
  long shared = 0;  // changed only under the write lock
  constexpr int kThreads = 6;
  constexpr int kRounds = 3000;
  runThreads(kThreads, [&](int id) {
    for (int i = 0; i < kRounds; ++i) {
      const int kind = (i + id) % 7;
      if (kind < 4) {
        TnxPortalReadGuard read(*portal);
        ++readers;
        if (writers != 0) ++violations;
        if (kind == 0) {
          TnxPortalReadGuard nested(*portal);
          if (writers != 0) ++violations;
        }
        --readers;
      } else {
        if (kind == 6) portal->BeginRead();  // upgrade from a read
        {
          TnxPortalWriteGuard write(*portal);
          if (++writers != 1) ++violations;
          if (kind != 6 && readers != 0) ++violations;
          ++shared;
          if (kind == 5) {
            TnxPortalReadGuard readInWrite(*portal);
            ++shared;
          }
          --writers;
        }
        if (kind == 6) portal->EndRead();
      }
    }
  });
  EXPECT_EQ(violations, 0);
  long expected = 0;
  for (int id = 0; id < kThreads; ++id)
    for (int i = 0; i < kRounds; ++i) {
      const int kind = (i + id) % 7;
      expected += kind >= 4 ? (kind == 5 ? 2 : 1) : 0;
    }
  EXPECT_EQ(shared, expected);
  EXPECT_EQ(portal->PortalCount(), kFree);
}

TEST(PortalCreation, LazyCreationInstallsOnePortal) {
  nxtest::Watchdog watchdog;
  for (bool write : {false, true}) {
    std::atomic<TnxInternalReadWritePortal*> shared{nullptr};
    std::atomic<int> ready{0};
    std::atomic<int> inside{0};
    std::atomic<int> violations{0};
    runThreads(4, [&](int) {
      ++ready;
      while (ready < 4) std::this_thread::yield();
      if (write) {
        TnxInternalReadWritePortal::CreateAndWrite(shared);
        if (++inside != 1) ++violations;
        --inside;
        shared.load()->EndWrite();
      } else {
        TnxInternalReadWritePortal::CreateAndRead(shared);
        ++inside;
        // All four readers end up inside the same portal together.
        if (!eventually([&] { return inside == 4; })) ++violations;
        shared.load()->EndRead();
      }
    });
    EXPECT_EQ(violations, 0);
    ASSERT_NE(shared.load(), nullptr);
    EXPECT_EQ(shared.load()->PortalCount(), kFree);
    platform::TObject::free(shared.load());
  }
}

TEST(PortalDestruction, WaitsForTheReadersToLeave) {
  nxtest::Watchdog watchdog;
  auto* portal = platform::create<TnxInternalReadWritePortal>();
  std::atomic<bool> readerIn{false};
  std::atomic<bool> leave{false};
  std::atomic<bool> destroyed{false};
  std::thread reader([&] {
    portal->BeginRead();
    readerIn = true;
    while (!leave) std::this_thread::yield();
    portal->EndRead();
  });
  ASSERT_TRUE(eventually([&] { return readerIn.load(); }));
  std::thread destroyer([&] {
    platform::TObject::free(portal);
    destroyed = true;
  });
  ASSERT_TRUE(eventually([&] { return portal->WaitingWriters() == 1; }));
  EXPECT_FALSE(destroyed);
  leave = true;
  reader.join();
  destroyer.join();
  EXPECT_TRUE(destroyed);
}
