// Processor detection: vendor, signature, caches and features of every
// processor the start-up thread may run on, and the target class from which
// the bulk memory routines are chosen.
//
// Life: nxllFastCpuDetectInitialize() detects once (the first of any number
// of calls; later calls only count); the matching last
// nxllFastCpuDetectFinalize() clears the results. Both belong to start-up and
// shut-down: detection pins the calling thread to each processor in turn and
// restores its affinity afterwards, also on failure. Between the two, the
// results are constant and may be read from any thread.
#pragma once

#include <cstdint>
#include <string_view>

// Index into nxCpuVendorIDs; 0 = none of them.
enum TnxCpuVendor : std::uint8_t {
  nxcvUnknown,
  nxcvAMD,
  nxcvCentaur,
  nxcvCyrix,
  nxcvIntel,
  nxcvTransmeta,
  nxcvNexGen,
  nxcvRise,
  nxcvUMC,
  nxcvNSC,
};

inline constexpr std::string_view nxCpuVendorIDs[] = {
    "",             "AuthenticAMD", "CentaurHauls", "CyrixInstead", "GenuineIntel",
    "GenuineTMx86", "NexGenDriven", "RiseRiseRise", "UMC UMC UMC ", "Geode by NSC",
};

// The vendor of a CPUID vendor string.
TnxCpuVendor nxCpuVendorFromID(std::string_view aID);

// Feature set. The first group drives selection; the rest is recorded only.
using TnxCpuFeatures = std::uint32_t;
inline constexpr TnxCpuFeatures nxcfFPU = 0x1;         // leaf 1 EDX bit 0
inline constexpr TnxCpuFeatures nxcfCMOV = 0x10;       // leaf 1 EDX bit 15
inline constexpr TnxCpuFeatures nxcfMMX = 0x20;        // leaf 1 EDX bit 23
inline constexpr TnxCpuFeatures nxcfSSE = 0x80;        // leaf 1 EDX bit 25
inline constexpr TnxCpuFeatures nxcfSSE2 = 0x100;      // leaf 1 EDX bit 26
inline constexpr TnxCpuFeatures nxcfSSE3 = 0x200;      // leaf 1 ECX bit 0
inline constexpr TnxCpuFeatures nxcfLongMode = 0x40000;  // leaf $80000001 EDX bit 29

inline constexpr TnxCpuFeatures nxcfTSC = 0x2;        // leaf 1 EDX bit 4
inline constexpr TnxCpuFeatures nxcfCX8 = 0x4;        // leaf 1 EDX bit 8
inline constexpr TnxCpuFeatures nxcfSEP = 0x8;        // leaf 1 EDX bit 11
inline constexpr TnxCpuFeatures nxcfFXSR = 0x40;      // leaf 1 EDX bit 24
inline constexpr TnxCpuFeatures nxcfSSSE3 = 0x400;    // leaf 1 ECX bit 9
inline constexpr TnxCpuFeatures nxcfSSE41 = 0x800;    // leaf 1 ECX bit 19
inline constexpr TnxCpuFeatures nxcfSSE42 = 0x1000;   // leaf 1 ECX bit 20
inline constexpr TnxCpuFeatures nxcfCX16 = 0x2000;    // leaf 1 ECX bit 13
inline constexpr TnxCpuFeatures nxcfPOPCNT = 0x4000;  // leaf 1 ECX bit 23
inline constexpr TnxCpuFeatures nxcfMMXExt = 0x8000;  // leaf $80000001 EDX bit 22
inline constexpr TnxCpuFeatures nxcf3DNowExt = 0x10000;  // leaf $80000001 EDX bit 30
inline constexpr TnxCpuFeatures nxcf3DNow = 0x20000;     // leaf $80000001 EDX bit 31
inline constexpr TnxCpuFeatures nxcfSSE4A = 0x80000;     // leaf $80000001 ECX bit 6
inline constexpr TnxCpuFeatures nxcfAVX = 0x100000;      // leaf 1 ECX bit 28, state enabled by the OS

// Cleared together when SSE state is not usable.
inline constexpr TnxCpuFeatures nxcfSSEFamily =
    nxcfSSE | nxcfSSE2 | nxcfSSE3 | nxcfSSSE3 | nxcfSSE41 | nxcfSSE42 | nxcfSSE4A | nxcfAVX;

// One processor. Cache sizes in KB, saturated at 65535.
struct TnxCpuInfo {
  TnxCpuVendor Vendor;
  std::uint32_t Signature;    // leaf 1 EAX
  std::uint16_t EffFamily;    // base family + extended family
  std::uint16_t EffModel;     // base model + 16 * extended model
  std::uint8_t Model;         // base model
  std::uint16_t CodeL1Cache;
  std::uint16_t DataL1Cache;
  std::uint16_t L2Cache;
  std::uint16_t L3Cache;
  TnxCpuFeatures Features;

  bool has(TnxCpuFeatures aFeatures) const { return (Features & aFeatures) == aFeatures; }
};

inline constexpr int nxMaxCpuInfos = 32;

void nxllFastCpuDetectInitialize();
void nxllFastCpuDetectFinalize();

// Records detected, in ascending processor order; 0 before start-up.
int nxCpuInfoCount();
// Record 0 is the first processor. Records not detected (and any index
// outside 0 .. nxMaxCpuInfos-1) read as all zero.
const TnxCpuInfo& nxCpuInfo(int aIndex = 0);
// 0 .. 10, from record 0; 0 before start-up.
std::uint8_t nxCpuTarget();

// Detects the processor the calling thread runs on.
void nxDetectCpu(TnxCpuInfo& aInfo);
// The target class of a record: 1 with FPU, CMOV and MMX, else 0; refined
// for Intel and AMD families 6 and 15 when the OS saves the SSE state.
std::uint8_t nxSelectCpuTarget(const TnxCpuInfo& aInfo, bool aOsSavesSseState);
