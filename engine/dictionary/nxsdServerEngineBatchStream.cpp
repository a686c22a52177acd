#include "nxsdServerEngine.h"

#include <algorithm>
#include <map>

#include "nxllBde.h"

PL_CLASS_INFO_IMPL(TnxBatchStreamAccess, TnxObject, "TnxBatchStreamAccess", nullptr)

TnxIndexedRecordCacheInfo nxBatchGetCacheInfo(const std::uint8_t* aPtr) {
  TnxIndexedRecordCacheInfo info{};
  info.irciRefNr = nxBatchGetI64(aPtr);
  info.irciModifyLSN = nxBatchGetI64(aPtr + 8);
  info.irciIndex = static_cast<std::int32_t>(nxBatchGetU32(aPtr + 16));
  return info;
}

void nxBatchPutCacheInfo(std::uint8_t* aPtr, const TnxIndexedRecordCacheInfo& aInfo) {
  nxBatchPutI64(aPtr, aInfo.irciRefNr);
  nxBatchPutI64(aPtr + 8, aInfo.irciModifyLSN);
  nxBatchPutU32(aPtr + 16, static_cast<std::uint32_t>(aInfo.irciIndex));
}

TnxBatchBlobOffset nxBatchGetBlobOffset(const std::uint8_t* aPtr) {
  return TnxBatchBlobOffset{nxBatchGetU32(aPtr), nxBatchGetU16(aPtr + 4)};
}

void nxBatchPutBlobOffset(std::uint8_t* aPtr, const TnxBatchBlobOffset& aOffset) {
  nxBatchPutU32(aPtr, aOffset.bboOffset);
  nxBatchPutU16(aPtr + 4, aOffset.bboFieldNo);
}

namespace {

// One client BLOB info: a 16-bit count, then the numbers. Nil: none.
struct ClientBlobs {
  const std::uint8_t* info = nullptr;
  std::uint16_t Count() const { return info ? nxBatchGetU16(info) : 0; }
  TnxBlobNr At(std::uint16_t i) const { return nxBatchGetI64(info + 2 + 8 * static_cast<std::size_t>(i)); }
  bool Holds(TnxBlobNr aBlobNr) const {
    for (std::uint16_t i = 0; i < Count(); ++i)
      if (At(i) == aBlobNr) return true;
    return false;
  }
};

std::vector<ClientBlobs> splitBlobInfos(const std::uint8_t* aBlobInfos, std::int32_t aCount) {
  std::vector<ClientBlobs> result(static_cast<std::size_t>(std::max(aCount, 0)));
  if (!aBlobInfos) return result;
  for (auto& item : result) {
    item.info = aBlobInfos;
    aBlobInfos += 2 + 8 * static_cast<std::size_t>(nxBatchGetU16(aBlobInfos));
  }
  return result;
}

std::uint8_t* payloadOf(const TnxBatchStreamEntry& aEntry) {
  const bool flagged = (nxBatchGetU32(aEntry.bseEntryBase) & nxBatchResultFlag) != 0;
  return aEntry.bseEntryBase + (flagged ? 8 : 4);
}

std::uint32_t payloadSize(const TnxBatchStreamEntry& aEntry) {
  const bool flagged = (nxBatchGetU32(aEntry.bseEntryBase) & nxBatchResultFlag) != 0;
  return flagged ? aEntry.bseSize - 4 : aEntry.bseSize;
}

}  // namespace

TnxBatchStreamAccess::TnxBatchStreamAccess(TnxAbstractCursor* aCursor, TnxRecordGetBatchExOptions aOptions,
                                           TnxMemoryStream* aStream)
    : bsaCursor(aCursor), bsaOptions(aOptions) {
  TnxFieldsDescriptor* fields = aCursor->FieldsDescriptor();
  if (!fields) throw EnxBaseException(nxErrInvalidParam);
  TnxBlobFields blobFields;
  if (!fields->HasBlobFields(blobFields)) bsaOptions.exclude(gboBlobs);
  if (!bsaOptions.contains(gboBlobs)) bsaOptions.exclude(gboBlobNrs);
  if (bsaOptions.contains(gboBlobs) && bsaOptions.contains(gboBlobsOnlyMarked)) bsaMarkedBlobs = aCursor->MarkedBlobs();
  bsaRecordLength = static_cast<std::uint32_t>(fields->RecordLength());
  if (bsaOptions.contains(gboBookmarks)) {
    std::int32_t size = 0;
    const TnxResult result = aCursor->sbcGetBookmarkSize(size);
    if (result != 0) throw EnxBaseException(result);
    bsaBookmarkSize = static_cast<std::uint32_t>(std::max(size, 0));
  }
  // Taken last: a failing constructor leaves a passed stream to the caller.
  bsaStream = aStream ? aStream : platform::create<TnxMemoryStream>();
  Reset(false);
}

TnxBatchStreamAccess::~TnxBatchStreamAccess() { platform::TObject::free(std::exchange(bsaStream, nullptr)); }

std::uint8_t* TnxBatchStreamAccess::Memory() const {
  return bsaStream ? static_cast<std::uint8_t*>(bsaStream->Memory()) : nullptr;
}

std::int64_t TnxBatchStreamAccess::Size() const { return bsaStream ? bsaStream->Size() : 0; }

std::int32_t TnxBatchStreamAccess::Count() const {
  if (Size() < nxBatchStreamHeaderSize) return 0;
  return static_cast<std::int32_t>(nxBatchGetU32(Memory() + 4));
}

std::uint32_t TnxBatchStreamAccess::InnerError() const {
  if (Size() < nxBatchStreamHeaderSize) return 0;
  return nxBatchGetU32(Memory());
}

void TnxBatchStreamAccess::SetInnerError(std::uint32_t aValue) {
  if (Size() >= nxBatchStreamHeaderSize) nxBatchPutU32(Memory(), aValue);
}

bool TnxBatchStreamAccess::Reset(bool aApplyClientFilter) {
  bsaStart = Memory();
  bsaEnd = bsaStart + Size();
  bsaCurrentIndex = -1;
  bsaInvalidCount = bsaInvalidInfos = nullptr;
  const std::int32_t count = Count();
  bsaCount = count;
  if (count > 0) {
    bsaCurrentEntry = bsaStart + nxBatchStreamHeaderSize;
  } else {
    bsaCurrentEntry = nullptr;
    if (Size() > 12) LocateInvalidList(bsaStart + nxBatchStreamHeaderSize);
  }
  bsaCheckFilter = aApplyClientFilter && count > 0 && bsaCursor && bsaCursor->GetIsRemote() &&
                   bsaCursor->HasActiveLocalFilter();
  return count > 0;
}

void TnxBatchStreamAccess::LocateInvalidList(std::uint8_t* aAfter) {
  const std::uint64_t remaining = static_cast<std::uint64_t>(bsaEnd - aAfter);
  if (remaining <= 4) return;
  const std::uint64_t count = nxBatchGetU32(aAfter);
  if (4 + nxBatchRecordCacheInfoSize * count > remaining) return;
  bsaInvalidCount = aAfter;
  bsaInvalidInfos = aAfter + 4;
}

std::uint32_t TnxBatchStreamAccess::InvalidCount() const { return bsaInvalidCount ? nxBatchGetU32(bsaInvalidCount) : 0; }

TnxRecordCacheInfo TnxBatchStreamAccess::InvalidInfo(std::uint32_t aIndex) const {
  if (aIndex >= InvalidCount()) throw EnxBaseException(nxErrOutOfRange);
  const std::uint8_t* p = bsaInvalidInfos + nxBatchRecordCacheInfoSize * aIndex;
  return TnxRecordCacheInfo{nxBatchGetI64(p), nxBatchGetI64(p + 8)};
}

bool TnxBatchStreamAccess::DecodeEntry(std::uint8_t* aPos, TnxBatchStreamEntry& aEntry, std::uint8_t*& aNext) const {
  aEntry = TnxBatchStreamEntry{};
  aEntry.bseBatchAccess = const_cast<TnxBatchStreamAccess*>(this);
  aEntry.bseStreamBase = bsaStart;
  aEntry.bseEntryBase = aPos;
  const std::uint64_t remaining = static_cast<std::uint64_t>(bsaEnd - aPos);
  if (remaining < 4) return false;
  const std::uint32_t word = nxBatchGetU32(aPos);
  const std::uint32_t size = word & nxBatchSizeMask;
  if (4 + static_cast<std::uint64_t>(size) > remaining) return false;
  std::uint8_t* payload = aPos + 4;
  std::uint32_t payloadLen = size;
  if (word & nxBatchResultFlag) {
    if (size < 4) return false;
    aEntry.bseResult = static_cast<TnxResult>(nxBatchGetU32(aPos + 4));
    payload += 4;
    payloadLen -= 4;
  }
  aEntry.bseSize = size;
  if (aEntry.bseResult == nxBatchCacheValid) {
    if (payloadLen >= nxBatchCacheInfoSize) {
      aEntry.bseCacheInfo = payload;
      if (bsaOptions.contains(gboBlobs) && payloadLen >= nxBatchCacheInfoSize + sizeof(TnxBatchBlobOffset) &&
          nxBatchGetU32(payload + nxBatchCacheInfoSize) != 0)
        aEntry.bseBlobOffsets = payload + nxBatchCacheInfoSize;
    }
  } else if (aEntry.bseResult == 0) {
    // A record cut short would be read past its entry.
    if (static_cast<std::uint64_t>(bsaRecordLength) + bsaBookmarkSize > payloadLen) return false;
    aEntry.bseRecord = payload;
    if (bsaOptions.contains(gboBookmarks)) aEntry.bseBookmark = payload + bsaRecordLength;
  }
  aNext = aPos + 4 + size;
  return true;
}

bool TnxBatchStreamAccess::Next(TnxBatchStreamEntry& aEntry, std::int32_t* aPos, std::int32_t* aTotalPos) {
  for (;;) {
    if (!bsaCurrentEntry) {
      aEntry = TnxBatchStreamEntry{};
      return false;
    }
    std::uint8_t* next = nullptr;
    if (!DecodeEntry(bsaCurrentEntry, aEntry, next)) {
      bsaCurrentEntry = nullptr;
      aEntry = TnxBatchStreamEntry{};
      return false;
    }
    ++bsaCurrentIndex;
    if (aTotalPos) ++*aTotalPos;
    if (bsaCurrentIndex >= bsaCount - 1) {
      LocateInvalidList(next);
      bsaCurrentEntry = nullptr;
    } else {
      bsaCurrentEntry = next < bsaEnd ? next : nullptr;
    }
    if (bsaCheckFilter && (!aEntry.bseRecord || !bsaCursor->FilterMatchesBuffer(aEntry.bseRecord))) continue;
    if (aPos) ++*aPos;
    return true;
  }
}

void TnxBatchStreamAccess::Clear(bool aKeepError) {
  if (aKeepError && Size() >= 4 && nxBatchGetU32(Memory()) != 0) {
    bsaStream->SetSize(nxBatchStreamHeaderSize);
    nxBatchPutU32(Memory() + 4, 0);
  } else {
    bsaStream->SetSize(0);
  }
  bsaStream->SetPosition(bsaStream->Size());
  Reset(false);
}

bool TnxBatchStreamAccess::IsBlobField(std::int32_t aFieldNo) const {
  TnxFieldsDescriptor* fields = bsaCursor->FieldsDescriptor();
  return aFieldNo >= 0 && aFieldNo < fields->FieldCount() &&
         nxFieldTypeIn(fields->Fields(aFieldNo)->fdType, nxBlobFieldTypes);
}

std::int32_t TnxBatchStreamAccess::BlobFieldCount() const {
  TnxFieldsDescriptor* fields = bsaCursor->FieldsDescriptor();
  std::int32_t count = 0;
  for (std::int32_t i = 0; i < fields->FieldCount(); ++i)
    if (nxFieldTypeIn(fields->Fields(i)->fdType, nxBlobFieldTypes)) ++count;
  return count;
}

bool TnxBatchStreamAccess::FieldSelected(std::int32_t aFieldNo) const {
  if (!bsaOptions.contains(gboBlobs)) return false;
  if (!bsaOptions.contains(gboBlobsOnlyMarked)) return true;
  const std::int32_t blobIndex = bsaCursor->FieldsDescriptor()->Fields(aFieldNo)->fdBlobIndex;
  if (blobIndex < 0) return false;
  const std::size_t word = static_cast<std::size_t>(blobIndex) / 32;
  return word < bsaMarkedBlobs.size() && ((bsaMarkedBlobs[word] >> (blobIndex % 32)) & 1u) != 0;
}

bool TnxBatchStreamAccess::GetBlobAccess(const TnxBatchStreamEntry& aEntry, std::int32_t aFieldNo,
                                         TnxBatchBlobAccess& aBlobAccess) {
  aBlobAccess = TnxBatchBlobAccess{};
  aBlobAccess.bbaFieldNo = static_cast<std::uint16_t>(aFieldNo);
  if (!aEntry.bseRecord) {
    aBlobAccess.bbaResult = aEntry.bseResult ? aEntry.bseResult : nxErrNoCurrentRecord;
    return false;
  }
  if (!IsBlobField(aFieldNo)) {
    aBlobAccess.bbaResult = nxErrNotABlob;
    return false;
  }
  TnxFieldsDescriptor* fields = bsaCursor->FieldsDescriptor();
  if (fields->IsRecordFieldNull(aFieldNo, aEntry.bseRecord)) return false;
  const std::int64_t value = nxBatchGetI64(aEntry.bseRecord + fields->Fields(aFieldNo)->fdOffset);
  if (value == 0) return false;
  if (FieldSelected(aFieldNo)) {
    aBlobAccess.bbaOffset = static_cast<std::uint32_t>(value);
    return GetBlobAccess(aEntry, aBlobAccess);
  }
  aBlobAccess.bbaBlobNr = value;
  return true;
}

bool TnxBatchStreamAccess::GetBlobAccessByOffset(const TnxBatchStreamEntry& aEntry, std::uint32_t aBlobOffset,
                                                 TnxBatchBlobAccess& aBlobAccess) {
  aBlobAccess = TnxBatchBlobAccess{};
  aBlobAccess.bbaOffset = aBlobOffset;
  return GetBlobAccess(aEntry, aBlobAccess);
}

bool TnxBatchStreamAccess::GetBlobAccess(const TnxBatchStreamEntry& aEntry, TnxBatchBlobAccess& aBlobAccess) {
  const std::uint32_t offset = aBlobAccess.bbaOffset;
  if (offset == 0) return false;
  std::uint8_t* base = aEntry.bseStreamBase ? aEntry.bseStreamBase : bsaStart;
  const std::uint64_t size = static_cast<std::uint64_t>(bsaEnd - base);
  // A block reaching past the stream counts as its end.
  if (static_cast<std::uint64_t>(offset) + 4 > size) {
    aBlobAccess.bbaResult = nxErrGeneral;
    return false;
  }
  std::uint8_t* block = base + offset;
  const std::uint32_t word = nxBatchGetU32(block);
  const std::uint32_t s = word & nxBatchSizeMask;
  const std::uint64_t blockEnd = static_cast<std::uint64_t>(offset) + 4 + s +
                                 (bsaOptions.contains(gboBlobNrs) ? sizeof(TnxBlobNr) : 0);
  if (blockEnd > size) {
    aBlobAccess.bbaResult = nxErrGeneral;
    return false;
  }
  aBlobAccess.bbaBase = block;
  aBlobAccess.bbaSize = s;
  aBlobAccess.bbaBlobData = nullptr;
  if (word & nxBatchResultFlag)
    aBlobAccess.bbaResult = s >= 4 ? static_cast<TnxResult>(nxBatchGetU32(block + 4)) : nxErrGeneral;
  else {
    aBlobAccess.bbaResult = 0;
    aBlobAccess.bbaBlobData = block + 4;
  }
  if (bsaOptions.contains(gboBlobNrs)) aBlobAccess.bbaBlobNr = nxBatchGetI64(block + 4 + s);
  return true;
}

bool TnxBatchStreamAccess::GetBlobAccesses(const TnxBatchStreamEntry& aEntry, TnxBatchBlobAccesses& aBlobAccesses,
                                           bool aEmbeddedOnly) {
  aBlobAccesses.clear();
  aBlobAccesses.reserve(static_cast<std::size_t>(BlobFieldCount()));
  TnxBatchBlobAccess access{};
  if (aEntry.bseRecord) {
    TnxFieldsDescriptor* fields = bsaCursor->FieldsDescriptor();
    for (std::int32_t i = 0; i < fields->FieldCount(); ++i) {
      if (!nxFieldTypeIn(fields->Fields(i)->fdType, nxBlobFieldTypes)) continue;
      if (GetBlobAccess(aEntry, i, access) && (!aEmbeddedOnly || access.bbaBlobData)) aBlobAccesses.push_back(access);
    }
  } else if (aEntry.bseBlobOffsets) {
    const std::uint8_t* end = aEntry.bseEntryBase + 4 + aEntry.bseSize;
    const std::int32_t limit = BlobFieldCount();
    const std::uint8_t* p = aEntry.bseBlobOffsets;
    for (std::int32_t n = 0; n < limit && p + sizeof(TnxBatchBlobOffset) <= end; ++n, p += sizeof(TnxBatchBlobOffset)) {
      const TnxBatchBlobOffset item = nxBatchGetBlobOffset(p);
      if (item.bboOffset == 0) break;
      if (GetBlobAccessByOffset(aEntry, item.bboOffset, access)) {
        access.bbaFieldNo = item.bboFieldNo;
        if (!aEmbeddedOnly || access.bbaBlobData) aBlobAccesses.push_back(access);
      }
    }
  }
  return !aBlobAccesses.empty();
}

void TnxBatchStreamAccess::FixupBlobs(TnxRecordGetBatchExOptions aOrgOptions) {
  if (!bsaOptions.contains(gboBlobs) || aOrgOptions.contains(gboBlobs)) return;
  TnxFieldsDescriptor* fields = bsaCursor->FieldsDescriptor();
  Reset(false);
  TnxBatchStreamEntry entry{};
  TnxBatchBlobAccess access{};
  while (Next(entry)) {
    if (!entry.bseRecord) continue;
    for (std::int32_t i = 0; i < fields->FieldCount(); ++i) {
      if (!nxFieldTypeIn(fields->Fields(i)->fdType, nxBlobFieldTypes) || !FieldSelected(i)) continue;
      if (fields->IsRecordFieldNull(i, entry.bseRecord)) continue;
      std::uint8_t* field = entry.bseRecord + fields->Fields(i)->fdOffset;
      const std::int64_t value = nxBatchGetI64(field);
      if (value == 0) continue;
      if (GetBlobAccessByOffset(entry, static_cast<std::uint32_t>(value), access) && bsaOptions.contains(gboBlobNrs))
        nxBatchPutI64(field, access.bbaBlobNr);
    }
  }
  bsaOptions.exclude(gboBlobs);
  bsaOptions.exclude(gboBlobNrs);
  bsaOptions.exclude(gboBlobsOnlyMarked);
  bsaMarkedBlobs.clear();
  Reset(false);
}

void TnxBatchStreamAccess::MarkClientBlobs(TnxBatchStreamEntry& aEntry, const std::uint8_t* aBlobInfo,
                                           bool /*aWriteOffsets*/, bool& aDiffers) {
  aDiffers = false;
  if (!bsaOptions.contains(gboBlobs)) return;
  const ClientBlobs client{aBlobInfo};
  TnxBatchBlobAccesses accesses;
  GetBlobAccesses(aEntry, accesses, false);
  std::uint16_t held = 0;
  for (auto& access : accesses) {
    if (!client.Holds(access.bbaBlobNr)) {
      aDiffers = true;
      continue;
    }
    ++held;
    if (!access.bbaBlobData || access.bbaSize <= 4) continue;
    std::memset(access.bbaBlobData, 0, access.bbaSize);
    nxBatchPutU32(access.bbaBlobData, nxBatchCacheValid);
    nxBatchPutU32(access.bbaBase, nxBatchGetU32(access.bbaBase) | nxBatchResultFlag);
  }
  if (held != client.Count()) aDiffers = true;
}

void TnxBatchStreamAccess::MakeCacheValid(TnxBatchStreamEntry& aEntry, const TnxIndexedRecordCacheInfo& aInfo,
                                          const std::uint8_t* aBlobInfo, bool& aAnswer) {
  TnxBatchBlobAccesses accesses;
  bool keepBlocks = false;
  if (bsaOptions.contains(gboBlobs)) {
    GetBlobAccesses(aEntry, accesses, false);
    bool differs = false;
    MarkClientBlobs(aEntry, aBlobInfo, true, differs);
    if (differs && !accesses.empty()) {
      keepBlocks = true;
      aAnswer = false;
    }
  }
  std::uint8_t* region = aEntry.bseEntryBase + 4;
  const std::size_t headLen = static_cast<std::size_t>(payloadOf(aEntry) - region);
  const std::size_t recordPart = headLen + bsaRecordLength + bsaBookmarkSize;
  const std::size_t needed = 4 + nxBatchCacheInfoSize + (keepBlocks ? sizeof(TnxBatchBlobOffset) * accesses.size() : 0);
  // The result, the info and the offsets must fit where the record was.
  if (needed > (keepBlocks ? recordPart : aEntry.bseSize)) return;
  std::memset(region, 0, keepBlocks ? recordPart : aEntry.bseSize);
  nxBatchPutU32(region, nxBatchCacheValid);
  nxBatchPutCacheInfo(region + 4, aInfo);
  if (keepBlocks) {
    std::uint8_t* p = region + 4 + nxBatchCacheInfoSize;
    for (const auto& access : accesses) {
      nxBatchPutBlobOffset(p, TnxBatchBlobOffset{access.bbaOffset, access.bbaFieldNo});
      p += sizeof(TnxBatchBlobOffset);
    }
  }
  nxBatchPutU32(aEntry.bseEntryBase, nxBatchGetU32(aEntry.bseEntryBase) | nxBatchResultFlag);
}

std::uint8_t* TnxBatchStreamAccess::EndOfEntries() {
  Reset(false);
  std::uint8_t* end = bsaStart + std::min<std::int64_t>(Size(), nxBatchStreamHeaderSize);
  std::uint8_t* p = bsaCurrentEntry;
  std::uint8_t* next = nullptr;
  TnxBatchStreamEntry entry{};
  for (std::int32_t i = 0; p && i < Count(); ++i) {
    if (!DecodeEntry(p, entry, next)) break;
    end = next;
    p = next < bsaEnd ? next : nullptr;
  }
  return end;
}

void TnxBatchStreamAccess::AppendInvalid(const std::vector<TnxRecordCacheInfo>& aInvalid,
                                         std::uint8_t* aAfterEntries) {
  const std::int64_t at = aAfterEntries - bsaStart;
  const std::int64_t size = aInvalid.empty() ? at : at + 4 + nxBatchRecordCacheInfoSize * static_cast<std::int64_t>(aInvalid.size());
  bsaStream->SetSize(size);
  if (!aInvalid.empty()) {
    std::uint8_t* p = Memory() + at;
    nxBatchPutU32(p, static_cast<std::uint32_t>(aInvalid.size()));
    p += 4;
    for (const auto& info : aInvalid) {
      nxBatchPutI64(p, info.rciRefNr);
      nxBatchPutI64(p + 8, info.rciModifyLSN);
      p += nxBatchRecordCacheInfoSize;
    }
  }
  Reset(false);
}

bool TnxBatchStreamAccess::CheckCacheValid(std::int32_t aCacheInfosCount, const TnxIndexedRecordCacheInfo* aCacheInfos,
                                           const std::uint8_t* aBlobInfos) {
  const std::int32_t count = std::max(aCacheInfosCount, 0);
  bool answer = count == Count();
  const auto client = splitBlobInfos(bsaOptions.contains(gboBlobs) ? aBlobInfos : nullptr, count);
  std::vector<bool> used(static_cast<std::size_t>(count), false);
  std::vector<TnxBatchStreamEntry> entries;
  Reset(false);
  for (TnxBatchStreamEntry entry{}; Next(entry);) entries.push_back(entry);
  std::uint8_t* afterEntries = EndOfEntries();

  auto recordInfo = [&](const TnxBatchStreamEntry& aEntry, TnxRecordCacheInfo& aInfo) {
    return aEntry.bseRecord && payloadSize(aEntry) > 23 && bsaCursor->ExtractCacheInfo(aEntry.bseRecord, aInfo) == 0;
  };
  // In step.
  std::size_t e = 0;
  std::int32_t i = 0;
  for (; i < count && e < entries.size(); ++i, ++e) {
    TnxRecordCacheInfo info{};
    if (!recordInfo(entries[e], info) || info.rciRefNr != aCacheInfos[i].irciRefNr ||
        info.rciModifyLSN != aCacheInfos[i].irciModifyLSN) {
      answer = false;
      break;
    }
    MakeCacheValid(entries[e], aCacheInfos[i], client[static_cast<std::size_t>(i)].info, answer);
    used[static_cast<std::size_t>(i)] = true;
  }
  if (i < count) answer = false;
  // Out of order.
  std::multimap<TnxRefNr, std::int32_t> byRefNr;
  for (std::int32_t k = i; k < count; ++k) byRefNr.emplace(aCacheInfos[k].irciRefNr, k);
  for (; e < entries.size() && !byRefNr.empty(); ++e) {
    TnxRecordCacheInfo info{};
    if (!recordInfo(entries[e], info)) continue;
    auto [first, last] = byRefNr.equal_range(info.rciRefNr);
    for (auto it = first; it != last; ++it) {
      const std::int32_t k = it->second;
      if (aCacheInfos[k].irciModifyLSN == info.rciModifyLSN) {
        MakeCacheValid(entries[e], aCacheInfos[k], client[static_cast<std::size_t>(k)].info, answer);
        used[static_cast<std::size_t>(k)] = true;
      } else {
        bool differs = false;
        MarkClientBlobs(entries[e], client[static_cast<std::size_t>(k)].info, false, differs);
      }
      byRefNr.erase(it);
      break;
    }
  }
  // Versions the batch did not carry: gone ones go to the invalid list.
  std::vector<TnxRecordCacheInfo> invalid;
  for (std::int32_t k = 0; k < count; ++k) {
    if (used[static_cast<std::size_t>(k)]) continue;
    TnxLSN lsn = aCacheInfos[k].irciModifyLSN;
    TnxRefNr refNr = aCacheInfos[k].irciRefNr;
    const TnxResult result = bsaCursor->ContainsLSNRefNr(lsn, refNr);
    if (result == nxErrKeyOrRecDeleted || result == nxErrRecordNotFound)
      invalid.push_back(TnxRecordCacheInfo{aCacheInfos[k].irciRefNr, aCacheInfos[k].irciModifyLSN});
  }
  AppendInvalid(invalid, afterEntries);
  return answer;
}

bool TnxBatchStreamAccess::CheckCacheValidSeq(const TnxRecordCacheInfos& aCacheInfos, const std::uint8_t* aBlobInfos) {
  const std::int32_t count = static_cast<std::int32_t>(aCacheInfos.size());
  bool answer = count == Count();
  const auto client = splitBlobInfos(bsaOptions.contains(gboBlobs) ? aBlobInfos : nullptr, count);
  std::vector<TnxBatchStreamEntry> entries;
  Reset(false);
  for (TnxBatchStreamEntry entry{}; Next(entry);) entries.push_back(entry);
  std::uint8_t* afterEntries = EndOfEntries();
  std::vector<TnxRecordCacheInfo> invalid;
  auto checkGone = [&](const TnxRecordCacheInfo& aInfo) {
    TnxLSN lsn = aInfo.rciModifyLSN;
    TnxRefNr refNr = aInfo.rciRefNr;
    const TnxResult result = bsaCursor->ContainsLSNRefNr(lsn, refNr);
    if (result == nxErrKeyOrRecDeleted || result == nxErrRecordNotFound) invalid.push_back(aInfo);
  };
  std::size_t k = 0;
  for (std::size_t e = 0; e < entries.size() && k < aCacheInfos.size(); ++e, ++k) {
    const TnxRecordCacheInfo& want = aCacheInfos[k];
    TnxRecordCacheInfo info{};
    if (entries[e].bseRecord && payloadSize(entries[e]) >= 20 &&
        bsaCursor->ExtractCacheInfo(entries[e].bseRecord, info) == 0 && info.rciRefNr == want.rciRefNr) {
      if (info.rciModifyLSN == want.rciModifyLSN) {
        MakeCacheValid(entries[e], TnxIndexedRecordCacheInfo{want.rciRefNr, want.rciModifyLSN, 0},
                       client[k].info, answer);
      } else {
        bool differs = false;
        MarkClientBlobs(entries[e], client[k].info, false, differs);
        answer = false;
      }
    } else {
      checkGone(want);
      answer = false;
    }
  }
  for (; k < aCacheInfos.size(); ++k) {
    checkGone(aCacheInfos[k]);
    answer = false;
  }
  AppendInvalid(invalid, afterEntries);
  return answer;
}

void TnxBatchStreamAccess::CheckEntryForCachedBlobs(TnxBatchStreamEntry& aEntry, TnxAbstractCursor* aCache,
                                                    TnxBatchBlobAccesses& aBlobs) {
  aBlobs.clear();
  if (!aEntry.bseRecord || !bsaOptions.contains(gboBlobs) || !aCache) return;
  GetBlobAccesses(aEntry, aBlobs, false);
  const TnxRecID recID = bsaCursor->acGetRecID(aEntry.bseRecord);
  for (auto& access : aBlobs) {
    if (access.bbaBlobData || !access.bbaBase) continue;
    std::uint32_t length = 0;
    TnxResult result = aCache->BlobGetLength(recID, access.bbaFieldNo, access.bbaBlobNr, length, false, nullptr);
    if (result == 0 && length == access.bbaSize) {
      TnxStaticMemoryStream target(access.bbaBase + 4, static_cast<std::int32_t>(access.bbaSize));
      result = aCache->BlobRead(recID, access.bbaFieldNo, access.bbaBlobNr, 0, access.bbaSize, target, false, nullptr);
      if (result == 0 && target.Position() != static_cast<std::int64_t>(access.bbaSize)) result = nxErrBlobGeneral;
      if (result == 0) {
        nxBatchPutU32(access.bbaBase, access.bbaSize);
        access.bbaBlobData = access.bbaBase + 4;
        access.bbaResult = 0;
        access.bbaInCache = true;
        continue;
      }
    }
    if (result != 0) {
      access.bbaResult = result;
      if (access.bbaSize >= 4) nxBatchPutU32(access.bbaBase + 4, static_cast<std::uint32_t>(result));
    }
  }
}

bool TnxBatchStreamAccess::OverwriteEntry(TnxBatchStreamEntry& aTarget, const TnxBatchStreamEntry& aSource,
                                          TnxBatchBlobAccesses& aBlobs, bool aRemoveBlobData) {
  aBlobs.clear();
  if (aTarget.bseEntryBase < bsaStart || aTarget.bseEntryBase >= bsaEnd) return false;
  const bool partial = aTarget.bseBlobOffsets != nullptr || aRemoveBlobData;
  if (partial && !bsaOptions.contains(gboBlobs)) return false;
  TnxBatchBlobAccesses targetBlobs;
  if (partial) GetBlobAccesses(aTarget, targetBlobs, false);
  const std::uint32_t sourceWord = nxBatchGetU32(aSource.bseEntryBase);
  const std::uint32_t copyLen = partial ? (sourceWord & nxBatchResultFlag ? 4 : 0) + bsaRecordLength + bsaBookmarkSize
                                        : aSource.bseSize;
  if (aTarget.bseSize < copyLen || aSource.bseSize < copyLen) return false;
  std::memmove(aTarget.bseEntryBase + 4, aSource.bseEntryBase + 4, copyLen);
  const std::uint32_t targetWord = nxBatchGetU32(aTarget.bseEntryBase);
  nxBatchPutU32(aTarget.bseEntryBase, (targetWord & nxBatchSizeMask) | (sourceWord & nxBatchResultFlag));
  std::uint8_t* next = nullptr;
  if (!DecodeEntry(aTarget.bseEntryBase, aTarget, next) || !aTarget.bseRecord) return true;
  if (!bsaOptions.contains(gboBlobs)) return true;
  TnxFieldsDescriptor* fields = bsaCursor->FieldsDescriptor();
  TnxBatchBlobAccess sourceAccess{};
  for (std::int32_t i = 0; i < fields->FieldCount(); ++i) {
    if (!nxFieldTypeIn(fields->Fields(i)->fdType, nxBlobFieldTypes) || !FieldSelected(i)) continue;
    if (fields->IsRecordFieldNull(i, aTarget.bseRecord)) continue;
    std::uint8_t* field = aTarget.bseRecord + fields->Fields(i)->fdOffset;
    const bool haveSource =
        aSource.bseBatchAccess && aSource.bseBatchAccess->GetBlobAccess(aSource, i, sourceAccess) && sourceAccess.bbaBase;
    if (aRemoveBlobData) {
      if (haveSource) nxBatchPutI64(field, sourceAccess.bbaBlobNr);
      continue;
    }
    auto own = std::find_if(targetBlobs.begin(), targetBlobs.end(),
                            [&](const TnxBatchBlobAccess& a) { return a.bbaFieldNo == i; });
    if (own != targetBlobs.end()) {
      if (!own->bbaBlobData && haveSource && sourceAccess.bbaBlobData && sourceAccess.bbaSize == own->bbaSize) {
        std::memcpy(own->bbaBase + 4, sourceAccess.bbaBlobData, own->bbaSize);
        nxBatchPutU32(own->bbaBase, own->bbaSize);
        own->bbaBlobData = own->bbaBase + 4;
        own->bbaResult = 0;
      }
      nxBatchPutI64(field, own->bbaOffset);
    } else if (!partial) {
      // The whole entry moved: its block offsets move with it.
      const std::int64_t shift = (aTarget.bseEntryBase - bsaStart) - (aSource.bseEntryBase - aSource.bseStreamBase);
      nxBatchPutI64(field, static_cast<std::int64_t>(static_cast<std::uint32_t>(nxBatchGetI64(field))) + shift);
    }
  }
  GetBlobAccesses(aTarget, aBlobs, false);
  return true;
}
