// Private to the nxsdDataDictionary module: included only by its source
// files. The helpers its descriptor families share and the start-up
// functions each family provides to the module's start-up table.
#pragma once

#include <string>

#include "nxsdDataDictionary.h"
#include "plString.h"

namespace nxdd {

inline nxString classNameText(const platform::ClassInfo& aClass) { return platform::fromUtf8(aClass.name); }

inline nxString intText(std::int32_t v) { return platform::fromUtf8(std::to_string(v)); }

// Identifier check that raises with aException's class; the reason stays the
// pending message of the code.
template <class E>
void checkIdentifier(const nxString& aName, TnxResult aCode, bool aAllowEmpty) {
  if (nxValidateIdentifier(aName, aCode, aAllowEmpty, true) != 0) throw E(aCode);
}

// Raises this thread's assign depth (see nxsdAssignDepth) while alive.
class TnxAssignDepthGuard {
 public:
  TnxAssignDepthGuard();
  ~TnxAssignDepthGuard();
  TnxAssignDepthGuard(const TnxAssignDepthGuard&) = delete;
  TnxAssignDepthGuard& operator=(const TnxAssignDepthGuard&) = delete;
};

}  // namespace nxdd

// The families' entries in the module's start-up table: Register fills the
// family's registries, Unregister empties and frees them.
void nxsdDataDictionaryItemsRegister();
void nxsdDataDictionaryItemsUnregister();
void nxsdDataDictionaryFieldsRegister();
void nxsdDataDictionaryFieldsUnregister();
void nxsdDataDictionaryStorageRegister();
void nxsdDataDictionaryStorageUnregister();
void nxsdDataDictionaryKeysRegister();
void nxsdDataDictionaryKeysUnregister();
