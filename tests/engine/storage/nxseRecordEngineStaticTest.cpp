// Static records: geometry, slots and the free-slot list, walks, record
// numbers, persistence and damaged data blocks.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "nxseTableTestSupport.h"

namespace {

using namespace nxtest;

class StaticRecordTest : public TableTest {
 protected:
  Table& table(std::int32_t aBytes = 96) {
    if (tables_.empty()) createTable(newDictionary(aBytes));
    return *tables_.front();
  }
  TnxStaticRecordEngine* engine() { return table().statics(); }
  std::vector<std::uint8_t> record(std::uint32_t aValue) {
    std::vector<std::uint8_t> r(engine()->breRecordLength + 4, 0);
    nxsePutU32(r.data(), aValue);
    nxsePutU32(r.data() + 50, ~aValue);
    return r;
  }
  TnxRefNr add(TnxBaseTransaction* aTrans, std::uint32_t aValue) {
    std::vector<std::uint8_t> r = record(aValue);
    TnxRefNr refNr = 0;
    engine()->AddRecord(aTrans, refNr, r.data());
    return refNr;
  }
  std::uint32_t valueAt(TnxBaseTransaction* aTrans, TnxRefNr aRefNr) {
    std::vector<std::uint8_t> r(engine()->breRecordLength + 4, 0);
    engine()->ReadRecord(aTrans, aRefNr, r.data());
    EXPECT_EQ(nxseGetU32(r.data() + 50), ~nxseGetU32(r.data()));
    return nxseGetU32(r.data());
  }
  // All records in chain order as RefNr -> value.
  std::vector<std::pair<TnxRefNr, std::uint32_t>> scan(TnxBaseTransaction* aTrans, bool aBackward = false) {
    std::vector<std::pair<TnxRefNr, std::uint32_t>> result;
    TnxRefNr refNr = 0;
    PnxRecordBuffer data = nullptr;
    auto it = [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
      result.emplace_back(aRefNr, nxseGetU32(aRecord));
      return rirContinue;
    };
    if (aBackward)
      engine()->IterateBackward(aTrans, refNr, &data, it, nullptr, nullptr, false, false);
    else
      engine()->Iterate(aTrans, refNr, &data, it, nullptr, nullptr, false, false);
    EXPECT_EQ(refNr, 0);
    return result;
  }
  static TnxRefNr ref(TnxBlockNumber aBlock, std::uint32_t aSlot) {
    return static_cast<TnxRefNr>((std::uint64_t{aBlock} << 32) | aSlot);
  }
};

// A callback filter: even values pass.
bool evenValues(void*, const void* aBuffer) { return nxseGetU32(static_cast<const std::uint8_t*>(aBuffer)) % 2 == 0; }

TEST_F(StaticRecordTest, GeometryOfHundredByteRecordsInFourKilobyteBlocks) {
  EXPECT_EQ(engine()->breRecordLength, 100);
  EXPECT_EQ(engine()->reRecsPerBlock, 40);
  EXPECT_EQ(engine()->reInUseArraySize, 5);
  EXPECT_EQ(engine()->reRecordLength, 100);
  EXPECT_EQ(engine()->reFirstRecordOffset, 92);
}

TEST_F(StaticRecordTest, SlotLengthDropsLowBitsWhileTheRecordStillFits) {
  // L = 36: 4060 * 8 / 289 = 112 slots, 14 bitmap bytes, (4092-14-32)/112 =
  // 36 -> stays 36 (bit 2 set is needed).
  Table& t = table(32);
  EXPECT_EQ(t.statics()->reRecsPerBlock, 112);
  EXPECT_EQ(t.statics()->reInUseArraySize, 14);
  EXPECT_EQ(t.statics()->reRecordLength, 36);
  EXPECT_EQ(t.statics()->reFirstRecordOffset, 4092 - 36 * 112);
}

TEST_F(StaticRecordTest, FirstRecordGoesToTheFirstSlotOfANewBlockAndReadsBack) {
  TnxOwned<TestTransaction> trans(newTransaction());
  const TnxRefNr first = add(trans.get(), 11);
  EXPECT_EQ(static_cast<std::uint32_t>(first), 1u);
  const TnxBlockNumber block = static_cast<TnxBlockNumber>(first >> 32);
  EXPECT_EQ(block + 1, files_.front()->TransUsedBlocks());  // the newest block of the file
  EXPECT_EQ(valueAt(trans.get(), first), 11u);
  EXPECT_EQ(add(trans.get(), 12), ref(block, 2));
  trans->Commit();
  const std::vector<std::uint8_t> d = disk();
  const std::uint8_t* b = d.data() + std::size_t{block} * 4096;
  EXPECT_EQ(std::memcmp(b, "NXDH", 4), 0);
  EXPECT_EQ(nxseGetU16(b + 28), 3u);  // first free slot
  EXPECT_EQ(nxseGetU16(b + 30), 2u);  // in use
  EXPECT_EQ(b[32], 0x03);
  EXPECT_EQ(nxseGetU32(b + 92), 11u);
  EXPECT_EQ(nxseGetU32(b + 192), 12u);
  EXPECT_EQ(nxseGetU32(b + 292), 4u);  // free slot 3 links to 4
  EXPECT_EQ(nxseGetI32(b + 4092), engine()->bseID);
  EXPECT_EQ(checkFile(), "");
}

TEST_F(StaticRecordTest, DeletingFromAFullBlockPutsItAtTheHeadOfTheFreeList) {
  TnxOwned<TestTransaction> trans(newTransaction());
  std::vector<TnxRefNr> refs;
  for (std::uint32_t i = 0; i < 45; ++i) refs.push_back(add(trans.get(), i));
  const TnxBlockNumber full = static_cast<TnxBlockNumber>(refs[0] >> 32);
  EXPECT_NE(static_cast<TnxBlockNumber>(refs[44] >> 32), full);
  engine()->DeleteRecord(trans.get(), refs[17]);
  EXPECT_EQ(add(trans.get(), 99), refs[17]);
  EXPECT_EQ(valueAt(trans.get(), refs[17]), 99u);
  // Now the second block's slot is next.
  EXPECT_EQ(add(trans.get(), 100), ref(static_cast<TnxBlockNumber>(refs[44] >> 32), 6));
  std::uint32_t count = 0;
  engine()->GetRecordCount(trans.get(), count);
  EXPECT_EQ(count, 46u);
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
}

TEST_F(StaticRecordTest, ReadingByBadReferences) {
  TnxOwned<TestTransaction> trans(newTransaction());
  const TnxRefNr r = add(trans.get(), 1);
  add(trans.get(), 2);
  engine()->DeleteRecord(trans.get(), r);
  const TnxBlockNumber block = static_cast<TnxBlockNumber>(r >> 32);
  struct Case {
    const char* what;
    TnxRefNr refNr;
    TnxResult code;
  };
  for (const Case& c : {Case{"deleted slot", r, 8708}, Case{"slot 0", ref(block, 0), 15412},
                        Case{"slot above the block", ref(block, 41), 15412}, Case{"block beyond", ref(500, 1), 15409},
                        Case{"block 0", ref(0, 1), 15409}, Case{"negative", -1, 15409}}) {
    std::vector<std::uint8_t> buffer(200);
    expectFails(c.code, [&] { engine()->ReadRecord(trans.get(), c.refNr, buffer.data()); }, c.what);
  }
  expectFailsWith(8708, "Record has been deleted, cannot read/delete/update it",
                  [&] { engine()->DeleteRecord(trans.get(), r); });
  std::vector<std::uint8_t> buffer = record(5);
  expectFails(8708, [&] { engine()->UpdateRecord(trans.get(), r, buffer.data(), nullptr); });
  trans->Rollback();
}

TEST_F(StaticRecordTest, NeighboursUpdatesAndWalksInBothDirections) {
  TnxOwned<TestTransaction> trans(newTransaction());
  std::vector<TnxRefNr> refs;
  for (std::uint32_t i = 0; i < 100; ++i) refs.push_back(add(trans.get(), i));
  for (std::uint32_t i = 0; i < 100; i += 3) engine()->DeleteRecord(trans.get(), refs[i]);
  std::vector<std::uint8_t> old(200), fresh = record(1000);
  engine()->UpdateRecord(trans.get(), refs[1], fresh.data(), old.data());
  EXPECT_EQ(nxseGetU32(old.data()), 1u);
  const auto forward = scan(trans.get());
  const auto backward = scan(trans.get(), true);
  ASSERT_EQ(forward.size(), 66u);
  EXPECT_EQ(forward.front().second, 1000u);
  EXPECT_TRUE(std::equal(forward.begin(), forward.end(), backward.rbegin()));
  TnxRefNr next = 0;
  engine()->ReadNextRecord(trans.get(), 0, next, nullptr);
  EXPECT_EQ(next, refs[1]);
  engine()->ReadNextRecord(trans.get(), refs[0], next, nullptr);  // a deleted start is fine
  EXPECT_EQ(next, refs[1]);
  engine()->ReadNextRecord(trans.get(), refs[98], next, nullptr);
  EXPECT_EQ(next, 0);  // after the last
  engine()->ReadPrevRecord(trans.get(), 0, next, nullptr);
  EXPECT_EQ(next, refs[98]);
  engine()->ReadPrevRecord(trans.get(), refs[41], next, nullptr);
  EXPECT_EQ(next, refs[40]);  // across the block boundary
  // Continuing after a position, skipping it, stopping early.
  TnxRefNr position = refs[50];
  std::vector<TnxRefNr> seen;
  engine()->Iterate(
      trans.get(), position, nullptr,
      [&](void*, TnxRefNr aRefNr, PnxRecordBuffer) {
        seen.push_back(aRefNr);
        return seen.size() == 3 ? rirStop : rirContinue;
      },
      nullptr, nullptr, true, false);
  EXPECT_EQ(seen, (std::vector<TnxRefNr>{refs[52], refs[53], refs[55]}));
  EXPECT_EQ(position, refs[55]);
  trans->Commit();
}

TEST_F(StaticRecordTest, RecordNumbersWithFlipOrderAndFilter) {
  TnxOwned<TestTransaction> trans(newTransaction());
  std::vector<TnxRefNr> refs;
  for (std::uint32_t i = 0; i < 90; ++i) refs.push_back(add(trans.get(), i));
  TnxCallbackFilterDescriptor descriptor(nullptr, &evenValues);
  TnxOwned<TnxCallbackFilterEngine> filter(platform::create<TnxCallbackFilterEngine>(&descriptor, nullptr));
  filter->SetActive(true);
  std::uint32_t recNo = 0;
  EXPECT_EQ(engine()->RecNoGet(trans.get(), refs[0], nullptr, recNo, false), 0);
  EXPECT_EQ(recNo, 1u);
  EXPECT_EQ(engine()->RecNoGet(trans.get(), refs[89], nullptr, recNo, true), 0);
  EXPECT_EQ(recNo, 1u);
  EXPECT_EQ(engine()->RecNoGet(trans.get(), refs[45], nullptr, recNo, false), 0);
  EXPECT_EQ(recNo, 46u);
  EXPECT_EQ(engine()->RecNoGet(trans.get(), refs[45], nullptr, recNo, true), 0);
  EXPECT_EQ(recNo, 45u);
  // With the filter only even values count, in every block.
  EXPECT_EQ(engine()->RecNoGet(trans.get(), refs[84], filter.get(), recNo, false), 0);
  EXPECT_EQ(recNo, 43u);
  EXPECT_EQ(engine()->RecNoGet(trans.get(), refs[84], filter.get(), recNo, true), 0);
  EXPECT_EQ(recNo, 3u);
  EXPECT_EQ(engine()->RecNoGet(trans.get(), refs[85], filter.get(), recNo, false), 8709);
  filter->SetActive(false);  // an inactive filter counts as none
  EXPECT_EQ(engine()->RecNoGet(trans.get(), refs[85], filter.get(), recNo, false), 0);
  EXPECT_EQ(recNo, 86u);
  filter->SetActive(true);
  TnxRefNr found = 0;
  EXPECT_EQ(engine()->RecNoSet(trans.get(), 46, found, nullptr, false), 0);
  EXPECT_EQ(found, refs[45]);
  EXPECT_EQ(engine()->RecNoSet(trans.get(), 43, found, filter.get(), false), 0);
  EXPECT_EQ(found, refs[84]);
  EXPECT_EQ(engine()->RecNoSet(trans.get(), 1, found, nullptr, true), 0);
  EXPECT_EQ(found, refs[89]);
  EXPECT_EQ(engine()->RecNoSet(trans.get(), 91, found, nullptr, false), 8706);
  EXPECT_EQ(found, 0);
  trans->Commit();
}

TEST_F(StaticRecordTest, EmptyTableWalksAndCountsNothing) {
  TnxOwned<TestTransaction> trans(newTransaction());
  EXPECT_TRUE(scan(trans.get()).empty());
  std::uint32_t recNo = 5;
  EXPECT_EQ(engine()->RecNoGet(trans.get(), ref(1, 1), nullptr, recNo, false), 8706);
  EXPECT_EQ(recNo, 0u);
  TnxRefNr next = 5;
  engine()->ReadNextRecord(trans.get(), 0, next, nullptr);
  EXPECT_EQ(next, 0);
  trans->Rollback();
}

TEST_F(StaticRecordTest, TenThousandRecordsSurviveReopenAndFreedSlotsAreReused) {
  table();
  std::map<TnxRefNr, std::uint32_t> model;
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    for (std::uint32_t i = 0; i < 10000; ++i) model[add(trans.get(), i)] = i;
    trans->Commit();
  }
  EXPECT_EQ(checkFile(), "");
  closeAll();
  tables_.clear();
  Table& t = openExisting();
  auto statics = [&] { return t.statics(); };
  std::uint32_t count = 0;
  statics()->GetRecordCount(nullptr, count);
  EXPECT_EQ(count, 10000u);
  {
    std::vector<std::pair<TnxRefNr, std::uint32_t>> all;
    TnxRefNr refNr = 0;
    statics()->Iterate(
        nullptr, refNr, nullptr,
        [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
          all.emplace_back(aRefNr, nxseGetU32(aRecord));
          return rirContinue;
        },
        nullptr, nullptr, false, false);
    EXPECT_EQ(all, (std::vector<std::pair<TnxRefNr, std::uint32_t>>(model.begin(), model.end())));
  }
  const std::uint32_t usedBefore = t.file->UsedBlocks();
  std::vector<TnxRefNr> removed;
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    std::uint32_t i = 0;
    for (auto it = model.begin(); it != model.end(); ++i) {
      if (i % 2 == 0) {
        statics()->DeleteRecord(trans.get(), it->first);
        removed.push_back(it->first);
        it = model.erase(it);
      } else {
        ++it;
      }
    }
    trans->Commit();
  }
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    std::set<TnxRefNr> reused;
    for (std::uint32_t i = 0; i < removed.size(); ++i) {
      std::vector<std::uint8_t> r(200, 0);
      nxsePutU32(r.data(), 20000 + i);
      nxsePutU32(r.data() + 50, ~(20000 + i));
      TnxRefNr refNr = 0;
      statics()->AddRecord(trans.get(), refNr, r.data());
      reused.insert(refNr);
      model[refNr] = 20000 + i;
    }
    EXPECT_EQ(reused, std::set<TnxRefNr>(removed.begin(), removed.end()));
    trans->Commit();
  }
  EXPECT_EQ(t.file->UsedBlocks(), usedBefore);
  EXPECT_EQ(checkFile(), "");
  closeAll();
  tables_.clear();
  Table& again = openExisting();
  std::vector<std::pair<TnxRefNr, std::uint32_t>> all;
  TnxRefNr refNr = 0;
  again.statics()->Iterate(
      nullptr, refNr, nullptr,
      [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
        all.emplace_back(aRefNr, nxseGetU32(aRecord));
        return rirContinue;
      },
      nullptr, nullptr, false, false);
  EXPECT_EQ(all, (std::vector<std::pair<TnxRefNr, std::uint32_t>>(model.begin(), model.end())));
}

TEST_F(StaticRecordTest, ReplaceAllRecordsRewritesInPlaceAndStopsOnAnError) {
  TnxOwned<TestTransaction> trans(newTransaction());
  for (std::uint32_t i = 0; i < 50; ++i) add(trans.get(), i);
  engine()->ReplaceAllRecords(trans.get(), [](PnxRecordBuffer aRecord) {
    const std::uint32_t v = nxseGetU32(aRecord) + 1000;
    nxsePutU32(aRecord, v);
    nxsePutU32(aRecord + 50, ~v);
    return TnxResult{0};
  });
  const auto all = scan(trans.get());
  ASSERT_EQ(all.size(), 50u);
  EXPECT_EQ(all.front().second, 1000u);
  expectFails(9999, [&] { engine()->ReplaceAllRecords(trans.get(), [](PnxRecordBuffer) { return TnxResult{9999}; }); });
  trans->Rollback();
}

TEST_F(StaticRecordTest, RecoveryWalkReadsRawBlocks) {
  TnxOwned<TestTransaction> trans(newTransaction());
  for (std::uint32_t i = 0; i < 3; ++i) add(trans.get(), i + 7);
  trans->Commit();
  const std::vector<std::uint8_t> d = disk();
  std::vector<std::uint8_t> block;
  TnxBlockNumber number = 0;
  for (std::uint32_t n = 1; n * 4096 < d.size(); ++n)
    if (std::memcmp(d.data() + n * 4096, "NXDH", 4) == 0) {
      block.assign(d.begin() + n * 4096, d.begin() + (n + 1) * 4096);
      number = n;
    }
  ASSERT_FALSE(block.empty());
  std::vector<std::uint32_t> values;
  std::vector<std::uint8_t> copy(200);
  PnxRecordBuffer target = copy.data();
  auto it = [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
    EXPECT_EQ(aRefNr, 0);
    values.push_back(nxseGetU32(aRecord));
    return rirContinue;
  };
  EXPECT_EQ(engine()->RecoverIterate(block.data(), number, &target, it, nullptr), rirContinue);
  EXPECT_EQ(values, (std::vector<std::uint32_t>{7, 8, 9}));
  values.clear();
  EXPECT_EQ(engine()->RecoverIterate(block.data(), number + 1, &target, it, nullptr), rirContinue);
  EXPECT_TRUE(values.empty());
  EXPECT_EQ(engine()->GetRecoverID(), engine()->bseID);
}

TEST_F(StaticRecordTest, DamagedDataBlocksGiveClearErrors) {
  std::vector<TnxRefNr> refs;
  {
    table();
    TnxOwned<TestTransaction> trans(newTransaction());
    for (std::uint32_t i = 0; i < 85; ++i) refs.push_back(add(trans.get(), i));
    engine()->DeleteRecord(trans.get(), refs[3]);
    trans->Commit();
  }
  closeAll();
  tables_.clear();
  const std::vector<std::uint8_t> good = disk();
  const TnxBlockNumber b1 = static_cast<TnxBlockNumber>(refs[0] >> 32);
  const TnxBlockNumber b3 = static_cast<TnxBlockNumber>(refs[84] >> 32);
  enum Op { kRead, kAdd, kScan, kScanBack };
  struct Case {
    const char* what;
    TnxBlockNumber block;
    std::uint32_t offset;
    std::uint32_t width;
    std::uint32_t value;
    Op op;
    TnxResult code;
    const char* checker = nullptr;  // what the file checker reports, when asked
  };
  const Case cases[] = {
      {"in-use count above the slots", b1, 30, 2, 41, kRead, 8962},
      {"first free slot above the slots", b1, 28, 2, 41, kAdd, 8962},
      {"free slot link above the slots", b1, 92 + 3 * 100, 2, 200, kAdd, 8962},
      {"first free slot in use", b1, 28, 2, 1, kAdd, 8962},
      {"next data block beyond the file", b1, 16, 4, 9999, kScan, 8962},
      {"cycle in the data chain", b3, 16, 4, b1, kScan, 8962},
      {"cycle backwards", b1, 20, 4, b3, kScanBack, 8962},
      // A link to a later data block of the table skips the blocks between.
      {"next link skipping a data block", b1, 16, 4, b3, kScan, 8962, "record count 84, blocks hold"},
      {"previous link skipping a data block", b3, 20, 4, b1, kScanBack, 8962, "has previous"},
      {"not a data block", b1, 0, 4, 0x58585858u, kRead, 15413},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> bad = good;
    for (std::uint32_t i = 0; i < c.width; ++i)
      bad[std::size_t{c.block} * 4096 + c.offset + i] = static_cast<std::uint8_t>(c.value >> (8 * i));
    putDisk(bad);
    Table& t = openExisting();
    if (c.checker) {
      const std::string report = checkFile("/db/t.nx1", t.records->breRecordLength);
      EXPECT_NE(report.find(c.checker), std::string::npos) << c.what << ": " << report;
    }
    TnxOwned<TestTransaction> trans(newTransaction());
    std::vector<std::uint8_t> buffer(200);
    expectFails(
        c.code,
        [&] {
          TnxRefNr refNr = 0;
          switch (c.op) {
            case kRead: t.statics()->ReadRecord(trans.get(), refs[5], buffer.data()); break;
            case kAdd: t.statics()->AddRecord(trans.get(), refNr, buffer.data()); break;
            case kScan:
            case kScanBack: {
              auto it = [](void*, TnxRefNr, PnxRecordBuffer) { return rirContinue; };
              if (c.op == kScan)
                t.statics()->Iterate(trans.get(), refNr, nullptr, it, nullptr, nullptr, false, false);
              else
                t.statics()->IterateBackward(trans.get(), refNr, nullptr, it, nullptr, nullptr, false, false);
            }
          }
        },
        c.what);
    trans->Rollback();
    closeAll();
    tables_.clear();
  }
}

// The file checker is independent of the engine: it must see damage too.
// Cycles in the free-slot list, inside a block (slot links) and between
// blocks (next-with-free links): adding records either takes a free slot
// or fails with a clear error, never loops and never gives a slot twice.
TEST_F(StaticRecordTest, CyclesInTheFreeSlotListAreRefused) {
  std::vector<TnxRefNr> refs;
  std::uint32_t length = 0;
  {
    table();
    TnxOwned<TestTransaction> trans(newTransaction());
    for (std::uint32_t i = 0; i < 85; ++i) refs.push_back(add(trans.get(), i));
    // Block 1 gets the free slots 12 -> 8 -> 4 and heads the list; the
    // last block (5 records) follows it.
    for (std::size_t i : {3, 7, 11}) engine()->DeleteRecord(trans.get(), refs[i]);
    trans->Commit();
    length = engine()->breRecordLength;
  }
  closeAll();
  tables_.clear();
  const std::vector<std::uint8_t> good = disk();
  const std::size_t b1 = static_cast<std::size_t>(refs[0] >> 32) * 4096;
  const std::size_t b3 = static_cast<std::size_t>(refs[84] >> 32) * 4096;
  ASSERT_EQ(nxseGetU16(good.data() + b1 + 28), 12u);
  ASSERT_EQ(nxseGetU32(good.data() + b1 + 24), refs[84] >> 32);
  struct Case {
    const char* what;
    std::size_t at;  // a 16-bit slot link or a 32-bit block link
    bool slotLink;
    std::uint32_t value;
    const char* report;
  };
  const Case cases[] = {
      {"slot 4 links back to slot 8", b1 + 92 + 3 * 100, true, 8, "free-slot chain broken"},
      {"block 1 links to itself", b1 + 24, false, static_cast<std::uint32_t>(refs[0] >> 32), "free-slot list broken"},
      {"the last block links back to block 1", b3 + 24, false, static_cast<std::uint32_t>(refs[0] >> 32),
       "free-slot list broken"},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> bad = good;
    if (c.slotLink)
      nxsePutU16(bad.data() + c.at, static_cast<std::uint16_t>(c.value));
    else
      nxsePutU32(bad.data() + c.at, c.value);
    putDisk(bad);
    EXPECT_NE(checkFile("/db/t.nx1", length).find(c.report), std::string::npos) << c.what;
    Table& t = openExisting();
    TnxOwned<TestTransaction> trans(newTransaction());
    std::set<TnxRefNr> taken(refs.begin(), refs.end());  // slots in use
    for (std::size_t i : {3, 7, 11}) taken.erase(refs[i]);
    bool refused = false;
    for (int i = 0; i < 100 && !refused; ++i) {
      std::vector<std::uint8_t> r(t.records->breRecordLength + 4, 0);
      TnxRefNr refNr = 0;
      try {
        t.statics()->AddRecord(trans.get(), refNr, r.data());
        EXPECT_TRUE(taken.insert(refNr).second) << c.what << ": slot given twice";
      } catch (const EnxBaseException& e) {
        refused = true;
        EXPECT_TRUE(e.ErrorCode() == 8961 || e.ErrorCode() == 8962) << c.what << ": " << platform::toUtf8(e.Message());
      }
    }
    EXPECT_TRUE(refused) << c.what;
    trans->Rollback();
    closeAll();
    tables_.clear();
  }
}

TEST_F(StaticRecordTest, FileCheckerSeesDamage) {
  TnxOwned<TestTransaction> trans(newTransaction());
  const TnxRefNr r = add(trans.get(), 1);
  add(trans.get(), 2);
  trans->Commit();
  ASSERT_EQ(checkFile(), "");
  const std::vector<std::uint8_t> good = disk();
  const std::size_t block = static_cast<std::size_t>(r >> 32) * 4096;
  struct Case {
    const char* what;
    std::size_t offset;
    std::uint8_t value;
  };
  for (const Case& c : {Case{"bitmap", block + 32, 0x07}, Case{"in-use count", block + 30, 3},
                        Case{"block number", block + 4, 9}, Case{"owner", block + 4092, 0xFF},
                        Case{"free cache count", 28, 3}, Case{"used blocks", 32, 200}}) {
    std::vector<std::uint8_t> bad = good;
    bad[c.offset] = c.value;
    putDisk(bad);
    EXPECT_NE(checkFile(), "") << c.what;
  }
  putDisk(good);
}

TEST_F(StaticRecordTest, HeaderFreeSlotBookkeepingMustAgree) {
  table();
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    add(trans.get(), 1);
    TnxOwned<TnxBaseFileHeaderAccess> header(table().recordAccess->HeaderAccess(trans.get(), true));
    nxsePutU32(header->Header + engine()->reHeaderSection + 12, 0);  // count 0 with a list
    header.reset();
    expectFails(8961, [&] { add(trans.get(), 2); });
    trans->Rollback();
  }
}

TEST_F(StaticRecordTest, TooLongRecordFailsTheDescriptorCheck) {
  TnxOwned<TnxServerDataDict> dict(newDictionary(65532 - 33 - 4 + 1));
  expectFails(15495, [&] { TnxBaseSubEngine::CheckValidAll(dict.get()); });
  TnxOwned<TnxServerDataDict> fits(newDictionary(5000));
  TnxBaseSubEngine::CheckValidAll(fits.get());
  EXPECT_EQ(fits->FilesDescriptor()->Files(0)->BlockSize(), nxbs8k);
}

}  // namespace
