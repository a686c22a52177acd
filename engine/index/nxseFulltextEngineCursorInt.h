// Private helpers shared by the files of nxseFulltextEngineCursor: engine
// classes by name and checked casts.
#pragma once

#include <string>

#include "nxllBde.h"
#include "nxseFulltextEngineCursor.h"
#include "plErrors.h"

namespace nxFulltextCursor {

// The family's registries (defined in nxseFulltextEngineCursor.cpp).
TnxClassList& IndexClasses();
TnxClassList& ExtractorClasses();
TnxClassList& FilterClasses();
TnxClassList& TokenIndexClasses();

// The cursor engine class for a table engine: "TableEngine" replaced by
// "CursorEngine" (case ignored); none: the family's exception, 15503.
template <class Exception, class Funcs>
const Funcs& EngineFuncs(TnxClassList& aList, const platform::ClassInfo& aTableClass, const char16_t* aFamily) {
  std::string name(aTableClass.name);
  for (std::size_t i = 0; i + 11 <= name.size(); ++i)
    if (platform::sameTextAscii(std::string_view(name).substr(i, 11), "TableEngine")) {
      name.replace(i, 11, "CursorEngine");
      break;
    }
  const platform::ClassInfo* cls = nxFindClassIn(aList, name);
  const Funcs* funcs = cls ? cls->template table<Funcs>() : nullptr;
  if (!funcs)
    throw Exception(nxErrUnsupportedSubEngine, u"Unknown %s engine: \"%s\"",
                    {nxString(aFamily), platform::fromUtf8(name)});
  return *funcs;
}

template <class T>
T* CastOrRaise(platform::TObject* aObject) {
  if (!aObject) return nullptr;
  auto* result = platform::objectAs<T>(aObject);
  if (!result) throw platform::ConvertError("Invalid class typecast");
  return result;
}

// Frees an engine not yet kept by its owner.
template <class T>
struct Holder {
  T* h = nullptr;
  ~Holder() { platform::TObject::free(h); }
  T* release() { return std::exchange(h, nullptr); }
};

template <class T>
void FreeAll(std::vector<T*>& aItems) noexcept {
  for (T*& item : aItems) nxFreeAndNil(item);
  aItems.clear();
}

}  // namespace nxFulltextCursor
