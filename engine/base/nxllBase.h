// Base classes of engine objects: TnxObject (instances live in the engine's
// allocator), TnxInterfacedObject (intrusive reference count, keep-alive,
// interface lookup by GUID) and the lifetime monitor through which others can
// ask whether a TnxLifetimeTrackedObject still exists.
//
// Life of a TnxInterfacedObject: created with platform::create<T>(...); its
// count is 1 during construction (so references taken and dropped inside the
// constructor cannot destroy it) and 0 after afterConstruction(). The last
// Release destroys it unless it is kept alive; Free() destroys it when no
// reference remains, else the last Release does. Destroying one that is still
// referenced raises platform::InvalidPointer (the object stays alive).
// Thread safety: counts change by interlocked operations; any thread may take
// and drop references. Interface pointers (InxInterface and descendants) are
// held through TnxIntfPtr (nxllOwners.h), never shared_ptr.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "nxllMemoryManager.h"
#include "nxllOwners.h"
#include "plGuid.h"
#include "plObject.h"

constexpr std::int32_t nxS_OK = 0;
constexpr std::int32_t nxE_NOINTERFACE = std::int32_t(0x80004002u);

// The root interface: every interface of an engine object derives from it.
class InxInterface {
 public:
  virtual std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) = 0;
  virtual std::int32_t AddRef() = 0;
  virtual std::int32_t Release() = 0;

 protected:
  ~InxInterface() = default;
};

// Queries aFrom for interface I (by I::IID); empty when not implemented.
template <class I, class From>
TnxIntfPtr<I> nxSupports(From* aFrom) {
  void* obj = nullptr;
  if (!aFrom || aFrom->QueryInterface(I::IID, &obj) != nxS_OK) return {};
  return TnxIntfPtr<I>(static_cast<I*>(obj), false);
}

class TnxObject : public platform::TObject {
  PL_CLASS_INFO_DECL()
 public:
  // Instances come zero-filled from the engine allocator, aligned to 16 bytes
  // (every item of 8 bytes or more is). Classes aligned beyond 16 bytes come
  // from the system heap.
  static void* operator new(std::size_t aSize);
  static void operator delete(void* aPointer) noexcept;
  static void* operator new(std::size_t aSize, std::align_val_t aAlign);
  static void operator delete(void* aPointer, std::align_val_t aAlign) noexcept;
};

class TnxInterfacedObject;

// Inside a class deriving from TnxInterfacedObject and an interface: the
// interface's three basic operations are the object's.
#define NX_INTERFACED_OBJECT_BASICS()                                          \
  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override { \
    return TnxInterfacedObject::QueryInterface(aIID, aObj);                    \
  }                                                                            \
  std::int32_t AddRef() override { return TnxInterfacedObject::AddRef(); }     \
  std::int32_t Release() override { return TnxInterfacedObject::Release(); }

// One row of a class's interface table: the GUID and how to reach the
// interface from the object.
struct TnxInterfaceEntry {
  const platform::Guid* ieIID;
  InxInterface* (*ieGet)(TnxInterfacedObject* aObject);
};

class TnxInterfacedObject : public TnxObject, public InxInterface {
  PL_CLASS_INFO_DECL()
 public:
  static constexpr platform::Guid IID{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

  explicit TnxInterfacedObject(bool aKeepAlive = false) : ioKeepAlive(aKeepAlive) {}

  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override;
  std::int32_t AddRef() override;
  std::int32_t Release() override;

  void afterConstruction() override;
  void beforeDestruction() override;
  // Called once by Free on a kept-alive object, before the flag is cleared.
  virtual void Freeing() {}

  // Destroys the object now, or at its last Release when references remain.
  static void Free(TnxInterfacedObject* aObject);

  std::int32_t RefCount() const { return ioRefCount.load(); }
  bool KeptAlive() const { return ioKeepAlive.load(); }

 protected:
  // The class's interfaces beyond its parent's; nullptr-terminated by a row
  // whose ieIID is nullptr. Lookup walks derived first.
  virtual const TnxInterfaceEntry* interfaceTable() const { return nullptr; }
  virtual std::int32_t queryParentInterface(const platform::Guid& aIID, void** aObj);

 private:
  std::atomic<std::int32_t> ioRefCount{1};
  std::atomic<std::int32_t> ioReleased{0};
  std::atomic<bool> ioKeepAlive;
};

class InxLifetimeMonitorRef : public InxInterface {
 public:
  static constexpr platform::Guid IID{0xB653B08D, 0x95B4, 0x4219, {0x99, 0x29, 0x4B, 0x51, 0x94, 0x42, 0x26, 0xF9}};
  virtual bool IsAlive() = 0;

 protected:
  ~InxLifetimeMonitorRef() = default;
};

class InxLifetimeMonitorObject : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x7137B921, 0x9BBE, 0x4943, {0x90, 0xD7, 0x69, 0xFE, 0x38, 0xDF, 0x79, 0x94}};
  virtual void Dead() = 0;

 protected:
  ~InxLifetimeMonitorObject() = default;
};

// Outlives the object it watches; its object side counts the watched object's
// references separately, so IsAlive turns False once they are gone.
class TnxLifetimeMonitor : public TnxInterfacedObject, public InxLifetimeMonitorRef {
  PL_CLASS_INFO_DECL()
 public:
  TnxLifetimeMonitor() : TnxInterfacedObject(false) {}

  NX_INTERFACED_OBJECT_BASICS()
  bool IsAlive() override { return !ltmIsDead.load() && ltmObjectRefCount.load() > 0; }
  InxLifetimeMonitorObject* objectSide() { return &ltmObjectSide; }
  std::int32_t ObjectRefCount() const { return ltmObjectRefCount.load(); }

 protected:
  const TnxInterfaceEntry* interfaceTable() const override;

 private:
  class ObjectSide final : public InxLifetimeMonitorObject {
   public:
    explicit ObjectSide(TnxLifetimeMonitor* aOwner) : osOwner(aOwner) {}
    std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override {
      return osOwner->QueryInterface(aIID, aObj);
    }
    std::int32_t AddRef() override {
      osOwner->ltmObjectRefCount.fetch_add(1);
      return osOwner->TnxInterfacedObject::AddRef();
    }
    std::int32_t Release() override {
      osOwner->ltmObjectRefCount.fetch_sub(1);
      return osOwner->TnxInterfacedObject::Release();
    }
    void Dead() override { osOwner->ltmIsDead.store(true); }

   private:
    TnxLifetimeMonitor* osOwner;
  };

  std::atomic<std::int32_t> ltmObjectRefCount{0};
  std::atomic<bool> ltmIsDead{false};
  ObjectSide ltmObjectSide{this};
};

// Creates a monitor and returns its object side, counting one reference.
void nxCreateLifetimeMonitor(TnxIntfPtr<InxLifetimeMonitorObject>& aMonitor);
// The same as a value, for TnxAtomicIntfPtr::getOrCreate.
TnxIntfPtr<InxLifetimeMonitorObject> nxNewLifetimeMonitor();

class TnxLifetimeTrackedObject : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  // Created on first request; two threads asking at once get the same one.
  TnxIntfPtr<InxLifetimeMonitorRef> GetLifetimeMonitor();
  void beforeDestruction() override;
  ~TnxLifetimeTrackedObject() override;

 private:
  TnxAtomicIntfPtr<InxLifetimeMonitorObject> ltoLifetimeMonitor;  // installed on first request
};

// Clears the variable first, then destroys what it held (beforeDestruction,
// then the destructor). A failing beforeDestruction propagates; the variable
// stays nil.
template <class T>
void nxFreeAndNil(T*& aObject) {
  T* old = __atomic_exchange_n(&aObject, nullptr, __ATOMIC_ACQ_REL);
  platform::TObject::free(old);
}

// Clears the variable first, then drops the reference it held.
template <class I>
void nxReleaseAndNil(TnxIntfPtr<I>& aIntf) {
  I* old = __atomic_exchange_n(aIntf.slot(), nullptr, __ATOMIC_ACQ_REL);
  if (old) old->Release();
}
