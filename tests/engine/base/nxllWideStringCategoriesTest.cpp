#include "nxllWideStringCategories.h"
#include "nxTestWatchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <utility>

namespace {

using Ranges = std::vector<std::pair<std::int32_t, std::int32_t>>;

std::int32_t int32At(std::span<const std::uint8_t> d, std::size_t p) {
  return static_cast<std::int32_t>(d[p] | d[p + 1] << 8 | d[p + 2] << 16 |
                                   static_cast<std::uint32_t>(d[p + 3]) << 24);
}

// Decodes the embedded resource record by record, independently of the loader.
std::vector<std::pair<int, Ranges>> records() {
  std::vector<std::pair<int, Ranges>> out;
  const auto d = nxUnicodeCategoriesResource();
  std::size_t p = 0;
  while (p < d.size()) {
    const int cat = d[p];
    const std::int32_t n = int32At(d, p + 1);
    p += 5;
    Ranges r;
    for (std::int32_t i = 0; i < n; ++i, p += 8) r.emplace_back(int32At(d, p), int32At(d, p + 4));
    out.emplace_back(cat, std::move(r));
  }
  EXPECT_EQ(p, d.size());
  return out;
}

TEST(nxllWideStringCategories, ResourceHasOneRecordPerFilledCategoryInOrder) {
  std::vector<int> cats;
  int beyondBmp = 0;
  std::map<int, int> beyondByCat;
  for (const auto& [cat, ranges] : records()) {
    cats.push_back(cat);
    for (const auto& r : ranges)
      if (r.second > 0xFFFF) ++beyondByCat[cat], ++beyondBmp;
  }
  std::vector<int> expected;
  for (int c = 0; c <= 47; ++c)
    if (c != ccOtherUnassigned) expected.push_back(c);
  expected.push_back(ccAssigned);
  EXPECT_EQ(cats, expected);
  EXPECT_EQ(beyondBmp, 6);
  EXPECT_EQ(beyondByCat, (std::map<int, int>{{ccOtherPrivate, 2}, {ccLeftToRight, 2}, {ccAssigned, 2}}));
}

TEST(nxllWideStringCategories, TellingRecords) {
  std::map<int, Ranges> byCat;
  for (auto& [cat, ranges] : records()) byCat[cat] = ranges;

  struct Case {
    TnxCharacterCategory cat;
    std::size_t count;
    Ranges head;
  };
  const Case cases[] = {
      {ccLetterUppercase, 371, {{65, 90}, {192, 214}, {216, 222}}},
      {ccSeparatorSpace, 6, {{32, 32}, {160, 160}, {5760, 5760}}},
      {ccOtherControl, 2, {{0, 31}, {127, 159}}},
      {ccOtherSurrogate, 1, {{55296, 57343}}},
      {ccAssigned, 357, {{0, 543}, {546, 563}, {592, 685}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.cat));
    const Ranges& r = byCat[c.cat];
    EXPECT_EQ(r.size(), c.count);
    ASSERT_GE(r.size(), c.head.size());
    EXPECT_EQ(Ranges(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(c.head.size())), c.head);
  }
}

TEST(nxllWideStringCategories, LookupOfSampleCharacters) {
  struct Case {
    char16_t ch;
    TnxCharacterCategories in;
    TnxCharacterCategories notIn;
  };
  const Case cases[] = {
      {u'A', {ccLetterUppercase}, {ccLetterLowercase, ccRightToLeft}},
      {u'A', {ccLeftToRight}, {ccComposed}},
      {u'a', {ccLetterLowercase}, {ccLetterUppercase}},
      {u' ', {ccSeparatorSpace}, {ccOtherControl}},
      {u' ', {ccWhiteSpace}, {ccOtherNeutrals}},
      {0xD800, {ccOtherSurrogate}, {ccOtherPrivate}},
      {0xE000, {ccOtherPrivate}, {ccOtherSurrogate}},
      {u'0', {ccNumberDecimalDigit}, {ccNumberOther}},
      {u'0', {ccEuropeanNumber}, {ccArabicNumber}},
      {0x0661, {ccArabicNumber}, {ccEuropeanNumber}},          // ARABIC-INDIC DIGIT ONE
      {0x05D0, {ccRightToLeft}, {ccRightToLeftArabic}},        // HEBREW LETTER ALEF
      {0x0627, {ccRightToLeftArabic}, {ccRightToLeft}},        // ARABIC LETTER ALEF
      {0x00E9, {ccComposed}, {ccLetterUppercase}},             // e with acute
      {0xAC00, {ccLetterOther}, {ccComposed}},                 // Hangul syllables stay out
      {u'\t', {ccSegmentSeparator}, {ccWhiteSpace}},
      {u'\n', {ccSeparatorParagraph}, {ccSeparatorLine}},      // B shares Zp's value
      {u'\n', {ccOtherControl}, {}},
      {0x2028, {ccSeparatorLine}, {ccSeparatorParagraph}},
      {0x2029, {ccSeparatorParagraph}, {}},
      {0x202A, {ccLeftToRightEmbedding}, {}},
      {0x20AC, {ccSymbolCurrency}, {}},                        // euro sign
      {0x3000, {ccSeparatorSpace}, {}},
      {0x4E00, {ccLetterOther, ccAssigned}, {}},
      {0x0000, {ccOtherControl, ccBoundaryNeutral}, {ccOtherPrivate, ccLeftToRight}},  // U+F0000, U+100000 would fold here
      {0x00FF, {ccLetterLowercase}, {ccLetterUppercase}},      // last unit of page 0
      {0x0100, {ccLetterUppercase}, {ccLetterLowercase}},      // first unit of page 1
      {0xFFFD, {ccSymbolOther, ccAssigned}, {ccOtherPrivate, ccLeftToRight}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.ch));
    for (int cat = 0; cat < nxCharacterCategoryCount; ++cat) {
      const auto cc = static_cast<TnxCharacterCategory>(cat);
      if (c.in.contains(cc)) {
        EXPECT_TRUE(nxWideCharInCategories(c.ch, {cc})) << cat;
      }
      if (c.notIn.contains(cc)) {
        EXPECT_FALSE(nxWideCharInCategories(c.ch, {cc})) << cat;
      }
    }
  }
}

TEST(nxllWideStringCategories, UnassignedUnitsMatchNothing) {
  // U+0220 and U+0221 came after the table's Unicode version; U+FFFE/FFFF are
  // noncharacters; U+1FFF is a gap.
  for (char16_t ch : {char16_t{0x0220}, char16_t{0x0221}, char16_t{0xFFFE}, char16_t{0xFFFF},
                      char16_t{0x1FFF}})
    EXPECT_FALSE(nxWideCharInCategories(ch, TnxCharacterCategories::all())) << int(ch);
}

TEST(nxllWideStringCategories, UnfilledCategoriesAndEmptySetNeverMatch) {
  const TnxCharacterCategories never{ccOtherUnassigned, ccNonBreaking, ccSymmetric, ccHexDigit,
                                     ccQuotationMark,   ccMirroring,   ccSpaceOther};
  for (std::uint32_t u = 0; u <= 0xFFFF; ++u) {
    const auto ch = static_cast<char16_t>(u);
    ASSERT_FALSE(nxWideCharInCategories(ch, never)) << u;
    ASSERT_FALSE(nxWideCharInCategories(ch, {})) << u;
  }
}

// Each test runs in a process of its own, so this one races the first load.
TEST(nxllWideStringCategories, ConcurrentFirstLookupsAgree) {
  nxtest::Watchdog watchdog;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&wrong] {
      for (std::uint32_t u = 0x30; u < 0x3A; ++u)
        if (!nxWideCharInCategories(static_cast<char16_t>(u), {ccNumberDecimalDigit})) ++wrong;
      if (nxWideCharInCategories(u'A', {ccLetterLowercase})) ++wrong;
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(nxllWideStringCategories, SetLayoutIsSevenBytesWithoutBit55) {
  EXPECT_EQ(TnxCharacterCategories{ccAssigned}.Bits[6], 0x40);
  EXPECT_EQ(TnxCharacterCategories{ccLetterUppercase}.Bits[0], 0x01);
  EXPECT_EQ(TnxCharacterCategories{ccComposed}.Bits[5], 0x80);
  const auto all = TnxCharacterCategories::all();
  EXPECT_EQ(all.Bits[6], 0x7F);
  EXPECT_TRUE(TnxCharacterCategories{}.empty());
  EXPECT_FALSE(TnxCharacterCategories{ccOtherControl}.intersects({ccLeftToRight}));
  EXPECT_TRUE((TnxCharacterCategories{ccOtherControl, ccLeftToRight}).intersects({ccLeftToRight}));
}

}  // namespace
