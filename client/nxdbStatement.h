// The statement datasets: a dataset whose engine cursor is the result of
// an SQL statement (TnxStatementDataSet), the query that supplies SQL text
// with ":name" parameter markers (TnxQuery), the stored-procedure call
// (TnxStoredProc), and the link to a master data source whose current
// record supplies parameter values. Part of nxdb: include nxdb.h, not this
// header.
//
// Contracts:
// - A statement is prepared (Prepare: one engine statement held until
//   Unprepare) or executed directly (StatementExecDirect, nothing held).
//   Open asks for a result cursor; ExecSQL/ExecProc do not (open mode
//   omNone) and free any cursor that comes back.
// - Execution stream (read from where the engine leaves it): with a cursor
//   an 8-bit can-modify flag and a 32-bit value; without one 32-bit rows
//   affected; then 32-bit records read, a 32-bit line count and that many
//   lines of 32-bit length + 8-bit text (ANSI code page). A length or count
//   that reaches past the stream's end counts as its end.
// - A failed stage raises "Query ... failed: " + CR LF + the engine's text
//   (from the stage stream: 32-bit length + 8-bit text) with the engine's
//   code; without text the plain code. After a failure Log holds the
//   "SqlLog" custom info of the exception when the stream gave no lines.
// - Every stream of an execution is freed on every path; a statement
//   prepared only for one execution does not outlive the dataset's cursor.
// Thread safety: none of its own; the session's thread drives it.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "nxdbDataset.h"
#include "plDataLink.h"
#include "plDbParams.h"
#include "plStringList.h"

class TnxAbstractStatement;
class TnxStatementDataSet;

class TnxStatementDataSetDataLink : public platform::TDetailDataLink {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxStatementDataSetDataLink(TnxStatementDataSet* aStatementDataSet)
      : sddlStatementDataSet(aStatementDataSet) {}
  platform::TDataSet* GetDetailDataSet() override;

 protected:
  void ActiveChanged() override;
  void RecordChanged(platform::TField* aField) override;
  void CheckBrowseMode() override;

 private:
  TnxStatementDataSet* sddlStatementDataSet;
};

class TnxStatementDataSet : public TnxDataset {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxStatementDataSet(platform::TComponent* aOwner = nullptr);
  ~TnxStatementDataSet() override;
  void beforeDestruction() override;

  virtual void Prepare();
  void Unprepare();
  bool Prepared() const { return sdAbstractStatement != nullptr; }
  void SetPrepared(bool aValue);

  bool RequestLive() const { return sdRequestLive; }
  // An open dataset refuses a change.
  void SetRequestLive(bool aValue);
  bool ReadOnly() const { return sdReadOnly; }
  void SetReadOnly(bool aValue) { sdReadOnly = aValue; }
  // Open, reported editable by the engine, and neither this dataset nor its
  // database read-only.
  bool CanModify() const override;
  std::int32_t RowsAffected() const { return sdRowsAffected; }
  std::int32_t RecordsRead() const { return sdRecordsRead; }
  platform::TStringList& Log() const { return *sdLog; }
  platform::TParams& Params() { return sdParams; }
  // Assigns the values of aValue's parameters by name; the list stays.
  void SetParams(const platform::TParams& aValue) { sdParams.AssignValues(aValue); }
  platform::TParam& ParamByName(platform::UnicodeStringView aName) const { return sdParams.ParamByName(aName); }
  std::uint16_t ParamCount() const { return static_cast<std::uint16_t>(sdParams.Count()); }
  // The master whose current record supplies parameter values.
  platform::TDataSource* DataSource() const { return sdDataLink->DataSource(); }
  // A source already linked to this dataset (a circle) raises.
  void SetDataSource(platform::TDataSource* aValue);
  platform::TDataSource* GetDataSource() const override { return DataSource(); }
  TnxAbstractStatement* AbstractStatement() const { return sdAbstractStatement; }

  void dsCursorCheckInactive() override;
  void dsCursorShutdown() override;
  void dsApplyTimeout() override;

  // --- provider support
  void PSExecute() override { sdExecNoResult(); }
  platform::TParams* PSGetParams() override { return &sdParams; }
  // An empty list keeps the parameters; the dataset closes in any case.
  void PSSetParams(const platform::TParams& aParams) override;

 protected:
  friend class TnxStatementDataSetDataLink;
  // The statement's type and text.
  virtual std::pair<TnxStatementType, nxString> sdGetStatement() = 0;
  void dsOpenEngineCursor() override;
  // Executes without asking for a result set (ExecSQL, ExecProc).
  void sdExecNoResult();
  void sdExecute();
  void sdParamsFromMaster();
  TnxSqlParamList sdBuildParamList(bool& aReturnsValues) const;
  // Raises aCode with the stage text of aStream (see the contract).
  void sdCheckStage(TnxResult aCode, const char16_t* aStageFormat, TStream& aStream) const;
  void sdApplyOutputParams(const TnxSqlParamList& aList);
  void sdReadExecStream(TStream& aStream, bool aHasCursor);
  void sdRefreshFromMaster();

  TnxAbstractStatement* sdAbstractStatement = nullptr;  // owned
  TnxStatementDataSetDataLink* sdDataLink = nullptr;    // owned
  std::int32_t sdRowsAffected = -1;
  std::int32_t sdRecordsRead = 0;
  platform::TParams sdParams;
  bool sdRequestLive = false;
  bool sdReadOnly = false;
  bool sdCanModify = false;
  bool sdWasPrepared = false;
  platform::TStringList* sdLog = nullptr;  // owned
  bool sdNoResultSetNeeded = false;
};

class TnxQuery : public TnxStatementDataSet {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxQuery(platform::TComponent* aOwner = nullptr);
  ~TnxQuery() override;

  // Its change event re-parses the text (quSqlChanged).
  platform::TStringList& SQL() const { return *quSql; }
  // A different text (exact comparison) closes, unprepares and takes it.
  void SetSQL(const platform::TStringList& aValue);
  bool ParamCheck() const { return quParamCheck; }
  void SetParamCheck(bool aValue) { quParamCheck = aValue; }
  // The text sent to the engine: markers replaced by "?" unless ParamCheck
  // is False at run time; cut at its first NUL.
  const nxString& Text() const { return quText; }
  void ExecSQL() { sdExecNoResult(); }

  // Scans aText (up to its end or first NUL): every ":name" or ":"quoted
  // name"" outside quotes and comments becomes "?" in aResult and, with
  // aCreate and aParams, a parameter of that name; "::" stays.
  static void quParseSql(platform::UnicodeStringView aText, bool aCreate, nxString& aResult,
                         platform::TParams* aParams);

  // --- provider support
  platform::UnicodeString PSGetTableName() override;
  void PSSetCommandText(platform::UnicodeStringView aText) override;
  std::unique_ptr<platform::TIndexDef> PSGetDefaultOrder() override;

 protected:
  std::pair<TnxStatementType, nxString> sdGetStatement() override { return {stQuery, quText}; }
  void quSqlChanged();

 private:
  nxString quText;
  bool quParamCheck = true;
  platform::TStringList* quSql = nullptr;  // owned
};

class TnxStoredProc : public TnxStatementDataSet {
  PL_CLASS_INFO_DECL()
 public:
  using TnxStatementDataSet::TnxStatementDataSet;

  const nxString& StoredProcName() const { return spStoredProcName; }
  // Needs a closed dataset; a new name unprepares and clears Params.
  void SetStoredProcName(const nxString& aValue);
  // Prepares; without parameters then takes them from the database.
  void Prepare() override;
  // Params from the database: the procedure's, else the function's.
  virtual void RefreshParam();
  void ExecProc() { sdExecNoResult(); }

  void PSSetCommandText(platform::UnicodeStringView aText) override;

 protected:
  std::pair<TnxStatementType, nxString> sdGetStatement() override { return {stStoredProcedure, spStoredProcName}; }
  void spFillParams();

 private:
  nxString spStoredProcName;
};
