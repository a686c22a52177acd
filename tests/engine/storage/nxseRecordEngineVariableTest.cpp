// Variable records: segment forms, forward references that keep RefNrs,
// walks and record numbers, a model-based run against a map, refused sizes,
// recovery of raw blocks and damaged segments and chains.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "nxseTableTestSupport.h"

namespace {

using namespace nxtest;

// Fields of the usual table: its RefNr, a key and a text.
constexpr std::int32_t kRefField = 0, kKeyField = 1, kTextField = 2;

class VariableRecordTest : public TableTest {
 protected:
  Table& table() {
    if (tables_.empty()) createTable(newVariableDictionary({{nxtRefNr, 0}, {nxtInt32, 0}, {nxtNullString, 2000}}));
    return *tables_.front();
  }
  TnxVariableRecordEngine* engine() { return table().variables(); }
  TnxFieldsDescriptor* fields() { return table().dict->FieldsDescriptor(); }
  std::vector<std::uint8_t> buffer() { return std::vector<std::uint8_t>(engine()->breRecordLength + 4u, 0); }
  std::vector<std::uint8_t> record(std::int32_t aKey, const std::string& aText) {
    std::vector<std::uint8_t> r = buffer();
    fields()->InitRecord(r.data());
    fields()->SetRecordField(kKeyField, r.data(), &aKey);
    // The field takes the characters and their zero byte; the rest stays zero.
    fields()->SetRecordFieldNull(kTextField, r.data(), false);
    std::memcpy(r.data() + fields()->Fields(kTextField)->fdOffset, aText.c_str(), aText.size() + 1);
    return r;
  }
  TnxRefNr add(TnxBaseTransaction* aTrans, std::int32_t aKey, const std::string& aText) {
    std::vector<std::uint8_t> r = record(aKey, aText);
    TnxRefNr refNr = 0;
    engine()->AddRecord(aTrans, refNr, r.data());
    EXPECT_NE(refNr, 0);
    EXPECT_EQ(refField(r.data()), refNr);
    return refNr;
  }
  void update(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, std::int32_t aKey, const std::string& aText) {
    std::vector<std::uint8_t> r = record(aKey, aText);
    engine()->UpdateRecord(aTrans, aRefNr, r.data(), nullptr);
  }
  TnxRefNr refField(const std::uint8_t* aRecord) {
    TnxRefNr value = 0;
    bool isNull = true;
    fields()->GetRecordField(kRefField, aRecord, isNull, &value);
    return isNull ? -1 : value;
  }
  std::int32_t key(const std::uint8_t* aRecord) {
    std::int32_t value = 0;
    bool isNull = true;
    fields()->GetRecordField(kKeyField, aRecord, isNull, &value);
    return value;
  }
  std::string text(const std::uint8_t* aRecord) {
    return reinterpret_cast<const char*>(aRecord + fields()->Fields(kTextField)->fdOffset);
  }
  // Key and text of a record; its RefNr field must name it.
  std::pair<std::int32_t, std::string> read(TnxBaseTransaction* aTrans, TnxRefNr aRefNr) {
    std::vector<std::uint8_t> r = buffer();
    engine()->ReadRecord(aTrans, aRefNr, r.data());
    EXPECT_EQ(refField(r.data()), aRefNr);
    return {key(r.data()), text(r.data())};
  }
  // RefNr and key of every record in walk order.
  std::vector<std::pair<TnxRefNr, std::int32_t>> scan(TnxBaseTransaction* aTrans, bool aBackward = false) {
    std::vector<std::pair<TnxRefNr, std::int32_t>> result;
    TnxRefNr refNr = 0;
    PnxRecordBuffer data = nullptr;
    auto it = [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
      EXPECT_EQ(refField(aRecord), aRefNr);
      result.emplace_back(aRefNr, key(aRecord));
      return rirContinue;
    };
    if (aBackward)
      engine()->IterateBackward(aTrans, refNr, &data, it, nullptr, nullptr, false, false);
    else
      engine()->Iterate(aTrans, refNr, &data, it, nullptr, nullptr, false, false);
    EXPECT_EQ(refNr, 0);
    return result;
  }
  // The stored segment of a reference.
  std::vector<std::uint8_t> segment(TnxBaseTransaction* aTrans, TnxHeapRef aRef) {
    std::uint16_t size = 0;
    TnxPinnedBlock pin;
    std::uint8_t* p = nxGetPinnedSegment(*engine()->reHeapEngine, aTrans, aRef, false, size, pin);
    std::vector<std::uint8_t> result(p, p + size);
    pin.Release();
    return result;
  }
  // Lets aChange edit the stored segment of aRef in place (inside aTrans).
  template <class F>
  void patch(TnxBaseTransaction* aTrans, TnxHeapRef aRef, F aChange) {
    std::uint16_t size = 0;
    TnxPinnedBlock pin;
    std::uint8_t* p = nxGetPinnedSegment(*engine()->reHeapEngine, aTrans, aRef, true, size, pin);
    aChange(p, size);
    pin.Release();
  }
  std::uint32_t count(TnxBaseTransaction* aTrans) {
    std::uint32_t n = 0;
    engine()->GetRecordCount(aTrans, n);
    return n;
  }
};

bool evenKeys(void*, const void* aBuffer) {
  std::int32_t key;
  std::memcpy(&key, static_cast<const std::uint8_t*>(aBuffer) + 8, 4);
  return key % 2 == 0;
}

TEST_F(VariableRecordTest, EightByteRecordIsStoredRawAsATenByteSegment) {
  // A 4-byte field and the null bitmap: 8 bytes, no compression engine.
  createTable(newVariableDictionary({{nxtByteArray, 4}}, nullptr));
  EXPECT_EQ(engine()->breRecordLength, 8);
  EXPECT_NE(platform::objectAs<TnxNullRecordCompressionEngine>(engine()->reCompressionEngine.get()), nullptr);
  TnxOwned<TestTransaction> trans(newTransaction());
  std::vector<std::uint8_t> r = {1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0};
  TnxRefNr refNr = 0;
  engine()->AddRecord(trans.get(), refNr, r.data());
  EXPECT_EQ(segment(trans.get(), static_cast<TnxHeapRef>(refNr)),
            (std::vector<std::uint8_t>{2 | 8, 1, 2, 3, 4, 0, 0, 0, 0, 1}));
  std::vector<std::uint8_t> back(12, 0xEE);
  engine()->ReadRecord(trans.get(), refNr, back.data());
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + 8, r.begin()));
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
  // Without compression a segment that claims to be compressed is damage.
  TnxOwned<TestTransaction> damage(newTransaction());
  patch(damage.get(), static_cast<TnxHeapRef>(refNr), [](std::uint8_t* p, std::uint16_t) { p[0] = 8; });
  expectFails(8962, [&] { engine()->ReadRecord(damage.get(), refNr, back.data()); });
  damage->Rollback();
  engine()->Rollback(damage.get());
}

TEST_F(VariableRecordTest, ShortCompressedRecordIsPaddedToNineBytes) {
  createTable(newVariableDictionary({{nxtInt16, 0}, {nxtNullString, 20}}));
  TnxOwned<TestTransaction> trans(newTransaction());
  std::vector<std::uint8_t> r(engine()->breRecordLength + 4u, 0);
  fields()->InitRecord(r.data());
  const std::int16_t value = 0x0102;
  fields()->SetRecordField(0, r.data(), &value);  // bitmap byte + 2 bytes: 3
  TnxRefNr refNr = 0;
  engine()->AddRecord(trans.get(), refNr, r.data());
  const std::vector<std::uint8_t> stored = segment(trans.get(), static_cast<TnxHeapRef>(refNr));
  ASSERT_EQ(stored.size(), 10u);
  EXPECT_EQ(stored[0], 8);  // padded, compressed
  EXPECT_EQ(stored[9], 6);  // padding count
  std::vector<std::uint8_t> back(r.size(), 0xEE);
  engine()->ReadRecord(trans.get(), refNr, back.data());
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + engine()->breRecordLength, r.begin()));
  trans->Commit();
}

TEST_F(VariableRecordTest, GrownRecordKeepsItsRefNrAndIsWalkedOnce) {
  TnxOwned<TestTransaction> trans(newTransaction());
  std::vector<TnxRefNr> refs;
  for (int i = 0; i < 4; ++i) refs.push_back(add(trans.get(), i, std::string(900, static_cast<char>('a' + i))));
  const TnxBlockNumber home = nxHeapRefBlock(static_cast<TnxHeapRef>(refs[0]));
  for (TnxRefNr r : refs) ASSERT_EQ(nxHeapRefBlock(static_cast<TnxHeapRef>(r)), home);
  update(trans.get(), refs[1], 11, std::string(1900, 'x'));
  const std::vector<std::uint8_t> reference = segment(trans.get(), static_cast<TnxHeapRef>(refs[1]));
  ASSERT_EQ(reference.size(), 9u);
  EXPECT_EQ(reference[0], 4);
  const TnxHeapRef body = nxseGetU64(reference.data() + 1);
  EXPECT_NE(nxHeapRefBlock(body), home);
  EXPECT_EQ(segment(trans.get(), body)[0] & 1, 1);
  EXPECT_EQ(read(trans.get(), refs[1]), (std::pair<std::int32_t, std::string>{11, std::string(1900, 'x')}));
  const auto forward = scan(trans.get());
  EXPECT_EQ(forward, (std::vector<std::pair<TnxRefNr, std::int32_t>>{
                         {refs[0], 0}, {refs[1], 11}, {refs[2], 2}, {refs[3], 3}}));
  const auto backward = scan(trans.get(), true);
  EXPECT_TRUE(std::equal(forward.begin(), forward.end(), backward.rbegin(), backward.rend()));
  std::uint32_t recNo = 0;
  EXPECT_EQ(engine()->RecNoGet(trans.get(), refs[1], nullptr, recNo, false), 0);
  EXPECT_EQ(recNo, 2u);
  EXPECT_EQ(count(trans.get()), 4u);
  // The body is no record of its own.
  std::vector<std::uint8_t> r = record(5, "body");
  expectFails(15412, [&] { engine()->UpdateRecord(trans.get(), static_cast<TnxRefNr>(body), r.data(), nullptr); });
  expectFails(15412, [&] { engine()->DeleteRecord(trans.get(), static_cast<TnxRefNr>(body)); });
  // Growing again replaces the body; the old record comes back to the caller.
  std::vector<std::uint8_t> grown = record(12, std::string(1950, 'y')), old = buffer();
  engine()->UpdateRecord(trans.get(), refs[1], grown.data(), old.data());
  EXPECT_EQ(key(old.data()), 11);
  EXPECT_EQ(refField(old.data()), refs[1]);
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
  // Shrinking moves the record home again.
  TnxOwned<TestTransaction> second(newTransaction());
  update(second.get(), refs[1], 13, "small");
  EXPECT_NE(segment(second.get(), static_cast<TnxHeapRef>(refs[1]))[0] & 4, 4);
  EXPECT_EQ(read(second.get(), refs[1]).second, "small");
  engine()->DeleteRecord(second.get(), refs[0]);
  EXPECT_EQ(scan(second.get()).size(), 3u);
  second->Commit();
  EXPECT_EQ(checkFile(), "");
}

TEST_F(VariableRecordTest, DeletingAMovedRecordFreesItsBody) {
  TnxOwned<TestTransaction> trans(newTransaction());
  std::vector<TnxRefNr> refs;
  for (int i = 0; i < 4; ++i) refs.push_back(add(trans.get(), i, std::string(900, 'q')));
  update(trans.get(), refs[2], 2, std::string(1990, 'z'));
  const TnxHeapRef body = nxseGetU64(segment(trans.get(), static_cast<TnxHeapRef>(refs[2])).data() + 1);
  engine()->DeleteRecord(trans.get(), refs[2]);
  EXPECT_THROW(segment(trans.get(), body), EnxBaseException);
  expectFails(15493, [&] { read(trans.get(), refs[2]); });
  EXPECT_EQ(count(trans.get()), 3u);
  trans->Commit();
  EXPECT_EQ(checkFile(), "");
}

TEST_F(VariableRecordTest, NeighboursRecordNumbersAndResumedWalks) {
  TnxOwned<TestTransaction> trans(newTransaction());
  std::vector<TnxRefNr> refs;
  // Several data blocks.
  for (int i = 0; i < 30; ++i) refs.push_back(add(trans.get(), i, std::string(300, 'k')));
  ASSERT_NE(nxHeapRefBlock(static_cast<TnxHeapRef>(refs[0])), nxHeapRefBlock(static_cast<TnxHeapRef>(refs[29])));
  TnxRefNr next = 0;
  engine()->ReadNextRecord(trans.get(), 0, next, nullptr);
  EXPECT_EQ(next, refs[0]);
  std::vector<std::uint8_t> r = buffer();
  engine()->ReadNextRecord(trans.get(), refs[12], next, r.data());
  EXPECT_EQ(next, refs[13]);
  EXPECT_EQ(key(r.data()), 13);
  engine()->ReadPrevRecord(trans.get(), 0, next, nullptr);
  EXPECT_EQ(next, refs[29]);
  engine()->ReadNextRecord(trans.get(), refs[29], next, nullptr);
  EXPECT_EQ(next, 0);

  TnxCallbackFilterDescriptor descriptor(nullptr, &evenKeys);
  TnxOwned<TnxCallbackFilterEngine> filter(platform::create<TnxCallbackFilterEngine>(&descriptor, nullptr));
  filter->SetActive(true);
  std::uint32_t recNo = 0;
  EXPECT_EQ(engine()->RecNoGet(trans.get(), refs[2], nullptr, recNo, false), 0);
  EXPECT_EQ(recNo, 3u);
  EXPECT_EQ(engine()->RecNoGet(trans.get(), refs[2], nullptr, recNo, true), 0);
  EXPECT_EQ(recNo, 28u);
  EXPECT_EQ(engine()->RecNoGet(trans.get(), refs[3], filter.get(), recNo, false), 8709);
  EXPECT_EQ(engine()->RecNoGet(trans.get(), refs[20], filter.get(), recNo, false), 0);
  EXPECT_EQ(recNo, 11u);
  EXPECT_EQ(engine()->RecNoGet(trans.get(), refs[20] + 1000, nullptr, recNo, false), 8706);
  TnxRefNr found = 0;
  EXPECT_EQ(engine()->RecNoSet(trans.get(), 11, found, filter.get(), false), 0);
  EXPECT_EQ(found, refs[20]);
  EXPECT_EQ(engine()->RecNoSet(trans.get(), 1, found, nullptr, true), 0);
  EXPECT_EQ(found, refs[29]);
  EXPECT_EQ(engine()->RecNoSet(trans.get(), 31, found, nullptr, false), 8706);
  EXPECT_EQ(found, 0);

  // A walk that stops on the fifth record leaves its position there; the
  // next one with aKeepPosition goes on with the sixth.
  TnxRefNr position = 0;
  int seen = 0;
  auto stopAtFifth = [&](void*, TnxRefNr, PnxRecordBuffer) { return ++seen == 5 ? rirStop : rirContinue; };
  engine()->Iterate(trans.get(), position, nullptr, stopAtFifth, nullptr, nullptr, false, false);
  EXPECT_EQ(position, refs[4]);
  std::vector<std::int32_t> keys;
  engine()->Iterate(
      trans.get(), position, nullptr,
      [&](void*, TnxRefNr, PnxRecordBuffer aRecord) {
        keys.push_back(key(aRecord));
        return keys.size() == 2 ? rirStop : rirContinue;
      },
      nullptr, filter.get(), true, false);
  EXPECT_EQ(keys, (std::vector<std::int32_t>{6, 8}));
  trans->Commit();
}

TEST_F(VariableRecordTest, EmptyTable) {
  TnxOwned<TestTransaction> trans(newTransaction());
  EXPECT_TRUE(scan(trans.get()).empty());
  TnxRefNr next = 5;
  engine()->ReadNextRecord(trans.get(), 0, next, nullptr);
  EXPECT_EQ(next, 0);
  TnxRefNr found = 5;
  EXPECT_EQ(engine()->RecNoSet(trans.get(), 1, found, nullptr, false), 8706);
  EXPECT_EQ(found, 0);
  EXPECT_EQ(count(trans.get()), 0u);
  trans->Rollback();
}

// Random add, grow, shrink and delete against a map of RefNr to record,
// with commits, a rolled-back batch, record numbers and a reopen.
TEST_F(VariableRecordTest, ModelOfRandomTraffic) {
  table();
  std::mt19937 random(2024);
  std::map<TnxRefNr, std::pair<std::int32_t, std::string>> model;
  auto randomText = [&]() {
    const std::uint32_t kind = random() % 10;
    const std::size_t n = kind < 6 ? random() % 60 : kind < 9 ? 100 + random() % 900 : 1500 + random() % 500;
    return std::string(n, static_cast<char>('a' + random() % 26));
  };
  auto verify = [&](TnxBaseTransaction* aTrans) {
    ASSERT_EQ(count(aTrans), model.size());
    const auto walked = scan(aTrans);
    ASSERT_EQ(walked.size(), model.size());
    std::map<TnxRefNr, std::int32_t> seen(walked.begin(), walked.end());
    ASSERT_EQ(seen.size(), model.size());  // every record once
    for (const auto& [refNr, value] : model) {
      ASSERT_EQ(read(aTrans, refNr), value);
      ASSERT_EQ(seen.at(refNr), value.first);
    }
    for (int k = 0; k < 5 && !walked.empty(); ++k) {
      const std::uint32_t i = random() % walked.size();
      std::uint32_t recNo = 0;
      ASSERT_EQ(engine()->RecNoGet(aTrans, walked[i].first, nullptr, recNo, false), 0);
      ASSERT_EQ(recNo, i + 1);
      ASSERT_EQ(engine()->RecNoGet(aTrans, walked[i].first, nullptr, recNo, true), 0);
      ASSERT_EQ(recNo, walked.size() - i);
      TnxRefNr found = 0;
      ASSERT_EQ(engine()->RecNoSet(aTrans, i + 1, found, nullptr, false), 0);
      ASSERT_EQ(found, walked[i].first);
    }
  };
  std::int32_t nextKey = 0;
  for (int batch = 0; batch < 12; ++batch) {
    TnxOwned<TestTransaction> trans(newTransaction());
    const auto saved = model;
    const bool rollBack = batch % 5 == 3;
    for (int op = 0; op < 150; ++op) {
      const std::uint32_t what = random() % 10;
      if (model.empty() || what < 4) {
        const std::string text = randomText();
        const std::int32_t key = nextKey++;
        model[add(trans.get(), key, text)] = {key, text};
      } else {
        auto it = model.begin();
        std::advance(it, random() % model.size());
        if (what < 8) {
          const std::string text = randomText();
          const std::int32_t key = nextKey++;
          update(trans.get(), it->first, key, text);
          it->second = {key, text};
        } else {
          engine()->DeleteRecord(trans.get(), it->first);
          model.erase(it);
        }
      }
    }
    verify(trans.get());
    if (rollBack) {
      trans->Rollback();
      engine()->Rollback(trans.get());
      model = saved;
    } else {
      trans->Commit();
    }
    ASSERT_EQ(checkFile(), "") << "batch " << batch;
  }
  closeAll();
  tables_.clear();
  openExisting();
  TnxOwned<TestTransaction> trans(newTransaction());
  verify(trans.get());
  trans->Commit();
}

TEST_F(VariableRecordTest, RecordsNoSegmentCanHoldAreRefused) {
  // 4092 usable bytes: the block size rule admits records up to 4067 bytes,
  // a heap segment holds at most 4052.
  createTable(newVariableDictionary({{nxtByteArray, 4056}}, nullptr));
  ASSERT_EQ(engine()->breRecordLength, 4060);
  TnxOwned<TestTransaction> trans(newTransaction());
  std::vector<std::uint8_t> r(4064, 7);
  TnxRefNr refNr = 0;
  expectFailsWith(15495, "Maximum record size has been exceeded",
                  [&] { engine()->AddRecord(trans.get(), refNr, r.data()); });
  EXPECT_EQ(refNr, 0);
  EXPECT_EQ(count(trans.get()), 0u);
  trans->Commit();
  EXPECT_EQ(checkFile(), "");

  // A compressed record that grows past the limit stays as it was.
  closeAll();
  tables_.clear();
  createTable(newVariableDictionary({{nxtRefNr, 0}, {nxtInt32, 0}, {nxtNullString, 4045}}));
  TnxOwned<TestTransaction> second(newTransaction());
  const TnxRefNr small = add(second.get(), 1, "small");
  std::vector<std::uint8_t> huge = record(2, std::string(4045, 'h'));
  expectFails(15495, [&] { engine()->UpdateRecord(second.get(), small, huge.data(), nullptr); });
  EXPECT_EQ(read(second.get(), small).second, "small");
  second->Commit();
}

TEST_F(VariableRecordTest, DescriptorChecks) {
  TnxOwned<TnxServerDataDict> dict(newVariableDictionary({{nxtInt32, 0}}));
  EXPECT_NO_THROW(TnxVariableRecordEngine::CheckEngineDescriptor(dict.get()));
  platform::objectAs<TnxHeapRecordDescriptor>(dict->RecordDescriptor())->RemoveHeapDescriptor();
  expectFailsWith(10004, "A HeapDescriptor is required", [&] { TnxVariableRecordEngine::CheckEngineDescriptor(dict.get()); });
  dict->AddRecordDescriptor()->SetRecordEngine(u"Variable");
  expectFailsWith(10004, "Record descriptor must be a TnxHeapRecordDescriptor",
                  [&] { TnxVariableRecordEngine::CheckEngineDescriptor(dict.get()); });
  // Too long for 64 KB blocks; a long record raises the block size.
  TnxOwned<TnxServerDataDict> huge(newVariableDictionary({{nxtByteArray, 65536 - 30}}));
  expectFails(15495, [&] { TnxVariableRecordEngine::CheckEngineDescriptor(huge.get()); });
  TnxOwned<TnxServerDataDict> big(newVariableDictionary({{nxtByteArray, 5000}}));
  TnxVariableRecordEngine::CheckEngineDescriptor(big.get());
  EXPECT_EQ(big->FilesDescriptor()->Files(0)->BlockSize(), nxbs8k);
  expectFailsWith(12289, "ReplaceAllRecords is not supported by TnxVariableRecordEngine",
                  [&] { engine()->ReplaceAllRecords(nullptr, [](PnxRecordBuffer) { return TnxResult{0}; }); });
}

TEST_F(VariableRecordTest, RecoveryWalkReadsRawBlocks) {
  TnxOwned<TestTransaction> trans(newTransaction());
  std::vector<TnxRefNr> refs;
  for (int i = 0; i < 4; ++i) refs.push_back(add(trans.get(), i, std::string(900, 'r')));
  update(trans.get(), refs[3], 33, std::string(1800, 's'));  // moves to a body
  trans->Commit();
  const std::vector<std::uint8_t> d = disk();
  const std::uint32_t usable = engine()->breDataFile->fiBlockSizeBytes();
  std::multiset<std::int32_t> keys;
  for (std::size_t n = 1; n * 4096 < d.size(); ++n) {
    std::vector<std::uint8_t> raw(d.begin() + static_cast<std::ptrdiff_t>(n * 4096),
                                  d.begin() + static_cast<std::ptrdiff_t>((n + 1) * 4096));
    if (nxseGetI32(raw.data() + usable) != engine()->GetRecoverID()) continue;
    PnxRecordBuffer data = nullptr;
    engine()->RecoverIterate(raw.data(), static_cast<TnxBlockNumber>(n), &data,
                             [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
                               EXPECT_EQ(aRefNr, 0);
                               keys.insert(key(aRecord));
                               return rirContinue;
                             },
                             nullptr);
    // A block asked for under another number yields nothing.
    EXPECT_EQ(engine()->RecoverIterate(raw.data(), static_cast<TnxBlockNumber>(n + 1), &data,
                                       [&](void*, TnxRefNr, PnxRecordBuffer) {
                                         ADD_FAILURE() << "record from a misplaced block";
                                         return rirStop;
                                       },
                                       nullptr),
              rirContinue);
  }
  EXPECT_EQ(keys, (std::multiset<std::int32_t>{0, 1, 2, 33}));
}

TEST_F(VariableRecordTest, DamagedSegmentsAndChainsGiveClearErrors) {
  TnxOwned<TestTransaction> setup(newTransaction());
  std::vector<TnxRefNr> refs;
  for (int i = 0; i < 4; ++i) refs.push_back(add(setup.get(), i, std::string(900, 'd')));
  update(setup.get(), refs[1], 11, std::string(1900, 'e'));  // a forward reference
  setup->Commit();
  const TnxHeapRef home1 = static_cast<TnxHeapRef>(refs[1]), home2 = static_cast<TnxHeapRef>(refs[2]);
  struct Case {
    const char* what;
    TnxHeapRef ref;
    std::function<void(std::uint8_t*, std::uint16_t)> change;
    TnxRefNr read;
  };
  const Case cases[] = {
      {"reference to itself", home1, [&](std::uint8_t* p, std::uint16_t) { nxsePutU64(p + 1, home1); }, refs[1]},
      {"reference of 10 bytes", home2, [](std::uint8_t* p, std::uint16_t) { p[0] = 4; }, refs[2]},
      {"zero reference", home1, [](std::uint8_t* p, std::uint16_t) { nxsePutU64(p + 1, 0); }, refs[1]},
      {"unknown flags", home2, [](std::uint8_t* p, std::uint16_t) { p[0] |= 0x40; }, refs[2]},
      {"raw record too short", home2, [](std::uint8_t* p, std::uint16_t) { p[0] = 2; }, refs[2]},
      {"padding count of 0", home2, [](std::uint8_t* p, std::uint16_t n) {
         p[0] = 8;
         p[n - 1] = 0;
       }, refs[2]},
      {"body without its moved flag", 0, nullptr, refs[1]},
  };
  for (const Case& c : cases) {
    TnxOwned<TestTransaction> trans(newTransaction());
    if (c.change) {
      patch(trans.get(), c.ref, c.change);
    } else {
      const TnxHeapRef body = nxseGetU64(segment(trans.get(), home1).data() + 1);
      patch(trans.get(), body, [](std::uint8_t* p, std::uint16_t) { p[0] &= ~1; });
    }
    expectFails(8962, [&] { read(trans.get(), c.read); }, c.what);
    expectFails(8962, [&] { scan(trans.get()); }, c.what);
    trans->Rollback();
    engine()->Rollback(trans.get());
  }
  // A reference to a second reference: one level only.
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    patch(trans.get(), home2, [&](std::uint8_t* p, std::uint16_t) { nxsePutU64(p + 1, home1); });
    patch(trans.get(), home2, [](std::uint8_t* p, std::uint16_t) { p[0] = 4; });
    expectFails(8962, [&] { read(trans.get(), refs[2]); }, "chain of references");
    trans->Rollback();
    engine()->Rollback(trans.get());
  }
  // A data block chain that loops, and one that leaves the file.
  const TnxBlockNumber first = nxHeapRefBlock(home1);
  for (TnxBlockNumber link : {first, TnxBlockNumber{100000}}) {
    TnxOwned<TestTransaction> trans(newTransaction());
    {
      PnxBlock block = nullptr;
      TnxPinnedBlock blockPin([&](TnxReleaseMethod& r) {
        return engine()->reHeapEngine->ReadBlockHeap(trans.get(), first, true, r);
      });
      block = blockPin.Block();
      nxsePutU32(block + 16, link);
      blockPin.Release();
    }
    expectFails(8962, [&] { scan(trans.get()); }, "data chain");
    std::uint32_t recNo = 0;
    expectFails(8962, [&] { engine()->RecNoGet(trans.get(), 99, nullptr, recNo, false); }, "data chain");
    trans->Rollback();
    engine()->Rollback(trans.get());
  }
  // The table is intact afterwards.
  TnxOwned<TestTransaction> trans(newTransaction());
  EXPECT_EQ(scan(trans.get()).size(), 4u);
  trans->Rollback();
}

TEST_F(VariableRecordTest, FileCheckerSeesDamagedRecordChains) {
  TnxOwned<TestTransaction> trans(newTransaction());
  std::vector<TnxRefNr> refs;
  for (int i = 0; i < 4; ++i) refs.push_back(add(trans.get(), i, std::string(900, 'c')));
  update(trans.get(), refs[0], 10, std::string(1900, 'g'));  // a forward reference
  trans->Commit();
  ASSERT_EQ(checkFile(), "");
  const std::vector<std::uint8_t> good = disk();
  const std::uint32_t usable = engine()->breDataFile->fiBlockSizeBytes();
  // Offset of a segment's payload inside the file.
  auto payloadAt = [&](TnxHeapRef aRef) {
    const std::size_t block = std::size_t{nxHeapRefBlock(aRef)} * 4096;
    const std::uint16_t entry = nxseGetU16(good.data() + block + usable - 6 - 2 * (aRef & 0xFFFF));
    return block + entry + 2;
  };
  const std::size_t reference = payloadAt(static_cast<TnxHeapRef>(refs[0]));
  const TnxHeapRef body = nxseGetU64(good.data() + reference + 1);
  struct Case {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> change;
    const char* report;
  };
  const Case cases[] = {
      {"back link", [&](std::vector<std::uint8_t>& d) { nxsePutU32(d.data() + nxHeapRefBlock(body) * 4096 + 20, 0); },
       "links back"},
      {"reference to a record", [&](std::vector<std::uint8_t>& d) {
         nxsePutU64(d.data() + reference + 1, static_cast<TnxHeapRef>(refs[1]));
       }, "not a moved record"},
      {"moved record without reference", [&](std::vector<std::uint8_t>& d) { d[reference] = 2; },
       "named by no reference"},
      {"chain loop", [&](std::vector<std::uint8_t>& d) {
         nxsePutU32(d.data() + nxHeapRefBlock(body) * 4096 + 16, nxHeapRefBlock(static_cast<TnxHeapRef>(refs[0])));
       }, "reached as record data"},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> d = good;
    c.change(d);
    putDisk(d);
    const std::string report = checkFile();
    EXPECT_NE(report.find(c.report), std::string::npos) << c.what << ": " << report;
    putDisk(good);
  }
}

}  // namespace
