// Recognizing SQL against SQLite's sqlite3_prepare_v2 (which also resolves
// names and generates code) on the same statements, against an in-memory
// database holding the same tables. Set A is valid in both dialects; set B
// is the drill program's own statements (ours only); the growth series show
// how the time grows with nesting and list length. After the runs the
// statements per second and the ratios are printed.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "nxSQLLibrary.h"
#include "nxSQLParse.h"
#include "nxSQLTok.h"

namespace {

const char* const kTables[] = {
    "CREATE TABLE qbnk (id INTEGER, exam_name VARCHAR(40), number INTEGER, category VARCHAR(40), "
    "category_main VARCHAR(40), category_number INTEGER, keyword VARCHAR(40), hantei VARCHAR(2), "
    "ckmark VARCHAR(2), study_date DATE, quest_state VARCHAR(400), correct INTEGER)",
    "CREATE TABLE qzrecord (id INTEGER, exam_name VARCHAR(40), number INTEGER, category VARCHAR(40), "
    "keyword VARCHAR(40), mis INTEGER, ans VARCHAR(40), study_date DATE)",
    "CREATE TABLE gcount (id INTEGER, study_sec INTEGER, study_date DATE)",
};

const std::vector<std::string>& setA() {
  static const std::vector<std::string> statements = {
      "SELECT * FROM qbnk",
      "SELECT id, exam_name FROM qbnk WHERE id = :id",
      "SELECT * FROM qbnk WHERE category = :cat AND hantei IS NULL ORDER BY exam_name DESC, number",
      "SELECT q.id, r.mis FROM qbnk q INNER JOIN qzrecord r ON r.id = q.id WHERE q.category = 'law'",
      "SELECT q.id, COUNT(*) AS n FROM qbnk q LEFT OUTER JOIN qzrecord r ON r.id = q.id GROUP BY q.id "
      "HAVING COUNT(*) > 1 ORDER BY n DESC",
      "SELECT q.id, r.ans, g.study_sec FROM qbnk q JOIN qzrecord r ON r.id = q.id LEFT JOIN gcount g ON g.id = q.id",
      "SELECT id, exam_name, number, category, keyword, COUNT(id) AS ansa, (COUNT(id) - SUM(mis)) AS coa, "
      "SUM(mis) AS misa, (1 - SUM(mis) / COUNT(id)) * 100 AS corate FROM qzrecord "
      "GROUP BY id, exam_name, number, category, keyword ORDER BY corate, coa, category, keyword, id",
      "SELECT exam_name, COUNT(id) AS ansa, SUM(mis) AS misa FROM qzrecord GROUP BY exam_name ORDER BY exam_name",
      "SELECT study_date, SUM(study_sec) / 60 AS studymin FROM gcount WHERE study_sec IS NOT NULL GROUP BY study_date",
      "SELECT * FROM qbnk WHERE id IN (SELECT id FROM qzrecord GROUP BY id, exam_name HAVING SUM(mis) >= 1) "
      "ORDER BY category_number, exam_name DESC, number",
      "SELECT * FROM qbnk WHERE id IN (1, 2, 3, 5, 8, 13, 21, 34)",
      "SELECT * FROM qbnk WHERE id NOT IN (SELECT id FROM qzrecord WHERE mis = 0)",
      "SELECT * FROM qbnk q WHERE EXISTS (SELECT id FROM qzrecord r WHERE r.id = q.id AND r.mis > 0)",
      "SELECT * FROM qbnk WHERE quest_state LIKE '%tax%' AND hantei = 'x' ORDER BY exam_name DESC, number",
      "SELECT * FROM qbnk WHERE exam_name LIKE 'R0_%' ESCAPE '!'",
      "SELECT * FROM qbnk WHERE number BETWEEN :lo AND :hi ORDER BY number",
      "SELECT id, CASE WHEN hantei = 'o' THEN 1 WHEN hantei = 'x' THEN 0 ELSE NULL END AS score FROM qbnk",
      "SELECT id, CASE hantei WHEN 'o' THEN 'right' WHEN 'x' THEN 'wrong' ELSE 'open' END AS verdict FROM qbnk",
      "SELECT CAST(number AS INTEGER) + 1, CAST(id AS VARCHAR(10)) FROM qbnk",
      "SELECT * FROM qbnk WHERE CAST(study_date AS INTEGER) = CAST(:today AS INTEGER) - 1 AND hantei = 'x'",
      "SELECT exam_name || ' ' || category AS title FROM qbnk WHERE ckmark = 'c'",
      "SELECT DISTINCT category_main, category FROM qbnk ORDER BY category_main, category",
      "SELECT COUNT(*) FROM qbnk WHERE category = :cat AND (hantei = 'o' OR hantei = 'x')",
      "SELECT MIN(number), MAX(number), AVG(number), SUM(correct) FROM qbnk WHERE exam_name = :exam",
      "SELECT x.category, x.n FROM (SELECT category, COUNT(*) AS n FROM qbnk GROUP BY category) x WHERE x.n > 10",
      "SELECT id FROM qbnk WHERE hantei = 'x' UNION SELECT id FROM qzrecord WHERE mis > 2",
      "SELECT id FROM qbnk UNION ALL SELECT id FROM gcount",
      "SELECT q.id, (SELECT COUNT(*) FROM qzrecord r WHERE r.id = q.id) AS tries FROM qbnk q",
      "SELECT * FROM qbnk WHERE id = :id AND (number * 2 - 1) / 3 >= -5 AND correct <> 0",
      "SELECT * FROM qbnk WHERE hantei IS NULL OR NOT ckmark = 'c'",
      "INSERT INTO qzrecord (id, exam_name, number, category, keyword, mis, ans, study_date) "
      "VALUES (:id, :exam, :num, :cat, :kw, :mis, :ans, :studied)",
      "INSERT INTO qzrecord (id, mis) VALUES (1, 0), (2, 1), (3, NULL)",
      "INSERT INTO gcount (id, study_sec, study_date) SELECT id, 0, study_date FROM qbnk WHERE hantei IS NULL",
      "UPDATE qbnk SET hantei = :nowhantei WHERE id = :nowid",
      "UPDATE qbnk SET ckmark = :nowckmark, study_date = :studied WHERE id = :nowid",
      "UPDATE qbnk SET correct = correct + 1, hantei = NULL WHERE id IN (SELECT id FROM qzrecord WHERE mis = 0)",
      "UPDATE qbnk SET number = CASE WHEN number > 100 THEN number - 100 ELSE number END WHERE category = :cat",
      "DELETE FROM qzrecord WHERE id = :id",
      "DELETE FROM gcount WHERE study_sec IS NULL OR study_sec < 0",
      "DELETE FROM qzrecord WHERE id NOT IN (SELECT id FROM qbnk)",
  };
  return statements;
}

const std::vector<std::string>& setB() {
  static const std::vector<std::string> statements = [] {
    std::vector<std::string> s = {
        "select * from QBNK",
        "update QBNK set hantei=:nowhantei where id=:nowid",
        "update QBNK set study_date=:nowstudy_date where id=:nowid",
        "select * from qbnk order by category_number,keyword,id",
        "SELECT id,exam_name,number,category,keyword,count(id) as ansa,(count(id)-sum(mis)) as coa,sum(mis) as "
        "misa,(1-sum(mis)/count(id))*100 as corate FROM \"qbnk:qzrecord\" group by id,exam_name,number,category,"
        "keyword order by corate,coa,category,keyword,id",
        "SELECT category_number,category_main,category,count(id) as ansa,(count(id)-sum(mis)) as coa,sum(mis) as "
        "misa,round((1-sum(mis)/count(id))*100) as corate FROM \"qbnk:qzrecord\" group by category_number,"
        "category_main,category order by category_number",
        "SELECT study_date,count(id) as ansc,(count(id)-sum(mis)) as correctc,sum(mis) as misc,round(((count(id)-"
        "sum(mis))/count(id))*100) as crate,70 as pass  FROM \"qbnk:qzrecord\" group by study_date",
        "SELECT study_date,sum(study_sec)/60 as studymin FROM \"qbnk:gcount\" where study_sec is not null group by "
        "study_date",
        "SELECT * FROM qbnk WHERE (cast(current_date as integer)-cast(study_date as integer))>=3 and "
        "(cast(current_date as integer)-cast(study_date as integer))<=7 and hantei='x' order by exam_name desc,number",
        "SELECT top 25 *,rand() as key FROM qbnk WHERE id IN (SELECT id FROM \"qbnk:qzrecord\" group by id,"
        "exam_name,number,category,keyword HAVING sum(mis)>=1 ) order by key",
        "SELECT * FROM qbnk WHERE id IN (SELECT id FROM \"qbnk:qzrecord\" group by id,exam_name,number,category,"
        "keyword HAVING (1-sum(mis)/count(id))*100>=20 AND (1-sum(mis)/count(id))*100<40 ) order by "
        "category_number,exam_name desc,number ",
        "SELECT * FROM qbnk WHERE quest_state like '%tax%' and hantei is null order by exam_name desc,number ",
        "SELECT count(*)\r\nFROM qbnk\r\nWHERE category='law' \r\nand (hantei='o' or hantei='x') ",
        "SELECT * FROM qbnk WHERE id=:id ",
    };
    return s;
  }();
  return statements;
}

std::u16string widen(const std::string& aText) {
  return std::u16string(aText.begin(), aText.end());
}

std::vector<std::u16string> widenAll(const std::vector<std::string>& aTexts) {
  std::vector<std::u16string> r;
  for (const std::string& t : aTexts) r.push_back(widen(t));
  return r;
}

std::string repeat(const std::string& aText, std::int64_t aCount) {
  std::string s;
  for (std::int64_t i = 0; i < aCount; ++i) s += aText;
  return s;
}

struct ModuleStart {
  ModuleStart() {
    nxSQLLibraryInitialize();
  }
  ~ModuleStart() {
    nxSQLLibraryFinalize();
  }
};

// Tokenizes and recognizes one text, replaying it when asked; False on any failure.
bool recognize(TnxSQLTokenizer& aTokenizer, const std::u16string& aText, bool aReplay) {
  TTokenListPtr list;
  if (!aTokenizer.Tokenize(aText.data(), std::int32_t(aText.size()), false, false, list)) return false;
  TnxOwned<TnxSQLParser> parser(platform::create<TnxSQLParser>(list.get()));
  if (!parser->Parse()) return false;
  if (aReplay) {
    TSqlCodeTrace trace(true);
    parser->Replay(trace);
    benchmark::DoNotOptimize(trace.Tokens());
  }
  return true;
}

void runOurs(benchmark::State& state, const std::vector<std::string>& aSet, bool aReplay) {
  const ModuleStart start;
  const std::vector<std::u16string> texts = widenAll(aSet);
  TnxOwned<TnxSQLTokenizer> tokenizer(platform::create<TnxSQLTokenizer>());
  for (std::size_t i = 0; i < texts.size(); ++i)
    if (!recognize(*tokenizer, texts[i], aReplay)) {
      state.SkipWithError(("not recognized: " + aSet[i]).c_str());
      return;
    }
  for (auto _ : state)
    for (const std::u16string& t : texts) benchmark::DoNotOptimize(recognize(*tokenizer, t, aReplay));
  state.counters["statements"] =
      benchmark::Counter(double(state.iterations()) * double(texts.size()), benchmark::Counter::kIsRate);
}

void BM_Recognize(benchmark::State& state) { runOurs(state, setA(), false); }
void BM_RecognizeReplay(benchmark::State& state) { runOurs(state, setA(), true); }
void BM_RecognizeApplication(benchmark::State& state) { runOurs(state, setB(), false); }
void BM_RecognizeReplayApplication(benchmark::State& state) { runOurs(state, setB(), true); }

struct SqliteDb {
  sqlite3* db = nullptr;
  SqliteDb() {
    if (sqlite3_open(":memory:", &db) != SQLITE_OK) return;
    for (const char* ddl : kTables)
      if (sqlite3_exec(db, ddl, nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        db = nullptr;
        return;
      }
  }
  ~SqliteDb() { sqlite3_close(db); }
};

void BM_SqlitePrepare(benchmark::State& state) {
  const SqliteDb s;
  if (!s.db) {
    state.SkipWithError("SQLite database not opened");
    return;
  }
  const std::vector<std::string>& texts = setA();
  for (const std::string& t : texts) {
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v2(s.db, t.c_str(), int(t.size()), &stmt, nullptr);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_OK) {
      state.SkipWithError(("SQLite did not prepare: " + t + ": " + sqlite3_errmsg(s.db)).c_str());
      return;
    }
  }
  for (auto _ : state)
    for (const std::string& t : texts) {
      sqlite3_stmt* stmt = nullptr;
      benchmark::DoNotOptimize(sqlite3_prepare_v2(s.db, t.c_str(), int(t.size()), &stmt, nullptr));
      sqlite3_finalize(stmt);
    }
  state.counters["statements"] =
      benchmark::Counter(double(state.iterations()) * double(texts.size()), benchmark::Counter::kIsRate);
}

// One generated text per argument, recognized once per iteration. A parser
// whose memo outgrows glibc's mmap threshold (128 KB: an IN list of about 200
// items, or 29 nesting levels) gets its buffers from mmap afresh on every
// parse; where munmap is dear (virtual machines) that step shows in the series.
template <typename Make>
void runGrowth(benchmark::State& state, Make aMake) {
  const ModuleStart start;
  const std::u16string text = widen(aMake(state.range(0)));
  TnxOwned<TnxSQLTokenizer> tokenizer(platform::create<TnxSQLTokenizer>());
  if (!recognize(*tokenizer, text, false)) {
    state.SkipWithError("not recognized");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(recognize(*tokenizer, text, false));
  state.SetComplexityN(state.range(0));
}

void BM_FromNesting(benchmark::State& state) {
  runGrowth(state, [](std::int64_t n) { return "SELECT * FROM " + repeat("(", n) + "a JOIN b" + repeat(")", n); });
}

void BM_ExpressionNesting(benchmark::State& state) {
  runGrowth(state, [](std::int64_t n) { return "SELECT " + repeat("(1 + ", n) + "1" + repeat(")", n) + " FROM t"; });
}

void BM_InList(benchmark::State& state) {
  runGrowth(state, [](std::int64_t n) {
    std::string s = "SELECT * FROM t WHERE a IN (0";
    for (std::int64_t i = 1; i < n; ++i) s += ", " + std::to_string(i);
    return s + ")";
  });
}

BENCHMARK(BM_Recognize)->Name("A/Recognize")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RecognizeReplay)->Name("A/RecognizeReplay")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SqlitePrepare)->Name("A/sqlite3_prepare_v2")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RecognizeApplication)->Name("B/Recognize")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RecognizeReplayApplication)->Name("B/RecognizeReplay")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FromNesting)->Name("Growth/FromNesting")->Arg(1)->Arg(2)->Arg(5)->Arg(10)->Arg(20)->Arg(30)->Arg(40)
    ->Unit(benchmark::kMicrosecond)->Complexity();
// 29 levels is the most the recognizer's fixed 350 marks allow; deeper text is a syntax error.
BENCHMARK(BM_ExpressionNesting)->Name("Growth/ExpressionNesting")->Arg(1)->Arg(2)->Arg(5)->Arg(10)->Arg(20)->Arg(29)
    ->Unit(benchmark::kMicrosecond)->Complexity();
BENCHMARK(BM_InList)->Name("Growth/InList")->Arg(125)->Arg(250)->Arg(500)->Arg(1000)
    ->Unit(benchmark::kMicrosecond)->Complexity();

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> statementsPerSecond;
  void ReportRuns(const std::vector<Run>& aRuns) override {
    for (const Run& run : aRuns) {
      auto it = run.counters.find("statements");
      if (it != run.counters.end() && !run.error_occurred) statementsPerSecond[run.benchmark_name()] = it->second;
    }
    ConsoleReporter::ReportRuns(aRuns);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto& sps = reporter.statementsPerSecond;
  const double sqlite = sps["A/sqlite3_prepare_v2"];
  std::printf("\nStatements per second (SQLite %s):\n", sqlite3_libversion());
  for (const auto& [name, rate] : sps) std::printf("  %-24s %12.0f\n", name.c_str(), rate);
  if (sqlite > 0) {
    std::printf("Set A, ours / sqlite3_prepare_v2: tokenize + recognize %.2f, tokenize + recognize + replay %.2f\n",
                sps["A/Recognize"] / sqlite, sps["A/RecognizeReplay"] / sqlite);
  }
  benchmark::Shutdown();
  return 0;
}
