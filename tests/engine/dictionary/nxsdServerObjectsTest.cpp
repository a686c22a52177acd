// Server objects: destroy protocol, name-addressed lookup, options,
// extenders and task handles, against a fake engine whose monitor role
// attaches the extenders a test asks for.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "nxllBde.h"
#include "nxllException.h"
#include "nxllUtils.h"
#include "nxsdServerEngine.h"
#include "plString.h"
#include "nxFakeServerEngine.h"
#include "nxTestWatchdog.h"

namespace {

using Handler = std::function<TnxResult(TnxEngineAction, bool, TnxEngineArgs)>;

std::vector<std::string> gLog;

class TestExtender : public TnxBaseEngineExtender {
 public:
  TestExtender(std::string aName, TnxExtendableServerObject* aObject, TnxEngineActions aActions, Handler aHandler)
      : TnxBaseEngineExtender(nullptr, aObject, aActions), name_(std::move(aName)), handler_(std::move(aHandler)) {}
  ~TestExtender() override { gLog.push_back(name_ + ":freed"); }
  TnxResult Notify(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs) override {
    gLog.push_back(name_ + ":" + std::to_string(aAction) + (aBefore ? "b" : "a"));
    return handler_ ? handler_(aAction, aBefore, aArgs) : 0;
  }
  void PrepareDestroy() override { gLog.push_back(name_ + ":prepare"); }
  std::int32_t CreateInstanceByClassID(const platform::Guid& aClassID, InxInterface* aOuter,
                                       const platform::Guid& aInterfaceID, void** aInterface) override {
    if (name_ == "provider" && aClassID == nxServerObjectSelfClassID) {
      *aInterface = &marker;
      return nxS_OK;
    }
    return TnxBaseEngineExtender::CreateInstanceByClassID(aClassID, aOuter, aInterfaceID, aInterface);
  }
  static inline int marker = 0;

 private:
  std::string name_;
  Handler handler_;
};

class SpecialExtender : public TestExtender {
  PL_CLASS_INFO_DECL()
 public:
  using TestExtender::TestExtender;
};
PL_CLASS_INFO_IMPL(SpecialExtender, TnxBaseEngineExtender, "SpecialExtender", nullptr)

// What the fake engine's monitor attaches to each new object.
struct ExtenderPlan {
  std::string name;
  TnxEngineActions actions;
  Handler handler;
};

class FakeEngine : public TnxFakeServerEngine {
 public:
  void NotifyObjectCreated(TnxExtendableServerObject* aObject) override {
    ++created;
    for (auto& plan : plans) platform::create<TestExtender>(plan.name, aObject, plan.actions, plan.handler);
  }
  void NotifyObjectDestroyed(TnxExtendableServerObject*) override { ++destroyed; }
  std::int32_t CreateInstanceFor(TnxAbstractSession* aSession, const nxString& aName, const platform::Guid& aClassID,
                                 InxInterface* aOuter, const platform::Guid& aInterfaceID, void** aInterface) override {
    lastName = aName;
    lastSession = aSession;
    return TnxFakeServerEngine::CreateInstanceFor(aSession, aName, aClassID, aOuter, aInterfaceID, aInterface);
  }

  std::vector<ExtenderPlan> plans;
  int created = 0;
  std::atomic<int> destroyed{0};  // objects die on whichever thread releases them last
  nxString lastName;
  TnxAbstractSession* lastSession = nullptr;
};

class TestSession : public TnxFakeSession {
 public:
  using TnxFakeSession::TnxFakeSession;
};

class TestObject : public TnxExtendableServerObject {
 public:
  using TnxExtendableServerObject::TnxExtendableServerObject;
  void esoOptionChanged(const nxString& aName, const nxString& aValue) override {
    changes.push_back(platform::toUtf8(aName) + "=" + platform::toUtf8(aValue));
  }
  void setDestroyFlag(bool* aFlag) { asoDestroyFlag = aFlag; }
  std::vector<std::string> changes;
};

class LockedObject : public TnxLockedOptionsExtendableServerObject {
 public:
  using TnxLockedOptionsExtendableServerObject::TnxLockedOptionsExtendableServerObject;
};

class TestTask : public TnxAbstractTaskInfo {
 public:
  using TnxAbstractTaskInfo::TnxAbstractTaskInfo;
  TnxResult GetStatus(bool& aCompleted, TnxTaskStatus&) override {
    aCompleted = false;
    return 0;
  }
  TnxResult Cancel() override {
    gLog.push_back("task:cancel");
    return 0;
  }
};

TnxEngineActions only(std::initializer_list<TnxEngineAction> aList) { return TnxEngineActions(aList); }

const void* argPointer(TnxEngineArgs aArgs, std::size_t aIndex) {
  return reinterpret_cast<const void*>(aArgs[aIndex].asUInt64());
}

class ServerObjects : public ::testing::Test {
 protected:
  void SetUp() override {
    gLog.clear();
    engine = platform::create<FakeEngine>();
    session = platform::create<TestSession>(engine);
  }
  void TearDown() override {
    TnxAbstractServerObject::Free(session);
    platform::TObject::free(engine);
    gLog.clear();
  }
  FakeEngine* engine = nullptr;
  TestSession* session = nullptr;
};

// ---- Destroy protocol ------------------------------------------------------------

TEST_F(ServerObjects, ClosedFromItsOwnCallbackIsReleasedWhenTheCallEnds) {
  TestObject* object = nullptr;
  TnxResult innerClose = -1, secondClose = -1;
  engine->plans = {{"closer", only({eaRecordGet}),
                    [&](TnxEngineAction, bool, TnxEngineArgs) {
                      innerClose = TnxAbstractServerObject::Close(object);
                      secondClose = TnxAbstractServerObject::Close(object);
                      return 0;
                    }},
                   {"after", only({eaRecordGet}), nullptr}};
  object = platform::create<TestObject>(session);
  const int destroyedBefore = engine->destroyed;
  {
    TnxServerObjectCall call(object);
    EXPECT_EQ(object->NotifyExtenders(eaRecordGet, true, {}), 0);
    EXPECT_TRUE(call.ObjectClosed());
    EXPECT_EQ(innerClose, 0);
    EXPECT_EQ(secondClose, nxErrReentered);
    // Marked, still in memory, not yet released.
    EXPECT_TRUE(object->Destroying());
    EXPECT_EQ(engine->destroyed, destroyedBefore);
    TnxAbstractServerObject::Free(object);  // nothing for a destroying object
  }
  EXPECT_EQ(engine->destroyed, destroyedBefore + 1);
  // The extender after the closer still ran; both were freed with the object.
  EXPECT_EQ(gLog, (std::vector<std::string>{"closer:35b", "after:35b", "closer:prepare", "after:prepare",
                                            "closer:freed", "after:freed"}));
}

TEST_F(ServerObjects, ClosedInsideANotificationWithoutCallerGuard) {
  TestObject* object = nullptr;
  engine->plans = {{"closer", only({eaRecordInsert}), [&](TnxEngineAction, bool, TnxEngineArgs) {
                      return TnxAbstractServerObject::Close(object);
                    }}};
  object = platform::create<TestObject>(session);
  bool flag = false;
  object->setDestroyFlag(&flag);
  EXPECT_EQ(object->NotifyExtenders(eaRecordInsert, true, {}), 0);
  EXPECT_TRUE(flag);
  EXPECT_EQ(engine->destroyed, engine->created - 1);  // the session remains
}

TEST_F(ServerObjects, ClosedFromAnotherObjectsCallback) {
  TestObject* a = nullptr;
  TestObject* b = nullptr;
  // b's extender calls into a; a's extender closes b while b walks its list.
  engine->plans = {{"relay", only({eaRecordGet, eaRecordDelete}),
                    [&](TnxEngineAction aAction, bool, TnxEngineArgs) -> TnxResult {
                      if (aAction == eaRecordGet) return a->NotifyExtenders(eaRecordDelete, true, {});
                      return TnxAbstractServerObject::Close(b);
                    }}};
  a = platform::create<TestObject>(session);
  b = platform::create<TestObject>(session);
  bool closed;
  {
    TnxServerObjectCall outer(b);
    {
      TnxServerObjectCall inner(b);
      EXPECT_EQ(b->NotifyExtenders(eaRecordGet, true, {}), 0);
      EXPECT_TRUE(inner.ObjectClosed());
    }
    closed = outer.ObjectClosed();  // handed on to the enclosing call
    EXPECT_TRUE(b->Destroying());
  }
  EXPECT_TRUE(closed);
  EXPECT_FALSE(a->Destroying());
  EXPECT_EQ(TnxAbstractServerObject::Close(a), 0);
  EXPECT_EQ(engine->created - engine->destroyed, 1);
}

TEST_F(ServerObjects, ChildClosedByItsParentsCreateCallbackFailsConstruction) {
  TestObject* parent = platform::create<TestObject>(session);
  engine->plans = {{"killer", only({eaChildCreate}), [&](TnxEngineAction, bool, TnxEngineArgs aArgs) {
                      auto* child = static_cast<TnxAbstractServerObject*>(const_cast<void*>(argPointer(aArgs, 0)));
                      return TnxAbstractServerObject::Close(child);
                    }}};
  // Only the parent carries the killer: add it by hand.
  platform::create<TestExtender>("killer", parent, only({eaChildCreate}), engine->plans[0].handler);
  engine->plans.clear();
  try {
    platform::create<TestObject>(parent);
    FAIL() << "construction should fail";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), nxErrReentered);
  }
  TnxAbstractServerObject::Free(parent);
  EXPECT_EQ(engine->created - engine->destroyed, 1);
}

TEST_F(ServerObjects, CloseOfNilAndFreeOfNil) {
  EXPECT_EQ(TnxAbstractServerObject::Close(nullptr), 0);
  TnxAbstractServerObject::Free(nullptr);
}

TEST_F(ServerObjects, DestructionFailureIsConvertedByClose) {
  struct Failing : TestObject {
    using TestObject::TestObject;
    void PrepareDestroy() override {
      TestObject::PrepareDestroy();
      throw EnxBaseException(nxErrInvalidTableName);
    }
  };
  auto* object = platform::create<Failing>(session);
  EXPECT_EQ(TnxAbstractServerObject::Close(object), nxErrInvalidTableName);
  // The failing object stays (destroying); free it the hard way.
  EXPECT_TRUE(object->Destroying());
  EXPECT_EQ(TnxAbstractServerObject::Close(object), nxErrReentered);
  delete object;
}

TEST_F(ServerObjects, SharedObjectFreedWhileOtherThreadsCallIt) {
  nxtest::Watchdog watchdog;
  // Calls from several threads on one object (as on a table), freed from
  // yet another: released exactly once, after the last call.
  for (int round = 0; round < 20; ++round) {
    auto* table = platform::create<LockedObject>(session);
    const int destroyedBefore = engine->destroyed;
    std::atomic<int> started{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
      threads.emplace_back([&] {
        TnxServerObjectCall call(table);
        ++started;
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < 50 && !call.ObjectClosed(); ++i) table->NotifyExtenders(eaRecordGet, true, {});
      });
    while (started.load() < 3) std::this_thread::yield();
    std::thread closer([&] { EXPECT_EQ(TnxAbstractServerObject::Close(table), 0); });
    go = true;
    closer.join();
    for (auto& t : threads) t.join();
    EXPECT_EQ(engine->destroyed, destroyedBefore + 1);
  }
}

TEST_F(ServerObjects, FailingExtenderPrepareDoesNotStopTheOthers) {
  struct Failing : TestExtender {
    using TestExtender::TestExtender;
    void PrepareDestroy() override {
      TestExtender::PrepareDestroy();
      throw EnxBaseException(nxErrInvalidName);
    }
  };
  auto* object = platform::create<TestObject>(session);
  platform::create<Failing>("first", object, only({eaRecordGet}), nullptr);
  platform::create<TestExtender>("second", object, only({eaRecordGet}), nullptr);
  gLog.clear();
  EXPECT_EQ(TnxAbstractServerObject::Close(object), 0);
  EXPECT_EQ(gLog, (std::vector<std::string>{"first:prepare", "second:prepare", "first:freed", "second:freed"}));
}

// ---- Creation and destruction notifications ---------------------------------

TEST_F(ServerObjects, CreateAndDestroyNotifications) {
  TestObject* parent = platform::create<TestObject>(session);
  const void* seen = nullptr;
  platform::create<TestExtender>("parent", parent, only({eaChildCreate, eaChildDestroy}),
                                 [&](TnxEngineAction, bool, TnxEngineArgs aArgs) {
                                   seen = argPointer(aArgs, 0);
                                   return 0;
                                 });
  engine->plans = {{"own", only({eaCreate, eaDestroy}), nullptr}};
  gLog.clear();
  TestObject* child = platform::create<TestObject>(parent);
  EXPECT_EQ(seen, child);
  EXPECT_EQ(gLog, (std::vector<std::string>{"parent:2a", "own:0a"}));
  EXPECT_EQ(child->Session(), session);
  gLog.clear();
  seen = nullptr;
  TnxAbstractServerObject::Free(child);
  EXPECT_EQ(seen, child);
  EXPECT_EQ(gLog, (std::vector<std::string>{"own:1b", "parent:3b", "own:prepare", "own:freed"}));
  engine->plans.clear();
  TnxAbstractServerObject::Free(parent);
}

TEST_F(ServerObjects, CreateRefusedByAnExtenderFailsConstruction) {
  engine->plans = {{"veto", only({eaCreate}), [](TnxEngineAction, bool, TnxEngineArgs) { return nxErrInvalidName; }}};
  const int before = engine->created - engine->destroyed;
  EXPECT_THROW(
      {
        try {
          platform::create<TestObject>(session);
        } catch (const EnxBaseException& e) {
          EXPECT_EQ(e.ErrorCode(), nxErrInvalidName);
          throw;
        }
      },
      EnxBaseException);
  EXPECT_EQ(engine->created - engine->destroyed, before);
  EXPECT_EQ(gLog.back(), "veto:freed");
}

TEST_F(ServerObjects, DestroyAnswersAreIgnored) {
  engine->plans = {{"no", only({eaDestroy}), [](TnxEngineAction, bool, TnxEngineArgs) { return nxErrInvalidName; }}};
  auto* object = platform::create<TestObject>(session);
  EXPECT_EQ(TnxAbstractServerObject::Close(object), 0);
}

// ---- Extender notification ----------------------------------------------------

TEST_F(ServerObjects, NotificationOrderFilterAndStop) {
  auto* object = platform::create<TestObject>(session);
  platform::create<TestExtender>("x", object, only({eaTablePack, eaTableEmpty}), nullptr);
  platform::create<TestExtender>("y", object, only({eaTablePack}),
                                 [](TnxEngineAction aAction, bool, TnxEngineArgs) {
                                   return aAction == eaTablePack ? nxErrInvalidName : 0;
                                 });
  platform::create<TestExtender>("z", object, only({eaTablePack, eaTableEmpty}), nullptr);
  gLog.clear();

  struct Case {
    int action;
    TnxResult result;
    std::vector<std::string> log;
  } cases[] = {
      {eaTableEmpty, 0, {"x:28b", "z:28b"}},                       // y does not want it
      {eaTablePack, nxErrInvalidName, {"x:17b", "y:17b"}},         // y stops the walk
      {eaTableRename, 0, {}},                                      // nobody asked for it
      {48, 0, {}},                                                 // beyond the set
      {200, 0, {}},
  };
  for (const auto& c : cases) {
    gLog.clear();
    EXPECT_EQ(object->NotifyExtenders(static_cast<TnxEngineAction>(c.action), true, {}), c.result) << c.action;
    EXPECT_EQ(gLog, c.log) << c.action;
  }
  TnxAbstractServerObject::Free(object);
}

TEST_F(ServerObjects, ExtenderExceptionBecomesItsAnswer) {
  auto* object = platform::create<TestObject>(session);
  platform::create<TestExtender>("thrower", object, only({eaRecordModify}),
                                 [](TnxEngineAction, bool, TnxEngineArgs) -> TnxResult {
                                   throw EnxBaseException(nxErrInvalidTableName);
                                 });
  platform::create<TestExtender>("later", object, only({eaRecordModify}), nullptr);
  gLog.clear();
  EXPECT_EQ(object->NotifyExtenders(eaRecordModify, false, {}), nxErrInvalidTableName);
  EXPECT_EQ(gLog, (std::vector<std::string>{"thrower:37a"}));
  TnxAbstractServerObject::Free(object);
}

TEST_F(ServerObjects, DefaultActionSetLeavesOutFulltextUpdate) {
  auto* object = platform::create<TestObject>(session);
  auto* extender = platform::create<TestExtender>("all", object, TnxEngineActions{}, nullptr);
  EXPECT_TRUE(extender->Actions().contains(eaStatementGetParams));
  EXPECT_TRUE(extender->Actions().contains(eaRecordDelete));
  EXPECT_FALSE(extender->Actions().contains(eaRecordFulltextUpdate));
  gLog.clear();
  EXPECT_EQ(object->NotifyExtenders(eaRecordFulltextUpdate, true, {}), 0);
  EXPECT_TRUE(gLog.empty());
  // Detaching does not shrink the object's set.
  platform::TObject::free(extender);
  EXPECT_TRUE(object->ExtendersActions().contains(eaRecordDelete));
  EXPECT_EQ(object->NotifyExtenders(eaRecordDelete, true, {}), 0);
  TnxAbstractServerObject::Free(object);
}

TEST_F(ServerObjects, GetNotifyForAndGetExtenderOfType) {
  auto* object = platform::create<TestObject>(session);
  EXPECT_FALSE(object->GetNotifyFor(eaTableBuild));
  auto* first = platform::create<TestExtender>("a", object, only({eaTableBuild, eaTableDelete}), nullptr);
  auto* special = platform::create<SpecialExtender>("b", object, only({eaTableDelete}), nullptr);

  EXPECT_FALSE(object->GetNotifyFor(eaTableRename));
  EXPECT_FALSE(object->GetNotifyFor(static_cast<TnxEngineAction>(48)));
  TnxEngineNotify one = object->GetNotifyFor(eaTableBuild);
  ASSERT_TRUE(one);
  EXPECT_EQ(one.Target(), static_cast<void*>(first));
  gLog.clear();
  EXPECT_EQ(one(eaTableBuild, true, {}), 0);
  EXPECT_EQ(gLog, (std::vector<std::string>{"a:16b"}));

  TnxEngineNotify both = object->GetNotifyFor(eaTableDelete);
  ASSERT_TRUE(both);
  EXPECT_EQ(both.Target(), static_cast<void*>(object));
  gLog.clear();
  EXPECT_EQ(both(eaTableDelete, false, {}), 0);
  EXPECT_EQ(gLog, (std::vector<std::string>{"a:27a", "b:27a"}));

  EXPECT_EQ(object->GetExtenderOfType(SpecialExtender::staticClassInfo()), special);
  EXPECT_EQ(object->GetExtenderOfType(TnxBaseEngineExtender::staticClassInfo()), first);
  platform::TObject::free(special);
  EXPECT_EQ(object->GetExtenderOfType(SpecialExtender::staticClassInfo()), nullptr);
  TnxAbstractServerObject::Free(object);
}

// ---- Options ---------------------------------------------------------------------

template <class T>
void optionScenario(TnxAbstractSession* aSession) {
  auto* grand = platform::create<T>(aSession);
  auto* parent = platform::create<T>(grand);
  auto* child = platform::create<TestObject>(parent);
  nxString value;

  EXPECT_EQ(child->OptionClear(u"A"), nxErrObjectNotFound);
  EXPECT_EQ(child->OptionGet(u"A", value), nxErrObjectNotFound);

  // Set, clear, set again: the list goes with its last line and comes back.
  EXPECT_EQ(child->OptionSet(u"A", u"1"), 0);
  EXPECT_TRUE(child->HasOptions());
  EXPECT_EQ(child->OptionClear(u"a"), 0);
  EXPECT_FALSE(child->HasOptions());
  EXPECT_EQ(child->OptionSet(u"A", u"2"), 0);
  EXPECT_EQ(child->OptionGet(u"A", value), 0);
  EXPECT_EQ(value, u"2");
  EXPECT_EQ(child->changes, (std::vector<std::string>{"A=1", "a=", "A=2"}));

  // Inheritance through the whole chain; own values win.
  EXPECT_EQ(grand->OptionSet(u"G", u"grand"), 0);
  EXPECT_EQ(grand->OptionSet(u"P", u"grand"), 0);
  EXPECT_EQ(parent->OptionSet(u"P", u"parent"), 0);
  EXPECT_EQ(child->OptionGetEffective(u"G", value), 0);
  EXPECT_EQ(value, u"grand");
  EXPECT_EQ(child->OptionGetEffective(u"P", value), 0);
  EXPECT_EQ(value, u"parent");
  EXPECT_EQ(child->OptionSet(u"P", u"child"), 0);
  EXPECT_EQ(child->OptionGetEffective(u"P", value), 0);
  EXPECT_EQ(value, u"child");
  // An empty value removes the line: the parent's shows through again.
  EXPECT_EQ(child->OptionSet(u"P", u""), 0);
  EXPECT_EQ(child->OptionGet(u"P", value), nxErrObjectNotFound);
  EXPECT_TRUE(value.empty());
  EXPECT_EQ(child->OptionGetEffective(u"P", value), 0);
  EXPECT_EQ(value, u"parent");
  EXPECT_EQ(child->OptionGetEffective(u"Nowhere", value), nxErrObjectNotFound);

  // The effective list: own lines, then the parent's own lines (one level).
  EXPECT_EQ(parent->OptionSet(u"A", u"parent"), 0);
  platform::TStringList list;
  list.add(u"stale");
  EXPECT_EQ(child->OptionListEffective(list), 0);
  ASSERT_EQ(list.count(), 2);
  EXPECT_EQ(list.strings(0), u"A=2");
  EXPECT_EQ(list.strings(1), u"P=parent");
  EXPECT_EQ(list.indexOfName(u"G"), -1);

  // Emptied by its last set: the list stays.
  EXPECT_EQ(child->OptionClear(u"A"), 0);
  EXPECT_EQ(child->OptionSet(u"Z", u"1"), 0);
  EXPECT_EQ(child->OptionSet(u"Z", u""), 0);
  EXPECT_TRUE(child->HasOptions());
  EXPECT_EQ(child->OptionList(list), 0);
  EXPECT_EQ(list.count(), 0);

  TnxAbstractServerObject::Free(child);
  TnxAbstractServerObject::Free(parent);
  TnxAbstractServerObject::Free(grand);
}

TEST_F(ServerObjects, OptionsPlain) { optionScenario<TestObject>(session); }
TEST_F(ServerObjects, OptionsLocked) { optionScenario<LockedObject>(session); }

TEST_F(ServerObjects, MergeSkipsLinesWithoutValue) {
  auto* object = platform::create<TestObject>(session);
  platform::TStringList target, source;
  target.add(u"A=mine");
  source.add(u"A=theirs");
  source.add(u"B=");
  source.add(u"novalue");
  source.add(u"C=3");
  EXPECT_EQ(object->esoOptionListMerge(target, source), 0);
  ASSERT_EQ(target.count(), 2);
  EXPECT_EQ(target.strings(0), u"A=mine");
  EXPECT_EQ(target.strings(1), u"C=3");
  TnxAbstractServerObject::Free(object);
}

TEST_F(ServerObjects, LockedOptionsFromSeveralThreads) {
  nxtest::Watchdog watchdog;
  auto* table = platform::create<LockedObject>(session);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([table, t] {
      const nxString name = u"T" + platform::fromUtf8(std::to_string(t));
      nxString value;
      for (int i = 0; i < 500; ++i) {
        table->OptionSet(name, platform::fromUtf8(std::to_string(i)));
        table->OptionGet(name, value);
        if (i % 7 == 0) table->OptionClear(name);
      }
      table->OptionSet(name, u"done");
    });
  for (auto& t : threads) t.join();
  platform::TStringList list;
  table->OptionList(list);
  EXPECT_EQ(list.count(), 4);
  TnxAbstractServerObject::Free(table);
}

TEST_F(ServerObjects, IgnoreSecurityFollowsTheParentChain) {
  auto* parent = platform::create<TestObject>(session);
  auto* child = platform::create<TestObject>(parent);
  EXPECT_FALSE(child->IgnoreSecurity());
  parent->BeginIgnoreSecurity();
  EXPECT_TRUE(child->IgnoreSecurity());
  parent->EndIgnoreSecurity();
  EXPECT_FALSE(child->IgnoreSecurity());
  TnxAbstractServerObject::Free(child);
  TnxAbstractServerObject::Free(parent);
}

// ---- Name-addressed lookup --------------------------------------------------------

TEST_F(ServerObjects, CreateInstanceForAcrossTheGraph) {
  auto* object = platform::create<TestObject>(session);
  auto* orphan = platform::create<TestObject>(nullptr);
  void* intf = nullptr;
  const auto iid = InxAbstractServerObject41100::IID;
  auto self = [](TnxAbstractServerObject* o) { return static_cast<void*>(static_cast<InxAbstractServerObject41100*>(o)); };

  struct Case {
    TnxAbstractServerObject* on;
    const char16_t* name;
    std::int32_t result;
    void* answer;
  } cases[] = {
      {object, u"<Self>", nxS_OK, self(object)},
      {object, u"<sELF>.<self>", nxS_OK, self(object)},     // ASCII case ignored
      {object, u"<Self>.<Self>.<Self>", nxS_OK, self(object)},
      {object, u"<Session>", nxS_OK, self(session)},
      {object, u"<Self>.<Session>.<Self>", nxS_OK, self(session)},
      {session, u"<Session>", nxS_OK, self(session)},       // a session is its own
      {orphan, u"<Session>", nxE_NOINTERFACE, nullptr},
      {orphan, u"Somebody", nxE_NOINTERFACE, nullptr},      // no engine
      {object, u"<Extenders>", nxE_NOINTERFACE, nullptr},  // no provider yet
  };
  for (const auto& c : cases) {
    intf = reinterpret_cast<void*>(1);
    EXPECT_EQ(c.on->CreateInstanceFor(c.name, nxServerObjectSelfClassID, nullptr, iid, &intf), c.result)
        << platform::toUtf8(c.name);
    EXPECT_EQ(intf, c.answer) << platform::toUtf8(c.name);
  }

  // Another class id on <Self> is refused.
  EXPECT_EQ(object->CreateInstanceFor(u"<Self>", nxComponentInfoClassID, nullptr, iid, &intf), nxE_NOINTERFACE);

  // Any other head goes to the engine with the whole name and the session.
  EXPECT_EQ(object->CreateInstanceFor(u"Monitor1.<Self>", nxServerObjectSelfClassID, nullptr, iid, &intf),
            nxE_NOINTERFACE);
  EXPECT_EQ(engine->lastName, u"Monitor1.<Self>");
  EXPECT_EQ(engine->lastSession, session);
  EXPECT_EQ(object->CreateInstanceFor(u"<Session>.<ServerEngine>", nxServerObjectSelfClassID, nullptr, iid, &intf),
            nxE_NOTIMPL);
  EXPECT_EQ(engine->lastName, u"<ServerEngine>");

  // "<Extenders>" asks the extenders in order.
  platform::create<TestExtender>("quiet", object, only({eaRecordGet}), nullptr);
  platform::create<TestExtender>("provider", object, only({eaRecordGet}), nullptr);
  EXPECT_EQ(object->CreateInstanceFor(u"<extenders>", nxServerObjectSelfClassID, nullptr, iid, &intf), nxS_OK);
  EXPECT_EQ(intf, &TestExtender::marker);

  TnxAbstractServerObject::Free(orphan);
  TnxAbstractServerObject::Free(object);
}

// ---- Identities ------------------------------------------------------------------

TEST_F(ServerObjects, LookupByIDRefusesStaleForeignAndDyingIds) {
  auto* object = platform::create<TestObject>(session);
  auto* otherSession = platform::create<TestSession>(engine);
  const TnxSessionID sessionID = session->RemoteID();
  const TnxBaseID id = object->RemoteID();
  ASSERT_NE(id, 0u);

  TnxAbstractServerObject* found = nullptr;
  TnxServerObjectCall call;
  EXPECT_EQ(
      TnxAbstractServerObject::LookupByID(TnxExtendableServerObject::staticClassInfo(), sessionID, id, call, found), 0);
  EXPECT_EQ(found, object);
  EXPECT_EQ(call.Object(), object);
  call = TnxServerObjectCall();

  TnxAbstractSession* foundSession = nullptr;
  TnxServerObjectCall sessionCall;
  EXPECT_EQ(TnxAbstractSession::LookupByID(sessionID, sessionCall, foundSession), 0);
  EXPECT_EQ(foundSession, session);
  sessionCall = TnxServerObjectCall();

  struct Case {
    const char* what;
    const platform::ClassInfo* cls;
    TnxSessionID session;
    TnxBaseID id;
  } cases[] = {
      {"other session", &TnxAbstractServerObject::staticClassInfo(), otherSession->RemoteID(), id},
      {"no session", &TnxAbstractServerObject::staticClassInfo(), 0, id},
      {"wrong class", &TnxAbstractTaskInfo::staticClassInfo(), sessionID, id},
      {"made-up number", &TnxAbstractServerObject::staticClassInfo(), sessionID, 0x12345678u},
      {"zero", &TnxAbstractServerObject::staticClassInfo(), sessionID, 0},
  };
  for (const auto& c : cases) {
    found = object;
    EXPECT_EQ(TnxAbstractServerObject::LookupByID(*c.cls, c.session, c.id, call, found), nxErrInvalidHandle) << c.what;
    EXPECT_EQ(found, nullptr) << c.what;
    EXPECT_EQ(call.Object(), nullptr) << c.what;
  }

  // Dying: refused from inside its own destruction.
  TnxResult whileDying = -1;
  platform::create<TestExtender>("probe", object, only({eaDestroy}), [&](TnxEngineAction, bool, TnxEngineArgs) {
    TnxAbstractServerObject* f = nullptr;
    TnxServerObjectCall c;
    whileDying = TnxAbstractServerObject::LookupByID(TnxAbstractServerObject::staticClassInfo(), sessionID, id, c, f);
    return 0;
  });
  EXPECT_EQ(TnxAbstractServerObject::Close(object), 0);
  EXPECT_EQ(whileDying, nxErrInvalidHandle);

  // Stale: the id of a closed object stays refused even when a new object
  // takes its place.
  auto* successor = platform::create<TestObject>(session);
  EXPECT_NE(successor->RemoteID(), id);
  EXPECT_EQ(TnxAbstractServerObject::LookupByID(TnxAbstractServerObject::staticClassInfo(), sessionID, id, call, found),
            nxErrInvalidHandle);
  TnxAbstractServerObject::Free(successor);
  TnxAbstractServerObject::Free(otherSession);
}

TEST_F(ServerObjects, LookupByIdAndCallWhileOthersCloseNeverReachesFreedMemory) {
  nxtest::Watchdog watchdog;
  // Clients dispatch by id on several threads while others close the objects
  // behind those ids: every lookup either fails with 9990 or holds the object
  // until its call ends; each object is released exactly once.
  constexpr int kObjects = 64, kCallers = 4, kClosers = 2, kRounds = 5;
  const TnxSessionID sessionID = session->RemoteID();
  for (int round = 0; round < kRounds; ++round) {
    std::vector<TnxBaseID> ids;
    std::vector<LockedObject*> objects;
    for (int i = 0; i < kObjects; ++i) {
      objects.push_back(platform::create<LockedObject>(session));
      ids.push_back(objects.back()->RemoteID());
    }
    const int destroyedBefore = engine->destroyed;
    std::atomic<int> nextToClose{0};
    std::atomic<int> calls{0}, refused{0};
    nxtest::runThreads(kCallers + kClosers, [&](int aThread) {
      if (aThread < kClosers) {
        while (calls.load() < kCallers) std::this_thread::yield();  // the callers are busy
        for (int i; (i = nextToClose.fetch_add(1)) < kObjects;) {
          EXPECT_EQ(TnxAbstractServerObject::Close(objects[static_cast<std::size_t>(i)]), 0);
          std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        return;
      }
      for (int n = 0; nextToClose.load() < kObjects + kClosers; ++n) {
        TnxServerObjectCall call;
        LockedObject* object = nullptr;
        const TnxBaseID id = ids[static_cast<std::size_t>((n * 7 + aThread) % kObjects)];
        if (TnxAbstractServerObject::LookupByID(sessionID, id, call, object) != 0) {
          ++refused;
          continue;
        }
        if (!call.ObjectClosed()) object->NotifyExtenders(eaRecordGet, true, {});
        EXPECT_EQ(object->Session(), session) << "the object stays readable while the call lives";
        ++calls;
      }
    });
    EXPECT_EQ(engine->destroyed, destroyedBefore + kObjects);
    EXPECT_GT(refused.load(), 0) << "no lookup met a closed object";
  }
}

// ---- Task handles ----------------------------------------------------------------

TEST_F(ServerObjects, TaskHandlesAreCancelledOnDestruction) {
  auto* task = platform::create<TestTask>(session);
  auto* second = platform::create<TestTask>(session);
  EXPECT_EQ(session->TaskInfoCount(), 2);
  platform::create<TestExtender>("ext", task, only({eaTablePack}), nullptr);
  gLog.clear();
  EXPECT_EQ(TnxAbstractServerObject::Close(task), 0);
  // Cancelled before the extenders are prepared.
  EXPECT_EQ(gLog, (std::vector<std::string>{"task:cancel", "ext:prepare", "ext:freed"}));
  EXPECT_EQ(session->TaskInfoCount(), 1);

  void* intf = nullptr;
  EXPECT_EQ(second->CreateInstanceFor(u"<TaskInfo>", nxServerObjectSelfClassID, nullptr,
                                      InxAbstractServerObject41100::IID, &intf),
            nxS_OK);
  EXPECT_EQ(intf, static_cast<void*>(static_cast<InxAbstractServerObject41100*>(second)));
  EXPECT_EQ(second->CreateInstanceFor(u"<taskinfo>.<Session>", nxServerObjectSelfClassID, nullptr,
                                      InxAbstractServerObject41100::IID, &intf),
            nxS_OK);
  EXPECT_EQ(intf, static_cast<void*>(static_cast<InxAbstractServerObject41100*>(session)));

  // The session's end cancels (in every round of its cleanup, while the
  // handle stays) and frees what is left.
  gLog.clear();
  TnxAbstractServerObject::Free(session);
  session = nullptr;
  EXPECT_FALSE(gLog.empty());
  EXPECT_EQ(std::count(gLog.begin(), gLog.end(), "task:cancel"), static_cast<std::ptrdiff_t>(gLog.size()));
}

TEST_F(ServerObjects, TaskClosedDuringACallOutlivesItsSession) {
  auto* task = platform::create<TestTask>(session);
  {
    TnxServerObjectCall call(task);
    TnxAbstractServerObject::Free(session);  // marks the task, cannot release it yet
    session = nullptr;
    EXPECT_TRUE(call.ObjectClosed());
    EXPECT_EQ(task->Session(), nullptr);
  }
}

// ---- Exception data --------------------------------------------------------------

TEST_F(ServerObjects, EncodedExceptionDataDescribesTheObject) {
  auto* object = platform::create<TestObject>(session);
  object->OptionSet(u"Mode", u"fast");
  const nxString encoded = object->GetEncodedExceptionData(false);
  auto value = nxExceptionDataFromString(encoded);
  ASSERT_TRUE(value);
  EXPECT_EQ(value->GetName(), u"ExceptionData");
  const std::string text = platform::toUtf8(value->ToString());
  EXPECT_NE(text.find("Destroying"), std::string::npos) << text;
  EXPECT_NE(text.find("Mode: fast"), std::string::npos) << text;
  TnxAbstractServerObject::Free(object);
}

}  // namespace
