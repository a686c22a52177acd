// Engine allocator against glibc malloc, mimalloc and jemalloc: small blocks
// on one thread and on eight, frees on other threads, and growth by realloc.
// mimalloc and jemalloc are loaded at run time so they never reach the engine.
// Every case runs kRepetitions times, the repetitions of all cases
// interleaved at random (the machine is shared, so single runs are noisy);
// after the runs, the ratio of our median time to each other
// allocator's median is printed (below 1 = we are faster).
#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "nxllMemoryManager.h"

namespace {

struct Allocator {
  std::string name;
  void* (*alloc)(std::size_t);
  void (*release)(void*);
  void* (*grow)(void*, std::size_t);
};

void* oursRealloc(void* p, std::size_t n) {
  nxReallocMem(p, n);
  return p;
}

std::vector<Allocator> allocators() {
  std::vector<Allocator> list;
  // The entry points themselves, as malloc and free are passed for the others.
  list.push_back({"ours", static_cast<void* (*)(std::size_t)>(nxGetMem), nxFreeMem, oursRealloc});
  list.push_back({"glibc", std::malloc, std::free, std::realloc});
  struct Lib {
    const char* name;
    const char* path;
    const char* a;
    const char* f;
    const char* r;
  } libs[] = {
      {"mimalloc", NX_MIMALLOC_PATH, "mi_malloc", "mi_free", "mi_realloc"},
      {"jemalloc", NX_JEMALLOC_PATH, "malloc", "free", "realloc"},
  };
  for (const Lib& lib : libs) {
    void* h = dlopen(lib.path, RTLD_NOW | RTLD_LOCAL);
    if (!h) {
      std::fprintf(stderr, "%s not loaded: %s\n", lib.name, dlerror());
      continue;
    }
    auto a = reinterpret_cast<void* (*)(std::size_t)>(dlsym(h, lib.a));
    auto f = reinterpret_cast<void (*)(void*)>(dlsym(h, lib.f));
    auto r = reinterpret_cast<void* (*)(void*, std::size_t)>(dlsym(h, lib.r));
    if (a && f && r) list.push_back({lib.name, a, f, r});
  }
  return list;
}

constexpr int kBatch = 64;
constexpr int kThreads = 8;
// Rounds per thread: long enough that the threads' steady state, not their
// start and exit, is measured (engine worker threads live long).
constexpr int kThreadRounds = 20000;
// Short-lived threads (a session's worker that runs one request): their
// cache set-up and teardown weigh as much as their work.
constexpr int kShortRounds = 2000;
constexpr int kShortWaves = 10;

// Sizes of engine objects and records: mostly below 256 bytes.
struct Sizes {
  std::size_t s[1024];
  Sizes() {
    std::mt19937 rng(12345);
    for (auto& v : s) v = 8 + rng() % 249;
  }
};
const Sizes gSizes;

void smallRounds(const Allocator& a, int aRounds, int aSeed) {
  void* held[kBatch];
  int k = aSeed * 97;
  for (int r = 0; r < aRounds; ++r) {
    for (auto& p : held) {
      p = a.alloc(gSizes.s[k++ & 1023]);
      static_cast<char*>(p)[0] = 1;
    }
    for (auto* p : held) a.release(p);
  }
}

void BM_SmallSingle(benchmark::State& state, Allocator a) {
  for (auto _ : state) smallRounds(a, 100, 0);
  state.SetItemsProcessed(state.iterations() * 100 * kBatch);
}

void BM_SmallThreads(benchmark::State& state, Allocator a) {
  for (auto _ : state) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back([&a, t] { smallRounds(a, kThreadRounds, t); });
    for (auto& th : threads) th.join();
  }
  state.SetItemsProcessed(state.iterations() * kThreads * kThreadRounds * kBatch);
}

// Waves of eight threads that each do a little work and end.
void BM_ShortThreads(benchmark::State& state, Allocator a) {
  for (auto _ : state) {
    for (int w = 0; w < kShortWaves; ++w) {
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t) threads.emplace_back([&a, t] { smallRounds(a, kShortRounds, t); });
      for (auto& th : threads) th.join();
    }
  }
  state.SetItemsProcessed(state.iterations() * kShortWaves * kThreads * kShortRounds * kBatch);
}

// Each thread allocates batches and hands them to the next thread, which
// frees them.
void BM_CrossThread(benchmark::State& state, Allocator a) {
  constexpr int kRounds = kThreadRounds;
  for (auto _ : state) {
    struct alignas(64) Inbox {
      std::mutex lock;
      std::vector<void**> batches;
    };
    std::vector<Inbox> inbox(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        int k = t * 131;
        std::vector<void**> spare, got;
        for (int r = 0; r < kRounds; ++r) {
          void** batch;
          if (spare.empty()) {
            batch = new void*[kBatch];
          } else {
            batch = spare.back();
            spare.pop_back();
          }
          for (int i = 0; i < kBatch; ++i) {
            batch[i] = a.alloc(gSizes.s[k++ & 1023]);
            static_cast<char*>(batch[i])[0] = 1;
          }
          {
            std::lock_guard<std::mutex> g(inbox[(t + 1) % kThreads].lock);
            inbox[(t + 1) % kThreads].batches.push_back(batch);
          }
          {
            std::lock_guard<std::mutex> g(inbox[t].lock);
            got.swap(inbox[t].batches);
          }
          for (void** b : got) {
            for (int i = 0; i < kBatch; ++i) a.release(b[i]);
            spare.push_back(b);
          }
          got.clear();
        }
        for (void** b : spare) delete[] b;
      });
    for (auto& th : threads) th.join();
    for (auto& box : inbox)
      for (void** b : box.batches) {
        for (int i = 0; i < kBatch; ++i) a.release(b[i]);
        delete[] b;
      }
  }
  state.SetItemsProcessed(state.iterations() * kThreads * kRounds * kBatch);
}

// An append buffer: grows by an eighth each step up to 1 MB.
void BM_ReallocGrowth(benchmark::State& state, Allocator a) {
  std::int64_t steps = 0;
  for (auto _ : state) {
    std::size_t size = 16;
    void* p = a.alloc(size);
    while (size < (1u << 20)) {
      const std::size_t next = size + size / 8 + 16;
      p = a.grow(p, next);
      static_cast<char*>(p)[next - 1] = 1;
      size = next;
      ++steps;
    }
    a.release(p);
  }
  state.SetItemsProcessed(steps);
}

constexpr int kRepetitions = 5;

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& aRuns) override {
    for (const Run& r : aRuns) {
      if (r.run_type != Run::RT_Aggregate || r.error_occurred) continue;
      const std::string& name = r.run_name.function_name;  // scenario/allocator
      const std::size_t slash = name.find('/');
      const std::string scenario = name.substr(0, slash), allocator = name.substr(slash + 1);
      if (r.aggregate_name == "median") times[scenario][allocator] = r.GetAdjustedRealTime();
      // The spread of the repetitions (coefficient of variation, %).
      if (r.aggregate_name == "cv") spread[scenario][allocator] = 100 * r.real_accumulated_time;
    }
    ConsoleReporter::ReportRuns(aRuns);
  }
  std::map<std::string, std::map<std::string, double>> times, spread;
};

}  // namespace

int main(int argc, char** argv) {
  // jemalloc needs more static TLS than a dlopen normally finds; the loader
  // takes the size from the environment at start-up, so start again with it.
  if (!std::getenv("GLIBC_TUNABLES")) {
    setenv("GLIBC_TUNABLES", "glibc.rtld.optional_static_tls=65536", 1);
    execv("/proc/self/exe", argv);
  }
  nxMemoryManagerAttach();
  const std::vector<Allocator> list = allocators();
  for (const Allocator& a : list) {
    auto add = [&](const char* aName, void (*aCase)(benchmark::State&, Allocator)) {
      return benchmark::RegisterBenchmark((std::string(aName) + "/" + a.name).c_str(), aCase, a)
          ->Repetitions(kRepetitions)
          ->DisplayAggregatesOnly(true);
    };
    add("SmallSingle", BM_SmallSingle);
    add("SmallThreads8", BM_SmallThreads)->UseRealTime()->Unit(benchmark::kMillisecond);
    add("ShortThreads8", BM_ShortThreads)->UseRealTime()->Unit(benchmark::kMillisecond);
    add("CrossThread8", BM_CrossThread)->UseRealTime()->Unit(benchmark::kMillisecond);
    add("ReallocGrowth", BM_ReallocGrowth);
  }
  // The repetitions of all cases run in a random order, so a change of the
  // shared machine's load falls on every allocator alike.
  std::vector<char*> args(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  bool given = false;
  for (char* a : args) given = given || std::strncmp(a, "--benchmark_enable_random_interleaving", 38) == 0;
  if (!given) args.push_back(interleave.data());
  int count = int(args.size());
  benchmark::Initialize(&count, args.data());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  // Every peer has a column; one that could not be loaded says so.
  const char* const peers[] = {"glibc", "mimalloc", "jemalloc"};
  std::printf("\nTime of ours / time of the other (below 1: ours is faster)\n%-16s", "");
  for (const char* peer : peers) std::printf("%12s", peer);
  std::printf("\n");
  for (auto& [scenario, byAllocator] : reporter.times) {
    std::printf("%-16s", scenario.c_str());
    for (const char* peer : peers) {
      auto ours = byAllocator.find("ours"), other = byAllocator.find(peer);
      if (other == byAllocator.end())
        std::printf("%12s", "not loaded");
      else if (ours == byAllocator.end() || other->second <= 0)
        std::printf("%12s", "-");
      else
        std::printf("%12.2f", ours->second / other->second);
    }
    std::printf("\n");
  }
  std::printf("\nSpread of the repetitions (coefficient of variation, %%)\n%-16s", "");
  for (const Allocator& a : list) std::printf("%12s", a.name.c_str());
  std::printf("\n");
  for (auto& [scenario, byAllocator] : reporter.spread) {
    std::printf("%-16s", scenario.c_str());
    for (const Allocator& a : list) {
      auto it = byAllocator.find(a.name);
      if (it == byAllocator.end())
        std::printf("%12s", "-");
      else
        std::printf("%12.1f", it->second);
    }
    std::printf("\n");
  }
  benchmark::Shutdown();
  return 0;
}
