#include "nxsrServerEngineInt.h"

#include <algorithm>
#include <string_view>

#include "nxllException.h"
#include "nxllUtils.h"
#include "nxsdDataDictionary.h"
#include "nxsdDataDictionaryRefInt.h"
#include "nxsrEncryptionEngineBase.h"
#include "nxsrIndexEngineBase.h"
#include "nxsrSubEngineBase.h"
#include "nxsrTimeoutHandling.h"
#include "plFormat.h"
#include "plString.h"

PL_CLASS_INFO_IMPL(TnxServerSession, TnxAbstractSession, "TnxServerSession", nullptr)

namespace {

// Runs aWork, converting an exception through the session's conversion.
template <class Work>
TnxResult converted(TnxServerSession& aSession, Work&& aWork) {
  try {
    return std::forward<Work>(aWork)();
  } catch (...) {
    return aSession.asoConvertException(std::current_exception());
  }
}

void copyNames(const TnxClassList& aList, platform::TStringList& aTarget, bool aWithoutCache) {
  for (const auto& entry : nxRegisteredClassesIn(aList, true)) {
    const nxString name = platform::fromUtf8(entry.name);
    if (aWithoutCache) {
      std::string lower = entry.name;
      std::transform(lower.begin(), lower.end(), lower.begin(),
                     [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
      if (lower.find("cache") != std::string::npos) continue;
    }
    aTarget.add(name);
  }
}

}  // namespace

TnxServerSession::TnxServerSession(TnxServerEngine* aServerEngine, TnxWord32 aTimeout, const nxString& aUserName,
                                   const nxString& aPassword, const nxString& aConnectedFrom,
                                   std::int32_t aClientVersion)
    : TnxAbstractSession(aServerEngine, aTimeout, aUserName, aPassword, aConnectedFrom),
      ssClientVersion(aClientVersion) {}

TnxServerSession::~TnxServerSession() { platform::TObject::free(std::exchange(ssClientDefaultLocale, nullptr)); }

TnxServerEngine* TnxServerSession::ServerEngine() const { return static_cast<TnxServerEngine*>(asServerEngine); }

// ---- Default SQL literal locale ----------------------------------------------------

TnxLocaleDescriptor* TnxServerSession::GetClientDefaultLocale() {
  if (!ssClientDefaultLocale && !ssClientDefaultLocaleChecked) {
    ssClientDefaultLocaleChecked = true;
    nxString value;
    if (esoOptionGetEffective(u"SQL_DEFAULT_LOCALE", value) == 0) {
      std::int32_t locale = 0;
      if (platform::tryStrToInt(value, locale) && locale > 0) {
        TnxOwned<TnxLocaleDescriptor> descriptor(platform::create<TnxLocaleDescriptor>(nullptr));
        descriptor->SetIsDefaultStringLiteralLocale(true);
        descriptor->SetLocale(static_cast<std::uint32_t>(locale));
        ssClientDefaultLocale = descriptor.release();
      }
    }
  }
  return ssClientDefaultLocale;
}

// ---- Aliases -----------------------------------------------------------------------

TnxResult TnxServerSession::ssCheckAliasHandler(const char16_t* aOperation) {
  if (ServerEngine()->AliasHandler()) return 0;
  return EnxBaseException::nxSetMessage(12289, u"%s requires an AliasHandler", {nxString(aOperation)});
}

void TnxServerSession::ssBroadcastAliasChange() {
  if (TnxBaseAliasHandler* handler = ServerEngine()->AliasHandler()) {
    static constexpr std::string_view kSkip[] = {"TnxSession", "TnxDatabase", "TnxCursor"};
    handler->BroadcastNotification(8, nullptr, kSkip);
  }
}

TnxResult TnxServerSession::AliasAdd(const nxString& aAlias, const nxString& aPath, bool aEnforce) {
  return converted(*this, [&]() -> TnxResult {
    if (const TnxResult r = nxCheckAliasName(aAlias, false)) return r;
    nxSetTimeout(Timeout(), false);
    if (const TnxResult r = ssCheckAliasHandler(u"AliasAdd")) return r;
    struct Broadcast {
      TnxServerSession* s;
      ~Broadcast() { s->ssBroadcastAliasChange(); }
    } broadcast{this};
    const platform::FormatArg args[] = {aAlias, aPath, static_cast<int>(aEnforce)};
    TnxResult result = NotifyExtenders(eaAliasAdd, true, args);
    if (result != 0) return result;
    result = ServerEngine()->AliasHandler()->Add(aAlias, aPath, aEnforce);
    if (result == 0) NotifyExtenders(eaAliasAdd, false, args);
    return result;
  });
}

TnxResult TnxServerSession::AliasDelete(const nxString& aAlias) {
  return converted(*this, [&]() -> TnxResult {
    if (const TnxResult r = nxCheckAliasName(aAlias, true)) return r;
    nxSetTimeout(Timeout(), false);
    if (const TnxResult r = ssCheckAliasHandler(u"AliasDelete")) return r;
    struct Broadcast {
      TnxServerSession* s;
      ~Broadcast() { s->ssBroadcastAliasChange(); }
    } broadcast{this};
    const platform::FormatArg args[] = {aAlias};
    TnxResult result = NotifyExtenders(eaAliasDelete, true, args);
    if (result != 0) return result;
    result = ServerEngine()->AliasHandler()->Delete(aAlias);
    if (result == 0) NotifyExtenders(eaAliasDelete, false, args);
    return result;
  });
}

TnxResult TnxServerSession::AliasModify(const nxString& aAlias, const nxString& aNewName, const nxString& aNewPath,
                                        bool aEnforce) {
  return converted(*this, [&]() -> TnxResult {
    if (const TnxResult r = nxCheckAliasName(aAlias, true)) return r;
    nxSetTimeout(Timeout(), false);
    if (const TnxResult r = ssCheckAliasHandler(u"AliasModify")) return r;
    struct Broadcast {
      TnxServerSession* s;
      ~Broadcast() { s->ssBroadcastAliasChange(); }
    } broadcast{this};
    const platform::FormatArg args[] = {aAlias, aNewName, aNewPath, static_cast<int>(aEnforce)};
    TnxResult result = NotifyExtenders(eaAliasModify, true, args);
    if (result != 0) return result;
    result = ServerEngine()->AliasHandler()->Modify(aAlias, aNewName, aNewPath, aEnforce);
    if (result == 0) NotifyExtenders(eaAliasModify, false, args);
    return result;
  });
}

TnxResult TnxServerSession::AliasGetList(std::vector<TnxOwned<TnxAliasDescriptor>>& aList) {
  return converted(*this, [&]() -> TnxResult {
    nxSetTimeout(Timeout(), false);
    if (const TnxResult r = ssCheckAliasHandler(u"AliasGetList")) return r;
    const platform::FormatArg args[] = {static_cast<const void*>(&aList)};
    TnxResult result = NotifyExtenders(eaAliasGetList, true, args);
    if (result != 0) return result;
    result = ServerEngine()->AliasHandler()->GetList(aList);
    if (result == 0) NotifyExtenders(eaAliasGetList, false, args);
    // A handler may hold names the identifier rules refuse.
    for (std::size_t i = aList.size(); i-- > 0;)
      if (nxValidateIdentifier(aList[i]->adAlias, 10067) != 0) aList.erase(aList.begin() + static_cast<std::ptrdiff_t>(i));
    return result;
  });
}

TnxResult TnxServerSession::AliasGetPath(const nxString& aAlias, nxString& aPath) {
  aPath.clear();
  return converted(*this, [&]() -> TnxResult {
    if (const TnxResult r = nxCheckAliasName(aAlias, true)) return r;
    nxSetTimeout(Timeout(), false);
    if (const TnxResult r = ssCheckAliasHandler(u"AliasGetPath")) return r;
    const platform::FormatArg args[] = {aAlias, static_cast<const void*>(&aPath)};
    TnxResult result = NotifyExtenders(eaAliasGetPath, true, args);
    if (result != 0) return result;
    result = ServerEngine()->AliasHandler()->GetPath(aAlias, aPath);
    if (result == 0) NotifyExtenders(eaAliasGetPath, false, args);
    return result;
  });
}

// ---- Passwords ---------------------------------------------------------------------

TnxResult TnxServerSession::PasswordAdd(const nxString& aPassword) {
  return nxGuardedCall(*this, [&] { return ssPasswordAdd(aPassword); });
}

TnxResult TnxServerSession::PasswordRemove(const nxString& aPassword) {
  return nxGuardedCall(*this, [&] { return ssPasswordRemove(aPassword); });
}

TnxResult TnxServerSession::PasswordRemoveAll() {
  return nxGuardedCall(*this, [&] { return ssPasswordRemoveAll(); });
}

TnxResult TnxServerSession::ssPasswordAdd(const nxString& aPassword) {
  if (aPassword.empty()) return 9986;
  if (std::find(ssPasswords.begin(), ssPasswords.end(), aPassword) != ssPasswords.end()) return 10009;
  ssPasswords.push_back(aPassword);
  return 0;
}

TnxResult TnxServerSession::ssPasswordRemove(const nxString& aPassword) {
  if (aPassword.empty()) return 9986;
  const auto it = std::find(ssPasswords.begin(), ssPasswords.end(), aPassword);
  if (it == ssPasswords.end()) return 8712;
  ssPasswords.erase(it);
  return 0;
}

TnxResult TnxServerSession::ssPasswordRemoveAll() {
  ssPasswords.clear();
  return 0;
}

std::vector<nxString> TnxServerSession::ssBuildPasswords(const nxString& aAlias, const nxString& aTableName,
                                                         const nxString& aPassword) {
  std::vector<nxString> result = ssPasswords;
  if (!aPassword.empty()) result.push_back(aPassword);
  const platform::FormatArg args[] = {aAlias, aTableName, static_cast<const void*>(&result)};
  NotifyExtenders(eaBuildPasswords, false, args);
  return result;
}

// ---- Folders, databases, contexts --------------------------------------------------

TnxResult TnxServerSession::CloseInactiveFolders() {
  return converted(*this, [&]() -> TnxResult {
    nxSetTimeout(Timeout(), false);
    TnxResult result = NotifyExtenders(eaCloseInactiveFolders, true, {});
    if (result != 0) return result;
    result = ServerEngine()->seCloseInactiveFolders();
    if (result == 0) NotifyExtenders(eaCloseInactiveFolders, false, {});
    return result;
  });
}

TnxResult TnxServerSession::CloseInactiveTables() {
  return converted(*this, [&]() -> TnxResult {
    nxSetTimeout(Timeout(), false);
    TnxResult result = NotifyExtenders(eaCloseInactiveTables, true, {});
    if (result != 0) return result;
    result = ServerEngine()->seCloseInactiveTables();
    if (result == 0) NotifyExtenders(eaCloseInactiveTables, false, {});
    return result;
  });
}

TnxResult TnxServerSession::DatabaseOpen(TnxAbstractDatabase*& aDatabase, const nxString&, const nxString&,
                                         TnxAbstractTransContext*, TnxOpenMode, TnxShareMode, TnxWord32) {
  aDatabase = nullptr;
  return NotSupported(u"DatabaseOpen");
}

TnxResult TnxServerSession::DatabaseCacheOpen(TnxAbstractDatabase*& aDatabase, const nxString&, const nxString&,
                                              TnxAbstractTransContext*, TnxOpenMode, TnxShareMode, TnxWord32) {
  aDatabase = nullptr;
  return NotSupported(u"DatabaseCacheOpen");
}

TnxResult TnxServerSession::TransContextCreate(TnxAbstractTransContext*& aTransContext, TnxWord32) {
  aTransContext = nullptr;
  return NotSupported(u"TransContextCreate");
}

TnxResult TnxServerSession::GetRegisteredClassList(TnxClassListType aClassListType, platform::TStringList& aList) {
  return converted(*this, [&]() -> TnxResult {
    aList.clear();
    const platform::FormatArg args[] = {static_cast<int>(aClassListType), static_cast<const void*>(&aList)};
    TnxResult result = NotifyExtenders(eaGetRegisteredClassList, true, args);
    if (result != 0) return result;
    switch (aClassListType) {
      case setAutoIncEngines: copyNames(TnxBaseAutoIncEngine::GetList(), aList, false); break;
      case setBlobEngines: copyNames(TnxBaseBlobDescriptor::GetList(), aList, false); break;
      case setIndexEngines: copyNames(TnxBaseIndexEngine::GetList(), aList, true); break;
      case setEncryptionEngines: TnxBaseEncryptionEngine::GetRegisteredEngines(aList, true); break;
      case setDefaultDescriptors: copyNames(TnxBaseDefaultValueDescriptor::GetList(), aList, false); break;
      case setValidationDescriptors: copyNames(TnxBaseFieldValidationDescriptor::GetList(), aList, false); break;
      case setRecordDescriptors: copyNames(TnxBaseRecordEngine::GetList(), aList, false); break;
      case setRIActionDescriptors: copyNames(TnxBaseActionDescriptor::GetList(), aList, false); break;
      default: return TnxResult{8712};
    }
    NotifyExtenders(eaGetRegisteredClassList, false, args);
    return TnxResult{0};
  });
}
