// Logging components, component-info objects, persistent objects and the
// logged failure path of the state machine.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "nxllBde.h"
#include "nxllComponent.h"
#include "nxllException.h"
#include "nxllTestLog.h"
#include "plString.h"

namespace {

using platform::toUtf8;

TEST(NxLogPriority, OrderedFromDebugToFatal) {
  const TnxLogPriority all[] = {lpDebug, lpInfo, lpWarn, lpError, lpFatal};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(static_cast<int>(all[i]), i);
}

TEST(NxLoggableComponent, WritesOnlyWithAnEnabledAssignedLog) {
  struct Case {
    bool assign;
    bool enable;
    std::size_t written;
  } cases[] = {{false, true, 0}, {true, false, 0}, {true, true, 4}};
  for (const Case& k : cases) {
    TnxOwned<TTestLog> log(platform::create<TTestLog>());
    TnxOwned<TnxLoggableComponent> c(platform::create<TnxLoggableComponent>());
    if (k.assign) c->SetEventLog(log.get());
    c->SetEventLogEnabled(k.enable);
    const std::uint8_t data[3] = {1, 2, 3};
    const nxString lines[] = {u"l1"};
    EXPECT_NO_THROW(c->lcLog(u"plain"));
    EXPECT_NO_THROW(c->lcLog(u"n=%d", std::initializer_list<platform::FormatArg>{5}));
    EXPECT_NO_THROW(c->lcLog(u"block", data, 3));
    EXPECT_NO_THROW(c->lcLogs(lines));
    EXPECT_EQ(log->entries.size(), k.written);
  }
}

TEST(NxLoggableComponent, ForwardsEveryValueUnchanged) {
  TnxOwned<TTestLog> log(platform::create<TTestLog>());
  TnxOwned<TnxLoggableComponent> c(platform::create<TnxLoggableComponent>());
  c->SetEventLog(log.get());
  c->SetEventLogEnabled(true);
  c->lcLog(u"%s failed", std::initializer_list<platform::FormatArg>{nxString(u"start")}, 15503, lpFatal, u"engine",
           45000.5, 60);
  c->lcLog(u"defaults");
  ASSERT_EQ(log->entries.size(), 2u);
  const TTestLogEntry& e = log->entries[0];
  EXPECT_EQ(e.text, "start failed");
  EXPECT_EQ(e.msgNumber, 15503u);
  EXPECT_EQ(e.priority, lpFatal);
  EXPECT_EQ(e.category, "engine");
  EXPECT_EQ(e.when, 45000.5);
  EXPECT_EQ(e.whenBias, 60);
  EXPECT_EQ(log->entries[1].category, "default");
  EXPECT_EQ(log->entries[1].whenBias, 0x0FFFFFFF);
}

TEST(NxLoggableComponent, DestroyingTheLogClearsEveryUser) {
  auto* log = platform::create<TTestLog>();
  TnxOwned<TnxLoggableComponent> a(platform::create<TnxLoggableComponent>());
  TnxOwned<TnxStateComponent> b(platform::create<TnxStateComponent>());
  a->SetEventLog(log);
  b->SetEventLog(log);
  a->SetEventLog(log);  // no change
  platform::TObject::free(log);
  EXPECT_EQ(a->EventLog(), nullptr);
  EXPECT_EQ(b->EventLog(), nullptr);
  a->SetEventLogEnabled(true);
  EXPECT_NO_THROW(a->lcLog(u"after"));
}

TEST(NxBaseLog, EnabledIsStoredUnderTheLock) {
  TnxOwned<TTestLog> log(platform::create<TTestLog>());
  EXPECT_FALSE(log->Enabled());
  log->SetEnabled(true);
  EXPECT_TRUE(log->Enabled());
  EXPECT_THROW(log->RaiseError(u"x"), EnxBaseLogException);
}

// A started component whose start fails on request.
class TFailingStart : public TnxStateComponent {
  PL_CLASS_INFO_DECL()
 public:
  bool engineError = false;

 protected:
  void scStarting() override {
    if (engineError) throw EnxBaseException(10241, u"Row locked <[--!Table=T1!--]>");
    throw platform::RuntimeError("no port");
  }
};
PL_CLASS_INFO_IMPL(TFailingStart, TnxStateComponent, "TFailingStart", nullptr)

TEST(NxStateComponentLog, FailingStartIsLoggedAndConverted) {
  TnxOwned<TTestLog> log(platform::create<TTestLog>());
  TnxOwned<TFailingStart> c(platform::create<TFailingStart>());
  c->SetName(u"srv");
  c->SetEventLog(log.get());
  c->SetEventLogEnabled(true);
  EXPECT_THROW(c->SetState(nxsStarted), platform::RuntimeError);
  EXPECT_EQ(c->State(), nxsInactive);
  EXPECT_EQ(toUtf8(c->LastStartError()), "no port");
  ASSERT_EQ(log->entries.size(), 1u);
  EXPECT_EQ(log->entries[0].text, "Error while changing state (Stopped -> Started): platform::RuntimeError: no port");
  EXPECT_EQ(log->entries[0].msgNumber, nxErrUnexpectedException);
  EXPECT_EQ(log->entries[0].priority, lpError);
  EXPECT_EQ(log->entries[0].category, "default");
  EXPECT_EQ(log->entries[0].whenBias, 0x0FFFFFFF);
  // The pending message describes the component too.
  const EnxBaseException rebuilt(nxErrUnexpectedException);
  EXPECT_EQ(toUtf8(rebuilt.CustomInfos().values(u"Exception.Message")), "no port");
  EXPECT_TRUE(rebuilt.HasExceptionData());

  log->entries.clear();
  c->engineError = true;
  try {
    c->Open();
    FAIL();
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 10241u);
  }
  ASSERT_EQ(log->entries.size(), 1u);
  EXPECT_EQ(log->entries[0].msgNumber, 10241u);
  EXPECT_EQ(log->entries[0].text,
            "Error while changing state (Stopped -> Started): EnxBaseException: DazavAV: Row locked [$2801/10241]");
  EXPECT_EQ(toUtf8(c->LastStartError()), "DazavAV: Row locked [$2801/10241]");
  const EnxBaseException again(10241);
  EXPECT_EQ(toUtf8(again.CustomInfos().values(u"Table")), "T1");
}

TEST(NxStateComponentLog, SettingsStreamCarriesLogFlagAndActive) {
  TnxOwned<TnxStateComponent> a(platform::create<TnxStateComponent>());
  a->SetName(u"a");
  a->SetEventLogEnabled(true);
  a->Open();
  TnxMemoryStream stream;
  {
    TnxWriter w(stream);
    a->SaveSettingsToStream(w);
    w.FlushBuffer();
  }
  TnxOwned<TnxStateComponent> b(platform::create<TnxStateComponent>());
  b->SetName(u"a");
  stream.SetPosition(0);
  {
    TnxReader r(stream);
    b->LoadSettingsFromStream(r);
  }
  EXPECT_TRUE(b->EventLogEnabled());
  EXPECT_EQ(b->SavedActive(), 1);
  EXPECT_FALSE(b->Active());
}

// --- component info

class TStatsComponent : public TnxStateComponent {
  PL_CLASS_INFO_DECL()
 public:
  void GetStatsCaptions(platform::TStringList& aList) const override {
    aList.add(u"Reads");
    aList.add(u"Writes");
  }
  void GetStatsValues(platform::TStringList& aList) const override { aList.add(u"12"); }
};
PL_CLASS_INFO_IMPL(TStatsComponent, TnxStateComponent, "TStatsComponent", nullptr)

template <class I>
TnxIntfPtr<I> createInfo(TnxComponent* c, std::int32_t* aResult = nullptr) {
  void* intf = reinterpret_cast<void*>(1);
  const std::int32_t r = c->nxcCreateInstance(nullptr, nxComponentInfoClassID, nullptr, I::IID, &intf);
  if (aResult) *aResult = r;
  return TnxIntfPtr<I>(static_cast<I*>(intf), false);
}

TEST(NxComponentInfo, CreateInstanceAnswersOnlyTheInfoClass) {
  TnxOwned<TStatsComponent> c(platform::create<TStatsComponent>());
  void* intf = reinterpret_cast<void*>(1);
  const platform::Guid other{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(c->nxcCreateInstance(nullptr, other, nullptr, InxComponentInfo31000::IID, &intf), nxE_NOTIMPL);
  EXPECT_EQ(intf, nullptr);
  intf = reinterpret_cast<void*>(1);
  TnxIntfPtr<InxInterface> outer = c->GetComponentInfo();
  EXPECT_EQ(c->nxcCreateInstance(nullptr, nxComponentInfoClassID, outer.get(), InxComponentInfo31000::IID, &intf),
            nxE_NOTIMPL);
  EXPECT_EQ(intf, nullptr);
  std::int32_t r = 0;
  EXPECT_FALSE(createInfo<InxLifetimeMonitorRef>(c.get(), &r));
  EXPECT_EQ(r, nxE_NOINTERFACE);
}

TEST(NxComponentInfo, DescribesTheComponentAndOutlivesIt) {
  auto* c = platform::create<TStatsComponent>();
  c->SetName(u"srv");
  c->SetDisplayCategory(u"Engines");
  TnxIntfPtr<InxComponentInfo31000> info = createInfo<InxComponentInfo31000>(c);
  ASSERT_TRUE(info);
  EXPECT_EQ(toUtf8(info->GetClassName()), "TStatsComponent");
  EXPECT_EQ(toUtf8(info->GetName()), "srv");
  EXPECT_EQ(toUtf8(info->GetDisplayName()), "srv");
  EXPECT_EQ(toUtf8(info->GetDisplayCategory()), "Engines");
  EXPECT_EQ(info->GetStatsCaptions(), (TnxUnicodeStrings{u"Reads", u"Writes"}));
  EXPECT_EQ(info->GetStatsValues(), (TnxUnicodeStrings{u"12"}));
  // One cached object: every query reaches the same one.
  TnxIntfPtr<InxStateComponentInfo31000> state = createInfo<InxStateComponentInfo31000>(c);
  ASSERT_TRUE(state);
  EXPECT_EQ(c->GetComponentInfo().get(), c->GetComponentInfo().get());
  c->Open();
  EXPECT_EQ(state->GetState(), nxsStarted);

  platform::TObject::free(c);
  EXPECT_EQ(toUtf8(info->GetName()), "");
  EXPECT_TRUE(info->GetStatsValues().empty());
  EXPECT_EQ(state->GetState(), nxsInactive);
}

TEST(NxComponentInfo, LoggableInfoReachesTheLogsInfo) {
  TnxOwned<TTestLog> log(platform::create<TTestLog>());
  log->SetName(u"events");
  TnxOwned<TnxLoggableComponent> c(platform::create<TnxLoggableComponent>());
  TnxIntfPtr<InxLoggableComponentInfo31000> info = createInfo<InxLoggableComponentInfo31000>(c.get());
  ASSERT_TRUE(info);
  EXPECT_FALSE(info->GetEventLogInfo());
  c->SetEventLog(log.get());
  c->SetEventLogEnabled(true);
  EXPECT_TRUE(info->GetLogEnabled());
  TnxIntfPtr<InxComponentInfo31000> logInfo = info->GetEventLogInfo();
  ASSERT_TRUE(logInfo);
  EXPECT_EQ(toUtf8(logInfo->GetName()), "events");
  // A plain component's info has no logging interface.
  TnxOwned<TnxComponent> plain(platform::create<TnxComponent>());
  EXPECT_FALSE(createInfo<InxLoggableComponentInfo31000>(plain.get()));
}

TEST(NxComponentDebugInfo, NamesStatsPairedToTheShorterList) {
  TnxOwned<TStatsComponent> c(platform::create<TStatsComponent>());
  c->SetName(u"srv");
  c->SetDisplayName(u"Main server");
  TnxIntfPtr<InxExceptionDataContainer> data = nxCreateExceptionDataContainer(u"ExceptionData", nullptr, {});
  c->AddDebugInfo(data, false);
  std::vector<std::string> names;
  for (std::int32_t i = 0; i < data->Count(); ++i) names.push_back(toUtf8(data->Values(i)->GetName()));
  EXPECT_EQ(names, (std::vector<std::string>{"SelfPtr", "ClassName", "DisplayName", "Stats", "State",
                                             "StateTransition"}));
  TnxIntfPtr<InxExceptionDataContainer> stats = data->Values(3)->AsContainer();
  ASSERT_EQ(stats->Count(), 1);
  EXPECT_EQ(toUtf8(stats->Values(0)->GetName()), "Reads");
  EXPECT_EQ(toUtf8(stats->Values(0)->AsString()), "12");
  EXPECT_EQ(toUtf8(data->Values(4)->AsString()), "Inactive");
}

// --- persistent objects

class TSample : public TnxLifetimeTrackedPersistent {
  PL_CLASS_INFO_DECL()
};
PL_CLASS_INFO_IMPL(TSample, TnxLifetimeTrackedPersistent, "TSample", nullptr)

TEST(NxPersistent, InterfaceQueriesWithoutReferenceCounting) {
  auto* p = platform::create<TSample>();
  void* obj = nullptr;
  EXPECT_EQ(p->QueryInterface(nxObjectCastGUID, &obj), nxS_OK);
  EXPECT_EQ(obj, static_cast<TnxPersistent*>(p));
  EXPECT_EQ(p->QueryInterface(TnxInterfacedObject::IID, &obj), nxS_OK);
  EXPECT_EQ(obj, static_cast<InxInterface*>(p));
  EXPECT_EQ(p->QueryInterface(InxLifetimeMonitorRef::IID, &obj), nxE_NOINTERFACE);
  EXPECT_EQ(obj, nullptr);
  EXPECT_EQ(p->AddRef(), -1);
  EXPECT_EQ(p->Release(), -1);
  EXPECT_THROW(p->Assign(p), platform::ConvertError);

  TnxIntfPtr<InxLifetimeMonitorRef> monitor = p->GetLifetimeMonitor();
  EXPECT_TRUE(monitor->IsAlive());
  EXPECT_EQ(p->GetLifetimeMonitor().get(), monitor.get());
  platform::TObject::free(p);
  EXPECT_FALSE(monitor->IsAlive());
}

TEST(NxPersistent, NotSupportedLeavesThePendingText) {
  TnxOwned<TSample> p(platform::create<TSample>());
  for (auto [method, text] : {std::pair{u"Pack", "Pack not supported by TSample"},
                              std::pair{u"", "Method not supported by TSample"}}) {
    EXPECT_EQ(p->NotSupported(method), nxErrNotSupported);
    const EnxBaseException e(nxErrNotSupported);
    EXPECT_EQ(toUtf8(e.ProcessedErrorString()), text);
  }
}

TEST(NxComponent, LifetimeMonitorDiesWithTheComponent) {
  auto* c = platform::create<TnxComponent>();
  TnxIntfPtr<InxLifetimeMonitorRef> monitor = c->GetLifetimeMonitor();
  EXPECT_TRUE(monitor->IsAlive());
  platform::TObject::free(c);
  EXPECT_FALSE(monitor->IsAlive());
}

}  // namespace
