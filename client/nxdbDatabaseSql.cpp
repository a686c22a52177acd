// The database component's SQL routines and the catalogue of stored
// routines; part of the database family (nxdbDatabase.h).
#include <string>

#include "nxdbInt.h"
#include "nxllStreams.h"
#include "plCodePage.h"
#include "plFormat.h"

using namespace platform;

namespace {

constexpr std::int32_t kCatalogueBlockReadSize = 524288;

[[noreturn]] void nxRaiseInvalidParamValue(const TParam& aParam, int aIndex) {
  const UnicodeString name =
      aParam.Name().empty() ? format(u"<UnnamedParam:%d>", {aIndex}) : aParam.Name();
  DatabaseErrorFmt(u"Invalid value for param '%s'", {name});
}

// The text of the bytes that remain in aStream: UTF-8 or UTF-16 (little
// endian) after a byte-order mark, else the ANSI code page.
UnicodeString streamText(TStream& aStream) {
  const std::int64_t remaining = aStream.Size() - aStream.Position();
  std::string bytes(static_cast<std::size_t>(remaining > 0 ? remaining : 0), '\0');
  if (!bytes.empty()) aStream.ReadBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) return decodeText(std::string_view(bytes).substr(3), 65001);
  if (bytes.size() >= 2 && static_cast<std::uint8_t>(bytes[0]) == 0xFF && static_cast<std::uint8_t>(bytes[1]) == 0xFE) {
    UnicodeString text((bytes.size() - 2) / 2, u'\0');
    for (std::size_t i = 0; i < text.size(); ++i)
      text[i] = static_cast<char16_t>(static_cast<std::uint8_t>(bytes[2 + 2 * i]) |
                                      static_cast<std::uint8_t>(bytes[3 + 2 * i]) << 8);
    return text;
  }
  return decodeText(bytes, ansiCodePage());
}

// Frees a dataset the routine made unless it is handed over.
template <class T>
struct DataSetOwner {
  T* dataSet;
  ~DataSetOwner() {
    if (dataSet) TObject::free(dataSet);
  }
  T* release() { return std::exchange(dataSet, nullptr); }
};

}  // namespace

// ---------------------------------------------------------------------------
// Arguments

void nxSetParamFromArg(TParam& aParam, int aIndex, const TnxConstArg& aArg) {
  switch (aArg.kind) {
    case TnxConstArg::cakInteger: aParam.SetAsInteger(static_cast<std::int32_t>(aArg.int64)); break;
    case TnxConstArg::cakBoolean: aParam.SetAsBoolean(aArg.boolean); break;
    case TnxConstArg::cakChar:
    case TnxConstArg::cakString: aParam.SetAsString(decodeText(aArg.text, ansiCodePage())); break;
    case TnxConstArg::cakExtended: aParam.SetAsFloat(static_cast<double>(aArg.extended)); break;
    case TnxConstArg::cakPointer:
      if (aArg.pointer) nxRaiseInvalidParamValue(aParam, aIndex);
      break;
    case TnxConstArg::cakObject:
      if (!aArg.object) break;
      if (auto* field = objectAs<TField>(aArg.object))
        aParam.AssignField(*field);
      else if (auto* lines = objectAs<TStringList>(aArg.object))
        aParam.SetAsMemo(lines->text());
      else
        nxRaiseInvalidParamValue(aParam, aIndex);
      break;
    case TnxConstArg::cakWideString:
      aParam.SetDataType(ftWideString);
      aParam.SetValue(Variant(aArg.wide));
      break;
    case TnxConstArg::cakCurrency: aParam.SetAsCurrency(aArg.currency); break;
    case TnxConstArg::cakVariant:
      if (aArg.variant.isEmpty())
        aParam.Clear();
      else
        aParam.SetValue(aArg.variant);
      break;
    case TnxConstArg::cakInt64:
      aParam.SetDataType(ftLargeint);
      aParam.SetValue(Variant(static_cast<long long>(aArg.int64)));
      break;
    case TnxConstArg::cakClass:
    case TnxConstArg::cakWideChar:
    case TnxConstArg::cakInterface: nxRaiseInvalidParamValue(aParam, aIndex);
  }
}

void nxSetParamsFromArgs(TParams& aParams, TnxConstArgs aArgs) {
  int index = 0;
  for (const TnxConstArg& arg : aArgs) {
    while (index < aParams.Count() &&
           (aParams.Items(index).ParamType() == ptOutput || aParams.Items(index).ParamType() == ptResult))
      ++index;
    nxSetParamFromArg(aParams.Items(index), index, arg);
    ++index;
  }
}

TnxDynVariantArray nxGetOutputParamValues(const TParams& aParams) {
  TnxDynVariantArray values;
  for (int i = 0; i < aParams.Count(); ++i) {
    const TParam& param = aParams.Items(i);
    if (param.ParamType() == ptOutput || param.ParamType() == ptInputOutput || param.ParamType() == ptResult)
      values.push_back(param.Value());
  }
  return values;
}

// ---------------------------------------------------------------------------
// SQL routines

template <class Body>
TnxDynVariantArray TnxDatabase::dbExecQueryWith(Body&& aLoadText, TnxConstArgs aParams) {
  DataSetOwner<TnxQuery> query{create<TnxQuery>(nullptr)};
  query.dataSet->SetDatabase(this);
  aLoadText(query.dataSet->SQL());
  nxSetParamsFromArgs(query.dataSet->Params(), aParams);
  query.dataSet->ExecSQL();
  return nxGetOutputParamValues(query.dataSet->Params());
}

TnxDynVariantArray TnxDatabase::ExecQuery(const nxString& aQuery, TnxConstArgs aParams) {
  return dbExecQueryWith([&](TStringList& aSql) { aSql.setText(aQuery); }, aParams);
}

TnxDynVariantArray TnxDatabase::ExecQueryFromFile(const nxString& aFileName, TnxConstArgs aParams) {
  return dbExecQueryWith(
      [&](TStringList& aSql) {
        TnxOwned<TnxMemoryStream> file(create<TnxMemoryStream>());
        file->LoadFromFile(toUtf8(aFileName));
        file->SetPosition(0);
        aSql.setText(streamText(*file));
      },
      aParams);
}

TnxDynVariantArray TnxDatabase::ExecQueryFromStream(TStream& aStream, TnxConstArgs aParams) {
  return dbExecQueryWith([&](TStringList& aSql) { aSql.setText(streamText(aStream)); }, aParams);
}

TnxDynVariantArray TnxDatabase::ExecStoredProc(const nxString& aStoredProcName, TnxConstArgs aParams) {
  DataSetOwner<TnxStoredProc> proc{create<TnxStoredProc>(nullptr)};
  proc.dataSet->SetDatabase(this);
  proc.dataSet->SetStoredProcName(aStoredProcName);
  proc.dataSet->RefreshParam();
  nxSetParamsFromArgs(proc.dataSet->Params(), aParams);
  proc.dataSet->ExecProc();
  return nxGetOutputParamValues(proc.dataSet->Params());
}

TnxQuery* TnxDatabase::OpenQuery(const nxString& aQuery, TnxConstArgs aParams, std::int32_t aBlockReadSize,
                                 bool aRequestLive) {
  DataSetOwner<TnxQuery> query{create<TnxQuery>(nullptr)};
  query.dataSet->SetDatabase(this);
  query.dataSet->SQL().setText(aQuery);
  nxSetParamsFromArgs(query.dataSet->Params(), aParams);
  query.dataSet->SetBlockReadSize(aBlockReadSize);
  query.dataSet->SetRequestLive(aRequestLive);
  query.dataSet->Open();
  return query.release();
}

TnxStoredProc* TnxDatabase::OpenStoredProc(const nxString& aStoredProcName, TnxConstArgs aParams,
                                           std::int32_t aBlockReadSize) {
  DataSetOwner<TnxStoredProc> proc{create<TnxStoredProc>(nullptr)};
  proc.dataSet->SetDatabase(this);
  proc.dataSet->SetStoredProcName(aStoredProcName);
  proc.dataSet->RefreshParam();
  nxSetParamsFromArgs(proc.dataSet->Params(), aParams);
  proc.dataSet->SetBlockReadSize(aBlockReadSize);
  proc.dataSet->Open();
  return proc.release();
}

// ---------------------------------------------------------------------------
// Catalogue of stored routines

void TnxDatabase::dbGetRoutineNames(TStringList* aList, const char16_t* aQuery, const char16_t* aField) {
  CheckStarted();
  if (!aList) throw EnxDatabaseError(this, 9986);
  aList->beginUpdate();
  try {
    aList->clear();
    DataSetOwner<TnxQuery> query{OpenQuery(aQuery, {}, kCatalogueBlockReadSize, false)};
    TField* field = query.dataSet->FieldByName(aField);
    for (query.dataSet->First(); !query.dataSet->Eof(); query.dataSet->Next()) aList->add(field->AsString());
  } catch (...) {
    aList->endUpdate();
    throw;
  }
  aList->endUpdate();
}

void TnxDatabase::GetStoredProcNames(TStringList* aList) {
  dbGetRoutineNames(aList, u"SELECT * from #PROCEDURES", u"PROCEDURE_NAME");
}

void TnxDatabase::GetStoredFuncNames(TStringList* aList) {
  dbGetRoutineNames(aList, u"SELECT * from #FUNCTIONS", u"FUNCTION_NAME");
}

TnxStoredProcParamList TnxDatabase::dbGetRoutineParams(const nxString& aName, bool aFunction) {
  CheckStarted();
  const nxString prefix = aFunction ? u"FUNCTION" : u"PROCEDURE";
  const TnxConstArg args[] = {TnxConstArg(aName)};
  DataSetOwner<TnxQuery> query{OpenQuery(u"SELECT * FROM #" + prefix + u"_ARGUMENTS WHERE " + prefix + u"_NAME = :name",
                                         args, kCatalogueBlockReadSize, false)};
  TnxDataset& rows = *query.dataSet;
  TField* name = rows.FieldByName(prefix + u"_ARGUMENT_NAME");
  TField* type = rows.FieldByName(prefix + u"_ARGUMENT_TYPE");
  TField* kind = rows.FieldByName(prefix + u"_ARGUMENT_KIND");
  TField* units = rows.FieldByName(prefix + u"_ARGUMENT_UNITS");
  TnxStoredProcParamList params;
  for (rows.First(); !rows.Eof(); rows.Next())
    params.push_back({name->AsString(), nxParamTypeFromName(kind->AsString()), nxSqlTypeNameToFieldType(type->AsString()),
                      units->AsInteger()});
  return params;
}

TnxStoredProcParamList TnxDatabase::GetStoredProcParams(const nxString& aStoredProcName) {
  return dbGetRoutineParams(aStoredProcName, false);
}

TnxStoredProcParamList TnxDatabase::GetStoredFuncParams(const nxString& aStoredFuncName) {
  return dbGetRoutineParams(aStoredFuncName, true);
}
