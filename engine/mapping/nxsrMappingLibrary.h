// Start-up and finalisation of the mapping library as a whole: the base
// library and the data dictionary below it, then the field mapper modules in
// order, finalised backward. Each module's own start-up is counted.
// Thread safety: call from the main thread, before other threads use the
// library and after they have stopped.
#pragma once

#include <span>

#include "nxllLockedFuncs.h"

// Counted: only the first start-up and the last finalisation do the work.
void nxsrMappingLibraryInitialize();
void nxsrMappingLibraryFinalize();

// The table, in start-up order.
std::span<const TnxModuleDependency> nxsrMappingModules();
