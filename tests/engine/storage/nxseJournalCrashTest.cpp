// Crash consistency of journaled commits: a commit over two static-record
// tables (one encrypted, the other with BLOBs that grow, shrink and get
// trees of their own) and a table of variable records (records that grow
// move behind forward references) is cut at every write and sync point; the durable
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
// The plain, secret and variable tables' records and the plain table's BLOBs.
using State = std::tuple<Records, Records, Records, std::vector<std::string>>;

const char* const kPlain = "/db/plain.nx1";
const char* const kSecret = "/db/secret.nx1";
const char* const kVariable = "/db/variable.nx1";

// The text of a variable record with value aValue: values from 1000 on
// (updated records) are long enough to leave their home block.
std::string textOf(std::uint32_t aValue) {
  const std::size_t length = aValue >= 1000 ? 1200 + aValue % 300 : 10 + aValue % 190;
  return std::string(length, static_cast<char>('a' + aValue % 26));
}

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

  Table& make(const std::string& aPath, bool aEncrypted, bool aVariable = false) {
    return makeCrashTable(aPath, aEncrypted,
                          aVariable    ? newVariableDictionary({{nxtInt32, 0}, {nxtNullString, 1500}})
                          : aEncrypted ? newDictionary(96)
                                       : newBlobDictionary(96));
  }
  static std::string blobBytes(std::size_t aCount, char aSeed) {
    std::string s(aCount, aSeed);
    for (std::size_t i = 0; i < aCount; i += 7) s[i] = static_cast<char>(aSeed + i);
    return s;
  }
  void writeBlob(Table& t, TnxBaseTransaction* aTrans, TnxBlobNr aNr, std::uint32_t aOffset, const std::string& aData) {
    t.blobs->Write(aTrans, aNr, aOffset, static_cast<std::uint32_t>(aData.size()), aData.data());
  }
  // The BLOBs made before the commit: tiny, 9 KB, 30 KB and empty.
  void makeBlobs(Table& t, TnxBaseTransaction* aTrans) {
    for (std::size_t size : {3, 9000, 30000, 0}) {
      TnxBlobNr nr = 0;
      t.blobs->AddBlob(aTrans, nr);
      if (size) writeBlob(t, aTrans, nr, 0, blobBytes(size, static_cast<char>('a' + blobNrs_.size())));
      blobNrs_.push_back(nr);
    }
  }
  std::vector<std::string> blobState(Table& t) {
    std::vector<std::string> result;
    for (TnxBlobNr nr : blobNrs_) {
      TnxAnsiStringStream stream;
      EXPECT_EQ(t.blobs->Read(nullptr, nr, 0, 0xFFFFFFFFu, nullptr, stream), 0u);
      result.push_back(stream.DataString());
    }
    return result;
  }
  std::vector<std::uint8_t> record(Table& t, std::uint32_t aValue) {
    std::vector<std::uint8_t> r(t.records->breRecordLength + 4, 0);
    if (t.variables()) {
      TnxFieldsDescriptor* fields = t.dict->FieldsDescriptor();
      fields->InitRecord(r.data());
      fields->SetRecordField(0, r.data(), &aValue);
      fields->SetRecordFieldNull(1, r.data(), false);
      const std::string text = textOf(aValue);
      std::memcpy(r.data() + fields->Fields(1)->fdOffset, text.c_str(), text.size() + 1);
      return r;
    }
    nxsePutU32(r.data(), aValue);
    nxsePutU32(r.data() + 50, ~aValue);
    return r;
  }
  Records scan(Table& t) {
    Records result;
    TnxRefNr refNr = 0;
    PnxRecordBuffer data = nullptr;
    const std::int32_t textOffset = t.variables() ? t.dict->FieldsDescriptor()->Fields(1)->fdOffset : 0;
    auto it = [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
      if (textOffset)
        EXPECT_EQ(reinterpret_cast<const char*>(aRecord + textOffset), textOf(nxseGetU32(aRecord)));
      else
        EXPECT_EQ(nxseGetU32(aRecord + 50), ~nxseGetU32(aRecord));
      result.emplace_back(aRefNr, nxseGetU32(aRecord));
      return rirContinue;
    };
    t.records->Iterate(nullptr, refNr, &data, it, nullptr, nullptr, false, false);
    return result;
  }
  // The tables' records after recovery of aFiles; the files pass the checker.
  State recoveredState(const Files& aFiles, bool aCommitKind) {
    restore(aFiles);
    recover(aCommitKind);
    expectNoJournalLeft();
    Table& plain = openCrashTable(kPlain);
    Table& secret = openCrashTable(kSecret);
    Table& variable = openCrashTable(kVariable);
    State state{scan(plain), scan(secret), scan(variable), blobState(plain)};
    checkWithChecker(kPlain, plain.file, plain.records->breRecordLength);
    checkWithChecker(kSecret, secret.file, secret.records->breRecordLength);
    checkWithChecker(kVariable, variable.file, variable.records->breRecordLength);
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
    // The BLOBs: the tiny one grows in its root, the 9 KB one shrinks back
    // into its root, the 30 KB one is overwritten and appended to, the
    // empty one gets a tree.
    if (t.blobs && !blobNrs_.empty()) {
      writeBlob(t, aTrans, blobNrs_[0], 3, blobBytes(30, 'x'));
      t.blobs->Truncate(aTrans, blobNrs_[1], 5);
      writeBlob(t, aTrans, blobNrs_[2], 500, blobBytes(1000, 'y'));
      writeBlob(t, aTrans, blobNrs_[2], 30000, blobBytes(12000, 'z'));
      writeBlob(t, aTrans, blobNrs_[3], 0, blobBytes(15000, 'w'));
    }
  }

  std::vector<TnxBlobNr> blobNrs_;
};

TEST_P(JournalCrashTest, EveryPointOfACommitRecoversToBeforeOrAfter) {
  const auto [kind, subset] = GetParam();
  const bool commitKind = kind == 1;
  Table& plain = make(kPlain, false);
  Table& secret = make(kSecret, true);
  Table& variable = make(kVariable, false, true);
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    for (std::uint32_t v = 0; v < 100; ++v)
      for (Table* t : {&plain, &secret, &variable}) {
        std::vector<std::uint8_t> r = record(*t, v);
        TnxRefNr refNr = 0;
        t->records->AddRecord(trans.get(), refNr, r.data());
      }
    makeBlobs(plain, trans.get());
    trans->Commit();
  }
  const State before{scan(plain), scan(secret), scan(variable), blobState(plain)};
  makeDurable();

  CrashRecorder recorder(fs_, subset, 20261210u + static_cast<std::uint32_t>(kind));
  platform::setCurrentFileSystem(&recorder);
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    change(plain, trans.get(), std::get<0>(before));
    change(secret, trans.get(), std::get<1>(before));
    change(variable, trans.get(), std::get<2>(before));
    trans->SetJournal(newJournal(kind, trans.get()));
    trans->Commit();
  }
  recorder.capture();  // the commit returned
  platform::setCurrentFileSystem(&fs_);
  const State after{scan(plain), scan(secret), scan(variable), blobState(plain)};
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
  Table& variable = make(kVariable, false, true);
  Records none;
  makeDurable();
  CrashRecorder commit(fs_, false, 1);
  platform::setCurrentFileSystem(&commit);
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    change(plain, trans.get(), none);
    change(secret, trans.get(), none);
    change(variable, trans.get(), none);
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
  for (const char* p : {kPlain, kSecret, kVariable}) recovered[p] = disk(p);

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
    for (const char* p : {kPlain, kSecret, kVariable}) {
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

// What a recovery scan (the record engine on every block the file holds,
// decrypted) brings back: the records' values.
std::vector<std::uint32_t> recoveryScan(Table& t) {
  struct Scan {
    Table* table;
    std::vector<std::uint32_t> values;
  } scan{&t, {}};
  TnxBlockIterator it{[](void*, void* aCookie, TnxBlockNumber aNr, PnxBlock aBlock) {
                        auto* s = static_cast<Scan*>(aCookie);
                        if (!aBlock) return birContinue;
                        std::vector<std::uint8_t> record(s->table->records->breRecordLength + 4);
                        PnxRecordBuffer target = record.data();
                        auto each = [&](void*, TnxRefNr, PnxRecordBuffer aRecord) {
                          s->values.push_back(nxseGetU32(aRecord));
                          return rirContinue;
                        };
                        s->table->records->RecoverIterate(aBlock, aNr, &target, each, nullptr);
                        return birContinue;
                      },
                      nullptr};
  t.file->IterateBlocks(&scan, it);
  return scan.values;
}

TEST_P(JournalCrashTest, FreeBlocksTakenAgainHoldNoDataOfAnUndoneCommit) {
  // Records with 30 KB BLOBs are deleted (their blocks go to the free set);
  // the commit under test takes those blocks again for new data blocks and
  // BLOBs. Undone, it must leave them freed blocks again, not blocks of the
  // free set holding its records.
  const auto [kind, subset] = GetParam();
  const bool commitKind = kind == 1;
  Table& plain = makeCrashTable(kPlain, false, newBlobDictionary(96));
  Table& secret = makeCrashTable(kSecret, true, newBlobDictionary(96));
  std::map<Table*, std::vector<std::pair<TnxRefNr, TnxBlobNr>>> made;
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    for (Table* t : {&plain, &secret})
      for (std::uint32_t v = 0; v < 5; ++v) {
        std::vector<std::uint8_t> r = record(*t, v);
        TnxRefNr refNr = 0;
        t->records->AddRecord(trans.get(), refNr, r.data());
        TnxBlobNr nr = 0;
        t->blobs->AddBlob(trans.get(), nr);
        writeBlob(*t, trans.get(), nr, 0, blobBytes(30000, static_cast<char>('a' + v)));
        made[t].emplace_back(refNr, nr);
      }
    trans->Commit();
  }
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    for (Table* t : {&plain, &secret})
      for (const auto& [refNr, nr] : made[t]) {
        t->records->DeleteRecord(trans.get(), refNr);
        t->blobs->DeleteBlob(trans.get(), nr);
      }
    trans->Commit();
  }
  const Records emptyPlain = scan(plain), emptySecret = scan(secret);
  ASSERT_TRUE(emptyPlain.empty());
  makeDurable();

  CrashRecorder recorder(fs_, subset, 20261211u + static_cast<std::uint32_t>(kind));
  platform::setCurrentFileSystem(&recorder);
  {
    TnxOwned<TestTransaction> trans(newTransaction());
    for (Table* t : {&plain, &secret}) {
      // More records than the one data block holds: new data blocks come
      // from the free set.
      for (std::uint32_t v = 1000; v < 1060; ++v) {
        std::vector<std::uint8_t> r = record(*t, v);
        TnxRefNr refNr = 0;
        t->records->AddRecord(trans.get(), refNr, r.data());
      }
      for (std::uint32_t v = 0; v < 5; ++v) {
        TnxBlobNr nr = 0;
        t->blobs->AddBlob(trans.get(), nr);
        writeBlob(*t, trans.get(), nr, 0, blobBytes(30000, static_cast<char>('A' + v)));
      }
    }
    trans->SetJournal(newJournal(kind, trans.get()));
    trans->Commit();
  }
  recorder.capture();
  platform::setCurrentFileSystem(&fs_);
  const Records afterPlain = scan(plain), afterSecret = scan(secret);
  ASSERT_EQ(afterPlain.size(), 60u);

  int sawBefore = 0, sawAfter = 0;
  for (std::size_t k = 0; k < recorder.points.size(); ++k) {
    SCOPED_TRACE("crash point " + std::to_string(k));
    restore(recorder.points[k]);
    recover(commitKind);
    expectNoJournalLeft();
    Table& p = openCrashTable(kPlain);
    Table& s = openCrashTable(kSecret);
    const Records nowPlain = scan(p), nowSecret = scan(s);
    checkWithChecker(kPlain, p.file, p.records->breRecordLength);
    checkWithChecker(kSecret, s.file, s.records->breRecordLength);
    const bool isBefore = nowPlain == emptyPlain && nowSecret == emptySecret;
    const bool isAfter = nowPlain == afterPlain && nowSecret == afterSecret;
    EXPECT_TRUE(isBefore || isAfter);
    sawBefore += isBefore;
    sawAfter += isAfter;
    if (isBefore) {
      EXPECT_EQ(recoveryScan(p), std::vector<std::uint32_t>{}) << "plain";
      EXPECT_EQ(recoveryScan(s), std::vector<std::uint32_t>{}) << "secret";
    }
  }
  EXPECT_GT(sawBefore, 0);
  EXPECT_GT(sawAfter, 0);
}

std::string kindName(const ::testing::TestParamInfo<std::tuple<int, bool>>& aParam) {
  static const char* const kKinds[] = {"BeforeAndAfter", "Commit", "Rollback"};
  return std::string(kKinds[std::get<0>(aParam.param)]) + (std::get<1>(aParam.param) ? "RandomSubset" : "");
}

INSTANTIATE_TEST_SUITE_P(Kinds, JournalCrashTest, ::testing::Combine(::testing::Values(0, 1, 2), ::testing::Bool()),
                         kindName);

}  // namespace
