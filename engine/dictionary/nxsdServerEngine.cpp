#include "nxsdServerEngine.h"
#include "nxsdServerEngineInt.h"

void nxsdServerEngineInitialize() {}

void nxsdServerEngineFinalize() { nxsdSessionStatsFreeAll(); }
