// The default sort engine against std::sort and SQLite's ORDER BY on the
// same 64-byte records with random integer keys, in one run:
// - one million records put and got back through the engine (runs spilled
//   into result-set tables of a database in a temporary folder) against
//   std::sort in memory and SQLite ORDER BY over the same rows with its
//   temporary store on file;
// - as many records as one in-memory run holds (nothing spilled), the same
//   three ways.
// Prints the time of each and the ratios engine / peer.
#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "benchServerSupport.h"
#include "nxsdKeyEngineBase.h"
#include "nxseSortEngineMerge.h"

namespace {

constexpr std::size_t kRecords = 1000000;
constexpr std::size_t kPadBytes = 60;

struct Row {
  std::int32_t key;
  std::array<std::uint8_t, kPadBytes> pad;
};

// The engine: every record put, then got back in order. A negative time
// when the engine refused a spill (its code in aRefused).
double engineSort(TnxServerDatabase* aDb, TnxDataDictionary* aDict, TnxIndexDescriptor* aIndex,
                  const std::vector<Row>& aRows, TnxResult& aRefused) {
  TnxFieldsDescriptor* fields = aDict->FieldsDescriptor();
  std::vector<std::vector<std::uint8_t>> records(aRows.size());
  for (std::size_t i = 0; i < aRows.size(); ++i) {
    auto& record = records[i];
    record.assign(static_cast<std::size_t>(fields->RecordLength()) + 4, 0);
    fields->InitRecord(record.data());
    fields->SetRecordField(0, record.data(), &aRows[i].key);
    fields->SetRecordField(1, record.data(), aRows[i].pad.data());
  }
  const platform::ClassInfo* cls = nxDefaultSortEngineClass.load();
  benchCheck(cls != nullptr, "default sort class");
  std::vector<std::uint8_t> out(records.empty() ? 0 : records[0].size());
  const auto start = std::chrono::steady_clock::now();
  TnxOwned<TnxBaseSortEngine> sorter(nxCreateSortEngine(*cls, aDb, aDict, aIndex));
  for (auto& record : records) {
    aRefused = sorter->Put(record.data());
    if (aRefused != 0) return -1;
  }
  std::int32_t previous = INT32_MIN;
  std::size_t got = 0;
  TnxResult result = 0;
  while ((result = sorter->Get(out.data())) == 0) {
    std::int32_t key = 0;
    std::memcpy(&key, out.data() + fields->Fields(0)->fdOffset, 4);
    benchCheck(key >= previous, "engine order");
    previous = key;
    ++got;
  }
  if (result != nxErrEOF) {
    aRefused = result;
    return -1;
  }
  sorter.reset();
  const double seconds = secondsSince(start);
  benchCheck(got == aRows.size(), "engine count");
  return seconds;
}

double stdSort(std::vector<Row> aRows) {
  const auto start = std::chrono::steady_clock::now();
  std::sort(aRows.begin(), aRows.end(), [](const Row& a, const Row& b) { return a.key < b.key; });
  const double seconds = secondsSince(start);
  benchCheck(std::is_sorted(aRows.begin(), aRows.end(), [](const Row& a, const Row& b) { return a.key < b.key; }),
             "std order");
  return seconds;
}

// ORDER BY over a table that holds the rows (filled before the clock starts).
double sqliteSort(const std::string& aDir, const std::vector<Row>& aRows) {
  const std::string file = aDir + "/sort" + std::to_string(aRows.size()) + ".db";
  sqlite3* sql = nullptr;
  benchCheck(sqlite3_open(file.c_str(), &sql) == SQLITE_OK, "sqlite open");
  sqlite3_exec(sql, "PRAGMA temp_store=FILE; PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF", nullptr, nullptr,
               nullptr);
  sqlite3_exec(sql, "CREATE TABLE t(k INTEGER, p BLOB)", nullptr, nullptr, nullptr);
  sqlite3_exec(sql, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(sql, "INSERT INTO t VALUES(?,?)", -1, &insert, nullptr);
  for (const Row& row : aRows) {
    sqlite3_bind_int(insert, 1, row.key);
    sqlite3_bind_blob(insert, 2, row.pad.data(), static_cast<int>(kPadBytes), SQLITE_STATIC);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_exec(sql, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_stmt* select = nullptr;
  sqlite3_prepare_v2(sql, "SELECT k, p FROM t ORDER BY k", -1, &select, nullptr);
  std::int32_t previous = INT32_MIN;
  std::size_t got = 0;
  std::uint8_t sink = 0;
  const auto start = std::chrono::steady_clock::now();
  while (sqlite3_step(select) == SQLITE_ROW) {
    const std::int32_t key = sqlite3_column_int(select, 0);
    sink ^= static_cast<const std::uint8_t*>(sqlite3_column_blob(select, 1))[0];
    benchCheck(key >= previous, "sqlite order");
    previous = key;
    ++got;
  }
  const double seconds = secondsSince(start) + sink * 0.0;
  sqlite3_finalize(select);
  sqlite3_close(sql);
  std::filesystem::remove(file);
  benchCheck(got == aRows.size(), "sqlite count");
  return seconds;
}

void compare(const char* aName, TnxServerDatabase* aDb, TnxDataDictionary* aDict, TnxIndexDescriptor* aIndex,
             const std::string& aDir, std::size_t aCount) {
  std::mt19937 random(4711);
  std::vector<Row> rows(aCount);
  for (std::size_t i = 0; i < aCount; ++i) {
    rows[i].key = static_cast<std::int32_t>(random());
    for (std::size_t b = 0; b < kPadBytes; ++b) rows[i].pad[b] = static_cast<std::uint8_t>(i + b);
  }
  // Small inputs: the best of a few rounds, so a cold start does not count.
  const int rounds = aCount < 100000 ? 5 : 1;
  TnxResult refused = 0;
  double engine = 1e9, standard = 1e9, sqlite = 1e9;
  for (int round = 0; round < rounds; ++round) {
    engine = std::min(engine, engineSort(aDb, aDict, aIndex, rows, refused));
    standard = std::min(standard, stdSort(rows));
    sqlite = std::min(sqlite, sqliteSort(aDir, rows));
  }
  if (engine < 0) {
    std::printf("%-26s %8zu records: engine refused a run table (code %d); std::sort %.3f s, SQLite %.3f s\n", aName,
                aCount, static_cast<int>(refused), standard, sqlite);
    return;
  }
  std::printf("%-26s %8zu records: engine %.3f s, std::sort %.3f s, SQLite ORDER BY %.3f s; "
              "engine/std::sort %.2f, engine/SQLite %.2f\n",
              aName, aCount, engine, standard, sqlite, engine / standard, engine / sqlite);
}

}  // namespace

int main() {
  BenchServer server("nxbenchsort");
  const char* dir = server.dir.c_str();
  TnxServerDatabase* db = server.db;
  {
    TnxOwned<TnxDataDictionary> dict(platform::create<TnxDataDictionary>());
    dict->FieldsDescriptor()->AddField(u"K", u"", nxtInt32, 0, 0, false);
    dict->FieldsDescriptor()->AddField(u"P", u"", nxtByteArray, static_cast<std::int32_t>(kPadBytes), 0, false);
    TnxOwned<TnxDataDictionary> keyed(dict->Duplicate());
    TnxIndexDescriptor* index = keyed->AddIndicesDescriptor()->AddIndex(u"ByK", 0, idAll, u"");
    platform::objectAs<TnxCompKeyDescriptor>(index->KeyDescriptor())->Add(0);
    const std::size_t perRun = TnxMergeSortEngine::msBufferSize /
                               ((static_cast<std::size_t>(dict->FieldsDescriptor()->RecordLength()) + 15) / 16 * 16);
    compare("one in-memory run", db, dict.get(), index, dir, perRun);
    compare("one million, spilled", db, dict.get(), index, dir, kRecords);
  }
  return 0;
}
