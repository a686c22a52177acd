// The client dataset against the bare engine cursor and SQLite (C API) in the
// same run on the same data: 100,000 records of an Int32 key with a unique
// index, a 40-character string, a double and an Int64, on disk in one
// temporary folder.
// Scan: First to EOF reading the four fields through the fields' As...
// accessors, against a RecordGetNext loop reading the four fields from the
// record, and SQLite stepping with sqlite3_column_*. Prints the time per
// record and the ratios (targets: within 2x of the cursor, 5x of SQLite),
// and where the dataset's time goes: its navigation alone, and the cursor
// reading each record's bookmark too, as every fetch of the dataset does.
// Append/Post: 100,000 records through Append, the fields' As... setters and
// Post in one transaction into an empty table, against SQLite's prepared
// INSERT in one transaction (target: within 5x of SQLite).
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "benchServerSupport.h"
#include "nxTestDataset.h"
#include "nxdb.h"
#include "nxdbConversion.h"

namespace {

constexpr std::int32_t kBenchRecords = 100000;
constexpr int kRounds = 5;

// The 40-character text of record k.
std::string textOf(std::int32_t aKey) {
  std::string text = "question text number " + std::to_string(aKey);
  text.resize(40, '.');
  return text;
}

TnxServerDataDict* benchDictionary() {
  TnxServerDataDict* dict = platform::create<TnxServerDataDict>();
  dict->FieldsDescriptor()->AddField(u"K", u"", nxtInt32, 0, 0, false);
  dict->FieldsDescriptor()->AddField(u"S", u"", nxtShortString, 40, 0, false);
  dict->FieldsDescriptor()->AddField(u"D", u"", nxtDouble, 0, 0, false);
  dict->FieldsDescriptor()->AddField(u"L", u"", nxtInt64, 0, 0, false);
  TnxMainIndicesDescriptor* list = dict->EnsureIndicesDescriptor();
  list->RemoveIndex(u"Sequential Access Index");
  platform::objectAs<TnxCompKeyDescriptor>(list->AddIndex(u"ByK", 0, idNone, u"")->KeyDescriptor())->Add(0);
  return dict;
}

// The best of kRounds runs of aRun (seconds per record).
template <class Run>
double best(Run&& aRun) {
  double result = 1e9;
  for (int i = 0; i < kRounds; ++i) result = std::min(result, aRun());
  return result;
}

}  // namespace

int main() {
  BenchServer server("nxbenchdataset");
  nxdbConversionInitialize();
  TnxServerDatabase* db = server.db;
  {
    TnxOwned<TnxServerDataDict> dict(benchDictionary());
    benchCheck(db->Folder()->sfTableBuild(false, u"t", u"", false, dict.get(), tsPersistent) == 0, "build");
  }
  TnxAbstractCursor* opened = nullptr;
  benchCheck(db->CursorOpen(opened, u"t", u"", omReadWrite, smShared, 0, u"ByK", -1, false, {}, 500, nullptr) == 0,
             "cursor");
  auto* cursor = static_cast<TnxServerTableCursor*>(opened);
  TnxFieldsDescriptor* fields = cursor->Table()->TableDescriptor()->FieldsDescriptor();
  std::vector<std::uint8_t> record(static_cast<std::size_t>(fields->RecordLength()) + 16, 0);
  const std::int32_t offK = fields->Fields(0)->fdOffset;
  const std::int32_t offS = fields->Fields(1)->fdOffset;
  const std::int32_t offD = fields->Fields(2)->fdOffset;
  const std::int32_t offL = fields->Fields(3)->fdOffset;

  // SQLite in a file of the same folder, with the engine's cache budget.
  const std::string sqlPath = server.dir + "/sqlite.db";
  sqlite3* sql = nullptr;
  benchCheck(sqlite3_open(sqlPath.c_str(), &sql) == SQLITE_OK, "sqlite open");
  sqlite3_exec(sql, "PRAGMA cache_size=-262144", nullptr, nullptr, nullptr);
  sqlite3_exec(sql, "CREATE TABLE t(k INTEGER PRIMARY KEY, s TEXT, d REAL, l INTEGER)", nullptr, nullptr, nullptr);

  // The same records on both sides.
  benchCheck(db->TransactionStart(false, false) == 0, "start");
  sqlite3_exec(sql, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(sql, "INSERT INTO t VALUES(?,?,?,?)", -1, &insert, nullptr);
  for (std::int32_t k = 0; k < kBenchRecords; ++k) {
    const std::string text = textOf(k);
    const double d = k * 0.5;
    const std::int64_t l = std::int64_t{k} * 1000003;
    std::fill(record.begin(), record.end(), 0);
    fields->SetRecordField(0, record.data(), &k);
    std::uint8_t shortString[41];
    shortString[0] = 40;
    std::memcpy(shortString + 1, text.data(), 40);
    fields->SetRecordField(1, record.data(), shortString);
    fields->SetRecordField(2, record.data(), &d);
    fields->SetRecordField(3, record.data(), &l);
    benchCheck(cursor->RecordInsert(nxltNoLock, record.data(), nullptr) == 0, "insert");
    sqlite3_bind_int(insert, 1, k);
    sqlite3_bind_text(insert, 2, text.data(), 40, SQLITE_TRANSIENT);
    sqlite3_bind_double(insert, 3, d);
    sqlite3_bind_int64(insert, 4, l);
    benchCheck(sqlite3_step(insert) == SQLITE_DONE, "sqlite insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_exec(sql, "COMMIT", nullptr, nullptr, nullptr);
  benchCheck(db->TransactionCommit() == 0, "commit");

  // The client components over the same engine and folder.
  auto* session = platform::create<TnxSession>(nullptr);
  session->SetServerEngine(server.engine);
  auto* database = platform::create<TnxDatabase>(nullptr);
  database->SetSession(session);
  database->SetAliasPath(server.path);
  auto* dataset = platform::create<TnxTestDataset>(nullptr);
  dataset->SetDatabase(database);
  dataset->SetTableName(u"t");
  dataset->SetIndexName(u"ByK");
  dataset->Open();

  double checksum = 0;
  const double oursScan = best([&] {
    platform::TField* k = dataset->FieldByName(u"K");
    platform::TField* s = dataset->FieldByName(u"S");
    platform::TField* d = dataset->FieldByName(u"D");
    platform::TField* l = dataset->FieldByName(u"L");
    const auto start = std::chrono::steady_clock::now();
    std::int32_t n = 0;
    for (dataset->First(); !dataset->Eof(); dataset->Next()) {
      checksum += k->AsInteger() + static_cast<double>(s->AsString().size()) + d->AsFloat() +
                  static_cast<double>(l->AsLargeInt());
      ++n;
    }
    benchCheck(n == kBenchRecords, "dataset scan count");
    return secondsSince(start) / n;
  });
  const double navOnly = best([&] {
    const auto start = std::chrono::steady_clock::now();
    std::int32_t n = 0;
    for (dataset->First(); !dataset->Eof(); dataset->Next()) ++n;
    return secondsSince(start) / n;
  });
  const double withBookmark = best([&] {
    std::vector<std::uint8_t> bm(64);
    const auto start = std::chrono::steady_clock::now();
    benchCheck(cursor->SetToBegin() == 0, "set to begin");
    std::int32_t n = 0;
    while (cursor->RecordGetNext(nxltNoLock, record.data()) == 0) {
      cursor->GetBookmark(bm.data(), dataset->BookmarkSize());
      ++n;
    }
    return secondsSince(start) / n;
  });
  const double cursorScan = best([&] {
    const auto start = std::chrono::steady_clock::now();
    benchCheck(cursor->SetToBegin() == 0, "set to begin");
    std::int32_t n = 0;
    while (cursor->RecordGetNext(nxltNoLock, record.data()) == 0) {
      std::int32_t k = 0;
      double d = 0;
      std::int64_t l = 0;
      std::memcpy(&k, record.data() + offK, 4);
      std::memcpy(&d, record.data() + offD, 8);
      std::memcpy(&l, record.data() + offL, 8);
      checksum += k + static_cast<double>(record[static_cast<std::size_t>(offS)]) + d + static_cast<double>(l);
      ++n;
    }
    benchCheck(n == kBenchRecords, "cursor scan count");
    return secondsSince(start) / n;
  });
  const double sqliteScan = best([&] {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(sql, "SELECT k, s, d, l FROM t ORDER BY k", -1, &stmt, nullptr);
    const auto start = std::chrono::steady_clock::now();
    std::int32_t n = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      checksum += sqlite3_column_int(stmt, 0) + static_cast<double>(sqlite3_column_bytes(stmt, 1)) +
                  (sqlite3_column_text(stmt, 1) ? 0 : 1) + sqlite3_column_double(stmt, 2) +
                  static_cast<double>(sqlite3_column_int64(stmt, 3));
      ++n;
    }
    const double t = secondsSince(start) / n;
    sqlite3_finalize(stmt);
    benchCheck(n == kBenchRecords, "sqlite scan count");
    return t;
  });

  // Append/Post: 100,000 records through the dataset's Append, the fields'
  // As... setters and Post, in one transaction, into an empty table; against
  // SQLite's prepared INSERT in one transaction. A fresh table per round.
  int appendRound = 0;
  const double oursAppend = best([&] {
    const nxString name = u"a" + platform::fromUtf8(std::to_string(appendRound++));
    {
      TnxOwned<TnxServerDataDict> dict(benchDictionary());
      benchCheck(db->Folder()->sfTableBuild(false, name, u"", false, dict.get(), tsPersistent) == 0, "build a");
    }
    auto* target = platform::create<TnxTestDataset>(nullptr);
    target->SetDatabase(database);
    target->SetTableName(name);
    target->SetIndexName(u"ByK");
    target->Open();
    platform::TField* k = target->FieldByName(u"K");
    platform::TField* s = target->FieldByName(u"S");
    platform::TField* d = target->FieldByName(u"D");
    platform::TField* l = target->FieldByName(u"L");
    std::vector<nxString> texts;
    texts.reserve(kBenchRecords);
    for (std::int32_t i = 0; i < kBenchRecords; ++i) texts.push_back(platform::fromUtf8(textOf(i)));
    const auto start = std::chrono::steady_clock::now();
    database->StartTransaction();
    for (std::int32_t i = 0; i < kBenchRecords; ++i) {
      target->Append();
      k->SetAsInteger(i);
      s->SetAsString(texts[static_cast<std::size_t>(i)]);
      d->SetAsFloat(i * 0.5);
      l->SetAsLargeInt(std::int64_t{i} * 1000003);
      target->Post();
    }
    database->Commit();
    const double t = secondsSince(start) / kBenchRecords;
    benchCheck(target->GetRecordCount() == kBenchRecords, "dataset append count");
    platform::TObject::free(target);
    return t;
  });
  int sqliteRound = 0;
  const double sqliteAppend = best([&] {
    std::string table = "a";
    table += std::to_string(sqliteRound++);
    std::string create = "CREATE TABLE ";
    create += table;
    create += "(k INTEGER PRIMARY KEY, s TEXT, d REAL, l INTEGER)";
    sqlite3_exec(sql, create.c_str(), nullptr, nullptr, nullptr);
    std::vector<std::string> texts;
    texts.reserve(kBenchRecords);
    for (std::int32_t i = 0; i < kBenchRecords; ++i) texts.push_back(textOf(i));
    sqlite3_stmt* stmt = nullptr;
    std::string insertText = "INSERT INTO ";
    insertText += table;
    insertText += " VALUES(?,?,?,?)";
    sqlite3_prepare_v2(sql, insertText.c_str(), -1, &stmt, nullptr);
    const auto start = std::chrono::steady_clock::now();
    sqlite3_exec(sql, "BEGIN", nullptr, nullptr, nullptr);
    for (std::int32_t i = 0; i < kBenchRecords; ++i) {
      sqlite3_bind_int(stmt, 1, i);
      sqlite3_bind_text(stmt, 2, texts[static_cast<std::size_t>(i)].data(), 40, SQLITE_STATIC);
      sqlite3_bind_double(stmt, 3, i * 0.5);
      sqlite3_bind_int64(stmt, 4, std::int64_t{i} * 1000003);
      benchCheck(sqlite3_step(stmt) == SQLITE_DONE, "sqlite append");
      sqlite3_reset(stmt);
    }
    sqlite3_exec(sql, "COMMIT", nullptr, nullptr, nullptr);
    const double t = secondsSince(start) / kBenchRecords;
    sqlite3_finalize(stmt);
    return t;
  });

  std::printf("scan, First to EOF, four fields (%d records, best of %d)\n", kBenchRecords, kRounds);
  std::printf("  dataset As... accessors %10.1f ns/record\n", oursScan * 1e9);
  std::printf("  bare cursor RecordGetNext %8.1f ns/record  dataset/cursor ratio %.2f (target 2)\n",
              cursorScan * 1e9, oursScan / cursorScan);
  std::printf("  SQLite step + column_* %11.1f ns/record  dataset/SQLite ratio %.2f (target 5)\n", sqliteScan * 1e9,
              oursScan / sqliteScan);
  std::printf("  breakdown: dataset First to EOF without field reads %.1f ns/record; cursor RecordGetNext with\n"
              "  GetBookmark (what every fetch of the dataset asks) %.1f ns/record\n",
              navOnly * 1e9, withBookmark * 1e9);
  std::printf("append/post, one transaction (%d records, best of %d)\n", kBenchRecords, kRounds);
  std::printf("  dataset Append, As... setters, Post %6.1f ns/record\n", oursAppend * 1e9);
  std::printf("  SQLite prepared INSERT %11.1f ns/record  dataset/SQLite ratio %.2f (target 5)\n", sqliteAppend * 1e9,
              oursAppend / sqliteAppend);
  std::printf("(checksum %.0f)\n", checksum);

  platform::TObject::free(dataset);
  platform::TObject::free(database);
  platform::TObject::free(session);
  platform::TObject::free(cursor);
  sqlite3_close(sql);
  nxdbConversionFinalize();
  return 0;
}
