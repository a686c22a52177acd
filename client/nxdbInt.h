// Private helpers shared by the family files of nxdb. Not for other modules.
#pragma once

#include <algorithm>
#include <vector>

#include "nxdb.h"

namespace nxdb_int {

template <class T>
void addOnce(std::vector<T*>& aList, T* aItem) {
  if (std::find(aList.begin(), aList.end(), aItem) == aList.end()) aList.push_back(aItem);
}

template <class T>
void removeItem(std::vector<T*>& aList, T* aItem) {
  aList.erase(std::remove(aList.begin(), aList.end(), aItem), aList.end());
}

// Whether the class of aObject, or one of its ancestors, has the name
// aClassName (lets the database sort datasets of classes above it).
inline bool classNamed(const platform::TObject& aObject, std::string_view aClassName) {
  for (const platform::ClassInfo* c = &aObject.classInfo(); c; c = c->parent)
    if (c->name == aClassName) return true;
  return false;
}

// Runs aStep, dropping any exception (clean-up steps that must all run).
template <class Step>
void ignoringErrors(Step&& aStep) {
  try {
    aStep();
  } catch (...) {
  }
}

}  // namespace nxdb_int
