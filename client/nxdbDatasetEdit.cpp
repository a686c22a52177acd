// Editing, posting, deleting and cancelling through the engine cursor, field
// writes into the engine record, the operation bookkeeping of the before- and
// after-notifications, and the framework's bookmarks over the engine's.
//
// Record locks: a pessimistic Edit holds the engine's record lock from
// InternalEdit until the post or cancel releases it (PostAndEdit keeps it);
// an optimistic Edit holds none and relies on the table's RecRev or LSN field
// for the engine to notice a change by another session.
// A failed post leaves the state and the active buffer as they were.
#include <cstring>
#include <vector>

#include "nxdbInt.h"
#include "nxllBde.h"
#include "nxllUtils.h"
#include "nxsdDefaultValueEngine.h"
#include "nxsdValidationEngine.h"

using namespace platform;

namespace {

constexpr char16_t kNotEditing[] = u"DataSet not in editing mode";
constexpr char16_t kNoActiveBuffer[] = u"Could not retrieve the active buffer";
constexpr char16_t kOptimisticNeedsRecRev[] = u"A RecRev or LSN field is required for optimistic locking";

// Cursor position codes (8704-8959): "nothing there to delete".
bool isPositionCode(TnxResult aResult) { return ((aResult >> 8) & 0xFF) == 0x22; }

// Bookmark layout: checksum, index id, position kind, RefNr, key length, key.
constexpr std::int32_t kBookmarkHeaderSize = 24;
constexpr std::uint8_t kBookmarkOnRecord = 4;  // the position kind in byte 8

template <class T>
T readAt(const std::uint8_t* aData, std::size_t aOffset) {
  T value;
  std::memcpy(&value, aData + aOffset, sizeof value);
  return value;
}

}  // namespace

// ---------------------------------------------------------------------------
// Operation bookkeeping

template <class F>
void TnxDataset::dsCheckOperation(F&& aOperation, const TDataSetErrorEvent& aErrorEvent) {
  try {
    CheckOperation(std::forward<F>(aOperation), aErrorEvent);
  } catch (...) {
    dsInOperation = dioNone;
    throw;
  }
  dsInOperation = dioNone;
}

void TnxDataset::CheckDataOperation(const TDataOperation& aOperation, const TDataSetErrorEvent& aErrorEvent) {
  dsCheckOperation([&aOperation] { aOperation(); }, aErrorEvent);
}

void TnxDataset::DoBeforeCancel() {
  dsCheckBlobStreamsFreed(true);
  dsInternalState.exclude(dsiInsertSuccessful);
  TDataSet::DoBeforeCancel();
  dsInOperation = dioCancel;
}

void TnxDataset::DoBeforeClose() {
  dsCheckBlobStreamsFreed(true);
  dsInternalState.exclude(dsiInsertSuccessful);
  TDataSet::DoBeforeClose();
  dsInOperation = dioClose;
}

void TnxDataset::DoBeforeDelete() {
  dsCheckBlobStreamsFreed(true);
  dsInternalState.exclude(dsiInsertSuccessful);
  TDataSet::DoBeforeDelete();
  dsInOperation = dioDelete;
}

void TnxDataset::DoBeforeEdit() {
  dsCheckBlobStreamsFreed(false);
  dsInternalState.exclude(dsiInsertSuccessful);
  TDataSet::DoBeforeEdit();
  dsInOperation = dioEdit;
}

void TnxDataset::DoBeforeInsert() {
  dsCheckBlobStreamsFreed(false);
  TDataSet::DoBeforeInsert();
  dsInternalState.exclude(dsiInsertSuccessful);
  dsInOperation = dioInsert;
}

void TnxDataset::DoBeforePost() {
  dsCheckBlobStreamsFreed(false);
  dsInternalState.exclude(dsiInsertSuccessful);
  TDataSet::DoBeforePost();
  dsInOperation = dioPost;
}

void TnxDataset::DoBeforeRefresh() {
  dsCheckBlobStreamsFreed(false);
  TDataSet::DoBeforeRefresh();
  dsInOperation = dioRefresh;
  dsAddHint(acoSetToBookmarkFollowedBySync);
}

void TnxDataset::DoBeforeScroll() {
  dsCheckBlobStreamsFreed(false);
  TDataSet::DoBeforeScroll();
  if (dsInOperation != dioCancel) dsInOperation = dioScroll;
  dsInsideScroll = true;
}

// What every after-notification does before the user's event; after close
// the cursor is gone, so its hints stay as they are.
void TnxDataset::dsEndOperation(bool aRemoveHints) {
  dsInternalState.exclude(dsiInsertSuccessful);
  dsInOperation = dioNone;
  if (aRemoveHints) dsRemoveSetToBookmarkHints();
}

void TnxDataset::DoAfterCancel() {
  dsEndOperation(true);
  TDataSet::DoAfterCancel();
}

void TnxDataset::DoAfterClose() {
  dsEndOperation(false);
  TDataSet::DoAfterClose();
}

void TnxDataset::DoAfterDelete() {
  dsEndOperation(true);
  TDataSet::DoAfterDelete();
}

void TnxDataset::DoAfterEdit() {
  dsEndOperation(true);
  TDataSet::DoAfterEdit();
}

void TnxDataset::DoAfterInsert() {
  dsEndOperation(true);
  TDataSet::DoAfterInsert();
}

void TnxDataset::DoAfterPost() {
  dsEndOperation(true);
  TDataSet::DoAfterPost();
}

void TnxDataset::DoAfterRefresh() {
  dsEndOperation(true);
  TDataSet::DoAfterRefresh();
}

void TnxDataset::DoAfterScroll() {
  dsEndOperation(true);
  dsInsideScroll = false;
  TDataSet::DoAfterScroll();
}

// ---------------------------------------------------------------------------
// Editing

void TnxDataset::InternalEdit() {
  if (dsInternalWriteOnly) dsRaise(nxErrNoCurrentRecord);
  TnxLockType lockType = nxltWriteLock;
  if (dsOptions.contains(dsoOptimisticLocks)) {
    lockType = nxltNoLock;
    // Without a revision the engine could not tell that another session
    // changed the record meanwhile.
    const bool hasRevision =
        dsSFI && (dsSFI->sfiFields[sftRecRev] >= 0 || dsSFI->sfiFields[sftModifyLSN] >= 0);
    if (!hasRevision) dsRaiseCodeMessage(nxErrNotSupported, kOptimisticNeedsRecRev);
  }
  dsCheck(dsAbstractCursor->RecordGet(lockType, ActiveBuffer()));
}

void TnxDataset::Post() {
  // The framework's course, with the operation bookkeeping reset also when
  // the post fails. A batch append posts its own way (block writes).
  UpdateRecord();
  if (State() != dsEdit && State() != dsInsert) return;
  DataEvent(deCheckBrowseMode, 0);
  DoBeforePost();
  dsCheckOperation([this] { InternalPost(); }, OnPostError);
  FreeFieldBuffers();
  SetState(dsBrowse);
  Resync({});
  DoAfterPost();
}

void TnxDataset::InternalPost() { dsInternalPost(false); }

void TnxDataset::dsPostKeepLock() { dsInternalPost(true); }

void TnxDataset::dsInternalPost(bool aKeepLock) {
  TDataSet::InternalPost();
  TRecordBuffer buffer = ActiveBuffer();
  // The defaults and the engine may write into the buffer; a refused post
  // gives the user back what was typed.
  std::vector<std::uint8_t> saved(buffer, buffer + dsRecordLength);
  try {
    if (State() == dsEdit) {
      if (dsDefaultValueHandler) dsDefaultValueHandler->SetDefaultValuesModify(buffer);
      if (dsValidationsHandler) dsValidationsHandler->ValidateRecord(dsOldValuesBuffer, buffer);
      const bool hint = !dsMessageReductionOff() && dsAbstractCursor->AddCursorOption(acoRecordModifyFollowedBySync);
      TnxResult result = dsAbstractCursor->RecordModify(buffer, !aKeepLock, nullptr);
      if (hint) dsAbstractCursor->RemoveCursorOption(acoRecordModifyFollowedBySync);
      if (dsOptions.contains(dsoOptimisticLocks) &&
          (result == nxErrKeyOrRecDeleted || result == nxErrNoCurrentRecord))
        result = nxErrRecordDeletedByOther;
      dsCheck(result);
    } else if (State() == dsInsert) {
      if (dsValidationsHandler) dsValidationsHandler->ValidateRecord(nullptr, buffer);
      const bool hint = !dsInternalWriteOnly && dsAbstractCursor->AddCursorOption(acoRecordInsertFollowedByRecordGet);
      const TnxResult result = dsAbstractCursor->RecordInsert(aKeepLock ? nxltWriteLock : nxltNoLock, buffer, nullptr);
      if (hint) dsAbstractCursor->RemoveCursorOption(acoRecordInsertFollowedByRecordGet);
      dsCheck(result);
      dsInternalState.include(dsiInsertSuccessful);
    }
  } catch (...) {
    std::memcpy(buffer, saved.data(), saved.size());
    throw;
  }
  for (TField* f : dsBlobFields)
    if (auto* blob = objectAs<TBlobField>(f)) blob->SetModified(false);
}

void TnxDataset::PostAndEdit() {
  UpdateRecord();
  if (State() != dsEdit && State() != dsInsert) return;
  DataEvent(deCheckBrowseMode, 0);
  DoBeforePost();
  dsInOperation = dioPostAndEdit;
  try {
    dsCheckOperation([this] { dsPostKeepLock(); }, OnPostError);
    FreeFieldBuffers();
    SetState(dsEdit);
    Resync({rmExact});
    DoAfterPost();
    DoBeforeEdit();
    dsRemoveSetToBookmarkHints();
    GetCalcFields(ActiveBuffer());
    SetState(dsEdit);
    // The posted record is the new base of the edit.
    if (dsOldValuesBuffer) FreeRecordBuffer(dsOldValuesBuffer);
    dsOldValuesBuffer = AllocRecordBuffer();
    std::memcpy(dsOldValuesBuffer, ActiveBuffer(), static_cast<std::size_t>(dsRecordBufferSize));
    SetModified(false);
    DataEvent(deRecordChange, 0);
    DoAfterEdit();
  } catch (...) {
    dsInOperation = dioNone;
    dsRemoveSetToBookmarkHints();
    throw;
  }
  dsInOperation = dioNone;
  dsRemoveSetToBookmarkHints();
}

void TnxDataset::InternalAddRecord(TRecordBuffer aBuffer, bool /*aAppend*/) {
  const bool hint = !dsInternalWriteOnly && dsAbstractCursor->AddCursorOption(acoRecordInsertFollowedByRecordGet);
  const TnxResult result = dsAbstractCursor->RecordInsert(nxltNoLock, aBuffer, nullptr);
  if (hint) dsAbstractCursor->RemoveCursorOption(acoRecordInsertFollowedByRecordGet);
  dsCheck(result);
}

void TnxDataset::InternalDelete() {
  if (!dsInternalWriteOnly) {
    const bool hint = !dsMessageReductionOff() && dsAbstractCursor->AddCursorOption(acoRecordDeleteFollowedBySync);
    const TnxResult result = dsAbstractCursor->RecordDelete(nullptr, 0);
    if (hint) dsAbstractCursor->RemoveCursorOption(acoRecordDeleteFollowedBySync);
    // A record already gone (deleted or moved by another session) is what
    // the user asked for.
    if (result != 0 && !isPositionCode(result)) dsRaise(result);
  }
  if (State() == dsEdit && ActiveBuffer()) InitRecord(ActiveBuffer());
}

void TnxDataset::InternalCancel() {
  if (State() != dsEdit) return;
  const bool hint = !dsMessageReductionOff() && !Destroying() &&
                    dsAbstractCursor->AddCursorOption(acoLockReleaseFollowedByRecordGet);
  std::vector<TBlobField*> cancelled;
  if (dsAbstractCursor->Capabilities().contains(accCancelBlobs))
    for (TField* f : dsBlobFields)
      if (auto* blob = objectAs<TBlobField>(f); blob && blob->Modified()) cancelled.push_back(blob);
  TnxResult result = dsAbstractCursor->RecordLockRelease(false, !cancelled.empty());
  if (hint) dsAbstractCursor->RemoveCursorOption(acoLockReleaseFollowedByRecordGet);
  if (dsOptions.contains(dsoOptimisticLocks) && (result == nxErrKeyOrRecDeleted || result == nxErrNoCurrentRecord))
    result = 0;
  if (result != 0 && !dsDeactivating) dsRaise(result);
  for (TBlobField* blob : cancelled) blob->SetModified(false);
}

void TnxDataset::InternalInitRecord(TRecordBuffer aBuffer) {
  dsFieldsDescriptor->InitRecord(aBuffer);
  if (dsDefaultValueHandler) dsDefaultValueHandler->SetDefaultValuesInsert(aBuffer);
  dsClearRecInfoWord(aBuffer);
}

bool TnxDataset::GetCurrentRecord(TRecordBuffer aBuffer) {
  if (dsInternalWriteOnly || IsEmpty() || GetBookmarkFlag(ActiveBuffer()) != bfCurrent) return false;
  UpdateCursorPos();
  return dsAbstractCursor->RecordGet(nxltNoLock, aBuffer) == 0;
}

// ---------------------------------------------------------------------------
// Field writes

void TnxDataset::SetFieldData(TField* aField, const void* aBuffer) {
  switch (State()) {
    case dsEdit:
    case dsInsert:
    case dsSetKey:
    case dsCalcFields:
    case dsFilter:
    case dsNewValue:
    case TDataSetState::dsInternalCalc:
      break;
    default:
      dsRaiseMessage(kNotEditing);
  }
  TRecordBuffer record = nullptr;
  if (!dsGetActiveRecBuf(record)) dsRaiseMessage(kNoActiveBuffer);
  const int no = aField->FieldNo();
  if (no < 1) {
    std::uint8_t* calc = record + dsOffsetCalcFlds + aField->Offset();
    if (aBuffer) {
      calc[0] |= 1;
      std::memcpy(calc + 1, aBuffer, static_cast<std::size_t>(aField->DataSize()));
    } else {
      calc[0] &= static_cast<std::uint8_t>(~1u);
    }
  } else {
    const bool readOnlyRefused = aField->ReadOnly() && State() != dsSetKey && State() != dsFilter &&
                                 dsIgnoreReadOnly <= 0;
    const bool internalRefused = aField->FieldKind() == fkInternalCalc && State() != dsSetKey;
    if (State() == dsCalcFields || readOnlyRefused || internalRefused) dsRaise(nxErrReadOnlyField);
    aField->Validate(aBuffer);
    const auto at = static_cast<std::size_t>(no);
    if (aBuffer) {
      // Convert before clearing the null flag: a refused value leaves the
      // field as it was.
      const TnxVclMapperMethod& toEngine = dsMapperVclToVadur[at];
      if (toEngine.Assigned()) toEngine(aBuffer, record + dsMapperFieldOffset[at]);
    }
    dsFieldsDescriptor->SetRecordFieldNull(no - 1, record, aBuffer == nullptr);
  }
  if (State() != dsCalcFields && State() != dsFilter && State() != dsNewValue)
    DataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(aField));
}

// ---------------------------------------------------------------------------
// Bookmarks

void TnxDataset::GetBookmarkData(TRecordBuffer aBuffer, void* aData) {
  std::memcpy(aData, aBuffer + dsOffsetBookmark, static_cast<std::size_t>(BookmarkSize()));
}

void TnxDataset::GetBookmarkData(TRecordBuffer aBuffer, TBookmark& aData) {
  aData.resize(static_cast<std::size_t>(BookmarkSize()));
  GetBookmarkData(aBuffer, aData.data());
}

void TnxDataset::SetBookmarkData(TRecordBuffer aBuffer, const void* aData) {
  if (aData) {
    std::memcpy(aBuffer + dsOffsetBookmark, aData, static_cast<std::size_t>(BookmarkSize()));
    return;
  }
  std::memset(aBuffer + dsOffsetBookmark, 0, static_cast<std::size_t>(BookmarkSize()));
  SetBookmarkFlag(aBuffer, bfEOF);
}

void TnxDataset::SetBookmarkData(TRecordBuffer aBuffer, const TBookmark& aData) {
  SetBookmarkData(aBuffer, aData.size() == static_cast<std::size_t>(BookmarkSize()) ? aData.data() : nullptr);
}

void TnxDataset::dsSetToBookmark(const void* aBookmark) {
  dsCheck(dsAbstractCursor->SetToBookmark(aBookmark, BookmarkSize()));
}

void TnxDataset::InternalGotoBookmark(const TBookmark& aBookmark) {
  if (dsInternalWriteOnly) return;
  if (aBookmark.size() != static_cast<std::size_t>(BookmarkSize())) dsRaise(nxErrBookmarkMismatch);
  dsAddHint(acoSetToBookmarkFollowedByRecordGet);
  try {
    dsSetToBookmark(aBookmark.data());
  } catch (...) {
    dsRemoveSetToBookmarkHints();
    throw;
  }
  dsRemoveSetToBookmarkHints();
}

bool TnxDataset::BookmarkValid(const TBookmark& aBookmark) {
  CheckBiDirectional();
  if (!Active() || aBookmark.empty() || dsInternalWriteOnly) return false;
  // The cursor reads the full bookmark size: a shorter one is not ours.
  if (aBookmark.size() != static_cast<std::size_t>(BookmarkSize())) return false;
  CursorPosChanged();
  return dsAbstractCursor->SetToBookmark(aBookmark.data(), BookmarkSize()) == 0 &&
         dsAbstractCursor->RecordGet(nxltNoLock, nullptr) == 0;
}

int TnxDataset::CompareBookmarks(const TBookmark& aBookmark1, const TBookmark& aBookmark2) {
  int result = 0;
  if (aBookmark1.empty() || aBookmark2.empty()) {
    result = aBookmark1.empty() == aBookmark2.empty() ? 0 : aBookmark1.empty() ? 1 : -1;
  } else {
    CheckActive();
    const auto size = static_cast<std::size_t>(BookmarkSize());
    if (aBookmark1.size() != size || aBookmark2.size() != size) dsRaise(nxErrBookmarkMismatch);
    TnxCompareResult compared = crEqual;
    // A refused bookmark raises: its code is no order.
    dsCheck(dsAbstractCursor->CompareBookmarks(aBookmark1.data(), aBookmark2.data(), BookmarkSize(), compared));
    result = compared;
  }
  return dsFlipOrder ? -result : result;
}

Variant TnxDataset::KeyAsVariant() {
  TRecordBuffer buffer = nullptr;
  if (!dsGetActiveRecBuf(buffer) || GetBookmarkFlag(buffer) != bfCurrent) return Variant::null();
  Variant value;
  dsCheck(dsAbstractCursor->BookmarkAsVariant(buffer + dsOffsetBookmark, BookmarkSize(), value));
  return value;
}

void TnxDataset::GotoCurrent(TnxDataset* aDataSet) {
  CheckBiDirectional();
  CheckBrowseMode();
  if (dsInternalWriteOnly) return;
  if (aDataSet && aDataSet != this) {
    if (aDataSet->Session() != Session()) dsRaise(nxErrCursorOfOtherTable);
    aDataSet->CheckBiDirectional();
    if ((aDataSet->State() != dsBrowse && aDataSet->State() != dsEdit) || aDataSet->IsEmpty())
      aDataSet->dsRaise(nxErrNoCurrentRecord);
    aDataSet->UpdateCursorPos();
    const bool hint = !dsMessageReductionOff() && dsAbstractCursor->AddCursorOption(acoSetToCursorFollowedBySyncExact);
    const TnxResult result = dsAbstractCursor->SetToCursor(aDataSet->dsAbstractCursor);
    if (hint) dsAbstractCursor->RemoveCursorOption(acoSetToCursorFollowedBySyncExact);
    dsCheck(result);
  }
  DoBeforeScroll();
  try {
    Resync({rmExact, rmCenter});
  } catch (...) {
    dsInsideScroll = false;
    throw;
  }
  DoAfterScroll();
}

// ---------------------------------------------------------------------------
// Record identity

TnxRecID TnxDataset::dsGetRecID(TRecordBuffer aBuffer) {
  TnxRecID id = dsAbstractCursor->acGetRecID(aBuffer);
  if (id.ridRefNr != 0 || id.ridInsertLSN != 0) return id;
  if (State() == dsBlockRead && !dsBlockReadOptions.contains(gboBookmarks)) return id;
  if (GetBookmarkFlag(aBuffer) != bfCurrent) {
    if (!dsInternalState.contains(dsiInsertSuccessful)) id = {~TnxRefNr{0}, ~TnxLSN{0}};
    return id;
  }
  // A bookmark on a record carries its RefNr; trust it only when intact.
  const std::int32_t size = BookmarkSize();
  if (size < kBookmarkHeaderSize) return id;
  const std::uint8_t* bookmark = aBuffer + dsOffsetBookmark;
  const auto keyLength = readAt<std::uint32_t>(bookmark, 20);
  if (keyLength > static_cast<std::uint32_t>(size - kBookmarkHeaderSize)) return id;
  if (readAt<std::uint32_t>(bookmark, 0) != nxElfHash(bookmark + 4, 20 + keyLength)) return id;
  if (bookmark[8] != kBookmarkOnRecord) return id;
  id.ridRefNr = readAt<TnxRefNr>(bookmark, 12);
  return id;
}

TnxRecID TnxDataset::RecID() {
  TnxRecID id{~TnxRefNr{0}, ~TnxLSN{0}};
  CheckActive();
  TRecordBuffer buffer = nullptr;
  if (dsGetActiveRecBuf(buffer)) id = dsGetRecID(buffer);
  return id;
}

bool TnxDataset::GetCacheInfo(TnxRecordCacheInfo& aCacheInfo) {
  aCacheInfo = {};
  TRecordBuffer buffer = nullptr;
  if (!Active() || !dsGetActiveRecBuf(buffer)) return false;
  if (dsAbstractCursor->ExtractCacheInfo(buffer, aCacheInfo) == 0) return true;
  aCacheInfo = {};
  return false;
}

TnxRecordCacheInfo TnxDataset::GetCacheInfo() {
  TnxRecordCacheInfo info{};
  GetCacheInfo(info);
  return info;
}
