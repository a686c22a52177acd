#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "nxsdFilterEngineCallback.h"
#include "nxsdFilterEngineHub.h"
#include "nxsrServerEngineCursorTestSupport.h"

namespace nxcursorfiltertest {

using nxtest::CursorTableTest;
using Clock = std::chrono::steady_clock;

// What a callback filter saw, and how it answers.
struct Probe {
  TnxServerTableCursor* cursor = nullptr;
  std::vector<std::int32_t> ids;  // IDs of the records asked about
  std::int32_t pass = 0;          // IDs up to this pass
  std::int32_t sleepMs = 0;
};

bool probeFilter(void* aCookie, const void* aRecord) {
  auto* probe = static_cast<Probe*>(aCookie);
  std::int32_t id = 0;
  std::memcpy(&id, static_cast<const std::uint8_t*>(aRecord) +
                       probe->cursor->Table()->TableDescriptor()->FieldsDescriptor()->Fields(0)->fdOffset,
              4);
  probe->ids.push_back(id);
  if (probe->sleepMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(probe->sleepMs));
  return id <= probe->pass;
}

bool passAll(void*, const void*) { return true; }
bool evenIDs(void* aCookie, const void* aRecord) {
  auto* cursor = static_cast<TnxServerTableCursor*>(aCookie);
  std::int32_t id = 0;
  std::memcpy(&id, static_cast<const std::uint8_t*>(aRecord) +
                       cursor->Table()->TableDescriptor()->FieldsDescriptor()->Fields(0)->fdOffset,
              4);
  return id % 2 == 0;
}

class CursorFilterTest : public CursorTableTest {
 protected:
  void SetUp() override {
    CursorTableTest::SetUp();
    Fill(200);
  }
  // The IDs RecordGetNext delivers from the beginning.
  std::vector<std::int32_t> Scan(TnxServerTableCursor* aCursor) {
    std::vector<std::int32_t> ids;
    std::vector<std::uint8_t> record = Record(aCursor);
    EXPECT_EQ(aCursor->SetToBegin(), 0);
    while (aCursor->RecordGetNext(nxltNoLock, record.data()) == 0) ids.push_back(ID(aCursor, record.data()));
    return ids;
  }
};

TEST_F(CursorFilterTest, FirstSecondAndThirdFilterGiveAnEngineThenOneHubThatGrows) {
  TnxServerTableCursor* cursor = Open(db_);
  TnxFilterID ids[3] = {};
  ASSERT_EQ(cursor->FilterAddCallback(nullptr, passAll, ids[0], true), 0);
  TnxBaseFilterEngine* first = cursor->Filter();
  ASSERT_NE(platform::objectAs<TnxCallbackFilterEngine>(first), nullptr);
  ASSERT_EQ(cursor->FilterAddCallback(nullptr, passAll, ids[1], true), 0);
  auto* hub = platform::objectAs<TnxFilterEngineHub>(cursor->Filter());
  ASSERT_NE(hub, nullptr);
  EXPECT_EQ(hub->FilterCount(), 2);
  EXPECT_EQ(hub->fehGetFilter(0), first);
  ASSERT_EQ(cursor->FilterAddCallback(nullptr, passAll, ids[2], false), 0);
  EXPECT_EQ(cursor->Filter(), hub);
  EXPECT_EQ(hub->FilterCount(), 3);
  // IDs are distinct handles, none of them an address; only the third is off.
  EXPECT_NE(ids[0], 0u);
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_NE(ids[1], ids[2]);
  EXPECT_TRUE(hub->fehGetFilter(1)->GetActive());
  EXPECT_FALSE(hub->fehGetFilter(2)->GetActive());
  ASSERT_EQ(cursor->FilterRemove(0), 0);
  EXPECT_EQ(cursor->Filter(), nullptr);
  // The IDs went with the chain.
  EXPECT_EQ(cursor->FilterActivate(ids[0]), nxErrInvalidFilterHandle);
}

TEST_F(CursorFilterTest, RemovingAndSwitchingByIDActsOnThatMemberOnly) {
  TnxServerTableCursor* cursor = Open(db_);
  TnxFilterID even = 0;
  TnxFilterID all = 0;
  ASSERT_EQ(cursor->FilterAddCallback(cursor, evenIDs, even, true), 0);
  ASSERT_EQ(cursor->FilterAddCallback(nullptr, passAll, all, true), 0);
  EXPECT_EQ(Scan(cursor).size(), 100u);
  ASSERT_EQ(cursor->FilterDeactivate(even), 0);
  EXPECT_EQ(Scan(cursor).size(), 200u);
  ASSERT_EQ(cursor->FilterActivate(even), 0);
  ASSERT_EQ(cursor->FilterRemove(all), 0);
  // The hub handed its last member to the chain.
  EXPECT_NE(platform::objectAs<TnxCallbackFilterEngine>(cursor->Filter()), nullptr);
  EXPECT_EQ(Scan(cursor).size(), 100u);
  const struct {
    TnxFilterID id;
  } unknown[] = {{all}, {even + 1}, {0xFFFFFFFFu}};
  for (const auto& row : unknown) {
    EXPECT_EQ(cursor->FilterActivate(row.id), nxErrInvalidFilterHandle) << row.id;
    EXPECT_EQ(cursor->FilterRemove(row.id), nxErrInvalidFilterHandle) << row.id;
  }
  ASSERT_EQ(cursor->FilterRemove(even), 0);
  EXPECT_EQ(cursor->Filter(), nullptr);
  EXPECT_EQ(cursor->FilterDeactivate(even), nxErrInvalidFilterHandle);
}

TEST_F(CursorFilterTest, ReplaceByIDReplacesOnlyThatMemberAndReturnsTheNewEngine) {
  TnxServerTableCursor* cursor = Open(db_);
  TnxFilterID keep = 0;
  TnxFilterID old = 0;
  ASSERT_EQ(cursor->FilterAddCallback(nullptr, passAll, keep, true), 0);
  ASSERT_EQ(cursor->FilterAddCallback(nullptr, passAll, old, true), 0);
  TnxBaseFilterEngine* kept = platform::objectAs<TnxFilterEngineHub>(cursor->Filter())->fehGetFilter(0);
  TnxCallbackFilterDescriptor replacement(cursor, evenIDs);
  TnxFilterID id = old;
  ASSERT_EQ(cursor->FilterReplaceCustom(&replacement, id, true, false), 0);
  EXPECT_NE(id, old);
  auto* hub = platform::objectAs<TnxFilterEngineHub>(cursor->Filter());
  ASSERT_NE(hub, nullptr);
  ASSERT_EQ(hub->FilterCount(), 2);
  EXPECT_EQ(hub->fehGetFilter(0), kept);
  EXPECT_EQ(Scan(cursor).size(), 100u);
  // The returned ID names the new engine.
  ASSERT_EQ(cursor->FilterRemove(id), 0);
  EXPECT_EQ(cursor->Filter(), kept);
  EXPECT_EQ(cursor->FilterRemove(old), nxErrInvalidFilterHandle);
}

TEST_F(CursorFilterTest, ReplaceOnACursorWithoutFiltersFailsUnlessTheDropErrorIsIgnored) {
  TnxServerTableCursor* cursor = Open(db_);
  TnxCallbackFilterDescriptor replacement(cursor, evenIDs);
  TnxFilterID id = 12345;
  EXPECT_EQ(cursor->FilterReplaceCustom(&replacement, id, true, false), nxErrInvalidFilterHandle);
  EXPECT_EQ(cursor->Filter(), nullptr);
  EXPECT_EQ(id, 12345u);
  ASSERT_EQ(cursor->FilterReplaceCustom(&replacement, id, true, true), 0);
  EXPECT_NE(cursor->Filter(), nullptr);
  EXPECT_NE(id, 12345u);
  EXPECT_EQ(Scan(cursor).size(), 100u);
  // An empty ID replaces the whole chain.
  TnxCallbackFilterDescriptor all(nullptr, passAll);
  TnxFilterID whole = 0;
  ASSERT_EQ(cursor->FilterReplaceCustom(&all, whole, true, false), 0);
  EXPECT_EQ(Scan(cursor).size(), 200u);
  EXPECT_EQ(cursor->FilterRemove(id), nxErrInvalidFilterHandle);
}

// The key filter reads the first key field of whatever index is active.
struct KeyProbe {
  TnxServerTableCursor* cursor = nullptr;
  std::vector<platform::Variant> seen;
};

bool keyProbeFilter(void* aCookie, const void* aKey) {
  auto* probe = static_cast<KeyProbe*>(aCookie);
  probe->seen.push_back(probe->cursor->KeyFilter()->FieldsSource()->GetFieldAsVariant(aKey, 0));
  return true;
}

TEST_F(CursorFilterTest, AKeyFilterReadsTheKeyFieldsOfTheIndexActiveWhenItRuns) {
  TnxServerTableCursor* cursor = Open(db_);
  KeyProbe probe{cursor, {}};
  TnxKeyFilterID id = 0;
  ASSERT_EQ(cursor->KeyFilterAddCallback(&probe, keyProbeFilter, id), 0);
  ASSERT_EQ(cursor->KeyFilterActivate(id), 0);
  // ID 7 by ID: the key holds 7.
  const std::vector<std::uint8_t> key = Key(cursor, {7, "", 1});
  ASSERT_EQ(cursor->SetToKey(skaGreaterEqual, 0, 0, true, key.data()), 0);
  std::vector<std::uint8_t> record = Record(cursor);
  ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), 0);
  ASSERT_FALSE(probe.seen.empty());
  EXPECT_EQ(probe.seen.back().toInt32(), 7);
  // By group: the key of ID 7 holds its group, 1.
  ASSERT_EQ(cursor->SwitchToIndex(u"ByGrp", -1, porTrue), 0);
  ASSERT_EQ(cursor->KeyFilterActivate(id), 0);
  probe.seen.clear();
  ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0);
  ASSERT_EQ(ID(cursor, record.data()), 7);
  ASSERT_FALSE(probe.seen.empty());
  EXPECT_EQ(probe.seen.back().toInt32(), 1);
  ASSERT_EQ(cursor->KeyFilterRemove(id), 0);
  EXPECT_EQ(cursor->KeyFilter(), nullptr);
}

// ---- Filter time-out ----------------------------------------------------------------------

TEST_F(CursorFilterTest, ARejectingFilterTimesOutWithThePositionKeptAndTheNextCallGoesOn) {
  TnxServerTableCursor* cursor = Open(db_);
  Probe probe{cursor, {}, 0, 1};
  TnxFilterID id = 0;
  ASSERT_EQ(cursor->FilterAddCallback(&probe, probeFilter, id, true), 0);
  ASSERT_EQ(cursor->FilterSetTimeout(50), 0);
  std::vector<std::uint8_t> record = Record(cursor);
  const auto started = Clock::now();
  EXPECT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), nxErrFilterTimeout);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
  EXPECT_GE(took, 45);
  EXPECT_LT(took, 1000);
  ASSERT_FALSE(probe.ids.empty());
  EXPECT_LT(probe.ids.size(), 200u);
  EXPECT_EQ(cursor->sbcGetPosition(), ippOnKey);
  const std::int32_t last = probe.ids.back();
  probe.ids.clear();
  EXPECT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), nxErrFilterTimeout);
  ASSERT_FALSE(probe.ids.empty());
  EXPECT_EQ(probe.ids.front(), last + 1);
}

TEST_F(CursorFilterTest, WithoutAFilterTimeOutOnlyTheDeadlineStopsTheSearch) {
  for (const char16_t* index : {u"ByID", u""}) {
    TnxServerTableCursor* cursor = Open(db_, index, 100);
    Probe probe{cursor, {}, 0, 1};
    TnxFilterID id = 0;
    ASSERT_EQ(cursor->FilterAddCallback(&probe, probeFilter, id, true), 0);
    ASSERT_EQ(cursor->FilterSetTimeout(0), 0);
    const auto started = Clock::now();
    EXPECT_EQ(cursor->RecordGetNext(nxltNoLock, nullptr), nxErrTimeout);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    EXPECT_GE(took, 90);
    EXPECT_LT(took, 1000);
  }
}

TEST_F(CursorFilterTest, ARejectingKeyFilterTimesOutThroughItsHook) {
  TnxServerTableCursor* cursor = Open(db_);
  Probe probe{cursor, {}, 0, 1};
  TnxKeyFilterID id = 0;
  ASSERT_EQ(cursor->KeyFilterAddCallback(
                &probe,
                [](void* aCookie, const void* aKey) {
                  auto* p = static_cast<Probe*>(aCookie);
                  p->ids.push_back(p->cursor->KeyFilter()->FieldsSource()->GetFieldAsVariant(aKey, 0).toInt32());
                  std::this_thread::sleep_for(std::chrono::milliseconds(p->sleepMs));
                  return false;
                },
                id),
            0);
  ASSERT_EQ(cursor->KeyFilterActivate(id), 0);
  ASSERT_EQ(cursor->FilterSetTimeout(50), 0);
  const auto started = Clock::now();
  EXPECT_EQ(cursor->RecordGetNext(nxltNoLock, nullptr), nxErrFilterTimeout);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
  EXPECT_GE(took, 45);
  EXPECT_LT(took, 1000);
  ASSERT_FALSE(probe.ids.empty());
  const std::int32_t last = probe.ids.back();
  probe.ids.clear();
  EXPECT_EQ(cursor->RecordGetNext(nxltNoLock, nullptr), nxErrFilterTimeout);
  ASSERT_FALSE(probe.ids.empty());
  EXPECT_EQ(probe.ids.front(), last + 1);
}

// ---- Positioning by filter, duplicates ------------------------------------------------------

TEST_F(CursorFilterTest, SetToFilterStopsOnTheFirstMatchInEitherDirection) {
  struct Row {
    const char16_t* index;
    bool forward;
    std::int32_t pass;    // the filter passes IDs up to this one (0: none)
    TnxResult result;
    std::int32_t current;  // the current record afterwards
  };
  const Row rows[] = {
      {u"ByID", true, 200, 0, 1},   {u"ByID", false, 200, 0, 200}, {u"ByID", false, 3, 0, 3},
      {u"", true, 200, 0, 1},       {u"", false, 3, 0, 3},         {u"ByID", true, 0, nxErrNoCurrentRecord, 0},
      {u"", true, 0, nxErrNoCurrentRecord, 0},
  };
  for (const Row& row : rows) {
    TnxServerTableCursor* cursor = Open(db_, row.index);
    Probe probe{cursor, {}, row.pass, 0};
    TnxCallbackFilterDescriptor filter(&probe, probeFilter);
    EXPECT_EQ(cursor->SetToFilter(&filter, nullptr, row.forward), row.result) << row.forward << " " << row.pass;
    std::vector<std::uint8_t> record = Record(cursor);
    if (row.current != 0) {
      ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0);
      EXPECT_EQ(ID(cursor, record.data()), row.current) << row.forward << " " << row.pass;
    } else {
      EXPECT_NE(cursor->RecordGet(nxltNoLock, record.data()), 0);
    }
    // The one-shot filter is not left on the cursor.
    EXPECT_EQ(cursor->Filter(), nullptr);
  }
}

TEST_F(CursorFilterTest, ADuplicateReadsThroughACopyOfTheRecordFilterButNotTheKeyFilter) {
  TnxServerTableCursor* cursor = Open(db_);
  TnxFilterID id = 0;
  ASSERT_EQ(cursor->FilterAddCallback(cursor, evenIDs, id, true), 0);
  TnxKeyFilterID keyID = 0;
  ASSERT_EQ(cursor->KeyFilterAddCallback(nullptr, passAll, keyID), 0);
  TnxAbstractCursor* copy = nullptr;
  ASSERT_EQ(cursor->Duplicate(omReadWrite, copy), 0);
  auto* duplicate = static_cast<TnxServerTableCursor*>(copy);
  ASSERT_NE(duplicate->Filter(), nullptr);
  EXPECT_NE(duplicate->Filter(), cursor->Filter());
  EXPECT_EQ(duplicate->KeyFilter(), nullptr);
  EXPECT_EQ(Scan(duplicate).size(), 100u);
  // The original keeps its own chain.
  ASSERT_EQ(cursor->FilterRemove(id), 0);
  EXPECT_EQ(Scan(duplicate).size(), 100u);
  EXPECT_EQ(Scan(cursor).size(), 200u);
}

}  // namespace nxcursorfiltertest
