// Start-up and finalisation of the SQL library as a whole: the base library
// below it, then the tokenizer and the parser's grammar, finalised backward.
// Each module's own start-up is counted.
// Thread safety: call from the main thread, before other threads use the
// library and after they have stopped.
#pragma once

#include <span>

#include "nxllLockedFuncs.h"

// Counted: only the first start-up and the last finalisation do the work.
void nxSQLLibraryInitialize();
void nxSQLLibraryFinalize();

// The table, in start-up order.
std::span<const TnxModuleDependency> nxSQLModules();
