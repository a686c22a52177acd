// Lock costs in one run, each against a peer, with the ratios printed:
// - an uncontended record lock taken and released in a table's lock
//   container, against a std::mutex lock/unlock pair;
// - a transaction holding one shared content link on a root table, started
//   and committed through its context, against SQLite's BEGIN, a SELECT by
//   rowid and COMMIT on an in-memory database.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "nxllHandleTable.h"
#include "nxllMemoryManager.h"
#include "nxsrServerEngine.h"
#include "nxsrTableLockContainer.h"
#include "nxsrTimeoutHandling.h"
#include "plFaultFileSystem.h"

namespace {

void BM_RecordLock(benchmark::State& state) {
  TnxTableLockContainer* locks = platform::create<TnxTableLockContainer>();
  static const int kind = 0;
  const TnxLockCursor cursor{nxHandleTable().Add(&state, &kind), nullptr};
  TnxRefNr refNr = 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(locks->GetRecordLock(nullptr, cursor, refNr, false, nullptr));
    locks->ReleaseRecordLock(cursor, refNr, nullptr);
    refNr = refNr % 1024 + 1;
  }
  nxHandleTable().Remove(cursor.lcID, &kind);
  platform::TObject::free(locks);
}

void BM_StdMutex(benchmark::State& state) {
  std::mutex mutex;
  for (auto _ : state) {
    mutex.lock();
    benchmark::ClobberMemory();
    mutex.unlock();
  }
}

class BenchCursor : public TnxServerTransLinkCursor {
 public:
  explicit BenchCursor(TnxServerTransContext* aContext) : context_(aContext) {}
  TnxAbstractTransContext* sbcTransContext() override { return context_; }

 private:
  TnxServerTransContext* context_;
};

// An engine on an in-memory file system with one built and opened table.
struct EngineSetup {
  platform::FaultFileSystem fs;
  platform::FileSystem* previous = nullptr;
  TnxServerEngine* engine = nullptr;
  TnxServerFolder* folder = nullptr;
  TnxServerRootTable* table = nullptr;
  TnxAbstractSession* session = nullptr;
  TnxServerTransContext* context = nullptr;

  EngineSetup() {
    nxsrServerEngineInitialize();
    fs.makeDirectory("/tmp");
    fs.makeDirectory("/data");
    previous = platform::setCurrentFileSystem(&fs);
    engine = platform::create<TnxServerEngine>(nullptr);
    engine->SetTempStorePath(u"/tmp");
    engine->SetMaxRAM(16);
    engine->SetActive(true);
    folder = platform::create<TnxServerFolder>(engine, u"/data", false);
    TnxServerDataDict* dict = platform::create<TnxServerDataDict>();
    dict->FieldsDescriptor()->AddField(u"ID", u"", nxtInt32, 0, 0, false);
    folder->sfTableBuild(false, u"bench", u"", false, dict, tsPersistent);
    platform::TObject::free(dict);
    folder->LockTables();
    table = platform::create<TnxServerRootTable>(folder, u"bench", omReadWrite, smShared, tsPersistent);
    bool readOnly = false;
    if (table->srtOpenFiles(nullptr, {}, false, TnxFileAttributes{}, readOnly) != 0) std::abort();
    table->sbtLockIsInactive.fetch_add(1);
    folder->UnlockTables();
    engine->SessionOpen(session, u"bench", u"", u"bench", 0);
    TnxAbstractTransContext* c = nullptr;
    session->TransContextCreate(c, 0);
    context = static_cast<TnxServerTransContext*>(c);
  }
  ~EngineSetup() {
    platform::TObject::free(context);
    table->sbtLockIsInactive.fetch_sub(1);
    platform::TObject::free(folder);
    platform::TObject::free(engine);
    platform::setCurrentFileSystem(previous == &platform::posixFileSystem() ? nullptr : previous);
    nxsrServerEngineFinalize();
  }
};

void BM_SharedTransaction(benchmark::State& state) {
  EngineSetup setup;
  BenchCursor cursor(setup.context);
  nxSetTimeout(0, true);
  for (auto _ : state) {
    setup.context->TransactionStart(false, false);
    benchmark::DoNotOptimize(
        cursor.sbcBeginTransContentLock(setup.context->Transaction(), setup.table, false, false, nullptr));
    setup.context->TransactionCommit();
  }
}

void BM_SqliteTransaction(benchmark::State& state) {
  sqlite3* db = nullptr;
  sqlite3_open(":memory:", &db);
  sqlite3_exec(db, "CREATE TABLE t(id INTEGER PRIMARY KEY, v INTEGER)", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "INSERT INTO t VALUES(1, 42)", nullptr, nullptr, nullptr);
  sqlite3_stmt *begin = nullptr, *select = nullptr, *commit = nullptr;
  sqlite3_prepare_v2(db, "BEGIN", -1, &begin, nullptr);
  sqlite3_prepare_v2(db, "SELECT v FROM t WHERE rowid = 1", -1, &select, nullptr);
  sqlite3_prepare_v2(db, "COMMIT", -1, &commit, nullptr);
  for (auto _ : state) {
    sqlite3_step(begin);
    sqlite3_reset(begin);
    sqlite3_step(select);
    benchmark::DoNotOptimize(sqlite3_column_int(select, 0));
    sqlite3_reset(select);
    sqlite3_step(commit);
    sqlite3_reset(commit);
  }
  sqlite3_finalize(begin);
  sqlite3_finalize(select);
  sqlite3_finalize(commit);
  sqlite3_close(db);
}

// CPU time per benchmark name (wall time means little on a shared machine).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& aRuns) override {
    ConsoleReporter::ReportRuns(aRuns);
    for (const Run& r : aRuns)
      if (r.run_type == Run::RT_Iteration || r.aggregate_name == "median")
        times[r.run_name.function_name] = r.GetAdjustedCPUTime();
  }
  std::map<std::string, double> times;
};

void printRatio(RatioReporter& aReporter, const char* aOurs, const char* aOther, const char* aWhat) {
  const double ours = aReporter.times[aOurs], other = aReporter.times[aOther];
  if (other > 0) std::printf("%s: %.2f (%.1f ns against %.1f ns)\n", aWhat, ours / other, ours, other);
}

}  // namespace

int main(int argc, char** argv) {
  nxMemoryManagerAttach();
  benchmark::RegisterBenchmark("RecordLock", BM_RecordLock);
  benchmark::RegisterBenchmark("StdMutex", BM_StdMutex);
  benchmark::RegisterBenchmark("SharedTransaction", BM_SharedTransaction);
  benchmark::RegisterBenchmark("SqliteTransaction", BM_SqliteTransaction);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  printRatio(reporter, "RecordLock", "StdMutex", "record lock take+release / std::mutex lock+unlock");
  printRatio(reporter, "SharedTransaction", "SqliteTransaction",
             "transaction with one shared content link / SQLite BEGIN+SELECT by rowid+COMMIT");
  benchmark::Shutdown();
  return 0;
}
