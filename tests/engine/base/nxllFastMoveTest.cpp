#include "nxllFastMove.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "nxllFastCpuDetect.h"

namespace {

// Reference: what an overlap-safe copy must leave, computed on a copy.
std::vector<std::uint8_t> expectedAfterMove(std::vector<std::uint8_t> buf, std::ptrdiff_t src, std::ptrdiff_t dst,
                                            std::ptrdiff_t count) {
  if (count <= 0) return buf;
  const std::vector<std::uint8_t> original = buf;
  for (std::ptrdiff_t i = 0; i < count; ++i) buf[dst + i] = original[src + i];
  return buf;
}

std::vector<std::uint8_t> pattern(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = std::uint8_t(i * 7 + i / 251);
  return v;
}

struct MoveCase {
  const char* name;
  std::ptrdiff_t src, dst, count;
};

const MoveCase kMoveCases[] = {
    {"disjoint", 0, 5000, 3000},
    {"overlap, dest above source", 10, 17, 4000},
    {"overlap, dest below source", 17, 10, 4000},
    {"overlap by one byte up", 100, 101, 255},
    {"overlap by one byte down", 101, 100, 255},
    {"unaligned small", 3, 41, 13},
    {"unaligned odd sizes", 1, 4098, 4093},
    {"source equals dest", 64, 64, 1000},
    {"count zero", 0, 100, 0},
    {"count negative", 0, 100, -5},
    {"large overlap up", 0, 1 << 20, 3 << 20},
    {"large overlap down", 1 << 20, 1, 3 << 20},
};

void runMoveCases(TnxMove move) {
  for (const auto& c : kMoveCases) {
    std::vector<std::uint8_t> buf = pattern(5 << 20);
    const auto want = expectedAfterMove(buf, c.src, c.dst, c.count);
    move(buf.data() + c.src, buf.data() + c.dst, c.count);
    EXPECT_TRUE(buf == want) << c.name;
  }
}

TEST(NxMove, PlainRoutineBeforeStartUp) {
  EXPECT_EQ(nxMove, &nxMovePlain);
  runMoveCases(nxMove);
}

TEST(NxMove, SelectedRoutineAfterStartUp) {
  nxllFastMoveInitialize();
  runMoveCases(nxMove);
  nxllFastMoveFinalize();
}

TEST(NxMove, NegativeCountNeverTouchesMemory) {
  // A count from a wrapped size must not turn into a huge copy.
  std::uint8_t a[4] = {1, 2, 3, 4}, b[4] = {};
  nxMove(a, b, -1);
  nxMove(a, b, PTRDIFF_MIN);
  EXPECT_EQ(b[0], 0);
}

TEST(NxMoveModule, CountedStartUpAndFinalisation) {
  EXPECT_EQ(nxMoveStreamingThreshold, 128 * 1024);
  nxllFastMoveInitialize();
  nxllFastMoveInitialize();
  const TnxCpuInfo& first = nxCpuInfo(0);
  ASSERT_GT(nxCpuInfoCount(), 0) << "move start-up starts the processor detection";
  const std::ptrdiff_t want = first.L2Cache ? std::ptrdiff_t(first.L2Cache) * 512 : 128 * 1024;
  EXPECT_EQ(nxMoveStreamingThreshold, want);

  nxllFastMoveFinalize();  // still one user
  EXPECT_EQ(nxMoveStreamingThreshold, want);
  EXPECT_GT(nxCpuInfoCount(), 0);
  EXPECT_NE(nxMove, nullptr);

  nxllFastMoveFinalize();
  EXPECT_EQ(nxMoveStreamingThreshold, 128 * 1024);
  EXPECT_EQ(nxMove, &nxMovePlain);
  EXPECT_EQ(nxCpuInfoCount(), 0) << "the last user finalises the detection too";

  nxllFastMoveFinalize();  // unmatched: ignored
  nxllFastMoveInitialize();
  EXPECT_GT(nxCpuInfoCount(), 0) << "an unmatched finalisation must not block the next start-up";
  nxllFastMoveFinalize();
}

}  // namespace
