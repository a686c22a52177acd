// Start-up and finalisation of the index library as a whole: the storage and
// mapping libraries below it (and through them the base library and the data
// dictionary), then the indices engine and the index, full-text and
// referential-integrity modules in order, finalised backward. Each module's own start-up is counted.
// Thread safety: call from the main thread, before other threads use the
// library and after they have stopped.
#pragma once

#include <span>

#include "nxllLockedFuncs.h"

// Counted: only the first start-up and the last finalisation do the work.
void nxseIndexLibraryInitialize();
void nxseIndexLibraryFinalize();

// The table, in start-up order.
std::span<const TnxModuleDependency> nxseIndexModules();
