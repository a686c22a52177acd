// Heap-based storage against SQLite in one run, part by part; each part
// prints both times and ours over SQLite's. Both sides get the same cache
// budget and commit durably: ours through the rollback journal, SQLite with
// journal_mode=DELETE and synchronous=FULL (WAL with synchronous=NORMAL is
// printed as information).
// - blobs: BLOBs of 1 MB written in 64 KB pieces (appends) in one
//   transaction committed durably, then read back in 64 KB pieces. SQLite:
//   a table with a BLOB column, zeroblob inserts filled through incremental
//   BLOB I/O.
// Usage: bench_heap [part|all] [folder] (default all, $TMPDIR or /tmp).
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "nxllBaseLibrary.h"
#include "nxsdDataDictionary.h"
#include "nxsrStorageLibrary.h"
#include "nxseBlobEngineSegmented.h"
#include "nxseBlockHeapEngineNonfragmenting.h"
#include "nxseHeaderAccess.h"
#include "nxseHeapEngineCached.h"
#include "nxseRecordEngineStatic.h"
#include "nxseStreamEngine.h"
#include "nxsrFileHandling.h"
#include "nxsrFileImplWin32.h"
#include "nxsrTimeoutHandling.h"
#include "plFileSystem.h"
#include "benchStorageSupport.h"

namespace {


struct Result {
  double write = 0, read = 0, commit = 0;
  std::uint64_t checksum = 0, barriers = 0;
};

// Counts our device barriers; installed by main for the whole run.
CountingFileSystem* gCounter = nullptr;

// One table file of ours with a dictionary, its engines made inside the
// creating transaction (which the part goes on using).
struct OurTable {
  TnxOwned<TnxBufferManager> manager;
  TnxOwned<TnxServerDataDict> dict;
  TnxOwned<TnxBaseFile> file;
  TnxOwned<TnxBlockAccess> main, recordAccess, blobAccess;
  TnxOwned<TnxBaseStreamEngine> stream;
  TnxOwned<TnxBaseRecordEngine> records;
  TnxOwned<TnxBaseBlobEngine> blobs;
  std::string path;

  OurTable(const std::string& aPath, TnxServerDataDict* aDict, TnxBaseTransaction*& aTrans) : path(aPath) {
    platform::currentFileSystem().remove(aPath);
    manager.reset(newBenchManager(benchCacheMB()));
    dict.reset(aDict);
    file.reset(TnxBaseFile::Alloc(true, platform::fromUtf8(aPath), manager.get()));
    file->SetBlockSize(nxbs4k);
    file->SetVadurVersion(47005);
    file->SetStreamEngineName(u"nx1xDefault");
    file->OpenFile(omReadWrite, smExclusive, false, true);
    main.reset(platform::create<TnxBlockAccess>(file.get(), nullptr, u"bench", 0));
    aTrans = newBenchTransaction(manager.get(), platform::folderOf(aPath));
    file->AddHeader(aTrans, {}, {'N', 'X', '!', '2'});
    stream.reset(TnxBaseStreamEngine::CreateEngine(dict->StreamDescriptor(), main.get(), aTrans));
    dict->WriteToFile(stream.get(), aTrans, 47501);
    file->SetMaxID(dict->CurrentID());
    recordAccess.reset(
        platform::create<TnxBlockAccess>(file.get(), main.get(), u"bench", dict->RecordDescriptor()->ID()));
    records.reset(TnxBaseRecordEngine::CreateEngine(dict.get(), {recordAccess.get()}, aTrans));
    if (dict->BlobDescriptor()) {
      blobAccess.reset(
          platform::create<TnxBlockAccess>(file.get(), main.get(), u"bench", dict->BlobDescriptor()->ID()));
      blobs.reset(TnxBaseBlobEngine::CreateEngine(dict.get(), {blobAccess.get()}, aTrans));
    }
  }
  ~OurTable() {
    blobs.reset();
    records.reset();
    stream.reset();
    blobAccess.reset();
    recordAccess.reset();
    main.reset();
    manager->RemoveFile(file.get());
    file->CloseFile();
    file.reset();
    std::remove(path.c_str());
  }
};

// ---- BLOBs -----------------------------------------------------------------------------------------

constexpr std::uint32_t kBlobs = 32, kBlobSize = 1 << 20, kPiece = 64 << 10;

void fillPiece(std::vector<std::uint8_t>& aPiece, std::uint32_t aBlob, std::uint32_t aOffset) {
  for (std::uint32_t i = 0; i < aPiece.size(); i += 64) aPiece[i] = static_cast<std::uint8_t>(aBlob * 7 + aOffset + i);
}

std::uint64_t sum(const std::uint8_t* aData, std::size_t aCount) {
  std::uint64_t s = 0;
  for (std::size_t i = 0; i < aCount; i += 64) s += aData[i];
  return s;
}

Result blobsOurs(const std::string& aPath) {
  Result r;
  TnxServerDataDict* dict = platform::create<TnxServerDataDict>();
  dict->FieldsDescriptor()->AddField(u"Id", u"", nxtInt32, 0, 0, false);
  auto* blob = platform::objectAs<TnxHeapBlobDescriptor>(dict->AddBlobDescriptor());
  blob->AddHeapDescriptor()->AddBlockHeapDescriptor();
  std::vector<std::uint8_t> piece(kPiece, 0x5A);
  std::vector<TnxBlobNr> nrs;
  const std::uint64_t barriers = gCounter->barriers();
  const auto start = Clock::now();
  TnxBaseTransaction* created = nullptr;
  OurTable t(aPath, dict, created);
  TnxOwned<TnxBaseTransaction> trans(created);
  for (std::uint32_t b = 0; b < kBlobs; ++b) {
    TnxBlobNr nr = 0;
    t.blobs->AddBlob(trans.get(), nr);
    for (std::uint32_t at = 0; at < kBlobSize; at += kPiece) {
      fillPiece(piece, b, at);
      t.blobs->Write(trans.get(), nr, at, kPiece, piece.data());
    }
    nrs.push_back(nr);
  }
  const auto commitStart = Clock::now();
  trans->Commit();
  r.commit = seconds(commitStart);
  r.write = seconds(start);
  r.barriers = gCounter->barriers() - barriers;

  const auto readStart = Clock::now();
  TnxOwned<TnxMemoryStream> out(platform::create<TnxMemoryStream>());
  for (TnxBlobNr nr : nrs)
    for (std::uint32_t at = 0; at < kBlobSize; at += kPiece) {
      out->SetSize(0);
      out->SetPosition(0);
      t.blobs->Read(nullptr, nr, at, kPiece, nullptr, *out);
      r.checksum += sum(static_cast<const std::uint8_t*>(out->Memory()), static_cast<std::size_t>(out->Size()));
    }
  r.read = seconds(readStart);
  return r;
}

Result blobsSqlite(const std::string& aPath, SqliteMode aMode) {
  Result r;
  sqlite3* db = openBenchSqlite(aPath, benchCacheMB(), aMode);
  std::vector<std::uint8_t> piece(kPiece, 0x5A);
  const std::uint64_t barriers = SqliteSyncCounter::barriers();
  const auto start = Clock::now();
  check(sqlite3_exec(db, "CREATE TABLE t(id INTEGER PRIMARY KEY, data BLOB); BEGIN", nullptr, nullptr, nullptr), db,
        "create");
  sqlite3_stmt* insert = nullptr;
  check(sqlite3_prepare_v2(db, "INSERT INTO t(id, data) VALUES (?, zeroblob(?))", -1, &insert, nullptr), db,
        "prepare");
  for (std::uint32_t b = 0; b < kBlobs; ++b) {
    sqlite3_bind_int(insert, 1, static_cast<int>(b + 1));
    sqlite3_bind_int(insert, 2, static_cast<int>(kBlobSize));
    check(sqlite3_step(insert), db, "insert");
    sqlite3_reset(insert);
    sqlite3_blob* handle = nullptr;
    check(sqlite3_blob_open(db, "main", "t", "data", b + 1, 1, &handle), db, "blob open");
    for (std::uint32_t at = 0; at < kBlobSize; at += kPiece) {
      fillPiece(piece, b, at);
      check(sqlite3_blob_write(handle, piece.data(), static_cast<int>(kPiece), static_cast<int>(at)), db, "write");
    }
    sqlite3_blob_close(handle);
  }
  sqlite3_finalize(insert);
  const auto commitStart = Clock::now();
  check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  r.commit = seconds(commitStart);
  r.write = seconds(start);
  r.barriers = SqliteSyncCounter::barriers() - barriers;

  const auto readStart = Clock::now();
  for (std::uint32_t b = 0; b < kBlobs; ++b) {
    sqlite3_blob* handle = nullptr;
    check(sqlite3_blob_open(db, "main", "t", "data", b + 1, 0, &handle), db, "blob open");
    for (std::uint32_t at = 0; at < kBlobSize; at += kPiece) {
      check(sqlite3_blob_read(handle, piece.data(), static_cast<int>(kPiece), static_cast<int>(at)), db, "read");
      r.checksum += sum(piece.data(), kPiece);
    }
    sqlite3_blob_close(handle);
  }
  r.read = seconds(readStart);
  closeBenchSqlite(db, aPath);
  return r;
}

void blobsPart(const std::string& aFolder) {
  const Result a = blobsOurs(aFolder + "/bench_heap_blobs.nx1");
  const Result b = blobsSqlite(aFolder + "/bench_heap_blobs.sqlite", SqliteMode::durable);
  const Result w = blobsSqlite(aFolder + "/bench_heap_blobs.sqlite", SqliteMode::walNormal);
  if (a.checksum != b.checksum)
    std::fprintf(stderr, "checksums differ: %llu %llu\n", static_cast<unsigned long long>(a.checksum),
                 static_cast<unsigned long long>(b.checksum));
  std::printf("%u BLOBs of 1 MB in 64 KB pieces, cache %d MB each, sqlite %s\n", kBlobs, benchCacheMB(),
              sqliteModeName(SqliteMode::durable));
  std::printf("write+commit   ours %8.3f s  sqlite %8.3f s  ratio %.2f\n", a.write, b.write, a.write / b.write);
  std::printf("  of it commit ours %8.3f s  sqlite %8.3f s\n", a.commit, b.commit);
  std::printf("  device syncs ours %8llu    sqlite %8llu\n", static_cast<unsigned long long>(a.barriers),
              static_cast<unsigned long long>(b.barriers));
  std::printf("read back      ours %8.3f s  sqlite %8.3f s  ratio %.2f\n", a.read, b.read, a.read / b.read);
  const double total = (a.write + a.read) / (b.write + b.read);
  std::printf("total          ours %8.3f s  sqlite %8.3f s  ratio %.2f\n", a.write + a.read, b.write + b.read, total);
  std::printf("information: sqlite %s write+commit %8.3f s (%llu device syncs), read back %8.3f s\n",
              sqliteModeName(SqliteMode::walNormal), w.write, static_cast<unsigned long long>(w.barriers), w.read);
}

// The parts by name, in the order "all" runs them.
struct Part {
  const char* name;
  void (*run)(const std::string& aFolder);
};
const Part kParts[] = {{"blobs", &blobsPart}};

}  // namespace

int main(int argc, char** argv) {
  const std::string which = argc > 1 ? argv[1] : "all";
  const std::string folder = argc > 2 ? argv[2] : platform::toUtf8(nxTempFolder());
  nxsdDataDictionaryInitialize(std::span<const nxString>());
  nxsrStorageLibraryInitialize();
  nxSetTimeout(0, true);
  CountingFileSystem counter(platform::currentFileSystem());
  platform::FileSystem* previous = platform::setCurrentFileSystem(&counter);
  gCounter = &counter;

  bool ran = false;
  for (const Part& p : kParts)
    if (which == "all" || which == p.name) {
      p.run(folder);
      ran = true;
    }
  if (!ran) std::fprintf(stderr, "unknown part: %s\n", which.c_str());
  platform::setCurrentFileSystem(previous);
  nxseJournalEngineFinalize();

  nxsrStorageLibraryFinalize();
  nxsdDataDictionaryFinalize();
  return ran ? 0 : 2;
}
