// The merge sort engine against std::stable_sort of the same records by the
// same key comparison. Runs spill into result sets of the fake database,
// whose folder shows every run table while it lives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "nxFakeTables.h"
#include "nxllBde.h"
#include "nxsdKeyEngineBase.h"
#include "nxseSortEngineMerge.h"
#include "nxsrServerEngine.h"
#include "nxsrServerEngineTestSupport.h"
#include "nxsrTimeoutHandling.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

enum class KeyOrder { Random, Sorted, Reversed, AllEqual, Groups };
enum class ReadMode { Get, IterateCopy, IterateOwn };

// A layout whose data fields take aDataBytes bytes: an integer key (a byte
// key for 1 byte), an arrival number and padding.
TnxDataDictionary* sortDictionary(int aDataBytes) {
  TnxOwned<TnxDataDictionary> dict(platform::create<TnxDataDictionary>());
  TnxFieldsDescriptor* fields = dict->FieldsDescriptor();
  if (aDataBytes == 1) {
    fields->AddField(u"Key", u"", nxtByte, 0, 0, false);
  } else {
    fields->AddField(u"Key", u"", nxtInt32, 0, 0, false);
    fields->AddField(u"Seq", u"", nxtInt32, 0, 0, false);
    if (aDataBytes > 8) fields->AddField(u"Pad", u"", nxtByteArray, aDataBytes - 8, 0, false);
  }
  return dict.release();
}

class MergeSortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nxsrServerEngineInitialize();
    nxSetTimeout(0, true);
    fake_ = std::make_unique<nxfake::FakeDatabase>();
    folder_ = fake_->db->Folder();
  }
  void TearDown() override {
    sorter_.reset();
    fake_.reset();
    nxsrServerEngineFinalize();
  }

  // A sorter over aDataBytes-byte records ordered by "Key".
  TnxMergeSortEngine* Make(int aDataBytes) {
    sorter_.reset();
    dict_.reset(sortDictionary(aDataBytes));
    dataBytes_ = aDataBytes;
    TnxOwned<TnxDataDictionary> keyed(dict_->Duplicate());
    keyed->AddIndicesDescriptor()->AddIndex(u"ByKey", 0, idAll, u"", nullptr, nullptr);
    auto* key = static_cast<TnxCompKeyDescriptor*>(keyed->IndicesDescriptor()->Indices(0)->KeyDescriptor());
    key->Add(0);
    sorter_.reset(platform::create<TnxMergeSortEngine>(fake_->db, dict_.get(), keyed->IndicesDescriptor()->Indices(0)));
    recLen_ = static_cast<std::size_t>(dict_->FieldsDescriptor()->RecordLength());
    return sorter_.get();
  }

  std::size_t Tables() const { return folder_->tables.size(); }

  std::int64_t KeyOf(const std::uint8_t* aRecord) const {
    return dict_->FieldsDescriptor()->fsdGetFieldByIndexAsVariant(aRecord, 0).toInt64();
  }

  // aCount records whose keys follow aOrder; each record's other bytes are
  // its arrival number, so equal keys stay distinguishable.
  std::vector<Bytes> Records(std::size_t aCount, KeyOrder aOrder, std::uint32_t aSeed = 7) {
    TnxFieldsDescriptor* fields = dict_->FieldsDescriptor();
    const bool byteKey = fields->FieldCount() == 1;
    const std::int64_t range = byteKey ? 256 : 1000000;
    std::mt19937 random(aSeed);
    std::vector<Bytes> records;
    records.reserve(aCount);
    for (std::size_t i = 0; i < aCount; ++i) {
      Bytes record(recLen_ + 4, 0);
      fields->InitRecord(record.data());
      std::int64_t key = 0;
      switch (aOrder) {
        case KeyOrder::Random: key = std::int64_t(random() % range); break;
        case KeyOrder::Sorted: key = byteKey ? std::int64_t(i * 256 / std::max<std::size_t>(aCount, 1)) : std::int64_t(i); break;
        case KeyOrder::Reversed:
          key = byteKey ? 255 - std::int64_t(i * 256 / std::max<std::size_t>(aCount, 1)) : std::int64_t(aCount - i);
          break;
        case KeyOrder::AllEqual: key = 42; break;
        case KeyOrder::Groups: key = std::int64_t(random() % 50); break;
      }
      fields->fsdSetFieldByIndexAsVariant(record.data(), 0, platform::Variant(std::int32_t(key)));
      if (!byteKey) {
        fields->fsdSetFieldByIndexAsVariant(record.data(), 1, platform::Variant(std::int32_t(i)));
        if (fields->FieldCount() > 2) {
          // Padding that differs per record: a record copied short shows.
          const std::int32_t pad = fields->Fields(2)->fdOffset;
          for (std::size_t b = std::size_t(pad); b < std::size_t(pad) + std::size_t(dataBytes_ - 8); ++b) record[b] = std::uint8_t(i * 31 + b);
        }
      }
      records.push_back(std::move(record));
    }
    return records;
  }

  void PutAll(const std::vector<Bytes>& aRecords) {
    for (const Bytes& record : aRecords) {
      Bytes copy = record;
      ASSERT_EQ(sorter_->Put(copy.data()), 0);
    }
  }

  // The records std::stable_sort puts in key order.
  std::vector<Bytes> Expected(std::vector<Bytes> aRecords) const {
    TnxBaseKeyEngine* keys = sorter_->bsKeyEngine;
    std::stable_sort(aRecords.begin(), aRecords.end(),
                     [&](const Bytes& a, const Bytes& b) { return keys->CompareRecord(a.data(), b.data()) < 0; });
    return aRecords;
  }

  // Key sequence equal; equal keys in any order, with every record once.
  void ExpectSortedLike(std::vector<Bytes> aActual, std::vector<Bytes> aExpected) const {
    ASSERT_EQ(aActual.size(), aExpected.size());
    TnxBaseKeyEngine* keys = sorter_->bsKeyEngine;
    for (std::size_t i = 0; i < aActual.size(); ++i)
      ASSERT_EQ(keys->CompareRecord(aActual[i].data(), aExpected[i].data()), 0) << "at " << i;
    const auto raw = [&](std::vector<Bytes>& v) {
      for (Bytes& b : v) b.resize(recLen_);
      std::sort(v.begin(), v.end());
    };
    raw(aActual);
    raw(aExpected);
    EXPECT_TRUE(aActual == aExpected);
  }

  std::vector<Bytes> ReadAll(ReadMode aMode) {
    std::vector<Bytes> out;
    if (aMode == ReadMode::Get) {
      Bytes record(recLen_ + 4, 0);
      nxtest::StepBound step;
      TnxResult result = 0;
      while (step() && (result = sorter_->Get(record.data())) == 0) out.emplace_back(record.begin(), record.begin() + recLen_);
      EXPECT_EQ(result, nxErrEOF);
      return out;
    }
    Bytes buffer(recLen_ + 4, 0);
    PnxRecordBuffer data = aMode == ReadMode::IterateCopy ? buffer.data() : nullptr;
    const bool any = sorter_->Iterate(
        &data, nullptr,
        [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
          EXPECT_EQ(aRefNr, 0);
          if (aMode == ReadMode::IterateCopy) {
            EXPECT_EQ(aRecord, buffer.data());
          }
          out.emplace_back(aRecord, aRecord + recLen_);
          return rirContinue;
        },
        nullptr);
    EXPECT_EQ(any, !out.empty());
    if (aMode == ReadMode::IterateOwn) {
      EXPECT_EQ(data, nullptr);
    }
    return out;
  }

  std::unique_ptr<nxfake::FakeDatabase> fake_;
  TnxFakeFolder* folder_ = nullptr;
  TnxOwned<TnxDataDictionary> dict_;
  TnxOwned<TnxMergeSortEngine> sorter_;
  std::size_t recLen_ = 0;
  int dataBytes_ = 0;
};

// How many records a case puts, from the in-memory run's capacity.
enum class Amount { None, FullRun, FullRunPlusOne, SixRuns, Small };

std::size_t amountOf(Amount aAmount, std::size_t aMax) {
  switch (aAmount) {
    case Amount::None: return 0;
    case Amount::FullRun: return aMax;
    case Amount::FullRunPlusOne: return aMax + 1;
    case Amount::SixRuns: return 5 * aMax + 17;
    case Amount::Small: return 100;
  }
  return 0;
}

TEST_F(MergeSortTest, SortsLikeStableSort) {
  struct Case {
    const char* name;
    int dataBytes;
    Amount amount;
    KeyOrder order;
    ReadMode mode;
    std::size_t runsAfterPut;  // spilled while putting
  } cases[] = {
      {"empty", 16, Amount::None, KeyOrder::Random, ReadMode::Get, 0},
      {"empty iterate", 16, Amount::None, KeyOrder::Random, ReadMode::IterateOwn, 0},
      {"exactly one run", 16, Amount::FullRun, KeyOrder::Random, ReadMode::Get, 0},
      {"one run plus one", 16, Amount::FullRunPlusOne, KeyOrder::Random, ReadMode::IterateCopy, 1},
      {"six runs", 300, Amount::SixRuns, KeyOrder::Random, ReadMode::Get, 5},
      {"six runs iterated", 300, Amount::SixRuns, KeyOrder::Groups, ReadMode::IterateOwn, 5},
      {"1-byte records spilled", 1, Amount::FullRunPlusOne, KeyOrder::Random, ReadMode::Get, 1},
      {"1-byte records in memory", 1, Amount::Small, KeyOrder::Random, ReadMode::IterateOwn, 0},
      {"300-byte records in memory", 300, Amount::Small, KeyOrder::Random, ReadMode::IterateCopy, 0},
      {"sorted in memory", 16, Amount::FullRun, KeyOrder::Sorted, ReadMode::Get, 0},
      {"sorted spilled", 16, Amount::FullRunPlusOne, KeyOrder::Sorted, ReadMode::IterateOwn, 1},
      {"reversed in memory", 16, Amount::FullRun, KeyOrder::Reversed, ReadMode::IterateCopy, 0},
      {"reversed six runs", 300, Amount::SixRuns, KeyOrder::Reversed, ReadMode::IterateCopy, 5},
      {"all equal in memory", 16, Amount::FullRun, KeyOrder::AllEqual, ReadMode::Get, 0},
      {"all equal spilled", 16, Amount::FullRunPlusOne, KeyOrder::AllEqual, ReadMode::Get, 1},
      {"1-byte reversed", 1, Amount::FullRun, KeyOrder::Reversed, ReadMode::Get, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t tables = Tables();
    TnxMergeSortEngine* sorter = Make(c.dataBytes);
    const std::vector<Bytes> records = Records(amountOf(c.amount, sorter->MaxRecCount()), c.order);
    PutAll(records);
    EXPECT_EQ(sorter->RunCount(), c.runsAfterPut);
    EXPECT_EQ(Tables(), tables + c.runsAfterPut);
    ExpectSortedLike(ReadAll(c.mode), Expected(records));
    // Reading consumed every run; nothing is left to read.
    EXPECT_EQ(sorter->RunCount(), 0u);
    EXPECT_EQ(sorter->Get(nullptr), nxErrEOF);
    sorter_.reset();
    EXPECT_EQ(Tables(), tables);
  }
}

TEST_F(MergeSortTest, SixRunsMergeTheOldestFiveFirst) {
  TnxMergeSortEngine* sorter = Make(300);
  const std::vector<Bytes> records = Records(5 * sorter->MaxRecCount() + 3, KeyOrder::Random);
  PutAll(records);
  ASSERT_EQ(sorter->RunCount(), 5u);
  const std::int32_t made = folder_->resultSetsMade;
  Bytes first(recLen_ + 4);
  ASSERT_EQ(sorter->Get(first.data()), 0);
  // The last run spilled, one pass wrote a new run of the oldest five: two
  // runs are merged while reading.
  EXPECT_EQ(folder_->resultSetsMade, made + 2);
  EXPECT_EQ(sorter->RunCount(), 2u);
  EXPECT_EQ(sorter->bsKeyEngine->CompareRecord(first.data(), Expected(records)[0].data()), 0);
}

TEST_F(MergeSortTest, EmptySorterNeverCallsTheIterator) {
  Make(16);
  int calls = 0;
  const TnxRecordIterator count = [&](void*, TnxRefNr, PnxRecordBuffer) {
    ++calls;
    return rirContinue;
  };
  bool changed = true;
  EXPECT_FALSE(sorter_->Iterate(nullptr, &changed, count, nullptr));
  EXPECT_FALSE(sorter_->IterateSameKey(nullptr, count, nullptr));
  EXPECT_EQ(sorter_->Get(nullptr), nxErrEOF);
  EXPECT_EQ(calls, 0);
}

// Spilled (1 run + memory) or in memory only.
struct Mode {
  const char* name;
  bool spilled;
};
const Mode kModes[] = {{"memory", false}, {"merge", true}};

TEST_F(MergeSortTest, SameKeyGroupsLeaveTheNextGroupsFirstRecord) {
  for (const Mode& m : kModes) {
    SCOPED_TRACE(m.name);
    TnxMergeSortEngine* sorter = Make(16);
    const std::size_t count = m.spilled ? sorter->MaxRecCount() + 500 : 2000;
    const std::vector<Bytes> records = Records(count, KeyOrder::Groups);
    PutAll(records);
    const std::vector<Bytes> expected = Expected(records);
    std::vector<Bytes> all;
    std::size_t groups = 0;
    nxtest::StepBound step;
    for (;;) {
      ASSERT_TRUE(step());
      std::vector<Bytes> group;
      PnxRecordBuffer data = nullptr;
      const bool any = sorter->IterateSameKey(
          &data,
          [&](void*, TnxRefNr, PnxRecordBuffer aRecord) {
            group.emplace_back(aRecord, aRecord + recLen_);
            return rirContinue;
          },
          nullptr);
      if (!any) break;
      ASSERT_FALSE(group.empty());
      for (const Bytes& r : group) EXPECT_EQ(KeyOf(r.data()), KeyOf(group[0].data()));
      // A whole group: the next one starts with a greater key.
      if (!all.empty()) {
        EXPECT_LT(KeyOf(all.back().data()), KeyOf(group[0].data()));
      }
      all.insert(all.end(), group.begin(), group.end());
      ++groups;
    }
    EXPECT_EQ(groups, 50u);
    ExpectSortedLike(all, expected);
  }
}

TEST_F(MergeSortTest, KeyChangedMarksTheFirstRecordOfEachKey) {
  for (const Mode& m : kModes) {
    SCOPED_TRACE(m.name);
    TnxMergeSortEngine* sorter = Make(16);
    const std::size_t count = m.spilled ? sorter->MaxRecCount() + 500 : 2000;
    const std::vector<Bytes> records = Records(count, KeyOrder::Groups);
    PutAll(records);
    std::vector<std::pair<std::int64_t, bool>> seen;
    const auto collect = [&](std::size_t aStopAfter) {
      bool changed = false;
      return sorter->Iterate(
          nullptr, &changed,
          [&, aStopAfter](void*, TnxRefNr, PnxRecordBuffer aRecord) {
            seen.emplace_back(KeyOf(aRecord), changed);
            return seen.size() == aStopAfter ? rirStop : rirContinue;
          },
          nullptr);
    };
    // Stop inside the first group, then read the rest in a second call.
    EXPECT_FALSE(collect(2));
    ASSERT_EQ(seen.size(), 2u);
    ASSERT_EQ(seen[0].first, seen[1].first);
    EXPECT_TRUE(collect(0));
    ASSERT_EQ(seen.size(), count);
    for (std::size_t i = 0; i < seen.size(); ++i) {
      bool expected = i == 0 || seen[i].first != seen[i - 1].first;
      // A merge compares only within one call: its first record counts as changed.
      if (i == 2 && m.spilled) expected = true;
      EXPECT_EQ(seen[i].second, expected) << "at " << i;
    }
  }
}

TEST_F(MergeSortTest, GetWithoutBufferSkipsExactlyOneRecord) {
  for (const Mode& m : kModes) {
    SCOPED_TRACE(m.name);
    TnxMergeSortEngine* sorter = Make(16);
    const std::vector<Bytes> records =
        Records(m.spilled ? sorter->MaxRecCount() + 10 : 50, KeyOrder::Reversed);
    PutAll(records);
    const std::vector<Bytes> expected = Expected(records);
    Bytes record(recLen_ + 4);
    ASSERT_EQ(sorter->Get(record.data()), 0);
    EXPECT_EQ(KeyOf(record.data()), KeyOf(expected[0].data()));
    ASSERT_EQ(sorter->Get(nullptr), 0);
    ASSERT_EQ(sorter->Get(record.data()), 0);
    EXPECT_EQ(KeyOf(record.data()), KeyOf(expected[2].data()));
  }
}

TEST_F(MergeSortTest, IteratorStoppingAtTheFirstRecordLeavesTheRest) {
  for (const Mode& m : kModes) {
    SCOPED_TRACE(m.name);
    TnxMergeSortEngine* sorter = Make(16);
    const std::vector<Bytes> records = Records(m.spilled ? sorter->MaxRecCount() + 10 : 50, KeyOrder::Sorted);
    PutAll(records);
    const std::vector<Bytes> expected = Expected(records);
    int calls = 0;
    const TnxRecordIterator stop = [&](void*, TnxRefNr, PnxRecordBuffer) {
      ++calls;
      return rirStop;
    };
    EXPECT_FALSE(sorter->Iterate(nullptr, nullptr, stop, nullptr));
    EXPECT_FALSE(sorter->IterateSameKey(nullptr, stop, nullptr));
    EXPECT_EQ(calls, 2);
    Bytes record(recLen_ + 4);
    ASSERT_EQ(sorter->Get(record.data()), 0);
    EXPECT_EQ(KeyOf(record.data()), KeyOf(expected[2].data()));
  }
}

TEST_F(MergeSortTest, RefusedSpillKeepsTheRunInMemory) {
  TnxMergeSortEngine* sorter = Make(16);
  const std::vector<Bytes> records = Records(sorter->MaxRecCount() + 1, KeyOrder::Random);
  for (std::size_t i = 0; i + 1 < records.size(); ++i) {
    Bytes copy = records[i];
    ASSERT_EQ(sorter->Put(copy.data()), 0);
  }
  const std::size_t tables = Tables();
  folder_->failResultSetInsert = nxErrTempStorageFull;
  Bytes last = records.back();
  EXPECT_EQ(sorter->Put(last.data()), nxErrTempStorageFull);
  EXPECT_EQ(sorter->RunCount(), 0u);
  EXPECT_EQ(Tables(), tables);
  EXPECT_EQ(sorter->TotalCount(), sorter->MaxRecCount());
  // The next put spills the same records and is taken.
  folder_->failResultSetInsert = 0;
  last = records.back();
  ASSERT_EQ(sorter->Put(last.data()), 0);
  EXPECT_EQ(sorter->RunCount(), 1u);
  ExpectSortedLike(ReadAll(ReadMode::Get), Expected(records));
}

std::uint64_t gNow = 0;
std::uint64_t fakeTicks() { return gNow; }

TEST_F(MergeSortTest, PassedDeadlineStopsTheSortOfAFullRun) {
  TnxMergeSortEngine* sorter = Make(16);
  const std::vector<Bytes> records = Records(sorter->MaxRecCount() + 1, KeyOrder::Random);
  for (std::size_t i = 0; i + 1 < records.size(); ++i) {
    Bytes copy = records[i];
    ASSERT_EQ(sorter->Put(copy.data()), 0);
  }
  gNow = 1000;
  const TnxTickSource previous = nxSetTickSource(&fakeTicks);
  nxSetTimeout(10, true);
  gNow = 5000;
  Bytes last = records.back();
  try {
    sorter->Put(last.data());
    ADD_FAILURE() << "no time-out";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), nxErrTimeout);
  }
  nxSetTickSource(previous);
  nxSetTimeout(0, true);
  EXPECT_EQ(sorter->RunCount(), 0u);
  EXPECT_EQ(sorter->TotalCount(), sorter->MaxRecCount());
}

TEST_F(MergeSortTest, RunTablesGoWithTheSorterAtAnyStage) {
  struct Case {
    const char* name;
    std::size_t runs;  // full runs put
    int reads;         // records read before destruction
  } cases[] = {
      {"never read", 2, 0},
      {"inside a two-way merge", 1, 3},
      {"inside the final merge after a pass", 6, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t tables = Tables();
    TnxMergeSortEngine* sorter = Make(300);
    PutAll(Records(c.runs * sorter->MaxRecCount() + 1, KeyOrder::Random));
    for (int i = 0; i < c.reads; ++i) ASSERT_EQ(sorter->Get(nullptr), 0);
    EXPECT_GT(Tables(), tables);
    sorter_.reset();
    EXPECT_EQ(Tables(), tables);
  }
}

TEST_F(MergeSortTest, DefaultClassMakesMergeSorters) {
  const platform::ClassInfo* cls = nxDefaultSortEngineClass.load();
  ASSERT_EQ(cls, &TnxMergeSortEngine::staticClassInfo());
  Make(16);
  TnxOwned<TnxDataDictionary> keyed(dict_->Duplicate());
  keyed->AddIndicesDescriptor()->AddIndex(u"ByKey", 0, idAll, u"", nullptr, nullptr);
  static_cast<TnxCompKeyDescriptor*>(keyed->IndicesDescriptor()->Indices(0)->KeyDescriptor())->Add(0);
  TnxOwned<TnxBaseSortEngine> made(nxCreateSortEngine(*cls, fake_->db, dict_.get(), keyed->IndicesDescriptor()->Indices(0)));
  EXPECT_NE(platform::objectAs<TnxMergeSortEngine>(made.get()), nullptr);
}

// Sorters of the real server database: a run that fits stays in memory and
// the folder never gains a table; more records spill runs to result-set
// tables of the database, which go with the sorter.
TEST(MergeSortServerDatabase, RunsSpillToTablesOfTheDatabaseOnlyWhenFull) {
  nxtest::ServerEngineFixture fixture;
  nxSetTimeout(0, true);
  TnxServerEngine* engine = fixture.Started();
  fixture.Fs().makeDirectory("/data/db");
  TnxAbstractSession* session = nullptr;
  ASSERT_EQ(engine->SessionOpen(session, u"user", u"pw", u"test", 0), 0);
  TnxAbstractDatabase* abstractDb = nullptr;
  ASSERT_EQ(session->DatabaseOpen(abstractDb, u"Path", u"/data/db", nullptr, omReadWrite, smShared, 0), 0);
  auto* db = static_cast<TnxServerDatabase*>(abstractDb);
  TnxOwned<TnxDataDictionary> dict(sortDictionary(300));
  TnxOwned<TnxDataDictionary> keyed(dict->Duplicate());
  TnxIndexDescriptor* index = keyed->AddIndicesDescriptor()->AddIndex(u"ByKey", 0, idAll, u"", nullptr, nullptr);
  static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(0);
  TnxFieldsDescriptor* fields = dict->FieldsDescriptor();
  struct Case {
    const char* name;
    std::uint32_t fullRuns;  // records: fullRuns * msMaxRecCount + extra
    std::uint32_t extra;
    std::size_t spilled;
    bool callerTransaction;  // the sort runs inside a transaction of the caller
  } cases[] = {
      {"exactly one run", 1, 0, 0, false},
      {"one record more: one spilled run", 1, 1, 1, false},
      {"two runs and some: three-way merge", 2, 7, 2, false},
      {"six runs: a pass, then a two-way merge", 6, 3, 6, false},
      {"spilled inside the caller's transaction", 1, 1, 1, true},
      {"a pass inside the caller's transaction", 6, 3, 6, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::int32_t tables = db->Folder()->OpenTableCount();
    if (c.callerTransaction) {
      ASSERT_EQ(db->TransactionStart(false, false), 0);
    }
    std::int32_t level = -1;
    const TnxResult levelBefore = db->TransactionGetLevel(level);
    {
      TnxOwned<TnxBaseSortEngine> sorter(nxCreateSortEngine(*nxDefaultSortEngineClass.load(), db, dict.get(), index));
      auto* merge = platform::objectAs<TnxMergeSortEngine>(sorter.get());
      ASSERT_NE(merge, nullptr);
      const std::uint32_t count = c.fullRuns * merge->MaxRecCount() + c.extra;
      std::vector<std::uint8_t> record(static_cast<std::size_t>(fields->RecordLength()) + 4);
      // Keys count down, each twice; Seq tells the copies apart.
      for (std::uint32_t i = 0; i < count; ++i) {
        fields->InitRecord(record.data());
        fields->fsdSetFieldByIndexAsVariant(record.data(), 0, platform::Variant(std::int32_t((count - i + 1) / 2)));
        fields->fsdSetFieldByIndexAsVariant(record.data(), 1, platform::Variant(std::int32_t(i)));
        ASSERT_EQ(sorter->Put(record.data()), 0);
      }
      EXPECT_EQ(merge->RunCount(), c.spilled);
      EXPECT_EQ(db->Folder()->OpenTableCount(), tables + static_cast<std::int32_t>(c.spilled));
      std::int64_t previous = 0;
      std::uint32_t got = 0;
      std::vector<bool> seen(count);
      EXPECT_TRUE(sorter->Iterate(
          nullptr, nullptr,
          [&](void*, TnxRefNr, PnxRecordBuffer aRecord) {
            const std::int64_t key = fields->fsdGetFieldByIndexAsVariant(aRecord, 0).toInt64();
            const std::int64_t seq = fields->fsdGetFieldByIndexAsVariant(aRecord, 1).toInt64();
            EXPECT_GE(key, previous);
            EXPECT_EQ(key, (count - seq + 1) / 2);
            if (seq >= 0 && seq < count) seen[static_cast<std::size_t>(seq)] = true;
            previous = key;
            ++got;
            return rirContinue;
          },
          nullptr));
      EXPECT_EQ(got, count);
      EXPECT_EQ(std::count(seen.begin(), seen.end(), true), count);
      EXPECT_EQ(sorter->Get(nullptr), nxErrEOF);
      // The writes of runs leave the caller's transaction state as it was.
      std::int32_t levelAfter = -1;
      EXPECT_EQ(db->TransactionGetLevel(levelAfter), levelBefore);
      EXPECT_EQ(levelAfter, level);
    }
    if (c.callerTransaction) {
      EXPECT_EQ(db->TransactionCommit(), 0);
    } else {
      EXPECT_EQ(db->Folder()->OpenTableCount(), tables);
    }
  }
  TnxAbstractServerObject::Free(session);
}

// A sort class of someone else.
class TnxOtherSortEngine : public TnxMergeSortEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxMergeSortEngine::TnxMergeSortEngine;
};
PL_CLASS_INFO_IMPL_TABLE(TnxOtherSortEngine, TnxMergeSortEngine, "TnxOtherSortEngine", nullptr,
                         platform::bindClassTable(nxSortEngineFuncs<TnxOtherSortEngine>))

TEST(MergeSortStartUp, ClassSetBeforeStartUpStays) {
  // Nothing here has started the module.
  ASSERT_EQ(nxDefaultSortEngineClass.load(), nullptr);
  nxseSortEngineMergeInitialize();
  EXPECT_EQ(nxDefaultSortEngineClass.load(), &TnxMergeSortEngine::staticClassInfo());
  nxseSortEngineMergeFinalize();
  EXPECT_EQ(nxDefaultSortEngineClass.load(), nullptr);

  nxDefaultSortEngineClass = &TnxOtherSortEngine::staticClassInfo();
  nxseSortEngineMergeInitialize();
  EXPECT_EQ(nxDefaultSortEngineClass.load(), &TnxOtherSortEngine::staticClassInfo());
  nxseSortEngineMergeFinalize();
  EXPECT_EQ(nxDefaultSortEngineClass.load(), &TnxOtherSortEngine::staticClassInfo());
  nxDefaultSortEngineClass = nullptr;
}

}  // namespace
