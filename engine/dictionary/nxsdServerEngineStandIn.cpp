#include "nxsdServerEngine.h"

#include <array>
#include <map>
#include <mutex>

PL_CLASS_INFO_IMPL(TnxAbstractTimeoutObject, TnxExtendableServerObject, "TnxAbstractTimeoutObject", nullptr)

namespace {
std::mutex gMutex;
std::map<TnxBaseServerEngine*, std::array<std::int32_t, 5>> gCounts;
}  // namespace

void nxsdCountObject(TnxBaseServerEngine* aEngine, TnxObjectCounter aCounter, std::int32_t aDelta) {
  std::lock_guard guard(gMutex);
  gCounts[aEngine][aCounter] += aDelta;
}

std::int32_t nxsdObjectCount(TnxBaseServerEngine* aEngine, TnxObjectCounter aCounter) {
  std::lock_guard guard(gMutex);
  return gCounts[aEngine][aCounter];
}

TnxResult TnxAbstractSession::TransContextCreate(TnxAbstractTransContext*& aTransContext, std::uint32_t) {
  aTransContext = nullptr;
  return NotSupported(u"TransContextCreate");
}

TnxResult TnxAbstractSession::AliasAdd(const nxString&, const nxString&, bool) { return NotSupported(u"AliasAdd"); }
TnxResult TnxAbstractSession::AliasDelete(const nxString&) { return NotSupported(u"AliasDelete"); }
TnxResult TnxAbstractSession::AliasModify(const nxString&, const nxString&, const nxString&, bool) {
  return NotSupported(u"AliasModify");
}
TnxResult TnxAbstractSession::AliasGetList(std::vector<TnxOwned<TnxAliasDescriptor>>&) {
  return NotSupported(u"AliasGetList");
}
TnxResult TnxAbstractSession::AliasGetPath(const nxString&, nxString&) { return NotSupported(u"AliasGetPath"); }
TnxResult TnxAbstractSession::PasswordAdd(const nxString&) { return NotSupported(u"PasswordAdd"); }
TnxResult TnxAbstractSession::PasswordRemove(const nxString&) { return NotSupported(u"PasswordRemove"); }
TnxResult TnxAbstractSession::PasswordRemoveAll() { return NotSupported(u"PasswordRemoveAll"); }
TnxResult TnxAbstractSession::CloseInactiveFolders() { return NotSupported(u"CloseInactiveFolders"); }
TnxResult TnxAbstractSession::CloseInactiveTables() { return NotSupported(u"CloseInactiveTables"); }
TnxResult TnxAbstractSession::DatabaseOpen(TnxAbstractDatabase*& aDatabase, const nxString&, const nxString&,
                                           TnxAbstractTransContext*, TnxOpenMode, TnxShareMode, std::uint32_t) {
  aDatabase = nullptr;
  return NotSupported(u"DatabaseOpen");
}
TnxResult TnxAbstractSession::GetRegisteredClassList(TnxClassListType, platform::TStringList&) {
  return NotSupported(u"GetRegisteredClassList");
}
