// The fatal-error latch never clears, so this executable holds one test,
// which walks through a failed flush and what follows it.
#include <gtest/gtest.h>

#include "nxExpectCode.h"
#include "nxsrTestSupport.h"

namespace {

class FatalLatchTest : public nxtest::StorageTest {};

TEST_F(FatalLatchTest, AFailedFlushRefusesEveryLaterCommitBeforeItsJournal) {
  TnxBaseFile* file = tableOf(4);
  ASSERT_FALSE(nxFatalError.load());

  TnxOwned<nxtest::TestTransaction> first(newTransaction());
  setByte(file, first.get(), 2, 0x21);
  fs_.failNext(platform::FaultFileSystem::Op::write, 1, ENOSPC);
  nxtest::expectCode([&] { first->Commit(); }, 9218, u"error 28");
  EXPECT_TRUE(nxFatalError.load());

  std::vector<std::string> log;
  TnxOwned<nxtest::TestTransaction> second(newTransaction());
  second->SetJournal(platform::create<nxtest::RecordingJournal>(&log));
  setByte(file, second.get(), 3, 0x31);
  nxtest::expectCode([&] { second->Commit(); }, 15443,
                     u"A fatal error has occurred. Server operations are suspended until the server is restarted.");
  EXPECT_EQ(log, std::vector<std::string>{});  // no PrepareJournal
  // Nothing was committed: the transaction still rolls back.
  EXPECT_EQ(seenByte(file, second.get(), 3), 0x31);
  second->Rollback();
  EXPECT_TRUE(second->Done());
  EXPECT_EQ(log, std::vector<std::string>{"freed"});
  EXPECT_EQ(committedByte(file, 3), 0x43);

  // A flush list prepared earlier refuses too.
  TnxFlushList list;
  nxtest::expectCode([&] { list.Flush(false); }, 15443);
  first.reset();
}

}  // namespace
