#include "nxsdServerEngine.h"
#include "nxsdServerEngineInt.h"

#include "nxllBde.h"
#include "nxllConvertException.h"
#include "nxllException.h"
#include "nxllUtils.h"

PL_CLASS_INFO_IMPL(TnxAliasDescriptor, TnxObject, "TnxAliasDescriptor", nullptr)

namespace {

constexpr char16_t kSeparator = u':';

// Exactly aCount leading '#', then one character that is not '#'.
bool hasHashPrefix(platform::UnicodeStringView aName, std::size_t aCount) {
  if (aName.size() < aCount + 1) return false;
  for (std::size_t i = 0; i < aCount; ++i)
    if (aName[i] != u'#') return false;
  return aName[aCount] != u'#';
}

void splitAtSeparator(nxString aText, nxString& aHead, nxString& aRest) {
  const auto p = aText.find(kSeparator);
  if (p == nxString::npos) {
    aHead = aText;
    aRest.clear();
  } else {
    aHead = aText.substr(0, p);
    aRest = aText.substr(p + 1);
  }
}

}  // namespace

bool nxIsInMemoryTableName(platform::UnicodeStringView aName) {
  if (aName.size() >= 3 && aName.front() == u'<' && aName.back() == u'>') return true;
  return hasHashPrefix(aName, 3);
}

bool nxIsGlobalTempTableName(platform::UnicodeStringView aName) { return hasHashPrefix(aName, 2); }

bool nxIsLocalTempTableName(platform::UnicodeStringView aName) { return hasHashPrefix(aName, 1); }

TnxResult nxCheckTableName(const nxString& aName, bool aEmptyIsNotFound, bool aAllowSystem) {
  TnxResult result;
  const auto p = aName.find(kSeparator);
  if (p != nxString::npos && p + 1 < aName.size())
    result = EnxBaseException::nxSetMessage(nxErrInvalidTableName,
                                            nxGetOrgPlaceholder() + u" Child name separators \":\" are not allowed.");
  else if (aName.size() > 2 && aName.front() == u'<' && aName.back() == u'>')
    result = nxValidateIdentifier(aName.substr(1, aName.size() - 2), nxErrInvalidTableName, false, aAllowSystem);
  else
    result = nxValidateIdentifier(aName, nxErrInvalidTableName, false, aAllowSystem);
  if (result != 0 && aEmptyIsNotFound && aName.empty()) result = nxErrNoSuchTable;
  return result;
}

TnxResult nxCheckChildTableNames(const nxString& aChildPath) {
  // Iterative form of "check the head, then the rest the same way".
  nxString rest = aChildPath, head;
  for (;;) {
    splitAtSeparator(rest, head, rest);
    if (head != u"." && head != u"..") {
      const TnxResult result = nxValidateIdentifier(head, nxErrInvalidTableName, false, true);
      if (result != 0) return result;
    }
    if (rest.empty()) return 0;
  }
}

TnxResult nxCheckTableNameWithChild(const nxString& aName, bool aEmptyIsNotFound, bool aAllowSystem) {
  nxString root, rest;
  splitAtSeparator(aName, root, rest);
  TnxResult result = nxCheckTableName(root, false, aAllowSystem);
  if (result == 0 && !rest.empty()) result = nxCheckChildTableNames(rest);
  if (result != 0 && aEmptyIsNotFound && aName.empty()) result = nxErrNoSuchTable;
  return result;
}

TnxResult nxCheckAliasName(const nxString& aAlias, bool aEmptyIsNotFound) {
  TnxResult result = nxValidateIdentifier(aAlias, nxErrInvalidAliasName, false, true);
  if (result != 0 && aEmptyIsNotFound && aAlias.empty()) result = nxErrUnknownDatabase;
  return result;
}

TnxResult nxCheckObjectName(const nxString& aName, bool aEmptyIsNotFound) {
  TnxResult result = nxValidateIdentifier(aName, nxErrInvalidName, false, true);
  if (result != 0 && aEmptyIsNotFound && aName.empty()) result = nxErrObjectNotFound;
  return result;
}
