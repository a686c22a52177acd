// Root of every class with class metadata, and its two-phase life.
//
// Class metadata: each class has one ClassInfo with its exact name (stored
// data names classes), its parent, optionally a factory (the argument-less
// virtual constructor) and optionally a table of class-level functions.
// ClassInfo objects are function-local statics: they exist before first use
// and never move, so their addresses are class identities (compare pointers,
// never names). No RTTI is used.
//
// Class-level virtual functions ("class functions", virtual constructors with
// arguments): a family root declares a plain struct of function pointers and
// fills one constant instance per class, usually from a template over the
// class, so that a class redeclaring a static member "overrides" it:
//
//   struct DescriptorClassFuncs {
//     TDescriptor* (*create)(TItem* aParent);       // virtual constructor
//     std::string_view (*engineSuffix)();           // class function
//   };
//   template <class T> inline constexpr DescriptorClassFuncs descriptorFuncs{
//       [](TItem* p) -> TDescriptor* { return platform::create<T>(p); },
//       &T::engineSuffix};
//   PL_CLASS_INFO_IMPL_TABLE(TFoo, TDescriptor, "TFoo", nullptr,
//                            platform::bindClassTable(descriptorFuncs<TFoo>))
//
// info.table<DescriptorClassFuncs>() answers that class's own table, or null
// when the class has none of that type. Tables are not inherited at run time
// (a parent's table would build the parent from a child's class reference);
// the template gives every class its own, with inherited statics.
//
// Life: create<T>(...) constructs, then runs the virtual afterConstruction().
// If afterConstruction() throws, the object is destroyed exactly once through
// its (non-throwing) destructor WITHOUT beforeDestruction(): that hook belongs
// to objects that completed construction (for example a reference-counted
// object whose count was not yet settled must not be checked by it), so a
// destructor must release everything its constructor acquired. The exception
// then propagates. free() runs the virtual (possibly throwing)
// beforeDestruction() and only then the destructor; if beforeDestruction()
// throws, the object stays alive and usable and the exception propagates.
// Constructors and destructors must not rely on virtual calls to derived
// classes: that is what the two hooks are for. Destroy objects with free(),
// not delete.
//
// Class registry (the class library's RegisterClass/GetClass/FindClass):
// process-wide, filled only by explicit start-up calls (never by static
// initialisers) and emptied by the matching finalisation calls. Names compare
// without regard to ASCII letter case. Thread safety: the process-wide registry
// takes an internal lock, so lookups may run on any thread; ClassRegistry
// objects (one per family) are not synchronised: their owners change them only
// during start-up and finalisation.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "plErrors.h"

namespace platform {

class TObject;

// Identifies the type of a class-level function table without RTTI.
template <class Table>
inline constexpr char classTableTag = 0;

struct ClassTable {
  const void* table = nullptr;
  const void* kind = nullptr;  // &classTableTag<Table>
};

template <class Table>
constexpr ClassTable bindClassTable(const Table& aTable) {
  return ClassTable{&aTable, &classTableTag<Table>};
}

struct ClassInfo {
  std::string_view name;
  const ClassInfo* parent;
  TObject* (*factory)();  // null for classes that cannot be built without arguments
  ClassTable classTable{};

  bool inheritsFrom(const ClassInfo& other) const {
    for (const ClassInfo* c = this; c; c = c->parent)
      if (c == &other) return true;
    return false;
  }
  const ClassInfo* classParent() const { return parent; }
  // Exact name comparison ignoring ASCII letter case (the platform's ClassNameIs).
  bool classNameIs(std::string_view aName) const;

  // This class's own table of type Table, or null.
  template <class Table>
  const Table* table() const {
    if (classTable.kind != &classTableTag<Table>) return nullptr;
    return static_cast<const Table*>(classTable.table);
  }

  // Builds an instance through the factory (two-phase, see create<T>).
  // A class without factory raises FilerError.
  TObject* construct() const;
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
  bool classNameIs(std::string_view aName) const { return classInfo().classNameIs(aName); }
  const ClassInfo* classParent() const { return classInfo().parent; }
  bool inheritsFrom(const ClassInfo& aClass) const { return classInfo().inheritsFrom(aClass); }
  template <class T>
  bool is() const {
    return inheritsFrom(T::staticClassInfo());
  }

  virtual void afterConstruction() {}
  virtual void beforeDestruction() {}

  // Nil-safe destruction through beforeDestruction().
  static void free(TObject* aObject) {
    if (!aObject) return;
    aObject->beforeDestruction();
    delete aObject;
  }
  // Nil-safe destruction WITHOUT beforeDestruction(), for an owner that must
  // end a child whose beforeDestruction() already failed (the owner's own
  // destructor cannot keep it). Anything else uses free().
  static void discard(TObject* aObject) { delete aObject; }
};

inline const ClassInfo& TObject::staticClassInfo() {
  static constexpr ClassInfo info{"TObject", nullptr, nullptr};
  return info;
}

// Checked downcast by class metadata: null when aObject is null or not a T.
template <class T>
T* objectAs(TObject* aObject) {
  return aObject && aObject->is<T>() ? static_cast<T*>(aObject) : nullptr;
}
template <class T>
const T* objectAs(const TObject* aObject) {
  return aObject && aObject->is<T>() ? static_cast<const T*>(aObject) : nullptr;
}

template <class T, class... Args>
T* create(Args&&... args) {
  T* obj = new T(std::forward<Args>(args)...);
  try {
    obj->afterConstruction();
  } catch (...) {
    delete obj;  // once, without beforeDestruction (see the header comment)
    throw;
  }
  return obj;
}

// The argument-less virtual constructor of T, for ClassInfo::factory.
template <class T>
TObject* factoryFor() {
  return create<T>();
}

// Case-insensitive ASCII comparison of class names: <0, 0, >0.
int compareClassNames(std::string_view a, std::string_view b);

// The class library's registration errors.
class FilerError : public RuntimeError {
 public:
  using RuntimeError::RuntimeError;
};
class ClassNotFound : public FilerError {
 public:
  explicit ClassNotFound(std::string_view aName);
};

// A sorted name -> class map; names unique without regard to ASCII case.
// A class may have several entries (its name and aliases). Not synchronised.
class ClassRegistry {
 public:
  struct Entry {
    std::string name;
    const ClassInfo* classInfo;
  };

  ClassRegistry() = default;
  ClassRegistry(const ClassRegistry&) = delete;
  ClassRegistry& operator=(const ClassRegistry&) = delete;

  // False (and nothing changed) when the name is present in any letter case.
  bool add(std::string_view aName, const ClassInfo& aClass);
  bool add(const ClassInfo& aClass) { return add(aClass.name, aClass); }
  // Removes every entry of aClass; answers how many.
  std::size_t removeClass(const ClassInfo& aClass);
  const ClassInfo* find(std::string_view aName) const;
  // Entries in name order; with aIncludeAliases false only those whose name
  // is the class's own name (ignoring case).
  std::vector<Entry> entries(bool aIncludeAliases = true) const;
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  void clear() { entries_.clear(); }

 private:
  // Index of the first entry not below aName.
  std::size_t lowerBound(std::string_view aName) const;

  std::vector<Entry> entries_;
};

// The process-wide registry. registerClass of a class already registered
// under its name does nothing; another class under a taken name (or alias)
// raises FilerError and changes nothing.
void registerClass(const ClassInfo& aClass);
void registerClassAlias(const ClassInfo& aClass, std::string_view aAlias);
// Removes the class with all its aliases; an unregistered class is ignored.
void unregisterClass(const ClassInfo& aClass);
// Null when no class is registered under the name.
const ClassInfo* getClass(std::string_view aName);
// As getClass, but a missing name raises ClassNotFound.
const ClassInfo& findClass(std::string_view aName);
// findClass(aName).construct().
TObject* createObjectByName(std::string_view aName);

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

// As PL_CLASS_INFO_IMPL, with a table of class-level functions
// (platform::bindClassTable(...)).
#define PL_CLASS_INFO_IMPL_TABLE(Cls, Parent, aName, aFactory, aTable)                        \
  const ::platform::ClassInfo& Cls::staticClassInfo() {                                       \
    static const ::platform::ClassInfo info{aName, &Parent::staticClassInfo(), aFactory, aTable}; \
    return info;                                                                              \
  }
