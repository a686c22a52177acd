#include "nxsdKeyEngineComp.h"

#include <algorithm>
#include <cstring>

#include "nxllBde.h"
#include "nxllList.h"
#include "nxllLockedFuncs.h"

PL_CLASS_INFO_IMPL_TABLE(TnxCompKeyEngine, TnxBaseKeyEngine, "TnxCompKeyEngine", nullptr,
                         platform::bindClassTable(nxKeyEngineFuncs<TnxCompKeyEngine>))
PL_CLASS_INFO_IMPL_TABLE(TnxNoNullCompKeyEngine, TnxCompKeyEngine, "TnxNoNullCompKeyEngine", nullptr,
                         platform::bindClassTable(nxKeyEngineFuncs<TnxNoNullCompKeyEngine>))

namespace {

TnxCompKeyDescriptor* compDescriptor(TnxBaseKeyDescriptor* aDescriptor) {
  auto* d = platform::objectAs<TnxCompKeyDescriptor>(aDescriptor);
  if (!d) throw platform::ConvertError("Invalid class typecast");
  return d;
}

inline bool bitSet(const void* aBits, std::int32_t aBit) {
  return (static_cast<const std::uint8_t*>(aBits)[aBit >> 3] >> (aBit & 7)) & 1;
}

// The null rule: both NULL equal; otherwise NULL sorts by aInvert.
inline bool nullOrder(bool aNull1, bool aNull2, TValueRelationship aInvert, TValueRelationship& aResult) {
  if (aNull1) {
    aResult = aNull2 ? 0 : static_cast<TValueRelationship>(-aInvert);
    return true;
  }
  if (aNull2) {
    aResult = aInvert;
    return true;
  }
  return false;
}

}  // namespace

TnxCompKeyEngine::TnxCompKeyEngine(TnxBaseKeyDescriptor* aDescriptor) : TnxCompKeyEngine(aDescriptor, false) {}

TnxCompKeyEngine::TnxCompKeyEngine(TnxBaseKeyDescriptor* aDescriptor, bool aNoNull)
    : TnxBaseKeyEngine(aDescriptor), ckeNoNull(aNoNull) {
  TnxCompKeyDescriptor* d = compDescriptor(aDescriptor);
  TnxDictionaryItem* found = nullptr;
  if (d->FindRelatedDescriptorOfType(TnxFieldsDescriptor::staticClassInfo(), found, nullptr))
    ckeFieldsDescriptor = static_cast<TnxFieldsDescriptor*>(found);
  if (!ckeFieldsDescriptor)
    throw EnxBaseKeyEngineException(nxErrObjectNotFound, u"No related Descriptor of type %s could be found",
                                    {nxString(u"TnxFieldsDescriptor")});
  ckeRecordNullOffset = ckeFieldsDescriptor->fsdLogRecLenAlign;
  const std::int32_t n = d->KeyFieldCount();
  ckeKeyFieldCount = n;
  ckeKeyOffset = aNoNull ? 0 : (n + 7) / 8;
  ckeKeyFieldEngines.reserve(static_cast<std::size_t>(n));
  ckeKeyFieldInvertNull.reserve(static_cast<std::size_t>(n));
  std::int32_t offset = ckeKeyOffset;
  for (std::int32_t i = 0; i < n; ++i) {
    TnxKeyFieldDescriptor* kf = d->KeyFields(i);
    ckeKeyFieldEngines.push_back(nxAdopt(TnxCompositeKeyFieldEngine::CreateEngine(kf)));
    TnxCompositeKeyFieldEngine* engine = ckeKeyFieldEngines.back().get();
    if (engine->NLSVersionChanged()) bkeNLSVersionChanged = true;
    if (engine->FieldType() == nxtExtended) bkeContainsExtended = true;
    nxString name = engine->ckfeFieldName;
    if (!kf->KeyFieldEngine().empty()) name += u"_" + kf->KeyFieldEngine();
    auto it = std::lower_bound(ckeKeyFieldNames.begin(), ckeKeyFieldNames.end(), name,
                               [](const auto& e, const nxString& s) { return nxCompareText(e.first, s) < 0; });
    if (it == ckeKeyFieldNames.end() || nxCompareText(it->first, name) != 0) ckeKeyFieldNames.insert(it, {name, i});
    ckeKeyFieldInvertNull.push_back(engine->InvertNull ? -1 : 1);
    ckeKeyFieldOffset.push_back(offset);
    ckeSlots.push_back({engine->CompareKeyRoutine(), engine, offset, ckeKeyFieldInvertNull.back()});
    offset += engine->KeyLength();
  }
}

void TnxCompKeyEngine::CheckValidDescriptor(TnxBaseKeyDescriptor* aDescriptor) {
  TnxBaseKeyEngine::CheckValidDescriptor(aDescriptor);
  TnxCompKeyDescriptor* d = compDescriptor(aDescriptor);
  for (std::int32_t i = 0; i < d->KeyFieldCount(); ++i) TnxCompositeKeyFieldEngine::CheckValidBase(d->KeyFields(i));
}

// ------------------------------------------------------------------ fields source

bool TnxCompKeyEngine::GetFieldForFilter(std::int32_t aField, const char* aName, const void* aData,
                                         std::uint16_t& aType, std::uint16_t& aSize, bool& aIsNull,
                                         const void*& aValue, std::uint16_t& aCodePage) {
  if (aName && *aName) aField = GetFieldFromName(platform::fromUtf8(aName));
  if (aField < 0 || aField >= ckeKeyFieldCount) return false;
  TnxCompositeKeyFieldEngine* engine = GetKeyFieldEngine(aField);
  aType = static_cast<std::uint16_t>(engine->GetFieldType() & 0x7F);
  aSize = static_cast<std::uint16_t>(engine->GetFieldUnits());
  aCodePage = engine->GetFieldStorageCodePage();
  aIsNull = !aData || KeyFieldNull(aData, aField);
  aValue = aIsNull ? nullptr : static_cast<const std::uint8_t*>(aData) + ckeKeyFieldOffset[static_cast<std::size_t>(aField)];
  if (aValue && engine->GetFieldType() == nxtShortString) {
    aSize = *static_cast<const std::uint8_t*>(aValue);
    aValue = static_cast<const std::uint8_t*>(aValue) + 1;
  }
  return true;
}

std::int32_t TnxCompKeyEngine::GetFieldFromName(const nxString& aFieldName) {
  auto it = std::lower_bound(ckeKeyFieldNames.begin(), ckeKeyFieldNames.end(), aFieldName,
                             [](const auto& e, const nxString& s) { return nxCompareText(e.first, s) < 0; });
  return it != ckeKeyFieldNames.end() && nxCompareText(it->first, aFieldName) == 0 ? it->second : -1;
}

InxFieldDescriptor* TnxCompKeyEngine::GetFieldDescriptor(std::int32_t aIndex) {
  if (aIndex < 0 || aIndex >= ckeKeyFieldCount) return nullptr;
  return GetKeyFieldEngine(aIndex);
}

std::int32_t TnxCompKeyEngine::GetKeyFieldOffset(std::int32_t aIndex) {
  if (aIndex < 0 || aIndex >= ckeKeyFieldCount)
    throw EnxBaseKeyEngineException(nxErrInvalidDescNumber);
  return ckeKeyFieldOffset[static_cast<std::size_t>(aIndex)];
}

// ------------------------------------------------------------------ keys

void TnxCompKeyEngine::ClearKey(void* aKey) {
  if (!aKey) return;
  std::memset(aKey, 0, bkeKeyLength);
  if (!ckeNoNull) std::memset(aKey, 0xFF, static_cast<std::size_t>(ckeKeyOffset));
}

TnxResult TnxCompKeyEngine::BuildKey(const void* aRecord, void* aKey, TnxRefNr /*aRefNr*/, bool aIgnoreFilter) {
  if (!aRecord) return nxErrInvalidParam;
  if (!aIgnoreFilter && bkeFilter && !bkeFilter->MatchesBuffer(aRecord)) return 1;
  const auto* record = static_cast<const std::uint8_t*>(aRecord);
  auto* key = static_cast<std::uint8_t*>(aKey);
  if (ckeNoNull) {
    for (std::int32_t i = 0; i < ckeKeyFieldCount; ++i) {
      const TnxCompositeKeyFieldEngine* e = ckeKeyFieldEngines[static_cast<std::size_t>(i)].get();
      e->BuildKey(record + e->FieldOffset(), key + ckeKeyFieldOffset[static_cast<std::size_t>(i)]);
    }
    return 0;
  }
  ClearKey(aKey);
  for (std::int32_t i = 0; i < ckeKeyFieldCount; ++i) {
    const TnxCompositeKeyFieldEngine* e = ckeKeyFieldEngines[static_cast<std::size_t>(i)].get();
    if (bitSet(record + ckeRecordNullOffset, e->FieldNumber())) {
      if (!aIgnoreFilter && e->FilterNull) return 1;
      continue;
    }
    if (!aIgnoreFilter && e->FilterNonNull) return 1;
    e->BuildKey(record + e->FieldOffset(), key + ckeKeyFieldOffset[static_cast<std::size_t>(i)]);
    key[i >> 3] = static_cast<std::uint8_t>(key[i >> 3] & ~(1u << (i & 7)));
  }
  return 0;
}

TnxResult TnxCompKeyEngine::KeyToRecord(const void* aKey, void* aRecord) {
  if (!aKey || !aRecord) return nxErrInvalidParam;
  ckeFieldsDescriptor->InitRecord(aRecord);
  auto* record = static_cast<std::uint8_t*>(aRecord);
  for (std::int32_t i = 0; i < ckeKeyFieldCount; ++i) {
    if (KeyFieldNull(aKey, i)) continue;
    const TnxCompositeKeyFieldEngine* e = ckeKeyFieldEngines[static_cast<std::size_t>(i)].get();
    if (const TnxResult r = e->KeyToRecord(static_cast<const std::uint8_t*>(aKey) +
                                               ckeKeyFieldOffset[static_cast<std::size_t>(i)],
                                           record + e->FieldOffset()))
      return r;
    ckeFieldsDescriptor->SetRecordFieldNull(e->FieldNumber(), aRecord, false);
  }
  return 0;
}

std::int32_t TnxCompKeyEngine::WholeFields(std::int32_t aFieldCount, std::int32_t aPartialLen) const {
  const std::int32_t n = ckeKeyFieldCount;
  if (aFieldCount <= 0) return aPartialLen == 0 && aFieldCount == 0 ? n : 0;
  return std::min(aFieldCount, aPartialLen != 0 ? n - 1 : n);
}

TValueRelationship TnxCompKeyEngine::CompareKey(const void* aKey1, const void* aKey2, std::int32_t aFieldCount,
                                                std::int32_t aPartialLen) {
  const auto* k1 = static_cast<const std::uint8_t*>(aKey1);
  const auto* k2 = static_cast<const std::uint8_t*>(aKey2);
  const std::int32_t m = WholeFields(aFieldCount, aPartialLen);
  TValueRelationship r = 0;
  const TnxKeySlot* slot = ckeSlots.data();
  for (std::int32_t i = 0; i < m; ++i, ++slot) {
    if (!nullOrder(KeyFieldNull(k1, i), KeyFieldNull(k2, i), slot->invertNull, r))
      r = slot->compare(*slot->engine, k1 + slot->offset, k2 + slot->offset);
    if (r) return r;
  }
  if (aPartialLen <= 0 || m < 0 || m >= ckeKeyFieldCount) return 0;
  const auto um = static_cast<std::size_t>(m);
  if (nullOrder(KeyFieldNull(k1, m), KeyFieldNull(k2, m), ckeKeyFieldInvertNull[um], r)) return r;
  const TnxCompositeKeyFieldEngine* e = ckeKeyFieldEngines[um].get();
  const std::uint8_t* s1 = k1 + ckeKeyFieldOffset[um];
  const std::uint8_t* s2 = k2 + ckeKeyFieldOffset[um];
  return e->HasPartialCompare() ? e->PartialCompareKey(s1, s2, aPartialLen) : e->CompareKey(s1, s2);
}

TValueRelationship TnxCompKeyEngine::CompareKeyToRecord(const void* aKey, const void* aRecord, TnxRefNr /*aRefNr*/,
                                                        std::int32_t aFieldCount, std::int32_t aPartialLen) {
  const auto* k = static_cast<const std::uint8_t*>(aKey);
  const auto* rec = static_cast<const std::uint8_t*>(aRecord);
  const std::int32_t m = WholeFields(aFieldCount, aPartialLen);
  TValueRelationship r = 0;
  for (std::int32_t i = 0; i < m; ++i) {
    const auto ui = static_cast<std::size_t>(i);
    const TnxCompositeKeyFieldEngine* e = ckeKeyFieldEngines[ui].get();
    if (!nullOrder(KeyFieldNull(k, i), RecordFieldNull(rec, i), ckeKeyFieldInvertNull[ui], r))
      r = e->CompareKeyToFieldDirect(k + ckeKeyFieldOffset[ui], rec + e->FieldOffset());
    if (r) return r;
  }
  if (aPartialLen <= 0 || m < 0 || m >= ckeKeyFieldCount) return 0;
  const auto um = static_cast<std::size_t>(m);
  if (nullOrder(KeyFieldNull(k, m), RecordFieldNull(rec, m), ckeKeyFieldInvertNull[um], r)) return r;
  const TnxCompositeKeyFieldEngine* e = ckeKeyFieldEngines[um].get();
  const std::uint8_t* slot = k + ckeKeyFieldOffset[um];
  const std::uint8_t* field = rec + e->FieldOffset();
  return e->HasPartialCompare() ? e->PartialCompareKeyToFieldDirect(slot, field, aPartialLen)
                                : e->CompareKeyToFieldDirect(slot, field);
}

TValueRelationship TnxCompKeyEngine::CompareRecord(const void* aRecord1, TnxRefNr /*aRefNr1*/, const void* aRecord2,
                                                   TnxRefNr /*aRefNr2*/, std::int32_t aFieldCount,
                                                   std::int32_t aPartialLen) {
  const auto* r1 = static_cast<const std::uint8_t*>(aRecord1);
  const auto* r2 = static_cast<const std::uint8_t*>(aRecord2);
  const std::int32_t m = WholeFields(aFieldCount, aPartialLen);
  TValueRelationship r = 0;
  for (std::int32_t i = 0; i < m; ++i) {
    const auto ui = static_cast<std::size_t>(i);
    const TnxCompositeKeyFieldEngine* e = ckeKeyFieldEngines[ui].get();
    if (!nullOrder(RecordFieldNull(r1, i), RecordFieldNull(r2, i), ckeKeyFieldInvertNull[ui], r))
      r = e->CompareFieldDirect(r1 + e->FieldOffset(), r2 + e->FieldOffset());
    if (r) return r;
  }
  if (aPartialLen <= 0 || m < 0 || m >= ckeKeyFieldCount) return 0;
  const auto um = static_cast<std::size_t>(m);
  if (nullOrder(RecordFieldNull(r1, m), RecordFieldNull(r2, m), ckeKeyFieldInvertNull[um], r)) return r;
  const TnxCompositeKeyFieldEngine* e = ckeKeyFieldEngines[um].get();
  return e->HasPartialCompare()
             ? e->PartialCompareFieldDirect(r1 + e->FieldOffset(), r2 + e->FieldOffset(), aPartialLen)
             : e->CompareFieldDirect(r1 + e->FieldOffset(), r2 + e->FieldOffset());
}

platform::Variant TnxCompKeyEngine::KeyAsVariant(const void* aKey, std::int32_t aField) {
  const auto* k = static_cast<const std::uint8_t*>(aKey);
  auto fieldValue = [&](std::int32_t i) {
    platform::Variant v;
    if (KeyFieldNull(k, i)) return platform::Variant::null();
    ckeKeyFieldEngines[static_cast<std::size_t>(i)]->KeyAsVariant(k + ckeKeyFieldOffset[static_cast<std::size_t>(i)], v);
    return v;
  };
  if (aField >= 0) {
    if (aField >= ckeKeyFieldCount) throw EnxBaseException(nxErrInvalidDescNumber);
    return fieldValue(aField);
  }
  if (aField != -1) throw EnxBaseException(nxErrInvalidDescNumber);
  if (ckeKeyFieldCount < 2) return ckeKeyFieldCount == 1 ? fieldValue(0) : platform::Variant();
  platform::Variant result = platform::Variant::createArray(0, ckeKeyFieldCount - 1, platform::varVariant);
  for (std::int32_t i = 0; i < ckeKeyFieldCount; ++i) result.arrayPut(i, fieldValue(i));
  return result;
}

bool TnxCompKeyEngine::KeyContainsNulls(const void* aKey) {
  if (ckeNoNull) return false;
  for (std::int32_t i = 0; i < ckeKeyFieldCount; ++i)
    if (bitSet(aKey, i)) return true;
  return false;
}

// ------------------------------------------------------------------ module

namespace {
TnxUseCount gKeyEngineCompUseCount{0};

void unregisterKeyEngineCompClasses() noexcept {
  TnxEngineClass<TnxNoNullCompKeyEngine>::Unregister();
  TnxEngineClass<TnxCompKeyEngine>::Unregister();
}
}  // namespace

void nxsdKeyEngineCompInitialize() {
  if (!nxUseCountEnter(gKeyEngineCompUseCount)) return;
  try {
    TnxEngineClass<TnxCompKeyEngine>::Register();
    TnxEngineClass<TnxNoNullCompKeyEngine>::Register();
  } catch (...) {
    unregisterKeyEngineCompClasses();
    nxUseCountLeave(gKeyEngineCompUseCount);
    throw;
  }
}

void nxsdKeyEngineCompFinalize() {
  if (nxUseCountLeave(gKeyEngineCompUseCount)) unregisterKeyEngineCompClasses();
}
