#include "nxsdKeyEngineBlobCache.h"

#include <cstring>

#include "nxllBde.h"
#include "nxllLockedFuncs.h"
#include "plString.h"

PL_CLASS_INFO_IMPL_TABLE(TnxBlobCacheKeyEngine, TnxBaseKeyEngine, "TnxBlobCacheKeyEngine", nullptr,
                         platform::bindClassTable(nxKeyEngineFuncs<TnxBlobCacheKeyEngine>))

namespace {

constexpr std::int32_t kKeyLength = 28;
constexpr std::int32_t kOffsets[4] = {0, 8, 12, 20};

template <class T>
T load(const void* aKey, std::int32_t aOffset) {
  T v;
  std::memcpy(&v, static_cast<const std::uint8_t*>(aKey) + aOffset, sizeof v);
  return v;
}

template <class T>
TValueRelationship compareAt(const void* a, const void* b, std::int32_t aOffset) {
  const T x = load<T>(a, aOffset), y = load<T>(b, aOffset);
  return x < y ? -1 : (x > y ? 1 : 0);
}

}  // namespace

TnxBlobCacheKeyEngine::TnxBlobCacheKeyEngine(TnxBaseKeyDescriptor* aDescriptor)
    : TnxBaseKeyEngine(aDescriptor),
      bckeFields{TnxKeyPseudoField(u"BlobNr", nxtInt64, 0, kOffsets[0]),
                 TnxKeyPseudoField(u"FieldNo", nxtInt32, 0, kOffsets[1]),
                 TnxKeyPseudoField(u"RefNr", nxtInt64, 0, kOffsets[2]),
                 TnxKeyPseudoField(u"InserLSN", nxtInt64, 0, kOffsets[3])} {
  bkeKeyLength = kKeyLength;
}

void TnxBlobCacheKeyEngine::CheckValidDescriptor(TnxBaseKeyDescriptor* aDescriptor) {
  TnxBaseKeyEngine::CheckValidDescriptor(aDescriptor);
  if (!platform::objectAs<TnxBlobCacheKeyDescriptor>(aDescriptor))
    throw platform::ConvertError("Invalid class typecast");
}

bool TnxBlobCacheKeyEngine::GetFieldForFilter(std::int32_t aField, const char* aName, const void* aData,
                                              std::uint16_t& aType, std::uint16_t& aSize, bool& aIsNull,
                                              const void*& aValue, std::uint16_t& aCodePage) {
  return nxPseudoFieldForFilter(bckeFields, aField, aName, aData, aType, aSize, aIsNull, aValue, aCodePage);
}

std::int32_t TnxBlobCacheKeyEngine::GetFieldFromName(const nxString& aFieldName) {
  return nxPseudoFieldFromName(bckeFields, platform::toUtf8(aFieldName));
}

InxFieldDescriptor* TnxBlobCacheKeyEngine::GetFieldDescriptor(std::int32_t aIndex) {
  if (aIndex < 0 || aIndex >= 4) return nullptr;
  return &bckeFields[static_cast<std::size_t>(aIndex)];
}

void TnxBlobCacheKeyEngine::ClearKey(void* aKey) { std::memset(aKey, 0, kKeyLength); }

TnxResult TnxBlobCacheKeyEngine::BuildKey(const void* aRecord, void* aKey, TnxRefNr /*aRefNr*/,
                                          bool /*aIgnoreFilter*/) {
  if (!aRecord) return nxErrInvalidParam;
  std::memcpy(aKey, aRecord, kKeyLength);
  return 0;
}

TValueRelationship TnxBlobCacheKeyEngine::CompareKey(const void* aKey1, const void* aKey2, std::int32_t aFieldCount,
                                                     std::int32_t /*aPartialLen*/) {
  if (aFieldCount == 0) aFieldCount = 4;
  TValueRelationship r = compareAt<std::int64_t>(aKey1, aKey2, kOffsets[0]);
  if (r != 0 || aFieldCount < 2) return r;
  r = compareAt<std::int32_t>(aKey1, aKey2, kOffsets[1]);
  if (r != 0 || aFieldCount < 3) return r;
  r = compareAt<std::int64_t>(aKey1, aKey2, kOffsets[2]);
  if (r != 0 || aFieldCount < 4) return r;
  return compareAt<std::int64_t>(aKey1, aKey2, kOffsets[3]);
}

TValueRelationship TnxBlobCacheKeyEngine::CompareKeyToRecord(const void* aKey, const void* aRecord,
                                                             TnxRefNr /*aRefNr*/, std::int32_t aFieldCount,
                                                             std::int32_t aPartialLen) {
  return CompareKey(aKey, aRecord, aFieldCount, aPartialLen);
}

TValueRelationship TnxBlobCacheKeyEngine::CompareRecord(const void* aRecord1, TnxRefNr /*aRefNr1*/,
                                                        const void* aRecord2, TnxRefNr /*aRefNr2*/,
                                                        std::int32_t aFieldCount, std::int32_t aPartialLen) {
  return CompareKey(aRecord1, aRecord2, aFieldCount, aPartialLen);
}

platform::Variant TnxBlobCacheKeyEngine::KeyAsVariant(const void* aKey, std::int32_t aField) {
  if (aField < -1 || aField > 3) throw EnxBaseException(nxErrInvalidDescNumber);
  if (!aKey) return platform::Variant::null();
  const auto value = [aKey](std::int32_t i) -> platform::Variant {
    if (i == 1) return platform::Variant(static_cast<int>(load<std::int32_t>(aKey, kOffsets[1])));
    return platform::Variant(static_cast<long long>(load<std::int64_t>(aKey, kOffsets[i])));
  };
  if (aField >= 0) return value(aField);
  platform::Variant result = platform::Variant::createArray(0, 3, platform::varVariant);
  for (std::int32_t i = 0; i < 4; ++i) result.arrayPut(i, value(i));
  return result;
}

namespace {
TnxUseCount gKeyEngineBlobCacheUseCount{0};
}

void nxsdKeyEngineBlobCacheInitialize() {
  if (nxUseCountEnter(gKeyEngineBlobCacheUseCount)) TnxEngineClass<TnxBlobCacheKeyEngine>::Register();
}

void nxsdKeyEngineBlobCacheFinalize() {
  if (nxUseCountLeave(gKeyEngineBlobCacheUseCount)) TnxEngineClass<TnxBlobCacheKeyEngine>::Unregister();
}
