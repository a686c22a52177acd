// Private to the B*-tree modules (static-key with its insert, delete and
// ranges families, bulk building, keyless): one engine operation with its
// transaction, header access, pinned blocks and, for keyless trees, the path
// that supplies the keys of entries.
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
        header(aEngine->CreateHeaderAccess(aTrans, aDirty, aDirty, aFC, aPL)),
        release(aRelease ? aRelease : &own),
        guard{*release} {
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

  std::int32_t FC() const { return header->bhaFieldCount; }
  std::int32_t PL() const { return header->bhaPartialLen; }
  TnxBlockNumber Root() { return header->GetIndexRoot(); }
  // The most levels or leaves a walk may visit.
  std::uint32_t Limit() { return header->GetIndexPageCount() + 1; }

  TnxStaticKeyBstarTreeIndexEngine* engine;
  TnxBaseTransaction* trans;
  TnxOwned<TnxBaseIndexHeaderAccess> header;
  TnxReleaseList own;
  TnxReleaseList* release;
  nxIdxTree::ReleaseGuard guard;
  // Keyless: the path whose key cache serves this operation, and the one
  // made for it when the caller gave none.
  TnxBaseIndexPath* keys = nullptr;
  TnxOwned<TnxBaseIndexPath> ownKeys;
  bool bound = false;
};
