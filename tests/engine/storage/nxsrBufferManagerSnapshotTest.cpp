// Snapshot transactions: IDs in the flag bytes, readers that keep the images
// and used-block counts of the files they looked at while others commit,
// shared block snapshots, and the cross-file rule at commit.
#include <gtest/gtest.h>

#include "nxsrTestSupport.h"

namespace nxtest {

// A snapshot reader: it never changes blocks; freeing it ends it.
class SnapshotReader : public TnxBaseTransaction {
  PL_CLASS_INFO_DECL()
 public:
  explicit SnapshotReader(TnxBufferManager* aManager) : TnxBaseTransaction(aManager, nullptr, true, false) {}
  TnxResult Commit() override { return 0; }
  TnxResult Rollback() override { return 0; }
};
PL_CLASS_INFO_IMPL(SnapshotReader, TnxBaseTransaction, "SnapshotReader", nullptr)

namespace {

class SnapshotTest : public StorageTest {
 protected:
  TnxOwned<SnapshotReader> newReader() { return TnxOwned<SnapshotReader>(platform::create<SnapshotReader>(manager_)); }
  void commitBytes(TnxBaseFile* aFile, std::initializer_list<std::pair<TnxBlockNumber, std::uint8_t>> aChanges,
                   TnxBaseFile* aOther = nullptr) {
    TnxOwned<TestTransaction> trans(newTransaction());
    for (const auto& [block, value] : aChanges) setByte(aFile, trans.get(), block, value);
    if (aOther)
      for (const auto& [block, value] : aChanges) setByte(aOther, trans.get(), block, value);
    trans->Commit();
  }
  std::size_t flagBytes() {
    TnxPadlockGuard guard(manager_->Padlock());
    return manager_->bmSnapShotFlags.size();
  }
};

TEST_F(SnapshotTest, IdsFillOneFlagByteThenASecondThatGoesWithTheNinth) {
  std::vector<TnxOwned<SnapshotReader>> readers;
  for (std::int32_t i = 0; i < 8; ++i) {
    readers.push_back(newReader());
    EXPECT_EQ(readers.back()->btSnapshotID, i);
    EXPECT_TRUE(readers.back()->State().contains(tsSnapshot));
  }
  EXPECT_EQ(flagBytes(), 1u);
  TnxOwned<SnapshotReader> ninth = newReader();
  EXPECT_EQ(ninth->btSnapshotID, 8);
  EXPECT_EQ(flagBytes(), 2u);
  ninth.reset();
  EXPECT_EQ(flagBytes(), 1u);
  // A freed ID is reused, lowest first.
  readers[3].reset();
  readers[5].reset();
  EXPECT_EQ(newReader()->btSnapshotID, 3);
  EXPECT_EQ(manager_->bmActiveSnapShotCount, 6);
  readers.clear();
  EXPECT_EQ(flagBytes(), 0u);
  EXPECT_EQ(manager_->bmActiveSnapShotCount, 0);
}

TEST_F(SnapshotTest, AReaderKeepsTheImagesAndSizeOfAFileItLookedAt) {
  TnxBaseFile* file = tableOf(10);
  TnxBlockAccess access(file, nullptr, u"t", 0);
  TnxOwned<SnapshotReader> early = newReader();
  EXPECT_EQ(seenByte(file, early.get(), 1), 0x41);  // its first look at the file
  TnxBlockNumber added = 0;
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    setByte(file, trans.get(), 1, 0xA1);
    setByte(file, trans.get(), 2, 0xA2);
    TnxOwned<TnxBaseFileHeaderAccess> header(access.HeaderAccess(trans.get(), true));
    TnxPinnedBlock blockPin([&](TnxReleaseMethod& r) { return header->GetNewBlock(trans.get(), 0, r); });
    PnxBlock block = blockPin.Block();
    added = nxBlockHeader(block)->bchThisBlock;
    blockPin.Release();
    header.reset();
    trans->Commit();
  }
  EXPECT_EQ(seenByte(file, early.get(), 1), 0x41);
  EXPECT_EQ(seenByte(file, early.get(), 2), 0x42);  // not read before, changed after the look
  EXPECT_EQ(seenByte(file, early.get(), 3), 0x43);
  EXPECT_FALSE(access.ValidBlock(added, early.get()));
  EXPECT_TRUE(access.ValidBlock(added, static_cast<TnxBaseTransaction*>(nullptr)));
  // A reader that first looks after the commit sees it.
  TnxOwned<SnapshotReader> late = newReader();
  EXPECT_EQ(seenByte(file, late.get(), 1), 0xA1);
  EXPECT_EQ(seenByte(file, late.get(), 2), 0xA2);
  EXPECT_TRUE(access.ValidBlock(added, late.get()));
  EXPECT_EQ(committedByte(file, 1), 0xA1);
}

TEST_F(SnapshotTest, TwoReadersShareOneBlockSnapshotFreedWithTheSecond) {
  TnxBaseFile* file = tableOf(10);
  TnxOwned<SnapshotReader> a = newReader(), b = newReader();
  (void)seenByte(file, a.get(), 1);
  (void)seenByte(file, b.get(), 1);
  commitBytes(file, {{4, 0x99}});
  EXPECT_EQ(seenByte(file, a.get(), 4), 0x44);
  EXPECT_EQ(seenByte(file, b.get(), 4), 0x44);
  TnxPadlockGuard guard(manager_->Padlock());
  TnxReadOnlyBlock* block = manager_->bmFindBlockNoWait(file, 4);
  ASSERT_NE(block, nullptr);
  ASSERT_NE(block->robSnapShotBlockHead, nullptr);
  EXPECT_EQ(block->robSnapShotBlockHead, block->robSnapShotBlockTail);  // one snapshot
  EXPECT_EQ(block->robSnapShotBlockHead->bssLinkRefCount, 2);           // two links
  manager_->Unlock();
  a.reset();
  manager_->Lock();
  EXPECT_EQ(block->robSnapShotBlockHead->bssLinkRefCount, 1);
  manager_->Unlock();
  b.reset();
  manager_->Lock();
  EXPECT_EQ(block->robSnapShotBlockHead, nullptr);
  EXPECT_EQ(block->robSnapShotLinkHead, nullptr);
}

TEST_F(SnapshotTest, ABlockCommittedTwiceKeepsTheFirstPredecessorForTheReader) {
  TnxBaseFile* file = tableOf(10);
  TnxOwned<SnapshotReader> reader = newReader();
  (void)seenByte(file, reader.get(), 1);
  commitBytes(file, {{5, 0x01}});
  commitBytes(file, {{5, 0x02}});
  EXPECT_EQ(seenByte(file, reader.get(), 5), 0x45);
  TnxPadlockGuard guard(manager_->Padlock());
  TnxReadOnlyBlock* block = manager_->bmFindBlockNoWait(file, 5);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block->robSnapShotBlockHead, block->robSnapShotBlockTail);  // the second commit made none
}

TEST_F(SnapshotTest, AReaderOfOneFileOfATwoFileCommitKeepsBothOld) {
  TnxBaseFile* first = tableOf(10, "/db/a.nx1");
  TnxBaseFile* second = tableOf(10, "/db/b.nx1");
  TnxOwned<SnapshotReader> reader = newReader();
  TnxOwned<SnapshotReader> other = newReader();  // looks at neither file before the commit
  EXPECT_EQ(seenByte(first, reader.get(), 1), 0x41);
  commitBytes(first, {{2, 0xB2}, {3, 0xB3}}, second);
  EXPECT_EQ(seenByte(first, reader.get(), 2), 0x42);
  EXPECT_EQ(seenByte(second, reader.get(), 2), 0x42);  // never read before the commit, still old
  EXPECT_EQ(seenByte(second, reader.get(), 3), 0x43);
  EXPECT_EQ(seenByte(second, other.get(), 2), 0xB2);
  EXPECT_EQ(seenByte(first, other.get(), 3), 0xB3);
}

// A reader without a snapshot pins the committed image of block 2 (two
// pins, released one by one); whatever the commits do to the block, the
// pinned bytes stay as they were until the last release, and everybody else
// sees the new state at once.
TEST_F(SnapshotTest, APinnedImageNeverChangesUnderItsReader) {
  struct Case {
    const char* what;
    int commits;
    bool discard;         // the last commit frees the block
    bool snapshotReader;  // a snapshot reader takes the old image and ends
  };
  const Case cases[] = {
      {"a commit", 1, false, false},
      {"two commits", 2, false, false},
      {"a commit that frees the block", 1, true, false},
      {"a commit whose snapshot reader ends", 1, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = std::string("/db/") + std::to_string(&c - cases) + ".nx1";
    TnxBaseFile* file = tableOf(4, path);
    TnxPinnedBlock firstPin([&](TnxReleaseMethod& r) { return manager_->GetBlock(file, nullptr, 2, false, r); });
    TnxPinnedBlock secondPin([&](TnxReleaseMethod& r) { return manager_->GetBlock(file, nullptr, 2, false, r); });
    PnxBlock first = firstPin.Block();
    PnxBlock second = secondPin.Block();
    ASSERT_EQ(first, second);
    TnxOwned<SnapshotReader> reader;
    if (c.snapshotReader) {
      reader = newReader();
      EXPECT_EQ(seenByte(file, reader.get(), 1), 0x41);
    }
    for (int i = 1; i <= c.commits; ++i) {
      TnxOwned<TestTransaction> trans(newTransaction());
      setByte(file, trans.get(), 2, static_cast<std::uint8_t>(0x90 + i));
      if (c.discard && i == c.commits) manager_->DiscardBlock(file, 2, trans.get());
      trans->Commit();
      EXPECT_EQ(first[16], 0x42) << "after commit " << i;
    }
    const std::uint8_t now = c.discard ? 0 : static_cast<std::uint8_t>(0x90 + c.commits);
    EXPECT_EQ(committedByte(file, 2), now);
    if (c.snapshotReader) {
      EXPECT_EQ(seenByte(file, reader.get(), 2), 0x42);
      reader.reset();  // frees the block snapshot that took the old image
    }
    EXPECT_EQ(first[16], 0x42);
    EXPECT_EQ(nxBlockHeader(first)->bchThisBlock, 2u);
    firstPin.Release();
    EXPECT_EQ(second[16], 0x42);
    secondPin.Release();
    EXPECT_EQ(committedByte(file, 2), now);
    std::vector<std::uint8_t> data;
    fs_.contents(path, data);
    // A freed block reaches the disk as freed, never with its old contents.
    if (c.discard) {
      EXPECT_EQ(std::memcmp(data.data() + 2 * kBlock, "DEAD", 4), 0);
    }
    EXPECT_EQ(diskByte(path, 2), now);
  }
}

TEST_F(SnapshotTest, RemovingAFileWithLinksFreesThem) {
  TnxBaseFile* file = tableOf(10);
  TnxOwned<SnapshotReader> reader = newReader();
  (void)seenByte(file, reader.get(), 1);
  commitBytes(file, {{1, 0x11}});
  manager_->RemoveFile(file);
  EXPECT_EQ(reader->btFileSnapShotLinksHead, nullptr);
  EXPECT_EQ(reader->btBlockSnapShotLinksHead, nullptr);
}

}  // namespace
}  // namespace nxtest
