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
