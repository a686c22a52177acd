#include "nxseTemporaryStorageChunked.h"

#include <cerrno>
#include <cstring>

#include "nxllComponent.h"

NX_IMPLEMENT_EXCEPTION(EnxChunkedTempStorageException, EnxBaseTempStorageException)
PL_CLASS_INFO_IMPL_TABLE(TnxChunkedTempStorage, TnxBaseTempStorage, "TnxChunkedTempStorage", nullptr,
                         platform::bindClassTable(nxTempStorageFuncs<TnxChunkedTempStorage>))

namespace {

constexpr std::uint16_t kStride[6] = {1, 2, 4, 8, 16, 1024};
constexpr std::uint16_t kCapacity[6] = {1024, 512, 256, 128, 64, 1};

[[noreturn]] void raiseInvalid() {
  throw EnxChunkedTempStorageException(nxErrTempStorageInvalidBlock, u"Temporary Storage: Invalid block number");
}

}  // namespace

TnxChunkedTempStorage::TnxChunkedTempStorage(const nxString& aDir)
    : TnxBaseTempStorage(aDir), tsFileSystem(platform::currentFileSystem()) {
  tsPartialChunkHeads.fill(-1);
  if (const int err = tsFileSystem.openUnnamed(platform::toUtf8(aDir), tsFile)) RaiseOSError(err);
}

TnxChunkedTempStorage::~TnxChunkedTempStorage() {
  if (tsFile >= 0) tsFileSystem.close(tsFile);
}

int TnxChunkedTempStorage::ReadAt(void* aBuffer, std::size_t aCount, std::int64_t aOffset) {
  std::size_t done = 0;
  if (const int err = tsFileSystem.readAt(tsFile, aBuffer, aCount, aOffset, done)) return err;
  return done == aCount ? 0 : EIO;
}

int TnxChunkedTempStorage::WriteAt(const void* aBuffer, std::size_t aCount, std::int64_t aOffset) {
  std::size_t done = 0;
  if (const int err = tsFileSystem.writeAt(tsFile, aBuffer, aCount, aOffset, done)) return err;
  return done == aCount ? 0 : EIO;
}

void TnxChunkedTempStorage::RaiseOSError(int aError) {
  throw EnxChunkedTempStorageException(
      nxErrInvalidFileData, u"%s", {nxOSErrorText(static_cast<TnxWord32>(aError), nxString(u"nxseTemporaryStorageChunked"),
                                   nxString(u"Temporary Storage Manager"))});
}

std::int64_t TnxChunkedTempStorage::Size() { return static_cast<std::int64_t>(tsChunks.size()) * ChunkBytes; }

void TnxChunkedTempStorage::Unlink(TnxChunkIndex aChunk, TnxChunkIndex& aHead) {
  Chunk& c = tsChunks[static_cast<std::size_t>(aChunk)];
  if (c.prev >= 0)
    tsChunks[static_cast<std::size_t>(c.prev)].next = c.next;
  else
    aHead = c.next;
  if (c.next >= 0) tsChunks[static_cast<std::size_t>(c.next)].prev = c.prev;
  c.prev = c.next = -1;
}

void TnxChunkedTempStorage::Push(TnxChunkIndex aChunk, TnxChunkIndex& aHead) {
  Chunk& c = tsChunks[static_cast<std::size_t>(aChunk)];
  c.prev = -1;
  c.next = aHead;
  if (aHead >= 0) tsChunks[static_cast<std::size_t>(aHead)].prev = aChunk;
  aHead = aChunk;
}

void TnxChunkedTempStorage::Format(TnxChunkIndex aChunk, TnxBlockSizeAll aSize) {
  Chunk& c = tsChunks[static_cast<std::size_t>(aChunk)];
  c.sizeCode = aSize;
  c.inUse = 0;
  for (std::uint16_t i = 0; i < kCapacity[aSize]; ++i) c.freeStack[i] = static_cast<std::uint16_t>(i * kStride[aSize]);
  std::memset(c.bitmap, 0, sizeof c.bitmap);
  Push(aChunk, tsPartialChunkHeads[aSize]);
}

TnxChunkIndex TnxChunkedTempStorage::FindChunk(TnxBlockSizeAll aSize) {
  TnxChunkIndex head = tsPartialChunkHeads[aSize];
  if (head >= 0) {
    nxAssert(static_cast<std::size_t>(head) < tsChunks.size(), "Partial chunk head beyond the chunks");
    return head;
  }
  TnxChunkIndex chunk = tsEmptyChunkHead;
  if (chunk >= 0) {
    Unlink(chunk, tsEmptyChunkHead);
  } else {
    chunk = static_cast<TnxChunkIndex>(tsChunks.size());
    nxAssert(chunk < (1 << 21), "Temporary storage full");
    tsChunks.emplace_back();
    if (const int err = tsFileSystem.truncate(tsFile, Size())) {
      tsChunks.pop_back();
      RaiseOSError(err);
    }
    tsChunks.back().prev = tsChunks.back().next = -1;
  }
  Format(chunk, aSize);
  return chunk;
}

void TnxChunkedTempStorage::TrimEmptyTail() {
  bool removed = false;
  while (!tsChunks.empty() && tsChunks.back().inUse == 0) {
    Unlink(static_cast<TnxChunkIndex>(tsChunks.size() - 1), tsEmptyChunkHead);
    tsChunks.pop_back();
    removed = true;
  }
  if (removed) {
    if (const int err = tsFileSystem.truncate(tsFile, Size())) RaiseOSError(err);
  }
}

TnxBlockTmpNum TnxChunkedTempStorage::WriteBlock(const void* aBlock, TnxBlockSizeAll aBlockSize) {
  const TnxChunkIndex index = FindChunk(aBlockSize);
  Chunk& c = tsChunks[static_cast<std::size_t>(index)];
  const std::uint16_t slot = c.freeStack[c.inUse];
  nxAssert((c.bitmap[slot >> 3] & (1u << (slot & 7))) == 0, "Temporary storage slot already in use");
  const TnxBlockTmpNum number = (index << 10) | slot;
  if (const int err = WriteAt(aBlock, nxBlockBytes(aBlockSize), std::int64_t{number} * 4096)) {
    if (c.inUse == 0) {
      // A chunk formatted for this write goes back to being empty.
      Unlink(index, tsPartialChunkHeads[aBlockSize]);
      Push(index, tsEmptyChunkHead);
      TrimEmptyTail();
    }
    RaiseOSError(err);
  }
  c.bitmap[slot >> 3] |= static_cast<std::uint8_t>(1u << (slot & 7));
  if (++c.inUse == kCapacity[aBlockSize]) Unlink(index, tsPartialChunkHeads[aBlockSize]);
  tsInUse += nxBlockBytes(aBlockSize);
  tsTotalWrite += nxBlockBytes(aBlockSize);
  return number;
}

TnxChunkedTempStorage::Chunk& TnxChunkedTempStorage::Validate(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize) {
  if (aBlockNum < 0) raiseInvalid();
  const auto index = static_cast<std::size_t>(aBlockNum >> 10);
  const std::uint32_t slot = static_cast<std::uint32_t>(aBlockNum) & 1023;
  if (index >= tsChunks.size()) raiseInvalid();
  Chunk& c = tsChunks[index];
  if (c.inUse == 0 || c.sizeCode != aBlockSize || (c.bitmap[slot >> 3] & (1u << (slot & 7))) == 0) raiseInvalid();
  return c;
}

void TnxChunkedTempStorage::ReadPrim(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize, void* aBlock) {
  Validate(aBlockNum, aBlockSize);
  if (const int err = ReadAt(aBlock, nxBlockBytes(aBlockSize), std::int64_t{aBlockNum} * 4096))
    RaiseOSError(err);
  tsTotalRead += nxBlockBytes(aBlockSize);
}

void TnxChunkedTempStorage::ReadBlock(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize, void* aBlock) {
  ReadPrim(aBlockNum, aBlockSize, aBlock);
  ReleaseBlock(aBlockNum, aBlockSize);
}

void TnxChunkedTempStorage::PeekBlock(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize, void* aBlock) {
  ReadPrim(aBlockNum, aBlockSize, aBlock);
}

void TnxChunkedTempStorage::ReleaseBlock(TnxBlockTmpNum aBlockNum, TnxBlockSizeAll aBlockSize) {
  Chunk& c = Validate(aBlockNum, aBlockSize);
  const TnxChunkIndex index = aBlockNum >> 10;
  const auto slot = static_cast<std::uint16_t>(aBlockNum & 1023);
  tsInUse -= nxBlockBytes(aBlockSize);
  c.bitmap[slot >> 3] &= static_cast<std::uint8_t>(~(1u << (slot & 7)));
  const bool wasFull = c.inUse == kCapacity[aBlockSize];
  --c.inUse;
  if (c.inUse == 0) {
    if (!wasFull) Unlink(index, tsPartialChunkHeads[aBlockSize]);
    Push(index, tsEmptyChunkHead);
    TrimEmptyTail();
    if (static_cast<std::size_t>(index) < tsChunks.size()) {
      if (const int err = tsFileSystem.punchHole(tsFile, std::int64_t{index} * ChunkBytes, ChunkBytes))
        RaiseOSError(err);
    }
    return;
  }
  c.freeStack[c.inUse] = slot;
  if (wasFull) Push(index, tsPartialChunkHeads[aBlockSize]);
}

void TnxChunkedTempStorage::GetStatsCaptions(platform::TStringList& aList) {
  TnxBaseTempStorage::GetStatsCaptions(aList);
  aList.add(u"Temporary Storage Total Written");
  aList.add(u"Temporary Storage Total Read");
}

void TnxChunkedTempStorage::GetStatsValues(platform::TStringList& aList) {
  TnxBaseTempStorage::GetStatsValues(aList);
  aList.add(nxFormatInt64(tsTotalWrite / 1024) + u" kbyte");
  aList.add(nxFormatInt64(tsTotalRead / 1024) + u" kbyte");
}

void TnxChunkedTempStorage::GetStatsValuesStatic(platform::TStringList& aList) {
  TnxBaseTempStorage::GetStatsValuesStatic(aList);
  aList.add(u"0 kbyte");
  aList.add(u"0 kbyte");
}

// Start-ups of this module, counted: only the first registers, the last
// finalisation unregisters.
namespace {
TnxUseCount gTemporaryStorageChunkedModuleStarts{0};
}  // namespace

void nxseTemporaryStorageChunkedInitialize() {
  TnxCountedStart started(gTemporaryStorageChunkedModuleStarts);
  if (!started) return;
  if (!TnxBaseTempStorage::RegisteredClass())
    TnxBaseTempStorage::RegisterClass(&TnxChunkedTempStorage::staticClassInfo());
}

void nxseTemporaryStorageChunkedFinalize() {
  if (!nxUseCountLeave(gTemporaryStorageChunkedModuleStarts)) return;
  if (TnxBaseTempStorage::RegisteredClass() == &TnxChunkedTempStorage::staticClassInfo())
    TnxBaseTempStorage::RegisterClass(nullptr);
}
