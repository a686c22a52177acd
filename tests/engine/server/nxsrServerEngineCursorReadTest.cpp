#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "nxsdFilterEngineCallback.h"
#include "nxsrServerEngineCursorTestSupport.h"
#include "nxTestWatchdog.h"
#include "plString.h"

namespace {

using nxtest::ServerEngineFixture;

constexpr std::int32_t kReadRecords = 1000;

// "ID" 1..1000 (unique index "ByID", number 0), "Name", and "Grp" = ID / 10
// with duplicates, null for every ID divisible by 100 (index "ByGrp", 1).
TnxServerDataDict* readDictionary() {
  TnxServerDataDict* dict = nxtest::tableDictionary(true);
  dict->FieldsDescriptor()->AddField(u"Grp", u"", nxtInt32, 0, 0, false);
  TnxIndexDescriptor* index = dict->EnsureIndicesDescriptor()->AddIndex(u"ByGrp", 0, idAll, u"");
  platform::objectAs<TnxCompKeyDescriptor>(index->KeyDescriptor())->Add(2);
  TnxNestedTableDescriptor* kids = dict->TablesDescriptor()->AddTable(u"Kids");
  kids->FieldsDescriptor()->AddField(u"Value", u"", nxtInt32, 0, 0, false);
  kids->AddRecordDescriptor();
  return dict;
}

// One session per test thread: its own database and transaction context.
class CursorReadTest : public nxtest::CursorTestBase {
 protected:
  void SetUp() override {
    table_ = u"rd";
    StartEngine();
    TnxOwned<TnxServerDataDict> dict(readDictionary());
    ASSERT_EQ(db_->Folder()->sfTableBuild(false, u"rd", u"", false, dict.get(), tsPersistent), 0);
    Fill();
  }
  void TearDown() override {
    nxsrDeadlockTestHook.store(nullptr);
    nxsrCommitFlushTestHook.store(nullptr);
    CursorTestBase::TearDown();
  }
  TnxServerTableCursor* Open(TnxServerDatabase* aDb, const nxString& aIndex = u"ByID", std::uint32_t aTimeout = 0,
                             TnxOpenMode aMode = omReadWrite, TnxShareMode aShare = smShared,
                             const nxString& aTable = u"rd") {
    return CursorTestBase::Open(aDb, aIndex, aTimeout, aMode, aShare, aTable);
  }
  std::vector<std::uint8_t> Record() { return RecordOf(cursor_); }
  TnxFieldsDescriptor* Fields() { return cursor_->Table()->TableDescriptor()->FieldsDescriptor(); }
  void SetRecord(std::vector<std::uint8_t>& aRecord, std::int32_t aID) {
    std::fill(aRecord.begin(), aRecord.end(), 0);
    Fields()->SetRecordField(0, aRecord.data(), &aID);
    const std::int32_t grp = aID / 10;
    if (aID % 100 != 0) Fields()->SetRecordField(2, aRecord.data(), &grp);
  }
  // Records through the record and indices engines in a transaction.
  void Fill() {
    cursor_ = Open(db_);
    ASSERT_NE(cursor_, nullptr);
    auto* context = static_cast<TnxServerTransContext*>(db_->TransContext());
    ASSERT_EQ(context->stcTransactionStart(false, false, false, false, false, true), 0);
    ASSERT_EQ(cursor_->sbcBeginContentLock(true, false, false), 0);
    TnxBaseTransaction* trans = context->Transaction();
    std::vector<std::uint8_t> record = Record();
    for (std::int32_t id = 1; id <= kReadRecords; ++id) {
      SetRecord(record, id);
      TnxRefNr refNr = 0;
      cursor_->Table()->RecordEngine()->AddRecord(trans, refNr, record.data());
      ASSERT_EQ(cursor_->Table()->IndicesEngine()->InsertKeys(trans, refNr, record.data(), nullptr), 0);
    }
    ASSERT_EQ(context->stcTransactionCommit(), 0);
  }
  std::int32_t ID(const std::vector<std::uint8_t>& aRecord) {
    std::int32_t id = 0;
    std::memcpy(&id, aRecord.data() + Fields()->Fields(0)->fdOffset, 4);
    return id;
  }
  // The IDs read with next (or prior) until the first failure.
  std::vector<std::int32_t> Walk(TnxServerTableCursor* aCursor, bool aForward, std::size_t aMax = 5000,
                                 TnxResult* aEnd = nullptr) {
    std::vector<std::int32_t> ids;
    std::vector<std::uint8_t> record = Record();
    while (ids.size() < aMax) {
      const TnxResult result = aForward ? aCursor->RecordGetNext(nxltNoLock, record.data())
                                        : aCursor->RecordGetPrior(nxltNoLock, record.data());
      if (result != 0) {
        if (aEnd) *aEnd = result;
        return ids;
      }
      ids.push_back(ID(record));
    }
    return ids;
  }
  // A key of index ByID.
  std::vector<std::uint8_t> IDKey(TnxServerTableCursor* aCursor, std::int32_t aID) {
    std::vector<std::uint8_t> record = Record();
    SetRecord(record, aID);
    std::vector<std::uint8_t> key(1024, 0);
    EXPECT_EQ(aCursor->IndexEngine()->bieKeyEngine->BuildKey(record.data(), key.data(), 0, true), 0);
    return key;
  }

  TnxServerTableCursor* cursor_ = nullptr;
};

std::vector<std::int32_t> readRange(std::int32_t aFrom, std::int32_t aTo) {
  std::vector<std::int32_t> ids;
  if (aFrom <= aTo)
    for (std::int32_t i = aFrom; i <= aTo; ++i) ids.push_back(i);
  else
    for (std::int32_t i = aFrom; i >= aTo; --i) ids.push_back(i);
  return ids;
}

// ---- Sequences -----------------------------------------------------------------------

TEST_F(CursorReadTest, FirstNextPriorLastByIndexAndInRecordOrder) {
  for (const nxString& index : {nxString(u"ByID"), nxString()}) {
    TnxServerTableCursor* cursor = Open(db_, index);
    if (index.empty()) {
      ASSERT_EQ(cursor->SwitchToIndex(u"", -1, porFalse), 0);
    }
    TnxResult end = 0;
    ASSERT_EQ(cursor->SetToBegin(), 0);
    EXPECT_EQ(Walk(cursor, true, 5000, &end), readRange(1, kReadRecords));
    EXPECT_EQ(end, nxErrEOF);
    EXPECT_EQ(cursor->sbcGetPosition(), ippEof);
    // At the end: 8706 again at once.
    EXPECT_EQ(Walk(cursor, true, 5000, &end).size(), 0u);
    EXPECT_EQ(end, nxErrEOF);
    EXPECT_EQ(Walk(cursor, false, 5000, &end), readRange(kReadRecords, 1));
    EXPECT_EQ(end, nxErrBOF);
    ASSERT_EQ(cursor->SetToEnd(), 0);
    EXPECT_EQ(Walk(cursor, false, 3), readRange(kReadRecords, kReadRecords - 2));
    // The current record is the last one read.
    std::vector<std::uint8_t> record = Record();
    ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0);
    EXPECT_EQ(ID(record), kReadRecords - 2);
  }
}

TEST_F(CursorReadTest, SetToKeyForEverySearchAction) {
  TnxServerTableCursor* cursor = Open(db_);
  struct Row {
    TnxSearchKeyAction action;
    std::int32_t key;
    TnxResult result;
    std::int32_t next;  // ID of the following read in the search direction; 0: none (8706/8705)
  };
  // Backward actions (EqualLast, SmallerEqual, Smaller) read with prior.
  const Row rows[] = {
      {skaEqualFirst, 500, 0, 500},        {skaEqualFirst, 5000, nxErrRecordNotFound, 0},
      {skaEqualFirst, 1, 0, 1},            {skaEqualFirst, 1000, 0, 1000},
      {skaGreaterEqual, 500, 0, 500},      {skaGreaterEqual, 0, 0, 1},
      {skaGreaterEqual, 5000, 0, 0},       {skaGreater, 500, 0, 501},
      {skaGreater, 1000, 0, 0},            {skaEqualLast, 500, 0, 500},
      {skaEqualLast, 0, nxErrRecordNotFound, 0}, {skaSmallerEqual, 500, 0, 500},
      {skaSmallerEqual, 5000, 0, 1000},    {skaSmaller, 500, 0, 499},
      {skaSmaller, 1, 0, 0},               {skaAnyEqual, 700, 0, 700},
      {skaAnyGreaterEqual, 700, 0, 700},   {skaAnyGreater, 700, 0, 701},
      {skaAnySmallerEqual, 700, 0, 700},   {skaAnySmaller, 700, 0, 699},
  };
  std::vector<std::uint8_t> record = Record();
  for (const Row& row : rows) {
    const std::vector<std::uint8_t> key = IDKey(cursor, row.key);
    EXPECT_EQ(cursor->SetToKey(row.action, 0, 0, true, key.data()), row.result) << row.action << " " << row.key;
    const bool backward = row.action == skaEqualLast || row.action == skaSmallerEqual || row.action == skaSmaller;
    const TnxResult read = backward ? cursor->RecordGetPrior(nxltNoLock, record.data())
                                    : cursor->RecordGetNext(nxltNoLock, record.data());
    if (row.next == 0) {
      EXPECT_EQ(read, backward ? nxErrBOF : nxErrEOF) << row.action << " " << row.key;
    } else {
      ASSERT_EQ(read, 0) << row.action << " " << row.key;
      EXPECT_EQ(ID(record), row.next) << row.action << " " << row.key;
    }
  }
}

TEST_F(CursorReadTest, RecordGetForKeyWalksTheDuplicates) {
  TnxServerTableCursor* cursor = Open(db_, u"ByGrp");
  std::vector<std::uint8_t> probe = Record();
  SetRecord(probe, 425);  // group 42: IDs 420..429
  std::vector<std::uint8_t> record = Record();
  ASSERT_EQ(cursor->RecordGetForKey(1, 0, false, probe.data(), record.data(), true, true), 0);
  std::vector<std::int32_t> ids{ID(record)};
  while (cursor->RecordGetForKey(1, 0, false, probe.data(), record.data(), true, false) == 0) ids.push_back(ID(record));
  EXPECT_EQ(ids, readRange(420, 429));
  EXPECT_EQ(cursor->sbcGetPosition(), ippEof);
  ASSERT_EQ(cursor->RecordGetForKey(1, 0, false, probe.data(), record.data(), false, true), 0);
  EXPECT_EQ(ID(record), 429);
  ASSERT_EQ(cursor->RecordGetForKey(1, 0, false, probe.data(), record.data(), false, false), 0);
  EXPECT_EQ(ID(record), 428);
  SetRecord(probe, 5005);
  EXPECT_EQ(cursor->RecordGetForKey(1, 0, false, probe.data(), record.data(), true, true), nxErrRecordNotFound);
}

TEST_F(CursorReadTest, RangesExclusiveStartAndEmptyRange) {
  TnxServerTableCursor* cursor = Open(db_);
  const auto from = IDKey(cursor, 100), to = IDKey(cursor, 105);
  ASSERT_EQ(cursor->RangeSet(0, 0, true, from.data(), false, 0, 0, true, to.data(), true), 0);
  EXPECT_EQ(Walk(cursor, true), readRange(101, 105));
  ASSERT_EQ(cursor->SetToEnd(), 0);
  EXPECT_EQ(Walk(cursor, false), readRange(105, 101));
  // Empty: start above the end; 8706 and the path at the end.
  const auto high = IDKey(cursor, 900);
  ASSERT_EQ(cursor->RangeSet(0, 0, true, high.data(), true, 0, 0, true, to.data(), true), 0);
  TnxResult end = 0;
  EXPECT_TRUE(Walk(cursor, true, 10, &end).empty());
  EXPECT_EQ(end, nxErrEOF);
  EXPECT_EQ(cursor->sbcGetPosition(), ippEof);
  ASSERT_EQ(cursor->RangeReset(), 0);
  ASSERT_EQ(cursor->SetToBegin(), 0);
  EXPECT_EQ(Walk(cursor, true).size(), static_cast<std::size_t>(kReadRecords));
}

TEST_F(CursorReadTest, BookmarkRoundTripAndSize) {
  TnxServerTableCursor* cursor = Open(db_);
  std::int32_t size = 0;
  ASSERT_EQ(cursor->sbcGetBookmarkSize(size), 0);
  ASSERT_GT(size, 0);
  std::vector<std::uint8_t> record = Record();
  Walk(cursor, true, 37);
  std::vector<std::uint8_t> mark(static_cast<std::size_t>(size));
  ASSERT_EQ(cursor->GetBookmark(mark.data(), size), 0);
  Walk(cursor, true, 100);
  ASSERT_EQ(cursor->SetToBookmark(mark.data(), size), 0);
  ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0);
  EXPECT_EQ(ID(record), 37);
  ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), 0);
  EXPECT_EQ(ID(record), 38);
}

// The variant of a bookmark: the key on an index,
// the RefNr in record order, the empty parameter at either end.
TEST_F(CursorReadTest, BookmarkAsVariantByPosition) {
  struct Case {
    const char16_t* index;
    std::size_t steps;  // records read forward; 0 = at the beginning, SIZE_MAX = at the end
  } cases[] = {
      {u"ByID", 37}, {u"ByGrp", 1}, {u"ByGrp", 500},
      {u"", 37}, {u"ByID", 0}, {u"ByID", SIZE_MAX}, {u"", 0}, {u"", SIZE_MAX},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << platform::toUtf8(c.index) << " after " << c.steps);
    TnxServerTableCursor* cursor = Open(db_, c.index);
    if (nxString(c.index).empty()) {
      ASSERT_EQ(cursor->SwitchToIndex(u"", -1, porFalse), 0);
    }
    std::vector<std::uint8_t> record = Record();
    if (c.steps == SIZE_MAX) {
      ASSERT_EQ(cursor->SetToEnd(), 0);
    } else if (c.steps > 0) {
      ASSERT_EQ(Walk(cursor, true, c.steps).size(), c.steps);
      ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0);
    }
    std::int32_t size = 0;
    ASSERT_EQ(cursor->sbcGetBookmarkSize(size), 0);
    std::vector<std::uint8_t> mark(static_cast<std::size_t>(size));
    ASSERT_EQ(cursor->GetBookmark(mark.data(), size), 0);
    platform::Variant value(7);
    ASSERT_EQ(cursor->BookmarkAsVariant(mark.data(), size, value), 0);
    platform::Variant expected;
    const std::int32_t id = ID(record);
    if (c.steps == 0 || c.steps == SIZE_MAX)
      expected = platform::Variant::emptyParam();
    else if (nxString(c.index) == u"ByID")
      expected = platform::Variant(id);
    else if (nxString(c.index) == u"ByGrp") {
      bool isNull = false;
      std::int32_t grp = 0;
      Fields()->GetRecordField(2, record.data(), isNull, &grp);
      expected = isNull ? platform::Variant::null() : platform::Variant(grp);
    } else {
      expected = platform::Variant(static_cast<long long>(cursor->IndexPath()->RefNr));
      EXPECT_EQ(value.type(), platform::varInt64);
    }
    EXPECT_EQ(platform::varCompareValue(value, expected), platform::VarRelationship::Equal)
        << platform::varTypeAsText(value.type());
    // The bookmark still finds its record after the cursor has moved on.
    if (c.steps > 0 && c.steps != SIZE_MAX) {
      Walk(cursor, true, 3);
      ASSERT_EQ(cursor->SetToBookmark(mark.data(), size), 0);
      ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0);
      EXPECT_EQ(ID(record), id);
    }
  }
}

// Every bookmark the cursor cannot read answers 10021 and leaves the variant empty.
TEST_F(CursorReadTest, BookmarkAsVariantRefusesBadBookmarks) {
  TnxServerTableCursor* byID = Open(db_);
  TnxServerTableCursor* byGrp = Open(db_, u"ByGrp");
  TnxServerTableCursor* plain = Open(db_, u"");
  ASSERT_EQ(plain->SwitchToIndex(u"", -1, porFalse), 0);
  Walk(byID, true, 10);
  std::int32_t size = 0;
  ASSERT_EQ(byID->sbcGetBookmarkSize(size), 0);
  std::vector<std::uint8_t> good(static_cast<std::size_t>(size));
  ASSERT_EQ(byID->GetBookmark(good.data(), size), 0);
  std::vector<std::uint8_t> badSum = good, noPosition = good, noKey = good;
  badSum[12] ^= 1;
  noPosition[8] = ippUnknown;
  TnxBookmarkHandler::SetChecksum(noPosition.data());
  noKey[9] = 0;
  TnxBookmarkHandler::SetChecksum(noKey.data());
  struct Case {
    const char* name;
    TnxServerTableCursor* cursor;
    const std::uint8_t* mark;
    std::int32_t size;
  } cases[] = {
      {"changed byte", byID, badSum.data(), size},
      {"no position", byID, noPosition.data(), size},
      {"key not valid", byID, noKey.data(), size},
      {"too short", byID, good.data(), size - 1},
      {"nil", byID, nullptr, size},
      {"other index", byGrp, good.data(), size},
      {"record order", plain, good.data(), size},
  };
  for (const Case& c : cases) {
    platform::Variant value(7);
    EXPECT_EQ(c.cursor->BookmarkAsVariant(c.mark, c.size, value), nxErrBookmarkMismatch) << c.name;
    EXPECT_TRUE(value.isEmpty()) << c.name;
  }
  platform::Variant value;
  ASSERT_EQ(byID->BookmarkAsVariant(good.data(), size, value), 0);
  EXPECT_EQ(platform::varCompareValue(value, platform::Variant(10)), platform::VarRelationship::Equal);
}

TEST_F(CursorReadTest, SetToCursorErrorsAndAcrossIndices) {
  TnxServerTableCursor* byID = Open(db_);
  TnxServerTableCursor* byGrp = Open(db_, u"ByGrp");
  TnxServerTableCursor* kids = Open(db_, u"", 0, omReadWrite, smShared, u"rd:Kids");
  TnxServerTableCursor* foreign = Open(NewDatabase());
  EXPECT_EQ(byID->SetToCursor(kids), nxErrCursorOfOtherTable);
  EXPECT_EQ(byID->SetToCursor(foreign), nxErrDifferentSessions);
  EXPECT_EQ(byID->sbcSetToCursor(nullptr), nxErrInvalidHandle);
  Walk(byID, true, 555);
  ASSERT_EQ(byGrp->SetToCursor(byID), 0);
  std::vector<std::uint8_t> record = Record();
  ASSERT_EQ(byGrp->RecordGet(nxltNoLock, record.data()), 0);
  EXPECT_EQ(ID(record), 555);
  ASSERT_EQ(byGrp->RecordGetNext(nxltNoLock, record.data()), 0);
  EXPECT_EQ(ID(record), 556);
}

TEST_F(CursorReadTest, SwitchToIndexModes) {
  TnxServerTableCursor* cursor = Open(db_);
  Walk(cursor, true, 250);
  std::vector<std::uint8_t> record = Record();
  // porTrue keeps the record; the next read follows the new order.
  ASSERT_EQ(cursor->SwitchToIndex(u"ByGrp", -1, porTrue), 0);
  ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0);
  EXPECT_EQ(ID(record), 250);
  // A bad name: 9997, cursor unchanged.
  EXPECT_EQ(cursor->SwitchToIndex(u"Nope", -1, porTrue), nxErrNoSuchIndex);
  std::int32_t id = -2;
  ASSERT_EQ(cursor->GetIndexID(id), 0);
  EXPECT_EQ(id, 1);
  ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0);
  EXPECT_EQ(ID(record), 250);
  // Record order, then back with porTry from the end: at the beginning.
  ASSERT_EQ(cursor->SwitchToIndex(u"", -1, porTrue), 0);
  ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0);
  EXPECT_EQ(ID(record), 250);
  ASSERT_EQ(cursor->SetToEnd(), 0);
  ASSERT_EQ(cursor->SwitchToIndex(u"ByID", -1, porTry), 0);
  EXPECT_EQ(cursor->sbcGetPosition(), ippBof);
  EXPECT_EQ(cursor->SwitchToIndex(u"ByID", -1, porTrue), nxErrNoCurrentRecord);
  ASSERT_EQ(cursor->SwitchToIndex(u"", 0, porFalse), 0);
  EXPECT_EQ(cursor->sbcGetPosition(), ippBof);
}

TEST_F(CursorReadTest, RecordNumbersWithAndWithoutFlipOrder) {
  for (const nxString& index : {nxString(u"ByID"), nxString()}) {
    TnxServerTableCursor* cursor = Open(db_, index);
    if (index.empty()) {
      ASSERT_EQ(cursor->SwitchToIndex(u"", -1, porFalse), 0);
    }
    Walk(cursor, true, 10);
    std::uint32_t recNo = 0;
    ASSERT_EQ(cursor->RecNoGet(recNo, false), 0) << platform::toUtf8(index);
    EXPECT_EQ(recNo, 10u);
    ASSERT_EQ(cursor->RecNoGet(recNo, true), 0);
    EXPECT_EQ(recNo, static_cast<std::uint32_t>(kReadRecords - 9));
    ASSERT_EQ(cursor->RecNoSet(20, false), 0);
    std::vector<std::uint8_t> record = Record();
    ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0);
    EXPECT_EQ(ID(record), 20);
  }
}

bool rejectOddRecord(void* aCookie, const void* aBuffer) {
  const auto* offset = static_cast<const std::int32_t*>(aCookie);
  std::int32_t id = 0;
  std::memcpy(&id, static_cast<const std::uint8_t*>(aBuffer) + *offset, 4);
  return id % 2 == 0;
}

// Reaches the cursor's filter field the way the filter operations fill it.
struct CursorReadFilterAccess : TnxServerTableCursor {
  static void Set(TnxServerBaseCursor* aCursor, TnxBaseFilterEngine* aFilter) {
    aCursor->*(&CursorReadFilterAccess::sbcFilter) = aFilter;
  }
};

TEST_F(CursorReadTest, RecordFilterSkipsRejectedRecordsInEveryRead) {
  TnxServerTableCursor* cursor = Open(db_);
  std::int32_t offset = Fields()->Fields(0)->fdOffset;
  TnxCallbackFilterDescriptor descriptor(&offset, &rejectOddRecord);
  TnxBaseFilterEngine* filter = platform::create<TnxCallbackFilterEngine>(&descriptor, nullptr);
  filter->SetActive(true);
  Walk(cursor, true, 7);
  CursorReadFilterAccess::Set(cursor, filter);
  // The current record (7) is rejected.
  EXPECT_EQ(cursor->RecordGet(nxltNoLock, nullptr), nxErrNoCurrentRecord);
  EXPECT_EQ(Walk(cursor, true, 3), (std::vector<std::int32_t>{8, 10, 12}));
  EXPECT_EQ(Walk(cursor, false, 2), (std::vector<std::int32_t>{10, 8}));
  std::vector<std::uint8_t> probe = Record();
  SetRecord(probe, 9);
  std::vector<std::uint8_t> record = Record();
  EXPECT_EQ(cursor->RecordGetForKey(0, 0, false, probe.data(), record.data(), true, true), nxErrRecordNotFound);
  ASSERT_EQ(cursor->SwitchToIndex(u"", -1, porFalse), 0);
  EXPECT_EQ(Walk(cursor, true, 2), (std::vector<std::int32_t>{2, 4}));
}

// ---- Record and table locks between sessions on threads ------------------------------

TEST_F(CursorReadTest, RecordLockConflictTimesOutNamesTheHolderAndThenSucceeds) {
  nxtest::Watchdog watchdog;
  TnxServerTableCursor* a = Open(db_);
  TnxServerTableCursor* b = Open(NewDatabase(), u"ByID", 300);
  TnxServerTableCursor* a2 = Open(db_);
  std::vector<std::uint8_t> record = Record();
  ASSERT_EQ(a->RecordGetNext(nxltWriteLock, record.data()), 0);
  // A second cursor of A's session: 10254 at once.
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(a2->RecordGetNext(nxltWriteLock, record.data()), nxErrLockConflict);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(100));
  std::thread other([&] {
    std::vector<std::uint8_t> mine = Record();
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(b->RecordGetNext(nxltWriteLock, mine.data()), nxErrRecordLockedByOther);
    EXPECT_GE(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(200));
    const std::string message = platform::toUtf8(nxtest::pendingMessage());
    EXPECT_NE(message.find("TableName: rd"), std::string::npos) << message;
    EXPECT_NE(message.find("record lock"), std::string::npos) << message;
    EXPECT_NE(message.find("The conflict occurred with the following session:"), std::string::npos) << message;
  });
  other.join();
  ASSERT_EQ(a->RecordLockRelease(false, false), 0);
  std::thread again([&] {
    std::vector<std::uint8_t> mine = Record();
    ASSERT_EQ(b->RecordGetNext(nxltWriteLock, mine.data()), 0);
    EXPECT_EQ(ID(mine), 1);
  });
  again.join();
}

TEST_F(CursorReadTest, RecordLockWaiterWakesSoonAfterTheRelease) {
  nxtest::Watchdog watchdog;
  TnxServerTableCursor* a = Open(db_);
  TnxServerTableCursor* b = Open(NewDatabase(), u"ByID", 5000);
  std::vector<std::uint8_t> record = Record();
  ASSERT_EQ(a->RecordGetNext(nxltWriteLock, record.data()), 0);
  std::promise<std::chrono::steady_clock::time_point> woken;
  std::thread other([&] {
    std::vector<std::uint8_t> mine = Record();
    EXPECT_EQ(b->RecordGetNext(nxltWriteLock, mine.data()), 0);
    woken.set_value(std::chrono::steady_clock::now());
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  const auto released = std::chrono::steady_clock::now();
  ASSERT_EQ(a->RecordLockRelease(true, false), 0);
  const auto at = woken.get_future().get();
  other.join();
  EXPECT_LT(at - released, std::chrono::milliseconds(50));
}

TEST_F(CursorReadTest, TableLocksAgainstRecordLocks) {
  nxtest::Watchdog watchdog;
  TnxServerTableCursor* a = Open(db_);
  TnxServerTableCursor* b = Open(NewDatabase(), u"ByID", 200);
  EXPECT_EQ(a->TableLockAcquire(nxltNoLock), nxErrFileLocked);
  ASSERT_EQ(a->TableLockAcquire(nxltReadLock), 0);
  EXPECT_EQ(a->sbcTableIsLocked(nxltReadLock), lpYesByUs);
  std::thread other([&] {
    std::vector<std::uint8_t> mine = Record();
    EXPECT_EQ(b->RecordGetNext(nxltWriteLock, mine.data()), nxErrRecordLockedByOther);
    EXPECT_EQ(b->AutoIncSet(5), nxErrFileLocked);  // the pseudo-reference lock
  });
  other.join();
  ASSERT_EQ(a->TableLockRelease(nxltReadLock, false), 0);
  ASSERT_EQ(a->TableLockAcquire(nxltWriteLock), 0);
  std::thread reader([&] { EXPECT_EQ(b->TableLockAcquire(nxltReadLock), nxErrFileLocked); });
  reader.join();
  ASSERT_EQ(a->TableLockRelease(nxltNoLock, true), 0);
  // At the end: 8706 and nothing released.
  std::vector<std::uint8_t> record = Record();
  ASSERT_EQ(a->RecordGetNext(nxltWriteLock, record.data()), 0);
  ASSERT_EQ(a->SetToEnd(), 0);
  EXPECT_EQ(a->RecordLockRelease(false, false), nxErrEOF);
  ASSERT_EQ(a->SetToBegin(), 0);
  ASSERT_EQ(a->RecordGetNext(nxltNoLock, record.data()), 0);
  TnxLockPresent present = lpNotAtAll;
  ASSERT_EQ(a->RecordIsLocked(nxltWriteLock, present), 0);
  EXPECT_EQ(present, lpYesByUs);
}

// ---- Content locks -------------------------------------------------------------------

TEST_F(CursorReadTest, ContentLocksWithoutTransactionAndConditional) {
  TnxServerTableCursor* cursor = Open(db_);
  EXPECT_EQ(cursor->sbcBeginContentLock(true, false, false), nxErrNoTransaction);
  TnxServerTableCursor* exclusive = Open(NewDatabase(), u"ByID", 0, omReadWrite, smExclusive, u"rd:Kids");
  EXPECT_EQ(exclusive->sbcBeginContentLock(true, false, false), nxErrNoTransaction);
}

TEST_F(CursorReadTest, UpgradesSharingAndDeadlock) {
  nxtest::Watchdog watchdog;
  TnxServerDatabase* dbB = NewDatabase();
  TnxServerTableCursor* a = Open(db_, u"ByID", 300);
  TnxServerTableCursor* a2 = Open(db_, u"ByID", 300);
  TnxServerTableCursor* b = Open(dbB, u"ByID", 300);
  ASSERT_EQ(db_->TransContext()->TransactionStart(false, false), 0);
  std::vector<std::uint8_t> record = Record();
  ASSERT_EQ(a->RecordGetNext(nxltNoLock, record.data()), 0);
  ASSERT_EQ(a2->RecordGetNext(nxltNoLock, record.data()), 0);
  EXPECT_EQ(a->TransLink(), a2->TransLink());
  // Alone: in place; the second cursor follows.
  ASSERT_EQ(a->sbcBeginContentLock(true, false, false), 0);
  EXPECT_TRUE(a->TransLink()->Exclusive());
  ASSERT_EQ(a2->sbcBeginContentLock(true, false, false), 0);
  EXPECT_EQ(a->TransLink(), a2->TransLink());
  ASSERT_EQ(db_->TransContext()->TransactionCommit(), 0);

  // Both read, A asks for exclusive and waits; B's upgrade is the deadlock.
  ASSERT_EQ(db_->TransContext()->TransactionStart(false, false), 0);
  ASSERT_EQ(a->RecordGetNext(nxltNoLock, record.data()), 0);
  std::thread other([&] {
    ASSERT_EQ(dbB->TransContext()->TransactionStart(false, false), 0);
    std::vector<std::uint8_t> mine = Record();
    ASSERT_EQ(b->RecordGetNext(nxltNoLock, mine.data()), 0);
  });
  other.join();
  // Conditional: 10249 at once.
  EXPECT_EQ(a->sbcBeginContentLock(true, true, false), nxErrLockTimeout);
  std::promise<TnxResult> waited;
  std::thread upgrader([&] {
    nxSetTimeout(3000, true);
    waited.set_value(a->sbcBeginContentLock(true, false, false));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::thread second([&] {
    nxSetTimeout(300, true);
    EXPECT_EQ(b->sbcBeginContentLock(true, false, false), nxErrDeadlock);
    std::vector<std::uint8_t> mine = Record();
    EXPECT_EQ(b->RecordGetNext(nxltNoLock, mine.data()), nxErrDeadlock);
    EXPECT_EQ(dbB->TransContext()->TransactionCommit(), nxErrDeadlock);
    EXPECT_EQ(dbB->TransContext()->TransactionRollback(), 0);
  });
  second.join();
  upgrader.join();
  EXPECT_EQ(waited.get_future().get(), 0);
  ASSERT_EQ(db_->TransContext()->TransactionRollback(), 0);
}

}  // namespace

namespace {

// Holds each deadlock detector until two have arrived (or a second passed).
std::atomic<int> cursorReadDeadlockArrivals{0};

void cursorReadDeadlockBarrier() {
  cursorReadDeadlockArrivals.fetch_add(1);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (cursorReadDeadlockArrivals.load() < 2 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST_F(CursorReadTest, TwoDeadlocksOnCrossedTablesBothEndWith10255) {
  nxtest::Watchdog watchdog;
  {
    TnxOwned<TnxServerDataDict> dict(nxtest::tableDictionary(true));
    ASSERT_EQ(db_->Folder()->sfTableBuild(false, u"rd2", u"", false, dict.get(), tsPersistent), 0);
  }
  // Detectors 0 and 1 read both tables; 2 upgrades on rd, 3 on rd2.
  struct Party {
    TnxServerDatabase* db;
    TnxServerTableCursor* onA;
    TnxServerTableCursor* onB;
  };
  std::vector<Party> parties;
  for (int i = 0; i < 4; ++i) {
    TnxServerDatabase* db = NewDatabase();
    parties.push_back({db, Open(db, u"ByID", 0), Open(db, u"ByID", 0, omReadWrite, smShared, u"rd2")});
    ASSERT_EQ(db->TransContext()->TransactionStart(false, false), 0);
    ASSERT_EQ(parties.back().onA->sbcBeginContentLock(false, false, false), 0);
    ASSERT_EQ(parties.back().onB->sbcBeginContentLock(false, false, false), 0);
  }
  auto upgrade = [](TnxServerTableCursor* aCursor, std::promise<TnxResult>* aResult) {
    nxSetTimeout(1500, true);
    aResult->set_value(aCursor->sbcBeginContentLock(true, false, false));
  };
  std::promise<TnxResult> pendingA, pendingB, detectA, detectB;
  std::thread waiterA(upgrade, parties[2].onA, &pendingA);
  std::thread waiterB(upgrade, parties[3].onB, &pendingB);
  // Both upgrades are pending before the detectors come.
  auto pending = [](TnxServerTableCursor* aCursor) {
    TnxServerRootTable* root = aCursor->Table()->Root();
    TnxTransLinksGuard guard(root);
    return root->srtTransLinksPendingUpgrade != nullptr;
  };
  for (int i = 0; i < 500 && !(pending(parties[2].onA) && pending(parties[3].onB)); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  cursorReadDeadlockArrivals.store(0);
  nxsrDeadlockTestHook.store(&cursorReadDeadlockBarrier);
  const auto started = std::chrono::steady_clock::now();
  std::thread detectorA(upgrade, parties[0].onA, &detectA);
  std::thread detectorB(upgrade, parties[1].onB, &detectB);
  EXPECT_EQ(detectA.get_future().get(), nxErrDeadlock);
  EXPECT_EQ(detectB.get_future().get(), nxErrDeadlock);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
  EXPECT_EQ(cursorReadDeadlockArrivals.load(), 2);
  detectorA.join();
  detectorB.join();
  nxsrDeadlockTestHook.store(nullptr);
  // The upgraders now wait for each other's shared link (on the other
  // table) and run out of time.
  EXPECT_EQ(pendingA.get_future().get(), nxErrLockTimeout);
  EXPECT_EQ(pendingB.get_future().get(), nxErrLockTimeout);
  waiterA.join();
  waiterB.join();
  for (int i : {0, 1, 3}) ASSERT_EQ(parties[static_cast<std::size_t>(i)].db->TransContext()->TransactionRollback(), 0);
  ASSERT_EQ(parties[2].db->TransContext()->TransactionRollback(), 0);
}

}  // namespace

namespace {

TEST_F(CursorReadTest, DuplicateKeepsPositionRangeIndexAndReadOnly) {
  TnxServerTableCursor* cursor = Open(db_, u"ByGrp");
  std::vector<std::uint8_t> low = Record(), high = Record();
  SetRecord(low, 301);  // group 30
  SetRecord(high, 319);  // group 31
  ASSERT_EQ(cursor->RangeSet(1, 0, false, low.data(), true, 1, 0, false, high.data(), true), 0);
  std::vector<std::uint8_t> record = Record();
  ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), 0);
  ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), 0);
  const std::int32_t current = ID(record);
  TnxAbstractCursor* copied = nullptr;
  ASSERT_EQ(cursor->Duplicate(omReadWrite, copied), 0);
  auto* copy = static_cast<TnxServerTableCursor*>(copied);
  std::int32_t index = -2;
  ASSERT_EQ(copy->GetIndexID(index), 0);
  EXPECT_EQ(index, 1);
  ASSERT_EQ(copy->RecordGet(nxltNoLock, record.data()), 0);
  EXPECT_EQ(ID(record), current);
  TnxResult end = 0;
  const std::vector<std::int32_t> rest = Walk(copy, true, 100, &end);
  EXPECT_EQ(end, nxErrEOF);
  EXPECT_EQ(current, 302);
  EXPECT_EQ(rest, readRange(303, 319));
  TnxServerTableCursor* readOnly = Open(db_, u"ByID", 0, omReadOnly);
  TnxAbstractCursor* readCopy = nullptr;
  ASSERT_EQ(readOnly->Duplicate(omReadWrite, readCopy), 0);
  EXPECT_TRUE(static_cast<TnxServerTableCursor*>(readCopy)->IsReadOnly());
  TnxAbstractCursor* forced = nullptr;
  ASSERT_EQ(readOnly->sbcDuplicate(omReadWrite, forced, true), 0);
  EXPECT_FALSE(static_cast<TnxServerTableCursor*>(forced)->IsReadOnly());
}

TEST_F(CursorReadTest, SnapshotTransactionRefusesExclusiveAndChangeChecks) {
  TnxServerTableCursor* cursor = Open(db_);
  ASSERT_EQ(db_->TransContext()->TransactionStart(false, true), 0);
  std::vector<std::uint8_t> record = Record();
  ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), 0);
  EXPECT_EQ(cursor->sbcBeginContentLock(true, false, false), nxErrTableReadOnly);
  EXPECT_EQ(cursor->sbcCheckTransactionState(), nxErrTableReadOnly);
  ASSERT_EQ(db_->TransContext()->TransactionRollback(), 0);
}

TEST_F(CursorReadTest, TimeoutsOfContentLocks) {
  nxtest::Watchdog watchdog;
  TnxServerDatabase* dbB = NewDatabase();
  TnxServerTableCursor* a = Open(db_);
  TnxServerTableCursor* b = Open(dbB);
  ASSERT_EQ(db_->TransContext()->TransactionStart(false, false), 0);
  ASSERT_EQ(a->sbcBeginContentLock(true, false, false), 0);
  std::thread other([&] {
    ASSERT_EQ(dbB->TransContext()->TransactionStart(false, false), 0);
    for (const std::uint32_t deadline : {5u, 0u}) {
      nxSetTimeout(deadline, true);
      const auto started = std::chrono::steady_clock::now();
      EXPECT_EQ(b->sbcBeginContentLock(false, false, false), nxErrLockTimeout) << deadline;
      EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(50)) << deadline;
    }
    ASSERT_EQ(dbB->TransContext()->TransactionRollback(), 0);
  });
  other.join();
  ASSERT_EQ(db_->TransContext()->TransactionRollback(), 0);
}

TEST_F(CursorReadTest, IndexOnlyOperationsWithoutIndex) {
  TnxServerTableCursor* kids = Open(db_, u"", 0, omReadWrite, smShared, u"rd:Kids");
  std::vector<std::uint8_t> key(64, 0);
  std::int32_t compared = 0;
  EXPECT_EQ(kids->SetToKey(skaEqualFirst, 0, 0, true, key.data()), nxErrNoAssociatedIndex);
  EXPECT_EQ(kids->RecordGetForKey(0, 0, true, key.data(), nullptr, true, true), nxErrNoAssociatedIndex);
  EXPECT_EQ(kids->RangeSet(0, 0, true, key.data(), true, 0, 0, true, key.data(), true), nxErrNoAssociatedIndex);
  EXPECT_EQ(kids->CompareKeys(0, 0, true, key.data(), true, key.data(), compared), nxErrNoAssociatedIndex);
  EXPECT_EQ(kids->SwitchToIndex(u"", -1, porTry), 0);
  EXPECT_EQ(kids->SwitchToIndex(u"", 3, porTry), nxErrNoSuchIndex);
}

// Closing the last cursor on a root tests the tree for inactivity (the
// root's padlock, then its children's) while cursors on a nested table are
// opened and closed on another thread.
TEST_F(CursorReadTest, NestedCursorsComeAndGoWhileTheLastRootCursorCloses) {
  nxtest::Watchdog watchdog(std::chrono::seconds(30));
  TnxAbstractServerObject::Free(cursor_);
  cursor_ = nullptr;
  TnxServerDatabase* nestedDb = NewDatabase();
  TnxServerDatabase* rootDb = NewDatabase();
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  auto churn = [&](TnxServerDatabase* aDb, const nxString& aTable) {
    while (std::chrono::steady_clock::now() < until) {
      TnxServerTableCursor* cursor = Open(aDb, u"", 0, omReadWrite, smShared, aTable);
      ASSERT_NE(cursor, nullptr);
      TnxAbstractServerObject::Free(cursor);
    }
  };
  std::thread nested(churn, nestedDb, u"rd:Kids");
  churn(rootDb, u"rd");
  nested.join();
}

bool rejectKeyOfSeven(void*, const void* aKey) {
  // The ByID key starts with the null flag byte, then the Int32.
  std::int32_t id = 0;
  std::memcpy(&id, static_cast<const std::uint8_t*>(aKey) + 1, 4);
  return id != 7;
}

struct CursorReadKeyFilterAccess : TnxServerTableCursor {
  static void Set(TnxServerBaseCursor* aCursor, TnxBaseFilterEngine* aFilter) {
    aCursor->*(&CursorReadKeyFilterAccess::sbcKeyFilter) = aFilter;
  }
};

TEST_F(CursorReadTest, KeyFilterRejectingTheCurrentKeyGives8709) {
  TnxServerTableCursor* cursor = Open(db_);
  Walk(cursor, true, 7);
  TnxCallbackFilterDescriptor descriptor(nullptr, &rejectKeyOfSeven);
  TnxBaseFilterEngine* filter = platform::create<TnxCallbackFilterEngine>(&descriptor, nullptr);
  filter->SetActive(true);
  CursorReadKeyFilterAccess::Set(cursor, filter);
  EXPECT_EQ(cursor->RecordGet(nxltNoLock, nullptr), nxErrNoCurrentRecord);
  ASSERT_EQ(cursor->SetToBegin(), 0);
  EXPECT_EQ(Walk(cursor, true, 8), (std::vector<std::int32_t>{1, 2, 3, 4, 5, 6, 8, 9}));
}

}  // namespace

namespace {

TEST_F(CursorReadTest, ExclusiveRequestWaitsUntilTheOtherReaderCommits) {
  nxtest::Watchdog watchdog;
  TnxServerDatabase* dbB = NewDatabase();
  TnxServerTableCursor* a = Open(db_);
  TnxServerTableCursor* b = Open(dbB);
  ASSERT_EQ(db_->TransContext()->TransactionStart(false, false), 0);
  ASSERT_EQ(a->sbcBeginContentLock(false, false, false), 0);
  std::promise<void> read, commit;
  std::thread other([&] {
    ASSERT_EQ(dbB->TransContext()->TransactionStart(false, false), 0);
    std::vector<std::uint8_t> mine = Record();
    ASSERT_EQ(b->RecordGetNext(nxltNoLock, mine.data()), 0);
    read.set_value();
    commit.get_future().wait();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(dbB->TransContext()->TransactionCommit(), 0);
  });
  read.get_future().wait();
  commit.set_value();
  nxSetTimeout(3000, true);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(a->sbcBeginContentLock(true, false, false), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(80));
  nxSetTimeout(0, true);
  other.join();
  EXPECT_TRUE(a->TransLink()->Exclusive());
  ASSERT_EQ(db_->TransContext()->TransactionCommit(), 0);
}

}  // namespace

namespace {

// The commit's write on the content portal stands in for a commit held in
// its flush.
TEST_F(CursorReadTest, ReadersWithoutTransactionPassSharedLinksAndWaitForACommitWrite) {
  nxtest::Watchdog watchdog;
  TnxServerDatabase* dbB = NewDatabase();
  TnxServerTableCursor* a = Open(db_);
  TnxServerTableCursor* b = Open(dbB);
  ASSERT_EQ(db_->TransContext()->TransactionStart(false, false), 0);
  ASSERT_EQ(a->sbcBeginContentLock(false, false, false), 0);
  std::vector<std::uint8_t> record = Record();
  std::thread beside([&] {
    std::vector<std::uint8_t> mine = Record();
    EXPECT_EQ(b->RecordGetNext(nxltNoLock, mine.data()), 0);
  });
  beside.join();
  ASSERT_EQ(db_->TransContext()->TransactionCommit(), 0);

  TnxInternalReadWritePortal* portal = a->Table()->Root()->ContentPortal();
  std::promise<void> writing, release;
  std::thread committer([&] {
    portal->BeginWrite();
    writing.set_value();
    release.get_future().wait();
    portal->EndWrite();
  });
  writing.get_future().wait();
  std::promise<std::chrono::steady_clock::time_point> readAt;
  std::thread reader([&] {
    std::vector<std::uint8_t> mine = Record();
    EXPECT_EQ(b->RecordGetNext(nxltNoLock, mine.data()), 0);
    readAt.set_value(std::chrono::steady_clock::now());
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto released = std::chrono::steady_clock::now();
  release.set_value();
  EXPECT_GE(readAt.get_future().get(), released);
  reader.join();
  committer.join();
}

}  // namespace

namespace {

std::atomic<bool> commitInFlush{false};
std::atomic<bool> commitMayFlush{false};

// Holds a commit inside its flush until the test lets it go (at most 10 s).
void holdCommitInFlush() {
  commitInFlush.store(true);
  for (int i = 0; i < 10000 && !commitMayFlush.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// The content portal keeps readers out only while the commit writes; while
// it flushes to disk they read, and see what it committed.
TEST_F(CursorReadTest, ReadersWithoutTransactionReadWhileACommitFlushes) {
  nxtest::Watchdog watchdog;
  TnxServerDatabase* dbB = NewDatabase();
  TnxServerTableCursor* b = Open(dbB);
  auto* context = static_cast<TnxServerTransContext*>(db_->TransContext());
  ASSERT_EQ(context->stcTransactionStart(false, false, false, false, false, true), 0);
  ASSERT_EQ(cursor_->sbcBeginContentLock(true, false, false), 0);
  std::vector<std::uint8_t> record = Record();
  SetRecord(record, 1001);
  TnxRefNr refNr = 0;
  cursor_->Table()->RecordEngine()->AddRecord(context->Transaction(), refNr, record.data());
  ASSERT_EQ(cursor_->Table()->IndicesEngine()->InsertKeys(context->Transaction(), refNr, record.data(), nullptr), 0);

  commitInFlush.store(false);
  commitMayFlush.store(false);
  nxsrCommitFlushTestHook.store(&holdCommitInFlush);
  std::promise<TnxResult> committed;
  std::thread committer([&] { committed.set_value(db_->TransContext()->TransactionCommit()); });
  for (int i = 0; i < 5000 && !commitInFlush.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(commitInFlush.load());

  const std::vector<std::uint8_t> key = IDKey(b, 1001);
  std::promise<TnxResult> read;
  std::thread reader([&] {
    std::vector<std::uint8_t> mine = Record();
    const TnxResult result = b->RecordGetForKey(1, 0, true, key.data(), mine.data(), true, true);
    read.set_value(result == 0 && ID(mine) != 1001 ? -1 : result);
  });
  std::future<TnxResult> readResult = read.get_future();
  EXPECT_EQ(readResult.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_FALSE(commitMayFlush.load());
  commitMayFlush.store(true);
  EXPECT_EQ(readResult.get(), 0);
  EXPECT_EQ(committed.get_future().get(), 0);
  reader.join();
  committer.join();
  nxsrCommitFlushTestHook.store(nullptr);
}

struct CursorReadWriteOnlyAccess : TnxServerTableCursor {
  static void Set(TnxServerBaseCursor* aCursor, bool aWriteOnly, TnxResult aResult, const nxString& aMessage) {
    aCursor->*(&CursorReadWriteOnlyAccess::sbcIsWriteOnly) = aWriteOnly;
    aCursor->*(&CursorReadWriteOnlyAccess::sbcWriteOnlyResult) = aResult;
    aCursor->*(&CursorReadWriteOnlyAccess::sbcWriteOnlyResultMessage) = aMessage;
  }
};

// Every read of a write-only cursor is refused with its code and message;
// without a code each read answers its own not-found code, never success.
TEST_F(CursorReadTest, WriteOnlyCursorRefusesEveryRead) {
  TnxServerTableCursor* cursor = Open(db_);
  Walk(cursor, true, 3);
  const std::vector<std::uint8_t> key = IDKey(cursor, 5);
  std::vector<std::uint8_t> record = Record();
  struct Row {
    const char* name;
    std::function<TnxResult()> read;
    TnxResult notFound;
  };
  const std::vector<Row> rows = {
      {"RecordGet", [&] { return cursor->RecordGet(nxltNoLock, record.data()); }, nxErrNoCurrentRecord},
      {"RecordGet with a lock", [&] { return cursor->RecordGet(nxltWriteLock, record.data()); }, nxErrNoCurrentRecord},
      {"RecordGetNext", [&] { return cursor->RecordGetNext(nxltNoLock, record.data()); }, nxErrEOF},
      {"RecordGetPrior", [&] { return cursor->RecordGetPrior(nxltNoLock, record.data()); }, nxErrBOF},
      {"SetToKey", [&] { return cursor->SetToKey(skaEqualFirst, 1, 0, true, key.data()); }, nxErrRecordNotFound},
      {"RecordGetForKey",
       [&] { return cursor->RecordGetForKey(1, 0, true, key.data(), record.data(), true, true); },
       nxErrRecordNotFound},
  };
  CursorReadWriteOnlyAccess::Set(cursor, true, nxErrInsufficientRights, u"probe: write only");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EnxBaseException::nxSetMessage(0, u"");
    EXPECT_EQ(row.read(), nxErrInsufficientRights);
    EXPECT_EQ(nxtest::pendingMessage(), u"probe: write only");
  }
  CursorReadWriteOnlyAccess::Set(cursor, true, 0, u"");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(row.read(), row.notFound);
  }
  // Reading again once the cursor may read: it stood still.
  CursorReadWriteOnlyAccess::Set(cursor, false, 0, u"");
  ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0);
  EXPECT_EQ(ID(record), 3);
}

struct CursorReadKeyEngineAccess : TnxBaseKeyEngine {
  static void SetNLSVersionChanged(TnxBaseKeyEngine* aEngine, bool aValue) {
    aEngine->*(&CursorReadKeyEngineAccess::bkeNLSVersionChanged) = aValue;
  }
};

// An index whose keys were stored under another collation version cannot be
// switched to; a table with such indices gives read-only cursors.
TEST_F(CursorReadTest, OutdatedCollationKeysRefuseTheIndexAndWriting) {
  TnxServerTableCursor* cursor = Open(db_);
  Walk(cursor, true, 4);
  TnxBaseIndicesEngine* indices = cursor->Table()->IndicesEngine();
  TnxBaseKeyEngine* byGrp = indices->biseGetIndex(1)->bieKeyEngine.get();
  CursorReadKeyEngineAccess::SetNLSVersionChanged(byGrp, true);
  EXPECT_EQ(cursor->SwitchToIndex(u"ByGrp", -1, porTrue), nxErrHigherTableLevel);
  EXPECT_EQ(nxtest::pendingMessage(),
            u"Current NLS version differs from NLS version of stored keys. Table must be packed before index can be "
            u"used");
  EXPECT_EQ(cursor->SwitchToIndex(u"", 1, porFalse), nxErrHigherTableLevel);
  std::int32_t index = -1;
  ASSERT_EQ(cursor->GetIndexID(index), 0);
  EXPECT_EQ(index, 0);
  std::vector<std::uint8_t> record = Record();
  ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), 0);
  EXPECT_EQ(ID(record), 5);
  CursorReadKeyEngineAccess::SetNLSVersionChanged(byGrp, false);

  indices->biseNLSVersionChanged = true;
  TnxServerTableCursor* outdated = Open(db_);
  indices->biseNLSVersionChanged = false;
  EXPECT_TRUE(outdated->IsReadOnly());
  EXPECT_EQ(outdated->AutoIncSet(7), nxErrHigherTableLevel);
  EXPECT_EQ(nxtest::pendingMessage(),
            u"Table contains one or more indices where NLS version of stored keys differs from current NLS version. "
            u"Table must be packed to enable write access");
  ASSERT_EQ(outdated->RecordGetNext(nxltNoLock, record.data()), 0);
  EXPECT_EQ(ID(record), 1);
  EXPECT_FALSE(Open(db_)->IsReadOnly());
}

}  // namespace
