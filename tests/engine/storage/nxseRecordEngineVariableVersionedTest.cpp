// Versioned variable records: records of an older layout widened on read,
// the flag word with its version, bitmaps that grow a word, the fields that
// may be appended, and the descriptor checks. A copying compressor exists
// only here: the system registers none.
#include <gtest/gtest.h>

#include <cstring>

#include "nxllBaseCompressor.h"
#include "nxseRecordEngineVariableVersioned.h"
#include "nxseTableTestSupport.h"

namespace {

using namespace nxtest;

// Stores the record as it is.
class TestCopyCompressor : public TnxBaseCompressor {
  PL_CLASS_INFO_DECL()
};
std::uint32_t copyCompress(const void* aSource, void* aTarget, std::uint32_t aSourceSize, std::uint32_t) {
  std::memcpy(aTarget, aSource, aSourceSize);
  return aSourceSize;
}
void copyUncompress(const void* aSource, void* aTarget, std::uint32_t aSourceSize, std::uint32_t) {
  std::memcpy(aTarget, aSource, aSourceSize);
}
constexpr TnxCompressorClassFuncs kCopyFuncs{&copyCompress, &copyUncompress};

}  // namespace

PL_CLASS_INFO_IMPL_TABLE(TestCopyCompressor, TnxBaseCompressor, "TestCopyCompressor", nullptr,
                         platform::bindClassTable(kCopyFuncs))

namespace {

class VersionedRecordTest : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    nxseRecordEngineVariableVersionedInitialize();
    nxRegisterCompressor(1, &TestCopyCompressor::staticClassInfo());
  }
  void TearDown() override {
    if (!tables_.empty()) tables_.front()->records.reset();
    widened_.reset();
    nxRegisterCompressor(1, nullptr);
    nxseRecordEngineVariableVersionedFinalize();
    TableTest::TearDown();
  }

  // aFields Int32 fields (the last a NullString of 10 when aText).
  static TnxServerDataDict* dictionary(int aInts, bool aText) {
    std::initializer_list<std::pair<TnxFieldType, std::int32_t>> none{};
    TnxServerDataDict* dict = newVariableDictionary(none, u"Compressor");
    for (int i = 0; i < aInts; ++i)
      dict->FieldsDescriptor()->AddField(u"I" + platform::fromUtf8(std::to_string(i)), u"", nxtInt32, 0, 0, false);
    if (aText) dict->FieldsDescriptor()->AddField(u"Text", u"", nxtNullString, 10, 0, false);
    auto* record = platform::objectAs<TnxHeapRecordDescriptor>(dict->RecordDescriptor());
    record->SetRecordEngine(u"VariableVersioned");
    record->RecordCompressionDescriptor()->SetCompressType(1);
    return dict;
  }
  TnxVariableVersionedRecordEngine* engine() {
    return platform::objectAs<TnxVariableVersionedRecordEngine>(tables_.front()->records.get());
  }
  // The table's engine again, over the committed file, for the dictionary
  // with aMore Int32 fields appended (the original count kept).
  void appendFields(int aMore) {
    Table& t = *tables_.front();
    t.records.reset();
    widened_.reset(platform::create<TnxServerDataDict>());
    widened_->Assign(t.dict.get());
    TnxFieldsDescriptor* fields = widened_->FieldsDescriptor();
    fields->SetOriginalFieldCount(fields->FieldCount());
    for (int i = 0; i < aMore; ++i)
      fields->AddField(u"New" + platform::fromUtf8(std::to_string(i)), u"", nxtInt32, 0, 0, false);
    t.records.reset(TnxBaseRecordEngine::CreateEngine(widened_.get(), {t.recordAccess.get()}, nullptr));
  }
  TnxFieldsDescriptor* fields() { return engine()->breFieldsDescriptor; }
  std::vector<std::uint8_t> record(const std::vector<std::pair<int, std::int32_t>>& aValues) {
    std::vector<std::uint8_t> r(engine()->breRecordLength + 4u, 0xAB);
    fields()->InitRecord(r.data());
    for (const auto& [field, value] : aValues) fields()->SetRecordField(field, r.data(), &value);
    return r;
  }
  TnxRefNr add(TnxBaseTransaction* aTrans, const std::vector<std::pair<int, std::int32_t>>& aValues) {
    std::vector<std::uint8_t> r = record(aValues);
    TnxRefNr refNr = 0;
    engine()->AddRecord(aTrans, refNr, r.data());
    return refNr;
  }
  std::vector<std::uint8_t> read(TnxBaseTransaction* aTrans, TnxRefNr aRefNr) {
    std::vector<std::uint8_t> r(engine()->breRecordLength + 4u, 0xEE);
    engine()->ReadRecord(aTrans, aRefNr, r.data());
    r.resize(engine()->breRecordLength);
    return r;
  }
  std::uint16_t flagWord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr) {
    std::uint16_t size = 0;
    TnxPinnedBlock pin;
    const std::uint8_t* p =
        nxGetPinnedSegment(*engine()->reHeapEngine, aTrans, static_cast<TnxHeapRef>(aRefNr), false, size, pin);
    const std::uint16_t flags = nxseGetU16(p);
    pin.Release();
    return flags;
  }
  bool isNull(const std::vector<std::uint8_t>& aRecord, int aField) {
    return fields()->IsRecordFieldNull(aField, aRecord.data());
  }
  std::int32_t value(const std::vector<std::uint8_t>& aRecord, int aField) {
    std::int32_t v = 0;
    std::memcpy(&v, aRecord.data() + fields()->Fields(aField)->fdOffset, 4);
    return v;
  }

  TnxOwned<TnxServerDataDict> widened_;
};

TEST_F(VersionedRecordTest, OldRecordsReadWithTheAppendedFieldNull) {
  Table& t = createTable(dictionary(2, true));
  EXPECT_EQ(engine()->reCurrentVersion, 0);
  TnxRefNr old1 = 0, old2 = 0;
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    std::vector<std::uint8_t> r = record({{0, 11}, {1, 12}});
    fields()->SetRecordFieldNull(2, r.data(), false);
    std::memcpy(r.data() + fields()->Fields(2)->fdOffset, "abc", 4);
    engine()->AddRecord(trans.get(), old1, r.data());
    old2 = add(trans.get(), {{1, 22}});
    EXPECT_EQ(flagWord(trans.get(), old1) >> 8, 0);
    trans->Commit();
  }
  appendFields(1);
  ASSERT_NE(engine(), nullptr);
  EXPECT_EQ(engine()->reCurrentVersion, 1);
  ASSERT_EQ(engine()->reFieldInfos.size(), 2u);
  EXPECT_EQ(engine()->reFieldInfos[0].fiFieldsLength, 19);
  EXPECT_EQ(engine()->reFieldInfos[0].fiNullBitsOffset, 20);
  EXPECT_EQ(engine()->reFieldInfos[0].fiClearBytesCount, 24 - 19);
  EXPECT_EQ(engine()->reCurrentNullBitsOffset, 24);

  const std::vector<std::uint8_t> r1 = read(nullptr, old1);
  EXPECT_EQ(value(r1, 0), 11);
  EXPECT_EQ(value(r1, 1), 12);
  EXPECT_STREQ(reinterpret_cast<const char*>(r1.data() + fields()->Fields(2)->fdOffset), "abc");
  EXPECT_FALSE(isNull(r1, 0));
  EXPECT_FALSE(isNull(r1, 2));
  EXPECT_TRUE(isNull(r1, 3));
  EXPECT_EQ(value(r1, 3), 0);
  const std::vector<std::uint8_t> r2 = read(nullptr, old2);
  EXPECT_TRUE(isNull(r2, 0));
  EXPECT_EQ(value(r2, 1), 22);
  EXPECT_TRUE(isNull(r2, 2));
  EXPECT_TRUE(isNull(r2, 3));
  // Widened records are whole current records: the bytes between the old
  // fields and the bitmap are zero.
  for (int i = 19; i < 24; ++i) EXPECT_EQ(r2[static_cast<std::size_t>(i)], 0) << i;

  TnxOwned<TestTransaction> trans(newTransaction());
  const TnxRefNr fresh = add(trans.get(), {{0, 1}, {3, 7}});
  EXPECT_EQ(flagWord(trans.get(), fresh) >> 8, 1);
  const std::vector<std::uint8_t> r3 = read(trans.get(), fresh);
  EXPECT_EQ(value(r3, 3), 7);
  EXPECT_FALSE(isNull(r3, 3));
  // An updated old record is written in the current version.
  std::vector<std::uint8_t> changed = r2;
  std::int32_t seven = 7;
  fields()->SetRecordField(3, changed.data(), &seven);
  changed.resize(changed.size() + 4);
  engine()->UpdateRecord(trans.get(), old2, changed.data(), nullptr);
  EXPECT_EQ(flagWord(trans.get(), old2) >> 8, 1);
  EXPECT_EQ(value(read(trans.get(), old2), 3), 7);
  trans->Commit();
  EXPECT_EQ(checkFile("/db/t.nx1", engine()->breRecordLength), "");
  (void)t;
}

TEST_F(VersionedRecordTest, AThirtyThirdFieldGrowsTheBitmapToEightBytes) {
  createTable(dictionary(32, false));
  TnxRefNr old = 0;
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    old = add(trans.get(), {{0, 5}, {31, 9}});
    trans->Commit();
  }
  appendFields(1);
  const auto& info = engine()->reFieldInfos;
  EXPECT_EQ(info[0].fiNullBitsOffset, 128);
  EXPECT_EQ(info[0].fiNullBitsSize, 4);
  EXPECT_EQ(info[1].fiNullBitsOffset, 132);
  EXPECT_EQ(info[1].fiNullBitsSize, 8);
  const std::vector<std::uint8_t> r = read(nullptr, old);
  EXPECT_EQ(value(r, 0), 5);
  EXPECT_EQ(value(r, 31), 9);
  EXPECT_FALSE(isNull(r, 0));
  EXPECT_FALSE(isNull(r, 31));
  for (int f = 1; f < 31; ++f) EXPECT_TRUE(isNull(r, f)) << f;
  EXPECT_TRUE(isNull(r, 32));
  EXPECT_EQ(value(r, 32), 0);
  // Bits beyond the fields stay clear.
  EXPECT_EQ(r[132 + 4] & 0xFE, 0);
  EXPECT_EQ(r[132 + 5] | r[132 + 6] | r[132 + 7], 0);
}

TEST_F(VersionedRecordTest, OnlyFieldsThatMayBeNullCanBeAppended) {
  createTable(dictionary(2, false));
  TnxOwned<TnxServerDataDict> scratch(platform::create<TnxServerDataDict>());
  TnxFieldsDescriptor* f = scratch->FieldsDescriptor();
  TnxFieldDescriptor* plain = f->AddField(u"Plain", u"", nxtInt32, 0, 0, false);
  TnxFieldDescriptor* required = f->AddField(u"Required", u"", nxtInt32, 0, 0, true);
  TnxFieldDescriptor* defaulted = f->AddField(u"Defaulted", u"", nxtInt32, 0, 0, false);
  defaulted->AddDefaultValue();
  TnxFieldDescriptor* validated = f->AddField(u"Validated", u"", nxtInt32, 0, 0, false);
  validated->AddValidations();
  EXPECT_TRUE(engine()->CanAddField(plain));
  EXPECT_FALSE(engine()->CanAddField(required));
  EXPECT_FALSE(engine()->CanAddField(defaulted));
  EXPECT_FALSE(engine()->CanAddField(validated));
  EXPECT_FALSE(engine()->CanAddField(nullptr));
}

TEST_F(VersionedRecordTest, DescriptorChecksAndTheMissingCompressor) {
  TnxOwned<TnxServerDataDict> smart(dictionary(2, false));
  platform::objectAs<TnxHeapRecordDescriptor>(smart->RecordDescriptor())
      ->RecordCompressionDescriptor()
      ->SetRecordCompressionEngine(u"Smart");
  expectFailsWith(10004, "Only \"Compressor\" RecordCompressionEngine is supported",
                  [&] { TnxBaseSubEngine::CheckValidAll(smart.get()); });
  TnxOwned<TnxServerDataDict> bare(dictionary(2, false));
  platform::objectAs<TnxHeapRecordDescriptor>(bare->RecordDescriptor())->RemoveRecordCompressionDescriptor();
  expectFailsWith(10004, "A RecordCompressionDescriptor is required",
                  [&] { TnxBaseSubEngine::CheckValidAll(bare.get()); });
  TnxOwned<TnxServerDataDict> good(dictionary(2, false));
  TnxBaseSubEngine::CheckValidAll(good.get());
  // Without a registered compressor the engine cannot be made.
  nxRegisterCompressor(1, nullptr);
  try {
    createTable(dictionary(2, false));
    ADD_FAILURE() << "created without a compressor";
  } catch (const EnxBaseException& e) {
    EXPECT_NE(platform::toUtf8(e.Message()).find("Unknown CompressType \"1\""), std::string::npos)
        << platform::toUtf8(e.Message());
  }
}

TEST_F(VersionedRecordTest, MoreThan255AppendedFieldsAreRefused) {
  TnxOwned<TnxServerDataDict> dict(dictionary(1, false));
  TnxFieldsDescriptor* fields = dict->FieldsDescriptor();
  fields->SetOriginalFieldCount(1);
  for (int i = 0; i < 256; ++i)
    fields->AddField(u"N" + platform::fromUtf8(std::to_string(i)), u"", nxtByte, 0, 0, false);
  expectFailsWith(10004, "at most 255", [&] { TnxBaseSubEngine::CheckValidAll(dict.get()); });
}

}  // namespace
