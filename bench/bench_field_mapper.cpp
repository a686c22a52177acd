// Field mappers: a million records of ten mixed fields (integers widened and
// clamped, floats into currency and back, a date into a date-time, a short
// string copied) mapped through the routines the matrix hands out, against a
// hand-written loop that does the same conversions directly (the floor).
// The ratio of the mapped time to the floor is printed after the runs, with
// the heap allocations seen per record while mapping (expected: none).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "nxllMemoryManager.h"
#include "nxllOwners.h"
#include "nxsdDataDictionary.h"
#include "nxsdFieldMapper.h"

namespace {

std::atomic<std::uint64_t> gHeapAllocations{0};

}  // namespace

void* operator new(std::size_t aSize) {
  gHeapAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(aSize ? aSize : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* aPointer) noexcept { std::free(aPointer); }
void operator delete(void* aPointer, std::size_t) noexcept { std::free(aPointer); }

namespace {

constexpr int kRecords = 1000000;
constexpr int kPool = 4096;  // distinct source records, cycled

struct Pair {
  TnxFieldType source;
  std::int32_t sourceUnits;
  TnxFieldType target;
  std::int32_t targetUnits;
  TnxDataLossAction action;
};

const Pair kPairs[10] = {
    {nxtInt32, 0, nxtInt64, 0, dlaFail},          {nxtInt16, 0, nxtInt32, 0, dlaFail},
    {nxtDouble, 0, nxtCurrency, 0, dlaBestFit},   {nxtCurrency, 0, nxtDouble, 0, dlaFail},
    {nxtDate, 0, nxtDateTime, 0, dlaFail},        {nxtInt32, 0, nxtDouble, 0, dlaFail},
    {nxtShortString, 20, nxtShortString, 30, dlaFail}, {nxtBoolean, 0, nxtInt32, 0, dlaFail},
    {nxtWord16, 0, nxtInt32, 0, dlaFail},         {nxtInt64, 0, nxtInt32, 0, dlaBestFit},
};

template <class T>
T ld(const std::uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class T>
void st(std::uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

struct Data {
  TnxOwned<TnxDataDictionary> source, target;
  std::vector<std::int32_t> so, to;  // field offsets
  std::size_t sourceLength = 0, targetLength = 0;
  std::vector<std::uint8_t> records;  // kPool source records
  std::vector<std::uint8_t> out;      // one target record

  Data() {
    nxsdFieldMapperInitialize();
    source.reset(platform::create<TnxDataDictionary>());
    target.reset(platform::create<TnxDataDictionary>());
    for (int i = 0; i < 10; ++i) {
      const std::u16string name = u"F" + std::u16string(1, static_cast<char16_t>(u'0' + i));
      source->FieldsDescriptor()->AddField(name, u"", kPairs[i].source, kPairs[i].sourceUnits, 0, false);
      target->FieldsDescriptor()->AddField(name, u"", kPairs[i].target, kPairs[i].targetUnits, 0, false);
    }
    for (int i = 0; i < 10; ++i) {
      so.push_back(source->FieldsDescriptor()->Fields(i)->fdOffset);
      to.push_back(target->FieldsDescriptor()->Fields(i)->fdOffset);
    }
    sourceLength = static_cast<std::size_t>(source->FieldsDescriptor()->RecordLength());
    targetLength = static_cast<std::size_t>(target->FieldsDescriptor()->RecordLength());
    records.assign(sourceLength * kPool, 0);
    out.assign(targetLength, 0);
    std::mt19937_64 rng(42);
    for (int r = 0; r < kPool; ++r) {
      std::uint8_t* rec = records.data() + static_cast<std::size_t>(r) * sourceLength;
      st(rec + so[0], static_cast<std::int32_t>(rng()));
      st(rec + so[1], static_cast<std::int16_t>(rng()));
      st(rec + so[2], static_cast<double>(static_cast<std::int32_t>(rng())) / 64.0);
      st(rec + so[3], static_cast<std::int64_t>(rng() % 100000000000ULL));
      st(rec + so[4], static_cast<std::int32_t>(700000 + rng() % 50000));
      st(rec + so[5], static_cast<std::int32_t>(rng()));
      const std::string text = "name " + std::to_string(rng() % 1000000);
      rec[so[6]] = static_cast<std::uint8_t>(text.size());
      std::memcpy(rec + so[6] + 1, text.data(), text.size());
      rec[so[7]] = static_cast<std::uint8_t>(rng() & 1);
      st(rec + so[8], static_cast<std::uint16_t>(rng()));
      st(rec + so[9], static_cast<std::int64_t>(rng()));
    }
  }
};

Data& data() {
  static Data d;
  return d;
}

std::map<std::string, double> gAllocationsPerRecord;

void BM_Mapped(benchmark::State& state) {
  Data& d = data();
  TnxMappingMethod methods[10];
  TnxOwned<TnxBaseFieldMapper> mappers[10];
  for (int i = 0; i < 10; ++i) {
    TnxOwned<TnxFieldMapperDescriptor> desc(
        platform::create<TnxFieldMapperDescriptor>(u"", u"", kPairs[i].action));
    mappers[i].reset(TnxBaseFieldMapper::CreateMapper(*d.source->FieldsDescriptor()->Fields(i), nullptr,
                                                      *d.target->FieldsDescriptor()->Fields(i), nullptr, desc.get(),
                                                      methods[i]));
    if (!methods[i].Assigned()) state.SkipWithError("no mapper");
  }
  std::uint64_t failures = 0;
  const std::uint64_t before = gHeapAllocations.load();
  std::uint64_t records = 0;
  for (auto _ : state) {
    for (int r = 0; r < kRecords; ++r) {
      const std::uint8_t* rec = d.records.data() + static_cast<std::size_t>(r % kPool) * d.sourceLength;
      for (int f = 0; f < 10; ++f) failures += methods[f](rec + d.so[f], d.out.data() + d.to[f]) != 0;
    }
    records += kRecords;
    benchmark::DoNotOptimize(d.out.data());
  }
  gAllocationsPerRecord["mapped"] =
      records ? static_cast<double>(gHeapAllocations.load() - before) / static_cast<double>(records) : 0;
  state.counters["failures"] = static_cast<double>(failures);
}

void BM_HandWritten(benchmark::State& state) {
  Data& d = data();
  std::uint64_t failures = 0;
  for (auto _ : state) {
    for (int r = 0; r < kRecords; ++r) {
      const std::uint8_t* rec = d.records.data() + static_cast<std::size_t>(r % kPool) * d.sourceLength;
      std::uint8_t* out = d.out.data();
      st(out + d.to[0], static_cast<std::int64_t>(ld<std::int32_t>(rec + d.so[0])));
      st(out + d.to[1], static_cast<std::int32_t>(ld<std::int16_t>(rec + d.so[1])));
      {
        long double e = static_cast<long double>(ld<double>(rec + d.so[2])) * 10000.0L;
        constexpr long double kMax = 9223372036854775807.0L;
        e = e < -kMax ? -kMax : e > kMax ? kMax : std::nearbyintl(e);
        st(out + d.to[2], e >= kMax ? INT64_MAX : static_cast<std::int64_t>(e));
      }
      st(out + d.to[3], static_cast<double>(static_cast<long double>(ld<std::int64_t>(rec + d.so[3])) / 10000.0L));
      st(out + d.to[4], static_cast<double>(ld<std::int32_t>(rec + d.so[4])) * 86400000.0);
      st(out + d.to[5], static_cast<double>(ld<std::int32_t>(rec + d.so[5])));
      {
        const std::uint8_t n = std::min<std::uint8_t>(rec[d.so[6]], 30);
        out[d.to[6]] = n;
        std::memcpy(out + d.to[6] + 1, rec + d.so[6] + 1, n);
      }
      st(out + d.to[7], static_cast<std::int32_t>(rec[d.so[7]]));
      st(out + d.to[8], static_cast<std::int32_t>(ld<std::uint16_t>(rec + d.so[8])));
      {
        const std::int64_t v = ld<std::int64_t>(rec + d.so[9]);
        st(out + d.to[9], static_cast<std::int32_t>(v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v));
      }
    }
    benchmark::DoNotOptimize(d.out.data());
  }
  state.counters["failures"] = static_cast<double>(failures);
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
  benchmark::RegisterBenchmark("FieldMapper1M/mapped", BM_Mapped)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("FieldMapper1M/hand-written", BM_HandWritten)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto a = reporter.times.find("FieldMapper1M/mapped"), b = reporter.times.find("FieldMapper1M/hand-written");
  if (a != reporter.times.end() && b != reporter.times.end() && b->second > 0)
    std::printf("\nCPU time mapped / hand-written (the floor; 1 would be no overhead)\n%-44s %8.2f\n",
                "ten mixed fields over 1M records", a->second / b->second);
  std::printf("heap allocations per mapped record: %.6f\n", gAllocationsPerRecord["mapped"]);
  benchmark::Shutdown();
  return 0;
}
