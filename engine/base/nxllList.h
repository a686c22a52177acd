// The engine's pointer lists: an unsorted list with positional operations, a
// sorted list with binary search and suspendable sorting, wrappers that own a
// list and guard it with a lock, and string lists that compare ordinally.
//
// Contracts:
// - Items and data are untyped pointers; the lists never look at items. A list
//   created with aUseData keeps a parallel data array (same index as the
//   items); with aFreeDataObjects as well, every non-nil data entry is a
//   platform::TObject* (stored as void*) that the list owns and frees when the
//   entry is deleted, cleared or cut off by a smaller Count.
// - Every change increments Generation (32 bits, wrapping) so iterating code
//   can tell that the list changed under it.
// - Index, capacity and count errors raise platform::ListError with the
//   offending value; the list is unchanged. Out of memory while growing
//   raises platform::OutOfMemory with count and capacity unchanged.
// - Growth when an add or insert finds the list full: capacity + 4 while the
//   capacity is at most 8, + 16 while at most 64, else + capacity / 4
//   (0, 4, 8, 12, 28, 44, 60, 76, 95, ...).
// - TnxSortedList refuses an item equal (by Compare) to one already in the
//   list: Add answers the existing index and stores nothing (data passed with
//   a refused item stays the caller's, even in an owning list). While sorting is
//   suspended items are appended untested (duplicates stay after
//   ResumeSorting) and Find raises EnxSortedListException.
// - Thread safety: TnxBaseList and its descendants are not synchronised; one
//   thread at a time. TnxListPortal and TnxListPadlock own a list and run each
//   of their operations under their lock; BeginRead/BeginWrite give direct
//   access to the wrapped list until the matching End call (use the guards).
// - TnxListPortal lets readers in side by side (TnxInternalReadWritePortal:
//   re-entrant, writers preferred, a reader may upgrade); TnxListPadlock lets
//   one thread at a time in (TnxPadlock, re-entrant).
// - Memory: the list objects are TnxObjects and their arrays come from
//   nxGetMem/nxReallocMem/nxFreeMem.
// - EnxBaseListException and its descendants are engine exceptions without
//   an error code.
#pragma once

#include <cstdint>
#include <functional>

#include "nxllBase.h"
#include "nxllException.h"
#include "nxllSync.h"
#include "nxllSyncPortal.h"
#include "nxllTypes.h"
#include "plErrors.h"
#include "plObject.h"
#include "plStringList.h"

// Largest Count and Capacity of a list.
inline constexpr std::int32_t nxMaxListSize = 0x7FFFFFF;

NX_DECLARE_EXCEPTION(EnxBaseListException, EnxBaseException)
// Declared for descendants; nothing here raises it.
NX_DECLARE_EXCEPTION(EnxWriteableListException, EnxBaseListException)
NX_DECLARE_EXCEPTION(EnxSortedListException, EnxBaseListException)

// Texts of the list errors (UTF-8), each with one %d.
extern const char* const nxListCapacityErrorText;
extern const char* const nxListCountErrorText;
// Text of the Find-while-suspended failure.
extern const char16_t* const nxSortedListSuspendedText;

// Compare function of TnxList::Sort and nxQuickSort: <0, 0, >0.
using TnxListSortCompare = std::function<int(void* aItem1, void* aItem2)>;
// Compare method of nxQuickSortMethod: -1, 0, 1.
using TnxListSortCompareMethod = std::function<std::int8_t(void* aItem1, void* aItem2)>;

// Quicksort of aItems[aLow..aHigh] with the middle element as pivot; aData
// (may be null) moves along. Answers whether any exchange step happened (an
// element exchanged with itself counts).
bool nxQuickSort(void** aItems, void** aData, std::int32_t aLow, std::int32_t aHigh,
                 const TnxListSortCompare& aCompare);
bool nxQuickSortMethod(void** aItems, void** aData, std::int32_t aLow, std::int32_t aHigh,
                       const TnxListSortCompareMethod& aCompare);

class TnxBaseList : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  enum class ErrorKind { index, capacity, count };
  // Raises platform::ListError with the kind's text and aValue.
  [[noreturn]] static void Error(ErrorKind aKind, std::int64_t aValue);

  virtual std::int32_t IndexOf(void* aItem) = 0;

  void* Items(std::int32_t aIndex) const { return blGet(aIndex); }
  void* blGet(std::int32_t aIndex) const;
  // The data entry at an index; nil without a data array.
  void* DataOf(std::int32_t aIndex) const;
  std::int32_t Count() const { return blCount; }
  std::int32_t Capacity() const { return blCapacity; }
  void** List() const { return blList; }
  void** Data() const { return blData; }
  bool UseData() const { return blUseData; }
  bool FreeDataObjects() const { return blFreeDataObjects; }
  std::uint32_t Generation() const { return blGeneration; }
  void* First() const { return blCount > 0 ? blList[0] : nullptr; }
  void* Last() const { return blCount > 0 ? blList[blCount - 1] : nullptr; }

 protected:
  TnxBaseList() = default;
  ~TnxBaseList() override;

  void checkIndex(std::int32_t aIndex) const {
    if (aIndex < 0 || aIndex >= blCount) Error(ErrorKind::index, aIndex);
  }
  // Resizes both arrays; no checks.
  void resize(std::int32_t aCapacity);
  void grow();
  void growIfFull() {
    if (blCount == blCapacity) grow();
  }
  // Frees the owned data object of a data entry (already taken out of the array).
  void freeData(void* aData) const;

  void** blList = nullptr;
  bool blUseData = false;
  bool blFreeDataObjects = false;
  void** blData = nullptr;
  std::int32_t blCount = 0;
  std::int32_t blCapacity = 0;
  std::uint32_t blGeneration = 0;
};

class TnxWriteableList : public TnxBaseList {
  PL_CLASS_INFO_DECL()
 public:
  virtual std::int32_t Add(void* aItem) = 0;
  virtual std::int32_t AddData(void* aItem, void* aData) = 0;

  // Appends every item of aList (aList may be this list: its items as they
  // were on entry); with data when both lists keep data and aList does not
  // own its data objects.
  void AddList(TnxBaseList* aList);
  // Former index, or -1 when absent.
  std::int32_t Remove(void* aItem);
  void Delete(std::int32_t aIndex);
  // As Delete, but the data entry is answered instead of freed.
  void* Release(std::int32_t aIndex);
  // Release of the item's index; nil when the item is absent.
  void* ReleaseItem(void* aItem);
  void Clear();
  void SetCapacity(std::int32_t aCapacity);
  std::int32_t InitCapacity() const { return wlInitCapacity; }

 protected:
  TnxWriteableList(std::int32_t aInitCapacity, bool aUseData, bool aFreeDataObjects);
  ~TnxWriteableList() override;

  // Inserts at aIndex (0..count) after growing when full.
  void insertAt(std::int32_t aIndex, void* aItem, void* aData);
  // Removes the entry at aIndex (checked) and answers its data.
  void* removeAt(std::int32_t aIndex);

  std::int32_t wlInitCapacity = 0;
};

class TnxList : public TnxWriteableList {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxList(std::int32_t aInitCapacity = 0, bool aUseData = false, bool aFreeDataObjects = false)
      : TnxWriteableList(aInitCapacity, aUseData, aFreeDataObjects) {}

  std::int32_t IndexOf(void* aItem) override;
  std::int32_t Add(void* aItem) override { return AddData(aItem, nullptr); }
  std::int32_t AddData(void* aItem, void* aData) override;

  void Insert(std::int32_t aIndex, void* aItem) { InsertData(aIndex, aItem, nullptr); }
  void InsertData(std::int32_t aIndex, void* aItem, void* aData);
  // Write accessor of Items: the generation changes only when the item does.
  void liPut(std::int32_t aIndex, void* aItem);
  void SetItem(std::int32_t aIndex, void* aItem) { liPut(aIndex, aItem); }
  void SetCount(std::int32_t aCount);
  // False for equal indexes or when nothing differs.
  bool Exchange(std::int32_t aIndex1, std::int32_t aIndex2);
  void Move(std::int32_t aCurIndex, std::int32_t aNewIndex);
  std::int32_t IndexOfData(void* aData);
  // Removes every nil item, keeping the order of the others.
  void Pack();
  void Sort(const TnxListSortCompare& aCompare);
};

class TnxSortedList : public TnxWriteableList {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxSortedList(std::int32_t aInitCapacity = 0, bool aUseData = false, bool aFreeDataObjects = false)
      : TnxWriteableList(aInitCapacity, aUseData, aFreeDataObjects) {}

  std::int32_t IndexOf(void* aItem) override;
  std::int32_t Add(void* aItem) override { return AddData(aItem, nullptr); }
  std::int32_t AddData(void* aItem, void* aData) override;
  // -1, 0, 1; by default the two addresses as unsigned numbers.
  virtual std::int8_t Compare(void* aItem1, void* aItem2);

  // True with the index of an equal item, else false with the insertion point.
  bool Find(void* aItem, std::int32_t& aIndex);
  void SuspendSorting() { ++slSuspendCount; }
  // At level 0 again, sorts what was appended while suspended. Without a
  // matching SuspendSorting it does nothing.
  void ResumeSorting();
  bool SortingSuspended() const { return slSuspendCount > 0; }

 protected:
  std::int32_t slSuspendCount = 0;
  bool slModified = false;
};

// A list owned by a lock. The wrapped list is freed with the wrapper.
class TnxListSyncAccess : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxListSyncAccess(TnxWriteableList* aList) : lsaList(aList) {}
  ~TnxListSyncAccess() override;

  virtual TnxBaseList* BeginRead() { return BeginWrite(); }
  virtual void EndRead() { EndWrite(); }
  virtual TnxWriteableList* BeginWrite() = 0;
  virtual void EndWrite() = 0;

  std::int32_t Add(void* aItem);
  std::int32_t AddData(void* aItem, void* aData);
  void AddList(TnxBaseList* aList);
  // Copies the source's entries under its read lock, then appends them under
  // this wrapper's write lock: the two locks are never held together, so two
  // wrappers adding each other cannot deadlock.
  void AddList(TnxListSyncAccess* aList);
  // True when the item was found (and deleted).
  bool Remove(void* aItem);
  void* Release(void* aItem);
  void Clear();
  std::int32_t Count();

  class ReadGuard {
   public:
    explicit ReadGuard(TnxListSyncAccess& aAccess) : access_(aAccess), list_(aAccess.BeginRead()) {}
    ~ReadGuard() { access_.EndRead(); }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;
    TnxBaseList* operator->() const { return list_; }
    TnxBaseList& operator*() const { return *list_; }

   private:
    TnxListSyncAccess& access_;
    TnxBaseList* list_;
  };
  class WriteGuard {
   public:
    explicit WriteGuard(TnxListSyncAccess& aAccess) : access_(aAccess), list_(aAccess.BeginWrite()) {}
    ~WriteGuard() { access_.EndWrite(); }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;
    TnxWriteableList* operator->() const { return list_; }
    TnxWriteableList& operator*() const { return *list_; }

   private:
    TnxListSyncAccess& access_;
    TnxWriteableList* list_;
  };

 protected:
  TnxWriteableList* lsaList;
};

// Many readers or one writer.
class TnxListPortal : public TnxListSyncAccess {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxListPortal(TnxWriteableList* aList);
  // Frees the portal first (it waits for readers and writers still inside).
  ~TnxListPortal() override;
  TnxBaseList* BeginRead() override;
  void EndRead() override;
  TnxWriteableList* BeginWrite() override;
  void EndWrite() override;
  TnxInternalReadWritePortal* Portal() const { return lptPortal; }

 private:
  TnxInternalReadWritePortal* lptPortal;
};

// One thread at a time, re-entrant.
class TnxListPadlock : public TnxListSyncAccess {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxListPadlock(TnxWriteableList* aList);
  ~TnxListPadlock() override;
  TnxWriteableList* BeginWrite() override;
  void EndWrite() override;

 private:
  TnxPadlock* lplPadlock;
};

// A string list that compares by UTF-16 code units (case-sensitive) or with
// ASCII-only case folding (case-insensitive) instead of the locale-aware
// default. Objects are not owned except by Clear(true).
class TnxFastStringList : public platform::TStringList {
  PL_CLASS_INFO_DECL()
 public:
  TnxFastStringList() = default;
  // CreateSorted: sorted with the given duplicates rule.
  explicit TnxFastStringList(platform::Duplicates aDups);

  // Frees the object of every string first (in index order) when asked.
  virtual void Clear(bool aFreeObjects);
  int compareStrings(platform::UnicodeStringView a, platform::UnicodeStringView b) const override;
};

class TnxFastStringListCS : public TnxFastStringList {
  PL_CLASS_INFO_DECL()
 public:
  TnxFastStringListCS();
  explicit TnxFastStringListCS(platform::Duplicates aDups);
  int compareStrings(platform::UnicodeStringView a, platform::UnicodeStringView b) const override;
};

class TnxFastStringListIC : public TnxFastStringList {
  PL_CLASS_INFO_DECL()
 public:
  TnxFastStringListIC() = default;
  explicit TnxFastStringListIC(platform::Duplicates aDups) : TnxFastStringList(aDups) {}
  int compareStrings(platform::UnicodeStringView a, platform::UnicodeStringView b) const override;
};

// CompareStr: ordinal by UTF-16 code units. CompareText: the same after
// mapping 'a'..'z' to upper case. Both answer <0, 0, >0.
int nxCompareStr(platform::UnicodeStringView a, platform::UnicodeStringView b);
int nxCompareText(platform::UnicodeStringView a, platform::UnicodeStringView b);
