// The client's database error and the client module's defaults.
//
// EnxDatabaseError is the one exception the client components raise for an
// engine result code or a refusal of their own. It is the dataset
// framework's EDatabaseError, so the framework handles engine failures like
// its own, and it answers the engine's exception interfaces (InxException
// and its bases) without counting references: it lives as exceptions do.
//
// Message forms (T: the processed text without trailing blank lines; N: the
// component's display name, GetComponentName):
//   code, no component     "T [$hex/dec]"
//   no code, no component  "T [no error code]"
//   code, component        "DazavAV: N: T [$hex/dec]"
//   no code, component     "DazavAV: N: T [no error code]"
// A code-only form takes the calling thread's pending message when it is for
// the same code; every form clears the thread's pending message (code and
// text), used or not, so a detailed text is shown once.
//
// Markers in a given text: "<[--!name=value!--]>" (older form
// "<[--!þname=valueþ!--]>") become custom infos ("OSError" also sets
// OSError, "$ExceptionData$" fills ExceptionData); "<[!Org!]>" (older
// "<[!þOrgþ!>") stands for the code's standard text.
//
// Thread safety: an exception is used by one thread at a time; the module's
// default user name and password are set at start-up only.
#pragma once

#include <cstdint>
#include <memory>

#include "nxllBase.h"
#include "nxllException.h"
#include "nxllTypes.h"
#include "plComponent.h"
#include "plDbConsts.h"
#include "plStringList.h"

class EnxDatabaseError : public platform::EDatabaseError, public InxException {
 public:
  // nxCreate forms: no component, no "DazavAV: " prefix.
  explicit EnxDatabaseError(TnxResult aErrorCode);
  EnxDatabaseError(TnxResult aErrorCode, platform::UnicodeStringView aAltMsg);
  EnxDatabaseError(TnxResult aErrorCode, platform::UnicodeStringView aAltMsg, TnxFormatArgs aArgs);
  explicit EnxDatabaseError(platform::UnicodeStringView aMsg);
  EnxDatabaseError(platform::UnicodeStringView aMsg, TnxFormatArgs aArgs);
  // nxcCreate forms: naming aComponent (nil allowed). Resource strings are
  // texts here, so the resource forms are the message forms.
  EnxDatabaseError(const platform::TComponent* aComponent, TnxResult aErrorCode);
  EnxDatabaseError(const platform::TComponent* aComponent, TnxResult aErrorCode, platform::UnicodeStringView aAltMsg);
  EnxDatabaseError(const platform::TComponent* aComponent, TnxResult aErrorCode, platform::UnicodeStringView aAltMsg,
                   TnxFormatArgs aArgs);
  EnxDatabaseError(const platform::TComponent* aComponent, platform::UnicodeStringView aMsg);
  EnxDatabaseError(const platform::TComponent* aComponent, platform::UnicodeStringView aMsg, TnxFormatArgs aArgs);

  // InxBaseException, InxExceptionForCallback, InxException; not counted.
  std::int32_t QueryInterface(const platform::Guid& aIID, void** aObj) override;
  std::int32_t AddRef() override { return -1; }
  std::int32_t Release() override { return -1; }

  TnxResult ErrorCode() const override { return deErrorCode; }
  // The given text without its markers; empty when only a code was given.
  nxString ErrorString() const override;
  bool ExtendedMsg() const override { return deExtendedMsg; }
  TnxWord32 OSError() const override { return deOSError; }
  // Created empty on first use.
  platform::TStringList& CustomInfos() const override;
  bool HasCustomInfos() const { return static_cast<bool>(deCustomInfos); }
  // Created on first read as an empty container "ExceptionData".
  TnxIntfPtr<InxExceptionDataContainer> ExceptionData() override;
  // The trimmed text with the code's standard text for a placeholder (or
  // for no text at all), passed through the exception text hook.
  nxString ProcessedErrorString() const override;

  // The standard text of an engine code.
  static nxString GetErrorCodeText(TnxResult aErrorCode);
  // "<nil pointer>"; a field: its dataset's name by this rule, then
  // " (FieldName: <name>)"; a named component: its Name; else
  // "<unnamed <class> instance>".
  static nxString GetComponentName(const platform::TComponent* aComponent);

 private:
  // Fills the fields from the code and the text (nil: code only, the
  // pending message may stand in), builds the message, clears the pending
  // message.
  void Build(bool aComponentForm, const platform::TComponent* aComponent, bool aHasCode, const nxString* aText);
  void ExtractCustomInfos(nxString& aText);

  TnxResult deErrorCode = 0;
  nxString deErrorString;  // escaped as the engine escapes user text
  bool deExtendedMsg = false;
  // Shared by the copies the exception handling makes.
  mutable std::shared_ptr<platform::TStringList> deCustomInfos;
  TnxWord32 deOSError = 0;
  TnxIntfPtr<InxExceptionDataContainer> deExceptionData;
};

// The module's default user name and password: the session component logs
// in with them when its own are empty. Empty unless a program sets them.
nxString& nxDefaultUserName();
nxString& nxDefaultPassword();
