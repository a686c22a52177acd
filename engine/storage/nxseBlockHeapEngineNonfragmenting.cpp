// The slotted block heap.
#include "nxseBlockHeapEngineNonfragmenting.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "nxseHeaderAccess.h"

NX_IMPLEMENT_EXCEPTION(EnxNonfragmentingBlockHeapEngineException, EnxBaseBlockHeapEngineException)

PL_CLASS_INFO_IMPL_TABLE(TnxNonfragmentingBlockHeapEngine, TnxBaseBlockHeapEngine, "TnxNonfragmentingBlockHeapEngine",
                         nullptr, platform::bindClassTable(nxBlockHeapEngineFuncs<TnxNonfragmentingBlockHeapEngine>))

namespace {

constexpr std::uint32_t footprint(std::uint32_t aLength) { return (aLength + 2 + 3) & ~3u; }

}  // namespace

// The header words of a block, checked.
struct TnxNonfragmentingBlockHeapEngine::Geometry {
  std::uint32_t count;     // N
  std::uint32_t dirLow;    // offset of the free area offset word
  std::uint32_t free;      // free area offset, 0 for none
  std::uint32_t freeSize;  // S, 0 without a free area
  std::uint32_t recoverable;
  std::uint32_t live;
};

TnxNonfragmentingBlockHeapEngine::TnxNonfragmentingBlockHeapEngine(TnxBaseBlockHeapDescriptor* aDescriptor,
                                                                   std::uint32_t aBlockSize, std::uint16_t aHeaderSize,
                                                                   std::int32_t aTableVersion)
    : TnxBaseBlockHeapEngine(aDescriptor, aBlockSize, aHeaderSize, aTableVersion),
      bheHeaderSize(static_cast<std::uint16_t>((aHeaderSize + 7u) & ~3u)) {
  nxAssert(aBlockSize <= 0x10000 && aBlockSize >= bheHeaderSize + 16u, "Block heap block size out of range");
  bbheMaxSegmentSize = static_cast<std::uint16_t>(aBlockSize - bheHeaderSize - 12);
}

TnxNonfragmentingBlockHeapEngine::~TnxNonfragmentingBlockHeapEngine() {
  if (bheTempBlock) nxFreeMem(bheTempBlock);
}

void TnxNonfragmentingBlockHeapEngine::RaiseCorrupt(PnxBlock aBlock, const char16_t* aWhat) {
  throw EnxNonfragmentingBlockHeapEngineException(nxErrCorruptFile, u"Heap block %d is corrupt: %s",
                                                  {static_cast<std::int64_t>(nxseThisBlock(aBlock)), nxString(aWhat)});
}

TnxNonfragmentingBlockHeapEngine::Geometry TnxNonfragmentingBlockHeapEngine::Check(PnxBlock aBlock) {
  const std::uint32_t B = bbheBlockSize, H = bheHeaderSize;
  Geometry g{};
  g.count = nxseGetU16(aBlock + B - 2);
  if (8 + 2 * g.count + H > B) RaiseCorrupt(aBlock, u"directory size");
  g.dirLow = DirLow(g.count);
  if (nxseGetU16(aBlock + B - 4) > g.count) RaiseCorrupt(aBlock, u"free-slot chain head");
  g.recoverable = nxseGetU16(aBlock + B - 6);
  if (g.recoverable > B) RaiseCorrupt(aBlock, u"recoverable space");
  g.live = nxseGetU16(aBlock + H - 4);
  if (g.live > g.count) RaiseCorrupt(aBlock, u"live segment count");
  g.free = nxseGetU16(aBlock + g.dirLow);
  if (g.free != 0) {
    // The free area always ends 2 bytes short of dirLow: one more slot fits.
    if ((g.free & 3) != 0 || g.free < H || g.free + 4 > g.dirLow) RaiseCorrupt(aBlock, u"free area offset");
    g.freeSize = nxseGetU16(aBlock + g.free);
    if (g.free + 2 + g.freeSize > g.dirLow - 2) RaiseCorrupt(aBlock, u"free area size");
  }
  return g;
}

void TnxNonfragmentingBlockHeapEngine::CheckSegment(PnxBlock aBlock, const Geometry& aGeometry, std::uint32_t aOffset) {
  if (aOffset < bheHeaderSize || aOffset + 2 > aGeometry.dirLow ||
      aOffset + 2 + nxseGetU16(aBlock + aOffset) > aGeometry.dirLow)
    RaiseCorrupt(aBlock, u"segment offset or length");
}

std::uint32_t TnxNonfragmentingBlockHeapEngine::LiveOffset(PnxBlock aBlock, const Geometry& aGeometry,
                                                           TnxSegmentRef aSegment, const char16_t* aDeletedText) {
  if (aSegment == 0 || aSegment > aGeometry.count)
    throw EnxNonfragmentingBlockHeapEngineException(nxErrInvalidSegment, u"invalid segment number (%d)",
                                                    {static_cast<std::int64_t>(aSegment)});
  const std::uint32_t entry = nxseGetU16(aBlock + EntryPos(aSegment));
  switch (entry & 3) {
    case 0:
      CheckSegment(aBlock, aGeometry, entry);
      return entry;
    case 1:
      throw EnxNonfragmentingBlockHeapEngineException(nxErrSegmentDeleted, aDeletedText, {static_cast<std::int64_t>(aSegment)});
    default:
      throw EnxNonfragmentingBlockHeapEngineException(nxErrInvalidSegment, u"invalid segment number (%d)",
                                                      {static_cast<std::int64_t>(aSegment)});
  }
}

void TnxNonfragmentingBlockHeapEngine::ReportChange(PnxBlock aBlock, std::uint16_t aSegmentCount,
                                                    std::uint16_t aFreeSpaceSize, std::uint16_t aRecoverableSpace) {
  TnxBaseBlockHeapEngine::ReportChange(
      aBlock, aSegmentCount, aFreeSpaceSize,
      static_cast<std::uint16_t>(aRecoverableSpace - std::min<std::uint16_t>(8, aRecoverableSpace)));
}

void TnxNonfragmentingBlockHeapEngine::InitBlock(PnxBlock aBlock) {
  const std::uint32_t B = bbheBlockSize, H = bheHeaderSize;
  nxsePutU16(aBlock + B - 2, 0);
  nxsePutU16(aBlock + B - 4, 0);
  nxsePutU16(aBlock + B - 6, 0);
  nxsePutU16(aBlock + B - 8, static_cast<std::uint16_t>(H));
  nxsePutU16(aBlock + H, static_cast<std::uint16_t>(B - H - 12));
  nxsePutU16(aBlock + H - 4, 0);
  nxsePutU16(aBlock + H - 2, 0);
}

std::uint8_t* TnxNonfragmentingBlockHeapEngine::AllocSegment(PnxBlock aBlock, std::uint16_t aSegmentSize,
                                                             TnxSegmentRef& aSegment) {
  const std::uint32_t B = bbheBlockSize;
  aSegment = 0;
  Geometry g = Check(aBlock);
  const std::uint32_t a = aSegmentSize, c = footprint(a);
  if (g.free == 0 || g.freeSize < a) {
    if (g.freeSize + g.recoverable < std::max(a, g.free == 0 ? c : a)) return nullptr;
    CompactBlock(aBlock, 0, 0);
    g = Check(aBlock);
    // The recoverable space promised more than compaction won: no room.
    if (g.free == 0 || g.freeSize < a) return nullptr;
  }
  const std::uint32_t f = g.free, S = g.freeSize;
  const std::uint32_t rest = c < S ? S - c : 0;  // remaining free area at f + c
  nxsePutU16(aBlock + f, aSegmentSize);
  const std::uint32_t head = nxseGetU16(aBlock + B - 4);
  if (head != 0) {
    const std::uint32_t entry = nxseGetU16(aBlock + EntryPos(head));
    if ((entry & 3) != 2 || (entry >> 2) > g.count) RaiseCorrupt(aBlock, u"free-slot chain");
    aSegment = head;
    nxsePutU16(aBlock + B - 4, static_cast<std::uint16_t>(entry >> 2));
    nxsePutU16(aBlock + EntryPos(head), static_cast<std::uint16_t>(f));
    if (rest > 0) nxsePutU16(aBlock + f + c, static_cast<std::uint16_t>(rest));
    nxsePutU16(aBlock + g.dirLow, static_cast<std::uint16_t>(rest > 0 ? f + c : 0));
    g.freeSize = rest;
  } else {
    // The old free area offset word (holding f) becomes the new slot's
    // entry; the word below it takes over.
    const std::uint32_t count = g.count + 1;
    nxsePutU16(aBlock + B - 2, static_cast<std::uint16_t>(count));
    aSegment = count;
    const std::uint32_t dirLow = DirLow(count);
    if (rest > 2) {
      nxsePutU16(aBlock + f + c, static_cast<std::uint16_t>(rest - 2));
      nxsePutU16(aBlock + dirLow, static_cast<std::uint16_t>(f + c));
      g.freeSize = rest - 2;
    } else {
      if (c < S) nxsePutU16(aBlock + f + c, 0);
      nxsePutU16(aBlock + dirLow, 0);
      g.freeSize = 0;
    }
  }
  const auto live = static_cast<std::uint16_t>(g.live + 1);
  nxsePutU16(aBlock + bheHeaderSize - 4, live);
  ReportChange(aBlock, live, static_cast<std::uint16_t>(g.freeSize), static_cast<std::uint16_t>(g.recoverable));
  return aBlock + f + 2;
}

void TnxNonfragmentingBlockHeapEngine::FreeSegment(PnxBlock aBlock, TnxSegmentRef aSegment) {
  const Geometry g = Check(aBlock);
  const std::uint32_t offset = LiveOffset(aBlock, g, aSegment, u"segment already deleted (%d)");
  std::uint32_t c = footprint(nxseGetU16(aBlock + offset));
  if (offset + c > g.dirLow) c -= 4;
  const std::uint32_t recoverable = g.recoverable + c;
  if (recoverable > bbheBlockSize || g.live == 0) RaiseCorrupt(aBlock, u"recoverable space or live count");
  nxsePutU16(aBlock + bbheBlockSize - 6, static_cast<std::uint16_t>(recoverable));
  nxsePutU16(aBlock + EntryPos(aSegment), static_cast<std::uint16_t>(offset | 1));
  const auto live = static_cast<std::uint16_t>(g.live - 1);
  nxsePutU16(aBlock + bheHeaderSize - 4, live);
  ReportChange(aBlock, live, static_cast<std::uint16_t>(g.freeSize), static_cast<std::uint16_t>(recoverable));
}

std::uint8_t* TnxNonfragmentingBlockHeapEngine::GetSegment(PnxBlock aBlock, TnxSegmentRef aSegment,
                                                           std::uint16_t& aSegmentSize) {
  const Geometry g = Check(aBlock);
  const std::uint32_t offset = LiveOffset(aBlock, g, aSegment, u"segment deleted (%d)");
  aSegmentSize = nxseGetU16(aBlock + offset);
  return aBlock + offset + 2;
}

std::uint8_t* TnxNonfragmentingBlockHeapEngine::GetNextSegment(PnxBlock aBlock, TnxSegmentRef& aSegment,
                                                               std::uint16_t& aSegmentSize) {
  const Geometry g = Check(aBlock);
  for (;;) {
    ++aSegment;
    if (aSegment == 0 || aSegment > g.count) return nullptr;
    const std::uint32_t entry = nxseGetU16(aBlock + EntryPos(aSegment));
    if ((entry & 3) != 0) continue;
    CheckSegment(aBlock, g, entry);
    aSegmentSize = nxseGetU16(aBlock + entry);
    return aBlock + entry + 2;
  }
}

std::uint8_t* TnxNonfragmentingBlockHeapEngine::GetPrevSegment(PnxBlock aBlock, TnxSegmentRef& aSegment,
                                                               std::uint16_t& aSegmentSize) {
  const Geometry g = Check(aBlock);
  if (aSegment > g.count) aSegment = g.count + 1;
  for (;;) {
    if (aSegment == 0) return nullptr;
    --aSegment;
    if (aSegment == 0) return nullptr;
    const std::uint32_t entry = nxseGetU16(aBlock + EntryPos(aSegment));
    if ((entry & 3) != 0) continue;
    CheckSegment(aBlock, g, entry);
    aSegmentSize = nxseGetU16(aBlock + entry);
    return aBlock + entry + 2;
  }
}

std::uint16_t TnxNonfragmentingBlockHeapEngine::GetFreespace(PnxBlock aBlock) {
  const Geometry g = Check(aBlock);
  const std::uint32_t result = g.freeSize + g.recoverable - std::min<std::uint32_t>(8, g.recoverable);
  return static_cast<std::uint16_t>(std::min<std::uint32_t>(result, 0xFFFF));
}

std::uint8_t* TnxNonfragmentingBlockHeapEngine::ReAllocSegment(PnxBlock aBlock, std::uint16_t aNewSegmentSize,
                                                               TnxSegmentRef aSegment) {
  const std::uint32_t B = bbheBlockSize;
  Geometry g = Check(aBlock);
  std::uint32_t offset = LiveOffset(aBlock, g, aSegment, u"segment deleted (%d)");
  const std::uint32_t L = nxseGetU16(aBlock + offset), n = aNewSegmentSize;
  const std::uint32_t oldFootprint = footprint(L);
  const bool pastDir = offset + oldFootprint > g.dirLow;
  const std::uint32_t h = pastDir ? g.dirLow - offset : oldFootprint;
  const std::uint32_t l = footprint(n);
  std::uint32_t recoverable = g.recoverable;
  std::uint32_t freeSize = g.freeSize;
  if (n < L) {
    if ((h & ~3u) > l) recoverable += (h & ~3u) - l;
    nxsePutU16(aBlock + offset, aNewSegmentSize);
  } else if (n > L) {
    if (h == l || (pastDir && offset + 2 + n <= g.dirLow)) {
      nxsePutU16(aBlock + offset, aNewSegmentSize);
    } else {
      const std::uint32_t t = g.free, S = g.freeSize;
      if (t != 0 ? recoverable + S + 2 + h < l : recoverable + h < l) return nullptr;
      if (t != 0 && t == offset + h && S + 2 + h >= l) {
        // Grow into the free area that follows.
        if (l - h < S) {
          freeSize = S - (l - h);
          nxsePutU16(aBlock + t + (l - h), static_cast<std::uint16_t>(freeSize));
          nxsePutU16(aBlock + g.dirLow, static_cast<std::uint16_t>(t + (l - h)));
        } else {
          freeSize = 0;
          nxsePutU16(aBlock + g.dirLow, 0);
        }
        nxsePutU16(aBlock + offset, aNewSegmentSize);
      } else if (t != 0 && S >= l) {
        // Move into the free area; the old place becomes recoverable.
        recoverable += h;
        std::memmove(aBlock + t, aBlock + offset, h);
        freeSize = S - l;
        nxsePutU16(aBlock + t + l, static_cast<std::uint16_t>(freeSize));
        nxsePutU16(aBlock + g.dirLow, static_cast<std::uint16_t>(t + l));
        nxsePutU16(aBlock + t, aNewSegmentSize);
        nxsePutU16(aBlock + EntryPos(aSegment), static_cast<std::uint16_t>(t));
        offset = t;
      } else {
        CompactBlock(aBlock, aSegment, aNewSegmentSize);
        g = Check(aBlock);
        offset = nxseGetU16(aBlock + EntryPos(aSegment));
        CheckSegment(aBlock, g, offset);
        recoverable = g.recoverable;
        freeSize = g.freeSize;
      }
    }
  }
  if (recoverable > B) RaiseCorrupt(aBlock, u"recoverable space");
  nxsePutU16(aBlock + B - 6, static_cast<std::uint16_t>(recoverable));
  ReportChange(aBlock, static_cast<std::uint16_t>(g.live), static_cast<std::uint16_t>(freeSize),
               static_cast<std::uint16_t>(recoverable));
  return aBlock + offset + 2;
}

void TnxNonfragmentingBlockHeapEngine::CompactBlock(PnxBlock aBlock, TnxSegmentRef aResizeSegment,
                                                    std::uint16_t aNewSegmentSize) {
  const std::uint32_t B = bbheBlockSize, H = bheHeaderSize;
  const Geometry g = Check(aBlock);
  std::uint32_t count = g.count;
  while (count > 0 && (nxseGetU16(aBlock + EntryPos(count)) & 3) != 0) --count;
  if (count == 0) {
    InitBlock(aBlock);
    return;
  }
  if (!bheTempBlock) nxGetMem(bheTempBlock, B);
  std::uint8_t* scratch = bheTempBlock;
  std::memset(scratch, 0, B);
  std::memcpy(scratch, aBlock, H);
  nxsePutU16(scratch + B - 2, static_cast<std::uint16_t>(count));
  const std::uint32_t dirLow = DirLow(count);
  std::uint32_t w = H;
  for (std::uint32_t slot = 1; slot <= count; ++slot) {
    const std::uint32_t entry = nxseGetU16(aBlock + EntryPos(slot));
    if ((entry & 3) != 0) {
      nxsePutU16(scratch + EntryPos(slot), 2);
      continue;
    }
    CheckSegment(aBlock, g, entry);
    const std::uint32_t length = nxseGetU16(aBlock + entry);
    const std::uint32_t newLength = slot == aResizeSegment ? aNewSegmentSize : length;
    // Live segments that overlap would not fit when packed.
    if (w + 2 + newLength > dirLow) RaiseCorrupt(aBlock, u"segments overlap");
    nxsePutU16(scratch + w, static_cast<std::uint16_t>(newLength));
    std::memcpy(scratch + w + 2, aBlock + entry + 2, std::min(length, newLength));
    nxsePutU16(scratch + EntryPos(slot), static_cast<std::uint16_t>(w));
    w += footprint(newLength);
  }
  std::uint32_t freeSize = 0;
  if (w + 6 < dirLow) {
    freeSize = dirLow - w - 2;
    if (freeSize > 4) {
      freeSize -= 2;
      nxsePutU16(scratch + w, static_cast<std::uint16_t>(freeSize));
      nxsePutU16(scratch + dirLow, static_cast<std::uint16_t>(w));
    } else {
      freeSize = 0;
    }
  }
  if (aNewSegmentSize == 0 && freeSize < g.recoverable - std::min<std::uint32_t>(8, g.recoverable))
    RaiseCorrupt(aBlock, u"recoverable space exceeds the holes");
  std::uint32_t head = 0;
  for (std::uint32_t slot = count; slot >= 1; --slot)
    if (nxseGetU16(scratch + EntryPos(slot)) == 2) {
      nxsePutU16(scratch + EntryPos(slot), static_cast<std::uint16_t>((head << 2) | 2));
      head = slot;
    }
  nxsePutU16(scratch + B - 4, static_cast<std::uint16_t>(head));
  std::memcpy(aBlock, scratch, B);
}

void TnxNonfragmentingBlockHeapEngine::IncSegmentRef(TnxSegmentRef& aSegmentRef) {
  if (bseTableVersion < 47005) return;
  aSegmentRef = (aSegmentRef & 0xFFFFu) | ((((aSegmentRef >> 16) + 1) & 0xFFFFu) << 16);
}

void TnxNonfragmentingBlockHeapEngine::VerifyBlock(PnxBlock aBlock, bool) {
  const std::uint32_t B = bbheBlockSize, H = bheHeaderSize;
  auto fail = [](const std::string& aText) { nxAssertionFailed(aText, "nxseBlockHeapEngineNonfragmenting", __LINE__); };
  const std::uint32_t count = nxseGetU16(aBlock + B - 2);
  if (8 + 2 * count + H > B) fail("Directory overlaps the header");
  const std::uint32_t dirLow = DirLow(count);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> used;  // offset, footprint
  std::uint32_t live = 0;
  for (std::uint32_t slot = 1; slot <= count; ++slot) {
    const std::uint32_t entry = nxseGetU16(aBlock + EntryPos(slot));
    if ((entry & 3) == 3) fail("Invalid slot entry " + std::to_string(entry));
    if ((entry & 3) != 0) continue;
    ++live;
    if (entry < H || entry >= dirLow) fail("Segment offset " + std::to_string(entry) + " outside the segment area");
    const std::uint32_t length = nxseGetU16(aBlock + entry);
    if (entry + 2 + length > dirLow)
      fail("Count: " + std::to_string(slot) + "; SegmentOffset^: " + std::to_string(entry) +
           "; SegmentLength^: " + std::to_string(length) + "; @FreeSpaceOffset: " + std::to_string(dirLow));
    used.emplace_back(entry, footprint(length));
  }
  if (live != nxseGetU16(aBlock + H - 4)) fail("Live segment count differs from the directory");
  const std::uint32_t free = nxseGetU16(aBlock + dirLow);
  if (free != 0) {
    const std::uint32_t size = free + 2 <= B ? nxseGetU16(aBlock + free) : 0;
    if ((free & 3) != 0 || free < H || free >= dirLow || free + 2 + size > dirLow)
      fail("FreeSpaceOffset^: " + std::to_string(free) + "; SegmentLength^: " + std::to_string(size) +
           "; @FreeSpaceOffset: " + std::to_string(dirLow));
    used.emplace_back(free, size + 2);
  }
  std::sort(used.begin(), used.end());
  std::uint32_t end = H, holes = 0;
  for (const auto& [offset, length] : used) {
    if (offset < end) fail("Segment at " + std::to_string(offset) + " overlaps the one before");
    holes += offset - end;
    end = offset + length;
  }
  if (end <= dirLow)
    holes += (dirLow - end) & ~3u;
  else if (end - dirLow != 2)
    fail("Last segment ends past the directory");
  const std::uint32_t recoverable = nxseGetU16(aBlock + B - 6);
  if (holes < recoverable)
    fail("ActualRecoverableSpace = " + std::to_string(holes) +
         "\r\nRecoverableSpace^ = " + std::to_string(recoverable));
}

// Start-ups of this module, counted: only the first registers, the last
// finalisation unregisters.
namespace {
TnxUseCount gBlockHeapEngineNonfragmentingModuleStarts{0};
}  // namespace

void nxseBlockHeapEngineNonfragmentingInitialize() {
  TnxCountedStart started(gBlockHeapEngineNonfragmentingModuleStarts);
  if (!started) return;
  TnxBaseBlockHeapEngine::RegisterEngine(TnxNonfragmentingBlockHeapEngine::staticClassInfo(), "nx1xDefault");
}

void nxseBlockHeapEngineNonfragmentingFinalize() {
  if (!nxUseCountLeave(gBlockHeapEngineNonfragmentingModuleStarts)) return;
  TnxBaseBlockHeapEngine::UnregisterEngine(TnxNonfragmentingBlockHeapEngine::staticClassInfo());
}
