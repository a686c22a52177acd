// Memory figures of the machine, for the engine's memory status report.
// Thread safety: may be called from any thread.
#pragma once

#include <cstdint>

namespace platform {

struct MemoryFigures {
  std::uint64_t totalPhysical = 0;
  std::uint64_t availablePhysical = 0;  // free plus buffers the system can drop
  std::uint64_t totalSwap = 0;
  std::uint64_t availableSwap = 0;
};

// False (errno set) when the system cannot answer.
bool systemMemoryFigures(MemoryFigures& aFigures);

// Tests replace the system's answer; nullptr restores it.
// REQUIRES: set while no other thread asks.
using MemoryFiguresSource = bool (*)(MemoryFigures& aFigures);
void setMemoryFiguresSource(MemoryFiguresSource aSource);

}  // namespace platform
