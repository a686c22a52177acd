// nxMove: the engine's overlap-safe byte copy, called through a variable
// that start-up sets once to the best routine for the processor.
//
// nxMove is usable at any time: before start-up (and after finalisation) it
// holds the plain routine. nxllFastMoveInitialize/Finalize run at start-up
// and shut-down only, before/after other threads call nxMove; the first
// Initialize (of any number of counted calls) selects, the last Finalize
// restores the plain routine. Initialize also starts the interlocked and the
// processor detection modules.
#pragma once

#include <cstddef>

// Copies aCount bytes from aSource to aDest; right for overlapping ranges.
// aCount <= 0, or aSource == aDest, does nothing.
using TnxMove = void (*)(const void* aSource, void* aDest, std::ptrdiff_t aCount);

extern TnxMove nxMove;

// Moves larger than this are worth non-temporal stores: half the first
// processor's L2 cache in bytes (128 KB while unknown or before start-up).
extern std::ptrdiff_t nxMoveStreamingThreshold;

void nxllFastMoveInitialize();
void nxllFastMoveFinalize();

// The routine nxMove holds before start-up.
void nxMovePlain(const void* aSource, void* aDest, std::ptrdiff_t aCount);
