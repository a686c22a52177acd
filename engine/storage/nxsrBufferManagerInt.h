// Private to the nxsrBufferManager family files.
#pragma once

#include "nxllMemoryManager.h"
#include "nxsrBufferManager.h"

// The pool of the lookup containers (module start-up).
TnxMemoryPool& nxsrContainerPool();

// The used-block count of a block-0 image through the file's factory.
std::uint32_t nxsrUsedBlocksOf(TnxBaseFile* aFile, const std::uint8_t* aHeader);

// Unlinks a block from its file and the in-use list, then frees it, or, when
// it is pinned or loading, leaves it to its last release.
// REQUIRES: the padlock; the block belongs to no transaction.
// Start-ups of the module, counted: the last finalisation frees the
// header-access registry.
extern TnxUseCount gBufferManagerStarts;

void nxsrDropBlock(TnxBufferManager* aManager, TnxReadOnlyBlock* aBlock);

// Raises the header epoch when a commit, rollback or file change ends,
// whichever way it ends. Made under the padlock.
struct TnxHeadersChangedOnExit {
  TnxBufferManager& manager;
  ~TnxHeadersChangedOnExit() { manager.bmHeadersChanged(); }
};
void nxsrSnapShotBeforeCommit(TnxReadOnlyBlock* aBlock);
