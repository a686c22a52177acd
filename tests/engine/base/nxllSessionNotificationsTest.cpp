#include "nxllSessionNotifications.h"
#include "nxTestWatchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <utility>
#include <thread>
#include <vector>

namespace {

// A counted notifier; aAlive (when given) is 1 from construction until the
// last reference is gone.
class Recorder : public TnxInterfacedObject, public InxSessionNotifier {
 public:
  Recorder(int aId, std::vector<int>* aLog, std::function<void()> aOnCall = {}, std::atomic<int>* aAlive = nullptr,
           std::atomic<int>* aCalls = nullptr)
      : id_(aId), log_(aLog), onCall_(std::move(aOnCall)), alive_(aAlive), calls_(aCalls) {
    if (alive_) ++*alive_;
  }
  ~Recorder() override {
    if (alive_) --*alive_;
  }
  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override {
    return TnxInterfacedObject::QueryInterface(aIID, aObj);
  }
  std::int32_t AddRef() override { return TnxInterfacedObject::AddRef(); }
  std::int32_t Release() override { return TnxInterfacedObject::Release(); }
  void Disconnected() override {
    if (log_) log_->push_back(id_);
    if (calls_) ++*calls_;
    if (onCall_) onCall_();
  }

 private:
  int id_;
  std::vector<int>* log_;
  std::function<void()> onCall_;
  std::atomic<int>* alive_;
  std::atomic<int>* calls_;
};

// A new notifier as an interface reference (the reference holds it).
TnxIntfPtr<InxSessionNotifier> notifier(int aId, std::vector<int>* aLog, std::function<void()> aOnCall = {},
                                        std::atomic<int>* aAlive = nullptr, std::atomic<int>* aCalls = nullptr) {
  return TnxIntfPtr<InxSessionNotifier>(
      platform::create<Recorder>(aId, aLog, std::move(aOnCall), aAlive, aCalls));
}

TnxNotifierHandle withCheck(TnxNotifierHandle aHandle) {
  aHandle.nhCheck = aHandle.nhRegistry ^ aHandle.nhHandle ^ aHandle.nhTickCount;
  return aHandle;
}

struct Fixture : ::testing::Test {
  std::vector<int> log;
  TnxSessionNotifications registry;

  TnxNotifierHandle add(int aId, std::function<void()> aOnCall = {}) {
    TnxNotifierHandle h;
    registry.RegisterNotifier(notifier(aId, &log, std::move(aOnCall)), h);
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
  other.RegisterNotifier(notifier(9, &log), otherHandle);

  registry.UnregisterNotifier(TnxNotifierHandle{});
  registry.UnregisterNotifier(otherHandle);  // another registry's handle
  TnxNotifierHandle badCheck = h;
  badCheck.nhCheck ^= 1;
  registry.UnregisterNotifier(badCheck);
  TnxNotifierHandle forged = h;  // consistent check, but no such entry
  forged.nhHandle ^= 0x55;
  registry.UnregisterNotifier(withCheck(forged));
  TnxNotifierHandle otherTick = h;  // the live entry, another registration's tick count
  otherTick.nhTickCount ^= 2;
  registry.UnregisterNotifier(withCheck(otherTick));
  TnxNotifierHandle renamed = otherHandle;  // the other registry's entry under this id
  renamed.nhRegistry = h.nhRegistry;
  registry.UnregisterNotifier(withCheck(renamed));
  registry.Disconnected();
  EXPECT_EQ(log, std::vector<int>{1});
  other.Disconnected();
  EXPECT_EQ(log, (std::vector<int>{1, 9}));
}

TEST_F(NxSessionNotifications, UnregisterEndsARegistrationOnceAndStaleHandlesMissReusedSlots) {
  std::atomic<int> alive{0};
  TnxNotifierHandle h;
  registry.RegisterNotifier(notifier(1, &log, {}, &alive), h);
  EXPECT_EQ(alive, 1);  // the registry holds it
  registry.UnregisterNotifier(h);
  EXPECT_EQ(alive, 0);
  registry.UnregisterNotifier(h);  // a second time: nothing

  // Register and unregister until the table hands h's slot out again; the
  // stale handle must not end the registration that now lives there.
  constexpr std::uint32_t kSlotMask = (1u << TnxHandleTable::kIndexBits) - 1;
  TnxNotifierHandle reused;
  for (int i = 0; i < 100000; ++i) {
    reused = add(2);
    if ((reused.nhHandle & kSlotMask) == (h.nhHandle & kSlotMask)) break;
    registry.UnregisterNotifier(reused);
  }
  ASSERT_EQ(reused.nhHandle & kSlotMask, h.nhHandle & kSlotMask);
  EXPECT_NE(reused.nhHandle, h.nhHandle);
  TnxNotifierHandle stale = h;  // even with the new registration's tick count
  stale.nhTickCount = reused.nhTickCount;
  registry.UnregisterNotifier(h);
  registry.UnregisterNotifier(withCheck(stale));
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
  owned->RegisterNotifier(notifier(5, &log), h);
  platform::TObject::free(owned);
  EXPECT_EQ(log, std::vector<int>{5});
}

// The registry counts through the session that aggregates it.
TEST(NxSessionNotificationsAggregated, ReferencesAndQueriesGoToTheController) {
  auto* session = platform::create<TnxInterfacedObject>();
  TnxIntfPtr<InxInterface> sessionRef(static_cast<InxInterface*>(session));
  auto* registry = platform::create<TnxSessionNotifications>(session);
  {
    TnxIntfPtr<InxSessionNotifications> intf(registry);
    EXPECT_EQ(session->RefCount(), 2);
  }
  EXPECT_EQ(session->RefCount(), 1);
  void* obj = nullptr;
  EXPECT_EQ(registry->QueryInterface(InxSessionNotifications::IID, &obj), nxE_NOINTERFACE);  // the session's answer
  platform::TObject::free(registry);
}

// Unregistering threads race the disconnect walk: every registration ends
// exactly once, either by its call or by its unregistration.
TEST(NxSessionNotificationsConcurrent, UnregisterRacingDisconnectEndsEachRegistrationOnce) {
  nxtest::Watchdog watchdog;
  constexpr int kPerThread = 2000, kThreads = 4;
  for (int round = 0; round < 5; ++round) {
    auto registry = std::make_unique<TnxSessionNotifications>();
    std::vector<std::atomic<int>> calls(kThreads * kPerThread);
    std::vector<std::atomic<int>> alive(calls.size());
    std::vector<TnxNotifierHandle> handles(calls.size());
    for (std::size_t i = 0; i < calls.size(); ++i)
      registry->RegisterNotifier(notifier(0, nullptr, {}, &alive[i], &calls[i]), handles[i]);
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
      ASSERT_EQ(alive[i].load(), 0) << i;  // released, none leaked
    }
    registry.reset();  // nothing left to tell
    for (std::size_t i = 0; i < calls.size(); ++i) ASSERT_LE(calls[i].load(), 1);
  }
}

}  // namespace
