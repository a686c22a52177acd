// The segmented BLOB engine ("nx1xDefault" in the BLOB family): every BLOB is
// a small tree of heap segments whose root's heap reference is the BLOB
// number. The root never leaves its block (it is only resized in place), so
// a BLOB number stays valid for the BLOB's whole life; no BLOB directory
// exists.
//
// Root segment, by its first byte (the tag):
//   0 empty (13 bytes)            3 tiny: 11 data bytes, length at byte 12
//   4 data: tag + data (root >= 13 bytes)
//   5 link list: tag + n items of {u64 heap reference, u32 end}
//   1/6 file BLOB: 8-bit/UTF-16 file name, zero-padded to >= 12 bytes
//   2/7 BLOB link: u64 BLOB number in the source table, 8-bit/UTF-16 name
// Tags 1 and 2 are written for tables before version 30000, 6 and 7 after;
// all are read. Below the root: data segments (tag 4, >= 1 data byte) and
// link lists (tag 5). An item's end is the offset within the whole BLOB
// where the data under it and the items before it ends. The tree grows in
// height at the root only; all leaves are data segments.
//
// Header section (4 bytes): the heap's first management block. BLOB data
// blocks are not chained.
//
// Trees come from the file: root sizes are checked against their tags,
// link lists against 1 + 12n bytes with rising ends that match the data
// below them, child references against the file, and walks stop at a depth
// no real BLOB reaches; 11896 otherwise.
// No locks: calls come within the table's transaction (the server engine
// lets one operation at a time change a table's engines).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "nxsrHeapEngineBase.h"

NX_DECLARE_EXCEPTION(EnxSegmentedBlobEngineException, EnxBaseBlobEngineException)

// The BLOB heap's header handler: no data block chain; the first
// management block in the section's u32 at offset 0.
class TnxSegmentedBlobHeapHeaderHandler : public TnxHeapHeaderHandler {
  PL_CLASS_INFO_DECL()
 public:
  using TnxHeapHeaderHandler::TnxHeapHeaderHandler;
  void LinkDataBlock(TnxBaseTransaction*, TnxBaseFileHeaderAccess*, PnxBlock) override {}
  void UnlinkDataBlock(TnxBaseTransaction*, TnxBaseFileHeaderAccess*, PnxBlock) override {}
  TnxBlockNumber GetFirstManagementBlock(TnxBaseFileHeaderAccess* aHeader) override;
  void SetFirstManagementBlock(TnxBaseFileHeaderAccess* aHeader, TnxBlockNumber aBlockNumber) override;
};

class TnxSegmentedBlobEngine : public TnxBaseBlobEngine {
  PL_CLASS_INFO_DECL()
 public:
  // With aTrans (table creation) the header section is made; without, it is
  // looked up. 10004 without a heap BLOB descriptor or heap descriptor.
  TnxSegmentedBlobEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans, const TnxBlockAccessArray& aFiles);

  static void CheckEngineDescriptor(TnxDictionaryItem* aDescriptor);

  void AddBlob(TnxBaseTransaction* aTrans, TnxBlobNr& aBlobNr) override;
  void AddBlobLink(TnxBaseTransaction* aTrans, const nxString& aTableName, TnxBlobNr aTableBlobNr,
                   TnxBlobNr& aBlobNr) override;
  void AddFileBlob(TnxBaseTransaction* aTrans, const nxString& aFileName, TnxBlobNr& aBlobNr) override;
  void DeleteBlob(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr) override;
  bool FreeBlob(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr) override;
  std::uint32_t GetBlobLength(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, const TnxBlobLinkGetLength& aLengthMethod,
                              std::uint32_t& aLength) override;
  bool IsFileBlob(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, nxString& aFileName) override;
  bool IsBlobLink(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, nxString& aSrcTableName,
                  TnxBlobNr& aSrcTableBlobNr) override;
  std::uint32_t Read(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::uint32_t aOffset, std::uint32_t aLen,
                     const TnxBlobLinkRead& aReadMethod, TStream& aStream) override;
  // 10502 for a file BLOB or link other than to 0; 10029 beyond the length.
  void Truncate(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::uint32_t aLen) override;
  // 10502 for a file BLOB or link; 9998 beyond the length (aOffset may equal
  // it: an append); 15490 past 4 GB.
  void Write(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::uint32_t aOffset, std::uint32_t aLen,
             const void* aBlob) override;
  // In place: the root and the data segments of the bytes asked for are
  // fetched for change once each; only Grow writes through Write.
  void Modify(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, const TnxBlobChange& aChange) override;
  void Rollback(TnxBaseTransaction* aTrans) override;
  // From version 47005: the next counter of the same BLOB (+65536).
  void IncBlobNr(TnxBlobNr& aBlobNr) override;

  virtual const platform::ClassInfo& HeaderHandlerClass() {
    return TnxSegmentedBlobHeapHeaderHandler::staticClassInfo();
  }
  virtual TnxHeapHeaderHandler* CreateHeaderHandler();

  std::uint16_t beHeaderSection = 0;
  TnxOwned<TnxBaseHeapEngine> beHeapEngine;

 private:
  struct Item {
    TnxHeapRef ref;
    std::uint32_t end;
  };
  struct Cursor {
    const std::uint8_t* src;
    std::uint32_t remaining;
    std::uint32_t offset;
    void Advance(std::uint32_t aCount) {
      src += aCount;
      remaining -= aCount;
      offset += aCount;
    }
  };
  struct Segment;
  struct Root;
  class Bytes;
  using Sink = std::function<void(const std::uint8_t* aData, std::uint32_t aCount)>;

  void FetchRoot(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, bool aMarkDirty, Root& aRoot);
  void Fetch(TnxBaseTransaction* aTrans, TnxHeapRef aRef, bool aMarkDirty, Segment& aSegment);
  std::uint32_t StoredLength(const Root& aRoot);
  std::vector<Item> ItemsOf(const std::uint8_t* aSegment, std::uint16_t aSize);
  void CheckEnds(const std::vector<Item>& aItems, std::uint32_t aStart);
  static void PutItems(std::uint8_t* aTarget, const std::vector<Item>& aItems);
  static std::size_t ChildFor(const std::vector<Item>& aItems, std::uint32_t aOffset);
  nxString NameOf(const Root& aRoot, std::uint32_t aFrom);
  TnxBlobNr Store(TnxBaseTransaction* aTrans, std::span<const TnxHeapPiece> aPieces);

  void ReadTree(TnxBaseTransaction* aTrans, const std::vector<Item>& aItems, std::uint32_t aStart,
                std::uint32_t& aOffset, std::uint32_t& aRemaining, const Sink& aSink, int aDepth);
  Item AllocData(TnxBaseTransaction* aTrans, Cursor& aCursor, std::uint32_t aStart);
  void Group(TnxBaseTransaction* aTrans, std::vector<Item>& aItems);
  void WriteSubtree(TnxBaseTransaction* aTrans, Item& aItem, std::uint32_t aStart, bool aLastPath, Cursor& aCursor,
                    std::vector<Item>& aNewItems, int aDepth);
  bool TruncateSubtree(TnxBaseTransaction* aTrans, Item& aItem, std::uint32_t aStart, std::uint32_t aLen, int aDepth);
  void FreeTree(TnxBaseTransaction* aTrans, TnxHeapRef aRef, int aDepth);
  void FreeSegment(TnxBaseTransaction* aTrans, TnxHeapRef aRef);
  // The root resized in place (refreshes aRoot); nil when the block is full.
  bool ResizeRoot(Root& aRoot, std::uint32_t aSize);
  std::uint32_t RootRoom(Root& aRoot);
  void StoreRootItems(Root& aRoot, const std::vector<Item>& aItems);
  [[noreturn]] void RaiseTree(const char16_t* aWhat);
};

// Registers the engine under "nx1xDefault" in the BLOB family.
void nxseBlobEngineSegmentedInitialize();
void nxseBlobEngineSegmentedFinalize();
