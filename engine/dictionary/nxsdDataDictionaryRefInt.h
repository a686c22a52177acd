// Referential-integrity descriptors: the "RefIntegrity" custom descriptor of
// a table level and its references. Each reference owns one target cursor
// (how the referred-to table is reached), its sources (the referring values
// in key-field order) and its actions (the rules). They only describe; the
// index layer's engines act on them and cache their engine classes here.
//
// Ownership: a reference frees its sources and actions first, its target
// cursor last. Field sources subscribe to the field changes of the fields
// descriptor they find up the tree and keep their field number in step
// (removing a referenced field is refused with 15502).
//
// Streams (tagged values, after the dictionary item part):
//   RefIntegrity: Integer 1, list of (reference class, target cursor class,
//     reference stream).
//   Reference: Integer 1, target cursor stream, String TargetIndex, list of
//     (class, source stream), list of (class, action stream).
//   Target cursor: Integer 1; clone: + Integer 1; table: + Integer 1|2,
//     String TableName [, WideString Password for 2]; relative: + Integer 1,
//     String TableName.
//   Source, action: Integer 1, or Integer 2 + Boolean SkipOnNull; field
//     source: + Integer 1, Integer field number; each action: + Integer 1.
// Below client version 20000 the old layout is written; a password or a set
// SkipOnNull cannot be written for such a client (12039).
//
// Registries: the reference, target cursor, source and action families,
// filled by nxsdDataDictionaryRefIntRegister from the dictionary's
// start-up table, which also registers TnxRefIntegrityDescriptor in the
// custom descriptor family. Not locked: see nxsdDataDictionaryItems.h.
#pragma once

#include "nxsdDataDictionary.h"

NX_DECLARE_EXCEPTION(EnxRefIntegrityDescriptorException, EnxBaseCustomDescriptorException)
NX_DECLARE_EXCEPTION(EnxReferenceDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxBaseTargetCursorDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxCloneTargetCursorDescriptorException, EnxBaseTargetCursorDescriptorException)
NX_DECLARE_EXCEPTION(EnxTableTargetCursorDescriptorException, EnxBaseTargetCursorDescriptorException)
NX_DECLARE_EXCEPTION(EnxRelativeTargetCursorDescriptorException, EnxBaseTargetCursorDescriptorException)
NX_DECLARE_EXCEPTION(EnxBaseSourceDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxFieldSourceDescriptorException, EnxBaseSourceDescriptorException)
NX_DECLARE_EXCEPTION(EnxBaseActionDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxBaseDeleteActionDescriptorException, EnxBaseActionDescriptorException)
NX_DECLARE_EXCEPTION(EnxBaseModifyActionDescriptorException, EnxBaseActionDescriptorException)
NX_DECLARE_EXCEPTION(EnxCascadeDeleteActionDescriptorException, EnxBaseDeleteActionDescriptorException)
NX_DECLARE_EXCEPTION(EnxClearDeleteActionDescriptorException, EnxBaseDeleteActionDescriptorException)
NX_DECLARE_EXCEPTION(EnxSetDefaultDeleteActionDescriptorException, EnxBaseDeleteActionDescriptorException)
NX_DECLARE_EXCEPTION(EnxBlockDeleteActionDescriptorException, EnxBaseDeleteActionDescriptorException)
NX_DECLARE_EXCEPTION(EnxCascadeModifyActionDescriptorException, EnxBaseModifyActionDescriptorException)
NX_DECLARE_EXCEPTION(EnxClearModifyActionDescriptorException, EnxBaseModifyActionDescriptorException)
NX_DECLARE_EXCEPTION(EnxSetDefaultModifyActionDescriptorException, EnxBaseModifyActionDescriptorException)
NX_DECLARE_EXCEPTION(EnxBlockModifyActionDescriptorException, EnxBaseModifyActionDescriptorException)
NX_DECLARE_EXCEPTION(EnxTargetRequiredActionDescriptorException, EnxBaseActionDescriptorException)

inline constexpr const char16_t* nxRefIntegrityDescriptorName = u"RefIntegrity";

// Class-level virtual constructor of the four families (aParent only).
class TnxDictionaryItem;
struct TnxRefIntegrityItemClassFuncs {
  TnxDictionaryItem* (*create)(TnxPersistent* aParent);
};
template <class T>
inline constexpr TnxRefIntegrityItemClassFuncs nxRefIntegrityItemFuncs{
    [](TnxPersistent* aParent) -> TnxDictionaryItem* { return platform::create<T>(aParent); }};

// ---------------------------------------------------------------------------
// Target cursors

class TnxBaseTargetCursorDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  using TnxDictionaryItem::TnxDictionaryItem;
  static TnxClassList& GetList();
  static TnxBaseTargetCursorDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent);

  const platform::ClassInfo* CachedEngineClass() const { return btcCachedEngineClass; }
  void SetCachedEngineClass(const platform::ClassInfo* aValue) { btcCachedEngineClass = aValue; }
  // The full name of the table this cursor reaches.
  virtual nxString ReferencedTableName() = 0;

  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool References(const TnxDictionaryItem* aItem) const override;

 protected:
  [[noreturn]] virtual void RaiseStream(TnxResult aCode) const;

 private:
  const platform::ClassInfo* btcCachedEngineClass = nullptr;
};

class TnxCloneTargetCursorDescriptor : public TnxBaseTargetCursorDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseTargetCursorDescriptor::TnxBaseTargetCursorDescriptor;
  nxString ReferencedTableName() override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;

 protected:
  [[noreturn]] void RaiseStream(TnxResult aCode) const override;
};

class TnxTableTargetCursorDescriptor : public TnxBaseTargetCursorDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseTargetCursorDescriptor::TnxBaseTargetCursorDescriptor;
  const nxString& TableName() const { return ttcTableName; }
  // Read-only check, then the table name check (empty: not found; no system names).
  void SetTableName(const nxString& aValue);
  const nxString& Password() const { return ttcPassword; }
  void SetPassword(const nxString& aValue);

  nxString ReferencedTableName() override { return ttcTableName; }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  [[noreturn]] void RaiseStream(TnxResult aCode) const override;

 private:
  nxString ttcTableName;
  nxString ttcPassword;
};

class TnxRelativeTargetCursorDescriptor : public TnxBaseTargetCursorDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseTargetCursorDescriptor::TnxBaseTargetCursorDescriptor;
  const nxString& TableName() const { return rtcTableName; }
  // Read-only check, then every ":" part "." or ".." or an identifier (10039).
  void SetTableName(const nxString& aValue);

  // A path beginning with "." resolves from the owning table level, any
  // other from the root; 10024 when a step does not exist.
  nxString ReferencedTableName() override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  [[noreturn]] void RaiseStream(TnxResult aCode) const override;

 private:
  TnxBaseTableDescriptor& ResolvedTable();
  nxString rtcTableName;
};

// ---------------------------------------------------------------------------
// Sources

class TnxBaseSourceDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  using TnxDictionaryItem::TnxDictionaryItem;
  static TnxClassList& GetList();
  static TnxBaseSourceDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent);

  bool SkipOnNull() const { return bsdSkipOnNull; }
  void SetSkipOnNull(bool aValue);
  const platform::ClassInfo* CachedEngineClass() const { return bsdCachedEngineClass; }
  void SetCachedEngineClass(const platform::ClassInfo* aValue) { bsdCachedEngineClass = aValue; }

  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;

 protected:
  [[noreturn]] virtual void RaiseStream(TnxResult aCode) const;

 private:
  bool bsdSkipOnNull = false;
  const platform::ClassInfo* bsdCachedEngineClass = nullptr;
};

class TnxFieldSourceDescriptor : public TnxBaseSourceDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxFieldSourceDescriptor(TnxPersistent* aParent);
  ~TnxFieldSourceDescriptor() override;

  std::int32_t FieldNumber() const { return fsdFieldNumber; }
  void SetFieldNumber(std::int32_t aValue) { fsdFieldNumber = aValue; }
  // Nil when no fields descriptor is reachable or the number is out of range.
  TnxFieldDescriptor* Field();

  void HandleFieldChange(bool aBefore, std::int32_t aOld, std::int32_t aNew) override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;
  [[noreturn]] void RaiseStream(TnxResult aCode) const override;

 private:
  void Unsubscribe() noexcept;
  std::int32_t fsdFieldNumber = -1;
  TnxFieldsDescriptor* fsdSubscribedTo = nullptr;
};

// ---------------------------------------------------------------------------
// Actions: the class is the rule.

class TnxBaseActionDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  using TnxDictionaryItem::TnxDictionaryItem;
  static TnxClassList& GetList();
  static TnxBaseActionDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent);

  bool SkipOnNull() const { return badSkipOnNull; }
  void SetSkipOnNull(bool aValue);
  const platform::ClassInfo* CachedEngineClass() const { return badCachedEngineClass; }
  void SetCachedEngineClass(const platform::ClassInfo* aValue) { badCachedEngineClass = aValue; }

  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;

 protected:
  [[noreturn]] virtual void RaiseStream(TnxResult aCode) const;

 private:
  bool badSkipOnNull = false;
  const platform::ClassInfo* badCachedEngineClass = nullptr;
};

// A concrete action: the base part, then Integer 1.
template <class E>
class TnxConcreteActionDescriptor : public TnxBaseActionDescriptor {
 public:
  using TnxBaseActionDescriptor::TnxBaseActionDescriptor;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override {
    TnxBaseActionDescriptor::SaveToWriter(aWriter, aClientVersion);
    aWriter.WriteInteger(std::int32_t{1});
  }
  void LoadFromReader(TnxReader& aReader) override {
    TnxBaseActionDescriptor::LoadFromReader(aReader);
    if (aReader.ReadInteger() != 1) RaiseStream(nxErrIncompatibleStream);
  }

 protected:
  [[noreturn]] void RaiseStream(TnxResult aCode) const override { throw E(aCode); }
};

#define NX_DECLARE_ACTION_DESCRIPTOR(Cls)                                                   \
  class Tnx##Cls : public TnxConcreteActionDescriptor<Enx##Cls##Exception> {                \
    PL_CLASS_INFO_DECL()                                                                    \
   public:                                                                                  \
    using TnxConcreteActionDescriptor<Enx##Cls##Exception>::TnxConcreteActionDescriptor;    \
  };

NX_DECLARE_ACTION_DESCRIPTOR(CascadeDeleteActionDescriptor)
NX_DECLARE_ACTION_DESCRIPTOR(ClearDeleteActionDescriptor)
NX_DECLARE_ACTION_DESCRIPTOR(SetDefaultDeleteActionDescriptor)
NX_DECLARE_ACTION_DESCRIPTOR(BlockDeleteActionDescriptor)
NX_DECLARE_ACTION_DESCRIPTOR(CascadeModifyActionDescriptor)
NX_DECLARE_ACTION_DESCRIPTOR(ClearModifyActionDescriptor)
NX_DECLARE_ACTION_DESCRIPTOR(SetDefaultModifyActionDescriptor)
NX_DECLARE_ACTION_DESCRIPTOR(BlockModifyActionDescriptor)
NX_DECLARE_ACTION_DESCRIPTOR(TargetRequiredActionDescriptor)
#undef NX_DECLARE_ACTION_DESCRIPTOR

// ---------------------------------------------------------------------------
// References

class TnxReferenceDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  // aTargetCursorClass nil: TnxTableTargetCursorDescriptor.
  explicit TnxReferenceDescriptor(TnxPersistent* aParent, const platform::ClassInfo* aTargetCursorClass = nullptr);
  ~TnxReferenceDescriptor() override;
  static TnxClassList& GetList();
  static TnxReferenceDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent,
                                               const platform::ClassInfo* aTargetCursorClass);

  const platform::ClassInfo* CachedEngineClass() const { return rdCachedEngineClass; }
  void SetCachedEngineClass(const platform::ClassInfo* aValue) { rdCachedEngineClass = aValue; }
  TnxBaseTargetCursorDescriptor* TargetCursor() const { return rdTargetCursor; }
  const nxString& TargetIndex() const { return rdTargetIndex; }
  void SetTargetIndex(const nxString& aValue) { rdTargetIndex = aValue; }

  std::int32_t SourceCount() const { return static_cast<std::int32_t>(rdSources.size()); }
  TnxBaseSourceDescriptor* Sources(std::int32_t aIndex) const { return rdSources.at(static_cast<std::size_t>(aIndex)); }
  std::int32_t ActionCount() const { return static_cast<std::int32_t>(rdActions.size()); }
  TnxBaseActionDescriptor* Actions(std::int32_t aIndex) const { return rdActions.at(static_cast<std::size_t>(aIndex)); }

  // aClass nil: TnxFieldSourceDescriptor / TnxBlockDeleteActionDescriptor.
  TnxBaseSourceDescriptor* AddSource(const platform::ClassInfo* aClass = nullptr);
  void RemoveSource(TnxBaseSourceDescriptor* aDescriptor);
  void RemoveSource(std::int32_t aIndex);
  TnxBaseActionDescriptor* AddAction(const platform::ClassInfo* aClass = nullptr);
  void RemoveAction(TnxBaseActionDescriptor* aDescriptor);
  void RemoveAction(std::int32_t aIndex);

  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  bool References(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;

 private:
  void FreeParts() noexcept;
  [[noreturn]] void RaiseBuild(const char16_t* aText) const;

  const platform::ClassInfo* rdCachedEngineClass = nullptr;
  TnxBaseTargetCursorDescriptor* rdTargetCursor = nullptr;  // owned
  nxString rdTargetIndex;
  std::vector<TnxBaseSourceDescriptor*> rdSources;  // owned
  std::vector<TnxBaseActionDescriptor*> rdActions;  // owned
};

class TnxRefIntegrityDescriptor : public TnxBaseCustomDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseCustomDescriptor::TnxBaseCustomDescriptor;
  ~TnxRefIntegrityDescriptor() override;

  std::int32_t ReferenceCount() const { return static_cast<std::int32_t>(ridReferences.size()); }
  TnxReferenceDescriptor* References_(std::int32_t aIndex) const {
    return ridReferences.at(static_cast<std::size_t>(aIndex));
  }
  // Class nil: TnxReferenceDescriptor / TnxTableTargetCursorDescriptor.
  TnxReferenceDescriptor* AddReference(const platform::ClassInfo* aReferenceClass = nullptr,
                                       const platform::ClassInfo* aTargetCursorClass = nullptr);
  void RemoveReference(TnxReferenceDescriptor* aDescriptor);
  void RemoveReference(std::int32_t aIndex);

  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;

 private:
  void FreeReferences() noexcept;
  std::vector<TnxReferenceDescriptor*> ridReferences;  // owned
};

// The dictionary's "RefIntegrity" custom descriptor, added when absent; one
// of another class fails as an invalid cast.
TnxRefIntegrityDescriptor* nxEnsureRefIntegrityDescriptor(TnxDataDictionary* aDictionary);
// That descriptor of a table level, nil when absent.
TnxRefIntegrityDescriptor* nxFindRefIntegrityDescriptor(TnxBaseTableDescriptor* aTableDescriptor);

// Entries of the dictionary's start-up table.
void nxsdDataDictionaryRefIntRegister();
void nxsdDataDictionaryRefIntUnregister();
