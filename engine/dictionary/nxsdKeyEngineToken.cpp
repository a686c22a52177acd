#include "nxsdKeyEngineToken.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "nxllBde.h"
#include "nxllLockedFuncs.h"
#include "nxllUtils.h"
#include "plCollation.h"
#include "plString.h"

PL_CLASS_INFO_IMPL_TABLE(TnxBitArrayTokenKeyEngine, TnxBaseKeyEngine, "TnxBitArrayTokenKeyEngine", nullptr,
                         platform::bindClassTable(nxKeyEngineFuncs<TnxBitArrayTokenKeyEngine>))
PL_CLASS_INFO_IMPL_TABLE(TnxMainIndexTokenKeyEngine, TnxBaseKeyEngine, "TnxMainIndexTokenKeyEngine", nullptr,
                         platform::bindClassTable(nxKeyEngineFuncs<TnxMainIndexTokenKeyEngine>))

namespace {

std::uint16_t loadUnit(const void* aKey, std::int32_t aUnit) {
  std::uint16_t v;
  std::memcpy(&v, static_cast<const std::uint8_t*>(aKey) + 2 * aUnit, 2);
  return v;
}

void storeUnit(void* aKey, std::int32_t aUnit, std::uint16_t aValue) {
  std::memcpy(static_cast<std::uint8_t*>(aKey) + 2 * aUnit, &aValue, 2);
}

bool isHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Units of aToken kept in a key of aMax units: never half a pair.
std::int32_t keptLength(const TnxWideString& aToken, std::int32_t aMax) {
  std::int32_t c = static_cast<std::int32_t>(std::min<std::size_t>(aToken.size(), static_cast<std::size_t>(aMax)));
  if (c > 0 && isHighSurrogate(aToken[static_cast<std::size_t>(c - 1)])) --c;
  return c;
}

nxString tokenText(const std::uint8_t* aUnits, std::int32_t aCount) {
  nxString s(static_cast<std::size_t>(aCount), u'\0');
  std::memcpy(s.data(), aUnits, static_cast<std::size_t>(aCount) * 2);
  return s;
}

// Two non-empty tokens: with a locale CompareStringW, else bytes in memory
// order over the shorter one, then the shorter first.
TValueRelationship compareTokens(const std::uint8_t* a, std::int32_t c1, const std::uint8_t* b, std::int32_t c2,
                                 std::uint32_t aLocale, std::uint32_t aFlags) {
  if (aLocale != 0)
    return static_cast<TValueRelationship>(
        platform::compareString(aLocale, aFlags, tokenText(a, c1), tokenText(b, c2)));
  const std::int8_t r = nxCompareBytes(a, b, static_cast<std::size_t>(std::min(c1, c2)) * 2);
  if (r != 0) return r;
  return c1 < c2 ? -1 : (c1 > c2 ? 1 : 0);
}

template <class D>
D& descriptorOf(TnxBaseKeyDescriptor* aDescriptor) {
  auto* d = platform::objectAs<D>(aDescriptor);
  if (!d) throw platform::ConvertError("Invalid class typecast");
  return *d;
}

// Refuses a size no key can have before any buffer is made.
template <class D>
D& checkedDescriptor(TnxBaseKeyDescriptor* aDescriptor) {
  D& d = descriptorOf<D>(aDescriptor);
  if (d.MaxTokenSize() < 0) throw EnxBaseKeyEngineException(nxErrKeyTooLarge);
  return d;
}

}  // namespace

// ===========================================================================
// TnxBitArrayTokenKeyEngine

TnxBitArrayTokenKeyEngine::TnxBitArrayTokenKeyEngine(TnxBaseKeyDescriptor* aDescriptor)
    : TnxBaseKeyEngine((checkedDescriptor<TnxBitArrayTokenKeyDescriptor>(aDescriptor), aDescriptor)) {
  auto& d = descriptorOf<TnxBitArrayTokenKeyDescriptor>(aDescriptor);
  batkePerField = d.PerFieldIndex();
  batkeMaxTokenSize = d.MaxTokenSize();
  batkeReverse = d.Reverse();
  batkeLocale = d.Locale();
  batkeFlags = d.Flags();
}

void TnxBitArrayTokenKeyEngine::CheckValidDescriptor(TnxBaseKeyDescriptor* aDescriptor) {
  TnxBaseKeyEngine::CheckValidDescriptor(aDescriptor);
  checkedDescriptor<TnxBitArrayTokenKeyDescriptor>(aDescriptor);
}

std::int32_t TnxBitArrayTokenKeyEngine::TokenLength(const void* aKey) const {
  return std::min<std::int32_t>(loadUnit(aKey, 1), batkeMaxTokenSize);
}

void TnxBitArrayTokenKeyEngine::InternalBuildKey(std::uint16_t aSegment, const TnxWideString& aToken,
                                                 std::int16_t aField, void* aKey) {
  storeUnit(aKey, 0, aSegment);
  const std::int32_t c = keptLength(aToken, batkeMaxTokenSize);
  storeUnit(aKey, 1, static_cast<std::uint16_t>(c));
  if (!batkeReverse) {
    if (c > 0) std::memcpy(static_cast<std::uint8_t*>(aKey) + 4, aToken.data(), static_cast<std::size_t>(c) * 2);
  } else {
    std::int32_t i = 0;
    while (i < c) {
      if (i + 1 < c && isHighSurrogate(aToken[static_cast<std::size_t>(i)]) &&
          isLowSurrogate(aToken[static_cast<std::size_t>(i + 1)])) {
        storeUnit(aKey, 2 + c - 2 - i, aToken[static_cast<std::size_t>(i)]);
        storeUnit(aKey, 2 + c - 1 - i, aToken[static_cast<std::size_t>(i + 1)]);
        i += 2;
      } else {
        storeUnit(aKey, 2 + c - 1 - i, aToken[static_cast<std::size_t>(i)]);
        ++i;
      }
    }
  }
  if (batkePerField) storeUnit(aKey, 2 + batkeMaxTokenSize, static_cast<std::uint16_t>(aField));
}

void TnxBitArrayTokenKeyEngine::ClearKey(void* aKey) { std::memset(aKey, 0, bkeKeyLength); }

TnxResult TnxBitArrayTokenKeyEngine::BuildKey(const void* /*aRecord*/, void* /*aKey*/, TnxRefNr /*aRefNr*/,
                                              bool /*aIgnoreFilter*/) {
  return EnxBaseException::nxSetMessage(nxErrNotSupported, u"BuildKey is not supported by %s",
                                        {nxString(u"TnxBitArrayTokenKeyEngine")});
}

TValueRelationship TnxBitArrayTokenKeyEngine::CompareKey(const void* aKey1, const void* aKey2,
                                                         std::int32_t /*aFieldCount*/,
                                                         std::int32_t /*aPartialLen*/) {
  const std::uint16_t s1 = loadUnit(aKey1, 0), s2 = loadUnit(aKey2, 0);
  if (s1 != s2) return s1 < s2 ? -1 : 1;
  const std::int32_t c1 = TokenLength(aKey1), c2 = TokenLength(aKey2);
  if (c1 == 0) {
    if (c2 != 0) return -1;
  } else if (c2 == 0) {
    return 1;
  } else {
    const TValueRelationship r = compareTokens(static_cast<const std::uint8_t*>(aKey1) + 4, c1,
                                               static_cast<const std::uint8_t*>(aKey2) + 4, c2, batkeLocale,
                                               batkeFlags);
    if (r != 0) return r;
  }
  if (!batkePerField) return 0;
  const auto f1 = static_cast<std::int16_t>(loadUnit(aKey1, 2 + batkeMaxTokenSize));
  const auto f2 = static_cast<std::int16_t>(loadUnit(aKey2, 2 + batkeMaxTokenSize));
  return f1 < f2 ? -1 : (f1 > f2 ? 1 : 0);
}

platform::Variant TnxBitArrayTokenKeyEngine::KeyAsVariant(const void* aKey, std::int32_t aField) {
  const std::int32_t count = batkePerField ? 3 : 2;
  if (aField < -1 || aField >= count) throw EnxBaseException(nxErrInvalidDescNumber);
  if (!aKey) return platform::Variant::null();
  const auto value = [&](std::int32_t i) -> platform::Variant {
    switch (i) {
      case 0:
        return platform::Variant::fromWord(loadUnit(aKey, 0));
      case 1: {
        const std::int32_t c = TokenLength(aKey);
        if (c == 0) return platform::Variant::null();
        return platform::Variant(tokenText(static_cast<const std::uint8_t*>(aKey) + 4, c));
      }
      default:
        return platform::Variant::fromSmallint(static_cast<std::int16_t>(loadUnit(aKey, 2 + batkeMaxTokenSize)));
    }
  };
  if (aField >= 0) return value(aField);
  platform::Variant result = platform::Variant::createArray(0, count - 1, platform::varVariant);
  for (std::int32_t i = 0; i < count; ++i) result.arrayPut(i, value(i));
  return result;
}

// ===========================================================================
// TnxMainIndexTokenKeyEngine

std::int32_t TnxTokenLocationField::QueryInterface(const platform::Guid& aIID, void** aObj) {
  if (aIID == InxFieldDescriptor2::IID) {
    *aObj = static_cast<InxFieldDescriptor2*>(this);
    return nxS_OK;
  }
  if (aIID == InxFieldDescriptor::IID) {
    *aObj = static_cast<InxFieldDescriptor*>(this);
    return nxS_OK;
  }
  *aObj = nullptr;
  return nxE_NOINTERFACE;
}

namespace {
TnxLocaleDescriptor* tokenLocale(TnxMainIndexTokenKeyDescriptor& d) {
  if (d.Locale() == 0) return nullptr;
  TnxLocaleDescriptor* locale = platform::create<TnxLocaleDescriptor>(nullptr);
  try {
    locale->SetLocale(d.Locale());
    locale->SetFlags(d.Flags());
  } catch (...) {
    platform::TObject::free(locale);
    throw;
  }
  return locale;
}
}  // namespace

TnxMainIndexTokenKeyEngine::TnxMainIndexTokenKeyEngine(TnxBaseKeyDescriptor* aDescriptor)
    : TnxBaseKeyEngine((checkedDescriptor<TnxMainIndexTokenKeyDescriptor>(aDescriptor), aDescriptor)),
      mitkeMaxTokenSize(descriptorOf<TnxMainIndexTokenKeyDescriptor>(aDescriptor).MaxTokenSize()),
      mitkeIncludeLocation(descriptorOf<TnxMainIndexTokenKeyDescriptor>(aDescriptor).IncludeLocation()),
      mitkeLocale(descriptorOf<TnxMainIndexTokenKeyDescriptor>(aDescriptor).Locale()),
      mitkeFlags(descriptorOf<TnxMainIndexTokenKeyDescriptor>(aDescriptor).Flags()),
      mitkeLocaleDescriptor(tokenLocale(descriptorOf<TnxMainIndexTokenKeyDescriptor>(aDescriptor))),
      mitkeTokenField{TnxKeyPseudoField(u"Token", nxtWideString, mitkeMaxTokenSize, 2, mitkeLocaleDescriptor)},
      mitkeLocationField(mitkeLocaleDescriptor) {}

TnxMainIndexTokenKeyEngine::~TnxMainIndexTokenKeyEngine() { nxFreeAndNil(mitkeLocaleDescriptor); }

void TnxMainIndexTokenKeyEngine::CheckValidDescriptor(TnxBaseKeyDescriptor* aDescriptor) {
  TnxBaseKeyEngine::CheckValidDescriptor(aDescriptor);
  checkedDescriptor<TnxMainIndexTokenKeyDescriptor>(aDescriptor);
}

std::int32_t TnxMainIndexTokenKeyEngine::TokenLength(const void* aKey) const {
  return std::min<std::int32_t>(loadUnit(aKey, 0), mitkeMaxTokenSize);
}

void TnxMainIndexTokenKeyEngine::InternalBuildKey(const TnxWideString& aToken, std::uint32_t aLocation, void* aKey) {
  if (mitkeIncludeLocation)
    std::memcpy(static_cast<std::uint8_t*>(aKey) + bkeKeyLength - 4, &aLocation, sizeof aLocation);
  const std::int32_t c = keptLength(aToken, mitkeMaxTokenSize);
  storeUnit(aKey, 0, static_cast<std::uint16_t>(c));
  if (c > 0) std::memcpy(static_cast<std::uint8_t*>(aKey) + 2, aToken.data(), static_cast<std::size_t>(c) * 2);
}

bool TnxMainIndexTokenKeyEngine::GetFieldForFilter(std::int32_t aField, const char* aName, const void* aData,
                                                   std::uint16_t& aType, std::uint16_t& aSize, bool& aIsNull,
                                                   const void*& aValue, std::uint16_t& aCodePage) {
  if (aName) aField = GetFieldFromName(platform::fromUtf8(aName));
  if (aField < 0 || aField >= GetFieldCount()) return false;
  aCodePage = 0;
  aIsNull = aData == nullptr;
  aValue = nullptr;
  const auto* key = static_cast<const std::uint8_t*>(aData);
  if (aField == 0) {
    aType = nxtWideString;
    aSize = static_cast<std::uint16_t>(mitkeMaxTokenSize);
    if (key) {
      const std::int32_t c = TokenLength(key);
      aSize = static_cast<std::uint16_t>(c);
      if (c == 0)
        aIsNull = true;
      else
        aValue = key + 2;
    }
  } else {
    aType = nxtAutoInc;
    aSize = 4;
    if (key) aValue = key + bkeKeyLength - 4;
  }
  return true;
}

std::int32_t TnxMainIndexTokenKeyEngine::GetFieldFromName(const nxString& aFieldName) {
  if (platform::sameTextAscii(aFieldName, u"Token")) return 0;
  if (mitkeIncludeLocation && platform::sameTextAscii(aFieldName, u"Location")) return 1;
  return -1;
}

InxFieldDescriptor* TnxMainIndexTokenKeyEngine::GetFieldDescriptor(std::int32_t aIndex) {
  if (aIndex == 0) return &mitkeTokenField[0];
  if (aIndex == 1 && mitkeIncludeLocation) return &mitkeLocationField;
  return nullptr;
}

void TnxMainIndexTokenKeyEngine::ClearKey(void* aKey) { std::memset(aKey, 0, bkeKeyLength); }

TnxResult TnxMainIndexTokenKeyEngine::BuildKey(const void* /*aRecord*/, void* /*aKey*/, TnxRefNr /*aRefNr*/,
                                               bool /*aIgnoreFilter*/) {
  return 1;
}

TValueRelationship TnxMainIndexTokenKeyEngine::CompareKey(const void* aKey1, const void* aKey2,
                                                          std::int32_t /*aFieldCount*/, std::int32_t aPartialLen) {
  std::int32_t c1 = TokenLength(aKey1), c2 = TokenLength(aKey2);
  if (aPartialLen > 0) {
    c1 = std::min(c1, aPartialLen);
    c2 = std::min(c2, aPartialLen);
  }
  if (c1 <= 0) return c2 > 0 ? -1 : 0;
  if (c2 <= 0) return 1;
  return compareTokens(static_cast<const std::uint8_t*>(aKey1) + 2, c1, static_cast<const std::uint8_t*>(aKey2) + 2,
                       c2, mitkeLocale, mitkeFlags);
}

platform::Variant TnxMainIndexTokenKeyEngine::KeyAsVariant(const void* aKey, std::int32_t aField) {
  if (aField < -1 || aField > GetFieldCount() - 1) throw EnxBaseException(nxErrInvalidDescNumber);
  platform::Variant result = platform::Variant::null();
  if (!aKey) return result;
  if (aField <= 0) {
    const std::int32_t c = TokenLength(aKey);
    if (c > 0) result = platform::Variant(tokenText(static_cast<const std::uint8_t*>(aKey) + 2, c));
  } else {
    std::uint32_t location;
    std::memcpy(&location, static_cast<const std::uint8_t*>(aKey) + bkeKeyLength - 4, sizeof location);
    result = platform::Variant::fromLongWord(location);
  }
  return result;
}

// ===========================================================================
// Start-up

namespace {
TnxUseCount gKeyEngineTokenUseCount{0};

void unregisterKeyEngineTokenClasses() noexcept {
  TnxEngineClass<TnxMainIndexTokenKeyEngine>::Unregister();
  TnxEngineClass<TnxBitArrayTokenKeyEngine>::Unregister();
}
}  // namespace

void nxsdKeyEngineTokenInitialize() {
  if (!nxUseCountEnter(gKeyEngineTokenUseCount)) return;
  try {
    TnxEngineClass<TnxBitArrayTokenKeyEngine>::Register();
    TnxEngineClass<TnxMainIndexTokenKeyEngine>::Register();
  } catch (...) {
    unregisterKeyEngineTokenClasses();
    nxUseCountLeave(gKeyEngineTokenUseCount);
    throw;
  }
}

void nxsdKeyEngineTokenFinalize() {
  if (nxUseCountLeave(gKeyEngineTokenUseCount)) unregisterKeyEngineTokenClasses();
}
