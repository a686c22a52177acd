// The client components: the data-access bases, the session, database,
// transaction-context and cursor components. Other modules include this
// header only; the families live in nxdb<Family>.h (Component, Session,
// Database, Cursor, Dataset, Statement), each with its contract at its top.
#pragma once

#include "nxdbComponent.h"
#include "nxdbSession.h"
#include "nxdbDatabase.h"
#include "nxdbCursor.h"
#include "nxdbDataset.h"
#include "nxdbStatement.h"
#include "nxdbBlob.h"
