// Searches, stale paths, record numbers, bookmarks and damaged nodes of the
// static-key B*-tree; key maintenance of the indices engine with its undo.
#include <set>
#include <sstream>

#include "nxTestWatchdog.h"
#include "nxseIndexTestSupport.h"

namespace nxtest {
namespace {

class IndexPathTest : public IndexTest {
 protected:
  TnxRefNr insert(TnxBaseTransaction* aTrans, std::int32_t aIndex, std::int32_t aID, std::optional<std::string> aName,
                  TnxRefNr aRefNr) {
    const std::vector<std::uint8_t> k = key(aIndex, aID, aName);
    EXPECT_TRUE(engine(aIndex)->InsertKey(aTrans, k.data(), aRefNr, 0, nullptr)) << aID;
    return aRefNr;
  }
  std::uint32_t keyCount(TnxBaseTransaction* aTrans, std::int32_t aIndex) {
    std::uint32_t n = 0;
    engine(aIndex)->GetKeyCount(aTrans, n);
    return n;
  }
  // The RefNrs of index aIndex in key order.
  std::vector<TnxRefNr> walk(TnxBaseTransaction* aTrans, std::int32_t aIndex) {
    std::vector<TnxRefNr> refs;
    TnxOwned<TnxStaticKeyBstarTreeIndexPath> p = newPath(aIndex);
    nxtest::StepBound step;
    while (step() && engine(aIndex)->NextKey(aTrans, p.get(), nullptr)) refs.push_back(p->RefNr);
    return refs;
  }
};

// ---- FindKey ---------------------------------------------------------------------------------

TEST_F(IndexPathTest, FindKeyEveryAction) {
  createIndexed({{u"ID", idAll, {0}}});
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxStaticKeyBstarTreeIndexEngine* e = engine();
  TnxOwned<TnxStaticKeyBstarTreeIndexPath> path = newPath();
  // Empty index: equality fails and leaves the path alone.
  struct EmptyCase {
    TnxSearchKeyAction action;
    bool result;
    TnxIndexPathPosition position;
  };
  const std::vector<std::uint8_t> k20 = key(0, 20, std::nullopt);
  for (const EmptyCase c : {EmptyCase{skaEqualFirst, false, ippUnknown}, {skaEqualLast, false, ippUnknown},
                            {skaAnyEqual, false, ippUnknown}, {skaGreaterEqual, true, ippEof},
                            {skaGreater, true, ippEof}, {skaAnyGreaterEqual, true, ippEof},
                            {skaAnyGreater, true, ippEof}, {skaSmallerEqual, true, ippBof},
                            {skaSmaller, true, ippBof}, {skaAnySmallerEqual, true, ippBof},
                            {skaAnySmaller, true, ippBof}}) {
    path->Clear();
    EXPECT_EQ(e->FindKey(trans.get(), k20.data(), 0, 0, 0, path.get(), c.action, nullptr), c.result) << c.action;
    EXPECT_EQ(path->Position, c.position) << c.action;
  }
  // 10 (RefNr 1), 20 three times (2, 3, 4), 30 (5).
  insert(trans.get(), 0, 20, std::nullopt, 3);
  insert(trans.get(), 0, 30, std::nullopt, 5);
  insert(trans.get(), 0, 20, std::nullopt, 2);
  insert(trans.get(), 0, 10, std::nullopt, 1);
  insert(trans.get(), 0, 20, std::nullopt, 4);
  struct Case {
    std::int32_t id;
    TnxSearchKeyAction action;
    bool result;
    TnxIndexPathPosition position;
    TnxRefNr refNr;  // 0: any of the three duplicates
  };
  const Case cases[] = {
      {20, skaEqualFirst, true, ippOnKey, 2},      {20, skaEqualLast, true, ippOnKey, 4},
      {20, skaAnyEqual, true, ippOnKey, 0},        {20, skaGreaterEqual, true, ippOnKey, 2},
      {20, skaGreater, true, ippOnKey, 5},         {20, skaSmallerEqual, true, ippOnKey, 4},
      {20, skaSmaller, true, ippOnKey, 1},         {20, skaAnyGreaterEqual, true, ippOnKey, 0},
      {20, skaAnyGreater, true, ippOnKey, 5},      {20, skaAnySmallerEqual, true, ippOnKey, 0},
      {20, skaAnySmaller, true, ippOnKey, 1},      {25, skaEqualFirst, false, ippOnCrackBefore, 5},
      {25, skaEqualLast, false, ippOnCrackBefore, 5}, {25, skaAnyEqual, false, ippOnCrackBefore, 5},
      {25, skaGreaterEqual, true, ippOnKey, 5},    {25, skaGreater, true, ippOnKey, 5},
      {25, skaSmallerEqual, true, ippOnKey, 4},    {25, skaSmaller, true, ippOnKey, 4},
      {25, skaAnyGreater, true, ippOnKey, 5},      {25, skaAnySmaller, true, ippOnKey, 4},
      {25, skaAnyGreaterEqual, true, ippOnKey, 5}, {25, skaAnySmallerEqual, true, ippOnKey, 4},
      {40, skaGreaterEqual, false, ippEof, 0},     {40, skaGreater, false, ippEof, 0},
      {40, skaEqualFirst, false, ippOnCrackAfter, 5}, {5, skaSmaller, false, ippBof, 0},
      {5, skaGreaterEqual, true, ippOnKey, 1},
  };
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> k = key(0, c.id, std::nullopt);
    const bool found = e->FindKey(trans.get(), k.data(), 0, 0, 0, path.get(), c.action, nullptr);
    EXPECT_EQ(found, c.result) << c.id << " action " << c.action;
    EXPECT_EQ(path->Position, c.position) << c.id << " action " << c.action;
    if (c.refNr) {
      EXPECT_EQ(path->RefNr, c.refNr) << c.id << " action " << c.action;
    } else if (c.position == ippOnKey) {
      EXPECT_TRUE(path->RefNr >= 2 && path->RefNr <= 4) << c.id << " action " << c.action;
    }
  }
  trans->Commit();
}

// A key filter whose time-out check answers True stops a step on a
// rejected entry.
TEST_F(IndexPathTest, KeyFilterTimeOutStopsOnRejectedEntry) {
  createIndexed({{u"ID", idNone, {0}}});
  TnxOwned<TestTransaction> trans(newTransaction());
  for (std::int32_t id = 1; id <= 5; ++id) insert(trans.get(), 0, id, std::nullopt, id);
  TnxCallbackFilterDescriptor descriptor(nullptr, [](void*, const void*) { return false; });
  TnxOwned<TnxCallbackFilterEngine> filter(platform::create<TnxCallbackFilterEngine>(&descriptor, TnxIntfPtr<InxFieldsSource>()));
  filter->SetActive(true);
  TnxOwned<TnxStaticKeyBstarTreeIndexPath> path = newPath();
  EXPECT_FALSE(engine()->NextKey(trans.get(), path.get(), filter.get()));
  EXPECT_TRUE(path->IsEof());
  TnxResult result = 0;
  filter->kfResult = &result;
  filter->kfCheckTimeOut = {[](void*, TnxResult& aResult) {
                              aResult = 15461;
                              return true;
                            },
                            nullptr};
  path->Clear();
  EXPECT_TRUE(engine()->NextKey(trans.get(), path.get(), filter.get()));
  EXPECT_EQ(path->RefNr, 1);
  EXPECT_EQ(result, 15461);
  trans->Commit();
}

// ---- Stale paths -----------------------------------------------------------------------------

TEST_F(IndexPathTest, StalePathsContinueAfterOtherTransactions) {
  createIndexed({{u"Both", idNone, {1, 0}}});
  TnxStaticKeyBstarTreeIndexEngine* e = engine();
  const std::int32_t cap = e->ieMaxLeafNodeKeyCount;
  {
    TnxOwned<TestTransaction> t(newTransaction());
    for (std::int32_t k = 0; k <= 3 * cap; ++k) insert(t.get(), 0, k * 100, "n", k * 100 + 1);
    t->Commit();
  }
  const std::int32_t x = 100 * cap;
  TnxOwned<TnxStaticKeyBstarTreeIndexPath> path = newPath();
  {
    TnxOwned<TestTransaction> t(newTransaction());
    const std::vector<std::uint8_t> k = key(0, x, "n");
    ASSERT_TRUE(e->FindKey(t.get(), k.data(), 0, 0, 0, path.get(), skaEqualFirst, nullptr));
    t->Commit();
  }
  // Another transaction inserts into the path's leaf: repaired in place.
  {
    TnxOwned<TestTransaction> t(newTransaction());
    insert(t.get(), 0, x + 50, "n", x + 51);
    t->Commit();
  }
  {
    const std::uint64_t fast = e->ieFastRepairs, slow = e->ieSlowRepairs;
    TnxOwned<TestTransaction> t(newTransaction());
    ASSERT_TRUE(e->NextKey(t.get(), path.get(), nullptr));
    EXPECT_EQ(path->RefNr, x + 51);
    EXPECT_EQ(e->ieFastRepairs, fast + 1);
    EXPECT_EQ(e->ieSlowRepairs, slow);
    t->Commit();
  }
  // Keys inserted before the path's key split its leaf away.
  {
    TnxOwned<TestTransaction> t(newTransaction());
    for (std::int32_t k = 1; k <= cap; ++k) insert(t.get(), 0, x + 50 - k, "n", x + 51 - k);
    t->Commit();
  }
  {
    const std::uint64_t slow = e->ieSlowRepairs;
    TnxOwned<TestTransaction> t(newTransaction());
    ASSERT_TRUE(e->NextKey(t.get(), path.get(), nullptr));
    EXPECT_EQ(path->RefNr, x + 101);
    EXPECT_EQ(e->ieSlowRepairs, slow + 1);
    checkTree(t.get());
    t->Commit();
  }
  // The path's own key is deleted: the path is marked deleted and goes on
  // with the key after it.
  {
    TnxOwned<TestTransaction> t(newTransaction());
    const std::vector<std::uint8_t> k = key(0, x + 100, "n");
    ASSERT_TRUE(e->DeleteKey(t.get(), k.data(), x + 101, 0, nullptr));
    t->Commit();
  }
  {
    TnxOwned<TestTransaction> t(newTransaction());
    e->ValidateIndexPath(t.get(), path.get());
    EXPECT_TRUE(path->IsDeleted());
    EXPECT_EQ(path->CheckCurrentState(), 8708);
    ASSERT_TRUE(e->NextKey(t.get(), path.get(), nullptr));
    EXPECT_EQ(path->RefNr, x + 201);
    ASSERT_TRUE(e->PrevKey(t.get(), path.get(), nullptr));
    EXPECT_EQ(path->RefNr, x + 51);
    t->Commit();
  }
}

// ---- Record numbers, estimates, bookmarks -----------------------------------------------------

TEST_F(IndexPathTest, RecordNumbersRoundTripOverRangesAndFilters) {
  createIndexed({{u"Both", idNone, {1, 0}}});
  TnxStaticKeyBstarTreeIndexEngine* e = engine();
  TnxOwned<TestTransaction> trans(newTransaction());
  for (std::int32_t id = 0; id < 200; ++id) insert(trans.get(), 0, id, "n", id + 1);
  const std::vector<std::uint8_t> lo = key(0, 37, "n"), hi = key(0, 161, "n");
  // Keys with an odd ID pass: the ID is the last four bytes of its field.
  struct FilterCookie {
    TnxBaseKeyEngine* keys;
  } cookie{e->bieKeyEngine.get()};
  TnxCallbackFilterDescriptor descriptor(&cookie, [](void* aCookie, const void* aKey) {
    return static_cast<FilterCookie*>(aCookie)->keys->KeyAsVariant(aKey, 1).toInt64() % 2 == 1;
  });
  TnxOwned<TnxCallbackFilterEngine> odd(platform::create<TnxCallbackFilterEngine>(&descriptor, TnxIntfPtr<InxFieldsSource>()));
  odd->SetActive(true);
  struct RangeCase {
    bool ranged;
    bool filtered;
    bool flip;
  };
  for (const RangeCase c : {RangeCase{false, false, false}, {true, false, false}, {false, true, false},
                            {true, true, false}, {true, false, true}, {true, true, true}}) {
    TnxRangeInfo start, end;
    if (c.ranged) {
      start = {lo.data(), 0, 0, false, true};
      end = {hi.data(), 0, 0, true, true};
    }
    TnxBaseFilterEngine* filter = c.filtered ? odd.get() : nullptr;
    std::vector<TnxRefNr> order;
    TnxOwned<TnxStaticKeyBstarTreeIndexPath> p = newPath();
    for (std::int32_t id = 0; id < 200; ++id) {
      if (c.ranged && (id < 37 || id >= 161)) continue;
      if (c.filtered && id % 2 == 0) continue;
      order.push_back(id + 1);
    }
    if (c.flip) std::reverse(order.begin(), order.end());
    std::ostringstream text;
    text << "ranged " << c.ranged << " filtered " << c.filtered << " flip " << c.flip;
    const std::string what = text.str();
    for (std::size_t i = 0; i < order.size(); ++i) {
      const std::vector<std::uint8_t> k = key(0, static_cast<std::int32_t>(order[i] - 1), "n");
      ASSERT_TRUE(e->FindKey(trans.get(), k.data(), 0, 0, 0, p.get(), skaEqualFirst, nullptr));
      std::uint32_t recNo = 0;
      ASSERT_EQ(e->RecNoGet(trans.get(), p.get(), start, end, nullptr, filter, recNo, c.flip), 0) << what;
      ASSERT_EQ(recNo, i + 1) << what;
      TnxOwned<TnxStaticKeyBstarTreeIndexPath> q = newPath();
      ASSERT_EQ(e->RecNoSet(trans.get(), recNo, q.get(), start, end, nullptr, filter, c.flip), 0) << what << " " << i;
      ASSERT_EQ(q->RefNr, order[i]) << what;
    }
    TnxOwned<TnxStaticKeyBstarTreeIndexPath> q = newPath();
    EXPECT_EQ(e->RecNoSet(trans.get(), static_cast<std::uint32_t>(order.size() + 1), q.get(), start, end, nullptr,
                          filter, c.flip),
              c.flip ? 8705 : 8706)
        << what;
    EXPECT_EQ(e->RecNoSet(trans.get(), 0, q.get(), start, end, nullptr, filter, c.flip), c.flip ? 8706 : 8705) << what;
  }
  // A path before the range start and one after its end.
  TnxRangeInfo start{lo.data(), 0, 0, false, true}, end{hi.data(), 0, 0, false, true};
  TnxOwned<TnxStaticKeyBstarTreeIndexPath> p = newPath();
  std::uint32_t recNo = 0;
  const std::vector<std::uint8_t> k5 = key(0, 5, "n"), k190 = key(0, 190, "n");
  ASSERT_TRUE(e->FindKey(trans.get(), k5.data(), 0, 0, 0, p.get(), skaEqualFirst, nullptr));
  EXPECT_EQ(e->RecNoGet(trans.get(), p.get(), start, end, nullptr, nullptr, recNo, false), 8705);
  ASSERT_TRUE(e->FindKey(trans.get(), k190.data(), 0, 0, 0, p.get(), skaEqualFirst, nullptr));
  EXPECT_EQ(e->RecNoGet(trans.get(), p.get(), start, end, nullptr, nullptr, recNo, false), 8706);
  trans->Commit();
}

TEST_F(IndexPathTest, EstimateIsExactInsideOneLeaf) {
  createIndexed({{u"Both", idNone, {1, 0}}});
  TnxStaticKeyBstarTreeIndexEngine* e = engine();
  TnxOwned<TestTransaction> trans(newTransaction());
  for (std::int32_t id = 0; id < 600; ++id) insert(trans.get(), 0, id, "n", id + 1);
  // A short range lies inside one leaf.
  TnxOwned<TnxStaticKeyBstarTreeIndexPath> p = newPath();
  const std::vector<std::uint8_t> k300 = key(0, 300, "n");
  ASSERT_TRUE(e->FindKey(trans.get(), k300.data(), 0, 0, 0, p.get(), skaEqualFirst, nullptr));
  TnxReleaseMethod release;
  PnxBlock leaf = indexAccess_->GetBlock(trans.get(), p->bpipPage, false, release, e->bseID);
  const std::int32_t first = nxseGetU16(leaf + 32), count = nxseGetU16(leaf + 34);
  nxReleaseBlock(release, leaf);
  const std::int32_t lowID = 300 - (p->bpipItem - first), highID = lowID + count - 1;
  const std::vector<std::uint8_t> lo = key(0, lowID, "n"), hi = key(0, highID, "n");
  std::uint32_t n = 0;
  EXPECT_EQ(e->EstimateRecordCount(trans.get(), {lo.data(), 0, 0, false, true}, {hi.data(), 0, 0, false, true}, n,
                                   false),
            0);
  EXPECT_EQ(n, static_cast<std::uint32_t>(count));
  EXPECT_EQ(e->EstimateRecordCount(trans.get(), {lo.data(), 0, 0, true, true}, {hi.data(), 0, 0, true, true}, n,
                                   false),
            0);
  EXPECT_EQ(n, static_cast<std::uint32_t>(count - 2));
  // Over the whole index the estimate is plausible.
  EXPECT_EQ(e->EstimateRecordCount(trans.get(), {}, {}, n, false), 0);
  EXPECT_GT(n, 300u);
  EXPECT_LT(n, 1200u);
  trans->Commit();
}

TEST_F(IndexPathTest, BookmarksRoundTripAndCompare) {
  createIndexed({{u"ID", idAll, {0}}});
  TnxStaticKeyBstarTreeIndexEngine* e = engine();
  TnxOwned<TestTransaction> trans(newTransaction());
  for (std::int32_t id = 1; id <= 20; ++id) insert(trans.get(), 0, id, std::nullopt, id);
  TnxOwned<TnxStaticKeyBstarTreeIndexPath> a = newPath(), b = newPath();
  const std::vector<std::uint8_t> k7 = key(0, 7, std::nullopt), k9 = key(0, 9, std::nullopt);
  ASSERT_TRUE(e->FindKey(trans.get(), k7.data(), 0, 0, 0, a.get(), skaEqualFirst, nullptr));
  ASSERT_TRUE(e->FindKey(trans.get(), k9.data(), 0, 0, 0, b.get(), skaEqualFirst, nullptr));
  const std::int32_t size = a->GetBookmarkSize();
  std::vector<std::uint8_t> ba(static_cast<std::size_t>(size)), bb(static_cast<std::size_t>(size));
  EXPECT_EQ(a->GetBookmark(ba.data(), size - 1, false), 9986);
  ASSERT_EQ(a->GetBookmark(ba.data(), size, false), 0);
  ASSERT_EQ(b->GetBookmark(bb.data(), size, false), 0);
  std::int32_t comp = 0;
  ASSERT_EQ(a->CompareBookmarks(ba.data(), bb.data(), size, comp), 0);
  EXPECT_LT(comp, 0);
  ASSERT_EQ(a->CompareBookmarks(bb.data(), ba.data(), size, comp), 0);
  EXPECT_GT(comp, 0);
  ASSERT_EQ(a->CompareBookmarks(ba.data(), ba.data(), size, comp), 0);
  EXPECT_EQ(comp, 0);
  // Back to the bookmark: a fresh path takes it and steps on from there.
  TnxOwned<TnxStaticKeyBstarTreeIndexPath> c = newPath();
  ASSERT_EQ(c->SetToBookmark(ba.data(), size, false), 0);
  EXPECT_EQ(c->RefNr, 7);
  ASSERT_TRUE(e->NextKey(trans.get(), c.get(), nullptr));
  EXPECT_EQ(c->RefNr, 8);
  // A damaged bookmark is refused.
  ba[25] ^= 1;
  EXPECT_NE(c->SetToBookmark(ba.data(), size, false), 0);
  // A standalone path: index -1, no key.
  TnxOwned<TnxBaseIndexPath> alone(TnxBaseIndexPath::CreateStandalone());
  std::vector<std::uint8_t> bs(24);
  EXPECT_EQ(alone->GetBookmarkSize(), 24);
  ASSERT_EQ(alone->GetBookmark(bs.data(), 24, false), 0);
  std::int32_t indexID = 0;
  std::memcpy(&indexID, bs.data() + 4, 4);
  EXPECT_EQ(indexID, -1);
  trans->Commit();
}

// SetToRecord puts a path on a record's entry without a search; the next
// step finds the path's place from its key and RefNr.
TEST_F(IndexPathTest, SetToRecordPositionsOnTheRecordsKey) {
  createIndexed({{u"ByName", idAll, {1}, nbFilterNull}});
  TnxStaticKeyBstarTreeIndexEngine* e = engine();
  TnxOwned<TestTransaction> trans(newTransaction());
  static const char* names[] = {"a", "b", "c", "d", "e"};
  for (TnxRefNr r = 1; r <= 5; ++r) insert(trans.get(), 0, 0, std::string(names[r - 1]), r);
  TnxOwned<TnxStaticKeyBstarTreeIndexPath> p = newPath();
  std::vector<std::uint8_t> c = record(9, "c");
  ASSERT_TRUE(e->FindKey(trans.get(), key(0, 0, "a").data(), 0, 0, 0, p.get(), skaEqualFirst, nullptr));
  ASSERT_EQ(p->SetToRecord(c.data(), 3), 0);
  EXPECT_TRUE(p->IsOnKey());
  EXPECT_TRUE(p->KeyValid);
  EXPECT_EQ(p->RefNr, 3);
  EXPECT_EQ(p->CacheRefNr, 0);
  EXPECT_EQ(p->bpipPage, 0u);  // coordinates cleared: found again by key
  EXPECT_EQ(p->CheckCurrentState(), 0);
  ASSERT_TRUE(e->NextKey(trans.get(), p.get(), nullptr));
  EXPECT_EQ(p->RefNr, 4);
  ASSERT_EQ(p->SetToRecord(c.data(), 3), 0);
  ASSERT_TRUE(e->PrevKey(trans.get(), p.get(), nullptr));
  EXPECT_EQ(p->RefNr, 2);
  // A record the filter keeps out of the index still gives the path its key
  // (built with the filter ignored): NULL names sort first.
  std::vector<std::uint8_t> unnamed = record(9, std::nullopt);
  ASSERT_EQ(p->SetToRecord(unnamed.data(), 77), 0);
  EXPECT_TRUE(p->KeyValid);
  EXPECT_EQ(e->bieKeyEngine->CompareKey(p->Key, key(0, 9, std::nullopt).data()), 0);
  EXPECT_TRUE(e->NextKey(trans.get(), p.get(), nullptr));
  EXPECT_EQ(p->RefNr, 1);
  // A standalone path only takes the RefNr.
  TnxOwned<TnxBaseIndexPath> alone(TnxBaseIndexPath::CreateStandalone());
  ASSERT_EQ(alone->SetToRecord(c.data(), 3), 0);
  EXPECT_TRUE(alone->IsOnKey());
  EXPECT_FALSE(alone->KeyValid);
  EXPECT_EQ(alone->RefNr, 3);
  trans->Commit();
}

// Duplicate gives an independent path of the same class at the same place.
TEST_F(IndexPathTest, DuplicateCopiesThePositionAndStaysIndependent) {
  createIndexed({{u"ID", idAll, {0}}, {u"Other", idAll, {0}}});
  TnxStaticKeyBstarTreeIndexEngine* e = engine();
  TnxOwned<TestTransaction> trans(newTransaction());
  for (std::int32_t id = 1; id <= 20; ++id) insert(trans.get(), 0, id, std::nullopt, id);
  TnxOwned<TnxStaticKeyBstarTreeIndexPath> p = newPath();
  ASSERT_TRUE(e->FindKey(trans.get(), key(0, 7, std::nullopt).data(), 0, 0, 0, p.get(), skaEqualFirst, nullptr));
  TnxOwned<TnxBaseIndexPath> copy(p->Duplicate());
  auto* d = platform::objectAs<TnxStaticKeyBstarTreeIndexPath>(copy.get());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->bipIndexEngine, e);
  EXPECT_NE(d->Key, p->Key);  // a key buffer of its own
  EXPECT_EQ(e->bieKeyEngine->CompareKey(d->Key, p->Key), 0);
  EXPECT_EQ(d->RefNr, 7);
  EXPECT_EQ(d->Position, ippOnKey);
  EXPECT_EQ(d->bpipPage, p->bpipPage);
  EXPECT_EQ(d->bpipItem, p->bpipItem);
  EXPECT_EQ(d->bpipIdentCounter, p->bpipIdentCounter);
  EXPECT_EQ(d->bpipLSN, p->bpipLSN);
  const std::uint64_t fast = e->ieFastRepairs, slow = e->ieSlowRepairs;
  ASSERT_TRUE(e->NextKey(trans.get(), d, nullptr));
  ASSERT_TRUE(e->NextKey(trans.get(), d, nullptr));
  EXPECT_EQ(d->RefNr, 9);
  EXPECT_EQ(p->RefNr, 7);
  EXPECT_EQ(e->bieKeyEngine->CompareKey(p->Key, key(0, 7, std::nullopt).data()), 0);
  ASSERT_TRUE(e->PrevKey(trans.get(), p.get(), nullptr));
  EXPECT_EQ(p->RefNr, 6);
  EXPECT_EQ(e->ieFastRepairs, fast);  // the copied coordinates were current
  EXPECT_EQ(e->ieSlowRepairs, slow);
  // A deleted position is copied with its flag.
  ASSERT_TRUE(e->DeleteKey(trans.get(), key(0, 6, std::nullopt).data(), 6, 0, p.get()));
  TnxOwned<TnxBaseIndexPath> gone(p->Duplicate());
  EXPECT_TRUE(gone->IsDeleted());
  EXPECT_EQ(gone->CheckCurrentState(), 8708);
  ASSERT_TRUE(e->NextKey(trans.get(), gone.get(), nullptr));
  EXPECT_EQ(gone->RefNr, 7);
  // A path of another index is not taken over; a standalone path copies.
  TnxOwned<TnxStaticKeyBstarTreeIndexPath> other = newPath(1);
  EXPECT_THROW(other->Assign(p.get()), platform::ConvertError);
  TnxOwned<TnxBaseIndexPath> alone(TnxBaseIndexPath::CreateStandalone());
  alone->SetToEof();
  TnxOwned<TnxBaseIndexPath> aloneCopy(alone->Duplicate());
  EXPECT_EQ(aloneCopy->bipIndexEngine, nullptr);
  EXPECT_TRUE(aloneCopy->IsEof());
  trans->Commit();
}

// ---- Damaged nodes ---------------------------------------------------------------------------

TEST_F(IndexPathTest, DamagedNodesAreRefusedWithoutCrashOrHang) {
  nxtest::Watchdog watchdog(std::chrono::seconds(60));
  createIndexed({{u"Both", idNone, {1, 0}}});
  TnxStaticKeyBstarTreeIndexEngine* e = engine();
  {
    TnxOwned<TestTransaction> t(newTransaction());
    for (std::int32_t id = 0; id < 400; ++id) insert(t.get(), 0, id, "n", id + 1);
    t->Commit();
  }
  struct Damage {
    const char* what;
    bool leaf;  // else the root
    void (*apply)(PnxBlock aNode, TnxBlockNumber aBlock);
  };
  const Damage damages[] = {
      {"count beyond capacity", true, [](PnxBlock n, TnxBlockNumber) { nxsePutU16(n + 34, 60000); }},
      {"first slot beyond capacity", true, [](PnxBlock n, TnxBlockNumber) { nxsePutU16(n + 32, 60000); }},
      {"unknown kind", true, [](PnxBlock n, TnxBlockNumber) { n[36] = 3; }},
      {"other index number", true, [](PnxBlock n, TnxBlockNumber) { n[37] = 9; }},
      {"leaf chain cycle", true, [](PnxBlock n, TnxBlockNumber b) { nxsePutU32(n + 28, b); }},
      {"empty leaf", true, [](PnxBlock n, TnxBlockNumber) { nxsePutU16(n + 34, 0); }},
      {"child beyond the file", false, [](PnxBlock n, TnxBlockNumber) { nxsePutU32(n + 40, 0x7FFFFFF0); }},
      {"child is block 0", false, [](PnxBlock n, TnxBlockNumber) { nxsePutU32(n + 40, 0); }},
      {"internal first slot", false, [](PnxBlock n, TnxBlockNumber) { nxsePutU16(n + 32, 1); }},
      {"internal count zero", false, [](PnxBlock n, TnxBlockNumber) { nxsePutU16(n + 34, 0); }},
      {"signature", false, [](PnxBlock n, TnxBlockNumber) { n[0] = 'X'; }},
  };
  for (const Damage& d : damages) {
    TnxOwned<TestTransaction> t(newTransaction());
    TnxOwned<TnxStaticKeyBstarTreeIndexPath> p = newPath();
    const std::vector<std::uint8_t> k = key(0, 0, "n");
    ASSERT_TRUE(e->FindKey(t.get(), k.data(), 0, 0, 0, p.get(), skaEqualFirst, nullptr));
    TnxBlockNumber block = p->bpipPage;
    if (!d.leaf) {
      TnxOwned<TnxBaseIndexHeaderAccess> header(e->CreateHeaderAccess(t.get(), false, false, 0, 0));
      block = header->GetIndexRoot();
    }
    TnxReleaseMethod release;
    PnxBlock node = indexAccess_->GetBlock(t.get(), block, true, release, e->bseID);
    d.apply(node, block);
    nxReleaseBlock(release, node);
    bool raised = false;
    try {
      TnxOwned<TnxStaticKeyBstarTreeIndexPath> q = newPath();
      for (int steps = 0; steps < 5000 && e->NextKey(t.get(), q.get(), nullptr); ++steps) {
      }
      const std::vector<std::uint8_t> k399 = key(0, 399, "n");
      e->FindKey(t.get(), k399.data(), 0, 0, 0, q.get(), skaEqualFirst, nullptr);
      const std::vector<std::uint8_t> k0 = key(0, 0, "n");
      e->InsertKey(t.get(), key(0, 1000, "n").data(), 1001, 0, nullptr);
    } catch (const EnxBaseException& ex) {
      raised = true;
      EXPECT_TRUE(ex.ErrorCode() == 8962 || ex.ErrorCode() == 15424 || ex.ErrorCode() == 15409)
          << d.what << ": " << platform::toUtf8(ex.Message());
    }
    EXPECT_TRUE(raised) << d.what;
    t->Rollback();
  }
}

// ---- Indices engine ------------------------------------------------------------------------

class IndicesEngineTest : public IndexPathTest {
 protected:
  // Index 0 duplicates on ID, 1 on Name without NULL names, 2 unique on ID.
  void SetUp() override {
    IndexPathTest::SetUp();
    createIndexed({{u"ByID", idAll, {0}}, {u"ByName", idAll, {1}, nbFilterNull}, {u"UniqueID", idNone, {0}}});
  }
  TnxResult insertRecord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, std::int32_t aID,
                         std::optional<std::string> aName) {
    std::vector<std::uint8_t> r = record(aID, aName);
    return indices_->InsertKeys(aTrans, aRefNr, r.data(), nullptr);
  }
};

TEST_F(IndicesEngineTest, FailedInsertUndoesEarlierIndicesAndExplainsTheViolation) {
  TnxOwned<TestTransaction> trans(newTransaction());
  ASSERT_EQ(insertRecord(trans.get(), 1, 7, "x"), 0);
  // The NULL name keeps the record out of index 1; index 2 refuses the ID.
  EXPECT_EQ(insertRecord(trans.get(), 2, 7, std::nullopt), 9729);
  const EnxBaseException error(9729);
  const std::string message = platform::toUtf8(error.Message());
  for (const char* line : {"\r\nOperation: Insert", "\r\nFile: \"", "\r\nIndex: \"UniqueID\"", "\r\nKey: ", "\r\nRefNr: 2"})
    EXPECT_NE(message.find(line), std::string::npos) << line << " in " << message;
  EXPECT_EQ(platform::toUtf8(error.CustomInfos().values(u"Operation")), "Insert");
  EXPECT_EQ(platform::toUtf8(error.CustomInfos().values(u"Index")), "UniqueID");
  EXPECT_EQ(platform::toUtf8(error.CustomInfos().values(u"RefNr")), "2");
  EXPECT_FALSE(platform::toUtf8(error.CustomInfos().values(u"File")).empty());
  EXPECT_EQ(walk(trans.get(), 0), std::vector<TnxRefNr>{1});
  EXPECT_EQ(walk(trans.get(), 1), std::vector<TnxRefNr>{1});
  EXPECT_EQ(walk(trans.get(), 2), std::vector<TnxRefNr>{1});
  EXPECT_EQ(trans->CheckState(), 0);
  EXPECT_EQ(indices_->biseCurrentRefNr, nxNoRefNr);
  EXPECT_EQ(indices_->biseCurrentKey, nullptr);
  trans->Commit();
}

TEST_F(IndicesEngineTest, FailedUpdateRestoresEveryChangedIndex) {
  TnxOwned<TestTransaction> trans(newTransaction());
  ASSERT_EQ(insertRecord(trans.get(), 1, 1, "a"), 0);
  ASSERT_EQ(insertRecord(trans.get(), 2, 2, "b"), 0);
  std::vector<std::uint8_t> before = record(2, "b"), after = record(1, "c");
  EXPECT_EQ(indices_->UpdateKeys(trans.get(), 2, before.data(), 2, after.data(), nullptr), 9729);
  EXPECT_NE(platform::toUtf8(EnxBaseException(9729).Message()).find("Operation: Modify/Insert"), std::string::npos);
  EXPECT_EQ(walk(trans.get(), 0), (std::vector<TnxRefNr>{1, 2}));
  EXPECT_EQ(walk(trans.get(), 1), (std::vector<TnxRefNr>{1, 2}));
  EXPECT_EQ(walk(trans.get(), 2), (std::vector<TnxRefNr>{1, 2}));
  const std::vector<std::uint8_t> kb = key(1, 0, "b");
  TnxOwned<TnxStaticKeyBstarTreeIndexPath> p = newPath(1);
  EXPECT_TRUE(engine(1)->FindKey(trans.get(), kb.data(), 0, 0, 0, p.get(), skaEqualFirst, nullptr));
  EXPECT_EQ(p->RefNr, 2);
  // An update into and out of the filter inserts and deletes the key.
  std::vector<std::uint8_t> unnamed = record(2, std::nullopt);
  ASSERT_EQ(indices_->UpdateKeys(trans.get(), 2, before.data(), 2, unnamed.data(), nullptr), 0);
  EXPECT_EQ(walk(trans.get(), 1), std::vector<TnxRefNr>{1});
  ASSERT_EQ(indices_->UpdateKeys(trans.get(), 2, unnamed.data(), 2, before.data(), nullptr), 0);
  EXPECT_EQ(walk(trans.get(), 1), (std::vector<TnxRefNr>{1, 2}));
  EXPECT_EQ(trans->CheckState(), 0);
  trans->Commit();
}

TEST_F(IndicesEngineTest, DeleteOfAMissingKeyCorruptsTheTransaction) {
  TnxOwned<TestTransaction> trans(newTransaction());
  ASSERT_EQ(insertRecord(trans.get(), 1, 1, "a"), 0);
  std::vector<std::uint8_t> other = record(5, "z");
  EXPECT_EQ(indices_->DeleteKeys(trans.get(), 9, other.data(), nullptr), 9729);
  EXPECT_NE(platform::toUtf8(EnxBaseException(9729).Message()).find("Operation: Delete"), std::string::npos);
  EXPECT_NE(trans->CheckState(), 0);
  trans->Rollback();
}

TEST_F(IndicesEngineTest, HeaderBlockKeepsEveryIndexAndSurvivesReopening) {
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    static const char* names[] = {"n0", "n1", "n2", "n3", "n4", "n5", "n6"};
    for (TnxRefNr r = 1; r <= 300; ++r)
      ASSERT_EQ(insertRecord(trans.get(), r, static_cast<std::int32_t>(r), std::string(names[r % 7])), 0);
    trans->Commit();
  }
  TnxOwned<TestTransaction> trans(newTransaction());
  EXPECT_EQ(keyCount(trans.get(), 0), 300u);
  EXPECT_EQ(keyCount(trans.get(), 2), 300u);
  // All three indices share one header block: one LSN.
  TnxOwned<TnxBaseIndexHeaderAccess> h0(engine(0)->CreateHeaderAccess(trans.get(), false, false, 0, 0));
  TnxOwned<TnxBaseIndexHeaderAccess> h2(engine(2)->CreateHeaderAccess(trans.get(), false, false, 0, 0));
  EXPECT_EQ(h0->GetIndexLSN(), h2->GetIndexLSN());
  EXPECT_NE(h0->GetIndexRoot(), h2->GetIndexRoot());
  h0.reset();
  h2.reset();
  // Removing index 0 moves the entries of 1 and 2 down.
  const std::uint32_t names = keyCount(trans.get(), 1);
  table_->dict->ForceOffReadOnly();
  table_->dict->IndicesDescriptor()->RemoveIndex(0);
  indices_->RemoveIndex(trans.get(), 0);
  EXPECT_EQ(indices_->IndexCount(), 2);
  EXPECT_EQ(engine(0)->bieIndexNumber, 0);
  EXPECT_EQ(engine(0)->bieBookmarkHandler->bmhIndexID, 0);
  EXPECT_EQ(keyCount(trans.get(), 0), names);
  EXPECT_EQ(keyCount(trans.get(), 1), 300u);
  checkTree(trans.get(), 1);
  trans->Commit();
  // The table opens again with its headers verified.
  indices_.reset();
  TnxOwned<TestTransaction> reader(newTransaction());
  indices_.reset(TnxBaseIndicesEngine::CreateEngine(table_->dict->IndicesDescriptor(), {indexAccess_.get()},
                                                    table_->records.get(), nullptr, false));
  EXPECT_EQ(keyCount(reader.get(), 1), 300u);
  checkTree(reader.get(), 1);
  reader->Commit();
  EXPECT_EQ(checkFile(), "");
}

TEST_F(IndicesEngineTest, IndexNumbersOutOfRangeAndBulkBuilders) {
  TnxOwned<TestTransaction> trans(newTransaction());
  expectFails(15425, [&] { indices_->AddIndex(trans.get(), 1); });
  expectFails(15425, [&] { indices_->RemoveIndex(trans.get(), 0); });
  TnxOwned<TnxBaseBulkBuilder> hub(indices_->CreateBulkBuilder(trans.get()));
  EXPECT_NE(platform::objectAs<TnxBulkBuilderHub>(hub.get()), nullptr);
  for (TnxRefNr r = 1; r <= 50; ++r) {
    std::vector<std::uint8_t> rec = record(static_cast<std::int32_t>(r), "b");
    ASSERT_EQ(hub->InsertKey(&r, rec.data(), trans.get()), 0);
  }
  EXPECT_EQ(hub->Finalize(trans.get()), 0);
  EXPECT_EQ(keyCount(trans.get(), 2), 50u);
  expectFails(15511, [&] { TnxOwned<TnxBaseBulkBuilder> again(indices_->CreateBulkBuilder(trans.get())); });
  EXPECT_EQ(TnxBaseIndicesEngine::CreateEngine(static_cast<TnxBaseIndicesDescriptor*>(nullptr), {}, nullptr, false),
            nullptr);
  trans->Commit();
}

// Range walks that read records, stop in the middle and keep positions.
TEST_F(IndexPathTest, IterateReadsRecordsStopsAndKeepsPosition) {
  createIndexed({{u"ID", idNone, {0}}});
  TnxStaticKeyBstarTreeIndexEngine* e = engine();
  TnxOwned<TestTransaction> trans(newTransaction());
  for (std::int32_t id = 0; id < 50; ++id) {
    std::vector<std::uint8_t> r = record(id, std::string(1, static_cast<char>('a' + id % 10)));
    TnxRefNr refNr = 0;
    table_->records->AddRecord(trans.get(), refNr, r.data());
    ASSERT_EQ(indices_->InsertKeys(trans.get(), refNr, r.data(), nullptr), 0);
  }
  const std::vector<std::uint8_t> k10 = key(0, 10, std::nullopt), k19 = key(0, 19, std::nullopt);
  const TnxRangeInfo start{k10.data(), 0, 0, false, true}, end{k19.data(), 0, 0, false, true};
  std::vector<std::int32_t> ids;
  auto collect = [&](void*, TnxRefNr, PnxRecordBuffer aRecord) {
    std::int32_t id;
    std::memcpy(&id, aRecord, 4);
    ids.push_back(id);
    return ids.size() == 4 ? rirStop : rirContinue;
  };
  TnxOwned<TnxStaticKeyBstarTreeIndexPath> p = newPath();
  std::vector<std::uint8_t> buffer(record(0, "").size());
  e->Iterate(trans.get(), p.get(), buffer.data(), {}, collect, nullptr, start, end, nullptr, nullptr, false);
  EXPECT_EQ(ids, (std::vector<std::int32_t>{10, 11, 12, 13}));
  ASSERT_TRUE(p->IsOnKey());
  // Going on from the kept position, without a caller's buffer.
  e->Iterate(trans.get(), p.get(), nullptr, {}, collect, nullptr, start, end, nullptr, nullptr, true);
  EXPECT_EQ(ids, (std::vector<std::int32_t>{10, 11, 12, 13, 14, 15, 16, 17, 18, 19}));
  EXPECT_TRUE(p->IsEof());
  // A key iterator that stops leaves the path on that key; a start above
  // the end walks nothing.
  ids.clear();
  e->Iterate(trans.get(), p.get(), nullptr,
             [&](void*, TnxRefNr, PnxKeyBuffer) { return ids.size() == 2 ? kirStop : kirContinue; }, collect,
             nullptr, start, end, nullptr, nullptr, false);
  EXPECT_EQ(ids, (std::vector<std::int32_t>{10, 11}));
  ASSERT_TRUE(p->IsOnKey());
  ids.clear();
  e->IterateBackward(trans.get(), p.get(), nullptr, {}, collect, nullptr, end, start, nullptr, nullptr, false);
  EXPECT_TRUE(ids.empty());
  EXPECT_TRUE(p->IsBof());
  // Without a record engine the walk is refused before anything moves.
  TnxBaseRecordEngine* records = e->ieRecordEngine;
  e->ieRecordEngine = nullptr;
  expectFails(12289, [&] { e->Iterate(trans.get(), p.get(), nullptr, {}, collect, nullptr, start, end, nullptr, nullptr, false); });
  e->ieRecordEngine = records;
  trans->Commit();
}

// An engine whose deletes can be made to fail, to break an undo.
class FailingDeleteEngine : public TnxStaticKeyBstarTreeIndexEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxStaticKeyBstarTreeIndexEngine::TnxStaticKeyBstarTreeIndexEngine;
  static inline bool failDeletes = false;
  bool DeleteKey(TnxBaseTransaction* aTrans, const void* aKey, TnxRefNr aRefNr, TnxRefNr aCacheRefNr,
                 TnxBaseIndexPath* aPath) override {
    return !failDeletes && TnxStaticKeyBstarTreeIndexEngine::DeleteKey(aTrans, aKey, aRefNr, aCacheRefNr, aPath);
  }
};
inline constexpr TnxSubEngineClassFuncs kFailingFuncs{&FailingDeleteEngine::GetList, &FailingDeleteEngine::CheckDictionary,
                                                     &FailingDeleteEngine::CheckEngineDescriptor, nullptr};
PL_CLASS_INFO_IMPL_TABLE(FailingDeleteEngine, TnxStaticKeyBstarTreeIndexEngine, "FailingDeleteEngine", nullptr,
                         platform::bindClassTable(kFailingFuncs))

TEST_F(IndexPathTest, FailedUndoCorruptsTheTransaction) {
  TnxBaseIndexEngine::RegisterIndexEngine(
      FailingDeleteEngine::staticClassInfo(), "FailingDelete",
      {[](TnxBaseIndicesEngine* aIndices, TnxIndexDescriptor* aDescriptor, TnxBaseKeyEngine* aKeys) -> TnxBaseIndexEngine* {
        return platform::create<FailingDeleteEngine>(aIndices, aDescriptor, aKeys);
      }});
  createIndexed({{u"ByID", idAll, {0}, nbTop, u"FailingDelete"}, {u"UniqueID", idNone, {0}}});
  TnxOwned<TestTransaction> trans(newTransaction());
  std::vector<std::uint8_t> first = record(7, "a"), second = record(7, "b");
  ASSERT_EQ(indices_->InsertKeys(trans.get(), 1, first.data(), nullptr), 0);
  FailingDeleteEngine::failDeletes = true;
  EXPECT_EQ(indices_->InsertKeys(trans.get(), 2, second.data(), nullptr), 9729);
  FailingDeleteEngine::failDeletes = false;
  EXPECT_EQ(trans->CheckState(), 15443);
  trans->Rollback();
  indices_.reset();
  TnxBaseIndexEngine::UnregisterIndexEngine(FailingDeleteEngine::staticClassInfo());
}

// Long keys get larger blocks; beyond 64 KB the index is refused.
TEST_F(IndexPathTest, DescriptorCheckRaisesTheBlockSize) {
  struct Case {
    std::int32_t units;
    TnxBlockSize size;  // nxbs4k also marks the refused case below
    bool refused;
  };
  for (const Case c : {Case{100, nxbs4k, false}, Case{2000, nxbs16k, false}, Case{20000, nxbs4k, true}}) {
    TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
    dict->FieldsDescriptor()->AddField(u"W", u"", nxtWideString, c.units, 0, false);
    TnxMainIndicesDescriptor* list = dict->EnsureIndicesDescriptor();
    list->RemoveIndex(u"Sequential Access Index");
    platform::objectAs<TnxCompKeyDescriptor>(list->AddIndex(u"Wide", 0, idNone, u"")->KeyDescriptor())->Add(0);
    if (c.refused) {
      expectFailsWith(15494, "Maximum key size has been exceeded. Index: #0 Wide",
                      [&] { TnxBaseIndicesEngine::CheckValidBaseFromDescriptor(list); });
    } else {
      TnxBaseIndicesEngine::CheckValidBaseFromDescriptor(list);
      EXPECT_EQ(dict->FilesDescriptor()->Files(0)->BlockSize(), c.size) << c.units;
    }
  }
  TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
  dict->EnsureIndicesDescriptor()->SetIndicesEngine(u"NoSuchEngine");
  expectFailsWith(15503, "Unknown indices engine: \"NoSuchEngine\"",
                  [&] { TnxBaseIndicesEngine::CheckValidBaseFromDescriptor(dict->IndicesDescriptor()); });
}

// The checker finds an index whose header disagrees with its tree.
TEST_F(IndexPathTest, CheckerFindsAWrongKeyCount) {
  createIndexed({{u"Both", idNone, {1, 0}}});
  {
    TnxOwned<TestTransaction> t(newTransaction());
    for (std::int32_t id = 0; id < 100; ++id) insert(t.get(), 0, id, "n", id + 1);
    t->Commit();
  }
  EXPECT_EQ(checkFile(), "");
  {
    TnxOwned<TestTransaction> t(newTransaction());
    TnxOwned<TnxBaseIndexHeaderAccess> header(engine()->CreateHeaderAccess(t.get(), true, true, 0, 0));
    header->SetIndexKeyCount(99);
    header.reset();
    t->Commit();
  }
  EXPECT_NE(checkFile().find("header says 99 keys"), std::string::npos);
  uncheckedFiles_.insert("/db/t.nx1");
}

}  // namespace
}  // namespace nxtest
