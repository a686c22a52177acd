// Client field conversion: a million records of eight mixed fields (integer,
// currency, date-time, BCD, GUID, short string, null-terminated string, and a
// null-terminated string stored in UTF-8 and shown in the client's code page
// 932) converted from the engine's record to the framework's buffers and
// back, through the methods the mapper classes hand out, against the same
// conversions written inline (no mapper objects, no dispatch) in the same run.
// The ratios are printed after the runs: all eight fields, and the seven
// untranslated ones alone.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "nxdbConversion.h"
#include "nxllMemoryManager.h"
#include "nxllOwners.h"
#include "nxllUtils.h"
#include "nxsdDataDictionary.h"
#include "nxsdFmtBcd.h"
#include "plCodePage.h"
#include "plGuid.h"

namespace {

constexpr int kRecords = 1000000;
constexpr int kPool = 4096;  // distinct records, cycled
constexpr int kFields = 8;
constexpr int kTranslated = 7;  // the last field
constexpr std::size_t kVclSlot = 64;  // one framework buffer per field

struct FieldSpec {
  TnxFieldType type;
  std::int32_t units;
  std::int32_t decPl;
};
const FieldSpec kSpecs[kFields] = {
    {nxtInt32, 0, 0},      {nxtCurrency, 0, 0},   {nxtDateTime, 0, 0},  {nxtBCD, 20, 4},
    {nxtGuid, 0, 0},       {nxtShortString, 20, 0}, {nxtNullString, 30, 0}, {nxtNullString, 30, 0},
};

template <class T>
T ld(const std::uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class T>
void st(std::uint8_t* p, const T& v) {
  std::memcpy(p, &v, sizeof v);
}

struct Data {
  TnxOwned<TnxDataDictionary> dict;
  TnxOwned<platform::TStringField> bound;
  std::int32_t offset[kFields] = {};
  std::size_t recordLength = 0;
  std::vector<std::uint8_t> records;  // kPool engine records
  std::vector<std::uint8_t> out;      // one engine record written back
  std::vector<std::uint8_t> vcl;      // the framework buffers of one record

  Data() {
    platform::setAnsiCodePage(932);
    nxdbConversionInitialize();
    dict.reset(platform::create<TnxDataDictionary>());
    TnxFieldsDescriptor& fields = *dict->FieldsDescriptor();
    for (int i = 0; i < kFields; ++i)
      fields.AddField(u"F" + std::u16string(1, static_cast<char16_t>(u'0' + i)), u"", kSpecs[i].type,
                      kSpecs[i].units, kSpecs[i].decPl, false);
    fields.Fields(kTranslated)->AddLocaleDescriptor()->SetOverrideStorageCodepage(65001);
    fields.UpdateSetupAndOffsets();
    for (int i = 0; i < kFields; ++i) offset[i] = fields.Fields(i)->fdOffset;
    recordLength = static_cast<std::size_t>(fields.RecordLength());
    bound.reset(platform::create<platform::TStringField>(nullptr));
    bound->SetTransliterate(true);

    records.assign(recordLength * kPool, 0);
    out.assign(recordLength, 0);
    vcl.assign(kVclSlot * kFields, 0);
    std::mt19937_64 rng(42);
    const char* kanji[] = {"\xE6\x97\xA5\xE6\x9C\xAC", "\xE8\xAA\x9E", "\xE8\xA9\xA6\xE9\xA8\x93",
                           "\xE5\x95\x8F\xE9\xA1\x8C"};
    for (int r = 0; r < kPool; ++r) {
      std::uint8_t* rec = records.data() + static_cast<std::size_t>(r) * recordLength;
      st(rec + offset[0], static_cast<std::int32_t>(rng()));
      st(rec + offset[1], static_cast<std::int64_t>(rng() % 10000000000000ULL) - 5000000000000LL);
      st(rec + offset[2], static_cast<double>(63800000000000LL + static_cast<std::int64_t>(rng() % 3000000000000ULL)));
      st(rec + offset[3], static_cast<std::int64_t>(rng() % 100000000000ULL) - 50000000000LL);
      const std::uint64_t g1 = rng(), g2 = rng();
      std::memcpy(rec + offset[4], &g1, 8);
      std::memcpy(rec + offset[4] + 8, &g2, 8);
      const std::string name = "name " + std::to_string(rng() % 1000000);
      rec[offset[5]] = static_cast<std::uint8_t>(name.size());
      std::memcpy(rec + offset[5] + 1, name.data(), name.size());
      const std::string city = "city " + std::to_string(rng() % 100000000);
      std::memcpy(rec + offset[6], city.data(), city.size());
      std::string text = kanji[rng() % 4];
      text += kanji[rng() % 4];
      std::memcpy(rec + offset[7], text.data(), text.size());
    }
  }
};

Data& data() {
  static Data d;
  return d;
}

// Engine to framework and back for fields [0, aCount) of every record.
void runMapped(benchmark::State& state, int aCount) {
  Data& d = data();
  TnxVclMapperMethod toVcl[kFields], toVadur[kFields];
  TnxOwned<TnxBaseVclFieldMapper> mappers[kFields];
  for (int i = 0; i < aCount; ++i) {
    mappers[i].reset(
        TnxBaseVclFieldMapper::GetMapperForDescriptor(*d.dict->FieldsDescriptor()->Fields(i), toVcl[i], toVadur[i]));
    if (mappers[i]) mappers[i]->Bind(d.bound.get());
  }
  for (auto _ : state) {
    for (int r = 0; r < kRecords; ++r) {
      const std::uint8_t* rec = d.records.data() + static_cast<std::size_t>(r % kPool) * d.recordLength;
      for (int f = 0; f < aCount; ++f) {
        std::uint8_t* slot = d.vcl.data() + f * kVclSlot;
        toVcl[f](rec + d.offset[f], slot);
        toVadur[f](slot, d.out.data() + d.offset[f]);
      }
    }
    benchmark::DoNotOptimize(d.out.data());
  }
}

void runInline(benchmark::State& state, int aCount) {
  Data& d = data();
  for (auto _ : state) {
    for (int r = 0; r < kRecords; ++r) {
      const std::uint8_t* rec = d.records.data() + static_cast<std::size_t>(r % kPool) * d.recordLength;
      std::uint8_t* out = d.out.data();
      std::uint8_t* v = d.vcl.data();
      // Integer.
      std::memcpy(v, rec + d.offset[0], 4);
      std::memcpy(out + d.offset[0], v, 4);
      // Currency.
      st(v + kVclSlot, static_cast<double>(ld<std::int64_t>(rec + d.offset[1])) / 10000.0);
      {
        const double units = std::nearbyint(ld<double>(v + kVclSlot) * 10000.0);
        if (!(units >= -9223372036854775808.0 && units < 9223372036854775808.0)) nxRaiseBcdOverflow();
        st(out + d.offset[1], static_cast<std::int64_t>(units));
      }
      // Date-time.
      std::memcpy(v + 2 * kVclSlot, rec + d.offset[2], 8);
      std::memcpy(out + d.offset[2], v + 2 * kVclSlot, 8);
      // BCD (precision 20, scale 4: not normalised).
      {
        TnxFmtBcd bcd;
        nxCurrToBcdChecked(32, 4, 0, bcd, ld<std::int64_t>(rec + d.offset[3]));
        std::memcpy(v + 3 * kVclSlot, &bcd, sizeof bcd);
        std::int64_t currency = 0;
        if (!nxTryBcdToCurr(ld<TnxFmtBcd>(v + 3 * kVclSlot), currency)) nxRaiseBcdOverflow();
        st(out + d.offset[3], currency);
      }
      // GUID.
      {
        char* text = reinterpret_cast<char*>(v + 4 * kVclSlot);
        static constexpr char kHex[] = "0123456789ABCDEF";
        const auto g = ld<platform::Guid>(rec + d.offset[4]);
        char* p = text;
        auto hex = [&p](std::uint64_t aValue, int aDigits) {
          for (int i = aDigits - 1; i >= 0; --i) *p++ = kHex[(aValue >> (4 * i)) & 0xF];
        };
        *p++ = '{';
        hex(g.D1, 8);
        *p++ = '-';
        hex(g.D2, 4);
        *p++ = '-';
        hex(g.D3, 4);
        *p++ = '-';
        hex(g.D4[0], 2);
        hex(g.D4[1], 2);
        *p++ = '-';
        for (int i = 2; i < 8; ++i) hex(g.D4[i], 2);
        *p++ = '}';
        *p = 0;
        st(out + d.offset[4], platform::stringToGuid(std::string_view(text, std::strlen(text))));
      }
      // Short string.
      {
        char* text = reinterpret_cast<char*>(v + 5 * kVclSlot);
        const std::size_t n = std::min<std::size_t>(rec[d.offset[5]], 20);
        std::memcpy(text, rec + d.offset[5] + 1, n);
        text[n] = 0;
        const std::size_t m = std::min<std::size_t>(std::strlen(text), 20);
        out[d.offset[5]] = static_cast<std::uint8_t>(m);
        std::memcpy(out + d.offset[5] + 1, text, m);
      }
      // Null-terminated string.
      {
        char* text = reinterpret_cast<char*>(v + 6 * kVclSlot);
        const auto* from = reinterpret_cast<const char*>(rec + d.offset[6]);
        const std::size_t n = strnlen(from, 30);
        std::memcpy(text, from, n);
        text[n] = 0;
        const std::size_t m = strnlen(text, 30);
        std::memcpy(out + d.offset[6], text, m);
        out[d.offset[6] + m] = 0;
      }
      if (aCount > kTranslated) {
        // UTF-8 stored, 932 shown.
        char* text = reinterpret_cast<char*>(v + 7 * kVclSlot);
        const auto* from = reinterpret_cast<const char*>(rec + d.offset[7]);
        char16_t work[256];
        std::size_t units = platform::multiByteToWide(65001, std::string_view(from, strnlen(from, 30)), work, 256);
        std::size_t n = units ? platform::wideToMultiByte(932, std::u16string_view(work, units), text, 30) : 0;
        text[n] = 0;
        units = platform::multiByteToWide(932, std::string_view(text, n), work, 255);
        n = units ? platform::wideToMultiByte(65001, std::u16string_view(work, units),
                                              reinterpret_cast<char*>(out + d.offset[7]), 30)
                  : 0;
        out[d.offset[7] + n] = 0;
      }
    }
    benchmark::DoNotOptimize(d.out.data());
  }
}

void BM_MappedAll(benchmark::State& state) { runMapped(state, kFields); }
void BM_InlineAll(benchmark::State& state) { runInline(state, kFields); }
void BM_MappedUntranslated(benchmark::State& state) { runMapped(state, kTranslated); }
void BM_InlineUntranslated(benchmark::State& state) { runInline(state, kTranslated); }

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
  benchmark::RegisterBenchmark("ClientConversion1M/all/mapped", BM_MappedAll)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("ClientConversion1M/all/inline", BM_InlineAll)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("ClientConversion1M/untranslated/mapped", BM_MappedUntranslated)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("ClientConversion1M/untranslated/inline", BM_InlineUntranslated)
      ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nCPU time mapped / inline (1 would be no overhead; target for the untranslated fields: 2)\n");
  for (const char* group : {"all", "untranslated"}) {
    const std::string prefix = std::string("ClientConversion1M/") + group;
    auto a = reporter.times.find(prefix + "/mapped"), b = reporter.times.find(prefix + "/inline");
    if (a != reporter.times.end() && b != reporter.times.end() && b->second > 0)
      std::printf("%-58s %8.2f\n",
                  (std::string(group) + (std::string(group) == "all" ? " eight fields, engine to framework and back"
                                                                     : " seven fields, engine to framework and back"))
                      .c_str(),
                  a->second / b->second);
  }
  benchmark::Shutdown();
  return 0;
}
