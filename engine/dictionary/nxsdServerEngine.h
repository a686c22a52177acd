// The abstract server interface: the definitions every server object shares,
// the destroy-safe server objects with options, extenders and task handles,
// the base server engine with its monitors and call statistics, the
// session lock with the guarded call that every public operation runs in,
// and the objects a client holds: session, database, transaction context,
// cursor (with the batch stream its batches fill) and statement.
// Other modules include this header only; the families live in
// nxsdServerEngine<Family>.h (Names, Objects, Engine, Lock, Session,
// Database, Cursor, BatchStream, Statement), each with its own contract at
// its top.
#pragma once

#include "nxsdServerEngineNames.h"
#include "nxsdServerEngineObjects.h"
#include "nxsdServerEngineEngine.h"
#include "nxsdServerEngineLock.h"
#include "nxsdServerEngineSession.h"
#include "nxsdServerEngineDatabase.h"
#include "nxsdServerEngineCursor.h"
#include "nxsdServerEngineBatchStream.h"
#include "nxsdServerEngineStatement.h"
