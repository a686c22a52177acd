// Key descriptors, key fields, composite keys and index descriptors. Part of
// nxsdDataDictionary: include nxsdDataDictionary.h, not this header.
#pragma once

#include <climits>
#include <cstdint>
#include <vector>

#include "nxsdDataDictionaryFields.h"
#include "nxsdDataDictionaryItems.h"
#include "nxsdFilterDescriptorBase.h"

// ---------------------------------------------------------------------------
// Exceptions

NX_DECLARE_EXCEPTION(EnxBaseIndicesDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxMainIndicesDescriptorException, EnxBaseIndicesDescriptorException)
NX_DECLARE_EXCEPTION(EnxInternalIndicesDescriptorException, EnxBaseIndicesDescriptorException)
NX_DECLARE_EXCEPTION(EnxKeyFieldDescriptorException, EnxLocaleizedDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxTextKeyFieldDescriptorException, EnxKeyFieldDescriptorException)
NX_DECLARE_EXCEPTION(EnxExtTextKeyFieldDescriptorException, EnxTextKeyFieldDescriptorException)
NX_DECLARE_EXCEPTION(EnxBaseKeyDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxRefKeyDescriptorException, EnxBaseKeyDescriptorException)
NX_DECLARE_EXCEPTION(EnxInt64KeyDescriptorException, EnxBaseKeyDescriptorException)
NX_DECLARE_EXCEPTION(EnxBlobCacheKeyDescriptorException, EnxBaseKeyDescriptorException)
NX_DECLARE_EXCEPTION(EnxCompKeyDescriptorException, EnxBaseKeyDescriptorException)
NX_DECLARE_EXCEPTION(EnxNoNullCompKeyDescriptorException, EnxCompKeyDescriptorException)
NX_DECLARE_EXCEPTION(EnxIndexDescriptorException, EnxDictionaryItemException)

// ---------------------------------------------------------------------------
// Key descriptors: what the key of an index is. The optional filter (owned)
// keeps records it rejects out of the index. KeyLen is the key's length in
// bytes.

struct TnxKeyDescriptorClassFuncs {
  TnxDictionaryItem* (*create)(TnxPersistent* aParent);
};
template <class T>
inline constexpr TnxKeyDescriptorClassFuncs nxKeyDescriptorFuncs{
    [](TnxPersistent* aParent) -> TnxDictionaryItem* { return platform::create<T>(aParent); }};

class TnxBaseKeyDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseKeyDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}
  ~TnxBaseKeyDescriptor() override;
  static TnxClassList& GetList();
  // 15499 "%s class is not supported: %s" ("KeyDescriptor") for a class
  // outside the family.
  static TnxBaseKeyDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent);

  TnxBaseFilterDescriptor* Filter() const { return Filter_; }
  // Takes ownership; frees the filter held before.
  void SetFilter(TnxBaseFilterDescriptor* aFilter);

  virtual bool IsValidForTable(TnxDictionaryItem* /*aTable*/) { return true; }
  virtual std::uint32_t KeyLen() = 0;
  virtual bool CanContainNulls() { return true; }

  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;

 private:
  TnxBaseFilterDescriptor* Filter_ = nullptr;
};

// Single-value keys: the base part, then Integer 1.
class TnxSimpleKeyDescriptor : public TnxBaseKeyDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseKeyDescriptor::TnxBaseKeyDescriptor;
  bool CanContainNulls() override { return false; }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;

 protected:
  [[noreturn]] virtual void RaiseIncompatible() const = 0;
};

// The record's reference number.
class TnxRefKeyDescriptor : public TnxSimpleKeyDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxSimpleKeyDescriptor::TnxSimpleKeyDescriptor;
  std::uint32_t KeyLen() override { return 8; }

 protected:
  [[noreturn]] void RaiseIncompatible() const override;
};

// A signed 64-bit value.
class TnxInt64KeyDescriptor : public TnxSimpleKeyDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxSimpleKeyDescriptor::TnxSimpleKeyDescriptor;
  std::uint32_t KeyLen() override { return 8; }

 protected:
  [[noreturn]] void RaiseIncompatible() const override;
};

// The key of a client BLOB cache table.
class TnxBlobCacheKeyDescriptor : public TnxSimpleKeyDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxSimpleKeyDescriptor::TnxSimpleKeyDescriptor;
  std::uint32_t KeyLen() override { return 28; }

 protected:
  [[noreturn]] void RaiseIncompatible() const override;
};

// ---------------------------------------------------------------------------
// Key fields and composite keys. A key field names one field of the related
// fields descriptor by number and follows that descriptor's renumbering
// (it subscribes to field changes and vetoes the removal of its field with
// 15502). nxKeyFieldOfOwnerField instead means the field descriptor the key
// field hangs under. A composite key caches its length until a key field
// changes.

enum TnxNullBehaviour : std::uint8_t { nbTop, nbBottom, nbAsAscend, nbFilterNull, nbFilterNonNull };
inline constexpr const char16_t* nxNullBehaviourNames[] = {u"nbTop", u"nbBottom", u"nbAsAscend", u"nbFilterNull",
                                                           u"nbFilterNonNull"};
inline constexpr std::int32_t nxKeyFieldOfOwnerField = INT32_MIN;

class TnxKeyFieldDescriptor;
struct TnxKeyFieldDescriptorClassFuncs {
  TnxKeyFieldDescriptor* (*create)(TnxPersistent* aParent, std::int32_t aFieldNumber);
};
template <class T>
inline constexpr TnxKeyFieldDescriptorClassFuncs nxKeyFieldDescriptorFuncs{
    [](TnxPersistent* aParent, std::int32_t aFieldNumber) -> TnxKeyFieldDescriptor* {
      return platform::create<T>(aParent, aFieldNumber);
    }};

class TnxKeyFieldDescriptor : public TnxLocalizedDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  TnxKeyFieldDescriptor(TnxPersistent* aParent, std::int32_t aFieldNumber);
  ~TnxKeyFieldDescriptor() override;
  static TnxClassList& GetList();
  // 15499 "%s class is not supported: %s" ("KeyFieldDescriptor").
  static TnxKeyFieldDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent,
                                              std::int32_t aFieldNumber);

  std::int32_t FieldNumber() const { return kfdFieldNumber; }
  void SetFieldNumber(std::int32_t aValue);
  const nxString& Desc() const { return kfdDesc; }
  void SetDesc(const nxString& aValue) { CheckReadOnly(); kfdDesc = aValue; }
  const nxString& KeyFieldEngine() const { return kfdKeyFieldEngine; }
  void SetKeyFieldEngine(const nxString& aValue) { CheckReadOnly(); kfdKeyFieldEngine = aValue; }
  bool Ascend() const { return kfdAscend; }
  void SetAscend(bool aValue) { CheckReadOnly(); kfdAscend = aValue; }
  std::int32_t OverrideLengthBytes() const { return kfdOverrideLengthBytes; }
  void SetOverrideLengthBytes(std::int32_t aValue);
  std::int32_t OverrideLengthChars() const { return kfdOverrideLengthChars; }
  void SetOverrideLengthChars(std::int32_t aValue);
  TnxNullBehaviour NullBehaviour() const { return kfdNullBehaviour; }
  void SetNullBehaviour(TnxNullBehaviour aValue) { CheckReadOnly(); kfdNullBehaviour = aValue; }

  // The field referred to; nil when there is none (a number outside the
  // related fields descriptor included).
  TnxFieldDescriptor* Field();
  std::int32_t KeyLength();
  std::int32_t KeyChars();

  virtual bool IsValidForTable(TnxDictionaryItem* aTable);
  virtual bool CanContainNulls();

  void HandleFieldChange(bool aBefore, std::int32_t aOld, std::int32_t aNew) override;
  bool OwnRequiresPack() override;
  TnxLocaleDescriptor* FindInheritedLocaleDescriptor() override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;
  // Whether an old client's stream can carry an own locale descriptor.
  virtual bool OldStreamHoldsLocale() const { return false; }

 private:
  void KeyLengthChanged();
  // An override no key buffer can hold: 10004.
  void CheckOverride(std::int32_t aValue) const;
  void Unsubscribe() noexcept;

  std::int32_t kfdFieldNumber;
  nxString kfdDesc;
  nxString kfdKeyFieldEngine;
  bool kfdAscend = true;
  std::int32_t kfdOverrideLengthBytes = 0;
  std::int32_t kfdOverrideLengthChars = 0;
  TnxNullBehaviour kfdNullBehaviour = nbTop;
  TnxFieldsDescriptor* kfdSubscribedTo = nullptr;
};

class TnxTextKeyFieldDescriptor : public TnxKeyFieldDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxKeyFieldDescriptor::TnxKeyFieldDescriptor;
  bool IgnoreCase() const { return tkfIgnoreCase; }
  void SetIgnoreCase(bool aValue) { CheckReadOnly(); tkfIgnoreCase = aValue; }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 private:
  bool tkfIgnoreCase = false;
};

// Streams its own locale a second time, in the old form for old clients.
class TnxExtTextKeyFieldDescriptor : public TnxTextKeyFieldDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxTextKeyFieldDescriptor::TnxTextKeyFieldDescriptor;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;

 protected:
  bool OldStreamHoldsLocale() const override { return true; }
};

class TnxCompKeyDescriptor : public TnxBaseKeyDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxCompKeyDescriptor(TnxPersistent* aParent) : TnxBaseKeyDescriptor(aParent) {}
  ~TnxCompKeyDescriptor() override;

  std::int32_t KeyFieldCount() const { return static_cast<std::int32_t>(ckdKeyFields.size()); }
  TnxKeyFieldDescriptor* ckdGetKeyField(std::int32_t aIndex) const {
    return ckdKeyFields[static_cast<std::size_t>(aIndex)];
  }
  TnxKeyFieldDescriptor* KeyFields(std::int32_t aIndex) const { return ckdGetKeyField(aIndex); }
  static const platform::ClassInfo& DefaultKeyFieldClass();

  // aClass nil: DefaultKeyFieldClass. The name forms look the number up in
  // the related fields descriptor (8712 without one; -1 when unknown).
  virtual TnxKeyFieldDescriptor* Add(std::int32_t aFieldNumber, const platform::ClassInfo* aClass = nullptr);
  TnxKeyFieldDescriptor* Add(const nxString& aFieldName, const platform::ClassInfo* aClass = nullptr);
  virtual TnxKeyFieldDescriptor* Insert(std::int32_t aInx, std::int32_t aFieldNumber,
                                        const platform::ClassInfo* aClass = nullptr);
  TnxKeyFieldDescriptor* Insert(std::int32_t aInx, const nxString& aFieldName,
                                const platform::ClassInfo* aClass = nullptr);
  void Delete(std::int32_t aInx);
  void Move(std::int32_t aFrom, std::int32_t aTo);
  // Drops the cached length; key fields call it when they change.
  void KeyLenChanged() { ckdKeyLen = -1; }

  bool IsValidForTable(TnxDictionaryItem* aTable) override;
  std::uint32_t KeyLen() override;
  bool CanContainNulls() override;
  void Clear(bool aNotify) override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;
  // Bytes of the null bitmap that starts a key.
  virtual std::int32_t NullBitmapBytes() const { return (KeyFieldCount() + 7) / 8; }

 private:
  void FreeKeyFields() noexcept;
  std::int32_t FieldNumberOf(const nxString& aFieldName);

  std::vector<TnxKeyFieldDescriptor*> ckdKeyFields;  // owned
  std::int32_t ckdKeyLen = -1;
};

// A composite key without the null bitmap: every field must be non-NULL.
class TnxNoNullCompKeyDescriptor : public TnxCompKeyDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxCompKeyDescriptor::TnxCompKeyDescriptor;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;

 protected:
  std::int32_t NullBitmapBytes() const override { return 0; }
};

// ---------------------------------------------------------------------------
// Index descriptors: name, index engine, file and duplicates rule of an
// index; each owns its key descriptor. The index follows the renumbering of
// the files descriptor and vetoes the removal of its file (15502). Name, file
// number and key class are streamed by the indices list, not here.

enum TnxIndexDups : std::uint8_t { idNone, idNull, idAll };

class TnxIndexDescriptor;
struct TnxIndexDescriptorClassFuncs {
  TnxIndexDescriptor* (*create)(TnxPersistent* aParent, const nxString& aName, std::int32_t aFileNumber,
                                const platform::ClassInfo* aKeyClass);
};
template <class T>
inline constexpr TnxIndexDescriptorClassFuncs nxIndexDescriptorFuncs{
    [](TnxPersistent* aParent, const nxString& aName, std::int32_t aFileNumber,
       const platform::ClassInfo* aKeyClass) -> TnxIndexDescriptor* {
      return platform::create<T>(aParent, aName, aFileNumber, aKeyClass);
    }};

class TnxIndexDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  // aKeyClass nil: TnxCompKeyDescriptor. An invalid name: 10022.
  TnxIndexDescriptor(TnxPersistent* aParent, const nxString& aName, std::int32_t aFileNumber,
                     const platform::ClassInfo* aKeyClass = nullptr);
  ~TnxIndexDescriptor() override;
  static TnxClassList& GetList();
  // Without a parent; Number() is aNumber.
  static TnxIndexDescriptor* CreateStandalone(std::int32_t aNumber, const nxString& aName, std::int32_t aFileNumber,
                                              const platform::ClassInfo* aKeyClass = nullptr,
                                              const platform::ClassInfo* aClass = nullptr);
  // Reads what SaveStandalone wrote; unknown classes: 15499.
  static TnxIndexDescriptor* CreateStandaloneFromReader(TnxReader& aReader);
  void SaveStandalone(TnxWriter& aWriter, std::int32_t aVersion);

  const nxString& Name() const { return idName; }
  const nxString& IndexEngine() const { return idIndexEngine; }
  void SetIndexEngine(const nxString& aValue) { CheckReadOnly(); idIndexEngine = aValue; }
  const nxString& Desc() const { return idDesc; }
  void SetDesc(const nxString& aValue) { CheckReadOnly(); idDesc = aValue; }
  std::int32_t FileNumber() const { return idFileNumber; }
  void SetFileNumber(std::int32_t aValue) { idFileNumber = aValue; }
  TnxBaseKeyDescriptor* KeyDescriptor() const { return idKeyDescriptor; }
  TnxIndexDups Dups() const { return idDups; }
  void SetDups(TnxIndexDups aValue) { CheckReadOnly(); idDups = aValue; }
  std::int32_t Number() const { return idNumber; }
  void SetNumber(std::int32_t aValue) { idNumber = aValue; }
  // The related files descriptor's file; nil without one or outside it.
  TnxFileDescriptor* IndexFile();

  // A new, empty key descriptor of aKeyClass in place of the present one.
  TnxBaseKeyDescriptor* ReplaceKeyDescriptor(const platform::ClassInfo& aKeyClass);

  virtual bool IsValidForTable(TnxDictionaryItem* aTable);
  virtual void MakeIndexCacheable();

  void HandleFileChange(bool aBefore, std::int32_t aOld, std::int32_t aNew) override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;

 private:
  void Unsubscribe() noexcept;

  nxString idName;
  nxString idIndexEngine = u"nx1xDefault";
  nxString idDesc;
  std::int32_t idFileNumber;
  TnxBaseKeyDescriptor* idKeyDescriptor = nullptr;  // owned
  TnxIndexDups idDups = idNone;
  std::int32_t idNumber = 0;
  TnxFilesDescriptor* idSubscribedTo = nullptr;
};
