// The 64-bit key engine: the first 8 bytes of the buffer, signed.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "nxllBde.h"
#include "nxsdKeyEngineInt64.h"
#include "nxsdKeyEngineTestSupport.h"
#include "nxsdTestSupport.h"

namespace {

using nxsdkeytest::KeyEngineTest;
using nxsdkeytest::Owned;
using nxsdtest::expectCode;

TEST_F(KeyEngineTest, Int64KeysFromTheBuffer) {
  Owned<TnxBaseKeyEngine> engine(TnxBaseKeyEngine::CreateFor(NewKey<TnxInt64KeyDescriptor>()));
  ASSERT_TRUE(engine->is<TnxInt64KeyEngine>());
  EXPECT_EQ(engine->KeyLength(), 8);
  const std::int64_t order[] = {INT64_MIN, -1, 0, 1, INT64_MAX};
  std::vector<std::array<std::uint8_t, 12>> records;
  std::vector<PnxKeyBuffer> built;
  for (std::int64_t v : order) {
    std::array<std::uint8_t, 12> r{};
    std::memcpy(r.data(), &v, 8);
    r[8] = 0xEE;  // bytes behind the value play no part
    records.push_back(r);
    built.push_back(engine->AllocKey());
    ASSERT_EQ(engine->BuildKey(r.data(), built.back(), 77, false), 0);
  }
  for (std::size_t i = 0; i < built.size(); ++i)
    for (std::size_t j = 0; j < built.size(); ++j) {
      const int expected = i < j ? -1 : (i > j ? 1 : 0);
      EXPECT_EQ(engine->CompareKey(built[i], built[j]), expected);
      EXPECT_EQ(engine->CompareKeyToRecord(built[i], records[j].data(), 0), expected);
      EXPECT_EQ(engine->CompareRecord(records[i].data(), 5, records[j].data(), 1), expected);
    }
  EXPECT_EQ(engine->KeyAsVariant(built[1], -1).toInt64(), -1);
  expectCode([&] { engine->KeyAsVariant(built[1], -2); }, nxErrInvalidDescNumber);
  EXPECT_EQ(engine->BuildKey(nullptr, built[0], 0, false), nxErrInvalidParam);
  EXPECT_EQ(engine->GetFieldDescriptor(0)->GetFieldName(), u"Int64");
  EXPECT_EQ(engine->GetFieldFromName(u"INT64"), 0);
  for (PnxKeyBuffer& k : built) engine->FreeKey(k);
}

}  // namespace
