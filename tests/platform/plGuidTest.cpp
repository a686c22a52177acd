#include "plErrors.h"
#include "plGuid.h"

#include <gtest/gtest.h>

#include <set>

using namespace platform;

namespace {

const Guid kSample{0x99A47C9F, 0x95DA, 0x4D19, {0xB7, 0x08, 0x11, 0x2F, 0x19, 0x41, 0xFE, 0x09}};

TEST(PlatformGuid, FormatsBracedUpperCase) {
  EXPECT_EQ(guidToString(kSample), u"{99A47C9F-95DA-4D19-B708-112F1941FE09}");
  EXPECT_EQ(guidToAnsiString(kSample), "{99A47C9F-95DA-4D19-B708-112F1941FE09}");
  EXPECT_EQ(guidToAnsiString(Guid{}), "{00000000-0000-0000-0000-000000000000}");
}

TEST(PlatformGuid, ParsesEitherCaseAndRoundTrips) {
  EXPECT_EQ(stringToGuid(u"{99a47c9f-95da-4d19-b708-112f1941fe09}"), kSample);
  EXPECT_EQ(stringToGuid("{99A47C9F-95DA-4D19-B708-112F1941FE09}"), kSample);
  for (int i = 0; i < 20; ++i) {
    const Guid g = newGuid();
    EXPECT_EQ(stringToGuid(guidToString(g)), g);
  }
}

TEST(PlatformGuid, RejectsMalformedText) {
  const char* bad[] = {
      "",
      "99A47C9F-95DA-4D19-B708-112F1941FE09",    // no braces
      "{99A47C9F-95DA-4D19-B708-112F1941FE0}",   // one digit short
      "{99A47C9F-95DA-4D19-B708-112F1941FE090}", // one digit long
      "{99A47C9F-95DA-4D19-B708-112F1941FE0G}",  // not a hex digit
      "{99A47C9F95DA-4D19-B708-112F1941FE09-}",  // hyphen misplaced
      "{99A47C9F-95DA-4D19-B708-112F1941FE09]",
      "{+9A47C9F-95DA-4D19-B708-112F1941FE09}",
      "{ 9A47C9F-95DA-4D19-B708-112F1941FE09}",
  };
  for (const char* t : bad) {
    EXPECT_THROW(stringToGuid(std::string_view(t)), ConvertError) << t;
    const std::string s(t);
    EXPECT_THROW(stringToGuid(std::u16string(s.begin(), s.end())), ConvertError) << t;
  }
  EXPECT_THROW(stringToGuid(u"{99A47C9F-95DA-4D19-B708-112F1941FE0９}"), ConvertError);
  try {
    stringToGuid("nonsense");
    FAIL();
  } catch (const ConvertError& e) {
    EXPECT_STREQ(e.what(), "'nonsense' is not a valid GUID value");
  }
}

TEST(PlatformGuid, NewGuidsAreVersion4AndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const Guid g = newGuid();
    EXPECT_EQ(g.D3 >> 12, 4);
    EXPECT_EQ(g.D4[0] & 0xC0, 0x80);
    seen.insert(guidToAnsiString(g));
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST(PlatformGuid, OrdersByMemoryBytes) {
  // D1 is little-endian in memory: 0x00000100 has bytes 00 01 00 00, 0x00000001 has 01 00 00 00.
  const Guid a{0x00000100, 0, 0, {}};
  const Guid b{0x00000001, 0, 0, {}};
  EXPECT_TRUE(a < b);
  EXPECT_TRUE(b > a);
  EXPECT_TRUE(kSample <= kSample);
  Guid c = kSample;
  c.D4[7] = 0x0A;
  EXPECT_TRUE(kSample < c);
  EXPECT_NE(kSample, c);
}

}  // namespace
