// Field mappers: conversion of one field's stored value into another field's
// stored value, for the pairs of field types that the 32 x 32 matrix serves.
//
// A mapper class decides everything once, when a mapping is set up
// (CreateMapper): the routine, code-page conversion, trimming, best fit or
// checking. The routine it hands out (TnxMappingMethod) then converts one
// value per call without type dispatch, lookup or, for numeric pairs,
// allocation. Routine results: 0 converted; 10002 the value cannot be
// represented under a checking routine (the routine then writes nothing,
// unless its class says otherwise); 1 there is no value to store (the
// mapping engine stores the default or NULL). Platform failures (a failed
// code-page conversion) are exceptions, never results.
//
// Registry: cells [source type][target type], each an ordered list of
// classes; CreateMapper asks the last registered class first. The cells are
// filled by the module start-up (nxsdFieldMapperInitialize) before engine
// threads run and are read-only afterwards, so lookups take no lock.
//
// Ownership: CreateMapper returns the mapper instance the routine is bound
// to, or nil when it is bound to the class; the caller frees the instance
// (platform::TObject::free) after its last call of the routine. An instance
// is read-only after set-up, but belongs to one mapping engine.
//
// Descriptor stream (tagged values): Ident class name, String SourceName,
// String TargetName, String action name ("dlaFail", "dlaNull",
// "dlaBestFit"), Integer 1, Boolean ApplyDefault.
#pragma once

#include <cstdint>
#include <span>

#include "nxllException.h"
#include "nxllRegisterableEngine.h"
#include "nxllStreams.h"
#include "nxsdDataDictionary.h"
#include "nxsdRecordMapperDescriptorBase.h"

class TnxAbstractCursor;
class TnxBaseFieldMapper;
class TnxFieldMapperDescriptor;

NX_DECLARE_EXCEPTION(EnxBaseFieldMapperException, EnxBaseException)
NX_DECLARE_EXCEPTION(EnxFieldMapperDescriptorException, EnxBaseRegisterableDescriptorException)

enum TnxDataLossAction : std::uint8_t { dlaFail, dlaNull, dlaBestFit };

// Result of a routine that found no value to store.
inline constexpr TnxResult nxMapNoValue = 1;

// A conversion routine and what it is bound to (a mapper instance, or the
// class metadata of a stateless mapper class). aSource addresses the source
// field's bytes in its record, aTarget the target field's.
using TnxMappingRoutine = TnxResult (*)(const void* aData, const void* aSource, void* aTarget);
struct TnxMappingMethod {
  TnxMappingRoutine Code = nullptr;
  const void* Data = nullptr;

  bool Assigned() const { return Code != nullptr; }
  void Clear() {
    Code = nullptr;
    Data = nullptr;
  }
  TnxResult operator()(const void* aSource, void* aTarget) const { return Code(Data, aSource, aTarget); }
};

// ---------------------------------------------------------------------------
// The field mapper descriptor

struct TnxFieldMapperDescriptorClassFuncs {
  TnxFieldMapperDescriptor* (*create)(const nxString& aSourceName, const nxString& aTargetName,
                                      TnxDataLossAction aDataLossAction);
};
template <class T>
inline constexpr TnxFieldMapperDescriptorClassFuncs nxFieldMapperDescriptorFuncs{
    [](const nxString& aSourceName, const nxString& aTargetName,
       TnxDataLossAction aDataLossAction) -> TnxFieldMapperDescriptor* {
      return platform::create<T>(aSourceName, aTargetName, aDataLossAction);
    }};

class TnxFieldMapperDescriptor : public TnxBaseRegisterableDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  TnxFieldMapperDescriptor(const nxString& aSourceName, const nxString& aTargetName,
                           TnxDataLossAction aDataLossAction);
  static TnxClassList& GetList();
  // Reads the class name and builds and loads a descriptor of that class:
  // 15499 for a class not registered in the family, 15498 for an own part
  // of another version or an unknown action name.
  static TnxFieldMapperDescriptor* CreateFromReader(TnxReader& aReader);
  void WriteToWriter(TnxWriter& aWriter, std::int32_t aClientVersion);

  virtual void InternalWriteToWriter(TnxWriter& aWriter, std::int32_t aClientVersion);
  virtual void InternalLoadFromReader(TnxReader& aReader);

  const nxString& SourceName() const { return bfcdSourceName; }
  void SetSourceName(const nxString& aValue) { bfcdSourceName = aValue; }
  const nxString& TargetName() const { return bfcdTargetName; }
  void SetTargetName(const nxString& aValue) { bfcdTargetName = aValue; }
  TnxDataLossAction DataLossAction() const { return bfcdDataLossAction; }
  void SetDataLossAction(TnxDataLossAction aValue) { bfcdDataLossAction = aValue; }
  bool ApplyDefault() const { return bfcdApplyDefault; }
  void SetApplyDefault(bool aValue) { bfcdApplyDefault = aValue; }

 private:
  nxString bfcdSourceName;
  nxString bfcdTargetName;
  TnxDataLossAction bfcdDataLossAction;
  bool bfcdApplyDefault = false;
};

// Best fit: a descriptor is given and its action is dlaBestFit.
inline bool nxIsBestFit(const TnxFieldMapperDescriptor* aMapperDesc) {
  return aMapperDesc && aMapperDesc->DataLossAction() == dlaBestFit;
}

// ---------------------------------------------------------------------------
// Mapper classes

// The per-class factory (class-level virtual operation). Contract: set
// nothing and answer nil for a pair the class does not serve; else set
// aMapper and answer the instance it is bound to (nil for class routines).
using TnxInternalCreateMapper = TnxBaseFieldMapper* (*)(TnxFieldDescriptor& aSourceField,
                                                         TnxAbstractCursor* aSourceCursor,
                                                         TnxFieldDescriptor& aTargetField,
                                                         TnxAbstractCursor* aTargetCursor,
                                                         const TnxFieldMapperDescriptor* aMapperDesc,
                                                         TnxMappingMethod& aMapper);
struct TnxFieldMapperClassFuncs {
  TnxInternalCreateMapper InternalCreateMapper;
};
template <class T>
inline constexpr TnxFieldMapperClassFuncs nxFieldMapperFuncs{&T::InternalCreateMapper};

class TnxBaseFieldMapper : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseFieldMapper() = default;

  // The base serves nothing.
  static TnxBaseFieldMapper* InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor* aSourceCursor,
                                                  TnxFieldDescriptor& aTargetField, TnxAbstractCursor* aTargetCursor,
                                                  const TnxFieldMapperDescriptor* aMapperDesc,
                                                  TnxMappingMethod& aMapper);

  // Asks the classes of the cell [source type][target type], last
  // registered first, until one sets aMapper. aMapper stays empty when none
  // accepts (nothing is raised). The cursors are handed to the factories.
  static TnxBaseFieldMapper* CreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor* aSourceCursor,
                                          TnxFieldDescriptor& aTargetField, TnxAbstractCursor* aTargetCursor,
                                          const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper);
  // By the descriptor's field names, looked up in the tables the two cursors
  // read: 10038 when either name is missing, before any factory is asked.
  static TnxBaseFieldMapper* CreateMapper(const TnxBaseTableDescriptor& aSourceTable,
                                          TnxAbstractCursor* aSourceCursor,
                                          const TnxBaseTableDescriptor& aTargetTable,
                                          TnxAbstractCursor* aTargetCursor,
                                          const TnxFieldMapperDescriptor& aMapperDesc, TnxMappingMethod& aMapper);
};

// Appends aClass (which must carry TnxFieldMapperClassFuncs) to the cell.
// No duplicate check. Module start-up only.
void RegisterFieldMapper(const platform::ClassInfo& aClass, TnxFieldType aSourceType, TnxFieldType aTargetType);
// Takes aClass out of every cell: the finalisation of a module that added
// classes to the matrix after this one started.
void UnregisterFieldMapper(const platform::ClassInfo& aClass);
// The classes of one cell in registration order (empty before start-up).
std::span<const platform::ClassInfo* const> nxFieldMapperCell(TnxFieldType aSourceType, TnxFieldType aTargetType);

// Module start-up (counted): starts the dictionary, registers the
// descriptor class, creates the matrix and makes the value mappers'
// registrations. Finalisation releases the cells and the descriptor family.
void nxsdFieldMapperInitialize();
void nxsdFieldMapperFinalize();
