#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "nxsdFilterEngineCallback.h"
#include "nxsrServerEngineCursorTestSupport.h"
#include "nxTestWatchdog.h"

namespace nxcursorbatchtest {

using nxtest::CursorTableTest;
using nxtest::CursorTestRow;
using Bytes = std::vector<std::uint8_t>;

// ---- Golden bytes of the fixture's record layout -------------------------------------------

void putU32(Bytes& aBytes, std::uint32_t aValue) {
  for (int i = 0; i < 4; ++i) aBytes.push_back(static_cast<std::uint8_t>(aValue >> (8 * i)));
}

// ID at 0, Name (length byte + 20) at 4, Grp at 25, padding to 32, the null
// bitmap at 32 (bit 2: Grp is null; the bits past the three fields are set).
Bytes goldenRecord(const CursorTestRow& aRow) {
  Bytes b;
  putU32(b, static_cast<std::uint32_t>(aRow.id));
  b.push_back(static_cast<std::uint8_t>(aRow.name.size()));
  b.insert(b.end(), aRow.name.begin(), aRow.name.end());
  b.resize(25, 0);
  putU32(b, aRow.grp ? static_cast<std::uint32_t>(*aRow.grp) : 0);
  b.resize(32, 0);
  putU32(b, aRow.grp ? 0xF8 : 0xFC);
  return b;
}

std::uint32_t u32At(const std::uint8_t* aPtr) {
  std::uint32_t v;
  std::memcpy(&v, aPtr, 4);
  return v;
}

Bytes streamBytes(TnxBatchStreamAccess* aAccess) {
  const auto* memory = static_cast<const std::uint8_t*>(aAccess->Stream()->Memory());
  return Bytes(memory, memory + aAccess->Stream()->Size());
}

struct Probe {
  TnxServerTableCursor* cursor = nullptr;
  std::int32_t pass = 0;  // IDs up to this pass
  std::int32_t sleepMs = 0;
};

bool probeFilter(void* aCookie, const void* aRecord) {
  auto* probe = static_cast<Probe*>(aCookie);
  std::int32_t id = 0;
  std::memcpy(&id, aRecord, 4);  // ID is the first field
  if (probe->sleepMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(probe->sleepMs));
  return id <= probe->pass;
}

class CursorBatchTest : public CursorTableTest {
 protected:
  void TearDown() override {
    for (TnxBatchStreamAccess* access : accesses_) platform::TObject::free(access);
    CursorTableTest::TearDown();
  }
  TnxBatchStreamAccess* Keep(TnxBatchStreamAccess* aAccess) {
    if (aAccess) accesses_.push_back(aAccess);
    return aAccess;
  }
  // The IDs of the record entries, in order, through the access's reader.
  std::vector<std::int32_t> IDs(TnxBatchStreamAccess* aAccess) {
    std::vector<std::int32_t> ids;
    aAccess->Reset(false);
    TnxBatchStreamEntry entry{};
    while (aAccess->Next(entry)) {
      EXPECT_NE(entry.bseRecord, nullptr);
      if (entry.bseRecord) ids.push_back(static_cast<std::int32_t>(u32At(entry.bseRecord)));
    }
    return ids;
  }
  std::vector<std::int32_t> Range(std::int32_t aFrom, std::int32_t aTo) {
    std::vector<std::int32_t> ids;
    for (std::int32_t i = aFrom; aFrom <= aTo ? i <= aTo : i >= aTo; i += aFrom <= aTo ? 1 : -1) ids.push_back(i);
    return ids;
  }
  std::vector<TnxBatchStreamAccess*> accesses_;
};

const std::vector<CursorTestRow> kGoldenRows = {{1, "a", 10}, {2, "bb", std::nullopt}, {3, "ccc", 30}};

TEST_F(CursorBatchTest, BatchReadWritesTheLayoutByteForByte) {
  AddRows(db_, kGoldenRows);
  struct Row {
    bool bookmarks;
    bool forward;
  };
  const Row rows[] = {{false, true}, {false, false}, {true, true}, {true, false}};
  for (const Row& row : rows) {
    TnxServerTableCursor* cursor = Open(db_);
    TnxRecordGetBatchExOptions options{};
    options.include(gboSetToBeginOrEnd);
    if (row.bookmarks) options.include(gboBookmarks);
    TnxBatchStreamAccess* access = nullptr;
    ASSERT_EQ(cursor->RecordGetBatch(-1, options, access, 0, row.forward), 0);
    Keep(access);
    // The bookmark of each record as the cursor gives it on that record.
    const std::int32_t bookmarkSize = row.bookmarks ? 29 : 0;
    Bytes expected;
    putU32(expected, row.forward ? nxErrEOF : nxErrBOF);
    putU32(expected, 3);
    std::vector<std::size_t> bookmarkAt;
    for (std::size_t i = 0; i < kGoldenRows.size(); ++i) {
      const CursorTestRow& source = kGoldenRows[row.forward ? i : kGoldenRows.size() - 1 - i];
      putU32(expected, static_cast<std::uint32_t>(36 + bookmarkSize));
      const Bytes record = goldenRecord(source);
      expected.insert(expected.end(), record.begin(), record.end());
      if (row.bookmarks) {
        TnxServerTableCursor* other = Open(db_);
        const Bytes key = Key(other, source);
        ASSERT_EQ(other->RecordGetForKey(0, 0, true, key.data(), nullptr, true, true), 0);
        Bytes bookmark(29, 0);
        ASSERT_EQ(other->GetBookmark(bookmark.data(), 29), 0);
        // On a record (kind 4) of index 0 with a key of 5 bytes.
        EXPECT_EQ(u32At(bookmark.data() + 4), 0u);
        EXPECT_EQ(bookmark[8], 4u);
        EXPECT_EQ(u32At(bookmark.data() + 20), 5u);
        bookmarkAt.push_back(expected.size());
        expected.insert(expected.end(), bookmark.begin(), bookmark.end());
      }
    }
    EXPECT_EQ(streamBytes(access), expected) << row.bookmarks << row.forward;
    // The landed reader decodes it again.
    EXPECT_EQ(access->InnerError(), static_cast<std::uint32_t>(row.forward ? nxErrEOF : nxErrBOF));
    EXPECT_EQ(access->Count(), 3);
    ASSERT_TRUE(access->Reset(false));
    TnxBatchStreamEntry entry{};
    for (std::size_t i = 0; i < 3; ++i) {
      ASSERT_TRUE(access->Next(entry));
      EXPECT_EQ(entry.bseResult, 0);
      EXPECT_EQ(entry.bseSize, static_cast<std::uint32_t>(36 + bookmarkSize));
      const Bytes record(entry.bseRecord, entry.bseRecord + 36);
      EXPECT_EQ(record, goldenRecord(kGoldenRows[row.forward ? i : 2 - i]));
      if (row.bookmarks) {
        EXPECT_EQ(entry.bseBookmark - entry.bseStreamBase, static_cast<std::ptrdiff_t>(bookmarkAt[i]));
      } else {
        EXPECT_EQ(entry.bseBookmark, nullptr);
      }
    }
    EXPECT_FALSE(access->Next(entry));
  }
}

TEST_F(CursorBatchTest, BlobsOptionOnATableWithoutBlobFieldsWritesNoBlocks) {
  AddRows(db_, kGoldenRows);
  TnxServerTableCursor* cursor = Open(db_);
  TnxRecordGetBatchExOptions plain{};
  plain.include(gboSetToBeginOrEnd);
  TnxRecordGetBatchExOptions blobs = plain;
  blobs.include(gboBlobs);
  blobs.include(gboBlobNrs);
  TnxBatchStreamAccess* withBlobs = nullptr;
  TnxBatchStreamAccess* without = nullptr;
  ASSERT_EQ(cursor->RecordGetBatch(-1, blobs, withBlobs, 0, true), 0);
  Keep(withBlobs);
  ASSERT_EQ(cursor->RecordGetBatch(-1, plain, without, 0, true), 0);
  Keep(without);
  EXPECT_EQ(streamBytes(withBlobs), streamBytes(without));
  EXPECT_EQ(streamBytes(withBlobs).size(), 8u + 3 * (4 + 36));
}

TEST_F(CursorBatchTest, LimitsOfABatchRead) {
  Fill(50);
  struct Row {
    std::int32_t cutoff;
    std::int32_t max;
    std::size_t count;
    TnxResult header;
  };
  const Row rows[] = {
      {-1, 0, 50, nxErrEOF},              // no limits: the whole table
      {2147483647, -5, 50, nxErrEOF},     // the largest cut-off is no limit either
      {10, 0, 1, 0},                      // below one entry: exactly one
      {8 + 3 * 40, 0, 3, 0},              // the stream reached the cut-off
      {8 + 3 * 40 + 1, 0, 4, 0},          // one byte more: one entry more
      {-1, 7, 7, 0},                      // the maximum
      {-1, 50, 50, 0},                    // the maximum hit on the last record
  };
  for (const char16_t* index : {u"ByID", u""}) {
    for (const Row& row : rows) {
      TnxServerTableCursor* cursor = Open(db_, index);
      TnxRecordGetBatchExOptions options{};
      options.include(gboSetToBeginOrEnd);
      TnxBatchStreamAccess* access = nullptr;
      ASSERT_EQ(cursor->RecordGetBatch(row.cutoff, options, access, row.max, true), 0);
      Keep(access);
      EXPECT_EQ(IDs(access), Range(1, static_cast<std::int32_t>(row.count))) << row.cutoff << " " << row.max;
      EXPECT_EQ(access->InnerError(), static_cast<std::uint32_t>(row.header)) << row.cutoff << " " << row.max;
    }
  }
}

TEST_F(CursorBatchTest, ASecondBatchContinuesWhereTheFirstStopped) {
  Fill(50);
  for (const char16_t* index : {u"ByID", u""}) {
    for (const bool forward : {true, false}) {
      TnxServerTableCursor* cursor = Open(db_, index);
      TnxRecordGetBatchExOptions begin{};
      begin.include(gboSetToBeginOrEnd);
      TnxBatchStreamAccess* access = nullptr;
      ASSERT_EQ(cursor->RecordGetBatch(-1, begin, access, 20, forward), 0);
      Keep(access);
      EXPECT_EQ(IDs(access), forward ? Range(1, 20) : Range(50, 31));
      // The same access is emptied and refilled.
      ASSERT_EQ(cursor->RecordGetBatch(-1, {}, access, 20, forward), 0);
      EXPECT_EQ(IDs(access), forward ? Range(21, 40) : Range(30, 11));
      EXPECT_EQ(access->InnerError(), 0u);
      ASSERT_EQ(cursor->RecordGetBatch(-1, {}, access, 20, forward), 0);
      EXPECT_EQ(IDs(access), forward ? Range(41, 50) : Range(10, 1));
      EXPECT_EQ(access->InnerError(), static_cast<std::uint32_t>(forward ? nxErrEOF : nxErrBOF));
      // A single read goes on from there too.
      EXPECT_EQ(forward ? cursor->RecordGetNext(nxltNoLock, nullptr) : cursor->RecordGetPrior(nxltNoLock, nullptr),
                forward ? nxErrEOF : nxErrBOF);
    }
  }
}

TEST_F(CursorBatchTest, AnEmptyTableGivesAnEmptyBatchWithTheEndCode) {
  for (const bool forward : {true, false}) {
    TnxServerTableCursor* cursor = Open(db_);
    TnxRecordGetBatchExOptions options{};
    options.include(gboSetToBeginOrEnd);
    TnxBatchStreamAccess* access = nullptr;
    ASSERT_EQ(cursor->RecordGetBatch(-1, options, access, 0, forward), 0);
    Keep(access);
    Bytes expected;
    putU32(expected, forward ? nxErrEOF : nxErrBOF);
    putU32(expected, 0);
    EXPECT_EQ(streamBytes(access), expected);
  }
}

TEST_F(CursorBatchTest, AFilterTimeOutEndsTheBatchAndFailsItOnlyWithoutRecords) {
  Fill(300);
  struct Row {
    std::int32_t pass;
    TnxResult result;
    std::size_t count;
  };
  const Row rows[] = {{0, nxErrFilterTimeout, 0}, {3, 0, 3}};
  for (const Row& row : rows) {
    TnxServerTableCursor* cursor = Open(db_);
    Probe probe{cursor, row.pass, 1};
    TnxFilterID id = 0;
    ASSERT_EQ(cursor->FilterAddCallback(&probe, probeFilter, id, true), 0);
    ASSERT_EQ(cursor->FilterSetTimeout(50), 0);
    TnxRecordGetBatchExOptions options{};
    options.include(gboSetToBeginOrEnd);
    TnxBatchStreamAccess* access = nullptr;
    EXPECT_EQ(cursor->RecordGetBatch(-1, options, access, 0, true), row.result);
    Keep(access);
    ASSERT_NE(access, nullptr);
    const std::vector<std::int32_t> ids = IDs(access);
    EXPECT_EQ(ids.size(), row.count);
    if (row.count > 0) {
      EXPECT_EQ(ids, Range(1, static_cast<std::int32_t>(row.count)));
    }
    EXPECT_EQ(access->InnerError(), static_cast<std::uint32_t>(nxErrFilterTimeout));
  }
}

TEST_F(CursorBatchTest, APassingFilterLeavesOnlyItsRecordsInTheBatch) {
  Fill(30);
  TnxServerTableCursor* cursor = Open(db_, u"");
  Probe probe{cursor, 12, 0};
  TnxFilterID id = 0;
  ASSERT_EQ(cursor->FilterAddCallback(&probe, probeFilter, id, true), 0);
  TnxRecordGetBatchExOptions options{};
  options.include(gboSetToBeginOrEnd);
  TnxBatchStreamAccess* access = nullptr;
  ASSERT_EQ(cursor->RecordGetBatch(-1, options, access, 0, true), 0);
  Keep(access);
  EXPECT_EQ(IDs(access), Range(1, 12));
  EXPECT_EQ(access->InnerError(), static_cast<std::uint32_t>(nxErrEOF));
}

// ---- Batch key search ---------------------------------------------------------------------

// A key buffer: the 12-byte header, then a key or a record.
Bytes keyBuffer(const Bytes& aKeyOrRecord, bool aDirect, std::int32_t aFieldCount = 0) {
  Bytes b(nxDataSetKeyBufferHeaderSize, 0);
  TnxDataSetKeyBuffer header{aFieldCount, 0, false, false, aDirect, 0};
  std::memcpy(b.data(), &header, sizeof header);
  b.insert(b.end(), aKeyOrRecord.begin(), aKeyOrRecord.end());
  return b;
}

TEST_F(CursorBatchTest, KeyBatchWritesAnErrorEntryForAKeyWithoutRecord) {
  Fill(20);
  struct Row {
    bool matchFirst;
    bool direct;
    TnxResult header;
  };
  const Row rows[] = {{true, true, nxErrEOF}, {false, true, nxErrBOF}, {true, false, nxErrEOF}};
  for (const Row& row : rows) {
    TnxServerTableCursor* cursor = Open(db_);
    std::vector<Bytes> buffers;
    for (const std::int32_t id : {2, 999, 5}) {
      const CursorTestRow source{id, "", 1};
      if (row.direct) {
        buffers.push_back(keyBuffer(Key(cursor, source), true));
      } else {
        Bytes record = Record(cursor);
        SetRecord(cursor, record, source);
        buffers.push_back(keyBuffer(record, false));
      }
    }
    TnxDataSetKeyBufferArray keys;
    for (Bytes& b : buffers) keys.push_back(b.data());
    TnxBatchStreamAccess* access = nullptr;
    ASSERT_EQ(cursor->RecordGetForKeyBatch(-1, {}, access, keys, row.matchFirst, true), 0);
    Keep(access);
    ASSERT_NE(access, nullptr);
    const Bytes bytes = streamBytes(access);
    ASSERT_EQ(bytes.size(), 8u + 40 + 8 + 40);
    EXPECT_EQ(u32At(bytes.data()), static_cast<std::uint32_t>(row.header));
    EXPECT_EQ(u32At(bytes.data() + 4), 3u);
    EXPECT_EQ(u32At(bytes.data() + 8), 36u);
    EXPECT_EQ(u32At(bytes.data() + 12), 2u);
    EXPECT_EQ(u32At(bytes.data() + 48), 0x80000004u);
    EXPECT_EQ(u32At(bytes.data() + 52), static_cast<std::uint32_t>(nxErrRecordNotFound));
    EXPECT_EQ(u32At(bytes.data() + 56), 36u);
    EXPECT_EQ(u32At(bytes.data() + 60), 5u);
    ASSERT_TRUE(access->Reset(false));
    TnxBatchStreamEntry entry{};
    ASSERT_TRUE(access->Next(entry));
    ASSERT_TRUE(access->Next(entry));
    EXPECT_EQ(entry.bseResult, nxErrRecordNotFound);
    EXPECT_EQ(entry.bseRecord, nullptr);
    ASSERT_TRUE(access->Next(entry));
    EXPECT_EQ(u32At(entry.bseRecord), 5u);
  }
}

TEST_F(CursorBatchTest, KeyBatchPassesOverRecordsTheFilterRejectsToTheNextEqualKey) {
  Fill(20);
  // Group 1: IDs 1, 4, 7, 13, 16, 19 (10 is null).
  TnxServerTableCursor* cursor = Open(db_, u"ByGrp");
  Probe probe{cursor, 0, 0};
  TnxFilterID id = 0;
  ASSERT_EQ(cursor->FilterAddCallback(
                &probe, [](void*, const void* aRecord) { return u32At(static_cast<const std::uint8_t*>(aRecord)) != 1; },
                id, true),
            0);
  for (const bool matchFirst : {true, false}) {
    Bytes key = keyBuffer(Key(cursor, {0, "", 1}), true);
    TnxDataSetKeyBufferArray keys{key.data()};
    TnxBatchStreamAccess* access = nullptr;
    ASSERT_EQ(cursor->RecordGetForKeyBatch(-1, {}, access, keys, matchFirst, true), 0);
    Keep(access);
    EXPECT_EQ(IDs(access), std::vector<std::int32_t>{matchFirst ? 4 : 19});
  }
}

TEST_F(CursorBatchTest, KeyBatchRefusesWithoutIndexAndOnAWriteOnlyCursor) {
  Fill(5);
  TnxServerTableCursor* cursor = Open(db_);
  Bytes key = keyBuffer(Key(cursor, {2, "", 1}), true);
  TnxDataSetKeyBufferArray keys{key.data()};
  struct Row {
    bool index;
    bool writeOnly;
    TnxResult writeOnlyResult;
    TnxResult result;
  };
  const Row rows[] = {{false, false, 0, nxErrNoAssociatedIndex},
                      {true, true, 0, nxErrRecordNotFound},
                      {true, true, 10763, 10763}};
  for (const Row& row : rows) {
    TnxServerTableCursor* other = Open(db_, row.index ? u"ByID" : u"");
    nxtest::CursorWriteOnly::Set(other, row.writeOnly, row.writeOnlyResult);
    TnxBatchStreamAccess* access = nullptr;
    EXPECT_EQ(other->RecordGetForKeyBatch(-1, {}, access, keys, true, true), row.result);
    EXPECT_EQ(access, nullptr);
    nxtest::CursorWriteOnly::Set(other, false);
  }
}

// ---- Iteration ----------------------------------------------------------------------------

struct IterationLog {
  std::vector<std::int32_t> ids;
  std::size_t stopAfter = 0;  // 0: never stop
};

TnxRecordIterator logIterator() {
  return [](void* aCookie, TnxRefNr, PnxRecordBuffer aRecord) {
    auto* log = static_cast<IterationLog*>(aCookie);
    log->ids.push_back(static_cast<std::int32_t>(u32At(aRecord)));
    return log->stopAfter != 0 && log->ids.size() >= log->stopAfter ? rirStop : rirContinue;
  };
}

TEST_F(CursorBatchTest, IterationWithoutIndexStartsWhereTheKeptPositionSays) {
  Fill(10);
  enum class Place { Bof, Eof, Unknown, CrackBefore5, CrackAfter5, On5 };
  struct Row {
    Place place;
    bool backward;
    std::int32_t first;  // first record handed over; 0: none
  };
  const Row rows[] = {
      {Place::Bof, false, 1},          {Place::Bof, true, 0},          {Place::Eof, false, 0},
      {Place::Eof, true, 10},          {Place::Unknown, false, 1},     {Place::Unknown, true, 10},
      {Place::CrackBefore5, false, 5}, {Place::CrackBefore5, true, 4}, {Place::CrackAfter5, false, 6},
      {Place::CrackAfter5, true, 5},   {Place::On5, false, 6},         {Place::On5, true, 4},
  };
  for (const Row& row : rows) {
    TnxServerTableCursor* cursor = Open(db_, u"");
    ASSERT_EQ(cursor->SetToBegin(), 0);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, nullptr), 0);
    switch (row.place) {
      case Place::Bof:
        cursor->IndexPath()->SetToBof();
        break;
      case Place::Eof:
        cursor->IndexPath()->SetToEof();
        break;
      case Place::Unknown:
        cursor->IndexPath()->Position = ippUnknown;
        break;
      case Place::CrackBefore5:
        cursor->IndexPath()->SetToCrackBefore();
        break;
      case Place::CrackAfter5:
        cursor->IndexPath()->SetToCrackAfter();
        break;
      case Place::On5:
        break;
    }
    IterationLog log;
    log.stopAfter = 1;
    std::vector<std::uint8_t> record = Record(cursor);
    PnxRecordBuffer slot = record.data();
    ASSERT_EQ(cursor->sbcIterate(&slot, nullptr, logIterator(), row.backward, &log, true), 0);
    if (row.first == 0) {
      EXPECT_TRUE(log.ids.empty()) << static_cast<int>(row.place) << row.backward;
    } else {
      ASSERT_EQ(log.ids.size(), 1u) << static_cast<int>(row.place) << row.backward;
      EXPECT_EQ(log.ids[0], row.first) << static_cast<int>(row.place) << row.backward;
      // A stopped iteration leaves the path on that record.
      ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0);
      EXPECT_EQ(ID(cursor, record.data()), row.first);
    }
  }
}

TEST_F(CursorBatchTest, AnIterationThatRunsOutLeavesThePathAtTheEndItWalkedTo) {
  Fill(10);
  for (const char16_t* index : {u"ByID", u""}) {
    for (const bool backward : {false, true}) {
      TnxServerTableCursor* cursor = Open(db_, index);
      IterationLog log;
      std::vector<std::uint8_t> record = Record(cursor);
      PnxRecordBuffer slot = record.data();
      ASSERT_EQ(cursor->sbcIterate(&slot, nullptr, logIterator(), backward, &log, false), 0);
      EXPECT_EQ(log.ids, backward ? Range(10, 1) : Range(1, 10));
      EXPECT_EQ(cursor->sbcGetPosition(), backward ? ippBof : ippEof);
      EXPECT_EQ(cursor->stcInUseCount, 0);
    }
  }
}

TEST_F(CursorBatchTest, AWriteOnlyCursorIteratesNothing) {
  Fill(3);
  TnxServerTableCursor* cursor = Open(db_);
  nxtest::CursorWriteOnly::Set(cursor, true);
  IterationLog log;
  EXPECT_EQ(cursor->sbcIterate(nullptr, nullptr, logIterator(), false, &log, false), 0);
  EXPECT_TRUE(log.ids.empty());
  nxtest::CursorWriteOnly::Set(cursor, false);
}

TEST_F(CursorBatchTest, AThrowingIteratorLeavesNoUseCountAndNoContentLock) {
  Fill(5);
  for (const char16_t* index : {u"ByID", u""}) {
    TnxServerTableCursor* cursor = Open(db_, index);
    // Outside a transaction the shared content lock is a read of the root's portal.
    TnxInternalReadWritePortal* portal = cursor->Table()->Root()->ContentPortal();
    const std::int32_t idle = portal->PortalCount();
    std::int32_t portalInside = idle;
    std::int32_t useInside = 0;
    const TnxRecordIterator thrower = [&](void*, TnxRefNr, PnxRecordBuffer) -> TnxRecordIteratorResult {
      useInside = cursor->stcInUseCount;
      portalInside = portal->PortalCount();
      throw std::runtime_error("iterator failed");
    };
    std::vector<std::uint8_t> record = Record(cursor);
    PnxRecordBuffer slot = record.data();
    EXPECT_THROW(cursor->sbcIterate(&slot, nullptr, thrower, false, nullptr, false), std::runtime_error);
    EXPECT_EQ(useInside, 1);
    EXPECT_NE(portalInside, idle);
    EXPECT_EQ(cursor->stcInUseCount, 0);
    EXPECT_EQ(portal->PortalCount(), idle);
  }
}

TEST_F(CursorBatchTest, AnIteratorThatRedirectsTheSlotGetsTheNextRecordThere) {
  Fill(4);
  for (const char16_t* index : {u"ByID", u""}) {
    TnxServerTableCursor* cursor = Open(db_, index);
    std::vector<std::uint8_t> first = Record(cursor);
    std::vector<std::uint8_t> second = Record(cursor);
    PnxRecordBuffer slot = first.data();
    struct Seen {
      PnxRecordBuffer* slot;
      std::uint8_t* other;
      std::vector<std::pair<const std::uint8_t*, std::int32_t>> records;  // slot used, ID read there
    } seen{&slot, second.data(), {}};
    const TnxRecordIterator redirect = [](void* aCookie, TnxRefNr, PnxRecordBuffer aRecord) {
      auto* s = static_cast<Seen*>(aCookie);
      EXPECT_EQ(u32At(*s->slot), u32At(aRecord));
      s->records.emplace_back(*s->slot, static_cast<std::int32_t>(u32At(*s->slot)));
      *s->slot = s->other;
      return rirContinue;
    };
    ASSERT_EQ(cursor->sbcIterate(&slot, nullptr, redirect, false, &seen, false), 0);
    ASSERT_EQ(seen.records.size(), 4u);
    EXPECT_EQ(seen.records[0].first, first.data());
    EXPECT_EQ(seen.records[1].first, second.data());
    EXPECT_EQ(seen.records[3].first, second.data());
    // The first buffer kept the first record.
    EXPECT_EQ(u32At(first.data()), 1u);
    EXPECT_EQ(u32At(second.data()), 4u);
  }
}

// ---- Record counts ------------------------------------------------------------------------

TEST_F(CursorBatchTest, RecordCountsByOptionFilterAndRange) {
  Fill(20);
  struct Row {
    TnxRecordCountOption option;
    bool filter;  // even IDs only
    bool range;   // IDs 5..14
    std::uint32_t count;
  };
  const Row rows[] = {
      {rcoTotalRecordCount, false, false, 20},       {rcoTotalRecordCount, true, true, 20},
      {rcoTotalKeyCount, false, false, 20},          {rcoTotalKeyCount, true, true, 20},
      {rcoRangedKeyCount, false, false, 20},         {rcoRangedKeyCount, false, true, 10},
      {rcoRangedKeyCount, true, false, 20},          {rcoRangedKeyCount, true, true, 10},
      {rcoServerFilteredKeyCount, false, false, 20},  {rcoServerFilteredKeyCount, true, false, 10},
      {rcoServerFilteredKeyCount, false, true, 10},   {rcoServerFilteredKeyCount, true, true, 5},
      {rcoClientFilteredKeyCount, true, true, 5},     {rcoClientFilteredKeyCount, true, false, 10},
  };
  for (const char16_t* index : {u"ByID", u""}) {
    for (const Row& row : rows) {
      if (!*index && row.range) continue;
      TnxServerTableCursor* cursor = Open(db_, index);
      if (row.filter) {
        TnxFilterID id = 0;
        ASSERT_EQ(cursor->FilterAddCallback(
                      nullptr, [](void*, const void* aRecord) { return u32At(static_cast<const std::uint8_t*>(aRecord)) % 2 == 0; },
                      id, true),
                  0);
      }
      if (row.range) {
        const Bytes low = Key(cursor, {5, "", 0});
        const Bytes high = Key(cursor, {14, "", 0});
        ASSERT_EQ(cursor->RangeSet(0, 0, true, low.data(), true, 0, 0, true, high.data(), true), 0);
      }
      std::uint32_t count = 0;
      EXPECT_EQ(cursor->GetRecordCountEx(row.option, count, false), 0);
      // Without index every option but the filtered ones counts all records.
      EXPECT_EQ(count, row.count) << (*index ? "index " : "no index ") << row.option << " " << row.filter << " "
                                  << row.range;
    }
  }
  // The estimate of a range stays within the table.
  TnxServerTableCursor* cursor = Open(db_);
  const Bytes low = Key(cursor, {5, "", 0});
  const Bytes high = Key(cursor, {14, "", 0});
  ASSERT_EQ(cursor->RangeSet(0, 0, true, low.data(), true, 0, 0, true, high.data(), true), 0);
  std::uint32_t estimate = 0;
  EXPECT_EQ(cursor->GetRecordCountEx(rcoRangedKeyCount, estimate, true), 0);
  EXPECT_GT(estimate, 0u);
  EXPECT_LE(estimate, 20u);
}

TEST_F(CursorBatchTest, AWalkingCountLeavesPositionAndFiltersAsTheyWere) {
  Fill(20);
  for (const char16_t* index : {u"ByID", u""}) {
    for (const TnxRecordCountOption option : {rcoServerFilteredKeyCount, rcoRangedKeyCount}) {
      TnxServerTableCursor* cursor = Open(db_, index);
      Probe probe{cursor, 0, 0};  // rejects every record
      TnxFilterID id = 0;
      ASSERT_EQ(cursor->FilterAddCallback(&probe, probeFilter, id, false), 0);
      std::vector<std::uint8_t> record = Record(cursor);
      ASSERT_EQ(cursor->SetToBegin(), 0);
      for (int i = 0; i < 7; ++i) ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), 0);
      ASSERT_EQ(cursor->FilterActivate(id), 0);
      TnxBaseFilterEngine* filter = cursor->Filter();
      if (option == rcoRangedKeyCount && *index) {
        const Bytes low = Key(cursor, {3, "", 0});
        ASSERT_EQ(cursor->RangeSet(0, 0, true, low.data(), true, 0, 0, true, nullptr, true), 0);
        ASSERT_EQ(cursor->FilterDeactivate(id), 0);
        ASSERT_EQ(cursor->SetToBegin(), 0);
        for (int i = 0; i < 5; ++i) ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), 0);
        ASSERT_EQ(cursor->FilterActivate(id), 0);
      }
      const std::int32_t before = ID(cursor, record.data());
      std::uint32_t count = 99;
      ASSERT_EQ(cursor->GetRecordCountEx(option, count, false), 0);
      EXPECT_EQ(count, option == rcoServerFilteredKeyCount ? 0u : (*index ? 18u : 20u));
      EXPECT_EQ(cursor->Filter(), filter);
      ASSERT_EQ(cursor->FilterDeactivate(id), 0);
      ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0);
      EXPECT_EQ(ID(cursor, record.data()), before);
      ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), 0);
      EXPECT_EQ(ID(cursor, record.data()), before + 1);
    }
  }
}

// ---- Readers beside a writer --------------------------------------------------------------

TEST_F(CursorBatchTest, BatchesBesideCommittingInsertsHoldOnlyCommittedRecords) {
  nxtest::Watchdog watchdog;
  constexpr std::int32_t kPerCommit = 3;
  Fill(30);
  TnxServerDatabase* readerDb = NewDatabase();
  TnxServerDatabase* writerDb = NewDatabase();
  std::atomic<bool> done{false};
  std::atomic<std::int32_t> committed{30};
  std::atomic<int> batches{0};
  nxtest::runThreads(2, [&](int aIndex) {
    nxSetTimeout(0, true);
    if (aIndex == 0) {
      TnxServerTableCursor* writer = Open(writerDb);
      auto* context = static_cast<TnxServerTransContext*>(writerDb->TransContext());
      std::vector<std::uint8_t> record = Record(writer);
      // Three records per commit, IDs counting on; a refused content lock
      // (a batch is being read) is asked for again.
      for (std::int32_t next = 31; next < 31 + 60 * kPerCommit;) {
        ASSERT_EQ(context->stcTransactionStart(false, false, false, false, false, true), 0);
        if (writer->sbcBeginContentLock(true, false, false) != 0) {
          ASSERT_EQ(context->stcTransactionRollback(), 0);
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          continue;
        }
        TnxBaseTransaction* trans = context->Transaction();
        for (std::int32_t i = 0; i < kPerCommit; ++i) {
          SetRecord(writer, record, {next + i, "w", 1});
          TnxRefNr refNr = 0;
          writer->Table()->RecordEngine()->AddRecord(trans, refNr, record.data());
          ASSERT_EQ(writer->Table()->IndicesEngine()->InsertKeys(trans, refNr, record.data(), nullptr), 0);
        }
        ASSERT_EQ(context->stcTransactionCommit(), 0);
        committed.store(next + kPerCommit - 1);
        next += kPerCommit;
      }
      done.store(true);
      return;
    }
    TnxServerTableCursor* cursor = Open(readerDb, u"ByID", 5000);
    TnxBatchStreamAccess* access = nullptr;
    while (!done.load() || batches.load() < 3) {
      const std::int32_t least = committed.load();
      TnxRecordGetBatchExOptions options{};
      options.include(gboSetToBeginOrEnd);
      const TnxResult result = cursor->RecordGetBatch(-1, options, access, 0, true);
      if (result != 0) {
        ADD_FAILURE() << "batch read " << result;
        break;
      }
      const std::vector<std::int32_t> ids = IDs(access);
      EXPECT_EQ(access->InnerError(), static_cast<std::uint32_t>(nxErrEOF));
      EXPECT_EQ(static_cast<std::int32_t>(ids.size()), access->Count());
      // Whole commits only, in order, and at least what was committed before.
      EXPECT_EQ(ids.size() % kPerCommit, 0u);
      EXPECT_GE(static_cast<std::int32_t>(ids.size()), least);
      EXPECT_EQ(ids, Range(1, static_cast<std::int32_t>(ids.size())));
      batches.fetch_add(1);
      if (::testing::Test::HasFailure()) break;
    }
    platform::TObject::free(access);
  });
  EXPECT_GE(batches.load(), 3);
}

}  // namespace nxcursorbatchtest
