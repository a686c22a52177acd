// Test kit of the client components: the server library started on a fault
// file system ("/tmp", "/data"), a started in-process engine that counts its
// log-in attempts, a session component on it, a database component on the
// folder "/data", and fixture tables built straight through the server's
// folder (until the engine database builds tables itself).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "nxdb.h"
#include "nxllException.h"
#include "nxsrServerEngine.h"
#include "nxsrTimeoutHandling.h"
#include "plBeep.h"
#include "plFaultFileSystem.h"
#include "plMemoryStatus.h"

namespace nxtest {

// An engine that counts the sessions it was asked to open.
class CountingServerEngine : public TnxServerEngine {
 public:
  using TnxServerEngine::TnxServerEngine;
  int sessionOpens = 0;

 protected:
  TnxResult seCreateSession(TnxServerSession*& aSession, const nxString& aUserName, const nxString& aPassword,
                            const nxString& aConnectedFrom, TnxWord32 aTimeout,
                            std::int32_t aClientVersion) override {
    ++sessionOpens;
    return TnxServerEngine::seCreateSession(aSession, aUserName, aPassword, aConnectedFrom, aTimeout,
                                            aClientVersion);
  }
};

// Counts the beeps of the session component.
inline int& beepCount() {
  static int count = 0;
  return count;
}
inline void countBeep(std::uint32_t) { ++beepCount(); }

inline bool clientKitMemoryFigures(platform::MemoryFigures& aFigures) {
  aFigures = {};
  aFigures.totalPhysical = std::uint64_t{8192} << 20;
  aFigures.availablePhysical = aFigures.totalPhysical / 2;
  return true;
}

class ClientTestKit {
 public:
  ClientTestKit() {
    nxsrServerEngineInitialize();
    nxSetTimeout(0, true);
    platform::setMemoryFiguresSource(&clientKitMemoryFigures);
    fs_.makeDirectory("/tmp");
    fs_.makeDirectory("/data");
    previousFs_ = platform::setCurrentFileSystem(&fs_);
    previousBeep_ = platform::setBeepHook(&countBeep);
    beepCount() = 0;
    engine = platform::create<CountingServerEngine>(nullptr);
    engine->SetTempStorePath(u"/tmp");
    engine->SetMaxRAM(16);
    engine->SetTempStoreSize(0);
    engine->SetActive(true);
    session = platform::create<TnxSession>(nullptr);
    session->SetName(u"nxSession1");
    session->SetServerEngine(engine);
  }
  ~ClientTestKit() {
    for (auto it = components_.rbegin(); it != components_.rend(); ++it) platform::TObject::free(*it);
    platform::TObject::free(std::exchange(session, nullptr));
    platform::TObject::free(std::exchange(engine, nullptr));
    platform::setBeepHook(previousBeep_);
    platform::setCurrentFileSystem(previousFs_ == &platform::posixFileSystem() ? nullptr : previousFs_);
    platform::setMemoryFiguresSource(nullptr);
    EnxBaseException::SetLastConvertedException(0, nxString());
    nxsrServerEngineFinalize();
  }
  ClientTestKit(const ClientTestKit&) = delete;
  ClientTestKit& operator=(const ClientTestKit&) = delete;

  // A component of the session (T: TnxDatabase, TnxTransContext, ...),
  // freed by the kit, newest first.
  template <class T>
  T* Make(const nxString& aName = u"") {
    T* c = platform::create<T>(nullptr);
    components_.push_back(c);
    if (!aName.empty()) c->SetName(aName);
    c->SetSession(session);
    return c;
  }
  // A database component on aPath (default "/data").
  TnxDatabase* Database(const nxString& aName = u"nxDatabase1", const nxString& aPath = u"/data") {
    TnxDatabase* db = Make<TnxDatabase>(aName);
    db->SetAliasPath(aPath);
    return db;
  }
  // Frees a component the kit made before the kit ends.
  void Free(TnxComponent* aComponent) {
    std::erase(components_, aComponent);
    platform::TObject::free(aComponent);
  }

  // Builds table aName in the folder aPath (an Int32 "ID", a ShortString
  // "Name"), as the engine database will once it builds tables. Build before
  // a database opens the folder.
  TnxResult BuildTable(const nxString& aName, const nxString& aPath = u"/data") {
    TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
    dict->FieldsDescriptor()->AddField(u"ID", u"", nxtInt32, 0, 0, false);
    dict->FieldsDescriptor()->AddField(u"Name", u"", nxtShortString, 20, 0, false);
    return BuildTable(aName, dict.get(), aPath);
  }
  // Builds table aName with the layout aDict (the caller's) in the folder aPath.
  TnxResult BuildTable(const nxString& aName, TnxServerDataDict* aDict, const nxString& aPath = u"/data") {
    // The folder of an open database, else one of the kit's own.
    TnxServerFolder* open = engine->FindFolder(aPath);
    TnxServerFolder* folder = open ? open : platform::create<TnxServerFolder>(engine, aPath, false);
    const TnxResult result = folder->sfTableBuild(false, aName, u"", false, aDict, tsPersistent);
    if (!open) platform::TObject::free(folder);
    return result;
  }

  platform::FaultFileSystem& Fs() { return fs_; }

  CountingServerEngine* engine = nullptr;
  TnxSession* session = nullptr;

 private:
  platform::FaultFileSystem fs_;
  platform::FileSystem* previousFs_ = nullptr;
  platform::BeepHook previousBeep_ = nullptr;
  std::vector<TnxComponent*> components_;
};

// The message of a client error raised by aCall; empty when none was raised.
template <class Call>
nxString clientErrorMessage(Call&& aCall) {
  try {
    aCall();
  } catch (const EnxDatabaseError& e) {
    return e.Message();
  }
  return {};
}

// The code of a client error raised by aCall; -1 when none was raised.
template <class Call>
TnxResult clientErrorCode(Call&& aCall) {
  try {
    aCall();
  } catch (const EnxDatabaseError& e) {
    return e.ErrorCode();
  }
  return static_cast<TnxResult>(-1);
}

}  // namespace nxtest
