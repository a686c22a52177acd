#include "nxsdKeyEngineBase.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "nxllBde.h"
#include "nxllLockedFuncs.h"
#include "plString.h"

NX_IMPLEMENT_EXCEPTION(EnxBaseKeyEngineException, EnxBaseException)

namespace {

TnxClassList gKeyEngines = nullptr;
TnxUseCount gKeyEngineBaseUseCount{0};

void checkKeyLength(TnxBaseKeyDescriptor* aDescriptor) {
  if (aDescriptor->KeyLen() > nxMaxKeyLength) throw EnxBaseKeyEngineException(nxErrKeyTooLarge);
}

const TnxKeyEngineClassFuncs* findFuncs(TnxBaseKeyDescriptor* aDescriptor, std::string& aEngineName) {
  aEngineName = nxDescriptorToEngineName(aDescriptor->className(), "Engine");
  const platform::ClassInfo* cls = nxFindClassIn(TnxBaseKeyEngine::GetList(), aEngineName);
  return cls ? cls->table<TnxKeyEngineClassFuncs>() : nullptr;
}

constexpr const char16_t* kUnknownEngine = u"Unknown %s engine: \"%s\"";

const TnxKeyEngineClassFuncs& lookup(TnxBaseKeyDescriptor* aDescriptor) {
  std::string name;
  const TnxKeyEngineClassFuncs* funcs = findFuncs(aDescriptor, name);
  if (!funcs)
    throw EnxBaseKeyEngineException(nxErrUnsupportedSubEngine, kUnknownEngine,
                                    {nxString(u"Key"), platform::fromUtf8(name)});
  return *funcs;
}

// One variant per key field (a byte array is one value).
bool isFieldArray(const platform::Variant& aValue) {
  return aValue.type() == (platform::varArray | platform::varVariant);
}

nxString quoted(const nxString& aText) {
  nxString s = u"'";
  for (char16_t c : aText) {
    if (c == u'\'') s += u'\'';
    s += c;
  }
  return s + u"'";
}

nxString render(const platform::Variant& aValue) {
  if (aValue.isNull()) return u"NULL";
  if (aValue.isEmpty()) return u"EMPTY";
  if (aValue.type() == platform::varOleStr || aValue.type() == platform::varString) return quoted(aValue.toString());
  try {
    return aValue.toString();
  } catch (const std::exception& e) {
    return u"[Error: " + platform::fromUtf8(e.what()) + u"]";
  }
}

}  // namespace

PL_CLASS_INFO_IMPL(TnxBaseKeyEngine, TnxBaseRegisterableEngine, "TnxBaseKeyEngine", nullptr)

class TnxBaseKeyEngine::ScopedKey {
 public:
  explicit ScopedKey(TnxBaseKeyEngine& aEngine) : engine_(aEngine), key_(aEngine.AllocKey()) {}
  ~ScopedKey() { engine_.FreeKey(key_); }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;
  PnxKeyBuffer get() const { return key_; }

 private:
  TnxBaseKeyEngine& engine_;
  PnxKeyBuffer key_;
};

TnxClassList& TnxBaseKeyEngine::GetList() { return gKeyEngines; }

TnxBaseKeyEngine::TnxBaseKeyEngine(TnxBaseKeyDescriptor* aDescriptor) : bkeKeyDescriptor(aDescriptor) {
  checkKeyLength(aDescriptor);
  bkeKeyLength = static_cast<std::uint16_t>(aDescriptor->KeyLen());
  bkeMemoryPool = nxGetPool(std::max<std::size_t>(bkeKeyLength, 1));
  if (TnxBaseFilterDescriptor* filter = aDescriptor->Filter()) {
    TnxDictionaryItem* found = nullptr;
    TnxIntfPtr<InxFieldsSource> source;
    if (aDescriptor->FindRelatedDescriptorOfType(TnxFieldsDescriptor::staticClassInfo(), found, nullptr) && found)
      source = TnxIntfPtr<InxFieldsSource>(static_cast<TnxFieldsDescriptor*>(found));
    bkeFilter.reset(TnxBaseFilterEngine::CreateFor(filter, source));
    bkeFilter->SetActive(true);
  }
}

TnxBaseKeyEngine::~TnxBaseKeyEngine() = default;

TnxBaseKeyEngine* TnxBaseKeyEngine::CreateFor(TnxBaseKeyDescriptor* aDescriptor) {
  return lookup(aDescriptor).create(aDescriptor);
}

TnxResult TnxBaseKeyEngine::TryCreateFor(TnxBaseKeyDescriptor* aDescriptor, TnxBaseKeyEngine*& aKeyEngine) {
  aKeyEngine = nullptr;
  std::string name;
  const TnxKeyEngineClassFuncs* funcs = findFuncs(aDescriptor, name);
  if (!funcs)
    return EnxBaseException::nxSetMessage(nxErrUnsupportedSubEngine, kUnknownEngine,
                                          {nxString(u"Key"), platform::fromUtf8(name)});
  aKeyEngine = funcs->create(aDescriptor);
  return 0;
}

void TnxBaseKeyEngine::CheckValidBaseFromDescriptor(TnxBaseKeyDescriptor* aDescriptor) {
  const TnxKeyEngineClassFuncs& funcs = lookup(aDescriptor);
  checkKeyLength(aDescriptor);
  funcs.checkValidDescriptor(aDescriptor);
}

void TnxBaseKeyEngine::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer, bool aFlag) {
  TnxBaseRegisterableEngine::AddDebugInfo(aContainer, aFlag);
  aContainer->AddInt64(u"KeyLength", bkeKeyLength);
  const std::int32_t count = GetFieldCount();
  if (count > 0) {
    TnxIntfPtr<InxExceptionDataContainer> fields = aContainer->AddContainer(u"Fields");
    for (std::int32_t i = 0; i < count; ++i) {
      InxFieldDescriptor* field = GetFieldDescriptor(i);
      if (field) fields->AddString(field->GetFieldName(), nxString(nxFieldTypeNames[field->GetFieldType()]));
    }
  }
  aContainer->AddObject(u"Filter", bkeFilter.get(), aFlag);
}

std::int32_t TnxBaseKeyEngine::QueryInterface(const platform::Guid& aIID, void** aObj) {
  if (aIID == InxFieldsSource::IID) {
    *aObj = static_cast<InxFieldsSource*>(this);
    return nxS_OK;
  }
  return TnxBaseRegisterableEngine::QueryInterface(aIID, aObj);
}

platform::Variant TnxBaseKeyEngine::GetFieldAsVariant(const void* aKey, std::int32_t aField) {
  return KeyAsVariant(aKey, aField);
}

PnxKeyBuffer TnxBaseKeyEngine::AllocKey() {
  auto* key = static_cast<PnxKeyBuffer>(bkeMemoryPool.Alloc());
  ClearKey(key);
  return key;
}

void TnxBaseKeyEngine::FreeKey(PnxKeyBuffer& aKey) {
  if (!aKey) return;
  void* p = std::exchange(aKey, nullptr);
  bkeMemoryPool.Dispose(p);
}

void TnxBaseKeyEngine::CopyKey(const void* aFrom, void* aTo) const { std::memcpy(aTo, aFrom, bkeKeyLength); }

TnxResult TnxBaseKeyEngine::KeyToRecord(const void* /*aKey*/, void* /*aRecord*/) { return nxErrNotSupported; }

TValueRelationship TnxBaseKeyEngine::CompareKeyToRecord(const void* aKey, const void* aRecord, TnxRefNr aRefNr,
                                                        std::int32_t aFieldCount, std::int32_t aPartialLen) {
  ScopedKey key(*this);
  if (const TnxResult r = BuildKey(aRecord, key.get(), aRefNr, true)) throw EnxBaseKeyEngineException(r);
  return CompareKey(aKey, key.get(), aFieldCount, aPartialLen);
}

TValueRelationship TnxBaseKeyEngine::CompareRecord(const void* aRecord1, TnxRefNr aRefNr1, const void* aRecord2,
                                                   TnxRefNr aRefNr2, std::int32_t aFieldCount,
                                                   std::int32_t aPartialLen) {
  ScopedKey key1(*this), key2(*this);
  if (const TnxResult r = BuildKey(aRecord1, key1.get(), aRefNr1, true)) throw EnxBaseKeyEngineException(r);
  if (const TnxResult r = BuildKey(aRecord2, key2.get(), aRefNr2, true)) throw EnxBaseKeyEngineException(r);
  return CompareKey(key1.get(), key2.get(), aFieldCount, aPartialLen);
}

nxString TnxBaseKeyEngine::KeyAsString(const void* aKey) {
  try {
    const platform::Variant v = KeyAsVariant(aKey, -1);
    if (!isFieldArray(v)) return render(v);
    nxString s;
    for (std::int32_t i = v.arrayLowBound(); i <= v.arrayHighBound(); ++i) {
      if (i > v.arrayLowBound()) s += u", ";
      s += render(v.arrayGet(i));
    }
    return s;
  } catch (...) {
    return nxString();
  }
}

void TnxBaseKeyEngine::KeyAsExceptionData(const void* aKey, const TnxIntfPtr<InxExceptionDataContainer>& aContainer) {
  try {
    const platform::Variant v = KeyAsVariant(aKey, -1);
    auto nameOf = [this](std::int32_t i) -> nxString {
      if (i < GetFieldCount())
        if (InxFieldDescriptor* f = GetFieldDescriptor(i)) return f->GetFieldName();
      return u"Field" + platform::fromUtf8(std::to_string(i));
    };
    if (!isFieldArray(v)) {
      aContainer->AddVariant(nameOf(0), v);
      return;
    }
    for (std::int32_t i = v.arrayLowBound(); i <= v.arrayHighBound(); ++i)
      aContainer->AddVariant(nameOf(i - v.arrayLowBound()), v.arrayGet(i));
  } catch (...) {
    // Exception data is best effort: the container keeps what was added.
  }
}

std::int32_t TnxKeyPseudoField::QueryInterface(const platform::Guid& aIID, void** aObj) {
  if (aIID == InxFieldDescriptor::IID) {
    *aObj = static_cast<InxFieldDescriptor*>(this);
    return nxS_OK;
  }
  *aObj = nullptr;
  return nxE_NOINTERFACE;
}

std::int32_t nxPseudoFieldFromName(std::span<TnxKeyPseudoField> aFields, std::string_view aName) {
  const nxString name = platform::fromUtf8(aName);
  for (std::size_t i = 0; i < aFields.size(); ++i)
    if (platform::sameTextAscii(aFields[i].GetFieldName(), name)) return static_cast<std::int32_t>(i);
  return -1;
}

bool nxPseudoFieldForFilter(std::span<TnxKeyPseudoField> aFields, std::int32_t aField, const char* aName,
                            const void* aData, std::uint16_t& aType, std::uint16_t& aSize, bool& aIsNull,
                            const void*& aValue, std::uint16_t& aCodePage) {
  if (aName) aField = nxPseudoFieldFromName(aFields, aName);
  if (aField < 0 || aField >= static_cast<std::int32_t>(aFields.size())) return false;
  TnxKeyPseudoField& f = aFields[static_cast<std::size_t>(aField)];
  aType = static_cast<std::uint16_t>(f.GetFieldType());
  aSize = 0;
  aCodePage = 0;
  aIsNull = aData == nullptr;
  aValue = aData ? static_cast<const std::uint8_t*>(aData) + f.Offset() : nullptr;
  return true;
}

void nxsdKeyEngineBaseInitialize() { nxUseCountEnter(gKeyEngineBaseUseCount); }

void nxsdKeyEngineBaseFinalize() {
  if (nxUseCountLeave(gKeyEngineBaseUseCount)) nxFreeClassList(gKeyEngines);
}
