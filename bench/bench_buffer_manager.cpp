// The buffer manager's hot path: GetBlock of a cached block without a
// transaction, then its release, on 1 and 8 threads. The figure is ns per
// access (items per second inverted); no peer runs the same workload.
// The table lives on the in-memory file system, so nothing touches a disk.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "nxllBaseLibrary.h"
#include "nxsrBufferManager.h"
#include "nxsrFileImplWin32.h"
#include "plFaultFileSystem.h"

namespace {

constexpr std::uint32_t kBlocks = 256;
constexpr std::uint32_t kBlockBytes = 4096;

class BenchHeaderAccess : public TnxBaseFileHeaderAccess {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseFileHeaderAccess::TnxBaseFileHeaderAccess;
  std::uint32_t UsedBlocks() override { return kBlocks; }
  std::uint32_t AvailableBlocks() override { return 0; }
  PnxBlock GetNewBlock(TnxBaseTransaction*, std::int32_t, TnxReleaseMethod&) override { return nullptr; }
  void DeleteBlock(TnxBaseTransaction*, PnxBlock) override {}
  std::uint16_t RegisterHeaderSection(const nxString&, std::uint8_t, bool, bool) override { return 0; }
};
PL_CLASS_INFO_IMPL_TABLE(BenchHeaderAccess, TnxBaseFileHeaderAccess, "BenchHeaderAccess", nullptr,
                         platform::bindClassTable(nxFileHeaderAccessFuncs<BenchHeaderAccess>))

class BenchHeaderFactory : public TnxBaseFileHeaderAccessFactory {
  PL_CLASS_INFO_DECL()
 public:
  BenchHeaderFactory(const TnxBlockSignature& aSignature, TnxBaseFile* aFile, PnxBlock aHeader)
      : TnxBaseFileHeaderAccessFactory(aSignature, aFile, aHeader) {
    aFile->SetBlockSize(nxbs4k);
    aFile->SetBlockSizeBytes(kBlockBytes);
    aFile->SetUsedBlocks(kBlocks);
    aFile->SetVadurVersion(47005);
  }
  const platform::ClassInfo& HeaderAccessClass() override { return BenchHeaderAccess::staticClassInfo(); }
  std::uint32_t GetUsedBlocks(const std::uint8_t*) override { return kBlocks; }
};
PL_CLASS_INFO_IMPL_TABLE(BenchHeaderFactory, TnxBaseFileHeaderAccessFactory, "BenchHeaderFactory", nullptr,
                         platform::bindClassTable(nxFileHeaderAccessFactoryFuncs<BenchHeaderFactory>))

platform::FaultFileSystem* gFs = nullptr;
TnxBufferManager* gManager = nullptr;
TnxBaseFile* gFile = nullptr;

void setUp() {
  nxllBaseLibraryInitialize();
  nxsrBufferManagerInitialize();
  nxsrFileImplWin32Initialize();
  TnxBaseFileHeaderAccessFactory::Register(BenchHeaderFactory::staticClassInfo(), {'B', 'N', 'C', 'H'});
  gFs = new platform::FaultFileSystem;
  platform::setCurrentFileSystem(gFs);
  gFs->makeDirectory("/db");
  std::vector<std::uint8_t> data(std::size_t{kBlocks} * kBlockBytes, 0);
  for (std::uint32_t n = 0; n < kBlocks; ++n) {
    std::memcpy(data.data() + std::size_t{n} * kBlockBytes, n == 0 ? "BNCH" : "DATA", 4);
    std::memcpy(data.data() + std::size_t{n} * kBlockBytes + 4, &n, 4);
  }
  gFs->putFile("/db/bench.nx1", data);
  gManager = platform::create<TnxBufferManager>(u"/db");
  gFile = TnxBaseFile::Alloc(true, u"/db/bench.nx1", gManager);
  gFile->OpenFile(omReadOnly, smShared, false, false);
  TnxReleaseMethod release;
  PnxBlock header = nullptr;
  bool readOnly = false;
  gManager->AddFile(gFile, nullptr, {}, false, release, header, readOnly);
  TnxPinnedBlock(header, release).Release();
  for (std::uint32_t n = 1; n < kBlocks; ++n)  // every block cached
    TnxPinnedBlock([&](TnxReleaseMethod& r) { return gManager->GetBlock(gFile, nullptr, n, false, r); }).Release();
}

void tearDown() {
  gManager->RemoveFile(gFile);
  gFile->CloseFile();
  platform::TObject::free(gFile);
  platform::TObject::free(gManager);
  platform::setCurrentFileSystem(nullptr);
  delete gFs;
  TnxBaseFileHeaderAccessFactory::UnRegister(BenchHeaderFactory::staticClassInfo());
  nxsrBufferManagerFinalize();
  nxllBaseLibraryFinalize();
}

void BM_CachedGetBlockRelease(benchmark::State& state) {
  std::uint32_t n = 1 + static_cast<std::uint32_t>(state.thread_index()) * 31;
  for (auto _ : state) {
    TnxPinnedBlock block([&](TnxReleaseMethod& r) { return gManager->GetBlock(gFile, nullptr, n, false, r); });
    benchmark::DoNotOptimize(block.Block()[4]);
    n = n % (kBlocks - 1) + 1;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CachedGetBlockRelease)->Threads(1)->Threads(8)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  setUp();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  tearDown();
  return 0;
}
