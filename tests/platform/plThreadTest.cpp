#include "plThread.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <stdexcept>

#include "plOs.h"
#include "nxTestWatchdog.h"

using namespace platform;

namespace {

// Loops until terminated; counts its rounds.
class LoopThread : public TThread {
 public:
  using TThread::TThread;
  std::atomic<int> rounds{0};
  std::atomic<bool> running{false};

 protected:
  void execute() override {
    running = true;
    while (!terminated()) {
      ++rounds;
      sleepMs(1);
    }
  }
};

class ThrowingThread : public TThread {
 public:
  using TThread::TThread;

 protected:
  void execute() override { throw std::logic_error("body failed"); }
};

template <class F>
bool eventually(F aCondition) {
  for (int i = 0; i < 2000 && !aCondition(); ++i) sleepMs(1);
  return aCondition();
}

}  // namespace

TEST(PlThread, StartsAtOnceRunsUntilTerminatedAndFreeJoins) {
  nxtest::Watchdog watchdog;
  auto* t = create<LoopThread>(false);
  ASSERT_TRUE(eventually([&] { return t->running.load(); }));
  EXPECT_NE(t->threadId(), 0u);
  EXPECT_NE(t->threadId(), currentThreadId());
  EXPECT_FALSE(t->finished());
  EXPECT_EQ(t->handle().wait(0), WaitResult::timeout);

  t->terminate();
  t->waitFor();
  EXPECT_TRUE(t->finished());
  EXPECT_EQ(t->handle().wait(0), WaitResult::signaled);
  EXPECT_EQ(t->fatalException(), nullptr);
  TObject::free(t);
}

TEST(PlThread, FreeTerminatesARunningThread) {
  nxtest::Watchdog watchdog;
  auto* t = create<LoopThread>(false);
  ASSERT_TRUE(eventually([&] { return t->rounds.load() > 0; }));
  TObject::free(t);  // would hang if free did not set the flag before joining
}

TEST(PlThread, SuspendedThreadRunsOnlyAfterStart) {
  nxtest::Watchdog watchdog;
  auto* t = create<LoopThread>(true);
  sleepMs(5);
  EXPECT_FALSE(t->running.load());
  EXPECT_EQ(t->threadId(), 0u);
  t->start();
  EXPECT_TRUE(eventually([&] { return t->running.load(); }));
  TObject::free(t);

  // Freed without a start: the body never runs and nothing waits forever.
  auto* never = create<LoopThread>(true);
  TObject::free(never);
}

TEST(PlThread, EscapedExceptionIsKeptAndTerminationHandlerRunsInTheThread) {
  nxtest::Watchdog watchdog;
  auto* t = create<ThrowingThread>(true);
  std::uint32_t handlerThread = 0;
  TObject* sender = nullptr;
  t->onTerminate = [&](TObject* aSender) {
    sender = aSender;
    handlerThread = currentThreadId();
  };
  t->start();
  t->waitFor();
  ASSERT_NE(t->fatalException(), nullptr);
  try {
    std::rethrow_exception(t->fatalException());
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "body failed");
  }
  EXPECT_EQ(sender, t);
  EXPECT_EQ(handlerThread, t->threadId());
  TObject::free(t);
}

TEST(PlThread, LowerPriorityReachesTheKernelThread) {
  nxtest::Watchdog watchdog;
  // Lowering is always permitted, so the nice value must follow.
  auto* t = create<LoopThread>(true);
  t->setPriority(ThreadPriority::lowest);  // before the start: applied by the thread
  t->start();
  ASSERT_TRUE(eventually([&] { return t->running.load(); }));
  errno = 0;
  const int niceBefore = getpriority(PRIO_PROCESS, static_cast<id_t>(t->threadId()));
  EXPECT_EQ(errno, 0);
  EXPECT_GT(niceBefore, 0);

  t->setPriority(ThreadPriority::idle);  // while running
  EXPECT_EQ(t->priority(), ThreadPriority::idle);
  EXPECT_GT(getpriority(PRIO_PROCESS, static_cast<id_t>(t->threadId())), niceBefore);
  TObject::free(t);
}

TEST(PlThread, MessageAwareWaitGoesThroughTheHookWhenInstalled) {
  nxtest::Watchdog watchdog;
  static std::atomic<int> hookCalls;
  hookCalls = 0;
  Event e(Event::Kind::autoReset);
  e.set();
  EXPECT_EQ(messageAwareWait(e, 0), WaitResult::signaled);
  EXPECT_EQ(messageAwareWait(e, 0), WaitResult::timeout);  // the plain wait consumed it
  EXPECT_EQ(hookCalls.load(), 0);

  setMessageAwareWaitHook([](Event& aEvent, std::uint32_t aTimeout) {
    ++hookCalls;
    return aEvent.wait(aTimeout);
  });
  e.set();
  EXPECT_EQ(messageAwareWait(e, 0), WaitResult::signaled);
  EXPECT_EQ(hookCalls.load(), 1);
  setMessageAwareWaitHook(nullptr);
  EXPECT_EQ(messageAwareWaitHook(), nullptr);
}
