#include "nxllBase64.h"

#include <gtest/gtest.h>

#include <string>

#include "plErrors.h"

namespace {

TEST(nxllBase64, EncodesStandardFormsAndTheEmptyInput) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"", "A==="}, {"A", "QQ=="}, {"AB", "QUI="}, {"ABC", "QUJD"}, {"ABCD", "QUJDRA=="},
      {std::string("\0\xff\x10", 3), "AP8Q"}, {"\xfb\xff", "+/8="},
  };
  for (const auto& c : cases) EXPECT_EQ(StrToBase64(c.in), c.out) << c.in;
}

TEST(nxllBase64, DecodesAndDropsOneBytePerPad) {
  EXPECT_EQ(Base64ToStr("A==="), "");
  EXPECT_EQ(Base64ToStr("QQ=="), "A");
  EXPECT_EQ(Base64ToStr("QUI="), "AB");
  EXPECT_EQ(Base64ToStr("+/8="), "\xfb\xff");
  // A character outside the alphabet counts as 61 ("=" too, inside a group).
  EXPECT_EQ(Base64ToStr("QQ*="), std::string("A\x0f", 2));
}

TEST(nxllBase64, RoundTripsEveryLengthAndByte) {
  std::string s;
  for (int n = 0; n < 300; ++n) {
    EXPECT_EQ(Base64ToStr(StrToBase64(s)), s) << n;
    s.push_back(static_cast<char>(n * 37 + 11));
  }
}

TEST(nxllBase64, RefusesIllegalLengths) {
  for (const char* bad : {"", "abc", "QQ==Q", "QUJDRA="}) {
    try {
      Base64ToStr(bad);
      FAIL() << bad;
    } catch (const platform::RuntimeError& e) {
      EXPECT_STREQ(e.what(), "Base64ToStr: illegal input length!");
    }
  }
}

}  // namespace
