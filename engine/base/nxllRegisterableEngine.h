// Registries of engine and descriptor classes by name.
//
// Two roots: TnxBaseRegisterableDescriptor (what is stored) and
// TnxBaseRegisterableEngine (what acts on a description). A family is a
// subclass of a root that owns a registry variable (TnxClassList): it hides
// the root's static GetList() with one returning its own variable, and every
// class below it is registered there unless a further subclass starts a
// family of its own. The roots' GetList fails an assertion.
//
//   class TnxBaseFilterEngine : public TnxBaseRegisterableEngine {
//     PL_CLASS_INFO_DECL()
//    public:
//     static TnxClassList& GetList();  // returns the family's variable
//   };
//   TnxEngineClass<TnxSimpleFilterEngine>::Register();       // module start-up
//   TnxEngineClass<TnxSimpleFilterEngine>::Unregister();     // its finalisation
//   TnxEngineClass<TnxBaseFilterEngine>::FindEngineClass("...");
//
// A registry variable is nil or a list sorted by name, names unique without
// regard to ASCII letter case; each entry names a class (its own name or an
// alias). The list exists exactly while at least one entry is in it.
//
// Registries are filled only by explicit module start-up calls and emptied by
// the matching finalisation calls in reverse order, in the main thread; never
// by static initialisers. Lookups afterwards take no lock.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "nxllComponent.h"
#include "nxllException.h"
#include "nxllTypes.h"
#include "plObject.h"

// Base of the exception classes of every engine family created by name.
NX_DECLARE_EXCEPTION(EnxBaseRegisterableEngineException, EnxBaseException)

// A family's registry variable: nil or the family's list.
using TnxClassList = platform::ClassRegistry*;
using TnxClassEntries = std::vector<platform::ClassRegistry::Entry>;

// Enters aClass under aName (its class name when empty). A name already
// present in any letter case raises platform::StringListError (the
// duplicate-string text) and changes nothing.
void nxRegisterClassIn(TnxClassList& aList, const platform::ClassInfo& aClass, std::string_view aName = {});
// Removes every entry of aClass; an emptied list is freed (variable nil).
void nxUnregisterClassIn(TnxClassList& aList, const platform::ClassInfo& aClass);
// The class under aName (ASCII case ignored), or null.
const platform::ClassInfo* nxFindClassIn(const TnxClassList& aList, std::string_view aName);
// All entries in name order; without aliases only the entries named as their
// class (case ignored).
TnxClassEntries nxRegisteredClassesIn(const TnxClassList& aList, bool aIncludeAliases);
// Frees a family's list outright (finalisation of the module that declares it).
void nxFreeClassList(TnxClassList& aList);

// The engine class name for a descriptor class name: every "Descriptor"
// (case ignored) replaced by aSuffix ("Engine", "TableEngine", ...).
std::string nxDescriptorToEngineName(std::string_view aDescriptorClassName, std::string_view aSuffix = "Engine");
// The engine class of aEngineList for a descriptor class; none raises
// EnxBaseException 15503 with "Unknown <aFamilyWord> engine: "<derived name>"".
const platform::ClassInfo& nxFindEngineForDescriptor(const TnxClassList& aEngineList,
                                                     std::string_view aDescriptorClassName,
                                                     std::string_view aFamilyWord,
                                                     std::string_view aSuffix = "Engine");

class TnxBaseRegisterableEngine : public TnxPersistent {
  PL_CLASS_INFO_DECL()
 public:
  // Family roots hide this; the root itself has no family.
  static TnxClassList& GetList();
};

class TnxBaseRegisterableDescriptor : public TnxLifetimeTrackedPersistent {
  PL_CLASS_INFO_DECL()
 public:
  static TnxClassList& GetList();
};

// Class operations of an engine class T (T::GetList names its family).
template <class T>
struct TnxEngineClass {
  static_assert(std::is_base_of_v<TnxBaseRegisterableEngine, T>);
  static void Register(std::string_view aName = {}) { nxRegisterClassIn(T::GetList(), T::staticClassInfo(), aName); }
  static void Unregister() { nxUnregisterClassIn(T::GetList(), T::staticClassInfo()); }
  static const platform::ClassInfo* FindEngineClass(std::string_view aName) {
    return nxFindClassIn(T::GetList(), aName);
  }
  static TnxClassEntries GetRegisteredEngines(bool aIncludeAliases) {
    return nxRegisteredClassesIn(T::GetList(), aIncludeAliases);
  }
};

// Class operations of a descriptor class T.
template <class T>
struct TnxDescriptorClass {
  static_assert(std::is_base_of_v<TnxBaseRegisterableDescriptor, T>);
  static void Register(std::string_view aName = {}) { nxRegisterClassIn(T::GetList(), T::staticClassInfo(), aName); }
  static void Unregister() { nxUnregisterClassIn(T::GetList(), T::staticClassInfo()); }
  static const platform::ClassInfo* FindDescriptorClass(std::string_view aName) {
    return nxFindClassIn(T::GetList(), aName);
  }
  static TnxClassEntries GetRegisteredDescriptors(bool aIncludeAliases) {
    return nxRegisteredClassesIn(T::GetList(), aIncludeAliases);
  }
};
