// Full-text descriptors: the question bank's full-text schema through a
// dictionary round trip, hub naming and numbering, renumbering on field and
// index changes, token indexes with their B*-trees and keys, and streams.
#include <gtest/gtest.h>

#include <algorithm>

#include "nxllBde.h"
#include "nxllUtils.h"
#include "nxsdDataDictionaryFulltext.h"
#include "nxsdQuestionBank.h"
#include "nxsdTestSupport.h"

namespace {

using namespace nxsdtest;

constexpr std::int32_t kKeyword = 6;
constexpr std::int32_t kQuestState = 7;

struct ObjectFree {
  void operator()(platform::TObject* aObject) const { platform::TObject::free(aObject); }
};
template <class T>
using Owned = std::unique_ptr<T, ObjectFree>;

template <class T>
Bytes save(T& aItem, std::int32_t aClient = 47501) {
  TnxMemoryStream s;
  {
    TnxWriter w(s);
    aItem.SaveToWriter(w, aClient);
    w.FlushBuffer();
  }
  return bytesOf(s);
}

template <class T>
void load(T& aItem, const Bytes& b) {
  TnxMemoryStream s;
  s.WriteBuffer(b.data(), static_cast<std::int32_t>(b.size()));
  s.SetPosition(0);
  TnxReader r(s);
  aItem.LoadFromReader(r);
}

class FulltextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nxllUtilsInitialize();
    nxsdDataDictionaryInitialize(std::span<const nxString>());
    d = questionBank();
    d->_BaseName(u"qbnk");
  }
  void TearDown() override {
    d.reset();
    nxsdDataDictionaryFinalize();
    nxllUtilsFinalize();
  }

  // The location field LOC (nxtAutoInc) with the unique index ByLoc (number 3,
  // after the sequential access index, ID and ByCategory).
  void AddLocation() {
    d->FieldsDescriptor()->AddField(u"LOC", u"", nxtAutoInc, 0, 0, false);
    TnxIndexDescriptor* index = d->EnsureIndicesDescriptor()->AddIndex(u"ByLoc", 0, idNone, u"");
    static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(nxString(u"LOC"));
  }
  TnxFulltextDescriptor* Fulltext() {
    if (TnxFulltextDescriptor* found = nxFindFulltextDescriptor(d.get())) return found;
    return static_cast<TnxFulltextDescriptor*>(
        d->CustomDescsDescriptor()->AddCustom(nxFulltextDescriptorName, &TnxFulltextDescriptor::staticClassInfo()));
  }
  TnxFulltextIndexDescriptor* Body() {
    AddLocation();
    return Fulltext()->AddFulltextIndex(u"Body");
  }

  DictPtr d;
};

TEST_F(FulltextTest, QuestionBankFulltextRoundTrip) {
  EXPECT_EQ(nxFindFulltextDescriptor(d.get()), nullptr);
  TnxFulltextIndexDescriptor* body = Body();
  TnxFulltextDescriptor* ft = Fulltext();
  EXPECT_EQ(body->LocationIndexNumber(), 3);
  EXPECT_EQ(body->LocationIndex()->Name(), u"ByLoc");
  body->AddFieldTokenExtractor(kQuestState);
  body->AddFieldTokenExtractor(kKeyword);
  EXPECT_EQ(body->fidGetTokenExtractorName(0), u"QUEST_STATE");
  EXPECT_EQ(body->fidGetTokenExtractor(1)->Name(), u"KEYWORD");
  body->AddTokenFilter(u"Split", &TnxCategorySeparatorTokenFilterDescriptor::staticClassInfo());
  body->AddTokenFilter(u"Lower", &TnxLowercaseLocaleMappingTokenFilterDescriptor::staticClassInfo());
  body->AddTokenFilter(u"Compose", &TnxPreComposeFoldStringTokenFilterDescriptor::staticClassInfo());
  auto* replace = static_cast<TnxStringReplaceTokenFilterDescriptor*>(
      body->AddTokenFilter(u"Replace", &TnxStringReplaceTokenFilterDescriptor::staticClassInfo()));
  replace->AddItem(u"ｱ", u"ア", srkAll, false);
  replace->AddItem(u"colour", u"color", srkOne, true);
  replace->AddItem(u"DB", u"データベース", srkWhole, true);
  auto* tokens = static_cast<TnxBitArrayTokenIndexDescriptor*>(body->AddTokenIndex(u""));
  EXPECT_EQ(tokens->Name(), u"Default");
  tokens->AddIndex(0);
  tokens->AddReverseIndex(0);
  EXPECT_EQ(tokens->BitArrayStorageHandler(), nullptr);
  EXPECT_EQ(ft->BlobDescriptor(), nullptr);

  d->CheckValid(true);
  ASSERT_NE(tokens->BitArrayStorageHandler(), nullptr);
  EXPECT_TRUE(tokens->BitArrayStorageHandler()->is<TnxSimpleBitArrayStorageHandlerDescriptor>());
  ASSERT_NE(ft->BlobDescriptor(), nullptr);
  EXPECT_TRUE(ft->BlobDescriptor()->is<TnxHeapBlobDescriptor>());
  EXPECT_EQ(ft->BlobDescriptor()->HeaderSection(), "Fulltext$Blob");
  EXPECT_EQ(ft->IndicesDescriptor()->HeaderSection(), "Fulltext$Indices");
  ASSERT_EQ(ft->IndicesDescriptor()->IndexCount(), 2);
  EXPECT_EQ(tokens->IndexDescriptor()->Name(), u"Body$Default");
  EXPECT_EQ(tokens->ReverseIndexDescriptor()->Name(), u"Body$Default$Reverse");
  EXPECT_FALSE(static_cast<TnxBitArrayTokenKeyDescriptor*>(tokens->IndexDescriptor()->KeyDescriptor())->Reverse());
  EXPECT_TRUE(
      static_cast<TnxBitArrayTokenKeyDescriptor*>(tokens->ReverseIndexDescriptor()->KeyDescriptor())->Reverse());

  const Bytes written = writeDict(*d, 47501);
  // The category set goes into the stream raw, after its version.
  const Bytes raw = B().Int(1).Raw({0x00, 0x0E, 0xE0, 0x03, 0x00, 0x30, 0x20}).b;
  EXPECT_NE(std::search(written.begin(), written.end(), raw.begin(), raw.end()), written.end());
  DictPtr back = newDictionary();
  readDict(*back, written);
  EXPECT_TRUE(back->IsEqual(d.get()));
  EXPECT_TRUE(d->IsEqual(back.get()));
  const Bytes again = writeDict(*back, 47501);
  EXPECT_EQ(again, written) << streamDiff(again, written);

  TnxFulltextDescriptor* ft2 = nxFindFulltextDescriptor(back.get());
  ASSERT_NE(ft2, nullptr);
  TnxFulltextIndexDescriptor* body2 = ft2->FulltextIndex(0);
  EXPECT_EQ(body2->Name(), u"Body");
  EXPECT_EQ(body2->fidGetTokenFilterName(3), u"Replace");
  const auto& set = static_cast<TnxCategorySeparatorTokenFilterDescriptor*>(body2->fidGetTokenFilter(0))
                        ->SeparatorCategories();
  EXPECT_EQ(Bytes(set.Bits, set.Bits + 7), (Bytes{0x00, 0x0E, 0xE0, 0x03, 0x00, 0x30, 0x20}));
  const auto* replace2 = static_cast<TnxStringReplaceTokenFilterDescriptor*>(body2->fidGetTokenFilter(3));
  EXPECT_EQ(replace2->Items(), replace->Items());
  auto* tokens2 = static_cast<TnxBitArrayTokenIndexDescriptor*>(body2->fidGetTokenIndex(0));
  EXPECT_NE(tokens2->BitArrayStorageHandler(), nullptr);
  EXPECT_EQ(tokens2->IndexDescriptor()->Name(), u"Body$Default");
  // Read-only: every change is refused.
  back->MakeReadOnly();
  expectCode([&] { body2->AddTokenFilter(u"More"); }, nxErrDictionaryReadOnly);
  expectCode([&] { tokens2->SetMaxTokenSize(10); }, nxErrDictionaryReadOnly);
}

TEST_F(FulltextTest, FulltextIndexNamesAndLocationIndex) {
  TnxFulltextDescriptor* ft = Fulltext();
  // ID is nxtInt32 and not unique; made unique it is still no location.
  d->IndicesDescriptor()->Indices(1)->SetDups(idNone);
  expectCode<EnxFulltextIndexDescriptorException>([&] { ft->AddFulltextIndex(u""); }, nxErrInvalidDesc,
                                                  u"Invalid location index (-1)");
  EXPECT_EQ(ft->FulltextIndexCount(), 0);

  AddLocation();
  EXPECT_EQ(ft->AddFulltextIndex(u"")->Name(), u"Default");
  expectCode([&] { ft->AddFulltextIndex(u""); }, nxErrNameNotUnique);
  expectCode([&] { ft->AddFulltextIndex(u"DEFAULT"); }, nxErrNameNotUnique);
  expectCode([&] { ft->AddFulltextIndex(u" Body"); }, nxErrInvalidName);
  expectCode([&] { ft->AddFulltextIndex(u"Other", nullptr, 1); }, nxErrInvalidDesc, u"Invalid location index (1)");
  EXPECT_EQ(ft->FulltextIndexCount(), 1);
  ft->RemoveFulltextIndex(u"default");
  EXPECT_EQ(ft->FulltextIndexCount(), 0);
}

TEST_F(FulltextTest, HubNamesAndNumbers) {
  TnxFulltextIndexDescriptor* body = Body();
  // Extractors: no default name; filters and token indexes: "Default".
  expectCode<EnxTokenExtractorHubDescriptorException>([&] { body->AddTokenExtractor(u""); }, nxErrInvalidName);
  EXPECT_EQ(body->AddTokenFilter(u"")->Name(), u"Default");
  expectCode<EnxTokenFilterHubDescriptorException>([&] { body->AddTokenFilter(u"default"); }, nxErrNameNotUnique);
  EXPECT_EQ(body->AddTokenIndex(u"")->Name(), u"Default");
  EXPECT_EQ(body->TokenFilterHub()->Number(), 0);

  EXPECT_EQ(body->AddFieldTokenExtractor(2)->Name(), u"NUMBER");
  EXPECT_EQ(body->AddFieldTokenExtractor(3, u"  Cat ")->Name(), u"Cat");
  expectCode<EnxTokenExtractorHubDescriptorException>([&] { body->AddFieldTokenExtractor(99); },
                                                      nxErrInvalidDescNumber, u"Invalid field number: 99");
  expectCode<EnxFieldTokenExtractorDescriptorException>([&] { body->AddFieldTokenExtractor(99, u"Far"); },
                                                        nxErrInvalidDescNumber);
  EXPECT_EQ(body->TokenExtractorCount(), 2);  // the failed one is gone again
  body->AddFieldTokenExtractor(kKeyword);

  // Removing the second of three renumbers the third.
  body->RemoveTokenExtractor(1);
  ASSERT_EQ(body->TokenExtractorCount(), 2);
  auto* third = body->fidGetTokenExtractor(1);
  EXPECT_EQ(third->Number(), 1);
  EXPECT_EQ(third->Name(), u"KEYWORD");
  body->RemoveTokenExtractor(u"keyword");
  body->RemoveTokenExtractor(7);  // outside: nothing
  EXPECT_EQ(body->TokenExtractorCount(), 1);
  EXPECT_EQ(body->fidGetTokenExtractor(-1), body->TokenExtractorHub());

  // Nested hubs and an extractor's own filters.
  TnxTokenExtractorHubDescriptor* nested = body->AddTokenExtractorHub(u"Nested");
  nested->AddFieldTokenExtractor(kQuestState);
  EXPECT_EQ(nested->tehdGetTokenExtractor(0)->Name(), u"QUEST_STATE");
  EXPECT_EQ(nested->AddTokenFilter(u"")->Name(), u"Default");
  EXPECT_EQ(nested->TokenFilterCount(), 1);
}

TEST_F(FulltextTest, FieldExtractorsFollowFieldChanges) {
  TnxFulltextIndexDescriptor* body = Body();
  auto* keyword = static_cast<TnxFieldTokenExtractorDescriptor*>(body->AddFieldTokenExtractor(kKeyword));
  TnxFieldsDescriptor* fields = d->FieldsDescriptor();
  fields->MoveField(10, 0);  // from behind it to the front
  EXPECT_EQ(keyword->FieldNumber(), kKeyword + 1);
  EXPECT_EQ(keyword->Field()->Name(), u"KEYWORD");
  fields->MoveField(kKeyword + 1, 12);
  EXPECT_EQ(keyword->FieldNumber(), 12);
  fields->MoveField(0, 10);  // both in front: no change
  EXPECT_EQ(keyword->FieldNumber(), 12);
  fields->MoveField(0, 15);  // from in front to behind it
  EXPECT_EQ(keyword->FieldNumber(), 11);
  // The index ByCategory vetoes the removal too; subscribers are asked in address order, so either may
  // answer first: the extractor's own veto is asked of it directly.
  const std::int32_t count = fields->FieldCount();
  expectCode<EnxBaseException>([&] { fields->RemoveField(11); }, nxErrObjectInUse,
                               u"Cannot remove field KEYWORD because it is still referenced by an index");
  EXPECT_EQ(fields->FieldCount(), count);
  expectCode<EnxFieldTokenExtractorDescriptorException>(
      [&] { keyword->HandleFieldChange(true, 11, -1); }, nxErrObjectInUse,
      u"Cannot remove field KEYWORD because it is still referenced by an index");
  EXPECT_EQ(keyword->FieldNumber(), 11);
  fields->RemoveField(1);
  EXPECT_EQ(keyword->FieldNumber(), 10);
  EXPECT_EQ(keyword->Field()->Name(), u"KEYWORD");
  // An unset extractor stays unset.
  auto* unset = static_cast<TnxFieldTokenExtractorDescriptor*>(body->AddTokenExtractor(u"Unset"));
  fields->InsertFieldAt(0, u"FIRST", u"", nxtInt32, 0, 0, false);
  EXPECT_EQ(unset->FieldNumber(), -1);
  expectCode([&] { body->CheckValid(false); }, nxErrInvalidDescNumber, u"Invalid field number: -1");
}

TEST_F(FulltextTest, LocationIndexFollowsIndexChanges) {
  TnxFulltextIndexDescriptor* body = Body();
  TnxMainIndicesDescriptor* indices = d->IndicesDescriptor();
  indices->MoveIndex(3, 0);
  EXPECT_EQ(body->LocationIndexNumber(), 0);
  indices->InsertIndexAt(0, u"Front", 0, idAll, u"");
  EXPECT_EQ(body->LocationIndexNumber(), 1);
  expectCode<EnxFulltextIndexDescriptorException>(
      [&] { indices->RemoveIndex(1); }, nxErrObjectInUse,
      u"Cannot remove index ByLoc because it is still referenced by a fulltext index");
  EXPECT_EQ(indices->IndexCount(), 5);
  indices->RemoveIndex(0);
  EXPECT_EQ(body->LocationIndexNumber(), 0);
  EXPECT_EQ(body->LocationIndex()->Name(), u"ByLoc");
}

TEST_F(FulltextTest, FilterStreamsAndEquality) {
  TnxFulltextIndexDescriptor* body = Body();
  auto* space = static_cast<TnxWideCharSeparatorTokenFilterDescriptor*>(body->AddTokenFilter(u"Space"));
  auto* dot = static_cast<TnxWideCharSeparatorTokenFilterDescriptor*>(body->AddTokenFilter(u"Dot"));
  dot->SetSeparatorChar(u'。');
  dot->SetSeparatorDistance(3);
  EXPECT_TRUE(space->IsEqual(dot));  // filters compare as items only
  auto* custom = static_cast<TnxCustomLocaleMappingTokenFilterDescriptor*>(
      body->AddTokenFilter(u"Custom", &TnxCustomLocaleMappingTokenFilterDescriptor::staticClassInfo()));
  custom->SetFlags(0x80000200u);
  auto* fold = static_cast<TnxCustomFoldStringTokenFilterDescriptor*>(
      body->AddTokenFilter(u"Fold", &TnxCustomFoldStringTokenFilterDescriptor::staticClassInfo()));
  fold->SetFlags(0x60);
  EXPECT_EQ(static_cast<TnxBaseLocaleMappingTokenFilterDescriptor*>(
                body->AddTokenFilter(u"Upper", &TnxUppercaseLocaleMappingTokenFilterDescriptor::staticClassInfo()))
                ->Flags(),
            512u);
  EXPECT_EQ(static_cast<TnxBaseFoldStringTokenFilterDescriptor*>(
                body->AddTokenFilter(u"Decompose", &TnxDecomposeFoldStringTokenFilterDescriptor::staticClassInfo()))
                ->Flags(),
            64u);

  const Bytes hub = save(*body->TokenFilterHub());
  Owned<TnxTokenFilterHubDescriptor> copy(platform::create<TnxTokenFilterHubDescriptor>(nullptr));
  load(*copy, hub);
  ASSERT_EQ(copy->TokenFilterCount(), 6);
  auto* dot2 = static_cast<TnxWideCharSeparatorTokenFilterDescriptor*>(copy->tfhdGetTokenFilter(1));
  EXPECT_EQ(dot2->SeparatorChar(), u'。');
  EXPECT_EQ(dot2->SeparatorDistance(), 3);
  EXPECT_EQ(static_cast<TnxCustomLocaleMappingTokenFilterDescriptor*>(copy->tfhdGetTokenFilter(2))->Flags(),
            0x80000200u);
  EXPECT_EQ(static_cast<TnxCustomFoldStringTokenFilterDescriptor*>(copy->tfhdGetTokenFilter(3))->Flags(), 0x60u);
  EXPECT_EQ(copy->tfhdGetTokenFilterName(5), u"Decompose");
  EXPECT_EQ(save(*copy), hub);
}

TEST_F(FulltextTest, StringReplaceItems) {
  Owned<TnxStringReplaceTokenFilterDescriptor> f(platform::create<TnxStringReplaceTokenFilterDescriptor>(nullptr));
  EXPECT_EQ(f->AddItem(u"a", u"b", srkWhole, false), 0);
  EXPECT_EQ(f->AddItem(u"c", u"d", srkOne, true), 1);
  EXPECT_EQ(f->AddItem(u"e", u"f", srkAll, false), 2);
  f->MoveItem(0, 2);
  EXPECT_EQ(f->srtfdGetOldPattern(0), u"e");
  EXPECT_EQ(f->srtfdGetOldPattern(2), u"a");
  f->srtfdSetNewPattern(1, u"D");
  f->srtfdSetIgnoreCase(1, false);
  f->RemoveItem(0);
  ASSERT_EQ(f->ItemCount(), 2);
  EXPECT_EQ(f->srtfdGetNewPattern(0), u"D");
  EXPECT_EQ(f->srtfdGetReplaceKind(0), srkOne);
  for (std::int32_t bad : {-1, 2}) {
    try {
      f->srtfdGetOldPattern(bad);
      ADD_FAILURE() << bad;
    } catch (const EnxStringReplaceTokenFilterDescriptorException& e) {
      EXPECT_EQ(e.ErrorCode(), 0);
      EXPECT_NE(e.Message().find(u"Index out of bounds: " + platform::fromUtf8(std::to_string(bad))), nxString::npos)
          << platform::toUtf8(e.Message());
    }
  }
  // A stream's items replace the present ones exactly.
  const Bytes b = save(*f);
  Owned<TnxStringReplaceTokenFilterDescriptor> g(platform::create<TnxStringReplaceTokenFilterDescriptor>(nullptr));
  g->AddItem(u"x", u"y", srkAll, true);
  load(*g, b);
  EXPECT_EQ(g->Items(), f->Items());
}

TEST_F(FulltextTest, HubStreamsAreChecked) {
  TnxFulltextIndexDescriptor* body = Body();
  body->AddTokenFilter(u"One");
  auto* two = static_cast<TnxBaseTokenFilterDescriptor*>(body->AddTokenFilter(u"Two"));
  const Bytes good = save(*body->TokenFilterHub());

  // A member whose number is not its position.
  two->SetNumber(5);
  const Bytes misnumbered = save(*body->TokenFilterHub());
  two->SetNumber(1);
  Owned<TnxTokenFilterHubDescriptor> hub(platform::create<TnxTokenFilterHubDescriptor>(nullptr));
  expectCode([&] { load(*hub, misnumbered); }, nxErrIncompatibleStream);

  // An unknown member class.
  Bytes unknown = good;
  const std::string from = "TnxWideCharSeparatorTokenFilterDescriptor";
  const std::string to = "TnxWideCharSeparatorTokenFilterDescriptoX";
  auto at = std::search(unknown.begin(), unknown.end(), from.begin(), from.end());
  ASSERT_NE(at, unknown.end());
  std::copy(to.begin(), to.end(), at);
  expectCode<EnxTokenFilterHubDescriptorException>(
      [&] { load(*hub, unknown); }, nxErrUnsupportedDescriptor,
      u"TokenFilterDescriptor class is not supported: TnxWideCharSeparatorTokenFilterDescriptoX");

  load(*hub, good);
  EXPECT_EQ(hub->TokenFilterCount(), 2);
  EXPECT_TRUE(hub->IsEqual(body->TokenFilterHub()));
}

TEST_F(FulltextTest, BitArrayTokenIndexStream) {
  Owned<TnxBitArrayTokenIndexDescriptor> index(platform::create<TnxBitArrayTokenIndexDescriptor>(nullptr));
  const auto filterHub = [] {
    return B().Item(0).Int(1).Int(1).Int(1).Int(0).Int(1).Int(1).Int(1).ListBegin().ListEnd();
  };
  const auto stream = [&](std::int32_t aSize) {
    return B().Item(0).Int(1).Int(1).Int(1).Int(0).Int(1).Add(filterHub().b).Int(1).Int(aSize).Bool(false)
        .Bool(true).Bool(false).b;
  };
  EXPECT_EQ(save(*index), stream(20));

  // The setter clamps; a stream must hold a size a key can carry.
  const struct {
    std::int32_t set, kept;
  } clamps[] = {{0, 1}, {-7, 1}, {1, 1}, {1024, 1024}, {5000, 1024}};
  for (const auto& c : clamps) {
    index->SetMaxTokenSize(c.set);
    EXPECT_EQ(index->MaxTokenSize(), c.kept) << c.set;
  }
  load(*index, stream(1024));
  EXPECT_EQ(index->MaxTokenSize(), 1024);
  for (std::int32_t bad : {0, -1, 1025, 0x7FFFFFFF})
    expectCode<EnxBitArrayTokenIndexDescriptorException>([&] { load(*index, stream(bad)); },
                                                         nxErrIncompatibleStream);
}

TEST_F(FulltextTest, TokenKeyLengthsAndStreams) {
  Owned<TnxBitArrayTokenKeyDescriptor> bit(platform::create<TnxBitArrayTokenKeyDescriptor>(nullptr));
  Owned<TnxMainIndexTokenKeyDescriptor> main(platform::create<TnxMainIndexTokenKeyDescriptor>(nullptr));
  EXPECT_EQ(bit->KeyLen(), 44u);
  bit->SetPerFieldIndex(true);
  EXPECT_EQ(bit->KeyLen(), 46u);
  EXPECT_EQ(main->KeyLen(), 42u);
  main->SetIncludeLocation(true);
  EXPECT_EQ(main->KeyLen(), 46u);
  EXPECT_FALSE(bit->CanContainNulls());
  EXPECT_FALSE(main->CanContainNulls());
  // No key has a negative size.
  bit->SetMaxTokenSize(-3);
  EXPECT_EQ(bit->KeyLen(), 0xFFFFFFFFu);

  // Version 2 only with the location, and only for clients from 20700.
  main->SetMaxTokenSize(30);
  main->SetLocale(1041);
  main->SetFlags(1);
  const Bytes base = B().Item(0).Ident("BKD").Int(1).Bool(false).b;
  EXPECT_EQ(save(*main), B().Add(base).Int(2).Int(30).Int(1041).Int(1).Bool(true).b);
  expectCode<EnxFilesDescriptorException>([&] { save(*main, 20699); }, nxErrIncompatibleVersion);
  Owned<TnxMainIndexTokenKeyDescriptor> copy(platform::create<TnxMainIndexTokenKeyDescriptor>(nullptr));
  load(*copy, save(*main));
  EXPECT_TRUE(copy->IsEqual(main.get()));
  main->SetIncludeLocation(false);
  const Bytes v1 = save(*main, 20000);
  EXPECT_EQ(v1, B().Add(base).Int(1).Int(30).Int(1041).Int(1).b);
  load(*copy, v1);
  EXPECT_FALSE(copy->IncludeLocation());
  EXPECT_TRUE(copy->IsEqual(main.get()));
  expectCode<EnxMainIndexTokenKeyDescriptorException>(
      [&] { load(*copy, B().Add(base).Int(3).Int(30).Int(0).Int(0).b); }, nxErrIncompatibleStream);
}

TEST_F(FulltextTest, BitArrayIndexesFollowTheTokenIndex) {
  TnxFulltextIndexDescriptor* body = Body();
  auto* tokens = static_cast<TnxBitArrayTokenIndexDescriptor*>(body->AddTokenIndex(u"Words"));
  tokens->SetMaxTokenSize(12);
  tokens->SetPerFieldIndex(true);
  tokens->AddIndex(0);
  tokens->AddReverseIndex(0);
  TnxTokenIndicesDescriptor* list = Fulltext()->IndicesDescriptor();
  ASSERT_EQ(list->IndexCount(), 2);
  EXPECT_EQ(list->Indices(1)->Name(), u"Body$Words$Reverse");
  EXPECT_EQ(list->Indices(0)->Dups(), idNone);
  auto key = [&](std::int32_t i) { return static_cast<TnxBitArrayTokenKeyDescriptor*>(list->Indices(i)->KeyDescriptor()); };
  // The table's locale 1041 reached both keys when they were made.
  for (std::int32_t i : {0, 1}) {
    EXPECT_EQ(key(i)->MaxTokenSize(), 12);
    EXPECT_TRUE(key(i)->PerFieldIndex());
    EXPECT_EQ(key(i)->Locale(), 1041u);
  }
  // A locale of the token index's own, and changed settings, reach both keys.
  TnxLocaleDescriptor* locale = tokens->AddLocaleDescriptor();
  locale->SetLocale(1033);
  locale->SetIgnoreKanaType(true);
  tokens->SetMaxTokenSize(30);
  tokens->SetPerFieldIndex(false);
  key(1)->SetReverse(false);
  tokens->CheckValid(false);
  for (std::int32_t i : {0, 1}) {
    EXPECT_EQ(key(i)->Locale(), 1033u);
    EXPECT_EQ(key(i)->Flags(), locale->Flags());
    EXPECT_EQ(key(i)->MaxTokenSize(), 30);
    EXPECT_FALSE(key(i)->PerFieldIndex());
    EXPECT_EQ(key(i)->Reverse(), i == 1);
  }
  EXPECT_NE(locale->Flags(), 0u);

  // An index whose key is no bit-array token key is refused.
  list->RemoveIndex(u"Body$Words$Reverse");
  list->AddIndex(u"Body$Words$Reverse", 0, idNone, u"");
  expectCode<EnxBitArrayTokenIndexDescriptorException>([&] { tokens->CheckValid(false); }, nxErrInvalidDesc);
  tokens->RemoveReverseIndex();
  EXPECT_EQ(tokens->ReverseIndexDescriptor(), nullptr);

  // Destroying the token index removes its B*-trees.
  body->AddTokenIndex(u"Other");
  static_cast<TnxBitArrayTokenIndexDescriptor*>(body->fidGetTokenIndex(1))->AddIndex(0);
  EXPECT_EQ(list->IndexCount(), 2);
  body->RemoveTokenIndex(u"words");
  ASSERT_EQ(list->IndexCount(), 1);
  EXPECT_EQ(list->Indices(0)->Name(), u"Body$Other");
  EXPECT_EQ(body->fidGetTokenIndex(0)->Number(), 0);
  // An emptied list leaves a dictionary that is valid and reads back.
  body->RemoveTokenIndex(0);
  EXPECT_EQ(list->IndexCount(), 0);
  EXPECT_NO_THROW(d->CheckValid(false));
  DictPtr back = newDictionary();
  readDict(*back, writeDict(*d, 47501));
  EXPECT_TRUE(back->IsEqual(d.get()));
}

TEST_F(FulltextTest, MainIndexTokenIndex) {
  TnxFulltextIndexDescriptor* body = Body();
  TnxMainIndicesDescriptor* indices = d->IndicesDescriptor();
  indices->AddIndex(u"Tokens", 0, idAll, u"", &TnxMainIndexTokenKeyDescriptor::staticClassInfo());
  auto* tokens = static_cast<TnxMainIndexTokenIndexDescriptor*>(
      body->AddTokenIndex(u"Main", &TnxMainIndexTokenIndexDescriptor::staticClassInfo()));
  EXPECT_EQ(tokens->MainIndexNumber(), -1);
  EXPECT_TRUE(tokens->IgnoreCase());
  expectCode<EnxMainIndexTokenIndexDescriptorException>([&] { tokens->CheckValid(false); }, nxErrNoSuchIndex);
  expectCode<EnxMainIndexTokenIndexDescriptorException>([&] { tokens->SetMainIndexNumber(5); }, nxErrNoSuchIndex);
  expectCode<EnxMainIndexTokenIndexDescriptorException>([&] { tokens->SetMainIndexNumber(0); }, nxErrInvalidDesc,
                                                        u"Index must use a TnxMainIndexTokenIndexKeyDescriptor");
  tokens->SetMainIndexNumber(4);
  auto* key = static_cast<TnxMainIndexTokenKeyDescriptor*>(tokens->MainIndex()->KeyDescriptor());

  // The table's locale with NORM_IGNORECASE added.
  d->LocaleDescriptor()->SetIgnoreWidth(true);
  tokens->CheckValid(false);
  EXPECT_EQ(key->Locale(), 1041u);
  EXPECT_EQ(key->Flags(), d->LocaleDescriptor()->Flags() + 1);
  tokens->SetIgnoreCase(false);
  tokens->CheckValid(false);
  EXPECT_EQ(key->Flags(), d->LocaleDescriptor()->Flags());

  // The reference follows moves; the index cannot be removed.
  indices->MoveIndex(4, 0);
  EXPECT_EQ(tokens->MainIndexNumber(), 0);
  EXPECT_EQ(body->LocationIndexNumber(), 4);
  expectCode<EnxMainIndexTokenIndexDescriptorException>(
      [&] { indices->RemoveIndex(0); }, nxErrObjectInUse,
      u"Cannot remove index Tokens because it is still referenced by a fulltext index");
  EXPECT_EQ(tokens->MainIndex()->Name(), u"Tokens");

  // Equality compares the number, not IgnoreCase.
  auto* other = static_cast<TnxMainIndexTokenIndexDescriptor*>(
      body->AddTokenIndex(u"Other", &TnxMainIndexTokenIndexDescriptor::staticClassInfo()));
  other->SetMainIndexNumber(0);
  other->SetIgnoreCase(true);
  EXPECT_TRUE(other->IsEqual(tokens));
}

// A token index with a locale of its own (1033 on a 1041 table): its keys
// keep that locale when the dictionary is read back and checked again, for
// both kinds of token index.
TEST_F(FulltextTest, TokenIndexOwnLocaleSurvivesTheStream) {
  TnxFulltextIndexDescriptor* body = Body();
  d->IndicesDescriptor()->AddIndex(u"Tokens", 0, idAll, u"", &TnxMainIndexTokenKeyDescriptor::staticClassInfo());
  auto* main = static_cast<TnxMainIndexTokenIndexDescriptor*>(
      body->AddTokenIndex(u"Main", &TnxMainIndexTokenIndexDescriptor::staticClassInfo()));
  main->SetMainIndexNumber(4);
  main->AddLocaleDescriptor()->SetLocale(1033);
  auto* bits = static_cast<TnxBitArrayTokenIndexDescriptor*>(body->AddTokenIndex(u"Words"));
  bits->AddIndex(0);
  bits->AddReverseIndex(0);
  bits->AddLocaleDescriptor()->SetLocale(1033);
  d->CheckValid(true);

  const auto keyLocales = [](TnxDataDictionary& aDict) {
    std::vector<std::uint32_t> r;
    r.push_back(static_cast<TnxMainIndexTokenKeyDescriptor*>(
                    aDict.IndicesDescriptor()->GetDescriptorFromName(u"Tokens")->KeyDescriptor())
                    ->Locale());
    TnxTokenIndicesDescriptor* list = nxFindFulltextDescriptor(&aDict)->IndicesDescriptor();
    for (std::int32_t i = 0; i < list->IndexCount(); ++i)
      r.push_back(static_cast<TnxBitArrayTokenKeyDescriptor*>(list->Indices(i)->KeyDescriptor())->Locale());
    return r;
  };
  const std::vector<std::uint32_t> built = keyLocales(*d);
  EXPECT_EQ(built, (std::vector<std::uint32_t>{1033, 1033, 1033}));
  const Bytes stream = writeDict(*d, 47501);
  DictPtr back = newDictionary();
  readDict(*back, stream);
  EXPECT_EQ(keyLocales(*back), built);
  // Reading changes nothing stored: the ID counter stays, the stream is the same.
  EXPECT_EQ(back->CurrentID(), d->CurrentID());
  EXPECT_EQ(writeDict(*back, 47501), stream);
  TnxFulltextDescriptor* backFulltext = nxFindFulltextDescriptor(back.get());
  TnxFulltextIndexDescriptor* backBody = backFulltext->FulltextIndex(backFulltext->GetFulltextIndexFromName(u"Body"));
  ASSERT_NE(backBody, nullptr);
  for (std::int32_t i = 0; i < 2; ++i) {
    TnxLocaleDescriptor* used = backBody->fidGetTokenIndex(i)->UsedLocaleDescriptor();
    ASSERT_NE(used, nullptr);
    EXPECT_EQ(used->Locale(), 1033u);
  }
  // Checked again, also for a build, the keys stay as they were built.
  back->CheckValid(false);
  back->CheckValid(true);
  EXPECT_EQ(keyLocales(*back), built);
  // The same table without the own locales keeps the table's.
  main->RemoveLocaleDescriptor();
  bits->RemoveLocaleDescriptor();
  d->CheckValid(true);
  DictPtr plain = newDictionary();
  readDict(*plain, writeDict(*d, 47501));
  EXPECT_EQ(keyLocales(*plain), (std::vector<std::uint32_t>{1041, 1041, 1041}));
}

TEST_F(FulltextTest, StorageHandlerIsNotStoredAndTakesNoID) {
  TnxFulltextIndexDescriptor* body = Body();
  auto* tokens = static_cast<TnxBitArrayTokenIndexDescriptor*>(body->AddTokenIndex(u""));
  tokens->AddIndex(0);
  d->CheckValid(false);
  const std::int32_t counter = d->CurrentID();
  tokens->RemoveBitArrayStorageHandler();
  tokens->CheckValid(false);
  ASSERT_NE(tokens->BitArrayStorageHandler(), nullptr);
  EXPECT_EQ(d->CurrentID(), counter);
  EXPECT_EQ(tokens->BitArrayStorageHandler()->ID(), 0);
}

}  // namespace
