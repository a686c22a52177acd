#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nxllComponent.h"
#include "plString.h"

namespace {

using platform::toUtf8;
using Trace = std::vector<std::string>;

std::string st(TnxState s) { return toUtf8(nxStateDisplayName(s)); }

// Records every hook and announcement; hooks fail on request.
class TTraceComponent : public TnxStateComponent {
  PL_CLASS_INFO_DECL()
 public:
  TTraceComponent(const char16_t* aName, Trace* aTrace) : trace_(aTrace) { SetName(aName); }

  std::string failIn;                   // hook that raises
  std::string failAlso;                 // a second one
  TTraceComponent* needs = nullptr;     // DependsOn
  TnxStateComponent* stopInStopping = nullptr;
  bool nestedInStarting = false;

  bool DependsOn(TnxStateComponent* aComponent) const override { return aComponent == needs; }

 protected:
  void hook(const char* aName) {
    log(aName);
    if (failIn == aName || failAlso == aName) throw platform::RuntimeError(std::string(aName) + " failed");
  }
  void scInitializing() override { hook("scInitializing"); }
  void scDeactivating() override { hook("scDeactivating"); }
  void scStarting() override {
    hook("scStarting");
    if (nestedInStarting) SetState(nxsInactive);
  }
  void scStopping() override {
    hook("scStopping");
    if (stopInStopping) stopInStopping->SetState(nxsInactive);
  }
  void scStarted() override { log("scStarted"); }
  void scStopped() override { log("scStopped"); }
  bool StateChanging(TnxState aCurrent, TnxState aNext) override {
    log("StateChanging(" + st(aCurrent) + "," + st(aNext) + ")");
    return TnxStateComponent::StateChanging(aCurrent, aNext);
  }
  void StateChanged(TnxState aOld, TnxState aNew) override {
    log("StateChanged(" + st(aOld) + "," + st(aNew) + ")");
    TnxStateComponent::StateChanged(aOld, aNew);
  }
  void StateTransitionChanged(TnxStateTransition aTransition) override {
    log("Transition(" + toUtf8(nxStateTransitionDisplayName(aTransition)) + ")");
    TnxStateComponent::StateTransitionChanged(aTransition);
  }

 private:
  void log(const std::string& aText) {
    if (trace_) trace_->push_back(toUtf8(Name()) + "." + aText);
  }
  Trace* trace_;
};
PL_CLASS_INFO_IMPL(TTraceComponent, TnxStateComponent, "TTraceComponent", nullptr)

// A linked component that refuses state steps while armed.
class TRefuser : public TnxComponent {
  PL_CLASS_INFO_DECL()
 public:
  bool armed = false;
  void ProcessNotification(TnxComponent* aSender, TnxNotifyOp aOp, void* aParam) override {
    TnxComponent::ProcessNotification(aSender, aOp, aParam);
    if (armed && aOp == nxnStateChanging) throw EnxAbortStateChange();
  }
};
PL_CLASS_INFO_IMPL(TRefuser, TnxComponent, "TRefuser", nullptr)

Trace only(const Trace& aTrace, const std::string& aPrefix) {
  Trace r;
  for (const auto& s : aTrace)
    if (s.rfind(aPrefix, 0) == 0) r.push_back(s);
  return r;
}

TEST(NxStateTables, NextStepsNeverHitAnInvalidTransition) {
  for (int cur = 0; cur < 4; ++cur)
    for (int target = 0; target < 4; ++target)
      EXPECT_NE(nxStateTransitions[cur][nxNextState[cur][target]], nxstInvalid) << cur << "->" << target;
  EXPECT_EQ(nxStateDisplayName(static_cast<TnxState>(4)), u"");
  EXPECT_EQ(nxStateTransitionDisplayName(static_cast<TnxStateTransition>(0x80 | nxstStopping)), u"Stopping");
  EXPECT_EQ(nxStateTransitionDisplayName(static_cast<TnxStateTransition>(6)), u"");
}

TEST(NxStateComponent, CallOrderFromInactiveToStartedAndBack) {
  Trace t;
  auto* c = platform::create<TTraceComponent>(u"c", &t);
  c->SetState(nxsStarted);
  EXPECT_EQ(t, (Trace{
                   "c.Transition(Initializing)",
                   "c.StateChanging(Inactive,Stopped)",
                   "c.scInitializing",
                   "c.StateChanged(Inactive,Stopped)",
                   "c.scStopped",
                   "c.Transition(None)",
                   "c.Transition(Starting)",
                   "c.StateChanging(Stopped,Started)",
                   "c.scStarting",
                   "c.StateChanged(Stopped,Started)",
                   "c.scStarted",
                   "c.Transition(None)",
               }));
  EXPECT_EQ(c->State(), nxsStarted);
  EXPECT_TRUE(c->Active());
  EXPECT_NE(c->StartTime(), 0);
  EXPECT_TRUE(c->ActiveRuntime());

  t.clear();
  c->SetState(nxsInactive);
  EXPECT_EQ(t, (Trace{
                   "c.Transition(Stopping)",
                   "c.StateChanging(Started,Stopped)",
                   "c.scStopping",
                   "c.StateChanged(Started,Stopped)",
                   "c.scStopped",
                   "c.Transition(None)",
                   "c.Transition(Deactivating)",
                   "c.StateChanging(Stopped,Inactive)",
                   "c.scDeactivating",
                   "c.StateChanged(Stopped,Inactive)",
                   "c.Transition(None)",
               }));
  EXPECT_EQ(c->State(), nxsInactive);
  EXPECT_EQ(c->StartTime(), 0);
  platform::TObject::free(c);
}

TEST(NxStateComponent, UnsupportedIgnoresEveryRequest) {
  Trace t;
  auto* c = platform::create<TTraceComponent>(u"c", &t);
  c->SetState(nxsUnsupported);
  EXPECT_EQ(c->State(), nxsUnsupported);
  EXPECT_TRUE(only(t, "c.sc").empty());
  t.clear();
  EXPECT_NO_THROW(c->SetActive(true));
  EXPECT_NO_THROW(c->SetActive(false));
  EXPECT_EQ(c->State(), nxsUnsupported);
  EXPECT_TRUE(only(t, "c.sc").empty());
  platform::TObject::free(c);
}

// Deactivation swallows failures and forces the state down; from
// Unsupported there is no step to force, so a failing announcement must end
// the request instead of repeating it.
TEST(NxStateComponent, UnsupportedWithAFailingAnnouncementStillAnswersADeactivation) {
  auto* c = platform::create<TTraceComponent>(u"c", nullptr);
  c->SetState(nxsUnsupported);
  struct Thrower {
    int calls = 0;
    void Handle(TnxComponent*) {
      if (++calls < 50) throw platform::RuntimeError("announcement failed");  // bounded: a loop shows as a count
    }
  } thrower;
  c->SetOnStateTransChanged(TnxNotifyEvent::Of<&Thrower::Handle>(&thrower));
  EXPECT_NO_THROW(c->SetState(nxsInactive));
  EXPECT_LE(thrower.calls, 2);  // the step's announcement and its undo
  EXPECT_EQ(c->State(), nxsUnsupported);
  EXPECT_EQ(c->StateTransition(), nxstNone);
  c->SetOnStateTransChanged({});
  platform::TObject::free(c);
}

struct FailCase {
  const char* failIn;
  TnxState target;
  Trace hooks;
};

TEST(NxStateComponent, FailingStartEndsInactiveAndKeepsTheError) {
  const FailCase cases[] = {
      {"scStarting", nxsStarted, {"c.scInitializing", "c.scStopped", "c.scStarting", "c.scStopping", "c.scDeactivating"}},
      {"scInitializing", nxsStarted, {"c.scInitializing", "c.scDeactivating"}},
      {"scInitializing", nxsStopped, {"c.scInitializing", "c.scDeactivating"}},
  };
  for (const FailCase& k : cases) {
    SCOPED_TRACE(std::string(k.failIn) + " to " + st(k.target));
    Trace t;
    auto* c = platform::create<TTraceComponent>(u"c", &t);
    c->failIn = k.failIn;
    try {
      c->SetState(k.target);
      FAIL() << "no exception";
    } catch (const platform::RuntimeError& e) {
      EXPECT_EQ(std::string(e.what()), std::string(k.failIn) + " failed");
    }
    EXPECT_EQ(c->State(), nxsInactive);
    EXPECT_EQ(c->StateTransition(), nxstNone);
    EXPECT_EQ(only(t, "c.sc"), k.hooks);
    EXPECT_EQ(toUtf8(c->LastStartError()), k.target == nxsStarted ? std::string(k.failIn) + " failed" : "");

    // The error stays until the next start.
    c->failIn.clear();
    c->SetState(nxsStopped);
    c->SetState(nxsInactive);
    EXPECT_EQ(c->LastStartError().empty(), k.target != nxsStarted);
    c->SetState(nxsStarted);
    EXPECT_TRUE(c->LastStartError().empty());
    platform::TObject::free(c);
  }
}

TEST(NxStateComponent, FailingRollbackStillEndsInactive) {
  Trace t;
  auto* c = platform::create<TTraceComponent>(u"c", &t);
  auto* refuser = platform::create<TRefuser>();
  TnxOwned<platform::TObject> ownC(c), ownRefuser(refuser);  // freed in reverse
  c->SetState(nxsStopped);
  c->LinkDependent(refuser);
  c->failIn = "scStarting";
  // The refuser lets the start through but refuses the rollback.
  struct Arm {
    TRefuser* r;
    void Handle(TnxComponent* aSender) {
      if (static_cast<TnxStateComponent*>(aSender)->StateTransition() == nxstDeactivating) r->armed = true;
    }
  } arm{refuser};
  c->SetOnStateTransChanged(TnxNotifyEvent::Of<&Arm::Handle>(&arm));
  EXPECT_THROW(c->SetState(nxsStarted), platform::RuntimeError);
  EXPECT_EQ(c->State(), nxsInactive);
  c->SetOnStateTransChanged({});
}

TEST(NxStateComponent, FailingDeactivationStillCloses) {
  Trace t;
  auto* c = platform::create<TTraceComponent>(u"c", &t);
  c->Open();
  c->failIn = "scDeactivating";
  EXPECT_NO_THROW(c->Close());
  EXPECT_EQ(c->State(), nxsInactive);
  EXPECT_EQ(c->StateTransition(), nxstNone);
  c->failIn = "scStopping";
  c->Open();
  EXPECT_NO_THROW(c->Close());
  EXPECT_EQ(c->State(), nxsInactive);
  // Both steps down fail: every step is forced and none reaches
  // StateChanged, yet no uptime is left behind.
  c->failIn = "scStopping";
  c->failAlso = "scDeactivating";
  c->Open();
  ASSERT_NE(c->StartTime(), 0);
  EXPECT_NO_THROW(c->Close());
  EXPECT_EQ(c->State(), nxsInactive);
  EXPECT_EQ(c->StartTime(), 0);
  platform::TObject::free(c);
}

TEST(NxStateComponent, DisabledComponentCannotStart) {
  Trace t;
  auto* c = platform::create<TTraceComponent>(u"c", &t);
  c->Open();
  c->SetEnabled(false);
  EXPECT_EQ(c->State(), nxsInactive);
  try {
    c->SetActive(true);
    FAIL();
  } catch (const EnxStateComponentException& e) {
    EXPECT_STREQ(e.what(), "DazavAV: c: The Component is disabled. [no error code]");
  }
  EXPECT_EQ(c->State(), nxsInactive);
  EXPECT_EQ(toUtf8(c->LastStartError()), "DazavAV: c: The Component is disabled. [no error code]");
  platform::TObject::free(c);
}

TEST(NxStateComponent, AbortedStepEndsTheRequestQuietly) {
  Trace t;
  auto* c = platform::create<TTraceComponent>(u"c", &t);
  auto* refuser = platform::create<TRefuser>();
  TnxOwned<platform::TObject> ownC(c), ownRefuser(refuser);  // freed in reverse
  c->LinkDependent(refuser);
  c->SetState(nxsStopped);
  refuser->armed = true;
  EXPECT_NO_THROW(c->SetState(nxsStarted));
  EXPECT_EQ(c->State(), nxsStopped);
  EXPECT_EQ(c->StateTransition(), nxstNone);
  EXPECT_NO_THROW(c->Close());
  EXPECT_EQ(c->State(), nxsStopped);
  refuser->armed = false;
}

TEST(NxStateComponent, DestroyedComponentEndsInactiveEvenWhenItsCloseIsRefused) {
  Trace t;
  auto* c = platform::create<TTraceComponent>(u"c", &t);
  auto* refuser = platform::create<TRefuser>();
  c->LinkDependent(refuser);
  c->Open();
  refuser->armed = true;
  t.clear();
  platform::TObject::free(c);
  EXPECT_EQ(only(t, "c.sc"), (Trace{"c.scStopping", "c.scStopped", "c.scDeactivating"}));
  EXPECT_TRUE(refuser->Dependents().empty());
  platform::TObject::free(refuser);
}

TEST(NxStateComponent, DependenciesComeUpFirstAndGoDownLast) {
  Trace t;
  auto* b = platform::create<TTraceComponent>(u"b", &t);
  auto* a = platform::create<TTraceComponent>(u"a", &t);
  TnxOwned<platform::TObject> ownB(b), ownA(a);  // freed in reverse
  a->needs = b;
  a->LinkDependent(b);

  a->SetState(nxsStarted);
  EXPECT_EQ(b->State(), nxsStarted);
  Trace hooks;
  for (const auto& s : t)
    if (s.find(".scInitializing") != std::string::npos || s.find(".scStarting") != std::string::npos) hooks.push_back(s);
  EXPECT_EQ(hooks, (Trace{"b.scInitializing", "a.scInitializing", "b.scStarting", "a.scStarting"}));

  t.clear();
  b->SetState(nxsStopped);  // a needs b: a stops first
  EXPECT_EQ(a->State(), nxsStopped);
  EXPECT_EQ(only(t, "a.scStopping").size(), 1u);
  hooks.clear();
  for (const auto& s : t)
    if (s.find(".scStopping") != std::string::npos) hooks.push_back(s);
  EXPECT_EQ(hooks, (Trace{"a.scStopping", "b.scStopping"}));

  a->SetState(nxsInactive);
  b->SetState(nxsInactive);
  b->SetState(nxsStarted);  // b alone
  EXPECT_EQ(a->State(), nxsInactive);
  a->SetState(nxsStarted);
  a->SetState(nxsInactive);  // a alone
  EXPECT_EQ(b->State(), nxsStarted);
}

TEST(NxStateComponent, ComponentInTransitionDoesNotFollow) {
  Trace t;
  auto* b = platform::create<TTraceComponent>(u"b", &t);
  auto* a = platform::create<TTraceComponent>(u"a", &t);
  TnxOwned<platform::TObject> ownB(b), ownA(a);  // freed in reverse
  a->needs = b;
  a->LinkDependent(b);
  a->SetState(nxsStarted);
  a->stopInStopping = b;  // b goes down while a is stopping
  EXPECT_NO_THROW(a->SetState(nxsStopped));
  EXPECT_EQ(a->State(), nxsStopped);
  EXPECT_EQ(b->State(), nxsInactive);
}

TEST(NxStateComponent, NestedStateChangeFailsItsAssertion) {
  Trace t;
  auto* c = platform::create<TTraceComponent>(u"c", &t);
  c->nestedInStarting = true;
  try {
    c->SetState(nxsStarted);
    FAIL();
  } catch (const platform::RuntimeError& e) {
    EXPECT_NE(std::string(e.what()).find("nxllComponent"), std::string::npos) << e.what();
  }
  EXPECT_EQ(c->State(), nxsInactive);
  platform::TObject::free(c);
}

TEST(NxStateComponent, CheckOperations) {
  Trace t;
  auto* c = platform::create<TTraceComponent>(u"c", &t);
  EXPECT_NO_THROW(c->CheckInactive());
  EXPECT_THROW(c->CheckStarted(), EnxStateComponentException);
  c->Open();
  EXPECT_NO_THROW(c->CheckStarted());
  try {
    c->CheckInactive();
    FAIL();
  } catch (const EnxStateComponentException& e) {
    EXPECT_STREQ(e.what(), "DazavAV: c: This component must be inactive when performing this operation. [no error code]");
    EXPECT_EQ(e.ErrorCode(), 0u);
  }
  EXPECT_THROW(c->CheckInactiveOrStopped(), EnxStateComponentException);
  EXPECT_EQ(c->State(), nxsStarted);

  c->SetDesigning(true);
  c->CheckInactiveOrStopped();
  EXPECT_EQ(c->State(), nxsStopped);
  c->CheckInactive();
  EXPECT_EQ(c->State(), nxsInactive);
  c->CheckStarted();
  EXPECT_EQ(c->State(), nxsStarted);
  EXPECT_TRUE(c->ActiveDesigntime());
  platform::TObject::free(c);
}

TEST(NxStateComponent, LoadedAppliesTheStoredWishAndSavedActiveSwitchesLater) {
  Trace t;
  auto* c = platform::create<TTraceComponent>(u"c", &t);
  c->BeginLoading();
  c->SetActiveRuntime(true);
  EXPECT_EQ(c->State(), nxsInactive);  // not while the properties are read
  c->EndLoading();
  EXPECT_EQ(c->State(), nxsStarted);
  c->SetActiveRuntime(false);
  EXPECT_EQ(c->State(), nxsInactive);

  c->SetSavedActive(1);
  c->SwitchToSavedActive();
  EXPECT_EQ(c->State(), nxsStarted);
  EXPECT_EQ(c->SavedActive(), 0);
  platform::TObject::free(c);
}

TEST(NxStateComponent, StatsShowUptimeAndLastStartErrorWhenVisible) {
  class TStats : public TnxStateComponent {
   public:
    bool UIUptimeVisible() const override { return true; }
    bool UILastStartErrorVisible() const override { return true; }
  };
  auto* c = platform::create<TStats>();
  platform::TStringList captions, values;
  c->GetStatsCaptions(captions);
  ASSERT_EQ(captions.count(), 2);
  EXPECT_EQ(captions.strings(0), u"Uptime");
  EXPECT_EQ(captions.strings(1), u"Last Start Error");
  c->GetStatsValues(values);
  ASSERT_EQ(values.count(), 2);
  EXPECT_EQ(values.strings(0), u"");
  c->Open();
  values.clear();
  c->GetStatsValues(values);
  EXPECT_EQ(values.strings(0), u"0.00:00:00");
  EXPECT_TRUE(c->UIStatsVisible());
  platform::TObject::free(c);
}

}  // namespace
