// Start-up and finalisation of the storage library as a whole: the base
// library and the data dictionary below it, then the storage modules in one
// ordered table, started forward and finalised backward. Each module's own
// start-up is counted, so a module a caller already started is merely
// counted again.
// Thread safety: call from the main thread, before other threads use the
// library and after they have stopped.
#pragma once

#include <span>

#include "nxllLockedFuncs.h"

// Counted: the first call starts every entry in table order (a failure
// finalises those already started, in reverse, and propagates); the last
// finalisation finalises them in reverse order.
void nxsrStorageLibraryInitialize();
void nxsrStorageLibraryFinalize();

// The table, in start-up order.
std::span<const TnxModuleDependency> nxsrStorageModules();
