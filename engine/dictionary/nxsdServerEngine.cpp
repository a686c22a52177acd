#include "nxsdServerEngine.h"
#include "nxsdServerEngineInt.h"

// The statistics list's padlock is made by its first user; the clocks
// (performance counter, thread CPU time) need no choosing here.
void nxsdServerEngineInitialize() {}

void nxsdServerEngineFinalize() { nxsdSessionStatsFreeAll(); }
