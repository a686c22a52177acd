// Engine exceptions: EnxBaseException and its family, text markers with
// custom infos, exception data, the thread's pending code and message, and
// the main-thread flag.
//
// Throwing and catching: engine exceptions are thrown by value and caught by
// reference (catch (const EnxBaseException& e)); rethrow with "throw;" so the
// exact class survives. Every class knows its exact name through its class
// metadata (classInfo().name, className()). A module declares its own
// exception class with NX_DECLARE_EXCEPTION in its header and
// NX_IMPLEMENT_EXCEPTION in its .cpp; the class adds nothing but its class
// and has every constructor form of EnxBaseException.
//
// Constructors (the nxCreate forms):
//   (aErrorCode)                       pending message of the thread when its
//                                      code is aErrorCode, else the code's
//                                      standard text
//   (aErrorCode, aAltMsg [, aArgs])    text (formatted with aArgs)
//   (aMsg [, aArgs])                   text without a code
// Every form clears the thread's pending message (the pending code stays).
// The message is "DazavAV: " + text + " [$%x/%d]" (code forms) or
// " [no error code]".
//
// Markers: "<[--!name=value!--]>" (older peers: "<[--!þname=valueþ!--]>")
// carry custom infos; "<[!Org!]>" ("<[!þOrgþ!>") stands for the code's
// standard text. Only the engine's own markers are markers: text that comes
// from users (names, SQL, foreign messages) is escaped before it joins a
// marked text, so marker characters in it stay text. String arguments of
// every form with aArgs (and of nxSetMessage, nxFormatMarkerSafe) are escaped
// automatically, and nxEncodeCustomInfo escapes name and value; text built by
// concatenation must pass user parts through nxEscapeMarkers. Escaping
// replaces '<' and '!' (and the escape character itself) by two-character
// sequences starting with U+E000, so no marker can form; ErrorString,
// ProcessedErrorString, Message and CustomInfos are unescaped (plain) text.
// To pass an exception on as text with markers (exception conversion), use
// TransportMessage, never ErrorString.
//
// Per-thread state (pending code and message, exception-context pointer) is
// thread_local; no locks. Exception data reference counts are atomic; one
// data tree is used by one thread at a time.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "nxllTypes.h"
#include "plFormat.h"
#include "plObject.h"
#include "plStringList.h"
#include "plVariant.h"

class TnxWriter;
class TnxReader;
class TnxExceptionDataContainer;

using TnxFormatArgs = std::initializer_list<platform::FormatArg>;

// ------------------------------------------------------- reference holder

// Intrusive reference to a reference-counted exception-data value (the
// interface references of the values).
template <class T>
class TnxRef {
 public:
  TnxRef() = default;
  TnxRef(std::nullptr_t) {}
  explicit TnxRef(T* aObject) : p_(aObject) {
    if (p_) p_->AddRef();
  }
  TnxRef(const TnxRef& o) : TnxRef(o.p_) {}
  TnxRef(TnxRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U>
  TnxRef(const TnxRef<U>& o) : TnxRef(o.get()) {}
  ~TnxRef() { reset(); }
  TnxRef& operator=(TnxRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  void reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

// ------------------------------------------------------------ data values

enum TnxExceptionDataKind : std::int32_t {
  edkString = 0,
  edkInteger = 1,
  edkBoolean = 2,
  edkFloat = 3,
  edkVariant = 4,
  edkContainer = 5,
};

class TnxExceptionDataBaseValue;
using InxExceptionDataValue = TnxRef<TnxExceptionDataBaseValue>;
using InxExceptionDataContainer = TnxRef<TnxExceptionDataContainer>;
// Called once per dump line (without line break).
using TnxDumpLineCallback = void (*)(const nxString& aLine, void* aCallbackData);

// Reference counted; freed with the last reference. A child refers to its
// parent without holding it.
class TnxExceptionDataBaseValue : public platform::TObject {
  PL_CLASS_INFO_DECL()
 public:
  void AddRef() const { refCount_.fetch_add(1, std::memory_order_relaxed); }
  void Release() const {
    if (refCount_.fetch_sub(1, std::memory_order_acq_rel) == 1)
      platform::TObject::free(const_cast<TnxExceptionDataBaseValue*>(this));
  }

  const nxString& GetName() const { return beName; }
  virtual TnxExceptionDataKind GetKind() const = 0;
  TnxExceptionDataContainer* Parent() const { return beParent; }

  // The value of the matching kind, else the value as a variant converted by
  // the variant rules.
  virtual nxString AsString() const;
  virtual std::int64_t AsInt64() const;
  virtual bool AsBoolean() const;
  virtual double AsFloat() const;
  // Containers raise 12289.
  virtual platform::Variant AsVariant() const = 0;
  // Non-containers raise 12289.
  virtual InxExceptionDataContainer AsContainer();

  // Kind code, name, value in the tagged encoding.
  virtual void SaveToWriter(TnxWriter& aWriter, std::int32_t aVersion) const;
  virtual void Dump(int aLevel, TnxDumpLineCallback aLineCallback, void* aCallbackData) const = 0;
  // The Dump lines, each followed by CR LF.
  nxString ToString() const;
  // "EDV", aVersion and the value in the tagged encoding, as Base64.
  nxString ToTransportString(std::int32_t aVersion) const;

 protected:
  TnxExceptionDataBaseValue(nxString aName, TnxExceptionDataContainer* aParent)
      : beName(std::move(aName)), beParent(aParent) {}
  void DumpLine(int aLevel, const nxString& aText, TnxDumpLineCallback aCallback, void* aData) const;

  nxString beName;
  TnxExceptionDataContainer* beParent;

 private:
  mutable std::atomic<std::int32_t> refCount_{0};
};

class TnxExceptionDataStringValue : public TnxExceptionDataBaseValue {
  PL_CLASS_INFO_DECL()
 public:
  TnxExceptionDataStringValue(nxString aName, TnxExceptionDataContainer* aParent, nxString aValue)
      : TnxExceptionDataBaseValue(std::move(aName), aParent), svValue(std::move(aValue)) {}
  TnxExceptionDataKind GetKind() const override { return edkString; }
  nxString AsString() const override { return svValue; }
  platform::Variant AsVariant() const override { return platform::Variant(svValue); }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aVersion) const override;
  void Dump(int aLevel, TnxDumpLineCallback aLineCallback, void* aCallbackData) const override;

 private:
  nxString svValue;
};

class TnxExceptionDataIntegerValue : public TnxExceptionDataBaseValue {
  PL_CLASS_INFO_DECL()
 public:
  TnxExceptionDataIntegerValue(nxString aName, TnxExceptionDataContainer* aParent, std::int64_t aValue)
      : TnxExceptionDataBaseValue(std::move(aName), aParent), ivValue(aValue) {}
  TnxExceptionDataKind GetKind() const override { return edkInteger; }
  std::int64_t AsInt64() const override { return ivValue; }
  platform::Variant AsVariant() const override { return platform::Variant(static_cast<long long>(ivValue)); }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aVersion) const override;
  void Dump(int aLevel, TnxDumpLineCallback aLineCallback, void* aCallbackData) const override;

 private:
  std::int64_t ivValue;
};

class TnxExceptionDataBooleanValue : public TnxExceptionDataBaseValue {
  PL_CLASS_INFO_DECL()
 public:
  TnxExceptionDataBooleanValue(nxString aName, TnxExceptionDataContainer* aParent, bool aValue)
      : TnxExceptionDataBaseValue(std::move(aName), aParent), bvValue(aValue) {}
  TnxExceptionDataKind GetKind() const override { return edkBoolean; }
  bool AsBoolean() const override { return bvValue; }
  platform::Variant AsVariant() const override { return platform::Variant(bvValue); }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aVersion) const override;
  void Dump(int aLevel, TnxDumpLineCallback aLineCallback, void* aCallbackData) const override;

 private:
  bool bvValue;
};

class TnxExceptionDataFloatValue : public TnxExceptionDataBaseValue {
  PL_CLASS_INFO_DECL()
 public:
  TnxExceptionDataFloatValue(nxString aName, TnxExceptionDataContainer* aParent, double aValue)
      : TnxExceptionDataBaseValue(std::move(aName), aParent), fvValue(aValue) {}
  TnxExceptionDataKind GetKind() const override { return edkFloat; }
  double AsFloat() const override { return fvValue; }
  platform::Variant AsVariant() const override { return platform::Variant(fvValue); }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aVersion) const override;
  void Dump(int aLevel, TnxDumpLineCallback aLineCallback, void* aCallbackData) const override;

 private:
  double fvValue;
};

class TnxExceptionDataVariantValue : public TnxExceptionDataBaseValue {
  PL_CLASS_INFO_DECL()
 public:
  TnxExceptionDataVariantValue(nxString aName, TnxExceptionDataContainer* aParent, platform::Variant aValue)
      : TnxExceptionDataBaseValue(std::move(aName), aParent), vvValue(std::move(aValue)) {}
  TnxExceptionDataKind GetKind() const override { return edkVariant; }
  platform::Variant AsVariant() const override { return vvValue; }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aVersion) const override;
  void Dump(int aLevel, TnxDumpLineCallback aLineCallback, void* aCallbackData) const override;

 private:
  platform::Variant vvValue;
};

// Implemented by objects that can describe themselves in exception data.
class InxExceptionData {
 public:
  virtual void AddDebugInfo(const InxExceptionDataContainer& aContainer, bool aFlag) = 0;

 protected:
  ~InxExceptionData() = default;
};

class TnxExceptionDataContainer : public TnxExceptionDataBaseValue {
  PL_CLASS_INFO_DECL()
 public:
  TnxExceptionDataContainer(nxString aName, TnxExceptionDataContainer* aParent, platform::TObject* aForObject,
                            TnxDynObjectArray aExcludedObjects = {})
      : TnxExceptionDataBaseValue(std::move(aName), aParent),
        dcForObject(aForObject),
        dcExcludedObjects(std::move(aExcludedObjects)) {}
  TnxExceptionDataKind GetKind() const override { return edkContainer; }
  platform::Variant AsVariant() const override;
  InxExceptionDataContainer AsContainer() override { return InxExceptionDataContainer(this); }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aVersion) const override;
  void Dump(int aLevel, TnxDumpLineCallback aLineCallback, void* aCallbackData) const override;

  void AddString(const nxString& aName, const nxString& aValue);
  void AddInt64(const nxString& aName, std::int64_t aValue);
  void AddBoolean(const nxString& aName, bool aValue);
  void AddFloat(const nxString& aName, double aValue);
  // Describes aObject: an object that implements InxExceptionData in a child
  // container, a string list line by line, anything else by its class name;
  // objects already described further up or excluded there are not repeated.
  void AddObject(const nxString& aName, platform::TObject* aObject, bool aFlag);
  void AddVariant(const nxString& aName, const platform::Variant& aValue);
  void AddInteger(const nxString& aName, std::uint32_t aValue) { AddInt64(aName, aValue); }
  InxExceptionDataContainer AddContainer(const nxString& aName);
  std::int32_t Count() const { return static_cast<std::int32_t>(dcValues.size()); }
  // platform::RangeError outside 0 .. Count - 1.
  InxExceptionDataValue Values(std::int32_t aIndex) const;

  platform::TObject* ForObject() const { return dcForObject; }
  void SetForObject(platform::TObject* aObject) { dcForObject = aObject; }

  // Reads one value of any kind (kind code, name, value); a container reads
  // its children. Nesting beyond nxMaxExceptionDataDepth fails with 15498.
  static InxExceptionDataValue ReadValue(TnxReader& aReader, TnxExceptionDataContainer* aParent,
                                         std::int32_t aVersion, int aDepth = 0);

 private:
  void Append(TnxExceptionDataBaseValue* aValue) { dcValues.emplace_back(aValue); }

  std::vector<InxExceptionDataValue> dcValues;
  platform::TObject* dcForObject;  // not owned
  TnxDynObjectArray dcExcludedObjects;
};

inline constexpr int nxMaxExceptionDataDepth = 256;

// ------------------------------------------------------------- exceptions

// The thread's exception context, prepared by the session layer.
struct TnxExceptionHookInfo {
  nxString ehiUserName;
  nxString ehiConnectedFrom;
  nxString ehiQuery;
  std::int64_t ehiSessionID = 0;
  nxString ehiClient;
};
using PnxExceptionHookInfo = TnxExceptionHookInfo*;

class EnxBaseException : public std::exception {
 public:
  explicit EnxBaseException(std::int64_t aErrorCode);
  EnxBaseException(std::int64_t aErrorCode, platform::UnicodeStringView aAltMsg);
  EnxBaseException(std::int64_t aErrorCode, platform::UnicodeStringView aAltMsg, TnxFormatArgs aArgs);
  explicit EnxBaseException(platform::UnicodeStringView aMsg);
  EnxBaseException(platform::UnicodeStringView aMsg, TnxFormatArgs aArgs);

  EnxBaseException(const EnxBaseException& aOther);
  EnxBaseException& operator=(const EnxBaseException& aOther);
  ~EnxBaseException() override;

  static const platform::ClassInfo& staticClassInfo();
  virtual const platform::ClassInfo& classInfo() const { return staticClassInfo(); }
  std::string_view className() const { return classInfo().name; }

  const char* what() const noexcept override { return fWhat.c_str(); }
  const nxString& Message() const { return fMessage; }

  TnxResult ErrorCode() const { return beErrorCode; }
  nxString ErrorString() const;
  nxString ProcessedErrorString() const;
  bool ExtendedMsg() const { return beExtendedMsg; }
  TnxWord32 OSError() const { return beOSError; }
  // Created empty on first access.
  platform::TStringList& CustomInfos() const;
  bool HasCustomInfos() const { return beCustomInfos != nullptr; }
  // Created on first access as an empty root container "ExceptionData".
  InxExceptionDataContainer ExceptionData();
  bool HasExceptionData() const { return static_cast<bool>(beExceptionData); }

  // The text (escaped where it came from users) with its placeholder, every
  // custom info as a marker, all in the form for aPeerVersion (0: the
  // thread's minimum version), and the exception data as a "$ExceptionData$"
  // marker. Empty when the exception was built from its code alone
  // (ExtendedMsg false). nxCreate(code) with this as the pending message
  // rebuilds an equal exception.
  nxString TransportMessage(std::int32_t aPeerVersion = 0) const;

  // The standard text of a code (nxGetErrorString).
  static nxString ErrorCodeString(TnxResult aCode);

  // The pending message of the calling thread; answers aErrorCode.
  static TnxResult nxSetMessage(TnxResult aErrorCode, platform::UnicodeStringView aAltMsg);
  static TnxResult nxSetMessage(TnxResult aErrorCode, platform::UnicodeStringView aAltMsg, TnxFormatArgs aArgs);
  static void SetLastConvertedException(TnxResult aErrorCode, const nxString& aCustomMessage);
  static void GetLastConvertedException(TnxResult& aErrorCode, nxString& aCustomMessage);

  // Used by nxCreateOSErrorException: OSError, "OSError", "Module" and
  // "Action" infos.
  void SetOSErrorInfos(TnxWord32 aOSError, const nxString& aModule, const nxString& aAction);

 private:
  void Build(bool aHasCode, const nxString* aText);
  void TakeOutMarkers(nxString& aText);
  void TakeOutMarkersOfForm(nxString& aText, platform::UnicodeStringView aOpen, platform::UnicodeStringView aClose);

  TnxResult beErrorCode = 0;
  nxString beErrorString;  // escaped: only the engine's own markers are markers
  bool beExtendedMsg = false;
  mutable std::unique_ptr<platform::TStringList> beCustomInfos;
  TnxWord32 beOSError = 0;
  InxExceptionDataContainer beExceptionData;
  nxString fMessage;
  std::string fWhat;
};

// Declares a member of the family: no additions but its class.
#define NX_DECLARE_EXCEPTION(Cls, Parent)                                  \
  class Cls : public Parent {                                              \
   public:                                                                 \
    using Parent::Parent;                                                  \
    static const ::platform::ClassInfo& staticClassInfo();                 \
    const ::platform::ClassInfo& classInfo() const override {              \
      return staticClassInfo();                                            \
    }                                                                      \
  };
#define NX_IMPLEMENT_EXCEPTION(Cls, Parent) PL_CLASS_INFO_IMPL(Cls, Parent, #Cls, nullptr)

// ------------------------------------------------------ module operations

// Raises EnxBaseException(aCode) when aCode is not 0; answers 0.
TnxResult nxCheckErrorCode(TnxResult aCode);

// Escaping of user text inside marked text (see the header comment).
nxString nxEscapeMarkers(platform::UnicodeStringView aText);
nxString nxUnescapeMarkers(platform::UnicodeStringView aText);
// platform::format with every string argument escaped.
nxString nxFormatMarkerSafe(platform::UnicodeStringView aFormat, std::span<const platform::FormatArg> aArgs);

// The marker for one custom info (name and value escaped), in the older
// form when nxGetThreadMinVersion() is below 41200.
nxString nxEncodeCustomInfo(platform::UnicodeStringView aName, platform::UnicodeStringView aValue);
nxString nxGetOrgPlaceholder();
// The same for an explicit peer version.
nxString nxEncodeCustomInfoFor(platform::UnicodeStringView aName, platform::UnicodeStringView aValue,
                               std::int32_t aPeerVersion);
nxString nxGetOrgPlaceholderFor(std::int32_t aPeerVersion);

InxExceptionDataContainer nxCreateExceptionDataContainer(const nxString& aName, platform::TObject* aForObject,
                                                         const TnxDynObjectArray& aExcludedObjects);
// 15498 for a foreign identifier or ill-formed data; platform::RuntimeError
// for Base64 of a wrong length.
InxExceptionDataValue nxExceptionDataFromString(platform::UnicodeStringView aText);

void nxSetThreadExceptionHookInfo(PnxExceptionHookInfo aInfo);
PnxExceptionHookInfo nxGetThreadExceptionHookInfo();
bool nxIsExceptionHookSet();
void nxCallExceptionHook(const std::exception& aException, const nxString& aText);

// True in the thread that initialised the engine base library (the main
// thread), false in every other thread.
bool nxIsMainThread();

// Resets the calling thread's pending code and message (module finalisation).
void nxllExceptionFinalize();

// The OS-error text of aOSError with trailing blanks and periods removed.
nxString nxSystemErrorMessage(TnxWord32 aOSError);
nxString nxOSErrorText(TnxWord32 aOSError, const nxString& aModule, const nxString& aAction);

// A new (not raised) exception of class E describing the calling thread's
// last OS error (errno); aErrorCode 0 means 11047.
template <class E = EnxBaseException>
E nxCreateOSErrorException(TnxResult aErrorCode, const nxString& aModule, const nxString& aAction) {
  const auto osError = static_cast<TnxWord32>(errno);
  E e(aErrorCode != 0 ? aErrorCode : 11047, nxOSErrorText(osError, aModule, aAction));
  e.SetOSErrorInfos(osError, aModule, aAction);
  return e;
}
// The action as a format with arguments (string arguments escaped); no module.
template <class E = EnxBaseException>
E nxCreateOSErrorExceptionFmt(TnxResult aErrorCode, platform::UnicodeStringView aAction, TnxFormatArgs aArgs) {
  const int saved = errno;
  nxString action = aArgs.size() == 0 ? nxString(aAction)
                                      : nxFormatMarkerSafe(aAction, std::span(aArgs.begin(), aArgs.size()));
  errno = saved;
  return nxCreateOSErrorException<E>(aErrorCode, {}, action);
}
