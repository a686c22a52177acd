#include "nxdbBase.h"

#include <utility>

#include "nxllBdeStrings.h"
#include "nxllUtils.h"
#include "plDbFields.h"
#include "plDataSet.h"
#include "plFormat.h"

namespace {

constexpr platform::UnicodeStringView kInfoOpenOld = u"<[--!\u00FE";
constexpr platform::UnicodeStringView kInfoCloseOld = u"\u00FE!--]>";
constexpr platform::UnicodeStringView kInfoOpen = u"<[--!";
constexpr platform::UnicodeStringView kInfoClose = u"!--]>";
constexpr platform::UnicodeStringView kOrgOld = u"<[!\u00FEOrg\u00FE!>";
constexpr platform::UnicodeStringView kOrg = u"<[!Org!]>";

bool isBlankOrControl(char16_t c) { return c <= u' '; }

nxString trimmedText(const nxString& aText) {
  std::size_t b = 0, e = aText.size();
  while (b < e && isBlankOrControl(aText[b])) ++b;
  while (e > b && isBlankOrControl(aText[e - 1])) --e;
  return aText.substr(b, e - b);
}

// Decimal or "$"-hexadecimal 64-bit text; 0 when it is not one.
std::uint64_t osErrorOf(const nxString& aText) {
  const nxString t = trimmedText(aText);
  if (t.empty()) return 0;
  const bool hex = t[0] == u'$';
  const std::size_t first = hex ? 1 : 0;
  if (first == t.size()) return 0;
  std::uint64_t v = 0;
  const std::uint64_t base = hex ? 16 : 10;
  for (std::size_t i = first; i < t.size(); ++i) {
    const char16_t c = t[i];
    std::uint64_t d;
    if (c >= u'0' && c <= u'9')
      d = c - u'0';
    else if (hex && c >= u'a' && c <= u'f')
      d = c - u'a' + 10;
    else if (hex && c >= u'A' && c <= u'F')
      d = c - u'A' + 10;
    else
      return 0;
    if (v > (UINT64_MAX - d) / base) return 0;
    v = v * base + d;
  }
  return v;
}

// Takes every marker of one form out of aText; each content is handed to aTake.
template <class Take>
void takeOutMarkers(nxString& aText, platform::UnicodeStringView aOpen, platform::UnicodeStringView aClose,
                    Take&& aTake) {
  for (;;) {
    const std::size_t p = aText.find(aOpen);
    if (p == nxString::npos) return;
    const std::size_t start = p + aOpen.size();
    const std::size_t q = aText.find(aClose, start);
    if (q == nxString::npos) {
      aTake(aText.substr(start));
      aText.erase(p);
    } else {
      aTake(aText.substr(start, q - start));
      aText.erase(p, q + aClose.size() - p);
    }
  }
}

}  // namespace

// ------------------------------------------------------------ construction

EnxDatabaseError::EnxDatabaseError(TnxResult aErrorCode) : EDatabaseError(u"") {
  deErrorCode = aErrorCode;
  Build(false, nullptr, true, nullptr);
}

EnxDatabaseError::EnxDatabaseError(TnxResult aErrorCode, platform::UnicodeStringView aAltMsg)
    : EDatabaseError(u"") {
  deErrorCode = aErrorCode;
  const nxString text(aAltMsg);
  Build(false, nullptr, true, &text);
}

EnxDatabaseError::EnxDatabaseError(TnxResult aErrorCode, platform::UnicodeStringView aAltMsg, TnxFormatArgs aArgs)
    : EDatabaseError(u"") {
  deErrorCode = aErrorCode;
  const nxString text = nxFormatMarkerSafe(aAltMsg, std::span(aArgs.begin(), aArgs.size()));
  Build(false, nullptr, true, &text);
}

EnxDatabaseError::EnxDatabaseError(platform::UnicodeStringView aMsg) : EDatabaseError(u"") {
  const nxString text(aMsg);
  Build(false, nullptr, false, &text);
}

EnxDatabaseError::EnxDatabaseError(platform::UnicodeStringView aMsg, TnxFormatArgs aArgs) : EDatabaseError(u"") {
  const nxString text = nxFormatMarkerSafe(aMsg, std::span(aArgs.begin(), aArgs.size()));
  Build(false, nullptr, false, &text);
}

EnxDatabaseError::EnxDatabaseError(const platform::TComponent* aComponent, TnxResult aErrorCode)
    : EDatabaseError(u"") {
  deErrorCode = aErrorCode;
  Build(true, aComponent, true, nullptr);
}

EnxDatabaseError::EnxDatabaseError(const platform::TComponent* aComponent, TnxResult aErrorCode,
                                   platform::UnicodeStringView aAltMsg)
    : EDatabaseError(u"") {
  deErrorCode = aErrorCode;
  const nxString text(aAltMsg);
  Build(true, aComponent, true, &text);
}

EnxDatabaseError::EnxDatabaseError(const platform::TComponent* aComponent, TnxResult aErrorCode,
                                   platform::UnicodeStringView aAltMsg, TnxFormatArgs aArgs)
    : EDatabaseError(u"") {
  deErrorCode = aErrorCode;
  const nxString text = nxFormatMarkerSafe(aAltMsg, std::span(aArgs.begin(), aArgs.size()));
  Build(true, aComponent, true, &text);
}

EnxDatabaseError::EnxDatabaseError(const platform::TComponent* aComponent, platform::UnicodeStringView aMsg)
    : EDatabaseError(u"") {
  const nxString text(aMsg);
  Build(true, aComponent, false, &text);
}

EnxDatabaseError::EnxDatabaseError(const platform::TComponent* aComponent, platform::UnicodeStringView aMsg,
                                   TnxFormatArgs aArgs)
    : EDatabaseError(u"") {
  const nxString text = nxFormatMarkerSafe(aMsg, std::span(aArgs.begin(), aArgs.size()));
  Build(true, aComponent, false, &text);
}

void EnxDatabaseError::Build(bool aComponentForm, const platform::TComponent* aComponent, bool aHasCode,
                             const nxString* aText) {
  // Used or not, the pending message is gone afterwards, also when building
  // fails.
  struct PendingClearer {
    ~PendingClearer() { EnxBaseException::SetLastConvertedException(0, nxString()); }
  } clearPending;

  nxString pending;
  if (!aText && aHasCode) {
    TnxResult pendingCode = 0;
    EnxBaseException::GetLastConvertedException(pendingCode, pending);
    if (pendingCode == deErrorCode && !pending.empty()) aText = &pending;
  }
  if (aText) {
    nxString text = *aText;
    ExtractCustomInfos(text);
    deErrorString = std::move(text);
    deExtendedMsg = true;
  }

  const nxString shown = nxTrimTrailingLines(ProcessedErrorString());
  nxString message;
  if (aComponentForm) {
    if (aHasCode)
      message = platform::format(u"DazavAV: %s: %s [$%x/%d]",
                                 {GetComponentName(aComponent), shown, deErrorCode, deErrorCode});
    else
      message = platform::format(u"DazavAV: %s: %s [no error code]", {GetComponentName(aComponent), shown});
  } else if (aHasCode) {
    message = platform::format(u"%s [$%x/%d]", {shown, deErrorCode, deErrorCode});
  } else {
    message = platform::format(u"%s [no error code]", {shown});
  }
  SetMessage(message);
}

void EnxDatabaseError::ExtractCustomInfos(nxString& aText) {
  auto take = [this](const nxString& aContent) {
    const std::size_t eq = aContent.find(u'=');
    if (eq == nxString::npos || eq == 0 || eq + 1 == aContent.size()) return;
    CustomInfos().setValue(nxUnescapeMarkers(aContent.substr(0, eq)), nxUnescapeMarkers(aContent.substr(eq + 1)));
  };
  takeOutMarkers(aText, kInfoOpenOld, kInfoCloseOld, take);
  takeOutMarkers(aText, kInfoOpen, kInfoClose, take);
  if (!deCustomInfos) return;
  const int os = deCustomInfos->indexOfName(u"OSError");
  if (os >= 0) deOSError = static_cast<TnxWord32>(osErrorOf(deCustomInfos->valueFromIndex(os)));
  const int data = deCustomInfos->indexOfName(u"$ExceptionData$");
  if (data >= 0) {
    const nxString transport = deCustomInfos->valueFromIndex(data);
    deCustomInfos->deleteAt(data);
    // Data that does not decode must not replace the error being reported.
    try {
      // Only a container is taken (AsContainer refuses other values).
      if (TnxIntfPtr<InxExceptionDataValue> value = nxExceptionDataFromString(transport))
        deExceptionData = value->AsContainer();
    } catch (const std::exception&) {
    }
  }
}

// -------------------------------------------------------------- interfaces

std::int32_t EnxDatabaseError::QueryInterface(const platform::Guid& aIID, void** aObj) {
  return nxQueryExceptionInterface(this, aIID, aObj);
}

nxString EnxDatabaseError::ErrorString() const { return nxUnescapeMarkers(deErrorString); }

platform::TStringList& EnxDatabaseError::CustomInfos() const {
  if (!deCustomInfos) deCustomInfos = std::make_shared<platform::TStringList>();
  return *deCustomInfos;
}

TnxIntfPtr<InxExceptionDataContainer> EnxDatabaseError::ExceptionData() {
  if (!deExceptionData) deExceptionData = nxCreateExceptionDataContainer(u"ExceptionData", nullptr, {});
  return deExceptionData;
}

nxString EnxDatabaseError::ProcessedErrorString() const {
  nxString text = trimmedText(deErrorString);
  for (platform::UnicodeStringView marker : {kOrgOld, kOrg}) {
    const std::size_t p = text.find(marker);
    if (p == nxString::npos && !text.empty()) continue;
    nxString result = p == nxString::npos ? nxString() : text.substr(0, p);
    result += nxEscapeMarkers(GetErrorCodeText(deErrorCode));
    if (p != nxString::npos) {
      if (result.size() > 1 && result.back() != u'.') result += u'.';
      result += text.substr(p + marker.size());
    }
    text = std::move(result);
  }
  // The interfaces only read the exception.
  auto* self = const_cast<EnxDatabaseError*>(this);
  return nxApplyExceptionTextHook(nxUnescapeMarkers(text), self);
}

// ------------------------------------------------------------ class functions

nxString EnxDatabaseError::GetErrorCodeText(TnxResult aErrorCode) { return nxGetErrorString(aErrorCode); }

nxString EnxDatabaseError::GetComponentName(const platform::TComponent* aComponent) {
  if (!aComponent) return u"<nil pointer>";
  if (const auto* field = platform::objectAs<platform::TField>(const_cast<platform::TComponent*>(aComponent)))
    return GetComponentName(field->DataSet()) + u" (FieldName: " + field->FieldName() + u")";
  if (!aComponent->Name().empty()) return aComponent->Name();
  return platform::format(u"<unnamed %s instance>", {platform::fromUtf8(aComponent->className())});
}

// --------------------------------------------------------------- module state

nxString& nxDefaultUserName() {
  static nxString value;
  return value;
}

nxString& nxDefaultPassword() {
  static nxString value;
  return value;
}
