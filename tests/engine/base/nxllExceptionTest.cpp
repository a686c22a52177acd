#include "nxllException.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>
#include <thread>

#include "nxllBase.h"
#include "nxllBase64.h"
#include "nxllBde.h"
#include "nxllBdeStrings.h"
#include "nxllStreams.h"
#include "nxTestWatchdog.h"

NX_DECLARE_EXCEPTION(EnxTestException, EnxBaseException)
NX_DECLARE_EXCEPTION(EnxTestChildException, EnxTestException)
NX_IMPLEMENT_EXCEPTION(EnxTestException, EnxBaseException)
NX_IMPLEMENT_EXCEPTION(EnxTestChildException, EnxTestException)

namespace {

using platform::Variant;

std::string u8(const nxString& s) { return platform::toUtf8(s); }

nxString infosOf(const EnxBaseException& e) {
  nxString r;
  for (int i = 0; i < e.CustomInfos().count(); ++i) r += (i ? u"," : u"") + e.CustomInfos().strings(i);
  return r;
}

// Every test starts and ends without a pending message.
class nxllException : public ::testing::Test {
 protected:
  void SetUp() override { nxllExceptionInitialize(); }
  void TearDown() override {
    nxllExceptionFinalize();
    nxThreadVersionOverride = 0;
  }
};

// ------------------------------------------------------ messages and markers

TEST_F(nxllException, MessagesOfTheConstructorForms) {
  const struct {
    EnxBaseException e;
    const char16_t* message;
    const char16_t* errorString;
    bool extended;
  } cases[] = {
      {EnxBaseException(8705), u"DazavAV: At beginning of table. [$2201/8705]", u"", false},
      {EnxBaseException(15520), u"DazavAV: Unknown (server exception object has unknown error code) [$3CA0/15520]",
       u"", false},
      {EnxBaseException(u"Open failed <[--!Table=T1!--]>"), u"DazavAV: Open failed [no error code]", u"Open failed ",
       true},
      {EnxBaseException(8706, u"Table X: <[!Org!]> Try again."),
       u"DazavAV: Table X: At end of table. Try again. [$2202/8706]", u"Table X: <[!Org!]> Try again.", true},
      {EnxBaseException(12040, u"<[!Org!]>"), u"DazavAV: Higher table level required. [$2F08/12040]", u"<[!Org!]>",
       true},
      {EnxBaseException(8706, u"  "), u"DazavAV: At end of table. [$2202/8706]", u"  ", true},
      {EnxBaseException(u""), u"DazavAV: Success [no error code]", u"", true},
      {EnxBaseException(u"%d rows in %s", {3, u"T"}), u"DazavAV: 3 rows in T [no error code]", u"3 rows in T", true},
      {EnxBaseException(0x100002201LL, u"high bits dropped"), u"DazavAV: high bits dropped [$2201/8705]",
       u"high bits dropped", true},
      {EnxBaseException(8705, u"first  \r\nsecond \r\n \r\n"), u"DazavAV: first  \r\nsecond [$2201/8705]",
       u"first  \r\nsecond \r\n \r\n", true},
      {EnxBaseException(8705, u"only line   \r\n\r\n"), u"DazavAV: only line [$2201/8705]", u"only line   \r\n\r\n",
       true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(u8(c.e.Message()), u8(c.message));
    EXPECT_STREQ(c.e.what(), u8(c.message).c_str());
    EXPECT_EQ(u8(c.e.ErrorString()), u8(c.errorString)) << u8(c.message);
    EXPECT_EQ(c.e.ExtendedMsg(), c.extended) << u8(c.message);
  }
  EXPECT_EQ(u8(infosOf(cases[2].e)), "Table=T1");
}

TEST_F(nxllException, MarkersAreTakenOutIntoCustomInfos) {
  const struct {
    const char16_t* text;
    const char16_t* remaining;
    const char16_t* infos;  // CommaText of CustomInfos
    TnxWord32 osError;
  } cases[] = {
      {u"a<[--!Name=!--]>b", u"ab", u"", 0},
      {u"a<[--!=v!--]>b<[--!!--]>c", u"abc", u"", 0},
      {u"x<[--!OSError=5!--]>", u"x", u"OSError=5", 5},
      {u"x<[--!OSError=abc!--]>", u"x", u"OSError=abc", 0},
      {u"x<[--!OSError=4294967297!--]>", u"x", u"OSError=4294967297", 1},
      {u"keep <[--!Cut=rest of text", u"keep ", u"Cut=rest of text", 0},
      {u"a !--]> b <[--!X=1!--]>", u"a !--]> b ", u"X=1", 0},
      {u"A<[--!\u00FEP=1\u00FE!--]>B<[--!Q=2!--]>C", u"ABC", u"P=1,Q=2", 0},
      {u"<[--!\u00FEP=a=b\u00FE!--]>", u"", u"P=a=b", 0},
      {u"<[--!K=1!--]><[--!K=2!--]>", u"", u"K=2", 0},
  };
  for (const auto& c : cases) {
    EnxBaseException e(10241, c.text);
    EXPECT_EQ(u8(e.ErrorString()), u8(c.remaining)) << u8(c.text);
    EXPECT_EQ(u8(infosOf(e)), u8(c.infos)) << u8(c.text);
    EXPECT_EQ(e.OSError(), c.osError) << u8(c.text);
  }
}

TEST_F(nxllException, OlderPeersGetTheOlderMarkerForms) {
  EXPECT_EQ(u8(nxEncodeCustomInfo(u"N", u"v")), "<[--!N=v!--]>");
  EXPECT_EQ(u8(nxGetOrgPlaceholder()), "<[!Org!]>");
  const EnxBaseException current(8706, u"T: <[!Org!]> <[--!N=v!--]>");
  const nxString forOldPeer = current.TransportMessage(40000);
  nxThreadVersionOverride = 41199;
  EnxBaseException::SetLastConvertedException(8706, forOldPeer);
  EnxBaseException rebuilt(8706);
  EXPECT_EQ(rebuilt.Message(), current.Message());
  EXPECT_EQ(u8(rebuilt.CustomInfos().values(u"N")), "v");

  EXPECT_EQ(nxEncodeCustomInfo(u"N", u"v"), u"<[--!\u00FEN=v\u00FE!--]>");
  EXPECT_EQ(nxGetOrgPlaceholder(), u"<[!\u00FEOrg\u00FE!>");
  EnxBaseException e(8706, u"T: <[!\u00FEOrg\u00FE!> " + nxEncodeCustomInfo(u"N", u"v"));
  EXPECT_EQ(u8(e.Message()), "DazavAV: T: At end of table. [$2202/8706]");
  EXPECT_EQ(u8(e.CustomInfos().values(u"N")), "v");
}

TEST_F(nxllException, ClassesKnowTheirNamesAndCatchByBase) {
  try {
    throw EnxTestChildException(8705, u"child");
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.className(), "EnxTestChildException");
    EXPECT_TRUE(e.classInfo().inheritsFrom(EnxTestException::staticClassInfo()));
    EXPECT_TRUE(e.classInfo().inheritsFrom(EnxBaseException::staticClassInfo()));
    EXPECT_EQ(u8(e.Message()), "DazavAV: child [$2201/8705]");
  }
  EXPECT_EQ(EnxBaseException(1).className(), "EnxBaseException");
  EXPECT_EQ(EnxBaseException::staticClassInfo().parent->name, "Exception");
}

TEST_F(nxllException, ExceptionsAnswerTheirInterfacesWithoutCounting) {
  try {
    throw EnxTestException(8706, u"  T <[--!N=v!--]>");
  } catch (const std::exception& caught) {
    // How a caller that knows only the exception object finds the interface.
    auto* any = dynamic_cast<InxInterface*>(const_cast<std::exception*>(&caught));
    ASSERT_NE(any, nullptr);
    const TnxIntfPtr<InxException> full = nxSupports<InxException>(any);
    ASSERT_TRUE(full);
    EXPECT_EQ(full->ErrorCode(), 8706u);
    EXPECT_EQ(u8(full->ProcessedErrorString()), "T");
    const TnxIntfPtr<InxExceptionForCallback> callback = nxSupports<InxExceptionForCallback>(any);
    ASSERT_TRUE(callback);
    EXPECT_EQ(u8(callback->ErrorString()), "  T ");
    EXPECT_TRUE(callback->ExtendedMsg());
    EXPECT_EQ(callback->OSError(), 0u);
    EXPECT_EQ(u8(callback->CustomInfos().values(u"N")), "v");
    EXPECT_EQ(u8(callback->ExceptionData()->GetName()), "ExceptionData");
    EXPECT_EQ(callback->ExceptionData()->Count(), 0);
    EXPECT_EQ(nxSupports<InxBaseException>(any)->ErrorCode(), 8706u);
    EXPECT_FALSE(nxSupports<InxExceptionDataValue>(any));
    EXPECT_EQ(any->AddRef(), -1);
    EXPECT_EQ(any->Release(), -1);
  }
}

TEST_F(nxllException, CopiesOwnTheirInfos) {
  EnxTestException a(8705, u"x<[--!A=1!--]>");
  EnxTestException b(a);
  b.CustomInfos().setValue(u"A", u"2");
  EXPECT_EQ(u8(a.CustomInfos().values(u"A")), "1");
  EXPECT_EQ(b.className(), "EnxTestException");
  EXPECT_EQ(b.Message(), a.Message());
}

TEST_F(nxllException, CheckErrorCodeRaisesForNonZero) {
  EXPECT_EQ(nxCheckErrorCode(0), 0u);
  try {
    nxCheckErrorCode(8705);
    FAIL();
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 8705u);
  }
}

// ------------------------------------------------------- pending messages

TEST_F(nxllException, PendingMessageIsUsedOnceByTheNextCreateOfItsCode) {
  EXPECT_EQ(EnxBaseException::nxSetMessage(10241, u"Row %d locked", {5}), 10241u);
  EnxBaseException first(10241);
  EXPECT_EQ(u8(first.Message()), "DazavAV: Row 5 locked [$2801/10241]");
  EXPECT_TRUE(first.ExtendedMsg());
  EnxBaseException second(10241);
  EXPECT_EQ(second.Message(), u"DazavAV: " + nxGetErrorString(10241) + u" [$2801/10241]");

  EnxBaseException::nxSetMessage(10241, u"Row locked");
  EnxBaseException other(8705);  // another code discards it
  EXPECT_EQ(u8(other.Message()), "DazavAV: At beginning of table. [$2201/8705]");
  EXPECT_FALSE(EnxBaseException(10241).ExtendedMsg());
  TnxResult code;
  nxString message;
  EnxBaseException::GetLastConvertedException(code, message);
  EXPECT_EQ(code, 10241u);  // the code stays
  EXPECT_TRUE(message.empty());
}

TEST_F(nxllException, PendingMessageThatCannotBeDecodedFailsOnceAndIsDiscarded) {
  EnxBaseException::SetLastConvertedException(10241, u"Row locked" + nxEncodeCustomInfo(u"$ExceptionData$", u"abc"));
  EXPECT_THROW(EnxBaseException{10241}, platform::RuntimeError);  // Base64 of a wrong length
  TnxResult code;
  nxString message;
  EnxBaseException::GetLastConvertedException(code, message);
  EXPECT_EQ(code, 10241u);
  EXPECT_TRUE(message.empty());
  EXPECT_EQ(u8(EnxBaseException(10241).Message()), "DazavAV: Record locked by another user. [$2801/10241]");
}

TEST_F(nxllException, PendingMessageAndMainThreadFlagArePerThread) {
  nxtest::Watchdog watchdog;
  EnxBaseException::nxSetMessage(10241, u"main thread text");
  EXPECT_TRUE(nxIsMainThread());
  nxString otherMessage;
  bool otherIsMain = true;
  std::thread t([&] {
    otherIsMain = nxIsMainThread();
    otherMessage = EnxBaseException(10241).ErrorString();
    EnxBaseException::nxSetMessage(10241, u"other thread text");
  });
  t.join();
  EXPECT_FALSE(otherIsMain);
  EXPECT_TRUE(otherMessage.empty());
  EXPECT_EQ(u8(EnxBaseException(10241).ErrorString()), "main thread text");
}

TEST_F(nxllException, ThreadExceptionContextIsNotKept) {
  TnxExceptionHookInfo info;
  nxSetThreadExceptionHookInfo(&info);
  EXPECT_EQ(nxGetThreadExceptionHookInfo(), nullptr);
  EXPECT_FALSE(nxIsExceptionHookSet());
}

// ------------------------------------------------------ exception data

TnxIntfPtr<InxExceptionDataContainer> sampleData() {
  TnxIntfPtr<InxExceptionDataContainer> root = nxCreateExceptionDataContainer(u"ExceptionData", nullptr, {});
  root->AddString(u"S", u"one");
  root->AddString(u"M", u"a\r\nb");
  root->AddInt64(u"I", 5);
  root->AddInt64(u"N", -1);
  root->AddInteger(u"U", 4000000000u);
  root->AddBoolean(u"B", true);
  root->AddFloat(u"F", 1.5);
  root->AddVariant(u"V0", Variant::null());
  root->AddVariant(u"V1", Variant());
  root->AddVariant(u"V2", Variant::fromOleStr(u"it's"));
  root->AddVariant(u"V3", Variant(7));
  TnxIntfPtr<InxExceptionDataContainer> c = root->AddContainer(u"C");
  c->AddString(u"Inner", u"\u65E5\u672C <[--!X=1!--]>");
  c->AddContainer(u"Empty");
  return root;
}

const char16_t* const kSampleDump =
    u"ExceptionData:\r\n"
    u"  S: one\r\n"
    u"  M:\r\n"
    u"    a\r\n"
    u"    b\r\n"
    u"  I: 5 ($00000005)\r\n"
    u"  N: -1 ($FFFFFFFFFFFFFFFF, -1:4294967295)\r\n"
    u"  U: 4000000000 ($EE6B2800)\r\n"
    u"  B: True\r\n"
    u"  F: 1.5\r\n"
    u"  V0: NULL\r\n"
    u"  V1: EMPTY\r\n"
    u"  V2: 'it''s'\r\n"
    u"  V3: 7\r\n"
    u"  C:\r\n"
    u"    Inner: \u65E5\u672C <[--!X=1!--]>\r\n"
    u"    Empty:\r\n";

TEST_F(nxllException, DumpShowsEveryKind) { EXPECT_EQ(u8(sampleData()->ToString()), u8(kSampleDump)); }

TEST_F(nxllException, TransportFormMatchesTheDocumentedBytes) {
  TnxIntfPtr<InxExceptionDataContainer> root = nxCreateExceptionDataContainer(u"ExceptionData", nullptr, {});
  root->AddString(u"A", u"x");
  const std::string bytes = Base64ToStr(u8(root->ToTransportString(47501)));
  const unsigned char expected[] = {0x07, 0x03, 0x45, 0x44, 0x56, 0x04, 0x8D, 0xB9, 0x00, 0x00, 0x02, 0x05, 0x06,
                                    0x0D, 0x45, 0x78, 0x63, 0x65, 0x70, 0x74, 0x69, 0x6F, 0x6E, 0x44, 0x61, 0x74,
                                    0x61, 0x01, 0x02, 0x00, 0x06, 0x01, 0x41, 0x06, 0x01, 0x78, 0x00};
  EXPECT_EQ(bytes, std::string(reinterpret_cast<const char*>(expected), sizeof expected));
}

TEST_F(nxllException, TransportFormRoundTripsTheTree) {
  const TnxIntfPtr<InxExceptionDataValue> back = nxExceptionDataFromString(sampleData()->ToTransportString(47501));
  // Strings come back as Unicode strings, which the dump does not quote.
  std::string dump = u8(kSampleDump);
  dump.replace(dump.find("'it''s'"), 7, "it's");
  EXPECT_EQ(u8(back->ToString()), dump);
  TnxIntfPtr<InxExceptionDataContainer> c = back->AsContainer();
  EXPECT_EQ(c->Count(), 12);
  EXPECT_EQ(c->Values(2)->GetKind(), edkInteger);
  EXPECT_EQ(c->Values(2)->AsInt64(), 5);
  EXPECT_EQ(c->Values(6)->GetKind(), edkFloat);
  EXPECT_EQ(c->Values(9)->AsVariant().type(), platform::varUString);
  const auto inner = nxSupports<InxExceptionDataValueInternal>(c->Values(11)->AsContainer()->Values(0).get());
  ASSERT_TRUE(inner);
  EXPECT_EQ(inner->Parent().get(), c->Values(11)->AsContainer().get());
}

TEST_F(nxllException, TransportIdentifierIsCheckedWithoutRegardToCase) {
  auto transport = [](const std::string& ident) {
    TnxAnsiStringStream s;
    {
      TnxWriter w(s);
      w.WriteIdent(platform::fromUtf8(ident));
      w.WriteInteger(47501);
      w.WriteInteger(0);
      w.WriteString(u"n");
      w.WriteString(u"v");
    }
    return platform::fromUtf8(StrToBase64(s.DataString()));
  };
  EXPECT_EQ(u8(nxExceptionDataFromString(transport("edv"))->AsString()), "v");
  try {
    nxExceptionDataFromString(transport("EDX"));
    FAIL();
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), nxErrIncompatibleStream);
  }
  EXPECT_THROW(nxExceptionDataFromString(u"abc"), platform::RuntimeError);
}

TEST_F(nxllException, ConversionsAndUnsupportedOperations) {
  TnxIntfPtr<InxExceptionDataContainer> root = sampleData();
  EXPECT_EQ(u8(root->Values(2)->AsString()), "5");
  EXPECT_EQ(root->Values(0)->GetName(), u"S");
  EXPECT_TRUE(root->Values(5)->AsBoolean());
  EXPECT_EQ(root->Values(6)->AsInt64(), 2);  // 1.5 rounds to even
  EXPECT_THROW(root->Values(0)->AsInt64(), platform::ConvertError);
  try {
    root->AsVariant();
    FAIL();
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), nxErrNotSupported);
    EXPECT_EQ(u8(e.ErrorString()), "AsVariant not supported by TnxExceptionDataBaseValue");
  }
  try {
    root->Values(0)->AsContainer();
    FAIL();
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(u8(e.ErrorString()), "AsContainer not supported for TnxExceptionDataBaseValue");
  }
  EXPECT_THROW(root->Values(-1), platform::RangeError);
  EXPECT_THROW(root->Values(root->Count()), platform::RangeError);
}

// An object that describes itself and, through aOther, others; not counted
// (as components are not).
class Describable : public platform::TObject, public InxExceptionData {
 public:
  platform::TObject* other = nullptr;
  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override {
    *aObj = aIID == InxExceptionData::IID ? static_cast<InxExceptionData*>(this) : nullptr;
    return *aObj ? nxS_OK : nxE_NOINTERFACE;
  }
  std::int32_t AddRef() override { return -1; }
  std::int32_t Release() override { return -1; }
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool) override {
    aContainer->AddString(u"Kind", u"describable");
    aContainer->AddObject(u"Other", other, false);
  }
};

TEST_F(nxllException, AddObjectDescribesObjectsWithoutCycles) {
  Describable a, b;
  a.other = &b;
  b.other = &a;  // a cycle: a -> b -> a
  platform::TStringList list;
  list.add(u"Name=T1");
  list.add(u"=starts with equals");
  list.add(u"plain");
  platform::TObject plain;
  platform::TObject excluded;

  TnxIntfPtr<InxExceptionDataContainer> root = nxCreateExceptionDataContainer(u"ExceptionData", nullptr, {});
  TnxIntfPtr<InxExceptionDataContainer> scope = root->AddContainer(u"Scope");
  root->AddObject(u"A", &a, false);
  root->AddObject(u"List", &list, false);
  root->AddObject(u"Plain", &plain, false);
  root->AddObject(u"Nil", nullptr, false);
  TnxIntfPtr<InxExceptionDataContainer> guarded = nxCreateExceptionDataContainer(u"G", nullptr, {&excluded});
  guarded->AddContainer(u"Inner")->AddObject(u"X", &excluded, false);

  EXPECT_EQ(u8(root->ToString()),
            "ExceptionData:\r\n"
            "  Scope:\r\n"
            "  A:\r\n"
            "    Kind: describable\r\n"
            "    Other:\r\n"
            "      Kind: describable\r\n"
            "      Other: [Omitted to prevent cycle. Object already present 1 step up in history.]\r\n"
            "  List:\r\n"
            "    Name: T1\r\n"
            "    [1]: starts with equals\r\n"
            "    [2]: plain\r\n"
            "  Plain: TObject\r\n");
  EXPECT_EQ(u8(guarded->ToString()), "G:\r\n  Inner:\r\n    X: [Excluded]\r\n");
}

// A counted engine object that answers InxExceptionData from its interface table.
class CountedDescribable : public TnxInterfacedObject, public InxExceptionData {
 public:
  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override {
    return TnxInterfacedObject::QueryInterface(aIID, aObj);
  }
  std::int32_t AddRef() override { return TnxInterfacedObject::AddRef(); }
  std::int32_t Release() override { return TnxInterfacedObject::Release(); }
  void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aFlag) override {
    aContainer->AddBoolean(u"Flag", aFlag);
  }

 protected:
  const TnxInterfaceEntry* interfaceTable() const override {
    static const TnxInterfaceEntry table[] = {
        {&InxExceptionData::IID,
         [](TnxInterfacedObject* o) -> InxInterface* {
           return static_cast<InxExceptionData*>(static_cast<CountedDescribable*>(o));
         }},
        {nullptr, nullptr},
    };
    return table;
  }
};

TEST_F(nxllException, AddObjectOnACountedObjectKeepsItsCount) {
  TnxIntfPtr<InxExceptionData> holder(static_cast<InxExceptionData*>(platform::create<CountedDescribable>()));
  auto* object = static_cast<CountedDescribable*>(holder.get());
  auto root = nxCreateExceptionDataContainer(u"R", nullptr, {});
  root->AddObject(u"Obj", object, true);
  EXPECT_EQ(u8(root->ToString()), "R:\r\n  Obj:\r\n    Flag: True\r\n");
  EXPECT_EQ(object->RefCount(), 1);  // the holder's alone
}

TEST_F(nxllException, ValuesAnswerTheirInterfaces) {
  auto root = nxCreateExceptionDataContainer(u"R", nullptr, {});
  root->AddString(u"S", u"x");
  const TnxIntfPtr<InxExceptionDataValue> str = root->Values(0);
  EXPECT_TRUE(nxSupports<InxExceptionDataValue>(str.get()));
  EXPECT_TRUE(nxSupports<InxExceptionDataValueInternal>(str.get()));
  EXPECT_FALSE(nxSupports<InxExceptionDataContainer>(str.get()));
  EXPECT_FALSE(nxSupports<InxExceptionDataContainerInternal>(str.get()));
  const auto asValue = nxSupports<InxExceptionDataValue>(root.get());
  ASSERT_TRUE(asValue);
  EXPECT_EQ(asValue->GetKind(), edkContainer);
  EXPECT_EQ(nxSupports<InxExceptionDataContainer>(asValue.get()).get(), root.get());
  const auto internal = nxSupports<InxExceptionDataContainerInternal>(root.get());
  ASSERT_TRUE(internal);
  platform::TObject marker;
  internal->SetForObject(&marker);
  EXPECT_EQ(internal->ForObject(), &marker);
  EXPECT_EQ(nxSupports<InxExceptionDataValueInternal>(str.get())->Parent().get(), root.get());
}

TEST_F(nxllException, ChildOutlivingItsContainerHasNoParent) {
  TnxIntfPtr<InxExceptionDataValueInternal> child;
  {
    auto root = nxCreateExceptionDataContainer(u"R", nullptr, {});
    root->AddContainer(u"C")->AddInt64(u"I", 1);
    child = nxSupports<InxExceptionDataValueInternal>(root->Values(0).get());
    EXPECT_TRUE(child->Parent());
  }
  EXPECT_FALSE(child->Parent());  // the root is gone; no dangling parent
  EXPECT_EQ(u8(child->ToString()), "C:\r\n  I: 1 ($00000001)\r\n");
}

TEST_F(nxllException, DeeplyNestedOrMutatedTransportFailsCleanly) {
  // Containers nested far deeper than any engine object tree.
  TnxAnsiStringStream s;
  {
    TnxWriter w(s);
    w.WriteIdent(u"EDV");
    w.WriteInteger(47501);
    for (int i = 0; i < 5000; ++i) {
      w.WriteInteger(5);
      w.WriteString(u"");
      w.WriteListBegin();
    }
  }
  try {
    nxExceptionDataFromString(platform::fromUtf8(StrToBase64(s.DataString())));
    FAIL();
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), nxErrIncompatibleStream);
  }

  const std::string valid = Base64ToStr(u8(sampleData()->ToTransportString(47501)));
  std::mt19937 rng(7);
  for (int i = 0; i < 3000; ++i) {
    std::string m = valid;
    for (int k = 0; k < 3; ++k) {
      const std::size_t at = rng() % m.size();
      if (rng() % 3 == 0)
        m.resize(at + 1);
      else
        m[at] = static_cast<char>(rng());
    }
    try {
      nxExceptionDataFromString(platform::fromUtf8(StrToBase64(m)))->ToString();
    } catch (const EnxBaseException&) {
    } catch (const platform::RuntimeError&) {  // reader errors, conversions
    }
  }
}

// ------------------------------------------- transport of whole exceptions

void expectSameException(const EnxBaseException& a, const EnxBaseException& b) {
  EXPECT_EQ(a.ErrorCode(), b.ErrorCode());
  EXPECT_EQ(u8(a.Message()), u8(b.Message()));
  EXPECT_EQ(u8(a.ErrorString()), u8(b.ErrorString()));
  EXPECT_EQ(a.OSError(), b.OSError());
  EXPECT_EQ(a.ExtendedMsg(), b.ExtendedMsg());
  EXPECT_EQ(u8(a.CustomInfos().text()), u8(b.CustomInfos().text()));
  ASSERT_EQ(a.HasExceptionData(), b.HasExceptionData());
}

TEST_F(nxllException, ExceptionsRoundTripThroughThePendingTransportMessage) {
  for (std::int32_t peer : {47501, 41200, 40000}) {
    nxThreadVersionOverride = static_cast<TnxWord32>(peer);
    EnxTestException original(10241,
                              u"Table %s: " + nxGetOrgPlaceholder() + u" by %s" + nxEncodeCustomInfo(u"OSError", u"32"),
                              {u"T<1>!", u"user \uE000l"});
    original.CustomInfos().setValue(u"Action", u"lock <[--!A=B!--]>");
    original.ExceptionData()->AddInt64(u"Depth", 3);
    original.ExceptionData()->AddContainer(u"Cursor")->AddString(u"SQL", u"SELECT '!--]>' FROM x");
    nxString standard = nxGetErrorString(10241);
    if (standard.back() != u'.') standard += u'.';
    EXPECT_EQ(u8(original.Message()), "DazavAV: Table T<1>!: " + u8(standard) + " by user \uE000l [$2801/10241]");

    EnxBaseException::SetLastConvertedException(10241, original.TransportMessage());
    EnxBaseException rebuilt(10241);
    expectSameException(original, rebuilt);
    EXPECT_EQ(rebuilt.OSError(), 32u);
    EXPECT_EQ(u8(rebuilt.CustomInfos().values(u"Action")), "lock <[--!A=B!--]>");
    EXPECT_EQ(rebuilt.CustomInfos().indexOfName(u"A"), -1);
    EXPECT_EQ(rebuilt.CustomInfos().indexOfName(u"$ExceptionData$"), -1);
    ASSERT_TRUE(rebuilt.HasExceptionData());
    EXPECT_EQ(u8(rebuilt.ExceptionData()->ToString()), u8(original.ExceptionData()->ToString()));

    // The placeholder travels in the peer's form.
    EXPECT_NE(original.TransportMessage(peer).find(nxGetOrgPlaceholderFor(peer)), nxString::npos);
    EXPECT_EQ(original.TransportMessage(peer).find(nxGetOrgPlaceholderFor(peer < 41200 ? 47501 : 40000)),
              nxString::npos);
    // A second hop keeps everything again.
    EnxBaseException::SetLastConvertedException(10241, rebuilt.TransportMessage());
    expectSameException(original, EnxBaseException(10241));
  }
}

TEST_F(nxllException, MarkersForgedInUserTextStayText) {
  const nxString evil =
      u"T1!--]><[--!OSError=99!--]><[--!\u00FEAction=drop\u00FE!--]><[!Org!]><[!\u00FEOrg\u00FE!><[--!cut";
  const struct {
    const char* form;
    EnxBaseException e;
  } cases[] = {
      {"format arguments", EnxBaseException(10241, u"Table %s is locked", {evil})},
      {"8-bit format arguments", EnxBaseException(10241, u"Table %s is locked", {platform::AnsiString{u8(evil), 65001}})},
      {"escaped concatenation", EnxBaseException(10241, u"Table " + nxEscapeMarkers(evil) + u" is locked")},
      {"pending message", (EnxBaseException::nxSetMessage(10241, u"Table %s is locked", {evil}), EnxBaseException(10241))},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.e.Message(), u"DazavAV: Table " + evil + u" is locked [$2801/10241]") << c.form;
    EXPECT_EQ(c.e.OSError(), 0u) << c.form;
    EXPECT_FALSE(c.e.HasCustomInfos()) << c.form;
    EXPECT_EQ(c.e.ErrorString(), u"Table " + evil + u" is locked") << c.form;
  }

  // Infos whose names and values hold marker text survive exactly.
  EnxBaseException withInfo(10241, u"Locked" + nxEncodeCustomInfo(u"Table", evil) +
                                       nxEncodeCustomInfo(u"Who", u"a\uE000x!b"));
  EXPECT_EQ(withInfo.CustomInfos().values(u"Table"), evil);
  EXPECT_EQ(withInfo.CustomInfos().values(u"Who"), u"a\uE000x!b");
  EXPECT_EQ(withInfo.CustomInfos().count(), 2);
  EnxBaseException::SetLastConvertedException(10241, withInfo.TransportMessage());
  expectSameException(withInfo, EnxBaseException(10241));

  // Without escaping the same text forges infos: what the escaping prevents.
  EnxBaseException raw(10241, u"Table " + evil);
  EXPECT_EQ(raw.OSError(), 99u);
}

TEST_F(nxllException, EscapingIsExactlyReversible) {
  for (const char16_t* t : {u"", u"<", u"!", u"\uE000", u"\uE000l", u"\uE000\uE000x<<!!", u"plain", u"<[--!a=b!--]>"}) {
    const nxString escaped = nxEscapeMarkers(t);
    EXPECT_EQ(escaped.find(u'<'), nxString::npos);
    EXPECT_EQ(escaped.find(u'!'), nxString::npos);
    EXPECT_EQ(nxUnescapeMarkers(escaped), t);
  }
}

// ------------------------------------------------------------ OS errors

TEST_F(nxllException, OSErrorExceptionsDescribeTheLastError) {
  errno = ENOENT;
  EnxTestException e = nxCreateOSErrorException<EnxTestException>(0, u"libfoo", u"opening <[--!X=1!--]>file");
  EXPECT_EQ(e.className(), "EnxTestException");
  EXPECT_EQ(e.ErrorCode(), nxErrOsUnknown);
  EXPECT_EQ(e.OSError(), static_cast<TnxWord32>(ENOENT));
  EXPECT_EQ(u8(e.Message()),
            "DazavAV: Operating system error in opening file: No such file or directory ($2/2) [$2B27/11047]");
  EXPECT_EQ(u8(e.CustomInfos().values(u"OSError")), "2");
  EXPECT_EQ(u8(e.CustomInfos().values(u"Action")), "opening <[--!X=1!--]>file");
  EXPECT_EQ(u8(e.CustomInfos().values(u"Module")), "libfoo");

  errno = 0;
  EXPECT_EQ(u8(nxCreateOSErrorException(15461, u"", u"waiting").Message()),
            "DazavAV: A call to an OS function failed in waiting [$3C65/15461]");
  errno = 0;
  EnxBaseException bare = nxCreateOSErrorException(0, u"mod", u"");
  EXPECT_EQ(u8(bare.Message()), "DazavAV: A call to an OS function failed. [$2B27/11047]");
  EXPECT_EQ(bare.CustomInfos().indexOfName(u"Module"), -1);

  errno = EACCES;
  EnxBaseException formatted = nxCreateOSErrorExceptionFmt(0, u"opening %s", {u"a<b!"});
  EXPECT_EQ(u8(formatted.Message()),
            "DazavAV: Operating system error in opening a<b!: Permission denied ($D/13) [$2B27/11047]");
  EXPECT_EQ(u8(formatted.CustomInfos().values(u"Action")), "opening a<b!");
}

}  // namespace
