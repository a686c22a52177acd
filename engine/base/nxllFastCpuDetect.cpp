#include "nxllFastCpuDetect.h"

#include <cpuid.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "nxllLockedFuncs.h"
#include "plCpu.h"

namespace {

struct Regs {
  std::uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

Regs cpuid(std::uint32_t aLeaf, std::uint32_t aSubLeaf = 0) {
  Regs r;
  __cpuid_count(aLeaf, aSubLeaf, r.eax, r.ebx, r.ecx, r.edx);
  return r;
}

std::uint16_t saturatedKB(std::uint64_t aKB) { return std::uint16_t(std::min<std::uint64_t>(aKB, 0xFFFF)); }

// Leaf 2 cache descriptors (Intel's published table), the ones that give a
// size for L1 code, L1 data, L2 or L3.
enum CacheKind : std::uint8_t { L1Code, L1Data, L2, L3 };
struct CacheDescriptor {
  std::uint8_t id;
  CacheKind kind;
  std::uint16_t kb;
};
constexpr CacheDescriptor kCacheDescriptors[] = {
    {0x06, L1Code, 8},   {0x08, L1Code, 16},  {0x09, L1Code, 32},  {0x0A, L1Data, 8},    {0x0C, L1Data, 16},
    {0x0D, L1Data, 16},  {0x0E, L1Data, 24},  {0x1D, L2, 128},     {0x21, L2, 256},      {0x22, L3, 512},
    {0x23, L3, 1024},    {0x24, L2, 1024},    {0x25, L3, 2048},    {0x29, L3, 4096},     {0x2C, L1Data, 32},
    {0x30, L1Code, 32},  {0x41, L2, 128},     {0x42, L2, 256},     {0x43, L2, 512},      {0x44, L2, 1024},
    {0x45, L2, 2048},    {0x46, L3, 4096},    {0x47, L3, 8192},    {0x48, L2, 3072},     {0x4A, L3, 6144},
    {0x4B, L3, 8192},    {0x4C, L3, 12288},   {0x4D, L3, 16384},   {0x4E, L2, 6144},     {0x60, L1Data, 16},
    {0x66, L1Data, 8},   {0x67, L1Data, 16},  {0x68, L1Data, 32},  {0x78, L2, 1024},     {0x79, L2, 128},
    {0x7A, L2, 256},     {0x7B, L2, 512},     {0x7C, L2, 1024},    {0x7D, L2, 2048},     {0x7F, L2, 512},
    {0x80, L2, 512},     {0x82, L2, 256},     {0x83, L2, 512},     {0x84, L2, 1024},     {0x85, L2, 2048},
    {0x86, L2, 512},     {0x87, L2, 1024},    {0xD0, L3, 512},     {0xD1, L3, 1024},     {0xD2, L3, 2048},
    {0xD6, L3, 1024},    {0xD7, L3, 2048},    {0xD8, L3, 4096},    {0xDC, L3, 1536},     {0xDD, L3, 3072},
    {0xDE, L3, 6144},    {0xE2, L3, 2048},    {0xE3, L3, 4096},    {0xE4, L3, 8192},     {0xEA, L3, 12288},
    {0xEB, L3, 18432},   {0xEC, L3, 24576},
};

void setCache(TnxCpuInfo& aInfo, CacheKind aKind, std::uint64_t aKB) {
  switch (aKind) {
    case L1Code: aInfo.CodeL1Cache = saturatedKB(aKB); break;
    case L1Data: aInfo.DataL1Cache = saturatedKB(aKB); break;
    case L2: aInfo.L2Cache = saturatedKB(aKB); break;
    case L3: aInfo.L3Cache = saturatedKB(aKB); break;
  }
}

// Descriptor $FF: the sizes are in leaf 4 (deterministic cache parameters).
void decodeLeaf4(TnxCpuInfo& aInfo) {
  for (std::uint32_t sub = 0; sub < 16; ++sub) {
    const Regs r = cpuid(4, sub);
    const std::uint32_t type = r.eax & 0x1F;  // 1 data, 2 code, 3 unified
    if (type == 0) break;
    const std::uint32_t level = (r.eax >> 5) & 0x7;
    const std::uint64_t bytes = std::uint64_t((r.ebx >> 22) + 1) * (((r.ebx >> 12) & 0x3FF) + 1) *
                                ((r.ebx & 0xFFF) + 1) * (std::uint64_t(r.ecx) + 1);
    if (level == 1 && type == 1) setCache(aInfo, L1Data, bytes / 1024);
    else if (level == 1 && type == 2) setCache(aInfo, L1Code, bytes / 1024);
    else if (level == 2) setCache(aInfo, L2, bytes / 1024);
    else if (level == 3) setCache(aInfo, L3, bytes / 1024);
  }
}

void decodeDescriptor(TnxCpuInfo& aInfo, std::uint8_t aId) {
  if (aId == 0xFF) {
    decodeLeaf4(aInfo);
    return;
  }
  if (aId == 0x49) {  // L3 on family $F model 6, L2 elsewhere
    setCache(aInfo, aInfo.EffFamily == 15 && aInfo.EffModel == 6 ? L3 : L2, 4096);
    return;
  }
  for (const auto& d : kCacheDescriptors)
    if (d.id == aId) {
      setCache(aInfo, d.kind, d.kb);
      return;
    }
}

void decodeLeaf2(TnxCpuInfo& aInfo) {
  const Regs r = cpuid(2);
  const std::uint32_t regs[] = {r.eax, r.ebx, r.ecx, r.edx};
  for (int i = 0; i < 4; ++i) {
    if (regs[i] & 0x80000000u) continue;  // register holds no descriptors
    for (int b = i == 0 ? 1 : 0; b < 4; ++b)  // AL is the iteration count
      if (const std::uint8_t id = std::uint8_t(regs[i] >> (8 * b))) decodeDescriptor(aInfo, id);
  }
}

bool bit(std::uint32_t aValue, int aBit) { return (aValue >> aBit) & 1; }

// AVX is usable only when the OS saves the YMM state (XCR0 bits 1 and 2).
bool osSavesAvxState() {
  std::uint32_t lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (lo & 0x6) == 0x6;
}

// On x86-64 SSE is part of the architecture and Linux saves its state, so an
// SSE instruction cannot fault here and the OS-version test has no analogue.
constexpr bool kOsSavesSseState = true;

struct State {
  TnxCpuInfo infos[nxMaxCpuInfos];
  int count;
  std::uint8_t target;
};
State gState{};
TnxUseCount gFastCpuDetectUseCount{0};

void detectAll() {
  State s{};
  const std::vector<int> processors = platform::threadProcessors();
  {
    platform::ThreadAffinityGuard restore;
    if (restore.saved()) {
      for (int cpu : processors) {
        if (cpu >= nxMaxCpuInfos || s.count == nxMaxCpuInfos) break;
        if (!platform::pinThreadToProcessor(cpu)) continue;
        nxDetectCpu(s.infos[s.count++]);
      }
    }
  }
  if (s.count == 0) {
    nxDetectCpu(s.infos[0]);
    s.count = 1;
  }
  s.target = nxSelectCpuTarget(s.infos[0], kOsSavesSseState);
  gState = s;
}

}  // namespace

TnxCpuVendor nxCpuVendorFromID(std::string_view aID) {
  for (std::size_t i = 1; i < std::size(nxCpuVendorIDs); ++i)
    if (nxCpuVendorIDs[i] == aID) return TnxCpuVendor(i);
  return nxcvUnknown;
}

void nxDetectCpu(TnxCpuInfo& aInfo) {
  aInfo = TnxCpuInfo{};
  // CPUID always exists on x86-64, so the x87-only probe of older processors
  // has no case here.
  const std::uint32_t maxLeaf = __get_cpuid_max(0, nullptr);
  const Regs r0 = cpuid(0);
  char vendor[12];
  std::memcpy(vendor, &r0.ebx, 4);
  std::memcpy(vendor + 4, &r0.edx, 4);
  std::memcpy(vendor + 8, &r0.ecx, 4);
  aInfo.Vendor = nxCpuVendorFromID(std::string_view(vendor, sizeof vendor));

  if (maxLeaf >= 1) {
    const Regs r = cpuid(1);
    aInfo.Signature = r.eax;
    aInfo.Model = (r.eax >> 4) & 0xF;
    aInfo.EffFamily = std::uint16_t(((r.eax >> 8) & 0xF) + ((r.eax >> 20) & 0xFF));
    aInfo.EffModel = std::uint16_t(aInfo.Model + 16 * ((r.eax >> 16) & 0xF));
    struct {
      std::uint32_t reg;
      int bit;
      TnxCpuFeatures feature;
    } const leaf1[] = {
        {r.edx, 0, nxcfFPU},     {r.edx, 4, nxcfTSC},    {r.edx, 8, nxcfCX8},     {r.edx, 11, nxcfSEP},
        {r.edx, 15, nxcfCMOV},   {r.edx, 23, nxcfMMX},   {r.edx, 24, nxcfFXSR},   {r.edx, 25, nxcfSSE},
        {r.edx, 26, nxcfSSE2},   {r.ecx, 0, nxcfSSE3},   {r.ecx, 9, nxcfSSSE3},   {r.ecx, 13, nxcfCX16},
        {r.ecx, 19, nxcfSSE41},  {r.ecx, 20, nxcfSSE42}, {r.ecx, 23, nxcfPOPCNT},
    };
    for (const auto& f : leaf1)
      if (bit(f.reg, f.bit)) aInfo.Features |= f.feature;
    // AVX needs OSXSAVE (ECX bit 27) before XGETBV may run.
    if (bit(r.ecx, 28) && bit(r.ecx, 27) && osSavesAvxState()) aInfo.Features |= nxcfAVX;
  }
  if (maxLeaf >= 2) decodeLeaf2(aInfo);

  const std::uint32_t maxExtLeaf = __get_cpuid_max(0x80000000u, nullptr);
  if (maxExtLeaf >= 0x80000001u) {
    const Regs r = cpuid(0x80000001u);
    if (bit(r.edx, 22)) aInfo.Features |= nxcfMMXExt;
    if (bit(r.edx, 29)) aInfo.Features |= nxcfLongMode;
    if (bit(r.edx, 30)) aInfo.Features |= nxcf3DNowExt;
    if (bit(r.edx, 31)) aInfo.Features |= nxcf3DNow;
    if (bit(r.ecx, 6)) aInfo.Features |= nxcfSSE4A;
  }
  if (!kOsSavesSseState) aInfo.Features &= ~nxcfSSEFamily;

  if (maxExtLeaf >= 0x80000006u) {
    if (aInfo.Vendor != nxcvCyrix && aInfo.Vendor != nxcvIntel) {
      const Regs r = cpuid(0x80000005u);
      aInfo.CodeL1Cache = std::uint16_t(r.edx >> 24);
      aInfo.DataL1Cache = std::uint16_t(r.ecx >> 24);
    }
    const Regs r = cpuid(0x80000006u);
    if (aInfo.Vendor == nxcvAMD && (aInfo.Signature & 0xFFF) == 0x630)
      aInfo.L2Cache = 64;  // reports a wrong size
    else if (aInfo.Vendor == nxcvCentaur && aInfo.EffFamily == 6 && (aInfo.EffModel == 7 || aInfo.EffModel == 8))
      aInfo.L2Cache = std::uint16_t(r.ecx >> 24);
    else
      aInfo.L2Cache = std::uint16_t(r.ecx >> 16);
  }
}

std::uint8_t nxSelectCpuTarget(const TnxCpuInfo& aInfo, bool aOsSavesSseState) {
  std::uint8_t target = aInfo.has(nxcfFPU | nxcfCMOV | nxcfMMX) ? 1 : 0;
  if (!aOsSavesSseState) return target;
  if (aInfo.Vendor == nxcvIntel) {
    if (aInfo.EffFamily == 6) {
      if (aInfo.EffModel == 9 || aInfo.EffModel == 13) target = 3;
      else if (aInfo.EffModel >= 7) target = 2;
    } else if (aInfo.EffFamily == 15) {
      target = aInfo.has(nxcfLongMode) ? 6 : aInfo.has(nxcfSSE3) ? 5 : 4;
    }
  } else if (aInfo.Vendor == nxcvAMD) {
    if (aInfo.EffFamily == 6) target = aInfo.has(nxcfSSE) ? 8 : 7;
    else if (aInfo.EffFamily == 15) target = aInfo.has(nxcfSSE3) ? 10 : 9;
  }
  return target;
}

namespace {
constexpr TnxModuleDependency kFastCpuDetectDeps[] = {{nxllLockedFuncsInitialize, nxllLockedFuncsFinalize}};
}

void nxllFastCpuDetectInitialize() { nxUseCountStart(gFastCpuDetectUseCount, kFastCpuDetectDeps, detectAll); }

void nxllFastCpuDetectFinalize() {
  nxUseCountFinish(gFastCpuDetectUseCount, kFastCpuDetectDeps, [] { gState = State{}; });
}

int nxCpuInfoCount() { return gState.count; }

const TnxCpuInfo& nxCpuInfo(int aIndex) {
  static const TnxCpuInfo kNone{};
  return aIndex >= 0 && aIndex < nxMaxCpuInfos ? gState.infos[aIndex] : kNone;
}

std::uint8_t nxCpuTarget() { return gState.target; }
