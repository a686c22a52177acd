// The base server engine with its monitors and their extenders: who hears
// of objects, who frees which extender, stopping the engine, the engine's
// end of the name-addressed lookup and its statistics.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nxllBde.h"
#include "nxllException.h"
#include "nxsdServerEngine.h"
#include "plString.h"
#include "nxFakeServerEngine.h"
#include "nxTestWatchdog.h"

namespace {

class RecordingExtender : public TnxBaseEngineExtender {
  PL_CLASS_INFO_DECL()
 public:
  RecordingExtender(TnxBaseEngineMonitor* aMonitor, TnxExtendableServerObject* aObject, TnxResult aCreateAnswer)
      : TnxBaseEngineExtender(aMonitor, aObject), createAnswer_(aCreateAnswer) {}
  TnxResult Notify(TnxEngineAction aAction, bool, TnxEngineArgs) override {
    ++notified;
    return aAction == eaCreate ? createAnswer_ : 0;
  }
  std::atomic<int> notified{0};

 private:
  TnxResult createAnswer_;
};
PL_CLASS_INFO_IMPL(RecordingExtender, TnxBaseEngineExtender, "RecordingExtender", nullptr)

int gMarker = 0;

class TestMonitor : public TnxBaseEngineMonitor {
 public:
  using TnxBaseEngineMonitor::TnxBaseEngineMonitor;
  void ExtendableObjectCreated(TnxExtendableServerObject* aObject) override {
    ++created;
    if (attach) platform::create<RecordingExtender>(this, aObject, createAnswer);
  }
  void ExtendableObjectDestroyed(TnxExtendableServerObject*) override { ++destroyed; }
  void EngineStarted() override { log.push_back("started"); }
  void EngineStopping() override { log.push_back("stopping"); }
  std::int32_t nxcCreateInstance(InxInterface*, const platform::Guid& aClassID, InxInterface*, const platform::Guid&,
                                 void** aInterface) override {
    ++asked;
    *aInterface = nullptr;
    if (!answers || aClassID != nxServerObjectSelfClassID) return nxE_NOINTERFACE;
    *aInterface = &gMarker;
    return nxS_OK;
  }

  bool attach = true;
  bool answers = false;
  TnxResult createAnswer = 0;
  std::atomic<int> created{0}, destroyed{0};
  int asked = 0;
  std::vector<std::string> log;
};

class RecordingEngine : public TnxFakeServerEngine {
 public:
  void NotifyObjectDestroyed(TnxExtendableServerObject* aObject) override {
    {
      std::lock_guard<std::mutex> guard(freedMutex);  // objects die on several threads
      freed.push_back(aObject);
    }
    TnxFakeServerEngine::NotifyObjectDestroyed(aObject);
  }
  std::mutex freedMutex;
  std::vector<TnxExtendableServerObject*> freed;
};

class EngineAndMonitors : public ::testing::Test {
 protected:
  void SetUp() override {
    engine = platform::create<RecordingEngine>();
    monitor = platform::create<TestMonitor>();
    monitor->SetServerEngine(engine);
    engine->Open();
    monitor->Open();
    session = platform::create<TnxFakeSession>(engine);
  }
  void TearDown() override {
    TnxAbstractServerObject::Free(session);
    platform::TObject::free(monitor);
    platform::TObject::free(engine);
  }
  RecordingEngine* engine = nullptr;
  TestMonitor* monitor = nullptr;
  TnxFakeSession* session = nullptr;
};

TEST_F(EngineAndMonitors, OnlyAStartedMonitorHearsOfObjects) {
  ASSERT_EQ(engine->State(), nxsStarted);
  ASSERT_EQ(monitor->created, 1);  // the session
  monitor->Close();
  auto* unheard = platform::create<TnxFakeExtendableObject>(session);
  EXPECT_EQ(monitor->created, 1);
  monitor->Open();
  ASSERT_EQ(monitor->State(), nxsStarted);
  auto* heard = platform::create<TnxFakeExtendableObject>(session);
  EXPECT_EQ(monitor->created, 2);
  EXPECT_NE(heard->GetExtenderOfType(RecordingExtender::staticClassInfo()), nullptr);
  EXPECT_EQ(unheard->GetExtenderOfType(RecordingExtender::staticClassInfo()), nullptr);
  EXPECT_EQ(monitor->ExtenderCount(), 1);  // the session's went when the monitor stopped
  TnxAbstractServerObject::Free(heard);
  EXPECT_EQ(monitor->destroyed, 1);
  EXPECT_EQ(monitor->ExtenderCount(), 0);  // the dying object freed its extender
  TnxAbstractServerObject::Free(unheard);
  EXPECT_EQ(monitor->destroyed, 2);
}

TEST_F(EngineAndMonitors, MonitorFollowsTheEngineAndHearsItsSteps) {
  EXPECT_EQ(monitor->State(), nxsStarted);
  // An active monitor keeps its engine.
  EXPECT_THROW(monitor->SetServerEngine(nullptr), EnxBaseException);
  EXPECT_EQ(monitor->ServerEngine(), engine);
  monitor->log.clear();
  engine->Close();
  session = nullptr;  // stopping freed it
  EXPECT_EQ(monitor->State(), nxsInactive);  // followed the engine down
  EXPECT_EQ(monitor->log, (std::vector<std::string>{"stopping"}));
  engine->Open();
  EXPECT_EQ(monitor->log, (std::vector<std::string>{"stopping", "started"}));
  monitor->Open();
  engine->SetState(nxsStopped);
  EXPECT_EQ(monitor->State(), nxsStopped);
  EXPECT_EQ(monitor->log, (std::vector<std::string>{"stopping", "started", "stopping"}));
}

TEST_F(EngineAndMonitors, AStoppingMonitorFreesItsExtenders) {
  monitor->Open();
  std::vector<TnxFakeExtendableObject*> objects;
  for (int i = 0; i < 3; ++i) objects.push_back(platform::create<TnxFakeExtendableObject>(session));
  EXPECT_EQ(monitor->ExtenderCount(), 4);  // the session's too
  monitor->Close();
  EXPECT_EQ(monitor->ExtenderCount(), 0);
  for (auto* object : objects) {
    EXPECT_FALSE(object->Destroying());
    EXPECT_EQ(object->GetExtenderOfType(RecordingExtender::staticClassInfo()), nullptr);
    EXPECT_FALSE(object->GetNotifyFor(eaRecordGet));
    EXPECT_EQ(object->NotifyExtenders(eaRecordGet, true, {}), 0);
    TnxAbstractServerObject::Free(object);
  }
}

TEST_F(EngineAndMonitors, ObjectsDyingWhileTheMonitorStopsFreeEachExtenderOnce) {
  nxtest::Watchdog watchdog;
  for (int round = 0; round < 30; ++round) {
    auto* roundMonitor = platform::create<TestMonitor>();
    roundMonitor->SetServerEngine(engine);
    roundMonitor->Open();
    std::vector<TnxFakeExtendableObject*> objects;
    for (int i = 0; i < 64; ++i) objects.push_back(platform::create<TnxFakeExtendableObject>(session));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&, t] {
        for (std::size_t i = t; i < objects.size(); i += 4) TnxAbstractServerObject::Free(objects[i]);
      });
    roundMonitor->Close();
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(roundMonitor->ExtenderCount(), 0);
    platform::TObject::free(roundMonitor);
  }
}

TEST_F(EngineAndMonitors, CreateRefusedFailsWithTheEnginesExceptionClass) {
  monitor->createAnswer = nxErrInvalidName;
  try {
    platform::create<TnxFakeExtendableObject>(session);
    FAIL() << "construction should fail";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), nxErrInvalidName);
    EXPECT_EQ(e.className(), "EnxFakeServerEngineException");
  }
  EXPECT_EQ(monitor->ExtenderCount(), 1);  // the session's only
}

TEST_F(EngineAndMonitors, StoppingTheEngineFreesItsSessionsNewestFirst) {
  std::vector<TnxAbstractSession*> sessions;
  for (int i = 0; i < 3; ++i) {
    TnxAbstractSession* opened = nullptr;
    EXPECT_EQ(engine->SessionOpen(opened, u"user", u"pw", u"here", 0), 0);
    sessions.push_back(opened);
  }
  EXPECT_EQ(engine->SessionCount(), 4);
  session = nullptr;  // freed with the others
  engine->freed.clear();
  engine->Close();
  EXPECT_EQ(engine->SessionCount(), 0);
  ASSERT_EQ(engine->freed.size(), 4u);
  EXPECT_EQ(engine->freed[0], sessions[2]);
  EXPECT_EQ(engine->freed[1], sessions[1]);
  EXPECT_EQ(engine->freed[2], sessions[0]);
}

TEST_F(EngineAndMonitors, NameAddressedLookupEndsAtTheEngine) {
  monitor->SetName(u"Watcher");
  void* found = nullptr;
  // "<ServerEngine>": the engine's own component information.
  EXPECT_EQ(session->CreateInstanceFor(u"<ServerEngine>", nxComponentInfoClassID, nullptr,
                                       InxComponentInfo31000::IID, &found),
            nxS_OK);
  ASSERT_NE(found, nullptr);
  TnxIntfPtr<InxComponentInfo31000> info(static_cast<InxComponentInfo31000*>(found), false);
  EXPECT_EQ(platform::toUtf8(info->GetClassName()), "TnxFakeServerEngine");
  // A dependent by name, and every dependent for an empty name.
  monitor->answers = true;
  EXPECT_EQ(session->CreateInstanceFor(u"watcher", nxServerObjectSelfClassID, nullptr, TnxInterfacedObject::IID, &found),
            nxS_OK);
  EXPECT_EQ(found, &gMarker);
  EXPECT_EQ(engine->CreateInstanceFor(session, u"", nxServerObjectSelfClassID, nullptr, TnxInterfacedObject::IID, &found),
            nxS_OK);
  EXPECT_EQ(monitor->asked, 2);
  monitor->answers = false;
  EXPECT_EQ(session->CreateInstanceFor(u"Watcher", nxServerObjectSelfClassID, nullptr, TnxInterfacedObject::IID, &found),
            nxE_NOINTERFACE);
  EXPECT_EQ(found, nullptr);
  // Nobody of that name: nobody asked.
  EXPECT_EQ(session->CreateInstanceFor(u"Nobody", nxServerObjectSelfClassID, nullptr, TnxInterfacedObject::IID, &found),
            nxE_NOINTERFACE);
  EXPECT_EQ(monitor->asked, 3);
}

TEST_F(EngineAndMonitors, StatisticsCaptionsAndValues) {
  platform::TStringList captions, values;
  engine->GetStatsCaptions(captions);
  engine->GetStatsValues(values);
  ASSERT_EQ(captions.count(), values.count());
  ASSERT_GE(captions.count(), 5);
  const int first = captions.count() - 5;
  const char* expected[] = {"Sessions", "Databases", "Transaction Contexts", "Cursors", "Statements"};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(platform::toUtf8(captions.strings(first + i)), expected[i]);
  EXPECT_EQ(platform::toUtf8(values.strings(first)), "1");
  EXPECT_EQ(platform::toUtf8(values.strings(first + 1)), "0");
  EXPECT_TRUE(engine->UIUptimeVisible());
  EXPECT_EQ(engine->ServerGuid(), TnxFakeServerEngine::kServerGuid);
  EXPECT_EQ(platform::toUtf8(engine->ServerName()), "FakeServerEngine");
  EXPECT_FALSE(engine->StatsEnabled());
  engine->feStatsEnabled = true;
  EXPECT_TRUE(engine->StatsEnabled());
}

TEST_F(EngineAndMonitors, DebugInfoListsTheSessionsWithChildrenOnly) {
  auto* second = platform::create<TnxFakeSession>(engine);
  second->OptionSet(u"Who", u"second");
  auto describe = [&](bool aIncludeChildren) {
    auto container = nxCreateExceptionDataContainer(u"ExceptionData", engine, {});
    engine->AddDebugInfo(container, aIncludeChildren);
    return platform::toUtf8(container->ToString());
  };
  const std::string with = describe(true), without = describe(false);
  EXPECT_NE(with.find("Sessions"), std::string::npos) << with;
  EXPECT_NE(with.find("[1]"), std::string::npos) << with;
  EXPECT_NE(with.find("Who: second"), std::string::npos) << with;
  EXPECT_EQ(without.find("[0]"), std::string::npos) << without;
  TnxAbstractServerObject::Free(second);
}

TEST_F(EngineAndMonitors, ExtenderDebugInfoNamesItsMonitorAndObject) {
  auto* object = platform::create<TnxFakeExtendableObject>(session);
  object->OptionSet(u"Mode", u"fast");
  auto* extender = object->GetExtenderOfType(RecordingExtender::staticClassInfo());
  ASSERT_NE(extender, nullptr);
  auto container = nxCreateExceptionDataContainer(u"ExceptionData", extender, {});
  extender->AddDebugInfo(container, false);
  const std::string text = platform::toUtf8(container->ToString());
  EXPECT_NE(text.find("Monitor"), std::string::npos) << text;
  EXPECT_NE(text.find("TnxBaseEngineMonitor"), std::string::npos) << text;
  EXPECT_NE(text.find("ExtendableObject"), std::string::npos) << text;
  EXPECT_NE(text.find("Mode: fast"), std::string::npos) << text;
  TnxAbstractServerObject::Free(object);
}

TEST_F(EngineAndMonitors, AMonitorLetsGoOfAnEngineThatGoesAway) {
  auto* other = platform::create<TnxFakeServerEngine>();
  auto* watcher = platform::create<TestMonitor>();
  watcher->SetServerEngine(other);
  EXPECT_EQ(watcher->ServerEngine(), other);
  EXPECT_TRUE(watcher->DependsOn(other));
  platform::TObject::free(other);
  EXPECT_EQ(watcher->ServerEngine(), nullptr);
  platform::TObject::free(watcher);
}

}  // namespace
