// The cache-keyless B*-tree: construction refusals, equal keys ordered by
// cache reference, and paths known only by their cache reference.
#include <algorithm>

#include "nxseIndexEngineCacheKeylessBstarTree.h"
#include "nxseIndexTestSupport.h"

namespace nxtest {
namespace {

class CacheKeylessTest : public IndexTest {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
    nxseIndexEngineCacheKeylessBstarTreeInitialize();
  }
  void TearDown() override {
    indices_.reset();
    nxseIndexEngineCacheKeylessBstarTreeFinalize();
    IndexTest::TearDown();
  }

  // A cache table: ID, Name, the implicit fields of a cache and its RefNr
  // field; the sequential access index first, then ByID over ID.
  TnxServerDataDict* cacheDictionary(bool aSequentialIndex) {
    TnxServerDataDict* dict = indexDictionary({{u"ByID", idAll, {0}}});
    dict->MakeCacheable(true);
    dict->MakeCache(true);
    dict->AddRecordDescriptor();  // the static record engine of the kit
    TnxMainIndicesDescriptor* list = dict->EnsureIndicesDescriptor();
    for (std::int32_t i = list->IndexCount(); i-- > 0;)
      if (platform::sameTextAscii(list->Indices(i)->Name(), u"Sequential Access Index")) list->RemoveIndex(list->Indices(i)->Name());
    if (aSequentialIndex)
      list->InsertIndexAt(0, u"Sequential Access Index", 0, idNone, u"Sequential Access Index",
                          &TnxRefKeyDescriptor::staticClassInfo());
    for (std::int32_t i = 0; i < list->IndexCount(); ++i)
      if (list->Indices(i)->Name() == nxString(u"ByID")) list->Indices(i)->SetIndexEngine(u"CacheKeylessBstarTree");
    return dict;
  }
  void open(TnxServerDataDict* aDict, const std::string& aPath = "/db/t.nx1", bool aWithRecords = true) {
    table_ = &createTable(aDict, aPath);
    indexAccess_.reset(platform::create<TnxBlockAccess>(table_->file, table_->main.get(), u"t",
                                                        table_->dict->IndicesDescriptor()->ID()));
    TnxOwned<TestTransaction> trans(newTransaction());
    try {
      indices_.reset(TnxBaseIndicesEngine::CreateEngine(table_->dict->IndicesDescriptor(), {indexAccess_.get()},
                                                        aWithRecords ? table_->records.get() : nullptr, trans.get(),
                                                        false));
    } catch (...) {
      trans->Rollback();
      throw;
    }
    trans->Commit();
  }
  TnxCacheKeylessBstarTreeIndexEngine* cacheEngine() {
    for (std::int32_t i = 0; i < indices_->IndexCount(); ++i)
      if (auto* e = platform::objectAs<TnxCacheKeylessBstarTreeIndexEngine>(indices_->biseGetIndex(i))) return e;
    return nullptr;
  }
  std::vector<std::uint8_t> cacheRecord(std::int32_t aID, TnxRefNr aCacheRef) {
    TnxFieldsDescriptor* fields = table_->dict->FieldsDescriptor();
    std::vector<std::uint8_t> r(static_cast<std::size_t>(fields->RecordLength()) + 8, 0);
    fields->InitRecord(r.data());
    fields->SetRecordField(0, r.data(), &aID);
    std::int32_t field = -1;
    EXPECT_TRUE(fields->HasRefNrField(field));
    fields->SetRecordField(field, r.data(), &aCacheRef);
    return r;
  }
};

TEST_F(CacheKeylessTest, ConstructionRefusals) {
  // Not a cache table: the table descriptor's class is named.
  TnxServerDataDict* plain = indexDictionary({{u"ByID", idAll, {0}, nbTop, u"CacheKeylessBstarTree"}});
  const std::string tableClass(plain->className());
  expectFailsWith(12289, tableClass + " is only supported for cache tables", [&] { open(plain, "/db/a.nx1"); });
  // A cache table without its sequential access index, or without records.
  expectFailsWith(12289, "TnxCacheKeylessBstarTreeIndexEngine requires a Sequential Access Index Engine",
                  [&] { open(cacheDictionary(false), "/db/b.nx1"); });
  expectFailsWith(12289, "TnxCacheKeylessBstarTreeIndexEngine requires a RecordEngine",
                  [&] { open(cacheDictionary(true), "/db/c.nx1", false); });
}

// Equal keys follow the cache references even against the record order, and
// a path known only by its cache reference finds its record.
TEST_F(CacheKeylessTest, EqualKeysByCacheReferenceAndPathsByCacheReference) {
  open(cacheDictionary(true));
  TnxCacheKeylessBstarTreeIndexEngine* e = cacheEngine();
  ASSERT_NE(e, nullptr);
  TnxOwned<TestTransaction> trans(newTransaction());
  std::vector<TnxRefNr> refs;
  for (std::int32_t i = 0; i < 300; ++i) {
    std::vector<std::uint8_t> r = cacheRecord(7, 10000 - i);  // cache references fall as records are added
    TnxRefNr ref = 0;
    table_->records->AddRecord(trans.get(), ref, r.data());
    ASSERT_EQ(indices_->InsertKeys(trans.get(), ref, r.data(), nullptr), 0) << i;
    refs.push_back(ref);
  }
  TnxOwned<TnxBaseIndexPath> p(e->CreateIndexPath());
  std::vector<TnxRefNr> walked;
  e->Iterate(trans.get(), p.get(), nullptr,
             [&](void*, TnxRefNr aRefNr, PnxKeyBuffer) {
               walked.push_back(aRefNr);
               return kirContinue;
             },
             {}, nullptr, {}, {}, nullptr, nullptr, false);
  std::reverse(refs.begin(), refs.end());
  EXPECT_EQ(walked, refs);
  // Known only by the reference its sequential access index holds (the kit's
  // sequential index keys records by their own reference).
  p->Clear();
  p->CacheRefNr = refs[42];
  p->Position = ippOnCrackBefore;
  e->ValidateIndexPath(trans.get(), p.get());
  EXPECT_EQ(p->RefNr, refs[42]);
  EXPECT_TRUE(p->KeyValid);
  // Deleting one of the equal keys by its references.
  std::vector<std::uint8_t> r = cacheRecord(7, 10000 - 5);
  ASSERT_EQ(indices_->DeleteKeys(trans.get(), refs[refs.size() - 1 - 5], r.data(), nullptr), 0);
  std::uint32_t count = 0;
  e->GetKeyCount(trans.get(), count);
  EXPECT_EQ(count, 299u);
  trans->Commit();
}

}  // namespace
}  // namespace nxtest
