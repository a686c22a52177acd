// Field and record mapper engines over tables of the fake engine, and the
// record and table mapper descriptors with their streams.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nxExpectCode.h"
#include "nxFakeTables.h"
#include "nxllBde.h"
#include "nxsrFieldMapper.h"
#include "plErrors.h"
#include "plStringList.h"

using nxfake::FakeDatabase;
using nxfake::Record;

namespace {

// The pending message of the thread split at CR LF.
std::vector<std::u16string> pendingLines(TnxResult aCode) {
  TnxResult code = 0;
  nxString message;
  EnxBaseException::GetLastConvertedException(code, message);
  EXPECT_EQ(code, aCode);
  std::vector<std::u16string> lines;
  std::size_t start = 0;
  for (std::size_t at; (at = message.find(u"\r\n", start)) != nxString::npos; start = at + 2)
    lines.push_back(nxUnescapeMarkers(message.substr(start, at - start)));
  lines.push_back(nxUnescapeMarkers(message.substr(start)));
  return lines;
}

void addConstDefault(TnxDataDictionary& aDict, const nxString& aField, const platform::Variant& aValue) {
  TnxFieldDescriptor* field = aDict.FieldsDescriptor()->Fields(aDict.FieldsDescriptor()->GetFieldFromName(aField));
  auto* def = static_cast<TnxConstDefaultValueDescriptor*>(
      field->AddDefaultValue(&TnxConstDefaultValueDescriptor::staticClassInfo()));
  def->SetAsVariant(aValue);
}

class FieldMapperEngines : public ::testing::Test {
 protected:
  void SetUp() override {
    nxsrFieldMapperInitialize();
    fake = std::make_unique<FakeDatabase>();
  }
  void TearDown() override {
    fake.reset();
    nxsrFieldMapperFinalize();
  }

  TnxOwned<TnxFieldMapperDescriptor> Desc(const nxString& aSource, const nxString& aTarget, TnxDataLossAction aAction,
                                          bool aApplyDefault = false) {
    TnxOwned<TnxFieldMapperDescriptor> d(platform::create<TnxFieldMapperDescriptor>(aSource, aTarget, aAction));
    d->SetApplyDefault(aApplyDefault);
    return d;
  }

  std::unique_ptr<FakeDatabase> fake;
};

// Amount is field 3 on both sides: Int32 source, Int8 target with default 7.
class AmountMapping : public FieldMapperEngines {
 protected:
  void SetUp() override {
    FieldMapperEngines::SetUp();
    fake->AddTable(u"src", {{u"A", nxtInt32, 0}, {u"B", nxtInt32, 0}, {u"C", nxtInt32, 0}, {u"Amount", nxtInt32, 0},
                            {u"Name", nxtWideString, 20}});
    fake->AddTable(u"dst",
                   {{u"A", nxtInt32, 0}, {u"B", nxtInt32, 0}, {u"C", nxtInt32, 0}, {u"Amount", nxtInt8, 0},
                    {u"Short", nxtWideString, 3}},
                   [](TnxDataDictionary& d) { addConstDefault(d, u"Amount", platform::Variant(7)); });
    src = fake->Open(u"src");
    dst = fake->Open(u"dst");
  }
  TnxFakeCursor* src = nullptr;
  TnxFakeCursor* dst = nullptr;
};

TEST_F(AmountMapping, DataLossFailAnnotatesLineByLine) {
  auto desc = Desc(u"Amount", u"Amount", dlaFail);
  TnxOwned<TnxBaseFieldMapperEngine> engine(TnxBaseFieldMapperEngine::CreateFor(desc.get(), src, dst));
  ASSERT_TRUE(engine->is<TnxFieldMapperEngine>());
  Record source(src, {{u"Amount", platform::Variant(300)}});
  Record target(dst);
  EXPECT_EQ(engine->MapField(source.data(), target.data()), nxErrInvalidFieldXform);
  const auto lines = pendingLines(nxErrInvalidFieldXform);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1], u"");
  EXPECT_EQ(lines[2], u"Source Field: [3] Amount - Int32");
  EXPECT_EQ(lines[3], u"Target Field: [3] Amount - Int8");
  EXPECT_EQ(lines[4], u"Source Value: 300");
  // The exception raised for the code shows the same text.
  const EnxBaseException raised(nxErrInvalidFieldXform);
  EXPECT_NE(raised.ErrorString().find(u"Source Value: 300"), nxString::npos);
}

TEST_F(AmountMapping, StringSourceValueIsQuotedWithInnerQuotesDoubled) {
  auto desc = Desc(u"Name", u"Short", dlaFail);
  TnxOwned<TnxBaseFieldMapperEngine> engine(TnxBaseFieldMapperEngine::CreateFor(desc.get(), src, dst));
  Record source(src, {{u"Name", platform::Variant(nxString(u"O'Brien"))}});
  Record target(dst);
  EXPECT_EQ(engine->MapField(source.data(), target.data()), nxErrInvalidFieldXform);
  const auto lines = pendingLines(nxErrInvalidFieldXform);
  EXPECT_EQ(lines.back(), u"Source Value: 'O''Brien'");
}

TEST_F(AmountMapping, DataLossNullGivesDefaultOrNull) {
  Record source(src, {{u"Amount", platform::Variant(300)}});
  for (bool applyDefault : {true, false}) {
    SCOPED_TRACE(applyDefault);
    auto desc = Desc(u"Amount", u"Amount", dlaNull, applyDefault);
    TnxOwned<TnxBaseFieldMapperEngine> engine(TnxBaseFieldMapperEngine::CreateFor(desc.get(), src, dst));
    Record target(dst, {{u"Amount", platform::Variant(1)}});
    EXPECT_EQ(engine->MapField(source.data(), target.data()), 0);
    if (applyDefault) EXPECT_EQ(target.Get(u"Amount").toString(), u"7");
    else EXPECT_TRUE(target.IsNull(u"Amount"));
  }
}

TEST_F(AmountMapping, NoSourceOrNullSourceGivesDefaultOrLeavesTheField) {
  struct Case {
    const char16_t* source;
    bool applyDefault;
    const char16_t* expected;
  };
  for (const Case& c : {Case{u"", true, u"7"}, Case{u"", false, u"5"}, Case{u"Amount", true, u"7"},
                        Case{u"Amount", false, u"5"}}) {
    SCOPED_TRACE(platform::toUtf8(c.source) + (c.applyDefault ? " default" : ""));
    auto desc = Desc(c.source, u"Amount", dlaFail, c.applyDefault);
    TnxOwned<TnxBaseFieldMapperEngine> engine(TnxBaseFieldMapperEngine::CreateFor(desc.get(), src, dst));
    Record source(src);  // Amount NULL
    Record target(dst, {{u"Amount", platform::Variant(5)}});
    EXPECT_EQ(engine->MapField(source.data(), target.data()), 0);
    EXPECT_EQ(target.Get(u"Amount").toString(), c.expected);
  }
}

TEST_F(AmountMapping, AValueThatFitsIsWrittenAndItsNullBitCleared) {
  auto desc = Desc(u"Amount", u"Amount", dlaFail);
  TnxOwned<TnxBaseFieldMapperEngine> engine(TnxBaseFieldMapperEngine::CreateFor(desc.get(), src, dst));
  Record source(src, {{u"Amount", platform::Variant(-12)}});
  Record target(dst);
  EXPECT_EQ(engine->MapField(source.data(), target.data()), 0);
  EXPECT_EQ(target.Get(u"Amount").toString(), u"-12");
}

TEST_F(AmountMapping, ConstructionErrors) {
  auto noTarget = Desc(u"Amount", u"Missing", dlaFail);
  nxtest::expectCode<EnxFieldMapperEngineException>(
      [&] { TnxOwned<TnxBaseFieldMapperEngine>(TnxBaseFieldMapperEngine::CreateFor(noTarget.get(), src, dst)); },
      nxErrInvalidFieldName, u"Field \"Missing\" not in target dictionary");
  auto noSource = Desc(u"Gone", u"Amount", dlaFail);
  nxtest::expectCode<EnxFieldMapperEngineException>(
      [&] { TnxOwned<TnxBaseFieldMapperEngine>(TnxBaseFieldMapperEngine::CreateFor(noSource.get(), src, dst)); },
      nxErrInvalidFieldName, u"Field \"Gone\" not in source dictionary");
}

// A mapper that has no value to give (Time into Date or DateTime, Date into
// Time under best fit) leaves the target neither stale nor day 0: the
// engine stores the default, or NULL when there is none.
TEST_F(FieldMapperEngines, MapperWithoutValueStoresTheDefaultOrNull) {
  const platform::Variant kDefaultDay = platform::Variant::fromDate(45767);     // 2025-04-20
  const platform::Variant kDefaultStamp = platform::Variant::fromDate(45767.5);  // at noon
  const platform::Variant kTimeDefault = platform::Variant::fromDate(0.25);      // 06:00
  fake->AddTable(u"s", {{u"T", nxtTime, 0}, {u"D", nxtDate, 0}});
  fake->AddTable(u"t", {{u"D", nxtDate, 0}, {u"DT", nxtDateTime, 0}, {u"T", nxtTime, 0}},
                 [&](TnxDataDictionary& d) {
                   addConstDefault(d, u"D", kDefaultDay);
                   addConstDefault(d, u"DT", kDefaultStamp);
                   addConstDefault(d, u"T", kTimeDefault);
                 });
  TnxFakeCursor* s = fake->Open(u"s");
  TnxFakeCursor* t = fake->Open(u"t");
  struct Case {
    const char16_t* source;
    const char16_t* target;
    platform::Variant defaultValue;
  };
  const Case cases[] = {{u"T", u"D", kDefaultDay}, {u"T", u"DT", kDefaultStamp}, {u"D", u"T", kTimeDefault}};
  Record source(s, {{u"T", platform::Variant::fromDate(0.5)}, {u"D", kDefaultDay}});
  for (const Case& c : cases) {
    for (bool applyDefault : {true, false}) {
      SCOPED_TRACE(platform::toUtf8(c.source) + "->" + platform::toUtf8(c.target) + (applyDefault ? " default" : ""));
      auto desc = Desc(c.source, c.target, dlaBestFit, applyDefault);
      TnxOwned<TnxBaseFieldMapperEngine> engine(TnxBaseFieldMapperEngine::CreateFor(desc.get(), s, t));
      // The target holds an earlier value that must not survive.
      Record target(t, {{u"D", platform::Variant::fromDate(2)}, {u"DT", platform::Variant::fromDate(2.5)},
                        {u"T", platform::Variant::fromDate(0.75)}});
      EXPECT_EQ(engine->MapField(source.data(), target.data()), 0);
      if (applyDefault) {
        ASSERT_FALSE(target.IsNull(c.target));
        EXPECT_EQ(target.Get(c.target).toDouble(), c.defaultValue.toDouble());
      } else {
        EXPECT_TRUE(target.IsNull(c.target));
      }
    }
  }
}

TEST_F(FieldMapperEngines, UnknownFieldMapperEngineClassGives15503) {
  fake->AddTable(u"s", {{u"N", nxtInt32, 0}});
  TnxFakeCursor* s = fake->Open(u"s");
  auto desc = Desc(u"N", u"N", dlaFail);
  nxUnregisterClassIn(TnxBaseFieldMapperEngine::GetList(), TnxFieldMapperEngine::staticClassInfo());
  nxtest::expectCode<EnxBaseFieldMapperEngineException>(
      [&] { TnxOwned<TnxBaseFieldMapperEngine>(TnxBaseFieldMapperEngine::CreateFor(desc.get(), s, s)); },
      nxErrUnsupportedSubEngine, u"Unknown FieldMapper engine: \"TnxFieldMapperEngine\"");
  nxRegisterClassIn(TnxBaseFieldMapperEngine::GetList(), TnxFieldMapperEngine::staticClassInfo());
  TnxOwned<TnxBaseFieldMapperEngine> engine(TnxBaseFieldMapperEngine::CreateFor(desc.get(), s, s));
  EXPECT_TRUE(engine->is<TnxFieldMapperEngine>());
}

TEST_F(FieldMapperEngines, NoMapperForThePairGives10002WithBothFields) {
  fake->AddTable(u"s", {{u"N", nxtInt32, 0}});
  fake->AddTable(u"t", {{u"G", nxtGuid, 0}});
  TnxFakeCursor* s = fake->Open(u"s");
  TnxFakeCursor* t = fake->Open(u"t");
  auto desc = Desc(u"N", u"G", dlaFail);
  try {
    TnxOwned<TnxBaseFieldMapperEngine> engine(TnxBaseFieldMapperEngine::CreateFor(desc.get(), s, t));
    FAIL() << "no exception";
  } catch (const EnxFieldMapperEngineException& e) {
    EXPECT_EQ(e.ErrorCode(), nxErrInvalidFieldXform);
    const nxString text = e.ErrorString();
    EXPECT_NE(text.find(u"\r\n\r\nNo valid Field Mapper available.\r\n\r\nSource Field: [0] N - Int32\r\n"
                        u"Target Field: [0] G - Guid"),
              nxString::npos);
  }
}

TEST_F(FieldMapperEngines, SpecialMapperTable) {
  EXPECT_TRUE(TnxBaseFieldMapperEngine::HasSpecialMapper(nxtAutoInc));
  EXPECT_FALSE(TnxBaseFieldMapperEngine::HasSpecialMapper(nxtInt32));
  // The same class again is accepted; another is refused.
  TnxBaseFieldMapperEngine::RegisterSpecialMapper(TnxFieldMapperEngineAutoInc::staticClassInfo(), nxtAutoInc);
  EXPECT_THROW(TnxBaseFieldMapperEngine::RegisterSpecialMapper(TnxFieldMapperEngine::staticClassInfo(), nxtAutoInc),
               EnxBaseFieldMapperEngineException);
  // Unregistering a class that is not there changes nothing.
  TnxBaseFieldMapperEngine::UnregisterSpecialMapper(TnxFieldMapperEngine::staticClassInfo(), nxtAutoInc);
  EXPECT_TRUE(TnxBaseFieldMapperEngine::HasSpecialMapper(nxtAutoInc));
}

// A copy run into a table with an auto-increment field.
TEST_F(FieldMapperEngines, AutoIncCounterEndsAtTheLargerOfSourceCounterAndValuesCopied) {
  fake->AddTable(u"s", {{u"ID", nxtAutoInc, 0}});
  fake->AddTable(u"t", {{u"ID", nxtAutoInc, 0}});
  struct Case {
    std::uint32_t sourceCounter;
    std::vector<int> values;  // -1: NULL
    bool applyDefault;
    std::uint32_t counter;
    std::vector<std::string> written;
  };
  const Case cases[] = {
      {10, {5, 42, -1}, true, 43, {"5", "42", "43"}},
      {100, {5, 42}, true, 100, {"5", "42"}},
      {10, {5, -1}, false, 10, {"5", "NULL"}},
  };
  for (const Case& c : cases) {
    TnxFakeCursor* s = fake->Open(u"s");
    TnxFakeCursor* t = fake->Open(u"t");
    s->Table()->autoInc = c.sourceCounter;
    t->Table()->autoInc = 0;
    auto desc = Desc(u"ID", u"ID", dlaFail, c.applyDefault);
    TnxOwned<TnxBaseFieldMapperEngine> engine(TnxBaseFieldMapperEngine::CreateFor(desc.get(), s, t));
    engine->BeforeFirstRecord();
    std::vector<std::string> written;
    for (int v : c.values) {
      Record source(s);
      if (v >= 0) source.Set(u"ID", platform::Variant(v));
      Record target(t);
      EXPECT_EQ(engine->MapField(source.data(), target.data()), 0);
      written.push_back(target.IsNull(u"ID") ? "NULL" : platform::toUtf8(target.Get(u"ID").toString()));
    }
    engine->BeforeCommit();
    EXPECT_EQ(written, c.written);
    EXPECT_EQ(t->Table()->autoInc, c.counter);
  }
}

// ---------------------------------------------------------------------------
// Record and table mapper descriptors

class MapperDescriptors : public FieldMapperEngines {};

std::vector<std::string> mappings(const TnxRecordMapperDescriptor& aDesc) {
  std::vector<std::string> result;
  for (std::int32_t i = 0; i < aDesc.FieldMapperCount(); ++i)
    result.push_back(platform::toUtf8(aDesc.FieldMapper(i)->SourceName()) + ">" +
                     platform::toUtf8(aDesc.FieldMapper(i)->TargetName()));
  return result;
}

TnxOwned<TnxDataDictionary> fieldsOf(std::initializer_list<const char16_t*> aNames) {
  TnxOwned<TnxDataDictionary> dict(platform::create<TnxDataDictionary>());
  for (const char16_t* name : aNames) dict->FieldsDescriptor()->AddField(name, u"", nxtInt32, 0, 0, false);
  return dict;
}

TEST_F(MapperDescriptors, MapByNameFoldsOnlyAsciiLetters) {
  struct Case {
    std::initializer_list<const char16_t*> oldNames, newNames;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {{u"ID", u"Name", u"price"}, {u"id", u"NAME", u"Price", u"Extra"}, {"ID>id", "Name>NAME", "price>Price"}},
      {{u"zz", u"Ab", u"q_1"}, {u"aB", u"Q_1", u"y"}, {"Ab>aB", "q_1>Q_1"}},
  };
  for (const Case& c : cases) {
    auto oldFields = fieldsOf(c.oldNames);
    auto newFields = fieldsOf(c.newNames);
    TnxOwned<TnxRecordMapperDescriptor> desc(platform::create<TnxRecordMapperDescriptor>());
    desc->MapAllFieldsByName(oldFields->FieldsDescriptor(), newFields->FieldsDescriptor(), dlaFail);
    EXPECT_EQ(mappings(*desc), c.expected);
  }
}

// Letters outside a to z never fold: a sharp s against its capital, accented
// letters against their capitals. (Field names refuse such letters, so the
// comparison is checked on its own.)
TEST(NameComparison, FoldsOnlyAsciiLetters) {
  EXPECT_EQ(nxCompareTextAscii(u"Price", u"pRICE"), 0);
  EXPECT_NE(nxCompareTextAscii(u"stra\u00DFe", u"STRA\u1E9EE"), 0);
  EXPECT_NE(nxCompareTextAscii(u"\u00E9mile", u"\u00C9MILE"), 0);
  EXPECT_LT(nxCompareTextAscii(u"a", u"B"), 0);
  EXPECT_LT(nxCompareTextAscii(u"Z", u"_"), 0);  // 'Z' 0x5A before '_' 0x5F, also against 'z'
  EXPECT_LT(nxCompareTextAscii(u"ab", u"abc"), 0);
}

TEST_F(MapperDescriptors, MapByPositionStopsAtTheShorterList) {
  auto oldFields = fieldsOf({u"a", u"b", u"c"});
  auto newFields = fieldsOf({u"v", u"w", u"x", u"y", u"z"});
  TnxOwned<TnxRecordMapperDescriptor> desc(platform::create<TnxRecordMapperDescriptor>());
  desc->MapAllFieldsByPosition(oldFields->FieldsDescriptor(), newFields->FieldsDescriptor(), dlaNull);
  EXPECT_EQ(mappings(*desc), (std::vector<std::string>{"a>v", "b>w", "c>x"}));
  EXPECT_EQ(desc->FieldMapper(0)->DataLossAction(), dlaNull);
}

TEST_F(MapperDescriptors, ListOperations) {
  TnxOwned<TnxRecordMapperDescriptor> desc(platform::create<TnxRecordMapperDescriptor>());
  desc->AddMapping(u"s1", u"Beta", nullptr, dlaFail);
  desc->AddMapping(u"s2", u"alpha", nullptr, dlaFail);
  EXPECT_THROW(desc->AddMapping(u"s3", u"BETA", nullptr, dlaFail), platform::StringListError);
  EXPECT_EQ(mappings(*desc), (std::vector<std::string>{"s2>alpha", "s1>Beta"}));
  EXPECT_EQ(desc->FieldMapperIndexOf(u"ALPHA"), 0);
  EXPECT_EQ(desc->FieldMapperIndexOf(u"gamma"), -1);
  desc->UpdateSourceName(u"beta", u"s9");
  desc->UpdateTargetName(u"alpha", u"Zeta");
  EXPECT_EQ(mappings(*desc), (std::vector<std::string>{"s9>Beta", "s2>Zeta"}));
  desc->UpdateTargetName(u"zeta", u"ZETA");  // case only: stays in place, name follows
  EXPECT_EQ(mappings(*desc), (std::vector<std::string>{"s9>Beta", "s2>ZETA"}));
  EXPECT_THROW(desc->DeleteMapping(u"gamma"), platform::StringListError);
  desc->DeleteMapping(u"BETA");
  EXPECT_EQ(mappings(*desc), (std::vector<std::string>{"s2>ZETA"}));
}

TEST_F(MapperDescriptors, RecordMapperStreamRoundTripAndVersion) {
  TnxOwned<TnxRecordMapperDescriptor> desc(platform::create<TnxRecordMapperDescriptor>());
  desc->AddMapping(u"b", u"Y", nullptr, dlaBestFit)->SetApplyDefault(true);
  desc->AddMapping(u"a", u"x", nullptr, dlaNull);
  desc->SetApplyDefaultForUnmapped(false);
  TnxMemoryStream stream;
  {
    TnxWriter writer(stream);
    desc->WriteToWriter(writer, 47501);
    writer.FlushBuffer();
  }
  stream.SetPosition(0);
  TnxReader reader(stream);
  TnxOwned<TnxBaseRecordMapperDescriptor> loaded(TnxBaseRecordMapperDescriptor::CreateFromReader(reader));
  auto* copy = platform::objectAs<TnxRecordMapperDescriptor>(loaded.get());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(mappings(*copy), (std::vector<std::string>{"a>x", "b>Y"}));
  EXPECT_EQ(copy->FieldMapper(1)->DataLossAction(), dlaBestFit);
  EXPECT_TRUE(copy->FieldMapper(1)->ApplyDefault());
  EXPECT_FALSE(copy->ApplyDefaultForUnmapped());

  // Another version of the own part.
  TnxMemoryStream bad;
  {
    TnxWriter writer(bad);
    writer.WriteIdent(u"TnxRecordMapperDescriptor");
    writer.WriteInteger(std::int32_t{2});
    writer.FlushBuffer();
  }
  bad.SetPosition(0);
  TnxReader badReader(bad);
  nxtest::expectCode<EnxRecordMapperDescriptorException>(
      [&] { TnxOwned<TnxBaseRecordMapperDescriptor>(TnxBaseRecordMapperDescriptor::CreateFromReader(badReader)); },
      nxErrIncompatibleStream);
}

// A table with nested tables "orders" on both sides and "remarks" only new.
TEST_F(MapperDescriptors, TableMappingRecursesIntoNestedTablesOnBothSides) {
  auto table = [](bool aRemarks) {
    TnxOwned<TnxDataDictionary> d(platform::create<TnxDataDictionary>());
    d->FieldsDescriptor()->AddField(u"ID", u"", nxtInt32, 0, 0, false);
    TnxTablesDescriptor* tables = d->TablesDescriptor();
    tables->AddTable(u"orders")->FieldsDescriptor()->AddField(u"Qty", u"", nxtInt32, 0, 0, false);
    if (aRemarks) tables->AddTable(u"remarks")->FieldsDescriptor()->AddField(u"Text", u"", nxtInt32, 0, 0, false);
    return d;
  };
  auto oldTable = table(false);
  auto newTable = table(true);
  TnxOwned<TnxTableMapperDescriptor> desc(platform::create<TnxTableMapperDescriptor>());
  desc->MapAllTablesAndFieldsByName(oldTable.get(), newTable.get(), dlaFail);
  ASSERT_EQ(desc->TableCount(), 1);
  EXPECT_EQ(desc->Tables(0)->Name(), u"orders");
  EXPECT_EQ(desc->Tables(0)->MapTo(), u".");
  auto* nested = platform::objectAs<TnxRecordMapperDescriptor>(desc->Tables(0)->RecordMapper());
  ASSERT_NE(nested, nullptr);
  EXPECT_EQ(mappings(*nested), (std::vector<std::string>{"Qty>Qty"}));

  // The stream keeps the tree and ends with the class's own version.
  TnxMemoryStream stream;
  {
    TnxWriter writer(stream);
    desc->WriteToWriter(writer, 47501);
    writer.FlushBuffer();
  }
  stream.SetPosition(0);
  TnxReader reader(stream);
  TnxOwned<TnxBaseTableMapperDescriptor> loaded(TnxBaseTableMapperDescriptor::CreateFromReader(reader));
  ASSERT_TRUE(loaded->is<TnxTableMapperDescriptor>());
  ASSERT_EQ(loaded->TableCount(), 1);
  EXPECT_EQ(loaded->Tables(0)->Name(), u"orders");

  // A stream whose trailing version is 2.
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(stream.Size()));
  stream.SetPosition(0);
  stream.ReadBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  TnxMemoryStream bad;
  {
    TnxWriter writer(bad);
    writer.WriteIdent(u"TnxTableMapperDescriptor");
    static_cast<TnxBaseTableMapperDescriptor&>(*desc).TnxBaseTableMapperDescriptor::InternalWriteToWriter(writer, 47501);
    writer.WriteInteger(std::int32_t{2});
    writer.FlushBuffer();
  }
  bad.SetPosition(0);
  TnxReader badReader(bad);
  nxtest::expectCode<EnxTableMapperDescriptorException>(
      [&] { TnxOwned<TnxBaseTableMapperDescriptor>(TnxBaseTableMapperDescriptor::CreateFromReader(badReader)); },
      nxErrIncompatibleStream);
}

// ---------------------------------------------------------------------------
// Record mapper engine

class RecordMapperEngine : public FieldMapperEngines {
 protected:
  void SetUp() override {
    FieldMapperEngines::SetUp();
    fake->AddTable(u"people", {{u"ID", nxtInt32, 0}, {u"A", nxtInt32, 0}, {u"B", nxtInt32, 0}, {u"C", nxtInt32, 0},
                               {u"D", nxtInt32, 0}},
                   [](TnxDataDictionary& d) {
                     d.FieldsDescriptor()->Fields(0)->fdRequired = true;
                     TnxIndexDescriptor* index = d.EnsureIndicesDescriptor()->AddIndex(u"ByID", 0, idNone, u"");
                     static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(nxString(u"ID"));
                   });
    fake->AddTable(u"copy",
                   {{u"ID", nxtInt32, 0}, {u"A", nxtInt32, 0}, {u"B", nxtInt32, 0}, {u"C", nxtInt8, 0},
                    {u"D", nxtInt32, 0}, {u"Extra", nxtInt32, 0}, {u"Seq", nxtAutoInc, 0}},
                   [](TnxDataDictionary& d) { addConstDefault(d, u"Extra", platform::Variant(99)); });
    src = fake->Open(u"people");
    dst = fake->Open(u"copy");
  }
  TnxOwned<TnxRecordMapperDescriptor> ByName() {
    TnxOwned<TnxRecordMapperDescriptor> desc(platform::create<TnxRecordMapperDescriptor>());
    desc->MapAllFieldsByName(src->FieldsDescriptor(), dst->FieldsDescriptor(), dlaFail);
    return desc;
  }
  TnxFakeCursor* src = nullptr;
  TnxFakeCursor* dst = nullptr;
};

TEST_F(RecordMapperEngine, UnmappedFieldsGetDefaultsAndFreshNumbersOnlyWhenAsked) {
  for (bool apply : {true, false}) {
    SCOPED_TRACE(apply);
    auto desc = ByName();
    desc->SetApplyDefaultForUnmapped(apply);
    dst->Table()->autoInc = 0;
    TnxOwned<TnxBaseRecordMapperEngine> engine(TnxBaseRecordMapperEngine::CreateFor(desc.get(), src, dst));
    engine->BeforeFirstRecord();
    Record source(src, {{u"ID", platform::Variant(1)}, {u"C", platform::Variant(4)}});
    Record target(dst);
    EXPECT_EQ(engine->MapRecord(source.data(), target.data()), 0);
    engine->BeforeCommit();
    EXPECT_EQ(target.Get(u"ID").toString(), u"1");
    EXPECT_EQ(target.Get(u"C").toString(), u"4");
    EXPECT_TRUE(target.IsNull(u"A"));
    if (apply) {
      EXPECT_EQ(target.Get(u"Extra").toString(), u"99");
      EXPECT_EQ(target.Get(u"Seq").toString(), u"1");
    } else {
      EXPECT_TRUE(target.IsNull(u"Extra"));
      EXPECT_TRUE(target.IsNull(u"Seq"));
    }
  }
}

TEST_F(RecordMapperEngine, AFailingThirdFieldStopsTheRecordWithTableAndKey) {
  auto desc = ByName();
  TnxOwned<TnxBaseRecordMapperEngine> engine(TnxBaseRecordMapperEngine::CreateFor(desc.get(), src, dst));
  Record source(src, {{u"ID", platform::Variant(17)},
                      {u"A", platform::Variant(1)},
                      {u"B", platform::Variant(2)},
                      {u"C", platform::Variant(1000)},
                      {u"D", platform::Variant(4)}});
  Record target(dst, {{u"D", platform::Variant(-1)}});
  // Mapped in target-name order: A, B, C, D, ID.
  EXPECT_EQ(engine->MapRecord(source.data(), target.data()), nxErrInvalidFieldXform);
  EXPECT_EQ(target.Get(u"B").toString(), u"2");
  EXPECT_EQ(target.Get(u"D").toString(), u"-1");
  EXPECT_TRUE(target.IsNull(u"ID"));
  const auto lines = pendingLines(nxErrInvalidFieldXform);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[2], u"Source Field: [3] C - Int32");
  EXPECT_EQ(lines[4], u"Source Value: 1000");
  EXPECT_EQ(lines[5], u"");
  EXPECT_EQ(lines[6], u"Source Table: people");
  EXPECT_EQ(lines[7].rfind(u"Source Key (Index: ByID): ", 0), 0u);
  EXPECT_NE(lines[7].find(u"17"), std::u16string::npos);
}

TEST_F(RecordMapperEngine, UnknownDescriptorClassAndBadFieldFailConstruction) {
  TnxOwned<TnxBaseRecordMapperDescriptor> base(platform::create<TnxBaseRecordMapperDescriptor>());
  nxtest::expectCode<EnxBaseRecordMapperEngineException>(
      [&] { TnxOwned<TnxBaseRecordMapperEngine>(TnxBaseRecordMapperEngine::CreateFor(base.get(), src, dst)); },
      nxErrUnsupportedSubEngine, u"Unknown RecordMapper engine: \"TnxBaseRecordMapperEngine\"");
  auto desc = ByName();
  desc->AddMapping(u"Nope", u"Extra", nullptr, dlaFail);
  nxtest::expectCode<EnxFieldMapperEngineException>(
      [&] { TnxOwned<TnxBaseRecordMapperEngine>(TnxBaseRecordMapperEngine::CreateFor(desc.get(), src, dst)); },
      nxErrInvalidFieldName);
}

}  // namespace
