#include "nxsdValidationEngine.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "nxllBde.h"
#include "nxllLockedFuncs.h"
#include "nxsdKeyFieldEngineBase.h"
#include "nxsdNativeVariantConverter.h"
#include "plString.h"

NX_IMPLEMENT_EXCEPTION(EnxBaseValidationsEngineException, EnxBaseException)
NX_IMPLEMENT_EXCEPTION(EnxFieldsValidationsEngineException, EnxBaseValidationsEngineException)
NX_IMPLEMENT_EXCEPTION(EnxFieldValidationsEngineException, EnxBaseValidationsEngineException)
NX_IMPLEMENT_EXCEPTION(EnxBaseFieldValidationEngineException, EnxBaseException)
NX_IMPLEMENT_EXCEPTION(EnxMinMaxValidationEngineException, EnxBaseFieldValidationEngineException)
NX_IMPLEMENT_EXCEPTION(EnxNoChangeValidationEngineException, EnxBaseFieldValidationEngineException)
NX_IMPLEMENT_EXCEPTION(EnxSqlCheckValidationEngineException, EnxBaseFieldValidationEngineException)
NX_IMPLEMENT_EXCEPTION(EnxNotNullValidationEngineException, EnxBaseFieldValidationEngineException)
NX_IMPLEMENT_EXCEPTION(EnxBaseSqlCheckStatementException, EnxBaseException)

PL_CLASS_INFO_IMPL(TnxBaseValidationsEngine, TnxBaseRegisterableEngine, "TnxBaseValidationsEngine", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxFieldsValidationsEngine, TnxBaseValidationsEngine, "TnxFieldsValidationsEngine", nullptr,
                         platform::bindClassTable(nxFieldsValidationsEngineFuncs<TnxFieldsValidationsEngine>))
PL_CLASS_INFO_IMPL_TABLE(TnxFieldValidationsEngine, TnxBaseValidationsEngine, "TnxFieldValidationsEngine", nullptr,
                         platform::bindClassTable(nxFieldValidationsEngineFuncs<TnxFieldValidationsEngine>))
PL_CLASS_INFO_IMPL(TnxBaseValidationEngine, TnxBaseRegisterableEngine, "TnxBaseValidationEngine", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseFieldValidationEngine, TnxBaseValidationEngine, "TnxBaseFieldValidationEngine", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxMinMaxValidationEngine, TnxBaseFieldValidationEngine, "TnxMinMaxValidationEngine", nullptr,
                         platform::bindClassTable(nxValidationEngineFuncs<TnxMinMaxValidationEngine>))
PL_CLASS_INFO_IMPL_TABLE(TnxNoChangeValidationEngine, TnxBaseFieldValidationEngine, "TnxNoChangeValidationEngine",
                         nullptr, platform::bindClassTable(nxValidationEngineFuncs<TnxNoChangeValidationEngine>))
PL_CLASS_INFO_IMPL_TABLE(TnxNotNullValidationEngine, TnxBaseFieldValidationEngine, "TnxNotNullValidationEngine",
                         nullptr, platform::bindClassTable(nxValidationEngineFuncs<TnxNotNullValidationEngine>))
PL_CLASS_INFO_IMPL(TnxBaseFieldsValidationEngine, TnxBaseFieldValidationEngine, "TnxBaseFieldsValidationEngine",
                   nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxSqlCheckValidationEngine, TnxBaseFieldsValidationEngine, "TnxSqlCheckValidationEngine",
                         nullptr, platform::bindClassTable(nxValidationEngineFuncs<TnxSqlCheckValidationEngine>))
PL_CLASS_INFO_IMPL(TnxValidationsHandler, TnxObject, "TnxValidationsHandler", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseSqlCheckStatement, TnxObject, "TnxBaseSqlCheckStatement", nullptr)

std::atomic<const platform::ClassInfo*> SqlCheckStatementClass{nullptr};

bool nxInstallSqlCheckStatementClass(const platform::ClassInfo& aClass) {
  const platform::ClassInfo* expected = nullptr;
  return SqlCheckStatementClass.compare_exchange_strong(expected, &aClass, std::memory_order_acq_rel);
}

bool nxResetSqlCheckStatementClass(const platform::ClassInfo& aClass) {
  const platform::ClassInfo* expected = &aClass;
  return SqlCheckStatementClass.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
}

namespace {

TnxClassList gFieldsValidationsEngineClasses = nullptr;
TnxClassList gFieldValidationsEngineClasses = nullptr;
TnxClassList gValidationEngineClasses = nullptr;

const nxString kRequiredName = u"$required";

// The engine class for a descriptor class in aList; E with 15503 when none.
template <class E>
const platform::ClassInfo& findEngineClass(const TnxClassList& aList, const platform::ClassInfo& aDescriptorClass,
                                           const char16_t* aFamilyWord) {
  const std::string name = nxDescriptorToEngineName(aDescriptorClass.name);
  if (const platform::ClassInfo* cls = nxFindClassIn(aList, name)) return *cls;
  throw E(nxErrUnsupportedSubEngine, u"Unknown %s engine: \"%s\"", {nxString(aFamilyWord), platform::fromUtf8(name)});
}

template <class Funcs, class E>
const Funcs& funcsOf(const platform::ClassInfo& aClass, const char16_t* aFamilyWord) {
  if (const Funcs* funcs = aClass.table<Funcs>()) return *funcs;
  throw E(nxErrUnsupportedSubEngine, u"Unknown %s engine: \"%s\"",
          {nxString(aFamilyWord), platform::fromUtf8(std::string(aClass.name))});
}

// The field's bytes in aRecord, nil for a nil record or a NULL field.
const void* fieldIn(TnxFieldsDescriptor* aFields, std::int32_t aField, const void* aRecord) {
  return aRecord ? aFields->GetRecordFieldForFilter(aField, aRecord) : nullptr;
}

template <class D>
D* descriptorAs(TnxBaseFieldValidationDescriptor* aDescriptor) {
  D* d = platform::objectAs<D>(aDescriptor);
  if (!d) throw platform::ConvertError("Invalid class typecast");
  return d;
}

TnxOwned<TnxCompositeKeyFieldEngine> keyFieldEngineOf(TnxKeyFieldDescriptor* aKeyField) {
  if (!aKeyField) throw EnxBaseFieldValidationEngineException(nxErrObjectNotFound);
  return TnxOwned<TnxCompositeKeyFieldEngine>(TnxCompositeKeyFieldEngine::CreateEngine(aKeyField));
}

}  // namespace

// ---------------------------------------------------------------------------
// Containers

void TnxBaseValidationsEngine::AddEngine(TnxBaseValidationEngine* aEngine) {
  TnxOwned<TnxBaseValidationEngine> engine(aEngine);
  if (engine) veEngines.push_back(std::move(engine));
}

TnxFieldsValidationsEngine::TnxFieldsValidationsEngine(TnxFieldsDescriptor* aFieldsDescriptor,
                                                       TnxAbstractCursor* aCursor, TnxApplyAt aApplyAt,
                                                       TnxFieldsValidationsDescriptor* aValidationsDescriptor)
    : TnxBaseValidationsEngine(aFieldsDescriptor), veFieldsValidationsDescriptor(aValidationsDescriptor) {
  for (std::int32_t i = 0; i < aValidationsDescriptor->ValidationCount(); ++i) {
    TnxOwned<TnxBaseValidationEngine> engine(
        TnxBaseValidationEngine::CreateFor(this, aValidationsDescriptor->Validations(i), aApplyAt, aCursor));
    if (!engine) continue;
    // The table-level list admits only validations that check whole records.
    nxAssert(platform::objectAs<TnxBaseFieldsValidationEngine>(engine.get()) != nullptr,
             "Table-level validation engine without ValidateRecord");
    veEngines.push_back(std::move(engine));
  }
}

TnxClassList& TnxFieldsValidationsEngine::GetList() { return gFieldsValidationsEngineClasses; }

TnxFieldsValidationsEngine* TnxFieldsValidationsEngine::CreateFor(TnxFieldsDescriptor* aFieldsDescriptor,
                                                                  TnxApplyAt aApplyAt, TnxAbstractCursor* aCursor) {
  TnxFieldsValidationsDescriptor* validations = aFieldsDescriptor->Validations();
  if (!validations) return nullptr;
  const platform::ClassInfo* cls = aFieldsDescriptor->CachedEngineClass();
  if (!cls) {
    cls = &findEngineClass<EnxFieldsValidationsEngineException>(GetList(), validations->classInfo(), u"Validations");
    aFieldsDescriptor->SetCachedEngineClass(cls);
  }
  const auto& funcs = funcsOf<TnxFieldsValidationsEngineClassFuncs, EnxFieldsValidationsEngineException>(
      *cls, u"Validations");
  TnxOwned<TnxFieldsValidationsEngine> engine(funcs.create(aFieldsDescriptor, aCursor, aApplyAt, validations));
  if (engine->EngineCount() == 0) return nullptr;
  return engine.release();
}

void TnxFieldsValidationsEngine::ValidateRecord(const void* aOldRecord, const void* aNewRecord) {
  for (const auto& engine : veEngines)
    static_cast<TnxBaseFieldsValidationEngine*>(engine.get())->ValidateRecord(aOldRecord, aNewRecord);
}

TnxFieldValidationsEngine::TnxFieldValidationsEngine(TnxFieldsDescriptor* aFieldsDescriptor, TnxAbstractCursor* aCursor,
                                                     TnxApplyAt aApplyAt,
                                                     TnxFieldValidationsDescriptor* aValidationsDescriptor,
                                                     TnxFieldDescriptor* aFieldDescriptor)
    : TnxBaseValidationsEngine(aFieldsDescriptor),
      veFieldDescriptor(aFieldDescriptor),
      veFieldIndex(aFieldDescriptor->fdNumber),
      veFieldValidationsDescriptor(aValidationsDescriptor) {
  // The client cannot tell a NULL that the server will fill with a default.
  if (aFieldDescriptor->fdRequired && aApplyAt == aaServer)
    AddEngine(platform::create<TnxNotNullValidationEngine>(this, aCursor, nullptr));
  if (aValidationsDescriptor)
    for (std::int32_t i = 0; i < aValidationsDescriptor->ValidationCount(); ++i)
      AddEngine(TnxBaseValidationEngine::CreateFor(this, aValidationsDescriptor->Validations(i), aApplyAt, aCursor));
}

TnxClassList& TnxFieldValidationsEngine::GetList() { return gFieldValidationsEngineClasses; }

TnxFieldValidationsEngine* TnxFieldValidationsEngine::CreateFor(TnxFieldsDescriptor* aFieldsDescriptor,
                                                                std::int32_t aFieldIndex, TnxApplyAt aApplyAt,
                                                                TnxAbstractCursor* aCursor) {
  TnxFieldDescriptor* field = aFieldsDescriptor->Fields(aFieldIndex);
  TnxFieldValidationsDescriptor* validations = field->Validations();
  TnxOwned<TnxFieldValidationsEngine> engine;
  if (validations) {
    const platform::ClassInfo& cls = findEngineClass<EnxFieldValidationsEngineException>(
        GetList(), validations->classInfo(), u"Validations");
    const auto& funcs =
        funcsOf<TnxFieldValidationsEngineClassFuncs, EnxFieldValidationsEngineException>(cls, u"Validations");
    engine.reset(funcs.create(aFieldsDescriptor, aCursor, aApplyAt, validations, field));
  } else if (field->fdRequired) {
    engine.reset(platform::create<TnxFieldValidationsEngine>(aFieldsDescriptor, aCursor, aApplyAt, nullptr, field));
  } else {
    return nullptr;
  }
  if (engine->EngineCount() == 0) return nullptr;
  return engine.release();
}

void TnxFieldValidationsEngine::ValidateRecord(const void* aOldRecord, const void* aNewRecord) {
  const void* oldField = fieldIn(bveFieldsDescriptor, veFieldIndex, aOldRecord);
  const void* newField = fieldIn(bveFieldsDescriptor, veFieldIndex, aNewRecord);
  for (const auto& engine : veEngines)
    static_cast<TnxBaseFieldValidationEngine*>(engine.get())->ValidateField(oldField, aOldRecord, newField, aNewRecord);
}

// ---------------------------------------------------------------------------
// Validations

TnxBaseValidationEngine::TnxBaseValidationEngine(TnxBaseValidationsEngine* aParent, TnxAbstractCursor* aCursor,
                                                 TnxBaseFieldValidationDescriptor* aDescriptor)
    : bveParent(aParent), bveDescriptor(aDescriptor), bveCursor(aCursor) {
  if (aDescriptor) bveName = aDescriptor->Name();
}

TnxClassList& TnxBaseValidationEngine::GetList() { return gValidationEngineClasses; }

TnxBaseValidationEngine* TnxBaseValidationEngine::CreateFor(TnxBaseValidationsEngine* aParent,
                                                            TnxBaseFieldValidationDescriptor* aDescriptor,
                                                            TnxApplyAt aApplyAt, TnxAbstractCursor* aCursor) {
  if (!aDescriptor || !(aDescriptor->ApplyAt() & nxApplyAtBit(aApplyAt))) return nullptr;
  const platform::ClassInfo& cls =
      findEngineClass<EnxBaseFieldValidationEngineException>(GetList(), aDescriptor->classInfo(), u"Validation");
  return funcsOf<TnxValidationEngineClassFuncs, EnxBaseFieldValidationEngineException>(cls, u"Validation")
      .create(aParent, aCursor, aDescriptor);
}

TnxBaseFieldValidationEngine::TnxBaseFieldValidationEngine(TnxBaseValidationsEngine* aParent,
                                                           TnxAbstractCursor* aCursor,
                                                           TnxBaseFieldValidationDescriptor* aDescriptor)
    : TnxBaseValidationEngine(aParent, aCursor, aDescriptor) {
  if (auto* field = platform::objectAs<TnxFieldValidationsEngine>(aParent)) bfvFieldName = field->FieldDescriptor()->fdName;
}

void TnxBaseFieldValidationEngine::GetErrorText(nxString& aText) { aText = nxGetOrgPlaceholder(); }

void TnxBaseFieldValidationEngine::Raise(TnxResult aErrorCode, const nxString& aText) {
  ExceptionClass().raise(aErrorCode, aText);
  throw EnxBaseFieldValidationEngineException(aErrorCode, aText);  // raise never returns
}

void TnxBaseFieldValidationEngine::RaiseError(TnxResult aErrorCode) {
  nxString text;
  GetErrorText(text);
  Raise(aErrorCode, u"Field validation \"" + bveName + u"\" for field \"" + bfvFieldName + u"\" failed: " + text);
}

void TnxBaseFieldsValidationEngine::RaiseError(TnxResult aErrorCode) {
  if (!bfvFieldName.empty()) TnxBaseFieldValidationEngine::RaiseError(aErrorCode);
  nxString text;
  GetErrorText(text);
  Raise(aErrorCode, u"Fields validation \"" + bveName + u"\" failed: " + text);
}

// --- minimum and maximum

TnxMinMaxValidationEngine::TnxMinMaxValidationEngine(TnxBaseValidationsEngine* aParent, TnxAbstractCursor* aCursor,
                                                     TnxBaseFieldValidationDescriptor* aDescriptor)
    : TnxBaseFieldValidationEngine(aParent, aCursor, aDescriptor),
      mmveMinMaxDescriptor(descriptorAs<TnxMinMaxValidationDescriptor>(aDescriptor)),
      mmveKeyFieldEngine(keyFieldEngineOf(mmveMinMaxDescriptor->KeyField())) {
  // A bound shorter than the field (the field grew) reads as zero-padded,
  // as the descriptor shows it; never read past the stored bytes.
  const auto length = static_cast<std::size_t>(std::max(mmveKeyFieldEngine->ckfeFieldLength, 0));
  const auto padded = [length](const std::vector<std::uint8_t>& aBound) {
    std::vector<std::uint8_t> buffer(std::max(length, aBound.size()), 0);
    std::copy(aBound.begin(), aBound.end(), buffer.begin());
    return buffer;
  };
  if (!mmveMinMaxDescriptor->Min().empty()) {
    mmveMinBuffer = padded(mmveMinMaxDescriptor->Min());
    mmveMin = mmveMinBuffer.data();
  }
  if (!mmveMinMaxDescriptor->Max().empty()) {
    mmveMaxBuffer = padded(mmveMinMaxDescriptor->Max());
    mmveMax = mmveMaxBuffer.data();
  }
}

TnxMinMaxValidationEngine::~TnxMinMaxValidationEngine() = default;

const TnxExceptionClassRef& TnxMinMaxValidationEngine::ExceptionClass() const {
  return nxExceptionClassRef<EnxMinMaxValidationEngineException>;
}

void TnxMinMaxValidationEngine::ValidateField(const void* /*aOldField*/, const void* /*aOldRecord*/,
                                              const void* aNewField, const void* /*aNewRecord*/) {
  if (!aNewField) return;
  if (mmveMin && mmveKeyFieldEngine->CompareFieldDirect(aNewField, mmveMin) < 0) RaiseError(nxErrMinValidity);
  if (mmveMax && mmveKeyFieldEngine->CompareFieldDirect(aNewField, mmveMax) > 0) RaiseError(nxErrMaxValidity);
}

// --- no change

TnxNoChangeValidationEngine::TnxNoChangeValidationEngine(TnxBaseValidationsEngine* aParent, TnxAbstractCursor* aCursor,
                                                         TnxBaseFieldValidationDescriptor* aDescriptor)
    : TnxBaseFieldValidationEngine(aParent, aCursor, aDescriptor),
      ncveNoChangeDescriptor(descriptorAs<TnxNoChangeValidationDescriptor>(aDescriptor)),
      ncveKeyFieldEngine(keyFieldEngineOf(ncveNoChangeDescriptor->KeyField())) {}

TnxNoChangeValidationEngine::~TnxNoChangeValidationEngine() = default;

const TnxExceptionClassRef& TnxNoChangeValidationEngine::ExceptionClass() const {
  return nxExceptionClassRef<EnxNoChangeValidationEngineException>;
}

void TnxNoChangeValidationEngine::ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField,
                                                const void* aNewRecord) {
  if (!aOldRecord || !aNewRecord || !aOldField) return;
  if (!aNewField || ncveKeyFieldEngine->CompareFieldDirect(aOldField, aNewField) != 0) RaiseError(nxErrReadOnlyField);
}

// --- required

TnxNotNullValidationEngine::TnxNotNullValidationEngine(TnxBaseValidationsEngine* aParent, TnxAbstractCursor* aCursor,
                                                       TnxBaseFieldValidationDescriptor* aDescriptor)
    : TnxBaseFieldValidationEngine(aParent, aCursor, aDescriptor) {
  bveName = kRequiredName;
}

const TnxExceptionClassRef& TnxNotNullValidationEngine::ExceptionClass() const {
  return nxExceptionClassRef<EnxNotNullValidationEngineException>;
}

void TnxNotNullValidationEngine::ValidateField(const void* /*aOldField*/, const void* /*aOldRecord*/,
                                               const void* aNewField, const void* /*aNewRecord*/) {
  if (!aNewField) RaiseError(nxErrRequiredField);
}

// --- SQL check

TnxSqlCheckValidationEngine::TnxSqlCheckValidationEngine(TnxBaseValidationsEngine* aParent, TnxAbstractCursor* aCursor,
                                                         TnxBaseFieldValidationDescriptor* aDescriptor)
    : TnxBaseFieldsValidationEngine(aParent, aCursor, aDescriptor),
      scveSqlCheckDescriptor(descriptorAs<TnxSqlCheckValidationDescriptor>(aDescriptor)) {
  const platform::ClassInfo* cls = SqlCheckStatementClass.load(std::memory_order_acquire);
  if (!cls) return;
  const auto* funcs = cls->table<TnxSqlCheckStatementClassFuncs>();
  if (!funcs) return;
  auto* field = platform::objectAs<TnxFieldValidationsEngine>(aParent);
  scveSqlCheckStatement.reset(funcs->create(aParent->FieldsDescriptor(), field ? field->FieldDescriptor() : nullptr,
                                            aCursor, scveSqlCheckDescriptor->Constraint()));
}

TnxSqlCheckValidationEngine::~TnxSqlCheckValidationEngine() = default;

const TnxExceptionClassRef& TnxSqlCheckValidationEngine::ExceptionClass() const {
  return nxExceptionClassRef<EnxSqlCheckValidationEngineException>;
}

void TnxSqlCheckValidationEngine::GetErrorText(nxString& aText) {
  if (!scveSqlCheckDescriptor->ErrorMessage().empty())
    aText = scveSqlCheckDescriptor->ErrorMessage();
  else
    TnxBaseFieldsValidationEngine::GetErrorText(aText);
}

void TnxSqlCheckValidationEngine::ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField,
                                                const void* aNewRecord) {
  if (!scveSqlCheckStatement)
    throw EnxSqlCheckValidationEngineException(nxErrNotSupported,
                                               u"Evaluation of CHECK constraint requires an SQL engine");
  if (!scveSqlCheckStatement->ValidateField(aOldField, aOldRecord, aNewField, aNewRecord)) RaiseError(nxErrExprValidity);
}

void TnxSqlCheckValidationEngine::ValidateRecord(const void* aOldRecord, const void* aNewRecord) {
  ValidateField(nullptr, aOldRecord, nullptr, aNewRecord);
}

// ---------------------------------------------------------------------------
// TnxValidationsHandler

TnxValidationsHandler::TnxValidationsHandler(TnxFieldsDescriptor* aFieldsDescriptor)
    : vhFieldsDescriptor(aFieldsDescriptor),
      vhEnginesByIndex(static_cast<std::size_t>(aFieldsDescriptor->FieldCount()), nullptr) {}

TnxValidationsHandler* TnxValidationsHandler::CreateFor(TnxFieldsDescriptor* aFieldsDescriptor, TnxApplyAt aApplyAt,
                                                        TnxAbstractCursor* aCursor) {
  auto handler = nxCreateOwned<TnxValidationsHandler>(aFieldsDescriptor);
  if (TnxFieldsValidationsEngine* fields = TnxFieldsValidationsEngine::CreateFor(aFieldsDescriptor, aApplyAt, aCursor)) {
    handler->vhEngines.emplace_back(fields);
    handler->vhFieldsEngine = fields;
  }
  for (std::int32_t i = 0; i < aFieldsDescriptor->FieldCount(); ++i) {
    if (TnxFieldValidationsEngine* field = TnxFieldValidationsEngine::CreateFor(aFieldsDescriptor, i, aApplyAt, aCursor)) {
      handler->vhEngines.emplace_back(field);
      handler->vhEnginesByIndex[static_cast<std::size_t>(i)] = field;
    }
  }
  if (handler->vhEngines.empty()) return nullptr;
  return handler.release();
}

void TnxValidationsHandler::ValidateRecord(const void* aOldRecord, const void* aNewRecord) {
  for (const auto& engine : vhEngines) engine->ValidateRecord(aOldRecord, aNewRecord);
}

void TnxValidationsHandler::ValidateField(const void* aOldRecord, const void* aNewRecord, std::int32_t aField) {
  TnxBaseValidationsEngine* engine = vhFieldsEngine;
  if (aField != -1) engine = FieldEngine(aField);
  if (engine) engine->ValidateRecord(aOldRecord, aNewRecord);
}

TnxFieldValidationsEngine* TnxValidationsHandler::FieldEngine(std::int32_t aField) const {
  if (aField < 0 || aField >= static_cast<std::int32_t>(vhEnginesByIndex.size())) return nullptr;
  return vhEnginesByIndex[static_cast<std::size_t>(aField)];
}

// ---------------------------------------------------------------------------
// TnxBaseSqlCheckStatement

TnxBaseSqlCheckStatement::TnxBaseSqlCheckStatement(TnxFieldsDescriptor* aFieldsDescriptor,
                                                   TnxFieldDescriptor* aFieldDescriptor, TnxAbstractCursor* aCursor,
                                                   const nxString& /*aSqlText*/)
    : bscsFieldsDescriptor(aFieldsDescriptor), bscsFieldDescriptor(aFieldDescriptor), bscsCursor(aCursor) {
  if (!aFieldDescriptor) return;
  bscsFieldIndex = aFieldDescriptor->fdNumber;
  bscsFieldSize = aFieldDescriptor->fdLength;
  bscsFieldType = aFieldDescriptor->fdType;
  bscsFieldCodepage = aFieldDescriptor->UsedStorageCodePage();
  bscsFieldUnits = aFieldDescriptor->fdUnits;
  bscsFieldDecPl = aFieldDescriptor->fdDecPl;
}

bool TnxBaseSqlCheckStatement::ValidateField(const void* aOldField, const void* aOldRecord, const void* aNewField,
                                             const void* aNewRecord) {
  bscsOldField = aOldField;
  bscsOldRecord = aOldRecord;
  bscsNewField = aNewField;
  bscsNewRecord = aNewRecord;
  bool result;
  try {
    result = EvaluateCheck();
  } catch (...) {
    result = false;
  }
  bscsOldField = bscsOldRecord = bscsNewField = bscsNewRecord = nullptr;
  return result;
}

std::int32_t TnxBaseSqlCheckStatement::ResolveCheckColumn(const nxString& aName, TnxFieldType& aType,
                                                          TnxLocaleDescriptor*& aLocaleDescriptor,
                                                          std::int32_t& aDecPl, std::int32_t& aUnits) {
  // Field lookups ignore case anyway; only the markers need comparing here.
  nxString name = aName;
  TnxFieldDescriptor* field = nullptr;
  std::int32_t handle;
  const bool isNew = platform::sameTextAscii(name, u"NEW");
  if (bscsFieldDescriptor && (isNew || platform::sameTextAscii(name, u"OLD"))) {
    field = bscsFieldDescriptor;
    handle = isNew ? nxCheckColumnField : nxCheckColumnField + nxCheckColumnOld;
  } else {
    std::int32_t old = 0;
    if (name.size() >= 4 && platform::sameTextAscii(platform::UnicodeStringView(name).substr(0, 4), u"OLD$")) {
      name.erase(0, 4);
      old = nxCheckColumnOld;
    }
    const std::int32_t index = bscsFieldsDescriptor->GetFieldFromName(name);
    if (index < 0) return index;
    field = bscsFieldsDescriptor->Fields(index);
    handle = index + old;
  }
  if (nxFieldTypeIn(field->fdType, nxBlobFieldTypes) && !BlobsSupported()) return -1;
  aType = field->fdType;
  aLocaleDescriptor = field->UsedLocaleDescriptor();
  aDecPl = field->fdDecPl;
  aUnits = field->fdUnits;
  return handle;
}

void TnxBaseSqlCheckStatement::GetCheckColumnValue(std::int32_t aHandle, platform::Variant& aValue) {
  aValue = platform::Variant::null();
  if (aHandle < 0) return;
  const bool old = aHandle >= nxCheckColumnOld;
  const std::int32_t column = old ? aHandle - nxCheckColumnOld : aHandle;
  TnxFieldDescriptor* field = nullptr;
  const void* value = nullptr;
  if (column == nxCheckColumnField) {
    field = bscsFieldDescriptor;
    value = old ? bscsOldField : bscsNewField;
  } else if (column < bscsFieldsDescriptor->FieldCount()) {
    field = bscsFieldsDescriptor->Fields(column);
    value = fieldIn(bscsFieldsDescriptor, column, old ? bscsOldRecord : bscsNewRecord);
  }
  if (!field || !value) return;
  if (nxFieldTypeIn(field->fdType, nxBlobFieldTypes)) {
    TnxBlobNr blobNr = 0;
    std::memcpy(&blobNr, value, sizeof blobNr);
    GetBlobValue(field, old, aValue, blobNr);
    return;
  }
  nxFieldBufferToVariant(field->fdType, field->UsedStorageCodePage(), field->fdUnits, field->fdDecPl, value,
                         static_cast<std::size_t>(field->fdLength), aValue);
}

void TnxBaseSqlCheckStatement::GetBlobValue(TnxFieldDescriptor* /*aFieldDescriptor*/, bool /*aOld*/,
                                            platform::Variant& aValue, TnxBlobNr /*aBlobNr*/) {
  aValue = platform::Variant::null();
}

// ---------------------------------------------------------------------------
// Start-up

namespace {

TnxUseCount gValidationEngineUseCount{0};

void unregisterValidationEngineClasses() {
  TnxEngineClass<TnxSqlCheckValidationEngine>::Unregister();
  TnxEngineClass<TnxNotNullValidationEngine>::Unregister();
  TnxEngineClass<TnxNoChangeValidationEngine>::Unregister();
  TnxEngineClass<TnxMinMaxValidationEngine>::Unregister();
  TnxEngineClass<TnxFieldValidationsEngine>::Unregister();
  TnxEngineClass<TnxFieldsValidationsEngine>::Unregister();
}

}  // namespace

void nxsdValidationEngineInitialize() {
  if (!nxUseCountEnter(gValidationEngineUseCount)) return;
  try {
    TnxEngineClass<TnxFieldsValidationsEngine>::Register();
    TnxEngineClass<TnxFieldValidationsEngine>::Register();
    TnxEngineClass<TnxMinMaxValidationEngine>::Register();
    TnxEngineClass<TnxNoChangeValidationEngine>::Register();
    TnxEngineClass<TnxNotNullValidationEngine>::Register();
    TnxEngineClass<TnxSqlCheckValidationEngine>::Register();
  } catch (...) {
    unregisterValidationEngineClasses();
    nxUseCountLeave(gValidationEngineUseCount);
    throw;
  }
}

void nxsdValidationEngineFinalize() {
  if (nxUseCountLeave(gValidationEngineUseCount)) unregisterValidationEngineClasses();
}
