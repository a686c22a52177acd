#include "nxsrTemporaryStorageBase.h"

#include <atomic>

#include "nxllComponent.h"

NX_IMPLEMENT_EXCEPTION(EnxBaseTempStorageException, EnxServerException)
PL_CLASS_INFO_IMPL(TnxBaseTempStorage, TnxObject, "TnxBaseTempStorage", nullptr)
PL_CLASS_INFO_IMPL(TnxNullTempStorage, TnxBaseTempStorage, "TnxNullTempStorage", nullptr)

namespace {
std::atomic<const platform::ClassInfo*> gRegisteredClass{nullptr};
}  // namespace

TnxBaseTempStorage::TnxBaseTempStorage(const nxString&) {}

void TnxBaseTempStorage::GetStatsCaptions(platform::TStringList& aList) {
  aList.add(u"Temporary Storage Total Size");
  aList.add(u"Temporary Storage Used Size");
}

void TnxBaseTempStorage::GetStatsValues(platform::TStringList& aList) {
  aList.add(nxFormatInt64(Size() / 1024) + u" kbyte");
  aList.add(nxFormatInt64(InUse() / 1024) + u" kbyte");
}

void TnxBaseTempStorage::GetStatsValuesStatic(platform::TStringList& aList) {
  aList.add(u"0 kbyte");
  aList.add(u"0 kbyte");
}

const platform::ClassInfo* TnxBaseTempStorage::RegisteredClass() {
  return gRegisteredClass.load(std::memory_order_acquire);
}

void TnxBaseTempStorage::RegisterClass(const platform::ClassInfo* aClass) {
  nxAssert(!aClass || aClass->table<TnxTempStorageClassFuncs>(), "Temporary storage class without class functions");
  gRegisteredClass.store(aClass, std::memory_order_release);
}

TnxBaseTempStorage* TnxBaseTempStorage::CreateOf(const platform::ClassInfo& aClass, const nxString& aDir) {
  const auto* funcs = aClass.table<TnxTempStorageClassFuncs>();
  nxAssert(funcs != nullptr, "Temporary storage class without class functions");
  return funcs->create(aDir);
}

void TnxNullTempStorage::NotSupported(const char16_t* aOperation) {
  throw EnxServerException(nxErrNotSupported, u"%s is not supported by %s",
                           {nxString(aOperation), platform::fromUtf8(className())});
}

void TnxNullTempStorage::ReadBlock(TnxBlockTmpNum, TnxBlockSizeAll, void*) { NotSupported(u"ReadBlock"); }
void TnxNullTempStorage::PeekBlock(TnxBlockTmpNum, TnxBlockSizeAll, void*) { NotSupported(u"PeekBlock"); }
void TnxNullTempStorage::ReleaseBlock(TnxBlockTmpNum, TnxBlockSizeAll) { NotSupported(u"ReleaseBlock"); }
TnxBlockTmpNum TnxNullTempStorage::WriteBlock(const void*, TnxBlockSizeAll) { NotSupported(u"WriteBlock"); }
