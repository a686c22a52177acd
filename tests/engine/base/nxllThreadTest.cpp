#include "nxllThread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plOs.h"
#include "nxTestWatchdog.h"

using platform::ThreadPriority;
using platform::TObject;

namespace {

template <class F>
bool eventually(F aCondition) {
  for (int i = 0; i < 2000 && !aCondition(); ++i) platform::sleepMs(1);
  return aCondition();
}

std::int64_t nowNs() {
  return static_cast<std::int64_t>(static_cast<__int128>(platform::performanceCounter()) * 1000000000 /
                                   platform::performanceFrequency());
}

// A plain engine thread with a replaceable body; records what its handler got.
class ProbeThread : public TnxThread {
  PL_CLASS_INFO_DECL()
 public:
  explicit ProbeThread(std::function<void()> aBody, nxString aName = {})
      : TnxThread(true, ThreadPriority::normal), body(std::move(aBody)) {
    nxtName = std::move(aName);
  }
  std::function<void()> body;
  std::vector<std::string> handled;

 protected:
  void DoExecute() override { body(); }
  void DoHandleException(const std::exception& aException) override { handled.emplace_back(aException.what()); }
};
PL_CLASS_INFO_IMPL(ProbeThread, TnxThread, "ProbeThread", nullptr)

// What an init-family probe did, owned by the test so it outlives the thread.
struct Steps {
  std::function<void()> beforeBody;
  std::function<void()> innerBody;
  std::atomic<bool> before{false};
  std::atomic<bool> inner{false};
  std::atomic<bool> after{false};
  std::vector<std::string> handled;
};

template <class Base>
class InitProbe : public Base {
 public:
  explicit InitProbe(Steps& aSteps) : Base(ThreadPriority::normal), steps(aSteps) {}
  Steps& steps;

 protected:
  void DoBeforeExecute() override {
    if (steps.beforeBody) steps.beforeBody();
    steps.before = true;
  }
  void InnerExecute() override {
    steps.inner = true;
    if (steps.innerBody) steps.innerBody();
  }
  void DoAfterExecute() override {
    steps.after = true;
    Base::DoAfterExecute();
  }
  void DoHandleException(const std::exception& aException) override {
    steps.handled.emplace_back(aException.what());
  }
};

// Receives timer calls; an action may make a call slow or raise.
struct TimerProbe {
  std::atomic<int> calls{0};
  TObject* sender = nullptr;
  std::vector<std::int64_t> starts, ends;
  std::function<void(int)> action;

  void OnTimer(TObject* aSender) {
    const int n = ++calls;
    sender = aSender;
    starts.push_back(nowNs());
    if (action) action(n);
    ends.push_back(nowNs());
  }
  TnxThreadNotifyEvent callback() { return TnxThreadNotifyEvent::Of<&TimerProbe::OnTimer>(this); }
};

// A timer whose calls run an action and whose handler counts what it got.
class CountingTimer : public TnxTimerThread {
 public:
  CountingTimer(std::int32_t aInterval, std::function<void()> aAction)
      : TnxTimerThread(aInterval, ThreadPriority::normal), action(std::move(aAction)) {}
  std::function<void()> action;
  std::atomic<int> calls{0};
  std::atomic<int> handled{0};

 protected:
  void DoTimer() override {
    ++calls;
    action();
  }
  void DoHandleException(const std::exception&) override { ++handled; }
};

// Installs a message-aware wait hook that records the waiting threads.
class RecordingWaitHook {
 public:
  RecordingWaitHook() {
    threads().clear();
    platform::setMessageAwareWaitHook(&wait);
  }
  ~RecordingWaitHook() { platform::setMessageAwareWaitHook(nullptr); }
  RecordingWaitHook(const RecordingWaitHook&) = delete;
  RecordingWaitHook& operator=(const RecordingWaitHook&) = delete;

  static int callsFrom(std::uint32_t aThreadId) {
    std::lock_guard guard(mutex());
    return static_cast<int>(std::count(threads().begin(), threads().end(), aThreadId));
  }

 private:
  static platform::WaitResult wait(platform::Event& aEvent, std::uint32_t aTimeout) {
    {
      std::lock_guard guard(mutex());
      threads().push_back(platform::currentThreadId());
    }
    return aEvent.wait(aTimeout);
  }
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static std::vector<std::uint32_t>& threads() {
    static std::vector<std::uint32_t> v;
    return v;
  }
};

}  // namespace

// ---------------------------------------------------------------------------
// Priority identifiers

TEST(NxThreadPriority, IdentifiersBothWays) {
  const struct {
    TnxThreadPriority value;
    const char16_t* ident;
  } cases[] = {{-15, u"IDLE"},        {-2, u"LOWEST"}, {-1, u"BELOW_NORMAL"},   {0, u"NORMAL"},
               {1, u"ABOVE_NORMAL"}, {2, u"HIGHEST"}, {15, u"TIME_CRITICAL"}};
  for (const auto& c : cases) {
    nxString ident;
    EXPECT_TRUE(nxThreadPriorityToIdent(c.value, ident));
    EXPECT_EQ(ident, c.ident);
    EXPECT_EQ(nxThreadPriorityToString(c.value), c.ident);
    EXPECT_EQ(nxStringToThreadPriority(c.ident), c.value);
  }
  TnxThreadPriority value = 99;
  EXPECT_TRUE(nxIdentToThreadPriority(u"time_Critical", value));
  EXPECT_EQ(value, 15);
  EXPECT_FALSE(nxIdentToThreadPriority(u"CRITICAL", value));
}

TEST(NxThreadPriority, ValuesWithoutIdentifierTravelAsNumbers) {
  nxString ident;
  EXPECT_FALSE(nxThreadPriorityToIdent(3, ident));
  EXPECT_EQ(nxThreadPriorityToString(3), u"3");
  EXPECT_EQ(nxThreadPriorityToString(-7), u"-7");
  EXPECT_EQ(nxStringToThreadPriority(u"3"), 3);
  EXPECT_EQ(nxStringToThreadPriority(u"-7"), -7);
  EXPECT_EQ(nxStringToThreadPriority(u"15"), 15);

  EXPECT_THROW(nxStringToThreadPriority(u"16"), platform::RangeError);
  EXPECT_THROW(nxStringToThreadPriority(u"-16"), platform::RangeError);
  EXPECT_THROW(nxStringToThreadPriority(u"99999999999999999999"), platform::RangeError);
  for (const char16_t* bad : {u"", u"FAST", u"1x", u" 1", u"-", u"\u00e9"})
    EXPECT_THROW(nxStringToThreadPriority(bad), platform::ConvertError) << platform::toUtf8(bad);
}

// ---------------------------------------------------------------------------
// Thread base

TEST(NxThread, ExceptionFamilyGoesToTheHandlerOtherObjectsEndTheThread) {
  nxtest::Watchdog watchdog;
  const struct {
    const char* name;
    std::function<void()> body;
    bool handled;
  } cases[] = {
      {"engine", [] { throw EnxBaseException(u"engine failure"); }, true},
      {"runtime", [] { throw platform::ConvertError("conversion failure"); }, true},
      {"foreign", [] { throw 42; }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto* t = platform::create<ProbeThread>(c.body);
    t->start();
    t->WaitForEx(-1);
    ASSERT_TRUE(t->finished());
    if (c.handled) {
      ASSERT_EQ(t->handled.size(), 1u);
      EXPECT_NE(t->handled[0].find("failure"), std::string::npos);
      EXPECT_EQ(t->fatalException(), nullptr);
    } else {
      EXPECT_TRUE(t->handled.empty());
      ASSERT_NE(t->fatalException(), nullptr);
      EXPECT_THROW(std::rethrow_exception(t->fatalException()), int);
    }
    TObject::free(t);
  }
}

TEST(NxThread, PendingMessageIsClearedWhenTheBodyEnds) {
  nxtest::Watchdog watchdog;
  constexpr TnxResult code = 12345;
  // The mechanism the thread relies on: a pending text becomes the message.
  EnxBaseException::nxSetMessage(code, u"left behind");
  EXPECT_NE(platform::toUtf8(EnxBaseException(code).Message()).find("left behind"), std::string::npos);

  auto* t = platform::create<ProbeThread>([] { EnxBaseException::nxSetMessage(code, u"left behind"); });
  std::string messageAfterBody;
  std::uint32_t handlerThread = 0;
  t->onTerminate = [&](TObject*) {
    handlerThread = platform::currentThreadId();
    messageAfterBody = platform::toUtf8(EnxBaseException(code).Message());
  };
  t->start();
  t->WaitForEx(-1);
  EXPECT_EQ(handlerThread, t->threadId());  // in the ending thread, not the owner's
  EXPECT_EQ(messageAfterBody.find("left behind"), std::string::npos) << messageAfterBody;
  TObject::free(t);
}

TEST(NxThread, NamesAndExceptionClasses) {
  nxtest::Watchdog watchdog;
  auto* named = platform::create<ProbeThread>([] {}, u"cleanup");
  auto* unnamed = platform::create<ProbeThread>([] {});
  EXPECT_EQ(named->Name(), u"cleanup");
  EXPECT_EQ(unnamed->Name(), u"ProbeThread");
  EXPECT_EQ(unnamed->ExceptionClass().name, "EnxThread");
  TObject::free(named);
  TObject::free(unnamed);

  TnxThread* threads[] = {
      platform::create<TnxInternalInitThread>(ThreadPriority::normal),
      platform::create<TnxInternalWaitThread>(ThreadPriority::normal),
      platform::create<TnxInitThread>(ThreadPriority::normal),
      platform::create<TnxSimpleTimerThread>(0, ThreadPriority::normal, TnxThreadNotifyEvent{}),
  };
  const char* exceptionClasses[] = {"EnxInternalInitThread", "EnxInternalWaitThread", "EnxInitThread",
                                    "EnxInitThread"};
  const char16_t* names[] = {u"TnxInternalInitThread", u"TnxInternalWaitThread", u"TnxInitThread",
                             u"TnxSimpleTimerThread"};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(threads[i]->ExceptionClass().name, exceptionClasses[i]);
    EXPECT_TRUE(threads[i]->ExceptionClass().inheritsFrom(EnxThread::staticClassInfo()));
    EXPECT_EQ(threads[i]->Name(), names[i]);
    TObject::free(threads[i]);
  }
}

// ---------------------------------------------------------------------------
// Init and wait threads

TEST(NxInitThread, CreatorWaitsUntilStartUpHasFinished) {
  nxtest::Watchdog watchdog;
  Steps steps;
  steps.beforeBody = [] { platform::sleepMs(20); };
  auto* t = platform::create<InitProbe<TnxInitThread>>(steps);
  EXPECT_TRUE(steps.before.load());  // a plain start would return before the 20 ms
  // An init thread ends as soon as its work is done.
  t->WaitForEx(2000);
  EXPECT_TRUE(t->finished());
  EXPECT_TRUE(steps.inner.load());
  EXPECT_TRUE(steps.after.load());
  TObject::free(t);
}

TEST(NxInitThread, StartUpFailureRaisesTheVeryExceptionInTheCreator) {
  nxtest::Watchdog watchdog;
  const struct {
    const char* name;
    std::function<void(const void*&)> raise;
  } failures[] = {
      {"engine",
       [](const void*& aThrown) {
         try {
           throw EnxInitThread(u"start-up failed");
         } catch (const EnxInitThread& e) {
           aThrown = &e;
           throw;
         }
       }},
      {"runtime",
       [](const void*& aThrown) {
         try {
           throw platform::OutOfMemory();
         } catch (const platform::OutOfMemory& e) {
           aThrown = &e;
           throw;
         }
       }},
  };
  for (const auto& f : failures) {
    for (bool parking : {false, true}) {
      SCOPED_TRACE(std::string(f.name) + (parking ? " wait thread" : " init thread"));
      Steps steps;
      const void* thrown = nullptr;
      steps.beforeBody = [&] { f.raise(thrown); };
      const void* caught = nullptr;
      std::string caughtClass;
      try {
        if (parking)
          platform::create<InitProbe<TnxInternalWaitThread>>(steps);
        else
          platform::create<InitProbe<TnxInitThread>>(steps);
        ADD_FAILURE() << "construction succeeded";
      } catch (const EnxBaseException& e) {
        caught = &e;
        caughtClass = e.className();
      } catch (const platform::OutOfMemory& e) {
        caught = &e;
        caughtClass = "OutOfMemory";
      }
      EXPECT_EQ(caught, thrown);
      EXPECT_EQ(caughtClass, std::string(f.name) == "engine" ? "EnxInitThread" : "OutOfMemory");
      EXPECT_FALSE(steps.before.load());
      EXPECT_FALSE(steps.inner.load());
      EXPECT_FALSE(steps.after.load());
    }
  }
}

TEST(NxInitThread, AfterStepRunsWhenTheWorkRaises) {
  nxtest::Watchdog watchdog;
  Steps steps;
  steps.innerBody = [] { throw EnxBaseException(u"work failed"); };
  auto* t = platform::create<InitProbe<TnxInitThread>>(steps);
  t->WaitForEx(2000);
  ASSERT_TRUE(t->finished());
  EXPECT_TRUE(steps.after.load());
  ASSERT_EQ(steps.handled.size(), 1u);
  EXPECT_NE(steps.handled[0].find("work failed"), std::string::npos);
  TObject::free(t);
}

TEST(NxWaitThread, ParksAfterItsWorkUntilFreed) {
  nxtest::Watchdog watchdog;
  Steps steps;
  auto* t = platform::create<InitProbe<TnxInternalWaitThread>>(steps);
  ASSERT_TRUE(eventually([&] { return t->Waiting(); }));
  EXPECT_TRUE(steps.after.load());
  t->WaitForEx(20);
  EXPECT_FALSE(t->finished());

  std::atomic<bool> ended{false};
  t->onTerminate = [&](TObject*) { ended = true; };
  TObject::free(t);
  EXPECT_TRUE(ended.load());
}

TEST(NxThreadWaits, MessageAwareInTheMainThreadAndWhileParked) {
  nxtest::Watchdog watchdog;
  ASSERT_TRUE(nxIsMainThread());
  RecordingWaitHook hook;
  const std::uint32_t mainThread = platform::currentThreadId();

  Steps steps;
  auto* t = platform::create<InitProbe<TnxInitThread>>(steps);  // start-up wait: message-aware here
  EXPECT_EQ(RecordingWaitHook::callsFrom(mainThread), 1);
  t->WaitForEx(2000);
  EXPECT_EQ(RecordingWaitHook::callsFrom(mainThread), 2);
  ASSERT_TRUE(t->finished());
  // The thread passed its (pre-released) park through the hook as well.
  EXPECT_EQ(RecordingWaitHook::callsFrom(t->threadId()), 1);
  TObject::free(t);

  // Another thread creating and waiting uses plain waits.
  std::uint32_t otherThread = 0;
  bool otherFinished = false;
  std::thread([&] {
    otherThread = platform::currentThreadId();
    Steps otherSteps;
    auto* o = platform::create<InitProbe<TnxInitThread>>(otherSteps);
    o->WaitForEx(2000);
    otherFinished = o->finished();
    TObject::free(o);
  }).join();
  EXPECT_TRUE(otherFinished);
  EXPECT_EQ(RecordingWaitHook::callsFrom(otherThread), 0);
}

// ---------------------------------------------------------------------------
// Timer threads

TEST(NxSimpleTimerThread, CallsOneIntervalAfterTheEndOfTheLastCall) {
  nxtest::Watchdog watchdog;
  constexpr std::int64_t intervalNs = 5'000'000;
  TimerProbe probe;
  probe.action = [](int) { platform::sleepMs(8); };
  const std::int64_t created = nowNs();
  auto* t = platform::create<TnxSimpleTimerThread>(5, ThreadPriority::normal, probe.callback());
  EXPECT_EQ(t->Interval(), 5);
  ASSERT_TRUE(eventually([&] { return probe.calls.load() >= 4; }));
  TObject::free(t);

  EXPECT_EQ(probe.sender, t);
  ASSERT_EQ(probe.starts.size(), probe.ends.size());
  EXPECT_GE(probe.starts[0] - created, intervalNs);
  for (std::size_t i = 1; i < probe.starts.size(); ++i)
    EXPECT_GE(probe.starts[i] - probe.ends[i - 1], intervalNs) << "call " << i;
}

TEST(NxSimpleTimerThread, FreeWhileWaitingStopsAtOnceWithoutACall) {
  nxtest::Watchdog watchdog;
  for (std::int32_t interval : {0, 600000}) {
    SCOPED_TRACE(interval);
    TimerProbe probe;
    auto* t = platform::create<TnxSimpleTimerThread>(interval, ThreadPriority::normal, probe.callback());
    platform::sleepMs(10);
    const std::int64_t start = nowNs();
    TObject::free(t);
    EXPECT_LT(nowNs() - start, 1'000'000'000);
    EXPECT_EQ(probe.calls.load(), 0);
  }
}

TEST(NxSimpleTimerThread, FreeDuringACallWaitsForItAndStartsNoOther) {
  nxtest::Watchdog watchdog;
  TimerProbe probe;
  platform::Event entered(platform::Event::Kind::manualReset);
  std::atomic<bool> done{false};
  probe.action = [&](int) {
    entered.set();
    platform::sleepMs(30);
    done = true;
  };
  auto* t = platform::create<TnxSimpleTimerThread>(2, ThreadPriority::normal, probe.callback());
  ASSERT_EQ(entered.wait(2000), platform::WaitResult::signaled);
  TObject::free(t);
  EXPECT_TRUE(done.load());
  EXPECT_EQ(probe.calls.load(), 1);
}

TEST(NxTimerThread, FamilyExceptionsAreHandledAndTheTimerGoesOn) {
  nxtest::Watchdog watchdog;
  auto* t = platform::create<CountingTimer>(2, [] { throw EnxBaseException(u"tick failed"); });
  EXPECT_TRUE(eventually([&] { return t->handled.load() >= 3; }));
  EXPECT_FALSE(t->finished());
  TObject::free(t);

  // The simple timer drops them and goes on as well.
  TimerProbe probe;
  probe.action = [](int) { throw platform::RangeError("tick failed"); };
  auto* simple = platform::create<TnxSimpleTimerThread>(2, ThreadPriority::normal, probe.callback());
  EXPECT_TRUE(eventually([&] { return probe.calls.load() >= 3; }));
  TObject::free(simple);
}

TEST(NxTimerThread, ForeignObjectEndsTheLoopAndTheThread) {
  nxtest::Watchdog watchdog;
  auto* t = platform::create<CountingTimer>(2, [] { throw 7; });
  t->WaitForEx(2000);
  ASSERT_TRUE(t->finished());
  EXPECT_EQ(t->calls.load(), 1);
  EXPECT_EQ(t->handled.load(), 0);
  EXPECT_THROW(std::rethrow_exception(t->fatalException()), int);
  TObject::free(t);
}
