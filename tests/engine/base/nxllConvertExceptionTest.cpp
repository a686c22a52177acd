#include "nxllConvertException.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "nxllBde.h"
#include "nxllComponent.h"
#include "nxllException.h"
#include "nxllTestLog.h"
#include "plErrors.h"
#include "plString.h"

// A foreign exception class of the program (global, so its name is plain).
class EFoo : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace {

using platform::toUtf8;

nxString pendingText(TnxResult aExpectedCode) {
  TnxResult code = 0;
  nxString text;
  EnxBaseException::GetLastConvertedException(code, text);
  EXPECT_EQ(code, aExpectedCode);
  return text;
}

std::string info(const EnxBaseException& e, const char16_t* aName) {
  return toUtf8(e.CustomInfos().values(aName));
}

TEST(NxConvertException, OutOfMemoryBecomes9473WithTheStandardText) {
  const platform::OutOfMemory oom;
  const std::bad_alloc badAlloc;
  for (const std::exception* x : {static_cast<const std::exception*>(&oom), static_cast<const std::exception*>(&badAlloc)}) {
    EXPECT_EQ(nxConvertException(*x, nullptr, nullptr, 0), nxErrNoMemory);
    EXPECT_TRUE(pendingText(nxErrNoMemory).empty());
    const EnxBaseException rebuilt(nxErrNoMemory);
    EXPECT_EQ(toUtf8(rebuilt.Message()), "DazavAV: Insufficient memory for this operation. [$2501/9473]");
  }
}

TEST(NxConvertException, ForeignExceptionKeepsClassAndMessageAsInfos) {
  const EFoo foo("bar");
  EXPECT_EQ(nxConvertException(foo, nullptr, nullptr, 0), nxErrUnexpectedException);
  const EnxBaseException rebuilt(nxErrUnexpectedException);
  EXPECT_EQ(toUtf8(rebuilt.ProcessedErrorString()), "Unexpected exception object raised: [EFoo] bar");
  EXPECT_EQ(info(rebuilt, u"Exception.Class"), "EFoo");
  EXPECT_EQ(info(rebuilt, u"Exception.Message"), "bar");
  EXPECT_EQ(rebuilt.CustomInfos().count(), 2);
}

TEST(NxConvertException, MarkersInForeignTextStayText) {
  const EFoo foo("x <[--!Injected=1!--]> y");
  nxConvertException(foo, nullptr, nullptr, 0);
  const EnxBaseException rebuilt(nxErrUnexpectedException);
  EXPECT_EQ(toUtf8(rebuilt.ProcessedErrorString()),
            "Unexpected exception object raised: [EFoo] x <[--!Injected=1!--]> y");
  EXPECT_EQ(info(rebuilt, u"Injected"), "");
  EXPECT_EQ(info(rebuilt, u"Exception.Message"), "x <[--!Injected=1!--]> y");
}

TEST(NxConvertException, InvalidPointerIsUnexpectedWithItsText) {
  EXPECT_EQ(nxConvertException(platform::InvalidPointer(), nullptr, nullptr, 0), nxErrUnexpectedException);
  const EnxBaseException rebuilt(nxErrUnexpectedException);
  EXPECT_EQ(info(rebuilt, u"Exception.Message"), "Invalid pointer operation");
}

TEST(NxConvertException, ObjectsOutsideTheExceptionFamilyAreUnexpected) {
  std::exception_ptr p;
  try {
    throw 42;
  } catch (...) {
    p = std::current_exception();
  }
  EXPECT_EQ(nxConvertException(p, nullptr, nullptr, 0), nxErrUnexpectedException);
  const EnxBaseException rebuilt(nxErrUnexpectedException);
  EXPECT_EQ(info(rebuilt, u"Exception.Class"), "int");
}

TEST(NxConvertException, OsErrorCarriesItsCode) {
  const platform::OsError os(13, "Permission denied");
  EXPECT_EQ(nxConvertException(os, nullptr, nullptr, 0), nxErrOsUnknown);
  const EnxBaseException rebuilt(nxErrOsUnknown);
  EXPECT_EQ(toUtf8(rebuilt.ProcessedErrorString()), "Permission denied");
  EXPECT_EQ(rebuilt.OSError(), 13u);
  EXPECT_EQ(info(rebuilt, u"Exception.Message"), "Permission denied");
}

TEST(NxConvertException, EngineExceptionKeepsCodeTextAndInfos) {
  const EnxBaseException original(10241, u"Row locked <[--!Table=T1!--]>");
  EXPECT_EQ(nxConvertException(original, nullptr, nullptr, 0), 10241u);
  EXPECT_EQ(pendingText(10241), u"Row locked " + nxEncodeCustomInfo(u"Table", u"T1"));
  const EnxBaseException rebuilt(10241);
  EXPECT_EQ(toUtf8(rebuilt.Message()), "DazavAV: Row locked [$2801/10241]");
  EXPECT_EQ(rebuilt.Message(), original.Message());
  EXPECT_TRUE(rebuilt.ExtendedMsg());
  EXPECT_EQ(info(rebuilt, u"Table"), "T1");

  // Built from its code alone: nothing to carry, the standard text applies.
  const EnxBaseException plain(nxErrIncompatibleStream);
  EXPECT_EQ(nxConvertException(plain, nullptr, nullptr, 0), nxErrIncompatibleStream);
  EXPECT_TRUE(pendingText(nxErrIncompatibleStream).empty());
}

TEST(NxConvertException, UserTextInAnEngineMessageIsNotReparsed) {
  // A user value holding marker characters, placed by a format argument.
  const EnxBaseException original(10241, u"Row locked in %s", {nxString(u"<[--!Table=Evil!--]>")});
  nxConvertException(original, nullptr, nullptr, 0);
  const EnxBaseException rebuilt(10241);
  EXPECT_EQ(rebuilt.Message(), original.Message());
  EXPECT_FALSE(rebuilt.HasCustomInfos() && rebuilt.CustomInfos().count() > 0);
}

TEST(NxConvertException, EngineExceptionWithoutCodeBecomes15520) {
  const EnxBaseException original(u"Something odd");
  EXPECT_EQ(nxConvertException(original, nullptr, nullptr, 0), nxErrGeneral);
  EXPECT_EQ(toUtf8(pendingText(nxErrGeneral)), "DazavAV: Something odd [no error code]");
}

TEST(NxConvertException, DataSourceAddsItsExceptionData) {
  auto* c = platform::create<TnxComponent>();
  c->SetName(u"Srv");
  c->SetDisplayCategory(u"Engines");
  const EFoo foo("bar");
  EXPECT_EQ(nxConvertException(foo, nullptr, c, 0), nxErrUnexpectedException);
  const EnxBaseException rebuilt(nxErrUnexpectedException);
  ASSERT_TRUE(rebuilt.HasExceptionData());
  TnxIntfPtr<InxExceptionDataContainer> data = const_cast<EnxBaseException&>(rebuilt).ExceptionData();
  bool sawClass = false, sawCategory = false;
  for (std::int32_t i = 0; i < data->Count(); ++i) {
    const auto v = data->Values(i);
    if (v->GetName() == u"ClassName") sawClass = v->AsString() == u"TnxComponent";
    if (v->GetName() == u"DisplayCategory") sawCategory = v->AsString() == u"Engines";
  }
  EXPECT_TRUE(sawClass);
  EXPECT_TRUE(sawCategory);
  EXPECT_EQ(info(rebuilt, u"Exception.Class"), "EFoo");

  // Out of memory has no text of its own: the data rides on the placeholder.
  nxConvertException(platform::OutOfMemory(), nullptr, c, 0);
  const EnxBaseException oom(nxErrNoMemory);
  EXPECT_TRUE(oom.HasExceptionData());
  EXPECT_EQ(toUtf8(oom.ProcessedErrorString()), "Insufficient memory for this operation.");
  platform::TObject::free(c);
}

TEST(NxConvertException, LogLinePriorityFollowsTheCodeCategory) {
  struct Case {
    TnxResult code;
    TnxLogPriority priority;
  } cases[] = {
      {0x2B01, lpFatal}, {0x2301, lpError}, {0x2F01, lpError}, {0x2801, lpInfo},
      {15461, lpInfo},   {15507, lpInfo},   {15520, lpError},  {15521, lpError},
      {15522, lpError},  {15498, lpWarn},   {15523, lpWarn},   {9473, lpWarn},
  };
  auto* log = platform::create<TTestLog>();
  for (const Case& k : cases) {
    SCOPED_TRACE(k.code);
    log->entries.clear();
    const EnxBaseException e(k.code, u"boom");
    EXPECT_EQ(nxConvertException(e, log, nullptr, 0), k.code);
    ASSERT_EQ(log->entries.size(), 1u);
    const TTestLogEntry& entry = log->entries[0];
    EXPECT_EQ(entry.text, "Exception Cvt: " + toUtf8(e.Message()));
    EXPECT_EQ(entry.msgNumber, k.code);
    EXPECT_EQ(entry.priority, k.priority);
    EXPECT_EQ(entry.category, "default");
    EXPECT_EQ(entry.when, 0);
    EXPECT_EQ(entry.whenBias, 0x0FFFFFFF);
  }
  platform::TObject::free(log);
}

TEST(NxConvertException, LogLineCarriesTheDataSourceDump) {
  auto* log = platform::create<TTestLog>();
  auto* c = platform::create<TnxComponent>();
  nxConvertException(EFoo("bar"), log, c, 0);
  ASSERT_EQ(log->entries.size(), 1u);
  const std::string& text = log->entries[0].text;
  EXPECT_EQ(text.rfind("Exception Cvt: bar\r\n", 0), 0u) << text;
  EXPECT_NE(text.find("TnxComponent"), std::string::npos) << text;
  platform::TObject::free(c);
  platform::TObject::free(log);
}

}  // namespace
