// Whole-table operations against SQLite (C API) in the same run on the same
// data: 100,000 records of an integer key, a 40-character string and a
// double, on disk in one temporary folder, both durable (SQLite with
// synchronous=FULL) and with the same cache budget (256 MB).
//   copy:  the table cursor's CopyRecords into an empty table without
//          indices, in one transaction, against INSERT INTO t2 SELECT * FROM
//          t1 in one transaction;
//   index: the database's TableAddIndex (a unique index on the key, built
//          from the records) against CREATE UNIQUE INDEX.
// Prints the time per record and the ratio ours / SQLite for each and for
// both together.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "benchKsdTable.h"
#include "benchServerSupport.h"

namespace {

constexpr std::int32_t kRecords = 100000;

void report(const char* aWhat, double aOurs, double aSqlite) {
  std::printf("%-24s %10.1f ns/record  SQLite %10.1f  ratio %.2f\n", aWhat, aOurs * 1e9 / kRecords,
              aSqlite * 1e9 / kRecords, aOurs / aSqlite);
}

// K, S, D; no index at all (the source gets none either: the copy reads in
// record order, as SQLite's SELECT * does).
TnxServerDataDict* benchDictionary() {
  TnxServerDataDict* dict = platform::create<TnxServerDataDict>();
  dict->FieldsDescriptor()->AddField(u"K", u"", nxtInt32, 0, 0, false);
  dict->FieldsDescriptor()->AddField(u"S", u"", nxtShortString, 40, 0, false);
  dict->FieldsDescriptor()->AddField(u"D", u"", nxtDouble, 0, 0, false);
  dict->RemoveIndicesDescriptor();
  return dict;
}

}  // namespace

int main() {
  BenchServer server("nxbenchtableops");
  TnxServerDatabase* db = server.db;
  for (const char16_t* name : {u"t1", u"t2"}) {
    TnxOwned<TnxServerDataDict> dict(benchDictionary());
    benchCheck(db->Folder()->sfTableBuild(false, name, u"", false, dict.get(), tsPersistent) == 0, "build");
  }
  auto open = [&](const char16_t* aName) {
    TnxAbstractCursor* opened = nullptr;
    benchCheck(db->CursorOpen(opened, aName, u"", omReadWrite, smShared, 0, u"", -1, false, {}, 500, nullptr) == 0,
               "cursor");
    return static_cast<TnxServerTableCursor*>(opened);
  };
  TnxServerTableCursor* source = open(u"t1");
  benchCheck(db->TransactionStart(false, false) == 0, "start");
  ksdFillOurs(source, kRecords);
  benchCheck(db->TransactionCommit() == 0, "commit");

  const std::string sqlPath = server.dir + "/sqlite.db";
  sqlite3* sql = nullptr;
  benchCheck(sqlite3_open(sqlPath.c_str(), &sql) == SQLITE_OK, "sqlite open");
  sqlite3_exec(sql, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
  sqlite3_exec(sql, "PRAGMA cache_size=-262144", nullptr, nullptr, nullptr);
  sqlite3_exec(sql, "CREATE TABLE t1(k INTEGER, s TEXT, d REAL)", nullptr, nullptr, nullptr);
  sqlite3_exec(sql, "CREATE TABLE t2(k INTEGER, s TEXT, d REAL)", nullptr, nullptr, nullptr);
  sqlite3_exec(sql, "BEGIN", nullptr, nullptr, nullptr);
  ksdFillSqlite(sql, "INSERT INTO t1 VALUES(?,?,?)", kRecords);
  benchCheck(sqlite3_exec(sql, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK, "sqlite commit");

  // Copy.
  TnxServerTableCursor* dest = open(u"t2");
  auto phase = std::chrono::steady_clock::now();
  benchCheck(source->CopyRecords(dest, nxbcmCopyFull, 0) == 0, "copy");
  const double oursCopy = secondsSince(phase);
  std::uint32_t copied = 0;
  benchCheck(dest->GetRecordCount(copied, false) == 0 && copied == kRecords, "copy count");
  TnxAbstractServerObject::Free(dest);
  phase = std::chrono::steady_clock::now();
  benchCheck(sqlite3_exec(sql, "BEGIN; INSERT INTO t2 SELECT * FROM t1; COMMIT", nullptr, nullptr, nullptr) ==
                 SQLITE_OK,
             "sqlite copy");
  const double sqlCopy = secondsSince(phase);

  // Index.
  TnxOwned<TnxServerDataDict> holder(benchDictionary());
  TnxIndexDescriptor* index = holder->EnsureIndicesDescriptor()->AddIndex(u"ByK", 0, idNone, u"");
  platform::objectAs<TnxCompKeyDescriptor>(index->KeyDescriptor())->Add(0);
  phase = std::chrono::steady_clock::now();
  benchCheck(db->TableAddIndex(u"t2", u"", index, true) == 0, "add index");
  const double oursIndex = secondsSince(phase);
  phase = std::chrono::steady_clock::now();
  benchCheck(sqlite3_exec(sql, "CREATE UNIQUE INDEX t2k ON t2(k)", nullptr, nullptr, nullptr) == SQLITE_OK,
             "sqlite index");
  const double sqlIndex = secondsSince(phase);
  TnxServerTableCursor* check = open(u"t2");
  benchCheck(check->SwitchToIndex(u"ByK", -1, porFalse) == 0, "index there");
  std::uint32_t keys = 0;
  check->IndexEngine()->GetKeyCount(nullptr, keys);
  benchCheck(keys == kRecords, "index count");
  TnxAbstractServerObject::Free(check);

  std::printf("%d records, both durable, 256 MB cache\n", kRecords);
  report("CopyRecords", oursCopy, sqlCopy);
  report("TableAddIndex", oursIndex, sqlIndex);
  report("copy + index", oursCopy + oursIndex, sqlCopy + sqlIndex);
  sqlite3_close(sql);
  TnxAbstractServerObject::Free(source);
  return 0;
}
