// The mapping cursor with the test handler over cursors of the fake engine:
// the outer layout has "ID", "Name" (mapped by name) and the computed
// "Twice" (= 2 * ID); the inner table adds "Note", which the outer layout
// lacks.
#include <gtest/gtest.h>

#include <functional>
#include <cstring>
#include <memory>
#include <string>

#include "nxFakeTables.h"
#include "nxTestMappingHandler.h"
#include "nxllBde.h"
#include "nxllUtils.h"
#include "nxsdDataDictionaryFields.h"
#include "nxsdFilterEngineCallback.h"
#include "nxsdServerEngineBatchStream.h"
#include "nxsrServerCursorMapping.h"
#include "nxsrServerEngine.h"
#include "nxsrServerEngineTableTestSupport.h"
#include "nxsrTimeoutHandling.h"

namespace {

using nxfake::Values;

enum IndexSetup { RefNrAndName, DefaultNeedsNote, OnlyNote, NoIndex };

class MappingCursorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nxsrServerEngineInitialize();
    nxSetTimeout(0, true);
    fake_ = std::make_unique<nxfake::FakeDatabase>();
  }
  void TearDown() override {
    fake_.reset();
    nxsrServerEngineFinalize();
  }

  // The inner table "base" with the indices of aSetup, three records.
  void Build(IndexSetup aSetup) {
    fake_->AddTable(u"base", {{u"ID", nxtInt32, 0}, {u"Name", nxtNullString, 20}, {u"Note", nxtNullString, 20}},
                    [&](TnxDataDictionary& aDict) {
                      if (aSetup == NoIndex) {
                        aDict.RemoveIndicesDescriptor();
                        return;
                      }
                      TnxMainIndicesDescriptor* indices = aDict.EnsureIndicesDescriptor();
                      auto comp = [&](const char16_t* aName, std::int32_t aField) {
                        TnxIndexDescriptor* index = indices->AddIndex(aName, 0, idAll, u"");
                        platform::objectAs<TnxCompKeyDescriptor>(index->KeyDescriptor())->Add(aField);
                      };
                      // Numbering as listed below: no sequential-access index.
                      indices->RemoveIndex(u"Sequential Access Index");
                      if (aSetup == RefNrAndName) {
                        comp(u"ByNote", 2);
                        indices->AddIndex(u"ByRef", 0, idNone, u"", &TnxRefKeyDescriptor::staticClassInfo());
                        comp(u"ByName", 1);
                      } else if (aSetup == DefaultNeedsNote) {
                        comp(u"ByNote", 2);
                        comp(u"ByName", 1);
                        comp(u"ByID", 0);
                        indices->SetDefaultIndex(0);
                      } else {
                        comp(u"ByNote", 2);
                      }
                    });
    inner_ = fake_->Open(u"base");
    nxfake::Insert(inner_, {{u"ID", 1}, {u"Name", u"one"}, {u"Note", u"n1"}});
    nxfake::Insert(inner_, {{u"ID", 2}, {u"Name", u"two"}, {u"Note", u"n2"}});
    nxfake::Insert(inner_, {{u"ID", 3}, {u"Name", u"three"}, {u"Note", u"n3"}});
  }

  TnxServerMappingCursor* Map() {
    TnxOwned<TnxDataDictionary> outer(platform::create<TnxDataDictionary>());
    outer->FieldsDescriptor()->AddField(u"Name", u"", nxtNullString, 20, 0, false);
    outer->FieldsDescriptor()->AddField(u"Twice", u"", nxtInt32, 0, 0, false);
    outer->FieldsDescriptor()->AddField(u"ID", u"", nxtInt32, 0, 0, false);
    auto* handler = platform::create<nxtest::TestMappingHandler>(
        outer.release(), inner_->FieldsDescriptor(), u"Twice",
        [](TnxFieldsDescriptor* aInner, const void* aRecord) {
          return platform::Variant(std::int32_t(aInner->fsdGetFieldByIndexAsVariant(aRecord, 0).toInt64() * 2));
        });
    handler_ = handler;
    return platform::create<TnxServerMappingCursor>(inner_, handler);
  }

  // Every record of aCursor as "Name/Twice/ID".
  static std::vector<std::string> Rows(TnxAbstractCursor* aCursor) {
    std::vector<std::string> rows;
    nxfake::Record record(aCursor);
    EXPECT_EQ(aCursor->SetToBegin(), 0);
    while (rows.size() < 100 && aCursor->RecordGetNext(nxltNoLock, record.data()) == 0)
      rows.push_back(platform::toUtf8(record.Get(u"Name").toString()) + "/" +
                     platform::toUtf8(record.Get(u"Twice").toString()) + "/" +
                     platform::toUtf8(record.Get(u"ID").toString()));
    return rows;
  }

  std::unique_ptr<nxfake::FakeDatabase> fake_;
  TnxFakeCursor* inner_ = nullptr;
  nxtest::TestMappingHandler* handler_ = nullptr;
};

TEST_F(MappingCursorTest, ChoosesTheInnerIndexByTheThreeRules) {
  struct Case {
    const char* name;
    IndexSetup setup;
    std::int32_t innerIndex;  // chosen; -1 none
  } cases[] = {
      {"reference-number key first", RefNrAndName, 1},
      {"default index lacks a mapped field: first fully mapped", DefaultNeedsNote, 1},
      {"no index maps out", OnlyNote, -1},
      {"no indices", NoIndex, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake_ = std::make_unique<nxfake::FakeDatabase>();
    Build(c.setup);
    TnxServerMappingCursor* mapping = Map();
    EXPECT_EQ(mapping->InnerIndexID(), c.innerIndex);
    std::int32_t outer = 99;
    ASSERT_EQ(mapping->GetIndexID(outer), 0);
    if (c.innerIndex >= 0) {
      EXPECT_EQ(outer, 0);
      // The outer layout has exactly the chosen index, renumbered to its fields.
      TnxMainIndicesDescriptor* indices = mapping->GetTableDescriptor()->IndicesDescriptor();
      ASSERT_NE(indices, nullptr);
      EXPECT_EQ(indices->IndexCount(), 1);
      EXPECT_EQ(indices->Indices(0)->FileNumber(), 0);
      std::int32_t innerNow = -5;
      ASSERT_EQ(inner_->GetIndexID(innerNow), 0);
      EXPECT_EQ(innerNow, c.innerIndex);
    } else {
      EXPECT_LT(outer, 0);
      EXPECT_EQ(mapping->GetTableDescriptor()->IndicesDescriptor(), nullptr);
    }
    TnxAbstractServerObject::Free(mapping);
  }
}

TEST_F(MappingCursorTest, ActiveInnerIndexStaysChosen) {
  Build(RefNrAndName);
  // Rule 1 would choose ByRef.
  ASSERT_EQ(inner_->SwitchToIndex(u"ByName", -1, porFalse), 0);
  TnxServerMappingCursor* mapping = Map();
  EXPECT_EQ(mapping->InnerIndexID(), 2);
  TnxAbstractServerObject::Free(mapping);
}

TEST_F(MappingCursorTest, ReadsOuterRecordsWithTheComputedColumn) {
  Build(NoIndex);
  TnxServerMappingCursor* mapping = Map();
  EXPECT_EQ(Rows(mapping), (std::vector<std::string>{"one/2/1", "two/4/2", "three/6/3"}));
  TnxAbstractServerObject::Free(mapping);
}

TEST_F(MappingCursorTest, InsertLeavesUnmappedFieldsNullAndModifyKeepsThem) {
  Build(NoIndex);
  TnxServerMappingCursor* mapping = Map();
  nxfake::Record record(mapping, {{u"ID", 4}, {u"Name", u"four"}, {u"Twice", 99}});
  ASSERT_EQ(mapping->RecordInsert(nxltNoLock, record.data(), nullptr), 0);
  EXPECT_EQ(nxfake::Column(inner_, u"Note"), (std::vector<std::string>{"n1", "n2", "n3", "NULL"}));
  EXPECT_EQ(nxfake::Column(inner_, u"ID"), (std::vector<std::string>{"1", "2", "3", "4"}));

  ASSERT_EQ(mapping->SetToBegin(), 0);
  nxfake::Record current(mapping);
  ASSERT_EQ(mapping->RecordGetNext(nxltNoLock, current.data()), 0);
  current.Set(u"Name", u"uno");
  ASSERT_EQ(mapping->RecordModify(current.data(), false, nullptr), 0);
  EXPECT_EQ(nxfake::Column(inner_, u"Name"), (std::vector<std::string>{"uno", "two", "three", "four"}));
  EXPECT_EQ(nxfake::Column(inner_, u"Note"), (std::vector<std::string>{"n1", "n2", "n3", "NULL"}));

  // A failing translation is the result; the inner table is untouched.
  handler_->mapInResult = nxErrInvalidParam;
  nxfake::Record fifth(mapping, {{u"ID", 5}, {u"Name", u"five"}});
  EXPECT_EQ(mapping->RecordInsert(nxltNoLock, fifth.data(), nullptr), nxErrInvalidParam);
  EXPECT_EQ(nxfake::Column(inner_, u"ID").size(), 4u);
  TnxAbstractServerObject::Free(mapping);
}

TEST_F(MappingCursorTest, ModifyWithRecordDifferenceIsInvalid) {
  Build(NoIndex);
  TnxServerMappingCursor* mapping = Map();
  nxfake::Record current(mapping);
  ASSERT_EQ(mapping->SetToBegin(), 0);
  ASSERT_EQ(mapping->RecordGetNext(nxltNoLock, current.data()), 0);
  std::uint8_t diff[64] = {};
  EXPECT_EQ(mapping->sbcRecordModify(current.data(), false, reinterpret_cast<PnxRecordDiff>(diff)), nxErrInvalidParam);
  TnxAbstractServerObject::Free(mapping);
}

TEST_F(MappingCursorTest, KeyOperationsAreRefusedWithTheirNames) {
  Build(RefNrAndName);
  TnxServerMappingCursor* mapping = Map();
  std::uint8_t key[64] = {};
  TnxAbstractCursor* copy = nullptr;
  std::int32_t compared = 0;
  struct Case {
    const char* operation;
    std::function<TnxResult()> call;
  } cases[] = {
      {"sbcRangeSet", [&] { return mapping->sbcRangeSet(1, 0, true, key, true, 1, 0, true, key, true); }},
      {"sbcSetToKey", [&] { return mapping->sbcSetToKey(skaAnyEqual, 1, 0, true, key); }},
      {"sbcRecordGetForKey", [&] { return mapping->sbcRecordGetForKey(1, 0, true, key, nullptr, true, true); }},
      {"sbcCopyRecords", [&] { return mapping->sbcCopyRecords(inner_, nxbcmNoCopy, 0, false); }},
      {"sbcDuplicate", [&] { return mapping->sbcDuplicate(omReadOnly, copy, false); }},
      {"sbcRecordInsertBatch", [&] { return mapping->sbcRecordInsertBatch(nullptr); }},
      {"sbcCompareKeys", [&] { return mapping->sbcCompareKeys(1, 0, true, key, true, key, compared); }},
      {"sbcSwitchToIndex", [&] { return mapping->sbcSwitchToIndex(u"ByName", 2, porFalse); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.operation);
    EXPECT_EQ(c.call(), nxErrNotSupported);
    EXPECT_EQ(platform::toUtf8(nxtest::pendingMessage()),
              std::string(c.operation) + " is not supported by TnxServerMappingCursor");
  }
  EXPECT_EQ(copy, nullptr);
  EXPECT_EQ(mapping->RangeReset(), 0);
  EXPECT_EQ(mapping->SwitchToIndex(u"", 2, porFalse), 0);
  EXPECT_EQ(mapping->SwitchToIndex(u"ByName", -1, porFalse), 0);
  std::int32_t index = -1;
  ASSERT_EQ(inner_->GetIndexID(index), 0);
  EXPECT_EQ(index, 1);
  TnxAbstractServerObject::Free(mapping);
}

// A fake cursor that notes the field number of every BLOB call.
class FieldNotingCursor : public TnxFakeCursor {
 public:
  using TnxFakeCursor::TnxFakeCursor;
  TnxResult sbcBlobRead(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                        std::uint32_t aLen, TStream& aStream, bool aReadOrg, PnxNewBlobNr aNewBlobNr) override {
    fields.push_back(aFieldNo);
    return TnxFakeCursor::sbcBlobRead(aRecID, aFieldNo, aBlobNr, aOffset, aLen, aStream, aReadOrg, aNewBlobNr);
  }
  TnxResult sbcBlobWrite(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                         std::uint32_t aLen, const void* aBlob) override {
    fields.push_back(aFieldNo);
    return TnxFakeCursor::sbcBlobWrite(aRecID, aFieldNo, aBlobNr, aOffset, aLen, aBlob);
  }
  bool sbcBlobIsLink(const TnxRecID&, std::int32_t aFieldNo, TnxBlobNr, nxString& aName, TnxBlobNr&) override {
    fields.push_back(aFieldNo);
    nameSeen = aName;
    return false;
  }
  std::vector<std::int32_t> fields;
  nxString nameSeen;
};

TEST_F(MappingCursorTest, BlobCallsReachTheInnerFieldOfTheOuterNumber) {
  Build(NoIndex);
  TnxAbstractServerObject::Free(inner_);
  auto* noting = platform::create<FieldNotingCursor>(fake_->db, fake_->db->Folder()->Find(u"base"), 0, -1);
  inner_ = noting;
  TnxServerMappingCursor* mapping = Map();
  TnxBlobNr blob = 0;
  ASSERT_EQ(inner_->BlobCreate(TnxRecID{}, 1, blob), 0);
  const char text[] = "memo";
  // Outer field 0 is "Name", inner field 1.
  ASSERT_EQ(mapping->sbcBlobWrite(TnxRecID{}, 0, blob, 0, 4, text), 0);
  TnxMemoryStream stream;
  ASSERT_EQ(mapping->sbcBlobRead(TnxRecID{}, 0, blob, 0, 4, stream, false, nullptr), 0);
  EXPECT_EQ(stream.Size(), 4);
  nxString name = u"left over";
  TnxBlobNr source = 0;
  EXPECT_FALSE(mapping->sbcBlobIsLink(TnxRecID{}, 2, blob, name, source));
  EXPECT_EQ(noting->fields, (std::vector<std::int32_t>{1, 1, 0}));
  EXPECT_TRUE(noting->nameSeen.empty());
  TnxAbstractServerObject::Free(mapping);
}

TEST_F(MappingCursorTest, RenameFieldChangesTheOuterLayoutOnly) {
  Build(NoIndex);
  TnxServerMappingCursor* mapping = Map();
  struct Case {
    std::int32_t field;
    const char16_t* name;
    TnxResult result;
  } cases[] = {{-1, u"X", nxErrInvalidDescNumber}, {3, u"X", nxErrInvalidDescNumber},
               {0, u"id", nxErrNameNotUnique},    {0, u"Title", 0}};
  for (const Case& c : cases) EXPECT_EQ(mapping->sbcRenameField(c.field, c.name), c.result);
  EXPECT_EQ(mapping->FieldsDescriptor()->GetFieldFromName(u"Title"), 0);
  EXPECT_EQ(inner_->FieldsDescriptor()->GetFieldFromName(u"Name"), 1);
  EXPECT_LT(inner_->FieldsDescriptor()->GetFieldFromName(u"Title"), 0);
  TnxAbstractServerObject::Free(mapping);
}

TEST_F(MappingCursorTest, FreeingTakesTheInnerCursorUnlessKept) {
  for (const bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "kept" : "owned");
    fake_ = std::make_unique<nxfake::FakeDatabase>();
    Build(NoIndex);
    bool destroyed = false;
    inner_->SetDestroyFlag(&destroyed);
    TnxServerMappingCursor* mapping = Map();
    mapping->smcKeepCursor = keep;
    TnxAbstractServerObject::Free(mapping);
    EXPECT_EQ(destroyed, !keep);
    if (keep) {
      inner_->SetDestroyFlag(nullptr);
      TnxAbstractServerObject::Free(inner_);
    }
  }
}

}  // namespace

namespace {

// Over a real table cursor on its unique index "ByID" (number 1; "ByName"
// on a field the outer layout lacks comes first): bookmarks of the mapping
// cursor.
TEST(MappingCursorOverTable, BookmarkReturnsToTheSameRecordUnderIndexZero) {
  nxtest::ServerEngineFixture fixture;
  nxSetTimeout(0, true);
  TnxServerEngine* engine = fixture.Started();
  fixture.Fs().makeDirectory("/data/db");
  TnxAbstractSession* session = nullptr;
  ASSERT_EQ(engine->SessionOpen(session, u"user", u"pw", u"test", 0), 0);
  TnxAbstractDatabase* abstractDb = nullptr;
  ASSERT_EQ(session->DatabaseOpen(abstractDb, u"Path", u"/data/db", nullptr, omReadWrite, smShared, 0), 0);
  auto* db = static_cast<TnxServerDatabase*>(abstractDb);
  {
    TnxOwned<TnxServerDataDict> dict(nxtest::tableDictionary(true));
    // ByID becomes index 1: the bookmarks' index IDs differ inside and out.
    TnxIndexDescriptor* byName = dict->IndicesDescriptor()->InsertIndexAt(0, u"ByName", 0, idAll, u"");
    platform::objectAs<TnxCompKeyDescriptor>(byName->KeyDescriptor())->Add(1);
    ASSERT_EQ(db->Folder()->sfTableBuild(false, u"base", u"", false, dict.get(), tsPersistent), 0);
  }
  TnxAbstractCursor* opened = nullptr;
  ASSERT_EQ(db->CursorOpen(opened, u"base", u"", omReadWrite, smShared, 0, u"ByID", -1, false, {}, 500, nullptr), 0);
  auto* inner = static_cast<TnxServerTableCursor*>(opened);
  // Records through the record and indices engines: IDs 10, 20, 30.
  {
    auto* context = static_cast<TnxServerTransContext*>(db->TransContext());
    ASSERT_EQ(context->stcTransactionStart(false, false, false, false, false, true), 0);
    ASSERT_EQ(inner->sbcBeginContentLock(true, false, false), 0);
    TnxFieldsDescriptor* fields = inner->FieldsDescriptor();
    std::vector<std::uint8_t> record(static_cast<std::size_t>(fields->RecordLength()) + 4);
    for (std::int32_t id : {30, 10, 20}) {
      fields->InitRecord(record.data());
      fields->SetRecordField(0, record.data(), &id);
      TnxRefNr refNr = 0;
      inner->Table()->RecordEngine()->AddRecord(context->Transaction(), refNr, record.data());
      ASSERT_EQ(inner->Table()->IndicesEngine()->InsertKeys(context->Transaction(), refNr, record.data(), nullptr), 0);
    }
    inner->sbcEndContentLock();
    ASSERT_EQ(context->stcTransactionCommit(), 0);
  }
  TnxOwned<TnxDataDictionary> outer(platform::create<TnxDataDictionary>());
  outer->FieldsDescriptor()->AddField(u"Twice", u"", nxtInt32, 0, 0, false);
  outer->FieldsDescriptor()->AddField(u"ID", u"", nxtInt32, 0, 0, false);
  auto* handler = platform::create<nxtest::TestMappingHandler>(
      outer.release(), inner->FieldsDescriptor(), u"Twice", [](TnxFieldsDescriptor* aInner, const void* aRecord) {
        return platform::Variant(std::int32_t(aInner->fsdGetFieldByIndexAsVariant(aRecord, 0).toInt64() * 2));
      });
  auto* mapping = platform::create<TnxServerMappingCursor>(inner, handler);
  std::int32_t innerIndex = -1;
  ASSERT_EQ(inner->GetIndexID(innerIndex), 0);
  EXPECT_EQ(innerIndex, 1);
  EXPECT_EQ(mapping->InnerIndexID(), 1);
  std::int32_t outerIndex = -1;
  ASSERT_EQ(mapping->GetIndexID(outerIndex), 0);
  EXPECT_EQ(outerIndex, 0);

  nxfake::Record record(mapping);
  ASSERT_EQ(mapping->SetToBegin(), 0);
  ASSERT_EQ(mapping->RecordGetNext(nxltNoLock, record.data()), 0);
  ASSERT_EQ(mapping->RecordGetNext(nxltNoLock, record.data()), 0);
  EXPECT_EQ(record.Get(u"ID").toInt64(), 20);
  EXPECT_EQ(record.Get(u"Twice").toInt64(), 40);
  std::int32_t size = 0;
  ASSERT_EQ(mapping->sbcGetBookmarkSize(size), 0);
  std::vector<std::uint8_t> bookmark(static_cast<std::size_t>(size));
  ASSERT_EQ(mapping->GetBookmark(bookmark.data(), size), 0);
  std::int32_t bookmarkIndex = -1;
  std::memcpy(&bookmarkIndex, bookmark.data() + 4, 4);
  EXPECT_EQ(bookmarkIndex, 0);
  // The checksum covers the header and the key.
  std::int32_t keyLength = 0;
  std::memcpy(&keyLength, bookmark.data() + 20, 4);
  std::uint32_t checksum = 0;
  std::memcpy(&checksum, bookmark.data(), 4);
  EXPECT_EQ(checksum, nxElfHash(bookmark.data() + 4, 20 + static_cast<std::size_t>(keyLength)));
  // The inner cursor would refuse it: its index ID is not 0's.
  ASSERT_EQ(mapping->SetToEnd(), 0);
  ASSERT_EQ(mapping->SetToBookmark(bookmark.data(), size), 0);
  ASSERT_EQ(mapping->RecordGet(nxltNoLock, record.data()), 0);
  EXPECT_EQ(record.Get(u"ID").toInt64(), 20);
  ASSERT_EQ(mapping->RecordGetNext(nxltNoLock, record.data()), 0);
  EXPECT_EQ(record.Get(u"ID").toInt64(), 30);
  TnxAbstractServerObject::Free(mapping);
  TnxAbstractServerObject::Free(session);
}

}  // namespace

namespace nxmappingtabletest {

// Over a real table "base": ID (unique index "ByID"), Name, Memo (BLOB),
// Grp (server default 7) and Note; the outer layout shows Name, the
// computed Twice (= 2 * ID), ID and Memo.
constexpr std::int32_t kInnerMemo = 2;
constexpr std::int32_t kOuterMemo = 3;

class MappingOverTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nxSetTimeout(0, true);
    TnxServerEngine* engine = fixture_.Started();
    fixture_.Fs().makeDirectory("/data/db");
    ASSERT_EQ(engine->SessionOpen(session_, u"user", u"pw", u"test", 0), 0);
    TnxAbstractDatabase* abstractDb = nullptr;
    ASSERT_EQ(session_->DatabaseOpen(abstractDb, u"Path", u"/data/db", nullptr, omReadWrite, smShared, 0), 0);
    db_ = static_cast<TnxServerDatabase*>(abstractDb);
    TnxOwned<TnxServerDataDict> dict(nxtest::tableDictionary(true, true));
    TnxFieldsDescriptor* fields = dict->FieldsDescriptor();
    fields->AddField(u"Grp", u"", nxtInt32, 0, 0, false);
    fields->AddField(u"Note", u"", nxtInt32, 0, 0, false);
    auto* grpDefault = static_cast<TnxConstDefaultValueDescriptor*>(
        fields->Fields(3)->AddDefaultValue(&TnxConstDefaultValueDescriptor::staticClassInfo()));
    grpDefault->SetAsVariant(platform::Variant(std::int32_t(7)));
    grpDefault->SetApplyAt(nxApplyAtBit(aaServer));
    ASSERT_EQ(db_->Folder()->sfTableBuild(false, u"base", u"", false, dict.get(), tsPersistent), 0);
    inner_ = Open();
    for (std::int32_t id : {1, 2, 3, 4})
      nxfake::Insert(inner_, {{u"ID", id}, {u"Name", nxString(u"n") + platform::fromUtf8(std::to_string(id))},
                              {u"Note", id * 100}});
  }
  void TearDown() override {
    if (session_) TnxAbstractServerObject::Free(session_);
  }
  TnxServerTableCursor* Open() {
    TnxAbstractCursor* opened = nullptr;
    EXPECT_EQ(db_->CursorOpen(opened, u"base", u"", omReadWrite, smShared, 0, u"ByID", -1, false, {}, 500, nullptr),
              0);
    return static_cast<TnxServerTableCursor*>(opened);
  }
  TnxServerMappingCursor* Map(TnxServerTableCursor* aInner) {
    TnxOwned<TnxDataDictionary> outer(platform::create<TnxDataDictionary>());
    outer->FieldsDescriptor()->AddField(u"Name", u"", nxtShortString, 20, 0, false);
    outer->FieldsDescriptor()->AddField(u"Twice", u"", nxtInt32, 0, 0, false);
    outer->FieldsDescriptor()->AddField(u"ID", u"", nxtInt32, 0, 0, false);
    outer->FieldsDescriptor()->AddField(u"Memo", u"", nxtBlobMemo, 0, 0, false);
    auto* handler = platform::create<nxtest::TestMappingHandler>(
        outer.release(), aInner->FieldsDescriptor(), u"Twice", [](TnxFieldsDescriptor* aFields, const void* aRecord) {
          return platform::Variant(std::int32_t(aFields->fsdGetFieldByIndexAsVariant(aRecord, 0).toInt64() * 2));
        });
    return platform::create<TnxServerMappingCursor>(aInner, handler);
  }
  // "ID/Twice" of an outer record.
  static std::string Outer(TnxFieldsDescriptor* aFields, const void* aRecord) {
    return platform::toUtf8(aFields->fsdGetFieldByIndexAsVariant(aRecord, 2).toString()) + "/" +
           platform::toUtf8(aFields->fsdGetFieldByIndexAsVariant(aRecord, 1).toString());
  }

  nxtest::ServerEngineFixture fixture_;
  TnxAbstractSession* session_ = nullptr;
  TnxServerDatabase* db_ = nullptr;
  TnxServerTableCursor* inner_ = nullptr;
};

TEST_F(MappingOverTableTest, InsertTakesInnerDefaultsAndModifyKeepsUnmappedFields) {
  TnxServerMappingCursor* mapping = Map(inner_);
  nxfake::Insert(mapping, {{u"ID", 5}, {u"Name", u"five"}, {u"Twice", 99}});
  TnxServerTableCursor* check = Open();
  EXPECT_EQ(nxfake::Column(check, u"ID"), (std::vector<std::string>{"1", "2", "3", "4", "5"}));
  // Grp has the inner default; Note, unmapped and without default, is null.
  EXPECT_EQ(nxfake::Column(check, u"Grp"), (std::vector<std::string>{"7", "7", "7", "7", "7"}));
  EXPECT_EQ(nxfake::Column(check, u"Note"), (std::vector<std::string>{"100", "200", "300", "400", "NULL"}));

  nxfake::Record current(mapping);
  ASSERT_EQ(mapping->SetToBegin(), 0);
  ASSERT_EQ(mapping->RecordGetNext(nxltNoLock, current.data()), 0);
  ASSERT_EQ(mapping->RecordGetNext(nxltNoLock, current.data()), 0);
  current.Set(u"Name", u"zwei");
  ASSERT_EQ(mapping->RecordModify(current.data(), false, nullptr), 0);
  EXPECT_EQ(nxfake::Column(check, u"Name"), (std::vector<std::string>{"n1", "zwei", "n3", "n4", "five"}));
  EXPECT_EQ(nxfake::Column(check, u"Note"), (std::vector<std::string>{"100", "200", "300", "400", "NULL"}));
  TnxAbstractServerObject::Free(mapping);
}

bool evenOuterID(void* aFields, const void* aRecord) {
  return static_cast<TnxFieldsDescriptor*>(aFields)->fsdGetFieldByIndexAsVariant(aRecord, 2).toInt64() % 2 == 0;
}

bool oddOuterID(void* aFields, const void* aRecord) { return !evenOuterID(aFields, aRecord); }

TEST_F(MappingOverTableTest, RecordFilterOfTheMappingCursorFiltersTheInnerNavigation) {
  TnxServerMappingCursor* mapping = Map(inner_);
  // The inner chain holds the (inactive) mapping filter from the start.
  ASSERT_NE(platform::objectAs<TnxMappingFilterEngine>(inner_->Filter()), nullptr);
  EXPECT_FALSE(inner_->Filter()->GetActive());
  TnxFilterID id = 0;
  ASSERT_EQ(mapping->FilterAddCallback(mapping->FieldsDescriptor(), evenOuterID, id, true), 0);
  EXPECT_TRUE(inner_->Filter()->GetActive());
  EXPECT_EQ(nxfake::Column(mapping, u"Twice"), (std::vector<std::string>{"4", "8"}));
  // The inner cursor's own navigation skips the same records.
  EXPECT_EQ(nxfake::Column(inner_, u"ID"), (std::vector<std::string>{"2", "4"}));
  // Positioning by an outer filter: it is translated for the inner cursor.
  ASSERT_EQ(mapping->FilterDeactivate(id), 0);
  EXPECT_EQ(nxfake::Column(mapping, u"ID"), (std::vector<std::string>{"1", "2", "3", "4"}));
  TnxOwned<TnxCallbackFilterDescriptor> odd(
      platform::create<TnxCallbackFilterDescriptor>(mapping->FieldsDescriptor(), oddOuterID));
  ASSERT_EQ(mapping->SetToFilter(odd.get(), nullptr, false), 0);
  nxfake::Record found(mapping);
  ASSERT_EQ(mapping->RecordGet(nxltNoLock, found.data()), 0);
  EXPECT_EQ(found.Get(u"ID").toInt64(), 3);

  ASSERT_EQ(mapping->FilterActivate(id), 0);
  ASSERT_EQ(mapping->FilterRemove(0), 0);
  EXPECT_EQ(mapping->Filter(), nullptr);
  ASSERT_NE(platform::objectAs<TnxMappingFilterEngine>(inner_->Filter()), nullptr);
  EXPECT_EQ(nxfake::Column(mapping, u"ID"), (std::vector<std::string>{"1", "2", "3", "4"}));
  EXPECT_EQ(nxfake::Column(inner_, u"ID"), (std::vector<std::string>{"1", "2", "3", "4"}));
  TnxAbstractServerObject::Free(mapping);
}

TEST_F(MappingOverTableTest, BatchReadAndIterationDeliverOuterRecords) {
  TnxServerMappingCursor* mapping = Map(inner_);
  TnxFieldsDescriptor* outer = mapping->FieldsDescriptor();
  TnxRecordGetBatchExOptions options{};
  options.include(gboSetToBeginOrEnd);
  for (const bool forward : {true, false}) {
    SCOPED_TRACE(forward ? "forward" : "backward");
    TnxBatchStreamAccess* access = nullptr;
    ASSERT_EQ(mapping->RecordGetBatch(2147483647, options, access, 0, forward), 0);
    TnxOwned<TnxBatchStreamAccess> owned(access);
    EXPECT_EQ(access->Count(), 4);
    std::vector<std::string> rows;
    TnxBatchStreamEntry entry{};
    while (access->Next(entry)) {
      EXPECT_EQ(entry.bseSize, static_cast<std::uint32_t>(outer->RecordLength()));
      rows.push_back(Outer(outer, entry.bseRecord));
    }
    EXPECT_EQ(rows, forward ? (std::vector<std::string>{"1/2", "2/4", "3/6", "4/8"})
                            : (std::vector<std::string>{"4/8", "3/6", "2/4", "1/2"}));
  }

  struct Case {
    const char* name;
    bool ownRecord;  // the caller points aData at a record of its own
    std::int32_t stopAt;
    std::vector<std::string> seen;
  } cases[] = {
      {"all, into the cursor's record", false, 0, {"1/2", "2/4", "3/6", "4/8"}},
      {"stopped at ID 2, into the caller's record", true, 2, {"1/2", "2/4"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> own(static_cast<std::size_t>(outer->RecordLength()) + 4);
    PnxRecordBuffer data = c.ownRecord ? own.data() : nullptr;
    std::vector<std::string> seen;
    int cookie = 0;
    const TnxRecordIterator iterator = [&](void* aCookie, TnxRefNr, PnxRecordBuffer aRecord) {
      EXPECT_EQ(aCookie, &cookie);
      EXPECT_EQ(aRecord, data);
      seen.push_back(Outer(outer, aRecord));
      return outer->fsdGetFieldByIndexAsVariant(aRecord, 2).toInt64() == c.stopAt ? rirStop : rirContinue;
    };
    ASSERT_EQ(mapping->sbcIterate(&data, nullptr, iterator, false, &cookie, false), 0);
    EXPECT_EQ(seen, c.seen);
    // A pointer the cursor set for the call is reset.
    EXPECT_EQ(data, c.ownRecord ? own.data() : nullptr);
  }
  TnxAbstractServerObject::Free(mapping);
}

TEST_F(MappingOverTableTest, BlobOfTheOuterFieldIsTheInnerFieldsBlob) {
  TnxServerMappingCursor* mapping = Map(inner_);
  TnxBlobNr number = 0;
  ASSERT_EQ(mapping->BlobCreate(nxNullRecID, kOuterMemo, number), 0);
  ASSERT_EQ(mapping->BlobWrite(nxNullRecID, kOuterMemo, number, 0, 5, "memo!"), 0);
  for (const auto& [cursor, field] : {std::pair<TnxAbstractCursor*, std::int32_t>{mapping, kOuterMemo},
                                      std::pair<TnxAbstractCursor*, std::int32_t>{inner_, kInnerMemo}}) {
    TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
    ASSERT_EQ(cursor->BlobRead(nxNullRecID, field, number, 0, 0x7FFFFFFF, *stream, false, nullptr), 0);
    ASSERT_EQ(stream->Size(), 5);
    EXPECT_EQ(std::memcmp(stream->Memory(), "memo!", 5), 0);
    std::uint32_t length = 0;
    ASSERT_EQ(cursor->BlobGetLength(nxNullRecID, field, number, length, false, nullptr), 0);
    EXPECT_EQ(length, 5u);
  }
  TnxAbstractServerObject::Free(mapping);
}

TEST_F(MappingOverTableTest, KeptInnerCursorOutlivesTheMappingFilter) {
  TnxServerMappingCursor* mapping = Map(inner_);
  TnxFilterID id = 0;
  ASSERT_EQ(mapping->FilterAddCallback(mapping->FieldsDescriptor(), evenOuterID, id, true), 0);
  mapping->smcKeepCursor = true;
  TnxAbstractServerObject::Free(mapping);
  // The inner chain's mapping filter no longer reaches the freed cursor.
  EXPECT_FALSE(inner_->Filter()->GetActive());
  EXPECT_EQ(nxfake::Column(inner_, u"ID"), (std::vector<std::string>{"1", "2", "3", "4"}));
}

}  // namespace nxmappingtabletest
