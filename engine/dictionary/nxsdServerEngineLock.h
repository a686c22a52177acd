// Lock family of the server-engine module: the session lock, the time-out
// object, the guarded call and the time-out hooks. Include
// nxsdServerEngine.h, not this header.
#pragma once

#include "nxsdServerEngineEngine.h"
