#include "nxsdDefaultValueEngine.h"

#include <algorithm>
#include <cstring>

#include "nxllBde.h"
#include "nxllLockedFuncs.h"
#include "nxsdNativeVariantConverter.h"
#include "nxsdServerEngine.h"
#include "plDateTime.h"
#include "plGuid.h"
#include "plString.h"
#include "plVariant.h"

NX_IMPLEMENT_EXCEPTION(EnxBaseDefaultValueEngineException, EnxBaseException)

PL_CLASS_INFO_IMPL(TnxBaseDefaultValueEngine, TnxBaseRegisterableEngine, "TnxBaseDefaultValueEngine", nullptr)
PL_CLASS_INFO_IMPL(TnxCursorDefaultValueEngine, TnxBaseDefaultValueEngine, "TnxCursorDefaultValueEngine", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxConstDefaultValueEngine, TnxBaseDefaultValueEngine, "TnxConstDefaultValueEngine",
                         nullptr, platform::bindClassTable(nxDefaultValueEngineFuncs<TnxConstDefaultValueEngine>))
PL_CLASS_INFO_IMPL_TABLE(TnxCurrentDateTimeDefaultValueEngine, TnxBaseDefaultValueEngine,
                         "TnxCurrentDateTimeDefaultValueEngine", nullptr,
                         platform::bindClassTable(nxDefaultValueEngineFuncs<TnxCurrentDateTimeDefaultValueEngine>))
PL_CLASS_INFO_IMPL_TABLE(TnxCurrentUserDefaultValueEngine, TnxBaseDefaultValueEngine,
                         "TnxCurrentUserDefaultValueEngine", nullptr,
                         platform::bindClassTable(nxDefaultValueEngineFuncs<TnxCurrentUserDefaultValueEngine>))
PL_CLASS_INFO_IMPL_TABLE(TnxAutoGuidDefaultValueEngine, TnxBaseDefaultValueEngine, "TnxAutoGuidDefaultValueEngine",
                         nullptr, platform::bindClassTable(nxDefaultValueEngineFuncs<TnxAutoGuidDefaultValueEngine>))
PL_CLASS_INFO_IMPL_TABLE(TnxEmptyDefaultValueEngine, TnxBaseDefaultValueEngine, "TnxEmptyDefaultValueEngine",
                         nullptr, platform::bindClassTable(nxDefaultValueEngineFuncs<TnxEmptyDefaultValueEngine>))
PL_CLASS_INFO_IMPL_TABLE(TnxNextLSNDefaultValueEngine, TnxCursorDefaultValueEngine, "TnxNextLSNDefaultValueEngine",
                         nullptr, platform::bindClassTable(nxDefaultValueEngineFuncs<TnxNextLSNDefaultValueEngine>))
PL_CLASS_INFO_IMPL(TnxDefaultValueHandler, TnxObject, "TnxDefaultValueHandler", nullptr)

namespace {

TnxClassList gEngineClasses = nullptr;

[[noreturn]] void unknownEngine(const std::string& aName) {
  throw EnxBaseDefaultValueEngineException(nxErrUnsupportedSubEngine, u"Unknown %s engine: \"%s\"",
                                           {nxString(u"DefaultValue"), platform::fromUtf8(aName)});
}

// The user name of the session the cursor works in; empty when the cursor
// belongs to no database or session.
nxString cursorUserName(TnxAbstractCursor* aCursor) {
  TnxAbstractDatabase* database = aCursor->Database();
  TnxAbstractSession* session = database ? database->Session() : nullptr;
  return session ? session->UserName() : nxString();
}

}  // namespace

// ---------------------------------------------------------------------------
// TnxBaseDefaultValueEngine

TnxBaseDefaultValueEngine::TnxBaseDefaultValueEngine(TnxBaseDefaultValueDescriptor* aDescriptor,
                                                     TnxAbstractCursor* /*aCursor*/)
    : bdceDescriptor(aDescriptor), bdceFieldDescriptor(aDescriptor ? aDescriptor->Field() : nullptr) {
  if (!bdceFieldDescriptor) throw EnxBaseDefaultValueEngineException(nxErrObjectNotFound);
}

TnxClassList& TnxBaseDefaultValueEngine::GetList() { return gEngineClasses; }

TnxBaseDefaultValueEngine* TnxBaseDefaultValueEngine::CreateFor(TnxBaseDefaultValueDescriptor* aDescriptor,
                                                                TnxAbstractCursor* aCursor) {
  const platform::ClassInfo* cls = aDescriptor->CachedEngineClass();
  if (!cls) {
    const std::string name = nxDescriptorToEngineName(aDescriptor->classInfo().name);
    cls = nxFindClassIn(GetList(), name);
    if (!cls) unknownEngine(name);
    aDescriptor->SetCachedEngineClass(cls);
  }
  return InstantiateFor(*cls, aDescriptor, aCursor);
}

TnxBaseDefaultValueEngine* TnxBaseDefaultValueEngine::InstantiateFor(const platform::ClassInfo& aClass,
                                                                     TnxBaseDefaultValueDescriptor* aDescriptor,
                                                                     TnxAbstractCursor* aCursor) {
  const auto* funcs = aClass.table<TnxDefaultValueEngineClassFuncs>();
  if (!funcs) unknownEngine(std::string(aClass.name));
  return funcs->instantiateFor(aDescriptor, aCursor);
}

TnxCursorDefaultValueEngine::TnxCursorDefaultValueEngine(TnxBaseDefaultValueDescriptor* aDescriptor,
                                                         TnxAbstractCursor* aCursor)
    : TnxBaseDefaultValueEngine(aDescriptor, aCursor), cdceCursor(aCursor) {}

// ---------------------------------------------------------------------------
// The engines

bool TnxConstDefaultValueEngine::SetDefaultValue(void* aFieldValue) {
  const std::vector<std::uint8_t>& value = static_cast<TnxConstDefaultValueDescriptor*>(bdceDescriptor)->DefaultValue();
  // The stored bytes were fitted to the field; never write past it.
  const std::size_t n = std::min(value.size(), static_cast<std::size_t>(bdceFieldDescriptor->fdLength));
  if (n) std::memcpy(aFieldValue, value.data(), n);
  return true;
}

bool TnxCurrentDateTimeDefaultValueEngine::SetDefaultValue(void* aFieldValue) {
  const platform::TimeStamp now = platform::dateTimeToTimeStamp(platform::now());
  switch (bdceFieldDescriptor->fdType) {
    case nxtDate:
      std::memcpy(aFieldValue, &now.date, 4);
      break;
    case nxtTime:
      std::memcpy(aFieldValue, &now.time, 4);
      break;
    case nxtDateTime: {
      const double msecs = static_cast<double>(now.date) * platform::kMSecsPerDay + now.time;
      std::memcpy(aFieldValue, &msecs, 8);
      break;
    }
    default:
      break;
  }
  return true;
}

TnxCurrentUserDefaultValueEngine::TnxCurrentUserDefaultValueEngine(TnxBaseDefaultValueDescriptor* aDescriptor,
                                                                   TnxAbstractCursor* aCursor)
    : TnxBaseDefaultValueEngine(aDescriptor, aCursor) {
  nxString user;
  if (aCursor) user = cursorUserName(aCursor);
  TnxFieldDescriptor* field = bdceFieldDescriptor;
  cudveUserName.assign(static_cast<std::size_t>(std::max(field->fdLength, 0)), 0);
  if (user.empty()) return;
  // A name longer than the field is cut to fit: refusing it would make every
  // cursor on the table fail to open for that user.
  nxVariantToFieldBufferEx(platform::defaultFormatSettings(), field->fdType, field->UsedStorageCodePage(), true,
                           cudveUserName.size(), cudveUserName.data(), platform::Variant::fromOleStr(user),
                           field->fdDecPl, field->fdUnits);
}

bool TnxCurrentUserDefaultValueEngine::SetDefaultValue(void* aFieldValue) {
  if (!cudveUserName.empty()) std::memcpy(aFieldValue, cudveUserName.data(), cudveUserName.size());
  return true;
}

bool TnxAutoGuidDefaultValueEngine::SetDefaultValue(void* aFieldValue) {
  platform::Guid guid;
  try {
    guid = platform::newGuid();
  } catch (const platform::OsError&) {
    return false;
  }
  std::memcpy(aFieldValue, &guid, sizeof guid);
  return true;
}

bool TnxEmptyDefaultValueEngine::SetDefaultValue(void* aFieldValue) {
  std::memset(aFieldValue, 0, static_cast<std::size_t>(bdceFieldDescriptor->fdLength));
  return true;
}

bool TnxNextLSNDefaultValueEngine::SetDefaultValue(void* aFieldValue) {
  if (!cdceCursor) return false;
  TnxLSN lsn = 0;
  if (!cdceCursor->GetNextLSN(lsn)) return false;
  std::memcpy(aFieldValue, &lsn, sizeof lsn);
  return true;
}

// ---------------------------------------------------------------------------
// TnxDefaultValueHandler

TnxDefaultValueHandler::TnxDefaultValueHandler(TnxFieldsDescriptor* aFieldsDescriptor)
    : dvhFieldsDescriptor(aFieldsDescriptor),
      dvhEnginesByIndex(static_cast<std::size_t>(aFieldsDescriptor->FieldCount()), nullptr) {}

TnxDefaultValueHandler* TnxDefaultValueHandler::CreateFor(TnxFieldsDescriptor* aFieldsDescriptor,
                                                          TnxApplyAt aApplyAt, TnxAbstractCursor* aCursor) {
  auto handler = nxCreateOwned<TnxDefaultValueHandler>(aFieldsDescriptor);
  for (std::int32_t i = 0; i < aFieldsDescriptor->FieldCount(); ++i) {
    TnxBaseDefaultValueDescriptor* descriptor = aFieldsDescriptor->Fields(i)->fdDefaultValue;
    if (!descriptor || !(descriptor->ApplyAt() & nxApplyAtBit(aApplyAt))) continue;
    TnxOwned<TnxBaseDefaultValueEngine> engine(TnxBaseDefaultValueEngine::CreateFor(descriptor, aCursor));
    if (!engine) continue;
    TnxBaseDefaultValueEngine* e = engine.get();
    handler->dvhEngines.push_back(std::move(engine));
    const bool overwrite = descriptor->OverwriteNonNull();
    if (descriptor->ApplyOnInsert()) handler->dvhEnginesInsert[overwrite].push_back(e);
    if (descriptor->ApplyOnModify()) handler->dvhEnginesModify[overwrite].push_back(e);
    handler->dvhEnginesByIndex[static_cast<std::size_t>(i)] = e;
  }
  if (handler->dvhEngines.empty()) return nullptr;
  return handler.release();
}

bool TnxDefaultValueHandler::ApplyOne(TnxBaseDefaultValueEngine* aEngine, void* aRecord) {
  TnxFieldDescriptor* field = aEngine->FieldDescriptor();
  const bool written = aEngine->SetDefaultValue(static_cast<std::uint8_t*>(aRecord) + field->fdOffset);
  dvhFieldsDescriptor->SetRecordFieldNull(field->fdNumber, aRecord, !written);
  return written;
}

void TnxDefaultValueHandler::Apply(const TnxEngineList (&aLists)[2], void* aRecord) {
  for (TnxBaseDefaultValueEngine* engine : aLists[false])
    if (dvhFieldsDescriptor->IsRecordFieldNull(engine->FieldDescriptor()->fdNumber, aRecord))
      ApplyOne(engine, aRecord);
  for (TnxBaseDefaultValueEngine* engine : aLists[true]) ApplyOne(engine, aRecord);
}

void TnxDefaultValueHandler::SetDefaultValuesInsert(void* aRecord) { Apply(dvhEnginesInsert, aRecord); }

void TnxDefaultValueHandler::SetDefaultValuesModify(void* aRecord) { Apply(dvhEnginesModify, aRecord); }

bool TnxDefaultValueHandler::SetDefaultValue(void* aRecord, std::int32_t aField) {
  if (aField < 0 || aField >= static_cast<std::int32_t>(dvhEnginesByIndex.size())) return false;
  TnxBaseDefaultValueEngine* engine = dvhEnginesByIndex[static_cast<std::size_t>(aField)];
  if (!engine) return false;
  return ApplyOne(engine, aRecord);
}

// ---------------------------------------------------------------------------
// Start-up

namespace {

TnxUseCount gDefaultValueEngineUseCount{0};

void unregisterDefaultValueEngineClasses() {
  TnxEngineClass<TnxNextLSNDefaultValueEngine>::Unregister();
  TnxEngineClass<TnxEmptyDefaultValueEngine>::Unregister();
  TnxEngineClass<TnxAutoGuidDefaultValueEngine>::Unregister();
  TnxEngineClass<TnxCurrentUserDefaultValueEngine>::Unregister();
  TnxEngineClass<TnxCurrentDateTimeDefaultValueEngine>::Unregister();
  TnxEngineClass<TnxConstDefaultValueEngine>::Unregister();
}

}  // namespace

void nxsdDefaultValueEngineInitialize() {
  if (!nxUseCountEnter(gDefaultValueEngineUseCount)) return;
  try {
    TnxEngineClass<TnxConstDefaultValueEngine>::Register();
    TnxEngineClass<TnxCurrentDateTimeDefaultValueEngine>::Register();
    TnxEngineClass<TnxCurrentUserDefaultValueEngine>::Register();
    TnxEngineClass<TnxAutoGuidDefaultValueEngine>::Register();
    TnxEngineClass<TnxEmptyDefaultValueEngine>::Register();
    TnxEngineClass<TnxNextLSNDefaultValueEngine>::Register();
  } catch (...) {
    unregisterDefaultValueEngineClasses();
    nxUseCountLeave(gDefaultValueEngineUseCount);
    throw;
  }
}

void nxsdDefaultValueEngineFinalize() {
  if (nxUseCountLeave(gDefaultValueEngineUseCount)) unregisterDefaultValueEngineClasses();
}
