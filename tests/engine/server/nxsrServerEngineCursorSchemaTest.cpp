// The table cursor's operations on whole tables, and the database's add
// field, add index and drop index: on real tables of a folder on the fault
// file system (and an in-memory folder where a scope matters).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "nxllBaseCompressor.h"
#include "nxllStreams.h"
#include "nxsdDataDictionaryStorage.h"
#include "nxseSortEngineMerge.h"
#include "nxsrServerEngineCursorTestSupport.h"
#include "nxsrTimeoutHandling.h"
#include "nxTestWatchdog.h"
#include "plString.h"

namespace {

// Stores records as they are: the versioned record engine admits only the
// "Compressor" compression, for which the system ships no compressor.
class SchemaPassCompressor : public TnxBaseCompressor {
  PL_CLASS_INFO_DECL()
};
std::uint32_t schemaCompress(const void* aSource, void* aTarget, std::uint32_t aSourceSize, std::uint32_t) {
  std::memcpy(aTarget, aSource, aSourceSize);
  return aSourceSize;
}
void schemaUncompress(const void* aSource, void* aTarget, std::uint32_t aSourceSize, std::uint32_t) {
  std::memcpy(aTarget, aSource, aSourceSize);
}
constexpr TnxCompressorClassFuncs kSchemaPassFuncs{&schemaCompress, &schemaUncompress};

}  // namespace

PL_CLASS_INFO_IMPL_TABLE(SchemaPassCompressor, TnxBaseCompressor, "SchemaPassCompressor", nullptr,
                         platform::bindClassTable(kSchemaPassFuncs))

namespace {

constexpr std::uint8_t kCompressType = 1;
constexpr std::int32_t kSchemaID = 0, kSchemaName = 1, kSchemaGrp = 2;

using Bytes = std::vector<std::uint8_t>;

// Makes aFields' record engine the versioned one (new fields allowed).
void makeVersioned(TnxBaseTableDescriptor* aTable) {
  auto* record = platform::objectAs<TnxHeapRecordDescriptor>(
      aTable->AddRecordDescriptor(&TnxHeapRecordDescriptor::staticClassInfo()));
  record->SetRecordEngine(u"VariableVersioned");
  record->AddHeapDescriptor()->AddBlockHeapDescriptor();
  record->AddRecordCompressionDescriptor()->SetRecordCompressionEngine(u"Compressor");
  record->RecordCompressionDescriptor()->SetCompressType(kCompressType);
}

// "ID", "Name" in versioned records; aNested adds versioned nested tables
// of the same two fields.
TnxServerDataDict* versionedDictionary(const std::vector<nxString>& aNested = {}) {
  TnxServerDataDict* dict = nxtest::tableDictionary();
  makeVersioned(dict);
  for (const nxString& name : aNested) {
    TnxNestedTableDescriptor* nested = dict->TablesDescriptor()->AddTable(name);
    nested->FieldsDescriptor()->AddField(u"ID", u"", nxtInt32, 0, 0, false);
    nested->FieldsDescriptor()->AddField(u"Name", u"", nxtShortString, 20, 0, false);
    makeVersioned(nested);
  }
  return dict;
}

// A stand-alone Int32 field descriptor, as callers pass them.
TnxFieldDescriptor* newField(const nxString& aName, bool aRequired = false) {
  return platform::create<TnxFieldDescriptor>(nullptr, aName, u"", nxtInt32, 0, 0, aRequired);
}

// An index descriptor on one field, standing alone (as callers pass them).
class StandaloneIndex {
 public:
  StandaloneIndex(const nxString& aName, std::int32_t aField, TnxIndexDups aDups) {
    holder_.reset(nxtest::tableDictionary());
    TnxIndexDescriptor* index = holder_->EnsureIndicesDescriptor()->AddIndex(aName, 0, aDups, u"");
    platform::objectAs<TnxCompKeyDescriptor>(index->KeyDescriptor())->Add(aField);
    index_ = index;
  }
  TnxIndexDescriptor* get() const { return index_; }

 private:
  TnxOwned<TnxServerDataDict> holder_;
  TnxIndexDescriptor* index_ = nullptr;
};

class CursorSchemaTest : public nxtest::CursorTestBase {
 protected:
  void SetUp() override {
    nxRegisterCompressor(kCompressType, &SchemaPassCompressor::staticClassInfo());
    StartEngine(memory_ ? u"#schema" : u"/data/db");
  }
  // The name of a table of this storage: an in-memory folder holds
  // folder-wide temporary tables only.
  nxString N(const nxString& aName) const { return memory_ ? u"<" + aName + u">" : aName; }
  void TearDown() override {
    CursorTestBase::TearDown();
    nxRegisterCompressor(kCompressType, nullptr);
  }
  void Build(const nxString& aName, TnxServerDataDict* aDict, TnxServerDatabase* aDb = nullptr) {
    TnxOwned<TnxServerDataDict> dict(aDict);
    ASSERT_EQ((aDb ? aDb : db_)->Folder()->sfTableBuild(false, N(aName), u"", false, dict.get(),
                                                         memory_ ? tsTempGlobal : tsPersistent),
              0)
        << platform::toUtf8(nxtest::pendingMessage());
  }
  // A cursor on aTable; aIndex empty: record order.
  TnxServerTableCursor* OpenOn(const nxString& aTable, const nxString& aIndex = u"",
                               TnxShareMode aShare = smShared, TnxServerDatabase* aDb = nullptr,
                               TnxOpenMode aMode = omReadWrite) {
    TnxServerTableCursor* cursor = Open(aDb ? aDb : db_, aIndex, 0, aMode, aShare, N(aTable));
    if (cursor && aIndex.empty()) {
      EXPECT_EQ(cursor->SwitchToIndex(u"", -1, porFalse), 0);
    }
    return cursor;
  }
  static TnxFieldsDescriptor* Fields(TnxServerTableCursor* aCursor) { return aCursor->Table()->FieldsDescriptor(); }
  static Bytes Make(TnxServerTableCursor* aCursor, std::int32_t aID, const std::string& aName,
                    std::int32_t aGrp = -1) {
    Bytes record = RecordOf(aCursor);
    aCursor->RecordBufferClear(record.data());
    TnxFieldsDescriptor* fields = Fields(aCursor);
    fields->SetRecordField(kSchemaID, record.data(), &aID);
    std::uint8_t name[21] = {};
    name[0] = static_cast<std::uint8_t>(aName.size());
    std::memcpy(name + 1, aName.data(), aName.size());
    fields->SetRecordField(kSchemaName, record.data(), name);
    if (aGrp >= 0) fields->SetRecordField(kSchemaGrp, record.data(), &aGrp);
    return record;
  }
  static TnxResult Insert(TnxServerTableCursor* aCursor, std::int32_t aID, const std::string& aName,
                          std::int32_t aGrp = -1) {
    Bytes record = Make(aCursor, aID, aName, aGrp);
    return aCursor->RecordInsert(nxltNoLock, record.data(), nullptr);
  }
  static std::int32_t IntOf(TnxServerTableCursor* aCursor, const Bytes& aRecord, std::int32_t aField,
                            bool* aNull = nullptr) {
    bool isNull = false;
    std::int32_t value = 0;
    Fields(aCursor)->GetRecordField(aField, aRecord.data(), isNull, &value);
    if (aNull) *aNull = isNull;
    return value;
  }
  static std::string NameOf(TnxServerTableCursor* aCursor, const Bytes& aRecord) {
    const std::uint8_t* at = aRecord.data() + Fields(aCursor)->Fields(kSchemaName)->fdOffset;
    return std::string(reinterpret_cast<const char*>(at + 1), at[0]);
  }
  // The IDs the cursor shows from its beginning.
  static std::vector<std::int32_t> IDs(TnxServerTableCursor* aCursor) {
    std::vector<std::int32_t> ids;
    Bytes record = RecordOf(aCursor);
    EXPECT_EQ(aCursor->SetToBegin(), 0);
    while (aCursor->RecordGetNext(nxltNoLock, record.data()) == 0) ids.push_back(IntOf(aCursor, record, kSchemaID));
    return ids;
  }
  std::vector<std::int32_t> IDsOf(const nxString& aTable, const nxString& aIndex = u"") {
    TnxServerTableCursor* cursor = OpenOn(aTable, aIndex);
    std::vector<std::int32_t> ids = IDs(cursor);
    TnxAbstractServerObject::Free(cursor);
    return ids;
  }
  static std::uint32_t KeyCount(TnxServerTableCursor* aCursor, std::int32_t aIndex) {
    std::uint32_t count = 0;
    aCursor->Table()->IndicesEngine()->biseGetIndex(aIndex)->GetKeyCount(nullptr, count);
    return count;
  }
  static std::uint32_t RecordCount(TnxServerTableCursor* aCursor) {
    std::uint32_t count = 0;
    aCursor->Table()->RecordEngine()->GetRecordCount(nullptr, count);
    return count;
  }
  // The indexed table "it" (ID unique "ByID", Name, Grp with "ByGrp")
  // holding aIDs in that physical order; Grp = ID % 3.
  void BuildIndexed(const nxString& aName, const std::vector<std::int32_t>& aIDs) {
    Build(aName, nxtest::cursorTestDictionary());
    TnxServerTableCursor* cursor = OpenOn(aName);
    for (const std::int32_t id : aIDs) ASSERT_EQ(Insert(cursor, id, "n" + std::to_string(id), id % 3), 0);
    TnxAbstractServerObject::Free(cursor);
  }

  bool memory_ = false;
};

// The same on disk and in an in-memory folder.
class CursorSchemaStorageTest : public CursorSchemaTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    memory_ = GetParam();
    CursorSchemaTest::SetUp();
  }
};

// ---- Adding fields ---------------------------------------------------------------------------

TEST_F(CursorSchemaTest, AddFieldRefusalsChangeNothing) {
  Build(u"vt", versionedDictionary());
  TnxServerTableCursor* cursor = OpenOn(u"vt", u"", smExclusive);
  struct Row {
    const char* what;
    const char16_t* name;
    bool required;
    TnxResult code;
  } rows[] = {
      {"required field", u"Extra", true, nxErrNotSupported},
      {"name in use", u"Name", false, nxErrNameNotUnique},
      {"name in use, other case", u"id", false, nxErrNameNotUnique},
  };
  TnxServerDataDict* dict = cursor->Table()->Root()->Dictionary();
  for (const Row& row : rows) {
    const std::int32_t id = dict->CurrentID();
    TnxOwned<TnxFieldDescriptor> field(newField(row.name, row.required));
    EXPECT_EQ(cursor->stcAddField(field.get()), row.code) << row.what;
    EXPECT_EQ(Fields(cursor)->FieldCount(), 2) << row.what;
    EXPECT_EQ(dict->CurrentID(), id) << row.what;
    EXPECT_TRUE(dict->ReadOnly()) << row.what;
  }
  // A record engine without versions takes no field.
  Build(u"st", nxtest::tableDictionary());
  TnxServerTableCursor* plain = OpenOn(u"st", u"", smExclusive);
  TnxOwned<TnxFieldDescriptor> field(newField(u"Extra"));
  EXPECT_EQ(plain->stcAddField(field.get()), nxErrNotSupported);
  EXPECT_EQ(Fields(plain)->FieldCount(), 2);
}

// The dictionary's level as an old table file has it: no writer sets it
// below 3, so the test reaches the member directly.
struct DictionaryVersionTag {
  using type = std::int32_t TnxDataDictionary::*;
  friend type dictionaryVersion(DictionaryVersionTag);
};
template <typename Tag, typename Tag::type aMember>
struct DictionaryVersionAccess {
  friend typename Tag::type dictionaryVersion(Tag) { return aMember; }
};
template struct DictionaryVersionAccess<DictionaryVersionTag, &TnxDataDictionary::ddVersion>;

void downgradeToVersion2(TnxServerTableCursor* aCursor) {
  TnxServerDataDict* dict = aCursor->Table()->Root()->Dictionary();
  dict->*dictionaryVersion(DictionaryVersionTag{}) = 2;
  ASSERT_EQ(dict->Version(), 2);
}

TEST_F(CursorSchemaTest, AddFieldOnAVersionTwoDictionaryChangesNothing) {
  Build(u"v2", versionedDictionary());
  TnxServerTableCursor* cursor = OpenOn(u"v2", u"", smExclusive);
  downgradeToVersion2(cursor);
  TnxOwned<TnxFieldDescriptor> field(newField(u"Extra"));
  const std::int32_t id = cursor->Table()->Root()->Dictionary()->CurrentID();
  EXPECT_EQ(cursor->stcAddField(field.get()), nxErrHigherTableLevel);
  EXPECT_EQ(Fields(cursor)->FieldCount(), 2);
  EXPECT_EQ(cursor->Table()->Root()->Dictionary()->CurrentID(), id);
  // The index operations ask for the same level.
  StandaloneIndex index(u"ByName", kSchemaName, idAll);
  EXPECT_EQ(cursor->stcAddIndex(index.get(), false), nxErrHigherTableLevel);
  EXPECT_EQ(cursor->stcDropIndex(u"", 0), nxErrHigherTableLevel);
}

TEST_F(CursorSchemaTest, TheTwoHundredFiftySixthAddedFieldIsRefused) {
  Build(u"vt", versionedDictionary());
  TnxServerTableCursor* cursor = OpenOn(u"vt", u"", smExclusive);
  for (int i = 1; i <= 256; ++i) {
    TnxOwned<TnxFieldDescriptor> field(newField(u"F" + platform::fromUtf8(std::to_string(i))));
    const TnxResult result = cursor->stcAddField(field.get());
    if (i <= 255) {
      ASSERT_EQ(result, 0) << i << " " << platform::toUtf8(nxtest::pendingMessage());
    } else {
      EXPECT_EQ(result, nxErrTooManyFields);
    }
  }
  EXPECT_EQ(Fields(cursor)->FieldCount(), 2 + 255);
}

TEST_F(CursorSchemaTest, AddedFieldIsSeenByTheNextOpenAndOldRecordsHoldNull) {
  Build(u"vt", versionedDictionary());
  TnxServerTableCursor* cursor = OpenOn(u"vt");
  for (std::int32_t id = 1; id <= 3; ++id) ASSERT_EQ(Insert(cursor, id, "r" + std::to_string(id)), 0);
  TnxAbstractServerObject::Free(cursor);
  TnxOwned<TnxFieldDescriptor> field(newField(u"Extra"));
  const std::int32_t generation = db_->StructureGeneration();
  ASSERT_EQ(db_->TableAddField(u"vt", u"", field.get()), 0) << platform::toUtf8(nxtest::pendingMessage());
  EXPECT_GT(db_->StructureGeneration(), generation);
  cursor = OpenOn(u"vt");
  ASSERT_EQ(Fields(cursor)->FieldCount(), 3);
  EXPECT_EQ(Fields(cursor)->Fields(2)->Name(), u"Extra");
  Bytes record = RecordOf(cursor);
  std::vector<std::int32_t> ids;
  ASSERT_EQ(cursor->SetToBegin(), 0);
  while (cursor->RecordGetNext(nxltNoLock, record.data()) == 0) {
    ids.push_back(IntOf(cursor, record, kSchemaID));
    EXPECT_TRUE(Fields(cursor)->IsRecordFieldNull(2, record.data()));
  }
  EXPECT_EQ(ids, (std::vector<std::int32_t>{1, 2, 3}));
  // The new field takes values.
  Bytes added = Make(cursor, 4, "r4");
  const std::int32_t extra = 44;
  Fields(cursor)->SetRecordField(2, added.data(), &extra);
  ASSERT_EQ(cursor->RecordInsert(nxltNoLock, added.data(), nullptr), 0);
  ASSERT_EQ(cursor->SetToEnd(), 0);
  ASSERT_EQ(cursor->RecordGetPrior(nxltNoLock, record.data()), 0);
  EXPECT_EQ(IntOf(cursor, record, 2), 44);
}

TEST_F(CursorSchemaTest, AddFieldOnATemporaryTableIsRefused) {
  TnxAbstractDatabase* memory = nullptr;
  ASSERT_EQ(sessions_.front()->DatabaseOpen(memory, u"Path", u"#mem", nullptr, omReadWrite, smShared, 0), 0);
  auto* db = static_cast<TnxServerDatabase*>(memory);
  TnxOwned<TnxServerDataDict> dict(versionedDictionary());
  ASSERT_EQ(db->Folder()->sfTableBuild(false, u"<vt>", u"", false, dict.get(), tsTempGlobal), 0);
  TnxOwned<TnxFieldDescriptor> field(newField(u"Extra"));
  EXPECT_EQ(db->TableAddField(u"<vt>", u"", field.get()), nxErrNotSupported);
  TnxServerTableCursor* cursor = Open(db, u"", 0, omReadWrite, smShared, u"<vt>");
  EXPECT_EQ(Fields(cursor)->FieldCount(), 2);
}

TEST_F(CursorSchemaTest, AddFieldToANestedTableWaitsForEveryOtherCursorOfTheRoot) {
  Build(u"qbnk", versionedDictionary({u"qzrecord"}));
  TnxServerDatabase* other = NewDatabase();
  TnxServerTableCursor* reader = OpenOn(u"qbnk", u"", smShared, other);
  for (std::int32_t id = 1; id <= 3; ++id) ASSERT_EQ(Insert(reader, id, "q"), 0);
  TnxOwned<TnxFieldDescriptor> field(newField(u"Extra"));
  EXPECT_EQ(db_->TableAddField(u"qbnk:qzrecord", u"", field.get()), nxErrNoExclusiveAccess);
  // Nothing changed, and the other database's cursor reads on.
  EXPECT_EQ(reader->Table()->Root()->Dictionary()->TablesDescriptor()->Tables(0)->FieldsDescriptor()->FieldCount(), 2);
  EXPECT_EQ(IDs(reader), (std::vector<std::int32_t>{1, 2, 3}));
  TnxAbstractServerObject::Free(reader);
  // A transaction that read the root keeps its link after its cursor went;
  // one of the database itself would keep the root open too.
  ASSERT_EQ(other->TransactionStart(false, false), 0);
  reader = OpenOn(u"qbnk", u"", smShared, other);
  EXPECT_EQ(IDs(reader).size(), 3u);
  TnxAbstractServerObject::Free(reader);
  EXPECT_EQ(db_->TableAddField(u"qbnk:qzrecord", u"", field.get()), nxErrNoExclusiveAccess);
  ASSERT_EQ(other->TransactionCommit(), 0);
  ASSERT_EQ(db_->TransactionStart(false, false), 0);
  EXPECT_EQ(db_->TableAddField(u"qbnk:qzrecord", u"", field.get()), nxErrNoExclusiveAccess);
  ASSERT_EQ(db_->TransactionRollback(), 0);
  ASSERT_EQ(db_->TableAddField(u"qbnk:qzrecord", u"", field.get()), 0) << platform::toUtf8(nxtest::pendingMessage());
  TnxServerTableCursor* nested = OpenOn(u"qbnk:qzrecord", u"", smShared, other);
  EXPECT_EQ(Fields(nested)->FieldCount(), 3);
  TnxServerTableCursor* root = OpenOn(u"qbnk", u"", smShared, other);
  EXPECT_EQ(IDs(root), (std::vector<std::int32_t>{1, 2, 3}));
}

// ---- Indices ------------------------------------------------------------------------------

TEST_P(CursorSchemaStorageTest, AddIndexFillsItAndDropIndexTakesItAway) {
  BuildIndexed(u"it", {7, 3, 12, 1, 10, 5, 2, 11, 4, 9, 6, 8});
  StandaloneIndex byName(u"ByName", kSchemaName, idNone);
  ASSERT_EQ(db_->TableAddIndex(N(u"it"), u"", byName.get(), false), 0) << platform::toUtf8(nxtest::pendingMessage());
  TnxServerTableCursor* cursor = OpenOn(u"it", u"ByName");
  ASSERT_NE(cursor->IndexEngine(), nullptr);
  EXPECT_EQ(KeyCount(cursor, cursor->IndexEngine()->bieIndexNumber), 12u);
  EXPECT_EQ(IDs(cursor), (std::vector<std::int32_t>{1, 10, 11, 12, 2, 3, 4, 5, 6, 7, 8, 9}));
  // The refusals of the database's frame and of the cursor.
  TnxAbstractDatabase* readOnly = nullptr;
  ASSERT_EQ(sessions_.front()->DatabaseOpen(readOnly, u"Path", path_, nullptr, omReadOnly, smShared, 0), 0);
  auto* ro = static_cast<TnxServerDatabase*>(readOnly);
  TnxOwned<TnxFieldDescriptor> field(newField(u"Extra"));
  StandaloneIndex byGrp(u"ByGrp2", kSchemaGrp, idAll);
  struct Row {
    const char* what;
    std::function<TnxResult()> call;
    TnxResult code;
  } rows[] = {
      {"add existing name", [&] { return db_->TableAddIndex(N(u"it"), u"", byName.get(), false); }, nxErrIndexExists},
      {"drop unknown name", [&] { return db_->TableDropIndex(N(u"it"), u"", u"NoSuch", -1); }, nxErrNoSuchIndex},
      {"drop bad number", [&] { return db_->TableDropIndex(N(u"it"), u"", u"", 9); }, nxErrNoSuchIndex},
      {"drop invalid name", [&] { return db_->TableDropIndex(N(u"it"), u"", u" Lead", -1); }, nxErrInvalidIndexName},
      {"read-only add field", [&] { return ro->TableAddField(N(u"it"), u"", field.get()); }, nxErrDatabaseReadOnly},
      {"read-only add index", [&] { return ro->TableAddIndex(N(u"it"), u"", byGrp.get(), false); },
       nxErrDatabaseReadOnly},
      {"read-only drop index", [&] { return ro->TableDropIndex(N(u"it"), u"", u"ByGrp", -1); }, nxErrDatabaseReadOnly},
      {"unknown table", [&] { return db_->TableAddIndex(N(u"none"), u"", byGrp.get(), false); }, nxErrNoSuchTable},
  };
  TnxAbstractServerObject::Free(cursor);
  for (const Row& row : rows) EXPECT_EQ(row.call(), row.code) << row.what;
  ASSERT_EQ(db_->TableDropIndex(N(u"it"), u"", u"ByName", -1), 0) << platform::toUtf8(nxtest::pendingMessage());
  cursor = OpenOn(u"it", u"ByID");
  EXPECT_EQ(cursor->Table()->TableDescriptor()->IndicesDescriptor()->IndexCount(), 2);
  EXPECT_EQ(cursor->Table()->IndicesEngine()->IndexCount(), 2);
  EXPECT_EQ(IDs(cursor), (std::vector<std::int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
}

// Hears the schema actions of its object as "<who> <action> before|after"; the
// "before" of aRefuse is answered with 77.
class SchemaRecordingExtender : public TnxBaseEngineExtender {
 public:
  SchemaRecordingExtender(TnxExtendableServerObject* aObject, std::string aWho, std::vector<std::string>& aHeard)
      : TnxBaseEngineExtender(nullptr, aObject, TnxEngineActions{eaTableAddField, eaTableAddIndex, eaTableDropIndex}),
        who_(std::move(aWho)),
        heard_(aHeard) {}
  TnxResult Notify(TnxEngineAction aAction, bool aBefore, TnxEngineArgs) override {
    heard_.push_back(who_ + " " + std::to_string(static_cast<int>(aAction)) + (aBefore ? " before" : " after"));
    return aBefore && aAction == refuse_ ? 77 : 0;
  }
  void Refuse(TnxEngineAction aAction) { refuse_ = aAction; }

 private:
  std::string who_;
  std::vector<std::string>& heard_;
  TnxEngineAction refuse_ = static_cast<TnxEngineAction>(-1);
};

// The three schema changes share the frame of the database's other table
// operations: the name checks first, then the folder's and the database's
// extenders around the change; a "before" refusal stops it.
TEST_F(CursorSchemaTest, SchemaChangesCheckNamesAndNotifyFolderThenDatabase) {
  Build(u"sc", versionedDictionary());
  TnxOwned<TnxFieldDescriptor> field(newField(u"Extra"));
  StandaloneIndex byName(u"ByName", kSchemaName, idAll);
  struct Op {
    const char* what;
    TnxEngineAction action;
    std::function<TnxResult(const nxString&)> call;
  };
  const Op ops[] = {
      {"add field", eaTableAddField,
       [&](const nxString& aName) { return db_->TableAddField(aName, u"", field.get()); }},
      {"add index", eaTableAddIndex,
       [&](const nxString& aName) { return db_->TableAddIndex(aName, u"", byName.get(), false); }},
      {"drop index", eaTableDropIndex,
       [&](const nxString& aName) { return db_->TableDropIndex(aName, u"", u"ByName", -1); }},
  };
  struct BadName {
    const char16_t* name;
    TnxResult code;
  };
  const BadName badNames[] = {
      {u"", nxErrNoSuchTable}, {u"$sys", nxErrInvalidTableName}, {u"a\"b", nxErrInvalidTableName}};
  std::vector<std::string> heard;
  auto* onFolder = platform::create<SchemaRecordingExtender>(db_->Folder(), "folder", heard);
  auto* onDatabase = platform::create<SchemaRecordingExtender>(db_, "database", heard);
  for (const Op& op : ops) {
    SCOPED_TRACE(op.what);
    for (const BadName& bad : badNames) EXPECT_EQ(op.call(bad.name), bad.code) << platform::toUtf8(bad.name);
    EXPECT_TRUE(heard.empty());
    const std::string action = std::to_string(static_cast<int>(op.action));
    onDatabase->Refuse(op.action);
    EXPECT_EQ(op.call(u"sc"), 77);
    EXPECT_EQ(heard, (std::vector<std::string>{"folder " + action + " before", "database " + action + " before"}));
    heard.clear();
    onDatabase->Refuse(static_cast<TnxEngineAction>(-1));
    ASSERT_EQ(op.call(u"sc"), 0) << platform::toUtf8(nxtest::pendingMessage());
    EXPECT_EQ(heard, (std::vector<std::string>{"folder " + action + " before", "database " + action + " before",
                                               "database " + action + " after", "folder " + action + " after"}));
    heard.clear();
  }
  platform::TObject::free(onDatabase);
  platform::TObject::free(onFolder);
  // Only the successful calls changed the table: one field added, the
  // index added and dropped again.
  TnxServerTableCursor* cursor = OpenOn(u"sc");
  EXPECT_EQ(Fields(cursor)->FieldCount(), 3);
  EXPECT_EQ(cursor->Table()->TableDescriptor()->IndicesDescriptor()->GetIndexFromName(u"ByName"), -1);
  TnxAbstractServerObject::Free(cursor);
}

TEST_P(CursorSchemaStorageTest, AFailedAddIndexLeavesTheDictionaryAsItWas) {
  BuildIndexed(u"af", {1, 2, 3, 4, 5, 6});
  TnxServerTableCursor* cursor = OpenOn(u"af", u"", smExclusive);
  TnxServerDataDict* dict = cursor->Table()->Root()->Dictionary();
  TnxMainIndicesDescriptor* list = cursor->Table()->TableDescriptor()->IndicesDescriptor();
  const std::int32_t id = dict->CurrentID(), defaultIndex = list->DefaultIndex();
  // Grp repeats: a unique index on it cannot be built.
  StandaloneIndex uniqueGrp(u"UniqueGrp", kSchemaGrp, idNone);
  EXPECT_NE(cursor->stcAddIndex(uniqueGrp.get(), true), 0);
  EXPECT_EQ(list->IndexCount(), 2);
  EXPECT_EQ(list->GetIndexFromName(u"UniqueGrp"), -1);
  EXPECT_EQ(list->DefaultIndex(), defaultIndex);
  EXPECT_EQ(dict->CurrentID(), id);
  EXPECT_TRUE(dict->ReadOnly());
  EXPECT_EQ(cursor->Table()->IndicesEngine()->IndexCount(), 2);
  // The table goes on: another index builds, and a reopened table agrees.
  StandaloneIndex byName(u"ByName", kSchemaName, idNone);
  ASSERT_EQ(cursor->stcAddIndex(byName.get(), false), 0) << platform::toUtf8(nxtest::pendingMessage());
  EXPECT_EQ(KeyCount(cursor, 2), 6u);
  TnxAbstractServerObject::Free(cursor);
  cursor = OpenOn(u"af", u"ByName");
  EXPECT_EQ(IDs(cursor), (std::vector<std::int32_t>{1, 2, 3, 4, 5, 6}));
}

TEST_P(CursorSchemaStorageTest, DroppingTheLastIndexFreesTheIndicesEngineAndKeepsRecordOrder) {
  BuildIndexed(u"dl", {3, 1, 2});
  TnxServerTableCursor* cursor = OpenOn(u"dl", u"ByID", smExclusive);
  ASSERT_EQ(cursor->stcDropIndex(u"", 1), 0);
  EXPECT_EQ(cursor->IndexEngine(), cursor->Table()->IndicesEngine()->biseGetIndex(0));
  ASSERT_EQ(cursor->stcDropIndex(u"ByID", -1), 0);
  EXPECT_EQ(cursor->Table()->IndicesEngine(), nullptr);
  EXPECT_EQ(cursor->Table()->TableDescriptor()->IndicesDescriptor(), nullptr);
  EXPECT_EQ(cursor->IndexEngine(), nullptr);
  EXPECT_EQ(IDs(cursor), (std::vector<std::int32_t>{3, 1, 2}));
  EXPECT_EQ(cursor->stcDropIndex(u"", 0), nxErrTableNotIndexed);
  // A table without indices gets an indices engine again, filled.
  StandaloneIndex byID(u"ByID", kSchemaID, idNone);
  ASSERT_EQ(cursor->stcAddIndex(byID.get(), true), 0) << platform::toUtf8(nxtest::pendingMessage());
  EXPECT_EQ(KeyCount(cursor, 0), 3u);
  TnxAbstractServerObject::Free(cursor);
  EXPECT_EQ(IDsOf(u"dl", u"ByID"), (std::vector<std::int32_t>{1, 2, 3}));
  EXPECT_EQ(IDsOf(u"dl"), (std::vector<std::int32_t>{3, 1, 2}));
}

TEST_P(CursorSchemaStorageTest, AnIndexAnotherCursorStandsOnIsNotDropped) {
  BuildIndexed(u"du", {1, 2, 3, 4});
  TnxServerTableCursor* user = OpenOn(u"du", u"ByGrp");
  TnxServerTableCursor* dropper = OpenOn(u"du");
  EXPECT_EQ(dropper->stcDropIndex(u"ByGrp", -1), nxErrNoExclusiveAccess);
  EXPECT_EQ(IDs(user).size(), 4u);
  ASSERT_EQ(user->SwitchToIndex(u"ByID", -1, porFalse), 0);
  EXPECT_EQ(dropper->stcDropIndex(u"ByGrp", -1), 0);
  EXPECT_EQ(IDs(user), (std::vector<std::int32_t>{1, 2, 3, 4}));
}

TEST_F(CursorSchemaTest, BulkBuilderExistsOnlyWithAnIndicesEngine) {
  TnxServerDataDict* noIndices = nxtest::tableDictionary();
  noIndices->RemoveIndicesDescriptor();
  Build(u"ni", noIndices);
  BuildIndexed(u"it", {});
  TnxServerTableCursor* plain = OpenOn(u"ni");
  TnxServerTableCursor* indexed = OpenOn(u"it");
  TnxBaseBulkBuilder* builder = reinterpret_cast<TnxBaseBulkBuilder*>(1);
  EXPECT_EQ(plain->stcCreateBulkBuilder(builder), 0);
  EXPECT_EQ(builder, nullptr);
  auto* context = static_cast<TnxServerTransContext*>(db_->TransContext());
  ASSERT_EQ(context->stcTransactionStart(false, false, false, false, false, true), 0);
  ASSERT_EQ(indexed->sbcBeginContentLock(true, false, false), 0);
  EXPECT_EQ(indexed->stcCreateBulkBuilder(builder), 0);
  ASSERT_NE(builder, nullptr);
  Bytes record = Make(indexed, 1, "b", 1);
  TnxRefNr refNr = 0;
  indexed->Table()->RecordEngine()->AddRecord(context->Transaction(), refNr, record.data());
  EXPECT_EQ(builder->InsertKey(&refNr, record.data(), context->Transaction()), 0);
  EXPECT_EQ(builder->Finalize(context->Transaction()), 0);
  platform::TObject::free(builder);
  ASSERT_EQ(context->stcTransactionCommit(), 0);
  EXPECT_EQ(KeyCount(indexed, 0), 1u);
  EXPECT_EQ(KeyCount(indexed, 1), 1u);
}

// ---- Sorting -------------------------------------------------------------------------------

// Counts the records it is shown; never fails.
class SchemaFulltextEngine : public TnxBaseFulltextCursorEngine {
  PL_CLASS_INFO_DECL()
 public:
  explicit SchemaFulltextEngine(TnxAbstractCursor* aCursor) : TnxBaseFulltextCursorEngine(nullptr, aCursor) {}
  TnxResult UpdateIndex(TnxBaseTransaction*, PnxRecordBuffer, TnxRefNr, PnxRecordBuffer, TnxRefNr) override {
    return 0;
  }
};

}  // namespace

PL_CLASS_INFO_IMPL(SchemaFulltextEngine, TnxBaseFulltextCursorEngine, "SchemaFulltextEngine", nullptr)

namespace {

TEST_P(CursorSchemaStorageTest, SortOfAnEmptyTableLeavesItEmpty) {
  BuildIndexed(u"se", {});
  TnxServerTableCursor* cursor = OpenOn(u"se");
  StandaloneIndex byName(u"S", kSchemaName, idAll);
  EXPECT_EQ(cursor->stcSortRecords(byName.get()), 0) << platform::toUtf8(nxtest::pendingMessage());
  EXPECT_EQ(RecordCount(cursor), 0u);
  EXPECT_TRUE(IDs(cursor).empty());
}

TEST_P(CursorSchemaStorageTest, SortReordersTheRecordsAndEveryIndexNamesTheRightRecords) {
  BuildIndexed(u"so", {5, 3, 9, 1, 7, 2, 8, 4, 6, 10});
  TnxServerTableCursor* cursor = OpenOn(u"so");
  StandaloneIndex byID(u"S", kSchemaID, idNone);
  ASSERT_EQ(cursor->stcSortRecords(byID.get()), 0) << platform::toUtf8(nxtest::pendingMessage());
  EXPECT_EQ(IDs(cursor), (std::vector<std::int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(KeyCount(cursor, 0), 10u);
  EXPECT_EQ(KeyCount(cursor, 1), 10u);
  // Every key leads to the record it was built from.
  for (const char16_t* index : {u"ByID", u"ByGrp"}) {
    TnxServerTableCursor* scan = OpenOn(u"so", index);
    Bytes record = RecordOf(scan);
    std::vector<std::uint8_t> key(1024), built(1024);
    std::int32_t seen = 0, lastGrp = -1;
    ASSERT_EQ(scan->SetToBegin(), 0);
    while (scan->RecordGetNext(nxltNoLock, record.data()) == 0) {
      ++seen;
      const std::int32_t id = IntOf(scan, record, kSchemaID), grp = IntOf(scan, record, kSchemaGrp);
      EXPECT_EQ(grp, id % 3) << id;
      EXPECT_EQ(NameOf(scan, record), "n" + std::to_string(id));
      if (std::u16string(index) == u"ByGrp") {
        EXPECT_GE(grp, lastGrp) << id;
        lastGrp = grp;
      }
    }
    EXPECT_EQ(seen, 10) << platform::toUtf8(index);
    TnxAbstractServerObject::Free(scan);
  }
  // A key search finds the record with that key.
  TnxServerTableCursor* byKey = OpenOn(u"so", u"ByID");
  for (std::int32_t id : {1, 6, 10}) {
    Bytes probe = Make(byKey, id, "");
    Bytes record = RecordOf(byKey);
    ASSERT_EQ(byKey->RecordGetForKey(0, 0, false, probe.data(), record.data(), true, true), 0) << id;
    EXPECT_EQ(NameOf(byKey, record), "n" + std::to_string(id));
  }
}

TEST_P(CursorSchemaStorageTest, SortRefusesATableWithFullTextIndicesBeforeAnythingChanges) {
  BuildIndexed(u"sf", {3, 1, 2});
  TnxServerTableCursor* cursor = OpenOn(u"sf");
  cursor->SetFulltextEngine(platform::create<SchemaFulltextEngine>(cursor));
  StandaloneIndex byID(u"S", kSchemaID, idNone);
  EXPECT_EQ(cursor->stcSortRecords(byID.get()), nxErrNotSupported);
  cursor->SetFulltextEngine(nullptr);
  EXPECT_EQ(IDs(cursor), (std::vector<std::int32_t>{3, 1, 2}));
}

// The merge sort that runs the test's hook when it has been handed the
// record number hookAt: the end of reading the table, before its records
// are replaced.
class HookedSortEngine : public TnxMergeSortEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxMergeSortEngine::TnxMergeSortEngine;
  TnxResult Put(PnxRecordBuffer aRecord) override {
    const TnxResult result = TnxMergeSortEngine::Put(aRecord);
    if (++put_ == hookAt && onRead) onRead();
    return result;
  }
  static inline std::function<void()> onRead;
  static inline std::int32_t hookAt = 0;

 private:
  std::int32_t put_ = 0;
};

}  // namespace

PL_CLASS_INFO_IMPL_TABLE(HookedSortEngine, TnxMergeSortEngine, "HookedSortEngine", nullptr,
                         platform::bindClassTable(nxSortEngineFuncs<HookedSortEngine>))

namespace {

TEST_F(CursorSchemaTest, SortRacingAWriterLosesNoCommittedChange) {
  nxtest::Watchdog watchdog;
  std::vector<std::int32_t> initial;
  for (std::int32_t id = 200; id > 0; --id) initial.push_back(id);
  BuildIndexed(u"sr", initial);
  const platform::ClassInfo* previous = nxDefaultSortEngineClass.exchange(&HookedSortEngine::staticClassInfo());
  struct Restore {
    const platform::ClassInfo* previous;
    ~Restore() {
      nxDefaultSortEngineClass.store(previous);
      HookedSortEngine::onRead = nullptr;
    }
  } restore{previous};
  // Another session renames one record and adds one while the sort runs;
  // a deadline lets it wait for the sort's content lock.
  TnxServerDatabase* writerDb = NewDatabase();
  TnxServerTableCursor* writerCursor = Open(writerDb, u"ByID", 10000, omReadWrite, smShared, u"sr");
  std::promise<void> go;
  std::promise<void> done;
  TnxResult renamed = -1, inserted = -1;
  std::thread writer([&] {
    go.get_future().wait();
    Bytes probe = Make(writerCursor, 7, "");
    Bytes record = RecordOf(writerCursor);
    // A read outside a transaction may see the record where it stood
    // before the sort moved it: the change then finds another record there
    // (8708) and is made again on the record read anew.
    for (int attempt = 0; attempt < 3 && renamed != 0; ++attempt) {
      if (writerCursor->RecordGetForKey(0, 0, false, probe.data(), record.data(), true, true) != 0) break;
      Bytes changed = Make(writerCursor, 7, "zz7", 7 % 3);
      std::memcpy(record.data(), changed.data(), changed.size() - 16);
      renamed = writerCursor->RecordModify(record.data(), true, nullptr);
    }
    inserted = Insert(writerCursor, 500, "w", 500 % 3);
    done.set_value();
  });
  std::future<void> writerDone = done.get_future();
  bool writerFinishedInside = false;
  HookedSortEngine::hookAt = static_cast<std::int32_t>(initial.size());
  HookedSortEngine::onRead = [&] {
    go.set_value();
    // Long enough for the writer to read and to queue for the content lock;
    // it must not get it before the sort has replaced the records.
    writerFinishedInside = writerDone.wait_for(std::chrono::milliseconds(300)) == std::future_status::ready;
  };
  TnxServerTableCursor* sorter = OpenOn(u"sr");
  StandaloneIndex byName(u"S", kSchemaName, idAll);
  EXPECT_EQ(sorter->stcSortRecords(byName.get()), 0) << platform::toUtf8(nxtest::pendingMessage());
  writer.join();
  EXPECT_FALSE(writerFinishedInside);
  ASSERT_EQ(renamed, 0);
  ASSERT_EQ(inserted, 0);
  TnxServerTableCursor* check = OpenOn(u"sr", u"ByID");
  std::vector<std::int32_t> ids = IDs(check);
  EXPECT_EQ(ids.size(), initial.size() + 1);
  EXPECT_TRUE(std::binary_search(ids.begin(), ids.end(), 500));
  Bytes probe = Make(check, 7, "");
  Bytes record = RecordOf(check);
  ASSERT_EQ(check->RecordGetForKey(0, 0, false, probe.data(), record.data(), true, true), 0);
  EXPECT_EQ(NameOf(check, record), "zz7");
  EXPECT_EQ(IDsOf(u"sr").size(), ids.size());
}

// ---- Renaming fields -------------------------------------------------------------------------

TEST_F(CursorSchemaTest, OnlyTheOnlyCursorOfAResultSetRenamesFields) {
  Build(u"nt", versionedDictionary());
  TnxServerTableCursor* named = OpenOn(u"nt");
  EXPECT_EQ(named->sbcRenameField(1, u"Title"), nxErrNotSupported);
  EXPECT_EQ(Fields(named)->Fields(1)->Name(), u"Name");
  TnxOwned<TnxServerDataDict> dict(nxtest::tableDictionary());
  TnxSqlAbstractCursor* made = db_->sadCreateResultSet(dict.get(), 0);
  auto* result = static_cast<TnxServerTableCursor*>(made);
  struct Row {
    std::int32_t field;
    const char16_t* name;
    TnxResult code;
  } rows[] = {{2, u"Title", nxErrInvalidDescNumber}, {-1, u"Title", nxErrInvalidDescNumber},
              {0, u"Name", nxErrNameNotUnique}, {1, u"Title", 0}};
  for (const Row& row : rows) EXPECT_EQ(result->sbcRenameField(row.field, row.name), row.code) << row.field;
  EXPECT_EQ(Fields(result)->Fields(1)->Name(), u"Title");
  EXPECT_EQ(Fields(result)->GetFieldFromName(u"Title"), 1);
  EXPECT_TRUE(result->Table()->Root()->Dictionary()->ReadOnly());
  TnxAbstractServerObject::Free(result);
}

// ---- Copying records ---------------------------------------------------------------------------

// "ID" (unique "ByID"), "Name" and an auto-increment "AI".
TnxServerDataDict* autoIncDictionary() {
  TnxServerDataDict* dict = nxtest::tableDictionary(true);
  dict->FieldsDescriptor()->AddField(u"AI", u"", nxtAutoInc, 0, 0, false);
  dict->AddAutoIncDescriptor();
  return dict;
}

TEST_P(CursorSchemaStorageTest, CopyRecordsInOneTransactionOrInSlicesKeepsTheAutoIncWithTheCommittedRecords) {
  struct Row {
    std::uint32_t maxTransSize;
    std::vector<std::int32_t> kept;
    std::uint32_t autoInc;
  } rows[] = {
      // One transaction: the key violation at 15 takes everything back.
      {0, {15}, 1},
      // One record a slice: the slices before 15 stay, with their counter.
      {1, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, 14},
  };
  for (const Row& row : rows) {
    const nxString suffix = platform::fromUtf8(std::to_string(row.maxTransSize));
    Build(u"cs" + suffix, autoIncDictionary());
    Build(u"cd" + suffix, autoIncDictionary());
    TnxServerTableCursor* source = OpenOn(u"cs" + suffix, u"ByID");
    for (std::int32_t id = 1; id <= 20; ++id) ASSERT_EQ(Insert(source, id, "c"), 0);
    TnxServerTableCursor* dest = OpenOn(u"cd" + suffix, u"ByID");
    ASSERT_EQ(Insert(dest, 15, "old"), 0);
    EXPECT_EQ(source->CopyRecords(dest, nxbcmCopyFull, row.maxTransSize), 9729) << row.maxTransSize;
    EXPECT_EQ(IDs(dest), row.kept) << row.maxTransSize;
    std::uint32_t value = 0;
    ASSERT_EQ(dest->AutoIncGet(value, false), 0);
    EXPECT_EQ(value, row.autoInc) << row.maxTransSize;
    // Without the obstacle everything arrives, and so does the counter.
    Bytes record = RecordOf(dest);
    ASSERT_EQ(dest->SetToBegin(), 0);
    while (dest->RecordGetNext(nxltNoLock, record.data()) == 0) ASSERT_EQ(dest->RecordDelete(nullptr, 0), 0);
    ASSERT_EQ(source->CopyRecords(dest, nxbcmCopyFull, row.maxTransSize), 0);
    EXPECT_EQ(IDs(dest).size(), 20u);
    ASSERT_EQ(dest->AutoIncGet(value, false), 0);
    EXPECT_EQ(value, 20u);
  }
}

TEST_P(CursorSchemaStorageTest, CopyRecordsCopiesOnlyWhatTheSourceShows) {
  BuildIndexed(u"cv", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  Build(u"ct", nxtest::cursorTestDictionary());
  Build(u"cf", nxtest::cursorTestDictionary());
  TnxServerTableCursor* ranged = OpenOn(u"cv", u"ByID");
  Bytes low = Make(ranged, 4, ""), high = Make(ranged, 7, "");
  ASSERT_EQ(ranged->RangeSet(0, 0, false, low.data(), true, 0, 0, false, high.data(), true), 0);
  TnxServerTableCursor* dest = OpenOn(u"ct", u"ByID");
  ASSERT_EQ(ranged->CopyRecords(dest, nxbcmCopyFull, 0), 0);
  EXPECT_EQ(IDs(dest), (std::vector<std::int32_t>{4, 5, 6, 7}));
  TnxServerTableCursor* filtered = OpenOn(u"cv");
  TnxFilterID filterID = 0;
  ASSERT_EQ(filtered->FilterAddCallback(
                nullptr, [](void*, const void* aRecord) {
                  std::int32_t id = 0;
                  std::memcpy(&id, aRecord, 4);
                  return id % 2 == 0;
                },
                filterID, true),
            0);
  TnxServerTableCursor* evens = OpenOn(u"cf", u"ByID");
  ASSERT_EQ(filtered->CopyRecords(evens, nxbcmCopyFull, 3), 0);
  EXPECT_EQ(IDs(evens), (std::vector<std::int32_t>{2, 4, 6, 8, 10}));
  // Both cursors stand where they stood.
  EXPECT_EQ(ranged->sbcGetPosition(), ippBof);
}

TEST_F(CursorSchemaTest, CopyRecordsRefusals) {
  BuildIndexed(u"ra", {1, 2});
  BuildIndexed(u"rb", {});
  Build(u"rc", versionedDictionary());
  TnxServerTableCursor* source = OpenOn(u"ra");
  TnxServerTableCursor* sameTable = OpenOn(u"ra");
  TnxServerTableCursor* otherFields = OpenOn(u"rc");
  TnxServerDatabase* otherSession = NewDatabase();
  TnxServerTableCursor* foreign = OpenOn(u"rb", u"", smShared, otherSession);
  TnxServerTableCursor* readOnly = OpenOn(u"rb", u"", smShared, db_, omReadOnly);
  // A cache cursor of the same session, on a cache folder of its own; its
  // dictionary names the compression type of cache records.
  constexpr std::uint8_t kCacheCompressType = 11;
  nxRegisterCompressor(kCacheCompressType, &SchemaPassCompressor::staticClassInfo());
  struct Unregister {
    ~Unregister() { nxRegisterCompressor(kCacheCompressType, nullptr); }
  } unregister;
  fixture_.Fs().makeDirectory("/data/cache");
  TnxAbstractDatabase* cacheDb = nullptr;
  ASSERT_EQ(sessions_.front()->DatabaseCacheOpen(cacheDb, u"Path", u"/data/cache", nullptr, omReadWrite, smShared, 0),
            0);
  {
    // A cache keeps the sequential access index.
    TnxOwned<TnxServerDataDict> dict(nxtest::tableDictionary());
    platform::objectAs<TnxCompKeyDescriptor>(
        dict->EnsureIndicesDescriptor()->AddIndex(u"ByID", 0, idNone, u"")->KeyDescriptor())
        ->Add(0);
    dict->MakeCacheable(true);
    dict->MakeCache(false);
    ASSERT_EQ(static_cast<TnxServerDatabase*>(cacheDb)->Folder()->sfTableBuild(false, u"rd", u"", false, dict.get(),
                                                                               tsPersistent),
              0)
        << platform::toUtf8(nxtest::pendingMessage());
  }
  TnxAbstractCursor* cache = nullptr;
  ASSERT_EQ(cacheDb->CursorCacheOpen(cache, u"rd", u"", omReadWrite, smShared, 0, u"", -1, false, {}, 500), 0)
      << platform::toUtf8(nxtest::pendingMessage());
  struct Row {
    const char* what;
    TnxAbstractCursor* dest;
    TnxResult code;
  } rows[] = {
      {"no table cursor", nullptr, nxErrInvalidHandle},
      {"another session", foreign, nxErrDifferentSessions},
      {"the same table", sameTable, nxErrSameTable},
      {"a cache cursor", cache, nxErrNotSupported},
      {"other fields", otherFields, nxErrIncompatibleDictionaries},
  };
  for (const Row& row : rows) EXPECT_EQ(source->CopyRecords(row.dest, nxbcmCopyFull, 0), row.code) << row.what;
  EXPECT_NE(source->CopyRecords(readOnly, nxbcmCopyFull, 0), 0);
  EXPECT_TRUE(IDs(readOnly).empty());
  TnxAbstractServerObject::Free(cache);
}

TEST_P(CursorSchemaStorageTest, CopyRecordsCopiesDropsOrLinksBlobsByMode) {
  constexpr std::int32_t kBlobField = 2;
  Build(u"bs", nxtest::tableDictionary(false, true));
  TnxServerTableCursor* source = OpenOn(u"bs");
  {
    auto* context = static_cast<TnxServerTransContext*>(db_->TransContext());
    ASSERT_EQ(context->stcTransactionStart(false, false, false, false, false, true), 0);
    ASSERT_EQ(source->sbcBeginContentLock(true, false, false), 0);
    TnxBaseTransaction* trans = context->Transaction();
    for (std::int32_t id = 1; id <= 3; ++id) {
      Bytes record = Make(source, id, "b");
      const std::string memo = "memo of " + std::to_string(id);
      TnxBlobNr number = 0;
      source->Table()->BlobEngine()->AddBlob(trans, number);
      source->Table()->BlobEngine()->Write(trans, number, 0, static_cast<std::uint32_t>(memo.size()), memo.data());
      Fields(source)->SetRecordField(kBlobField, record.data(), &number);
      TnxRefNr refNr = 0;
      source->Table()->RecordEngine()->AddRecord(trans, refNr, record.data());
    }
    ASSERT_EQ(context->stcTransactionCommit(), 0);
  }
  struct Row {
    TnxBlobCopyMode mode;
    const char16_t* table;
    bool present;
    bool link;
  } rows[] = {{nxbcmNoCopy, u"b0", false, false},
              {nxbcmCopyFull, u"b1", true, false},
              {nxbcmCreateLink, u"b2", true, true}};
  for (const Row& row : rows) {
    Build(row.table, nxtest::tableDictionary(false, true));
    TnxServerTableCursor* dest = OpenOn(row.table);
    ASSERT_EQ(source->CopyRecords(dest, row.mode, 0), 0) << row.mode << platform::toUtf8(nxtest::pendingMessage());
    Bytes record = RecordOf(dest);
    ASSERT_EQ(dest->SetToBegin(), 0);
    std::int32_t seen = 0;
    while (dest->RecordGetNext(nxltNoLock, record.data()) == 0) {
      ++seen;
      const std::int32_t id = IntOf(dest, record, kSchemaID);
      const bool isNull = Fields(dest)->IsRecordFieldNull(kBlobField, record.data());
      EXPECT_EQ(!isNull, row.present) << row.mode << " " << id;
      if (isNull) continue;
      TnxBlobNr number = 0;
      bool null = false;
      Fields(dest)->GetRecordField(kBlobField, record.data(), null, &number);
      const TnxRecID recID{dest->sacGetRefNr(), 0};
      TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
      ASSERT_EQ(dest->BlobRead(recID, kBlobField, number, 0, 0x7FFFFFFF, *stream, false, nullptr), 0) << row.mode;
      EXPECT_EQ(std::string(static_cast<const char*>(stream->Memory()), static_cast<std::size_t>(stream->Size())),
                "memo of " + std::to_string(id))
          << row.mode;
      nxString linkedTable;
      TnxBlobNr linkedNr = 0;
      EXPECT_EQ(dest->sbcBlobIsLink(recID, kBlobField, number, linkedTable, linkedNr), row.link) << row.mode;
      if (row.link) {
        EXPECT_EQ(linkedTable, N(u"bs"));
      }
    }
    EXPECT_EQ(seen, 3) << row.mode;
  }
}

// ---- Deleting records ------------------------------------------------------------------------

TEST_P(CursorSchemaStorageTest, DeleteRecordsDeletesOnlyWhatTheCursorShows) {
  BuildIndexed(u"dr", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  TnxServerTableCursor* ranged = OpenOn(u"dr", u"ByID");
  Bytes low = Make(ranged, 3, ""), high = Make(ranged, 5, "");
  ASSERT_EQ(ranged->RangeSet(0, 0, false, low.data(), true, 0, 0, false, high.data(), true), 0);
  ASSERT_EQ(ranged->DeleteRecords(), 0) << platform::toUtf8(nxtest::pendingMessage());
  TnxServerTableCursor* filtered = OpenOn(u"dr");
  TnxFilterID filterID = 0;
  ASSERT_EQ(filtered->FilterAddCallback(
                nullptr, [](void*, const void* aRecord) {
                  std::int32_t id = 0;
                  std::memcpy(&id, aRecord, 4);
                  return id > 8;
                },
                filterID, true),
            0);
  ASSERT_EQ(filtered->DeleteRecords(), 0);
  EXPECT_EQ(IDsOf(u"dr", u"ByID"), (std::vector<std::int32_t>{1, 2, 6, 7, 8}));
  EXPECT_EQ(IDsOf(u"dr", u"ByGrp").size(), 5u);
  EXPECT_EQ(RecordCount(ranged), 5u);
  // A read-only cursor deletes nothing.
  TnxServerTableCursor* readOnly = OpenOn(u"dr", u"", smShared, db_, omReadOnly);
  EXPECT_NE(readOnly->DeleteRecords(), 0);
  EXPECT_EQ(RecordCount(ranged), 5u);
}

// ---- Named streams ---------------------------------------------------------------------------

std::string streamText(TnxMemoryStream& aStream) {
  return std::string(static_cast<const char*>(aStream.Memory()), static_cast<std::size_t>(aStream.Size()));
}

TEST_P(CursorSchemaStorageTest, NamedStreamsCheckTheirNamesAndHideReservedOnes) {
  BuildIndexed(u"ns", {});
  TnxServerTableCursor* cursor = OpenOn(u"ns");
  TnxOwned<TnxMemoryStream> data(platform::create<TnxMemoryStream>());
  data->Write("hello", 5);
  for (const char16_t* bad : {u"", u"Trail ", u" Lead", u"$Reserved", u"bad\u00e9"}) {
    data->SetPosition(0);
    EXPECT_EQ(cursor->TableStreamWrite(bad, *data), nxErrInvalidName) << platform::toUtf8(bad);
    EXPECT_EQ(cursor->TableStreamRead(bad, *data), nxErrInvalidName) << platform::toUtf8(bad);
    EXPECT_EQ(cursor->TableStreamDelete(bad), nxErrInvalidName) << platform::toUtf8(bad);
  }
  data->SetPosition(0);
  ASSERT_EQ(cursor->TableStreamWrite(u"Notes", *data), 0) << platform::toUtf8(nxtest::pendingMessage());
  // A reserved name is the engine's, written even through a read-only cursor.
  TnxServerTableCursor* readOnly = OpenOn(u"ns", u"", smShared, db_, omReadOnly);
  data->SetPosition(0);
  EXPECT_NE(readOnly->TableStreamWrite(u"Other", *data), 0);
  data->SetPosition(0);
  ASSERT_EQ(readOnly->sbcTableStreamWrite(u"$Internal", *data, true), 0)
      << platform::toUtf8(nxtest::pendingMessage());
  platform::TStringList names;
  // Hiding the reserved name refuses nothing: the thread's message stays.
  EnxBaseException::SetLastConvertedException(0, u"");
  ASSERT_EQ(cursor->TableStreamGetList(names), 0);
  EXPECT_EQ(platform::toUtf8(nxtest::pendingMessage()), "");
  EXPECT_GE(names.indexOf(u"Notes"), 0);
  EXPECT_LT(names.indexOf(u"$Internal"), 0);
  ASSERT_EQ(cursor->sbcTableStreamGetList(names, true), 0);
  EXPECT_GE(names.indexOf(u"$Internal"), 0);
  TnxOwned<TnxMemoryStream> read(platform::create<TnxMemoryStream>());
  ASSERT_EQ(cursor->TableStreamRead(u"Notes", *read), 0);
  EXPECT_EQ(streamText(*read), "hello");
  ASSERT_EQ(cursor->TableStreamDelete(u"Notes"), 0);
  ASSERT_EQ(cursor->TableStreamGetList(names), 0);
  EXPECT_LT(names.indexOf(u"Notes"), 0);
}

// ---- Password -------------------------------------------------------------------------------

TEST_F(CursorSchemaTest, ChangePasswordTakesEffectForTheNextOpen) {
  {
    TnxOwned<TnxServerDataDict> dict(nxtest::tableDictionary(true));
    ASSERT_EQ(db_->Folder()->sfTableBuild(false, u"pt", u"old", false, dict.get(), tsPersistent), 0);
  }
  auto openWith = [&](const nxString& aPassword, TnxOpenMode aMode, TnxAbstractCursor*& aCursor) {
    return db_->CursorOpen(aCursor, u"pt", aPassword, aMode, smShared, 0, u"", -1, false, {}, 500, nullptr);
  };
  TnxAbstractCursor* cursor = nullptr;
  ASSERT_EQ(openWith(u"old", omReadWrite, cursor), 0);
  EXPECT_EQ(static_cast<TnxServerTableCursor*>(cursor)->sbcExtractPassword(), u"old");
  TnxAbstractCursor* reader = nullptr;
  ASSERT_EQ(openWith(u"old", omReadOnly, reader), 0);
  EXPECT_NE(reader->ChangePassword(u"other"), 0);
  ASSERT_EQ(cursor->ChangePassword(u"new"), 0) << platform::toUtf8(nxtest::pendingMessage());
  TnxAbstractServerObject::Free(cursor);
  TnxAbstractServerObject::Free(reader);
  TnxAbstractCursor* again = nullptr;
  EXPECT_NE(openWith(u"old", omReadWrite, again), 0);
  ASSERT_EQ(openWith(u"new", omReadWrite, again), 0);
  TnxAbstractServerObject::Free(again);
  // A table without encryption has no password to change.
  BuildIndexed(u"np", {});
  TnxServerTableCursor* plain = OpenOn(u"np");
  EXPECT_EQ(plain->ChangePassword(u"x"), nxErrNotSupported);
}

// ---- LSN and graveyard queries -------------------------------------------------------------

// A cacheable table: the sequential access index, "ByID", the LSN and
// RefNr fields and the graveyard.
TnxServerDataDict* cacheableDictionary() {
  TnxServerDataDict* dict = platform::create<TnxServerDataDict>();
  dict->FieldsDescriptor()->AddField(u"ID", u"", nxtInt32, 0, 0, false);
  dict->FieldsDescriptor()->AddField(u"Name", u"", nxtShortString, 20, 0, false);
  TnxIndexDescriptor* index = dict->EnsureIndicesDescriptor()->AddIndex(u"ByID", 0, idNone, u"");
  platform::objectAs<TnxCompKeyDescriptor>(index->KeyDescriptor())->Add(0);
  dict->MakeCacheable(true);
  return dict;
}

TEST_P(CursorSchemaStorageTest, DeletedRecordsComeFromTheGraveyardInLSNOrder) {
  Build(u"gy", cacheableDictionary());
  TnxServerTableCursor* cursor = OpenOn(u"gy", u"ByID");
  for (std::int32_t id = 1; id <= 6; ++id) ASSERT_EQ(Insert(cursor, id, "g"), 0);
  std::vector<TnxRefNr> deleted;
  Bytes record = RecordOf(cursor);
  ASSERT_EQ(cursor->SetToBegin(), 0);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), 0);
    deleted.push_back(cursor->sacGetRefNr());
    ASSERT_EQ(cursor->RecordDelete(nullptr, 0), 0);
  }
  TnxRecordCacheInfos all;
  TnxLSN current = 0;
  ASSERT_EQ(cursor->GetDeletedRecords(0, all, 100, &current), 0) << platform::toUtf8(nxtest::pendingMessage());
  ASSERT_EQ(all.size(), 5u);
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(all[i].rciRefNr, deleted[i]) << i;
    if (i > 0) {
      EXPECT_GT(all[i].rciModifyLSN, all[i - 1].rciModifyLSN) << i;
    }
  }
  EXPECT_EQ(current, cursor->stcGetCurrentLSN());
  TnxRecordCacheInfos two;
  ASSERT_EQ(cursor->GetDeletedRecords(0, two, 2, &current), 0);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[1].rciRefNr, deleted[1]);
  EXPECT_EQ(current, two[1].rciModifyLSN);
  // From the second on: the three after it.
  TnxRecordCacheInfos later;
  ASSERT_EQ(cursor->GetDeletedRecords(two[1].rciModifyLSN, later, 100, nullptr), 0);
  ASSERT_EQ(later.size(), 3u);
  EXPECT_EQ(later[0].rciRefNr, deleted[2]);
  TnxRecordCacheInfos none;
  EXPECT_EQ(cursor->GetDeletedRecords(all.back().rciModifyLSN, none, 2, &current), nxErrEOF);
  EXPECT_TRUE(none.empty());
  // A table without graveyard has nothing to answer with.
  BuildIndexed(u"ng", {1});
  TnxServerTableCursor* plain = OpenOn(u"ng");
  EXPECT_EQ(plain->GetDeletedRecords(0, none, 2, nullptr), nxErrNoAssociatedIndex);
  TnxLSN lsn = 1;
  TnxRefNr refNr = 1;
  EXPECT_EQ(plain->ContainsLSNRefNr(lsn, refNr), nxErrNoAssociatedIndex);
}

TEST_P(CursorSchemaStorageTest, ContainsLSNRefNrMatchesTheHalvesOfOneRecord) {
  Build(u"cl", cacheableDictionary());
  TnxServerTableCursor* cursor = OpenOn(u"cl", u"ByID");
  for (std::int32_t id = 1; id <= 3; ++id) ASSERT_EQ(Insert(cursor, id, "c"), 0);
  TnxSpecialFieldsInfo* sfi = cursor->Table()->SFI();
  ASSERT_GE(sfi->sfiFields[sftModifyLSN], 0);
  // The second record's two halves, and the third's.
  Bytes record = RecordOf(cursor);
  TnxLSN lsns[2] = {};
  TnxRefNr refs[2] = {};
  ASSERT_EQ(cursor->SetToBegin(), 0);
  ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), 0);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), 0);
    refs[i] = cursor->sacGetRefNr();
    std::memcpy(&lsns[i], record.data() + sfi->sfiOffsets[sftModifyLSN], 8);
  }
  ASSERT_NE(lsns[0], lsns[1]);
  struct Row {
    const char* what;
    TnxLSN lsn;
    TnxRefNr refNr;
    TnxResult code;
    TnxLSN lsnAfter;
    TnxRefNr refNrAfter;
  } rows[] = {
      {"LSN finds its reference", lsns[0], 0, 0, lsns[0], refs[0]},
      {"LSN and its reference", lsns[0], refs[0], 0, lsns[0], refs[0]},
      {"LSN of another record", lsns[1], refs[0], nxErrKeyOrRecDeleted, lsns[1], refs[0]},
      {"unknown LSN", lsns[1] + 1000, 0, nxErrRecordNotFound, lsns[1] + 1000, 0},
      {"reference finds its LSN", 0, refs[1], 0, lsns[1], refs[1]},
      {"unknown reference", 0, refs[1] + 123456, nxErrRecordNotFound, 0, refs[1] + 123456},
  };
  for (const Row& row : rows) {
    TnxLSN lsn = row.lsn;
    TnxRefNr refNr = row.refNr;
    EXPECT_EQ(cursor->ContainsLSNRefNr(lsn, refNr), row.code) << row.what;
    EXPECT_EQ(lsn, row.lsnAfter) << row.what;
    EXPECT_EQ(refNr, row.refNrAfter) << row.what;
  }
}

INSTANTIATE_TEST_SUITE_P(Storage, CursorSchemaStorageTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& aInfo) { return aInfo.param ? "Memory" : "Disk"; });

}  // namespace
