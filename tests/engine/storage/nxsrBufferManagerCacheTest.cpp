// The cache budget: the trim drops the oldest clean images, leaves pinned
// ones, parks transaction copies in the temporary storage when there is
// one, and backs off for 1000 ms after a pass that freed nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

#include "nxExpectCode.h"
#include "nxseJournalEngine.h"
#include "nxseTemporaryStorageChunked.h"
#include "nxsrTestSupport.h"

namespace {

using namespace nxtest;

std::uint64_t gFakeNow = 1000000;
std::uint64_t fakeTicks() { return gFakeNow; }

class CacheTest : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    previousTicks_ = nxSetTickSource(&fakeTicks);
  }
  void TearDown() override {
    StorageTest::TearDown();
    nxSetTickSource(previousTicks_);
  }
  std::int64_t budget() { return manager_->MappedBudget(); }

  TnxTickSource previousTicks_ = nullptr;
};

TEST_F(CacheTest, TheBudgetFromMaxRAM) {
  manager_->SetMaxRAM(10);
  EXPECT_EQ(manager_->MaxRAM(), 10);
  EXPECT_EQ(manager_->MaxPages(), 1280);
  manager_->SetMaxRAM(4000);
  EXPECT_LE(manager_->MaxRAM(), 1536);
  EXPECT_GT(manager_->MaxRAM(), 0);
  EXPECT_GE(manager_->AvailableRAM(), 0);
  manager_->SetMaxRAM(10);
}

TEST_F(CacheTest, LoadingBeyondTheBudgetDropsTheOldestCleanBlocks) {
  TnxBaseFile* file = tableOf(2600);
  ASSERT_EQ(budget(), 2560);
  for (TnxBlockNumber n = 1; n <= 2561; ++n) EXPECT_EQ(committedByte(file, n), static_cast<std::uint8_t>(0x40 + n));
  EXPECT_LE(manager_->MappedPages(), budget());
  TnxPadlockGuard guard(manager_->Padlock());
  EXPECT_EQ(manager_->bmFindBlockNoWait(file, 1), nullptr);      // the oldest went
  EXPECT_NE(manager_->bmFindBlockNoWait(file, 2561), nullptr);   // the newest stays
  EXPECT_NE(manager_->bmFindBlockNoWait(file, 0), nullptr);      // block 0 keeps its object
}

TEST_F(CacheTest, PinnedBlocksStayAndAFailedPassBacksOff) {
  TnxBaseFile* file = tableOf(2600);
  std::vector<TnxPinnedBlock> pins;
  for (TnxBlockNumber n = 1; n <= 2561; ++n)
    pins.emplace_back([&](TnxReleaseMethod& r) { return manager_->GetBlock(file, nullptr, n, false, r); });
  // Every block is pinned: nothing went, and every image is intact.
  EXPECT_GT(manager_->MappedPages(), budget());
  for (std::size_t i = 0; i < pins.size(); ++i) EXPECT_EQ(pins[i].Block()[16], static_cast<std::uint8_t>(0x41 + i));
  pins.clear();
  // Within 1000 ms of the failed pass an unforced pass returns at once.
  gFakeNow += 500;
  (void)committedByte(file, 2562);
  EXPECT_GT(manager_->MappedPages(), budget());
  gFakeNow += 501;
  (void)committedByte(file, 2563);
  EXPECT_LE(manager_->MappedPages(), budget());
}

TEST_F(CacheTest, EveryLoadMovesBudgetTowardsTheRecencyListAndTheSumStays) {
  TnxBaseFile* file = tableOf(100);
  const std::int32_t recency = manager_->MaxPages(false), frequency = manager_->MaxPages(true);
  const std::int64_t hits = manager_->bmBlockCacheHit[cbsMapped][0][0];
  const std::int64_t misses = manager_->bmBlockCacheHit[cbsStored][0][0];
  (void)committedByte(file, 5);  // a load
  EXPECT_EQ(manager_->MaxPages(false), recency + frequency / 500);
  EXPECT_EQ(manager_->MaxPages(true), frequency - frequency / 500);
  EXPECT_EQ(manager_->MappedBudget(), 2560);
  (void)committedByte(file, 6);
  (void)committedByte(file, 5);  // a hit: no budget moves
  EXPECT_EQ(manager_->MaxPages(true), frequency - frequency / 500 - (frequency - frequency / 500) / 500);
  EXPECT_EQ(manager_->bmBlockCacheHit[cbsStored][0][0], misses + 2);
  EXPECT_EQ(manager_->bmBlockCacheHit[cbsMapped][0][0], hits + 1);
  // Every mapped image sits in a resident list.
  EXPECT_EQ(manager_->ResidentPages(cbsMapped), manager_->MappedPages());
}

TEST_F(CacheTest, ADroppedImageThatHadHitsIsTrackedUntilItComesBack) {
  TnxBaseFile* file = tableOf(2700);
  (void)committedByte(file, 1);
  (void)committedByte(file, 0);  // a hit on block 0, whose object outlives its image
  EXPECT_EQ(manager_->ListPages(cbsMapped, false, false), 0);
  for (TnxBlockNumber n = 2; n <= 2600; ++n) (void)committedByte(file, n);
  // Block 0 was the oldest: its image went, the object is a ghost of the
  // mapped recency list; the other dropped blocks went with their objects.
  EXPECT_EQ(manager_->ListPages(cbsMapped, false, false), 1);
  EXPECT_EQ(manager_->ResidentPages(cbsMapped), manager_->MappedPages());
  EXPECT_LE(manager_->MappedPages(), budget());
  (void)committedByte(file, 0);  // back: no longer tracked
  EXPECT_EQ(manager_->ListPages(cbsMapped, false, false), 0);
}

TEST_F(CacheTest, TransactionCopiesStayWithoutTemporaryStorage) {
  TnxBaseFile* file = tableOf(2600);
  TnxOwned<TestTransaction> trans(newTransaction());
  for (TnxBlockNumber n = 1; n <= 1400; ++n) setByte(file, trans.get(), n, static_cast<std::uint8_t>(n * 3));
  // 1400 copies and their committed images exceed the budget; the copies stay.
  for (TnxBlockNumber n = 1; n <= 1400; n += 97) EXPECT_EQ(seenByte(file, trans.get(), n), static_cast<std::uint8_t>(n * 3));
  trans->Commit();
  for (TnxBlockNumber n = 1; n <= 1400; n += 97) EXPECT_EQ(diskByte("/db/t.nx1", n), static_cast<std::uint8_t>(n * 3));
  EXPECT_LE(manager_->MappedPages(), budget());
}

TEST_F(CacheTest, ScratchBlocks) {
  const TnxScratchBlockHandle h = manager_->CreateScratchBlock(nxbs8k);
  auto* p = static_cast<std::uint8_t*>(manager_->LockScratchBlock(h));
  p[100] = 7;
  void* again = manager_->LockScratchBlock(h);
  EXPECT_EQ(again, p);
  manager_->UnlockScratchBlock(h, p);
  EXPECT_THROW(manager_->FreeScratchBlock(h), platform::AssertionFailed);  // still locked once
  manager_->UnlockScratchBlock(h, p);
  EXPECT_THROW(manager_->UnlockScratchBlock(h, p), platform::AssertionFailed);
  EXPECT_EQ(static_cast<std::uint8_t*>(manager_->LockScratchBlock(h))[100], 7);
  manager_->UnlockScratchBlock(h, manager_->LockScratchBlock(h) == nullptr ? nullptr : p);
  manager_->UnlockScratchBlock(h, p);
  manager_->FreeScratchBlock(h);
  EXPECT_THROW(manager_->LockScratchBlock(h), platform::AssertionFailed);  // a stale handle
  const TnxScratchBlockHandle other = manager_->CreateScratchBlock(nxbs4k);
  EXPECT_NE(other, h);  // a new generation even in the same slot
  manager_->FreeScratchBlock(other);
}

TEST_F(CacheTest, StatisticsRows) {
  platform::TStringList captions, values, statics;
  manager_->GetStatsCaptions(captions);
  manager_->GetStatsValues(values);
  TnxBufferManager::GetStatsValuesStatic(statics);
  ASSERT_EQ(captions.count(), values.count());
  ASSERT_EQ(captions.count(), statics.count());
  EXPECT_EQ(captions.strings(0), u"AWE Edition");
  EXPECT_EQ(values.strings(0), u"No");
  EXPECT_EQ(captions.strings(1), u"Block Cache Available");
  EXPECT_EQ(values.strings(1), u"10,240 kbyte");
  EXPECT_EQ(captions.strings(6), u"Transactions Commited");
}

// The chunked temporary storage on the test's file system: a failed write
// of its file is an error of the call that needed the room, and every image
// is still there for the commit.
class ParkingFaultTest : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    nxseTemporaryStorageChunkedInitialize();
    manager_->SetTempStoreSize(64);
  }
  void TearDown() override {
    StorageTest::TearDown();
    nxseTemporaryStorageChunkedFinalize();
  }
};

TEST_F(ParkingFaultTest, AFailedParkingWriteIsAnErrorAndLosesNothing) {
  using Op = platform::FaultFileSystem::Op;
  constexpr TnxBlockNumber kBlocks = 3000;  // beyond the budget of 2560 pages
  TnxBaseFile* file = tableOf(kBlocks);
  ASSERT_TRUE(manager_->TempStore()->is<TnxChunkedTempStorage>());
  fs_.clearRecords();
  fs_.failNext(Op::write, 1, ENOSPC);  // table files are written only at the commit
  TnxOwned<TestTransaction> trans(newTransaction());
  std::vector<TnxBlockNumber> failed;
  for (TnxBlockNumber n = 1; n < kBlocks; ++n) {
    try {
      setByte(file, trans.get(), n, 0x11);
    } catch (const EnxBaseException& e) {
      EXPECT_NE(e.Message().find(u"Temporary Storage Manager"), nxString::npos) << platform::toUtf8(e.Message());
      failed.push_back(n);
    }
  }
  ASSERT_EQ(failed.size(), 1u);
  {
    TnxPadlockGuard guard(manager_->Padlock());
    const TnxReadOnlyBlock* block = manager_->bmFindBlockNoWait(file, failed[0]);
    EXPECT_TRUE(!block || block->robRefCount == 0) << "the failed call left its block pinned";
  }
  ASSERT_FALSE(fs_.writes().empty());
  EXPECT_EQ(fs_.writes().front().path, "/db/");  // the storage's unnamed file
  EXPECT_GT(manager_->TempStore()->InUse(), 0);
  trans->Commit();
  EXPECT_EQ(manager_->TempStore()->InUse(), 0);
  std::vector<std::uint8_t> disk;
  ASSERT_TRUE(fs_.contents("/db/t.nx1", disk));
  ASSERT_EQ(disk.size(), std::size_t{kBlocks} * kBlock);
  std::uint32_t wrong = 0;
  for (TnxBlockNumber n = 1; n < kBlocks; ++n) {
    const std::uint8_t expected = n == failed[0] ? static_cast<std::uint8_t>(0x40 + n) : 0x11;
    if (disk[std::size_t{n} * kBlock + 16] != expected) ++wrong;
  }
  EXPECT_EQ(wrong, 0u);
}

TEST_F(ParkingFaultTest, ACommitReadsEachParkedCopyBackOnceAndParksNothingAgain) {
  constexpr TnxBlockNumber kBlocks = 4000;  // beyond the budget of 2560 pages
  TnxBaseFile* file = tableOf(kBlocks);
  TnxOwned<TestTransaction> trans(newTransaction());
  fs_.clearRecords();
  for (TnxBlockNumber n = 1; n < kBlocks; ++n) setByte(file, trans.get(), n, 0x22);
  const auto parkingWrites = [this] {
    std::uint64_t count = 0;
    for (const auto& w : fs_.writes())
      if (w.path == "/db/") ++count;
    return count;
  };
  const std::uint64_t parked = parkingWrites();
  ASSERT_GT(parked, 1000u);
  fs_.clearRecords();
  const std::uint64_t readsBefore = fs_.readCount();
  trans->Commit();
  EXPECT_EQ(parkingWrites(), 0u) << "copies parked again during the commit";
  // Besides the parked copies only block 0 is read, for the commit's stamp.
  EXPECT_LE(fs_.readCount() - readsBefore, parked + 1) << "parked copies read back more than once";
  std::vector<std::uint8_t> disk;
  ASSERT_TRUE(fs_.contents("/db/t.nx1", disk));
  std::uint32_t wrong = 0;
  for (TnxBlockNumber n = 1; n < kBlocks; ++n)
    if (disk[std::size_t{n} * kBlock + 16] != 0x22) ++wrong;
  EXPECT_EQ(wrong, 0u);
}

TEST_F(ParkingFaultTest, AParkedCopyIsStillCheckedByTheCommit) {
  // A copy whose block number is damaged must be refused however it went
  // through the parking: damaged in memory, damaged then parked, or parked
  // sound and damaged after it came back.
  constexpr TnxBlockNumber kBlocks = 3200;  // beyond the budget of 2560 pages
  constexpr TnxBlockNumber kDamaged = 7;
  enum class Order { damagedInMemory, damagedThenParked, parkedThenDamaged };
  for (Order order : {Order::damagedInMemory, Order::damagedThenParked, Order::parkedThenDamaged}) {
    SCOPED_TRACE(static_cast<int>(order));
    TnxBaseFile* file = tableOf(kBlocks, "/db/t" + std::to_string(static_cast<int>(order)) + ".nx1");
    TnxOwned<TestTransaction> trans(newTransaction());
    const auto damage = [&] {
      TnxPinnedBlock imagePin(
          [&](TnxReleaseMethod& r) { return manager_->GetBlock(file, trans.get(), kDamaged, true, r); });
      nxBlockHeader(imagePin.Block())->bchThisBlock = kDamaged + 1;
    };
    const auto touchAllOthers = [&] {
      for (TnxBlockNumber n = 1; n < kBlocks; ++n)
        if (n != kDamaged) setByte(file, trans.get(), n, 0x33);
    };
    if (order == Order::parkedThenDamaged) {
      setByte(file, trans.get(), kDamaged, 0x33);
      touchAllOthers();
    }
    if (order != Order::damagedInMemory) {
      damage();
      touchAllOthers();
    } else {
      touchAllOthers();
      damage();
    }
    {
      TnxPadlockGuard guard(manager_->Padlock());
      const TnxReadOnlyBlock* block = manager_->bmFindBlockNoWait(file, kDamaged);
      ASSERT_TRUE(block && block->robBlockListTail && block->robBlockListTail->boCacheBlock);
      EXPECT_EQ(block->robBlockListTail->boCacheBlock->cbState == cbsStored, order != Order::damagedInMemory);
    }
    nxtest::expectCode([&] { trans->Commit(); }, nxErrCorruptFile);
    trans->Rollback();
    EXPECT_TRUE(trans->Done());
    EXPECT_EQ(diskByte("/db/t" + std::to_string(static_cast<int>(order)) + ".nx1", 1), 0x41);
  }
}

// A transaction far larger than the cache, on the real file system with the
// chunked temporary storage: its copies are parked and come back intact.
class BigTransactionTest : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    platform::setCurrentFileSystem(nullptr);
    char folder[] = "/tmp/nxbigXXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
    platform::TObject::free(manager_);
    manager_ = platform::create<TnxBufferManager>(platform::fromUtf8(folder_));
    nxseTemporaryStorageChunkedInitialize();
    manager_->SetTempStoreSize(64);
  }
  void TearDown() override {
    StorageTest::TearDown();
    nxseTemporaryStorageChunkedFinalize();
    std::remove((folder_ + "/big.nx1").c_str());
    ::rmdir(folder_.c_str());
  }
  std::string folder_;
};

TEST_F(BigTransactionTest, TwoHundredMegabytesWithMaxRAM10) {
  ASSERT_TRUE(manager_->TempStore()->is<TnxChunkedTempStorage>());
  const std::string path = folder_ + "/big.nx1";
  {
    const std::vector<std::uint8_t> image = tableImage(1);
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(image.data(), 1, image.size(), f);
    std::fclose(f);
  }
  TnxBaseFile* file = openTable(path);
  TnxBlockAccess access(file, nullptr, u"big", 0);
  constexpr std::uint32_t kBlocks = 200 * 256;  // 200 MB of 4 KB blocks
  std::int64_t peak = 0;
  TnxOwned<TestTransaction> trans(newTransaction());
  {
    TnxOwned<TnxBaseFileHeaderAccess> header(access.HeaderAccess(trans.get(), true));
    for (std::uint32_t i = 1; i <= kBlocks; ++i) {
      TnxPinnedBlock blockPin([&](TnxReleaseMethod& r) { return header->GetNewBlock(trans.get(), 0, r); });
      PnxBlock block = blockPin.Block();
      std::memcpy(block, "DATA", 4);
      writeU32(block + 16, i * 2654435761u);
      blockPin.Release();
      peak = std::max(peak, manager_->MappedPages());
    }
  }
  EXPECT_LE(peak, manager_->MappedBudget() + 16);
  EXPECT_GT(manager_->TempStore()->InUse(), 150ll << 20);
  trans->Commit();
  EXPECT_EQ(manager_->TempStore()->InUse(), 0);
  FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::vector<std::uint8_t> block(kBlock);
  std::uint32_t bad = 0;
  for (std::uint32_t i = 1; i <= kBlocks; ++i) {
    ASSERT_EQ(std::fseek(f, static_cast<long>(i) * kBlock, SEEK_SET), 0);
    ASSERT_EQ(std::fread(block.data(), 1, kBlock, f), kBlock);
    if (readU32(block.data() + 4) != i || readU32(block.data() + 16) != i * 2654435761u) ++bad;
  }
  std::fclose(f);
  EXPECT_EQ(bad, 0u);
}

TEST_F(BigTransactionTest, WithoutSettingsMemoryFollowsTheBudgetThroughCommitAndFlush) {
  // A manager made without settings parks in the registered storage; the
  // size 0 the server engine may set turns parking off.
  platform::TObject::free(manager_);
  manager_ = platform::create<TnxBufferManager>(platform::fromUtf8(folder_));
  ASSERT_TRUE(manager_->TempStore()->is<TnxChunkedTempStorage>());
  {
    TnxOwned<TnxBufferManager> configured(platform::create<TnxBufferManager>(platform::fromUtf8(folder_)));
    configured->SetTempStoreSize(0);
    EXPECT_FALSE(configured->TempStore()->is<TnxChunkedTempStorage>());
  }
  const std::string path = folder_ + "/big.nx1";
  {
    const std::vector<std::uint8_t> image = tableImage(1);
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(image.data(), 1, image.size(), f);
    std::fclose(f);
  }
  TnxBaseFile* file = openTable(path);
  TnxBlockAccess access(file, nullptr, u"big", 0);
  constexpr std::uint32_t kBlocks = 12 * 1024;  // 48 MB against a budget of 10 MB
  const std::int64_t limit = manager_->MappedBudget() + 16;
  std::int64_t peak = 0;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "new blocks" : "every block changed");
    TnxOwned<TestTransaction> trans(newTransaction());
    {
      TnxOwned<TnxBaseFileHeaderAccess> header(access.HeaderAccess(trans.get(), true));
      for (std::uint32_t i = 1; i <= kBlocks; ++i) {
        TnxReleaseMethod release;
        PnxBlock block = round == 0 ? header->GetNewBlock(trans.get(), 0, release)
                                    : manager_->GetBlock(file, trans.get(), i, true, release);
        std::memcpy(block, "DATA", 4);
        writeU32(block + 16, i * 2654435761u + static_cast<std::uint32_t>(round));
        nxReleaseBlock(release, block);
        peak = std::max(peak, manager_->MappedPages());
      }
    }
    EXPECT_LE(peak, limit);
    trans->SetJournal(platform::create<Tnx1xRollbackJournalEngine>(
        platform::fromUtf8(folder_ + "/" + std::to_string(trans->btLSN) + ".n$2")));
    TnxFlushList list;
    manager_->CommitTransaction(trans.get(), &list, false);
    platform::TObject::free(trans->btTransLevelsTail);
    EXPECT_LE(manager_->MappedPages(), limit) << "journaled and queued";
    list.Flush(false);
    EXPECT_LE(manager_->MappedPages(), limit) << "flushed";
  }
  FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::vector<std::uint8_t> block(kBlock);
  std::uint32_t bad = 0;
  for (std::uint32_t i = 1; i <= kBlocks; ++i) {
    ASSERT_EQ(std::fseek(f, static_cast<long>(i) * kBlock, SEEK_SET), 0);
    ASSERT_EQ(std::fread(block.data(), 1, kBlock, f), kBlock);
    if (readU32(block.data() + 4) != i || readU32(block.data() + 16) != i * 2654435761u + 1) ++bad;
  }
  std::fclose(f);
  EXPECT_EQ(bad, 0u);
}

}  // namespace
