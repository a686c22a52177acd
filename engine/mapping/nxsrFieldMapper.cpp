#include "nxsrFieldMapper.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "nxllBde.h"
#include "nxllLockedFuncs.h"
#include "nxllUtils.h"
#include "nxsdServerBaseCursor.h"
#include "nxsdKeyEngineBase.h"
#include "nxsrFieldMapperBlobs.h"
#include "plStringList.h"
#include "plVariant.h"

NX_IMPLEMENT_EXCEPTION(EnxBaseFieldMapperEngineException, EnxBaseRegisterableEngineException)
NX_IMPLEMENT_EXCEPTION(EnxFieldMapperEngineException, EnxBaseFieldMapperEngineException)
NX_IMPLEMENT_EXCEPTION(EnxRecordMapperDescriptorException, EnxBaseRecordMapperDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxTableMapperDescriptorException, EnxBaseTableMapperDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxBaseRecordMapperEngineException, EnxBaseRegisterableEngineException)

PL_CLASS_INFO_IMPL(TnxBaseFieldMapperEngine, TnxBaseRegisterableEngine, "TnxBaseFieldMapperEngine", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxFieldMapperEngine, TnxBaseFieldMapperEngine, "TnxFieldMapperEngine", nullptr,
                         platform::bindClassTable(nxFieldMapperEngineFuncs<TnxFieldMapperEngine>))
PL_CLASS_INFO_IMPL_TABLE(TnxFieldMapperEngineAutoInc, TnxBaseFieldMapperEngine, "TnxFieldMapperEngineAutoInc",
                         nullptr, platform::bindClassTable(nxFieldMapperEngineFuncs<TnxFieldMapperEngineAutoInc>))
PL_CLASS_INFO_IMPL_TABLE(TnxRecordMapperDescriptor, TnxBaseRecordMapperDescriptor, "TnxRecordMapperDescriptor",
                         nullptr, platform::bindClassTable(nxRecordMapperDescriptorFuncs<TnxRecordMapperDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxTableMapperDescriptor, TnxBaseTableMapperDescriptor, "TnxTableMapperDescriptor",
                         nullptr, platform::bindClassTable(nxTableMapperDescriptorFuncs<TnxTableMapperDescriptor>))
PL_CLASS_INFO_IMPL(TnxBaseRecordMapperEngine, TnxBaseRegisterableEngine, "TnxBaseRecordMapperEngine", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxRecordMapperEngine, TnxBaseRecordMapperEngine, "TnxRecordMapperEngine", nullptr,
                         platform::bindClassTable(nxRecordMapperEngineFuncs<TnxRecordMapperEngine>))

namespace {

TnxClassList gFieldMapperEngineClasses = nullptr;
TnxClassList gRecordMapperEngineClasses = nullptr;
std::array<const platform::ClassInfo*, nxFieldTypeCount> gSpecialMappers{};

const nxString kCrLf = u"\r\n";

char16_t foldAscii(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

// A name list sorted by nxCompareTextAscii.
template <class T>
using TnxNamed = std::vector<std::pair<nxString, T>>;

template <class T>
void sortNamed(TnxNamed<T>& aList) {
  std::stable_sort(aList.begin(), aList.end(),
                   [](const auto& a, const auto& b) { return nxCompareTextAscii(a.first, b.first) < 0; });
}

// Walks two sorted lists together; aMatch(i, j) for every pair of equal
// names, aLeftOnly(i) for every name only the first list has.
template <class A, class B, class Match, class LeftOnly>
void mergeNames(const TnxNamed<A>& aLeft, const TnxNamed<B>& aRight, Match&& aMatch, LeftOnly&& aLeftOnly) {
  std::size_t i = 0, j = 0;
  while (i < aLeft.size() && j < aRight.size()) {
    const int c = nxCompareTextAscii(aLeft[i].first, aRight[j].first);
    if (c < 0) {
      aLeftOnly(i);
      ++i;
    } else if (c == 0) {
      aMatch(i, j);
      ++i;
      ++j;
    } else {
      ++j;
    }
  }
  for (; i < aLeft.size(); ++i) aLeftOnly(i);
}

TnxNamed<TnxFieldDescriptor*> fieldsByName(TnxFieldsDescriptor* aFields) {
  TnxNamed<TnxFieldDescriptor*> result;
  for (std::int32_t i = 0; i < aFields->FieldCount(); ++i)
    result.emplace_back(aFields->Fields(i)->fdName, aFields->Fields(i));
  sortNamed(result);
  return result;
}

TnxFieldsDescriptor* cursorFields(TnxAbstractCursor* aCursor) {
  TnxBaseTableDescriptor* table = aCursor ? aCursor->GetTableDescriptor() : nullptr;
  if (!table || !table->FieldsDescriptor()) throw EnxFieldMapperEngineException(nxErrInvalidParam);
  return table->FieldsDescriptor();
}

[[noreturn]] void raiseNotInDictionary(const nxString& aName, const char16_t* aWhere) {
  throw EnxFieldMapperEngineException(nxErrInvalidFieldName, nxGetOrgPlaceholder() + u" Field \"" +
                                                                 nxEscapeMarkers(aName) + u"\" not in " + aWhere +
                                                                 u" dictionary");
}

// The pending message of the thread (any code), or the placeholder.
nxString pendingOrPlaceholder(bool aSameCodeOnly, TnxResult aCode) {
  TnxResult code = 0;
  nxString message;
  EnxBaseException::GetLastConvertedException(code, message);
  if (aSameCodeOnly && code != aCode) message.clear();
  return message.empty() ? nxGetOrgPlaceholder() : message;
}

const platform::ClassInfo& findEngineClass(const TnxClassList& aList, const platform::ClassInfo& aDescriptorClass,
                                           const char16_t* aFamily, bool aRecordFamily) {
  const std::string name = nxDescriptorToEngineName(aDescriptorClass.name);
  const platform::ClassInfo* cls = nxFindClassIn(aList, name);
  if (cls) return *cls;
  const nxString args[] = {nxString(aFamily), platform::fromUtf8(name)};
  if (aRecordFamily)
    throw EnxBaseRecordMapperEngineException(nxErrUnsupportedSubEngine, u"Unknown %s engine: \"%s\"",
                                             {args[0], args[1]});
  throw EnxBaseFieldMapperEngineException(nxErrUnsupportedSubEngine, u"Unknown %s engine: \"%s\"",
                                          {args[0], args[1]});
}

}  // namespace

int nxCompareTextAscii(const nxString& a, const nxString& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t x = foldAscii(a[i]), y = foldAscii(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() == b.size() ? 0 : 1;
}

// ===========================================================================
// TnxBaseFieldMapperEngine

TnxClassList& TnxBaseFieldMapperEngine::GetList() { return gFieldMapperEngineClasses; }

TnxBaseFieldMapperEngine* TnxBaseFieldMapperEngine::CreateFor(TnxFieldMapperDescriptor* aDescriptor,
                                                              TnxAbstractCursor* aSourceCursor,
                                                              TnxAbstractCursor* aTargetCursor) {
  const platform::ClassInfo& cls =
      findEngineClass(gFieldMapperEngineClasses, aDescriptor->classInfo(), u"FieldMapper", false);
  const auto* funcs = cls.table<TnxFieldMapperEngineClassFuncs>();
  if (!funcs)
    throw EnxBaseFieldMapperEngineException(nxErrUnsupportedSubEngine, u"Unknown %s engine: \"%s\"",
                                            {nxString(u"FieldMapper"), platform::fromUtf8(cls.name)});
  return funcs->create(aDescriptor, aSourceCursor, aTargetCursor);
}

bool TnxBaseFieldMapperEngine::HasSpecialMapper(TnxFieldType aFieldType) {
  return aFieldType < nxFieldTypeCount && gSpecialMappers[aFieldType] != nullptr;
}

void TnxBaseFieldMapperEngine::RegisterSpecialMapper(const platform::ClassInfo& aClass, TnxFieldType aFieldType) {
  if (aFieldType >= nxFieldTypeCount) throw EnxBaseFieldMapperEngineException(nxErrInvalidParam);
  const platform::ClassInfo*& entry = gSpecialMappers[aFieldType];
  if (entry == &aClass) return;
  if (entry)
    throw EnxBaseFieldMapperEngineException(
        platform::UnicodeStringView(u"A special Field Mapper has already been registered for this FieldType"));
  entry = &aClass;
}

void TnxBaseFieldMapperEngine::UnregisterSpecialMapper(const platform::ClassInfo& aClass, TnxFieldType aFieldType) {
  if (aFieldType < nxFieldTypeCount && gSpecialMappers[aFieldType] == &aClass) gSpecialMappers[aFieldType] = nullptr;
}

TnxBaseFieldMapperEngine* TnxBaseFieldMapperEngine::CreateSpecialMapper(TnxFieldType aFieldType,
                                                                        TnxFieldMapperDescriptor* aDescriptor,
                                                                        TnxAbstractCursor* aSourceCursor,
                                                                        TnxAbstractCursor* aTargetCursor) {
  if (!HasSpecialMapper(aFieldType)) return nullptr;
  const auto* funcs = gSpecialMappers[aFieldType]->table<TnxFieldMapperEngineClassFuncs>();
  if (!funcs) throw EnxBaseFieldMapperEngineException(nxErrUnsupportedSubEngine);
  return funcs->create(aDescriptor, aSourceCursor, aTargetCursor);
}

// ===========================================================================
// TnxFieldMapperEngine

TnxFieldMapperEngine::TnxFieldMapperEngine(TnxFieldMapperDescriptor* aDescriptor, TnxAbstractCursor* aSourceCursor,
                                           TnxAbstractCursor* aTargetCursor) {
  fmeSourceFieldsDescriptor = cursorFields(aSourceCursor);
  fmeTargetFieldsDescriptor = cursorFields(aTargetCursor);
  fmeDataLossAction = aDescriptor->DataLossAction();

  fmeTargetFieldNumber = fmeTargetFieldsDescriptor->GetFieldFromName(aDescriptor->TargetName());
  if (fmeTargetFieldNumber < 0) raiseNotInDictionary(aDescriptor->TargetName(), u"target");
  fmeTargetFieldDesc = fmeTargetFieldsDescriptor->Fields(fmeTargetFieldNumber);
  fmeTargetFieldOffset = fmeTargetFieldDesc->fdOffset;

  if (!aDescriptor->SourceName().empty()) {
    fmeSourceFieldNumber = fmeSourceFieldsDescriptor->GetFieldFromName(aDescriptor->SourceName());
    if (fmeSourceFieldNumber < 0) raiseNotInDictionary(aDescriptor->SourceName(), u"source");
    fmeSourceFieldDesc = fmeSourceFieldsDescriptor->Fields(fmeSourceFieldNumber);
    fmeSourceFieldOffset = fmeSourceFieldDesc->fdOffset;
    fmeFieldMapper.reset(TnxBaseFieldMapper::CreateMapper(*fmeSourceFieldDesc, aSourceCursor, *fmeTargetFieldDesc,
                                                          aTargetCursor, aDescriptor, fmeFieldMapperMethod));
    if (!fmeFieldMapperMethod.Assigned())
      throw EnxFieldMapperEngineException(
          nxErrInvalidFieldXform, nxGetOrgPlaceholder() + kCrLf + kCrLf + u"No valid Field Mapper available." +
                                      kCrLf + kCrLf + u"Source Field: " +
                                      nxEscapeMarkers(fmeSourceFieldDesc->ToString()) + kCrLf + u"Target Field: " +
                                      nxEscapeMarkers(fmeTargetFieldDesc->ToString()));
  }

  if (aDescriptor->ApplyDefault() && fmeTargetFieldDesc->DefaultValue())
    fmeDefaultValueEngine.reset(TnxBaseDefaultValueEngine::CreateFor(fmeTargetFieldDesc->DefaultValue(), aTargetCursor));

  fmeSpecialMapperEngine.reset(
      CreateSpecialMapper(fmeTargetFieldDesc->fdType, aDescriptor, aSourceCursor, aTargetCursor));
}

void TnxFieldMapperEngine::BeforeFirstRecord() {
  if (fmeSpecialMapperEngine) fmeSpecialMapperEngine->BeforeFirstRecord();
}

void TnxFieldMapperEngine::BeforeCommit() {
  if (fmeSpecialMapperEngine) fmeSpecialMapperEngine->BeforeCommit();
}

void TnxFieldMapperEngine::ApplyDefault(void* aTarget) {
  if (!fmeDefaultValueEngine) return;
  const bool written =
      fmeDefaultValueEngine->SetDefaultValue(static_cast<std::uint8_t*>(aTarget) + fmeTargetFieldOffset);
  fmeTargetFieldsDescriptor->SetRecordFieldNull(fmeTargetFieldNumber, aTarget, !written);
}

TnxResult TnxFieldMapperEngine::MapField(const void* aSource, void* aTarget) {
  TnxResult result = 0;
  if (!fmeFieldMapperMethod.Assigned() || fmeSourceFieldsDescriptor->IsRecordFieldNull(fmeSourceFieldNumber, aSource)) {
    // No value: the default; the special engine still finishes the field.
    ApplyDefault(aTarget);
  } else {
    std::uint8_t* field = static_cast<std::uint8_t*>(aTarget) + fmeTargetFieldOffset;
    result = fmeFieldMapperMethod(static_cast<const std::uint8_t*>(aSource) + fmeSourceFieldOffset, field);
    if (result == 0) {
      fmeTargetFieldsDescriptor->SetRecordFieldNull(fmeTargetFieldNumber, aTarget, false);
    } else if (fmeDataLossAction == dlaNull || result == nxMapNoValue) {
      // Nothing to store: the default, or NULL when there is none.
      const bool written = fmeDefaultValueEngine && fmeDefaultValueEngine->SetDefaultValue(field);
      fmeTargetFieldsDescriptor->SetRecordFieldNull(fmeTargetFieldNumber, aTarget, !written);
      result = 0;
    }
  }
  if (result == 0 && fmeSpecialMapperEngine) result = fmeSpecialMapperEngine->MapField(aSource, aTarget);
  return result != 0 ? AnnotateError(result, aSource) : 0;
}

nxString TnxFieldMapperEngine::SourceValueText(const void* aSource) {
  try {
    const platform::Variant value = fmeSourceFieldsDescriptor->fsdGetFieldByIndexAsVariant(aSource, fmeSourceFieldNumber);
    if (value.isNull()) return u"NULL";
    if (value.isEmpty()) return u"EMPTY";
    if (value.isString()) {
      nxString text = value.toString();
      nxString quoted = u"'";
      for (char16_t c : text) {
        quoted += c;
        if (c == u'\'') quoted += c;
      }
      return quoted + u"'";
    }
    return value.toString();
  } catch (const EnxBaseException& e) {
    return u"[Error: " + e.Message() + u"]";
  } catch (const std::exception& e) {
    return u"[Error: " + platform::fromUtf8(e.what()) + u"]";
  }
}

TnxResult TnxFieldMapperEngine::AnnotateError(TnxResult aErrorCode, const void* aSource) {
  if (aErrorCode != nxErrInvalidFieldXform) return aErrorCode;
  nxString message = pendingOrPlaceholder(false, aErrorCode);
  message += kCrLf;
  message += kCrLf + u"Source Field: " + nxEscapeMarkers(fmeSourceFieldDesc ? fmeSourceFieldDesc->ToString() : nxString());
  message += kCrLf + u"Target Field: " + nxEscapeMarkers(fmeTargetFieldDesc->ToString());
  message += kCrLf + u"Source Value: " + nxEscapeMarkers(fmeSourceFieldDesc ? SourceValueText(aSource) : nxString(u"NULL"));
  EnxBaseException::SetLastConvertedException(aErrorCode, message);
  return aErrorCode;
}

// ===========================================================================
// TnxFieldMapperEngineAutoInc

TnxFieldMapperEngineAutoInc::TnxFieldMapperEngineAutoInc(TnxFieldMapperDescriptor* aDescriptor,
                                                         TnxAbstractCursor* aSourceCursor,
                                                         TnxAbstractCursor* aTargetCursor) {
  fmeaTargetFieldsDescriptor = cursorFields(aTargetCursor);
  if (!aDescriptor->SourceName().empty()) fmeaSourceCursor = nxAsServerCursor(aSourceCursor);
  fmeaTargetCursor = nxAsServerCursor(aTargetCursor);
  if (!fmeaTargetCursor) throw EnxFieldMapperEngineException(nxErrInvalidParam);
  fmeaTargetFieldNumber = fmeaTargetFieldsDescriptor->GetFieldFromName(aDescriptor->TargetName());
  if (fmeaTargetFieldNumber < 0) throw EnxFieldMapperEngineException(nxErrInvalidFieldName);
  fmeaApplyToNull = aDescriptor->ApplyDefault();
}

void TnxFieldMapperEngineAutoInc::BeforeFirstRecord() {
  if (fmeaSourceCursor) nxCheckErrorCode(fmeaSourceCursor->sbcAutoIncGet(fmeaHighAutoInc));
  fmeaTargetCursor->sbcAutoIncSetDirect(fmeaHighAutoInc);
}

TnxResult TnxFieldMapperEngineAutoInc::MapField(const void* /*aSource*/, void* aTarget) {
  std::uint32_t value = 0;
  bool isNull = true;
  fmeaTargetFieldsDescriptor->GetRecordField(fmeaTargetFieldNumber, aTarget, isNull, &value);
  if (!isNull) {
    if (fmeaHighAutoInc < value) {
      fmeaHighAutoInc = value;
      fmeaTargetCursor->sbcAutoIncSetDirect(value);
    }
  } else if (fmeaApplyToNull) {
    ++fmeaHighAutoInc;
    fmeaTargetFieldsDescriptor->SetRecordField(fmeaTargetFieldNumber, aTarget, &fmeaHighAutoInc);
    fmeaTargetCursor->sbcAutoIncSetDirect(fmeaHighAutoInc);
  }
  return 0;
}

void TnxFieldMapperEngineAutoInc::BeforeCommit() {
  if (fmeaSourceCursor) {
    std::uint32_t source = 0;
    nxCheckErrorCode(fmeaSourceCursor->sbcAutoIncGet(source));
    fmeaHighAutoInc = std::max(source, fmeaHighAutoInc);
  }
  fmeaTargetCursor->sbcAutoIncSetDirect(fmeaHighAutoInc);
}

// ===========================================================================
// TnxRecordMapperDescriptor

TnxRecordMapperDescriptor::~TnxRecordMapperDescriptor() { Clear(); }

void TnxRecordMapperDescriptor::beforeDestruction() {
  Clear();
  TnxBaseRecordMapperDescriptor::beforeDestruction();
}

void TnxRecordMapperDescriptor::Clear() {
  while (!rmdFieldMapperDescriptors.empty()) {
    TnxFieldMapperDescriptor* descriptor = rmdFieldMapperDescriptors.back().descriptor;
    rmdFieldMapperDescriptors.pop_back();
    platform::TObject::free(descriptor);
  }
}

std::size_t TnxRecordMapperDescriptor::LowerBound(const nxString& aName) const {
  return static_cast<std::size_t>(
      std::lower_bound(rmdFieldMapperDescriptors.begin(), rmdFieldMapperDescriptors.end(), aName,
                       [](const Entry& e, const nxString& n) { return nxCompareTextAscii(e.name, n) < 0; }) -
      rmdFieldMapperDescriptors.begin());
}

std::int32_t TnxRecordMapperDescriptor::FieldMapperIndexOf(const nxString& aTargetName) const {
  const std::size_t at = LowerBound(aTargetName);
  if (at < rmdFieldMapperDescriptors.size() && nxCompareTextAscii(rmdFieldMapperDescriptors[at].name, aTargetName) == 0)
    return static_cast<std::int32_t>(at);
  return -1;
}

std::size_t TnxRecordMapperDescriptor::IndexOrRaise(const nxString& aName) const {
  const std::int32_t at = FieldMapperIndexOf(aName);
  if (at < 0) {
    std::string text = platform::kListIndexErrorText;
    text.replace(text.find("%d"), 2, "-1");
    throw platform::StringListError(text);
  }
  return static_cast<std::size_t>(at);
}

void TnxRecordMapperDescriptor::Insert(const nxString& aName, TnxFieldMapperDescriptor* aDescriptor) {
  TnxOwned<TnxFieldMapperDescriptor> owned(aDescriptor);
  if (FieldMapperIndexOf(aName) >= 0) throw platform::StringListError(platform::kDuplicateStringText);
  rmdFieldMapperDescriptors.insert(rmdFieldMapperDescriptors.begin() + static_cast<std::ptrdiff_t>(LowerBound(aName)),
                                   Entry{aName, owned.get()});
  owned.release();
}

TnxFieldMapperDescriptor* TnxRecordMapperDescriptor::rmdGetMapper(std::int32_t aInx) const {
  if (aInx < 0 || aInx >= FieldMapperCount()) {
    std::string text = platform::kListIndexErrorText;
    text.replace(text.find("%d"), 2, std::to_string(aInx));
    throw platform::StringListError(text);
  }
  return rmdFieldMapperDescriptors[static_cast<std::size_t>(aInx)].descriptor;
}

TnxFieldMapperDescriptor* TnxRecordMapperDescriptor::AddMapping(const nxString& aSourceName,
                                                                const nxString& aTargetName,
                                                                const platform::ClassInfo* aDescriptorClass,
                                                                TnxDataLossAction aDataLossAction) {
  const platform::ClassInfo& cls = aDescriptorClass ? *aDescriptorClass : TnxFieldMapperDescriptor::staticClassInfo();
  const auto* funcs = cls.table<TnxFieldMapperDescriptorClassFuncs>();
  if (!funcs)
    throw EnxRecordMapperDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                             {nxString(u"FieldMapperDescriptor"), platform::fromUtf8(cls.name)});
  TnxFieldMapperDescriptor* descriptor = funcs->create(aSourceName, aTargetName, aDataLossAction);
  Insert(aTargetName, descriptor);
  return descriptor;
}

void TnxRecordMapperDescriptor::DeleteMapping(const nxString& aTargetName) {
  const std::size_t at = IndexOrRaise(aTargetName);
  TnxFieldMapperDescriptor* descriptor = rmdFieldMapperDescriptors[at].descriptor;
  rmdFieldMapperDescriptors.erase(rmdFieldMapperDescriptors.begin() + static_cast<std::ptrdiff_t>(at));
  platform::TObject::free(descriptor);
}

TnxFieldMapperDescriptor* TnxRecordMapperDescriptor::UpdateSourceName(const nxString& aTargetName,
                                                                      const nxString& aNewSourceName) {
  TnxFieldMapperDescriptor* descriptor = rmdFieldMapperDescriptors[IndexOrRaise(aTargetName)].descriptor;
  descriptor->SetSourceName(aNewSourceName);
  return descriptor;
}

TnxFieldMapperDescriptor* TnxRecordMapperDescriptor::UpdateTargetName(const nxString& aOldTargetName,
                                                                      const nxString& aNewTargetName) {
  const std::size_t at = IndexOrRaise(aOldTargetName);
  TnxFieldMapperDescriptor* descriptor = rmdFieldMapperDescriptors[at].descriptor;
  if (nxCompareTextAscii(aOldTargetName, aNewTargetName) != 0) {
    // The new name must be free before the entry moves.
    if (FieldMapperIndexOf(aNewTargetName) >= 0) throw platform::StringListError(platform::kDuplicateStringText);
    rmdFieldMapperDescriptors.erase(rmdFieldMapperDescriptors.begin() + static_cast<std::ptrdiff_t>(at));
    rmdFieldMapperDescriptors.insert(
        rmdFieldMapperDescriptors.begin() + static_cast<std::ptrdiff_t>(LowerBound(aNewTargetName)),
        Entry{aNewTargetName, descriptor});
  }
  descriptor->SetTargetName(aNewTargetName);
  return descriptor;
}

void TnxRecordMapperDescriptor::MapAllFieldsByName(TnxFieldsDescriptor* aOldFields, TnxFieldsDescriptor* aNewFields,
                                                   TnxDataLossAction aDataLossAction) {
  const auto oldNames = fieldsByName(aOldFields);
  const auto newNames = fieldsByName(aNewFields);
  mergeNames(
      oldNames, newNames,
      [&](std::size_t i, std::size_t j) { AddMapping(oldNames[i].first, newNames[j].first, nullptr, aDataLossAction); },
      [](std::size_t) {});
}

void TnxRecordMapperDescriptor::MapAllFieldsByPosition(TnxFieldsDescriptor* aOldFields,
                                                       TnxFieldsDescriptor* aNewFields,
                                                       TnxDataLossAction aDataLossAction) {
  const std::int32_t n = std::min(aOldFields->FieldCount(), aNewFields->FieldCount());
  for (std::int32_t i = 0; i < n; ++i)
    AddMapping(aOldFields->Fields(i)->fdName, aNewFields->Fields(i)->fdName, nullptr, aDataLossAction);
}

void TnxRecordMapperDescriptor::InternalWriteToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteListBegin();
  for (const Entry& entry : rmdFieldMapperDescriptors) entry.descriptor->WriteToWriter(aWriter, aClientVersion);
  aWriter.WriteListEnd();
  aWriter.WriteBoolean(rmdApplyDefaultForUnmapped);
}

void TnxRecordMapperDescriptor::InternalLoadFromReader(TnxReader& aReader) {
  if (aReader.ReadInteger() != 1) throw EnxRecordMapperDescriptorException(nxErrIncompatibleStream);
  Clear();
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) {
    TnxFieldMapperDescriptor* descriptor = TnxFieldMapperDescriptor::CreateFromReader(aReader);
    Insert(descriptor->TargetName(), descriptor);
  }
  aReader.ReadListEnd();
  rmdApplyDefaultForUnmapped = aReader.ReadBoolean();
}

// ===========================================================================
// TnxTableMapperDescriptor

void TnxTableMapperDescriptor::MapAllTablesAndFieldsByName(TnxBaseTableDescriptor* aOldTable,
                                                           TnxBaseTableDescriptor* aNewTable,
                                                           TnxDataLossAction aDataLossAction) {
  auto* records =
      static_cast<TnxRecordMapperDescriptor*>(AddRecordMapper(TnxRecordMapperDescriptor::staticClassInfo()));
  records->MapAllFieldsByName(aOldTable->FieldsDescriptor(), aNewTable->FieldsDescriptor(), aDataLossAction);

  auto nested = [](TnxBaseTableDescriptor* aTable) {
    TnxNamed<TnxNestedTableDescriptor*> result;
    if (TnxTablesDescriptor* tables = aTable->TablesDescriptor())
      for (std::int32_t i = 0; i < tables->TableCount(); ++i)
        result.emplace_back(tables->Tables(i)->Name(), tables->Tables(i));
    sortNamed(result);
    return result;
  };
  const auto oldTables = nested(aOldTable);
  const auto newTables = nested(aNewTable);
  mergeNames(
      oldTables, newTables,
      [&](std::size_t i, std::size_t j) {
        auto* child = static_cast<TnxTableMapperDescriptor*>(
            AddTable(oldTables[i].first, &TnxTableMapperDescriptor::staticClassInfo()));
        child->MapAllTablesAndFieldsByName(oldTables[i].second, newTables[j].second, aDataLossAction);
      },
      [](std::size_t) {});
}

void TnxTableMapperDescriptor::InternalWriteToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseTableMapperDescriptor::InternalWriteToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
}

void TnxTableMapperDescriptor::InternalLoadFromReader(TnxReader& aReader) {
  TnxBaseTableMapperDescriptor::InternalLoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxTableMapperDescriptorException(nxErrIncompatibleStream);
}

// ===========================================================================
// Record mapper engines

TnxClassList& TnxBaseRecordMapperEngine::GetList() { return gRecordMapperEngineClasses; }

TnxBaseRecordMapperEngine* TnxBaseRecordMapperEngine::CreateFor(TnxBaseRecordMapperDescriptor* aDescriptor,
                                                                TnxAbstractCursor* aSourceCursor,
                                                                TnxAbstractCursor* aTargetCursor) {
  const platform::ClassInfo& cls =
      findEngineClass(gRecordMapperEngineClasses, aDescriptor->classInfo(), u"RecordMapper", true);
  const auto* funcs = cls.table<TnxRecordMapperEngineClassFuncs>();
  if (!funcs)
    throw EnxBaseRecordMapperEngineException(nxErrUnsupportedSubEngine, u"Unknown %s engine: \"%s\"",
                                             {nxString(u"RecordMapper"), platform::fromUtf8(cls.name)});
  return funcs->create(aDescriptor, aSourceCursor, aTargetCursor);
}

TnxRecordMapperEngine::TnxRecordMapperEngine(TnxBaseRecordMapperDescriptor* aDescriptor,
                                             TnxAbstractCursor* aSourceCursor, TnxAbstractCursor* aTargetCursor)
    : rmeSourceCursor(aSourceCursor) {
  auto* descriptor = platform::objectAs<TnxRecordMapperDescriptor>(aDescriptor);
  if (!descriptor) throw platform::ConvertError("Invalid class typecast");

  TnxNamed<int> mapped;
  for (std::int32_t k = 0; k < descriptor->FieldMapperCount(); ++k) {
    TnxFieldMapperDescriptor* fieldMapper = descriptor->FieldMapper(k);
    rmeFieldMapper.emplace_back(TnxBaseFieldMapperEngine::CreateFor(fieldMapper, aSourceCursor, aTargetCursor));
    if (!fieldMapper->TargetName().empty()) mapped.emplace_back(fieldMapper->TargetName(), 0);
  }
  sortNamed(mapped);

  const auto targets = fieldsByName(cursorFields(aTargetCursor));
  const bool applyDefault = descriptor->ApplyDefaultForUnmapped();
  mergeNames(targets, mapped, [](std::size_t, std::size_t) {},
             [&](std::size_t i) {
               TnxFieldDescriptor* field = targets[i].second;
               if (!((applyDefault && field->DefaultValue()) || TnxBaseFieldMapperEngine::HasSpecialMapper(field->fdType)))
                 return;
               rmeFieldMapperDescriptors.emplace_back(
                   platform::create<TnxFieldMapperDescriptor>(nxString(), field->fdName, dlaFail));
               rmeFieldMapperDescriptors.back()->SetApplyDefault(applyDefault);
               rmeFieldMapper.emplace_back(TnxBaseFieldMapperEngine::CreateFor(rmeFieldMapperDescriptors.back().get(),
                                                                               aSourceCursor, aTargetCursor));
             });
}

void TnxRecordMapperEngine::BeforeFirstRecord() {
  for (auto& engine : rmeFieldMapper) engine->BeforeFirstRecord();
}

void TnxRecordMapperEngine::BeforeCommit() {
  for (auto& engine : rmeFieldMapper) engine->BeforeCommit();
}

TnxResult TnxRecordMapperEngine::MapRecord(const void* aSource, void* aTarget) {
  for (auto& engine : rmeFieldMapper) {
    const TnxResult result = engine->MapField(aSource, aTarget);
    if (result != 0) return AnnotateError(result, aSource);
  }
  return 0;
}

namespace {

// The first index that identifies a record: no duplicates (or duplicates
// only with NULLs over required fields), a composite key without filter and
// no key field that filters on NULL.
TnxIndexDescriptor* uniqueIndex(TnxBaseTableDescriptor* aTable) {
  TnxMainIndicesDescriptor* indices = aTable ? aTable->IndicesDescriptor() : nullptr;
  if (!indices) return nullptr;
  for (std::int32_t i = 0; i < indices->IndexCount(); ++i) {
    TnxIndexDescriptor* index = indices->Indices(i);
    if (index->Dups() == idAll) continue;
    auto* key = platform::objectAs<TnxCompKeyDescriptor>(index->KeyDescriptor());
    if (!key || key->Filter()) continue;
    bool usable = true, allRequired = true;
    for (std::int32_t f = 0; f < key->KeyFieldCount(); ++f) {
      TnxKeyFieldDescriptor* keyField = key->KeyFields(f);
      if (keyField->NullBehaviour() == nbFilterNull || keyField->NullBehaviour() == nbFilterNonNull) usable = false;
      TnxFieldDescriptor* field = keyField->Field();
      if (!field || !field->fdRequired) allRequired = false;
    }
    if (usable && (index->Dups() == idNone || allRequired)) return index;
  }
  return nullptr;
}

}  // namespace

TnxResult TnxRecordMapperEngine::AnnotateError(TnxResult aErrorCode, const void* aSource) {
  nxString message = pendingOrPlaceholder(true, aErrorCode);
  message += kCrLf;
  message += kCrLf + u"Source Table: " + nxEscapeMarkers(rmeSourceCursor->FullName());
  try {
    if (TnxIndexDescriptor* index = uniqueIndex(rmeSourceCursor->GetTableDescriptor())) {
      TnxOwned<TnxBaseKeyEngine> keyEngine(TnxBaseKeyEngine::CreateFor(index->KeyDescriptor()));
      PnxKeyBuffer key = keyEngine->AllocKey();
      try {
        if (keyEngine->BuildKey(aSource, key, 0, false) == 0)
          message += kCrLf + u"Source Key (Index: " + nxEscapeMarkers(index->Name()) + u"): " +
                     nxEscapeMarkers(keyEngine->KeyAsString(key));
      } catch (...) {
        keyEngine->FreeKey(key);
        throw;
      }
      keyEngine->FreeKey(key);
    }
  } catch (...) {
    // The key line is a courtesy: the message keeps what it has.
  }
  EnxBaseException::SetLastConvertedException(aErrorCode, message);
  return aErrorCode;
}

// ===========================================================================
// Start-up

namespace {

TnxUseCount gRecordMapperUseCount{0};

constexpr TnxModuleDependency kRecordMapperDeps[] = {
    {nxsdFieldMapperInitialize, nxsdFieldMapperFinalize},
};

void unregisterAll() {
  nxsrFieldMapperUnregisterBlobs();
  TnxBaseFieldMapperEngine::UnregisterSpecialMapper(TnxFieldMapperEngineAutoInc::staticClassInfo(), nxtAutoInc);
  nxUnregisterClassIn(TnxBaseRecordMapperEngine::GetList(), TnxRecordMapperEngine::staticClassInfo());
  nxUnregisterClassIn(TnxBaseTableMapperDescriptor::GetList(), TnxTableMapperDescriptor::staticClassInfo());
  nxUnregisterClassIn(TnxBaseRecordMapperDescriptor::GetList(), TnxRecordMapperDescriptor::staticClassInfo());
  nxUnregisterClassIn(TnxBaseFieldMapperEngine::GetList(), TnxFieldMapperEngine::staticClassInfo());
  nxFreeClassList(gRecordMapperEngineClasses);
  nxFreeClassList(gFieldMapperEngineClasses);
}

}  // namespace

void nxsrFieldMapperInitialize() {
  nxUseCountStart(gRecordMapperUseCount, kRecordMapperDeps, [] {
    try {
      nxRegisterClassIn(TnxBaseFieldMapperEngine::GetList(), TnxFieldMapperEngine::staticClassInfo());
      nxRegisterClassIn(TnxBaseRecordMapperDescriptor::GetList(), TnxRecordMapperDescriptor::staticClassInfo());
      nxRegisterClassIn(TnxBaseTableMapperDescriptor::GetList(), TnxTableMapperDescriptor::staticClassInfo());
      nxRegisterClassIn(TnxBaseRecordMapperEngine::GetList(), TnxRecordMapperEngine::staticClassInfo());
      TnxBaseFieldMapperEngine::RegisterSpecialMapper(TnxFieldMapperEngineAutoInc::staticClassInfo(), nxtAutoInc);
      nxsrFieldMapperRegisterBlobs();
    } catch (...) {
      unregisterAll();
      throw;
    }
  });
}

void nxsrFieldMapperFinalize() { nxUseCountFinish(gRecordMapperUseCount, kRecordMapperDeps, [] { unregisterAll(); }); }
