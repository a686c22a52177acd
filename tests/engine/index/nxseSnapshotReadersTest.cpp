// Snapshot readers on threads beside a committing writer: a table with
// records, an index over (ID, Name) whose long keys split nodes early, and
// BLOBs that grow with every commit, in a cache small enough to evict. Each
// commit publishes the state it makes (a model) before it commits; a reader
// learns which commit its snapshot shows from the generation in the first
// BLOB and must see exactly that state (records, the index walked in key
// order, every BLOB's bytes) for as long as it lives, while later commits
// go on.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "nxTestWatchdog.h"
#include "nxseIndexTestSupport.h"

namespace nxtest {

class ThreadSnapshotReader : public TnxBaseTransaction {
  PL_CLASS_INFO_DECL()
 public:
  explicit ThreadSnapshotReader(TnxBufferManager* aManager) : TnxBaseTransaction(aManager, nullptr, true, false) {}
  TnxResult Commit() override { return 0; }
  TnxResult Rollback() override { return 0; }
};
PL_CLASS_INFO_IMPL(ThreadSnapshotReader, TnxBaseTransaction, "ThreadSnapshotReader", nullptr)

namespace {

constexpr int kBlobs = 3;

// Forwards to the test's file system; every read takes a little while, as
// a disk's would, so that commits land while blocks are being loaded.
class SlowReads final : public platform::FileSystem {
 public:
  explicit SlowReads(platform::FileSystem& aInner) : inner_(aInner) {}
  int open(const std::string& aPath, const platform::FileOpenOptions& aOptions, platform::FileId& aFile) override {
    return inner_.open(aPath, aOptions, aFile);
  }
  int openUnnamed(const std::string& aFolder, platform::FileId& aFile) override {
    return inner_.openUnnamed(aFolder, aFile);
  }
  int close(platform::FileId aFile) override { return inner_.close(aFile); }
  int readAt(platform::FileId aFile, void* aBuffer, std::size_t aCount, std::int64_t aOffset,
             std::size_t& aDone) override {
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    return inner_.readAt(aFile, aBuffer, aCount, aOffset, aDone);
  }
  int writeAt(platform::FileId aFile, const void* aBuffer, std::size_t aCount, std::int64_t aOffset,
              std::size_t& aDone) override {
    return inner_.writeAt(aFile, aBuffer, aCount, aOffset, aDone);
  }
  int sync(platform::FileId aFile) override { return inner_.sync(aFile); }
  int truncate(platform::FileId aFile, std::int64_t aSize) override { return inner_.truncate(aFile, aSize); }
  int punchHole(platform::FileId aFile, std::int64_t aOffset, std::int64_t aLength) override {
    return inner_.punchHole(aFile, aOffset, aLength);
  }
  int size(platform::FileId aFile, std::int64_t& aSize) override { return inner_.size(aFile, aSize); }
  int identity(platform::FileId aFile, platform::FileIdentityInfo& aInfo) override {
    return inner_.identity(aFile, aInfo);
  }
  int pathInfo(const std::string& aPath, platform::PathInfo& aInfo) override { return inner_.pathInfo(aPath, aInfo); }
  int remove(const std::string& aPath) override { return inner_.remove(aPath); }
  int rename(const std::string& aFrom, const std::string& aTo) override { return inner_.rename(aFrom, aTo); }
  int listDirectory(const std::string& aPath, std::vector<std::string>& aNames) override {
    return inner_.listDirectory(aPath, aNames);
  }
  int syncDirectory(const std::string& aPath) override { return inner_.syncDirectory(aPath); }
  int fileSystemType(const std::string& aPath, std::string& aType) override {
    return inner_.fileSystemType(aPath, aType);
  }
  std::string absolutePath(const std::string& aPath) override { return inner_.absolutePath(aPath); }

 private:
  platform::FileSystem& inner_;
};

// The state one commit leaves: live records by ID, and BLOB lengths.
struct Model {
  std::map<std::int32_t, TnxRefNr> records;
  std::uint32_t blobLength[kBlobs] = {};
};

constexpr std::uint32_t kCommits = 150;
constexpr std::uint32_t kFirstBlobLength = 100;

// BLOB bytes: the generation that last wrote it (8 decimal digits), then a
// pattern of the BLOB's number and the offset. The pattern is made once per
// BLOB, as long as the last commit makes it: a multi-megabyte string made for
// every write and every look cost most of the test's time under the sanitizers.
std::string blobPattern(int aBlob, std::uint32_t aLength) {
  std::string s(aLength, '\0');
  for (std::uint32_t i = 0; i < aLength; ++i) s[i] = static_cast<char>((aBlob * 31 + i * 7) % 251);
  return s;
}
constexpr std::size_t kHeadLength = 8;
std::string blobHead(std::uint32_t aGeneration) {
  char head[16];
  std::snprintf(head, sizeof head, "%08u", aGeneration);
  return std::string(head, kHeadLength);
}

std::string nameOf(std::int32_t aID) { return "name-" + std::to_string(aID) + std::string(aID % 37, 'x'); }

class SnapshotReadersTest : public IndexTest, public ::testing::WithParamInterface<TnxBlockSize> {
 protected:
  void create(TnxBlockSize aSize) {
    TnxServerDataDict* dict = indexDictionary({IndexDef(u"ByIDName", idNone, {0, 1})});
    dict->FilesDescriptor()->Files(0)->SetBlockSize(aSize);
    auto* blob = platform::objectAs<TnxHeapBlobDescriptor>(dict->AddBlobDescriptor());
    blob->AddHeapDescriptor()->AddBlockHeapDescriptor();
    TnxBaseIndicesEngine::CheckValidBaseFromDescriptor(dict->IndicesDescriptor());
    table_ = &createTable(dict);
    TnxOwned<TestTransaction> trans(newTransaction());
    indexAccess_.reset(platform::create<TnxBlockAccess>(table_->file, table_->main.get(), u"t",
                                                        table_->dict->IndicesDescriptor()->ID()));
    indices_.reset(TnxBaseIndicesEngine::CreateEngine(table_->dict->IndicesDescriptor(), {indexAccess_.get()},
                                                      table_->records.get(), trans.get(), false));
    auto first = std::make_shared<Model>();
    for (int b = 0; b < kBlobs; ++b) {
      patterns_[b] = blobPattern(b, kFirstBlobLength + kCommits * growth() * static_cast<std::uint32_t>(b + 1));
      TnxBlobNr nr = 0;
      table_->blobs->AddBlob(trans.get(), nr);
      blobNrs_.push_back(nr);
      const std::string data = blobHead(0) + patterns_[b].substr(kHeadLength, kFirstBlobLength - kHeadLength);
      table_->blobs->Write(trans.get(), nr, 0, kFirstBlobLength, data.data());
      first->blobLength[b] = kFirstBlobLength;
    }
    trans->Commit();
    models_[0] = first;
  }

  std::shared_ptr<const Model> model(std::uint32_t aGeneration) {
    std::lock_guard<std::mutex> lock(modelMutex_);
    const auto it = models_.find(aGeneration);
    return it == models_.end() ? nullptr : it->second;
  }

  // Commit aGeneration: a few inserts, a delete or two, every BLOB grows and
  // carries the generation. Its model is published before the commit.
  void writerCommit(std::uint32_t aGeneration, std::mt19937& aRandom, Model& aState) {
    TnxOwned<TestTransaction> trans(newTransaction());
    const int inserts = 3 + static_cast<int>(aRandom() % 4);
    for (int i = 0; i < inserts; ++i) {
      const std::int32_t id = nextID_++;
      std::vector<std::uint8_t> r = record(id, nameOf(id));
      TnxRefNr refNr = 0;
      table_->records->AddRecord(trans.get(), refNr, r.data());
      ASSERT_EQ(indices_->InsertKeys(trans.get(), refNr, r.data(), nullptr), 0);
      aState.records[id] = refNr;
    }
    const int deletes = 1 + static_cast<int>(aRandom() % 2);
    for (int i = 0; i < deletes && aState.records.size() > 4; ++i) {
      auto it = aState.records.begin();
      std::advance(it, static_cast<std::ptrdiff_t>(aRandom() % aState.records.size()));
      std::vector<std::uint8_t> r = record(it->first, nameOf(it->first));
      ASSERT_EQ(indices_->DeleteKeys(trans.get(), it->second, r.data(), nullptr), 0);
      table_->records->DeleteRecord(trans.get(), it->second);
      aState.records.erase(it);
    }
    const std::string head = blobHead(aGeneration);
    for (int b = 0; b < kBlobs; ++b) {
      const std::uint32_t length = aState.blobLength[b] + growth() * static_cast<std::uint32_t>(b + 1);
      // The head carries the generation; the rest is appended.
      table_->blobs->Write(trans.get(), blobNrs_[static_cast<std::size_t>(b)], 0, kHeadLength, head.data());
      table_->blobs->Write(trans.get(), blobNrs_[static_cast<std::size_t>(b)], aState.blobLength[b],
                           length - aState.blobLength[b], patterns_[b].data() + aState.blobLength[b]);
      aState.blobLength[b] = length;
    }
    {
      std::lock_guard<std::mutex> lock(modelMutex_);
      models_[aGeneration] = std::make_shared<Model>(aState);
    }
    trans->Commit();
  }

  // The engines one reader session uses (made without a transaction: a
  // reader registers nothing).
  struct ReaderEngines {
    TnxOwned<TnxBlockAccess> main, recordAccess, blobAccess, indexAccess;
    TnxOwned<TnxBaseRecordEngine> records;
    TnxOwned<TnxBaseBlobEngine> blobs;
    TnxOwned<TnxBaseIndicesEngine> indices;
  };
  void openEngines(ReaderEngines& e) {
    TnxServerDataDict* dict = table_->dict.get();
    e.main.reset(platform::create<TnxBlockAccess>(table_->file, nullptr, u"t", 0));
    e.recordAccess.reset(
        platform::create<TnxBlockAccess>(table_->file, e.main.get(), u"t", dict->RecordDescriptor()->ID()));
    e.blobAccess.reset(
        platform::create<TnxBlockAccess>(table_->file, e.main.get(), u"t", dict->BlobDescriptor()->ID()));
    e.indexAccess.reset(
        platform::create<TnxBlockAccess>(table_->file, e.main.get(), u"t", dict->IndicesDescriptor()->ID()));
    e.records.reset(TnxBaseRecordEngine::CreateEngine(dict, {e.recordAccess.get()}, nullptr));
    e.blobs.reset(TnxBaseBlobEngine::CreateEngine(dict, {e.blobAccess.get()}, nullptr));
    e.indices.reset(TnxBaseIndicesEngine::CreateEngine(dict->IndicesDescriptor(), {e.indexAccess.get()},
                                                       e.records.get(), nullptr, false));
  }

  // The first aCount bytes of the BLOB.
  std::string readBlobHead(ReaderEngines& e, TnxBaseTransaction* aTrans, int aBlob, std::uint32_t aCount) {
    TnxAnsiStringStream stream;
    e.blobs->Read(aTrans, blobNrs_[static_cast<std::size_t>(aBlob)], 0, aCount, nullptr, stream);
    return stream.DataString();
  }
  // Whether the whole BLOB aBlob is what generation aGeneration left there, aLength bytes long.
  bool blobHolds(ReaderEngines& e, TnxBaseTransaction* aTrans, int aBlob, std::uint32_t aGeneration,
                 std::uint32_t aLength) {
    // Room for the expected length from the start: no reallocation while the BLOB streams in.
    std::string room;
    room.reserve(aLength);
    TnxAnsiStringStream stream(std::move(room));
    e.blobs->Read(aTrans, blobNrs_[static_cast<std::size_t>(aBlob)], 0, 0xFFFFFFFFu, nullptr, stream);
    const std::string& data = stream.DataString();
    const std::string& pattern = patterns_[aBlob];
    if (data.size() != aLength || aLength < kHeadLength || aLength > pattern.size()) return false;
    return data.compare(0, kHeadLength, blobHead(aGeneration)) == 0 &&
           data.compare(kHeadLength, std::string::npos, pattern, kHeadLength, aLength - kHeadLength) == 0;
  }
  std::uint32_t growth() const { return table_->file->BlockBytes() / 16; }

  // What the reader sees against the model of its generation; "" when equal.
  std::string compare(ReaderEngines& e, TnxBaseTransaction* aTrans, std::uint32_t aGeneration, const Model& aModel) {
    const std::string at = " (generation " + std::to_string(aGeneration) + ")";
    // Records, in the engine's order.
    std::map<std::int32_t, TnxRefNr> seen;
    std::string fault;
    TnxRefNr refNr = 0;
    PnxRecordBuffer data = nullptr;
    auto it = [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
      std::int32_t id = 0;
      std::memcpy(&id, aRecord + table_->dict->FieldsDescriptor()->Fields(0)->fdOffset, 4);
      if (!seen.emplace(id, aRefNr).second) fault = "record " + std::to_string(id) + " twice";
      return rirContinue;
    };
    e.records->Iterate(aTrans, refNr, &data, it, nullptr, nullptr, false, false);
    if (!fault.empty()) return fault + at;
    if (seen != aModel.records)
      return "records: " + std::to_string(seen.size()) + " seen, " + std::to_string(aModel.records.size()) +
             " committed" + at;
    // The index in key order: the records by ID.
    TnxBaseIndexEngine* index = e.indices->biseGetIndex(0);
    TnxOwned<TnxBaseIndexPath> path(index->CreateIndexPath());
    auto expected = aModel.records.begin();
    std::size_t walked = 0;
    while (index->NextKey(aTrans, path.get(), nullptr)) {
      if (expected == aModel.records.end() || path->RefNr != expected->second)
        return "index entry " + std::to_string(walked) + " out of place" + at;
      ++expected;
      ++walked;
    }
    if (expected != aModel.records.end())
      return "index: " + std::to_string(walked) + " entries of " + std::to_string(aModel.records.size()) + at;
    std::uint32_t keys = 0;
    index->GetKeyCount(aTrans, keys);
    if (keys != aModel.records.size()) return "key count " + std::to_string(keys) + at;
    for (int b = 0; b < kBlobs; ++b)
      if (!blobHolds(e, aTrans, b, aGeneration, aModel.blobLength[b]))
        return "BLOB " + std::to_string(b) + at;
    return std::string();
  }

  // One reader thread: snapshot sessions until the writer is done; each
  // looks at its state twice with commits in between. Answers the first
  // fault it saw ("" when none).
  std::string readerLoop(std::atomic<bool>& aDone, std::atomic<int>& aSessions) {
    while (!aDone.load()) {
      TnxOwned<ThreadSnapshotReader> reader(platform::create<ThreadSnapshotReader>(manager_));
      ReaderEngines e;
      openEngines(e);
      const std::string head = readBlobHead(e, reader.get(), 0, kHeadLength);
      const auto generation = static_cast<std::uint32_t>(std::stoul(head));
      const std::shared_ptr<const Model> m = model(generation);
      if (!m) return "no model for generation " + head;
      for (int look = 0; look < 2; ++look) {
        const std::string fault = compare(e, reader.get(), generation, *m);
        if (!fault.empty()) return (look ? "later look: " : "first look: ") + fault;
        std::this_thread::yield();
      }
      ++aSessions;
    }
    return std::string();
  }

  std::vector<TnxBlobNr> blobNrs_;
  std::string patterns_[kBlobs];
  std::mutex modelMutex_;
  std::map<std::uint32_t, std::shared_ptr<const Model>> models_;
  std::int32_t nextID_ = 1;
};

TEST_P(SnapshotReadersTest, EveryReaderSeesExactlyItsCommitWhileOthersCommit) {
  create(GetParam());
  // A cache of 1 MB: images are evicted and read again all the time.
  manager_->SetMaxRAM(1);
  SlowReads slow(fs_);
  platform::setCurrentFileSystem(&slow);
  constexpr int kReaders = 3;
  std::atomic<bool> done{false};
  std::atomic<int> sessions{0}, stopped{0};
  std::vector<std::string> faults(kReaders);
  Watchdog watchdog(std::chrono::milliseconds(240000));
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i)
    readers.emplace_back([&, i] {
      nxSetTimeout(0, true);  // deadlines are per thread: none here either
      try {
        faults[static_cast<std::size_t>(i)] = readerLoop(done, sessions);
      } catch (const EnxBaseException& e) {
        faults[static_cast<std::size_t>(i)] = "raised " + platform::toUtf8(e.Message());
      } catch (const std::exception& e) {
        faults[static_cast<std::size_t>(i)] = std::string("raised ") + e.what();
      }
      ++stopped;
    });
  std::mt19937 random(20261211u + static_cast<std::uint32_t>(GetParam()));
  Model state = *model(0);
  for (std::uint32_t g = 1; g <= kCommits && !HasFatalFailure(); ++g) writerCommit(g, random, state);
  // A busy machine may starve the readers: they get the time for a few
  // sessions each before they stop.
  while (sessions.load() < 2 * kReaders && stopped.load() < kReaders)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  done = true;
  for (std::thread& t : readers) t.join();
  platform::setCurrentFileSystem(&fs_);
  for (int i = 0; i < kReaders; ++i) EXPECT_EQ(faults[static_cast<std::size_t>(i)], "") << "reader " << i;
  EXPECT_GE(sessions.load(), 2 * kReaders);
  // The writer's own view at the end, through the fixture's independent walk.
  TnxOwned<TestTransaction> trans(newTransaction());
  const std::vector<Entry> entries = checkTree(trans.get());
  EXPECT_EQ(entries.size(), state.records.size());
  std::uint32_t depth = 0;
  checkTree(trans.get(), 0, &depth);
  EXPECT_GE(depth, 2u) << "the index never split";
  trans->Rollback();
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, SnapshotReadersTest, ::testing::Values(nxbs4k, nxbs16k, nxbs64k),
                         [](const ::testing::TestParamInfo<TnxBlockSize>& aInfo) {
                           return std::to_string(4 << static_cast<int>(aInfo.param)) + "k";
                         });

}  // namespace
}  // namespace nxtest
