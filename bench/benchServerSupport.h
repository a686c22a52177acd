// What the server benchmarks share: a check that ends the run, a wall clock,
// and one server engine (256 MB cache, no temporary storage) with a session
// and a database in a temporary folder, all gone again when the run ends.
// Each benchmark is its own executable and includes this header once.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "nxsrServerEngine.h"
#include "nxsrTimeoutHandling.h"

inline double secondsSince(std::chrono::steady_clock::time_point aStart) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - aStart).count();
}

inline void benchCheck(bool aOk, const char* aWhat) {
  if (!aOk) {
    std::fprintf(stderr, "failed: %s\n", aWhat);
    std::exit(1);
  }
}

class BenchServer {
 public:
  // aTag names the temporary folder: /tmp/<aTag>XXXXXX.
  explicit BenchServer(const char* aTag) {
    std::string dirTemplate = std::string("/tmp/") + aTag + "XXXXXX";
    benchCheck(mkdtemp(dirTemplate.data()) != nullptr, "temp dir");
    dir = dirTemplate;
    path = platform::fromUtf8(dir);
    nxsrServerEngineInitialize();
    nxSetTimeout(0, true);
    engine = platform::create<TnxServerEngine>(nullptr);
    engine->SetTempStorePath(path);
    engine->SetMaxRAM(256);
    engine->SetTempStoreSize(0);
    engine->SetActive(true);
    benchCheck(engine->SessionOpen(session, u"user", u"pw", u"bench", 0) == 0, "session");
    TnxAbstractDatabase* abstractDb = nullptr;
    benchCheck(session->DatabaseOpen(abstractDb, u"Path", path, nullptr, omReadWrite, smShared, 0) == 0, "database");
    db = static_cast<TnxServerDatabase*>(abstractDb);
  }
  ~BenchServer() {
    TnxAbstractServerObject::Free(session);
    platform::TObject::free(engine);
    nxsrServerEngineFinalize();
    std::filesystem::remove_all(dir);
  }
  BenchServer(const BenchServer&) = delete;
  BenchServer& operator=(const BenchServer&) = delete;

  std::string dir;
  nxString path;
  TnxServerEngine* engine = nullptr;
  TnxAbstractSession* session = nullptr;
  TnxServerDatabase* db = nullptr;
};
