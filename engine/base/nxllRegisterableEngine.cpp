#include "nxllRegisterableEngine.h"

#include "nxllBde.h"
#include "nxllBdeStrings.h"
#include "nxllException.h"
#include "plErrors.h"
#include "plFormat.h"
#include "plString.h"
#include "plStringList.h"

NX_IMPLEMENT_EXCEPTION(EnxBaseRegisterableEngineException, EnxBaseException)

namespace {

bool startsWithText(std::string_view s, std::size_t aPos, std::string_view aWord) {
  return s.size() - aPos >= aWord.size() && platform::sameTextAscii(s.substr(aPos, aWord.size()), aWord);
}

}  // namespace

void nxRegisterClassIn(TnxClassList& aList, const platform::ClassInfo& aClass, std::string_view aName) {
  const std::string_view name = aName.empty() ? aClass.name : aName;
  const bool created = !aList;
  if (created) aList = new platform::ClassRegistry;
  if (!aList->add(name, aClass)) {
    // A list made for this call alone holds nothing: the add cannot fail then.
    throw platform::StringListError(platform::kDuplicateStringText);
  }
}

void nxUnregisterClassIn(TnxClassList& aList, const platform::ClassInfo& aClass) {
  if (!aList) return;
  aList->removeClass(aClass);
  if (aList->empty()) nxFreeClassList(aList);
}

const platform::ClassInfo* nxFindClassIn(const TnxClassList& aList, std::string_view aName) {
  return aList ? aList->find(aName) : nullptr;
}

TnxClassEntries nxRegisteredClassesIn(const TnxClassList& aList, bool aIncludeAliases) {
  return aList ? aList->entries(aIncludeAliases) : TnxClassEntries();
}

void nxFreeClassList(TnxClassList& aList) {
  delete aList;
  aList = nullptr;
}

std::string nxDescriptorToEngineName(std::string_view aDescriptorClassName, std::string_view aSuffix) {
  static constexpr std::string_view kWord = "Descriptor";
  std::string result;
  std::size_t i = 0;
  while (i < aDescriptorClassName.size()) {
    if (startsWithText(aDescriptorClassName, i, kWord)) {
      result += aSuffix;
      i += kWord.size();
    } else {
      result += aDescriptorClassName[i++];
    }
  }
  return result;
}

const platform::ClassInfo& nxFindEngineForDescriptor(const TnxClassList& aEngineList,
                                                     std::string_view aDescriptorClassName,
                                                     std::string_view aFamilyWord, std::string_view aSuffix) {
  const std::string name = nxDescriptorToEngineName(aDescriptorClassName, aSuffix);
  if (const platform::ClassInfo* c = nxFindClassIn(aEngineList, name)) return *c;
  // The derived name comes from a stored class name: its text is escaped.
  throw EnxBaseException(nxErrUnsupportedSubEngine, u"Unknown %s engine: \"%s\"",
                         {platform::fromUtf8(aFamilyWord), platform::fromUtf8(name)});
}

PL_CLASS_INFO_IMPL(TnxBaseRegisterableEngine, TnxPersistent, "TnxBaseRegisterableEngine", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseRegisterableDescriptor, TnxLifetimeTrackedPersistent, "TnxBaseRegisterableDescriptor", nullptr)

TnxClassList& TnxBaseRegisterableEngine::GetList() {
  nxAssertionFailed("Engine class outside any family", nxModuleOfPath(__FILE__), __LINE__);
}

TnxClassList& TnxBaseRegisterableDescriptor::GetList() {
  nxAssertionFailed("Descriptor class outside any family", nxModuleOfPath(__FILE__), __LINE__);
}
