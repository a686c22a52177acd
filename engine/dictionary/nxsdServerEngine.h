// Definitions shared by the abstract server objects (engine, session,
// database, transaction context, cursor, statement): the enumerations and
// sets passed through their operations, a few plain records and interfaces,
// the alias entry of alias lists, and the checks that decide whether a text
// is an acceptable table, alias or object name and which kind of table a
// name denotes.
//
// Contracts:
// - Enumerations are numbered from 0 in declaration order; a set holds bit n
//   (byte n div 8, bit n mod 8) for value n and has the width given at its
//   declaration (static_asserts below).
// - Table names: root[:child[:child...]]; the root may be "<name>" or
//   "###name" (in-memory), "##name" (temporary table of the database) or
//   "#name" (temporary table of the SQL layer). The kind tests look only at
//   code units ('<' 60, '>' 62, '#' 35) of the text as given.
// - The name checks never raise: 0 is success, otherwise an error code; the
//   reason is left as the calling thread's pending message for the code the
//   identifier check (or the child-separator rule) returned. When an empty
//   name is turned into a "not found" code, that pending message stays as it
//   was (for the identifier check's code).
// - No state, no locks: the definitions and name checks may be called from
//   any thread. The server object classes at the end of this header have
//   their own contracts, given there.
// - TnxAliasDescriptor is plain data owned by whoever holds it (an alias
//   list owns its entries).
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
