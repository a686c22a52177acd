// Point lookups and range scans through a unique Int32 index against SQLite
// with an index on the same column, in one run: 1,000,000 records (an Int32
// and 96 bytes) inserted with their keys and committed durably (ours through
// the rollback journal; SQLite journal_mode=DELETE, synchronous=FULL), then
// random lookups by key that read the record, then range scans of 10,000
// keys. Both sides get the same cache budget. Prints both times and ours over
// SQLite's (goal for the point lookups: 0.8 or less), and the load with
// SQLite in WAL with synchronous=NORMAL as information.
// Usage: bench_btree [records] [folder] (default 1000000, $TMPDIR or /tmp).
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "nxllBaseLibrary.h"
#include "nxsdDataDictionary.h"
#include "nxseIndexLibrary.h"
#include "nxseHeaderAccess.h"
#include "nxseIndexEngineStaticKeyBstarTree.h"
#include "nxseIndicesEngineSimple.h"
#include "nxseRecordEngineStatic.h"
#include "nxseStreamEngine.h"
#include "nxsrFileHandling.h"
#include "nxsrFileImplWin32.h"
#include "nxsrTimeoutHandling.h"
#include "plFileSystem.h"
#include "benchStorageSupport.h"

namespace {


constexpr std::uint32_t kRange = 10000;

struct Result {
  double load = 0, lookups = 0, ranges = 0;
  std::uint64_t checksum = 0, barriers = 0;
};

// The keys in insertion order (a fixed shuffle) and the lookup order.
std::vector<std::int32_t> shuffled(std::uint32_t aCount, std::uint32_t aSeed) {
  std::vector<std::int32_t> v(aCount);
  for (std::uint32_t i = 0; i < aCount; ++i) v[i] = static_cast<std::int32_t>(i);
  std::mt19937 rng(aSeed);
  std::shuffle(v.begin(), v.end(), rng);
  return v;
}

Result runOurs(const std::string& aPath, std::uint32_t aRecords, const std::vector<std::int32_t>& aLoad,
               const std::vector<std::int32_t>& aLookups, const std::vector<std::int32_t>& aRanges,
               std::int32_t aCacheMB, CountingFileSystem& aCounter) {
  Result r;
  platform::currentFileSystem().remove(aPath);
  TnxOwned<TnxBufferManager> manager(newBenchManager(aCacheMB));
  TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
  dict->FieldsDescriptor()->AddField(u"ID", u"", nxtInt32, 0, 0, true);
  dict->FieldsDescriptor()->AddField(u"Data", u"", nxtByteArray, 96, 0, false);
  TnxMainIndicesDescriptor* indices = dict->EnsureIndicesDescriptor();
  // The RefNr key of the sequential index has no key engine yet.
  indices->RemoveIndex(u"Sequential Access Index");
  static_cast<TnxCompKeyDescriptor*>(indices->AddIndex(u"ID", 0, idNone, u"")->KeyDescriptor())->Add(0);
  TnxBaseIndicesEngine::CheckValidBaseFromDescriptor(indices);
  TnxOwned<TnxBaseFile> file(TnxBaseFile::Alloc(true, platform::fromUtf8(aPath), manager.get()));
  file->SetBlockSize(nxbs4k);
  file->SetVadurVersion(47005);
  file->SetStreamEngineName(u"nx1xDefault");
  file->OpenFile(omReadWrite, smExclusive, false, true);
  {
    TnxOwned<TnxBlockAccess> main(platform::create<TnxBlockAccess>(file.get(), nullptr, u"bench", 0));
    TnxOwned<TnxBlockAccess> recordAccess(
        platform::create<TnxBlockAccess>(file.get(), main.get(), u"bench", dict->RecordDescriptor()->ID()));
    TnxOwned<TnxBlockAccess> indexAccess(
        platform::create<TnxBlockAccess>(file.get(), main.get(), u"bench", indices->ID()));
    TnxFieldsDescriptor* fields = dict->FieldsDescriptor();
    std::vector<std::uint8_t> record(static_cast<std::size_t>(fields->RecordLength()) + 8, 0);
    const std::uint64_t barriers = aCounter.barriers();
    const auto start = Clock::now();
    TnxOwned<BenchTransaction> trans(newBenchTransaction(manager.get(), platform::folderOf(aPath)));
    file->AddHeader(trans.get(), {}, {'N', 'X', '!', '2'});
    TnxOwned<TnxBaseStreamEngine> stream(
        TnxBaseStreamEngine::CreateEngine(dict->StreamDescriptor(), main.get(), trans.get()));
    dict->WriteToFile(stream.get(), trans.get(), 47501);
    TnxOwned<TnxBaseRecordEngine> records(
        TnxBaseRecordEngine::CreateEngine(dict.get(), {recordAccess.get()}, trans.get()));
    TnxOwned<TnxBaseIndicesEngine> keys(
        TnxBaseIndicesEngine::CreateEngine(indices, {indexAccess.get()}, records.get(), trans.get(), false));
    for (std::uint32_t i = 0; i < aRecords; ++i) {
      fields->InitRecord(record.data());
      const std::int32_t id = aLoad[i];
      fields->SetRecordField(0, record.data(), &id);
      std::uint8_t data[96];
      std::memset(data, id & 0xFF, sizeof data);
      fields->SetRecordField(1, record.data(), data);
      TnxRefNr refNr = 0;
      records->AddRecord(trans.get(), refNr, record.data());
      if (keys->InsertKeys(trans.get(), refNr, record.data(), nullptr) != 0) {
        std::fprintf(stderr, "key insert failed\n");
        std::exit(1);
      }
    }
    trans->Commit();
    r.load = seconds(start);
    r.barriers = aCounter.barriers() - barriers;

    TnxBaseIndexEngine* index = keys->biseGetIndex(0);
    TnxBaseKeyEngine* keyEngine = index->bieKeyEngine.get();
    TnxOwned<TnxBaseIndexPath> path(index->CreateIndexPath());
    PnxKeyBuffer key = keyEngine->AllocKey();
    PnxKeyBuffer key2 = keyEngine->AllocKey();
    std::vector<std::uint8_t> probe(record.size(), 0), row(record.size(), 0);
    TnxOwned<BenchTransaction> reader(platform::create<BenchTransaction>(manager.get()));
    auto buildKey = [&](std::int32_t aID, PnxKeyBuffer aKey) {
      fields->InitRecord(probe.data());
      fields->SetRecordField(0, probe.data(), &aID);
      keyEngine->BuildKey(probe.data(), aKey, 0, true);
    };
    const auto lookupStart = Clock::now();
    for (const std::int32_t id : aLookups) {
      buildKey(id, key);
      if (!index->FindKey(reader.get(), key, 0, 0, 0, path.get(), skaEqualFirst, nullptr)) {
        std::fprintf(stderr, "key %d not found\n", id);
        std::exit(1);
      }
      records->ReadRecord(reader.get(), path->RefNr, row.data());
      r.checksum += static_cast<std::uint64_t>(row[4 + 10]);
    }
    r.lookups = seconds(lookupStart);
    const auto rangeStart = Clock::now();
    for (const std::int32_t from : aRanges) {
      buildKey(from, key);
      buildKey(from + static_cast<std::int32_t>(kRange) - 1, key2);
      TnxRangeInfo lo{key, 0, 0, false, true}, hi{key2, 0, 0, false, true};
      index->Iterate(reader.get(), path.get(), nullptr, {},
                     [&](void*, TnxRefNr, PnxRecordBuffer aRecord) {
                       std::int32_t id;
                       std::memcpy(&id, aRecord, 4);
                       r.checksum += static_cast<std::uint64_t>(id);
                       return rirContinue;
                     },
                     nullptr, lo, hi, nullptr, nullptr, false);
    }
    r.ranges = seconds(rangeStart);
    reader->Commit();
    keyEngine->FreeKey(key);
    keyEngine->FreeKey(key2);
  }
  manager->RemoveFile(file.get());
  file->CloseFile();
  return r;
}

Result runSqlite(const std::string& aPath, std::uint32_t aRecords, const std::vector<std::int32_t>& aLoad,
                 const std::vector<std::int32_t>& aLookups, const std::vector<std::int32_t>& aRanges,
                 std::int32_t aCacheMB, SqliteMode aMode) {
  Result r;
  sqlite3* db = openBenchSqlite(aPath, aCacheMB, aMode);
  const std::uint64_t barriers = SqliteSyncCounter::barriers();
  const auto start = Clock::now();
  check(sqlite3_exec(db, "CREATE TABLE t(id INTEGER NOT NULL, data BLOB); CREATE UNIQUE INDEX t_id ON t(id); BEGIN",
                     nullptr, nullptr, nullptr),
        db, "create");
  sqlite3_stmt* insert = nullptr;
  check(sqlite3_prepare_v2(db, "INSERT INTO t(id, data) VALUES (?, ?)", -1, &insert, nullptr), db, "prepare");
  std::uint8_t data[96];
  for (std::uint32_t i = 0; i < aRecords; ++i) {
    const std::int32_t id = aLoad[i];
    std::memset(data, id & 0xFF, sizeof data);
    sqlite3_bind_int(insert, 1, id);
    sqlite3_bind_blob(insert, 2, data, 96, SQLITE_STATIC);
    check(sqlite3_step(insert), db, "insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  r.load = seconds(start);
  r.barriers = SqliteSyncCounter::barriers() - barriers;

  // The reads run in one read transaction, as ours run in one transaction.
  check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
  sqlite3_stmt* lookup = nullptr;
  check(sqlite3_prepare_v2(db, "SELECT data FROM t WHERE id = ?", -1, &lookup, nullptr), db, "prepare");
  const auto lookupStart = Clock::now();
  for (const std::int32_t id : aLookups) {
    sqlite3_bind_int(lookup, 1, id);
    if (sqlite3_step(lookup) != SQLITE_ROW) {
      std::fprintf(stderr, "sqlite key %d not found\n", id);
      std::exit(1);
    }
    r.checksum += static_cast<const std::uint8_t*>(sqlite3_column_blob(lookup, 0))[10];
    sqlite3_reset(lookup);
  }
  r.lookups = seconds(lookupStart);
  sqlite3_finalize(lookup);
  sqlite3_stmt* range = nullptr;
  check(sqlite3_prepare_v2(db, "SELECT id, data FROM t WHERE id BETWEEN ? AND ? ORDER BY id", -1, &range, nullptr),
        db, "prepare");
  const auto rangeStart = Clock::now();
  for (const std::int32_t from : aRanges) {
    sqlite3_bind_int(range, 1, from);
    sqlite3_bind_int(range, 2, from + static_cast<std::int32_t>(kRange) - 1);
    while (sqlite3_step(range) == SQLITE_ROW) r.checksum += static_cast<std::uint64_t>(sqlite3_column_int(range, 0));
    sqlite3_reset(range);
  }
  r.ranges = seconds(rangeStart);
  sqlite3_finalize(range);
  check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  closeBenchSqlite(db, aPath);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint32_t records = argc > 1 ? static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 1000000;
  const std::string folder = argc > 2 ? argv[2] : platform::toUtf8(nxTempFolder());
  nxsdDataDictionaryInitialize(std::span<const nxString>());
  nxseIndexLibraryInitialize();
  nxSetTimeout(0, true);
  CountingFileSystem counter(platform::currentFileSystem());
  platform::FileSystem* previous = platform::setCurrentFileSystem(&counter);
  const std::int32_t cacheMB = benchCacheMB();

  const std::vector<std::int32_t> load = shuffled(records, 1);
  std::vector<std::int32_t> lookups = shuffled(records, 2);
  lookups.resize(std::min<std::size_t>(lookups.size(), 200000));
  std::vector<std::int32_t> ranges;
  std::mt19937 rng(3);
  for (int i = 0; i < 50 && records > kRange; ++i) ranges.push_back(static_cast<std::int32_t>(rng() % (records - kRange)));

  const std::string ours = folder + "/bench_btree.nx1", theirs = folder + "/bench_btree.sqlite";
  const Result a = runOurs(ours, records, load, lookups, ranges, cacheMB, counter);
  const Result b = runSqlite(theirs, records, load, lookups, ranges, cacheMB, SqliteMode::durable);
  const Result w = runSqlite(theirs, records, load, lookups, ranges, cacheMB, SqliteMode::walNormal);
  if (a.checksum != b.checksum)
    std::fprintf(stderr, "checksums differ: %llu %llu\n", static_cast<unsigned long long>(a.checksum),
                 static_cast<unsigned long long>(b.checksum));
  std::printf("%u records, unique Int32 index; %zu point lookups, %zu ranges of %u keys; cache %d MB each, sqlite %s\n",
              records, lookups.size(), ranges.size(), kRange, cacheMB, sqliteModeName(SqliteMode::durable));
  std::printf("load+commit    ours %8.3f s  sqlite %8.3f s  ratio %.2f\n", a.load, b.load, a.load / b.load);
  std::printf("  device syncs ours %8llu    sqlite %8llu\n", static_cast<unsigned long long>(a.barriers),
              static_cast<unsigned long long>(b.barriers));
  std::printf("point lookups  ours %8.3f s  sqlite %8.3f s  ratio %.2f\n", a.lookups, b.lookups,
              a.lookups / b.lookups);
  std::printf("range scans    ours %8.3f s  sqlite %8.3f s  ratio %.2f\n", a.ranges, b.ranges, a.ranges / b.ranges);
  std::printf("information: sqlite %s load+commit %8.3f s (%llu device syncs)\n", sqliteModeName(SqliteMode::walNormal),
              w.load, static_cast<unsigned long long>(w.barriers));
  std::remove(ours.c_str());
  platform::setCurrentFileSystem(previous);
  nxseJournalEngineFinalize();

  nxseIndexLibraryFinalize();
  nxsdDataDictionaryFinalize();
  return 0;
}
