// Simple-expression filters: an integer range AND a text equality over a
// million records, against SQLite counting the same rows with that WHERE
// (no index, so both read every row). The ratio of our CPU time to SQLite's
// is printed after the runs (below 1: ours is faster).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "nxllUtils.h"
#include "nxsdDataDictionary.h"
#include "nxsdFilterEngineSimpleExpression.h"

namespace {

constexpr int kRecords = 1000000;

// N >= 1000 AND N < 5000 AND S = 'word7', as the dataset framework lays it out.
std::vector<std::uint8_t> buildFilter() {
  std::vector<std::uint8_t> nodes, literals;
  auto u16 = [](std::vector<std::uint8_t>& v, std::uint16_t x) {
    v.push_back(static_cast<std::uint8_t>(x));
    v.push_back(static_cast<std::uint8_t>(x >> 8));
  };
  auto u32 = [&](std::vector<std::uint8_t>& v, std::uint32_t x) {
    u16(v, static_cast<std::uint16_t>(x));
    u16(v, static_cast<std::uint16_t>(x >> 16));
  };
  auto node = [&](std::uint32_t aCls, std::uint32_t aOp, std::initializer_list<std::uint16_t> aOps) {
    const auto at = static_cast<std::uint16_t>(nodes.size());
    u32(nodes, aCls);
    u32(nodes, aOp);
    for (std::uint16_t o : aOps) u16(nodes, o);
    return at;
  };
  auto literal = [&](const void* p, std::size_t n) {
    const auto at = static_cast<std::uint16_t>(literals.size());
    const std::size_t old = literals.size();
    literals.resize(old + n);
    std::memcpy(literals.data() + old, p, n);
    return at;
  };
  // Root first (node offset 0); its operands are patched once known.
  const std::uint16_t root = node(nxCANBinary, coAND, {0, 0});
  const std::uint16_t range = node(nxCANBinary, coAND, {0, 0});
  const std::uint16_t ge = node(nxCANBinary, coGE, {0, 0});
  const std::uint16_t lt = node(nxCANBinary, coLT, {0, 0});
  const std::uint16_t eq = node(nxCANBinary, coEQ, {0, 0});
  const std::uint16_t fieldN = node(nxCANField, 0, {1, literal("N", 2)});
  const std::uint16_t fieldS = node(nxCANField, 0, {2, literal("S", 2)});
  const std::int32_t lo = 1000, hi = 5000;
  const std::uint16_t cLo = node(nxCANConst, 0, {nxCANInt32, 4, literal(&lo, 4)});
  const std::uint16_t cHi = node(nxCANConst, 0, {nxCANInt32, 4, literal(&hi, 4)});
  const std::uint16_t cText = node(nxCANConst, 0, {nxCANText, 6, literal("word7", 6)});
  auto patch = [&](std::uint16_t aNode, std::uint16_t a, std::uint16_t b) {
    std::memcpy(&nodes[aNode + 8], &a, 2);
    std::memcpy(&nodes[aNode + 10], &b, 2);
  };
  patch(root, range, eq);
  patch(range, ge, lt);
  patch(ge, fieldN, cLo);
  patch(lt, fieldN, cHi);
  patch(eq, fieldS, cText);
  std::vector<std::uint8_t> out(10);
  const std::uint16_t header[5] = {1, static_cast<std::uint16_t>(10 + nodes.size() + literals.size()),
                                   10, 10, static_cast<std::uint16_t>(10 + nodes.size())};
  std::memcpy(out.data(), header, 10);
  out.insert(out.end(), nodes.begin(), nodes.end());
  out.insert(out.end(), literals.begin(), literals.end());
  return out;
}

class Table : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  Table() : TnxDictionaryItem(nullptr) {}
  bool IsDataDictionary() const override { return true; }
  std::int32_t DictionaryVersion() const override { return 4; }
};
PL_CLASS_INFO_IMPL(Table, TnxDictionaryItem, "BenchFilterTable", nullptr)

struct Data {
  Table table;
  TnxFieldsDescriptor* fields = nullptr;
  std::vector<std::uint8_t> store;
  std::size_t recordLength = 0;
  std::vector<std::int32_t> n;
  std::vector<std::string> s;

  Data() {
    nxllUtilsInitialize();
    nxsdDataDictionaryInitialize(std::span<const nxString>());
    fields = platform::create<TnxFieldsDescriptor>(&table);
    fields->AddField(u"N", u"", nxtInt32, 0, 0, false);
    fields->AddField(u"S", u"", nxtNullString, 12, 0, false);
    recordLength = static_cast<std::size_t>(fields->RecordLength());
    store.assign(recordLength * kRecords, 0);
    std::mt19937 rng(7);
    for (int i = 0; i < kRecords; ++i) {
      std::uint8_t* r = &store[static_cast<std::size_t>(i) * recordLength];
      fields->InitRecord(r);
      n.push_back(static_cast<std::int32_t>(rng() % 100000));
      s.push_back("word" + std::to_string(rng() % 50));
      std::memcpy(r + fields->Fields(0)->fdOffset, &n.back(), 4);
      std::memcpy(r + fields->Fields(1)->fdOffset, s.back().c_str(), s.back().size() + 1);
      fields->SetRecordFieldNull(0, r, false);
      fields->SetRecordFieldNull(1, r, false);
    }
    // A table in use has its dictionary in cached mode.
    fields->ActivateCache();
  }
};

Data& data() {
  static Data d;
  return d;
}

void BM_FilterOurs(benchmark::State& state) {
  Data& d = data();
  const std::vector<std::uint8_t> e = buildFilter();
  TnxSimpleExpressionFilterDescriptor descriptor(e.data(), -1);
  TnxBaseFilterEngine* engine =
      TnxBaseFilterEngine::CreateFor(&descriptor, TnxIntfPtr<InxFieldsSource>(d.fields));
  engine->SetActive(true);
  std::int64_t count = 0;
  for (auto _ : state) {
    count = 0;
    for (std::size_t i = 0; i < kRecords; ++i) count += engine->MatchesBuffer(&d.store[i * d.recordLength]);
    benchmark::DoNotOptimize(count);
  }
  state.counters["rows"] = static_cast<double>(count);
  platform::TObject::free(engine);
}

void check(int aRc, sqlite3* aDb) {
  if (aRc != SQLITE_OK && aRc != SQLITE_DONE && aRc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(aDb));
    std::abort();
  }
}

void BM_FilterSqlite(benchmark::State& state) {
  Data& d = data();
  sqlite3* db = nullptr;
  check(sqlite3_open(":memory:", &db), db);
  check(sqlite3_exec(db, "CREATE TABLE t(n INTEGER, s TEXT); BEGIN", nullptr, nullptr, nullptr), db);
  sqlite3_stmt* insert = nullptr;
  check(sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?, ?)", -1, &insert, nullptr), db);
  for (int i = 0; i < kRecords; ++i) {
    sqlite3_bind_int(insert, 1, d.n[static_cast<std::size_t>(i)]);
    sqlite3_bind_text(insert, 2, d.s[static_cast<std::size_t>(i)].c_str(), -1, SQLITE_STATIC);
    check(sqlite3_step(insert), db);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  sqlite3_stmt* query = nullptr;
  check(sqlite3_prepare_v2(db, "SELECT count(*) FROM t WHERE n >= 1000 AND n < 5000 AND s = 'word7'", -1, &query,
                           nullptr),
        db);
  std::int64_t count = 0;
  for (auto _ : state) {
    check(sqlite3_step(query), db);
    count = sqlite3_column_int64(query, 0);
    sqlite3_reset(query);
    benchmark::DoNotOptimize(count);
  }
  state.counters["rows"] = static_cast<double>(count);
  sqlite3_finalize(query);
  sqlite3_close(db);
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& aRuns) override {
    ConsoleReporter::ReportRuns(aRuns);
    for (const Run& r : aRuns)
      if (r.run_type == Run::RT_Iteration || r.aggregate_name == "median")
        times[r.run_name.function_name] = r.GetAdjustedCPUTime();
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  nxMemoryManagerAttach();
  benchmark::RegisterBenchmark("Filter1M/ours", BM_FilterOurs)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("Filter1M/sqlite", BM_FilterSqlite)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto a = reporter.times.find("Filter1M/ours"), b = reporter.times.find("Filter1M/sqlite");
  if (a != reporter.times.end() && b != reporter.times.end() && b->second > 0)
    std::printf("\nCPU time of ours / of SQLite (below 1: ours is faster)\n%-44s %8.2f\n",
                "range AND text equality over 1M records", a->second / b->second);
  benchmark::Shutdown();
  return 0;
}
