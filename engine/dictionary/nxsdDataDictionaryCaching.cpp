// Client caching of a table level: the test for what a cacheable source or a
// cache copy needs, the conversion into a cacheable source and into a cache
// copy. A cacheable source has a reference number per record, the insert and
// modify LSN of each record, an index over the modify LSN and the internal
// graveyard and BLOB-number indices; a cache copy keeps the LSN index with
// duplicates, plain storage and, with BLOB fields, the cached-BLOBs index.
// Part of nxsdDataDictionary.
#include <array>

#include "nxllBde.h"
#include "nxsdDataDictionary.h"
#include "nxsdDataDictionaryInt.h"

namespace {

const nxString kModifyLSN = u"$ModifyLSN";
const nxString kInsertLSN = u"$InsertLSN";
const nxString kRefNr = u"$RefNr";
const nxString kGraveyardLSN = u"$GraveyardLSN";
const nxString kGraveyardRefNr = u"$GraveyardRefNr";
const nxString kCachedBlobs = u"$CachedBlobs";
const nxString kBlobNrCounter = u"$BlobNrCounter";
const nxString kImplicit = u"$Implicit";
const nxString kCacheable = u"$Cacheable";

[[noreturn]] void notSupported(const char16_t* aText) {
  throw EnxBaseTableDescriptorException(nxErrNotSupported, nxString(aText));
}

template <class T>
T* markImplicit(T* aItem) {
  aItem->CustomStrings().setValue(kImplicit, kCacheable);
  return aItem;
}

// Owns a cacheable info for the length of one operation.
class TnxCacheableInfoHolder {
 public:
  TnxCacheableInfoHolder() = default;
  ~TnxCacheableInfoHolder() { nxReleaseCacheableInfo(info); }
  TnxCacheableInfoHolder(const TnxCacheableInfoHolder&) = delete;
  TnxCacheableInfoHolder& operator=(const TnxCacheableInfoHolder&) = delete;
  PnxCacheableInfo info = nullptr;
};

std::int32_t specialField(PnxCacheableInfo aInfo, TnxSpecialFieldType aKind) {
  return aInfo->ciSFI->sfiFields[static_cast<std::size_t>(aKind)];
}

TnxFieldDescriptor* addLSNField(TnxFieldsDescriptor* aFields, const nxString& aName, bool aApplyOnModify) {
  TnxFieldDescriptor* field = markImplicit(aFields->AddField(aName, u"", nxtInt64, 20, 0, false));
  field->AddDefaultValue(&TnxNextLSNDefaultValueDescriptor::staticClassInfo())->SetApplyOnModify(aApplyOnModify);
  return field;
}

}  // namespace

bool TnxBaseTableDescriptor::IsCacheable(PnxCacheableInfo& aCacheableInfo, TnxTableCachingState aState,
                                         bool aAcceptCachable) {
  nxReleaseCacheableInfo(aCacheableInfo);
  aCacheableInfo = nxNewCacheableInfo();
  PnxCacheableInfo info = aCacheableInfo;
  tdFieldsDescriptor->GetSpecialFieldsInfo(info->ciSFI);

  const TnxIndexDupsSet dups =
      aState == tcsIsCache ? nxIndexDupsBit(idAll) : TnxIndexDupsSet(nxIndexDupsBit(idNone) | nxIndexDupsBit(idNull));
  const std::int32_t modifyLSN = specialField(info, sftModifyLSN);
  if (modifyLSN >= 0 && tdIndicesDescriptor) {
    const std::array<std::int32_t, 1> key{modifyLSN};
    tdIndicesDescriptor->HasIndex(key, info->ciModifyLSNIndex, dups);
  }
  if (tdInternalIndicesDescriptor) {
    info->ciGraveyardLSNIndex = tdInternalIndicesDescriptor->GetIndexFromName(kGraveyardLSN);
    info->ciGraveyardRefNrIndex = tdInternalIndicesDescriptor->GetIndexFromName(kGraveyardRefNr);
    info->ciCachedBlobsIndex = tdInternalIndicesDescriptor->GetIndexFromName(kCachedBlobs);
    info->ciBlobNrCounterIndex = tdInternalIndicesDescriptor->GetIndexFromName(kBlobNrCounter);
  }

  if (modifyLSN < 0 || info->ciModifyLSNIndex < 0 || specialField(info, sftInsertLSN) < 0 ||
      specialField(info, sftRefNr) < 0)
    return false;
  if (aState != tcsIsCache &&
      (info->ciGraveyardLSNIndex < 0 || info->ciGraveyardRefNrIndex < 0 || info->ciBlobNrCounterIndex < 0))
    return false;
  switch (aState) {
    case tcsNone:
      return tdCachingState != tcsIsCache;
    case tcsCacheable:
      return tdCachingState == tcsCacheable;
    case tcsIsCache:
      if (info->ciCachedBlobsIndex < 0 && tdFieldsDescriptor->HasBlobFields(static_cast<TnxList*>(nullptr)))
        return false;
      if (aAcceptCachable) return tdCachingState == tcsCacheable || tdCachingState == tcsIsCache;
      return tdCachingState == tcsIsCache;
  }
  // Reported under the dictionary module, whose family this file is.
  nxAssertionFailed("Invalid caching state", "nxsdDataDictionary", __LINE__);
}

void TnxBaseTableDescriptor::MakeCacheable(bool aCanChange) {
  CheckReadOnly();
  if (tdCachingState == tcsIsCache) notSupported(u"Can't make a InCache table Cachable");
  TnxCacheableInfoHolder holder;
  bool cacheable = IsCacheable(holder.info, tcsNone, false);
  TnxIndexDescriptor* lsnIndex =
      holder.info->ciModifyLSNIndex >= 0 ? tdIndicesDescriptor->Indices(holder.info->ciModifyLSNIndex) : nullptr;
  // Only a key without null flags serves the change scan.
  if (cacheable && !platform::objectAs<TnxNoNullCompKeyDescriptor>(lsnIndex->KeyDescriptor())) cacheable = false;

  if (!cacheable && aCanChange) {
    PnxCacheableInfo info = holder.info;
    if (!lsnIndex) {
      std::int32_t field = specialField(info, sftModifyLSN);
      if (field < 0) field = addLSNField(tdFieldsDescriptor, kModifyLSN, true)->fdNumber;
      TnxIndexDescriptor* index = markImplicit(EnsureIndicesDescriptor()->AddIndex(
          kModifyLSN, 0, idNone, u"", &TnxNoNullCompKeyDescriptor::staticClassInfo()));
      static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(field);
    } else if (!platform::objectAs<TnxNoNullCompKeyDescriptor>(lsnIndex->KeyDescriptor())) {
      auto* key = static_cast<TnxCompKeyDescriptor*>(
          lsnIndex->ReplaceKeyDescriptor(TnxNoNullCompKeyDescriptor::staticClassInfo()));
      key->Add(specialField(info, sftModifyLSN));
    }
    if (specialField(info, sftInsertLSN) < 0) addLSNField(tdFieldsDescriptor, kInsertLSN, false);
    const std::array<std::pair<const nxString*, std::int32_t>, 3> internals{
        {{&kGraveyardLSN, info->ciGraveyardLSNIndex},
         {&kGraveyardRefNr, info->ciGraveyardRefNrIndex},
         {&kBlobNrCounter, info->ciBlobNrCounterIndex}}};
    for (const auto& [name, present] : internals)
      if (present < 0)
        markImplicit(EnsureInternalIndicesDescriptor()->AddIndex(*name, 0, idNone, u"",
                                                                 &TnxInt64KeyDescriptor::staticClassInfo()));
    if (specialField(info, sftRefNr) < 0)
      markImplicit(tdFieldsDescriptor->AddField(kRefNr, u"", nxtRefNr, 0, 0, false));
  }

  if (!IsCacheable(holder.info, tcsNone, false)) notSupported(u"Failed to make table cachable");
  tdCachingState = tcsCacheable;
}

void TnxBaseTableDescriptor::MarkAsInCache(bool aSilent) {
  if (tdCachingState == tcsIsCache) return;
  CheckReadOnly();
  for (std::int32_t i = tdTablesDescriptor->TableCount() - 1; i >= 0; --i) {
    TnxNestedTableDescriptor* table = tdTablesDescriptor->Tables(i);
    table->MarkAsInCache(aSilent);
    if (!table->HasCachingSupport(tcsIsCache)) tdTablesDescriptor->RemoveTable(i);
  }
  if (tdIndicesDescriptor) tdIndicesDescriptor->MakeIndicesCacheable();
  tdFieldsDescriptor->MakeFieldsCacheable();
  // Referential integrity, audit and full-text descriptors mean nothing in a cache.
  while (tdCustomDescsDescriptor->CustomCount() > 0) tdCustomDescsDescriptor->RemoveCustom(0);

  auto* record = static_cast<TnxHeapRecordDescriptor*>(AddRecordDescriptor(&TnxHeapRecordDescriptor::staticClassInfo()));
  record->SetRecordEngine(u"Variable");
  TnxBaseRecordCompressionDescriptor* compression = record->AddRecordCompressionDescriptor();
  compression->SetRecordCompressionEngine(u"Compressor");
  compression->SetCompressType(11);

  RemoveInternalIndicesDescriptor();
  if (tdFieldsDescriptor->HasBlobFields(static_cast<TnxList*>(nullptr))) {
    TnxInternalIndicesDescriptor* internals = EnsureInternalIndicesDescriptor();
    if (internals->GetIndexFromName(kCachedBlobs) < 0)
      internals->AddIndex(kCachedBlobs, 0, idNone, u"", &TnxBlobCacheKeyDescriptor::staticClassInfo());
  }

  TnxCacheableInfoHolder holder;
  if (IsCacheable(holder.info, tcsIsCache, true)) {
    tdCachingState = tcsIsCache;
  } else {
    if (!aSilent) notSupported(u"Only Cachable tables can be marked as InCache");
    tdCachingState = tcsNone;
  }
}

void TnxDataDictionary::MakeCache(bool aSilent) {
  if (HasCachingSupport(tcsIsCache)) return;
  ddCacheCurrentID = ddCurrentID;
  try {
    MarkAsInCache(aSilent);
  } catch (...) {
    ddCacheCurrentID = 0;
    throw;
  }
  SetEncryptionEngine(nxString());
  if (HasCachingSupport(tcsIsCache))
    ddCacheGuid = ddGuid;
  else
    ddCacheCurrentID = 0;
}
