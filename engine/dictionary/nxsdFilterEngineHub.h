// Filter hubs: the conjunction of several filters. A record passes a hub
// when it passes every member (members asked in order, the first rejection
// ends the walk); an empty hub passes everything. Hubs own their members
// from the moment they are added. Not streamable.
//
// Owner protocol: an owner keeps one filter variable. Adding engine E: nil
// variable -> E; a hub -> E joins it; else the variable becomes
// TnxFilterEngineHub(old, E). Removing calls RemoveFilter(E, variable) on the
// variable's engine; a hub left with one member hands it to the variable and
// frees itself, with none it leaves nil.
#pragma once

#include <cstdint>
#include <vector>

#include "nxsdFilterEngineBase.h"

class TnxFilterDescriptorHub : public TnxBaseFilterDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  TnxFilterDescriptorHub() = default;
  ~TnxFilterDescriptorHub() override;

  std::int32_t FilterCount() const { return static_cast<std::int32_t>(fdhList.size()); }
  TnxBaseFilterDescriptor* fdhGetFilter(std::int32_t aInx) const { return fdhList.at(static_cast<std::size_t>(aInx)); }
  // The hub takes ownership.
  void AddFilter(TnxBaseFilterDescriptor* aFilter);
  // Deletes and frees one member; an absent member changes nothing.
  void RemoveFilter(std::int32_t aInx);
  void RemoveFilter(TnxBaseFilterDescriptor* aFilter);

  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aFlag) override;

 private:
  std::vector<TnxBaseFilterDescriptor*> fdhList;  // owned
};

class TnxFilterEngineHub : public TnxBaseFilterEngine {
  PL_CLASS_INFO_DECL()
 public:
  // aDescriptor nil or a TnxFilterDescriptorHub: one member per member
  // descriptor, in order, over aFieldsSource.
  TnxFilterEngineHub(TnxBaseFilterDescriptor* aDescriptor, const TnxIntfPtr<InxFieldsSource>& aFieldsSource);
  // A hub over aFilter1's fields source holding both (ownership passes).
  static TnxFilterEngineHub* Create(TnxBaseFilterEngine* aFilter1, TnxBaseFilterEngine* aFilter2);
  ~TnxFilterEngineHub() override;

  std::int32_t FilterCount() const { return static_cast<std::int32_t>(fehList.size()); }
  TnxBaseFilterEngine* fehGetFilter(std::int32_t aInx) const { return fehList.at(static_cast<std::size_t>(aInx)); }
  // Ownership passes to the hub.
  void AddFilter(TnxBaseFilterEngine* aFilter);

  // True as soon as one member is active; an empty hub is not active.
  bool GetActive() override;
  TnxBaseFilterEngine* Duplicate(const TnxIntfPtr<InxFieldsSource>& aFieldsSource) override;
  TnxBaseFilterDescriptor* CreateDescriptor() override;
  bool MatchesBuffer(const void* aBuffer) override;
  // Searches only the hub's own members (not nested hubs); see the header.
  TnxResult RemoveFilter(TnxBaseFilterEngine* aFilterID, TnxBaseFilterEngine*& aFilterVar) override;
  // 10050 unless a member takes it; nil switches every member (the last
  // member's result), a member stops at the first that answers 0.
  TnxResult ActivateFilter(TnxBaseFilterEngine* aFilterID) override;
  TnxResult DeactivateFilter(TnxBaseFilterEngine* aFilterID) override;
  void Disconnect() override;
  bool IsEvalLocal() override;
  bool IsEvalRemote() override;

 private:
  void FreeMembers() noexcept;

  std::vector<TnxBaseFilterEngine*> fehList;  // owned
};

// Module start-up and finalisation, counted; listed in the dictionary's
// start-up table (registration of the descriptor and engine).
void nxsdFilterEngineHubInitialize();
void nxsdFilterEngineHubFinalize();
