// Test support of the server engine: library start-up per fixture, replaced
// memory figures and a fault file system for the sizing, and engines that
// tests build and free.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "nxsrServerEngine.h"
#include "plFaultFileSystem.h"
#include "plMemoryStatus.h"

namespace nxtest {

// The machine's memory as the engine sees it, in MB.
inline std::uint64_t& fakeTotalMemoryMB() {
  static std::uint64_t value = 8192;
  return value;
}

inline bool fakeMemoryFigures(platform::MemoryFigures& aFigures) {
  aFigures = {};
  aFigures.totalPhysical = fakeTotalMemoryMB() << 20;
  aFigures.availablePhysical = aFigures.totalPhysical / 2;
  return true;
}

// Starts the server library, replaces the memory figures and the file
// system (a fault file system with "/tmp" and "/data"), and frees the
// engines it made, newest first.
class ServerEngineFixture {
 public:
  ServerEngineFixture() {
    nxsrServerEngineInitialize();
    fakeTotalMemoryMB() = 8192;
    platform::setMemoryFiguresSource(&fakeMemoryFigures);
    fs_.makeDirectory("/tmp");
    fs_.makeDirectory("/data");
    previousFs_ = platform::setCurrentFileSystem(&fs_);
  }
  ~ServerEngineFixture() {
    for (auto it = engines_.rbegin(); it != engines_.rend(); ++it) platform::TObject::free(*it);
    platform::setCurrentFileSystem(previousFs_ == &platform::posixFileSystem() ? nullptr : previousFs_);
    platform::setMemoryFiguresSource(nullptr);
    nxsrServerEngineFinalize();
  }
  ServerEngineFixture(const ServerEngineFixture&) = delete;
  ServerEngineFixture& operator=(const ServerEngineFixture&) = delete;

  // A new inactive engine (a subclass T when given), freed by the fixture.
  template <class T = TnxServerEngine>
  T* Engine() {
    T* engine = platform::create<T>(nullptr);
    engine->SetTempStorePath(u"/tmp");
    engines_.push_back(engine);
    return engine;
  }
  TnxServerEngine* Started() {
    TnxServerEngine* engine = Engine();
    engine->SetMaxRAM(16);
    engine->SetTempStoreSize(0);
    engine->SetActive(true);
    return engine;
  }
  platform::FaultFileSystem& Fs() { return fs_; }

 private:
  platform::FaultFileSystem fs_;
  platform::FileSystem* previousFs_ = nullptr;
  std::vector<TnxServerEngine*> engines_;
};

}  // namespace nxtest

#include <map>
#include <vector>

#include "nxllConfigSettings.h"
#include "nxVectorSettings.h"

namespace nxtest {

// A server configuration that only collects the components' error lines.
class ErrorsConfiguration : public TnxBaseServerConfiguration {
 public:
  ErrorsConfiguration() : TnxBaseServerConfiguration(u"") {}
  void EnsureComponentConfiguration(const nxString&, TnxBaseSettings&) override {}
  TnxBaseComponentConfiguration* GetComponentConfiguration(const nxString&) override { return nullptr; }
  void Save() override {}
};

// Values by name, as a configuration file keeps them.
class MapConfiguration : public TnxBaseComponentConfiguration {
 public:
  explicit MapConfiguration(TnxBaseServerConfiguration* aConfig = nullptr) : TnxBaseComponentConfiguration(aConfig) {}
  void SetValue(const nxString& aName, const platform::Variant& aValue) override { values[aName] = aValue; }
  platform::Variant GetValue(const nxString& aName, const platform::Variant& aDefault) override {
    auto it = values.find(aName);
    return it == values.end() ? aDefault : it->second;
  }
  std::map<nxString, platform::Variant> values;
};

}  // namespace nxtest
