// BLOBs as trees of heap segments: roots, reading, writing and truncation.
#include "nxseBlobEngineSegmented.h"

#include <algorithm>
#include <cstring>

#include "nxseHeaderAccess.h"

NX_IMPLEMENT_EXCEPTION(EnxSegmentedBlobEngineException, EnxBaseBlobEngineException)

PL_CLASS_INFO_IMPL(TnxSegmentedBlobHeapHeaderHandler, TnxHeapHeaderHandler, "TnxSegmentedBlobHeapHeaderHandler",
                   nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxSegmentedBlobEngine, TnxBaseBlobEngine, "TnxSegmentedBlobEngine", nullptr,
                         platform::bindClassTable(nxSubEngineFuncs<TnxSegmentedBlobEngine>))

namespace {

constexpr std::uint8_t kEmpty = 0, kFile8 = 1, kLink8 = 2, kTiny = 3, kData = 4, kList = 5, kFile16 = 6, kLink16 = 7;
constexpr std::uint32_t kRootSize = 13, kItemSize = 12;
// Four link-list levels under the root hold more than 4 GB in 4 KB blocks.
constexpr int kMaxDepth = 8;

}  // namespace

// ---- Header handler ------------------------------------------------------------------------------

TnxBlockNumber TnxSegmentedBlobHeapHeaderHandler::GetFirstManagementBlock(TnxBaseFileHeaderAccess* aHeader) {
  return nxseGetU32(aHeader->Header + hhhHeaderSection);
}

void TnxSegmentedBlobHeapHeaderHandler::SetFirstManagementBlock(TnxBaseFileHeaderAccess* aHeader,
                                                                TnxBlockNumber aBlockNumber) {
  nxsePutU32(aHeader->Header + hhhHeaderSection, aBlockNumber);
}

// ---- Pinned segments -----------------------------------------------------------------------------

struct TnxSegmentedBlobEngine::Segment {
  TnxPinnedBlock pin;
  std::uint8_t* data = nullptr;
  std::uint16_t size = 0;
  TnxSegmentRef slot = 0;
  PnxBlock Block() const { return pin.Block(); }
  void Release() {
    pin.Release();
    data = nullptr;
  }
};

// The root keeps its block pinned for the whole operation; its segment
// pointer is refreshed after every heap operation (compaction moves it).
struct TnxSegmentedBlobEngine::Root : Segment {
  TnxBlobNr nr = 0;
  TnxBaseBlockHeapEngine* heap = nullptr;
  void Refresh() { data = heap->GetSegment(Block(), slot, size); }
};

TnxSegmentedBlobEngine::TnxSegmentedBlobEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans,
                                               const TnxBlockAccessArray& aFiles)
    : TnxBaseBlobEngine(aDescriptor, aTrans, aFiles) {
  auto* descriptor = platform::objectAs<TnxHeapBlobDescriptor>(aDescriptor);
  if (!descriptor) throw EnxSegmentedBlobEngineException(nxErrInvalidDesc, u"TnxHeapBlobDescriptor is required", {});
  const nxString section = platform::fromUtf8(descriptor->HeaderSection());
  {
    TnxOwned<TnxBaseFileHeaderAccess> access(bbeBlobFile->HeaderAccess(aTrans, aTrans != nullptr));
    if (aTrans) {
      beHeaderSection = access->RegisterHeaderSection(section, 4, true, false);
      nxsePutU32(access->Header + beHeaderSection, 0);
    } else {
      beHeaderSection = access->RegisterHeaderSection(section, 4, false, false);
    }
  }
  beHeapEngine.reset(TnxBaseHeapEngine::CreateEngine(descriptor->HeapDescriptor(), bbeBlobFile, CreateHeaderHandler()));
  if (!beHeapEngine) throw EnxSegmentedBlobEngineException(nxErrInvalidDesc, u"A HeapDescriptor is required", {});
  if (bseTableVersion >= 47005) bbeBlobNrMask = static_cast<TnxBlobNr>(beHeapEngine->bheHeapRefMask);
}

TnxHeapHeaderHandler* TnxSegmentedBlobEngine::CreateHeaderHandler() {
  return platform::create<TnxSegmentedBlobHeapHeaderHandler>(beHeaderSection);
}

void TnxSegmentedBlobEngine::CheckEngineDescriptor(TnxDictionaryItem* aDescriptor) {
  auto* descriptor = platform::objectAs<TnxHeapBlobDescriptor>(aDescriptor);
  if (!descriptor)
    throw EnxSegmentedBlobEngineException(nxErrInvalidDesc, u"Blob descriptor must be a TnxHeapBlobDescriptor is required", {});
  if (!descriptor->HeapDescriptor()) throw EnxSegmentedBlobEngineException(nxErrInvalidDesc, u"A HeapDescriptor is required", {});
  TnxBaseHeapEngine::CheckValidBaseFromDescriptor(descriptor->HeapDescriptor());
}

void TnxSegmentedBlobEngine::RaiseTree(const char16_t* aWhat) {
  throw EnxSegmentedBlobEngineException(nxErrBlobGeneral, u"General BLOB error. [%s, %s]",
                                        {bbeBlobFile->baFile->FileName(), nxString(aWhat)});
}

// ---- Segments and roots ----------------------------------------------------------------------------

void TnxSegmentedBlobEngine::Fetch(TnxBaseTransaction* aTrans, TnxHeapRef aRef, bool aMarkDirty, Segment& aSegment) {
  aSegment.Release();
  const TnxHeapRef ref = aRef & beHeapEngine->bheHeapRefMask;
  if (!bbeBlobFile->ValidBlock(nxHeapRefBlock(ref), aTrans)) RaiseTree(u"reference outside the file");
  aSegment.slot = nxHeapRefSegment(ref) & beHeapEngine->bheBlockHeapEngine->SegmentRefMask();
  aSegment.data = nxGetPinnedSegment(*beHeapEngine, aTrans, ref, aMarkDirty, aSegment.size, aSegment.pin);
  if (aSegment.size == 0) RaiseTree(u"empty segment");
}

void TnxSegmentedBlobEngine::FetchRoot(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, bool aMarkDirty, Root& aRoot) {
  aRoot.nr = aBlobNr & bbeBlobNrMask;
  const auto ref = static_cast<TnxHeapRef>(aRoot.nr);
  aRoot.heap = beHeapEngine->bheBlockHeapEngine.get();
  aRoot.slot = nxHeapRefSegment(ref) & aRoot.heap->SegmentRefMask();
  aRoot.data = nxGetPinnedSegment(*beHeapEngine, aTrans, ref, aMarkDirty, aRoot.size, aRoot.pin);
  const std::uint8_t tag = aRoot.size ? aRoot.data[0] : 0xFF;
  bool ok;
  switch (tag) {
    case kEmpty:
      ok = aRoot.size == kRootSize;
      break;
    case kTiny:
      ok = aRoot.size == kRootSize && aRoot.data[12] >= 1 && aRoot.data[12] <= 11;
      break;
    case kData:
      ok = aRoot.size >= kRootSize;
      break;
    case kList:
      ok = aRoot.size >= kRootSize && (aRoot.size - 1) % kItemSize == 0;
      break;
    case kFile8:
    case kFile16:
      ok = aRoot.size >= kRootSize;
      break;
    case kLink8:
    case kLink16:
      ok = aRoot.size >= 9;
      break;
    default:
      ok = false;
  }
  if (!ok) RaiseTree(u"root size does not match its tag");
}

std::vector<TnxSegmentedBlobEngine::Item> TnxSegmentedBlobEngine::ItemsOf(const std::uint8_t* aSegment,
                                                                          std::uint16_t aSize) {
  if (aSize < kRootSize || (aSize - 1) % kItemSize != 0) RaiseTree(u"link list size");
  std::vector<Item> items((aSize - 1) / kItemSize);
  for (std::size_t i = 0; i < items.size(); ++i) {
    items[i].ref = nxseGetU64(aSegment + 1 + kItemSize * i);
    items[i].end = nxseGetU32(aSegment + 9 + kItemSize * i);
  }
  return items;
}

void TnxSegmentedBlobEngine::CheckEnds(const std::vector<Item>& aItems, std::uint32_t aStart) {
  std::uint32_t previous = aStart;
  for (const Item& item : aItems) {
    if (item.end <= previous) RaiseTree(u"link list ends do not rise");
    previous = item.end;
  }
}

void TnxSegmentedBlobEngine::PutItems(std::uint8_t* aTarget, const std::vector<Item>& aItems) {
  for (std::size_t i = 0; i < aItems.size(); ++i) {
    nxsePutU64(aTarget + kItemSize * i, aItems[i].ref);
    nxsePutU32(aTarget + kItemSize * i + 8, aItems[i].end);
  }
}

std::size_t TnxSegmentedBlobEngine::ChildFor(const std::vector<Item>& aItems, std::uint32_t aOffset) {
  std::size_t i = 0;
  while (i < aItems.size() && aItems[i].end <= aOffset) ++i;
  return std::min(i, aItems.size() - 1);
}

std::uint32_t TnxSegmentedBlobEngine::StoredLength(const Root& aRoot) {
  switch (aRoot.data[0]) {
    case kEmpty:
      return 0;
    case kTiny:
      return aRoot.data[12];
    case kData:
      return aRoot.size - 1u;
    case kList: {
      const std::vector<Item> items = ItemsOf(aRoot.data, aRoot.size);
      CheckEnds(items, 0);
      return items.back().end;
    }
    default:
      return aRoot.size - 1u;
  }
}

nxString TnxSegmentedBlobEngine::NameOf(const Root& aRoot, std::uint32_t aFrom) {
  nxString name;
  const bool wide = aRoot.data[0] == kFile16 || aRoot.data[0] == kLink16;
  if (wide) {
    for (std::uint32_t at = aFrom; at + 1 < aRoot.size; at += 2) {
      const char16_t c = nxseGetU16(aRoot.data + at);
      if (c == 0) break;
      name.push_back(c);
    }
  } else {
    for (std::uint32_t at = aFrom; at < aRoot.size && aRoot.data[at] != 0; ++at) name.push_back(aRoot.data[at]);
  }
  return name;
}

TnxBlobNr TnxSegmentedBlobEngine::Store(TnxBaseTransaction* aTrans, std::span<const TnxHeapPiece> aPieces) {
  const TnxHeapRef ref = beHeapEngine->AllocSegment(aTrans, aPieces);
  if (ref == 0) RaiseTree(u"root larger than a segment");
  return static_cast<TnxBlobNr>(ref);
}

bool TnxSegmentedBlobEngine::ResizeRoot(Root& aRoot, std::uint32_t aSize) {
  const bool done =
      aSize <= 0xFFFF && aRoot.heap->ReAllocSegment(aRoot.Block(), static_cast<std::uint16_t>(aSize), aRoot.slot);
  aRoot.Refresh();
  return done;
}

std::uint32_t TnxSegmentedBlobEngine::RootRoom(Root& aRoot) {
  aRoot.Refresh();
  return std::uint32_t{aRoot.heap->GetFreespace(aRoot.Block())} + aRoot.size;
}

void TnxSegmentedBlobEngine::StoreRootItems(Root& aRoot, const std::vector<Item>& aItems) {
  nxAssert(ResizeRoot(aRoot, 1 + kItemSize * static_cast<std::uint32_t>(aItems.size())),
           "The root cannot hold its link list");
  aRoot.data[0] = kList;
  PutItems(aRoot.data + 1, aItems);
}

void TnxSegmentedBlobEngine::FreeSegment(TnxBaseTransaction* aTrans, TnxHeapRef aRef) {
  Segment s;
  Fetch(aTrans, aRef, true, s);
  beHeapEngine->bheBlockHeapEngine->FreeSegment(s.Block(), s.slot);
}

void TnxSegmentedBlobEngine::FreeTree(TnxBaseTransaction* aTrans, TnxHeapRef aRef, int aDepth) {
  if (aDepth > kMaxDepth) RaiseTree(u"tree too deep");
  Segment s;
  Fetch(aTrans, aRef, true, s);
  if (s.data[0] == kList) {
    const std::vector<Item> items = ItemsOf(s.data, s.size);
    s.Release();
    for (const Item& item : items) FreeTree(aTrans, item.ref, aDepth + 1);
    Fetch(aTrans, aRef, true, s);
  } else if (s.data[0] != kData) {
    RaiseTree(u"segment is neither data nor a link list");
  }
  beHeapEngine->bheBlockHeapEngine->FreeSegment(s.Block(), s.slot);
}

// ---- Simple operations ---------------------------------------------------------------------------

void TnxSegmentedBlobEngine::AddBlob(TnxBaseTransaction* aTrans, TnxBlobNr& aBlobNr) {
  static const std::uint8_t empty[kRootSize] = {};
  const TnxHeapPiece pieces[] = {{empty, kRootSize}};
  aBlobNr = Store(aTrans, pieces);
}

void TnxSegmentedBlobEngine::AddBlobLink(TnxBaseTransaction* aTrans, const nxString& aTableName, TnxBlobNr aTableBlobNr,
                                         TnxBlobNr& aBlobNr) {
  std::vector<std::uint8_t> root(9);
  const bool wide = bseTableVersion >= 30000;
  root[0] = wide ? kLink16 : kLink8;
  nxsePutU64(root.data() + 1, aTableBlobNr);
  for (char16_t c : aTableName) {
    if (wide) {
      root.push_back(static_cast<std::uint8_t>(c));
      root.push_back(static_cast<std::uint8_t>(c >> 8));
    } else {
      root.push_back(c < 256 ? static_cast<std::uint8_t>(c) : '?');
    }
  }
  const TnxHeapPiece pieces[] = {{root.data(), static_cast<std::uint32_t>(root.size())}};
  aBlobNr = Store(aTrans, pieces);
}

void TnxSegmentedBlobEngine::AddFileBlob(TnxBaseTransaction* aTrans, const nxString& aFileName, TnxBlobNr& aBlobNr) {
  std::vector<std::uint8_t> root(1);
  const bool wide = bseTableVersion >= 30000;
  root[0] = wide ? kFile16 : kFile8;
  for (char16_t c : aFileName) {
    if (wide) {
      root.push_back(static_cast<std::uint8_t>(c));
      root.push_back(static_cast<std::uint8_t>(c >> 8));
    } else {
      root.push_back(c < 256 ? static_cast<std::uint8_t>(c) : '?');
    }
  }
  if (root.size() < kRootSize) root.resize(kRootSize, 0);
  const TnxHeapPiece pieces[] = {{root.data(), static_cast<std::uint32_t>(root.size())}};
  aBlobNr = Store(aTrans, pieces);
}

void TnxSegmentedBlobEngine::DeleteBlob(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr) {
  Root root;
  FetchRoot(aTrans, aBlobNr, true, root);
  if (root.data[0] == kList) {
    Truncate(aTrans, aBlobNr, 0);
    root.Refresh();
  }
  root.heap->FreeSegment(root.Block(), root.slot);
}

bool TnxSegmentedBlobEngine::FreeBlob(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr) {
  if (!aTrans) return false;
  Root root;
  FetchRoot(aTrans, aBlobNr, true, root);
  if (root.data[0] != kEmpty) return false;
  root.heap->FreeSegment(root.Block(), root.slot);
  return true;
}

std::uint32_t TnxSegmentedBlobEngine::GetBlobLength(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr,
                                                    const TnxBlobLinkGetLength& aLengthMethod, std::uint32_t& aLength) {
  try {
    Root root;
    FetchRoot(aTrans, aBlobNr, false, root);
    switch (root.data[0]) {
      case kFile8:
      case kFile16: {
        const nxString name = NameOf(root, 1);
        root.Release();
        return GetFileBlobLength(name, aLength);
      }
      case kLink8:
      case kLink16: {
        const nxString name = NameOf(root, 9);
        const TnxBlobNr source = nxseGetU64(root.data + 1);
        root.Release();
        return aLengthMethod ? aLengthMethod(name, source, aLength) : 11896;
      }
      default:
        aLength = StoredLength(root);
        return 0;
    }
  } catch (const EnxSegmentedBlobEngineException& e) {
    // A damaged tree is the BLOB error this call answers.
    if (e.ErrorCode() != 11896) throw;
    return 11896;
  }
}

bool TnxSegmentedBlobEngine::IsFileBlob(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, nxString& aFileName) {
  Root root;
  FetchRoot(aTrans, aBlobNr, false, root);
  if (root.data[0] != kFile8 && root.data[0] != kFile16) return false;
  aFileName = NameOf(root, 1);
  return true;
}

bool TnxSegmentedBlobEngine::IsBlobLink(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, nxString& aSrcTableName,
                                        TnxBlobNr& aSrcTableBlobNr) {
  Root root;
  FetchRoot(aTrans, aBlobNr, false, root);
  if (root.data[0] != kLink8 && root.data[0] != kLink16) return false;
  aSrcTableName = NameOf(root, 9);
  aSrcTableBlobNr = nxseGetU64(root.data + 1);
  return true;
}

void TnxSegmentedBlobEngine::Rollback(TnxBaseTransaction* aTrans) {
  beHeapEngine->Rollback(aTrans);
  TnxBaseBlobEngine::Rollback(aTrans);
}

void TnxSegmentedBlobEngine::IncBlobNr(TnxBlobNr& aBlobNr) {
  if (bseTableVersion < 47005) return;
  auto ref = static_cast<TnxHeapRef>(aBlobNr);
  beHeapEngine->IncHeapRef(ref);
  aBlobNr = static_cast<TnxBlobNr>(ref);
}

// ---- Reading ------------------------------------------------------------------------------------------

void TnxSegmentedBlobEngine::ReadTree(TnxBaseTransaction* aTrans, const std::vector<Item>& aItems, std::uint32_t aStart,
                                      std::uint32_t& aOffset, std::uint32_t& aRemaining, const Sink& aSink,
                                      int aDepth) {
  if (aDepth > kMaxDepth) RaiseTree(u"tree too deep");
  CheckEnds(aItems, aStart);
  for (std::size_t i = ChildFor(aItems, aOffset); aRemaining > 0 && i < aItems.size(); ++i) {
    const std::uint32_t start = i ? aItems[i - 1].end : aStart;
    const std::uint32_t end = aItems[i].end;
    Segment s;
    Fetch(aTrans, aItems[i].ref, false, s);
    if (s.data[0] == kData) {
      if (s.size < 2 || s.size - 1u != end - start) RaiseTree(u"data segment does not match its item");
      const std::uint32_t n = std::min(aRemaining, end - aOffset);
      aSink(s.data + 1 + (aOffset - start), n);
      aOffset += n;
      aRemaining -= n;
    } else if (s.data[0] == kList) {
      const std::vector<Item> items = ItemsOf(s.data, s.size);
      s.Release();
      if (items.back().end != end) RaiseTree(u"link list does not match its item");
      ReadTree(aTrans, items, start, aOffset, aRemaining, aSink, aDepth + 1);
    } else {
      RaiseTree(u"segment is neither data nor a link list");
    }
  }
}

std::uint32_t TnxSegmentedBlobEngine::Read(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                                           std::uint32_t aLen, const TnxBlobLinkRead& aReadMethod, TStream& aStream) {
  try {
    Root root;
    FetchRoot(aTrans, aBlobNr, false, root);
    const std::uint8_t tag = root.data[0];
    if (tag == kFile8 || tag == kFile16) {
      const nxString name = NameOf(root, 1);
      root.Release();
      return ReadFileBlob(name, aOffset, aLen, aStream);
    }
    if (tag == kLink8 || tag == kLink16) {
      const nxString name = NameOf(root, 9);
      const TnxBlobNr source = nxseGetU64(root.data + 1);
      root.Release();
      return aReadMethod ? aReadMethod(name, source, aOffset, aLen, aStream) : 11896;
    }
    const std::uint32_t length = StoredLength(root);
    if (aOffset >= length || aLen == 0) return 0;
    std::uint32_t remaining = std::min(aLen, length - aOffset);
    if (tag != kList) {
      aStream.WriteBuffer(root.data + 1 + aOffset, static_cast<std::int32_t>(remaining));
      return 0;
    }
    const std::vector<Item> items = ItemsOf(root.data, root.size);
    root.Release();
    std::uint32_t offset = aOffset;
    ReadTree(
        aTrans, items, 0, offset, remaining,
        [&](const std::uint8_t* aData, std::uint32_t aCount) {
          aStream.WriteBuffer(aData, static_cast<std::int32_t>(aCount));
        },
        1);
    return 0;
  } catch (const EnxSegmentedBlobEngineException& e) {
    if (e.ErrorCode() != 11896) throw;
    return 11896;
  }
}

// ---- Writing ------------------------------------------------------------------------------------------

TnxSegmentedBlobEngine::Item TnxSegmentedBlobEngine::AllocData(TnxBaseTransaction* aTrans, Cursor& aCursor,
                                                               std::uint32_t aStart) {
  const std::uint8_t tag = kData;
  const TnxHeapPiece pieces[] = {{&tag, 1}, {aCursor.src, aCursor.remaining}};
  std::uint16_t size = 0;
  const TnxHeapRef ref = beHeapEngine->AllocSegmentEx(aTrans, pieces, 2, size, 0, 1, false);
  nxAssert(ref != 0 && size >= 2, "No data segment could be made");
  aCursor.Advance(size - 1u);
  return {ref, aStart + size - 1u};
}

void TnxSegmentedBlobEngine::Group(TnxBaseTransaction* aTrans, std::vector<Item>& aItems) {
  std::vector<Item> grouped;
  std::vector<std::uint8_t> bytes;
  for (std::size_t from = 0; from < aItems.size();) {
    const std::vector<Item> rest(aItems.begin() + static_cast<std::ptrdiff_t>(from), aItems.end());
    bytes.assign(kItemSize * rest.size(), 0);
    PutItems(bytes.data(), rest);
    const std::uint8_t tag = kList;
    const TnxHeapPiece pieces[] = {{&tag, 1}, {bytes.data(), static_cast<std::uint32_t>(bytes.size())}};
    std::uint16_t size = 0;
    const TnxHeapRef ref = beHeapEngine->AllocSegmentEx(aTrans, pieces, 13, size, 1, kItemSize, true);
    nxAssert(ref != 0 && size >= 13, "No link list segment could be made");
    const std::size_t taken = (size - 1u) / kItemSize;
    from += taken;
    grouped.push_back({ref, aItems[from - 1].end});
  }
  aItems = std::move(grouped);
}

void TnxSegmentedBlobEngine::WriteSubtree(TnxBaseTransaction* aTrans, Item& aItem, std::uint32_t aStart, bool aLastPath,
                                          Cursor& aCursor, std::vector<Item>& aNewItems, int aDepth) {
  if (aDepth > kMaxDepth) RaiseTree(u"tree too deep");
  Segment s;
  Fetch(aTrans, aItem.ref, true, s);
  if (s.data[0] == kData) {
    const std::uint32_t size = s.size;
    if (size < 2 || size - 1 != aItem.end - aStart) RaiseTree(u"data segment does not match its item");
    const std::uint32_t p = 1 + (aCursor.offset - aStart);
    if (aLastPath && aCursor.remaining > aItem.end - aCursor.offset) {
      // Grow the last data segment first (in place, or moved), then add.
      const TnxHeapPiece pieces[] = {{nullptr, p}, {aCursor.src, aCursor.remaining}};
      std::uint16_t grown = 0;
      const TnxHeapRef ref = beHeapEngine->ReAllocSegmentEx(aTrans, s.Block(), s.slot, pieces,
                                                            static_cast<std::uint16_t>(size), grown, 0, 1, false);
      s.Release();
      nxAssert(ref != 0 && grown >= size, "A data segment could not keep its size");
      aCursor.Advance(grown - p);
      aItem.ref = ref;
      aItem.end += grown - size;
      std::uint32_t end = aItem.end;
      while (aCursor.remaining > 0) {
        aNewItems.push_back(AllocData(aTrans, aCursor, end));
        end = aNewItems.back().end;
      }
    } else {
      const std::uint32_t n = std::min(aCursor.remaining, aItem.end - aCursor.offset);
      std::memcpy(s.data + p, aCursor.src, n);
      aCursor.Advance(n);
    }
    return;
  }
  if (s.data[0] != kList) RaiseTree(u"segment is neither data nor a link list");
  std::vector<Item> items = ItemsOf(s.data, s.size);
  s.Release();
  CheckEnds(items, aStart);
  if (items.back().end != aItem.end) RaiseTree(u"link list does not match its item");
  std::vector<Item> childNew;
  for (std::size_t i = ChildFor(items, aCursor.offset); aCursor.remaining > 0 && i < items.size(); ++i)
    WriteSubtree(aTrans, items[i], i ? items[i - 1].end : aStart, aLastPath && i + 1 == items.size(), aCursor, childNew,
                 aDepth + 1);
  Fetch(aTrans, aItem.ref, true, s);
  PutItems(s.data + 1, items);
  if (childNew.empty()) {
    aItem.end = std::max(aItem.end, items.back().end);
    return;
  }
  // Absorb the new items of the last child as far as this list can grow.
  std::vector<std::uint8_t> bytes(kItemSize * childNew.size());
  PutItems(bytes.data(), childNew);
  const std::uint16_t current = s.size;
  const TnxHeapPiece pieces[] = {{nullptr, current}, {bytes.data(), static_cast<std::uint32_t>(bytes.size())}};
  std::uint16_t size = 0;
  const TnxHeapRef ref =
      beHeapEngine->ReAllocSegmentEx(aTrans, s.Block(), s.slot, pieces, current, size, 1, kItemSize, true);
  s.Release();
  nxAssert(ref != 0 && size >= current, "A link list could not keep its size");
  const std::size_t absorbed = (size - current) / kItemSize;
  aItem.ref = ref;
  aItem.end = absorbed ? childNew[absorbed - 1].end : items.back().end;
  std::vector<Item> rest(childNew.begin() + static_cast<std::ptrdiff_t>(absorbed), childNew.end());
  if (!rest.empty()) {
    Group(aTrans, rest);
    aNewItems.insert(aNewItems.end(), rest.begin(), rest.end());
  }
}

void TnxSegmentedBlobEngine::Write(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::uint32_t aOffset,
                                   std::uint32_t aLen, const void* aBlob) {
  Root root;
  FetchRoot(aTrans, aBlobNr, true, root);
  const std::uint8_t tag = root.data[0];
  if (tag == kFile8 || tag == kFile16 || tag == kLink8 || tag == kLink16) throw EnxSegmentedBlobEngineException(nxErrReadOnlyField);
  const std::uint32_t length = StoredLength(root);
  if (aOffset > length)
    throw EnxSegmentedBlobEngineException(
        nxErrInvalidBlobOffset, u"Offset value is greater than the length of the BLOB [%s, (%d), offset %d, length %d]",
        {bbeBlobFile->baFile->FileName(), static_cast<std::int64_t>(root.nr), static_cast<std::int64_t>(aOffset),
         static_cast<std::int64_t>(length)});
  if (aLen == 0) return;
  if (std::uint64_t{aOffset} + aLen > 0xFFFFFFFFu) throw EnxSegmentedBlobEngineException(nxErrBlobTooLarge);
  const std::uint32_t newLength = std::max(aOffset + aLen, length);
  Cursor cursor{static_cast<const std::uint8_t*>(aBlob), aLen, aOffset};

  if (tag != kList) {
    if (newLength <= 11) {
      std::memcpy(root.data + 1 + aOffset, aBlob, aLen);
      root.data[12] = static_cast<std::uint8_t>(newLength);
      root.data[0] = kTiny;
      return;
    }
    // The room test can promise up to 4 bytes more than the segment's
    // rounded footprint finds: a root that cannot grow becomes a link list.
    if (newLength == length ||
        (RootRoom(root) >= newLength + 1 && (newLength + 1 <= root.size || ResizeRoot(root, newLength + 1)))) {
      std::memcpy(root.data + 1 + aOffset, aBlob, aLen);
      root.data[0] = kData;
      return;
    }
    // The root becomes a link list over new data segments: first the kept
    // bytes before aOffset, then the new data.
    std::vector<std::uint8_t> kept(root.data + 1, root.data + 1 + aOffset);
    std::vector<Item> items;
    std::uint32_t end = 0, keptLeft = aOffset;
    while (keptLeft > 0) {
      const std::uint8_t dataTag = kData;
      const TnxHeapPiece pieces[] = {
          {&dataTag, 1}, {kept.data() + (aOffset - keptLeft), keptLeft}, {cursor.src, cursor.remaining}};
      std::uint16_t size = 0;
      const TnxHeapRef ref = beHeapEngine->AllocSegmentEx(aTrans, pieces, 2, size, 0, 1, false);
      nxAssert(ref != 0 && size >= 2, "No data segment could be made");
      const std::uint32_t n = size - 1u, fromKept = std::min(n, keptLeft);
      keptLeft -= fromKept;
      cursor.Advance(n - fromKept);
      end += n;
      items.push_back({ref, end});
    }
    while (cursor.remaining > 0) {
      items.push_back(AllocData(aTrans, cursor, end));
      end = items.back().end;
    }
    nxAssert(end == newLength, "New data segments do not add up to the length");
    while (RootRoom(root) < 1 + kItemSize * items.size()) Group(aTrans, items);
    StoreRootItems(root, items);
    return;
  }

  std::vector<Item> items = ItemsOf(root.data, root.size);
  std::vector<Item> added;
  for (std::size_t i = ChildFor(items, aOffset); cursor.remaining > 0 && i < items.size(); ++i)
    WriteSubtree(aTrans, items[i], i ? items[i - 1].end : 0, i + 1 == items.size(), cursor, added, 1);
  if (added.empty()) {
    root.Refresh();
    PutItems(root.data + 1, items);
    return;
  }
  items.insert(items.end(), added.begin(), added.end());
  while (RootRoom(root) < 1 + kItemSize * items.size()) Group(aTrans, items);
  StoreRootItems(root, items);
}

// ---- Changing in place --------------------------------------------------------------------------------

class TnxSegmentedBlobEngine::Bytes final : public TnxBlobBytes {
 public:
  Bytes(TnxSegmentedBlobEngine& aEngine, TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr)
      : e_(aEngine), trans_(aTrans), nr_(aBlobNr) {
    Load();
  }
  std::uint32_t Length() override { return length_; }
  void Grow(std::uint32_t aLength) override {
    if (aLength <= length_) return;
    held_.clear();
    root_.Release();
    const std::vector<std::uint8_t> zeros(aLength - length_, 0);
    e_.Write(trans_, nr_, length_, aLength - length_, zeros.data());
    Load();
  }
  std::uint8_t& At(std::uint32_t aOffset) override {
    nxAssert(aOffset < length_, "BLOB byte beyond the length");
    // Tiny and data roots keep their bytes after the tag.
    if (!list_) return root_.data[1 + aOffset];
    for (Held& h : held_)
      if (aOffset >= h.start && aOffset < h.end) return h.segment.data[1 + (aOffset - h.start)];
    std::vector<Item> items = rootItems_;
    std::uint32_t start = 0;
    for (int depth = 1;; ++depth) {
      if (depth > kMaxDepth) e_.RaiseTree(u"tree too deep");
      const std::size_t i = ChildFor(items, aOffset);
      const std::uint32_t from = i ? items[i - 1].end : start, end = items[i].end;
      Segment s;
      e_.Fetch(trans_, items[i].ref, false, s);
      if (s.data[0] == kList) {
        std::vector<Item> below = e_.ItemsOf(s.data, s.size);
        e_.CheckEnds(below, from);
        if (below.back().end != end) e_.RaiseTree(u"link list does not match its item");
        items = std::move(below);
        start = from;
        continue;
      }
      if (s.data[0] != kData) e_.RaiseTree(u"segment is neither data nor a link list");
      if (s.size < 2 || s.size - 1u != end - from) e_.RaiseTree(u"data segment does not match its item");
      e_.Fetch(trans_, items[i].ref, true, s);
      held_.push_back({std::move(s), from, end});
      return held_.back().segment.data[1 + (aOffset - from)];
    }
  }

 private:
  struct Held {
    Segment segment;
    std::uint32_t start, end;
  };
  void Load() {
    e_.FetchRoot(trans_, nr_, true, root_);
    const std::uint8_t tag = root_.data[0];
    if (tag == kFile8 || tag == kFile16 || tag == kLink8 || tag == kLink16)
      throw EnxSegmentedBlobEngineException(nxErrReadOnlyField);
    length_ = e_.StoredLength(root_);
    list_ = tag == kList;
    if (list_) rootItems_ = e_.ItemsOf(root_.data, root_.size);
  }

  TnxSegmentedBlobEngine& e_;
  TnxBaseTransaction* trans_;
  TnxBlobNr nr_;
  Root root_;
  std::uint32_t length_ = 0;
  bool list_ = false;
  std::vector<Item> rootItems_;
  std::vector<Held> held_;
};

void TnxSegmentedBlobEngine::Modify(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, const TnxBlobChange& aChange) {
  Bytes bytes(*this, aTrans, aBlobNr);
  aChange(bytes);
}

// ---- Truncation -------------------------------------------------------------------------------------

bool TnxSegmentedBlobEngine::TruncateSubtree(TnxBaseTransaction* aTrans, Item& aItem, std::uint32_t aStart,
                                             std::uint32_t aLen, int aDepth) {
  if (aDepth > kMaxDepth) RaiseTree(u"tree too deep");
  Segment s;
  Fetch(aTrans, aItem.ref, true, s);
  if (s.data[0] == kData) {
    if (s.size < 2 || s.size - 1u != aItem.end - aStart) RaiseTree(u"data segment does not match its item");
    const std::uint32_t keep = aLen > aStart ? aLen - aStart : 0;  // data bytes left
    if (keep >= 1) {
      nxAssert(beHeapEngine->bheBlockHeapEngine->ReAllocSegment(s.Block(), static_cast<std::uint16_t>(keep + 1), s.slot),
               "A data segment could not shrink");
      aItem.end = aLen;
      return true;
    }
    beHeapEngine->bheBlockHeapEngine->FreeSegment(s.Block(), s.slot);
    return false;
  }
  if (s.data[0] != kList) RaiseTree(u"segment is neither data nor a link list");
  std::vector<Item> items = ItemsOf(s.data, s.size);
  s.Release();
  CheckEnds(items, aStart);
  if (items.back().end != aItem.end) RaiseTree(u"link list does not match its item");
  while (!items.empty() && aLen < items.back().end) {
    const std::uint32_t start = items.size() >= 2 ? items[items.size() - 2].end : aStart;
    if (!TruncateSubtree(aTrans, items.back(), start, aLen, aDepth + 1)) items.pop_back();
  }
  Fetch(aTrans, aItem.ref, true, s);
  if (items.empty()) {
    beHeapEngine->bheBlockHeapEngine->FreeSegment(s.Block(), s.slot);
    return false;
  }
  std::uint8_t* p = beHeapEngine->bheBlockHeapEngine->ReAllocSegment(
      s.Block(), static_cast<std::uint16_t>(1 + kItemSize * items.size()), s.slot);
  nxAssert(p != nullptr, "A link list could not shrink");
  PutItems(p + 1, items);
  aItem.end = items.back().end;
  return true;
}

void TnxSegmentedBlobEngine::Truncate(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::uint32_t aLen) {
  Root root;
  FetchRoot(aTrans, aBlobNr, true, root);
  const std::uint8_t tag = root.data[0];
  const bool reference = tag == kFile8 || tag == kFile16 || tag == kLink8 || tag == kLink16;
  if (reference && aLen != 0) throw EnxSegmentedBlobEngineException(nxErrReadOnlyField);
  const std::uint32_t length = StoredLength(root);
  if (aLen > length)
    throw EnxSegmentedBlobEngineException(
        nxErrInvalidBlobLength, u"Truncate length is greater than length of BLOB [%s, (%d), offset %d, length %d]",
        {bbeBlobFile->baFile->FileName(), static_cast<std::int64_t>(root.nr), static_cast<std::int64_t>(aLen),
         static_cast<std::int64_t>(length)});
  if (aLen == length) return;

  if (tag != kList) {
    nxAssert(ResizeRoot(root, aLen < 12 ? kRootSize : aLen + 1), "The root could not shrink");
    if (aLen == 0) {
      root.data[0] = kEmpty;
    } else if (aLen < 12) {
      root.data[0] = kTiny;
      root.data[12] = static_cast<std::uint8_t>(aLen);
    }
    return;
  }

  std::vector<Item> items = ItemsOf(root.data, root.size);
  CheckEnds(items, 0);
  while (!items.empty() && aLen < items.back().end) {
    const std::uint32_t start = items.size() >= 2 ? items[items.size() - 2].end : 0;
    if (!TruncateSubtree(aTrans, items.back(), start, aLen, 1)) items.pop_back();
  }
  if (items.size() >= 2) {
    StoreRootItems(root, items);
    return;
  }
  if (items.empty()) {
    nxAssert(ResizeRoot(root, kRootSize), "The root could not shrink");
    std::memset(root.data, 0, kRootSize);
    return;
  }
  // One child left: bring small data back into the root.
  if (aLen <= beHeapEngine->bheBlockHeapEngine->MaxSegmentSize()) {
    std::vector<std::uint8_t> data;
    data.reserve(aLen);
    std::uint32_t offset = 0, remaining = aLen;
    ReadTree(
        aTrans, items, 0, offset, remaining,
        [&](const std::uint8_t* aData, std::uint32_t aCount) { data.insert(data.end(), aData, aData + aCount); }, 1);
    if (data.size() != aLen) RaiseTree(u"tree holds less than its ends say");
    if (ResizeRoot(root, std::max(kRootSize, aLen + 1))) {
      std::memcpy(root.data + 1, data.data(), aLen);
      if (aLen < 12) {
        root.data[0] = kTiny;
        root.data[12] = static_cast<std::uint8_t>(aLen);
      } else {
        root.data[0] = kData;
      }
      FreeTree(aTrans, items[0].ref, 1);
      return;
    }
  }
  // Pull single link-list children up while the root's block holds them.
  for (int depth = 1; items.size() == 1; ++depth) {
    if (depth > kMaxDepth) RaiseTree(u"tree too deep");
    Segment child;
    Fetch(aTrans, items[0].ref, false, child);
    if (child.data[0] != kList) break;
    std::vector<Item> below = ItemsOf(child.data, child.size);
    child.Release();
    CheckEnds(below, 0);
    if (below.back().end != items[0].end) RaiseTree(u"link list does not match its item");
    if (RootRoom(root) < 1 + kItemSize * below.size()) break;
    const TnxHeapRef childRef = items[0].ref;
    StoreRootItems(root, below);
    FreeSegment(aTrans, childRef);
    items = std::move(below);
  }
  StoreRootItems(root, items);
}

// ---- Module ---------------------------------------------------------------------------------------------

// Start-ups of this module, counted: only the first registers, the last
// finalisation unregisters.
namespace {
TnxUseCount gBlobEngineSegmentedModuleStarts{0};
}  // namespace

void nxseBlobEngineSegmentedInitialize() {
  TnxCountedStart started(gBlobEngineSegmentedModuleStarts);
  if (!started) return;
  TnxBaseSubEngine::RegisterSubEngine(TnxSegmentedBlobEngine::staticClassInfo(), "nx1xDefault");
}

void nxseBlobEngineSegmentedFinalize() {
  if (!nxUseCountLeave(gBlobEngineSegmentedModuleStarts)) return;
  TnxBaseSubEngine::UnregisterSubEngine(TnxSegmentedBlobEngine::staticClassInfo());
}
