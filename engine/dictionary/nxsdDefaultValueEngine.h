// Default-value engines: each produces the default of one field into a
// record buffer, and the handler that a cursor or dataset keeps per table and
// side (server, client) to apply them on insert and modify.
//
// Registration: the engine classes live in their own family
// (TnxBaseDefaultValueEngine::GetList), each with a
// TnxDefaultValueEngineClassFuncs table. CreateFor finds the engine of a
// descriptor by the descriptor's class name with "Descriptor" replaced by
// "Engine" and caches the class in the descriptor (an atomic pointer, since
// read-only dictionaries are shared between threads).
//
// Ownership: a handler owns its engines; engines keep their descriptor and
// cursor without owning them, so both must outlive the handler.
// Thread safety: a handler and its engines belong to one cursor or dataset
// and run under its serialization; engines hold no lock. Clock and GUID are
// read at every call.
#pragma once

#include <cstdint>
#include <vector>

#include "nxllOwners.h"
#include "nxllRegisterableEngine.h"
#include "nxsdDataDictionary.h"

class TnxAbstractCursor;  // nxsdServerEngine.h
class TnxBaseDefaultValueEngine;

NX_DECLARE_EXCEPTION(EnxBaseDefaultValueEngineException, EnxBaseException)

struct TnxDefaultValueEngineClassFuncs {
  // The class-level InstantiateFor: a new engine, or nil when the class
  // makes none for the descriptor.
  TnxBaseDefaultValueEngine* (*instantiateFor)(TnxBaseDefaultValueDescriptor* aDescriptor,
                                               TnxAbstractCursor* aCursor);
};
template <class T>
inline constexpr TnxDefaultValueEngineClassFuncs nxDefaultValueEngineFuncs{&T::template InstantiateFor<T>};

class TnxBaseDefaultValueEngine : public TnxBaseRegisterableEngine {
  PL_CLASS_INFO_DECL()
 public:
  // aCursor is ignored here; aDescriptor's field must exist (8712 otherwise).
  TnxBaseDefaultValueEngine(TnxBaseDefaultValueDescriptor* aDescriptor, TnxAbstractCursor* aCursor);
  static TnxClassList& GetList();

  // The engine for aDescriptor, nil when its class makes none. An unknown
  // class raises 15503 "Unknown DefaultValue engine: "<name>"".
  static TnxBaseDefaultValueEngine* CreateFor(TnxBaseDefaultValueDescriptor* aDescriptor, TnxAbstractCursor* aCursor);
  // An engine of aClass (which must carry the family's table, 15503
  // otherwise) through its class-level InstantiateFor.
  static TnxBaseDefaultValueEngine* InstantiateFor(const platform::ClassInfo& aClass,
                                                   TnxBaseDefaultValueDescriptor* aDescriptor,
                                                   TnxAbstractCursor* aCursor);
  template <class T>
  static TnxBaseDefaultValueEngine* InstantiateFor(TnxBaseDefaultValueDescriptor* aDescriptor,
                                                   TnxAbstractCursor* aCursor) {
    return platform::create<T>(aDescriptor, aCursor);
  }

  TnxBaseDefaultValueDescriptor* Descriptor() const { return bdceDescriptor; }
  TnxFieldDescriptor* FieldDescriptor() const { return bdceFieldDescriptor; }

  // Writes the default into the field's bytes (aFieldValue points at them in
  // a record buffer). True: a value was written (the field is not NULL);
  // False: none could be made (the field is NULL).
  virtual bool SetDefaultValue(void* aFieldValue) = 0;

 protected:
  TnxBaseDefaultValueDescriptor* bdceDescriptor = nullptr;
  TnxFieldDescriptor* bdceFieldDescriptor = nullptr;
};

class TnxCursorDefaultValueEngine : public TnxBaseDefaultValueEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxCursorDefaultValueEngine(TnxBaseDefaultValueDescriptor* aDescriptor, TnxAbstractCursor* aCursor);
  TnxAbstractCursor* Cursor() const { return cdceCursor; }

 protected:
  TnxAbstractCursor* cdceCursor = nullptr;
};

// The constant's stored bytes.
class TnxConstDefaultValueEngine : public TnxBaseDefaultValueEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseDefaultValueEngine::TnxBaseDefaultValueEngine;
  bool SetDefaultValue(void* aFieldValue) override;
};

// nxtDate: the day number counted from 0001-01-01 = 1; nxtTime: milliseconds
// of the day; nxtDateTime: milliseconds from the start of day 0 as a double;
// other types are left alone. Local time of the runtime layer's clock.
class TnxCurrentDateTimeDefaultValueEngine : public TnxBaseDefaultValueEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseDefaultValueEngine::TnxBaseDefaultValueEngine;
  bool SetDefaultValue(void* aFieldValue) override;
};

// The user name of the cursor's session, converted once at construction into
// the field's format; a later change of the session's user is not seen.
// Without a cursor the name is empty.
class TnxCurrentUserDefaultValueEngine : public TnxBaseDefaultValueEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxCurrentUserDefaultValueEngine(TnxBaseDefaultValueDescriptor* aDescriptor, TnxAbstractCursor* aCursor);
  bool SetDefaultValue(void* aFieldValue) override;

 protected:
  std::vector<std::uint8_t> cudveUserName;
};

// A new GUID; False (the field NULL) when the generator fails.
class TnxAutoGuidDefaultValueEngine : public TnxBaseDefaultValueEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseDefaultValueEngine::TnxBaseDefaultValueEngine;
  bool SetDefaultValue(void* aFieldValue) override;
};

// Zero in every byte of the field.
class TnxEmptyDefaultValueEngine : public TnxBaseDefaultValueEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseDefaultValueEngine::TnxBaseDefaultValueEngine;
  bool SetDefaultValue(void* aFieldValue) override;
};

// The cursor's next log sequence number. No handler or mapper gets one: the
// storage layer keeps the LSN fields itself, so InstantiateFor answers nil.
class TnxNextLSNDefaultValueEngine : public TnxCursorDefaultValueEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxCursorDefaultValueEngine::TnxCursorDefaultValueEngine;
  template <class T>
  static TnxBaseDefaultValueEngine* InstantiateFor(TnxBaseDefaultValueDescriptor* /*aDescriptor*/,
                                                   TnxAbstractCursor* /*aCursor*/) {
    return nullptr;
  }
  bool SetDefaultValue(void* aFieldValue) override;
};

// The default-value engines of one table for one side. Engines for insert
// and for modify are each split by their descriptor's OverwriteNonNull:
// [false] fills only NULL fields, [true] writes over any value.
class TnxDefaultValueHandler : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  // REQUIRES: aFieldsDescriptor outlives the handler. Use CreateFor.
  explicit TnxDefaultValueHandler(TnxFieldsDescriptor* aFieldsDescriptor);
  TnxDefaultValueHandler(const TnxDefaultValueHandler&) = delete;
  TnxDefaultValueHandler& operator=(const TnxDefaultValueHandler&) = delete;

  // The handler of aFieldsDescriptor's defaults that apply at aApplyAt; nil
  // when there is none (callers then skip all default processing). An
  // unknown engine class fails the whole creation (15503).
  static TnxDefaultValueHandler* CreateFor(TnxFieldsDescriptor* aFieldsDescriptor, TnxApplyAt aApplyAt,
                                           TnxAbstractCursor* aCursor);

  void SetDefaultValuesInsert(void* aRecord);
  void SetDefaultValuesModify(void* aRecord);
  // The one field's engine whatever the operation flags and the field's
  // content: False without an engine (nothing changes); otherwise the
  // engine's answer, with the null bit set to its opposite.
  bool SetDefaultValue(void* aRecord, std::int32_t aField);

  std::int32_t EngineCount() const { return static_cast<std::int32_t>(dvhEngines.size()); }

 private:
  using TnxEngineList = std::vector<TnxBaseDefaultValueEngine*>;
  void Apply(const TnxEngineList (&aLists)[2], void* aRecord);
  bool ApplyOne(TnxBaseDefaultValueEngine* aEngine, void* aRecord);

  TnxFieldsDescriptor* dvhFieldsDescriptor = nullptr;
  std::vector<TnxOwned<TnxBaseDefaultValueEngine>> dvhEngines;  // in field order
  TnxEngineList dvhEnginesInsert[2];
  TnxEngineList dvhEnginesModify[2];
  TnxEngineList dvhEnginesByIndex;  // one per field, nil = none
};

// Module start-up and finalisation, counted; listed in the dictionary's
// start-up table (registers the six engines).
void nxsdDefaultValueEngineInitialize();
void nxsdDefaultValueEngineFinalize();
