// The table cursor's public operations against SQLite (C API) in the same
// run on the same data: 100,000 records of an integer key with a unique
// index, a 40-character string and a double, both on disk in one temporary
// folder. Workloads: all records inserted in one transaction; 2,000
// autocommit inserts (durable on both sides: SQLite with synchronous=FULL);
// a full scan by index and in record order; 100,000 random exact lookups;
// a key search followed by 10 reads. Prints the time per operation and the
// ratio ours / SQLite.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "benchServerSupport.h"

namespace {

constexpr std::int32_t kBenchRecords = 100000;
constexpr std::int32_t kAutocommitRecords = 2000;
constexpr std::int32_t kRangeProbes = 20000;

void report(const char *aWhat, const char *aUnit, double aOurs, double aSqlite) {
  std::printf("%-28s %10.1f ns/%s  SQLite %10.1f  ratio %.2f\n", aWhat, aOurs * 1e9, aUnit, aSqlite * 1e9,
              aOurs / aSqlite);
}

// The 40-character text of record k.
std::string textOf(std::int32_t aKey) {
  std::string text = "question text number " + std::to_string(aKey);
  text.resize(40, '.');
  return text;
}

// The key of the k-th inserted record: a permutation of 0 .. n-1.
std::int32_t keyOf(std::int32_t aIndex) {
  return static_cast<std::int32_t>((static_cast<std::int64_t>(aIndex) * 7919) % kBenchRecords);
}

TnxServerDataDict *benchDictionary() {
  TnxServerDataDict *dict = platform::create<TnxServerDataDict>();
  dict->FieldsDescriptor()->AddField(u"K", u"", nxtInt32, 0, 0, false);
  dict->FieldsDescriptor()->AddField(u"S", u"", nxtShortString, 40, 0, false);
  dict->FieldsDescriptor()->AddField(u"D", u"", nxtDouble, 0, 0, false);
  TnxMainIndicesDescriptor *list = dict->EnsureIndicesDescriptor();
  list->RemoveIndex(u"Sequential Access Index");
  platform::objectAs<TnxCompKeyDescriptor>(list->AddIndex(u"ByK", 0, idNone, u"")->KeyDescriptor())->Add(0);
  return dict;
}

}  // namespace

int main() {
  BenchServer server("nxbenchcursor");
  const char* dir = server.dir.c_str();
  TnxServerDatabase* db = server.db;
  for (const char16_t *name : {u"t", u"a"}) {
    TnxOwned<TnxServerDataDict> dict(benchDictionary());
    benchCheck(db->Folder()->sfTableBuild(false, name, u"", false, dict.get(), tsPersistent) == 0, "build");
  }
  auto open = [&](const char16_t *aName) {
    TnxAbstractCursor *opened = nullptr;
    benchCheck(db->CursorOpen(opened, aName, u"", omReadWrite, smShared, 0, u"ByK", -1, false, {}, 500, nullptr) == 0,
               "cursor");
    return static_cast<TnxServerTableCursor *>(opened);
  };
  TnxServerTableCursor *cursor = open(u"t");
  TnxServerTableCursor *autocommit = open(u"a");
  TnxFieldsDescriptor *fields = cursor->Table()->TableDescriptor()->FieldsDescriptor();
  std::vector<std::uint8_t> record(static_cast<std::size_t>(fields->RecordLength()) + 16, 0);
  auto fill = [&](std::int32_t aKey) {
    std::fill(record.begin(), record.end(), 0);
    fields->SetRecordField(0, record.data(), &aKey);
    const std::string text = textOf(aKey);
    std::uint8_t shortString[41];
    shortString[0] = 40;
    std::memcpy(shortString + 1, text.data(), 40);
    fields->SetRecordField(1, record.data(), shortString);
    const double value = aKey * 0.5;
    fields->SetRecordField(2, record.data(), &value);
  };

  // SQLite in a file of the same folder.
  const std::string sqlPath = std::string(dir) + "/sqlite.db";
  sqlite3 *sql = nullptr;
  benchCheck(sqlite3_open(sqlPath.c_str(), &sql) == SQLITE_OK, "sqlite open");
  sqlite3_exec(sql, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
  // The same cache budget as the engine's MaxRAM.
  sqlite3_exec(sql, "PRAGMA cache_size=-262144", nullptr, nullptr, nullptr);
  sqlite3_exec(sql, "CREATE TABLE t(k INTEGER PRIMARY KEY, s TEXT, d REAL)", nullptr, nullptr, nullptr);
  sqlite3_exec(sql, "CREATE TABLE a(k INTEGER PRIMARY KEY, s TEXT, d REAL)", nullptr, nullptr, nullptr);
  auto sqliteInsert = [&](sqlite3_stmt *aStmt, std::int32_t aKey) {
    const std::string text = textOf(aKey);
    sqlite3_bind_int(aStmt, 1, aKey);
    sqlite3_bind_text(aStmt, 2, text.data(), 40, SQLITE_TRANSIENT);
    sqlite3_bind_double(aStmt, 3, aKey * 0.5);
    benchCheck(sqlite3_step(aStmt) == SQLITE_DONE, "sqlite insert");
    sqlite3_reset(aStmt);
  };

  // 1. All records in one transaction.
  auto phase = std::chrono::steady_clock::now();
  benchCheck(db->TransactionStart(false, false) == 0, "start");
  for (std::int32_t i = 0; i < kBenchRecords; ++i) {
    fill(keyOf(i));
    benchCheck(cursor->RecordInsert(nxltNoLock, record.data(), nullptr) == 0, "insert");
  }
  benchCheck(db->TransactionCommit() == 0, "commit");
  const double oursBatch = secondsSince(phase) / kBenchRecords;
  phase = std::chrono::steady_clock::now();
  sqlite3_exec(sql, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt *insert = nullptr;
  sqlite3_prepare_v2(sql, "INSERT INTO t VALUES(?,?,?)", -1, &insert, nullptr);
  for (std::int32_t i = 0; i < kBenchRecords; ++i) sqliteInsert(insert, keyOf(i));
  sqlite3_finalize(insert);
  sqlite3_exec(sql, "COMMIT", nullptr, nullptr, nullptr);
  const double sqlBatch = secondsSince(phase) / kBenchRecords;

  // 2. Autocommit inserts, each durable.
  phase = std::chrono::steady_clock::now();
  for (std::int32_t i = 0; i < kAutocommitRecords; ++i) {
    fill(keyOf(i));
    benchCheck(autocommit->RecordInsert(nxltNoLock, record.data(), nullptr) == 0, "autocommit insert");
  }
  const double oursAuto = secondsSince(phase) / kAutocommitRecords;
  phase = std::chrono::steady_clock::now();
  sqlite3_prepare_v2(sql, "INSERT INTO a VALUES(?,?,?)", -1, &insert, nullptr);
  for (std::int32_t i = 0; i < kAutocommitRecords; ++i) sqliteInsert(insert, keyOf(i));
  sqlite3_finalize(insert);
  const double sqlAuto = secondsSince(phase) / kAutocommitRecords;

  auto scan = [&](bool aIndex) {
    cursor->SwitchToIndex(aIndex ? u"ByK" : u"", -1, porFalse);
    cursor->SetToBegin();
    std::int64_t sum = 0;
    const auto start = std::chrono::steady_clock::now();
    std::int32_t n = 0;
    while (cursor->RecordGetNext(nxltNoLock, record.data()) == 0) {
      std::int32_t v = 0;
      std::memcpy(&v, record.data() + fields->Fields(0)->fdOffset, 4);
      sum += v;
      ++n;
    }
    benchCheck(n == kBenchRecords, "scan count");
    return secondsSince(start) / n + static_cast<double>(sum) * 0;
  };
  auto sqliteScan = [&](const char *aQuery) {
    sqlite3_stmt *stmt = nullptr;
    sqlite3_prepare_v2(sql, aQuery, -1, &stmt, nullptr);
    std::int64_t sum = 0;
    const auto start = std::chrono::steady_clock::now();
    std::int32_t n = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      sum += sqlite3_column_int(stmt, 0) + sqlite3_column_bytes(stmt, 1);
      ++n;
    }
    const double t = secondsSince(start) / n;
    sqlite3_finalize(stmt);
    return t + static_cast<double>(sum) * 0;
  };
  std::mt19937 random(42);
  std::vector<std::int32_t> probes(kBenchRecords);
  for (auto &p : probes) p = static_cast<std::int32_t>(random() % kBenchRecords);
  auto lookups = [&] {
    cursor->SwitchToIndex(u"ByK", -1, porFalse);
    std::vector<std::uint8_t> key = record;
    const auto start = std::chrono::steady_clock::now();
    for (std::int32_t p : probes) {
      fields->SetRecordField(0, key.data(), &p);
      benchCheck(cursor->RecordGetForKey(1, 0, false, key.data(), record.data(), true, true) == 0, "lookup");
    }
    return secondsSince(start) / static_cast<double>(probes.size());
  };
  auto sqliteLookups = [&] {
    sqlite3_stmt *stmt = nullptr;
    sqlite3_prepare_v2(sql, "SELECT * FROM t WHERE k=?", -1, &stmt, nullptr);
    const auto start = std::chrono::steady_clock::now();
    for (std::int32_t p : probes) {
      sqlite3_bind_int(stmt, 1, p);
      benchCheck(sqlite3_step(stmt) == SQLITE_ROW, "sqlite lookup");
      sqlite3_reset(stmt);
    }
    const double t = secondsSince(start) / static_cast<double>(probes.size());
    sqlite3_finalize(stmt);
    return t;
  };
  auto ranges = [&] {
    cursor->SwitchToIndex(u"ByK", -1, porFalse);
    std::vector<std::uint8_t> key = record;
    const auto begun = std::chrono::steady_clock::now();
    for (std::int32_t i = 0; i < kRangeProbes; ++i) {
      const std::int32_t p = probes[static_cast<std::size_t>(i)] % (kBenchRecords - 10);
      fields->SetRecordField(0, key.data(), &p);
      benchCheck(cursor->SetToKey(skaGreaterEqual, 1, 0, false, key.data()) == 0, "set to key");
      for (int n = 0; n < 10; ++n) benchCheck(cursor->RecordGetNext(nxltNoLock, record.data()) == 0, "range next");
    }
    return secondsSince(begun) / kRangeProbes;
  };
  auto sqliteRanges = [&] {
    sqlite3_stmt *stmt = nullptr;
    sqlite3_prepare_v2(sql, "SELECT * FROM t WHERE k >= ? ORDER BY k LIMIT 10", -1, &stmt, nullptr);
    const auto begun = std::chrono::steady_clock::now();
    for (std::int32_t i = 0; i < kRangeProbes; ++i) {
      sqlite3_bind_int(stmt, 1, probes[static_cast<std::size_t>(i)] % (kBenchRecords - 10));
      int n = 0;
      while (sqlite3_step(stmt) == SQLITE_ROW) ++n;
      benchCheck(n == 10, "sqlite range");
      sqlite3_reset(stmt);
    }
    const double t = secondsSince(begun) / kRangeProbes;
    sqlite3_finalize(stmt);
    return t;
  };
  scan(true);  // warm the cache
  sqliteScan("SELECT * FROM t ORDER BY k");
  const double byIndex = scan(true), inOrder = scan(false), ours = lookups(), oursRange = ranges();
  // SQLite reads inside one read transaction: outside one each statement
  // would lock and check the file again.
  sqlite3_exec(sql, "BEGIN", nullptr, nullptr, nullptr);
  const double sqlScan = sqliteScan("SELECT * FROM t ORDER BY k"), sqlScanPlain = sqliteScan("SELECT * FROM t");
  const double sqlLookup = sqliteLookups(), sqlRange = sqliteRanges();
  sqlite3_exec(sql, "COMMIT", nullptr, nullptr, nullptr);
  report("insert, one transaction", "record", oursBatch, sqlBatch);
  report("insert, autocommit durable", "record", oursAuto, sqlAuto);
  report("scan by index", "record", byIndex, sqlScan);
  report("scan in record order", "record", inOrder, sqlScanPlain);
  report("exact key lookup", "lookup", ours, sqlLookup);
  report("SetToKey + 10 reads", "search", oursRange, sqlRange);
  sqlite3_close(sql);
  return 0;
}
