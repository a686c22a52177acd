// Components: ownership, free notification and the loading bracket.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nxllComponent.h"
#include "plComponent.h"
#include "plVectorDataSet.h"

using namespace platform;

namespace {

std::vector<std::string>* gLog = nullptr;

class Probe : public TComponent {
 public:
  explicit Probe(TComponent* aOwner, std::string aTag) : TComponent(aOwner), tag(std::move(aTag)) {}
  ~Probe() override {
    if (gLog) gLog->push_back("free " + tag);
  }
  void Loaded() override {
    if (gLog) gLog->push_back("loaded " + tag);
  }
  TComponent* partner = nullptr;
  std::string tag;

 protected:
  void Notification(TComponent* aComponent, TOperation aOperation) override {
    if (gLog) {
      const std::string other = static_cast<Probe*>(aComponent)->tag;
      gLog->push_back(tag + (aOperation == opInsert ? " sees insert of " : " sees removal of ") + other);
    }
    if (aOperation == opRemove && aComponent == partner) partner = nullptr;
  }
};

class ComponentTest : public ::testing::Test {
 protected:
  void SetUp() override { gLog = &log; }
  void TearDown() override { gLog = nullptr; }
  std::vector<std::string> log;
};

TEST_F(ComponentTest, OwnerFreesItsComponentsLastFirst) {
  Probe* owner = platform::create<Probe>(nullptr, "owner");
  Probe* a = platform::create<Probe>(owner, "a");
  platform::create<Probe>(owner, "b");
  a->SetName(u"First");
  EXPECT_EQ(owner->ComponentCount(), 2);
  EXPECT_EQ(owner->FindComponent(u"first"), a);
  EXPECT_EQ(owner->FindComponent(u"none"), nullptr);
  log.clear();
  TObject::free(owner);
  EXPECT_EQ(log, (std::vector<std::string>{"free b", "free a", "free owner"}));
}

TEST_F(ComponentTest, FreedComponentLeavesItsOwnerAndTellsTheOthers) {
  Probe* owner = platform::create<Probe>(nullptr, "owner");
  Probe* a = platform::create<Probe>(owner, "a");
  Probe* b = platform::create<Probe>(owner, "b");
  EXPECT_EQ(log, std::vector<std::string>{"a sees insert of b"});
  log.clear();
  TObject::free(a);
  EXPECT_EQ(log, (std::vector<std::string>{"b sees removal of a", "free a"}));
  EXPECT_EQ(owner->ComponentCount(), 1);
  EXPECT_EQ(owner->Components(0), b);
  TObject::free(owner);
}

TEST_F(ComponentTest, FreeNotificationWorksBothWays) {
  Probe* x = platform::create<Probe>(nullptr, "x");
  Probe* y = platform::create<Probe>(nullptr, "y");
  Probe* z = platform::create<Probe>(nullptr, "z");
  x->partner = y;
  x->FreeNotification(y);
  y->FreeNotification(z);
  y->RemoveFreeNotification(z);
  TObject::free(y);
  EXPECT_EQ(x->partner, nullptr);
  EXPECT_EQ(log, (std::vector<std::string>{"x sees removal of y", "free y"}));
  log.clear();
  TObject::free(z);
  TObject::free(x);
  EXPECT_EQ(log, (std::vector<std::string>{"free z", "free x"}));
}

TEST_F(ComponentTest, LoadingBracketEndsWithLoaded) {
  Probe* p = platform::create<Probe>(nullptr, "p");
  p->BeginLoading();
  EXPECT_TRUE(p->Loading());
  EXPECT_FALSE(p->Designing());
  p->EndLoading();
  EXPECT_FALSE(p->Loading());
  EXPECT_EQ(log, std::vector<std::string>{"loaded p"});
  TObject::free(p);
}

// An engine component that drops its reference to a freed component.
class EngineProbe : public TnxComponent {
 public:
  using TnxComponent::TnxComponent;
  TComponent* watched = nullptr;

 protected:
  void Notification(TComponent* aComponent, TOperation aOperation) override {
    if (aOperation == opRemove && aComponent == watched) watched = nullptr;
  }
};

TEST_F(ComponentTest, EngineComponentsAndDataSetsOwnAndNotifyEachOther) {
  auto* ds = platform::create<pltest::TVectorDataSet>();
  auto* engine = platform::create<EngineProbe>(ds);
  EXPECT_EQ(ds->ComponentCount(), 1);
  EXPECT_EQ(engine->TComponent::Owner(), ds);
  EXPECT_EQ(engine->Owner(), nullptr);  // not an engine component
  auto* owned = platform::create<pltest::TVectorDataSet>(engine);
  EXPECT_EQ(engine->ComponentCount(), 1);
  EXPECT_EQ(engine->Components(0), nullptr);
  auto* watcher = platform::create<EngineProbe>();
  watcher->watched = owned;
  watcher->FreeNotification(owned);
  TObject::free(ds);  // frees the engine component, which frees its dataset
  EXPECT_EQ(watcher->watched, nullptr);
  TObject::free(watcher);
}

}  // namespace
