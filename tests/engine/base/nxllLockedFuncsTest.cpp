#include "nxllLockedFuncs.h"
#include "nxTestWatchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace {

TEST(NxLocked, IntegerOperationsReturnTheDocumentedValue) {
  volatile std::int32_t v = 5;
  EXPECT_EQ(nxLockedCompareExchange(v, 9, 4), 5);  // comparand differs: unchanged
  EXPECT_EQ(v, 5);
  EXPECT_EQ(nxLockedCompareExchange(v, 9, 5), 5);
  EXPECT_EQ(v, 9);
  EXPECT_EQ(nxLockedExchange(v, -3), 9);
  EXPECT_EQ(v, -3);
  EXPECT_EQ(nxLockedExchangeAdd(v, 10), -3);  // previous value
  EXPECT_EQ(v, 7);
  EXPECT_EQ(nxLockedAdd(v, 5), 12);  // new value
  EXPECT_EQ(nxLockedSub(v, 20), -8);
  EXPECT_EQ(nxLockedIncrement(v), -7);
  EXPECT_EQ(nxLockedDecrement(v), -8);
  v = INT32_MAX;
  EXPECT_EQ(nxLockedIncrement(v), INT32_MIN);  // wraps like the hardware
}

TEST(NxLocked, PointerAndObjectExchange) {
  int a = 0, b = 0;
  void* volatile p = &a;
  EXPECT_EQ(nxLockedCompareExchangePointer(p, &b, nullptr), &a);
  EXPECT_EQ(p, &a);
  EXPECT_EQ(nxLockedCompareExchangePointer(p, &b, &a), &a);
  EXPECT_EQ(p, &b);
  EXPECT_EQ(nxLockedExchangePointer(p, nullptr), &b);
  EXPECT_EQ(p, nullptr);

  // Lazy creation: only the first installer wins.
  int* volatile slot = nullptr;
  EXPECT_EQ(nxLockedCompareExchangeObject(slot, &a, static_cast<int*>(nullptr)), nullptr);
  EXPECT_EQ(nxLockedCompareExchangeObject(slot, &b, static_cast<int*>(nullptr)), &a);
  EXPECT_EQ(slot, &a);
  EXPECT_EQ(nxLockedExchangeObject(slot, static_cast<int*>(nullptr)), &a);
  EXPECT_EQ(slot, nullptr);
}

TEST(NxLocked, ConcurrentIncrementsAreNotLost) {
  volatile std::int32_t counter = 0;
  constexpr int kThreads = 8, kEach = 50000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        nxLockedIncrement(counter);
        nxLockedAdd(counter, 2);
        nxLockedSub(counter, 1);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, kThreads * kEach * 2);
}

TEST(NxUseCount, FirstEnterAndLastLeaveRun) {
  TnxUseCount c{0};
  EXPECT_FALSE(nxUseCountLeave(c)) << "unmatched leave";
  EXPECT_EQ(c, 0);
  EXPECT_TRUE(nxUseCountEnter(c));
  EXPECT_FALSE(nxUseCountEnter(c));
  EXPECT_FALSE(nxUseCountLeave(c));
  EXPECT_TRUE(nxUseCountLeave(c));
  EXPECT_TRUE(nxUseCountEnter(c)) << "a module can start again after its last finalisation";
}

// --- list heads ---

struct ListFixture : ::testing::Test {
  TnxListHead head;
  TnxListEntry e[200];
  void SetUp() override { nxListHeadInit(head); }
  std::vector<TnxListEntry*> drain() {
    std::vector<TnxListEntry*> out;
    while (TnxListEntry* x = nxListHeadPop(head)) out.push_back(x);
    return out;
  }
  static std::uint32_t depth(const TnxListHead& h) { return h.lhSequence >> 16; }
  static std::uint32_t counter(const TnxListHead& h) { return h.lhSequence & 0xFFFF; }
};

TEST_F(ListFixture, PushThenPopReturnsEntryAndAdvancesSequenceByTwo) {
  nxListHeadPush(head, &e[0]);
  EXPECT_EQ(head.lhFirst, &e[0]);
  EXPECT_EQ(nxListHeadPop(head), &e[0]);
  EXPECT_EQ(head.lhFirst, nullptr);
  EXPECT_EQ(head.lhSequence, 2u);
  EXPECT_EQ(nxListHeadPop(head), nullptr);
  EXPECT_EQ(head.lhSequence, 2u) << "a failed pop changes nothing";
}

TEST_F(ListFixture, PopIsLastInFirstOut) {
  for (int i = 0; i < 5; ++i) nxListHeadPush(head, &e[i]);
  const auto got = drain();
  ASSERT_EQ(got.size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(got[i], &e[4 - i]);
}

TEST_F(ListFixture, FlushDetachesWholeChainWithoutChangingSequence) {
  EXPECT_EQ(nxListHeadFlush(head), nullptr);
  EXPECT_EQ(head.lhSequence, 0u);
  for (int i = 0; i < 3; ++i) nxListHeadPush(head, &e[i]);
  EXPECT_EQ(head.lhSequence, 3u);
  TnxListEntry* chain = nxListHeadFlush(head);
  EXPECT_EQ(head.lhFirst, nullptr);
  EXPECT_EQ(head.lhSequence, 3u);
  ASSERT_EQ(chain, &e[2]);
  EXPECT_EQ(chain->leNext, &e[1]);
  EXPECT_EQ(chain->leNext->leNext, &e[0]);
  EXPECT_EQ(chain->leNext->leNext->leNext, nullptr);
}

TEST_F(ListFixture, PushChainPutsChainBeforeOldEntries) {
  nxListHeadPush(head, &e[0]);
  nxListHeadPush(head, &e[1]);  // list: 1, 0
  e[10].leNext = &e[11];
  e[11].leNext = &e[12];
  e[12].leNext = nullptr;
  nxListHeadPushChain(head, &e[10], &e[12]);
  EXPECT_EQ(head.lhSequence, 3u);
  const std::vector<TnxListEntry*> want{&e[10], &e[11], &e[12], &e[1], &e[0]};
  EXPECT_EQ(drain(), want);
}

TEST_F(ListFixture, PushLimitedCountsDepthAndRefusesBeyondMaximum) {
  for (int i = 0; i < 128; ++i) ASSERT_EQ(nxListHeadPushLimited(head, &e[i], 128), i + 1);
  const TnxListHead before = head;
  e[128].leNext = &e[150];  // must stay untouched by the refused push
  EXPECT_EQ(nxListHeadPushLimited(head, &e[128], 128), 0);
  EXPECT_EQ(head.lhFirst, before.lhFirst);
  EXPECT_EQ(head.lhSequence, before.lhSequence);
  EXPECT_EQ(e[128].leNext, &e[150]);
  EXPECT_EQ(depth(head), 128u);

  for (int i = 127; i >= 0; --i) {
    ASSERT_EQ(nxListHeadPopLimited(head, 0), &e[i]);
    EXPECT_EQ(depth(head), std::uint32_t(i));
  }
  EXPECT_EQ(nxListHeadPopLimited(head, 0), nullptr);
  EXPECT_EQ(head.lhFirst, nullptr);
  EXPECT_EQ(counter(head), 256u);
}

TEST_F(ListFixture, PopLimitedKeepsMinimumDepth) {
  for (int i = 0; i < 3; ++i) nxListHeadPushLimited(head, &e[i], 10);
  EXPECT_EQ(nxListHeadPopLimited(head, 2), &e[2]);  // depth 3 -> 2 allowed
  EXPECT_EQ(nxListHeadPopLimited(head, 2), nullptr);  // 2 -> 1 would go below
  EXPECT_EQ(depth(head), 2u);
  EXPECT_EQ(nxListHeadPopLimited(head, 1), &e[1]);
}

TEST_F(ListFixture, LimitedCounterWrapsWithoutTouchingDepth) {
  for (int i = 0; i < 3; ++i) nxListHeadPushLimited(head, &e[i], 10);
  head.lhSequence = (3u << 16) | 0xFFFF;
  EXPECT_EQ(nxListHeadPushLimited(head, &e[3], 10), 4);
  EXPECT_EQ(depth(head), 4u);
  EXPECT_EQ(counter(head), 0u);

  head.lhSequence = (4u << 16) | 0xFFFF;
  EXPECT_EQ(nxListHeadPopLimited(head, 0), &e[3]);
  EXPECT_EQ(depth(head), 3u);
  EXPECT_EQ(counter(head), 0u);
}

TEST_F(ListFixture, PlainSequenceWrapsAt32Bits) {
  head.lhSequence = 0xFFFFFFFFu;
  nxListHeadPush(head, &e[0]);
  EXPECT_EQ(head.lhSequence, 0u);
  EXPECT_EQ(nxListHeadPop(head), &e[0]);
}

// Every entry carries a flag that its holder sets; a second holder at once
// (an entry handed out twice after an ABA mix-up) is caught at the moment.
struct Node {
  TnxListEntry link;
  std::atomic<int> held{0};
};
static_assert(offsetof(Node, link) == 0);

Node* asNode(TnxListEntry* e) { return reinterpret_cast<Node*>(e); }

struct Stress {
  static constexpr int kThreads = 8;
  static constexpr int kNodes = 64;  // few nodes: many collisions on the same entries
  static constexpr int kRounds = 20000;
  std::vector<Node> nodes = std::vector<Node>(kNodes);
  std::atomic<int> doubleHeld{0};

  bool take(TnxListEntry* e) {
    if (asNode(e)->held.exchange(1) != 0) {
      doubleHeld.fetch_add(1);
      return false;
    }
    return true;
  }
  void release(TnxListEntry* e) { asNode(e)->held.store(0); }

  template <class Body>
  void run(Body body) {
    nxtest::Watchdog watchdog;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back([&, t] { body(t); });
    for (auto& th : threads) th.join();
  }

  // Every node exactly once in the chain and the extra entries together.
  void expectAllOnce(TnxListEntry* chain, const std::vector<TnxListEntry*>& extra = {}) {
    std::vector<int> seen(kNodes, 0);
    int count = 0;
    auto note = [&](TnxListEntry* x) {
      const auto idx = asNode(x) - nodes.data();
      ASSERT_TRUE(idx >= 0 && idx < kNodes);
      ++seen[idx];
      ++count;
    };
    for (TnxListEntry* x = chain; x && count <= kNodes; x = x->leNext) note(x);
    for (TnxListEntry* x : extra) note(x);
    EXPECT_EQ(count, kNodes);
    for (int i = 0; i < kNodes; ++i) EXPECT_EQ(seen[i], 1) << "node " << i;
    EXPECT_EQ(doubleHeld.load(), 0);
  }
};

TEST(NxListHeadConcurrent, PushPopAndChainsLoseAndDuplicateNothing) {
  Stress s;
  TnxListHead head;
  nxListHeadInit(head);
  for (auto& n : s.nodes) nxListHeadPush(head, &n.link);
  s.run([&](int t) {
    for (int r = 0; r < Stress::kRounds; ++r) {
      TnxListEntry* got[3];
      int n = 0;
      const int want = 1 + (r + t) % 3;
      while (n < want)
        if (TnxListEntry* x = nxListHeadPop(head)) {
          if (!s.take(x)) return;
          got[n++] = x;
        }
      for (int i = 0; i < n; ++i) s.release(got[i]);
      if (n == 1) {
        nxListHeadPush(head, got[0]);
      } else {
        for (int i = 0; i + 1 < n; ++i) got[i]->leNext = got[i + 1];
        nxListHeadPushChain(head, got[0], got[n - 1]);
      }
    }
  });
  s.expectAllOnce(nxListHeadFlush(head));
}

TEST(NxListHeadConcurrent, LimitedPushPopKeepDepthExact) {
  Stress s;
  TnxListHead head;
  nxListHeadInit(head);
  constexpr std::uint16_t kMax = Stress::kNodes - 8;  // some pushes must be refused
  std::vector<TnxListEntry*> spare;
  for (int i = 0; i < Stress::kNodes; ++i) {
    if (nxListHeadPushLimited(head, &s.nodes[i].link, kMax) == 0) spare.push_back(&s.nodes[i].link);
  }
  ASSERT_EQ(spare.size(), 8u);
  std::atomic<int> refused{0};
  std::mutex heldLock;
  std::vector<TnxListEntry*> held;
  s.run([&](int t) {
    std::vector<TnxListEntry*> mine{spare[t]};
    for (int r = 0; r < Stress::kRounds; ++r) {
      if ((r + t) % 2 == 0) {
        if (TnxListEntry* x = nxListHeadPopLimited(head, 4)) {
          if (!s.take(x)) return;
          mine.push_back(x);
        }
      } else {
        while (!mine.empty()) {
          TnxListEntry* x = mine.back();
          s.release(x);
          if (nxListHeadPushLimited(head, x, kMax) == 0) {
            s.take(x);
            refused.fetch_add(1);
            break;
          }
          mine.pop_back();
        }
      }
    }
    std::lock_guard<std::mutex> g(heldLock);
    held.insert(held.end(), mine.begin(), mine.end());
  });
  EXPECT_GT(refused.load(), 0) << "the maximum was never reached: the test did not test it";
  EXPECT_LE(head.lhSequence >> 16, kMax);
  EXPECT_EQ(std::size_t(head.lhSequence >> 16) + held.size(), std::size_t(Stress::kNodes)) << "depth drifted";
  s.expectAllOnce(nxListHeadFlush(head), held);
}

}  // namespace
