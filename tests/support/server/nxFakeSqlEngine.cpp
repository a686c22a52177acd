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

// The words of aText split at blanks; the last takes the rest of the text.
std::vector<std::string> words(const std::string& aText, std::size_t aCount) {
  std::vector<std::string> result;
  std::size_t pos = 0;
  while (pos < aText.size() && result.size() + 1 < aCount) {
    const std::size_t blank = aText.find(' ', pos);
    if (blank == std::string::npos) break;
    result.push_back(aText.substr(pos, blank - pos));
    pos = blank + 1;
  }
  if (pos <= aText.size()) result.push_back(aText.substr(pos));
  return result;
}

const std::regex kSelect(R"(^\s*SELECT\s+\*\s+FROM\s+(\S+)\s*$)", std::regex::icase);
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

void FakeSqlStatement::Record(const char* aType, std::size_t aParams) {
  FakeSqlCall call;
  call.type = aType;
  call.text = fsText;
  call.params = aParams;
  call.execDirect = asExecDirect;
  call.deadline = nxGetThreadDeadline();
  call.executing = static_cast<TnxServerDatabase*>(asDatabase)->ServerEngine()->seExecutingStatements.load();
  fsEngine->calls.push_back(call);
}

TnxResult FakeSqlStatement::ssPrepare(TnxStatementType, const nxString& aQueryText, TStream* aStream) {
  fsText = aQueryText;
  Record("prepare", 0);
  const std::string text = platform::toUtf8(aQueryText);
  if (text.rfind("fail prepare ", 0) == 0) {
    const std::vector<std::string> parts = words(text, 4);  // fail, prepare, code, message
    const TnxResult code = parts.size() > 2 ? std::stoi(parts[2]) : 1;
    const std::string message = (parts.size() > 3 ? parts[3] : std::string()) +
                                platform::toUtf8(nxEncodeCustomInfo(
                                    u"SqlLog", platform::fromUtf8(std::string(kFakeSqlLogLines[0]) + "," +
                                                                  kFakeSqlLogLines[1])));
    if (aStream) putText(*aStream, message);
    return code;
  }
  return 0;
}

TnxResult FakeSqlStatement::ssExec(TnxAbstractCursor*& aCursor, TnxOpenMode, TStream* aStream) {
  aCursor = nullptr;
  Record("exec", 0);
  if (fsEngine->duringExec) fsEngine->duringExec();
  const std::string text = platform::toUtf8(fsText);
  if (text.rfind("raise ", 0) == 0) throw EnxBaseException(std::stoi(text.substr(6)));
  std::smatch match;
  if (std::regex_match(text, match, kSelect)) return ExecSelect(platform::fromUtf8(match[1].str()), aCursor);
  if (std::regex_match(text, match, kUpdate))
    return ExecUpdate(platform::fromUtf8(match[1].str()), platform::fromUtf8(match[2].str()),
                      platform::fromUtf8(match[3].str()), aStream);
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

TnxResult FakeSqlStatement::ssSetParams(const TnxSqlParamList& aParams, TStream*) {
  Record("setParams", aParams.size());
  fsParams = aParams;
  return 0;
}

TnxResult FakeSqlStatement::ssGetParams(TnxSqlParamList& aParams, TStream*) {
  Record("getParams", aParams.size());
  return 0;
}

TnxAbstractCursor* FakeSqlStatement::OpenTable(const nxString& aTable) {
  TnxAbstractCursor* cursor = nullptr;
  const TnxResult result =
      asDatabase->CursorOpen(cursor, aTable, u"", omReadWrite, smShared, 0, u"", -1, false, {}, 500, nullptr);
  if (result != 0) throw EnxBaseException(result);
  return cursor;
}

TnxResult FakeSqlStatement::ExecSelect(const nxString& aTable, TnxAbstractCursor*& aCursor) {
  FakeCursorOwner source{OpenTable(aTable)};
  auto* database = static_cast<TnxServerDatabase*>(asDatabase);
  TnxOwned<TnxDataDictionary> dict(platform::create<TnxDataDictionary>());
  dict->Assign(source.cursor->Get_Dictionary());
  FakeCursorOwner result{database->sadCreateResultSet(dict.get(), 0)};
  TnxFieldsDescriptor* fields = source.cursor->FieldsDescriptor();
  std::vector<std::uint8_t> record(static_cast<std::size_t>(fields->RecordLength()) + 16);
  if (const TnxResult begun = source.cursor->SetToBegin()) return begun;
  TnxBlobFields blobFields;
  fields->HasBlobFields(blobFields);
  while (source.cursor->RecordGetNext(nxltNoLock, record.data()) == 0) {
    for (const std::int32_t blob : blobFields) fields->SetRecordFieldNull(blob, record.data(), true);
    if (const TnxResult inserted = result.cursor->RecordInsert(nxltNoLock, record.data(), nullptr)) return inserted;
  }
  if (const TnxResult begun = result.cursor->SetToBegin()) return begun;
  aCursor = std::exchange(result.cursor, nullptr);
  return 0;
}

TnxResult FakeSqlStatement::ExecUpdate(const nxString& aTable, const nxString& aField, const nxString& aKey,
                                       TStream* aStream) {
  if (fsParams.size() < 2) return 9986;
  FakeCursorOwner cursor{OpenTable(aTable)};
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
