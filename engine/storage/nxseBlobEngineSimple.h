// The simple BLOB engine ("nx1xSimple" in the BLOB family): every BLOB is a
// chain of whole blocks of its own, no heap and no header section. The
// BLOB number is the chain's first block in the low 32 bits; from table
// version 47005 the high 32 bits are a counter that IncBlobNr advances and
// every operation masks off.
//
// Block "NXBH" (little-endian, U = usable size): 16 kind (0 data, 1 file
// BLOB, 2 BLOB link; meaningful in the first block), 17 next block
// ($FFFFFFFF at the end), 21 BLOB length (first block), 25 u16 bytes used
// in this block, 27 data (U - 27 bytes).
// File BLOB (one block): 27 u16 name length n, 29 the name; length n + 1.
// BLOB link (one block): 27 u32 name length n, 31 the table name, then the
// u64 BLOB number in that table; length n + 12. Names are 8-bit text in the
// default code page.
// Invariants of a data BLOB of length L: every block but the last is full,
// the used counts add up to L; a truncation to 0 leaves the first block's
// used count stale, so readers bound every count by L.
//
// Nothing read from a block is trusted: used counts, name lengths and the
// length against the chain are checked (11896), and every chain walk stops
// after as many steps as the file has blocks. The engine runs inside one
// transaction of one table at a time.
#pragma once

#include <cstdint>

#include "nxsrSubEngineBase.h"

NX_DECLARE_EXCEPTION(EnxSimpleBlobEngineException, EnxBaseBlobEngineException)

class TnxSimpleBlobEngine : public TnxBaseBlobEngine {
  PL_CLASS_INFO_DECL()
 public:
  TnxSimpleBlobEngine(TnxDictionaryItem* aDescriptor, TnxBaseTransaction* aTrans, const TnxBlockAccessArray& aFiles);

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
  // aLen above the length: 10029; a file BLOB: 10502; a BLOB link: 10502
  // unless aLen is 0, which makes it an empty BLOB.
  void Truncate(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::uint32_t aLen) override;
  // aOffset above the length: 9998; an end beyond 2147483647: 15490; file
  // BLOBs and links: 10502. Bytes outside the written range keep their
  // values.
  void Write(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::uint32_t aOffset, std::uint32_t aLen,
             const void* aBlob) override;
  // In place: only the blocks of the bytes the change reaches are fetched
  // and copied; growth fills the last block and links new ones. Bytes handed
  // out stay writable until the change returns, across growth too. File
  // BLOBs and links: 10502.
  void Modify(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, const TnxBlobChange& aChange) override;
  void IncBlobNr(TnxBlobNr& aBlobNr) override;

  // Data bytes per block.
  std::uint32_t DataSize() const { return bbeBlobFile->fiBlockSizeBytes() - 27; }

 private:
  struct Pin;
  TnxBlockNumber FirstBlock(TnxBlobNr aBlobNr);
  std::uint32_t UsedBlocks(TnxBaseTransaction* aTrans);
  void FetchBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlock, bool aMarkDirty, Pin& aPin);
  // The first block, with its kind and name lengths checked.
  void FetchFirst(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, bool aMarkDirty, Pin& aPin);
  // The next block of a chain (aSteps counts the walk); 11896 at the end.
  void FetchNext(TnxBaseTransaction* aTrans, Pin& aPin, bool aMarkDirty, std::uint32_t& aSteps);
  void NewBlock(TnxBaseTransaction* aTrans, TnxBaseFileHeaderAccess& aAccess, std::uint8_t aKind, Pin& aPin);
  // Frees the chain that starts at aBlock (0xFFFFFFFF: none).
  void FreeChainFrom(TnxBaseTransaction* aTrans, TnxBaseFileHeaderAccess& aAccess, TnxBlockNumber aBlock);
  nxString FileName(const std::uint8_t* aFirst);
  nxString LinkName(const std::uint8_t* aFirst, TnxBlobNr& aSrcBlobNr);
  [[noreturn]] void RaiseChain(TnxBlockNumber aBlock);
  [[noreturn]] void RaiseReadOnly(TnxBlobNr aBlobNr, std::uint8_t aKind);
};

// Registers the engine under "nx1xSimple" (module start-up) and removes it.
void nxseBlobEngineSimpleInitialize();
void nxseBlobEngineSimpleFinalize();
