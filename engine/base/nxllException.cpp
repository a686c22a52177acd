#include "nxllException.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <typeinfo>

#include "nxllBase64.h"
#include "nxllBde.h"
#include "nxllBdeStrings.h"
#include "nxllLockedFuncs.h"
#include "nxllStreams.h"
#include "plCodePage.h"
#include "plOs.h"

namespace {

constexpr char16_t kEsc = u'\uE000';  // private use: never part of engine text

constexpr platform::UnicodeStringView kOpenNew = u"<[--!";
constexpr platform::UnicodeStringView kCloseNew = u"!--]>";
constexpr platform::UnicodeStringView kOpenOld = u"<[--!\u00FE";
constexpr platform::UnicodeStringView kCloseOld = u"\u00FE!--]>";
constexpr platform::UnicodeStringView kOrgNew = u"<[!Org!]>";
constexpr platform::UnicodeStringView kOrgOld = u"<[!\u00FEOrg\u00FE!>";
constexpr std::int32_t kOldMarkerVersion = 41200;

thread_local TnxResult tlsLastConvertedCode = 0;
thread_local nxString tlsLastConvertedMessage;
thread_local PnxExceptionHookInfo tlsHookInfo = nullptr;
// The process-wide switch that would let threads keep their exception
// context; nothing in this system turns it on.
constexpr bool kKeepThreadHookInfo = false;

nxString ascii(std::string_view s) { return nxString(s.begin(), s.end()); }

nxString utf8ToText(std::string_view s) { return platform::decodeText(s, platform::CP_UTF8); }

bool isBlank(char16_t c) { return c <= u' '; }

nxString trimmed(platform::UnicodeStringView s) {
  std::size_t b = 0, e = s.size();
  while (b < e && isBlank(s[b])) ++b;
  while (e > b && isBlank(s[e - 1])) --e;
  return nxString(s.substr(b, e - b));
}

nxString trimmedRight(platform::UnicodeStringView s) {
  std::size_t e = s.size();
  while (e > 0 && isBlank(s[e - 1])) --e;
  return nxString(s.substr(0, e));
}

// Text of any exception for messages and dumps.
nxString exceptionText(const std::exception& e) {
  if (auto* nx = dynamic_cast<const EnxBaseException*>(&e)) return nx->Message();
  return utf8ToText(e.what());
}

// Takes every marker of one form out of aText; name=value contents go to
// aInfos (created on demand), unescaped.
void takeOutMarkersOfForm(nxString& aText, platform::UnicodeStringView aOpen, platform::UnicodeStringView aClose,
                          std::unique_ptr<platform::TStringList>* aInfos) {
  for (;;) {
    const std::size_t p = aText.find(aOpen);
    if (p == nxString::npos) return;
    const std::size_t contentStart = p + aOpen.size();
    const std::size_t q = aText.find(aClose, contentStart);
    nxString content;
    if (q == nxString::npos) {
      content = aText.substr(contentStart);
      aText.erase(p);
    } else {
      content = aText.substr(contentStart, q - contentStart);
      aText.erase(p, q + aClose.size() - p);
    }
    if (!aInfos) continue;
    const std::size_t eq = content.find(u'=');
    if (eq == nxString::npos || eq == 0 || eq + 1 == content.size()) continue;
    if (!*aInfos) *aInfos = std::make_unique<platform::TStringList>();
    (*aInfos)->setValue(nxUnescapeMarkers(content.substr(0, eq)), nxUnescapeMarkers(content.substr(eq + 1)));
  }
}

void takeOutAllMarkers(nxString& aText, std::unique_ptr<platform::TStringList>* aInfos) {
  takeOutMarkersOfForm(aText, kOpenOld, kCloseOld, aInfos);
  takeOutMarkersOfForm(aText, kOpenNew, kCloseNew, aInfos);
}

// Decimal text read as a 64-bit integer; 0 when it is not one.
std::int64_t decimalOrZero(platform::UnicodeStringView s) {
  const nxString t = trimmed(s);
  std::size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == u'-' || t[i] == u'+')) negative = t[i++] == u'-';
  if (i == t.size()) return 0;
  std::uint64_t v = 0;
  for (; i < t.size(); ++i) {
    if (t[i] < u'0' || t[i] > u'9') return 0;
    if (v > (UINT64_MAX - 9) / 10) return 0;
    v = v * 10 + (t[i] - u'0');
  }
  if (v > static_cast<std::uint64_t>(INT64_MAX) + (negative ? 1 : 0)) return 0;
  return negative ? static_cast<std::int64_t>(0 - v) : static_cast<std::int64_t>(v);
}

// Lines as the string list splits them (CR LF, CR or LF; no empty last line).
std::vector<nxString> splitLines(platform::UnicodeStringView s) {
  platform::TStringList l;
  l.setText(s);
  std::vector<nxString> lines;
  for (int i = 0; i < l.count(); ++i) lines.push_back(l.strings(i));
  return lines;
}

// Every constructor leaves the thread without a pending message, also when
// it fails (a pending text whose data cannot be decoded must not make every
// later exception of its code fail again).
struct PendingMessageClearer {
  PendingMessageClearer() = default;
  PendingMessageClearer(const PendingMessageClearer&) = delete;
  PendingMessageClearer& operator=(const PendingMessageClearer&) = delete;
  ~PendingMessageClearer() { tlsLastConvertedMessage.clear(); }
};

const platform::ClassInfo& exceptionRootClassInfo() {
  static const platform::ClassInfo info{"Exception", &platform::TObject::staticClassInfo(), nullptr};
  return info;
}

}  // namespace

// ------------------------------------------------------------- escaping

nxString nxEscapeMarkers(platform::UnicodeStringView aText) {
  nxString r;
  r.reserve(aText.size());
  for (char16_t c : aText) {
    switch (c) {
      case kEsc: r += {kEsc, u'e'}; break;
      case u'<': r += {kEsc, u'l'}; break;
      case u'!': r += {kEsc, u'x'}; break;
      default: r += c;
    }
  }
  return r;
}

nxString nxUnescapeMarkers(platform::UnicodeStringView aText) {
  nxString r;
  r.reserve(aText.size());
  for (std::size_t i = 0; i < aText.size(); ++i) {
    const char16_t c = aText[i];
    if (c == kEsc && i + 1 < aText.size()) {
      const char16_t n = aText[i + 1];
      const char16_t plain = n == u'e' ? kEsc : n == u'l' ? u'<' : n == u'x' ? u'!' : 0;
      if (plain != 0) {
        r += plain;
        ++i;
        continue;
      }
    }
    r += c;
  }
  return r;
}

nxString nxFormatMarkerSafe(platform::UnicodeStringView aFormat, std::span<const platform::FormatArg> aArgs) {
  using platform::FormatArg;
  std::vector<FormatArg> args;
  args.reserve(aArgs.size());
  for (const FormatArg& a : aArgs) {
    if (a.kind() == FormatArg::Kind::UString)
      args.emplace_back(nxEscapeMarkers(a.asUString()));
    else if (a.kind() == FormatArg::Kind::AString)
      args.emplace_back(nxEscapeMarkers(platform::ansiToUnicode(a.asAString())));
    else
      args.push_back(a);
  }
  return platform::format(aFormat, std::span<const FormatArg>(args));
}

nxString nxEncodeCustomInfoFor(platform::UnicodeStringView aName, platform::UnicodeStringView aValue,
                               std::int32_t aPeerVersion) {
  const bool old = aPeerVersion < kOldMarkerVersion;
  nxString r(old ? kOpenOld : kOpenNew);
  r += nxEscapeMarkers(aName);
  r += u'=';
  r += nxEscapeMarkers(aValue);
  r += old ? kCloseOld : kCloseNew;
  return r;
}

nxString nxEncodeCustomInfo(platform::UnicodeStringView aName, platform::UnicodeStringView aValue) {
  return nxEncodeCustomInfoFor(aName, aValue, nxGetThreadMinVersion());
}

nxString nxGetOrgPlaceholderFor(std::int32_t aPeerVersion) {
  return nxString(aPeerVersion < kOldMarkerVersion ? kOrgOld : kOrgNew);
}

nxString nxGetOrgPlaceholder() { return nxGetOrgPlaceholderFor(nxGetThreadMinVersion()); }

// ------------------------------------------------------- EnxBaseException

const platform::ClassInfo& EnxBaseException::staticClassInfo() {
  static const platform::ClassInfo info{"EnxBaseException", &exceptionRootClassInfo(), nullptr};
  return info;
}

EnxBaseException::EnxBaseException(std::int64_t aErrorCode) {
  const PendingMessageClearer clearPending;
  beErrorCode = static_cast<TnxResult>(aErrorCode);
  if (tlsLastConvertedCode == beErrorCode && !tlsLastConvertedMessage.empty()) {
    const nxString pending = tlsLastConvertedMessage;
    Build(true, &pending);
  } else {
    Build(true, nullptr);
  }
}

EnxBaseException::EnxBaseException(std::int64_t aErrorCode, platform::UnicodeStringView aAltMsg) {
  const PendingMessageClearer clearPending;
  beErrorCode = static_cast<TnxResult>(aErrorCode);
  const nxString text(aAltMsg);
  Build(true, &text);
}

EnxBaseException::EnxBaseException(std::int64_t aErrorCode, platform::UnicodeStringView aAltMsg,
                                   TnxFormatArgs aArgs) {
  const PendingMessageClearer clearPending;
  beErrorCode = static_cast<TnxResult>(aErrorCode);
  const nxString text = nxFormatMarkerSafe(aAltMsg, std::span(aArgs.begin(), aArgs.size()));
  Build(true, &text);
}

EnxBaseException::EnxBaseException(platform::UnicodeStringView aMsg) {
  const PendingMessageClearer clearPending;
  const nxString text(aMsg);
  Build(false, &text);
}

EnxBaseException::EnxBaseException(platform::UnicodeStringView aMsg, TnxFormatArgs aArgs) {
  const PendingMessageClearer clearPending;
  const nxString text = nxFormatMarkerSafe(aMsg, std::span(aArgs.begin(), aArgs.size()));
  Build(false, &text);
}

EnxBaseException::EnxBaseException(const EnxBaseException& aOther)
    : std::exception(aOther),
      beErrorCode(aOther.beErrorCode),
      beErrorString(aOther.beErrorString),
      beExtendedMsg(aOther.beExtendedMsg),
      beOSError(aOther.beOSError),
      beExceptionData(aOther.beExceptionData),
      fMessage(aOther.fMessage),
      fWhat(aOther.fWhat) {
  if (aOther.beCustomInfos) {
    beCustomInfos = std::make_unique<platform::TStringList>();
    beCustomInfos->assign(*aOther.beCustomInfos);
  }
}

EnxBaseException& EnxBaseException::operator=(const EnxBaseException& aOther) {
  if (this != &aOther) {
    EnxBaseException copy(aOther);
    std::swap(beErrorCode, copy.beErrorCode);
    std::swap(beErrorString, copy.beErrorString);
    std::swap(beExtendedMsg, copy.beExtendedMsg);
    std::swap(beCustomInfos, copy.beCustomInfos);
    std::swap(beOSError, copy.beOSError);
    std::swap(beExceptionData, copy.beExceptionData);
    std::swap(fMessage, copy.fMessage);
    std::swap(fWhat, copy.fWhat);
  }
  return *this;
}

EnxBaseException::~EnxBaseException() = default;

std::int32_t nxQueryExceptionInterface(InxException* aSelf, const platform::Guid& aIID, void** aObj) {
  InxInterface* found = nullptr;
  if (aIID == InxException::IID)
    found = aSelf;
  else if (aIID == InxExceptionForCallback::IID)
    found = static_cast<InxExceptionForCallback*>(aSelf);
  else if (aIID == InxBaseException::IID)
    found = static_cast<InxBaseException*>(aSelf);
  *aObj = found;
  return found ? nxS_OK : nxE_NOINTERFACE;
}

std::int32_t EnxBaseException::QueryInterface(const platform::Guid& aIID, void** aObj) {
  return nxQueryExceptionInterface(this, aIID, aObj);
}

void EnxBaseException::Build(bool aHasCode, const nxString* aText) {
  if (aText) {
    nxString text = *aText;
    TakeOutMarkers(text);
    beErrorString = std::move(text);
    beExtendedMsg = true;
  }

  // Only the meaningful lines: no trailing blank lines, a single line
  // right-trimmed.
  std::vector<nxString> lines = splitLines(ProcessedErrorString());
  while (!lines.empty() && trimmed(lines.back()).empty()) lines.pop_back();
  nxString processed;
  if (lines.size() == 1) {
    processed = trimmedRight(lines[0]);
  } else {
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (i) processed += u"\r\n";
      processed += lines[i];
    }
  }

  fMessage = u"DazavAV: ";
  if (aHasCode)
    fMessage += platform::format(u"%s [$%x/%d]", {processed, beErrorCode, beErrorCode});
  else
    fMessage += platform::format(u"%s [no error code]", {processed});
  fWhat = platform::encodeText(fMessage, platform::CP_UTF8);
}

void EnxBaseException::TakeOutMarkers(nxString& aText) {
  takeOutAllMarkers(aText, &beCustomInfos);
  if (!beCustomInfos) return;
  const int os = beCustomInfos->indexOfName(u"OSError");
  if (os >= 0) beOSError = static_cast<TnxWord32>(decimalOrZero(beCustomInfos->valueFromIndex(os)));
  const int data = beCustomInfos->indexOfName(u"$ExceptionData$");
  if (data >= 0) {
    const nxString transport = beCustomInfos->valueFromIndex(data);
    beExceptionData = nxExceptionDataFromString(transport)->AsContainer();
    beCustomInfos->deleteAt(data);
  }
}

nxString EnxBaseException::ErrorString() const { return nxUnescapeMarkers(beErrorString); }

nxString EnxBaseException::ProcessedErrorString() const {
  const nxString s = trimmed(beErrorString);
  const nxString placeholder = nxGetOrgPlaceholder();
  const std::size_t p = s.find(placeholder);
  // The interfaces do not change the exception; the hook only reads it.
  auto* self = const_cast<EnxBaseException*>(this);
  if (p == nxString::npos && !s.empty()) return nxApplyExceptionTextHook(nxUnescapeMarkers(s), self);
  nxString result = p == nxString::npos ? nxString() : nxUnescapeMarkers(s.substr(0, p));
  result += ErrorCodeString(beErrorCode);
  if (p != nxString::npos) {
    if (result.size() >= 2 && result.back() != u'.') result += u'.';
    result += nxUnescapeMarkers(s.substr(p + placeholder.size()));
  }
  return nxApplyExceptionTextHook(result, self);
}

platform::TStringList& EnxBaseException::CustomInfos() const {
  if (!beCustomInfos) beCustomInfos = std::make_unique<platform::TStringList>();
  return *beCustomInfos;
}

TnxIntfPtr<InxExceptionDataContainer> EnxBaseException::ExceptionData() {
  if (!beExceptionData) beExceptionData = nxCreateExceptionDataContainer(u"ExceptionData", nullptr, {});
  return beExceptionData;
}

nxString EnxBaseException::TransportMessage(std::int32_t aPeerVersion) const {
  if (!beExtendedMsg) return {};
  if (aPeerVersion == 0) aPeerVersion = nxGetThreadMinVersion();
  nxString m = beErrorString;
  // Placeholders in the peer's form (user text holds none: it is escaped).
  const nxString placeholder = nxGetOrgPlaceholderFor(aPeerVersion);
  for (platform::UnicodeStringView form : {kOrgNew, kOrgOld}) {
    if (form == placeholder) continue;
    for (std::size_t p = m.find(form); p != nxString::npos; p = m.find(form, p + placeholder.size()))
      m.replace(p, form.size(), placeholder);
  }
  if (beCustomInfos)
    for (int i = 0; i < beCustomInfos->count(); ++i)
      m += nxEncodeCustomInfoFor(beCustomInfos->names(i), beCustomInfos->valueFromIndex(i), aPeerVersion);
  if (beExceptionData && beExceptionData->Count() > 0)
    m += nxEncodeCustomInfoFor(u"$ExceptionData$", beExceptionData->ToTransportString(aPeerVersion), aPeerVersion);
  return m;
}

nxString EnxBaseException::ErrorCodeString(TnxResult aCode) { return nxGetErrorString(aCode); }

TnxResult EnxBaseException::nxSetMessage(TnxResult aErrorCode, platform::UnicodeStringView aAltMsg) {
  SetLastConvertedException(aErrorCode, nxString(aAltMsg));
  return aErrorCode;
}

TnxResult EnxBaseException::nxSetMessage(TnxResult aErrorCode, platform::UnicodeStringView aAltMsg,
                                         TnxFormatArgs aArgs) {
  SetLastConvertedException(aErrorCode, nxFormatMarkerSafe(aAltMsg, std::span(aArgs.begin(), aArgs.size())));
  return aErrorCode;
}

void EnxBaseException::SetLastConvertedException(TnxResult aErrorCode, const nxString& aCustomMessage) {
  tlsLastConvertedCode = aErrorCode;
  tlsLastConvertedMessage = aCustomMessage;
}

void EnxBaseException::GetLastConvertedException(TnxResult& aErrorCode, nxString& aCustomMessage) {
  aErrorCode = tlsLastConvertedCode;
  aCustomMessage = tlsLastConvertedMessage;
}

void EnxBaseException::SetOSErrorInfos(TnxWord32 aOSError, const nxString& aModule, const nxString& aAction) {
  beOSError = aOSError;
  platform::TStringList& infos = CustomInfos();
  infos.setValue(u"OSError", ascii(std::to_string(aOSError)));
  if (!aAction.empty()) infos.setValue(u"Action", nxUnescapeMarkers(aAction));
  if (aOSError != 0 && !aModule.empty()) infos.setValue(u"Module", aModule);
}

// ------------------------------------------------------ module operations

TnxResult nxCheckErrorCode(TnxResult aCode) {
  if (aCode != 0) throw EnxBaseException(static_cast<std::int64_t>(aCode));
  return 0;
}

nxString nxSystemErrorMessage(TnxWord32 aOSError) {
  char buffer[256];
  const char* text = strerror_r(static_cast<int>(aOSError), buffer, sizeof buffer);
  nxString s = utf8ToText(text);
  while (!s.empty() && (isBlank(s.back()) || s.back() == u'.')) s.pop_back();
  return s;
}

nxString nxOSErrorText(TnxWord32 aOSError, const nxString& aModule, const nxString& aAction) {
  nxString action = aAction;
  takeOutAllMarkers(action, nullptr);
  if (aOSError != 0) {
    const nxString system = nxEscapeMarkers(nxSystemErrorMessage(aOSError));
    if (!action.empty())
      return platform::format(u"Operating system error in %s: %s ($%x/%d)", {action, system, aOSError, aOSError});
    return platform::format(u"Win32 Error in %s.  Code: %d.\n%s",
                            {aModule.empty() ? nxString(u"the engine") : nxEscapeMarkers(aModule), aOSError, system});
  }
  if (!action.empty()) return platform::format(u"A call to an OS function failed in %s", {action});
  return u"A call to an OS function failed.";
}

namespace {
std::atomic<TnxExceptionTextHook> gExceptionTextHook{nullptr};
}  // namespace

void nxSetExceptionTextHook(TnxExceptionTextHook aHook) { gExceptionTextHook.store(aHook); }
TnxExceptionTextHook nxGetExceptionTextHook() { return gExceptionTextHook.load(); }

nxString nxApplyExceptionTextHook(const nxString& aText, InxExceptionForCallback* aException) {
  const TnxExceptionTextHook hook = gExceptionTextHook.load();
  return hook ? hook(aText, aException) : aText;
}

void nxSetThreadExceptionHookInfo(PnxExceptionHookInfo aInfo) { tlsHookInfo = kKeepThreadHookInfo ? aInfo : nullptr; }
PnxExceptionHookInfo nxGetThreadExceptionHookInfo() { return tlsHookInfo; }
bool nxIsExceptionHookSet() { return false; }
void nxCallExceptionHook(const std::exception&, const nxString&) {}

bool nxIsMainThread() { return platform::isMainThread(); }

namespace {

TnxUseCount gExceptionUseCount{0};

void resetPendingMessage() {
  tlsLastConvertedCode = 0;
  tlsLastConvertedMessage.clear();
}

}  // namespace

void nxllExceptionInitialize() {
  if (nxUseCountEnter(gExceptionUseCount)) resetPendingMessage();
}

void nxllExceptionFinalize() {
  if (nxUseCountLeave(gExceptionUseCount)) resetPendingMessage();
}

// ------------------------------------------------------------ data values

PL_CLASS_INFO_IMPL(TnxExceptionDataBaseValue, TnxInterfacedObject, "TnxExceptionDataBaseValue", nullptr)
PL_CLASS_INFO_IMPL(TnxExceptionDataStringValue, TnxExceptionDataBaseValue, "TnxExceptionDataStringValue", nullptr)
PL_CLASS_INFO_IMPL(TnxExceptionDataIntegerValue, TnxExceptionDataBaseValue, "TnxExceptionDataIntegerValue", nullptr)
PL_CLASS_INFO_IMPL(TnxExceptionDataBooleanValue, TnxExceptionDataBaseValue, "TnxExceptionDataBooleanValue", nullptr)
PL_CLASS_INFO_IMPL(TnxExceptionDataFloatValue, TnxExceptionDataBaseValue, "TnxExceptionDataFloatValue", nullptr)
PL_CLASS_INFO_IMPL(TnxExceptionDataVariantValue, TnxExceptionDataBaseValue, "TnxExceptionDataVariantValue", nullptr)
PL_CLASS_INFO_IMPL(TnxExceptionDataContainer, TnxExceptionDataBaseValue, "TnxExceptionDataContainer", nullptr)

nxString TnxExceptionDataBaseValue::AsString() { return AsVariant().toString(); }
std::int64_t TnxExceptionDataBaseValue::AsInt64() { return AsVariant().toInt64(); }
bool TnxExceptionDataBaseValue::AsBoolean() { return AsVariant().toBoolean(); }
double TnxExceptionDataBaseValue::AsFloat() { return AsVariant().toDouble(); }

TnxIntfPtr<InxExceptionDataContainer> TnxExceptionDataBaseValue::AsContainer() {
  throw EnxBaseException(nxErrNotSupported, u"AsContainer not supported for TnxExceptionDataBaseValue");
}

TnxIntfPtr<InxExceptionDataContainer> TnxExceptionDataBaseValue::Parent() {
  return TnxIntfPtr<InxExceptionDataContainer>(beParent);
}

const TnxInterfaceEntry* TnxExceptionDataBaseValue::interfaceTable() const {
  static const TnxInterfaceEntry table[] = {
      {&InxExceptionDataValue::IID,
       [](TnxInterfacedObject* o) -> InxInterface* {
         return static_cast<InxExceptionDataValue*>(
             static_cast<InxExceptionDataValueInternal*>(static_cast<TnxExceptionDataBaseValue*>(o)));
       }},
      {&InxExceptionDataValueInternal::IID,
       [](TnxInterfacedObject* o) -> InxInterface* {
         return static_cast<InxExceptionDataValueInternal*>(static_cast<TnxExceptionDataBaseValue*>(o));
       }},
      {nullptr, nullptr},
  };
  return table;
}

const TnxInterfaceEntry* TnxExceptionDataContainer::interfaceTable() const {
  static const TnxInterfaceEntry table[] = {
      {&InxExceptionDataContainer::IID,
       [](TnxInterfacedObject* o) -> InxInterface* {
         return static_cast<InxExceptionDataContainer*>(static_cast<TnxExceptionDataContainer*>(o));
       }},
      {&InxExceptionDataContainerInternal::IID,
       [](TnxInterfacedObject* o) -> InxInterface* {
         return static_cast<InxExceptionDataContainerInternal*>(static_cast<TnxExceptionDataContainer*>(o));
       }},
      {&InxExceptionDataValue::IID,
       [](TnxInterfacedObject* o) -> InxInterface* {
         return static_cast<InxExceptionDataValue*>(
             static_cast<InxExceptionDataValueInternal*>(static_cast<TnxExceptionDataContainer*>(o)));
       }},
      {&InxExceptionDataValueInternal::IID,
       [](TnxInterfacedObject* o) -> InxInterface* {
         return static_cast<InxExceptionDataValueInternal*>(static_cast<TnxExceptionDataContainer*>(o));
       }},
      {nullptr, nullptr},
  };
  return table;
}

TnxExceptionDataContainer::~TnxExceptionDataContainer() {
  // Children still held elsewhere must not point at a freed parent.
  for (const auto& v : dcValues) static_cast<TnxExceptionDataBaseValue*>(v.get())->beParent = nullptr;
}

TnxIntfPtr<InxExceptionDataContainer> TnxExceptionDataContainer::AsContainer() {
  return TnxIntfPtr<InxExceptionDataContainer>(this);
}

void TnxExceptionDataContainer::Append(TnxExceptionDataBaseValue* aValue) {
  TnxIntfPtr<InxExceptionDataValueInternal> held(aValue);  // frees the value if the push fails
  dcValues.push_back(std::move(held));
}

platform::Variant TnxExceptionDataContainer::AsVariant() {
  throw EnxBaseException(nxErrNotSupported, u"AsVariant not supported by TnxExceptionDataBaseValue");
}

void TnxExceptionDataBaseValue::SaveToWriter(TnxWriter& aWriter, std::int32_t) {
  aWriter.WriteInteger(static_cast<std::int32_t>(GetKind()));
  aWriter.WriteString(beName);
}

void TnxExceptionDataStringValue::SaveToWriter(TnxWriter& aWriter, std::int32_t aVersion) {
  TnxExceptionDataBaseValue::SaveToWriter(aWriter, aVersion);
  aWriter.WriteString(svValue);
}

void TnxExceptionDataIntegerValue::SaveToWriter(TnxWriter& aWriter, std::int32_t aVersion) {
  TnxExceptionDataBaseValue::SaveToWriter(aWriter, aVersion);
  aWriter.WriteInteger(ivValue);
}

void TnxExceptionDataBooleanValue::SaveToWriter(TnxWriter& aWriter, std::int32_t aVersion) {
  TnxExceptionDataBaseValue::SaveToWriter(aWriter, aVersion);
  aWriter.WriteBoolean(bvValue);
}

void TnxExceptionDataFloatValue::SaveToWriter(TnxWriter& aWriter, std::int32_t aVersion) {
  TnxExceptionDataBaseValue::SaveToWriter(aWriter, aVersion);
  aWriter.WriteFloat(platform::Extended::fromDouble(fvValue));
}

void TnxExceptionDataVariantValue::SaveToWriter(TnxWriter& aWriter, std::int32_t aVersion) {
  TnxExceptionDataBaseValue::SaveToWriter(aWriter, aVersion);
  aWriter.WriteVariant(vvValue);
}

void TnxExceptionDataContainer::SaveToWriter(TnxWriter& aWriter, std::int32_t aVersion) {
  TnxExceptionDataBaseValue::SaveToWriter(aWriter, aVersion);
  aWriter.WriteListBegin();
  for (const auto& v : dcValues) v->SaveToWriter(aWriter, aVersion);
  aWriter.WriteListEnd();
}

void TnxExceptionDataBaseValue::DumpLine(int aLevel, const nxString& aText, TnxDumpLineCallback aCallback,
                                         void* aData) const {
  aCallback(nxString(static_cast<std::size_t>(2 * aLevel), u' ') + aText, aData);
}

void TnxExceptionDataStringValue::Dump(int aLevel, TnxDumpLineCallback aLineCallback, void* aCallbackData) {
  const std::vector<nxString> lines = splitLines(svValue);
  if (lines.size() <= 1) return DumpLine(aLevel, beName + u": " + svValue, aLineCallback, aCallbackData);
  DumpLine(aLevel, beName + u":", aLineCallback, aCallbackData);
  for (const nxString& l : lines) DumpLine(aLevel + 1, l, aLineCallback, aCallbackData);
}

void TnxExceptionDataIntegerValue::Dump(int aLevel, TnxDumpLineCallback aLineCallback, void* aCallbackData) {
  const auto u = static_cast<std::uint64_t>(ivValue);
  char hex[80];
  if ((u >> 32) == 0)
    std::snprintf(hex, sizeof hex, "%08llX", static_cast<unsigned long long>(u));
  else
    std::snprintf(hex, sizeof hex, "%016llX, %d:%u", static_cast<unsigned long long>(u),
                  static_cast<int>(static_cast<std::int32_t>(u >> 32)), static_cast<unsigned>(u & 0xFFFFFFFFu));
  DumpLine(aLevel, beName + u": " + ascii(std::to_string(ivValue)) + u" ($" + ascii(hex) + u")", aLineCallback,
           aCallbackData);
}

void TnxExceptionDataBooleanValue::Dump(int aLevel, TnxDumpLineCallback aLineCallback, void* aCallbackData) {
  DumpLine(aLevel, beName + u": " + (bvValue ? u"True" : u"False"), aLineCallback, aCallbackData);
}

void TnxExceptionDataFloatValue::Dump(int aLevel, TnxDumpLineCallback aLineCallback, void* aCallbackData) {
  DumpLine(aLevel, beName + u": " + platform::floatToStr(static_cast<long double>(fvValue)), aLineCallback,
           aCallbackData);
}

void TnxExceptionDataVariantValue::Dump(int aLevel, TnxDumpLineCallback aLineCallback, void* aCallbackData) {
  using namespace platform;
  nxString text;
  if (vvValue.isNull()) {
    text = u"NULL";
  } else if (vvValue.isEmpty()) {
    text = u"EMPTY";
  } else {
    try {
      if (vvValue.type() == varOleStr || vvValue.type() == varString) {
        text = u"'";
        for (char16_t c : vvValue.toString()) {
          if (c == u'\'') text += u'\'';
          text += c;
        }
        text += u'\'';
      } else {
        text = varToStr(vvValue);
      }
    } catch (const std::exception& e) {
      text = u"[Error: " + exceptionText(e) + u"]";
    }
  }
  DumpLine(aLevel, beName + u": " + text, aLineCallback, aCallbackData);
}

void TnxExceptionDataContainer::Dump(int aLevel, TnxDumpLineCallback aLineCallback, void* aCallbackData) {
  DumpLine(aLevel, beName + u":", aLineCallback, aCallbackData);
  for (const auto& v : dcValues) v->Dump(aLevel + 1, aLineCallback, aCallbackData);
}

nxString TnxExceptionDataBaseValue::ToString() {
  nxString out;
  Dump(
      0,
      [](const nxString& aLine, void* aData) {
        auto& o = *static_cast<nxString*>(aData);
        o += aLine;
        o += u"\r\n";
      },
      &out);
  return out;
}

nxString TnxExceptionDataBaseValue::ToTransportString(std::int32_t aVersion) {
  TnxAnsiStringStream stream;
  {
    TnxWriter writer(stream);
    writer.WriteIdent(u"EDV");
    writer.WriteInteger(aVersion);
    SaveToWriter(writer, aVersion);
    writer.FlushBuffer();
  }
  return ascii(StrToBase64(stream.DataString()));
}

void TnxExceptionDataContainer::AddString(const nxString& aName, const nxString& aValue) {
  Append(platform::create<TnxExceptionDataStringValue>(aName, this, aValue));
}
void TnxExceptionDataContainer::AddInt64(const nxString& aName, std::int64_t aValue) {
  Append(platform::create<TnxExceptionDataIntegerValue>(aName, this, aValue));
}
void TnxExceptionDataContainer::AddBoolean(const nxString& aName, bool aValue) {
  Append(platform::create<TnxExceptionDataBooleanValue>(aName, this, aValue));
}
void TnxExceptionDataContainer::AddFloat(const nxString& aName, double aValue) {
  Append(platform::create<TnxExceptionDataFloatValue>(aName, this, aValue));
}
void TnxExceptionDataContainer::AddVariant(const nxString& aName, const platform::Variant& aValue) {
  Append(platform::create<TnxExceptionDataVariantValue>(aName, this, aValue));
}

TnxIntfPtr<InxExceptionDataContainer> TnxExceptionDataContainer::AddContainer(const nxString& aName) {
  auto* c = platform::create<TnxExceptionDataContainer>(aName, this, nullptr);
  Append(c);
  return TnxIntfPtr<InxExceptionDataContainer>(c);
}

void TnxExceptionDataContainer::AddObject(const nxString& aName, platform::TObject* aObject, bool aFlag) {
  if (!aObject) return;
  int distance = 1;
  for (const TnxExceptionDataBaseValue* a = beParent; a; a = a->beParent, ++distance) {
    const auto* ac = static_cast<const TnxExceptionDataContainer*>(a);
    if (ac->dcForObject == aObject) {
      AddString(aName, u"[Omitted to prevent cycle. Object already present " + ascii(std::to_string(distance)) +
                           u" step up in history.]");
      return;
    }
    if (std::find(ac->dcExcludedObjects.begin(), ac->dcExcludedObjects.end(), aObject) !=
        ac->dcExcludedObjects.end()) {
      AddString(aName, u"[Excluded]");
      return;
    }
  }
  // An object that implements the interface itself is used as it is (no
  // reference taken: it may not be counted, and it stays the caller's); an
  // engine object may also answer it through its interface table.
  InxExceptionData* describable = dynamic_cast<InxExceptionData*>(aObject);
  TnxIntfPtr<InxExceptionData> queried;
  if (!describable) {
    if (auto* io = dynamic_cast<TnxInterfacedObject*>(aObject); io && io->RefCount() > 0) {
      queried = nxSupports<InxExceptionData>(io);
      describable = queried.get();
    }
  }
  if (describable) {
    auto* child = platform::create<TnxExceptionDataContainer>(aName, this, aObject);
    Append(child);
    describable->AddDebugInfo(TnxIntfPtr<InxExceptionDataContainer>(child), aFlag);
  } else if (auto* list = platform::objectAs<platform::TStringList>(aObject)) {
    auto* child = platform::create<TnxExceptionDataContainer>(aName, this, aObject);
    Append(child);
    for (int i = 0; i < list->count(); ++i) {
      const nxString& line = list->strings(i);
      const std::size_t eq = line.find(u'=');
      const nxString name =
          eq != nxString::npos && eq >= 1 ? line.substr(0, eq) : u"[" + ascii(std::to_string(i)) + u"]";
      child->AddString(name, eq == nxString::npos ? line : line.substr(eq + 1));
    }
  } else {
    AddString(aName, utf8ToText(aObject->className()));
  }
}

TnxIntfPtr<InxExceptionDataValue> TnxExceptionDataContainer::Values(std::int32_t aIndex) {
  if (aIndex < 0 || aIndex >= Count()) throw platform::RangeError("Range check error");
  return TnxIntfPtr<InxExceptionDataValue>(dcValues[static_cast<std::size_t>(aIndex)].get());
}

namespace {

TnxIntfPtr<InxExceptionDataValueInternal> held(TnxExceptionDataBaseValue* aValue) {
  return TnxIntfPtr<InxExceptionDataValueInternal>(aValue);
}

}  // namespace

TnxIntfPtr<InxExceptionDataValueInternal> TnxExceptionDataContainer::ReadValue(TnxReader& aReader, TnxExceptionDataContainer* aParent,
                                                           std::int32_t aVersion, int aDepth) {
  if (aDepth > nxMaxExceptionDataDepth)
    throw EnxBaseException(nxErrIncompatibleStream, u"<[!Org!]> Exception data nested deeper than %d levels",
                           {nxMaxExceptionDataDepth});
  const std::int32_t kind = aReader.ReadInteger() & 0x7F;
  nxString name = aReader.ReadString();
  switch (kind) {
    case edkString: {
      nxString v = aReader.ReadString();
      return held(platform::create<TnxExceptionDataStringValue>(std::move(name), aParent, v));
    }
    case edkInteger: {
      const std::int64_t v = aReader.ReadInt64();
      return held(platform::create<TnxExceptionDataIntegerValue>(std::move(name), aParent, v));
    }
    case edkBoolean: {
      const bool v = aReader.ReadBoolean();
      return held(platform::create<TnxExceptionDataBooleanValue>(std::move(name), aParent, v));
    }
    case edkFloat: {
      const double v = aReader.ReadFloat().toDouble();
      return held(platform::create<TnxExceptionDataFloatValue>(std::move(name), aParent, v));
    }
    case edkVariant: {
      platform::Variant v = aReader.ReadVariant();
      return held(platform::create<TnxExceptionDataVariantValue>(std::move(name), aParent, v));
    }
    case edkContainer: {
      auto* c = platform::create<TnxExceptionDataContainer>(std::move(name), aParent, nullptr);
      TnxIntfPtr<InxExceptionDataValueInternal> result = held(c);
      aReader.ReadListBegin();
      while (!aReader.EndOfList()) c->dcValues.push_back(ReadValue(aReader, c, aVersion, aDepth + 1));
      aReader.ReadListEnd();
      return result;
    }
    default:
      throw EnxBaseException(nxErrIncompatibleStream, u"<[!Org!]> Unknown exception data kind %d", {kind});
  }
}

TnxIntfPtr<InxExceptionDataContainer> nxCreateExceptionDataContainer(const nxString& aName,
                                                                     platform::TObject* aForObject,
                                                                     const TnxDynObjectArray& aExcludedObjects) {
  return TnxIntfPtr<InxExceptionDataContainer>(
      platform::create<TnxExceptionDataContainer>(aName, nullptr, aForObject, aExcludedObjects));
}

TnxIntfPtr<InxExceptionDataValue> nxExceptionDataFromString(platform::UnicodeStringView aText) {
  std::string text(aText.size(), '\0');
  std::transform(aText.begin(), aText.end(), text.begin(),
                 [](char16_t c) { return static_cast<char>(c < 256 ? c : '?'); });
  TnxAnsiStringStream stream(Base64ToStr(text));
  TnxReader reader(stream);
  const nxString ident = reader.ReadIdent();
  if (ident.size() != 3 || (ident[0] | 0x20) != u'e' || (ident[1] | 0x20) != u'd' || (ident[2] | 0x20) != u'v')
    throw EnxBaseException(nxErrIncompatibleStream);
  const std::int32_t version = reader.ReadInteger();
  return TnxIntfPtr<InxExceptionDataValue>(TnxExceptionDataContainer::ReadValue(reader, nullptr, version).get());
}

// ---- Names and messages of any exception ---------------------------------------

nxString nxExceptionMessage(const std::exception& aException) {
  if (const auto* e = dynamic_cast<const EnxBaseException*>(&aException)) return e->DisplayMessage();
  return platform::fromUtf8(aException.what());
}

std::string nxExceptionClassName(const std::exception& aException) {
  if (const auto* e = dynamic_cast<const EnxBaseException*>(&aException)) return std::string(e->className());
  int status = 0;
  char* demangled = abi::__cxa_demangle(typeid(aException).name(), nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : typeid(aException).name();
  std::free(demangled);
  return name;
}

// ---- Assertions ----------------------------------------------------------------

void nxAssertionFailed(std::string_view aText, std::string_view aModule, int aLine) {
  std::string text = "Assertion failed: ";
  text.append(aText).append(" (").append(aModule).append(", line ").append(std::to_string(aLine)).append(")");
  throw platform::AssertionFailed(text);
}
