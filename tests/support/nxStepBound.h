// A bound for test loops that walk a chain (index paths, record cursors,
// stream entries): a damaged chain that loops ends the walk with a test
// failure instead of hanging the test until CTest's time-out.
//
//   nxtest::StepBound step;
//   while (step() && engine->NextKey(trans, path, nullptr)) ...
#pragma once

#include <gtest/gtest.h>

#include <cstddef>

namespace nxtest {

// Far above the longest chain any test builds.
inline constexpr std::size_t kMaxChainSteps = 10'000'000;

class StepBound {
 public:
  explicit StepBound(std::size_t aMax = kMaxChainSteps) : sbMax(aMax) {}
  // True for each of the first aMax steps; then false, once failing the test.
  bool operator()() {
    if (sbSteps < sbMax) {
      ++sbSteps;
      return true;
    }
    if (sbSteps++ == sbMax) ADD_FAILURE() << "a chain walk took more than " << sbMax << " steps";
    return false;
  }

 private:
  std::size_t sbMax;
  std::size_t sbSteps = 0;
};

}  // namespace nxtest
