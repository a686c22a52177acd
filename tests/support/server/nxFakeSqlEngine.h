// A fake SQL engine for tests of the server database and its clients until
// the SQL engine exists. Its statements match a few shapes of query text
// and record every call:
// - "fail <stage> <code> <text>" (stage: prepare, setParams, exec,
//   getParams): that stage answers <code> and writes its stage stream
//   (32-bit length, 8-bit text) whose text carries an "SqlLog" custom info
//   with two log lines; "silent <stage> <code>" answers <code> and writes
//   nothing; "overlong <stage> <code>" writes a length of 1000 and 3 bytes;
// - "rows <n>": ssExec writes an execution stream without cursor (rows
//   affected n, records read n, two log lines) and leaves its position at
//   the first field;
// - "raise <code>": ssExec raises an engine exception of <code>;
// - "truncated": an execution stream that ends early: rows affected 5,
//   records read 5, three lines announced, "abcd", then a line of length
//   100 with only 3 bytes;
// - "SELECT * FROM <table>": ssExec returns a result-set cursor filled with
//   the table's records through the cursor API (BLOB fields null) and
//   writes the execution stream of a result (can-modify flag from
//   editableResults, a 32-bit 0, records read, no log lines);
//   "SELECT * FROM <table> WHERE <field>=?" keeps the records whose field
//   holds the first parameter (storage form);
// - "SELECT * FROM #PROCEDURES" / "#FUNCTIONS" list the names of the
//   catalogue's procedures / functions ("PROCEDURE_NAME", "FUNCTION_NAME");
//   "SELECT * FROM #PROCEDURE_ARGUMENTS WHERE PROCEDURE_NAME = ?" (and the
//   FUNCTION_ form) lists the arguments of the routine the first parameter
//   names (..._NAME, ..._ARGUMENT_NAME, _TYPE, _KIND as wide strings,
//   ..._ARGUMENT_UNITS as a 32-bit integer);
// - a stored-procedure statement names a routine of the catalogue (else
//   prepare answers 8712); its execution writes rows affected 0, records
//   read 0, no lines; ssGetParams gives each returning entry the output
//   bytes of the routine's argument at the same place, then runs
//   onGetParams;
// - "UPDATE <table> SET <field>=? WHERE <key>=?": the first record whose key
//   field holds the second parameter gets the first parameter in the field
//   (both in the fields' storage form) through RecordModify; the execution
//   stream carries rows affected 1 or 0, records read the same, no log
//   lines. Keywords match in any letter case; trailing blanks and line
//   breaks are ignored;
// - anything else prepares and executes with nothing written.
// Single-threaded: the test's thread drives it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "nxsrServerEngine.h"

struct FakeSqlCall {
  std::string type;  // "prepare", "setParams", "exec", "getParams"
  nxString text;     // the statement's query text
  std::size_t params = 0;
  TnxSqlParamList paramValues;  // the list a setParams call received
  TnxStatementType statementType = stQuery;
  TnxOpenMode openMode = omNone;  // of an exec call
  bool execDirect = false;
  std::int64_t deadline = 0;  // the thread's deadline during the call
  std::int32_t executing = 0;  // the engine's executing statements
};

struct FakeRoutineArgument {
  nxString name;
  nxString type;  // an SQL type name
  nxString kind;  // "IN", "OUT", "INOUT", "RESULT"
  std::int32_t units = 0;
  std::vector<std::uint8_t> output;  // the value an execution returns (empty: NULL)
};

struct FakeRoutine {
  nxString name;
  bool function = false;
  std::vector<FakeRoutineArgument> arguments;
};

class FakeSqlEngine : public TnxBaseSqlEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseSqlEngine::TnxBaseSqlEngine;
  void PrepareShutdown() override {}
  TnxResult StatementAlloc(TnxAbstractDatabase* aDatabase, TnxAbstractStatement*& aStatement,
                           TnxWord32 aTimeout) override;

  // Calls of aType.
  std::size_t CountOf(const std::string& aType) const;
  const FakeRoutine* FindRoutine(const nxString& aName) const;

  std::vector<FakeSqlCall> calls;
  // Run inside every ssExec, after the call is recorded.
  std::function<void()> duringExec;
  std::vector<FakeRoutine> catalogue;
  // SELECT results report that the cursor may be edited.
  bool editableResults = false;
  // Run at the end of ssGetParams on the list it answers.
  std::function<void(TnxSqlParamList&)> onGetParams;
};

class FakeSqlStatement : public TnxServerStatement {
  PL_CLASS_INFO_DECL()
 public:
  FakeSqlStatement(FakeSqlEngine* aEngine, TnxServerDatabase* aDatabase, std::uint32_t aTimeout)
      : TnxServerStatement(aDatabase, aTimeout), fsEngine(aEngine) {}

  TnxResult ssPrepare(TnxStatementType aStatementType, const nxString& aQueryText, TStream* aStream) override;
  TnxResult ssExec(TnxAbstractCursor*& aCursor, TnxOpenMode aOpenMode, TStream* aStream) override;
  TnxResult ssSetParams(const TnxSqlParamList& aParams, TStream* aStream) override;
  TnxResult ssGetParams(TnxSqlParamList& aParams, TStream* aStream) override;

 private:
  FakeSqlCall& Record(const char* aType, std::size_t aParams);
  // The code of a "fail"/"silent" shape for aStage (0: none); writes the
  // stage text into aStream.
  TnxResult StageFailure(const char* aStage, TStream* aStream);
  TnxAbstractCursor* OpenTable(const nxString& aTable, TnxOpenMode aOpenMode);
  TnxResult ExecSelect(const nxString& aTable, const nxString& aWhereField, TnxAbstractCursor*& aCursor,
                       TStream* aStream);
  TnxResult ExecCatalogue(const nxString& aTable, TnxAbstractCursor*& aCursor, TStream* aStream);
  TnxResult ExecUpdate(const nxString& aTable, const nxString& aField, const nxString& aKey, TStream* aStream);
  FakeSqlEngine* fsEngine;
  nxString fsText;
  TnxStatementType fsType = stQuery;
  TnxSqlParamList fsParams;
};

// The two log lines every shape reports.
inline const char* const kFakeSqlLogLines[2] = {"line one", "line two"};
