// A fake server engine for tests of the abstract server interface: a fixed
// identity and name, its own exception class, statistics that a test
// switches on, and sessions of a least session class. Beside it, test
// subclasses of the extendable and the time-out object.
//
// Ownership: a test creates the engine with platform::create and frees it
// with platform::TObject::free after freeing its sessions (or stopping it).
// Thread safety: as the engine base; the switches are plain fields, set
// before other threads use the engine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nxFakeServerObjects.h"
#include "nxsdServerEngine.h"

NX_DECLARE_EXCEPTION(EnxFakeServerEngineException, EnxBaseException)

class TnxFakeServerEngine : public TnxBaseServerEngine {
  PL_CLASS_INFO_DECL()
 public:
  static constexpr platform::Guid kServerGuid{
      0x4E0F1D25, 0x7A31, 0x4C6B, {0x9E, 0x52, 0x10, 0x2B, 0x8F, 0x44, 0xC3, 0x71}};

  explicit TnxFakeServerEngine(TnxComponent* aOwner = nullptr);

  const platform::ClassInfo& EngineExceptionClass() override;
  [[noreturn]] void RaiseEngineException(TnxResult aCode) override;
  platform::Guid GetServerGuid() override { return kServerGuid; }
  nxString GetServerName() override { return feServerName; }
  bool StatsEnabled() override { return feStatsEnabled; }
  // A TnxFakeSession of this engine.
  TnxResult SessionOpenEx(TnxAbstractSession*& aSession, const nxString& aUserName, const nxString& aPassword,
                          const nxString& aConnectedFrom, TnxWord32 aTimeout, std::int32_t aClientVersion) override;

  bool feStatsEnabled = false;
  nxString feServerName = u"FakeServerEngine";
  // Folders, tables, aliases, canned statements and counters of the fake
  // server objects.
  TnxFakeStore feStore;
};

// A session of the fake engine: databases by "Path" (a folder of the
// store) or "Name" (its aliases), contexts that count transactions.
class TnxFakeSession : public TnxAbstractSession {
  PL_CLASS_INFO_DECL()
 public:
  using TnxAbstractSession::TnxAbstractSession;

  TnxResult AliasAdd(const nxString&, const nxString&, bool) override { return NotSupported(u"AliasAdd"); }
  TnxResult AliasDelete(const nxString&) override { return NotSupported(u"AliasDelete"); }
  TnxResult AliasModify(const nxString&, const nxString&, const nxString&, bool) override {
    return NotSupported(u"AliasModify");
  }
  TnxResult AliasGetList(std::vector<TnxOwned<TnxAliasDescriptor>>& aList) override;
  TnxResult AliasGetPath(const nxString& aAlias, nxString& aPath) override;
  TnxResult PasswordAdd(const nxString&) override { return 0; }
  TnxResult PasswordRemove(const nxString&) override { return 0; }
  TnxResult PasswordRemoveAll() override { return 0; }
  TnxResult CloseInactiveFolders() override { return 0; }
  TnxResult CloseInactiveTables() override { return 0; }
  TnxResult DatabaseOpen(TnxAbstractDatabase*& aDatabase, const nxString& aAliasType, const nxString& aAlias,
                         TnxAbstractTransContext* aTransContext, TnxOpenMode aOpenMode, TnxShareMode aShareMode,
                         TnxWord32 aTimeout) override;
  TnxResult TransContextCreate(TnxAbstractTransContext*& aTransContext, TnxWord32 aTimeout) override;
  TnxResult GetRegisteredClassList(TnxClassListType, platform::TStringList&) override {
    return NotSupported(u"GetRegisteredClassList");
  }

  TnxFakeStore& Store() const { return static_cast<TnxFakeServerEngine*>(asServerEngine)->feStore; }
  void SetAuthenticated(bool aValue) { asAuthenticated = aValue; }
};

// An extendable object that records its option changes ("name=value").
class TnxFakeExtendableObject : public TnxExtendableServerObject {
  PL_CLASS_INFO_DECL()
 public:
  using TnxExtendableServerObject::TnxExtendableServerObject;
  void esoOptionChanged(const nxString& aName, const nxString& aValue) override;
  // Points the destroy protocol's flag at a caller's variable.
  void SetDestroyFlag(bool* aFlag) { asoDestroyFlag = aFlag; }

  std::vector<std::string> feOptionChanges;
};

// A time-out object whose public operation Call runs any work as one
// guarded call.
class TnxFakeTimeoutObject : public TnxAbstractTimeoutObject {
  PL_CLASS_INFO_DECL()
 public:
  using TnxAbstractTimeoutObject::TnxAbstractTimeoutObject;

  template <class Work>
  TnxResult Call(Work&& aWork) {
    return nxGuardedCall(*this, std::forward<Work>(aWork));
  }
  void SetDestroyFlag(bool* aFlag) { asoDestroyFlag = aFlag; }
};
