// Storage sub-engines: the common base, the family bases (record, BLOB,
// stream, auto-increment) with their registries of engines by short name,
// creation of an engine from the descriptor that names it, validation of a
// whole dictionary against the registered engines, and the bookmark handler.
//
// A family base hides TnxBaseSubEngine::GetList with its own registry
// variable; every engine class carries nxSubEngineFuncs in its class table,
// so the registration of a concrete class lands in its family's registry.
// Names compare without regard to ASCII case; a duplicate within a family is
// refused. The global list of family bases drives CheckValidAll.
// Registries are filled by the modules' start-up calls and emptied by their
// finalisation, on the main thread; afterwards they are only read.
// An engine instance belongs to one open table and is used under its
// caller's locks and transaction.
#pragma once

#include <cstdint>
#include <functional>
#include <type_traits>
#include <vector>

#include "nxllRegisterableEngine.h"
#include "nxllStreams.h"
#include "nxsdDataDictionary.h"
#include "nxsrBufferManager.h"
#include "plVariant.h"

class TnxBaseSubEngine;
class TnxBaseFilterEngine;
class TnxBaseKeyEngine;

NX_DECLARE_EXCEPTION(EnxBaseSubEngineException, EnxServerException)
NX_DECLARE_EXCEPTION(EnxBaseAutoIncEngineException, EnxBaseSubEngineException)
NX_DECLARE_EXCEPTION(EnxBaseBlobEngineException, EnxBaseSubEngineException)
NX_DECLARE_EXCEPTION(EnxStreamEngineException, EnxBaseSubEngineException)
NX_DECLARE_EXCEPTION(EnxBaseRecordEngineException, EnxBaseSubEngineException)

// The file accesses of a table, by file number.
using TnxBlockAccessArray = std::vector<TnxBlockAccess*>;

// Class-level functions of a sub-engine class.
struct TnxSubEngineClassFuncs {
  TnxClassList& (*getList)();
  void (*checkDictionary)(TnxBaseTableDescriptor* aTable);
  // Record family: the table level; the others: the engine's descriptor.
  void (*checkEngineDescriptor)(TnxDictionaryItem* aItem);
  // Nil for abstract classes.
  TnxBaseSubEngine* (*create)(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans,
                              const TnxBlockAccessArray& aFiles);
};

template <class T>
TnxBaseSubEngine* nxCreateSubEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans,
                                    const TnxBlockAccessArray& aFiles);

using TnxSubEngineCreate = TnxBaseSubEngine* (*)(TnxDictionaryItem*, TnxBaseTransaction*, const TnxBlockAccessArray&);
template <class T>
constexpr TnxSubEngineCreate nxSubEngineCreateOf() {
  if constexpr (std::is_abstract_v<T>)
    return nullptr;
  else
    return &nxCreateSubEngine<T>;
}

template <class T>
inline constexpr TnxSubEngineClassFuncs nxSubEngineFuncs{&T::GetList, &T::CheckDictionary, &T::CheckEngineDescriptor,
                                                         nxSubEngineCreateOf<T>()};

class TnxBaseSubEngine : public TnxPersistent {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseSubEngine(std::int32_t aID, std::int32_t aTableVersion) : bseID(aID), bseTableVersion(aTableVersion) {}

  // Family bases hide it; here an assertion.
  static TnxClassList& GetList();
  static void CheckDictionary(TnxBaseTableDescriptor*) {}
  static void CheckEngineDescriptor(TnxDictionaryItem*) {}

  // ---- registries
  static void RegisterSubEngineBase(const platform::ClassInfo& aFamilyBase);
  static void UnregisterSubEngineBase(const platform::ClassInfo& aFamilyBase);
  // aClass carries nxSubEngineFuncs; a duplicate name in the family raises.
  static void RegisterSubEngine(const platform::ClassInfo& aClass, std::string_view aShortName);
  static void UnregisterSubEngine(const platform::ClassInfo& aClass);
  // The class under aName in the family of aFamily, or nil.
  static const platform::ClassInfo* FindSubEngineClass(const platform::ClassInfo& aFamily, const nxString& aName);
  // The class under aName, or 15503 "Unknown <aFamilyWord> engine: "<name>"".
  static const platform::ClassInfo& FindSubEngineClassOrRaise(const platform::ClassInfo& aFamily,
                                                              const nxString& aName, const char16_t* aFamilyWord);
  static const TnxSubEngineClassFuncs& Funcs(const platform::ClassInfo& aClass);
  // CheckDictionary of every family base in order, then the nested tables
  // depth first.
  static void CheckValidAll(TnxBaseTableDescriptor* aDictionary);

  std::int32_t bseID;
  std::int32_t bseTableVersion;
};

// ---- Record family ----------------------------------------------------------------

using TnxGetRecordCallback = std::function<TnxResult(PnxRecordBuffer aRecord)>;

class TnxBaseRecordEngine : public TnxBaseSubEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseRecordEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans, const TnxBlockAccessArray& aFiles);
  ~TnxBaseRecordEngine() override;

  static TnxClassList& GetList();
  static void CheckDictionary(TnxBaseTableDescriptor* aTable);
  // Nil without a record descriptor; 15503 for an unknown engine name.
  static TnxBaseRecordEngine* CreateEngine(TnxBaseTableDescriptor* aTable, const TnxBlockAccessArray& aFiles,
                                           TnxBaseTransaction* aTrans);
  static TnxBaseRecordEngine* CreateEngine(TnxBaseRecordDescriptor* aDescriptor, const TnxBlockAccessArray& aFiles,
                                           TnxBaseTransaction* aTrans);

  virtual bool CanAddField(TnxFieldDescriptor*) { return false; }
  virtual void AddRecord(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PnxRecordBuffer aRecData) = 0;
  virtual void DeleteRecord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr) = 0;
  virtual void ReadNextRecord(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                              PnxRecordBuffer aRecData) = 0;
  virtual void ReadPrevRecord(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                              PnxRecordBuffer aRecData) = 0;
  virtual void ReadRecord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PnxRecordBuffer aRecData) = 0;
  virtual void UpdateRecord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PnxRecordBuffer aNewRecord,
                            PnxRecordBuffer aOldRecord) = 0;
  virtual void GetRecordCount(TnxBaseTransaction* aTrans, std::uint32_t& aCount) = 0;
  virtual void Iterate(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PPnxRecordBuffer aData,
                       const TnxRecordIterator& aIterator, void* aCookie, TnxBaseFilterEngine* aFilter,
                       bool aKeepPosition, bool aSkipFirst) = 0;
  virtual void IterateBackward(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PPnxRecordBuffer aData,
                               const TnxRecordIterator& aIterator, void* aCookie, TnxBaseFilterEngine* aFilter,
                               bool aKeepPosition, bool aSkipFirst) = 0;
  virtual TnxResult RecNoGet(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxBaseFilterEngine* aFilter,
                             std::uint32_t& aRecNo, bool aFlipOrder) = 0;
  virtual TnxResult RecNoSet(TnxBaseTransaction* aTrans, std::uint32_t aRecNo, TnxRefNr& aRefNr,
                             TnxBaseFilterEngine* aFilter, bool aFlipOrder) = 0;
  virtual std::int32_t GetRecoverID() = 0;
  virtual TnxRecordIteratorResult RecoverIterate(PnxBlock aBlock, TnxBlockNumber aBlockNumber, PPnxRecordBuffer aData,
                                                 const TnxRecordIterator& aIterator, void* aCookie) = 0;
  virtual TnxRecordIteratorResult ReadRecordForIterate(TnxBaseTransaction* aTrans, TnxRefNr aRefNr,
                                                       PPnxRecordBuffer aData, const TnxRecordIterator& aIterator,
                                                       void* aCookie, TnxBaseFilterEngine* aFilter) = 0;
  virtual void ReplaceAllRecords(TnxBaseTransaction* aTrans, const TnxGetRecordCallback& aCallback) = 0;
  virtual void Rollback(TnxBaseTransaction*) {}

  // Writes aRefNr into the record's RefNr field (tables that have one).
  void SetRecordRefNr(PnxRecordBuffer aRecData, TnxRefNr aRefNr);
  std::uint32_t breGetRecordCount(TnxBaseTransaction* aTrans);
  // Diagnostic dump, one line per record, to aFileName (default: the
  // temporary folder's RecordDump.txt).
  void _SaveAll(TnxBaseTransaction* aTrans, const nxString& aFileName = {});

  TnxBlockAccess* breDataFile = nullptr;
  std::uint16_t breRecordLength = 0;
  TnxMemoryPool breRecordAllocator;
  TnxFieldsDescriptor* breFieldsDescriptor = nullptr;
  std::int32_t breRefNrField = -1;
  PnxRecordBuffer TempRecBuf = nullptr;
};

// ---- Stream family ---------------------------------------------------------------

class TnxBaseStreamEngine : public TnxBaseSubEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseStreamEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans, TnxBlockAccess* aDataFile);

  static TnxClassList& GetList();
  static void CheckDictionary(TnxBaseTableDescriptor* aTable);
  // The class is the one named in the data file's block 0, whatever the
  // descriptor names.
  static TnxBaseStreamEngine* CreateEngine(TnxBaseStreamDescriptor* aDescriptor, TnxBlockAccess* aDataFile,
                                           TnxBaseTransaction* aTrans);
  static TnxBaseStreamEngine* CreateEngine(TnxDataDictionary* aDictionary, TnxBlockAccess* aDataFile,
                                           TnxBaseTransaction* aTrans);

  virtual void Initialize(TnxDictionaryItem* aDescriptor) { bseID = aDescriptor ? aDescriptor->ID() : 0; }
  void Initialize(TnxDataDictionary* aDictionary) { Initialize(aDictionary->StreamDescriptor()); }
  virtual void DeleteStream(TnxBaseTransaction* aTrans, TnxBlockNumber aStreamNr) = 0;
  virtual void ReadStream(TnxBaseTransaction* aTrans, TnxBlockNumber aStreamNr, TStream& aStream) = 0;
  virtual void WriteStream(TnxBaseTransaction* aTrans, TnxBlockNumber& aStreamNr, TStream& aStream, bool aCreateNew,
                           const TnxBlockSignature& aStreamSig) = 0;
  virtual TnxResult GetNamedStreamList(TnxBaseTransaction* aTrans, platform::TStringList& aStreams) = 0;
  virtual TnxResult GetNamedStreamCount(TnxBaseTransaction* aTrans, std::int32_t& aCount) = 0;
  virtual TnxResult DeleteNamedStream(TnxBaseTransaction* aTrans, const nxString& aName) = 0;
  virtual TnxResult ReadNamedStream(TnxBaseTransaction* aTrans, const nxString& aName, TStream& aStream) = 0;
  virtual TnxResult WriteNamedStream(TnxBaseTransaction* aTrans, const nxString& aName, TStream& aStream) = 0;

  TnxBlockAccess* bseDataFile;
};

// ---- Auto-increment and BLOB families (their engines come later) ------------------

class TnxBaseAutoIncEngine : public TnxBaseSubEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseAutoIncEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans, const TnxBlockAccessArray& aFiles);
  static TnxClassList& GetList();
  static void CheckDictionary(TnxBaseTableDescriptor* aTable);
  static TnxBaseAutoIncEngine* CreateEngine(TnxBaseTableDescriptor* aTable, const TnxBlockAccessArray& aFiles,
                                            TnxBaseTransaction* aTrans);

  virtual std::uint32_t NextAutoIncValue(TnxBaseTransaction* aTrans, std::uint32_t* aCurrentAutoInc) = 0;
  virtual std::uint32_t ReadAutoIncValue(TnxBaseTransaction* aTrans) = 0;
  virtual void SetAutoIncValue(TnxBaseTransaction* aTrans, std::uint32_t aValue) = 0;

  TnxBlockAccess* baieDataFile = nullptr;
};

// How a BLOB link reaches the BLOB of another table.
using TnxBlobLinkGetLength =
    std::function<TnxResult(const nxString& aTableName, TnxBlobNr aBlobNr, std::uint32_t& aLength)>;
using TnxBlobLinkRead = std::function<TnxResult(const nxString& aTableName, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                                                std::uint32_t aLen, TStream& aStream)>;

// A BLOB's bytes, changeable in place during one Modify call.
class TnxBlobBytes {
 public:
  virtual std::uint32_t Length() = 0;
  // Appends zero bytes up to aLength (never shrinks).
  virtual void Grow(std::uint32_t aLength) = 0;
  // The byte at aOffset (below Length()), writable until the next Grow.
  virtual std::uint8_t& At(std::uint32_t aOffset) = 0;

 protected:
  ~TnxBlobBytes() = default;
};
using TnxBlobChange = std::function<void(TnxBlobBytes& aBytes)>;

class TnxBaseBlobEngine : public TnxBaseSubEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxBaseBlobEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans, const TnxBlockAccessArray& aFiles);
  static TnxClassList& GetList();
  static void CheckDictionary(TnxBaseTableDescriptor* aTable);
  static TnxBaseBlobEngine* CreateEngine(TnxBaseTableDescriptor* aTable, const TnxBlockAccessArray& aFiles,
                                         TnxBaseTransaction* aTrans);

  virtual void AddBlob(TnxBaseTransaction* aTrans, TnxBlobNr& aBlobNr) = 0;
  virtual void AddBlobLink(TnxBaseTransaction* aTrans, const nxString& aTableName, TnxBlobNr aTableBlobNr,
                           TnxBlobNr& aBlobNr) = 0;
  virtual void AddFileBlob(TnxBaseTransaction* aTrans, const nxString& aFileName, TnxBlobNr& aBlobNr) = 0;
  virtual void DeleteBlob(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr) = 0;
  virtual bool FreeBlob(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr) = 0;
  virtual std::uint32_t GetBlobLength(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr,
                                      const TnxBlobLinkGetLength& aLengthMethod, std::uint32_t& aLength) = 0;
  virtual bool IsFileBlob(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, nxString& aFileName) = 0;
  virtual bool IsBlobLink(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, nxString& aSrcTableName,
                          TnxBlobNr& aSrcTableBlobNr) = 0;
  virtual std::uint32_t Read(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::uint32_t aOffset, std::uint32_t aLen,
                             const TnxBlobLinkRead& aReadMethod, TStream& aStream) = 0;
  virtual void Truncate(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::uint32_t aLen) = 0;
  virtual void Write(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::uint32_t aOffset, std::uint32_t aLen,
                     const void* aBlob) = 0;
  // Reads and changes bytes of one BLOB in place as one operation. aChange
  // raises only before it changes a byte (a change made before a raise may
  // or may not stay). 10502 for a file BLOB or link. This one reads the
  // whole BLOB and writes it back.
  virtual void Modify(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, const TnxBlobChange& aChange);
  virtual void Rollback(TnxBaseTransaction*) {}
  virtual void IncBlobNr(TnxBlobNr&) {}

  // File BLOBs: aFileName relative to the BLOB file's folder. 15440 (open),
  // 15441 (read), 15442 (close) as results; 0 on success.
  TnxResult ReadFileBlob(const nxString& aFileName, std::uint32_t aOffset, std::uint32_t aLen, TStream& aStream);
  TnxResult GetFileBlobLength(const nxString& aFileName, std::uint32_t& aLength);

  TnxBlockAccess* bbeBlobFile = nullptr;
  TnxBlobNr bbeBlobNrMask = ~TnxBlobNr{0};
};

// ---- Bookmarks --------------------------------------------------------------------

// Bookmark layout (little-endian): 0 checksum (ELF hash of the key length
// + 20 bytes from offset 4), 4 index ID, 8 position, 9 key valid, 10
// deleted, 11 zero, 12 RefNr, 20 key length, 24 key.
class TnxBookmarkHandler : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  TnxBookmarkHandler(std::int32_t aIndexID, TnxBaseKeyEngine* aKeyEngine)
      : bmhIndexID(aIndexID), bmhKeyEngine(aKeyEngine) {}

  std::int32_t BookmarkSize() const;
  TnxResult CheckBookmark(const std::uint8_t* aBookmark, std::int32_t aSize);
  TnxResult CompareBookmarks(const std::uint8_t* aBookmark1, const std::uint8_t* aBookmark2, std::int32_t aSize,
                             std::int32_t& aCompResult);
  // The bookmark's key as a variant (all key fields), its RefNr without a
  // key engine, the empty parameter at the beginning or end.
  TnxResult BookmarkAsVariant(const std::uint8_t* aBookmark, std::int32_t aSize, platform::Variant& aVariant);
  // Fills the checksum of a bookmark whose other fields are set.
  static void SetChecksum(std::uint8_t* aBookmark);

  std::int32_t bmhIndexID;
  TnxBaseKeyEngine* bmhKeyEngine;  // not owned
};

// The handler for access without an index (start-up creates it).
TnxBookmarkHandler* nxNoIndexBookmarkHandler();

// Module start-up: the four family bases and the global bookmark handler;
// finalisation frees them in reverse.
void nxsrSubEngineBaseInitialize();
void nxsrSubEngineBaseFinalize();

template <class T>
TnxBaseSubEngine* nxCreateSubEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans,
                                    const TnxBlockAccessArray& aFiles) {
  if constexpr (std::is_base_of_v<TnxBaseStreamEngine, T>)
    return platform::create<T>(aDescriptor, aTrans, aFiles.empty() ? nullptr : aFiles[0]);
  else
    return platform::create<T>(aDescriptor, aTrans, aFiles);
}
