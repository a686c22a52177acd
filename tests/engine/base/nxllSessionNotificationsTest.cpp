#include "nxllSessionNotifications.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

class Recorder : public InxSessionNotifier {
 public:
  Recorder(int aId, std::vector<int>& aLog, std::function<void()> aOnCall = {})
      : id_(aId), log_(aLog), onCall_(std::move(aOnCall)) {}
  void Disconnected() override {
    log_.push_back(id_);
    if (onCall_) onCall_();
  }

 private:
  int id_;
  std::vector<int>& log_;
  std::function<void()> onCall_;
};

struct Fixture : ::testing::Test {
  std::vector<int> log;
  TnxSessionNotifications registry;

  TnxNotifierHandle add(int aId, std::function<void()> aOnCall = {}) {
    TnxNotifierHandle h;
    registry.RegisterNotifier(std::make_shared<Recorder>(aId, log, std::move(aOnCall)), h);
    return h;
  }
};

using NxSessionNotifications = Fixture;

TEST_F(NxSessionNotifications, DisconnectedCallsEachOnceInRegistrationOrder) {
  add(1);
  add(2, [] { throw std::runtime_error("notifier failed"); });
  add(3);
  registry.Disconnected();
  EXPECT_EQ(log, (std::vector<int>{1, 2, 3}));
  registry.Disconnected();
  EXPECT_EQ(log, (std::vector<int>{1, 2, 3}));  // none is called again
}

TEST_F(NxSessionNotifications, NilAndForeignHandlesAreRefused) {
  TnxNotifierHandle nilHandle{1, 2, 3, 4};
  registry.RegisterNotifier(nullptr, nilHandle);
  EXPECT_TRUE(nilHandle.IsNil());

  const TnxNotifierHandle h = add(1);
  EXPECT_FALSE(h.IsNil());
  TnxSessionNotifications other;
  TnxNotifierHandle otherHandle;
  other.RegisterNotifier(std::make_shared<Recorder>(9, log), otherHandle);

  registry.UnregisterNotifier(TnxNotifierHandle{});
  registry.UnregisterNotifier(otherHandle);  // another registry's handle
  TnxNotifierHandle badCheck = h;
  badCheck.nhCheck ^= 1;
  registry.UnregisterNotifier(badCheck);
  TnxNotifierHandle forged = h;  // consistent check, but no such slot
  forged.nhSlot = 77;
  forged.nhCheck = forged.nhRegistry ^ forged.nhSlot ^ forged.nhGeneration;
  registry.UnregisterNotifier(forged);
  registry.Disconnected();
  EXPECT_EQ(log, std::vector<int>{1});
}

TEST_F(NxSessionNotifications, UnregisterEndsARegistrationOnceAndStaleHandlesMissReusedSlots) {
  std::weak_ptr<InxSessionNotifier> watch;
  TnxNotifierHandle h;
  {
    auto n = std::make_shared<Recorder>(1, log);
    watch = n;
    registry.RegisterNotifier(n, h);
  }
  EXPECT_FALSE(watch.expired());  // the registry holds it
  registry.UnregisterNotifier(h);
  EXPECT_TRUE(watch.expired());
  registry.UnregisterNotifier(h);  // a second time: nothing

  const TnxNotifierHandle reused = add(2);
  EXPECT_EQ(reused.nhSlot, h.nhSlot);  // the slot came back with a new generation
  registry.UnregisterNotifier(h);      // stale: must not end the new registration
  registry.Disconnected();
  EXPECT_EQ(log, std::vector<int>{2});
}

TEST_F(NxSessionNotifications, NotifierMayUnregisterOthersAndRegisterFromItsCall) {
  TnxNotifierHandle second;
  add(1, [&] {
    registry.UnregisterNotifier(second);
    add(4);
  });
  second = add(2);
  add(3);
  registry.Disconnected();  // would deadlock or call 2 if the lock were held or the walk ran ahead
  EXPECT_EQ(log, (std::vector<int>{1, 3, 4}));
}

TEST_F(NxSessionNotifications, DestroyTellsWhatIsStillRegistered) {
  auto* owned = platform::create<TnxSessionNotifications>();
  TnxNotifierHandle h;
  owned->RegisterNotifier(std::make_shared<Recorder>(5, log), h);
  platform::TObject::free(owned);
  EXPECT_EQ(log, std::vector<int>{5});
}

// Unregistering threads race the disconnect walk: every registration ends
// exactly once, either by its call or by its unregistration.
TEST(NxSessionNotificationsConcurrent, UnregisterRacingDisconnectEndsEachRegistrationOnce) {
  struct Counting : InxSessionNotifier {
    std::atomic<int>* calls;
    explicit Counting(std::atomic<int>* c) : calls(c) {}
    void Disconnected() override { calls->fetch_add(1); }
  };
  constexpr int kPerThread = 2000, kThreads = 4;
  for (int round = 0; round < 5; ++round) {
    auto registry = std::make_unique<TnxSessionNotifications>();
    std::vector<std::atomic<int>> calls(kThreads * kPerThread);
    std::vector<std::weak_ptr<InxSessionNotifier>> watches(calls.size());
    std::vector<TnxNotifierHandle> handles(calls.size());
    for (std::size_t i = 0; i < calls.size(); ++i) {
      auto n = std::make_shared<Counting>(&calls[i]);
      watches[i] = n;
      registry->RegisterNotifier(n, handles[i]);
    }
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        while (!go) std::this_thread::yield();
        for (int i = 0; i < kPerThread; ++i) {
          const std::size_t k = static_cast<std::size_t>(t * kPerThread + i);
          registry->UnregisterNotifier(handles[k]);
          registry->UnregisterNotifier(handles[k]);  // twice on purpose
        }
      });
    threads.emplace_back([&] {
      while (!go) std::this_thread::yield();
      registry->Disconnected();
    });
    go = true;
    for (auto& th : threads) th.join();
    for (std::size_t i = 0; i < calls.size(); ++i) {
      ASSERT_LE(calls[i].load(), 1) << i;
      ASSERT_TRUE(watches[i].expired()) << i;  // released, none leaked
    }
    registry.reset();  // nothing left to tell
    for (std::size_t i = 0; i < calls.size(); ++i) ASSERT_LE(calls[i].load(), 1);
  }
}

}  // namespace
