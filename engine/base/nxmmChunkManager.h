// Bottom of the engine's memory manager: 4 MB chunks carved from one reserved
// arena, lock-free two-level bitmaps, an emergency reserve of chunks, and six
// block managers that hand out blocks of 4 KB .. 64 KB and whole 4 MB chunks.
//
// Layout: the arena is aChunkCount x 4 MB reserved at a 4 MB boundary; chunk i
// covers base + i * 4 MB. Chunk 0 is never used (it is never even mapped), so
// a block's address always lies at or above base + 4 MB. Blocks are aligned to
// their own size. Whole chunks are taken highest first.
//
// Thread safety: every public operation is lock-free and may run on any thread
// at the same time as every other one, the cleanup included.
// Invariant (once concurrent operations have landed): a chunk is in a
// manager's "chunks with free blocks" set exactly when that manager owns it and
// its free bitmap is not empty. Membership is never derived from a reported
// transition (a summary word changes after its bitmap word, so such reports
// reach the wrong caller); whoever changes a chunk's free bits or owner then
// re-reads both and sets or clears the bit idempotently, and repeats while
// what it read changed meanwhile. All these operations are sequentially
// consistent, so of two racing threads at least one sees the other's change.
// Allocation treats the set as a hint: it never waits on a chunk that turned
// out empty or foreign, it takes the next one or a fresh chunk.
//
// Ownership: TnxChunkManager owns its arena and tables; it is not copyable.
// Freeing refuses (false) any address it did not hand out, without reading it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "nxllLockedFuncs.h"
#include "nxllTypes.h"

namespace nxmm {

constexpr unsigned nxChunkShift = 22;
constexpr std::size_t nxChunkSize = std::size_t(1) << nxChunkShift;
constexpr std::uint32_t nxMaxChunks = 1024;
constexpr std::uint32_t nxReserveChunks = 5;

// 1024 bits in 32 words with a summary of the non-empty words. The summary is
// changed after its word, so it only orders searches; the "was empty" and
// "became empty" reports are exact only while no other thread changes the
// bitmap, and nothing shared relies on them.
struct TnxBitmap1024 {
  std::atomic<std::uint32_t> bmNonEmpty{0};
  std::atomic<std::uint32_t> bmWords[32] = {};

  // Highest set bit below aLimit, -1 when none. Reads only.
  int findLast(int aLimit = 1024) const;
  // Clears and returns the highest set bit (-1 when empty); aBecameEmpty
  // reports whether this made the whole bitmap empty.
  int takeLast(bool* aBecameEmpty = nullptr);
  // False when the bit was already set; aWasEmpty reports whether the whole
  // bitmap was empty before.
  bool set(int aIndex, bool* aWasEmpty = nullptr);
  // Flips the bit; true when it is now clear.
  bool toggle(int aIndex);
  // Clears the bit; false when it was already clear.
  bool clear(int aIndex);
  bool test(int aIndex) const {
    return (bmWords[aIndex >> 5].load() >> (aIndex & 31)) & 1;
  }
  // Replaces word aWord by aNew only when it equals aExpected.
  bool exchangeWord(int aWord, std::uint32_t aExpected, std::uint32_t aNew, bool* aEmptyChanged = nullptr);
  // ORs bits into a word; aWasEmpty as in set.
  void orWord(int aWord, std::uint32_t aBits, bool* aWasEmpty = nullptr);
  // Moves every set bit into aTarget, word 31 first.
  void moveAllTo(TnxBitmap1024& aTarget);
  void rebuildSummaries();
  bool isEmpty() const;
  int count() const;

 private:
  // Keeps the summary after a word went from aOld to aNew; reports the
  // summary's value before and after the toggle (when it toggled).
  void noteChange(int aWord, std::uint32_t aOld, std::uint32_t aNew, bool* aWasEmpty, bool* aBecameEmpty);
};

class TnxChunkManager;

struct TnxBlockManager {
  TnxChunkManager* bmLayer = nullptr;
  TnxBlockSizeAll bmClass = nxbs4k;
  std::uint32_t bmShift = 0;
  std::uint32_t bmBlockSize = 0;
  std::uintptr_t bmMask = 0;
  std::uintptr_t bmInvertedMask = 0;
  std::uint32_t bmWordsPerChunk = 0;
  std::uint32_t bmAllWordsMask = 0;
  TnxBitmap1024 bmChunksWithFree;
};

struct TnxChunkRecord {
  std::atomic<TnxBlockManager*> crOwner{nullptr};
  std::uint32_t crIndex = 0;
  TnxBitmap1024 crFree;
};

// Called when a chunk request found no free address space; may release cached
// memory (it runs on the requesting thread and may block).
using TnxOutOfAddressSpaceCallback = void (*)(void* aContext);

class TnxChunkManager {
 public:
  // aChunkCount: size of the arena in chunks (chunk 0 included), 8 .. 1024;
  // a small count lets tests exhaust the address space.
  explicit TnxChunkManager(std::uint32_t aChunkCount = nxMaxChunks);
  ~TnxChunkManager();
  TnxChunkManager(const TnxChunkManager&) = delete;
  TnxChunkManager& operator=(const TnxChunkManager&) = delete;

  // Chunk layer.
  void* chunkGetCommitted();
  bool chunkReleaseCommitted(void* aChunk);
  void chunkTrim();
  void* chunkReserveDraw();
  bool isMemoryEmergency() const { return __atomic_load_n(&cmDrawnList.lhFirst, __ATOMIC_ACQUIRE) != nullptr; }
  // The word that is non-zero while the reserve is drawn on.
  const void* emergencyWord() const { return &cmDrawnList.lhFirst; }
  void setOutOfAddressSpaceCallback(TnxOutOfAddressSpaceCallback aCallback, void* aContext) {
    cmCallbackContext.store(aContext);
    cmCallback.store(aCallback);
  }
  int reserveCount() const;
  // Called (on the requesting thread) after a chunk was taken from the
  // system's address space; a forked child starts its cleanup thread there.
  void setChunkTakenCallback(TnxOutOfAddressSpaceCallback aCallback, void* aContext) {
    cmTakenContext.store(aContext);
    cmTaken.store(aCallback);
  }

  // Block layer.
  TnxBlockManager* blockManager(TnxBlockSizeAll aClass) { return &cmManagers[aClass]; }
  void* blockAlloc(TnxBlockManager* aManager);
  bool blockDispose(TnxBlockManager* aManager, void* aBlock);
  void* mapableBlockAlloc(TnxBlockSizeAll aClass) { return blockAlloc(blockManager(aClass)); }
  bool mapableBlockFree(void* aBlock);
  void blockManagerCleanup();

  // Address tests; never read the address.
  bool contains(const void* aAddress) const {
    const auto a = reinterpret_cast<std::uintptr_t>(aAddress);
    return a >= cmBase + nxChunkSize && a < cmBase + std::uintptr_t(cmChunkCount) * nxChunkSize;
  }
  std::uint32_t chunkIndex(const void* aAddress) const {
    return std::uint32_t((reinterpret_cast<std::uintptr_t>(aAddress) - cmBase) >> nxChunkShift);
  }
  void* chunkAddress(std::uint32_t aIndex) const {
    return reinterpret_cast<void*>(cmBase + (std::uintptr_t(aIndex) << nxChunkShift));
  }
  TnxChunkRecord& chunkRecord(std::uint32_t aIndex) { return cmRecords[aIndex]; }
  std::uint32_t chunkCount() const { return cmChunkCount; }

  // The chunk sets, public for inspection.
  TnxBitmap1024 cmAvailable;
  TnxBitmap1024 cmFailed;
  TnxBitmap1024 cmFreeCommitted;

 private:
  struct ReserveNode {
    TnxListEntry rnLink;
    void* rnChunk;
  };

  bool commitChunk(std::uint32_t aIndex);
  void* newChunkFor(TnxBlockManager* aManager);
  // Brings chunk aIndex's membership in aManager's set in line with its owner
  // and free bits (see the invariant above).
  void syncMembership(TnxBlockManager* aManager, std::uint32_t aIndex);
  static bool hasFree(const TnxChunkRecord& aRecord, const TnxBlockManager* aManager);

  std::uintptr_t cmBase = 0;
  std::uint32_t cmChunkCount = 0;
  TnxChunkRecord* cmRecords = nullptr;
  std::size_t cmRecordsBytes = 0;
  TnxListHead cmReserveList;
  TnxListHead cmDrawnList;
  ReserveNode cmNodes[10] = {};
  std::atomic<TnxOutOfAddressSpaceCallback> cmCallback{nullptr};
  std::atomic<void*> cmCallbackContext{nullptr};
  std::atomic<TnxOutOfAddressSpaceCallback> cmTaken{nullptr};
  std::atomic<void*> cmTakenContext{nullptr};
  TnxBlockManager cmManagers[6];
};

}  // namespace nxmm
