#include "nxsqlBaseVariantList.h"

#include "nxllException.h"

PL_CLASS_INFO_IMPL(TnxVariantList, TnxInterfacedObject, "TnxVariantList", nullptr)
PL_CLASS_INFO_IMPL(TnxTypedVariantList, TnxVariantList, "TnxTypedVariantList", nullptr)

TnxVariantList::TnxVariantList(std::int32_t aCapacity) {
  nxAssert(aCapacity >= 0, "negative variant list capacity");
  List.resize(std::size_t(aCapacity));
}

TnxVariantList::~TnxVariantList() = default;

const TnxInterfaceEntry* TnxVariantList::interfaceTable() const {
  static const TnxInterfaceEntry table[] = {
      {&InxVariantListSimple::IID,
       [](TnxInterfacedObject* o) -> InxInterface* {
         return static_cast<InxVariantListSimple*>(static_cast<TnxVariantList*>(o));
       }},
      {&InxVariantList::IID,
       [](TnxInterfacedObject* o) -> InxInterface* {
         return static_cast<InxVariantList*>(static_cast<TnxVariantList*>(o));
       }},
      {nullptr, nullptr},
  };
  return table;
}

const TnxInterfaceEntry* TnxTypedVariantList::interfaceTable() const {
  static const TnxInterfaceEntry table[] = {
      {&InxTypedVariantList::IID,
       [](TnxInterfacedObject* o) -> InxInterface* {
         return static_cast<InxTypedVariantList*>(static_cast<TnxTypedVariantList*>(o));
       }},
      {nullptr, nullptr},
  };
  return table;
}

std::int32_t TnxTypedVariantList::queryParentInterface(const platform::Guid& aIID, void** aObj) {
  for (const TnxInterfaceEntry* e = TnxVariantList::interfaceTable(); e->ieIID; ++e)
    if (*e->ieIID == aIID) {
      InxInterface* intf = e->ieGet(this);
      intf->AddRef();
      *aObj = intf;
      return nxS_OK;
    }
  return TnxVariantList::queryParentInterface(aIID, aObj);
}

TVariantListEntry& TnxVariantList::Entry(std::int32_t aIndex) {
  nxAssert(aIndex >= 0 && aIndex < GetCount(), "variant list index out of range");
  auto& slot = List[std::size_t(aIndex)];
  if (!slot) slot = std::make_unique<TVariantListEntry>();
  return *slot;
}

TVariantListEntry& TnxVariantList::ExistingEntry(std::int32_t aIndex) {
  nxAssert(aIndex >= 0 && aIndex < GetCount() && List[std::size_t(aIndex)], "variant list entry missing");
  return *List[std::size_t(aIndex)];
}

platform::Variant TnxVariantList::GetValueFast(std::int32_t Index) { return ExistingEntry(Index).V; }

std::int32_t TnxVariantList::GetValue(std::int32_t Index, platform::Variant& aValue) {
  if (Index < 0 || Index >= GetCount() || !List[std::size_t(Index)]) return nxE_UNEXPECTED;
  aValue = List[std::size_t(Index)]->V;
  return nxS_OK;
}

std::int32_t TnxVariantList::GetValue(std::int32_t Index, TnxLocaleDescriptor*& aLocale, platform::Variant& aValue) {
  if (Index < 0 || Index >= GetCount() || !List[std::size_t(Index)]) {
    aLocale = nullptr;
    aValue = platform::Variant::null();
    return nxS_OK;
  }
  const TVariantListEntry& e = *List[std::size_t(Index)];
  aLocale = e.LocaleDesc;
  aValue = e.V;
  return nxS_OK;
}

platform::Variant* TnxVariantList::GetValuePtr(std::int32_t Index) {
  if (Index < 0 || Index >= GetCount() || !List[std::size_t(Index)]) return nullptr;
  return &List[std::size_t(Index)]->V;
}

TnxLocaleDescriptor* TnxVariantList::GetLocale(std::int32_t Index) { return ExistingEntry(Index).LocaleDesc; }

void TnxVariantList::SetValue(std::int32_t aIndex, const platform::Variant& aValue,
                              TnxLocaleDescriptor* aLocaleDesc) {
  TVariantListEntry& e = Entry(aIndex);
  e.V = aValue;
  e.LocaleDesc = aLocaleDesc;
}

void TnxVariantList::SetValue(std::int32_t aIndex, const platform::Variant& aValue) { Entry(aIndex).V = aValue; }

void TnxVariantList::SetValue(std::int32_t aIndex, const platform::Variant& aValue, TnxLocaleDescriptor* aLocaleDesc,
                              TnxFieldType aFieldType, std::int32_t aSize) {
  TVariantListEntry& e = Entry(aIndex);
  e.V = aValue;
  e.LocaleDesc = aLocaleDesc;
  e.ValueType = aFieldType;
  e.ValueSize = aSize;
}

TnxFieldType TnxVariantList::GetType(std::int32_t Index) { return ExistingEntry(Index).ValueType; }

void TnxVariantList::SetValueOnly(std::int32_t aIndex, const platform::Variant& aValue) {
  ExistingEntry(aIndex).V = aValue;
}

void nxNewVariantList(std::int32_t Capacity, TnxIntfPtr<InxVariantList>& aList) {
  TnxVariantList* list = platform::create<TnxVariantList>(Capacity);
  aList = TnxIntfPtr<InxVariantList>(static_cast<InxVariantList*>(list));
}

void nxNewTypedVariantList(std::int32_t Capacity, TnxIntfPtr<InxTypedVariantList>& aList) {
  TnxTypedVariantList* list = platform::create<TnxTypedVariantList>(Capacity);
  aList = TnxIntfPtr<InxTypedVariantList>(static_cast<InxTypedVariantList*>(list));
}
