#include "plCodePage.h"
#include "nxTestWatchdog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <string>
#include <thread>
#include <vector>

using namespace platform;

namespace {

std::string bytes(std::initializer_list<int> b) {
  std::string s;
  for (int x : b) s += static_cast<char>(x);
  return s;
}

struct RoundTrip {
  const char* what;
  std::uint32_t codePage;
  std::u16string text;
  std::string encoded;
};

class CodePageRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(CodePageRoundTrip, EncodesToExpectedBytesAndDecodesBack) {
  const RoundTrip& c = GetParam();
  bool usedDefault = true;
  std::string out(wideToMultiByte(c.codePage, c.text, nullptr, 0), '\0');
  ASSERT_EQ(out.size(), c.encoded.size());
  wideToMultiByte(c.codePage, c.text, out.data(), out.size(), &usedDefault);
  EXPECT_EQ(out, c.encoded);
  EXPECT_FALSE(usedDefault);
  EXPECT_EQ(decodeText(c.encoded, c.codePage), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, CodePageRoundTrip,
    ::testing::Values(
        RoundTrip{"kanji", 932, u"日本語", bytes({0x93, 0xFA, 0x96, 0x7B, 0x8C, 0xEA})},
        RoundTrip{"kana", 932, u"ひらがなカタカナ", bytes({0x82, 0xD0, 0x82, 0xE7, 0x82, 0xAA, 0x82, 0xC8, 0x83, 0x4A, 0x83, 0x5E, 0x83, 0x4A, 0x83, 0x69})},
        RoundTrip{"half-width kana", 932, u"ｱｲｳｴｵﾊﾟﾞ｡", bytes({0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xCA, 0xDF, 0xDE, 0xA1})},
        RoundTrip{"ascii keeps backslash and tilde", 932, u"A\\~", "A\\~"},
        RoundTrip{"controls SUB FS DEL", 932, u"\x1A\x1C\x7F", bytes({0x1A, 0x1C, 0x7F})},
        RoundTrip{"NEC special", 932, u"①㈱", bytes({0x87, 0x40, 0x87, 0x8A})},
        RoundTrip{"IBM extension", 932, u"髙", bytes({0xFB, 0xFC})},
        RoundTrip{"full-width tilde", 932, u"\uFF5E", bytes({0x81, 0x60})},
        RoundTrip{"full-width hyphen-minus", 932, u"\uFF0D", bytes({0x81, 0x7C})},
        RoundTrip{"parallel to", 932, u"\u2225", bytes({0x81, 0x61})},
        RoundTrip{"full-width cent pound not", 932, u"\uFFE0\uFFE1\uFFE2", bytes({0x81, 0x91, 0x81, 0x92, 0x81, 0xCA})},
        RoundTrip{"private single bytes", 932, u"\u0080\uF8F0\uF8F1\uF8F2\uF8F3", bytes({0x80, 0xA0, 0xFD, 0xFE, 0xFF})},
        RoundTrip{"cp1252", 1252, u"é€", bytes({0xE9, 0x80})},
        RoundTrip{"cp936", 936, u"中文", bytes({0xD6, 0xD0, 0xCE, 0xC4})},
        RoundTrip{"cp949", 949, u"한국", bytes({0xC7, 0xD1, 0xB1, 0xB9})},
        RoundTrip{"cp950", 950, u"中文", bytes({0xA4, 0xA4, 0xA4, 0xE5})},
        RoundTrip{"cp874", 874, u"ก", bytes({0xA1})},
        RoundTrip{"cp1251", 1251, u"Ж", bytes({0xC6})},
        RoundTrip{"latin-1", 28591, u"é", bytes({0xE9})},
        RoundTrip{"utf-8 with supplementary", CP_UTF8, u"日\U0001F600", bytes({0xE6, 0x97, 0xA5, 0xF0, 0x9F, 0x98, 0x80})},
        RoundTrip{"utf-16le", CP_UTF16LE, u"A日", bytes({0x41, 0x00, 0xE5, 0x65})}),
    [](const auto& param_info) {
      std::string n;
      for (char ch : std::string(param_info.param.what)) n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      return n;
    });

TEST(PlatformCodePage, Cp932DecodesNecSelectedIbmButEncodesTheIbmCode) {
  // 纊 exists twice (NEC-selected ED40 and IBM FA5C); encoding picks the IBM code.
  EXPECT_EQ(decodeText(bytes({0xED, 0x40}), 932), u"纊");
  EXPECT_EQ(encodeText(u"纊", 932), bytes({0xFA, 0x5C}));
}

TEST(PlatformCodePage, Cp932BestFitAndDefaultCharacter) {
  struct Case {
    std::u16string text;
    std::string expected;
    bool usedDefault;
  };
  const Case cases[] = {
      {u"\u301C", bytes({0x81, 0x60}), false},  // WAVE DASH
      {u"\u2212", bytes({0x81, 0x7C}), false},  // MINUS SIGN
      {u"\u2016", bytes({0x81, 0x61}), false},  // DOUBLE VERTICAL LINE
      {u"\u00A2", bytes({0x81, 0x91}), false},
      {u"\u00A3", bytes({0x81, 0x92}), false},
      {u"\u00AC", bytes({0x81, 0xCA}), false},
      {u"\u00A5", "\\", false},
      {u"€", "?", true},
      {u"é", "?", true},
      {u"a\xD800z", "a?z", true},  // unpaired surrogate
      {u"〜€日", bytes({0x81, 0x60, '?', 0x93, 0xFA}), true},
  };
  for (const auto& c : cases) {
    bool used = !c.usedDefault;
    std::string out(c.expected.size() + 4, '\0');
    out.resize(wideToMultiByte(932, c.text, out.data(), out.size(), &used));
    EXPECT_EQ(out, c.expected) << toUtf8(c.text.substr(0, 1));
    EXPECT_EQ(used, c.usedDefault) << toUtf8(c.text.substr(0, 1));
  }
}

TEST(PlatformCodePage, Cp932MapsEveryAsciiValueToItself) {
  std::string all;
  std::u16string allWide;
  for (int c = 0; c < 128; ++c) {
    const std::u16string wide(1, static_cast<char16_t>(c));
    const std::string narrow(1, static_cast<char>(c));
    EXPECT_EQ(encodeText(wide, 932), narrow) << c;
    EXPECT_EQ(decodeText(narrow, 932), wide) << c;
    all += narrow;
    allWide += wide;
  }
  EXPECT_EQ(wideToMultiByte(932, allWide, nullptr, 0), 128u);
  EXPECT_EQ(multiByteToWide(932, all, nullptr, 0), 128u);
  EXPECT_EQ(encodeText(allWide, 932), all);
  EXPECT_EQ(decodeText(all, 932), allWide);
  // Beside best fits, default characters and a stray lead byte.
  bool used = false;
  std::string out(8, '\0');
  out.resize(wideToMultiByte(932, u"\u301C\x7F\u20AC\x1A\x1C", out.data(), out.size(), &used));
  EXPECT_EQ(out, bytes({0x81, 0x60, 0x7F, '?', 0x1A, 0x1C}));
  EXPECT_TRUE(used);
  EXPECT_EQ(decodeText(bytes({0x81, 0x7F, 0x81, 0x1A, 0x93, 0xFA, 0x1C}), 932), u"\u30FB\x7F\u30FB\x1A日\x1C");
}

TEST(PlatformCodePage, OtherCodePagesUseQuestionMarkOrReplacementCharacter) {
  EXPECT_EQ(encodeText(u"a日b", 1252), "a?b");
  EXPECT_EQ(encodeText(u"é", 20127), "?");
  EXPECT_EQ(encodeText(u"\xDC00", CP_UTF8), bytes({0xEF, 0xBF, 0xBD}));
}

TEST(PlatformCodePage, InvalidBytesDecodeToTheDefaultCharacter) {
  struct Case {
    std::uint32_t codePage;
    std::string in;
    std::u16string out;
  };
  const Case cases[] = {
      {932, bytes({0x85, 0x40}), u"\u30FB"},          // lead and trail byte, no character
      {932, bytes({'a', 0x81}), u"a\u30FB"},          // lead byte at the end
      {932, bytes({0x81, 0x20, 'b'}), u"\u30FB b"},   // lead byte before an invalid trail byte
      {CP_UTF8, bytes({'x', 0xFF, 'y'}), u"x\uFFFDy"},
      {CP_UTF8, bytes({0xE6, 0x97}), u"\uFFFD"},
      {CP_UTF16LE, bytes({0x41, 0x00, 0x42}), u"A\uFFFD"},
  };
  for (const auto& c : cases) EXPECT_EQ(decodeText(c.in, c.codePage), c.out) << c.codePage;
}

TEST(PlatformCodePage, SizeQueriesAndCapacity) {
  const std::string sjis = encodeText(u"日本ｱ", 932);
  EXPECT_EQ(multiByteToWide(932, sjis, nullptr, 0), 3u);
  EXPECT_EQ(wideToMultiByte(932, u"日本ｱ", nullptr, 0), 5u);

  char16_t wide[3];
  EXPECT_EQ(multiByteToWide(932, sjis, wide, 3), 3u);
  EXPECT_EQ(std::u16string(wide, 3), u"日本ｱ");
  EXPECT_THROW(multiByteToWide(932, sjis, wide, 2), InsufficientBuffer);

  char narrow[5];
  EXPECT_EQ(wideToMultiByte(932, u"日本ｱ", narrow, 5), 5u);
  EXPECT_THROW(wideToMultiByte(932, u"日本ｱ", narrow, 4), InsufficientBuffer);

  EXPECT_EQ(multiByteToWide(932, "", nullptr, 0), 0u);
  EXPECT_EQ(wideToMultiByte(932, u"", nullptr, 0), 0u);
  EXPECT_EQ(decodeText("", 932), u"");
}

TEST(PlatformCodePage, UnknownCodePageFails) {
  for (std::uint32_t cp : {1u, 2u, 42u, 12345u, 65002u, 70000u}) {
    EXPECT_FALSE(isValidCodePage(cp)) << cp;
    EXPECT_THROW(decodeText("a", cp), OsError) << cp;
    EXPECT_THROW(encodeText(u"a", cp), OsError) << cp;
    EXPECT_THROW(codePageInfo(cp), OsError) << cp;
  }
}

TEST(PlatformCodePage, CodePageZeroAndThreeAreTheAnsiCodePage) {
  EXPECT_EQ(resolveCodePage(0), ansiCodePage());
  EXPECT_EQ(encodeText(u"日", 0), bytes({0x93, 0xFA}));
  EXPECT_EQ(encodeText(u"日", 3), bytes({0x93, 0xFA}));
  setAnsiCodePage(1252);
  EXPECT_EQ(encodeText(u"é", 0), bytes({0xE9}));
  EXPECT_EQ(ansiToUnicode(AnsiString{bytes({0xE9}), 0}), u"é");
  setAnsiCodePage(932);
  EXPECT_EQ(unicodeToAnsi(u"日", 932), (AnsiString{bytes({0x93, 0xFA}), 932}));
}

TEST(PlatformCodePage, CodePageInfo) {
  const CodePageInfo sjis = codePageInfo(932);
  EXPECT_EQ(sjis.maxCharSize, 2u);
  EXPECT_EQ(sjis.defaultChar, '?');
  EXPECT_EQ(sjis.unicodeDefaultChar, u'\u30FB');
  for (int b : {0x81, 0x9F, 0xE0, 0xFC}) EXPECT_TRUE(sjis.isLeadByte(static_cast<std::uint8_t>(b))) << b;
  for (int b : {0x41, 0x80, 0xA0, 0xA1, 0xDF, 0xFD}) EXPECT_FALSE(sjis.isLeadByte(static_cast<std::uint8_t>(b))) << b;
  EXPECT_EQ(sjis.name, "932   (ANSI/OEM - Japanese Shift-JIS)");

  EXPECT_EQ(codePageInfo(1252).maxCharSize, 1u);
  EXPECT_FALSE(codePageInfo(1252).isLeadByte(0x81));
  EXPECT_EQ(codePageInfo(936).maxCharSize, 2u);
  EXPECT_EQ(codePageInfo(CP_UTF8).maxCharSize, 4u);
  EXPECT_EQ(codePageInfo(0).codePage, 932);

  const auto pages = systemCodePages();
  EXPECT_TRUE(std::is_sorted(pages.begin(), pages.end()));
  for (std::uint16_t cp : {437, 850, 874, 932, 936, 949, 950, 1200, 1250, 1251, 1252, 1253, 1254, 1255, 1256,
                           1257, 1258, 20127, 28591, 65001}) {
    EXPECT_TRUE(std::binary_search(pages.begin(), pages.end(), cp)) << cp;
    // Every listed code page has its converter data.
    EXPECT_EQ(decodeText("A", cp == 1200 ? 20127 : cp), u"A") << cp;
  }
  for (std::uint16_t cp : pages) EXPECT_NO_THROW(encodeText(u"A", cp)) << cp;
}

TEST(PlatformCodePage, ConvertersArePerThread) {
  nxtest::Watchdog watchdog;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t, &failures] {
      const std::uint32_t cp = t % 2 ? 932 : CP_UTF8;
      for (int i = 0; i < 500; ++i) {
        const std::u16string text = u"日本語ｶﾅ" + std::u16string(static_cast<std::size_t>(i % 7), u'x');
        if (decodeText(encodeText(text, cp), cp) != text) ++failures;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

// Printable ASCII skips the converter where the code page maps it to itself;
// the answer must be the converter's in every code page, also where it is not
// the identity (UTF-16 pairs the bytes), and text with other bytes still
// goes through the converter.
TEST(PlatformCodePage, PrintableAsciiDecodesAsTheConverterDoes) {
  std::string ascii;
  for (char c = 0x20; c <= 0x7E; ++c) ascii += c;
  const std::vector<std::string> texts = {ascii, "ID", "100% \\ ~", "", "N41"};
  for (std::uint16_t cp : systemCodePages()) {
    for (const std::string& text : texts) {
      std::u16string viaConverter(multiByteToWide(cp, text, nullptr, 0), u'\0');
      if (!viaConverter.empty()) viaConverter.resize(multiByteToWide(cp, text, viaConverter.data(), viaConverter.size()));
      EXPECT_EQ(decodeText(text, cp), viaConverter) << cp << " " << text;
    }
  }
  EXPECT_EQ(decodeText("ID", 1200), u"\u4449");
  EXPECT_EQ(decodeText("a\x80", 1252), u"a\u20AC");
  EXPECT_EQ(decodeText("a\tb", 1252), u"a\tb");
}

}  // namespace
