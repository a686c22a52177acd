// Private to the full-text descriptors: included only by
// nxsdDataDictionaryFulltext.cpp and nxsdDataDictionaryFulltextTokens.cpp.
// The helpers both share: stream checks, the hub operations and look-ups.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "nxllBde.h"
#include "nxsdDataDictionaryFulltext.h"
#include "nxsdDataDictionaryInt.h"
#include "plString.h"

// Class metadata: abstract levels without a constructor table, registered
// classes with one.
#define NX_FT_CLASS(Cls, Parent) PL_CLASS_INFO_IMPL(Tnx##Cls, Parent, "Tnx" #Cls, nullptr)
#define NX_FT_CLASS_TABLE(Cls, Parent) \
  PL_CLASS_INFO_IMPL_TABLE(Tnx##Cls, Parent, "Tnx" #Cls, nullptr, platform::bindClassTable(nxFulltextItemFuncs<Tnx##Cls>))
#define NX_FT_RAISE_IMPL(Cls)                                                                        \
  void Tnx##Cls::DoRaise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const {       \
    if (aText.empty()) throw Enx##Cls##Exception(aCode);                                             \
    throw Enx##Cls##Exception(aCode, aText, aArgs);                                                  \
  }

namespace nxft {

using nxdd::classNameText;
using nxdd::intText;
using nxdd::relatedFields;
using nxdd::relatedMainIndices;

inline constexpr const char16_t* kUnsupported = u"%s class is not supported: %s";
inline constexpr const char16_t* kIndexInUse = u"Cannot remove index %s because it is still referenced by a fulltext index";
inline constexpr const char16_t* kFieldInUse = u"Cannot remove field %s because it is still referenced by an index";

inline void readVersionOne(TnxReader& aReader, const TnxBaseFulltextDictionaryItem& aItem) {
  if (aReader.ReadInteger() != 1) aItem.Raise(nxErrIncompatibleStream);
}

// A class name read from a stream, looked up in aList below aBase.
inline const platform::ClassInfo& readClass(TnxReader& aReader, const TnxClassList& aList, const platform::ClassInfo& aBase,
                                     const std::function<void(const nxString&)>& aRaise) {
  const nxString name = aReader.ReadString();
  const platform::ClassInfo* cls = nxFindClassIn(aList, platform::toUtf8(name));
  if (!cls || !cls->inheritsFrom(aBase)) aRaise(name);
  return *cls;
}

// A member of aClass (which must carry the item table and descend from
// aBase) under aParent.
template <class T>
T* createMember(const TnxBaseFulltextDictionaryItem& aOwner, const platform::ClassInfo& aClass,
                const platform::ClassInfo& aBase, const char16_t* aWord, TnxPersistent* aParent) {
  const auto* funcs = aClass.table<TnxFulltextItemClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(aBase))
    aOwner.Raise(nxErrUnsupportedDescriptor, kUnsupported, {nxString(aWord), classNameText(aClass)});
  return static_cast<T*>(funcs->create(aParent));
}

// The add operation every hub shares: name checks, creation, appending.
template <class T>
T* hubAdd(TnxBaseFulltextDictionaryItem& aHub, TnxFulltextMemberList& aList, nxString aName, bool aDefaultName,
          const platform::ClassInfo& aClass, const platform::ClassInfo& aBase, const char16_t* aWord) {
  if (aName.empty() && aDefaultName) aName = nxDefaultMemberName;
  if (nxValidateIdentifier(aName, nxErrInvalidName, false, true) != 0) aHub.Raise(nxErrInvalidName);
  if (aList.IndexOfName(aName) >= 0) aHub.Raise(nxErrNameNotUnique);
  T* member = createMember<T>(aHub, aClass, aBase, aWord, &aHub);
  try {
    aList.Append(aName, member);
  } catch (...) {
    platform::TObject::free(member);
    throw;
  }
  return member;
}

// Reads a hub's member list: each entry goes through the hub's add
// operation, then reads its own stream.
inline void readMembers(TnxReader& aReader, const TnxBaseFulltextDictionaryItem& aHub, const TnxClassList& aList,
                 const platform::ClassInfo& aBase, const char16_t* aWord,
                 const std::function<TnxDictionaryItem*(const nxString&, const platform::ClassInfo&)>& aAdd) {
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) {
    const nxString name = aReader.ReadString();
    const platform::ClassInfo& cls = readClass(aReader, aList, aBase, [&](const nxString& aName) {
      aHub.Raise(nxErrUnsupportedDescriptor, kUnsupported, {nxString(aWord), aName});
    });
    aAdd(name, cls)->LoadFromReader(aReader);
  }
  aReader.ReadListEnd();
}

inline void writeMembers(TnxWriter& aWriter, std::int32_t aClientVersion, const TnxFulltextMemberList& aList) {
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteListBegin();
  for (std::int32_t i = 0; i < aList.Count(); ++i) {
    aWriter.WriteString(aList.Name(i));
    aWriter.WriteString(classNameText(aList.Item(i)->classInfo()));
    aList.Item(i)->SaveToWriter(aWriter, aClientVersion);
  }
  aWriter.WriteListEnd();
}

inline void checkMembers(const TnxBaseFulltextDictionaryItem& aHub, const TnxFulltextMemberList& aList, bool aForBuild) {
  for (std::int32_t i = 0; i < aList.Count(); ++i) {
    if (nxValidateIdentifier(aList.Name(i), nxErrInvalidName, false, true) != 0) aHub.Raise(nxErrInvalidName);
    aList.Item(i)->CheckValid(aForBuild);
  }
}

// Locale and compare flags of an item's used locale; 0 and 0 without one.
inline std::pair<std::uint32_t, std::uint32_t> usedLocale(TnxLocalizedDictionaryItem& aItem) {
  TnxLocaleDescriptor* locale = aItem.UsedLocaleDescriptor();
  if (!locale) return {0, 0};
  return {locale->Locale(), locale->Flags()};
}

template <class T>
T* parentAs(const TnxDictionaryItem& aItem) {
  return platform::objectAs<T>(aItem.ParentItem());
}

inline const nxString kEmpty;

// Without leading and trailing blanks and control characters.
inline nxString trimmed(const nxString& aText) {
  std::size_t first = 0, last = aText.size();
  while (first < last && aText[first] <= u' ') ++first;
  while (last > first && aText[last - 1] <= u' ') --last;
  return aText.substr(first, last - first);
}

}  // namespace nxft
