#include "nxmmChunkManager.h"

#include <new>

#include "plVirtualMemory.h"

namespace nxmm {

// ---------------------------------------------------------------- bitmap

namespace {
inline int highestBit(std::uint32_t aValue) { return 31 - __builtin_clz(aValue); }
}  // namespace

void TnxBitmap1024::noteChange(int aWord, std::uint32_t aOld, std::uint32_t aNew, bool* aWasEmpty,
                               bool* aBecameEmpty) {
  if ((aOld == 0) == (aNew == 0)) return;
  const std::uint32_t before = bmNonEmpty.fetch_xor(1u << aWord);
  const std::uint32_t after = before ^ (1u << aWord);
  if (aWasEmpty && before == 0) *aWasEmpty = true;
  if (aBecameEmpty && after == 0 && before != 0) *aBecameEmpty = true;
}

int TnxBitmap1024::findLast(int aLimit) const {
  if (aLimit <= 0) return -1;
  if (aLimit > 1024) aLimit = 1024;
  const int topWord = (aLimit - 1) >> 5;
  const std::uint32_t topMask = ((aLimit & 31) == 0) ? 0xFFFFFFFFu : ((1u << (aLimit & 31)) - 1);
  // The summary may briefly disagree with a word; it only orders the search,
  // the words decide.
  std::uint32_t summary = bmNonEmpty.load();
  summary &= (topWord == 31) ? 0xFFFFFFFFu : ((2u << topWord) - 1);
  while (summary) {
    const int w = highestBit(summary);
    std::uint32_t v = bmWords[w].load();
    if (w == topWord) v &= topMask;
    if (v) return (w << 5) | highestBit(v);
    summary &= ~(1u << w);
  }
  for (int w = topWord; w >= 0; --w) {
    std::uint32_t v = bmWords[w].load();
    if (w == topWord) v &= topMask;
    if (v) return (w << 5) | highestBit(v);
  }
  return -1;
}

int TnxBitmap1024::takeLast(bool* aBecameEmpty) {
  if (aBecameEmpty) *aBecameEmpty = false;
  for (;;) {
    const int i = findLast();
    if (i < 0) return -1;
    const int w = i >> 5;
    std::uint32_t old = bmWords[w].load();
    while (old) {
      const int b = highestBit(old);
      const std::uint32_t now = old & ~(1u << b);
      if (bmWords[w].compare_exchange_weak(old, now)) {
        noteChange(w, old, now, nullptr, aBecameEmpty);
        return (w << 5) | b;
      }
    }
  }
}

bool TnxBitmap1024::set(int aIndex, bool* aWasEmpty) {
  if (aWasEmpty) *aWasEmpty = false;
  const int w = aIndex >> 5;
  const std::uint32_t bit = 1u << (aIndex & 31);
  const std::uint32_t old = bmWords[w].fetch_or(bit);
  if (old & bit) return false;
  noteChange(w, old, old | bit, aWasEmpty, nullptr);
  return true;
}

bool TnxBitmap1024::toggle(int aIndex) {
  const int w = aIndex >> 5;
  const std::uint32_t bit = 1u << (aIndex & 31);
  const std::uint32_t old = bmWords[w].fetch_xor(bit);
  noteChange(w, old, old ^ bit, nullptr, nullptr);
  return (old & bit) != 0;
}

bool TnxBitmap1024::clear(int aIndex) {
  const int w = aIndex >> 5;
  const std::uint32_t bit = 1u << (aIndex & 31);
  const std::uint32_t old = bmWords[w].fetch_and(~bit);
  if (!(old & bit)) return false;
  noteChange(w, old, old & ~bit, nullptr, nullptr);
  return true;
}

bool TnxBitmap1024::exchangeWord(int aWord, std::uint32_t aExpected, std::uint32_t aNew, bool* aEmptyChanged) {
  if (aEmptyChanged) *aEmptyChanged = false;
  std::uint32_t old = aExpected;
  if (!bmWords[aWord].compare_exchange_strong(old, aNew)) return false;
  bool was = false, became = false;
  noteChange(aWord, old, aNew, &was, &became);
  if (aEmptyChanged) *aEmptyChanged = was || became;
  return true;
}

void TnxBitmap1024::orWord(int aWord, std::uint32_t aBits, bool* aWasEmpty) {
  if (aWasEmpty) *aWasEmpty = false;
  const std::uint32_t old = bmWords[aWord].fetch_or(aBits);
  noteChange(aWord, old, old | aBits, aWasEmpty, nullptr);
}

void TnxBitmap1024::moveAllTo(TnxBitmap1024& aTarget) {
  for (int w = 31; w >= 0; --w) {
    const std::uint32_t bits = bmWords[w].exchange(0);
    if (!bits) continue;
    noteChange(w, bits, 0, nullptr, nullptr);
    aTarget.orWord(w, bits);
  }
}

void TnxBitmap1024::rebuildSummaries() {
  std::uint32_t s = 0;
  for (int w = 0; w < 32; ++w)
    if (bmWords[w].load(std::memory_order_relaxed)) s |= 1u << w;
  bmNonEmpty.store(s);
}

bool TnxBitmap1024::isEmpty() const { return findLast() < 0; }

int TnxBitmap1024::count() const {
  int n = 0;
  for (const auto& w : bmWords) n += __builtin_popcount(w.load());
  return n;
}

// ---------------------------------------------------------------- chunks

TnxChunkManager::TnxChunkManager(std::uint32_t aChunkCount) {
  if (aChunkCount < 8) aChunkCount = 8;
  if (aChunkCount > nxMaxChunks) aChunkCount = nxMaxChunks;
  cmChunkCount = aChunkCount;
  nxListHeadInit(cmReserveList);
  nxListHeadInit(cmDrawnList);

  cmRecordsBytes = (sizeof(TnxChunkRecord) * cmChunkCount + platform::vmPageSize - 1) & ~(platform::vmPageSize - 1);
  void* records = platform::vmReserve(cmRecordsBytes);
  void* arena = platform::vmReserve(std::size_t(cmChunkCount) * nxChunkSize, nxChunkSize);
  if (!records || !arena || !platform::vmCommit(records, cmRecordsBytes)) {
    if (records) platform::vmRelease(records, cmRecordsBytes);
    if (arena) platform::vmRelease(arena, std::size_t(cmChunkCount) * nxChunkSize);
    throw std::bad_alloc();
  }
  cmBase = reinterpret_cast<std::uintptr_t>(arena);
  // Chunk 0 stays out of the arena so no block ever sits at its base.
  platform::vmRelease(arena, nxChunkSize);
  cmRecords = static_cast<TnxChunkRecord*>(records);
  for (std::uint32_t i = 0; i < cmChunkCount; ++i) {
    new (&cmRecords[i]) TnxChunkRecord();
    cmRecords[i].crIndex = i;
  }

  for (std::uint32_t i = 1; i < cmChunkCount; ++i)
    cmAvailable.bmWords[i >> 5].fetch_or(1u << (i & 31), std::memory_order_relaxed);
  cmAvailable.rebuildSummaries();

  // The reserve: the highest chunks, kept reserved but not committed.
  ReserveNode* prev = nullptr;
  for (std::uint32_t n = 0; n < nxReserveChunks; ++n) {
    void* chunk = chunkGetCommitted();
    if (!chunk) break;
    platform::vmDecommit(chunk, nxChunkSize);
    cmNodes[n].rnChunk = chunk;
    if (prev) prev->rnLink.leNext = &cmNodes[n].rnLink;
    prev = &cmNodes[n];
  }
  if (prev) {
    prev->rnLink.leNext = nullptr;
    nxListHeadPushChain(cmReserveList, &cmNodes[0].rnLink, &prev->rnLink);
  }

  static constexpr std::uint32_t shifts[6] = {12, 13, 14, 15, 16, 22};
  for (int c = 0; c < 6; ++c) {
    TnxBlockManager& m = cmManagers[c];
    m.bmLayer = this;
    m.bmClass = TnxBlockSizeAll(c);
    m.bmShift = shifts[c];
    m.bmBlockSize = 1u << m.bmShift;
    m.bmMask = m.bmBlockSize - 1;
    m.bmInvertedMask = ~m.bmMask;
    m.bmWordsPerChunk = std::uint32_t((nxChunkSize / m.bmBlockSize) >> 5);
    m.bmAllWordsMask = m.bmWordsPerChunk == 32 ? 0xFFFFFFFFu : ((1u << m.bmWordsPerChunk) - 1);
  }
}

TnxChunkManager::~TnxChunkManager() {
  // Every chunk goes back at once: the whole arena is one reservation.
  platform::vmRelease(reinterpret_cast<void*>(cmBase + nxChunkSize), std::size_t(cmChunkCount - 1) * nxChunkSize);
  platform::vmRelease(cmRecords, cmRecordsBytes);
}

bool TnxChunkManager::commitChunk(std::uint32_t aIndex) {
  return platform::vmCommit(chunkAddress(aIndex), nxChunkSize);
}

void* TnxChunkManager::chunkGetCommitted() {
  int stage = 0;
  for (;;) {
    // Checked on every round: a chunk released meanwhile (by the cleanup or
    // another thread) is taken before anything slower is tried.
    const int idle = cmFreeCommitted.takeLast();
    if (idle >= 0) return chunkAddress(std::uint32_t(idle));
    const int c = cmAvailable.takeLast();
    if (c >= 0) {
      if (commitChunk(std::uint32_t(c))) {
        if (TnxOutOfAddressSpaceCallback taken = cmTaken.load()) taken(cmTakenContext.load());
        return chunkAddress(std::uint32_t(c));
      }
      cmFailed.set(c);
      continue;
    }
    if (stage == 0) {
      cmFailed.moveAllTo(cmAvailable);
      stage = 1;
      continue;
    }
    if (stage == 1) {
      stage = 2;
      if (TnxOutOfAddressSpaceCallback cb = cmCallback.load()) cb(cmCallbackContext.load());
      continue;
    }
    return chunkReserveDraw();
  }
}

bool TnxChunkManager::chunkReleaseCommitted(void* aChunk) {
  const auto a = reinterpret_cast<std::uintptr_t>(aChunk);
  if (!contains(aChunk) || (a - cmBase) & (nxChunkSize - 1)) return false;
  const std::uint32_t c = chunkIndex(aChunk);
  if (isMemoryEmergency()) {
    if (auto* node = reinterpret_cast<ReserveNode*>(nxListHeadPop(cmDrawnList))) {
      if (platform::vmDecommit(aChunk, nxChunkSize)) {
        node->rnChunk = aChunk;
        nxListHeadPush(cmReserveList, &node->rnLink);
      } else {
        cmFailed.set(int(c));
        nxListHeadPush(cmDrawnList, &node->rnLink);
      }
      return true;
    }
  }
  return cmFreeCommitted.set(int(c));
}

void TnxChunkManager::chunkTrim() {
  for (;;) {
    const int c = cmFreeCommitted.takeLast();
    if (c < 0) return;
    // Readable but empty: a stale lock-free reader of a link in this chunk
    // reads zeros instead of faulting.
    if (platform::vmDecommitReadable(chunkAddress(std::uint32_t(c)), nxChunkSize)) cmAvailable.set(c);
  }
}

void* TnxChunkManager::chunkReserveDraw() {
  while (auto* node = reinterpret_cast<ReserveNode*>(nxListHeadPop(cmReserveList))) {
    void* chunk = node->rnChunk;
    node->rnChunk = nullptr;
    nxListHeadPush(cmDrawnList, &node->rnLink);
    if (chunk && platform::vmCommit(chunk, nxChunkSize)) return chunk;
  }
  return nullptr;
}

int TnxChunkManager::reserveCount() const {
  // Inspection only: walks the list without taking it.
  int n = 0;
  for (TnxListEntry* e = __atomic_load_n(&cmReserveList.lhFirst, __ATOMIC_ACQUIRE); e; e = e->leNext) ++n;
  return n;
}

// ---------------------------------------------------------------- blocks

bool TnxChunkManager::hasFree(const TnxChunkRecord& aRecord, const TnxBlockManager* aManager) {
  for (std::uint32_t w = 0; w < aManager->bmWordsPerChunk; ++w)
    if (aRecord.crFree.bmWords[w].load()) return true;
  return false;
}

void TnxChunkManager::syncMembership(TnxBlockManager* aManager, std::uint32_t aIndex) {
  TnxChunkRecord& rec = cmRecords[aIndex];
  TnxBitmap1024& set = aManager->bmChunksWithFree;
  bool want = rec.crOwner.load() == aManager && hasFree(rec, aManager);
  for (;;) {
    if (want)
      set.set(int(aIndex));
    else
      set.clear(int(aIndex));
    // Another thread may have changed the owner or the free bits after we
    // read them and seen our old membership: read again after writing.
    const bool now = rec.crOwner.load() == aManager && hasFree(rec, aManager);
    if (now == want) return;
    want = now;
  }
}

void* TnxChunkManager::newChunkFor(TnxBlockManager* aManager) {
  void* chunk = chunkGetCommitted();
  if (!chunk) return nullptr;
  TnxChunkRecord& rec = cmRecords[chunkIndex(chunk)];
  rec.crOwner.store(aManager);
  if (aManager->bmWordsPerChunk == 0) return chunk;
  // The highest block is handed out; all the others become free.
  const int top = int(aManager->bmWordsPerChunk) - 1;
  for (int w = 0; w <= top; ++w) rec.crFree.orWord(w, w == top ? 0x7FFFFFFFu : 0xFFFFFFFFu);
  syncMembership(aManager, rec.crIndex);
  return reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(chunk) +
                                 ((std::uintptr_t(top) * 32 + 31) << aManager->bmShift));
}

void* TnxChunkManager::blockAlloc(TnxBlockManager* aManager) {
  if (aManager->bmWordsPerChunk == 0) return newChunkFor(aManager);
  TnxBitmap1024& set = aManager->bmChunksWithFree;
  for (int c = set.findLast(); c >= 0; c = set.findLast(c)) {
    TnxChunkRecord& rec = cmRecords[c];
    if (rec.crOwner.load() != aManager) {
      syncMembership(aManager, std::uint32_t(c));  // a stale member
      continue;
    }
    const int b = rec.crFree.takeLast();
    if (b < 0) {
      syncMembership(aManager, std::uint32_t(c));
      continue;
    }
    if (rec.crFree.bmWords[b >> 5].load() == 0) syncMembership(aManager, std::uint32_t(c));
    if (rec.crOwner.load() == aManager)
      return reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(chunkAddress(std::uint32_t(c))) +
                                     (std::uintptr_t(b) << aManager->bmShift));
    // The chunk changed hands meanwhile: the block belongs to the new owner.
    rec.crFree.set(b);
    if (TnxBlockManager* now = rec.crOwner.load()) syncMembership(now, std::uint32_t(c));
    syncMembership(aManager, std::uint32_t(c));
  }
  return newChunkFor(aManager);
}

bool TnxChunkManager::blockDispose(TnxBlockManager* aManager, void* aBlock) {
  if (!aManager || aManager->bmLayer != this || !contains(aBlock)) return false;
  const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(aBlock) - cmBase;
  if (offset & aManager->bmMask) return false;
  TnxChunkRecord& rec = cmRecords[offset >> nxChunkShift];
  if (aManager->bmWordsPerChunk == 0) {
    TnxBlockManager* expected = aManager;
    if (!rec.crOwner.compare_exchange_strong(expected, nullptr)) return false;
    return chunkReleaseCommitted(aBlock);
  }
  if (rec.crOwner.load() != aManager) return false;
  const int b = int((offset & (nxChunkSize - 1)) >> aManager->bmShift);
  if (!rec.crFree.set(b)) return false;
  // Seen as a member after our bit landed: whoever clears it later re-reads
  // the free bits and finds ours.
  if (!aManager->bmChunksWithFree.test(int(rec.crIndex))) syncMembership(aManager, rec.crIndex);
  return true;
}

bool TnxChunkManager::mapableBlockFree(void* aBlock) {
  if (reinterpret_cast<std::uintptr_t>(aBlock) & 4095) return false;
  if (!contains(aBlock)) return false;
  return blockDispose(cmRecords[chunkIndex(aBlock)].crOwner.load(), aBlock);
}

void TnxChunkManager::blockManagerCleanup() {
  for (int cls = 5; cls >= 0; --cls) {
    TnxBlockManager& m = cmManagers[cls];
    if (m.bmWordsPerChunk == 0) continue;  // whole chunks go back when disposed
    std::uint32_t snapshot[32];
    for (int w = 0; w < 32; ++w) snapshot[w] = m.bmChunksWithFree.bmWords[w].load();
    for (int w = 0; w < 32; ++w) {
      for (std::uint32_t bits = snapshot[w]; bits; bits &= bits - 1) {
        const int c = (w << 5) | __builtin_ctz(bits);
        TnxChunkRecord& rec = cmRecords[c];
        if (rec.crOwner.load() != &m) {
          syncMembership(&m, std::uint32_t(c));
          continue;
        }
        bool full = true;
        for (std::uint32_t k = 0; k < m.bmWordsPerChunk && full; ++k)
          full = rec.crFree.bmWords[k].load() == 0xFFFFFFFFu;
        if (!full) continue;
        // Claim every block before the chunk changes hands, so an allocation
        // racing with us either wins a block (and we back off) or finds none.
        std::uint32_t claimed = 0;
        for (; claimed < m.bmWordsPerChunk; ++claimed)
          if (!rec.crFree.exchangeWord(int(claimed), 0xFFFFFFFFu, 0)) break;
        if (claimed < m.bmWordsPerChunk) {
          for (std::uint32_t k = 0; k < claimed; ++k) rec.crFree.orWord(int(k), 0xFFFFFFFFu);
          syncMembership(&m, std::uint32_t(c));
          continue;
        }
        rec.crOwner.store(nullptr);
        syncMembership(&m, std::uint32_t(c));
        void* chunk = chunkAddress(std::uint32_t(c));
        platform::vmReset(chunk, nxChunkSize);
        chunkReleaseCommitted(chunk);
      }
    }
  }
}

}  // namespace nxmm
