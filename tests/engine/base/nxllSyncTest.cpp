#include "nxllSync.h"
#include "nxTestWatchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

namespace {

template <class F>
bool eventually(F aCondition) {
  for (int i = 0; i < 2000; ++i) {
    if (aCondition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return aCondition();
}

// Module started for the test, finalised afterwards.
class SyncModule : public ::testing::Test {
 protected:
  void SetUp() override { nxllSyncInitialize(); }
  void TearDown() override { nxllSyncFinalize(); }
};

}  // namespace

TEST(Padlock, ReentrantForTheOwnerExclusiveForOthers) {
  nxtest::Watchdog watchdog;
  for (bool fast : {false, true}) {
    TnxPadlock* lock = platform::create<TnxPadlock>(fast);
    lock->Lock();
    EXPECT_TRUE(lock->TryLock());
    bool other = true;
    std::thread([&] { other = lock->TryLock(); }).join();
    EXPECT_FALSE(other);
    lock->Unlock();
    lock->Unlock();
    std::thread([&] {
      other = lock->TryLock();
      if (other) lock->Unlock();
    }).join();
    EXPECT_TRUE(other);
    platform::TObject::free(lock);
  }
}

TEST(Padlock, LazyPadlockInstallsOnePadlockUnderARace) {
  nxtest::Watchdog watchdog;
  for (int round = 0; round < 20; ++round) {
    TnxLazyPadlock shared(true);
    std::atomic<int> ready{0};
    std::atomic<int> inside{0};
    std::atomic<int> maxInside{0};
    std::set<TnxPadlock*> seen;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&] {
        ++ready;
        while (ready < 4) std::this_thread::yield();
        TnxPadlockGuard guard(shared);
        const int now = ++inside;
        int prev = maxInside;
        while (now > prev && !maxInside.compare_exchange_weak(prev, now)) {
        }
        seen.insert(shared.Peek());  // under the lock
        --inside;
      });
    for (auto& t : threads) t.join();
    ASSERT_NE(shared.Peek(), nullptr);
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_EQ(maxInside, 1);
    // Each caller held it once: it is free now.
    bool free = false;
    std::thread([&] {
      free = shared.Peek()->TryLock();
      if (free) shared.Peek()->Unlock();
    }).join();
    EXPECT_TRUE(free);
  }
}

TEST(ThreadSafeStack, PagesOrderAndCount) {
  TnxThreadSafeStack* stack = platform::create<TnxThreadSafeStack>();
  EXPECT_EQ(stack->PageCount(), 1);
  std::vector<int> values(1000);
  for (auto& v : values) stack->Push(&v);
  EXPECT_EQ(stack->Count(), 1000);
  EXPECT_EQ(stack->PageCount(), 2);  // 511 nodes each
  for (int i = 999; i >= 0; --i) ASSERT_EQ(stack->Pop(), &values[static_cast<std::size_t>(i)]);
  EXPECT_EQ(stack->Count(), 0);
  EXPECT_EQ(stack->Pop(), nullptr);
  for (auto& v : values) stack->Push(&v);  // nodes are reused
  EXPECT_EQ(stack->PageCount(), 2);
  platform::TObject::free(stack);
}

TEST(ThreadSafeStack, ConcurrentPushAndPopLoseNothing) {
  nxtest::Watchdog watchdog;
  TnxThreadSafeStack* stack = platform::create<TnxThreadSafeStack>();
  constexpr int kThreads = 4;
  constexpr int kPerThread = 20000;
  std::vector<int> values(kThreads * kPerThread);
  std::vector<std::vector<void*>> popped(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        stack->Push(&values[static_cast<std::size_t>(t * kPerThread + i)]);
        if (i % 2 == 1)
          for (int k = 0; k < 2; ++k)
            if (void* p = stack->Pop()) popped[static_cast<std::size_t>(t)].push_back(p);
      }
    });
  for (auto& t : threads) t.join();
  std::set<void*> all;
  std::size_t total = 0;
  for (auto& v : popped) {
    total += v.size();
    all.insert(v.begin(), v.end());
  }
  while (void* p = stack->Pop()) {
    ++total;
    all.insert(p);
  }
  EXPECT_EQ(total, values.size());
  EXPECT_EQ(all.size(), values.size());
  EXPECT_EQ(stack->Count(), 0);
  platform::TObject::free(stack);
}

TEST(Event, WaitForTimesOutWithCodeAndZeroMeansNoLimit) {
  nxtest::Watchdog watchdog;
  TnxEvent* e = platform::create<TnxEvent>();
  try {
    e->WaitFor(10);
    FAIL() << "no time-out";
  } catch (const EnxSyncException& ex) {
    EXPECT_EQ(ex.ErrorCode(), 15461u);
    EXPECT_EQ(ex.className(), "EnxSyncException");
    EXPECT_NE(ex.Message().find(u"allotted time"), nxString::npos);
  }
  EXPECT_EQ(e->WaitForQuietly(5), nxWaitTimeout);

  std::thread signaller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    e->SignalEvent();
  });
  const auto t0 = std::chrono::steady_clock::now();
  e->WaitFor(0);  // no limit: returns only on the signal
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(25));
  signaller.join();
  EXPECT_EQ(e->WaitForQuietly(1), nxWaitTimeout);  // auto-reset
  e->SignalEvent();
  EXPECT_EQ(e->WaitForQuietly(0), nxWaitSignaled);
  platform::TObject::free(e);
}

TEST_F(SyncModule, EventsRecycleResetHandlesThroughThePool) {
  ASSERT_NE(nxEventPool, nullptr);
  EXPECT_EQ(nxEventPool->Count(), 250);
  TnxEvent* e = platform::create<TnxEvent>();
  EXPECT_EQ(nxEventPool->Count(), 249);
  platform::Event* handle = e->Handle();
  e->SignalEvent();
  platform::TObject::free(e);  // handle goes back signalled
  EXPECT_EQ(nxEventPool->Count(), 250);
  e = platform::create<TnxEvent>();
  EXPECT_EQ(e->Handle(), handle);  // the pool is a stack
  EXPECT_EQ(e->WaitForQuietly(1), nxWaitTimeout);  // reset on the way out
  platform::TObject::free(e);
}

TEST(EventPool, GetBeyondThePoolCreatesAndFlushKeepsTheRetainCount) {
  TnxEventPool* pool = platform::create<TnxEventPool>(2, 3);
  std::vector<platform::Event*> handles;
  for (int i = 0; i < 6; ++i) handles.push_back(pool->Get());
  EXPECT_EQ(std::set<platform::Event*>(handles.begin(), handles.end()).size(), 6u);
  EXPECT_EQ(pool->Count(), 0);
  for (auto* h : handles) pool->Put(h);
  EXPECT_EQ(pool->Count(), 6);
  pool->Flush();
  EXPECT_EQ(pool->Count(), 3);
  platform::TObject::free(pool);  // closes the rest
}

TEST_F(SyncModule, ManualEventsAreCachedUpToTheLimit) {
  std::vector<InxManualEventRef> refs;
  std::set<InxManualEvent*> released;
  for (int i = 0; i < 129; ++i) refs.push_back(nxGetManualEvent());
  for (auto& r : refs) {
    r->Signal();
    released.insert(r.get());
  }
  EXPECT_EQ(released.size(), 129u);
  refs.clear();
  EXPECT_EQ(nxManualEventCacheDepth(), 128);  // the 129th was freed

  for (int i = 0; i < 128; ++i) {
    InxManualEventRef r = nxGetManualEvent();
    EXPECT_TRUE(released.count(r.get()));
    EXPECT_FALSE(r->Handle()->isSet());  // cached events come back reset
    refs.push_back(r);
  }
  EXPECT_EQ(nxManualEventCacheDepth(), 0);
  EXPECT_EQ(static_cast<TnxManualEvent*>(refs[0].get())->RefCount(), 1);
}

TEST(ManualEvent, WaitHoldsAReferenceAndStillReferencedCannotBeDestroyed) {
  nxtest::Watchdog watchdog;
  InxManualEventRef ref = nxGetManualEvent();  // no cache: freed at zero
  auto* event = static_cast<TnxManualEvent*>(ref.get());
  EXPECT_EQ(event->RefCount(), 1);
  {
    TnxIntfPtr<InxManualEvent> queried = nxSupports<InxManualEvent>(ref.get());
    EXPECT_EQ(queried.get(), ref.get());
    EXPECT_EQ(event->RefCount(), 2);
    EXPECT_FALSE(nxSupports<InxLifetimeMonitorRef>(ref.get()));
  }
  EXPECT_EQ(event->RefCount(), 1);
  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    InxManualEventRef mine(ref);
    mine->WaitFor();
    woke = true;
  });
  ASSERT_TRUE(eventually([&] { return event->RefCount() == 3; }));  // ref, mine, the wait
  EXPECT_FALSE(woke);
  ref->Signal();
  waiter.join();
  EXPECT_TRUE(woke);
  EXPECT_EQ(event->RefCount(), 1);
  EXPECT_THROW(platform::TObject::free(event), platform::InvalidPointer);
  EXPECT_EQ(event->RefCount(), 1);  // still alive
  ref.reset();
}

TEST(ThreadCallback, CallsOnlyTheCallingThreadsCallback) {
  nxtest::Watchdog watchdog;
  int calls = 0;
  nxCallThreadCallback();  // unset: nothing
  nxThreadCallback() = {[](void* o) { ++*static_cast<int*>(o); }, &calls};
  nxCallThreadCallback();
  std::thread([] { nxCallThreadCallback(); }).join();
  EXPECT_EQ(calls, 1);
  nxThreadCallback().Object = nullptr;
  nxCallThreadCallback();
  EXPECT_EQ(calls, 1);
  nxThreadCallback() = {};
}
