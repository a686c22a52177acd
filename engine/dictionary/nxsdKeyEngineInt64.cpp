#include "nxsdKeyEngineInt64.h"

#include <cstring>

#include "nxllBde.h"
#include "nxllLockedFuncs.h"
#include "plString.h"

PL_CLASS_INFO_IMPL_TABLE(TnxInt64KeyEngine, TnxBaseKeyEngine, "TnxInt64KeyEngine", nullptr,
                         platform::bindClassTable(nxKeyEngineFuncs<TnxInt64KeyEngine>))

namespace {
std::int64_t loadInt64(const void* p) {
  std::int64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
TValueRelationship compareInt64(const void* a, const void* b) {
  const std::int64_t x = loadInt64(a), y = loadInt64(b);
  return x < y ? -1 : (x > y ? 1 : 0);
}
}  // namespace

TnxInt64KeyEngine::TnxInt64KeyEngine(TnxBaseKeyDescriptor* aDescriptor)
    : TnxBaseKeyEngine(aDescriptor), ikeFields{TnxKeyPseudoField(u"Int64", nxtInt64, 0, 0)} {
  bkeKeyLength = 8;
}

void TnxInt64KeyEngine::CheckValidDescriptor(TnxBaseKeyDescriptor* aDescriptor) {
  TnxBaseKeyEngine::CheckValidDescriptor(aDescriptor);
  if (!platform::objectAs<TnxInt64KeyDescriptor>(aDescriptor)) throw platform::ConvertError("Invalid class typecast");
}

bool TnxInt64KeyEngine::GetFieldForFilter(std::int32_t aField, const char* aName, const void* aData,
                                          std::uint16_t& aType, std::uint16_t& aSize, bool& aIsNull,
                                          const void*& aValue, std::uint16_t& aCodePage) {
  return nxPseudoFieldForFilter(ikeFields, aField, aName, aData, aType, aSize, aIsNull, aValue, aCodePage);
}

std::int32_t TnxInt64KeyEngine::GetFieldFromName(const nxString& aFieldName) {
  return nxPseudoFieldFromName(ikeFields, platform::toUtf8(aFieldName));
}

InxFieldDescriptor* TnxInt64KeyEngine::GetFieldDescriptor(std::int32_t aIndex) {
  return aIndex == 0 ? &ikeFields[0] : nullptr;
}

void TnxInt64KeyEngine::ClearKey(void* aKey) { std::memset(aKey, 0, 8); }

TnxResult TnxInt64KeyEngine::BuildKey(const void* aRecord, void* aKey, TnxRefNr /*aRefNr*/, bool /*aIgnoreFilter*/) {
  if (!aRecord) return nxErrInvalidParam;
  std::memcpy(aKey, aRecord, 8);
  return 0;
}

TValueRelationship TnxInt64KeyEngine::CompareKey(const void* aKey1, const void* aKey2, std::int32_t /*aFieldCount*/,
                                                 std::int32_t /*aPartialLen*/) {
  return compareInt64(aKey1, aKey2);
}

TValueRelationship TnxInt64KeyEngine::CompareKeyToRecord(const void* aKey, const void* aRecord, TnxRefNr /*aRefNr*/,
                                                         std::int32_t /*aFieldCount*/, std::int32_t /*aPartialLen*/) {
  return compareInt64(aKey, aRecord);
}

TValueRelationship TnxInt64KeyEngine::CompareRecord(const void* aRecord1, TnxRefNr /*aRefNr1*/, const void* aRecord2,
                                                    TnxRefNr /*aRefNr2*/, std::int32_t /*aFieldCount*/,
                                                    std::int32_t /*aPartialLen*/) {
  return compareInt64(aRecord1, aRecord2);
}

platform::Variant TnxInt64KeyEngine::KeyAsVariant(const void* aKey, std::int32_t aField) {
  if (aField < -1 || aField > 0) throw EnxBaseException(nxErrInvalidDescNumber);
  if (!aKey) return platform::Variant::null();
  return platform::Variant(static_cast<long long>(loadInt64(aKey)));
}

namespace {
TnxUseCount gKeyEngineInt64UseCount{0};
}

void nxsdKeyEngineInt64Initialize() {
  if (nxUseCountEnter(gKeyEngineInt64UseCount)) TnxEngineClass<TnxInt64KeyEngine>::Register();
}

void nxsdKeyEngineInt64Finalize() {
  if (nxUseCountLeave(gKeyEngineInt64UseCount)) TnxEngineClass<TnxInt64KeyEngine>::Unregister();
}
