// Start-up and finalisation of the base library as a whole: its modules in
// one ordered table, started forward and finalised backward. Each module's
// own start-up is counted (TnxUseCount), so a module another one already
// started is merely counted again.
// Thread safety: call from the main thread, before other threads use the
// library and after they have stopped.
#pragma once

#include <span>

#include "nxllLockedFuncs.h"

// Counted: the first call starts every module in table order (a failure
// finalises those already started, in reverse, and propagates); the last
// finalisation finalises them in reverse order.
void nxllBaseLibraryInitialize();
void nxllBaseLibraryFinalize();

// The table, in start-up order.
std::span<const TnxModuleDependency> nxllBaseModules();
