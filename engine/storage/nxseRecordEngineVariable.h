// The variable record engine ("Variable" in the record family): every record
// is one heap segment, compressed by the table's record compression engine,
// so it takes only the bytes its contents need. A record's RefNr is the heap
// reference of its home segment and never changes while the record lives:
// a record that outgrows its home block moves to a body segment elsewhere
// and the home keeps a forward reference to it.
//
// Header section (24 bytes, LE): 0 record count, 4 first data block, 8 last
// data block (0 = none), 12 first management block of the heap, 16 unused.
// Data block "NXHD": the block common header, 16 next data block, 20
// previous data block (0 = none), then the block heap's slotted area. The
// data blocks form one doubly linked chain in the order they were made.
//
// Record segment: a flag byte, then the payload.
//   bit 0 (1): a moved record body (the target of a forward reference);
//              walks skip it
//   bit 1 (2): raw: the record buffer itself (RecordLength bytes)
//   bit 2 (4): forward reference: the u64 heap reference of the body; the
//              segment is exactly 9 bytes
//   bit 3 (8): payload padded to 9 bytes; its last byte holds the number of
//              padding bytes
// Neither bit 1 nor bit 2: the compression engine's output. Every record
// segment is at least 10 bytes, so it can always turn in place into a
// forward reference. A record has at most one level of indirection: a body
// that is again a reference, a reference that is not 9 bytes, a body
// without bit 0, or a payload that does not fit its segment is refused
// with 8962 (never followed), as are data chain links outside the file or a
// chain longer than the file.
//
// A record whose segment exceeds the heap's largest segment is refused with
// 15495 before anything changes; a zero heap reference is never stored.
// The engine runs within one transaction of one table at a time.
#pragma once

#include <array>
#include <cstdint>

#include "nxsrHeapEngineBase.h"
#include "nxsrRecordCompressionEngineBase.h"
#include "nxsrSubEngineBase.h"

NX_DECLARE_EXCEPTION(EnxVariableRecordEngineException, EnxBaseRecordEngineException)

// The record heap's side of the header section: the data block chain and
// the first management block.
class TnxVariableRecordHeapHeaderHandler : public TnxHeapHeaderHandler {
  PL_CLASS_INFO_DECL()
 public:
  using TnxHeapHeaderHandler::TnxHeapHeaderHandler;

  // Appends aBlock to the chain (the previous last block, fetched for
  // change, must end the chain).
  void LinkDataBlock(TnxBaseTransaction* aTrans, TnxBaseFileHeaderAccess* aHeader, PnxBlock aBlock) override;
  // Joins aBlock's neighbours (each must point back at it).
  void UnlinkDataBlock(TnxBaseTransaction* aTrans, TnxBaseFileHeaderAccess* aHeader, PnxBlock aBlock) override;
  std::uint16_t GetDataBlockHeaderSize() override { return 24; }
  TnxBlockNumber GetFirstManagementBlock(TnxBaseFileHeaderAccess* aHeader) override;
  void SetFirstManagementBlock(TnxBaseFileHeaderAccess* aHeader, TnxBlockNumber aBlockNumber) override;

 protected:
  // 8962 naming the chain fault at aBlock.
  [[noreturn]] void RaiseChain(TnxBlockNumber aBlock);
};

// The shape of a record segment: the width of the flag word, the least
// payload (so that any segment can turn into a forward reference in place)
// and with them the forward reference's size (flags + u64).
struct TnxVariableRecordFormat {
  std::uint8_t flagSize = 1;
  std::uint32_t minPayload = 9;
};

class TnxVariableRecordEngine : public TnxBaseRecordEngine {
  PL_CLASS_INFO_DECL()
 public:
  // 10004 without a TnxHeapRecordDescriptor or its heap descriptor. With
  // aTrans (table creation) the header section is created.
  TnxVariableRecordEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans, const TnxBlockAccessArray& aFiles);
  ~TnxVariableRecordEngine() override;

  // The heap record descriptor with its heap, then the smallest block size
  // whose usable size holds the record and 25 bytes (15495 when none);
  // raises the record file's block size to it.
  static void CheckEngineDescriptor(TnxDictionaryItem* aTable);

  void AddRecord(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PnxRecordBuffer aRecData) override;
  // 15412 for the RefNr of a moved body (it is not a record of its own).
  void DeleteRecord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr) override;
  void ReadNextRecord(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                      PnxRecordBuffer aRecData) override;
  void ReadPrevRecord(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                      PnxRecordBuffer aRecData) override;
  void ReadRecord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PnxRecordBuffer aRecData) override;
  // 15412 for the RefNr of a moved body.
  void UpdateRecord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PnxRecordBuffer aNewRecord,
                    PnxRecordBuffer aOldRecord) override;
  void GetRecordCount(TnxBaseTransaction* aTrans, std::uint32_t& aCount) override;
  void Iterate(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PPnxRecordBuffer aData, const TnxRecordIterator& aIterator,
               void* aCookie, TnxBaseFilterEngine* aFilter, bool aKeepPosition, bool aSkipFirst) override;
  void IterateBackward(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PPnxRecordBuffer aData,
                       const TnxRecordIterator& aIterator, void* aCookie, TnxBaseFilterEngine* aFilter,
                       bool aKeepPosition, bool aSkipFirst) override;
  TnxResult RecNoGet(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxBaseFilterEngine* aFilter, std::uint32_t& aRecNo,
                     bool aFlipOrder) override;
  TnxResult RecNoSet(TnxBaseTransaction* aTrans, std::uint32_t aRecNo, TnxRefNr& aRefNr, TnxBaseFilterEngine* aFilter,
                     bool aFlipOrder) override;
  TnxResult RecNoGetBackward(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxBaseFilterEngine* aFilter,
                             std::uint32_t& aRecNo);
  TnxResult RecNoSetBackward(TnxBaseTransaction* aTrans, std::uint32_t aRecNo, TnxRefNr& aRefNr,
                             TnxBaseFilterEngine* aFilter);
  std::int32_t GetRecoverID() override;
  TnxRecordIteratorResult RecoverIterate(PnxBlock aBlock, TnxBlockNumber aBlockNumber, PPnxRecordBuffer aData,
                                         const TnxRecordIterator& aIterator, void* aCookie) override;
  TnxRecordIteratorResult ReadRecordForIterate(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PPnxRecordBuffer aData,
                                               const TnxRecordIterator& aIterator, void* aCookie,
                                               TnxBaseFilterEngine* aFilter) override;
  // 12289: not offered by this engine.
  void ReplaceAllRecords(TnxBaseTransaction* aTrans, const TnxGetRecordCallback& aCallback) override;
  void Rollback(TnxBaseTransaction* aTrans) override;

  // The handler the heap is made with (owned by the heap).
  virtual TnxHeapHeaderHandler* CreateHeaderHandler();

  TnxVariableRecordFormat reFormat;
  std::uint16_t reHeaderSection = 0;
  TnxMemoryPool reRecordAllocator;
  std::uint8_t* reRecordBuffer = nullptr;  // compression target, from reRecordAllocator
  std::array<std::uint8_t, 16> reRawPadding{};
  std::uint16_t reRawPaddingSize = 0;
  TnxOwned<TnxBaseHeapEngine> reHeapEngine;
  TnxOwned<TnxBaseRecordCompressionEngine> reCompressionEngine;

 protected:
  // For engines with another segment shape (aFormat set before any buffer
  // is made).
  TnxVariableRecordEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans, const TnxBlockAccessArray& aFiles,
                          const TnxVariableRecordFormat& aFormat);
  // Flag bits every record segment written carries besides the format's.
  virtual std::uint16_t WriteFlags() const { return 0; }
  // The bytes of a raw record of the segment's flag word.
  virtual std::uint32_t RawLength(std::uint16_t) const { return breRecordLength; }
  // Runs on every decoded record (before its RefNr field is set).
  virtual void AfterDecode(TnxRefNr, std::uint16_t, PnxRecordBuffer) {}
  [[noreturn]] void RaiseCorrupt(TnxRefNr aRefNr, const char16_t* aWhat);

 private:
  bool reStoresRaw = false;  // the null compression engine
  struct Encoded;
  struct Cursor;
  [[noreturn]] void RaiseBlock(TnxBlockNumber aBlock);
  TnxSegmentRef Slot(TnxRefNr aRefNr) const;
  // The record as segment pieces; 15495 when it cannot be stored.
  void Encode(PnxRecordBuffer aRecord, std::uint8_t aExtraFlags, Encoded& aResult);
  // A record segment (not a reference) into aTarget.
  void Decode(TnxRefNr aRefNr, const std::uint8_t* aSegment, std::uint16_t aSize, PnxRecordBuffer aTarget);
  // The body reference of a forward-reference segment (8962 unless 9 bytes
  // and non-zero).
  TnxHeapRef ForwardOf(TnxRefNr aRefNr, const std::uint8_t* aSegment, std::uint16_t aSize);
  // Reads the body at aBody into aTarget (8962 unless it is a body).
  void ReadBody(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxHeapRef aBody, PnxRecordBuffer aTarget);
  void FreeBody(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxHeapRef aBody);
  // The record of a home segment into aTarget, references followed, RefNr
  // field set.
  void DecodeHome(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, const std::uint8_t* aSegment, std::uint16_t aSize,
                  PnxRecordBuffer aTarget);
  void AddToCount(TnxBaseTransaction* aTrans, std::int32_t aDelta);
  TnxBlockNumber ChainLink(TnxBaseTransaction* aTrans, PnxBlock aBlock, bool aBackward);
  std::uint32_t UsedBlocks(TnxBaseTransaction* aTrans);
  // The records (home segments) after aFrom (0: from the chain's end) in
  // physical order; aVisit(refNr, segment, size) answers whether to go on.
  template <class Visit>
  void Walk(TnxBaseTransaction* aTrans, TnxRefNr aFrom, bool aBackward, bool aCheckTimeout, Visit&& aVisit);
  void IteratePrim(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PPnxRecordBuffer aData,
                   const TnxRecordIterator& aIterator, void* aCookie, TnxBaseFilterEngine* aFilter, bool aKeepPosition,
                   bool aSkipFirst, bool aBackward);
  void ReadNeighbour(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr, PnxRecordBuffer aRecData,
                     bool aBackward);
  TnxResult RecNoGetPrim(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxBaseFilterEngine* aFilter,
                         std::uint32_t& aRecNo, bool aBackward);
  TnxResult RecNoSetPrim(TnxBaseTransaction* aTrans, std::uint32_t aRecNo, TnxRefNr& aRefNr,
                         TnxBaseFilterEngine* aFilter, bool aBackward);
};

// Registers the engine under "Variable" (module start-up) and removes it.
// The heap, block heap and record compression modules register their own.
void nxseRecordEngineVariableInitialize();
void nxseRecordEngineVariableFinalize();
