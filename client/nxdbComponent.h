// The data-access component bases of the client. Part of nxdb: include
// nxdb.h, not this header.
//
// TnxDataAccessStateComponent: a state component whose CheckError and
// RaiseError (and so the state machine's own refusals, such as "must be
// started") raise EnxDatabaseError naming the component.
// TnxSessionOwnedDataAccessStateComponent: one that belongs to a session
// component (or to the calling thread's default session) and inherits its
// time-out: Timeout -1 means the session's, a session's -1 means 10000 ms.
// Thread safety: a component is driven by the thread that owns it.
#pragma once

#include <cstdint>

#include "nxllComponent.h"
#include "nxdbBase.h"
#include "plDbFields.h"
#include "plVariant.h"

class TnxBaseSession;

inline constexpr std::int32_t nxDefaultClientTimeout = 10000;

class TnxDataAccessStateComponent : public TnxStateComponent {
  PL_CLASS_INFO_DECL()
 public:
  using TnxStateComponent::TnxStateComponent;

 protected:
  // EnxDatabaseError in its component form naming this component.
  [[noreturn]] void RaiseComponentError(TnxResult aErrorCode, const nxString& aText) const override;
};

class TnxSessionOwnedDataAccessStateComponent : public TnxDataAccessStateComponent {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxSessionOwnedDataAccessStateComponent(TnxComponent* aOwner = nullptr);
  // Binds the default session unless the component is being loaded.
  void afterConstruction() override;
  void Loaded() override;

  TnxBaseSession* Session() const { return soSession; }
  // Nothing when unchanged; else the component must be inactive; relinks.
  virtual void SetSession(TnxBaseSession* aValue);
  std::int32_t Timeout() const { return soTimeout; }
  // A new value is stored and applied (soApplyTimeout).
  void SetTimeout(std::int32_t aValue);

  bool DependsOn(TnxStateComponent* aComponent) const override;
  // Its session going away makes the component inactive without a session.
  void ProcessNotification(TnxComponent* aSender, TnxNotifyOp aOp, void* aParam) override;

  // Timeout when 0 or more; else the session's; without a session 10000 ms.
  std::int32_t soEffectiveTimeout() const;
  // Hands the effective time-out to the engine object below.
  virtual void soApplyTimeout() = 0;

 protected:
  // Session nil: the calling thread's default session (may be nil).
  virtual void soBindDefaultSession();
  // "No owning session" without a session.
  void soCheckSession() const;

  TnxBaseSession* soSession = nullptr;  // not owned
  std::int32_t soTimeout = -1;
};

// Stores aValue into aField; an empty string clears a field that is not a
// string field (ftString, ftFixedChar, ftWideString) instead of converting.
void nxSetFieldFromVariant(platform::TField& aField, const platform::Variant& aValue);
