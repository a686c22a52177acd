// One uncontended guarded call (deadline hook, session lock, nesting hooks,
// exception guard, unlock) with the default hooks, against locking and
// unlocking a std::recursive_mutex, in the same run; prints the ratio.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "nxllMemoryManager.h"
#include "nxsdServerEngine.h"

namespace {

// A time-out object outside any engine: its public operation does nothing.
class BenchObject : public TnxAbstractTimeoutObject {
 public:
  using TnxAbstractTimeoutObject::TnxAbstractTimeoutObject;
  TnxResult Nothing() {
    return nxGuardedCall(*this, [] { return TnxResult{0}; });
  }
};

void BM_GuardedCall(benchmark::State& state) {
  TnxIntfPtr<InxSimpleLock> lock(
      static_cast<InxSimpleLock*>(platform::create<TnxSimpleLock>(TnxFailedCleanupEvent(), nullptr)));
  auto* object = platform::create<BenchObject>(nullptr, lock.get(), 5000);
  for (auto _ : state) benchmark::DoNotOptimize(object->Nothing());
  TnxAbstractServerObject::Free(object);
}

void BM_RecursiveMutex(benchmark::State& state) {
  std::recursive_mutex mutex;
  for (auto _ : state) {
    mutex.lock();
    benchmark::ClobberMemory();
    mutex.unlock();
  }
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
  benchmark::RegisterBenchmark("GuardedCall", BM_GuardedCall);
  benchmark::RegisterBenchmark("RecursiveMutex", BM_RecursiveMutex);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double ours = reporter.times["GuardedCall"], other = reporter.times["RecursiveMutex"];
  if (other > 0)
    std::printf("\nguarded call / recursive_mutex lock+unlock: %.2f (%.1f ns against %.1f ns)\n", ours / other, ours,
                other);
  benchmark::Shutdown();
  return 0;
}
