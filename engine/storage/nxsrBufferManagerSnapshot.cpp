// Snapshot transactions: IDs, file and block snapshot links, and the
// cross-file rule at commit. Everything here runs under the manager's padlock.
#include "nxsrBufferManagerInt.h"

PL_CLASS_INFO_IMPL(TnxFileSnapShotLink, TnxObject, "TnxFileSnapShotLink", nullptr)
PL_CLASS_INFO_IMPL(TnxBlockSnapShot, TnxBlockObject, "TnxBlockSnapShot", nullptr)
PL_CLASS_INFO_IMPL(TnxBlockSnapShotLink, TnxObject, "TnxBlockSnapShotLink", nullptr)

namespace {

void setBit(std::vector<std::uint8_t>& aFlags, std::int32_t aID, bool aValue) {
  const auto byte = static_cast<std::size_t>(aID) / 8;
  const auto bit = static_cast<std::uint8_t>(1u << (aID % 8));
  if (aValue)
    aFlags[byte] |= bit;
  else
    aFlags[byte] &= static_cast<std::uint8_t>(~bit);
}

bool bitOf(const std::vector<std::uint8_t>& aFlags, std::int32_t aID) {
  const auto byte = static_cast<std::size_t>(aID) / 8;
  return byte < aFlags.size() && (aFlags[byte] >> (aID % 8) & 1) != 0;
}

void growFlags(std::vector<std::uint8_t>& aFlags, std::int32_t aID) {
  const auto bytes = static_cast<std::size_t>(aID) / 8 + 1;
  if (aFlags.size() < bytes) aFlags.resize(bytes, 0);
}

}  // namespace

// ---- IDs --------------------------------------------------------------------------------

void TnxBufferManager::bmAddSnapShotTrans(TnxBaseTransaction* aTrans) {
  ++bmActiveSnapShotCount;
  std::int32_t id = 0;
  if (static_cast<std::int64_t>(bmSnapShotFlags.size()) * 8 < bmActiveSnapShotCount) {
    id = static_cast<std::int32_t>(bmSnapShotFlags.size()) * 8;
    bmSnapShotFlags.push_back(0);
  } else {
    while (bitOf(bmSnapShotFlags, id)) ++id;
  }
  setBit(bmSnapShotFlags, id, true);
  if (bmSnapShotTrans.size() <= static_cast<std::size_t>(id)) bmSnapShotTrans.resize(static_cast<std::size_t>(id) + 1);
  nxAssert(bmSnapShotTrans[static_cast<std::size_t>(id)] == nullptr, "Snapshot ID already taken");
  bmSnapShotTrans[static_cast<std::size_t>(id)] = aTrans;
  aTrans->btSnapshotID = id;
}

void TnxBufferManager::bmRemoveSnapShotTrans(TnxBaseTransaction* aTrans) {
  const std::int32_t id = aTrans->btSnapshotID;
  nxAssert(id >= 0 && bitOf(bmSnapShotFlags, id), "Snapshot ID not in use");
  nxAssert(bmSnapShotTrans[static_cast<std::size_t>(id)] == aTrans, "Snapshot ID of another transaction");
  bmSnapShotTrans[static_cast<std::size_t>(id)] = nullptr;
  --bmActiveSnapShotCount;
  setBit(bmSnapShotFlags, id, false);
  while (!bmSnapShotFlags.empty() && bmSnapShotFlags.back() == 0) bmSnapShotFlags.pop_back();
  aTrans->btSnapshotID = -1;
}

void TnxBufferManager::bmSnapShotCrossFile(TnxBaseTransaction* aTrans) {
  if (bmActiveSnapShotCount == 0) return;
  TnxBaseFile* first = aTrans->btTransFileListHead;
  if (!first || !first->fiTransNext) return;
  std::vector<std::uint8_t> all(bmSnapShotFlags.size(), 0);
  for (TnxBaseFile* file = first; file; file = file->fiTransNext)
    for (std::size_t i = 0; i < all.size() && i < file->fiSnapShotFlags.size(); ++i) all[i] |= file->fiSnapShotFlags[i];
  while (!all.empty() && all.back() == 0) all.pop_back();
  for (TnxBaseFile* file = first; file; file = file->fiTransNext)
    for (std::int32_t id = 0; id < static_cast<std::int32_t>(all.size()) * 8; ++id)
      if (bitOf(all, id) && !file->HasSnapShotFlag(id)) {
        growFlags(file->fiSnapShotFlags, id);
        platform::create<TnxFileSnapShotLink>(file, bmSnapShotTrans[static_cast<std::size_t>(id)]);
      }
}

// ---- File links ---------------------------------------------------------------------------

TnxFileSnapShotLink::TnxFileSnapShotLink(TnxBaseFile* aFile, TnxBaseTransaction* aTrans)
    : fsslFile(aFile), fsslTrans(aTrans) {
  const std::int32_t id = aTrans->btSnapshotID;
  fsslFileCounter = ++aFile->fiSnapShotCounter;
  fsslFilePrev = aFile->fiSnapShotLinkTail;
  if (fsslFilePrev)
    fsslFilePrev->fsslFileNext = this;
  else
    aFile->fiSnapShotLinkHead = this;
  aFile->fiSnapShotLinkTail = this;
  nxAssert(!bitOf(aFile->fiSnapShotFlags, id) && aFile->fiSnapShotFlags.size() > static_cast<std::size_t>(id) / 8,
           "File snapshot link made twice");
  setBit(aFile->fiSnapShotFlags, id, true);
  if (aFile->fiSnapShotLinks.size() <= static_cast<std::size_t>(id))
    aFile->fiSnapShotLinks.resize(static_cast<std::size_t>(id) + 1, nullptr);
  aFile->fiSnapShotLinks[static_cast<std::size_t>(id)] = this;
  fsslUsedBlocks = aFile->fiUsedBlocks;
  fsslTransPrev = aTrans->btFileSnapShotLinksTail;
  if (fsslTransPrev)
    fsslTransPrev->fsslTransNext = this;
  else
    aTrans->btFileSnapShotLinksHead = this;
  aTrans->btFileSnapShotLinksTail = this;
}

TnxFileSnapShotLink::~TnxFileSnapShotLink() {
  TnxBaseFile* file = fsslFile;
  const std::int32_t id = fsslTrans->btSnapshotID;
  ++file->fiSnapShotCounter;
  nxAssert(bitOf(file->fiSnapShotFlags, id), "File snapshot link without its flag");
  setBit(file->fiSnapShotFlags, id, false);
  nxAssert(file->fiSnapShotLinks[static_cast<std::size_t>(id)] == this, "File snapshot link slot of another");
  file->fiSnapShotLinks[static_cast<std::size_t>(id)] = nullptr;
  if (fsslFilePrev)
    fsslFilePrev->fsslFileNext = fsslFileNext;
  else
    file->fiSnapShotLinkHead = fsslFileNext;
  if (fsslFileNext)
    fsslFileNext->fsslFilePrev = fsslFilePrev;
  else
    file->fiSnapShotLinkTail = fsslFilePrev;
  if (fsslTransPrev)
    fsslTransPrev->fsslTransNext = fsslTransNext;
  else
    fsslTrans->btFileSnapShotLinksHead = fsslTransNext;
  if (fsslTransNext)
    fsslTransNext->fsslTransPrev = fsslTransPrev;
  else
    fsslTrans->btFileSnapShotLinksTail = fsslTransPrev;
}

void TnxBaseFile::FreeSnapShotLinks() {
  // A file going away: its blocks' links go first (they name the file's
  // blocks), then the file links.
  for (TnxReadOnlyBlock* block = fiBlockListHead; block; block = block->robFileNext) block->FreeSnapShots();
  if (fiBlockZero) fiBlockZero->FreeSnapShots();
  while (fiSnapShotLinkHead) platform::TObject::free(fiSnapShotLinkHead);
}

void TnxBaseTransaction::FreeSnapShotLinks() {
  while (btBlockSnapShotLinksHead) platform::TObject::free(btBlockSnapShotLinksHead);
  while (btFileSnapShotLinksHead) platform::TObject::free(btFileSnapShotLinksHead);
}

// ---- Block snapshots ------------------------------------------------------------------------

TnxBlockSnapShot::TnxBlockSnapShot(TnxReadOnlyBlock* aBlock)
    : TnxBlockObject(aBlock->boBufferManager), bssReadOnlyBlock(aBlock) {
  if (aBlock->robFile->fiSnapshotBlockCount) aBlock->robFile->fiSnapshotBlockCount->fetch_add(1);
  bssBlockPrev = aBlock->robSnapShotBlockTail;
  if (bssBlockPrev)
    bssBlockPrev->bssBlockNext = this;
  else
    aBlock->robSnapShotBlockHead = this;
  aBlock->robSnapShotBlockTail = this;
  MoveFrom(*aBlock);
}

TnxBlockSnapShot::~TnxBlockSnapShot() {
  TnxReadOnlyBlock* block = bssReadOnlyBlock;
  nxAssert(bssLinkRefCount == 0, "Block snapshot freed while linked");
  if (bssBlockPrev)
    bssBlockPrev->bssBlockNext = bssBlockNext;
  else
    block->robSnapShotBlockHead = bssBlockNext;
  if (bssBlockNext)
    bssBlockNext->bssBlockPrev = bssBlockPrev;
  else
    block->robSnapShotBlockTail = bssBlockPrev;
  if (block->robFile->fiSnapshotBlockCount) block->robFile->fiSnapshotBlockCount->fetch_sub(1);
}

TnxEvictResult TnxBlockSnapShot::CheckedEvict(bool) {
  if (bssReadOnlyBlock->robRefCount.load(std::memory_order_acquire) > 0) return erNone;
  return Evict() ? erThis : erNone;
}

PnxBlock TnxBlockSnapShot::Block() {
  if (!boCacheBlock) return static_cast<PnxBlock>(const_cast<void*>(nxZeroBlock()));
  PnxBlock image = boCacheBlock->Block();
  CountAccess();
  return image;
}

TnxBlockSnapShotLink::TnxBlockSnapShotLink(TnxBlockSnapShot* aBlockSnapShot, TnxBaseTransaction* aSnapShotTrans)
    : bsslBlockSnapShot(aBlockSnapShot), bsslBlock(aBlockSnapShot->bssReadOnlyBlock), bsslTrans(aSnapShotTrans) {
  TnxReadOnlyBlock* block = bsslBlock;
  const auto id = static_cast<std::size_t>(aSnapShotTrans->btSnapshotID);
  bsslBlockPrev = block->robSnapShotLinkTail;
  if (bsslBlockPrev)
    bsslBlockPrev->bsslBlockNext = this;
  else
    block->robSnapShotLinkHead = this;
  block->robSnapShotLinkTail = this;
  if (block->robSnapShotLinks.size() <= id) block->robSnapShotLinks.resize(id + 1, nullptr);
  nxAssert(block->robSnapShotLinks[id] == nullptr, "Block snapshot link made twice");
  block->robSnapShotLinks[id] = this;
  bsslTransPrev = aSnapShotTrans->btBlockSnapShotLinksTail;
  if (bsslTransPrev)
    bsslTransPrev->bsslTransNext = this;
  else
    aSnapShotTrans->btBlockSnapShotLinksHead = this;
  aSnapShotTrans->btBlockSnapShotLinksTail = this;
  ++aBlockSnapShot->bssLinkRefCount;
}

TnxBlockSnapShotLink::~TnxBlockSnapShotLink() {
  TnxReadOnlyBlock* block = bsslBlock;
  if (bsslBlockPrev)
    bsslBlockPrev->bsslBlockNext = bsslBlockNext;
  else
    block->robSnapShotLinkHead = bsslBlockNext;
  if (bsslBlockNext)
    bsslBlockNext->bsslBlockPrev = bsslBlockPrev;
  else
    block->robSnapShotLinkTail = bsslBlockPrev;
  block->robSnapShotLinks[static_cast<std::size_t>(bsslTrans->btSnapshotID)] = nullptr;
  if (bsslTransPrev)
    bsslTransPrev->bsslTransNext = bsslTransNext;
  else
    bsslTrans->btBlockSnapShotLinksHead = bsslTransNext;
  if (bsslTransNext)
    bsslTransNext->bsslTransPrev = bsslTransPrev;
  else
    bsslTrans->btBlockSnapShotLinksTail = bsslTransPrev;
  if (--bsslBlockSnapShot->bssLinkRefCount == 0) platform::TObject::free(bsslBlockSnapShot);
}

void TnxReadOnlyBlock::FreeSnapShots() {
  while (robSnapShotLinkHead) platform::TObject::free(robSnapShotLinkHead);
}

// At a top-level commit of a block that has a committed image: the image
// about to be overwritten stays for every snapshot transaction whose file
// link is newer than the block's last snapshot.
void nxsrSnapShotBeforeCommit(TnxReadOnlyBlock* aBlock) {
  TnxBaseFile* file = aBlock->robFile;
  if (aBlock->robNew) return;
  if (aBlock->robSnapShotCounter < file->fiSnapShotCounter &&
      !(file->IsTemporary() && !file->fiAttributes.contains(nxfaMemTable))) {
    TnxBlockSnapShot* snapshot = nullptr;
    for (TnxFileSnapShotLink* link = file->fiSnapShotLinkTail;
         link && link->fsslFileCounter > aBlock->robSnapShotCounter; link = link->fsslFilePrev) {
      if (!snapshot) snapshot = platform::create<TnxBlockSnapShot>(aBlock);
      platform::create<TnxBlockSnapShotLink>(snapshot, link->fsslTrans);
    }
  }
  aBlock->robSnapShotCounter = file->fiSnapShotCounter;
}
