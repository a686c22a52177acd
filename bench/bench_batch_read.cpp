// Bulk reading of 100,000 cached records (integer, short string, nullable
// integer) through the table cursor: batch reads of 512 KB against a
// RecordGetNext loop, SQLite stepping SELECT * over the same data, and a
// memcpy of the same bytes as the ceiling. Prints records/s, MB/s and ratios.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "benchServerSupport.h"

namespace {

constexpr std::int32_t kBenchRecords = 100000;
constexpr std::int32_t kBatchBytes = 512 * 1024;
constexpr int kRounds = 5;

template <class F>
double best(F&& aRun) {
  double result = 1e30;
  for (int i = 0; i < kRounds; ++i) {
    const double t = aRun();
    if (t < result) result = t;
  }
  return result;
}

}  // namespace

int main() {
  BenchServer server("nxbenchbatch");
  TnxServerDatabase* db = server.db;
  {
    TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
    dict->FieldsDescriptor()->AddField(u"ID", u"", nxtInt32, 0, 0, false);
    dict->FieldsDescriptor()->AddField(u"Name", u"", nxtShortString, 20, 0, false);
    dict->FieldsDescriptor()->AddField(u"Grp", u"", nxtInt32, 0, 0, false);
    TnxMainIndicesDescriptor* list = dict->EnsureIndicesDescriptor();
    list->RemoveIndex(u"Sequential Access Index");
    platform::objectAs<TnxCompKeyDescriptor>(list->AddIndex(u"ByID", 0, idNone, u"")->KeyDescriptor())->Add(0);
    benchCheck(db->Folder()->sfTableBuild(false, u"t", u"", false, dict.get(), tsPersistent) == 0, "build");
  }
  TnxAbstractCursor* abstractCursor = nullptr;
  benchCheck(db->CursorOpen(abstractCursor, u"t", u"", omReadWrite, smShared, 0, u"ByID", -1, false, {}, 500,
                            nullptr) == 0,
             "cursor");
  auto* cursor = static_cast<TnxServerTableCursor*>(abstractCursor);
  TnxFieldsDescriptor* fields = cursor->Table()->TableDescriptor()->FieldsDescriptor();
  const std::int32_t recordLength = fields->RecordLength();
  std::vector<std::uint8_t> record(static_cast<std::size_t>(recordLength) + 16, 0);
  auto* context = static_cast<TnxServerTransContext*>(db->TransContext());
  benchCheck(context->stcTransactionStart(false, false, false, false, false, true) == 0, "start");
  benchCheck(cursor->sbcBeginContentLock(true, false, false) == 0, "lock");

  sqlite3* sql = nullptr;
  sqlite3_open(":memory:", &sql);
  sqlite3_exec(sql, "CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, grp INTEGER)", nullptr, nullptr, nullptr);
  sqlite3_exec(sql, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(sql, "INSERT INTO t VALUES(?,?,?)", -1, &insert, nullptr);
  for (std::int32_t id = 0; id < kBenchRecords; ++id) {
    const std::string name = "name " + std::to_string(id);
    const std::int32_t grp = id % 97;
    cursor->RecordBufferClear(record.data());
    fields->SetRecordField(0, record.data(), &id);
    std::uint8_t shortString[21] = {};
    shortString[0] = static_cast<std::uint8_t>(name.size());
    std::memcpy(shortString + 1, name.data(), name.size());
    fields->SetRecordField(1, record.data(), shortString);
    if (id % 10 != 0) fields->SetRecordField(2, record.data(), &grp);
    TnxRefNr refNr = 0;
    cursor->Table()->RecordEngine()->AddRecord(context->Transaction(), refNr, record.data());
    benchCheck(cursor->Table()->IndicesEngine()->InsertKeys(context->Transaction(), refNr, record.data(), nullptr) == 0,
               "keys");
    sqlite3_bind_int(insert, 1, id);
    sqlite3_bind_text(insert, 2, name.c_str(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    if (id % 10 != 0)
      sqlite3_bind_int(insert, 3, grp);
    else
      sqlite3_bind_null(insert, 3);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  benchCheck(context->stcTransactionCommit() == 0, "commit");
  sqlite3_finalize(insert);
  sqlite3_exec(sql, "COMMIT", nullptr, nullptr, nullptr);
  const std::size_t grpOffset = static_cast<std::size_t>(fields->Fields(2)->fdOffset);

  // Each run reads every record and sums the group field, so no reader can skip work.
  TnxBatchStreamAccess* access = nullptr;
  auto batchRead = [&] {
    std::int64_t sum = 0;
    std::int32_t n = 0;
    const auto start = std::chrono::steady_clock::now();
    TnxRecordGetBatchExOptions options{};
    options.include(gboSetToBeginOrEnd);
    for (;;) {
      benchCheck(cursor->RecordGetBatch(kBatchBytes, options, access, 0, true) == 0, "batch");
      options = {};
      TnxBatchStreamEntry entry{};
      while (access->Next(entry)) {
        std::int32_t grp = 0;
        std::memcpy(&grp, entry.bseRecord + grpOffset, 4);
        sum += grp;
        ++n;
      }
      if (access->InnerError() != 0) break;
    }
    const double t = secondsSince(start);
    benchCheck(n == kBenchRecords, "batch count");
    return t + static_cast<double>(sum) * 0;
  };
  auto nextLoop = [&] {
    std::int64_t sum = 0;
    std::int32_t n = 0;
    const auto start = std::chrono::steady_clock::now();
    cursor->SetToBegin();
    while (cursor->RecordGetNext(nxltNoLock, record.data()) == 0) {
      std::int32_t grp = 0;
      std::memcpy(&grp, record.data() + grpOffset, 4);
      sum += grp;
      ++n;
    }
    const double t = secondsSince(start);
    benchCheck(n == kBenchRecords, "next count");
    return t + static_cast<double>(sum) * 0;
  };
  auto sqliteScan = [&] {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(sql, "SELECT * FROM t", -1, &stmt, nullptr);
    std::int64_t sum = 0;
    std::int32_t n = 0;
    const auto start = std::chrono::steady_clock::now();
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      sum += sqlite3_column_int(stmt, 0);
      sum += sqlite3_column_bytes(stmt, 1);
      sum += sqlite3_column_int(stmt, 2);
      ++n;
    }
    const double t = secondsSince(start);
    sqlite3_finalize(stmt);
    benchCheck(n == kBenchRecords, "sqlite count");
    return t + static_cast<double>(sum) * 0;
  };
  const std::size_t bytes = static_cast<std::size_t>(kBenchRecords) * static_cast<std::size_t>(recordLength + 4);
  std::vector<std::uint8_t> from(bytes, 1), to(bytes, 0);
  auto copy = [&] {
    const auto start = std::chrono::steady_clock::now();
    std::memcpy(to.data(), from.data(), bytes);
    const double t = secondsSince(start);
    benchCheck(to[bytes / 2] == 1, "copy");
    return t;
  };

  batchRead();  // warm the cache
  const double batch = best(batchRead), next = best(nextLoop), sqlite = best(sqliteScan), ceiling = best(copy);
  auto line = [&](const char* aWhat, double aSeconds) {
    std::printf("%-22s %9.3f ms  %7.2f M records/s  %8.1f MB/s\n", aWhat, aSeconds * 1e3,
                kBenchRecords / aSeconds / 1e6, static_cast<double>(bytes) / aSeconds / 1e6);
  };
  std::printf("%d records of %d bytes (+4 per batch entry)\n", kBenchRecords, recordLength);
  line("RecordGetBatch 512 KB", batch);
  line("RecordGetNext loop", next);
  line("SQLite SELECT *", sqlite);
  line("memcpy ceiling", ceiling);
  std::printf("batch speed-up over RecordGetNext: %.2fx (goal >= 3)\n", next / batch);
  std::printf("batch time / SQLite time:          %.2f (goal <= 2)\n", batch / sqlite);
  std::printf("batch time / memcpy time:          %.1f\n", batch / ceiling);
  platform::TObject::free(access);
  sqlite3_close(sql);
  return 0;
}
