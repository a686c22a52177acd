// Decoding a 1 MB batch of 100-byte records with TnxBatchStreamAccess::Next
// against a plain walk over the same bytes (length word, record, next), in
// the same run; prints the ratio.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "nxllMemoryManager.h"
#include "nxllUtils.h"
#include "nxsdServerEngine.h"
#include "nxFakeServerEngine.h"

namespace {

constexpr std::size_t kBatchBytes = 1 << 20;

struct Fixture {
  TnxFakeServerEngine* engine = nullptr;
  TnxAbstractSession* session = nullptr;
  TnxAbstractCursor* cursor = nullptr;
  std::vector<std::uint8_t> bytes;
  std::int32_t count = 0;

  Fixture() {
    nxllUtilsInitialize();
    nxsdDataDictionaryInitialize(std::span<const nxString>());
    engine = platform::create<TnxFakeServerEngine>();
    TnxOwned<TnxDataDictionary> dict(platform::create<TnxDataDictionary>());
    dict->FieldsDescriptor()->AddField(u"ID", u"", nxtInt32, 0, 0, false);
    dict->FieldsDescriptor()->AddField(u"NAME", u"", nxtWideString, 44, 0, false);
    engine->feStore.AddTable(u"/bench", u"rows", *dict.get());
    engine->SessionOpen(session, u"bench", u"", u"", 0);
    TnxAbstractDatabase* db = nullptr;
    session->DatabaseOpen(db, u"Path", u"/bench", nullptr, omReadOnly, smShared, 0);
    db->CursorOpen(cursor, u"rows", u"", omReadOnly, smShared, 0, u"", -1, false, {}, 0, nullptr);
    const std::uint32_t rl = cursor->RecordLength();
    bytes.resize(8);
    std::vector<std::uint8_t> record(rl);
    while (bytes.size() + 4 + rl <= kBatchBytes) {
      cursor->FieldsDescriptor()->InitRecord(record.data());
      cursor->FieldsDescriptor()->SetRecordField(0, record.data(), &count);
      bytes.insert(bytes.end(), reinterpret_cast<const std::uint8_t*>(&rl), reinterpret_cast<const std::uint8_t*>(&rl) + 4);
      bytes.insert(bytes.end(), record.begin(), record.end());
      ++count;
    }
    std::memcpy(bytes.data() + 4, &count, 4);
  }
  ~Fixture() {
    TnxAbstractServerObject::Free(session);
    platform::TObject::free(engine);
    nxsdDataDictionaryFinalize();
    nxllUtilsFinalize();
  }
};

Fixture* gFixture = nullptr;

void BM_Next(benchmark::State& state) {
  auto* stream = platform::create<TnxMemoryStream>();
  stream->WriteBuffer(gFixture->bytes.data(), static_cast<std::int32_t>(gFixture->bytes.size()));
  TnxOwned<TnxBatchStreamAccess> access(gFixture->cursor->CreateBatchStreamAccess(stream, {}));
  for (auto _ : state) {
    access->Reset(false);
    TnxBatchStreamEntry entry{};
    std::uint64_t sum = 0;
    while (access->Next(entry)) sum += entry.bseRecord[0];
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * gFixture->bytes.size()));
}

void BM_PlainWalk(benchmark::State& state) {
  const std::vector<std::uint8_t>& bytes = gFixture->bytes;
  for (auto _ : state) {
    std::int32_t count;
    std::memcpy(&count, bytes.data() + 4, 4);
    std::size_t p = 8;
    std::uint64_t sum = 0;
    for (std::int32_t i = 0; i < count && p + 4 <= bytes.size(); ++i) {
      std::uint32_t n;
      std::memcpy(&n, bytes.data() + p, 4);
      sum += bytes[p + 4];
      p += 4 + n;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

// CPU time per benchmark name (wall time means little on a shared machine).
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
  Fixture fixture;
  gFixture = &fixture;
  benchmark::RegisterBenchmark("Next", BM_Next);
  benchmark::RegisterBenchmark("PlainWalk", BM_PlainWalk);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double ours = reporter.times["Next"], other = reporter.times["PlainWalk"];
  if (other > 0)
    std::printf("\n%d records of %u bytes: Next / plain walk: %.2f (%.1f us against %.1f us per MB batch)\n",
                fixture.count, fixture.cursor->RecordLength(), ours / other, ours / 1000, other / 1000);
  benchmark::Shutdown();
  return 0;
}
