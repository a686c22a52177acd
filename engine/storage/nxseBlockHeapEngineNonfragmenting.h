// The slotted block ("nx1xDefault" in the BlockHeap family): a directory of
// 16-bit slot entries grows down from the end of the managed area, segments
// are packed up from H, and compaction wins back deleted space while every
// slot keeps its number.
//
// Layout (B managed bytes, N directory entries, all words u16 LE):
//   H - 4       live segment count        (H = caller header + 7, rounded
//   H ..        segments, holes, the one   down to a multiple of 4)
//               free area {u16 size S, S bytes}
//   B - 8 - 2N  free area offset (0: none)  = dirLow, the lowest directory word
//   B - 6 - 2i  entry of slot i (i = N .. 1): low bits 0 live (the segment's
//               offset), 1 deleted (offset + 1, not reused until a
//               compaction), 2 free (next free slot shl 2, or 2)
//   B - 6       recoverable space R (bytes compaction can win back)
//   B - 4       head of the free-slot chain
//   B - 2       N
// Segment: u16 length L, then L bytes; its footprint is L + 2 rounded up to
// a multiple of 4. A free area the engine makes ends 2 bytes short of dirLow,
// so one more slot entry always fits.
//
// The block comes from a file: the directory size, the free area and the
// entry and length of the slot at hand are checked against H and dirLow
// before use (8962); compaction checks every live segment it copies.
// No locking: the caller holds the block for change and uses an instance
// from one thread at a time (the compaction scratch block is the instance's).
#pragma once

#include <cstdint>

#include "nxsrBlockHeapEngineBase.h"

NX_DECLARE_EXCEPTION(EnxNonfragmentingBlockHeapEngineException, EnxBaseBlockHeapEngineException)

class TnxNonfragmentingBlockHeapEngine : public TnxBaseBlockHeapEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxNonfragmentingBlockHeapEngine(TnxBaseBlockHeapDescriptor* aDescriptor, std::uint32_t aBlockSize,
                                   std::uint16_t aHeaderSize, std::int32_t aTableVersion);
  ~TnxNonfragmentingBlockHeapEngine() override;

  // Passes R - min(8, R) as the recoverable space.
  void ReportChange(PnxBlock aBlock, std::uint16_t aSegmentCount, std::uint16_t aFreeSpaceSize,
                    std::uint16_t aRecoverableSpace) override;
  void InitBlock(PnxBlock aBlock) override;
  std::uint8_t* AllocSegment(PnxBlock aBlock, std::uint16_t aSegmentSize, TnxSegmentRef& aSegment) override;
  std::uint8_t* ReAllocSegment(PnxBlock aBlock, std::uint16_t aNewSegmentSize, TnxSegmentRef aSegment) override;
  // 15492 "invalid segment number (%d)", 15493 "segment already deleted (%d)".
  void FreeSegment(PnxBlock aBlock, TnxSegmentRef aSegment) override;
  // 15492, 15493 "segment deleted (%d)".
  std::uint8_t* GetSegment(PnxBlock aBlock, TnxSegmentRef aSegment, std::uint16_t& aSegmentSize) override;
  std::uint8_t* GetNextSegment(PnxBlock aBlock, TnxSegmentRef& aSegment, std::uint16_t& aSegmentSize) override;
  std::uint8_t* GetPrevSegment(PnxBlock aBlock, TnxSegmentRef& aSegment, std::uint16_t& aSegmentSize) override;
  std::uint16_t GetFreespace(PnxBlock aBlock) override;
  void IncSegmentRef(TnxSegmentRef& aSegmentRef) override;

  // Packs the live segments from H in slot order; aResizeSegment (0: none)
  // takes aNewSegmentSize bytes (the added bytes are zero). Trailing
  // non-live slots disappear, the others go on the free-slot chain.
  void CompactBlock(PnxBlock aBlock, TnxSegmentRef aResizeSegment, std::uint16_t aNewSegmentSize);
  // Assertion failures for every broken invariant of the block (a check for
  // tests and tools; the engine never calls it). aBefore is not used.
  void VerifyBlock(PnxBlock aBlock, bool aBefore);

  std::uint16_t bheHeaderSize;
  std::uint8_t* bheTempBlock = nullptr;  // B bytes, made on first use

 private:
  struct Geometry;
  Geometry Check(PnxBlock aBlock);
  std::uint32_t LiveOffset(PnxBlock aBlock, const Geometry& aGeometry, TnxSegmentRef aSegment,
                           const char16_t* aDeletedText);
  void CheckSegment(PnxBlock aBlock, const Geometry& aGeometry, std::uint32_t aOffset);
  [[noreturn]] void RaiseCorrupt(PnxBlock aBlock, const char16_t* aWhat);
  std::uint32_t EntryPos(std::uint32_t aSlot) const { return bbheBlockSize - 6 - 2 * aSlot; }
  std::uint32_t DirLow(std::uint32_t aCount) const { return bbheBlockSize - 8 - 2 * aCount; }
};

// Registers the engine under "nx1xDefault" in the BlockHeap family.
void nxseBlockHeapEngineNonfragmentingInitialize();
void nxseBlockHeapEngineNonfragmentingFinalize();
