#include "nxllList.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

const char* const nxListCapacityErrorText = "リストの容量が超えました (%d)";
const char* const nxListCountErrorText = "リストの個数を超えました (%d)";
const char16_t* const nxSortedListSuspendedText = u"Find is not supported while sorting is suspended.";

NX_IMPLEMENT_EXCEPTION(EnxBaseListException, EnxBaseException)
NX_IMPLEMENT_EXCEPTION(EnxWriteableListException, EnxBaseListException)
NX_IMPLEMENT_EXCEPTION(EnxSortedListException, EnxBaseListException)
PL_CLASS_INFO_IMPL(TnxBaseList, TnxObject, "TnxBaseList", nullptr)
PL_CLASS_INFO_IMPL(TnxWriteableList, TnxBaseList, "TnxWriteableList", nullptr)
PL_CLASS_INFO_IMPL(TnxList, TnxWriteableList, "TnxList", nullptr)
PL_CLASS_INFO_IMPL(TnxSortedList, TnxWriteableList, "TnxSortedList", nullptr)
PL_CLASS_INFO_IMPL(TnxListSyncAccess, TnxObject, "TnxListSyncAccess", nullptr)
PL_CLASS_INFO_IMPL(TnxListPortal, TnxListSyncAccess, "TnxListPortal", nullptr)
PL_CLASS_INFO_IMPL(TnxListPadlock, TnxListSyncAccess, "TnxListPadlock", nullptr)
PL_CLASS_INFO_IMPL(TnxFastStringList, platform::TStringList, "TnxFastStringList", nullptr)
PL_CLASS_INFO_IMPL(TnxFastStringListCS, TnxFastStringList, "TnxFastStringListCS", nullptr)
PL_CLASS_INFO_IMPL(TnxFastStringListIC, TnxFastStringList, "TnxFastStringListIC", nullptr)

namespace {

std::string formatValue(const char* aText, std::int64_t aValue) {
  std::string text = aText;
  auto pos = text.find("%d");
  if (pos != std::string::npos) text.replace(pos, 2, std::to_string(aValue));
  return text;
}

// Swaps entries i and j of the items and, when present, the data.
inline void swapEntries(void** aItems, void** aData, std::int32_t i, std::int32_t j) {
  std::swap(aItems[i], aItems[j]);
  if (aData) std::swap(aData[i], aData[j]);
}

template <class Cmp>
bool quickSort(void** aItems, void** aData, std::int32_t aLow, std::int32_t aHigh, const Cmp& aCompare) {
  bool exchanged = false;
  std::int32_t i;
  do {
    i = aLow;
    std::int32_t j = aHigh;
    std::int32_t p = static_cast<std::int32_t>((static_cast<std::uint32_t>(aLow) + static_cast<std::uint32_t>(aHigh)) >> 1);
    do {
      // The bounds only matter for a compare function that is not a
      // consistent order; a sound one stops at the pivot.
      while (i < aHigh && aCompare(aItems[i], aItems[p]) < 0) ++i;
      while (j > aLow && aCompare(aItems[j], aItems[p]) > 0) --j;
      if (i <= j) {
        swapEntries(aItems, aData, i, j);
        exchanged = true;
        if (p == i)
          p = j;
        else if (p == j)
          p = i;
        ++i;
        --j;
      }
    } while (i <= j);
    if (aLow < j && quickSort(aItems, aData, aLow, j, aCompare)) exchanged = true;
    aLow = i;
  } while (i < aHigh);
  return exchanged;
}

}  // namespace

bool nxQuickSort(void** aItems, void** aData, std::int32_t aLow, std::int32_t aHigh,
                 const TnxListSortCompare& aCompare) {
  if (aLow >= aHigh) return false;
  return quickSort(aItems, aData, aLow, aHigh, aCompare);
}

bool nxQuickSortMethod(void** aItems, void** aData, std::int32_t aLow, std::int32_t aHigh,
                       const TnxListSortCompareMethod& aCompare) {
  if (aLow >= aHigh) return false;
  return quickSort(aItems, aData, aLow, aHigh, aCompare);
}

// ---------------------------------------------------------------------------
// TnxBaseList

void TnxBaseList::Error(ErrorKind aKind, std::int64_t aValue) {
  const char* text = aKind == ErrorKind::index      ? platform::kListIndexErrorText
                     : aKind == ErrorKind::capacity ? nxListCapacityErrorText
                                                    : nxListCountErrorText;
  throw platform::ListError(formatValue(text, aValue));
}

TnxBaseList::~TnxBaseList() {
  nxFreeMem(blList);
  nxFreeMem(blData);
}

void* TnxBaseList::blGet(std::int32_t aIndex) const {
  checkIndex(aIndex);
  return blList[aIndex];
}

void* TnxBaseList::DataOf(std::int32_t aIndex) const {
  checkIndex(aIndex);
  return blData ? blData[aIndex] : nullptr;
}

void TnxBaseList::resize(std::int32_t aCapacity) {
  if (aCapacity == 0) {
    nxFreeMem(std::exchange(blList, nullptr));
    nxFreeMem(std::exchange(blData, nullptr));
    blCapacity = 0;
    return;
  }
  const std::size_t bytes = static_cast<std::size_t>(aCapacity) * sizeof(void*);
  // Each array is replaced as soon as it is reallocated: a failure of the
  // second leaves the first larger than the capacity, which is harmless.
  // nxReallocMem raises platform::OutOfMemory and keeps the old block.
  nxReallocMem(blList, bytes);
  if (blUseData) nxReallocMem(blData, bytes);
  blCapacity = aCapacity;
}

void TnxBaseList::grow() {
  std::int32_t delta;
  if (blCapacity <= 8)
    delta = 4;
  else if (blCapacity <= 64)
    delta = 16;
  else
    delta = blCapacity / 4;
  std::int32_t target = blCapacity + delta;
  if (target > nxMaxListSize) target = nxMaxListSize;
  if (target <= blCapacity) Error(ErrorKind::capacity, static_cast<std::int64_t>(blCapacity) + delta);
  resize(target);
}

void TnxBaseList::freeData(void* aData) const {
  if (blFreeDataObjects && aData) platform::TObject::free(static_cast<platform::TObject*>(aData));
}

// ---------------------------------------------------------------------------
// TnxWriteableList

TnxWriteableList::TnxWriteableList(std::int32_t aInitCapacity, bool aUseData, bool aFreeDataObjects) {
  blUseData = aUseData;
  blFreeDataObjects = aFreeDataObjects && aUseData;
  wlInitCapacity = aInitCapacity < 0 ? 0 : aInitCapacity;
  if (wlInitCapacity > 0) SetCapacity(wlInitCapacity);
}

TnxWriteableList::~TnxWriteableList() {
  wlInitCapacity = 0;
  try {
    Clear();
  } catch (...) {
    // A data object's destructor must not take the list's memory with it.
  }
}

void TnxWriteableList::SetCapacity(std::int32_t aCapacity) {
  if (aCapacity < blCount || aCapacity > nxMaxListSize) Error(ErrorKind::capacity, aCapacity);
  if (aCapacity == blCapacity) return;
  resize(aCapacity);
}

void TnxWriteableList::Clear() {
  if (blCount > 0) {
    const std::int32_t n = blCount;
    blCount = 0;
    ++blGeneration;
    if (blFreeDataObjects) {
      // Every entry is taken out before it is freed, so a destructor that
      // looks at the list (or throws) never sees a freed object in it.
      std::exception_ptr failure;
      for (std::int32_t i = 0; i < n; ++i) {
        void* data = std::exchange(blData[i], nullptr);
        try {
          freeData(data);
        } catch (...) {
          if (!failure) failure = std::current_exception();
        }
      }
      resize(wlInitCapacity);
      if (failure) std::rethrow_exception(failure);
      return;
    }
  }
  if (blCapacity != wlInitCapacity) resize(wlInitCapacity);
}

void TnxWriteableList::insertAt(std::int32_t aIndex, void* aItem, void* aData) {
  growIfFull();
  const std::size_t tail = static_cast<std::size_t>(blCount - aIndex) * sizeof(void*);
  if (tail) {
    std::memmove(blList + aIndex + 1, blList + aIndex, tail);
    if (blUseData) std::memmove(blData + aIndex + 1, blData + aIndex, tail);
  }
  blList[aIndex] = aItem;
  if (blUseData) blData[aIndex] = aData;
  ++blCount;
  ++blGeneration;
}

void* TnxWriteableList::removeAt(std::int32_t aIndex) {
  checkIndex(aIndex);
  void* data = blUseData ? blData[aIndex] : nullptr;
  --blCount;
  ++blGeneration;
  const std::size_t tail = static_cast<std::size_t>(blCount - aIndex) * sizeof(void*);
  if (tail) {
    std::memmove(blList + aIndex, blList + aIndex + 1, tail);
    if (blUseData) std::memmove(blData + aIndex, blData + aIndex + 1, tail);
  }
  return data;
}

void TnxWriteableList::Delete(std::int32_t aIndex) {
  // The entry leaves the list before its data object is freed.
  freeData(removeAt(aIndex));
}

void* TnxWriteableList::Release(std::int32_t aIndex) { return removeAt(aIndex); }

void* TnxWriteableList::ReleaseItem(void* aItem) {
  const std::int32_t index = IndexOf(aItem);
  return index < 0 ? nullptr : Release(index);
}

std::int32_t TnxWriteableList::Remove(void* aItem) {
  const std::int32_t index = IndexOf(aItem);
  if (index >= 0) Delete(index);
  return index;
}

void TnxWriteableList::AddList(TnxBaseList* aList) {
  if (!aList) return;
  const bool withData = blUseData && aList->UseData() && !aList->FreeDataObjects();
  const std::int32_t n = aList->Count();  // fixed on entry: aList may be this list
  for (std::int32_t i = 0; i < n; ++i) {
    if (withData)
      AddData(aList->List()[i], aList->Data()[i]);
    else
      Add(aList->List()[i]);
  }
}

// ---------------------------------------------------------------------------
// TnxList

std::int32_t TnxList::IndexOf(void* aItem) {
  for (std::int32_t i = 0; i < blCount; ++i)
    if (blList[i] == aItem) return i;
  return -1;
}

std::int32_t TnxList::IndexOfData(void* aData) {
  if (!blUseData) return -1;
  for (std::int32_t i = 0; i < blCount; ++i)
    if (blData[i] == aData) return i;
  return -1;
}

std::int32_t TnxList::AddData(void* aItem, void* aData) {
  const std::int32_t index = blCount;
  insertAt(index, aItem, aData);
  return index;
}

void TnxList::InsertData(std::int32_t aIndex, void* aItem, void* aData) {
  if (aIndex < 0 || aIndex > blCount) Error(ErrorKind::index, aIndex);
  insertAt(aIndex, aItem, aData);
}

void TnxList::liPut(std::int32_t aIndex, void* aItem) {
  checkIndex(aIndex);
  if (blList[aIndex] != aItem) {
    blList[aIndex] = aItem;
    ++blGeneration;
  }
}

void TnxList::SetCount(std::int32_t aCount) {
  if (aCount == blCount) return;
  if (aCount < 0 || aCount > nxMaxListSize) Error(ErrorKind::count, aCount);
  if (aCount > blCapacity) SetCapacity(aCount);
  if (aCount > blCount) {
    const std::size_t added = static_cast<std::size_t>(aCount - blCount) * sizeof(void*);
    std::memset(blList + blCount, 0, added);
    if (blUseData) std::memset(blData + blCount, 0, added);
    blCount = aCount;
  } else {
    std::exception_ptr failure;
    while (blCount > aCount) {
      --blCount;
      if (blUseData) {
        void* data = std::exchange(blData[blCount], nullptr);
        try {
          freeData(data);
        } catch (...) {
          if (!failure) failure = std::current_exception();
        }
      }
    }
    ++blGeneration;
    if (failure) std::rethrow_exception(failure);
    return;
  }
  ++blGeneration;
}

bool TnxList::Exchange(std::int32_t aIndex1, std::int32_t aIndex2) {
  checkIndex(aIndex1);
  checkIndex(aIndex2);
  if (aIndex1 == aIndex2) return false;
  bool changed = false;
  if (blList[aIndex1] != blList[aIndex2]) {
    std::swap(blList[aIndex1], blList[aIndex2]);
    changed = true;
  }
  if (blUseData && blData[aIndex1] != blData[aIndex2]) {
    std::swap(blData[aIndex1], blData[aIndex2]);
    changed = true;
  }
  if (changed) ++blGeneration;
  return changed;
}

void TnxList::Move(std::int32_t aCurIndex, std::int32_t aNewIndex) {
  if (aCurIndex == aNewIndex) return;
  checkIndex(aNewIndex);
  checkIndex(aCurIndex);
  void* item = blList[aCurIndex];
  void* data = removeAt(aCurIndex);
  // Removing freed a slot, so the insert cannot need memory.
  insertAt(aNewIndex, item, data);
}

void TnxList::Pack() {
  std::int32_t kept = 0;
  std::vector<void*> dropped;
  for (std::int32_t i = 0; i < blCount; ++i) {
    if (blList[i]) {
      blList[kept] = blList[i];
      if (blUseData) blData[kept] = blData[i];
      ++kept;
    } else if (blFreeDataObjects && blData[i]) {
      dropped.push_back(blData[i]);
    }
  }
  if (kept == blCount) return;
  blCount = kept;
  ++blGeneration;
  std::exception_ptr failure;
  for (void* data : dropped) {
    try {
      freeData(data);
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

void TnxList::Sort(const TnxListSortCompare& aCompare) {
  if (blCount > 1 && nxQuickSort(blList, blUseData ? blData : nullptr, 0, blCount - 1, aCompare)) ++blGeneration;
}

// ---------------------------------------------------------------------------
// TnxSortedList

std::int8_t TnxSortedList::Compare(void* aItem1, void* aItem2) {
  const auto a = reinterpret_cast<std::uintptr_t>(aItem1);
  const auto b = reinterpret_cast<std::uintptr_t>(aItem2);
  return a < b ? -1 : a > b ? 1 : 0;
}

bool TnxSortedList::Find(void* aItem, std::int32_t& aIndex) {
  if (slSuspendCount > 0) throw EnxSortedListException(nxSortedListSuspendedText);
  std::int32_t low = 0;
  std::int32_t high = blCount - 1;
  while (low <= high) {
    const std::int32_t middle = static_cast<std::int32_t>(static_cast<std::uint32_t>(low + high) >> 1);
    switch (Compare(blList[middle], aItem)) {
      case -1:
        low = middle + 1;
        break;
      case 1:
        high = middle - 1;
        break;
      default:
        aIndex = middle;
        return true;
    }
  }
  aIndex = low;
  return false;
}

std::int32_t TnxSortedList::IndexOf(void* aItem) {
  std::int32_t index;
  return Find(aItem, index) ? index : -1;
}

std::int32_t TnxSortedList::AddData(void* aItem, void* aData) {
  if (slSuspendCount > 0) {
    const std::int32_t index = blCount;
    insertAt(index, aItem, aData);
    slModified = true;
    return index;
  }
  std::int32_t index;
  if (Find(aItem, index)) return index;
  insertAt(index, aItem, aData);
  return index;
}

void TnxSortedList::ResumeSorting() {
  if (slSuspendCount <= 0) return;
  if (--slSuspendCount > 0 || !slModified) return;
  slModified = false;
  if (blCount > 1 &&
      nxQuickSortMethod(blList, blUseData ? blData : nullptr, 0, blCount - 1,
                        [this](void* a, void* b) { return Compare(a, b); }))
    ++blGeneration;
}

// ---------------------------------------------------------------------------
// Synchronised access

TnxListSyncAccess::~TnxListSyncAccess() { platform::TObject::free(lsaList); }

std::int32_t TnxListSyncAccess::Add(void* aItem) {
  WriteGuard list(*this);
  return list->Add(aItem);
}

std::int32_t TnxListSyncAccess::AddData(void* aItem, void* aData) {
  WriteGuard list(*this);
  return list->AddData(aItem, aData);
}

void TnxListSyncAccess::AddList(TnxBaseList* aList) {
  WriteGuard list(*this);
  list->AddList(aList);
}

void TnxListSyncAccess::AddList(TnxListSyncAccess* aList) {
  if (!aList) return;
  if (aList == this) {
    WriteGuard list(*this);
    list->AddList(&*list);
    return;
  }
  std::vector<void*> items, data;
  bool withData;
  {
    ReadGuard source(*aList);
    const std::int32_t n = source->Count();
    items.assign(source->List(), source->List() + n);
    withData = source->UseData() && !source->FreeDataObjects();
    if (withData) data.assign(source->Data(), source->Data() + n);
  }
  WriteGuard list(*this);
  withData = withData && list->UseData();
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (withData)
      list->AddData(items[i], data[i]);
    else
      list->Add(items[i]);
  }
}

bool TnxListSyncAccess::Remove(void* aItem) {
  WriteGuard list(*this);
  return list->Remove(aItem) >= 0;
}

void* TnxListSyncAccess::Release(void* aItem) {
  WriteGuard list(*this);
  return list->ReleaseItem(aItem);
}

void TnxListSyncAccess::Clear() {
  WriteGuard list(*this);
  list->Clear();
}

std::int32_t TnxListSyncAccess::Count() {
  ReadGuard list(*this);
  return list->Count();
}

TnxListPortal::TnxListPortal(TnxWriteableList* aList)
    : TnxListSyncAccess(aList), lptPortal(platform::create<TnxInternalReadWritePortal>()) {}

TnxListPortal::~TnxListPortal() { nxFreeAndNil(lptPortal); }

TnxBaseList* TnxListPortal::BeginRead() {
  lptPortal->BeginRead();
  return lsaList;
}

void TnxListPortal::EndRead() { lptPortal->EndRead(); }

TnxWriteableList* TnxListPortal::BeginWrite() {
  lptPortal->BeginWrite();
  return lsaList;
}

void TnxListPortal::EndWrite() { lptPortal->EndWrite(); }

TnxListPadlock::TnxListPadlock(TnxWriteableList* aList)
    : TnxListSyncAccess(aList), lplPadlock(platform::create<TnxPadlock>(false)) {}

TnxListPadlock::~TnxListPadlock() { nxFreeAndNil(lplPadlock); }

TnxWriteableList* TnxListPadlock::BeginWrite() {
  lplPadlock->Lock();
  return lsaList;
}

void TnxListPadlock::EndWrite() { lplPadlock->Unlock(); }

// ---------------------------------------------------------------------------
// Fast string lists

int nxCompareStr(platform::UnicodeStringView a, platform::UnicodeStringView b) { return a.compare(b); }

int nxCompareText(platform::UnicodeStringView a, platform::UnicodeStringView b) {
  return platform::compareTextAscii(a, b);
}

TnxFastStringList::TnxFastStringList(platform::Duplicates aDups) {
  setDuplicates(aDups);
  setSorted(true);
}

void TnxFastStringList::Clear(bool aFreeObjects) {
  if (aFreeObjects) {
    for (int i = 0; i < count(); ++i) {
      platform::TObject* object = objects(i);
      if (object) {
        putObject(i, nullptr);
        platform::TObject::free(object);
      }
    }
  }
  clear();
}

int TnxFastStringList::compareStrings(platform::UnicodeStringView a, platform::UnicodeStringView b) const {
  return caseSensitive() ? nxCompareStr(a, b) : nxCompareText(a, b);
}

TnxFastStringListCS::TnxFastStringListCS() { setCaseSensitive(true); }

TnxFastStringListCS::TnxFastStringListCS(platform::Duplicates aDups) : TnxFastStringList(aDups) {
  setCaseSensitive(true);
}

int TnxFastStringListCS::compareStrings(platform::UnicodeStringView a, platform::UnicodeStringView b) const {
  return nxCompareStr(a, b);
}

int TnxFastStringListIC::compareStrings(platform::UnicodeStringView a, platform::UnicodeStringView b) const {
  return nxCompareText(a, b);
}
