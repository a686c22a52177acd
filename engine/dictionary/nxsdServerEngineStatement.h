// The abstract statement, the database and cursor as the SQL layer sees
// them, and the request-close handler through which a cursor asks its user
// to close it. Part of nxsdServerEngine: include nxsdServerEngine.h, not
// this header.
//
// Contracts:
// - A statement is in its database's statement list (under the database's
//   statement padlock) from construction to destruction, counted by the
//   engine in between. Clients call Prepare, SetParams, Exec, GetParams in
//   this order (or the database's StatementExecDirect).
// - The SQL cursor's primitives (sbc..., sac...) run without the guarded
//   call: the SQL layer calls them from inside its own guarded calls.
// - The request-close handler is kept under a padlock created on first
//   use; a cursor being destroyed drops its handler and accepts no new one.
#pragma once

#include <cstdint>
#include <functional>

class TnxMemoryStream;

class TnxAbstractStatement : public TnxAbstractTimeoutObject {
  PL_CLASS_INFO_DECL()
  friend class TnxAbstractDatabase;

 public:
  TnxAbstractStatement(TnxAbstractDatabase* aDatabase, std::uint32_t aTimeout);
  ~TnxAbstractStatement() override;

  void afterConstruction() override;
  void beforeDestruction() override;

  // aStream receives what preparation returns to the client.
  virtual TnxResult Prepare(TnxStatementType aStatementType, const nxString& aQueryText, TStream* aStream) = 0;
  // A statement that yields rows answers a cursor opened with aOpenMode.
  virtual TnxResult Exec(TnxAbstractCursor*& aCursor, TnxOpenMode aOpenMode, TStream* aStream) = 0;
  virtual TnxResult SetParams(const TnxSqlParamList& aParams, TStream* aStream) = 0;
  virtual TnxResult GetParams(TnxSqlParamList& aParams, TStream* aStream) = 0;

  // "<Statement>" with the rest on itself, "<Database>" with the rest on the
  // database; others inherited.
  std::int32_t CreateInstanceFor(const nxString& aName, const platform::Guid& aClassID, InxInterface* aOuter,
                                 const platform::Guid& aInterfaceID, void** aInterface) override;
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aIncludeChildren) override;

  TnxAbstractDatabase* Database() const { return asDatabase; }
  bool ExecDirect() const { return asExecDirect; }
  void SetExecDirect(bool aValue) { asExecDirect = aValue; }

 protected:
  TnxAbstractDatabase* asDatabase = nullptr;
  TnxAbstractStatement* asDatabasePrev = nullptr;
  TnxAbstractStatement* asDatabaseNext = nullptr;
  bool asLockedIncDone = false;
  bool asExecDirect = false;

 private:
  bool asLinked = false;
};

class TnxSqlAbstractCursor;

using TnxDictionaryIterator = std::function<TnxIteratorResult(TnxDataDictionary* aDictionary,
                                                              const nxString& aTableName, void* aCookie)>;

class TnxSqlAbstractDatabase : public TnxAbstractDatabase {
  PL_CLASS_INFO_DECL()
 public:
  using TnxAbstractDatabase::TnxAbstractDatabase;

  virtual nxString sadGetAlias() { return nxString(); }
  virtual TnxResult sdTableRebuildIndex(const nxString& aTableName, const nxString& aPassword,
                                        const nxString& aIndexName, std::int32_t aIndexID,
                                        TnxAbstractTaskInfo*& aTaskInfo) = 0;
  virtual TnxResult sdTableRestructure(const nxString& aTableName, const nxString& aPassword,
                                       TnxDataDictionary* aDictionary, TnxBaseTableMapperDescriptor* aMapperDesc,
                                       TnxAbstractTaskInfo*& aTaskInfo) = 0;
  // An unnamed temporary table of aDictionary, opened as a cursor.
  virtual TnxSqlAbstractCursor* sadCreateResultSet(TnxDataDictionary* aDictionary, std::uint32_t aTimeout) = 0;
  // aIterator with each table's dictionary until it answers irStop.
  virtual TnxIteratorResult sdIterateDictionaries(const TnxDictionaryIterator& aIterator, bool aAllowSystem,
                                                  bool aIgnoreError, void* aCookie) = 0;
  virtual void sadLockTables() = 0;
  virtual void sadUnlockTables() = 0;

  std::uint32_t LastAutoInc() const { return sadLastAutoInc; }
  void SetLastAutoInc(std::uint32_t aValue) { sadLastAutoInc = aValue; }
  TnxOpenMode OpenMode() const { return sdOpenMode; }
  TnxShareMode ShareMode() const { return sdShareMode; }
  nxString Alias() { return sadGetAlias(); }

 protected:
  std::uint32_t sadLastAutoInc = 0;
  TnxOpenMode sdOpenMode = omReadOnly;
  TnxShareMode sdShareMode = smShared;
  TnxSqlAbstractDatabase* sadMasterDatabase = nullptr;
};

class TnxSqlAbstractCursor : public TnxAbstractServerCursor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxAbstractServerCursor::TnxAbstractServerCursor;
  ~TnxSqlAbstractCursor() override;

  virtual bool sacIsWrapper() { return false; }
  virtual void sbcMarkReadonly() = 0;
  virtual nxString sbcGetRootName() = 0;
  virtual TnxIndexPathPosition sbcGetPosition() = 0;
  // Nothing while the cursor is being destroyed.
  virtual void sbcSetOnRequestClose(const TnxIntfPtr<InxRequestCloseHandler>& aHandler);
  virtual TnxResult sbcSwitchToIndex(const nxString& aIndexName, std::int32_t aIndexID,
                                     TnxPosnOnRec aPosnOnRec) = 0;
  virtual TnxResult sbcGetIndexID(std::int32_t& aIndexID) = 0;
  virtual TnxResult sbcRangeReset() = 0;
  virtual TnxResult sbcRangeSet(std::int32_t aFieldCount1, std::int32_t aPartialLen1, bool aDirectKey1,
                                const void* aKeyData1, bool aKeyIncl1, std::int32_t aFieldCount2,
                                std::int32_t aPartialLen2, bool aDirectKey2, const void* aKeyData2,
                                bool aKeyIncl2) = 0;
  virtual TnxResult sbcSetToBegin() = 0;
  virtual TnxResult sbcSetToEnd() = 0;
  virtual TnxResult sbcRecordGetBatch(std::int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                      TnxBatchStreamAccess*& aAccess, std::int32_t aMaxRecords, bool aForward) = 0;
  virtual TnxResult sbcRecordInsertBatch(TnxMemoryStream* aStream) = 0;
  virtual TnxResult sbcCopyRecords(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode,
                                   std::uint32_t aMaxTransSize, bool aCheckValFields) = 0;
  virtual TnxResult sbcDeleteRecords() = 0;
  // A BLOB that refers to a BLOB of another table.
  virtual TnxResult sbcBlobCreateLink(const TnxRecID& aRecID, std::int32_t aFieldNo, const nxString& aTableName,
                                      TnxBlobNr aTableBlobNr, TnxBlobNr& aBlobNr) = 0;
  virtual TnxResult sbcBlobDelete(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr) = 0;
  virtual TnxResult sbcBlobTruncate(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                    std::uint32_t aBlobLength) = 0;
  virtual TnxResult sbcBlobWrite(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                                 std::uint32_t aOffset, std::uint32_t aLen, const void* aBlob) = 0;
  virtual TnxResult sbcBlobReplace(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr& aBlobNr,
                                   std::uint32_t aLen, const void* aBlob) = 0;
  virtual bool sbcBlobIsLink(const TnxRecID& aRecID, std::int32_t aFieldNo, TnxBlobNr aBlobNr,
                             nxString& aSrcTableName, TnxBlobNr& aSrcTableBlobNr) = 0;
  virtual TnxResult sbcRecordGet(TnxLockType aLockType, PnxRecordBuffer aData) = 0;
  virtual TnxResult sbcRecordGetNext(TnxLockType aLockType, PnxRecordBuffer aData) = 0;
  virtual TnxResult sbcRecordGetPrior(TnxLockType aLockType, PnxRecordBuffer aData) = 0;
  virtual TnxResult sbcRecordInsert(TnxLockType aLockType, TnxInsertOptions aInsertOptions, PnxRecordBuffer aData,
                                    std::int64_t* aAutoInc) = 0;
  virtual TnxResult sbcRecordModify(PnxRecordBuffer aData, bool aReleaseLock, PnxRecordDiff aDataDiff) = 0;
  virtual TnxResult sbcRecordDelete(PnxRecordBuffer aData, TnxLSN aLSN) = 0;
  virtual TnxResult sbcAutoIncGet(std::uint32_t& aValue) = 0;
  virtual TnxResult sbcGetRecordCount(TnxRecordCountOption aOption, std::uint32_t& aRecCount, bool aEstimate) = 0;
  virtual TnxResult sbcChangePassword(const nxString& aNewPassword) = 0;
  virtual TnxResult sbcDuplicate(TnxOpenMode aOpenMode, TnxAbstractCursor*& aNewCursor, bool aForceWrite) = 0;
  // Walks the records (or keys) calling the iterators until one stops.
  virtual TnxResult sbcIterate(PPnxRecordBuffer aData, const TnxKeyIterator& aKeyIterator,
                               const TnxRecordIterator& aRecIterator, bool aBackward, void* aCookie,
                               bool aKeepPosition) = 0;
  virtual bool sacHasKey(std::int32_t aIndex, platform::Variant& aValue) = 0;
  virtual TnxOpenMode sacGetOpenMode() { return omReadOnly; }
  virtual TnxRefNr sacGetRefNr() = 0;
  virtual void sacSetRefNr(TnxRefNr aRefNr) = 0;
  virtual void sacSetDefault(PnxRecordBuffer aRecordBuffer, std::int32_t aIndex) = 0;
  virtual void sacSetDefaultsInsert(PnxRecordBuffer aRecordBuffer) = 0;
  virtual TnxResult sacGetRecordByID(TnxRefNr aRefNr, PnxRecordBuffer aRecordBuffer) = 0;

  TnxOpenMode OpenMode() { return sacGetOpenMode(); }
  nxString RootName() { return sbcGetRootName(); }
  TnxIndexPathPosition Position() { return sbcGetPosition(); }
  // The handler under its padlock; nil without a padlock or while the
  // cursor is being destroyed.
  TnxIntfPtr<InxRequestCloseHandler> OnRequestClose();
  void SetOnRequestClose(const TnxIntfPtr<InxRequestCloseHandler>& aHandler) { sbcSetOnRequestClose(aHandler); }
  bool UseNestedTransaction() const { return sbcUseNestedTransaction; }

 protected:
  // Asks the user to close the cursor (under the padlock); answers True
  // when the handler closed it.
  bool sbcRequestClose();

  TnxLazyPadlock sbcOnRequestCloseLock;
  TnxIntfPtr<InxRequestCloseHandler> sbcOnRequestClose;
  bool sbcUseNestedTransaction = false;
};

// An event with the sender.
using TnxRequestCloseEvent = std::function<void(platform::TObject* aSender)>;

class TnxRequestCloseHandlerEvent : public TnxInterfacedObject, public InxRequestCloseHandlerEvent {
  PL_CLASS_INFO_DECL()
 public:
  // An event without code starts disconnected.
  explicit TnxRequestCloseHandlerEvent(TnxRequestCloseEvent aEvent);

  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override;
  std::int32_t AddRef() override { return TnxInterfacedObject::AddRef(); }
  std::int32_t Release() override { return TnxInterfacedObject::Release(); }
  // The event with aSender unless disconnected.
  void RequestClose(platform::TObject* aSender) override;
  void Disconnect() override { rcheDisconnected.store(true, std::memory_order_release); }

 private:
  TnxRequestCloseEvent rcheEvent;
  std::atomic<bool> rcheDisconnected{false};
};

TnxIntfPtr<InxRequestCloseHandler> nxCreateRequestCloseHandler(TnxRequestCloseEvent aEvent);
