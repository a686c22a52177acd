// Small durable journaled commits against SQLite in the same run: each
// commit changes the indexed key of one record of a 10,000-record table
// with a unique Int32 index, through a rollback journal and synced writes
// (SQLite: journal_mode=DELETE, synchronous=FULL, one UPDATE per
// transaction); both sides get the same cache budget. Prints the time and
// the device syncs per commit of both, ours over SQLite's and ours over the
// floor: one 4 KB write plus fdatasync through our file layer; SQLite with
// WAL and synchronous=NORMAL as information.
// Then the table ciphers' throughput on one core: Blowfish/RC4 on 4 KB
// blocks (IV reset per block, as table blocks are coded) and the RC4
// keystream alone.
// Usage: bench_commit [commits] [folder] (default 200, $TMPDIR or /tmp).
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "nxllBaseLibrary.h"
#include "nxllBlowfishRC4.h"
#include "nxsdDataDictionary.h"
#include "nxseIndexLibrary.h"
#include "nxseHeaderAccess.h"
#include "nxseIndexEngineStaticKeyBstarTree.h"
#include "nxseIndicesEngineSimple.h"
#include "nxseJournalEngine.h"
#include "nxseRecordEngineStatic.h"
#include "nxseStreamEngine.h"
#include "nxsrFileHandling.h"
#include "nxsrFileImplWin32.h"
#include "nxsrTimeoutHandling.h"
#include "plFileSystem.h"
#include "benchStorageSupport.h"

namespace {

constexpr std::int32_t kRecords = 10000;

void fail(const char* aWhat) {
  std::fprintf(stderr, "%s\n", aWhat);
  std::exit(1);
}

struct Result {
  double seconds = 0;
  std::uint64_t barriers = 0;
};

// Seconds for aCommits journaled commits, each changing one record's key.
Result runOurs(const std::string& aFolder, std::int32_t aCommits, CountingFileSystem& aCounter) {
  const std::string path = aFolder + "/bench_commit.nx1";
  platform::currentFileSystem().remove(path);
  TnxOwned<TnxBufferManager> manager(newBenchManager(benchCacheMB()));
  TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
  dict->FieldsDescriptor()->AddField(u"ID", u"", nxtInt32, 0, 0, true);
  dict->FieldsDescriptor()->AddField(u"Data", u"", nxtByteArray, 96, 0, false);
  TnxMainIndicesDescriptor* indices = dict->EnsureIndicesDescriptor();
  indices->RemoveIndex(u"Sequential Access Index");
  static_cast<TnxCompKeyDescriptor*>(indices->AddIndex(u"ID", 0, idNone, u"")->KeyDescriptor())->Add(0);
  TnxBaseIndicesEngine::CheckValidBaseFromDescriptor(indices);
  TnxOwned<TnxBaseFile> file(TnxBaseFile::Alloc(true, platform::fromUtf8(path), manager.get()));
  file->SetBlockSize(nxbs4k);
  file->SetVadurVersion(47005);
  file->SetStreamEngineName(u"nx1xDefault");
  file->OpenFile(omReadWrite, smExclusive, false, true);
  Result result;
  {
    TnxOwned<TnxBlockAccess> main(platform::create<TnxBlockAccess>(file.get(), nullptr, u"bench", 0));
    TnxOwned<TnxBlockAccess> recordAccess(
        platform::create<TnxBlockAccess>(file.get(), main.get(), u"bench", dict->RecordDescriptor()->ID()));
    TnxOwned<TnxBlockAccess> indexAccess(
        platform::create<TnxBlockAccess>(file.get(), main.get(), u"bench", indices->ID()));
    TnxFieldsDescriptor* fields = dict->FieldsDescriptor();
    const std::size_t length = static_cast<std::size_t>(fields->RecordLength()) + 8;
    std::vector<std::uint8_t> record(length, 0), old(length, 0);
    auto fill = [&](std::vector<std::uint8_t>& aRecord, std::int32_t aID) {
      fields->InitRecord(aRecord.data());
      fields->SetRecordField(0, aRecord.data(), &aID);
      std::uint8_t data[96];
      std::memset(data, aID & 0xFF, sizeof data);
      fields->SetRecordField(1, aRecord.data(), data);
    };
    TnxOwned<BenchTransaction> trans(newBenchTransaction(manager.get(), aFolder));
    file->AddHeader(trans.get(), {}, {'N', 'X', '!', '2'});
    TnxOwned<TnxBaseStreamEngine> stream(
        TnxBaseStreamEngine::CreateEngine(dict->StreamDescriptor(), main.get(), trans.get()));
    dict->WriteToFile(stream.get(), trans.get(), 47501);
    TnxOwned<TnxBaseRecordEngine> records(
        TnxBaseRecordEngine::CreateEngine(dict.get(), {recordAccess.get()}, trans.get()));
    TnxOwned<TnxBaseIndicesEngine> keys(
        TnxBaseIndicesEngine::CreateEngine(indices, {indexAccess.get()}, records.get(), trans.get(), false));
    std::vector<TnxRefNr> refNrs;
    for (std::int32_t id = 0; id < kRecords; ++id) {
      fill(record, id);
      TnxRefNr refNr = 0;
      records->AddRecord(trans.get(), refNr, record.data());
      if (keys->InsertKeys(trans.get(), refNr, record.data(), nullptr) != 0) fail("key insert failed");
      refNrs.push_back(refNr);
    }
    trans->Commit();
    trans.reset();

    const std::uint64_t barriers = aCounter.barriers();
    const auto start = Clock::now();
    for (std::int32_t i = 0; i < aCommits; ++i) {
      const std::int32_t slot = (i * 7919) % kRecords;
      TnxOwned<BenchTransaction> one(newBenchTransaction(manager.get(), aFolder));
      records->ReadRecord(one.get(), refNrs[static_cast<std::size_t>(slot)], old.data());
      std::int32_t id = 0;
      bool isNull = false;
      fields->GetRecordField(0, old.data(), isNull, &id);
      fill(record, id + kRecords);
      records->UpdateRecord(one.get(), refNrs[static_cast<std::size_t>(slot)], record.data(), old.data());
      if (keys->UpdateKeys(one.get(), refNrs[static_cast<std::size_t>(slot)], old.data(),
                           refNrs[static_cast<std::size_t>(slot)], record.data(), nullptr) != 0)
        fail("key update failed");
      one->Commit();
    }
    result.seconds = seconds(start);
    result.barriers = aCounter.barriers() - barriers;
  }
  manager->RemoveFile(file.get());
  file->CloseFile();
  platform::currentFileSystem().remove(path);
  return result;
}

Result runSqlite(const std::string& aFolder, std::int32_t aCommits, SqliteMode aMode) {
  const std::string path = aFolder + "/bench_commit.sqlite";
  sqlite3* db = openBenchSqlite(path, benchCacheMB(), aMode);
  check(sqlite3_exec(db, "CREATE TABLE t(id INTEGER NOT NULL, data BLOB); CREATE UNIQUE INDEX t_id ON t(id); BEGIN",
                     nullptr, nullptr, nullptr),
        db, "create");
  sqlite3_stmt* insert = nullptr;
  check(sqlite3_prepare_v2(db, "INSERT INTO t(id, data) VALUES (?, ?)", -1, &insert, nullptr), db, "prepare");
  std::uint8_t data[96];
  for (std::int32_t id = 0; id < kRecords; ++id) {
    std::memset(data, id & 0xFF, sizeof data);
    sqlite3_bind_int(insert, 1, id);
    sqlite3_bind_blob(insert, 2, data, 96, SQLITE_STATIC);
    check(sqlite3_step(insert), db, "insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  // The row is found by its rowid, as ours is by its record number; the
  // indexed key changes.
  sqlite3_stmt* update = nullptr;
  check(sqlite3_prepare_v2(db, "UPDATE t SET id = id + ?, data = ? WHERE rowid = ?", -1, &update, nullptr), db,
        "prepare");
  const std::uint64_t barriers = SqliteSyncCounter::barriers();
  const auto start = Clock::now();
  for (std::int32_t i = 0; i < aCommits; ++i) {
    const std::int32_t slot = (i * 7919) % kRecords;
    std::memset(data, (slot + kRecords) & 0xFF, sizeof data);
    sqlite3_bind_int(update, 1, kRecords);
    sqlite3_bind_blob(update, 2, data, 96, SQLITE_STATIC);
    sqlite3_bind_int64(update, 3, slot + 1);
    check(sqlite3_step(update), db, "update");
    sqlite3_reset(update);
  }
  Result result{seconds(start), SqliteSyncCounter::barriers() - barriers};
  sqlite3_finalize(update);
  closeBenchSqlite(db, path);
  return result;
}

// One 4 KB write and fdatasync per commit, through our file layer.
double runFloor(const std::string& aFolder, std::int32_t aCommits) {
  const std::string path = aFolder + "/bench_commit.floor";
  platform::FileSystem& fs = platform::currentFileSystem();
  platform::FileId id{};
  platform::FileOpenOptions options;
  options.create = true;
  if (fs.open(path, options, id) != 0) fail("floor file not opened");
  std::vector<std::uint8_t> block(4096, 0x5A);
  std::size_t done = 0;
  for (std::int32_t i = 0; i < 16; ++i) fs.writeAt(id, block.data(), block.size(), i * 4096, done);
  fs.sync(id);
  const auto start = Clock::now();
  for (std::int32_t i = 0; i < aCommits; ++i) {
    block[0] = static_cast<std::uint8_t>(i);
    if (fs.writeAt(id, block.data(), block.size(), (i % 16) * 4096, done) != 0 || fs.sync(id) != 0)
      fail("floor write failed");
  }
  const double elapsed = seconds(start);
  fs.close(id);
  fs.remove(path);
  return elapsed;
}

// MB/s of one core: Blowfish/RC4 coding 4 KB blocks, IV reset per block.
double blowfishRate() {
  TnxOwned<TnxBlowFishRC4> cipher(platform::create<TnxBlowFishRC4>(TnxByteString(32, 'k')));
  std::vector<std::uint8_t> block(4096, 0x33);
  std::uint8_t mac[8];
  const std::int32_t blocks = 16384;  // 64 MB
  const auto start = Clock::now();
  for (std::int32_t i = 0; i < blocks; ++i) {
    cipher->ResetIV(static_cast<std::uint32_t>(i), 0x9E3779B9u);
    cipher->Encode(block.data(), block.size());
    cipher->Final(mac);
  }
  const double elapsed = seconds(start);
  if (block[0] == mac[0] && block[1] == mac[1] && block[2] == mac[2]) std::printf(" ");  // keeps the work
  return blocks * 4096.0 / 1048576.0 / elapsed;
}

double rc4Rate() {
  TnxOwned<TnxRC4> rc4(platform::create<TnxRC4>());
  rc4->SetKeys(std::string(16, 'k'));
  std::vector<std::uint8_t> buffer(4096, 0x33);
  const std::int32_t blocks = 32768;  // 128 MB
  const auto start = Clock::now();
  for (std::int32_t i = 0; i < blocks; ++i)
    for (std::size_t j = 0; j < buffer.size(); j += 4) {
      std::uint32_t w;
      std::memcpy(&w, buffer.data() + j, 4);
      w ^= rc4->KeyStream();
      std::memcpy(buffer.data() + j, &w, 4);
    }
  const double elapsed = seconds(start);
  if (buffer[0] == 0 && buffer[1] == 0 && buffer[2] == 0) std::printf(" ");  // keeps the work
  return blocks * 4096.0 / 1048576.0 / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  const std::int32_t commits = argc > 1 ? static_cast<std::int32_t>(std::strtol(argv[1], nullptr, 10)) : 200;
  const std::string folder = argc > 2 ? argv[2] : platform::toUtf8(nxTempFolder());
  nxsdDataDictionaryInitialize(std::span<const nxString>());
  nxseIndexLibraryInitialize();
  nxSetTimeout(0, true);
  CountingFileSystem counter(platform::currentFileSystem());
  platform::FileSystem* previous = platform::setCurrentFileSystem(&counter);

  const double floor = runFloor(folder, commits);
  const Result ours = runOurs(folder, commits, counter);
  const Result theirs = runSqlite(folder, commits, SqliteMode::durable);
  const Result wal = runSqlite(folder, commits, SqliteMode::walNormal);
  platform::setCurrentFileSystem(previous);
  std::printf("%d durable commits, one indexed record each, %d records, folder %s, cache %d MB each, sqlite %s\n",
              commits, kRecords, folder.c_str(), benchCacheMB(), sqliteModeName(SqliteMode::durable));
  std::printf("per commit  ours %8.3f ms  sqlite %8.3f ms  floor %8.3f ms (4 KB pwrite + fdatasync)\n",
              ours.seconds * 1000 / commits, theirs.seconds * 1000 / commits, floor * 1000 / commits);
  std::printf("device syncs per commit  ours %.2f  sqlite %.2f\n", static_cast<double>(ours.barriers) / commits,
              static_cast<double>(theirs.barriers) / commits);
  std::printf("ours/sqlite %.2f  ours/floor %.2f  sqlite/floor %.2f\n", ours.seconds / theirs.seconds,
              ours.seconds / floor, theirs.seconds / floor);
  std::printf("information: sqlite %s %8.3f ms per commit, %.2f device syncs per commit\n",
              sqliteModeName(SqliteMode::walNormal), wal.seconds * 1000 / commits,
              static_cast<double>(wal.barriers) / commits);
  std::printf("Blowfish/RC4 %8.1f MB/s per core (4 KB blocks)\n", blowfishRate());
  std::printf("RC4          %8.1f MB/s per core (keystream)\n", rc4Rate());

  nxseIndexLibraryFinalize();
  nxsdDataDictionaryFinalize();
  return 0;
}
