#include "plObject.h"

#include <algorithm>
#include <mutex>

#include "plString.h"

namespace platform {

namespace {

struct GlobalRegistry {
  std::mutex lock;
  ClassRegistry registry;
};

GlobalRegistry& globalRegistry() {
  static GlobalRegistry instance;
  return instance;
}

}  // namespace

int compareClassNames(std::string_view a, std::string_view b) { return compareTextAscii(a, b); }

bool ClassInfo::classNameIs(std::string_view aName) const { return compareClassNames(name, aName) == 0; }

TObject* ClassInfo::construct() const {
  if (!factory) throw FilerError("Class " + std::string(name) + " cannot be created by name");
  return factory();
}

ClassNotFound::ClassNotFound(std::string_view aName) : FilerError("Class " + std::string(aName) + " not found") {}

std::size_t ClassRegistry::lowerBound(std::string_view aName) const {
  const auto it = std::lower_bound(entries_.begin(), entries_.end(), aName, [](const Entry& e, std::string_view n) {
    return compareClassNames(e.name, n) < 0;
  });
  return static_cast<std::size_t>(it - entries_.begin());
}

bool ClassRegistry::add(std::string_view aName, const ClassInfo& aClass) {
  const std::size_t i = lowerBound(aName);
  if (i < entries_.size() && compareClassNames(entries_[i].name, aName) == 0) return false;
  entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(i), Entry{std::string(aName), &aClass});
  return true;
}

std::size_t ClassRegistry::removeClass(const ClassInfo& aClass) {
  const auto before = entries_.size();
  std::erase_if(entries_, [&](const Entry& e) { return e.classInfo == &aClass; });
  return before - entries_.size();
}

const ClassInfo* ClassRegistry::find(std::string_view aName) const {
  const std::size_t i = lowerBound(aName);
  if (i < entries_.size() && compareClassNames(entries_[i].name, aName) == 0) return entries_[i].classInfo;
  return nullptr;
}

std::vector<ClassRegistry::Entry> ClassRegistry::entries(bool aIncludeAliases) const {
  if (aIncludeAliases) return entries_;
  std::vector<Entry> result;
  for (const auto& e : entries_)
    if (e.classInfo->classNameIs(e.name)) result.push_back(e);
  return result;
}

void registerClassAlias(const ClassInfo& aClass, std::string_view aAlias) {
  auto& g = globalRegistry();
  std::lock_guard guard(g.lock);
  const ClassInfo* present = g.registry.find(aAlias);
  if (present == &aClass) return;
  if (present) throw FilerError("A class named " + std::string(aAlias) + " already exists");
  g.registry.add(aAlias, aClass);
}

void registerClass(const ClassInfo& aClass) { registerClassAlias(aClass, aClass.name); }

void unregisterClass(const ClassInfo& aClass) {
  auto& g = globalRegistry();
  std::lock_guard guard(g.lock);
  g.registry.removeClass(aClass);
}

const ClassInfo* getClass(std::string_view aName) {
  auto& g = globalRegistry();
  std::lock_guard guard(g.lock);
  return g.registry.find(aName);
}

const ClassInfo& findClass(std::string_view aName) {
  const ClassInfo* c = getClass(aName);
  if (!c) throw ClassNotFound(aName);
  return *c;
}

TObject* createObjectByName(std::string_view aName) { return findClass(aName).construct(); }

}  // namespace platform
