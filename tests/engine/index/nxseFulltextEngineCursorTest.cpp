// Full-text cursor engines: the token pipeline (extractors and filters), the
// unique token container, the word changes of a record, and the bit-array
// and main-index token indices driven through UpdateIndex.
#include <gtest/gtest.h>

#include "nxFakeTables.h"
#include "nxsdFilterEngineCallback.h"
#include "nxseFulltextTestSupport.h"

namespace {

using namespace nxtest;

// Hands out a fixed list of tokens.
class StubSource : public TnxBaseTokenSourceCursorEngine {
 public:
  StubSource() : TnxBaseTokenSourceCursorEngine(nullptr) {}
  void Reset() override { pos = 0; }
  TnxTokenPtr NextToken() override { return pos < tokens.size() ? tokens[pos++] : TnxTokenPtr{}; }
  void Add(const std::string& aText, std::int32_t aDistance = 0, std::int16_t aField = 0) {
    const std::u16string u = platform::fromUtf8(aText);
    tokens.push_back(TnxToken::Make(TnxWideString(u.begin(), u.end()), aDistance, aField));
  }
  std::vector<TnxTokenPtr> tokens;
  std::size_t pos = 0;
};

struct Tok {
  std::string text;
  std::int32_t distance;
  std::int16_t field;
  bool operator==(const Tok&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Tok& t) {
  return os << "{" << t.text << ", " << t.distance << ", " << t.field << "}";
}

std::vector<Tok> drain(TnxBaseTokenSourceCursorEngine* aSource) {
  std::vector<Tok> result;
  aSource->Reset();
  while (TnxTokenPtr t = aSource->NextToken()) {
    const TnxWideString& w = t->GetToken();
    result.push_back({platform::toUtf8(std::u16string(w.begin(), w.end())), t->GetDistance(), t->GetField()});
  }
  return result;
}

std::vector<std::string> strings(const TnxWideStringList* aList) {
  std::vector<std::string> result;
  if (!aList) return result;
  for (std::int32_t i = 0; i < aList->Count(); ++i) {
    const TnxWideString& w = aList->StringRef(i);
    result.push_back(platform::toUtf8(std::u16string(w.begin(), w.end())));
  }
  return result;
}

// Records every word a processing token index is asked to add or remove.
class Recorder : public TnxBaseProcessingTokenIndexCursorEngine {
 public:
  Recorder(TnxBaseTokenIndexTableEngine* aTableEngine)
      : TnxBaseProcessingTokenIndexCursorEngine(nullptr, nullptr, aTableEngine, nullptr, nullptr) {
    SetupProcessing();
  }
  std::int32_t GetMaxTokenSize() override { return 20; }
  void ProcessToken(TnxBaseTransaction*, const TnxWideString& aToken, bool aAdd, const TnxTokenLocation&,
                    std::int16_t aField) override {
    std::string call(1, aAdd ? '+' : '-');
    call.append(platform::toUtf8(std::u16string(aToken.begin(), aToken.end())));
    call.push_back('@');
    call.append(std::to_string(aField));
    calls.push_back(std::move(call));
  }
  std::vector<std::string> calls;
};

class FulltextCursorTest : public FulltextTest {
 protected:
  // Body: extractors Text and Title; filters (not in the chain, for the
  // tests to pick) Blank (distance 3), Hyphen, Lower, Replace, Category;
  // one bit-array token index.
  void buildFilters() {
    build([](TnxServerDataDict& d) {
      TnxFulltextIndexDescriptor* body = fulltextOf(&d)->AddFulltextIndex(u"Body");
      body->AddFieldTokenExtractor(fText);
      body->AddFieldTokenExtractor(fTitle);
      auto* blank = static_cast<TnxWideCharSeparatorTokenFilterDescriptor*>(body->AddTokenFilter(u"Blank"));
      blank->SetSeparatorDistance(3);
      static_cast<TnxWideCharSeparatorTokenFilterDescriptor*>(body->AddTokenFilter(u"Hyphen"))->SetSeparatorChar(u'-');
      body->AddTokenFilter(u"Lower", &TnxLowercaseLocaleMappingTokenFilterDescriptor::staticClassInfo());
      static_cast<TnxStringReplaceTokenFilterDescriptor*>(
          body->AddTokenFilter(u"Replace", &TnxStringReplaceTokenFilterDescriptor::staticClassInfo()))
          ->AddItem(u"colour", u"color", srkWhole, false);
      body->AddTokenFilter(u"Category", &TnxCategorySeparatorTokenFilterDescriptor::staticClassInfo());
      addBitArrayIndex(body);
    });
  }
  // A chain of the Body filters aFilters (indices) over aSource.
  TnxBaseTokenSourceCursorEngine* chain(TnxBaseTokenSourceCursorEngine* aSource, std::initializer_list<int> aFilters) {
    TnxBaseTokenSourceCursorEngine* source = aSource;
    for (int i : aFilters) {
      filters_.emplace_back(TnxBaseTokenFilterCursorEngine::CreateFor(
          nullptr, nullptr, source, tableEngine_->FulltextIndex(0)->fiteGetTokenFilter(i)));
      source = filters_.back().get();
    }
    return source;
  }
  TnxFulltextIndexCursorEngine* body() { return cursorEngine_->FulltextIndex(0); }

  // Body over Text with a blank separator and one bit-array token index set
  // up by aIndex.
  void buildWords(const std::function<void(TnxBitArrayTokenIndexDescriptor*)>& aIndex) {
    build([&](TnxServerDataDict& d) {
      TnxFulltextIndexDescriptor* ft = fulltextOf(&d)->AddFulltextIndex(u"Body");
      ft->AddFieldTokenExtractor(fText);
      ft->AddTokenFilter(u"Blank");
      auto* tokens = static_cast<TnxBitArrayTokenIndexDescriptor*>(
          ft->AddTokenIndex(u"Words", &TnxBitArrayTokenIndexDescriptor::staticClassInfo()));
      tokens->AddBitArrayStorageHandler();
      aIndex(tokens);
      tokens->AddIndex(0);
    });
  }

  std::vector<TnxOwned<TnxBaseTokenFilterCursorEngine>> filters_;

  void TearDown() override {
    filters_.clear();
    FulltextTest::TearDown();
  }
};

enum { kBlank, kHyphen, kLower, kReplace, kCategory };

TEST_F(FulltextCursorTest, FiltersCutAndNormaliseTokens) {
  buildFilters();
  struct Case {
    const char* input;
    std::int32_t distance;
    std::initializer_list<int> filters;
    std::vector<Tok> expected;
  };
  const Case cases[] = {
      {"Full-text  search", 0, {kBlank}, {{"Full-text", 0, 0}, {"search", 3, 0}}},
      {"Full-text  search", 0, {kBlank, kHyphen}, {{"Full", 0, 0}, {"text", 1, 0}, {"search", 3, 0}}},
      {"  lead", 0, {kBlank}, {{"lead", 3, 0}}},
      {"   ", 0, {kBlank}, {}},
      {"", 2, {kBlank}, {{"", 2, 0}}},
      {"Colour", 0, {kLower, kReplace}, {{"color", 0, 0}}},
      {"Colours", 0, {kLower, kReplace}, {{"colours", 0, 0}}},
      {"質問、回答。", 0, {kCategory}, {{"質問", 0, 0}, {"回答", 1, 0}}},
  };
  for (const Case& c : cases) {
    TnxOwned<StubSource> stub(platform::create<StubSource>());
    stub->Add(c.input, c.distance);
    EXPECT_EQ(drain(chain(stub.get(), c.filters)), c.expected) << c.input;
  }
}

TEST_F(FulltextCursorTest, UnchangedTokensPassAsTheSameObject) {
  buildFilters();
  TnxOwned<StubSource> stub(platform::create<StubSource>());
  stub->Add("plain");
  for (int f : {kBlank, kReplace}) {
    TnxBaseTokenSourceCursorEngine* filter = chain(stub.get(), {f});
    filter->Reset();
    TnxTokenPtr out = filter->NextToken();
    EXPECT_EQ(out.get(), stub->tokens[0].get()) << f;
  }
}

TEST_F(FulltextCursorTest, ExtractorsGiveFieldTextsNumberedByPosition) {
  buildFilters();
  TnxTokenExtractorHubCursorEngine* hub = body()->ficeTokenExtractorHubNew;
  struct Case {
    const char* what;
    Values values;
    std::vector<Tok> expected;
  };
  const Case cases[] = {
      {"two fields", {1u, "one two", "three"}, {{"one two", 0, 0}, {"three", 0, 1}}},
      {"second only", {1u, std::nullopt, "three"}, {{"three", 0, 1}}},
      {"NULL and empty", {1u, std::nullopt, ""}, {}},
      {"empty text", {1u, "", std::nullopt}, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> r = record(c.values);
    hub->Initialize(r.data(), TnxRecID{1, 0}, false);
    EXPECT_EQ(drain(hub), c.expected) << c.what;
  }
  // Without a record nothing comes.
  hub->Initialize(nullptr, TnxRecID{0, 0}, false);
  EXPECT_TRUE(drain(hub).empty());
}

TEST_F(FulltextCursorTest, UniqueContainerPerFieldAndCombined) {
  TnxOwned<StubSource> stub(platform::create<StubSource>());
  stub->Add("b", 0, 0);
  stub->Add("a", 0, 0);
  stub->Add("b", 0, 0);
  stub->Add("a", 0, 1);
  const auto comparer = nxNewWideStringComparer<TnxWideStringByteComparer>();
  const auto transformer = nxNewWideStringTransformer<TnxWideStringNullTransformer>();
  TnxOwned<TnxUniqueTokenContainer> both(
      platform::create<TnxUniqueTokenContainer>(stub.get(), comparer, transformer, true, true));
  EXPECT_EQ(strings(both->PerField(0)), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(strings(both->PerField(1)), (std::vector<std::string>{"a"}));
  EXPECT_EQ(strings(both->Combined()), (std::vector<std::string>{"a", "b"}));
  TnxOwned<TnxUniqueTokenContainer> combined(
      platform::create<TnxUniqueTokenContainer>(stub.get(), comparer, transformer, true, false));
  EXPECT_EQ(combined->PerFieldCount(), 0);
  EXPECT_EQ(strings(combined->Combined()), (std::vector<std::string>{"a", "b"}));
}

TEST_F(FulltextCursorTest, ChangesTouchOnlyTheWordsThatDiffer) {
  buildFilters();
  Recorder* recorder = platform::create<Recorder>(bitArrayIndex());
  TnxOwned<Recorder> owner(recorder);
  const auto container = [&](std::initializer_list<std::pair<const char*, std::int16_t>> aWords) {
    TnxOwned<StubSource> stub(platform::create<StubSource>());
    for (const auto& [w, f] : aWords) stub->Add(w, 0, f);
    return TnxOwned<TnxUniqueTokenContainer>(platform::create<TnxUniqueTokenContainer>(
        stub.get(), recorder->bpticeComparer, recorder->bpticeTransformer, true, true));
  };
  auto before = container({{"x", 0}, {"y", 0}, {"q", 2}});
  auto after = container({{"y", 0}, {"z", 0}, {"r", 1}});
  recorder->ProcessTokenChanges(nullptr, *before, TnxTokenLocation{}, *after);
  EXPECT_EQ(recorder->calls, (std::vector<std::string>{"-q@-1", "+r@-1", "-x@-1", "+z@-1", "-x@0", "+z@0", "+r@1",
                                                        "-q@2"}));
}

TEST_F(FulltextCursorTest, BitArrayIndexWithSegmentIndex) {
  buildWords([](TnxBitArrayTokenIndexDescriptor* t) { t->SetSegmentIndex(true); });
  std::vector<std::uint8_t> first = record({0u, "a b"});
  ASSERT_EQ(insert(first, 1), 0);
  EXPECT_EQ(tokenEntries(), (std::vector<TokenEntry>{{0, u"a", -1, bits({1, 0, 0, 0, 0x01})},
                                                     {0, u"b", -1, bits({1, 0, 0, 0, 0x01})},
                                                     {0xFFFF, u"a", -1, bits({1, 0, 0, 0, 0x01})},
                                                     {0xFFFF, u"b", -1, bits({1, 0, 0, 0, 0x01})}}));
  std::vector<std::uint8_t> second = record({5u, "a"});
  ASSERT_EQ(insert(second, 2), 0);
  EXPECT_EQ(tokenEntries(), (std::vector<TokenEntry>{{0, u"a", -1, bits({2, 0, 0, 0, 0x21})},
                                                     {0, u"b", -1, bits({1, 0, 0, 0, 0x01})},
                                                     {0xFFFF, u"a", -1, bits({1, 0, 0, 0, 0x01})},
                                                     {0xFFFF, u"b", -1, bits({1, 0, 0, 0, 0x01})}}));
  ASSERT_EQ(remove(first, 1), 0);
  EXPECT_EQ(tokenEntries(), (std::vector<TokenEntry>{{0, u"a", -1, bits({1, 0, 0, 0, 0x20})},
                                                     {0xFFFF, u"a", -1, bits({1, 0, 0, 0, 0x01})}}));
  // A new location in segment 1: every word leaves segment 0 and enters 1.
  std::vector<std::uint8_t> moved = record({(1u << 19) + 3, "a"});
  ASSERT_EQ(update(&second, 2, &moved, 2), 0);
  EXPECT_EQ(tokenEntries(), (std::vector<TokenEntry>{{1, u"a", -1, bits({1, 0, 0, 0, 0x08})},
                                                     {0xFFFF, u"a", -1, bits({1, 0, 0, 0, 0x02})}}));
  // Deleting the last record empties the index and frees every array.
  ASSERT_EQ(remove(moved, 2), 0);
  EXPECT_TRUE(tokenEntries().empty());
  EXPECT_EQ(checkFile(), "");
}

TEST_F(FulltextCursorTest, ChangedTextAtTheSameLocation) {
  buildWords([](TnxBitArrayTokenIndexDescriptor*) {});
  std::vector<std::uint8_t> other = record({1u, "y"});
  ASSERT_EQ(insert(other, 1), 0);
  std::vector<std::uint8_t> before = record({0u, "x y"});
  ASSERT_EQ(insert(before, 2), 0);
  std::vector<std::uint8_t> after = record({0u, "y z y"});
  ASSERT_EQ(update(&before, 2, &after, 2), 0);
  EXPECT_EQ(tokenEntries(), (std::vector<TokenEntry>{{0, u"y", -1, bits({2, 0, 0, 0, 0x03})},
                                                     {0, u"z", -1, bits({1, 0, 0, 0, 0x01})}}));
  // A record without location is not indexed; taking it away again changes nothing.
  std::vector<std::uint8_t> unplaced = record({std::nullopt, "w"});
  ASSERT_EQ(insert(unplaced, 3), 0);
  EXPECT_EQ(tokenEntries().size(), 2u);
}

TEST_F(FulltextCursorTest, WordsAreCutToTheMaximumTokenSize) {
  buildWords([](TnxBitArrayTokenIndexDescriptor* t) { t->SetMaxTokenSize(4); });
  std::vector<std::uint8_t> r = record({2u, "abcdef abcdxy ab"});
  ASSERT_EQ(insert(r, 1), 0);
  EXPECT_EQ(tokenEntries(), (std::vector<TokenEntry>{{0, u"ab", -1, bits({1, 0, 0, 0, 0x04})},
                                                     {0, u"abcd", -1, bits({1, 0, 0, 0, 0x04})}}));
  ASSERT_EQ(remove(r, 1), 0);
  EXPECT_TRUE(tokenEntries().empty());
}

TEST_F(FulltextCursorTest, PerFieldAndReverseEntries) {
  build([](TnxServerDataDict& d) {
    TnxFulltextIndexDescriptor* ft = fulltextOf(&d)->AddFulltextIndex(u"Body");
    ft->AddFieldTokenExtractor(fText);
    ft->AddFieldTokenExtractor(fTitle);
    ft->AddTokenFilter(u"Blank");
    auto* tokens = static_cast<TnxBitArrayTokenIndexDescriptor*>(
        ft->AddTokenIndex(u"Words", &TnxBitArrayTokenIndexDescriptor::staticClassInfo()));
    tokens->AddBitArrayStorageHandler();
    tokens->SetPerFieldIndex(true);
    tokens->AddIndex(0);
    tokens->AddReverseIndex(0);
  });
  std::vector<std::uint8_t> r = record({1u, "ab cd", "ab"});
  ASSERT_EQ(insert(r, 1), 0);
  const auto bit1 = bits({1, 0, 0, 0, 0x02});
  EXPECT_EQ(tokenEntries(), (std::vector<TokenEntry>{{0, u"ab", -1, bit1},
                                                     {0, u"ab", 0, bit1},
                                                     {0, u"ab", 1, bit1},
                                                     {0, u"cd", -1, bit1},
                                                     {0, u"cd", 0, bit1}}));
  EXPECT_EQ(tokenEntries(bitArrayIndex()->batiteReverseIndexEngine),
            (std::vector<TokenEntry>{{0, u"ba", -1, bit1},
                                     {0, u"ba", 0, bit1},
                                     {0, u"ba", 1, bit1},
                                     {0, u"dc", -1, bit1},
                                     {0, u"dc", 0, bit1}}));
  ASSERT_EQ(remove(r, 1), 0);
  EXPECT_TRUE(tokenEntries().empty());
  EXPECT_TRUE(tokenEntries(bitArrayIndex()->batiteReverseIndexEngine).empty());
}

TEST_F(FulltextCursorTest, RemovingAWordThatIsNotIndexedIsAKeyViolation) {
  buildWords([](TnxBitArrayTokenIndexDescriptor*) {});
  std::vector<std::uint8_t> r = record({0u, "a"});
  ASSERT_EQ(insert(r, 1), 0);
  std::vector<std::uint8_t> ghost = record({0u, "b"});
  expectFails(nxErrKeyViolation, [&] { remove(ghost, 1); }, "remove b");
  // Adding the same record twice sets a set bit.
  expectFails(nxErrKeyViolation, [&] { insert(r, 1); }, "insert twice");
}

// Japanese question text stored in code page 932, split at the category
// separators and found again through the token index.
TEST_F(FulltextCursorTest, JapaneseTextIsConvertedSplitAndFound) {
  build([](TnxServerDataDict& d) {
    TnxFulltextIndexDescriptor* ft = fulltextOf(&d)->AddFulltextIndex(u"Body");
    ft->AddFieldTokenExtractor(fTitle);
    ft->AddTokenFilter(u"Category", &TnxCategorySeparatorTokenFilterDescriptor::staticClassInfo());
    addBitArrayIndex(ft);
  });
  const std::u16string question = u"次のうち、データベースの正規化に関する記述として適切なものはどれか。";
  const std::string cp932 = nxWideStringToString(TnxWideString(question.begin(), question.end()), 932);
  ASSERT_EQ(static_cast<std::uint8_t>(cp932[0]), 0x8E);  // 次 in code page 932
  std::vector<std::uint8_t> r = record({7u, std::nullopt, cp932});
  ASSERT_EQ(insert(r, 1), 0);
  const std::vector<TokenEntry> entries = tokenEntries();
  ASSERT_EQ(entries.size(), 2u);

  TnxBaseIndexEngine* words = bitArrayIndex()->batiteIndexEngine;
  auto* keys = platform::objectAs<TnxBitArrayTokenKeyEngine>(words->bieKeyEngine.get());
  const std::u16string word = u"次のうち";
  std::vector<std::uint8_t> key(keys->KeyLength(), 0);
  keys->InternalBuildKey(0, TnxWideString(word.begin(), word.end()), -1, key.data());
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxOwned<TnxBaseIndexPath> path(words->CreateIndexPath());
  ASSERT_TRUE(words->FindKey(trans.get(), key.data(), 0, 0, 0, path.get(), skaEqualFirst, nullptr));
  const std::vector<std::uint8_t> found = blob(trans.get(), static_cast<TnxBlobNr>(path->RefNr));
  trans->Rollback();
  // Location 7: bit 7 of the first bitmap byte.
  EXPECT_EQ(found, bits({1, 0, 0, 0, 0x80}));
}

// BLOB fields are read through the table cursor: the fake server cursor
// holds the BLOBs.
TEST_F(FulltextCursorTest, MemoBlobsAreReadThroughTheCursor) {
  nxfake::FakeDatabase fake;
  TnxFakeTable& table = fake.AddTable(u"t", {{u"Loc", nxtWord32, 0}});
  const std::string memo = "memo words";
  table.blobs[5] = std::vector<std::uint8_t>(memo.begin(), memo.end());
  const std::u16string wide = u"wide 語";
  table.blobs[6] = std::vector<std::uint8_t>(reinterpret_cast<const std::uint8_t*>(wide.data()),
                                             reinterpret_cast<const std::uint8_t*>(wide.data() + wide.size()));
  TnxFakeCursor* cursor = fake.Open(u"t");
  ASSERT_NE(cursor, nullptr);
  build(
      [](TnxServerDataDict& d) {
        TnxFulltextIndexDescriptor* ft = fulltextOf(&d)->AddFulltextIndex(u"Body");
        ft->AddFieldTokenExtractor(fMemo);
        ft->AddFieldTokenExtractor(fWide);
        ft->AddTokenFilter(u"Blank");
        addBitArrayIndex(ft);
      },
      cursor);
  std::vector<std::uint8_t> r = record({1u, std::nullopt, std::nullopt, TnxBlobNr{5}, TnxBlobNr{6}});
  ASSERT_EQ(insert(r, 1), 0);
  std::vector<std::u16string> tokens;
  for (const TokenEntry& e : tokenEntries()) tokens.push_back(e.token);
  EXPECT_EQ(tokens, (std::vector<std::u16string>{u"memo", u"wide", u"words", u"語"}));
  // A BLOB the cursor cannot read gives no token, no error.
  std::vector<std::uint8_t> missing = record({2u, std::nullopt, std::nullopt, TnxBlobNr{99}});
  ASSERT_EQ(insert(missing, 2), 0);
  EXPECT_EQ(tokenEntries().size(), 4u);
  cursorEngine_.reset();
  TnxAbstractServerObject::Free(cursor);
}

// The key engine keeps its filter to itself; the test reaches it as a
// subclass may.
struct KeyEngineFilter : TnxBaseKeyEngine {
  static TnxOwned<TnxBaseFilterEngine> TnxBaseKeyEngine::*slot() { return &KeyEngineFilter::bkeFilter; }
};

TEST_F(FulltextCursorTest, UpdateHelpersLiveForOneUpdate) {
  buildWords([](TnxBitArrayTokenIndexDescriptor*) {});
  TnxObject* first = platform::create<TnxObject>();
  cursorEngine_->ftceSetTempUpdateHelper(u"Cache", first);
  EXPECT_EQ(cursorEngine_->ftceGetTempUpdateHelper(u"Cache"), first);
  // Replacing frees the old object; nil removes.
  TnxObject* second = platform::create<TnxObject>();
  cursorEngine_->ftceSetTempUpdateHelper(u"Cache", second);
  EXPECT_EQ(cursorEngine_->ftceGetTempUpdateHelper(u"Cache"), second);
  cursorEngine_->ftceSetTempUpdateHelper(u"Other", platform::create<TnxObject>());
  cursorEngine_->ftceSetTempUpdateHelper(u"Other", nullptr);
  EXPECT_EQ(cursorEngine_->ftceGetTempUpdateHelper(u"Other"), nullptr);
  // UpdateIndex frees what is left, also when it fails.
  std::vector<std::uint8_t> ghost = record({0u, "b"});
  expectFails(nxErrKeyViolation, [&] { remove(ghost, 1); }, "remove b");
  EXPECT_EQ(cursorEngine_->ftceGetTempUpdateHelper(u"Cache"), nullptr);
}

TEST_F(FulltextCursorTest, TokenIndexWithoutUpdateAnswersNotSupported) {
  buildWords([](TnxBitArrayTokenIndexDescriptor*) {});
  TnxOwned<TnxBaseTokenIndexCursorEngine> plain(
      platform::create<TnxBaseTokenIndexCursorEngine>(nullptr, nullptr, bitArrayIndex(), nullptr, nullptr));
  EXPECT_EQ(plain->bticeUpdateIndex(nullptr, nullptr, TnxRecID{0, 0}, nullptr, TnxRecID{0, 0}), nxErrNotSupported);
  EXPECT_NE(platform::toUtf8(EnxBaseException(nxErrNotSupported).Message())
                .find("bticeUpdateIndex is not supported by TnxBaseTokenIndexCursorEngine"),
            std::string::npos);
}

class MainIndexTest : public FulltextCursorTest {
 protected:
  // The main index "Tokens" (number 1) with a token key (locale 1033) that
  // may carry a callback filter; a main-index token index over it.
  void buildMain(bool aIgnoreCase, bool aFiltered) {
    build([&](TnxServerDataDict& d) {
      TnxIndexDescriptor* index = d.IndicesDescriptor()->AddIndex(
          u"Tokens", 0, idAll, u"", &TnxMainIndexTokenKeyDescriptor::staticClassInfo());
      auto* key = static_cast<TnxMainIndexTokenKeyDescriptor*>(index->KeyDescriptor());
      key->SetLocale(1033);
      TnxFulltextIndexDescriptor* ft = fulltextOf(&d)->AddFulltextIndex(u"Body");
      ft->AddFieldTokenExtractor(fText);
      ft->AddTokenFilter(u"Blank");
      auto* tokens = static_cast<TnxMainIndexTokenIndexDescriptor*>(
          ft->AddTokenIndex(u"Main", &TnxMainIndexTokenIndexDescriptor::staticClassInfo()));
      tokens->SetMainIndexNumber(1);
      tokens->SetIgnoreCase(aIgnoreCase);
      tokens->AddLocaleDescriptor()->SetLocale(1033);
    });
    // A callback filter has no stream form, so the table file cannot hold
    // it: the key engine gets it directly.
    if (aFiltered) {
      TnxOwned<TnxCallbackFilterDescriptor> filter(
          platform::create<TnxCallbackFilterDescriptor>(nullptr, &lowLocations));
      TnxBaseKeyEngine* keys = indices_->biseGetIndex(1)->bieKeyEngine.get();
      auto* engine = platform::create<TnxCallbackFilterEngine>(filter.get(), TnxIntfPtr<InxFieldsSource>());
      (keys->*KeyEngineFilter::slot()).reset(engine);
      engine->SetActive(true);
    }
  }
  // Only records whose location is below 100 pass.
  static bool lowLocations(void*, const void* aRecord) {
    std::uint32_t loc;
    std::memcpy(&loc, aRecord, sizeof loc);
    return loc < 100;
  }
  // (token, record reference) of every key of the main index, in order.
  std::vector<std::pair<std::u16string, TnxRefNr>> mainKeys() {
    std::vector<std::pair<std::u16string, TnxRefNr>> result;
    TnxBaseIndexEngine* e = indices_->biseGetIndex(1);
    TnxOwned<TestTransaction> trans(newTransaction());
    TnxOwned<TnxBaseIndexPath> path(e->CreateIndexPath());
    path->SetToBof();
    nxtest::StepBound step;
    while (step() && e->NextKey(trans.get(), path.get(), nullptr)) {
      const auto* k = static_cast<const std::uint8_t*>(path->Key);
      std::u16string token(nxseGetU16(k), u'\0');
      std::memcpy(token.data(), k + 2, token.size() * 2);
      result.emplace_back(token, path->RefNr);
    }
    trans->Rollback();
    return result;
  }
};

TEST_F(MainIndexTest, IgnoreCaseMakesOneKeyPerWord) {
  buildMain(true, false);
  std::vector<std::uint8_t> r = record({1u, "Word word other"});
  ASSERT_EQ(insert(r, 10), 0);
  EXPECT_EQ(mainKeys(), (std::vector<std::pair<std::u16string, TnxRefNr>>{{u"other", 10}, {u"Word", 10}}));
  std::vector<std::uint8_t> changed = record({1u, "WORD more"});
  ASSERT_EQ(update(&r, 10, &changed, 10), 0);
  EXPECT_EQ(mainKeys(), (std::vector<std::pair<std::u16string, TnxRefNr>>{{u"more", 10}, {u"Word", 10}}));
  ASSERT_EQ(remove(changed, 10), 0);
  EXPECT_TRUE(mainKeys().empty());
}

TEST_F(MainIndexTest, CaseSensitiveKeepsBothAndRecordsShareWords) {
  buildMain(false, false);
  std::vector<std::uint8_t> a = record({1u, "Word word"});
  std::vector<std::uint8_t> b = record({2u, "word"});
  ASSERT_EQ(insert(a, 10), 0);
  ASSERT_EQ(insert(b, 11), 0);
  EXPECT_EQ(mainKeys().size(), 3u);
  ASSERT_EQ(remove(a, 10), 0);
  EXPECT_EQ(mainKeys(), (std::vector<std::pair<std::u16string, TnxRefNr>>{{u"word", 11}}));
}

TEST_F(MainIndexTest, RecordsOutsideTheKeyFilterAreSkipped) {
  buildMain(true, true);
  std::vector<std::uint8_t> low = record({5u, "kept"});
  std::vector<std::uint8_t> high = record({500u, "skipped"});
  ASSERT_EQ(insert(low, 1), 0);
  ASSERT_EQ(insert(high, 2), 0);
  EXPECT_EQ(mainKeys(), (std::vector<std::pair<std::u16string, TnxRefNr>>{{u"kept", 1}}));
  // Moving out of the filter removes the words; deleting the skipped one
  // touches nothing.
  std::vector<std::uint8_t> out = record({200u, "kept"});
  ASSERT_EQ(update(&low, 1, &out, 1), 0);
  EXPECT_TRUE(mainKeys().empty());
  ASSERT_EQ(remove(high, 2), 0);
}

}  // namespace
