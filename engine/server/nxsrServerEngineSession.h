// The server session: one logged-in client of the in-process engine, with
// its aliases (through the engine's alias handler), table passwords and
// default SQL literal locale. Part of nxsrServerEngine: include
// nxsrServerEngine.h, not this header.
//
// Contracts:
// - Alias, close-inactive and class-list operations take no session lock;
//   the password operations run as guarded calls (deadline, session lock).
// - Every TnxResult operation converts an exception inside it through the
//   session's conversion.
// - Passwords are unique by exact comparison, kept in the order added.
// - The default locale descriptor is built on first demand from the
//   session's effective option "SQL_DEFAULT_LOCALE" and owned by the
//   session; the option is looked at once.
// Thread safety: one thread drives a session at a time (the session lock
// refuses a second one).
#pragma once

#include <cstdint>
#include <vector>

#include "nxsdServerEngine.h"

class TnxServerEngine;
class TnxLocaleDescriptor;

class TnxServerSession : public TnxAbstractSession {
  PL_CLASS_INFO_DECL()
 public:
  TnxServerSession(TnxServerEngine* aServerEngine, TnxWord32 aTimeout, const nxString& aUserName,
                   const nxString& aPassword, const nxString& aConnectedFrom, std::int32_t aClientVersion);
  ~TnxServerSession() override;

  std::int32_t GetClientVersion() override { return ssClientVersion; }
  TnxLocaleDescriptor* GetClientDefaultLocale() override;
  TnxResult AliasAdd(const nxString& aAlias, const nxString& aPath, bool aEnforce) override;
  TnxResult AliasDelete(const nxString& aAlias) override;
  TnxResult AliasModify(const nxString& aAlias, const nxString& aNewName, const nxString& aNewPath,
                        bool aEnforce) override;
  // Drops names that are not valid alias names from the answer.
  TnxResult AliasGetList(std::vector<TnxOwned<TnxAliasDescriptor>>& aList) override;
  TnxResult AliasGetPath(const nxString& aAlias, nxString& aPath) override;
  TnxResult PasswordAdd(const nxString& aPassword) override;
  TnxResult PasswordRemove(const nxString& aPassword) override;
  TnxResult PasswordRemoveAll() override;
  TnxResult CloseInactiveFolders() override;
  TnxResult CloseInactiveTables() override;
  // Databases come with the folders: 12289 until then.
  TnxResult DatabaseOpen(TnxAbstractDatabase*& aDatabase, const nxString& aAliasType, const nxString& aAlias,
                         TnxAbstractTransContext* aTransContext, TnxOpenMode aOpenMode, TnxShareMode aShareMode,
                         TnxWord32 aTimeout) override;
  TnxResult DatabaseCacheOpen(TnxAbstractDatabase*& aDatabase, const nxString& aAliasType, const nxString& aAlias,
                              TnxAbstractTransContext* aTransContext, TnxOpenMode aOpenMode, TnxShareMode aShareMode,
                              TnxWord32 aTimeout) override;
  // Transaction contexts come with the transactions: 12289 until then.
  TnxResult TransContextCreate(TnxAbstractTransContext*& aTransContext, TnxWord32 aTimeout) override;
  // The names of one class registry; index engines without the cache-table
  // ones; 8712 for an unknown list type.
  TnxResult GetRegisteredClassList(TnxClassListType aClassListType, platform::TStringList& aList) override;

  // Marks the session failed for good.
  void Kick() { Failed(true); }

  // The session's passwords, then aPassword when not empty.
  std::vector<nxString> ssBuildPasswords(const nxString& aAlias, const nxString& aTableName,
                                         const nxString& aPassword);
  TnxResult ssPasswordAdd(const nxString& aPassword);
  TnxResult ssPasswordRemove(const nxString& aPassword);
  TnxResult ssPasswordRemoveAll();

  TnxServerEngine* ServerEngine() const;
  const std::vector<nxString>& Passwords() const { return ssPasswords; }

 protected:
  // The alias handler's broadcast after every alias change.
  void ssBroadcastAliasChange();
  // 12289 "<operation> requires an AliasHandler" without a handler.
  TnxResult ssCheckAliasHandler(const char16_t* aOperation);

  std::int32_t ssClientVersion;
  std::vector<nxString> ssPasswords;
  TnxLocaleDescriptor* ssClientDefaultLocale = nullptr;  // owned
  bool ssClientDefaultLocaleChecked = false;
};
