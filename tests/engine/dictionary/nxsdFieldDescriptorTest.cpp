#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "nxllBde.h"
#include "nxllException.h"
#include "nxllUtils.h"
#include "nxsdDataDictionary.h"
#include "plString.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Tagged values for golden streams.
struct B {
  Bytes b;
  B& Int(std::int32_t v) {
    if (v >= -128 && v <= 127) {
      b.push_back(2);
      b.push_back(static_cast<std::uint8_t>(v));
    } else if (v >= -32768 && v <= 32767) {
      b.push_back(3);
      b.push_back(static_cast<std::uint8_t>(v));
      b.push_back(static_cast<std::uint8_t>(v >> 8));
    } else {
      b.push_back(4);
      for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * i)));
    }
    return *this;
  }
  B& Str(const std::string& s) {
    if (s.empty()) {
      b.insert(b.end(), {0x12, 0, 0, 0, 0});
      return *this;
    }
    b.push_back(6);
    b.push_back(static_cast<std::uint8_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  B& Ident(const std::string& s) {
    b.push_back(7);
    b.push_back(static_cast<std::uint8_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  B& Bool(bool v) {
    b.push_back(v ? 9 : 8);
    return *this;
  }
  B& Raw(std::initializer_list<std::uint8_t> r) {
    b.insert(b.end(), r);
    return *this;
  }
  // The item part of an item without custom strings.
  B& Item(std::int32_t aId, bool aOld = false) {
    if (aOld) return Int(1).Raw({1, 0});
    return Int(3).Raw({1, 0}).Int(aId).Str("");
  }
  B& Add(const Bytes& o) {
    b.insert(b.end(), o.begin(), o.end());
    return *this;
  }
};

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

template <class E, class F>
void expectCode(F&& f, TnxResult aCode, const std::u16string& aText = {}) {
  try {
    f();
    ADD_FAILURE() << "no exception, expected " << aCode;
  } catch (const E& e) {
    EXPECT_EQ(e.ErrorCode(), aCode) << platform::toUtf8(e.Message());
    if (!aText.empty()) {
      EXPECT_NE(e.Message().find(aText), nxString::npos) << platform::toUtf8(e.Message());
    }
  }
}

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

struct FieldPtr {
  Field* f;
  explicit FieldPtr(Field* a) : f(a) {}
  ~FieldPtr() { platform::TObject::free(f); }
  FieldPtr(const FieldPtr&) = delete;
  FieldPtr& operator=(const FieldPtr&) = delete;
  Field* operator->() const { return f; }
  Field& operator*() const { return *f; }
};

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
      EXPECT_TRUE(copy->IsEqual(f.f));
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
    EXPECT_TRUE(copy->IsEqual(f.f));
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
  target->Assign(source.f);
  EXPECT_EQ(target->LocaleDescriptor(), nullptr);
  EXPECT_EQ(target->DefaultValue(), nullptr);
  EXPECT_TRUE(target->IsEqual(source.f));
}

TEST_F(FieldDescriptorTest, EqualityAndRelatedParts) {
  FieldPtr a(newField(nullptr, u"Qty", nxtInt32, 10));
  FieldPtr b(newField(nullptr, u"Qty", nxtInt32, 10));
  EXPECT_TRUE(a->IsEqual(b.f));
  b->fdName = u"QTY";
  EXPECT_FALSE(a->IsEqual(b.f));
  b->fdName = u"Qty";
  a->AddDefaultValue()->SetApplyOnModify(true);
  EXPECT_FALSE(a->IsEqual(b.f));
  b->AddDefaultValue()->SetApplyOnModify(true);
  EXPECT_TRUE(a->IsEqual(b.f));
  static_cast<TnxConstDefaultValueDescriptor*>(b->DefaultValue())->SetAsVariant(platform::Variant(1));
  EXPECT_FALSE(a->IsEqual(b.f));
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

}  // namespace
