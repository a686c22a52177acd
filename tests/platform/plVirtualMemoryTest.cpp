#include "plVirtualMemory.h"

#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

using namespace platform;

TEST(VirtualMemory, ReserveIsAlignedAndCommitMakesZeroPages) {
  constexpr std::size_t kAlign = 4u << 20;
  char* p = static_cast<char*>(vmReserve(8u << 20, kAlign));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % kAlign, 0u);
  ASSERT_TRUE(vmCommit(p + 4096, 8192));
  EXPECT_EQ(p[4096], 0);
  p[4096] = 7;
  EXPECT_TRUE(vmDecommit(p + 4096, 8192));
  ASSERT_TRUE(vmCommit(p + 4096, 8192));
  EXPECT_EQ(p[4096], 0) << "decommitted pages come back empty";
  EXPECT_TRUE(vmRelease(p, 8u << 20));
}

TEST(VirtualMemory, MovePagesKeepsContentsWithoutCopy) {
  char* from = static_cast<char*>(vmReserve(65536, 65536));
  char* to = static_cast<char*>(vmReserve(4 * 65536, 65536));
  ASSERT_TRUE(from && to);
  ASSERT_TRUE(vmCommit(from, 65536));
  for (int i = 0; i < 65536; ++i) from[i] = char(i * 7);
  ASSERT_TRUE(vmMovePages(from, to, 65536));
  for (int i = 0; i < 65536; i += 997) ASSERT_EQ(to[i], char(i * 7));
  ASSERT_TRUE(vmCommit(to + 65536, 65536));
  EXPECT_EQ(to[65536], 0);
  vmRelease(to, 4 * 65536);
}

TEST(VirtualMemory, ReserveAtExtendsOnlyIntoFreeAddressSpace) {
  char* p = static_cast<char*>(vmReserve(3 * 65536, 65536));
  ASSERT_NE(p, nullptr);
  ASSERT_TRUE(vmRelease(p + 65536, 2 * 65536));  // a hole after the first block
  EXPECT_FALSE(vmReserveAt(p, 65536)) << "taken range";
  ASSERT_TRUE(vmReserveAt(p + 65536, 65536));
  ASSERT_TRUE(vmCommit(p, 2 * 65536));  // one run across both reservations
  p[65536 + 5] = 1;
  EXPECT_FALSE(vmReserveAt(p + 65536, 65536));
  EXPECT_TRUE(vmRelease(p, 2 * 65536));
}
