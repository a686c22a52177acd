#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "nxllComponent.h"

namespace {

// What a layer with its own exception class receives.
struct RaisedByLayer {
  TnxResult code;
  nxString text;
};

class TRaiseOwnComponent : public TnxStateComponent {
 public:
  using TnxStateComponent::TnxStateComponent;
  bool returnInstead = false;  // an override that forgets to raise

 protected:
  void RaiseComponentError(TnxResult aErrorCode, const nxString& aText) const override {
    if (returnInstead) return;
    throw RaisedByLayer{aErrorCode, aText};
  }
};

RaisedByLayer raisedBy(const std::function<void()>& aCall) {
  try {
    aCall();
  } catch (const RaisedByLayer& r) {
    return r;
  }
  return {static_cast<TnxResult>(-1), u"(nothing raised)"};
}

TEST(NxComponentRaise, EveryErrorPathReachesTheOverride) {
  auto* c = platform::create<TRaiseOwnComponent>(nullptr);
  struct Case {
    const char* what;
    std::function<void()> call;
    TnxResult code;
    nxString text;
  };
  const Case cases[] = {
      {"CheckStarted of a stopped component", [c] { c->CheckStarted(); }, 0,
       u"This component must be started when performing this operation."},
      {"CheckError", [c] { c->CheckError(10024); }, 10024, u""},
      {"RaiseError code", [c] { c->RaiseError(8455); }, 8455, u""},
      {"RaiseError text", [c] { c->RaiseError(nxString(u"Bad")); }, 0, u"Bad"},
      {"RaiseError code and text", [c] { c->RaiseError(9986, nxString(u"Why")); }, 9986, u"Why"},
      {"RaiseError formatted", [c] { c->RaiseError(nxString(u"Table %d (%s)"), {1, u"T"}); }, 0, u"Table 1 (T)"},
      {"RaiseError code formatted", [c] { c->RaiseError(10024, nxString(u"%s gone"), {u"T"}); }, 10024, u"T gone"},
  };
  for (const Case& k : cases) {
    const RaisedByLayer r = raisedBy(k.call);
    EXPECT_EQ(r.code, k.code) << k.what;
    EXPECT_EQ(r.text, k.text) << k.what;
  }
  c->Open();
  const RaisedByLayer inactive = raisedBy([c] { c->CheckInactive(); });
  EXPECT_EQ(inactive.text, u"This component must be inactive when performing this operation.");
  platform::TObject::free(c);
}

TEST(NxComponentRaise, AnOverrideThatReturnsStillRaisesTheComponentForm) {
  auto* c = platform::create<TRaiseOwnComponent>(nullptr);
  c->SetName(u"c1");
  c->returnInstead = true;
  try {
    c->CheckStarted();
    FAIL() << "no error";
  } catch (const EnxStateComponentException& e) {
    EXPECT_STREQ(e.what(), "DazavAV: c1: This component must be started when performing this operation. [no error code]");
  }
  platform::TObject::free(c);
}

nxString bracketingTextHook(const nxString& aText, InxExceptionForCallback* aException) {
  return u"[" + aText + u"]" + (aException->ExtendedMsg() ? u"+" : u"-");
}

TEST(NxComponentRaise, ExceptionTextHookShapesEngineMessages) {
  ASSERT_EQ(nxGetExceptionTextHook(), nullptr);
  nxSetExceptionTextHook(&bracketingTextHook);
  const EnxBaseException coded(10024);
  const EnxBaseException text(u"Plain");
  nxSetExceptionTextHook(nullptr);
  EXPECT_EQ(coded.Message(), u"DazavAV: [Table does not exist.]- [$2728/10024]");
  EXPECT_EQ(text.Message(), u"DazavAV: [Plain]+ [no error code]");
  EXPECT_EQ(EnxBaseException(10024).Message(), u"DazavAV: Table does not exist. [$2728/10024]");
}

}  // namespace
