// The "Heap" family: variable-length segments spread over the data blocks of
// one table file, each named by a 64-bit heap reference. Inside a data block
// a block heap engine (nxsrBlockHeapEngineBase) manages the segments.
//
// TnxHeapRef: data block number in the high 32 bits, the block heap's
// segment reference in the low 32 bits (slot in the low 16; for tables of
// version 47005 or later a counter in the high 16 that IncHeapRef advances:
// owners mask a reference with bheHeapRefMask before they address it).
// 0 means no segment.
//
// A heap's owner (the BLOB engine, the variable record engines) keeps the
// heap's small persistent state in its own header section through a header
// handler, which also links and unlinks the owner's data block chain.
//
// Calling order owners rely on: to change a segment directly through the
// block heap engine (resize in place, free) fetch it first with GetSegment
// (aMarkDirty = True), so that the heap knows the changing transaction
// before the block heap reports the change.
//
// Every data block carries the heap's sub-engine ID as owner ID. No locks:
// one transaction at a time changes a heap (the owning table serialises
// writers).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "nxllOwners.h"
#include "nxsrBlockHeapEngineBase.h"

NX_DECLARE_EXCEPTION(EnxBaseHeapEngineException, EnxBaseSubEngineException)

using TnxHeapRef = std::uint64_t;

inline TnxBlockNumber nxHeapRefBlock(TnxHeapRef aRef) { return static_cast<TnxBlockNumber>(aRef >> 32); }
inline TnxSegmentRef nxHeapRefSegment(TnxHeapRef aRef) { return static_cast<TnxSegmentRef>(aRef); }
inline TnxHeapRef nxMakeHeapRef(TnxBlockNumber aBlock, TnxSegmentRef aSegment) {
  return (static_cast<TnxHeapRef>(aBlock) << 32) | aSegment;
}

// One piece of a segment's contents. A nil hpData reserves hpSize bytes
// without copying (on a resize: keeps the old bytes at that place).
struct TnxHeapPiece {
  const void* hpData;
  std::uint32_t hpSize;
};

class TnxBaseHeapEngine;

// The owner's side of a heap.
class TnxHeapHeaderHandler : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxHeapHeaderHandler(std::uint16_t aHeaderSection) : hhhHeaderSection(aHeaderSection) {}

  // A new data block (aBlock, pinned for change) was made.
  virtual void LinkDataBlock(TnxBaseTransaction* aTrans, TnxBaseFileHeaderAccess* aHeader, PnxBlock aBlock) = 0;
  // The data block aBlock (pinned for change) is about to be freed.
  virtual void UnlinkDataBlock(TnxBaseTransaction* aTrans, TnxBaseFileHeaderAccess* aHeader, PnxBlock aBlock) = 0;
  // Bytes of data block header the block heap leaves alone: the block
  // common header here.
  virtual std::uint16_t GetDataBlockHeaderSize() { return 16; }
  // The first management block, 0 for none.
  virtual TnxBlockNumber GetFirstManagementBlock(TnxBaseFileHeaderAccess* aHeader) = 0;
  // REQUIRES: aHeader fetched for change.
  virtual void SetFirstManagementBlock(TnxBaseFileHeaderAccess* aHeader, TnxBlockNumber aBlockNumber) = 0;

  TnxBaseHeapEngine* hhhEngine = nullptr;  // set by the heap
  std::uint16_t hhhHeaderSection;
};

// Class-level functions of a heap engine class.
struct TnxHeapEngineClassFuncs {
  void (*checkEngineDescriptor)(TnxBaseHeapDescriptor* aDescriptor);
  // Nil for abstract classes.
  TnxBaseHeapEngine* (*create)(TnxBaseHeapDescriptor* aDescriptor, TnxBlockAccess* aDataFile,
                               TnxHeapHeaderHandler* aHeaderHandler);
};

template <class T>
constexpr auto nxHeapCreateOf() {
  if constexpr (std::is_abstract_v<T>)
    return static_cast<TnxBaseHeapEngine* (*)(TnxBaseHeapDescriptor*, TnxBlockAccess*, TnxHeapHeaderHandler*)>(nullptr);
  else
    return +[](TnxBaseHeapDescriptor* aDescriptor, TnxBlockAccess* aDataFile,
               TnxHeapHeaderHandler* aHeaderHandler) -> TnxBaseHeapEngine* {
      return platform::create<T>(aDescriptor, aDataFile, aHeaderHandler);
    };
}

template <class T>
inline constexpr TnxHeapEngineClassFuncs nxHeapEngineFuncs{&T::CheckEngineDescriptor, nxHeapCreateOf<T>()};

class TnxBaseHeapEngine : public TnxBaseSubEngine {
  PL_CLASS_INFO_DECL()
 public:
  // Takes over aHeaderHandler. The block heap engine is made from the
  // descriptor's block heap descriptor for the file's usable block size.
  TnxBaseHeapEngine(TnxBaseHeapDescriptor* aDescriptor, TnxBlockAccess* aDataFile,
                    TnxHeapHeaderHandler* aHeaderHandler);
  ~TnxBaseHeapEngine() override;

  static TnxClassList& GetList();
  // 10004 "A block heap descriptor is required"; then the block heap check.
  static void CheckEngineDescriptor(TnxBaseHeapDescriptor* aDescriptor);
  // Nil for a nil descriptor (the handler is then freed); 15503 'Unknown
  // Heap engine: "<name>"'. Takes over aHeaderHandler.
  static TnxBaseHeapEngine* CreateEngine(TnxBaseHeapDescriptor* aDescriptor, TnxBlockAccess* aDataFile,
                                         TnxHeapHeaderHandler* aHeaderHandler);
  static void CheckValidBaseFromDescriptor(TnxBaseHeapDescriptor* aDescriptor);
  static void RegisterEngine(const platform::ClassInfo& aClass, std::string_view aShortName);
  static void UnregisterEngine(const platform::ClassInfo& aClass);

  // The block heap's change listener.
  virtual void BlockHeapChanged(PnxBlock aBlock, std::uint16_t aSegmentCount, std::uint16_t aFreeSpaceSize,
                                std::uint16_t aRecoverableSpace) = 0;
  void LinkDataBlock(TnxBaseTransaction* aTrans, TnxBaseFileHeaderAccess* aHeader, PnxBlock aBlock) {
    bheHeaderHandler->LinkDataBlock(aTrans, aHeader, aBlock);
  }
  void UnlinkDataBlock(TnxBaseTransaction* aTrans, TnxBaseFileHeaderAccess* aHeader, PnxBlock aBlock) {
    bheHeaderHandler->UnlinkDataBlock(aTrans, aHeader, aBlock);
  }
  TnxBlockNumber GetFirstManagementBlock(TnxBaseFileHeaderAccess* aHeader) {
    return bheHeaderHandler->GetFirstManagementBlock(aHeader);
  }
  void SetFirstManagementBlock(TnxBaseFileHeaderAccess* aHeader, TnxBlockNumber aBlockNumber) {
    bheHeaderHandler->SetFirstManagementBlock(aHeader, aBlockNumber);
  }

  // A new segment holding the pieces one after the other; 0 when their total
  // is 0 or above the block heap's MaxSegmentSize.
  virtual TnxHeapRef AllocSegment(TnxBaseTransaction* aTrans, std::span<const TnxHeapPiece> aPieces) = 0;
  // A new segment holding a prefix of the pieces: at least aMinSize bytes,
  // aHeaderSize plus a whole number of aItemSize items (aSize: the size
  // chosen). Without aNoSplit a shorter segment may go to the block with
  // the most free space. 0 when nothing was allocated.
  virtual TnxHeapRef AllocSegmentEx(TnxBaseTransaction* aTrans, std::span<const TnxHeapPiece> aPieces,
                                    std::uint16_t aMinSize, std::uint16_t& aSize, std::uint16_t aHeaderSize,
                                    std::uint16_t aItemSize, bool aNoSplit) = 0;
  // Resizes segment aSegment of the data block aBlock (held for change)
  // under the same rules; the result may name another block (the old slot
  // is then freed). A nil piece keeps the old bytes at that place.
  virtual TnxHeapRef ReAllocSegmentEx(TnxBaseTransaction* aTrans, PnxBlock aBlock, TnxSegmentRef aSegment,
                                      std::span<const TnxHeapPiece> aPieces, std::uint16_t aMinSize,
                                      std::uint16_t& aSize, std::uint16_t aHeaderSize, std::uint16_t aItemSize,
                                      bool aNoSplit) = 0;
  // The payload of a segment; its block stays pinned until the caller calls
  // aReleaseMethod. 15409, 15416 for a bad block, 15492/15493 for a bad slot
  // (the block is released first).
  virtual std::uint8_t* GetSegment(TnxBaseTransaction* aTrans, TnxHeapRef aHeapRef, bool aMarkDirty,
                                   std::uint16_t& aSegmentSize, PnxBlock& aBlock, TnxReleaseMethod& aReleaseMethod) = 0;
  // A data block after the checks of its number, signature and owner.
  virtual PnxBlock ReadBlockHeap(TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber, bool aMarkDirty,
                                 TnxReleaseMethod& aReleaseMethod) = 0;
  virtual void Rollback(TnxBaseTransaction* aTrans) = 0;
  virtual void IncHeapRef(TnxHeapRef&) {}
  virtual const char* SigDataBlock() = 0;

  TnxBlockAccess* bheDataFile;
  TnxOwned<TnxHeapHeaderHandler> bheHeaderHandler;
  TnxOwned<TnxBaseBlockHeapEngine> bheBlockHeapEngine;
  TnxHeapRef bheHeapRefMask = ~TnxHeapRef{0};

 private:
  static void Changed(void* aObject, PnxBlock aBlock, std::uint16_t aSegmentCount, std::uint16_t aFreeSpaceSize,
                      std::uint16_t aRecoverableSpace);
};

// GetSegment with the segment's block owned by aPin (a pin it held before
// is released).
inline std::uint8_t* nxGetPinnedSegment(TnxBaseHeapEngine& aHeap, TnxBaseTransaction* aTrans, TnxHeapRef aHeapRef,
                                        bool aMarkDirty, std::uint16_t& aSegmentSize, TnxPinnedBlock& aPin) {
  PnxBlock block = nullptr;
  TnxReleaseMethod release;
  std::uint8_t* segment = aHeap.GetSegment(aTrans, aHeapRef, aMarkDirty, aSegmentSize, block, release);
  aPin = TnxPinnedBlock(block, release);
  return segment;
}
