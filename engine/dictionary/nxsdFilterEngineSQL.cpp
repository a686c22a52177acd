#include "nxsdFilterEngineSQL.h"

#include <vector>

#include "nxllBde.h"
#include "nxllLockedFuncs.h"
#include "nxsdDataDictionary.h"
#include "plCodePage.h"
#include "plString.h"

NX_IMPLEMENT_EXCEPTION(EnxSqlFilterDescriptorException, EnxBaseFilterDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxSqlFilterEngineException, EnxBaseFilterEngineException)

const platform::ClassInfo* SqlFilterStatementClass = nullptr;

PL_CLASS_INFO_IMPL(TnxBaseSqlFilterDescriptor, TnxBaseFilterDescriptor, "TnxBaseSqlFilterDescriptor", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxSqlFilterDescriptor, TnxBaseSqlFilterDescriptor, "TnxSqlFilterDescriptor", nullptr,
                         platform::bindClassTable(nxFilterDescriptorFuncs<TnxSqlFilterDescriptor>))
PL_CLASS_INFO_IMPL(TnxBaseSqlFilterStatement, TnxObject, "TnxBaseSqlFilterStatement", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseSqlFilterEngine, TnxBaseFilterEngine, "TnxBaseSqlFilterEngine", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxSqlFilterEngine, TnxBaseSqlFilterEngine, "TnxSqlFilterEngine", nullptr,
                         platform::bindClassTable(nxFilterEngineFuncs<TnxSqlFilterEngine>))

namespace {

constexpr std::uint8_t kTextAnsi = 1;
constexpr std::uint8_t kTextUtf16 = 2;

[[noreturn]] void incompatibleSqlFilterStream() { throw EnxSqlFilterDescriptorException(nxErrIncompatibleStream); }

}  // namespace

// ---------------------------------------------------------------------------
// TnxSqlFilterDescriptor

TnxSqlFilterDescriptor::TnxSqlFilterDescriptor(TStream& aStream) {
  std::uint8_t format = 0;
  aStream.ReadBuffer(&format, 1);
  if (format != kTextAnsi && format != kTextUtf16) incompatibleSqlFilterStream();
  std::int32_t count = 0;
  if (aStream.Read(&count, 4) != 4 || count < 0) incompatibleSqlFilterStream();
  const std::int64_t bytes = static_cast<std::int64_t>(count) * (format == kTextUtf16 ? 2 : 1);
  // A count beyond the stream is a damaged body, not a reason to allocate.
  if (bytes > aStream.Size() - aStream.Position()) incompatibleSqlFilterStream();
  if (format == kTextUtf16) {
    nxString text(static_cast<std::size_t>(count), u'\0');
    if (count && aStream.Read(text.data(), static_cast<std::int32_t>(bytes)) != bytes) incompatibleSqlFilterStream();
    bsfdExpression = std::move(text);
  } else {
    std::string text(static_cast<std::size_t>(count), '\0');
    if (count && aStream.Read(text.data(), count) != count) incompatibleSqlFilterStream();
    bsfdExpression = platform::ansiToUnicode(platform::AnsiString{std::move(text), 0});
  }
}

TnxResult TnxSqlFilterDescriptor::WriteToStream(TStream& aStream, std::int32_t /*aVersion*/) {
  WriteClassName(aStream);
  const std::uint8_t format = kTextUtf16;
  aStream.WriteBuffer(&format, 1);
  const auto count = static_cast<std::int32_t>(bsfdExpression.size());
  aStream.WriteBuffer(&count, 4);
  if (count) aStream.WriteBuffer(bsfdExpression.data(), count * 2);
  return 0;
}

// ---------------------------------------------------------------------------
// TnxBaseSqlFilterStatement

TnxBaseSqlFilterStatement::TnxBaseSqlFilterStatement(const TnxIntfPtr<InxFieldsSource>& aFieldsSource,
                                                     const nxString& /*aSqlText*/)
    : bsfsFieldsSource(aFieldsSource) {}

bool TnxBaseSqlFilterStatement::MatchesBuffer(const void* aBuffer) {
  bsfsBuffer = aBuffer;
  bool result;
  try {
    result = EvaluateFilter();
  } catch (...) {
    result = false;
  }
  bsfsBuffer = nullptr;
  return result;
}

std::int32_t TnxBaseSqlFilterStatement::ResolveFilterColumn(const nxString& aColumnName, TnxFieldType& aColType,
                                                            std::int32_t& aColSize, std::int32_t& aColDec,
                                                            TnxLocaleDescriptor*& aColLocaleDesc) {
  const std::int32_t index = bsfsFieldsSource->GetFieldFromName(aColumnName);
  if (index < 0) return index;
  InxFieldDescriptor* field = bsfsFieldsSource->GetFieldDescriptor(index);
  const TnxFieldType type = field->GetFieldType();
  if (nxFieldTypeIn(type, nxBlobFieldTypes) && !bsfsFieldsSource->BlobsSupported()) return -1;
  aColType = type;
  aColSize = field->GetFieldUnits();
  aColDec = field->GetFieldDecPl();
  aColLocaleDesc = field->GetFieldLocaleDescriptor();
  return index;
}

platform::Variant TnxBaseSqlFilterStatement::GetFilterColumnValue(std::int32_t aIndex) {
  if (!bsfsBuffer) return platform::Variant();
  return bsfsFieldsSource->GetFieldAsVariant(bsfsBuffer, aIndex);
}

// ---------------------------------------------------------------------------
// TnxSqlFilterEngine

TnxSqlFilterEngine::TnxSqlFilterEngine(TnxBaseFilterDescriptor* aDescriptor,
                                       const TnxIntfPtr<InxFieldsSource>& aFieldsSource)
    : TnxBaseSqlFilterEngine(aDescriptor, aFieldsSource) {
  sfeExpression = nxFilterDescriptorAs<TnxSqlFilterDescriptor>(aDescriptor)->Expression();
  const platform::ClassInfo* cls = SqlFilterStatementClass;
  const TnxSqlFilterStatementClassFuncs* funcs = cls ? cls->table<TnxSqlFilterStatementClassFuncs>() : nullptr;
  if (!funcs)
    throw EnxSqlFilterEngineException(nxErrNotSupported, u"SQL Filters require SqlFilterStatementClass to be assigned");
  sfeStatement = funcs->create(aFieldsSource, sfeExpression);
}

TnxSqlFilterEngine::~TnxSqlFilterEngine() { nxFreeAndNil(sfeStatement); }

TnxBaseFilterDescriptor* TnxSqlFilterEngine::CreateDescriptor() {
  return platform::create<TnxSqlFilterDescriptor>(sfeExpression);
}

bool TnxSqlFilterEngine::MatchesBuffer(const void* aBuffer) {
  if (!GetActive() || !aBuffer) return true;
  if (!sfeStatement)
    throw EnxSqlFilterEngineException(nxErrNotSupported,
                                      u"TnxSqlFilterEngine.MatchesBuffer requires sfeStatement to be assigned");
  return sfeStatement->MatchesBuffer(aBuffer);
}

void TnxSqlFilterEngine::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aFlag) {
  TnxBaseSqlFilterEngine::AddDebugInfo(aContainer, aFlag);
  aContainer->AddString(u"Expression", sfeExpression);
}

namespace {

TnxUseCount gFilterEngineSQLUseCount{0};

void unregisterFilterEngineSQLClasses() {
  TnxEngineClass<TnxSqlFilterEngine>::Unregister();
  TnxDescriptorClass<TnxSqlFilterDescriptor>::Unregister();
}

}  // namespace

void nxsdFilterEngineSQLInitialize() {
  if (!nxUseCountEnter(gFilterEngineSQLUseCount)) return;
  try {
    TnxDescriptorClass<TnxSqlFilterDescriptor>::Register();
    TnxEngineClass<TnxSqlFilterEngine>::Register();
  } catch (...) {
    unregisterFilterEngineSQLClasses();
    nxUseCountLeave(gFilterEngineSQLUseCount);
    throw;
  }
}

void nxsdFilterEngineSQLFinalize() {
  if (nxUseCountLeave(gFilterEngineSQLUseCount)) unregisterFilterEngineSQLClasses();
}
