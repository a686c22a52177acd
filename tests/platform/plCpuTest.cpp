#include "plCpu.h"

#include <gtest/gtest.h>

namespace {

TEST(PlCpu, PinMovesThreadAndGuardRestores) {
  const auto allowed = platform::threadProcessors();
  ASSERT_FALSE(allowed.empty());
  {
    platform::ThreadAffinityGuard guard;
    ASSERT_TRUE(guard.saved());
    for (int cpu : allowed) {
      ASSERT_TRUE(platform::pinThreadToProcessor(cpu));
      EXPECT_EQ(platform::currentProcessor(), cpu);
      EXPECT_EQ(platform::threadProcessors(), std::vector<int>{cpu});
    }
  }
  EXPECT_EQ(platform::threadProcessors(), allowed);
}

TEST(PlCpu, GuardRestoresWhenScopeThrows) {
  const auto allowed = platform::threadProcessors();
  try {
    platform::ThreadAffinityGuard guard;
    ASSERT_TRUE(platform::pinThreadToProcessor(allowed.back()));
    throw 1;
  } catch (int) {
  }
  EXPECT_EQ(platform::threadProcessors(), allowed);
}

TEST(PlCpu, PinRefusesImpossibleProcessors) {
  const auto allowed = platform::threadProcessors();
  EXPECT_FALSE(platform::pinThreadToProcessor(-1));
  EXPECT_FALSE(platform::pinThreadToProcessor(1 << 20));
  EXPECT_EQ(platform::threadProcessors(), allowed);
}

}  // namespace
