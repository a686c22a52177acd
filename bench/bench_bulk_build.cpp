// Bulk building of a unique Int32 index over 1,000,000 stored records in
// random order, in one run: the builder reads the committed table as
// SQLite's CREATE INDEX reads its table, and both commit the new index
// durably (ours through the rollback journal; SQLite journal_mode=DELETE,
// synchronous=FULL) with the same cache budget. Against std::sort of the
// same items with the same key comparison (the floor) and SQLite's CREATE
// INDEX over the same rows; then the same bulk build into a keyless index,
// and point lookups through the keyless index against the static-key one.
// Prints times and ratios, and CREATE INDEX with SQLite in WAL with
// synchronous=NORMAL as information. The cache budget is 1024 MB unless
// NX_BENCH_CACHE_MB says otherwise.
// Usage: bench_bulk_build [records] [folder] (default 1000000, $TMPDIR or /tmp).
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "nxllBaseLibrary.h"
#include "nxsdDataDictionary.h"
#include "nxseIndexLibrary.h"
#include "nxseHeaderAccess.h"
#include "nxseIndexEngineKeylessBstarTree.h"
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



std::vector<std::int32_t> shuffled(std::uint32_t aCount, std::uint32_t aSeed) {
  std::vector<std::int32_t> v(aCount);
  for (std::uint32_t i = 0; i < aCount; ++i) v[i] = static_cast<std::int32_t>(i);
  std::mt19937 rng(aSeed);
  std::shuffle(v.begin(), v.end(), rng);
  return v;
}

struct Result {
  double bulk = 0, bulkCommit = 0, floor = 0, keylessBulk = 0, staticLookups = 0, keylessLookups = 0;
  std::uint64_t checksum = 0, barriers = 0;
};

Result runOurs(const std::string& aPath, std::uint32_t aRecords, const std::vector<std::int32_t>& aLoad,
               const std::vector<std::int32_t>& aLookups, std::int32_t aCacheMB, CountingFileSystem& aCounter) {
  Result r;
  platform::currentFileSystem().remove(aPath);
  TnxOwned<TnxBufferManager> manager(newBenchManager(aCacheMB));
  TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
  dict->FieldsDescriptor()->AddField(u"ID", u"", nxtInt32, 0, 0, true);
  dict->FieldsDescriptor()->AddField(u"Data", u"", nxtByteArray, 96, 0, false);
  TnxMainIndicesDescriptor* indices = dict->EnsureIndicesDescriptor();
  indices->RemoveIndex(u"Sequential Access Index");
  static_cast<TnxCompKeyDescriptor*>(indices->AddIndex(u"ID", 0, idNone, u"")->KeyDescriptor())->Add(0);
  TnxIndexDescriptor* keylessIndex = indices->AddIndex(u"IDKeyless", 0, idNone, u"");
  keylessIndex->SetIndexEngine(u"KeylessBStarTree");
  static_cast<TnxCompKeyDescriptor*>(keylessIndex->KeyDescriptor())->Add(0);
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
    const std::string folder = platform::folderOf(aPath);
    TnxOwned<BenchTransaction> trans(newBenchTransaction(manager.get(), folder));
    file->AddHeader(trans.get(), {}, {'N', 'X', '!', '2'});
    TnxOwned<TnxBaseStreamEngine> stream(
        TnxBaseStreamEngine::CreateEngine(dict->StreamDescriptor(), main.get(), trans.get()));
    dict->WriteToFile(stream.get(), trans.get(), 47501);
    TnxOwned<TnxBaseRecordEngine> records(
        TnxBaseRecordEngine::CreateEngine(dict.get(), {recordAccess.get()}, trans.get()));
    TnxOwned<TnxBaseIndicesEngine> keys(
        TnxBaseIndicesEngine::CreateEngine(indices, {indexAccess.get()}, records.get(), trans.get(), false));
    auto fill = [&](std::int32_t aID) {
      fields->InitRecord(record.data());
      fields->SetRecordField(0, record.data(), &aID);
      std::uint8_t data[96];
      std::memset(data, aID & 0xFF, sizeof data);
      fields->SetRecordField(1, record.data(), data);
    };
    std::vector<TnxRefNr> refs(aRecords);
    for (std::uint32_t i = 0; i < aRecords; ++i) {
      fill(aLoad[i]);
      records->AddRecord(trans.get(), refs[i], record.data());
    }
    trans->Commit();
    trans.reset();
    TnxBaseIndexEngine* staticIndex = keys->biseGetIndex(0);
    TnxBaseIndexEngine* keylessEngine = keys->biseGetIndex(1);
    TnxBaseKeyEngine* keyEngine = staticIndex->bieKeyEngine.get();
    // The builder reads the stored records; the index commits durably.
    auto bulk = [&](TnxBaseIndexEngine* aIndex, double* aCommit) {
      const auto start = Clock::now();
      TnxOwned<BenchTransaction> build(newBenchTransaction(manager.get(), folder));
      {
        TnxOwned<TnxBaseBulkBuilder> builder(aIndex->CreateBulkBuilder(build.get()));
        TnxRefNr from = 0;
        records->Iterate(
            build.get(), from, nullptr,
            [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
              if (builder->InsertKey(&aRefNr, aRecord, build.get()) != 0) std::exit(1);
              return rirContinue;
            },
            nullptr, nullptr, false, false);
        builder->Finalize(build.get());
      }
      const auto commitStart = Clock::now();
      build->Commit();
      if (aCommit) *aCommit = seconds(commitStart);
      return seconds(start);
    };
    const std::uint64_t barriers = aCounter.barriers();
    r.bulk = bulk(staticIndex, &r.bulkCommit);
    r.barriers = aCounter.barriers() - barriers;
    {
      // The floor: the same items (key and RefNr, 16 bytes) sorted by std::sort
      // with the same key comparison.
      const std::size_t item = (keyEngine->KeyLength() + 23u) & ~15u;
      std::vector<std::uint8_t> items(item * aRecords);
      const auto start = Clock::now();
      for (std::uint32_t i = 0; i < aRecords; ++i) {
        fill(aLoad[i]);
        keyEngine->BuildKey(record.data(), items.data() + i * item, refs[i], false);
        std::memcpy(items.data() + i * item + item - 8, &refs[i], 8);
      }
      std::vector<const std::uint8_t*> order(aRecords);
      for (std::uint32_t i = 0; i < aRecords; ++i) order[i] = items.data() + i * item;
      std::sort(order.begin(), order.end(),
                [&](const std::uint8_t* a, const std::uint8_t* b) { return keyEngine->CompareKey(a, b) < 0; });
      r.floor = seconds(start);
      r.checksum += order.front()[1];
    }
    r.keylessBulk = bulk(keylessEngine, nullptr);

    TnxOwned<BenchTransaction> reader(platform::create<BenchTransaction>(manager.get()));
    PnxKeyBuffer key = keyEngine->AllocKey();
    std::vector<std::uint8_t> probe(record.size(), 0);
    auto lookups = [&](TnxBaseIndexEngine* aIndex) {
      TnxOwned<TnxBaseIndexPath> path(aIndex->CreateIndexPath());
      const auto start = Clock::now();
      for (const std::int32_t id : aLookups) {
        fields->InitRecord(probe.data());
        fields->SetRecordField(0, probe.data(), &id);
        keyEngine->BuildKey(probe.data(), key, 0, true);
        if (!aIndex->FindKey(reader.get(), key, 0, 0, 0, path.get(), skaEqualFirst, nullptr)) {
          std::fprintf(stderr, "key %d not found\n", id);
          std::exit(1);
        }
        r.checksum += static_cast<std::uint64_t>(path->RefNr);
      }
      return seconds(start);
    };
    r.staticLookups = lookups(staticIndex);
    r.keylessLookups = lookups(keylessEngine);
    reader->Commit();
    keyEngine->FreeKey(key);
  }
  manager->RemoveFile(file.get());
  file->CloseFile();
  return r;
}

struct SqliteResult {
  double seconds = 0;
  std::uint64_t barriers = 0;
};

// SQLite's CREATE INDEX over the same rows, loaded without an index first,
// committed on its own.
SqliteResult runSqlite(const std::string& aPath, std::uint32_t aRecords, const std::vector<std::int32_t>& aLoad,
                       std::int32_t aCacheMB, SqliteMode aMode) {
  sqlite3* db = openBenchSqlite(aPath, aCacheMB, aMode);
  check(sqlite3_exec(db, "CREATE TABLE t(id INTEGER NOT NULL, data BLOB); BEGIN", nullptr, nullptr, nullptr), db,
        "create");
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
  const std::uint64_t barriers = SqliteSyncCounter::barriers();
  const auto start = Clock::now();
  check(sqlite3_exec(db, "CREATE UNIQUE INDEX t_id ON t(id)", nullptr, nullptr, nullptr), db, "index");
  const SqliteResult result{seconds(start), SqliteSyncCounter::barriers() - barriers};
  closeBenchSqlite(db, aPath);
  return result;
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
  const std::int32_t cacheMB = benchCacheMB(1024);

  const std::vector<std::int32_t> load = shuffled(records, 1);
  std::vector<std::int32_t> lookups = shuffled(records, 2);
  lookups.resize(std::min<std::size_t>(lookups.size(), 200000));
  const std::string ours = folder + "/bench_bulk_build.nx1", theirs = folder + "/bench_bulk_build.sqlite";
  const Result a = runOurs(ours, records, load, lookups, cacheMB, counter);
  const SqliteResult sqlite = runSqlite(theirs, records, load, cacheMB, SqliteMode::durable);
  const SqliteResult wal = runSqlite(theirs, records, load, cacheMB, SqliteMode::walNormal);
  std::printf("%u stored records in random order, unique Int32 key, cache %d MB each, sqlite %s (checksum %llu)\n",
              records, cacheMB, sqliteModeName(SqliteMode::durable), static_cast<unsigned long long>(a.checksum));
  const double build = a.bulk - a.bulkCommit;
  std::printf("bulk build       ours %8.3f s  std::sort floor %8.3f s  ratio %.2f (without the commit)\n", build,
              a.floor, build / a.floor);
  std::printf("build+commit     ours %8.3f s  sqlite CREATE INDEX %8.3f s  ratio %.2f\n", a.bulk, sqlite.seconds,
              a.bulk / sqlite.seconds);
  std::printf("  of it commit   ours %8.3f s;  device syncs ours %llu  sqlite %llu\n", a.bulkCommit,
              static_cast<unsigned long long>(a.barriers), static_cast<unsigned long long>(sqlite.barriers));
  std::printf("keyless bulk     ours %8.3f s  static-key bulk %8.3f s  ratio %.2f\n", a.keylessBulk, a.bulk,
              a.keylessBulk / a.bulk);
  std::printf("point lookups    keyless %8.3f s  static-key %8.3f s  ratio %.2f (%zu lookups)\n", a.keylessLookups,
              a.staticLookups, a.keylessLookups / a.staticLookups, lookups.size());
  std::printf("information: sqlite %s CREATE INDEX %8.3f s (%llu device syncs)\n",
              sqliteModeName(SqliteMode::walNormal), wal.seconds, static_cast<unsigned long long>(wal.barriers));
  std::remove(ours.c_str());
  platform::setCurrentFileSystem(previous);
  nxseJournalEngineFinalize();

  nxseIndexLibraryFinalize();
  nxsdDataDictionaryFinalize();
  return 0;
}
