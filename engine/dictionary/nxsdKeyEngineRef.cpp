#include "nxsdKeyEngineRef.h"

#include <cstring>

#include "nxllBde.h"
#include "nxllLockedFuncs.h"
#include "plString.h"

PL_CLASS_INFO_IMPL_TABLE(TnxRefKeyEngine, TnxBaseKeyEngine, "TnxRefKeyEngine", nullptr,
                         platform::bindClassTable(nxKeyEngineFuncs<TnxRefKeyEngine>))

namespace {
std::int64_t loadRefInt64(const void* p) {
  std::int64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
TValueRelationship compareInt64(std::int64_t a, std::int64_t b) { return a < b ? -1 : (a > b ? 1 : 0); }
}  // namespace

TnxRefKeyEngine::TnxRefKeyEngine(TnxBaseKeyDescriptor* aDescriptor)
    : TnxBaseKeyEngine(aDescriptor), rkeFields{TnxKeyPseudoField(u"RefNr", nxtInt64, 0, 0)} {
  bkeKeyLength = 8;
}

void TnxRefKeyEngine::CheckValidDescriptor(TnxBaseKeyDescriptor* aDescriptor) {
  TnxBaseKeyEngine::CheckValidDescriptor(aDescriptor);
  if (!platform::objectAs<TnxRefKeyDescriptor>(aDescriptor)) throw platform::ConvertError("Invalid class typecast");
}

bool TnxRefKeyEngine::GetFieldForFilter(std::int32_t aField, const char* aName, const void* aData,
                                        std::uint16_t& aType, std::uint16_t& aSize, bool& aIsNull,
                                        const void*& aValue, std::uint16_t& aCodePage) {
  return nxPseudoFieldForFilter(rkeFields, aField, aName, aData, aType, aSize, aIsNull, aValue, aCodePage);
}

std::int32_t TnxRefKeyEngine::GetFieldFromName(const nxString& aFieldName) {
  return nxPseudoFieldFromName(rkeFields, platform::toUtf8(aFieldName));
}

InxFieldDescriptor* TnxRefKeyEngine::GetFieldDescriptor(std::int32_t aIndex) {
  return aIndex == 0 ? &rkeFields[0] : nullptr;
}

void TnxRefKeyEngine::ClearKey(void* aKey) { std::memset(aKey, 0, 8); }

TnxResult TnxRefKeyEngine::BuildKey(const void* aRecord, void* aKey, TnxRefNr aRefNr, bool aIgnoreFilter) {
  if (!aIgnoreFilter && bkeFilter && !bkeFilter->MatchesBuffer(aRecord)) return 1;
  const std::int64_t ref = aRefNr;
  std::memcpy(aKey, &ref, 8);
  return 0;
}

TValueRelationship TnxRefKeyEngine::CompareKey(const void* aKey1, const void* aKey2, std::int32_t /*aFieldCount*/,
                                               std::int32_t /*aPartialLen*/) {
  return compareInt64(loadRefInt64(aKey1), loadRefInt64(aKey2));
}

TValueRelationship TnxRefKeyEngine::CompareRecord(const void* /*aRecord1*/, TnxRefNr aRefNr1,
                                                  const void* /*aRecord2*/, TnxRefNr aRefNr2,
                                                  std::int32_t /*aFieldCount*/, std::int32_t /*aPartialLen*/) {
  return compareInt64(aRefNr1, aRefNr2);
}

platform::Variant TnxRefKeyEngine::KeyAsVariant(const void* aKey, std::int32_t aField) {
  if (aField < -1 || aField > 0) throw EnxBaseException(nxErrInvalidDescNumber);
  if (!aKey) return platform::Variant::null();
  return platform::Variant(static_cast<long long>(loadRefInt64(aKey)));
}

namespace {
TnxUseCount gKeyEngineRefUseCount{0};
}

void nxsdKeyEngineRefInitialize() {
  if (nxUseCountEnter(gKeyEngineRefUseCount)) TnxEngineClass<TnxRefKeyEngine>::Register();
}

void nxsdKeyEngineRefFinalize() {
  if (nxUseCountLeave(gKeyEngineRefUseCount)) TnxEngineClass<TnxRefKeyEngine>::Unregister();
}
