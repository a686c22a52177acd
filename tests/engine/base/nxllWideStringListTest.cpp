#include "nxllWideStringList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <unistd.h>

#include "nxllStreams.h"
#include "plCollation.h"
#include "plGuid.h"
#include "plNormalize.h"
#include "plStringList.h"

namespace {

TnxWideString W(std::u16string_view s) { return TnxWideString(s.begin(), s.end()); }
std::u16string U(const TnxWideString& s) { return std::u16string(s.begin(), s.end()); }

constexpr TnxWord32 kEnglish = 1033;
constexpr TnxWord32 kJapanese = 1041;

using ListPtr = TnxOwned<TnxWideStringList>;

ListPtr NewList(TnxWideStringComparerPtr aComparer = {}, TnxWideStringTransformerPtr aTransformer = {}) {
  return ListPtr(platform::create<TnxWideStringList>(std::move(aComparer), std::move(aTransformer)));
}

std::vector<std::u16string> Lines(const TnxWideStrings& aList) {
  std::vector<std::u16string> out;
  for (std::int32_t i = 0; i < aList.Count(); ++i) out.push_back(U(aList.Strings(i)));
  return out;
}

TnxWideString Apply(const TnxWideStringTransformerPtr& t, std::u16string_view s) {
  TnxWideString out;
  t->Transform(W(s), out);
  return out;
}

// A plain object to attach to strings.
class Tag : public platform::TObject {};

// ------------------------------------------------------------ interfaces

TEST(nxllWideStringList, InterfacesCarryTheirIdentifiersAndCountReferences) {
  EXPECT_EQ(InxWideStringComparer::IID, platform::stringToGuid(u"{99A47C9F-95DA-4D19-B708-112F1941FE09}"));
  EXPECT_EQ(InxWideStringTransformer::IID, platform::stringToGuid(u"{55B1D182-5AC3-462A-877A-681D5F59048B}"));

  auto* byte = platform::create<TnxWideStringByteComparer>();
  TnxIntfPtr<InxInterface> root(static_cast<TnxInterfacedObject*>(byte));
  TnxWideStringComparerPtr comparer = nxSupports<InxWideStringComparer>(root.get());
  ASSERT_TRUE(comparer);
  EXPECT_FALSE(nxSupports<InxWideStringTransformer>(root.get()));
  EXPECT_EQ(byte->RefCount(), 2);
  root.reset();
  EXPECT_EQ(comparer->Compare(W(u"a"), W(u"b")), -1);  // still alive through the comparer

  auto* hub = platform::create<TnxWideStringTransformerHub>(
      std::initializer_list<TnxWideStringTransformerPtr>{nxNewWideStringTransformer<TnxWideStringNullTransformer>()});
  TnxWideStringTransformerPtr t(hub);
  EXPECT_TRUE(nxSupports<InxWideStringTransformer>(static_cast<InxWideStringTransformer*>(hub)));
  EXPECT_FALSE(nxSupports<InxWideStringComparer>(static_cast<InxWideStringTransformer*>(hub)));
}

// ------------------------------------------------------------- comparers

struct CompareCase {
  const char* name;
  std::function<TnxWideStringComparerPtr()> comparer;
  std::u16string a, b;
  int expected;
};

TnxWideStringComparerPtr Byte() { return nxNewWideStringComparer<TnxWideStringByteComparer>(); }
TnxWideStringComparerPtr Locale(TnxWord32 aLocale, TnxWord32 aFlags) {
  return nxNewWideStringComparer<TnxWideStringCompareStringWComparer>(aLocale, aFlags);
}

TEST(nxllWideStringList, ComparersOrderByTheirKind) {
  using namespace platform;
  const CompareCase cases[] = {
      // ordinal: the little-endian bytes of the units
      {"byte upper before lower", Byte, u"B", u"a", -1},
      {"byte low byte first", Byte, u"\u0100", u"\u00FF", -1},
      {"byte prefix first", Byte, u"ab", u"abc", -1},
      {"byte longer after", Byte, u"abc", u"ab", 1},
      {"byte equal", Byte, u"日本", u"日本", 0},
      {"byte case differs", Byte, u"abc", u"ABC", 1},
      {"byte empty", Byte, u"", u"", 0},
      // locale
      {"english letters", [] { return Locale(kEnglish, 0); }, u"a", u"B", -1},
      {"english case counts", [] { return Locale(kEnglish, 0); }, u"abc", u"ABC", -1},
      {"english accent after base", [] { return Locale(kEnglish, 0); }, u"resume", u"r\u00E9sum\u00E9", -1},
      {"empty first by length", [] { return Locale(kEnglish, 0); }, u"", u"a", -1},
      {"empty last by length", [] { return Locale(kEnglish, 0); }, u"a", u"", 1},
      {"japanese width counts", [] { return Locale(kJapanese, 0); }, u"ｶﾀｶﾅ", u"カタカナ", 1},
      // case and the other foldings
      {"english ignoring case", [] { return Locale(kEnglish, NORM_IGNORECASE); }, u"Token", u"TOKEN", 0},
      {"fullwidth ignoring case and width", [] { return Locale(kJapanese, NORM_IGNORECASE | NORM_IGNOREWIDTH); },
       u"ＤａｔａＢＡＳＥ", u"database", 0},
      {"japanese ignoring width", [] { return Locale(kJapanese, NORM_IGNOREWIDTH); }, u"ｶﾀｶﾅ", u"カタカナ", 0},
      {"japanese ignoring kana type", [] { return Locale(kJapanese, NORM_IGNOREKANATYPE); }, u"ひらがな", u"ヒラガナ",
       0},
      {"japanese kana type counts", [] { return Locale(kJapanese, 0); }, u"ひらがな", u"ヒラガナ", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TnxWideStringComparerPtr comparer = c.comparer();
    EXPECT_EQ(comparer->Compare(W(c.a), W(c.b)), c.expected);
    EXPECT_EQ(comparer->Compare(W(c.b), W(c.a)), -c.expected);
  }
}

TEST(nxllWideStringList, FailingCollationRaisesInsteadOfAnsweringAnOrder) {
  const TnxWideStringComparerPtr comparer = Locale(kEnglish, 0x40000000);  // no such flag
  try {
    comparer->Compare(W(u"a"), W(u"b"));
    FAIL() << "no exception";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 11047u);
    EXPECT_NE(e.Message().find(u"TnxWideStringCompareStringWComparer.Compare/CompareStringW"), nxString::npos);
  }
  // Empty texts never reach the collation.
  EXPECT_EQ(comparer->Compare(W(u""), W(u"b")), -1);
}

TEST(nxllWideStringList, CompareStringComparersAreBuiltThroughTheirClass) {
  TnxBaseWideStringCompareStringComparer* c = TnxBaseWideStringCompareStringComparer::CreateOfClass(
      TnxWideStringCompareStringWComparer::staticClassInfo(), kJapanese, platform::NORM_IGNORECASE);
  TnxWideStringComparerPtr ref(c);
  EXPECT_TRUE(c->is<TnxWideStringCompareStringWComparer>());
  EXPECT_EQ(c->Locale(), kJapanese);
  EXPECT_EQ(c->Flags(), platform::NORM_IGNORECASE);
  EXPECT_EQ(ref->Compare(W(u"ABC"), W(u"abc")), 0);
}

// ---------------------------------------------------------- transformers

TnxWideStringTransformerPtr Lower(TnxWord32 aLocale) {
  return nxNewWideStringTransformer<TnxWideStringLowerCaseTransformer>(aLocale);
}
TnxWideStringTransformerPtr Upper(TnxWord32 aLocale) {
  return nxNewWideStringTransformer<TnxWideStringUpperCaseTransformer>(aLocale);
}
TnxWideStringTransformerPtr Fold(TnxWord32 aFlags) {
  return nxNewWideStringTransformer<TnxWideStringFoldStringTransformer>(aFlags);
}
TnxWideStringTransformerPtr Truncate(std::int32_t aMax) {
  return nxNewWideStringTransformer<TnxWideStringTruncateTransformer>(aMax);
}
TnxWideStringTransformerPtr PreCompose() { return nxNewWideStringTransformer<TnxWideStringPreComposeTransformer>(); }
TnxWideStringTransformerPtr Hub(std::initializer_list<TnxWideStringTransformerPtr> aParts) {
  return nxNewWideStringTransformer<TnxWideStringTransformerHub>(aParts);
}

struct TransformCase {
  const char* name;
  std::function<TnxWideStringTransformerPtr()> transformer;
  std::u16string input, expected;
};

TEST(nxllWideStringList, TransformersRewriteEnglishAndJapaneseText) {
  using namespace platform;
  const TransformCase cases[] = {
      {"null", [] { return nxNewWideStringTransformer<TnxWideStringNullTransformer>(); }, u"AbC 日本", u"AbC 日本"},
      {"lower english", [] { return Lower(kEnglish); }, u"HeLLo World", u"hello world"},
      {"lower fullwidth", [] { return Lower(kJapanese); }, u"ＡＢＣ日本", u"ａｂｃ日本"},
      {"lower leaves kana", [] { return Lower(kJapanese); }, u"カタカナ", u"カタカナ"},
      {"upper english", [] { return Upper(kEnglish); }, u"straße", u"STRAßE"},
      {"upper empty", [] { return Upper(kEnglish); }, u"", u""},
      {"mapping to katakana",
       [] { return nxNewWideStringTransformer<TnxWideStringLocaleMappingTransformer>(kJapanese, LCMAP_KATAKANA); },
       u"ひらがな", u"ヒラガナ"},
      {"fold compatibility zone", [] { return Fold(MAP_FOLDCZONE); }, u"ＡＢＣ１２", u"ABC12"},
      // Unit by unit: the half-width voicing mark becomes the combining one.
      {"fold halfwidth kana", [] { return Fold(MAP_FOLDCZONE); }, u"ﾃﾞｰﾀ", u"テ\u3099ータ"},
      {"hub fold then precompose", [] { return Hub({Fold(MAP_FOLDCZONE), PreCompose()}); }, u"ﾃﾞｰﾀ", u"データ"},
      {"fold digits", [] { return Fold(MAP_FOLDDIGITS); }, u"\u0661\u0662", u"12"},
      {"precompose", PreCompose, u"e\u0301t\u00E9", u"\u00E9t\u00E9"},
      {"precompose kana voicing", PreCompose, u"か\u3099", u"が"},
      {"truncate cuts", [] { return Truncate(3); }, u"abcd", u"abc"},
      {"truncate keeps shorter", [] { return Truncate(3); }, u"ab", u"ab"},
      {"truncate exact", [] { return Truncate(3); }, u"abc", u"abc"},
      {"truncate japanese", [] { return Truncate(3); }, u"日本語テキスト", u"日本語"},
      {"truncate before high surrogate", [] { return Truncate(3); }, u"ab\U0001F600", u"ab"},
      {"truncate after whole pair", [] { return Truncate(3); }, u"a\U0001F600b", u"a\U0001F600"},
      {"truncate to zero", [] { return Truncate(0); }, u"abc", u""},
      {"truncate negative as zero", [] { return Truncate(-5); }, u"abc", u""},
      {"truncate one before pair", [] { return Truncate(1); }, u"\U0001F600", u""},
      {"hub lower then truncate", [] { return Hub({Lower(kEnglish), Truncate(3)}); }, u"ABCD", u"abc"},
      // The order shows: cutting first leaves the combining mark to compose.
      {"hub truncate then precompose", [] { return Hub({Truncate(3), PreCompose()}); }, u"e\u0301xy", u"\u00E9x"},
      {"hub precompose then truncate", [] { return Hub({PreCompose(), Truncate(3)}); }, u"e\u0301xy", u"\u00E9xy"},
      {"hub fold, lower, truncate", [] { return Hub({Fold(MAP_FOLDCZONE), Lower(kJapanese), Truncate(8)}); },
       u"ＤＡＴＡＢＡＳＥ＿ＮＡＭＥ", u"database"},
      {"empty hub", [] { return Hub({}); }, u"Same", u"Same"},
      {"hub skips empty entries", [] { return Hub({TnxWideStringTransformerPtr(), Upper(kEnglish)}); }, u"ab", u"AB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TnxWideStringTransformerPtr t = c.transformer();
    EXPECT_EQ(U(Apply(t, c.input)), c.expected);
    // The same string as input and output.
    TnxWideString inPlace = W(c.input);
    t->Transform(inPlace, inPlace);
    EXPECT_EQ(U(inPlace), c.expected);
  }
}

TEST(nxllWideStringList, FoldFailureNamesItsActionButEmptyTextNeverFails) {
  const TnxWideStringTransformerPtr bad = Fold(platform::MAP_PRECOMPOSED | platform::MAP_COMPOSITE);
  EXPECT_TRUE(Apply(bad, u"").empty());
  try {
    Apply(bad, u"abc");
    FAIL() << "no exception";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 11047u);
    EXPECT_NE(e.Message().find(u"TnxWideStringFoldStringTransformer.Transform/FoldStringW/1"), nxString::npos);
  }
}

TEST(nxllWideStringList, LocaleMappingRefusesSortKeys) {
  try {
    platform::create<TnxWideStringLocaleMappingTransformer>(kEnglish,
                                                            platform::LCMAP_SORTKEY | platform::LCMAP_LOWERCASE);
    FAIL() << "no exception";
  } catch (const EnxWideStringLocaleMappingTransformerException& e) {
    EXPECT_EQ(e.ErrorCode(), 12289u);
    EXPECT_NE(e.Message().find(u"LCMAP_SORTKEY is not supported by TnxWideStringLocaleMappingTransformer"),
              nxString::npos);
  }
  auto* lower = platform::create<TnxWideStringLowerCaseTransformer>(kJapanese);
  TnxWideStringTransformerPtr ref(lower);
  EXPECT_EQ(lower->Flags(), platform::LCMAP_LOWERCASE);
  EXPECT_EQ(lower->Locale(), kJapanese);
}

// ---------------------------------------------------------------- lists

TEST(nxllWideStringList, DefaultListSortsByUnitBytes) {
  auto list = NewList();
  list->SetSorted(true);
  for (auto s : {u"a", u"\u00FF", u"B", u"ab", u"\u0100"}) list->Add(W(s));
  EXPECT_EQ(Lines(*list), (std::vector<std::u16string>{u"\u0100", u"B", u"a", u"ab", u"\u00FF"}));
}

TEST(nxllWideStringList, SortedListWithLowerCaseIgnoresCaseDuplicates) {
  auto list = NewList({}, Lower(kEnglish));
  list->SetSorted(true);
  list->SetDuplicates(platform::Duplicates::ignore);
  EXPECT_EQ(list->Add(W(u"Zeta")), 0);
  EXPECT_EQ(list->Add(W(u"Token")), 0);
  EXPECT_EQ(list->Add(W(u"TOKEN")), 0);
  EXPECT_EQ(Lines(*list), (std::vector<std::u16string>{u"token", u"zeta"}));
  EXPECT_EQ(list->IndexOf(W(u"ZETA")), 1);
  EXPECT_EQ(list->IndexOf(W(u"missing")), -1);
}

TEST(nxllWideStringList, DuplicatesRules) {
  struct Case {
    platform::Duplicates rule;
    bool raises;
    std::int32_t count;
  };
  for (const Case c : {Case{platform::Duplicates::ignore, false, 2}, Case{platform::Duplicates::accept, false, 3},
                       Case{platform::Duplicates::error, true, 2}}) {
    SCOPED_TRACE(static_cast<int>(c.rule));
    auto list = NewList();
    list->SetSorted(true);
    list->SetDuplicates(c.rule);
    list->Add(W(u"b"));
    list->Add(W(u"a"));
    if (c.raises)
      EXPECT_THROW(list->Add(W(u"b")), platform::StringListError);
    else
      list->Add(W(u"b"));
    EXPECT_EQ(list->Count(), c.count);
    for (std::int32_t i = 1; i < list->Count(); ++i) EXPECT_LE(list->CompareStrings(list->Strings(i - 1), list->Strings(i)), 0);
  }
}

TEST(nxllWideStringList, TokensAreFoundRegardlessOfCaseAndWidth) {
  using namespace platform;
  // The full-text setting: ordinal comparer, fold + compose + lower case +
  // truncation.
  auto list = NewList(Byte(), Hub({Fold(MAP_FOLDCZONE), PreCompose(), Lower(kJapanese), Truncate(8)}));
  list->SetSorted(true);
  for (auto token : {u"Database", u"ＤＡＴＡＢＡＳＥ", u"データベース", u"ﾃﾞｰﾀﾍﾞｰｽ", u"database_index", u"日本語"})
    list->Add(W(token));
  EXPECT_EQ(Lines(*list), (std::vector<std::u16string>{u"database", u"データベース", u"日本語"}));
  std::int32_t index = -1;
  for (auto probe : {u"DATABASE", u"ｄａｔａｂａｓｅ", u"DataBase_Extra"}) {
    SCOPED_TRACE(platform::toUtf8(probe));
    EXPECT_TRUE(list->Find(W(probe), index));
    EXPECT_EQ(index, 0);
  }
  EXPECT_EQ(list->IndexOf(W(u"ﾃﾞｰﾀﾍﾞｰｽ")), 1);
  EXPECT_FALSE(list->Find(W(u"ｃａｔａｌｏｇ"), index));
  EXPECT_EQ(index, 0);  // insertion point

  // The locale setting: the comparer ignores case and width itself.
  auto byLocale = NewList(Locale(kJapanese, NORM_IGNORECASE | NORM_IGNOREWIDTH), Truncate(8));
  byLocale->SetSorted(true);
  for (auto token : {u"Database", u"ＤＡＴＡＢＡＳＥ", u"ﾃﾞｰﾀﾍﾞｰｽ", u"データベース"}) byLocale->Add(W(token));
  EXPECT_EQ(byLocale->Count(), 2);
  EXPECT_EQ(U(byLocale->Strings(byLocale->IndexOf(W(u"dAtAbAsE")))), u"Database");  // first form kept
  EXPECT_GE(byLocale->IndexOf(W(u"データベース")), 0);
}

TEST(nxllWideStringList, MisuseRaisesAndChangesNothing) {
  auto list = NewList();
  list->Add(W(u"x"));
  list->Add(W(u"y"));
  const std::vector<std::u16string> before = Lines(*list);
  const std::function<void()> unsortedMisuse[] = {
      [&] { list->Strings(-1); },
      [&] { list->Strings(2); },
      [&] { list->Objects(2); },
      [&] { list->wsPutString(2, W(u"z")); },
      [&] { list->wsPutObject(-1, nullptr); },
      [&] { list->Delete(2); },
      [&] { list->Delete(-1); },
      [&] { list->Insert(3, W(u"z")); },
      [&] { list->Insert(-1, W(u"z")); },
      [&] { list->Exchange(0, 2); },
      [&] { list->Move(0, 2); },
      [&] { list->Move(-1, 0); },
  };
  for (const auto& misuse : unsortedMisuse) {
    EXPECT_THROW(misuse(), platform::StringListError);
    EXPECT_EQ(Lines(*list), before);
  }
  list->SetSorted(true);
  const std::function<void()> sortedMisuse[] = {
      [&] { list->Insert(0, W(u"a")); },
      [&] { list->wsPutString(0, W(u"a")); },
      [&] { list->Move(0, 1); },
      [&] { list->wsSetValue(W(u"n"), W(u"v")); },
  };
  for (const auto& misuse : sortedMisuse) {
    EXPECT_THROW(misuse(), platform::StringListError);
    EXPECT_EQ(Lines(*list), before);
  }
}

TEST(nxllWideStringList, UnsortedOperationsCarryObjects) {
  Tag t0, t1, t2;
  auto list = NewList({}, Upper(kEnglish));
  list->AddObject(W(u"a"), &t0);
  list->AddObject(W(u"b"), &t1);
  list->AddObject(W(u"c"), &t2);
  list->Insert(1, W(u"ins"));
  EXPECT_EQ(Lines(*list), (std::vector<std::u16string>{u"A", u"INS", u"B", u"C"}));
  EXPECT_EQ(list->Objects(1), nullptr);
  list->Exchange(0, 3);
  EXPECT_EQ(Lines(*list), (std::vector<std::u16string>{u"C", u"INS", u"B", u"A"}));
  EXPECT_EQ(list->Objects(0), &t2);
  EXPECT_EQ(list->Objects(3), &t0);
  list->Move(0, 2);
  EXPECT_EQ(Lines(*list), (std::vector<std::u16string>{u"INS", u"B", u"C", u"A"}));
  EXPECT_EQ(list->Objects(2), &t2);
  EXPECT_EQ(list->IndexOfObject(&t1), 1);
  list->wsPutString(1, W(u"put"));
  EXPECT_EQ(U(list->Strings(1)), u"PUT");
  EXPECT_EQ(list->Objects(1), &t1);
  list->Delete(0);
  EXPECT_EQ(Lines(*list), (std::vector<std::u16string>{u"PUT", u"C", u"A"}));
  EXPECT_EQ(list->IndexOf(W(u"c")), 1);  // linear search of the transformed text
}

TEST(nxllWideStringList, IgnoredDuplicateKeepsTheObjectOfTheFirst) {
  Tag first, second;
  auto list = NewList({}, Lower(kEnglish));
  list->SetSorted(true);
  EXPECT_EQ(list->AddObject(W(u"Key"), &first), 0);
  EXPECT_EQ(list->AddObject(W(u"KEY"), &second), 0);
  EXPECT_EQ(list->Count(), 1);
  EXPECT_EQ(list->Objects(0), &first);
}

TEST(nxllWideStringList, SortingOrdersEveryItemAndKeepsTheirObjects) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> len(0, 6), unit(0, 5);
  const char16_t alphabet[] = u"aBあア\u00FF\u0100";
  std::vector<Tag> tags(300);
  auto list = NewList();
  std::vector<std::u16string> added;
  for (std::size_t i = 0; i < tags.size(); ++i) {
    std::u16string s;
    for (int n = len(rng); n > 0; --n) s.push_back(alphabet[unit(rng)]);
    list->AddObject(W(s), &tags[i]);
    added.push_back(s);
  }
  list->SetSorted(true);
  ASSERT_EQ(list->Count(), 300);
  for (std::int32_t i = 1; i < list->Count(); ++i)
    EXPECT_LE(list->CompareStrings(list->Strings(i - 1), list->Strings(i)), 0) << i;
  for (std::int32_t i = 0; i < list->Count(); ++i) {
    const auto tag = static_cast<std::size_t>(static_cast<Tag*>(list->Objects(i)) - tags.data());
    EXPECT_EQ(added[tag], U(list->Strings(i)));
  }
  std::vector<std::u16string> sortedLines = Lines(*list);
  std::sort(added.begin(), added.end());
  std::sort(sortedLines.begin(), sortedLines.end());
  EXPECT_EQ(sortedLines, added);
  // Every string is found, duplicates or not.
  for (const auto& s : added) EXPECT_GE(list->IndexOf(W(s)), 0);
}

TEST(nxllWideStringList, CapacityGrowsByTheRuleAndCutsCount) {
  auto list = NewList();
  std::vector<std::int32_t> capacities;
  for (int i = 0; i < 80; ++i) {
    list->Add(W(u"x"));
    if (capacities.empty() || capacities.back() != list->Capacity()) capacities.push_back(list->Capacity());
  }
  EXPECT_EQ(capacities, (std::vector<std::int32_t>{4, 8, 12, 28, 44, 60, 76, 95}));
  list->SetCapacity(10);
  EXPECT_EQ(list->Count(), 10);
  EXPECT_EQ(list->Capacity(), 10);
  EXPECT_THROW(list->SetCapacity(-1), platform::StringListError);
  list->Clear();
  EXPECT_EQ(list->Capacity(), 0);
}

TEST(nxllWideStringList, TextJoinsWithLineSeparatorAndSplitsAtEveryBreak) {
  auto list = NewList();
  list->Add(W(u"a"));
  list->Add(W(u"b"));
  EXPECT_EQ(U(list->Text()), u"a\u2028b");
  EXPECT_EQ(U(list->GetSeparatedText(W(u", "))), u"a, b");
  EXPECT_EQ(U(list->GetSeparatedText(u';')), u"a;b");

  struct Case {
    std::u16string text;
    std::vector<std::u16string> lines;
  };
  const Case cases[] = {
      {u"", {}},
      {u"a\r\nb\r", {u"a", u"b"}},
      {u"\r\r", {u"", u""}},
      {u"\r", {u""}},
      {u"\r\n", {u""}},
      {u"a\n\rb", {u"a", u"", u"b"}},
      {std::u16string(u"1\n2\v3\f4\u20285\u20296") + u'\0' + u"7", {u"1", u"2", u"3", u"4", u"5", u"6", u"7"}},
      {u"no break", {u"no break"}},
  };
  for (const auto& c : cases) {
    list->SetText(W(c.text));
    EXPECT_EQ(Lines(*list), c.lines);
  }
}

TEST(nxllWideStringList, ChangeEventsFireOutsideUpdateBracketsOnly) {
  struct Counter {
    int changing = 0, changed = 0;
    bool refuse = false;
    platform::TObject* sender = nullptr;
    void OnChanging(platform::TObject* s) {
      sender = s;
      ++changing;
      if (refuse) throw platform::RuntimeError("refused");
    }
    void OnChanged(platform::TObject*) { ++changed; }
  } counter;
  auto list = NewList();
  list->OnChanging = TnxWideStringsNotifyEvent::Of<&Counter::OnChanging>(&counter);
  list->OnChange = TnxWideStringsNotifyEvent::Of<&Counter::OnChanged>(&counter);
  list->Add(W(u"a"));
  EXPECT_EQ(counter.changing, 1);
  EXPECT_EQ(counter.changed, 1);
  EXPECT_EQ(counter.sender, list.get());

  list->SetText(W(u"x\ny\nz"));  // one bracket
  EXPECT_EQ(counter.changing, 2);
  EXPECT_EQ(counter.changed, 2);

  list->BeginUpdate();
  list->Add(W(u"1"));
  list->Delete(0);
  list->EndUpdate();
  EXPECT_EQ(counter.changing, 3);
  EXPECT_EQ(counter.changed, 3);

  counter.refuse = true;
  EXPECT_THROW(list->Add(W(u"refused")), platform::RuntimeError);
  EXPECT_EQ(Lines(*list), (std::vector<std::u16string>{u"y", u"z", u"1"}));
}

TEST(nxllWideStringList, NameValueLines) {
  auto list = NewList({}, Lower(kEnglish));
  list->SetText(W(u"Host=Example\nport=80\nplain"));
  EXPECT_EQ(U(list->wsGetName(0)), u"host");
  EXPECT_EQ(U(list->wsGetName(2)), u"");
  EXPECT_EQ(list->IndexOfName(W(u"PORT")), 1);
  EXPECT_EQ(list->IndexOfName(W(u"plain")), -1);
  EXPECT_EQ(U(list->wsGetValue(W(u"HOST"))), u"example");
  EXPECT_EQ(U(list->wsGetValue(W(u"missing"))), u"");

  list->wsSetValue(W(u"Port"), W(u"8080"));
  EXPECT_EQ(U(list->Strings(1)), u"port=8080");
  list->wsSetValue(W(u"User"), W(u"Admin"));
  EXPECT_EQ(U(list->Strings(3)), u"user=admin");
  list->wsSetValue(W(u"host"), W(u""));
  EXPECT_EQ(Lines(*list), (std::vector<std::u16string>{u"port=8080", u"plain", u"user=admin"}));
  list->wsSetValue(W(u"absent"), W(u""));
  EXPECT_EQ(list->Count(), 3);
}

TnxWideString StreamBytes(TnxMemoryStream& s) {
  const auto* p = static_cast<const std::uint8_t*>(s.Memory());
  TnxWideString out;
  for (std::int64_t i = 0; i < s.Size(); ++i) out.push_back(p[i]);
  return out;
}

TEST(nxllWideStringList, LoadsEveryStreamForm) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    bool forceUnicode;
    TnxWord32 codePage;
    std::vector<std::u16string> lines;
  };
  const Case cases[] = {
      {"little-endian mark", {0xFF, 0xFE, 'a', 0, 0x0A, 0, 0xE5, 0x65}, false, 0, {u"a", u"\u65E5"}},
      {"big-endian mark swaps", {0xFE, 0xFF, 0, 'a', 0, 0x0A, 0x65, 0xE5}, false, 0, {u"a", u"\u65E5"}},
      {"forced unicode", {'h', 0, 'i', 0}, true, 0, {u"hi"}},
      {"shift-jis", {0x93, 0xFA, 0x96, 0x7B, 0x0D, 0x0A, 'x'}, false, 932, {u"日本", u"x"}},
      {"default code page", {'a', 0x0D, 'b'}, false, nxWideStringsDefaultCodePage, {u"a", u"b"}},
      {"empty", {}, false, 0, {}},
      {"one byte", {'z'}, false, 0, {u"z"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto* stream = platform::create<TnxMemoryStream>();
    TnxOwned<TnxMemoryStream> hold(stream);
    if (!c.bytes.empty()) stream->WriteBuffer(c.bytes.data(), static_cast<std::int32_t>(c.bytes.size()));
    stream->Seek(0, soBeginning);
    auto list = NewList();
    list->Add(W(u"old"));
    list->LoadFromStream(*stream, c.forceUnicode, c.codePage);
    EXPECT_EQ(Lines(*list), c.lines);
  }
}

TEST(nxllWideStringList, SavesEveryStreamForm) {
  auto list = NewList();
  list->Add(W(u"a"));
  list->Add(W(u"日本"));
  struct Case {
    bool unicode, bom;
    TnxWord32 codePage;
    std::vector<std::uint8_t> bytes;
  };
  const Case cases[] = {
      {true, true, 0, {0xFF, 0xFE, 'a', 0, 0x28, 0x20, 0xE5, 0x65, 0x2C, 0x67}},
      {true, false, 0, {'a', 0, 0x28, 0x20, 0xE5, 0x65, 0x2C, 0x67}},
      {false, true, 65001, {'a', 0x0D, 0x0A, 0xE6, 0x97, 0xA5, 0xE6, 0x9C, 0xAC}},
      {false, false, 932, {'a', 0x0D, 0x0A, 0x93, 0xFA, 0x96, 0x7B}},
  };
  for (const auto& c : cases) {
    auto* stream = platform::create<TnxMemoryStream>();
    TnxOwned<TnxMemoryStream> hold(stream);
    list->SaveToStream(*stream, c.unicode, c.bom, c.codePage);
    EXPECT_EQ(StreamBytes(*stream), TnxWideString(c.bytes.begin(), c.bytes.end()));
    // Loading the same form gives the lines back.
    stream->Seek(0, soBeginning);
    auto back = NewList();
    back->LoadFromStream(*stream, c.unicode && !c.bom, c.codePage);
    EXPECT_EQ(Lines(*back), Lines(*list));
  }
}

TEST(nxllWideStringList, FileRoundTripKeepsLinesAndReadsFromThePosition) {
  char path[] = "/tmp/nxllWideStringListXXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  auto list = NewList();
  list->SetText(W(u"一行目\nsecond\n\U0001F600"));
  list->SaveToFile(path, true, true, 0);
  auto back = NewList();
  back->LoadFromFile(path, false, 0);
  EXPECT_EQ(Lines(*back), Lines(*list));
  std::remove(path);

  auto* stream = platform::create<TnxMemoryStream>();
  TnxOwned<TnxMemoryStream> hold(stream);
  stream->WriteBuffer("skip", 4);
  list->SaveToStream(*stream, true, true, 0);
  stream->Seek(4, soBeginning);
  back->LoadFromStream(*stream, false, 0);
  EXPECT_EQ(Lines(*back), Lines(*list));
}

TEST(nxllWideStringList, AssignsWithStringListsAndOtherLists) {
  Tag tag;
  platform::TStringList source;
  source.add(u"one");
  source.addObject(u"Two", &tag);
  auto list = NewList({}, Upper(kEnglish));
  list->Add(W(u"dropped"));
  list->Assign(&source);
  EXPECT_EQ(Lines(*list), (std::vector<std::u16string>{u"ONE", u"TWO"}));
  EXPECT_EQ(list->Objects(1), &tag);

  list->Assign(list.get());  // itself: unchanged
  EXPECT_EQ(list->Count(), 2);

  platform::TStringList target;
  target.add(u"stale");
  list->AssignTo(&target);
  ASSERT_EQ(target.count(), 2);
  EXPECT_EQ(target.strings(1), u"TWO");
  EXPECT_EQ(target.objects(1), &tag);

  auto other = NewList();
  list->AssignTo(other.get());
  EXPECT_TRUE(other->Equals(list.get()));
  other->Add(W(u"x"));
  EXPECT_FALSE(other->Equals(list.get()));
  EXPECT_THROW(list->Equals(nullptr), platform::RuntimeError);

  Tag unrelated;
  EXPECT_THROW(list->Assign(&unrelated), platform::ConvertError);
  EXPECT_THROW(list->AssignTo(&unrelated), platform::ConvertError);

  list->AddStrings(*list);
  EXPECT_EQ(Lines(*list), (std::vector<std::u16string>{u"ONE", u"TWO", u"ONE", u"TWO"}));
}

TEST(nxllWideStringList, EightBitAndWideOverloadsConvert) {
  auto list = NewList();
  list->Add(std::string_view("\x93\xFA\x96\x7B"), 932);
  list->Add(platform::UnicodeStringView(u"wide"));
  list->Insert(0, std::string_view("abc"), nxWideStringsDefaultCodePage);
  list->Append(W(u"end"));
  Tag tag;
  list->InsertObject(1, platform::UnicodeStringView(u"obj"), &tag);
  EXPECT_EQ(Lines(*list), (std::vector<std::u16string>{u"abc", u"obj", u"日本", u"wide", u"end"}));
  EXPECT_EQ(list->Objects(1), &tag);
}

TEST(nxllWideStringList, FormDataCarriesTheText) {
  auto list = NewList();
  EXPECT_FALSE(list->WideStringsStored(nullptr));
  list->SetText(W(u"a\nb"));
  EXPECT_TRUE(list->WideStringsStored(nullptr));
  auto ancestor = NewList();
  ancestor->SetText(W(u"a\nb"));
  EXPECT_FALSE(list->WideStringsStored(ancestor.get()));
  ancestor->Add(W(u"c"));
  EXPECT_TRUE(list->WideStringsStored(ancestor.get()));
  Tag other;
  EXPECT_TRUE(list->WideStringsStored(&other));

  auto* stream = platform::create<TnxMemoryStream>();
  TnxOwned<TnxMemoryStream> hold(stream);
  {
    TnxWriter writer(*stream);
    list->WriteWideStrings(writer);
    writer.WriteString(u"x\ry");  // an ASCII string value
    writer.WriteInteger(std::int32_t(5));
  }
  EXPECT_EQ(static_cast<const std::uint8_t*>(stream->Memory())[0], vaWString);
  stream->Seek(0, soBeginning);
  TnxReader reader(*stream);
  auto back = NewList();
  back->ReadWideStrings(reader);
  EXPECT_EQ(Lines(*back), (std::vector<std::u16string>{u"a", u"b"}));
  back->ReadWideStrings(reader);
  EXPECT_EQ(Lines(*back), (std::vector<std::u16string>{u"x", u"y"}));
  EXPECT_THROW(back->ReadWideStrings(reader), EReadError);
}

}  // namespace
