#include "nxllFastFillChar.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "nxllFastCpuDetect.h"

namespace {

constexpr std::size_t kGuard = 64;

// Fills [offset, offset + count) of a patterned buffer and compares with a
// byte loop over the same buffer, guards included.
void checkFill(TnxFillChar fill, std::size_t offset, std::ptrdiff_t count, std::uint8_t value) {
  const std::size_t n = kGuard + offset + std::size_t(count > 0 ? count : 0) + kGuard;
  std::vector<std::uint8_t> buf(n), want(n);
  for (std::size_t i = 0; i < n; ++i) buf[i] = want[i] = std::uint8_t(i * 13 + 5);
  for (std::ptrdiff_t i = 0; i < count; ++i) want[kGuard + offset + std::size_t(i)] = value;
  fill(buf.data() + kGuard + offset, count, value);
  EXPECT_TRUE(buf == want) << "offset " << offset << " count " << count << " value " << int(value);
}

void runFillCases(TnxFillChar fill) {
  for (std::ptrdiff_t count : {0, 1, 31, 32, 33, 4095, 7 << 20})
    for (std::size_t offset : {0, 1, 15})
      for (std::uint8_t value : {0x00, 0xA5, 0xFF}) checkFill(fill, offset, count, value);
  checkFill(fill, 3, -1, 0x11);
}

TEST(NxFillChar, PlainRoutineBeforeStartUp) {
  EXPECT_EQ(nxFillChar, &nxFillCharPlain);
  runFillCases(nxFillChar);
}

TEST(NxFillChar, SelectedRoutineAfterStartUp) {
  nxllFastFillCharInitialize();
  EXPECT_GT(nxCpuInfoCount(), 0) << "fill start-up does not depend on module order";
  runFillCases(nxFillChar);
  nxllFastFillCharFinalize();
  EXPECT_EQ(nxFillChar, &nxFillCharPlain);
  EXPECT_EQ(nxCpuInfoCount(), 0);
}

}  // namespace
