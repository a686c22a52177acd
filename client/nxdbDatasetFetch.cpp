// Fetching records into the framework's buffers, positioning, record numbers
// and counts, FlipOrder, and the hints of client message reduction.
#include <cstring>

#include "nxdbInt.h"

using namespace platform;

namespace {

constexpr TnxResult kAtBeginning = 8705;
constexpr TnxResult kAtEnd = 8706;
constexpr TnxResult kFilterTimedOut = 15444;
constexpr TnxResult kOperationTimedOut = 15461;
// Record and table lock errors (10241, 10249, 10255, ...).
constexpr TnxResult kLockCategory = 0x28;

const TnxAbstractCursorOptions kSetToBookmarkHints{
    acoChainedRecordGetUsesWriteLock,         acoSetToBookmarkFollowedByNothing,
    acoSetToBookmarkFollowedByRecordGet,      acoSetToBookmarkFollowedByRecordGetNext,
    acoSetToBookmarkFollowedByRecordGetPrior, acoSetToBookmarkFollowedBySync};

}  // namespace

// ---------------------------------------------------------------------------
// Hints

void TnxDataset::dsRemoveSetToBookmarkHints() {
  if (dsAbstractCursor) dsAbstractCursor->RemoveCursorOptions(kSetToBookmarkHints);
}

bool TnxDataset::dsHasSetToBookmarkHints() const {
  return dsAbstractCursor && dsAbstractCursor->HasAnyCursorOptions(kSetToBookmarkHints);
}

void TnxDataset::dsAddHint(TnxAbstractCursorOption aOption) {
  if (dsAbstractCursor && !dsMessageReductionOff()) dsAbstractCursor->AddCursorOption(aOption);
}

namespace {

// The hint that announces a fetch after SetToBegin or SetToEnd: only when no
// SetToBookmark hint but the matching one is pending and no multi-record
// read is running.
bool mayHintPositioning(const TnxAbstractCursor& aCursor, TnxDataSetInternalStates aStates,
                        TnxAbstractCursorOption aMatching) {
  TnxAbstractCursorOptions pending;
  for (std::size_t i = 0; i < pending.Bytes.size(); ++i)
    pending.Bytes[i] = aCursor.CursorOptions().Bytes[i] & kSetToBookmarkHints.Bytes[i];
  if (!pending.empty() && pending != TnxAbstractCursorOptions{aMatching}) return false;
  for (auto s : {disJustOpenedCursor, disInGetRecords, disInMoveBy, disInFilterClientBlockRead})
    if (aStates.contains(s)) return false;
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Fetch

TnxResult TnxDataset::dsRecordGetCurrent(TRecordBuffer aBuffer) {
  if (dsInternalWriteOnly) return kAtBeginning;
  return dsAbstractCursor->RecordGet(nxltNoLock, aBuffer);
}

TnxResult TnxDataset::dsRecordGetNextPrior(bool aBackward, TnxLockType aLockType, TRecordBuffer aBuffer) {
  if (dsInternalWriteOnly) return aBackward ? kAtBeginning : kAtEnd;
  const bool firstAfterOpen = dsInternalState.contains(disFirstRecordGetNextPriorAfterOpen);
  const bool failFast = firstAfterOpen && aLockType == nxltNoLock &&
                        dsAbstractCursor->AddCursorOption(acoFailClientFilterFast);
  TnxResult result = 0;
  try {
    for (;;) {
      result = aBackward ? dsAbstractCursor->RecordGetPrior(aLockType, aBuffer)
                         : dsAbstractCursor->RecordGetNext(aLockType, aBuffer);
      if (firstAfterOpen) {
        const bool failedForward = result != 0 && result != kFilterTimedOut && aBackward == dsFlipOrder;
        if (!failedForward) dsInternalState.exclude(disFirstRecordGetNextPriorAfterOpen);
        if (result == 0) dsInternalState.include(disGetBookmarkAfterFirst);
      }
      if (result != kFilterTimedOut) break;
      bool cancel = false;
      if (OnServerFilterTimeout) OnServerFilterTimeout(this, cancel);
      if (cancel) break;
    }
  } catch (...) {
    if (failFast) dsAbstractCursor->RemoveCursorOption(acoFailClientFilterFast);
    throw;
  }
  if (failFast) dsAbstractCursor->RemoveCursorOption(acoFailClientFilterFast);
  return result;
}

TGetResult TnxDataset::GetRecord(TRecordBuffer aBuffer, TGetMode aGetMode, bool aDoCheck) {
  dsInternalState.exclude(disGetBookmarkAfterFirst);
  dsInternalState.exclude(disGetBookmarkNotNeeded);
  TnxResult result = 0;
  switch (aGetMode) {
    case gmNext:
      result = dsRecordGetNextPrior(dsFlipOrder, nxltNoLock, aBuffer);
      break;
    case gmPrior:
      result = dsRecordGetNextPrior(!dsFlipOrder, nxltNoLock, aBuffer);
      break;
    case gmCurrent:
      result = dsRecordGetCurrent(aBuffer);
      break;
  }
  switch (result) {
    case 0:
      dsClearRecInfoWord(aBuffer);
      dsRecInfoFlag(aBuffer) = bfCurrent;
      if (BookmarkSize() > 0)
        dsCheck(dsAbstractCursor->GetBookmark(reinterpret_cast<PnxBookmarkBuffer>(aBuffer + dsOffsetBookmark),
                                              BookmarkSize()));
      GetCalcFields(aBuffer);
      return grOK;
    case kAtBeginning:
      return dsFlipOrder ? grEOF : grBOF;
    case kAtEnd:
      return dsFlipOrder ? grBOF : grEOF;
    default:
      if (aDoCheck || ((result >> 8) & 0xFF) == kLockCategory || result == kOperationTimedOut) dsRaise(result);
      return grError;
  }
}

int TnxDataset::dsGetPriorRecordsUpTo(int aCount) {
  int n = 0;
  while (n < aCount && GetPriorRecord()) ++n;
  return n;
}

// ---------------------------------------------------------------------------
// Positioning

void TnxDataset::InternalFirst() {
  if (dsInternalWriteOnly) return;  // the block-read restart comes with block reading
  TnxResult result = 0;
  if (dsFlipOrder) {
    const bool hint = !dsMessageReductionOff() && State() != dsBlockRead &&
                      mayHintPositioning(*dsAbstractCursor, dsInternalState, acoSetToBookmarkFollowedByRecordGetPrior);
    if (hint) dsAbstractCursor->AddCursorOption(acoSetToEndFollowedByRecordGetPrior);
    result = dsAbstractCursor->SetToEnd();
    if (hint) dsAbstractCursor->RemoveCursorOption(acoSetToEndFollowedByRecordGetPrior);
  } else if (!dsInternalState.contains(disJustOpenedCursor)) {
    const bool hint = !dsMessageReductionOff() && State() != dsBlockRead &&
                      mayHintPositioning(*dsAbstractCursor, dsInternalState, acoSetToBookmarkFollowedByRecordGetNext);
    if (hint) dsAbstractCursor->AddCursorOption(acoSetToBeginFollowedByRecordGetNext);
    result = dsAbstractCursor->SetToBegin();
    if (hint) dsAbstractCursor->RemoveCursorOption(acoSetToBeginFollowedByRecordGetNext);
  }
  dsInternalState.exclude(disDelayedBufferFillingOnOpen);
  dsCheck(result);
}

void TnxDataset::InternalLast() {
  if (dsInternalWriteOnly) return;
  TnxResult result = 0;
  if (dsFlipOrder) {
    const bool hint = !dsMessageReductionOff() && State() == dsBrowse &&
                      mayHintPositioning(*dsAbstractCursor, dsInternalState, acoSetToBookmarkFollowedByRecordGetNext);
    if (hint) dsAbstractCursor->AddCursorOption(acoSetToBeginFollowedByRecordGetNext);
    result = dsAbstractCursor->SetToBegin();
    if (hint) dsAbstractCursor->RemoveCursorOption(acoSetToBeginFollowedByRecordGetNext);
  } else {
    const bool hint = !dsMessageReductionOff() && State() == dsBrowse &&
                      mayHintPositioning(*dsAbstractCursor, dsInternalState, acoSetToBookmarkFollowedByRecordGetPrior);
    if (hint) dsAbstractCursor->AddCursorOption(acoSetToEndFollowedByRecordGetPrior);
    result = dsAbstractCursor->SetToEnd();
    if (hint) dsAbstractCursor->RemoveCursorOption(acoSetToEndFollowedByRecordGetPrior);
  }
  dsCheck(result);
}

void TnxDataset::InternalSetToRecord(TRecordBuffer aBuffer) {
  dsCheck(dsAbstractCursor->SetToBookmark(aBuffer + dsOffsetBookmark, BookmarkSize()));
}

void TnxDataset::SetCurrentRecord(int aIndex) {
  if (dsMessageReductionOff()) {
    TDataSet::SetCurrentRecord(aIndex);
    return;
  }
  if (CurrentRecord() == aIndex) return;
  try {
    if (!IsUniDirectional()) {
      if (dsInOperation == dioEdit) {
        dsRemoveSetToBookmarkHints();
        dsAbstractCursor->AddCursorOptions({acoChainedRecordGetUsesWriteLock, acoSetToBookmarkFollowedByRecordGet});
      } else if (dsInOperation == dioPost && State() == dsInsert) {
        dsRemoveSetToBookmarkHints();
        return;
      }
      TRecordBuffer buffer = Buffers(aIndex);
      switch (GetBookmarkFlag(buffer)) {
        case bfBOF:
          if (!dsHasSetToBookmarkHints()) dsAbstractCursor->AddCursorOption(acoSetToBookmarkFollowedByNothing);
          InternalFirst();
          break;
        case bfEOF:
          if (!dsHasSetToBookmarkHints()) dsAbstractCursor->AddCursorOption(acoSetToBookmarkFollowedByNothing);
          InternalLast();
          break;
        case bfCurrent:
        case bfInserted:
          InternalSetToRecord(buffer);
          break;
      }
    }
    FCurrentRecord = aIndex;
  } catch (...) {
    dsRemoveSetToBookmarkHints();
    throw;
  }
  dsRemoveSetToBookmarkHints();
}

bool TnxDataset::GetNextRecord() {
  const int last = RecordCountInBuffers() - 1;
  // The hint goes only before a positioning, which removes it again.
  if (!dsMessageReductionOff() && last >= 0 && CurrentRecord() != last && dsAbstractCursor) {
    const bool current = State() == dsInsert && last == ActiveRecord() && GetBookmarkFlag(ActiveBuffer()) == bfCurrent;
    dsAbstractCursor->AddCursorOption(current ? acoSetToBookmarkFollowedByRecordGet
                                              : acoSetToBookmarkFollowedByRecordGetNext);
  }
  return TDataSet::GetNextRecord();
}

void TnxDataset::First() {
  if (dsMessageReductionOff()) {
    TDataSet::First();
    return;
  }
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  try {
    // A unidirectional dataset restarts block reading (with block reading).
    if (!IsUniDirectional()) {
      InternalFirst();
      if (GetNextRecord()) GetNextRecords();
    }
  } catch (...) {
    FBOF = true;
    DataEvent(deDataSetChange, 0);
    DoAfterScroll();
    throw;
  }
  FBOF = true;
  DataEvent(deDataSetChange, 0);
  DoAfterScroll();
}

int TnxDataset::MoveBy(int aDistance) {
  dsMoveByDistance = aDistance;
  try {
    const int moved = TDataSet::MoveBy(aDistance);
    dsMoveByDistance = 0;
    return moved;
  } catch (...) {
    dsMoveByDistance = 0;
    throw;
  }
}

void TnxDataset::Resync(TResyncMode aMode) { TDataSet::Resync(aMode); }

// ---------------------------------------------------------------------------
// Order, counts and record numbers

void TnxDataset::SetFlipOrder(bool aValue) {
  if (aValue == dsFlipOrder) return;
  if (!Active()) {
    dsFlipOrder = aValue;
    return;
  }
  CheckBrowseMode();
  UpdateCursorPos();
  dsFlipOrder = aValue;
  if (aValue)
    dsAbstractCursor->AddCursorOption(acoFlipOrder);
  else
    dsAbstractCursor->RemoveCursorOption(acoFlipOrder);
  Resync({});
}

int TnxDataset::GetRecordCount() {
  CheckActive();
  std::uint32_t count = 0;
  dsCheck(dsAbstractCursor->GetRecordCount(count, false));
  return static_cast<int>(count);
}

void TnxDataset::RecordCountAsync(TnxAbstractTaskInfo*& aTaskInfo) {
  CheckActive();
  dsCheck(dsAbstractCursor->GetRecordCountAsync(aTaskInfo));
}

bool TnxDataset::IsSequenced() {
  return !IsUniDirectional() && dsOptions.contains(dsoRecNoSupport) && dsAbstractCursor &&
         dsAbstractCursor->RecNoSupported() == 0;
}

int TnxDataset::RecNo() {
  if (IsUniDirectional() || !IsSequenced()) return -1;
  CheckActive();
  UpdateCursorPos();
  std::uint32_t recNo = 0;
  if (dsAbstractCursor->RecNoGet(recNo, dsFlipOrder) != 0) return -1;
  return static_cast<int>(recNo);
}

void TnxDataset::SetRecNo(int aValue) {
  CheckBrowseMode();
  if (!IsSequenced()) return;
  CheckActive();
  CheckBiDirectional();
  DoBeforeScroll();
  dsAddHint(acoRecNoSetFollowedBySync);
  const TnxResult result = dsAbstractCursor->RecNoSet(static_cast<std::uint32_t>(aValue), dsFlipOrder);
  if (!dsMessageReductionOff()) dsAbstractCursor->RemoveCursorOption(acoRecNoSetFollowedBySync);
  if (result != 0) return;
  Resync({rmCenter});
  DoAfterScroll();
}
