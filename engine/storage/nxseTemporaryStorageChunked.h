// The chunked temporary storage: where the block cache parks images it
// must push out of memory, in one unnamed scratch file per storage object,
// opened on the file system current when the storage is made.
//
// The file is divided into 4 MB chunks; each chunk holds blocks of one size
// class (stride 1, 2, 4, 8, 16 or 1024 pages of 4 KB), so blocks of every
// size share the file without fragmentation inside a chunk. A temporary
// block number is (chunk shl 10) or the slot's page offset; the block lies
// at number x 4096. A chunk with free slots is in the partial list of its
// size, a full chunk in no list, an empty chunk in the empty list; empty
// chunks at the end of the file are cut off, others are punched out.
// Slots are handed out in increasing order in a fresh chunk and reused
// last-freed-first.
// Thread safety: none of its own; the buffer manager calls it under its
// padlock.
#pragma once

#include <array>
#include <vector>

#include "nxsrTemporaryStorageBase.h"
#include "plFileSystem.h"

NX_DECLARE_EXCEPTION(EnxChunkedTempStorageException, EnxBaseTempStorageException)

using TnxChunkIndex = std::int32_t;

class TnxChunkedTempStorage : public TnxBaseTempStorage {
  PL_CLASS_INFO_DECL()
 public:
  static constexpr std::int64_t ChunkBytes = 4194304;

  // Raises the OS error ("Temporary Storage Manager") when the file cannot
  // be made.
  explicit TnxChunkedTempStorage(const nxString& aDir);
  ~TnxChunkedTempStorage() override;

  std::int64_t Size() override;
  std::int64_t InUse() override { return tsInUse; }
  bool HasSpaceFor(TnxBlockSizeAll) override { return true; }
  // 15496 for a number that names no block in use of that size.
  void ReadBlock(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize, void* aBlock) override;
  void PeekBlock(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize, void* aBlock) override;
  void ReleaseBlock(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize) override;
  TnxBlockTmpNum WriteBlock(const void* aBlock, TnxBlockSizeAll aBlockSize) override;

  void GetStatsCaptions(platform::TStringList& aList) override;
  void GetStatsValues(platform::TStringList& aList) override;
  static void GetStatsValuesStatic(platform::TStringList& aList);

  std::int32_t ChunkCount() const { return static_cast<std::int32_t>(tsChunks.size()); }
  std::int64_t TotalWritten() const { return tsTotalWrite; }
  std::int64_t TotalRead() const { return tsTotalRead; }

 private:
  struct Chunk {
    TnxBlockSizeAll sizeCode;
    std::uint16_t inUse;
    std::uint16_t freeStack[1024];
    std::uint8_t bitmap[128];
    TnxChunkIndex prev, next;
  };

  TnxChunkIndex FindChunk(TnxBlockSizeAll aSize);
  void Format(TnxChunkIndex aChunk, TnxBlockSizeAll aSize);
  void Unlink(TnxChunkIndex aChunk, TnxChunkIndex& aHead);
  void Push(TnxChunkIndex aChunk, TnxChunkIndex& aHead);
  // Cuts empty chunks off the end of the file.
  void TrimEmptyTail();
  Chunk& Validate(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize);
  void ReadPrim(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize, void* aBlock);
  [[noreturn]] void RaiseOSError(int aError);
  // 0 or an errno value; a short transfer is EIO.
  int ReadAt(void* aBuffer, std::size_t aCount, std::int64_t aOffset);
  int WriteAt(const void* aBuffer, std::size_t aCount, std::int64_t aOffset);

  platform::FileSystem& tsFileSystem;
  platform::FileId tsFile = -1;
  bool tsSparse = true;
  std::int64_t tsInUse = 0, tsTotalWrite = 0, tsTotalRead = 0;
  std::vector<Chunk> tsChunks;
  TnxChunkIndex tsEmptyChunkHead = -1;
  std::array<TnxChunkIndex, 6> tsPartialChunkHeads;
};

// Start-up makes it the registered temporary storage class when none is;
// finalisation clears that again when it is still this class.
void nxseTemporaryStorageChunkedInitialize();
void nxseTemporaryStorageChunkedFinalize();
