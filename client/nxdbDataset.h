// The client dataset over one engine cursor. Part of nxdb: include nxdb.h,
// not this header.
//
// Contracts:
// - TnxDataset presents one engine cursor (TnxAbstractCursor) to the dataset
//   framework. It owns one TnxCursor component (named "<name>_Cursor") that
//   ties it below its database component; opening the dataset starts that
//   component (and so the database and the session) and then asks the
//   descendant to open the engine cursor (dsOpenEngineCursor).
// - Record buffer (one per framework buffer, dsRecordBufferSize bytes, taken
//   from an engine memory pool at open and given back when the framework
//   frees it; dsRecordBufferCount counts those outstanding):
//     [0, dsRecordLength)              the engine record, null bitmap last
//     [dsOffsetBookmark, +bookmark)    the engine bookmark of the record
//     [dsOffsetCalcFlds, +calc size)   per calculated field: a flag byte (bit 0:
//                                      has a value), then the value's bytes
//     [dsOffsetRecInfos, +5)           a 32-bit word (cleared at every fetch or
//                                      initialisation), then the bookmark flag
// - Every non-zero engine result that the dataset does not map itself is
//   raised as EnxDatabaseError naming the dataset (dsCheck).
// - Client message reduction applies unless dsoDisableClientMessageReduction
//   is set: the dataset then folds calls and records hint options on the
//   cursor (the in-process cursor ignores them, so only the calls change).
// - FlipOrder presents the cursor's order reversed: next and prior, the end
//   codes 8705/8706 and bookmark comparison signs swap.
// Thread safety: none of its own; one thread uses a dataset, its cursor
// component and its engine cursor at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "nxdbComponent.h"
#include "nxdbConversion.h"
#include "nxllMemoryManager.h"
#include "nxsdServerEngine.h"
#include "plDataSet.h"

class TnxBaseSession;
class TnxDatabase;
class TnxCursor;
class TnxDefaultValueHandler;
class TnxValidationsHandler;
class TnxAbstractTaskInfo;
class TnxBaseBlobStream;

enum TnxDataSetOption : std::uint8_t {
  dsoOptimisticLocks,
  dsoAddKeyAsVariantField,
  dsoRecNoSupport,
  dsoSetKeyFieldCountForPSSetParams,
  dsoKeepExistingRangeForPSSetParams,
  dsoAllowPartialMatchIndexedLocateForIntegers,
  dsoSwitchToIndexImplicitFirst,
  dsoBuildKeyOnQueue,
  dsoDisableClientMessageReduction,
  dsoCachedBlobStreams,
  dsoPreCacheMarkedBlobs,
  dsoAutoMarkBlobsOnReadAccess,
};
using TnxDataSetOptions = TnxEnumSet<TnxDataSetOption, 2>;

enum TnxDataSetInternalState : std::uint8_t {
  disClosing,
  disShutdownFromCursor,
  disIndexInvalid,
  disJustOpenedCursor,
  disFirstRecordGetNextPriorAfterOpen,
  disGetBookmarkAfterFirst,
  disGetBookmarkNotNeeded,
  disInGetRecords,
  disInMoveBy,
  disInFilterClientBlockRead,
  disDelayedBufferFillingOnOpen,
  dsiBlockReadNeedsFirst,
  dsiInGotoQueuedKeys,
  dsiInsertSuccessful,
};
using TnxDataSetInternalStates = TnxEnumSet<TnxDataSetInternalState, 2>;

enum TnxDataSetInOperation : std::uint8_t {
  dioNone,
  dioCancel,
  dioClose,
  dioDelete,
  dioEdit,
  dioInsert,
  dioOpen,
  dioPost,
  dioPostAndEdit,
  dioRefresh,
  dioScroll,
};

// Sender, var Cancel.
using TnxServerFilterTimeoutEvent = TnxMethod<platform::TObject*, bool&>;

// The size of the record-info part at the end of a record buffer.
inline constexpr int nxRecInfoSize = 5;

class TnxDataset : public platform::TDataSet {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxDataset(platform::TComponent* aOwner = nullptr);
  ~TnxDataset() override;
  TnxDataset(const TnxDataset&) = delete;
  TnxDataset& operator=(const TnxDataset&) = delete;
  void afterConstruction() override;
  void beforeDestruction() override;
  void Loaded() override;
  // The cursor component follows: "<name>_Cursor".
  void SetName(const platform::UnicodeString& aName) override;

  // ---- Properties
  bool ActiveRuntime() const { return dsActiveRuntime; }
  void SetActiveRuntime(bool aValue);
  bool ActiveDesigntime() const { return dsActiveDesigntime; }
  void SetActiveDesigntime(bool aValue);
  // Reading synchronises with the database's session first.
  TnxBaseSession* Session();
  void SetSession(TnxBaseSession* aValue);
  const nxString& AliasName() const { return dsAliasName; }
  void SetAliasName(const nxString& aValue);
  // Reading resolves the alias first.
  TnxDatabase* Database();
  virtual void SetDatabase(TnxDatabase* aValue);
  std::int32_t Timeout() const { return dsTimeout; }
  void SetTimeout(std::int32_t aValue);
  // Timeout when 0 or more; else the database's, the session's, 10000 ms.
  std::int32_t dsEffectiveTimeout();
  TnxDataSetOptions Options() const { return dsOptions; }
  void SetOptions(TnxDataSetOptions aValue);
  bool AddDataSetOption(TnxDataSetOption aOption);
  bool RemoveDataSetOption(TnxDataSetOption aOption);
  bool AddDataSetOptions(TnxDataSetOptions aOptions);
  bool RemoveDataSetOptions(TnxDataSetOptions aOptions);
  bool HasAnyDataSetOptions(TnxDataSetOptions aOptions) const;
  bool HasAllDataSetOptions(TnxDataSetOptions aOptions) const;
  TnxRecordGetBatchExOptions BlockReadOptions() const { return dsBlockReadOptions; }
  void SetBlockReadOptions(TnxRecordGetBatchExOptions aValue) { dsBlockReadOptions = aValue; }
  // True when the set changed.
  bool AddBlockReadOption(TnxRecordGetBatchExOption aOption) { return AddBlockReadOptions({aOption}); }
  bool RemoveBlockReadOption(TnxRecordGetBatchExOption aOption) { return RemoveBlockReadOptions({aOption}); }
  bool AddBlockReadOptions(TnxRecordGetBatchExOptions aOptions);
  bool RemoveBlockReadOptions(TnxRecordGetBatchExOptions aOptions);
  bool HasAnyBlockReadOptions(TnxRecordGetBatchExOptions aOptions) const;
  bool HasAllBlockReadOptions(TnxRecordGetBatchExOptions aOptions) const;
  bool FlipOrder() const { return dsFlipOrder; }
  void SetFlipOrder(bool aValue);
  bool FilterResync() const { return dsFilterResync; }
  void SetFilterResync(bool aValue) { dsFilterResync = aValue; }
  bool FilterResyncDoesFirst() const { return dsFilterResyncDoesFirst; }
  void SetFilterResyncDoesFirst(bool aValue) { dsFilterResyncDoesFirst = aValue; }
  std::uint32_t FilterTimeout() const { return dsFilterTimeout; }
  void SetFilterTimeout(std::uint32_t aValue) { dsFilterTimeout = aValue; }
  TnxServerFilterTimeoutEvent OnServerFilterTimeout;
  nxString Version() const;

  // ---- Public state
  TnxAbstractCursor* AbstractCursor() const { return dsAbstractCursor; }
  TnxCursor* CursorComponent() const { return dsCursor; }
  TnxDataDictionary* _Dictionary() const { return ds_Dictionary; }
  TnxBaseTableDescriptor* TableDescriptor() const { return dsTableDescriptor; }
  TnxFieldsDescriptor* FieldsDescriptor() const { return dsFieldsDescriptor; }
  bool Exists() const { return Active(); }
  // Descendants decide.
  bool CanModify() const override { return false; }
  TnxDataSetInternalStates InternalState() const { return dsInternalState; }
  TnxDataSetInOperation InOperation() const { return dsInOperation; }
  // Record buffer layout (valid while open).
  std::int32_t RecordLength() const { return dsRecordLength; }
  std::int32_t OffsetBookmark() const { return dsOffsetBookmark; }
  std::int32_t OffsetCalcFlds() const { return dsOffsetCalcFlds; }
  std::int32_t OffsetRecInfos() const { return dsOffsetRecInfos; }
  std::int32_t RecordBufferSize() const { return dsRecordBufferSize; }
  std::int32_t RecordBufferCount() const { return dsRecordBufferCount; }
  bool dsMessageReductionOff() const { return dsOptions.contains(dsoDisableClientMessageReduction); }

  // ---- Fetching and navigation
  void First() override;
  int MoveBy(int aDistance) override;
  void Resync(platform::TResyncMode aMode) override;
  int RecordCount() override { return GetRecordCount(); }
  int GetRecordCount();
  // Engine's asynchronous count; a non-zero result raises.
  void RecordCountAsync(TnxAbstractTaskInfo*& aTaskInfo);
  bool IsSequenced() override;
  int RecNo() override;
  void SetRecNo(int aValue) override;

  // ---- Field access
  bool GetFieldData(platform::TField* aField, void* aBuffer) override;
  void DataEvent(platform::TDataEvent aEvent, std::intptr_t aInfo) override;
  void SetActive(bool aValue) override;

  // ---- Hooks of the cursor component
  // Framework CheckInactive on behalf of the cursor component.
  virtual void dsCursorCheckInactive();
  // Finds the database component of the dataset's alias, if it has one.
  virtual void dsResolveAliasDatabase();
  // Closes the dataset because its cursor component stops.
  virtual void dsCursorShutdown();
  // Hands the effective time-out to the engine cursor.
  virtual void dsApplyTimeout();
  // The default session and its default database when none is set.
  virtual void dsInitSessionAndDatabase();

  // Raises aResult (non-zero) as the dataset's exception class.
  void dsCheck(TnxResult aResult) const;
  [[noreturn]] void dsRaise(TnxResult aResult) const;
  [[noreturn]] void dsRaiseMessage(const nxString& aMessage) const;
  [[noreturn]] void dsRaiseCodeMessage(TnxResult aResult, const nxString& aMessage) const;

  // ---- Editing and bookmarks (declared by the editing family)
  // ===== BEGIN editing and bookmark declarations (nxdbDatasetEdit.cpp) =====
  void Post() override;
  // Posts and stays in edit state on the same record, which stays locked.
  void PostAndEdit();
  // Positions on the record of aDataSet (same session: 10020 otherwise).
  void GotoCurrent(TnxDataset* aDataSet);
  // The active record's key as a variant (its RefNr without an index); Null
  // without a current record.
  platform::Variant KeyAsVariant();
  // All ones when the active buffer holds no stored record.
  TnxRecID RecID();
  // False (and an empty info) without an active record.
  bool GetCacheInfo(TnxRecordCacheInfo& aCacheInfo);
  TnxRecordCacheInfo GetCacheInfo();

  bool GetCurrentRecord(platform::TRecordBuffer aBuffer) override;
  void SetFieldData(platform::TField* aField, const void* aBuffer) override;
  bool BookmarkValid(const platform::TBookmark& aBookmark) override;
  // Empty bookmarks sort last; a bookmark the cursor refuses raises.
  int CompareBookmarks(const platform::TBookmark& aBookmark1, const platform::TBookmark& aBookmark2) override;
  // The bookmark part of a record buffer as a byte array; one of another
  // size zero-fills it and flags the buffer EOF.
  void GetBookmarkData(platform::TRecordBuffer aBuffer, platform::TBookmark& aData);
  void SetBookmarkData(platform::TRecordBuffer aBuffer, const platform::TBookmark& aData);
  // ===== END editing and bookmark declarations =====

  // ---- BLOBs (declared by the BLOB family, nxdbBlob.cpp)
  ::TStream* CreateBlobStream(platform::TField* aField, platform::TBlobStreamMode aMode) override;
  void CloseBlob(platform::TField* aField) override;
  // Copies the whole BLOB of aField into aStream in chunks; aSnapshot reads
  // one consistent version outside edit and insert.
  TnxResult ReadBlobIntoStreamEx(platform::TField* aField, TStream* aStream, bool aSnapshot = false,
                                 bool aReadOrg = false);
  void ReadBlobIntoStream(platform::TField* aField, TStream* aStream, bool aSnapshot = false, bool aReadOrg = false);
  // A new memory stream owned by the caller (free it).
  TnxMemoryStream* ReadBlobAsStream(platform::TField* aField, bool aSnapshot = false, bool aReadOrg = false);
  TnxResult AddFileBlobEx(platform::TField* aField, const nxString& aFileName);
  void AddFileBlob(platform::TField* aField, const nxString& aFileName);
  bool BlobMarked(platform::TField* aField) { return dsGetBlobMarked(aField); }
  void SetBlobMarked(platform::TField* aField, bool aValue) { dsSetBlobMarked(aField, aValue); }
  void MarkAllBlobs();
  void ClearMarkedBlobs();
  bool dsGetBlobMarked(platform::TField* aField);
  void dsSetBlobMarked(platform::TField* aField, bool aValue);
  // The bitmap the cursor gets (empty: nothing marked).
  const TnxMarkedBlobsByBlobIdx& MarkedBlobsByBlobIdx() const { return dsMarkedBlobsByBlobIdx; }
  // The open BLOB streams, oldest first.
  TnxBaseBlobStream* BlobStreamsHead() const { return dsBlobStreamsHead; }

  // Record-level BLOB operations on aBuffer's field aField.
  TnxResult dsGetBlobNr(platform::TRecordBuffer aBuffer, platform::TField* aField, TnxRecID& aRecID,
                        TnxBlobNr& aBlobNr);
  TnxResult dsBlobCreateIfNull(platform::TRecordBuffer aBuffer, platform::TField* aField);
  TnxResult dsBlobFree(platform::TRecordBuffer aBuffer, platform::TField* aField);
  void dsSetBlobNr(platform::TRecordBuffer aBuffer, platform::TField* aField, TnxBlobNr aBlobNr);
  TnxResult dsBlobTruncate(platform::TRecordBuffer aBuffer, platform::TField* aField, std::uint32_t aNewLength);
  // ===== END BLOB declarations =====

 protected:
  // ---- Opening and closing
  // Opens the engine cursor into dsAbstractCursor and calls dsReadDictionary.
  virtual void dsOpenEngineCursor() = 0;
  virtual void dsCloseEngineCursor();
  virtual void dsClearDictionary();
  virtual void dsReadDictionary();
  virtual void dsCreateMappers();
  virtual void dsFreeMappers();
  virtual void dsCalcBookmarkSize();
  virtual void dsInitRecordBuffers();
  virtual void dsBindFields(bool aBinding);
  virtual void dsBuildBlobFieldList(bool aBinding);
  virtual void dsBindFieldMappers(bool aBinding);
  virtual void dsAfterBuffersAllocated() {}
  virtual void dsAfterInternalClose() {}
  virtual void dsAddFieldDef(TnxFieldDescriptor& aFieldDescriptor, std::int32_t aFieldNo);
  virtual void dsAdjustFieldDef(TnxFieldDescriptor& aFieldDescriptor, platform::TFieldDef& aFieldDef);
  virtual bool dsCheckMasterRange(bool /*aFirst*/) { return false; }
  virtual TnxDatabase* dsGetDatabase() const;
  // The buffer that field access uses in the current state.
  virtual bool dsGetActiveRecBuf(platform::TRecordBuffer& aBuffer);
  virtual platform::TRecordBuffer dsGetKeyRecBuf() { return nullptr; }
  virtual bool dsGetBlockReadErrorRecBuf(platform::TRecordBuffer& aBuffer) {
    aBuffer = nullptr;
    return false;
  }
  virtual void dsBeforeFilterChange() {}

  // ---- Fetching
  virtual TnxResult dsRecordGetCurrent(platform::TRecordBuffer aBuffer);
  virtual TnxResult dsRecordGetNextPrior(bool aBackward, TnxLockType aLockType, platform::TRecordBuffer aBuffer);
  virtual int dsGetPriorRecordsUpTo(int aCount);
  // The SetToBookmark hint group.
  void dsRemoveSetToBookmarkHints();
  bool dsHasSetToBookmarkHints() const;
  void dsAddHint(TnxAbstractCursorOption aOption);

  // ---- Framework overrides
  platform::TRecordBuffer AllocRecordBuffer() override;
  void FreeRecordBuffer(platform::TRecordBuffer& aBuffer) override;
  platform::TGetResult GetRecord(platform::TRecordBuffer aBuffer, platform::TGetMode aGetMode,
                                 bool aDoCheck) override;
  void OpenCursor(bool aInfoQuery) override;
  void CloseCursor() override;
  void InternalOpen() override;
  void InternalClose() override;
  bool IsCursorOpen() const override { return dsAbstractCursor != nullptr; }
  void InternalFirst() override;
  void InternalLast() override;
  void InternalSetToRecord(platform::TRecordBuffer aBuffer) override;
  void InternalInitFieldDefs() override;
  void InternalHandleException() override;
  void SetCurrentRecord(int aIndex) override;
  bool GetNextRecord() override;
  const platform::ClassInfo* GetFieldClass(platform::TFieldType aFieldType) override;
  void CreateFields() override;
  void BindFields(bool aBinding) override;
  void CheckFieldCompatibility(platform::TField* aField, const platform::TFieldDef& aFieldDef) override;
  void ClearCalcFields(platform::TRecordBuffer aBuffer) override;
  void RefreshInternalCalcFields(platform::TRecordBuffer) override {}
  platform::TBookmarkFlag GetBookmarkFlag(platform::TRecordBuffer aBuffer) override;
  void SetBookmarkFlag(platform::TRecordBuffer aBuffer, platform::TBookmarkFlag aValue) override;
  int GetRecordSize() const override { return dsRecordLength; }
  void DoAfterOpen() override;
  void Notification(platform::TComponent* aComponent, platform::TOperation aOperation) override;

  // ---- Record buffer parts
  // Clears the record-info word (unaligned: the parts before it have any size).
  void dsClearRecInfoWord(platform::TRecordBuffer aBuffer) const;
  std::uint8_t& dsRecInfoFlag(platform::TRecordBuffer aBuffer) const;
  platform::TRecordBuffer dsBookmarkOf(platform::TRecordBuffer aBuffer) const { return aBuffer + dsOffsetBookmark; }
  platform::TRecordBuffer dsCalcOf(platform::TRecordBuffer aBuffer) const { return aBuffer + dsOffsetCalcFlds; }

  // ---- State (names are the system's)
  bool dsActiveRuntime = false;
  bool dsActiveDesigntime = false;
  bool dsDeactivating = false;
  std::int32_t dsTimeout = -1;
  TnxBaseSession* dsSession = nullptr;  // not owned
  nxString dsAliasName;
  TnxCursor* dsCursor = nullptr;                   // owned
  TnxAbstractCursor* dsAbstractCursor = nullptr;   // owned while open
  TnxDataDictionary* ds_Dictionary = nullptr;      // the cursor's
  TnxBaseTableDescriptor* dsTableDescriptor = nullptr;
  TnxFieldsDescriptor* dsFieldsDescriptor = nullptr;
  TnxDefaultValueHandler* dsDefaultValueHandler = nullptr;  // owned while open
  TnxValidationsHandler* dsValidationsHandler = nullptr;    // owned while open
  PnxSpecialFieldsInfo dsSFI = nullptr;                     // counted
  bool dsWriteOnly = false;
  bool dsInternalWriteOnly = false;
  TnxDataSetOptions dsOptions;
  TnxDataSetInternalStates dsInternalState;
  bool dsIgnoreDataEvents = false;
  bool dsFlipOrder = false;
  // Per engine field number (1-based; index 0 unused).
  std::vector<TnxVclMapperMethod> dsMapperVadurToVcl;
  std::vector<TnxVclMapperMethod> dsMapperVclToVadur;
  std::vector<std::int32_t> dsMapperFieldOffset;
  std::vector<TnxBaseVclFieldMapper*> dsMappers;
  std::vector<TnxBaseVclFieldMapper*> dsMapperList;  // owned
  std::vector<platform::TField*> dsBlobFields;
  std::int32_t dsIgnoreReadOnly = 0;
  bool dsFilterResync = true;
  bool dsFilterResyncDoesFirst = true;
  std::uint32_t dsFilterTimeout = 500;
  TnxFilterID dsExprFilter = 0;
  TnxFilterID dsFuncFilter = 0;
  void* dsRecordToFilter = nullptr;
  std::int32_t dsRecordLength = 0;
  std::int32_t dsOffsetBookmark = 0;
  std::int32_t dsOffsetCalcFlds = 0;
  std::int32_t dsOffsetRecInfos = 0;
  std::int32_t dsRecordBufferSize = 0;
  TnxMemoryPool dsRecordBufferPool;
  std::int32_t dsRecordBufferCount = 0;
  platform::TRecordBuffer dsOldValuesBuffer = nullptr;
  TnxRecordGetBatchExOptions dsBlockReadOptions{gboBlobs, gboBookmarks};
  std::int32_t dsBlockReadCurrentError = 0;
  bool dsInsideScroll = false;
  std::int32_t dsMoveByDistance = 0;
  TnxDataSetInOperation dsInOperation = dioNone;

  // ===== BEGIN editing and bookmark members (nxdbDatasetEdit.cpp) =====
  virtual void dsPostKeepLock();
  virtual void dsInternalPost(bool aKeepLock);
  // Runs aOperation as the framework's operations do (retry, abort or fail
  // by aErrorEvent); dsInOperation is dioNone afterwards in every case.
  template <class F>
  void dsCheckOperation(F&& aOperation, const platform::TDataSetErrorEvent& aErrorEvent);
  // The framework's Edit and Delete run through dsCheckOperation too.
  void CheckDataOperation(const platform::TDataOperation& aOperation,
                          const platform::TDataSetErrorEvent& aErrorEvent) override;
  // Refuses an operation while a BLOB stream of the dataset is open, or
  // detaches the streams first (aFreeThem). BLOB streams hook in here.
  virtual void dsCheckBlobStreamsFreed(bool aFreeThem);
  // The bookkeeping of every after-notification.
  void dsEndOperation(bool aRemoveHints);
  TnxRecID dsGetRecID(platform::TRecordBuffer aBuffer);
  void dsSetToBookmark(const void* aBookmark);

  void InternalEdit() override;
  void InternalPost() override;
  void InternalAddRecord(platform::TRecordBuffer aBuffer, bool aAppend) override;
  void InternalDelete() override;
  void InternalCancel() override;
  void InternalInitRecord(platform::TRecordBuffer aBuffer) override;
  void InternalGotoBookmark(const platform::TBookmark& aBookmark) override;
  void GetBookmarkData(platform::TRecordBuffer aBuffer, void* aData) override;
  void SetBookmarkData(platform::TRecordBuffer aBuffer, const void* aData) override;

  void DoBeforeCancel() override;
  void DoBeforeClose() override;
  void DoBeforeDelete() override;
  void DoBeforeEdit() override;
  void DoBeforeInsert() override;
  void DoBeforePost() override;
  void DoBeforeRefresh() override;
  void DoBeforeScroll() override;
  void DoAfterCancel() override;
  void DoAfterClose() override;
  void DoAfterDelete() override;
  void DoAfterEdit() override;
  void DoAfterInsert() override;
  void DoAfterPost() override;
  void DoAfterRefresh() override;
  void DoAfterScroll() override;
  // ===== END editing and bookmark members =====

  // ===== BEGIN BLOB members (nxdbBlob.cpp) =====
  void FreeFieldBuffers() override;
  void dsCollectBlobFields();
  void dsLinkBlobStream(TnxBaseBlobStream* aStream);
  void dsUnlinkBlobStream(TnxBaseBlobStream* aStream);
  // Sends the bitmap to the cursor (nothing marked: an empty one).
  void dsApplyMarkedBlobs();
  std::int32_t dsBlobIndexOf(platform::TField* aField) const;
  bool dsIsEngineBlobField(platform::TField* aField) const;
  TnxBaseBlobStream* dsBlobStreamsHead = nullptr;
  TnxBaseBlobStream* dsBlobStreamsTail = nullptr;
  // Sorted, case-insensitive, without duplicates; absent: nothing marked.
  std::unique_ptr<std::vector<nxString>> dsMarkedBlobsByFieldName;
  TnxMarkedBlobsByBlobIdx dsMarkedBlobsByBlobIdx;
  friend class TnxBaseBlobStream;
  friend class TnxBlobStream;
  // ===== END BLOB members =====

 private:
  // Frees what a failed open left: engine cursor, mappers, the started
  // cursor component.
  void dsAbandonOpen();
  void dsCopyActiveToStored();
  void dsFreeOldValues();
};
