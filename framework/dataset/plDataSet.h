// The dataset framework's dataset: states, the record buffer ring, navigation,
// editing, bookmarks, filters, calculated fields and the notification of
// data links.
//
// Record buffers are opaque: the descendant allocates (AllocRecordBuffer),
// fills (GetRecord, InternalInitRecord) and frees (FreeRecordBuffer) them;
// the framework only moves pointers around. Bookmarks are byte vectors of
// BookmarkSize bytes that only the descendant interprets.
//
// Buffer ring: FBuffers holds FBufferCount + 1 buffers while the dataset is
// open; the first FRecordCount hold records in dataset order, FActiveRecord
// is the current one, FCurrentRecord the buffer the descendant's cursor is
// positioned on (-1: unknown). The buffer at FRecordCount is the spare one
// (TempBuffer) into which the next fetch goes. BOF, EOF and this bookkeeping
// are protected members: descendants may write them, as block reading and
// their own navigation need.
//
// Scroll events: DataEvent(deDataSetScroll, n) tells the links that every
// record moved by n buffer positions (n < 0: toward the start of the ring,
// as a forward scroll of a full ring does).
//
// Failures: the framework's errors are EDatabaseError with the texts of
// plDbConsts; EAbort ends an operation silently (OnPostError answering
// daAbort). An operation that fails leaves the state it had (a failed Post
// stays in edit or insert).
// Thread safety: none; one thread uses a dataset and its links.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include "nxllComponent.h"
#include "plComponent.h"
#include "plDbConsts.h"
#include "plDbFields.h"
#include "plDbParams.h"
#include "plVariant.h"

class TStream;

namespace platform {

class TDataSet;
class TDataSource;
class TDataLink;

using TDataSetNotifyEvent = TnxMethod<TDataSet*>;
using TDataSetErrorEvent = TnxMethod<TDataSet*, EDatabaseError&, TDataAction&>;
using TFilterRecordEvent = TnxMethod<TDataSet*, bool&>;
using TDataOperation = TnxMethod<>;

class TDataSet : public TComponent {
  PL_CLASS_INFO_DECL()
 public:
  explicit TDataSet(TComponent* aOwner = nullptr);
  ~TDataSet() override;
  // Closes the dataset, detaches data sources and frees the fields.
  void beforeDestruction() override;

  // --- state
  bool Active() const { return dsState != dsInactive && dsState != dsOpening; }
  virtual void SetActive(bool aValue);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  TDataSetState State() const { return dsState; }
  bool Modified() const { return dsModified; }
  void SetModified(bool aValue) { dsModified = aValue; }
  // BOF and EOF (EOF is a C macro, hence the spelling).
  bool Bof() const { return FBOF; }
  bool Eof() const { return FEOF; }
  bool IsEmpty() const;
  bool IsUniDirectional() const { return dsUniDirectional; }
  bool DefaultFields() const { return dsDefaultFields; }
  bool ControlsDisabled() const { return dsDisableCount != 0; }
  bool AutoCalcFields() const { return dsAutoCalcFields; }
  void SetAutoCalcFields(bool aValue) { dsAutoCalcFields = aValue; }

  // --- buffer bookkeeping
  int BufferCount() const { return FBufferCount; }
  int RecordCountInBuffers() const { return FRecordCount; }
  int ActiveRecord() const { return FActiveRecord; }
  int CurrentRecord() const { return FCurrentRecord; }
  // Null when no buffer is active (closed, or empty in browse state).
  TRecordBuffer ActiveBuffer() const;
  TRecordBuffer Buffers(int aIndex) const { return FBuffers.at(static_cast<std::size_t>(aIndex)); }
  TRecordBuffer TempBuffer() const;
  TRecordBuffer CalcBuffer() const { return dsCalcBuffer; }
  int CalcFieldsSize() const { return dsCalcFieldsSize; }

  // --- navigation
  virtual void First();
  void Last();
  void Next();
  void Prior();
  // Answers the distance actually moved.
  virtual int MoveBy(int aDistance);
  virtual void Resync(TResyncMode aMode);
  void Refresh();
  void CheckBrowseMode();
  void UpdateCursorPos();
  void CursorPosChanged() { FCurrentRecord = -1; }
  virtual int RecordCount();
  virtual int RecNo();
  virtual void SetRecNo(int aValue);
  virtual bool IsSequenced() { return false; }

  // --- editing
  void Edit();
  void Insert();
  void Append();
  void InsertRecord(const std::vector<Variant>& aValues);
  void AppendRecord(const std::vector<Variant>& aValues);
  virtual void Post();
  virtual void Cancel();
  void Delete();
  void UpdateRecord();
  virtual bool CanModify() const { return !dsReadOnlyDataSet; }
  // The record under the cursor into aBuffer (framework default: False).
  virtual bool GetCurrentRecord(TRecordBuffer aBuffer);
  void ClearFields();

  // --- bookmarks
  // Empty unless the active record is a current one.
  virtual TBookmark GetBookmark();
  // The bookmark's bytes, one UTF-16 unit each.
  virtual UnicodeString GetBookmarkStr();
  void GotoBookmark(const TBookmark& aBookmark);
  TBookmark Bookmark() { return GetBookmark(); }
  void SetBookmark(const TBookmark& aBookmark) { GotoBookmark(aBookmark); }
  virtual bool BookmarkValid(const TBookmark& aBookmark);
  // <0, 0, >0.
  virtual int CompareBookmarks(const TBookmark& aBookmark1, const TBookmark& aBookmark2);
  int BookmarkSize() const { return dsBookmarkSize; }

  // --- searching and filtering
  bool FindFirst() { return FindRecord(true, true); }
  bool FindLast() { return FindRecord(true, false); }
  bool FindNext() { return FindRecord(false, true); }
  bool FindPrior() { return FindRecord(false, false); }
  bool Found() const { return dsFound; }
  virtual bool Locate(UnicodeStringView aKeyFields, const Variant& aKeyValues, TLocateOptions aOptions);
  virtual Variant Lookup(UnicodeStringView aKeyFields, const Variant& aKeyValues,
                         UnicodeStringView aResultFields);
  const UnicodeString& Filter() const { return dsFilterText; }
  void SetFilter(const UnicodeString& aValue) { SetFilterText(aValue); }
  bool Filtered() const { return dsFiltered; }
  virtual void SetFiltered(bool aValue);
  TFilterOptions FilterOptions() const { return dsFilterOptions; }
  virtual void SetFilterOptions(TFilterOptions aValue);
  TFilterRecordEvent OnFilterRecord() const { return dsOnFilterRecord; }
  virtual void SetOnFilterRecord(TFilterRecordEvent aValue);

  // --- block read
  int BlockReadSize() const { return dsBlockReadSize; }
  virtual void SetBlockReadSize(int aValue);

  // --- fields
  TFields& Fields() { return dsFields; }
  const TFields& Fields() const { return dsFields; }
  int FieldCount() const { return dsFields.Count(); }
  TFieldDefs& FieldDefs() { return dsFieldDefs; }
  TField* FindField(UnicodeStringView aName) const { return dsFields.FindField(aName); }
  TField* FieldByName(UnicodeStringView aName) const { return dsFields.FieldByName(aName); }
  // The fields named in aNames (";"-separated); an unknown name raises.
  std::vector<TField*> GetFieldList(UnicodeStringView aNames) const;
  // Field value access: the descendant reads the active buffer of the
  // current state. aBuffer null: only the null test.
  virtual bool GetFieldData(TField* aField, void* aBuffer);
  virtual void SetFieldData(TField* aField, const void* aBuffer);
  virtual TStream* CreateBlobStream(TField* aField, TBlobStreamMode aMode);
  virtual void CloseBlob(TField* aField);
  // Transliteration hook of string fields; the default copies.
  virtual void Translate(const char* aSource, char* aDest, bool aToOem);
  void GetCalcFields(TRecordBuffer aBuffer);

  // --- temporary state switching
  // A temporary state (calculating, filtering, key editing) without data
  // events; Modified starts False in it and returns to its value after.
  TDataSetState SetTempState(TDataSetState aValue);
  void RestoreState(TDataSetState aValue);

  // --- data links
  void DisableControls();
  void EnableControls();
  virtual void DataEvent(TDataEvent aEvent, std::intptr_t aInfo);
  // Whether aDataSource's dataset, or the master chain from it, reaches
  // this dataset (making aDataSource this dataset's master would close a circle).
  bool IsLinkedTo(const TDataSource* aDataSource) const;
  // The dataset's own master source (master/detail); none here.
  virtual TDataSource* GetDataSource() const { return nullptr; }

  // --- checks
  void CheckActive() const;
  void CheckInactive();
  void CheckBiDirectional() const;
  void CheckCanModify() const;

  // --- provider support: what data providers ask of a dataset. The
  // framework's answers; SQL-capable descendants override them.
  virtual UnicodeString PSGetKeyFields() { return {}; }
  virtual UnicodeString PSGetTableName() { return {}; }
  virtual std::unique_ptr<TIndexDef> PSGetDefaultOrder() { return nullptr; }
  // Copies of the index definitions with any option of aTypes (all when empty).
  virtual std::vector<std::unique_ptr<TIndexDef>> PSGetIndexDefs(TIndexOptions aTypes);
  virtual TIndexDefs* GetIndexDefs() { return nullptr; }
  virtual TParams* PSGetParams() { return nullptr; }
  virtual void PSSetParams(const TParams&) {}
  virtual void PSSetCommandText(UnicodeStringView) {}
  virtual void PSExecute() {}
  // Rows affected; the result-set form hands a dataset to the caller (null: none).
  virtual int PSExecuteStatement(UnicodeStringView aSql, const TParams& aParams);
  virtual int PSExecuteStatement(UnicodeStringView aSql, const TParams& aParams, TDataSet*& aResultSet);
  virtual void PSStartTransaction() {}
  virtual void PSEndTransaction(bool) {}
  virtual bool PSInTransaction() { return false; }
  virtual bool PSIsSQLBased() { return false; }
  virtual bool PSIsSQLSupported() { return false; }
  virtual UnicodeString PSGetQuoteChar() { return u"\""; }
  virtual void PSReset() {}
  // The update error for aError (after aPrevious, if any).
  virtual EUpdateError PSGetUpdateException(std::exception_ptr aError, const EUpdateError* aPrevious);

  // --- events
  TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose, BeforeInsert, AfterInsert, BeforeEdit,
      AfterEdit, BeforePost, AfterPost, BeforeCancel, AfterCancel, BeforeDelete, AfterDelete, BeforeScroll,
      AfterScroll, BeforeRefresh, AfterRefresh, OnNewRecord, OnCalcFields;
  TDataSetErrorEvent OnPostError, OnEditError, OnDeleteError;

 protected:
  // --- what the descendant provides
  virtual TRecordBuffer AllocRecordBuffer() = 0;
  virtual void FreeRecordBuffer(TRecordBuffer& aBuffer) = 0;
  virtual TGetResult GetRecord(TRecordBuffer aBuffer, TGetMode aGetMode, bool aDoCheck) = 0;
  virtual void InternalOpen() = 0;
  virtual void InternalClose() = 0;
  virtual bool IsCursorOpen() const = 0;
  virtual void InternalFirst() = 0;
  virtual void InternalLast() = 0;
  virtual void InternalSetToRecord(TRecordBuffer aBuffer) = 0;
  virtual void InternalHandleException();
  virtual void InternalInitFieldDefs() {}
  virtual void InternalInitRecord(TRecordBuffer) {}
  virtual void InternalEdit() {}
  virtual void InternalInsert() {}
  virtual void InternalCancel() {}
  // The framework's part: the required-field check.
  virtual void InternalPost();
  virtual void InternalDelete() {}
  virtual void InternalAddRecord(TRecordBuffer aBuffer, bool aAppend);
  virtual void InternalRefresh() {}
  virtual void InternalGotoBookmark(const TBookmark& aBookmark);
  virtual TBookmarkFlag GetBookmarkFlag(TRecordBuffer) { return bfCurrent; }
  virtual void SetBookmarkFlag(TRecordBuffer, TBookmarkFlag) {}
  virtual void GetBookmarkData(TRecordBuffer, void*) {}
  virtual void SetBookmarkData(TRecordBuffer, const void*) {}
  virtual void ClearCalcFields(TRecordBuffer) {}
  virtual int GetRecordSize() const { return 0; }
  virtual bool FindRecord(bool aRestart, bool aGoForward);

  // --- the framework's steps a descendant may override or call
  virtual void OpenCursor(bool aInfoQuery);
  virtual void CloseCursor();
  virtual void InitRecord(TRecordBuffer aBuffer);
  virtual void SetCurrentRecord(int aIndex);
  virtual bool GetNextRecord();
  virtual bool GetPriorRecord();
  virtual int GetNextRecords();
  virtual int GetPriorRecords();
  virtual void ClearBuffers();
  virtual void ActivateBuffers();
  virtual void SetBufferCount(int aValue);
  virtual void BlockReadNext();
  virtual void CalculateFields(TRecordBuffer aBuffer);
  virtual void DoOnCalcFields();
  virtual void DoOnNewRecord();
  virtual void CreateFields();
  virtual void DestroyFields();
  virtual void BindFields(bool aBinding);
  virtual const ClassInfo* GetFieldClass(TFieldType aFieldType);
  virtual void CheckFieldCompatibility(TField* aField, const TFieldDef& aFieldDef);
  virtual void CheckRequiredFields();
  virtual void SetFilterText(const UnicodeString& aValue);
  virtual void FreeFieldBuffers() {}
  virtual void UpdateBufferCount();
  virtual void SetState(TDataSetState aValue);
  void SetUniDirectional(bool aValue) { dsUniDirectional = aValue; }
  void SetBookmarkSize(int aValue) { dsBookmarkSize = aValue; }
  void SetReadOnlyDataSet(bool aValue) { dsReadOnlyDataSet = aValue; }
  void SetFound(bool aValue) { dsFound = aValue; }
  // Allocates or frees buffers until aValue are held (the ring plus the spare).
  void SetBufListSize(int aValue);
  // Internal calculated fields of aBuffer; none in the framework itself.
  virtual void RefreshInternalCalcFields(TRecordBuffer) {}
  // Whether aField is a key field of the active index; no index here.
  virtual bool IsIndexField(TField*) { return false; }
  // Brings the index definitions up to date; none here.
  virtual void UpdateIndexDefs() {}
  // Moves the buffer at aCurIndex to aNewIndex, shifting the ones between.
  void MoveBuffer(int aCurIndex, int aNewIndex);
  // Runs aOperation, asking aErrorEvent on a database error: daFail
  // re-raises, daAbort ends silently (EAbort), daRetry runs it again.
  template <class F>
  void CheckOperation(F&& aOperation, const TDataSetErrorEvent& aErrorEvent);
  // Edit, Post and Delete run their Internal step through here; a descendant
  // that keeps bookkeeping around an operation overrides it.
  virtual void CheckDataOperation(const TDataOperation& aOperation, const TDataSetErrorEvent& aErrorEvent) {
    CheckOperation([&aOperation] { aOperation(); }, aErrorEvent);
  }

  virtual void DoBeforeOpen() { Fire(BeforeOpen); }
  virtual void DoAfterOpen() { Fire(AfterOpen); }
  virtual void DoBeforeClose() { Fire(BeforeClose); }
  virtual void DoAfterClose() { Fire(AfterClose); }
  virtual void DoBeforeInsert() { Fire(BeforeInsert); }
  virtual void DoAfterInsert() { Fire(AfterInsert); }
  virtual void DoBeforeEdit() { Fire(BeforeEdit); }
  virtual void DoAfterEdit() { Fire(AfterEdit); }
  virtual void DoBeforePost() { Fire(BeforePost); }
  virtual void DoAfterPost() { Fire(AfterPost); }
  virtual void DoBeforeCancel() { Fire(BeforeCancel); }
  virtual void DoAfterCancel() { Fire(AfterCancel); }
  virtual void DoBeforeDelete() { Fire(BeforeDelete); }
  virtual void DoAfterDelete() { Fire(AfterDelete); }
  virtual void DoBeforeScroll() { Fire(BeforeScroll); }
  virtual void DoAfterScroll() { Fire(AfterScroll); }
  virtual void DoBeforeRefresh() { Fire(BeforeRefresh); }
  virtual void DoAfterRefresh() { Fire(AfterRefresh); }

  // Writable bookkeeping (see the header comment).
  std::vector<TRecordBuffer> FBuffers;
  int FBufferCount = 0;
  int FRecordCount = 0;
  int FActiveRecord = 0;
  int FCurrentRecord = -1;
  bool FBOF = false;
  bool FEOF = false;

 private:
  friend class TDataSource;
  friend class TDataLink;
  friend class TField;
  friend class TFieldDef;

  void Fire(const TDataSetNotifyEvent& aEvent) {
    if (aEvent) aEvent(this);
  }
  void OpenComplete();
  void DoClose();
  void BeginInsertAppend();
  void EndInsertAppend();
  void AddRecord(const std::vector<Variant>& aValues, bool aAppend);
  int LinkBufferCount() const;
  void AddDataSource(TDataSource* aSource);
  void RemoveDataSource(TDataSource* aSource);
  void NotifyDataSources(TDataEvent aEvent, std::intptr_t aInfo);

  TDataSetState dsState = dsInactive;
  bool dsModified = false;
  bool dsUniDirectional = false;
  bool dsDefaultFields = false;
  bool dsAutoCalcFields = true;
  bool dsReadOnlyDataSet = false;
  bool dsFound = false;
  bool dsFiltered = false;
  bool dsInternalCalc = false;
  int dsBookmarkSize = 0;
  int dsBlockReadSize = 0;
  int dsCalcFieldsSize = 0;
  int dsDisableCount = 0;
  int dsTempStateCount = 0;
  std::vector<bool> dsSavedModified;
  TDataSetState dsDisableState = dsInactive;
  bool dsEnableEventPending = false;
  TDataEvent dsEnableEvent = deDataSetChange;
  TRecordBuffer dsCalcBuffer = nullptr;
  UnicodeString dsFilterText;
  TFilterOptions dsFilterOptions;
  TFilterRecordEvent dsOnFilterRecord;
  TFields dsFields;
  TFieldDefs dsFieldDefs;
  std::vector<TDataSource*> dsDataSources;  // not owned
};

template <class F>
void TDataSet::CheckOperation(F&& aOperation, const TDataSetErrorEvent& aErrorEvent) {
  for (;;) {
    try {
      UpdateCursorPos();
      aOperation();
      return;
    } catch (EDatabaseError& e) {
      TDataAction action = daFail;
      if (aErrorEvent) aErrorEvent(this, e, action);
      if (action == daFail) throw;
      if (action == daAbort) Abort();
      // daRetry: once more
    }
  }
}

}  // namespace platform
