// Indices lists, field and table validations, and the container of named
// custom descriptors: the containers a table level holds besides its fields.
//
// Indices lists: entry i always has idNumber i; every change of positions
// renumbers the entries behind it and tells the subscribers (items that asked
// through AddIndexChangeNotify) before and after, with (aBefore, aFrom, aTo);
// -1 stands for "none" (an insertion has aFrom -1, a removal aTo -1). The
// main list keeps its default index on the same index across changes and
// holds -1 exactly when it is empty. Loading checks neither names nor counts
// and notifies nobody; CheckValid does the checks.
//
// Validations: a field holds a TnxFieldValidationsDescriptor, the fields
// descriptor a TnxFieldsValidationsDescriptor that admits only validations
// that may stand at table level (SQL checks).
//
// Streams: each descriptor writes the item part, Integer 1, then its fields;
// a client below 20000 gets 12039 (the internal list needs 47005). Class
// names in a stream are looked up in the family's registry (15499 when
// unknown); counts below 0 and wrong versions fail with 15498.
//
// Ownership: containers own their entries. Thread safety: as every item.
// Part of nxsdDataDictionary: include nxsdDataDictionary.h, not this header.
#pragma once

#include <span>

#include "nxsdDataDictionaryFields.h"
#include "nxsdDataDictionaryItems.h"
#include "nxsdDataDictionaryKeys.h"

// ---------------------------------------------------------------------------
// Indices lists

class TnxBaseIndicesDescriptor;
struct TnxIndicesDescriptorClassFuncs {
  TnxBaseIndicesDescriptor* (*create)(TnxPersistent* aParent, const std::string& aHeaderSection);
};
template <class T>
inline constexpr TnxIndicesDescriptorClassFuncs nxIndicesDescriptorFuncs{
    [](TnxPersistent* aParent, const std::string& aHeaderSection) -> TnxBaseIndicesDescriptor* {
      return platform::create<T>(aParent, aHeaderSection);
    }};

using TnxIndexDupsSet = std::uint8_t;  // bit per TnxIndexDups
inline constexpr TnxIndexDupsSet nxIndexDupsBit(TnxIndexDups a) { return static_cast<TnxIndexDupsSet>(1u << a); }
inline constexpr TnxIndexDupsSet nxIndexDupsAny =
    nxIndexDupsBit(idNone) | nxIndexDupsBit(idNull) | nxIndexDupsBit(idAll);

inline constexpr std::int32_t nxMaxIndicesPerTable = 256;
inline constexpr std::int32_t nxInternalIndicesClientVersion = 47005;

class TnxBaseIndicesDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseIndicesDescriptor(TnxPersistent* aParent, const std::string& aHeaderSection);
  ~TnxBaseIndicesDescriptor() override;
  static TnxClassList& GetList();
  // 15499 "%s class is not supported: %s" for a class outside the family.
  static TnxBaseIndicesDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent,
                                                 const std::string& aHeaderSection);

  const std::string& HeaderSection() const { return bidHeaderSection; }
  std::int32_t IndexCount() const { return static_cast<std::int32_t>(IndexDescriptor.size()); }
  TnxIndexDescriptor* Indices(std::int32_t aIndex) const { return IndexDescriptor.at(static_cast<std::size_t>(aIndex)); }
  const nxString& IndicesEngine() const { return bidIndicesEngine; }
  void SetIndicesEngine(const nxString& aValue);

  virtual const platform::ClassInfo& DefaultKeyDescriptorClass() const;
  virtual const platform::ClassInfo& DefaultIndexDescriptorClass() const;
  virtual void NotifyIndexChange(bool aBefore, std::int32_t aFrom, std::int32_t aTo);
  virtual void MakeIndicesCacheable();

  // Class arguments nil: the defaults above.
  TnxIndexDescriptor* AddIndex(const nxString& aName, std::int32_t aFileNumber, TnxIndexDups aDups,
                               const nxString& aDesc, const platform::ClassInfo* aKeyClass = nullptr,
                               const platform::ClassInfo* aIndexClass = nullptr);
  TnxIndexDescriptor* AddIndex(const nxString& aName, std::int32_t aFileNumber, bool aDups, const nxString& aDesc,
                               const platform::ClassInfo* aKeyClass = nullptr,
                               const platform::ClassInfo* aIndexClass = nullptr);
  // A copy of aIndexDescriptor, which then carries the copy's ID.
  TnxIndexDescriptor* AddIndex(TnxIndexDescriptor* aIndexDescriptor);
  TnxIndexDescriptor* InsertIndexAt(std::int32_t aInx, const nxString& aName, std::int32_t aFileNumber,
                                    TnxIndexDups aDups, const nxString& aDesc,
                                    const platform::ClassInfo* aKeyClass = nullptr,
                                    const platform::ClassInfo* aIndexClass = nullptr);
  TnxIndexDescriptor* InsertIndexAt(std::int32_t aInx, const nxString& aName, std::int32_t aFileNumber, bool aDups,
                                    const nxString& aDesc, const platform::ClassInfo* aKeyClass = nullptr,
                                    const platform::ClassInfo* aIndexClass = nullptr);
  void MoveIndex(std::int32_t aFrom, std::int32_t aTo);
  // Out of range: nothing.
  void RemoveIndex(std::int32_t aInx);
  void RemoveIndex(const nxString& aName);
  // -1 / nil when absent (case ignored).
  std::int32_t GetIndexFromName(const nxString& aIndexName) const;
  TnxIndexDescriptor* GetDescriptorFromName(const nxString& aIndexName) const;
  // The first plain composite index on exactly aFields, in order, whose
  // duplicates rule is in aDups.
  bool HasIndex(std::span<const std::int32_t> aFields, std::int32_t& aIndex,
                TnxIndexDupsSet aDups = nxIndexDupsAny) const;

  void AddIndexChangeNotify(TnxDictionaryItem* aItem);
  void RemoveIndexChangeNotify(TnxDictionaryItem* aItem);

  // Appends an index read from a stream: no checks, no notification.
  TnxIndexDescriptor* LoadIndex(const platform::ClassInfo& aIndexClass, const platform::ClassInfo& aKeyClass,
                                const nxString& aName, std::int32_t aFileNumber);

  void Clear(bool aNotify) override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;
  [[noreturn]] virtual void Raise(TnxResult aCode) const;
  [[noreturn]] virtual void Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const;

 private:
  void FreeIndices() noexcept;
  void Renumber(std::int32_t aFrom);
  void CheckName(const nxString& aName) const;

  std::string bidHeaderSection;
  TnxOwned<TnxSortedList> bidIndexChangeNotifies;
  std::vector<TnxIndexDescriptor*> IndexDescriptor;  // owned
  nxString bidIndicesEngine = u"nx1xDefault";
};

class TnxMainIndicesDescriptor : public TnxBaseIndicesDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  TnxMainIndicesDescriptor(TnxPersistent* aParent, const std::string& aHeaderSection);
  std::int32_t DefaultIndex() const { return midDefaultIndex; }
  // Empty list: -1 whatever is given; negative: 0; beyond the last: 9999.
  void SetDefaultIndex(std::int32_t aValue);

  void NotifyIndexChange(bool aBefore, std::int32_t aFrom, std::int32_t aTo) override;
  void Clear(bool aNotify) override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  [[noreturn]] void Raise(TnxResult aCode) const override;
  [[noreturn]] void Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const override;

 private:
  std::int32_t midDefaultIndex = -1;
};

class TnxInternalIndicesDescriptor : public TnxBaseIndicesDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseIndicesDescriptor::TnxBaseIndicesDescriptor;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;

 protected:
  [[noreturn]] void Raise(TnxResult aCode) const override;
  [[noreturn]] void Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const override;
};

// ---------------------------------------------------------------------------
// Validations

class TnxBaseFieldValidationDescriptor;
struct TnxValidationDescriptorClassFuncs {
  TnxBaseFieldValidationDescriptor* (*create)(TnxPersistent* aParent, const nxString& aName);
};
template <class T>
inline constexpr TnxValidationDescriptorClassFuncs nxValidationDescriptorFuncs{
    [](TnxPersistent* aParent, const nxString& aName) -> TnxBaseFieldValidationDescriptor* {
      return platform::create<T>(aParent, aName);
    }};

class TnxBaseFieldValidationDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  // 10068 unless aName is a valid identifier; ApplyAt is aaServer alone.
  TnxBaseFieldValidationDescriptor(TnxPersistent* aParent, const nxString& aName);
  static TnxClassList& GetList();
  static TnxBaseFieldValidationDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent,
                                                         const nxString& aName);

  const nxString& Name() const { return bvdName; }
  virtual TnxApplyAtSet ApplyAt() const { return bvdApplyAt; }
  virtual void SetApplyAt(TnxApplyAtSet aValue);
  // Field types this validation cannot be put on.
  virtual TnxFieldTypes GetInvalidFieldTypes() const { return nxBlobFieldTypes; }
  // The nearest field descriptor up the tree (8712 without one).
  TnxFieldDescriptor& RelatedField();

  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  [[noreturn]] virtual void Raise(TnxResult aCode) const;
  [[noreturn]] virtual void Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const;
  TnxApplyAtSet bvdApplyAt = nxApplyAtBit(aaServer);

 private:
  nxString bvdName;
};

// Validations that may stand at table level.
class TnxBaseFieldsValidationDescriptor : public TnxBaseFieldValidationDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseFieldValidationDescriptor::TnxBaseFieldValidationDescriptor;
};

// How MinMax and NoChange hold their key field (owned): it tells how values
// compare and means the enclosing field.
struct TnxValidationKeyField {
  TnxKeyFieldDescriptor* kf = nullptr;
};

class TnxMinMaxValidationDescriptor : public TnxBaseFieldValidationDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseFieldValidationDescriptor::TnxBaseFieldValidationDescriptor;
  ~TnxMinMaxValidationDescriptor() override;
  TnxKeyFieldDescriptor* KeyField() const { return mmvdKeyField.kf; }
  // aClass nil: TnxKeyFieldDescriptor. Replaces the present one.
  TnxKeyFieldDescriptor* AddKeyField(const platform::ClassInfo* aClass = nullptr);
  void RemoveKeyField();
  void CheckValid(bool aForBuild) override;
  const std::vector<std::uint8_t>& Min() const { return mmvdMin; }
  const std::vector<std::uint8_t>& Max() const { return mmvdMax; }
  void SetMin(std::vector<std::uint8_t> aValue);
  void SetMax(std::vector<std::uint8_t> aValue);
  // Unassigned without a bound.
  platform::Variant MinAsVariant();
  platform::Variant MaxAsVariant();
  void SetMinAsVariant(const platform::Variant& aValue);
  void SetMaxAsVariant(const platform::Variant& aValue);

  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;
  [[noreturn]] void Raise(TnxResult aCode) const override;
  [[noreturn]] void Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const override;

 private:
  platform::Variant BoundAsVariant(const std::vector<std::uint8_t>& aBound);
  void SetBoundAsVariant(std::vector<std::uint8_t>& aBound, const platform::Variant& aValue);
  std::vector<std::uint8_t> mmvdMin;
  std::vector<std::uint8_t> mmvdMax;
  TnxValidationKeyField mmvdKeyField;
};

class TnxNoChangeValidationDescriptor : public TnxBaseFieldValidationDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseFieldValidationDescriptor::TnxBaseFieldValidationDescriptor;
  ~TnxNoChangeValidationDescriptor() override;
  TnxKeyFieldDescriptor* KeyField() const { return ncvdKeyField.kf; }
  // aClass nil: TnxKeyFieldDescriptor. Replaces the present one.
  TnxKeyFieldDescriptor* AddKeyField(const platform::ClassInfo* aClass = nullptr);
  void RemoveKeyField();
  void CheckValid(bool aForBuild) override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;
  [[noreturn]] void Raise(TnxResult aCode) const override;
  [[noreturn]] void Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const override;

 private:
  TnxValidationKeyField ncvdKeyField;
};

// An SQL CHECK constraint; it runs on the server only.
class TnxSqlCheckValidationDescriptor : public TnxBaseFieldsValidationDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseFieldsValidationDescriptor::TnxBaseFieldsValidationDescriptor;
  TnxApplyAtSet ApplyAt() const override { return bvdApplyAt & nxApplyAtBit(aaServer); }
  void SetApplyAt(TnxApplyAtSet aValue) override;
  const nxString& Constraint() const { return scvdConstraint; }
  void SetConstraint(const nxString& aValue);
  const nxString& ErrorMessage() const { return scvdErrorMessage; }
  void SetErrorMessage(const nxString& aValue);

  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  [[noreturn]] void Raise(TnxResult aCode) const override;
  [[noreturn]] void Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const override;

 private:
  nxString scvdConstraint;
  nxString scvdErrorMessage;
};

class TnxFieldValidationsDescriptor;
struct TnxValidationsDescriptorClassFuncs {
  TnxFieldValidationsDescriptor* (*create)(TnxPersistent* aParent);
};
template <class T>
inline constexpr TnxValidationsDescriptorClassFuncs nxValidationsDescriptorFuncs{
    [](TnxPersistent* aParent) -> TnxFieldValidationsDescriptor* { return platform::create<T>(aParent); }};

class TnxFieldValidationsDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxFieldValidationsDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}
  ~TnxFieldValidationsDescriptor() override;
  static TnxClassList& GetList();
  static TnxFieldValidationsDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent);

  virtual const platform::ClassInfo& AllowedValidationClass() const;
  std::int32_t ValidationCount() const { return static_cast<std::int32_t>(ValidationDescriptor.size()); }
  TnxBaseFieldValidationDescriptor* Validations(std::int32_t aIndex) const {
    return ValidationDescriptor.at(static_cast<std::size_t>(aIndex));
  }
  // aClass nil: AllowedValidationClass.
  TnxBaseFieldValidationDescriptor* AddValidation(const nxString& aName, const platform::ClassInfo* aClass = nullptr);
  void RemoveValidation(std::int32_t aInx);
  void RemoveValidation(const nxString& aName);
  std::int32_t GetValidationDescriptorFromName(const nxString& aValidationDescriptorName) const;
  std::int32_t GetValidationDescriptorFromClassName(const nxString& aValidationDescriptorClassName) const;

  void Clear(bool aNotify) override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;

 private:
  void FreeValidations() noexcept;
  std::vector<TnxBaseFieldValidationDescriptor*> ValidationDescriptor;  // owned
};

// The table-level list: SQL checks only.
class TnxFieldsValidationsDescriptor : public TnxFieldValidationsDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxFieldValidationsDescriptor::TnxFieldValidationsDescriptor;
  const platform::ClassInfo& AllowedValidationClass() const override;
};

// ---------------------------------------------------------------------------
// Custom descriptors

class TnxCustomDescsDescriptor;
struct TnxCustomDescsDescriptorClassFuncs {
  TnxCustomDescsDescriptor* (*create)(TnxPersistent* aParent);
};
template <class T>
inline constexpr TnxCustomDescsDescriptorClassFuncs nxCustomDescsDescriptorFuncs{
    [](TnxPersistent* aParent) -> TnxCustomDescsDescriptor* { return platform::create<T>(aParent); }};

class TnxCustomDescsDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxCustomDescsDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}
  ~TnxCustomDescsDescriptor() override;
  static TnxClassList& GetList();
  static TnxCustomDescsDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent);

  std::int32_t CustomCount() const { return static_cast<std::int32_t>(CustomDescriptor.size()); }
  TnxBaseCustomDescriptor* Customs(std::int32_t aIndex) const {
    return CustomDescriptor.at(static_cast<std::size_t>(aIndex));
  }
  // aClass nil: TnxBaseCustomDescriptor.
  TnxBaseCustomDescriptor* AddCustom(const nxString& aName, const platform::ClassInfo* aClass = nullptr);
  void RemoveCustom(std::int32_t aInx);
  void RemoveCustom(const nxString& aName);
  std::int32_t GetCustomDescriptorFromName(const nxString& aCustomDescriptorName) const;

  void Clear(bool aNotify) override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;

 private:
  void FreeCustoms() noexcept;
  std::vector<TnxBaseCustomDescriptor*> CustomDescriptor;  // owned
};

// Index change subscriptions with the main indices list found up the tree
// (nothing when there is none).
void nxsdRegisterIndexChanges(TnxDictionaryItem* aItem);
void nxsdUnregisterIndexChanges(TnxDictionaryItem* aItem);


// The validations part of a field or fields stream: Boolean present, then
// class name and stream.
void nxsdSaveValidations(TnxFieldValidationsDescriptor* aValidations, TnxWriter& aWriter,
                         std::int32_t aClientVersion);
// The validations class registered under aName below aBase; nil when none.
const platform::ClassInfo* nxsdFindValidationsClass(const nxString& aName, const platform::ClassInfo& aBase);

template <class T>
bool nxsdBothOrEqual(const T* a, const T* b) {
  if (!a || !b) return !a && !b;
  return a->IsEqual(b);
}
