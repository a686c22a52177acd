// nxFillChar: the engine's byte fill, called through a variable that start-up
// sets once to the best routine for the processor.
//
// nxFillChar is usable at any time: before start-up (and after finalisation)
// it holds the plain routine. nxllFastFillCharInitialize/Finalize run at
// start-up and shut-down only, before/after other threads call nxFillChar;
// the first Initialize (of any number of counted calls) selects, the last
// Finalize restores the plain routine. Initialize also starts the
// interlocked and the processor detection modules, so the selection never
// depends on the order in which modules start.
#pragma once

#include <cstddef>
#include <cstdint>

// Sets aCount bytes at aDest to aValue; aCount <= 0 does nothing.
using TnxFillChar = void (*)(void* aDest, std::ptrdiff_t aCount, std::uint8_t aValue);

extern TnxFillChar nxFillChar;

void nxllFastFillCharInitialize();
void nxllFastFillCharFinalize();

// The routine nxFillChar holds before start-up.
void nxFillCharPlain(void* aDest, std::ptrdiff_t aCount, std::uint8_t aValue);
