#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "nxllBde.h"
#include "nxllException.h"
#include "nxllStreams.h"
#include "nxllUtils.h"
#include "nxsdDataDictionary.h"
#include "nxsdFilterEngineCallback.h"
#include "nxsdFilterEngineSQL.h"
#include "plString.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

template <class E = EnxBaseException, class F>
void expectCode(F&& f, TnxResult aCode) {
  try {
    f();
    ADD_FAILURE() << "no exception, expected " << aCode;
  } catch (const E& e) {
    EXPECT_EQ(e.ErrorCode(), aCode) << platform::toUtf8(e.Message());
  }
}

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

}  // namespace
