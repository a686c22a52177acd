#include "nxllBase.h"

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "plErrors.h"
#include "nxTestWatchdog.h"

namespace {

int gDestroyed = 0;
int gFreeing = 0;

class Counted : public TnxInterfacedObject {
 public:
  explicit Counted(bool aKeepAlive = false) : TnxInterfacedObject(aKeepAlive) {}
  ~Counted() override { ++gDestroyed; }
  void Freeing() override {
    ++gFreeing;
    EXPECT_EQ(gDestroyed, 0) << "Freeing runs before destruction";
  }
};

// Hands itself out as an interface while being destroyed.
class Resurrecting : public TnxInterfacedObject {
 public:
  void beforeDestruction() override {
    TnxInterfacedObject::beforeDestruction();
    TnxIntfPtr<InxInterface> self(static_cast<TnxInterfacedObject*>(this));
  }
  ~Resurrecting() override { ++gDestroyed; }
};

class InxProbe : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x11112222, 0x3333, 0x4444, {1, 2, 3, 4, 5, 6, 7, 8}};
  virtual int Answer() = 0;

 protected:
  ~InxProbe() = default;
};

class Probe : public TnxInterfacedObject, public InxProbe {
 public:
  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override {
    return TnxInterfacedObject::QueryInterface(aIID, aObj);
  }
  std::int32_t AddRef() override { return TnxInterfacedObject::AddRef(); }
  std::int32_t Release() override { return TnxInterfacedObject::Release(); }
  int Answer() override { return 42; }

 protected:
  const TnxInterfaceEntry* interfaceTable() const override {
    static const TnxInterfaceEntry table[] = {
        {&InxProbe::IID, [](TnxInterfacedObject* o) -> InxInterface* { return static_cast<InxProbe*>(static_cast<Probe*>(o)); }},
        {nullptr, nullptr}};
    return table;
  }
};

class Tracked : public TnxLifetimeTrackedObject {};

struct BaseTest : ::testing::Test {
  void SetUp() override { gDestroyed = gFreeing = 0; }
};

}  // namespace

TEST_F(BaseTest, UnreferencedObjectIsDestroyedByFree) {
  auto* o = platform::create<Counted>();
  EXPECT_EQ(o->RefCount(), 0) << "count 1 while constructing, 0 after";
  TnxInterfacedObject::Free(o);
  EXPECT_EQ(gDestroyed, 1);
}

TEST_F(BaseTest, ReferencedObjectSurvivesFreeUntilLastRelease) {
  auto* o = platform::create<Counted>();
  TnxIntfPtr<InxInterface> ref(static_cast<TnxInterfacedObject*>(o));
  TnxInterfacedObject::Free(o);
  EXPECT_EQ(gDestroyed, 0);
  EXPECT_EQ(o->RefCount(), 1);
  ref.reset();
  EXPECT_EQ(gDestroyed, 1);
}

TEST_F(BaseTest, KeptAliveObjectNeedsFreeAndFreeingRunsOnce) {
  auto* o = platform::create<Counted>(true);
  EXPECT_TRUE(o->KeptAlive());
  EXPECT_EQ(o->AddRef(), 1);
  EXPECT_EQ(o->Release(), 0);
  EXPECT_EQ(gDestroyed, 0) << "a count of zero does not destroy a kept-alive object";
  TnxInterfacedObject::Free(o);
  EXPECT_EQ(gFreeing, 1);
  EXPECT_EQ(gDestroyed, 1);
}

TEST_F(BaseTest, ReachingZeroTwiceDestroysOnce) {
  auto* o = platform::create<Resurrecting>();
  EXPECT_EQ(o->AddRef(), 1);
  EXPECT_EQ(o->AddRef(), 2);
  EXPECT_EQ(o->Release(), 1);
  EXPECT_EQ(o->Release(), 0);
  EXPECT_EQ(gDestroyed, 1);
}

TEST_F(BaseTest, FreeAndNilOfAReferencedObjectRaisesAndClearsTheVariable) {
  Counted* o = platform::create<Counted>();
  TnxIntfPtr<InxInterface> ref(static_cast<TnxInterfacedObject*>(o));
  Counted* var = o;
  EXPECT_THROW(nxFreeAndNil(var), platform::InvalidPointer);
  EXPECT_EQ(var, nullptr);
  EXPECT_EQ(gDestroyed, 0);
  nxReleaseAndNil(ref);
  EXPECT_FALSE(ref);
  EXPECT_EQ(gDestroyed, 1);
  Counted* none = nullptr;
  nxFreeAndNil(none);
  nxReleaseAndNil(ref);
}

TEST_F(BaseTest, QueryInterfaceByGuid) {
  auto* o = platform::create<Probe>();
  TnxIntfPtr<InxInterface> keep(static_cast<TnxInterfacedObject*>(o));
  TnxIntfPtr<InxProbe> probe = nxSupports<InxProbe>(static_cast<TnxInterfacedObject*>(o));
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->Answer(), 42);
  EXPECT_EQ(o->RefCount(), 2);
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(o->TnxInterfacedObject::QueryInterface(InxLifetimeMonitorRef::IID, &none), nxE_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(o->className(), "TnxInterfacedObject");
}

TEST_F(BaseTest, LifetimeMonitorOutlivesTheWatchedObject) {
  auto* t = platform::create<Tracked>();
  TnxIntfPtr<InxLifetimeMonitorRef> monitor = t->GetLifetimeMonitor();
  ASSERT_TRUE(monitor);
  EXPECT_TRUE(monitor->IsAlive());
  EXPECT_EQ(t->GetLifetimeMonitor().get(), monitor.get()) << "created once";
  Tracked* var = t;
  nxFreeAndNil(var);
  EXPECT_FALSE(monitor->IsAlive());
}

TEST_F(BaseTest, RacingThreadsGetTheSameMonitor) {
  nxtest::Watchdog watchdog;
  for (int round = 0; round < 50; ++round) {
    auto* t = platform::create<Tracked>();
    std::vector<TnxIntfPtr<InxLifetimeMonitorRef>> got(4);
    std::atomic<int> go{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
      threads.emplace_back([&, i] {
        go.fetch_add(1);
        while (go.load() < 4) {
        }
        got[std::size_t(i)] = t->GetLifetimeMonitor();
      });
    for (auto& th : threads) th.join();
    for (auto& m : got) EXPECT_EQ(m.get(), got[0].get());
    platform::TObject::free(t);
    for (auto& m : got) EXPECT_FALSE(m->IsAlive());
  }
}

TEST_F(BaseTest, MonitorCreatedAloneCountsOneObjectReference) {
  TnxIntfPtr<InxLifetimeMonitorObject> side;
  nxCreateLifetimeMonitor(side);
  TnxIntfPtr<InxLifetimeMonitorRef> ref = nxSupports<InxLifetimeMonitorRef>(side.get());
  EXPECT_TRUE(ref->IsAlive());
  side->Dead();
  EXPECT_FALSE(ref->IsAlive());
  side.reset();
  EXPECT_FALSE(ref->IsAlive());
}

TEST_F(BaseTest, InstancesAreZeroedAndAligned) {
  struct WithHead : TnxObject {
    TnxListHead head;
  };
  struct alignas(64) Wide : TnxObject {
    char bytes[100];
  };
  for (int i = 0; i < 20; ++i) {
    auto* h = platform::create<WithHead>();
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&h->head) % 16, 0u);
    EXPECT_EQ(h->head.lhFirst, nullptr) << "zero-filled";
    EXPECT_EQ(h->head.lhSequence, 0u);
    TnxListEntry entry;
    nxListHeadPush(h->head, &entry);  // a 16-byte exchange on the member
    EXPECT_EQ(nxListHeadPop(h->head), &entry);
    platform::TObject::free(h);
    auto* w = platform::create<Wide>();
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(w) % 64, 0u);
    EXPECT_EQ(w->bytes[99], 0);
    platform::TObject::free(w);
  }
}

#if !NX_SYSTEM_HEAP
TEST_F(BaseTest, InstancesComeFromTheEngineAllocator) {
  auto* o = platform::create<Counted>();
  TnxMemoryManagerImpl* mm = nxStandardMemoryManager();
  ASSERT_NE(mm, nullptr);
  EXPECT_NE(mm->items().poolOfItem(o), nullptr);
  TnxInterfacedObject::Free(o);
}
#endif
