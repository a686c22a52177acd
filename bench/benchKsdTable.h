// The records of the table benchmarks: K (a permutation of 0 .. n-1, so that
// no index is built from sorted keys), S (40 characters), D (K / 2); filled
// on our side through a table cursor and on SQLite's through a prepared
// INSERT, each in one transaction of its caller.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "benchServerSupport.h"

inline std::string ksdTextOf(std::int32_t aKey) {
  std::string text = "question text number " + std::to_string(aKey);
  text.resize(40, '.');
  return text;
}

inline std::int32_t ksdKeyOf(std::int32_t aIndex, std::int32_t aCount) {
  return static_cast<std::int32_t>((static_cast<std::int64_t>(aIndex) * 7919) % aCount);
}

// aCount records through aCursor, inside the caller's transaction.
inline void ksdFillOurs(TnxServerTableCursor* aCursor, std::int32_t aCount) {
  TnxFieldsDescriptor* fields = aCursor->Table()->TableDescriptor()->FieldsDescriptor();
  std::vector<std::uint8_t> record(static_cast<std::size_t>(fields->RecordLength()) + 16, 0);
  for (std::int32_t i = 0; i < aCount; ++i) {
    const std::int32_t key = ksdKeyOf(i, aCount);
    std::fill(record.begin(), record.end(), 0);
    fields->SetRecordField(0, record.data(), &key);
    const std::string text = ksdTextOf(key);
    std::uint8_t shortString[41];
    shortString[0] = 40;
    std::memcpy(shortString + 1, text.data(), 40);
    fields->SetRecordField(1, record.data(), shortString);
    const double value = key * 0.5;
    fields->SetRecordField(2, record.data(), &value);
    benchCheck(aCursor->RecordInsert(nxltNoLock, record.data(), nullptr) == 0, "insert");
  }
}

// aCount records through aInsertSql ("INSERT INTO t VALUES(?,?,?)"), inside
// the caller's transaction.
inline void ksdFillSqlite(sqlite3* aSql, const char* aInsertSql, std::int32_t aCount) {
  sqlite3_stmt* insert = nullptr;
  benchCheck(sqlite3_prepare_v2(aSql, aInsertSql, -1, &insert, nullptr) == SQLITE_OK, "sqlite prepare");
  for (std::int32_t i = 0; i < aCount; ++i) {
    const std::int32_t key = ksdKeyOf(i, aCount);
    const std::string text = ksdTextOf(key);
    sqlite3_bind_int(insert, 1, key);
    sqlite3_bind_text(insert, 2, text.data(), 40, SQLITE_TRANSIENT);
    sqlite3_bind_double(insert, 3, key * 0.5);
    benchCheck(sqlite3_step(insert) == SQLITE_DONE, "sqlite insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
}
