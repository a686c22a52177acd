#include "nxsdFilterEngineHub.h"

#include <algorithm>
#include <string>

#include "nxllBde.h"
#include "nxllException.h"
#include "nxllLockedFuncs.h"
#include "nxllOwners.h"

PL_CLASS_INFO_IMPL_TABLE(TnxFilterDescriptorHub, TnxBaseFilterDescriptor, "TnxFilterDescriptorHub", nullptr,
                         platform::bindClassTable(nxFilterDescriptorFuncs<TnxFilterDescriptorHub>))
PL_CLASS_INFO_IMPL_TABLE(TnxFilterEngineHub, TnxBaseFilterEngine, "TnxFilterEngineHub", nullptr,
                         platform::bindClassTable(nxFilterEngineFuncs<TnxFilterEngineHub>))

// ---------------------------------------------------------------------------
// TnxFilterDescriptorHub

TnxFilterDescriptorHub::~TnxFilterDescriptorHub() {
  for (TnxBaseFilterDescriptor* d : fdhList) platform::TObject::free(d);
}

void TnxFilterDescriptorHub::AddFilter(TnxBaseFilterDescriptor* aFilter) { fdhList.push_back(aFilter); }

void TnxFilterDescriptorHub::RemoveFilter(std::int32_t aInx) {
  if (aInx < 0 || aInx >= FilterCount()) return;
  TnxBaseFilterDescriptor* d = fdhList[static_cast<std::size_t>(aInx)];
  fdhList.erase(fdhList.begin() + aInx);
  platform::TObject::free(d);
}

void TnxFilterDescriptorHub::RemoveFilter(TnxBaseFilterDescriptor* aFilter) {
  auto it = std::find(fdhList.begin(), fdhList.end(), aFilter);
  if (it != fdhList.end()) RemoveFilter(static_cast<std::int32_t>(it - fdhList.begin()));
}

void TnxFilterDescriptorHub::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aFlag) {
  TnxBaseFilterDescriptor::AddDebugInfo(aContainer, aFlag);
  for (std::size_t i = 0; i < fdhList.size(); ++i)
    fdhList[i]->AddDebugInfo(aContainer->AddContainer(u"Filters[" + platform::fromUtf8(std::to_string(i)) + u"]"),
                             aFlag);
}

// ---------------------------------------------------------------------------
// TnxFilterEngineHub

TnxFilterEngineHub::TnxFilterEngineHub(TnxBaseFilterDescriptor* aDescriptor,
                                       const TnxIntfPtr<InxFieldsSource>& aFieldsSource)
    : TnxBaseFilterEngine(aDescriptor, aFieldsSource) {
  if (!aDescriptor) return;
  auto* hub = nxFilterDescriptorAs<TnxFilterDescriptorHub>(aDescriptor);
  try {
    for (std::int32_t i = 0; i < hub->FilterCount(); ++i) {
      TnxOwned<TnxBaseFilterEngine> member(CreateFor(hub->fdhGetFilter(i), aFieldsSource));
      fehList.push_back(member.get());
      member.release();
    }
  } catch (...) {
    FreeMembers();  // the destructor does not run for a failed constructor
    throw;
  }
}

TnxFilterEngineHub* TnxFilterEngineHub::Create(TnxBaseFilterEngine* aFilter1, TnxBaseFilterEngine* aFilter2) {
  auto* hub = platform::create<TnxFilterEngineHub>(nullptr, aFilter1->FieldsSource());
  hub->AddFilter(aFilter1);
  hub->AddFilter(aFilter2);
  return hub;
}

TnxFilterEngineHub::~TnxFilterEngineHub() { FreeMembers(); }

void TnxFilterEngineHub::FreeMembers() noexcept {
  std::vector<TnxBaseFilterEngine*> members;
  members.swap(fehList);
  for (TnxBaseFilterEngine* e : members) platform::TObject::free(e);
}

void TnxFilterEngineHub::AddFilter(TnxBaseFilterEngine* aFilter) { fehList.push_back(aFilter); }

bool TnxFilterEngineHub::GetActive() {
  for (TnxBaseFilterEngine* e : fehList)
    if (e->GetActive()) return true;
  return false;
}

bool TnxFilterEngineHub::IsEvalLocal() {
  for (TnxBaseFilterEngine* e : fehList)
    if (e->IsEvalLocal()) return true;
  return false;
}

bool TnxFilterEngineHub::IsEvalRemote() {
  for (TnxBaseFilterEngine* e : fehList)
    if (e->IsEvalRemote()) return true;
  return false;
}

TnxBaseFilterEngine* TnxFilterEngineHub::Duplicate(const TnxIntfPtr<InxFieldsSource>& aFieldsSource) {
  const auto* funcs = classInfo().table<TnxFilterEngineClassFuncs>();
  TnxOwned<TnxFilterEngineHub> hub(static_cast<TnxFilterEngineHub*>(
      funcs ? funcs->create(nullptr, aFieldsSource) : platform::create<TnxFilterEngineHub>(nullptr, aFieldsSource)));
  for (TnxBaseFilterEngine* e : fehList) {
    TnxOwned<TnxBaseFilterEngine> copy(e->Duplicate(aFieldsSource));
    hub->AddFilter(copy.get());
    copy.release();
  }
  return hub.release();
}

TnxBaseFilterDescriptor* TnxFilterEngineHub::CreateDescriptor() {
  auto hub = nxCreateOwned<TnxFilterDescriptorHub>();
  for (TnxBaseFilterEngine* e : fehList) {
    TnxOwned<TnxBaseFilterDescriptor> d(e->CreateDescriptor());
    hub->AddFilter(d.get());
    d.release();
  }
  return hub.release();
}

bool TnxFilterEngineHub::MatchesBuffer(const void* aBuffer) {
  for (TnxBaseFilterEngine* e : fehList)
    if (!e->MatchesBuffer(aBuffer)) return false;
  return true;
}

TnxResult TnxFilterEngineHub::RemoveFilter(TnxBaseFilterEngine* aFilterID, TnxBaseFilterEngine*& aFilterVar) {
  TnxResult result = TnxBaseFilterEngine::RemoveFilter(aFilterID, aFilterVar);
  if (result != nxErrInvalidFilterHandle) return result;  // this hub itself: gone
  auto it = std::find(fehList.begin(), fehList.end(), aFilterID);
  if (!aFilterID || it == fehList.end()) return nxErrInvalidFilterHandle;
  nxAssert(aFilterVar == this, "Filter variable does not hold the hub");
  fehList.erase(it);
  platform::TObject::free(aFilterID);
  if (fehList.size() > 1) return 0;
  // One member left: it takes the hub's place; none: the variable empties.
  aFilterVar = fehList.empty() ? nullptr : fehList.front();
  fehList.clear();
  platform::TObject::free(this);
  return 0;
}

TnxResult TnxFilterEngineHub::ActivateFilter(TnxBaseFilterEngine* aFilterID) {
  TnxResult result = nxErrInvalidFilterHandle;
  for (TnxBaseFilterEngine* e : fehList) {
    result = e->ActivateFilter(aFilterID);
    if (aFilterID && result == 0) break;
  }
  return result;
}

TnxResult TnxFilterEngineHub::DeactivateFilter(TnxBaseFilterEngine* aFilterID) {
  TnxResult result = nxErrInvalidFilterHandle;
  for (TnxBaseFilterEngine* e : fehList) {
    result = e->DeactivateFilter(aFilterID);
    if (aFilterID && result == 0) break;
  }
  return result;
}

void TnxFilterEngineHub::Disconnect() {
  TnxBaseFilterEngine::Disconnect();
  for (TnxBaseFilterEngine* e : fehList) e->Disconnect();
}

namespace {

TnxUseCount gFilterEngineHubUseCount{0};

void unregisterFilterEngineHubClasses() {
  TnxEngineClass<TnxFilterEngineHub>::Unregister();
  TnxDescriptorClass<TnxFilterDescriptorHub>::Unregister();
}

}  // namespace

void nxsdFilterEngineHubInitialize() {
  if (!nxUseCountEnter(gFilterEngineHubUseCount)) return;
  try {
    TnxDescriptorClass<TnxFilterDescriptorHub>::Register();
    TnxEngineClass<TnxFilterEngineHub>::Register();
  } catch (...) {
    unregisterFilterEngineHubClasses();
    nxUseCountLeave(gFilterEngineHubUseCount);
    throw;
  }
}

void nxsdFilterEngineHubFinalize() {
  if (nxUseCountLeave(gFilterEngineHubUseCount)) unregisterFilterEngineHubClasses();
}
