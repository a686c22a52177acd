// The table cursor's side of filters: the key fields source that key filters
// read through, positioning by filter, and the clock of the filter time-out.
#include "nxsdKeyEngineRef.h"
#include "nxsrServerEngineCursor.h"
#include "nxsrServerEngineInt.h"
#include "nxsrTimeoutHandling.h"

PL_CLASS_INFO_IMPL(TnxKeyFieldsSource, TnxInterfacedObject, "TnxKeyFieldsSource", nullptr)

// ---- Key fields source --------------------------------------------------------------------

const TnxInterfaceEntry* TnxKeyFieldsSource::interfaceTable() const {
  static const TnxInterfaceEntry table[] = {
      {&InxFieldsSource::IID,
       [](TnxInterfacedObject* o) -> InxInterface* {
         return static_cast<InxFieldsSource*>(static_cast<TnxKeyFieldsSource*>(o));
       }},
      {nullptr, nullptr},
  };
  return table;
}

InxFieldsSource* TnxKeyFieldsSource::Target() const {
  TnxBaseIndexEngine* index = kfsOwner->IndexEngine();
  return index ? static_cast<InxFieldsSource*>(index->bieKeyEngine.get()) : nullptr;
}

bool TnxKeyFieldsSource::GetFieldForFilter(std::int32_t aField, const char* aName, const void* aData,
                                           std::uint16_t& aType, std::uint16_t& aSize, bool& aIsNull,
                                           const void*& aValue, std::uint16_t& aCodePage) {
  InxFieldsSource* target = Target();
  return target && target->GetFieldForFilter(aField, aName, aData, aType, aSize, aIsNull, aValue, aCodePage);
}

platform::Variant TnxKeyFieldsSource::GetFieldAsVariant(const void* aRecordBuffer, std::int32_t aIndex) {
  InxFieldsSource* target = Target();
  return target ? target->GetFieldAsVariant(aRecordBuffer, aIndex) : platform::Variant();
}

bool TnxKeyFieldsSource::BlobsSupported() {
  InxFieldsSource* target = Target();
  return target && target->BlobsSupported();
}

std::int32_t TnxKeyFieldsSource::GetFieldFromName(const nxString& aFieldName) {
  InxFieldsSource* target = Target();
  return target ? target->GetFieldFromName(aFieldName) : -1;
}

std::int32_t TnxKeyFieldsSource::GetFieldCount() {
  InxFieldsSource* target = Target();
  return target ? target->GetFieldCount() : 0;
}

InxFieldDescriptor* TnxKeyFieldsSource::GetFieldDescriptor(std::int32_t aIndex) {
  InxFieldsSource* target = Target();
  return target ? target->GetFieldDescriptor(aIndex) : nullptr;
}

platform::TObject* TnxKeyFieldsSource::GetCursor() {
  InxFieldsSource* target = Target();
  return target ? target->GetCursor() : nullptr;
}

std::int32_t TnxKeyFieldsSource::GetFieldsOffset() {
  InxFieldsSource* target = Target();
  return target ? target->GetFieldsOffset() : 0;
}

InxFieldsSource* TnxServerTableCursor::sbcGetKeyFieldsSource() { return platform::create<TnxKeyFieldsSource>(this); }

// ---- Filter time-out clock ----------------------------------------------------------------

std::uint64_t TnxServerTableCursor::sbcTickCount() { return nxTickCount64(); }

std::int64_t TnxServerTableCursor::sbcThreadDeadline() { return nxGetThreadDeadline(); }

// ---- Positioning by filter ----------------------------------------------------------------

namespace {

struct TnxSetToFilterEngines {
  TnxBaseFilterEngine* filter;
  TnxBaseFilterEngine* keyFilter;
};

TnxRecordIteratorResult setToFilterRecIterator(void* aCookie, TnxRefNr, PnxRecordBuffer aRecord) {
  auto* engines = static_cast<TnxSetToFilterEngines*>(aCookie);
  return !engines->filter || engines->filter->MatchesBuffer(aRecord) ? rirStop : rirContinue;
}

TnxKeyIteratorResult setToFilterKeyIterator(void* aCookie, TnxRefNr, PnxKeyBuffer aKey) {
  auto* engines = static_cast<TnxSetToFilterEngines*>(aCookie);
  return engines->keyFilter && !engines->keyFilter->MatchesBuffer(aKey) ? kirSkipKey : kirContinue;
}

TnxBaseFilterEngine* activeFilterOrNil(TnxBaseFilterEngine* aFilter) {
  return aFilter && aFilter->GetActive() ? aFilter : nullptr;
}

}  // namespace

TnxResult TnxServerTableCursor::sbcSetToFilter(TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter,
                                               bool aForward) {
  if (sbcIsWriteOnly) {
    const TnxResult result = sbcWriteOnlyError();
    return result ? result : nxErrNoCurrentRecord;
  }
  try {
    const TnxResult locked = sbcBeginContentLock(false, false, false);
    if (locked != 0) return locked;
    struct End {
      TnxServerTableCursor* cursor;
      ~End() { cursor->sbcEndContentLock(); }
    } end{this};
    TnxBaseTransaction* trans = GetActiveTrans();
    TnxSetToFilterEngines engines{aFilter, aKeyFilter};
    TnxBaseFilterEngine* recordFilter = activeFilterOrNil(sbcFilter);
    const bool sequential =
        !stcIndexEngine || platform::objectAs<TnxRefKeyEngine>(stcIndexEngine->bieKeyEngine.get()) != nullptr;
    if (sequential) {
      TnxRefNr refNr = 0;
      PnxRecordBuffer slot = sbcRecordBuffer;
      if (aForward)
        stcTable->RecordEngine()->Iterate(trans, refNr, &slot, setToFilterRecIterator, &engines, recordFilter, false,
                                          false);
      else
        stcTable->RecordEngine()->IterateBackward(trans, refNr, &slot, setToFilterRecIterator, &engines,
                                                  recordFilter, false, false);
      if (refNr == 0) {
        stcIndexPath->SetToEof();
      } else {
        stcIndexPath->SetToRecord(nullptr, refNr);
        if (stcIndexEngine) stcCheckPosition(trans);
      }
    } else {
      const TnxRangeInfo start = stcRangeInfo(stcRangeStart);
      const TnxRangeInfo finish = stcRangeInfo(stcRangeEnd);
      TnxBaseFilterEngine* keyFilter = activeFilterOrNil(sbcKeyFilter);
      if (aForward)
        stcIndexEngine->Iterate(trans, stcIndexPath, sbcRecordBuffer, setToFilterKeyIterator, setToFilterRecIterator,
                                &engines, start, finish, recordFilter, keyFilter, false);
      else
        stcIndexEngine->IterateBackward(trans, stcIndexPath, sbcRecordBuffer, setToFilterKeyIterator,
                                        setToFilterRecIterator, &engines, start, finish, recordFilter, keyFilter,
                                        false);
    }
    return stcIndexPath->Position == ippOnKey ? 0 : nxErrNoCurrentRecord;
  } catch (const std::exception&) {
    return asoConvertException(std::current_exception());
  }
}
