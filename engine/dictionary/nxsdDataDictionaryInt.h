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

inline const nxString kMissingInformation = u"$MissingInformation";

// A count read from a stream: never negative. The entries are built one by
// one from the bytes that follow, so a large count ends with the stream.
template <class E>
std::int32_t readCount(TnxReader& aReader) {
  const std::int32_t count = aReader.ReadInteger();
  if (count < 0) throw E(nxErrIncompatibleStream);
  return count;
}

// The class a stream names, looked up in aList; it must descend from aBase
// and carry aBase's virtual constructor. 15499 with aWord otherwise.
template <class E>
const platform::ClassInfo& readClass(TnxReader& aReader, const TnxClassList& aList, const char16_t* aWord,
                                     const platform::ClassInfo& aBase) {
  const nxString name = aReader.ReadString();
  const platform::ClassInfo* cls = nxFindClassIn(aList, platform::toUtf8(name));
  if (!cls || !cls->inheritsFrom(aBase))
    throw E(nxErrUnsupportedDescriptor, u"%s class is not supported: %s", {nxString(aWord), name});
  return *cls;
}

template <class T>
bool bothOrEqual(const T* a, const T* b) {
  if (!a || !b) return !a && !b;
  return a->IsEqual(b);
}

inline TnxFieldsDescriptor* relatedFields(TnxDictionaryItem* aItem) {
  TnxDictionaryItem* found = nullptr;
  if (!aItem->FindRelatedDescriptorOfType(TnxFieldsDescriptor::staticClassInfo(), found, nullptr)) return nullptr;
  return platform::objectAs<TnxFieldsDescriptor>(found);
}

inline TnxMainIndicesDescriptor* relatedMainIndices(TnxDictionaryItem* aItem) {
  TnxDictionaryItem* found = nullptr;
  if (!aItem->FindRelatedDescriptorOfType(TnxMainIndicesDescriptor::staticClassInfo(), found, nullptr))
    return nullptr;
  return platform::objectAs<TnxMainIndicesDescriptor>(found);
}

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
void nxsdDataDictionaryIndicesRegister();
void nxsdDataDictionaryIndicesUnregister();
void nxsdDataDictionaryTablesRegister();
void nxsdDataDictionaryTablesUnregister();
