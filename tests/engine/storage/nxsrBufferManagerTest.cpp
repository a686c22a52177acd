#include "nxsrBufferManager.h"

#include <gtest/gtest.h>

#include "nxExpectCode.h"
#include "nxseTableTestSupport.h"
#include "nxsrTestSupport.h"

namespace {

using nxtest::StorageTest;
using nxtest::TestTransaction;

class BufferManagerTest : public StorageTest {};

TEST_F(BufferManagerTest, NextLSNRisesOnlyForward) {
  manager_->SetNextLSN(50);
  EXPECT_EQ(manager_->CurrentLSN(), 50);
  manager_->SetNextLSN(100);
  EXPECT_EQ(manager_->NextLSN(), 101);
  manager_->SetNextLSN(20);
  EXPECT_EQ(manager_->CurrentLSN(), 101);
}

TEST_F(BufferManagerTest, TheLSNNeverReachesItsLimit) {
  // 2^62 LSNs are more commits than any table sees: a value near it comes
  // from damage, and the counter must never overflow.
  const TnxLSN limit = TnxLSN{1} << 62;
  manager_->SetNextLSN(limit - 2);
  EXPECT_EQ(manager_->NextLSN(), limit - 1);
  nxtest::expectCode([&] { manager_->NextLSN(); }, 8962);
  EXPECT_EQ(manager_->CurrentLSN(), limit - 1);
  for (TnxLSN bad : {limit, TnxLSN{0x7FFFFFFFFFFFFFFF}}) nxtest::expectCode([&] { manager_->SetNextLSN(bad); }, 8962);
  EXPECT_EQ(manager_->CurrentLSN(), limit - 1);
}

TEST_F(BufferManagerTest, HeaderAsEachTransactionSeesIt) {
  TnxBaseFile* file = tableOf(4);
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxReleaseMethod release;
  TnxPinnedBlock minePin([&](TnxReleaseMethod& r) { return manager_->GetBlock(file, trans.get(), 0, true, r); });
  PnxBlock mine = minePin.Block();
  nxtest::writeU32(mine + 32, 7);
  minePin.Release();
  TnxPinnedBlock committedPin([&](TnxReleaseMethod& r) { return manager_->GetBlock(file, nullptr, 0, false, r); });
  PnxBlock committed = committedPin.Block();
  EXPECT_EQ(nxtest::readU32(committed + 32), 4u);
  committedPin.Release();
  TnxPinnedBlock seenPin([&](TnxReleaseMethod& r) { return manager_->GetBlock(file, trans.get(), 0, false, r); });
  PnxBlock seen = seenPin.Block();
  EXPECT_EQ(nxtest::readU32(seen + 32), 7u);
  EXPECT_EQ(nxBlockHeader(seen)->bchLSN, trans->btLSN);
  seenPin.Release();
  EXPECT_EQ(release.Code, nullptr);
  trans->Rollback();
  EXPECT_TRUE(trans->Done());
}

TEST_F(BufferManagerTest, ValidBlockExcludesHeaderAndUsedCount) {
  TnxBaseFile* file = tableOf(10);
  TnxBlockAccess access(file, nullptr, u"t", 0);
  EXPECT_FALSE(access.ValidBlock(0, static_cast<TnxBaseTransaction*>(nullptr)));
  EXPECT_TRUE(access.ValidBlock(9, static_cast<TnxBaseTransaction*>(nullptr)));
  EXPECT_FALSE(access.ValidBlock(10, static_cast<TnxBaseTransaction*>(nullptr)));
  TnxOwned<TestTransaction> trans(newTransaction());
  {
    TnxOwned<TnxBaseFileHeaderAccess> header(access.HeaderAccess(trans.get(), true));
    TnxPinnedBlock([&](TnxReleaseMethod& r) { return header->GetNewBlock(trans.get(), 0, r); }).Release();
    EXPECT_TRUE(access.ValidBlock(10, header.get()));
    EXPECT_FALSE(access.ValidBlock(0, header.get()));
  }
  EXPECT_FALSE(access.ValidBlock(0, trans.get()));
  EXPECT_TRUE(access.ValidBlock(10, trans.get()));
  EXPECT_FALSE(access.ValidBlock(10, static_cast<TnxBaseTransaction*>(nullptr)));
  trans->Rollback();
}

TEST_F(BufferManagerTest, DirtyBlockOfAnUncachedBlockChangesNothing) {
  TnxBaseFile* file = tableOf(4);
  TnxOwned<TestTransaction> trans(newTransaction());
  std::uint8_t marker = 0;
  PnxBlock out = &marker;
  manager_->DirtyBlock(file, 3, trans.get(), out);
  EXPECT_EQ(out, &marker);
  EXPECT_EQ(trans->BlockCount(), 0);
  EXPECT_EQ(file->Trans(), nullptr);
  trans->Rollback();
}

// The owner of a pin: one release however it moves, none after a hand-over,
// and a pin made by a call that then throws is still released.
TEST_F(BufferManagerTest, APinnedBlockOwnerReleasesOnceMovesAndHandsOver) {
  TnxBaseFile* file = tableOf(4);
  auto pin = [&](TnxReleaseMethod& r) { return manager_->GetBlock(file, nullptr, 2, false, r); };
  auto pins = [&] {
    TnxPadlockGuard guard(manager_->Padlock());
    return manager_->bmFindBlockNoWait(file, 2)->robRefCount.load();
  };
  {
    TnxPinnedBlock a(pin);
    EXPECT_EQ(pins(), 1);
    TnxPinnedBlock b(std::move(a));
    EXPECT_FALSE(a);
    ASSERT_TRUE(b);
    EXPECT_EQ(b.Block()[16], 0x42);
    EXPECT_EQ(pins(), 1);
    b = TnxPinnedBlock(pin);  // the pin it held goes
    EXPECT_EQ(pins(), 1);
    TnxReleaseMethod kept;
    PnxBlock image = b.HandOver(kept);
    EXPECT_FALSE(b);
    EXPECT_EQ(pins(), 1);
    TnxPinnedBlock(image, kept).Release();
    EXPECT_EQ(pins(), 0);
    a.Pin(pin);
    a.Release();
    a.Release();
    EXPECT_EQ(pins(), 0);
  }
  EXPECT_THROW(TnxPinnedBlock([&](TnxReleaseMethod& r) -> PnxBlock {
                 pin(r);
                 throw EnxBaseException(nxErrNotSupported);
               }),
               EnxBaseException);
  EXPECT_EQ(pins(), 0);
}

TEST_F(BufferManagerTest, VerifyIDReleasesTheBlockItRefuses) {
  TnxBaseFile* file = tableOf(4);
  TnxBlockAccess access(file, nullptr, u"t", 0);
  TnxReleaseMethod release;
  TnxPinnedBlock([&](TnxReleaseMethod& r) { return access.GetBlock(nullptr, 2, false, r, 0); }).Release();
  TnxReadOnlyBlock* two;
  {
    TnxPadlockGuard guard(manager_->Padlock());
    two = manager_->bmFindBlock(file, 2);
  }
  // Block 2 holds number 2: asking for it as block 3 of another owner.
  TnxPinnedBlock imagePin([&](TnxReleaseMethod& r) { return manager_->GetBlock(file, nullptr, 3, false, r); });
  PnxBlock image = imagePin.Block();
  nxBlockHeader(image)->bchThisBlock = 2;  // corrupt the cached image of block 3
  imagePin.Release();
  nxtest::expectCode([&] { access.GetBlock(nullptr, 3, false, release, 5); }, 8962,
                     u"Block 3 is identified as block 2 in the block header in file \"/db/t.nx1\"");
  EXPECT_FALSE(static_cast<bool>(release));
  TnxPadlockGuard guard(manager_->Padlock());
  EXPECT_EQ(manager_->bmFindBlock(file, 3)->robRefCount.load(), 0);
  EXPECT_EQ(two->robRefCount.load(), 0);
}

TEST_F(BufferManagerTest, ReleaseListUnpinsEveryBlock) {
  TnxBaseFile* file = tableOf(6);
  {
    TnxReleaseList list;
    for (TnxBlockNumber n = 1; n < 6; ++n) {
      TnxReleaseMethod release;
      PnxBlock image = manager_->GetBlock(file, nullptr, n, false, release);
      list.Add(image, release);
    }
    EXPECT_EQ(list.Count(), 5);
    list.Release();
    EXPECT_EQ(list.Count(), 0);
  }
  TnxPadlockGuard guard(manager_->Padlock());
  for (TnxBlockNumber n = 1; n < 6; ++n) EXPECT_EQ(manager_->bmFindBlock(file, n)->robRefCount.load(), 0) << n;
}

// ---- nested levels -------------------------------------------------------------------------

TEST_F(BufferManagerTest, RollingBackALevelShowsTheLevelBelowAndCommitWritesIt) {
  TnxBaseFile* file = tableOf(4);
  TnxOwned<TestTransaction> trans(newTransaction());
  setByte(file, trans.get(), 2, 0xA0);
  trans->StartNested(false);
  setByte(file, trans.get(), 2, 0xA1);
  EXPECT_EQ(seenByte(file, trans.get(), 2), 0xA1);
  trans->Rollback();
  EXPECT_EQ(seenByte(file, trans.get(), 2), 0xA0);
  EXPECT_EQ(committedByte(file, 2), 0x42);
  trans->Commit();
  EXPECT_TRUE(trans->Done());
  EXPECT_EQ(committedByte(file, 2), 0xA0);
  EXPECT_EQ(diskByte("/db/t.nx1", 2), 0xA0);
}

TEST_F(BufferManagerTest, ATransactionDroppedWithoutAnEndGivesItsCopiesBack) {
  // An exception can pass the owner of a transaction before it commits or
  // rolls back: the copies of every level go back, and removing the file
  // later touches none of them.
  TnxBaseFile* file = tableOf(4);
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    setByte(file, trans.get(), 2, 0xD0);
    trans->StartNested(false);
    setByte(file, trans.get(), 3, 0xD1);
  }
  EXPECT_EQ(committedByte(file, 2), 0x42);
  EXPECT_EQ(committedByte(file, 3), 0x43);
  TnxOwned<TestTransaction> trans(newTransaction());
  setByte(file, trans.get(), 2, 0xD2);
  trans->Commit();
  EXPECT_EQ(diskByte("/db/t.nx1", 2), 0xD2);
  EXPECT_EQ(diskByte("/db/t.nx1", 3), 0x43);
}

TEST_F(BufferManagerTest, ACopyMadeAtLevelTwoMovesDownToBeWritten) {
  TnxBaseFile* file = tableOf(4);
  TnxOwned<TestTransaction> trans(newTransaction());
  trans->StartNested(false);
  trans->StartNested(false);
  setByte(file, trans.get(), 3, 0xB2);
  EXPECT_EQ(trans->TransLevel()->BlockCount(), 1);
  trans->Commit();  // level 2
  EXPECT_EQ(trans->TransLevel()->Level(), 1);
  EXPECT_EQ(trans->TransLevel()->BlockCount(), 1);
  trans->Commit();  // level 1
  EXPECT_EQ(trans->TransLevel()->Level(), 0);
  EXPECT_EQ(trans->TransLevel()->BlockCount(), 1);
  EXPECT_EQ(diskByte("/db/t.nx1", 3), 0x43);
  trans->Commit();
  EXPECT_EQ(diskByte("/db/t.nx1", 3), 0xB2);
  EXPECT_EQ(manager_->bmTransNestedCommitCount, 2);
  EXPECT_EQ(manager_->bmTransCommitCount, 1);
}

TEST_F(BufferManagerTest, FoldingIntoAnOlderCopyKeepsOneCopyPerLevel) {
  TnxBaseFile* file = tableOf(4);
  TnxOwned<TestTransaction> trans(newTransaction());
  setByte(file, trans.get(), 1, 0xC0);
  trans->StartNested(false);
  setByte(file, trans.get(), 1, 0xC1);
  trans->Commit();
  EXPECT_EQ(trans->TransLevel()->BlockCount(), 1);
  EXPECT_EQ(seenByte(file, trans.get(), 1), 0xC1);
  trans->Rollback();
  EXPECT_EQ(committedByte(file, 1), 0x41);
  EXPECT_EQ(manager_->bmTransRollbackCount, 1);
}

TEST_F(BufferManagerTest, ABlockAddedInARolledBackLevelLeavesTheCache) {
  TnxBaseFile* file = tableOf(4);
  TnxOwned<TestTransaction> trans(newTransaction());
  const std::int32_t before = manager_->InUseCount();
  trans->StartNested(false);
  TnxBlockAccess access(file, nullptr, u"t", 0);
  {
    TnxOwned<TnxBaseFileHeaderAccess> header(access.HeaderAccess(trans.get(), true));
    TnxPinnedBlock blockPin([&](TnxReleaseMethod& r) { return header->GetNewBlock(trans.get(), 0, r); });
    PnxBlock block = blockPin.Block();
    EXPECT_EQ(block[16], 0);  // a new block starts as zero bytes
    block[16] = 0xDD;
    blockPin.Release();
  }
  EXPECT_EQ(file->TransUsedBlocks(), 5u);
  trans->Rollback();
  EXPECT_EQ(file->Trans(), nullptr);  // first changed at the level rolled back
  EXPECT_FALSE(access.ValidBlock(4, trans.get()));
  {
    TnxPadlockGuard guard(manager_->Padlock());
    EXPECT_EQ(manager_->bmFindBlock(file, 4), nullptr);
  }
  EXPECT_EQ(manager_->InUseCount(), before);
  trans->Rollback();
}

TEST_F(BufferManagerTest, PseudoLevelsCommitAndRollBackAsNothing) {
  TnxBaseFile* file = tableOf(4);
  TnxOwned<TestTransaction> trans(newTransaction());
  setByte(file, trans.get(), 2, 0xE0);
  trans->MarkNoMoreNested();
  trans->StartNested(false);
  EXPECT_TRUE(trans->Nested());
  EXPECT_EQ(trans->TransLevel()->Level(), 1);
  trans->Commit();  // the pseudo-level: no block touched
  EXPECT_EQ(trans->TransLevel()->Level(), 0);
  EXPECT_EQ(manager_->bmTransNestedCommitCount, 0);
  EXPECT_EQ(seenByte(file, trans.get(), 2), 0xE0);
  trans->StartNested(false);
  trans->Rollback();  // a pseudo-level cannot undo: the level is corrupted
  EXPECT_EQ(trans->CheckState(), 15443);
  trans->Rollback();
  EXPECT_EQ(committedByte(file, 2), 0x42);
}

TEST_F(BufferManagerTest, CheckStateTable) {
  struct Case {
    bool failed, deadlock, corrupted;
    TnxResult expected;
  };
  const Case cases[] = {{false, false, false, 0},
                        {false, true, false, 10255},
                        {false, false, true, 15443},
                        {false, true, true, 10255},
                        {true, false, false, 15443},
                        {true, true, false, 15443}};
  for (const Case& c : cases) {
    TnxOwned<TestTransaction> trans(newTransaction());
    if (c.failed) trans->Failed();
    if (c.deadlock) trans->MarkDeadlock();
    if (c.corrupted) trans->MarkCorrupted();
    EXPECT_EQ(trans->CheckState(), c.expected) << c.failed << c.deadlock << c.corrupted;
    trans->Rollback();
  }
  EXPECT_EQ(manager_->bmTransDeadlockCount, 3);
  EXPECT_EQ(manager_->bmTransCorruptedCount, 2);
}

TEST_F(BufferManagerTest, MarkingALevelMarksTheLevelsAboveOnce) {
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxBaseTransactionLevel* zero = trans->TransLevel();
  trans->StartNested(false);
  trans->StartNested(false);
  zero->MarkCorrupted();
  zero->MarkCorrupted();
  EXPECT_EQ(manager_->bmTransCorruptedCount, 1);
  EXPECT_TRUE(trans->TransLevel()->State().contains(tlsCorrupted));
  EXPECT_TRUE(trans->TransLevel()->tlPrev->State().contains(tlsCorrupted));
  trans->Rollback();
  trans->Rollback();
  trans->Rollback();
  EXPECT_TRUE(trans->Done());
}

TEST_F(BufferManagerTest, LocksOfALevel) {
  TnxOwned<TestTransaction> trans(newTransaction());
  EXPECT_FALSE(trans->IsLocked());
  trans->Lock();
  EXPECT_TRUE(trans->IsLocked());
  trans->MarkNoMoreNested();
  trans->StartNested(false);
  EXPECT_FALSE(trans->IsLocked());  // a pseudo-level is not the locked level
  trans->Commit();
  trans->Unlock();
  EXPECT_THROW(trans->Unlock(), platform::AssertionFailed);
  trans->Rollback();
}

// ---- top-level commit ------------------------------------------------------------------------

TEST_F(BufferManagerTest, CommitJournalsFirstThenWritesAndStampsTheHeader) {
  TnxBaseFile* file = tableOf(4);
  std::vector<std::string> log;
  TnxOwned<TestTransaction> trans(newTransaction());
  trans->SetJournal(platform::create<nxtest::RecordingJournal>(&log));
  setByte(file, trans.get(), 3, 0x13);
  setByte(file, trans.get(), 1, 0x11);
  const TnxLSN lsn = trans->btLSN;
  trans->Commit();
  EXPECT_EQ(log, (std::vector<std::string>{"PrepareJournal", "AddBlock 3", "AddBlock 1", "FinalizeJournal", "freed"}));
  EXPECT_EQ(writtenBlocks("/db/t.nx1"), (std::vector<std::int64_t>{3, 1, 0}));
  EXPECT_EQ(fs_.syncCount(), 1u);  // with a journal the flush is fail-safe
  std::vector<std::uint8_t> disk;
  fs_.contents("/db/t.nx1", disk);
  EXPECT_EQ(nxBlockHeader(disk.data())->bchLSN, lsn);
  EXPECT_EQ(file->BlockZero()->robLastLSN, lsn);
  EXPECT_EQ(manager_->bmBlocksWritten.load(), 3);
}

TEST_F(BufferManagerTest, BlocksAreWrittenNewFirstHeaderLastAfterGrowing) {
  TnxBaseFile* file = tableOf(10);
  TnxOwned<TestTransaction> trans(newTransaction());
  setByte(file, trans.get(), 5, 0x55);
  {
    TnxPinnedBlock headerPin([&](TnxReleaseMethod& r) { return manager_->GetBlock(file, trans.get(), 0, true, r); });
    PnxBlock header = headerPin.Block();
    nxtest::writeU32(header + 32, 13);
    headerPin.Release();
  }
  setByte(file, trans.get(), 2, 0x22);
  {
    TnxPinnedBlock blockPin([&](TnxReleaseMethod& r) { return manager_->AddBlock(file, trans.get(), 12, r); });
    PnxBlock block = blockPin.Block();
    nxBlockHeader(block)->bchThisBlock = 12;
    block[16] = 0xCC;
    blockPin.Release();
  }
  trans->Commit();
  EXPECT_EQ(writtenBlocks("/db/t.nx1"), (std::vector<std::int64_t>{12, 5, 2, 0}));
  std::vector<std::uint8_t> disk;
  fs_.contents("/db/t.nx1", disk);
  EXPECT_EQ(disk.size(), 13u * nxtest::kBlock);
  EXPECT_EQ(file->UsedBlocks(), 13u);
}

TEST_F(BufferManagerTest, GrowthFollowsTheGrowSize) {
  struct Case {
    std::uint32_t blocks, growSize, write, expected;
  };
  const Case cases[] = {{10, 1, 12, 13}, {10, 8, 12, 16}, {150, 8, 200, 220}, {10, 1, 5, 10}, {2, 1, 1, 4}};
  int i = 0;
  for (const Case& c : cases) {
    const std::string path = "/db/g" + std::to_string(i++) + ".nx1";
    fs_.putFile(path, nxtest::tableImage(c.blocks));
    TnxBaseFile* file = openTable(path);
    file->SetGrowth(file->InitialSize(), c.growSize);
    TnxPinnedBlock([&](TnxReleaseMethod& r) {
      return c.write < c.blocks ? manager_->GetBlock(file, nullptr, c.write, false, r)
                                : manager_->AddBlock(file, nullptr, c.write, r);
    }).Release();
    TnxReadOnlyBlock* object;
    {
      TnxPadlockGuard guard(manager_->Padlock());
      object = manager_->bmFindBlock(file, c.write);
    }
    file->WriteBlock(object);
    file->PrepareFlushFile();
    EXPECT_EQ(file->PhysicalBlockCount(), c.expected) << c.blocks << " " << c.growSize << " " << c.write;
    static_cast<TnxBaseWin32File*>(file)->dfiWriteRequest.clear();
    object->robUnwritten = false;
  }
}

TEST_F(BufferManagerTest, ABlockQueuedTwiceIsWrittenOnce) {
  TnxBaseFile* file = tableOf(6);
  TnxPinnedBlock([&](TnxReleaseMethod& r) { return manager_->GetBlock(file, nullptr, 4, false, r); }).Release();
  TnxReadOnlyBlock* object;
  {
    TnxPadlockGuard guard(manager_->Padlock());
    object = manager_->bmFindBlock(file, 4);
  }
  file->WriteBlock(object);
  file->WriteBlock(object);
  file->PrepareFlushFile();
  file->FlushFile(false, nullptr);
  EXPECT_EQ(writtenBlocks("/db/t.nx1"), std::vector<std::int64_t>{4});
  EXPECT_FALSE(object->robUnwritten);
}

TEST_F(BufferManagerTest, AWriteThroughCommitWritesWhileThePinnedBlockStaysOwned) {
  TnxBaseFile* file = tableOf(4);
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxPinnedBlock minePin([&](TnxReleaseMethod& r) { return manager_->GetBlock(file, trans.get(), 2, true, r); });
  PnxBlock mine = minePin.Block();
  mine[16] = 0x2A;
  setByte(file, trans.get(), 3, 0x3A);
  manager_->CommitTransaction(trans.get(), nullptr, true);
  EXPECT_EQ(diskByte("/db/t.nx1", 2), 0x2A);
  EXPECT_EQ(diskByte("/db/t.nx1", 3), 0x3A);
  TnxReadOnlyBlock *two, *three;
  {
    TnxPadlockGuard guard(manager_->Padlock());
    two = manager_->bmFindBlock(file, 2);
    three = manager_->bmFindBlock(file, 3);
  }
  EXPECT_TRUE(two->IsDirty());  // pinned: the transaction keeps its copy
  EXPECT_FALSE(three->IsDirty());
  EXPECT_EQ(file->Trans(), trans.get());  // files stay attached
  mine[16] = 0x2B;
  minePin.Release();
  trans->Commit();
  EXPECT_EQ(diskByte("/db/t.nx1", 2), 0x2B);
  EXPECT_FALSE(two->IsDirty());
}

// A discarded block is a freed block: the disk gets a freed-block image
// ("DEAD", its number, the commit's LSN, zeros), never its old contents.
TEST_F(BufferManagerTest, ADiscardedBlockReadsAsZerosAndIsWrittenAsFreed) {
  TnxBaseFile* file = tableOf(4);
  TnxOwned<TestTransaction> trans(newTransaction());
  setByte(file, trans.get(), 3, 0x66);
  manager_->DiscardBlock(file, 3, trans.get());
  EXPECT_EQ(seenByte(file, trans.get(), 3), 0);
  EXPECT_EQ(committedByte(file, 3), 0x43);
  trans->Commit();
  EXPECT_EQ(writtenBlocks("/db/t.nx1"), (std::vector<std::int64_t>{3, 0}));
  EXPECT_EQ(diskByte("/db/t.nx1", 3), 0);
  std::vector<std::uint8_t> data;
  fs_.contents("/db/t.nx1", data);
  EXPECT_EQ(std::memcmp(data.data() + 3 * nxtest::kBlock, "DEAD", 4), 0);
  EXPECT_EQ(nxtest::readU32(data.data() + 3 * nxtest::kBlock + 4), 3u);
  EXPECT_EQ(committedByte(file, 3), 0);  // no committed contents any more
}

TEST_F(BufferManagerTest, ChangePasswordNeedsTheRootAccessAndAnEngine) {
  TnxBaseFile* file = tableOf(4);
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxBlockAccess child(file, nullptr, u"t", 7);
  nxtest::expectCode<EnxBaseFileException>([&] { child.ChangePassword(trans.get(), u"x"); }, 12289,
                                            u"ChangePassword is only allowed for the root table");
  TnxBlockAccess root(file, nullptr, u"t", 0);
  nxtest::expectCode<EnxBaseFileException>(
      [&] { root.ChangePassword(trans.get(), u"x"); }, 12289,
      u"ChangePassword is only supported for tables with an encryption engine");
  trans->Rollback();
}

// Without a journal the flush does not sync; with one it does, and the
// commit survives a crash.
TEST_F(BufferManagerTest, OnlyAFailSafeFlushSurvivesACrash) {
  fs_.syncDirectory("/db");
  TnxBaseFile* file = tableOf(4);
  fs_.syncDirectory("/db");
  TnxOwned<TestTransaction> plain(newTransaction());
  setByte(file, plain.get(), 1, 0x71);
  plain->Commit();
  std::vector<std::uint8_t> durable;
  fs_.durableContents("/db/t.nx1", durable);
  EXPECT_EQ(durable[nxtest::kBlock + 16], 0x41);
  std::vector<std::string> log;
  TnxOwned<TestTransaction> safe(newTransaction());
  safe->SetJournal(platform::create<nxtest::RecordingJournal>(&log));
  setByte(file, safe.get(), 2, 0x72);
  safe->Commit();
  fs_.durableContents("/db/t.nx1", durable);
  EXPECT_EQ(durable[nxtest::kBlock + 16], 0x71);  // the sync took the earlier write along
  EXPECT_EQ(durable[2 * nxtest::kBlock + 16], 0x72);
}

// ---- loading from several threads -------------------------------------------------------------

// Passes everything to an in-memory file system; a read of the watched
// block waits until released and may fail.
class GateFileSystem final : public platform::FileSystem {
 public:
  explicit GateFileSystem(platform::FaultFileSystem& aInner) : inner_(aInner) {}
  std::int64_t watchedOffset = -1;
  platform::Event entered{platform::Event::Kind::manualReset};
  platform::Event gate{platform::Event::Kind::manualReset};
  std::atomic<int> watchedReads{0};
  std::atomic<int> failWatchedReads{0};

  int open(const std::string& p, const platform::FileOpenOptions& o, platform::FileId& f) override {
    return inner_.open(p, o, f);
  }
  int openUnnamed(const std::string& d, platform::FileId& f) override { return inner_.openUnnamed(d, f); }
  int close(platform::FileId f) override { return inner_.close(f); }
  int readAt(platform::FileId f, void* b, std::size_t n, std::int64_t off, std::size_t& done) override {
    if (off == watchedOffset) {
      ++watchedReads;
      entered.set();
      gate.wait(60000);
      if (failWatchedReads.load() > 0) {
        --failWatchedReads;
        done = 0;
        return EIO;
      }
    }
    return inner_.readAt(f, b, n, off, done);
  }
  int writeAt(platform::FileId f, const void* b, std::size_t n, std::int64_t off, std::size_t& done) override {
    return inner_.writeAt(f, b, n, off, done);
  }
  int sync(platform::FileId f) override { return inner_.sync(f); }
  int truncate(platform::FileId f, std::int64_t s) override { return inner_.truncate(f, s); }
  int punchHole(platform::FileId f, std::int64_t o, std::int64_t n) override { return inner_.punchHole(f, o, n); }
  int size(platform::FileId f, std::int64_t& s) override { return inner_.size(f, s); }
  int identity(platform::FileId f, platform::FileIdentityInfo& i) override { return inner_.identity(f, i); }
  int pathInfo(const std::string& p, platform::PathInfo& i) override { return inner_.pathInfo(p, i); }
  int remove(const std::string& p) override { return inner_.remove(p); }
  int rename(const std::string& a, const std::string& b) override { return inner_.rename(a, b); }
  int listDirectory(const std::string& p, std::vector<std::string>& n) override { return inner_.listDirectory(p, n); }
  int syncDirectory(const std::string& p) override { return inner_.syncDirectory(p); }
  int fileSystemType(const std::string& p, std::string& t) override { return inner_.fileSystemType(p, t); }
  std::string absolutePath(const std::string& p) override { return inner_.absolutePath(p); }

 private:
  platform::FaultFileSystem& inner_;
};

class LoadingTest : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    platform::setCurrentFileSystem(&gate_);
    file_ = tableOf(8);
    gate_.watchedOffset = 5 * nxtest::kBlock;
  }
  // Waits until another thread waits for block 5's load.
  void awaitWaiter() {
    for (;;) {
      {
        TnxPadlockGuard guard(manager_->Padlock());
        TnxReadOnlyBlock* block = manager_->bmFindBlockNoWait(file_, 5);
        if (block && block->robWaiting > 0) return;
      }
      platform::sleepMs(1);
    }
  }
  GateFileSystem gate_{fs_};
  TnxBaseFile* file_ = nullptr;
};

TEST_F(LoadingTest, TwoThreadsAskingForOneBlockReadItOnce) {
  PnxBlock images[2] = {};
  nxtest::runThreads(3, [&](int aIndex) {
    if (aIndex == 2) {
      gate_.entered.wait(60000);
      awaitWaiter();
      gate_.gate.set();
      return;
    }
    if (aIndex == 1) gate_.entered.wait(60000);
    TnxPinnedBlock imagePin([&](TnxReleaseMethod& r) { return manager_->GetBlock(file_, nullptr, 5, false, r); });
    PnxBlock image = imagePin.Block();
    images[aIndex] = image;
    EXPECT_EQ(image[16], 0x45);
    imagePin.Release();
  });
  EXPECT_EQ(gate_.watchedReads.load(), 1);
  EXPECT_EQ(images[0], images[1]);
  EXPECT_EQ(manager_->bmBlocksRead.load(), 2);  // block 0 and block 5
}

TEST_F(LoadingTest, AFailedReadReleasesTheWaitersAndIsReadAgain) {
  gate_.failWatchedReads = 1;
  std::atomic<int> failures{0}, successes{0};
  nxtest::runThreads(3, [&](int aIndex) {
    if (aIndex == 2) {
      gate_.entered.wait(60000);
      awaitWaiter();
      gate_.gate.set();
      return;
    }
    if (aIndex == 1) gate_.entered.wait(60000);
    try {
      TnxPinnedBlock imagePin([&](TnxReleaseMethod& r) { return manager_->GetBlock(file_, nullptr, 5, false, r); });
      PnxBlock image = imagePin.Block();
      EXPECT_EQ(image[16], 0x45);
      imagePin.Release();
      ++successes;
    } catch (const EnxBaseException& e) {
      EXPECT_EQ(e.ErrorCode(), 9217);
      ++failures;
    }
  });
  EXPECT_EQ(failures.load(), 1);
  EXPECT_EQ(successes.load(), 1);
  EXPECT_EQ(gate_.watchedReads.load(), 2);
  EXPECT_EQ(committedByte(file_, 5), 0x45);
}

// ---- a fault while preparing the flush ------------------------------------------------------

TEST_F(BufferManagerTest, AFaultInPrepareLeavesMemoryAsOnDisk) {
  TnxBaseFile* a = tableOf(10, "/db/a.nx1");
  TnxBaseFile* b = tableOf(4, "/db/b.nx1");
  TnxPinnedBlock holderPin([&](TnxReleaseMethod& r) { return manager_->GetBlock(a, nullptr, 5, false, r); });
  PnxBlock holder = holderPin.Block();
  TnxOwned<TestTransaction> trans(newTransaction());
  setByte(a, trans.get(), 5, 0x77);
  TnxBlockAccess access(a, nullptr, u"a", 0);
  {
    TnxOwned<TnxBaseFileHeaderAccess> header(access.HeaderAccess(trans.get(), true));
    TnxPinnedBlock([&](TnxReleaseMethod& r) { return header->GetNewBlock(trans.get(), 0, r); }).Release();
  }
  setByte(b, trans.get(), 3, 0x33);
  nxtest::TestHeaderFactory::failValidationOfHeaderOf = b;  // b's header is stamped only in Prepare
  TnxFlushList list;
  nxtest::expectCode([&] { manager_->CommitTransaction(trans.get(), &list, false); }, 8962);
  nxtest::TestHeaderFactory::failValidationOfHeaderOf = nullptr;
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(a->UsedBlocks(), 10u);
  EXPECT_EQ(b->UsedBlocks(), 4u);
  EXPECT_EQ(static_cast<TnxBaseWin32File*>(a)->QueuedWrites(), 0);
  EXPECT_EQ(fs_.writeCount(), 0u);
  // Every block is checked before the first is committed: the holder's
  // image never took the refused commit's bytes (and is still its own
  // memory, checked by the sanitizer build).
  EXPECT_EQ(holder[16], 0x45);
  EXPECT_EQ(committedByte(a, 5), 0x45);  // read again from disk
  EXPECT_EQ(committedByte(b, 3), 0x43);
  holderPin.Release();
  trans->Rollback();
  EXPECT_TRUE(trans->Done());
  EXPECT_EQ(committedByte(a, 5), 0x45);
}

// Table files with one damaged value, made by the table kit.
class DamagedTableTest : public nxtest::TableTest {
 protected:
  // A table of 100 static records (value v in the first 4 bytes), committed
  // and closed.
  void makeTable() {
    nxtest::Table& t = createTable(nxtest::newDictionary(96));
    TnxOwned<TestTransaction> trans(newTransaction());
    for (std::uint32_t v = 0; v < 100; ++v) add(t, trans.get(), v);
    trans->Commit();
    closeAll();
    tables_.clear();
  }
  TnxRefNr add(nxtest::Table& t, TnxBaseTransaction* aTrans, std::uint32_t aValue) {
    std::vector<std::uint8_t> r(t.records->breRecordLength + 4, 0);
    nxsePutU32(r.data(), aValue);
    TnxRefNr refNr = 0;
    t.records->AddRecord(aTrans, refNr, r.data());
    return refNr;
  }
  std::vector<std::pair<TnxRefNr, std::uint32_t>> values(nxtest::Table& t) {
    std::vector<std::pair<TnxRefNr, std::uint32_t>> result;
    TnxRefNr refNr = 0;
    PnxRecordBuffer data = nullptr;
    auto it = [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
      result.emplace_back(aRefNr, nxseGetU32(aRecord));
      return rirContinue;
    };
    t.records->Iterate(nullptr, refNr, &data, it, nullptr, nullptr, false, false);
    return result;
  }
  void reopen() {
    closeAll();
    tables_.clear();
  }
};

TEST_F(DamagedTableTest, ACommitRefusedHalfWayLeavesNothingCommittedOrQueued) {
  // Block 0 carries a foreign owner ID: reads go well, the commit that
  // writes block 0 refuses it. The blocks changed before block 0 must not
  // be committed or queued either.
  makeTable();
  std::vector<std::uint8_t> image = disk();
  nxsePutI32(image.data() + 4092, 0x12345678);
  putDisk(image);
  for (bool allocates : {true, false}) {
    SCOPED_TRACE(allocates ? "new blocks" : "changed blocks only");
    nxtest::Table& t = openExisting();
    const auto before = values(t);
    ASSERT_EQ(before.size(), 100u);
    {
      TnxOwned<TestTransaction> trans(newTransaction());
      std::vector<std::uint8_t> changed(t.records->breRecordLength + 4, 0), old(changed.size());
      nxsePutU32(changed.data(), 777);
      t.records->UpdateRecord(trans.get(), before[0].first, changed.data(), old.data());
      if (allocates)
        for (std::uint32_t v = 1000; v < 1060; ++v) add(t, trans.get(), v);
      nxtest::expectFailsWith(8962, "Expected BlockOwnerID", [&] { trans->Commit(); });
      trans->Rollback();
      EXPECT_TRUE(trans->Done());
    }
    EXPECT_EQ(values(t), before);
    reopen();  // closes the file: nothing may be queued
    EXPECT_EQ(disk(), image);
    EXPECT_EQ(values(openExisting()), before);
    reopen();
  }
}

TEST_F(DamagedTableTest, AnEngineBlockIsCheckedWhenRead) {
  // A record data block carries an owner ID above every ID the dictionary
  // handed out. The first read fails, not the next commit.
  makeTable();
  std::int32_t recordsID = 0;
  {
    nxtest::Table& t = openExisting();
    recordsID = t.dict->RecordDescriptor()->ID();
    reopen();
  }
  std::vector<std::uint8_t> image = disk();
  bool damaged = false;
  for (std::size_t at = 4096; at + 4096 <= image.size() && !damaged; at += 4096)
    if (nxseGetI32(image.data() + at + 4092) == recordsID) {
      nxsePutI32(image.data() + at + 4092, 0x12345678);
      damaged = true;
    }
  ASSERT_TRUE(damaged);
  putDisk(image);
  uncheckedFiles_.insert("/db/t.nx1");
  nxtest::expectFailsWith(8962, "but found 305419896", [&] { values(openExisting()); });
}

TEST_F(DamagedTableTest, StoredDictionaryItemIDsBeyondItsCounterAreRefusedAtOpen) {
  // Item IDs own blocks: an ID the counter never handed out, or one of the
  // owner IDs the file keeps for its own maps, is damage found at open,
  // before any block is written.
  const struct {
    const char* name;
    bool lowerCounter;       // the counter falls below the record engine's ID
    std::int32_t recordsID;  // else the record engine takes this ID (counter at the top)
  } cases[] = {
      {"counter below an item", true, 0},
      {"item on the overflow owner", false, 0x7FFFFFFE},
      {"item on the free-map owner", false, 0x7FFFFFFF},
  };
  makeTable();
  const std::vector<std::uint8_t> intact = disk();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    putDisk(intact);
    {
      nxtest::Table& t = openExisting();
      TnxOwned<TestTransaction> trans(newTransaction());
      if (c.lowerCounter) {
        t.dict->SetCurrentID(t.dict->RecordDescriptor()->ID() - 1);
      } else {
        t.dict->SetCurrentID(0x7FFFFFFF);
        t.dict->RecordDescriptor()->SetID(c.recordsID);
      }
      t.dict->WriteToFile(t.stream.get(), trans.get(), 47501);
      trans->Commit();
      reopen();
    }
    const std::vector<std::uint8_t> image = disk();
    uncheckedFiles_.insert("/db/t.nx1");
    nxtest::expectFailsWith(8962, "beyond its counter", [&] { openExisting(); });
    reopen();
    EXPECT_EQ(disk(), image);
  }
}

TEST_F(DamagedTableTest, AUsedBlockCountBeyondTheFileIsRefusedAtOpen) {
  makeTable();
  const std::vector<std::uint8_t> image = disk();
  const auto blocks = static_cast<std::uint32_t>(image.size() / 4096);
  const struct {
    std::uint32_t used;
    std::size_t extra;  // bytes after the last whole block
    TnxResult refused;  // 0: opens
  } cases[] = {
      {blocks, 0, 0},          {blocks - 1, 0, 0},        {2, 0, 0},             {blocks + 1, 100, 0},
      {blocks + 1, 0, 8962},   {blocks + 2, 100, 8962},   {1048581, 0, 8962},    {0, 0, 8961},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.used);
    std::vector<std::uint8_t> damaged = image;
    damaged.resize(image.size() + c.extra, 0);
    nxsePutU32(damaged.data() + 32, c.used);
    putDisk(damaged);
    if (c.refused == 0) {
      openTable("/db/t.nx1");
    } else {
      nxtest::expectFails(c.refused, [&] { openTable("/db/t.nx1"); });
    }
    reopen();
    EXPECT_EQ(disk(), damaged);
  }
}

TEST_F(DamagedTableTest, AStoredLSNAtTheLimitIsDamage) {
  makeTable();
  const std::vector<std::uint8_t> image = disk();
  for (TnxBlockNumber block : {0u, 2u}) {
    SCOPED_TRACE(block);
    for (std::uint64_t lsn : {std::uint64_t{1} << 62, std::uint64_t{0x7FFFFFFFFFFFFFFF}, ~std::uint64_t{0}}) {
      std::vector<std::uint8_t> damaged = image;
      std::memcpy(damaged.data() + block * 4096 + 8, &lsn, 8);
      putDisk(damaged);
      nxtest::expectFailsWith(8962, "LSN", [&] { values(openExisting()); });
      reopen();
    }
  }
  // Just below the limit is a sound LSN.
  std::vector<std::uint8_t> high = image;
  const std::uint64_t lsn = (std::uint64_t{1} << 62) - 5;
  std::memcpy(high.data() + 8, &lsn, 8);
  putDisk(high, "/db/t.nx1", true);
  EXPECT_EQ(values(openExisting()).size(), 100u);
  EXPECT_EQ(manager_->CurrentLSN(), lsn);
}

}  // namespace
