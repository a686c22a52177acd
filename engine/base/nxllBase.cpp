#include "nxllBase.h"

#include <cstring>

#include "plErrors.h"

PL_CLASS_INFO_IMPL(TnxObject, platform::TObject, "TnxObject", nullptr)
PL_CLASS_INFO_IMPL(TnxInterfacedObject, TnxObject, "TnxInterfacedObject", nullptr)
PL_CLASS_INFO_IMPL(TnxLifetimeMonitor, TnxInterfacedObject, "TnxLifetimeMonitor", nullptr)
PL_CLASS_INFO_IMPL(TnxLifetimeTrackedObject, TnxObject, "TnxLifetimeTrackedObject", nullptr)

// At least 8 bytes: the smallest sizes come from 8-byte aligned pools.
void* TnxObject::operator new(std::size_t aSize) { return nxAllocMem(aSize < 8 ? 8 : aSize); }

void* TnxObject::operator new(std::size_t aSize, std::align_val_t aAlign) {
  if (std::size_t(aAlign) <= 16) return operator new(aSize);
  void* p = ::operator new(aSize, aAlign);
  std::memset(p, 0, aSize);
  return p;
}

void TnxObject::operator delete(void* aPointer, std::align_val_t aAlign) noexcept {
  if (std::size_t(aAlign) <= 16)
    operator delete(aPointer);
  else
    ::operator delete(aPointer, aAlign);
}

void TnxObject::operator delete(void* aPointer) noexcept {
  // The allocator's answer is ignored, as for every instance release.
  try {
    nxFreeMem(aPointer);
  } catch (...) {
  }
}

// ---------------------------------------------------------------- interfaced

std::int32_t TnxInterfacedObject::queryParentInterface(const platform::Guid& aIID, void** aObj) {
  if (aIID == TnxInterfacedObject::IID) {
    InxInterface* intf = static_cast<TnxInterfacedObject*>(this);
    intf->AddRef();
    *aObj = intf;
    return nxS_OK;
  }
  *aObj = nullptr;
  return nxE_NOINTERFACE;
}

std::int32_t TnxInterfacedObject::QueryInterface(const platform::Guid& aIID, void** aObj) {
  for (const TnxInterfaceEntry* e = interfaceTable(); e && e->ieIID; ++e) {
    if (*e->ieIID == aIID) {
      InxInterface* intf = e->ieGet(this);
      intf->AddRef();
      *aObj = intf;
      return nxS_OK;
    }
  }
  return queryParentInterface(aIID, aObj);
}

std::int32_t TnxInterfacedObject::AddRef() { return ioRefCount.fetch_add(1) + 1; }

std::int32_t TnxInterfacedObject::Release() {
  const std::int32_t count = ioRefCount.fetch_sub(1) - 1;
  if (count == 0 && !ioKeepAlive.load()) {
    // The count may reach 0 again while the destructor hands the object out;
    // only the first decision destroys it.
    std::int32_t expected = 0;
    if (ioReleased.compare_exchange_strong(expected, 1)) platform::TObject::free(this);
  }
  return count;
}

void TnxInterfacedObject::afterConstruction() {
  ioRefCount.fetch_sub(1);
  TnxObject::afterConstruction();
}

void TnxInterfacedObject::beforeDestruction() {
  if (ioRefCount.load() != 0) throw platform::InvalidPointer();
  TnxObject::beforeDestruction();
}

void TnxInterfacedObject::Free(TnxInterfacedObject* aObject) {
  if (!aObject) return;
  struct Hold {
    TnxInterfacedObject* h;
    ~Hold() noexcept(false) { h->Release(); }
  };
  aObject->AddRef();
  Hold hold{aObject};
  if (aObject->ioKeepAlive.load()) {
    struct ClearFlag {
      TnxInterfacedObject* c;
      ~ClearFlag() { c->ioKeepAlive.store(false); }
    } clear{aObject};
    aObject->Freeing();
  }
}

// ---------------------------------------------------------------- lifetime monitor

const TnxInterfaceEntry* TnxLifetimeMonitor::interfaceTable() const {
  static const TnxInterfaceEntry table[] = {
      {&InxLifetimeMonitorRef::IID,
       [](TnxInterfacedObject* o) -> InxInterface* {
         return static_cast<InxLifetimeMonitorRef*>(static_cast<TnxLifetimeMonitor*>(o));
       }},
      {&InxLifetimeMonitorObject::IID,
       [](TnxInterfacedObject* o) -> InxInterface* { return static_cast<TnxLifetimeMonitor*>(o)->objectSide(); }},
      {nullptr, nullptr},
  };
  return table;
}

void nxCreateLifetimeMonitor(TnxIntfPtr<InxLifetimeMonitorObject>& aMonitor) {
  auto* monitor = platform::create<TnxLifetimeMonitor>();
  aMonitor = TnxIntfPtr<InxLifetimeMonitorObject>(monitor->objectSide());
}

TnxIntfPtr<InxLifetimeMonitorObject> nxNewLifetimeMonitor() {
  TnxIntfPtr<InxLifetimeMonitorObject> monitor;
  nxCreateLifetimeMonitor(monitor);
  return monitor;
}

TnxIntfPtr<InxLifetimeMonitorRef> TnxLifetimeTrackedObject::GetLifetimeMonitor() {
  return nxSupports<InxLifetimeMonitorRef>(ltoLifetimeMonitor.getOrCreate(nxNewLifetimeMonitor));
}

void TnxLifetimeTrackedObject::beforeDestruction() {
  if (InxLifetimeMonitorObject* monitor = ltoLifetimeMonitor.get()) monitor->Dead();
  TnxObject::beforeDestruction();
}

TnxLifetimeTrackedObject::~TnxLifetimeTrackedObject() = default;  // the monitor's reference goes with the member
