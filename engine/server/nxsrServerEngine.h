// The in-process server engine: the engine component with its sizing,
// settings and cleanup thread, the server session, and the alias handlers.
// Other modules include this header only; the families live in
// nxsrServerEngine<Family>.h (Engine, Session, Alias, Folder, Table), each with its own
// contract at its top.
#pragma once

#include "nxsrServerEngineEngine.h"
#include "nxsrServerEngineSession.h"
#include "nxsrServerEngineAlias.h"
#include "nxsrServerEngineFolder.h"
#include "nxsrServerEngineTable.h"
#include "nxsrServerEngineTransaction.h"
#include "nxsrServerEngineDatabase.h"
#include "nxsrServerEngineCursor.h"
#include "nxsrServerEngineTaskRestructure.h"

// Counted start-up of the server library: starts the libraries below it
// (dictionary, storage, index) and registers the engine component class;
// the last finalisation undoes it.
void nxsrServerEngineInitialize();
void nxsrServerEngineFinalize();
