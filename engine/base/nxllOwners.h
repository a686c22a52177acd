// The ownership kit: who frees what, in one place.
//
// Rules for all engine code:
// - No new/delete of a class with class metadata (a platform::TObject
//   descendant): make it with platform::create<T>(...) and hand it to a
//   TnxOwned at once, or to a parent that frees it; destroy it with free(),
//   which runs beforeDestruction().
// - No volatile for synchronisation: shared words are std::atomic (or are
//   passed to the nxLocked* operations, which are atomic read-modify-writes).
// - Every lock is held by a guard (TnxPadlockGuard, TnxPortalReadGuard, ...):
//   no Lock/Unlock pair across code that may throw.
//
// The owners:
// - TnxOwned<T>: sole owner of a created object; move-only; frees it.
// - TnxIntfPtr<I>: one counted reference to an interface.
// - TnxAtomicIntfPtr<I>: an interface reference several threads may install
//   (once) and read, e.g. a lifetime monitor created on first request.
// - TnxCountedRef<T>: one reference to a counted record (a plain struct with
//   its own count, freed by its own release function).
// Thread safety: TnxOwned, TnxIntfPtr and TnxCountedRef are single-thread
// values (as a plain pointer variable is); the objects they point at may be
// shared. TnxAtomicIntfPtr may be used from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "plObject.h"

// ---- TnxOwned ------------------------------------------------------------------

// Owns one object made by platform::create<T>(); frees it with free().
// If beforeDestruction() throws, reset() propagates the failure and keeps
// the object (alive and usable, still owned). The destructor cannot
// propagate: free objects whose beforeDestruction may fail with reset().
template <class T>
class TnxOwned {
 public:
  TnxOwned() = default;
  TnxOwned(std::nullptr_t) {}
  // Takes over aObject (which must come from create<T>, or be null).
  explicit TnxOwned(T* aObject) : oObject(aObject) {}
  TnxOwned(TnxOwned&& aOther) noexcept : oObject(aOther.release()) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  TnxOwned(TnxOwned<U>&& aOther) noexcept : oObject(aOther.release()) {}
  TnxOwned& operator=(TnxOwned&& aOther) {
    if (this != &aOther) reset(aOther.release());
    return *this;
  }
  TnxOwned(const TnxOwned&) = delete;
  TnxOwned& operator=(const TnxOwned&) = delete;
  ~TnxOwned() { platform::TObject::free(oObject); }

  T* get() const { return oObject; }
  T* operator->() const { return oObject; }
  T& operator*() const { return *oObject; }
  explicit operator bool() const { return oObject != nullptr; }

  // Gives up ownership without freeing.
  T* release() { return std::exchange(oObject, nullptr); }
  // Frees the held object (see above on failures), then holds aObject.
  void reset(T* aObject = nullptr) {
    if (oObject == aObject) return;
    if (oObject) {
      try {
        platform::TObject::free(oObject);
      } catch (...) {
        if (aObject) platform::TObject::free(aObject);  // never leak the newcomer
        throw;
      }
    }
    oObject = aObject;
  }

 private:
  T* oObject = nullptr;
};

// Adopts a raw created object: auto list = nxAdopt(platform::create<TFoo>(...)).
template <class T>
TnxOwned<T> nxAdopt(T* aObject) {
  return TnxOwned<T>(aObject);
}

// create<T>(...) straight into an owner.
template <class T, class... Args>
TnxOwned<T> nxCreateOwned(Args&&... aArgs) {
  return TnxOwned<T>(platform::create<T>(std::forward<Args>(aArgs)...));
}

// ---- TnxIntfPtr ---------------------------------------------------------------

// An interface reference: AddRef on copy, Release on reset.
template <class I>
class TnxIntfPtr {
 public:
  TnxIntfPtr() = default;
  TnxIntfPtr(std::nullptr_t) {}
  explicit TnxIntfPtr(I* aIntf, bool aAddRef = true) : iPtr(aIntf) {
    if (iPtr && aAddRef) iPtr->AddRef();
  }
  TnxIntfPtr(const TnxIntfPtr& aOther) : iPtr(aOther.iPtr) {
    if (iPtr) iPtr->AddRef();
  }
  TnxIntfPtr(TnxIntfPtr&& aOther) noexcept : iPtr(std::exchange(aOther.iPtr, nullptr)) {}
  ~TnxIntfPtr() { reset(); }
  TnxIntfPtr& operator=(const TnxIntfPtr& aOther) {
    TnxIntfPtr(aOther).swap(*this);
    return *this;
  }
  TnxIntfPtr& operator=(TnxIntfPtr&& aOther) noexcept {
    TnxIntfPtr(std::move(aOther)).swap(*this);
    return *this;
  }
  void reset() {
    if (I* p = std::exchange(iPtr, nullptr)) p->Release();
  }
  void swap(TnxIntfPtr& aOther) noexcept { std::swap(iPtr, aOther.iPtr); }
  I* get() const { return iPtr; }
  I* operator->() const { return iPtr; }
  explicit operator bool() const { return iPtr != nullptr; }
  // Takes the raw pointer out without releasing it.
  I* detach() { return std::exchange(iPtr, nullptr); }
  I** slot() { return &iPtr; }

 private:
  I* iPtr = nullptr;
};

// ---- TnxAtomicIntfPtr -----------------------------------------------------------

// An interface variable shared between threads; it holds one reference
// while set. Typical use: an object created on first request by whichever
// thread asks first (getOrCreate), kept until the owner goes (reset).
// REQUIRES: the pointer answered by get() and getOrInstall() stays valid only
// while no other thread may exchange or reset the variable (usually: while
// the owner lives).
template <class I>
class TnxAtomicIntfPtr {
 public:
  TnxAtomicIntfPtr() = default;
  TnxAtomicIntfPtr(const TnxAtomicIntfPtr&) = delete;
  TnxAtomicIntfPtr& operator=(const TnxAtomicIntfPtr&) = delete;
  ~TnxAtomicIntfPtr() { reset(); }

  I* get() const { return aipPtr.load(std::memory_order_acquire); }
  explicit operator bool() const { return get() != nullptr; }

  // Installs aFresh when nothing is installed and answers what is installed
  // then: aFresh, or the one another thread installed first (aFresh is then
  // released when it goes out of scope).
  I* getOrInstall(TnxIntfPtr<I> aFresh) {
    I* expected = nullptr;
    if (aipPtr.compare_exchange_strong(expected, aFresh.get(), std::memory_order_acq_rel,
                                       std::memory_order_acquire))
      return aFresh.detach();  // the variable owns its reference now
    return expected;
  }
  // As getOrInstall, creating the candidate with aMake() (returning a
  // TnxIntfPtr<I>) only when nothing is installed yet.
  template <class Make>
  I* getOrCreate(Make&& aMake) {
    if (I* existing = get()) return existing;
    return getOrInstall(aMake());
  }
  // Puts aNew in and answers the old one with its reference.
  TnxIntfPtr<I> exchange(TnxIntfPtr<I> aNew) {
    return TnxIntfPtr<I>(aipPtr.exchange(aNew.detach(), std::memory_order_acq_rel), false);
  }
  // Clears the variable first, then drops the reference it held.
  void reset() {
    if (I* old = aipPtr.exchange(nullptr, std::memory_order_acq_rel)) old->Release();
  }

 private:
  std::atomic<I*> aipPtr{nullptr};
};

// ---- TnxCountedRef ---------------------------------------------------------------

// One reference to a counted record. A record type T takes part by
// providing, next to itself (found by argument-dependent lookup):
//   void nxCountedAddRef(T* aRecord);   // one more reference
//   void nxCountedRelease(T* aRecord);  // one less; frees the record at zero
// Both are called with non-null records only.
template <class T>
class TnxCountedRef {
 public:
  TnxCountedRef() = default;
  TnxCountedRef(std::nullptr_t) {}
  TnxCountedRef(const TnxCountedRef& aOther) : crRecord(aOther.crRecord) {
    if (crRecord) nxCountedAddRef(crRecord);
  }
  TnxCountedRef(TnxCountedRef&& aOther) noexcept : crRecord(std::exchange(aOther.crRecord, nullptr)) {}
  ~TnxCountedRef() { reset(); }
  TnxCountedRef& operator=(const TnxCountedRef& aOther) {
    TnxCountedRef(aOther).swap(*this);
    return *this;
  }
  TnxCountedRef& operator=(TnxCountedRef&& aOther) noexcept {
    TnxCountedRef(std::move(aOther)).swap(*this);
    return *this;
  }

  // Takes over a reference the caller already counted (a new record's first).
  static TnxCountedRef adopt(T* aRecord) {
    TnxCountedRef ref;
    ref.crRecord = aRecord;
    return ref;
  }
  // Counts one more reference to aRecord.
  static TnxCountedRef share(T* aRecord) {
    if (aRecord) nxCountedAddRef(aRecord);
    return adopt(aRecord);
  }

  T* get() const { return crRecord; }
  T* operator->() const { return crRecord; }
  T& operator*() const { return *crRecord; }
  explicit operator bool() const { return crRecord != nullptr; }
  void swap(TnxCountedRef& aOther) noexcept { std::swap(crRecord, aOther.crRecord); }

  // Clears the reference first, then drops the count it held.
  void reset() {
    if (T* old = std::exchange(crRecord, nullptr)) nxCountedRelease(old);
  }
  // Gives up the reference without releasing it.
  T* release() { return std::exchange(crRecord, nullptr); }

 private:
  T* crRecord = nullptr;
};
