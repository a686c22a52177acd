#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "nxllBde.h"
#include "nxsdTestSupport.h"
#include "nxllException.h"
#include "nxllStreams.h"
#include "nxllUtils.h"
#include "nxsdDataDictionary.h"
#include "nxsdFilterEngineCallback.h"
#include "nxsdFilterEngineSQL.h"
#include "plString.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

using nxsdtest::expectCode;

class KeyDescriptorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nxllUtilsInitialize();
    nxsdDataDictionaryInitialize(std::span<const nxString>());
    nxsdFilterEngineCallbackInitialize();
    nxsdFilterEngineSQLInitialize();
  }
  void TearDown() override {
    nxsdFilterEngineSQLFinalize();
    nxsdFilterEngineCallbackFinalize();
    nxsdDataDictionaryFinalize();
    nxllUtilsFinalize();
  }
  static Bytes Save(TnxDictionaryItem& aItem, std::int32_t aVersion) {
    TnxMemoryStream m;
    {
      TnxWriter w(m);
      aItem.SaveToWriter(w, aVersion);
    }
    const auto* p = static_cast<const std::uint8_t*>(m.Memory());
    return Bytes(p, p + m.Size());
  }
  static void Load(TnxDictionaryItem& aItem, const Bytes& aBytes) {
    TnxMemoryStream m;
    m.WriteBuffer(aBytes.data(), static_cast<std::int32_t>(aBytes.size()));
    m.SetPosition(0);
    TnxReader r(m);
    aItem.LoadFromReader(r);
  }
  // The item part every descriptor stream starts with.
  static Bytes ItemPart(std::int32_t aVersion) {
    TnxDictionaryItem item(nullptr);
    return Save(item, aVersion);
  }
  static Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }
};

TEST_F(KeyDescriptorTest, SingleValueKeysHaveFixedLengthsAndNoNulls) {
  TnxRefKeyDescriptor ref(nullptr);
  TnxInt64KeyDescriptor i64(nullptr);
  TnxBlobCacheKeyDescriptor blob(nullptr);
  EXPECT_EQ(ref.KeyLen(), 8u);
  EXPECT_EQ(i64.KeyLen(), 8u);
  EXPECT_EQ(blob.KeyLen(), 28u);
  for (TnxBaseKeyDescriptor* k : std::initializer_list<TnxBaseKeyDescriptor*>{&ref, &i64, &blob}) {
    EXPECT_FALSE(k->CanContainNulls());
    EXPECT_TRUE(k->IsValidForTable(nullptr));
  }
}

TEST_F(KeyDescriptorTest, StreamWithoutFilter) {
  TnxRefKeyDescriptor k(nullptr);
  const Bytes keyPart = {vaIdent, 3, 'B', 'K', 'D', vaInt8, 1, vaFalse, vaInt8, 1};
  EXPECT_EQ(Save(k, nxInProcessCopyClientVersion), Cat(ItemPart(nxInProcessCopyClientVersion), keyPart));
  // Old clients get no key part at all.
  EXPECT_EQ(Save(k, 19999), Cat(ItemPart(19999), Bytes{vaInt8, 1}));
}

TEST_F(KeyDescriptorTest, StreamCarriesTheFilterAsSizedBytes) {
  TnxInt64KeyDescriptor k(nullptr);
  k.SetFilter(platform::create<TnxSqlFilterDescriptor>(nxString(u"a")));
  const std::string name = "TnxSqlFilterDescriptor";
  Bytes filter = {static_cast<std::uint8_t>(name.size())};
  filter.insert(filter.end(), name.begin(), name.end());
  filter.insert(filter.end(), {2, 1, 0, 0, 0, 'a', 0});
  Bytes keyPart = {vaIdent, 3, 'B', 'K', 'D', vaInt8, 1, vaTrue, vaInt8, static_cast<std::uint8_t>(filter.size())};
  keyPart = Cat(Cat(keyPart, filter), Bytes{vaInt8, 1});
  const Bytes bytes = Save(k, nxInProcessCopyClientVersion);
  EXPECT_EQ(bytes, Cat(ItemPart(nxInProcessCopyClientVersion), keyPart));

  TnxInt64KeyDescriptor back(nullptr);
  Load(back, bytes);
  auto* sql = platform::objectAs<TnxSqlFilterDescriptor>(back.Filter());
  ASSERT_NE(sql, nullptr);
  EXPECT_EQ(sql->Expression(), u"a");
  EXPECT_TRUE(back.IsEqual(&k));
  // Reading replaces a filter held before; an old stream leaves none.
  Load(back, Cat(ItemPart(19999), Bytes{vaInt8, 1}));
  EXPECT_EQ(back.Filter(), nullptr);
}

TEST_F(KeyDescriptorTest, WritingFailures) {
  TnxRefKeyDescriptor k(nullptr);
  k.SetFilter(platform::create<TnxSqlFilterDescriptor>(nxString(u"x > 1")));
  // An old client cannot hold the filter: refused rather than dropped.
  expectCode<EnxBaseKeyDescriptorException>([&] { Save(k, 19999); }, nxErrIncompatibleVersion);
  // A filter that cannot be streamed: its writer's result is raised.
  k.SetFilter(platform::create<TnxCallbackFilterDescriptor>(nullptr, nullptr));
  expectCode<EnxBaseKeyDescriptorException>([&] { Save(k, nxInProcessCopyClientVersion); }, nxErrNotSupported);
}

TEST_F(KeyDescriptorTest, ReadingFailures) {
  const Bytes item = ItemPart(nxInProcessCopyClientVersion);
  struct Case {
    Bytes keyPart;
    TnxResult code;
  } cases[] = {
      {{vaIdent, 3, 'B', 'K', 'X', vaInt8, 1, vaFalse, vaInt8, 1}, nxErrIncompatibleStream},
      {{vaIdent, 3, 'B', 'K', 'D', vaInt8, 2, vaFalse, vaInt8, 1}, nxErrIncompatibleStream},
      {{vaIdent, 3, 'B', 'K', 'D', vaInt8, 1, vaTrue, vaInt8, 4, 3, 'T', 'n', 'x'}, nxErrNotSupported},
  };
  for (const Case& c : cases) {
    TnxRefKeyDescriptor k(nullptr);
    expectCode<EnxBaseKeyDescriptorException>([&] { Load(k, Cat(item, c.keyPart)); }, c.code);
    EXPECT_EQ(k.Filter(), nullptr);
  }
  // The version after the key part is checked with the class's own exception.
  TnxInt64KeyDescriptor k(nullptr);
  expectCode<EnxInt64KeyDescriptorException>(
      [&] { Load(k, Cat(item, Bytes{vaIdent, 3, 'B', 'K', 'D', vaInt8, 1, vaFalse, vaInt8, 2})); },
      nxErrIncompatibleStream);
}

TEST_F(KeyDescriptorTest, EqualityLooksAtFilterPresenceOnly) {
  TnxRefKeyDescriptor a(nullptr), b(nullptr);
  EXPECT_TRUE(a.IsEqual(&b));
  a.SetFilter(platform::create<TnxSqlFilterDescriptor>(nxString(u"x > 1")));
  EXPECT_FALSE(a.IsEqual(&b));
  b.SetFilter(platform::create<TnxSqlFilterDescriptor>(nxString(u"y < 2")));
  EXPECT_TRUE(a.IsEqual(&b));
}

TEST_F(KeyDescriptorTest, FamilyClassesAreCreatedByClass) {
  TnxBaseKeyDescriptor* k = TnxBaseKeyDescriptor::CreateOfClass(TnxBlobCacheKeyDescriptor::staticClassInfo(), nullptr);
  EXPECT_EQ(k->KeyLen(), 28u);
  platform::TObject::free(k);
  EXPECT_NE(TnxDictionaryItem::FindDescriptorClass<TnxBaseKeyDescriptor>("TnxRefKeyDescriptor"), nullptr);
  expectCode<EnxBaseKeyDescriptorException>(
      [] { TnxBaseKeyDescriptor::CreateOfClass(TnxFieldsDescriptor::staticClassInfo(), nullptr); },
      nxErrUnsupportedDescriptor);
}

// ------------------------------------------------------------ composite keys

// A table: the data dictionary above its fields and keys, answering its
// fields descriptor to the keys below it.
class KeyTestTable : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  KeyTestTable() : TnxDictionaryItem(nullptr) {}
  bool IsDataDictionary() const override { return true; }
  std::int32_t NextItemID() override { return ++nextID; }
  std::int32_t DictionaryVersion() const override { return 4; }
  bool FindRelatedDescriptorOfType(const platform::ClassInfo& aType, TnxDictionaryItem*& aDescriptor,
                                   TnxDictionaryItem* aFrom) override {
    if (fields && aType.inheritsFrom(TnxFieldsDescriptor::staticClassInfo())) {
      aDescriptor = fields;
      return true;
    }
    if (files && aType.inheritsFrom(TnxFilesDescriptor::staticClassInfo())) {
      aDescriptor = files;
      return true;
    }
    return TnxDictionaryItem::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
  }
  TnxFieldsDescriptor* fields = nullptr;
  TnxFilesDescriptor* files = nullptr;
  std::int32_t nextID = 0;
};
PL_CLASS_INFO_IMPL(KeyTestTable, TnxDictionaryItem, "KeyTestTable", nullptr)

class CompKeyTest : public KeyDescriptorTest {
 protected:
  KeyTestTable table;
  std::vector<TnxDictionaryItem*> keys;  // freed before the fields

  void SetUp() override {
    KeyDescriptorTest::SetUp();
    table.fields = platform::create<TnxFieldsDescriptor>(&table);
    table.fields->AddField(u"Id", u"", nxtInt32, 0, 0, false);
    table.fields->AddField(u"Name", u"", nxtWideString, 20, 0, false);
    table.fields->AddField(u"Code", u"", nxtShortString, 10, 0, false);
    table.fields->AddField(u"Raw", u"", nxtByteArray, 16, 0, false);
  }
  void TearDown() override {
    for (auto it = keys.rbegin(); it != keys.rend(); ++it) platform::TObject::free(*it);
    platform::TObject::free(table.fields);
    table.fields = nullptr;
    KeyDescriptorTest::TearDown();
  }
  template <class T = TnxCompKeyDescriptor>
  T* NewKey() {
    T* k = platform::create<T>(&table);
    keys.push_back(k);
    return k;
  }
};

TEST_F(CompKeyTest, KeyLengthSumsFieldsAndTheNullBitmap) {
  TnxCompKeyDescriptor* k = NewKey();
  k->Add(0);
  TnxKeyFieldDescriptor* name = k->Add(u"NAME");
  EXPECT_EQ(name->FieldNumber(), 1);
  EXPECT_EQ(k->KeyLen(), 4u + 42u + 1u);
  name->SetOverrideLengthChars(5);  // drops the cached length
  EXPECT_EQ(name->KeyChars(), 5);
  EXPECT_EQ(k->KeyLen(), 4u + 12u + 1u);

  auto* noNull = NewKey<TnxNoNullCompKeyDescriptor>();
  noNull->Add(0);
  noNull->Add(1)->SetOverrideLengthChars(5);
  EXPECT_EQ(noNull->KeyLen(), 16u);
  // Nine key fields need a second bitmap byte.
  TnxCompKeyDescriptor* wide = NewKey();
  for (int i = 0; i < 9; ++i) wide->Add(0);
  EXPECT_EQ(wide->KeyLen(), 9u * 4u + 2u);
}

TEST_F(CompKeyTest, KeyFieldLengthOverrides) {
  struct Case {
    std::int32_t field, bytes, chars, length, keyChars;
  } cases[] = {
      {2, 30, 0, 30, 10},  // a byte override enlarges an 8-bit string key
      {2, 5, 0, 11, 10},   // but never shrinks it
      {2, 0, 4, 5, 4},     // four characters and the length byte
      {2, 0, 10, 11, 10},  // an override not below the units is ignored
      {1, 100, 0, 42, 20}, // a byte override means nothing to a wide string
      {3, 8, 0, 8, 0},     // byte arrays shrink to the byte override
      {3, 20, 0, 16, 0},
      {0, 2, 2, 4, 0},     // other types keep their length
  };
  TnxCompKeyDescriptor* k = NewKey();
  for (const Case& c : cases) {
    TnxKeyFieldDescriptor* f = k->Add(c.field);
    f->SetOverrideLengthBytes(c.bytes);
    f->SetOverrideLengthChars(c.chars);
    EXPECT_EQ(f->KeyLength(), c.length) << c.field << "/" << c.bytes << "/" << c.chars;
    EXPECT_EQ(f->KeyChars(), c.keyChars) << c.field << "/" << c.bytes << "/" << c.chars;
  }
}

TEST_F(CompKeyTest, KeyFieldsFollowAndGuardTheirField) {
  TnxCompKeyDescriptor* k = NewKey();
  TnxKeyFieldDescriptor* code = k->Add(2);
  try {
    table.fields->RemoveField(2);
    ADD_FAILURE() << "removal not vetoed";
  } catch (const EnxKeyFieldDescriptorException& e) {
    EXPECT_EQ(e.ErrorCode(), nxErrObjectInUse);
    EXPECT_NE(e.Message().find(u"Cannot remove field Code because it is still referenced by an index"),
              nxString::npos);
  }
  EXPECT_EQ(table.fields->FieldCount(), 4);
  table.fields->RemoveField(3);  // the last field, not the key's
  EXPECT_EQ(code->FieldNumber(), 2);
  const std::uint32_t before = k->KeyLen();
  table.fields->MoveField(2, 0);
  EXPECT_EQ(code->FieldNumber(), 0);
  EXPECT_EQ(code->Field()->Name(), u"Code");
  EXPECT_EQ(k->KeyLen(), before);
  k->Delete(0);  // the key no longer holds the field
  table.fields->RemoveField(0);
  EXPECT_EQ(table.fields->FieldCount(), 2);
}

TEST_F(CompKeyTest, Checks) {
  TnxCompKeyDescriptor* empty = NewKey();
  expectCode<EnxCompKeyDescriptorException>([&] { empty->CheckValid(false); }, nxErrInvalidDesc);
  TnxCompKeyDescriptor* bad = NewKey();
  bad->Add(0);
  bad->Add(u"Missing");
  expectCode<EnxKeyFieldDescriptorException>([&] { bad->CheckValid(false); }, nxErrInvalidDescNumber);
  EXPECT_FALSE(bad->IsValidForTable(&table));
  bad->Delete(1);
  bad->CheckValid(false);
  EXPECT_TRUE(bad->IsValidForTable(&table));
  EXPECT_TRUE(bad->CanContainNulls());
  bad->KeyFields(0)->SetNullBehaviour(nbFilterNull);
  EXPECT_FALSE(bad->CanContainNulls());

  auto* noNull = NewKey<TnxNoNullCompKeyDescriptor>();
  noNull->Add(0);
  try {
    noNull->CheckValid(false);
    ADD_FAILURE() << "no exception";
  } catch (const EnxNoNullCompKeyDescriptorException& e) {
    EXPECT_EQ(e.ErrorCode(), nxErrInvalidDesc);
    EXPECT_NE(e.Message().find(u"Field \"Id\" is not marked as required"), nxString::npos);
  }
  table.fields->Fields(0)->AddDefaultValue();  // a constant default guarantees a value
  noNull->CheckValid(false);
}

TEST_F(CompKeyTest, StreamRoundTripAndLayout) {
  TnxCompKeyDescriptor* k = NewKey();
  k->Add(0)->SetAscend(false);
  auto* text = static_cast<TnxTextKeyFieldDescriptor*>(k->Add(2, &TnxTextKeyFieldDescriptor::staticClassInfo()));
  text->SetIgnoreCase(true);
  text->SetDesc(u"code");
  text->SetOverrideLengthChars(4);
  text->SetNullBehaviour(nbBottom);
  text->SetKeyFieldEngine(u"Ansi");
  const Bytes bytes = Save(*k, nxInProcessCopyClientVersion);

  // Layout of one key field entry: class name, field number, then its stream.
  TnxMemoryStream expected;
  {
    TnxWriter w(expected);
    w.WriteString(u"TnxTextKeyFieldDescriptor");
    w.WriteInteger(std::int32_t{2});
  }
  const Bytes textEntry = Save(*text, nxInProcessCopyClientVersion);
  const auto* e = static_cast<const std::uint8_t*>(expected.Memory());
  Bytes tail(e, e + expected.Size());
  tail.insert(tail.end(), textEntry.begin(), textEntry.end());
  ASSERT_GE(bytes.size(), tail.size());
  EXPECT_EQ(Bytes(bytes.end() - static_cast<std::ptrdiff_t>(tail.size()), bytes.end()), tail);
  // The text key field: key field version 2 ... "nbBottom", then Integer 1 and IgnoreCase.
  EXPECT_EQ(Bytes(textEntry.end() - 3, textEntry.end()), (Bytes{vaInt8, 1, vaTrue}));

  TnxCompKeyDescriptor* back = NewKey();
  Load(*back, bytes);
  ASSERT_EQ(back->KeyFieldCount(), 2);
  EXPECT_TRUE(back->IsEqual(k));
  auto* t = platform::objectAs<TnxTextKeyFieldDescriptor>(back->KeyFields(1));
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(t->IgnoreCase());
  EXPECT_EQ(t->NullBehaviour(), nbBottom);
  EXPECT_EQ(t->OverrideLengthChars(), 4);
  EXPECT_FALSE(back->KeyFields(0)->Ascend());
  EXPECT_EQ(back->KeyLen(), k->KeyLen());
  t->SetIgnoreCase(false);
  EXPECT_FALSE(back->IsEqual(k));

  auto* noNull = NewKey<TnxNoNullCompKeyDescriptor>();
  noNull->Add(0);
  const Bytes nn = Save(*noNull, nxInProcessCopyClientVersion);
  EXPECT_EQ(Bytes(nn.end() - 2, nn.end()), (Bytes{vaInt8, 1}));
  auto* nnBack = NewKey<TnxNoNullCompKeyDescriptor>();
  Load(*nnBack, nn);
  EXPECT_TRUE(nnBack->IsEqual(noNull));
}

TEST_F(CompKeyTest, StreamFailures) {
  TnxCompKeyDescriptor* k = NewKey();
  k->Add(2)->SetOverrideLengthChars(4);
  // An old client has no place for the override.
  expectCode<EnxKeyFieldDescriptorException>([&] { Save(*k, 19999); }, nxErrIncompatibleVersion);
  k->KeyFields(0)->SetOverrideLengthChars(0);
  TnxCompKeyDescriptor* old = NewKey();
  Load(*old, Save(*k, 19999));
  EXPECT_EQ(old->KeyFieldCount(), 1);

  Bytes bytes = Save(*k, nxInProcessCopyClientVersion);
  const std::string name = "TnxKeyFieldDescriptor";
  auto at = std::search(bytes.begin(), bytes.end(), name.begin(), name.end());
  ASSERT_NE(at, bytes.end());
  Bytes unknown = bytes;
  unknown[static_cast<std::size_t>(at - bytes.begin()) + 3] = 'Q';
  expectCode<EnxCompKeyDescriptorException>([&] { Load(*NewKey(), unknown); }, nxErrUnsupportedDescriptor);
  // A key field stream of version 3 (the version follows the item part).
  Bytes version3 = Save(*k->KeyFields(0), nxInProcessCopyClientVersion);
  const std::size_t v = ItemPart(nxInProcessCopyClientVersion).size();
  ASSERT_EQ(version3[v], vaInt8);
  ASSERT_EQ(version3[v + 1], 2);
  version3[v + 1] = 3;
  TnxKeyFieldDescriptor standalone(nullptr, 0);
  expectCode<EnxKeyFieldDescriptorException>([&] { Load(standalone, version3); }, nxErrIncompatibleStream);
  // A composite key stream of version 2.
  Bytes comp = Save(*k, nxInProcessCopyClientVersion);
  const std::size_t c = v + 8;  // after the item part and "BKD", 1, no filter
  ASSERT_EQ(comp[c], vaInt8);
  ASSERT_EQ(comp[c + 1], 1);
  comp[c + 1] = 2;
  expectCode<EnxCompKeyDescriptorException>([&] { Load(*NewKey(), comp); }, nxErrIncompatibleStream);
}

TEST_F(CompKeyTest, KeyFieldsSeeTheirFieldAndItsLocale) {
  TnxFieldDescriptor* code = table.fields->Fields(2);
  TnxLocaleDescriptor* locale = code->AddLocaleDescriptor();
  TnxCompKeyDescriptor* k = NewKey();
  TnxKeyFieldDescriptor* f = k->Add(2);
  EXPECT_EQ(f->Field(), code);
  EXPECT_EQ(f->UsedLocaleDescriptor(), locale);
  EXPECT_EQ(f->LocaleDescriptor(), nullptr);
  f->SetFieldNumber(9);  // outside the fields: no field rather than a wild read
  EXPECT_EQ(f->Field(), nullptr);

  // A key field under a field descriptor means that field.
  auto* own = platform::create<TnxKeyFieldDescriptor>(code, nxKeyFieldOfOwnerField);
  EXPECT_EQ(own->Field(), code);
  own->CheckValid(false);
  platform::TObject::free(own);
  TnxKeyFieldDescriptor orphan(nullptr, nxKeyFieldOfOwnerField);
  expectCode<EnxKeyFieldDescriptorException>([&] { orphan.CheckValid(false); }, nxErrInvalidDescNumber);
}

TEST_F(CompKeyTest, ExtTextKeyFieldKeepsItsLocaleForOldClients) {
  TnxCompKeyDescriptor* k = NewKey();
  TnxKeyFieldDescriptor* plain = k->Add(2, &TnxTextKeyFieldDescriptor::staticClassInfo());
  plain->AddLocaleDescriptor();
  expectCode<EnxKeyFieldDescriptorException>([&] { Save(*k, 19999); }, nxErrIncompatibleVersion);
  k->Delete(0);

  auto* ext = static_cast<TnxExtTextKeyFieldDescriptor*>(k->Add(2, &TnxExtTextKeyFieldDescriptor::staticClassInfo()));
  TnxLocaleDescriptor* locale = ext->AddLocaleDescriptor();
  locale->SetLocale(0x0411);
  locale->SetIgnoreWidth(true);
  locale->SetUseStringSort(true);
  for (std::int32_t version : {19999, nxInProcessCopyClientVersion}) {
    TnxCompKeyDescriptor* back = NewKey();
    Load(*back, Save(*k, version));
    auto* e = platform::objectAs<TnxExtTextKeyFieldDescriptor>(back->KeyFields(0));
    ASSERT_NE(e, nullptr);
    ASSERT_NE(e->LocaleDescriptor(), nullptr) << version;
    EXPECT_EQ(e->LocaleDescriptor()->Locale(), locale->Locale()) << version;
    EXPECT_TRUE(e->LocaleDescriptor()->IgnoreWidth()) << version;
    EXPECT_TRUE(e->LocaleDescriptor()->UseStringSort()) << version;
    EXPECT_FALSE(e->LocaleDescriptor()->IgnoreSymbols()) << version;
  }
  // Without an own locale the old form reads back none.
  ext->RemoveLocaleDescriptor();
  TnxCompKeyDescriptor* none = NewKey();
  Load(*none, Save(*k, 19999));
  EXPECT_EQ(none->KeyFields(0)->LocaleDescriptor(), nullptr);
  // An overriding storage code page does not fit the old form.
  ext->AddLocaleDescriptor()->SetOverrideStorageCodepage(1252);
  expectCode<EnxExtTextKeyFieldDescriptorException>([&] { Save(*k, 19999); }, nxErrIncompatibleVersion);
}

// ------------------------------------------------------------ indices

class IndexTest : public CompKeyTest {
 protected:
  void SetUp() override {
    CompKeyTest::SetUp();
    table.files = platform::create<TnxFilesDescriptor>(&table);
    table.files->AddFile(u"", nxbs4k, u"");
    table.files->AddFile(u"nx1", nxbs4k, u"");
  }
  void TearDown() override {
    for (auto it = keys.rbegin(); it != keys.rend(); ++it) platform::TObject::free(*it);
    keys.clear();
    platform::TObject::free(table.files);
    table.files = nullptr;
    CompKeyTest::TearDown();
  }
  TnxIndexDescriptor* NewIndex(const nxString& aName, std::int32_t aFile = 1) {
    auto* i = platform::create<TnxIndexDescriptor>(&table, aName, aFile);
    keys.push_back(i);
    return i;
  }
};

TEST_F(IndexTest, CreationDefaultsAndNameCheck) {
  TnxIndexDescriptor* i = NewIndex(u"ByName");
  EXPECT_EQ(i->IndexEngine(), u"nx1xDefault");
  EXPECT_EQ(i->Dups(), idNone);
  EXPECT_NE(platform::objectAs<TnxCompKeyDescriptor>(i->KeyDescriptor()), nullptr);
  EXPECT_EQ(i->IndexFile(), table.files->Files(1));
  for (const nxString& bad : {nxString(), nxString(u" x"), nxString(u"a;b")})
    expectCode<EnxIndexDescriptorException>([&] { NewIndex(bad); }, nxErrInvalidIndexName);
}

TEST_F(IndexTest, DupsDecideTheStreamVersion) {
  TnxIndexDescriptor* i = NewIndex(u"ByName");
  i->KeyDescriptor()->SetFilter(nullptr);
  static_cast<TnxCompKeyDescriptor*>(i->KeyDescriptor())->Add(0);
  const std::size_t v = ItemPart(nxInProcessCopyClientVersion).size();
  i->SetDups(idAll);
  Bytes b = Save(*i, 20300);
  const std::size_t vOld = ItemPart(20300).size();
  EXPECT_EQ(Bytes(b.begin() + static_cast<std::ptrdiff_t>(vOld), b.begin() + static_cast<std::ptrdiff_t>(vOld) + 2),
            (Bytes{vaInt8, 1}));
  i->SetDesc(u"d");
  TnxIndexDescriptor* back = NewIndex(u"ByName");
  Load(*back, Save(*i, nxInProcessCopyClientVersion));
  EXPECT_EQ(back->Dups(), idAll);
  EXPECT_TRUE(back->IsEqual(i));

  i->SetDups(idNull);
  expectCode<EnxIndexDescriptorException>([&] { Save(*i, 20300); }, nxErrIncompatibleVersion);
  b = Save(*i, 20400);
  back = NewIndex(u"ByName");  // reading appends key fields
  Load(*back, b);
  EXPECT_EQ(back->Dups(), idNull);
  EXPECT_TRUE(back->IsEqual(i));
  b = Save(*i, nxInProcessCopyClientVersion);
  ASSERT_EQ(b[v + 1], 2);
  b[v + 1] = 3;
  expectCode<EnxIndexDescriptorException>([&] { Load(*back, b); }, nxErrIncompatibleStream);
}

TEST_F(IndexTest, MakeIndexCacheable) {
  table.fields->AddField(u"Ref", u"", nxtRefNr, 0, 0, false);
  TnxIndexDescriptor* seq = NewIndex(u"sequential access index");
  seq->SetDups(idAll);
  seq->MakeIndexCacheable();
  auto* key = platform::objectAs<TnxNoNullCompKeyDescriptor>(seq->KeyDescriptor());
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(key->KeyFieldCount(), 1);
  EXPECT_EQ(key->KeyFields(0)->FieldNumber(), 4);
  EXPECT_EQ(seq->Dups(), idNone);
  EXPECT_EQ(seq->IndexEngine(), u"nx1xDefault");
  TnxIndexDescriptor* other = NewIndex(u"ByName");
  other->MakeIndexCacheable();
  EXPECT_EQ(other->Dups(), idAll);
  EXPECT_EQ(other->IndexEngine(), u"CacheKeylessBStarTree");
  EXPECT_NE(platform::objectAs<TnxCompKeyDescriptor>(other->KeyDescriptor()), nullptr);
  EXPECT_EQ(platform::objectAs<TnxNoNullCompKeyDescriptor>(other->KeyDescriptor()), nullptr);
}

TEST_F(IndexTest, FileGuardChecksAndFit) {
  TnxIndexDescriptor* i = NewIndex(u"ByName");
  static_cast<TnxCompKeyDescriptor*>(i->KeyDescriptor())->Add(0);
  expectCode<EnxIndexDescriptorException>([&] { table.files->RemoveFile(1); }, nxErrObjectInUse);
  EXPECT_EQ(table.files->FileCount(), 2);
  table.files->AddFile(u"nx2", nxbs4k, u"");
  table.files->MoveFile(1, 2);
  EXPECT_EQ(i->FileNumber(), 2);
  EXPECT_EQ(i->IndexFile()->Extension(), u"nx1");
  i->CheckValid(false);
  EXPECT_TRUE(i->IsValidForTable(&table));
  i->SetFileNumber(3);
  expectCode<EnxIndexDescriptorException>([&] { i->CheckValid(false); }, nxErrInvalidDescNumber);
  EXPECT_FALSE(i->IsValidForTable(&table));
}

TEST_F(IndexTest, StandaloneRoundTrip) {
  TnxIndexDescriptor* i =
      TnxIndexDescriptor::CreateStandalone(3, u"Seq", 1, &TnxRefKeyDescriptor::staticClassInfo());
  keys.push_back(i);
  i->SetDesc(u"by reference");
  TnxMemoryStream m;
  {
    TnxWriter w(m);
    i->SaveStandalone(w, nxInProcessCopyClientVersion);
  }
  m.SetPosition(0);
  TnxReader r(m);
  TnxIndexDescriptor* back = TnxIndexDescriptor::CreateStandaloneFromReader(r);
  keys.push_back(back);
  EXPECT_EQ(back->Number(), 3);
  EXPECT_EQ(back->Name(), u"Seq");
  EXPECT_EQ(back->FileNumber(), 1);
  EXPECT_NE(platform::objectAs<TnxRefKeyDescriptor>(back->KeyDescriptor()), nullptr);
  EXPECT_TRUE(back->IsEqual(i));

  TnxMemoryStream bad;
  {
    TnxWriter w(bad);
    w.WriteString(u"TnxIndexDescriptor");
    w.WriteString(u"TnxNoSuchKeyDescriptor");
  }
  bad.SetPosition(0);
  TnxReader br(bad);
  expectCode<EnxIndexDescriptorException>([&] { TnxIndexDescriptor::CreateStandaloneFromReader(br); },
                                          nxErrUnsupportedDescriptor);
}

}  // namespace
