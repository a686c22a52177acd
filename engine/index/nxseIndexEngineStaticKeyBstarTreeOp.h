// One operation of a B*-tree index engine, shared by the static-key tree's
// families (insert, delete, ranges) and the trees built on it (bulk building,
// keyless, cache-keyless): its transaction, header access, pinned blocks and,
// for keyless trees, the path that supplies the keys of entries. Not for
// callers of the index engines.
#pragma once

#include "nxseIndexEngineStaticKeyBstarTree.h"

namespace nxIdxTree {
inline std::int32_t cmpRef(TnxRefNr a, TnxRefNr b) { return a < b ? -1 : a > b ? 1 : 0; }

// Releases a list on every exit.
struct ReleaseGuard {
  TnxReleaseList& list;
  ~ReleaseGuard() { list.Release(); }
};
}  // namespace nxIdxTree

struct TnxStaticKeyBstarTreeIndexEngine::Op {
  Op(TnxStaticKeyBstarTreeIndexEngine* aEngine, TnxBaseTransaction* aTrans, bool aDirty, std::int32_t aFC,
     std::int32_t aPL, TnxReleaseList* aRelease, TnxBaseIndexPath* aKeyPath = nullptr)
      : engine(aEngine),
        trans(aTrans),
        dirty(aDirty),
        fc(aFC),
        pl(aPL),
        release(aRelease ? aRelease : &own),
        guard{*release} {
    // A reading operation takes the header values its transaction keeps.
    kept = !aDirty && aEngine->ReadHeaderValues(aTrans, values);
    if (!kept) (void)Header();
    if (aEngine->Keyless()) {
      aEngine->OpBegin(*this, aKeyPath);
      bound = true;
    }
  }
  ~Op() {
    if (bound) engine->OpEnd(*this);
  }
  Op(const Op&) = delete;
  Op& operator=(const Op&) = delete;

  std::int32_t FC() const { return fc; }
  std::int32_t PL() const { return pl; }
  void SetCompare(std::int32_t aFC, std::int32_t aPL) {
    fc = aFC;
    pl = aPL;
    if (header) header->SetCompareDate(aFC, aPL);
  }
  // The index's header access, made on first use when the values were kept.
  TnxBaseIndexHeaderAccess* Header() {
    if (!header) header.reset(engine->CreateHeaderAccess(trans, dirty, dirty, fc, pl));
    return header.get();
  }
  TnxBlockNumber Root() { return kept ? values.hvRoot : header->GetIndexRoot(); }
  std::uint32_t PageCount() { return kept ? values.hvPageCount : header->GetIndexPageCount(); }
  std::uint32_t KeyCount() { return kept ? values.hvKeyCount : header->GetIndexKeyCount(); }
  // The most levels or leaves a walk may visit.
  std::uint32_t Limit() { return PageCount() + 1; }
  // A block number of the index file other than 0.
  bool ValidBlock(TnxBlockNumber aBlock) {
    if (kept) return aBlock != 0 && aBlock < values.hvUsedBlocks;
    return engine->bieIndexFile->ValidBlock(aBlock, Header()->FileHeader());
  }
  // Reads an index block (see nxReadIndexBlock).
  PnxBlock ReadIndexBlock(bool aMarkDirty, TnxBlockNumber aBlock, TnxReleaseMethod& aRelease) {
    if (kept && !aMarkDirty)
      return nxReadIndexBlock(trans, engine->bieIndexFile, values.hvUsedBlocks, engine->bseID, false, aBlock, aRelease);
    return nxReadIndexBlock(trans, engine->bieIndexFile, Header()->FileHeader(), engine->bseID, aMarkDirty, aBlock,
                            aRelease);
  }

  // The view of aTrans's blocks: it changes when the transaction changes a
  // block it did not own or starts a level, so that a node read before may
  // then have a newer image.
  struct View {
    std::int32_t transBlocks = -1;
    const void* level = nullptr;
    std::int32_t levelBlocks = -1;
    bool operator==(const View&) const = default;
  };
  View CurrentView() const {
    if (!trans) return {};
    const TnxBaseTransactionLevel* level = trans->TransLevel();
    return {trans->BlockCount(), level, level ? level->BlockCount() : 0};
  }
  // The node last fetched for reading, still pinned by the release list
  // while its generation holds; a step along the same leaf takes it again
  // instead of fetching it once per entry.
  PnxBlock ReadNode(TnxBlockNumber aBlock) const {
    return lastNode && lastBlock == aBlock && lastGeneration == release->Generation() && lastView == CurrentView()
               ? lastNode
               : nullptr;
  }
  void RememberReadNode(TnxBlockNumber aBlock, PnxBlock aNode) {
    lastBlock = aBlock;
    lastNode = aNode;
    lastGeneration = release->Generation();
    lastView = CurrentView();
  }

  TnxStaticKeyBstarTreeIndexEngine* engine;
  TnxBaseTransaction* trans;
  bool dirty;
  std::int32_t fc;
  std::int32_t pl;
  // Header values kept by the transaction (kept), else the header access.
  bool kept = false;
  TnxBaseIndexEngine::HeaderValues values;
  TnxOwned<TnxBaseIndexHeaderAccess> header;
  TnxReleaseList own;
  TnxReleaseList* release;
  nxIdxTree::ReleaseGuard guard;
  // Keyless: the path whose key cache serves this operation, and the one
  // made for it when the caller gave none.
  TnxBaseIndexPath* keys = nullptr;
  TnxOwned<TnxBaseIndexPath> ownKeys;
  bool bound = false;
  TnxBlockNumber lastBlock = 0;
  PnxBlock lastNode = nullptr;
  std::uint64_t lastGeneration = 0;
  View lastView;
};
