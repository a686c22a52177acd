// Full-text table engines: the table-side tree built from a full-text
// descriptor, and the bit arrays of the storage handler byte for byte.
#include <gtest/gtest.h>

#include "nxseFulltextTestSupport.h"

namespace {

using namespace nxtest;

class FulltextTableTest : public FulltextTest {
 protected:
  // One full-text index with a bit-array token index.
  void buildBitArrays() {
    build([](TnxServerDataDict& d) {
      TnxFulltextIndexDescriptor* body = fulltextOf(&d)->AddFulltextIndex(u"Body");
      body->AddFieldTokenExtractor(fText);
      addBitArrayIndex(body);
    });
  }
  TnxBaseBitArrayStorageHandlerTableEngine* storage() {
    return bitArrayIndex()->batiteBitArrayStorageHandlerTableEngine;
  }
  std::vector<std::uint8_t> read(TnxBlobNr aRef) {
    TnxOwned<TestTransaction> trans(newTransaction());
    std::vector<std::uint8_t> b = blob(trans.get(), aRef);
    trans->Rollback();
    return b;
  }
  template <class F>
  void inTrans(F&& aBody) {
    TnxOwned<TestTransaction> trans(newTransaction());
    aBody(trans.get());
    trans->Commit();
  }
};

TEST_F(FulltextTableTest, BitArraysByteForByte) {
  buildBitArrays();
  TnxBlobNr zero = 0, nine = 0;
  inTrans([&](TnxBaseTransaction* t) {
    zero = storage()->CreateNew(t, 0);
    nine = storage()->CreateNew(t, 9);
  });
  EXPECT_EQ(read(zero), bits({1, 0, 0, 0, 0x01}));
  EXPECT_EQ(read(nine), bits({1, 0, 0, 0, 0x00, 0x02}));
  // Bit 20 lies beyond the end: the bitmap grows up to its byte.
  inTrans([&](TnxBaseTransaction* t) { storage()->SetBit(t, 20, nine); });
  EXPECT_EQ(read(nine), bits({2, 0, 0, 0, 0x00, 0x02, 0x10}));
  // Clearing a bit below the top keeps the length.
  inTrans([&](TnxBaseTransaction* t) { EXPECT_FALSE(storage()->ClearBit(t, 20, nine)); });
  EXPECT_EQ(read(nine), bits({1, 0, 0, 0, 0x00, 0x02, 0x00}));
  EXPECT_EQ(checkFile(), "");
}

TEST_F(FulltextTableTest, InconsistentBitsAreKeyViolations) {
  buildBitArrays();
  TnxBlobNr ref = 0;
  inTrans([&](TnxBaseTransaction* t) { ref = storage()->CreateNew(t, 9); });
  struct Case {
    const char* what;
    std::function<void(TnxBaseTransaction*)> body;
  };
  const Case cases[] = {
      {"set a set bit", [&](TnxBaseTransaction* t) { storage()->SetBit(t, 9, ref); }},
      {"clear a clear bit", [&](TnxBaseTransaction* t) { storage()->ClearBit(t, 8, ref); }},
      {"clear beyond the bitmap", [&](TnxBaseTransaction* t) { storage()->ClearBit(t, 100, ref); }},
  };
  for (const Case& c : cases) {
    TnxOwned<TestTransaction> trans(newTransaction());
    expectFails(nxErrKeyViolation, [&] { c.body(trans.get()); }, c.what);
    trans->Rollback();
  }
  EXPECT_EQ(read(ref), bits({1, 0, 0, 0, 0x00, 0x02}));
}

TEST_F(FulltextTableTest, ClearingTheLastBitDeletesTheBlob) {
  buildBitArrays();
  TnxBlobNr ref = 0;
  inTrans([&](TnxBaseTransaction* t) {
    ref = storage()->CreateNew(t, 3);
    storage()->SetBit(t, 12, ref);
  });
  inTrans([&](TnxBaseTransaction* t) {
    EXPECT_FALSE(storage()->ClearBit(t, 3, ref));
    EXPECT_TRUE(storage()->ClearBit(t, 12, ref));
  });
  // The BLOB is gone: its block is free again, the next array takes it.
  EXPECT_EQ(checkFile(), "");
  TnxBlobNr next = 0;
  inTrans([&](TnxBaseTransaction* t) { next = storage()->CreateNew(t, 0); });
  EXPECT_EQ(next & 0xFFFFFFFFu, ref & 0xFFFFFFFFu);
  EXPECT_EQ(read(next), bits({1, 0, 0, 0, 0x01}));
}

TEST_F(FulltextTableTest, TreeMirrorsTheDescriptors) {
  build([](TnxServerDataDict& d) {
    TnxFulltextDescriptor* ft = fulltextOf(&d);
    TnxFulltextIndexDescriptor* body = ft->AddFulltextIndex(u"Body");
    body->AddFieldTokenExtractor(fText);
    auto* title = body->AddFieldTokenExtractor(fTitle);
    title->AddTokenFilter(u"Lower", &TnxLowercaseLocaleMappingTokenFilterDescriptor::staticClassInfo());
    body->AddTokenFilter(u"Split", &TnxCategorySeparatorTokenFilterDescriptor::staticClassInfo());
    body->AddTokenFilter(u"Replace", &TnxStringReplaceTokenFilterDescriptor::staticClassInfo());
    addBitArrayIndex(body, true);
    TnxFulltextIndexDescriptor* other = ft->AddFulltextIndex(u"Other");
    other->AddFieldTokenExtractor(fTitle);
    addBitArrayIndex(other, false, u"Keys")->AddTokenFilter(u"Upper",
                                                            &TnxUppercaseLocaleMappingTokenFilterDescriptor::staticClassInfo());
  });
  ASSERT_EQ(tableEngine_->FulltextIndexCount(), 2);
  TnxFulltextIndexTableEngine* body = tableEngine_->FulltextIndex(0);
  TnxFulltextIndexTableEngine* other = tableEngine_->FulltextIndex(1);
  EXPECT_EQ(body->fiteFulltextIndexDescriptor->Name(), u"Body");
  EXPECT_EQ(other->fiteFulltextIndexDescriptor->Name(), u"Other");

  ASSERT_EQ(body->TokenExtractorCount(), 2);
  EXPECT_EQ(body->fiteGetTokenExtractor(-1), body->fiteTokenExtractorHub);
  EXPECT_TRUE(body->fiteGetTokenExtractor(0)->is<TnxFieldTokenExtractorTableEngine>());
  EXPECT_EQ(body->fiteGetTokenExtractor(0)->TokenFilterCount(), 0);
  EXPECT_EQ(body->fiteGetTokenExtractor(0)->bteteGetTokenFilter(-1), nullptr);
  ASSERT_EQ(body->fiteGetTokenExtractor(1)->TokenFilterCount(), 1);
  EXPECT_TRUE(body->fiteGetTokenExtractor(1)->bteteGetTokenFilter(0)->is<TnxLowercaseLocaleMappingTokenFilterTableEngine>());
  ASSERT_EQ(body->TokenFilterCount(), 2);
  EXPECT_TRUE(body->fiteGetTokenFilter(0)->is<TnxCategorySeparatorTokenFilterTableEngine>());
  EXPECT_TRUE(body->fiteGetTokenFilter(1)->is<TnxStringReplaceTokenFilterTableEngine>());
  ASSERT_EQ(body->TokenIndexCount(), 1);
  TnxBitArrayTokenIndexTableEngine* words = bitArrayIndex(0, 0);
  ASSERT_NE(words, nullptr);
  // A token index with an empty filter hub has no filter hub engine.
  EXPECT_EQ(words->TokenFilterCount(), 0);
  EXPECT_EQ(words->btiteTokenFilterHub, nullptr);
  EXPECT_TRUE(words->batiteBitArrayStorageHandlerTableEngine->is<TnxSimpleBitArrayStorageHandlerTableEngine>());
  EXPECT_EQ(static_cast<TnxSimpleBitArrayStorageHandlerTableEngine*>(words->batiteBitArrayStorageHandlerTableEngine)
                ->sbashBlobEngine,
            tableEngine_->ftteBlobEngine);
  EXPECT_EQ(words->batiteIndexEngine, tableEngine_->ftteIndicesEngine->biseGetIndex(0));
  EXPECT_EQ(words->batiteReverseIndexEngine, tableEngine_->ftteIndicesEngine->biseGetIndex(1));

  ASSERT_EQ(other->TokenExtractorCount(), 1);
  EXPECT_EQ(other->TokenFilterCount(), 0);
  TnxBitArrayTokenIndexTableEngine* keys = bitArrayIndex(1, 0);
  ASSERT_EQ(keys->TokenFilterCount(), 1);
  EXPECT_TRUE(keys->btiteGetTokenFilter(0)->is<TnxUppercaseLocaleMappingTokenFilterTableEngine>());
  EXPECT_EQ(keys->batiteIndexEngine, tableEngine_->ftteIndicesEngine->biseGetIndex(2));
  EXPECT_EQ(keys->batiteReverseIndexEngine, nullptr);
}

TEST_F(FulltextTableTest, MissingEngineClassNamesTheFamily) {
  // Without its registration the index family has no engine.
  nxUnregisterClassIn(TnxFulltextIndexTableEngine::GetList(), TnxFulltextIndexTableEngine::staticClassInfo());
  expectFailsWith(nxErrUnsupportedSubEngine, "FulltextIndex", [&] {
    build([](TnxServerDataDict& d) {
      TnxFulltextIndexDescriptor* body = fulltextOf(&d)->AddFulltextIndex(u"Body");
      body->AddFieldTokenExtractor(fText);
    });
  });
  nxRegisterClassIn(TnxFulltextIndexTableEngine::GetList(), TnxFulltextIndexTableEngine::staticClassInfo());
}

}  // namespace
