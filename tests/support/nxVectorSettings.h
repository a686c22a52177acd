// Test helper: component settings kept in a vector, for configuration tests.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "nxllConfigSettings.h"

namespace nxtest {

// Settings kept in a vector; owns them.
class VectorSettings : public TnxBaseSettings {
 public:
  ~VectorSettings() override {
    for (TnxBaseSetting* s : items) platform::TObject::free(s);
  }
  TnxBaseSetting* GetSetting(std::int32_t anIndex) override { return items.at(static_cast<std::size_t>(anIndex)); }
  void SetSetting(std::int32_t anIndex, TnxBaseSetting* aValue) override {
    platform::TObject::free(std::exchange(items.at(static_cast<std::size_t>(anIndex)), aValue));
  }
  std::int32_t Count() const override { return static_cast<std::int32_t>(items.size()); }
  TnxBaseSetting* AddSetting(TnxBaseSetting* aSetting) override {
    items.push_back(aSetting);
    return aSetting;
  }
  void RemoveSetting(std::int32_t anIndex) override {
    platform::TObject::free(items.at(static_cast<std::size_t>(anIndex)));
    items.erase(items.begin() + anIndex);
  }
  std::vector<TnxBaseSetting*> items;
};

}  // namespace nxtest
