// The BLOB-cache key engine: four signed fields compared in order, as many
// as asked for.
#include <gtest/gtest.h>

#include <cstring>

#include "nxllBde.h"
#include "nxsdKeyEngineBlobCache.h"
#include "nxsdKeyEngineTestSupport.h"
#include "nxsdTestSupport.h"

namespace {

using nxsdkeytest::KeyEngineTest;
using nxsdkeytest::Owned;
using nxsdtest::Bytes;
using nxsdtest::expectCode;

struct CacheKey {
  std::int64_t blob;
  std::int32_t field;
  std::int64_t ref;
  std::int64_t lsn;
  std::array<std::uint8_t, 28> Bytes28() const {
    std::array<std::uint8_t, 28> b{};
    std::memcpy(&b[0], &blob, 8);
    std::memcpy(&b[8], &field, 4);
    std::memcpy(&b[12], &ref, 8);
    std::memcpy(&b[20], &lsn, 8);
    return b;
  }
};

TEST_F(KeyEngineTest, BlobCacheKeysFieldByField) {
  Owned<TnxBaseKeyEngine> engine(TnxBaseKeyEngine::CreateFor(NewKey<TnxBlobCacheKeyDescriptor>()));
  ASSERT_TRUE(engine->is<TnxBlobCacheKeyEngine>());
  EXPECT_EQ(engine->KeyLength(), 28);
  const CacheKey base{5, 2, 100, 7};
  const auto b = base.Bytes28();
  PnxKeyBuffer key = engine->AllocKey();
  ASSERT_EQ(engine->BuildKey(b.data(), key, 0, false), 0);
  EXPECT_EQ(Bytes(key, key + 28), Bytes(b.begin(), b.end()));

  // Each row differs from base in one field, which decides from that count on.
  const struct {
    CacheKey other;
    std::int32_t decidingField;  // 1-based
    int result;                  // base against other
  } cases[] = {
      {{-5, 2, 100, 7}, 1, 1}, {{6, 2, 100, 7}, 1, -1},  {{5, -1, 100, 7}, 2, 1},
      {{5, 3, 100, 7}, 2, -1}, {{5, 2, -100, 7}, 3, 1},  {{5, 2, 100, -7}, 4, 1},
      {{5, 2, 100, 8}, 4, -1},
  };
  for (const auto& c : cases) {
    const auto o = c.other.Bytes28();
    for (std::int32_t count = 0; count <= 4; ++count) {
      const bool decides = count == 0 || count >= c.decidingField;
      EXPECT_EQ(engine->CompareKey(b.data(), o.data(), count, 0), decides ? c.result : 0)
          << c.decidingField << " " << count;
      EXPECT_EQ(engine->CompareKeyToRecord(key, o.data(), 0, count, 0), decides ? c.result : 0);
      EXPECT_EQ(engine->CompareRecord(b.data(), 0, o.data(), 0, count, 0), decides ? c.result : 0);
    }
    EXPECT_EQ(engine->CompareKey(o.data(), b.data()), -c.result);
  }

  EXPECT_EQ(engine->KeyAsVariant(key, 3).toInt64(), 7);
  EXPECT_EQ(engine->KeyAsVariant(key, 1).toInt64(), 2);
  const platform::Variant all = engine->KeyAsVariant(key, -1);
  EXPECT_EQ(all.arrayGet(0).toInt64(), 5);
  EXPECT_EQ(all.arrayGet(2).toInt64(), 100);
  EXPECT_EQ(engine->KeyAsString(key), u"5, 2, 100, 7");
  EXPECT_TRUE(engine->KeyAsVariant(nullptr, 0).isNull());
  expectCode([&] { engine->KeyAsVariant(key, 4); }, nxErrInvalidDescNumber);
  expectCode([&] { engine->KeyAsVariant(key, -2); }, nxErrInvalidDescNumber);

  const char16_t* names[] = {u"BlobNr", u"FieldNo", u"RefNr", u"InserLSN"};
  const TnxFieldType types[] = {nxtInt64, nxtInt32, nxtInt64, nxtInt64};
  for (std::int32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(engine->GetFieldDescriptor(i)->GetFieldName(), names[i]);
    EXPECT_EQ(engine->GetFieldDescriptor(i)->GetFieldType(), types[i]);
    EXPECT_EQ(engine->GetFieldFromName(names[i]), i);
  }
  std::uint16_t type = 0, size = 0, codePage = 0;
  bool isNull = true;
  const void* value = nullptr;
  ASSERT_TRUE(engine->GetFieldForFilter(0, "inserlsn", key, type, size, isNull, value, codePage));
  EXPECT_EQ(value, key + 20);
  EXPECT_EQ(type, nxtInt64);
  engine->FreeKey(key);
}

}  // namespace
