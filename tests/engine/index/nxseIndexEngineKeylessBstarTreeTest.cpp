// The keyless B*-tree: its key cache, and the tree against a model while
// records are inserted, changed and deleted through the record engine.
#include <algorithm>
#include <random>

#include "nxseIndexTestSupport.h"

namespace nxtest {
namespace {

// ---- Key cache ----------------------------------------------------------------------------------

// Black height of a subtree; every rule broken fails the test.
std::int32_t blackHeight(const TnxCacheNode* aNode, const TnxCacheNode* aParent, const TnxRefNr* aLo,
                         const TnxRefNr* aHi) {
  if (!aNode) return 1;
  EXPECT_EQ(aNode->cnParent, aParent);
  if (aLo) { EXPECT_GT(aNode->cnKeyRef, *aLo); }
  if (aHi) { EXPECT_LT(aNode->cnKeyRef, *aHi); }
  if (!aNode->cnIsBlack) {
    EXPECT_TRUE(!aNode->cnLeft || aNode->cnLeft->cnIsBlack) << "red node with a red child";
    EXPECT_TRUE(!aNode->cnRight || aNode->cnRight->cnIsBlack) << "red node with a red child";
  }
  const std::int32_t l = blackHeight(aNode->cnLeft, aNode, aLo, &aNode->cnKeyRef);
  const std::int32_t r = blackHeight(aNode->cnRight, aNode, &aNode->cnKeyRef, aHi);
  EXPECT_EQ(l, r) << "black heights differ under " << aNode->cnKeyRef;
  return l + (aNode->cnIsBlack ? 1 : 0);
}

class KeylessTest : public IndexTest {
 protected:
  TnxKeylessBstarTreeIndexEngine* keyless(std::int32_t aIndex = 0) {
    return platform::objectAs<TnxKeylessBstarTreeIndexEngine>(indices_->biseGetIndex(aIndex));
  }
  TnxOwned<TnxKeylessBstarTreeIndexPath> keylessPath(std::int32_t aIndex = 0) {
    return TnxOwned<TnxKeylessBstarTreeIndexPath>(
        static_cast<TnxKeylessBstarTreeIndexPath*>(keyless(aIndex)->CreateIndexPath()));
  }
  TnxRefNr addRecord(TnxBaseTransaction* aTrans, std::optional<std::int32_t> aID, std::optional<std::string> aName) {
    std::vector<std::uint8_t> r = record(aID, aName);
    TnxRefNr ref = 0;
    table_->records->AddRecord(aTrans, ref, r.data());
    return ref;
  }
};

TEST_F(KeylessTest, KeyCacheStaysARedBlackTree) {
  createIndexed({{u"ID", idAll, {0}, nbTop, u"KeylessBStarTree"}});
  TnxOwned<TnxKeylessBstarTreeIndexPath> p = keylessPath();
  TnxOwned<TestTransaction> trans(newTransaction());
  std::mt19937 rng(5);
  std::vector<TnxRefNr> random;
  for (int i = 0; i < 1000; ++i) random.push_back(static_cast<TnxRefNr>(rng()) - (1ll << 31));
  std::vector<TnxRefNr> ascending(1000), descending(1000);
  for (int i = 0; i < 1000; ++i) ascending[static_cast<std::size_t>(i)] = descending[static_cast<std::size_t>(999 - i)] = i - 500;
  for (const auto* order : {&ascending, &descending, &random}) {
    p->BeginUse(trans.get());
    TnxKeylessBstarTreeIndexKeyCache* cache = p->bpipCache.get();
    for (TnxRefNr ref : *order) ASSERT_NE(cache->GetNodeForRef(ref, false), nullptr);
    EXPECT_TRUE(cache->kcRoot->cnIsBlack);
    blackHeight(cache->kcRoot, nullptr, nullptr, nullptr);
    ASSERT_FALSE(HasFailure());
    for (TnxRefNr ref : *order) {
      const TnxCacheNode* node = cache->GetNodeForRef(ref, true);
      ASSERT_NE(node, nullptr);
      EXPECT_EQ(node->cnKeyRef, ref);
    }
    // Negative references order below positive ones.
    const TnxCacheNode* leftmost = cache->kcRoot;
    while (leftmost->cnLeft) leftmost = leftmost->cnLeft;
    EXPECT_EQ(leftmost->cnKeyRef, *std::min_element(order->begin(), order->end()));
    EXPECT_EQ(cache->GetNodeForRef(123456789, true), nullptr);
    p->EndUse();
    EXPECT_EQ(cache->kcRoot, nullptr);  // emptied by the outermost EndUse
  }
  trans->Commit();
}

TEST_F(KeylessTest, PathUseBindsOneTransactionAndTheTemporaryKeyIsOverwritten) {
  createIndexed({{u"ID", idAll, {0}, nbTop, u"KeylessBStarTree"}});
  TnxOwned<TestTransaction> trans(newTransaction());
  const TnxRefNr a = addRecord(trans.get(), 11, "a"), b = addRecord(trans.get(), 22, "b"),
                 c = addRecord(trans.get(), 33, "c");
  TnxOwned<TnxKeylessBstarTreeIndexPath> p = keylessPath();
  p->BeginUse(trans.get());
  TnxRefNr cacheRef = 0;
  p->GetEntryKey(a, false, cacheRef);
  p->BeginUse(trans.get());  // nested: the same transaction keeps the cache
  p->EndUse();
  EXPECT_NE(p->bpipCache->GetNodeForRef(a, true), nullptr);
  TnxOwned<TestTransaction> other(newTransaction());
  EXPECT_THROW(p->BeginUse(other.get()), platform::AssertionFailed);
  // Without a node both keys land in the one temporary buffer.
  const void* first = p->GetEntryKey(b, true, cacheRef);
  EXPECT_EQ(first, p->bpipTempKey);
  EXPECT_EQ(std::vector<std::uint8_t>(p->bpipTempKey, p->bpipTempKey + 5), key(0, 22, std::nullopt));
  EXPECT_EQ(p->GetEntryKey(c, true, cacheRef), p->bpipTempKey);
  EXPECT_EQ(std::vector<std::uint8_t>(p->bpipTempKey, p->bpipTempKey + 5), key(0, 33, std::nullopt));
  // A reference without a record is the record engine's error.
  EXPECT_THROW(p->GetEntryKey(c + 1000, true, cacheRef), EnxBaseException);
  p->EndUse();
  trans->Rollback();
}

// ---- The tree against a model -------------------------------------------------------------------

class KeylessModelTest : public KeylessTest {
 protected:
  std::mt19937 rng{20261211};
  std::vector<Entry> model;

  std::optional<std::int32_t> randomID() {
    if (rng() % 20 == 0) return std::nullopt;
    return static_cast<std::int32_t>(rng() % 260);
  }
  std::optional<std::string> randomName() {
    static const char* names[] = {"alpha", "beta", "gamma", "delta"};
    if (rng() % 7 == 0) return std::nullopt;
    return std::string(names[rng() % 4]);
  }
  std::int32_t cmpKey(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    return engine()->bieKeyEngine->CompareKey(a.data(), b.data());
  }
  bool less(const Entry& a, const Entry& b) {
    const std::int32_t c = cmpKey(a.key, b.key);
    return c != 0 ? c < 0 : a.refNr < b.refNr;
  }
  bool allowed(const Entry& x, TnxRefNr aIgnore = 0) {
    TnxStaticKeyBstarTreeIndexEngine* e = engine();
    for (const Entry& m : model) {
      if (m.refNr == aIgnore || cmpKey(m.key, x.key) != 0) continue;
      if (!e->bieDups) return false;
      if (e->bieDupsNullOnly && !e->bieKeyEngine->KeyContainsNulls(x.key.data())) return false;
    }
    return true;
  }
  void modelInsert(const Entry& x) {
    model.insert(std::upper_bound(model.begin(), model.end(), x, [&](const Entry& a, const Entry& b) { return less(a, b); }),
                 x);
  }
  void modelErase(TnxRefNr aRef) {
    model.erase(std::find_if(model.begin(), model.end(), [&](const Entry& m) { return m.refNr == aRef; }));
  }
  void expectSameAsModel(TnxBaseTransaction* aTrans, const std::string& aWhat) {
    const std::vector<Entry> tree = checkTree(aTrans, 0);
    ASSERT_FALSE(HasFailure()) << aWhat;
    ASSERT_EQ(tree.size(), model.size()) << aWhat;
    for (std::size_t i = 0; i < tree.size(); ++i) {
      ASSERT_EQ(cmpKey(tree[i].key, model[i].key), 0) << aWhat << " entry " << i;
      if (engine()->bieDups) { ASSERT_EQ(tree[i].refNr, model[i].refNr) << aWhat << " entry " << i; }
    }
  }

  void runModel(TnxIndexDups aDups, int aOperations) {
    createIndexed({{u"Both", aDups, {1, 0}, nbTop, u"KeylessBStarTree"}}, 60);
    TnxKeylessBstarTreeIndexEngine* e = keyless();
    ASSERT_NE(e, nullptr);
    TnxOwned<TnxKeylessBstarTreeIndexPath> cursor = keylessPath();
    TnxOwned<TestTransaction> trans(newTransaction());
    const std::size_t length = static_cast<std::size_t>(table_->records->breRecordLength) + 8;
    for (int op = 0; op < aOperations; ++op) {
      const std::uint32_t dice = rng() % 100;
      std::string what = "op " + std::to_string(op);
      if (dice < 50 || model.empty()) {
        what += " insert";
        std::vector<std::uint8_t> r = record(randomID(), randomName());
        TnxRefNr ref = 0;
        table_->records->AddRecord(trans.get(), ref, r.data());
        Entry x{key(0, std::nullopt, std::nullopt), ref};
        ASSERT_EQ(e->bieKeyEngine->BuildKey(r.data(), x.key.data(), ref, true), 0);
        const bool expected = allowed(x);
        ASSERT_EQ(indices_->InsertKeys(trans.get(), ref, r.data(), nullptr), expected ? 0 : 9729) << what;
        if (expected)
          modelInsert(x);
        else
          table_->records->DeleteRecord(trans.get(), ref);
      } else if (dice < 70) {
        // Change a record: stored first, then its keys, as the server does.
        what += " change";
        const Entry old = model[rng() % model.size()];
        std::vector<std::uint8_t> before(length), after = record(randomID(), randomName());
        table_->records->ReadRecord(trans.get(), old.refNr, before.data());
        std::vector<std::uint8_t> stored(length);
        table_->records->UpdateRecord(trans.get(), old.refNr, after.data(), stored.data());
        Entry x{old.key, old.refNr};
        ASSERT_EQ(e->bieKeyEngine->BuildKey(after.data(), x.key.data(), old.refNr, true), 0);
        const bool expected = allowed(x, old.refNr);
        ASSERT_EQ(indices_->UpdateKeys(trans.get(), old.refNr, before.data(), old.refNr, after.data(), nullptr),
                  expected ? 0 : 9729)
            << what;
        if (expected) {
          modelErase(old.refNr);
          modelInsert(x);
        } else {
          table_->records->UpdateRecord(trans.get(), old.refNr, before.data(), stored.data());
        }
      } else if (dice < 85) {
        // The record goes first: its entry is found through the key the
        // indices engine holds for it.
        what += " delete";
        const Entry old = model[rng() % model.size()];
        std::vector<std::uint8_t> before(length);
        table_->records->ReadRecord(trans.get(), old.refNr, before.data());
        table_->records->DeleteRecord(trans.get(), old.refNr);
        ASSERT_EQ(indices_->DeleteKeys(trans.get(), old.refNr, before.data(), nullptr), 0) << what;
        modelErase(old.refNr);
      } else {
        what += " find";
        const auto action = static_cast<TnxSearchKeyAction>(rng() % 11);
        const Entry& want = model[rng() % model.size()];
        const bool found = e->FindKey(trans.get(), want.key.data(), 0, 0, 0, cursor.get(), action, nullptr);
        if (action == skaEqualFirst || action == skaEqualLast || action == skaAnyEqual) {
          ASSERT_TRUE(found) << what;
          ASSERT_EQ(cmpKey(std::vector<std::uint8_t>(cursor->Key, cursor->Key + want.key.size()), want.key), 0) << what;
        }
        // A walk of the whole index in both directions.
        std::vector<TnxRefNr> walked;
        const TnxKeyIterator collect = [&](void*, TnxRefNr aRefNr, PnxKeyBuffer) {
          walked.push_back(aRefNr);
          return kirContinue;
        };
        e->Iterate(trans.get(), cursor.get(), nullptr, collect, {}, nullptr, {}, {}, nullptr, nullptr, false);
        ASSERT_EQ(walked.size(), model.size()) << what;
        if (e->bieDups) {
          for (std::size_t i = 0; i < walked.size(); ++i) { ASSERT_EQ(walked[i], model[i].refNr) << what; }
        }
      }
      if (op % 25 == 24) {
        expectSameAsModel(trans.get(), what);
        if (HasFatalFailure()) return;
        trans->Commit();
        trans.reset(newTransaction());
      }
    }
    expectSameAsModel(trans.get(), "end");
    trans->Commit();
    std::uint32_t depth = 0;
    TnxOwned<TestTransaction> t(newTransaction());
    checkTree(t.get(), 0, &depth);
    EXPECT_GE(depth, 2u);
    t->Commit();
    EXPECT_EQ(checkFile("/db/t.nx1", 0, false, "0"), "");
    EXPECT_NE(checkFile("/db/t.nx1", 0, false, ""), "");  // as a static-key tree it makes no sense
  }
};

TEST_F(KeylessModelTest, UniqueKeys) { runModel(idNone, 3000); }
TEST_F(KeylessModelTest, Duplicates) { runModel(idAll, 3000); }
TEST_F(KeylessModelTest, DuplicatesForNullKeysOnly) { runModel(idNull, 3000); }

// A cache table cannot get this engine; the message names the table
// descriptor's class.
TEST_F(KeylessTest, CacheTablesAreRefused) {
  TnxServerDataDict* dict = indexDictionary({{u"ID", idAll, {0}, nbTop, u"KeylessBStarTree"}});
  dict->MakeCacheable(true);
  dict->MakeCache(true);
  ASSERT_EQ(dict->CachingState(), tcsIsCache);
  dict->AddRecordDescriptor();  // the static record engine of the kit
  for (std::int32_t i = 0; i < dict->IndicesDescriptor()->IndexCount(); ++i)
    dict->IndicesDescriptor()->Indices(i)->SetIndexEngine(u"KeylessBStarTree");
  table_ = &createTable(dict);
  indexAccess_.reset(platform::create<TnxBlockAccess>(table_->file, table_->main.get(), u"t",
                                                      table_->dict->IndicesDescriptor()->ID()));
  TnxOwned<TestTransaction> trans(newTransaction());
  expectFailsWith(12289, std::string(dict->className()) + " is not supported for cache tables", [&] {
    indices_.reset(TnxBaseIndicesEngine::CreateEngine(table_->dict->IndicesDescriptor(), {indexAccess_.get()},
                                                      table_->records.get(), trans.get(), false));
  });
  trans->Rollback();
}

// An Iterate over 1,000,000 entries keeps the key cache within its bound.
TEST_F(KeylessTest, IterateOverAMillionEntriesKeepsTheCacheBounded) {
  createIndexed({{u"ID", idNone, {0}, nbTop, u"KeylessBStarTree"}}, 1);
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxKeylessBstarTreeIndexEngine* e = keyless();
  {
    TnxOwned<TnxBaseBulkBuilder> b(e->CreateBulkBuilder(trans.get()));
    std::vector<std::uint8_t> r = record(0, std::nullopt);
    for (std::int32_t i = 0; i < 1000000; ++i) {
      std::memcpy(r.data(), &i, 4);
      TnxRefNr ref = 0;
      table_->records->AddRecord(trans.get(), ref, r.data());
      ASSERT_EQ(b->InsertKey(&ref, r.data(), trans.get()), 0);
    }
    ASSERT_EQ(b->Finalize(trans.get()), 0);
  }
  TnxKeylessBstarTreeIndexKeyCache::ResetPeak();
  const std::int64_t before = TnxKeylessBstarTreeIndexKeyCache::NodesInUse();
  TnxOwned<TnxKeylessBstarTreeIndexPath> p = keylessPath();
  std::int32_t expected = 0;
  bool ordered = true;
  e->Iterate(trans.get(), p.get(), nullptr,
             [&](void*, TnxRefNr, PnxKeyBuffer aKey) {
               ordered = ordered && e->bieKeyEngine->CompareKey(aKey, key(0, expected, std::nullopt).data()) == 0;
               ++expected;
               return kirContinue;
             },
             {}, nullptr, {}, {}, nullptr, nullptr, false);
  EXPECT_TRUE(ordered);
  EXPECT_EQ(expected, 1000000);
  EXPECT_LE(TnxKeylessBstarTreeIndexKeyCache::PeakNodesInUse() - before, TnxKeylessBstarTreeIndexKeyCache::KeyCacheLimit);
  EXPECT_EQ(TnxKeylessBstarTreeIndexKeyCache::NodesInUse(), before);
  trans->Commit();
}

// A key far longer than a static-key node could hold three of.
TEST_F(KeylessTest, LongKeysAndKeyFilteredRecordNumbers) {
  TnxServerDataDict* dict = indexDictionary({{u"Long", idAll, {1, 1, 1, 1, 0}, nbTop, u"KeylessBStarTree"}}, 255);
  TnxBaseIndicesEngine::CheckValidBaseFromDescriptor(dict->IndicesDescriptor());
  EXPECT_EQ(dict->FilesDescriptor()->Files(0)->BlockSize(), nxbs4k);
  table_ = &createTable(dict);
  TnxOwned<TestTransaction> trans(newTransaction());
  indexAccess_.reset(platform::create<TnxBlockAccess>(table_->file, table_->main.get(), u"t",
                                                      table_->dict->IndicesDescriptor()->ID()));
  indices_.reset(TnxBaseIndicesEngine::CreateEngine(table_->dict->IndicesDescriptor(), {indexAccess_.get()},
                                                    table_->records.get(), trans.get(), false));
  TnxKeylessBstarTreeIndexEngine* e = keyless();
  EXPECT_GT(e->bieKeyEngine->KeyLength(), 1000);
  EXPECT_EQ(e->ieMaxLeafNodeKeyCount, (4092 - 40) / 8);
  for (std::int32_t i = 0; i < 2000; ++i) {
    std::vector<std::uint8_t> r = record(i, std::string(1, static_cast<char>('a' + i % 3)));
    TnxRefNr ref = 0;
    table_->records->AddRecord(trans.get(), ref, r.data());
    ASSERT_EQ(indices_->InsertKeys(trans.get(), ref, r.data(), nullptr), 0);
  }
  checkTree(trans.get());
  ASSERT_FALSE(HasFailure());
  // Record numbers under a key filter count the keys rebuilt from records.
  TnxBaseKeyEngine* keys = e->bieKeyEngine.get();
  auto passes = [keys](const void* aKey) { return keys->KeyAsVariant(aKey, 4).toInt64() % 3 == 1; };
  TnxCallbackFilterDescriptor descriptor(&passes, [](void* aCookie, const void* aKey) {
    return (*static_cast<decltype(passes)*>(aCookie))(aKey);
  });
  TnxOwned<TnxCallbackFilterEngine> filter(
      platform::create<TnxCallbackFilterEngine>(&descriptor, TnxIntfPtr<InxFieldsSource>()));
  filter->SetActive(true);
  TnxOwned<TnxKeylessBstarTreeIndexPath> p = keylessPath();
  std::vector<bool> passed;
  e->Iterate(trans.get(), p.get(), nullptr,
             [&](void*, TnxRefNr, PnxKeyBuffer aKey) {
               passed.push_back(passes(aKey));
               return passed.size() == 1234 ? kirStop : kirContinue;
             },
             {}, nullptr, {}, {}, nullptr, nullptr, false);
  ASSERT_TRUE(p->IsOnKey());
  const auto expected = static_cast<std::uint32_t>(std::count(passed.begin(), passed.end(), true));
  const std::uint64_t builtBefore = p->bpipKeysBuilt;
  std::uint32_t recNo = 0;
  ASSERT_EQ(e->RecNoGet(trans.get(), p.get(), {}, {}, nullptr, filter.get(), recNo, false), 0);
  EXPECT_EQ(recNo, expected);
  EXPECT_GT(p->bpipKeysBuilt - builtBefore, 1000u);
  trans->Commit();
}

}  // namespace
}  // namespace nxtest
