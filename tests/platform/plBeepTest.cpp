#include "plBeep.h"

#include <gtest/gtest.h>

#include <vector>

namespace {
std::vector<std::uint32_t> gBeeps;
void recordBeep(std::uint32_t aType) { gBeeps.push_back(aType); }
}  // namespace

TEST(PlatformBeep, WithoutHookNothingHappensWithHookEveryBeepReachesIt) {
  gBeeps.clear();
  const platform::BeepHook previous = platform::setBeepHook(nullptr);
  platform::messageBeep(0);
  EXPECT_TRUE(gBeeps.empty());
  EXPECT_EQ(platform::setBeepHook(&recordBeep), nullptr);
  platform::messageBeep(0);
  platform::messageBeep(48);
  EXPECT_EQ(gBeeps, (std::vector<std::uint32_t>{0, 48}));
  EXPECT_EQ(platform::setBeepHook(previous), &recordBeep);
}
