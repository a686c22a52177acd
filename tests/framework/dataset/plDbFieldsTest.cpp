// Field classes: native buffers byte by byte, value conversions, ranges,
// validation, calculated fields, field and index definitions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>

#include "nxllStreams.h"
#include "plDataSet.h"
#include "plVectorDataSet.h"

using namespace platform;
using pltest::TVectorDataSet;

namespace {

using Bytes = std::vector<std::uint8_t>;

template <class T>
Bytes le(T aValue) {
  Bytes b(sizeof(T));
  std::memcpy(b.data(), &aValue, sizeof(T));
  return b;
}
Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct DataSetDeleter {
  void operator()(TObject* o) const { TObject::free(o); }
};

struct NativeCase {
  const char* what;
  TFieldType type;
  int size;
  std::function<void(TField&)> set;
  Bytes raw;
  std::function<void(TField&)> check;
};

TEST(FieldClasses, RoundTripTheirNativeBuffers) {
  const DateTime noon = encodeDateTime(2025, 4, 20, 12, 0, 0, 0);
  const NativeCase cases[] = {
      {"string in 932", ftString, 6, [](TField& f) { f.SetAsString(u"アイ"); }, Bytes{0x83, 0x41, 0x83, 0x43, 0, 0, 0},
       [](TField& f) { EXPECT_EQ(f.AsString(), u"アイ"); }},
      {"string cut at a character", ftString, 5, [](TField& f) { f.SetAsString(u"アイウ"); },
       Bytes{0x83, 0x41, 0x83, 0x43, 0, 0}, [](TField& f) { EXPECT_EQ(f.AsString(), u"アイ"); }},
      {"wide string", ftWideString, 3, [](TField& f) { f.SetAsString(u"abcd"); }, Bytes{'a', 0, 'b', 0, 'c', 0, 0, 0},
       [](TField& f) { EXPECT_EQ(f.AsString(), u"abc"); }},
      {"smallint", ftSmallint, 0, [](TField& f) { f.SetAsInteger(-2); }, le<std::int16_t>(-2),
       [](TField& f) { EXPECT_EQ(f.AsInteger(), -2); }},
      {"integer", ftInteger, 0, [](TField& f) { f.SetAsString(u"16909060"); }, Bytes{4, 3, 2, 1},
       [](TField& f) { EXPECT_EQ(f.Value().type(), varInteger); }},
      {"word", ftWord, 0, [](TField& f) { f.SetAsInteger(65535); }, Bytes{0xFF, 0xFF},
       [](TField& f) { EXPECT_EQ(f.AsLargeInt(), 65535); }},
      {"shortint", ftShortint, 0, [](TField& f) { f.SetAsInteger(-1); }, Bytes{0xFF},
       [](TField& f) { EXPECT_EQ(f.AsInteger(), -1); }},
      {"byte", ftByte, 0, [](TField& f) { f.SetAsFloat(200.4); }, Bytes{200},
       [](TField& f) { EXPECT_EQ(f.AsInteger(), 200); }},
      {"longword", ftLongWord, 0, [](TField& f) { f.SetAsLargeInt(4000000000LL); }, le<std::uint32_t>(4000000000u),
       [](TField& f) { EXPECT_EQ(f.AsLargeInt(), 4000000000LL); EXPECT_THROW(f.AsInteger(), RangeError); }},
      {"unsigned autoinc", ftAutoInc, 0, [](TField& f) { f.SetAsLargeInt(3000000000LL); }, le<std::uint32_t>(3000000000u),
       [](TField& f) { EXPECT_TRUE(f.is<TUnsignedAutoIncField>()); }},
      {"largeint", ftLargeint, 0, [](TField& f) { f.SetAsLargeInt(-2); }, le<std::int64_t>(-2),
       [](TField& f) { EXPECT_EQ(bcdToStr(f.AsBCD()), u"-2"); }},
      {"boolean true", ftBoolean, 0, [](TField& f) { f.SetAsBoolean(true); }, Bytes{0xFF, 0xFF},
       [](TField& f) { EXPECT_EQ(f.AsString(), u"True"); }},
      {"boolean from text", ftBoolean, 0, [](TField& f) { f.SetAsString(u"false"); }, Bytes{0, 0},
       [](TField& f) { EXPECT_FALSE(f.AsBoolean()); }},
      {"float", ftFloat, 0, [](TField& f) { f.SetAsFloat(2.5); }, le<double>(2.5),
       [](TField& f) { EXPECT_EQ(f.AsString(), u"2.5"); }},
      {"currency", ftCurrency, 0, [](TField& f) { f.SetAsCurrency(Currency::fromRaw(12500)); }, le<double>(1.25),
       [](TField& f) { EXPECT_EQ(f.Value().type(), varCurrency); }},
      {"single", ftSingle, 0, [](TField& f) { f.SetAsFloat(1.5); }, le<float>(1.5f),
       [](TField& f) { EXPECT_EQ(f.AsFloat(), 1.5); }},
      {"extended", ftExtended, 0, [](TField& f) { f.SetAsFloat(1.0); },
       Bytes{0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}, [](TField& f) { EXPECT_EQ(f.AsFloat(), 1.0); }},
      {"date", ftDate, 0, [](TField& f) { f.SetAsDateTime(encodeDate(2025, 4, 20)); }, le<std::int32_t>(739361),
       [](TField& f) { EXPECT_EQ(f.AsDateTime(), encodeDate(2025, 4, 20)); }},
      {"time", ftTime, 0, [](TField& f) { f.SetAsDateTime(encodeTime(12, 34, 56, 789)); }, le<std::int32_t>(45296789),
       [](TField& f) { EXPECT_EQ(f.AsDateTime(), encodeTime(12, 34, 56, 789)); }},
      {"date-time", ftDateTime, 0, [noon](TField& f) { f.SetAsDateTime(noon); },
       le<double>(739361.0 * 86400000 + 43200000), [noon](TField& f) { EXPECT_EQ(f.AsDateTime(), noon); }},
      {"bytes", ftBytes, 3, [](TField& f) { f.SetAsBytes({1, 2}); }, Bytes{1, 2, 0},
       [](TField& f) { EXPECT_EQ(f.AsBytes(), (Bytes{1, 2, 0})); }},
      {"var bytes", ftVarBytes, 3, [](TField& f) { f.SetAsBytes({9}); }, Bytes{1, 0, 9, 0, 0},
       [](TField& f) { EXPECT_EQ(f.AsBytes(), Bytes{9}); }},
      {"guid", ftGuid, 38, [](TField& f) { f.SetAsString(u"{6b29fc40-ca47-1067-b31d-00dd010662da}"); },
       cat(Bytes{'{', '6', 'B', '2', '9', 'F', 'C', '4', '0', '-', 'C', 'A', '4', '7', '-', '1', '0', '6', '7', '-', 'B',
                 '3', '1', 'D', '-', '0', '0', 'D', 'D', '0', '1', '0', '6', '6', '2', 'D', 'A', '}'},
           Bytes{0}),
       [](TField& f) { EXPECT_EQ(static_cast<TGuidField&>(f).AsGuid().D1, 0x6B29FC40u); }},
  };
  for (const NativeCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<TVectorDataSet, DataSetDeleter> ds(platform::create<TVectorDataSet>());
    ds->FieldDefs().Add(u"F", c.type, c.size);
    ds->Open();
    TField& f = *ds->Fields()[0];
    ds->Append();
    EXPECT_TRUE(f.IsNull());
    c.set(f);
    EXPECT_FALSE(f.IsNull());
    ds->Post();
    EXPECT_EQ(ds->RawValue(0, 0), c.raw);
    c.check(f);
    ds->Edit();
    f.Clear();
    ds->Post();
    EXPECT_TRUE(f.IsNull());
    EXPECT_TRUE(f.Value().isNull());
  }
}

TEST(FieldClasses, BcdFieldsKeepTheirDigits) {
  std::unique_ptr<TVectorDataSet, DataSetDeleter> ds(platform::create<TVectorDataSet>());
  ds->FieldDefs().Add(u"B", ftBCD, 4);
  ds->FieldDefs().Add(u"F", ftFMTBcd, 8);
  ds->Open();
  ds->Append();
  ds->FieldByName(u"B")->SetAsCurrency(Currency::fromRaw(125000));
  ds->FieldByName(u"F")->SetAsString(u"-7.5");
  ds->Post();
  const Bytes raw = ds->RawValue(0, 0);
  ASSERT_EQ(raw.size(), 34u);
  EXPECT_EQ(ds->FieldByName(u"B")->AsCurrency(), Currency::fromRaw(125000));
  EXPECT_EQ(ds->FieldByName(u"B")->AsString(), u"12.5");
  EXPECT_EQ(ds->FieldByName(u"F")->AsString(), u"-7.5");
  EXPECT_EQ(ds->FieldByName(u"F")->Value().type(), varFmtBcd);
  EXPECT_EQ(ds->FieldByName(u"B")->Value().type(), varCurrency);
}

TEST(FieldClasses, BlobFieldsGoThroughStreams) {
  std::unique_ptr<TVectorDataSet, DataSetDeleter> ds(platform::create<TVectorDataSet>());
  ds->FieldDefs().Add(u"B", ftBlob);
  ds->FieldDefs().Add(u"M", ftMemo);
  ds->FieldDefs().Add(u"W", ftWideMemo);
  ds->FieldDefs().Add(u"G", ftGraphic);
  ds->Open();
  EXPECT_TRUE(ds->FieldByName(u"G")->is<TGraphicField>());
  ds->Append();
  ds->FieldByName(u"B")->SetAsBytes({1, 2, 3});
  ds->FieldByName(u"M")->SetAsString(u"メモ");
  ds->FieldByName(u"W")->SetAsString(u"wide");
  EXPECT_TRUE(static_cast<TBlobField*>(ds->FieldByName(u"B"))->Modified());
  ds->Post();
  EXPECT_EQ(ds->RawValue(0, 0), (Bytes{1, 2, 3}));
  EXPECT_EQ(ds->RawValue(0, 1), (Bytes{0x83, 0x81, 0x83, 0x82}));
  EXPECT_EQ(ds->RawValue(0, 2), (Bytes{'w', 0, 'i', 0, 'd', 0, 'e', 0}));
  EXPECT_EQ(ds->FieldByName(u"M")->AsString(), u"メモ");
  EXPECT_EQ(ds->FieldByName(u"W")->AsString(), u"wide");
  EXPECT_EQ(static_cast<TBlobField*>(ds->FieldByName(u"B"))->BlobSize(), 3);
  EXPECT_TRUE(ds->FieldByName(u"G")->IsNull());
  // Writing needs edit mode.
  EXPECT_THROW(ds->FieldByName(u"B")->SetAsBytes({4}), EDatabaseError);
}

TEST(FieldClasses, VariantFieldKeepsTheVariant) {
  std::unique_ptr<TVectorDataSet, DataSetDeleter> ds(platform::create<TVectorDataSet>());
  ds->FieldDefs().Add(u"V", ftVariant);
  ds->Open();
  ds->Append();
  ds->Fields()[0]->SetValue(Variant(u"x"));
  ds->Post();
  EXPECT_EQ(ds->Fields()[0]->Value(), Variant(u"x"));
  ds->Edit();
  ds->Fields()[0]->SetAsInteger(7);
  ds->Post();
  EXPECT_EQ(ds->Fields()[0]->AsInteger(), 7);
}

struct RangeCase {
  const char* what;
  TFieldType type;
  std::function<void(TField&)> limit;
  std::function<void(TField&)> inside;
  std::function<void(TField&)> outside;
};

TEST(FieldClasses, MinAndMaxValuesRefuse) {
  const RangeCase cases[] = {
      {"integer min/max", ftInteger,
       [](TField& f) { static_cast<TIntegerField&>(f).SetMinValue(1); static_cast<TIntegerField&>(f).SetMaxValue(10); },
       [](TField& f) { f.SetAsInteger(10); }, [](TField& f) { f.SetAsInteger(11); }},
      {"integer min", ftInteger,
       [](TField& f) { static_cast<TIntegerField&>(f).SetMinValue(1); static_cast<TIntegerField&>(f).SetMaxValue(10); },
       [](TField& f) { f.SetAsInteger(1); }, [](TField& f) { f.SetAsString(u"0"); }},
      {"smallint type range", ftSmallint, [](TField&) {}, [](TField& f) { f.SetAsInteger(32767); },
       [](TField& f) { f.SetAsInteger(32768); }},
      {"byte type range", ftByte, [](TField&) {}, [](TField& f) { f.SetAsInteger(255); },
       [](TField& f) { f.SetAsInteger(-1); }},
      {"largeint", ftLargeint,
       [](TField& f) { static_cast<TLargeintField&>(f).SetMinValue(-5); static_cast<TLargeintField&>(f).SetMaxValue(5); },
       [](TField& f) { f.SetAsLargeInt(-5); }, [](TField& f) { f.SetAsLargeInt(6); }},
      {"float", ftFloat,
       [](TField& f) { static_cast<TFloatField&>(f).SetMinValue(0.5); static_cast<TFloatField&>(f).SetMaxValue(1.5); },
       [](TField& f) { f.SetAsFloat(1.5); }, [](TField& f) { f.SetAsFloat(0.25); }},
  };
  for (const RangeCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<TVectorDataSet, DataSetDeleter> ds(platform::create<TVectorDataSet>());
    ds->FieldDefs().Add(u"F", c.type);
    ds->Open();
    TField& f = *ds->Fields()[0];
    c.limit(f);
    ds->Append();
    c.inside(f);
    const Variant kept = f.Value();
    EXPECT_THROW(c.outside(f), EDatabaseError);
    EXPECT_EQ(f.Value(), kept);  // the refused value left nothing behind
  }
}

TEST(FieldClasses, WrongAccessorRaises) {
  std::unique_ptr<TVectorDataSet, DataSetDeleter> ds(platform::create<TVectorDataSet>());
  ds->FieldDefs().Add(u"B", ftBoolean);
  ds->FieldDefs().Add(u"D", ftDate);
  ds->Open();
  ds->Append();
  EXPECT_THROW(ds->FieldByName(u"B")->AsFloat(), EDatabaseError);
  EXPECT_THROW(ds->FieldByName(u"B")->SetAsString(u"maybe"), EDatabaseError);
  EXPECT_THROW(ds->FieldByName(u"D")->AsBytes(), EDatabaseError);
  EXPECT_THROW(ds->FieldByName(u"NOPE"), EDatabaseError);
  EXPECT_THROW(ds->Fields()[5], EDatabaseError);
}

class CountingDataSet : public TVectorDataSet {
 public:
  void Translate(const char* aSource, char* aDest, bool aToOem) override {
    ++(aToOem ? toOem : fromOem);
    TVectorDataSet::Translate(aSource, aDest, aToOem);
  }
  int toOem = 0;
  int fromOem = 0;
};

TEST(FieldClasses, TransliterateAndFixedChar) {
  std::unique_ptr<CountingDataSet, DataSetDeleter> ds(platform::create<CountingDataSet>());
  ds->FieldDefs().Add(u"S", ftString, 8);
  ds->FieldDefs().Add(u"C", ftFixedChar, 4);
  ds->Open();
  auto* s = static_cast<TStringField*>(ds->FieldByName(u"S"));
  auto* c = static_cast<TStringField*>(ds->FieldByName(u"C"));
  EXPECT_TRUE(c->FixedChar());
  ds->Append();
  s->SetAsString(u"ｱ漢");  // half-width katakana: one byte; kanji: two
  EXPECT_EQ(ds->toOem, 1);
  EXPECT_EQ(s->AsAnsiString().bytes, std::string("\xB1\x8A\xBF"));
  EXPECT_EQ(s->AsString(), u"ｱ漢");
  EXPECT_EQ(ds->fromOem, 2);
  s->SetTransliterate(false);
  s->SetAsString(u"x");
  EXPECT_EQ(ds->toOem, 1);
  c->SetAsString(u"ab  ");
  EXPECT_EQ(c->AsString(), u"ab");
  // 8-bit text in another code page is converted to the client's.
  s->SetAsAnsiString(AnsiString{"\xE3\x82\xA2", 65001});
  EXPECT_EQ(s->AsAnsiString().bytes, std::string("\x83\x41"));
}

class ValidateTest : public ::testing::Test {
 public:
  void OnValidate(TField* aField) {
    seen = aField->AsInteger();
    if (seen < 0) DatabaseError(u"negative");
  }
  void OnChange(TField*) { ++changes; }
  void OnCalc(TDataSet* aDataSet) {
    aDataSet->FieldByName(u"TWICE")->SetAsInteger(aDataSet->FieldByName(u"ID")->AsInteger() * 2);
  }
  int seen = 0;
  int changes = 0;
};

TEST_F(ValidateTest, OnValidateSeesTheNewValueAndCanRefuse) {
  std::unique_ptr<TVectorDataSet, DataSetDeleter> ds(platform::create<TVectorDataSet>());
  ds->FieldDefs().Add(u"ID", ftInteger);
  ds->AddRow({Variant(1)});
  ds->Open();
  TField* id = ds->FieldByName(u"ID");
  id->SetOnValidate(TFieldNotifyEvent::Of<&ValidateTest::OnValidate>(this));
  id->SetOnChange(TFieldNotifyEvent::Of<&ValidateTest::OnChange>(this));
  ds->Edit();
  id->SetAsInteger(5);
  EXPECT_EQ(seen, 5);
  EXPECT_EQ(changes, 1);
  EXPECT_THROW(id->SetAsInteger(-3), EDatabaseError);
  EXPECT_EQ(seen, -3);
  EXPECT_EQ(id->AsInteger(), 5);
  EXPECT_EQ(changes, 1);
}

TEST_F(ValidateTest, CalculatedFieldsFollowEveryFetch) {
  std::unique_ptr<TVectorDataSet, DataSetDeleter> ds(platform::create<TVectorDataSet>());
  ds->FieldDefs().Add(u"ID", ftInteger);
  for (int i = 1; i <= 3; ++i) ds->AddRow({Variant(i)});
  TField* id = createField(TIntegerField::staticClassInfo(), nullptr);
  id->SetFieldName(u"ID");
  id->SetDataSet(ds.get());
  TField* twice = createField(TIntegerField::staticClassInfo(), nullptr);
  twice->SetFieldName(u"TWICE");
  twice->SetFieldKind(fkCalculated);
  twice->SetDataSet(ds.get());
  ds->OnCalcFields = TDataSetNotifyEvent::Of<&ValidateTest::OnCalc>(this);
  ds->Open();
  EXPECT_FALSE(ds->DefaultFields());
  EXPECT_EQ(ds->CalcFieldsSize(), 5);
  EXPECT_EQ(twice->FieldNo(), -1);
  EXPECT_EQ(twice->AsInteger(), 2);
  ds->Last();
  EXPECT_EQ(twice->AsInteger(), 6);
  ds->Edit();
  id->SetAsInteger(10);  // AutoCalcFields recalculates
  EXPECT_EQ(twice->AsInteger(), 20);
  ds->Cancel();
  EXPECT_EQ(twice->AsInteger(), 6);
  ds->Close();
  EXPECT_EQ(ds->FieldCount(), 2);  // persistent fields stay
}

TEST(FieldDefinitions, FromFieldsAndTypeChecks) {
  std::unique_ptr<TVectorDataSet, DataSetDeleter> ds(platform::create<TVectorDataSet>());
  ds->FieldDefs().Add(u"ID", ftInteger, 0, true);
  ds->FieldDefs().Add(u"NAME", ftString, 12);
  ds->Open();
  EXPECT_TRUE(ds->FieldByName(u"ID")->Required());
  EXPECT_EQ(ds->FieldByName(u"NAME")->Size(), 12);
  EXPECT_EQ(ds->FieldByName(u"NAME")->FieldNo(), 2);
  TFieldDefs copy;
  copy.AddFromFields(ds->Fields());
  ASSERT_EQ(copy.Count(), 2);
  EXPECT_EQ(copy.Items(1).Name(), u"NAME");
  EXPECT_EQ(copy.Items(1).DataType(), ftString);
  EXPECT_EQ(copy.Items(1).Size(), 12);
  EXPECT_TRUE(copy.Items(0).Required());
  EXPECT_THROW(copy.Add(u"name", ftInteger), EDatabaseError);
  ds->Close();
  // A persistent field of another type than its definition refuses to open.
  TField* wrong = createField(TStringField::staticClassInfo(), nullptr);
  wrong->SetFieldName(u"ID");
  wrong->SetDataSet(ds.get());
  EXPECT_THROW(ds->Open(), EDatabaseError);
  EXPECT_FALSE(ds->Active());
}

TEST(IndexDefinitions, FindIndexForFields) {
  TIndexDefs defs;
  defs.Add(u"byName", u"NAME;ID", {ixCaseInsensitive});
  defs.Add(u"byId", u"ID", {ixPrimary, ixUnique});
  defs.Add(u"byNameOnly", u"name", {});
  EXPECT_EQ(defs.FindIndexForFields(u"ID").Name(), u"byId");
  EXPECT_EQ(defs.FindIndexForFields(u"NAME").Name(), u"byNameOnly");  // exact before leading
  EXPECT_EQ(defs.FindIndexForFields(u"name; id").Name(), u"byName");
  EXPECT_EQ(defs.GetIndexForFields(u"NAME", true)->Name(), u"byName");
  EXPECT_THROW(defs.FindIndexForFields(u"OTHER"), EDatabaseError);
  TIndexDefs copy;
  copy.Assign(defs);
  EXPECT_EQ(copy.Count(), 3);
  EXPECT_TRUE(copy.Find(u"BYID")->Options().contains(ixUnique));
}

}  // namespace
