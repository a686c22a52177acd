#include "plMemoryStatus.h"

#include <sys/sysinfo.h>

namespace platform {

namespace {
MemoryFiguresSource gMemoryFiguresSource = nullptr;
}  // namespace

void setMemoryFiguresSource(MemoryFiguresSource aSource) { gMemoryFiguresSource = aSource; }

bool systemMemoryFigures(MemoryFigures& aFigures) {
  if (gMemoryFiguresSource) return gMemoryFiguresSource(aFigures);
  struct sysinfo info {};
  if (sysinfo(&info) != 0) return false;
  const std::uint64_t unit = info.mem_unit ? info.mem_unit : 1;
  aFigures.totalPhysical = info.totalram * unit;
  aFigures.availablePhysical = (info.freeram + info.bufferram) * unit;
  aFigures.totalSwap = info.totalswap * unit;
  aFigures.availableSwap = info.freeswap * unit;
  return true;
}

}  // namespace platform
