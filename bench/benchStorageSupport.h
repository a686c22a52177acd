// What the storage benchmarks share: a wall clock, a transaction that
// commits durably as the server commits a fail-safe transaction, and the
// SQLite result check. Each benchmark is its own executable and includes
// this header once.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "nxsrBufferManager.h"

namespace {

using Clock = std::chrono::steady_clock;
double seconds(Clock::time_point aFrom) { return std::chrono::duration<double>(Clock::now() - aFrom).count(); }

class BenchTransaction : public TnxBaseTransaction {
  PL_CLASS_INFO_DECL()
 public:
  explicit BenchTransaction(TnxBufferManager* aManager) : TnxBaseTransaction(aManager, nullptr, false, true) {}
  TnxResult Commit() override {
    TnxBaseTransactionLevel* level = btTransLevelsTail;
    if (!level->StopNested()) return 0;
    TnxFlushList list;
    btBufferManager->CommitTransaction(this, &list, false);
    list.Flush(true);
    platform::TObject::free(level);
    return 0;
  }
  TnxResult Rollback() override {
    btBufferManager->RollbackTransaction(this);
    platform::TObject::free(btTransLevelsTail);
    return 0;
  }
};
PL_CLASS_INFO_IMPL(BenchTransaction, TnxBaseTransaction, "BenchTransaction", nullptr)

void check(int aRc, sqlite3* aDb, const char* aWhat) {
  if (aRc != SQLITE_OK && aRc != SQLITE_DONE && aRc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite %s: %s\n", aWhat, sqlite3_errmsg(aDb));
    std::exit(1);
  }
}

}  // namespace
