#include "nxFakeSqlEngine.h"

#include <cstring>
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
  return 0;
}

TnxResult FakeSqlStatement::ssGetParams(TnxSqlParamList& aParams, TStream*) {
  Record("getParams", aParams.size());
  return 0;
}
