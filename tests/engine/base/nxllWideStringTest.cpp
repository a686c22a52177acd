#include "nxllWideString.h"

#include <gtest/gtest.h>

#include <functional>

#include "nxllException.h"
#include "plCodePage.h"
#include "plErrors.h"
#include "plNormalize.h"

namespace {

std::string bytesOf(std::initializer_list<int> b) {
  std::string s;
  for (int c : b) s.push_back(static_cast<char>(c));
  return s;
}

// Restores the process-wide default after a test changes it.
class DefaultCodePageGuard {
 public:
  explicit DefaultCodePageGuard(TnxWord32 aCodePage) : saved_(nxDefaultCodePage) { nxDefaultCodePage = aCodePage; }
  ~DefaultCodePageGuard() { nxDefaultCodePage = saved_; }
  DefaultCodePageGuard(const DefaultCodePageGuard&) = delete;
  DefaultCodePageGuard& operator=(const DefaultCodePageGuard&) = delete;

 private:
  TnxWord32 saved_;
};

struct CodePageCase {
  TnxWord32 codePage;
  std::u16string text;
  std::string bytes;
};

TEST(nxllWideString, ConvertsBothWaysInEveryForm) {
  const CodePageCase cases[] = {
      {932, u"日本語ﾃｽﾄ①", bytesOf({0x93, 0xFA, 0x96, 0x7B, 0x8C, 0xEA, 0xC3, 0xBD, 0xC4, 0x87, 0x40})},
      {1252, u"caf\u00E9 \u20AC", bytesOf({'c', 'a', 'f', 0xE9, ' ', 0x80})},
      {65001, u"\u00E9\U0001F600", bytesOf({0xC3, 0xA9, 0xF0, 0x9F, 0x98, 0x80})},
      {0, u"ｱ", bytesOf({0xB1})},  // default: the thread's ANSI code page, 932
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.codePage);
    const TnxWideString wide = nxWideStringFromStr(c.text);
    EXPECT_EQ(nxWideStringToStr(nxStringToWideString(c.bytes, c.codePage)), c.text);
    EXPECT_EQ(nxStringToWideStr(c.bytes, c.codePage), c.text);
    EXPECT_EQ(nxWideStringToStr(nxBytesToWideString(c.bytes.data(), c.bytes.size(), c.codePage)), c.text);
    EXPECT_EQ(nxWideStringToString(wide, c.codePage), c.bytes);
    EXPECT_EQ(nxWideStringToString(c.text, c.codePage), c.bytes);
    const std::vector<std::uint8_t> expected(c.bytes.begin(), c.bytes.end());
    EXPECT_EQ(nxWideStringToBytes(c.text, c.codePage), expected);
    EXPECT_EQ(nxWideStringToBytes(wide, c.codePage), expected);
    EXPECT_EQ(nxWideStringBufferToBytes(c.text.data(), c.text.size(), c.codePage), expected);
    EXPECT_EQ(nxWideStringBufferToString(c.text.data(), c.text.size(), c.codePage), c.bytes);
  }
}

TEST(nxllWideString, CodePageZeroFollowsTheDefault) {
  DefaultCodePageGuard guard(1252);
  EXPECT_EQ(nxWideStringToString(u"\u00E9", 0), bytesOf({0xE9}));
  EXPECT_EQ(nxStringToWideStr(bytesOf({0xE9}), 0), u"\u00E9");
}

TEST(nxllWideString, ThreadCodePageDefaultConvertsInTheRunningAnsiCodePage) {
  DefaultCodePageGuard guard(platform::CP_THREAD_ACP);
  const std::uint32_t acp = platform::ansiCodePage();
  for (const std::u16string_view text : {u"a\u00E9t\u00E9", u"\uFF71\u65E5"}) {
    std::string expected;
    try {
      expected = nxWideStringToString(text, acp);
    } catch (const EnxBaseException&) {
      continue;  // not representable in the running code page
    }
    EXPECT_EQ(nxWideStringToString(text, 0), expected);
    EXPECT_EQ(nxStringToWideStr(expected, 0), nxStringToWideStr(expected, acp));
  }
}

TEST(nxllWideString, EmptyStaysEmptyEvenForAnUnknownCodePage) {
  EXPECT_TRUE(nxStringToWideString("", 12345).empty());
  EXPECT_TRUE(nxWideStringToString(TnxWideString{}, 12345).empty());
  EXPECT_TRUE(nxBytesToWideString(nullptr, 0, 12345).empty());
  EXPECT_TRUE(nxWideStringBufferToBytes(nullptr, 0, 12345).empty());
}

TEST(nxllWideString, UnknownCodePageNamesTheRoutineAndStep) {
  const struct {
    std::function<void()> call;
    std::string action;
  } cases[] = {
      {[] { nxStringToWideString("a", 12345); }, "nxStringToWideString/MultiByteToWideChar/1"},
      {[] { nxWideStringToBytes(u"a", 12345); }, "nxWideStringToString/WideCharToMultiByte/1"},
      {[] { nxBytesToWideString("a", 1, 12345); }, "nxBytesToWideString/MultiByteToWideChar/1"},
      {[] { nxWideStringBufferToBytes(u"a", 1, 12345); }, "nxWideStringBufferToBytes/WideCharToMultiByte/1"},
      {[] { nxWideStringBufferToString(u"a", 1, 12345); }, "nxWideStringBufferToString/WideCharToMultiByte/1"},
  };
  for (const auto& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << c.action << ": no error";
    } catch (const EnxBaseException& e) {
      EXPECT_EQ(e.ErrorCode(), 11047u);
      EXPECT_NE(e.OSError(), 0u);
      EXPECT_EQ(platform::toUtf8(e.CustomInfos().values(u"Action")), c.action);
      EXPECT_EQ(std::string(e.what()).rfind("DazavAV: Operating system error in " + c.action + ": ", 0), 0u)
          << e.what();
      EXPECT_TRUE(std::string(e.what()).ends_with(" [$2B27/11047]")) << e.what();
    }
  }
}

TEST(nxllWideString, QuotedStrDoublesTheQuote) {
  EXPECT_EQ(nxWideQuotedStr(u"it's", u'\''), u"'it''s'");
  EXPECT_EQ(nxWideQuotedStr(u"", u'\''), u"''");
  EXPECT_EQ(nxWideQuotedStr(u"\"\"", u'"'), u"\"\"\"\"\"\"");
}

TEST(nxllWideString, ScanFindsCharOrTerminator) {
  const char16_t text[] = u"abcb";
  EXPECT_EQ(nxWideStrScan(text, u'b'), text + 1);
  EXPECT_EQ(nxWideStrScan(text, u'x'), nullptr);
  EXPECT_EQ(nxWideStrScan(text, 0), text + 4);
  EXPECT_EQ(nxWideStrEnd(text), text + 4);
  const char16_t empty[] = u"";
  EXPECT_EQ(nxWideStrEnd(empty), empty);
}

TEST(nxllWideString, ConcatAndAppend) {
  const TnxWideString a = nxWideStringFromStr(u"ab");
  EXPECT_EQ(nxWideStringToStr(nxWideStringConcat(a, nxWideStringFromStr(u"cd"))), u"abcd");
  EXPECT_EQ(nxWideStringToStr(nxWideStringConcat({}, {})), u"");
  EXPECT_EQ(nxWideStringToStr(nxWideStringAppendChar(a, u'語')), u"ab語");
}

TEST(nxllWideString, LocaleMapping) {
  EXPECT_EQ(nxWideLCMapString(u"abc\u00E4", 1033, platform::LCMAP_UPPERCASE), u"ABC\u00C4");
  EXPECT_EQ(nxWideLCMapStringW(u"", 1033, platform::LCMAP_UPPERCASE), u"");
  // The 8-bit route keeps what the locale's code page carries ...
  EXPECT_EQ(nxWideLCMapStringA(u"abc\u00E4", 1033, platform::LCMAP_UPPERCASE), u"ABC\u00C4");
  EXPECT_EQ(nxWideLCMapStringA(u"ｱいう", 1041, platform::LCMAP_KATAKANA), u"ｱイウ");
  // ... and loses what it does not: Greek is not in 1252.
  EXPECT_NE(nxWideLCMapStringA(u"\u03B1", 1033, platform::LCMAP_UPPERCASE), u"\u0391");
  try {
    nxWideLCMapStringW(u"a", 1033, 0);
    ADD_FAILURE() << "no error";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 11047u);
    EXPECT_EQ(e.CustomInfos().values(u"Action"), u"nxWideLCMapStringW");
  }
}

TEST(nxllWideString, LocaleAnsiCodePage) {
  EXPECT_EQ(nxLocaleAnsiCodePage(1041), 932u);
  EXPECT_EQ(nxLocaleAnsiCodePage(1033), 1252u);
  DefaultCodePageGuard guard(1250);
  EXPECT_EQ(nxLocaleAnsiCodePage(0x7FFF), 1250u);  // unknown locale
}

}  // namespace
