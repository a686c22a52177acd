// Root of every class with class metadata, and its two-phase life.
//
// Class metadata: each class has one ClassInfo with its exact name (stored
// data names classes), its parent and, when it can be built by name, a
// factory. Metadata objects are static; registries keyed by name are filled
// by explicit start-up calls, never by static initialisers.
//
// Life: create<T>(...) constructs, then runs the virtual afterConstruction();
// if that throws, the object is destroyed once and the exception propagates.
// free() runs the virtual (possibly throwing) beforeDestruction() and only
// then the non-throwing destructor; if beforeDestruction() throws, the object
// stays alive. Constructors and destructors must not rely on virtual calls to
// derived classes: that is what the two hooks are for.
#pragma once

#include <string_view>
#include <utility>

namespace platform {

class TObject;

struct ClassInfo {
  std::string_view name;
  const ClassInfo* parent;
  TObject* (*factory)();  // null for classes that cannot be built without arguments

  bool inheritsFrom(const ClassInfo& other) const {
    for (const ClassInfo* c = this; c; c = c->parent)
      if (c == &other) return true;
    return false;
  }
};

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;

  static const ClassInfo& staticClassInfo();
  virtual const ClassInfo& classInfo() const { return staticClassInfo(); }
  std::string_view className() const { return classInfo().name; }
  bool inheritsFrom(const ClassInfo& aClass) const { return classInfo().inheritsFrom(aClass); }

  virtual void afterConstruction() {}
  virtual void beforeDestruction() {}

  // Nil-safe destruction through beforeDestruction().
  static void free(TObject* aObject) {
    if (!aObject) return;
    aObject->beforeDestruction();
    delete aObject;
  }
};

inline const ClassInfo& TObject::staticClassInfo() {
  static constexpr ClassInfo info{"TObject", nullptr, nullptr};
  return info;
}

template <class T, class... Args>
T* create(Args&&... args) {
  T* obj = new T(std::forward<Args>(args)...);
  try {
    obj->afterConstruction();
  } catch (...) {
    delete obj;
    throw;
  }
  return obj;
}

}  // namespace platform

// Inside a class body: declares its metadata.
#define PL_CLASS_INFO_DECL()                                   \
 public:                                                       \
  static const ::platform::ClassInfo& staticClassInfo();       \
  const ::platform::ClassInfo& classInfo() const override {    \
    return staticClassInfo();                                  \
  }

// In one .cpp: defines the metadata of Cls, named aName, child of Parent.
#define PL_CLASS_INFO_IMPL(Cls, Parent, aName, aFactory)                              \
  const ::platform::ClassInfo& Cls::staticClassInfo() {                               \
    static const ::platform::ClassInfo info{aName, &Parent::staticClassInfo(), aFactory}; \
    return info;                                                                      \
  }
