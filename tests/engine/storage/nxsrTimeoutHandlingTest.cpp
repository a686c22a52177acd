#include "nxsrTimeoutHandling.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "nxExpectCode.h"
#include "nxTestWatchdog.h"
#include "nxllSync.h"
#include "nxsdServerEngine.h"
#include "plThreadPriority.h"

namespace {

std::atomic<std::uint64_t> gNow{1000000};
std::uint64_t fakeTicks() { return gNow.load(); }

// Every case runs on a fresh thread (the state is per thread) with the
// clock under the test's control.
class TimeoutTest : public ::testing::Test {
 protected:
  void SetUp() override { previous_ = nxSetTickSource(&fakeTicks); }
  void TearDown() override { nxSetTickSource(previous_ == &fakeTicks ? nullptr : previous_); }
  template <class F>
  void onFreshThread(F&& aBody) {
    nxtest::runThreads(1, [&](int) { aBody(); });
  }
  TnxTickSource previous_ = nullptr;
};

TEST_F(TimeoutTest, DeadlineTable) {
  struct Case {
    const char* what;
    bool set;
    std::uint32_t timeout;
    std::uint64_t elapsed;
    bool cancelled;
    bool raises;
    const char16_t* text;
  };
  const Case cases[] = {
      {"45 ms into 50", true, 50, 45, false, true, u"The operation could not be completed in the allotted time."},
      {"30 ms into 50", true, 50, 30, false, false, nullptr},
      {"exactly 10 ms left", true, 50, 40, false, false, nullptr},
      {"never set", false, 0, 0, false, true, u"allotted time"},
      {"no deadline (0)", true, 0, 100000000, false, false, nullptr},
      {"no deadline (all ones)", true, 0xFFFFFFFFu, 100000000, false, false, nullptr},
      {"cancelled", true, 0, 0, true, true, u"Processing cancelled"},
  };
  for (const Case& c : cases) {
    onFreshThread([&] {
      if (c.set) nxSetTimeout(c.timeout, false);
      gNow += c.elapsed;
      if (c.cancelled) nxThreadCancelledFlag()->store(true);
      if (c.raises)
        nxtest::expectCode<EnxServerException>([] { nxCheckTimeout(); }, 15461, c.text);
      else
        EXPECT_NO_THROW(nxCheckTimeout()) << c.what;
    });
  }
}

TEST_F(TimeoutTest, RemainingTime) {
  onFreshThread([] {
    EXPECT_EQ(nxRemainingTimeout(), 0);  // never set
    nxSetTimeout(0, false);
    EXPECT_EQ(nxGetThreadDeadline(), nxNoDeadline);
    EXPECT_EQ(nxRemainingTimeout(), 0);
    nxSetTimeout(500, false);
    gNow += 200;
    EXPECT_EQ(nxRemainingTimeout(), 300);
    gNow += 299;
    EXPECT_EQ(nxRemainingTimeout(), 0);  // 1 ms left
    nxSetTimeout(3u * 7 * 24 * 3600 * 1000, false);  // three weeks still fit
    EXPECT_EQ(nxRemainingTimeout(), 1814400000);
    nxSetTimeout(4u * 7 * 24 * 3600 * 1000, false);  // four weeks do not
    EXPECT_EQ(nxRemainingTimeout(), 2147483647);
    nxThreadCancelledFlag()->store(true);
    EXPECT_EQ(nxRemainingTimeout(), 1);
  });
}

TEST_F(TimeoutTest, NestingKeepsTheOuterDeadline) {
  onFreshThread([] {
    EXPECT_TRUE(nxSetTimeout(100, false));
    const std::int64_t outer = nxGetThreadDeadline();
    nxEnterTimeoutNesting();
    EXPECT_FALSE(nxSetTimeout(5000, false));
    EXPECT_EQ(nxGetThreadDeadline(), outer);
    EXPECT_FALSE(nxSetTimeout(5000, true));
    EXPECT_EQ(nxGetThreadDeadline(), static_cast<std::int64_t>(gNow.load()) + 5000);
    nxLeaveTimeoutNesting();
    EXPECT_THROW(nxLeaveTimeoutNesting(), platform::AssertionFailed);
    EXPECT_TRUE(nxSetTimeout(100, false));
  });
}

TEST_F(TimeoutTest, CallbackAtMostOncePerSecond) {
  onFreshThread([] {
    static int calls;
    calls = 0;
    TnxThreadCallback& callback = nxThreadCallback();
    callback.Code = [](void*) { ++calls; };
    callback.Object = &calls;
    nxSetTimeout(0, false);
    gNow += 2000;
    nxCheckTimeout();
    nxCheckTimeout();
    EXPECT_EQ(calls, 1);
    gNow += 999;
    nxCheckTimeout();
    EXPECT_EQ(calls, 1);
    gNow += 2;
    nxCheckTimeout();
    EXPECT_EQ(calls, 2);
    callback = {};
  });
}

TEST_F(TimeoutTest, PriorityReductionCountsItsScopes) {
  onFreshThread([] {
    const int start = platform::currentThreadPriority();
    nxSetTimeout(0, false);
    nxBeginPriorityReduction(100);
    nxBeginPriorityReduction(100);
    nxEndPriorityReduction();  // inner: only counted, still armed
    gNow += 150;
    nxCheckTimeout();  // takes effect: priority saved, set to normal
    nxEndPriorityReduction();
    EXPECT_EQ(platform::currentThreadPriority(), start);
  });
}

// The module plugs its routines into the hooks of the engine interfaces.
TEST_F(TimeoutTest, HooksInstalledAtStartUpAndRestoredAtShutdown) {
  onFreshThread([] {
    nxsrTimeoutHandlingInitialize();
    EXPECT_EQ(nxGetThreadCancelFlagHook.load()(), nxThreadCancelledFlag());
    nxSetTimeoutHook.load()(70, false);
    EXPECT_EQ(nxGetThreadDeadline(), static_cast<std::int64_t>(gNow.load()) + 70);
    nxsrTimeoutHandlingFinalize();
    EXPECT_EQ(nxGetThreadCancelFlagHook.load()(), nullptr);
    nxSetTimeoutHook.load()(5, false);
    EXPECT_EQ(nxGetThreadDeadline(), static_cast<std::int64_t>(gNow.load()) + 70);
  });
}

}  // namespace
