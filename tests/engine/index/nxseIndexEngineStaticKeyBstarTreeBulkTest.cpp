// Bulk building: the planned tree shapes, the same entries as key-by-key
// inserts, runs and merges, forbidden duplicates, and containers that leave
// memory under a small cache.
#include <algorithm>
#include <random>

#include "nxseIndexEngineStaticKeyBstarTreeBulk.h"
#include "nxseIndexTestSupport.h"
#include "nxseTemporaryStorageChunked.h"

namespace nxtest {
namespace {

// "prefix" + number, without the string concatenation GCC 12 warns about.
std::string named(const char* aPrefix, long aNumber) {
  char text[48];
  std::snprintf(text, sizeof text, "%s%08ld", aPrefix, aNumber);
  return text;
}

class BulkBuildTest : public IndexTest {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
    manager_->SetMaxRAM(256);  // room for the containers without parking them
  }
  TnxOwned<TnxStaticKeyBstarTreeIndexBulkBuilder> builder(TnxBaseTransaction* aTrans, std::int32_t aIndex = 0) {
    return TnxOwned<TnxStaticKeyBstarTreeIndexBulkBuilder>(
        platform::objectAs<TnxStaticKeyBstarTreeIndexBulkBuilder>(engine(aIndex)->CreateBulkBuilder(aTrans)));
  }
  void add(TnxBaseTransaction* aTrans, TnxBaseBulkBuilder* aBuilder, std::int32_t aID, const std::string& aName,
           TnxRefNr aRefNr) {
    const std::vector<std::uint8_t> r = record(aID, aName);
    ASSERT_EQ(aBuilder->InsertKey(&aRefNr, const_cast<std::uint8_t*>(r.data()), aTrans), 0);
  }

  // Per level from the root down: the counts of its nodes, left to right.
  std::vector<std::vector<std::int32_t>> shape(TnxBaseTransaction* aTrans, std::int32_t* aFirstSlot = nullptr) {
    TnxStaticKeyBstarTreeIndexEngine* e = engine();
    TnxOwned<TnxBaseIndexHeaderAccess> header(e->CreateHeaderAccess(aTrans, false, false, 0, 0));
    std::vector<std::vector<std::int32_t>> levels;
    std::vector<TnxBlockNumber> row;
    if (header->GetIndexRoot() != nxIdx::NoBlock) row.push_back(header->GetIndexRoot());
    while (!row.empty()) {
      std::vector<TnxBlockNumber> next;
      levels.emplace_back();
      for (TnxBlockNumber n : row) {
        TnxPinnedBlock bPin([&](TnxReleaseMethod& r) { return indexAccess_->GetBlock(aTrans, n, false, r, e->bseID); });
        PnxBlock b = bPin.Block();
        const std::int32_t count = nxseGetU16(b + nxIdx::Count);
        levels.back().push_back(count);
        if (b[nxIdx::Kind] == nxIdx::KindInternal) {
          for (std::int32_t i = 0; i <= count; ++i) next.push_back(nxseGetU32(b + 40 + static_cast<std::uint32_t>(i) * e->ieSizeOfInternalNodeKeyPair));
        } else if (aFirstSlot) {
          *aFirstSlot = nxseGetU16(b + nxIdx::First);
        }
        bPin.Release();
      }
      row = std::move(next);
    }
    return levels;
  }
};

// A 773-byte unique key on 4 KB blocks: capacities of 5, targets of 4.
TEST_F(BulkBuildTest, PlannedShapes) {
  struct Case {
    std::int32_t keys;
    std::vector<std::vector<std::int32_t>> shape;
  };
  const Case cases[] = {
      {32, {{1}, {4, 2}, {4, 4, 4, 4, 4, 4, 4, 4}}},
      {10, {{2}, {4, 3, 3}}},
      {5, {{1}, {3, 2}}},
      {1, {{1}}},
      {0, {}},
  };
  for (const Case& c : cases) {
    const std::string path = named("/db/t", c.keys) + ".nx1";
    createIndexed({{u"Wide", idNone, {1, 1, 1, 0}}}, 255, path);
    TnxStaticKeyBstarTreeIndexEngine* e = engine();
    ASSERT_EQ(e->ieMaxLeafNodeKeyCount, 5);
    ASSERT_EQ(e->ieMaxInternalNodeKeyCount, 5);
    TnxOwned<TestTransaction> trans(newTransaction());
    {
      TnxOwned<TnxStaticKeyBstarTreeIndexBulkBuilder> b = builder(trans.get());
      for (std::int32_t i = c.keys; i-- > 0;) add(trans.get(), b.get(), i, named("k", static_cast<long>(1000 + i)), i + 1);
      EXPECT_EQ(b->Finalize(trans.get()), 0);
    }
    std::int32_t first = -1;
    EXPECT_EQ(shape(trans.get(), &first), c.shape) << c.keys;
    if (c.keys == 1) { EXPECT_EQ(first, (5 - 4) >> 1); }
    if (c.keys != 5) {  // leaves of 3 and 2 lie below the fill rule of deletes
      const std::vector<Entry> entries = checkTree(trans.get());
      ASSERT_FALSE(HasFailure()) << c.keys;
      ASSERT_EQ(entries.size(), static_cast<std::size_t>(c.keys));
      for (std::size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(entries[i].refNr, static_cast<TnxRefNr>(i + 1));
    }
    trans->Commit();
    EXPECT_EQ(checkFile(path), "") << c.keys;
  }
}

// The same 200,000 records bulk built into one index and inserted key by
// key into its twin give the same entries in the same order.
TEST_F(BulkBuildTest, SameTreeAsKeyByKeyInserts) {
  createIndexed({{u"Bulk", idAll, {1, 0}}, {u"Inserted", idAll, {1, 0}}}, 20);
  std::mt19937 rng(7);
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxOwned<TnxStaticKeyBstarTreeIndexBulkBuilder> b = builder(trans.get());
  for (TnxRefNr ref = 1; ref <= 200000; ++ref) {
    const std::vector<std::uint8_t> r =
        record(static_cast<std::int32_t>(rng() % 50000), named("n", static_cast<long>(rng() % 5)));
    ASSERT_EQ(b->InsertKey(&ref, const_cast<std::uint8_t*>(r.data()), trans.get()), 0);
    std::vector<std::uint8_t> k(engine(1)->bieKeyEngine->KeyLength());
    ASSERT_EQ(engine(1)->bieKeyEngine->BuildKey(r.data(), k.data(), ref, false), 0);
    ASSERT_TRUE(engine(1)->InsertKey(trans.get(), k.data(), ref, 0, nullptr));
  }
  ASSERT_GT(b->bsibbKeysPerContainer, 0);
  EXPECT_EQ(b->Finalize(trans.get()), 0);
  const std::int32_t containers = static_cast<std::int32_t>((200000 + b->bsibbKeysPerContainer - 1) / b->bsibbKeysPerContainer);
  EXPECT_EQ(b->bsibbRunCount, containers);  // random keys: every container overlaps every other
  EXPECT_EQ(b->bsibbMergeCount, std::max(0, containers - 2));
  const std::vector<Entry> bulk = checkTree(trans.get(), 0);
  ASSERT_FALSE(HasFailure());
  const std::vector<Entry> inserted = checkTree(trans.get(), 1);
  ASSERT_FALSE(HasFailure());
  ASSERT_EQ(bulk.size(), inserted.size());
  for (std::size_t i = 0; i < bulk.size(); ++i) {
    ASSERT_EQ(bulk[i].key, inserted[i].key) << i;
    ASSERT_EQ(bulk[i].refNr, inserted[i].refNr) << i;
  }
  // Deleting and searching work on the bulk tree as on any other.
  ASSERT_TRUE(engine(0)->DeleteKey(trans.get(), bulk[777].key.data(), bulk[777].refNr, 0, nullptr));
  checkTree(trans.get(), 0);
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
}

// Records in index order, or in reverse, form one run: no intermediate merge.
TEST_F(BulkBuildTest, OrderedInputFormsOneRun) {
  for (const bool reverse : {false, true}) {
    createIndexed({{u"Name", idNone, {1}}}, 200, reverse ? "/db/r.nx1" : "/db/t.nx1");
    TnxOwned<TestTransaction> trans(newTransaction());
    TnxOwned<TnxStaticKeyBstarTreeIndexBulkBuilder> b = builder(trans.get());
    const std::int32_t n = 3 * b->bsibbKeysPerContainer + 17;
    for (std::int32_t i = 0; i < n; ++i) {
      const std::int32_t id = reverse ? n - i : i;
      add(trans.get(), b.get(), id, named("x", id), i + 1);
    }
    EXPECT_EQ(b->Finalize(trans.get()), 0);
    EXPECT_EQ(b->bsibbRunCount, 1) << reverse;
    EXPECT_EQ(b->bsibbMergeCount, 0) << reverse;
    EXPECT_EQ(checkTree(trans.get()).size(), static_cast<std::size_t>(n));
    trans->Commit();
  }
}

// A duplicate of a unique key fails the build, within one container and
// across two; a non-empty index refuses a builder.
TEST_F(BulkBuildTest, ForbiddenDuplicatesAndNonEmptyIndex) {
  createIndexed({{u"Name", idNone, {1}}});
  for (const bool across : {false, true}) {
    TnxOwned<TestTransaction> trans(newTransaction());
    TnxOwned<TnxStaticKeyBstarTreeIndexBulkBuilder> b = builder(trans.get());
    const std::int32_t n = across ? b->bsibbKeysPerContainer + 50 : 40;
    for (std::int32_t i = 0; i < n; ++i) add(trans.get(), b.get(), i, named("name", static_cast<long>(i)), i + 1);
    add(trans.get(), b.get(), 0, named("name", 3), n + 1);
    expectFailsWith(9729, "BulkCreate", [&] { b->Finalize(trans.get()); });
    b.reset();
    trans->Rollback();
  }
  TnxOwned<TestTransaction> trans(newTransaction());
  const std::vector<std::uint8_t> k = key(0, 1, "a");
  ASSERT_TRUE(engine()->InsertKey(trans.get(), k.data(), 1, 0, nullptr));
  expectFails(15511, [&] { TnxOwned<TnxBaseBulkBuilder> again(engine()->CreateBulkBuilder(trans.get())); });
  trans->Rollback();
}

// A null-only duplicate index accepts equal keys with nulls, ordered by RefNr.
TEST_F(BulkBuildTest, NullDuplicatesAreOrderedByRefNr) {
  createIndexed({{u"Name", idNull, {1}}});
  TnxOwned<TestTransaction> trans(newTransaction());
  {
    TnxOwned<TnxStaticKeyBstarTreeIndexBulkBuilder> b = builder(trans.get());
    for (TnxRefNr ref : {9, 3, 7}) {
      const std::vector<std::uint8_t> r = record(1, std::nullopt);
      ASSERT_EQ(b->InsertKey(&ref, const_cast<std::uint8_t*>(r.data()), trans.get()), 0);
    }
    add(trans.get(), b.get(), 2, "z", 1);
    EXPECT_EQ(b->Finalize(trans.get()), 0);
  }
  const std::vector<Entry> entries = checkTree(trans.get());
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].refNr, 3);
  EXPECT_EQ(entries[1].refNr, 7);
  EXPECT_EQ(entries[2].refNr, 9);
  trans->Rollback();
}

// With a 10 MB cache the filled containers move to the temporary storage
// and come back for the merge.
TEST_F(BulkBuildTest, ContainersLeaveMemoryUnderASmallCache) {
  nxseTemporaryStorageChunkedInitialize();
  manager_->bmTempDir = u"/tmp";  // an unnamed file of the test file system, in any folder
  manager_->SetTempStoreSize(64);
  manager_->SetMaxRAM(10);
  createIndexed({{u"Name", idNone, {1}}});
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxOwned<TnxStaticKeyBstarTreeIndexBulkBuilder> b = builder(trans.get());
  const std::int32_t n = 6 * b->bsibbKeysPerContainer;
  std::vector<std::int32_t> order(static_cast<std::size_t>(n));
  for (std::int32_t i = 0; i < n; ++i) order[static_cast<std::size_t>(i)] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(3));
  for (std::int32_t i = 0; i < n; ++i)
    add(trans.get(), b.get(), i, named("n", static_cast<long>(order[static_cast<std::size_t>(i)])), i + 1);
  EXPECT_GT(manager_->TempStore()->InUse(), 4ll << 20);
  EXPECT_EQ(b->Finalize(trans.get()), 0);
  b.reset();
  std::uint32_t count = 0;
  engine()->GetKeyCount(trans.get(), count);
  EXPECT_EQ(count, static_cast<std::uint32_t>(n));
  trans->Commit();
  indices_.reset();
  indexAccess_.reset();
  for (auto& t : tables_) t->close();
  nxseTemporaryStorageChunkedFinalize();
}

}  // namespace
}  // namespace nxtest
