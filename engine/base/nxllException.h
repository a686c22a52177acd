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
// Every engine exception answers InxBaseException, InxExceptionForCallback
// and InxException without counting references, so code that holds only an
// exception object can reach code, texts and infos through them.
//
// Exception data: a tree of TnxInterfacedObject values held through
// TnxIntfPtr over the InxExceptionData* interfaces.
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
#include <string_view>
#include <utility>
#include <vector>

#include "nxllBase.h"
#include "nxllTypes.h"
#include "plErrors.h"
#include "plFormat.h"
#include "plObject.h"
#include "plStringList.h"
#include "plVariant.h"

class TnxWriter;
class TnxReader;
class TnxExceptionDataContainer;

using TnxFormatArgs = std::initializer_list<platform::FormatArg>;

// ------------------------------------------------------------ data values

enum TnxExceptionDataKind : std::int32_t {
  edkString = 0,
  edkInteger = 1,
  edkBoolean = 2,
  edkFloat = 3,
  edkVariant = 4,
  edkContainer = 5,
};

// Called once per dump line (without line break).
using TnxDumpLineCallback = void (*)(const nxString& aLine, void* aCallbackData);

class InxExceptionDataContainer;

// One named value of an exception data tree.
class InxExceptionDataValue : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x5BB7DABA, 0x7832, 0x4C41, {0xA5, 0x2D, 0x77, 0xC4, 0x70, 0x58, 0x12, 0x2F}};
  virtual nxString GetName() = 0;
  virtual TnxExceptionDataKind GetKind() = 0;
  // The value of the matching kind, else the value as a variant converted by
  // the variant rules.
  virtual nxString AsString() = 0;
  virtual std::int64_t AsInt64() = 0;
  virtual bool AsBoolean() = 0;
  virtual double AsFloat() = 0;
  // Containers raise 12289.
  virtual platform::Variant AsVariant() = 0;
  // Non-containers raise 12289; a container answers itself.
  virtual TnxIntfPtr<InxExceptionDataContainer> AsContainer() = 0;
  // "EDV", aVersion and the value in the tagged encoding, as Base64.
  virtual nxString ToTransportString(std::int32_t aVersion) = 0;
  // The Dump lines, each followed by CR LF.
  virtual nxString ToString() = 0;

 protected:
  ~InxExceptionDataValue() = default;
};

class InxExceptionDataValueInternal : public InxExceptionDataValue {
 public:
  static constexpr platform::Guid IID{0x1714DFA5, 0xF882, 0x4D63, {0xAC, 0xBA, 0x2C, 0x09, 0x62, 0xC3, 0x42, 0x7C}};
  // Kind code, name, value in the tagged encoding.
  virtual void SaveToWriter(TnxWriter& aWriter, std::int32_t aVersion) = 0;
  virtual void Dump(int aLevel, TnxDumpLineCallback aLineCallback, void* aCallbackData) = 0;
  // Empty at the root, and once the parent is gone.
  virtual TnxIntfPtr<InxExceptionDataContainer> Parent() = 0;

 protected:
  ~InxExceptionDataValueInternal() = default;
};

class InxExceptionDataContainer : public InxExceptionDataValue {
 public:
  static constexpr platform::Guid IID{0x899B9703, 0x1FB0, 0x4CFD, {0xA3, 0xA4, 0x8E, 0x69, 0xCF, 0x13, 0x1D, 0xC3}};
  virtual void AddString(const nxString& aName, const nxString& aValue) = 0;
  virtual void AddInt64(const nxString& aName, std::int64_t aValue) = 0;
  virtual void AddBoolean(const nxString& aName, bool aValue) = 0;
  virtual void AddFloat(const nxString& aName, double aValue) = 0;
  // Describes aObject: an object that implements InxExceptionData in a child
  // container, a string list line by line, anything else by its class name;
  // objects already described further up or excluded there are not repeated.
  // aObject stays the caller's; no reference is kept.
  virtual void AddObject(const nxString& aName, platform::TObject* aObject, bool aFlag) = 0;
  virtual void AddVariant(const nxString& aName, const platform::Variant& aValue) = 0;
  // Stored zero-extended as an integer value.
  virtual void AddInteger(const nxString& aName, std::uint32_t aValue) = 0;
  virtual TnxIntfPtr<InxExceptionDataContainer> AddContainer(const nxString& aName) = 0;
  virtual std::int32_t Count() = 0;
  // platform::RangeError outside 0 .. Count - 1.
  virtual TnxIntfPtr<InxExceptionDataValue> Values(std::int32_t aIndex) = 0;

 protected:
  ~InxExceptionDataContainer() = default;
};

class InxExceptionDataContainerInternal : public InxExceptionDataContainer {
 public:
  static constexpr platform::Guid IID{0xFF389EF2, 0xE31F, 0x4527, {0xA9, 0x63, 0x58, 0x33, 0xF4, 0xB1, 0x9A, 0x09}};
  virtual platform::TObject* ForObject() = 0;
  virtual void SetForObject(platform::TObject* aObject) = 0;

 protected:
  ~InxExceptionDataContainerInternal() = default;
};

// Implemented by objects that can describe themselves in exception data.
class InxExceptionData : public InxInterface {
 public:
  static constexpr platform::Guid IID{0x2630DFEE, 0x7C87, 0x472B, {0x8D, 0x91, 0xB9, 0xDB, 0x47, 0xDE, 0xB1, 0xF9}};
  virtual void AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aFlag) = 0;

 protected:
  ~InxExceptionData() = default;
};

class TnxExceptionDataContainer;

// Values are reference counted (TnxInterfacedObject) and held through
// TnxIntfPtr; the last reference frees a value. A container holds its
// children; a child refers to its parent without holding it, and a container
// that goes away first clears that reference in the children still held
// elsewhere.
class TnxExceptionDataBaseValue : public TnxInterfacedObject, public InxExceptionDataValueInternal {
  PL_CLASS_INFO_DECL()
 public:
  NX_INTERFACED_OBJECT_BASICS()

  nxString GetName() override { return beName; }
  nxString AsString() override;
  std::int64_t AsInt64() override;
  bool AsBoolean() override;
  double AsFloat() override;
  TnxIntfPtr<InxExceptionDataContainer> AsContainer() override;
  nxString ToTransportString(std::int32_t aVersion) override;
  nxString ToString() override;
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aVersion) override;
  TnxIntfPtr<InxExceptionDataContainer> Parent() override;

 protected:
  TnxExceptionDataBaseValue(nxString aName, TnxExceptionDataContainer* aParent)
      : TnxInterfacedObject(false), beName(std::move(aName)), beParent(aParent) {}
  const TnxInterfaceEntry* interfaceTable() const override;
  void DumpLine(int aLevel, const nxString& aText, TnxDumpLineCallback aCallback, void* aData) const;

  nxString beName;
  TnxExceptionDataContainer* beParent;  // not held

  friend class TnxExceptionDataContainer;
};

class TnxExceptionDataStringValue : public TnxExceptionDataBaseValue {
  PL_CLASS_INFO_DECL()
 public:
  TnxExceptionDataStringValue(nxString aName, TnxExceptionDataContainer* aParent, nxString aValue)
      : TnxExceptionDataBaseValue(std::move(aName), aParent), svValue(std::move(aValue)) {}
  TnxExceptionDataKind GetKind() override { return edkString; }
  nxString AsString() override { return svValue; }
  platform::Variant AsVariant() override { return platform::Variant(svValue); }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aVersion) override;
  void Dump(int aLevel, TnxDumpLineCallback aLineCallback, void* aCallbackData) override;

 private:
  nxString svValue;
};

class TnxExceptionDataIntegerValue : public TnxExceptionDataBaseValue {
  PL_CLASS_INFO_DECL()
 public:
  TnxExceptionDataIntegerValue(nxString aName, TnxExceptionDataContainer* aParent, std::int64_t aValue)
      : TnxExceptionDataBaseValue(std::move(aName), aParent), ivValue(aValue) {}
  TnxExceptionDataKind GetKind() override { return edkInteger; }
  std::int64_t AsInt64() override { return ivValue; }
  platform::Variant AsVariant() override { return platform::Variant(static_cast<long long>(ivValue)); }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aVersion) override;
  void Dump(int aLevel, TnxDumpLineCallback aLineCallback, void* aCallbackData) override;

 private:
  std::int64_t ivValue;
};

class TnxExceptionDataBooleanValue : public TnxExceptionDataBaseValue {
  PL_CLASS_INFO_DECL()
 public:
  TnxExceptionDataBooleanValue(nxString aName, TnxExceptionDataContainer* aParent, bool aValue)
      : TnxExceptionDataBaseValue(std::move(aName), aParent), bvValue(aValue) {}
  TnxExceptionDataKind GetKind() override { return edkBoolean; }
  bool AsBoolean() override { return bvValue; }
  platform::Variant AsVariant() override { return platform::Variant(bvValue); }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aVersion) override;
  void Dump(int aLevel, TnxDumpLineCallback aLineCallback, void* aCallbackData) override;

 private:
  bool bvValue;
};

class TnxExceptionDataFloatValue : public TnxExceptionDataBaseValue {
  PL_CLASS_INFO_DECL()
 public:
  TnxExceptionDataFloatValue(nxString aName, TnxExceptionDataContainer* aParent, double aValue)
      : TnxExceptionDataBaseValue(std::move(aName), aParent), fvValue(aValue) {}
  TnxExceptionDataKind GetKind() override { return edkFloat; }
  double AsFloat() override { return fvValue; }
  platform::Variant AsVariant() override { return platform::Variant(fvValue); }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aVersion) override;
  void Dump(int aLevel, TnxDumpLineCallback aLineCallback, void* aCallbackData) override;

 private:
  double fvValue;
};

class TnxExceptionDataVariantValue : public TnxExceptionDataBaseValue {
  PL_CLASS_INFO_DECL()
 public:
  TnxExceptionDataVariantValue(nxString aName, TnxExceptionDataContainer* aParent, platform::Variant aValue)
      : TnxExceptionDataBaseValue(std::move(aName), aParent), vvValue(std::move(aValue)) {}
  TnxExceptionDataKind GetKind() override { return edkVariant; }
  platform::Variant AsVariant() override { return vvValue; }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aVersion) override;
  void Dump(int aLevel, TnxDumpLineCallback aLineCallback, void* aCallbackData) override;

 private:
  platform::Variant vvValue;
};

class TnxExceptionDataContainer : public TnxExceptionDataBaseValue, public InxExceptionDataContainerInternal {
  PL_CLASS_INFO_DECL()
 public:
  TnxExceptionDataContainer(nxString aName, TnxExceptionDataContainer* aParent, platform::TObject* aForObject,
                            TnxDynObjectArray aExcludedObjects = {})
      : TnxExceptionDataBaseValue(std::move(aName), aParent),
        dcForObject(aForObject),
        dcExcludedObjects(std::move(aExcludedObjects)) {}
  ~TnxExceptionDataContainer() override;

  // Both interface branches reach the one object.
  NX_INTERFACED_OBJECT_BASICS()
  nxString GetName() override { return beName; }
  TnxExceptionDataKind GetKind() override { return edkContainer; }
  nxString AsString() override { return TnxExceptionDataBaseValue::AsString(); }
  std::int64_t AsInt64() override { return TnxExceptionDataBaseValue::AsInt64(); }
  bool AsBoolean() override { return TnxExceptionDataBaseValue::AsBoolean(); }
  double AsFloat() override { return TnxExceptionDataBaseValue::AsFloat(); }
  platform::Variant AsVariant() override;
  TnxIntfPtr<InxExceptionDataContainer> AsContainer() override;
  nxString ToTransportString(std::int32_t aVersion) override {
    return TnxExceptionDataBaseValue::ToTransportString(aVersion);
  }
  nxString ToString() override { return TnxExceptionDataBaseValue::ToString(); }
  void SaveToWriter(TnxWriter& aWriter, std::int32_t aVersion) override;
  void Dump(int aLevel, TnxDumpLineCallback aLineCallback, void* aCallbackData) override;

  void AddString(const nxString& aName, const nxString& aValue) override;
  void AddInt64(const nxString& aName, std::int64_t aValue) override;
  void AddBoolean(const nxString& aName, bool aValue) override;
  void AddFloat(const nxString& aName, double aValue) override;
  void AddObject(const nxString& aName, platform::TObject* aObject, bool aFlag) override;
  void AddVariant(const nxString& aName, const platform::Variant& aValue) override;
  void AddInteger(const nxString& aName, std::uint32_t aValue) override { AddInt64(aName, aValue); }
  TnxIntfPtr<InxExceptionDataContainer> AddContainer(const nxString& aName) override;
  std::int32_t Count() override { return static_cast<std::int32_t>(dcValues.size()); }
  TnxIntfPtr<InxExceptionDataValue> Values(std::int32_t aIndex) override;

  platform::TObject* ForObject() override { return dcForObject; }
  void SetForObject(platform::TObject* aObject) override { dcForObject = aObject; }

  // Reads one value of any kind (kind code, name, value); a container reads
  // its children. Nesting beyond nxMaxExceptionDataDepth fails with 15498.
  static TnxIntfPtr<InxExceptionDataValueInternal> ReadValue(TnxReader& aReader, TnxExceptionDataContainer* aParent,
                                                             std::int32_t aVersion, int aDepth = 0);

 protected:
  const TnxInterfaceEntry* interfaceTable() const override;

 private:
  void Append(TnxExceptionDataBaseValue* aValue);

  std::vector<TnxIntfPtr<InxExceptionDataValueInternal>> dcValues;
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

// The exception's own interfaces. An exception does not count references
// (AddRef and Release answer -1): it lives as exceptions do, so an interface
// reference to it must not outlive the exception object.
class InxBaseException : public InxInterface {
 public:
  static constexpr platform::Guid IID{0xA62E7C83, 0xAD20, 0x4BF1, {0xBB, 0x24, 0x0E, 0x4B, 0x9A, 0xBF, 0x41, 0x05}};
  virtual TnxResult ErrorCode() const = 0;

 protected:
  ~InxBaseException() = default;
};

class InxExceptionForCallback : public InxBaseException {
 public:
  static constexpr platform::Guid IID{0x5F496E29, 0x028B, 0x4DCB, {0x85, 0x30, 0x54, 0xC0, 0x79, 0x73, 0x8D, 0xD5}};
  virtual nxString ErrorString() const = 0;
  virtual bool ExtendedMsg() const = 0;
  virtual TnxWord32 OSError() const = 0;
  virtual platform::TStringList& CustomInfos() const = 0;
  virtual TnxIntfPtr<InxExceptionDataContainer> ExceptionData() = 0;

 protected:
  ~InxExceptionForCallback() = default;
};

class InxException : public InxExceptionForCallback {
 public:
  static constexpr platform::Guid IID{0x79F474DF, 0x1A53, 0x47C1, {0x8B, 0x23, 0xFE, 0x1F, 0x5A, 0xC9, 0x73, 0xDD}};
  virtual nxString ProcessedErrorString() const = 0;

 protected:
  ~InxException() = default;
};

// The answer of every exception object to a request for one of the three exception
// interfaces; the engine's and the client's exceptions share it.
std::int32_t nxQueryExceptionInterface(InxException* aSelf, const platform::Guid& aIID, void** aObj);

class EnxBaseException : public std::exception, public InxException {
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
  // The message as shown to a user: Message(), or a subclass's fuller form
  // (a component exception's names the component).
  virtual const nxString& DisplayMessage() const { return fMessage; }

  // InxBaseException, InxExceptionForCallback and InxException; not counted.
  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override;
  std::int32_t AddRef() override { return -1; }
  std::int32_t Release() override { return -1; }

  TnxResult ErrorCode() const override { return beErrorCode; }
  nxString ErrorString() const override;
  nxString ProcessedErrorString() const override;
  bool ExtendedMsg() const override { return beExtendedMsg; }
  TnxWord32 OSError() const override { return beOSError; }
  // Created empty on first access.
  platform::TStringList& CustomInfos() const override;
  bool HasCustomInfos() const { return beCustomInfos != nullptr; }
  // Created on first access as an empty root container "ExceptionData".
  TnxIntfPtr<InxExceptionDataContainer> ExceptionData() override;
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
  TnxIntfPtr<InxExceptionDataContainer> beExceptionData;
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

TnxIntfPtr<InxExceptionDataContainer> nxCreateExceptionDataContainer(const nxString& aName,
                                                                     platform::TObject* aForObject,
                                                                     const TnxDynObjectArray& aExcludedObjects);
// 15498 for a foreign identifier or ill-formed data; platform::RuntimeError
// for Base64 of a wrong length.
TnxIntfPtr<InxExceptionDataValue> nxExceptionDataFromString(platform::UnicodeStringView aText);

// The text hook: when installed, every processed error text of an engine
// exception (and of the client's database error) passes through it with the
// exception's interface; its answer is the text shown. Process-wide; install
// it at start-up, before exceptions are raised on other threads.
using TnxExceptionTextHook = nxString (*)(const nxString& aText, InxExceptionForCallback* aException);
void nxSetExceptionTextHook(TnxExceptionTextHook aHook);
TnxExceptionTextHook nxGetExceptionTextHook();
// aText through the installed hook; unchanged without one.
nxString nxApplyExceptionTextHook(const nxString& aText, InxExceptionForCallback* aException);

void nxSetThreadExceptionHookInfo(PnxExceptionHookInfo aInfo);
PnxExceptionHookInfo nxGetThreadExceptionHookInfo();
bool nxIsExceptionHookSet();
void nxCallExceptionHook(const std::exception& aException, const nxString& aText);

// True in the thread that initialised the engine base library (the main
// thread), false in every other thread.
bool nxIsMainThread();

// The message of any exception: the engine family's DisplayMessage, else
// what() as UTF-8 text.
nxString nxExceptionMessage(const std::exception& aException);
// The class name of an exception: the engine classes' own names, otherwise
// the demangled C++ type name.
std::string nxExceptionClassName(const std::exception& aException);

// ---- Assertions ----------------------------------------------------------------

// Raises platform::AssertionFailed with the text "Assertion failed: <aText>
// (<aModule>, line <aLine>)".
[[noreturn]] void nxAssertionFailed(std::string_view aText, std::string_view aModule, int aLine);

// The module name of a source path: its file name without the extension.
constexpr std::string_view nxModuleOfPath(std::string_view aPath) {
  const std::size_t slash = aPath.find_last_of("/\\");
  if (slash != std::string_view::npos) aPath.remove_prefix(slash + 1);
  const std::size_t dot = aPath.find('.');
  return dot == std::string_view::npos ? aPath : aPath.substr(0, dot);
}

// The engine's assertion: an internal consistency check naming the module
// (the source file) and line when it fails. Always evaluated.
#define nxAssert(aCondition, aText)                                                   \
  do {                                                                                \
    if (!(aCondition)) ::nxAssertionFailed((aText), ::nxModuleOfPath(__FILE__), __LINE__); \
  } while (0)

// Module start-up and finalisation, counted: the first start-up and the last
// finalisation reset the calling (main) thread's pending code and message.
void nxllExceptionInitialize();
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
