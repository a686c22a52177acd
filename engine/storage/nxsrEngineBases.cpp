// Full-text, referential-integrity, sort and SQL engine bases.
#include "nxsrEngineBases.h"

#include "nxsdKeyEngineBase.h"

NX_IMPLEMENT_EXCEPTION(EnxBaseFulltextTableEngineException, EnxBaseRegisterableEngineException)
NX_IMPLEMENT_EXCEPTION(EnxBaseFulltextCursorEngineException, EnxBaseRegisterableEngineException)
NX_IMPLEMENT_EXCEPTION(EnxBaseRefIntegrityEngineException, EnxBaseRegisterableEngineException)
NX_IMPLEMENT_EXCEPTION(EnxBaseSortEngineException, EnxServerException)

PL_CLASS_INFO_IMPL(TnxBaseFulltextTableEngine, TnxBaseRegisterableEngine, "TnxBaseFulltextTableEngine", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseFulltextCursorEngine, TnxBaseRegisterableEngine, "TnxBaseFulltextCursorEngine", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseRefIntegrityEngine, TnxBaseRegisterableEngine, "TnxBaseRefIntegrityEngine", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseSortEngine, TnxObject, "TnxBaseSortEngine", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseSqlEngine, TnxStateComponent, "TnxBaseSqlEngine", nullptr)

namespace {
TnxClassList gFulltextTableEngines = nullptr;
TnxClassList gFulltextCursorEngines = nullptr;
TnxClassList gRefIntegrityEngines = nullptr;

template <class Funcs>
const Funcs& funcsOf(const platform::ClassInfo& aClass) {
  const auto* funcs = aClass.table<Funcs>();
  nxAssert(funcs != nullptr, "Engine class without its virtual constructor");
  return *funcs;
}
}  // namespace

TnxClassList& TnxBaseFulltextTableEngine::GetList() { return gFulltextTableEngines; }
TnxClassList& TnxBaseFulltextCursorEngine::GetList() { return gFulltextCursorEngines; }
TnxClassList& TnxBaseRefIntegrityEngine::GetList() { return gRefIntegrityEngines; }

TnxBaseFulltextTableEngine* TnxBaseFulltextTableEngine::CreateFor(TnxDictionaryItem* aDescriptor,
                                                                  const TnxBlockAccessArray& aFiles,
                                                                  TnxBaseIndicesEngine* aMainIndicesEngine,
                                                                  TnxBaseTransaction* aTrans) {
  if (!aDescriptor) return nullptr;
  const platform::ClassInfo& cls =
      nxFindEngineForDescriptor(GetList(), aDescriptor->className(), "Fulltext", "TableEngine");
  return funcsOf<TnxFulltextTableEngineClassFuncs>(cls).create(aDescriptor, aTrans, aMainIndicesEngine, aFiles);
}

TnxBaseFulltextCursorEngine* TnxBaseFulltextCursorEngine::CreateFor(TnxBaseFulltextTableEngine* aTableEngine,
                                                                    TnxAbstractCursor* aCursor) {
  if (!aTableEngine) return nullptr;
  std::string name(aTableEngine->className());
  const std::size_t at = name.find("TableEngine");
  if (at != std::string::npos) name.replace(at, 11, "CursorEngine");
  const platform::ClassInfo* cls = nxFindClassIn(GetList(), name);
  if (!cls)
    throw EnxBaseFulltextCursorEngineException(nxErrUnsupportedSubEngine, u"Unknown %s engine: \"%s\"",
                                               {nxString(u"Fulltext"), platform::fromUtf8(name)});
  return funcsOf<TnxFulltextCursorEngineClassFuncs>(*cls).create(aTableEngine, aCursor);
}

TnxBaseRefIntegrityEngine* TnxBaseRefIntegrityEngine::CreateFor(TnxDictionaryItem* aDescriptor,
                                                                TnxAbstractCursor* aCursor) {
  if (!aDescriptor) return nullptr;
  const platform::ClassInfo& cls = nxFindEngineForDescriptor(GetList(), aDescriptor->className(), "RefIntegrity");
  return funcsOf<TnxRefIntegrityEngineClassFuncs>(cls).create(aDescriptor, aCursor);
}

TnxBaseSortEngine::TnxBaseSortEngine(TnxAbstractDatabase* aDB, TnxDataDictionary* aDict,
                                     TnxIndexDescriptor* aIndexDesc)
    : bsDB(aDB) {
  TnxOwned<TnxDataDictionary> dict(aDict->Duplicate());
  dict->RemoveIndicesDescriptor();
  TnxOwned<TnxDataDictionary> noIndex(dict->Duplicate());
  dict->AddIndicesDescriptor()->AddIndex(aIndexDesc);
  bsRecLen = static_cast<std::uint32_t>(aDict->FieldsDescriptor()->RecordLength());
  bsRecLenBuf = (bsRecLen + 15) & ~15u;
  bsKeyEngine = TnxBaseKeyEngine::CreateFor(dict->IndicesDescriptor()->Indices(0)->KeyDescriptor());
  bsDict = dict.release();
  bsDictNoIdx = noIndex.release();
}

TnxBaseSortEngine::~TnxBaseSortEngine() {
  platform::TObject::free(bsKeyEngine);
  platform::TObject::free(bsDict);
  platform::TObject::free(bsDictNoIdx);
}

std::atomic<const platform::ClassInfo*> nxDefaultSortEngineClass{nullptr};

TnxBaseSortEngine* nxCreateSortEngine(const platform::ClassInfo& aClass, TnxAbstractDatabase* aDB,
                                      TnxDataDictionary* aDict, TnxIndexDescriptor* aIndexDesc) {
  nxAssert(aClass.inheritsFrom(TnxBaseSortEngine::staticClassInfo()), "Not a sort engine class");
  return funcsOf<TnxSortEngineClassFuncs>(aClass).create(aDB, aDict, aIndexDesc);
}

void nxsrEngineBasesFinalize() {
  nxFreeClassList(gFulltextTableEngines);
  nxFreeClassList(gFulltextCursorEngines);
  nxFreeClassList(gRefIntegrityEngines);
}
