// Default-value engines and the handler: which engines a side gets, how
// insert and modify fill fields and null bits, and the values of the engines.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "nxllBde.h"
#include "nxllUtils.h"
#include "nxsdDataDictionary.h"
#include "nxsdDefaultValueEngine.h"
#include "nxFakeServerEngine.h"
#include "nxFakeServerObjects.h"
#include "nxsdQuestionBank.h"
#include "nxsdTestSupport.h"
#include "plDateTime.h"
#include "plGuid.h"

// A default whose class has no engine.
class TnxOrphanDefaultValueDescriptor : public TnxBaseDefaultValueDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseDefaultValueDescriptor::TnxBaseDefaultValueDescriptor;
};
PL_CLASS_INFO_IMPL_TABLE(TnxOrphanDefaultValueDescriptor, TnxBaseDefaultValueDescriptor,
                         "TnxOrphanDefaultValueDescriptor", nullptr,
                         platform::bindClassTable(nxDefaultValueDescriptorFuncs<TnxOrphanDefaultValueDescriptor>))

namespace {

using namespace nxsdtest;

using Handler = TnxOwned<TnxDefaultValueHandler>;

class DefaultValueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nxllUtilsInitialize();
    nxsdDataDictionaryInitialize(std::span<const nxString>());
    d = newDictionary();
    fields = d->FieldsDescriptor();
  }
  void TearDown() override {
    platform::setNowSource(nullptr);
    d.reset();
    nxsdDataDictionaryFinalize();
    nxllUtilsFinalize();
  }

  TnxFieldDescriptor* addField(const nxString& aName, TnxFieldType aType, std::int32_t aUnits = 0) {
    return fields->AddField(aName, u"", aType, aUnits, 0, false);
  }
  // A constant default of aValue on a new Int32 field.
  TnxConstDefaultValueDescriptor* constField(const char16_t* aName, std::int32_t aValue) {
    auto* dv = static_cast<TnxConstDefaultValueDescriptor*>(addField(aName, nxtInt32)->AddDefaultValue());
    dv->SetAsVariant(platform::Variant(aValue));
    return dv;
  }
  std::vector<std::uint8_t> newRecord() {
    std::vector<std::uint8_t> r(static_cast<std::size_t>(fields->RecordLength()));
    fields->InitRecord(r.data());
    return r;
  }
  std::int32_t intAt(const std::vector<std::uint8_t>& aRecord, std::int32_t aField) {
    std::int32_t v = 0;
    std::memcpy(&v, aRecord.data() + fields->Fields(aField)->fdOffset, 4);
    return v;
  }
  void setInt(std::vector<std::uint8_t>& aRecord, std::int32_t aField, std::int32_t aValue) {
    fields->SetRecordField(aField, aRecord.data(), &aValue);
  }
  bool isNull(const std::vector<std::uint8_t>& aRecord, std::int32_t aField) {
    return fields->IsRecordFieldNull(aField, aRecord.data());
  }

  DictPtr d;
  TnxFieldsDescriptor* fields = nullptr;
};

TEST_F(DefaultValueTest, NoDefaultForTheSideGivesNoHandler) {
  addField(u"PLAIN", nxtInt32);
  EXPECT_EQ(TnxDefaultValueHandler::CreateFor(fields, aaServer, nullptr), nullptr);
  constField(u"C", 5)->SetApplyAt(nxApplyAtBit(aaClient));
  EXPECT_EQ(TnxDefaultValueHandler::CreateFor(fields, aaServer, nullptr), nullptr);
  Handler client(TnxDefaultValueHandler::CreateFor(fields, aaClient, nullptr));
  ASSERT_TRUE(client);
  EXPECT_EQ(client->EngineCount(), 1);
}

TEST_F(DefaultValueTest, InsertFillsNullFieldsAndOverwritesOnlyWhenAsked) {
  constField(u"KEEP", 7);
  constField(u"OVER", 8)->SetOverwriteNonNull(true);
  constField(u"MOD", 9)->SetApplyOnModify(true);
  Handler h(TnxDefaultValueHandler::CreateFor(fields, aaServer, nullptr));
  ASSERT_TRUE(h);

  // All NULL: every insert default fills its field and clears its null bit.
  auto r = newRecord();
  h->SetDefaultValuesInsert(r.data());
  for (std::int32_t f = 0; f < 3; ++f) {
    EXPECT_FALSE(isNull(r, f)) << f;
    EXPECT_EQ(intAt(r, f), 7 + f);
  }

  // Given values: kept, unless the default overwrites.
  r = newRecord();
  for (std::int32_t f = 0; f < 3; ++f) setInt(r, f, 100 + f);
  h->SetDefaultValuesInsert(r.data());
  EXPECT_EQ(intAt(r, 0), 100);
  EXPECT_EQ(intAt(r, 1), 8);
  EXPECT_EQ(intAt(r, 2), 102);
}

TEST_F(DefaultValueTest, ModifyTouchesOnlyFieldsFlaggedForIt) {
  constField(u"INSERTONLY", 1);
  constField(u"BOTH", 2)->SetApplyOnModify(true);
  Handler h(TnxDefaultValueHandler::CreateFor(fields, aaServer, nullptr));
  ASSERT_TRUE(h);
  auto r = newRecord();
  h->SetDefaultValuesModify(r.data());
  EXPECT_TRUE(isNull(r, 0));
  EXPECT_FALSE(isNull(r, 1));
  EXPECT_EQ(intAt(r, 1), 2);
}

TEST_F(DefaultValueTest, SetDefaultValueOfOneField) {
  addField(u"NONE", nxtInt32);
  constField(u"C", 42);
  Handler h(TnxDefaultValueHandler::CreateFor(fields, aaServer, nullptr));
  ASSERT_TRUE(h);
  auto r = newRecord();
  setInt(r, 1, 5);
  const auto before = r;
  EXPECT_FALSE(h->SetDefaultValue(r.data(), 0));
  EXPECT_FALSE(h->SetDefaultValue(r.data(), 7));  // outside the fields
  EXPECT_EQ(r, before);
  // Whatever the field holds and whatever the flags.
  EXPECT_TRUE(h->SetDefaultValue(r.data(), 1));
  EXPECT_EQ(intAt(r, 1), 42);
}

TEST_F(DefaultValueTest, NextLSNDefaultGetsNoEngine) {
  TnxFieldDescriptor* lsn = addField(u"LSN", nxtInt64);
  lsn->AddDefaultValue(&TnxNextLSNDefaultValueDescriptor::staticClassInfo());
  EXPECT_EQ(TnxBaseDefaultValueEngine::CreateFor(lsn->DefaultValue(), nullptr), nullptr);
  EXPECT_EQ(TnxDefaultValueHandler::CreateFor(fields, aaServer, nullptr), nullptr);
  constField(u"C", 1);
  Handler h(TnxDefaultValueHandler::CreateFor(fields, aaServer, nullptr));
  ASSERT_TRUE(h);
  EXPECT_EQ(h->EngineCount(), 1);
  auto r = newRecord();
  EXPECT_FALSE(h->SetDefaultValue(r.data(), 0));
  EXPECT_TRUE(isNull(r, 0));
}

platform::DateTime examDayAfternoon() { return platform::encodeDateTime(2025, 4, 20, 13, 45, 30, 250); }

TEST_F(DefaultValueTest, CurrentDateTimeInTheStoredForms) {
  platform::setNowSource(&examDayAfternoon);
  for (TnxFieldType type : {nxtDate, nxtTime, nxtDateTime, nxtInt32})
    addField(nxString(u"F") + char16_t(u'a' + type), type)->AddDefaultValue(
        &TnxCurrentDateTimeDefaultValueDescriptor::staticClassInfo());
  Handler h(TnxDefaultValueHandler::CreateFor(fields, aaServer, nullptr));
  ASSERT_TRUE(h);
  auto r = newRecord();
  h->SetDefaultValuesInsert(r.data());
  const std::int32_t msOfDay = ((13 * 60 + 45) * 60 + 30) * 1000 + 250;
  EXPECT_EQ(intAt(r, 0), 739361);
  EXPECT_EQ(intAt(r, 1), msOfDay);
  double dateTime = 0;
  std::memcpy(&dateTime, r.data() + fields->Fields(2)->fdOffset, 8);
  EXPECT_EQ(dateTime, 739361.0 * 86400000 + msOfDay);
  // Other types get nothing written but count as set.
  EXPECT_EQ(intAt(r, 3), 0);
  EXPECT_FALSE(isNull(r, 3));
}

TEST_F(DefaultValueTest, GuidAndEmptyDefaults) {
  addField(u"G", nxtGuid)->AddDefaultValue(&TnxAutoGuidDefaultValueDescriptor::staticClassInfo());
  addField(u"E", nxtWideString, 4)->AddDefaultValue(&TnxEmptyDefaultValueDescriptor::staticClassInfo());
  Handler h(TnxDefaultValueHandler::CreateFor(fields, aaServer, nullptr));
  ASSERT_TRUE(h);
  auto r = newRecord();
  std::memset(r.data(), 0xAB, static_cast<std::size_t>(fields->LogicalRecordLength()));
  h->SetDefaultValuesInsert(r.data());
  platform::Guid first;
  std::memcpy(&first, r.data(), 16);
  EXPECT_EQ(first.D3 >> 12, 4);  // a random GUID
  EXPECT_FALSE(isNull(r, 0));
  TnxFieldDescriptor* e = fields->Fields(1);
  EXPECT_TRUE(std::all_of(r.begin() + e->fdOffset, r.begin() + e->fdOffset + e->fdLength,
                          [](std::uint8_t b) { return b == 0; }));
  // Each call takes a new one.
  ASSERT_TRUE(h->SetDefaultValue(r.data(), 0));
  platform::Guid second;
  std::memcpy(&second, r.data(), 16);
  EXPECT_NE(first, second);
}

TEST_F(DefaultValueTest, EngineClassIsFoundOnceAndCached) {
  TnxConstDefaultValueDescriptor* dv = constField(u"C", 3);
  EXPECT_EQ(dv->CachedEngineClass(), nullptr);
  TnxOwned<TnxBaseDefaultValueEngine> engine(TnxBaseDefaultValueEngine::CreateFor(dv, nullptr));
  ASSERT_TRUE(engine);
  EXPECT_EQ(&engine->classInfo(), &TnxConstDefaultValueEngine::staticClassInfo());
  EXPECT_EQ(engine->FieldDescriptor(), fields->Fields(0));
  EXPECT_EQ(dv->CachedEngineClass(), &TnxConstDefaultValueEngine::staticClassInfo());
}

TEST_F(DefaultValueTest, UnknownEngineFailsTheHandler) {
  constField(u"C", 3);
  addField(u"X", nxtInt32)->AddDefaultValue(&TnxOrphanDefaultValueDescriptor::staticClassInfo());
  expectCode<EnxBaseDefaultValueEngineException>(
      [&] { Handler h(TnxDefaultValueHandler::CreateFor(fields, aaServer, nullptr)); }, nxErrUnsupportedSubEngine,
      u"Unknown DefaultValue engine: \"TnxOrphanDefaultValueEngine\"");
}

// --------------------------------------------------------------- with a cursor

// A cursor whose next LSN the test sets.
class TnxLSNTestCursor : public TnxFakeCursor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxFakeCursor::TnxFakeCursor;
  bool GetNextLSN(TnxLSN& aLSN) override {
    if (next < 0) return false;
    aLSN = next++;
    return true;
  }
  TnxLSN next = -1;
};

}  // namespace

PL_CLASS_INFO_IMPL(TnxLSNTestCursor, TnxFakeCursor, "TnxLSNTestCursor", nullptr)

namespace {

// A table "people" in folder "/db", opened by user aUser.
class CursorDefaultValueTest : public DefaultValueTest {
 protected:
  // The table's fake and a session of aUser with the database open.
  TnxFakeTable& OpenDatabase(const nxString& aUser) {
    engine = platform::create<TnxFakeServerEngine>();
    TnxFakeTable& table = engine->feStore.AddTable(u"/db", u"people", *d);
    EXPECT_EQ(engine->SessionOpenEx(session, aUser, u"", u"", 0, nxCurrentProtocolVersion), 0);
    EXPECT_EQ(session->DatabaseOpen(database, u"Path", u"/db", nullptr, omReadWrite, smShared, 0), 0);
    return table;
  }
  void OpenCursor(const nxString& aUser) {
    OpenDatabase(aUser);
    ASSERT_NE(database, nullptr);
    ASSERT_EQ(database->CursorOpen(cursor, u"people", u"", omReadWrite, smShared, 0, u"", -1, false, {}, 0, nullptr),
              0);
  }
  void TearDown() override {
    if (session) TnxAbstractServerObject::Free(session);
    if (engine) platform::TObject::free(engine);
    DefaultValueTest::TearDown();
  }
  TnxFakeServerEngine* engine = nullptr;
  TnxAbstractSession* session = nullptr;
  TnxAbstractDatabase* database = nullptr;
  TnxAbstractCursor* cursor = nullptr;
};

TEST_F(CursorDefaultValueTest, CurrentUserLandsInEveryStringForm) {
  for (auto [name, type, units] : {std::tuple{u"SHORT", nxtShortString, 10}, std::tuple{u"NULLSTR", nxtNullString, 10},
                                   std::tuple{u"WIDE", nxtWideString, 10}, std::tuple{u"TINY", nxtWideString, 3}})
    addField(name, type, units)->AddDefaultValue(&TnxCurrentUserDefaultValueDescriptor::staticClassInfo());
  OpenCursor(u"Sakura");
  Handler h(TnxDefaultValueHandler::CreateFor(fields, aaServer, cursor));
  ASSERT_TRUE(h);
  auto r = newRecord();
  h->SetDefaultValuesInsert(r.data());
  for (std::int32_t f = 0; f < 3; ++f) {
    EXPECT_FALSE(isNull(r, f));
    EXPECT_EQ(fields->fsdGetFieldByIndexAsVariant(r.data(), f).toString(), u"Sakura") << f;
  }
  // A field shorter than the name gets what fits.
  EXPECT_EQ(fields->fsdGetFieldByIndexAsVariant(r.data(), 3).toString(), u"Sak");
}

TEST_F(CursorDefaultValueTest, NextLSNEngineAnswersTheCursor) {
  TnxFieldDescriptor* lsn = addField(u"LSN", nxtInt64);
  lsn->AddDefaultValue(&TnxNextLSNDefaultValueDescriptor::staticClassInfo());
  TnxFakeTable& table = OpenDatabase(u"u");
  ASSERT_NE(database, nullptr);
  auto* lsnCursor = platform::create<TnxLSNTestCursor>(static_cast<TnxFakeDatabase*>(database), &table, 0u, -1);
  // Handlers never get one; built directly, it writes what the cursor answers.
  EXPECT_EQ(TnxDefaultValueHandler::CreateFor(fields, aaServer, lsnCursor), nullptr);
  TnxOwned<TnxBaseDefaultValueEngine> engineOfField(
      platform::create<TnxNextLSNDefaultValueEngine>(lsn->DefaultValue(), lsnCursor));
  std::int64_t value = 0;
  EXPECT_FALSE(engineOfField->SetDefaultValue(&value));
  lsnCursor->next = 41;
  EXPECT_TRUE(engineOfField->SetDefaultValue(&value));
  EXPECT_EQ(value, 41);
  TnxAbstractServerObject::Free(lsnCursor);
}

}  // namespace
