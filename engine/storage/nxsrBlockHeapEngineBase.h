// The "BlockHeap" family: engines that keep many variable-length segments
// inside one block buffer handed to them by a caller (the heap engine). A
// block heap engine knows nothing of files or transactions: the caller holds
// the block for change and marks it dirty; all state lives in the block.
//
// Segment references (TnxSegmentRef): the slot number in the low 16 bits;
// for tables of version 47005 or later a counter in the high 16 bits that
// IncSegmentRef advances. Callers mask a reference with SegmentRefMask
// before they address a slot.
//
// Every change to a block is reported through OnChanged (a two-word
// delegate) with the live segment count and the free space, so that the
// heap can keep its directory of blocks in step.
//
// The family's registry is filled by the modules' start-up calls and only
// read afterwards. An engine instance is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string_view>

#include "nxsrSubEngineBase.h"

NX_DECLARE_EXCEPTION(EnxBaseBlockHeapEngineException, EnxBaseSubEngineException)

using TnxSegmentRef = std::uint32_t;

// The change listener: (aBlock, live segment count, free area size,
// recoverable space). Code nil: nobody listens.
struct TnxBlockHeapChangedEvent {
  void (*Code)(void* aObject, PnxBlock aBlock, std::uint16_t aSegmentCount, std::uint16_t aFreeSpaceSize,
               std::uint16_t aRecoverableSpace) = nullptr;
  void* Object = nullptr;

  explicit operator bool() const { return Code != nullptr; }
  void operator()(PnxBlock aBlock, std::uint16_t aSegmentCount, std::uint16_t aFreeSpaceSize,
                  std::uint16_t aRecoverableSpace) const {
    Code(Object, aBlock, aSegmentCount, aFreeSpaceSize, aRecoverableSpace);
  }
};

class TnxBaseBlockHeapEngine;

// Class-level functions of a block heap engine class.
struct TnxBlockHeapEngineClassFuncs {
  void (*checkEngineDescriptor)(TnxBaseBlockHeapDescriptor* aDescriptor);
  // Nil for abstract classes.
  TnxBaseBlockHeapEngine* (*create)(TnxBaseBlockHeapDescriptor* aDescriptor, std::uint32_t aBlockSize,
                                    std::uint16_t aHeaderSize, std::int32_t aTableVersion);
};

template <class T>
constexpr auto nxBlockHeapCreateOf() {
  if constexpr (std::is_abstract_v<T>)
    return static_cast<TnxBaseBlockHeapEngine* (*)(TnxBaseBlockHeapDescriptor*, std::uint32_t, std::uint16_t,
                                                   std::int32_t)>(nullptr);
  else
    return +[](TnxBaseBlockHeapDescriptor* aDescriptor, std::uint32_t aBlockSize, std::uint16_t aHeaderSize,
               std::int32_t aTableVersion) -> TnxBaseBlockHeapEngine* {
      return platform::create<T>(aDescriptor, aBlockSize, aHeaderSize, aTableVersion);
    };
}

template <class T>
inline constexpr TnxBlockHeapEngineClassFuncs nxBlockHeapEngineFuncs{&T::CheckEngineDescriptor,
                                                                     nxBlockHeapCreateOf<T>()};

class TnxBaseBlockHeapEngine : public TnxBaseSubEngine {
  PL_CLASS_INFO_DECL()
 public:
  // aBlockSize: the bytes of the block the engine manages (the file's usable
  // size); aHeaderSize: the caller's block header, left untouched.
  TnxBaseBlockHeapEngine(TnxBaseBlockHeapDescriptor* aDescriptor, std::uint32_t aBlockSize,
                         std::uint16_t aHeaderSize, std::int32_t aTableVersion);

  static TnxClassList& GetList();
  static void CheckEngineDescriptor(TnxBaseBlockHeapDescriptor*) {}
  // Nil for a nil descriptor; 15503 'Unknown BlockHeap engine: "<name>"'.
  static TnxBaseBlockHeapEngine* CreateEngine(TnxBaseBlockHeapDescriptor* aDescriptor, std::uint32_t aBlockSize,
                                              std::uint16_t aHeaderSize, std::int32_t aTableVersion);
  // Nothing for nil; else the named class's descriptor check (15503 above).
  static void CheckValidBaseFromDescriptor(TnxBaseBlockHeapDescriptor* aDescriptor);
  // Module start-up and finalisation of the concrete classes.
  static void RegisterEngine(const platform::ClassInfo& aClass, std::string_view aShortName);
  static void UnregisterEngine(const platform::ClassInfo& aClass);

  // Calls OnChanged when one is assigned.
  virtual void ReportChange(PnxBlock aBlock, std::uint16_t aSegmentCount, std::uint16_t aFreeSpaceSize,
                            std::uint16_t aRecoverableSpace);
  // Formats an empty block.
  virtual void InitBlock(PnxBlock aBlock) = 0;
  // The payload of a new segment of aSegmentSize bytes, or nil (aSegment 0)
  // when the block cannot hold it.
  virtual std::uint8_t* AllocSegment(PnxBlock aBlock, std::uint16_t aSegmentSize, TnxSegmentRef& aSegment) = 0;
  // The payload at its possibly new place in the block, or nil when the
  // block cannot hold the new size (the segment is then unchanged). Bytes up
  // to the smaller length keep their values.
  virtual std::uint8_t* ReAllocSegment(PnxBlock aBlock, std::uint16_t aNewSegmentSize, TnxSegmentRef aSegment) = 0;
  virtual void FreeSegment(PnxBlock aBlock, TnxSegmentRef aSegment) = 0;
  virtual std::uint8_t* GetSegment(PnxBlock aBlock, TnxSegmentRef aSegment, std::uint16_t& aSegmentSize) = 0;
  // Walks of the live segments: start with aSegment 0 (next) or above the
  // last slot (previous); nil at the end.
  virtual std::uint8_t* GetNextSegment(PnxBlock aBlock, TnxSegmentRef& aSegment, std::uint16_t& aSegmentSize) = 0;
  virtual std::uint8_t* GetPrevSegment(PnxBlock aBlock, TnxSegmentRef& aSegment, std::uint16_t& aSegmentSize) = 0;
  // The payload bytes a caller may plan on.
  virtual std::uint16_t GetFreespace(PnxBlock aBlock) = 0;
  virtual void IncSegmentRef(TnxSegmentRef&) {}

  std::uint16_t MaxSegmentSize() const { return bbheMaxSegmentSize; }
  TnxSegmentRef SegmentRefMask() const { return bbheSegmentRefMask; }

  std::uint32_t bbheBlockSize;
  std::uint16_t bbheHeaderSize;
  std::uint16_t bbheMaxSegmentSize = 0;
  TnxBlockHeapChangedEvent bbheOnChanged;
  TnxSegmentRef bbheSegmentRefMask = 0xFFFFFFFFu;
};
