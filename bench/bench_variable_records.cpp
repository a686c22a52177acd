// Variable records against SQLite in one run: 1,000,000 records of a key
// and a text of 10 to 200 characters inserted in one transaction committed
// durably to disk, then a full scan. Ours: the "Variable" record engine with
// Smart compression over the heap, committed through the rollback journal;
// SQLite: a table of an integer and a text column, journal_mode=DELETE,
// synchronous=FULL. Both sides get the same cache budget. Prints both times
// and ours over SQLite's, and SQLite with WAL and synchronous=NORMAL as
// information.
// Usage: bench_variable_records [records] [folder] (default 1000000, $TMPDIR or /tmp).
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
#include "nxseBlockHeapEngineNonfragmenting.h"
#include "nxseHeaderAccess.h"
#include "nxseHeapEngineCached.h"
#include "nxseRecordCompressionEngineSmart.h"
#include "nxseRecordEngineVariable.h"
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

// The text of record i: 10 to 200 characters, the same in both runs.
std::uint32_t textLength(std::uint32_t i) { return 10 + (i * 2654435761u >> 7) % 191; }
void fillText(std::uint32_t i, char* aText) {
  const std::uint32_t n = textLength(i);
  for (std::uint32_t k = 0; k < n; ++k) aText[k] = static_cast<char>('a' + (i + k) % 26);
  aText[n] = 0;
}

constexpr std::int32_t kTextUnits = 200;

Result runVariableRecords(const std::string& aPath, std::uint32_t aRecords, std::int32_t aCacheMB,
                          CountingFileSystem& aCounter) {
  Result r;
  platform::currentFileSystem().remove(aPath);
  TnxOwned<TnxBufferManager> manager(newBenchManager(aCacheMB));
  TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
  TnxFieldsDescriptor* fields = dict->FieldsDescriptor();
  fields->AddField(u"Key", u"", nxtInt32, 0, 0, false);
  fields->AddField(u"Text", u"", nxtNullString, kTextUnits, 0, false);
  auto* recordDescriptor = platform::objectAs<TnxHeapRecordDescriptor>(
      dict->AddRecordDescriptor(&TnxHeapRecordDescriptor::staticClassInfo()));
  recordDescriptor->SetRecordEngine(u"Variable");
  recordDescriptor->AddHeapDescriptor()->AddBlockHeapDescriptor();
  recordDescriptor->AddRecordCompressionDescriptor()->SetRecordCompressionEngine(u"Smart");
  const std::int32_t textOffset = fields->Fields(1)->fdOffset;
  TnxOwned<TnxBaseFile> file(TnxBaseFile::Alloc(true, platform::fromUtf8(aPath), manager.get()));
  file->SetBlockSize(nxbs4k);
  file->SetVadurVersion(47005);
  file->SetStreamEngineName(u"nx1xDefault");
  file->OpenFile(omReadWrite, smExclusive, false, true);
  {
    TnxOwned<TnxBlockAccess> main(platform::create<TnxBlockAccess>(file.get(), nullptr, u"bench", 0));
    TnxOwned<TnxBlockAccess> recordAccess(
        platform::create<TnxBlockAccess>(file.get(), main.get(), u"bench", dict->RecordDescriptor()->ID()));
    std::vector<std::uint8_t> record(static_cast<std::size_t>(fields->RecordLength()) + 4, 0);
    const std::uint64_t barriers = aCounter.barriers();
    const auto start = Clock::now();
    TnxOwned<BenchTransaction> trans(newBenchTransaction(manager.get(), platform::folderOf(aPath)));
    file->AddHeader(trans.get(), {}, {'N', 'X', '!', '2'});
    TnxOwned<TnxBaseStreamEngine> stream(
        TnxBaseStreamEngine::CreateEngine(dict->StreamDescriptor(), main.get(), trans.get()));
    dict->WriteToFile(stream.get(), trans.get(), 47501);
    file->SetMaxID(dict->CurrentID());
    TnxOwned<TnxBaseRecordEngine> records(
        TnxBaseRecordEngine::CreateEngine(dict.get(), {recordAccess.get()}, trans.get()));
    for (std::uint32_t i = 0; i < aRecords; ++i) {
      fields->InitRecord(record.data());
      fields->SetRecordField(0, record.data(), &i);
      fields->SetRecordFieldNull(1, record.data(), false);
      fillText(i, reinterpret_cast<char*>(record.data() + textOffset));
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
          r.checksum += v + std::strlen(reinterpret_cast<const char*>(aRecord + textOffset));
          return rirContinue;
        },
        nullptr, nullptr, false, false);
    r.scan = seconds(scanStart);
  }
  manager->RemoveFile(file.get());
  file->CloseFile();
  return r;
}

Result runSqliteText(const std::string& aPath, std::uint32_t aRecords, std::int32_t aCacheMB, SqliteMode aMode) {
  Result r;
  sqlite3* db = openBenchSqlite(aPath, aCacheMB, aMode);
  char text[kTextUnits + 1];
  const std::uint64_t barriers = SqliteSyncCounter::barriers();
  const auto start = Clock::now();
  check(sqlite3_exec(db, "CREATE TABLE t(k INTEGER, v TEXT); BEGIN", nullptr, nullptr, nullptr), db, "create");
  sqlite3_stmt* insert = nullptr;
  check(sqlite3_prepare_v2(db, "INSERT INTO t(k, v) VALUES (?, ?)", -1, &insert, nullptr), db, "prepare");
  for (std::uint32_t i = 0; i < aRecords; ++i) {
    fillText(i, text);
    sqlite3_bind_int64(insert, 1, i);
    sqlite3_bind_text(insert, 2, text, static_cast<int>(textLength(i)), SQLITE_STATIC);
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
  check(sqlite3_prepare_v2(db, "SELECT k, v FROM t", -1, &select, nullptr), db, "prepare");
  while (sqlite3_step(select) == SQLITE_ROW) {
    const auto k = static_cast<std::uint64_t>(sqlite3_column_int64(select, 0));
    const auto* v = sqlite3_column_text(select, 1);
    r.checksum += k + std::strlen(reinterpret_cast<const char*>(v));
  }
  sqlite3_finalize(select);
  r.scan = seconds(scanStart);
  closeBenchSqlite(db, aPath);
  return r;
}

void report(const char* aWhat, const Result& a, const Result& b) {
  if (a.checksum != b.checksum)
    std::fprintf(stderr, "%s: checksums differ: %llu %llu\n", aWhat, static_cast<unsigned long long>(a.checksum),
                 static_cast<unsigned long long>(b.checksum));
  std::printf("%s\n", aWhat);
  std::printf("insert+commit  ours %8.3f s  sqlite %8.3f s  ratio %.2f\n", a.insert, b.insert, a.insert / b.insert);
  std::printf("  of it commit ours %8.3f s  sqlite %8.3f s\n", a.commit, b.commit);
  std::printf("  device syncs ours %8llu    sqlite %8llu\n", static_cast<unsigned long long>(a.barriers),
              static_cast<unsigned long long>(b.barriers));
  std::printf("full scan      ours %8.3f s  sqlite %8.3f s  ratio %.2f\n", a.scan, b.scan, a.scan / b.scan);
  std::printf("total          ours %8.3f s  sqlite %8.3f s  ratio %.2f\n", a.insert + a.scan, b.insert + b.scan,
              (a.insert + a.scan) / (b.insert + b.scan));
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

  {
    const std::string ours = folder + "/bench_heap_records.nx1", theirs = folder + "/bench_heap_records.sqlite";
    const Result a = runVariableRecords(ours, records, cacheMB, counter);
    const Result b = runSqliteText(theirs, records, cacheMB, SqliteMode::durable);
    const Result w = runSqliteText(theirs, records, cacheMB, SqliteMode::walNormal);
    char title[192];
    std::snprintf(title, sizeof title,
                  "%u variable records (key and a text of 10 to 200 characters), cache %d MB each, sqlite %s", records,
                  cacheMB, sqliteModeName(SqliteMode::durable));
    report(title, a, b);
    std::printf("information: sqlite %s insert+commit %8.3f s (%llu device syncs), full scan %8.3f s\n",
                sqliteModeName(SqliteMode::walNormal), w.insert, static_cast<unsigned long long>(w.barriers), w.scan);
    std::remove(ours.c_str());
  }
  platform::setCurrentFileSystem(previous);
  nxseJournalEngineFinalize();

  nxsrStorageLibraryFinalize();
  nxsdDataDictionaryFinalize();
  return 0;
}
