// nxMove and nxFillChar against the C library over sizes from a record field
// to several megabytes, aligned and unaligned.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "nxllFastFillChar.h"
#include "nxllFastMove.h"

namespace {

struct StartUp {
  StartUp() {
    nxllFastMoveInitialize();
    nxllFastFillCharInitialize();
  }
  ~StartUp() {
    nxllFastFillCharFinalize();
    nxllFastMoveFinalize();
  }
};

// Copies between two halves of one buffer; offset 1 makes both ends unaligned.
template <bool kEngine>
void moveBench(benchmark::State& state) {
  static StartUp startUp;
  const auto n = std::ptrdiff_t(state.range(0));
  const auto offset = std::ptrdiff_t(state.range(1));
  std::vector<std::uint8_t> buf(std::size_t(2 * n + 128), 1);
  std::uint8_t* src = buf.data() + offset;
  std::uint8_t* dst = buf.data() + n + 64 + offset;
  for (auto _ : state) {
    if constexpr (kEngine)
      nxMove(src, dst, n);
    else
      std::memmove(dst, src, std::size_t(n));
    benchmark::DoNotOptimize(dst);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * n);
}

template <bool kEngine>
void fillBench(benchmark::State& state) {
  static StartUp startUp;
  const auto n = std::ptrdiff_t(state.range(0));
  const auto offset = std::ptrdiff_t(state.range(1));
  std::vector<std::uint8_t> buf(std::size_t(n + 64));
  std::uint8_t* dst = buf.data() + offset;
  std::uint8_t value = 0;
  for (auto _ : state) {
    if constexpr (kEngine)
      nxFillChar(dst, n, ++value);
    else
      std::memset(dst, ++value, std::size_t(n));
    benchmark::DoNotOptimize(dst);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * n);
}

void sizes(benchmark::internal::Benchmark* b) {
  for (std::int64_t n : {16, 64, 256, 4096, 65536, 1 << 20, 8 << 20})
    for (std::int64_t offset : {0, 1}) b->Args({n, offset});
  b->ArgNames({"bytes", "offset"});
}

BENCHMARK(moveBench<true>)->Name("nxMove")->Apply(sizes);
BENCHMARK(moveBench<false>)->Name("memmove")->Apply(sizes);
BENCHMARK(fillBench<true>)->Name("nxFillChar")->Apply(sizes);
BENCHMARK(fillBench<false>)->Name("memset")->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
