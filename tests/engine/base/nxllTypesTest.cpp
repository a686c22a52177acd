#include "nxllTypes.h"
#include "nxTestWatchdog.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

// Restores the calling thread's override.
class VersionOverride {
 public:
  explicit VersionOverride(TnxWord32 v) : saved_(nxThreadVersionOverride) { nxThreadVersionOverride = v; }
  ~VersionOverride() { nxThreadVersionOverride = saved_; }
  VersionOverride(const VersionOverride&) = delete;
  VersionOverride& operator=(const VersionOverride&) = delete;

 private:
  TnxWord32 saved_;
};

TEST(NxThreadVersion, FollowsOverride) {
  const struct {
    TnxWord32 override_;
    std::int32_t version, minVersion;
  } cases[] = {
      {0, 47501, 47501},
      {41000, 41000, 41000},
      {50000, 50000, 47501},
      {47501, 47501, 47501},
      {0x80000000u, std::int32_t(0x80000000u), 47501},
  };
  for (const auto& c : cases) {
    VersionOverride o(c.override_);
    EXPECT_EQ(nxGetThreadVersion(), c.version) << c.override_;
    EXPECT_EQ(nxGetThreadMinVersion(), c.minVersion) << c.override_;
  }
}

TEST(NxThreadVersion, OverrideIsPerThread) {
  nxtest::Watchdog watchdog;
  VersionOverride o(41000);
  std::int32_t other = 0, otherMin = 0;
  TnxWord32 otherRaw = 1;
  std::thread t([&] {
    otherRaw = nxThreadVersionOverride;
    other = nxGetThreadVersion();
    otherMin = nxGetThreadMinVersion();
    nxThreadVersionOverride = 30000;  // must not leak back
  });
  t.join();
  EXPECT_EQ(otherRaw, 0u);
  EXPECT_EQ(other, 47501);
  EXPECT_EQ(otherMin, 47501);
  EXPECT_EQ(nxGetThreadVersion(), 41000);
}

TEST(NxTypes, NullTypeTakesNoSpaceAsTrailingMember) {
  struct WithTail {
    std::int32_t fixed;
    [[no_unique_address]] TnxNullType tail;
  };
  EXPECT_EQ(sizeof(WithTail), sizeof(std::int32_t));
}

}  // namespace
