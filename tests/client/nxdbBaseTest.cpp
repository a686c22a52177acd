#include <gtest/gtest.h>

#include <memory>

#include "nxClientTestKit.h"
#include "nxdb.h"
#include "nxdbBase.h"
#include "plVectorDataSet.h"

namespace {

struct FreeBaseObject {
  void operator()(platform::TObject* aObject) const { platform::TObject::free(aObject); }
};
template <class T>
using BaseOwned = std::unique_ptr<T, FreeBaseObject>;

void setPending(TnxResult aCode, const nxString& aText) { EnxBaseException::SetLastConvertedException(aCode, aText); }

nxString pendingText() {
  TnxResult code = 0;
  nxString text;
  EnxBaseException::GetLastConvertedException(code, text);
  return text;
}

class ClientErrors : public ::testing::Test {
 protected:
  void SetUp() override { setPending(0, u""); }
  void TearDown() override { setPending(0, u""); }
};

TEST_F(ClientErrors, MessageFormsWithAndWithoutComponentAndCode) {
  BaseOwned<TnxDatabase> db(platform::create<TnxDatabase>(nullptr));
  db->SetName(u"nxDatabase1");
  struct Case {
    const char* what;
    EnxDatabaseError error;
    nxString message;
  };
  const Case cases[] = {
      {"component, code", EnxDatabaseError(db.get(), 10024),
       u"DazavAV: nxDatabase1: Table does not exist. [$2728/10024]"},
      {"component, text", EnxDatabaseError(db.get(), u"Bad thing."), u"DazavAV: nxDatabase1: Bad thing. [no error code]"},
      {"component, code and formatted text", EnxDatabaseError(db.get(), 10024, u"Table %s is gone", {u"T1"}),
       u"DazavAV: nxDatabase1: Table T1 is gone [$2728/10024]"},
      {"code only", EnxDatabaseError(10036), u"Unknown user name or password. [$2734/10036]"},
      {"text only", EnxDatabaseError(u"Plain"), u"Plain [no error code]"},
      {"nil component", EnxDatabaseError(static_cast<const platform::TComponent*>(nullptr), 10024),
       u"DazavAV: <nil pointer>: Table does not exist. [$2728/10024]"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.error.Message(), c.message) << c.what;
}

TEST_F(ClientErrors, CheckErrorOfADatabaseComponentGivesTheCodeForm) {
  BaseOwned<TnxDatabase> db(platform::create<TnxDatabase>(nullptr));
  db->SetName(u"nxDatabase1");
  EXPECT_NO_THROW(db->CheckError(0));
  try {
    db->CheckError(10024);
    FAIL() << "no error";
  } catch (const EnxDatabaseError& e) {
    EXPECT_EQ(e.Message(), u"DazavAV: nxDatabase1: Table does not exist. [$2728/10024]");
    EXPECT_EQ(e.ErrorCode(), 10024u);
    EXPECT_TRUE(e.ErrorString().empty());
    EXPECT_FALSE(e.ExtendedMsg());
    EXPECT_STREQ(e.what(), "DazavAV: nxDatabase1: Table does not exist. [$2728/10024]");
  }
}

TEST_F(ClientErrors, PendingMessageIsUsedOnceAndAlwaysCleared) {
  BaseOwned<TnxDatabase> db(platform::create<TnxDatabase>(nullptr));
  db->SetName(u"nxDatabase1");
  setPending(10024, u"Table XYZ not found <[!Org!]>");
  EXPECT_EQ(nxtest::clientErrorMessage([&] { db->CheckError(10024); }),
            u"DazavAV: nxDatabase1: Table XYZ not found Table does not exist. [$2728/10024]");
  EXPECT_TRUE(pendingText().empty());
  EXPECT_EQ(nxtest::clientErrorMessage([&] { db->CheckError(10024); }),
            u"DazavAV: nxDatabase1: Table does not exist. [$2728/10024]");

  // A pending message for another code is not shown, and it is gone all the same.
  setPending(10025, u"Something else");
  EXPECT_EQ(nxtest::clientErrorMessage([&] { db->CheckError(10024); }),
            u"DazavAV: nxDatabase1: Table does not exist. [$2728/10024]");
  EXPECT_TRUE(pendingText().empty());
}

TEST_F(ClientErrors, MarkersBecomeCustomInfos) {
  const EnxDatabaseError e(9986, u"<[--!OSError=5!--]>Access problem");
  EXPECT_EQ(e.ErrorString(), u"Access problem");
  EXPECT_EQ(e.CustomInfos().values(u"OSError"), u"5");
  EXPECT_EQ(e.OSError(), 5u);
  EXPECT_TRUE(e.ExtendedMsg());

  // The older form, hexadecimal OS errors, and infos without a name or value dropped.
  const EnxDatabaseError old(9986, u"A\u00FE<[--!\u00FEOSError=$1F\u00FE!--]>B<[--!x=!--]><[--!=y!--]><[--!novalue!--]>");
  EXPECT_EQ(old.ErrorString(), u"A\u00FEB");
  EXPECT_EQ(old.OSError(), 0x1Fu);
  EXPECT_EQ(old.CustomInfos().count(), 1);

  // Exception data travels as a marker and fills ExceptionData.
  TnxIntfPtr<InxExceptionDataContainer> data = nxCreateExceptionDataContainer(u"ExceptionData", nullptr, {});
  data->AddString(u"Table", u"qbnk");
  EnxDatabaseError withData(9986, u"Text" + nxEncodeCustomInfo(u"$ExceptionData$", data->ToTransportString(47501)));
  EXPECT_EQ(withData.ErrorString(), u"Text");
  EXPECT_EQ(withData.CustomInfos().indexOfName(u"$ExceptionData$"), -1);
  ASSERT_EQ(withData.ExceptionData()->Count(), 1);
  EXPECT_EQ(withData.ExceptionData()->Values(0)->AsString(), u"qbnk");

  // Data that does not decode leaves the error as it is.
  const EnxDatabaseError bad(9986, u"Text<[--!$ExceptionData$=garbage!--]>");
  EXPECT_EQ(bad.ErrorString(), u"Text");
  EXPECT_EQ(bad.Message(), u"Text [$2702/9986]");
}

TEST_F(ClientErrors, PlaceholderTakesTheStandardTextAndAPeriod) {
  EXPECT_EQ(EnxDatabaseError(10024, u"Missing: <[!Org!]> Check it").ProcessedErrorString(),
            u"Missing: Table does not exist. Check it");
  EXPECT_EQ(EnxDatabaseError(10024, u"<[!\u00FEOrg\u00FE!> (old form)").ProcessedErrorString(),
            u"Table does not exist. (old form)");
  EXPECT_EQ(EnxDatabaseError(10024, u"   ").ProcessedErrorString(), u"Table does not exist.");
}

nxString shoutingHook(const nxString& aText, InxExceptionForCallback* aException) {
  return aText + u" #" + nxString(1, static_cast<char16_t>(u'0' + aException->ErrorCode() % 10));
}

TEST_F(ClientErrors, TextHookSeesEveryProcessedText) {
  nxSetExceptionTextHook(&shoutingHook);
  const EnxDatabaseError e(10024);
  nxSetExceptionTextHook(nullptr);
  EXPECT_EQ(e.Message(), u"Table does not exist. #4 [$2728/10024]");
}

TEST_F(ClientErrors, ComponentNames) {
  BaseOwned<TnxDatabase> unnamed(platform::create<TnxDatabase>(nullptr));
  EXPECT_EQ(EnxDatabaseError::GetComponentName(unnamed.get()), u"<unnamed TnxDatabase instance>");
  EXPECT_EQ(EnxDatabaseError::GetComponentName(nullptr), u"<nil pointer>");

  BaseOwned<pltest::TVectorDataSet> ds(platform::create<pltest::TVectorDataSet>());
  ds->SetName(u"tblA");
  ds->FieldDefs().Add(u"ID", platform::ftInteger);
  ds->Open();
  EXPECT_EQ(EnxDatabaseError::GetComponentName(ds->FieldByName(u"ID")), u"tblA (FieldName: ID)");
}

TEST_F(ClientErrors, StateRefusalOfAStoppedDatabaseIsAClientError) {
  BaseOwned<TnxDatabase> db(platform::create<TnxDatabase>(nullptr));
  db->SetName(u"nxDatabase1");
  try {
    db->Commit();
    FAIL() << "no error";
  } catch (const EnxDatabaseError& e) {
    EXPECT_EQ(e.Message(),
              u"DazavAV: nxDatabase1: This component must be started when performing this operation. [no error "
              u"code]");
    EXPECT_EQ(e.ErrorCode(), 0u);
  }
}

TEST_F(ClientErrors, InterfacesAnswerWithoutCounting) {
  EnxDatabaseError e(10024, u"x");
  void* intf = nullptr;
  ASSERT_EQ(e.QueryInterface(InxException::IID, &intf), nxS_OK);
  EXPECT_EQ(static_cast<InxException*>(intf)->ErrorCode(), 10024u);
  EXPECT_EQ(e.AddRef(), -1);
  EXPECT_EQ(e.Release(), -1);
  EXPECT_EQ(e.QueryInterface(InxExceptionDataContainer::IID, &intf), nxE_NOINTERFACE);
}

TEST(ClientFieldFromVariant, EmptyTextClearsNonStringFieldsOnly) {
  BaseOwned<pltest::TVectorDataSet> ds(platform::create<pltest::TVectorDataSet>());
  ds->FieldDefs().Add(u"ID", platform::ftInteger);
  ds->FieldDefs().Add(u"NAME", platform::ftString, 10);
  ds->AddRow({platform::Variant(7), platform::Variant(u"abc")});
  ds->Open();
  ds->Edit();
  platform::TField* id = ds->FieldByName(u"ID");
  platform::TField* name = ds->FieldByName(u"NAME");
  nxSetFieldFromVariant(*id, platform::Variant(u""));
  EXPECT_TRUE(id->IsNull());
  nxSetFieldFromVariant(*name, platform::Variant(u""));
  EXPECT_FALSE(name->IsNull());
  EXPECT_EQ(name->AsString(), u"");
  nxSetFieldFromVariant(*id, platform::Variant(u"12"));
  EXPECT_EQ(id->AsInteger(), 12);
  ds->Cancel();
}

}  // namespace
