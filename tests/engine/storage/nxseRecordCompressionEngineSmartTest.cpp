// Record compression: the Smart format's sizes, round trips, records it
// cannot encode, damaged input, and the null and compressor engines.
#include <gtest/gtest.h>

#include <random>

#include "nxseRecordCompressionEngineCompressor.h"
#include "nxseRecordCompressionEngineSmart.h"
#include "nxseTableTestSupport.h"

namespace {

using namespace nxtest;

struct FieldDef {
  TnxFieldType type;
  std::int32_t units;
};

class RecordCompressionTest : public TableTest {
 protected:
  void TearDown() override {
    engine_.reset();
    dict_.reset();
    TableTest::TearDown();
  }

  // A table of aFields whose compression descriptor names aEngine; the
  // engine made from it.
  TnxBaseRecordCompressionEngine* make(const std::vector<FieldDef>& aFields, const nxString& aEngine = u"Smart",
                                       std::uint8_t aCompressType = 0) {
    engine_.reset();
    dict_.reset(platform::create<TnxServerDataDict>());
    for (std::size_t i = 0; i < aFields.size(); ++i)
      dict_->FieldsDescriptor()->AddField(u"F" + platform::fromUtf8(std::to_string(i)), u"", aFields[i].type,
                                          aFields[i].units, 0, false);
    auto* record = platform::objectAs<TnxHeapRecordDescriptor>(
        dict_->AddRecordDescriptor(&TnxHeapRecordDescriptor::staticClassInfo()));
    TnxBaseRecordCompressionDescriptor* compression = record->AddRecordCompressionDescriptor();
    compression->SetRecordCompressionEngine(aEngine);
    compression->SetCompressType(aCompressType);
    engine_.reset(TnxBaseRecordCompressionEngine::CreateEngine(compression, 47501));
    return engine_.get();
  }
  TnxFieldsDescriptor* fields() { return dict_->FieldsDescriptor(); }
  std::vector<std::uint8_t> emptyRecord() {
    std::vector<std::uint8_t> r(static_cast<std::size_t>(fields()->RecordLength()) + 4, 0xEE);
    fields()->InitRecord(r.data());
    return r;
  }
  // Sets field aField to the bytes aValue (the rest of the field zero).
  void put(std::vector<std::uint8_t>& aRecord, std::int32_t aField, const std::vector<std::uint8_t>& aValue) {
    TnxFieldDescriptor* f = fields()->Fields(aField);
    fields()->SetRecordFieldNull(aField, aRecord.data(), false);
    std::memset(aRecord.data() + f->fdOffset, 0, static_cast<std::size_t>(f->fdLength));
    std::memcpy(aRecord.data() + f->fdOffset, aValue.data(), aValue.size());
  }
  std::vector<std::uint8_t> compress(const std::vector<std::uint8_t>& aRecord, std::uint16_t& aSize) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(fields()->RecordLength()) + 4, 0);
    aSize = engine_->CompressRecord(aRecord.data(), out.data());
    out.resize(aSize);
    return out;
  }
  std::vector<std::uint8_t> decompress(const std::vector<std::uint8_t>& aData) {
    std::vector<std::uint8_t> r(static_cast<std::size_t>(fields()->RecordLength()), 0xEE);
    engine_->DecompressRecord(aData.data(), static_cast<std::uint16_t>(aData.size()), r.data());
    return r;
  }
  bool sameRecord(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    const auto n = static_cast<std::size_t>(fields()->RecordLength());
    return a.size() >= n && b.size() >= n && std::memcmp(a.data(), b.data(), n) == 0;
  }

  TnxOwned<TnxServerDataDict> dict_;
  TnxOwned<TnxBaseRecordCompressionEngine> engine_;
};

std::vector<std::uint8_t> bytes(std::string_view aText) { return {aText.begin(), aText.end()}; }
std::vector<std::uint8_t> wide(std::u16string_view aText) {
  std::vector<std::uint8_t> v;
  for (char16_t c : aText) {
    v.push_back(static_cast<std::uint8_t>(c));
    v.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return v;
}

TEST_F(RecordCompressionTest, SmartSizes) {
  struct Case {
    const char* what;
    std::vector<FieldDef> fields;
    std::int32_t field;  // -1: every field null
    std::vector<std::uint8_t> value;
    std::uint16_t expected;  // bitmap bytes included
  };
  const std::vector<FieldDef> nine(9, FieldDef{nxtInt32, 0});
  const Case cases[] = {
      {"every field null", {{nxtInt32, 0}, {nxtShortString, 20}, {nxtDouble, 0}}, -1, {}, 1},
      {"every one of 9 fields null", nine, -1, {}, 2},
      {"9 fields, one value", nine, 8, {1, 2, 3, 4}, 2 + 4},
      {"short string of 21 holding 3 characters", {{nxtShortString, 20}}, 0, {3, 'a', 'b', 'c'}, 1 + 4},
      {"empty null string", {{nxtNullString, 30}}, 0, {0}, 1 + 1},
      {"wide string holding 2 characters", {{nxtWideString, 10}}, 0, wide(u"\u3042z"), 1 + 6},
      {"fixed-size type", {{nxtInt64, 0}}, 0, {9}, 1 + 8},
  };
  for (const Case& c : cases) {
    make(c.fields);
    std::vector<std::uint8_t> record = emptyRecord();
    if (c.field >= 0) put(record, c.field, c.value);
    std::uint16_t size = 0;
    const std::vector<std::uint8_t> stored = compress(record, size);
    EXPECT_EQ(size, c.expected) << c.what;
    EXPECT_TRUE(sameRecord(decompress(stored), record)) << c.what;
  }
}

TEST_F(RecordCompressionTest, SmartRoundTripsOfMixedRecords) {
  make({{nxtBoolean, 0}, {nxtInt32, 0}, {nxtShortString, 40}, {nxtNullString, 25}, {nxtWideString, 12},
        {nxtDouble, 0}, {nxtByteArray, 7}, {nxtInt16, 0}, {nxtGuid, 0}});
  std::mt19937 random(7);
  for (int round = 0; round < 500; ++round) {
    std::vector<std::uint8_t> record = emptyRecord();
    for (std::int32_t i = 0; i < fields()->FieldCount(); ++i) {
      if (random() % 3 == 0) continue;  // stays null
      TnxFieldDescriptor* f = fields()->Fields(i);
      std::vector<std::uint8_t> value;
      const std::uint32_t n = random() % static_cast<std::uint32_t>(f->fdUnits > 0 ? f->fdUnits + 1 : 1);
      switch (f->fdType) {
        case nxtShortString:
          value.push_back(static_cast<std::uint8_t>(n));
          for (std::uint32_t k = 0; k < n; ++k) value.push_back(static_cast<std::uint8_t>('a' + k % 26));
          break;
        case nxtNullString:
          for (std::uint32_t k = 0; k < n; ++k) value.push_back(static_cast<std::uint8_t>('A' + k % 26));
          value.push_back(0);
          break;
        case nxtWideString:
          for (std::uint32_t k = 0; k < n; ++k) {
            value.push_back(static_cast<std::uint8_t>(k + 1));
            value.push_back(0x30);
          }
          value.insert(value.end(), {0, 0});
          break;
        default:
          for (std::int32_t k = 0; k < f->fdLength; ++k) value.push_back(static_cast<std::uint8_t>(random()));
      }
      put(record, i, value);
    }
    std::uint16_t size = 0;
    const std::vector<std::uint8_t> stored = compress(record, size);
    ASSERT_GT(size, 0);
    ASSERT_LE(size, fields()->RecordLength());
    ASSERT_TRUE(sameRecord(decompress(stored), record)) << "round " << round;
  }
}

TEST_F(RecordCompressionTest, SmartStoresRawWhatItCannotEncode) {
  struct Case {
    const char* what;
    FieldDef field;
    std::vector<std::uint8_t> value;
  };
  const Case cases[] = {
      {"null string without its zero byte", {nxtNullString, 5}, bytes("abcdef")},
      {"wide string without its zero character", {nxtWideString, 2}, wide(u"abc")},
      {"short string longer than its field", {nxtShortString, 3}, {200, 'a', 'b', 'c'}},
  };
  for (const Case& c : cases) {
    make({{nxtInt32, 0}, c.field});
    std::vector<std::uint8_t> record = emptyRecord();
    put(record, 0, {1, 0, 0, 0});
    put(record, 1, c.value);
    std::uint16_t size = 99;
    compress(record, size);
    EXPECT_EQ(size, 0) << c.what;
  }
}

TEST_F(RecordCompressionTest, SmartRefusesDamagedInput) {
  make({{nxtInt32, 0}, {nxtShortString, 10}, {nxtNullString, 8}, {nxtWideString, 4}});
  std::vector<std::uint8_t> record = emptyRecord();
  put(record, 0, {1, 2, 3, 4});
  put(record, 1, {3, 'a', 'b', 'c'});
  put(record, 2, bytes(std::string_view("xyz\0", 4)));
  put(record, 3, wide(std::u16string_view(u"pq\0", 3)));
  std::uint16_t size = 0;
  const std::vector<std::uint8_t> stored = compress(record, size);
  ASSERT_EQ(size, 1 + 4 + 4 + 4 + 6);
  // Every cut of the input, and one byte too many.
  for (std::size_t cut = 0; cut < stored.size(); ++cut)
    expectFails(8962, [&] { decompress({stored.begin(), stored.begin() + static_cast<std::ptrdiff_t>(cut)}); });
  std::vector<std::uint8_t> longer = stored;
  longer.push_back(0);
  expectFails(8962, [&] { decompress(longer); });
  struct Case {
    const char* what;
    std::size_t at;
    std::uint8_t value;
  };
  const Case cases[] = {
      {"short string length beyond its field", 5, 11},
      {"null string without zero inside its field", 12, 'q'},
      {"bitmap disagrees with the values", 0, 0xF1},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> damaged = stored;
    damaged[c.at] = c.value;
    // Room behind the damage, so only the field bounds can stop the read.
    damaged.resize(damaged.size() + 40, 'z');
    expectFails(8962, [&] { decompress(damaged); }, c.what);
  }
  // Random damage either decodes or fails with 8962; never reads or
  // writes outside the buffers (the sanitizer build watches).
  std::mt19937 random(11);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::uint8_t> damaged = stored;
    damaged[random() % damaged.size()] = static_cast<std::uint8_t>(random());
    damaged.resize(random() % (damaged.size() + 8), 'w');
    try {
      decompress(damaged);
    } catch (const EnxBaseException& e) {
      ASSERT_EQ(e.ErrorCode(), 8962);
    }
  }
}

TEST_F(RecordCompressionTest, NullEngineStoresRawAndCannotDecompress) {
  engine_.reset(TnxBaseRecordCompressionEngine::CreateEngine(nullptr, 47501));
  ASSERT_NE(platform::objectAs<TnxNullRecordCompressionEngine>(engine_.get()), nullptr);
  EXPECT_EQ(engine_->bseID, 0);
  std::uint8_t record[16] = {1, 2, 3}, out[20] = {};
  EXPECT_EQ(engine_->CompressRecord(record, out), 0);
  expectFailsWith(12289, "DecompressRecord is not supported by TnxNullRecordCompressionEngine",
                  [&] { engine_->DecompressRecord(out, 3, record); });
  make({{nxtInt32, 0}}, u"null");  // names compare without case
  EXPECT_NE(platform::objectAs<TnxNullRecordCompressionEngine>(engine_.get()), nullptr);
}

TEST_F(RecordCompressionTest, CompressorAndUnknownEnginesCannotBeMade) {
  for (std::uint8_t type : {std::uint8_t{1}, std::uint8_t{0}, std::uint8_t{255}}) {
    try {
      make({{nxtInt32, 0}}, u"Compressor", type);
      ADD_FAILURE() << "no exception for CompressType " << int{type};
    } catch (const EnxCompressorRecordCompressionEngineException& e) {
      EXPECT_NE(platform::toUtf8(e.Message()).find("Unknown CompressType \"" + std::to_string(type) + "\""),
                std::string::npos)
          << platform::toUtf8(e.Message());
    }
  }
  expectFailsWith(15503, "Unknown RecordCompression engine: \"Zip\"", [&] { make({{nxtInt32, 0}}, u"Zip"); });
}

}  // namespace
