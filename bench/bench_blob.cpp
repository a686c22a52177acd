// BLOBs through a client cursor (the caching BLOB handler) against SQLite
// blob columns in one run: 1,000 BLOBs of 100 KB written (create, write,
// insert; one transaction each side) and read back whole. Prints MB/s and
// the ratios.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "benchServerSupport.h"
#include "nxllStreams.h"

namespace {

constexpr std::int32_t kBlobs = 1000;
constexpr std::uint32_t kBlobSize = 100 * 1024;

double megabytesPerSecond(double aSeconds) {
  return static_cast<double>(kBlobs) * kBlobSize / (1024.0 * 1024.0) / aSeconds;
}

}  // namespace

int main() {
  BenchServer server("nxbenchblob");
  const char* dir = server.dir.c_str();
  TnxServerDatabase* db = server.db;
  {
    TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
    dict->FieldsDescriptor()->AddField(u"K", u"", nxtInt32, 0, 0, false);
    dict->FieldsDescriptor()->AddField(u"B", u"", nxtBlob, 0, 0, false);
    auto* blob = platform::objectAs<TnxHeapBlobDescriptor>(dict->AddBlobDescriptor());
    blob->AddHeapDescriptor()->AddBlockHeapDescriptor();
    TnxMainIndicesDescriptor* list = dict->EnsureIndicesDescriptor();
    list->RemoveIndex(u"Sequential Access Index");
    platform::objectAs<TnxCompKeyDescriptor>(list->AddIndex(u"ByK", 0, idNone, u"")->KeyDescriptor())->Add(0);
    benchCheck(db->Folder()->sfTableBuild(false, u"t", u"", false, dict.get(), tsPersistent) == 0, "build");
  }
  TnxAbstractCursor* cursor = nullptr;
  benchCheck(db->CursorOpen(cursor, u"t", u"", omReadWrite, smShared, 0, u"ByK", -1, false, {}, 500, nullptr) == 0,
             "cursor");
  TnxFieldsDescriptor* fields = cursor->FieldsDescriptor();
  std::vector<std::uint8_t> record(static_cast<std::size_t>(fields->RecordLength()) + 16, 0);
  std::string data(kBlobSize, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 % 251);

  // Ours: create, write, insert.
  auto start = std::chrono::steady_clock::now();
  benchCheck(db->TransactionStart(false, false) == 0, "start");
  for (std::int32_t k = 0; k < kBlobs; ++k) {
    TnxBlobNr number = 0;
    benchCheck(cursor->BlobCreate(nxNullRecID, 1, number) == 0, "create");
    benchCheck(cursor->BlobWrite(nxNullRecID, 1, number, 0, kBlobSize, data.data()) == 0, "write");
    fields->InitRecord(record.data());
    fields->SetRecordField(0, record.data(), &k);
    fields->SetRecordField(1, record.data(), &number);
    benchCheck(cursor->RecordInsert(nxltNoLock, record.data(), nullptr) == 0, "insert");
  }
  benchCheck(db->TransactionCommit() == 0, "commit");
  const double ourWrite = secondsSince(start);
  // Ours: read each back whole.
  TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>(static_cast<std::int32_t>(kBlobSize)));
  start = std::chrono::steady_clock::now();
  benchCheck(cursor->SetToBegin() == 0, "begin");
  std::int32_t read = 0;
  while (cursor->RecordGetNext(nxltNoLock, record.data()) == 0) {
    TnxBlobNr number = 0;
    std::memcpy(&number, record.data() + fields->Fields(1)->fdOffset, sizeof(number));
    stream->SetSize(0);
    benchCheck(cursor->BlobRead(cursor->acGetRecID(record.data()), 1, number, 0, kBlobSize, *stream, false,
                                nullptr) == 0,
               "read");
    benchCheck(stream->Size() == kBlobSize, "read size");
    ++read;
  }
  benchCheck(read == kBlobs, "read count");
  const double ourRead = secondsSince(start);

  // SQLite: a file beside ours, a prepared INSERT with a bound blob.
  const std::string sqlPath = std::string(dir) + "/peer.db";
  sqlite3* sql = nullptr;
  sqlite3_open(sqlPath.c_str(), &sql);
  sqlite3_exec(sql, "CREATE TABLE t(k INTEGER PRIMARY KEY, b BLOB)", nullptr, nullptr, nullptr);
  start = std::chrono::steady_clock::now();
  sqlite3_exec(sql, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(sql, "INSERT INTO t VALUES(?,?)", -1, &insert, nullptr);
  for (std::int32_t k = 0; k < kBlobs; ++k) {
    sqlite3_bind_int(insert, 1, k);
    sqlite3_bind_blob(insert, 2, data.data(), static_cast<int>(kBlobSize), SQLITE_STATIC);
    benchCheck(sqlite3_step(insert) == SQLITE_DONE, "sqlite insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_exec(sql, "COMMIT", nullptr, nullptr, nullptr);
  const double sqlWrite = secondsSince(start);
  std::vector<char> buffer(kBlobSize);
  start = std::chrono::steady_clock::now();
  for (std::int32_t k = 0; k < kBlobs; ++k) {
    sqlite3_blob* blob = nullptr;
    benchCheck(sqlite3_blob_open(sql, "main", "t", "b", k, 0, &blob) == SQLITE_OK, "blob open");
    benchCheck(sqlite3_blob_read(blob, buffer.data(), static_cast<int>(kBlobSize), 0) == SQLITE_OK, "blob read");
    sqlite3_blob_close(blob);
  }
  const double sqlRead = secondsSince(start);
  sqlite3_close(sql);

  std::printf("write (create, write, insert): %8.1f MB/s  SQLite %8.1f MB/s  ratio %.2f\n",
              megabytesPerSecond(ourWrite), megabytesPerSecond(sqlWrite), ourWrite / sqlWrite);
  std::printf("read back whole:               %8.1f MB/s  SQLite %8.1f MB/s  ratio %.2f\n",
              megabytesPerSecond(ourRead), megabytesPerSecond(sqlRead), ourRead / sqlRead);
  return 0;
}
