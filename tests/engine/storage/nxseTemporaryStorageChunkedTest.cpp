// The chunked temporary storage on a real unnamed file in the system's
// temporary folder.
#include "nxseTemporaryStorageChunked.h"

#include <gtest/gtest.h>

#include <vector>

#include "nxExpectCode.h"
#include "nxllBaseLibrary.h"
#include "nxllOwners.h"

namespace {

class ChunkedTempStorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nxllBaseLibraryInitialize();
    storage_.reset(platform::create<TnxChunkedTempStorage>(nxString()));
  }
  void TearDown() override {
    storage_.reset();
    nxllBaseLibraryFinalize();
  }
  std::vector<std::uint8_t> block(TnxBlockSizeAll aSize, std::uint8_t aFill) {
    return std::vector<std::uint8_t>(nxBlockBytes(aSize), aFill);
  }

  TnxOwned<TnxChunkedTempStorage> storage_;
};

TEST_F(ChunkedTempStorageTest, FreshStorageIsEmpty) {
  EXPECT_EQ(storage_->Size(), 0);
  EXPECT_EQ(storage_->InUse(), 0);
  EXPECT_TRUE(storage_->HasSpaceFor(nxbs4M));
}

TEST_F(ChunkedTempStorageTest, NumbersAndChunksBySize) {
  auto a = block(nxbs4k, 1), b = block(nxbs4k, 2), c = block(nxbs8k, 3);
  EXPECT_EQ(storage_->WriteBlock(a.data(), nxbs4k), 0);
  EXPECT_EQ(storage_->WriteBlock(b.data(), nxbs4k), 1);
  EXPECT_EQ(storage_->WriteBlock(c.data(), nxbs8k), 1024);  // second chunk, slot 0
  EXPECT_EQ(storage_->Size(), 2 * TnxChunkedTempStorage::ChunkBytes);
  EXPECT_EQ(storage_->InUse(), 4096 + 4096 + 8192);
  std::vector<std::uint8_t> out(8192);
  storage_->PeekBlock(1, nxbs4k, out.data());
  EXPECT_EQ(out[4095], 2);
  storage_->ReadBlock(1024, nxbs8k, out.data());
  EXPECT_EQ(out[8191], 3);
  // Released slots come back last-freed-first.
  storage_->ReleaseBlock(0, nxbs4k);
  storage_->ReleaseBlock(1, nxbs4k);  // the chunk is empty now
  EXPECT_EQ(storage_->InUse(), 0);
  EXPECT_EQ(storage_->Size(), 0);
  EXPECT_EQ(storage_->WriteBlock(a.data(), nxbs4k), 0);
}

TEST_F(ChunkedTempStorageTest, InvalidNumbers) {
  auto a = block(nxbs4k, 1);
  const TnxBlockTmpNum n = storage_->WriteBlock(a.data(), nxbs4k);
  std::vector<std::uint8_t> out(8192);
  nxtest::expectCode([&] { storage_->ReadBlock(n, nxbs8k, out.data()); }, 15496,
                     u"Temporary Storage: Invalid block number");
  nxtest::expectCode([&] { storage_->ReadBlock(n + 1, nxbs4k, out.data()); }, 15496);
  nxtest::expectCode([&] { storage_->ReadBlock(5 << 10, nxbs4k, out.data()); }, 15496);
  nxtest::expectCode([&] { storage_->ReleaseBlock(-1, nxbs4k); }, 15496);
  storage_->ReadBlock(n, nxbs4k, out.data());
  nxtest::expectCode([&] { storage_->ReadBlock(n, nxbs4k, out.data()); }, 15496);
  nxtest::expectCode([&] { storage_->PeekBlock(n, nxbs4k, out.data()); }, 15496);
}

TEST_F(ChunkedTempStorageTest, ReleasingTheSecondChunkTruncatesToOne) {
  std::vector<std::uint8_t> a = block(nxbs4k, 0);
  std::vector<TnxBlockTmpNum> numbers;
  for (int i = 0; i < 1025; ++i) {
    a[0] = static_cast<std::uint8_t>(i);
    numbers.push_back(storage_->WriteBlock(a.data(), nxbs4k));
  }
  EXPECT_EQ(numbers[1023], 1023);
  EXPECT_EQ(numbers[1024], 1024);
  EXPECT_EQ(storage_->ChunkCount(), 2);
  storage_->ReleaseBlock(1024, nxbs4k);
  EXPECT_EQ(storage_->Size(), TnxChunkedTempStorage::ChunkBytes);
  // A slot freed in the full first chunk is the next one handed out.
  storage_->ReleaseBlock(500, nxbs4k);
  EXPECT_EQ(storage_->WriteBlock(a.data(), nxbs4k), 500);
  std::vector<std::uint8_t> out(4096);
  storage_->PeekBlock(777, nxbs4k, out.data());
  EXPECT_EQ(out[0], static_cast<std::uint8_t>(777));
}

TEST_F(ChunkedTempStorageTest, AnEmptiedInnerChunkIsReused) {
  auto a = block(nxbs4k, 1), m = block(nxbs64k, 9);
  const TnxBlockTmpNum first = storage_->WriteBlock(a.data(), nxbs4k);
  const TnxBlockTmpNum big = storage_->WriteBlock(m.data(), nxbs64k);
  EXPECT_EQ(big, 1024);
  storage_->ReleaseBlock(first, nxbs4k);  // chunk 0 empty, stays (chunk 1 in use)
  EXPECT_EQ(storage_->ChunkCount(), 2);
  EXPECT_EQ(storage_->WriteBlock(m.data(), nxbs64k), 1024 + 16);
  auto c = block(nxbs8k, 4);
  EXPECT_EQ(storage_->WriteBlock(c.data(), nxbs8k), 0);  // the empty chunk, formatted for 8 KB
}

TEST_F(ChunkedTempStorageTest, AFourMegabyteBlockTakesAWholeChunk) {
  std::vector<std::uint8_t> big(4194304, 0x5A);
  EXPECT_EQ(storage_->WriteBlock(big.data(), nxbs4M), 0);
  EXPECT_EQ(storage_->WriteBlock(big.data(), nxbs4M), 1024);
  EXPECT_EQ(storage_->ChunkCount(), 2);
  std::vector<std::uint8_t> out(4194304);
  storage_->ReadBlock(1024, nxbs4M, out.data());
  EXPECT_EQ(out, big);
  EXPECT_EQ(storage_->ChunkCount(), 1);
  storage_->ReleaseBlock(0, nxbs4M);
  EXPECT_EQ(storage_->Size(), 0);
}

TEST_F(ChunkedTempStorageTest, StatisticsAndRegistration) {
  auto a = block(nxbs8k, 1);
  std::vector<std::uint8_t> out(8192);
  storage_->ReadBlock(storage_->WriteBlock(a.data(), nxbs8k), nxbs8k, out.data());
  platform::TStringList captions, values, statics;
  storage_->GetStatsCaptions(captions);
  storage_->GetStatsValues(values);
  TnxChunkedTempStorage::GetStatsValuesStatic(statics);
  ASSERT_EQ(captions.count(), 4);
  EXPECT_EQ(captions.strings(2), u"Temporary Storage Total Written");
  EXPECT_EQ(captions.strings(3), u"Temporary Storage Total Read");
  EXPECT_EQ(values.strings(2), u"8 kbyte");
  EXPECT_EQ(values.strings(3), u"8 kbyte");
  EXPECT_EQ(statics.strings(3), u"0 kbyte");
  nxseTemporaryStorageChunkedInitialize();
  EXPECT_EQ(TnxBaseTempStorage::RegisteredClass(), &TnxChunkedTempStorage::staticClassInfo());
  nxseTemporaryStorageChunkedFinalize();
  EXPECT_EQ(TnxBaseTempStorage::RegisteredClass(), nullptr);
}

TEST_F(ChunkedTempStorageTest, AMissingFolderRaisesTheOSError) {
  try {
    TnxOwned<TnxChunkedTempStorage> s(platform::create<TnxChunkedTempStorage>(nxString(u"/no/such/folder")));
    ADD_FAILURE() << "no exception";
  } catch (const EnxBaseException& e) {
    EXPECT_NE(e.Message().find(u"Temporary Storage Manager"), nxString::npos);
  }
}

}  // namespace
