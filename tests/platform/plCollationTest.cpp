#include "plCodePage.h"
#include "plCollation.h"
#include "plErrors.h"
#include "nxTestWatchdog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

using namespace platform;

namespace {

int sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

int keyOrder(const std::string& a, const std::string& b) {
  const int r = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  return r != 0 ? sign(r) : a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

struct Pair {
  Lcid lcid;
  std::uint32_t flags;
  std::u16string a;
  std::u16string b;
  int expected;
};

constexpr std::uint32_t kWidthKana = NORM_IGNOREWIDTH | NORM_IGNOREKANATYPE;

const Pair kPairs[] = {
    // English, default word sort.
    {1033, 0, u"a", u"A", -1},
    {1033, 0, u"A", u"b", -1},
    {1033, 0, u"abc", u"abc", 0},
    {1033, 0, u"", u"a", -1},
    {1033, 0, u"é", u"e\u0301", 0},  // canonically equivalent
    {1033, 0, u"resume", u"résumé", -1},
    {1033, 0, u"résumé", u"resumes", -1},
    {1033, 0, u"coop", u"co-op", -1},
    {1033, 0, u"co-op", u"com", 1},
    {1033, 0, u"co-op", u"cop", -1},
    {1033, 0, u"cant", u"can't", -1},
    {1033, 0, u"can't", u"cane", 1},
    // String sort: hyphen and apostrophe are symbols before letters.
    {1033, SORT_STRINGSORT, u"co-op", u"com", -1},
    {1033, SORT_STRINGSORT, u"coop", u"co-op", 1},
    {1033, SORT_STRINGSORT, u"can't", u"cana", -1},
    // Ignore case keeps accents and width.
    {1033, NORM_IGNORECASE, u"Apple", u"apple", 0},
    {1033, NORM_IGNORECASE, u"ÄPFEL", u"äpfel", 0},
    {1033, NORM_IGNORECASE, u"apple", u"Banana", -1},
    {1033, NORM_IGNORECASE, u"resume", u"Résumé", -1},
    {1033, NORM_IGNORECASE, u"abc", u"ａｂｃ", -1},
    // Ignore nonspace keeps case.
    {1033, NORM_IGNORENONSPACE, u"résumé", u"resume", 0},
    {1033, NORM_IGNORENONSPACE, u"naïve", u"naive", 0},
    {1033, NORM_IGNORENONSPACE, u"resume", u"Resume", -1},
    // Ignore symbols.
    {1033, NORM_IGNORESYMBOLS, u"a-b", u"ab", 0},
    {1033, NORM_IGNORESYMBOLS, u"a b", u"ab", 0},
    {1033, NORM_IGNORESYMBOLS, u"$1,000.", u"1000", 0},
    {1033, NORM_IGNORESYMBOLS, u"a.b", u"ac", -1},
    {1033, 0, u"a b", u"ab", -1},
    // Width.
    {1033, NORM_IGNOREWIDTH, u"ａｂｃ", u"abc", 0},
    {1033, NORM_IGNOREWIDTH, u"ＡＢＣ", u"abc", 1},
    {1033, NORM_IGNOREWIDTH | NORM_IGNORECASE, u"ＡＢＣ", u"abc", 0},
    // Japanese.
    {1041, 0, u"あ", u"ア", -1},
    {1041, NORM_IGNOREKANATYPE, u"あ", u"ア", 0},
    {1041, NORM_IGNOREKANATYPE, u"ヴァイオリン", u"ゔぁいおりん", 0},
    {1041, 0, u"ア", u"ｱ", -1},
    {1041, NORM_IGNOREWIDTH, u"ア", u"ｱ", 0},
    {1041, NORM_IGNOREWIDTH, u"ガッコウ", u"ｶﾞｯｺｳ", 0},
    {1041, NORM_IGNOREWIDTH, u"パン", u"ﾊﾟﾝ", 0},
    {1041, NORM_IGNOREWIDTH, u"東京　駅", u"東京 駅", 0},  // ideographic space
    {1041, NORM_IGNOREKANATYPE, u"あ", u"ｱ", -1},
    {1041, kWidthKana, u"あ", u"ｱ", 0},
    {1041, kWidthKana, u"がっこう", u"ｶﾞｯｺｳ", 0},
    {1041, 0, u"か", u"が", -1},
    {1041, NORM_IGNORENONSPACE, u"か", u"が", 0},
    {1041, NORM_IGNORENONSPACE, u"ハ", u"パ", 0},
    {1041, NORM_IGNORENONSPACE, u"は", u"ハ", -1},
    {1041, NORM_IGNORECASE, u"ａ", u"Ａ", 0},
    {1041, NORM_IGNORESYMBOLS, u"東京・大阪", u"東京大阪", 0},
    {1041, NORM_IGNORESYMBOLS, u"「本」", u"本", 0},
    {1041, 0, u"かな", u"漢字", -1},
    {1041, 0, u"漢字", u"日本", -1},  // kanji in JIS order
    // Locale 0 and the default pseudo ids are the Japanese locale.
    {0, 0, u"あ", u"ア", -1},
    {LOCALE_SYSTEM_DEFAULT, NORM_IGNOREKANATYPE, u"あ", u"ア", 0},
    // German phone book sorts ä as ae.
    {1031, 0, u"Äb", u"Ad", -1},
    {0x10407, 0, u"Äb", u"Ad", 1},
    // Swedish sorts ä after z.
    {1053, 0, u"ä", u"z", 1},
};

void PrintTo(const Pair& p, std::ostream* os) {
  *os << p.lcid << " flags " << p.flags << " '" << toUtf8(p.a) << "' '" << toUtf8(p.b) << "'";
}

class CollationPairs : public ::testing::TestWithParam<Pair> {};

TEST_P(CollationPairs, CompareAndSortKeysAgree) {
  const Pair& p = GetParam();
  EXPECT_EQ(compareString(p.lcid, p.flags, p.a, p.b), p.expected);
  EXPECT_EQ(compareString(p.lcid, p.flags, p.b, p.a), -p.expected);
  EXPECT_EQ(keyOrder(sortKey(p.lcid, p.flags, p.a), sortKey(p.lcid, p.flags, p.b)), p.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, CollationPairs, ::testing::ValuesIn(kPairs));

std::vector<std::u16string> sorted(Lcid lcid, std::uint32_t flags, std::vector<std::u16string> v) {
  std::stable_sort(v.begin(), v.end(), [&](const auto& a, const auto& b) { return compareString(lcid, flags, a, b) < 0; });
  return v;
}

TEST(PlatformCollation, JapaneseWordList) {
  const std::vector<std::u16string> words = {u"日本", u"かな", u"アカ", u"さくら", u"がっこう", u"漢字",
                                             u"カタカナ", u"あさ", u"あか"};
  const std::vector<std::u16string> expected = {u"あか", u"アカ", u"あさ", u"カタカナ", u"がっこう",
                                                u"かな", u"さくら", u"漢字", u"日本"};
  EXPECT_EQ(sorted(1041, 0, words), expected);
}

TEST(PlatformCollation, EnglishWordListUnderWordAndStringSort) {
  const std::vector<std::u16string> words = {u"cop", u"co-op", u"Coop", u"com", u"coop", u"can't", u"cant"};
  EXPECT_EQ(sorted(1033, 0, words),
            (std::vector<std::u16string>{u"cant", u"can't", u"com", u"coop", u"co-op", u"Coop", u"cop"}));
  EXPECT_EQ(sorted(1033, SORT_STRINGSORT, words),
            (std::vector<std::u16string>{u"can't", u"cant", u"co-op", u"com", u"coop", u"Coop", u"cop"}));
  // Ignoring case keeps the input order of "Coop" and "coop" (stable sort, equal).
  EXPECT_EQ(sorted(1033, NORM_IGNORECASE | NORM_IGNORESYMBOLS, words),
            (std::vector<std::u16string>{u"can't", u"cant", u"com", u"co-op", u"Coop", u"coop", u"cop"}));
}

TEST(PlatformCollation, SortKeysHaveNoZeroBytesAndSortLikeCompare) {
  const std::vector<std::u16string> words = {u"co-op", u"coop", u"co'op", u"coo-p", u"-coop", u"Coop",
                                             u"ｺｰﾌﾟ", u"コープ", u"こーぷ", u"", u"a\u0301", u"á"};
  for (std::uint32_t flags : {0u, SORT_STRINGSORT, NORM_IGNORECASE, kWidthKana, NORM_IGNORENONSPACE}) {
    for (const auto& a : words) {
      const std::string ka = sortKey(1041, flags, a);
      EXPECT_EQ(ka.find('\0'), std::string::npos);
      for (const auto& b : words)
        EXPECT_EQ(keyOrder(ka, sortKey(1041, flags, b)), compareString(1041, flags, a, b))
            << toUtf8(a) << " / " << toUtf8(b) << " flags " << flags;
    }
  }
}

TEST(PlatformCollation, AnsiCompareUsesTheLocaleCodePage) {
  const std::string a = encodeText(u"あ", 932), b = encodeText(u"ア", 932);
  EXPECT_EQ(compareStringA(1041, 0, a, b), -1);
  EXPECT_EQ(compareStringA(1041, NORM_IGNOREKANATYPE, a, b), 0);
  EXPECT_EQ(compareStringA(1033, NORM_IGNORECASE, "\xC9t\xE9", "\xE9T\xC9"), 0);  // "Été" in 1252
}

TEST(PlatformCollation, FailuresAreErrorsNotResults) {
  EXPECT_THROW(compareString(0x12345, 0, u"a", u"b"), OsError);
  EXPECT_THROW(compareString(1041, 0x8, u"a", u"b"), OsError);
  EXPECT_THROW(sortKey(1041, 0x40000000, u"a"), OsError);
  EXPECT_THROW(nlsVersion(0x12345), OsError);
}

TEST(PlatformCollation, NlsVersion) {
  const NlsVersion ja = nlsVersion(1041);
  EXPECT_NE(ja.nlsVersion, 0u);
  EXPECT_NE(ja.definedVersion, 0u);
  EXPECT_EQ(ja.effectiveLocale, 1041u);
  EXPECT_EQ(nlsVersion(LOCALE_SYSTEM_DEFAULT), ja);
  EXPECT_EQ(nlsVersion(1041), ja);
  EXPECT_EQ(nlsVersion(1033).effectiveLocale, 1033u);
}

TEST(PlatformCollation, ConcurrentFirstUseAndComparison) {
  nxtest::Watchdog watchdog;
  const Lcid locales[] = {1041, 1033, 1031, 2052, 1042, 1053, 0x10407, 1036};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const Lcid id = locales[(t + i) % 8];
        if (compareString(id, NORM_IGNORECASE, u"Abc", u"abd") != -1) ++wrong;
        if (compareString(id, 0, u"abc", u"abc") != 0) ++wrong;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
