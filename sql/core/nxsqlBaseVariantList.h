// Variant lists: fixed-size, reference-counted arrays of values, each with an
// optional locale descriptor and, in the typed form, a field type and size.
// Parameters, locals and call arguments travel in them.
//
// Entries are allocated the first time their position is written and stay
// absent until then. The capacity never changes. Locale descriptors are not
// owned. Only the two GetValue forms turn failures into result codes; every
// other operation requires a valid index (and, where said, an allocated
// entry) and fails an assertion otherwise.
//
// Thread safety: references may be taken and dropped on any thread; the
// values are used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "nxllBase.h"
#include "nxsdTypes.h"
#include "plVariant.h"

class TnxLocaleDescriptor;

// The failure code of an interface call.
inline constexpr std::int32_t nxE_UNEXPECTED = std::int32_t(0x8000FFFFu);

class InxVariantListSimple : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x5B0C2E71, 0x3A44, 0x4D2E, {0x9E, 0x31, 0x6A, 0x0B, 0x51, 0x7C, 0x22, 0x01}};
  // 0 and a copy of the value; nxE_UNEXPECTED for an absent entry or a bad index.
  virtual std::int32_t GetValue(std::int32_t Index, platform::Variant& aValue) = 0;

 protected:
  ~InxVariantListSimple() = default;
};

class InxVariantList : public InxVariantListSimple {
 public:
  static constexpr platform::Guid IID{0x5B0C2E71, 0x3A44, 0x4D2E, {0x9E, 0x31, 0x6A, 0x0B, 0x51, 0x7C, 0x22, 0x02}};
  using InxVariantListSimple::GetValue;
  virtual std::int32_t GetCount() = 0;
  // REQUIRES: the entry exists.
  virtual platform::Variant GetValueFast(std::int32_t Index) = 0;
  // 0 always: an index beyond the count or an absent entry gives NULL and nil.
  virtual std::int32_t GetValue(std::int32_t Index, TnxLocaleDescriptor*& aLocale, platform::Variant& aValue) = 0;
  // Null for an index beyond the count or an absent entry.
  virtual platform::Variant* GetValuePtr(std::int32_t Index) = 0;
  // REQUIRES: the entry exists.
  virtual TnxLocaleDescriptor* GetLocale(std::int32_t Index) = 0;
  virtual void SetValue(std::int32_t aIndex, const platform::Variant& aValue, TnxLocaleDescriptor* aLocaleDesc) = 0;
  // Keeps the entry's locale.
  virtual void SetValue(std::int32_t aIndex, const platform::Variant& aValue) = 0;

 protected:
  ~InxVariantList() = default;
};

class InxTypedVariantList : public InxVariantList {
 public:
  static constexpr platform::Guid IID{0x5B0C2E71, 0x3A44, 0x4D2E, {0x9E, 0x31, 0x6A, 0x0B, 0x51, 0x7C, 0x22, 0x03}};
  using InxVariantList::SetValue;
  virtual void SetValue(std::int32_t aIndex, const platform::Variant& aValue, TnxLocaleDescriptor* aLocaleDesc,
                        TnxFieldType aFieldType, std::int32_t aSize) = 0;
  // REQUIRES: the entry exists.
  virtual TnxFieldType GetType(std::int32_t Index) = 0;
  // Replaces the value of an existing entry, keeping type, size and locale.
  virtual void SetValueOnly(std::int32_t aIndex, const platform::Variant& aValue) = 0;

 protected:
  ~InxTypedVariantList() = default;
};

struct TVariantListEntry {
  platform::Variant V;
  TnxLocaleDescriptor* LocaleDesc = nullptr;
  TnxFieldType ValueType = nxtBoolean;
  std::int32_t ValueSize = 0;
};

// Both list classes implement every operation here; the typed interface is
// answered only by TnxTypedVariantList.
class TnxVariantList : public TnxInterfacedObject, public InxTypedVariantList {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxVariantList(std::int32_t aCapacity);
  ~TnxVariantList() override;

  NX_INTERFACED_OBJECT_BASICS()

  std::int32_t GetCount() override { return std::int32_t(List.size()); }
  platform::Variant GetValueFast(std::int32_t Index) override;
  std::int32_t GetValue(std::int32_t Index, platform::Variant& aValue) override;
  std::int32_t GetValue(std::int32_t Index, TnxLocaleDescriptor*& aLocale, platform::Variant& aValue) override;
  platform::Variant* GetValuePtr(std::int32_t Index) override;
  TnxLocaleDescriptor* GetLocale(std::int32_t Index) override;
  void SetValue(std::int32_t aIndex, const platform::Variant& aValue, TnxLocaleDescriptor* aLocaleDesc) override;
  void SetValue(std::int32_t aIndex, const platform::Variant& aValue) override;
  void SetValue(std::int32_t aIndex, const platform::Variant& aValue, TnxLocaleDescriptor* aLocaleDesc,
                TnxFieldType aFieldType, std::int32_t aSize) override;
  TnxFieldType GetType(std::int32_t Index) override;
  void SetValueOnly(std::int32_t aIndex, const platform::Variant& aValue) override;

 protected:
  const TnxInterfaceEntry* interfaceTable() const override;
  TVariantListEntry& Entry(std::int32_t aIndex);          // allocated on demand
  TVariantListEntry& ExistingEntry(std::int32_t aIndex);  // asserted present

  std::vector<std::unique_ptr<TVariantListEntry>> List;
};

class TnxTypedVariantList : public TnxVariantList {
  PL_CLASS_INFO_DECL()
 public:
  using TnxVariantList::TnxVariantList;

 protected:
  const TnxInterfaceEntry* interfaceTable() const override;
  // The plain list's interfaces.
  std::int32_t queryParentInterface(const platform::Guid& aIID, void** aObj) override;
};

void nxNewVariantList(std::int32_t Capacity, TnxIntfPtr<InxVariantList>& aList);
void nxNewTypedVariantList(std::int32_t Capacity, TnxIntfPtr<InxTypedVariantList>& aList);
