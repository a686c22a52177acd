// Value comparison of the SQL engine: ns per comparison of integers, doubles
// and strings (ordinal and ja-JP collation) through the generic routine, and
// of Int32 columns through the native comparer against a plain memcmp loop
// over the same record buffers. SQLite compares the same values in the same
// run: SELECT count(*) of a = b and of a < b over an in-memory table, divided
// by the rows. The ratios are printed at the end.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "nxsqlCondExp.h"
#include "plString.h"

namespace {

constexpr std::int32_t kRows = 1 << 16;
constexpr std::size_t kRecordBytes = 16;  // two Int32 fields, padding, null bits

struct Data {
  std::vector<std::int32_t> ia, ib;
  std::vector<double> da, db;
  std::vector<std::u16string> sa, sb;
  std::vector<std::uint8_t> records;  // a at 0, b at 4, null bitmap at 12
};

const Data& data() {
  static const Data d = [] {
    Data r;
    std::mt19937 rng(7);
    const char16_t* words[] = {u"apple", u"Apple", u"banana", u"cherry", u"\u3042\u3044", u"\u30a2\u30a4",
                               u"date", u"elder"};
    for (std::int32_t i = 0; i < kRows; ++i) {
      const std::int32_t a = std::int32_t(rng() % 1000), b = rng() % 2 ? a : std::int32_t(rng() % 1000);
      r.ia.push_back(a);
      r.ib.push_back(b);
      r.da.push_back(a * 0.25);
      r.db.push_back(b * 0.25);
      r.sa.push_back(words[rng() % 8]);
      r.sb.push_back(rng() % 2 ? r.sa.back() : words[rng() % 8]);
      std::uint8_t rec[kRecordBytes] = {};
      std::memcpy(rec, &a, 4);
      std::memcpy(rec + 4, &b, 4);
      r.records.insert(r.records.end(), rec, rec + kRecordBytes);
    }
    return r;
  }();
  return d;
}

// A column of the record that the loop points at.
class BufferField final : public InxSqlNativeField {
 public:
  explicit BufferField(std::size_t aOffset) : offset(aOffset) {}
  bool NativeIsNull() override { return (record[12] >> (offset / 4)) & 1; }
  const std::uint8_t* NativeFieldBuffer() override { return record + offset; }
  TnxFieldType NativeFieldType() override { return nxtInt32; }
  std::int32_t NativeUnits() override { return 0; }
  std::int32_t NativeDecimals() override { return 0; }
  TnxLocaleDescriptor* NativeLocaleDesc() override { return nullptr; }
  bool NativeAccess(TnxSqlNativeFieldAccess& aAccess) override {
    aAccess = {&record, std::int32_t(offset), 12, std::uint8_t(1u << (offset / 4))};
    return true;
  }
  const std::uint8_t* record = nullptr;
  std::size_t offset;
};

template <class Make>
void generic(benchmark::State& state, TnxSqlRelOp op, Make make) {
  nxsqlCondExpInitialize();
  std::vector<platform::Variant> a, b;
  make(a, b);
  std::int64_t hits = 0;
  for (auto _ : state)
    for (std::size_t i = 0; i < a.size(); ++i)
      hits += nxSqlCompareByRelOp(op, a[i], b[i], nullptr, nullptr, false, false, true);
  benchmark::DoNotOptimize(hits);
  state.SetItemsProcessed(std::int64_t(state.iterations()) * kRows);
  nxsqlCondExpFinalize();
}

void ints(std::vector<platform::Variant>& a, std::vector<platform::Variant>& b) {
  for (std::int32_t i = 0; i < kRows; ++i) a.emplace_back(data().ia[std::size_t(i)]), b.emplace_back(data().ib[std::size_t(i)]);
}
void doubles(std::vector<platform::Variant>& a, std::vector<platform::Variant>& b) {
  for (std::int32_t i = 0; i < kRows; ++i) a.emplace_back(data().da[std::size_t(i)]), b.emplace_back(data().db[std::size_t(i)]);
}
void strings(std::vector<platform::Variant>& a, std::vector<platform::Variant>& b) {
  for (std::int32_t i = 0; i < kRows; ++i) a.emplace_back(data().sa[std::size_t(i)]), b.emplace_back(data().sb[std::size_t(i)]);
}

void BM_IntEq(benchmark::State& s) { generic(s, roEQ, ints); }
void BM_IntLess(benchmark::State& s) { generic(s, roL, ints); }
void BM_DoubleEq(benchmark::State& s) { generic(s, roEQ, doubles); }
void BM_DoubleLess(benchmark::State& s) { generic(s, roL, doubles); }
void BM_StringEq(benchmark::State& s) { generic(s, roEQ, strings); }
void BM_StringLess(benchmark::State& s) { generic(s, roL, strings); }

void BM_StringLessJa(benchmark::State& state) {
  std::vector<platform::Variant> a, b;
  strings(a, b);
  std::int64_t hits = 0;
  for (auto _ : state)
    for (std::size_t i = 0; i < a.size(); ++i) hits += nxSqlCompareVariants(a[i], b[i], 1041, 0) == 0;
  benchmark::DoNotOptimize(hits);
  state.SetItemsProcessed(std::int64_t(state.iterations()) * kRows);
}

void BM_NativeInt32Eq(benchmark::State& state) {
  BufferField fa(0), fb(4);
  auto comparer = nxSqlNativeComparerFor(&fa, &fb);
  const std::uint8_t* recs = data().records.data();
  std::int64_t hits = 0;
  for (auto _ : state)
    for (std::int32_t i = 0; i < kRows; ++i) {
      fa.record = fb.record = recs + std::size_t(i) * kRecordBytes;
      hits += comparer->Compare() == tsbTrue;
    }
  benchmark::DoNotOptimize(hits);
  state.SetItemsProcessed(std::int64_t(state.iterations()) * kRows);
}

// The same work by hand: both null bits, then the four bytes.
void BM_MemcmpInt32Eq(benchmark::State& state) {
  const std::uint8_t* recs = data().records.data();
  std::int64_t hits = 0;
  for (auto _ : state)
    for (std::int32_t i = 0; i < kRows; ++i) {
      const std::uint8_t* r = recs + std::size_t(i) * kRecordBytes;
      benchmark::DoNotOptimize(r);
      hits += (r[12] & 3) == 0 && std::memcmp(r, r + 4, 4) == 0;
    }
  benchmark::DoNotOptimize(hits);
  state.SetItemsProcessed(std::int64_t(state.iterations()) * kRows);
}

sqlite3* sqliteTable(const char* aType, int aKind) {
  sqlite3* db = nullptr;
  sqlite3_open(":memory:", &db);
  sqlite3_exec(db, (std::string("CREATE TABLE t(a ") + aType + ", b " + aType + ")").c_str(), nullptr, nullptr,
               nullptr);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* ins = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?, ?)", -1, &ins, nullptr);
  for (std::size_t i = 0; i < std::size_t(kRows); ++i) {
    if (aKind == 0) {
      sqlite3_bind_int(ins, 1, data().ia[i]);
      sqlite3_bind_int(ins, 2, data().ib[i]);
    } else if (aKind == 1) {
      sqlite3_bind_double(ins, 1, data().da[i]);
      sqlite3_bind_double(ins, 2, data().db[i]);
    } else {
      const std::string a = platform::toUtf8(data().sa[i]), b = platform::toUtf8(data().sb[i]);
      sqlite3_bind_text(ins, 1, a.c_str(), int(a.size()), SQLITE_TRANSIENT);
      sqlite3_bind_text(ins, 2, b.c_str(), int(b.size()), SQLITE_TRANSIENT);
    }
    sqlite3_step(ins);
    sqlite3_reset(ins);
  }
  sqlite3_finalize(ins);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  return db;
}

void sqliteCount(benchmark::State& state, const char* aType, int aKind, const char* aOp) {
  sqlite3* db = sqliteTable(aType, aKind);
  sqlite3_stmt* q = nullptr;
  sqlite3_prepare_v2(db, (std::string("SELECT count(*) FROM t WHERE a ") + aOp + " b").c_str(), -1, &q, nullptr);
  std::int64_t hits = 0;
  for (auto _ : state) {
    sqlite3_step(q);
    hits += sqlite3_column_int64(q, 0);
    sqlite3_reset(q);
  }
  benchmark::DoNotOptimize(hits);
  sqlite3_finalize(q);
  sqlite3_close(db);
  state.SetItemsProcessed(std::int64_t(state.iterations()) * kRows);
}

void BM_SqliteIntEq(benchmark::State& s) { sqliteCount(s, "INTEGER", 0, "="); }
void BM_SqliteIntLess(benchmark::State& s) { sqliteCount(s, "INTEGER", 0, "<"); }
void BM_SqliteDoubleEq(benchmark::State& s) { sqliteCount(s, "REAL", 1, "="); }
void BM_SqliteDoubleLess(benchmark::State& s) { sqliteCount(s, "REAL", 1, "<"); }
void BM_SqliteStringEq(benchmark::State& s) { sqliteCount(s, "TEXT", 2, "="); }
void BM_SqliteStringLess(benchmark::State& s) { sqliteCount(s, "TEXT", 2, "<"); }

BENCHMARK(BM_IntEq)->Name("generic/int/=");
BENCHMARK(BM_IntLess)->Name("generic/int/<");
BENCHMARK(BM_DoubleEq)->Name("generic/double/=");
BENCHMARK(BM_DoubleLess)->Name("generic/double/<");
BENCHMARK(BM_StringEq)->Name("generic/string/=");
BENCHMARK(BM_StringLess)->Name("generic/string/<");
BENCHMARK(BM_StringLessJa)->Name("generic/string-ja-JP/<");
BENCHMARK(BM_NativeInt32Eq)->Name("native/int32/=");
BENCHMARK(BM_MemcmpInt32Eq)->Name("memcmp/int32/=");
BENCHMARK(BM_SqliteIntEq)->Name("sqlite/int/=");
BENCHMARK(BM_SqliteIntLess)->Name("sqlite/int/<");
BENCHMARK(BM_SqliteDoubleEq)->Name("sqlite/double/=");
BENCHMARK(BM_SqliteDoubleLess)->Name("sqlite/double/<");
BENCHMARK(BM_SqliteStringEq)->Name("sqlite/string/=");
BENCHMARK(BM_SqliteStringLess)->Name("sqlite/string/<");

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> nsPerItem;
  void ReportRuns(const std::vector<Run>& aRuns) override {
    for (const Run& run : aRuns) {
      auto it = run.counters.find("items_per_second");
      if (it != run.counters.end() && it->second > 0) nsPerItem[run.benchmark_name()] = 1e9 / it->second;
    }
    ConsoleReporter::ReportRuns(aRuns);
  }
  void ratio(const char* aLabel, const std::string& aOurs, const std::string& aPeer) {
    const double ours = nsPerItem[aOurs], peer = nsPerItem[aPeer];
    if (ours > 0 && peer > 0)
      std::printf("%-28s ours %7.2f ns, %-16s %7.2f ns: ours / peer = %.2f\n", aLabel, ours, aPeer.c_str(), peer,
                  ours / peer);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nns per comparison (SQLite %s: count(*) over %d rows, per row)\n", sqlite3_libversion(), kRows);
  reporter.ratio("native = vs memcmp", "native/int32/=", "memcmp/int32/=");
  reporter.ratio("generic int = vs SQLite", "generic/int/=", "sqlite/int/=");
  reporter.ratio("generic int < vs SQLite", "generic/int/<", "sqlite/int/<");
  reporter.ratio("generic double = vs SQLite", "generic/double/=", "sqlite/double/=");
  reporter.ratio("generic double < vs SQLite", "generic/double/<", "sqlite/double/<");
  reporter.ratio("generic string = vs SQLite", "generic/string/=", "sqlite/string/=");
  reporter.ratio("generic string < vs SQLite", "generic/string/<", "sqlite/string/<");
  reporter.ratio("ja-JP string < vs ordinal", "generic/string-ja-JP/<", "generic/string/<");
  benchmark::Shutdown();
  return 0;
}
