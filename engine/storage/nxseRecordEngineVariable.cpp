// Records as heap segments with forward references.
#include "nxseRecordEngineVariable.h"

#include <algorithm>
#include <cstring>

#include "nxsdFilterEngineBase.h"
#include "nxseHeaderAccess.h"
#include "nxsrTimeoutHandling.h"

NX_IMPLEMENT_EXCEPTION(EnxVariableRecordEngineException, EnxBaseRecordEngineException)

PL_CLASS_INFO_IMPL(TnxVariableRecordHeapHeaderHandler, TnxHeapHeaderHandler, "TnxVariableRecordHeapHeaderHandler",
                   nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxVariableRecordEngine, TnxBaseRecordEngine, "TnxVariableRecordEngine", nullptr,
                         platform::bindClassTable(nxSubEngineFuncs<TnxVariableRecordEngine>))

namespace {

// Header section fields.
constexpr std::uint32_t kVariableCount = 0, kVariableFirst = 4, kVariableLast = 8, kFirstManagement = 12;
constexpr std::uint8_t kVariableSectionSize = 24;
// Data block fields.
constexpr std::uint32_t kVariableNext = 16, kVariablePrev = 20;
// Flag bits of a record segment.
constexpr std::uint8_t kMoved = 1, kRaw = 2, kForward = 4, kPadded = 8, kUnknownFlags = 0xF0;

TnxRefNr makeVariableRefNr(TnxBlockNumber aBlock, TnxSegmentRef aSlot) {
  return static_cast<TnxRefNr>(nxMakeHeapRef(aBlock, aSlot));
}

TnxBaseFilterEngine* variableActiveFilter(TnxBaseFilterEngine* aFilter) {
  return aFilter && aFilter->GetActive() ? aFilter : nullptr;
}

}  // namespace

// A record as the pieces of its segment: the flag byte, the payload and
// the padding of a short raw record.
struct TnxVariableRecordEngine::Encoded {
  std::uint8_t flags[2] = {0, 0};  // the flag word, little-endian
  TnxHeapPiece pieces[3];
  std::size_t count = 0;
  std::uint32_t total = 0;
  std::span<const TnxHeapPiece> span() const { return {pieces, count}; }
  void Write(std::uint8_t* aTarget) const {
    for (std::size_t i = 0; i < count; ++i) {
      std::memcpy(aTarget, pieces[i].hpData, pieces[i].hpSize);
      aTarget += pieces[i].hpSize;
    }
  }
};

// ---- Header handler ---------------------------------------------------------------------------

void TnxVariableRecordHeapHeaderHandler::RaiseChain(TnxBlockNumber aBlock) {
  throw EnxVariableRecordEngineException(nxErrCorruptFile, u"Record block chain is corrupt at block %d",
                                         {static_cast<std::int64_t>(aBlock)});
}

void TnxVariableRecordHeapHeaderHandler::LinkDataBlock(TnxBaseTransaction* aTrans, TnxBaseFileHeaderAccess* aHeader,
                                                       PnxBlock aBlock) {
  std::uint8_t* section = aHeader->Header + hhhHeaderSection;
  const TnxBlockNumber number = nxseThisBlock(aBlock);
  const TnxBlockNumber last = nxseGetU32(section + kVariableLast);
  if (last != 0) {
    TnxPinnedBlock previous([&](TnxReleaseMethod& r) { return hhhEngine->ReadBlockHeap(aTrans, last, true, r); });
    if (nxseGetU32(previous.Block() + kVariableNext) != 0) RaiseChain(last);
    nxsePutU32(previous.Block() + kVariableNext, number);
  } else if (nxseGetU32(section + kVariableFirst) != 0) {
    RaiseChain(0);
  } else {
    nxsePutU32(section + kVariableFirst, number);
  }
  nxsePutU32(aBlock + kVariableNext, 0);
  nxsePutU32(aBlock + kVariablePrev, last);
  nxsePutU32(section + kVariableLast, number);
}

void TnxVariableRecordHeapHeaderHandler::UnlinkDataBlock(TnxBaseTransaction* aTrans,
                                                         TnxBaseFileHeaderAccess* aHeader, PnxBlock aBlock) {
  std::uint8_t* section = aHeader->Header + hhhHeaderSection;
  const TnxBlockNumber number = nxseThisBlock(aBlock);
  const TnxBlockNumber next = nxseGetU32(aBlock + kVariableNext), prev = nxseGetU32(aBlock + kVariablePrev);
  if (prev != 0) {
    TnxPinnedBlock p([&](TnxReleaseMethod& r) { return hhhEngine->ReadBlockHeap(aTrans, prev, true, r); });
    if (nxseGetU32(p.Block() + kVariableNext) != number) RaiseChain(prev);
    nxsePutU32(p.Block() + kVariableNext, next);
  } else {
    if (nxseGetU32(section + kVariableFirst) != number) RaiseChain(number);
    nxsePutU32(section + kVariableFirst, next);
  }
  if (next != 0) {
    TnxPinnedBlock n([&](TnxReleaseMethod& r) { return hhhEngine->ReadBlockHeap(aTrans, next, true, r); });
    if (nxseGetU32(n.Block() + kVariablePrev) != number) RaiseChain(next);
    nxsePutU32(n.Block() + kVariablePrev, prev);
  } else {
    if (nxseGetU32(section + kVariableLast) != number) RaiseChain(number);
    nxsePutU32(section + kVariableLast, prev);
  }
}

TnxBlockNumber TnxVariableRecordHeapHeaderHandler::GetFirstManagementBlock(TnxBaseFileHeaderAccess* aHeader) {
  return nxseGetU32(aHeader->Header + hhhHeaderSection + kFirstManagement);
}

void TnxVariableRecordHeapHeaderHandler::SetFirstManagementBlock(TnxBaseFileHeaderAccess* aHeader,
                                                                 TnxBlockNumber aBlockNumber) {
  nxsePutU32(aHeader->Header + hhhHeaderSection + kFirstManagement, aBlockNumber);
}

// ---- Life ----------------------------------------------------------------------------------------

TnxVariableRecordEngine::TnxVariableRecordEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans,
                                                 const TnxBlockAccessArray& aFiles)
    : TnxVariableRecordEngine(aDescriptor, aTrans, aFiles, TnxVariableRecordFormat{}) {}

TnxVariableRecordEngine::TnxVariableRecordEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans,
                                                 const TnxBlockAccessArray& aFiles,
                                                 const TnxVariableRecordFormat& aFormat)
    : TnxBaseRecordEngine(aDescriptor, aTrans, aFiles), reFormat(aFormat) {
  const std::uint32_t kMinPayload = reFormat.minPayload;
  auto* descriptor = platform::objectAs<TnxHeapRecordDescriptor>(aDescriptor);
  if (!descriptor) throw EnxVariableRecordEngineException(nxErrInvalidDesc, u"TnxHeapRecordDescriptor is required");
  if (!descriptor->HeapDescriptor()) throw EnxVariableRecordEngineException(nxErrInvalidDesc, u"A HeapDescriptor is required");
  if (breRecordLength < kMinPayload) {
    reRawPaddingSize = static_cast<std::uint16_t>(kMinPayload - breRecordLength);
    reRawPadding[reRawPaddingSize - 1u] = static_cast<std::uint8_t>(reRawPaddingSize);
  }
  const nxString section = platform::fromUtf8(descriptor->HeaderSection());
  {
    TnxOwned<TnxBaseFileHeaderAccess> access(breDataFile->HeaderAccess(aTrans, aTrans != nullptr));
    if (aTrans) {
      reHeaderSection = access->RegisterHeaderSection(section, kVariableSectionSize, true, false);
      std::memset(access->Header + reHeaderSection, 0, kVariableSectionSize);
    } else {
      reHeaderSection = access->RegisterHeaderSection(section, kVariableSectionSize, false, false);
    }
  }
  reHeapEngine.reset(TnxBaseHeapEngine::CreateEngine(descriptor->HeapDescriptor(), breDataFile, CreateHeaderHandler()));
  reCompressionEngine.reset(
      TnxBaseRecordCompressionEngine::CreateEngine(descriptor->RecordCompressionDescriptor(), bseTableVersion));
  reStoresRaw = platform::objectAs<TnxNullRecordCompressionEngine>(reCompressionEngine.get()) != nullptr;
  reRecordAllocator = nxGetPool(std::max<std::size_t>(std::size_t{breRecordLength} + 4, reFormat.minPayload));
  reRecordBuffer = static_cast<std::uint8_t*>(reRecordAllocator.Alloc());
}

TnxVariableRecordEngine::~TnxVariableRecordEngine() {
  if (reRecordBuffer) reRecordAllocator.DisposeDirect(reRecordBuffer);
}

TnxHeapHeaderHandler* TnxVariableRecordEngine::CreateHeaderHandler() {
  return platform::create<TnxVariableRecordHeapHeaderHandler>(reHeaderSection);
}

void TnxVariableRecordEngine::CheckEngineDescriptor(TnxDictionaryItem* aTable) {
  auto* table = platform::objectAs<TnxBaseTableDescriptor>(aTable);
  nxAssert(table != nullptr, "Record engine check without a table");
  auto* record = platform::objectAs<TnxHeapRecordDescriptor>(table->RecordDescriptor());
  if (!record)
    throw EnxVariableRecordEngineException(nxErrInvalidDesc, u"Record descriptor must be a TnxHeapRecordDescriptor is required");
  if (!record->HeapDescriptor()) throw EnxVariableRecordEngineException(nxErrInvalidDesc, u"A HeapDescriptor is required");
  TnxBaseHeapEngine::CheckValidBaseFromDescriptor(record->HeapDescriptor());
  const std::int32_t length = table->FieldsDescriptor()->RecordLength();
  int code = -1;
  for (int k = nxbs4k; k <= nxbs64k; ++k)
    if (table->DictionaryUsableBlockSize(static_cast<TnxBlockSize>(k)) >= length + 25) {
      code = k;
      break;
    }
  if (code < 0) throw EnxVariableRecordEngineException(nxErrRecordTooLarge);
  TnxDictionaryItem* root = table;
  while (root && !root->IsDataDictionary()) root = root->ParentItem();
  auto* dictionary = platform::objectAs<TnxDataDictionary>(root);
  if (!dictionary || !dictionary->FilesDescriptor()) return;
  const std::int32_t number = record->FileNumber();
  if (number < 0 || number >= dictionary->FilesDescriptor()->FileCount()) return;
  TnxFileDescriptor* file = dictionary->FilesDescriptor()->Files(number);
  if (file->BlockSize() < code) file->SetBlockSize(static_cast<TnxBlockSize>(code));
}

// ---- Helpers ---------------------------------------------------------------------------------------

void TnxVariableRecordEngine::RaiseCorrupt(TnxRefNr aRefNr, const char16_t* aWhat) {
  throw EnxVariableRecordEngineException(nxErrCorruptFile, u"Record %d in file \"%s\" is corrupt: %s",
                                         {static_cast<std::int64_t>(aRefNr), breDataFile->baFile->FileName(),
                                          nxString(aWhat)});
}

void TnxVariableRecordEngine::RaiseBlock(TnxBlockNumber aBlock) {
  throw EnxVariableRecordEngineException(nxErrCorruptFile, u"Data block %d in file \"%s\" is corrupt",
                                         {static_cast<std::int64_t>(aBlock), breDataFile->baFile->FileName()});
}

TnxSegmentRef TnxVariableRecordEngine::Slot(TnxRefNr aRefNr) const {
  return nxHeapRefSegment(static_cast<TnxHeapRef>(aRefNr)) & reHeapEngine->bheBlockHeapEngine->SegmentRefMask();
}

std::uint32_t TnxVariableRecordEngine::UsedBlocks(TnxBaseTransaction* aTrans) {
  TnxBaseFile* file = breDataFile->baFile;
  return file->UsedBlocksFor(aTrans);
}

void TnxVariableRecordEngine::Encode(PnxRecordBuffer aRecord, std::uint8_t aExtraFlags, Encoded& aResult) {
  aResult = {};
  const std::uint32_t kMinPayload = reFormat.minPayload;
  std::uint16_t flags = 0;
  std::uint32_t size = reCompressionEngine->CompressRecord(aRecord, reRecordBuffer);
  if (size > 0) {
    if (size < kMinPayload) {
      std::memset(reRecordBuffer + size, 0, kMinPayload - size);
      reRecordBuffer[kMinPayload - 1] = static_cast<std::uint8_t>(kMinPayload - size);
      flags = kPadded;
      size = kMinPayload;
    }
    aResult.pieces[1] = {reRecordBuffer, size};
    aResult.count = 2;
  } else {
    flags = kRaw;
    aResult.pieces[1] = {aRecord, breRecordLength};
    aResult.count = 2;
    if (reRawPaddingSize) {
      flags |= kPadded;
      aResult.pieces[2] = {reRawPadding.data(), reRawPaddingSize};
      aResult.count = 3;
    }
  }
  flags = static_cast<std::uint16_t>(flags | aExtraFlags | WriteFlags());
  aResult.flags[0] = static_cast<std::uint8_t>(flags);
  aResult.flags[1] = static_cast<std::uint8_t>(flags >> 8);
  aResult.pieces[0] = {aResult.flags, reFormat.flagSize};
  for (std::size_t i = 0; i < aResult.count; ++i) aResult.total += aResult.pieces[i].hpSize;
  // The heap answers 0 for a segment it cannot hold: refuse before any
  // change, so no zero reference is ever stored.
  if (aResult.total > reHeapEngine->bheBlockHeapEngine->MaxSegmentSize())
    throw EnxVariableRecordEngineException(nxErrRecordTooLarge);
}

void TnxVariableRecordEngine::Decode(TnxRefNr aRefNr, const std::uint8_t* aSegment, std::uint16_t aSize,
                                     PnxRecordBuffer aTarget) {
  if (aSize < reFormat.flagSize + reFormat.minPayload) RaiseCorrupt(aRefNr, u"record segment too short");
  const std::uint8_t flags = aSegment[0];
  if (flags & (kUnknownFlags | kForward)) RaiseCorrupt(aRefNr, u"record flags");
  const std::uint16_t word = reFormat.flagSize == 2 ? nxseGetU16(aSegment) : flags;
  const std::uint8_t* payload = aSegment + reFormat.flagSize;
  std::uint32_t length = aSize - std::uint32_t{reFormat.flagSize};
  if (flags & kRaw) {
    const std::uint32_t n = RawLength(word);
    if (length < n) RaiseCorrupt(aRefNr, u"raw record shorter than the record");
    std::memcpy(aTarget, payload, n);
    AfterDecode(aRefNr, word, aTarget);
    return;
  }
  // A table without compression stores every record raw.
  if (reStoresRaw) RaiseCorrupt(aRefNr, u"compressed record in a table without compression");
  if (flags & kPadded) {
    const std::uint32_t padding = payload[length - 1];
    if (padding == 0 || padding >= length) RaiseCorrupt(aRefNr, u"padding count");
    length -= padding;
  }
  reCompressionEngine->DecompressRecord(payload, static_cast<std::uint16_t>(length), aTarget);
  AfterDecode(aRefNr, word, aTarget);
}

TnxHeapRef TnxVariableRecordEngine::ForwardOf(TnxRefNr aRefNr, const std::uint8_t* aSegment, std::uint16_t aSize) {
  if (aSize != reFormat.flagSize + 8u) RaiseCorrupt(aRefNr, u"forward reference of the wrong size");
  const TnxHeapRef body = nxseGetU64(aSegment + reFormat.flagSize);
  if (body == 0) RaiseCorrupt(aRefNr, u"forward reference is zero");
  return body;
}

void TnxVariableRecordEngine::ReadBody(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxHeapRef aBody,
                                       PnxRecordBuffer aTarget) {
  TnxPinnedBlock body;
  std::uint16_t size = 0;
  const std::uint8_t* segment = nxGetPinnedSegment(*reHeapEngine, aTrans, aBody, false, size, body);
  // One level only: the body must be a moved record, never a reference.
  if (size < 1 || (segment[0] & kForward) || !(segment[0] & kMoved))
    RaiseCorrupt(aRefNr, u"forward reference does not name a moved record");
  Decode(aRefNr, segment, size, aTarget);
}

void TnxVariableRecordEngine::FreeBody(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxHeapRef aBody) {
  TnxPinnedBlock body;
  std::uint16_t size = 0;
  const std::uint8_t* segment = nxGetPinnedSegment(*reHeapEngine, aTrans, aBody, true, size, body);
  if (size < 1 || (segment[0] & kForward) || !(segment[0] & kMoved))
    RaiseCorrupt(aRefNr, u"forward reference does not name a moved record");
  reHeapEngine->bheBlockHeapEngine->FreeSegment(body.Block(), Slot(static_cast<TnxRefNr>(aBody)));
}

void TnxVariableRecordEngine::DecodeHome(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, const std::uint8_t* aSegment,
                                         std::uint16_t aSize, PnxRecordBuffer aTarget) {
  if (aSize >= 1 && (aSegment[0] & kForward))
    ReadBody(aTrans, aRefNr, ForwardOf(aRefNr, aSegment, aSize), aTarget);
  else
    Decode(aRefNr, aSegment, aSize, aTarget);
  SetRecordRefNr(aTarget, aRefNr);
}

void TnxVariableRecordEngine::AddToCount(TnxBaseTransaction* aTrans, std::int32_t aDelta) {
  TnxOwned<TnxBaseFileHeaderAccess> access(breDataFile->HeaderAccess(aTrans, true));
  std::uint8_t* count = access->Header + reHeaderSection + kVariableCount;
  const std::uint32_t value = nxseGetU32(count);
  if (aDelta < 0 && value == 0) throw EnxVariableRecordEngineException(nxErrCorruptHeader);
  nxsePutU32(count, value + static_cast<std::uint32_t>(aDelta));
}

TnxBlockNumber TnxVariableRecordEngine::ChainLink(TnxBaseTransaction* aTrans, PnxBlock aBlock, bool aBackward) {
  const TnxBlockNumber link = nxseGetU32(aBlock + (aBackward ? kVariablePrev : kVariableNext));
  if (link != 0 && !breDataFile->ValidBlock(link, aTrans)) RaiseBlock(nxseThisBlock(aBlock));
  return link;
}

template <class Visit>
void TnxVariableRecordEngine::Walk(TnxBaseTransaction* aTrans, TnxRefNr aFrom, bool aBackward, bool aCheckTimeout,
                                   Visit&& aVisit) {
  TnxBaseBlockHeapEngine& blockHeap = *reHeapEngine->bheBlockHeapEngine;
  const TnxSegmentRef startOfBlock = aBackward ? 0xFFFFFFFFu : 0u;
  TnxBlockNumber current;
  TnxSegmentRef slot;
  if (aFrom != 0) {
    current = nxHeapRefBlock(static_cast<TnxHeapRef>(aFrom));
    slot = Slot(aFrom);
  } else {
    TnxOwned<TnxBaseFileHeaderAccess> access(breDataFile->HeaderAccess(aTrans, false));
    const std::uint8_t* section = access->Header + reHeaderSection;
    current = nxseGetU32(section + (aBackward ? kVariableLast : kVariableFirst));
    if (current == 0 && nxseGetU32(section + kVariableCount) != 0) throw EnxVariableRecordEngineException(nxErrCorruptHeader);
    slot = startOfBlock;
  }
  const std::uint32_t limit = UsedBlocks(aTrans);
  std::uint32_t visited = 0;
  for (std::uint32_t steps = 0; current != 0; ++steps) {
    if (steps > limit) RaiseBlock(current);
    if (aCheckTimeout && steps > 0) nxCheckTimeout();
    TnxPinnedBlock pin([&](TnxReleaseMethod& r) { return reHeapEngine->ReadBlockHeap(aTrans, current, false, r); });
    std::uint16_t size = 0;
    while (const std::uint8_t* segment = aBackward ? blockHeap.GetPrevSegment(pin.Block(), slot, size)
                                                   : blockHeap.GetNextSegment(pin.Block(), slot, size)) {
      if (aCheckTimeout && ++visited % 1000 == 2) nxCheckTimeout();
      if (size >= 1 && (segment[0] & kMoved)) continue;
      if (!aVisit(makeVariableRefNr(current, slot), segment, size)) return;
    }
    current = ChainLink(aTrans, pin.Block(), aBackward);
    slot = startOfBlock;
  }
}

// ---- Records -----------------------------------------------------------------------------------

void TnxVariableRecordEngine::AddRecord(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PnxRecordBuffer aRecData) {
  Encoded encoded;
  Encode(aRecData, 0, encoded);
  const TnxHeapRef ref = reHeapEngine->AllocSegment(aTrans, encoded.span());
  if (ref == 0) throw EnxVariableRecordEngineException(nxErrRecordTooLarge);
  aRefNr = static_cast<TnxRefNr>(ref);
  SetRecordRefNr(aRecData, aRefNr);
  AddToCount(aTrans, 1);
}

void TnxVariableRecordEngine::DeleteRecord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr) {
  {
    TnxPinnedBlock home;
    std::uint16_t size = 0;
    const std::uint8_t* segment =
        nxGetPinnedSegment(*reHeapEngine, aTrans, static_cast<TnxHeapRef>(aRefNr), true, size, home);
    if (size < 1) RaiseCorrupt(aRefNr, u"empty segment");
    // A moved body is reached through its home only; freeing it here would
    // leave the home pointing at nothing.
    if (segment[0] & kMoved) throw EnxVariableRecordEngineException(nxErrInvalidRefNr);
    if (segment[0] & kForward) FreeBody(aTrans, aRefNr, ForwardOf(aRefNr, segment, size));
    reHeapEngine->bheBlockHeapEngine->FreeSegment(home.Block(), Slot(aRefNr));
  }
  AddToCount(aTrans, -1);
}

void TnxVariableRecordEngine::ReadRecord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PnxRecordBuffer aRecData) {
  TnxPinnedBlock home;
  std::uint16_t size = 0;
  const std::uint8_t* segment =
      nxGetPinnedSegment(*reHeapEngine, aTrans, static_cast<TnxHeapRef>(aRefNr), false, size, home);
  DecodeHome(aTrans, aRefNr, segment, size, aRecData ? aRecData : TempRecBuf);
}

void TnxVariableRecordEngine::UpdateRecord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PnxRecordBuffer aNewRecord,
                                           PnxRecordBuffer aOldRecord) {
  TnxPinnedBlock home;
  std::uint16_t size = 0;
  const std::uint8_t* segment =
      nxGetPinnedSegment(*reHeapEngine, aTrans, static_cast<TnxHeapRef>(aRefNr), true, size, home);
  if (size < 1) RaiseCorrupt(aRefNr, u"empty segment");
  const std::uint8_t flags = segment[0];
  if (flags & kMoved) throw EnxVariableRecordEngineException(nxErrInvalidRefNr);
  // The new form first: a record that cannot be stored changes nothing.
  SetRecordRefNr(aNewRecord, aRefNr);
  Encoded encoded;
  Encode(aNewRecord, 0, encoded);
  if (flags & kForward) {
    const TnxHeapRef body = ForwardOf(aRefNr, segment, size);
    if (aOldRecord) {
      ReadBody(aTrans, aRefNr, body, aOldRecord);
      SetRecordRefNr(aOldRecord, aRefNr);
    }
    FreeBody(aTrans, aRefNr, body);
  } else if (aOldRecord) {
    DecodeHome(aTrans, aRefNr, segment, size, aOldRecord);
  }
  TnxBaseBlockHeapEngine& blockHeap = *reHeapEngine->bheBlockHeapEngine;
  const TnxSegmentRef slot = Slot(aRefNr);
  if (std::uint8_t* payload = blockHeap.ReAllocSegment(home.Block(), static_cast<std::uint16_t>(encoded.total), slot)) {
    encoded.Write(payload);
    return;
  }
  // No room in the home block: the record moves to a body elsewhere and the
  // home keeps a forward reference, so the RefNr stays.
  encoded.flags[0] |= kMoved;
  const TnxHeapRef body = reHeapEngine->AllocSegment(aTrans, encoded.span());
  if (body == 0) throw EnxVariableRecordEngineException(nxErrRecordTooLarge);
  std::uint8_t* reference = blockHeap.ReAllocSegment(home.Block(), static_cast<std::uint16_t>(reFormat.flagSize + 8u), slot);
  nxAssert(reference != nullptr, "A record segment cannot shrink to a forward reference");
  // A reference carries no version: flags 4 only.
  reference[0] = kForward;
  if (reFormat.flagSize == 2) reference[1] = 0;
  nxsePutU64(reference + reFormat.flagSize, body);
}

void TnxVariableRecordEngine::GetRecordCount(TnxBaseTransaction* aTrans, std::uint32_t& aCount) {
  TnxOwned<TnxBaseFileHeaderAccess> access(breDataFile->HeaderAccess(aTrans, false));
  aCount = nxseGetU32(access->Header + reHeaderSection + kVariableCount);
}

// ---- Walks -----------------------------------------------------------------------------------------

void TnxVariableRecordEngine::ReadNeighbour(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                                            PnxRecordBuffer aRecData, bool aBackward) {
  aRefNr = 0;
  Walk(aTrans, aFromRefNr, aBackward, false, [&](TnxRefNr aRef, const std::uint8_t* aSegment, std::uint16_t aSize) {
    if (aRecData) DecodeHome(aTrans, aRef, aSegment, aSize, aRecData);
    aRefNr = aRef;
    return false;
  });
}

void TnxVariableRecordEngine::ReadNextRecord(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                                             PnxRecordBuffer aRecData) {
  ReadNeighbour(aTrans, aFromRefNr, aRefNr, aRecData, false);
}

void TnxVariableRecordEngine::ReadPrevRecord(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                                             PnxRecordBuffer aRecData) {
  ReadNeighbour(aTrans, aFromRefNr, aRefNr, aRecData, true);
}

void TnxVariableRecordEngine::IteratePrim(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PPnxRecordBuffer aData,
                                          const TnxRecordIterator& aIterator, void* aCookie,
                                          TnxBaseFilterEngine* aFilter, bool aKeepPosition, bool aSkipFirst,
                                          bool aBackward) {
  TnxBaseFilterEngine* filter = variableActiveFilter(aFilter);
  const TnxRefNr start = aRefNr;
  const TnxRefNr from = aKeepPosition ? aRefNr : 0;
  aRefNr = 0;
  bool stopped = false;
  Walk(aTrans, from, aBackward, true, [&](TnxRefNr aRef, const std::uint8_t* aSegment, std::uint16_t aSize) {
    aRefNr = aRef;
    // The caller gets a copy with its RefNr field set.
    DecodeHome(aTrans, aRef, aSegment, aSize, TempRecBuf);
    if (filter && !filter->MatchesBuffer(TempRecBuf)) return true;
    if (aData) {
      if (*aData)
        std::memcpy(*aData, TempRecBuf, breRecordLength);
      else
        *aData = TempRecBuf;
    }
    if (aSkipFirst && aKeepPosition && aRef == start) return true;
    if (aIterator(aCookie, aRef, TempRecBuf) == rirStop) {
      stopped = true;
      return false;
    }
    return true;
  });
  if (!stopped) aRefNr = 0;
}

void TnxVariableRecordEngine::Iterate(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PPnxRecordBuffer aData,
                                      const TnxRecordIterator& aIterator, void* aCookie, TnxBaseFilterEngine* aFilter,
                                      bool aKeepPosition, bool aSkipFirst) {
  IteratePrim(aTrans, aRefNr, aData, aIterator, aCookie, aFilter, aKeepPosition, aSkipFirst, false);
}

void TnxVariableRecordEngine::IterateBackward(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PPnxRecordBuffer aData,
                                              const TnxRecordIterator& aIterator, void* aCookie,
                                              TnxBaseFilterEngine* aFilter, bool aKeepPosition, bool aSkipFirst) {
  IteratePrim(aTrans, aRefNr, aData, aIterator, aCookie, aFilter, aKeepPosition, aSkipFirst, true);
}

TnxResult TnxVariableRecordEngine::RecNoGetPrim(TnxBaseTransaction* aTrans, TnxRefNr aRefNr,
                                                TnxBaseFilterEngine* aFilter, std::uint32_t& aRecNo, bool aBackward) {
  aRecNo = 0;
  TnxBaseFilterEngine* filter = variableActiveFilter(aFilter);
  const TnxHeapRef target = static_cast<TnxHeapRef>(aRefNr) & reHeapEngine->bheHeapRefMask;
  TnxResult result = 8706;
  Walk(aTrans, 0, aBackward, true, [&](TnxRefNr aRef, const std::uint8_t* aSegment, std::uint16_t aSize) {
    bool accepted = true;
    if (filter) {
      DecodeHome(aTrans, aRef, aSegment, aSize, TempRecBuf);
      accepted = filter->MatchesBuffer(TempRecBuf);
    }
    if (accepted) ++aRecNo;
    if (static_cast<TnxHeapRef>(aRef) == target) {
      result = accepted ? 0 : 8709;
      return false;
    }
    return true;
  });
  return result;
}

TnxResult TnxVariableRecordEngine::RecNoSetPrim(TnxBaseTransaction* aTrans, std::uint32_t aRecNo, TnxRefNr& aRefNr,
                                                TnxBaseFilterEngine* aFilter, bool aBackward) {
  aRefNr = 0;
  if (aRecNo == 0) return 8706;
  TnxBaseFilterEngine* filter = variableActiveFilter(aFilter);
  std::uint32_t remaining = aRecNo;
  Walk(aTrans, 0, aBackward, true, [&](TnxRefNr aRef, const std::uint8_t* aSegment, std::uint16_t aSize) {
    if (filter) {
      DecodeHome(aTrans, aRef, aSegment, aSize, TempRecBuf);
      if (!filter->MatchesBuffer(TempRecBuf)) return true;
    }
    if (--remaining > 0) return true;
    aRefNr = aRef;
    return false;
  });
  return aRefNr != 0 ? 0 : 8706;
}

TnxResult TnxVariableRecordEngine::RecNoGet(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxBaseFilterEngine* aFilter,
                                            std::uint32_t& aRecNo, bool aFlipOrder) {
  if (aFlipOrder) return RecNoGetBackward(aTrans, aRefNr, aFilter, aRecNo);
  return RecNoGetPrim(aTrans, aRefNr, aFilter, aRecNo, false);
}

TnxResult TnxVariableRecordEngine::RecNoSet(TnxBaseTransaction* aTrans, std::uint32_t aRecNo, TnxRefNr& aRefNr,
                                            TnxBaseFilterEngine* aFilter, bool aFlipOrder) {
  if (aFlipOrder) return RecNoSetBackward(aTrans, aRecNo, aRefNr, aFilter);
  return RecNoSetPrim(aTrans, aRecNo, aRefNr, aFilter, false);
}

TnxResult TnxVariableRecordEngine::RecNoGetBackward(TnxBaseTransaction* aTrans, TnxRefNr aRefNr,
                                                    TnxBaseFilterEngine* aFilter, std::uint32_t& aRecNo) {
  return RecNoGetPrim(aTrans, aRefNr, aFilter, aRecNo, true);
}

TnxResult TnxVariableRecordEngine::RecNoSetBackward(TnxBaseTransaction* aTrans, std::uint32_t aRecNo,
                                                    TnxRefNr& aRefNr, TnxBaseFilterEngine* aFilter) {
  return RecNoSetPrim(aTrans, aRecNo, aRefNr, aFilter, true);
}

// ---- Recovery and the rest ------------------------------------------------------------------------

std::int32_t TnxVariableRecordEngine::GetRecoverID() { return reHeapEngine->bseID; }

TnxRecordIteratorResult TnxVariableRecordEngine::RecoverIterate(PnxBlock aBlock, TnxBlockNumber aBlockNumber,
                                                                PPnxRecordBuffer aData,
                                                                const TnxRecordIterator& aIterator, void* aCookie) {
  if (!aBlock || !nxseHasSignature(aBlock, "NXHD") || nxseThisBlock(aBlock) != aBlockNumber) return rirContinue;
  TnxBaseBlockHeapEngine& blockHeap = *reHeapEngine->bheBlockHeapEngine;
  TnxRecordIteratorResult result = rirContinue;
  TnxSegmentRef slot = 0;
  for (std::uint32_t visited = 1;; ++visited) {
    if (visited % 1000 == 0) nxCheckTimeout();
    std::uint16_t size = 0;
    const std::uint8_t* segment;
    try {
      segment = blockHeap.GetNextSegment(aBlock, slot, size);
    } catch (const EnxBaseException&) {
      break;  // a damaged slot directory: salvage what came before
    }
    if (!segment || size < reFormat.flagSize + 1u) break;
    if (segment[0] & kForward) continue;
    PnxRecordBuffer target = aData && *aData ? *aData : TempRecBuf;
    try {
      Decode(0, segment, size, target);
    } catch (const EnxBaseException& e) {
      if (e.ErrorCode() == 8962) continue;  // one damaged record does not end the salvage
      throw;
    }
    if (aData && !*aData) *aData = target;
    result = aIterator(aCookie, 0, target);
    if (result == rirStop) break;
  }
  return result;
}

TnxRecordIteratorResult TnxVariableRecordEngine::ReadRecordForIterate(TnxBaseTransaction* aTrans, TnxRefNr aRefNr,
                                                                      PPnxRecordBuffer aData,
                                                                      const TnxRecordIterator& aIterator,
                                                                      void* aCookie, TnxBaseFilterEngine* aFilter) {
  nxAssert(!aFilter || aFilter->GetActive(), "ReadRecordForIterate with an inactive filter");
  ReadRecord(aTrans, aRefNr, TempRecBuf);
  if (aFilter && !aFilter->MatchesBuffer(TempRecBuf)) return rirContinue;
  PnxRecordBuffer saved = nullptr;
  if (aData) {
    saved = *aData;
    *aData = TempRecBuf;
  }
  const TnxRecordIteratorResult result = aIterator(aCookie, aRefNr, TempRecBuf);
  if (aData) *aData = saved;
  return result;
}

void TnxVariableRecordEngine::ReplaceAllRecords(TnxBaseTransaction*, const TnxGetRecordCallback&) {
  throw EnxVariableRecordEngineException(nxErrNotSupported, u"ReplaceAllRecords is not supported by TnxVariableRecordEngine");
}

void TnxVariableRecordEngine::Rollback(TnxBaseTransaction* aTrans) {
  TnxBaseRecordEngine::Rollback(aTrans);
  reHeapEngine->Rollback(aTrans);
}

// Start-ups of this module, counted: only the first registers, the last
// finalisation unregisters.
namespace {
TnxUseCount gRecordEngineVariableModuleStarts{0};
}  // namespace

void nxseRecordEngineVariableInitialize() {
  TnxCountedStart started(gRecordEngineVariableModuleStarts);
  if (!started) return;
  TnxBaseSubEngine::RegisterSubEngine(TnxVariableRecordEngine::staticClassInfo(), "Variable");
}

void nxseRecordEngineVariableFinalize() {
  if (!nxUseCountLeave(gRecordEngineVariableModuleStarts)) return;
  TnxBaseSubEngine::UnregisterSubEngine(TnxVariableRecordEngine::staticClassInfo());
}
