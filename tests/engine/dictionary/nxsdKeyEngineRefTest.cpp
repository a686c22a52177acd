// The reference key engine: keys are the reference numbers in signed order,
// whatever the record holds; the key's filter still keeps records out.
#include <gtest/gtest.h>

#include <climits>

#include "nxllBde.h"
#include "nxsdKeyEngineRef.h"
#include "nxsdKeyEngineTestSupport.h"
#include "nxsdTestSupport.h"

namespace {

using nxsdkeytest::KeyEngineTest;
using nxsdkeytest::Owned;
using nxsdtest::Bytes;
using nxsdtest::expectCode;

bool gRejectOdd(void*, const void* aBuffer) { return (*static_cast<const std::uint8_t*>(aBuffer) & 1) == 0; }

TEST_F(KeyEngineTest, RefKeysInSignedOrder) {
  Owned<TnxBaseKeyEngine> engine(TnxBaseKeyEngine::CreateFor(NewKey<TnxRefKeyDescriptor>()));
  ASSERT_TRUE(engine->is<TnxRefKeyEngine>());
  EXPECT_EQ(engine->KeyLength(), 8);
  const std::uint8_t record[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
  const std::int64_t order[] = {INT64_MIN, -2, -1, 0, 1, 0x0102030405060708, INT64_MAX};
  std::vector<PnxKeyBuffer> built;
  for (std::int64_t ref : order) {
    built.push_back(engine->AllocKey());
    ASSERT_EQ(engine->BuildKey(record, built.back(), ref, false), 0);
  }
  for (std::size_t i = 0; i < built.size(); ++i)
    for (std::size_t j = 0; j < built.size(); ++j) {
      const int expected = i < j ? -1 : (i > j ? 1 : 0);
      EXPECT_EQ(engine->CompareKey(built[i], built[j]), expected) << i << " " << j;
      EXPECT_EQ(engine->CompareKey(built[i], built[j], 1, 3), expected) << i << " " << j;
      EXPECT_EQ(engine->CompareRecord(record, order[i], record, order[j]), expected);
      EXPECT_EQ(engine->CompareKeyToRecord(built[i], record, order[j]), expected);
    }
  EXPECT_EQ(Bytes(built[5], built[5] + 8), (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(engine->CompareRecord(record, record), 0);  // no numbers: equal
  EXPECT_EQ(engine->KeyAsVariant(built[2], -1).toInt64(), -1);
  EXPECT_EQ(engine->KeyAsVariant(built[5], 0).toInt64(), 0x0102030405060708);
  expectCode([&] { engine->KeyAsVariant(built[0], 1); }, nxErrInvalidDescNumber);
  EXPECT_EQ(engine->KeyAsString(built[2]), u"-1");
  engine->ClearKey(built[0]);
  EXPECT_EQ(engine->CompareKey(built[0], built[3]), 0);
  for (PnxKeyBuffer& k : built) engine->FreeKey(k);
}

TEST_F(KeyEngineTest, RefKeyFieldSourceAndFilter) {
  auto* descriptor = NewKey<TnxRefKeyDescriptor>();
  descriptor->SetFilter(platform::create<TnxCallbackFilterDescriptor>(nullptr, &gRejectOdd));
  Owned<TnxBaseKeyEngine> engine(TnxBaseKeyEngine::CreateFor(descriptor));
  const std::uint8_t odd[8] = {3}, even[8] = {4};
  PnxKeyBuffer key = engine->AllocKey();
  EXPECT_EQ(engine->BuildKey(odd, key, 9, false), 1);
  EXPECT_EQ(engine->BuildKey(odd, key, 9, true), 0);
  EXPECT_EQ(engine->BuildKey(even, key, 9, false), 0);

  EXPECT_EQ(engine->GetFieldCount(), 1);
  EXPECT_EQ(engine->GetFieldFromName(u"refnr"), 0);
  EXPECT_EQ(engine->GetFieldFromName(u"Int64"), -1);
  InxFieldDescriptor* field = engine->GetFieldDescriptor(0);
  ASSERT_NE(field, nullptr);
  EXPECT_EQ(field->GetFieldName(), u"RefNr");
  EXPECT_EQ(field->GetFieldType(), nxtInt64);
  EXPECT_EQ(engine->GetFieldDescriptor(1), nullptr);
  std::uint16_t type = 0, size = 1, codePage = 1;
  bool isNull = true;
  const void* value = nullptr;
  ASSERT_TRUE(engine->GetFieldForFilter(-1, "REFNR", key, type, size, isNull, value, codePage));
  EXPECT_EQ(type, nxtInt64);
  EXPECT_EQ(size, 0);
  EXPECT_FALSE(isNull);
  EXPECT_EQ(value, key);
  ASSERT_TRUE(engine->GetFieldForFilter(0, nullptr, nullptr, type, size, isNull, value, codePage));
  EXPECT_TRUE(isNull);
  EXPECT_EQ(value, nullptr);
  EXPECT_FALSE(engine->GetFieldForFilter(1, nullptr, key, type, size, isNull, value, codePage));
  EXPECT_FALSE(engine->GetFieldForFilter(0, "Nope", key, type, size, isNull, value, codePage));
  engine->FreeKey(key);

  // A descriptor of another class is no reference key.
  EXPECT_THROW(TnxRefKeyEngine::CheckValidDescriptor(NewKey<TnxInt64KeyDescriptor>()), platform::ConvertError);
}

}  // namespace
