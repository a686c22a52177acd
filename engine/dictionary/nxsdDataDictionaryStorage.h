// Storage engine descriptors. Part of nxsdDataDictionary: include
// nxsdDataDictionary.h, not this header.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "nxsdDataDictionaryItems.h"

// ---------------------------------------------------------------------------
// Exceptions

NX_DECLARE_EXCEPTION(EnxBaseBlockHeapDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxBaseHeapDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxBaseRecordDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxHeapRecordDescriptorException, EnxBaseRecordDescriptorException)
NX_DECLARE_EXCEPTION(EnxBaseRecordCompressionDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxBaseBlobDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxHeapBlobDescriptorException, EnxBaseBlobDescriptorException)
NX_DECLARE_EXCEPTION(EnxBaseAutoIncDescriptorException, EnxDictionaryItemException)
NX_DECLARE_EXCEPTION(EnxAdvAutoIncDescriptorException, EnxBaseAutoIncDescriptorException)
NX_DECLARE_EXCEPTION(EnxBaseStreamDescriptorException, EnxDictionaryItemException)

// ---------------------------------------------------------------------------
// Storage engine descriptors: they only name the engines of the storage layer
// and the file and header section those use. Heap, block-heap and
// compression parts belong to the descriptor above them. Record, BLOB and
// auto-increment descriptors follow file moves of the related files
// descriptor and refuse the removal of their own file (15502).

// Virtual constructor of every storage descriptor family; classes without a
// header section ignore it.
struct TnxStorageDescriptorClassFuncs {
  TnxDictionaryItem* (*create)(TnxPersistent* aParent, const std::string& aHeaderSection);
};
template <class T>
inline constexpr TnxStorageDescriptorClassFuncs nxStorageDescriptorFuncs{
    [](TnxPersistent* aParent, const std::string& aHeaderSection) -> TnxDictionaryItem* {
      if constexpr (std::is_constructible_v<T, TnxPersistent*, const std::string&>)
        return platform::create<T>(aParent, aHeaderSection);
      else
        return platform::create<T>(aParent);
    }};

using TnxAutoIncStepRange = std::uint32_t;  // 1 .. 4294967295

class TnxBaseBlockHeapDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseBlockHeapDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}
  static TnxClassList& GetList();
  const nxString& BlockHeapEngine() const { return bbhdBlockHeapEngine; }
  void SetBlockHeapEngine(const nxString& aValue) { bbhdBlockHeapEngine = aValue; }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 private:
  nxString bbhdBlockHeapEngine = u"nx1xDefault";
};

class TnxBaseHeapDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseHeapDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}
  ~TnxBaseHeapDescriptor() override;
  static TnxClassList& GetList();
  const nxString& HeapEngine() const { return bhdHeapEngine; }
  void SetHeapEngine(const nxString& aValue) { bhdHeapEngine = aValue; }
  TnxBaseBlockHeapDescriptor* BlockHeapDescriptor() const { return bhdBlockHeapDescriptor; }
  // aClass nil: TnxBaseBlockHeapDescriptor.
  TnxBaseBlockHeapDescriptor* AddBlockHeapDescriptor(const platform::ClassInfo* aClass = nullptr);
  void RemoveBlockHeapDescriptor();
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;

 private:
  nxString bhdHeapEngine = u"nx1xDefault";
  TnxBaseBlockHeapDescriptor* bhdBlockHeapDescriptor = nullptr;  // owned
};

class TnxBaseRecordCompressionDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseRecordCompressionDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}
  static TnxClassList& GetList();
  const nxString& RecordCompressionEngine() const { return brcdRecordCompressionEngine; }
  void SetRecordCompressionEngine(const nxString& aValue);
  // The custom string "CompressType"; 0 removes it.
  std::uint8_t CompressType();
  void SetCompressType(std::uint8_t aValue);
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 private:
  nxString brcdRecordCompressionEngine = u"Smart";
};

// The file number part shared by the record, BLOB and auto-increment
// descriptors (subscribed to file changes while alive).
class TnxFileStorageDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  TnxFileStorageDescriptor(TnxPersistent* aParent, const std::string& aHeaderSection);
  ~TnxFileStorageDescriptor() override;
  const std::string& HeaderSection() const { return fsHeaderSection; }
  std::int32_t FileNumber() const { return fsFileNumber; }
  // 9999 "Invalid file number: %d" outside the related files.
  void SetFileNumber(std::int32_t aValue);
  void HandleFileChange(bool aBefore, std::int32_t aOld, std::int32_t aNew) override;
  void CheckValid(bool aForBuild) override;

 protected:
  void beforeDestruction() override;
  // The engine kind named in the removal refusal ("a record engine", ...).
  virtual const char16_t* EngineKindText() const = 0;
  [[noreturn]] virtual void Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const = 0;
  void CheckFileNumber(std::int32_t aValue) const;

  // The stream part every file-numbered descriptor writes after the item
  // part: its Integer aVersion, the engine name and, from version aFileFrom
  // on, the file number.
  void SaveEnginePart(TnxWriter& aWriter, std::int32_t aClientVersion, std::int32_t aVersion,
                      std::int32_t aFileFrom, const nxString& aEngine);
  // Reads that part back. A version outside 1 .. aMaxVersion stops the read
  // after the version and answers nxErrIncompatibleStream; otherwise 0.
  TnxResult LoadEnginePart(TnxReader& aReader, std::int32_t aMaxVersion, std::int32_t aFileFrom, nxString& aEngine);
  // The item part, the file number and the engine name (ASCII case ignored)
  // are equal; aOther nil: false.
  bool IsEqualEnginePart(const TnxFileStorageDescriptor* aOther, const nxString& aEngine,
                         const nxString& aOtherEngine) const;

  std::int32_t fsFileNumber = 0;

 private:
  void Unsubscribe() noexcept;
  std::string fsHeaderSection;
  bool fsSubscribed = false;
};

class TnxBaseRecordDescriptor : public TnxFileStorageDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxFileStorageDescriptor::TnxFileStorageDescriptor;
  static TnxClassList& GetList();
  static TnxBaseRecordDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent,
                                                const std::string& aHeaderSection);
  const nxString& RecordEngine() const { return brdRecordEngine; }
  void SetRecordEngine(const nxString& aValue);
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  const char16_t* EngineKindText() const override { return u"a record engine"; }
  [[noreturn]] void Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const override;

 private:
  nxString brdRecordEngine = u"nx1xDefault";
};

class TnxHeapRecordDescriptor : public TnxBaseRecordDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseRecordDescriptor::TnxBaseRecordDescriptor;
  ~TnxHeapRecordDescriptor() override;
  TnxBaseHeapDescriptor* HeapDescriptor() const { return hrdHeapDescriptor; }
  TnxBaseRecordCompressionDescriptor* RecordCompressionDescriptor() const { return hrdRecordCompressionDescriptor; }
  TnxBaseHeapDescriptor* AddHeapDescriptor(const platform::ClassInfo* aClass = nullptr);
  void RemoveHeapDescriptor();
  TnxBaseRecordCompressionDescriptor* AddRecordCompressionDescriptor(const platform::ClassInfo* aClass = nullptr);
  void RemoveRecordCompressionDescriptor();
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;

 private:
  TnxBaseHeapDescriptor* hrdHeapDescriptor = nullptr;                             // owned
  TnxBaseRecordCompressionDescriptor* hrdRecordCompressionDescriptor = nullptr;  // owned
};

class TnxBaseBlobDescriptor : public TnxFileStorageDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxFileStorageDescriptor::TnxFileStorageDescriptor;
  static TnxClassList& GetList();
  static TnxBaseBlobDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent,
                                              const std::string& aHeaderSection);
  const nxString& BlobEngine() const { return bbdBlobEngine; }
  void SetBlobEngine(const nxString& aValue);
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  const char16_t* EngineKindText() const override { return u"a blob engine"; }
  [[noreturn]] void Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const override;

 private:
  nxString bbdBlobEngine = u"nx1xDefault";
};

class TnxHeapBlobDescriptor : public TnxBaseBlobDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseBlobDescriptor::TnxBaseBlobDescriptor;
  ~TnxHeapBlobDescriptor() override;
  TnxBaseHeapDescriptor* HeapDescriptor() const { return hbdHeapDescriptor; }
  TnxBaseHeapDescriptor* AddHeapDescriptor(const platform::ClassInfo* aClass = nullptr);
  void RemoveHeapDescriptor();
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  void beforeDestruction() override;

 private:
  TnxBaseHeapDescriptor* hbdHeapDescriptor = nullptr;  // owned
};

class TnxBaseAutoIncDescriptor : public TnxFileStorageDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxFileStorageDescriptor::TnxFileStorageDescriptor;
  static TnxClassList& GetList();
  static TnxBaseAutoIncDescriptor* CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent,
                                                 const std::string& aHeaderSection);
  const nxString& AutoIncEngine() const { return baidAutoIncEngine; }
  void SetAutoIncEngine(const nxString& aValue);
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 protected:
  const char16_t* EngineKindText() const override { return u"an autoinc engine"; }
  [[noreturn]] void Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const override;

 private:
  nxString baidAutoIncEngine = u"nx1xDefault";
};

class TnxAdvAutoIncDescriptor : public TnxBaseAutoIncDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseAutoIncDescriptor::TnxBaseAutoIncDescriptor;
  std::uint32_t InitialValue() const { return aaidInitialValue; }
  void SetInitialValue(std::uint32_t aValue);
  TnxAutoIncStepRange Step() const { return aaidStep; }
  void SetStep(TnxAutoIncStepRange aValue);
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 private:
  std::uint32_t aaidInitialValue = 1;
  TnxAutoIncStepRange aaidStep = 1;
};

class TnxBaseStreamDescriptor : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseStreamDescriptor(TnxPersistent* aParent, const std::string& aHeaderSection)
      : TnxDictionaryItem(aParent), bsdHeaderSection(aHeaderSection) {}
  static TnxClassList& GetList();
  const std::string& HeaderSection() const { return bsdHeaderSection; }
  const nxString& StreamEngine() const { return bsdStreamEngine; }
  void SetStreamEngine(const nxString& aValue);
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override;
  void LoadFromReader(TnxReader& aReader) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

 private:
  nxString bsdStreamEngine = u"nx1xDefault";
  std::string bsdHeaderSection;
};
