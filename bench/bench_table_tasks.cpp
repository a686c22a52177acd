// Whole-table tasks of the server database against SQLite in the same run
// on the same data: 100,000 records of an integer key with a unique index,
// a 40-character string and a double, on disk in one temporary folder.
// Workloads: a pack of the table (every record copied into a new table
// with its index, then swapped in) against VACUUM, and a rebuild of the
// index (its keys dropped and built again in bulk) against REINDEX. Both sides durable (SQLite synchronous=FULL) with
// the same cache budget. Prints the time of each and the ratio ours / SQLite.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "benchKsdTable.h"
#include "benchServerSupport.h"

namespace {

constexpr std::int32_t kBenchRecords = 100000;
constexpr int kRounds = 5;

TnxServerDataDict* benchDictionary() {
  TnxServerDataDict* dict = platform::create<TnxServerDataDict>();
  dict->FieldsDescriptor()->AddField(u"K", u"", nxtInt32, 0, 0, false);
  dict->FieldsDescriptor()->AddField(u"S", u"", nxtShortString, 40, 0, false);
  dict->FieldsDescriptor()->AddField(u"D", u"", nxtDouble, 0, 0, false);
  TnxMainIndicesDescriptor* list = dict->EnsureIndicesDescriptor();
  list->RemoveIndex(u"Sequential Access Index");
  platform::objectAs<TnxCompKeyDescriptor>(list->AddIndex(u"ByK", 0, idNone, u"")->KeyDescriptor())->Add(0);
  return dict;
}

// Runs a started task to its end; its final status.
TnxTaskStatus finish(TnxAbstractTaskInfo* aTask) {
  TnxTaskStatus status{};
  bool completed = false;
  while (aTask->GetStatus(completed, status) == 0 && !completed)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  TnxAbstractServerObject::Free(aTask);
  return status;
}

void report(const char* aWhat, double aOurs, const char* aPeer, double aSqlite) {
  std::printf("%-24s %9.1f ms   SQLite %-8s %9.1f ms   ratio %.2f\n", aWhat, aOurs * 1e3, aPeer, aSqlite * 1e3,
              aOurs / aSqlite);
}

}  // namespace

int main() {
  BenchServer server("nxbenchtasks");
  TnxServerDatabase* db = server.db;
  {
    TnxOwned<TnxServerDataDict> dict(benchDictionary());
    benchCheck(db->Folder()->sfTableBuild(false, u"t", u"", false, dict.get(), tsPersistent) == 0, "build");
  }
  TnxAbstractCursor* opened = nullptr;
  benchCheck(db->CursorOpen(opened, u"t", u"", omReadWrite, smShared, 0, u"ByK", -1, false, {}, 500, nullptr) == 0,
             "cursor");
  auto* cursor = static_cast<TnxServerTableCursor*>(opened);
  benchCheck(db->TransactionStart(false, false) == 0, "start");
  ksdFillOurs(cursor, kBenchRecords);
  benchCheck(db->TransactionCommit() == 0, "commit");
  TnxAbstractServerObject::Free(cursor);

  const std::string sqlPath = server.dir + "/sqlite.db";
  sqlite3* sql = nullptr;
  benchCheck(sqlite3_open(sqlPath.c_str(), &sql) == SQLITE_OK, "sqlite open");
  sqlite3_exec(sql, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
  sqlite3_exec(sql, "PRAGMA cache_size=-262144", nullptr, nullptr, nullptr);
  // A separate unique index, as ours: the table's own order is by row id.
  sqlite3_exec(sql, "CREATE TABLE t(k INTEGER, s TEXT, d REAL)", nullptr, nullptr, nullptr);
  sqlite3_exec(sql, "CREATE UNIQUE INDEX byk ON t(k)", nullptr, nullptr, nullptr);
  sqlite3_exec(sql, "BEGIN", nullptr, nullptr, nullptr);
  ksdFillSqlite(sql, "INSERT INTO t VALUES(?,?,?)", kBenchRecords);
  sqlite3_exec(sql, "COMMIT", nullptr, nullptr, nullptr);

  auto best = [](auto&& aRun) {
    double fastest = 1e30;
    for (int round = 0; round < kRounds; ++round) fastest = std::min(fastest, aRun());
    return fastest;
  };
  auto runTask = [&](auto&& aStart) {
    const auto start = std::chrono::steady_clock::now();
    TnxAbstractTaskInfo* task = nullptr;
    benchCheck(aStart(task) == 0 && task != nullptr, "task start");
    const TnxTaskStatus status = finish(task);
    benchCheck(status.tsErrorCode == 0 && status.tsRecsWritten == static_cast<std::uint32_t>(kBenchRecords),
               "task result");
    return secondsSince(start);
  };
  auto runSql = [&](const char* aStatement) {
    const auto start = std::chrono::steady_clock::now();
    benchCheck(sqlite3_exec(sql, aStatement, nullptr, nullptr, nullptr) == SQLITE_OK, aStatement);
    return secondsSince(start);
  };

  const double oursPack =
      best([&] { return runTask([&](TnxAbstractTaskInfo*& aTask) { return db->TablePack(u"t", u"", aTask); }); });
  const double sqlVacuum = best([&] { return runSql("VACUUM"); });
  const double oursRebuild = best([&] {
    return runTask([&](TnxAbstractTaskInfo*& aTask) { return db->TableRebuildIndex(u"t", u"", u"ByK", -1, aTask); });
  });
  const double sqlReindex = best([&] { return runSql("REINDEX byk"); });
  std::printf("%d records, one unique index, best of %d\n", kBenchRecords, kRounds);
  report("pack", oursPack, "VACUUM", sqlVacuum);
  report("index rebuild", oursRebuild, "REINDEX", sqlReindex);
  sqlite3_close(sql);
  return 0;
}
