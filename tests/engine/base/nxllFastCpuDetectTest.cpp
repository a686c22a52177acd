#include "nxllFastCpuDetect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>

#include "plCpu.h"

namespace {

// The first "key : value" of /proc/cpuinfo; empty when absent.
std::string procCpuInfo(const std::string& key) {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string k = line.substr(0, colon);
    k.erase(k.find_last_not_of(" \t") + 1);
    if (k == key) return colon + 2 <= line.size() ? line.substr(colon + 2) : std::string();
  }
  return {};
}

struct CpuDetectFixture : ::testing::Test {
  void SetUp() override { nxllFastCpuDetectInitialize(); }
  void TearDown() override { nxllFastCpuDetectFinalize(); }
};

TEST_F(CpuDetectFixture, FirstRecordMatchesTheKernelsView) {
  const TnxCpuInfo& cpu = nxCpuInfo(0);
  const std::string vendor = procCpuInfo("vendor_id");
  if (vendor.empty()) GTEST_SKIP() << "no /proc/cpuinfo";
  EXPECT_EQ(cpu.Vendor, nxCpuVendorFromID(vendor));
  EXPECT_NE(cpu.Vendor, nxcvUnknown) << vendor;
  EXPECT_EQ(cpu.EffFamily, std::stoi(procCpuInfo("cpu family")));
  EXPECT_EQ(cpu.EffModel, std::stoi(procCpuInfo("model")));
  EXPECT_EQ(cpu.Model, cpu.EffModel & 0xF);
  EXPECT_EQ(cpu.Signature >> 4 & 0xF, cpu.Model);
}

TEST_F(CpuDetectFixture, X86_64BaselineFeaturesAndCaches) {
  const TnxCpuInfo& cpu = nxCpuInfo(0);
  EXPECT_TRUE(cpu.has(nxcfFPU | nxcfCMOV | nxcfMMX | nxcfSSE | nxcfSSE2 | nxcfLongMode | nxcfCX8 | nxcfFXSR));
  EXPECT_TRUE(cpu.has(nxcfCX16)) << "the list heads rely on it";
  std::istringstream flagWords(procCpuInfo("flags"));
  const std::set<std::string> flags{std::istream_iterator<std::string>(flagWords), {}};
  EXPECT_EQ(cpu.has(nxcfSSE3), flags.count("pni") == 1);
  EXPECT_EQ(cpu.has(nxcfSSE42), flags.count("sse4_2") == 1);
  EXPECT_EQ(cpu.has(nxcfAVX), flags.count("avx") == 1);
  EXPECT_GT(cpu.DataL1Cache, 0);
  EXPECT_GT(cpu.L2Cache, 0);
  EXPECT_GE(nxCpuTarget(), 1);
  EXPECT_LE(nxCpuTarget(), 10);
  EXPECT_EQ(nxCpuTarget(), nxSelectCpuTarget(cpu, true));
}

TEST_F(CpuDetectFixture, OneRecordPerAllowedProcessorAndAffinityRestored) {
  const auto allowed = platform::threadProcessors();
  const auto below32 = std::count_if(allowed.begin(), allowed.end(), [](int c) { return c < nxMaxCpuInfos; });
  EXPECT_EQ(nxCpuInfoCount(), std::max<int>(1, int(below32)));
  for (int i = 0; i < nxCpuInfoCount(); ++i) EXPECT_EQ(nxCpuInfo(i).Vendor, nxCpuInfo(0).Vendor) << i;
  EXPECT_EQ(nxCpuInfo(nxCpuInfoCount()).Signature, 0u) << "records beyond the count are zero";
  EXPECT_EQ(nxCpuInfo(-1).Signature, 0u);
  EXPECT_EQ(nxCpuInfo(nxMaxCpuInfos).Signature, 0u);

  // A second detection by a fresh start-up leaves the thread's affinity as it was.
  nxllFastCpuDetectFinalize();
  nxllFastCpuDetectInitialize();
  EXPECT_EQ(platform::threadProcessors(), allowed);
}

TEST(NxCpuDetect, FinalisationClearsResults) {
  nxllFastCpuDetectInitialize();
  EXPECT_GT(nxCpuInfoCount(), 0);
  nxllFastCpuDetectFinalize();
  EXPECT_EQ(nxCpuInfoCount(), 0);
  EXPECT_EQ(nxCpuTarget(), 0);
  EXPECT_EQ(nxCpuInfo(0).Signature, 0u);
}

TEST(NxCpuVendorFromID, EveryVendorAndUnknown) {
  const struct {
    const char* id;
    TnxCpuVendor vendor;
  } cases[] = {
      {"AuthenticAMD", nxcvAMD},  {"CentaurHauls", nxcvCentaur},   {"CyrixInstead", nxcvCyrix},
      {"GenuineIntel", nxcvIntel}, {"GenuineTMx86", nxcvTransmeta}, {"NexGenDriven", nxcvNexGen},
      {"RiseRiseRise", nxcvRise}, {"UMC UMC UMC ", nxcvUMC},       {"Geode by NSC", nxcvNSC},
      {"GenuineIntex", nxcvUnknown}, {"HygonGenuine", nxcvUnknown}, {"", nxcvUnknown},
  };
  for (const auto& c : cases) EXPECT_EQ(nxCpuVendorFromID(c.id), c.vendor) << c.id;
}

TEST(NxSelectCpuTarget, ByVendorFamilyModelAndFeatures) {
  constexpr TnxCpuFeatures base = nxcfFPU | nxcfCMOV | nxcfMMX;
  const struct {
    TnxCpuVendor vendor;
    std::uint16_t family, model;
    TnxCpuFeatures features;
    bool osSse;
    int target;
  } cases[] = {
      {nxcvIntel, 5, 4, nxcfFPU | nxcfMMX, true, 0},  // no CMOV
      {nxcvIntel, 6, 9, base | nxcfSSE, true, 3},
      {nxcvIntel, 6, 13, base | nxcfSSE, true, 3},
      {nxcvIntel, 6, 7, base | nxcfSSE, true, 2},
      {nxcvIntel, 6, 158, base | nxcfSSE, true, 2},
      {nxcvIntel, 6, 5, base, true, 1},
      {nxcvIntel, 15, 2, base | nxcfSSE, true, 4},
      {nxcvIntel, 15, 3, base | nxcfSSE3, true, 5},
      {nxcvIntel, 15, 4, base | nxcfSSE3 | nxcfLongMode, true, 6},
      {nxcvIntel, 15, 4, base | nxcfSSE3 | nxcfLongMode, false, 1},
      {nxcvAMD, 6, 8, base | nxcfSSE, true, 8},
      {nxcvAMD, 6, 4, base, true, 7},
      {nxcvAMD, 15, 5, base, true, 9},
      {nxcvAMD, 15, 5, base | nxcfSSE3, true, 10},
      {nxcvAMD, 25, 17, base | nxcfSSE3 | nxcfLongMode, true, 1},
      {nxcvAMD, 6, 8, base | nxcfSSE, false, 1},
      {nxcvCentaur, 6, 9, base | nxcfSSE, true, 1},
      {nxcvUnknown, 6, 9, 0, true, 0},
  };
  for (const auto& c : cases) {
    TnxCpuInfo info{};
    info.Vendor = c.vendor;
    info.EffFamily = c.family;
    info.EffModel = c.model;
    info.Features = c.features;
    EXPECT_EQ(nxSelectCpuTarget(info, c.osSse), c.target)
        << "vendor " << int(c.vendor) << " family " << c.family << " model " << c.model;
  }
}

}  // namespace
