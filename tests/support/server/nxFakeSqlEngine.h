// A fake SQL engine for tests of the server database and its clients until
// the SQL engine exists. Its statements match a few shapes of query text
// and record every call:
// - "fail prepare <code> <text>": ssPrepare answers <code> and writes the
//   stage stream (32-bit length, 8-bit text) whose text carries an "SqlLog"
//   custom info with two log lines;
// - "rows <n>": ssExec writes an execution stream without cursor (rows
//   affected n, records read n, two log lines) and leaves its position at
//   the first field;
// - "raise <code>": ssExec raises an engine exception of <code>;
// - "SELECT * FROM <table>": ssExec returns a result-set cursor filled with
//   the table's records through the cursor API (BLOB fields null);
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
  bool execDirect = false;
  std::int64_t deadline = 0;  // the thread's deadline during the call
  std::int32_t executing = 0;  // the engine's executing statements
};

class FakeSqlEngine : public TnxBaseSqlEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseSqlEngine::TnxBaseSqlEngine;
  void PrepareShutdown() override {}
  TnxResult StatementAlloc(TnxAbstractDatabase* aDatabase, TnxAbstractStatement*& aStatement,
                           TnxWord32 aTimeout) override;

  std::vector<FakeSqlCall> calls;
  // Run inside every ssExec, after the call is recorded.
  std::function<void()> duringExec;
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
  void Record(const char* aType, std::size_t aParams);
  TnxAbstractCursor* OpenTable(const nxString& aTable);
  TnxResult ExecSelect(const nxString& aTable, TnxAbstractCursor*& aCursor);
  TnxResult ExecUpdate(const nxString& aTable, const nxString& aField, const nxString& aKey, TStream* aStream);
  FakeSqlEngine* fsEngine;
  nxString fsText;
  TnxSqlParamList fsParams;
};

// The two log lines every shape reports.
inline const char* const kFakeSqlLogLines[2] = {"line one", "line two"};
