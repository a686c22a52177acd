// Fixed 100-byte records against SQLite in one run: 1,000,000 inserts in one
// transaction committed durably through the rollback journal, then a full
// scan. SQLite runs a rowid table with a 100-byte blob, journal_mode=DELETE,
// synchronous=FULL; both sides get the same cache budget. Prints both times,
// the device barriers of each side's insert and commit, and ours over
// SQLite's (goal: 0.8 or less); then SQLite with WAL and synchronous=NORMAL
// as information.
// Usage: bench_storage [records] [folder] (default 1000000, $TMPDIR or /tmp).
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "nxllBaseLibrary.h"
#include "nxsdDataDictionary.h"
#include "nxsrStorageLibrary.h"
#include "nxseHeaderAccess.h"
#include "nxseRecordEngineStatic.h"
#include "nxseStreamEngine.h"
#include "nxsrFileHandling.h"
#include "nxsrFileImplWin32.h"
#include "nxsrTimeoutHandling.h"
#include "plFileSystem.h"
#include "benchStorageSupport.h"

namespace {


struct Result {
  double insert = 0, scan = 0, commit = 0;
  std::uint64_t checksum = 0, barriers = 0;
};

Result runOurs(const std::string& aPath, std::uint32_t aRecords, std::int32_t aCacheMB,
               CountingFileSystem& aCounter) {
  Result r;
  platform::currentFileSystem().remove(aPath);
  TnxOwned<TnxBufferManager> manager(newBenchManager(aCacheMB));
  TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
  dict->FieldsDescriptor()->AddField(u"Data", u"", nxtByteArray, 96, 0, false);
  TnxOwned<TnxBaseFile> file(TnxBaseFile::Alloc(true, platform::fromUtf8(aPath), manager.get()));
  file->SetBlockSize(nxbs4k);
  file->SetVadurVersion(47005);
  file->SetStreamEngineName(u"nx1xDefault");
  file->OpenFile(omReadWrite, smExclusive, false, true);
  {
    TnxOwned<TnxBlockAccess> main(platform::create<TnxBlockAccess>(file.get(), nullptr, u"bench", 0));
    TnxOwned<TnxBlockAccess> recordAccess(
        platform::create<TnxBlockAccess>(file.get(), main.get(), u"bench", dict->RecordDescriptor()->ID()));
    std::vector<std::uint8_t> record(104, 0);
    const std::uint64_t barriers = aCounter.barriers();
    const auto start = Clock::now();
    TnxOwned<BenchTransaction> trans(newBenchTransaction(manager.get(), platform::folderOf(aPath)));
    file->AddHeader(trans.get(), {}, {'N', 'X', '!', '2'});
    TnxOwned<TnxBaseStreamEngine> stream(
        TnxBaseStreamEngine::CreateEngine(dict->StreamDescriptor(), main.get(), trans.get()));
    dict->WriteToFile(stream.get(), trans.get(), 47501);
    TnxOwned<TnxBaseRecordEngine> records(
        TnxBaseRecordEngine::CreateEngine(dict.get(), {recordAccess.get()}, trans.get()));
    for (std::uint32_t i = 0; i < aRecords; ++i) {
      std::memcpy(record.data(), &i, 4);
      std::memset(record.data() + 4, static_cast<int>(i & 0xFF), 92);
      TnxRefNr refNr = 0;
      records->AddRecord(trans.get(), refNr, record.data());
    }
    const auto commitStart = Clock::now();
    trans->Commit();
    r.commit = seconds(commitStart);
    r.insert = seconds(start);
    r.barriers = aCounter.barriers() - barriers;

    const auto scanStart = Clock::now();
    TnxRefNr refNr = 0;
    records->Iterate(
        nullptr, refNr, nullptr,
        [&](void*, TnxRefNr, PnxRecordBuffer aRecord) {
          std::uint32_t v;
          std::memcpy(&v, aRecord, 4);
          r.checksum += v + aRecord[50];
          return rirContinue;
        },
        nullptr, nullptr, false, false);
    r.scan = seconds(scanStart);
  }
  manager->RemoveFile(file.get());
  file->CloseFile();
  return r;
}

Result runSqlite(const std::string& aPath, std::uint32_t aRecords, std::int32_t aCacheMB, SqliteMode aMode) {
  Result r;
  sqlite3* db = openBenchSqlite(aPath, aCacheMB, aMode);
  std::vector<std::uint8_t> record(100, 0);
  const std::uint64_t barriers = SqliteSyncCounter::barriers();
  const auto start = Clock::now();
  check(sqlite3_exec(db, "CREATE TABLE t(data BLOB); BEGIN", nullptr, nullptr, nullptr), db, "create");
  sqlite3_stmt* insert = nullptr;
  check(sqlite3_prepare_v2(db, "INSERT INTO t(data) VALUES (?)", -1, &insert, nullptr), db, "prepare");
  for (std::uint32_t i = 0; i < aRecords; ++i) {
    std::memcpy(record.data(), &i, 4);
    std::memset(record.data() + 4, static_cast<int>(i & 0xFF), 92);
    sqlite3_bind_blob(insert, 1, record.data(), 100, SQLITE_STATIC);
    check(sqlite3_step(insert), db, "insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  const auto commitStart = Clock::now();
  check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  r.commit = seconds(commitStart);
  r.insert = seconds(start);
  r.barriers = SqliteSyncCounter::barriers() - barriers;

  const auto scanStart = Clock::now();
  sqlite3_stmt* select = nullptr;
  check(sqlite3_prepare_v2(db, "SELECT data FROM t", -1, &select, nullptr), db, "prepare");
  while (sqlite3_step(select) == SQLITE_ROW) {
    const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(select, 0));
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    r.checksum += v + p[50];
  }
  sqlite3_finalize(select);
  r.scan = seconds(scanStart);
  closeBenchSqlite(db, aPath);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint32_t records = argc > 1 ? static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 1000000;
  const std::string folder = argc > 2 ? argv[2] : platform::toUtf8(nxTempFolder());
  nxsdDataDictionaryInitialize(std::span<const nxString>());
  nxsrStorageLibraryInitialize();
  nxSetTimeout(0, true);
  CountingFileSystem counter(platform::currentFileSystem());
  platform::FileSystem* previous = platform::setCurrentFileSystem(&counter);

  const std::int32_t cacheMB = benchCacheMB();
  const std::string ours = folder + "/bench_storage.nx1", theirs = folder + "/bench_storage.sqlite";
  const Result a = runOurs(ours, records, cacheMB, counter);
  const Result b = runSqlite(theirs, records, cacheMB, SqliteMode::durable);
  const Result w = runSqlite(theirs, records, cacheMB, SqliteMode::walNormal);
  if (a.checksum != b.checksum) std::fprintf(stderr, "checksums differ: %llu %llu\n",
                                             static_cast<unsigned long long>(a.checksum),
                                             static_cast<unsigned long long>(b.checksum));
  std::printf("%u records of 100 bytes, cache %d MB each, sqlite %s\n", records, cacheMB,
              sqliteModeName(SqliteMode::durable));
  std::printf("insert+commit  ours %8.3f s  sqlite %8.3f s  ratio %.2f\n", a.insert, b.insert, a.insert / b.insert);
  std::printf("  of it commit ours %8.3f s  sqlite %8.3f s\n", a.commit, b.commit);
  std::printf("  device syncs ours %8llu    sqlite %8llu\n", static_cast<unsigned long long>(a.barriers),
              static_cast<unsigned long long>(b.barriers));
  std::printf("full scan      ours %8.3f s  sqlite %8.3f s  ratio %.2f\n", a.scan, b.scan, a.scan / b.scan);
  const double total = (a.insert + a.scan) / (b.insert + b.scan);
  std::printf("total          ours %8.3f s  sqlite %8.3f s  ratio %.2f\n", a.insert + a.scan, b.insert + b.scan, total);
  std::printf("information: sqlite %s insert+commit %8.3f s (%llu device syncs), full scan %8.3f s\n",
              sqliteModeName(SqliteMode::walNormal), w.insert, static_cast<unsigned long long>(w.barriers), w.scan);
  std::remove(ours.c_str());
  platform::setCurrentFileSystem(previous);

  nxsrStorageLibraryFinalize();
  nxsdDataDictionaryFinalize();
  return 0;
}
