#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "nxllBaseCompressor.h"
#include "nxsdFilterEngineCallback.h"
#include "nxsrServerEngineCursorTestSupport.h"
#include "nxsrTimeoutHandling.h"
#include "nxTestWatchdog.h"
#include "plString.h"

namespace {

// Field numbers of the write tables.
constexpr std::int32_t kID = 0, kName = 1, kAutoInc = 2, kRev = 3;

// "ID" (unique index "ByID"), "Name", an auto-increment "AI" and a record
// revision "Rev"; with aCacheable the table gets its LSN fields, RefNr field
// and graveyard.
TnxServerDataDict* writeDictionary(bool aCacheable = false) {
  TnxServerDataDict* dict = nxtest::tableDictionary(true);
  dict->FieldsDescriptor()->AddField(u"AI", u"", nxtAutoInc, 0, 0, false);
  dict->FieldsDescriptor()->AddField(u"Rev", u"", nxtRecRev, 0, 0, false);
  dict->AddAutoIncDescriptor();
  if (aCacheable) dict->MakeCacheable(true);
  return dict;
}

// The write table with a conditional index "Named" on "Name" that leaves out
// the records whose name is null.
TnxServerDataDict* conditionalIndexDictionary() {
  TnxServerDataDict* dict = writeDictionary();
  TnxIndexDescriptor* index = dict->EnsureIndicesDescriptor()->AddIndex(u"Named", 0, idAll, u"");
  platform::objectAs<TnxCompKeyDescriptor>(index->KeyDescriptor())->Add(kName)->SetNullBehaviour(nbFilterNull);
  return dict;
}

// Where a write table lives.
struct WriteStorage {
  const char16_t* path;
  const char16_t* table;
  TnxTableScope scope;
};

// A full-text engine that counts its calls and fails from call aFailAt on
// (0: never), by code or by exception.
class CountingFulltextEngine : public TnxBaseFulltextCursorEngine {
  PL_CLASS_INFO_DECL()
 public:
  CountingFulltextEngine(TnxAbstractCursor* aCursor, std::int32_t aFailAt, bool aThrow)
      : TnxBaseFulltextCursorEngine(nullptr, aCursor), failAt_(aFailAt), throw_(aThrow) {}
  TnxResult UpdateIndex(TnxBaseTransaction* aTrans, PnxRecordBuffer, TnxRefNr, PnxRecordBuffer, TnxRefNr) override {
    ++calls;
    level = aTrans ? aTrans->TransLevel()->Level() : -1;
    if (failAt_ == 0 || calls < failAt_) return 0;
    if (throw_) throw EnxBaseException(nxErrInvalidParam);
    return nxErrInvalidParam;
  }
  static inline std::int32_t calls = 0;
  // The transaction level of the last call (-1: none).
  static inline std::int32_t level = -1;

 private:
  std::int32_t failAt_;
  bool throw_;
};
PL_CLASS_INFO_IMPL(CountingFulltextEngine, TnxBaseFulltextCursorEngine, "CountingFulltextEngine", nullptr)

bool rejectAll(void*, const void*) { return false; }

// Stores a record as it is, for the cache tables' record compression.
class CursorWritePassCompressor : public TnxBaseCompressor {
  PL_CLASS_INFO_DECL()
};
std::uint32_t passCompress(const void* aSource, void* aTarget, std::uint32_t aSourceSize, std::uint32_t) {
  std::memcpy(aTarget, aSource, aSourceSize);
  return aSourceSize;
}
void passUncompress(const void* aSource, void* aTarget, std::uint32_t aSourceSize, std::uint32_t) {
  std::memcpy(aTarget, aSource, aSourceSize);
}
constexpr TnxCompressorClassFuncs kPassFuncs{&passCompress, &passUncompress};

}  // namespace

PL_CLASS_INFO_IMPL_TABLE(CursorWritePassCompressor, TnxBaseCompressor, "CursorWritePassCompressor", nullptr,
                         platform::bindClassTable(kPassFuncs))

namespace {

// Reaches the cursor's filter fields the way the filter operations fill them.
struct CursorWriteFilterAccess : TnxServerTableCursor {
  static void SetRecordFilter(TnxServerBaseCursor* aCursor, TnxBaseFilterEngine* aFilter) {
    aCursor->*(&CursorWriteFilterAccess::sbcFilter) = aFilter;
  }
  static PnxCacheableInfo CacheableInfo(TnxServerBaseCursor* aCursor) {
    return aCursor->*(&CursorWriteFilterAccess::acCacheableInfo);
  }
  static void SetKeyFilter(TnxServerBaseCursor* aCursor, TnxBaseFilterEngine* aFilter) {
    aCursor->*(&CursorWriteFilterAccess::sbcKeyFilter) = aFilter;
  }
};

class CursorWriteTest : public nxtest::CursorTestBase, public ::testing::WithParamInterface<WriteStorage> {
 protected:
  void SetUp() override {
    table_ = GetParam().table;
    StartEngine(GetParam().path);
  }
  void TearDown() override {
    nxSetTickSource(nullptr);
    CursorTestBase::TearDown();
  }
  TnxServerTableCursor* Build(TnxServerDataDict* aDict, const nxString& aIndex = u"ByID") {
    TnxOwned<TnxServerDataDict> dict(aDict);
    EXPECT_EQ(db_->Folder()->sfTableBuild(false, table_, u"", false, dict.get(), GetParam().scope), 0)
        << platform::toUtf8(nxtest::pendingMessage());
    cursor_ = Open(db_, aIndex);
    return cursor_;
  }
  // A second table name of the same storage.
  nxString OtherTable(const nxString& aSuffix) {
    return GetParam().scope == tsTempGlobal ? u"<wr" + aSuffix + u">" : u"wr" + aSuffix;
  }
  TnxFieldsDescriptor* Fields() { return cursor_->Table()->TableDescriptor()->FieldsDescriptor(); }
  std::vector<std::uint8_t> Make(std::int32_t aID, const char* aName = "x") {
    std::vector<std::uint8_t> record = RecordOf(cursor_);
    Fields()->SetRecordField(kID, record.data(), &aID);
    std::string name(aName);
    std::vector<std::uint8_t> shortString(static_cast<std::size_t>(Fields()->Fields(kName)->fdLength), 0);
    shortString[0] = static_cast<std::uint8_t>(name.size());
    std::memcpy(shortString.data() + 1, name.data(), name.size());
    Fields()->SetRecordField(kName, record.data(), shortString.data());
    return record;
  }
  TnxResult Insert(TnxServerTableCursor* aCursor, std::int32_t aID, const char* aName = "x",
                   TnxLockType aLock = nxltNoLock) {
    std::vector<std::uint8_t> record = Make(aID, aName);
    return aCursor->RecordInsert(aLock, record.data(), nullptr);
  }
  std::int32_t IntField(const std::vector<std::uint8_t>& aRecord, std::int32_t aField, bool* aNull = nullptr) {
    bool isNull = false;
    std::int32_t value = 0;
    Fields()->GetRecordField(aField, aRecord.data(), isNull, &value);
    if (aNull) *aNull = isNull;
    return value;
  }
  std::string Name(const std::vector<std::uint8_t>& aRecord) {
    const std::uint8_t* at = aRecord.data() + Fields()->Fields(kName)->fdOffset;
    return std::string(reinterpret_cast<const char*>(at + 1), at[0]);
  }
  static std::vector<std::int32_t> Walk(TnxServerTableCursor* aCursor) {
    std::vector<std::int32_t> ids;
    std::vector<std::uint8_t> record = RecordOf(aCursor);
    EXPECT_EQ(aCursor->SetToBegin(), 0);
    while (aCursor->RecordGetNext(nxltNoLock, record.data()) == 0) {
      std::int32_t id = 0;
      std::memcpy(&id, record.data() + aCursor->Table()->FieldsDescriptor()->Fields(kID)->fdOffset, 4);
      ids.push_back(id);
    }
    return ids;
  }
  // The IDs by index (or in record order), read through a new cursor.
  std::vector<std::int32_t> Scan(const nxString& aIndex = u"ByID") {
    TnxServerTableCursor* cursor = Open(db_, aIndex);
    if (aIndex.empty()) {
      EXPECT_EQ(cursor->SwitchToIndex(u"", -1, porFalse), 0);
    }
    std::vector<std::int32_t> ids;
    std::vector<std::uint8_t> record = RecordOf(cursor);
    while (cursor->RecordGetNext(nxltNoLock, record.data()) == 0) ids.push_back(IntField(record, kID));
    TnxAbstractServerObject::Free(cursor);
    return ids;
  }
  std::uint32_t RecordCount() {
    std::uint32_t count = 0;
    cursor_->Table()->RecordEngine()->GetRecordCount(nullptr, count);
    return count;
  }
  std::uint32_t KeyCount() {
    std::uint32_t count = 0;
    cursor_->Table()->IndicesEngine()->biseGetIndex(0)->GetKeyCount(nullptr, count);
    return count;
  }
  // Positions aCursor on aID and reads it.
  std::vector<std::uint8_t> Find(TnxServerTableCursor* aCursor, std::int32_t aID) {
    std::vector<std::uint8_t> probe = Make(aID);
    std::vector<std::uint8_t> record = RecordOf(aCursor);
    EXPECT_EQ(aCursor->RecordGetForKey(0, 0, false, probe.data(), record.data(), true, true), 0) << aID;
    return record;
  }
  std::uint32_t AutoIncValue() {
    std::uint32_t value = 0;
    EXPECT_EQ(cursor_->AutoIncGet(value, false), 0);
    return value;
  }

  TnxServerTableCursor* cursor_ = nullptr;
};

// ---- Insert ---------------------------------------------------------------------------

TEST_P(CursorWriteTest, InsertAssignsTheAutoIncAndAKeyViolationGivesItBack) {
  Build(writeDictionary());
  struct Row {
    std::int32_t id;
    std::uint32_t supplied;  // 0: let the table assign
    TnxResult result;
    std::int64_t reported;
    std::uint32_t stored;  // 0: null
    std::uint32_t counter;
  } rows[] = {
      {1, 0, 0, 1, 1, 1},
      {2, 0, 0, 2, 2, 2},
      {1, 0, nxErrKeyViolation, -1, 0, 2},  // duplicate key: field null, counter back
      {3, 77, 0, -1, 77, 2},                // a supplied value stays
  };
  for (const Row& row : rows) {
    std::vector<std::uint8_t> record = Make(row.id);
    if (row.supplied != 0) Fields()->SetRecordField(kAutoInc, record.data(), &row.supplied);
    std::int64_t reported = 12345;
    EXPECT_EQ(cursor_->RecordInsert(nxltNoLock, record.data(), &reported), row.result) << row.id;
    EXPECT_EQ(reported, row.reported) << row.id;
    bool isNull = false;
    const auto stored = static_cast<std::uint32_t>(IntField(record, kAutoInc, &isNull));
    EXPECT_EQ(isNull ? 0u : stored, row.stored) << row.id;
    EXPECT_EQ(AutoIncValue(), row.counter) << row.id;
  }
  EXPECT_EQ(Scan(), (std::vector<std::int32_t>{1, 2, 3}));
  EXPECT_EQ(Scan(u""), (std::vector<std::int32_t>{1, 2, 3}));
}

TEST_P(CursorWriteTest, InsertLeavesTheCursorOnTheNewRecordAndLocksItWhenAsked) {
  Build(writeDictionary());
  ASSERT_EQ(Insert(cursor_, 5), 0);
  ASSERT_EQ(Insert(cursor_, 3, "three", nxltWriteLock), 0);
  std::vector<std::uint8_t> record = RecordOf(cursor_);
  ASSERT_EQ(cursor_->RecordGet(nxltNoLock, record.data()), 0);
  EXPECT_EQ(IntField(record, kID), 3);
  EXPECT_EQ(IntField(record, kRev), 0);
  TnxLockPresent present = lpNotAtAll;
  ASSERT_EQ(cursor_->RecordIsLocked(nxltWriteLock, present), 0);
  EXPECT_EQ(present, lpYesByUs);
  // Another session's change of the locked record is refused.
  TnxServerTableCursor* other = Open(NewDatabase(), u"ByID");
  std::vector<std::uint8_t> found = Find(other, 3);
  EXPECT_EQ(other->RecordModify(found.data(), true, nullptr), nxErrRecordLockFailed);
  EXPECT_EQ(other->RecordDelete(nullptr, 0), nxErrRecordLockedByOther);
}

TEST_P(CursorWriteTest, InsertOrChangeChangesTheRecordWithTheSameUniqueKey) {
  Build(writeDictionary());
  ASSERT_EQ(Insert(cursor_, 5, "first"), 0);
  ASSERT_EQ(Insert(cursor_, 6, "other"), 0);
  ASSERT_EQ(cursor_->OptionSet(u"INSERT_OPTIONS_MODIFYIFFOUND", u"True"), 0);
  std::vector<std::uint8_t> record = Make(5, "second");
  std::int64_t reported = 0;
  ASSERT_EQ(cursor_->RecordInsert(nxltNoLock, record.data(), &reported), 0);
  EXPECT_EQ(reported, -1);
  EXPECT_EQ(RecordCount(), 2u);
  EXPECT_EQ(AutoIncValue(), 2u);
  std::vector<std::uint8_t> stored = Find(cursor_, 5);
  EXPECT_EQ(Name(stored), "second");
  EXPECT_EQ(IntField(stored, kRev), 1);
  // The change writes the caller's auto-increment field as it was given.
  EXPECT_EQ(IntField(stored, kAutoInc), 0);
  // A new key is still a plain insert.
  ASSERT_EQ(Insert(cursor_, 7, "new"), 0);
  EXPECT_EQ(Scan(), (std::vector<std::int32_t>{5, 6, 7}));
  EXPECT_EQ(AutoIncValue(), 3u);
}

TEST_P(CursorWriteTest, LockedInsertOutsideTheViewIsRefusedAndWritesNothing) {
  Build(conditionalIndexDictionary());
  ASSERT_EQ(Insert(cursor_, 15), 0);
  struct Row {
    const char* view;
    const char16_t* index;
    const char* text;
  } rows[] = {
      {"range", u"ByID", " Record outside current range. Record not inserted"},
      {"filter", u"ByID", " Record does not match active filter. Record not inserted"},
      {"key filter", u"ByID", " Record does not match active key filter. Record not inserted"},
      // The record has a null name, which the index leaves out.
      {"conditional index", u"Named", " Record does not match filter on conditional index. Record not inserted"},
  };
  TnxCallbackFilterDescriptor descriptor(nullptr, &rejectAll);
  for (const Row& row : rows) {
    TnxServerTableCursor* cursor = Open(db_, row.index);
    const std::string view = row.view;
    std::vector<std::uint8_t> record = Make(30);
    if (view == "range") {
      std::vector<std::uint8_t> low = Make(10), high = Make(20);
      ASSERT_EQ(cursor->RangeSet(0, 0, false, low.data(), true, 0, 0, false, high.data(), true), 0);
    } else if (view == "conditional index") {
      Fields()->SetRecordFieldNull(kName, record.data(), true);
    } else {
      TnxBaseFilterEngine* filter = platform::create<TnxCallbackFilterEngine>(&descriptor, nullptr);
      filter->SetActive(true);
      if (view == "filter")
        CursorWriteFilterAccess::SetRecordFilter(cursor, filter);
      else
        CursorWriteFilterAccess::SetKeyFilter(cursor, filter);
    }
    EXPECT_EQ(cursor->RecordInsert(nxltWriteLock, record.data(), nullptr), nxErrRecordLockFailed) << row.view;
    EXPECT_EQ(platform::toUtf8(nxtest::pendingMessage()), platform::toUtf8(nxGetOrgPlaceholder()) + row.text);
    // The counter counts only the inserts that stayed.
    EXPECT_EQ(AutoIncValue(), 1u + static_cast<std::uint32_t>(&row - rows)) << row.view;
    // Without a lock type the record may leave the view.
    EXPECT_EQ(Insert(cursor, 40 + static_cast<std::int32_t>(&row - rows)), 0) << row.view;
    TnxAbstractServerObject::Free(cursor);
  }
  EXPECT_EQ(Scan(), (std::vector<std::int32_t>{15, 40, 41, 42, 43}));
  EXPECT_EQ(RecordCount(), 5u);
}

// ---- Modify and delete ------------------------------------------------------------------

TEST_P(CursorWriteTest, ModifyChecksTheRevisionAndTheRefNr) {
  Build(writeDictionary(true));
  ASSERT_EQ(Insert(cursor_, 1, "one"), 0);
  std::vector<std::uint8_t> stored = Find(cursor_, 1);
  const std::int32_t refNrField = cursor_->Table()->SFI()->sfiFields[sftRefNr];
  ASSERT_GE(refNrField, 0);
  struct Row {
    const char* change;
    TnxResult result;
  } rows[] = {
      {"stale revision", nxErrRecordChangedByOther},
      {"changed refnr", nxErrInvalidModifyRequest},
      {"valid", 0},
  };
  for (const Row& row : rows) {
    std::vector<std::uint8_t> changed = Find(cursor_, 1);
    const std::string change = row.change;
    std::vector<std::uint8_t> name = Make(1, "changed");
    std::memcpy(changed.data() + Fields()->Fields(kName)->fdOffset, name.data() + Fields()->Fields(kName)->fdOffset,
                8);
    if (change == "stale revision") {
      const std::int32_t old = 7;
      Fields()->SetRecordField(kRev, changed.data(), &old);
    } else if (change == "changed refnr") {
      const std::uint64_t other = 999;
      Fields()->SetRecordField(refNrField, changed.data(), &other);
    }
    EXPECT_EQ(cursor_->RecordModify(changed.data(), true, nullptr), row.result) << row.change;
    std::vector<std::uint8_t> now = Find(cursor_, 1);
    EXPECT_EQ(Name(now), row.result == 0 ? "changed" : "one") << row.change;
    EXPECT_EQ(IntField(now, kRev), row.result == 0 ? 1 : 0) << row.change;
  }
}

TEST_P(CursorWriteTest, ModifyWithADifferenceNeedsACacheableCursorAndRebuildsTheRecord) {
  Build(writeDictionary());
  ASSERT_EQ(Insert(cursor_, 1), 0);
  std::vector<std::uint8_t> record = Find(cursor_, 1);
  std::vector<std::uint8_t> diff(64, 0);
  TnxRecordDiff difference{diff.data(), nullptr, {nullptr, nullptr}};
  EXPECT_EQ(cursor_->RecordModify(record.data(), true, &difference), nxErrInvalidParam);

  TnxAbstractServerObject::Free(std::exchange(cursor_, nullptr));
  table_ = OtherTable(u"c");
  Build(writeDictionary(true));
  ASSERT_EQ(Insert(cursor_, 1, "one"), 0);
  ASSERT_EQ(Insert(cursor_, 2, "two"), 0);
  std::vector<std::uint8_t> stored = Find(cursor_, 1);
  // A difference carrying only the word that starts the ID field: ID 1 -> 9.
  TnxDiffCompressorInfo* dci = cursor_->DCI();
  ASSERT_NE(dci, nullptr);
  const std::int32_t idOffset = Fields()->Fields(kID)->fdOffset;
  ASSERT_EQ(idOffset % 4, 0);
  std::vector<std::uint8_t> bits(dci->dciBitsLengthByte8s, 0);
  const std::int32_t word = idOffset / 4;
  bits[static_cast<std::size_t>(word / 8)] |= static_cast<std::uint8_t>(1u << (word % 8));
  std::vector<std::uint8_t> data = bits;
  data.insert(data.end(), stored.begin() + idOffset, stored.begin() + idOffset + 4);
  const std::int32_t newID = 9;
  std::memcpy(data.data() + bits.size(), &newID, 4);
  std::vector<std::uint8_t> full = RecordOf(cursor_), target = RecordOf(cursor_);
  TnxRecordDiff cacheDiff{data.data(), full.data(), {nullptr, nullptr}};
  ASSERT_EQ(cursor_->RecordModify(target.data(), true, &cacheDiff), 0) << platform::toUtf8(nxtest::pendingMessage());
  EXPECT_EQ(IntField(full, kID), 9);
  EXPECT_EQ(Name(full), "one");
  EXPECT_EQ(Scan(), (std::vector<std::int32_t>{2, 9}));
  std::vector<std::uint8_t> now = Find(cursor_, 9);
  EXPECT_EQ(Name(now), "one");
  EXPECT_EQ(IntField(now, kRev), 1);
}

TEST_P(CursorWriteTest, ModifyWithReleaseLockDropsALockHeldBeforeTheCall) {
  Build(writeDictionary());
  ASSERT_EQ(Insert(cursor_, 1), 0);
  ASSERT_EQ(Insert(cursor_, 2), 0);
  struct Row {
    bool releaseLock;
    TnxLockPresent after;
  } rows[] = {{true, lpNotAtAll}, {false, lpYesByUs}};
  for (const Row& row : rows) {
    std::vector<std::uint8_t> probe = Make(1);
    std::vector<std::uint8_t> record = RecordOf(cursor_);
    ASSERT_EQ(cursor_->SetToKey(skaEqualFirst, 0, 0, false, probe.data()), 0);
    ASSERT_EQ(cursor_->RecordGetNext(nxltWriteLock, record.data()), 0);
    TnxLockPresent present = lpNotAtAll;
    ASSERT_EQ(cursor_->RecordIsLocked(nxltWriteLock, present), 0);
    ASSERT_EQ(present, lpYesByUs);
    ASSERT_EQ(cursor_->RecordModify(record.data(), row.releaseLock, nullptr), 0);
    ASSERT_EQ(cursor_->RecordIsLocked(nxltWriteLock, present), 0);
    EXPECT_EQ(present, row.after) << row.releaseLock;
    ASSERT_EQ(cursor_->RecordLockRelease(true, false), 0);
  }
}

TEST_P(CursorWriteTest, DeleteComparesTheModifyLSN) {
  Build(writeDictionary(true));
  for (std::int32_t id = 1; id <= 3; ++id) ASSERT_EQ(Insert(cursor_, id), 0);
  const std::int32_t lsnField = cursor_->Table()->SFI()->sfiFields[sftModifyLSN];
  ASSERT_GE(lsnField, 0);
  std::vector<std::uint8_t> stored = Find(cursor_, 2);
  bool isNull = false;
  TnxLSN lsn = 0;
  Fields()->GetRecordField(lsnField, stored.data(), isNull, &lsn);
  ASSERT_NE(lsn, 0u);
  EXPECT_EQ(cursor_->RecordDelete(nullptr, lsn + 1), nxErrNoCurrentRecord);
  EXPECT_EQ(Scan(), (std::vector<std::int32_t>{1, 2, 3}));
  std::vector<std::uint8_t> deleted = RecordOf(cursor_);
  EXPECT_EQ(cursor_->RecordDelete(deleted.data(), lsn), 0);
  EXPECT_EQ(IntField(deleted, kID), 2);
  EXPECT_EQ(Scan(), (std::vector<std::int32_t>{1, 3}));
  EXPECT_EQ(cursor_->RecordDelete(nullptr, 0), 8708);  // on the deleted mark

  // A table without a modify-LSN field.
  TnxAbstractServerObject::Free(std::exchange(cursor_, nullptr));
  table_ = OtherTable(u"p");
  Build(writeDictionary());
  ASSERT_EQ(Insert(cursor_, 1), 0);
  Find(cursor_, 1);
  EXPECT_EQ(cursor_->RecordDelete(nullptr, 5), nxErrNotSupported);
  EXPECT_EQ(cursor_->RecordDelete(nullptr, 0), 0);
  EXPECT_EQ(RecordCount(), 0u);
}

// ---- Graveyard ---------------------------------------------------------------------------

TEST_P(CursorWriteTest, DeletionBuriesTheReferenceAndAReusedReferenceLeavesTheGraveyard) {
  Build(writeDictionary(true));
  for (std::int32_t id = 1; id <= 3; ++id) ASSERT_EQ(Insert(cursor_, id), 0);
  TnxBaseIndicesEngine* internal = cursor_->Table()->InternalIndicesEngine();
  ASSERT_NE(internal, nullptr);
  TnxCacheableInfo* info = CursorWriteFilterAccess::CacheableInfo(cursor_);
  ASSERT_NE(info, nullptr);
  auto graveyardKeys = [&](std::int32_t aIndex) {
    std::uint32_t count = 0;
    internal->biseGetIndex(aIndex)->GetKeyCount(nullptr, count);
    return count;
  };
  Find(cursor_, 2);
  const TnxRefNr buried = cursor_->sacGetRefNr();
  ASSERT_EQ(cursor_->RecordDelete(nullptr, 0), 0);
  EXPECT_EQ(graveyardKeys(info->ciGraveyardLSNIndex), 1u);
  EXPECT_EQ(graveyardKeys(info->ciGraveyardRefNrIndex), 1u);
  // The record engine hands the reference out again.
  ASSERT_EQ(Insert(cursor_, 4), 0);
  ASSERT_EQ(cursor_->sacGetRefNr(), buried);
  EXPECT_EQ(graveyardKeys(info->ciGraveyardLSNIndex), 0u);
  EXPECT_EQ(graveyardKeys(info->ciGraveyardRefNrIndex), 0u);
  EXPECT_EQ(Scan(), (std::vector<std::int32_t>{1, 3, 4}));
}

// ---- Cache cursors ---------------------------------------------------------------------------

TEST_P(CursorWriteTest, InsertOrChangeOnACacheCursorWithTheSameCacheInformationWritesNothing) {
  // A cache keeps the sequential access index.
  TnxServerDataDict* dict = nxtest::tableDictionary();
  platform::objectAs<TnxCompKeyDescriptor>(
      dict->EnsureIndicesDescriptor()->AddIndex(u"ByID", 0, idNone, u"")->KeyDescriptor())
      ->Add(0);
  dict->MakeCacheable(true);
  dict->MakeCache(false);
  ASSERT_EQ(dict->CachingState(), tcsIsCache);
  // The compression type that the cache dictionary names.
  constexpr std::uint8_t kCacheCompressType = 11;
  nxRegisterCompressor(kCacheCompressType, &CursorWritePassCompressor::staticClassInfo());
  struct Unregister {
    ~Unregister() { nxRegisterCompressor(kCacheCompressType, nullptr); }
  } unregister;
  // A cache cursor comes from a cache database, on a folder of its own.
  const bool memory = GetParam().scope == tsTempGlobal;
  const nxString cachePath = memory ? nxString(u"#cache") : nxString(u"/data/cache");
  if (!memory) fixture_.Fs().makeDirectory("/data/cache");
  TnxAbstractDatabase* cacheDb = nullptr;
  ASSERT_EQ(sessions_.front()->DatabaseCacheOpen(cacheDb, u"Path", cachePath, nullptr, omReadWrite, smShared, 0), 0);
  {
    TnxOwned<TnxServerDataDict> owned(dict);
    ASSERT_EQ(static_cast<TnxServerDatabase*>(cacheDb)->Folder()->sfTableBuild(false, table_, u"", false, owned.get(),
                                                                               GetParam().scope),
              0)
        << platform::toUtf8(nxtest::pendingMessage());
  }
  TnxAbstractCursor* opened = nullptr;
  // The cache's unique index: its key is the record's reference.
  ASSERT_EQ(cacheDb->CursorCacheOpen(opened, table_, u"", omReadWrite, smShared, 0, u"Sequential Access Index", -1,
                                     false, {}, 500),
            0)
      << platform::toUtf8(nxtest::pendingMessage());
  cursor_ = static_cast<TnxServerTableCursor*>(opened);
  TnxSpecialFieldsInfo* sfi = cursor_->Table()->SFI();
  const std::int32_t refNrField = sfi->sfiFields[sftRefNr], lsnField = sfi->sfiFields[sftModifyLSN];
  ASSERT_GE(refNrField, 0);
  ASSERT_GE(lsnField, 0);
  auto cached = [&](std::int32_t aID, const char* aName, TnxLSN aLSN) {
    std::vector<std::uint8_t> record = Make(aID, aName);
    const TnxRefNr refNr = 1000 + static_cast<TnxRefNr>(aID);
    Fields()->SetRecordField(refNrField, record.data(), &refNr);
    Fields()->SetRecordField(lsnField, record.data(), &aLSN);
    return record;
  };
  std::vector<std::uint8_t> first = cached(1, "first", 5);
  ASSERT_EQ(cursor_->RecordInsert(nxltNoLock, first.data(), nullptr), 0) << platform::toUtf8(nxtest::pendingMessage());
  ASSERT_EQ(cursor_->OptionSet(u"INSERT_OPTIONS_MODIFYIFFOUND", u"True"), 0);
  ASSERT_NE(cursor_->IndexEngine(), nullptr);
  struct Row {
    const char* name;
    TnxLSN lsn;
    const char* stored;
  } rows[] = {{"same info", 5, "first"}, {"newer", 6, "newer"}};
  for (const Row& row : rows) {
    std::vector<std::uint8_t> again = cached(1, row.name, row.lsn);
    EXPECT_EQ(cursor_->RecordInsert(nxltNoLock, again.data(), nullptr), 0) << row.name;
    EXPECT_EQ(RecordCount(), 1u) << row.name;
    std::vector<std::uint8_t> stored = RecordOf(cursor_);
    ASSERT_EQ(cursor_->SetToBegin(), 0);
    ASSERT_EQ(cursor_->RecordGetNext(nxltNoLock, stored.data()), 0);
    EXPECT_EQ(Name(stored), row.stored) << row.name;
  }
}

// ---- Implicit transactions -----------------------------------------------------------------

TEST_P(CursorWriteTest, AutocommitInsertsCommitOneByOne) {
  Build(writeDictionary());
  TnxServerTableCursor* reader = Open(NewDatabase(), u"ByID");
  for (std::int32_t id = 1; id <= 3; ++id) {
    ASSERT_EQ(Insert(cursor_, id), 0);
    EXPECT_EQ(cursor_->GetActiveTrans(), nullptr);
    // Another session sees each record at once.
    EXPECT_EQ(Walk(reader).size(), static_cast<std::size_t>(id));
  }
}

TEST_P(CursorWriteTest, UserTransactionGetsNoImplicitLevelUnlessNestedLevelsAreAsked) {
  Build(writeDictionary());
  ASSERT_EQ(Insert(cursor_, 100), 0);
  struct Row {
    bool nested;
  } rows[] = {{false}, {true}};
  for (const Row& row : rows) {
    TnxServerTableCursor* cursor = Open(db_, u"ByID");
    if (row.nested) cursor->RequestNestedTransactions();
    ASSERT_EQ(db_->TransactionStart(false, false), 0);
    auto* context = static_cast<TnxServerTransContext*>(db_->TransContext());
    TnxBaseTransaction* trans = context->Transaction();
    // The full-text step sees the level the change runs in.
    cursor->SetFulltextEngine(platform::create<CountingFulltextEngine>(cursor, 0, false));
    for (std::int32_t id = 1; id <= 2; ++id) {
      CountingFulltextEngine::level = -1;
      ASSERT_EQ(Insert(cursor, id), 0);
      EXPECT_EQ(CountingFulltextEngine::level, row.nested ? 1 : 0) << row.nested;
      EXPECT_EQ(trans->TransLevel()->Level(), 0) << row.nested;
    }
    std::vector<std::uint8_t> found = Find(cursor, 100);
    ASSERT_EQ(cursor->RecordDelete(nullptr, 0), 0);
    EXPECT_EQ(Scan(), (std::vector<std::int32_t>{1, 2})) << row.nested;
    ASSERT_EQ(db_->TransactionRollback(), 0);
    EXPECT_EQ(Scan(), (std::vector<std::int32_t>{100})) << row.nested;
    TnxAbstractServerObject::Free(cursor);
  }
}

// ---- Two sessions on two threads -----------------------------------------------------------

TEST_P(CursorWriteTest, TwoSessionsInsertAndModifyInsideTransactionsOnThreads) {
  Build(writeDictionary());
  constexpr std::int32_t kRounds = 15, kPerRound = 4;
  TnxServerDatabase* dbs[2] = {NewDatabase(), NewDatabase()};
  TnxServerTableCursor* cursors[2] = {Open(dbs[0], u"ByID", 2000), Open(dbs[1], u"ByID", 2000)};
  std::int32_t committed[2] = {0, 0}, timedOut[2] = {0, 0};
  nxtest::runThreads(2, [&](int aIndex) {
    TnxServerDatabase* db = dbs[aIndex];
    TnxServerTableCursor* cursor = cursors[aIndex];
    for (std::int32_t round = 0; round < kRounds; ++round) {
      ASSERT_EQ(db->TransactionStart(false, false), 0);
      const std::int32_t base = aIndex * 10000 + round * 10;
      TnxResult result = 0;
      for (std::int32_t k = 0; k < kPerRound && result == 0; ++k) result = Insert(cursor, base + k, "new");
      if (result == 0) {
        std::vector<std::uint8_t> record = Find(cursor, base);
        std::vector<std::uint8_t> name = Make(base, "changed");
        const std::int32_t at = Fields()->Fields(kName)->fdOffset;
        std::memcpy(record.data() + at, name.data() + at, 8);
        result = cursor->RecordModify(record.data(), true, nullptr);
      }
      if (result == 0) {
        ASSERT_EQ(db->TransactionCommit(), 0);
        committed[aIndex] += kPerRound;
      } else {
        // Only a content lock that was not granted in time may refuse.
        EXPECT_EQ(result, nxErrLockTimeout) << aIndex << " " << round;
        ASSERT_EQ(db->TransactionRollback(), 0);
        ++timedOut[aIndex];
      }
    }
  });
  const std::vector<std::int32_t> ids = Scan();
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(committed[0] + committed[1]))
      << timedOut[0] << " " << timedOut[1];
  EXPECT_EQ(Scan(u"").size(), ids.size());
  EXPECT_EQ(RecordCount(), ids.size());
  EXPECT_EQ(KeyCount(), ids.size());
  EXPECT_GT(committed[0] + committed[1], 0);
  // Every committed round carries its change.
  for (std::int32_t id : ids) {
    if (id % 10 == 0) {
      EXPECT_EQ(Name(Find(cursor_, id)), "changed") << id;
    }
  }
}

// ---- Faults ----------------------------------------------------------------------------------

TEST_P(CursorWriteTest, FulltextFailureInsideAUserTransactionLeavesNoKeyBehind) {
  Build(writeDictionary());
  struct Row {
    bool modify;
    bool throws;
  } rows[] = {{false, false}, {false, true}, {true, false}, {true, true}};
  std::int32_t round = 0;
  for (const Row& row : rows) {
    const std::int32_t base = 10 * ++round;
    ASSERT_EQ(db_->TransactionStart(false, false), 0);
    for (std::int32_t id = base + 1; id <= base + 3; ++id) ASSERT_EQ(Insert(cursor_, id), 0);
    CountingFulltextEngine::calls = 0;
    cursor_->SetFulltextEngine(platform::create<CountingFulltextEngine>(cursor_, 1, row.throws));
    TnxResult result = 0;
    if (row.modify) {
      std::vector<std::uint8_t> record = Find(cursor_, base + 2);
      Fields()->SetRecordField(kID, record.data(), &base);  // a new key
      result = cursor_->RecordModify(record.data(), true, nullptr);
    } else {
      result = Insert(cursor_, base + 4);
    }
    EXPECT_EQ(result, nxErrInvalidParam) << row.modify << row.throws;
    cursor_->SetFulltextEngine(nullptr);
    ASSERT_EQ(db_->TransactionCommit(), 0) << row.modify << row.throws;
    const std::vector<std::int32_t> ids = Scan();
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(3 * round)) << row.modify << row.throws;
    EXPECT_EQ(KeyCount(), RecordCount()) << row.modify << row.throws;
    EXPECT_EQ(Scan(u"").size(), ids.size());
    std::vector<std::uint8_t> kept = Find(cursor_, base + 2);
    EXPECT_EQ(IntField(kept, kID), base + 2);
  }
}

TEST_P(CursorWriteTest, GraveyardFailureAfterTheKeysLeavesNoKeyBehind) {
  Build(writeDictionary(true));
  TnxBaseIndicesEngine* internal = cursor_->Table()->InternalIndicesEngine();
  ASSERT_NE(internal, nullptr);
  TnxCacheableInfo* info = CursorWriteFilterAccess::CacheableInfo(cursor_);
  ASSERT_NE(info, nullptr);
  TnxBaseIndexEngine* refNrIndex = internal->biseGetIndex(info->ciGraveyardRefNrIndex);
  TnxBaseIndexEngine* lsnIndex = internal->biseGetIndex(info->ciGraveyardLSNIndex);
  // The undo by hand inside the caller's transaction, and the rollback of
  // the implicit one.
  const bool inUserTransaction[] = {true, false};
  std::int32_t round = 0;
  for (const bool user : inUserTransaction) {
    const std::int32_t base = 10 * ++round;
    for (std::int32_t id = base + 1; id <= base + 2; ++id) ASSERT_EQ(Insert(cursor_, id), 0);
    Find(cursor_, base + 1);
    const TnxRefNr buried = cursor_->sacGetRefNr();
    ASSERT_EQ(cursor_->RecordDelete(nullptr, 0), 0);
    // A graveyard that keeps the reference but lost its LSN refuses to give
    // the reference back when the record engine hands it out again.
    ASSERT_EQ(db_->TransactionStart(false, false), 0);
    TnxBaseTransaction* trans = cursor_->GetActiveTrans();
    TnxBaseIndexPath* refNrPath = refNrIndex->CreateIndexPath();
    TnxBaseIndexPath* lsnPath = lsnIndex->CreateIndexPath();
    std::int64_t refKey = static_cast<std::int64_t>(buried);
    ASSERT_TRUE(refNrIndex->FindKey(trans, &refKey, 0, 0, 0, refNrPath, skaAnyEqual, nullptr));
    std::int64_t lsnKey = static_cast<std::int64_t>(refNrPath->RefNr);
    EXPECT_TRUE(lsnIndex->DeleteKey(trans, &lsnKey, buried, 0, lsnPath));
    nxFreeAndNil(refNrPath);
    nxFreeAndNil(lsnPath);
    if (!user) {
      ASSERT_EQ(db_->TransactionCommit(), 0);
    }

    EXPECT_EQ(Insert(cursor_, base + 3), nxErrTransactionCorrupt) << user;
    EXPECT_EQ(platform::toUtf8(nxtest::pendingMessage()),
              "The graveyard is corrupted. Could not remove previously deleted RefNr and LSN from graveyard.");
    if (user) {
      ASSERT_EQ(db_->TransactionCommit(), 0);
    }
    const std::vector<std::int32_t> ids = Scan();
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(round)) << user;
    EXPECT_EQ(KeyCount(), RecordCount()) << user;
    EXPECT_EQ(Scan(u"").size(), ids.size()) << user;
    EXPECT_EQ(IntField(Find(cursor_, base + 2), kID), base + 2);
  }
  EXPECT_EQ(Scan(), (std::vector<std::int32_t>{12, 22}));
}

// A batch stream of the BLOB table: per record its ID and a BLOB (empty
// text: null), entries back to back, BLOB blocks after the entries.
std::vector<std::uint8_t> batchStream(TnxFieldsDescriptor* aFields, const std::vector<std::string>& aBlobs) {
  const auto length = static_cast<std::size_t>(aFields->RecordLength());
  std::vector<std::uint8_t> stream(8, 0);
  const auto count = static_cast<std::uint32_t>(aBlobs.size());
  std::memcpy(stream.data() + 4, &count, 4);
  std::size_t blobAt = 8 + aBlobs.size() * (4 + length);
  std::vector<std::uint8_t> blocks;
  for (std::size_t i = 0; i < aBlobs.size(); ++i) {
    std::vector<std::uint8_t> record(length + 16, 0);
    const auto id = static_cast<std::int32_t>(i + 1);
    aFields->SetRecordField(0, record.data(), &id);
    if (!aBlobs[i].empty()) {
      const std::uint64_t offset = blobAt + blocks.size();
      aFields->SetRecordField(2, record.data(), &offset);
      const auto size = static_cast<std::uint32_t>(aBlobs[i].size());
      blocks.insert(blocks.end(), reinterpret_cast<const std::uint8_t*>(&size),
                    reinterpret_cast<const std::uint8_t*>(&size) + 4);
      blocks.insert(blocks.end(), aBlobs[i].begin(), aBlobs[i].end());
    }
    const auto entrySize = static_cast<std::uint32_t>(length);
    stream.insert(stream.end(), reinterpret_cast<const std::uint8_t*>(&entrySize),
                  reinterpret_cast<const std::uint8_t*>(&entrySize) + 4);
    stream.insert(stream.end(), record.begin(), record.begin() + static_cast<std::ptrdiff_t>(length));
  }
  stream.insert(stream.end(), blocks.begin(), blocks.end());
  return stream;
}

TEST_P(CursorWriteTest, BatchStreamsThatReachOutsideThemselvesAreRefused) {
  Build(nxtest::tableDictionary(true, true));
  const std::size_t length = static_cast<std::size_t>(Fields()->RecordLength());
  const std::size_t firstEntry = 8, secondEntry = 8 + 4 + length;
  const std::size_t blobField = static_cast<std::size_t>(Fields()->Fields(2)->fdOffset);
  auto putU32 = [](std::vector<std::uint8_t>& aStream, std::size_t aAt, std::uint32_t aValue) {
    std::memcpy(aStream.data() + aAt, &aValue, 4);
  };
  struct Row {
    const char* corruption;
    std::function<void(std::vector<std::uint8_t>&)> apply;
  } rows[] = {
      {"count too high", [&](auto& s) { putU32(s, 4, 3); }},
      {"negative count", [&](auto& s) { putU32(s, 4, 0x80000000u); }},
      {"entry size short", [&](auto& s) { putU32(s, firstEntry, static_cast<std::uint32_t>(length - 1)); }},
      {"entry past the end", [&](auto& s) { putU32(s, secondEntry, static_cast<std::uint32_t>(s.size())); }},
      {"blob offset past the end",
       [&](auto& s) { putU32(s, secondEntry + 4 + blobField, static_cast<std::uint32_t>(s.size() - 2)); }},
      {"blob length past the end",
       [&](auto& s) {
         std::uint64_t offset = 0;
         std::memcpy(&offset, s.data() + secondEntry + 4 + blobField, 8);
         putU32(s, static_cast<std::size_t>(offset), 1000);
       }},
      {"header cut", [&](auto& s) { s.resize(6); }},
  };
  for (const Row& row : rows) {
    std::vector<std::uint8_t> bytes = batchStream(Fields(), {"first blob", "second"});
    row.apply(bytes);
    TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
    stream->Write(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    EXPECT_EQ(cursor_->RecordInsertBatch(stream.get()), nxErrInvalidParam) << row.corruption;
    EXPECT_EQ(RecordCount(), 0u) << row.corruption;
  }
  std::vector<std::uint8_t> bytes = batchStream(Fields(), {"first blob", ""});
  TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
  stream->Write(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  ASSERT_EQ(cursor_->RecordInsertBatch(stream.get()), 0);
  EXPECT_EQ(Scan(), (std::vector<std::int32_t>{1, 2}));
  std::vector<std::uint8_t> first = Find(cursor_, 1), second = Find(cursor_, 2);
  EXPECT_FALSE(Fields()->IsRecordFieldNull(2, first.data()));
  EXPECT_TRUE(Fields()->IsRecordFieldNull(2, second.data()));
  TnxBlobNr blobNr = 0;
  std::memcpy(&blobNr, first.data() + blobField, 8);
  TnxOwned<TnxMemoryStream> content(platform::create<TnxMemoryStream>());
  EXPECT_EQ(cursor_->Table()->BlobEngine()->Read(nullptr, blobNr, 0, 10, {}, *content), 0u);
  ASSERT_EQ(content->Size(), 10);
  EXPECT_EQ(std::string(static_cast<const char*>(content->Memory()), 10), "first blob");
}

// The clock read by each deadline check, with the number of records the
// batch has inserted by then (full-text calls).
std::vector<std::int32_t>& checkedAt() {
  static std::vector<std::int32_t> values;
  return values;
}
std::uint64_t recordingClock() {
  checkedAt().push_back(CountingFulltextEngine::calls);
  return 1000;
}

TEST_P(CursorWriteTest, BatchOf250ChecksTheDeadlineAfterThe50th150thAnd250thRecord) {
  Build(nxtest::tableDictionary(true));
  cursor_->SetFulltextEngine(platform::create<CountingFulltextEngine>(cursor_, 0, false));
  CountingFulltextEngine::calls = 0;
  std::vector<std::uint8_t> bytes = batchStream(Fields(), std::vector<std::string>(250));
  TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
  stream->Write(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  checkedAt().clear();
  nxSetTickSource(&recordingClock);
  nxSetTimeout(100000, true);
  ASSERT_EQ(cursor_->sbcRecordInsertBatch(stream.get()), 0);
  nxSetTickSource(nullptr);
  nxSetTimeout(0, true);
  std::vector<std::int32_t> checks;
  for (std::int32_t at : checkedAt())
    if (at > 0 && (checks.empty() || checks.back() != at)) checks.push_back(at);
  EXPECT_EQ(checks, (std::vector<std::int32_t>{50, 150, 250}));
  EXPECT_EQ(RecordCount(), 250u);
}

INSTANTIATE_TEST_SUITE_P(Storage, CursorWriteTest,
                         ::testing::Values(WriteStorage{u"/data/db", u"wr", tsPersistent},
                                           WriteStorage{u"#mem", u"<wr>", tsTempGlobal}),
                         [](const ::testing::TestParamInfo<WriteStorage>& aInfo) {
                           return aInfo.param.scope == tsPersistent ? std::string("OnDisk")
                                                                    : std::string("InMemory");
                         });

}  // namespace
