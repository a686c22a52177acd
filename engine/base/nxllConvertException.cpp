#include "nxllConvertException.h"

#include <cxxabi.h>

#include <cstdlib>
#include <new>
#include <string>
#include <typeinfo>

#include "nxllBde.h"
#include "nxllComponent.h"
#include "nxllException.h"
#include "plErrors.h"
#include "plString.h"

namespace {

TnxLogPriority priorityOf(TnxResult aCode) {
  switch (aCode >> 8) {
    case 0x2B:
      return lpFatal;
    case 0x23:
    case 0x2F:
      return lpError;
    case 0x28:
      return lpInfo;
    case 0x3C:
      if (aCode == nxErrTimeout || aCode == nxErrSignal) return lpInfo;
      if (aCode >= nxErrGeneral && aCode <= nxErrUnknownMessage) return lpError;
      return lpWarn;
    default:
      return lpWarn;
  }
}

// The "Exception.Class" and "Exception.Message" markers.
nxString classAndMessageMarkers(const nxString& aClassName, const nxString& aMessage) {
  return nxEncodeCustomInfo(u"Exception.Class", aClassName) + nxEncodeCustomInfo(u"Exception.Message", aMessage);
}

nxString unexpected(const nxString& aClassName, const nxString& aMessage) {
  const platform::FormatArg args[] = {aClassName, aMessage};
  return nxFormatMarkerSafe(u"Unexpected exception object raised: [%s] %s", args) +
         classAndMessageMarkers(aClassName, aMessage);
}

// The transport text of an engine exception without its own exception
// data: only the data source's data travels.
nxString transportWithoutOwnData(const EnxBaseException& aException, std::int32_t aPeerVersion) {
  nxString m = aException.TransportMessage(aPeerVersion);
  if (aException.HasExceptionData()) {
    TnxIntfPtr<InxExceptionDataContainer> data = const_cast<EnxBaseException&>(aException).ExceptionData();
    if (data->Count() > 0) {
      const nxString marker =
          nxEncodeCustomInfoFor(u"$ExceptionData$", data->ToTransportString(aPeerVersion), aPeerVersion);
      if (m.size() >= marker.size() && m.compare(m.size() - marker.size(), marker.size(), marker) == 0)
        m.resize(m.size() - marker.size());
    }
  }
  return m;
}

// Steps 4 to 8 once code, transport text and log text are known.
TnxResult finish(TnxResult aCode, nxString aTransport, const nxString& aLogMessage, TnxBaseLog* aLog,
                 platform::TObject* aDataSource, std::int32_t aPeerVersion) {
  nxString extra;
  if (auto* source = dynamic_cast<InxExceptionData*>(aDataSource)) {
    try {
      TnxIntfPtr<InxExceptionDataContainer> container = nxCreateExceptionDataContainer(u"ExceptionData", nullptr, {});
      source->AddDebugInfo(container, false);
      if (container->Count() > 0) {
        if (aTransport.empty()) aTransport = nxGetOrgPlaceholderFor(aPeerVersion);
        aTransport += nxEncodeCustomInfo(u"$ExceptionData$", container->ToTransportString(aPeerVersion));
        extra = container->ToString();
      }
    } catch (...) {
      // A describing object that fails adds nothing: the conversion stands.
    }
  }
  EnxBaseException::SetLastConvertedException(aCode, aTransport);
  if (aLog) {
    nxString text = aLogMessage;
    if (!extra.empty()) text += u"\r\n" + extra;
    try {
      const platform::FormatArg args[] = {text};
      aLog->WriteString(u"Exception Cvt: %s", args, aCode, priorityOf(aCode), u"default", 0, nxLogNoWhenBias);
    } catch (...) {
      // The code is the answer; a failing log must not replace it.
    }
  }
  return aCode;
}

std::string demangled(const char* aName) {
  int status = 0;
  char* d = abi::__cxa_demangle(aName, nullptr, nullptr, &status);
  std::string result = status == 0 && d ? d : aName;
  std::free(d);
  return result;
}

}  // namespace

TnxResult nxConvertException(const std::exception& aException, TnxBaseLog* aLog, platform::TObject* aDataSource,
                             std::int32_t aPeerVersion) {
  if (aPeerVersion == 0) aPeerVersion = nxGetThreadMinVersion();
  const nxString message = nxExceptionMessage(aException);
  TnxResult code;
  nxString m;
  if (const auto* e = dynamic_cast<const EnxBaseException*>(&aException)) {
    code = e->ErrorCode();
    if (code == 0) {
      code = nxErrGeneral;
      m = nxEscapeMarkers(message);
    } else if (e->ExtendedMsg()) {
      m = transportWithoutOwnData(*e, aPeerVersion);
    }
  } else if (const auto* os = dynamic_cast<const platform::OsError*>(&aException)) {
    code = nxErrOsUnknown;
    m = nxEscapeMarkers(message) + nxEncodeCustomInfo(u"OSError", platform::fromUtf8(std::to_string(
                                                                      static_cast<std::uint32_t>(os->code())))) +
        classAndMessageMarkers(platform::fromUtf8(nxExceptionClassName(aException)), message);
  } else if (dynamic_cast<const platform::OutOfMemory*>(&aException) ||
             dynamic_cast<const std::bad_alloc*>(&aException)) {
    code = nxErrNoMemory;
  } else {
    code = nxErrUnexpectedException;
    m = unexpected(platform::fromUtf8(nxExceptionClassName(aException)), message);
  }
  return finish(code, std::move(m), message, aLog, aDataSource, aPeerVersion);
}

TnxResult nxConvertException(std::exception_ptr aException, TnxBaseLog* aLog, platform::TObject* aDataSource,
                             std::int32_t aPeerVersion) {
  try {
    if (aException) std::rethrow_exception(aException);
  } catch (const std::exception& e) {
    return nxConvertException(e, aLog, aDataSource, aPeerVersion);
  } catch (...) {
    if (aPeerVersion == 0) aPeerVersion = nxGetThreadMinVersion();
    const std::type_info* type = abi::__cxa_current_exception_type();
    const nxString className = platform::fromUtf8(type ? demangled(type->name()) : std::string("?"));
    return finish(nxErrUnexpectedException, unexpected(className, nxString()), nxString(), aLog, aDataSource,
                  aPeerVersion);
  }
  // No exception at all: nothing raised, nothing to report but the oddity.
  return finish(nxErrUnexpectedException, unexpected(u"nil", nxString()), nxString(), aLog, aDataSource, aPeerVersion);
}
