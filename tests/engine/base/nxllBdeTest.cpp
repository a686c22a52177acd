#include "nxllBde.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(NxErrorCategory, HighByteOfLow16Bits) {
  EXPECT_EQ(nxErrorCategory(10249), 0x28);
  EXPECT_EQ(nxErrorCategory(8706), 0x22);
  EXPECT_EQ(nxErrorCategory(3), 0);
  EXPECT_EQ(nxErrorCategory(0xFFFF), 0xFF);
  EXPECT_EQ(nxErrorCategory(nxErrLockTimeout), nxCatLock);
  EXPECT_EQ(nxErrorCategory(nxErrEOF), nxCatPosition);
  EXPECT_EQ(nxErrorCategory(nxErrIncompatibleStream), nxCatEngine);
  EXPECT_EQ(nxErrorCategory(nxErrOsUnknown), nxCatOperatingSystem);
}

TEST(CANExpr, ReadsLittleEndianHeaderInPlace) {
  const unsigned char bytes[10] = {0x02, 0x00, 0x34, 0x12, 0x05, 0x00, 0x0A, 0x00, 0xFF, 0x01};
  CANExpr h;
  static_assert(sizeof h == sizeof bytes);
  std::memcpy(&h, bytes, sizeof h);
  EXPECT_EQ(h.iVer, 2);
  EXPECT_EQ(h.iTotalSize, 0x1234);
  EXPECT_EQ(h.iNodes, 5);
  EXPECT_EQ(h.iNodeStart, 10);
  EXPECT_EQ(h.iLiteralStart, 0x01FF);
}

}  // namespace
