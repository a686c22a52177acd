// The journal: file layout, replay of both kinds, ordering, and journals
// that must not be replayed.
#include "nxseJournalEngine.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "nxExpectCode.h"
#include "nxsrTestSupport.h"

namespace {

using namespace nxtest;

struct JournalRecord {
  std::string name;
  TnxBlockNumber block;
  std::uint8_t code;  // size code, bit 7: no image
  bool before;
  std::optional<std::uint8_t> fill;  // image: block bytes of this value
};

std::vector<std::uint8_t> journalBytes(std::int32_t aKind, bool aComplete, const std::vector<JournalRecord>& aRecords) {
  std::vector<std::uint8_t> out(12, 0);
  std::memcpy(out.data(), "NXJH", 4);
  const std::int32_t flag = aComplete ? -1 : 0;
  std::memcpy(out.data() + 4, &flag, 4);
  std::memcpy(out.data() + 8, &aKind, 4);
  for (const JournalRecord& r : aRecords) {
    std::vector<std::uint8_t> h(268, 0);
    std::memcpy(h.data(), "NXJR", 4);
    std::memcpy(h.data() + 4, &r.block, 4);
    h[8] = r.code;
    h[9] = r.before ? 255 : 0;
    h[12] = static_cast<std::uint8_t>(r.name.size());
    std::memcpy(h.data() + 13, r.name.data(), r.name.size());
    out.insert(out.end(), h.begin(), h.end());
    if (r.fill) {
      std::vector<std::uint8_t> image(kBlock, *r.fill);
      std::memcpy(image.data(), "DATA", 4);
      std::memcpy(image.data() + 4, &r.block, 4);
      out.insert(out.end(), image.begin(), image.end());
    }
  }
  return out;
}

// Forwards to a file system and logs, in order, what changes something on
// disk: "write", "sync", "truncate", "rename", "remove" with the file's
// name, "syncDirectory" with the folder's.
class OperationLog final : public platform::FileSystem {
 public:
  explicit OperationLog(platform::FileSystem& aInner) : inner_(aInner) {}
  std::vector<std::string> log;

  int open(const std::string& aPath, const platform::FileOpenOptions& aOptions, platform::FileId& aFile) override {
    const int err = inner_.open(aPath, aOptions, aFile);
    if (err == 0) paths_[aFile] = aPath;
    return err;
  }
  int openUnnamed(const std::string& aFolder, platform::FileId& aFile) override {
    return inner_.openUnnamed(aFolder, aFile);
  }
  int close(platform::FileId aFile) override { return inner_.close(aFile); }
  int punchHole(platform::FileId aFile, std::int64_t aOffset, std::int64_t aLength) override {
    return inner_.punchHole(aFile, aOffset, aLength);
  }
  int readAt(platform::FileId aFile, void* aBuffer, std::size_t aCount, std::int64_t aOffset,
             std::size_t& aDone) override {
    return inner_.readAt(aFile, aBuffer, aCount, aOffset, aDone);
  }
  int writeAt(platform::FileId aFile, const void* aBuffer, std::size_t aCount, std::int64_t aOffset,
              std::size_t& aDone) override {
    log.push_back("write " + paths_[aFile]);
    return inner_.writeAt(aFile, aBuffer, aCount, aOffset, aDone);
  }
  int sync(platform::FileId aFile) override {
    log.push_back("sync " + paths_[aFile]);
    return inner_.sync(aFile);
  }
  int truncate(platform::FileId aFile, std::int64_t aSize) override {
    log.push_back("truncate " + paths_[aFile]);
    return inner_.truncate(aFile, aSize);
  }
  int size(platform::FileId aFile, std::int64_t& aSize) override { return inner_.size(aFile, aSize); }
  int identity(platform::FileId aFile, platform::FileIdentityInfo& aInfo) override {
    return inner_.identity(aFile, aInfo);
  }
  int pathInfo(const std::string& aPath, platform::PathInfo& aInfo) override { return inner_.pathInfo(aPath, aInfo); }
  int remove(const std::string& aPath) override {
    log.push_back("remove " + aPath);
    return inner_.remove(aPath);
  }
  int rename(const std::string& aFrom, const std::string& aTo) override {
    log.push_back("rename " + aFrom + " " + aTo);
    const int err = inner_.rename(aFrom, aTo);
    if (err == 0)
      for (auto& [id, path] : paths_)
        if (path == aFrom) path = aTo;
    return err;
  }
  int listDirectory(const std::string& aPath, std::vector<std::string>& aNames) override {
    return inner_.listDirectory(aPath, aNames);
  }
  int syncDirectory(const std::string& aPath) override {
    log.push_back("syncDirectory " + aPath);
    return inner_.syncDirectory(aPath);
  }
  int fileSystemType(const std::string& aPath, std::string& aType) override {
    return inner_.fileSystemType(aPath, aType);
  }
  std::string absolutePath(const std::string& aPath) override { return inner_.absolutePath(aPath); }

 private:
  platform::FileSystem& inner_;
  std::map<platform::FileId, std::string> paths_;
};

class JournalTest : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    nxseJournalEngineInitialize();
  }
  void TearDown() override {
    StorageTest::TearDown();
    nxseJournalEngineFinalize();
  }

  template <class J = Tnx1xRollbackJournalEngine>
  void attachJournal(TnxBaseTransaction* aTrans, const std::string& aName = {}) {
    const std::string name = aName.empty() ? "/db/" + std::to_string(aTrans->btLSN) + ".n$2" : aName;
    aTrans->SetJournal(platform::create<J>(platform::fromUtf8(name)));
  }
  // Commits to the flush list without flushing: the journal is complete on
  // disk and no table block is written yet.
  void commitUnflushed(TestTransaction* aTrans, TnxFlushList& aList) {
    manager_->CommitTransaction(aTrans, &aList, false);
    platform::TObject::free(aTrans->btTransLevelsTail);
  }
  std::vector<std::uint8_t> file(const std::string& aPath) {
    std::vector<std::uint8_t> data;
    fs_.contents(aPath, data);
    return data;
  }
  bool exists(const std::string& aPath) {
    std::vector<std::uint8_t> data;
    return fs_.contents(aPath, data);
  }
  void closeAll() {
    for (TnxBaseFile* f : files_) {
      manager_->RemoveFile(f);
      if (f->FileIsOpen()) f->CloseFile();
    }
  }
};

TEST_F(JournalTest, TheRollbackKindIsTheDefaultClassUntilUnset) {
  EXPECT_EQ(nxGetDefaultJournalEngineClass(), &Tnx1xRollbackJournalEngine::staticClassInfo());
  nxSetDefaultJournalEngineClass(&Tnx1xCommitJournalEngine::staticClassInfo());
  EXPECT_EQ(nxGetDefaultJournalEngineClass(), &Tnx1xCommitJournalEngine::staticClassInfo());
  nxSetDefaultJournalEngineClass(nullptr);
  EXPECT_EQ(nxGetDefaultJournalEngineClass(), nullptr);
  // Start-ups are counted: only a fresh first start sets the default again.
  nxseJournalEngineFinalize();
  nxseJournalEngineInitialize();
  EXPECT_EQ(nxGetDefaultJournalEngineClass(), &Tnx1xRollbackJournalEngine::staticClassInfo());
}

TEST_F(JournalTest, AThreeBlockRollbackJournal) {
  TnxBaseFile* table = tableOf(5);
  TnxOwned<TestTransaction> trans(newTransaction());
  for (TnxBlockNumber n : {1u, 2u, 3u}) setByte(table, trans.get(), n, static_cast<std::uint8_t>(0x90 + n));
  attachJournal(trans.get());
  const std::string name = "/db/" + std::to_string(trans->btLSN) + ".n$2";
  TnxFlushList list;
  commitUnflushed(trans.get(), list);
  const std::vector<std::uint8_t> j = file(name);
  ASSERT_EQ(j.size(), 12u + 3u * (268u + kBlock));
  EXPECT_EQ(std::memcmp(j.data(), "NXJH", 4), 0);
  EXPECT_EQ(readU32(j.data() + 4), 0xFFFFFFFFu);
  EXPECT_EQ(readU32(j.data() + 8), 2u);
  const std::uint8_t* r = j.data() + 12;
  EXPECT_EQ(std::memcmp(r, "NXJR", 4), 0);
  EXPECT_EQ(readU32(r + 4), 1u);
  EXPECT_EQ(r[8], nxbs4k);
  EXPECT_EQ(r[9], 255);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r + 13), r[12]), "t.nx1");  // relative to the folder
  EXPECT_EQ(r[268 + 16], 0x41);  // the before image
  // The journal and its name are durable before the table is touched.
  std::vector<std::uint8_t> durable;
  ASSERT_TRUE(fs_.durableContents(name, durable));
  EXPECT_EQ(durable, j);
  EXPECT_EQ(diskByte("/db/t.nx1", 1), 0x41);
  list.Flush(false);
  EXPECT_FALSE(exists(name));
  EXPECT_EQ(diskByte("/db/t.nx1", 1), 0x91);
}

TEST_F(JournalTest, ASmallDurableCommitTakesFourDeviceBarriersInASafeOrder) {
  // Journal data with its flag; the folder once the journal has its name;
  // the table; the cleared flag. The unlink needs no folder sync behind it.
  OperationLog ops(fs_);
  platform::setCurrentFileSystem(&ops);
  TnxBaseFile* table = tableOf(5);
  TnxOwned<TestTransaction> trans(newTransaction());
  setByte(table, trans.get(), 2, 0x92);
  attachJournal(trans.get());
  const std::string name = "/db/" + std::to_string(trans->btLSN) + ".n$2";
  ops.log.clear();
  trans->Commit();
  platform::setCurrentFileSystem(&fs_);
  const std::vector<std::string> expected = {"write " + name + ".tmp",
                                             "sync " + name + ".tmp",
                                             "rename " + name + ".tmp " + name,
                                             "syncDirectory /db",
                                             "write /db/t.nx1",
                                             "write /db/t.nx1",
                                             "sync /db/t.nx1",
                                             "write " + name,
                                             "sync " + name,
                                             "remove " + name};
  EXPECT_EQ(ops.log, expected);
  const auto barriers = std::count_if(ops.log.begin(), ops.log.end(), [](const std::string& aOp) {
    return aOp.starts_with("sync ") || aOp.starts_with("syncDirectory ");
  });
  EXPECT_EQ(barriers, 4);
  // A crash now brings the name back, with the flag cleared: dropped, and
  // the commit stays.
  closeAll();
  fs_.crash();
  std::vector<std::uint8_t> journal;
  ASSERT_TRUE(fs_.contents(name, journal));
  ASSERT_GE(journal.size(), 8u);
  EXPECT_EQ(readU32(journal.data() + 4), 0u);
  Tnx1xRollbackJournalEngine::Check(u"db", u"/db");
  EXPECT_FALSE(exists(name));
  EXPECT_EQ(diskByte("/db/t.nx1", 2), 0x92);
}

TEST_F(JournalTest, AJournalLeftUnderItsWritingNameIsDeletedUnread) {
  // A crash before the journal got its name: no table block was written.
  fs_.putFile("/db/t.nx1", tableImage(5));
  const std::vector<std::uint8_t> complete = journalBytes(2, true, {{"t.nx1", 1, nxbs4k, true, 0x77}});
  fs_.putFile("/db/9.n$2.tmp", complete);
  fs_.putFile("/db/10.N$2.TMP", complete);
  Tnx1xRollbackJournalEngine::Check(u"db", u"/db");
  EXPECT_FALSE(exists("/db/9.n$2.tmp"));
  EXPECT_FALSE(exists("/db/10.N$2.TMP"));
  EXPECT_EQ(diskByte("/db/t.nx1", 1), 0x41);
}

TEST_F(JournalTest, NewBlocksHaveNoBeforeImageAndFreedBlocksADeadAfterImage) {
  TnxBaseFile* table = tableOf(3);
  TnxOwned<TestTransaction> trans(newTransaction());
  TnxBlockAccess access(table, nullptr, u"t", 0);
  {
    TnxOwned<TnxBaseFileHeaderAccess> header(access.HeaderAccess(trans.get(), true));
    TnxPinnedBlock blockPin([&](TnxReleaseMethod& r) { return header->GetNewBlock(trans.get(), 0, r); });
    PnxBlock block = blockPin.Block();
    std::memcpy(block, "DATA", 4);
    block[16] = 0x77;
    blockPin.Release();
  }
  setByte(table, trans.get(), 2, 0x62);
  manager_->DiscardBlock(table, 2, trans.get());
  attachJournal<Tnx1xJournalEngine>(trans.get());
  const std::string name = "/db/" + std::to_string(trans->btLSN) + ".n$2";
  const TnxLSN lsn = trans->btLSN;
  TnxFlushList list;
  commitUnflushed(trans.get(), list);
  const std::vector<std::uint8_t> j = file(name);
  // Block 0 before and after, block 3 (new) header-only before and after, block 2 before and DEAD after.
  EXPECT_EQ(j.size(), 12u + 5u * (268u + kBlock) + 268u);
  std::size_t at = 12;
  std::vector<std::pair<std::uint32_t, std::uint8_t>> seen;
  while (at < j.size()) {
    const std::uint8_t* r = j.data() + at;
    seen.push_back({readU32(r + 4), r[8]});
    at += 268;
    if ((r[8] & 0x80) == 0) {
      if (readU32(r + 4) == 2 && r[9] == 0) {
        EXPECT_EQ(std::memcmp(j.data() + at, "DEAD", 4), 0);
        EXPECT_EQ(readU32(j.data() + at + 4), 2u);
        TnxLSN stored;
        std::memcpy(&stored, j.data() + at + 8, 8);
        EXPECT_EQ(stored, lsn);
      }
      at += kBlock;
    }
  }
  const std::vector<std::pair<std::uint32_t, std::uint8_t>> expected{{0, 0}, {0, 0}, {3, 0x80}, {3, 0}, {2, 0}, {2, 0}};
  EXPECT_EQ(seen, expected);
  list.Flush(false);
}

TEST_F(JournalTest, ReplayOfBothKinds) {
  // The same commit, stopped after its journal: a rollback journal undoes
  // the table writes, a commit journal completes them.
  for (bool commitKind : {false, true}) {
    SCOPED_TRACE(commitKind ? "commit journal" : "rollback journal");
    fs_.putFile("/db/t.nx1", tableImage(4));
    TnxBaseFile* table = openTable("/db/t.nx1");
    TnxOwned<TestTransaction> trans(newTransaction());
    setByte(table, trans.get(), 1, 0xA1);
    setByte(table, trans.get(), 3, 0xA3);
    if (commitKind)
      attachJournal<Tnx1xCommitJournalEngine>(trans.get());
    else
      attachJournal(trans.get());
    const std::string name = "/db/" + std::to_string(trans->btLSN) + ".n$2";
    TnxFlushList list;
    commitUnflushed(trans.get(), list);
    const std::vector<std::uint8_t> journal = file(name);
    list.Flush(false);
    closeAll();
    fs_.putFile(name, journal);  // the journal as a crash would leave it
    if (commitKind) fs_.putFile("/db/t.nx1", tableImage(4));  // no table write reached the disk
    Tnx1xJournalEngine::Check(u"db", u"/db");
    EXPECT_FALSE(exists(name));
    EXPECT_EQ(diskByte("/db/t.nx1", 1), commitKind ? 0xA1 : 0x41);
    EXPECT_EQ(diskByte("/db/t.nx1", 3), commitKind ? 0xA3 : 0x43);
    EXPECT_EQ(diskByte("/db/t.nx1", 2), 0x42);
  }
}

TEST_F(JournalTest, ABigJournalGoesOutInFewSequentialWritesAndReplays) {
  // Both images of 1,100 blocks: more than twice the bound of gathered bytes.
  constexpr std::uint32_t kBlocks = 1101;
  const std::vector<std::uint8_t> original = tableImage(kBlocks);
  fs_.putFile("/db/t.nx1", original);
  TnxBaseFile* table = openTable("/db/t.nx1");
  TnxOwned<TestTransaction> trans(newTransaction());
  for (TnxBlockNumber n = 1; n < kBlocks; ++n) setByte(table, trans.get(), n, static_cast<std::uint8_t>(n * 7));
  attachJournal<Tnx1xJournalEngine>(trans.get());
  const std::string name = "/db/" + std::to_string(trans->btLSN) + ".n$2";
  fs_.clearRecords();
  TnxFlushList list;
  commitUnflushed(trans.get(), list);
  const std::vector<std::uint8_t> journal = file(name);
  ASSERT_EQ(journal.size(), 12u + 2u * (kBlocks - 1) * (268u + kBlock));
  std::vector<std::uint8_t> durable;
  ASSERT_TRUE(fs_.durableContents(name, durable));
  EXPECT_EQ(durable, journal);

  std::vector<platform::FaultFileSystem::WriteRecord> writes;
  for (const auto& w : fs_.writes()) {
    EXPECT_NE(w.path, name) << "written under its journal name";
    if (w.path == name + ".tmp") writes.push_back(w);
  }
  ASSERT_GE(writes.size(), 3u);
  // The data in order, each piece but the last at least the bound; then the
  // header with the complete flag.
  std::int64_t at = 0;
  for (std::size_t k = 0; k + 1 < writes.size(); ++k) {
    EXPECT_EQ(writes[k].offset, at) << k;
    if (k + 2 < writes.size()) {
      EXPECT_GE(writes[k].count, Tnx1xJournalEngine::WriteBound) << k;
    }
    at += static_cast<std::int64_t>(writes[k].count);
  }
  EXPECT_EQ(at, static_cast<std::int64_t>(journal.size()));
  EXPECT_LE(writes.size(), 2 + journal.size() / Tnx1xJournalEngine::WriteBound);
  EXPECT_EQ(writes.back().offset, 0);
  EXPECT_LE(writes.back().count, Tnx1xJournalEngine::HeaderSize);

  list.Flush(false);
  closeAll();
  fs_.putFile(name, journal);  // the journal as a crash would leave it
  Tnx1xRollbackJournalEngine::Check(u"db", u"/db");
  EXPECT_FALSE(exists(name));
  const std::vector<std::uint8_t> restored = file("/db/t.nx1");
  ASSERT_EQ(restored.size(), original.size());
  for (std::size_t b = 1; b < kBlocks; ++b)  // the data blocks; the header carries the commit's LSN
    if (std::memcmp(restored.data() + b * kBlock, original.data() + b * kBlock, kBlock) != 0) ADD_FAILURE() << b;
}

TEST_F(JournalTest, ARecordNamingABlockBeyondTheTableFailsTheWholeReplay) {
  // A commit stopped after its journal; then one byte of one record's block
  // number changes (the third byte: 2^16 blocks, 256 MB further on). The
  // journal is refused whole: left in place, the table neither written nor
  // grown.
  fs_.putFile("/db/t.nx1", tableImage(5));
  TnxBaseFile* table = openTable("/db/t.nx1");
  TnxOwned<TestTransaction> trans(newTransaction());
  for (TnxBlockNumber n : {1u, 2u, 3u}) setByte(table, trans.get(), n, static_cast<std::uint8_t>(0x90 + n));
  attachJournal(trans.get());
  const std::string name = "/db/" + std::to_string(trans->btLSN) + ".n$2";
  TnxFlushList list;
  commitUnflushed(trans.get(), list);
  const std::vector<std::uint8_t> journal = file(name);
  list.Flush(false);
  closeAll();
  const std::vector<std::uint8_t> written = file("/db/t.nx1");
  for (std::size_t record = 0; record < 3; ++record) {
    SCOPED_TRACE(record);
    std::vector<std::uint8_t> damaged = journal;
    damaged[12 + record * (268 + kBlock) + 6] = 1;
    fs_.putFile("/db/t.nx1", written);
    fs_.putFile(name, damaged);
    Tnx1xRollbackJournalEngine::Check(u"db", u"/db");
    EXPECT_EQ(file(name), damaged);
    EXPECT_EQ(file("/db/t.nx1"), written);
  }
  // Intact, it undoes the commit.
  fs_.putFile(name, journal);
  Tnx1xRollbackJournalEngine::Check(u"db", u"/db");
  EXPECT_FALSE(exists(name));
  for (TnxBlockNumber n : {1u, 2u, 3u}) EXPECT_EQ(diskByte("/db/t.nx1", n), 0x40 + n);
}

TEST_F(JournalTest, AUtf8NameOutsideTheFolder) {
  // A UTF-8 name outside the journal's folder.
  fs_.makeDirectory("/other");
  const std::string path = "/other/表データ.nx1";
  fs_.putFile(path, tableImage(3));
  TnxBaseFile* table = openTable(path);
  TnxOwned<TestTransaction> trans(newTransaction());
  setByte(table, trans.get(), 2, 0xB2);
  attachJournal<Tnx1xCommitJournalEngine>(trans.get());
  const std::string name = "/db/" + std::to_string(trans->btLSN) + ".n$2";
  TnxFlushList list;
  commitUnflushed(trans.get(), list);
  const std::vector<std::uint8_t> journal = file(name);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(journal.data() + 25), journal[24]), path);
  list.Flush(false);
  const std::vector<std::uint8_t> after = file(path);
  closeAll();
  fs_.putFile(path, tableImage(3));
  fs_.putFile(name, journal);
  Tnx1xRollbackJournalEngine::Check(u"db", u"/db");
  const std::vector<std::uint8_t> replayed = file(path);
  ASSERT_EQ(replayed.size(), 3 * kBlock);
  // Blocks 1 and 2 as the commit wrote them; block 0 keeps its old LSN.
  EXPECT_TRUE(std::equal(replayed.begin() + kBlock, replayed.end(), after.begin() + kBlock));
  EXPECT_FALSE(exists(name));
}

TEST_F(JournalTest, ATooLongNameFailsTheCommitBeforeAnyTableWrite) {
  const std::string path = "/db/" + std::string(300, 'n') + ".nx1";
  fs_.putFile(path, tableImage(3));
  TnxBaseFile* table = openTable(path);
  TnxOwned<TestTransaction> trans(newTransaction());
  setByte(table, trans.get(), 1, 0xC1);
  attachJournal(trans.get());
  const std::string name = "/db/" + std::to_string(trans->btLSN) + ".n$2";
  fs_.clearRecords();
  nxtest::expectCode([&] { trans->Commit(); }, 12289, u"too long for the journal");
  EXPECT_TRUE(writtenBlocks(path).empty());
  trans->Rollback();
  EXPECT_FALSE(exists(name));
  EXPECT_EQ(committedByte(table, 1), 0x41);
}

TEST_F(JournalTest, AJournalOfTheSameNameLeftByACrashIsNeverReplaced) {
  // A journal an earlier run left behind, not yet recovered.
  TnxBaseFile* table = tableOf(3);
  TnxOwned<TestTransaction> trans(newTransaction());
  setByte(table, trans.get(), 1, 0xC1);
  attachJournal(trans.get());
  const std::string name = "/db/" + std::to_string(trans->btLSN) + ".n$2";
  const std::vector<std::uint8_t> earlier = journalBytes(2, true, {{"t.nx1", 2, nxbs4k, true, 0x66}});
  fs_.putFile(name, earlier);
  fs_.clearRecords();
  nxtest::expectCode([&] { trans->Commit(); }, 9218, u"a journal of that name is already there");
  EXPECT_TRUE(writtenBlocks("/db/t.nx1").empty());
  // Both journals stay until the rollback drops the refused one, which
  // recovery would never replay under its writing name anyway.
  EXPECT_TRUE(exists(name + ".tmp"));
  trans->Rollback();
  EXPECT_FALSE(exists(name + ".tmp"));
  EXPECT_EQ(committedByte(table, 1), 0x41);
  std::vector<std::uint8_t> durable;
  ASSERT_TRUE(fs_.durableContents(name, durable));
  EXPECT_EQ(durable, earlier);
  EXPECT_EQ(file(name), earlier);
  // Recovery still finds the earlier journal and replays it.
  closeAll();
  Tnx1xRollbackJournalEngine::Check(u"db", u"/db");
  EXPECT_FALSE(exists(name));
  EXPECT_EQ(diskByte("/db/t.nx1", 2), 0x66);
}

TEST_F(JournalTest, IncompleteJournalsAreDroppedAndNothingIsWritten) {
  fs_.putFile("/db/t.nx1", tableImage(3));
  fs_.putFile("/db/4.n$2", journalBytes(2, false, {{"t.nx1", 1, nxbs4k, true, 0x55}}));
  Tnx1xRollbackJournalEngine::Check(u"db", u"/db");
  EXPECT_FALSE(exists("/db/4.n$2"));
  EXPECT_EQ(diskByte("/db/t.nx1", 1), 0x41);
}

TEST_F(JournalTest, JournalsThatMustNotBeReplayedStay) {
  fs_.putFile("/db/t.nx1", tableImage(3));
  fs_.putFile("/db/notes.txt", std::vector<std::uint8_t>(3 * kBlock, 'x'));
  std::vector<std::uint8_t> truncated = journalBytes(2, true, {{"t.nx1", 1, nxbs4k, true, 0x55}});
  truncated.resize(truncated.size() - 10);
  std::vector<std::uint8_t> badSignature = journalBytes(2, true, {});
  badSignature[0] = 'X';
  // The second record is bad: nothing of the journal may be written.
  const struct {
    const char* name;
    std::vector<std::uint8_t> bytes;
  } planted[] = {
      {"/db/1.n$2", journalBytes(2, true, {{"notes.txt", 1, nxbs4k, true, 0x55}})},
      {"/db/2.n$2", journalBytes(2, true, {{"t.nx1", 1, nxbs4k, true, 0x55}, {"t.nx1", 2, 5, true, 0x56}})},
      {"/db/3.N$2", journalBytes(2, true, {{"t.nx1", 1, nxbs4k, true, 0x55}, {"t.nx1", 2, nxbs8k, true, 0x56}})},
      {"/db/4.n$2", std::move(truncated)},
      {"/db/5.n$2", std::move(badSignature)},
      {"/db/6.n$2", journalBytes(2, true, {{"missing.nx1", 1, nxbs4k, true, 0x55}})},
      {"/db/7.n$2", journalBytes(7, true, {})},
  };
  for (const auto& p : planted) fs_.putFile(p.name, p.bytes);
  fs_.putFile("/db/9.n$2", journalBytes(2, false, {}));  // incomplete: dropped
  Tnx1xRollbackJournalEngine::Check(u"db", u"/db");
  for (const auto& p : planted) EXPECT_EQ(file(p.name), p.bytes) << p.name;
  EXPECT_FALSE(exists("/db/9.n$2"));
  EXPECT_EQ(file("/db/t.nx1"), tableImage(3));
  EXPECT_EQ(file("/db/notes.txt"), std::vector<std::uint8_t>(3 * kBlock, 'x'));
}

TEST_F(JournalTest, AJournalShorterThanItsHeaderIsDeletedAndOnlySuch) {
  // A writer that died between creating the journal and writing its
  // header wrote no table block: nothing to replay, and left in place it
  // would be refused at every check.
  fs_.putFile("/db/t.nx1", tableImage(3));
  const std::vector<std::uint8_t> header = journalBytes(2, true, {});
  std::vector<std::uint8_t> badSignature = header;
  badSignature[1] = '?';
  const struct {
    const char* name;
    std::vector<std::uint8_t> bytes;
    bool deleted;
  } cases[] = {
      {"/db/1.n$2", {}, true},
      {"/db/2.n$2", std::vector<std::uint8_t>(header.begin(), header.begin() + 4), true},
      {"/db/3.n$2", std::vector<std::uint8_t>(header.begin(), header.begin() + 11), true},
      {"/db/4.n$2", badSignature, false},
      {"/db/5.n$2", std::vector<std::uint8_t>(12, 0), false},
  };
  for (const auto& c : cases) fs_.putFile(c.name, c.bytes);
  Tnx1xRollbackJournalEngine::Check(u"db", u"/db");
  for (const auto& c : cases) {
    EXPECT_EQ(!exists(c.name), c.deleted) << c.name;
    if (!c.deleted) {
      EXPECT_EQ(file(c.name), c.bytes) << c.name;
    }
  }
  EXPECT_EQ(file("/db/t.nx1"), tableImage(3));
}

TEST_F(JournalTest, SeveralJournalsReplayInCommitOrder) {
  struct Case {
    std::int32_t kind;
    std::uint8_t expected;
  } cases[] = {
      {2, 0x11},  // undo newest first: the oldest before image wins
      {1, 0x22},  // redo oldest first: the newest after image wins
      {0, 0x11},  // both images; a rollback-kind check undoes
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    fs_.putFile("/db/t.nx1", tableImage(3));
    const bool before = c.kind != 1;
    // Journal 10 lists first in the folder, yet 9 is older.
    fs_.putFile("/db/10.n$2", journalBytes(c.kind, true, {{"t.nx1", 1, nxbs4k, before, before ? 0x22 : 0x22}}));
    fs_.putFile("/db/9.n$2", journalBytes(c.kind, true, {{"t.nx1", 1, nxbs4k, before, 0x11}}));
    Tnx1xRollbackJournalEngine::Check(u"db", u"/db");
    EXPECT_EQ(diskByte("/db/t.nx1", 1), c.expected);
    EXPECT_FALSE(exists("/db/9.n$2"));
    EXPECT_FALSE(exists("/db/10.n$2"));
  }
}

TEST_F(JournalTest, AMissingFolder) {
  nxtest::expectCode([] { Tnx1xJournalEngine::Check(u"x", u"/nowhere"); }, 10018,
                     u"The alias references a directory that does not exist.");
}

TEST_F(JournalTest, ClassesAreFoundByName) {
  EXPECT_EQ(&platform::findClass("Tnx1xRollbackJournalEngine"), &Tnx1xRollbackJournalEngine::staticClassInfo());
  const auto* funcs = platform::findClass("Tnx1xCommitJournalEngine").table<TnxJournalEngineClassFuncs>();
  ASSERT_NE(funcs, nullptr);
  EXPECT_EQ(funcs->journalKind(), 1);
}

}  // namespace
