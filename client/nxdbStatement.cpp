#include "nxdbStatement.h"

#include <string>

#include "nxdbInt.h"
#include "nxllStreams.h"
#include "nxsdNativeVariantConverter.h"
#include "nxsdServerEngineStatement.h"
#include "plCodePage.h"
#include "plFormat.h"
#include "plSqlText.h"

using namespace platform;

PL_CLASS_INFO_IMPL(TnxStatementDataSetDataLink, TDetailDataLink, "TnxStatementDataSetDataLink", nullptr)
PL_CLASS_INFO_IMPL(TnxStatementDataSet, TnxDataset, "TnxStatementDataSet", nullptr)
PL_CLASS_INFO_IMPL(TnxQuery, TnxStatementDataSet, "TnxQuery", nullptr)
PL_CLASS_INFO_IMPL(TnxStoredProc, TnxStatementDataSet, "TnxStoredProc", nullptr)

namespace {

constexpr char16_t kNoSqlStatement[] = u"No SQL statement specified";
constexpr char16_t kPrepareFailed[] = u"Query preparation failed: %s%s";
constexpr char16_t kSetParamsFailed[] = u"Query set parameters failed: %s%s";
constexpr char16_t kExecFailed[] = u"Query execution failed: %s%s";
constexpr char16_t kGetParamsFailed[] = u"Query get parameters failed: %s%s";
constexpr char16_t kCircularDataLink[] = u"Circular data link with data source [%s]";
constexpr TnxResult kInvalidParameter = 9986;

// Reads from a result stream that may be cut short: a field or text that
// reaches past the end ends the stream, and every later read finds it ended.
class StreamReader {
 public:
  explicit StreamReader(TStream& aStream) : srStream(aStream) {}
  bool Ended() const { return srEnded; }
  bool Int32(std::int32_t& aValue) {
    std::uint8_t bytes[4];
    if (!Bytes(bytes, 4)) return false;
    aValue = static_cast<std::int32_t>(static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
                                       static_cast<std::uint32_t>(bytes[2]) << 16 |
                                       static_cast<std::uint32_t>(bytes[3]) << 24);
    return true;
  }
  bool Byte(std::uint8_t& aValue) { return Bytes(&aValue, 1); }
  // aLength bytes of 8-bit text; nothing is read for a length of 0 or less.
  bool Text(std::int32_t aLength, std::string& aText) {
    aText.clear();
    if (aLength <= 0) return !srEnded;
    if (srEnded || aLength > Remaining()) return End();
    aText.resize(static_cast<std::size_t>(aLength));
    return Bytes(aText.data(), aLength);
  }

 private:
  std::int64_t Remaining() { return srStream.Size() - srStream.Position(); }
  bool End() {
    srEnded = true;
    return false;
  }
  bool Bytes(void* aBuffer, std::int32_t aCount) {
    if (srEnded || Remaining() < aCount) return End();
    if (srStream.Read(aBuffer, aCount) != aCount) return End();
    return true;
  }
  TStream& srStream;
  bool srEnded = false;
};

TnxOwned<TnxMemoryStream> newStream() { return TnxOwned<TnxMemoryStream>(create<TnxMemoryStream>()); }

nxString ansiText(const std::string& aBytes) { return decodeText(aBytes, ansiCodePage()); }

TnxParamType toEngineParamType(TParamType aType) { return static_cast<TnxParamType>(static_cast<int>(aType)); }

bool returnsValue(TnxParamType aType) {
  return aType == nxptOutput || aType == nxptInputOutput || aType == nxptResult;
}

}  // namespace

// ---------------------------------------------------------------------------
// Master link

TDataSet* TnxStatementDataSetDataLink::GetDetailDataSet() { return sddlStatementDataSet; }

void TnxStatementDataSetDataLink::ActiveChanged() {
  if (sddlStatementDataSet->Active()) sddlStatementDataSet->sdRefreshFromMaster();
}

void TnxStatementDataSetDataLink::RecordChanged(TField* aField) {
  if (!aField && sddlStatementDataSet->Active()) sddlStatementDataSet->sdRefreshFromMaster();
}

void TnxStatementDataSetDataLink::CheckBrowseMode() {
  if (sddlStatementDataSet->Active()) sddlStatementDataSet->CheckBrowseMode();
}

// ---------------------------------------------------------------------------
// Statement dataset: life

TnxStatementDataSet::TnxStatementDataSet(TComponent* aOwner) : TnxDataset(aOwner) {
  sdDataLink = create<TnxStatementDataSetDataLink>(this);
  sdLog = create<TStringList>();
}

TnxStatementDataSet::~TnxStatementDataSet() {
  TObject::free(std::exchange(sdDataLink, nullptr));
  TObject::free(std::exchange(sdLog, nullptr));
}

void TnxStatementDataSet::beforeDestruction() {
  nxdb_int::ignoringErrors([this] { Unprepare(); });
  TnxDataset::beforeDestruction();
  if (sdDataLink) nxdb_int::ignoringErrors([this] { sdDataLink->SetDataSource(nullptr); });
}

// ---------------------------------------------------------------------------
// Preparation

void TnxStatementDataSet::Prepare() {
  if (sdAbstractStatement) return;
  dsCursor->Open();
  sdRowsAffected = -1;
  sdRecordsRead = 0;
  sdCanModify = false;
  const auto [type, text] = sdGetStatement();
  if (text.empty()) dsRaiseMessage(kNoSqlStatement);
  TnxDatabase* db = dsGetDatabase();
  TnxAbstractStatement* statement = nullptr;
  dsCheck(db->AbstractDatabase()->StatementAlloc(statement, static_cast<std::uint32_t>(dsEffectiveTimeout())));
  sdAbstractStatement = statement;
  try {
    TnxOwned<TnxMemoryStream> stream = newStream();
    sdCheckStage(statement->Prepare(type, text, stream.get()), kPrepareFailed, *stream);
  } catch (...) {
    TnxAbstractServerObject::Free(std::exchange(sdAbstractStatement, nullptr));
    throw;
  }
}

void TnxStatementDataSet::Unprepare() {
  TnxAbstractServerObject::Free(std::exchange(sdAbstractStatement, nullptr));
  if (!Active() && dsCursor && dsCursor->StateTransition() == nxstNone) dsCursor->Close();
}

void TnxStatementDataSet::SetPrepared(bool aValue) {
  if (aValue)
    Prepare();
  else
    Unprepare();
}

// ---------------------------------------------------------------------------
// Properties

void TnxStatementDataSet::SetRequestLive(bool aValue) {
  if (aValue == sdRequestLive) return;
  CheckInactive();
  sdRequestLive = aValue;
}

bool TnxStatementDataSet::CanModify() const {
  if (!Active() || !sdCanModify || sdReadOnly) return false;
  const TnxDatabase* db = dsGetDatabase();
  return !(db && db->ReadOnly());
}

void TnxStatementDataSet::SetDataSource(TDataSource* aValue) {
  if (aValue && IsLinkedTo(aValue)) dsRaiseMessage(format(kCircularDataLink, {aValue->Name()}));
  sdDataLink->SetDataSource(aValue);
}

void TnxStatementDataSet::PSSetParams(const TParams& aParams) {
  if (aParams.Count() > 0) sdParams.Assign(aParams);
  Close();
  PSReset();
}

// ---------------------------------------------------------------------------
// Cursor component hooks

void TnxStatementDataSet::dsCursorCheckInactive() {
  TnxDataset::dsCursorCheckInactive();
  Unprepare();
}

void TnxStatementDataSet::dsCursorShutdown() {
  TnxDataset::dsCursorShutdown();
  if (!sdWasPrepared) Unprepare();
}

void TnxStatementDataSet::dsApplyTimeout() {
  if (sdAbstractStatement) sdAbstractStatement->SetTimeout(static_cast<TnxWord32>(dsEffectiveTimeout()));
  TnxDataset::dsApplyTimeout();
}

// ---------------------------------------------------------------------------
// Execution

void TnxStatementDataSet::dsOpenEngineCursor() {
  const bool old = std::exchange(sdNoResultSetNeeded, false);
  try {
    sdExecute();
  } catch (...) {
    sdNoResultSetNeeded = old;
    throw;
  }
  sdNoResultSetNeeded = old;
}

void TnxStatementDataSet::sdExecNoResult() {
  CheckInactive();
  const bool old = std::exchange(sdNoResultSetNeeded, true);
  try {
    sdExecute();
  } catch (...) {
    sdNoResultSetNeeded = old;
    throw;
  }
  sdNoResultSetNeeded = old;
  if (dsAbstractCursor) {
    dsClearDictionary();
    TObject::free(std::exchange(dsAbstractCursor, nullptr));
  }
}

void TnxStatementDataSet::sdParamsFromMaster() {
  TDataSet* master = sdDataLink->DataSet();
  if (!master) return;
  for (int i = 0; i < sdParams.Count(); ++i) {
    TParam& param = sdParams.Items(i);
    if (param.Bound()) continue;
    param.AssignField(*master->FieldByName(param.Name()));
    param.SetBound(false);
  }
}

TnxSqlParamList TnxStatementDataSet::sdBuildParamList(bool& aReturnsValues) const {
  TnxSqlParamList list;
  list.reserve(static_cast<std::size_t>(sdParams.Count()));
  for (int i = 0; i < sdParams.Count(); ++i) {
    const TParam& param = sdParams.Items(i);
    TnxSqlParamDesc desc{param.Name(), toEngineParamType(param.ParamType()), nxtBoolean, {}};
    nxMapParamToSqlParamDesc(param, desc);
    if (returnsValue(desc.piParamType)) aReturnsValues = true;
    list.push_back(std::move(desc));
  }
  return list;
}

void TnxStatementDataSet::sdCheckStage(TnxResult aCode, const char16_t* aStageFormat, TStream& aStream) const {
  if (aCode == 0) return;
  aStream.SetPosition(0);
  StreamReader reader(aStream);
  std::int32_t length = 0;
  std::string text;
  if (!reader.Int32(length) || !reader.Text(length, text)) length = 0;
  if (length > 0) dsRaiseCodeMessage(aCode, format(aStageFormat, {u"\r\n", ansiText(text)}));
  dsCheck(aCode);
}

void TnxStatementDataSet::sdReadExecStream(TStream& aStream, bool aHasCursor) {
  StreamReader reader(aStream);
  if (aHasCursor) {
    std::uint8_t canModify = 0;
    if (reader.Byte(canModify) && sdRequestLive) sdCanModify = canModify != 0;
    std::int32_t unused = 0;
    reader.Int32(unused);
  } else {
    std::int32_t rows = 0;
    if (reader.Int32(rows)) sdRowsAffected = rows;
  }
  std::int32_t value = 0;
  if (reader.Int32(value)) sdRecordsRead = value;
  std::int32_t lines = 0;
  if (!reader.Int32(lines)) return;
  std::string text;
  for (std::int32_t i = 0; i < lines; ++i) {
    std::int32_t length = 0;
    if (!reader.Int32(length) || !reader.Text(length, text)) return;
    if (length > 0) sdLog->add(ansiText(text));
  }
}

void TnxStatementDataSet::sdApplyOutputParams(const TnxSqlParamList& aList) {
  if (static_cast<int>(aList.size()) != sdParams.Count()) dsRaise(kInvalidParameter);
  for (int i = 0; i < sdParams.Count(); ++i)
    if (aList[static_cast<std::size_t>(i)].piParamType != toEngineParamType(sdParams.Items(i).ParamType()))
      dsRaise(kInvalidParameter);
  for (int i = 0; i < sdParams.Count(); ++i) {
    const TnxSqlParamDesc& entry = aList[static_cast<std::size_t>(i)];
    if (!returnsValue(entry.piParamType)) continue;
    TParam& param = sdParams.Items(i);
    if (entry.piData.empty()) {
      param.SetValue(Variant::null());
      continue;
    }
    Variant value;
    nxFieldBufferToVariant(entry.piDataType, 65001, 0, 0, entry.piData.data(), entry.piData.size(), value);
    param.SetValue(value);
  }
}

void TnxStatementDataSet::sdExecute() {
  try {
    bool returnsValues = false;
    TnxSqlParamList list;
    sdWasPrepared = Prepared();
    if (sdDataLink->Active()) sdParamsFromMaster();
    if (sdParams.Count() > 0) {
      list = sdBuildParamList(returnsValues);
      if (sdAbstractStatement) {
        TnxOwned<TnxMemoryStream> stream = newStream();
        sdCheckStage(sdAbstractStatement->SetParams(list, stream.get()), kSetParamsFailed, *stream);
      }
    }
    const TnxOpenMode openMode = sdNoResultSetNeeded ? omNone : sdRequestLive ? omReadWrite : omReadOnly;
    TnxOwned<TnxMemoryStream> execStream = newStream();
    TnxOwned<TnxMemoryStream> getParamsStream = returnsValues ? newStream() : nullptr;
    sdLog->clear();
    TnxAbstractCursor* rawCursor = nullptr;
    TnxResult result = 0;
    if (sdAbstractStatement) {
      result = sdAbstractStatement->Exec(rawCursor, openMode, execStream.get());
    } else {
      const auto [type, text] = sdGetStatement();
      if (text.empty()) dsRaiseMessage(kNoSqlStatement);
      dsCursor->Open();
      sdRowsAffected = -1;
      sdRecordsRead = 0;
      sdCanModify = false;
      TnxOwned<TnxMemoryStream> prepareStream = newStream();
      TnxOwned<TnxMemoryStream> setParamsStream = newStream();
      TnxStatementExecDirectPhase phase = sedAlloc;
      result = dsGetDatabase()->AbstractDatabase()->StatementExecDirect(
          static_cast<std::uint32_t>(dsEffectiveTimeout()), type, text, prepareStream.get(), list,
          setParamsStream.get(), rawCursor, openMode, execStream.get(), getParamsStream.get(), phase);
      if (result != 0) TObject::free(std::exchange(rawCursor, nullptr));
      switch (phase) {
        case sedAlloc:
        case sedFree: dsCheck(result); break;
        case sedPrepare: sdCheckStage(result, kPrepareFailed, *prepareStream); break;
        case sedSetParams: sdCheckStage(result, kSetParamsFailed, *setParamsStream); break;
        case sedGetParams: sdCheckStage(result, kGetParamsFailed, *getParamsStream); break;
        case sedExec: break;
      }
    }
    TnxOwned<TnxAbstractCursor> cursor(rawCursor);
    sdCheckStage(result, kExecFailed, *execStream);
    sdCanModify = false;
    if (cursor) {
      if (!dsMessageReductionOff()) dsInternalState.include(disJustOpenedCursor);
      dsAbstractCursor = cursor.release();
      try {
        dsReadDictionary();
        sdReadExecStream(*execStream, true);
      } catch (...) {
        dsClearDictionary();
        TObject::free(std::exchange(dsAbstractCursor, nullptr));
        throw;
      }
    } else {
      sdReadExecStream(*execStream, false);
      dsClearDictionary();
    }
    if (returnsValues) {
      if (sdAbstractStatement) {
        sdCheckStage(sdAbstractStatement->GetParams(list, getParamsStream.get()), kGetParamsFailed, *getParamsStream);
      }
      sdApplyOutputParams(list);
    }
  } catch (InxException& e) {
    if (sdLog->empty()) {
      const UnicodeString log = e.CustomInfos().values(u"SqlLog");
      if (!log.empty()) sdLog->setCommaText(log);
    }
    throw;
  }
}

void TnxStatementDataSet::sdRefreshFromMaster() {
  if (!Active()) return;
  DisableControls();
  try {
    TDataSet* master = sdDataLink->DataSet();
    if (sdDataLink->Active() && master && master->State() != dsSetKey) {
      Close();
      Open();
    }
  } catch (...) {
    EnableControls();
    throw;
  }
  EnableControls();
}

// ---------------------------------------------------------------------------
// Query

TnxQuery::TnxQuery(TComponent* aOwner) : TnxStatementDataSet(aOwner) {
  quSql = create<TStringList>();
  quSql->onChange = [this](TStringList&) { quSqlChanged(); };
}

TnxQuery::~TnxQuery() { TObject::free(std::exchange(quSql, nullptr)); }

void TnxQuery::SetSQL(const TStringList& aValue) {
  if (quSql->text() == aValue.text()) return;
  dsCursor->Close();
  Unprepare();
  quSql->beginUpdate();
  try {
    quSql->assign(aValue);
  } catch (...) {
    quSql->endUpdate();
    throw;
  }
  quSql->endUpdate();
}

namespace {

bool endsParamName(char16_t c) {
  switch (c) {
    case u'\t': case u'\n': case u'\r': case u' ': case u'(': case u')': case u'*': case u'+': case u',':
    case u'-': case u'/': case u';': case u'<': case u'=': case u'>':
      return true;
    default:
      return false;
  }
}

}  // namespace

void TnxQuery::quParseSql(UnicodeStringView aText, bool aCreate, nxString& aResult, TParams* aParams) {
  aResult.assign(aText);
  char16_t quote = 0, prev = 0;
  bool lineComment = false;
  int depth = 0;
  std::size_t i = 0;
  while (i < aResult.size() && aResult[i] != 0) {
    const char16_t c = aResult[i];
    if (lineComment) {
      if (c != u'\n' && c != u'\r') {
        ++i;
        continue;
      }
      lineComment = false;
    }
    const char16_t next = i + 1 < aResult.size() ? aResult[i + 1] : char16_t{0};
    if (quote == 0) {
      if (depth == 0) {
        if (c == u'/' && next == u'*') {
          depth = 1;
          prev = 0;
          i += 2;
          continue;
        }
        if ((c == u'-' || c == u'/') && prev == c) {
          lineComment = true;
          prev = 0;
          ++i;
          continue;
        }
      } else {
        if (c == u'/' && next == u'*') {
          ++depth;
          prev = 0;
          i += 2;
        } else if (c == u'*' && next == u'/') {
          --depth;
          prev = 0;
          i += 2;
        } else {
          ++i;
        }
        continue;
      }
    }
    if (c == u'\'' || c == u'"') {
      const std::size_t close = aResult.find(c, i + 1);
      i = close == nxString::npos ? aResult.size() : close + 1;
      prev = c;
      continue;
    }
    if (c == u':') {
      if (next == u':') {
        i += 2;
        prev = u':';
        continue;
      }
      nxString name;
      std::size_t length = 0;
      if (next == u'"') {
        const std::size_t close = aResult.find(u'"', i + 2);
        const std::size_t stop = close == nxString::npos ? aResult.size() : close;
        name = aResult.substr(i + 2, stop - (i + 2));
        length = (close == nxString::npos ? aResult.size() : close + 1) - i;
      } else {
        std::size_t j = i + 1;
        if (j < aResult.size()) ++j;  // the first character always belongs to the name
        // A NUL ends the text, so it ends a name as well.
        while (j < aResult.size() && aResult[j] != 0 && !(aResult[j] < 0x100 && endsParamName(aResult[j]))) ++j;
        name = aResult.substr(i + 1, j - (i + 1));
        length = j - i;
      }
      if (aCreate && aParams) aParams->CreateParam(ftUnknown, name, ptUnknown);
      aResult.replace(i, length, u"?");
      ++i;
      prev = u'?';
      continue;
    }
    prev = c;
    ++i;
  }
}

void TnxQuery::quSqlChanged() {
  if (Loading()) {
    quParseSql(quSql->text(), false, quText, nullptr);
  } else {
    dsCursor->Close();
    Unprepare();
    if (quParamCheck || Designing()) {
      TParams fresh;
      quParseSql(quSql->text(), true, quText, &fresh);
      fresh.AssignValues(sdParams);
      sdParams.Clear();
      sdParams.Assign(fresh);
    } else {
      quText = quSql->text();
    }
    DataEvent(dePropertyChange, 0);
  }
  const std::size_t nul = quText.find(char16_t{0});
  if (nul != nxString::npos) quText.resize(nul);
}

UnicodeString TnxQuery::PSGetTableName() { return GetTableNameFromSQL(quSql->text()); }

void TnxQuery::PSSetCommandText(UnicodeStringView aText) {
  if (!aText.empty()) quSql->setText(aText);
}

std::unique_ptr<TIndexDef> TnxQuery::PSGetDefaultOrder() {
  std::unique_ptr<TIndexDef> order = TnxStatementDataSet::PSGetDefaultOrder();
  if (!order) order = GetIndexForOrderBy(quSql->text(), this);
  return order;
}

// ---------------------------------------------------------------------------
// Stored procedure

void TnxStoredProc::SetStoredProcName(const nxString& aValue) {
  if (Loading()) {
    spStoredProcName = aValue;
    return;
  }
  CheckInactive();
  if (aValue == spStoredProcName) return;
  spStoredProcName = aValue;
  Unprepare();
  sdParams.Clear();
  if (Designing()) nxdb_int::ignoringErrors([this] { spFillParams(); });
}

void TnxStoredProc::Prepare() {
  TnxStatementDataSet::Prepare();
  if (sdParams.Count() == 0) spFillParams();
}

void TnxStoredProc::RefreshParam() {
  sdParams.Clear();
  spFillParams();
}

void TnxStoredProc::spFillParams() {
  TnxDatabase* db = Database();
  if (!db) dsRaiseMessage(u"DataSet cannot open its database");
  TnxStoredProcParamList list = db->GetStoredProcParams(spStoredProcName);
  if (list.empty()) list = db->GetStoredFuncParams(spStoredProcName);
  for (const TnxStoredProcParamDesc& entry : list) {
    TParam& param = sdParams.CreateParam(TnxBaseVclFieldMapper::MapVadurToParamType(entry.piDataType),
                                         entry.piParamName, static_cast<TParamType>(entry.piParamType));
    param.SetSize(entry.piSize);
  }
}

void TnxStoredProc::PSSetCommandText(UnicodeStringView aText) {
  if (!aText.empty()) SetStoredProcName(nxString(aText));
}
