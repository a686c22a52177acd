// What the storage benchmarks share: a wall clock, transactions that commit
// durably as the server commits a fail-safe transaction (with the rollback
// journal on, so a crash leaves the state before or after the commit), the
// one cache budget both sides get, SQLite set up the same way (rollback
// journal, synchronous=FULL; WAL with synchronous=NORMAL only as
// information), device barriers counted on both sides, and the SQLite
// result check. Each benchmark is its own executable and includes this
// header once.
//
// Device barriers: ours are counted in our file layer (every sync, every
// folder sync and every write to a file opened write-through, which the
// system makes durable before the write returns); SQLite's by a VFS that
// wraps the default one and counts xSync, the folder sync the unix VFS makes
// on the first sync of a journal it created, and deletes that ask for a
// folder sync.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "nxseJournalEngine.h"
#include "nxsrBufferManager.h"
#include "plFileSystem.h"

namespace {

using Clock = std::chrono::steady_clock;
double seconds(Clock::time_point aFrom) { return std::chrono::duration<double>(Clock::now() - aFrom).count(); }

// The cache budget in MB that both sides get (ours MaxRAM, SQLite
// cache_size): NX_BENCH_CACHE_MB when set, else aDefault (our buffer
// manager's own default is 10).
inline std::int32_t benchCacheMB(std::int32_t aDefault = 10) {
  if (const char* v = std::getenv("NX_BENCH_CACHE_MB"); v && *v) {
    const long mb = std::strtol(v, nullptr, 10);
    if (mb > 0 && mb <= 1536) return static_cast<std::int32_t>(mb);
  }
  return aDefault;
}

class BenchTransaction : public TnxBaseTransaction {
  PL_CLASS_INFO_DECL()
 public:
  explicit BenchTransaction(TnxBufferManager* aManager) : TnxBaseTransaction(aManager, nullptr, false, true) {}
  TnxResult Commit() override {
    TnxBaseTransactionLevel* level = btTransLevelsTail;
    if (!level->StopNested()) return 0;
    TnxFlushList list;
    btBufferManager->CommitTransaction(this, &list, false);
    list.Flush(true);
    platform::TObject::free(level);
    return 0;
  }
  TnxResult Rollback() override {
    btBufferManager->RollbackTransaction(this);
    platform::TObject::free(btTransLevelsTail);
    return 0;
  }
};
PL_CLASS_INFO_IMPL(BenchTransaction, TnxBaseTransaction, "BenchTransaction", nullptr)

// A transaction that commits through a rollback journal in aJournalFolder
// (named after its LSN, as the server names them); readers pass no folder.
inline BenchTransaction* newBenchTransaction(TnxBufferManager* aManager, const std::string& aJournalFolder = {}) {
  BenchTransaction* trans = platform::create<BenchTransaction>(aManager);
  if (!aJournalFolder.empty())
    trans->SetJournal(platform::create<Tnx1xRollbackJournalEngine>(
        platform::fromUtf8(aJournalFolder + "/" + std::to_string(trans->btLSN) + ".n$2")));
  return trans;
}

// A buffer manager with the shared cache budget.
inline TnxBufferManager* newBenchManager(std::int32_t aCacheMB) {
  TnxBufferManager* manager = platform::create<TnxBufferManager>(nxTempFolder());
  manager->SetMaxRAM(aCacheMB);
  return manager;
}

void check(int aRc, sqlite3* aDb, const char* aWhat) {
  if (aRc != SQLITE_OK && aRc != SQLITE_DONE && aRc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite %s: %s\n", aWhat, sqlite3_errmsg(aDb));
    std::exit(1);
  }
}

// ---- Device barriers of our side --------------------------------------------------

// Forwards to the file system it wraps and counts the device barriers.
// Installed with platform::setCurrentFileSystem before any table file opens.
class CountingFileSystem final : public platform::FileSystem {
 public:
  explicit CountingFileSystem(platform::FileSystem& aBase) : base_(aBase) {}
  CountingFileSystem(const CountingFileSystem&) = delete;
  CountingFileSystem& operator=(const CountingFileSystem&) = delete;

  std::uint64_t barriers() const { return barriers_.load(std::memory_order_relaxed); }
  // Reads that reached the file system: the cache's misses.
  std::uint64_t reads() const { return reads_.load(std::memory_order_relaxed); }

  int open(const std::string& aPath, const platform::FileOpenOptions& aOptions, platform::FileId& aFile) override {
    const int err = base_.open(aPath, aOptions, aFile);
    if (err == 0 && aOptions.writeThrough) {
      std::lock_guard<std::mutex> guard(lock_);
      writeThrough_.insert(aFile);
    }
    return err;
  }
  int openUnnamed(const std::string& aFolder, platform::FileId& aFile) override {
    return base_.openUnnamed(aFolder, aFile);
  }
  int close(platform::FileId aFile) override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      writeThrough_.erase(aFile);
    }
    return base_.close(aFile);
  }
  int readAt(platform::FileId aFile, void* aBuffer, std::size_t aCount, std::int64_t aOffset,
             std::size_t& aDone) override {
    reads_.fetch_add(1, std::memory_order_relaxed);
    return base_.readAt(aFile, aBuffer, aCount, aOffset, aDone);
  }
  int writeAt(platform::FileId aFile, const void* aBuffer, std::size_t aCount, std::int64_t aOffset,
              std::size_t& aDone) override {
    bool through;
    {
      std::lock_guard<std::mutex> guard(lock_);
      through = writeThrough_.count(aFile) != 0;
    }
    if (through) barriers_.fetch_add(1, std::memory_order_relaxed);
    return base_.writeAt(aFile, aBuffer, aCount, aOffset, aDone);
  }
  int sync(platform::FileId aFile) override {
    barriers_.fetch_add(1, std::memory_order_relaxed);
    return base_.sync(aFile);
  }
  int truncate(platform::FileId aFile, std::int64_t aSize) override { return base_.truncate(aFile, aSize); }
  int punchHole(platform::FileId aFile, std::int64_t aOffset, std::int64_t aLength) override {
    return base_.punchHole(aFile, aOffset, aLength);
  }
  int size(platform::FileId aFile, std::int64_t& aSize) override { return base_.size(aFile, aSize); }
  int identity(platform::FileId aFile, platform::FileIdentityInfo& aInfo) override {
    return base_.identity(aFile, aInfo);
  }
  int pathInfo(const std::string& aPath, platform::PathInfo& aInfo) override { return base_.pathInfo(aPath, aInfo); }
  int remove(const std::string& aPath) override { return base_.remove(aPath); }
  int rename(const std::string& aFrom, const std::string& aTo) override { return base_.rename(aFrom, aTo); }
  int listDirectory(const std::string& aPath, std::vector<std::string>& aNames) override {
    return base_.listDirectory(aPath, aNames);
  }
  int syncDirectory(const std::string& aPath) override {
    barriers_.fetch_add(1, std::memory_order_relaxed);
    return base_.syncDirectory(aPath);
  }
  int fileSystemType(const std::string& aPath, std::string& aType) override {
    return base_.fileSystemType(aPath, aType);
  }
  std::string absolutePath(const std::string& aPath) override { return base_.absolutePath(aPath); }

 private:
  platform::FileSystem& base_;
  std::mutex lock_;
  std::set<platform::FileId> writeThrough_;
  std::atomic<std::uint64_t> barriers_{0};
  std::atomic<std::uint64_t> reads_{0};
};

// ---- Device barriers of SQLite ----------------------------------------------------

// A VFS named "nxcount" over the default one. Open a database with
// sqlite3_open_v2(..., "nxcount") after SqliteSyncCounter::install().
struct SqliteSyncCounter {
  struct File {
    sqlite3_file base;
    sqlite3_file* real;
    bool dirSyncPending;  // the unix VFS syncs the folder on the first sync
  };

  static sqlite3_vfs*& realVfs() {
    static sqlite3_vfs* real = nullptr;
    return real;
  }
  static std::atomic<std::uint64_t>& counter() {
    static std::atomic<std::uint64_t> count{0};
    return count;
  }
  static std::uint64_t barriers() { return counter().load(std::memory_order_relaxed); }
  static std::atomic<std::uint64_t>& readCounter() {
    static std::atomic<std::uint64_t> count{0};
    return count;
  }
  // Reads that reached the file system: the page cache's misses.
  static std::uint64_t reads() { return readCounter().load(std::memory_order_relaxed); }
  static void count() { counter().fetch_add(1, std::memory_order_relaxed); }
  static sqlite3_file* real(sqlite3_file* aFile) { return reinterpret_cast<File*>(aFile)->real; }

  static const sqlite3_io_methods* methods() {
    static const sqlite3_io_methods m = {
        3,
        [](sqlite3_file* f) {
          sqlite3_file* r = real(f);
          const int rc = r->pMethods->xClose(r);
          f->pMethods = nullptr;
          return rc;
        },
        [](sqlite3_file* f, void* b, int n, sqlite3_int64 o) {
          readCounter().fetch_add(1, std::memory_order_relaxed);
          return real(f)->pMethods->xRead(real(f), b, n, o);
        },
        [](sqlite3_file* f, const void* b, int n, sqlite3_int64 o) {
          return real(f)->pMethods->xWrite(real(f), b, n, o);
        },
        [](sqlite3_file* f, sqlite3_int64 s) { return real(f)->pMethods->xTruncate(real(f), s); },
        [](sqlite3_file* f, int flags) {
          File* file = reinterpret_cast<File*>(f);
          count();
          if (file->dirSyncPending) {
            count();
            file->dirSyncPending = false;
          }
          return file->real->pMethods->xSync(file->real, flags);
        },
        [](sqlite3_file* f, sqlite3_int64* s) { return real(f)->pMethods->xFileSize(real(f), s); },
        [](sqlite3_file* f, int l) { return real(f)->pMethods->xLock(real(f), l); },
        [](sqlite3_file* f, int l) { return real(f)->pMethods->xUnlock(real(f), l); },
        [](sqlite3_file* f, int* r) { return real(f)->pMethods->xCheckReservedLock(real(f), r); },
        [](sqlite3_file* f, int op, void* a) { return real(f)->pMethods->xFileControl(real(f), op, a); },
        [](sqlite3_file* f) { return real(f)->pMethods->xSectorSize(real(f)); },
        [](sqlite3_file* f) { return real(f)->pMethods->xDeviceCharacteristics(real(f)); },
        [](sqlite3_file* f, int pg, int sz, int ext, void volatile** p) {
          return real(f)->pMethods->xShmMap(real(f), pg, sz, ext, p);
        },
        [](sqlite3_file* f, int o, int n, int flags) { return real(f)->pMethods->xShmLock(real(f), o, n, flags); },
        [](sqlite3_file* f) { real(f)->pMethods->xShmBarrier(real(f)); },
        [](sqlite3_file* f, int d) { return real(f)->pMethods->xShmUnmap(real(f), d); },
        [](sqlite3_file* f, sqlite3_int64 o, int n, void** p) { return real(f)->pMethods->xFetch(real(f), o, n, p); },
        [](sqlite3_file* f, sqlite3_int64 o, void* p) { return real(f)->pMethods->xUnfetch(real(f), o, p); },
    };
    return &m;
  }

  // Registers the VFS once; the default VFS must have version 3 methods.
  static void install() {
    static sqlite3_vfs vfs;
    if (realVfs()) return;
    sqlite3_vfs* base = sqlite3_vfs_find(nullptr);
    realVfs() = base;
    vfs = *base;
    vfs.zName = "nxcount";
    vfs.pNext = nullptr;
    vfs.szOsFile = static_cast<int>(sizeof(File)) + base->szOsFile;
    vfs.xOpen = [](sqlite3_vfs*, sqlite3_filename aName, sqlite3_file* aFile, int aFlags, int* aOutFlags) {
      File* file = reinterpret_cast<File*>(aFile);
      file->real = reinterpret_cast<sqlite3_file*>(file + 1);
      file->real->pMethods = nullptr;
      const bool journal =
          (aFlags & (SQLITE_OPEN_MAIN_JOURNAL | SQLITE_OPEN_SUPER_JOURNAL | SQLITE_OPEN_WAL)) != 0;
      file->dirSyncPending = journal && (aFlags & SQLITE_OPEN_CREATE) != 0;
      const int rc = realVfs()->xOpen(realVfs(), aName, file->real, aFlags, aOutFlags);
      if (file->real->pMethods && file->real->pMethods->iVersion < 3) {
        std::fprintf(stderr, "the default SQLite VFS has no version 3 file methods\n");
        std::exit(1);
      }
      aFile->pMethods = file->real->pMethods ? methods() : nullptr;
      return rc;
    };
    vfs.xDelete = [](sqlite3_vfs*, const char* aName, int aSyncDir) {
      if (aSyncDir) count();
      return realVfs()->xDelete(realVfs(), aName, aSyncDir);
    };
    vfs.xAccess = [](sqlite3_vfs*, const char* aName, int aFlags, int* aOut) {
      return realVfs()->xAccess(realVfs(), aName, aFlags, aOut);
    };
    vfs.xFullPathname = [](sqlite3_vfs*, const char* aName, int aOut, char* aBuffer) {
      return realVfs()->xFullPathname(realVfs(), aName, aOut, aBuffer);
    };
    vfs.xRandomness = [](sqlite3_vfs*, int aBytes, char* aOut) {
      return realVfs()->xRandomness(realVfs(), aBytes, aOut);
    };
    vfs.xSleep = [](sqlite3_vfs*, int aMicro) { return realVfs()->xSleep(realVfs(), aMicro); };
    vfs.xCurrentTime = [](sqlite3_vfs*, double* aNow) { return realVfs()->xCurrentTime(realVfs(), aNow); };
    vfs.xGetLastError = [](sqlite3_vfs*, int aBytes, char* aOut) {
      return realVfs()->xGetLastError(realVfs(), aBytes, aOut);
    };
    vfs.xCurrentTimeInt64 = [](sqlite3_vfs*, sqlite3_int64* aNow) {
      return realVfs()->xCurrentTimeInt64(realVfs(), aNow);
    };
    vfs.xDlOpen = nullptr;
    vfs.xDlError = nullptr;
    vfs.xDlSym = nullptr;
    vfs.xDlClose = nullptr;
    vfs.xSetSystemCall = nullptr;
    vfs.xGetSystemCall = nullptr;
    vfs.xNextSystemCall = nullptr;
    sqlite3_vfs_register(&vfs, 0);
  }
};

// ---- SQLite set up as ours commits ------------------------------------------------

enum class SqliteMode { durable, walNormal };
inline const char* sqliteModeName(SqliteMode aMode) {
  return aMode == SqliteMode::durable ? "DELETE/FULL" : "WAL/NORMAL";
}

// Opens (replacing) a database on the counting VFS with the cache budget and
// the journal and sync mode.
inline sqlite3* openBenchSqlite(const std::string& aPath, std::int32_t aCacheMB, SqliteMode aMode) {
  SqliteSyncCounter::install();
  std::remove(aPath.c_str());
  std::remove((aPath + "-journal").c_str());
  std::remove((aPath + "-wal").c_str());
  std::remove((aPath + "-shm").c_str());
  sqlite3* db = nullptr;
  check(sqlite3_open_v2(aPath.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, "nxcount"), db, "open");
  const std::string pragmas =
      std::string(aMode == SqliteMode::durable ? "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;"
                                               : "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;") +
      " PRAGMA cache_size=-" + std::to_string(static_cast<std::int64_t>(aCacheMB) * 1024) + ";";
  check(sqlite3_exec(db, pragmas.c_str(), nullptr, nullptr, nullptr), db, "pragma");
  return db;
}

// Closes and removes a database with its side files.
inline void closeBenchSqlite(sqlite3* aDb, const std::string& aPath) {
  sqlite3_close(aDb);
  std::remove(aPath.c_str());
  std::remove((aPath + "-journal").c_str());
  std::remove((aPath + "-wal").c_str());
  std::remove((aPath + "-shm").c_str());
}

}  // namespace
