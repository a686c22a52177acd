// Reading through the table cursor's public operations against SQLite on
// the same 100,000 cached records: a full scan by index and in record
// order, and random key lookups. Prints the time per record and the ratio.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

#include "nxsrServerEngine.h"
#include "nxsrTimeoutHandling.h"

namespace {

constexpr std::int32_t kBenchRecords = 100000;

double secondsSince(std::chrono::steady_clock::time_point aStart) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - aStart).count();
}

void benchCheck(bool aOk, const char* aWhat) {
  if (!aOk) {
    std::fprintf(stderr, "failed: %s\n", aWhat);
    std::exit(1);
  }
}

}  // namespace

int main() {
  char dirTemplate[] = "/tmp/nxbenchcursorXXXXXX";
  const char* dir = mkdtemp(dirTemplate);
  benchCheck(dir != nullptr, "temp dir");
  const nxString path = platform::fromUtf8(dir);
  nxsrServerEngineInitialize();
  nxSetTimeout(0, true);
  auto* engine = platform::create<TnxServerEngine>(nullptr);
  engine->SetTempStorePath(path);
  engine->SetMaxRAM(256);
  engine->SetTempStoreSize(0);
  engine->SetActive(true);
  TnxAbstractSession* session = nullptr;
  benchCheck(engine->SessionOpen(session, u"user", u"pw", u"bench", 0) == 0, "session");
  TnxAbstractDatabase* abstractDb = nullptr;
  benchCheck(session->DatabaseOpen(abstractDb, u"Path", path, nullptr, omReadWrite, smShared, 0) == 0, "database");
  auto* db = static_cast<TnxServerDatabase*>(abstractDb);
  {
    TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
    dict->FieldsDescriptor()->AddField(u"K", u"", nxtInt32, 0, 0, false);
    dict->FieldsDescriptor()->AddField(u"V", u"", nxtInt32, 0, 0, false);
    TnxMainIndicesDescriptor* list = dict->EnsureIndicesDescriptor();
    list->RemoveIndex(u"Sequential Access Index");
    platform::objectAs<TnxCompKeyDescriptor>(list->AddIndex(u"ByK", 0, idNone, u"")->KeyDescriptor())->Add(0);
    benchCheck(db->Folder()->sfTableBuild(false, u"t", u"", false, dict.get(), tsPersistent) == 0, "build");
  }
  TnxAbstractCursor* abstractCursor = nullptr;
  benchCheck(db->CursorOpen(abstractCursor, u"t", u"", omReadWrite, smShared, 0, u"ByK", -1, false, {}, 500,
                            nullptr) == 0,
             "cursor");
  auto* cursor = static_cast<TnxServerTableCursor*>(abstractCursor);
  TnxFieldsDescriptor* fields = cursor->Table()->TableDescriptor()->FieldsDescriptor();
  std::vector<std::uint8_t> record(static_cast<std::size_t>(fields->RecordLength()) + 16, 0);
  auto* context = static_cast<TnxServerTransContext*>(db->TransContext());
  benchCheck(context->stcTransactionStart(false, false, false, false, false, true) == 0, "start");
  benchCheck(cursor->sbcBeginContentLock(true, false, false) == 0, "lock");
  for (std::int32_t k = 0; k < kBenchRecords; ++k) {
    const std::int32_t key = (k * 7919) % kBenchRecords, value = k;
    fields->SetRecordField(0, record.data(), &key);
    fields->SetRecordField(1, record.data(), &value);
    TnxRefNr refNr = 0;
    cursor->Table()->RecordEngine()->AddRecord(context->Transaction(), refNr, record.data());
    benchCheck(cursor->Table()->IndicesEngine()->InsertKeys(context->Transaction(), refNr, record.data(), nullptr) == 0,
               "keys");
  }
  benchCheck(context->stcTransactionCommit() == 0, "commit");

  sqlite3* sql = nullptr;
  sqlite3_open(":memory:", &sql);
  sqlite3_exec(sql, "CREATE TABLE t(k INTEGER PRIMARY KEY, v INTEGER)", nullptr, nullptr, nullptr);
  sqlite3_exec(sql, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(sql, "INSERT INTO t VALUES(?,?)", -1, &insert, nullptr);
  for (std::int32_t k = 0; k < kBenchRecords; ++k) {
    sqlite3_bind_int(insert, 1, (k * 7919) % kBenchRecords);
    sqlite3_bind_int(insert, 2, k);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_exec(sql, "COMMIT", nullptr, nullptr, nullptr);

  auto scan = [&](bool aIndex) {
    cursor->SwitchToIndex(aIndex ? u"ByK" : u"", -1, porFalse);
    cursor->SetToBegin();
    std::int64_t sum = 0;
    const auto start = std::chrono::steady_clock::now();
    std::int32_t n = 0;
    while (cursor->RecordGetNext(nxltNoLock, record.data()) == 0) {
      std::int32_t v = 0;
      std::memcpy(&v, record.data() + fields->Fields(1)->fdOffset, 4);
      sum += v;
      ++n;
    }
    benchCheck(n == kBenchRecords, "scan count");
    return secondsSince(start) / n + static_cast<double>(sum) * 0;
  };
  auto sqliteScan = [&] {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(sql, "SELECT * FROM t ORDER BY k", -1, &stmt, nullptr);
    std::int64_t sum = 0;
    const auto start = std::chrono::steady_clock::now();
    std::int32_t n = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      sum += sqlite3_column_int(stmt, 1);
      ++n;
    }
    const double t = secondsSince(start) / n;
    sqlite3_finalize(stmt);
    return t + static_cast<double>(sum) * 0;
  };
  std::mt19937 random(42);
  std::vector<std::int32_t> probes(20000);
  for (auto& p : probes) p = static_cast<std::int32_t>(random() % kBenchRecords);
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
    sqlite3_stmt* stmt = nullptr;
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
  scan(true);  // warm the cache
  const double byIndex = scan(true), inOrder = scan(false), ours = lookups();
  const double sqlScan = sqliteScan(), sqlLookup = sqliteLookups();
  std::printf("scan by index:     %8.1f ns/record  SQLite %8.1f  ratio %.2f\n", byIndex * 1e9, sqlScan * 1e9,
              byIndex / sqlScan);
  std::printf("scan record order: %8.1f ns/record  SQLite %8.1f  ratio %.2f\n", inOrder * 1e9, sqlScan * 1e9,
              inOrder / sqlScan);
  std::printf("key lookup:        %8.1f ns/lookup  SQLite %8.1f  ratio %.2f\n", ours * 1e9, sqlLookup * 1e9,
              ours / sqlLookup);
  sqlite3_close(sql);
  TnxAbstractServerObject::Free(session);
  platform::TObject::free(engine);
  nxsrServerEngineFinalize();
  std::filesystem::remove_all(dir);
  return 0;
}
