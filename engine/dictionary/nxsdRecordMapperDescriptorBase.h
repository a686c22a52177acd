// The record mapper descriptor base: the family root of the descriptions of
// how the fields of one record are carried into another. The concrete
// mapping (field by field) is registered in this family by the mapping
// layer; this base only gives the family, the virtual constructor and the
// stream frame.
//
// Stream: WriteToWriter writes the class name as an Ident, then the class's
// own part (InternalWriteToWriter; the base part is Integer 1).
// CreateFromReader reads the Ident, looks the class up in the family's
// registry (15499 when unknown) and loads a new instance (freed again when
// the load fails). Duplicate copies through a memory stream at client
// version 47501.
//
// Not dictionary items: no parent, no ID, no read-only check. Not locked.
#pragma once

#include "nxsdDataDictionary.h"

NX_DECLARE_EXCEPTION(EnxBaseRegisterableDescriptorException, EnxBaseException)
NX_DECLARE_EXCEPTION(EnxBaseRecordMapperDescriptorException, EnxBaseRegisterableDescriptorException)

class TnxBaseRecordMapperDescriptor;
// Class-level virtual constructor of the family.
struct TnxRecordMapperDescriptorClassFuncs {
  TnxBaseRecordMapperDescriptor* (*create)();
};
template <class T>
inline constexpr TnxRecordMapperDescriptorClassFuncs nxRecordMapperDescriptorFuncs{
    []() -> TnxBaseRecordMapperDescriptor* { return platform::create<T>(); }};

class TnxBaseRecordMapperDescriptor : public TnxBaseRegisterableDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseRecordMapperDescriptor() = default;
  static TnxClassList& GetList();
  // A new instance of aClass (which must carry the family's table); other
  // classes: 15499.
  static TnxBaseRecordMapperDescriptor* CreateOfClass(const platform::ClassInfo& aClass);
  static TnxBaseRecordMapperDescriptor* CreateFromReader(TnxReader& aReader);

  void WriteToWriter(TnxWriter& aWriter, std::int32_t aClientVersion);
  // A new instance of the same class with the same content; the caller owns it.
  TnxBaseRecordMapperDescriptor* Duplicate();

  virtual void InternalWriteToWriter(TnxWriter& aWriter, std::int32_t aClientVersion);
  virtual void InternalLoadFromReader(TnxReader& aReader);
};

// Entries of the dictionary's start-up table: nothing is registered here;
// the unregister entry frees the family's registry.
void nxsdRecordMapperDescriptorBaseRegister();
void nxsdRecordMapperDescriptorBaseUnregister();
