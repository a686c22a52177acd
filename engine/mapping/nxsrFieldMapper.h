// Field and record mapper engines, and the record and table mapper
// descriptors: copying records between tables of different dictionaries.
//
// A field mapper engine carries one TnxFieldMapperDescriptor between two open
// cursors: per record it writes the target field from the source field,
// applies the target field's default where the mapping yields no value,
// reacts to data loss as the descriptor's action says, and then lets the
// special engine of the target field's type finish (the auto-increment
// engine keeps the target counter in step). A record mapper engine holds one
// field mapper engine per target field.
//
// Calling order of one copy run: CreateFor; BeforeFirstRecord; per record
// InitRecord of the target buffer and MapRecord (or MapField per engine);
// BeforeCommit; free. Everything is decided at construction; MapField tests
// a null bit, calls the conversion with precomputed offsets and touches the
// special engine when there is one.
//
// Errors: construction raises (15503 unknown engine class, 10038 field not in
// a dictionary, 10002 no mapper for the pair) before any record is touched.
// MapField/MapRecord never raise for data loss: they answer 10002 after
// storing an annotated pending message (field texts, source value, source
// table and key) for that code; the exception the caller raises for it shows
// the message.
//
// Record mapper descriptor stream (tagged values): Ident class name, Integer 1,
// list of field mapper descriptors (each in its own stream form), Boolean
// ApplyDefaultForUnmapped. Table mapper descriptor: Ident class name, the base
// table mapping's part, then Integer 1.
//
// Ownership: engines own their mapper instance, default-value engine and
// special engine; a record mapper engine owns its field mapper engines and
// the descriptors it made for unmapped fields; a record mapper descriptor
// owns its field mapper descriptors. The cursors outlive the engines.
// Thread safety: an engine belongs to its copy run's thread. The registries
// and the special mapper table are written only by module start-up and
// finalisation.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "nxllOwners.h"
#include "nxsdDefaultValueEngine.h"
#include "nxsdFieldMapper.h"
#include "nxsdTableMapperDescriptorBase.h"

class TnxServerBaseCursor;
class TnxBaseFieldMapperEngine;
class TnxBaseRecordMapperEngine;

NX_DECLARE_EXCEPTION(EnxBaseFieldMapperEngineException, EnxBaseRegisterableEngineException)
NX_DECLARE_EXCEPTION(EnxFieldMapperEngineException, EnxBaseFieldMapperEngineException)
NX_DECLARE_EXCEPTION(EnxRecordMapperDescriptorException, EnxBaseRecordMapperDescriptorException)
NX_DECLARE_EXCEPTION(EnxTableMapperDescriptorException, EnxBaseTableMapperDescriptorException)
NX_DECLARE_EXCEPTION(EnxBaseRecordMapperEngineException, EnxBaseRegisterableEngineException)

// Case-insensitive comparison in which only 'a'..'z' fold onto 'A'..'Z'; all
// other characters compare by code unit.
int nxCompareTextAscii(const nxString& a, const nxString& b);

// ---------------------------------------------------------------------------
// Field mapper engines

// Class-level virtual constructor of the field-mapper-engine family.
struct TnxFieldMapperEngineClassFuncs {
  TnxBaseFieldMapperEngine* (*create)(TnxFieldMapperDescriptor* aDescriptor, TnxAbstractCursor* aSourceCursor,
                                      TnxAbstractCursor* aTargetCursor);
};
template <class T>
inline constexpr TnxFieldMapperEngineClassFuncs nxFieldMapperEngineFuncs{
    [](TnxFieldMapperDescriptor* aDescriptor, TnxAbstractCursor* aSourceCursor,
       TnxAbstractCursor* aTargetCursor) -> TnxBaseFieldMapperEngine* {
      return platform::create<T>(aDescriptor, aSourceCursor, aTargetCursor);
    }};

class TnxBaseFieldMapperEngine : public TnxBaseRegisterableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseFieldMapperEngine() = default;
  TnxBaseFieldMapperEngine(const TnxBaseFieldMapperEngine&) = delete;
  TnxBaseFieldMapperEngine& operator=(const TnxBaseFieldMapperEngine&) = delete;
  static TnxClassList& GetList();

  // The engine of the descriptor's class ("Descriptor" -> "Engine"); the
  // caller owns it. Unknown: 15503 'Unknown FieldMapper engine: "<name>"'.
  static TnxBaseFieldMapperEngine* CreateFor(TnxFieldMapperDescriptor* aDescriptor, TnxAbstractCursor* aSourceCursor,
                                             TnxAbstractCursor* aTargetCursor);

  // The special engine table: one class per target field type.
  static bool HasSpecialMapper(TnxFieldType aFieldType);
  // Another class already there raises (no code); the same class is a no-op.
  static void RegisterSpecialMapper(const platform::ClassInfo& aClass, TnxFieldType aFieldType);
  static void UnregisterSpecialMapper(const platform::ClassInfo& aClass, TnxFieldType aFieldType);
  // Nil when the type has none.
  static TnxBaseFieldMapperEngine* CreateSpecialMapper(TnxFieldType aFieldType, TnxFieldMapperDescriptor* aDescriptor,
                                                       TnxAbstractCursor* aSourceCursor,
                                                       TnxAbstractCursor* aTargetCursor);

  virtual void BeforeFirstRecord() = 0;
  virtual void BeforeCommit() = 0;
  // aSource and aTarget are whole record buffers.
  virtual TnxResult MapField(const void* aSource, void* aTarget) = 0;
};

class TnxFieldMapperEngine : public TnxBaseFieldMapperEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxFieldMapperEngine(TnxFieldMapperDescriptor* aDescriptor, TnxAbstractCursor* aSourceCursor,
                       TnxAbstractCursor* aTargetCursor);

  void BeforeFirstRecord() override;
  void BeforeCommit() override;
  TnxResult MapField(const void* aSource, void* aTarget) override;
  // 10002: the pending message gains the field texts and the source value.
  // Other codes pass unchanged.
  virtual TnxResult AnnotateError(TnxResult aErrorCode, const void* aSource);

 private:
  void ApplyDefault(void* aTarget);
  nxString SourceValueText(const void* aSource);

  TnxFieldsDescriptor* fmeSourceFieldsDescriptor = nullptr;
  TnxFieldDescriptor* fmeSourceFieldDesc = nullptr;
  std::int32_t fmeSourceFieldNumber = -1;
  std::int32_t fmeSourceFieldOffset = 0;
  TnxFieldsDescriptor* fmeTargetFieldsDescriptor = nullptr;
  TnxFieldDescriptor* fmeTargetFieldDesc = nullptr;
  std::int32_t fmeTargetFieldNumber = -1;
  std::int32_t fmeTargetFieldOffset = 0;
  TnxDataLossAction fmeDataLossAction = dlaFail;
  TnxMappingMethod fmeFieldMapperMethod;
  TnxOwned<TnxBaseFieldMapper> fmeFieldMapper;
  TnxOwned<TnxBaseDefaultValueEngine> fmeDefaultValueEngine;
  TnxOwned<TnxBaseFieldMapperEngine> fmeSpecialMapperEngine;
};

// Keeps the target table's auto-increment counter at least at the source's
// counter and every value copied; NULLs get fresh numbers when the
// descriptor's ApplyDefault is set. Reached only through the special table.
class TnxFieldMapperEngineAutoInc : public TnxBaseFieldMapperEngine {
  PL_CLASS_INFO_DECL()
 public:
  // Both cursors must be server cursors ("Invalid class typecast" otherwise).
  TnxFieldMapperEngineAutoInc(TnxFieldMapperDescriptor* aDescriptor, TnxAbstractCursor* aSourceCursor,
                              TnxAbstractCursor* aTargetCursor);

  void BeforeFirstRecord() override;
  void BeforeCommit() override;
  TnxResult MapField(const void* aSource, void* aTarget) override;

  std::uint32_t HighAutoInc() const { return fmeaHighAutoInc; }

 private:
  TnxServerBaseCursor* fmeaSourceCursor = nullptr;
  TnxServerBaseCursor* fmeaTargetCursor = nullptr;
  TnxFieldsDescriptor* fmeaTargetFieldsDescriptor = nullptr;
  std::int32_t fmeaTargetFieldNumber = -1;
  bool fmeaApplyToNull = false;
  std::uint32_t fmeaHighAutoInc = 0;
};

// ---------------------------------------------------------------------------
// Record and table mapper descriptors

class TnxRecordMapperDescriptor : public TnxBaseRecordMapperDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  TnxRecordMapperDescriptor() = default;
  ~TnxRecordMapperDescriptor() override;
  TnxRecordMapperDescriptor(const TnxRecordMapperDescriptor&) = delete;
  TnxRecordMapperDescriptor& operator=(const TnxRecordMapperDescriptor&) = delete;

  // aDescriptorClass nil: TnxFieldMapperDescriptor. A target name already
  // mapped (case ignored) raises the sorted list's duplicate error and
  // changes nothing. The descriptor stays owned here.
  TnxFieldMapperDescriptor* AddMapping(const nxString& aSourceName, const nxString& aTargetName,
                                       const platform::ClassInfo* aDescriptorClass,
                                       TnxDataLossAction aDataLossAction);
  // The next three raise the list's index error for a name not mapped.
  void DeleteMapping(const nxString& aTargetName);
  TnxFieldMapperDescriptor* UpdateSourceName(const nxString& aTargetName, const nxString& aNewSourceName);
  TnxFieldMapperDescriptor* UpdateTargetName(const nxString& aOldTargetName, const nxString& aNewTargetName);
  // -1 when not mapped.
  std::int32_t FieldMapperIndexOf(const nxString& aTargetName) const;
  TnxFieldMapperDescriptor* FieldMapper(std::int32_t aInx) const { return rmdGetMapper(aInx); }
  TnxFieldMapperDescriptor* rmdGetMapper(std::int32_t aInx) const;
  std::int32_t FieldMapperCount() const { return static_cast<std::int32_t>(rmdFieldMapperDescriptors.size()); }
  bool ApplyDefaultForUnmapped() const { return rmdApplyDefaultForUnmapped; }
  void SetApplyDefaultForUnmapped(bool aValue) { rmdApplyDefaultForUnmapped = aValue; }
  void Clear();

  // Source = old field, target = new field, for every name in both (ASCII
  // case folding only).
  void MapAllFieldsByName(TnxFieldsDescriptor* aOldFields, TnxFieldsDescriptor* aNewFields,
                          TnxDataLossAction aDataLossAction);
  // Positions 0.. while both have a field there.
  void MapAllFieldsByPosition(TnxFieldsDescriptor* aOldFields, TnxFieldsDescriptor* aNewFields,
                              TnxDataLossAction aDataLossAction);

  void InternalWriteToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void InternalLoadFromReader(TnxReader& aReader) override;

 protected:
  void beforeDestruction() override;

 private:
  struct Entry {
    nxString name;
    TnxFieldMapperDescriptor* descriptor;  // owned
  };
  // Sorted by name (ASCII case folding); the position of aName or where it
  // would go.
  std::size_t LowerBound(const nxString& aName) const;
  std::size_t IndexOrRaise(const nxString& aName) const;
  void Insert(const nxString& aName, TnxFieldMapperDescriptor* aDescriptor);

  std::vector<Entry> rmdFieldMapperDescriptors;
  bool rmdApplyDefaultForUnmapped = true;
};

class TnxTableMapperDescriptor : public TnxBaseTableMapperDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  TnxTableMapperDescriptor() = default;

  // A record mapping by name for this level and, recursively, a nested
  // table mapping for each nested table present on both sides.
  void MapAllTablesAndFieldsByName(TnxBaseTableDescriptor* aOldTable, TnxBaseTableDescriptor* aNewTable,
                                   TnxDataLossAction aDataLossAction);

  void InternalWriteToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void InternalLoadFromReader(TnxReader& aReader) override;
};

// ---------------------------------------------------------------------------
// Record mapper engines

struct TnxRecordMapperEngineClassFuncs {
  TnxBaseRecordMapperEngine* (*create)(TnxBaseRecordMapperDescriptor* aDescriptor, TnxAbstractCursor* aSourceCursor,
                                       TnxAbstractCursor* aTargetCursor);
};
template <class T>
inline constexpr TnxRecordMapperEngineClassFuncs nxRecordMapperEngineFuncs{
    [](TnxBaseRecordMapperDescriptor* aDescriptor, TnxAbstractCursor* aSourceCursor,
       TnxAbstractCursor* aTargetCursor) -> TnxBaseRecordMapperEngine* {
      return platform::create<T>(aDescriptor, aSourceCursor, aTargetCursor);
    }};

class TnxBaseRecordMapperEngine : public TnxBaseRegisterableEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseRecordMapperEngine() = default;
  TnxBaseRecordMapperEngine(const TnxBaseRecordMapperEngine&) = delete;
  TnxBaseRecordMapperEngine& operator=(const TnxBaseRecordMapperEngine&) = delete;
  static TnxClassList& GetList();
  // Unknown: 15503 'Unknown RecordMapper engine: "<name>"'. Caller owns.
  static TnxBaseRecordMapperEngine* CreateFor(TnxBaseRecordMapperDescriptor* aDescriptor,
                                              TnxAbstractCursor* aSourceCursor, TnxAbstractCursor* aTargetCursor);

  virtual void BeforeFirstRecord() = 0;
  virtual void BeforeCommit() = 0;
  virtual TnxResult MapRecord(const void* aSource, void* aTarget) = 0;
};

class TnxRecordMapperEngine : public TnxBaseRecordMapperEngine {
  PL_CLASS_INFO_DECL()
 public:
  // aDescriptor must be a TnxRecordMapperDescriptor.
  TnxRecordMapperEngine(TnxBaseRecordMapperDescriptor* aDescriptor, TnxAbstractCursor* aSourceCursor,
                        TnxAbstractCursor* aTargetCursor);

  void BeforeFirstRecord() override;
  void BeforeCommit() override;
  // Stops at the first field that fails; later fields stay as prepared.
  TnxResult MapRecord(const void* aSource, void* aTarget) override;
  // Adds the source table and, when it has a unique key, the record's key.
  virtual TnxResult AnnotateError(TnxResult aErrorCode, const void* aSource);

  std::int32_t FieldMapperCount() const { return static_cast<std::int32_t>(rmeFieldMapper.size()); }

 private:
  TnxAbstractCursor* rmeSourceCursor = nullptr;
  std::vector<TnxOwned<TnxBaseFieldMapperEngine>> rmeFieldMapper;
  std::vector<TnxOwned<TnxFieldMapperDescriptor>> rmeFieldMapperDescriptors;
};

// Module start-up and finalisation (counted): starts the field mappers,
// registers the descriptor and engine classes and the auto-increment
// special engine.
void nxsrFieldMapperInitialize();
void nxsrFieldMapperFinalize();
