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

#include <map>
#include <random>
#include <set>
#include <string_view>

#include "nxseEncryptionEngineBlowfishRC4.h"
#include "nxseJournalEngine.h"
#include "nxseTableTestSupport.h"

namespace {

using namespace nxtest;

using Files = std::map<std::string, std::vector<std::uint8_t>>;

// Forwards to a fault file system and, before every operation that changes
// something, records what a crash at that moment would leave on disk.
class CrashRecorder final : public platform::FileSystem {
 public:
  CrashRecorder(platform::FaultFileSystem& aInner, bool aRandomSubset, std::uint32_t aSeed)
      : inner_(aInner), subset_(aRandomSubset), random_(aSeed) {}

  std::vector<Files> points;

  void capture() {
    std::vector<std::string> names;
    inner_.listDirectory("/db", names);
    for (const std::string& n : names) paths_.insert("/db/" + n);
    Files files;
    for (const std::string& p : paths_) {
      std::vector<std::uint8_t> data;
      if (!inner_.durableContents(p, data)) continue;
      if (subset_) {
        for (const auto& w : pending_[p]) {
          if (random_() % 2) continue;
          if (data.size() < w.first + w.second.size()) data.resize(w.first + w.second.size());
          std::copy(w.second.begin(), w.second.end(), data.begin() + static_cast<std::ptrdiff_t>(w.first));
        }
      }
      files[p] = std::move(data);
    }
    points.push_back(std::move(files));
  }

  int open(const std::string& aPath, const platform::FileOpenOptions& aOptions, platform::FileId& aFile) override {
    if (aOptions.create) capture();
    const int err = inner_.open(aPath, aOptions, aFile);
    if (err == 0) {
      paths_.insert(aPath);
      handles_[aFile] = {aPath, aOptions.writeThrough};
    }
    return err;
  }
  int close(platform::FileId aFile) override { return inner_.close(aFile); }
  int readAt(platform::FileId aFile, void* aBuffer, std::size_t aCount, std::int64_t aOffset,
             std::size_t& aDone) override {
    return inner_.readAt(aFile, aBuffer, aCount, aOffset, aDone);
  }
  int writeAt(platform::FileId aFile, const void* aBuffer, std::size_t aCount, std::int64_t aOffset,
              std::size_t& aDone) override {
    capture();
    const auto& h = handles_[aFile];
    if (!h.writeThrough) {
      const auto* p = static_cast<const std::uint8_t*>(aBuffer);
      pending_[h.path].push_back({static_cast<std::size_t>(aOffset), std::vector<std::uint8_t>(p, p + aCount)});
    }
    return inner_.writeAt(aFile, aBuffer, aCount, aOffset, aDone);
  }
  int sync(platform::FileId aFile) override {
    capture();
    pending_[handles_[aFile].path].clear();
    return inner_.sync(aFile);
  }
  int truncate(platform::FileId aFile, std::int64_t aSize) override {
    capture();
    return inner_.truncate(aFile, aSize);
  }
  int size(platform::FileId aFile, std::int64_t& aSize) override { return inner_.size(aFile, aSize); }
  int identity(platform::FileId aFile, platform::FileIdentityInfo& aInfo) override {
    return inner_.identity(aFile, aInfo);
  }
  int pathInfo(const std::string& aPath, platform::PathInfo& aInfo) override { return inner_.pathInfo(aPath, aInfo); }
  int remove(const std::string& aPath) override {
    capture();
    return inner_.remove(aPath);
  }
  int rename(const std::string& aFrom, const std::string& aTo) override {
    capture();
    return inner_.rename(aFrom, aTo);
  }
  int listDirectory(const std::string& aPath, std::vector<std::string>& aNames) override {
    return inner_.listDirectory(aPath, aNames);
  }
  int syncDirectory(const std::string& aPath) override {
    capture();
    return inner_.syncDirectory(aPath);
  }
  int fileSystemType(const std::string& aPath, std::string& aType) override {
    return inner_.fileSystemType(aPath, aType);
  }
  std::string absolutePath(const std::string& aPath) override { return inner_.absolutePath(aPath); }

 private:
  struct HandleInfo {
    std::string path;
    bool writeThrough = false;
  };
  platform::FaultFileSystem& inner_;
  bool subset_;
  std::mt19937 random_;
  std::set<std::string> paths_;
  std::map<platform::FileId, HandleInfo> handles_;
  std::map<std::string, std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>>> pending_;
};

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

class JournalCrashTest : public TableTest, public ::testing::WithParamInterface<std::tuple<int, bool>> {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    nxseEncryptionEngineBlowfishRC4Initialize();
    nxseJournalEngineInitialize();
  }
  void TearDown() override {
    TableTest::TearDown();
    nxseJournalEngineFinalize();
    nxseEncryptionEngineBlowfishRC4Finalize();
  }

  Table& make(const std::string& aPath, bool aEncrypted, bool aVariable = false) {
    Table& t = newTable();
    TnxOwned<TestTransaction> trans(newTransaction());
    t.dict.reset(aVariable ? newVariableDictionary({{nxtInt32, 0}, {nxtNullString, 1500}})
                           : aEncrypted ? newDictionary(96) : newBlobDictionary(96));
    t.file = TnxBaseFile::Alloc(true, platform::fromUtf8(aPath), manager_);
    files_.push_back(t.file);
    t.file->fiVadurVersion = 47005;
    t.file->fiStreamEngineName = u"nx1xDefault";
    if (aEncrypted) t.file->fiEncryptionEngineName = u"nx1xDefault";
    t.file->OpenFile(omReadWrite, smExclusive, false, true);
    EXPECT_EQ(t.file->AddHeader(trans.get(), {u"pw"}, kNX2), 0);
    attach(t, trans.get());
    t.dict->WriteToFile(t.stream.get(), trans.get(), 47501);
    t.file->fiMaxID = t.dict->CurrentID();
    t.records.reset(TnxBaseRecordEngine::CreateEngine(t.dict.get(), {t.recordAccess.get()}, trans.get()));
    attachBlobs(t, trans.get());
    trans->Commit();
    return t;
  }
  Table& open(const std::string& aPath) {
    Table& t = newTable();
    t.file = TnxBaseFile::Alloc(true, platform::fromUtf8(aPath), manager_);
    files_.push_back(t.file);
    t.file->OpenFile(omReadWrite, smExclusive, false, false);
    TnxReleaseMethod release;
    PnxBlock header = nullptr;
    bool readOnly = false;
    EXPECT_EQ(manager_->AddFile(t.file, nullptr, {u"pw"}, false, release, header, readOnly), 0);
    nxReleaseBlock(release, header);
    attach(t, nullptr);
    t.dict.reset(platform::create<TnxServerDataDict>());
    t.dict->ReadFromFile(t.stream.get(), nullptr);
    t.stream->Initialize(t.dict.get());
    t.file->fiMaxID = t.dict->CurrentID();
    t.recordAccess.reset(
        platform::create<TnxBlockAccess>(t.file, t.main.get(), u"t", t.dict->RecordDescriptor()->ID()));
    t.records.reset(TnxBaseRecordEngine::CreateEngine(t.dict.get(), {t.recordAccess.get()}, nullptr));
    attachBlobs(t, nullptr);
    return t;
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
  // The file as the checker must see it: decrypted through IterateBlocks.
  std::vector<std::uint8_t> plainImage(TnxBaseFile* aFile) {
    std::vector<std::uint8_t> out;
    TnxBlockIterator it{[](void*, void* aCookie, TnxBlockNumber aNr, PnxBlock aBlock) {
                          auto* o = static_cast<std::vector<std::uint8_t>*>(aCookie);
                          o->resize(std::size_t{aNr + 1} * kBlock, 0);
                          if (aBlock) std::copy(aBlock, aBlock + kBlock, o->begin() + std::ptrdiff_t{aNr} * kBlock);
                          return birContinue;
                        },
                        nullptr};
    aFile->IterateBlocks(&out, it);
    return out;
  }
  void checkWithChecker(const std::string& aPath, TnxBaseFile* aFile, std::uint32_t aRecordLength) {
    std::vector<std::uint8_t> image = aFile->fiEncryptionEngine ? plainImage(aFile) : disk(aPath);
    const std::size_t hash =
        std::hash<std::string_view>()(std::string_view(reinterpret_cast<const char*>(image.data()), image.size()));
    if (!checked_.insert(hash).second) return;  // this image was checked before
    putDisk(image, "/db/checker.copy");
    const std::string report = checkFile("/db/checker.copy", aRecordLength);
    EXPECT_EQ(report, "") << aPath;
    fs_.remove("/db/checker.copy");
  }

  // The set-up commits ran without journal (no sync): their files are made
  // durable as they are.
  void makeDurable() {
    std::vector<std::string> names;
    fs_.listDirectory("/db", names);
    for (const std::string& n : names) fs_.putFile("/db/" + n, disk("/db/" + n));
  }
  // Replaces the folder's files by aFiles.
  void restore(const Files& aFiles) {
    closeAll();
    tables_.clear();
    std::vector<std::string> names;
    fs_.listDirectory("/db", names);
    for (const std::string& n : names) fs_.remove("/db/" + n);
    fs_.syncDirectory("/db");
    for (const auto& [path, data] : aFiles) fs_.putFile(path, data);
  }
  void recover(bool aCommitKind) {
    if (aCommitKind)
      Tnx1xCommitJournalEngine::Check(u"db", u"/db");
    else
      Tnx1xRollbackJournalEngine::Check(u"db", u"/db");
  }
  // The tables' records after recovery of aFiles; the files pass the checker.
  State recoveredState(const Files& aFiles, bool aCommitKind) {
    restore(aFiles);
    recover(aCommitKind);
    std::vector<std::string> names;
    fs_.listDirectory("/db", names);
    for (const std::string& n : names) EXPECT_FALSE(n.size() > 4 && n.substr(n.size() - 4) == ".n$2") << n;
    Table& plain = open(kPlain);
    Table& secret = open(kSecret);
    Table& variable = open(kVariable);
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
  std::set<std::size_t> checked_;
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
    const std::string journal = "/db/" + std::to_string(trans->btLSN) + ".n$2";
    if (kind == 0)
      trans->SetJournal(platform::create<Tnx1xJournalEngine>(platform::fromUtf8(journal)));
    else if (kind == 1)
      trans->SetJournal(platform::create<Tnx1xCommitJournalEngine>(platform::fromUtf8(journal)));
    else
      trans->SetJournal(platform::create<Tnx1xRollbackJournalEngine>(platform::fromUtf8(journal)));
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
    const std::string journal = "/db/" + std::to_string(trans->btLSN) + ".n$2";
    if (kind == 1)
      trans->SetJournal(platform::create<Tnx1xCommitJournalEngine>(platform::fromUtf8(journal)));
    else
      trans->SetJournal(platform::create<Tnx1xRollbackJournalEngine>(platform::fromUtf8(journal)));
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
    std::vector<std::string> names;
    fs_.listDirectory("/db", names);
    for (const std::string& n : names) EXPECT_FALSE(n.size() > 4 && n.substr(n.size() - 4) == ".n$2") << n;
  }
}

std::string kindName(const ::testing::TestParamInfo<std::tuple<int, bool>>& aParam) {
  static const char* const kKinds[] = {"BeforeAndAfter", "Commit", "Rollback"};
  return std::string(kKinds[std::get<0>(aParam.param)]) + (std::get<1>(aParam.param) ? "RandomSubset" : "");
}

INSTANTIATE_TEST_SUITE_P(Kinds, JournalCrashTest, ::testing::Combine(::testing::Values(0, 1, 2), ::testing::Bool()),
                         kindName);

}  // namespace
