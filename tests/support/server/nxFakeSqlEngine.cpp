#include "nxFakeSqlEngine.h"

#include <cstring>
#include <regex>
#include <string>

#include "nxllException.h"
#include "nxllStreams.h"
#include "nxsrTimeoutHandling.h"
#include "plString.h"

PL_CLASS_INFO_IMPL(FakeSqlEngine, TnxBaseSqlEngine, "FakeSqlEngine", nullptr)
PL_CLASS_INFO_IMPL(FakeSqlStatement, TnxServerStatement, "FakeSqlStatement", nullptr)

namespace {

void putInt32(TStream& aStream, std::int32_t aValue) {
  std::uint8_t bytes[4];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(aValue) >> (8 * i));
  aStream.WriteBuffer(bytes, 4);
}

void putText(TStream& aStream, const std::string& aText) {
  putInt32(aStream, static_cast<std::int32_t>(aText.size()));
  if (!aText.empty()) aStream.WriteBuffer(aText.data(), static_cast<std::int32_t>(aText.size()));
}

const std::regex kSelect(R"(^\s*SELECT\s+\*\s+FROM\s+(\S+)(?:\s+WHERE\s+(\w+)\s*=\s*\?)?\s*$)", std::regex::icase);
const std::regex kFailure(R"(^(fail|silent|overlong) (\w+) (\d+) ?([^\r\n]*)\s*$)");
const std::regex kUpdate(R"(^\s*UPDATE\s+(\S+)\s+SET\s+(\w+)\s*=\s*\?\s+WHERE\s+(\w+)\s*=\s*\?\s*$)",
                         std::regex::icase);

// Frees a cursor of the fake's own on every way out.
struct FakeCursorOwner {
  TnxAbstractCursor* cursor;
  ~FakeCursorOwner() {
    if (cursor) TnxAbstractServerObject::Free(cursor);
  }
};

}  // namespace

TnxResult FakeSqlEngine::StatementAlloc(TnxAbstractDatabase* aDatabase, TnxAbstractStatement*& aStatement,
                                        TnxWord32 aTimeout) {
  aStatement = platform::create<FakeSqlStatement>(this, static_cast<TnxServerDatabase*>(aDatabase), aTimeout);
  return 0;
}

std::size_t FakeSqlEngine::CountOf(const std::string& aType) const {
  std::size_t n = 0;
  for (const FakeSqlCall& call : calls) n += call.type == aType ? 1 : 0;
  return n;
}

const FakeRoutine* FakeSqlEngine::FindRoutine(const nxString& aName) const {
  for (const FakeRoutine& routine : catalogue)
    if (platform::sameTextAscii(routine.name, aName)) return &routine;
  return nullptr;
}

FakeSqlCall& FakeSqlStatement::Record(const char* aType, std::size_t aParams) {
  FakeSqlCall call;
  call.type = aType;
  call.text = fsText;
  call.params = aParams;
  call.execDirect = asExecDirect;
  call.deadline = nxGetThreadDeadline();
  call.executing = static_cast<TnxServerDatabase*>(asDatabase)->ServerEngine()->seExecutingStatements.load();
  call.statementType = fsType;
  fsEngine->calls.push_back(call);
  return fsEngine->calls.back();
}

TnxResult FakeSqlStatement::StageFailure(const char* aStage, TStream* aStream) {
  const std::string text = platform::toUtf8(fsText);
  std::smatch match;
  if (!std::regex_match(text, match, kFailure) || match[2].str() != aStage) return 0;
  const TnxResult code = std::stoi(match[3].str());
  if (match[1].str() == "fail" && aStream) {
    TnxOwned<platform::TStringList> log(platform::create<platform::TStringList>());
    for (const char* line : kFakeSqlLogLines) log->add(platform::fromUtf8(line));
    const std::string message = match[4].str() + platform::toUtf8(nxEncodeCustomInfo(u"SqlLog", log->commaText()));
    putText(*aStream, message);
  } else if (match[1].str() == "overlong" && aStream) {
    putInt32(*aStream, 1000);  // more than follows
    aStream->WriteBuffer("abc", 3);
  }
  return code;
}

TnxResult FakeSqlStatement::ssPrepare(TnxStatementType aStatementType, const nxString& aQueryText, TStream* aStream) {
  fsText = aQueryText;
  fsType = aStatementType;
  Record("prepare", 0);
  if (aStatementType == stStoredProcedure && !fsEngine->FindRoutine(aQueryText)) return 8712;
  return StageFailure("prepare", aStream);
}

TnxResult FakeSqlStatement::ssExec(TnxAbstractCursor*& aCursor, TnxOpenMode aOpenMode, TStream* aStream) {
  aCursor = nullptr;
  Record("exec", 0).openMode = aOpenMode;
  if (fsEngine->duringExec) fsEngine->duringExec();
  if (fsType == stStoredProcedure) {
    if (aStream) {
      const std::int64_t start = aStream->Position();
      for (int i = 0; i < 3; ++i) putInt32(*aStream, 0);
      aStream->SetPosition(start);
    }
    return 0;
  }
  if (const TnxResult failed = StageFailure("exec", aStream)) return failed;
  const std::string text = platform::toUtf8(fsText);
  if (text.rfind("raise ", 0) == 0) throw EnxBaseException(std::stoi(text.substr(6)));
  std::smatch match;
  if (std::regex_match(text, match, kSelect)) {
    const nxString table = platform::fromUtf8(match[1].str());
    if (!table.empty() && table[0] == u'#') return ExecCatalogue(table, aCursor, aStream);
    return ExecSelect(table, platform::fromUtf8(match[2].str()), aCursor, aStream);
  }
  if (std::regex_match(text, match, kUpdate))
    return ExecUpdate(platform::fromUtf8(match[1].str()), platform::fromUtf8(match[2].str()),
                      platform::fromUtf8(match[3].str()), aStream);
  if (text.rfind("truncated", 0) == 0 && aStream) {
    const std::int64_t start = aStream->Position();
    for (const std::int32_t value : {5, 5, 3}) putInt32(*aStream, value);
    putText(*aStream, "abcd");
    putInt32(*aStream, 100);  // claims more than follows
    aStream->WriteBuffer("xyz", 3);
    aStream->SetPosition(start);
    return 0;
  }
  if (text.rfind("rows ", 0) == 0 && aStream) {
    const std::int32_t rows = std::stoi(text.substr(5));
    const std::int64_t start = aStream->Position();
    putInt32(*aStream, rows);
    putInt32(*aStream, rows);
    putInt32(*aStream, 2);
    for (const char* line : kFakeSqlLogLines) putText(*aStream, line);
    aStream->SetPosition(start);
  }
  return 0;
}

TnxResult FakeSqlStatement::ssSetParams(const TnxSqlParamList& aParams, TStream* aStream) {
  Record("setParams", aParams.size()).paramValues = aParams;
  fsParams = aParams;
  return StageFailure("setParams", aStream);
}

TnxResult FakeSqlStatement::ssGetParams(TnxSqlParamList& aParams, TStream* aStream) {
  Record("getParams", aParams.size());
  if (const TnxResult failed = StageFailure("getParams", aStream)) return failed;
  if (const FakeRoutine* routine = fsType == stStoredProcedure ? fsEngine->FindRoutine(fsText) : nullptr) {
    for (std::size_t i = 0; i < aParams.size() && i < routine->arguments.size(); ++i) {
      const TnxParamType kind = aParams[i].piParamType;
      if (kind == nxptOutput || kind == nxptInputOutput || kind == nxptResult)
        aParams[i].piData = routine->arguments[i].output;
    }
  }
  if (fsEngine->onGetParams) fsEngine->onGetParams(aParams);
  return 0;
}

TnxAbstractCursor* FakeSqlStatement::OpenTable(const nxString& aTable, TnxOpenMode aOpenMode) {
  TnxAbstractCursor* cursor = nullptr;
  const TnxResult result =
      asDatabase->CursorOpen(cursor, aTable, u"", aOpenMode, smShared, 0, u"", -1, false, {}, 500, nullptr);
  if (result != 0) throw EnxBaseException(result);
  return cursor;
}

TnxResult FakeSqlStatement::ExecSelect(const nxString& aTable, const nxString& aWhereField, TnxAbstractCursor*& aCursor,
                                       TStream* aStream) {
  FakeCursorOwner source{OpenTable(aTable, omReadOnly)};
  auto* database = static_cast<TnxServerDatabase*>(asDatabase);
  TnxOwned<TnxDataDictionary> dict(platform::create<TnxDataDictionary>());
  dict->Assign(source.cursor->Get_Dictionary());
  FakeCursorOwner result{database->sadCreateResultSet(dict.get(), 0)};
  TnxFieldsDescriptor* fields = source.cursor->FieldsDescriptor();
  std::vector<std::uint8_t> record(static_cast<std::size_t>(fields->RecordLength()) + 16);
  if (const TnxResult begun = source.cursor->SetToBegin()) return begun;
  TnxBlobFields blobFields;
  fields->HasBlobFields(blobFields);
  const std::int32_t where = aWhereField.empty() ? -1 : fields->GetFieldFromName(aWhereField);
  if (!aWhereField.empty() && (where < 0 || fsParams.empty())) return 9986;
  std::int32_t count = 0;
  while (source.cursor->RecordGetNext(nxltNoLock, record.data()) == 0) {
    if (where >= 0) {
      const TnxFieldDescriptor* field = fields->Fields(where);
      std::vector<std::uint8_t> wanted(static_cast<std::size_t>(field->fdLength), 0);
      std::memcpy(wanted.data(), fsParams[0].piData.data(), std::min(wanted.size(), fsParams[0].piData.size()));
      if (fields->IsRecordFieldNull(where, record.data()) ||
          std::memcmp(record.data() + field->fdOffset, wanted.data(), wanted.size()) != 0)
        continue;
    }
    for (const std::int32_t blob : blobFields) fields->SetRecordFieldNull(blob, record.data(), true);
    if (const TnxResult inserted = result.cursor->RecordInsert(nxltNoLock, record.data(), nullptr)) return inserted;
    ++count;
  }
  if (const TnxResult begun = result.cursor->SetToBegin()) return begun;
  if (aStream) {
    const std::int64_t start = aStream->Position();
    const std::uint8_t editable = fsEngine->editableResults ? 1 : 0;
    aStream->WriteBuffer(&editable, 1);
    putInt32(*aStream, 0);
    putInt32(*aStream, count);
    putInt32(*aStream, 0);
    aStream->SetPosition(start);
  }
  aCursor = std::exchange(result.cursor, nullptr);
  return 0;
}

// The text of a wide-string parameter.
static nxString wideParam(const TnxSqlParamDesc& aParam) {
  nxString text;
  for (std::size_t i = 0; i + 1 < aParam.piData.size(); i += 2) {
    const auto c = static_cast<char16_t>(aParam.piData[i] | aParam.piData[i + 1] << 8);
    if (c == 0) break;
    text += c;
  }
  return text;
}

TnxResult FakeSqlStatement::ExecCatalogue(const nxString& aTable, TnxAbstractCursor*& aCursor, TStream* aStream) {
  nxString upper = aTable;
  for (char16_t& c : upper)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  const bool functions = upper.find(u"FUNCTION") != nxString::npos;
  const bool arguments = upper.find(u"ARGUMENTS") != nxString::npos;
  const nxString prefix = functions ? u"FUNCTION" : u"PROCEDURE";
  TnxOwned<TnxDataDictionary> dict(platform::create<TnxDataDictionary>());
  TnxFieldsDescriptor* fields = dict->FieldsDescriptor();
  fields->AddField(prefix + u"_NAME", u"", nxtWideString, 128, 0, false);
  if (arguments) {
    for (const char16_t* column : {u"_ARGUMENT_NAME", u"_ARGUMENT_TYPE", u"_ARGUMENT_KIND"})
      fields->AddField(prefix + column, u"", nxtWideString, 128, 0, false);
    fields->AddField(prefix + u"_ARGUMENT_UNITS", u"", nxtInt32, 0, 0, false);
  }
  auto* database = static_cast<TnxServerDatabase*>(asDatabase);
  FakeCursorOwner result{database->sadCreateResultSet(dict.get(), 0)};
  std::vector<std::uint8_t> record(static_cast<std::size_t>(result.cursor->FieldsDescriptor()->RecordLength()) + 16);
  const nxString wanted = arguments && !fsParams.empty() ? wideParam(fsParams[0]) : nxString();
  std::int32_t count = 0;
  for (const FakeRoutine& routine : fsEngine->catalogue) {
    if (routine.function != functions) continue;
    if (arguments && !platform::sameTextAscii(routine.name, wanted)) continue;
    auto add = [&](const FakeRoutineArgument* aArgument) {
      result.cursor->FieldsDescriptor()->InitRecord(record.data());
      result.cursor->SetFieldAsVariant(record.data(), 0, platform::Variant(routine.name));
      if (aArgument) {
        result.cursor->SetFieldAsVariant(record.data(), 1, platform::Variant(aArgument->name));
        result.cursor->SetFieldAsVariant(record.data(), 2, platform::Variant(aArgument->type));
        result.cursor->SetFieldAsVariant(record.data(), 3, platform::Variant(aArgument->kind));
        result.cursor->SetFieldAsVariant(record.data(), 4, platform::Variant(static_cast<int>(aArgument->units)));
      }
      ++count;
      return result.cursor->RecordInsert(nxltNoLock, record.data(), nullptr);
    };
    if (!arguments) {
      if (const TnxResult inserted = add(nullptr)) return inserted;
      continue;
    }
    for (const FakeRoutineArgument& argument : routine.arguments)
      if (const TnxResult inserted = add(&argument)) return inserted;
  }
  if (const TnxResult begun = result.cursor->SetToBegin()) return begun;
  if (aStream) {
    const std::int64_t start = aStream->Position();
    const std::uint8_t editable = 0;
    aStream->WriteBuffer(&editable, 1);
    for (const std::int32_t value : {0, count, 0}) putInt32(*aStream, value);
    aStream->SetPosition(start);
  }
  aCursor = std::exchange(result.cursor, nullptr);
  return 0;
}

TnxResult FakeSqlStatement::ExecUpdate(const nxString& aTable, const nxString& aField, const nxString& aKey,
                                       TStream* aStream) {
  if (fsParams.size() < 2) return 9986;
  FakeCursorOwner cursor{OpenTable(aTable, omReadWrite)};
  TnxFieldsDescriptor* fields = cursor.cursor->FieldsDescriptor();
  const std::int32_t field = fields->GetFieldFromName(aField), key = fields->GetFieldFromName(aKey);
  if (field < 0 || key < 0) return 10024;
  auto storage = [&](std::int32_t aNo, const std::vector<std::uint8_t>& aData) {
    std::vector<std::uint8_t> value(static_cast<std::size_t>(fields->Fields(aNo)->fdLength), 0);
    std::memcpy(value.data(), aData.data(), std::min(value.size(), aData.size()));
    return value;
  };
  const std::vector<std::uint8_t> newValue = storage(field, fsParams[0].piData);
  const std::vector<std::uint8_t> keyValue = storage(key, fsParams[1].piData);
  std::vector<std::uint8_t> record(static_cast<std::size_t>(fields->RecordLength()) + 16);
  std::int32_t rows = 0;
  if (const TnxResult begun = cursor.cursor->SetToBegin()) return begun;
  while (rows == 0 && cursor.cursor->RecordGetNext(nxltNoLock, record.data()) == 0) {
    if (fields->IsRecordFieldNull(key, record.data())) continue;
    const std::uint8_t* at = record.data() + fields->Fields(key)->fdOffset;
    if (std::memcmp(at, keyValue.data(), keyValue.size()) != 0) continue;
    fields->SetRecordField(field, record.data(), newValue.data());
    if (const TnxResult changed = cursor.cursor->RecordModify(record.data(), true, nullptr)) return changed;
    rows = 1;
  }
  if (aStream) {
    const std::int64_t start = aStream->Position();
    putInt32(*aStream, rows);
    putInt32(*aStream, rows);
    putInt32(*aStream, 0);
    aStream->SetPosition(start);
  }
  return 0;
}
