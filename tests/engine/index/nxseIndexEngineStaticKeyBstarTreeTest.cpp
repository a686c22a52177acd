// The static-key B*-tree against a model: long random sequences of inserts,
// deletes, searches, steps and range walks, with the whole tree checked
// after every operation.
#include <algorithm>
#include <random>

#include "nxseIndexTestSupport.h"

namespace nxtest {
namespace {

class BstarTreeModelTest : public IndexTest {
 protected:
  std::mt19937 rng{20261210};

  std::optional<std::int32_t> randomID(std::int32_t aRange) {
    if (rng() % 20 == 0) return std::nullopt;
    return static_cast<std::int32_t>(rng() % static_cast<std::uint32_t>(aRange));
  }
  std::optional<std::string> randomName() {
    static const char* names[] = {"alpha", "beta", "gamma", "delta"};
    if (rng() % 7 == 0) return std::nullopt;
    std::string name(names[rng() % 4]);
    // A Name index alone needs many distinct names to hold unique keys.
    if (wideNames_) name += std::to_string(rng() % 300);
    return name;
  }
  bool wideNames_ = false;

  // Model entries ordered by key, then RefNr.
  std::vector<Entry> model;
  std::int32_t cmpKey(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    return engine()->bieKeyEngine->CompareKey(a.data(), b.data());
  }
  bool less(const Entry& a, const Entry& b) {
    const std::int32_t c = cmpKey(a.key, b.key);
    return c != 0 ? c < 0 : a.refNr < b.refNr;
  }
  bool allowed(const Entry& x) {
    TnxStaticKeyBstarTreeIndexEngine* e = engine();
    for (const Entry& m : model) {
      if (cmpKey(m.key, x.key) != 0) continue;
      if (!e->bieDups) return false;
      if (e->bieDupsNullOnly && !e->bieKeyEngine->KeyContainsNulls(x.key.data())) return false;
      if (m.refNr == x.refNr) return false;
    }
    return true;
  }
  void modelInsert(const Entry& x) {
    model.insert(std::upper_bound(model.begin(), model.end(), x, [&](const Entry& a, const Entry& b) { return less(a, b); }),
                 x);
  }

  void expectSameAsModel(TnxBaseTransaction* aTrans, const char* aWhat, std::uint32_t* aDepth = nullptr) {
    const std::vector<Entry> tree = checkTree(aTrans, 0, aDepth);
    ASSERT_FALSE(HasFailure()) << aWhat;
    ASSERT_EQ(tree.size(), model.size()) << aWhat;
    for (std::size_t i = 0; i < tree.size(); ++i) {
      ASSERT_EQ(cmpKey(tree[i].key, model[i].key), 0) << aWhat << " entry " << i;
      if (engine()->ieAddKeyRefsToKeys) { ASSERT_EQ(tree[i].refNr, model[i].refNr) << aWhat << " entry " << i; }
    }
  }

  // The model's answer for a search: the index of the entry it ends on, -1
  // when the search fails.
  std::int64_t expectedFind(const std::vector<std::uint8_t>& k, TnxSearchKeyAction a) {
    const auto n = static_cast<std::int64_t>(model.size());
    std::int64_t firstGE = n, firstGT = n;
    for (std::int64_t i = n - 1; i >= 0; --i) {
      const std::int32_t c = cmpKey(model[static_cast<std::size_t>(i)].key, k);
      if (c >= 0) firstGE = i;
      if (c > 0) firstGT = i;
    }
    const bool present = firstGE < firstGT;
    switch (a) {
      case skaEqualFirst:
        return present ? firstGE : -1;
      case skaEqualLast:
        return present ? firstGT - 1 : -1;
      case skaAnyEqual:
        return present ? firstGE : -1;  // any equal one: compared by key only
      case skaGreaterEqual:
      case skaAnyGreaterEqual:
        return firstGE < n ? firstGE : -1;
      case skaGreater:
      case skaAnyGreater:
        return firstGT < n ? firstGT : -1;
      case skaSmallerEqual:
      case skaAnySmallerEqual:
        return firstGT > 0 ? firstGT - 1 : -1;
      case skaSmaller:
      case skaAnySmaller:
        return firstGE > 0 ? firstGE - 1 : -1;
    }
    return -1;
  }
  // Whether only the key of the expected entry is determined.
  static bool keyOnly(TnxSearchKeyAction a) {
    return a == skaAnyEqual || a == skaAnyGreaterEqual || a == skaAnySmallerEqual;
  }

  // One index kind over one key: aFields 0 ID, 1 Name, {1, 0} both; IDs
  // drawn from [0, aIDRange); the tree must reach aMinDepth levels.
  void runModel(TnxIndexDups aDups, int aOperations, std::vector<std::int32_t> aFields = {1, 0},
                std::int32_t aIDRange = 260, std::uint32_t aMinDepth = 3) {
    wideNames_ = aFields.size() == 1 && aFields[0] == 1;
    createIndexed({{u"Model", aDups, aFields}});
    TnxStaticKeyBstarTreeIndexEngine* e = engine();
    TnxOwned<TnxStaticKeyBstarTreeIndexPath> cursor = newPath();
    TnxRefNr nextRef = 1;
    std::uint32_t maxDepth = 0;
    TnxOwned<TestTransaction> trans(newTransaction());
    for (int op = 0; op < aOperations; ++op) {
      if (op % 100 == 99) {
        trans->Commit();
        trans.reset(newTransaction());
      }
      const std::uint32_t dice = rng() % 100;
      std::string what = "op " + std::to_string(op);
      if (dice < 55 || model.empty()) {
        Entry x{key(0, randomID(aIDRange), randomName()), nextRef++};
        const bool expected = allowed(x);
        what += " insert";
        ASSERT_EQ(e->InsertKey(trans.get(), x.key.data(), x.refNr, 0, cursor.get()), expected) << what;
        if (expected) {
          modelInsert(x);
          ASSERT_TRUE(cursor->IsOnKey());
          ASSERT_EQ(cursor->RefNr, x.refNr);
        }
      } else if (dice < 80) {
        what += " delete";
        if (rng() % 10 < 7) {
          const std::size_t i = rng() % model.size();
          const Entry x = model[i];
          ASSERT_TRUE(e->DeleteKey(trans.get(), x.key.data(), x.refNr, 0, nullptr)) << what;
          model.erase(model.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
          Entry x{key(0, randomID(aIDRange), randomName()), static_cast<TnxRefNr>(rng() % nextRef + 1)};
          bool present = false;
          for (std::size_t i = 0; i < model.size(); ++i)
            if (cmpKey(model[i].key, x.key) == 0 && model[i].refNr == x.refNr) {
              present = true;
              model.erase(model.begin() + static_cast<std::ptrdiff_t>(i));
              break;
            }
          ASSERT_EQ(e->DeleteKey(trans.get(), x.key.data(), x.refNr, 0, nullptr), present) << what;
        }
      } else if (dice < 95) {
        const auto action = static_cast<TnxSearchKeyAction>(rng() % 11);
        const std::vector<std::uint8_t> k =
            rng() % 2 && !model.empty() ? model[rng() % model.size()].key : key(0, randomID(aIDRange), randomName());
        what += " find " + std::to_string(action);
        const std::int64_t expected = expectedFind(k, action);
        const bool found = e->FindKey(trans.get(), k.data(), 0, 0, 0, cursor.get(), action, nullptr);
        ASSERT_EQ(found, expected >= 0) << what;
        if (expected < 0) continue;
        ASSERT_TRUE(cursor->IsOnKey()) << what;
        const Entry& want = model[static_cast<std::size_t>(expected)];
        ASSERT_EQ(cmpKey(std::vector<std::uint8_t>(cursor->Key, cursor->Key + k.size()), want.key), 0) << what;
        if (keyOnly(action) || !e->ieAddKeyRefsToKeys) continue;
        ASSERT_EQ(cursor->RefNr, want.refNr) << what;
        // One step each way from there.
        const bool forward = rng() % 2;
        const std::int64_t neighbour = forward ? expected + 1 : expected - 1;
        const bool moved = forward ? e->NextKey(trans.get(), cursor.get(), nullptr)
                                   : e->PrevKey(trans.get(), cursor.get(), nullptr);
        ASSERT_EQ(moved, neighbour >= 0 && neighbour < static_cast<std::int64_t>(model.size())) << what;
        if (moved) { ASSERT_EQ(cursor->RefNr, model[static_cast<std::size_t>(neighbour)].refNr) << what; }
        else {
          ASSERT_TRUE(forward ? cursor->IsEof() : cursor->IsBof()) << what;
        }
      } else {
        std::vector<std::uint8_t> lo = key(0, randomID(aIDRange), randomName()), hi = key(0, randomID(aIDRange), randomName());
        if (cmpKey(lo, hi) > 0) std::swap(lo, hi);
        TnxRangeInfo start{lo.data(), 0, 0, rng() % 2 == 0, true}, end{hi.data(), 0, 0, rng() % 2 == 0, true};
        const bool backward = rng() % 2;
        std::vector<TnxRefNr> walked;
        const TnxKeyIterator collect = [&](void*, TnxRefNr aRefNr, PnxKeyBuffer) {
          walked.push_back(aRefNr);
          return kirContinue;
        };
        if (backward)
          e->IterateBackward(trans.get(), cursor.get(), nullptr, collect, {}, nullptr, start, end, nullptr, nullptr,
                             false);
        else
          e->Iterate(trans.get(), cursor.get(), nullptr, collect, {}, nullptr, start, end, nullptr, nullptr, false);
        std::vector<TnxRefNr> expected;
        for (const Entry& m : model) {
          const std::int32_t a = cmpKey(m.key, lo), b = cmpKey(m.key, hi);
          if ((start.riExclusive ? a > 0 : a >= 0) && (end.riExclusive ? b < 0 : b <= 0)) expected.push_back(m.refNr);
        }
        if (backward) std::reverse(expected.begin(), expected.end());
        what += " range";
        if (e->ieAddKeyRefsToKeys)
          ASSERT_EQ(walked, expected) << what;
        else
          ASSERT_EQ(walked.size(), expected.size()) << what;
        ASSERT_TRUE(backward ? cursor->IsBof() : cursor->IsEof()) << what;
      }
      std::uint32_t depth = 0;
      expectSameAsModel(trans.get(), what.c_str(), &depth);
      if (HasFatalFailure()) return;
      maxDepth = std::max(maxDepth, depth);
    }
    trans->Commit();
    EXPECT_GE(maxDepth, aMinDepth);
    EXPECT_EQ(checkFile(), "");
  }
};

TEST_F(BstarTreeModelTest, UniqueKeys) { runModel(idNone, 2500); }
TEST_F(BstarTreeModelTest, Duplicates) { runModel(idAll, 2500); }
TEST_F(BstarTreeModelTest, DuplicatesForNullKeysOnly) { runModel(idNull, 2500); }

// The same three kinds over the single-field keys. Int32 keys are short
// (hundreds per leaf), so those trees stay at two levels; the Name keys are
// long and grow as deep as the composite ones.
TEST_F(BstarTreeModelTest, UniqueInt32Keys) { runModel(idNone, 2500, {0}, 5000, 2); }
TEST_F(BstarTreeModelTest, DuplicateInt32Keys) { runModel(idAll, 2500, {0}, 260, 2); }
TEST_F(BstarTreeModelTest, NullDuplicateInt32Keys) { runModel(idNull, 2500, {0}, 5000, 2); }
TEST_F(BstarTreeModelTest, UniqueNameKeys) { runModel(idNone, 2500, {1}); }
TEST_F(BstarTreeModelTest, DuplicateNameKeys) { runModel(idAll, 2500, {1}); }
TEST_F(BstarTreeModelTest, NullDuplicateNameKeys) { runModel(idNull, 2500, {1}); }

// Four levels and back: every kind of borrow and merge up to the root.
TEST_F(BstarTreeModelTest, GrowsFourLevelsAndShrinksToEmpty) {
  createIndexed({{u"Both", idAll, {1, 0}}});
  TnxStaticKeyBstarTreeIndexEngine* e = engine();
  std::vector<Entry> all;
  TnxOwned<TestTransaction> trans(newTransaction());
  for (std::int32_t i = 0; i < 4200; ++i) {
    Entry x{key(0, static_cast<std::int32_t>(rng() % 100000), std::string("n") + std::to_string(rng() % 3)),
            static_cast<TnxRefNr>(i + 1)};
    ASSERT_TRUE(e->InsertKey(trans.get(), x.key.data(), x.refNr, 0, nullptr));
    all.push_back(std::move(x));
  }
  std::uint32_t depth = 0;
  model = all;
  std::sort(model.begin(), model.end(), [&](const Entry& a, const Entry& b) { return less(a, b); });
  expectSameAsModel(trans.get(), "grown", &depth);
  EXPECT_GE(depth, 4u);
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
  trans.reset(newTransaction());
  std::shuffle(all.begin(), all.end(), rng);
  for (std::size_t i = 0; i < all.size(); ++i) {
    ASSERT_TRUE(e->DeleteKey(trans.get(), all[i].key.data(), all[i].refNr, 0, nullptr)) << i;
    if (i % 97 == 0 || i + 1 == all.size()) {
      model.erase(std::remove_if(model.begin(), model.end(),
                                 [&](const Entry& m) {
                                   return std::any_of(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                                      [&](const Entry& d) { return d.refNr == m.refNr; });
                                 }),
                  model.end());
      expectSameAsModel(trans.get(), "shrinking");
      if (HasFatalFailure()) return;
    }
  }
  TnxOwned<TnxBaseIndexHeaderAccess> header(e->CreateHeaderAccess(trans.get(), false, false, 0, 0));
  EXPECT_EQ(header->GetIndexRoot(), nxIdx::NoBlock);
  EXPECT_EQ(header->GetIndexPageCount(), 0u);
  header.reset();
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
}

// ---- Header values kept by a transaction between searches --------------------------------

class KeptHeaderTest : public IndexTest {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
    createIndexed({{u"ByName", idNone, {1}}});
  }
  std::vector<std::uint8_t> nameKey(std::int32_t aNumber) {
    return key(0, std::nullopt, "n" + std::to_string(aNumber));
  }
  bool found(TnxBaseTransaction* aTrans, std::int32_t aNumber, TnxRefNr* aRefNr = nullptr) {
    TnxOwned<TnxStaticKeyBstarTreeIndexPath> path = newPath();
    const std::vector<std::uint8_t> k = nameKey(aNumber);
    const bool hit = engine()->FindKey(aTrans, k.data(), 0, 0, 0, path.get(), skaEqualFirst, nullptr);
    if (hit && aRefNr) *aRefNr = path->RefNr;
    return hit;
  }
  std::uint32_t keyCount(TnxBaseTransaction* aTrans) {
    std::uint32_t count = 0;
    engine()->GetKeyCount(aTrans, count);
    return count;
  }
  void insert(TnxBaseTransaction* aTrans, std::int32_t aNumber) {
    const std::vector<std::uint8_t> k = nameKey(aNumber);
    ASSERT_TRUE(engine()->InsertKey(aTrans, k.data(), static_cast<TnxRefNr>(aNumber + 1), 0, nullptr)) << aNumber;
  }
};

class KeptHeaderSnapshotReader : public TnxBaseTransaction {
  PL_CLASS_INFO_DECL()
 public:
  explicit KeptHeaderSnapshotReader(TnxBufferManager* aManager) : TnxBaseTransaction(aManager, nullptr, true, false) {}
  TnxResult Commit() override { return 0; }
  TnxResult Rollback() override { return 0; }
};
PL_CLASS_INFO_IMPL(KeptHeaderSnapshotReader, TnxBaseTransaction, "KeptHeaderSnapshotReader", nullptr)

// Every search before and after an insert: the values kept after the search
// must follow the insert's new root (splits up to three levels) and count.
TEST_F(KeptHeaderTest, ATransactionSearchesThroughItsOwnRootAndCountChanges) {
  TnxOwned<TestTransaction> trans(newTransaction());
  for (std::int32_t i = 0; i < 400; ++i) {
    ASSERT_FALSE(found(trans.get(), i)) << i;
    ASSERT_EQ(keyCount(trans.get()), static_cast<std::uint32_t>(i));
    insert(trans.get(), i);
    TnxRefNr refNr = 0;
    ASSERT_TRUE(found(trans.get(), i, &refNr)) << i;
    EXPECT_EQ(refNr, static_cast<TnxRefNr>(i + 1));
    ASSERT_TRUE(found(trans.get(), 0)) << i;
  }
  std::uint32_t depth = 0;
  EXPECT_EQ(checkTree(trans.get(), 0, &depth).size(), 400u);
  EXPECT_GE(depth, 3u);
  // A rolled-back level takes its root and count back with it.
  trans->StartNested(false);
  for (std::int32_t i = 400; i < 800; ++i) insert(trans.get(), i);
  ASSERT_TRUE(found(trans.get(), 799));
  ASSERT_EQ(keyCount(trans.get()), 800u);
  trans->Rollback();
  EXPECT_FALSE(found(trans.get(), 799));
  EXPECT_EQ(keyCount(trans.get()), 400u);
  EXPECT_TRUE(found(trans.get(), 399));
  trans->Commit();
}

// A snapshot reader keeps seeing the header of its snapshot after a later
// commit splits the root; a plain reader that searched before that commit
// sees it after.
TEST_F(KeptHeaderTest, ASnapshotReaderKeepsItsHeaderWhileAPlainReaderSeesTheNextCommit) {
  TnxOwned<TestTransaction> writer(newTransaction());
  for (std::int32_t i = 0; i < 10; ++i) insert(writer.get(), i);
  writer->Commit();
  TnxOwned<KeptHeaderSnapshotReader> snapshot(platform::create<KeptHeaderSnapshotReader>(manager_));
  TnxOwned<TestTransaction> reader(newTransaction());
  for (TnxBaseTransaction* r : std::initializer_list<TnxBaseTransaction*>{snapshot.get(), reader.get()}) {
    ASSERT_EQ(keyCount(r), 10u);
    ASSERT_TRUE(found(r, 9));
    ASSERT_FALSE(found(r, 300));
  }
  writer.reset(newTransaction());
  for (std::int32_t i = 10; i < 400; ++i) insert(writer.get(), i);
  writer->Commit();
  EXPECT_EQ(keyCount(snapshot.get()), 10u);
  EXPECT_TRUE(found(snapshot.get(), 9));
  EXPECT_FALSE(found(snapshot.get(), 300));
  EXPECT_FALSE(found(snapshot.get(), 10));
  EXPECT_EQ(keyCount(reader.get()), 400u);
  EXPECT_TRUE(found(reader.get(), 300));
  EXPECT_TRUE(found(reader.get(), 9));
  reader->Commit();
}

}  // namespace
}  // namespace nxtest
