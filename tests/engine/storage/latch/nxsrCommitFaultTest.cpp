// One journaled commit (two changed blocks and one that grows the file)
// with an I/O error injected into one or two of its writes, syncs,
// truncates or unlinks. Each case starts as a fresh process would (the
// fatal-error latch clear) and ends with a crash, a restart and recovery:
// a commit that reported success must be there, a failed one must not.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <string>

#include "nxExpectCode.h"
#include "nxseJournalEngine.h"
#include "nxsrTestSupport.h"

namespace {

using Op = platform::FaultFileSystem::Op;

struct Fault {
  Op op;
  int nth;  // from the commit's first operation of the kind; negative: from its last
  int err;
};

enum class Outcome { commits, failsBeforeTables, failsWithLatch };

struct Case {
  const char* name;
  std::vector<Fault> faults;
  Outcome outcome;
};

// Operations of one such commit: writes: the journal (its header with the
// complete flag and 4 records in one piece, under a writing name), table
// blocks 8, 2, 5 and 0, the cleared flag; syncs: the journal, the table, the
// cleared flag; one truncate (growth); one rename (the journal gets its
// name); one unlink; one folder sync, after the rename.
const Case kCases[] = {
    {"JournalWrite", {{Op::write, 1, EIO}}, Outcome::failsBeforeTables},
    {"JournalWriteDiskFull", {{Op::write, 1, ENOSPC}}, Outcome::failsBeforeTables},
    {"JournalSync", {{Op::sync, 1, EIO}}, Outcome::failsBeforeTables},
    {"JournalRename", {{Op::rename, 1, EIO}}, Outcome::failsBeforeTables},
    {"JournalFolderSync", {{Op::syncDirectory, 1, EIO}}, Outcome::failsBeforeTables},
    {"FileGrowthDiskFull", {{Op::truncate, 1, ENOSPC}}, Outcome::failsWithLatch},
    {"FirstTableWrite", {{Op::write, -5, EIO}}, Outcome::failsWithLatch},
    {"HeaderBlockWriteDiskFull", {{Op::write, -2, ENOSPC}}, Outcome::failsWithLatch},
    {"TableSync", {{Op::sync, -2, EIO}}, Outcome::failsWithLatch},
    {"ClearedFlagWrite", {{Op::write, -1, EIO}}, Outcome::commits},
    {"ClearedFlagSync", {{Op::sync, -1, EIO}}, Outcome::commits},
    // The cleared flag is durable: the unlink need not be.
    {"JournalUnlink", {{Op::remove, 1, EIO}}, Outcome::commits},
    // Without a durable cleared flag the unlink and a folder sync must hold.
    {"ClearedFlagSyncAndFolderSyncAfterUnlink", {{Op::sync, -1, EIO}, {Op::syncDirectory, 2, EIO}},
     Outcome::failsWithLatch},
    // The journal is not written through: a cleared flag whose sync failed
    // is not durable, so with the unlink lost the commit cannot stand.
    {"ClearedFlagSyncAndUnlink", {{Op::sync, -1, EIO}, {Op::remove, 1, EIO}}, Outcome::failsWithLatch},
    {"ClearedFlagWriteAndUnlink", {{Op::write, -1, EIO}, {Op::remove, 1, EIO}}, Outcome::failsWithLatch},
    {"ClearedFlagWriteAndFolderSync", {{Op::write, -1, ENOSPC}, {Op::syncDirectory, 2, EIO}},
     Outcome::failsWithLatch},
};

constexpr Op kKinds[] = {Op::write, Op::sync, Op::truncate, Op::rename, Op::remove, Op::syncDirectory};

class CommitFaultTest : public nxtest::StorageTest, public ::testing::WithParamInterface<Case> {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    nxFatalError = false;
    fs_.makeDirectory("/dry");
  }
  void TearDown() override {
    StorageTest::TearDown();
    nxFatalError = false;
  }

  // The commit under test on a fresh 8-block table in aFolder: blocks 2 and
  // 5 change, block 8 is added. Arms aFaults just before the commit;
  // answers the error code it raised (0: none) and, in aCounts, the
  // operations of each kind it ran.
  TnxResult commitOnce(const std::string& aFolder, const std::vector<Fault>& aFaults,
                       std::map<Op, int>* aCounts = nullptr, const std::map<Op, int>& aTotals = {}) {
    file_ = tableOf(8, aFolder + "/t.nx1");
    trans_.reset(newTransaction());
    setByte(file_, trans_.get(), 2, 0x92);
    setByte(file_, trans_.get(), 5, 0x95);
    {
      TnxBlockAccess access(file_, nullptr, u"t", 0);
      TnxOwned<TnxBaseFileHeaderAccess> header(access.HeaderAccess(trans_.get(), true));
      TnxPinnedBlock blockPin([&](TnxReleaseMethod& r) { return header->GetNewBlock(trans_.get(), 0, r); });
      PnxBlock block = blockPin.Block();
      block[16] = 0x98;
      blockPin.Release();
    }
    trans_->SetJournal(platform::create<Tnx1xRollbackJournalEngine>(platform::fromUtf8(aFolder + "/1.n$2")));
    std::map<Op, std::uint64_t> before;
    for (Op kind : kKinds) before[kind] = fs_.operationCount(kind);
    for (const Fault& f : aFaults) fs_.failNext(f.op, f.nth > 0 ? f.nth : aTotals.at(f.op) + 1 + f.nth, f.err);
    TnxResult code = 0;
    try {
      trans_->Commit();
    } catch (const EnxBaseException& e) {
      code = e.ErrorCode();
      message_ = platform::toUtf8(e.Message());
    }
    if (aCounts)
      for (Op kind : kKinds) (*aCounts)[kind] = static_cast<int>(fs_.operationCount(kind) - before[kind]);
    return code;
  }

  // Closes the table as the server does at shutdown; no queued write may
  // stop that.
  void closeTable() {
    trans_.reset();
    manager_->RemoveFile(file_);
    file_->CloseFile();
    platform::TObject::free(file_);
    files_.erase(std::find(files_.begin(), files_.end(), file_));
    file_ = nullptr;
  }

  TnxBaseFile* file_ = nullptr;
  TnxOwned<nxtest::TestTransaction> trans_;
  std::string message_;
};

TEST_P(CommitFaultTest, TheCommitReportsWhatRecoveryWillKeep) {
  const Case& c = GetParam();
  // A commit without faults counts the operations, so that a case can aim at
  // the last one of a kind.
  std::map<Op, int> totals;
  ASSERT_EQ(commitOnce("/dry", {}, &totals), 0) << message_;
  EXPECT_EQ(totals[Op::write], 6);
  EXPECT_EQ(totals[Op::sync], 3);
  EXPECT_EQ(totals[Op::truncate], 1);
  EXPECT_EQ(totals[Op::rename], 1);
  EXPECT_EQ(totals[Op::remove], 1);
  EXPECT_EQ(totals[Op::syncDirectory], 1);
  closeTable();

  const TnxResult code = commitOnce("/db", c.faults, nullptr, totals);
  fs_.clearFailures();
  if (c.outcome == Outcome::commits) {
    EXPECT_EQ(code, 0) << message_;
    EXPECT_FALSE(nxFatalError.load());
    EXPECT_EQ(committedByte(file_, 2), 0x92);
  } else {
    EXPECT_EQ(code, 9218) << message_;
    const int err = c.faults.front().err;
    EXPECT_NE(message_.find("error " + std::to_string(err)), std::string::npos) << message_;
    EXPECT_EQ(nxFatalError.load(), c.outcome == Outcome::failsWithLatch);
  }
  if (c.outcome == Outcome::failsBeforeTables) {
    // Nothing reached the table: the transaction rolls back.
    trans_->Rollback();
    EXPECT_EQ(committedByte(file_, 2), 0x42);
  }
  if (c.outcome == Outcome::failsWithLatch) {
    // Every later write is refused.
    TnxOwned<nxtest::TestTransaction> later(newTransaction());
    setByte(file_, later.get(), 3, 0x33);
    nxtest::expectCode([&] { later->Commit(); }, 15443, u"A fatal error has occurred.");
    later->Rollback();
  }
  closeTable();

  // The process dies; its successor recovers the folder and opens the table.
  fs_.crash();
  nxFatalError = false;
  Tnx1xRollbackJournalEngine::Check(u"db", u"/db");
  std::vector<std::string> names;
  fs_.listDirectory("/db", names);
  EXPECT_EQ(names, std::vector<std::string>{"t.nx1"}) << "a journal stayed";
  TnxBaseFile* file = openTable("/db/t.nx1");
  const bool committed = c.outcome == Outcome::commits;
  EXPECT_EQ(file->UsedBlocks(), committed ? 9u : 8u);
  EXPECT_EQ(committedByte(file, 2), committed ? 0x92 : 0x42);
  EXPECT_EQ(committedByte(file, 5), committed ? 0x95 : 0x45);
  EXPECT_EQ(committedByte(file, 4), 0x44);
  if (committed) {
    EXPECT_EQ(committedByte(file, 8), 0x98);
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, CommitFaultTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& aInfo) { return std::string(aInfo.param.name); });

}  // namespace
