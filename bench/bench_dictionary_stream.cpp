// A table schema of 200 fields and 20 indices: our data dictionary written to
// its stream and read back (what opening a table does with "DICT"), against
// SQLite loading the same schema (CREATE TABLE and CREATE INDEX into an
// in-memory database). Every case runs kRepetitions times; the ratio of the
// medians is printed at the end (below 1: ours is faster).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "nxllUtils.h"
#include "nxsdDataDictionary.h"
#include "plString.h"

namespace {

constexpr int kFields = 200;
constexpr int kIndices = 20;
constexpr int kRepetitions = 5;

struct FieldShape {
  TnxFieldType type;
  std::int32_t units;
  const char* sqlType;
};
constexpr FieldShape kShapes[] = {{nxtInt32, 0, "INTEGER"},      {nxtWideString, 40, "VARCHAR(40)"},
                                  {nxtDouble, 0, "DOUBLE"},      {nxtDate, 0, "DATE"},
                                  {nxtDateTime, 0, "TIMESTAMP"}, {nxtBlobMemo, 0, "TEXT"},
                                  {nxtInt64, 0, "BIGINT"},       {nxtBoolean, 0, "BOOLEAN"}};

std::string fieldName(int i) { return "field_" + std::to_string(i); }

// Index i covers one to three fields, spread over the record.
std::vector<int> indexFields(int i) {
  std::vector<int> fields;
  for (int k = 0; k <= i % 3; ++k) {
    int f = (i * 7 + k * 13) % kFields;
    while (kShapes[f % std::size(kShapes)].type == nxtBlobMemo) f = (f + 1) % kFields;
    fields.push_back(f);
  }
  return fields;
}

TnxDataDictionary* buildDictionary() {
  auto* d = platform::create<TnxDataDictionary>();
  d->AddBlobDescriptor();
  for (int i = 0; i < kFields; ++i) {
    const FieldShape& s = kShapes[i % std::size(kShapes)];
    d->FieldsDescriptor()->AddField(platform::fromUtf8(fieldName(i)), u"", s.type, s.units, 0, false);
  }
  for (int i = 0; i < kIndices; ++i) {
    TnxIndexDescriptor* index =
        d->IndicesDescriptor()->AddIndex(platform::fromUtf8("index_" + std::to_string(i)), 0, idAll, u"");
    auto* key = static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor());
    for (int f : indexFields(i)) key->Add(std::int32_t{f});
  }
  d->CheckValid(true);
  return d;
}

std::vector<std::string> schemaStatements() {
  std::string table = "CREATE TABLE t (";
  for (int i = 0; i < kFields; ++i) {
    if (i) table += ", ";
    table += fieldName(i) + " " + kShapes[i % std::size(kShapes)].sqlType;
  }
  table += ")";
  std::vector<std::string> statements{table};
  for (int i = 0; i < kIndices; ++i) {
    std::string index = "CREATE INDEX index_" + std::to_string(i) + " ON t (";
    const std::vector<int> fields = indexFields(i);
    for (std::size_t k = 0; k < fields.size(); ++k) index += (k ? ", " : "") + fieldName(fields[k]);
    statements.push_back(index + ")");
  }
  return statements;
}

void BM_Ours(benchmark::State& state) {
  TnxDataDictionary* source = buildDictionary();
  TnxDataDictionary* target = platform::create<TnxDataDictionary>();
  std::int64_t bytes = 0;
  for (auto _ : state) {
    TnxMemoryStream stream;
    source->WriteToStream(stream, 47501);
    stream.SetPosition(0);
    target->ReadFromStream(stream, u"t");
    bytes += stream.Size();
  }
  state.SetBytesProcessed(bytes);
  platform::TObject::free(target);
  platform::TObject::free(source);
}

void BM_Sqlite(benchmark::State& state) {
  const std::vector<std::string> statements = schemaStatements();
  for (auto _ : state) {
    sqlite3* db = nullptr;
    if (sqlite3_open(":memory:", &db) != SQLITE_OK) {
      state.SkipWithError("sqlite3_open failed");
      break;
    }
    for (const std::string& sql : statements)
      if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) state.SkipWithError(sqlite3_errmsg(db));
    sqlite3_close(db);
  }
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& aRuns) override {
    for (const Run& r : aRuns)
      if (r.run_type == Run::RT_Aggregate && !r.error_occurred && r.aggregate_name == "median")
        medians[r.run_name.function_name] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(aRuns);
  }
  std::map<std::string, double> medians;
};

}  // namespace

int main(int argc, char** argv) {
  nxllUtilsInitialize();
  nxsdDataDictionaryInitialize(std::span<const nxString>());
  benchmark::RegisterBenchmark("SchemaRoundTrip/ours", BM_Ours)
      ->Repetitions(kRepetitions)
      ->DisplayAggregatesOnly(true)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("SchemaLoad/sqlite", BM_Sqlite)
      ->Repetitions(kRepetitions)
      ->DisplayAggregatesOnly(true)
      ->Unit(benchmark::kMicrosecond);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto ours = reporter.medians.find("SchemaRoundTrip/ours");
  const auto sqlite = reporter.medians.find("SchemaLoad/sqlite");
  if (ours != reporter.medians.end() && sqlite != reporter.medians.end() && sqlite->second > 0)
    std::printf("\nSchema of %d fields and %d indices, median time ours / SQLite %s: %.2f (below 1: ours is faster)\n",
                kFields, kIndices, sqlite3_libversion(), ours->second / sqlite->second);
  nxsdDataDictionaryFinalize();
  nxllUtilsFinalize();
  return 0;
}
