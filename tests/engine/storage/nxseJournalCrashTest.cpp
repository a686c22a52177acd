// Crash consistency of journaled commits: a commit over two static-record
// tables (one encrypted) is cut at every write and sync point; the durable
// files left at that point (and, in a variant, a random subset of the writes
// not yet synced) are recovered by the folder check and must hold either
// the state before or the state after the commit, in files the independent
// checker accepts. A crash inside the recovery, followed by another
// recovery, must end in the same state.
#include <gtest/gtest.h>

#include "nxseCrashTestSupport.h"
#include "nxseEncryptionEngineBlowfishRC4.h"

namespace {

using namespace nxtest;

using Records = std::vector<std::pair<TnxRefNr, std::uint32_t>>;

const char* const kPlain = "/db/plain.nx1";
const char* const kSecret = "/db/secret.nx1";

class JournalCrashTest : public JournalCrashKit<TableTest>, public ::testing::WithParamInterface<std::tuple<int, bool>> {
 protected:
  void SetUp() override {
    JournalCrashKit::SetUp();
    nxseEncryptionEngineBlowfishRC4Initialize();
    nxseJournalEngineInitialize();
  }
  void TearDown() override {
    JournalCrashKit::TearDown();
    nxseJournalEngineFinalize();
    nxseEncryptionEngineBlowfishRC4Finalize();
  }

  Table& make(const std::string& aPath, bool aEncrypted) { return makeCrashTable(aPath, aEncrypted, newDictionary(96)); }
  std::vector<std::uint8_t> record(Table& t, std::uint32_t aValue) {
    std::vector<std::uint8_t> r(t.records->breRecordLength + 4, 0);
    nxsePutU32(r.data(), aValue);
    nxsePutU32(r.data() + 50, ~aValue);
    return r;
  }
  Records scan(Table& t) {
    Records result;
    TnxRefNr refNr = 0;
    PnxRecordBuffer data = nullptr;
    auto it = [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
      EXPECT_EQ(nxseGetU32(aRecord + 50), ~nxseGetU32(aRecord));
      result.emplace_back(aRefNr, nxseGetU32(aRecord));
      return rirContinue;
    };
    t.records->Iterate(nullptr, refNr, &data, it, nullptr, nullptr, false, false);
    return result;
  }
  // Both tables' records after recovery of aFiles; the files pass the checker.
  std::pair<Records, Records> recoveredState(const Files& aFiles, bool aCommitKind) {
    restore(aFiles);
    recover(aCommitKind);
    expectNoJournalLeft();
    Table& plain = openCrashTable(kPlain);
    Table& secret = openCrashTable(kSecret);
    std::pair<Records, Records> state{scan(plain), scan(secret)};
    checkWithChecker(kPlain, plain.file, plain.records->breRecordLength);
    checkWithChecker(kSecret, secret.file, secret.records->breRecordLength);
    return state;
  }
  // The commit under test: deletes a whole data block's records (the
  // block is freed), updates some and adds enough to allocate new blocks.
  void change(Table& t, TnxBaseTransaction* aTrans, const Records& aBefore) {
    for (std::size_t i = 0; i < aBefore.size(); ++i) {
      const auto [refNr, value] = aBefore[i];
      if (i < 45) {
        t.records->DeleteRecord(aTrans, refNr);
      } else if (i < 60) {
        std::vector<std::uint8_t> old(t.records->breRecordLength + 4), now = record(t, value + 1000);
        t.records->UpdateRecord(aTrans, refNr, now.data(), old.data());
      }
    }
    for (std::uint32_t v = 5000; v < 5090; ++v) {
      std::vector<std::uint8_t> r = record(t, v);
      TnxRefNr refNr = 0;
      t.records->AddRecord(aTrans, refNr, r.data());
    }
  }
};

TEST_P(JournalCrashTest, EveryPointOfACommitRecoversToBeforeOrAfter) {
  const auto [kind, subset] = GetParam();
  const bool commitKind = kind == 1;
  Table& plain = make(kPlain, false);
  Table& secret = make(kSecret, true);
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    for (std::uint32_t v = 0; v < 100; ++v)
      for (Table* t : {&plain, &secret}) {
        std::vector<std::uint8_t> r = record(*t, v);
        TnxRefNr refNr = 0;
        t->records->AddRecord(trans.get(), refNr, r.data());
      }
    trans->Commit();
  }
  const std::pair<Records, Records> before{scan(plain), scan(secret)};
  makeDurable();

  CrashRecorder recorder(fs_, subset, 20261210u + static_cast<std::uint32_t>(kind));
  platform::setCurrentFileSystem(&recorder);
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    change(plain, trans.get(), before.first);
    change(secret, trans.get(), before.second);
    trans->SetJournal(newJournal(kind, trans.get()));
    trans->Commit();
  }
  recorder.capture();  // the commit returned
  platform::setCurrentFileSystem(&fs_);
  const std::pair<Records, Records> after{scan(plain), scan(secret)};
  ASSERT_NE(before, after);
  ASSERT_GT(recorder.points.size(), 20u);

  int sawBefore = 0, sawAfter = 0;
  for (std::size_t k = 0; k < recorder.points.size(); ++k) {
    SCOPED_TRACE("crash point " + std::to_string(k));
    const auto state = recoveredState(recorder.points[k], commitKind);
    const bool isBefore = state == before, isAfter = state == after;
    EXPECT_TRUE(isBefore || isAfter);
    sawBefore += isBefore;
    sawAfter += isAfter;
    if (k + 1 == recorder.points.size()) {
      EXPECT_TRUE(isAfter) << "after the commit returned";
    }
  }
  EXPECT_GT(sawBefore, 0);
  EXPECT_GT(sawAfter, 0);
}

TEST_P(JournalCrashTest, ACrashDuringRecoveryRecoversTheSame) {
  // The variant flag picks the crash point: the first or the last point
  // inside the table writes.
  const auto [kind, lastPoint] = GetParam();
  const bool commitKind = kind == 1;
  Table& plain = make(kPlain, false);
  Table& secret = make(kSecret, true);
  Records none;
  makeDurable();
  CrashRecorder commit(fs_, false, 1);
  platform::setCurrentFileSystem(&commit);
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    change(plain, trans.get(), none);
    change(secret, trans.get(), none);
    trans->SetJournal(newJournal(kind == 1 ? 1 : 2, trans.get()));
    trans->Commit();
  }
  platform::setCurrentFileSystem(&fs_);
  // A point inside the table writes: the journal is complete and a part of
  // the table blocks is on disk.
  std::size_t mid = 0;
  for (std::size_t k = 0; k < commit.points.size(); ++k) {
    const Files& f = commit.points[k];
    for (const auto& [path, data] : f) {
      if (path.size() > 4 && path.substr(path.size() - 4) == ".n$2" && data.size() >= 8 && data[4] == 0xFF &&
          f.at(kPlain) != commit.points.back().at(kPlain))
        if (lastPoint || mid == 0) mid = k;
    }
  }
  ASSERT_GT(mid, 0u);
  const Files crashed = commit.points[mid];
  restore(crashed);
  recover(commitKind);
  Files recovered;
  for (const char* p : {kPlain, kSecret}) recovered[p] = disk(p);

  restore(crashed);
  CrashRecorder recovery(fs_, false, 2);
  platform::setCurrentFileSystem(&recovery);
  recover(commitKind);
  platform::setCurrentFileSystem(&fs_);
  ASSERT_GT(recovery.points.size(), 3u);
  for (std::size_t k = 0; k < recovery.points.size(); ++k) {
    SCOPED_TRACE("recovery crash point " + std::to_string(k));
    restore(recovery.points[k]);
    recover(commitKind);
    for (const char* p : {kPlain, kSecret}) {
      // Growth of the file beyond its used blocks may differ; the used part may not.
      std::vector<std::uint8_t> now = disk(p), want = recovered.at(p);
      const std::size_t n = std::min(now.size(), want.size());
      now.resize(n);
      want.resize(n);
      EXPECT_TRUE(now == want) << p;
    }
    expectNoJournalLeft();
  }
}

std::string kindName(const ::testing::TestParamInfo<std::tuple<int, bool>>& aParam) {
  static const char* const kKinds[] = {"BeforeAndAfter", "Commit", "Rollback"};
  return std::string(kKinds[std::get<0>(aParam.param)]) + (std::get<1>(aParam.param) ? "RandomSubset" : "");
}

INSTANTIATE_TEST_SUITE_P(Kinds, JournalCrashTest, ::testing::Combine(::testing::Values(0, 1, 2), ::testing::Bool()),
                         kindName);

}  // namespace
