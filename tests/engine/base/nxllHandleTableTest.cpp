#include "nxllHandleTable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "plErrors.h"
#include "nxTestWatchdog.h"

namespace {

constexpr char kKindA = 0;
constexpr char kKindB = 0;

TEST(NxHandleTable, StaleHandleNeverReachesTheObjectInTheReusedSlot) {
  TnxHandleTable t;
  int first = 1, second = 2;
  const TnxHandle h1 = t.Add(&first, &kKindA);
  ASSERT_NE(h1, 0u);
  EXPECT_EQ(t.Lookup(h1, &kKindA), &first);
  EXPECT_TRUE(t.Remove(h1, &kKindA));

  // Same slot, same address even: the old handle must stay dead.
  const TnxHandle h2 = t.Add(&first, &kKindA);
  EXPECT_NE(h2, h1);
  EXPECT_EQ(h2 & TnxHandleTable::kMaxSlots, h1 & TnxHandleTable::kMaxSlots);
  EXPECT_EQ(t.Lookup(h1, &kKindA), nullptr);
  EXPECT_FALSE(t.Remove(h1, &kKindA));
  EXPECT_EQ(t.Lookup(h2, &kKindA), &first);

  const TnxHandle h3 = t.Add(&second, &kKindA);
  EXPECT_EQ(t.Lookup(h3, &kKindA), &second);
  EXPECT_EQ(t.Count(), 2u);
}

TEST(NxHandleTable, RefusesForeignKindsZeroAndForgedHandles) {
  TnxHandleTable t;
  int x = 0;
  const TnxHandle h = t.Add(&x, &kKindA);
  EXPECT_EQ(t.Lookup(h, &kKindB), nullptr);
  EXPECT_FALSE(t.Remove(h, &kKindB));
  EXPECT_EQ(t.Lookup(0, &kKindA), nullptr);
  EXPECT_EQ(t.Lookup(h + 1, &kKindA), nullptr);  // slot never used
  EXPECT_EQ(t.Lookup(h ^ (1u << TnxHandleTable::kIndexBits), &kKindA), nullptr);  // other generation
  EXPECT_EQ(t.Lookup(0xFFFFFFFFu, &kKindA), nullptr);
  EXPECT_EQ(t.Lookup(h, &kKindA), &x);
}

TEST(NxHandleTable, SlotRetiresInsteadOfWrappingItsGeneration) {
  TnxHandleTable t;
  int x = 0;
  std::set<TnxHandle> seen;
  const TnxHandle firstHandle = t.Add(&x, &kKindA);
  TnxHandle h = firstHandle;
  for (std::uint32_t i = 0; i < TnxHandleTable::kMaxGeneration + 2; ++i) {
    ASSERT_TRUE(seen.insert(h).second) << "handle issued twice: " << h;
    ASSERT_TRUE(t.Remove(h, &kKindA));
    h = t.Add(&x, &kKindA);
  }
  EXPECT_EQ(t.Lookup(firstHandle, &kKindA), nullptr);
  EXPECT_NE(h & TnxHandleTable::kMaxSlots, firstHandle & TnxHandleTable::kMaxSlots);
}

TEST(NxHandleTable, ConcurrentAddLookupRemove) {
  nxtest::Watchdog watchdog;
  TnxHandleTable t;
  std::atomic<bool> wrong{false};
  std::vector<std::thread> threads;
  for (int n = 0; n < 4; ++n) {
    threads.emplace_back([&] {
      std::vector<int> objects(64);
      for (int round = 0; round < 200; ++round) {
        std::vector<TnxHandle> handles;
        for (int& o : objects) handles.push_back(t.Add(&o, &kKindA));
        for (std::size_t i = 0; i < handles.size(); ++i)
          if (t.Lookup(handles[i], &kKindA) != &objects[i]) wrong = true;
        for (TnxHandle hd : handles)
          if (!t.Remove(hd, &kKindA) || t.Lookup(hd, &kKindA)) wrong = true;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_FALSE(wrong);
  EXPECT_EQ(t.Count(), 0u);
}

}  // namespace

namespace {

// An object counted by its users; its owner frees it once the handle is gone
// and the last user has left.
struct Counted {
  std::atomic<int> users{0};
  int payload = 42;
};

TEST(NxHandleTable, LookupAndTakeNeverHandsOutAnObjectBeingFreed) {
  nxtest::Watchdog watchdog;
  static const char kKind = 0;
  TnxHandleTable table;
  constexpr int kObjects = 256;
  std::vector<Counted*> objects;
  std::vector<TnxHandle> handles;
  for (int i = 0; i < kObjects; ++i) {
    objects.push_back(new Counted);
    handles.push_back(table.Add(objects.back(), &kKind));
  }
  std::atomic<int> removed{0};
  nxtest::runThreads(6, [&](int aThread) {
    if (aThread < 2) {  // owners: remove the handle, wait for the users, free
      for (int i; (i = removed.fetch_add(1)) < kObjects;) {
        ASSERT_TRUE(table.Remove(handles[static_cast<std::size_t>(i)], &kKind));
        Counted* object = objects[static_cast<std::size_t>(i)];
        while (object->users.load() != 0) std::this_thread::yield();
        delete object;
      }
      return;
    }
    for (int n = 0; removed.load() < kObjects + 2; ++n) {
      Counted* taken = nullptr;
      const TnxHandle h = handles[static_cast<std::size_t>((n * 13 + aThread) % kObjects)];
      if (!table.LookupAndTake(h, &kKind, [&](void* aObject) {
            taken = static_cast<Counted*>(aObject);
            ++taken->users;
            return true;
          }))
        continue;
      EXPECT_EQ(taken->payload, 42);  // freed memory would show under the sanitizer
      --taken->users;
    }
  });
  EXPECT_EQ(table.Count(), 0u);
  const TnxHandle stale = handles[0];
  EXPECT_FALSE(table.LookupAndTake(stale, &kKind, [](void*) { return true; }));
}

}  // namespace
