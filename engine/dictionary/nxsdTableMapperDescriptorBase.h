// The table mapper descriptor base: a tree of table mappings, one per table
// level, each with the name of its source table level, where its rows go
// (MapTo) and an optional record mapping. A new mapping has Name "." and
// MapTo "."; the root keeps the name ".". An empty MapTo is read as "."; a
// MapTo beginning with "." is relative to the mapping's own table path.
//
// Ownership: a mapping owns its record mapping and its nested mappings;
// Clear and destruction free them.
//
// Stream of a mapping's own part (tagged values): Integer 1, String Name,
// String MapTo, Boolean with-record-mapping [record mapping as by its
// WriteToWriter], Integer nested count, then each nested mapping as by
// WriteToWriter (Ident class name, own part). Reading checks the version
// (15498), the count (15498 when negative; a large one ends with the
// stream) and every class name (15499).
//
// Not dictionary items: no parent item, no ID, no read-only check. Not locked.
#pragma once

#include <vector>

#include "nxsdRecordMapperDescriptorBase.h"

NX_DECLARE_EXCEPTION(EnxBaseTableMapperDescriptorException, EnxBaseRegisterableDescriptorException)

class TnxBaseTableMapperDescriptor;
struct TnxTableMapperDescriptorClassFuncs {
  TnxBaseTableMapperDescriptor* (*create)();
};
template <class T>
inline constexpr TnxTableMapperDescriptorClassFuncs nxTableMapperDescriptorFuncs{
    []() -> TnxBaseTableMapperDescriptor* { return platform::create<T>(); }};

class TnxBaseTableMapperDescriptor : public TnxBaseRegisterableDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseTableMapperDescriptor() = default;
  ~TnxBaseTableMapperDescriptor() override;
  TnxBaseTableMapperDescriptor(const TnxBaseTableMapperDescriptor&) = delete;
  TnxBaseTableMapperDescriptor& operator=(const TnxBaseTableMapperDescriptor&) = delete;
  static TnxClassList& GetList();
  static TnxBaseTableMapperDescriptor* CreateOfClass(const platform::ClassInfo& aClass);
  static TnxBaseTableMapperDescriptor* CreateFromReader(TnxReader& aReader);

  TnxBaseTableMapperDescriptor* Parent() const { return btmdParent; }
  const nxString& Name() const { return btmdName; }
  const nxString& MapTo() const { return btmdMapTo; }
  void SetMapTo(const nxString& aValue) { btmdMapTo = aValue; }
  std::int32_t TableCount() const { return static_cast<std::int32_t>(TableDescriptor.size()); }
  TnxBaseTableMapperDescriptor* Tables(std::int32_t aIndex) const {
    return TableDescriptor.at(static_cast<std::size_t>(aIndex));
  }
  TnxBaseRecordMapperDescriptor* RecordMapper() const { return RecordMapper_; }

  // 10009 "Duplicated table name: %s" when a nested mapping has aName
  // (case ignored); aClass nil: TnxBaseTableMapperDescriptor.
  TnxBaseTableMapperDescriptor* AddTable(const nxString& aName, const platform::ClassInfo* aClass = nullptr);
  void RemoveTable(std::int32_t aInx);
  void RemoveTable(const nxString& aName);
  // -1 when absent.
  std::int32_t GetTableIndexFromName(const nxString& aName) const;
  // 10024 when absent.
  TnxBaseTableMapperDescriptor* GetTableDescriptorFromName(const nxString& aName) const;
  // Replaces the record mapping by a new one of aClass.
  TnxBaseRecordMapperDescriptor* AddRecordMapper(const platform::ClassInfo& aClass);
  void RemoveRecordMapper();
  void Clear();

  void WriteToWriter(TnxWriter& aWriter, std::int32_t aClientVersion);
  TnxBaseTableMapperDescriptor* Duplicate();

  virtual void InternalWriteToWriter(TnxWriter& aWriter, std::int32_t aClientVersion);
  virtual void InternalLoadFromReader(TnxReader& aReader);

 protected:
  void beforeDestruction() override;

 private:
  TnxBaseTableMapperDescriptor* btmdParent = nullptr;
  nxString btmdName = u".";
  nxString btmdMapTo = u".";
  std::vector<TnxBaseTableMapperDescriptor*> TableDescriptor;  // owned
  TnxBaseRecordMapperDescriptor* RecordMapper_ = nullptr;     // owned
};

void nxsdTableMapperDescriptorBaseRegister();
void nxsdTableMapperDescriptorBaseUnregister();
