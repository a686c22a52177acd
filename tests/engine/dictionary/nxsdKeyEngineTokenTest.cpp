// Token key engines: key layouts with cutting and reversal, comparisons with
// and without a locale, damaged lengths, the field source, and the order of
// many random tokens against the byte order and the runtime's collation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "nxllBde.h"
#include "nxsdKeyEngineTestSupport.h"
#include "nxsdKeyEngineToken.h"
#include "nxsdTestSupport.h"
#include "plCollation.h"

namespace {

using nxsdkeytest::KeyEngineTest;
using nxsdkeytest::Owned;
using nxsdtest::expectCode;

TnxWideString wide(std::u16string_view s) { return TnxWideString(s.begin(), s.end()); }

std::vector<std::uint16_t> units(const void* aKey, std::size_t aCount) {
  std::vector<std::uint16_t> u(aCount);
  std::memcpy(u.data(), aKey, aCount * 2);
  return u;
}

class TokenKeyTest : public KeyEngineTest {
 protected:
  Owned<TnxBitArrayTokenKeyEngine> BitArray(std::int32_t aMax, bool aReverse = false, bool aPerField = false,
                                            std::uint32_t aLocale = 0, std::uint32_t aFlags = 0) {
    auto* d = NewKey<TnxBitArrayTokenKeyDescriptor>();
    d->SetMaxTokenSize(aMax);
    d->SetReverse(aReverse);
    d->SetPerFieldIndex(aPerField);
    d->SetLocale(aLocale);
    d->SetFlags(aFlags);
    return Owned<TnxBitArrayTokenKeyEngine>(static_cast<TnxBitArrayTokenKeyEngine*>(TnxBaseKeyEngine::CreateFor(d)));
  }
  Owned<TnxMainIndexTokenKeyEngine> MainIndex(std::int32_t aMax, bool aLocation = false, std::uint32_t aLocale = 0) {
    auto* d = NewKey<TnxMainIndexTokenKeyDescriptor>();
    d->SetMaxTokenSize(aMax);
    d->SetIncludeLocation(aLocation);
    d->SetLocale(aLocale);
    return Owned<TnxMainIndexTokenKeyEngine>(
        static_cast<TnxMainIndexTokenKeyEngine*>(TnxBaseKeyEngine::CreateFor(d)));
  }
};

TEST_F(TokenKeyTest, BitArrayKeyLayoutAndCutting) {
  auto e = BitArray(5, false, true);
  EXPECT_EQ(e->KeyLength(), 16);
  PnxKeyBuffer key = e->AllocKey();
  e->InternalBuildKey(3, wide(u"abcdefg"), -2, key);
  EXPECT_EQ(units(key, 8), (std::vector<std::uint16_t>{3, 5, 'a', 'b', 'c', 'd', 'e', 0xFFFE}));
  // Unit 5 a high surrogate: the pair is not split.
  e->ClearKey(key);
  e->InternalBuildKey(1, wide(u"abcd\U0001F600g"), 4, key);
  EXPECT_EQ(units(key, 8), (std::vector<std::uint16_t>{1, 4, 'a', 'b', 'c', 'd', 0, 4}));
  // An empty token.
  e->ClearKey(key);
  e->InternalBuildKey(0, {}, 0, key);
  EXPECT_EQ(units(key, 8), (std::vector<std::uint16_t>(8, 0)));
  e->FreeKey(key);
}

TEST_F(TokenKeyTest, ReversedKeysKeepSurrogatePairs) {
  auto e = BitArray(20, true);
  PnxKeyBuffer key = e->AllocKey();
  e->InternalBuildKey(0, wide(u"ab\U0001F600"), 0, key);
  EXPECT_EQ(units(key, 6), (std::vector<std::uint16_t>{0, 4, 0xD83D, 0xDE00, 'b', 'a'}));
  e->ClearKey(key);
  e->InternalBuildKey(0, wide(u"\U00020000x\U0001F600"), 0, key);
  EXPECT_EQ(units(key, 7), (std::vector<std::uint16_t>{0, 5, 0xD83D, 0xDE00, 'x', 0xD840, 0xDC00}));
  // A lone low surrogate is an ordinary unit.
  e->ClearKey(key);
  e->InternalBuildKey(0, wide(u"a\xDC00" u"b"), 0, key);
  EXPECT_EQ(units(key, 5), (std::vector<std::uint16_t>{0, 3, 'b', 0xDC00, 'a'}));
  e->FreeKey(key);
}

TEST_F(TokenKeyTest, BitArrayComparisons) {
  auto e = BitArray(10, false, true);
  const struct {
    std::uint16_t s1;
    const char16_t* t1;
    std::int16_t f1;
    std::uint16_t s2;
    const char16_t* t2;
    std::int16_t f2;
    int result;
  } cases[] = {
      {0, u"ab", 0, 0, u"abc", 0, -1},    {0, u"abc", 0, 0, u"abd", 0, -1},  {0, u"", 0, 0, u"a", 0, -1},
      {0, u"", 5, 0, u"", -5, 1},         {1, u"a", 0, 0xFFFF, u"a", 0, -1}, {2, u"a", 0, 1, u"z", 0, 1},
      {0, u"ab", -1, 0, u"ab", 1, -1},    {0, u"B", 0, 0, u"a", 0, -1},
      // Memory order of the units, not code point order: 00 01 before FF 00.
      {0, u"\u0100", 0, 0, u"\u00FF", 0, -1},  {0, u"\u0201", 0, 0, u"\u0102", 0, -1},
  };
  PnxKeyBuffer k1 = e->AllocKey(), k2 = e->AllocKey();
  for (const auto& c : cases) {
    e->ClearKey(k1);
    e->ClearKey(k2);
    e->InternalBuildKey(c.s1, wide(c.t1), c.f1, k1);
    e->InternalBuildKey(c.s2, wide(c.t2), c.f2, k2);
    EXPECT_EQ(e->CompareKey(k1, k2), c.result) << platform::toUtf8(c.t1) << " " << platform::toUtf8(c.t2);
    EXPECT_EQ(e->CompareKey(k2, k1), -c.result);
  }
  // With a locale, CompareStringW decides: a before B.
  auto withLocale = BitArray(10, false, false, 1041);
  PnxKeyBuffer l1 = withLocale->AllocKey(), l2 = withLocale->AllocKey();
  withLocale->InternalBuildKey(0, wide(u"B"), 0, l1);
  withLocale->InternalBuildKey(0, wide(u"a"), 0, l2);
  EXPECT_EQ(withLocale->CompareKey(l1, l2), 1);
  withLocale->FreeKey(l1);
  withLocale->FreeKey(l2);

  // KeyAsVariant: segment, token, field.
  e->ClearKey(k1);
  e->InternalBuildKey(7, wide(u"トークン"), -3, k1);
  const platform::Variant all = e->KeyAsVariant(k1, -1);
  EXPECT_EQ(all.arrayGet(0).toInt64(), 7);
  EXPECT_EQ(all.arrayGet(1).toString(), u"トークン");
  EXPECT_EQ(all.arrayGet(2).toInt64(), -3);
  EXPECT_EQ(e->KeyAsVariant(k1, 1).toString(), u"トークン");
  e->ClearKey(k1);
  EXPECT_TRUE(e->KeyAsVariant(k1, 1).isNull());
  expectCode([&] { e->KeyAsVariant(k1, 3); }, nxErrInvalidDescNumber);
  expectCode([&] { BitArray(10)->KeyAsVariant(k1, 2); }, nxErrInvalidDescNumber);
  e->FreeKey(k1);
  e->FreeKey(k2);
}

TEST_F(TokenKeyTest, KeysComeOnlyFromTheFulltextEngine) {
  auto bit = BitArray(10);
  PnxKeyBuffer key = bit->AllocKey();
  const std::uint8_t record[64] = {};
  EXPECT_EQ(bit->BuildKey(record, key, 0, false), nxErrNotSupported);
  expectCode<EnxBaseKeyEngineException>([&] { bit->CompareKeyToRecord(key, record, 0); }, nxErrNotSupported,
                                        u"BuildKey is not supported by TnxBitArrayTokenKeyEngine");
  bit->FreeKey(key);
  auto main = MainIndex(10);
  key = main->AllocKey();
  EXPECT_EQ(main->BuildKey(record, key, 0, false), 1);
  expectCode<EnxBaseKeyEngineException>([&] { main->CompareRecord(record, record); }, 1);
  main->FreeKey(key);
  EXPECT_FALSE(TnxMainIndexTokenKeyEngine::SupportsReindex());
  EXPECT_TRUE(TnxBitArrayTokenKeyEngine::SupportsReindex());
}

TEST_F(TokenKeyTest, SizesNoKeyCanHaveAreRefused) {
  for (std::int32_t size : {-1, -2, -100000, 40000}) {
    auto* bit = NewKey<TnxBitArrayTokenKeyDescriptor>();
    bit->SetMaxTokenSize(size);
    expectCode<EnxBaseKeyEngineException>([&] { TnxBaseKeyEngine::CreateFor(bit); }, nxErrKeyTooLarge);
    expectCode<EnxBaseKeyEngineException>([&] { TnxBaseKeyEngine::CheckValidBaseFromDescriptor(bit); },
                                          nxErrKeyTooLarge);
    auto* main = NewKey<TnxMainIndexTokenKeyDescriptor>();
    main->SetMaxTokenSize(size);
    expectCode<EnxBaseKeyEngineException>([&] { TnxBaseKeyEngine::CreateFor(main); }, nxErrKeyTooLarge);
  }
  EXPECT_EQ(BitArray(0)->KeyLength(), 4);
  EXPECT_EQ(MainIndex(32766)->KeyLength(), 65534);
}

TEST_F(TokenKeyTest, DamagedLengthsStayInsideTheKey) {
  auto bit = BitArray(4, false, true);
  PnxKeyBuffer b1 = bit->AllocKey(), b2 = bit->AllocKey();
  bit->InternalBuildKey(0, wide(u"wxyz"), 9, b1);
  bit->InternalBuildKey(0, wide(u"wxyz"), 9, b2);
  const std::uint16_t damaged = 0xFFFF;
  std::memcpy(b1 + 2, &damaged, 2);
  EXPECT_EQ(bit->CompareKey(b1, b2), 0);
  EXPECT_EQ(bit->KeyAsVariant(b1, 1).toString(), u"wxyz");
  bit->FreeKey(b1);
  bit->FreeKey(b2);

  auto main = MainIndex(3, true);
  PnxKeyBuffer m1 = main->AllocKey(), m2 = main->AllocKey();
  main->InternalBuildKey(wide(u"abc"), 5, m1);
  main->InternalBuildKey(wide(u"abc"), 6, m2);
  std::memcpy(m1, &damaged, 2);
  EXPECT_EQ(main->CompareKey(m1, m2), 0);
  EXPECT_EQ(main->KeyAsVariant(m1, 0).toString(), u"abc");
  std::uint16_t type = 0, size = 0, codePage = 0;
  bool isNull = true;
  const void* value = nullptr;
  ASSERT_TRUE(main->GetFieldForFilter(0, nullptr, m1, type, size, isNull, value, codePage));
  EXPECT_EQ(size, 3);
  main->FreeKey(m1);
  main->FreeKey(m2);
}

TEST_F(TokenKeyTest, MainIndexKeys) {
  auto e = MainIndex(5, true, 1041);
  EXPECT_EQ(e->KeyLength(), 16);
  PnxKeyBuffer k1 = e->AllocKey(), k2 = e->AllocKey();
  e->InternalBuildKey(wide(u"abcd\U0001F600"), 0x01020304, k1);
  EXPECT_EQ(units(k1, 8), (std::vector<std::uint16_t>{4, 'a', 'b', 'c', 'd', 0, 0x0304, 0x0102}));
  e->InternalBuildKey(wide(u"abcd"), 99, k2);
  EXPECT_EQ(e->CompareKey(k1, k2), 0);  // locations take no part
  EXPECT_EQ(e->KeyAsVariant(k1, -1).toString(), u"abcd");
  EXPECT_EQ(e->KeyAsVariant(k1, 1).toInt64(), 0x01020304);
  expectCode([&] { e->KeyAsVariant(k1, 2); }, nxErrInvalidDescNumber);
  expectCode([&] { e->KeyAsVariant(k1, -2); }, nxErrInvalidDescNumber);
  // Partial lengths compare prefixes; an empty token comes first.
  e->ClearKey(k2);
  e->InternalBuildKey(wide(u"abzz"), 0, k2);
  EXPECT_EQ(e->CompareKey(k1, k2), -1);
  EXPECT_EQ(e->CompareKey(k1, k2, 1, 2), 0);
  EXPECT_EQ(e->CompareKey(k1, k2, 1, 0x7FFFFFFE), -1);
  e->ClearKey(k2);
  EXPECT_EQ(e->CompareKey(k2, k1), -1);
  EXPECT_EQ(e->CompareKey(k1, k2), 1);
  EXPECT_EQ(e->CompareKey(k2, k2), 0);
  EXPECT_TRUE(e->KeyAsVariant(k2, 0).isNull());

  // Pseudo fields and the field source.
  ASSERT_EQ(e->GetFieldCount(), 2);
  EXPECT_EQ(e->GetFieldDescriptor(0)->GetFieldName(), u"Token");
  EXPECT_EQ(e->GetFieldDescriptor(0)->GetFieldType(), nxtWideString);
  EXPECT_EQ(e->GetFieldDescriptor(0)->GetFieldUnits(), 5);
  ASSERT_NE(e->GetFieldDescriptor(0)->GetFieldLocaleDescriptor(), nullptr);
  EXPECT_EQ(e->GetFieldDescriptor(0)->GetFieldLocaleDescriptor()->Locale(), 1041u);
  InxFieldDescriptor* location = e->GetFieldDescriptor(1);
  EXPECT_EQ(location->GetFieldName(), u"Location");
  EXPECT_EQ(location->GetFieldType(), nxtAutoInc);
  EXPECT_EQ(location->GetFieldUnits(), 4);
  void* second = nullptr;
  EXPECT_EQ(location->QueryInterface(InxFieldDescriptor2::IID, &second), nxS_OK);
  EXPECT_EQ(e->GetFieldDescriptor(2), nullptr);
  EXPECT_EQ(e->GetFieldFromName(u"location"), 1);
  std::uint16_t type = 0, size = 0, codePage = 7;
  bool isNull = false;
  const void* value = nullptr;
  ASSERT_TRUE(e->GetFieldForFilter(0, nullptr, k1, type, size, isNull, value, codePage));
  EXPECT_EQ(type, nxtWideString);
  EXPECT_EQ(size, 4);
  EXPECT_EQ(value, k1 + 2);
  EXPECT_EQ(codePage, 0);
  ASSERT_TRUE(e->GetFieldForFilter(0, nullptr, k2, type, size, isNull, value, codePage));
  EXPECT_TRUE(isNull);
  ASSERT_TRUE(e->GetFieldForFilter(0, nullptr, nullptr, type, size, isNull, value, codePage));
  EXPECT_EQ(size, 5);
  EXPECT_TRUE(isNull);
  ASSERT_TRUE(e->GetFieldForFilter(-1, "LOCATION", k1, type, size, isNull, value, codePage));
  EXPECT_EQ(type, nxtAutoInc);
  EXPECT_EQ(size, 4);
  EXPECT_EQ(value, k1 + 12);
  EXPECT_FALSE(e->GetFieldForFilter(2, nullptr, k1, type, size, isNull, value, codePage));
  auto plain = MainIndex(5);
  EXPECT_EQ(plain->GetFieldCount(), 1);
  EXPECT_EQ(plain->GetFieldFromName(u"Location"), -1);
  EXPECT_EQ(plain->GetFieldDescriptor(0)->GetFieldLocaleDescriptor(), nullptr);
  e->FreeKey(k1);
  e->FreeKey(k2);
}

// Random tokens of Japanese, Latin and supplementary characters.
std::vector<std::u16string> randomTokens(std::size_t aCount) {
  std::mt19937 rng(20250420);
  std::uniform_int_distribution<int> length(1, 8), kind(0, 5);
  std::vector<std::u16string> tokens;
  tokens.reserve(aCount);
  for (std::size_t n = 0; n < aCount; ++n) {
    std::u16string t;
    const int len = length(rng);
    while (static_cast<int>(t.size()) < len) {
      switch (kind(rng)) {
        case 0: t += static_cast<char16_t>(u'a' + rng() % 26); break;
        case 1: t += static_cast<char16_t>(u'A' + rng() % 26); break;
        case 2: t += static_cast<char16_t>(0x3041 + rng() % 86); break;   // hiragana
        case 3: t += static_cast<char16_t>(0x30A1 + rng() % 90); break;   // katakana
        case 4: t += static_cast<char16_t>(0x4E00 + rng() % 2000); break;  // kanji
        default: {
          const char32_t cp = 0x20000 + rng() % 0x1000;
          t += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
          t += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        }
      }
    }
    tokens.push_back(std::move(t));
  }
  return tokens;
}

bool byteLess(const std::u16string& a, const std::u16string& b) {
  const auto* pa = reinterpret_cast<const std::uint8_t*>(a.data());
  const auto* pb = reinterpret_cast<const std::uint8_t*>(b.data());
  return std::lexicographical_compare(pa, pa + a.size() * 2, pb, pb + b.size() * 2);
}

template <class E, class Build>
std::vector<std::pair<std::uint16_t, std::u16string>> sortedByEngine(E& aEngine, std::size_t aTextOffset,
                                                                     std::size_t aLengthOffset,
                                                                     const std::vector<std::u16string>& aTokens,
                                                                     Build aBuild) {
  std::vector<PnxKeyBuffer> keys;
  keys.reserve(aTokens.size());
  for (std::size_t i = 0; i < aTokens.size(); ++i) {
    keys.push_back(aEngine.AllocKey());
    aBuild(i, keys.back());
  }
  std::sort(keys.begin(), keys.end(), [&](PnxKeyBuffer a, PnxKeyBuffer b) { return aEngine.CompareKey(a, b) < 0; });
  std::vector<std::pair<std::uint16_t, std::u16string>> out;
  for (PnxKeyBuffer& k : keys) {
    std::uint16_t segment = 0, length = 0;
    if (aTextOffset == 4) std::memcpy(&segment, k, 2);
    std::memcpy(&length, k + aLengthOffset, 2);
    std::u16string t(length, u'\0');
    std::memcpy(t.data(), k + aTextOffset, length * 2u);
    out.emplace_back(segment, std::move(t));
    aEngine.FreeKey(k);
  }
  return out;
}

TEST_F(TokenKeyTest, RandomTokensSortInByteOrderAndInCollationOrder) {
  const std::vector<std::u16string> tokens = randomTokens(10000);
  std::vector<std::uint16_t> segments(tokens.size());
  std::mt19937 rng(7);
  for (auto& s : segments) s = static_cast<std::uint16_t>(rng() % 4);

  for (const std::uint32_t locale : {0u, 1041u}) {
    SCOPED_TRACE(locale);
    const auto less = [locale](const std::u16string& a, const std::u16string& b) {
      return locale == 0 ? byteLess(a, b) : platform::compareString(locale, 0, a, b) < 0;
    };
    const auto check = [&](const std::vector<std::pair<std::uint16_t, std::u16string>>& aSorted, bool aSegments) {
      ASSERT_EQ(aSorted.size(), tokens.size());
      for (std::size_t i = 1; i < aSorted.size(); ++i) {
        const auto& p = aSorted[i - 1];
        const auto& n = aSorted[i];
        if (aSegments && p.first != n.first) {
          ASSERT_LT(p.first, n.first) << i;
          continue;
        }
        ASSERT_FALSE(less(n.second, p.second)) << i;
      }
      std::vector<std::u16string> got, want = tokens;
      for (const auto& e : aSorted) got.push_back(e.second);
      std::sort(got.begin(), got.end());
      std::sort(want.begin(), want.end());
      ASSERT_EQ(got, want);
    };
    auto bit = BitArray(20, false, false, locale);
    const auto bitSorted = sortedByEngine(*bit, 4, 2, tokens, [&](std::size_t i, PnxKeyBuffer k) {
      bit->InternalBuildKey(segments[i], TnxWideString(tokens[i].begin(), tokens[i].end()), 0, k);
    });
    check(bitSorted, true);
    auto main = MainIndex(20, true, locale);
    const auto mainSorted = sortedByEngine(*main, 2, 0, tokens, [&](std::size_t i, PnxKeyBuffer k) {
      main->InternalBuildKey(TnxWideString(tokens[i].begin(), tokens[i].end()), static_cast<std::uint32_t>(i), k);
    });
    check(mainSorted, false);
    if (locale == 0) {
      // Exactly the byte order, shorter first.
      std::vector<std::u16string> want = tokens;
      std::stable_sort(want.begin(), want.end(), byteLess);
      for (std::size_t i = 0; i < want.size(); ++i) ASSERT_EQ(mainSorted[i].second, want[i]) << i;
    }
  }
}

}  // namespace
