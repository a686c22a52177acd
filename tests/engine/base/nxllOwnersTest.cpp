#include "nxllOwners.h"

#include <gtest/gtest.h>

#include <string>

#include "nxllBase.h"
#include "nxllException.h"
#include "nxllSync.h"
#include "plErrors.h"

namespace {

int gAlive = 0;

class TOwnedProbe : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  explicit TOwnedProbe(bool aRefuseFree = false) : refuseFree(aRefuseFree) { ++gAlive; }
  ~TOwnedProbe() override { --gAlive; }
  void beforeDestruction() override {
    if (refuseFree) throw platform::RuntimeError("still in use");
  }
  bool refuseFree;
};
PL_CLASS_INFO_IMPL(TOwnedProbe, TnxObject, "TOwnedProbe", nullptr)

class TDerivedProbe : public TOwnedProbe {
  PL_CLASS_INFO_DECL()
};
PL_CLASS_INFO_IMPL(TDerivedProbe, TOwnedProbe, "TDerivedProbe", nullptr)

TEST(Owned, FreesOnceAndHandsOver) {
  {
    TnxOwned<TOwnedProbe> a = nxCreateOwned<TOwnedProbe>();
    EXPECT_EQ(gAlive, 1);
    TnxOwned<TOwnedProbe> b = std::move(a);
    EXPECT_FALSE(a);
    EXPECT_TRUE(b);
    TnxOwned<TOwnedProbe> derived = nxAdopt(platform::create<TDerivedProbe>());
    EXPECT_EQ(gAlive, 2);
    b = std::move(derived);  // frees the first
    EXPECT_EQ(gAlive, 1);
    TOwnedProbe* raw = b.release();
    EXPECT_FALSE(b);
    EXPECT_EQ(gAlive, 1);
    b.reset(raw);
  }
  EXPECT_EQ(gAlive, 0);
}

TEST(Owned, FailedFreeKeepsTheObjectOwned) {
  TnxOwned<TOwnedProbe> a = nxCreateOwned<TOwnedProbe>(true);
  EXPECT_THROW(a.reset(), platform::RuntimeError);
  ASSERT_TRUE(a);
  EXPECT_EQ(gAlive, 1);
  a->refuseFree = false;
  a.reset();
  EXPECT_EQ(gAlive, 0);
}

// A counted record as the dictionary keeps them: a plain struct and two
// functions.
struct TProbeRecord {
  int refCount = 1;
  int* freed;
};
void nxCountedAddRef(TProbeRecord* aRecord) { ++aRecord->refCount; }
void nxCountedRelease(TProbeRecord* aRecord) {
  if (--aRecord->refCount == 0) {
    ++*aRecord->freed;
    delete aRecord;  // a plain struct, not a class with metadata
  }
}

TEST(CountedRef, CountsCopiesAndReleasesOnReset) {
  int freed = 0;
  auto* record = new TProbeRecord{1, &freed};
  {
    auto first = TnxCountedRef<TProbeRecord>::adopt(record);
    TnxCountedRef<TProbeRecord> second = first;
    EXPECT_EQ(record->refCount, 2);
    auto third = TnxCountedRef<TProbeRecord>::share(record);
    EXPECT_EQ(record->refCount, 3);
    TnxCountedRef<TProbeRecord> moved = std::move(third);
    EXPECT_FALSE(third);
    EXPECT_EQ(record->refCount, 3);
    second.reset();
    EXPECT_EQ(record->refCount, 2);
    second = moved;
    EXPECT_EQ(record->refCount, 3);
  }
  EXPECT_EQ(freed, 1);
}

TEST(AtomicIntfPtr, InstallsOnceAndReleasesTheLoser) {
  TnxAtomicIntfPtr<InxLifetimeMonitorObject> slot;
  TnxIntfPtr<InxLifetimeMonitorObject> first = nxNewLifetimeMonitor();
  TnxIntfPtr<InxLifetimeMonitorObject> second = nxNewLifetimeMonitor();
  TnxIntfPtr<InxLifetimeMonitorRef> firstRef = nxSupports<InxLifetimeMonitorRef>(first.get());
  TnxIntfPtr<InxLifetimeMonitorRef> secondRef = nxSupports<InxLifetimeMonitorRef>(second.get());
  EXPECT_EQ(slot.getOrInstall(first), first.get());
  EXPECT_EQ(slot.getOrInstall(second), first.get());  // the loser stays with its caller
  first.reset();
  second.reset();
  EXPECT_TRUE(firstRef->IsAlive());    // the slot holds the winner
  EXPECT_FALSE(secondRef->IsAlive());  // nobody holds the loser's object side
  TnxIntfPtr<InxLifetimeMonitorObject> old = slot.exchange(nullptr);
  EXPECT_FALSE(slot);
  ASSERT_TRUE(old);
  old.reset();
  EXPECT_FALSE(firstRef->IsAlive());
}

TEST(PadlockGuard, LazyPadlockIsCreatedByTheFirstGuard) {
  TnxLazyPadlock lock;
  EXPECT_EQ(lock.Peek(), nullptr);
  {
    TnxPadlockGuard guard(lock);
    ASSERT_NE(lock.Peek(), nullptr);
    TnxPadlockGuard again(lock);  // re-entrant
  }
  TnxPadlock* padlock = lock.Peek();
  padlock->Lock();
  TnxPadlockGuard adopted(*padlock, std::adopt_lock);
}

TEST(Assertion, NamesTheTextModuleAndLine) {
  try {
    nxAssert(1 + 1 == 3, "arithmetic holds");
    FAIL();
  } catch (const platform::AssertionFailed& e) {
    EXPECT_EQ(std::string(e.what()),
              "Assertion failed: arithmetic holds (nxllOwnersTest, line " + std::to_string(__LINE__ - 4) + ")");
  }
  EXPECT_NO_THROW(nxAssert(true, "never"));
  static_assert(nxModuleOfPath("/a/b/nxllStreams.cpp") == "nxllStreams");
}

}  // namespace
