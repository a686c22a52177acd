#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "nxllBde.h"
#include "nxsdTestSupport.h"
#include "nxllException.h"
#include "nxllUtils.h"
#include "nxsdDataDictionary.h"
#include "plString.h"

namespace {

using nxsdtest::B;
using nxsdtest::Bytes;


template <class F>
Bytes written(F&& f) {
  TnxMemoryStream s;
  {
    TnxWriter w(s);
    f(w);
    w.FlushBuffer();
  }
  const auto* p = static_cast<const std::uint8_t*>(s.Memory());
  return Bytes(p, p + s.Size());
}

template <class Item>
Bytes save(Item& aItem, std::int32_t aClient) {
  return written([&](TnxWriter& w) { aItem.SaveToWriter(w, aClient); });
}

template <class F>
void reading(const Bytes& b, F&& f) {
  TnxMemoryStream s;
  s.WriteBuffer(b.data(), static_cast<std::int32_t>(b.size()));
  s.SetPosition(0);
  TnxReader r(s);
  f(r);
}

using nxsdtest::expectCode;

// Owner of the fields under test: IDs and read-only like a data dictionary.
class FieldTestDictionary : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  FieldTestDictionary() : TnxDictionaryItem(nullptr) {}
  bool IsDataDictionary() const override { return true; }
  std::int32_t NextItemID() override { return ++nextID; }
  void CheckReadOnly() override {
    if (readOnly) throw EnxDataDictionaryException(nxErrDictionaryReadOnly);
  }
  std::int32_t DictionaryVersion() const override { return version; }
  // Answers with its files like a table does.
  bool FindRelatedDescriptorOfType(const platform::ClassInfo& aType, TnxDictionaryItem*& aDescriptor,
                                   TnxDictionaryItem* aFrom) override {
    if (files && files->inheritsFrom(aType)) {
      aDescriptor = files;
      return true;
    }
    return TnxDictionaryItem::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
  }
  TnxDictionaryItem* files = nullptr;
  bool readOnly = false;
  std::int32_t nextID = 0;
  std::int32_t version = 4;
};
PL_CLASS_INFO_IMPL(FieldTestDictionary, TnxDictionaryItem, "FieldTestDictionary", nullptr)

using Field = TnxFieldDescriptor;

Field* newField(TnxPersistent* aParent, const nxString& aName, TnxFieldType aType, std::int32_t aUnits = 0,
                std::int32_t aDecPl = 0, bool aRequired = false) {
  return platform::create<Field>(aParent, aName, nxString(), aType, aUnits, aDecPl, aRequired);
}

using FieldPtr = TnxOwned<Field>;

class FieldDescriptorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nxllUtilsInitialize();
    nxsdDataDictionaryInitialize(std::span<const nxString>());
  }
  void TearDown() override {
    nxsdDataDictionaryFinalize();
    nxllUtilsFinalize();
    nxsdSetStrippedInformation(false);
  }
};

// ------------------------------------------------------------ set-up, check

TEST_F(FieldDescriptorTest, CreationNormalisesAndChecksTheName) {
  FieldPtr ch(newField(nullptr, u"Flag", nxtChar, 5));
  EXPECT_EQ(ch->fdUnits, 1);
  EXPECT_EQ(ch->fdLength, 1);
  EXPECT_EQ(ch->fdNameLowerCase, u"flag");
  EXPECT_NO_THROW(ch->CheckValid(false));
  FieldPtr ai(newField(nullptr, u"Id", nxtAutoInc, 0, 0, true));
  EXPECT_FALSE(ai->fdRequired);
  for (const nxString& bad : {nxString(), nxString(u" lead"), nxString(u"a;b")})
    expectCode<EnxFieldDescriptorException>([&] { newField(nullptr, bad, nxtInt32); }, nxErrInvalidFieldName);
}

TEST_F(FieldDescriptorTest, CheckReportsTheFirstWrongSetting) {
  struct Case {
    void (*spoil)(Field&);
    std::u16string text;
  } cases[] = {
      {[](Field& f) { f.fdLength = 2; }, u"fdLength is wrong for field 0 (Flag). Expected 1 found 2."},
      {[](Field& f) { f.fdUnits = 3; }, u"fdUnits is wrong for field 0 (Flag). Expected 1 found 3."},
      {[](Field& f) { f.fdDecPl = 2; }, u"fdDecPl is wrong for field 0 (Flag). Expected 0 found 2."},
  };
  for (const Case& c : cases) {
    FieldPtr f(newField(nullptr, u"Flag", nxtChar, 5));
    c.spoil(*f);
    expectCode<EnxFieldDescriptorException>([&] { f->CheckValid(false); }, nxErrInvalidRecordStruct, c.text);
  }
  FieldPtr ai(newField(nullptr, u"Id", nxtAutoInc));
  ai->fdRequired = true;
  expectCode<EnxFieldDescriptorException>([&] { ai->CheckValid(false); }, nxErrInvalidRecordStruct,
                                          u"fdRequired is wrong for field 0 (Id). Expected False found True.");
  FieldPtr iv(newField(nullptr, u"Span", nxtInterval));
  expectCode<EnxFieldDescriptorException>([&] { iv->CheckValid(false); }, nxErrInvalidFieldDesc,
                                          u"Interval is not supported as a field type");
  FieldPtr s(newField(nullptr, u"Title", nxtWideString, 0));
  expectCode<EnxFieldDescriptorException>([&] { s->CheckValid(false); }, nxErrInvalidFieldDesc, u"Units must be > 0");
}

TEST_F(FieldDescriptorTest, FieldReadWithWrongLengthFailsItsCheck) {
  FieldPtr f(newField(nullptr, u"Flag", nxtChar, 5));
  const Bytes stream = B().Item(0).Int(3).Int(0).Int(2).Bool(false).Bool(false).Int(1).Bool(false).Bool(false).b;
  reading(stream, [&](TnxReader& r) { f->LoadFromReader(r); });
  EXPECT_EQ(f->fdLength, 2);
  expectCode<EnxFieldDescriptorException>([&] { f->CheckValid(false); }, nxErrInvalidRecordStruct,
                                          u"Expected 1 found 2.");
}

TEST_F(FieldDescriptorTest, ToStringNamesTypeAndSize) {
  struct Case {
    TnxFieldType type;
    std::int32_t units, decPl, number;
    std::u16string text;
  } cases[] = {
      {nxtWideString, 20, 0, 0, u"[0] Title - WideString(20)"},
      {nxtFmtBCD, 10, 2, 3, u"[3] Title - FmtBCD(10,2)"},
      {nxtInt32, 10, 0, 1, u"[1] Title - Int32"},
      {nxtByteArray, 16, 0, 2, u"[2] Title - ByteArray(16)"},
  };
  for (const Case& c : cases) {
    FieldPtr f(newField(nullptr, u"Title", c.type, c.units, c.decPl));
    f->fdNumber = c.number;
    EXPECT_EQ(f->ToString(), c.text);
  }
}

TEST_F(FieldDescriptorTest, FieldInterfaceAnswersTheUsedLocale) {
  FieldTestDictionary dd;
  FieldPtr f(newField(&dd, u"Title", nxtWideString, 20));
  TnxIntfPtr<InxFieldDescriptor> intf = nxSupports<InxFieldDescriptor>(f.get());
  ASSERT_TRUE(intf);
  EXPECT_EQ(intf->GetFieldName(), u"Title");
  EXPECT_EQ(intf->GetFieldType(), nxtWideString);
  EXPECT_EQ(intf->GetFieldUnits(), 20);
  EXPECT_EQ(intf->GetFieldLocaleDescriptor(), nullptr);
  TnxLocaleDescriptor* own = f->AddLocaleDescriptor();
  own->SetOverrideStorageCodepage(1252);
  EXPECT_EQ(intf->GetFieldLocaleDescriptor(), own);
  EXPECT_EQ(intf->GetFieldStorageCodePage(), own->StorageCodepage());
}

// ------------------------------------------------------------ buffers

TEST_F(FieldDescriptorTest, BufferAsVariantZeroesOnNullAndOnFailure) {
  FieldPtr f(newField(nullptr, u"Qty", nxtInt32, 10));
  std::uint8_t buf[4] = {1, 2, 3, 4};
  f->fdSetBufferAsVariant(buf, platform::Variant::null());
  EXPECT_EQ(Bytes(buf, buf + 4), Bytes(4, 0));
  f->fdSetBufferAsVariant(buf, platform::Variant(258));
  EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{2, 1, 0, 0}));
  EXPECT_EQ(f->fdGetBufferAsVariant(buf).toInt32(), 258);
  EXPECT_TRUE(f->fdGetBufferAsVariant(nullptr).isNull());
  EXPECT_ANY_THROW(f->fdSetBufferAsVariant(buf, platform::Variant(u"not a number")));
  EXPECT_EQ(Bytes(buf, buf + 4), Bytes(4, 0));
}

// ------------------------------------------------------------ defaults

TEST_F(FieldDescriptorTest, DefaultClassesRefuseFieldTypes) {
  FieldTestDictionary dd;
  FieldPtr i32(newField(&dd, u"Qty", nxtInt32, 10));
  i32->AddDefaultValue(&TnxCurrentDateTimeDefaultValueDescriptor::staticClassInfo());
  expectCode<EnxBaseDefaultValueDescriptorException>(
      [&] { i32->CheckValid(false); }, nxErrInvalidFieldDesc,
      u"\"TnxCurrentDateTimeDefaultValueDescriptor\" is not supported for field type \"nxtInt32\"");
  struct Case {
    const platform::ClassInfo* cls;
    TnxFieldType good, bad;
  } cases[] = {
      {&TnxCurrentDateTimeDefaultValueDescriptor::staticClassInfo(), nxtDate, nxtInt32},
      {&TnxCurrentUserDefaultValueDescriptor::staticClassInfo(), nxtNullString, nxtGuid},
      {&TnxAutoGuidDefaultValueDescriptor::staticClassInfo(), nxtGuid, nxtWideString},
      {&TnxEmptyDefaultValueDescriptor::staticClassInfo(), nxtInt64, nxtDateTime},
      {&TnxNextLSNDefaultValueDescriptor::staticClassInfo(), nxtInt64, nxtInt32},
      {&TnxConstDefaultValueDescriptor::staticClassInfo(), nxtDateTime, nxtBlob},
  };
  for (const Case& c : cases) {
    FieldPtr good(newField(&dd, u"G", c.good, 10));
    good->AddDefaultValue(c.cls);
    EXPECT_NO_THROW(good->CheckValid(false)) << c.cls->name;
    FieldPtr bad(newField(&dd, u"B", c.bad, 10));
    if (nxFieldTypeIn(c.bad, nxBlobFieldTypes)) continue;
    bad->AddDefaultValue(c.cls);
    expectCode<EnxBaseDefaultValueDescriptorException>([&] { bad->CheckValid(false); }, nxErrInvalidFieldDesc);
  }
  // A BLOB field takes no default of any class, at creation.
  FieldPtr blob(newField(&dd, u"Doc", nxtBlob));
  expectCode<EnxBaseDefaultValueDescriptorException>(
      [&] { blob->AddDefaultValue(&TnxEmptyDefaultValueDescriptor::staticClassInfo()); }, nxErrInvalidFieldDesc,
      u"is not supported for field type \"nxtBlob\"");
  expectCode<EnxBaseDefaultValueDescriptorException>([&] { blob->AddDefaultValue(); }, nxErrInvalidFieldDesc);
  EXPECT_EQ(blob->DefaultValue(), nullptr);
}

TEST_F(FieldDescriptorTest, NextLsnDefaultKeepsItsFixedSettings) {
  FieldPtr f(newField(nullptr, u"Lsn", nxtInt64));
  auto* d = f->AddDefaultValue(&TnxNextLSNDefaultValueDescriptor::staticClassInfo());
  d->SetOverwriteNonNull(false);
  d->SetApplyOnInsert(false);
  d->SetApplyAt(nxApplyAtBit(aaClient));
  EXPECT_TRUE(d->OverwriteNonNull());
  EXPECT_TRUE(d->ApplyOnInsert());
  EXPECT_EQ(d->ApplyAt(), nxApplyAtBit(aaServer));
  d->SetApplyOnModify(false);
  EXPECT_FALSE(d->ApplyOnModify());
  // Kept when the field becomes a cache copy; other defaults go.
  f->MakeFieldCacheable();
  EXPECT_EQ(f->DefaultValue(), d);
  FieldPtr g(newField(nullptr, u"Qty", nxtInt32, 10));
  g->AddDefaultValue();
  g->MakeFieldCacheable();
  EXPECT_EQ(g->DefaultValue(), nullptr);
}

TEST_F(FieldDescriptorTest, ConstDefaultFollowsTheFieldType) {
  FieldPtr f(newField(nullptr, u"Qty", nxtInt32, 10));
  auto* d = static_cast<TnxConstDefaultValueDescriptor*>(f->AddDefaultValue());
  EXPECT_EQ(d->DefaultValue(), Bytes(4, 0));
  d->SetAsVariant(platform::Variant(7));
  EXPECT_EQ(d->DefaultValue(), (Bytes{7, 0, 0, 0}));
  f->fdType = nxtInt64;
  f->UpdateSetup();
  EXPECT_EQ(d->AsVariant().toInt64(), 7);
  EXPECT_EQ(d->DefaultValue(), (Bytes{7, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(d->cdvFieldLength, 8);
  // Text that no longer converts: the bytes are dropped and 10002 raised.
  FieldPtr s(newField(nullptr, u"Code", nxtWideString, 5));
  auto* sd = static_cast<TnxConstDefaultValueDescriptor*>(s->AddDefaultValue());
  sd->SetAsVariant(platform::Variant(u"abc"));
  s->fdType = nxtInt32;
  s->fdUnits = 10;
  s->UpdateSetup();
  expectCode<EnxConstDefaultValueDescriptorException>([&] { sd->AsVariant(); }, nxErrInvalidFieldXform,
                                                      u"Invalid field transformation.");
  EXPECT_EQ(sd->DefaultValue(), Bytes(4, 0));
}

TEST_F(FieldDescriptorTest, DefaultStreamPerClientVersion) {
  FieldPtr f(newField(nullptr, u"Qty", nxtInt32, 10));
  auto* d = static_cast<TnxConstDefaultValueDescriptor*>(f->AddDefaultValue());
  d->SetAsVariant(platform::Variant(7));
  EXPECT_EQ(save(*d, 47501), B().Item(0)
                                 .Ident("BDVD")
                                 .Int(1)
                                 .Bool(true)
                                 .Bool(false)
                                 .Bool(false)
                                 .Bool(true)
                                 .Bool(true)
                                 .Int(1)
                                 .Raw({7, 0, 0, 0})
                                 .b);
  EXPECT_EQ(save(*d, 19999), B().Item(0, true).Int(1).Raw({7, 0, 0, 0}).b);
  d->SetApplyOnModify(true);
  expectCode<EnxBaseDefaultValueDescriptorException>([&] { save(*d, 19999); }, nxErrIncompatibleVersion);
  const Bytes modified = save(*d, 47501);
  // An old stream gives the creation settings back.
  reading(B().Item(0, true).Int(1).Raw({9, 0, 0, 0}).b, [&](TnxReader& r) { d->LoadFromReader(r); });
  EXPECT_FALSE(d->ApplyOnModify());
  EXPECT_EQ(d->AsVariant().toInt32(), 9);
  reading(modified, [&](TnxReader& r) { d->LoadFromReader(r); });
  EXPECT_TRUE(d->ApplyOnModify());
  EXPECT_EQ(d->AsVariant().toInt32(), 7);
  for (const Bytes& bad : {B().Item(0).Ident("BDVX").Int(1).b, B().Item(0).Ident("BDVD").Int(2).b})
    expectCode<EnxBaseDefaultValueDescriptorException>(
        [&] { reading(bad, [&](TnxReader& r) { d->LoadFromReader(r); }); }, nxErrIncompatibleStream);
  expectCode<EnxConstDefaultValueDescriptorException>(
      [&] { reading(B().Item(0, true).Int(2).b, [&](TnxReader& r) { d->LoadFromReader(r); }); },
      nxErrIncompatibleStream);
}

// ------------------------------------------------------------ field stream

TEST_F(FieldDescriptorTest, StandaloneGoldenBytesAndRoundTrip) {
  FieldPtr f(newField(nullptr, u"Qty", nxtInt32, 10));
  f->fdNoClientAccess = true;
  const Bytes header = B().Str("TnxFieldDescriptor").Str("Qty").Str("").Str("nxtInt32").Int(10).Int(0).Bool(false).b;
  const Bytes now = B().Int(1)
                        .Add(header)
                        .Item(0)
                        .Int(3)
                        .Int(0)
                        .Int(4)
                        .Bool(false)
                        .Bool(true)
                        .Int(1)
                        .Bool(false)
                        .Bool(false)
                        .b;
  EXPECT_EQ(written([&](TnxWriter& w) { f->SaveStandalone(w, 47501); }), now);
  const Bytes old = B().Int(1).Add(header).Item(0, true).Int(1).Int(0).Int(4).Bool(false).Bool(true).b;
  EXPECT_EQ(written([&](TnxWriter& w) { f->SaveStandalone(w, 19999); }), old);
  for (const Bytes& b : {now, old})
    reading(b, [&](TnxReader& r) {
      FieldPtr copy(TnxFieldDescriptor::CreateStandaloneFromReader(r));
      EXPECT_TRUE(copy->IsEqual(f.get()));
    });
}

TEST_F(FieldDescriptorTest, StreamCarriesDefaultAndLocale) {
  FieldTestDictionary dd;
  FieldPtr f(newField(&dd, u"Name", nxtWideString, 30));
  f->AddDefaultValue(&TnxCurrentUserDefaultValueDescriptor::staticClassInfo());
  f->AddLocaleDescriptor()->SetIgnoreWidth(true);
  const Bytes stream = written([&](TnxWriter& w) { f->SaveStandalone(w, 47501); });
  reading(stream, [&](TnxReader& r) {
    FieldPtr copy(TnxFieldDescriptor::CreateStandaloneFromReader(r));
    ASSERT_NE(copy->DefaultValue(), nullptr);
    EXPECT_EQ(&copy->DefaultValue()->classInfo(), &TnxCurrentUserDefaultValueDescriptor::staticClassInfo());
    ASSERT_NE(copy->LocaleDescriptor(), nullptr);
    EXPECT_TRUE(copy->LocaleDescriptor()->IgnoreWidth());
    EXPECT_TRUE(copy->IsEqual(f.get()));
  });
  // An old client cannot read an own locale.
  expectCode<EnxFieldDescriptorException>([&] { save(*f, 19999); }, nxErrIncompatibleVersion);
}

TEST_F(FieldDescriptorTest, StreamRefusals) {
  FieldPtr f(newField(nullptr, u"Qty", nxtInt32, 10));
  const auto load = [&](const Bytes& b) { reading(b, [&](TnxReader& r) { f->LoadFromReader(r); }); };
  expectCode<EnxFieldDescriptorException>([&] { load(B().Item(0).Int(4).b); }, nxErrIncompatibleStream);
  expectCode<EnxFieldDescriptorException>(
      [&] { load(B().Item(0).Int(3).Int(0).Int(4).Bool(true).Str("TnxNoSuchDefault").b); },
      nxErrUnsupportedDescriptor, u"DefaultValueDescriptor class is not supported: TnxNoSuchDefault");
  expectCode<EnxFieldDescriptorException>(
      [&] {
        load(B().Item(0).Int(3).Int(0).Int(4).Bool(false).Bool(false).Int(1).Bool(false).Bool(true).Str("TnxV").b);
      },
      nxErrUnsupportedDescriptor, u"ValidationsDescriptor class is not supported: TnxV");
  const auto standalone = [](const Bytes& b) {
    reading(b, [](TnxReader& r) { platform::TObject::free(TnxFieldDescriptor::CreateStandaloneFromReader(r)); });
  };
  expectCode<EnxFieldDescriptorException>([&] { standalone(B().Int(2).b); }, nxErrIncompatibleStream);
  expectCode<EnxFieldDescriptorException>(
      [&] { standalone(B().Int(1).Str("TnxOther").Str("A").Str("").Str("nxtInt32").Int(0).Int(0).Bool(false).b); },
      nxErrUnsupportedDescriptor, u"FieldDescriptor class is not supported: TnxOther");
  expectCode<EnxFieldDescriptorException>(
      [&] {
        standalone(B().Int(1).Str("TnxFieldDescriptor").Str("A").Str("").Str("nxtNothing").Int(0).Int(0).Bool(false).b);
      },
      nxErrIncompatibleStream);
  FieldPtr ref(newField(nullptr, u"Ref", nxtRefNr));
  expectCode<EnxFieldDescriptorException>(
      [&] { written([&](TnxWriter& w) { ref->SaveStandalone(w, 47004); }); }, nxErrIncompatibleVersion);
}

TEST_F(FieldDescriptorTest, AssignDropsPartsTheSourceLacks) {
  FieldTestDictionary dd;
  FieldPtr source(newField(&dd, u"Qty", nxtInt32, 10));
  FieldPtr target(newField(&dd, u"Qty", nxtInt32, 10));
  target->AddLocaleDescriptor();
  target->AddDefaultValue();
  target->Assign(source.get());
  EXPECT_EQ(target->LocaleDescriptor(), nullptr);
  EXPECT_EQ(target->DefaultValue(), nullptr);
  EXPECT_TRUE(target->IsEqual(source.get()));
}

TEST_F(FieldDescriptorTest, EqualityAndRelatedParts) {
  FieldPtr a(newField(nullptr, u"Qty", nxtInt32, 10));
  FieldPtr b(newField(nullptr, u"Qty", nxtInt32, 10));
  EXPECT_TRUE(a->IsEqual(b.get()));
  b->fdName = u"QTY";
  EXPECT_FALSE(a->IsEqual(b.get()));
  b->fdName = u"Qty";
  a->AddDefaultValue()->SetApplyOnModify(true);
  EXPECT_FALSE(a->IsEqual(b.get()));
  b->AddDefaultValue()->SetApplyOnModify(true);
  EXPECT_TRUE(a->IsEqual(b.get()));
  static_cast<TnxConstDefaultValueDescriptor*>(b->DefaultValue())->SetAsVariant(platform::Variant(1));
  EXPECT_FALSE(a->IsEqual(b.get()));
  TnxDictionaryItem* found = nullptr;
  EXPECT_TRUE(a->FindRelatedDescriptorOfType(TnxBaseDefaultValueDescriptor::staticClassInfo(), found, nullptr));
  EXPECT_EQ(found, a->DefaultValue());
  a->RemoveDefaultValue();
  EXPECT_TRUE(a->FindRelatedDescriptorOfType(TnxConstDefaultValueDescriptor::staticClassInfo(), found, nullptr));
  EXPECT_EQ(found, nullptr);
}

TEST_F(FieldDescriptorTest, ReadOnlyDictionaryRefusesDefaults) {
  FieldTestDictionary dd;
  FieldPtr f(newField(&dd, u"Qty", nxtInt32, 10));
  auto* d = f->AddDefaultValue();
  dd.readOnly = true;
  expectCode<EnxDataDictionaryException>([&] { f->AddDefaultValue(); }, nxErrDictionaryReadOnly);
  expectCode<EnxDataDictionaryException>([&] { f->RemoveDefaultValue(); }, nxErrDictionaryReadOnly);
  expectCode<EnxDataDictionaryException>([&] { d->SetApplyOnModify(true); }, nxErrDictionaryReadOnly);
  EXPECT_EQ(f->DefaultValue(), d);
  dd.readOnly = false;
}

// ============================================================ fields and the record layout

// Holds a field number and follows the renumbering rule; vetoes removing it.
class FieldHolder : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  FieldHolder(TnxPersistent* aParent, std::int32_t aField) : TnxDictionaryItem(aParent), field(aField) {}
  void HandleFieldChange(bool aBefore, std::int32_t aOld, std::int32_t aNew) override {
    calls.push_back({aBefore, aOld, aNew});
    if (aBefore) {
      if (aOld == field && aNew < 0) throw EnxIndexDescriptorException(nxErrObjectInUse, u"field in use");
    } else {
      nxsdAdjustPosition(field, aOld, aNew);
    }
  }
  struct Call {
    bool before;
    std::int32_t old, now;
    bool operator==(const Call&) const = default;
  };
  std::int32_t field;
  std::vector<Call> calls;
};
PL_CLASS_INFO_IMPL(FieldHolder, TnxDictionaryItem, "FieldHolder", nullptr)

class FieldsTest : public FieldDescriptorTest {
 protected:
  FieldTestDictionary dd;
  TnxFieldsDescriptor* fields = nullptr;
  void SetUp() override {
    FieldDescriptorTest::SetUp();
    fields = platform::create<TnxFieldsDescriptor>(&dd);
  }
  void TearDown() override {
    platform::TObject::free(fields);
    FieldDescriptorTest::TearDown();
  }
  // Int32, ShortString(10), Boolean: 4 + 11 + 1 bytes.
  void AddExample() {
    fields->AddField(u"Id", u"", nxtInt32, 10, 0, false);
    fields->AddField(u"Name", u"", nxtShortString, 10, 0, false);
    fields->AddField(u"Done", u"", nxtBoolean, 0, 0, false);
  }
  std::vector<std::int32_t> Offsets() const {
    std::vector<std::int32_t> r;
    for (std::int32_t i = 0; i < fields->FieldCount(); ++i) {
      EXPECT_EQ(fields->Fields(i)->fdNumber, i);
      r.push_back(fields->Fields(i)->fdOffset);
    }
    return r;
  }
};

TEST_F(FieldsTest, ExampleLayoutAndBlankRecord) {
  AddExample();
  EXPECT_EQ(Offsets(), (std::vector<std::int32_t>{0, 4, 15}));
  EXPECT_EQ(fields->fsdLogRecLen, 16);
  EXPECT_EQ(fields->fsdLogRecLenAlign, 16);
  EXPECT_EQ(fields->RecordLength(), 20);
  Bytes rec(20, 0xAA);
  fields->InitRecord(rec.data());
  Bytes expected(20, 0);
  expected[16] = 0xFF;
  EXPECT_EQ(rec, expected);
  for (std::int32_t i = 0; i < 3; ++i) EXPECT_TRUE(fields->IsRecordFieldNull(i, rec.data()));
  fields->AddField(u"Flag", u"", nxtBoolean, 0, 0, false);
  EXPECT_EQ(fields->fsdLogRecLen, 17);
  EXPECT_EQ(fields->fsdLogRecLenAlign, 20);
  EXPECT_EQ(fields->RecordLength(), 24);
}

TEST_F(FieldsTest, VersionOneDictionaryKeepsTheBitmapUnrounded) {
  dd.version = 1;
  AddExample();
  EXPECT_EQ(fields->fsdLogRecLenAlign, 16);
  fields->AddField(u"Flag", u"", nxtBoolean, 0, 0, false);
  EXPECT_EQ(fields->fsdLogRecLenAlign, 17);
  EXPECT_EQ(fields->RecordLength(), 24);
  Bytes rec(24, 0xAA);
  fields->InitRecord(rec.data());
  EXPECT_EQ(rec[17], 0xFF);
  EXPECT_EQ(rec[16], 0);
  // Moving, inserting and a full recompute (a restructure) follow the same
  // rule, and the layout passes the dictionary's own check.
  fields->InsertFieldAt(0, u"Lead", u"", nxtBoolean, 0, 0, false);
  EXPECT_EQ(fields->fsdLogRecLenAlign, 18);
  fields->Fields(2)->fdUnits = 12;
  fields->Fields(2)->fdLength = 13;
  fields->UpdateSetupAndOffsets();
  EXPECT_EQ(fields->fsdLogRecLen, 20);
  EXPECT_EQ(fields->fsdLogRecLenAlign, 20);
  fields->Fields(2)->fdUnits = 11;
  fields->Fields(2)->fdLength = 12;
  fields->UpdateSetupAndOffsets();
  EXPECT_EQ(fields->fsdLogRecLen, 19);
  EXPECT_EQ(fields->fsdLogRecLenAlign, 19);
  EXPECT_NO_THROW(fields->CheckValid(false));
  // From version 2 on the recompute rounds.
  dd.version = 4;
  fields->UpdateSetupAndOffsets();
  EXPECT_EQ(fields->fsdLogRecLenAlign, 20);
  EXPECT_NO_THROW(fields->CheckValid(false));
}

TEST_F(FieldsTest, ThirtyThreeFieldsTakeTwoBitmapWords) {
  for (int i = 0; i < 33; ++i) fields->AddField(u"F" + platform::fromUtf8(std::to_string(i)), u"", nxtByte, 3, 0, false);
  EXPECT_EQ(fields->fsdLogRecLen, 33);
  EXPECT_EQ(fields->fsdLogRecLenAlign, 36);
  EXPECT_EQ(fields->RecordLength(), 44);
  Bytes rec(44, 0xAA);
  fields->InitRecord(rec.data());
  EXPECT_EQ(Bytes(rec.begin() + 36, rec.end()), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0}));
  EXPECT_TRUE(fields->IsRecordFieldNull(32, rec.data()));
  fields->SetRecordFieldNull(32, rec.data(), false);
  EXPECT_EQ(rec[40], 0xFE);
  EXPECT_FALSE(fields->IsRecordFieldNull(32, rec.data()));
}

TEST_F(FieldsTest, ReadingAndWritingFieldsAndNulls) {
  AddExample();
  Bytes rec(20);
  fields->InitRecord(rec.data());
  std::memset(rec.data() + 4, 0x55, 11);
  fields->SetRecordFieldNull(1, rec.data(), false);
  fields->SetRecordFieldNull(1, rec.data(), true);
  EXPECT_EQ(Bytes(rec.begin() + 4, rec.begin() + 15), Bytes(11, 0));
  std::memset(rec.data() + 4, 0x55, 11);
  fields->SetRecordField(1, rec.data(), nullptr);
  EXPECT_EQ(Bytes(rec.begin() + 4, rec.begin() + 15), Bytes(11, 0));
  EXPECT_TRUE(fields->IsRecordFieldNull(1, rec.data()));
  const std::uint8_t id[4] = {1, 2, 3, 4};
  fields->SetRecordField(0, rec.data(), id);
  EXPECT_EQ(rec[16], 0xFE);
  std::uint8_t out[4] = {};
  bool isNull = true;
  fields->GetRecordField(0, rec.data(), isNull, out);
  EXPECT_FALSE(isNull);
  EXPECT_EQ(Bytes(out, out + 4), Bytes(id, id + 4));
  fields->GetRecordField(0, nullptr, isNull, out);
  EXPECT_TRUE(isNull);
  fields->fsdSetFieldByNameAsVariant(rec.data(), u"NAME", platform::Variant(u"abc"));
  EXPECT_EQ(rec[4], 3);
  EXPECT_EQ(fields->fsdGetFieldByIndexAsVariant(rec.data(), 1).toString(), u"abc");
  EXPECT_TRUE(fields->fsdGetFieldByIndexAsVariant(rec.data(), 2).isNull());
  std::uint16_t type = 0, size = 0, cp = 1;
  const void* value = nullptr;
  ASSERT_TRUE(fields->GetFieldForFilter(1, "", rec.data(), type, size, isNull, value, cp));
  EXPECT_EQ(type, nxtShortString);
  EXPECT_EQ(size, 3);
  EXPECT_EQ(value, rec.data() + 5);
  EXPECT_FALSE(fields->GetFieldForFilter(3, "", rec.data(), type, size, isNull, value, cp));
  EXPECT_EQ(fields->GetRecordFieldForFilter(2, rec.data()), nullptr);
  EXPECT_EQ(fields->GetRecordFieldForFilter(0, rec.data()), rec.data());
  EXPECT_EQ(fields->RecordBufferToString(rec.data()), u"Id: 67305985\r\nName: abc\r\nDone: <?>\r\n");
  fields->fsdSetFieldByIndexAsVariant(rec.data(), 1, platform::Variant::null());
  EXPECT_TRUE(fields->IsRecordFieldNull(1, rec.data()));
  EXPECT_EQ(Bytes(rec.begin() + 4, rec.begin() + 15), Bytes(11, 0));
  for (std::int32_t bad : {-1, 3})
    expectCode<EnxFieldsDescriptorException>([&] { fields->IsRecordFieldNull(bad, rec.data()); },
                                             nxErrInvalidDescNumber,
                                             u"Index out of bounds: " + platform::fromUtf8(std::to_string(bad)));
  expectCode<EnxFieldsDescriptorException>(
      [&] { fields->fsdSetFieldByIndexAsVariant(rec.data(), 5, platform::Variant(1)); }, nxErrInvalidDescNumber);
  expectCode<EnxFieldsDescriptorException>([&] { fields->fsdGetFieldByNameAsVariant(rec.data(), u"Nope"); },
                                           nxErrInvalidDescNumber, u"Index out of bounds: -1");
}

// Filters see the fields descriptor only through InxFieldsSource.
TEST_F(FieldsTest, AnswersAsAFieldsSourceWithoutCursorOrBlobs) {
  AddExample();
  TnxIntfPtr<InxFieldsSource> source = nxSupports<InxFieldsSource>(fields);
  ASSERT_TRUE(source);
  EXPECT_EQ(source->GetFieldCount(), 3);
  EXPECT_EQ(source->GetFieldFromName(u"NAME"), 1);
  EXPECT_EQ(source->GetFieldFromName(u"Missing"), -1);
  EXPECT_FALSE(source->BlobsSupported());
  EXPECT_EQ(source->GetCursor(), nullptr);
  EXPECT_EQ(source->GetFieldsOffset(), 0);
  InxFieldDescriptor* name = source->GetFieldDescriptor(1);
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(name, static_cast<InxFieldDescriptor*>(fields->Fields(1)));
  EXPECT_EQ(name->GetFieldName(), u"Name");
  EXPECT_EQ(name->GetFieldType(), nxtShortString);
  EXPECT_EQ(name->GetFieldUnits(), 10);
  EXPECT_EQ(source->GetFieldDescriptor(3), nullptr);
  EXPECT_EQ(source->GetFieldDescriptor(-1), nullptr);
  Bytes rec(20);
  fields->InitRecord(rec.data());
  fields->fsdSetFieldByIndexAsVariant(rec.data(), 0, platform::Variant(std::int32_t{42}));
  EXPECT_EQ(source->GetFieldAsVariant(rec.data(), 0).toInt32(), 42);
  EXPECT_TRUE(source->GetFieldAsVariant(rec.data(), 2).isNull());
  std::uint16_t type = 0, size = 0, cp = 0;
  bool isNull = false;
  const void* value = rec.data();
  ASSERT_TRUE(source->GetFieldForFilter(1, "ignored", nullptr, type, size, isNull, value, cp));
  EXPECT_TRUE(isNull);
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(size, 10);
}

TEST_F(FieldsTest, NameLookupFoldsOnlyAsciiLetters) {
  fields->AddField(u"Price", u"", nxtCurrency, 0, 0, false);
  // Such a name cannot be given, only read from an old stream.
  TnxFieldDescriptor* umlaut = fields->AddField(u"Xrger", u"", nxtInt32, 10, 0, false);
  umlaut->fdName = umlaut->fdNameLowerCase = u"\u00C4rger";
  for (bool cached : {false, true}) {
    if (cached) fields->ActivateCache();
    EXPECT_EQ(fields->GetFieldFromName(u"PRICE"), 0);
    EXPECT_EQ(fields->GetFieldFromName(u"\u00C4RGER"), 1);
    EXPECT_EQ(fields->GetFieldFromName(u"\u00E4rger"), -1);
    EXPECT_EQ(fields->GetFieldFromName(u"Cost"), -1);
  }
  fields->DeactivateCache();
  expectCode<EnxFieldsDescriptorException>([&] { fields->AddField(u"pRICE", u"", nxtInt32, 10, 0, false); },
                                           nxErrNameNotUnique, u"Duplicated field name: pRICE");
  expectCode<EnxFieldsDescriptorException>([&] { fields->AddField(u"a;b", u"", nxtInt32, 10, 0, false); },
                                           nxErrInvalidFieldName);
  // Renaming to its own name in other case finds the field itself.
  expectCode<EnxFieldDescriptorException>([&] { fields->Fields(0)->ChangeName(u"price"); }, nxErrNameNotUnique);
  fields->Fields(0)->ChangeName(u"Cost");
  EXPECT_EQ(fields->GetFieldFromName(u"cost"), 0);
  EXPECT_EQ(fields->Fields(0)->fdNameLowerCase, u"cost");
}

TEST_F(FieldsTest, AddFieldNeedsAWritableDictionary) {
  TnxFieldsDescriptor* loose = platform::create<TnxFieldsDescriptor>(nullptr);
  expectCode<EnxFieldsDescriptorException>([&] { loose->AddField(u"A", u"", nxtInt32, 10, 0, false); },
                                           nxErrObjectNotFound);
  EXPECT_EQ(loose->FieldCount(), 0);
  platform::TObject::free(loose);
  dd.readOnly = true;
  expectCode<EnxDataDictionaryException>([&] { fields->AddField(u"A", u"", nxtInt32, 10, 0, false); },
                                         nxErrDictionaryReadOnly);
  dd.readOnly = false;
}

TEST_F(FieldsTest, InsertMoveRemoveRenumberAndNotify) {
  AddExample();
  FieldHolder key(&dd, 1);
  fields->AddFieldChangeNotify(&key);
  fields->InsertFieldAt(0, u"Lead", u"", nxtInt64, 20, 0, false);
  EXPECT_EQ(Offsets(), (std::vector<std::int32_t>{0, 8, 12, 23}));
  EXPECT_EQ(fields->fsdLogRecLen, 24);
  EXPECT_EQ(key.field, 2);
  EXPECT_EQ(key.calls, (std::vector<FieldHolder::Call>{{true, -1, 0}, {false, -1, 0}}));
  key.calls.clear();
  fields->InsertFieldAt(4, u"Tail", u"", nxtBoolean, 0, 0, false);  // at the end: no after-call
  EXPECT_EQ(key.calls, (std::vector<FieldHolder::Call>{{true, -1, 4}}));
  key.calls.clear();
  fields->MoveField(2, 0);
  EXPECT_EQ(fields->Fields(0)->fdName, u"Name");
  EXPECT_EQ(Offsets(), (std::vector<std::int32_t>{0, 11, 19, 23, 24}));
  EXPECT_EQ(key.field, 0);
  EXPECT_EQ(key.calls, (std::vector<FieldHolder::Call>{{true, 2, 0}, {false, 2, 0}}));
  expectCode<EnxFieldsDescriptorException>([&] { fields->MoveField(5, 0); }, nxErrInvalidDescNumber,
                                           u"Index out of bounds: 5");
  expectCode<EnxFieldsDescriptorException>([&] { fields->MoveField(0, -1); }, nxErrInvalidDescNumber,
                                           u"Index out of bounds: -1");
  expectCode<EnxFieldsDescriptorException>(
      [&] { fields->InsertFieldAt(7, u"X", u"", nxtInt32, 10, 0, false); }, nxErrInvalidDescNumber);
  // The held field vetoes its removal; the list stays.
  expectCode<EnxIndexDescriptorException>([&] { fields->RemoveField(0); }, nxErrObjectInUse);
  EXPECT_EQ(fields->FieldCount(), 5);
  // Removing the last field: no after-call, the key keeps its number.
  key.calls.clear();
  fields->RemoveField(4);
  EXPECT_EQ(key.calls, (std::vector<FieldHolder::Call>{{true, 4, -1}}));
  EXPECT_EQ(key.field, 0);
  fields->RemoveField(1);
  EXPECT_EQ(Offsets(), (std::vector<std::int32_t>{0, 11, 15}));
  EXPECT_EQ(fields->fsdLogRecLen, 16);
  fields->RemoveField(9);  // ignored
  key.calls.clear();
  key.field = 99;  // no veto
  fields->Clear(true);
  EXPECT_EQ(key.calls, (std::vector<FieldHolder::Call>{
                           {true, 2, -1}, {true, 1, -1}, {true, 0, -1}, {false, 2, -1}, {false, 1, -1}, {false, 0, -1}}));
  EXPECT_EQ(fields->fsdLogRecLen, 0);
  fields->RemoveFieldChangeNotify(&key);
}

TEST_F(FieldsTest, CopiedFieldKeepsItsOwnPlaceAndId) {
  AddExample();
  FieldPtr source(newField(&dd, u"Qty", nxtInt32, 10));
  source->fdOffset = 99;
  static_cast<TnxConstDefaultValueDescriptor*>(source->AddDefaultValue())->SetAsVariant(platform::Variant(5));
  TnxFieldDescriptor* copy = fields->AddField(source.get());
  EXPECT_EQ(copy->fdOffset, 16);
  EXPECT_EQ(copy->fdNumber, 3);
  EXPECT_NE(copy->ID(), source->ID());
  ASSERT_NE(copy->DefaultValue(), nullptr);
  EXPECT_EQ(static_cast<TnxConstDefaultValueDescriptor*>(copy->DefaultValue())->AsVariant().toInt32(), 5);
  EXPECT_EQ(fields->fsdLogRecLen, 20);
}

TEST_F(FieldsTest, CheckValidFindsWrongOffsetsAndDuplicates) {
  expectCode<EnxFieldsDescriptorException>([&] { fields->CheckValid(false); }, nxErrInvalidRecordStruct,
                                           u"FieldsDescriptor requires a minimum of one field");
  AddExample();
  EXPECT_NO_THROW(fields->CheckValid(false));
  fields->Fields(1)->fdOffset = 5;
  expectCode<EnxFieldsDescriptorException>([&] { fields->CheckValid(false); }, nxErrInvalidRecordStruct,
                                           u"fdOffset is wrong for field 1 (Name). Expected 4 found 5.");
  fields->Fields(1)->fdOffset = 4;
  fields->Fields(2)->fdName = u"ID";
  expectCode<EnxFieldsDescriptorException>([&] { fields->CheckValid(false); }, nxErrNameNotUnique,
                                           u"Duplicated field name: ID");
  struct Case {
    TnxFieldType type;
    TnxResult code;
  } cases[] = {{nxtAutoInc, nxErrDuplicateAutoInc}, {nxtRecRev, nxErrDuplicateRecRev}, {nxtRefNr, nxErrDuplicateRefNr}};
  for (const Case& c : cases) {
    fields->Clear(false);
    fields->AddField(u"A", u"", c.type, 0, 0, false);
    fields->AddField(u"B", u"", c.type, 0, 0, false);
    expectCode<EnxFieldsDescriptorException>([&] { fields->CheckValid(false); }, c.code);
  }
  fields->Clear(false);
  auto lsn = [&](const nxString& aName, bool aModify) {
    fields->AddField(aName, u"", nxtInt64, 20, 0, false)
        ->AddDefaultValue(&TnxNextLSNDefaultValueDescriptor::staticClassInfo())
        ->SetApplyOnModify(aModify);
  };
  lsn(u"M", true);
  lsn(u"I", false);
  EXPECT_NO_THROW(fields->CheckValid(false));
  std::int32_t at = -2;
  EXPECT_TRUE(fields->HasModifyLSNField(at));
  EXPECT_EQ(at, 0);
  EXPECT_TRUE(fields->HasInsertLSNField(at));
  EXPECT_EQ(at, 1);
  lsn(u"M2", true);
  expectCode<EnxFieldsDescriptorException>([&] { fields->CheckValid(false); }, nxErrDuplicateLSN,
                                           u"Duplicated LSN field");
}

TEST_F(FieldsTest, SpecialAndBlobFields) {
  fields->AddField(u"Doc", u"", nxtBlob, 0, 0, false);
  fields->AddField(u"Id", u"", nxtAutoInc, 0, 0, false);
  fields->AddField(u"Memo", u"", nxtBlobMemo, 0, 0, false);
  fields->AddField(u"G", u"", nxtGuid, 0, 0, false)->AddDefaultValue(
      &TnxAutoGuidDefaultValueDescriptor::staticClassInfo());
  std::int32_t at = -2;
  EXPECT_FALSE(fields->HasRecRevField(at));
  EXPECT_EQ(at, -1);
  for (bool cached : {false, true}) {
    if (cached) fields->ActivateCache();
    EXPECT_TRUE(fields->HasAutoIncField(at));
    EXPECT_EQ(at, 1);
    EXPECT_TRUE(fields->HasAutoGuidField(at));
    EXPECT_EQ(at, 3);
    TnxBlobFields blobs;
    EXPECT_TRUE(fields->HasBlobFields(blobs));
    EXPECT_EQ(blobs, (TnxBlobFields{0, 2}));
  }
  EXPECT_EQ(fields->Fields(2)->fdBlobIndex, 1);
  EXPECT_EQ(fields->Fields(1)->fdBlobIndex, -1);
  PnxSpecialFieldsInfo a = nullptr, b = nullptr;
  fields->GetSpecialFieldsInfo(a);
  fields->GetSpecialFieldsInfo(b);
  EXPECT_EQ(a, b);  // shared in cached mode
  EXPECT_EQ(a->sfiFieldsToBlobFields, (TnxBlobFieldsToBlobFields{0, -1, 1, -1}));
  nxReleaseSpecialFieldsInfo(a);
  nxReleaseSpecialFieldsInfo(b);
  fields->DeactivateCache();
  fields->GetSpecialFieldsInfo(a);
  fields->GetSpecialFieldsInfo(b);
  EXPECT_NE(a, b);
  nxReleaseSpecialFieldsInfo(a);
  nxReleaseSpecialFieldsInfo(b);
  TnxList* list = platform::create<TnxList>();
  EXPECT_TRUE(fields->HasBlobFields(list));
  EXPECT_EQ(list->Count(), 2);
  EXPECT_TRUE(fields->HasBlobFields(static_cast<TnxList*>(nullptr)));
  platform::TObject::free(list);
}

TEST_F(FieldsTest, DiffInformationMarksRecRevAndItsNullWord) {
  fields->AddField(u"A", u"", nxtInt32, 10, 0, false);
  fields->AddField(u"Rev", u"", nxtRecRev, 0, 0, false);
  EXPECT_EQ(fields->fsdLogRecLen, 8);
  EXPECT_EQ(fields->fsdLogRecLenAlign, 8);
  EXPECT_EQ(fields->RecordLength(), 12);
  PnxDiffCompressorInfo dci = nullptr;
  fields->GetDiffCompressionInfo(dci);
  ASSERT_NE(dci, nullptr);
  EXPECT_EQ(dci->dciSourceWord32Count, 3);
  EXPECT_EQ(dci->dciBitsLengthByte8s, 4);
  EXPECT_EQ(dci->dciTargetWord32Count, 2);
  EXPECT_EQ(dci->dciRequiredBits()[0], 0b110);
  nxReleaseDiffCompressorInfo(dci);
  // Cached: built once and shared.
  fields->ActivateCache();
  PnxDiffCompressorInfo a = nullptr, b = nullptr;
  fields->GetDiffCompressionInfo(a);
  fields->GetDiffCompressionInfo(b);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->dciRefCount, 3);
  fields->GetDiffCompressionInfo(a);  // already the cached one
  EXPECT_EQ(a->dciRefCount, 3);
  nxReleaseDiffCompressorInfo(a);
  nxReleaseDiffCompressorInfo(b);
  fields->DeactivateCache();
}

TEST_F(FieldsTest, StreamGoldenBytesAndRoundTrip) {
  fields->AddField(u"Key", u"", nxtInt32, 10, 0, false);
  const Bytes golden = B().Item(1)
                           .Int(2)
                           .Int(1)
                           .Str("TnxFieldDescriptor")
                           .Str("Key")
                           .Str("")
                           .Str("nxtInt32")
                           .Int(10)
                           .Int(0)
                           .Bool(false)
                           .Item(2)
                           .Int(3)
                           .Int(0)
                           .Int(4)
                           .Bool(false)
                           .Bool(false)
                           .Int(1)
                           .Bool(false)
                           .Bool(false)
                           .Int(4)
                           .Int(4)
                           .Bool(false)
                           .b;
  EXPECT_EQ(save(*fields, 47501), golden);
  expectCode<EnxFieldsDescriptorException>([&] { save(*fields, 19999); }, nxErrIncompatibleVersion);
  AddExample();
  TnxFieldsDescriptor* copy = platform::create<TnxFieldsDescriptor>(&dd);
  reading(save(*fields, 47501), [&](TnxReader& r) { copy->LoadFromReader(r); });
  EXPECT_TRUE(copy->IsEqual(fields));
  EXPECT_EQ(copy->Fields(3)->fdNumber, 3);
  copy->Fields(1)->fdDesc = u"changed";
  EXPECT_FALSE(copy->IsEqual(fields));
  // Version 1 has no validations part; offsets and lengths come as stored.
  Bytes v1 = golden;
  v1[12] = 1;  // the list version after the item part
  v1.pop_back();
  reading(v1, [&](TnxReader& r) { copy->LoadFromReader(r); });
  EXPECT_EQ(copy->FieldCount(), 1);
  Bytes v3 = golden;
  v3[12] = 3;
  expectCode<EnxFieldsDescriptorException>([&] { reading(v3, [&](TnxReader& r) { copy->LoadFromReader(r); }); },
                                           nxErrIncompatibleStream);
  platform::TObject::free(copy);
}

TEST_F(FieldsTest, RefNrIsWrittenAsInt64ForOlderClients) {
  fields->AddField(u"Ref", u"", nxtRefNr, 0, 0, false);
  nxsdSetStrippedInformation(false);
  const Bytes now = save(*fields, 47005);
  EXPECT_FALSE(nxsdStrippedInformation());
  const Bytes old = save(*fields, 47004);
  EXPECT_TRUE(nxsdStrippedInformation());
  const auto has = [](const Bytes& b, const std::string& s) {
    return std::search(b.begin(), b.end(), s.begin(), s.end()) != b.end();
  };
  EXPECT_TRUE(has(now, "nxtRefNr"));
  EXPECT_TRUE(has(old, "nxtInt64"));
  EXPECT_FALSE(has(old, "nxtRefNr"));
}

TEST_F(FieldsTest, OriginalFieldCountFallsBackToTheCount) {
  AddExample();
  EXPECT_EQ(fields->OriginalFieldCount(), 3);
  fields->SetOriginalFieldCount(5);
  EXPECT_EQ(fields->CustomStrings().strings(0), u"OriginalFieldCount=5");
  EXPECT_EQ(fields->OriginalFieldCount(), 5);
  fields->SetOriginalFieldCount(0);
  EXPECT_EQ(fields->CustomStrings().count(), 0);
  EXPECT_EQ(fields->OriginalFieldCount(), 3);
}

TEST_F(FieldsTest, SameFieldsComparesStorage) {
  AddExample();
  TnxFieldsDescriptor* other = platform::create<TnxFieldsDescriptor>(&dd);
  TnxFieldsDescriptor* empty = platform::create<TnxFieldsDescriptor>(&dd);
  EXPECT_FALSE(empty->HasSameFields(other, nullptr));
  reading(save(*fields, 47501), [&](TnxReader& r) { other->LoadFromReader(r); });
  EXPECT_TRUE(fields->HasSameFields(other, nullptr));
  other->RemoveField(2);
  EXPECT_FALSE(fields->HasSameFields(other, nullptr));
  platform::TObject::free(other);
  platform::TObject::free(empty);
}

// ============================================================ storage engine descriptors

template <class T>
using Owned = TnxOwned<T>;

class StorageTest : public FieldDescriptorTest {
 protected:
  FieldTestDictionary dd;
  TnxFilesDescriptor* files = nullptr;
  void SetUp() override {
    FieldDescriptorTest::SetUp();
    files = platform::create<TnxFilesDescriptor>(&dd);
    dd.files = files;
    files->AddFile(u"", nxbs4k, u"");
    files->AddFile(u"blb", nxbs4k, u"");
  }
  void TearDown() override {
    dd.files = nullptr;
    platform::TObject::free(files);
    FieldDescriptorTest::TearDown();
  }
};

TEST_F(StorageTest, FileNumbersAreCheckedAndFollowMoves) {
  Owned<TnxBaseRecordDescriptor> rec(TnxBaseRecordDescriptor::CreateOfClass(
      TnxHeapRecordDescriptor::staticClassInfo(), &dd, "Record"));
  EXPECT_EQ(rec->HeaderSection(), "Record");
  EXPECT_EQ(rec->RecordEngine(), u"nx1xDefault");
  expectCode<EnxBaseRecordDescriptorException>([&] { rec->SetFileNumber(2); }, nxErrInvalidDescNumber,
                                               u"Invalid file number: 2");
  Owned<TnxBaseBlobDescriptor> blob(
      TnxBaseBlobDescriptor::CreateOfClass(TnxHeapBlobDescriptor::staticClassInfo(), &dd, "Blob"));
  blob->SetFileNumber(1);
  expectCode<EnxBaseBlobDescriptorException>([&] { files->RemoveFile(1); }, nxErrObjectInUse,
                                             u"Cannot remove file 1 because it is still referenced by a blob engine");
  EXPECT_EQ(files->FileCount(), 2);
  files->AddFile(u"inc", nxbs4k, u"");
  Owned<TnxBaseAutoIncDescriptor> inc(
      TnxBaseAutoIncDescriptor::CreateOfClass(TnxAdvAutoIncDescriptor::staticClassInfo(), &dd, "AutoInc"));
  inc->SetFileNumber(2);
  files->MoveFile(2, 1);
  EXPECT_EQ(inc->FileNumber(), 1);
  EXPECT_EQ(blob->FileNumber(), 2);
  EXPECT_EQ(rec->FileNumber(), 0);
  expectCode<EnxBaseAutoIncDescriptorException>(
      [&] { files->RemoveFile(1); }, nxErrObjectInUse,
      u"Cannot remove file 1 because it is still referenced by an autoinc engine");
  inc->SetFileNumber(0);
  files->RemoveFile(1);
  EXPECT_EQ(blob->FileNumber(), 1);
  // A stream may carry any number; the check finds it.
  reading(B().Item(0).Int(2).Str("Variable").Int(7).b, [&](TnxReader& r) { rec->TnxBaseRecordDescriptor::LoadFromReader(r); });
  expectCode<EnxBaseRecordDescriptorException>([&] { rec->TnxBaseRecordDescriptor::CheckValid(false); },
                                               nxErrInvalidDescNumber, u"Invalid file number: 7");
  EXPECT_EQ(rec->RecordEngine(), u"Variable");
  expectCode<EnxBaseRecordDescriptorException>(
      [&] { TnxBaseRecordDescriptor::CreateOfClass(TnxBaseBlobDescriptor::staticClassInfo(), &dd, "X"); },
      nxErrUnsupportedDescriptor, u"RecordDescriptor class is not supported: TnxBaseBlobDescriptor");
}

TEST_F(StorageTest, HeapRecordStreamsAndDefaultsParts) {
  Owned<TnxHeapRecordDescriptor> rec(platform::create<TnxHeapRecordDescriptor>(&dd, std::string("Record")));
  rec->AddHeapDescriptor()->AddBlockHeapDescriptor();
  rec->AddRecordCompressionDescriptor()->SetCompressType(3);
  const Bytes heap = B().Item(5).Int(2).Str("nx1xDefault").Bool(true).Str("TnxBaseBlockHeapDescriptor").Item(6).Int(1).Str("nx1xDefault").b;
  // IDs: the files descriptor and its two files take 1..3.
  const Bytes golden = B().Item(4)
                           .Int(2)
                           .Str("nx1xDefault")
                           .Int(0)
                           .Int(3)
                           .Bool(true)
                           .Str("TnxBaseHeapDescriptor")
                           .Add(heap)
                           .Bool(true)
                           .Str("TnxBaseRecordCompressionDescriptor")
                           .Int(3)
                           .Raw({1})
                           .Str("CompressType=3")
                           .Raw({0})
                           .Int(7)
                           .Str("")
                           .Int(1)
                           .Str("Smart")
                           .b;
  EXPECT_EQ(save(*rec, 47501), golden);
  Owned<TnxHeapRecordDescriptor> copy(platform::create<TnxHeapRecordDescriptor>(&dd, std::string("Record")));
  reading(golden, [&](TnxReader& r) { copy->LoadFromReader(r); });
  EXPECT_TRUE(copy->IsEqual(rec.get()));
  EXPECT_EQ(copy->RecordCompressionDescriptor()->CompressType(), 3);
  // Version 1 without a heap: a default heap, and on the check a default block heap.
  reading(B().Item(0, true).Int(1).Str("nx1xDefault").Int(1).Bool(false).b,
          [&](TnxReader& r) { copy->LoadFromReader(r); });
  ASSERT_NE(copy->HeapDescriptor(), nullptr);
  EXPECT_EQ(copy->HeapDescriptor()->HeapEngine(), u"nx1xDefault");
  EXPECT_EQ(copy->HeapDescriptor()->BlockHeapDescriptor(), nullptr);
  EXPECT_EQ(copy->RecordCompressionDescriptor(), nullptr);
  copy->CheckValid(false);
  ASSERT_NE(copy->HeapDescriptor()->BlockHeapDescriptor(), nullptr);
  EXPECT_EQ(copy->HeapDescriptor()->BlockHeapDescriptor()->BlockHeapEngine(), u"nx1xDefault");
  expectCode<EnxBaseHeapDescriptorException>(
      [&] { reading(B().Item(0).Int(2).Str("x").Int(0).Int(4).b, [&](TnxReader& r) { copy->LoadFromReader(r); }); },
      nxErrIncompatibleStream);
  expectCode<EnxHeapRecordDescriptorException>(
      [&] {
        reading(B().Item(0).Int(2).Str("x").Int(0).Int(3).Bool(true).Str("TnxNoHeap").b,
                [&](TnxReader& r) { copy->LoadFromReader(r); });
      },
      nxErrUnsupportedDescriptor, u"HeapDescriptor class is not supported: TnxNoHeap");
}

TEST_F(StorageTest, HeapBlobGetsADefaultHeap) {
  Owned<TnxHeapBlobDescriptor> blob(platform::create<TnxHeapBlobDescriptor>(&dd, std::string("Blob")));
  EXPECT_EQ(blob->HeapDescriptor(), nullptr);
  blob->CheckValid(false);
  ASSERT_NE(blob->HeapDescriptor(), nullptr);
  ASSERT_NE(blob->HeapDescriptor()->BlockHeapDescriptor(), nullptr);
  Owned<TnxHeapBlobDescriptor> copy(platform::create<TnxHeapBlobDescriptor>(&dd, std::string("Blob")));
  reading(save(*blob, 47501), [&](TnxReader& r) { copy->LoadFromReader(r); });
  EXPECT_TRUE(copy->IsEqual(blob.get()));
  // Old clients: version 1 parts without the file number.
  EXPECT_EQ(save(*blob, 19999),
            B().Item(0, true).Int(1).Str("nx1xDefault").Int(1).Bool(true).Str("TnxBaseHeapDescriptor")
                .Item(0, true).Int(1).Str("nx1xDefault").Bool(true).Str("TnxBaseBlockHeapDescriptor")
                .Item(0, true).Int(1).Str("nx1xDefault").b);
  copy->SetBlobEngine(u"NX1XDEFAULT");
  EXPECT_TRUE(copy->IsEqual(blob.get()));  // engine names ignore case
  copy->HeapDescriptor()->SetHeapEngine(u"Other");
  EXPECT_FALSE(copy->IsEqual(blob.get()));
}

TEST_F(StorageTest, AutoIncAndStreamVersions) {
  Owned<TnxAdvAutoIncDescriptor> inc(platform::create<TnxAdvAutoIncDescriptor>(&dd, std::string("AutoInc")));
  EXPECT_EQ(inc->InitialValue(), 1u);
  EXPECT_EQ(inc->Step(), 1u);
  reading(B().Item(0).Int(1).Str("nx1xDefault").Int(0).Int(1).Int(10).Int(5).b,
          [&](TnxReader& r) { inc->LoadFromReader(r); });
  EXPECT_EQ(inc->InitialValue(), 15u);
  EXPECT_EQ(inc->Step(), 5u);
  EXPECT_EQ(save(*inc, 47501), B().Item(0).Int(1).Str("nx1xDefault").Int(0).Int(2).Int(15).Int(5).b);
  expectCode<EnxBaseAutoIncDescriptorException>(
      [&] { reading(B().Item(0).Int(2).b, [&](TnxReader& r) { inc->LoadFromReader(r); }); }, nxErrIncompatibleStream);
  Owned<TnxBaseStreamDescriptor> stream(platform::create<TnxBaseStreamDescriptor>(&dd, std::string("Stream")));
  EXPECT_EQ(save(*stream, 47501), B().Item(5).Int(1).Str("nx1xDefault").b);
  expectCode<EnxBaseStreamDescriptorException>(
      [&] { reading(B().Item(0).Int(2).b, [&](TnxReader& r) { stream->LoadFromReader(r); }); },
      nxErrIncompatibleStream);
  dd.readOnly = true;
  expectCode<EnxDataDictionaryException>([&] { inc->SetStep(3); }, nxErrDictionaryReadOnly);
  expectCode<EnxDataDictionaryException>([&] { stream->SetStreamEngine(u"X"); }, nxErrDictionaryReadOnly);
  dd.readOnly = false;
}

TEST_F(StorageTest, DestroyedDescriptorLeavesTheFileSubscribers) {
  {
    TnxBaseAutoIncDescriptor stackItem(&dd, "AutoInc");  // destroyed without the hook
    stackItem.SetFileNumber(1);
  }
  Owned<TnxBaseAutoIncDescriptor> inc(platform::create<TnxBaseAutoIncDescriptor>(&dd, std::string("AutoInc")));
  inc.reset();
  files->AddFile(u"x", nxbs4k, u"");
  files->MoveFile(2, 1);  // would call freed items
  files->RemoveFile(1);
  EXPECT_EQ(files->FileCount(), 2);
}

TEST_F(StorageTest, CompressTypeLivesInTheCustomStrings) {
  Owned<TnxBaseRecordCompressionDescriptor> c(platform::create<TnxBaseRecordCompressionDescriptor>(&dd));
  EXPECT_EQ(c->CompressType(), 0);
  EXPECT_EQ(c->RecordCompressionEngine(), u"Smart");
  c->SetCompressType(3);
  EXPECT_EQ(c->CustomStrings().strings(0), u"CompressType=3");
  EXPECT_EQ(c->CompressType(), 3);
  c->SetCompressType(0);
  EXPECT_EQ(c->CustomStrings().count(), 0);
}

}  // namespace
