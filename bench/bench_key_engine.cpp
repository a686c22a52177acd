// Composite key engines: building and comparing keys per field type, sorting
// a million keys with CompareKey against sorting them with memcmp, and
// ordering a million (int, text) records (build every key, sort) against
// SQLite's CREATE INDEX over the same rows. After the runs the ratios of our
// CPU time to the other's are printed (below 1: ours is faster).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "nxllUtils.h"
#include "nxsdDataDictionary.h"
#include "nxsdKeyEngineComp.h"

namespace {

constexpr int kRecords = 1000000;
constexpr int kTextUnits = 12;

class Table : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  Table() : TnxDictionaryItem(nullptr) {}
  bool IsDataDictionary() const override { return true; }
  std::int32_t DictionaryVersion() const override { return 4; }
  bool FindRelatedDescriptorOfType(const platform::ClassInfo& aType, TnxDictionaryItem*& aDescriptor,
                                   TnxDictionaryItem* aFrom) override {
    if (fields && aType.inheritsFrom(TnxFieldsDescriptor::staticClassInfo())) {
      aDescriptor = fields;
      return true;
    }
    return TnxDictionaryItem::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
  }
  TnxFieldsDescriptor* fields = nullptr;
};
PL_CLASS_INFO_IMPL(Table, TnxDictionaryItem, "BenchKeyTable", nullptr)

struct StartUp {
  StartUp() {
    nxllUtilsInitialize();
    nxsdDataDictionaryInitialize(std::span<const nxString>());
  }
};

std::u16string randomText(std::mt19937& aRng) {
  std::u16string s(static_cast<std::size_t>(4 + aRng() % (kTextUnits - 4)), u'a');
  for (char16_t& c : s) c = static_cast<char16_t>(u'a' + aRng() % 26);
  return s;
}

// One table with every benchmarked type, its records and one key per field.
struct Fixture {
  Table table;
  std::vector<TnxCompKeyDescriptor*> keys;
  std::vector<std::vector<std::uint8_t>> records;
  std::int32_t recordLength = 0;

  Fixture() {
    static StartUp startUp;
    table.fields = platform::create<TnxFieldsDescriptor>(&table);
    table.fields->AddField(u"I", u"", nxtInt32, 0, 0, false);
    table.fields->AddField(u"W", u"", nxtWideString, kTextUnits, 0, false);
    table.fields->AddField(u"D", u"", nxtDouble, 0, 0, false);
    table.fields->AddField(u"S", u"", nxtShortString, kTextUnits, 0, false);
    table.fields->AddField(u"T", u"", nxtDateTime, 0, 0, false);
    table.fields->AddField(u"L", u"", nxtWideString, kTextUnits, 0, false);
    table.fields->Fields(5)->AddLocaleDescriptor()->SetLocale(1041);
    recordLength = table.fields->RecordLength();
    std::mt19937 rng(42);
    records.resize(kRecords);
    for (auto& r : records) {
      r.assign(static_cast<std::size_t>(recordLength), 0);
      table.fields->InitRecord(r.data());
      const std::int32_t i = static_cast<std::int32_t>(rng() % 100000);
      const std::u16string w = randomText(rng);
      const double d = static_cast<double>(rng()) / 7.0;
      std::string s(w.begin(), w.end());
      s.insert(s.begin(), static_cast<char>(s.size()));
      const double t = (738000.0 + rng() % 1000) * 86400000.0;
      set(r, 0, &i, 4);
      set(r, 1, w.c_str(), (w.size() + 1) * 2);
      set(r, 2, &d, 8);
      set(r, 3, s.data(), s.size());
      set(r, 4, &t, 8);
      set(r, 5, w.c_str(), (w.size() + 1) * 2);
    }
  }
  void set(std::vector<std::uint8_t>& r, std::int32_t aField, const void* aValue, std::size_t aSize) {
    std::memcpy(r.data() + table.fields->Fields(aField)->fdOffset, aValue, aSize);
    table.fields->SetRecordFieldNull(aField, r.data(), false);
  }
  TnxCompKeyEngine* engine(std::initializer_list<std::int32_t> aFields) {
    auto* k = platform::create<TnxCompKeyDescriptor>(&table);
    for (std::int32_t f : aFields) k->Add(f);
    keys.push_back(k);
    return static_cast<TnxCompKeyEngine*>(TnxBaseKeyEngine::CreateFor(k));
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

const char* const kTypeNames[] = {"Int32", "WideString", "Double", "ShortString", "DateTime", "WideString1041"};

void BM_Build(benchmark::State& state) {
  Fixture& f = fixture();
  TnxCompKeyEngine* e = f.engine({static_cast<std::int32_t>(state.range(0))});
  PnxKeyBuffer key = e->AllocKey();
  std::size_t i = 0;
  for (auto _ : state) {
    e->BuildKey(f.records[i].data(), key, 0, false);
    benchmark::DoNotOptimize(key);
    if (++i == f.records.size()) i = 0;
  }
  e->FreeKey(key);
  platform::TObject::free(e);
  state.SetLabel(kTypeNames[state.range(0)]);
}

void BM_Compare(benchmark::State& state) {
  Fixture& f = fixture();
  TnxCompKeyEngine* e = f.engine({static_cast<std::int32_t>(state.range(0))});
  constexpr std::size_t kKeys = 4096;
  std::vector<PnxKeyBuffer> keys(kKeys);
  for (std::size_t i = 0; i < kKeys; ++i) {
    keys[i] = e->AllocKey();
    e->BuildKey(f.records[i].data(), keys[i], 0, false);
  }
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(e->CompareKey(keys[i], keys[(i + 1) & (kKeys - 1)]));
    i = (i + 1) & (kKeys - 1);
  }
  for (PnxKeyBuffer& k : keys) e->FreeKey(k);
  platform::TObject::free(e);
  state.SetLabel(kTypeNames[state.range(0)]);
}

// A million built (int, text) keys, sorted by key order or by bytes.
template <bool kMemcmp>
void BM_SortKeys(benchmark::State& state) {
  Fixture& f = fixture();
  TnxCompKeyEngine* e = f.engine({0, 1});
  const std::size_t length = e->KeyLength();
  std::vector<std::uint8_t> store(length * f.records.size());
  for (std::size_t i = 0; i < f.records.size(); ++i) e->BuildKey(f.records[i].data(), &store[i * length], 0, false);
  std::vector<const std::uint8_t*> order(f.records.size());
  for (auto _ : state) {
    state.PauseTiming();
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = &store[i * length];
    state.ResumeTiming();
    if constexpr (kMemcmp)
      std::sort(order.begin(), order.end(),
                [length](const std::uint8_t* a, const std::uint8_t* b) { return std::memcmp(a, b, length) < 0; });
    else
      std::sort(order.begin(), order.end(),
                [e](const std::uint8_t* a, const std::uint8_t* b) { return e->CompareKey(a, b) < 0; });
    benchmark::DoNotOptimize(order.data());
  }
  platform::TObject::free(e);
}

// The work of building an index: every record's key, then the keys in order.
void BM_OrderRecordsOurs(benchmark::State& state) {
  Fixture& f = fixture();
  TnxCompKeyEngine* e = f.engine({0, 1});
  const std::size_t length = e->KeyLength();
  std::vector<std::uint8_t> store(length * f.records.size());
  std::vector<const std::uint8_t*> order(f.records.size());
  for (auto _ : state) {
    for (std::size_t i = 0; i < f.records.size(); ++i) {
      e->BuildKey(f.records[i].data(), &store[i * length], 0, false);
      order[i] = &store[i * length];
    }
    std::sort(order.begin(), order.end(),
              [e](const std::uint8_t* a, const std::uint8_t* b) { return e->CompareKey(a, b) < 0; });
    benchmark::DoNotOptimize(order.data());
  }
  platform::TObject::free(e);
}

void check(int aRc, sqlite3* aDb) {
  if (aRc != SQLITE_OK && aRc != SQLITE_DONE && aRc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(aDb));
    std::abort();
  }
}

// The same rows in an in-memory SQLite table; CREATE INDEX is timed.
void BM_OrderRecordsSqlite(benchmark::State& state) {
  Fixture& f = fixture();
  sqlite3* db = nullptr;
  check(sqlite3_open(":memory:", &db), db);
  check(sqlite3_exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; CREATE TABLE t(i INTEGER, s TEXT);",
                     nullptr, nullptr, nullptr),
        db);
  check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
  sqlite3_stmt* insert = nullptr;
  check(sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?, ?)", -1, &insert, nullptr), db);
  const std::int32_t offI = f.table.fields->Fields(0)->fdOffset, offW = f.table.fields->Fields(1)->fdOffset;
  for (const auto& r : f.records) {
    std::int32_t i;
    std::memcpy(&i, r.data() + offI, 4);
    std::u16string w;
    for (const std::uint8_t* p = r.data() + offW;; p += 2) {
      char16_t c;
      std::memcpy(&c, p, 2);
      if (!c) break;
      w += c;
    }
    sqlite3_bind_int(insert, 1, i);
    sqlite3_bind_text16(insert, 2, w.data(), static_cast<int>(w.size() * 2), SQLITE_TRANSIENT);
    check(sqlite3_step(insert), db);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  for (auto _ : state) {
    check(sqlite3_exec(db, "CREATE INDEX x ON t(i, s)", nullptr, nullptr, nullptr), db);
    state.PauseTiming();
    check(sqlite3_exec(db, "DROP INDEX x", nullptr, nullptr, nullptr), db);
    state.ResumeTiming();
  }
  sqlite3_close(db);
}

// CPU time per benchmark name (wall time means little on a shared machine).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& aRuns) override {
    ConsoleReporter::ReportRuns(aRuns);
    for (const Run& r : aRuns)
      if (r.run_type == Run::RT_Iteration || r.aggregate_name == "median")
        times[r.run_name.function_name + r.run_name.args] = r.GetAdjustedCPUTime();
  }
  std::map<std::string, double> times;
};

void printRatio(const RatioReporter& aReporter, const char* aTitle, const std::string& aOurs,
                const std::string& aOther) {
  auto a = aReporter.times.find(aOurs), b = aReporter.times.find(aOther);
  if (a == aReporter.times.end() || b == aReporter.times.end() || b->second <= 0) return;
  std::printf("%-44s %8.2f\n", aTitle, a->second / b->second);
}

}  // namespace

int main(int argc, char** argv) {
  nxMemoryManagerAttach();
  benchmark::RegisterBenchmark("Build", BM_Build)->DenseRange(0, 5);
  benchmark::RegisterBenchmark("Compare", BM_Compare)->DenseRange(0, 5);
  benchmark::RegisterBenchmark("SortKeys1M/CompareKey", BM_SortKeys<false>)->Unit(benchmark::kMillisecond)->Iterations(3);
  benchmark::RegisterBenchmark("SortKeys1M/memcmp", BM_SortKeys<true>)->Unit(benchmark::kMillisecond)->Iterations(3);
  benchmark::RegisterBenchmark("OrderRecords1M/ours", BM_OrderRecordsOurs)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(3)
      ->UseRealTime();
  benchmark::RegisterBenchmark("OrderRecords1M/sqlite", BM_OrderRecordsSqlite)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(3)
      ->UseRealTime();
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nCPU time of ours / of the other (below 1: ours is faster)\n");
  printRatio(reporter, "sort 1M keys: CompareKey / memcmp", "SortKeys1M/CompareKey", "SortKeys1M/memcmp");
  printRatio(reporter, "order 1M (int, text) records: ours / SQLite", "OrderRecords1M/ours", "OrderRecords1M/sqlite");
  benchmark::Shutdown();
  return 0;
}
