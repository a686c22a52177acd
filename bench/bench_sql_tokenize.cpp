// The SQL tokenizer against SQLite's sqlite3_complete, which runs SQLite's
// lexical scan over a whole text, on the same 1 MB script of mixed
// statements. The script is ASCII, so its size in bytes (UTF-8, as SQLite
// reads it) is its size in characters (UTF-16, as we read it); MB/s count
// characters for both. After the runs the ratio of the two speeds is printed.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "nxSQLTok.h"

namespace {

constexpr std::size_t kScriptSize = 1 << 20;

std::u16string makeScript() {
  static const char* const kStatements[] = {
      "SELECT q.id, q.question, r.hantei, COUNT(*) AS n FROM qbnk q\n"
      "  LEFT OUTER JOIN \"qbnk:qzrecord\" r ON r.id = q.id\n"
      "  WHERE q.kubun >= 3 AND r.kaitoubi BETWEEN DATE '2024-04-01' AND CURRENT_DATE\n"
      "  GROUP BY q.id, q.question, r.hantei HAVING COUNT(*) > 1 ORDER BY n DESC;\n",
      "INSERT INTO \"qbnk:qzrecord\" (id, kaitou, hantei, kaitoubi) VALUES (1042, 'ア', 'x', '2025-01-17 21:04:55');\n",
      "UPDATE QBNK SET hantei=:nowhantei, seikairitu = 0.625 * 1.5E-3 + 17 WHERE id=:nowid; -- judged\n",
      "/* statistics per exam */ SELECT nendo, SUM(CASE WHEN hantei = 'o' THEN 1 ELSE 0 END) / CAST(COUNT(*) AS FLOAT)\n"
      "  FROM qbnk GROUP BY nendo;\n",
      "DELETE FROM #tmp WHERE flag = [0A1B] OR name LIKE 'ab%' ESCAPE '\\';\n",
      "CREATE TABLE gcount (id AUTOINC, start_time TIMESTAMP, end_time TIMESTAMP, study_seconds INTEGER,\n"
      "  note VARCHAR(200) DEFAULT 'none', PRIMARY KEY (id));\n",
  };
  std::mt19937 rng(42);
  std::string script;
  while (script.size() < kScriptSize) script += kStatements[rng() % std::size(kStatements)];
  script.resize(kScriptSize);
  // Keep the text complete and ASCII: the one non-ASCII answer becomes 'a'.
  std::u16string text;
  text.reserve(script.size());
  for (unsigned char c : script) text.push_back(c < 128 ? char16_t(c) : u'a');
  return text;
}

const std::u16string& script16() {
  static const std::u16string text = makeScript();
  return text;
}

const std::string& script8() {
  static const std::string text = [] {
    std::string s;
    for (char16_t c : script16()) s.push_back(char(c));
    return s;
  }();
  return text;
}

void BM_Tokenize(benchmark::State& state) {
  nxSQLTokInitialize();
  const std::u16string& text = script16();
  std::unique_ptr<TnxSQLTokenizer, TnxFreeObject> tokenizer(platform::create<TnxSQLTokenizer>());
  std::int64_t tokens = 0;
  for (auto _ : state) {
    TTokenListPtr list;
    if (!tokenizer->Tokenize(text.data(), std::int32_t(text.size()), false, false, list)) {
      state.SkipWithError("the script did not tokenize");
      break;
    }
    tokens = list->TokenCount();
    benchmark::DoNotOptimize(list.get());
  }
  state.counters["tokens"] = double(tokens);
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(text.size()));
  nxSQLTokFinalize();
}

void BM_SqliteComplete(benchmark::State& state) {
  const std::string& text = script8();
  for (auto _ : state) benchmark::DoNotOptimize(sqlite3_complete(text.c_str()));
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(text.size()));
}

BENCHMARK(BM_Tokenize)->Name("Tokenize")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SqliteComplete)->Name("sqlite3_complete")->Unit(benchmark::kMicrosecond);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> bytesPerSecond;
  void ReportRuns(const std::vector<Run>& aRuns) override {
    for (const Run& run : aRuns) {
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) bytesPerSecond[run.benchmark_name()] = it->second;
    }
    ConsoleReporter::ReportRuns(aRuns);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double ours = reporter.bytesPerSecond["Tokenize"];
  const double sqlite = reporter.bytesPerSecond["sqlite3_complete"];
  if (ours > 0 && sqlite > 0)
    std::printf("\nTokenize %.1f MB/s, sqlite3_complete %.1f MB/s (SQLite %s): ours / sqlite = %.2f\n", ours / 1e6,
                sqlite / 1e6, sqlite3_libversion(), ours / sqlite);
  benchmark::Shutdown();
  return 0;
}
